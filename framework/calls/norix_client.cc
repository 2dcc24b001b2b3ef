// norix_client.cc - command-line client of a norix server process.
//
//   norix_client [-s ENDPOINT] [-t MILLISECONDS] get ADDRESS
//   norix_client [-s ENDPOINT] [-t MILLISECONDS] set ADDRESS VALUE...
//   norix_client [-s ENDPOINT] [-t MILLISECONDS] names ADDRESS
//   norix_client [-s ENDPOINT] [-t MILLISECONDS] save
//   norix_client [-s ENDPOINT] [-t MILLISECONDS] watch ADDRESS
//   norix_client --help | --version
//
// The server is the one at ENDPOINT, or at $NORIX_SERVER. get prints the
// value's text form, names one name per line, set the result's value if it
// has one; each exits 0. An error is printed as "error CODE: TEXT" on
// standard error with exit status 1; a usage error exits with 2. watch
// subscribes to the address and prints the value (or the error) each time
// it differs from the last one printed, until interrupted, subscribing again
// after a failure; the time of a USTR element does not count as a change,
// since some properties stamp it at every read.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "framework/base/version.h"
#include "framework/calls/endpoint.h"
#include "framework/calls/protocol.h"
#include "framework/calls/remote_call.h"
#include "framework/calls/tls.h"
#include "framework/values/eq_adr.h"
#include "framework/values/eq_data.h"
#include "framework/values/errors.h"

namespace {

constexpr int WATCH_PAUSE_MS = 250;  // before subscribing again after a failure

const char USAGE[] =
    "usage: norix_client [-s ENDPOINT] [-t MILLISECONDS] get ADDRESS\n"
    "       norix_client [-s ENDPOINT] [-t MILLISECONDS] set ADDRESS VALUE\n"
    "       norix_client [-s ENDPOINT] [-t MILLISECONDS] names ADDRESS\n"
    "       norix_client [-s ENDPOINT] [-t MILLISECONDS] save\n"
    "       norix_client [-s ENDPOINT] [-t MILLISECONDS] watch ADDRESS\n"
    "       norix_client --help | --version\n"
    "ENDPOINT (unix:PATH, tcp:HOST:PORT or tls:HOST:PORT) defaults to\n"
    "$NORIX_SERVER; a tls: server is verified with the CA file $NORIX_TLS_CA\n"
    "(and the name $NORIX_TLS_NAME, else its address), with the client\n"
    "certificate and key files $NORIX_TLS_CERT and $NORIX_TLS_KEY if set;\n"
    "ADDRESS is FACILITY/DEVICE/LOCATION/PROPERTY. watch prints the value each\n"
    "time it changes until interrupted. A server that asks for a secret gets\n"
    "$NORIX_SECRET. Exit status: 0 done, 1 the server\n"
    "answered an error or did not answer, 2 a usage error.\n";

int usage() {
  fputs(USAGE, stderr);
  return 2;
}

// What watch compares: the value's text with the times of USTR elements
// left out; an error's code and text.
std::string watched(int code, EqData& result) {
  if (code != 0) return "error " + std::to_string(code) + ": " + result.text_value();
  if (result.type() != DATA_USTR) return result.text_value();
  EqData copy;
  for (int k = 0; k < result.length(); ++k) {
    USTR u = *result.get_ustr(k);
    u.tm = 0;
    copy.set(u, k);
  }
  return copy.text_value();
}

// One subscription on a connection of its own, until the connection fails,
// falls silent, or the subscription is refused. Prints through show.
void watch_once(const std::string& endpoint, const EqAdr& address, int timeout_ms,
                const std::function<void(int, EqData&)>& show) {
  using norix::protocol::Clock;
  norix::protocol::Endpoint e;
  std::string why;
  int fd =
      norix::protocol::parse_endpoint(endpoint, &e, &why) == 0
          ? norix::protocol::connect_to(e, Clock::now() + std::chrono::milliseconds(timeout_ms))
          : -1;
  EqData result;
  if (fd < 0) {
    result.error(ERR_UNREACHABLE, norix::error_text(ERR_UNREACHABLE));
    show(result.error(), result);
    return;
  }
  std::string secret = norix::protocol::secret_for(endpoint);
  std::string out = norix::protocol::subscribe_request(address) + "\n";
  if (!secret.empty()) out = norix::protocol::auth_request(secret) + "\n" + out;
  norix::protocol::LineReader reader(fd);
  int answers = secret.empty() ? 1 : 2;  // the auth answer comes first
  bool fine = norix::protocol::write_all(fd, out,
                                         Clock::now() + std::chrono::milliseconds(timeout_ms)) == 0;
  std::string line;
  while (fine) {
    // A server is never silent longer than a heartbeat: a few missed ones
    // mean it is gone.
    auto limit = answers > 0 ? std::chrono::milliseconds(timeout_ms)
                             : std::chrono::milliseconds(4 * norix::protocol::HEARTBEAT_MS);
    if (reader.read_line(&line, norix::protocol::MAX_ANSWER, Clock::now() + limit) !=
        norix::protocol::LineReader::LINE) {
      break;
    }
    long id = 0;
    EqData value;
    switch (norix::protocol::parse_monitor_line(line, &id, &value)) {
      case norix::protocol::BEAT:
        break;
      case norix::protocol::CHANGE:
        show(value.error(), value);
        break;
      case norix::protocol::ANSWER:
        --answers;
        if (value.error() != 0) {
          show(value.error(), value);
          fine = false;
        }
        break;
      default:
        fine = false;
    }
  }
  close(fd);
  if (fine) {
    result.error(ERR_UNREACHABLE, norix::error_text(ERR_UNREACHABLE));
    show(result.error(), result);
  }
}

[[noreturn]] void watch(const std::string& endpoint, const EqAdr& address, int timeout_ms) {
  std::string last;
  bool first = true;
  auto show = [&](int code, EqData& result) {
    std::string key = watched(code, result);
    if (first || key != last) {
      if (code != 0) {
        fprintf(stderr, "%s\n", key.c_str());
      } else {
        printf("%s\n", result.text_value().c_str());
        fflush(stdout);
      }
      last = key;
      first = false;
    }
  };
  for (;;) {
    watch_once(endpoint, address, timeout_ms, show);
    timespec pause{WATCH_PAUSE_MS / 1000, (WATCH_PAUSE_MS % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    fputs(USAGE, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("norix_client (norix) %s\n", norix::version());
    return 0;
  }
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
  if ((command == "get" || command == "watch") && left == 1) {
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

  if (endpoint.compare(0, 4, "tls:") == 0) {
    auto from_env = [](const char* name) {
      const char* v = getenv(name);
      return std::string(v != nullptr ? v : "");
    };
    norix::protocol::tls_settings tls;
    tls.ca = from_env("NORIX_TLS_CA");
    tls.name = from_env("NORIX_TLS_NAME");
    tls.cert = from_env("NORIX_TLS_CERT");
    tls.key = from_env("NORIX_TLS_KEY");
    std::string why = "no CA to verify the server with: set NORIX_TLS_CA";
    if (tls.ca.empty() || norix::protocol::set_tls(tls, &why) != 0) {
      fprintf(stderr, "norix_client: %s\n", why.c_str());
      return 2;
    }
  }
  const char* secret = getenv("NORIX_SECRET");
  if (secret != nullptr && secret[0] != '\0') norix::protocol::set_secret(endpoint, secret);
  if (command == "watch") watch(endpoint, address, timeout_ms);
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
