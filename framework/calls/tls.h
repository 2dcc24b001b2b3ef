// tls.h - TLS on the wire protocol's TCP connections ("tls:HOST:PORT"
// endpoints, framework/calls/endpoint.h).
//
// A TLS connection is handed to the rest of the framework as a plain
// socket: one end of a socket pair whose other end a relay thread of its own
// joins to the encrypted connection. So the protocol's readers, writers and
// poll loops are the same for every endpoint, and nothing outside tls.cc
// knows the TLS library. The relay ends when either side closes; once the
// plain side is closed, what is still to be sent gets at most RELAY_LINGER.
//
// The settings are set once at start-up (before any connection), then read
// from any thread. Keys and passwords are never logged.

#ifndef FRAMEWORK_CALLS_TLS_H
#define FRAMEWORK_CALLS_TLS_H

#include <chrono>
#include <string>

namespace norix {
namespace protocol {

struct tls_settings {
  std::string cert;       // PEM certificate (chain) this side shows: the server's, and the
                          // client certificate of calls; "" shows none
  std::string key;        // its PEM private key
  std::string ca;         // PEM CA(s) that verify peers' certificates; needed to call tls:
  std::string client_ca;  // a server asks for and verifies client certificates against it
  std::string name;       // the name a called server's certificate must carry; "" for the
                          // address of the endpoint called
};

// Loads the settings: listening with TLS needs cert and key; calling a tls:
// endpoint needs ca. 0, or -1 with the reason in *why (a file name and
// what is wrong, never a key's content). Replaces earlier settings; not
// safe while connections are made.
int set_tls(const tls_settings& settings, std::string* why);
// Forgets the settings: tls: endpoints can be neither served nor called.
void clear_tls();
// true when calls can verify a tls: endpoint (a CA is set).
bool tls_client_ready();
// true when a tls: endpoint can be served (certificate and key are set).
bool tls_server_ready();

// Client side: makes TLS over the connected socket fd (which it owns from
// then on), verifying the server's certificate against the CA and the
// name (or host, the endpoint's numeric address), bounded by the deadline.
// The plain end of the connection, or -1 when the handshake or the
// verification failed or the deadline passed (fd is closed).
int tls_connect(int fd, const std::string& host, std::chrono::steady_clock::time_point deadline);

// Server side: takes the accepted socket fd and returns at once the plain
// end of the connection; the relay makes the handshake, bounded by the
// deadline, and on failure closes the plain end (the server reads the end
// of the connection). -1 when no relay could be started (fd is closed).
int tls_accept(int fd, std::chrono::steady_clock::time_point deadline);

}  // namespace protocol
}  // namespace norix

#endif  // FRAMEWORK_CALLS_TLS_H
