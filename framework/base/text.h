// text.h - the text rules of the framework: white-space separated words,
// numbers in and out of text, and the escapes of one-line texts. Used by
// the framework's sources; not part of its interface.

#ifndef FRAMEWORK_BASE_TEXT_H
#define FRAMEWORK_BASE_TEXT_H

#include <ctype.h>
#include <stddef.h>

#include <string>
#include <vector>

namespace norix {
namespace internal {

constexpr const char* kWhiteSpace = " \t\n\v\f\r";  // what isspace() takes in the C locale

// The next white-space separated word of text from *pos on, into *word;
// *pos then stands just after it. False when only white space is left.
inline bool next_word(const std::string& text, size_t* pos, std::string* word) {
  size_t i = *pos;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i])))
    ++i;
  size_t start = i;
  while (i < text.size() && !isspace(static_cast<unsigned char>(text[i])))
    ++i;
  *pos = i;
  *word = text.substr(start, i - start);
  return i > start;
}

// The first word of a text, after any leading white space.
inline std::string first_word(const std::string& text) {
  size_t pos = 0;
  std::string word;
  next_word(text, &pos, &word);
  return word;
}

// Every white-space separated word of text, in order.
std::vector<std::string> split_words(const std::string& text);

// Numbers out of values: the low 32 bits as an int; truncation toward zero
// that gives 0 for NaN and the nearest end of the int range beyond it; the
// float nearest to v (beyond the float range FLT_MAX or infinity, as the
// hardware would round).
int low_32_bits(unsigned long long v);
int truncate_to_int(double v);
float nearest_float(double v);

// The shortest "%g" text that reads back to the same float or double.
std::string format_float(float v);
std::string format_double(double v);

// The one rule for an integer in a range: what strtoll reads in base
// (leading white space, an optional sign, digits), in [lo, hi]. With rest
// null the number must fill the text; otherwise anything may follow it and
// *rest points just past its digits. False, *out unchanged, when no digits
// begin there, something follows them (rest null) or the number is beyond
// [lo, hi] or beyond long long.
bool parse_integer(const char* text, int base, long long lo, long long hi, long long* out,
                   const char** rest = nullptr);

// Numbers out of one whole word (see text.cc for each rule).
bool is_decimal_number(const std::string& word);
bool parse_double(const std::string& word, double* out);
bool parse_float(const std::string& word, float* out);
// A signed integer in [lo, hi]: decimal digits, or a decimal number with an
// exact integral value; parse_unsigned likewise in [0, hi].
bool parse_signed(const std::string& word, long long lo, long long hi, long long* out);
bool parse_unsigned(const std::string& word, unsigned long long hi, unsigned long long* out);
bool parse_int32(const std::string& word, int* out);
// The wire protocol's rule: at most 12 characters, decimal digits with an
// optional leading '-', in [min, max].
bool parse_number(const std::string& text, long min, long max, long* out);

// The one set of backslash escapes of the framework's texts. A backslash
// is always "\\"; each character of chars becomes a backslash and its letter:
// newline "n", carriage return "r", blank "s", tab "t", and any other
// character itself ("\/"). Each format names its characters:
//   EqData's text form of a USTR text  "\n"
//   the wire's values and texts        "\n\r"; addresses also " \t"
//   an address's parts                 "/"
std::string escape_chars(const std::string& text, const char* chars);
// The reverse for the same chars. A backslash that starts none of these
// escapes (or ends the text) makes it fail when strict, else is kept as
// it is. False only when strict.
bool unescape_chars(const std::string& text, const char* chars, bool strict, std::string* out);

// EqData's text form of a USTR text: escape_chars with "\n", not strict.
std::string escape_line(const std::string& text);
std::string unescape_line(const std::string& text);

}  // namespace internal
}  // namespace norix

#endif  // FRAMEWORK_BASE_TEXT_H
