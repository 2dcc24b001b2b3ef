// oven_test.cc - how to test a machine of your own with the test kit: the
// oven is built from its create functions in the test's process, its
// heater and pump are fake devices served in-process, and each event is
// dispatched synchronously by a tick, so the test needs no server, no
// threads and no waits.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "examples/oven_machines.h"
#include "framework/host/journal.h"
#include "framework/objects/journal.h"
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

// A night's run, journalled, and replayed on the oven's code: the same code
// makes the same transitions; a change shows where it first departs. A
// server's journal (norix_journal FILE --json) is replayed the same way.
class OvenReplay : public ::testing::Test {
 protected:
  // Serves the devices with steady values: the journal holds the events,
  // not what the devices read, so a replay gives them the run's values.
  OvenReplay() : heater("HEATER"), pump("PUMP") {
    heater.add("TEMP", 20.0f);
    heater.add("FAULTY", 0);
    heater.add("POWER", 0);
    heater.add("SETPOINT", 20.0f);
    pump.add("PRESSURE", 0.5f);
    pump.add("RUN", 0);
  }
  static std::string conf() {
    const std::string devices = std::string(testkit::FACILITY) + "/" + testkit::DEVICE + "/";
    return "HEATER \t" + devices + "HEATER\nPUMP \t" + devices + "PUMP\nTARGET \t80\n";
  }
  testkit::Device heater;
  testkit::Device pump;
};

// The changed code: a ramp that is too slow now stops heating, no fault.
void create_forgiving_oven(EqFSMlocation* loc) {
  create_oven(loc);
  for (FSMstate* st : loc->state_ptr->flow[0]->state) {
    for (FSMstate::branch* b : st->transition) {
      if (b->event_name == "too_slow") b->next_state = "idle";
    }
  }
}

TEST_F(OvenReplay, ReproducesTheNightAndShowsWhereChangedCodeDeparts) {
  testkit::TempDir dir;
  norix::JournalOptions journal;
  journal.file = dir.file("oven.journal");
  std::string why;
  norix::set_journal_clock(fsm_clock_ms);  // the kit's clock, as the oven sees it
  ASSERT_EQ(norix::journal_start(journal, &why), 0) << why;
  {
    testkit::Machine oven("OVEN", "oven", create_oven, conf());
    oven.join("DOOR", "door", create_door);
    ASSERT_EQ(oven.start(), 0);
    oven.event("pump:*");
    oven.advance(std::chrono::seconds(1));  // the vacuum comes
    oven.event("start:*");
    oven.advance(std::chrono::minutes(10));  // too slow: fault
    oven.event("reset:*");
    ASSERT_EQ(oven.flow(0), "idle");
  }
  norix::journal_stop();
  std::vector<norix::JournalRow> rows;
  ASSERT_EQ(testkit::read_journal(journal.file, &rows, &why), 0) << why;

  int journalled = 0;
  for (const norix::JournalRow& r : rows)
    journalled += r.kind == "transition" ? 1 : 0;
  {
    testkit::Machine same("OVEN", "oven", create_oven, conf());
    same.join("DOOR", "door", create_door);
    testkit::ReplayReport report = testkit::replay(same, rows);
    EXPECT_TRUE(report.same) << report.difference;
    EXPECT_EQ(report.events, 3);
    EXPECT_EQ(report.transitions, journalled);
  }
  testkit::Machine changed("OVEN", "oven", create_forgiving_oven, conf());
  changed.join("DOOR", "door", create_door);
  testkit::ReplayReport report = testkit::replay(changed, rows);
  EXPECT_FALSE(report.same);
  EXPECT_NE(report.difference.find("journalled 'oven/0: heating -> fault on too_slow', replayed "
                                   "'oven/0: heating -> idle on too_slow'"),
            std::string::npos)
      << report.difference;
  norix::set_journal_clock(nullptr);
}

}  // namespace
