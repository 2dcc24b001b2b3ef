// process.h - child processes for end-to-end tests: server programs that
// run in the background and the command-line client, with bounded waits.
//
// A ServerProcess is stopped and reaped by its destructor (SIGKILL if it
// is still running), and a TempDir removes its files, so a failing test
// leaves neither processes nor files behind.

#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace proc {

constexpr std::chrono::milliseconds LIMIT{20000};  // generous: sanitizer builds are slow

// A fresh directory under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);

struct Exit {
  bool exited = false;  // false: still running at the deadline, or not started
  int status = -1;      // exit status, or 128 + signal number
};

// A program running in the background, with its standard output read
// through a pipe and its standard error passed on.
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
  bool wait_output(const std::string& text, std::chrono::milliseconds limit = LIMIT);
  const std::string& output() const { return output_; }  // what has been read so far
  void signal(int sig);
  // Waits for the end of the program, reading the rest of its output.
  Exit wait_exit(std::chrono::milliseconds limit = LIMIT);
  // SIGTERM, then wait_exit.
  Exit stop(std::chrono::milliseconds limit = LIMIT);
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
                 std::chrono::milliseconds limit = LIMIT);

// norix_client with "-s endpoint" and args.
ClientResult client(const std::string& endpoint, const std::vector<std::string>& args);

}  // namespace proc

#endif  // TESTS_SUPPORT_PROCESS_H
