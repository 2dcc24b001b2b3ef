// server.h - the host server runtime: a server process's start-up
// sequence, its update thread, its clients, and saving.
//
// A server program supplies hooks (how to create a location of a type code
// and type name, and what to run around the start-up) and calls
// server_main. The runtime then, on the start-up thread, reads the
// configuration file (framework/host/server_config.h), starts listening and
// starts the configured locations in file order as
// framework/host/start_sequence.h says: once created, a location is served
// and every property's conf() is called to register what is saved; its
// saved value lines are loaded (norix::load_config: read_from_conf for text
// properties, read() with find_prop_name() for the others) before its
// init(). It then runs update() on every location at the configured period on an
// update thread (between refresh_prolog() and refresh_epilog()), and client
// requests on a thread per connection. SIGUSR1 calls interrupt_usr1 on
// every location between its hooks; SIGINT and SIGTERM stop the server,
// save its configuration and end the program. The locations are never
// destroyed: a machine's engines run until the process ends.
//
// Saving writes the header lines of the configuration as they were read,
// then per location its location item, the saved value line of every
// property registered with conf_insert, and the lines that named no
// property of the location. Comments below the first location are not kept.

#ifndef FRAMEWORK_HOST_SERVER_H
#define FRAMEWORK_HOST_SERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/calls/endpoint.h"
#include "framework/host/server_config.h"
#include "framework/host/start_sequence.h"
#include "framework/objects/eq_fct.h"

namespace norix {

class HttpEndpoint;
class BrokerHost;

// One server per process: it sets the process's server name, peers and
// served locations. Its methods may be called from any thread; start once.
//
// Lock order: save_mux_ before mux_; neither is held while a location or
// property runs, except that save_mux_ is held while saving writes the
// properties' values (under their op_lock).
class Server {
 public:
  explicit Server(const ServerHooks& hooks);
  ~Server();  // stop(); the locations stay (unserved), they are not deleted
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Runs the start-up sequence on the calling thread, then serves. 0, or
  // -1 with the reason in *why (a configuration that does not parse, an
  // endpoint that cannot be listened on, a type code that create refused,
  // a problem reported while starting under strict).
  int start(const std::string& config_file, std::string* why);
  // Checks a configuration as start would run it, without serving: the
  // file parses, its endpoints are free, its settings folder is a folder,
  // and the locations are created, loaded, initialised and completed up to
  // init_epilog, where every problem a hook reports counts as under strict
  // (startup_refused() holds, so no engine starts). Nothing listens and no
  // file is written or removed. 0, or -1 with the reasons in *why. Instead
  // of start, once.
  int check(const std::string& config_file, std::string* why);
  // Stops updates and clients: no update or request runs after it returns.
  void stop();
  // Stopping for the end of the process: shuts every client socket and the
  // panel down, saves as save() does, and only then waits for the update
  // and serving threads, at most join_limit; threads still inside a call
  // (a silent peer with a long timeout) are left running, and the process
  // is expected to end. The save's result: 0, or -1 with *why.
  int stop_and_save(std::string* why, std::chrono::milliseconds join_limit);
  // Writes the configuration file again, replacing it whole
  // (norix::replace_file). 0, or -1 with *why; the old file stays whole on
  // failure.
  int save(std::string* why);
  // SIGUSR1: interrupt_usr1 on every location between its hooks.
  void interrupt_usr1(int sig);

  std::string endpoint() const;  // where it listens (after start)
  const ServerConfig& config() const;
  std::vector<EqFct*> locations() const;  // in configuration order

  // Monitor connections being served and subscriptions held on them.
  struct MonitorCounts {
    int connections = 0;
    long subscriptions = 0;
  };
  MonitorCounts monitor_counts() const;

 private:
  // A client connection: its socket and its serving thread. done is set by
  // that thread as it ends; fd is closed by whoever joins it.
  struct connection {
    int fd;
    std::thread thread;
    std::atomic<bool> done{false};
    // Added after the fields above: for making room when the limit is
    // reached. waiting and since are set by the serving thread; evicted
    // under mux_ by the accept thread.
    std::atomic<bool> waiting{false};  // between requests
    std::atomic<long long> since{0};   // when it began to wait, steady clock ns
    bool evicted = false;              // its reading side was shut down
    // Added after evicted, under mux_: a monitor connection's client
    // (server_monitors.cc) and whether it was ended to make room.
    bool monitor = false;
    bool reclaimed = false;
    std::string client;
    // Added after client: a TLS client's "ADDRESS:PORT", read from the
    // accepted socket before its relay took it (fd is then a local socket
    // pair that names no one); "" for other connections. Set before the
    // serving thread starts.
    std::string remote;
  };
  struct location;

  void load(location* l);
  void update_loop();
  void accept_loop();
  void reap_ended();  // with mux_ held
  void serve(connection* c);
  bool make_room();
  std::string answer(const std::string& line);
  std::string saved_text();

  ServerHooks hooks_;
  std::string file_;
  ServerConfig config_;
  std::vector<std::unique_ptr<location>> locations_;  // written by start only
  std::string endpoint_;
  std::string unix_path_;  // removed at stop when this server made it
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};  // a byte written to wake_[1] wakes the accept loop

  mutable std::mutex mux_;  // guards stopping_ and connections_
  std::condition_variable stop_cond_;
  bool stopping_ = false;
  bool started_ = false;
  std::vector<std::unique_ptr<connection>> connections_;
  std::thread updater_;
  std::thread acceptor_;
  std::mutex save_mux_;  // one save at a time

  // Monitor connections (server_monitors.cc), added after the fields above.
  // Takes mux_; false at the limit of monitor connections, overall or of
  // c's client.
  bool begin_monitor(connection* c);
  void serve_monitor(connection* c, protocol::LineReader* reader, const std::string& first);
  int monitor_connections_ = 0;         // guarded by mux_
  std::atomic<long> subscriptions_{0};  // on all monitor connections

  // Added after the monitors' fields: the web panel, when configured;
  // started last by start, stopped first by stop.
  std::unique_ptr<HttpEndpoint> http_;

  // Added after http_: a check (check()) instead of a start.
  int open_endpoint(std::string* why);
  bool checking_ = false;
  // Added after checking_: this server's figures at /metrics
  // (framework/host/metrics.h), while it runs. A scrape takes mux_ after the
  // sources' mutex.
  int metrics_source_ = -1;
  // Added after metrics_source_: stopping in steps, so that the final save
  // needs no thread to have ended (stop_and_save).
  void shut_down();
  bool threads_ended_by(std::chrono::steady_clock::time_point deadline);
  void finish_stop();
  std::atomic<bool> updater_done_{false};  // set by the update thread as it ends
  // Added after updater_done_: whether this server started the process's journal
  // (framework/host/journal.h); it closes it when destroyed.
  bool journal_ = false;
  // Added after journal_: the server on the broker (framework/host/broker_host.h),
  // when configured; started after the panel, stopped at shut_down.
  std::unique_ptr<BrokerHost> broker_;
};

// A server program's main: "PROGRAM CONFIG_FILE". Starts a Server, logs
// "norix server FACILITY/DEVICE listening on ENDPOINT" (framework/base/log.h: a
// line on standard error whose last word is the endpoint), runs until
// SIGINT or SIGTERM, then stops, saves ("norix server saved FILE") and ends
// the process with status 0 (1 when the save failed). Returns 2 when the
// start failed, with the reason logged. "PROGRAM --help" and "PROGRAM
// --version" print on standard output and return 0. Once started, the process ends with _exit:
// the machines' engine threads are never stopped, so the objects they use
// (the registries, the served locations) must not be destroyed under them
// by static destructors. Standard streams are flushed first, and a leak
// check runs where the program is built with LeakSanitizer.
int server_main(int argc, char** argv, const ServerHooks& hooks);

}  // namespace norix

#endif  // FRAMEWORK_HOST_SERVER_H
