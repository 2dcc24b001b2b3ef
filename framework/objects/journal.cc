// journal.cc - the journal's record queue and the thread's caller.
//
// The queue is a bounded ring of cells, each with a sequence number that
// says whether it is free for the push of a given position or holds the
// record of one: pushers claim a position with a compare-and-swap on
// `tail`, fill the cell and publish it by its number; the one writer takes
// cells in order from `head`. No lock is taken on either side. `tail`,
// `head` and the cells each sit on cache lines of their own, so that the
// writer's pops do not take the pushers' line away.
//
// A record that finds the queue full is counted by the thread that drops
// it, in a counter of its own that only it stores: a full queue costs a
// dispatching thread no atomic read-modify-write per record.
// journal_dropped() adds the counters up under the drop table's mutex, a leaf lock
// (taken also when a thread makes its counter and when it ends).

#include "framework/objects/journal.h"

#include <string.h>
#include <time.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace norix {

namespace internal {
std::atomic<bool> journal_enabled{false};
}

namespace {

const char* const KIND_NAMES[] = {"transition", "event",  "write",  "fault",
                                  "settings",   "server", "dropped"};

constexpr size_t LINE = 64;  // bytes of a cache line

struct alignas(LINE) cell {
  std::atomic<size_t> seq;  // position + 1 while it holds that position's record
  journal_record record;
};

cell ring[JOURNAL_QUEUE];
alignas(LINE) std::atomic<size_t> tail{0};  // the next position to claim; pushers
alignas(LINE) size_t head = 0;              // the next position to take; the writer's own
std::once_flag ring_made;

// The drop counters of the threads alive, and the drops of those that have
// ended; made on first use and never destroyed, so that a thread ending
// after the process's statics are gone still finds them.
struct drop_counter;
struct drop_table {
  std::mutex mux;  // guards both fields
  std::vector<drop_counter*> alive;
  unsigned long long ended = 0;
};

drop_table& drops() {
  static drop_table* table = new drop_table();
  return *table;
}

// One thread's drops: stored by that thread only, loaded by any.
struct drop_counter {
  std::atomic<unsigned long long> count{0};
  drop_counter() {
    drop_table& t = drops();
    std::lock_guard<std::mutex> lock(t.mux);
    t.alive.push_back(this);
  }
  ~drop_counter() {
    drop_table& t = drops();
    std::lock_guard<std::mutex> lock(t.mux);
    t.ended += count.load(std::memory_order_relaxed);
    t.alive.erase(std::find(t.alive.begin(), t.alive.end(), this));
  }
  void add() { count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
};

thread_local drop_counter thread_drops;

thread_local const char* caller = "";
std::atomic<journal_clock> clock_now{nullptr};

}  // namespace

const char* journal_kind_name(int kind) {
  if (kind < 1 || kind > JOURNAL_KINDS) return nullptr;
  return KIND_NAMES[kind - 1];
}

int journal_kind_of(const std::string& name) {
  for (int k = 1; k <= JOURNAL_KINDS; ++k) {
    if (name == KIND_NAMES[k - 1]) return k;
  }
  return 0;
}

void journal_put(char* field, size_t size, const char* text, size_t n) {
  if (text == nullptr) text = "";
  if (n == std::string::npos) n = strlen(text);
  if (n >= size) n = size - 1;
  memcpy(field, text, n);
  field[n] = '\0';
}

long long journal_now() {
  journal_clock now = clock_now.load(std::memory_order_relaxed);
  if (now != nullptr) return now();
  // The coarse clock, as the machines' trace reads it for transitions: one
  // clock for every record, so that a record never carries an earlier time
  // than one it follows (the precise clock runs up to a tick ahead).
  timespec ts;
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

journal_record journal_make(int kind) {
  journal_record r;
  r.time_ms = journal_now();
  r.kind = kind;
  r.location[0] = r.source[0] = r.subject[0] = '\0';
  r.old_value[0] = r.new_value[0] = r.detail[0] = '\0';
  return r;
}

journal_record* journal_claim() {
  if (!journal_on()) return nullptr;
  size_t pos = tail.load(std::memory_order_relaxed);
  cell* c;
  for (;;) {
    c = &ring[pos % JOURNAL_QUEUE];
    size_t seq = c->seq.load(std::memory_order_acquire);
    if (seq == pos) {
      if (tail.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
    } else if (seq < pos) {
      thread_drops.add();  // full: the writer is behind
      return nullptr;
    } else {
      pos = tail.load(std::memory_order_relaxed);
    }
  }
  journal_record& r = c->record;
  r.location[0] = r.source[0] = r.subject[0] = '\0';
  r.old_value[0] = r.new_value[0] = r.detail[0] = '\0';
  return &r;
}

// A claimed cell still holds its position as its number; publishing makes
// it position + 1. Only the claiming thread touches the cell meanwhile.
void journal_publish(journal_record* r) {
  cell* c =
      &ring[(reinterpret_cast<char*>(r) - reinterpret_cast<char*>(&ring[0].record)) / sizeof(cell)];
  c->seq.store(c->seq.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

bool journal_push(const journal_record& r) {
  journal_record* slot = journal_claim();
  if (slot == nullptr) return false;
  *slot = r;
  journal_publish(slot);
  return true;
}

bool journal_pop(journal_record* r) {
  cell& c = ring[head % JOURNAL_QUEUE];
  if (c.seq.load(std::memory_order_acquire) != head + 1) return false;
  *r = c.record;
  c.seq.store(head + JOURNAL_QUEUE, std::memory_order_release);
  ++head;
  return true;
}

void set_journal_clock(journal_clock clock) {
  clock_now.store(clock, std::memory_order_relaxed);
}

long long journal_time(long long wall_ms) {
  journal_clock now = clock_now.load(std::memory_order_relaxed);
  return now != nullptr ? now() : wall_ms;
}

unsigned long long journal_dropped() {
  drop_table& t = drops();
  std::lock_guard<std::mutex> lock(t.mux);
  unsigned long long n = t.ended;
  for (const drop_counter* c : t.alive)
    n += c->count.load(std::memory_order_relaxed);
  return n;
}

void journal_enable(bool on) {
  std::call_once(ring_made, [] {
    for (size_t i = 0; i < JOURNAL_QUEUE; ++i)
      ring[i].seq.store(i, std::memory_order_relaxed);
  });
  internal::journal_enabled.store(on, std::memory_order_release);
}

const char* journal_caller() {
  return caller;
}

JournalCaller::JournalCaller(const std::string& who) : saved_(caller) {
  change(who);
}

JournalCaller::~JournalCaller() {
  caller = saved_;
}

void JournalCaller::change(const std::string& who) {
  journal_put(text_, who);
  caller = text_;
}

}  // namespace norix
