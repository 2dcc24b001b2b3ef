// server_monitors.cc - the server side of monitors: a client connection
// that subscribes becomes a monitor connection, served to its end by its own
// thread, which pushes the changes of its subscriptions.
//
// A subscription is read again when its property announces a change (the
// change signal of framework/objects/value_changes.h) and at every SCAN_PERIOD, for
// values computed on read. Each subscription holds at most one pending
// change: lines are made only while the output buffer has room, from the
// value at that moment, so a reader that falls behind gets the latest value
// and the server's memory stays bounded. Locks: mux_ only to count the
// connection in and out; the property reads take what EqCall::get takes.

#include "framework/host/server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "framework/calls/endpoint.h"
#include "framework/calls/eq_call.h"
#include "framework/calls/peers.h"
#include "framework/calls/protocol.h"
#include "framework/objects/registry.h"
#include "framework/objects/value_changes.h"
#include "framework/values/errors.h"

namespace norix {

namespace {

using protocol::Clock;

constexpr int MAX_MONITOR_CONNECTIONS = 16;  // of the server's 32 connections
constexpr int MAX_CLIENT_MONITORS = 4;       // of those, per client (client_of)
constexpr size_t MAX_CONNECTION_SUBSCRIPTIONS = 1000;
constexpr long MAX_SUBSCRIPTIONS = 4000;   // on all connections
constexpr size_t OUTPUT_ROOM = 64 * 1024;  // no new line is made while this much waits
constexpr std::chrono::milliseconds SCAN_PERIOD{200};
constexpr std::chrono::seconds WRITE_STALL_LIMIT{10};  // a reader that takes nothing is dropped
constexpr std::chrono::seconds EMPTY_LIMIT{30};        // without subscriptions nor requests
constexpr size_t READ_CHUNK = 4096;

struct subscription {
  EqAdr address;
  const void* property;  // what the change signal names; null: found by the scan only
  bool due = true;       // to be read and sent if it changed
  bool sent = false;
  std::string last;  // the answer part of the last change sent
};

// Address errors end a subscription request; other errors are values.
bool refuses_subscription(int code) {
  return code == ERR_NO_SERVER || code == ERR_NO_LOCATION || code == ERR_NO_PROPERTY ||
         code == ERR_BAD_ADDRESS;
}

// Who a connection's client is, for sharing the monitor connections: the
// local user for the unix socket ("uid N"), the address for TCP ("ADDRESS";
// for TLS, begin_monitor takes it from connection::remote).
// A secret names no one: every client presents the same one.
std::string client_of(int fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.ss_family == AF_INET) {
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&a)->sin_addr, ip, sizeof ip);
    return ip;
  }
  ucred cred{};
  socklen_t size = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0)
    return "uid " + std::to_string(cred.uid);
  return "unknown";
}

int ms_until(Clock::time_point t) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

// Monitor connections are shared among clients: each holds at most
// MAX_CLIENT_MONITORS, and when all are taken, a client holding fewer than
// the largest holder's count less one makes room by ending that holder's
// oldest one (whose client then reads with plain calls, or asks again).
// So one client can never keep another out, whatever it holds.
bool Server::begin_monitor(connection* c) {
  std::string who =
      c->remote.empty() ? client_of(c->fd) : c->remote.substr(0, c->remote.rfind(':'));
  std::lock_guard<std::mutex> lock(mux_);
  std::map<std::string, std::vector<connection*>> held;  // live, oldest first
  for (auto& other : connections_) {
    if (other->monitor && !other->reclaimed && !other->done.load())
      held[other->client].push_back(other.get());
  }
  size_t mine = held[who].size();
  if (mine >= static_cast<size_t>(MAX_CLIENT_MONITORS)) return false;
  if (monitor_connections_ >= MAX_MONITOR_CONNECTIONS) {
    std::vector<connection*>* largest = nullptr;
    for (auto& h : held) {
      if (largest == nullptr || h.second.size() > largest->size()) largest = &h.second;
    }
    if (largest == nullptr || largest->size() <= mine + 1) return false;
    connection* oldest = largest->front();
    oldest->reclaimed = true;
    shutdown(oldest->fd, SHUT_RDWR);  // its thread ends and counts itself out
  }
  c->client = who;
  c->monitor = true;
  ++monitor_connections_;
  return true;
}

Server::MonitorCounts Server::monitor_counts() const {
  MonitorCounts counts;
  std::lock_guard<std::mutex> lock(mux_);
  counts.connections = monitor_connections_;
  counts.subscriptions = subscriptions_.load();
  return counts;
}

// Called on the connection's serving thread after begin_monitor; first is
// the subscribe request that made it a monitor connection. Ends when the
// client closes, sends a line too long, stops taking what is written for
// WRITE_STALL_LIMIT, holds no subscription and sends no request for
// EMPTY_LIMIT, or the server stops (the socket is shut down).
void Server::serve_monitor(connection* c, protocol::LineReader* reader, const std::string& first) {
  std::map<long, subscription> subs;
  long next_id = 1;
  internal::ChangeWatch watch;
  std::string in = reader->take_buffered();
  std::string out;
  EqCall call;

  // Fills *result with the new subscription's id, or the refusal.
  auto subscribe = [&](EqAdr* address, EqData* result) {
    EqData request;
    if (!peer_endpoint(*address).empty()) {
      result->error(ERR_NO_SERVER, error_text(ERR_NO_SERVER));
      return;
    }
    if (internal::is_unmonitorable(*address)) {
      result->error(ERR_NOT_MONITORED, error_text(ERR_NOT_MONITORED));
      return;
    }
    bool full = subs.size() >= MAX_CONNECTION_SUBSCRIPTIONS || next_id == INT_MAX;
    if (!full && subscriptions_.fetch_add(1) >= MAX_SUBSCRIPTIONS) {
      --subscriptions_;
      full = true;
    }
    if (full) {
      result->error(ERR_BUSY, error_text(ERR_BUSY, "too many subscriptions"));
      return;
    }
    call.get(address, &request, result);
    if (refuses_subscription(result->error())) {
      --subscriptions_;
      return;
    }
    long id = next_id++;
    subscription& s = subs[id];
    s.address = *address;
    s.property = internal::property_identity(address);
    if (s.property != nullptr) watch.watch(s.property);
    result->init();
    result->set(static_cast<int>(id));
  };

  auto handle = [&](const std::string& line) {
    protocol::Request req;
    EqData result;
    if (protocol::parse_request(line, &req) != 0 ||
        (req.command != protocol::Request::SUBSCRIBE &&
         req.command != protocol::Request::UNSUBSCRIBE)) {
      out += answer(line) + "\n";
      return;
    }
    if (req.command == protocol::Request::UNSUBSCRIBE) {
      auto it = subs.find(req.id);
      if (it == subs.end()) {
        result.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST, "no such subscription"));
      } else {
        if (it->second.property != nullptr) watch.unwatch(it->second.property);
        subs.erase(it);
        --subscriptions_;
        result.set(static_cast<int>(req.id));
      }
      out += protocol::answer_line(result) + "\n";
      return;
    }
    subscribe(&req.address, &result);
    out += protocol::answer_line(result) + "\n";
  };

  handle(first);
  auto now = Clock::now();
  auto last_request = now;
  auto next_beat = now;
  auto next_scan = now + SCAN_PERIOD;
  auto last_progress = now;
  bool open = true;
  while (open) {
    // Changes, while there is room for them; a due subscription waits.
    bool pending = false;
    for (auto& entry : subs) {
      subscription& s = entry.second;
      if (!s.due) continue;
      if (out.size() >= OUTPUT_ROOM) {
        pending = true;
        break;
      }
      EqData request;
      EqData value;
      call.get(&s.address, &request, &value);
      std::string line = protocol::answer_line(value);
      s.due = false;
      if (!s.sent || line != s.last) {
        out += "change " + std::to_string(entry.first) + " " + line + "\n";
        s.last.swap(line);
        s.sent = true;
      }
    }
    now = Clock::now();
    if (now >= next_beat) {
      if (out.size() < OUTPUT_ROOM) out += std::string(protocol::BEAT_LINE) + "\n";
      next_beat = now + std::chrono::milliseconds(protocol::HEARTBEAT_MS);
    }
    if (!out.empty()) {
      ssize_t n = send(c->fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        out.erase(0, static_cast<size_t>(n));
        last_progress = now;
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        break;
      }
    }
    if (out.empty()) {
      last_progress = now;
    } else if (now - last_progress > WRITE_STALL_LIMIT) {
      break;
    }

    // Requests are read only while their answers have room.
    bool room = out.size() < OUTPUT_ROOM;
    short events = static_cast<short>((room ? POLLIN : 0) | (out.empty() ? 0 : POLLOUT));
    pollfd p[2] = {{c->fd, events, 0}, {watch.fd(), POLLIN, 0}};
    int timeout = ms_until(next_beat < next_scan ? next_beat : next_scan);
    if (pending && room) timeout = 0;
    if (poll(p, watch.fd() >= 0 ? 2 : 1, timeout) < 0 && errno != EINTR) break;
    if ((p[0].revents & (POLLERR | POLLNVAL)) != 0) break;
    if ((p[0].revents & (POLLIN | POLLHUP)) != 0 && room) {
      char chunk[READ_CHUNK];
      ssize_t n = recv(c->fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
      if (n > 0) in.append(chunk, static_cast<size_t>(n));
    }
    for (size_t lf; open && (lf = in.find('\n')) != std::string::npos;) {
      std::string line = in.substr(0, lf > 0 && in[lf - 1] == '\r' ? lf - 1 : lf);
      in.erase(0, lf + 1);
      if (lf + 1 > protocol::MAX_REQUEST) {
        open = false;
        break;
      }
      handle(line);
      last_request = Clock::now();
    }
    // Without subscriptions it is a plain connection again as to idleness.
    if (subs.empty() && Clock::now() - last_request > EMPTY_LIMIT) break;
    if (in.size() >= protocol::MAX_REQUEST) open = false;
    if (watch.fd() >= 0 && (p[1].revents & POLLIN) != 0) {
      std::set<const void*> changed = watch.take();
      for (auto& entry : subs)
        entry.second.due = entry.second.due || changed.count(entry.second.property) != 0;
    }
    if (Clock::now() >= next_scan) {
      for (auto& entry : subs)
        entry.second.due = true;
      next_scan = Clock::now() + SCAN_PERIOD;
    }
  }
  if (!open) {
    EqData bad;
    bad.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST));
    protocol::write_all(c->fd, protocol::answer_line(bad) + "\n",
                        Clock::now() + std::chrono::milliseconds(100));
  }
  subscriptions_ -= static_cast<long>(subs.size());
  std::lock_guard<std::mutex> lock(mux_);
  --monitor_connections_;
  c->monitor = false;
}

}  // namespace norix
