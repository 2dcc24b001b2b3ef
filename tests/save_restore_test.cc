// save_restore_test.cc - saving settings files, restoring them in each mode
// with and without a state, and comparing live values against them.
//
// The properties are served by the framework stand-in's registry at
// FAC/DEV/LOC; files live in a private temporary folder.

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "fsm/fsm.h"
#include "save_restore/sr_func.h"
#include "tests/support/devices.h"
#include "tests/support/settings_files.h"

namespace {

using sr_test::TempDir;

// A float property that counts client reads and writes; on_get runs at the
// start of every read (on the caller's thread, under norix_mux).
class CountingFloat : public norix::D_value<float> {
 public:
  using norix::D_value<float>::D_value;
  void get(EqAdr* a, EqData* req, EqData* res, EqFct* loc) override {
    gets.fetch_add(1);
    if (on_get) on_get();
    norix::D_value<float>::get(a, req, res, loc);
  }
  void set(EqAdr* a, EqData* value, EqData* res, EqFct* loc) override {
    sets.fetch_add(1);
    norix::D_value<float>::set(a, value, res, loc);
  }
  std::atomic<int> gets{0};
  std::atomic<int> sets{0};
  std::function<void()> on_get;
};

// A state whose text data operations are served from a table and recorded.
// Items are found by name; handles are table positions.
class RecordingState : public FSMstate {
 public:
  RecordingState() : FSMstate("rec", "records its data calls", 0) {}
  using FSMstate::data_get;
  using FSMstate::data_set;

  int data_open(const char* namep, int flag) override {
    note("open", -1, flag, namep);
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i].first == namep) return static_cast<int>(i);
    }
    return -1;
  }
  int data_lock(int handle, int flag) override { return note("lock", handle, flag); }
  int data_unlock(int handle, int flag) override { return note("unlock", handle, flag); }
  int data_get(int handle, char** ds, int flag) override {
    note("get", handle, flag);
    if (handle == failing_get) return -1;
    const std::string& text = items[static_cast<size_t>(handle)].second;
    if (*ds == nullptr) *ds = new char[text.size() + 1];
    memcpy(*ds, text.c_str(), text.size() + 1);
    return 0;
  }
  int data_set(int handle, char* ds, int flag) override {
    note("set", handle, flag, ds);
    items[static_cast<size_t>(handle)].second = ds;
    return 0;
  }

  std::vector<std::pair<std::string, std::string>> items;
  int failing_get = -1;
  std::vector<std::string> trace;

 private:
  int note(const char* what, int handle, int flag, const char* text = nullptr) {
    std::string t = what;
    if (handle >= 0) t += ":" + std::to_string(handle);
    if (text != nullptr) t += std::string(handle >= 0 ? "=" : ":") + text;
    if (flag != 0) t += " flag " + std::to_string(flag);
    trace.push_back(t);
    return 0;
  }
};

class SaveRestore : public ::testing::Test {
 protected:
  SaveRestore() : loc("NAME = location") {
    if (norix_call == nullptr) norix_call = new EqCall();
    norix::clear_served();
    norix::set_server("FAC", "DEV");
    loc.set_name("LOC");
    norix::serve_location(&loc);
    gain.set_value(1.5f);
    count.set_value(4);
    name.set_value("abc");
  }
  ~SaveRestore() override { norix::clear_served(); }

  // Writes a settings file of the given records ("PROP\tTYPE\tVALUE" each,
  // at FAC/DEV/LOC) and returns its path as the library takes it.
  char* settings(const std::string& file, const std::vector<std::string>& records) {
    std::string text = "//Save_&_Restore//\n comment ;\n ;\n";
    for (const std::string& r : records)
      text += "FAC DEV LOC " + r + "\t;\n";
    paths.push_back(dir.file(file));
    sr_test::write_file(paths.back(), text);
    return const_cast<char*>(paths.back().c_str());
  }

  std::vector<std::string> read_back(const char* path, int* rc = nullptr) {
    std::vector<sr_data*> list;
    std::vector<sr_data*>* lp = &list;
    EqData e;
    int r = fill_list(const_cast<char*>(path), &e, &lp);
    if (rc != nullptr) *rc = r;
    std::vector<std::string> out;
    for (const sr_data* d : list)
      out.push_back(std::string(d->name_) + "=" + d->value_);
    clear_list(&list);
    return out;
  }

  static std::string text_of(EqData* d) {
    char buf[256];
    return d->get_string(buf, sizeof buf);
  }

  static EqData control(int method, float f1, float f2, float f3) {
    EqData d;
    d.set(IFFF{method, f1, f2, f3});
    return d;
  }

  TempDir dir;
  std::deque<std::string> paths;  // a deque keeps the c_str() of earlier paths valid
  EqFct loc;
  CountingFloat gain{"GAIN gain", &loc};
  norix::D_value<int> count{"COUNT count", &loc};
  D_string name{"NAME name", &loc};
  EqData data;
};

std::string saved_header(time_t t) {
  char date[64];
  ctime_r(&t, date);
  return std::string("//Save_&_Restore//\n FSM created Save & Restore file;\n ") + date + " ;\n";
}

// --- saving ----------------------------------------------------------------

TEST_F(SaveRestore, SaveWritesPresentValuesInSourceOrderAndReadsBackWhole) {
  char* src = settings("src.sr", {"GAIN\t2\t0", "NAME\t3\told", "COUNT\t1\t0"});
  std::string dest = dir.file("dest.sr");
  time_t before = time(nullptr);
  EXPECT_EQ(sr_save(src, const_cast<char*>(dest.c_str()), &data, nullptr), 0);
  time_t after = time(nullptr);

  std::string records =
      "FAC DEV LOC GAIN\t2\t1.5\t;\nFAC DEV LOC NAME\t3\tabc\t;\nFAC DEV LOC COUNT\t1\t4\t;\n";
  std::string got = sr_test::read_file(dest);
  EXPECT_TRUE(got == saved_header(before) + records || got == saved_header(after) + records) << got;
  EXPECT_EQ(read_back(dest.c_str()), (std::vector<std::string>{
                                         "FAC/DEV/LOC/GAIN=1.5",
                                         "FAC/DEV/LOC/NAME=abc",
                                         "FAC/DEV/LOC/COUNT=4",
                                     }));
  EXPECT_EQ(dir.entry_count(), 2);  // no temporary file left
  EXPECT_EQ(data.error(), 0);
}

TEST_F(SaveRestore, SaveOntoItsOwnSourceLosesNothing) {
  // Larger than one buffer of the reader, so that nothing is read from memory.
  std::vector<std::string> records;
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    records.push_back(i % 2 == 0 ? "GAIN\t2\t0" : "COUNT\t1\t0");
    expected.push_back(i % 2 == 0 ? "FAC/DEV/LOC/GAIN=1.5" : "FAC/DEV/LOC/COUNT=4");
  }
  char* src = settings("same.sr", records);
  EXPECT_EQ(sr_save(src, src, &data, nullptr), 0);
  EXPECT_EQ(read_back(src), expected);
  EXPECT_EQ(dir.entry_count(), 1);
  EXPECT_TRUE(sr_test::other_process_can_lock(src));
}

TEST_F(SaveRestore, SaveReplacesTheDestinationLikeAPlainWrite) {
  char* src = settings("src.sr", {"GAIN\t2\t0"});
  std::string target = dir.file("target.sr");
  std::string link = dir.file("link.sr");
  sr_test::write_file(target, "old contents");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

  EXPECT_EQ(sr_save(src, const_cast<char*>(link.c_str()), &data, nullptr), 0);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(read_back(target.c_str()), std::vector<std::string>{"FAC/DEV/LOC/GAIN=1.5"});
  EXPECT_EQ(dir.entry_count(), 3);
}

TEST_F(SaveRestore, ReadersNeverSeeAHalfWrittenDestination) {
  std::vector<std::string> records;
  for (int i = 0; i < 200; ++i)
    records.push_back("COUNT\t1\t0");
  char* src = settings("src.sr", records);
  std::string dest = dir.file("dest.sr");
  ASSERT_EQ(sr_save(src, const_cast<char*>(dest.c_str()), &data, nullptr), 0);

  std::atomic<bool> done{false};
  std::vector<size_t> bad_sizes;
  std::thread reader([&] {
    while (!done.load()) {
      int rc = -1;
      size_t n = read_back(dest.c_str(), &rc).size();
      if (rc != 0 || n != records.size()) bad_sizes.push_back(n);
    }
  });
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(sr_save(src, const_cast<char*>(dest.c_str()), &data, nullptr), 0);
  }
  done.store(true);
  reader.join();
  EXPECT_EQ(bad_sizes, std::vector<size_t>{});
}

TEST_F(SaveRestore, SaveEndsWithTheRecordWhoseReadFailed) {
  char* src = settings("src.sr", {"GAIN\t2\t0", "MISSING\t2\t7", "COUNT\t1\t0"});
  std::string dest = dir.file("dest.sr");
  EXPECT_EQ(sr_save(src, const_cast<char*>(dest.c_str()), &data, nullptr), 1);
  std::vector<std::string> got = read_back(dest.c_str());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "FAC/DEV/LOC/GAIN=1.5");
  EXPECT_EQ(got[1].rfind("FAC/DEV/LOC/MISSING=", 0), 0u);
  EXPECT_NE(got[1], "FAC/DEV/LOC/MISSING=7");
  EXPECT_EQ(data.error(), 0);

  // Onto its own source, a failed save leaves the source as it was.
  std::string before = sr_test::read_file(src);
  EXPECT_EQ(sr_save(src, src, &data, nullptr), 1);
  EXPECT_EQ(sr_test::read_file(src), before);
  EXPECT_EQ(dir.entry_count(), 2);
  EXPECT_TRUE(sr_test::other_process_can_lock(src));
}

TEST_F(SaveRestore, SaveKeepsTheOldValueOfAnUnstorableText) {
  name.set_value("a;b");
  char* src = settings("src.sr", {"NAME\t3\told", "GAIN\t2\t0"});
  EXPECT_EQ(sr_save(src, src, &data, nullptr), 1);
  EXPECT_EQ(read_back(src),
            (std::vector<std::string>{"FAC/DEV/LOC/NAME=old", "FAC/DEV/LOC/GAIN=1.5"}));
}

TEST_F(SaveRestore, SaveFailuresLeaveNoLockOrDescriptor) {
  int fds = sr_test::open_fd_count();
  std::string missing = dir.file("missing.sr");
  std::string dest = dir.file("dest.sr");
  EXPECT_EQ(
      sr_save(const_cast<char*>(missing.c_str()), const_cast<char*>(dest.c_str()), &data, nullptr),
      1);
  EXPECT_EQ(data.error(), SR_ERR_OPEN);

  char* src = settings("src.sr", {"GAIN\t2\t0"});
  data.init();
  std::string nowhere = dir.file("no/such/folder.sr");
  EXPECT_EQ(sr_save(src, const_cast<char*>(nowhere.c_str()), &data, nullptr), 1);
  EXPECT_EQ(data.error(), 0);
  EXPECT_TRUE(sr_test::other_process_can_lock(src));
  EXPECT_EQ(sr_test::open_fd_count(), fds);
  EXPECT_EQ(dir.entry_count(), 1);
}

TEST_F(SaveRestore, SaveThroughAStateReadsEachKnownItemUnderItsLock) {
  RecordingState st;
  st.items = {{"GAIN", "2.5"}, {"NAME", std::string(300, 'x')}, {"BROKEN", "?"}};
  st.failing_get = 2;
  char* src = settings("src.sr", {"GAIN\t2\t0", "GONE\t1\t9", "NAME\t3\tx", "BROKEN\t1\t8"});
  EXPECT_EQ(sr_save(src, src, &data, &st), 0);
  EXPECT_EQ(st.trace,
            (std::vector<std::string>{"open:GAIN", "lock:0", "get:0", "unlock:0", "open:GONE",
                                      "open:NAME", "lock:1", "get:1", "unlock:1", "open:BROKEN",
                                      "lock:2", "get:2", "unlock:2"}));
  EXPECT_EQ(read_back(src), (std::vector<std::string>{
                                "FAC/DEV/LOC/GAIN=2.5",
                                "FAC/DEV/LOC/GONE=9",
                                "FAC/DEV/LOC/NAME=" + std::string(255, 'x'),
                                "FAC/DEV/LOC/BROKEN=8",
                            }));
  EXPECT_EQ(gain.gets.load(), 0);
}

// --- restoring ---------------------------------------------------------------

TEST_F(SaveRestore, RestoreSetsEveryPropertyFromTheFile) {
  char* src = settings("src.sr", {"GAIN\t2\t-2.5", "COUNT\t1\t12", "NAME\t3\thello  world"});
  EXPECT_EQ(restore_all(src, &data, SR_SET_FROM_FILE, 1, nullptr), 0);
  EXPECT_EQ(gain.value(), -2.5f);
  EXPECT_EQ(count.value(), 12);
  EXPECT_STREQ(name.value(), "hello  world");
  EXPECT_TRUE(sr_test::other_process_can_lock(src));
}

TEST_F(SaveRestore, RestoreAddsTheCallersNumber) {
  data.set(2.25f);
  char* src = settings("src.sr", {"GAIN\t2\t1.5", "NAME\t3\t100"});
  EXPECT_EQ(restore_all(src, &data, SR_ADD_FROM_DATA, 1, nullptr), 0);
  EXPECT_EQ(gain.value(), 3.75f);
  EXPECT_STREQ(name.value(), "2.25");  // the file's part of a text counts as 0
}

TEST_F(SaveRestore, FailedWriteDoesNotChangeTheValueForLaterItems) {
  data.set("42");
  char* src = settings("src.sr", {"GAIN\t2\t0", "MISSING\t2\t0", "COUNT\t1\t0", "NAME\t3\tx"});
  EXPECT_EQ(restore_all(src, &data, SR_SET_FROM_DATA, 0, nullptr), 0);
  EXPECT_EQ(gain.value(), 42.0f);
  EXPECT_EQ(count.value(), 42);
  EXPECT_STREQ(name.value(), "42");
  EXPECT_EQ(data.error(), ERR_NO_PROPERTY);  // the failed answer is passed on

  data.init();
  data.set("7");
  EXPECT_EQ(restore_all(src, &data, SR_SET_FROM_DATA, 1, nullptr), 1);
  EXPECT_EQ(gain.value(), 7.0f);
  EXPECT_EQ(count.value(), 42);  // not reached
  EXPECT_EQ(data.error(), ERR_NO_PROPERTY);
}

TEST_F(SaveRestore, TextThatDoesNotFitTheTypeIsNotWrittenAsZero) {
  char* src = settings("src.sr", {"COUNT\t1\tabc", "GAIN\t2\t6.5"});
  EXPECT_EQ(restore_all(src, &data, SR_SET_FROM_FILE, 0, nullptr), 0);
  EXPECT_EQ(count.value(), 4);
  EXPECT_EQ(gain.value(), 6.5f);
  EXPECT_EQ(data.error(), ERR_WRONG_TYPE);
  data.init();
  EXPECT_EQ(restore_all(src, &data, SR_SET_FROM_FILE, 1, nullptr), 1);
  EXPECT_EQ(count.value(), 4);
}

TEST_F(SaveRestore, CheckAndCorrectWritesOnlyDifferingProperties) {
  name.set_value("a\tb");
  count.set_value(5);
  char* src = settings("src.sr", {"GAIN\t2\t1.5", "NAME\t3\ta b", "COUNT\t1\t4", "MISSING\t1\t1"});
  EXPECT_EQ(restore_all(src, &data, SR_CHECK_CORRECT, 1, nullptr), 0);
  EXPECT_EQ(gain.sets.load(), 0);
  EXPECT_STREQ(name.value(), "a\tb");
  EXPECT_EQ(count.value(), 4);
  EXPECT_EQ(data.error(), 0);  // an unreadable property is skipped silently
}

TEST_F(SaveRestore, CompareOptionsRestoreNothing) {
  char* src = settings("src.sr", {"GAIN\t2\t9", "COUNT\t1\t9"});
  EXPECT_EQ(restore_all(src, &data, SR_COMP_CORRECT, 1, nullptr), 0);
  EXPECT_EQ(restore_all(src, &data, SR_COMP_NOT_CORRECT, 1, nullptr), 0);
  EXPECT_EQ(gain.value(), 1.5f);
  EXPECT_EQ(count.value(), 4);
  EXPECT_EQ(gain.gets.load() + gain.sets.load(), 0);
}

TEST_F(SaveRestore, RestoreOfAnUnreadableFileReportsWhy) {
  int fds = sr_test::open_fd_count();
  std::string bad = dir.file("bad.sr");
  sr_test::write_file(bad, "//Save_&_Restore");
  EXPECT_EQ(restore_all(const_cast<char*>(bad.c_str()), &data, SR_SET_FROM_FILE, 0, nullptr), 1);
  EXPECT_EQ(data.error(), SR_ERR_NOT_SR);
  EXPECT_TRUE(sr_test::other_process_can_lock(bad));
  EXPECT_EQ(sr_test::open_fd_count(), fds);
}

TEST_F(SaveRestore, RestoreThroughAStateSkipsOrStopsAtUnknownNames) {
  RecordingState st;
  st.items = {{"GAIN", "1"}, {"COUNT", "2"}};
  char* src = settings("src.sr", {"GAIN\t2\t1.5", "GONE\t1\t9", "COUNT\t1\t4"});
  EXPECT_EQ(restore_all(src, &data, SR_SET_FROM_FILE, 0, &st), 0);
  EXPECT_EQ(st.trace,
            (std::vector<std::string>{"open:GAIN", "lock:0", "set:0=1.5", "unlock:0", "open:GONE",
                                      "open:COUNT", "lock:1", "set:1=4", "unlock:1"}));
  EXPECT_STREQ(st.get_error(), "");

  st.trace.clear();
  data.set(2.25f);
  EXPECT_EQ(restore_all(src, &data, SR_ADD_FROM_DATA, 1, &st), 1);
  EXPECT_EQ(st.trace, (std::vector<std::string>{"open:GAIN", "lock:0", "set:0=3.75", "unlock:0",
                                                "open:GONE"}));
  EXPECT_STREQ(st.get_error(), "GONE not found");
  EXPECT_EQ(gain.sets.load(), 0);
}

TEST_F(SaveRestore, CheckAndCorrectThroughAState) {
  RecordingState st;
  st.items = {{"SAME", "a\tb"}, {"OTHER", "5"}, {"BROKEN", "?"}};
  st.failing_get = 2;
  char* src = settings("src.sr", {"SAME\t3\ta b", "OTHER\t1\t4", "BROKEN\t1\t1"});
  EXPECT_EQ(restore_all(src, &data, SR_CHECK_CORRECT, 1, &st), 0);
  EXPECT_EQ(st.trace,
            (std::vector<std::string>{"open:SAME", "lock:0", "get:0", "unlock:0", "open:OTHER",
                                      "lock:1", "get:1", "set:1=4", "unlock:1", "open:BROKEN",
                                      "lock:2", "get:2", "unlock:2"}));
}

TEST_F(SaveRestore, RestoreAndSaveThroughAStatesOwnData) {
  FSMstate st("local", nullptr, 0);
  EqData start;
  start.set(1.0f);
  st.add_data("GAIN", &start, nullptr);
  st.add_data("NAME", nullptr, nullptr);
  char* src = settings("src.sr", {"GAIN\t2\t2.5", "NAME\t3\ttwo words", "GONE\t1\t7"});
  EXPECT_EQ(restore_all(src, &data, SR_SET_FROM_FILE, 0, &st), 0);
  std::string dest = dir.file("dest.sr");
  EXPECT_EQ(sr_save(src, const_cast<char*>(dest.c_str()), &data, &st), 0);
  EXPECT_EQ(read_back(dest.c_str()),
            (std::vector<std::string>{"FAC/DEV/LOC/GAIN=2.5", "FAC/DEV/LOC/NAME=two words",
                                      "FAC/DEV/LOC/GONE=7"}));
  EXPECT_EQ(gain.value(), 1.5f);  // the served property is not touched
}

TEST_F(SaveRestore, SaveThroughLocationPropertiesCutsLongTexts) {
  devtest::Site top("TOP", 2);
  norix::D_value<float>* level = top.data(new norix::D_value<float>("LEVEL a level", top.loc));
  D_ustr* note = top.data(new D_ustr("NOTE a long note", top.loc));
  char* src = settings("src.sr", {"LEVEL\t2\t2.5", "NOTE\t103\tx"});
  EXPECT_EQ(restore_all(src, &data, SR_SET_FROM_FILE, 1, top.state()), 0);
  EXPECT_EQ(level->value(), 2.5f);
  EXPECT_STREQ(note->value()->str_data.str_data_val, "x");

  std::string long_text(1000, 'n');
  USTR u{};
  u.str_data.str_data_len = static_cast<unsigned>(long_text.size() + 1);
  u.str_data.str_data_val = &long_text[0];
  note->set_value(&u);
  EXPECT_EQ(sr_save(src, src, &data, top.state()), 0);
  EXPECT_EQ(read_back(src),
            (std::vector<std::string>{"FAC/DEV/LOC/LEVEL=2.500000",
                                      "FAC/DEV/LOC/NOTE=" + std::string(255, 'n')}));
}

// --- comparing ---------------------------------------------------------------

// Runs compare_all and measures how long it took.
int timed_compare(char* file, EqData* data, SrOption op, int* stop, double* seconds) {
  auto start = std::chrono::steady_clock::now();
  int rc = compare_all(file, data, op, stop);
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return rc;
}

TEST_F(SaveRestore, CompareNeedsAControlRecord) {
  char* src = settings("src.sr", {"GAIN\t2\t1.5"});
  int stop = 0;
  data.set(3);
  EXPECT_EQ(compare_all(src, &data, SR_COMP_CORRECT, &stop), 1);
  EXPECT_EQ(data.error(), 0);
  EXPECT_EQ(gain.gets.load(), 0);
}

TEST_F(SaveRestore, CompareReportsTheFirstDifferingItemByText) {
  name.set_value("xyz");
  char* src = settings("src.sr", {"GAIN\t2\t1.5", "COUNT\t1\t4", "NAME\t3\tabc"});
  data = control(0, 0, 0, 0);
  int stop = 0;
  double secs = 0;
  EXPECT_EQ(timed_compare(src, &data, SR_COMP_NOT_CORRECT, &stop, &secs), 3);
  EXPECT_EQ(data.error(), SR_ERR_COMPARE);
  EXPECT_EQ(text_of(&data), "FAC/DEV/LOC/NAME");
  EXPECT_GE(secs, 2.0);  // one pause after each of the two matching items
  EXPECT_TRUE(sr_test::other_process_can_lock(src));
}

TEST_F(SaveRestore, CompareWindowOfAbsoluteDifference) {
  gain.set_value(10.0f);
  int stop = 0;
  // Differences 0 and 3 lie in the window; 0.5 is on its lower bound.
  char* three = settings("three.sr", {"GAIN\t2\t10", "GAIN\t2\t13", "GAIN\t2\t10.5"});
  data = control(2, 0.5f, 10.0f, 0);
  EXPECT_EQ(compare_all(three, &data, SR_COMP_NOT_CORRECT, &stop), 3);
  EXPECT_EQ(data.error(), SR_ERR_COMPARE);
  for (const char* value : {"10.2", "20", "22", "-2"}) {
    SCOPED_TRACE(value);
    char* one = settings("one.sr", {std::string("GAIN\t2\t") + value});
    data = control(2, 0.5f, 10.0f, 0);
    EXPECT_EQ(compare_all(one, &data, SR_COMP_NOT_CORRECT, &stop), 1);
    EXPECT_EQ(data.error(), SR_ERR_COMPARE);
  }
}

TEST_F(SaveRestore, CompareRelativeTolerance) {
  int stop = 0;
  double secs = 0;
  char* src = settings("src.sr", {"GAIN\t2\t100"});
  gain.set_value(105.0f);
  data = control(3, 0.1f, 0, 0.7f);
  EXPECT_EQ(timed_compare(src, &data, SR_COMP_CORRECT, &stop, &secs), 0);
  EXPECT_GE(secs, 1.0);  // 0.7 s becomes a pause of 1 s
  gain.set_value(115.0f);
  data = control(3, 0.1f, 0, 0.7f);
  EXPECT_EQ(compare_all(src, &data, SR_COMP_NOT_CORRECT, &stop), 1);
  EXPECT_EQ(data.error(), SR_ERR_COMPARE);
}

TEST_F(SaveRestore, ComparePausesWholeSecondsAndNeverHangsOnABadPause) {
  char* src = settings("src.sr", {"GAIN\t2\t1.5"});
  int stop = 0;
  double secs = 0;
  data = control(1, 0, 0, 2.9f);
  EXPECT_EQ(timed_compare(src, &data, SR_COMP_CORRECT, &stop, &secs), 0);
  EXPECT_GE(secs, 2.0);
  for (float pause : {-5.0f, NAN, -INFINITY}) {
    SCOPED_TRACE(pause);
    data = control(1, 0, 0, pause);
    EXPECT_EQ(timed_compare(src, &data, SR_COMP_CORRECT, &stop, &secs), 0);
    EXPECT_GE(secs, 1.0);
  }
}

TEST_F(SaveRestore, CompareWithoutReadableItemsReturnsMinusOne) {
  int stop = 0;
  char* empty = settings("empty.sr", {});
  data = control(1, 0, 0, 0);
  EXPECT_EQ(compare_all(empty, &data, SR_SET_FROM_FILE, &stop), -1);

  char* missing = settings("missing.sr", {"MISSING\t2\t1", "ALSO_MISSING\t2\t1"});
  data = control(1, 0, 0, 0);
  EXPECT_EQ(compare_all(missing, &data, SR_COMP_CORRECT, &stop), -1);
  EXPECT_EQ(data.error(), ERR_NO_PROPERTY);
  EXPECT_LE(text_of(&data).size(), 80u);
}

TEST_F(SaveRestore, CompareUnreadableItems) {
  int stop = 0;
  char* src = settings("src.sr", {"GAIN\t2\t1.5", "MISSING\t2\t1"});
  data = control(1, 0, 0, 0);
  EXPECT_EQ(compare_all(src, &data, SR_COMP_CORRECT, &stop), 0);  // not held back by MISSING
  data = control(1, 0, 0, 0);
  EXPECT_EQ(compare_all(src, &data, SR_COMP_NOT_CORRECT, &stop), 2);
  EXPECT_EQ(data.error(), SR_ERR_COMPARE);
  EXPECT_EQ(text_of(&data).rfind("item 2: ", 0), 0u);
}

TEST_F(SaveRestore, CompareMethodZeroReadsTheFileAgainEachPass) {
  char* src = settings("src.sr", {"GAIN\t2\t9"});
  std::string path = src;
  gain.on_get = [path] { unlink(path.c_str()); };
  int fds = sr_test::open_fd_count();
  int stop = 0;
  data = control(0, 0, 0, 0);
  EXPECT_EQ(compare_all(src, &data, SR_COMP_CORRECT, &stop), 1);
  EXPECT_EQ(data.error(), SR_ERR_OPEN);
  EXPECT_EQ(gain.gets.load(), 1);
  EXPECT_EQ(sr_test::open_fd_count(), fds);
}

TEST_F(SaveRestore, CompareEndsWhenAnotherThreadSetsStop) {
  char* src = settings("src.sr", {"GAIN\t2\t1.5"});
  int stop = 1;
  data = control(1, 0, 0, 0);
  EXPECT_EQ(compare_all(src, &data, SR_SET_FROM_FILE, &stop), 0);
  EXPECT_EQ(gain.gets.load(), 0);

  stop = 0;
  data = control(1, 0, 0, 3600.0f);
  std::future<int> run = std::async(
      std::launch::async, [&] { return compare_all(src, &data, SR_SET_FROM_FILE, &stop); });
  bool read = sr_test::eventually([&] { return gain.gets.load() >= 1; });
  __atomic_store_n(&stop, 1, __ATOMIC_RELEASE);
  ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(read);
  EXPECT_EQ(run.get(), 0);
}

}  // namespace
