// server_config.cc - parsing a server process's configuration file.

#include "framework/host/server_config.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include <istream>
#include <string>
#include <vector>

#include "framework/base/text.h"
#include "framework/calls/broker.h"
#include "framework/calls/endpoint.h"

namespace norix {

namespace {

using internal::next_word;

constexpr int MAX_PERIOD_MS = 3600 * 1000;
constexpr int MAX_TRACE_SIZE = 1 << 20;

ServerConfig& the_process_config() {
  static ServerConfig config;
  return config;
}
constexpr size_t MIN_SECRET = 16;  // characters of a server's secret
constexpr int MAX_CLIENT_EVENTS = 1000000;
constexpr int MAX_JOURNAL_DAYS = 36500;  // a century
constexpr int MAX_JOURNAL_MB = 1048576;  // a terabyte
constexpr int MIN_KEEPALIVE_S = 5;       // the least that libmosquitto takes
constexpr int MAX_KEEPALIVE_S = 3600;

std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  size_t pos = 0;
  std::string w;
  while (next_word(line, &pos, &w))
    words.push_back(w);
  return words;
}

bool to_int(const std::string& text, int min, int max, int* out) {
  long long v = 0;
  if (!internal::parse_integer(text.c_str(), 10, min, max, &v)) return false;
  *out = static_cast<int>(v);
  return true;
}

bool is_blank_or_comment(const std::string& line) {
  size_t i = line.find_first_not_of(internal::kWhiteSpace);
  return i == std::string::npos || line[i] == '#';
}

// Items about client input and files: true when w is one, with *ok false
// when its value does not read.
bool parse_client_item(const std::vector<std::string>& w, ServerConfig* c, bool* ok) {
  if (w[0] == "settings") {
    *ok = w.size() == 2;
    if (*ok) c->settings = w[1];
  } else if (w[0] == "socket_mode") {
    long long mode = -1;
    *ok = w.size() == 2 && internal::parse_integer(w[1].c_str(), 8, 0, 0777, &mode);
    if (*ok) c->socket_mode = static_cast<int>(mode);
  } else if (w[0] == "secret") {
    *ok = w.size() == 2 && w[1].size() >= MIN_SECRET;
    if (*ok) c->secret = w[1];
  } else if (w[0] == "client_events") {
    *ok = w.size() == 2 && to_int(w[1], 1, MAX_CLIENT_EVENTS, &c->client_events);
  } else if (w[0] == "journal") {
    *ok = w.size() >= 2 && w.size() <= 4 && w[1].find('/') == std::string::npos && w[1] != "." &&
          w[1] != ".." && (w.size() < 3 || to_int(w[2], 0, MAX_JOURNAL_DAYS, &c->journal_days)) &&
          (w.size() < 4 || to_int(w[3], 0, MAX_JOURNAL_MB, &c->journal_mb));
    if (*ok) c->journal = w[1];
  } else if (w[0] == "peer_secret") {
    *ok = w.size() == 3 && !w[2].empty();
    if (*ok) c->peer_secrets.push_back({w[1], w[2]});
  } else {
    return false;
  }
  return true;
}

// The web panel's item: true when w is one, with *ok false when its value
// does not read.
bool parse_http_item(const std::vector<std::string>& w, ServerConfig* c, bool* ok,
                     std::string* why) {
  if (w[0] != "http") return false;
  protocol::Endpoint e;
  *ok = w.size() == 2 && protocol::parse_endpoint("tcp:" + w[1], &e, why) == 0 && !e.is_unix;
  if (*ok) {
    char host[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &e.inet.sin_addr, host, sizeof host);
    c->http_host = host;
    c->http_port = ntohs(e.inet.sin_port);
  } else {
    *why = "expected: http HOST:PORT (HOST a numeric IPv4 address or localhost)";
  }
  return true;
}

// The TLS items: true when w is one, with *ok false when its value does
// not read.
bool parse_tls_item(const std::vector<std::string>& w, ServerConfig* c, bool* ok) {
  std::string* text = w[0] == "tls_cert"        ? &c->tls_cert
                      : w[0] == "tls_key"       ? &c->tls_key
                      : w[0] == "tls_client_ca" ? &c->tls_client_ca
                      : w[0] == "tls_ca"        ? &c->tls_ca
                      : w[0] == "tls_name"      ? &c->tls_name
                                                : nullptr;
  if (text == nullptr) return false;
  *ok = w.size() == 2;
  if (*ok) *text = w[1];
  return true;
}

// The broker's items: true when w is one, with *ok false and *why when its
// value does not read.
bool parse_broker_item(const std::vector<std::string>& w, ServerConfig* c, bool* ok,
                       std::string* why) {
  if (w[0].compare(0, 4, "mqtt") != 0) return false;
  *ok = w.size() == 2;
  std::string* text = nullptr;
  if (w[0] == "mqtt") {
    BrokerAddress a;
    *ok = *ok && parse_broker_url(w[1], &a, why) == 0;
    text = &c->mqtt_url;
  } else if (w[0] == "mqtt_ca") {
    text = &c->mqtt_ca;
  } else if (w[0] == "mqtt_cert") {
    text = &c->mqtt_cert;
  } else if (w[0] == "mqtt_key") {
    text = &c->mqtt_key;
  } else if (w[0] == "mqtt_user") {
    text = &c->mqtt_user;
  } else if (w[0] == "mqtt_password_file") {
    text = &c->mqtt_password_file;
  } else if (w[0] == "mqtt_password_env") {
    text = &c->mqtt_password_env;
  } else if (w[0] == "mqtt_prefix") {
    // One or more levels, none of them empty or a wildcard.
    *ok = *ok && w[1].find_first_of("+#") == std::string::npos && w[1].front() != '/' &&
          w[1].back() != '/' && w[1].find("//") == std::string::npos;
    text = &c->mqtt_prefix;
  } else if (w[0] == "mqtt_keepalive") {
    *ok = *ok && to_int(w[1], MIN_KEEPALIVE_S, MAX_KEEPALIVE_S, &c->mqtt_keepalive);
  } else if (w[0] == "mqtt_publish") {
    *ok = w.size() == 3;
    if (*ok) c->mqtt_publish.push_back({w[1], w[2]});
  } else {
    *ok = false;
  }
  if (*ok && text != nullptr) *text = w[1];
  if (!*ok && why->empty()) *why = "not a broker item: see docs/facility.md";
  return true;
}

bool is_loopback(const std::string& ipv4) {
  return ipv4.compare(0, 4, "127.") == 0;
}

}  // namespace

int parse_config(std::istream& in, const std::string& file, ServerConfig* out, std::string* why) {
  ServerConfig c;
  std::string line;
  int no = 0;
  bool have_server = false;
  std::string http_why;
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
    } else if (w[0] == "strict" && w.size() == 1) {
      // Start-up checks: a reported problem refuses the start-up.
      c.strict = true;
    } else if (w[0] == "trace" && w.size() == 2) {
      // Observing the machines.
      ok = to_int(w[1], 0, MAX_TRACE_SIZE, &c.trace_size);
    } else if (w[0] == "log" && w.size() == 2 && w[1] == "transitions") {
      c.log_transitions = true;
    } else if (parse_client_item(w, &c, &ok)) {
      // handled below the core items
    } else if (parse_http_item(w, &c, &ok, &http_why)) {
      if (!ok) return fail(http_why);
    } else if (parse_broker_item(w, &c, &ok, &http_why)) {
      if (!ok) return fail(w[0] + ": " + http_why);
    } else if (parse_tls_item(w, &c, &ok)) {
      if (!ok)
        return fail("expected '" + w[0] + " " + (w[0] == "tls_name" ? "NAME" : "FILE") + "'");
    } else {
      ok = false;
    }
    // A secret's line is never repeated: it would put the secret in the log.
    if (!ok && w[0] == "secret") {
      return fail("secret: expected 'secret SECRET', one word of at least " +
                  std::to_string(MIN_SECRET) + " characters (the line is not shown)");
    }
    if (!ok && w[0] == "peer_secret") {
      return fail("peer_secret: expected 'peer_secret ENDPOINT SECRET' (the line is not shown)");
    }
    if (!ok) return fail("not a configuration item: " + line);
  }
  if (!have_server) return fail("no 'server FACILITY DEVICE' item");
  if (c.listen.empty()) return fail("no 'listen ENDPOINT' item");
  if (c.mqtt_url.empty() && (!c.mqtt_user.empty() || !c.mqtt_publish.empty())) {
    return fail("broker items without an 'mqtt URL' item");
  }
  if (c.tls_cert.empty() != c.tls_key.empty()) {
    return fail("tls_cert and tls_key: a certificate needs its key, and a key its certificate");
  }
  if (c.listen.compare(0, 4, "tls:") == 0 && c.tls_cert.empty()) {
    return fail("listen " + c.listen + " needs 'tls_cert FILE' and 'tls_key FILE' items");
  }
  if (!c.tls_client_ca.empty() && c.listen.compare(0, 4, "tls:") != 0) {
    return fail("tls_client_ca verifies clients of a tls: endpoint; listen is " + c.listen);
  }
  for (const ServerConfig::peer& p : c.peers) {
    if (p.endpoint.compare(0, 4, "tls:") == 0 && c.tls_ca.empty()) {
      return fail("peer " + p.endpoint + " needs a 'tls_ca FILE' item to verify it with");
    }
  }
  if (!c.mqtt_password_file.empty() && !c.mqtt_password_env.empty()) {
    return fail("mqtt_password_file and mqtt_password_env: one password, one item");
  }
  if (!c.http_host.empty() && !is_loopback(c.http_host) && c.secret.empty()) {
    return fail("http " + c.http_host + " serves other hosts: that needs a 'secret SECRET' item");
  }
  *out = c;
  return 0;
}

const ServerConfig& process_config() {
  return the_process_config();
}

void set_process_config(const ServerConfig& config) {
  the_process_config() = config;
}

}  // namespace norix
