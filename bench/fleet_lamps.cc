// fleet_lamps.cc - the server program of bench/fleet_scale.py: TYPES machine
// types "lamp00", "lamp01", ... of one tiny machine (off and on, each
// "switch" toggles it), as only the first root location of a type runs.

#include <stdio.h>

#include "fsm/fsm.h"
#include "writer/machine.h"

namespace {

constexpr int TYPES = 32;  // the most lamps a server runs

const fsm::Machine& lamp() {
  using fsm::State;
  static const fsm::Machine m =
      fsm::Machine().flow("FLOW_0 the lamp", {State("off", "the lamp is off").on("switch", "on"),
                                              State("on", "the lamp is on").on("switch", "off")});
  return m;
}

void create(EqFSMlocation* loc) {
  lamp().build(loc);
}

node_info* types() {
  static node_info list[TYPES];
  for (int i = 0; i < TYPES; ++i) {
    list[i].link = i + 1 < TYPES ? &list[i + 1] : nullptr;
    snprintf(list[i].name, sizeof list[i].name, "lamp%02d", i);
    list[i].create = create;
  }
  return list;
}

}  // namespace

node_info* init_list = types();  // the machine types of this program
