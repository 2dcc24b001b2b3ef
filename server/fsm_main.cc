// fsm_main.cc - main of an FSM server program: the host server runtime
// with the FSM library's entry hooks. An application links this (target
// norix_host) with libfsm and libnorix and defines its init_list.

#include "framework/host/broker_host.h"
#include "framework/host/metrics.h"
#include "framework/host/server.h"
#include "framework/host/service_notify.h"
#include "server/fsm_binding.h"
#include "server/fsm_broker.h"
#include "server/fsm_panel.h"
#include "server/fsm_stats.h"

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
  norix::set_broker_feed(fsm_broker_feed());
  norix::add_metrics_source(fsm_metrics);
  norix::add_liveness_check(fsm_engines_alive);
  return norix::server_main(argc, argv, hooks);
}
