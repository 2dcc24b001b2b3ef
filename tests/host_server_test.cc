// host_server_test.cc - server programs end to end: the oven example's
// server and its simulated devices as real processes, driven by the real
// client and by raw protocol lines. The oven's door, a superstate location,
// is configured before the machine it joins.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/calls/protocol.h"
#include "framework/host/server.h"
#include "testkit/testkit.h"

namespace {

using testing::HasSubstr;
using testing::Not;
namespace protocol = norix::protocol;

const std::string OVEN = "DEMO.FSM/OVEN.SERVER/OVEN/";
const std::string DOOR = "DEMO.FSM/OVEN.SERVER/DOOR/";
const std::string MONITOR = "DEMO.FSM/OVEN.SERVER/MONITOR/";
const std::string HEATER = "DEMO.DEV/SIM/HEATER/";

using Raw = testkit::Connection;

class OvenServer : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"oven.conf", "devices.conf", "oven_settings.sr"})
      testkit::write_file(dir_.file(f),
                          testkit::read_file(std::string(EXAMPLE_DEMO_DIR) + "/" + f));
    std::string conf = testkit::read_file(conf_);
    size_t door = conf.find("location DOOR");
    std::string block = conf.substr(door, conf.find("location MONITOR") - door);
    conf.erase(door, block.size());
    header_ = conf.substr(0, conf.find("location OVEN"));
    header_.replace(header_.find("unix:fsm.sock"), 13, "tcp:127.0.0.1:0");
    testkit::write_file(conf_, header_ + block + "GONE \tkept as it was\n" +
                                   conf.substr(conf.find("location OVEN")));
    devices_.reset(new testkit::ServerProcess);
    ASSERT_TRUE(devices_->start(SIM_DEVICES_PATH, {"devices.conf"}, dir_.path()) &&
                devices_->wait_output("listening on"));
    ASSERT_TRUE(start_oven());
  }
  // The oven listens on a loopback port of the system's choice.
  // limits: shell ulimit options for the server ("-f 1"), or none.
  bool start_oven(const std::string& limits = "") {
    oven_.reset(new testkit::ServerProcess);
    std::string program = OVEN_SERVER_PATH;
    std::vector<std::string> args{"oven.conf"};
    if (!limits.empty()) {
      args = {"-c", "ulimit " + limits + " && exec \"$0\" \"$@\"", program, "oven.conf"};
      program = "/bin/sh";
    }
    if (!oven_->start(program, args, dir_.path()) ||
        !oven_->wait_output("listening on tcp:127.0.0.1:") || !oven_->wait_output("\n")) {
      return false;
    }
    size_t at = oven_->output().find("tcp:");
    endpoint_ = oven_->output().substr(at, oven_->output().find('\n', at) - at);
    return true;
  }
  // Calls for the devices go to their own server.
  testkit::ClientResult client(std::vector<std::string> args) {
    bool device = args.size() > 1 && args[1].compare(0, HEATER.size(), HEATER) == 0;
    args.insert(args.begin(), {"-s", device ? "unix:" + dir_.file("dev.sock") : endpoint_});
    return testkit::run(NORIX_CLIENT_PATH, args);
  }
  std::string get(const std::string& address) {
    testkit::ClientResult r = client({"get", address});
    return r.exit.status == 0 ? r.out : r.err;
  }
  void set(const std::string& address, const std::string& value) {
    testkit::ClientResult r = client({"set", address, value});
    EXPECT_EQ(r.exit.status, 0) << address << " " << value << ": " << r.err;
  }
  bool wait_value(const std::string& address, const std::string& text) {
    std::string v;
    if (testkit::wait_until([&] { return (v = get(address)).find(text) != std::string::npos; }))
      return true;
    ADD_FAILURE() << address << " never showed '" << text << "', last: " << v;
    return false;
  }

  testkit::TempDir dir_;
  std::string conf_ = dir_.file("oven.conf");
  std::string header_;  // the configuration's lines before the first location
  std::string endpoint_;
  std::unique_ptr<testkit::ServerProcess> devices_;
  std::unique_ptr<testkit::ServerProcess> oven_;
};

TEST_F(OvenServer, HeatsUnderVacuumWithItsDoorAndStopsOnInterruptAndFault) {
  testkit::ServerProcess watch;  // the client prints FLOW_1 at each change
  ASSERT_TRUE(watch.start(NORIX_CLIENT_PATH, {"-s", endpoint_, "watch", OVEN + "FLOW_1"}));
  ASSERT_TRUE(watch.wait_output(" vented : "));
  set(OVEN + "EVENT", "start:*");  // refused by its guard: no vacuum yet
  set(OVEN + "EVENT", "pump:*");
  ASSERT_TRUE(wait_value(OVEN + "FLOW_1", " vacuum : under vacuum"));
  EXPECT_TRUE(watch.wait_output(" vacuum : under vacuum"));
  EXPECT_THAT(get(OVEN + "FLOW_0"), HasSubstr(" idle : "));
  set(OVEN + "EVENT", "start:*");
  ASSERT_TRUE(wait_value(OVEN + "FLOW_0", " heating : "));
  EXPECT_TRUE(wait_value(DOOR + "FLOW_0", " locked : "));   // signalled to the adopted door
  EXPECT_TRUE(wait_value(MONITOR + "FLOW_0", " busy : "));  // sent to another machine
  EXPECT_EQ(get(HEATER + "POWER"), "1\n");
  set(OVEN + "ESTOP", "1");
  ASSERT_TRUE(wait_value(OVEN + "FLOW_0", " idle : "));
  EXPECT_EQ(get(HEATER + "POWER"), "0\n");
  set(HEATER + "FAULTY", "1");
  EXPECT_TRUE(wait_value(OVEN + "FAULT", " heater sensor broken"));
  EXPECT_TRUE(wait_value(OVEN + "FLOW_0", " fault : "));
  EXPECT_EQ(oven_->stop().status, 0);
}

TEST_F(OvenServer, SavedConfigurationRestartsTheHistoryFlowWithoutItsDevices) {
  set(OVEN + "EVENT", "pump:*");
  ASSERT_TRUE(wait_value(OVEN + "FLOW_1", " vacuum : "));
  set(OVEN + "EVENT", "start:*");
  ASSERT_TRUE(wait_value(OVEN + "FLOW_0", " heating : "));
  set(OVEN + "TARGET", "75");
  testkit::ClientResult saved = client({"save"});
  EXPECT_EQ(saved.exit.status, 0) << saved.err;
  EXPECT_THAT(testkit::read_file(conf_), HasSubstr("TARGET \t75\n"));
  oven_->signal(SIGHUP);  // saves and ends as SIGTERM does
  EXPECT_EQ(oven_->wait_exit().status, 0);
  EXPECT_EQ(devices_->stop().status, 0);
  std::string conf = testkit::read_file(conf_);
  EXPECT_EQ(header_, conf.substr(0, header_.size()));
  EXPECT_THAT(conf, HasSubstr("FLOW_0 \t1 1 0 "));  // with history, the active state
  EXPECT_THAT(conf, HasSubstr("\"heating : heating to the target\""));
  EXPECT_THAT(conf, HasSubstr("\"vented : "));  // without, the start state
  EXPECT_THAT(conf, HasSubstr("GONE \tkept as it was\n"));

  ASSERT_TRUE(start_oven());
  EXPECT_TRUE(wait_value(OVEN + "FLOW_0", " heating : "));
  EXPECT_THAT(get(OVEN + "FLOW_1"), HasSubstr(" vented : "));
  EXPECT_EQ(get(OVEN + "TARGET"), "75\n");
  EXPECT_TRUE(wait_value(OVEN + "FAULT", " server unreachable"));
  EXPECT_EQ(oven_->stop().status, 0);
}

TEST_F(OvenServer, ClientErrorsExitWithTheirCodeAndText) {
  struct {
    std::vector<std::string> args;
    int status;
    const char* out;
    const char* err;  // a part of it
  } cases[] = {
      {{"get", "DEMO.FSM/OVEN.SERVER/NOWHERE/FSM"}, 1, "", "error 102: unknown location\n"},
      {{"get", OVEN + "NOTHING"}, 1, "", "error 103: unknown property\n"},
      {{"set", OVEN + "CYCLES", "many"}, 1, "", "error 106: wrong data type\n"},
      {{"get", OVEN + "*"}, 1, "", "error 107: illegal address\n"},
      {{"names", "DEMO.FSM/OVEN.SERVER/*"}, 0, "DOOR\nOVEN\nMONITOR\n", ""},
      {{"set", OVEN + "SR_FILE", "two", "words"}, 0, "", ""},
      {{"get", OVEN + "SR_FILE"}, 0, "two words\n", ""},
      {{"get"}, 2, "", "usage: norix_client"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    testkit::ClientResult r = client(c.args);
    EXPECT_EQ(r.exit.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_THAT(r.err, HasSubstr(c.err));
  }
  // A configuration that cannot be replaced is not saved, and says so.
  ASSERT_EQ(0, rename(conf_.c_str(), dir_.file("kept").c_str()));
  ASSERT_EQ(0, mkdir(conf_.c_str(), 0755));
  EXPECT_EQ(client({"save"}).err, "error 114: configuration not saved\n");
  EXPECT_EQ(oven_->stop().status, 1);
  EXPECT_EQ(client({"get", OVEN + "FSM"}).err, "error 111: server unreachable\n");
}

TEST_F(OvenServer, RequestLinesAreAnsweredInOrderAndBadOnesRefused) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"get " + OVEN + "CYCLES", "ok 1 0"},
      {"set " + OVEN + "TARGET 3 75.5", "ok 0 "},
      {"get " + OVEN + "TARGET", "ok 2 75.5"},
      {"set " + OVEN + "TARGET 1 12\r", "ok 0 "},
      {"get " + OVEN + "TARGET", "ok 2 12"},
      {"names " + OVEN + "TARGET", "ok 103 2 0 0 0 TARGET temperature to heat to"},
      {"set " + OVEN + "SR_FILE 3 a\\\\b c", "ok 0 "},
      {"get " + OVEN + "SR_FILE", "ok 3 a\\\\b c"},
      {"get DEMO.FSM/OVEN.SERVER/OVEN/TAR\\sGET", "err 103 unknown property"},
      {"hello", "err 112 bad request"},
      {"get", "err 112 bad request"},
      {"get " + OVEN + "CYCLES now", "err 112 bad request"},
      {"set " + OVEN + "TARGET x 1", "err 112 bad request"},
      {"get a\\qb", "err 112 bad request"},
      {"get " + OVEN + std::string("FSM\0x", 5), "err 112 bad request"},
      {"set " + OVEN + "FAULT 3 x", "err 105 property not writable"},
      {"set " + OVEN + "SR_FILE 3 a\\nb",
       "err 106 wrong data type: a text with a line break or NUL is not stored"},
      {"set " + OVEN + "EVENT 3 go\\r",
       "err 106 wrong data type: a text with a line break is not stored"},
      {"set " + OVEN + "EVENT 3 :*",
       "err 106 wrong data type: EVENT needs an event name: EVENT[:TARGET]"},
  };
  Raw raw(endpoint_);
  std::string lines;
  for (const auto& c : cases)
    lines += c.first + "\n";
  ASSERT_TRUE(raw.send(lines));  // all at once: answered one by one, in order
  for (const auto& c : cases)
    EXPECT_EQ(raw.answer(), c.second) << c.first;

  ASSERT_TRUE(Raw(endpoint_).send("get " + OVEN + "FS"));  // and gone
  Raw too_long(endpoint_);
  ASSERT_TRUE(too_long.send(std::string(protocol::MAX_REQUEST + 10, 'x')));
  EXPECT_EQ(too_long.answer(), "err 112 bad request");
  EXPECT_EQ(too_long.answer(), "<closed>");
  EXPECT_EQ(get(OVEN + "FSM"), "oven\n");
}

TEST_F(OvenServer, SettingsFilesStayInTheirFolderAndAFailedSaveKeepsTheLastGoodOne) {
  ASSERT_EQ(0, symlink("/tmp", dir_.file("out").c_str()));
  ASSERT_EQ(0, mkfifo(dir_.file("fifo").c_str(), 0600));
  const std::string relative =
      ": a settings file is named relative to the settings folder, without '..'";
  const std::vector<std::vector<std::string>> cases = {
      // template, file, what SETTINGS shows
      {"oven_settings.sr", "good.sr", "saved to good.sr"},
      {"oven_settings.sr", "/tmp/x.sr", "not saved: /tmp/x.sr" + relative},
      {"oven_settings.sr", "a/../../x.sr", "not saved: a/../../x.sr" + relative},
      {"oven_settings.sr", "out/x.sr", "not saved: out/x.sr: leads out of the settings folder"},
      {"fifo", "good.sr", "not saved: open err: not a regular file"},
      {"none.sr", "good.sr", "not saved: open err: No such file or directory"},
  };
  for (const auto& c : cases) {
    set(OVEN + "SETTINGS", "-");
    set(OVEN + "SR_TEMPLATE", c[0]);
    set(OVEN + "SR_FILE", c[1]);
    set(OVEN + "EVENT", "save_settings");
    EXPECT_TRUE(wait_value(OVEN + "SETTINGS", c[2] + "\n")) << c[0] << " " << c[1];
  }
  std::string good = testkit::read_file(dir_.file("good.sr"));
  EXPECT_EQ(devices_->stop().status, 0);
  set(OVEN + "SR_TEMPLATE", "good.sr");
  set(OVEN + "EVENT", "save_settings");
  EXPECT_TRUE(wait_value(OVEN + "SETTINGS", "not saved: "));
  EXPECT_EQ(testkit::read_file(dir_.file("good.sr")), good);
  EXPECT_EQ(access(dir_.file("good.sr.saving").c_str(), F_OK), -1);
}

// Under a file-size limit that the saved configuration passes, a save fails
// with 114 and leaves the file whole; the server goes on serving.
TEST_F(OvenServer, AFileSizeLimitFailsTheSaveNotTheServer) {
  EXPECT_EQ(oven_->stop().status, 0);
  std::string before = testkit::read_file(conf_);
  ASSERT_TRUE(start_oven("-f 1"));
  Raw c(endpoint_);
  ASSERT_TRUE(c.send("save\nget " + OVEN + "FSM\n"));
  EXPECT_EQ(c.answer(), "err 114 configuration not saved");
  EXPECT_EQ(c.answer(), "ok 3 oven");
  EXPECT_EQ(testkit::read_file(conf_), before);
  EXPECT_EQ(oven_->stop().status, 1);  // its own save fails as well, and says so
  EXPECT_EQ(testkit::read_file(conf_), before);
}

TEST_F(OvenServer, ASecretIsPresentedFirstAndTheUnixSocketIsNotOpenToAll) {
  struct stat st;
  ASSERT_EQ(0, stat(dir_.file("dev.sock").c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_EQ(oven_->stop().status, 0);
  EXPECT_EQ(devices_->stop().status, 0);
  const std::string devices = dir_.file("devices.conf");
  testkit::write_file(devices, "secret s3cret-of-16-chars\n" + testkit::read_file(devices));
  devices_.reset(new testkit::ServerProcess);
  ASSERT_TRUE(devices_->start(SIM_DEVICES_PATH, {"devices.conf"}, dir_.path()) &&
              devices_->wait_output("listening on"));
  testkit::write_file(conf_,
                      "secret s3cret-of-16-chars\npeer_secret unix:dev.sock "
                      "s3cret-of-16-chars\n" +
                          testkit::read_file(conf_));
  ASSERT_TRUE(start_oven());
  const std::string refused = "error 112: bad request: this server asks for its secret\n";
  EXPECT_EQ(client({"get", OVEN + "FSM"}).err, refused);
  Raw wrong(endpoint_);
  ASSERT_TRUE(wrong.send("auth s3cret-of-16-charz\nget " + OVEN + "FSM\n"));
  EXPECT_EQ(wrong.answer(), "err 112 bad request: this server asks for its secret");
  EXPECT_EQ(wrong.answer(), "<closed>");
  EXPECT_EQ(client({"get", OVEN + "FSM"}).err, refused);  // no secret: not a failed guess
  Raw again(endpoint_);
  ASSERT_TRUE(again.send("auth another-wrong-secret\n"));
  EXPECT_EQ(again.answer(), "err 112 bad request: this server asks for its secret");
  // Each wrong secret is answered late; the log tells the first one of the
  // period and nothing of what was presented.
  EXPECT_TRUE(oven_->wait_output("WARN failed authentication from 127.0.0.1:"));
  EXPECT_EQ(oven_->output().find("failed authentication", oven_->output().find("failed auth") + 1),
            std::string::npos);
  EXPECT_EQ(oven_->output().find("charz"), std::string::npos);
  setenv("NORIX_SECRET", "s3cret-of-16-chars", 1);
  EXPECT_EQ(get(OVEN + "FSM"), "oven\n");
  set(OVEN + "EVENT", "pump:*");  // the oven presents its peer's secret
  EXPECT_TRUE(wait_value(OVEN + "FLOW_1", " vacuum : "));
  unsetenv("NORIX_SECRET");
}

TEST_F(OvenServer, IdleConnectionsMakeRoomForNewClientsOldestFirst) {
  std::vector<std::unique_ptr<Raw>> hog;
  for (int i = 0; i < 32; ++i) {  // the limit, each answered once and then idle
    hog.emplace_back(new Raw(endpoint_));
    ASSERT_TRUE(hog.back()->send("get " + OVEN + "FSM\n"));
    ASSERT_EQ(hog.back()->answer(), "ok 3 oven");
  }
  EXPECT_EQ(get(OVEN + "FSM"), "oven\n");
  EXPECT_EQ(hog[0]->answer(), "<closed>");
  ASSERT_TRUE(hog[1]->send("get " + OVEN + "FSM\n"));
  EXPECT_EQ(hog[1]->answer(), "ok 3 oven");  // the others stay
}

// A property whose write calls a peer: here one that never answers.
struct Caller : EqFct {
  struct Call : norix::D_value<int> {
    using D_value::D_value;
    void set(EqAdr*, EqData*, EqData* result, EqFct*) override {
      calling.open();
      EqAdr peer;
      peer.adr("TEST.SIL/SIL/X/Y");
      EqData value;
      value.set(1);
      EqCall().set(&peer, &value, result);
    }
    void conf(Config*) override {}  // not saved
    testkit::Gate calling;
  };
  Caller() : EqFct("NAME = location"), v("V a saved value", this), call("CALL a peer", this) {}
  norix::D_value<int> v;
  Call call;
};
Caller* caller = nullptr;

// The stop shuts the clients down and saves before it waits for them: a
// request held by a peer that never answers (within a minute) neither
// delays the save nor keeps stopping from returning.
TEST(ServerStop, SavesAtOnceWhileARequestWaitsOnASilentPeer) {
  testkit::TempDir dir;
  int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // listens, never accepts
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string path = dir.file("silent.sock");
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(silent, 4), 0);
  std::string conf = dir.file("stop.conf");
  testkit::write_file(conf, "server TEST.STOP HERE\nlisten unix:" + dir.file("s.sock") +
                                "\ntimeout 60000\npeer TEST.SIL SIL unix:" + path +
                                "\nlocation BOX 1\n");
  norix::ServerHooks hooks{};
  hooks.create = [](int, void*) -> EqFct* { return caller = new Caller; };
  {
    norix::Server server(hooks);
    std::string why;
    ASSERT_EQ(server.start(conf, &why), 0) << why;
    Raw writer(server.endpoint());
    ASSERT_TRUE(writer.send("set TEST.STOP/HERE/BOX/V 1 42\n"));
    ASSERT_EQ(writer.answer(), "ok 0 ");
    Raw held(server.endpoint());
    ASSERT_TRUE(held.send("set TEST.STOP/HERE/BOX/CALL 1 1\n"));
    ASSERT_TRUE(caller->call.calling.wait());
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop_and_save(&why, std::chrono::milliseconds(200)), 0) << why;
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
    EXPECT_THAT(testkit::read_file(conf), HasSubstr("V \t42\n"));
    close(silent);  // the held call ends, and the server's end joins its thread
  }
  delete caller;
}

TEST(ServerConfig, MistakesStopTheStartSayingWhereAndWhy) {
  testkit::TempDir dir;
  const std::string base = "server F D\nlisten unix:" + dir.file("s.sock") + "\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"listen unix:s.sock\n", "c.conf:1: no 'server FACILITY DEVICE' item"},
      {"server F D\n# no listen\n", "c.conf:2: no 'listen ENDPOINT' item"},
      {"server F D\nlisten tcp:localhost:65536\n", "bad host or port in 'tcp:localhost:65536'"},
      {base + "update 0\n", "c.conf:3: not a configuration item: update 0"},
      {base + "peer F D nowhere\n", "c.conf:3: endpoint 'nowhere' is neither unix:PATH nor"},
      {"server F D\nlisten tcp:0.0.0.0:0\n", "tcp:0.0.0.0:0 serves other hosts: that needs a"},
      {base + "secret short\n", "c.conf:3: secret: expected 'secret SECRET', one word"},
      {base + "secret has blanks in it\n", "(the line is not shown)"},
      {base + "peer_secret only-one-word\n", "c.conf:3: peer_secret: expected"},
      {"server F D\nlisten tls:127.0.0.1:0\n", "c.conf:2: listen tls:127.0.0.1:0 needs 'tls_cert"},
      {base + "peer F P tls:127.0.0.1:9\n", "peer tls:127.0.0.1:9 needs a 'tls_ca FILE' item"},
      {base + "tls_key k.pem\n", "a certificate needs its key, and a key its certificate"},
      {base + "tls_ca " + dir.file("none.pem") + "\n", dir.file("none.pem") + ": "},
      {base + "socket_mode 999\n", "c.conf:3: not a configuration item: socket_mode 999"},
      {base + "http 0.0.0.0:0\n", "c.conf:3: http 0.0.0.0 serves other hosts: that needs a"},
      {"server F D\nlisten unix:" + dir.file("c.conf") + "\n", "c.conf: File exists"},
      {base + "location L 100 oven\nlocation L 101 door\n",
       "c.conf:4: location L is configured twice"},
      {base + "location L 100 oven\nlocation ODD 7 oven\n",
       "c.conf:4: location ODD: type code 7 refused"},
  };
  for (const auto& [text, why] : cases) {
    SCOPED_TRACE(text);
    testkit::write_file(dir.file("c.conf"), text);
    testkit::ClientResult r = testkit::run(OVEN_SERVER_PATH, {dir.file("c.conf")});
    EXPECT_EQ(r.exit.status, 2);
    EXPECT_THAT(r.err, HasSubstr(why));
    for (const char* secret : {"short", "blanks", "only-one-word"})
      EXPECT_THAT(r.err, Not(HasSubstr(secret)));
  }
}

}  // namespace
