// remote_call.h - the client call of the wire protocol
// (framework/calls/protocol.h): one request to a server on a connection of
// its own.

#ifndef FRAMEWORK_CALLS_REMOTE_CALL_H
#define FRAMEWORK_CALLS_REMOTE_CALL_H

#include <string>

#include "framework/values/eq_data.h"

namespace norix {
namespace protocol {

constexpr int DEFAULT_TIMEOUT_MS = 2000;  // connect, send and answer of one client call

// Sends one request to the server at endpoint on a connection of its own
// and puts the answer into *result. Returns result's error code: the
// server's answer, or ERR_UNREACHABLE ("server unreachable") when the
// endpoint is invalid, the connection fails, the answer is not one, or
// timeout_ms passes first.
int call(const std::string& endpoint, const std::string& request, EqData* result, int timeout_ms);

}  // namespace protocol
}  // namespace norix

#endif  // FRAMEWORK_CALLS_REMOTE_CALL_H
