// errors.cc - the texts of the stand-in's error codes.

#include "framework/values/errors.h"

#include <string>

namespace norix {

std::string error_text(int code) {
  switch (code) {
    case ERR_NO_ERROR:
      return "ok";
    case ERR_NO_SERVER:
      return "unknown server";
    case ERR_NO_LOCATION:
      return "unknown location";
    case ERR_NO_PROPERTY:
      return "unknown property";
    case ERR_ILLEGAL_READ:
      return "property not readable";
    case ERR_ILLEGAL_WRITE:
      return "property not writable";
    case ERR_WRONG_TYPE:
      return "wrong data type";
    case ERR_BAD_ADDRESS:
      return "illegal address";
    case ERR_NOT_MONITORED:
      return "monitor not available";
    case ERR_UNREACHABLE:
      return "server unreachable";
    case ERR_BAD_REQUEST:
      return "bad request";
    case ERR_BUSY:
      return "server busy";
    case ERR_NOT_SAVED:
      return "configuration not saved";
    default:
      return "error " + std::to_string(code);
  }
}

std::string error_text(int code, const std::string& detail) {
  std::string text = error_text(code);
  if (!detail.empty()) text += ": " + detail;
  return text;
}

}  // namespace norix
