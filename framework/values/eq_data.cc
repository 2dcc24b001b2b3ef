// eq_data.cc - EqData: one typed value with its error, its conversions and
// its text forms.
//
// An EqData has one owner at a time and takes no lock. The USTR elements of
// a USTR array point into ustr_texts_, which the container owns; every change
// of that vector repoints them.

#include "framework/values/eq_data.h"

#include <errno.h>
#include <float.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "framework/base/text.h"
#include "framework/values/errors.h"
#include "framework/values/internal.h"

namespace {

using norix::internal::escape_line;
using norix::internal::format_double;
using norix::internal::format_float;
using norix::internal::low_32_bits;
using norix::internal::nearest_float;
using norix::internal::parse_double;
using norix::internal::parse_float;
using norix::internal::parse_int32;
using norix::internal::parse_signed;
using norix::internal::parse_unsigned;
using norix::internal::split_words;
using norix::internal::truncate_to_int;
using norix::internal::unescape_line;

constexpr int kMaxUstrIndex = 65535;  // largest element index set(USTR, index) accepts

bool is_signed_int(int t) {
  return t == DATA_INT || t == DATA_SHORT || t == DATA_LONG;
}
bool is_unsigned_int(int t) {
  return t == DATA_UINT || t == DATA_ULONG;
}
bool is_float_scalar(int t) {
  return t == DATA_FLOAT || t == DATA_DOUBLE;
}
bool is_float_array(int t) {
  return t == DATA_SPECTRUM || t == DATA_A_FLOAT || t == DATA_HIST;
}
bool is_scalar_or_record(int t) {
  return is_signed_int(t) || is_unsigned_int(t) || is_float_scalar(t) || t == DATA_STRING ||
         t == DATA_IIII || t == DATA_IFFF || t == DATA_TDS;
}

// One USTR line "i1 f1 f2 tm text"; the text follows the time after one
// white-space character and may hold any characters.
bool parse_ustr_line(const std::string& line, USTR* u, std::string* text) {
  std::string words[4];
  size_t i = 0;
  for (std::string& word : words) {
    if (!norix::internal::next_word(line, &i, &word)) return false;
  }
  long long tm = 0;
  if (!parse_int32(words[0], &u->i1_data) || !parse_float(words[1], &u->f1_data) ||
      !parse_float(words[2], &u->f2_data) || !parse_signed(words[3], LLONG_MIN, LLONG_MAX, &tm)) {
    return false;
  }
  u->tm = static_cast<time_t>(tm);
  *text = i < line.size() ? unescape_line(line.substr(i + 1)) : std::string();
  return true;
}

}  // namespace

EqData::EqData() {
  init();
}

EqData::EqData(const EqData& other)
    : type_(other.type_),
      error_code_(other.error_code_),
      error_text_(other.error_text_),
      int_value_(other.int_value_),
      uint_value_(other.uint_value_),
      float_value_(other.float_value_),
      text_(other.text_),
      iiii_(other.iiii_),
      ifff_(other.ifff_),
      tds_(other.tds_),
      floats_(other.floats_),
      ustrs_(other.ustrs_),
      ustr_texts_(other.ustr_texts_) {
  repoint_ustr();
}

EqData& EqData::operator=(const EqData& other) {
  if (this == &other) return *this;
  type_ = other.type_;
  error_code_ = other.error_code_;
  error_text_ = other.error_text_;
  int_value_ = other.int_value_;
  uint_value_ = other.uint_value_;
  float_value_ = other.float_value_;
  text_ = other.text_;
  iiii_ = other.iiii_;
  ifff_ = other.ifff_;
  tds_ = other.tds_;
  floats_ = other.floats_;
  ustrs_ = other.ustrs_;
  ustr_texts_ = other.ustr_texts_;
  repoint_ustr();
  return *this;
}

EqData::~EqData() = default;

void EqData::reset_value() {
  int_value_ = 0;
  uint_value_ = 0;
  float_value_ = 0;
  text_.clear();
  iiii_ = IIII{};
  ifff_ = IFFF{};
  tds_ = TDS{};
  floats_.clear();
  ustrs_.clear();
  ustr_texts_.clear();
  error_code_ = 0;
  error_text_.clear();
}

void EqData::repoint_ustr() {
  for (size_t i = 0; i < ustrs_.size(); ++i)
    ustrs_[i].str_data.str_data_val = ustr_texts_[i].data();
}

void EqData::init() {
  reset_value();
  type_ = DATA_NULL;
}

int EqData::type() const {
  return type_;
}

void EqData::set_type(int type) {
  reset_value();
  type_ = type;
}

int EqData::length() const {
  if (is_float_array(type_)) return static_cast<int>(floats_.size());
  if (type_ == DATA_USTR) return static_cast<int>(ustrs_.size());
  return is_scalar_or_record(type_) ? 1 : 0;
}

int EqData::error() const {
  return error_code_;
}

void EqData::error(int code, const std::string& text) {
  error_code_ = code;
  error_text_ = code != 0 ? text : std::string();
}

std::string EqData::text_value() const {
  if (error_code_ != 0) {
    return error_text_.empty() ? "error " + std::to_string(error_code_) : error_text_;
  }
  if (is_signed_int(type_)) return std::to_string(int_value_);
  if (is_unsigned_int(type_)) return std::to_string(uint_value_);
  if (type_ == DATA_FLOAT) return format_float(static_cast<float>(float_value_));
  if (type_ == DATA_DOUBLE) return format_double(float_value_);
  std::string out;
  switch (type_) {
    case DATA_STRING:
      return text_;
    case DATA_IIII:
      return std::to_string(iiii_.i1_data) + " " + std::to_string(iiii_.i2_data) + " " +
             std::to_string(iiii_.i3_data) + " " + std::to_string(iiii_.i4_data);
    case DATA_IFFF:
      return std::to_string(ifff_.i1_data) + " " + format_float(ifff_.f1_data) + " " +
             format_float(ifff_.f2_data) + " " + format_float(ifff_.f3_data);
    case DATA_TDS:
      return std::to_string(static_cast<long long>(tds_.tm)) + " " + format_float(tds_.data) + " " +
             std::to_string(static_cast<unsigned>(tds_.status));
    case DATA_USTR:
      for (size_t i = 0; i < ustrs_.size(); ++i) {
        const USTR& u = ustrs_[i];
        if (i > 0) out += '\n';
        out += std::to_string(u.i1_data) + " " + format_float(u.f1_data) + " " +
               format_float(u.f2_data) + " " + std::to_string(static_cast<long long>(u.tm));
        if (!ustr_texts_[i].empty()) out += " " + escape_line(ustr_texts_[i]);
      }
      return out;
    default:
      break;
  }
  if (is_float_array(type_)) {
    for (size_t i = 0; i < floats_.size(); ++i) {
      if (i > 0) out += ' ';
      out += format_float(floats_[i]);
    }
  }
  return out;
}

char* EqData::get_string(char* buf, unsigned long size) {
  if (buf == nullptr || size == 0) return buf;
  std::string text = text_value();
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  memcpy(buf, text.data(), n);
  buf[n] = '\0';
  return buf;
}

int EqData::get_int() {
  if (is_signed_int(type_)) return low_32_bits(static_cast<unsigned long long>(int_value_));
  if (is_unsigned_int(type_)) return low_32_bits(uint_value_);
  if (is_float_scalar(type_)) return truncate_to_int(float_value_);
  if (is_float_array(type_) && !floats_.empty()) return truncate_to_int(floats_[0]);
  return 0;
}

float EqData::get_float() {
  if (is_signed_int(type_)) return static_cast<float>(int_value_);
  if (is_unsigned_int(type_)) return static_cast<float>(uint_value_);
  if (is_float_scalar(type_)) return nearest_float(float_value_);
  if (is_float_array(type_) && !floats_.empty()) return floats_[0];
  return 0;
}

float EqData::get_float(int index) {
  if (is_float_array(type_)) {
    return index >= 0 && static_cast<size_t>(index) < floats_.size() ? floats_[index] : 0.0f;
  }
  return index == 0 ? get_float() : 0.0f;
}

double EqData::get_double() {
  if (is_signed_int(type_)) return static_cast<double>(int_value_);
  if (is_unsigned_int(type_)) return static_cast<double>(uint_value_);
  if (is_float_scalar(type_)) return float_value_;
  if (is_float_array(type_) && !floats_.empty()) return floats_[0];
  return 0;
}

float* EqData::get_float_array() {
  return is_float_array(type_) ? floats_.data() : nullptr;
}

IIII* EqData::get_iiii() {
  if (type_ != DATA_IIII) iiii_ = IIII{};
  return &iiii_;
}

IFFF* EqData::get_ifff() {
  if (type_ != DATA_IFFF) ifff_ = IFFF{};
  return &ifff_;
}

int EqData::get_ifff(int* i1, float* f1, float* f2, float* f3) {
  const IFFF v = *get_ifff();
  if (i1 != nullptr) *i1 = v.i1_data;
  if (f1 != nullptr) *f1 = v.f1_data;
  if (f2 != nullptr) *f2 = v.f2_data;
  if (f3 != nullptr) *f3 = v.f3_data;
  return type_ == DATA_IFFF ? 1 : 0;
}

TDS* EqData::get_tds() {
  if (type_ != DATA_TDS) tds_ = TDS{};
  return &tds_;
}

USTR* EqData::get_ustr(int index) {
  if (type_ != DATA_USTR || index < 0 || static_cast<size_t>(index) >= ustrs_.size()) {
    return nullptr;
  }
  return &ustrs_[index];
}

int EqData::get_ustr(int* i1, float* f1, float* f2, long* tm, char** str, int index) {
  USTR* u = get_ustr(index);
  if (u == nullptr) return 0;
  if (i1 != nullptr) *i1 = u->i1_data;
  if (f1 != nullptr) *f1 = u->f1_data;
  if (f2 != nullptr) *f2 = u->f2_data;
  if (tm != nullptr) *tm = static_cast<long>(u->tm);
  if (str != nullptr) *str = u->str_data.str_data_val;
  return 1;
}

void EqData::set(int value) {
  set_type(DATA_INT);
  int_value_ = value;
}

void EqData::set(float value) {
  set_type(DATA_FLOAT);
  float_value_ = value;
}

void EqData::set(double value) {
  set_type(DATA_DOUBLE);
  float_value_ = value;
}

void EqData::set(long long value) {
  set_type(DATA_LONG);
  int_value_ = value;
}

void EqData::set(const char* text) {
  set_type(DATA_STRING);
  if (text != nullptr) text_ = text;
}

void EqData::set(const std::string& text) {
  set_type(DATA_STRING);
  text_ = text;
}

void EqData::set(const IIII& value) {
  set_type(DATA_IIII);
  iiii_ = value;
}

void EqData::set(const IFFF& value) {
  set_type(DATA_IFFF);
  ifff_ = value;
}

void EqData::set(const TDS& value) {
  set_type(DATA_TDS);
  tds_ = value;
}

void EqData::set(const USTR& value, int index) {
  if (index < 0 || index > kMaxUstrIndex) return;
  // Copied before anything changes: value may point into this container.
  std::string text;
  USTR element = norix::internal::bounded_copy(value, &text);
  if (type_ != DATA_USTR) {
    set_type(DATA_USTR);
  } else {
    error(0, std::string());
  }
  if (ustrs_.size() <= static_cast<size_t>(index)) {
    ustrs_.resize(index + 1, USTR{});
    ustr_texts_.resize(index + 1);
  }
  ustrs_[index] = element;
  ustr_texts_[index] = text;
  repoint_ustr();
}

void EqData::set(const float* values, int count) {
  set_type(DATA_A_FLOAT);
  if (values != nullptr && count > 0) floats_.assign(values, values + count);
}

int EqData::set_from_string(const std::string& text) {
  EqData parsed;
  parsed.set_type(type_);
  std::vector<std::string> words;
  bool ok = true;
  if (type_ == DATA_STRING) {
    parsed.text_ = text;
  } else if (type_ == DATA_USTR) {
    size_t start = 0;
    while (ok && start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      USTR u{};
      std::string line_text;
      ok = parse_ustr_line(text.substr(start, end - start), &u, &line_text);
      if (ok) {
        u.str_data.str_data_len = static_cast<unsigned int>(line_text.size() + 1);
        parsed.ustrs_.push_back(u);
        parsed.ustr_texts_.push_back(line_text);
      }
      start = end + 1;
    }
    parsed.repoint_ustr();
  } else {
    words = split_words(text);
    if (is_signed_int(type_) || is_unsigned_int(type_) || is_float_scalar(type_)) {
      ok = words.size() == 1;
    }
    if (ok) {
      switch (type_) {
        case DATA_INT:
          ok = parse_signed(words[0], INT_MIN, INT_MAX, &parsed.int_value_);
          break;
        case DATA_SHORT:
          ok = parse_signed(words[0], SHRT_MIN, SHRT_MAX, &parsed.int_value_);
          break;
        case DATA_LONG:
          ok = parse_signed(words[0], LLONG_MIN, LLONG_MAX, &parsed.int_value_);
          break;
        case DATA_UINT:
          ok = parse_unsigned(words[0], UINT_MAX, &parsed.uint_value_);
          break;
        case DATA_ULONG:
          ok = parse_unsigned(words[0], ULLONG_MAX, &parsed.uint_value_);
          break;
        case DATA_FLOAT: {
          float f = 0;
          ok = parse_float(words[0], &f);
          parsed.float_value_ = f;
          break;
        }
        case DATA_DOUBLE:
          ok = parse_double(words[0], &parsed.float_value_);
          break;
        case DATA_IIII:
          ok = words.size() == 4 && parse_int32(words[0], &parsed.iiii_.i1_data) &&
               parse_int32(words[1], &parsed.iiii_.i2_data) &&
               parse_int32(words[2], &parsed.iiii_.i3_data) &&
               parse_int32(words[3], &parsed.iiii_.i4_data);
          break;
        case DATA_IFFF:
          ok = words.size() == 4 && parse_int32(words[0], &parsed.ifff_.i1_data) &&
               parse_float(words[1], &parsed.ifff_.f1_data) &&
               parse_float(words[2], &parsed.ifff_.f2_data) &&
               parse_float(words[3], &parsed.ifff_.f3_data);
          break;
        case DATA_TDS: {
          long long tm = 0;
          long long status = 0;
          ok = words.size() == 3 && parse_signed(words[0], LLONG_MIN, LLONG_MAX, &tm) &&
               parse_float(words[1], &parsed.tds_.data) && parse_signed(words[2], 0, 255, &status);
          parsed.tds_.tm = static_cast<time_t>(tm);
          parsed.tds_.status = static_cast<uint8_t>(status);
          break;
        }
        default:
          if (is_float_array(type_)) {
            parsed.floats_.resize(words.size());
            for (size_t i = 0; ok && i < words.size(); ++i)
              ok = parse_float(words[i], &parsed.floats_[i]);
          } else {
            ok = words.empty();  // no value: only blank text fits
          }
          break;
      }
    }
  }
  if (!ok) return -1;
  *this = parsed;
  return 0;
}

void EqData::copy_from(const EqData* source) {
  if (source != nullptr) *this = *source;
}
