// event_write_fuzz.cc - client writes to EVENT of arbitrary USTR or string
// data, then the dispatch of what they posted through a small machine.
//
// The first byte chooses how the bytes after it arrive:
//   0: a USTR whose text is terminated after the bytes and whose stated
//      length is taken from the next four bytes (any value);
//   1: a USTR whose text is exactly the bytes, unterminated, with a stated
//      length of at most their number (the client's buffer ends there);
//   2: a USTR with a null text and the stated length of the next four bytes;
//   3: string data;
//   4: the USTR of mode 0 given straight to set_event, as the framework's
//      own server would.
// Whatever is posted is dispatched at once. The stored value must stay
// within its 80 characters, terminated, with a length that does not claim
// more than it holds; every posted event must come out of the queue.

#include <string.h>

#include <string>
#include <vector>

#include "fsm/fsm.h"
#include "fuzz/fuzz.h"

namespace {

constexpr size_t kTextMax = 80;

void build(EqFSMlocation* loc) {
  FSMsuperstate* root = loc->state_ptr;
  FSMstate* idle = new FSMstate("idle", "waiting", 0);
  FSMstate* busy = new FSMstate("busy", "working", 0);
  idle->add_transition("go", nullptr, nullptr, "went", "*", "busy");
  busy->add_transition("back", nullptr, nullptr, nullptr, nullptr, "idle");
  busy->add_transition("*", nullptr, nullptr, nullptr, nullptr, "busy");
  root->add_state(0, idle);
  root->add_state(0, busy);
  FSMsuperstate* sub = new FSMsuperstate(nullptr, "sub", "nested", 0);
  FSMstate* x = new FSMstate("x", "", 0);
  FSMstate* y = new FSMstate("y", "", 0);
  x->add_transition("go", nullptr, nullptr, nullptr, nullptr, "y");
  y->add_transition("go", nullptr, nullptr, nullptr, nullptr, "sub");
  sub->add_state(0, x);
  sub->add_state(0, y);
  root->add_state(1, sub);
}

node_info fuzz_type = {nullptr, "fuzz", build};

// A root location of the machine above, entered on this thread; no engine
// threads run, the target dispatches itself. Lives for the whole process.
EqFSMlocation* machine() {
  static EqFSMlocation* loc = [] {
    init_list = &fuzz_type;
    gbl_fct_name = "fuzz";
    auto* l = static_cast<EqFSMlocation*>(eq_create(100, nullptr));
    l->state_ptr->set_root(l->state_ptr);
    l->state_ptr->link_state();
    l->state_ptr->init_state();
    l->state_ptr->enter_state();
    return l;
  }();
  return loc;
}

unsigned read_u32(const uint8_t* p, size_t n) {
  unsigned v = 0;
  for (size_t i = 0; i < 4 && i < n; ++i)
    v |= static_cast<unsigned>(p[i]) << (8 * i);
  return v;
}

// Dispatches every queued event and the closing timer; false when more
// events come out than were posted (signals posted by transitions count).
bool dispatch_all(FSMrootstate* root, int posted) {
  root->post_event(nullptr);
  FSMevent ev;
  int out = 0;
  for (;;) {
    root->process_event(&ev);
    if (ev.event == "timer" && ev.state == "*") break;
    FUZZ_CHECK(ev.event.size() <= kTextMax);
    if (++out > posted + 64) return false;
  }
  return root->event_fifo.pending() == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  EqFSMlocation* loc = machine();
  auto* root = dynamic_cast<FSMrootstate*>(loc->state_ptr);
  D_event& event = loc->event;
  int mode = data[0] % 5;
  const uint8_t* rest = data + 1;
  size_t n = size - 1;

  std::vector<char> text;
  USTR u{};
  u.tm = 1;
  EqData in;
  EqData res;
  if (mode == 0 || mode == 2 || mode == 4) {
    u.str_data.str_data_len = read_u32(rest, n);
    size_t skip = n < 4 ? n : 4;
    text.assign(rest + skip, rest + n);
    text.push_back('\0');
    u.str_data.str_data_val = mode == 2 ? nullptr : text.data();
  } else if (mode == 1) {
    text.assign(rest, rest + n);
    unsigned stated = read_u32(rest, n);
    u.str_data.str_data_len = n > 0 ? stated % (n + 1) : 0;
    u.str_data.str_data_val = text.empty() ? nullptr : text.data();
  }
  if (mode == 4) {
    event.set_event(&u);
  } else if (mode == 3) {
    in.set(std::string(reinterpret_cast<const char*>(rest), n));
    event.set(nullptr, &in, &res, loc);
  } else {
    in.set(u, 0);
    event.set(nullptr, &in, &res, loc);
  }

  const USTR* v = event.value();
  FUZZ_CHECK(v->str_data.str_data_val == event.comment);
  size_t held = strnlen(event.comment, sizeof event.comment);
  FUZZ_CHECK(held <= kTextMax);
  FUZZ_CHECK(v->str_data.str_data_len <= held + 1);
  FUZZ_CHECK(event.evn.event.size() <= kTextMax && event.evn.state.size() <= kTextMax);
  FUZZ_CHECK(dispatch_all(root, 1));
  return 0;
}
