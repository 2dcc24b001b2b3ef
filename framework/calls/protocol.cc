// protocol.cc - endpoints, sockets with deadlines, request and answer
// lines, and the client call of the wire protocol.
//
// Every socket made here is non-blocking; waiting is done with poll()
// against a deadline, so no call waits longer than its caller allows.

#include "framework/calls/protocol.h"

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

namespace norix {
namespace protocol {

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

bool parse_number(const std::string& text, long min, long max, long* out) {
  if (text.empty() || text.size() > 12) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  if (!(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-')) return false;
  *out = v;
  return true;
}

bool parse_address(const std::string& word, EqAdr* out) {
  std::string text;
  if (word.empty() || word.find_first_of(" \t") != std::string::npos || !unescape(word, &text)) {
    return false;
  }
  out->adr(text);
  return true;
}

}  // namespace

std::string Endpoint::text() const {
  if (is_unix) return "unix:" + path;
  char host[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &inet.sin_addr, host, sizeof host);
  return std::string("tcp:") + host + ":" + std::to_string(ntohs(inet.sin_port));
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
  if (text.compare(0, 4, "tcp:") != 0 || colon < 4) {
    *why = "endpoint '" + text + "' is neither unix:PATH nor tcp:HOST:PORT";
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

std::string escape(const std::string& text, bool word) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case ' ':
        out += word ? "\\s" : " ";
        break;
      case '\t':
        out += word ? "\\t" : "\t";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool unescape(const std::string& text, std::string* out) {
  std::string s;
  s.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      s += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\':
        s += '\\';
        break;
      case 'n':
        s += '\n';
        break;
      case 'r':
        s += '\r';
        break;
      case 's':
        s += ' ';
        break;
      case 't':
        s += '\t';
        break;
      default:
        return false;
    }
  }
  *out = s;
  return true;
}

std::string get_request(const EqAdr& address) {
  return "get " + escape(address.show_adr(), true);
}

std::string names_request(const EqAdr& address) {
  return "names " + escape(address.show_adr(), true);
}

std::string set_request(const EqAdr& address, const EqData& value) {
  return "set " + escape(address.show_adr(), true) + " " + std::to_string(value.type()) + " " +
         escape(value.text_value(), false);
}

std::string save_request() {
  return "save";
}

std::string subscribe_request(const EqAdr& address) {
  return "subscribe " + escape(address.show_adr(), true);
}

std::string unsubscribe_request(long id) {
  return "unsubscribe " + std::to_string(id);
}

int parse_request(const std::string& line, Request* out) {
  // A NUL would cut the request short wherever it is read as a C string.
  if (line.find('\0') != std::string::npos) return ERR_BAD_REQUEST;
  size_t sp = line.find(' ');
  std::string command = line.substr(0, sp);
  std::string rest = sp == std::string::npos ? std::string() : line.substr(sp + 1);
  if (command == "save" && sp == std::string::npos) {
    out->command = Request::SAVE;
    return 0;
  }
  if (command == "get" || command == "names" || command == "subscribe") {
    if (!parse_address(rest, &out->address)) return ERR_BAD_REQUEST;
    out->command = command == "get"     ? Request::GET
                   : command == "names" ? Request::NAMES
                                        : Request::SUBSCRIBE;
    return 0;
  }
  if (command == "unsubscribe") {
    if (!parse_number(rest, 1, 1L << 40, &out->id)) return ERR_BAD_REQUEST;
    out->command = Request::UNSUBSCRIBE;
    return 0;
  }
  if (command != "set") return ERR_BAD_REQUEST;
  size_t a = rest.find(' ');
  if (a == std::string::npos || !parse_address(rest.substr(0, a), &out->address)) {
    return ERR_BAD_REQUEST;
  }
  size_t t = rest.find(' ', a + 1);
  long type = 0;
  std::string value;
  if (!parse_number(rest.substr(a + 1, t == std::string::npos ? t : t - a - 1), 0, 1 << 30,
                    &type) ||
      !unescape(t == std::string::npos ? std::string() : rest.substr(t + 1), &value)) {
    return ERR_BAD_REQUEST;
  }
  out->value.init();
  out->value.set_type(static_cast<int>(type));
  if (out->value.set_from_string(value) != 0) return ERR_BAD_REQUEST;
  out->command = Request::SET;
  return 0;
}

std::string answer_line(const EqData& result) {
  if (result.error() != 0) {
    return "err " + std::to_string(result.error()) + " " + escape(result.text_value(), false);
  }
  return "ok " + std::to_string(result.type()) + " " + escape(result.text_value(), false);
}

int parse_answer(const std::string& line, EqData* result) {
  size_t a = line.find(' ');
  size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
  if (b == std::string::npos) return -1;
  std::string kind = line.substr(0, a);
  long number = 0;
  std::string text;
  if ((kind != "ok" && kind != "err") ||
      !parse_number(line.substr(a + 1, b - a - 1), 0, 1 << 30, &number) ||
      !unescape(line.substr(b + 1), &text)) {
    return -1;
  }
  EqData parsed;
  if (kind == "err") {
    if (number == 0) return -1;
    parsed.error(static_cast<int>(number), text);
  } else {
    parsed.set_type(static_cast<int>(number));
    if (parsed.set_from_string(text) != 0) return -1;
  }
  result->copy_from(&parsed);
  return 0;
}

std::string change_line(long id, const EqData& value) {
  return "change " + std::to_string(id) + " " + answer_line(value);
}

LineKind parse_monitor_line(const std::string& line, long* id, EqData* value) {
  if (line == BEAT_LINE) return BEAT;
  if (line.compare(0, 7, "change ") != 0) return parse_answer(line, value) == 0 ? ANSWER : GARBLED;
  size_t sp = line.find(' ', 7);
  if (sp == std::string::npos || !parse_number(line.substr(7, sp - 7), 1, 1L << 40, id) ||
      parse_answer(line.substr(sp + 1), value) != 0) {
    return GARBLED;
  }
  return CHANGE;
}

int call(const std::string& endpoint, const std::string& request, EqData* result, int timeout_ms) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Endpoint e;
  std::string why;
  int fd = parse_endpoint(endpoint, &e, &why) == 0 ? connect_to(e, deadline) : -1;
  bool answered = false;
  if (fd >= 0) {
    LineReader reader(fd);
    std::string line;
    // A server that refuses the connection answers without reading the
    // request, so its answer is read even when the request could not be sent.
    std::string secret = secret_for(endpoint);
    write_all(fd, (secret.empty() ? "" : auth_request(secret) + "\n") + request + "\n", deadline);
    answered = reader.read_line(&line, MAX_ANSWER, deadline) == LineReader::LINE &&
               parse_answer(line, result) == 0;
    if (answered && !secret.empty() && result->error() == 0) {
      answered = reader.read_line(&line, MAX_ANSWER, deadline) == LineReader::LINE &&
                 parse_answer(line, result) == 0;
    }
    close(fd);
  }
  if (!answered) {
    result->init();
    result->error(ERR_UNREACHABLE, error_text(ERR_UNREACHABLE));
  }
  return result->error();
}

}  // namespace protocol
}  // namespace norix
