// endpoint.cc - endpoints, sockets with deadlines, line reading and the
// secrets of the wire protocol.
//
// Every socket made here is non-blocking; waiting is done with poll()
// against a deadline, so no call waits longer than its caller allows.

#include "framework/calls/endpoint.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "framework/base/text.h"
#include "framework/calls/protocol.h"
#include "framework/calls/tls.h"

namespace norix {
namespace protocol {

using internal::parse_number;

namespace {

// The secrets that calls present, by endpoint text; guarded by secrets_mux.
std::mutex secrets_mux;
std::map<std::string, std::string>& secrets() {
  static auto* map = new std::map<std::string, std::string>;  // lives as long as the process
  return *map;
}

constexpr int LISTEN_BACKLOG = 64;
constexpr size_t READ_CHUNK = 4096;
constexpr std::chrono::milliseconds PROBE_TIMEOUT{500};  // is a stale socket path still served?

// Milliseconds left until the deadline, rounded up; 0 once it has passed.
int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 60 * 60 * 1000 ? 60 * 60 * 1000 : static_cast<int>(left);
}

// Waits for events on fd until the deadline: true when one came.
bool wait_for(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, ms_left(deadline));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

sockaddr_un unix_address(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  memcpy(a.sun_path, path.data(), path.size());  // parse_endpoint checked the length
  return a;
}

int new_socket(const Endpoint& e) {
  return socket(e.is_unix ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int bind_to(int fd, const Endpoint& e) {
  if (e.is_unix) {
    sockaddr_un a = unix_address(e.path);
    return bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  return bind(fd, reinterpret_cast<const sockaddr*>(&e.inet), sizeof e.inet);
}

}  // namespace

std::string Endpoint::text() const {
  if (is_unix) return "unix:" + path;
  char host[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &inet.sin_addr, host, sizeof host);
  return std::string(is_tls ? "tls:" : "tcp:") + host + ":" + std::to_string(ntohs(inet.sin_port));
}

int parse_endpoint(const std::string& text, Endpoint* out, std::string* why) {
  Endpoint e;
  if (text.compare(0, 5, "unix:") == 0) {
    e.path = text.substr(5);
    if (e.path.empty() || e.path.find('\0') != std::string::npos) {
      *why = "no socket path in '" + text + "'";
      return -1;
    }
    if (e.path.size() >= sizeof(sockaddr_un{}.sun_path)) {
      *why = "socket path too long in '" + text + "'";
      return -1;
    }
    *out = e;
    return 0;
  }
  size_t colon = text.rfind(':');
  e.is_tls = text.compare(0, 4, "tls:") == 0;
  if ((text.compare(0, 4, "tcp:") != 0 && !e.is_tls) || colon < 4) {
    *why = "endpoint '" + text + "' is neither unix:PATH nor tcp:HOST:PORT nor tls:HOST:PORT";
    return -1;
  }
  std::string host = text.substr(4, colon - 4);
  long port = 0;
  e.is_unix = false;
  e.inet = sockaddr_in{};
  e.inet.sin_family = AF_INET;
  if (host == "localhost") host = "127.0.0.1";
  if (inet_pton(AF_INET, host.c_str(), &e.inet.sin_addr) != 1 ||
      !parse_number(text.substr(colon + 1), 0, 65535, &port)) {
    *why = "bad host or port in '" + text + "'";
    return -1;
  }
  e.inet.sin_port = htons(static_cast<uint16_t>(port));
  *out = e;
  return 0;
}

int listen_on(const Endpoint& endpoint, Endpoint* bound, std::string* why) {
  int fd = new_socket(endpoint);
  if (fd < 0) {
    *why = std::string("socket: ") + strerror(errno);
    return -1;
  }
  if (!endpoint.is_unix) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  int rc = bind_to(fd, endpoint);
  struct stat st;
  if (rc != 0 && errno == EADDRINUSE && endpoint.is_unix) {
    // A socket left by a server that is gone refuses connections: take it
    // over. Any other kind of file at the path is left alone.
    int probe = connect_to(endpoint, Clock::now() + PROBE_TIMEOUT);
    if (probe >= 0) {
      close(probe);
      errno = EADDRINUSE;
    } else if (lstat(endpoint.path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
      errno = EEXIST;
    } else {
      unlink(endpoint.path.c_str());
      rc = bind_to(fd, endpoint);
    }
  }
  if (rc != 0 || listen(fd, LISTEN_BACKLOG) != 0) {
    *why = endpoint.text() + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  *bound = endpoint;
  if (!endpoint.is_unix) {
    socklen_t len = sizeof bound->inet;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound->inet), &len);
  }
  return fd;
}

void set_secret(const std::string& endpoint, const std::string& secret) {
  std::lock_guard<std::mutex> lock(secrets_mux);
  secrets()[endpoint] = secret;
}

std::string secret_for(const std::string& endpoint) {
  std::lock_guard<std::mutex> lock(secrets_mux);
  auto it = secrets().find(endpoint);
  return it != secrets().end() ? it->second : std::string();
}

std::string auth_request(const std::string& secret) {
  return "auth " + escape(secret, false);
}

bool presents_secret(const std::string& line, const std::string& secret) {
  std::string wanted = auth_request(secret);
  size_t n = std::max(line.size(), wanted.size());
  unsigned char differs = line.size() == wanted.size() ? 0 : 1;
  for (size_t i = 0; i < n; ++i) {
    unsigned char a = i < line.size() ? static_cast<unsigned char>(line[i]) : 0;
    unsigned char b = i < wanted.size() ? static_cast<unsigned char>(wanted[i]) : 0;
    differs |= a ^ b;
  }
  return differs == 0;
}

int connect_to(const Endpoint& endpoint, Clock::time_point deadline) {
  int fd = new_socket(endpoint);
  if (fd < 0) return -1;
  int rc;
  if (endpoint.is_unix) {
    sockaddr_un a = unix_address(endpoint.path);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    rc = connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.inet), sizeof endpoint.inet);
  }
  if (rc != 0 && errno == EINPROGRESS && wait_for(fd, POLLOUT, deadline)) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) rc = 0;
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  if (endpoint.is_tls) {
    char host[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &endpoint.inet.sin_addr, host, sizeof host);
    return tls_connect(fd, host, deadline);  // owns fd
  }
  return fd;
}

LineReader::Result LineReader::read_line(std::string* line, size_t max,
                                         Clock::time_point deadline) {
  for (;;) {
    size_t lf = buffered_.find('\n');
    if (lf != std::string::npos && lf < max) {
      size_t end = lf > 0 && buffered_[lf - 1] == '\r' ? lf - 1 : lf;
      line->assign(buffered_, 0, end);
      buffered_.erase(0, lf + 1);
      return LINE;
    }
    if (buffered_.size() >= max) return TOO_LONG;
    char chunk[READ_CHUNK];
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) {
      buffered_.append(chunk, static_cast<size_t>(n));
    } else if (n == 0) {
      return buffered_.empty() ? END : FAILED;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!wait_for(fd_, POLLIN, deadline)) return FAILED;
    } else if (errno != EINTR) {
      return FAILED;
    }
  }
}

std::string LineReader::take_buffered() {
  std::string rest;
  rest.swap(buffered_);
  return rest;
}

int write_all(int fd, const std::string& data, Clock::time_point deadline) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_for(fd, POLLOUT, deadline)) return -1;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return -1;
    }
  }
  return 0;
}

}  // namespace protocol
}  // namespace norix
