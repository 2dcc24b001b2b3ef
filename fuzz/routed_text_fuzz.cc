// routed_text_fuzz.cc - text written through a location handle into every
// property type, and read back as text.
//
// The first byte chooses the property (int, float, IIII, IFFF, history,
// USTR, and a text property that routing refuses) and whether the handle
// is used on the superstate that owns the location or forwarded from a
// simple state inside it; the rest is the text. The text read back after a
// write must read back the same once written again (the text form is a
// fixed point after one round), must fit the caller's 256-byte array, and a
// USTR property must hand back the written text.

#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz.h"

namespace {

constexpr size_t kCallerArray = 256;
const char* const kNames[] = {"IVAL", "FVAL", "QUAD", "FILT", "HIST", "TEXT", "NAME"};
constexpr int kProps = 7;

// A superstate location with a property of every kind, and a simple state
// inside it; made once and kept for the whole process.
struct Site {
  Site() : loc(new EqFSMlocation(2)), inner(new FSMstate("inner", "", 0)) {
    loc->set_name("SITE");
    loc->norix_data = {new norix::D_value<int>("IVAL an int", loc),
                       new norix::D_value<float>("FVAL a float", loc),
                       new D_iiii("QUAD four ints", loc),
                       new D_dig_filter("FILT an int and three floats", loc),
                       new D_hist("HIST a history", loc, 4),
                       new D_ustr("TEXT a text record", loc),
                       new D_string("NAME plain text", loc)};
    loc->bind();
    loc->state_ptr->set_root(loc->state_ptr);
    loc->state_ptr->add_state(0, inner);
    inner->set_root(loc->state_ptr);
  }
  EqFSMlocation* loc;
  FSMstate* inner;
};

// The text the state gives for handle h, into a new array and into the
// caller's array; both must agree, cut to the array. -1 when refused.
int read_text(FSMstate* sp, int h, std::string* out) {
  char* fresh = nullptr;
  int rc = sp->data_get(h, &fresh, 0);
  std::vector<char> mine(kCallerArray + 16, 'Z');
  char* p = mine.data();
  FUZZ_CHECK(sp->data_get(h, &p, 0) == rc && (rc == 0) == (fresh != nullptr));
  if (rc != 0) return rc;
  size_t held = strnlen(mine.data(), kCallerArray);
  FUZZ_CHECK(held < kCallerArray);  // terminated within the array
  FUZZ_CHECK(std::string(mine.begin() + kCallerArray, mine.end()) == std::string(16, 'Z'));
  FUZZ_CHECK(strncmp(fresh, mine.data(), held) == 0);
  *out = fresh;
  delete[] fresh;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int which = data[0] % kProps;
  static Site site;
  FSMstate* sp = (data[0] / kProps) % 2 == 1 ? site.inner : site.loc->state_ptr;
  int h = sp->data_open(kNames[which], 0);
  FUZZ_CHECK(h < -1);

  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  int wrote = sp->data_set(h, &text[0], 0);
  FUZZ_CHECK(wrote == 0 || wrote == -1);
  std::string first;
  if (read_text(sp, h, &first) != 0) {
    FUZZ_CHECK(which == 4 || which == 6);  // histories and plain text are not read here
    return 0;
  }
  FUZZ_CHECK(which != 5 || wrote != 0 || first == text.c_str());
  std::string second = first;
  FUZZ_CHECK(sp->data_set(h, &second[0], 0) == 0 && read_text(sp, h, &second) == 0);
  FUZZ_CHECK(first == second);
  return 0;
}
