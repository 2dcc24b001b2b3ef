// http_gate.h - the web panel's connections: accepted and read on one
// thread, each request whole before any serving thread sees it.
//
// A client that sends its request slowly, or never, holds only a buffer on
// the gate's thread, never a serving thread, and is closed when the whole
// request has not arrived within the request limit. The gate keeps at most
// `connections` open at once (reading, waiting for an answer or being
// served): beyond, a new connection gets a short 503 and is closed at once,
// so the panel never takes the descriptors that the line protocol and the
// saves need. A request it refuses (too large, too slow, not admitted) is
// answered from the gate's thread, after the admission's delay if it asks
// for one (failed authentications), without a serving thread. stop() ends
// every connection, served ones included, without waiting on any client.

#ifndef FRAMEWORK_HOST_HTTP_GATE_H
#define FRAMEWORK_HOST_HTTP_GATE_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace norix {

struct GateLimits {
  size_t connections;                 // open at once
  size_t head_bytes;                  // request line and headers
  size_t body_bytes;                  // a request's body
  std::chrono::milliseconds request;  // from accept to the request's last byte
  size_t threads;                     // serving threads
};

// A request as the gate read it: its head and body, whole, and its peer.
struct GateRequest {
  std::string bytes;  // head (with its blank line), then body
  size_t head_size;
  std::string peer_ip;
  int peer_port;
  int fd;  // the connection; the gate owns and closes it
  // The value of header `name` (compared without regard to case); "" when
  // absent.
  std::string header(const std::string& name) const;
  std::string method() const;  // the first word of the request line
  std::string path() const;    // the second word, without its query
};

// What the gate answers to a request it does not serve.
struct GateRefusal {
  int status = 0;       // 0: serve the request
  std::string headers;  // extra header lines, each ending in "\r\n"
  std::string body;
  std::chrono::milliseconds delay{0};  // to hold the answer back
};

class HttpGate {
 public:
  // Decides on the gate's thread, where it must not wait, whether a whole
  // request is served.
  using Admit = std::function<GateRefusal(const GateRequest&)>;
  // Serves an admitted request on a serving thread, writing the answer to
  // request.fd; the gate closes the connection when it returns.
  using Serve = std::function<void(const GateRequest&)>;

  HttpGate(const GateLimits& limits, Admit admit, Serve serve);
  ~HttpGate();  // stop()
  HttpGate(const HttpGate&) = delete;
  HttpGate& operator=(const HttpGate&) = delete;

  // Starts accepting on a bound, listening socket (taken over): 0, or -1
  // with the reason in *why.
  int start(int listen_fd, std::string* why);
  // Closes the listening socket, shuts down every open connection so that
  // no serving thread waits on a client, and joins the threads.
  void stop();

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

// The local user of the process that owns the other end of a loopback TCP
// connection (from the kernel's socket table), or -1 when it is not known.
long loopback_peer_uid(int fd);

}  // namespace norix

#endif  // FRAMEWORK_HOST_HTTP_GATE_H
