// clock.cc - the machines' clock in tests.

#include "testkit/clock.h"

#include <atomic>

#include "fsm/fsm_core.h"

namespace testkit {

namespace {

std::atomic<long long> now_ms{0};

long long test_now() {
  return now_ms.load();
}

}  // namespace

void use_test_clock() {
  fsm_set_clock(test_now);
}

void advance_clock(std::chrono::milliseconds by) {
  use_test_clock();
  now_ms += by.count();
}

}  // namespace testkit
