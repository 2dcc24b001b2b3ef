// value_changes.cc - the change signal of property values.
//
// The change mutex guards the list of watches and their sets; it is a leaf,
// taken after a property has released its own value mutex.

#include "framework/objects/value_changes.h"

#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace norix {
namespace internal {

namespace {

std::mutex change_mux;
std::atomic<int> watch_count{0};  // live ChangeWatch objects; read without the mutex

// Never destroyed: properties may change during static destruction.
std::vector<ChangeWatch*>& watches() {
  static auto* list = new std::vector<ChangeWatch*>;
  return *list;
}

}  // namespace

void ChangeWatch::note(const void* property) {
  if (watched_.count(property) == 0) return;
  changed_.insert(property);
  if (!signalled_ && fd_ >= 0) {
    uint64_t one = 1;
    ssize_t n = write(fd_, &one, sizeof one);
    (void)n;  // a non-blocking eventfd only fails when it is already readable
    signalled_ = true;
  }
}

ChangeWatch::ChangeWatch() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  std::lock_guard<std::mutex> lock(change_mux);
  watches().push_back(this);
  ++watch_count;
}

ChangeWatch::~ChangeWatch() {
  {
    std::lock_guard<std::mutex> lock(change_mux);
    std::vector<ChangeWatch*>& list = watches();
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i] == this) {
        list.erase(list.begin() + static_cast<long>(i));
        break;
      }
    }
    --watch_count;
  }
  if (fd_ >= 0) close(fd_);
}

void ChangeWatch::watch(const void* property) {
  std::lock_guard<std::mutex> lock(change_mux);
  ++watched_[property];
}

void ChangeWatch::unwatch(const void* property) {
  std::lock_guard<std::mutex> lock(change_mux);
  auto it = watched_.find(property);
  if (it != watched_.end() && --it->second == 0) watched_.erase(it);
}

std::set<const void*> ChangeWatch::take() {
  std::set<const void*> out;
  std::lock_guard<std::mutex> lock(change_mux);
  out.swap(changed_);
  if (signalled_ && fd_ >= 0) {
    uint64_t count = 0;
    ssize_t n = read(fd_, &count, sizeof count);
    (void)n;
  }
  signalled_ = false;
  return out;
}

}  // namespace internal

void property_changed(const D_fct* property) {
  if (internal::watch_count.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard<std::mutex> lock(internal::change_mux);
  for (internal::ChangeWatch* w : internal::watches())
    w->note(property);
}

}  // namespace norix
