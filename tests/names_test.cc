// names_test.cc - servers found by name: presence records to the endpoint
// that calls use, the rule for a name two servers claim, the fleet view's
// model, and monitors of a server found through a real broker.

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

// A presence record; an offline one carries no endpoints, as a last will.
std::string presence(const std::string& server, bool online, const std::string& instance,
                     const std::string& endpoint = "") {
  json j = {{"server", server}, {"online", online}, {"instance", instance}};
  if (online) j["endpoints"] = {"unix:x.sock", endpoint};
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

TEST_F(Names, PeersWinTcpIsPreferredAndHostileRecordsAreRefused) {
  norix::add_peer("F", "PEER", "unix:peer.sock");
  for (const char* server : {"F/PEER", "F\\/1/D", "HERE/ME"})
    norix::apply_presence(presence(server, true, "x", "tcp:127.0.0.1:9"), nullptr);
  EXPECT_EQ(endpoint_of("F/PEER"), "unix:peer.sock");
  EXPECT_EQ(endpoint_of("HERE/ME"), "");  // this server's own name stays here
  EXPECT_EQ(endpoint_of("F/NOBODY"), "");
  EqAdr a;
  a.set("F/1", "LOC", "D", "PROP");
  EXPECT_EQ(norix::peer_endpoint(a), "tcp:127.0.0.1:9");
  for (const std::string& r :
       std::vector<std::string>{"", "not json", R"({"online":true,"endpoints":["unix:a"]})",
                                R"({"server":"NODEVICE","online":true,"endpoints":["unix:a"]})",
                                R"({"server":"F/D/L","online":true,"endpoints":["unix:a"]})",
                                R"({"server":"F/D","online":true,"endpoints":["nowhere:x",7]})",
                                R"({"server":"F/D","online":true,"endpoints":["unix:a"],"p":")" +
                                    std::string(norix::MAX_PRESENCE_BYTES, 'x') + "\"}"}) {
    std::string why;
    EXPECT_EQ(norix::apply_presence(r, &why), norix::NAME_REFUSED) << r.substr(0, 60);
    EXPECT_FALSE(why.empty());
  }
  EXPECT_EQ(endpoint_of("F/D"), "");
}

// Servers claim one name: after each record, where calls go, whether the
// holder is online, and how many displaced claims are shown.
TEST_F(Names, ClaimsOfOneName) {
  const std::string A = presence("F/D", true, "a", "tcp:127.0.0.1:1");
  const std::string A_OFF = presence("F/D", false, "a");
  const std::string B = presence("F/D", true, "b", "tcp:127.0.0.1:2");
  const std::string B_OFF = presence("F/D", false, "b");
  struct step {
    std::string record;
    int rc;
    std::string endpoint;  // "" when the name is not known
    bool online;
    size_t conflicts;
  };
  const int OK = norix::NAME_APPLIED;
  const int CONFLICT = norix::NAME_CONFLICT;
  const std::vector<std::pair<const char*, std::vector<step>>> cases = {
      {"latest claim holds, the displaced one comes back when it goes",
       {{A, OK, "tcp:127.0.0.1:1", true, 0},
        {B, CONFLICT, "tcp:127.0.0.1:2", true, 1},
        {B_OFF, OK, "tcp:127.0.0.1:1", true, 0}}},
      {"a displaced claim that goes is no conflict any more; a late will changes nothing",
       {{A, OK, "tcp:127.0.0.1:1", true, 0},
        {B, CONFLICT, "tcp:127.0.0.1:2", true, 1},
        {A_OFF, OK, "tcp:127.0.0.1:2", true, 0},
        {A_OFF, OK, "tcp:127.0.0.1:2", true, 0}}},
      {"a server gone keeps its endpoint, offline, until it is back",
       {{A, OK, "tcp:127.0.0.1:1", true, 0},
        {A_OFF, OK, "tcp:127.0.0.1:1", false, 0},
        {A, OK, "tcp:127.0.0.1:1", true, 0}}},
      {"a will of a name never seen teaches nothing", {{A_OFF, OK, "", false, 0}}},
  };
  for (const auto& c : cases) {
    norix::clear_names();
    for (size_t i = 0; i < c.second.size(); ++i) {
      const step& s = c.second[i];
      SCOPED_TRACE(std::string(c.first) + ", step " + std::to_string(i));
      EXPECT_EQ(norix::apply_presence(s.record, nullptr), s.rc);
      EXPECT_EQ(endpoint_of("F/D"), s.endpoint);
      std::vector<norix::name_claim> names = norix::name_claims();
      ASSERT_EQ(names.size(), s.endpoint.empty() ? 0u : 1u);
      if (names.empty()) continue;
      EXPECT_EQ(names[0].online, s.online);
      EXPECT_EQ(names[0].conflicts.size(), s.conflicts);
    }
  }
}

// What the page shows of it is tested in a browser (tests/browser).
TEST_F(Names, FleetRefusesHostileRecordsAndKeepsItsJsonValid) {
  norix::clear_fleet();
  ASSERT_EQ(norix::fleet_state("PLANT", "DEV\xff", "PUMP", R"({"fault":"x"})", nullptr), 0);
  for (const std::string& bad :
       {std::string("{nope"), "{\"x\":\"" + std::string(70000, 'x') + "\"}"})
    EXPECT_EQ(norix::fleet_state("PLANT", "OVEN", "X", bad, nullptr), -1);
  EXPECT_EQ(norix::fleet_presence(R"({"server":"PLANT","online":true})", nullptr), -1);
  json f = json::parse(norix::fleet_json(), nullptr, false);
  ASSERT_FALSE(f.is_discarded());
  ASSERT_EQ(f["servers"].size(), 1u);  // listed offline until its presence comes
  EXPECT_EQ(f["servers"][0]["online"], false);
  EXPECT_EQ(f["servers"][0]["machines"][0]["state"]["fault"], "x");
  norix::clear_fleet();
}

// With a real broker: the simulated devices announce themselves, and this
// process, with no peer line, reads their values through its monitors.
TEST(NamesThroughBroker, MonitorOfAServerFoundByNameFollowsItAcrossRestarts) {
  norix::clear_served();
  norix::set_server("TEST", "HERE");
  testkit::TempDir dir;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  close(fd);
  std::string url = "mqtt://127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
  testkit::write_file(dir.file("broker.conf"), "listener " + std::to_string(ntohs(sa.sin_port)) +
                                                   " 127.0.0.1\nallow_anonymous true\n");
  testkit::ServerProcess broker;
  ASSERT_TRUE(broker.start("/bin/sh", {"-c", "PATH=$PATH:/usr/sbin exec mosquitto -v -c \"$0\"",
                                       dir.file("broker.conf")}));
  ASSERT_TRUE(broker.wait_output("running")) << broker.output();
  std::string conf = testkit::read_file(std::string(EXAMPLE_DEMO_DIR) + "/devices.conf");
  conf.replace(conf.find("listen unix:dev.sock"), 20, "listen tcp:127.0.0.1:0\nmqtt " + url);
  testkit::write_file(dir.file("devices.conf"), conf);
  auto devices = std::make_unique<testkit::ServerProcess>();
  auto start_devices = [&] {
    devices = std::make_unique<testkit::ServerProcess>();
    return devices->start(SIM_DEVICES_PATH, {"devices.conf"}, dir.path()) &&
           devices->wait_output("listening on");
  };
  ASSERT_TRUE(start_devices());
  norix::BrokerSettings settings;
  settings.url = url;
  auto link = std::make_shared<norix::BrokerLink>(settings);
  std::string why;
  ASSERT_EQ(link->start(&why), 0) << why;
  ASSERT_EQ(norix::start_fleet_feed(link, "norix", true, &why), 0) << why;

  EqAdr a;
  a.adr("DEMO.DEV/SIM/HEATER/SETPOINT");
  EqCall call;
  auto reads = [&](int code, const std::string& text) {
    return testkit::wait_until([&] {
      EqData in, out;
      call.get_monitor(&a, &in, &out, 1, 1.0f, nullptr, nullptr);
      return out.error() == code && (text.empty() || out.text_value() == text);
    });
  };
  auto write = [&](int value) {
    EqData v, result;
    v.set(value);
    return call.set(&a, &v, &result);
  };
  ASSERT_TRUE(reads(0, "20"));
  std::string first = norix::peer_endpoint(a);
  EXPECT_EQ(first.compare(0, 4, "tcp:"), 0) << first;
  ASSERT_EQ(write(35), 0);
  EXPECT_TRUE(reads(0, "35"));  // pushed to the cache here
  // Gone: "server unreachable"; back on another port: found again by itself.
  devices->signal(SIGKILL);
  devices->wait_exit();
  EXPECT_TRUE(reads(ERR_UNREACHABLE, ""));
  ASSERT_TRUE(start_devices());
  EXPECT_TRUE(reads(0, "20"));
  EXPECT_NE(norix::peer_endpoint(a), first);
  // The broker gone: the names known work on over the direct connection.
  broker.signal(SIGKILL);
  broker.wait_exit();
  ASSERT_TRUE(testkit::wait_until([&] { return !link->connected(); }));
  ASSERT_EQ(write(41), 0);
  EXPECT_TRUE(reads(0, "41"));
  EXPECT_EQ(json::parse(norix::fleet_json())["broker"], false);

  norix::stop_fleet_feed();
  link->stop();
  norix::clear_served();
  norix::clear_fleet();
}

}  // namespace
