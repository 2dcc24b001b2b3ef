// fsm_journal.cc - a machine's records for the server's journal: fixed
// records queued without waiting (framework/objects/journal.h).

#include "fsm/fsm_journal.h"

#include <string.h>

#include "fsm/internal.h"

namespace {

constexpr int PATH_DEPTH = 16;  // superstates kept above a flow; deeper ones are left out

// "machine/0/heat/1" as FSMtrace::flow_path makes it, written into field
// (cut to its size) without building strings.
template <size_t N>
__attribute__((noinline)) void put_flow_path(char (&field)[N], const FSMsuperstate::frame* flow) {
  const FSMsuperstate::frame* chain[PATH_DEPTH];
  int depth = 0;
  for (const FSMsuperstate::frame* f = flow; f != nullptr && depth < PATH_DEPTH;) {
    chain[depth++] = f;
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
  size_t at = 0;
  for (int i = depth - 1; i >= 0; --i) {
    // "/ID", the digits written backwards from the end of part.
    char part[24];
    char* p = part + sizeof part;
    unsigned id = static_cast<unsigned>(chain[i]->id);
    do {
      *--p = static_cast<char>('0' + id % 10);
      id /= 10;
    } while (id != 0);
    *--p = '/';
    size_t n = static_cast<size_t>(part + sizeof part - p);
    const char* name = chain[i]->parent->get_name();
    size_t len = strlen(name);
    if (i != depth - 1 && at < N - 1) field[at++] = '/';
    size_t take = len < N - 1 - at ? len : N - 1 - at;
    memcpy(field + at, name, take);
    at += take;
    take = n < N - 1 - at ? n : N - 1 - at;
    memcpy(field + at, p, take);
    at += take;
  }
  field[at] = '\0';
}

// text into field, cut to it and terminated, as norix::journal_put does;
// inline, so that the short names of a transition cost no call.
template <size_t N>
void put(char (&field)[N], const std::string& text) {
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  fsm_internal::copy_bytes(field, text.data(), n);
  field[n] = '\0';
}

}  // namespace

// Built in the queue's cell: a transition the queue has no room for costs
// no more than the claim that fails (not even a clock read).
void fsm_journal_transition(const FSMsuperstate::frame* f, const FSMstate* from, const FSMstate* to,
                            const std::string& event) {
  norix::journal_record* r = norix::journal_claim();
  if (r == nullptr) return;
  r->time_ms = norix::journal_now();
  r->kind = norix::JOURNAL_TRANSITION;
  const FSMstate* rt = f->parent->get_root();
  if (rt != nullptr) put(r->location, rt->name);
  if (!f->path.empty()) {
    put(r->subject, f->path);
  } else {
    put_flow_path(r->subject, f);  // a flow used without linking its machine
  }
  if (from != nullptr) {
    put(r->old_value, from->name);
  } else {
    norix::journal_put(r->old_value, "?");
  }
  if (to != nullptr) {
    put(r->new_value, to->name);
  } else {
    norix::journal_put(r->new_value, "(stays)");
  }
  put(r->detail, event);
  norix::journal_publish(r);
}

void fsm_journal_event(const FSMstate* rt, const FSMevent& ev, const char* source) {
  norix::journal_record r = norix::journal_make(norix::JOURNAL_EVENT);
  norix::journal_put(r.location, rt->get_name());
  norix::journal_put(r.source, source != nullptr ? source : norix::journal_caller());
  norix::journal_put(r.subject, ev.event);
  norix::journal_put(r.detail, ev.state);
  norix::journal_push(r);
}

void fsm_journal_fault(FSMrootstate* rt) {
  if (__atomic_load_n(&rt->error_set, __ATOMIC_ACQUIRE) == 0 && rt->journalled_fault.empty())
    return;
  char now[sizeof(norix::journal_record::new_value)];
  rt->copy_error(now, sizeof now);
  if (rt->journalled_fault == now) return;
  norix::journal_record r = norix::journal_make(norix::JOURNAL_FAULT);
  norix::journal_put(r.location, rt->get_name());
  norix::journal_put(r.subject, rt->get_name());
  norix::journal_put(r.old_value, rt->journalled_fault);
  norix::journal_put(r.new_value, now);
  norix::journal_push(r);
  rt->journalled_fault = now;  // also when the record was dropped: the drop is counted
}
