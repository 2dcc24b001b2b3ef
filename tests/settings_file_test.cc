// settings_file_test.cc - reading settings files: header and comment
// sections, record and value rules, malformed input, the advisory locks,
// single items, and item lists built from a live server's names.

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fsm/fsm.h"
#include "save_restore/sr_func.h"
#include "tests/support/settings_files.h"

namespace {

using Item = std::tuple<std::string, std::string, int>;
using sr_test::TempDir;

std::vector<Item> items_of(const std::vector<sr_data*>& list) {
  std::vector<Item> out;
  for (const sr_data* d : list)
    out.emplace_back(d->name_, d->value_, d->type_);
  return out;
}

class SettingsFile : public ::testing::Test {
 protected:
  // Writes text to a file of the folder and reads it with fill_list.
  std::vector<Item> read_text(const std::string& text, int* rc = nullptr) {
    std::string path = dir.file("in.sr");
    sr_test::write_file(path, text);
    return read_path(path, rc);
  }

  std::vector<Item> read_path(const std::string& path, int* rc = nullptr) {
    std::vector<sr_data*> list;
    std::vector<sr_data*>* lp = &list;
    error.init();
    int r = fill_list(const_cast<char*>(path.c_str()), &error, &lp);
    if (rc != nullptr) *rc = r;
    std::vector<Item> out = items_of(list);
    clear_list(&list);
    return out;
  }

  std::string error_text() {
    char buf[256];
    return error.get_string(buf, sizeof buf);
  }

  TempDir dir;
  EqData error;
};

const char kSaved[] =
    "//Save_&_Restore//\n"
    " FSM created Save & Restore file;\n"
    " Wed Jun 30 21:49:08 1993\n"
    " ;\n"
    "FAC DEV LOC GAIN\t2\t1.5\t;\n"
    "FAC DEV LOC COUNT\t1\t-3\t;\n"
    "FAC DEV LOC2 NAME\t3\ttwo words\t;\n";

TEST_F(SettingsFile, FileAsSavedReadsBackEveryRecord) {
  int rc = -1;
  EXPECT_EQ(read_text(kSaved, &rc), (std::vector<Item>{{"FAC/DEV/LOC/GAIN", "1.5", 2},
                                                       {"FAC/DEV/LOC/COUNT", "-3", 1},
                                                       {"FAC/DEV/LOC2/NAME", "two words", 3}}));
  EXPECT_EQ(rc, 0);
  // The parts land in their places: the second word is the device, the
  // third the location.
  EqAdr adr;
  adr.adr("FAC/DEV/LOC2/NAME");
  EXPECT_STREQ(adr.device(), "DEV");
  EXPECT_STREQ(adr.location(), "LOC2");
}

TEST_F(SettingsFile, TwoCommentSectionsClosedByLoneSemicolonsAreSkipped) {
  const std::vector<Item> one = {{"F/D/L/P", "5", 1}};
  EXPECT_EQ(read_text("//Save_&_Restore// first comment ;\n second ;\nF D L P\t1\t5\t;\n"), one);
  EXPECT_EQ(read_text("//Save_&_Restore// ; ; F D L P 1 5 ;"), one);
  // Only the exact line and date of a saved file stand for both sections;
  // a first section that merely starts like it is followed by a second.
  EXPECT_EQ(read_text("//Save_&_Restore// FSM created Save & Restore file; note ;\n"
                      " x ;\nF D L P\t1\t5\t;\n"),
            one);
  EXPECT_EQ(read_text("//Save_&_Restore// FSM created Save & Restore file;\n"
                      " Wed Jun 30 21:49:08 1993 extra ;\n x ;\nF D L P\t1\t5\t;\n"),
            one);
  EXPECT_EQ(read_text("//Save_&_Restore_R_O// FSM created Save & Restore file;\n"
                      " Wed Jun 30 21:49:08 1993\n ;\nF D L P\t1\t5\t;\n"),
            one);
}

TEST_F(SettingsFile, ValueRules) {
  EXPECT_EQ(read_text("//Save_&_Restore// ; ;\n"
                      "F D L EMPTY\t2\t\t;\n"
                      "F D L NONE\t0\t17\t;\n"
                      "F D L WORDS\t3\tone  two\tthree\t;\n"
                      "F D L BLANK\t3\tabc ;\n"
                      "F D L NEWLINE\t3\tabc\n;\n"
                      "F D L LINES\t3\tab\ncd\t;\n"),
            (std::vector<Item>{{"F/D/L/EMPTY", " ", 2},
                               {"F/D/L/NONE", "  ", 0},
                               {"F/D/L/WORDS", "one  two\tthree", 3},
                               {"F/D/L/BLANK", "abc", 3},
                               {"F/D/L/NEWLINE", "abc", 3},
                               {"F/D/L/LINES", "ab\ncd", 3}}));
}

TEST_F(SettingsFile, EndOfFileEndsTheListAndDropsACutRecord) {
  EXPECT_EQ(read_text("//Save_&_Restore//"), std::vector<Item>{});
  EXPECT_EQ(read_text("//Save_&_Restore// a ; b ;\n"), std::vector<Item>{});
  for (const char* tail : {"F D L Q", "F D L Q 2", "F D L Q 2 7", "F D L Q 2 7 "}) {
    SCOPED_TRACE(tail);
    EXPECT_EQ(read_text(std::string("//Save_&_Restore// ; ;\nF D L P\t1\t5\t;\n") + tail),
              (std::vector<Item>{{"F/D/L/P", "5", 1}}));
  }
}

TEST_F(SettingsFile, OverlongOrMalformedRecordsAreDroppedAndReadingGoesOn) {
  const std::string f64(64, 'f');
  const std::string v255(255, 'v');
  const std::string kept = "F D L OK\t1\t1\t;\n";
  std::string text = "//Save_&_Restore// " + std::string(5000, 'c') + " ; ;\n" +  //
                     std::string(65, 'f') + " D L LONGFAC\t1\t1\t;\n" + kept +    //
                     f64 + " D L FAC64\t1\t1\t;\n" +                              //
                     "F D L LONGVAL\t3\t" + std::string(256, 'v') + "\t;\n" + kept +
                     "F D L VAL255\t3\t" + v255 + "\t;\n" +  //
                     "F D L BADTYPE\tx2\t9\t;\n" + kept +    //
                     "F D L HUGETYPE\t99999999999\t9\t;\n" + kept + "F D L NOEND\t3\t" +
                     std::string(100000, 'n');
  EXPECT_EQ(read_text(text), (std::vector<Item>{{"F/D/L/OK", "1", 1},
                                                {f64 + "/D/L/FAC64", "1", 1},
                                                {"F/D/L/OK", "1", 1},
                                                {"F/D/L/VAL255", v255, 3},
                                                {"F/D/L/OK", "1", 1},
                                                {"F/D/L/OK", "1", 1}}));
}

// A zero byte cuts a word short as text: a field could come out empty, and
// sr_save would then write a record that reads back shifted into the next.
TEST_F(SettingsFile, RecordsHoldingAZeroByteAreDroppedAndSavedFilesReadBackWhole) {
  using namespace std::string_literals;
  const std::string kept = "F D L OK\t1\t1\t;\n";
  std::string text = "//Save_&_Restore//\n c ;\n ;\n"s +      //
                     "FA \0\1\0V LOC P\t1\t1\t;\n"s + kept +  // device
                     "F D L TYPE\t1\0x\t1\t;\n"s + kept +     // type word
                     "F D L WORD\t3\tab\0c\t;\n"s + kept +    // value word
                     "F D L REST\t3\tab c\0d\t;\n"s + kept +  // rest of the value
                     "F D L LAST\t3\tx\t;\n";
  std::string src = dir.file("zero.sr");
  sr_test::write_file(src, text);
  const std::vector<Item> expected = {{"F/D/L/OK", "1", 1},
                                      {"F/D/L/OK", "1", 1},
                                      {"F/D/L/OK", "1", 1},
                                      {"F/D/L/OK", "1", 1},
                                      {"F/D/L/LAST", "x", 3}};
  EXPECT_EQ(read_path(src), expected);

  FSMstate nobody("nobody", "knows no data", 0);  // every item keeps its file value
  std::string saved = dir.file("saved.sr");
  EXPECT_EQ(sr_save(&src[0], &saved[0], &error, &nobody), 0);
  EXPECT_EQ(read_path(saved), expected);
}

TEST_F(SettingsFile, OpenFailuresReportTheirCodeAndLeaveNothingBehind) {
  struct Case {
    const char* text;  // null: no such file
    int code;
    const char* message;
  };
  const Case cases[] = {{nullptr, SR_ERR_OPEN, "open err"},
                        {"", SR_ERR_READ, "read err"},
                        {" \n\t ", SR_ERR_READ, "read err"},
                        {"//Save_&_Restore F D L P 1 5 ;", SR_ERR_NOT_SR, "not sr file"}};
  int fds = sr_test::open_fd_count();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::string path = dir.file("bad.sr");
    unlink(path.c_str());
    if (c.text != nullptr) sr_test::write_file(path, c.text);
    sr_data* sentinel = new sr_data{nullptr, nullptr, 42};
    std::vector<sr_data*> list{sentinel};
    std::vector<sr_data*>* lp = &list;
    error.init();
    EXPECT_EQ(fill_list(const_cast<char*>(path.c_str()), &error, &lp), 1);
    EXPECT_EQ(list, std::vector<sr_data*>{sentinel});
    EXPECT_EQ(error.error(), c.code);
    EXPECT_EQ(error_text(), c.message);
    if (c.text != nullptr) {
      EXPECT_TRUE(sr_test::other_process_can_lock(path));
    }
    EXPECT_EQ(sr_test::open_fd_count(), fds);
    clear_list(&list);
  }
}

TEST_F(SettingsFile, ReadingLeavesNoLockOrDescriptorBehind) {
  std::string path = dir.file("ok.sr");
  sr_test::write_file(path, kSaved);
  int fds = sr_test::open_fd_count();
  EXPECT_EQ(read_path(path).size(), 3u);
  EXPECT_TRUE(sr_test::other_process_can_lock(path));
  EXPECT_EQ(sr_test::open_fd_count(), fds);
}

TEST_F(SettingsFile, ReadingWaitsForAWriterHoldingAnExclusiveLock) {
  std::string path = dir.file("locked.sr");
  sr_test::write_file(path, "half written");
  sr_test::LockHolder writer(path, "//Save_&_Restore// ; ;\nF D L P\t1\t5\t;\n");
  ASSERT_TRUE(writer.wait_locked());

  std::vector<Item> got;
  int rc = -1;
  std::thread reader([&] { got = read_path(path, &rc); });
  bool waited = sr_test::eventually([&] { return sr_test::this_process_waits_for_lock(path); });
  bool released = writer.rewrite_and_release();  // always, so that the reader can finish
  reader.join();

  EXPECT_TRUE(waited);
  EXPECT_TRUE(released);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(got, (std::vector<Item>{{"F/D/L/P", "5", 1}}));
  EXPECT_TRUE(sr_test::other_process_can_lock(path));
}

TEST_F(SettingsFile, GetItemCopiesTheNumberedRecord) {
  std::string path = dir.file("items.sr");
  sr_test::write_file(path, kSaved);
  char* file = const_cast<char*>(path.c_str());
  sr_data item{nullptr, nullptr, -7};
  sr_data* ip = &item;
  EXPECT_EQ(get_item(file, 0, &ip), 1);
  EXPECT_EQ(get_item(file, 4, &ip), 1);
  EXPECT_EQ(get_item(const_cast<char*>(dir.file("none.sr").c_str()), 1, &ip), 1);
  EXPECT_EQ(item.name_, nullptr);
  EXPECT_EQ(item.type_, -7);

  ASSERT_EQ(get_item(file, 3, &ip), 0);
  EXPECT_EQ(Item(item.name_, item.value_, item.type_), Item("FAC/DEV/LOC2/NAME", "two words", 3));
  delete[] item.name_;
  delete[] item.value_;
  ASSERT_EQ(get_item(file, 1, &ip), 0);
  EXPECT_EQ(Item(item.name_, item.value_, item.type_), Item("FAC/DEV/LOC/GAIN", "1.5", 2));
  delete[] item.name_;
  delete[] item.value_;
}

// --- item lists from a live server ----------------------------------------

class ServerNames : public ::testing::Test {
 protected:
  ServerNames() : first("NAME = location"), second("NAME = location") {
    if (norix_call == nullptr) norix_call = new EqCall();
    norix::clear_served();
    norix::set_server("FAC", "DEV");
    first.set_name("FIRST");
    second.set_name("SECOND");
    norix::serve_location(&first);
    norix::serve_location(&second);
  }
  ~ServerNames() override {
    norix::clear_served();
    clear_list(&list);
  }

  int fill(const char* svr, int op) { return fill_struct(const_cast<char*>(svr), &list, op); }

  EqFct first;
  norix::D_value<int> a1{"A1 first int", &first};
  norix::D_value<float> flow{"FLOW_1 a flow", &first};
  norix::D_value<float> a2{"A2 after the flow", &first};
  EqFct second;
  D_string b1{"B1 text", &second};
  std::vector<sr_data*> list;
};

TEST_F(ServerNames, OpZeroTakesThePropertiesAfterTheFirstFlow) {
  EXPECT_EQ(fill("FAC/DEV/FIRST", 0), 0);
  EXPECT_EQ(items_of(list), (std::vector<Item>{{"FAC/DEV/FIRST/A2", "", 2}}));
  EXPECT_EQ(fill("FAC/DEV/SECOND", 0), 0);
  EXPECT_EQ(list.size(), 1u);  // no flow property: nothing taken
}

TEST_F(ServerNames, OtherOpTakesEveryPropertyButFlowsOfEveryLocation) {
  EXPECT_EQ(fill("FAC/DEV", 1), 0);
  EXPECT_EQ(items_of(list), (std::vector<Item>{{"FAC/DEV/FIRST/A1", "", 1},
                                               {"FAC/DEV/FIRST/A2", "", 2},
                                               {"FAC/DEV/SECOND/B1", "", 3}}));
}

TEST_F(ServerNames, FailedNamesRequestAppendsAnErrorItem) {
  EXPECT_EQ(fill("FAC/DEV/NOWHERE", 1), 1);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_STREQ(list[0]->name_, "FAC/DEV/NOWHERE/*");
  EXPECT_STRNE(list[0]->value_, "");
  EXPECT_EQ(list[0]->type_, 0);
}

}  // namespace
