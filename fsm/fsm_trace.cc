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
#include "fsm/internal.h"

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
    : cause(nullptr),
      in_event(false),
      next(0),
      count(0),
      log(false),
      changes(0),
      event_time(0),
      packed(nullptr),
      packed_words(0),
      words() {
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
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void FSMtrace::pack(const std::string& event) {
  event_ms();
  size_t n = event.size() < EVENT_MAX ? event.size() : EVENT_MAX;
  packed_words = n / 8 + 1;
  words[packed_words - 1] = 0;
  fsm_internal::copy_bytes(reinterpret_cast<char*>(words), event.data(), n);
  packed = &event;
}

void FSMtrace::log_record(unsigned long long seq, const slot& s) {
  record r{seq, s.time_ms, s.flow, s.from, s.to, {}};
  memcpy(r.event, words, packed_words * 8);
  norix::log_message(norix::LOG_INFO, "transition " + std::to_string(seq) + " " + text(r));
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
  if (!flow->path.empty()) return flow->path;
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
