// process.cc - child processes for end-to-end tests.

#include "testkit/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testkit {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

int exit_status(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

// Spawns program with args in directory dir ("": this one's); the given
// pipe ends become the child's standard output and error (-1: inherited).
// The pid, or -1.
pid_t spawn(const std::string& program, const std::vector<std::string>& args, int out, int err,
            const std::string& dir = "") {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (out >= 0) posix_spawn_file_actions_adddup2(&fa, out, STDOUT_FILENO);
  if (err >= 0) posix_spawn_file_actions_adddup2(&fa, err, STDERR_FILENO);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

int open_pidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Reads what is there from fd into *out: false at the end of the output.
bool drain(int fd, std::string* out) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) out->append(buf, static_cast<size_t>(n));
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
}

}  // namespace

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (pid_fd_ >= 0) close(pid_fd_);
}

bool ServerProcess::start(const std::string& program, const std::vector<std::string>& args,
                          const std::string& dir) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  pid_ = spawn(program, args, p[1], p[1], dir);
  close(p[1]);
  out_fd_ = p[0];
  if (pid_ > 0) pid_fd_ = open_pidfd(pid_);
  return pid_ > 0 && pid_fd_ >= 0;
}

bool ServerProcess::read_more(Clock::time_point deadline) {
  if (out_fd_ < 0) return false;
  pollfd p{out_fd_, POLLIN, 0};
  int n = poll(&p, 1, ms_left(deadline));
  if (n <= 0) return false;
  if (drain(out_fd_, &output_)) return true;
  close(out_fd_);
  out_fd_ = -1;
  return false;
}

bool ServerProcess::wait_output(const std::string& text, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (output_.find(text) == std::string::npos) {
    if (!read_more(deadline)) return output_.find(text) != std::string::npos;
  }
  return true;
}

void ServerProcess::signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

Exit ServerProcess::wait_exit(std::chrono::milliseconds limit) {
  Exit e;
  if (pid_ <= 0) return e;
  auto deadline = Clock::now() + limit;
  while (read_more(deadline)) {
  }
  pollfd p{pid_fd_, POLLIN, 0};
  if (poll(&p, 1, ms_left(deadline)) <= 0) return e;
  int wstatus = 0;
  if (waitpid(pid_, &wstatus, 0) != pid_) return e;
  pid_ = -1;
  e.exited = true;
  e.status = exit_status(wstatus);
  return e;
}

Exit ServerProcess::stop(std::chrono::milliseconds limit) {
  signal(SIGTERM);
  return wait_exit(limit);
}

ClientResult run(const std::string& program, const std::vector<std::string>& args,
                 std::chrono::milliseconds limit) {
  ClientResult r;
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return r;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return r;
  }
  pid_t pid = spawn(program, args, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  int pid_fd = pid > 0 ? open_pidfd(pid) : -1;
  auto deadline = Clock::now() + limit;
  bool open_out = true;
  bool open_err = true;
  bool ended = pid <= 0;
  while (!ended && (open_out || open_err || pid_fd >= 0)) {
    pollfd p[3] = {{open_out ? out[0] : -1, POLLIN, 0},
                   {open_err ? err[0] : -1, POLLIN, 0},
                   {open_out || open_err ? -1 : pid_fd, POLLIN, 0}};
    if (poll(p, 3, ms_left(deadline)) <= 0) break;
    if (p[0].revents != 0) open_out = drain(out[0], &r.out);
    if (p[1].revents != 0) open_err = drain(err[0], &r.err);
    ended = p[2].revents != 0;
  }
  if (pid > 0) {
    if (!ended) kill(pid, SIGKILL);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.exit.exited = ended;
    r.exit.status = exit_status(wstatus);
  }
  close(out[0]);
  close(err[0]);
  if (pid_fd >= 0) close(pid_fd);
  return r;
}

}  // namespace testkit
