// service_notify.cc - the notifications to the service manager through
// libsystemd's sd_notify, and the watchdog thread.
//
// checks_mux guards the list of liveness checks; it is a leaf. The
// watchdog thread is detached and runs until the process ends (the server
// program ends with _exit); it keeps feeding while the server stops, since
// nothing is due then, and shutting down is bounded by the program itself.

#include "framework/host/service_notify.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/base/log.h"

namespace norix {

namespace {

struct check_list {
  std::mutex mux;
  std::vector<LivenessCheck> checks;
};

check_list& liveness() {
  static auto* l = new check_list;  // kept: the watchdog thread outlives statics
  return *l;
}

bool all_alive(long long limit_ms, std::string* stuck) {
  std::vector<LivenessCheck> checks;
  {
    std::lock_guard<std::mutex> lock(liveness().mux);
    checks = liveness().checks;
  }
  for (LivenessCheck c : checks) {
    if (!c(limit_ms, stuck)) return false;
  }
  return true;
}

// Feeds the watchdog while everything is alive; says once when it stops
// feeding, and again when it resumes.
void watchdog_loop(uint64_t interval_us) {
  const long long limit_ms = static_cast<long long>(interval_us / 2000);
  const auto period = std::chrono::microseconds(interval_us / 3);
  bool feeding = true;
  for (;;) {
    std::string stuck;
    bool alive = all_alive(limit_ms, &stuck);
    if (alive) sd_notify(0, "WATCHDOG=1");
    if (alive != feeding) {
      log_message(alive ? LOG_INFO : LOG_ERROR,
                  alive ? std::string("every engine runs again; the watchdog is fed")
                        : stuck + " made no progress for " + std::to_string(limit_ms) +
                              " ms; the watchdog is no longer fed");
      feeding = alive;
    }
    std::this_thread::sleep_for(period);
  }
}

}  // namespace

void add_liveness_check(LivenessCheck check) {
  if (check == nullptr) return;
  std::lock_guard<std::mutex> lock(liveness().mux);
  liveness().checks.push_back(check);
}

void service_ready(const std::string& status) {
  sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
  uint64_t interval_us = 0;
  if (sd_watchdog_enabled(0, &interval_us) > 0 && interval_us >= 3) {
    std::thread(watchdog_loop, interval_us).detach();
  }
}

void service_stopping() {
  sd_notify(0, "STOPPING=1\nSTATUS=stopping: writing the final save");
}

}  // namespace norix
