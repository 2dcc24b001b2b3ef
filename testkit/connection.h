// connection.h - a raw protocol connection to a server, for tests that
// send request lines as they stand (bad ones included) and read the
// answers and pushed monitor lines one by one, with bounded waits.

#ifndef TESTKIT_CONNECTION_H
#define TESTKIT_CONNECTION_H

#include <string>

#include "framework/calls/endpoint.h"

namespace testkit {

class Connection {
 public:
  // Connects to the endpoint's text ("unix:PATH", "tcp:HOST:PORT"); a
  // connection that failed reads "<closed>".
  explicit Connection(const std::string& endpoint);
  ~Connection();

  bool send(const std::string& bytes);  // within WAIT_LIMIT
  // The next line that is not a heartbeat, nor a pushed change unless
  // changes are wanted too; "<closed>" when the server closed or reset
  // the connection, "<no answer>" when nothing came within WAIT_LIMIT.
  std::string answer(bool changes_too = false);

 private:
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd_ = -1;
  norix::protocol::LineReader reader_{-1};
};

}  // namespace testkit

#endif  // TESTKIT_CONNECTION_H
