// http_gate.cc - the web panel's connections (see http_gate.h).
//
// Threads: the gate thread owns the listening socket and every connection
// that is still being read or answered by the gate; the serving threads
// take admitted requests from the queue. `mux` guards the queue, the set of
// served descriptors, the open count and `stopping`; it is a leaf (lock
// order L5, fsm/fsm_core.h): no hook runs and no socket is waited on while
// it is held.

#include "framework/host/http_gate.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace norix {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t READ_PIECE = 4096;
const char HEAD_END[] = "\r\n\r\n";

std::string lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") + 1 - b);
}

const char* reason(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

std::string answer_text(const GateRefusal& r) {
  std::string body = r.body.empty() ? std::to_string(r.status) + "\n" : r.body;
  return "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n" + r.headers + "\r\n" + body;
}

GateRefusal refusal(int status, const std::string& body) {
  GateRefusal r;
  r.status = status;
  r.body = body;
  return r;
}

// A connection the gate reads or answers.
struct pending {
  GateRequest req;
  Clock::time_point deadline;  // of the whole request; then of the answer
  bool answering = false;
  Clock::time_point answer_at;
  std::string answer;
  size_t sent = 0;
};

}  // namespace

std::string GateRequest::header(const std::string& name) const {
  std::string want = lower(name) + ":";
  size_t at = bytes.find("\r\n");
  while (at != std::string::npos && at + 2 < head_size) {
    size_t end = bytes.find("\r\n", at + 2);
    if (end == std::string::npos) break;
    std::string line = bytes.substr(at + 2, end - at - 2);
    if (lower(line.substr(0, want.size())) == want) return trimmed(line.substr(want.size()));
    at = end;
  }
  return "";
}

std::string GateRequest::method() const {
  return bytes.substr(0, bytes.find(' '));
}

std::string GateRequest::path() const {
  size_t b = bytes.find(' ');
  if (b == std::string::npos) return "";
  size_t e = bytes.find_first_of(" ?\r", b + 1);
  return bytes.substr(b + 1, e == std::string::npos ? std::string::npos : e - b - 1);
}

struct HttpGate::impl {
  GateLimits limits;
  Admit admit;
  Serve serve;
  int listen_fd = -1;
  int wake[2] = {-1, -1};
  std::thread gate;
  std::vector<std::thread> servers;

  std::mutex mux;  // guards the fields below
  std::condition_variable queued;
  std::deque<GateRequest> queue;
  std::set<int> served;  // descriptors being served
  size_t open = 0;       // connections open: the gate's, queued and served
  bool stopping = false;

  void run();
  void serve_loop();
  bool read_request(pending* p);
  void close_pending(pending* p);
};

HttpGate::HttpGate(const GateLimits& limits, Admit admit, Serve serve) : impl_(new impl) {
  impl_->limits = limits;
  impl_->admit = std::move(admit);
  impl_->serve = std::move(serve);
}

HttpGate::~HttpGate() {
  stop();
}

int HttpGate::start(int listen_fd, std::string* why) {
  impl* p = impl_.get();
  if (pipe2(p->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    *why = std::string("http: ") + strerror(errno);
    close(listen_fd);
    return -1;
  }
  fcntl(listen_fd, F_SETFL, fcntl(listen_fd, F_GETFL) | O_NONBLOCK);
  p->listen_fd = listen_fd;
  for (size_t i = 0; i < p->limits.threads; ++i)
    p->servers.emplace_back(&impl::serve_loop, p);
  p->gate = std::thread(&impl::run, p);
  return 0;
}

void HttpGate::stop() {
  impl* p = impl_.get();
  {
    std::lock_guard<std::mutex> lock(p->mux);
    if (p->stopping) return;
    p->stopping = true;
    for (int fd : p->served)
      shutdown(fd, SHUT_RDWR);
  }
  p->queued.notify_all();
  if (p->wake[1] >= 0) {
    char byte = 1;
    ssize_t n = write(p->wake[1], &byte, 1);
    (void)n;  // a full pipe wakes the gate as well
  }
  if (p->gate.joinable()) p->gate.join();
  for (std::thread& t : p->servers)
    t.join();
  for (int& fd : p->wake) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

// Reads what has arrived; true when the request is whole or refused (then
// p->answering is set).
bool HttpGate::impl::read_request(pending* p) {
  char piece[READ_PIECE];
  ssize_t n = recv(p->req.fd, piece, sizeof piece, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    p->deadline = Clock::now();  // gone: closed at once
    return false;
  }
  if (n < 0) return false;
  GateRequest& r = p->req;
  r.bytes.append(piece, static_cast<size_t>(n));
  GateRefusal no;
  if (r.head_size == 0) {
    size_t end = r.bytes.find(HEAD_END);
    if (end == std::string::npos) {
      if (r.bytes.size() <= limits.head_bytes) return false;
      no = refusal(431, "request headers too large\n");
    } else if (end + 4 > limits.head_bytes) {
      no = refusal(431, "request headers too large\n");
    } else {
      r.head_size = end + 4;
    }
  }
  size_t body = 0;
  if (no.status == 0) {
    std::string length = r.header("Content-Length");
    if (!r.header("Transfer-Encoding").empty()) {
      no = refusal(411, "a request body needs a Content-Length\n");
    } else if (!length.empty() &&
               (length.find_first_not_of("0123456789") != std::string::npos || length.size() > 9)) {
      no = refusal(400, "bad Content-Length\n");
    } else if (!length.empty() && std::stoul(length) > limits.body_bytes) {
      no = refusal(413, "request body too large\n");
    } else {
      body = length.empty() ? 0 : std::stoul(length);
    }
  }
  if (no.status == 0 && r.bytes.size() < r.head_size + body) {
    if (lower(r.header("Expect")) == "100-continue" && r.bytes.size() == r.head_size) {
      const char go_on[] = "HTTP/1.1 100 Continue\r\n\r\n";
      ssize_t w = send(r.fd, go_on, sizeof go_on - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
      (void)w;  // a client that cannot take it times out as any slow one
    }
    return false;
  }
  if (no.status == 0) {
    r.bytes.resize(r.head_size + body);  // nothing after the request is read
    no = admit(r);
    if (no.status == 0) return true;
  }
  p->answering = true;
  p->answer_at = Clock::now() + no.delay;
  p->deadline = p->answer_at + limits.request;
  p->answer = answer_text(no);
  return true;
}

void HttpGate::impl::close_pending(pending* p) {
  close(p->req.fd);
  std::lock_guard<std::mutex> lock(mux);
  --open;
}

void HttpGate::impl::run() {
  std::vector<std::unique_ptr<pending>> conns;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mux);
      if (stopping) break;
    }
    Clock::time_point now = Clock::now();
    // Ends the connections that ran out of time; a late request gets 408.
    for (auto& c : conns) {
      if (c->deadline > now) continue;
      if (!c->answering && !c->req.bytes.empty()) {
        std::string late = answer_text(refusal(408, "the request took too long\n"));
        ssize_t w = send(c->req.fd, late.data(), late.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)w;
      }
      close_pending(c.get());
      c.reset();
    }
    conns.erase(std::remove(conns.begin(), conns.end(), nullptr), conns.end());
    std::vector<pollfd> fds{{wake[0], POLLIN, 0}, {listen_fd, POLLIN, 0}};
    Clock::time_point next = now + std::chrono::seconds(60);
    for (auto& c : conns) {
      short ev = POLLIN;
      if (c->answering) ev = c->answer_at <= now ? POLLOUT : 0;
      fds.push_back({c->req.fd, ev, 0});
      next = std::min(next, c->answering && c->answer_at > now ? c->answer_at : c->deadline);
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
    if (poll(fds.data(), fds.size(), static_cast<int>(wait)) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) {
      char drain[64];
      while (read(wake[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[1].revents != 0) {
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
      if (fd >= 0) {
        bool room;
        {
          std::lock_guard<std::mutex> lock(mux);
          room = open < limits.connections;
          if (room) ++open;
        }
        if (!room) {
          std::string busy = answer_text(refusal(503, "too many connections\n"));
          ssize_t w = send(fd, busy.data(), busy.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
          (void)w;
          close(fd);
        } else {
          auto c = std::make_unique<pending>();
          char ip[INET_ADDRSTRLEN] = "";
          inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
          c->req.peer_ip = ip;
          c->req.peer_port = ntohs(peer.sin_port);
          c->req.fd = fd;
          c->req.head_size = 0;
          c->deadline = Clock::now() + limits.request;
          conns.push_back(std::move(c));
        }
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      pending* c = conns[i - 2].get();
      if (!c->answering) {
        if (read_request(c) && !c->answering) {
          std::lock_guard<std::mutex> lock(mux);
          queue.push_back(std::move(c->req));
          queued.notify_one();
          conns[i - 2].reset();
        }
        continue;
      }
      ssize_t w = send(c->req.fd, c->answer.data() + c->sent, c->answer.size() - c->sent,
                       MSG_DONTWAIT | MSG_NOSIGNAL);
      if (w > 0) c->sent += static_cast<size_t>(w);
      if (c->sent == c->answer.size() || (w < 0 && errno != EAGAIN && errno != EINTR)) {
        close_pending(c);
        conns[i - 2].reset();
      }
    }
    conns.erase(std::remove(conns.begin(), conns.end(), nullptr), conns.end());
  }
  for (auto& c : conns)
    close_pending(c.get());
  close(listen_fd);
  listen_fd = -1;
}

void HttpGate::impl::serve_loop() {
  for (;;) {
    GateRequest r;
    {
      std::unique_lock<std::mutex> lock(mux);
      queued.wait(lock, [this] { return stopping || !queue.empty(); });
      if (queue.empty()) return;  // stopping
      r = std::move(queue.front());
      queue.pop_front();
      if (stopping) {  // not served: its client gets the connection closed
        --open;
        close(r.fd);
        continue;
      }
      served.insert(r.fd);
    }
    serve(r);
    {
      std::lock_guard<std::mutex> lock(mux);
      served.erase(r.fd);
      --open;
    }
    close(r.fd);
  }
}

long loopback_peer_uid(int fd) {
  sockaddr_in mine{}, theirs{};
  socklen_t a = sizeof mine, b = sizeof theirs;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &a) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &b) != 0 || mine.sin_family != AF_INET)
    return -1;
  // The kernel's table lists each end as ADDRESS:PORT in hexadecimal, the
  // address in the host's byte order: the peer's socket is the one whose
  // local end is the peer and whose remote end is this one.
  char want_local[32], want_remote[32];
  snprintf(want_local, sizeof want_local, "%08X:%04X", theirs.sin_addr.s_addr,
           ntohs(theirs.sin_port));
  snprintf(want_remote, sizeof want_remote, "%08X:%04X", mine.sin_addr.s_addr,
           ntohs(mine.sin_port));
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the titles
  while (std::getline(table, line)) {
    std::istringstream in(line);
    std::string slot, local, remote, state, queues, timer, retr;
    long uid = -1;
    if (!(in >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid)) continue;
    if (local == want_local && remote == want_remote) return uid;
  }
  return -1;
}

}  // namespace norix
