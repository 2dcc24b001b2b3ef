// clock.h - the machines' clock in tests: it stands still until the test
// moves it, so that timeouts fire when the test says, without sleeping.
//
// use_test_clock() installs it as the library's clock for the whole process
// (every Machine does); it starts at 0 and is safe from any thread.

#ifndef TESTKIT_CLOCK_H
#define TESTKIT_CLOCK_H

#include <chrono>

namespace testkit {

void use_test_clock();
// Moves the test clock forward (and installs it, if it is not yet).
void advance_clock(std::chrono::milliseconds by);

}  // namespace testkit

#endif  // TESTKIT_CLOCK_H
