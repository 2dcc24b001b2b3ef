// http_endpoint.h - a host server's web panel over HTTP: property calls as
// JSON, a live stream of server-sent events, and the page that the server
// program supplies (framework/host/http.h).
//
//   GET  /api/names?address=A    the names call      } answered as
//   GET  /api/get?address=A      the get call        } {"error":CODE,"text":TEXT,
//   POST /api/set                a text write:       }  "type":TYPE,"value":VALUE}
//        form fields address and value, header X-Norix-Panel
//   GET  /api/live               server-sent events, each the live text
//   GET  /api/fleet              the fleet view's model (framework/host/fleet.h),
//   GET  /api/fleet/live         and its server-sent events; 404 without a broker
//   GET  /metrics                the figures for monitoring (framework/host/metrics.h)
//   GET  any other path          the program's page hook; 404 without one
//
// The calls are answered by the same function as the line protocol's
// requests, so they pass the same checks and get the same answers. Who may
// connect is decided as for the client socket: with a secret, every request
// presents it as the password of HTTP Basic authentication (any user
// name); without one, the endpoint is a loopback one and a request must
// name it in its Host header, so that a page of another site cannot reach
// it through a name that resolves to loopback. A write needs the
// X-Norix-Panel header, which a page of another site cannot send without
// the server's consent, which it never gives.
//
// Limits (framework/http_gate.h): one request per connection, read whole
// within a deadline before a serving thread sees it (408 beyond), request
// bodies and headers of bounded size (413, 431), a bounded number of open
// connections (503 beyond), a delay before the answer to a failed
// authentication, a bounded pool of serving threads, a write timeout per
// piece of an answer, and a bounded number of live streams of both kinds (503 beyond). One
// producer thread makes each kind's text while a stream of it is open and keeps only its
// latest text; a
// stream sends the latest text it has not sent, so a slow browser skips
// texts instead of queueing them.

#ifndef FRAMEWORK_HOST_HTTP_ENDPOINT_H
#define FRAMEWORK_HOST_HTTP_ENDPOINT_H

#include <functional>
#include <memory>
#include <string>

namespace norix {

class HttpEndpoint {
 public:
  // answer takes a request line of the line protocol and returns its answer
  // line; it is called on the serving threads, several at once.
  using Answer = std::function<std::string(const std::string& request)>;
  // Whether the local user uid (-1: not known) may write, where the panel
  // asks for no secret; called on the gate's thread, it must not wait.
  using WriteRule = std::function<bool(long uid)>;

  // host is a numeric IPv4 address; port 0 takes any free port. An empty
  // secret admits every request (loopback only: the caller checks).
  HttpEndpoint(const std::string& host, int port, const std::string& secret, Answer answer);
  ~HttpEndpoint();  // stop()
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  // Before start: without a secret, a request other than GET is served only
  // where rule allows its peer's user (by default every user).
  void set_write_rule(WriteRule rule);
  // Binds and starts serving: 0, or -1 with the reason in *why. Once.
  int start(std::string* why);
  // Ends the live streams and stops serving: no hook or answer runs after
  // it returns.
  void stop();
  // "HOST:PORT" it listens on, after start.
  std::string address() const;

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

}  // namespace norix

#endif  // FRAMEWORK_HOST_HTTP_ENDPOINT_H
