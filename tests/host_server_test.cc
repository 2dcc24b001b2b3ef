// host_server_test.cc - the host server end to end: real server processes
// on temporary socket paths, driven by the real client and by raw protocol
// lines: start-up order, events and flows, saving and restarting with
// history, client errors and bad requests, calls to peers.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "framework/norix.h"
#include "framework/protocol.h"
#include "tests/support/process.h"

namespace {

using norix::protocol::Clock;

const char ROOT_LAMP[] = "TEST.HOST/FSM.SERVER/LAMP/";
const char PANEL[] = "TEST.HOST/FSM.SERVER/PANEL/";

std::string lamp(const std::string& property) {
  return ROOT_LAMP + property;
}

// A configuration of the test FSM server: the panel is listed before the
// machine it joins. more_lamp holds further saved lines of LAMP.
std::string config(const std::string& endpoint, const std::string& more_lamp = "") {
  return "# the test lamp\n"
         "server TEST.HOST FSM.SERVER\n"
         "listen " +
         endpoint +
         "\n"
         "update 20\n"
         "location PANEL 101 panel\n"
         "FSM \tlampfsm\n"
         "DESCR \tthe panel\n"
         "PROBE \tpanel probe\n"
         "location LAMP 100 lamp\n"
         "FSM \tlampfsm\n"
         "DESCR \tthe lamp\n"
         "PROBE \tlamp probe\n" +
         more_lamp;
}

// One test FSM server on a socket in a temporary directory.
class FsmServer {
 public:
  FsmServer() : endpoint_("unix:" + dir_.file("fsm.sock")), conf_(dir_.file("fsm.conf")) {}

  bool start(const std::string& text) {
    proc::write_file(conf_, text);
    return restart();
  }
  // Starts the program again on the configuration file as it is.
  bool restart() {
    process_.reset(new proc::ServerProcess);
    return process_->start(HOST_TEST_FSM_PATH, {conf_}) &&
           process_->wait_output("listening on " + endpoint_);
  }
  proc::Exit stop() { return process_->stop(); }

  proc::ClientResult client(const std::vector<std::string>& args) {
    return proc::client(endpoint_, args);
  }
  // The value of get, or "error" when the call failed.
  std::string get(const std::string& address) {
    proc::ClientResult r = client({"get", address});
    return r.exit.status == 0 ? r.out : "error " + r.err;
  }
  bool set(const std::string& address, const std::string& value) {
    return client({"set", address, value}).exit.status == 0;
  }
  // Reads address until its value contains text (bounded).
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

  const std::string& endpoint() const { return endpoint_; }
  const std::string& conf() const { return conf_; }
  proc::ServerProcess& process() { return *process_; }

 private:
  proc::TempDir dir_;
  std::string endpoint_;
  std::string conf_;
  std::unique_ptr<proc::ServerProcess> process_;
};

// A raw protocol connection.
class Raw {
 public:
  explicit Raw(const std::string& endpoint) : fd_(-1), reader_(-1) {
    norix::protocol::Endpoint e;
    std::string why;
    if (norix::protocol::parse_endpoint(endpoint, &e, &why) == 0) {
      fd_ = norix::protocol::connect_to(e, Clock::now() + proc::LIMIT);
    }
    reader_ = norix::protocol::LineReader(fd_);
  }
  ~Raw() {
    if (fd_ >= 0) close(fd_);
  }
  bool send(const std::string& bytes) {
    return norix::protocol::write_all(fd_, bytes, Clock::now() + proc::LIMIT) == 0;
  }
  // The next answer line, "<closed>" when the server closed the connection.
  std::string answer() {
    std::string line;
    auto r = reader_.read_line(&line, norix::protocol::MAX_ANSWER, Clock::now() + proc::LIMIT);
    return r == norix::protocol::LineReader::LINE ? line : "<closed>";
  }
  bool connected() const { return fd_ >= 0; }

 private:
  int fd_;
  norix::protocol::LineReader reader_;
};

TEST(HostStartup, RootsCompleteFirstAndSavedFlowsResume) {
  FsmServer s;
  ASSERT_TRUE(s.start(config(s.endpoint(), "FLOW_0 \t1 0 0 0 \"on : saved\"\n")));
  ASSERT_TRUE(s.wait_value(lamp("TRACE"), "enter:dark"));
  EXPECT_EQ(s.get(lamp("TRACE")),
            "create:panel create:lamp load:LAMP load:PANEL init:lamp init:off init:on init:idle "
            "init:busy init:dark init:lit enter:on enter:idle enter:dark\n");
  EXPECT_NE(s.get(lamp("FLOW_0")).find(" on : the lamp is on"), std::string::npos);
  EXPECT_NE(s.get(lamp("FLOW_2")).find(" panel : "), std::string::npos);
  EXPECT_NE(s.get(std::string(PANEL) + "FLOW_0").find(" dark : the panel is dark"),
            std::string::npos);
  EXPECT_EQ(s.stop().status, 0);
}

TEST(HostStartup, BadConfigurationStopsWithTheReason) {
  proc::TempDir dir;
  std::string conf = dir.file("bad.conf");
  proc::write_file(
      conf, "server TEST.HOST FSM.SERVER\nlisten unix:" + dir.file("s.sock") + "\nupdate often\n");
  proc::ClientResult r = proc::run(HOST_TEST_FSM_PATH, {conf});
  EXPECT_EQ(r.exit.status, 2);
  EXPECT_NE(r.err.find(conf + ":3: not a configuration item: update often"), std::string::npos)
      << r.err;

  proc::write_file(conf, config("unix:" + dir.file("s.sock")) + "location ODD 7 lamp\n");
  r = proc::run(HOST_TEST_FSM_PATH, {conf});
  EXPECT_EQ(r.exit.status, 2);
  EXPECT_NE(r.err.find("location ODD: type code 7 refused"), std::string::npos) << r.err;
}

TEST(HostEvents, EventTextsDriveFlowsOfRootAndAdoptedSuperstate) {
  FsmServer s;
  ASSERT_TRUE(s.start(config(s.endpoint())));
  ASSERT_TRUE(s.wait_value(lamp("FLOW_0"), " off : the lamp is off"));
  ASSERT_TRUE(s.set(lamp("EVENT"), "switch:*"));
  ASSERT_TRUE(s.wait_value(lamp("FLOW_0"), " on : the lamp is on"));
  EXPECT_NE(s.get(lamp("EVENT")).find(" switch:*"), std::string::npos);
  // An event addressed to the panel's state reaches it inside the machine.
  ASSERT_TRUE(s.set(std::string(PANEL) + "EVENT", "light:*"));
  ASSERT_TRUE(s.wait_value(std::string(PANEL) + "FLOW_0", " lit : the panel is lit"));
  ASSERT_TRUE(s.set(lamp("EVENT"), "work:*"));
  ASSERT_TRUE(s.wait_value(lamp("FLOW_1"), " busy : working"));
  EXPECT_NE(s.get(lamp("FLOW_0")).find(" on : "), std::string::npos);
  EXPECT_EQ(s.get(lamp("FAULT")).substr(0, 4), "0 0 ");
  EXPECT_EQ(s.stop().status, 0);
}

TEST(HostSave, RestartResumesTheHistoryFlowAndKeepsValues) {
  FsmServer s;
  ASSERT_TRUE(s.start(config(s.endpoint(),
                             "FLOW_0 \t1 0 0 0 \"off\"\n"
                             "FLOW_1 \t0 0 0 0 \"idle\"\n"
                             "GONE \tan old property\n")));
  ASSERT_TRUE(s.set(lamp("EVENT"), "switch:*"));
  ASSERT_TRUE(s.wait_value(lamp("FLOW_0"), " on : "));
  ASSERT_TRUE(s.set(lamp("EVENT"), "work:*"));
  ASSERT_TRUE(s.wait_value(lamp("FLOW_1"), " busy : "));
  ASSERT_TRUE(s.set(lamp("COUNT"), "7"));

  // A save on request leaves the server running.
  proc::ClientResult saved = s.client({"save"});
  EXPECT_EQ(saved.exit.status, 0) << saved.err;
  std::string text = proc::read_file(s.conf());
  EXPECT_NE(text.find("FLOW_0 \t1 1 0 "), std::string::npos) << text;
  EXPECT_NE(text.find("\"on : the lamp is on\""), std::string::npos) << text;
  EXPECT_EQ(s.get(lamp("COUNT")), "7\n");

  EXPECT_EQ(s.stop().status, 0);
  EXPECT_NE(s.process().output().find("saved " + s.conf()), std::string::npos);
  text = proc::read_file(s.conf());
  EXPECT_EQ(
      text.substr(0, text.find("location PANEL")),
      "# the test lamp\nserver TEST.HOST FSM.SERVER\nlisten " + s.endpoint() + "\nupdate 20\n");
  EXPECT_NE(text.find("location LAMP 100 lamp\nFSM \tlampfsm\nDESCR \tthe lamp\nEVENT \t0 0 0 "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("COUNT \t7\nGONE \tan old property\n"), std::string::npos) << text;
  // The flow without history saves its start state, the one with history
  // the active one.
  EXPECT_NE(text.find("\"idle : nothing to do\""), std::string::npos) << text;

  ASSERT_TRUE(s.restart());
  ASSERT_TRUE(s.wait_value(lamp("TRACE"), "enter:dark"));
  EXPECT_NE(s.get(lamp("FLOW_0")).find(" on : the lamp is on"), std::string::npos);
  EXPECT_NE(s.get(lamp("FLOW_1")).find(" idle : nothing to do"), std::string::npos);
  EXPECT_EQ(s.get(lamp("COUNT")), "7\n");
  EXPECT_EQ(s.get(lamp("PROBE")), "lamp probe\n");
  EXPECT_EQ(s.stop().status, 0);
}

TEST(HostClient, ErrorsPrintCodeAndTextAndFail) {
  FsmServer s;
  ASSERT_TRUE(s.start(config(s.endpoint())));
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  std::vector<Case> cases = {
      {{"get", "TEST.HOST/FSM.SERVER/NOWHERE/FSM"}, "error 102: unknown location\n"},
      {{"get", lamp("NOTHING")}, "error 103: unknown property\n"},
      {{"get", "OTHER/FSM.SERVER/LAMP/FSM"}, "error 101: unknown server\n"},
      {{"set", lamp("COUNT"), "many"}, "error 106: wrong data type\n"},
      {{"set", lamp("TRACE"), "x"}, "error 105: property not writable\n"},
      {{"get", lamp("*")}, "error 107: illegal address\n"},
  };
  for (const Case& c : cases) {
    proc::ClientResult r = s.client(c.args);
    EXPECT_EQ(r.exit.status, 1) << c.args[1];
    EXPECT_EQ(r.err, c.err) << c.args[1];
    EXPECT_EQ(r.out, "");
  }
  proc::ClientResult names = s.client({"names", "TEST.HOST/FSM.SERVER/*"});
  EXPECT_EQ(names.out, "PANEL\nLAMP\n");
  proc::ClientResult usage = s.client({"get"});
  EXPECT_EQ(usage.exit.status, 2);

  s.stop();
  proc::ClientResult gone = s.client({"get", lamp("FSM")});
  EXPECT_EQ(gone.exit.status, 1);
  EXPECT_EQ(gone.err, "error 111: server unreachable\n");
}

TEST(HostClient, BadRequestsAreAnsweredOrClosedAndTheServerGoesOn) {
  FsmServer s;
  ASSERT_TRUE(s.start(config(s.endpoint())));
  {
    Raw r(s.endpoint());
    ASSERT_TRUE(r.connected());
    ASSERT_TRUE(r.send("hello\nget\nset " + lamp("COUNT") + " x 1\nget a\\qb\n"));
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(r.answer(), "err 112 bad request") << i;
    // The connection still serves good requests, CRLF ends allowed.
    ASSERT_TRUE(r.send("set " + lamp("COUNT") + " 3 12\r\nget " + lamp("COUNT") + "\n"));
    EXPECT_EQ(r.answer(), "ok 0 ");
    EXPECT_EQ(r.answer(), "ok 1 12");
  }
  {
    Raw r(s.endpoint());
    ASSERT_TRUE(r.send(std::string(norix::protocol::MAX_REQUEST + 10, 'x')));
    EXPECT_EQ(r.answer(), "err 112 bad request");
    EXPECT_EQ(r.answer(), "<closed>");
  }
  {
    Raw r(s.endpoint());
    ASSERT_TRUE(r.send("get " + lamp("FS")));  // and gone before the line ends
  }
  EXPECT_TRUE(s.wait_value(lamp("COUNT"), "12"));
  EXPECT_EQ(s.stop().status, 0);
}

TEST(HostClient, ClientsBeyondTheConnectionLimitAreRefused) {
  FsmServer s;
  ASSERT_TRUE(s.start(config(s.endpoint())));
  // Each connection is served once, so that it surely holds its slot.
  std::vector<std::unique_ptr<Raw>> held;
  for (int i = 0; i < 32; ++i) {
    held.emplace_back(new Raw(s.endpoint()));
    ASSERT_TRUE(held.back()->send("get " + lamp("FSM") + "\n"));
    ASSERT_EQ(held.back()->answer(), "ok 3 lampfsm") << i;
  }
  {
    Raw refused(s.endpoint());
    EXPECT_EQ(refused.answer(), "err 113 server busy");
    EXPECT_EQ(refused.answer(), "<closed>");
  }
  held.clear();
  EXPECT_TRUE(s.wait_value(lamp("FSM"), "lampfsm"));  // slots come free again
  EXPECT_EQ(s.stop().status, 0);
}

TEST(HostClient, ListensOnLoopbackTcp) {
  proc::TempDir dir;
  std::string conf = dir.file("tcp.conf");
  proc::write_file(conf, config("tcp:127.0.0.1:0"));
  proc::ServerProcess p;
  ASSERT_TRUE(p.start(HOST_TEST_FSM_PATH, {conf}));
  ASSERT_TRUE(p.wait_output("listening on tcp:127.0.0.1:"));
  ASSERT_TRUE(p.wait_output("\n"));
  std::string out = p.output();
  size_t at = out.find("tcp:");
  std::string endpoint = out.substr(at, out.find('\n', at) - at);
  proc::ClientResult r = proc::client(endpoint, {"get", lamp("FSM")});
  EXPECT_EQ(r.out, "lampfsm\n") << r.err;
  EXPECT_EQ(p.stop().status, 0);
}

// Calls from this process to a server process through EqCall.
class HostPeer : public ::testing::Test {
 protected:
  void TearDown() override { norix::clear_served(); }
};

TEST_F(HostPeer, CallsForAPeerGoToItsServer) {
  FsmServer s;
  ASSERT_TRUE(s.start(config(s.endpoint())));
  norix::set_server("TEST.HERE", "LOCAL");
  norix::add_peer("TEST.HOST", "FSM.SERVER", s.endpoint());
  EqCall call;
  EqAdr adr;
  adr.adr(lamp("COUNT"));
  EqData value;
  EqData result;
  value.set(41);
  EXPECT_EQ(call.set(&adr, &value, &result), 0);
  EXPECT_EQ(call.get(&adr, nullptr, &result), 0);
  EXPECT_EQ(result.type(), DATA_INT);
  EXPECT_EQ(result.get_int(), 41);

  adr.adr(lamp("FLOW_0"));
  ASSERT_EQ(call.get(&adr, nullptr, &result), 0);
  ASSERT_EQ(result.type(), DATA_USTR);
  EXPECT_STREQ(result.get_ustr(0)->str_data.str_data_val, "off : the lamp is off");

  adr.adr("TEST.HOST/FSM.SERVER/*/");
  ASSERT_EQ(call.names(&adr, &result), 0);
  ASSERT_EQ(result.length(), 2);
  EXPECT_EQ(result.get_ustr(1)->i1_data, 100);

  adr.adr(lamp("NOTHING"));
  EXPECT_EQ(call.get(&adr, nullptr, &result), ERR_NO_PROPERTY);
  EXPECT_EQ(result.text_value(), "unknown property");
  EXPECT_EQ(s.stop().status, 0);
}

TEST_F(HostPeer, UnreachablePeersAnswerInTime) {
  proc::TempDir dir;
  norix::set_server("TEST.HERE", "LOCAL");
  norix::set_call_timeout(300);
  // Nobody listens on the first; the second accepts connections (into its
  // backlog) but never answers.
  norix::add_peer("GONE", "DEV", "unix:" + dir.file("nobody.sock"));
  norix::protocol::Endpoint e;
  norix::protocol::Endpoint bound;
  std::string why;
  ASSERT_EQ(norix::protocol::parse_endpoint("unix:" + dir.file("mute.sock"), &e, &why), 0);
  int mute = norix::protocol::listen_on(e, &bound, &why);
  ASSERT_GE(mute, 0) << why;
  norix::add_peer("MUTE", "DEV", "unix:" + dir.file("mute.sock"));

  for (const char* text : {"GONE/DEV/LOC/PROP", "MUTE/DEV/LOC/PROP"}) {
    EqCall call;
    EqAdr adr;
    adr.adr(text);
    EqData result;
    auto begin = Clock::now();
    EXPECT_EQ(call.get(&adr, nullptr, &result), ERR_UNREACHABLE) << text;
    EXPECT_EQ(result.text_value(), "server unreachable");
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(5)) << text;
  }
  close(mute);
}

}  // namespace
