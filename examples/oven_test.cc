// oven_test.cc - how to test a machine of your own with the test kit: the
// oven is built from its create functions in the test's process, its
// heater and pump are fake devices served in-process, and each event is
// dispatched synchronously by a tick, so the test needs no server, no
// threads and no waits.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "examples/oven_machines.h"
#include "testkit/testkit.h"

namespace {

TEST(OvenMachine, PumpsDownHeatsAndShowsAHeaterFault) {
  // The devices the oven mirrors, with the values it reads at start-up.
  testkit::Device heater("HEATER");
  heater.add("TEMP", 20.0f);
  heater.add("FAULTY", 0);
  heater.add("POWER", 0);
  heater.add("SETPOINT", 20.0f);
  testkit::Device pump("PUMP");
  pump.add("PRESSURE", 1000.0f);
  pump.add("RUN", 0);

  // The oven location and the door that joins it, configured as a server's
  // configuration file would (the address properties name the devices).
  const std::string devices = std::string(testkit::FACILITY) + "/" + testkit::DEVICE + "/";
  testkit::Machine oven(
      "OVEN", "oven", create_oven,
      "HEATER \t" + devices + "HEATER\nPUMP \t" + devices + "PUMP\nTARGET \t80\n");
  oven.join("DOOR", "door", create_door);
  ASSERT_EQ(oven.start(), 0);
  EXPECT_EQ(oven.flow(0), "idle");
  EXPECT_EQ(oven.flow(1), "vented");
  EXPECT_EQ(oven.flow(2), "door");  // the door location's state; its own flow:
  EXPECT_EQ(oven.flow(0, "DOOR"), "closed");

  // Pump down: pumping runs the pump; the vacuum comes once the pressure
  // the oven mirrors is low.
  EXPECT_EQ(oven.event("pump:*"), 0);
  EXPECT_EQ(oven.flow(1), "pumping");
  EXPECT_EQ(pump.text("RUN"), "1");
  pump.set("PRESSURE", 0.5f);
  oven.tick();
  EXPECT_EQ(oven.flow(1), "vacuum");

  // Heat: the heater gets the target and power, and the door is locked.
  oven.event("start:*");
  EXPECT_EQ(oven.flow(0), "heating");
  EXPECT_EQ(heater.text("SETPOINT"), "80");
  EXPECT_EQ(heater.text("POWER"), "1");
  EXPECT_EQ(oven.flow(0, "DOOR"), "locked");

  // A ramp that takes more than ten minutes is a fault as well; the clock
  // of the test kit stands still until the test moves it.
  oven.advance(std::chrono::minutes(10));
  EXPECT_EQ(oven.flow(0), "fault");
  EXPECT_NE(oven.get("PHASE").find("fault: heating too slow"), std::string::npos);
  oven.event("reset:*");
  oven.event("start:*");
  EXPECT_EQ(oven.flow(0), "heating");

  // The heater's sensor breaks: FAULT shows the device's error, the mode
  // flow goes to fault and the heater is switched off. The transition
  // fired on the tick's timer event, so the "unlock" signal it sent to the
  // door is dispatched at the next tick.
  heater.set("FAULTY", 1);
  heater.fail("TEMP", ERR_UNREACHABLE);
  oven.tick();
  EXPECT_EQ(oven.flow(0), "fault");
  EXPECT_NE(oven.fault().find("server unreachable"), std::string::npos) << oven.fault();
  EXPECT_EQ(heater.text("POWER"), "0");
  oven.tick();
  EXPECT_EQ(oven.flow(0, "DOOR"), "closed");

  // Repaired and reset: idle again, and FAULT is empty.
  heater.fail("TEMP", 0);
  heater.set("FAULTY", 0);
  oven.event("reset:*");
  EXPECT_EQ(oven.flow(0), "idle");
  EXPECT_EQ(oven.fault(), "");

  // A door left open for a minute is flagged until it is closed.
  oven.set("EVENT", "open:closed", "DOOR");
  oven.tick();
  oven.advance(std::chrono::seconds(59));
  EXPECT_EQ(oven.flow(0, "DOOR"), "open");
  oven.advance(std::chrono::seconds(1));
  EXPECT_EQ(oven.flow(0, "DOOR"), "ajar");
  oven.set("EVENT", "close:ajar", "DOOR");
  oven.tick();
  EXPECT_EQ(oven.flow(0, "DOOR"), "closed");
}

}  // namespace
