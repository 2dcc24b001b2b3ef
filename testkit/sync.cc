// sync.cc - bounded waits for tests.

#include "testkit/sync.h"

#include <thread>

namespace testkit {

bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void Gate::open() {
  {
    std::lock_guard<std::mutex> lock(mux_);
    open_ = true;
  }
  cond_.notify_all();
}

bool Gate::is_open() {
  std::lock_guard<std::mutex> lock(mux_);
  return open_;
}

bool Gate::wait(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mux_);
  return cond_.wait_for(lock, limit, [this] { return open_; });
}

void Recorder::add(const std::string& entry) {
  {
    std::lock_guard<std::mutex> lock(mux_);
    entries_.push_back(entry);
  }
  cond_.notify_all();
}

std::vector<std::string> Recorder::take() {
  std::lock_guard<std::mutex> lock(mux_);
  std::vector<std::string> out;
  out.swap(entries_);
  return out;
}

std::vector<std::string> Recorder::snapshot() {
  std::lock_guard<std::mutex> lock(mux_);
  return entries_;
}

size_t Recorder::size() {
  std::lock_guard<std::mutex> lock(mux_);
  return entries_.size();
}

bool Recorder::wait_for(const std::function<bool(const std::vector<std::string>&)>& pred,
                        std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mux_);
  return cond_.wait_for(lock, limit, [&] { return pred(entries_); });
}

bool Recorder::wait_size(size_t n, std::chrono::milliseconds limit) {
  return wait_for([n](const std::vector<std::string>& e) { return e.size() >= n; }, limit);
}

}  // namespace testkit
