// start_sequence.h - the order in which a server process starts its
// locations, written once: the server runtime runs it over its
// configuration, and programs that start locations in their own process
// (the test kit, the benchmarks) run it with hooks of their own.
//
//   1. init_prolog();
//   2. per location, in list order: gbl_fct_name = its type name,
//      create(code, nullptr), the location named, then the caller's
//      `created` step (a server serves it and registers its saved values);
//   3. in two passes, every location of pass 0 and then every location of
//      pass 1 (load_pass(code); without that hook all are in pass 0), each
//      pass in list order: the caller's `load` step (its saved value lines),
//      then init(), then complete();
//   4. init_epilog(); a problem reported under strict
//      (framework/host/startup.h) refuses the start-up here;
//   5. post_init_prolog(), post_init() per location, post_init_epilog().
// What differs between callers (which engines start, where saved lines
// come from) is in the hooks and steps they pass, never in the order.
// Runs on the calling thread; one start-up at a time per process.

#ifndef FRAMEWORK_HOST_START_SEQUENCE_H
#define FRAMEWORK_HOST_START_SEQUENCE_H

#include <functional>
#include <string>
#include <vector>

class EqFct;

namespace norix {

// What a server program plugs into the runtime. create is required; the
// others may be null.
struct ServerHooks {
  void (*init_prolog)();
  EqFct* (*create)(int code, void* arg);  // with gbl_fct_name set; null refuses the code
  void (*init_epilog)();
  void (*post_init_prolog)();
  void (*post_init_epilog)();
  void (*refresh_prolog)();
  void (*refresh_epilog)();
  void (*interrupt_usr1_prolog)(int sig);
  void (*interrupt_usr1_epilog)(int sig);
  void (*cancel)();  // after the last save, before the program ends
  // The pass (0 or 1) in which a location of this type code has its
  // configuration loaded and is initialised and completed: a location of
  // pass 1 finds every location of pass 0 complete. Null: every location in
  // pass 0; a result other than 1 is pass 0. Last, so that the fields above
  // keep their places.
  int (*load_pass)(int code);
};

// One location to start, as its configuration names it.
struct StartSite {
  int code;
  std::string type;   // gbl_fct_name while create runs
  std::string name;   // the location's name once created
  std::string where;  // prefix of a refusal ("FILE:LINE: "), may be empty
  EqFct* fct;         // set by create_location; not owned
};

struct StartSteps {
  // After a location is created and named (step 2). May be empty.
  std::function<void(StartSite&)> created;
  // Loads a location's saved value lines, before its init() (step 3). May
  // be empty.
  std::function<void(StartSite&)> load;
  // After init_epilog, before a strict refusal (step 4): 0 goes on, 1 ends
  // the sequence there as a success (a configuration check), -1 ends it
  // with the reason in *why. May be empty.
  std::function<int(std::string* why)> epilog_done;
};

// The whole sequence over sites. 0; 1 when epilog_done ended it; or -1
// with the reason in *why (a type
// code that create refused; a problem reported under strict). On -1 the
// locations created so far stay in their sites.
int start_locations(const ServerHooks& hooks, std::vector<StartSite>* sites,
                    const StartSteps& steps, std::string* why);

// Step 2 for one site, for callers that create locations one at a time
// before running the rest with finish_locations. 0, or -1 with *why.
int create_location(const ServerHooks& hooks, StartSite* site, const StartSteps& steps,
                    std::string* why);
// Steps 3 to 5 over sites whose locations are created. 0, 1 or -1 as
// start_locations.
int finish_locations(const ServerHooks& hooks, std::vector<StartSite>* sites,
                     const StartSteps& steps, std::string* why);

}  // namespace norix

#endif  // FRAMEWORK_HOST_START_SEQUENCE_H
