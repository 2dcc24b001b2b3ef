// host.h - drives the library the way the host server does, for tests.
//
// start_server runs the server's start-up sequence over a list of location
// configurations: eq_init_prolog, eq_create per location (with gbl_fct_name
// set), the configuration loaded into the properties, init and complete,
// then eq_init_epilog, which starts the machines' engine threads. Engine
// threads never stop, so every location made here is kept, reachable, for
// the rest of the process. Trace records what actions did; tests wait on it
// with deadlines.

#ifndef TESTS_SUPPORT_HOST_H
#define TESTS_SUPPORT_HOST_H

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "fsm/fsm.h"

namespace host {

constexpr std::chrono::milliseconds WAIT_LIMIT{10000};

// An ordered record of what actions did, safe from any thread.
class Trace {
 public:
  void add(const std::string& entry);
  std::vector<std::string> snapshot();
  void clear();
  // Waits until pred holds for the entries; false when the deadline passed.
  bool wait_for(const std::function<bool(const std::vector<std::string>&)>& pred,
                std::chrono::milliseconds limit = WAIT_LIMIT);
  // Waits until entry has been recorded count times.
  bool wait_count(const std::string& entry, size_t count,
                  std::chrono::milliseconds limit = WAIT_LIMIT);

 private:
  std::mutex mux_;
  std::condition_variable cond_;
  std::vector<std::string> entries_;
};

Trace& trace();

// Actions that record "<what>:<state name>".
int record_init(FSMstate* s);
int record_enter(FSMstate* s);
int record_exit(FSMstate* s);
int record_timer(FSMstate* s);
int record_irq1(FSMstate* s);
int record_irq2(FSMstate* s);
// Records "<state name>:<event name>" (a timer event has an empty name).
int record_event(FSMstate* s);

// A simple state recording its init, enter, exit, timer and interrupts.
FSMstate* recorded_state(const char* name, const char* descr);

// A one-shot gate: wait() blocks until open() (or the deadline).
class Gate {
 public:
  void open();
  bool wait(std::chrono::milliseconds limit = WAIT_LIMIT);

 private:
  std::mutex mux_;
  std::condition_variable cond_;
  bool open_ = false;
};

// A location's configuration text as the server saves it: FSM and DESCR,
// then further saved value lines (such as "FLOW_0 \t1 0 0 0 \"on\"\n").
std::string conf(const std::string& fsm, const std::string& descr, const std::string& more = "");

struct LocationConfig {
  std::string name;  // the location's name
  int code;          // 100 root location, 101 superstate location
  std::string type;  // gbl_fct_name: the machine type
  std::string conf;  // saved value lines, loaded with norix::load_config
};

// Creates every location (eq_create, served under its name), loads its
// configuration, calls init() and complete() in list order (roots first).
// A null entry stands for a code that eq_create refused.
std::vector<EqFSMlocation*> create_locations(const std::vector<LocationConfig>& config);

// eq_init_prolog, create_locations, eq_init_epilog.
std::vector<EqFSMlocation*> start_server(const std::vector<LocationConfig>& config);

// Reads fsm_ready / fsm_waiting under the location mutex.
int ready(EqFSMlocation* loc);
int waiting(EqFSMlocation* loc);
bool wait_ready(EqFSMlocation* loc);
// Polls cond until it holds or the deadline passes.
bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds limit = WAIT_LIMIT);

// Whether a queue has been signalled, read under its mutex.
int signalled(FSMrootstate::queue& q);
// Takes out everything queued, as "name@state", on the calling thread. Only
// for a machine whose engines do not run.
std::vector<std::string> drain(FSMrootstate::queue& q);

FSMrootstate* root_of(EqFSMlocation* loc);

// The address text of a property of a location served here, as a data
// item binds to it ("FACILITY/DEVICE/location/property").
std::string address_text(const std::string& location, const std::string& property);

// Client calls through EqCall, as a remote client addresses a property.
int client_get(const std::string& location, const std::string& property, EqData* result);
int client_set(const std::string& location, const std::string& property, EqData* value,
               EqData* result);

// A USTR with the given fields, pointing at text.
USTR ustr(int i1, float f1, float f2, time_t tm, const char* text, unsigned len);

}  // namespace host

#endif  // TESTS_SUPPORT_HOST_H
