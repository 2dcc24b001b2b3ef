// eq_adr.cc - EqAdr: the four parts of a device address and its text form.
//
// Text form: FACILITY/DEVICE/LOCATION/PROPERTY. Inside a part, show_adr()
// writes a backslash as two backslashes and a "/" as a backslash and "/",
// so that adr() reads every address it made back into the same four parts.
// adr() accepts any text: missing parts stay empty, everything after the
// third separator belongs to the property, and a backslash that is not
// followed by a backslash or "/" is an ordinary character.

#include "framework/values/eq_adr.h"

#include <string>

#include "framework/base/text.h"

namespace {

// A part's own "/" is escaped so that it is not read as a separator.
std::string escape_part(const std::string& part) {
  return norix::internal::escape_chars(part, "/");
}

}  // namespace

EqAdr::EqAdr() = default;

void EqAdr::adr(const std::string& text) {
  std::string parts[4];
  int n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '/')) {
      parts[n] += text[++i];
    } else if (c == '/' && n < 3) {
      ++n;
    } else {
      parts[n] += c;
    }
  }
  facility_ = parts[0];
  device_ = parts[1];
  location_ = parts[2];
  property_ = parts[3];
}

void EqAdr::set(const std::string& facility, const std::string& location, const std::string& device,
                const std::string& property) {
  facility_ = facility;
  location_ = location;
  device_ = device;
  property_ = property;
}

void EqAdr::set_location(const std::string& location) {
  location_ = location;
}

void EqAdr::set_property(const std::string& property) {
  property_ = property;
}

std::string EqAdr::show_adr() const {
  return escape_part(facility_) + "/" + escape_part(device_) + "/" + escape_part(location_) + "/" +
         escape_part(property_);
}
