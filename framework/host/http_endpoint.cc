// http_endpoint.cc - the web panel's HTTP endpoint on the HTTP library's
// server: routes, access checks, and the live stream's producer.
//
// Connections are accepted and read whole by the gate (http_gate.h), which
// also decides who is admitted; the HTTP library parses, routes and writes
// the answer of each admitted request on one of the gate's serving threads,
// one request per connection. Threads: the gate's, its serving threads and
// the producer thread. live_mux guards the live stream's state; it is a
// leaf (lock order L5, fsm/fsm_core.h), and no hook or answer runs while it
// is held.

#include "framework/host/http_endpoint.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "framework/base/json.h"
#include "framework/base/log.h"
#include "framework/calls/endpoint.h"
#include "framework/calls/protocol.h"
#include "framework/host/fleet.h"
#include "framework/host/http.h"
#include "framework/host/http_gate.h"
#include "framework/host/journal.h"
#include "framework/host/metrics.h"
#include "framework/objects/journal.h"
#include "framework/values/eq_data.h"
#include "framework/values/errors.h"

namespace norix {

namespace {

constexpr size_t SERVING_THREADS = 24;
constexpr int MAX_STREAMS = 16;                   // live streams open at once
constexpr size_t MAX_BODY = 16 * 1024;            // bytes of a request body
constexpr size_t MAX_HEAD = 8 * 1024;             // bytes of a request line and headers
constexpr size_t MAX_CONNECTIONS = 64;            // open at once, at most a quarter of the
                                                  // process's descriptor limit
constexpr std::chrono::seconds REQUEST_LIMIT{5};  // from accept to a request's last byte
constexpr int WRITE_LIMIT_MS = 5000;              // to write one piece of an answer
constexpr std::chrono::seconds AUTH_DELAY{1};     // before a failed authentication's 401
constexpr std::chrono::milliseconds LIVE_PERIOD{50};
constexpr std::chrono::seconds LIVE_PING{5};  // a quiet stream sends a comment this often
const char* const WRITE_HEADER = "X-Norix-Panel";

// The HTTP library's request handling, driven by the gate instead of the
// library's own listener.
class PanelServer : public httplib::Server {
 public:
  // Parses, routes and answers one whole request read from stream.
  void serve(httplib::Stream& stream, const std::string& ip, int port) {
    bool closed = false;
    process_request(stream, true, closed, [&](httplib::Request& req) {
      req.remote_addr = ip;
      req.remote_port = port;
    });
  }
  // While serving, the library's live streams run; they end once it is off.
  void set_serving(bool on, int fd) { svr_sock_ = on ? fd : INVALID_SOCKET; }
};

// A request the gate read whole, and its connection for the answer: every
// piece is written within WRITE_LIMIT_MS, or the answer ends.
class GateStream : public httplib::Stream {
 public:
  explicit GateStream(const GateRequest& r) : r_(r) {}
  bool is_readable() const override { return at_ < r_.bytes.size(); }
  bool is_writable() const override {
    pollfd p{r_.fd, POLLOUT, 0};
    return poll(&p, 1, WRITE_LIMIT_MS) == 1 && (p.revents & (POLLERR | POLLHUP)) == 0;
  }
  ssize_t read(char* ptr, size_t size) override {
    size_t n = std::min(size, r_.bytes.size() - at_);
    memcpy(ptr, r_.bytes.data() + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    size_t done = 0;
    while (done < size) {
      if (!is_writable()) return -1;
      ssize_t n = send(r_.fd, ptr + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
      if (n > 0) done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = r_.peer_ip;
    port = r_.peer_port;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    char text[INET_ADDRSTRLEN] = "";
    if (getsockname(r_.fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    ip = text;
    port = ntohs(a.sin_port);
  }
  socket_t socket() const override { return r_.fd; }

 private:
  const GateRequest& r_;
  size_t at_ = 0;
};

// A listening socket on host:port (port 0: any free one); -1 if none.
int listen_socket(const std::string& host, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 128) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The open connections the panel keeps: MAX_CONNECTIONS, or a quarter of
// the descriptor limit where that is lower, so that the line protocol, the
// peers and the saves always keep theirs.
size_t connection_bound() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return MAX_CONNECTIONS;
  return std::max<size_t>(4, std::min<size_t>(MAX_CONNECTIONS, rl.rlim_cur / 4));
}

HttpPanel& the_panel() {
  static HttpPanel panel{nullptr, nullptr};
  return panel;
}

int base64_digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The password of an "Authorization: Basic ..." value; false when it is
// none.
bool basic_password(const std::string& header, std::string* password) {
  const std::string scheme = "Basic ";
  if (header.compare(0, scheme.size(), scheme) != 0) return false;
  std::string text;
  unsigned bits = 0;
  int count = 0;
  for (size_t i = scheme.size(); i < header.size() && header[i] != '='; ++i) {
    int d = base64_digit(header[i]);
    if (d < 0) return false;
    bits = (bits << 6) | static_cast<unsigned>(d);
    count += 6;
    if (count >= 8) {
      count -= 8;
      text += static_cast<char>((bits >> count) & 0xff);
    }
  }
  size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  *password = text.substr(colon + 1);
  return true;
}

// The panel's live text, "{}" without a hook.
std::string panel_live() {
  const HttpPanel& panel = the_panel();
  return panel.live != nullptr ? panel.live() : std::string("{}");
}

std::string json_answer(const EqData& result) {
  bool failed = result.error() != 0;
  return "{\"error\":" + std::to_string(result.error()) +
         ",\"text\":" + json_quote(failed ? result.text_value() : "") +
         ",\"type\":" + std::to_string(result.type()) +
         ",\"value\":" + json_quote(failed ? "" : result.text_value()) + "}";
}

// A server-sent event carrying text, one data line per line of it.
std::string event_of(const std::string& text) {
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    out += "data: " + text.substr(start, end - start) + "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out + "\n";
}

}  // namespace

void set_http_panel(const HttpPanel& panel) {
  the_panel() = panel;
}

const HttpPanel& http_panel() {
  return the_panel();
}

struct HttpEndpoint::impl {
  std::string host;
  int port;
  std::string secret;
  Answer answer;
  WriteRule may_write;
  PanelServer http;
  std::unique_ptr<HttpGate> gate;
  std::thread producer;
  std::string bound;
  bool started = false;

  // A live stream's source: the panel's machines, or the fleet view.
  struct channel {
    std::string (*make)();  // the text; on the producer thread only
    int streams = 0;
    unsigned long long version = 0;  // of latest; counts every change
    std::string latest;              // the live text; "" until the producer made one
  };

  std::mutex live_mux;  // guards the fields below
  std::condition_variable live_cond;
  bool stopping = false;
  channel channels[2] = {{panel_live, 0, 0, {}}, {fleet_json, 0, 0, {}}};
  int total_streams() const { return channels[0].streams + channels[1].streams; }

  GateRefusal admit(const GateRequest& req);
  void call(const std::string& line, httplib::Response& res);
  void open_stream(channel* c, httplib::Response& res);
  bool send_live(channel* c, unsigned long long* sent, httplib::DataSink& sink);
  void produce();
};

// On the gate's thread: who may be served (docs/server.md, Web panel).
GateRefusal HttpEndpoint::impl::admit(const GateRequest& req) {
  GateRefusal no;
  if (!secret.empty()) {
    std::string password;
    if (basic_password(req.header("Authorization"), &password) &&
        protocol::presents_secret(protocol::auth_request(password), secret)) {
      return no;
    }
    no.status = 401;
    no.headers = "WWW-Authenticate: Basic realm=\"norix panel\", charset=\"UTF-8\"\r\n";
    no.body = "this server asks for its secret\n";
    if (!req.header("Authorization").empty()) {
      no.delay = AUTH_DELAY;
      log_failed_auth(req.peer_ip + ":" + std::to_string(req.peer_port) + " (web panel)");
    }
    return no;
  }
  std::string at = req.header("Host");
  std::string port_text = ":" + std::to_string(port);
  if (at != bound && at != "localhost" + port_text && at != "127.0.0.1" + port_text) {
    no.status = 403;
    no.body = "the Host header does not name this server\n";
  } else if (req.method() != "GET" && may_write != nullptr &&
             !may_write(loopback_peer_uid(req.fd))) {
    no.status = 403;
    no.body = "this user may not write to the server\n";
  }
  return no;
}

void HttpEndpoint::impl::call(const std::string& line, httplib::Response& res) {
  EqData result;
  if (line.size() >= protocol::MAX_REQUEST) {
    result.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST));
  } else if (protocol::parse_answer(answer(line), &result) != 0) {
    result.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST));
  }
  res.set_content(json_answer(result), "application/json");
}

void HttpEndpoint::impl::open_stream(channel* c, httplib::Response& res) {
  {
    std::lock_guard<std::mutex> lock(live_mux);
    if (stopping || total_streams() >= MAX_STREAMS) {
      res.status = 503;
      res.set_content("too many live streams\n", "text/plain");
      return;
    }
    // The producer was idle for this channel: what it made last may be old.
    if (c->streams++ == 0) c->latest.clear();
  }
  live_cond.notify_all();
  auto sent = std::make_shared<unsigned long long>(0);
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, c, sent](size_t, httplib::DataSink& sink) { return send_live(c, sent.get(), sink); },
      [this, c](bool) {
        std::lock_guard<std::mutex> lock(live_mux);
        --c->streams;
      });
}

// On a serving thread: waits for a text this stream has not sent (or the
// ping time), sends it; false ends the stream.
bool HttpEndpoint::impl::send_live(channel* c, unsigned long long* sent, httplib::DataSink& sink) {
  std::unique_lock<std::mutex> lock(live_mux);
  bool fresh = live_cond.wait_for(
      lock, LIVE_PING, [&] { return stopping || (c->version != *sent && !c->latest.empty()); });
  if (stopping) return false;
  std::string message = ": ping\n\n";
  if (fresh) {
    message = event_of(c->latest);
    *sent = c->version;
  }
  lock.unlock();
  return sink.write(message.data(), message.size());
}

void HttpEndpoint::impl::produce() {
  std::unique_lock<std::mutex> lock(live_mux);
  for (;;) {
    live_cond.wait(lock, [this] { return stopping || total_streams() > 0; });
    if (stopping) return;
    for (channel& c : channels) {
      if (c.streams == 0) continue;
      lock.unlock();
      std::string text = c.make();
      lock.lock();
      if (text != c.latest) {
        c.latest = text;
        ++c.version;
        live_cond.notify_all();
      }
    }
    if (live_cond.wait_for(lock, LIVE_PERIOD, [this] { return stopping; })) return;
  }
}

HttpEndpoint::HttpEndpoint(const std::string& host, int port, const std::string& secret,
                           Answer answer)
    : impl_(new impl) {
  impl_->host = host;
  impl_->port = port;
  impl_->secret = secret;
  impl_->answer = std::move(answer);
}

void HttpEndpoint::set_write_rule(WriteRule rule) {
  impl_->may_write = std::move(rule);
}

HttpEndpoint::~HttpEndpoint() {
  stop();
}

int HttpEndpoint::start(std::string* why) {
  impl* p = impl_.get();
  if (p->started) {
    *why = "the web panel is already started";
    return -1;
  }
  p->started = true;
  httplib::Server& http = p->http;
  http.set_payload_max_length(MAX_BODY);
  http.set_default_headers(
      {{"X-Content-Type-Options", "nosniff"},
       {"X-Frame-Options", "DENY"},
       {"Cache-Control", "no-store"},
       {"Content-Security-Policy", "default-src 'self'; style-src 'self' 'unsafe-inline'"}});
  http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) res.set_content(std::to_string(res.status) + "\n", "text/plain");
  });
  http.Get("/api/names", [p](const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("address")) {
      res.status = 400;
      return;
    }
    EqAdr a;
    a.adr(req.get_param_value("address"));
    p->call(protocol::names_request(a), res);
  });
  http.Get("/api/get", [p](const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("address")) {
      res.status = 400;
      return;
    }
    EqAdr a;
    a.adr(req.get_param_value("address"));
    p->call(protocol::get_request(a), res);
  });
  http.Post("/api/set", [p](const httplib::Request& req, httplib::Response& res) {
    httplib::Params form;
    httplib::detail::parse_query_text(req.body, form);
    if (!req.has_header(WRITE_HEADER)) {
      res.status = 403;
      res.set_content(std::string("a write needs the ") + WRITE_HEADER + " header\n", "text/plain");
      return;
    }
    if (form.count("address") != 1 || form.count("value") != 1) {
      res.status = 400;
      return;
    }
    EqAdr a;
    a.adr(form.find("address")->second);
    EqData value;
    value.set(form.find("value")->second);
    JournalCaller who("panel " + req.remote_addr);
    p->call(protocol::set_request(a, value), res);
  });
  // The journal, for the panel's timeline across restarts: JSON lines.
  http.Get("/api/journal", [](const httplib::Request& req, httplib::Response& res) {
    std::string body;
    res.status = journal_http(req.get_param_value("from"), req.get_param_value("to"),
                              req.get_param_value("location"), req.get_param_value("kind"),
                              req.get_param_value("source"), req.get_param_value("limit"),
                              req.get_param_value("last"), &body);
    res.set_content(body, res.status == 200 ? "application/x-ndjson" : "text/plain");
  });
  http.Get("/api/live", [p](const httplib::Request&, httplib::Response& res) {
    p->open_stream(&p->channels[0], res);
  });
  // The fleet view: 404 on a server without a broker.
  http.Get("/api/fleet", [](const httplib::Request&, httplib::Response& res) {
    if (!fleet_enabled()) {
      res.status = 404;
      return;
    }
    res.set_content(fleet_json(), "application/json");
  });
  http.Get("/api/fleet/live", [p](const httplib::Request&, httplib::Response& res) {
    if (!fleet_enabled()) {
      res.status = 404;
      return;
    }
    p->open_stream(&p->channels[1], res);
  });
  http.Get("/metrics", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(metrics_text(), "text/plain; version=0.0.4; charset=utf-8");
  });
  http.Get("/.*", [](const httplib::Request& req, httplib::Response& res) {
    const HttpPanel& panel = http_panel();
    std::map<std::string, std::string> query;
    for (const auto& kv : req.params)
      query.emplace(kv.first, kv.second);
    std::string type = "text/plain";
    std::string body;
    int status = panel.get != nullptr ? panel.get(req.path, query, &type, &body) : 404;
    res.status = status;
    if (status == 200) res.set_content(body, type.c_str());
  });

  int fd = listen_socket(p->host, p->port);
  sockaddr_in at{};
  socklen_t len = sizeof at;
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) != 0) {
    if (fd >= 0) close(fd);
    *why = "http " + p->host + ":" + std::to_string(p->port) + ": cannot listen there";
    return -1;
  }
  p->port = ntohs(at.sin_port);
  p->bound = p->host + ":" + std::to_string(p->port);
  p->http.set_serving(true, fd);
  GateLimits limits{connection_bound(), MAX_HEAD, MAX_BODY, REQUEST_LIMIT, SERVING_THREADS};
  p->gate.reset(new HttpGate(
      limits, [p](const GateRequest& r) { return p->admit(r); },
      [p](const GateRequest& r) {
        GateStream stream(r);
        p->http.serve(stream, r.peer_ip, r.peer_port);
      }));
  if (p->gate->start(fd, why) != 0) return -1;
  p->producer = std::thread(&impl::produce, p);
  log_message(LOG_INFO, "web panel listening on http://" + p->bound + "/");
  return 0;
}

void HttpEndpoint::stop() {
  impl* p = impl_.get();
  {
    std::lock_guard<std::mutex> lock(p->live_mux);
    if (p->stopping) return;
    p->stopping = true;
  }
  p->live_cond.notify_all();
  p->http.set_serving(false, -1);
  if (p->gate != nullptr) p->gate->stop();
  if (p->producer.joinable()) p->producer.join();
}

std::string HttpEndpoint::address() const {
  return impl_->bound;
}

}  // namespace norix
