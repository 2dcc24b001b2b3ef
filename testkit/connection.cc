// connection.cc - a raw protocol connection for tests.

#include "testkit/connection.h"

#include <unistd.h>

#include "framework/calls/protocol.h"
#include "testkit/sync.h"

namespace testkit {

namespace protocol = norix::protocol;

Connection::Connection(const std::string& endpoint) {
  protocol::Endpoint e;
  std::string why;
  if (protocol::parse_endpoint(endpoint, &e, &why) == 0)
    fd_ = protocol::connect_to(e, protocol::Clock::now() + WAIT_LIMIT);
  reader_ = protocol::LineReader(fd_);
}

Connection::~Connection() {
  if (fd_ >= 0) close(fd_);
}

bool Connection::send(const std::string& bytes) {
  return fd_ >= 0 && protocol::write_all(fd_, bytes, protocol::Clock::now() + WAIT_LIMIT) == 0;
}

std::string Connection::answer(bool changes_too) {
  std::string line;
  auto deadline = protocol::Clock::now() + WAIT_LIMIT;
  for (;;) {
    auto r = fd_ < 0 ? protocol::LineReader::END
                     : reader_.read_line(&line, protocol::MAX_ANSWER, deadline);
    // A reset or a close inside a line is an end too; only the deadline
    // is no answer.
    if (r == protocol::LineReader::END) return "<closed>";
    if (r != protocol::LineReader::LINE)
      return protocol::Clock::now() < deadline ? "<closed>" : "<no answer>";
    if (line != protocol::BEAT_LINE && (changes_too || line.compare(0, 7, "change ") != 0))
      return line;
  }
}

}  // namespace testkit
