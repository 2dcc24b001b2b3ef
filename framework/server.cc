// server.cc - the host server runtime: configuration, start-up sequence,
// update thread, client connections, saving, and a server program's main.
//
// Threads: the start-up thread (start, then stop and save), the update
// thread, the accept thread and one thread per client connection. mux_
// guards the connection list and the stop flag; save_mux_ serialises saves.
// A connection's fd is closed only by the thread that reaps it after its
// serving thread has ended, so stop() may shut it down at any time.

#include "framework/server.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "framework/internal.h"
#include "framework/protocol.h"

namespace norix {

namespace {

using internal::first_word;
using internal::next_word;
using protocol::Clock;

constexpr int CODE_SUPERSTATE_LOCATION = 101;  // loaded and completed after all others
constexpr size_t MAX_CONNECTIONS = 32;
constexpr std::chrono::seconds IDLE_LIMIT{30};        // a connection without a request is closed
constexpr std::chrono::seconds ANSWER_LIMIT{10};      // to write one answer
constexpr std::chrono::milliseconds BUSY_LIMIT{100};  // to tell a client that it is refused
constexpr int ACCEPT_BACKOFF_MS = 100;  // pause of the accept loop when descriptors run out
constexpr int MAX_PERIOD_MS = 3600 * 1000;

std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  size_t pos = 0;
  std::string w;
  while (next_word(line, &pos, &w))
    words.push_back(w);
  return words;
}

bool to_int(const std::string& text, int min, int max, int* out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max) return false;
  *out = static_cast<int>(v);
  return true;
}

bool is_blank_or_comment(const std::string& line) {
  size_t i = line.find_first_not_of(internal::kWhiteSpace);
  return i == std::string::npos || line[i] == '#';
}

// Writes text into path through a new file beside it: written, flushed to
// disk, given the old file's permissions, then renamed over path, and the
// directory flushed. 0, or -1 with *why (the new file is removed again).
int replace_file(const std::string& path, const std::string& text, std::string* why) {
  std::string tmp = path + ".XXXXXX";
  int fd = mkostemp(&tmp[0], O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot create a file beside " + path + ": " + strerror(errno);
    return -1;
  }
  struct stat old;
  mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      ok = false;
    }
  }
  ok = ok && fchmod(fd, mode) == 0 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    *why = "cannot write " + path + ": " + strerror(errno);
    unlink(tmp.c_str());
    return -1;
  }
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

void call_hook(void (*hook)()) {
  if (hook != nullptr) hook();
}

}  // namespace

// --- configuration ---------------------------------------------------------

int parse_config(std::istream& in, const std::string& file, ServerConfig* out, std::string* why) {
  ServerConfig c;
  std::string line;
  int no = 0;
  bool have_server = false;
  auto fail = [&](const std::string& reason) {
    *why = file + ":" + std::to_string(no) + ": " + reason;
    return -1;
  };
  while (std::getline(in, line)) {
    ++no;
    std::vector<std::string> w = words_of(line);
    bool in_location = !c.locations.empty();
    if (!w.empty() && w[0] == "location") {
      ServerConfig::location l;
      l.line_no = no;
      if (w.size() < 3 || w.size() > 4 || !to_int(w[2], 0, INT_MAX, &l.code)) {
        return fail("expected: location NAME CODE [TYPE]");
      }
      l.name = w[1];
      l.type = w.size() == 4 ? w[3] : std::string();
      for (const ServerConfig::location& other : c.locations) {
        if (other.name == l.name) return fail("location " + l.name + " is configured twice");
      }
      c.locations.push_back(l);
      continue;
    }
    if (in_location) {
      if (!is_blank_or_comment(line)) c.locations.back().lines.push_back({no, line});
      continue;
    }
    c.header.push_back(line);
    if (w.empty() || w[0][0] == '#') continue;
    bool ok = true;
    if (w[0] == "server" && w.size() == 3) {
      c.facility = w[1];
      c.device = w[2];
      have_server = true;
    } else if (w[0] == "listen" && w.size() == 2) {
      c.listen = w[1];
    } else if (w[0] == "update" && w.size() == 2) {
      ok = to_int(w[1], 1, MAX_PERIOD_MS, &c.update_ms);
    } else if (w[0] == "timeout" && w.size() == 2) {
      ok = to_int(w[1], 1, MAX_PERIOD_MS, &c.timeout_ms);
    } else if (w[0] == "peer" && w.size() == 4) {
      protocol::Endpoint e;
      std::string reason;
      if (protocol::parse_endpoint(w[3], &e, &reason) != 0) return fail(reason);
      c.peers.push_back({w[1], w[2], w[3]});
    } else {
      ok = false;
    }
    if (!ok) return fail("not a configuration item: " + line);
  }
  if (!have_server) return fail("no 'server FACILITY DEVICE' item");
  if (c.listen.empty()) return fail("no 'listen ENDPOINT' item");
  *out = c;
  return 0;
}

// --- server ----------------------------------------------------------------

struct Server::connection {
  int fd;
  std::thread thread;
  std::atomic<bool> done{false};
};

struct Server::location {
  const ServerConfig::location* config;
  EqFct* fct;                     // not owned: lives as long as the process
  Config saved;                   // the properties that registered with conf()
  std::vector<std::string> kept;  // lines that named no property, saved again as read
};

Server::Server(const ServerHooks& hooks) : hooks_(hooks) {}

Server::~Server() {
  stop();
  for (auto& l : locations_)
    unserve_location(l->fct);
}

int Server::start(const std::string& config_file, std::string* why) {
  if (started_ || hooks_.create == nullptr) {
    *why = "the server is already started, or has no create hook";
    return -1;
  }
  started_ = true;
  file_ = config_file;
  std::ifstream in(config_file);
  if (!in) {
    *why = "cannot read " + config_file + ": " + strerror(errno);
    return -1;
  }
  if (parse_config(in, config_file, &config_, why) != 0) return -1;

  protocol::Endpoint wanted;
  protocol::Endpoint bound;
  if (protocol::parse_endpoint(config_.listen, &wanted, why) != 0) return -1;
  listen_fd_ = protocol::listen_on(wanted, &bound, why);
  if (listen_fd_ < 0) return -1;
  endpoint_ = bound.text();
  if (bound.is_unix) unix_path_ = bound.path;
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *why = std::string("pipe: ") + strerror(errno);
    return -1;
  }

  set_server(config_.facility, config_.device);
  set_call_timeout(config_.timeout_ms);
  for (const ServerConfig::peer& p : config_.peers)
    add_peer(p.facility, p.device, p.endpoint);

  call_hook(hooks_.init_prolog);
  for (const ServerConfig::location& c : config_.locations) {
    gbl_fct_name = c.type;
    EqFct* fct = hooks_.create(c.code, nullptr);
    if (fct == nullptr) {
      *why = file_ + ":" + std::to_string(c.line_no) + ": location " + c.name + ": type code " +
             std::to_string(c.code) + " refused";
      return -1;
    }
    fct->set_name(c.name);
    locations_.push_back(std::unique_ptr<location>(new location{&c, fct, Config(), {}}));
    for (D_fct* p : fct->properties())
      p->conf(&locations_.back()->saved);
    serve_location(fct);
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (auto& l : locations_) {
      if ((l->config->code == CODE_SUPERSTATE_LOCATION) != (pass == 1)) continue;
      load(l.get());
      l->fct->init();
      l->fct->complete();
    }
  }
  call_hook(hooks_.init_epilog);
  call_hook(hooks_.post_init_prolog);
  for (auto& l : locations_)
    l->fct->post_init();
  call_hook(hooks_.post_init_epilog);

  updater_ = std::thread(&Server::update_loop, this);
  acceptor_ = std::thread(&Server::accept_loop, this);
  return 0;
}

// A line that names no property of the location is kept and saved again as
// it was; a line whose value does not read is reported and dropped (the
// property's own value is saved in its place).
void Server::load(location* l) {
  for (const ServerConfig::saved_line& s : l->config->lines) {
    std::istringstream one(s.text);
    if (load_config(l->fct, one) == 0) continue;
    std::string word = first_word(s.text);
    std::string where = file_ + ":" + std::to_string(s.line_no) + ": location " + l->config->name;
    if (l->fct->find_property(word) == nullptr) {
      l->kept.push_back(s.text);
      fprintf(stderr, "%s has no property %s; the line is kept\n", where.c_str(), word.c_str());
    } else {
      fprintf(stderr, "%s: the value of %s does not read; it is dropped\n", where.c_str(),
              word.c_str());
    }
  }
}

void Server::stop() {
  {
    std::lock_guard<std::mutex> lock(mux_);
    if (stopping_) return;
    stopping_ = true;
  }
  stop_cond_.notify_all();
  if (wake_[1] >= 0) {
    char byte = 1;
    ssize_t n = write(wake_[1], &byte, 1);
    (void)n;  // a full pipe wakes the loop as well
  }
  if (updater_.joinable()) updater_.join();
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(mux_);
    for (auto& c : connections_)
      shutdown(c->fd, SHUT_RDWR);
  }
  // No new connection comes now; the serving threads end on the shut-down
  // sockets. Joined without mux_, which they do not take.
  std::vector<std::unique_ptr<connection>> gone;
  {
    std::lock_guard<std::mutex> lock(mux_);
    gone.swap(connections_);
  }
  for (auto& c : gone) {
    c->thread.join();
    close(c->fd);
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
  if (!unix_path_.empty()) unlink(unix_path_.c_str());
  for (int& fd : wake_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

std::string Server::saved_text() {
  std::string out;
  for (const std::string& h : config_.header)
    out += h + "\n";
  for (auto& l : locations_) {
    const ServerConfig::location& c = *l->config;
    out += "location " + c.name + " " + std::to_string(c.code);
    if (!c.type.empty()) out += " " + c.type;
    out += "\n";
    for (const Config::entry& e : l->saved.entries)
      out += internal::saved_line(e.property);
    for (const std::string& k : l->kept)
      out += k + "\n";
  }
  return out;
}

int Server::save(std::string* why) {
  std::lock_guard<std::mutex> lock(save_mux_);
  if (file_.empty()) {
    *why = "the server has no configuration file";
    return -1;
  }
  return replace_file(file_, saved_text(), why);
}

void Server::interrupt_usr1(int sig) {
  if (hooks_.interrupt_usr1_prolog != nullptr) hooks_.interrupt_usr1_prolog(sig);
  for (auto& l : locations_)
    l->fct->interrupt_usr1(sig);
  if (hooks_.interrupt_usr1_epilog != nullptr) hooks_.interrupt_usr1_epilog(sig);
}

std::string Server::endpoint() const {
  return endpoint_;
}

const ServerConfig& Server::config() const {
  return config_;
}

std::vector<EqFct*> Server::locations() const {
  std::vector<EqFct*> out;
  for (auto& l : locations_)
    out.push_back(l->fct);
  return out;
}

// Ticks at a fixed rate; a round that overran its period starts the next
// one a whole period later instead of catching up.
void Server::update_loop() {
  const auto period = std::chrono::milliseconds(config_.update_ms);
  auto next = Clock::now() + period;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mux_);
      if (stop_cond_.wait_until(lock, next, [this] { return stopping_; })) return;
    }
    call_hook(hooks_.refresh_prolog);
    for (auto& l : locations_)
      l->fct->update();
    call_hook(hooks_.refresh_epilog);
    next += period;
    auto now = Clock::now();
    if (next < now) next = now + period;
  }
}

void Server::accept_loop() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0 && errno != EINTR) return;
    if (p[1].revents != 0) return;  // stop() woke us
    if ((p[0].revents & (POLLERR | POLLNVAL)) != 0) {
      fprintf(stderr, "the listening socket failed; no more clients are accepted\n");
      return;
    }
    if ((p[0].revents & POLLIN) == 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or memory: the waiting client stays queued, so
      // give the serving threads time to free some instead of spinning.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        pollfd w{wake_[0], POLLIN, 0};
        poll(&w, 1, ACCEPT_BACKOFF_MS);
      }
      continue;
    }
    bool busy = false;
    {
      std::lock_guard<std::mutex> lock(mux_);
      reap_ended();
      busy = connections_.size() >= MAX_CONNECTIONS;
      if (!busy) {
        connections_.push_back(std::unique_ptr<connection>(new connection));
        connection* c = connections_.back().get();
        c->fd = fd;
        c->thread = std::thread(&Server::serve, this, c);
      }
    }
    if (busy) {
      EqData refusal;
      refusal.error(ERR_BUSY, error_text(ERR_BUSY));
      protocol::write_all(fd, protocol::answer_line(refusal) + "\n", Clock::now() + BUSY_LIMIT);
      close(fd);
    }
  }
}

// Called with mux_ held: joins and closes the connections whose serving
// threads have ended.
void Server::reap_ended() {
  for (size_t i = 0; i < connections_.size();) {
    connection* c = connections_[i].get();
    if (!c->done.load()) {
      ++i;
      continue;
    }
    c->thread.join();
    close(c->fd);
    connections_.erase(connections_.begin() + static_cast<long>(i));
  }
}

void Server::serve(connection* c) {
  protocol::LineReader reader(c->fd);
  std::string line;
  for (;;) {
    auto r = reader.read_line(&line, protocol::MAX_REQUEST, Clock::now() + IDLE_LIMIT);
    std::string reply;
    if (r == protocol::LineReader::LINE) {
      reply = answer(line);
    } else if (r == protocol::LineReader::TOO_LONG) {
      EqData bad;
      bad.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST));
      reply = protocol::answer_line(bad);
    } else {
      break;
    }
    if (protocol::write_all(c->fd, reply + "\n", Clock::now() + ANSWER_LIMIT) != 0) break;
    if (r != protocol::LineReader::LINE) break;
  }
  // The client sees the end now; the fd is closed when the thread is reaped.
  shutdown(c->fd, SHUT_RDWR);
  c->done = true;
}

std::string Server::answer(const std::string& line) {
  protocol::Request req;
  EqData result;
  if (protocol::parse_request(line, &req) != 0) {
    result.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST));
    return protocol::answer_line(result);
  }
  if (req.command == protocol::Request::SAVE) {
    std::string why;
    if (save(&why) != 0) {
      fprintf(stderr, "save: %s\n", why.c_str());
      result.error(ERR_NOT_SAVED, error_text(ERR_NOT_SAVED));
    }
    return protocol::answer_line(result);
  }
  // Calls for a peer are not passed on: a client talks to each server itself.
  if (!peer_endpoint(req.address).empty()) {
    result.error(ERR_NO_SERVER, error_text(ERR_NO_SERVER));
    return protocol::answer_line(result);
  }
  EqCall call;
  EqData request;
  switch (req.command) {
    case protocol::Request::GET:
      call.get(&req.address, &request, &result);
      break;
    case protocol::Request::SET:
      call.set(&req.address, &req.value, &result);
      break;
    default:
      call.names(&req.address, &result);
      break;
  }
  return protocol::answer_line(result);
}

// --- a server program's main -----------------------------------------------

namespace {

// The one server of the program: reachable for the rest of the process, as
// are its locations, whose machines never stop.
Server* program_server = nullptr;

}  // namespace

int server_main(int argc, char** argv, const ServerHooks& hooks) {
  const char* prog = argc > 0 ? argv[0] : "server";
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
  sigaddset(&handled, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  signal(SIGPIPE, SIG_IGN);

  program_server = new Server(hooks);
  std::string why;
  if (program_server->start(argv[1], &why) != 0) {
    fprintf(stderr, "%s: %s\n", prog, why.c_str());
    return 2;
  }
  printf("norix server %s/%s listening on %s\n", program_server->config().facility.c_str(),
         program_server->config().device.c_str(), program_server->endpoint().c_str());
  fflush(stdout);

  int sig = 0;
  for (;;) {
    if (sigwait(&handled, &sig) != 0) continue;
    if (sig != SIGUSR1) break;
    program_server->interrupt_usr1(sig);
  }
  program_server->stop();
  int rc = program_server->save(&why);
  if (rc != 0) {
    fprintf(stderr, "%s: %s\n", prog, why.c_str());
  } else {
    printf("norix server saved %s\n", argv[1]);
  }
  call_hook(hooks.cancel);
  fflush(stdout);
  return rc == 0 ? 0 : 1;
}

}  // namespace norix
