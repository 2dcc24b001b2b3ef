// sync.h - bounded waits for tests: a condition polled until a deadline, a
// one-shot gate, and a thread-safe recorder of what actions did.
//
// Every wait here ends at its deadline, so a test that waits fails instead
// of hanging. None of them sleeps to paper over a race: they wait for a
// state that the code under test must reach.

#ifndef TESTKIT_SYNC_H
#define TESTKIT_SYNC_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testkit {

// Generous: sanitizer builds run several times slower.
constexpr std::chrono::milliseconds WAIT_LIMIT{20000};

// Polls cond every millisecond until it holds; false at the deadline.
bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds limit = WAIT_LIMIT);

// A one-shot gate: wait() blocks until open() or the deadline.
class Gate {
 public:
  void open();
  bool is_open();
  bool wait(std::chrono::milliseconds limit = WAIT_LIMIT);

 private:
  std::mutex mux_;
  std::condition_variable cond_;
  bool open_ = false;
};

// An ordered record of texts, appended from any thread. Tests assert on the
// whole sequence, so that order faults, lost and doubled entries show.
class Recorder {
 public:
  void add(const std::string& entry);
  std::vector<std::string> take();  // the entries so far; the recorder is emptied
  std::vector<std::string> snapshot();
  size_t size();
  // Waits until pred holds for the entries; false at the deadline.
  bool wait_for(const std::function<bool(const std::vector<std::string>&)>& pred,
                std::chrono::milliseconds limit = WAIT_LIMIT);
  // Waits until at least n entries are recorded.
  bool wait_size(size_t n, std::chrono::milliseconds limit = WAIT_LIMIT);

 private:
  std::mutex mux_;
  std::condition_variable cond_;
  std::vector<std::string> entries_;
};

}  // namespace testkit

#endif  // TESTKIT_SYNC_H
