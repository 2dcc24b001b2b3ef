// config_check.cc - the checks of a configuration's endpoints and settings
// folder, made without listening: a TCP address is bound and released at
// once, a Unix socket path is only looked at and connected to.

#include "framework/host/config_check.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "framework/calls/endpoint.h"
#include "framework/calls/tls.h"
#include "framework/host/broker_host.h"

namespace norix {

namespace {

std::string reason(const std::string& what) {
  return what + ": " + strerror(errno);
}

// A TCP address is free when a socket can be bound to it (as the server
// binds: with SO_REUSEADDR); the socket is closed before it listens.
int check_tcp(const sockaddr_in& at, const std::string& text, std::string* why) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = reason("socket");
    return -1;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int rc = bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
  if (rc != 0) *why = reason(text);
  close(fd);
  return rc == 0 ? 0 : -1;
}

// A Unix socket path is free when nothing is there, or a socket that no
// server answers on (the server replaces it); its folder must take a file.
int check_unix(const std::string& path, std::string* why) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *why = path + ": a file that is no socket is in the way";
      return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    bool answered = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    if (fd >= 0) close(fd);
    if (answered) {
      *why = path + ": a server listens there";
      return -1;
    }
    return 0;
  }
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    *why = reason(folder);
    return -1;
  }
  return 0;
}

}  // namespace

int check_environment(const ServerConfig& config, std::string* why) {
  std::string found;
  auto note = [&found](const std::string& text) { found += (found.empty() ? "" : "\n") + text; };
  std::string one;
  protocol::Endpoint e;
  if (protocol::parse_endpoint(config.listen, &e, &one) != 0) {
    note(one);
  } else if (!e.is_unix && (ntohl(e.inet.sin_addr.s_addr) >> 24) != 127 && config.secret.empty()) {
    note(config.listen + " serves other hosts: that needs a 'secret SECRET' item");
  } else if ((e.is_unix ? check_unix(e.path, &one) : check_tcp(e.inet, e.text(), &one)) != 0) {
    note("listen " + one);
  }
  if (!config.http_host.empty()) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(config.http_port));
    std::string host = config.http_host == "localhost" ? "127.0.0.1" : config.http_host;
    if (inet_pton(AF_INET, host.c_str(), &at.sin_addr) != 1) {
      note("http " + config.http_host + ": not a numeric IPv4 address");
    } else if (check_tcp(at, config.http_host + ":" + std::to_string(config.http_port), &one) !=
               0) {
      note("http " + one);
    }
  }
  if (check_broker_config(config, &one) != 0) note(one);
  if (load_tls(config, &one) != 0) note(one);
  struct stat st;
  if (!config.settings.empty() &&
      (stat(config.settings.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    note("settings " + config.settings + ": not a folder");
  }
  if (found.empty()) return 0;
  *why = found;
  return -1;
}

int load_tls(const ServerConfig& config, std::string* why) {
  if (config.tls_cert.empty() && config.tls_ca.empty()) return 0;
  protocol::tls_settings s;
  s.cert = config.tls_cert;
  s.key = config.tls_key;
  s.ca = config.tls_ca;
  s.client_ca = config.tls_client_ca;
  s.name = config.tls_name;
  return protocol::set_tls(s, why);
}

}  // namespace norix
