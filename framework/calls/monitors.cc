// monitors.cc - the client side of monitors: the process-wide table of
// cached values and the link threads that keep it.
//
// Lock order: the registry mutex (eq_call.cc) is released before the table
// mutex is taken; the table mutex is a leaf. It guards the links and their
// entries; no socket call is made while it is held (a byte written to a
// link's non-blocking wake pipe is not one). A link's socket belongs to its
// thread alone.

#include "framework/calls/monitors.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "framework/calls/endpoint.h"
#include "framework/calls/internal.h"
#include "framework/calls/protocol.h"
#include "framework/values/errors.h"

namespace norix {

namespace {

using protocol::Clock;
using std::chrono::milliseconds;

constexpr milliseconds CONNECT_LIMIT{1000};
constexpr milliseconds WRITE_LIMIT{1000};
constexpr milliseconds FIRST_PAUSE{50};  // before reconnecting; doubles up to LAST_PAUSE
constexpr milliseconds LAST_PAUSE{2000};
constexpr milliseconds SWEEP_PERIOD{1000};  // of the unread subscriptions, by update()
constexpr int POLL_MS = 100;                // the silence check's granularity
constexpr size_t READ_CHUNK = 16384;
// How long the first read of an address waits for its first value while its
// peer's link is not known to be down: long enough for a live peer's answer,
// short enough that a silent one costs the machines little, and only once
// per address.
constexpr milliseconds FIRST_VALUE_WAIT{200};
// A peer that refuses a subscription or a connection as busy is asked again
// after this; meanwhile its addresses read as not monitored, so that their
// readers read them with plain calls.
constexpr milliseconds BUSY_RETRY{5000};

struct entry {
  enum Stage { NEW, ASKED, SUBSCRIBED, REFUSED };
  EqAdr address;
  EqData value;
  Stage stage = NEW;       // on the current connection
  bool has_value = false;  // a value or a refusal came since the entry was made
  long id = 0;             // SUBSCRIBED: the peer's subscription id
  bool drop = false;       // unread for too long: unsubscribe and forget it
  bool busy = false;       // REFUSED as busy: asked again from the link's retry_at
  Clock::time_point read;  // last get_monitor
};

struct link {
  std::string endpoint;
  std::thread thread;
  int wake[2] = {-1, -1};  // a byte in wake[1] wakes the thread
  bool stopping = false;
  bool connected = false;
  bool failed = false;         // the last connection attempt failed or the connection was lost
  bool refused = false;        // the peer answered but refused the secret: it is not down
  bool busy = false;           // the current connection was refused as busy
  Clock::time_point retry_at;  // busy entries are asked again from then
  std::map<std::string, entry> entries;  // by address text
  std::map<long, std::string> by_id;     // subscription id -> address text
  std::deque<std::string> awaited;       // answers due: "" auth, "+KEY" subscribe, "-" other
};

struct table {
  std::mutex mux;
  std::condition_variable first_value;  // an entry got its first value, a link failed or stops
  int waiting = 0;                      // readers waiting for a first value
  std::map<std::string, link*> links;   // by endpoint; owned
};

// Never destroyed: engines may read monitors while the process ends.
table& tab() {
  static table* t = new table;
  return *t;
}

std::atomic<long long> last_sweep_ns{0};

void unreachable(EqData* value, const std::string& text) {
  value->init();
  value->error(ERR_UNREACHABLE, text);
}

// Called with the table mutex held: the entry is left to plain reads until
// its link's retry_at, which the caller sets.
void leave_busy(entry* e) {
  e->stage = entry::REFUSED;
  e->busy = true;
  e->has_value = true;
  e->value.init();
  e->value.error(ERR_NOT_MONITORED, error_text(ERR_NOT_MONITORED));
}

void wake(link* l) {
  char byte = 1;
  ssize_t n = write(l->wake[1], &byte, 1);
  (void)n;  // a full pipe wakes the thread as well
}

// Called with the table mutex held: the connection is gone. A peer that
// refused it as busy is not down: its addresses go to plain reads.
void lost(link* l) {
  l->connected = false;
  l->failed = !l->busy;
  l->by_id.clear();
  l->awaited.clear();
  if (l->busy) l->retry_at = Clock::now() + BUSY_RETRY;
  for (auto& e : l->entries) {
    e.second.id = 0;
    if (l->busy) {
      leave_busy(&e.second);
    } else {
      e.second.stage = entry::NEW;
      unreachable(&e.second.value, error_text(ERR_UNREACHABLE));
    }
  }
  l->busy = false;
  tab().first_value.notify_all();
}

// Called with the table mutex held: the requests the link owes its peer.
std::string owed(link* l) {
  std::string out;
  bool retry = Clock::now() >= l->retry_at;
  for (auto it = l->entries.begin(); it != l->entries.end();) {
    entry& e = it->second;
    if (e.drop && e.stage == entry::SUBSCRIBED) {
      out += protocol::unsubscribe_request(e.id) + "\n";
      l->awaited.push_back("-");
      l->by_id.erase(e.id);
      it = l->entries.erase(it);
    } else if (e.drop && e.stage != entry::ASKED) {
      it = l->entries.erase(it);
    } else if (!e.drop && (e.stage == entry::NEW || (e.busy && retry))) {
      e.busy = false;  // its value stays the plain-read mark until a change comes
      out += protocol::subscribe_request(e.address) + "\n";
      l->awaited.push_back("+" + it->first);
      e.stage = entry::ASKED;
      ++it;
    } else {
      ++it;  // a dropped entry that is ASKED goes when its answer comes
    }
  }
  return out;
}

// Called with the table mutex held: one line from the peer; requests it
// makes due go to *out. False when the line is no part of the protocol or
// answers nothing asked, or the peer refused the secret.
bool take_line(link* l, const std::string& line, std::string* out) {
  long id = 0;
  EqData value;
  switch (protocol::parse_monitor_line(line, &id, &value)) {
    case protocol::BEAT:
      return true;
    case protocol::CHANGE: {
      auto by = l->by_id.find(id);
      if (by == l->by_id.end()) return true;  // unsubscribed meanwhile
      auto it = l->entries.find(by->second);
      if (it != l->entries.end()) {
        it->second.value.copy_from(&value);
        if (!it->second.has_value) {
          it->second.has_value = true;
          tab().first_value.notify_all();
        }
      }
      return true;
    }
    case protocol::ANSWER:
      break;
    default:
      return false;
  }
  if (l->awaited.empty()) return false;
  std::string what = l->awaited.front();
  l->awaited.pop_front();
  if (value.error() == ERR_BUSY && what != "-") {
    // The connection was refused (its first answer), or a subscription
    // was: either way the address is read with plain calls for a while.
    if (what[0] == '+') {
      auto it = l->entries.find(what.substr(1));
      if (it != l->entries.end() && !it->second.drop) leave_busy(&it->second);
    }
    l->retry_at = Clock::now() + BUSY_RETRY;
    l->busy = l->busy || what.empty() || l->by_id.empty();
    tab().first_value.notify_all();
    return !what.empty();
  }
  if (what.empty()) {  // the auth answer
    l->refused = value.error() != 0;
    if (value.error() == 0) return true;
    for (auto& e : l->entries)
      e.second.value.copy_from(&value);
    return false;
  }
  if (what[0] != '+') return true;
  auto it = l->entries.find(what.substr(1));
  long got = value.error() == 0 ? value.get_int() : 0;
  if (it == l->entries.end() || it->second.drop) {
    if (got > 0) {
      *out += protocol::unsubscribe_request(got) + "\n";
      l->awaited.push_back("-");
    }
    if (it != l->entries.end()) l->entries.erase(it);
  } else if (got > 0) {
    it->second.stage = entry::SUBSCRIBED;
    l->busy = false;
    it->second.id = got;
    l->by_id[got] = it->first;
  } else {
    // The peer's reason is the value; a peer that does not know the request
    // leaves the address to plain reads.
    it->second.stage = entry::REFUSED;
    if (value.error() == ERR_BAD_REQUEST)
      value.error(ERR_NOT_MONITORED, error_text(ERR_NOT_MONITORED));
    it->second.value.copy_from(&value);
    it->second.has_value = true;
    tab().first_value.notify_all();
  }
  return true;
}

// Serves one connection until it fails, falls silent, has nothing left to
// watch, or the link stops.
void run_connection(link* l, int fd) {
  std::string secret = protocol::secret_for(l->endpoint);
  std::string out;
  std::string in;
  {
    std::lock_guard<std::mutex> lock(tab().mux);
    l->connected = true;
    l->failed = false;
    if (!secret.empty()) {
      out = protocol::auth_request(secret) + "\n";
      l->awaited.push_back("");
    }
  }
  Clock::time_point heard = Clock::now();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(tab().mux);
      if (l->stopping) return;
      out += owed(l);
      // The last address was dropped, or every one waits for a busy peer
      // to be asked again: the peer need not serve this link meanwhile.
      bool waits = l->awaited.empty() && out.empty();
      if (waits && l->entries.empty()) return;
      if (waits && l->by_id.empty() &&
          std::all_of(l->entries.begin(), l->entries.end(),
                      [](const std::pair<const std::string, entry>& e) { return e.second.busy; })) {
        l->busy = true;
        return;
      }
    }
    if (!out.empty() && protocol::write_all(fd, out, Clock::now() + WRITE_LIMIT) != 0) return;
    out.clear();
    pollfd p[2] = {{fd, POLLIN, 0}, {l->wake[0], POLLIN, 0}};
    if (poll(p, 2, POLL_MS) < 0 && errno != EINTR) return;
    if ((p[1].revents & POLLIN) != 0) {
      char drop[64];
      while (read(l->wake[0], drop, sizeof drop) > 0) {
      }
    }
    if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char chunk[READ_CHUNK];
      ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
      if (n > 0) {
        in.append(chunk, static_cast<size_t>(n));
        heard = Clock::now();
      }
    }
    size_t start = 0;
    {
      std::lock_guard<std::mutex> lock(tab().mux);
      for (size_t lf; (lf = in.find('\n', start)) != std::string::npos; start = lf + 1) {
        size_t end = lf > start && in[lf - 1] == '\r' ? lf - 1 : lf;
        if (!take_line(l, in.substr(start, end - start), &out)) return;
      }
    }
    in.erase(0, start);
    if (in.size() > protocol::MAX_ANSWER + 64) return;
    if (Clock::now() - heard > milliseconds(MONITOR_SILENCE_MS)) return;
  }
}

// Waits up to `limit` or until the link is woken, and takes the wake-up
// bytes: a byte left in the pipe would cut every later wait short.
void wait_woken(link* l, milliseconds limit) {
  pollfd p{l->wake[0], POLLIN, 0};
  poll(&p, 1, static_cast<int>(std::max(limit, milliseconds(0)).count()));
  char drop[64];
  while (read(l->wake[0], drop, sizeof drop) > 0) {
  }
}

// The link thread: connects, serves, and after a failure waits a pause
// (cut short by a wake-up) that doubles up to LAST_PAUSE before it
// connects again.
void run_link(link* l) {
  milliseconds pause = FIRST_PAUSE;
  for (;;) {
    bool idle = false;
    {
      std::lock_guard<std::mutex> lock(tab().mux);
      if (l->stopping) return;
      idle = l->entries.empty();
    }
    Clock::time_point retry_at;
    {
      std::lock_guard<std::mutex> lock(tab().mux);
      retry_at = l->retry_at;
    }
    if (!idle && Clock::now() < retry_at) {  // a busy peer is asked again later
      wait_woken(l, std::chrono::ceil<milliseconds>(retry_at - Clock::now()));
      continue;
    }
    if (idle) {  // nothing to watch: no connection until an address is read
      wait_woken(l, LAST_PAUSE);
      continue;
    }
    protocol::Endpoint e;
    std::string why;
    int fd = protocol::parse_endpoint(l->endpoint, &e, &why) == 0
                 ? protocol::connect_to(e, Clock::now() + CONNECT_LIMIT)
                 : -1;
    if (fd >= 0) {
      auto began = Clock::now();
      run_connection(l, fd);
      close(fd);
      if (Clock::now() - began > LAST_PAUSE) pause = FIRST_PAUSE;
    }
    {
      std::lock_guard<std::mutex> lock(tab().mux);
      lost(l);
      if (l->stopping) return;
    }
    wait_woken(l, pause);
    {
      std::lock_guard<std::mutex> lock(tab().mux);
      if (l->stopping) return;
    }
    pause = std::min(pause * 2, LAST_PAUSE);
  }
}

link* new_link(const std::string& endpoint) {
  link* l = new link;
  l->endpoint = endpoint;
  if (pipe2(l->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    delete l;
    return nullptr;
  }
  l->thread = std::thread(run_link, l);
  return l;
}

}  // namespace

namespace internal {

int monitor_read(const std::string& endpoint, EqAdr* address, EqData* result) {
  std::string key = address->show_adr();
  table& t = tab();
  std::unique_lock<std::mutex> lock(t.mux);
  link*& l = t.links[endpoint];
  if (l == nullptr) l = new_link(endpoint);
  if (l == nullptr) {
    t.links.erase(endpoint);
    unreachable(result, error_text(ERR_UNREACHABLE));
    return ERR_UNREACHABLE;
  }
  link* at = l;  // t.links may change while the mutex is released below
  auto it = at->entries.find(key);
  if (it == at->entries.end() || it->second.drop) {
    if (it == at->entries.end()) {
      it = at->entries.emplace(key, entry()).first;
      it->second.address = *address;
      if (!at->connected && Clock::now() < at->retry_at) {
        leave_busy(&it->second);
        it->second.stage = entry::NEW;  // asked with the others at retry_at
      } else {
        unreachable(&it->second.value,
                    error_text(ERR_UNREACHABLE, at->connected ? "no value yet" : ""));
      }
    }
    it->second.drop = false;
    wake(at);
  }
  // A new address of a peer not known to be down waits a little for its
  // first value, so that the machine does not act on "no value yet". The
  // link thread fills it; no call is made here, and entries are only
  // erased by this thread's drop marks, so the iterator stays valid.
  it->second.read = Clock::now();  // keeps the sweep off it meanwhile
  if (!it->second.has_value && !at->failed) {
    ++t.waiting;
    t.first_value.wait_until(lock, Clock::now() + FIRST_VALUE_WAIT,
                             [&] { return it->second.has_value || at->failed || at->stopping; });
    --t.waiting;
    if (t.waiting == 0) t.first_value.notify_all();  // clear_monitors may wait for that
  }
  result->copy_from(&it->second.value);
  return result->error();
}

bool monitor_peer_down(const std::string& endpoint) {
  table& t = tab();
  std::lock_guard<std::mutex> lock(t.mux);
  auto it = t.links.find(endpoint);
  // A link with nothing to watch does not connect, so its flag may be old.
  return it != t.links.end() && it->second->failed && !it->second->refused &&
         !it->second->entries.empty();
}

void monitor_sweep() {
  auto now = Clock::now();
  long long now_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  long long last = last_sweep_ns.load();
  if (now_ns - last < std::chrono::nanoseconds(SWEEP_PERIOD).count() ||
      !last_sweep_ns.compare_exchange_strong(last, now_ns)) {
    return;
  }
  table& t = tab();
  std::lock_guard<std::mutex> lock(t.mux);
  for (auto& by_endpoint : t.links) {
    link* l = by_endpoint.second;
    bool any = false;
    for (auto& e : l->entries) {
      if (!e.second.drop && now - e.second.read > milliseconds(MONITOR_DROP_AFTER_MS)) {
        e.second.drop = true;
        any = true;
      }
    }
    if (any) wake(l);
  }
}

}  // namespace internal

MonitorTable monitor_table() {
  MonitorTable m;
  table& t = tab();
  std::lock_guard<std::mutex> lock(t.mux);
  for (auto& by_endpoint : t.links) {
    link* l = by_endpoint.second;
    ++m.peers;
    m.connected += l->connected ? 1 : 0;
    m.addresses += static_cast<int>(l->entries.size());
    m.subscribed += static_cast<int>(l->by_id.size());
  }
  return m;
}

void clear_monitors() {
  std::map<std::string, link*> gone;
  {
    table& t = tab();
    std::unique_lock<std::mutex> lock(t.mux);
    gone.swap(t.links);
    for (auto& by_endpoint : gone) {
      by_endpoint.second->stopping = true;
      wake(by_endpoint.second);
    }
    // Readers waiting for a first value hold entries of these links.
    t.first_value.notify_all();
    t.first_value.wait(lock, [&] { return t.waiting == 0; });
  }
  // Joined without the table mutex, which the link threads take.
  for (auto& by_endpoint : gone) {
    link* l = by_endpoint.second;
    l->thread.join();
    close(l->wake[0]);
    close(l->wake[1]);
    delete l;
  }
}

}  // namespace norix
