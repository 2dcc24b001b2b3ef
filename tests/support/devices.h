// devices.h - served device locations and thread handshakes for the data
// tests.
//
// A Device is a plain framework location served under its name, so that
// EqCall reaches its properties by address text. The client call object is
// made once per process and kept. Flag is a one-shot handshake with bounded
// waits.

#ifndef TESTS_SUPPORT_DEVICES_H
#define TESTS_SUPPORT_DEVICES_H

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "fsm/fsm.h"

namespace devtest {

constexpr std::chrono::seconds WAIT_LIMIT{10};

// Makes norix_call if nobody has, and names the served facility and device.
void use_client();

// "FACILITY/DEVICE/location/property" of the served device.
std::string address(const std::string& location, const std::string& property);

// A served location with an int and a float property.
class Device {
 public:
  explicit Device(const char* name);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  EqFct loc;
  norix::D_value<int> ival;    // "IVAL"
  norix::D_value<float> fval;  // "FVAL"
};

// An FSM location (2 root, 1 superstate) served under name, whose
// norix_data properties the test adds; they are deleted before the location.
// States the test adds to its flows must outlive it.
class Site {
 public:
  Site(const char* name, int type);
  ~Site();
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  template <typename T>
  T* data(T* p) {
    owned_.push_back(p);
    loc->norix_data.push_back(p);
    return p;
  }
  template <typename T>
  T* address(T* p) {
    owned_.push_back(p);
    loc->norix_address.push_back(p);
    return p;
  }
  FSMsuperstate* state() const { return loc->state_ptr; }
  FSMrootstate* root() const { return dynamic_cast<FSMrootstate*>(loc->state_ptr); }

  EqFSMlocation* loc;

 private:
  std::vector<D_fct*> owned_;
};

// A one-shot flag: raise() once, wait() with a deadline.
class Flag {
 public:
  void raise();
  bool raised();
  bool wait(std::chrono::milliseconds limit = WAIT_LIMIT);

 private:
  std::mutex mux_;
  std::condition_variable cond_;
  bool up_ = false;
};

// Proves that data_lock(handle) on sp holds mux until data_unlock: while the
// test holds it another thread finds mux busy and blocks in data_lock, and
// gets it once the test unlocks. Records failures with gtest.
void expect_lock_blocks(FSMstate* sp, int handle, pthread_mutex_t* mux);

}  // namespace devtest

#endif  // TESTS_SUPPORT_DEVICES_H
