// errors.h - the error codes that the stand-in reports in an EqData, and
// their texts.

#ifndef FRAMEWORK_VALUES_ERRORS_H
#define FRAMEWORK_VALUES_ERRORS_H

#include <string>

// Error codes that the stand-in itself reports in an EqData.

constexpr int ERR_NO_ERROR = 0;
constexpr int ERR_NO_SERVER = 101;      // "unknown server": facility/device not served here
constexpr int ERR_NO_LOCATION = 102;    // "unknown location"
constexpr int ERR_NO_PROPERTY = 103;    // "unknown property"
constexpr int ERR_ILLEGAL_READ = 104;   // "property not readable"
constexpr int ERR_ILLEGAL_WRITE = 105;  // "property not writable"
constexpr int ERR_WRONG_TYPE = 106;     // "wrong data type"
constexpr int ERR_BAD_ADDRESS = 107;    // "illegal address"
constexpr int ERR_NOT_MONITORED = 110;  // "monitor not available": read with get instead
constexpr int ERR_UNREACHABLE = 111;    // "server unreachable": no answer from a peer in time
constexpr int ERR_BAD_REQUEST = 112;    // "bad request": a client's line is not a request
constexpr int ERR_BUSY = 113;           // "server busy": too many client connections
constexpr int ERR_NOT_SAVED = 114;      // "configuration not saved"

namespace norix {

// The text that goes with one of the error codes above ("ok" for 0,
// "error <code>" for a code the stand-in does not know).
std::string error_text(int code);

// Every refusal's text: the code's text alone when detail is empty, else
// "<code's text>: <detail>", so that each answer starts with its table text.
std::string error_text(int code, const std::string& detail);

}  // namespace norix

#endif  // FRAMEWORK_VALUES_ERRORS_H
