// eq_fct.cc - the server base: locations (EqFct), their general status, and
// the globals of location creation.
//
// A location lists its properties but does not own them. list_mux_ guards
// that list and is a leaf lock; a property operation runs under the
// property's op_lock, never under list_mux_.

#include "framework/objects/eq_fct.h"

#include <ostream>
#include <string>
#include <vector>

#include "framework/base/mutex.h"
#include "framework/objects/registry.h"
#include "framework/objects/saved_values.h"
#include "framework/values/errors.h"
#include "framework/values/internal.h"

std::string gbl_fct_name;
int ring_buffer = 0;

namespace {

using norix::internal::init_mutex;
using norix::internal::is_wildcard_or_empty;
using norix::internal::set_name_entry;

// Runs op on the property of this location that the address names, under
// the property's op_lock. The result is emptied first unless it is also the
// request. Returns the result's error code.
template <typename Op>
int on_property(EqFct* location, EqAdr* address, const EqData* request, EqData* result, Op op) {
  EqData spare;
  EqData* r = result != nullptr ? result : &spare;
  if (r != request) r->init();
  if (address == nullptr || std::string(address->property()) == "*") {
    r->error(ERR_BAD_ADDRESS, norix::error_text(ERR_BAD_ADDRESS));
    return ERR_BAD_ADDRESS;
  }
  D_fct* p = location->find_property(address->property());
  if (p == nullptr) {
    r->error(ERR_NO_PROPERTY, norix::error_text(ERR_NO_PROPERTY));
    return ERR_NO_PROPERTY;
  }
  pthread_mutex_lock(p->op_lock());
  op(p, r);
  pthread_mutex_unlock(p->op_lock());
  return r->error();
}

}  // namespace

// --- D_gen_sts -------------------------------------------------------------

D_gen_sts::D_gen_sts() : error_(0), newerror_(0), online_(0) {}
void D_gen_sts::error(int code) {
  error_ = code;
}
void D_gen_sts::newerror(int code) {
  newerror_ = code;
}
void D_gen_sts::online(int flag) {
  online_ = flag;
}
int D_gen_sts::error() const {
  return error_;
}
int D_gen_sts::newerror() const {
  return newerror_;
}
int D_gen_sts::online() const {
  return online_;
}

// --- EqFct -----------------------------------------------------------------

EqFct::EqFct(const char* /*text*/) : error_code_(0) {
  init_mutex(&err_mux_);
  init_mutex(&list_mux_);
}

EqFct::~EqFct() {
  norix::unserve_location(this);
  pthread_mutex_lock(&list_mux_);
  for (D_fct* p : props_)
    p->owner_ = nullptr;
  props_.clear();
  by_name_.clear();
  pthread_mutex_unlock(&list_mux_);
  pthread_mutex_destroy(&list_mux_);
  pthread_mutex_destroy(&err_mux_);
}

int EqFct::fct_code() {
  return 0;
}

int EqFct::get(EqAdr* address, EqData* request, EqData* result) {
  return on_property(this, address, request, result,
                     [&](D_fct* p, EqData* r) { p->get(address, request, r, this); });
}

int EqFct::set(EqAdr* address, EqData* value, EqData* result) {
  return on_property(this, address, value, result,
                     [&](D_fct* p, EqData* r) { p->set(address, value, r, this); });
}

int EqFct::names(EqAdr* address, EqData* result) {
  if (address != nullptr && !is_wildcard_or_empty(address->property())) {
    return on_property(this, address, nullptr, result,
                       [&](D_fct* p, EqData* r) { p->names(address, r); });
  }
  EqData spare;
  EqData* r = result != nullptr ? result : &spare;
  r->init();
  r->set_type(DATA_USTR);
  std::vector<D_fct*> props = property_list();
  for (size_t i = 0; i < props.size(); ++i) {
    set_name_entry(r, static_cast<int>(i), props[i]->data_type(), props[i]->name_text());
  }
  return 0;
}

void EqFct::interrupt_usr1(int /*sig*/) {}
void EqFct::update() {}

void EqFct::write(std::ostream& out) {
  for (D_fct* p : property_list())
    out << norix::internal::saved_line(p);
}

void EqFct::online() {}
void EqFct::offline() {}
void EqFct::init() {}
void EqFct::post_init() {}
void EqFct::complete() {}
void EqFct::clear() {}
void EqFct::cancel() {}

void EqFct::set_error(int code) {
  set_error(code, get_errorstr(code));
}

void EqFct::set_error(int code, const std::string& text) {
  pthread_mutex_lock(&err_mux_);
  error_code_ = code;
  error_text_ = text;
  pthread_mutex_unlock(&err_mux_);
}

void EqFct::set_error(int code, const char* text) {
  set_error(code, std::string(text != nullptr ? text : ""));
}

void EqFct::set_error(const std::string& text) {
  pthread_mutex_lock(&err_mux_);
  error_text_ = text;
  pthread_mutex_unlock(&err_mux_);
}

int EqFct::get_error() {
  pthread_mutex_lock(&err_mux_);
  int code = error_code_;
  pthread_mutex_unlock(&err_mux_);
  return code;
}

std::string EqFct::get_errorstr() {
  pthread_mutex_lock(&err_mux_);
  std::string text = error_text_;
  pthread_mutex_unlock(&err_mux_);
  return text;
}

std::string EqFct::get_errorstr(int code) {
  return norix::error_text(code);
}

void EqFct::write_error(std::ostream& out) {
  int code = get_error();
  out << "error " << code << ": " << get_errorstr() << '\n';
}

void EqFct::write_error(std::ostream& out, int code) {
  out << "error " << code << ": " << get_errorstr(code) << '\n';
}

void EqFct::write_line(std::ostream& out, const char* line) {
  out << (line != nullptr ? line : "") << '\n';
}

int EqFct::_callback(int /*reason*/) {
  return 0;
}

const std::string& EqFct::name() const {
  return name_;
}
void EqFct::set_name(const std::string& name) {
  name_ = name;
}
D_gen_sts& EqFct::gen_sts() {
  return sts_;
}

const std::vector<D_fct*>& EqFct::properties() const {
  return props_;
}

std::vector<D_fct*> EqFct::property_list() const {
  pthread_mutex_lock(&list_mux_);
  std::vector<D_fct*> copy = props_;
  pthread_mutex_unlock(&list_mux_);
  return copy;
}

D_fct* EqFct::find_property(const std::string& word) const {
  D_fct* found = nullptr;
  pthread_mutex_lock(&list_mux_);
  auto it = by_name_.find(word);
  if (it != by_name_.end()) found = it->second;
  pthread_mutex_unlock(&list_mux_);
  return found;
}
