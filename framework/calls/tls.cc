// tls.cc - TLS connections with OpenSSL, relayed to plain socket pairs.
//
// The contexts are made by set_tls and shared by reference count: a
// connection takes a reference under ctx_mux and releases it when it ends,
// so set_tls and clear_tls never free a context that a relay still uses.
// ctx_mux is a leaf; no connection is made under it.

#include "framework/calls/tls.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <initializer_list>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace norix {
namespace protocol {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t MAX_PENDING = 64 * 1024;  // bytes a relay holds in each direction
constexpr int RECORD = 16 * 1024;          // bytes of one read or write
constexpr std::chrono::seconds RELAY_LINGER{2};

std::mutex ctx_mux;
SSL_CTX* server_ctx = nullptr;  // guarded by ctx_mux, as are the two below
SSL_CTX* client_ctx = nullptr;
std::string* peer_name = new std::string;  // lives as long as the process

// A counted reference to *ctx, or null; the caller frees it with SSL_CTX_free.
SSL_CTX* take(SSL_CTX* const* ctx, std::string* name) {
  std::lock_guard<std::mutex> lock(ctx_mux);
  if (*ctx != nullptr) SSL_CTX_up_ref(*ctx);
  if (name != nullptr) *name = *peer_name;
  return *ctx;
}

// The reason of the latest TLS library failure, without key material.
std::string library_reason() {
  unsigned long e = ERR_peek_last_error();
  const char* r = e != 0 ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return r != nullptr ? r : "unknown failure";
}

int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 60 * 60 * 1000 ? 60 * 60 * 1000 : static_cast<int>(left);
}

// A handshake is several small records each way: sent at once, they do not
// wait for the peer's delayed acknowledgement.
void no_delay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Makes the handshake on ssl's non-blocking socket fd: true when it ended
// well before the deadline.
bool handshake(SSL* ssl, int fd, Clock::time_point deadline) {
  for (;;) {
    ERR_clear_error();
    int rc = SSL_do_handshake(ssl);
    if (rc == 1) return true;
    int err = SSL_get_error(ssl, rc);
    short events = err == SSL_ERROR_WANT_READ ? POLLIN : err == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0) {
      ERR_clear_error();
      return false;
    }
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, ms_left(deadline));
    if (n == 0 || (n < 0 && errno != EINTR)) return false;
  }
}

// One connection: the TLS side (ssl on net) and the plain socket the
// framework holds the other end of. Owned by its relay thread.
struct relay {
  SSL* ssl;
  SSL_CTX* ctx;  // the reference the connection holds
  int net;
  int plain;
  bool accept_first;  // server side: handshake in the relay, bounded by handshake_until
  Clock::time_point handshake_until;

  ~relay() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(net);
    close(plain);
  }
  void run();
};

void relay::run() {
  if (accept_first && !handshake(ssl, net, handshake_until)) return;
  std::string up;    // read from plain, to be sent over TLS
  std::string down;  // read over TLS, to be written to plain
  bool plain_eof = false;
  bool tls_eof = false;
  bool closing = false;  // our close notice is sent
  Clock::time_point linger{};
  char chunk[RECORD];
  for (;;) {
    bool net_in = false;
    bool net_out = false;
    while (!tls_eof && down.size() < MAX_PENDING) {
      ERR_clear_error();
      int n = SSL_read(ssl, chunk, sizeof chunk);
      if (n > 0) {
        down.append(chunk, static_cast<size_t>(n));
        continue;
      }
      int err = SSL_get_error(ssl, n);
      if (err == SSL_ERROR_WANT_READ) {
        net_in = true;
      } else if (err == SSL_ERROR_WANT_WRITE) {
        net_out = true;
      } else {
        tls_eof = true;  // closed by the peer, or failed: what was read is still delivered
      }
      break;
    }
    while (!down.empty()) {
      ssize_t n = send(plain, down.data(), down.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        down.erase(0, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      } else {
        return;  // the framework's end is gone
      }
    }
    while (!plain_eof && up.size() < MAX_PENDING) {
      ssize_t n = recv(plain, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        up.append(chunk, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      } else {
        plain_eof = true;
        linger = Clock::now() + RELAY_LINGER;
      }
    }
    while (!up.empty()) {
      ERR_clear_error();
      int n = SSL_write(ssl, up.data(), static_cast<int>(std::min<size_t>(up.size(), RECORD)));
      if (n > 0) {
        up.erase(0, static_cast<size_t>(n));
        continue;
      }
      int err = SSL_get_error(ssl, n);
      if (err == SSL_ERROR_WANT_READ) {
        net_in = true;
      } else if (err == SSL_ERROR_WANT_WRITE) {
        net_out = true;
      } else {
        ERR_clear_error();
        return;  // the peer is gone: nothing more can be sent
      }
      break;
    }
    if (tls_eof && down.empty()) return;
    if (plain_eof && up.empty() && !closing) {
      // The peer's input is read until it closes too (or the linger ends):
      // closing with unread input would reset the connection and could
      // drop what was just sent.
      ERR_clear_error();
      SSL_shutdown(ssl);
      closing = true;
    }
    if (plain_eof && Clock::now() >= linger) return;

    short plain_events = static_cast<short>((!plain_eof && up.size() < MAX_PENDING ? POLLIN : 0) |
                                            (!down.empty() ? POLLOUT : 0));
    short net_events = static_cast<short>((net_in ? POLLIN : 0) | (net_out ? POLLOUT : 0));
    if (plain_events == 0 && net_events == 0) return;  // nothing could ever wake us
    // A socket with nothing asked of it is left out: its hang-up would
    // otherwise wake the poll again and again.
    pollfd p[2] = {{plain_events != 0 ? plain : -1, plain_events, 0},
                   {net_events != 0 ? net : -1, net_events, 0}};
    if (poll(p, 2, plain_eof ? ms_left(linger) : -1) < 0 && errno != EINTR) return;
  }
}

// Starts the relay of a connection, owning ssl, ctx and fd: the plain end,
// or -1 (everything released).
int start_relay(SSL* ssl, SSL_CTX* ctx, int fd, bool accept_first, Clock::time_point until) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    return -1;
  }
  auto* r = new relay{ssl, ctx, fd, pair[1], accept_first, until};
  try {
    std::thread([r] {
      r->run();
      delete r;
    }).detach();
  } catch (const std::system_error&) {  // no thread to be had
    delete r;
    close(pair[0]);
    return -1;
  }
  return pair[0];
}

// true when each of the files named can be read; else false with the
// first that cannot and why in *why.
bool readable(std::initializer_list<const std::string*> files, std::string* why) {
  for (const std::string* f : files) {
    if (f->empty() || access(f->c_str(), R_OK) == 0) continue;
    *why = *f + ": " + strerror(errno);
    return false;
  }
  return true;
}

SSL_CTX* new_context(bool server, const tls_settings& s, std::string* why) {
  if (!readable({&s.cert, &s.key, server ? &s.client_ca : &s.ca}, why)) return nullptr;
  SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (ctx == nullptr) {
    *why = "TLS: " + library_reason();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  const std::string& verify_with = server ? s.client_ca : s.ca;
  bool fine = true;
  if (!s.cert.empty() && SSL_CTX_use_certificate_chain_file(ctx, s.cert.c_str()) != 1) {
    *why = s.cert + ": " + library_reason();
    fine = false;
  } else if (!s.key.empty() &&
             SSL_CTX_use_PrivateKey_file(ctx, s.key.c_str(), SSL_FILETYPE_PEM) != 1) {
    *why = s.key + ": " + library_reason();
    fine = false;
  } else if (!s.cert.empty() && !s.key.empty() && SSL_CTX_check_private_key(ctx) != 1) {
    *why = s.key + ": the key does not belong to " + s.cert;
    fine = false;
  } else if (!verify_with.empty() &&
             SSL_CTX_load_verify_locations(ctx, verify_with.c_str(), nullptr) != 1) {
    *why = verify_with + ": " + library_reason();
    fine = false;
  }
  if (fine && !verify_with.empty()) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | (server ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                       nullptr);
    if (server) {
      STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(verify_with.c_str());
      if (names != nullptr) SSL_CTX_set_client_CA_list(ctx, names);
    }
  }
  ERR_clear_error();
  if (!fine) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

}  // namespace

int set_tls(const tls_settings& s, std::string* why) {
  // Closing without a close notice is how the wire protocol ends a
  // connection; and no clean-up at exit, as relays may still run then.
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  if (s.cert.empty() != s.key.empty()) {
    *why = "TLS: a certificate needs its key, and a key its certificate";
    return -1;
  }
  SSL_CTX* server = nullptr;
  SSL_CTX* client = nullptr;
  if (!s.cert.empty() && (server = new_context(true, s, why)) == nullptr) return -1;
  if (!s.ca.empty() && (client = new_context(false, s, why)) == nullptr) {
    SSL_CTX_free(server);
    return -1;
  }
  std::lock_guard<std::mutex> lock(ctx_mux);
  SSL_CTX_free(server_ctx);
  SSL_CTX_free(client_ctx);
  server_ctx = server;
  client_ctx = client;
  *peer_name = s.name;
  return 0;
}

void clear_tls() {
  std::lock_guard<std::mutex> lock(ctx_mux);
  SSL_CTX_free(server_ctx);
  SSL_CTX_free(client_ctx);
  server_ctx = nullptr;
  client_ctx = nullptr;
  peer_name->clear();
}

bool tls_client_ready() {
  std::lock_guard<std::mutex> lock(ctx_mux);
  return client_ctx != nullptr;
}

bool tls_server_ready() {
  std::lock_guard<std::mutex> lock(ctx_mux);
  return server_ctx != nullptr;
}

int tls_connect(int fd, const std::string& host, Clock::time_point deadline) {
  no_delay(fd);
  std::string name;
  SSL_CTX* ctx = take(&client_ctx, &name);
  SSL* ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
  bool fine = ssl != nullptr && SSL_set_fd(ssl, fd) == 1;
  if (fine && !name.empty()) {
    fine =
        SSL_set_tlsext_host_name(ssl, name.c_str()) == 1 && SSL_set1_host(ssl, name.c_str()) == 1;
  } else if (fine) {
    fine = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
  }
  if (fine) {
    SSL_set_connect_state(ssl);
    fine = handshake(ssl, fd, deadline);
  }
  if (!fine) {
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    return -1;
  }
  return start_relay(ssl, ctx, fd, false, deadline);
}

int tls_accept(int fd, Clock::time_point deadline) {
  no_delay(fd);
  SSL_CTX* ctx = take(&server_ctx, nullptr);
  SSL* ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
  if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    return -1;
  }
  SSL_set_accept_state(ssl);
  return start_relay(ssl, ctx, fd, true, deadline);
}

}  // namespace protocol
}  // namespace norix
