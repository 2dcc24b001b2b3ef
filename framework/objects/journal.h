// journal.h - the hand-off from the threads that act (dispatching machines,
// serving clients) to the server's journal: a fixed record pushed into a
// bounded queue that never blocks, and the caller of the request a thread
// is serving.
//
// The queue is process-wide and lives as long as the process; one writer
// (framework/host/journal.h) drains it into the journal's database. While no
// writer has switched it on, journal_on() is false and nothing is queued.
// A record that finds the queue full is dropped and counted.

#ifndef FRAMEWORK_OBJECTS_JOURNAL_H
#define FRAMEWORK_OBJECTS_JOURNAL_H

#include <stddef.h>

#include <atomic>
#include <string>

namespace norix {

// The kinds of record, as stored and queried.
enum journal_kind {
  JOURNAL_TRANSITION = 1,  // subject flow, old from-state, new to-state, detail event
  JOURNAL_EVENT,           // subject event name, detail target; source who posted it
  JOURNAL_WRITE,           // subject property, old and new value; source who wrote it
  JOURNAL_FAULT,           // subject state, old and new error text
  JOURNAL_SETTINGS,        // subject save/restore/compare, new value the result, detail the file
  JOURNAL_SERVER,          // subject start/stop/save, detail what came of it
  JOURNAL_DROPPED,         // detail the number of records dropped so far
};
constexpr int JOURNAL_KINDS = JOURNAL_DROPPED;

// "transition", ...; null for a number that is no kind.
const char* journal_kind_name(int kind);
// The kind of a name, or 0.
int journal_kind_of(const std::string& name);

// One record. Texts are cut to their field and always terminated, so that a
// push copies a fixed size and allocates nothing.
struct journal_record {
  long long time_ms;  // wall time, milliseconds since the epoch
  int kind;
  char location[48];
  char source[64];
  char subject[64];
  char old_value[96];
  char new_value[96];
  char detail[96];
};

namespace internal {
extern std::atomic<bool> journal_enabled;
}

// True while a writer drains the queue: the one branch the hot paths test.
inline bool journal_on() {
  return internal::journal_enabled.load(std::memory_order_relaxed);
}

// Copies text (n characters, or up to its terminator when n is npos) into a
// field of size `size`, cut and terminated.
void journal_put(char* field, size_t size, const char* text, size_t n = std::string::npos);
template <size_t N>
void journal_put(char (&field)[N], const char* text, size_t n = std::string::npos) {
  journal_put(field, N, text, n);
}
template <size_t N>
void journal_put(char (&field)[N], const std::string& text) {
  journal_put(field, N, text.data(), text.size());
}

// Queues a record: false (and counted as dropped) when the queue is full or
// the journal is off. Any thread; never blocks, allocates nothing.
bool journal_push(const journal_record& r);
// The same in two steps, for a record built in the queue's own cell: claim
// returns the next free cell (texts empty, time and kind unset), or null,
// counted as dropped, when the queue is full or the journal is off, so that
// a record that would be dropped is never built. The caller fills the cell
// at once and hands it back with publish: until then the writer waits on
// it, so nothing between the two may block.
journal_record* journal_claim();
void journal_publish(journal_record* r);
// A record of the kind, stamped now by the journal's clock, with empty
// texts.
journal_record journal_make(int kind);
// The journal's time for a record: wall_ms (a wall time the caller has just
// taken) unless the journal's clock is set: saves a clock read on the
// dispatch path.
long long journal_time(long long wall_ms);
// The journal's time now (its clock, below), as journal_make stamps a
// record.
long long journal_now();
// The journal's clock: milliseconds since the epoch by default, from the
// coarse real-time clock (a few ns to read; up to one kernel tick, 1 to 10
// ms, behind a precise read), which the machines' transitions use too; a test kit
// that stands its machines' clock still sets that one (null restores the
// default). Any thread.
typedef long long (*journal_clock)();
void set_journal_clock(journal_clock clock);

// The records dropped since the process started.
unsigned long long journal_dropped();

// The writer's side. enable/disable switch journal_on(); pop takes the
// oldest queued record (false when none). Only one thread pops.
void journal_enable(bool on);
bool journal_pop(journal_record* r);
constexpr size_t JOURNAL_QUEUE = 16384;  // records the queue holds

// The caller of the request this thread serves ("" when none): set by the
// code that serves clients around each request, read where a request posts
// an event or writes a property.
const char* journal_caller();
// Sets the caller for this thread for the life of the object; nests.
class JournalCaller {
 public:
  explicit JournalCaller(const std::string& who);
  ~JournalCaller();
  JournalCaller(const JournalCaller&) = delete;
  JournalCaller& operator=(const JournalCaller&) = delete;
  void change(const std::string& who);

 private:
  char text_[64];
  const char* saved_;
};

}  // namespace norix

#endif  // FRAMEWORK_OBJECTS_JOURNAL_H
