// text.cc - the text rules of the framework: numbers in and out of text,
// and the escapes of one-line texts.

#include "framework/base/text.h"

#include <ctype.h>
#include <errno.h>
#include <float.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace norix {
namespace internal {

int low_32_bits(unsigned long long v) {
  return static_cast<int>(static_cast<unsigned int>(v));
}

// Truncation toward zero without undefined behaviour: NaN gives 0, values
// beyond the int range give the nearest end of it.
int truncate_to_int(double v) {
  if (isnan(v)) return 0;
  if (v >= 2147483647.0) return INT_MAX;
  if (v <= -2147483648.0) return INT_MIN;
  return static_cast<int>(v);
}

// The float nearest to v; beyond the float range the result rounds to
// FLT_MAX or to infinity as the hardware would, without undefined behaviour.
float nearest_float(double v) {
  if (isnan(v) || fabs(v) <= FLT_MAX) return static_cast<float>(v);
  const double halfway = static_cast<double>(FLT_MAX) + ldexp(1.0, 103);
  float r = fabs(v) < halfway ? FLT_MAX : HUGE_VALF;
  return v < 0 ? -r : r;
}

namespace {

// The shortest "%g" text of v that reads back to the same float.
// The shortest "%g" text that reads back to v: of the precisions that read
// back, the one with the fewest characters, so that 20 is "20", not "2e+01".
template <typename T>
std::string shortest_text(T v, int max_precision, T (*read)(const char*, char**)) {
  char buf[64];
  std::string best;
  for (int precision = 1; precision <= max_precision; ++precision) {
    snprintf(buf, sizeof buf, "%.*g", precision, static_cast<double>(v));
    bool exact = isnan(v) || read(buf, nullptr) == v;
    if (exact && (best.empty() || strlen(buf) < best.size())) best = buf;
    if (exact && strchr(buf, 'e') == nullptr) break;  // more digits only make it longer
  }
  return best.empty() ? std::string(buf) : best;
}

}  // namespace

std::string format_float(float v) {
  return shortest_text<float>(v, 9, strtof);
}

std::string format_double(double v) {
  return shortest_text<double>(v, 17, strtod);
}

std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  size_t pos = 0;
  std::string word;
  while (next_word(text, &pos, &word))
    words.push_back(word);
  return words;
}

// A number text in plain decimal notation (no hex, no inf or nan words).
bool is_decimal_number(const std::string& word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (!(isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.' || c == 'e' ||
          c == 'E')) {
      return false;
    }
  }
  return true;
}

bool parse_double(const std::string& word, double* out) {
  if (word.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double v = strtod(word.c_str(), &end);
  if (*end != '\0' || (errno == ERANGE && fabs(v) == HUGE_VAL)) return false;
  *out = v;
  return true;
}

bool parse_float(const std::string& word, float* out) {
  if (word.empty()) return false;
  char* end = nullptr;
  errno = 0;
  float v = strtof(word.c_str(), &end);
  if (*end != '\0' || (errno == ERANGE && fabs(v) == HUGE_VALF)) return false;
  *out = v;
  return true;
}

bool parse_integer(const char* text, int base, long long lo, long long hi, long long* out,
                   const char** rest) {
  if (text == nullptr) return false;
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, base);
  if (end == text || errno == ERANGE || (rest == nullptr && *end != '\0')) return false;
  if (v < lo || v > hi) return false;
  *out = v;
  if (rest != nullptr) *rest = end;
  return true;
}

// A whole word as a signed integer in [lo, hi]: decimal digits, or a decimal
// number with an exact integral value.
bool parse_signed(const std::string& word, long long lo, long long hi, long long* out) {
  if (word.empty()) return false;
  if (parse_integer(word.c_str(), 10, lo, hi, out)) return true;
  double d = 0;
  long long v = 0;
  if (!is_decimal_number(word) || !parse_double(word, &d) || !isfinite(d) || d != trunc(d)) {
    return false;
  }
  if (d < static_cast<double>(lo) || d >= 9223372036854775808.0) return false;
  v = static_cast<long long>(d);
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool parse_unsigned(const std::string& word, unsigned long long hi, unsigned long long* out) {
  if (word.empty() || word[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(word.c_str(), &end, 10);
  if (*end == '\0' && errno == 0) {
    if (v > hi) return false;
    *out = v;
    return true;
  }
  double d = 0;
  if (!is_decimal_number(word) || !parse_double(word, &d) || !isfinite(d) || d != trunc(d)) {
    return false;
  }
  if (d < 0 || d >= 18446744073709551616.0) return false;
  v = static_cast<unsigned long long>(d);
  if (v > hi) return false;
  *out = v;
  return true;
}

bool parse_int32(const std::string& word, int* out) {
  long long v = 0;
  if (!parse_signed(word, INT_MIN, INT_MAX, &v)) return false;
  *out = static_cast<int>(v);
  return true;
}

namespace {

// The letter that stands for c after a backslash.
char escape_letter(char c) {
  switch (c) {
    case '\n':
      return 'n';
    case '\r':
      return 'r';
    case ' ':
      return 's';
    case '\t':
      return 't';
    default:
      return c;
  }
}

// The character of chars that a backslash and letter stand for (a
// backslash for a second one), or 0 when they are no escape.
char escaped_char(char letter, const char* chars) {
  if (letter == '\\') return '\\';
  for (const char* c = chars; *c != '\0'; ++c) {
    if (escape_letter(*c) == letter) return *c;
  }
  return '\0';
}

}  // namespace

std::string escape_chars(const std::string& text, const char* chars) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c != '\0' && strchr(chars, c) != nullptr) {
      out += '\\';
      out += escape_letter(c);
    } else {
      out += c;
    }
  }
  return out;
}

bool unescape_chars(const std::string& text, const char* chars, bool strict, std::string* out) {
  std::string s;
  s.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    char e = c == '\\' && i + 1 < text.size() ? escaped_char(text[i + 1], chars) : '\0';
    if (e != '\0') {
      s += e;
      ++i;
    } else if (c == '\\' && strict) {
      return false;
    } else {
      s += c;
    }
  }
  *out = s;
  return true;
}

std::string escape_line(const std::string& text) {
  return escape_chars(text, "\n");
}

std::string unescape_line(const std::string& text) {
  std::string out;
  unescape_chars(text, "\n", false, &out);
  return out;
}

bool parse_number(const std::string& text, long min, long max, long* out) {
  if (text.empty() || text.size() > 12) return false;
  if (!(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-')) return false;
  long long v = 0;
  if (!parse_integer(text.c_str(), 10, min, max, &v)) return false;
  *out = static_cast<long>(v);
  return true;
}

}  // namespace internal
}  // namespace norix
