// lamp.cc - README.md's lamp: "switch" turns it on and off, and it switches
// itself off OFF_AFTER seconds (ten minutes by default) after each switch on.

#include "examples/lamp.h"

#include "writer/machine.h"

namespace {

const fsm::Property<int> OFF_AFTER{"OFF_AFTER", "seconds until off"};

const fsm::Machine& lamp() {
  using fsm::State;
  static const fsm::Machine m =
      fsm::Machine()
          .flow("FLOW_0 the lamp",
                {State("off", "the lamp is off").on("switch", "on"),
                 State("on", "the lamp is on")
                     .on("switch", "off")
                     .after(std::chrono::minutes(10), "auto_off")
                     .on("auto_off", "off")
                     .init([](fsm::Context& c) {  // once the configuration is loaded
                       int seconds = c.get(OFF_AFTER);
                       if (seconds > 0) c.timeout("auto_off", std::chrono::seconds(seconds));
                     })})
          .property(OFF_AFTER);
  return m;
}

node_info lamp_info = {nullptr, "lamp", create_lamp};

}  // namespace

void create_lamp(EqFSMlocation* loc) {
  lamp().build(loc);
}

node_info* init_list = &lamp_info;  // the machine types of this program
