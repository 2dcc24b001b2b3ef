// device.h - fake device properties served in the test's own process.
//
// A Device is a framework location served under its name, so that data
// items, routed handles, save and restore reach its properties by address
// text through the library's client calls, exactly as they reach a real
// device. Each property holds one value of any data type and can be told to
// answer every call with an error instead, as a failing device does.

#ifndef TESTKIT_DEVICE_H
#define TESTKIT_DEVICE_H

#include <pthread.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/norix.h"

namespace testkit {

// The facility and device that the kit's processes serve.
constexpr const char* FACILITY = "TEST.FAC";
constexpr const char* DEVICE = "TEST.DEV";

// Makes the library's client-call object if nobody has (it lives as long as
// the process) and names the served facility and device. Called by every
// Device and Machine; call it yourself before client calls of your own.
void use_client();

// "TEST.FAC/TEST.DEV/location/property".
std::string address(const std::string& location, const std::string& property);

// A client's read of the property at an address, as text; errors read as
// "error <code>: <text>".
std::string client_get(const std::string& address);
// A client's write of text to the property at an address; its error code
// (0 on success).
int client_set(const std::string& address, const std::string& text);

// A property with one value and an optional error. Its own mutex guards both,
// so tests may change it while machines read it from other threads.
class FakeProperty : public D_fct {
 public:
  FakeProperty(const char* text, EqFct* owner);
  ~FakeProperty() override;

  // A read answers the value (or the error); a write stores the written
  // value, converted to the property's type when the text reads as one,
  // or answers the error.
  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  void set(EqAdr* address, EqData* value, EqData* result, EqFct* location) override;
  using D_fct::data_type;
  int data_type() const override;

  void set_value(const EqData& value);
  EqData value();
  // Called after each client write that changed the value, with the value
  // stored (a copy), outside the property's mutex (so it may set this or other
  // properties): a device that reacts to writes. Set it before machines
  // write; null removes it.
  void on_write(std::function<void(EqData&)> react);
  // Code 0 clears the error; otherwise every call answers code with the
  // framework's text for it.
  void fail(int code);

 private:
  EqData value_;
  int error_;
  mutable pthread_mutex_t mux_;         // guards value_ and error_
  std::function<void(EqData&)> react_;  // set before use, then only read
};

// A served location of fake properties. Properties are added before the
// machines that read them start, and live as long as the device.
class Device {
 public:
  explicit Device(const std::string& name);
  ~Device();  // unserves first, so no call reaches a property being destroyed
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  FakeProperty* add(const std::string& property, int value);
  FakeProperty* add(const std::string& property, float value);
  FakeProperty* add(const std::string& property, const char* text);
  FakeProperty* add(const std::string& property, const EqData& value);
  FakeProperty* find(const std::string& property);  // null when absent

  void set(const std::string& property, int value);
  void set(const std::string& property, float value);
  void set(const std::string& property, const char* text);
  void fail(const std::string& property, int code);
  std::string text(const std::string& property);  // the value as text ("" when absent)
  std::string address(const std::string& property) const;
  // The device's own address ("TEST.FAC/TEST.DEV/HEATER"): what an address
  // property of a machine names.
  std::string address() const;
  // A device that reacts to writes: after each client write of property,
  // react runs with the value written (FakeProperty::on_write). Typically
  // it sets another property: dev.on_write("RUN", [&](const EqData& v) {
  // dev.set("PRESSURE", v.get_int() ? 0.5f : 1000.0f); }).
  void on_write(const std::string& property, std::function<void(EqData&)> react);

  EqFct location;

 private:
  std::vector<std::unique_ptr<FakeProperty>> props_;
};

}  // namespace testkit

#endif  // TESTKIT_DEVICE_H
