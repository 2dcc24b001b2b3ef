// d_fct.cc - D_fct, the property base class: its name text, its owner, its
// configuration record and its operation mutex.
//
// A property adds itself to its owner's list at construction and removes
// itself at destruction, under the owner's list mutex (a leaf lock).

#include <algorithm>
#include <ostream>
#include <string>

#include "framework/base/mutex.h"
#include "framework/base/text.h"
#include "framework/objects/eq_fct.h"
#include "framework/values/errors.h"
#include "framework/values/internal.h"

namespace {

using norix::internal::first_word;
using norix::internal::init_mutex;
using norix::internal::set_name_entry;

}  // namespace

D_fct::D_fct(const char* text, EqFct* owner, int /*flags*/)
    : text_(text != nullptr ? text : ""),
      owner_(owner),
      type_(DATA_NULL),
      perm_(0),
      error_(0),
      severity_(0),
      mode_(0),
      conf_(nullptr) {
  init_mutex(&op_mux_);
  if (owner_ != nullptr) {
    pthread_mutex_lock(&owner_->list_mux_);
    owner_->props_.push_back(this);
    owner_->by_name_.emplace(name(), this);  // an earlier property of the name stays found
    pthread_mutex_unlock(&owner_->list_mux_);
  }
}

D_fct::~D_fct() {
  if (owner_ != nullptr) {
    pthread_mutex_lock(&owner_->list_mux_);
    auto& props = owner_->props_;
    props.erase(std::remove(props.begin(), props.end(), this), props.end());
    std::string key = name();
    auto it = owner_->by_name_.find(key);
    if (it != owner_->by_name_.end() && it->second == this) {
      owner_->by_name_.erase(it);
      for (D_fct* p : props) {
        if (p->name() == key) {
          owner_->by_name_.emplace(key, p);
          break;
        }
      }
    }
    pthread_mutex_unlock(&owner_->list_mux_);
  }
  delete conf_;
  pthread_mutex_destroy(&op_mux_);
}

void D_fct::get(EqAdr* /*address*/, EqData* /*request*/, EqData* result, EqFct* /*location*/) {
  if (result != nullptr) result->error(ERR_ILLEGAL_READ, norix::error_text(ERR_ILLEGAL_READ));
}

void D_fct::set(EqAdr* /*address*/, EqData* /*value*/, EqData* result, EqFct* /*location*/) {
  if (result != nullptr) result->error(ERR_ILLEGAL_WRITE, norix::error_text(ERR_ILLEGAL_WRITE));
}

void D_fct::names(EqAdr* /*address*/, EqData* result) {
  if (result == nullptr) return;
  result->init();
  set_name_entry(result, 0, data_type(), text_);
}

void D_fct::get_multi(EqAdr* address, EqData* request, EqData* result, int* /*index*/,
                      const char* /*selector*/, time_t* /*tm*/) {
  get(address, request, result, owner_);
}

void D_fct::conf(Config* /*conf*/) {}
void D_fct::read() {}
void D_fct::read_from_conf(const std::string& /*text*/) {}
void D_fct::write(std::ostream& /*out*/) {}
void D_fct::auto_init() {}

const char* D_fct::comment() {
  size_t pos = 0;
  std::string word;
  norix::internal::next_word(text_, &pos, &word);
  pos = text_.find_first_not_of(norix::internal::kWhiteSpace, pos);
  return text_.c_str() + (pos == std::string::npos ? text_.size() : pos);
}

int D_fct::data_type() const {
  return type_;
}
void D_fct::data_type(int type) {
  type_ = type;
}
int D_fct::daq_type() {
  return 0;
}

void D_fct::conf_insert(Config* conf, int flags) {
  if (conf == nullptr) return;
  for (Config::entry& e : conf->entries) {
    if (e.property == this) {
      e.flags = flags;
      return;
    }
  }
  conf->entries.push_back(Config::entry{this, flags});
}

int D_fct::conf_process(const char* /*line*/) {
  return 0;
}
int D_fct::callback_(int /*reason*/) {
  return 0;
}
int D_fct::permission() {
  return perm_;
}
void D_fct::permission(int perm) {
  perm_ = perm;
}
int D_fct::d_error() {
  return error_;
}
void D_fct::d_error(int code) {
  error_ = code;
}
int D_fct::d_severity() {
  return severity_;
}
void D_fct::d_severity(int severity) {
  severity_ = severity;
}
void D_fct::set_mode(int mode) {
  mode_ = mode;
}
int D_fct::send(EqData* /*data*/) {
  return 0;
}

const std::string& D_fct::name_text() const {
  return text_;
}
std::string D_fct::name() const {
  return first_word(text_);
}
EqFct* D_fct::owner() const {
  return owner_;
}

D_conf_struct* D_fct::find_prop_name() {
  return conf_;
}

void D_fct::set_conf_record(const D_conf_struct& record) {
  if (conf_ == nullptr) {
    conf_ = new D_conf_struct(record);
  } else {
    *conf_ = record;
  }
}

pthread_mutex_t* D_fct::op_lock() {
  return &op_mux_;
}
