// endpoint.h - where a norix server listens and the sockets of the wire
// protocol (framework/calls/protocol.h): listening, connecting, reading
// lines and writing with deadlines, and the secrets a connection presents.
//
// Nothing here keeps state between calls but the secrets; every function
// may be called from any thread.

#ifndef FRAMEWORK_CALLS_ENDPOINT_H
#define FRAMEWORK_CALLS_ENDPOINT_H

#include <netinet/in.h>

#include <chrono>
#include <string>

namespace norix {
namespace protocol {

using Clock = std::chrono::steady_clock;

// Where a server listens: "unix:PATH", or "tcp:HOST:PORT" with HOST a
// numeric IPv4 address or "localhost" (port 0 when listening: any free port),
// or "tls:HOST:PORT", the same with TLS (framework/calls/tls.h).
struct Endpoint {
  bool is_unix = true;
  std::string path;          // is_unix
  sockaddr_in inet;          // !is_unix
  std::string text() const;  // the endpoint's text form
  // Added after text: TLS on the TCP connection, for the tls: form.
  bool is_tls = false;
};

// 0 and *out, or -1 with the reason in *why.
int parse_endpoint(const std::string& text, Endpoint* out, std::string* why);

// A listening socket (non-blocking, close-on-exec) bound to the endpoint;
// *bound is the endpoint it really listens on (a tcp port 0 resolved). A
// Unix socket path left behind by a process that is gone is replaced; one
// that a live server answers on is not. The fd, or -1 with *why.
int listen_on(const Endpoint& endpoint, Endpoint* bound, std::string* why);

// A connected socket (non-blocking, close-on-exec), or -1 when the
// connection was refused or not made before the deadline. For a tls:
// endpoint, the plain end of a TLS connection whose handshake and
// verification ended well within the deadline (-1 otherwise, and when no
// CA is set to verify the server with).
int connect_to(const Endpoint& endpoint, Clock::time_point deadline);

// Secrets: a server that asks for one takes as a connection's first line
// "auth SECRET" and answers it before any request. call() presents the
// secret set for its endpoint (none: nothing is presented).
void set_secret(const std::string& endpoint, const std::string& secret);
std::string auth_request(const std::string& secret);
std::string secret_for(const std::string& endpoint);  // "" when none is set
// true when line is the auth request of secret; takes the same time
// wherever the texts differ.
bool presents_secret(const std::string& line, const std::string& secret);

// Reads lines from one socket, keeping what follows a line for the next.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  enum Result { LINE, END, TOO_LONG, FAILED };
  // One line without its LF (and CR) into *line, reading at most max bytes
  // for it (LF included). END: the peer closed before the line began;
  // TOO_LONG: no LF within max bytes; FAILED: a read error, the deadline,
  // or the peer closed inside the line.
  Result read_line(std::string* line, size_t max, Clock::time_point deadline);
  // What was read past the last line; the reader keeps nothing after it.
  std::string take_buffered();

 private:
  int fd_;
  std::string buffered_;
};

// Writes all of data before the deadline: 0, or -1.
int write_all(int fd, const std::string& data, Clock::time_point deadline);

}  // namespace protocol
}  // namespace norix

#endif  // FRAMEWORK_CALLS_ENDPOINT_H
