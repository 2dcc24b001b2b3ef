// archiver_test.cc - the machine's history archive: its file names, booking
// of history properties at initialisation, and samples fed by routed writes.

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "fsm/fsm.h"
#include "tests/support/devices.h"

namespace {

using devtest::Site;

std::vector<std::string> lines(const char* file) {
  std::vector<std::string> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

// Runs each test in a fresh directory, where the archive files land.
class Archiver : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/archiver_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(&pattern[0]));
    ASSERT_EQ(0, chdir(pattern.c_str()));
  }
};

TEST_F(Archiver, ArchiveIsNamedAfterTheMachineAndMadeOnce) {
  Site top("TOP", 2);
  top.loc->fsm.set_value("M");
  FSMrootstate* root = top.root();
  root->init_archiver();
  ArchiveFile* first = root->atdsp;
  ASSERT_NE(nullptr, first);
  EXPECT_EQ("M.hist", first->hist_file());
  EXPECT_EQ("M.data", first->data_file());
  root->init_archiver();
  EXPECT_EQ(first, root->atdsp);
}

TEST_F(Archiver, LongMachineNamesAreCutToSeventyNineCharacters) {
  Site fits("FITS", 2);
  std::string name74(74, 'm');
  fits.loc->fsm.set_value(name74.c_str());
  fits.root()->init_archiver();
  EXPECT_EQ(name74 + ".hist", fits.root()->atdsp->hist_file());
  EXPECT_EQ(name74 + ".data", fits.root()->atdsp->data_file());

  Site cut("CUT", 2);
  std::string name100(100, 'n');
  cut.loc->fsm.set_value(name100.c_str());
  cut.root()->init_archiver();
  EXPECT_EQ(std::string(79, 'n'), cut.root()->atdsp->hist_file());
  EXPECT_EQ(std::string(79, 'n'), cut.root()->atdsp->data_file());
}

TEST_F(Archiver, RootWithoutLocationMakesNoArchive) {
  FSMrootstate root(nullptr, "r", "");
  root.set_root(&root);
  root.init_archiver();
  EXPECT_EQ(nullptr, root.atdsp);
}

TEST_F(Archiver, EverySuperstateOfTheLocationBooksItsHistories) {
  Site top("TOP", 2);
  // Destroyed before `top`; its root's flows only forget them.
  FSMsuperstate nested(top.loc, "nested", "", 5);
  FSMsuperstate foreign(nullptr, "foreign", "", 5);
  top.loc->fsm.set_value("M");
  top.data(new norix::D_value<int>("IVAL an int", top.loc));
  auto* h1 = top.data(new D_hist("H1 first history", top.loc));
  auto* h2 = top.data(new D_hist("H2 second history", top.loc));
  FSMrootstate* root = top.root();
  root->add_state(0, &nested);
  root->add_state(1, &foreign);
  root->set_root(root);
  ASSERT_EQ(0, root->link_state());
  root->init_state();
  ASSERT_NE(nullptr, root->atdsp);
  EXPECT_EQ(2, h1->booked_count());
  EXPECT_EQ(2, h2->booked_count());
  EXPECT_EQ(root->atdsp, h1->archive());
  EXPECT_EQ(root->atdsp, h2->archive());
  EXPECT_EQ(std::vector<std::string>({"TOP/H1", "TOP/H2"}), lines("M.hist"));
  // Routed writes reach the archive under the location's name.
  time_t before = time(nullptr);
  EXPECT_EQ(0, root->data_set(root->data_open("H1", 0), 5, 0));
  time_t after = time(nullptr);
  std::vector<std::string> data = lines("M.data");
  ASSERT_EQ(1u, data.size());
  long tm = 0;
  char name[32];
  float value = 0;
  int status = -1;
  ASSERT_EQ(4, sscanf(data[0].c_str(), "%31s %ld %f %d", name, &tm, &value, &status));
  EXPECT_STREQ("TOP/H1", name);
  EXPECT_GE(tm, before);
  EXPECT_LE(tm, after);
  EXPECT_EQ(5.0f, value);
  EXPECT_EQ(0, status);
}

TEST_F(Archiver, NothingToBookMakesNoArchive) {
  Site top("TOP", 2);
  top.loc->fsm.set_value("M");
  top.data(new norix::D_value<int>("IVAL an int", top.loc));
  top.root()->init_state();
  EXPECT_EQ(nullptr, top.root()->atdsp);
}

TEST_F(Archiver, SuperstateWithoutRootBooksNothing) {
  Site part("PART", 1);
  auto* h = part.data(new D_hist("H a history", part.loc));
  part.state()->init_state();
  EXPECT_EQ(0, h->booked_count());
  EXPECT_EQ(nullptr, h->archive());
}

}  // namespace
