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

#include "fuzz/fuzz.h"

namespace {

constexpr size_t kTextMax = 80;

// idle -go-> busy, posting "went" to every state; busy -back-> idle, and
// any other event keeps it busy.
void build(EqFSMlocation* loc) {
  FSMsuperstate* root = loc->state_ptr;
  FSMstate* idle = new FSMstate("idle", "waiting", 0);
  FSMstate* busy = new FSMstate("busy", "working", 0);
  idle->add_transition("go", nullptr, nullptr, "went", "*", "busy");
  busy->add_transition("back", nullptr, nullptr, nullptr, nullptr, "idle");
  busy->add_transition("*", nullptr, nullptr, nullptr, nullptr, "busy");
  root->add_state(0, idle);
  root->add_state(0, busy);
}

node_info fuzz_type = {nullptr, "fuzz", build};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static EqFSMlocation* loc = entered_machine(&fuzz_type, "FUZZ");
  auto* root = dynamic_cast<FSMrootstate*>(loc->state_ptr);
  D_event& event = loc->event;
  int mode = data[0] % 5;
  const uint8_t* rest = data + 1;
  size_t n = size - 1;

  unsigned stated = 0;  // the next four bytes, little-endian
  memcpy(&stated, rest, n < 4 ? n : 4);
  // Mode 1 sends the bytes themselves, unterminated; the others what
  // follows the stated length, terminated.
  std::vector<char> text(rest + (mode == 1 ? 0 : (n < 4 ? n : 4)), rest + n);
  if (mode != 1) text.push_back('\0');
  USTR u{0, 0, 0, 1, {stated, text.empty() || mode == 2 ? nullptr : text.data()}};
  if (mode == 1) u.str_data.str_data_len = n > 0 ? stated % (n + 1) : 0;
  EqData in;
  EqData res;
  mode == 3 ? in.set(std::string(reinterpret_cast<const char*>(rest), n)) : in.set(u, 0);
  mode == 4 ? event.set_event(&u) : event.set(nullptr, &in, &res, loc);

  FUZZ_CHECK(event.value()->str_data.str_data_val == event.comment);
  size_t held = strnlen(event.comment, sizeof event.comment);
  FUZZ_CHECK(held <= kTextMax && event.value()->str_data.str_data_len <= held + 1);
  FUZZ_CHECK(event.evn.event.size() <= kTextMax && event.evn.state.size() <= kTextMax);

  // The posted event, the signals its transitions post and the closing
  // timer all come out, and the queue is left empty.
  root->post_event(nullptr);
  FSMevent ev;
  for (int out = 0;; ++out) {
    root->process_event(&ev);
    if (ev.event == "timer" && ev.state == "*") break;
    FUZZ_CHECK(ev.event.size() <= kTextMax && out <= 64);
  }
  FUZZ_CHECK(root->event_fifo.pending() == 0);
  return 0;
}
