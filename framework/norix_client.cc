// norix_client.cc - command-line client of a norix server process.
//
//   norix_client [-s ENDPOINT] [-t MILLISECONDS] get ADDRESS
//   norix_client [-s ENDPOINT] [-t MILLISECONDS] set ADDRESS VALUE...
//   norix_client [-s ENDPOINT] [-t MILLISECONDS] names ADDRESS
//   norix_client [-s ENDPOINT] [-t MILLISECONDS] save
//
// The server is the one at ENDPOINT, or at $NORIX_SERVER. get prints the
// value's text form, names one name per line, set the result's value if it
// has one; each exits 0. An error is printed as "error CODE: TEXT" on
// standard error with exit status 1; a usage error exits with 2.

#include "framework/norix.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "framework/protocol.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: norix_client [-s ENDPOINT] [-t MILLISECONDS] get ADDRESS\n"
          "       norix_client [-s ENDPOINT] [-t MILLISECONDS] set ADDRESS VALUE\n"
          "       norix_client [-s ENDPOINT] [-t MILLISECONDS] names ADDRESS\n"
          "       norix_client [-s ENDPOINT] [-t MILLISECONDS] save\n"
          "ENDPOINT (unix:PATH or tcp:HOST:PORT) defaults to $NORIX_SERVER.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = getenv("NORIX_SERVER");
  std::string endpoint = env != nullptr ? env : "";
  int timeout_ms = norix::protocol::DEFAULT_TIMEOUT_MS;
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
    if (strcmp(argv[i], "-s") == 0) {
      endpoint = argv[i + 1];
    } else if (strcmp(argv[i], "-t") == 0) {
      timeout_ms = atoi(argv[i + 1]);
      if (timeout_ms <= 0) return usage();
    } else {
      return usage();
    }
  }
  if (i >= argc) return usage();
  if (endpoint.empty()) {
    fprintf(stderr, "norix_client: no server: give -s ENDPOINT or set NORIX_SERVER\n");
    return 2;
  }
  std::string command = argv[i++];
  int left = argc - i;
  EqAdr address;
  if (left > 0) address.adr(argv[i]);
  std::string request;
  if (command == "get" && left == 1) {
    request = norix::protocol::get_request(address);
  } else if (command == "names" && left == 1) {
    request = norix::protocol::names_request(address);
  } else if (command == "set" && left >= 2) {
    std::string text = argv[i + 1];
    for (int k = i + 2; k < argc; ++k)
      text += std::string(" ") + argv[k];
    EqData value;
    value.set(text);
    request = norix::protocol::set_request(address, value);
  } else if (command == "save" && left == 0) {
    request = norix::protocol::save_request();
  } else {
    return usage();
  }

  const char* secret = getenv("NORIX_SECRET");
  if (secret != nullptr && secret[0] != '\0') norix::protocol::set_secret(endpoint, secret);
  EqData result;
  int code = norix::protocol::call(endpoint, request, &result, timeout_ms);
  if (code != 0) {
    fprintf(stderr, "error %d: %s\n", code, result.text_value().c_str());
    return 1;
  }
  if (command == "names") {
    for (int k = 0; k < result.length(); ++k) {
      const USTR* u = result.get_ustr(k);
      if (u != nullptr) printf("%s\n", u->str_data.str_data_val);
    }
  } else if (command == "get" || result.type() != DATA_NULL) {
    printf("%s\n", result.text_value().c_str());
  }
  return 0;
}
