// fsm_trace.h - a machine's transition trace: a bounded ring of the
// transitions that fired, and the change counter that lets readers take a
// consistent picture of the machine without locking it.
//
// FSMtrace is owned by its root (FSMrootstate::trace). Only the thread that
// dispatches the machine's events records and changes flows; any thread
// reads. The ring takes no lock: every field of a slot is an atomic word,
// and a slot's number is cleared while the writer rewrites it, so that a
// reader keeps only slots whose number it finds the same before and after
// copying them. Records point to flows and states, which live as long as
// the machine.

#ifndef FSM_FSM_TRACE_H
#define FSM_FSM_TRACE_H

#include <pthread.h>
#include <stddef.h>

#include <string>
#include <vector>

#include "fsm/fsm_core.h"

class FSMtrace {
 public:
  static constexpr size_t DEFAULT_SIZE = 256;
  static constexpr size_t EVENT_MAX = 47;  // characters of an event name kept

  // One fired transition. `to` is null when the flow stayed in `from` (the
  // next-state name matched no state of the flow); it is the flow's owner
  // when the flow ended.
  struct record {
    unsigned long long seq;  // 1 for the first record of the machine
    long long time_ms;       // wall time, milliseconds since the epoch
    const FSMsuperstate::frame* flow;
    const FSMstate* from;
    const FSMstate* to;
    char event[EVENT_MAX + 1];
  };

  explicit FSMtrace(size_t size);
  ~FSMtrace();
  FSMtrace(const FSMtrace&) = delete;
  FSMtrace& operator=(const FSMtrace&) = delete;

  // Sets the ring's size (0 turns recording off) and whether every record is
  // also written as a log line. Only before the machine's threads start.
  void configure(size_t size, bool log);
  size_t size() const { return ring.size(); }

  // The event and time of the switch under way, for the changes of the
  // flows it enters and their entry times; cause is null outside a switch.
  // Used by the dispatching thread only.
  const std::string* cause;
  long long cause_ms;

  // Wall time in milliseconds since the epoch.
  static long long now_ms();
  // The entry time of st entered now: the time of the switch under way in
  // its machine, else the clock's.
  static long long entry_ms(const FSMstate* st);

  // On the dispatching thread: a flow is about to change (begin) and has
  // changed (end). Between them readers of the machine's picture retry.
  void begin_change();
  void end_change();
  // Readers: an even value taken before and found again after reading the
  // active states means that no change ran in between.
  unsigned long change_count() const;

  // Records a fired transition; allocates nothing (unless logging).
  void add(const FSMsuperstate::frame* flow, const FSMstate* from, const FSMstate* to,
           const std::string& event, long long time_ms);
  // The number of the last record made (0 before the first).
  unsigned long long last_seq() const;
  // The records held, oldest first.
  std::vector<record> copy() const;

  // "machine/0/heat/1": the names of the superstates from the root down,
  // each followed by the number of its flow.
  static std::string flow_path(const FSMsuperstate::frame* flow);
  // "oven/0: idle -> heating on start"; "(stays)" when `to` is null.
  static std::string text(const record& r);

 private:
  static constexpr size_t EVENT_WORDS = (EVENT_MAX + 1) / 8;
  // A slot of the ring; each word is loaded and stored atomically.
  struct slot {
    unsigned long long seq;  // 0 while the writer rewrites the slot
    long long time_ms;
    const FSMsuperstate::frame* flow;
    const FSMstate* from;
    const FSMstate* to;
    unsigned long long event[EVENT_WORDS];  // the name and its terminator
  };

  std::vector<slot> ring;    // sized by configure
  size_t next;               // the slot of the next record; the writer's own
  unsigned long long count;  // records ever made; atomic
  bool log;
  unsigned long changes;  // odd while a flow changes; atomic
};

#endif  // FSM_FSM_TRACE_H
