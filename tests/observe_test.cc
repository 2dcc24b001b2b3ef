// observe_test.cc - seeing a machine: its transition trace under real
// engine threads, its picture (GRAPH, drawn by dot) and its model (MODEL,
// read back with jq), reads while it dispatches, and the command line's
// exit codes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "framework/host/server_config.h"
#include "testkit/testkit.h"

namespace {

// Armed, idle's enter action holds the engine in the middle of a switch.
std::atomic<bool> holding{false};
testkit::Gate inside, released;
int hold(FSMstate*) {
  if (holding.exchange(false)) inside.open(), released.wait();
  return 0;
}

// Flow 0: idle, work (a superstate whose flow holds a, b, without history);
// flow 1: x, y. "go" leaves idle and toggles x/y, "step" moves a to b,
// "stop" ends work.
void create_watched(EqFSMlocation* loc) {
  FSMstate* idle = new FSMstate("idle", "", 0);
  FSMsuperstate* work = new FSMsuperstate(nullptr, "work", "", 0);
  FSMstate* a = new FSMstate("a", "", 0);
  FSMstate* b = new FSMstate("b", "", 0);
  FSMstate* x = new FSMstate("x", "", 0);
  FSMstate* y = new FSMstate("y", "", 0);
  idle->add_transition("go", nullptr, nullptr, nullptr, nullptr, "work");
  idle->add_action("enter", hold);
  work->add_transition("stop", nullptr, nullptr, nullptr, nullptr, "idle");
  a->add_transition("step", nullptr, nullptr, nullptr, nullptr, "b");
  x->add_transition("go", nullptr, nullptr, nullptr, nullptr, "y");
  y->add_transition("go", nullptr, nullptr, nullptr, nullptr, "x");
  work->add_state(0, a);
  work->add_state(0, b);
  loc->state_ptr->add_state(0, idle);
  loc->state_ptr->add_state(0, work);
  loc->state_ptr->add_state(1, x);
  loc->state_ptr->add_state(1, y);
}

// A client's read of a property of OBS, whole.
EqData read(const char* property) {
  EqAdr adr;
  adr.adr(testkit::address("OBS", property));
  EqData req, res;
  EqCall call;
  call.get(&adr, &req, &res);
  return res;
}

// TRACE as "number text" lines.
std::vector<std::string> trace() {
  EqData t = read("TRACE");
  std::vector<std::string> out;
  for (int k = 0; k < t.length(); ++k)
    out.push_back(std::to_string(t.get_ustr(k)->i1_data) + " " +
                  t.get_ustr(k)->str_data.str_data_val);
  return out;
}

EqFSMlocation* serve_watched(int trace_size) {
  norix::ServerConfig config;
  config.trace_size = trace_size;
  norix::set_process_config(config);
  EqFSMlocation* loc = testkit::serve({{"OBS", 100, "watched", create_watched}})[0];
  EXPECT_TRUE(testkit::wait_ready(loc));
  return loc;
}

// Posts an event and ticks until the trace holds `count` records.
bool fire(EqFSMlocation* loc, const char* event, size_t count) {
  EXPECT_EQ(0, testkit::client_set(testkit::address("OBS", "EVENT"), event));
  return testkit::wait_until([&] {
    loc->update();
    return trace().size() >= count;
  });
}

}  // namespace

TEST(TransitionTrace, RecordsNestedAndParallelFlowsInOrder) {
  EqFSMlocation* loc = serve_watched(256);
  const std::pair<const char*, size_t> events[] = {
      {"go:*", 2}, {"step:!", 3}, {"stop:*", 4}, {"go:*", 7}};
  for (const auto& e : events)
    ASSERT_TRUE(fire(loc, e.first, e.second)) << e.first;
  EXPECT_EQ(trace(), (std::vector<std::string>{
                         "1 watched/0: idle -> work on go", "2 watched/1: x -> y on go",
                         "3 watched/0/work/0: a -> b on step", "4 watched/0: work -> idle on stop",
                         "5 watched/0: idle -> work on go",
                         "6 watched/0/work/0: b -> a on go",  // re-entered without history
                         "7 watched/1: y -> x on go"}));
  // While an enter action runs, a reader gets no picture rather than one of
  // two moments (idle active with the entry time of its previous entry).
  holding = true;
  ASSERT_TRUE(fire(loc, "stop:*", 8));
  ASSERT_TRUE(inside.wait());
  EqData during = read("MODEL");
  released.open();
  EXPECT_EQ(during.text_value(), "property not readable: the machine kept changing; read again");
  EXPECT_EQ(read("MODEL").error(), 0);
}

// Readers see the ring in order while it wraps, and pictures while the
// machine switches (ThreadSanitizer checks the rest).
TEST(TransitionTrace, ReadsWhileTheMachineDispatches) {
  EqFSMlocation* loc = serve_watched(8);
  std::atomic<bool> stop{false};
  std::thread driver([&] {
    for (int i = 0; !stop; ++i) {
      testkit::client_set(testkit::address("OBS", "EVENT"), i % 3 == 0   ? "go:*"
                                                            : i % 3 == 1 ? "step:!"
                                                                         : "stop:*");
      loc->update();
    }
  });
  long bad = 0, reads = 0, last = 0;
  // Until the ring has wrapped many times under the readers.
  EXPECT_TRUE(testkit::wait_until([&] {
    std::vector<std::string> t = trace();
    bad += t.size() > 8;
    for (size_t i = 1; i < t.size(); ++i)
      bad += std::stol(t[i]) != std::stol(t[i - 1]) + 1;
    if (!t.empty()) last = std::stol(t.back());
    bad += read("MODEL").error() != 0 || read("GRAPH").error() != 0;
    return ++reads >= 200 && last >= 300;
  }));
  stop = true;
  driver.join();
  EXPECT_EQ(bad, 0L);
}

TEST(MachinePicture, GraphDrawsAndModelReadsBackTheActiveStates) {
  for (const char* tool : {"/usr/bin/jq", "/usr/bin/dot"})
    if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
  testkit::Machine m("OBS", "watched", create_watched);
  ASSERT_EQ(0, m.start());
  ASSERT_EQ(0, m.event("go:*"));
  testkit::TempDir dir;
  testkit::write_file(dir.file("m.dot"), m.get("GRAPH"));
  testkit::write_file(dir.file("m.json"), m.get("MODEL"));
  // Every state in tree order, the active ones starred.
  const char* names =
      "[.root|..|objects|select(.name?)|.name+(if .active then \"*\" else \"\" end)]";
  EXPECT_EQ(testkit::run("/usr/bin/jq", {"-c", names, dir.file("m.json")}).out,
            "[\"watched*\",\"idle\",\"work*\",\"a*\",\"b\",\"x\",\"y*\"]\n");
  std::string svg = testkit::run("/usr/bin/dot", {"-Tsvg", dir.file("m.dot")}).out;
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = svg.find(what); at != std::string::npos; at = svg.find(what, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("class=\"node active\""), 2u) << svg;  // a, y
  EXPECT_EQ(count("class=\"cluster active\""), 1u);      // work
}

TEST(CommandLine, HelpVersionAndErrorsExitAsDocumented) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{NORIX_CLIENT_PATH, "--help"}, 0},
      {{NORIX_CLIENT_PATH, "--version"}, 0},
      {{NORIX_CLIENT_PATH, "-s", "unix:/nonexistent/sock", "get", "A/B/C/D"}, 1},
      {{NORIX_CLIENT_PATH, "-s", "unix:/nonexistent/sock", "watch"}, 2},
      {{OVEN_SERVER_PATH, "--help"}, 0},
      {{OVEN_SERVER_PATH, "--version"}, 0},
      {{OVEN_SERVER_PATH}, 2},
  };
  for (const auto& c : cases) {
    testkit::ClientResult r = testkit::run(c.first[0], {c.first.begin() + 1, c.first.end()});
    EXPECT_EQ(r.exit.status, c.second) << c.first.back();
  }
}
