// http_endpoint.cc - the web panel's HTTP endpoint on the HTTP library's
// server: routes, access checks, and the live stream's producer.
//
// Threads: the library's listening thread and its pool of serving threads,
// and the producer thread. live_mux guards the live stream's state; it is a
// leaf, and no hook or answer runs while it is held.

#include "framework/host/http_endpoint.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "framework/base/json.h"
#include "framework/base/log.h"
#include "framework/calls/endpoint.h"
#include "framework/calls/protocol.h"
#include "framework/host/http.h"
#include "framework/host/metrics.h"
#include "framework/values/eq_data.h"
#include "framework/values/errors.h"

namespace norix {

namespace {

constexpr size_t SERVING_THREADS = 24;
constexpr int MAX_STREAMS = 16;         // live streams open at once
constexpr size_t MAX_BODY = 16 * 1024;  // bytes of a request body
constexpr time_t IO_LIMIT_S = 5;        // to read a request, or to write one piece of an answer
constexpr time_t KEEP_ALIVE_S = 2;      // an idle connection is closed after it
constexpr std::chrono::milliseconds LIVE_PERIOD{50};
constexpr std::chrono::seconds LIVE_PING{5};  // a quiet stream sends a comment this often
constexpr std::chrono::seconds START_LIMIT{5};
const char* const WRITE_HEADER = "X-Norix-Panel";

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
  httplib::Server http;
  std::thread listener;
  std::thread producer;
  std::atomic<bool> listener_done{false};  // set by the listener thread as it ends
  std::string bound;
  bool started = false;

  std::mutex live_mux;  // guards the fields below
  std::condition_variable live_cond;
  int streams = 0;
  bool stopping = false;
  unsigned long long version = 0;  // of latest; counts every change
  std::string latest;              // the live text; "" until the producer made one

  bool admitted(const httplib::Request& req, httplib::Response& res);
  void call(const std::string& line, httplib::Response& res);
  void open_stream(httplib::Response& res);
  bool send_live(unsigned long long* sent, httplib::DataSink& sink);
  void produce();
};

bool HttpEndpoint::impl::admitted(const httplib::Request& req, httplib::Response& res) {
  if (!secret.empty()) {
    std::string password;
    if (basic_password(req.get_header_value("Authorization"), &password) &&
        protocol::presents_secret(protocol::auth_request(password), secret)) {
      return true;
    }
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic realm=\"norix panel\", charset=\"UTF-8\"");
    res.set_content("this server asks for its secret\n", "text/plain");
    return false;
  }
  std::string at = req.get_header_value("Host");
  std::string port_text = ":" + std::to_string(port);
  if (at == bound || at == "localhost" + port_text || at == "127.0.0.1" + port_text) return true;
  res.status = 403;
  res.set_content("the Host header does not name this server\n", "text/plain");
  return false;
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

void HttpEndpoint::impl::open_stream(httplib::Response& res) {
  {
    std::lock_guard<std::mutex> lock(live_mux);
    if (stopping || streams >= MAX_STREAMS) {
      res.status = 503;
      res.set_content("too many live streams\n", "text/plain");
      return;
    }
    // The producer was idle: what it made last may be old.
    if (streams++ == 0) latest.clear();
  }
  live_cond.notify_all();
  auto sent = std::make_shared<unsigned long long>(0);
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, sent](size_t, httplib::DataSink& sink) { return send_live(sent.get(), sink); },
      [this](bool) {
        std::lock_guard<std::mutex> lock(live_mux);
        --streams;
      });
}

// On a serving thread: waits for a text this stream has not sent (or the
// ping time), sends it; false ends the stream.
bool HttpEndpoint::impl::send_live(unsigned long long* sent, httplib::DataSink& sink) {
  std::unique_lock<std::mutex> lock(live_mux);
  bool fresh = live_cond.wait_for(
      lock, LIVE_PING, [&] { return stopping || (version != *sent && !latest.empty()); });
  if (stopping) return false;
  std::string message = ": ping\n\n";
  if (fresh) {
    message = event_of(latest);
    *sent = version;
  }
  lock.unlock();
  return sink.write(message.data(), message.size());
}

void HttpEndpoint::impl::produce() {
  std::unique_lock<std::mutex> lock(live_mux);
  for (;;) {
    live_cond.wait(lock, [this] { return stopping || streams > 0; });
    if (stopping) return;
    lock.unlock();
    std::string text = http_panel().live != nullptr ? http_panel().live() : std::string("{}");
    lock.lock();
    if (text != latest) {
      latest = text;
      ++version;
      live_cond.notify_all();
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
  http.new_task_queue = [] { return new httplib::ThreadPool(SERVING_THREADS); };
  http.set_payload_max_length(MAX_BODY);
  http.set_read_timeout(IO_LIMIT_S, 0);
  http.set_write_timeout(IO_LIMIT_S, 0);
  http.set_keep_alive_timeout(KEEP_ALIVE_S);
  http.set_default_headers(
      {{"X-Content-Type-Options", "nosniff"},
       {"X-Frame-Options", "DENY"},
       {"Cache-Control", "no-store"},
       {"Content-Security-Policy", "default-src 'self'; style-src 'self' 'unsafe-inline'"}});
  http.set_pre_routing_handler([p](const httplib::Request& req, httplib::Response& res) {
    return p->admitted(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                 : httplib::Server::HandlerResponse::Handled;
  });
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
    p->call(protocol::set_request(a, value), res);
  });
  http.Get("/api/live",
           [p](const httplib::Request&, httplib::Response& res) { p->open_stream(res); });
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

  int port = p->port;
  if (port == 0) {
    port = http.bind_to_any_port(p->host);
  } else if (!http.bind_to_port(p->host, port)) {
    port = -1;
  }
  if (port < 0) {
    *why = "http " + p->host + ":" + std::to_string(p->port) + ": cannot listen there";
    return -1;
  }
  p->port = port;
  p->bound = p->host + ":" + std::to_string(port);
  p->listener = std::thread([p] {
    p->http.listen_after_bind();
    p->listener_done = true;
  });
  // The library's stop() does nothing until its loop runs, and it tells of
  // that only through is_running(): wait for it here, so that stop() ends it.
  auto deadline = std::chrono::steady_clock::now() + START_LIMIT;
  while (!http.is_running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!http.is_running()) {
    *why = "http " + p->bound + ": the server did not start";
    return -1;
  }
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
  if (p->listener.joinable()) {
    // Once running, the loop ends at the first stop(); before it ran (a
    // start that timed out), only a later stop() ends it.
    while (!p->http.is_running() && !p->listener_done)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    p->http.stop();
    p->listener.join();
  }
  if (p->producer.joinable()) p->producer.join();
}

std::string HttpEndpoint::address() const {
  return impl_->bound;
}

}  // namespace norix
