// replay.h - a journal's events fed again to a machine built in the test's
// process, and its transitions compared with the journalled ones: an
// incident recorded by a server becomes an offline test of the machine's
// code.
//
// The events a machine takes from outside (clients, the panel, other
// machines, interrupts) are fed at their journalled times on the test kit's
// clock (testkit/clock.h), with the machine ticking every `tick` as a
// server's update does; its own signals and timeouts are not fed, the
// machine makes them again. Then each transition it fires is compared, in
// order, with the journalled transitions of its root.

#ifndef TESTKIT_REPLAY_H
#define TESTKIT_REPLAY_H

#include <chrono>
#include <istream>
#include <string>
#include <vector>

#include "framework/host/journal.h"
#include "testkit/machine.h"

namespace testkit {

// Reads a journal: a journal database file, or the JSON lines that
// `norix_journal FILE --json` prints. 0, or -1 with the reason.
int read_journal(const std::string& path, std::vector<norix::JournalRow>* rows,
                 std::string* why);
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
ReplayReport replay(Machine& m, const std::vector<norix::JournalRow>& rows,
                    std::chrono::milliseconds tick = std::chrono::milliseconds(1000));

}  // namespace testkit

#endif  // TESTKIT_REPLAY_H
