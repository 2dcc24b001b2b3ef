// server_config.h - a server process's configuration file and its parser.
//
// Configuration file (one item per line; "#" starts a comment line):
//   server FACILITY DEVICE           this server's name (required)
//   listen ENDPOINT                  unix:PATH or tcp:HOST:PORT (required)
//   update MILLISECONDS              update period (1000)
//   timeout MILLISECONDS             bound of one call to a peer (2000)
//   peer FACILITY DEVICE ENDPOINT    where another server listens
//   strict                           a problem that the program reports
//                                    while starting refuses the start-up
// Observing the machines:
//   trace RECORDS                    transitions each machine's trace
//                                    keeps (256; 0 records none)
//   log transitions                  every trace record is also a log line
//   location NAME CODE [TYPE]        starts a location: its name, type code
//                                    and type name
//   PROPERTY VALUE                   a saved value line of that location
// Client input and files:
//   settings FOLDER                  the folder of the settings files that
//                                    clients name (the configuration's own)
//   socket_mode OCTAL                mode of the unix socket (660)
//   secret SECRET                    every connection first presents it;
//                                    needed to listen beyond loopback
//   peer_secret ENDPOINT SECRET      what calls to that peer present
//   client_events N                  events clients may queue per machine (1000)
// The web panel:
//   http HOST:PORT                   serves the panel over HTTP (off); HOST a
//                                    numeric IPv4 address or localhost, port
//                                    0 any free port; beyond loopback only
//                                    with a secret
// The journal (framework/host/journal.h):
//   journal FILE [DAYS [MEGABYTES]]  keeps the journal in FILE, a file name
//                                    in the configuration's folder; records
//                                    older than DAYS, and the oldest beyond
//                                    MEGABYTES, go (0: no bound; 30 and 0)
// The broker (docs/facility.md), off without the mqtt item:
//   mqtt URL                         mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
//   mqtt_ca FILE, mqtt_cert FILE, mqtt_key FILE
//                                    the broker's CA; this server's
//                                    certificate and key
//   mqtt_user USER                   the user name, with its password from
//   mqtt_password_file FILE          a file only its owner may read, or
//   mqtt_password_env VARIABLE       the environment
//   mqtt_prefix PREFIX               the first topic level (norix)
//   mqtt_keepalive SECONDS           (10)
//   mqtt_publish LOCATION PROPERTY   a property published on change
// TLS on the direct connection (framework/calls/tls.h), off without them:
//   tls_cert FILE, tls_key FILE      this server's certificate and key: needed
//                                    to listen on tls:HOST:PORT; also shown
//                                    as the client certificate of calls
//   tls_client_ca FILE               clients must show a certificate that
//                                    this CA signed
//   tls_ca FILE                      the CA that verifies called servers:
//                                    needed to call tls: endpoints
//   tls_name NAME                    the name a called server's certificate
//                                    must carry (its endpoint's address)
// The items before the first location are the header; the lines after a
// location item, up to the next, are that location's saved value lines.
// Blank lines and comments among them are not kept.

#ifndef FRAMEWORK_HOST_SERVER_CONFIG_H
#define FRAMEWORK_HOST_SERVER_CONFIG_H

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace norix {

struct ServerConfig {
  struct peer {
    std::string facility;
    std::string device;
    std::string endpoint;
  };
  struct saved_line {
    int line_no;
    std::string text;
  };
  struct location {
    int line_no;
    std::string name;
    int code;
    std::string type;
    std::vector<saved_line> lines;
  };

  std::string facility;
  std::string device;
  std::string listen;
  int update_ms = 1000;
  int timeout_ms = 2000;
  std::vector<peer> peers;
  std::vector<location> locations;
  std::vector<std::string> header;  // the lines before the first location, as read
  // Added after header: the strict item (framework/host/startup.h).
  bool strict = false;
  // Added after strict: observing the machines.
  int trace_size = 256;
  bool log_transitions = false;
  // Added after log_transitions: client input and files.
  std::string settings;  // "settings FOLDER"; "" for the configuration's folder
  int socket_mode = 0660;
  std::string secret;                                             // "" asks for none
  std::vector<std::pair<std::string, std::string>> peer_secrets;  // endpoint, secret
  int client_events = 1000;
  // Added after client_events: the web panel (framework/host/http_endpoint.h).
  std::string http_host;  // "" when the panel is off
  int http_port = 0;
  // Added after http_port: the journal, when configured.
  std::string journal;  // "" when off
  int journal_days = 30;
  int journal_mb = 0;
  // Added after journal_mb: the broker, when configured.
  std::string mqtt_url;  // "" when off
  std::string mqtt_ca;
  std::string mqtt_cert;
  std::string mqtt_key;
  std::string mqtt_user;
  std::string mqtt_password_file;
  std::string mqtt_password_env;
  std::string mqtt_prefix = "norix";
  int mqtt_keepalive = 10;
  std::vector<std::pair<std::string, std::string>> mqtt_publish;  // location, property
  // Added after mqtt_publish: TLS on the direct connection, when configured.
  std::string tls_cert;
  std::string tls_key;
  std::string tls_client_ca;
  std::string tls_ca;
  std::string tls_name;
};

// Parses a configuration: 0, or -1 with "FILE:LINE: reason" in *why.
int parse_config(std::istream& in, const std::string& file, ServerConfig* out, std::string* why);

// The configuration of this process's server: Server::start sets it after
// parsing and before it creates a location; until then, the defaults. Read
// and set on the start-up thread only.
const ServerConfig& process_config();
void set_process_config(const ServerConfig& config);

}  // namespace norix

#endif  // FRAMEWORK_HOST_SERVER_CONFIG_H
