// machine.h - machines built and driven in the test's own process.
//
// A Machine is what a server makes of one root location and the superstate
// locations that join it, started through the runtime's start-up sequence
// (framework/host/start_sequence.h): each location is created by eq_create
// from the application's create function, named and served (so clients
// and data items reach its properties) when it is made; start() then loads
// each one's saved value lines, initialises and completes it (the root
// before superstates), runs post_init, and links and starts the machine,
// all on the test's thread. No engine thread runs: ticks, events and interrupts are dispatched
// synchronously by the calls below, through the same queues and the same
// dispatch as in a server, so a test is deterministic and needs no waits.
//
// Not thread-safe: one test thread drives a machine. Other threads may
// read its properties or post to it while it is driven (that is what the
// engine tests do).

#ifndef TESTKIT_MACHINE_H
#define TESTKIT_MACHINE_H

#include <iosfwd>
#include <string>
#include <vector>

#include "fsm/fsm.h"
#include "testkit/device.h"
#include "testkit/sync.h"

namespace testkit {

// What the recording actions below have done, in order, from every thread.
Recorder& actions();

// Registers the seven actions of st so that each appends "<action>:<state>"
// to actions(): "init", "poll", "enter", "during", "exit", "irq1", "irq2".
void record(FSMstate* st);
// A simple state whose seven actions record (see record()).
FSMstate* recorded_state(const char* name, const char* descr = "");
// As record(), but "poll" and "during" record only events other than the
// timer, so that the timer event that ends every tick() leaves no trace.
void record_events(FSMstate* st);
// A transition action that records "taction:<state>", a condition that
// records "guard:<state>" and allows the transition while guard_allows()
// is true, and a handler that records "handler:<state>:<event>".
void record_taction(FSMstate* st);
int record_guard(FSMstate* st);
bool& guard_allows();
int record_handler(FSMstate* st);

// One transition the machine fired, as its trace (TRACE) records it.
struct Fired {
  std::string flow;   // the flow's path ("oven/0", "oven/heating/0")
  std::string from;   // the state left
  std::string to;     // the state entered; "" when the flow stayed in `from`
  std::string event;  // the event it fired on
  bool operator==(const Fired& o) const {
    return flow == o.flow && from == o.from && to == o.to && event == o.event;
  }
};
std::ostream& operator<<(std::ostream& out, const Fired& f);  // "flow: from -> to on event"

// The saved value lines of a location, given as values:
//   Conf().flow(0, "off", true).value("OFF_AFTER", 300).address("HEATER", heater)
// converts to the text that Machine and join take.
class Conf {
 public:
  // FLOW_n: the flow starts in `start` (and resumes with history).
  Conf& flow(int n, const std::string& start, bool history = false);
  Conf& value(const std::string& property, const std::string& text);
  Conf& value(const std::string& property, const char* text) {
    return value(property, std::string(text));
  }
  Conf& value(const std::string& property, int v) { return value(property, std::to_string(v)); }
  Conf& value(const std::string& property, double v);
  // An address property naming a fake device (testkit/device.h).
  Conf& address(const std::string& property, const Device& device);
  const std::string& text() const { return text_; }
  operator const std::string&() const { return text_; }  // NOLINT: given where text is taken

 private:
  std::string text_;
};

class Machine {
 public:
  typedef void (*Create)(EqFSMlocation*);

  // The root location `name` of machine type `type`, built by create, with
  // saved value lines conf ("FLOW_0 \t1 0 0 0 \"off\"\n"; FSM and DESCR
  // default to the type's name).
  Machine(const std::string& name, const std::string& type, Create create,
          const std::string& conf = "");
  // Unserves the locations, removes the machine from the registry and
  // destroys the locations and the states their create functions made
  // (allocate states with new, as a server program does).
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // A superstate location (code 101) of type `type` that joins the machine
  // named in its FSM line of conf (this machine by default). Before start().
  EqFSMlocation* join(const std::string& name, const std::string& type, Create create,
                      const std::string& conf = "");

  // Loads, initialises and completes every location (the root first), links
  // the machine and starts it on this thread: init and entry actions run
  // here. 0 when the machine linked.
  int start();

  // One update of the root location: its queued events, the events of due
  // timeouts, then the "timer" event, dispatched on this thread.
  void tick();
  // Moves the test clock (testkit/clock.h) forward, then ticks: the
  // timeouts due by then fire.
  void advance(std::chrono::milliseconds by);
  // Writes text to EVENT as a client does, then ticks. The write's error
  // code (0 on success).
  int event(const std::string& text);
  // Posts one event the way a transition's signal or send_event does,
  // without a tick.
  void post(const char* name, const char* address);
  // Takes out the events posted to a machine that is not started, oldest
  // first, as "event@address" ("go@lamp!off"); nothing once started.
  std::vector<std::string> queued();
  // Raises an interrupt of the location and dispatches its queue on this
  // thread.
  void irq1();
  void irq2();

  // Client reads and writes of a property of a location of this machine
  // (the root by default), as text; errors read as "error <code>: <text>".
  std::string get(const std::string& property, const std::string& location = "");
  int set(const std::string& property, const std::string& text, const std::string& location = "");
  // The name of flow n's active state as FLOW_n shows it (its first word).
  std::string flow(int n, const std::string& location = "");
  std::string fault(const std::string& location = "");
  // Flow n of a location's own state (the root's by default), read from the
  // tree, whether or not a FLOW_n property shows it: its active state's
  // name, description and error ("" when the flow has no state).
  std::string flow_state(int n, const std::string& location = "");
  std::string flow_description(int n, const std::string& location = "");
  std::string flow_error(int n, const std::string& location = "");
  // The transitions fired since the start (the trace's records, oldest
  // first; at most the trace's size).
  std::vector<Fired> fired();

  EqFSMlocation* location() const { return root_; }
  FSMrootstate* root() const;

 private:
  EqFSMlocation* make(const std::string& name, int code, const std::string& type, Create create,
                      const std::string& conf);
  EqFSMlocation* find(const std::string& name) const;
  void drain_irq(FSMrootstate::queue& fifo, int which);

  struct Site {
    EqFSMlocation* loc;
    std::string conf;  // with its FSM line; loaded by start()
    int code;
    std::string type;
  };
  EqFSMlocation* root_;
  std::vector<Site> sites_;  // the root first
  bool started_;
};

// A location as a server program configures it: its name, code 100 (root)
// or 101 (superstate location), machine type, the type's create function
// and its saved value lines (FSM defaults to the type's name).
struct Served {
  std::string name;
  int code;
  std::string type;
  Machine::Create create;
  std::string conf = "";
};

// Starts the locations as a server does (framework/host/start_sequence.h),
// with the library's hooks: eq_init_prolog, eq_create and serving per
// location in list order, the saved lines loaded, init and complete (root
// locations before superstates), eq_init_epilog, which starts every
// machine's real engine threads, then post_init. Empty if a location could
// not be created. Engines never stop, so the locations are
// kept for the rest of the process; call it once per test process.
std::vector<EqFSMlocation*> serve(const std::vector<Served>& locations);
// Waits until the machine's event engine has entered it; false at the
// deadline.
bool wait_ready(EqFSMlocation* loc, std::chrono::milliseconds limit = WAIT_LIMIT);

}  // namespace testkit

#endif  // TESTKIT_MACHINE_H
