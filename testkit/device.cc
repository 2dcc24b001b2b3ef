// device.cc - fake device properties served in the test's own process.

#include "testkit/device.h"

#include "fsm/fsm.h"

namespace testkit {

namespace {

constexpr size_t TEXT_SIZE = 4096;

}  // namespace

void use_client() {
  // The library makes its client-call object in its one-time set-up unless
  // that has run; marking it done keeps eq_create from replacing this one.
  if (norix_call == nullptr) {
    norix_call = new EqCall();
    norix_init = 1;
  }
  norix::set_server(FACILITY, DEVICE);
}

std::string address(const std::string& location, const std::string& property) {
  return std::string(FACILITY) + "/" + DEVICE + "/" + location + "/" + property;
}

std::string client_get(const std::string& address) {
  EqAdr adr;
  adr.adr(address);
  EqData req;
  EqData res;
  EqCall call;
  int rc = call.get(&adr, &req, &res);
  if (rc != 0) return "error " + std::to_string(rc) + ": " + norix::error_text(rc);
  if (res.type() == DATA_USTR) {
    USTR* u = res.get_ustr(0);
    return u != nullptr && u->str_data.str_data_val != nullptr ? u->str_data.str_data_val : "";
  }
  char buf[TEXT_SIZE];
  return res.get_string(buf, sizeof buf);
}

int client_set(const std::string& address, const std::string& text) {
  EqAdr adr;
  adr.adr(address);
  EqData value;
  value.set(text);
  EqData res;
  EqCall call;
  return call.set(&adr, &value, &res);
}

FakeProperty::FakeProperty(const char* text, EqFct* owner) : D_fct(text, owner), error_(0) {
  pthread_mutex_init(&mux_, nullptr);
}

FakeProperty::~FakeProperty() {
  pthread_mutex_destroy(&mux_);
}

void FakeProperty::get(EqAdr*, EqData*, EqData* result, EqFct*) {
  pthread_mutex_lock(&mux_);
  if (error_ != 0) {
    result->error(error_, norix::error_text(error_));
  } else {
    result->copy_from(&value_);
  }
  pthread_mutex_unlock(&mux_);
}

void FakeProperty::set(EqAdr*, EqData* value, EqData* result, EqFct*) {
  char text[1024];
  bool stored = false;
  EqData now;
  pthread_mutex_lock(&mux_);
  if (error_ != 0) {
    result->error(error_, norix::error_text(error_));
  } else if (value->type() == value_.type()) {
    value_.copy_from(value);
    stored = true;
  } else if (value_.set_from_string(value->get_string(text, sizeof text)) != 0) {
    result->error(ERR_WRONG_TYPE, norix::error_text(ERR_WRONG_TYPE));
  } else {
    stored = true;
  }
  if (stored) now.copy_from(&value_);
  pthread_mutex_unlock(&mux_);
  if (stored && react_) react_(now);
}

void FakeProperty::on_write(std::function<void(EqData&)> react) {
  react_ = std::move(react);
}

int FakeProperty::data_type() const {
  pthread_mutex_lock(&mux_);
  int type = value_.type();
  pthread_mutex_unlock(&mux_);
  return type;
}

void FakeProperty::set_value(const EqData& value) {
  pthread_mutex_lock(&mux_);
  value_.copy_from(&value);
  pthread_mutex_unlock(&mux_);
  norix::property_changed(this);
}

EqData FakeProperty::value() {
  EqData out;
  pthread_mutex_lock(&mux_);
  out.copy_from(&value_);
  pthread_mutex_unlock(&mux_);
  return out;
}

void FakeProperty::fail(int code) {
  pthread_mutex_lock(&mux_);
  error_ = code;
  pthread_mutex_unlock(&mux_);
}

Device::Device(const std::string& name) : location("NAME = location") {
  use_client();
  location.set_name(name);
  norix::serve_location(&location);
}

Device::~Device() {
  norix::unserve_location(&location);
}

FakeProperty* Device::add(const std::string& property, const EqData& value) {
  props_.emplace_back(new FakeProperty(property.c_str(), &location));
  props_.back()->set_value(value);
  return props_.back().get();
}

FakeProperty* Device::add(const std::string& property, int value) {
  EqData d;
  d.set(value);
  return add(property, d);
}

FakeProperty* Device::add(const std::string& property, float value) {
  EqData d;
  d.set(value);
  return add(property, d);
}

FakeProperty* Device::add(const std::string& property, const char* text) {
  EqData d;
  d.set(text);
  return add(property, d);
}

FakeProperty* Device::find(const std::string& property) {
  for (auto& p : props_) {
    if (p->name() == property) return p.get();
  }
  return nullptr;
}

void Device::set(const std::string& property, int value) {
  EqData d;
  d.set(value);
  if (FakeProperty* p = find(property)) p->set_value(d);
}

void Device::set(const std::string& property, float value) {
  EqData d;
  d.set(value);
  if (FakeProperty* p = find(property)) p->set_value(d);
}

void Device::set(const std::string& property, const char* text) {
  EqData d;
  d.set(text);
  if (FakeProperty* p = find(property)) p->set_value(d);
}

void Device::fail(const std::string& property, int code) {
  if (FakeProperty* p = find(property)) p->fail(code);
}

std::string Device::text(const std::string& property) {
  FakeProperty* p = find(property);
  if (p == nullptr) return "";
  char buf[1024];
  EqData v = p->value();
  return v.get_string(buf, sizeof buf);
}

std::string Device::address(const std::string& property) const {
  return testkit::address(location.name(), property);
}

std::string Device::address() const {
  return std::string(FACILITY) + "/" + DEVICE + "/" + location.name();
}

void Device::on_write(const std::string& property, std::function<void(EqData&)> react) {
  FakeProperty* p = find(property);
  if (p != nullptr) p->on_write(std::move(react));
}

}  // namespace testkit
