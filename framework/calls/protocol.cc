// protocol.cc - the request, answer and push lines of the wire protocol
// and their escapes.

#include "framework/calls/protocol.h"

#include <string>

#include "framework/base/text.h"
#include "framework/values/errors.h"

namespace norix {
namespace protocol {

using internal::parse_number;

namespace {

bool parse_address(const std::string& word, EqAdr* out) {
  std::string text;
  if (word.empty() || word.find_first_of(" \t") != std::string::npos || !unescape(word, &text)) {
    return false;
  }
  out->adr(text);
  return true;
}

}  // namespace

std::string escape(const std::string& text, bool word) {
  return internal::escape_chars(text, word ? ADDRESS_ESCAPES : TEXT_ESCAPES);
}

bool unescape(const std::string& text, std::string* out) {
  return internal::unescape_chars(text, ADDRESS_ESCAPES, true, out);
}

std::string get_request(const EqAdr& address) {
  return "get " + escape(address.show_adr(), true);
}

std::string names_request(const EqAdr& address) {
  return "names " + escape(address.show_adr(), true);
}

std::string set_request(const EqAdr& address, const EqData& value) {
  return "set " + escape(address.show_adr(), true) + " " + std::to_string(value.type()) + " " +
         escape(value.text_value(), false);
}

std::string save_request() {
  return "save";
}

std::string subscribe_request(const EqAdr& address) {
  return "subscribe " + escape(address.show_adr(), true);
}

std::string unsubscribe_request(long id) {
  return "unsubscribe " + std::to_string(id);
}

int parse_request(const std::string& line, Request* out) {
  // A NUL would cut the request short wherever it is read as a C string.
  if (line.find('\0') != std::string::npos) return ERR_BAD_REQUEST;
  size_t sp = line.find(' ');
  std::string command = line.substr(0, sp);
  std::string rest = sp == std::string::npos ? std::string() : line.substr(sp + 1);
  if (command == "save" && sp == std::string::npos) {
    out->command = Request::SAVE;
    return 0;
  }
  if (command == "get" || command == "names" || command == "subscribe") {
    if (!parse_address(rest, &out->address)) return ERR_BAD_REQUEST;
    out->command = command == "get"     ? Request::GET
                   : command == "names" ? Request::NAMES
                                        : Request::SUBSCRIBE;
    return 0;
  }
  if (command == "unsubscribe") {
    if (!parse_number(rest, 1, 1L << 40, &out->id)) return ERR_BAD_REQUEST;
    out->command = Request::UNSUBSCRIBE;
    return 0;
  }
  if (command != "set") return ERR_BAD_REQUEST;
  size_t a = rest.find(' ');
  if (a == std::string::npos || !parse_address(rest.substr(0, a), &out->address)) {
    return ERR_BAD_REQUEST;
  }
  size_t t = rest.find(' ', a + 1);
  long type = 0;
  std::string value;
  if (!parse_number(rest.substr(a + 1, t == std::string::npos ? t : t - a - 1), 0, 1 << 30,
                    &type) ||
      !unescape(t == std::string::npos ? std::string() : rest.substr(t + 1), &value)) {
    return ERR_BAD_REQUEST;
  }
  out->value.init();
  out->value.set_type(static_cast<int>(type));
  if (out->value.set_from_string(value) != 0) return ERR_BAD_REQUEST;
  out->command = Request::SET;
  return 0;
}

std::string answer_line(const EqData& result) {
  if (result.error() != 0) {
    std::string text = result.text_value();
    if (text.size() > MAX_ERROR_TEXT) text.resize(MAX_ERROR_TEXT);
    return "err " + std::to_string(result.error()) + " " + escape(text, false);
  }
  std::string line =
      "ok " + std::to_string(result.type()) + " " + escape(result.text_value(), false);
  if (line.size() <= MAX_ANSWER - ANSWER_ROOM) return line;
  return "err " + std::to_string(ERR_BAD_REQUEST) + " " +
         error_text(ERR_BAD_REQUEST, "the answer would be larger than 1 MiB");
}

int parse_answer(const std::string& line, EqData* result) {
  size_t a = line.find(' ');
  size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
  if (b == std::string::npos) return -1;
  std::string kind = line.substr(0, a);
  long number = 0;
  std::string text;
  if ((kind != "ok" && kind != "err") ||
      !parse_number(line.substr(a + 1, b - a - 1), 0, 1 << 30, &number) ||
      !unescape(line.substr(b + 1), &text)) {
    return -1;
  }
  EqData parsed;
  if (kind == "err") {
    if (number == 0) return -1;
    parsed.error(static_cast<int>(number), text);
  } else {
    parsed.set_type(static_cast<int>(number));
    if (parsed.set_from_string(text) != 0) return -1;
  }
  result->copy_from(&parsed);
  return 0;
}

std::string change_line(long id, const EqData& value) {
  return "change " + std::to_string(id) + " " + answer_line(value);
}

LineKind parse_monitor_line(const std::string& line, long* id, EqData* value) {
  if (line == BEAT_LINE) return BEAT;
  if (line.compare(0, 7, "change ") != 0) return parse_answer(line, value) == 0 ? ANSWER : GARBLED;
  size_t sp = line.find(' ', 7);
  if (sp == std::string::npos || !parse_number(line.substr(7, sp - 7), 1, 1L << 40, id) ||
      parse_answer(line.substr(sp + 1), value) != 0) {
    return GARBLED;
  }
  return CHANGE;
}

}  // namespace protocol
}  // namespace norix
