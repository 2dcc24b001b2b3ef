// archiver_test.cc - the machine's history archive: file names, booking of
// the location's history properties by each of its superstates, and samples
// fed by routed writes.

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "testkit/testkit.h"

namespace {

D_hist* h1 = nullptr;  // made by create_recorder, owned by its location
D_hist* h2 = nullptr;

// Machine "recorder": two history properties and an int; a superstate of
// the same location below the root.
void create_recorder(EqFSMlocation* loc) {
  h1 = new D_hist("H1 first history", loc);
  h2 = new D_hist("H2 second history", loc);
  loc->norix_data = {new norix::D_value<int>("IVAL an int", loc), h1, h2};
  loc->state_ptr->add_state(0, new FSMsuperstate(loc, "nested", "", 5));
}

void create_plain(EqFSMlocation* loc) {
  loc->norix_data.push_back(new norix::D_value<int>("IVAL an int", loc));
}

// Runs each test in a fresh folder, where the archive files land.
class Archiver : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(chdir(dir_.path().c_str()), 0); }
  testkit::TempDir dir_;
};

}  // namespace

TEST_F(Archiver, NamedAfterTheMachineCutTo79CharactersAndMadeOnce) {
  struct Case {
    std::string machine;
    std::string hist;
    std::string data;
  };
  const std::string fits(74, 'm');
  const std::string cut(100, 'n');
  for (const Case& c : {Case{"M", "M.hist", "M.data"}, Case{fits, fits + ".hist", fits + ".data"},
                        Case{cut, cut.substr(0, 79), cut.substr(0, 79)}}) {
    testkit::Machine m("TOP", "plain", create_plain, "FSM \t" + c.machine + "\n");
    m.root()->init_archiver();
    ArchiveFile* made = m.root()->atdsp;
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->hist_file(), c.hist);
    EXPECT_EQ(made->data_file(), c.data);
    m.root()->init_archiver();
    EXPECT_EQ(m.root()->atdsp, made);
  }
}

TEST_F(Archiver, EachSuperstateOfTheLocationBooksItsHistoriesOnce) {
  testkit::Machine m("TOP", "recorder", create_recorder, "FSM \tM\n");
  ASSERT_EQ(m.start(), 0);
  ASSERT_NE(m.root()->atdsp, nullptr);
  EXPECT_EQ(h1->booked_count(), 2);
  EXPECT_EQ(h2->booked_count(), 2);
  EXPECT_EQ(h1->archive(), m.root()->atdsp);
  EXPECT_EQ(testkit::read_file("M.hist"), "TOP/H1\nTOP/H2\n");
  // Routed writes reach the archive under the location's name.
  time_t before = time(nullptr);
  EXPECT_EQ(m.root()->data_set(m.root()->data_open("H1", 0), 5, 0), 0);
  long tm = 0;
  char name[32];
  float value = 0;
  int status = -1;
  std::string data = testkit::read_file("M.data");
  ASSERT_EQ(sscanf(data.c_str(), "%31s %ld %f %d", name, &tm, &value, &status), 4) << data;
  EXPECT_STREQ(name, "TOP/H1");
  EXPECT_GE(tm, before);
  EXPECT_EQ(value, 5.0f);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(data.find('\n'), data.size() - 1);
}

TEST_F(Archiver, NothingToBookOrNoRootMakesNoArchive) {
  testkit::Machine m("TOP", "plain", create_plain);
  EqFSMlocation* orphan = m.join("PART", "recorder", create_recorder, "FSM \tNO.SUCH\n");
  testing::internal::CaptureStdout();  // the orphan's diagnostic
  ASSERT_EQ(m.start(), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(m.root()->atdsp, nullptr);
  orphan->state_ptr->init_state();
  EXPECT_EQ(h1->booked_count(), 0);
  FSMrootstate alone(nullptr, "r", "");
  alone.set_root(&alone);
  alone.init_archiver();
  EXPECT_EQ(alone.atdsp, nullptr);
}
