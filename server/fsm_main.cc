// fsm_main.cc - main of an FSM server program: the host server runtime
// with the FSM library's entry hooks. An application links this (target
// norix_host) with libfsm and libnorix and defines its init_list.

#include "framework/host/metrics.h"
#include "framework/host/server.h"
#include "framework/host/service_notify.h"
#include "server/fsm_binding.h"
#include "server/fsm_panel.h"
#include "server/fsm_stats.h"

// Read by ThreadSanitizer, where the program is built with it; this one
// replaces the host runtime's (framework/host/server_main.cc), whose line it
// repeats. The web panel's graph layout runs the Graphviz library and,
// below it, pango, fontconfig and glib, which are not built with the
// sanitizer and hand their own memory between their threads in ways it
// does not see; only reports from within them are dropped. Our calls into
// Graphviz are serialised by the panel's layout mutex, which it does see.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n"
         "called_from_lib:libglib-2.0.so\n"
         "called_from_lib:libgobject-2.0.so\n"
         "called_from_lib:libfontconfig.so\n"
         "called_from_lib:libpango-1.0.so\n"
         "called_from_lib:libpangoft2-1.0.so\n"
         "called_from_lib:libpangocairo-1.0.so\n"
         "called_from_lib:libcairo.so\n"
         "called_from_lib:libgvc.so\n";
}

// Read by LeakSanitizer, where the program is built with it: Graphviz and
// fontconfig keep memory of their own for good (font data, once, and a few
// KiB per graph laid out; the panel lays out each machine once per
// structure), which the sanitizer reports as leaked.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libgvc.so\n"
         "leak:libcgraph.so\n"
         "leak:libfontconfig.so\n"
         "leak:libpango-1.0.so\n"
         "leak:libpangoft2-1.0.so\n"
         "leak:libglib-2.0.so\n";
}

int main(int argc, char** argv) {
  norix::ServerHooks hooks{};
  hooks.init_prolog = eq_init_prolog;
  hooks.create = eq_create;
  hooks.init_epilog = eq_init_epilog;
  hooks.post_init_prolog = post_init_prolog;
  hooks.post_init_epilog = post_init_epilog;
  hooks.refresh_prolog = refresh_prolog;
  hooks.refresh_epilog = refresh_epilog;
  hooks.interrupt_usr1_prolog = interrupt_usr1_prolog;
  hooks.interrupt_usr1_epilog = interrupt_usr1_epilog;
  hooks.cancel = eq_cancel;
  hooks.load_pass = fsm_load_pass;
  norix::set_http_panel(fsm_panel());
  norix::add_metrics_source(fsm_metrics);
  norix::add_liveness_check(fsm_engines_alive);
  return norix::server_main(argc, argv, hooks);
}
