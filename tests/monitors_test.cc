// monitors_test.cc - monitors end to end: this process reads a device
// server process's properties through its monitor cache, and a server in
// this process pushes changes to raw monitor connections.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/calls/endpoint.h"
#include "framework/calls/peers.h"
#include "framework/host/server.h"
#include "testkit/testkit.h"

namespace {

namespace protocol = norix::protocol;
using Clock = std::chrono::steady_clock;

const std::string HEATER = "DEMO.DEV/SIM/HEATER/";

// The call timeout in these tests: long, so that a read or write that waits
// for a silent peer instead of answering from what it knows shows as a
// wait near it. Bounds below are half of it, far above any loaded build's
// answer time; timing goals are benchmarks' (bench/monitor_bench.cc).
constexpr int CALL_TIMEOUT_MS = 20000;
constexpr auto NO_WAIT = std::chrono::milliseconds(CALL_TIMEOUT_MS / 2);

class PeerMonitors : public ::testing::Test {
 protected:
  void SetUp() override {
    testkit::write_file(dir_.file("devices.conf"),
                        testkit::read_file(std::string(EXAMPLE_DEMO_DIR) + "/devices.conf"));
    ASSERT_TRUE(start_devices());
    testkit::use_client();
    norix::set_call_timeout(CALL_TIMEOUT_MS);
    norix::add_peer("DEMO.DEV", "SIM", "unix:" + dir_.file("dev.sock"));
  }
  void TearDown() override {
    norix::clear_monitors();
    norix::set_call_timeout(0);  // the default
  }
  bool start_devices() {
    devices_.reset(new testkit::ServerProcess);
    return devices_->start(SIM_DEVICES_PATH, {"devices.conf"}, dir_.path()) &&
           devices_->wait_output("listening on");
  }
  // The cached value of a heater property, as testkit::client_get shows a
  // value; notes the slowest read.
  std::string read(const std::string& property) {
    EqAdr a;
    a.adr(HEATER + property);
    EqData request, result;
    EqCall call;
    auto began = Clock::now();
    int code = call.get_monitor(&a, &request, &result, 1, 1.0f, nullptr, nullptr);
    slowest_ = std::max(slowest_, Clock::now() - began);
    return code != 0 ? "error " + std::to_string(code) + ": " + result.text_value()
                     : result.text_value();
  }
  bool wait_read(const std::string& property, const std::string& text) {
    std::string last;
    if (testkit::wait_until([&] { return (last = read(property)).find(text) == 0; })) return true;
    ADD_FAILURE() << property << " never read '" << text << "', last: " << last;
    return false;
  }

  testkit::TempDir dir_;
  std::unique_ptr<testkit::ServerProcess> devices_;
  Clock::duration slowest_{};
};

TEST_F(PeerMonitors, ValuesFollowChangesWithOneSubscriptionPerAddress) {
  std::string setpoint = testkit::client_get(HEATER + "SETPOINT");
  EXPECT_EQ(read("SETPOINT"), setpoint) << "a first read waits for the first value";
  ASSERT_EQ(testkit::client_set(HEATER + "SETPOINT", "85"), 0);
  std::string changed = testkit::client_get(HEATER + "SETPOINT");
  ASSERT_NE(changed, setpoint);
  EXPECT_TRUE(wait_read("SETPOINT", changed));
  EXPECT_EQ(read("NOPE").substr(0, 9), "error 103");  // the peer's refusal is the value
  for (int i = 0; i < 100; ++i)
    read("SETPOINT");
  norix::MonitorTable m = norix::monitor_table();
  EXPECT_EQ(m.peers, 1);
  EXPECT_EQ(m.connected, 1);
  EXPECT_EQ(m.addresses, 2);
  EXPECT_EQ(m.subscribed, 1);
  EXPECT_LT(slowest_, NO_WAIT) << "a cached read waited for the peer";
}

// A peer that dies or stops answering reads as unreachable (once it has
// been silent for MONITOR_SILENCE_MS; within the kit's wait limit here), and
// its values come back by themselves.
TEST_F(PeerMonitors, ADeadOrSilentPeerReadsUnreachableAndRecovers) {
  struct Case {
    const char* name;
    int down;
    int up;  // 0: start a new process
  };
  for (const Case& c : {Case{"stopped", SIGSTOP, SIGCONT}, Case{"killed", SIGKILL, 0}}) {
    SCOPED_TRACE(c.name);
    std::string setpoint = testkit::client_get(HEATER + "SETPOINT");
    ASSERT_TRUE(wait_read("SETPOINT", setpoint));
    devices_->signal(c.down);
    EXPECT_TRUE(wait_read("SETPOINT", "error 111"));
    // A write to the lost peer is refused at once, not after the call's
    // timeout.
    auto began = Clock::now();
    EXPECT_EQ(testkit::client_set(HEATER + "SETPOINT", "70"), ERR_UNREACHABLE);
    EXPECT_LT(Clock::now() - began, NO_WAIT);
    if (c.up != 0) {
      devices_->signal(c.up);
    } else {
      devices_->wait_exit();
      ASSERT_TRUE(start_devices());
    }
    EXPECT_TRUE(wait_read("SETPOINT", setpoint));
    norix::MonitorTable m = norix::monitor_table();
    EXPECT_EQ(m.connected, 1);
    EXPECT_EQ(m.subscribed, 1);
  }
  EXPECT_LT(slowest_, NO_WAIT) << "a read waited for a silent peer";
}

using Raw = testkit::Connection;

// A peer whose monitor connections this client cannot have (another
// connection of this process's user holds its share) is not down: its
// addresses read as not monitored, so that readers fall back to plain
// calls, and are subscribed once there is room.
TEST_F(PeerMonitors, ABusyPeerIsReadWithPlainCallsUntilItHasRoom) {
  std::vector<std::unique_ptr<Raw>> hogs;
  for (int i = 0; i < 4; ++i) {
    hogs.emplace_back(new Raw("unix:" + dir_.file("dev.sock")));
    ASSERT_TRUE(hogs.back()->send("subscribe " + HEATER + "SETPOINT\n"));
    ASSERT_EQ(hogs.back()->answer().substr(0, 5), "ok 1 ");
  }
  EXPECT_TRUE(wait_read("SETPOINT", "error 110"));
  EXPECT_EQ(norix::monitor_table().subscribed, 0);
  std::string setpoint = testkit::client_get(HEATER + "SETPOINT");  // the fallback
  EXPECT_EQ(setpoint.find("error"), std::string::npos) << setpoint;
  hogs.clear();
  EXPECT_TRUE(wait_read("SETPOINT", setpoint));
  EXPECT_EQ(norix::monitor_table().subscribed, 1);
}

struct Box : EqFct {
  Box() : EqFct("NAME = location"), v("V a value", this) {}
  norix::D_value<int> v;
};
Box* box = nullptr;

class ServerMonitors : public ::testing::Test {
 protected:
  void SetUp() override {
    testkit::write_file(dir_.file("mon.conf"), "server TEST.MON HERE\nlisten unix:" +
                                                   dir_.file("mon.sock") + "\nlocation BOX 1\n");
    norix::ServerHooks hooks{};
    hooks.create = [](int, void*) -> EqFct* { return box = new Box; };
    server_.reset(new norix::Server(hooks));
    std::string why;
    ASSERT_EQ(server_->start(dir_.file("mon.conf"), &why), 0) << why;
  }
  void TearDown() override {
    server_.reset();  // the server leaves its locations to their creator
    delete box;
  }
  bool counts_are(int connections, long subscriptions) {
    return testkit::wait_until([&] {
      norix::Server::MonitorCounts m = server_->monitor_counts();
      return m.connections == connections && m.subscriptions == subscriptions;
    });
  }
  testkit::TempDir dir_;
  std::unique_ptr<norix::Server> server_;
  const std::string sub_v_ = "subscribe TEST.MON/HERE/BOX/V\n";
};

TEST_F(ServerMonitors, ASlowReaderGetsTheLatestValueNotEveryOne) {
  constexpr int SETS = 200000;
  {
    Raw r(server_->endpoint());
    ASSERT_TRUE(r.send(sub_v_));
    EXPECT_EQ(r.answer(), "ok 1 1");
    EXPECT_EQ(r.answer(true), "change 1 ok 1 0") << "the first value follows the answer";
    EXPECT_TRUE(counts_are(1, 1));
    for (int i = 1; i <= SETS; ++i)
      box->v.set_value(i);
    int changes = 0;
    for (std::string l; (l = r.answer(true)) != "change 1 ok 1 " + std::to_string(SETS);) {
      ASSERT_EQ(l.compare(0, 7, "change "), 0) << l;
      changes += l.compare(0, 7, "change ") == 0 ? 1 : 0;
    }
    EXPECT_LT(changes, SETS / 4);
    ASSERT_TRUE(r.send("unsubscribe 1\nget TEST.MON/HERE/BOX/V\n"));
    EXPECT_EQ(r.answer(), "ok 1 1");
    EXPECT_EQ(r.answer(), "ok 1 " + std::to_string(SETS)) << "requests are still answered";
    EXPECT_TRUE(counts_are(1, 0));
  }
  EXPECT_TRUE(counts_are(0, 0));
}

TEST_F(ServerMonitors, RefusalsAreClearAndLimitsHold) {
  Raw r(server_->endpoint());
  struct Case {
    const char* request;
    const char* answer;
  };
  for (const Case& c :
       {Case{"subscribe TEST.MON/HERE/BOX/NOPE", "err 103"},
        Case{"subscribe TEST.MON/HERE/NOBOX/V", "err 102"}, Case{"subscribe", "err 112"},
        Case{"unsubscribe 7", "err 112"}, Case{"unsubscribe x", "err 112"}}) {
    ASSERT_TRUE(r.send(std::string(c.request) + "\n"));
    EXPECT_EQ(r.answer().substr(0, 7), c.answer) << c.request;
  }
  std::string many;
  for (int i = 0; i < 1001; ++i)
    many += sub_v_;
  ASSERT_TRUE(r.send(many));
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(r.answer().substr(0, 5), "ok 1 ");
  EXPECT_EQ(r.answer().substr(0, 7), "err 113") << "subscriptions per connection";
  EXPECT_TRUE(counts_are(1, 1000));

  std::vector<std::unique_ptr<Raw>> others;
  for (int i = 0; i < 3; ++i) {  // a client's share: 4 of the 16
    others.emplace_back(new Raw(server_->endpoint()));
    ASSERT_TRUE(others.back()->send(sub_v_));
    ASSERT_EQ(others.back()->answer(), "ok 1 1");
  }
  Raw refused(server_->endpoint());
  ASSERT_TRUE(refused.send(sub_v_ + "get TEST.MON/HERE/BOX/V\n"));
  EXPECT_EQ(refused.answer().substr(0, 7), "err 113") << "monitor connections of a client";
  EXPECT_EQ(refused.answer(), "ok 1 0");
  others.clear();
  EXPECT_TRUE(counts_are(1, 1000));
}

// A connection from a loopback address of its own (127.0.0.N): each is
// another client to the server. Reads one line, within a bound.
class From {
 public:
  From(int n, int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7f000000u + static_cast<uint32_t>(n));
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    timeval limit{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~From() { close(fd_); }
  std::string ask(const std::string& line) {
    std::string l = line + "\n";
    if (send(fd_, l.data(), l.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.size()))
      return "<unsent>";
    return next();
  }
  // The next line other than a change or a beat.
  std::string next() {
    std::string got = "beat";
    for (; got == "beat" || got.compare(0, 7, "change ") == 0;)
      got = line();
    return got;
  }
  std::string line() {
    std::string got;
    char ch = 0;
    while (read(fd_, &ch, 1) == 1 && ch != '\n')
      got += ch;
    return got.empty() ? "<closed>" : got;
  }
  int fd_;
};

// A peer that is not there is connected to again after pauses that grow,
// not in a loop: the reader's wake-up that started the link must not cut
// every later pause short. The link thread's CPU time shows a loop (about
// a core while it spins; a few milliseconds otherwise).
TEST(MonitorLinks, APeerThatIsNotThereIsCalledAgainAfterPausesNotInALoop) {
  testkit::TempDir dir;
  testkit::use_client();
  norix::add_peer("DEMO.GONE", "SIM", "unix:" + dir.file("gone.sock"));
  EqAdr a;
  a.adr("DEMO.GONE/SIM/HEATER/SETPOINT");
  EqData request, result;
  EqCall call;
  EXPECT_EQ(call.get_monitor(&a, &request, &result, 1, 1.0f, nullptr, nullptr), ERR_UNREACHABLE);
  timespec t0{}, t1{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
  std::this_thread::sleep_for(std::chrono::seconds(1));  // a window to measure, not a wait
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
  double cpu = static_cast<double>(t1.tv_sec - t0.tv_sec) +
               static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9;
  EXPECT_LT(cpu, 0.2) << "the link reconnects without pausing";
  norix::clear_monitors();
}

// One client cannot take the monitor connections from the others: it gets
// its share, and a newcomer finds room even when every connection is held,
// by the largest holder's oldest one ending.
TEST(MonitorShares, NoClientKeepsAnotherOut) {
  testkit::TempDir dir;
  testkit::write_file(dir.file("mon.conf"),
                      "server TEST.MON HERE\nlisten tcp:127.0.0.1:0\n"
                      "location BOX 1\n");
  norix::ServerHooks hooks{};
  hooks.create = [](int, void*) -> EqFct* { return box = new Box; };
  {
    norix::Server server(hooks);
    std::string why;
    ASSERT_EQ(server.start(dir.file("mon.conf"), &why), 0) << why;
    int port = std::stoi(server.endpoint().substr(server.endpoint().rfind(':') + 1));
    const std::string sub = "subscribe TEST.MON/HERE/BOX/V";
    std::vector<std::unique_ptr<From>> held;
    for (int client = 2; client <= 5; ++client) {  // four clients take all 16
      for (int i = 0; i < 5; ++i) {
        held.emplace_back(new From(client, port));
        EXPECT_EQ(held.back()->ask(sub).substr(0, 7), i < 4 ? "ok 1 1" : "err 113")
            << "client " << client << ", connection " << i;
      }
    }
    EXPECT_EQ(server.monitor_counts().connections, 16);
    From newcomer(6, port);
    EXPECT_EQ(newcomer.ask(sub), "ok 1 1");
    EXPECT_EQ(held[0]->next(), "<closed>") << "the oldest connection of a largest holder";
    EXPECT_EQ(held[5]->ask("get TEST.MON/HERE/BOX/V"), "ok 1 0") << "the others stay";
  }
  delete box;
}

}  // namespace
