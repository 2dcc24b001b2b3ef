// service_notify.h - telling the service manager how the server is: ready
// once it serves, stopping during the final save, and alive (its watchdog
// fed) only while every worker that a liveness check watches makes
// progress, so that a wedged machine gets the server restarted.
//
// Outside a service manager (no NOTIFY_SOCKET) these do nothing; without
// a watchdog (no WATCHDOG_USEC) no thread is started.

#ifndef FRAMEWORK_HOST_SERVICE_NOTIFY_H
#define FRAMEWORK_HOST_SERVICE_NOTIFY_H

#include <string>

namespace norix {

// True when every worker it watches has made progress within limit_ms of
// work being due; false with the first stuck one named in *stuck. Called
// on the watchdog thread only; must not wait on a worker.
using LivenessCheck = bool (*)(long long limit_ms, std::string* stuck);

// Before service_ready; the checks are kept for the process.
void add_liveness_check(LivenessCheck check);

// READY=1 with the endpoint as status, then, with a watchdog, a thread that
// sends WATCHDOG=1 every third of its interval while every check passes
// within half of it. Once, after the server listens and every location is
// started.
void service_ready(const std::string& status);
// STOPPING=1: the server stops and writes its final save.
void service_stopping();

}  // namespace norix

#endif  // FRAMEWORK_HOST_SERVICE_NOTIFY_H
