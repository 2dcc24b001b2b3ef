// host_example_test.cc - the oven example end to end: the simulated devices
// and the oven server as real processes on their shipped configurations,
// driven with the real client: heating under vacuum with guards, signals,
// send_event and an interrupt; a device fault in FAULT; settings saved,
// watched and restored; a restart that resumes the history flow.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/protocol.h"
#include "tests/support/process.h"

namespace {

using norix::protocol::Clock;

const std::string OVEN = "DEMO.FSM/OVEN.SERVER/OVEN/";
const std::string DOOR = "DEMO.FSM/OVEN.SERVER/DOOR/";
const std::string MONITOR = "DEMO.FSM/OVEN.SERVER/MONITOR/";
const std::string HEATER = "DEMO.DEV/SIM/HEATER/";

class Oven : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"oven.conf", "devices.conf", "oven_settings.sr"}) {
      proc::write_file(dir_.file(f), proc::read_file(std::string(EXAMPLE_DEMO_DIR) + "/" + f));
    }
    ASSERT_TRUE(start_devices());
    ASSERT_TRUE(start_oven());
  }
  bool start_devices() {
    devices_.reset(new proc::ServerProcess);
    return devices_->start(SIM_DEVICES_PATH, {"devices.conf"}, dir_.path()) &&
           devices_->wait_output("listening on");
  }
  bool start_oven() {
    oven_.reset(new proc::ServerProcess);
    return oven_->start(OVEN_SERVER_PATH, {"oven.conf"}, dir_.path()) &&
           oven_->wait_output("listening on");
  }
  std::string endpoint(const std::string& address) const {
    return "unix:" + dir_.file(address.compare(0, 8, "DEMO.DEV") == 0 ? "dev.sock" : "fsm.sock");
  }
  std::string get(const std::string& address) {
    proc::ClientResult r = proc::client(endpoint(address), {"get", address});
    return r.exit.status == 0 ? r.out : "error " + r.err;
  }
  void set(const std::string& address, const std::string& value) {
    proc::ClientResult r = proc::client(endpoint(address), {"set", address, value});
    EXPECT_EQ(r.exit.status, 0) << address << " " << value << ": " << r.err;
  }
  void event(const std::string& text) { set(OVEN + "EVENT", text); }
  // Reads address until it shows text (bounded).
  bool wait_value(const std::string& address, const std::string& text) {
    auto deadline = Clock::now() + proc::LIMIT;
    std::string v;
    while (Clock::now() < deadline) {
      v = get(address);
      if (v.find(text) != std::string::npos) return true;
    }
    ADD_FAILURE() << address << " never showed '" << text << "', last: " << v;
    return false;
  }
  // Pumps down and starts heating.
  void heat() {
    event("pump:*");
    ASSERT_TRUE(wait_value(OVEN + "FLOW_1", " vacuum : "));
    event("start:*");
    ASSERT_TRUE(wait_value(OVEN + "FLOW_0", " heating : "));
  }

  proc::TempDir dir_;
  std::unique_ptr<proc::ServerProcess> devices_;
  std::unique_ptr<proc::ServerProcess> oven_;
};

TEST_F(Oven, HeatsUnderVacuumStopsOnInterruptAndFaultsOnABrokenSensor) {
  // Not under vacuum yet: the guard keeps the oven idle.
  event("start:*");
  event("pump:*");
  ASSERT_TRUE(wait_value(OVEN + "FLOW_1", " vacuum : under vacuum"));
  EXPECT_NE(get(OVEN + "FLOW_0").find(" idle : "), std::string::npos);
  EXPECT_EQ(get(OVEN + "CYCLES"), "0\n");

  event("start:*");
  ASSERT_TRUE(wait_value(OVEN + "FLOW_0", " heating : "));
  EXPECT_TRUE(wait_value(DOOR + "FLOW_0", " locked : "));   // the start signal
  EXPECT_TRUE(wait_value(MONITOR + "FLOW_0", " busy : "));  // send_event
  EXPECT_TRUE(wait_value(OVEN + "PHASE", " holding"));      // nested ramp, hold
  EXPECT_EQ(get(HEATER + "POWER"), "1\n");                  // written through an item
  EXPECT_EQ(get(HEATER + "SETPOINT"), "80\n");
  EXPECT_TRUE(wait_value(OVEN + "TEMP_HIST", " "));  // two samples at least
  EXPECT_EQ(get(OVEN + "CYCLES"), "1\n");

  set(OVEN + "ESTOP", "1");
  ASSERT_TRUE(wait_value(OVEN + "FLOW_0", " idle : "));
  EXPECT_EQ(get(OVEN + "ESTOPS"), "1\n");
  EXPECT_EQ(get(HEATER + "POWER"), "0\n");
  EXPECT_TRUE(wait_value(DOOR + "FLOW_0", " closed : "));
  EXPECT_TRUE(wait_value(MONITOR + "FLOW_0", " quiet : "));

  set(HEATER + "FAULTY", "1");
  EXPECT_TRUE(wait_value(OVEN + "FAULT", " heater sensor broken"));
  EXPECT_TRUE(wait_value(OVEN + "FLOW_0", " fault : "));
  EXPECT_TRUE(wait_value(MONITOR + "FLOW_0", " alarm : "));
  event("reset:*");  // refused while the sensor is broken
  set(HEATER + "FAULTY", "0");
  event("reset:*");
  EXPECT_TRUE(wait_value(OVEN + "FLOW_0", " idle : "));
  EXPECT_EQ(get(OVEN + "FAULT").find("broken"), std::string::npos);
  EXPECT_NE(proc::read_file(dir_.file("oven.data")).find("OVEN/TEMP_HIST "), std::string::npos);
  EXPECT_EQ(oven_->stop().status, 0);
  EXPECT_EQ(devices_->stop().status, 0);
}

TEST_F(Oven, SettingsAreSavedWatchedAndRestored) {
  set(HEATER + "SETPOINT", "65");
  event("save_settings");
  ASSERT_TRUE(wait_value(OVEN + "SETTINGS", " saved to oven_settings.saved"));
  std::string saved = proc::read_file(dir_.file("oven_settings.saved"));
  EXPECT_NE(saved.find("DEMO.DEV SIM HEATER SETPOINT\t2\t65\t;\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("DEMO.DEV SIM PUMP SPEED\t1\t50\t;\n"), std::string::npos) << saved;

  event("watch:*");
  ASSERT_TRUE(wait_value(OVEN + "FLOW_3", " watching : "));
  set(HEATER + "RATE", "0.5");
  ASSERT_TRUE(wait_value(OVEN + "FLOW_3", " drifted : "));
  EXPECT_NE(get(OVEN + "SETTINGS").find("item 2 differs: DEMO.DEV/SIM/HEATER/RATE"),
            std::string::npos);
  event("restore:*");
  ASSERT_TRUE(wait_value(OVEN + "SETTINGS", " restored from oven_settings.saved"));
  EXPECT_EQ(get(HEATER + "RATE"), "0.3\n");
  EXPECT_TRUE(wait_value(OVEN + "FLOW_3", " watching : "));
  // Stopped while the watcher thread still compares: the server saves and ends cleanly.
  EXPECT_EQ(oven_->stop().status, 0);
  EXPECT_EQ(devices_->stop().status, 0);
}

TEST_F(Oven, RestartResumesTheModeFlowFromHistory) {
  heat();
  EXPECT_EQ(oven_->stop().status, 0);
  EXPECT_EQ(devices_->stop().status, 0);
  std::string conf = proc::read_file(dir_.file("oven.conf"));
  EXPECT_NE(conf.find("FLOW_0 \t1 1 0 "), std::string::npos) << conf;
  EXPECT_NE(conf.find("\"heating : heating to the target\""), std::string::npos) << conf;

  ASSERT_TRUE(start_oven());  // without the devices
  EXPECT_TRUE(wait_value(OVEN + "FLOW_0", " heating : "));
  EXPECT_NE(get(OVEN + "FLOW_1").find(" vented : "), std::string::npos);
  EXPECT_TRUE(wait_value(OVEN + "FAULT", " server unreachable"));
  EXPECT_EQ(get(OVEN + "TARGET"), "80\n");
  EXPECT_EQ(oven_->stop().status, 0);
}

}  // namespace
