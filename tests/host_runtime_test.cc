// host_runtime_test.cc - the host runtime in this process with recording
// hooks and locations: configuration syntax, the start-up order, updates,
// interrupts, and saving the configuration.

#include "tests/support/host.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "framework/norix.h"
#include "framework/server.h"
#include "tests/support/process.h"

namespace {

host::Trace& trace() {
  return host::trace();
}

// A text property that records when the host loads it.
class D_probe : public D_string {
 public:
  D_probe(const char* text, EqFct* owner) : D_string(text, owner) {}
  void read_from_conf(const std::string& text) override {
    trace().add("load:" + owner()->name() + ":" + text);
    D_string::read_from_conf(text);
  }
};

class Recorded : public EqFct {
 public:
  explicit Recorded(int code)
      : EqFct("NAME = location"),
        code_(code),
        probe_("PROBE a text", this),
        number_("NUMBER a number", this) {}
  int fct_code() override { return code_; }
  void init() override { trace().add("init:" + name()); }
  void complete() override { trace().add("complete:" + name()); }
  void post_init() override { trace().add("post_init:" + name()); }
  void update() override { trace().add("update:" + name()); }
  void interrupt_usr1(int sig) override {
    trace().add("usr1:" + name() + ":" + std::to_string(sig));
  }

 private:
  int code_;
  D_probe probe_;
  norix::D_value<int> number_;
};

void note(const char* what) {
  trace().add(what);
}

EqFct* create(int code, void*) {
  trace().add("create:" + std::to_string(code) + ":" + gbl_fct_name);
  return code == 7 ? nullptr : new Recorded(code);
}

norix::ServerHooks hooks() {
  norix::ServerHooks h{};
  h.init_prolog = [] { note("init_prolog"); };
  h.create = create;
  h.init_epilog = [] { note("init_epilog"); };
  h.post_init_prolog = [] { note("post_init_prolog"); };
  h.post_init_epilog = [] { note("post_init_epilog"); };
  h.refresh_prolog = [] { note("refresh_prolog"); };
  h.refresh_epilog = [] { note("refresh_epilog"); };
  h.interrupt_usr1_prolog = [](int) { note("usr1_prolog"); };
  h.interrupt_usr1_epilog = [](int) { note("usr1_epilog"); };
  h.load_pass = [](int code) { return code == 101 ? 1 : 0; };
  return h;
}

const char HEADER[] =
    "# kept as it is\n"
    "server TEST.RT SERVER\n"
    "listen unix:SOCKET\n"
    "update 3600000\n"
    "\n";

class HostRuntime : public ::testing::Test {
 protected:
  void SetUp() override { trace().clear(); }
  void TearDown() override {
    std::vector<EqFct*> made = server_ != nullptr ? server_->locations() : std::vector<EqFct*>();
    delete server_;
    for (EqFct* l : made)
      delete l;
    norix::clear_served();
  }
  std::string header() {
    std::string h = HEADER;
    h.replace(h.find("SOCKET"), 6, dir_.file("rt.sock"));
    return h;
  }
  int start(const std::string& text, std::string* why) {
    proc::write_file(conf(), text);
    server_ = new norix::Server(hooks());
    return server_->start(conf(), why);
  }
  std::string conf() const { return dir_.file("rt.conf"); }
  std::vector<std::string> files() {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.path().c_str());
    while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    if (d != nullptr) closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  proc::TempDir dir_;
  norix::Server* server_ = nullptr;
};

TEST_F(HostRuntime, StartUpRunsHooksInOrderAndCompletesRootsFirst) {
  std::string why;
  ASSERT_EQ(start(header() + "location SUB 101 part\nPROBE \tsub text\n"
                             "location TOP 100 machine\nPROBE \ttop text\nNUMBER \t5\n"
                             "location PLAIN 42\n",
                  &why),
            0)
      << why;
  EXPECT_EQ(
      trace().snapshot(),
      (std::vector<std::string>{"init_prolog", "create:101:part", "create:100:machine",
                                "create:42:", "load:TOP:top text", "init:TOP", "complete:TOP",
                                "init:PLAIN", "complete:PLAIN", "load:SUB:sub text", "init:SUB",
                                "complete:SUB", "init_epilog", "post_init_prolog", "post_init:SUB",
                                "post_init:TOP", "post_init:PLAIN", "post_init_epilog"}));
  std::vector<EqFct*> locs = server_->locations();
  ASSERT_EQ(locs.size(), 3u);
  EXPECT_EQ(locs[1]->name(), "TOP");
  EqData number;
  EXPECT_EQ(host::client_get("TOP", "NUMBER", &number), ERR_NO_SERVER);  // another server name
  EqCall call;
  EqAdr adr;
  adr.adr("TEST.RT/SERVER/TOP/NUMBER");
  ASSERT_EQ(call.get(&adr, nullptr, &number), 0);
  EXPECT_EQ(number.get_int(), 5);
}

TEST_F(HostRuntime, ARefusedTypeCodeFailsTheStart) {
  std::string why;
  EXPECT_EQ(start(header() + "location A 100 x\nlocation ODD 7 x\n", &why), -1);
  EXPECT_EQ(why, conf() + ":7: location ODD: type code 7 refused");
}

TEST_F(HostRuntime, UpdatesRunBetweenRefreshHooksUntilStop) {
  std::string why;
  std::string text = header() + "location A 100\nlocation B 100\n";
  text.replace(text.find("update 3600000"), 14, "update 5");
  ASSERT_EQ(start(text, &why), 0) << why;
  ASSERT_TRUE(trace().wait_count("refresh_epilog", 3));
  server_->stop();
  std::vector<std::string> t = trace().snapshot();
  auto first = std::find(t.begin(), t.end(), "refresh_prolog");
  std::vector<std::string> rounds(first, t.end());
  ASSERT_EQ(rounds.size() % 4, 0u);
  for (size_t i = 0; i < rounds.size(); i += 4) {
    EXPECT_EQ(
        std::vector<std::string>(rounds.begin() + i, rounds.begin() + i + 4),
        (std::vector<std::string>{"refresh_prolog", "update:A", "update:B", "refresh_epilog"}));
  }
  server_->stop();  // a second stop does nothing
}

TEST_F(HostRuntime, Usr1ReachesEveryLocationBetweenItsHooks) {
  std::string why;
  ASSERT_EQ(start(header() + "location A 100\nlocation B 101\n", &why), 0) << why;
  trace().clear();
  server_->interrupt_usr1(SIGUSR1);
  EXPECT_EQ(trace().snapshot(),
            (std::vector<std::string>{"usr1_prolog", "usr1:A:10", "usr1:B:10", "usr1_epilog"}));
}

TEST_F(HostRuntime, SaveRewritesLocationsAndKeepsHeaderAndUnknownLines) {
  std::string why;
  ASSERT_EQ(start(header() + "location A 100 machine\n"
                             "# dropped comment\n"
                             "NUMBER \t1\n"
                             "OLD \tkept line\n"
                             "location B 101 part\n"
                             "NUMBER \tnot a number\n",
                  &why),
            0)
      << why;
  EqCall call;
  EqAdr adr;
  adr.adr("TEST.RT/SERVER/A/PROBE");
  EqData value;
  EqData result;
  value.set("new text");
  ASSERT_EQ(call.set(&adr, &value, &result), 0);
  ASSERT_EQ(server_->save(&why), 0) << why;
  EXPECT_EQ(proc::read_file(conf()), header() +
                                         "location A 100 machine\n"
                                         "PROBE \tnew text\n"
                                         "NUMBER \t1\n"
                                         "OLD \tkept line\n"
                                         "location B 101 part\n"
                                         "PROBE \t\n"
                                         "NUMBER \t0\n");
  EXPECT_EQ(files(), (std::vector<std::string>{"rt.conf", "rt.sock"}));

  // The file cannot be replaced: the save fails and leaves nothing behind.
  ASSERT_EQ(unlink(conf().c_str()), 0);
  ASSERT_EQ(mkdir(conf().c_str(), 0755), 0);
  proc::write_file(conf() + "/inside", "x");
  EXPECT_EQ(server_->save(&why), -1);
  EXPECT_NE(why.find("cannot write " + conf()), std::string::npos) << why;
  EXPECT_EQ(files(), (std::vector<std::string>{"rt.conf", "rt.sock"}));
  unlink((conf() + "/inside").c_str());
  rmdir(conf().c_str());
}

TEST(HostConfig, ItemsParseAndMistakesSayWhere) {
  std::istringstream good(
      "server F D\nlisten unix:/x\nupdate 250\ntimeout 40\npeer F2 D2 tcp:127.0.0.1:9\n"
      "location L 100 t\nA \t1\n\n# c\nlocation M 101\n");
  norix::ServerConfig c;
  std::string why;
  ASSERT_EQ(norix::parse_config(good, "f", &c, &why), 0) << why;
  EXPECT_EQ(c.facility + "/" + c.device + " " + c.listen, "F/D unix:/x");
  EXPECT_EQ(c.update_ms, 250);
  EXPECT_EQ(c.timeout_ms, 40);
  ASSERT_EQ(c.peers.size(), 1u);
  EXPECT_EQ(c.peers[0].endpoint, "tcp:127.0.0.1:9");
  ASSERT_EQ(c.locations.size(), 2u);
  EXPECT_EQ(c.locations[0].lines.size(), 1u);
  EXPECT_EQ(c.locations[0].lines[0].line_no, 7);
  EXPECT_EQ(c.locations[1].type, "");
  EXPECT_EQ(c.header.size(), 5u);

  const char* base = "server F D\nlisten unix:/x\n";
  struct Case {
    std::string text;
    std::string why;
  };
  std::vector<Case> cases = {
      {"listen unix:/x\n", "f:1: no 'server FACILITY DEVICE' item"},
      {"server F D\n", "f:1: no 'listen ENDPOINT' item"},
      {std::string(base) + "update 0\n", "f:3: not a configuration item: update 0"},
      {std::string(base) + "listen\n", "f:3: not a configuration item: listen"},
      {std::string(base) + "peer F D nowhere\n",
       "f:3: endpoint 'nowhere' is neither unix:PATH nor tcp:HOST:PORT"},
      {std::string(base) + "location L\n", "f:3: expected: location NAME CODE [TYPE]"},
      {std::string(base) + "location L x\n", "f:3: expected: location NAME CODE [TYPE]"},
      {std::string(base) + "location L 1\nlocation L 2\n", "f:4: location L is configured twice"},
  };
  for (const Case& k : cases) {
    std::istringstream in(k.text);
    EXPECT_EQ(norix::parse_config(in, "f", &c, &why), -1) << k.text;
    EXPECT_EQ(why, k.why) << k.text;
  }
}

}  // namespace
