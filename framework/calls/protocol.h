// protocol.h - the lines of the wire protocol between norix clients and a
// norix server process. Endpoints, sockets and secrets are in
// framework/calls/endpoint.h; one client call over a connection of its own
// in framework/calls/remote_call.h.
//
// One request per line, one answer line per request, over a Unix socket or
// a loopback TCP connection; a connection may carry several requests.
//
//   request = "get" SP address
//           | "names" SP address
//           | "set" SP address SP type SP value
//           | "save"
//           | "subscribe" SP address
//           | "unsubscribe" SP id
//   answer  = "ok" SP type SP value
//           | "err" SP code SP text
//
// Monitors: "subscribe" is answered "ok 1 ID" (ID a decimal number above 0,
// unique on the connection) or an error; the connection then also carries
// pushed lines that the server sends on its own, between answers:
//
//   push    = "change" SP id SP answer   ; the value (or error) now
//           | "beat"                     ; every HEARTBEAT_MS at least
//
// The first change of a subscription follows its "ok" answer. A reader that
// falls behind gets the latest value of each subscription, not every one;
// a change equal to the last one sent is not sent. "unsubscribe ID" is
// answered "ok 1 ID"; no change of ID follows the answer. Requests other
// than these keep being answered in order on such a connection.
//
// Lines end with LF (a CR before it is dropped). type and code are decimal
// (EqData type codes, error codes of errors.h); value is EqData's text form of
// that type. address is EqAdr's text form. In value and text a backslash is
// sent as "\\", a newline as "\n" and a carriage return as "\r"; address is
// escaped the same way and, being one word, also sends a blank as "\s" and
// a tab as "\t". A request line holds at most MAX_REQUEST bytes, an answer
// line at most MAX_ANSWER, newline included.
//
// Nothing here keeps state between calls; every function may be called from
// any thread.

#ifndef FRAMEWORK_CALLS_PROTOCOL_H
#define FRAMEWORK_CALLS_PROTOCOL_H

#include <stddef.h>

#include <string>

#include "framework/values/eq_adr.h"
#include "framework/values/eq_data.h"
#include "framework/values/errors.h"

namespace norix {
namespace protocol {

constexpr size_t MAX_REQUEST = 8192;
constexpr size_t MAX_ANSWER = size_t{1} << 20;
constexpr int HEARTBEAT_MS = 250;  // a monitor connection is never silent longer

// Escaping of value and text (word = false) and of an address (word = true):
// a line break is escaped everywhere, blanks and tabs only in an address,
// which is one word of its line.
constexpr const char* TEXT_ESCAPES = "\n\r";
constexpr const char* ADDRESS_ESCAPES = "\n\r \t";
std::string escape(const std::string& text, bool word);
// Either escaping back; false for a backslash that starts no escape above.
bool unescape(const std::string& text, std::string* out);

struct Request {
  enum Command { GET, NAMES, SET, SAVE, SUBSCRIBE, UNSUBSCRIBE };
  Command command = GET;
  EqAdr address;
  EqData value;  // SET
  long id = 0;   // UNSUBSCRIBE
};

// Request lines without the LF.
std::string get_request(const EqAdr& address);
std::string names_request(const EqAdr& address);
std::string set_request(const EqAdr& address, const EqData& value);
std::string save_request();
std::string subscribe_request(const EqAdr& address);
std::string unsubscribe_request(long id);

// 0 and *out, or ERR_BAD_REQUEST for a line that is not a request.
int parse_request(const std::string& line, Request* out);

// The answer line for a result: its error, else its type and value.
// A value whose line would not leave ANSWER_ROOM bytes below MAX_ANSWER
// (room for the newline and a monitor's "change ID " prefix) is answered
// with error 112 (bad request) instead, and an error text is cut to MAX_ERROR_TEXT,
// so that no answer is beyond what a client reads.
constexpr size_t ANSWER_ROOM = 64;
constexpr size_t MAX_ERROR_TEXT = 4096;
std::string answer_line(const EqData& result);
// Fills *result from an answer line: 0, or -1 when it is no answer.
int parse_answer(const std::string& line, EqData* result);

// A pushed change line for subscription id (without the LF).
std::string change_line(long id, const EqData& value);
constexpr const char* BEAT_LINE = "beat";
// What a line read on a monitor connection is: a change (*id and *value
// filled), a heartbeat, an answer (*value filled), or none of them.
enum LineKind { CHANGE, BEAT, ANSWER, GARBLED };
LineKind parse_monitor_line(const std::string& line, long* id, EqData* value);

}  // namespace protocol
}  // namespace norix

#endif  // FRAMEWORK_CALLS_PROTOCOL_H
