// replay.h - a journal's events fed again to a machine built in the test's
// process, and its transitions compared with the journalled ones: an
// incident recorded by a server becomes an offline test of the machine's
// code.
//
// The events a machine took from outside (clients, the panel, other
// machines, interrupts) are fed again at their journalled times on the test
// kit's clock (testkit/clock.h); its own signals are not fed, the machine
// makes them again. It ticks where the journal shows a timeout or a
// transition on the timer event, so that its timeouts fire again if its
// code still arms them. Each transition it fires is compared, in order,
// with the journalled transitions of its root. A journal recorded by a
// server has wall times; one recorded in a test, the kit's clock (see
// norix::set_journal_clock).

#ifndef TESTKIT_REPLAY_H
#define TESTKIT_REPLAY_H

#include <istream>
#include <string>
#include <vector>

#include "framework/host/journal.h"
#include "testkit/machine.h"

namespace testkit {

// Reads a journal: a journal database file, or the JSON lines that
// `norix_journal FILE --json` prints. 0, or -1 with the reason.
int read_journal(const std::string& path, std::vector<norix::JournalRow>* rows, std::string* why);
int read_journal(std::istream& in, std::vector<norix::JournalRow>* rows, std::string* why);

struct ReplayReport {
  int events = 0;       // events fed
  int transitions = 0;  // transitions that agreed
  bool same = true;
  // When not the same: "transition N at TIME: journalled '...', replayed '...'".
  std::string difference;
};

// Starts m (not started yet) and replays the records of its root (the
// machine's name in the journal) from rows, oldest first.
ReplayReport replay(Machine& m, const std::vector<norix::JournalRow>& rows);

}  // namespace testkit

#endif  // TESTKIT_REPLAY_H
