// archiver_test.cc - a machine's history archive: its file names, the
// booking of the location's history properties by every superstate at
// initialisation, and samples written through routed handles.

#include <gtest/gtest.h>
#include <unistd.h>

#include "testkit/testkit.h"

namespace {

D_hist* first = nullptr;  // made by create_archived, owned by its machine

// Root with a nested superstate: both book the location's histories.
void create_archived(EqFSMlocation* loc) {
  first = new D_hist("H1 first history", loc);
  loc->norix_data = {new norix::D_value<int>("IVAL an int", loc), first,
                     new D_hist("H2 second history", loc)};
  loc->state_ptr->add_state(0, new FSMsuperstate(loc, "nested", "", 5));
}

TEST(Archiver, EverySuperstateBooksTheHistoriesAndSamplesReachTheDataFile) {
  testkit::TempDir dir;
  ASSERT_EQ(0, chdir(dir.path().c_str()));  // the archive files land here
  testkit::Machine m("TOP", "archived", create_archived, "FSM \tM\n");
  ASSERT_EQ(0, m.start());
  FSMrootstate* root = m.root();
  ASSERT_NE(nullptr, root->atdsp);
  EXPECT_EQ("M.hist", root->atdsp->hist_file());
  EXPECT_EQ("M.data", root->atdsp->data_file());
  EXPECT_EQ(2, first->booked_count());  // once by the root, once by "nested"
  EXPECT_EQ("TOP/H1\nTOP/H2\n", testkit::read_file(dir.file("M.hist")));
  EXPECT_EQ(0, root->data_set(root->data_open("H1", 0), 5, 0));
  std::string data = testkit::read_file(dir.file("M.data"));
  EXPECT_EQ(0u, data.find("TOP/H1 ")) << data;
  EXPECT_NE(std::string::npos, data.find(" 5 0\n")) << data;
}

TEST(Archiver, LongMachineNamesAreCutAndNoHistoryMakesNoArchive) {
  testkit::TempDir dir;
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  testkit::Machine m("LONG", "archived", create_archived, "FSM \t" + std::string(100, 'n') + "\n");
  ASSERT_EQ(0, m.start());
  EXPECT_EQ(std::string(79, 'n'), m.root()->atdsp->hist_file());
  testkit::Machine plain("PLAIN", "plain", [](EqFSMlocation*) {});
  ASSERT_EQ(0, plain.start());
  EXPECT_EQ(nullptr, plain.root()->atdsp);
}

}  // namespace
