// eq_fct.cc - the server base: locations (EqFct), their status, the property
// base class (D_fct), the server globals and the host's loading of saved
// values.
//
// A location lists its properties but does not own them. list_mux_ guards
// that list and is a leaf lock; a property operation runs under the
// property's op_lock, never under list_mux_.

#include <algorithm>
#include <istream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "framework/internal.h"
#include "framework/norix.h"

std::string gbl_fct_name;
int ring_buffer = 0;

namespace {

using norix::internal::first_word;
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

std::string error_text(int code) {
  switch (code) {
    case ERR_NO_ERROR:
      return "ok";
    case ERR_NO_SERVER:
      return "unknown server";
    case ERR_NO_LOCATION:
      return "unknown location";
    case ERR_NO_PROPERTY:
      return "unknown property";
    case ERR_ILLEGAL_READ:
      return "property not readable";
    case ERR_ILLEGAL_WRITE:
      return "property not writable";
    case ERR_WRONG_TYPE:
      return "wrong data type";
    case ERR_BAD_ADDRESS:
      return "illegal address";
    case ERR_NOT_MONITORED:
      return "monitor not available";
    case ERR_UNREACHABLE:
      return "server unreachable";
    case ERR_BAD_REQUEST:
      return "bad request";
    case ERR_BUSY:
      return "server busy";
    case ERR_NOT_SAVED:
      return "configuration not saved";
    default:
      return "error " + std::to_string(code);
  }
}

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
  for (D_fct* p : props_) {
    if (p->name() == word) {
      found = p;
      break;
    }
  }
  pthread_mutex_unlock(&list_mux_);
  return found;
}

// --- D_fct -----------------------------------------------------------------

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
    pthread_mutex_unlock(&owner_->list_mux_);
  }
}

D_fct::~D_fct() {
  if (owner_ != nullptr) {
    pthread_mutex_lock(&owner_->list_mux_);
    auto& props = owner_->props_;
    props.erase(std::remove(props.begin(), props.end(), this), props.end());
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
