// panel_test.cc - the web panel over HTTP: its configuration item, its
// answers to bad and refused requests, its live stream, and a server that
// stops with streams open. The page itself is driven in a real browser by
// tests/browser/panel.test.js.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "framework/host/server_config.h"
#include "testkit/testkit.h"

namespace {

using testing::HasSubstr;

const std::string OVEN = "DEMO.FSM/OVEN.SERVER/OVEN/";
const std::string SECRET = "a-long-enough-secret";

TEST(PanelConfig, HttpItemReadsOrIsRefusedWithItsReason) {
  struct Case {
    std::string items;
    std::string host;  // "" when refused
    int port;
    std::string why;
  };
  const Case cases[] = {
      {"http 127.0.0.1:0\n", "127.0.0.1", 0, ""},
      {"http localhost:8080\n", "127.0.0.1", 8080, ""},
      {"http 10.1.2.3:80\n", "", 0, "needs a 'secret SECRET' item"},
      {"http 10.1.2.3:80\nsecret " + SECRET + "\n", "10.1.2.3", 80, ""},
      {"http 127.0.0.1\n", "", 0, "expected: http HOST:PORT"},
      {"http 127.0.0.1:65536\n", "", 0, "expected: http HOST:PORT"},
      {"http example.org:80\n", "", 0, "expected: http HOST:PORT"},
      {"http 127.0.0.1:80 more\n", "", 0, "expected: http HOST:PORT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.items);
    std::istringstream in("server F D\nlisten unix:x.sock\n" + c.items);
    norix::ServerConfig config;
    std::string why;
    int rc = norix::parse_config(in, "c.conf", &config, &why);
    EXPECT_EQ(rc, c.host.empty() ? -1 : 0);
    EXPECT_EQ(config.http_host, c.host);
    if (!c.host.empty()) {
      EXPECT_EQ(config.http_port, c.port);
    } else {
      EXPECT_THAT(why, HasSubstr(c.why));
    }
  }
}

// The oven server with its panel on a free loopback port; no devices.
class Panel : public ::testing::Test {
 protected:
  // files: the server's descriptor limit, 0 for the one it inherits.
  void start(const std::string& extra, int files = 0) {
    std::string conf = testkit::read_file(std::string(EXAMPLE_DEMO_DIR) + "/oven.conf");
    conf.insert(conf.find("location OVEN"), "http 127.0.0.1:0\n" + extra);
    ASSERT_TRUE(testkit::write_file(dir_.file("oven.conf"), conf));
    const std::string said = "web panel listening on http://127.0.0.1:";
    std::vector<std::string> args{"oven.conf"};
    std::string program = OVEN_SERVER_PATH;
    if (files > 0) {
      args = {"-c", "ulimit -n " + std::to_string(files) + " && exec \"$0\" \"$@\"", program,
              "oven.conf"};
      program = "/bin/sh";
    }
    ASSERT_TRUE(oven_.start(program, args, dir_.path()) && oven_.wait_output(said) &&
                oven_.wait_output("norix server"));
    port_ = std::stoi(oven_.output().substr(oven_.output().find(said) + said.size()));
    http_.reset(new httplib::Client("127.0.0.1", port_));
    http_->set_read_timeout(10, 0);
  }
  std::string set_event(const std::string& property, const std::string& value) {
    httplib::Params form{{"address", OVEN + property}, {"value", value}};
    auto r = http_->Post("/api/set", httplib::Headers{{"X-Norix-Panel", "1"}}, form);
    return r ? std::to_string(r->status) + " " + r->body : "no answer";
  }
  int status(const std::string& path, const httplib::Headers& headers = {}) {
    auto r = http_->Get(path.c_str(), headers);
    return r ? r->status : -1;
  }
  // A raw connection to the panel; -1 if none.
  int connect_raw() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
  }
  testkit::TempDir dir_;
  testkit::ServerProcess oven_;
  int port_ = 0;
  std::unique_ptr<httplib::Client> http_;
};

TEST_F(Panel, AnswersCallsAndRefusesBadRequests) {
  start("");
  EXPECT_EQ(status("/no/such/page"), 404);
  EXPECT_EQ(status("/api/get"), 400);  // no address
  EXPECT_EQ(status("/graph.svg?location=NOWHERE"), 404);
  EXPECT_EQ(status("/", {{"Host", "rebound.example:80"}}), 403);
  // 503 while the server's machines are still starting: asked again, bounded.
  auto svg = http_->Get("/graph.svg?location=OVEN");
  EXPECT_TRUE(testkit::wait_until([&] {
    if (svg && svg->status != 503) return true;
    svg = http_->Get("/graph.svg?location=OVEN");
    return false;
  }));
  ASSERT_TRUE(svg);
  EXPECT_THAT(svg->body, HasSubstr("id=\"OVEN/heating/ramp\""));
  auto flow = http_->Get(("/api/get?address=" + OVEN + "FLOW_0").c_str());
  ASSERT_TRUE(flow);
  EXPECT_THAT(flow->body, HasSubstr("\"error\":0,"));
  EXPECT_THAT(flow->body, HasSubstr("idle :"));
  // A write answers as a client's set does, error code and text.
  EXPECT_THAT(set_event("TRACE", "x"), HasSubstr("200 {\"error\":105,\"text\":\"property not"));
  EXPECT_THAT(set_event("EVENT", "pump:*"), HasSubstr("200 {\"error\":0,"));
  EXPECT_THAT(set_event("EVENT", std::string(20000, 'e')), HasSubstr("413"));
  // Without the header, a page of another site could write.
  auto plain = http_->Post("/api/set", "address=" + OVEN + "EVENT&value=pump:*",
                           "application/x-www-form-urlencoded");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->status, 403);
  EXPECT_EQ(oven_.stop().status, 0);  // saved, and nothing of ours leaked
}

TEST_F(Panel, AsksForTheSecretWhereTheServerHasOne) {
  start("secret " + SECRET + "\n");
  EXPECT_EQ(status("/"), 401);
  http_->set_basic_auth("operator", "not-the-secret-at-all");
  EXPECT_EQ(status("/"), 401);
  http_->set_basic_auth("operator", SECRET.c_str());
  EXPECT_EQ(status("/"), 200);
}

// Every stream gets the machines' latest state and its changes; a server
// with streams open stops in time, and the streams end.
TEST_F(Panel, LiveStreamsFollowTheMachinesAndEndWithTheServer) {
  start("");
  constexpr int STREAMS = 17;  // one more than the panel serves
  std::vector<std::thread> readers;
  std::atomic<int> followed{0};
  std::atomic<int> refused{0};
  for (int i = 0; i < STREAMS; ++i) {
    readers.emplace_back([&] {
      httplib::Client c("127.0.0.1", port_);
      c.set_read_timeout(30, 0);
      std::string seen;
      bool counted = false;
      auto r = c.Get("/api/live", [&](const char* data, size_t size) {
        seen.append(data, size);
        if (!counted && seen.find("OVEN/pumping") != std::string::npos) {
          counted = true;
          ++followed;
        }
        return true;
      });
      if (r && r->status == 503) ++refused;
    });
  }
  // Not ASSERT: the readers end only with the server, below.
  EXPECT_TRUE(testkit::wait_until([&] { return refused == 1; }));
  EXPECT_THAT(set_event("EVENT", "pump:*"), HasSubstr("\"error\":0,"));
  EXPECT_TRUE(testkit::wait_until([&] { return followed == STREAMS - 1; }));
  EXPECT_EQ(oven_.stop().status, 0);
  for (std::thread& t : readers)
    t.join();
}

// A client that sends its request a byte at a time is cut off when the
// whole request has not come within the panel's limit, however often it
// sends; one that sends nothing holds no thread either. Neither keeps the
// server from stopping and saving what a client wrote.
TEST_F(Panel, SlowClientsAreCutOffAndNeverHoldTheStop) {
  start("");
  int silent = connect_raw();
  int slow = connect_raw();
  ASSERT_GE(silent, 0);
  ASSERT_GE(slow, 0);
  std::atomic<bool> cut{false};
  std::thread trickle([&] {
    const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: " + std::string(200, 'p');
    for (size_t i = 0; i < head.size() && !cut; ++i) {
      if (send(slow, &head[i], 1, MSG_NOSIGNAL) != 1) cut = true;
      char b[256];
      if (recv(slow, b, sizeof b, MSG_DONTWAIT) >= 0) cut = true;   // 408, or closed
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the attack's pace
    }
  });
  EXPECT_TRUE(testkit::wait_until([&] { return cut.load(); }));
  trickle.join();
  testkit::Connection c("unix:" + dir_.file("fsm.sock"));
  ASSERT_TRUE(c.send("set DEMO.FSM/OVEN.SERVER/OVEN/TARGET 2 123\n"));
  EXPECT_THAT(c.answer(), HasSubstr("ok"));
  EXPECT_EQ(oven_.stop().status, 0);
  EXPECT_THAT(testkit::read_file(dir_.file("oven.conf")), HasSubstr("TARGET \t123"));
  close(silent);
  close(slow);
}

// Idle connections to the panel beyond its bound are refused at once, so
// that the line protocol and the save keep descriptors under a limit of 256.
TEST_F(Panel, IdleConnectionsLeaveTheServerItsDescriptors) {
  start("", 256);
  std::vector<int> idle;
  for (int i = 0; i < 300; ++i) {
    int fd = connect_raw();
    if (fd >= 0) idle.push_back(fd);
  }
  // Those beyond the bound (64 at most) are told so and closed at once.
  size_t refused = 0;
  EXPECT_TRUE(testkit::wait_until([&] {
    for (int& fd : idle) {
      char b[32] = "";
      if (fd < 0 || recv(fd, b, sizeof b - 1, MSG_DONTWAIT) <= 0) continue;
      refused += std::string(b).find("HTTP/1.1 503") == 0;
      close(fd);
      fd = -1;
    }
    return refused >= idle.size() - 64;
  }));
  testkit::Connection c("unix:" + dir_.file("fsm.sock"));
  ASSERT_TRUE(c.send("save\n"));
  EXPECT_EQ(c.answer(), "ok 0 ");
  for (int fd : idle)
    if (fd >= 0) close(fd);
  EXPECT_EQ(oven_.stop().status, 0);
}

// The unix socket is open to its owner and group only (660): user nobody
// may read through the loopback panel but not write.
TEST_F(Panel, AUserWhoMayNotOpenTheSocketMayNotWrite) {
  passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and user nobody";
  start("");
  pid_t child = fork();
  if (child == 0) {
    if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(3);
    httplib::Client as_nobody("127.0.0.1", port_);
    auto got = as_nobody.Get(("/api/get?address=" + OVEN + "TARGET").c_str());
    httplib::Params form{{"address", OVEN + "EVENT"}, {"value", "pump:*"}};
    auto set = as_nobody.Post("/api/set", httplib::Headers{{"X-Norix-Panel", "1"}}, form);
    _exit(got && got->status == 200 && set && set->status == 403 ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  EXPECT_TRUE(testkit::wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_THAT(set_event("EVENT", "pump:*"), HasSubstr("200 {\"error\":0,"));  // root may
}

}  // namespace
