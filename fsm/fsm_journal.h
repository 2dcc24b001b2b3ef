// fsm_journal.h - what a machine hands to the server's journal: the
// transitions that fire, the events its queues take in and the changes of
// its FAULT. Callers test
// norix::journal_on() first, so a server without a journal pays one branch.

#ifndef FSM_FSM_JOURNAL_H
#define FSM_FSM_JOURNAL_H

#include <string>

#include "framework/objects/journal.h"
#include "fsm/fsm_core.h"

// A fired transition of flow f, as the trace records it, stamped now (the
// coarse wall clock, or the journal's clock when set): when it is
// journalled, not with its event's time, so that it follows the events the
// event's actions posted before it. On the dispatch path: allocates
// nothing.
void fsm_journal_transition(const FSMsuperstate::frame* f, const FSMstate* from, const FSMstate* to,
                            const std::string& event);
// An event posted to or raised in the machine of rt; source null for the
// caller of the posting thread (norix::journal_caller).
void fsm_journal_event(const FSMstate* rt, const FSMevent& ev, const char* source);
// At the end of a dispatch step of rt: records FAULT's change since the last
// record, if any. Costs one atomic load while the root has no error and had
// none; takes the root's err_mux (L5) otherwise. The dispatching thread only.
void fsm_journal_fault(FSMrootstate* rt);

#endif  // FSM_FSM_JOURNAL_H
