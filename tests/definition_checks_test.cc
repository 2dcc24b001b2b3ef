// definition_checks_test.cc - the start-up checks of a server's machines,
// on real server processes: each mistake is reported once on standard
// error with its location and configuration line, and refuses the start-up
// under strict, and fails a configuration check (--check) with or without
// strict; without strict the server runs, and a flow whose start state is
// unknown saves the start state it was given.

#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "testkit/testkit.h"

namespace {

const std::string HEAD = "server T.FSM T.SERVER\nlisten tcp:127.0.0.1:0\n";
const std::string OVEN = "location OVEN 100 oven\nFSM \toven\n";
const std::string DOOR = "location DOOR 101 door\nFSM \toven\n";

TEST(DefinitionChecks, EachMistakeIsReportedOnceAndStopsAStrictStart) {
  const struct {
    const char* program;
    std::string locations;  // lines 4 on
    std::string report;
  } cases[] = {
      {STRAY_SERVER_PATH, "location S 100 stray\n",
       "t.conf:4: location S: state \"a\": the transition on \"go\" goes to \"nowhere\""},
      {OVEN_SERVER_PATH, OVEN + "FLOW_0 \t1 0 0 0 \"nope\"\n" + DOOR,
       "t.conf:6: location OVEN: state \"oven\" flow 0 starts in \"nope\""},
      {OVEN_SERVER_PATH, OVEN,
       "t.conf:4: location OVEN: state \"oven\" flow 2: the reference \"door\" did not resolve"},
      {STRAY_SERVER_PATH, "location X 100 nosuch\n",
       "t.conf:4: location X: machine type \"nosuch\" is not registered"},
      {STRAY_SERVER_PATH, "location S 100 stray\nlocation S2 100 stray\n",
       "t.conf:5: location S2: machine type \"stray\" is already registered by location S: "},
      {OVEN_SERVER_PATH, OVEN + DOOR + "location D 101 door\nFSM \tno\n",
       "t.conf:9: location D: the machine \"no\" that this superstate location joins (FSM)"},
      {STRAY_SERVER_PATH, "location S 100 stray_timeout\n",
       "t.conf:4: location S: state \"a\": the timeout \"late\" is addressed to \"heatng\", which "
       "is no state"},
      {STRAY_SERVER_PATH, "location S 100 stray_event\n",
       "t.conf:4: location S: state \"a\": the timeout \"too_slo\" goes to \"a\", but no "
       "transition or handler there takes \"too_slo\""},
      {STRAY_SERVER_PATH, "location S 100 stray_signal\n",
       "t.conf:4: location S: state \"a\": the signal \"lokc\" of the transition on \"go\" goes to "
       "\"*\", but no transition or handler there takes \"lokc\""},
      {STRAY_SERVER_PATH, "location S 100 stray_to\n",
       "t.conf:4: location S: state \"a\": the signal \"lock\" of the transition on \"go\" is "
       "addressed to \"dor!b\", which is no state of this machine"},
      {STRAY_SERVER_PATH, "location S 100 stray_start\n",
       "t.conf:4: location S: flow 0: the create function starts it in \"b\" with history, but "
       "the configuration, which decides, has no FLOW_0 line: it starts in \"a\" without "
       "history. Add the line 'FLOW_0 <tab>1 0 0 0 \"b\"'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.report);
    for (const auto& mode :
         {std::make_pair("strict\n", ""), std::make_pair("# checked\n", "--check")}) {
      testkit::TempDir dir;
      const std::string text = HEAD + mode.first + c.locations;
      ASSERT_TRUE(testkit::write_file(dir.file("t.conf"), text));
      std::vector<std::string> args{dir.file("t.conf")};
      if (*mode.second != '\0') args.insert(args.begin(), mode.second);
      testkit::ClientResult r = testkit::run(c.program, args);
      EXPECT_EQ(r.exit.exited ? r.exit.status : -1, 2) << mode.second;
      size_t at = r.err.find(c.report);
      EXPECT_TRUE(at != std::string::npos && r.err.find(c.report, at + 1) == std::string::npos)
          << r.err;
      EXPECT_EQ(testkit::read_file(dir.file("t.conf")), text);
    }
  }
}

std::vector<std::string> files_in(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  if (d != nullptr) closedir(d);
  return names;
}

// --check of a sound configuration starts no engine (the oven's history
// file is made by its engine) and listens nowhere; endpoints in use, a
// settings folder that is none, and a wide endpoint without a secret are
// each reported, alongside the definition checks.
TEST(ConfigurationCheck, ChecksEndpointsAndFolderWithoutTouchingFiles) {
  int busy = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof at;
  ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(busy, 1), 0);
  getsockname(busy, reinterpret_cast<sockaddr*>(&at), &len);
  const std::string port = std::to_string(ntohs(at.sin_port));
  const struct {
    std::string head;
    int status;
    std::string report;
  } cases[] = {
      {"listen unix:@/s\nhttp 127.0.0.1:0\n", 0, ""},
      {"listen tcp:127.0.0.1:" + port + "\n", 2, "listen tcp:127.0.0.1:" + port},
      {"listen tcp:127.0.0.1:0\nhttp 127.0.0.1:" + port + "\n", 2, "http 127.0.0.1:" + port},
      {"listen tcp:0.0.0.0:0\n", 2, "serves other hosts"},
      {"listen unix:@/t.conf\n", 2, "no socket is in the way"},
      {"listen unix:@/s\nsettings @/nowhere\n", 2, "/nowhere: not a folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    testkit::TempDir dir;
    std::string head = c.head;
    for (size_t at = head.find('@'); at != std::string::npos; at = head.find('@'))
      head.replace(at, 1, dir.path());
    const std::string text = "server T.FSM T.SERVER\n" + head + OVEN + DOOR;
    ASSERT_TRUE(testkit::write_file(dir.file("t.conf"), text));
    testkit::ClientResult r = testkit::run(OVEN_SERVER_PATH, {"--check", dir.file("t.conf")});
    EXPECT_EQ(r.exit.exited ? r.exit.status : -1, c.status) << r.err;
    EXPECT_NE(r.err.find(c.report), std::string::npos) << r.err;
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"t.conf"});
    EXPECT_EQ(testkit::read_file(dir.file("t.conf")), text);
  }
  close(busy);
}

// Without strict the server runs; saving keeps a start state that is no
// state, rather than what FLOW_n shows.
TEST(DefinitionChecks, UnknownStartStateIsSavedAsConfigured) {
  for (auto c : {std::make_pair("strict\n" + OVEN + "FLOW_0 \t1 0 0 0 \"idle\"\n", "\"idle : "),
                 std::make_pair(OVEN + "FLOW_0 \t1 0 0 0 \"nope\"\n", "\"nope\"\n")}) {
    testkit::TempDir dir;
    testkit::write_file(dir.file("t.conf"), HEAD + c.first + DOOR);
    testkit::ServerProcess server;
    ASSERT_TRUE(server.start(OVEN_SERVER_PATH, {"t.conf"}, dir.path()));
    ASSERT_TRUE(server.wait_output("listening on"));
    EXPECT_EQ(server.stop().status, 0);
    std::string saved = testkit::read_file(dir.file("t.conf"));
    EXPECT_NE(saved.find(c.second, saved.find("FLOW_0 \t1 ")), std::string::npos) << saved;
  }
}

}  // namespace
