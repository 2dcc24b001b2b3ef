// process.h - child processes for end-to-end tests: server programs that
// run in the background and programs run to their end, with bounded waits.
//
// A ServerProcess is stopped and reaped by its destructor (SIGKILL if it
// is still running), so a failing test leaves no process behind.

#ifndef TESTKIT_PROCESS_H
#define TESTKIT_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "testkit/sync.h"

namespace testkit {

struct Exit {
  bool exited = false;  // false: still running at the deadline, or not started
  int status = -1;      // exit status, or 128 + signal number
};

// A program running in the background, with its standard output and error
// read through one pipe (a server's operator messages, "listening on"
// among them, are on its standard error).
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Runs program in directory dir ("" for this process's own).
  bool start(const std::string& program, const std::vector<std::string>& args,
             const std::string& dir = "");
  // Reads output lines until one contains text; false at the deadline or
  // when the output ends first.
  bool wait_output(const std::string& text, std::chrono::milliseconds limit = WAIT_LIMIT);
  const std::string& output() const { return output_; }  // what has been read so far
  void signal(int sig);
  // Waits for the end of the program, reading the rest of its output.
  Exit wait_exit(std::chrono::milliseconds limit = WAIT_LIMIT);
  // SIGTERM, then wait_exit.
  Exit stop(std::chrono::milliseconds limit = WAIT_LIMIT);
  pid_t pid() const { return pid_; }

 private:
  bool read_more(std::chrono::steady_clock::time_point deadline);
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int pid_fd_ = -1;
  std::string output_;
  size_t scanned_ = 0;
};

struct ClientResult {
  Exit exit;
  std::string out;
  std::string err;
};

// Runs a program to its end with standard output and error captured.
ClientResult run(const std::string& program, const std::vector<std::string>& args,
                 std::chrono::milliseconds limit = WAIT_LIMIT);

}  // namespace testkit

#endif  // TESTKIT_PROCESS_H
