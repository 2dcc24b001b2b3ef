// fsm_trace.cc - FSMtrace: the transition ring and the change counter.
//
// One writer, the dispatching thread; readers on any thread. The ring's
// slots and counters are accessed with atomic loads and stores only (see
// fsm_trace.h); nothing here takes a lock. The writer clears a slot's number
// before it stores the fields, with release stores, and readers load them
// with acquire loads: a reader that loads a field of a newer record then
// finds the number changed when it loads it again.

#include "fsm/fsm_trace.h"

#include <string.h>
#include <time.h>

#include "framework/base/log.h"

namespace {

template <typename T>
void put(T* field, T value) {
  __atomic_store_n(field, value, __ATOMIC_RELEASE);
}

template <typename T>
T get(const T* field) {
  return __atomic_load_n(field, __ATOMIC_ACQUIRE);
}

}  // namespace

FSMtrace::FSMtrace(size_t size)
    : cause(nullptr), cause_ms(0), next(0), count(0), log(false), changes(0) {
  ring.resize(size, slot());
}

FSMtrace::~FSMtrace() = default;

void FSMtrace::configure(size_t size, bool log_each) {
  ring.assign(size, slot());
  next = 0;
  put(&count, 0ULL);
  log = log_each;
}

long long FSMtrace::now_ms() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long long FSMtrace::entry_ms(const FSMstate* st) {
  const FSMstate* rt = st->get_root();
  if (rt != nullptr && rt->get_type() == FSM_TYPE_ROOT) {
    const FSMtrace* tr = static_cast<const FSMrootstate*>(rt)->trace;
    if (tr != nullptr && tr->cause != nullptr) return tr->cause_ms;
  }
  return now_ms();
}

// The flow's changes that follow are release stores, so a reader that
// loads one of them (with an acquire load) also finds this odd count.
void FSMtrace::begin_change() {
  put(&changes, get(&changes) + 1);
}

void FSMtrace::end_change() {
  __atomic_store_n(&changes, get(&changes) + 1, __ATOMIC_RELEASE);
}

unsigned long FSMtrace::change_count() const {
  return __atomic_load_n(&changes, __ATOMIC_ACQUIRE);
}

void FSMtrace::add(const FSMsuperstate::frame* flow, const FSMstate* from, const FSMstate* to,
                   const std::string& event, long long time_ms) {
  if (ring.empty()) return;  // the size changes only before the threads start
  unsigned long long seq = get(&count) + 1;
  slot& s = ring[next];
  next = next + 1 == ring.size() ? 0 : next + 1;
  put(&s.seq, 0ULL);
  put(&s.time_ms, time_ms);
  put(&s.flow, flow);
  put(&s.from, from);
  put(&s.to, to);
  // Only the words up to the terminator: readers stop there.
  size_t n = event.size() < EVENT_MAX ? event.size() : EVENT_MAX;
  size_t used = n / 8 + 1;
  unsigned long long words[EVENT_WORDS];
  words[used - 1] = 0;
  memcpy(words, event.data(), n);
  for (size_t i = 0; i < used; ++i)
    put(&s.event[i], words[i]);
  __atomic_store_n(&s.seq, seq, __ATOMIC_RELEASE);
  __atomic_store_n(&count, seq, __ATOMIC_RELEASE);
  if (log) {
    record r{seq, time_ms, flow, from, to, {}};
    memcpy(r.event, words, used * 8);
    norix::log_message(norix::LOG_INFO, "transition " + std::to_string(seq) + " " + text(r));
  }
}

unsigned long long FSMtrace::last_seq() const {
  return __atomic_load_n(&count, __ATOMIC_ACQUIRE);
}

// A slot rewritten while it is copied is left out: its record is no longer
// held, and the newer one is past the count this reader started from. The
// records copied before it are dropped too, so that a reader the writer
// overtook gets the newest records without a gap, never a mix.
std::vector<FSMtrace::record> FSMtrace::copy() const {
  std::vector<record> out;
  unsigned long long last = last_seq();
  if (ring.empty() || last == 0) return out;
  unsigned long long first = last > ring.size() ? last - ring.size() + 1 : 1;
  out.reserve(static_cast<size_t>(last - first + 1));
  for (unsigned long long seq = first; seq <= last; ++seq) {
    const slot& s = ring[(seq - 1) % ring.size()];
    if (__atomic_load_n(&s.seq, __ATOMIC_ACQUIRE) != seq) {
      out.clear();
      continue;
    }
    record r{seq, get(&s.time_ms), get(&s.flow), get(&s.from), get(&s.to), {}};
    unsigned long long words[EVENT_WORDS];
    for (size_t i = 0; i < EVENT_WORDS; ++i)
      words[i] = get(&s.event[i]);
    memcpy(r.event, words, sizeof r.event);
    r.event[EVENT_MAX] = '\0';
    if (get(&s.seq) == seq) {
      out.push_back(r);
    } else {
      out.clear();
    }
  }
  return out;
}

std::string FSMtrace::flow_path(const FSMsuperstate::frame* flow) {
  std::string path;
  for (const FSMsuperstate::frame* f = flow; f != nullptr;) {
    std::string part = std::string(f->parent->get_name()) + "/" + std::to_string(f->id);
    path = path.empty() ? part : part + "/" + path;
    // The owner's own flow: the flow of its parent that lists it.
    const FSMstate* owner = f->parent;
    const FSMstate* up = owner->get_parent();
    f = nullptr;
    if (up == nullptr || up == owner) break;
    const FSMsuperstate* sup = dynamic_cast<const FSMsuperstate*>(up);
    if (sup == nullptr) break;
    for (const FSMsuperstate::frame* g : sup->flow) {
      for (const FSMstate* s : g->state) {
        if (s == owner) f = g;
      }
    }
  }
  return path;
}

std::string FSMtrace::text(const record& r) {
  std::string out = flow_path(r.flow) + ": ";
  out += r.from != nullptr ? r.from->get_name() : "?";
  out += " -> ";
  out += r.to != nullptr ? r.to->get_name() : "(stays)";
  if (r.to != nullptr && r.to == r.flow->parent) out += " (flow ends)";
  out += " on ";
  out += r.event;
  return out;
}
