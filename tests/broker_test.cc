// broker_test.cc - a server on an MQTT 5 broker: the broker items, topic
// names, and, with a real mosquitto started here (its own configuration,
// users, the demo's access control file and a TLS listener with a CA made
// by openssl), presence and last will, state out, writes in with their
// answers, the viewer's refused write, a broker restart and a flood.

#include "framework/calls/broker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "framework/host/broker_host.h"
#include "framework/host/server_config.h"
#include "testkit/testkit.h"

namespace {

using testing::HasSubstr;

TEST(BrokerConfig, ItemsReadOrAreRefusedWithTheirReason) {
  struct Case {
    std::string items;
    std::string why;  // "" when the configuration reads
  };
  const Case cases[] = {
      {"mqtt mqtt://127.0.0.1\nmqtt_publish OVEN TEMP\n", ""},
      {"mqtt mqtts://broker.example:8883/\nmqtt_prefix site/a\nmqtt_keepalive 5\n", ""},
      {"mqtt http://127.0.0.1\n", "must start with mqtt://"},
      {"mqtt mqtt://127.0.0.1:0\n", "port is not a number"},
      {"mqtt mqtt://:1883\n", "names no host"},
      {"mqtt mqtt://h\nmqtt_prefix a/+\n", "not a broker item"},
      {"mqtt mqtt://h\nmqtt_prefix a//b\n", "not a broker item"},
      {"mqtt mqtt://h\nmqtt_keepalive 4\n", "not a broker item"},
      {"mqtt_user oven\n", "without an 'mqtt URL' item"},
      {"mqtt mqtt://h\nmqtt_password_file p\nmqtt_password_env P\n", "one password"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.items);
    std::istringstream in("server F D\nlisten unix:x.sock\n" + c.items);
    norix::ServerConfig config;
    std::string why;
    EXPECT_EQ(norix::parse_config(in, "c.conf", &config, &why), c.why.empty() ? 0 : -1);
    if (!c.why.empty()) {
      EXPECT_THAT(why, HasSubstr(c.why));
    }
  }
}

TEST(BrokerConfig, PasswordMustComeFromAPrivatePlace) {
  testkit::TempDir dir;
  std::string file = dir.file("pw");
  ASSERT_TRUE(testkit::write_file(file, "s3cret-password\n"));
  norix::ServerConfig c;
  c.mqtt_url = "mqtt://127.0.0.1";
  c.mqtt_user = "oven";
  c.mqtt_password_file = file;
  std::string why;
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  EXPECT_EQ(norix::check_broker_config(c, &why), -1);
  EXPECT_THAT(why, HasSubstr("readable by group or others"));
  EXPECT_THAT(why, testing::Not(HasSubstr("s3cret")));
  ASSERT_EQ(chmod(file.c_str(), 0600), 0);
  EXPECT_EQ(norix::check_broker_config(c, &why), 0) << why;
  c.mqtt_password_file.clear();
  c.mqtt_password_env = "NORIX_TEST_NO_SUCH_VARIABLE";
  EXPECT_EQ(norix::check_broker_config(c, &why), -1);
  EXPECT_THAT(why, HasSubstr("is not set"));
}

TEST(BrokerTopics, NamesMakeOneLevelAndReadBack) {
  const std::string names[] = {"OVEN", "a/b", "+", "#", "50%", "", std::string("a\0b", 3), "x y"};
  for (const std::string& n : names) {
    std::string level = norix::topic_segment(n);
    EXPECT_EQ(level.find_first_of("/+#"), std::string::npos) << level;
    EXPECT_EQ(level.find('\0'), std::string::npos);
    std::string back;
    EXPECT_TRUE(norix::topic_unsegment(level, &back)) << level;
    EXPECT_EQ(back, n);
  }
  // What topic_segment never writes does not read: one spelling per name.
  for (const char* bad : {"a/b", "+", "%2", "%2f", "%41", "a%", "%%"}) {
    std::string out;
    EXPECT_FALSE(norix::topic_unsegment(bad, &out)) << bad;
  }
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

bool sh(const std::string& script) {
  testkit::ClientResult r = testkit::run("/bin/sh", {"-c", script});
  if (r.exit.status != 0) ADD_FAILURE() << script << "\n" << r.err;
  return r.exit.status == 0;
}

// Debian puts mosquitto in /usr/sbin, which a user's PATH may lack.
bool start_mosquitto(testkit::ServerProcess* p, const std::string& conf) {
  return p->start("/bin/sh", {"-c", "PATH=$PATH:/usr/sbin exec mosquitto -c \"$0\"", conf}) &&
         p->wait_output(" running");
}

TEST(BrokerLink, UnsentPayloadsAreTheLatestPerTopicAndBounded) {
  norix::BrokerSettings s;
  s.url = "mqtt://127.0.0.1:" + std::to_string(free_port());
  // Not started: everything waits, as while the broker is away.
  norix::BrokerLink away(s);
  for (size_t i = 0; i < norix::BrokerLink::MAX_TOPICS; ++i)
    ASSERT_TRUE(away.publish("t/" + std::to_string(i), "", true));
  EXPECT_TRUE(away.publish("t/0", "again", true));
  EXPECT_FALSE(away.publish("t/one/too/many", "", true));
  EXPECT_EQ(away.counts().dropped, 1u);
  EXPECT_FALSE(away.publish("t/+", "", true));

  testkit::TempDir dir;
  ASSERT_TRUE(testkit::write_file(
      dir.file("b.conf"), "user " + std::string(getpwuid(getuid())->pw_name) + "\nlistener " +
                              s.url.substr(s.url.rfind(':') + 1) +
                              " 127.0.0.1\nallow_anonymous true\nlog_dest stderr\n"));
  testkit::ServerProcess broker;
  ASSERT_TRUE(start_mosquitto(&broker, dir.file("b.conf"))) << broker.output();
  norix::BrokerLink subscriber(s);
  std::mutex mux;
  std::vector<std::string> got;
  subscriber.subscribe("u/+", [&](const norix::BrokerMessage& m) {
    std::lock_guard<std::mutex> lock(mux);
    got.push_back(m.topic + "=" + m.payload);
  });
  std::string why;
  ASSERT_EQ(subscriber.start(&why), 0) << why;
  auto seen = [&](size_t n) {
    return testkit::wait_until([&] {
      std::lock_guard<std::mutex> lock(mux);
      return got.size() >= n;
    });
  };
  // Its own message back: the subscription is in place.
  subscriber.publish("u/barrier", "b", false);
  ASSERT_TRUE(seen(1));
  norix::BrokerLink publisher(s);
  for (int i = 0; i < 1000; ++i)
    publisher.publish("u/state", "v" + std::to_string(i), true);
  publisher.publish("u/record", "r", false);
  ASSERT_EQ(publisher.start(&why), 0) << why;
  ASSERT_TRUE(seen(3));
  publisher.stop();  // sends what waits, and nothing was left to send
  // One message per topic; their order across topics is not kept.
  std::lock_guard<std::mutex> lock(mux);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"u/barrier=b", "u/record=r", "u/state=v999"}));
}

// The latest payload of each topic a subscriber saw.
struct Seen {
  std::mutex mux;
  std::map<std::string, std::string> latest;
  void take(const norix::BrokerMessage& m) {
    std::lock_guard<std::mutex> lock(mux);
    latest[m.topic] = m.payload;
  }
  bool has(const std::string& topic, const std::string& text) {
    return testkit::wait_until([&] {
      std::lock_guard<std::mutex> lock(mux);
      auto at = latest.find(topic);
      return at != latest.end() && at->second.find(text) != std::string::npos;
    });
  }
};

const std::string BASE = "norix/DEMO.FSM/OVEN.SERVER";

// A broker with users server, operator and viewer (password "pw-" + user)
// under the demo's access control file, on a plain and a TLS listener; the
// oven server on it over TLS, with its simulated devices.
class Broker : public ::testing::Test {
 protected:
  void SetUp() override {
    plain_ = free_port();
    tls_ = free_port();
    std::string d = dir_.path();
    ASSERT_TRUE(
        sh("cd " + d +
           " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
           " -keyout ca.key -out ca.pem -days 1 -subj /CN=test-ca 2>/dev/null"
           " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
           " -keyout b.key -out b.csr -subj /CN=127.0.0.1 2>/dev/null"
           " && echo subjectAltName=IP:127.0.0.1 > ext"
           " && openssl x509 -req -in b.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
           " -out b.pem -days 1 -extfile ext 2>/dev/null"
           " && touch users && chmod 600 users"
           " && for u in server operator viewer; do mosquitto_passwd -b users $u pw-$u; done"
           " && printf pw-server > server.pw && chmod 600 server.pw"));
    ASSERT_TRUE(testkit::write_file(dir_.file("broker.conf"),
                                    // As this user: run as root, it would change to a user that
                                    // cannot read the test's private folder.
                                    "user " + std::string(getpwuid(getuid())->pw_name) +
                                        "\nper_listener_settings false\nallow_anonymous false\n"
                                        // The flood below stays within what the broker holds for
                                        // the server, so that every write reaches it.
                                        "max_queued_messages 5000\npassword_file " +
                                        d + "/users\nacl_file " + FACILITY_ACL +
                                        "\nlog_dest stderr\nlistener " + std::to_string(plain_) +
                                        " 127.0.0.1\nlistener " + std::to_string(tls_) +
                                        " 127.0.0.1\ncafile " + d + "/ca.pem\ncertfile " + d +
                                        "/b.pem\nkeyfile " + d + "/b.key\n"));
    start_broker();
    if (HasFatalFailure()) return;
    // The oven's devices, so that its machines run.
    ASSERT_TRUE(
        testkit::write_file(dir_.file("devices.conf"),
                            testkit::read_file(std::string(EXAMPLE_DEMO_DIR) + "/devices.conf")));
    ASSERT_TRUE(devices_.start(SIM_DEVICES_PATH, {"devices.conf"}, d) &&
                devices_.wait_output("listening on"));
    std::string conf = testkit::read_file(std::string(EXAMPLE_DEMO_DIR) + "/oven.conf");
    conf.insert(conf.find("location OVEN"),
                "client_events 20\nmqtt mqtts://127.0.0.1:" + std::to_string(tls_) + "\nmqtt_ca " +
                    d + "/ca.pem\nmqtt_user server\nmqtt_password_file " + d +
                    "/server.pw\nmqtt_keepalive 5\nmqtt_publish OVEN TARGET\n");
    ASSERT_TRUE(testkit::write_file(dir_.file("oven.conf"), conf));
    ASSERT_TRUE(oven_.start(OVEN_SERVER_PATH, {"oven.conf"}, d) &&
                oven_.wait_output("listening on"))
        << oven_.output();
    viewer_ = client("viewer");
    viewer_->subscribe("norix/#", [this](const norix::BrokerMessage& m) { seen_.take(m); });
    // The server subscribes before it announces itself.
    ASSERT_TRUE(seen_.has(BASE + "/presence", "\"online\":true"));
  }

  void TearDown() override {
    if (HasFailure()) {
      broker_->wait_output("never said", std::chrono::milliseconds(100));
      ADD_FAILURE() << "broker:\n" << broker_->output() << "server:\n" << oven_.output();
    }
  }

  void start_broker() {
    broker_.reset(new testkit::ServerProcess);
    ASSERT_TRUE(start_mosquitto(broker_.get(), dir_.file("broker.conf"))) << broker_->output();
  }

  std::unique_ptr<norix::BrokerLink> client(const std::string& user) {
    norix::BrokerSettings s;
    s.url = "mqtt://127.0.0.1:" + std::to_string(plain_);
    s.user = user;
    s.password = "pw-" + user;
    s.reply_base = "norix/reply/" + user;
    s.sender = user;  // requests carry it as a user property
    std::unique_ptr<norix::BrokerLink> link(new norix::BrokerLink(s));
    std::string why;
    EXPECT_EQ(link->start(&why), 0) << why;
    EXPECT_TRUE(testkit::wait_until([&] { return link->connected(); }));
    return link;
  }

  // The answer to a write through the broker, or the reason there is none.
  std::string write(norix::BrokerLink* as, const std::string& property, const std::string& value,
                    int limit_ms = 10000) {
    std::string answer;
    std::string why;
    if (as->request(BASE + "/OVEN/write/" + property, value, limit_ms, &answer, &why) != 0)
      return why;
    return answer;
  }

  std::string get(const std::string& property) {
    testkit::ClientResult r = testkit::run(
        NORIX_CLIENT_PATH,
        {"-s", "unix:" + dir_.file("fsm.sock"), "get", "DEMO.FSM/OVEN.SERVER/OVEN/" + property});
    return r.out;
  }

  testkit::TempDir dir_;
  int plain_ = -1;
  int tls_ = -1;
  std::unique_ptr<testkit::ServerProcess> broker_;
  testkit::ServerProcess devices_;
  testkit::ServerProcess oven_;
  Seen seen_;
  std::unique_ptr<norix::BrokerLink> viewer_;
};

TEST_F(Broker, PresenceStateAndWritesWithTheSocketsAnswers) {
  EXPECT_TRUE(seen_.has(BASE + "/OVEN/state", "{\"path\":\"OVEN/idle\""));
  EXPECT_TRUE(seen_.has(BASE + "/OVEN/property/TARGET", "{\"value\":\"80\",\"type\":2"));
  std::unique_ptr<norix::BrokerLink> op = client("operator");
  struct Case {
    std::string property, value, answer;
  };
  const Case cases[] = {
      {"TARGET", "95", "{\"code\":0,\"text\":\"ok\"}"},
      {"TARGET", "hot", "{\"code\":106,\"text\":\"wrong data type\"}"},
      {"NOPE", "1", "{\"code\":103,\"text\":\"unknown property\"}"},
      {"FAULT", "x", "{\"code\":105,\"text\":\"property not writable\"}"},
      {"TARGET", std::string(8192, '1'), "{\"code\":112,\"text\":\"bad request\"}"},
      {"EVENT", "watch:*", "{\"code\":0,\"text\":\"ok\"}"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(write(op.get(), c.property, c.value), c.answer) << c.property << " " << c.value;
  EXPECT_TRUE(seen_.has(BASE + "/OVEN/property/TARGET", "{\"value\":\"95\""));
  EXPECT_TRUE(seen_.has(BASE + "/OVEN/transition", "\"from\":\"unwatched\",\"to\":\"watching\""));

  // The viewer's write is dropped by the broker: no answer, no change.
  EXPECT_EQ(write(viewer_.get(), "TARGET", "10", 1000), "timeout");
  EXPECT_EQ(write(op.get(), "EVENT", "nothing"), "{\"code\":0,\"text\":\"ok\"}");
  EXPECT_EQ(get("TARGET"), "95\n");
}

TEST_F(Broker, KilledServerGoesOfflineAndABrokerRestartRecovers) {
  // The broker goes: the server runs on, and comes back with it.
  broker_->stop();
  EXPECT_EQ(get("FSM"), "oven\n");
  start_broker();
  ASSERT_TRUE(testkit::wait_until([&] { return viewer_->connected(); }));
  {
    std::lock_guard<std::mutex> lock(seen_.mux);
    seen_.latest.clear();
  }
  EXPECT_TRUE(seen_.has(BASE + "/presence", "\"online\":true"));
  EXPECT_TRUE(seen_.has(BASE + "/OVEN/state", "\"machine\":\"oven\""));
  // Killed: the broker publishes the last will after 1.5 keepalives.
  oven_.signal(SIGKILL);
  EXPECT_TRUE(seen_.has(BASE + "/presence", "\"online\":false"));
}

TEST_F(Broker, AServerAnnouncesItselfAgainWhenAnotherClaimOfItsNameStops) {
  std::mutex mux;
  std::vector<std::string> trace;  // every presence record: whose, online or not
  const std::string here = "-" + std::to_string(getpid()) + "-";  // in this process's instance
  std::unique_ptr<norix::BrokerLink> watch = client("viewer");
  watch->subscribe(BASE + "/presence", [&](const norix::BrokerMessage& m) {
    std::lock_guard<std::mutex> lock(mux);
    trace.push_back(std::string(m.payload.find(here) != std::string::npos ? "claim" : "oven") +
                    (m.payload.find("\"online\":true") != std::string::npos ? " on" : " off"));
  });
  auto saw = [&](const std::string& last) {
    return testkit::wait_until([&] {
      std::lock_guard<std::mutex> lock(mux);
      return !trace.empty() && trace.back() == last;
    });
  };
  ASSERT_TRUE(saw("oven on"));  // the retained record
  norix::ServerConfig c;
  c.facility = "DEMO.FSM";
  c.device = "OVEN.SERVER";
  c.mqtt_url = "mqtt://127.0.0.1:" + std::to_string(plain_);
  c.mqtt_user = "server";
  c.mqtt_password_file = dir_.file("server.pw");
  norix::BrokerHost claim(c, "unix:claim.sock", "",
                          [](const std::string&) { return std::string(); });
  std::string why;
  ASSERT_EQ(claim.start(&why), 0) << why;
  ASSERT_TRUE(saw("claim on"));
  // The oven does not answer a live claim (no presence of its own before
  // the claim's goes), and leaves the writes under the name to the claim,
  // which holds it now: the answer is the claim's (which serves nothing),
  // and the oven's machine does not take the event.
  std::unique_ptr<norix::BrokerLink> op = client("operator");
  EXPECT_EQ(write(op.get(), "EVENT", "watch:*").substr(0, 11), "{\"code\":112");
  EXPECT_TRUE(oven_.wait_output("are left to the server that holds it")) << oven_.output();
  EXPECT_NE(get("FLOW_3").find("unwatched"), std::string::npos);
  claim.stop();  // its offline record replaces the oven's: the oven announces itself again
  ASSERT_TRUE(saw("oven on"));
  // The name is the oven's again, and so are its writes.
  EXPECT_EQ(write(op.get(), "EVENT", "watch:*").substr(0, 9), "{\"code\":0");
  EXPECT_TRUE(seen_.has(BASE + "/OVEN/transition", "\"to\":\"watching\""));
  std::lock_guard<std::mutex> lock(mux);
  EXPECT_EQ(trace, (std::vector<std::string>{"oven on", "claim on", "claim off", "oven on"}));
}

TEST_F(Broker, AFloodOfWritesIsAnsweredAndBounded) {
  // 2000 requests at once: each is answered, carried out or refused busy
  // (the queue of writes, the machine's client_events), and the socket's
  // clients are served meanwhile.
  ASSERT_TRUE(sh("cd " + dir_.path() + " && for i in $(seq 2000); do echo start; done > flood"));
  std::unique_ptr<norix::BrokerLink> op = client("operator");
  std::atomic<int> ok{0};
  std::atomic<int> busy{0};
  std::atomic<int> other{0};
  op->subscribe("norix/reply/operator/flood", [&](const norix::BrokerMessage& m) {
    if (m.payload == "{\"code\":0,\"text\":\"ok\"}") {
      ++ok;
    } else if (m.payload.find("{\"code\":113,") == 0) {
      ++busy;
    } else {
      ++other;
    }
  });
  // Answered after the subscription is in place: the broker takes a
  // connection's packets in order.
  ASSERT_EQ(write(op.get(), "EVENT", "nothing"), "{\"code\":0,\"text\":\"ok\"}");
  ASSERT_TRUE(sh("mosquitto_pub -p " + std::to_string(plain_) +
                 " -u operator -P pw-operator -V 5 -q 1 -l -t " + BASE +
                 "/OVEN/write/EVENT -D publish response-topic norix/reply/operator/flood"
                 " -D publish correlation-data f < " +
                 dir_.file("flood")));
  EXPECT_EQ(get("FSM"), "oven\n");
  EXPECT_TRUE(testkit::wait_until([&] { return ok + busy + other == 2000; }))
      << ok << " " << busy << " " << other << " received " << op->counts().received;
  EXPECT_EQ(other, 0);
  EXPECT_GT(busy, 0);
  EXPECT_GT(ok, 0);
}

}  // namespace
