// fsm_journal.cc - a machine's records for the server's journal: fixed
// records queued without waiting (framework/objects/journal.h).

#include "fsm/fsm_journal.h"

#include "fsm/fsm_trace.h"

void fsm_journal_transition(const FSMsuperstate::frame* f, const FSMstate* from, const FSMstate* to,
                            const std::string& event) {
  norix::journal_record r = norix::journal_make(norix::JOURNAL_TRANSITION);
  const FSMstate* rt = f->parent->get_root();
  norix::journal_put(r.location, rt != nullptr ? rt->get_name() : "");
  norix::journal_put(r.subject, FSMtrace::flow_path(f));
  norix::journal_put(r.old_value, from != nullptr ? from->get_name() : "?");
  norix::journal_put(r.new_value, to != nullptr ? to->get_name() : "(stays)");
  norix::journal_put(r.detail, event);
  norix::journal_push(r);
}

void fsm_journal_event(const FSMstate* rt, const FSMevent& ev, const char* source) {
  norix::journal_record r = norix::journal_make(norix::JOURNAL_EVENT);
  norix::journal_put(r.location, rt->get_name());
  norix::journal_put(r.source, source != nullptr ? source : norix::journal_caller());
  norix::journal_put(r.subject, ev.event);
  norix::journal_put(r.detail, ev.state);
  norix::journal_push(r);
}
