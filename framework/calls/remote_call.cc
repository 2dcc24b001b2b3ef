// remote_call.cc - the client call of the wire protocol: one request to a
// server on a connection of its own.

#include "framework/calls/remote_call.h"

#include <unistd.h>

#include <chrono>
#include <string>

#include "framework/calls/endpoint.h"
#include "framework/calls/protocol.h"
#include "framework/values/errors.h"

namespace norix {
namespace protocol {

int call(const std::string& endpoint, const std::string& request, EqData* result, int timeout_ms) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Endpoint e;
  std::string why;
  int fd = parse_endpoint(endpoint, &e, &why) == 0 ? connect_to(e, deadline) : -1;
  bool answered = false;
  if (fd >= 0) {
    LineReader reader(fd);
    std::string line;
    // A server that refuses the connection answers without reading the
    // request, so its answer is read even when the request could not be sent.
    std::string secret = secret_for(endpoint);
    write_all(fd, (secret.empty() ? "" : auth_request(secret) + "\n") + request + "\n", deadline);
    answered = reader.read_line(&line, MAX_ANSWER, deadline) == LineReader::LINE &&
               parse_answer(line, result) == 0;
    if (answered && !secret.empty() && result->error() == 0) {
      answered = reader.read_line(&line, MAX_ANSWER, deadline) == LineReader::LINE &&
                 parse_answer(line, result) == 0;
    }
    close(fd);
  }
  if (!answered) {
    result->init();
    result->error(ERR_UNREACHABLE, error_text(ERR_UNREACHABLE));
  }
  return result->error();
}

}  // namespace protocol
}  // namespace norix
