// names_test.cc - servers found by name: presence records to the endpoint
// that calls use, the rule for a name two servers claim, and the fleet
// view's model of what the broker announces.

#include "framework/calls/names.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "framework/calls/broker.h"
#include "framework/calls/eq_call.h"
#include "framework/calls/peers.h"
#include "framework/host/fleet.h"
#include "framework/host/fleet_feed.h"
#include "framework/objects/registry.h"
#include "framework/values/errors.h"
#include "testkit/testkit.h"

namespace {

using json = nlohmann::json;

std::string presence(const std::string& server, bool online, const std::string& instance,
                     const std::vector<std::string>& endpoints) {
  json j = {{"server", server}, {"online", online}, {"since_ms", 1000}};
  if (!instance.empty()) j["instance"] = instance;
  if (online || !endpoints.empty()) j["endpoints"] = endpoints;
  return j.dump();
}

std::string endpoint_of(const std::string& facility_device) {
  EqAdr a;
  a.adr(facility_device + "/LOC/PROP");
  return norix::peer_endpoint(a);
}

class Names : public ::testing::Test {
 protected:
  void SetUp() override {
    norix::clear_served();
    norix::set_server("HERE", "ME");
  }
  void TearDown() override { norix::clear_served(); }
};

TEST_F(Names, ConfiguredPeerWinsAndUnknownNamesStayUnknown) {
  norix::add_peer("F", "CONFIGURED", "unix:configured.sock");
  EXPECT_EQ(
      norix::apply_presence(presence("F/CONFIGURED", true, "x", {"tcp:127.0.0.1:9"}), nullptr),
      norix::NAME_APPLIED);
  EXPECT_EQ(endpoint_of("F/CONFIGURED"), "unix:configured.sock");
  EXPECT_EQ(endpoint_of("F/NOBODY"), "");
  // A record claiming this server's own name never takes its calls away.
  norix::apply_presence(presence("HERE/ME", true, "y", {"tcp:127.0.0.1:9"}), nullptr);
  EXPECT_EQ(endpoint_of("HERE/ME"), "");
}

TEST_F(Names, CallsUseTheFirstTcpEndpointAndEscapedNames) {
  norix::apply_presence(
      presence("F\\/1/D", true, "a", {"unix:a.sock", "tcp:127.0.0.1:7001", "tcp:127.0.0.1:7002"}),
      nullptr);
  EqAdr a;
  a.set("F/1", "LOC", "D", "PROP");
  EXPECT_EQ(norix::peer_endpoint(a), "tcp:127.0.0.1:7001");
  norix::apply_presence(presence("F/UNIX", true, "b", {"unix:b.sock"}), nullptr);
  EXPECT_EQ(endpoint_of("F/UNIX"), "unix:b.sock");
}

TEST_F(Names, HostileRecordsAreRefused) {
  const std::vector<std::string> refused = {
      "",
      "not json",
      "[1,2]",
      R"({"online":true,"endpoints":["unix:a"]})",
      R"({"server":"F/D","endpoints":["unix:a"]})",
      R"({"server":"F/D","online":"yes","endpoints":["unix:a"]})",
      R"({"server":"NODEVICE","online":true,"endpoints":["unix:a"]})",
      R"({"server":"F/D/L","online":true,"endpoints":["unix:a"]})",
      R"({"server":"F/D","online":true,"endpoints":["nowhere:x", 7]})",
      R"({"server":"F/D","online":true})",
      std::string(R"({"server":"F/D","online":true,"endpoints":["unix:a"],"pad":")") +
          std::string(norix::MAX_PRESENCE_BYTES, 'x') + "\"}",
  };
  for (const std::string& r : refused) {
    std::string why;
    EXPECT_EQ(norix::apply_presence(r, &why), norix::NAME_REFUSED) << r.substr(0, 80);
    EXPECT_FALSE(why.empty());
  }
  EXPECT_TRUE(norix::name_claims().empty());
}

// Two servers claim one name: each step is a record, then where calls go,
// whether the holder is online, and the conflicts shown.
struct claim_step {
  std::string record;
  int rc;
  std::string endpoint;
  bool online;
  size_t conflicts;
};

struct claim_case {
  const char* what;
  std::vector<claim_step> steps;
};

const std::string A_ON = presence("F/D", true, "a", {"tcp:127.0.0.1:7001"});
const std::string A_OFF = presence("F/D", false, "a", {});
const std::string B_ON = presence("F/D", true, "b", {"tcp:127.0.0.1:7002"});
const std::string B_OFF = presence("F/D", false, "b", {});
const std::string C_ON = presence("F/D", true, "c", {"tcp:127.0.0.1:7003"});

TEST_F(Names, ClaimsOfOneName) {
  const std::vector<claim_case> cases = {
      {"the latest claim holds the name, the displaced one is a conflict",
       {{A_ON, norix::NAME_APPLIED, "tcp:127.0.0.1:7001", true, 0},
        {B_ON, norix::NAME_CONFLICT, "tcp:127.0.0.1:7002", true, 1}}},
      {"the displaced claim takes the name back when the holder goes",
       {{A_ON, norix::NAME_APPLIED, "tcp:127.0.0.1:7001", true, 0},
        {B_ON, norix::NAME_CONFLICT, "tcp:127.0.0.1:7002", true, 1},
        {B_OFF, norix::NAME_APPLIED, "tcp:127.0.0.1:7001", true, 0}}},
      {"a displaced claim that goes is no conflict any more",
       {{A_ON, norix::NAME_APPLIED, "tcp:127.0.0.1:7001", true, 0},
        {B_ON, norix::NAME_CONFLICT, "tcp:127.0.0.1:7002", true, 1},
        {A_OFF, norix::NAME_APPLIED, "tcp:127.0.0.1:7002", true, 0}}},
      {"a server gone keeps its endpoint, offline",
       {{A_ON, norix::NAME_APPLIED, "tcp:127.0.0.1:7001", true, 0},
        {A_OFF, norix::NAME_APPLIED, "tcp:127.0.0.1:7001", false, 0},
        {A_ON, norix::NAME_APPLIED, "tcp:127.0.0.1:7001", true, 0}}},
      {"a restarted server is not taken offline by its predecessor's late will",
       {{A_ON, norix::NAME_APPLIED, "tcp:127.0.0.1:7001", true, 0},
        {B_ON, norix::NAME_CONFLICT, "tcp:127.0.0.1:7002", true, 1},
        {A_OFF, norix::NAME_APPLIED, "tcp:127.0.0.1:7002", true, 0},
        {A_OFF, norix::NAME_APPLIED, "tcp:127.0.0.1:7002", true, 0}}},
      {"the latest of three wins; the others return latest first",
       {{A_ON, norix::NAME_APPLIED, "tcp:127.0.0.1:7001", true, 0},
        {B_ON, norix::NAME_CONFLICT, "tcp:127.0.0.1:7002", true, 1},
        {C_ON, norix::NAME_CONFLICT, "tcp:127.0.0.1:7003", true, 2},
        {presence("F/D", false, "c", {}), norix::NAME_APPLIED, "tcp:127.0.0.1:7002", true, 1},
        {B_OFF, norix::NAME_APPLIED, "tcp:127.0.0.1:7001", true, 0}}},
      {"an offline record of a name never seen teaches nothing",
       {{A_OFF, norix::NAME_APPLIED, "", false, 0}}},
  };
  for (const claim_case& c : cases) {
    norix::clear_names();
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const claim_step& s = c.steps[i];
      EXPECT_EQ(norix::apply_presence(s.record, nullptr), s.rc) << c.what << " step " << i;
      EXPECT_EQ(endpoint_of("F/D"), s.endpoint) << c.what << " step " << i;
      std::vector<norix::name_claim> names = norix::name_claims();
      if (s.endpoint.empty()) {
        EXPECT_TRUE(names.empty()) << c.what;
        continue;
      }
      ASSERT_EQ(names.size(), 1u) << c.what;
      EXPECT_EQ(names[0].online, s.online) << c.what << " step " << i;
      EXPECT_EQ(names[0].conflicts.size(), s.conflicts) << c.what << " step " << i;
    }
  }
}

TEST_F(Names, FleetListsServersWithTheirMachines) {
  norix::clear_fleet();
  json p = {{"server", "PLANT/OVEN"},
            {"online", true},
            {"since_ms", 5},
            {"panel", "http://127.0.0.1:1/"},
            {"endpoints", {"unix:o.sock"}},
            {"locations", {{{"name", "OVEN"}, {"type", "oven"}}}}};
  ASSERT_EQ(norix::fleet_presence(p.dump(), nullptr), 0);
  json st = {
      {"location", "OVEN"}, {"fault", "TEMP: server unreachable"}, {"active", json::array()}};
  ASSERT_EQ(norix::fleet_state("PLANT", "OVEN", "OVEN", st.dump(), nullptr), 0);
  // State before presence: the server is listed, offline; a name that is
  // no valid UTF-8 comes out as valid JSON all the same.
  ASSERT_EQ(norix::fleet_state("PLANT", "DEV\xff", "PUMP", R"({"fault":""})", nullptr), 0);
  std::string why;
  EXPECT_EQ(norix::fleet_state("PLANT", "OVEN", "X", "{nope", &why), -1);
  EXPECT_EQ(norix::fleet_state("", "OVEN", "X", "{}", &why), -1);
  EXPECT_EQ(norix::fleet_presence(R"({"server":"PLANT","online":true})", &why), -1);

  json f = json::parse(norix::fleet_json(), nullptr, false);
  ASSERT_TRUE(f.is_object());
  ASSERT_EQ(f["servers"].size(), 2u);
  json dev = f["servers"][0];
  json oven = f["servers"][1];
  EXPECT_EQ(oven["server"], "PLANT/OVEN");
  EXPECT_EQ(oven["online"], true);
  EXPECT_EQ(oven["panel"], "http://127.0.0.1:1/");
  ASSERT_EQ(oven["machines"].size(), 1u);
  EXPECT_EQ(oven["machines"][0]["location"], "OVEN");
  EXPECT_EQ(oven["machines"][0]["state"]["fault"], "TEMP: server unreachable");
  EXPECT_EQ(dev["online"], false);
  EXPECT_EQ(dev["panel"], nullptr);
  EXPECT_EQ(f["broker"], false);

  // The will marks it offline and keeps its machines; a cleared retained
  // state forgets the machine.
  ASSERT_EQ(norix::fleet_presence(R"({"server":"PLANT/OVEN","online":false})", nullptr), 0);
  ASSERT_EQ(norix::fleet_state("PLANT", "OVEN", "OVEN", "", nullptr), 0);
  norix::set_fleet_broker([] { return true; });
  f = json::parse(norix::fleet_json());
  EXPECT_EQ(f["servers"][1]["online"], false);
  EXPECT_TRUE(f["servers"][1]["machines"].empty());
  EXPECT_EQ(f["broker"], true);
  norix::clear_fleet();
}

TEST_F(Names, FleetIsBounded) {
  norix::clear_fleet();
  for (size_t i = 0; i < norix::MAX_FLEET_MACHINES; ++i)
    ASSERT_EQ(norix::fleet_state("F", "D", "M" + std::to_string(i), "{}", nullptr), 0);
  std::string why;
  EXPECT_EQ(norix::fleet_state("F", "D", "ONE.MORE", "{}", &why), -1);
  EXPECT_EQ(norix::fleet_state("F", "D", "M0", "{}", nullptr), 0);  // replacing still works
  std::string big = "{\"x\":\"" + std::string(norix::MAX_FLEET_RECORD, 'x') + "\"}";
  EXPECT_EQ(norix::fleet_state("F", "D", "M1", big, &why), -1);
  norix::clear_fleet();
}

TEST(FleetTopics, OnlyPresenceAndStateTopicsRead) {
  struct topic_case {
    std::string topic;
    bool read;
    std::string facility, device, location;
  };
  const std::vector<topic_case> cases = {
      {"site/a/F/D/presence", true, "F", "D", ""},
      {"site/a/F%2F1/D/OVEN/state", true, "F/1", "D", "OVEN"},
      {"site/a/F/D/OVEN/transition", false, "", "", ""},
      {"site/a/F/D/OVEN/extra/state", false, "", "", ""},
      {"site/b/F/D/presence", false, "", "", ""},
      {"site/a/F/%/presence", false, "", "", ""},
      {"site/a/F/D%2/presence", false, "", "", ""},
  };
  for (const topic_case& c : cases) {
    norix::fleet_topic t;
    ASSERT_EQ(norix::read_fleet_topic("site/a", c.topic, &t), c.read) << c.topic;
    if (!c.read) continue;
    EXPECT_EQ(t.facility, c.facility);
    EXPECT_EQ(t.device, c.device);
    EXPECT_EQ(t.location, c.location);
  }
}

// With a real broker: the simulated devices announce themselves, and this
// process, with no peer line, reads their values through its monitors.
class NamesThroughBroker : public ::testing::Test {
 protected:
  void SetUp() override {
    norix::clear_served();
    norix::set_server("TEST", "HERE");
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port_ = ntohs(a.sin_port);
    close(fd);
    ASSERT_TRUE(testkit::write_file(dir_.file("broker.conf"),
                                    "listener " + std::to_string(port_) +
                                        " 127.0.0.1\nallow_anonymous true\npersistence false\n"));
    start_broker();
    std::string conf = testkit::read_file(std::string(EXAMPLE_DEMO_DIR) + "/devices.conf");
    conf.replace(conf.find("listen unix:dev.sock"), 20,
                 "listen tcp:127.0.0.1:0\nmqtt mqtt://127.0.0.1:" + std::to_string(port_) +
                     "\nmqtt_keepalive 5");
    ASSERT_TRUE(testkit::write_file(dir_.file("devices.conf"), conf));
    start_devices();
    norix::BrokerSettings settings;
    settings.url = "mqtt://127.0.0.1:" + std::to_string(port_);
    settings.keepalive_s = 5;
    link_ = std::make_shared<norix::BrokerLink>(settings);
    std::string why;
    ASSERT_EQ(link_->start(&why), 0) << why;
    ASSERT_EQ(norix::start_fleet_feed(link_, "norix", &why), 0) << why;
  }
  void TearDown() override {
    norix::stop_fleet_feed();
    if (link_ != nullptr) link_->stop();
    norix::clear_served();
    norix::clear_fleet();
  }
  void start_broker() {
    broker_.reset(new testkit::ServerProcess);
    ASSERT_TRUE(broker_->start("/bin/sh", {"-c", "PATH=$PATH:/usr/sbin exec mosquitto -v -c \"$0\"",
                                           dir_.file("broker.conf")}));
    ASSERT_TRUE(broker_->wait_output("running")) << broker_->output();
  }
  void start_devices() {
    devices_.reset(new testkit::ServerProcess);
    ASSERT_TRUE(devices_->start(SIM_DEVICES_PATH, {"devices.conf"}, dir_.path()));
    ASSERT_TRUE(devices_->wait_output("listening on")) << devices_->output();
  }
  // The monitored read's error code and value text.
  int read(const std::string& address, std::string* text) {
    EqAdr a;
    a.adr(address);
    EqData in;
    EqData out;
    EqCall call;
    call.get_monitor(&a, &in, &out, 1, 1.0f, nullptr, nullptr);
    *text = out.text_value();
    return out.error();
  }
  bool reads(const std::string& address, int code, const std::string& text) {
    return testkit::wait_until([&] {
      std::string value;
      return read(address, &value) == code && (text.empty() || value == text);
    });
  }

  testkit::TempDir dir_;
  int port_ = 0;
  std::unique_ptr<testkit::ServerProcess> broker_;
  std::unique_ptr<testkit::ServerProcess> devices_;
  std::shared_ptr<norix::BrokerLink> link_;
};

const std::string SETPOINT = "DEMO.DEV/SIM/HEATER/SETPOINT";

TEST_F(NamesThroughBroker, MonitorOfAServerFoundByNameFollowsItAcrossRestarts) {
  ASSERT_TRUE(reads(SETPOINT, 0, "20"));
  EqAdr a;
  a.adr(SETPOINT);
  std::string first = norix::peer_endpoint(a);
  EXPECT_EQ(first.compare(0, 4, "tcp:"), 0) << first;
  // A change there is pushed to the cache here.
  EqData value;
  value.set(35);
  EqData result;
  EqCall call;
  ASSERT_EQ(call.set(&a, &value, &result), 0) << result.text_value();
  EXPECT_TRUE(reads(SETPOINT, 0, "35"));

  // Gone: "server unreachable", whatever the broker still says.
  devices_->signal(SIGKILL);
  devices_->wait_exit();
  EXPECT_TRUE(reads(SETPOINT, ERR_UNREACHABLE, ""));
  // Back on another port: found again by name, without help.
  start_devices();
  EXPECT_TRUE(reads(SETPOINT, 0, "20"));
  EXPECT_NE(norix::peer_endpoint(a), first);

  // The broker gone: the name is kept and the direct connection works on.
  broker_->signal(SIGKILL);
  broker_->wait_exit();
  ASSERT_TRUE(testkit::wait_until([&] { return !link_->connected(); }));
  value.set(41);
  ASSERT_EQ(call.set(&a, &value, &result), 0) << result.text_value();
  EXPECT_TRUE(reads(SETPOINT, 0, "41"));
  // The fleet shows the broker down.
  EXPECT_EQ(json::parse(norix::fleet_json())["broker"], false);
}

}  // namespace
