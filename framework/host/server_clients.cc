// server_clients.cc - the host server's client connections: accepting them
// up to a limit, reading requests with deadlines, and answering them.
//
// The accept thread starts a serving thread per connection and reaps the
// ended ones under mux_; a serving thread marks its connection done and
// leaves the fd to the thread that joins it.

#include "framework/host/server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "framework/base/log.h"
#include "framework/calls/endpoint.h"
#include "framework/calls/eq_call.h"
#include "framework/calls/peers.h"
#include "framework/calls/protocol.h"
#include "framework/calls/tls.h"
#include "framework/host/journal.h"
#include "framework/host/metrics.h"
#include "framework/objects/journal.h"
#include "framework/values/errors.h"

namespace norix {

namespace {

using protocol::Clock;

constexpr size_t MAX_CONNECTIONS = 32;
constexpr std::chrono::seconds IDLE_LIMIT{30};        // a connection without a request is closed
constexpr std::chrono::seconds ANSWER_LIMIT{10};      // to write one answer
constexpr std::chrono::milliseconds BUSY_LIMIT{100};  // to tell a client that it is refused
constexpr std::chrono::seconds AUTH_LIMIT{5};  // for the secret, where the server asks for one
constexpr std::chrono::seconds AUTH_DELAY{1};  // before the answer to a wrong secret
constexpr int ACCEPT_BACKOFF_MS = 100;         // pause of the accept loop when descriptors run out
constexpr std::chrono::seconds HANDSHAKE_LIMIT{5};  // for a TLS client's handshake

// Reads and drops what a client sends until it closes or the deadline.
void drain(int fd, Clock::time_point until) {
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
    if (read(fd, buf, sizeof buf) <= 0) return;
  }
}

// Where a connection comes from, for the operator: "ADDRESS:PORT", or the
// unix socket.
std::string peer_text(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  char ip[INET_ADDRSTRLEN] = "";
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET)
    return "the unix socket";
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

void Server::accept_loop() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0 && errno != EINTR) return;
    if (p[1].revents != 0) return;  // stop() woke us
    if ((p[0].revents & (POLLERR | POLLNVAL)) != 0) {
      log_message(LOG_ERROR, "the listening socket failed; no more clients are accepted");
      return;
    }
    if ((p[0].revents & POLLIN) == 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or memory: the waiting client stays queued, so
      // give the serving threads time to free some instead of spinning.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        pollfd w{wake_[0], POLLIN, 0};
        poll(&w, 1, ACCEPT_BACKOFF_MS);
      }
      continue;
    }
    // A TLS handshake is made by the connection's relay, not here, so that
    // a client that stalls in it holds no one but itself.
    std::string remote;
    if (endpoint_.compare(0, 4, "tls:") == 0) {
      remote = peer_text(fd);
      if ((fd = protocol::tls_accept(fd, Clock::now() + HANDSHAKE_LIMIT)) < 0) continue;
    }
    bool busy = false;
    {
      std::lock_guard<std::mutex> lock(mux_);
      reap_ended();
      busy = !make_room();
      if (!busy) {
        connections_.push_back(std::unique_ptr<connection>(new connection));
        connection* c = connections_.back().get();
        c->fd = fd;
        c->remote = remote;
        c->thread = std::thread(&Server::serve, this, c);
        count_connection(1);
      }
    }
    if (busy) {
      count_refused_connection();
      EqData refusal;
      refusal.error(ERR_BUSY, error_text(ERR_BUSY));
      auto until = Clock::now() + BUSY_LIMIT;
      protocol::write_all(fd, protocol::answer_line(refusal) + "\n", until);
      // Closed only once the client's request is read (or the time is up):
      // a close with unread input resets the connection, and the client
      // would lose the answer.
      shutdown(fd, SHUT_WR);
      drain(fd, until);
      close(fd);
    }
  }
}

// Called with mux_ held: true when a new connection may be served. At the
// limit, the connection that has waited longest for its next request is
// ended to make room (its request in progress is still answered), so that
// no client keeps the others out by holding idle connections; false when
// every connection is inside a request.
bool Server::make_room() {
  size_t live = 0;
  connection* oldest = nullptr;
  for (auto& c : connections_) {
    if (c->evicted || c->done.load()) continue;
    ++live;
    if (c->waiting.load() && (oldest == nullptr || c->since.load() < oldest->since.load()))
      oldest = c.get();
  }
  if (live < MAX_CONNECTIONS) return true;
  if (oldest == nullptr) return false;
  oldest->evicted = true;
  shutdown(oldest->fd, SHUT_RD);
  return true;
}

// Called with mux_ held: joins and closes the connections whose serving
// threads have ended.
void Server::reap_ended() {
  for (size_t i = 0; i < connections_.size();) {
    connection* c = connections_[i].get();
    if (!c->done.load()) {
      ++i;
      continue;
    }
    c->thread.join();
    close(c->fd);
    connections_.erase(connections_.begin() + static_cast<long>(i));
  }
}

// A server with a secret first takes the connection's auth line; anything
// else ends the connection after a refusal.
void Server::serve(connection* c) {
  protocol::LineReader reader(c->fd);
  std::string line;
  bool admitted = config_.secret.empty();
  // Who the journal names: a TLS client by its address, as a tcp one.
  auto journal_who = [c](bool authenticated) {
    if (c->remote.empty()) return journal_peer(c->fd, authenticated);
    return "tls " + c->remote + (authenticated ? " authenticated" : "");
  };
  JournalCaller who(journal_who(false));
  // The connection waits for its client from the moment its answer is
  // ready, before the answer is written: once the client has the answer it
  // may open another connection, which must find this one already waiting
  // and older. An eviction while the answer is written still lets it out.
  auto wait_from_now = [c] {
    c->since = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
                   .count();
    c->waiting = true;
  };
  wait_from_now();
  for (;;) {
    auto r = reader.read_line(&line, protocol::MAX_REQUEST,
                              Clock::now() + (admitted ? IDLE_LIMIT : AUTH_LIMIT));
    c->waiting = false;
    std::string reply;
    if (r == protocol::LineReader::LINE && !admitted) {
      EqData result;
      admitted = protocol::presents_secret(line, config_.secret);
      if (admitted) who.change(journal_who(true));
      if (!admitted) {
        // Guessing is slowed on this connection's own thread and told to
        // the operator, at most one line per period.
        log_failed_auth(c->remote.empty() ? peer_text(c->fd) : c->remote);
        std::this_thread::sleep_for(AUTH_DELAY);
        result.error(ERR_BAD_REQUEST,
                     error_text(ERR_BAD_REQUEST, "this server asks for its secret"));
      }
      reply = protocol::answer_line(result);
      if (!admitted) r = protocol::LineReader::FAILED;
    } else if (r == protocol::LineReader::LINE && line.compare(0, 10, "subscribe ") == 0 &&
               begin_monitor(c)) {
      serve_monitor(c, &reader, line);  // serves the connection to its end
      break;
    } else if (r == protocol::LineReader::LINE) {
      reply = answer(line);
    } else if (r == protocol::LineReader::TOO_LONG) {
      EqData bad;
      bad.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST));
      reply = protocol::answer_line(bad);
    } else {
      break;
    }
    if (r == protocol::LineReader::LINE) wait_from_now();
    count_answer(reply);
    if (protocol::write_all(c->fd, reply + "\n", Clock::now() + ANSWER_LIMIT) != 0) break;
    if (r != protocol::LineReader::LINE) break;
  }
  if (!admitted) {
    // The refusal is read before a reset could drop it: see accept_loop.
    shutdown(c->fd, SHUT_WR);
    drain(c->fd, Clock::now() + BUSY_LIMIT);
  }
  // The client sees the end now; the fd is closed when the thread is reaped.
  shutdown(c->fd, SHUT_RDWR);
  count_connection(-1);
  c->done = true;
}

std::string Server::answer(const std::string& line) {
  protocol::Request req;
  EqData result;
  if (protocol::parse_request(line, &req) != 0) {
    result.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST));
    return protocol::answer_line(result);
  }
  // Only a monitor connection holds subscriptions: here the limit refused
  // one, or there is none to end.
  if (req.command == protocol::Request::SUBSCRIBE) {
    result.error(ERR_BUSY, error_text(ERR_BUSY, "too many monitor connections"));
    return protocol::answer_line(result);
  }
  if (req.command == protocol::Request::UNSUBSCRIBE) {
    result.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST, "no such subscription"));
    return protocol::answer_line(result);
  }
  if (req.command == protocol::Request::SAVE) {
    std::string why;
    if (save(&why) != 0) {
      log_message(LOG_ERROR, "save: " + why);
      result.error(ERR_NOT_SAVED, error_text(ERR_NOT_SAVED));
    }
    return protocol::answer_line(result);
  }
  // Calls for a peer are not passed on: a client talks to each server itself.
  if (!peer_endpoint(req.address).empty()) {
    result.error(ERR_NO_SERVER, error_text(ERR_NO_SERVER));
    return protocol::answer_line(result);
  }
  EqCall call;
  EqData request;
  switch (req.command) {
    case protocol::Request::GET:
      call.get(&req.address, &request, &result);
      break;
    case protocol::Request::SET:
      journal_set(&call, &req.address, &req.value, &result);
      break;
    default:
      call.names(&req.address, &result);
      break;
  }
  return protocol::answer_line(result);
}

}  // namespace norix
