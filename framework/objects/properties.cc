// properties.cc - the value property classes: D_string, norix::D_value<T>,
// D_iiii, D_dig_filter, D_ustr and D_hist.
//
// Each guards its value with its own value mutex, taken inside the
// property's op_lock when a client call runs; D_hist takes its archive's
// mutex after its value mutex. The value mutex is never held while an
// EqData outside the property is read, except for the copy into a result.

#include "framework/objects/properties.h"

#include <float.h>
#include <math.h>
#include <time.h>

#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "framework/base/mutex.h"
#include "framework/objects/archive.h"
#include "framework/objects/value_changes.h"
#include "framework/values/errors.h"
#include "framework/values/internal.h"

namespace {

using norix::internal::init_mutex;

constexpr int CONF_SAVE = 16;  // conf_insert flags: the value is saved with the configuration

void wrong_type(EqData* result) {
  if (result != nullptr) result->error(ERR_WRONG_TYPE, norix::error_text(ERR_WRONG_TYPE));
}

bool usable(const EqData* value) {
  return value != nullptr && value->error() == 0;
}

// A saved value takes one line: a text with a line break (or a NUL, which
// would cut it) could not be read back as it was written.
bool storable(const std::string& text) {
  return text.find_first_of(std::string("\n\r\0", 3)) == std::string::npos;
}

void unstorable(EqData* result) {
  if (result != nullptr) {
    result->error(
        ERR_WRONG_TYPE,
        norix::error_text(ERR_WRONG_TYPE, "a text with a line break or NUL is not stored"));
  }
}

// A client's text parsed as a value of the given type: 0 and *out, or -1.
int parse_as(int type, EqData* value, EqData* out) {
  if (value->type() != DATA_STRING) return -1;
  out->set_type(type);
  return out->set_from_string(value->text_value());
}

bool is_number_type(int t) {
  return t == DATA_INT || t == DATA_SHORT || t == DATA_LONG || t == DATA_UINT || t == DATA_ULONG ||
         t == DATA_FLOAT || t == DATA_DOUBLE;
}

}  // namespace

// --- D_string --------------------------------------------------------------

D_string::D_string(const char* text, EqFct* owner) : D_fct(text, owner, 0) {
  init_mutex(&val_mux_);
}

D_string::~D_string() {
  pthread_mutex_destroy(&val_mux_);
}

void D_string::get(EqAdr* /*address*/, EqData* /*request*/, EqData* result, EqFct* /*location*/) {
  if (result == nullptr) return;
  pthread_mutex_lock(&val_mux_);
  std::string copy = value_;
  pthread_mutex_unlock(&val_mux_);
  result->set(copy);
}

void D_string::set(EqAdr* /*address*/, EqData* value, EqData* result, EqFct* /*location*/) {
  if (!usable(value)) return wrong_type(result);
  std::string text;
  if (value->type() == DATA_STRING) {
    text = value->text_value();
  } else if (value->type() == DATA_USTR && value->get_ustr(0) != nullptr) {
    norix::internal::bounded_copy(*value->get_ustr(0), &text);
  } else {
    return wrong_type(result);
  }
  if (!storable(text)) return unstorable(result);
  set_value(text.c_str());
}

void D_string::conf(Config* conf) {
  conf_insert(conf, CONF_SAVE);
}

void D_string::read_from_conf(const std::string& text) {
  set_value(text.c_str());
}

// A line break that the program itself put into the value is saved as a
// blank, so that the configuration keeps one line per value.
void D_string::write(std::ostream& out) {
  pthread_mutex_lock(&val_mux_);
  std::string text = value_;
  pthread_mutex_unlock(&val_mux_);
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  out << " \t" + text + "\n";
}

int D_string::data_type() const {
  return DATA_STRING;
}

const char* D_string::value() {
  pthread_mutex_lock(&val_mux_);
  const char* text = value_.c_str();
  pthread_mutex_unlock(&val_mux_);
  return text;
}

void D_string::set_value(const char* text) {
  pthread_mutex_lock(&val_mux_);
  value_ = text != nullptr ? text : "";
  pthread_mutex_unlock(&val_mux_);
  norix::property_changed(this);
}

// --- D_value<T> ------------------------------------------------------------

namespace norix {

template <typename T>
D_value<T>::D_value(const char* text, EqFct* owner) : D_fct(text, owner, 0), value_(0) {
  init_mutex(&val_mux_);
}

template <typename T>
D_value<T>::~D_value() {
  pthread_mutex_destroy(&val_mux_);
}

template <typename T>
void D_value<T>::get(EqAdr* /*address*/, EqData* /*request*/, EqData* result, EqFct* /*location*/) {
  if (result != nullptr) result->set(value());
}

template <typename T>
void D_value<T>::set(EqAdr* /*address*/, EqData* value, EqData* result, EqFct* /*location*/) {
  if (!usable(value)) return wrong_type(result);
  EqData parsed;
  EqData* number = value;
  if (value->type() == DATA_STRING) {
    if (parse_as(data_type(), value, &parsed) != 0) return wrong_type(result);
    number = &parsed;
  } else if (!is_number_type(value->type())) {
    return wrong_type(result);
  }
  double d = number->get_double();
  if (std::is_same<T, int>::value) {
    // Truncated toward zero; a value that no int holds is refused.
    if (!(d > -2147483649.0 && d < 2147483648.0)) return wrong_type(result);
  } else if (!isfinite(d) || fabs(d) > FLT_MAX) {
    // Refused: no device takes nan or inf, and a saved one does not read back.
    return wrong_type(result);
  }
  set_value(static_cast<T>(d));
}

template <typename T>
void D_value<T>::conf(Config* conf) {
  conf_insert(conf, CONF_SAVE);
}

template <typename T>
void D_value<T>::write(std::ostream& out) {
  EqData text;
  text.set(value());
  out << " \t" << text.text_value() << "\n";
}

template <typename T>
void D_value<T>::read() {
  const D_conf_struct* conf = find_prop_name();
  if (conf == nullptr) return;
  if (std::is_same<T, int>::value) {
    set_value(static_cast<T>(conf->d_ustr.i1_data));
  } else {
    set_value(static_cast<T>(conf->d_ustr.f1_data));
  }
}

template <typename T>
int D_value<T>::data_type() const {
  return std::is_same<T, int>::value ? DATA_INT : DATA_FLOAT;
}

template <typename T>
T D_value<T>::value() {
  pthread_mutex_lock(&val_mux_);
  T v = value_;
  pthread_mutex_unlock(&val_mux_);
  return v;
}

template <typename T>
void D_value<T>::set_value(T value) {
  pthread_mutex_lock(&val_mux_);
  value_ = value;
  pthread_mutex_unlock(&val_mux_);
  norix::property_changed(this);
}

template class D_value<int>;
template class D_value<float>;

}  // namespace norix

// --- D_record: D_iiii and D_dig_filter -------------------------------------

namespace {

// The record of an EqData of the record's type (zeroed for other types).
IIII* record_in(EqData* data, const IIII*) {
  return data->get_iiii();
}

IFFF* record_in(EqData* data, const IFFF*) {
  return data->get_ifff();
}

}  // namespace

namespace norix {

template <typename R, int TYPE>
D_record<R, TYPE>::D_record(const char* text, EqFct* owner) : D_fct(text, owner, 0), value_{} {
  init_mutex(&val_mux_);
}

template <typename R, int TYPE>
D_record<R, TYPE>::~D_record() {
  pthread_mutex_destroy(&val_mux_);
}

template <typename R, int TYPE>
void D_record<R, TYPE>::get(EqAdr* /*address*/, EqData* /*request*/, EqData* result,
                            EqFct* /*location*/) {
  if (result == nullptr) return;
  pthread_mutex_lock(&val_mux_);
  R copy = value_;
  pthread_mutex_unlock(&val_mux_);
  result->set(copy);
}

template <typename R, int TYPE>
void D_record<R, TYPE>::set(EqAdr* /*address*/, EqData* value, EqData* result,
                            EqFct* /*location*/) {
  if (!usable(value)) return wrong_type(result);
  EqData parsed;
  if (value->type() == TYPE) {
    set_value(record_in(value, &value_));
  } else if (parse_as(TYPE, value, &parsed) == 0) {
    set_value(record_in(&parsed, &value_));
  } else {
    wrong_type(result);
  }
}

template <typename R, int TYPE>
int D_record<R, TYPE>::data_type() const {
  return TYPE;
}

template <typename R, int TYPE>
R* D_record<R, TYPE>::value() {
  return &value_;
}

template <typename R, int TYPE>
void D_record<R, TYPE>::set_value(R* value) {
  if (value == nullptr) return;
  R copy = *value;
  pthread_mutex_lock(&val_mux_);
  value_ = copy;
  pthread_mutex_unlock(&val_mux_);
  property_changed(this);
}

template class D_record<IIII, DATA_IIII>;
template class D_record<IFFF, DATA_IFFF>;

}  // namespace norix

// --- D_ustr ----------------------------------------------------------------

D_ustr::D_ustr(const char* text, EqFct* owner) : D_fct(text, owner, 0), value_{} {
  init_mutex(&val_mux_);
  value_.str_data.str_data_val = text_.data();
}

D_ustr::~D_ustr() {
  pthread_mutex_destroy(&val_mux_);
}

void D_ustr::get(EqAdr* /*address*/, EqData* /*request*/, EqData* result, EqFct* /*location*/) {
  if (result == nullptr) return;
  pthread_mutex_lock(&val_mux_);
  result->set(value_, 0);
  pthread_mutex_unlock(&val_mux_);
}

void D_ustr::set(EqAdr* /*address*/, EqData* value, EqData* result, EqFct* /*location*/) {
  if (!usable(value)) return wrong_type(result);
  if (value->type() == DATA_USTR && value->get_ustr(0) != nullptr) {
    set_value(value->get_ustr(0));
  } else if (value->type() == DATA_STRING) {
    std::string text = value->text_value();
    USTR u{};
    u.tm = time(nullptr);
    u.str_data.str_data_len = static_cast<unsigned int>(text.size() + 1);
    u.str_data.str_data_val = text.data();
    set_value(&u);
  } else {
    wrong_type(result);
  }
}

int D_ustr::data_type() const {
  return DATA_USTR;
}

USTR* D_ustr::value() {
  return &value_;
}

void D_ustr::set_value(USTR* value) {
  if (value == nullptr) return;
  // Copied before the lock: value may be this property's own record.
  std::string text;
  USTR fields = norix::internal::bounded_copy(*value, &text);
  pthread_mutex_lock(&val_mux_);
  text_ = text;
  value_ = fields;
  value_.str_data.str_data_val = text_.data();
  pthread_mutex_unlock(&val_mux_);
  norix::property_changed(this);
}

// --- D_hist ----------------------------------------------------------------

D_hist::D_hist(const char* text, EqFct* owner, int capacity)
    : D_fct(text, owner, 0),
      ring_(capacity > 0 ? capacity : 1),
      head_(0),
      count_(0),
      archive_(nullptr),
      booked_(0) {
  init_mutex(&val_mux_);
}

D_hist::~D_hist() {
  pthread_mutex_lock(&val_mux_);
  ArchiveFile* archive = archive_;
  archive_ = nullptr;
  pthread_mutex_unlock(&val_mux_);
  if (archive != nullptr) archive->detach(this);
  pthread_mutex_destroy(&val_mux_);
}

void D_hist::get(EqAdr* /*address*/, EqData* /*request*/, EqData* result, EqFct* /*location*/) {
  if (result == nullptr) return;
  std::vector<TDS> recent(ring_.size());
  int n = samples(recent.data(), static_cast<int>(recent.size()));
  std::vector<float> values(n);
  for (int i = 0; i < n; ++i)
    values[i] = recent[i].data;
  result->set(values.data(), n);
}

int D_hist::data_type() const {
  return DATA_HIST;
}

void D_hist::book_hist(ArchiveFile* archive, const std::string& name, int /*ring*/, int /*size*/) {
  pthread_mutex_lock(&val_mux_);
  if (archive_ != nullptr && archive_ != archive) archive_->detach(this);
  archive_ = archive;
  book_name_ = name + "/" + this->name();
  ++booked_;
  if (archive_ != nullptr) archive_->attach(this, book_name_);
  pthread_mutex_unlock(&val_mux_);
}

void D_hist::fill_hist(TDS* sample, int* status) {
  if (sample == nullptr) return;
  TDS s = *sample;
  if (status != nullptr) s.status = static_cast<uint8_t>(*status & 0xff);
  pthread_mutex_lock(&val_mux_);
  ring_[head_] = s;
  head_ = (head_ + 1) % ring_.size();
  if (count_ < ring_.size()) ++count_;
  if (archive_ != nullptr) archive_->append(book_name_, s);
  pthread_mutex_unlock(&val_mux_);
}

int D_hist::sample_count() {
  pthread_mutex_lock(&val_mux_);
  int n = static_cast<int>(count_);
  pthread_mutex_unlock(&val_mux_);
  return n;
}

int D_hist::samples(TDS* out, int max) {
  if (out == nullptr || max <= 0) return 0;
  pthread_mutex_lock(&val_mux_);
  size_t n = count_ < static_cast<size_t>(max) ? count_ : static_cast<size_t>(max);
  // The newest n samples end just before head_.
  size_t first = (head_ + ring_.size() - n) % ring_.size();
  for (size_t i = 0; i < n; ++i)
    out[i] = ring_[(first + i) % ring_.size()];
  pthread_mutex_unlock(&val_mux_);
  return static_cast<int>(n);
}

ArchiveFile* D_hist::archive() {
  pthread_mutex_lock(&val_mux_);
  ArchiveFile* a = archive_;
  pthread_mutex_unlock(&val_mux_);
  return a;
}

int D_hist::booked_count() {
  pthread_mutex_lock(&val_mux_);
  int n = booked_;
  pthread_mutex_unlock(&val_mux_);
  return n;
}

void D_hist::drop_archive(ArchiveFile* archive) {
  pthread_mutex_lock(&val_mux_);
  if (archive_ == archive) archive_ = nullptr;
  pthread_mutex_unlock(&val_mux_);
}
