// framework_text_fuzz.cc - the stand-in's text parsers: EqAdr::adr and
// EqData::set_from_string.
//
// The first byte chooses: an even byte parses the rest as an address, which
// must show as a text that parses back into the same four parts; an odd
// byte picks a type code (from the list below, or any code) and parses the
// rest as a value of that type. A text that is taken must show as a text
// that is taken again and gives the same value; a refused text must leave
// the container as it was.

#include <string.h>

#include <string>

#include "fuzz/fuzz.h"

namespace {

const int kTypes[] = {DATA_NULL, DATA_INT,     DATA_FLOAT, DATA_STRING, DATA_DOUBLE, DATA_SHORT,
                      DATA_LONG, DATA_UINT,    DATA_ULONG, DATA_IIII,   DATA_IFFF,   DATA_SPECTRUM,
                      DATA_TDS,  DATA_A_FLOAT, DATA_HIST,  DATA_USTR,   7777};
constexpr size_t kTypeCount = sizeof kTypes / sizeof kTypes[0];

void address(const std::string& text) {
  EqAdr a;
  a.adr(text);
  EqAdr b;
  b.adr(a.show_adr());
  FUZZ_CHECK(b.show_adr() == a.show_adr());  // the text form tells the parts apart
}

void value(int type, const std::string& text) {
  EqData d;
  d.set_type(type);
  std::string before = d.text_value();
  if (d.set_from_string(text) != 0) {
    FUZZ_CHECK(d.type() == type && d.text_value() == before);
    return;
  }
  FUZZ_CHECK(d.type() == type && d.error() == 0);
  EqData again;
  again.set_type(type);
  FUZZ_CHECK(again.set_from_string(d.text_value()) == 0);
  FUZZ_CHECK(again.text_value() == d.text_value() && again.length() == d.length());
  char small[8];
  d.get_string(small, sizeof small);
  FUZZ_CHECK(strlen(small) < sizeof small);
  d.get_int();  // no undefined conversion for the sanitizers to find
  d.get_float();
  FUZZ_CHECK(d.get_float(d.length()) == 0);  // past the end
  FUZZ_CHECK((d.get_ustr(0) != nullptr) == (type == DATA_USTR && d.length() > 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] % 2 == 0) {
    address(text);
    return 0;
  }
  size_t pick = (data[0] / 2) % (kTypeCount + 1);
  value(pick < kTypeCount ? kTypes[pick] : static_cast<int>(data[0]) * 1000, text);
  return 0;
}
