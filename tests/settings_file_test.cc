// settings_file_test.cc - settings files: what the reader accepts and drops,
// saving, restoring and comparing served properties, the advisory locks
// between processes, what failures leave behind, and saves and reads from
// threads and a second process at once.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <math.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

#include "fsm/fsm.h"
#include "save_restore/sr_func.h"
#include "testkit/testkit.h"

namespace {

using namespace std::string_literals;
using Items = std::vector<std::string>;  // "name type value" per item, or "failed <code> <text>"

Items read_items(std::string path) {
  std::vector<sr_data*> list, *lp = &list;
  EqData error;
  Items out;
  if (fill_list(&path[0], &error, &lp) != 0)
    out.push_back("failed " + std::to_string(error.error()) + " " + error.text_value());
  for (const sr_data* d : list)
    out.push_back(d->name_ + " "s + std::to_string(d->type_) + " " + d->value_);
  clear_list(&list);
  return out;
}

// True when no process, this one included, holds a lock on the file (an
// open-file-description lock conflicts with every process's record locks)
// and the lowest free descriptor is still free_fd: none was left open.
bool released(const std::string& path, int free_fd) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct flock l = {};
  l.l_type = F_WRLCK;
  bool free = fd == free_fd && fcntl(fd, F_OFD_GETLK, &l) == 0 && l.l_type == F_UNLCK;
  if (fd >= 0) close(fd);
  return free;
}

// Runs body in a forked process and meanwhile here, then gives the child's
// exit status, or -1 when it did not end in time (it is killed). Call it
// before the test starts threads: the child has only the forking thread.
int with_child(const std::function<int()>& body, const std::function<void()>& meanwhile) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  meanwhile();
  int st = 0;
  bool ended = pid > 0 && testkit::wait_until([&] { return waitpid(pid, &st, WNOHANG) > 0; });
  if (!ended && pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  return ended && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

const std::string kHead = "//Save_&_Restore// ; ;\n", kP = "F D L P\t1\t5\t;\n";
const Items kPItem = {"F/D/L/P 1 5"};

TEST(SettingsFileReader, AcceptsDropsAndSavesOntoItselfRecordsThatReadBackWhole) {
  const std::string ok = "F D L OK\t1\t1\t;\n", f64(64, 'f'), v255(255, 'v');
  const std::string saved = "//Save_&_Restore// FSM created Save & Restore file;";
  const std::pair<std::string, Items> cases[] = {
      // file, items
      {saved + "\n Wed Jun 30 21:49:08 1993\n ;\n" + kP, kPItem},
      {"//Save_&_Restore_R_O// a ;\n b ;\n" + kP, kPItem},
      {saved + " x ;\n y ;\n" + kP, kPItem},  // like a saved file, but for one more word
      {saved + " Wed Jun 30 21:49:08 1993 x ;\n y ;\n" + kP, kPItem},
      {"//Save_&_Restore//", {}},
      {kHead + "F D L EMPTY\t2\t\t;\nF D L NONE\t0\t17\t;\nF D L WORDS\t3\tone  two\tthree\t;\n" +
           "F D L BLANK\t3\tabc ;\nF D L NEWLINE\t3\tabc\n;\nF D L LINES\t3\tab\ncd\t;\n",
       {"F/D/L/EMPTY 2  ", "F/D/L/NONE 0   ", "F/D/L/WORDS 3 one  two\tthree", "F/D/L/BLANK 3 abc",
        "F/D/L/NEWLINE 3 abc", "F/D/L/LINES 3 ab\ncd"}},
      {kHead + kP + "F D L Q 2 7 ", kPItem},  // a record cut short by the end of the file
      {"//Save_&_Restore// " + std::string(5000, 'c') + " ; ;\n" + std::string(65, 'f') +
           " D L LONG\t1\t1\t;\n" + ok + f64 + " D L FAC64\t1\t1\t;\nF D L LONG\t3\t" +
           std::string(256, 'v') + "\t;\n" + ok + "F D L V255\t3\t" + v255 +
           "\t;\nF D L BADTYPE\tx2\t9\t;\n" + ok + "F D L HUGETYPE\t99999999999\t9\t;\n" + ok +
           "F D L NOEND\t3\t" + std::string(100000, 'n'),
       {"F/D/L/OK 1 1", f64 + "/D/L/FAC64 1 1", "F/D/L/OK 1 1", "F/D/L/V255 3 " + v255,
        "F/D/L/OK 1 1", "F/D/L/OK 1 1"}},
      {kHead + "FA \0\1\0V LOC P\t1\t1\t;\n"s + ok + "F D L TYPE\t1\0x\t1\t;\n"s + ok +
           "F D L WORD\t3\tab\0c\t;\n"s + ok + "F D L REST\t3\tab c\0d\t;\n"s + kP,
       {"F/D/L/OK 1 1", "F/D/L/OK 1 1", "F/D/L/OK 1 1", "F/D/L/P 1 5"}},
      {" \n\t ", {"failed 304 read err"}},
      {"//Save_&_Restore F D L P 1 5 ;", {"failed 303 not sr file"}},
  };
  testkit::TempDir dir;
  std::string src = dir.file("in.sr");
  FSMstate nobody("nobody", nullptr, 0);  // knows no data: every item keeps its file value
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text.substr(0, 60));
    ASSERT_TRUE(testkit::write_file(src, text));
    int free_fd = open("/", O_RDONLY | O_CLOEXEC);
    close(free_fd);
    EXPECT_EQ(read_items(src), expected);
    EqData error;
    bool bad = expected.size() == 1 && expected[0].rfind("failed", 0) == 0;
    EXPECT_EQ(sr_save(&src[0], &src[0], &error, &nobody), bad ? 1 : 0);
    EXPECT_EQ(read_items(src), expected);
    EXPECT_TRUE(released(src, free_fd));
  }
}

// A float property whose client reads open a gate.
struct GatedFloat : norix::D_value<float> {
  using norix::D_value<float>::D_value;
  void get(EqAdr* a, EqData* req, EqData* res, EqFct* loc) override {
    read.open();
    norix::D_value<float>::get(a, req, res, loc);
  }
  testkit::Gate read;
};

// FAC/DEV/LOC served in this process with GAIN 1.5, COUNT 5 and NAME "a\tb",
// and the settings file src.
class SaveRestore : public ::testing::Test {
 protected:
  SaveRestore() : loc("NAME = location") {
    if (norix_call == nullptr) norix_call = new EqCall();
    norix::set_server("FAC", "DEV");
    loc.set_name("LOC");
    norix::serve_location(&loc);
    reset();
  }
  ~SaveRestore() override { norix::clear_served(); }
  void reset() {
    gain.set_value(1.5f);
    count.set_value(5);
    name.set_value("a\tb");
  }
  // Writes src with records "PROP TYPE VALUE|..." at FAC/DEV/LOC.
  void file(const std::string& records) {
    std::istringstream in(records);
    std::string text = kHead;
    for (std::string record; std::getline(in, record, '|');)
      text += "FAC DEV LOC " + record + " ;\n";
    ASSERT_TRUE(testkit::write_file(src, text));
  }

  testkit::TempDir dir;
  std::string src = dir.file("src.sr"), dest = dir.file("dest.sr");
  EqFct loc;
  GatedFloat gain{"GAIN gain", &loc};
  norix::D_value<int> count{"COUNT count", &loc};
  D_string name{"NAME name", &loc};
  EqData data;
};

TEST_F(SaveRestore, SaveWritesPresentValuesOrEndsAtAFailedReadAndLeavesNothingBehind) {
  int free_fd = open("/", O_RDONLY | O_CLOEXEC);
  close(free_fd);
  file("GAIN 2 0|NAME 3 old|COUNT 1 0");
  name.set_value("a;b");  // cannot be saved: would end its record early, so old stays and 1 says so
  ASSERT_EQ(sr_save(&src[0], &dest[0], &data, nullptr), 1);
  // The file less the 24 characters of the date (a shorter file throws and fails the test).
  std::string text = testkit::read_file(dest);
  EXPECT_EQ(
      text.erase(54, 24),
      "//Save_&_Restore//\n FSM created Save & Restore file;\n \n ;\n"
      "FAC DEV LOC GAIN\t2\t1.5\t;\nFAC DEV LOC NAME\t3\told\t;\nFAC DEV LOC COUNT\t1\t5\t;\n");
  sr_data item{nullptr, nullptr, 0}, *ip = &item;
  EXPECT_EQ(get_item(&dest[0], 4, &ip), 1);  // items count from 1
  ASSERT_EQ(get_item(&dest[0], 3, &ip), 0);
  std::unique_ptr<char[]> name_text(item.name_), value_text(item.value_);
  EXPECT_EQ(item.name_ + " "s + item.value_, "FAC/DEV/LOC/COUNT 5");

  file("GAIN 2 0|MISSING 2 7|COUNT 1 0");
  EXPECT_EQ(sr_save(&src[0], &dest[0], &data, nullptr), 1);
  EXPECT_EQ(read_items(dest),
            (Items{"FAC/DEV/LOC/GAIN 2 1.5", "FAC/DEV/LOC/MISSING 2 unknown property"}));
  std::string before = testkit::read_file(src);
  EXPECT_EQ(sr_save(&src[0], &src[0], &data, nullptr), 1);  // keeps the source
  EXPECT_EQ(testkit::read_file(src), before);
  EXPECT_EQ(sr_save(&src[0], &dir.file("no/such.sr")[0], &data, nullptr), 1);
  EXPECT_EQ(sr_save(&dir.file("none.sr")[0], &dest[0], &data, nullptr), 1);
  EXPECT_EQ(data.error(), SR_ERR_OPEN);
  // Special files are refused at once: a FIFO without a writer, an endless device, a folder.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  for (std::string special : {dir.file("fifo"), "/dev/zero"s, dir.path()}) {
    EXPECT_EQ(sr_save(&special[0], &dest[0], &data, nullptr), 1) << special;
    EXPECT_EQ(data.text_value(), "open err: not a regular file");
  }
  unlink(dir.file("fifo").c_str());
  EXPECT_TRUE(released(src, free_fd));
  EXPECT_EQ(dir.entry_count(), 2);
}

TEST_F(SaveRestore, RestoreSetsWhatEachOptionGives) {
  // option, stop, file, result, error code, "GAIN COUNT NAME" after
  const std::tuple<SrOption, int, const char*, int, int, const char*> cases[] = {
      {SR_SET_FROM_FILE, 1, "GAIN 2 -2.5|COUNT 1 12|NAME 3 x  y", 0, 0, "-2.5 12 x  y"},
      {SR_ADD_FROM_DATA, 1, "GAIN 2 1.5|NAME 3 100", 0, 0, "3.75 5 2.25"},
      {SR_SET_FROM_DATA, 0, "GAIN 2 0|MISSING 2 0|NAME 3 x", 0, ERR_NO_PROPERTY, "2.25 5 2.25"},
      {SR_SET_FROM_DATA, 1, "GAIN 2 0|MISSING 2 0|NAME 3 x", 1, ERR_NO_PROPERTY, "2.25 5 a\tb"},
      {SR_SET_FROM_FILE, 0, "COUNT 1 abc|GAIN 2 6.5", 0, ERR_WRONG_TYPE, "6.5 5 a\tb"},
      {SR_CHECK_CORRECT, 1, "GAIN 2 7|COUNT 1 5|NAME 3 a b|MISSING 1 1", 0, 0, "7 5 a\tb"},
      {SR_COMP_CORRECT, 1, "GAIN 2 7|COUNT 1 9", 0, 0, "1.5 5 a\tb"},
  };
  for (const auto& [op, stop, records, rc, error, after] : cases) {
    SCOPED_TRACE(testing::Message() << "option " << op << ": " << records);
    reset();
    file(records);
    data.set(2.25f);  // the caller's value, taken once: a failed write leaves its answer here
    EXPECT_EQ(restore_all(&src[0], &data, op, stop, nullptr), rc);
    EXPECT_EQ(data.error(), error);
    char values[128];
    snprintf(values, sizeof values, "%g %d %s", static_cast<double>(gain.value()), count.value(),
             name.value());
    EXPECT_EQ(values, std::string(after));
  }
}

TEST_F(SaveRestore, CompareReportsByMethodPausesAfterEachItemAndEndsWhenStopped) {
  const SrOption kUntil = SR_COMP_CORRECT, kFirst = SR_COMP_NOT_CORRECT;
  // {method, two bounds, pause}, live GAIN, option, file, result, how "<error code> <text>" of
  // data begins, seconds it takes at least
  const std::tuple<IFFF, float, SrOption, const char*, int, const char*, int> cases[] = {
      // Stopped in its minute's pause (first, while the gate is still closed): a pause longer
      // than the wait below, so that only the stop can end it in time.
      {{1, 0, 0, 60}, 1.5, kFirst, "GAIN 2 1.5", 0, "0 ", 0},
      {{0, 0, 0, 0}, 1.5, kFirst, "GAIN 2 1.5|COUNT 1 5|NAME 3 abc", 3, "309 FAC/DEV/LOC/NAME", 2},
      // Within the window (0.5, 10) lie differences of 0 and 3, not 0.5 or 10.
      {{2, 0.5, 10, 0}, 10, kFirst, "GAIN 2 10|GAIN 2 13|GAIN 2 10.5", 3, "309 FAC/DEV/LOC/G", 2},
      {{2, 0.5, 10, 0}, 10, kFirst, "GAIN 2 20", 1, "309 FAC/DEV/LOC/GAIN", 0},
      // Within 10 %: 105 against 100, not 115 or 1000.
      {{3, 0.1f, 0, 0}, 105, kFirst, "GAIN 2 100|GAIN 2 1000", 2, "309 FAC/DEV/LOC/GAIN", 1},
      {{3, 0.1f, 0, 0}, 115, kFirst, "GAIN 2 100", 1, "309 FAC/DEV/LOC/GAIN", 0},
      {{1, 0, 0, 0}, 1.5, kFirst, "GAIN 2 1.5|MISSING 2 1", 2, "309 item 2: ", 1},
      {{1, 0, 0, 0.7f}, 1.5, kUntil, "GAIN 2 1.5|MISSING 2 1", 0, "0 ", 1},
      {{1, 0, 0, 2.9f}, 1.5, kUntil, "GAIN 2 1.5", 0, "0 ", 2},
      {{1, 0, 0, -INFINITY}, 1.5, kUntil, "GAIN 2 1.5", 0, "0 ", 1},
      {{1, 0, 0, 0}, 1.5, kUntil, "", -1, "0 ", 0},
      {{1, 0, 0, 0}, 1.5, SR_SET_FROM_FILE, "MISSING 2 1", -1, "103 unknown property", 0},
  };
  for (const auto& [control, live, op, records, rc, report, seconds] : cases) {
    SCOPED_TRACE(records);
    gain.set_value(live);
    file(records);
    data.set(control);
    int stop = 0;
    auto started = std::chrono::steady_clock::now();
    std::future<int> run = std::async(
        std::launch::async, [&, op = op] { return compare_all(&src[0], &data, op, &stop); });
    if (control.f3_data >= 60) {
      EXPECT_TRUE(gain.read.wait());  // the item is read: the pause begins
      __atomic_store_n(&stop, 1, __ATOMIC_RELEASE);
    }
    EXPECT_EQ(run.wait_for(testkit::WAIT_LIMIT), std::future_status::ready);
    __atomic_store_n(&stop, 1, __ATOMIC_RELEASE);  // one that runs on ends now, and fails
    EXPECT_EQ(run.get(), rc);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(seconds));
    EXPECT_EQ((std::to_string(data.error()) + " " + data.text_value()).rfind(report, 0), 0u)
        << data.text_value();
  }
}

TEST(SettingsFileLocks, ReaderWaitsForAWriterInAnotherProcess) {
  testkit::TempDir dir;
  const std::string path = dir.file("locked.sr");
  ASSERT_TRUE(testkit::write_file(path, "half written"));
  int free_fd = open("/", O_RDONLY | O_CLOEXEC);
  close(free_fd);
  Items got;
  int status = with_child(
      [&] {
        int fd = open(path.c_str(), O_RDWR);
        struct flock l = {};
        l.l_type = F_WRLCK;
        if (fd < 0 || fcntl(fd, F_SETLKW, &l) != 0) return 1;
        // The test's process waits: "N: -> POSIX  ADVISORY  READ <pid> <dev>:<inode> ...".
        std::string waiting = "-> POSIX  ADVISORY  READ " + std::to_string(getppid()) + " ";
        auto waits = [&] {
          return testkit::read_file("/proc/locks").find(waiting) != std::string::npos;
        };
        // Closing the stream's descriptor releases the lock, after the write.
        return testkit::wait_until(waits) && testkit::write_file(path, kHead + kP) ? 0 : 2;
      },
      [&] {
        if (testkit::wait_until([&] { return !released(path, free_fd); })) got = read_items(path);
      });
  EXPECT_EQ(status, 0) << "1: no lock, 2: the reader did not wait";
  EXPECT_EQ(got, kPItem);
}

// Both processes save the same file onto itself through a state of forty
// int items, this one with values j, the other with 1000 + j; a reader must
// always find every item of one of them. A thread restores the values from
// a list meanwhile (the same values), so that item reads and writes meet.
TEST(SettingsFileLoad, SavesAndReadsFromThreadsAndAProcessSeeWholeFiles) {
  testkit::TempDir dir;
  FSMstate state("settings", nullptr, 0);
  std::string list[2] = {kHead, kHead}, rolling = dir.file("rolling.sr");
  std::string mine = dir.file("mine.sr"), theirs = dir.file("theirs.sr");
  for (int j = 0; j < 40; ++j) {
    state.add_data(("P" + std::to_string(j)).c_str(), nullptr, nullptr);
    for (int w : {0, 1})
      list[w] += "F D L P" + std::to_string(j) + " 1 " + std::to_string(j + 1000 * w) + " ;\n";
  }
  ASSERT_TRUE(testkit::write_file(mine, list[0]) && testkit::write_file(theirs, list[1]) &&
              testkit::write_file(rolling, list[0]));
  const Items items[2] = {read_items(mine), read_items(theirs)};
  auto save = [&] {
    EqData error;
    return sr_save(&rolling[0], &rolling[0], &error, &state);
  };
  auto whole = [&] {
    Items got = read_items(rolling);
    return got.size() == 40 && (got == items[0] || got == items[1]);
  };
  auto restore = [&](std::string from) {
    return restore_all(&from[0], nullptr, SR_SET_FROM_FILE, 1, &state);
  };
  ASSERT_EQ(restore(mine), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  int status = with_child(
      [&] {  // a second of restores, saves and reads with the other values
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < end) {
          if (restore(theirs) != 0 || save() != 0 || !whole()) return 1;
        }
        return 0;
      },
      [&] {  // the load here lasts as long as the other process
        for (int t = 0; t < 4; ++t) {
          threads.emplace_back([&, t] {
            while (!stop.load())
              failures += t < 2 ? save() : t == 2 ? !whole() : restore(mine);
          });
        }
      });
  stop.store(true);
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(whole());
  EXPECT_EQ(dir.entry_count(), 3);  // no file left beside them
}

}  // namespace
