// save_load_fuzz.cc - arbitrary client writes to every kind of saved
// property, then the location's saved lines read as a server configuration
// and loaded into a fresh location: the configuration keeps its one
// location and one line per property, and every value reads back the same.
//
// The input is a sequence of writes: a byte k, a length byte n and n bytes.
// k % 5 chooses the property (a text, an int, a float, EVENT, a USTR
// record); k / 5 % 2 whether the bytes arrive as string data or as a USTR
// whose i1, f1, f2 and tm are the first 16 bytes and whose text the rest.

#include <string.h>

#include <sstream>
#include <string>

#include "framework/host/server_config.h"
#include "fuzz/fuzz.h"

namespace {

constexpr size_t kReadMax = 79;  // characters of a USTR text that a load gives back

// The saved properties of one location, as a server's program has them.
struct Saved {
  EqFct loc{"NAME = location"};
  D_string text{"TEXT a text", &loc};
  norix::D_value<int> count{"COUNT a number", &loc};
  norix::D_value<float> gain{"GAIN a gain", &loc};
  D_event event{"EVENT the last event", &loc};
  D_fsmstr note{"NOTE a record", &loc};
  D_fct* props[5] = {&text, &count, &gain, &event, &note};
};

bool same_record(const USTR* a, const USTR* b) {
  std::string ta(a->str_data.str_data_val, strnlen(a->str_data.str_data_val, kReadMax));
  return a->i1_data == b->i1_data && a->f1_data == b->f1_data && a->f2_data == b->f2_data &&
         a->tm == b->tm && ta == b->str_data.str_data_val;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Saved written;
  for (size_t at = 0; at + 2 <= size;) {
    int k = data[at];
    size_t n = std::min<size_t>(data[at + 1], size - at - 2);
    std::string bytes(reinterpret_cast<const char*>(data + at + 2), n);
    at += 2 + n;
    EqData value;
    EqData result;
    if (k / 5 % 2 == 0 || n < 16) {
      value.set(bytes);
    } else {
      USTR u{};
      int32_t tm = 0;
      memcpy(&u.i1_data, bytes.data(), 4);
      memcpy(&u.f1_data, bytes.data() + 4, 4);
      memcpy(&u.f2_data, bytes.data() + 8, 4);
      memcpy(&tm, bytes.data() + 12, 4);
      u.tm = tm;
      std::string rest = bytes.substr(16);
      u.str_data.str_data_len = static_cast<unsigned>(rest.size() + 1);
      u.str_data.str_data_val = &rest[0];
      value.set(u, 0);
    }
    written.props[k % 5]->set(nullptr, &value, &result, &written.loc);
  }

  std::ostringstream lines;
  written.loc.write(lines);
  std::istringstream text("server F D\nlisten unix:s\nlocation FUZZ 100\n" + lines.str());
  norix::ServerConfig config;
  std::string why;
  FUZZ_CHECK(norix::parse_config(text, "fuzz.conf", &config, &why) == 0);
  FUZZ_CHECK(config.locations.size() == 1 && config.locations[0].lines.size() == 5);

  Saved loaded;
  for (const norix::ServerConfig::saved_line& s : config.locations[0].lines) {
    std::istringstream one(s.text);
    FUZZ_CHECK(norix::load_config(&loaded.loc, one) == 0);
  }
  FUZZ_CHECK(std::string(written.text.value()) == loaded.text.value());
  FUZZ_CHECK(written.count.value() == loaded.count.value());
  FUZZ_CHECK(written.gain.value() == loaded.gain.value());
  FUZZ_CHECK(same_record(written.event.value(), loaded.event.value()));
  FUZZ_CHECK(same_record(written.note.value(), loaded.note.value()));
  return 0;
}
