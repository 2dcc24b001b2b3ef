// saved_values.cc - saved value lines: how a property's saved value is
// written (under its op_lock) and how the host loads the lines back into a
// location's properties.

#include "framework/objects/saved_values.h"

#include <algorithm>
#include <istream>
#include <sstream>
#include <string>

#include "framework/base/text.h"
#include "framework/objects/eq_fct.h"

namespace {

// A saved value text as a configuration record: <i1> <f1> <f2> <tm> "<text>"
// (read with the USTR text form, then the quoted text whole) or a single
// number (i1_data truncated, f1_data rounded). False when it is neither.
bool parse_saved_value(const std::string& text, D_conf_ustr* out) {
  size_t open = text.find('"');
  size_t close = text.rfind('"');
  EqData parsed;
  if (open != std::string::npos && close > open) {
    parsed.set_type(DATA_USTR);
    if (parsed.set_from_string(text.substr(0, open)) != 0 || parsed.length() != 1) return false;
    const USTR* u = parsed.get_ustr(0);
    out->i1_data = u->i1_data;
    out->f1_data = u->f1_data;
    out->f2_data = u->f2_data;
    out->tm = u->tm;
    out->d_name = text.substr(open + 1, close - open - 1);
    return true;
  }
  parsed.set_type(DATA_DOUBLE);
  if (parsed.set_from_string(text) != 0) return false;
  out->i1_data = parsed.get_int();
  out->f1_data = parsed.get_float();
  return true;
}

}  // namespace

namespace norix {

namespace internal {

std::string saved_line(D_fct* p) {
  std::ostringstream line;
  pthread_mutex_lock(p->op_lock());
  p->write(line);
  pthread_mutex_unlock(p->op_lock());
  return line.str().empty() ? std::string() : p->name() + line.str();
}

}  // namespace internal

int load_config(EqFct* location, std::istream& in) {
  if (location == nullptr) return 0;
  int failed = 0;
  std::string line;
  while (std::getline(in, line)) {
    size_t at = 0;
    std::string name;
    if (!norix::internal::next_word(line, &at, &name)) continue;
    // The value follows the name after " \t" as EqFct::write puts it, or
    // after any white space.
    if (line.compare(at, 2, " \t") == 0) {
      at += 2;
    } else {
      at = std::min(line.find_first_not_of(norix::internal::kWhiteSpace, at), line.size());
    }
    std::string value = line.substr(at);
    D_fct* p = location->find_property(name);
    if (p == nullptr) {
      ++failed;
      continue;
    }
    if (p->data_type() == DATA_STRING) {
      p->read_from_conf(value);
      continue;
    }
    D_conf_struct record{name, D_conf_ustr{0, 0, 0, 0, std::string()}};
    if (!parse_saved_value(value, &record.d_ustr)) {
      ++failed;
      continue;
    }
    p->set_conf_record(record);
    p->read();
  }
  return failed;
}

}  // namespace norix
