// json.h - text for JSON documents made by hand.

#ifndef FRAMEWORK_BASE_JSON_H
#define FRAMEWORK_BASE_JSON_H

#include <string>

namespace norix {

// text as a JSON string, quotes included: '"' and '\' escaped, control
// characters as \u00XX; other bytes, UTF-8 among them, as they stand.
std::string json_quote(const std::string& text);

}  // namespace norix

#endif  // FRAMEWORK_BASE_JSON_H
