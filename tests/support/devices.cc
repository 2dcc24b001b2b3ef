// devices.cc - served device locations and thread handshakes for the data
// tests.

#include "tests/support/devices.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace devtest {

namespace {
constexpr const char* FACILITY = "TEST.FAC";
constexpr const char* DEVICE = "TEST.SRV";
}  // namespace

void use_client() {
  if (norix_call == nullptr) norix_call = new EqCall();
  norix::set_server(FACILITY, DEVICE);
}

std::string address(const std::string& location, const std::string& property) {
  return std::string(FACILITY) + "/" + DEVICE + "/" + location + "/" + property;
}

Device::Device(const char* name)
    : loc("NAME = location"), ival("IVAL an int", &loc), fval("FVAL a float", &loc) {
  use_client();
  loc.set_name(name);
  norix::serve_location(&loc);
}

Device::~Device() {
  norix::unserve_location(&loc);
}

void Flag::raise() {
  std::lock_guard<std::mutex> lock(mux_);
  up_ = true;
  cond_.notify_all();
}

bool Flag::raised() {
  std::lock_guard<std::mutex> lock(mux_);
  return up_;
}

bool Flag::wait(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mux_);
  return cond_.wait_for(lock, limit, [this] { return up_; });
}

void expect_lock_blocks(FSMstate* sp, int handle, pthread_mutex_t* mux) {
  ASSERT_EQ(0, sp->data_lock(handle, 0));
  Flag trying;
  Flag acquired;
  std::atomic<int> busy{-1};
  std::atomic<int> lock_rc{-1};
  std::thread other([&] {
    busy = pthread_mutex_trylock(mux);
    if (busy == 0) pthread_mutex_unlock(mux);
    trying.raise();
    lock_rc = sp->data_lock(handle, 0);
    acquired.raise();
    sp->data_unlock(handle, 0);
  });
  EXPECT_TRUE(trying.wait());
  EXPECT_EQ(EBUSY, busy.load());
  EXPECT_FALSE(acquired.raised());
  EXPECT_EQ(0, sp->data_unlock(handle, 0));
  EXPECT_TRUE(acquired.wait());
  other.join();
  EXPECT_EQ(0, lock_rc.load());
}

}  // namespace devtest
