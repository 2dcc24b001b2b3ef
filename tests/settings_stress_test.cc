// settings_stress_test.cc - settings files under load: sr_save and readers
// working on the same files from several threads and from a second process,
// and compare_all, reading one of those files again at every pass, stopped
// from another thread.
//
// Both processes serve the same forty int properties at FAC/DEV/LOC, this
// one with values P<j> = j, the second process with 1000 + j, and both save
// them over the same two files: "shared.sr" from a list of the properties,
// and "rolling.sr" from itself. A reader must always find one whole file of
// one process: every record, in order, all values of one writer.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fsm/fsm.h"
#include "save_restore/sr_func.h"
#include "tests/support/settings_files.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRecords = 40;
constexpr int kChildOffset = 1000;
constexpr std::chrono::milliseconds kLoad{1500};
constexpr int kSavers = 2;
constexpr int kReaders = 2;
constexpr int kChildFailedSave = 2;
constexpr int kChildBadRead = 3;

// The served location and the files; made before the second process is
// forked, so that it has its own copy.
struct Bench {
  Bench() : loc("NAME = location") {
    if (norix_call == nullptr) norix_call = new EqCall();
    norix::clear_served();
    norix::set_server("FAC", "DEV");
    loc.set_name("LOC");
    std::string list = "//Save_&_Restore//\n the properties ;\n ;\n";
    for (int j = 0; j < kRecords; ++j) {
      std::string name = "P" + std::to_string(j);
      props.emplace_back(new norix::D_value<int>((name + " a setting").c_str(), &loc));
      props.back()->set_value(j);
      list += "FAC DEV LOC " + name + "\t1\t0\t;\n";
    }
    norix::serve_location(&loc);
    source = dir.file("source.sr");
    shared = dir.file("shared.sr");
    rolling = dir.file("rolling.sr");
    sr_test::write_file(source, list);
    sr_test::write_file(rolling, list);
  }
  ~Bench() { norix::clear_served(); }

  // Gives this process's properties the second writer's values.
  void become_second_writer() {
    for (int j = 0; j < kRecords; ++j)
      props[j]->set_value(kChildOffset + j);
  }

  int save(const std::string& from, const std::string& to) {
    EqData err;
    return sr_save(const_cast<char*>(from.c_str()), const_cast<char*>(to.c_str()), &err, nullptr);
  }

  sr_test::TempDir dir;
  EqFct loc;
  std::vector<std::unique_ptr<norix::D_value<int>>> props;
  std::string source;
  std::string shared;
  std::string rolling;
};

// "" when path holds every record of one writer, in order; else what is wrong.
std::string whole_file(const std::string& path) {
  std::vector<sr_data*> list;
  std::vector<sr_data*>* lp = &list;
  EqData err;
  if (fill_list(const_cast<char*>(path.c_str()), &err, &lp) != 0) {
    char buf[81];
    return path + ": " + err.get_string(buf, sizeof buf);
  }
  std::string why;
  if (list.size() != kRecords) why = std::to_string(list.size()) + " records";
  int offset = -1;
  for (size_t j = 0; why.empty() && j < list.size(); ++j) {
    int v = atoi(list[j]->value_);
    if (offset == -1) offset = v - static_cast<int>(j);
    if (std::string(list[j]->name_) != "FAC/DEV/LOC/P" + std::to_string(j) ||
        v != offset + static_cast<int>(j) || (offset != 0 && offset != kChildOffset)) {
      why = "record " + std::to_string(j) + ": " + list[j]->name_ + " = " + list[j]->value_;
    }
  }
  clear_list(&list);
  return why.empty() ? why : path + ": " + why;
}

// Saves both files and reads both, over and over, until the deadline.
// Returns 0, or what went wrong first.
int save_and_read_until(Bench* b, Clock::time_point deadline, long* saves, long* reads) {
  while (Clock::now() < deadline) {
    if (b->save(b->source, b->shared) != 0 || b->save(b->rolling, b->rolling) != 0) {
      return kChildFailedSave;
    }
    *saves += 2;
    if (!whole_file(b->shared).empty() || !whole_file(b->rolling).empty()) return kChildBadRead;
    *reads += 2;
  }
  return 0;
}

// The second process: its own values, the same files.
int second_process(void* arg) {
  Bench* b = static_cast<Bench*>(arg);
  b->become_second_writer();
  long saves = 0;
  long reads = 0;
  return save_and_read_until(b, Clock::now() + kLoad, &saves, &reads);
}

}  // namespace

TEST(StressSettingsFiles, SavesAndReadersFromThreadsAndAProcessSeeWholeFiles) {
  Bench bench;
  ASSERT_EQ(bench.save(bench.source, bench.shared), 0);
  ASSERT_EQ(bench.save(bench.rolling, bench.rolling), 0);
  sr_test::Child child(second_process, &bench);  // forked before any thread starts

  std::atomic<bool> stop{false};
  std::atomic<long> saves{0};
  std::atomic<long> reads{0};
  std::atomic<long> failed_saves{0};
  std::mutex bad_mux;
  std::vector<std::string> bad;
  std::vector<std::thread> threads;
  for (int s = 0; s < kSavers; ++s) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        failed_saves += bench.save(bench.source, bench.shared) != 0;
        failed_saves += bench.save(bench.rolling, bench.rolling) != 0;
        saves += 2;
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      const std::string& path = r % 2 == 0 ? bench.shared : bench.rolling;
      while (!stop.load()) {
        std::string why = whole_file(path);
        ++reads;
        if (why.empty()) continue;
        std::lock_guard<std::mutex> g(bad_mux);
        if (bad.size() < 5) bad.push_back(why);
      }
    });
  }
  // compare_all reads shared.sr again at every pass (method 0) and pauses
  // one second after each item; only the stop flag ends it.
  int stop_compare = 0;
  EqData control;
  control.set(IFFF{0, 0.0f, 0.0f, 1.0f});
  std::future<int> compare = std::async(std::launch::async, [&] {
    return compare_all(const_cast<char*>(bench.shared.c_str()), &control, SR_SET_FROM_FILE,
                       &stop_compare);
  });

  ASSERT_TRUE(child.start());
  auto started = Clock::now();
  EXPECT_EQ(compare.wait_until(started + kLoad), std::future_status::timeout);
  stop.store(true);
  for (std::thread& t : threads)
    t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  EXPECT_EQ(child.wait(10000 + static_cast<int>(kLoad.count())), 0)
      << "2: a save failed there, 3: it read a broken file";

  // Stopped from this thread, compare_all ends within one pause.
  __atomic_store_n(&stop_compare, 1, __ATOMIC_RELEASE);
  ASSERT_EQ(compare.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_EQ(compare.get(), 0);

  EXPECT_EQ(failed_saves.load(), 0);
  EXPECT_EQ(bad, std::vector<std::string>{});
  EXPECT_EQ(whole_file(bench.shared), "");
  EXPECT_EQ(whole_file(bench.rolling), "");
  // Only the two files and the list are left: no temporary file stays behind.
  EXPECT_EQ(bench.dir.entry_count(), 3);

  char summary[200];
  snprintf(summary, sizeof summary,
           "load: %d saving and %d reading threads and a second process, %.2f s: %ld saves, "
           "%ld whole reads; none broken, none lost",
           kSavers, kReaders, seconds, saves.load(), reads.load());
  printf("%s\n", summary);
  RecordProperty("load", summary);
}
