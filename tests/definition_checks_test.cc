// definition_checks_test.cc - the start-up checks of a server's machines,
// on real server processes: each mistake is reported once on standard
// error with its location and configuration line, and refuses the start-up
// under strict; without strict the server runs, and a flow whose start
// state is unknown saves the start state it was given.

#include <gtest/gtest.h>

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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.report);
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::write_file(dir.file("t.conf"), HEAD + "strict\n" + c.locations));
    testkit::ClientResult r = testkit::run(c.program, {dir.file("t.conf")});
    EXPECT_EQ(r.exit.exited ? r.exit.status : -1, 2);
    size_t at = r.err.find(c.report);
    EXPECT_TRUE(at != std::string::npos && r.err.find(c.report, at + 1) == std::string::npos)
        << r.err;
  }
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
