// fsm_trace.cc - FSMtrace: the transition ring and the change counter.
//
// `mux` is a leaf lock (see fsm_trace.h). The change counter is written by
// the dispatching thread alone, with atomic stores, and read by any thread.

#include "fsm/fsm_trace.h"

#include <string.h>
#include <time.h>

#include "framework/log.h"
#include "fsm/internal.h"

namespace {

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

FSMtrace::FSMtrace(size_t size) : next(0), count(0), log(false), changes(0) {
  fsm_internal::init_private_mutex(&mux);
  ring.resize(size);
}

FSMtrace::~FSMtrace() {
  pthread_mutex_destroy(&mux);
}

void FSMtrace::configure(size_t size, bool log_each) {
  pthread_mutex_lock(&mux);
  ring.assign(size, record());
  next = 0;
  log = log_each;
  pthread_mutex_unlock(&mux);
}

void FSMtrace::begin_change() {
  unsigned long c = __atomic_load_n(&changes, __ATOMIC_RELAXED);
  __atomic_store_n(&changes, c + 1, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_RELEASE);
}

void FSMtrace::end_change() {
  unsigned long c = __atomic_load_n(&changes, __ATOMIC_RELAXED);
  __atomic_store_n(&changes, c + 1, __ATOMIC_RELEASE);
}

unsigned long FSMtrace::change_count() const {
  return __atomic_load_n(&changes, __ATOMIC_ACQUIRE);
}

void FSMtrace::add(const FSMsuperstate::frame* flow, const FSMstate* from, const FSMstate* to,
                   const std::string& event) {
  if (ring.empty()) return;  // the size changes only before the threads start
  long long ms = now_ms();
  size_t n = event.size() < EVENT_MAX ? event.size() : EVENT_MAX;
  pthread_mutex_lock(&mux);
  record& r = ring[next];
  r.seq = ++count;
  r.time_ms = ms;
  r.flow = flow;
  r.from = from;
  r.to = to;
  memcpy(r.event, event.data(), n);
  r.event[n] = '\0';
  next = next + 1 == ring.size() ? 0 : next + 1;
  bool log_it = log;
  record copy = log_it ? r : record();
  pthread_mutex_unlock(&mux);
  if (log_it) {
    norix::log_message(norix::LOG_INFO,
                       "transition " + std::to_string(copy.seq) + " " + text(copy));
  }
}

unsigned long long FSMtrace::last_seq() const {
  pthread_mutex_lock(&mux);
  unsigned long long n = count;
  pthread_mutex_unlock(&mux);
  return n;
}

std::vector<FSMtrace::record> FSMtrace::copy() const {
  std::vector<record> out;
  pthread_mutex_lock(&mux);
  size_t held = count < ring.size() ? static_cast<size_t>(count) : ring.size();
  out.reserve(held);
  size_t first = (next + ring.size() - held) % (ring.empty() ? 1 : ring.size());
  for (size_t i = 0; i < held; ++i)
    out.push_back(ring[(first + i) % ring.size()]);
  pthread_mutex_unlock(&mux);
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
