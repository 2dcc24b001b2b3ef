// start_sequence.cc - the start-up order of a server's locations.

#include "framework/host/start_sequence.h"

#include "framework/host/internal.h"
#include "framework/host/startup.h"
#include "framework/objects/eq_fct.h"

namespace norix {

namespace {

void call_hook(void (*hook)()) {
  if (hook != nullptr) hook();
}

// The start-up pass of a location of type code: 0 or 1.
int pass_of(const ServerHooks& hooks, int code) {
  return hooks.load_pass != nullptr && hooks.load_pass(code) == 1 ? 1 : 0;
}

}  // namespace

int create_location(const ServerHooks& hooks, StartSite* site, const StartSteps& steps,
                    std::string* why) {
  gbl_fct_name = site->type;
  site->fct = hooks.create(site->code, nullptr);
  if (site->fct == nullptr) {
    *why = site->where + "location " + site->name + ": type code " + std::to_string(site->code) +
           " refused";
    return -1;
  }
  site->fct->set_name(site->name);
  if (steps.created) steps.created(*site);
  return 0;
}

int finish_locations(const ServerHooks& hooks, std::vector<StartSite>* sites,
                     const StartSteps& steps, std::string* why) {
  for (int pass = 0; pass < 2; ++pass) {
    for (StartSite& s : *sites) {
      if (pass_of(hooks, s.code) != pass) continue;
      if (steps.load) steps.load(s);
      s.fct->init();
      s.fct->complete();
    }
  }
  call_hook(hooks.init_epilog);
  if (steps.epilog_done) {
    int rc = steps.epilog_done(why);
    if (rc != 0) return rc < 0 ? -1 : 1;
  }
  if (startup_refused()) {
    *why = std::to_string(internal::startup_problems()) +
           " problem(s) reported while starting, and the configuration is strict";
    return -1;
  }
  call_hook(hooks.post_init_prolog);
  for (StartSite& s : *sites)
    s.fct->post_init();
  call_hook(hooks.post_init_epilog);
  return 0;
}

int start_locations(const ServerHooks& hooks, std::vector<StartSite>* sites,
                    const StartSteps& steps, std::string* why) {
  call_hook(hooks.init_prolog);
  for (StartSite& s : *sites) {
    if (create_location(hooks, &s, steps, why) != 0) return -1;
  }
  return finish_locations(hooks, sites, steps, why);
}

}  // namespace norix
