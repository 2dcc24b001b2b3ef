// server_main.cc - a server program's main: one Server for the life of the
// process, driven by its signals.

#include "framework/host/server.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "framework/base/log.h"
#include "framework/base/version.h"
#include "framework/host/journal.h"
#include "framework/host/service_notify.h"

// Defined by LeakSanitizer's runtime when the program is built with it.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

namespace norix {

namespace {

// The one server of the program: reachable for the rest of the process, as
// are its locations, whose machines never stop.
Server* program_server = nullptr;

constexpr std::chrono::seconds SHUTDOWN_LIMIT{10};  // to stop the server and save
// For the update and client threads to end after the save; those still in
// a call to a peer then are left to the end of the process.
constexpr std::chrono::seconds JOIN_LIMIT{2};

// Ends the process without static destructors: engine threads may still be
// dispatching, and use what those destructors would free.
[[noreturn]] void end_process(int status) {
  fflush(nullptr);
  if (__lsan_do_leak_check != nullptr) __lsan_do_leak_check();
  _exit(status);
}

void print_help(const char* prog) {
  printf(
      "usage: %s CONFIG_FILE\n"
      "       %s --check CONFIG_FILE\n"
      "       %s --help | --version\n"
      "Runs a norix server: reads CONFIG_FILE (server, listen, update, timeout,\n"
      "peer, trace, log transitions, strict, settings, socket_mode, secret,\n"
      "peer_secret, client_events, http and location items), serves its\n"
      "locations (and, with http, a web panel)\n"
      "until SIGINT, SIGTERM or SIGHUP, then writes CONFIG_FILE again with the\n"
      "saved values. SIGUSR1 interrupts every location. Messages for the operator go\n"
      "to standard error, one per line: TIME LEVEL TEXT; the line\n"
      "'... INFO norix server FACILITY/DEVICE listening on ENDPOINT' says that\n"
      "it serves.\n"
      "--check checks CONFIG_FILE without serving or writing a file: it parses,\n"
      "its endpoints are free, its settings folder is a folder, and the machines\n"
      "it makes pass their definition checks. Status 0 when it is sound, 2 when not.\n",
      prog, prog, prog);
}

// The final save's result once it is written: -1 before, then 0 when it
// succeeded, 1 when it failed.
std::atomic<int> save_status{-1};

// Ends the process if stopping has not ended in time. The save comes
// before any client or update thread is waited for, and reads FLOW_n and
// FAULT without a machine's locks, so neither a silent peer nor an engine
// stuck in an action holds it up; what can is a property whose own
// operation never returns, as the save takes each saved property's
// operation lock. Without the save, the last saved configuration stays
// whole (it is replaced whole or not at all).
void bound_shutdown() {
  std::thread([] {
    std::this_thread::sleep_for(SHUTDOWN_LIMIT);
    int saved = save_status.load();
    std::string limit = std::to_string(SHUTDOWN_LIMIT.count());
    log_message(LOG_ERROR,
                saved < 0 ? "shutdown did not end within " + limit +
                                " s; exiting without saving the configuration"
                          : "shutdown did not end within " + limit + " s after the save; exiting");
    fflush(nullptr);
    _exit(saved < 0 ? 1 : saved);
  }).detach();
}

}  // namespace

int server_main(int argc, char** argv, const ServerHooks& hooks) {
  const char* prog = argc > 0 ? argv[0] : "server";
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    print_help(prog);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    const char* base = strrchr(prog, '/');
    printf("%s (norix) %s\n", base != nullptr ? base + 1 : prog, version());
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "--check") == 0) {
    // Kept reachable, as a started server is: the locations it made are
    // never destroyed.
    program_server = new Server(hooks);
    std::string why;
    int rc = program_server->check(argv[2], &why);
    if (rc != 0) {
      log_message(LOG_ERROR, std::string(prog) + ": " + why);
    } else {
      printf("%s: the configuration is sound\n", argv[2]);
    }
    end_process(rc == 0 ? 0 : 2);
  }
  if (argc != 2 || argv[1][0] == '-') {
    fprintf(stderr, "usage: %s CONFIG_FILE\n", prog);
    return 2;
  }
  // Blocked before any thread exists, so that every thread inherits the
  // mask and only the signal thread below receives them.
  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGHUP);  // a closed terminal ends the server as SIGTERM does
  sigaddset(&handled, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // A file-size limit (ulimit -f) makes a write that passes it fail with
  // EFBIG instead of ending the process: the save that tried it answers
  // 114 and the file it would have replaced stays whole.
  signal(SIGXFSZ, SIG_IGN);

  program_server = new Server(hooks);
  std::string why;
  if (program_server->start(argv[1], &why) != 0) {
    log_message(LOG_ERROR, std::string(prog) + ": " + why);
    program_server->stop();  // closes the listening socket and removes its file
    return 2;
  }
  log_message(LOG_INFO, "norix server " + program_server->config().facility + "/" +
                            program_server->config().device + " listening on " +
                            program_server->endpoint());
  service_ready("serving on " + program_server->endpoint());

  int sig = 0;
  for (;;) {
    if (sigwait(&handled, &sig) != 0) continue;
    if (sig != SIGUSR1) break;
    program_server->interrupt_usr1(sig);
  }
  service_stopping();
  bound_shutdown();
  int rc = program_server->stop_and_save(&why, JOIN_LIMIT);
  save_status = rc == 0 ? 0 : 1;
  if (rc != 0) {
    log_message(LOG_ERROR, std::string(prog) + ": " + why);
  } else {
    log_message(LOG_INFO, std::string("norix server saved ") + argv[1]);
  }
  if (hooks.cancel != nullptr) hooks.cancel();
  journal_stop();  // commits the last records
  end_process(rc == 0 ? 0 : 1);
}

}  // namespace norix
