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
//
// The writer's side is on the dispatch path of every transition, so it is
// inline and does per event what it can do once: the clock is read and the
// event's name packed into words at the event's first change, and every
// record and entry time of that event reuses them. Atomic stores are plain
// stores on the machines we build for; none is stronger than release.

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
    long long time_ms;       // the event's time (event_ms), ms since the epoch
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

  // The event of the switch under way, for the changes of the flows it
  // enters; null outside a switch. Used by the dispatching thread only.
  const std::string* cause;

  // Wall time in milliseconds since the epoch, from the kernel's coarse
  // clock: it costs a few nanoseconds where a precise read costs tens on a
  // virtual machine, and it is at most one kernel tick (1 to 10 ms) behind
  // the precise clock, never ahead of it.
  static long long now_ms();

  // --- the dispatching thread's side ---

  // The time of the changes of the event under way: the clock is read at
  // the event's first change, and every change the event causes (its
  // records, the entry times of the states it enters) carries that time.
  long long event_ms() {
    if (event_time == 0) event_time = now_ms();
    return event_time;
  }
  // The root brackets the dispatch of each event with these; the next
  // event reads the clock and packs its name again. A switch made outside
  // them (a superstate's process_event called directly) is an event of
  // its own.
  void begin_event() { in_event = true; }
  void end_event() {
    in_event = false;
    event_time = 0;
    packed = nullptr;
  }
  bool in_event;  // between begin_event and end_event
  // The entry time of st entered now: the time of the event under way in
  // its machine during a switch, else the clock's.
  static long long entry_ms(const FSMstate* st) {
    const FSMstate* rt = st->get_root();
    if (rt != nullptr && rt->get_type() == FSM_TYPE_ROOT) {
      FSMtrace* tr = static_cast<const FSMrootstate*>(rt)->trace;
      if (tr != nullptr && tr->cause != nullptr) return tr->event_ms();
    }
    return now_ms();
  }

  // A flow is about to change (begin) and has changed (end). Between them
  // readers of the machine's picture retry. Only this thread stores the
  // counter, so it loads its own value relaxed; the flow's changes that
  // follow begin_change are release stores, so a reader that loads one of
  // them (with an acquire load) also finds the odd count, and end_change's
  // release store comes after them all.
  void begin_change() {
    __atomic_store_n(&changes, __atomic_load_n(&changes, __ATOMIC_RELAXED) + 1, __ATOMIC_RELAXED);
  }
  void end_change() {
    __atomic_store_n(&changes, __atomic_load_n(&changes, __ATOMIC_RELAXED) + 1, __ATOMIC_RELEASE);
  }

  // Records a fired transition of the event under way; event is its name
  // (the same text for every record of one event). Allocates nothing
  // (unless logging).
  void add(const FSMsuperstate::frame* flow, const FSMstate* from, const FSMstate* to,
           const std::string& event) {
    if (ring.empty()) return;  // the size changes only before the threads start
    if (packed != &event) pack(event);
    unsigned long long seq = __atomic_load_n(&count, __ATOMIC_RELAXED) + 1;
    slot& s = ring[next];
    next = next + 1 == ring.size() ? 0 : next + 1;
    // The fields' release stores order this one before them.
    __atomic_store_n(&s.seq, 0ULL, __ATOMIC_RELAXED);
    __atomic_store_n(&s.time_ms, event_time, __ATOMIC_RELEASE);
    __atomic_store_n(&s.flow, flow, __ATOMIC_RELEASE);
    __atomic_store_n(&s.from, from, __ATOMIC_RELEASE);
    __atomic_store_n(&s.to, to, __ATOMIC_RELEASE);
    // Only the words up to the terminator: readers stop there.
    for (size_t i = 0; i < packed_words; ++i)
      __atomic_store_n(&s.event[i], words[i], __ATOMIC_RELEASE);
    __atomic_store_n(&s.seq, seq, __ATOMIC_RELEASE);
    __atomic_store_n(&count, seq, __ATOMIC_RELEASE);
    if (log) log_record(seq, s);
  }

  // --- readers, any thread ---

  // An even value taken before and found again after reading the active
  // states means that no change ran in between.
  unsigned long change_count() const { return __atomic_load_n(&changes, __ATOMIC_ACQUIRE); }
  // The number of the last record made (0 before the first).
  unsigned long long last_seq() const;
  // The records held, oldest first.
  std::vector<record> copy() const;

  // "machine/0/heat/1": the names of the superstates from the root down,
  // each followed by the number of its flow. A linked flow's is a copy of
  // the path it keeps (frame::path); an unlinked one's is built from the tree.
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

  // Reads the event's time (event_ms) and packs its name into words.
  void pack(const std::string& event);
  void log_record(unsigned long long seq, const slot& s);

  std::vector<slot> ring;    // sized by configure
  size_t next;               // the slot of the next record; the writer's own
  unsigned long long count;  // records ever made; atomic
  bool log;
  unsigned long changes;  // odd while a flow changes; atomic
  // The writer's cache of the event under way (end_event clears it): its
  // time (0: not read yet), and its name as the words a slot holds.
  long long event_time;
  const std::string* packed;  // the name packed in words, or null
  size_t packed_words;
  unsigned long long words[EVENT_WORDS];
};

#endif  // FSM_FSM_TRACE_H
