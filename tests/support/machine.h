// machine.h - small machines for the core's tests: traced actions, a
// machine builder that owns its states, and a dispatch thread for the
// queue tests.

#ifndef TESTS_SUPPORT_MACHINE_H
#define TESTS_SUPPORT_MACHINE_H

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fsm/fsm.h"

namespace fsmtest {

// A thread-safe list of texts that actions and dispatch loops append to.
class Log {
 public:
  void add(const std::string& entry);
  std::vector<std::string> take();  // returns the entries and empties the log
  std::vector<std::string> snapshot();
  // Waits until the log holds at least n entries; false after the timeout.
  bool wait_for(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<std::string> entries_;
};

// The trace the traced actions write to ("enter:a", "poll:a", ...).
Log& trace();

// Registers the seven actions on st, each appending "<action>:<name>"
// ("init", "poll", "enter", "during", "exit", "irq1", "irq2").
void trace_actions(FSMstate* st);
// A handler that appends "handler:<name>:<event_name>".
int trace_handler(FSMstate* st);
// A transition action that appends "taction:<name>".
void trace_taction(FSMstate* st);
// A condition that appends "guard:<name>" and returns guard_result().
int trace_guard(FSMstate* st);
int& guard_result();

// A machine under construction: a root state "root" (its own root) and the
// states added to it; it owns them all.
class Machine {
 public:
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // A traced simple state added to flow_i of `in` (the root when null).
  FSMstate* state(const char* name, int flow_i = 0, FSMsuperstate* in = nullptr);
  // A traced superstate added to flow_i of `in` (the root when null).
  FSMsuperstate* superstate(const char* name, int flow_i = 0, FSMsuperstate* in = nullptr);
  // Adopts a state the caller created; the machine deletes it.
  template <typename T>
  T* own(T* st) {
    owned_.push_back(st);
    return st;
  }

  // set_root, link_state, init_state and enter_state on the root; the trace
  // is emptied afterwards. Returns the result of link_state.
  int start();
  // Hands one event to the tree as the root's dispatch does, without the
  // queue.
  void deliver(const char* name, const char* address);
  void irq1();

  FSMrootstate* root;

 private:
  std::vector<FSMstate*> owned_;
};

// Runs one engine loop of a root on a thread the test controls: each step
// dispatches through root->process_event (or process_irq1/2) and appends
// "<event>@<address>" of the dispatched record to `log`. The loop ends after
// it has dispatched an event named "stop"; stop() posts that event, signals
// the queue and joins within a bounded wait.
class Dispatcher {
 public:
  enum Kind { EVENTS, IRQ1, IRQ2 };

  Dispatcher(FSMrootstate* root, Kind kind);
  ~Dispatcher();  // stops the loop if the test has not

  void stop();
  Log log;

 private:
  void run();
  void post(FSMevent* ep);

  FSMrootstate* root_;
  Kind kind_;
  std::mutex mutex_;
  std::condition_variable cond_;
  bool done_ = false;
  bool stopped_ = false;
  std::thread thread_;
};

// Creates the client-call object once per process if nobody has.
void ensure_norix_call();

}  // namespace fsmtest

#endif  // TESTS_SUPPORT_MACHINE_H
