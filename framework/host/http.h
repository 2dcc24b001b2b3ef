// http.h - what a server program adds to its web panel: the page's files
// and the text of the live stream. The runtime serves them, with its own
// property calls, when the configuration has an `http HOST:PORT` item
// (framework/host/http_endpoint.h).

#ifndef FRAMEWORK_HOST_HTTP_H
#define FRAMEWORK_HOST_HTTP_H

#include <map>
#include <string>

namespace norix {

// Either hook may be null: no live text, or no page.
struct HttpPanel {
  // The live stream's text (one line, no newline): called on the panel's
  // one producer thread every few tens of milliseconds, and only while a
  // browser has the stream open. Every open stream is sent the text when
  // it differs from the last one. Keeps no lock of a machine for long: it
  // runs beside the dispatching threads.
  std::string (*live)();
  // A GET of a path outside /api/: the HTTP status (200, or 404 for a path
  // it does not know) with the content type and the body. query holds the
  // request's query parameters, the first value of each name. Called on
  // several serving threads at once.
  int (*get)(const std::string& path, const std::map<std::string, std::string>& query,
             std::string* type, std::string* body);
};

// Set before the server starts (server_main); read by the panel's threads.
void set_http_panel(const HttpPanel& panel);
const HttpPanel& http_panel();

}  // namespace norix

#endif  // FRAMEWORK_HOST_HTTP_H
