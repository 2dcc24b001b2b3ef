// service_test.cc - running under a service manager, on real server
// processes: the notifications through a notify socket that the test
// binds (ready once the server listens, the watchdog fed while the engines
// tick and not while one is wedged, stopping at the end), and the metrics
// that the web panel serves, read back by a standard parser.

#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "framework/calls/protocol.h"
#include "framework/values/eq_adr.h"
#include "framework/values/eq_data.h"
#include "testkit/testkit.h"

namespace {

using std::chrono::milliseconds;

// The service manager's end of the notify socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    path.copy(sa.sun_path, sizeof sa.sun_path - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~NotifySocket() { close(fd_); }
  bool bound() const { return bound_; }
  // Waits up to limit for a message that contains text; false if none came.
  bool wait_for(const std::string& text, milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      auto left =
          std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[512];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n > 0 && std::string(buf, static_cast<size_t>(n)).find(text) != std::string::npos)
        return true;
    }
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

std::string set_line(const std::string& address, const std::string& text) {
  EqAdr a;
  a.adr(address);
  EqData v;
  v.set(text);
  return norix::protocol::set_request(a, v) + "\n";
}

TEST(ServiceNotify, ReadyWhenListeningWatchdogOnlyWhileEnginesTickStoppingAtStop) {
  testkit::TempDir dir;
  NotifySocket manager(dir.file("notify"));
  ASSERT_TRUE(manager.bound());
  const std::string endpoint = "unix:" + dir.file("s");
  ASSERT_TRUE(testkit::write_file(dir.file("t.conf"), "server T.FSM T.SVC\nlisten " + endpoint +
                                                          "\nupdate 50\nlocation W 100 wedge\n"));
  setenv("NOTIFY_SOCKET", dir.file("notify").c_str(), 1);
  setenv("WATCHDOG_USEC", "600000", 1);  // fed every 200 ms; a tick late by 300 ms stops it
  unsetenv("WATCHDOG_PID");
  testkit::ServerProcess server;
  ASSERT_TRUE(server.start(STRAY_SERVER_PATH, {"t.conf"}, dir.path()));

  ASSERT_TRUE(manager.wait_for("READY=1", milliseconds(20000))) << server.output();
  testkit::Connection first(endpoint);  // it listens by then
  ASSERT_TRUE(first.send(set_line("T.FSM/T.SVC/W/EVENT", "tick:a")));
  EXPECT_EQ(first.answer().compare(0, 3, "ok "), 0);
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(manager.wait_for("WATCHDOG=1", milliseconds(5000))) << i;

  ASSERT_TRUE(first.send(set_line("T.FSM/T.SVC/W/EVENT", "wedge:a")));
  // Once the engine is wedged, the feeding stops with the last of its log
  // lines saying so (a slow run may have logged an earlier late tick and
  // its recovery before).
  ASSERT_TRUE(testkit::wait_until([&] { return access(dir.file("wedged").c_str(), F_OK) == 0; }));
  ASSERT_TRUE(testkit::wait_until([&] {
    server.wait_output("\x01", milliseconds(20));  // reads what has come, no line has it
    const std::string& out = server.output();
    size_t stopped = out.rfind("no longer fed");
    size_t again = out.rfind("runs again");
    return stopped != std::string::npos && (again == std::string::npos || again < stopped);
  })) << server.output();
  EXPECT_NE(server.output().find("(location W)"), std::string::npos);
  // Messages sent before that line are in the socket by now (a slow run may
  // hold several): take them all; none comes after.
  while (manager.wait_for("WATCHDOG=1", milliseconds(10))) {
  }
  EXPECT_FALSE(manager.wait_for("WATCHDOG=1", milliseconds(1500)));

  ASSERT_TRUE(testkit::write_file(dir.file("release"), ""));
  ASSERT_TRUE(server.wait_output("runs again"));
  EXPECT_TRUE(manager.wait_for("WATCHDOG=1", milliseconds(5000)));
  server.signal(SIGTERM);
  EXPECT_TRUE(manager.wait_for("STOPPING=1", milliseconds(10000)));
  EXPECT_EQ(server.wait_exit().status, 0) << server.output();
}

// The text of /metrics, through a standard parser: "name{labels} value"
// per sample, or the parser's complaint.
std::string parsed(const testkit::TempDir& dir, const std::string& text) {
  testkit::write_file(dir.file("m.txt"), text);
  const char* script =
      "import sys\n"
      "from prometheus_client.parser import text_string_to_metric_families as parse\n"
      "for f in parse(open(sys.argv[1]).read()):\n"
      "  for s in f.samples:\n"
      "    l = ','.join(k + '=' + v for k, v in sorted(s.labels.items()))\n"
      "    print(s.name + '{' + l + '} ' + repr(s.value))\n";
  testkit::ClientResult r = testkit::run("/usr/bin/python3", {"-c", script, dir.file("m.txt")});
  return r.exit.exited && r.exit.status == 0 ? r.out : "parser failed: " + r.err;
}

double sample(const std::string& samples, const std::string& head) {
  size_t at = samples.find(head);
  return at == std::string::npos ? -1 : atof(samples.c_str() + at + head.size());
}

TEST(ServiceMetrics, ScrapeParsesAndTheOvensCountersMove) {
  testkit::TempDir dir;
  ASSERT_TRUE(testkit::write_file(
      dir.file("t.conf"), "server T.FSM T.OVEN\nlisten unix:" + dir.file("s") +
                              "\nupdate 50\nhttp 127.0.0.1:0\nlocation OVEN 100 oven\nFSM \toven\n"
                              "location DOOR 101 door\nFSM \toven\n"));
  testkit::ServerProcess server;
  ASSERT_TRUE(server.start(OVEN_SERVER_PATH, {"t.conf"}, dir.path()));
  ASSERT_TRUE(server.wait_output("listening on unix:"));
  const std::string& out = server.output();
  size_t at = out.find("http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << out;
  httplib::Client http("127.0.0.1", atoi(out.c_str() + at + 17));
  testkit::Connection client("unix:" + dir.file("s"));
  ASSERT_TRUE(client.send(set_line("T.FSM/T.OVEN/OVEN/EVENT", "open:*")));
  client.answer();

  const std::string ticks = "fsm_ticks_total{location=OVEN,machine=oven} ";
  std::string before;
  std::string after;
  for (int i = 0; i < 200; ++i) {  // until two scrapes show ticks apart, 10 s at most
    auto res = http.Get("/metrics");
    ASSERT_TRUE(res && res->status == 200);
    (before.empty() ? before : after) = parsed(dir, res->body);
    if (!after.empty() && sample(after, ticks) > sample(before, ticks)) break;
    usleep(50000);
  }
  EXPECT_GT(sample(after, ticks), sample(before, ticks)) << before << after;
  for (const char* head :
       {"fsm_events_dispatched_total{location=OVEN,machine=oven} ",
        "fsm_tick_lateness_seconds_count{location=OVEN,machine=oven} ",
        "fsm_queue_depth{location=OVEN,machine=oven,queue=event} ", "norix_requests_total{code=0} ",
        "norix_client_connections{} ", "norix_monitor_subscriptions{} ", "norix_saves_total{} "}) {
    EXPECT_GE(sample(after, head), 0) << head << after;
  }
  EXPECT_GE(sample(after, "norix_requests_total{code=0} "), 1);
  EXPECT_EQ(server.stop().status, 0);
}

}  // namespace
