// server.cc - the host server runtime's life: start-up sequence, update
// thread, stop, and saving the configuration.
//
// Threads: the start-up thread (start, then stop and save), the update
// thread, the accept thread and one thread per client connection (see
// server_clients.cc). mux_ guards the connection list and the stop flag;
// save_mux_ serialises saves. A connection's fd is closed only by the
// thread that reaps it after its serving thread has ended, so stop() may
// shut it down at any time.

#include "framework/host/server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "framework/base/file_replace.h"
#include "framework/base/log.h"
#include "framework/base/text.h"
#include "framework/calls/broker.h"
#include "framework/calls/endpoint.h"
#include "framework/calls/peers.h"
#include "framework/host/broker_host.h"
#include "framework/host/config_check.h"
#include "framework/host/fleet_feed.h"
#include "framework/host/http_endpoint.h"
#include "framework/host/internal.h"
#include "framework/host/journal.h"
#include "framework/host/metrics.h"
#include "framework/host/settings_folder.h"
#include "framework/host/startup.h"
#include "framework/objects/registry.h"
#include "framework/objects/saved_values.h"

namespace norix {

namespace {

using internal::first_word;
using protocol::Clock;

void call_hook(void (*hook)()) {
  if (hook != nullptr) hook();
}

// Whether local user uid may open the unix socket at path, as the kernel
// decides it from the socket file's owner, group and mode (the superuser
// always may); false for an unknown user. Called on the panel's gate
// thread: it reads only the file's attributes and the user database.
bool may_open_unix_socket(const std::string& path, long uid) {
  struct stat st;
  if (uid < 0 || stat(path.c_str(), &st) != 0) return false;
  if (uid == 0) return true;
  if (static_cast<uid_t>(uid) == st.st_uid) return (st.st_mode & S_IWUSR) != 0;
  bool in_group = false;
  passwd pw;
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &found) == 0 &&
      found != nullptr) {
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
      groups.resize(static_cast<size_t>(count));
      getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count);
    }
    for (int i = 0; i < count && i < static_cast<int>(groups.size()); ++i)
      in_group = in_group || groups[static_cast<size_t>(i)] == st.st_gid;
  }
  return (st.st_mode & (in_group ? S_IWGRP : S_IWOTH)) != 0;
}

}  // namespace

struct Server::location {
  const ServerConfig::location* config;
  EqFct* fct;                     // not owned: lives as long as the process
  Config saved;                   // the properties that registered with conf()
  std::vector<std::string> kept;  // lines that named no property, saved again as read
};

Server::Server(const ServerHooks& hooks) : hooks_(hooks) {}

Server::~Server() {
  stop();
  if (metrics_source_ >= 0) remove_metrics_source(metrics_source_);
  if (journal_) journal_stop();
  for (auto& l : locations_)
    unserve_location(l->fct);
}

int Server::start(const std::string& config_file, std::string* why) {
  if (started_ || hooks_.create == nullptr) {
    *why = "the server is already started, or has no create hook";
    return -1;
  }
  started_ = true;
  file_ = config_file;
  std::ifstream in(config_file);
  if (!in) {
    *why = "cannot read " + config_file + ": " + strerror(errno);
    return -1;
  }
  if (parse_config(in, config_file, &config_, why) != 0) return -1;
  set_process_config(config_);
  std::string unsound;  // what a check found; it goes on to the locations
  if (checking_) {
    check_environment(config_, &unsound);
  } else if (load_tls(config_, why) != 0 || open_endpoint(why) != 0) {
    return -1;
  }

  internal::startup_begin(config_file, config_.strict || checking_, checking_);
  set_server(config_.facility, config_.device);
  size_t slash = config_file.rfind('/');
  set_settings_folder(!config_.settings.empty()    ? config_.settings
                      : slash == std::string::npos ? std::string()
                                                   : config_file.substr(0, slash + 1));
  if (!config_.journal.empty()) {
    std::string jwhy;
    journal_ = journal_start_named(config_file, config_.journal, config_.journal_days,
                                   config_.journal_mb, &jwhy) == 0;
    if (!journal_) log_message(LOG_ERROR, "the journal is off: " + jwhy);
  }
  set_call_timeout(config_.timeout_ms);
  set_client_event_limit(config_.client_events);
  for (const ServerConfig::peer& p : config_.peers)
    add_peer(p.facility, p.device, p.endpoint);
  for (const auto& s : config_.peer_secrets)
    protocol::set_secret(s.first, s.second);

  std::vector<StartSite> sites;
  for (const ServerConfig::location& c : config_.locations)
    sites.push_back(
        StartSite{c.code, c.type, c.name, file_ + ":" + std::to_string(c.line_no) + ": ", nullptr});
  StartSteps steps;
  steps.created = [this, &sites](StartSite& s) {
    const ServerConfig::location& c = config_.locations[static_cast<size_t>(&s - sites.data())];
    internal::startup_note(s.fct, c);
    locations_.push_back(std::unique_ptr<location>(new location{&c, s.fct, Config(), {}}));
    for (D_fct* p : s.fct->properties())
      p->conf(&locations_.back()->saved);
    serve_location(s.fct);
  };
  steps.load = [this, &sites](StartSite& s) {
    load(locations_[static_cast<size_t>(&s - sites.data())].get());
  };
  // A check ends after init_epilog with what it found.
  if (checking_) {
    steps.epilog_done = [&unsound](std::string* found) {
      int problems = internal::startup_problems();
      if (problems > 0)
        unsound +=
            (unsound.empty() ? "" : "\n") + std::to_string(problems) + " problem(s) reported";
      if (unsound.empty()) return 1;
      *found = unsound;
      return -1;
    };
  }
  int rc = start_locations(hooks_, &sites, steps, why);
  if (rc < 0) return -1;
  if (rc == 1) return 0;

  updater_ = std::thread(&Server::update_loop, this);
  acceptor_ = std::thread(&Server::accept_loop, this);
  if (!config_.http_host.empty()) {
    http_.reset(new HttpEndpoint(config_.http_host, config_.http_port, config_.secret,
                                 [this](const std::string& line) { return answer(line); }));
    // The panel writes no wider than the socket: a local user who may not
    // open the unix socket may not write through the panel either.
    if (!unix_path_.empty()) {
      std::string path = unix_path_;
      http_->set_write_rule([path](long uid) { return may_open_unix_socket(path, uid); });
    }
    if (http_->start(why) != 0) return -1;
  }
  if (!config_.mqtt_url.empty()) {
    std::string panel = http_ != nullptr ? "http://" + http_->address() + "/" : "";
    broker_.reset(new BrokerHost(config_, endpoint_, panel,
                                 [this](const std::string& line) { return answer(line); }));
    if (broker_->start(why) != 0) return -1;
    // The other servers, found by name, and the fleet view where the panel
    // serves it.
    if (start_fleet_feed(process_broker(), config_.mqtt_prefix, http_ != nullptr, why) != 0)
      return -1;
  }
  // Scraped before this server ends: the panel, the only scraper, stops first.
  metrics_source_ = add_metrics_source([this](MetricsOut* out) {
    MonitorCounts m = monitor_counts();
    out->gauge("norix_monitor_connections", "Monitor connections being served.", m.connections);
    out->gauge("norix_monitor_subscriptions", "Subscriptions held on monitor connections.",
               static_cast<double>(m.subscriptions));
  });
  journal_server("start", config_.facility + "/" + config_.device + " on " + endpoint_);
  return 0;
}

// Removes what an unfinished save left, and listens where the configuration
// says. 0, or -1 with *why.
int Server::open_endpoint(std::string* why) {
  int leftovers = remove_leftovers(file_);
  if (leftovers > 0) {
    log_message(LOG_WARN,
                "removed " + std::to_string(leftovers) + " unfinished save(s) of " + file_);
  }

  protocol::Endpoint wanted;
  protocol::Endpoint bound;
  if (protocol::parse_endpoint(config_.listen, &wanted, why) != 0) return -1;
  if (!wanted.is_unix && (ntohl(wanted.inet.sin_addr.s_addr) >> 24) != 127 &&
      config_.secret.empty()) {
    *why = config_.listen + " serves other hosts: that needs a 'secret SECRET' item";
    return -1;
  }
  // Created owner-only and then given its mode, so that it is never wider.
  mode_t mask = umask(077);
  listen_fd_ = protocol::listen_on(wanted, &bound, why);
  umask(mask);
  if (listen_fd_ < 0) return -1;
  if (bound.is_unix && chmod(bound.path.c_str(), static_cast<mode_t>(config_.socket_mode)) != 0) {
    *why = bound.path + ": " + strerror(errno);
    return -1;
  }
  endpoint_ = bound.text();
  if (bound.is_unix) unix_path_ = bound.path;
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *why = std::string("pipe: ") + strerror(errno);
    return -1;
  }
  return 0;
}

int Server::check(const std::string& config_file, std::string* why) {
  checking_ = true;
  return start(config_file, why);
}

// A line that names no property of the location is kept and saved again as
// it was; a line whose value does not read is reported and dropped (the
// property's own value is saved in its place).
void Server::load(location* l) {
  for (const ServerConfig::saved_line& s : l->config->lines) {
    std::istringstream one(s.text);
    if (load_config(l->fct, one) == 0) continue;
    std::string word = first_word(s.text);
    std::string where = file_ + ":" + std::to_string(s.line_no) + ": location " + l->config->name;
    if (l->fct->find_property(word) == nullptr) {
      l->kept.push_back(s.text);
      log_message(LOG_WARN, where + " has no property " + word + "; the line is kept");
    } else {
      log_message(LOG_WARN, where + ": the value of " + word + " does not read; it is dropped");
    }
  }
}

// Ends what may end at once: no new connection or panel request comes
// after it, and every client socket is shut down, so no answer is sent any
// more. Threads inside a request or an update may still run.
void Server::shut_down() {
  {
    std::lock_guard<std::mutex> lock(mux_);
    if (stopping_) return;
    stopping_ = true;
  }
  if (http_ != nullptr) http_->stop();
  // Bounded: the link gives what waits (the offline presence) a second.
  if (broker_ != nullptr) {
    stop_fleet_feed();  // lock order: the feed's mutex, then the link's
    broker_->stop();
  }
  journal_server("stop", "");
  stop_cond_.notify_all();
  if (wake_[1] >= 0) {
    char byte = 1;
    ssize_t n = write(wake_[1], &byte, 1);
    (void)n;  // a full pipe wakes the loop as well
  }
  if (acceptor_.joinable()) acceptor_.join();  // it only waits on its sockets
  std::lock_guard<std::mutex> lock(mux_);
  for (auto& c : connections_)
    shutdown(c->fd, SHUT_RDWR);
}

// Whether the update thread and every serving thread have ended, waiting
// for them until the deadline.
bool Server::threads_ended_by(Clock::time_point deadline) {
  constexpr std::chrono::milliseconds LOOK_PERIOD{10};
  for (;;) {
    bool ended = !updater_.joinable() || updater_done_.load();
    {
      std::lock_guard<std::mutex> lock(mux_);
      for (auto& c : connections_)
        ended = ended && c->done.load();
    }
    if (ended) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(LOOK_PERIOD);
  }
}

// Joins the update thread and the serving threads, which end on the
// shut-down sockets (or when the request they are in ends), and releases
// the endpoint. Joined without mux_, which they take.
void Server::finish_stop() {
  if (updater_.joinable()) updater_.join();
  std::vector<std::unique_ptr<connection>> gone;
  {
    std::lock_guard<std::mutex> lock(mux_);
    gone.swap(connections_);
  }
  for (auto& c : gone) {
    c->thread.join();
    close(c->fd);
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
  if (!unix_path_.empty()) unlink(unix_path_.c_str());
  unix_path_.clear();
  for (int& fd : wake_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

void Server::stop() {
  shut_down();
  finish_stop();
}

// The save comes before any thread is joined: a request held by a slow
// peer, or an update inside a long call, holds no lock that the save needs
// (save_mux_ aside, which a client's own save takes only briefly), so it
// cannot hold the save up.
int Server::stop_and_save(std::string* why, std::chrono::milliseconds join_limit) {
  shut_down();
  int rc = save(why);
  if (threads_ended_by(Clock::now() + join_limit)) finish_stop();
  return rc;
}

std::string Server::saved_text() {
  std::string out;
  for (const std::string& h : config_.header)
    out += h + "\n";
  for (auto& l : locations_) {
    const ServerConfig::location& c = *l->config;
    out += "location " + c.name + " " + std::to_string(c.code);
    if (!c.type.empty()) out += " " + c.type;
    out += "\n";
    for (const Config::entry& e : l->saved.entries)
      out += internal::saved_line(e.property);
    for (const std::string& k : l->kept)
      out += k + "\n";
  }
  return out;
}

int Server::save(std::string* why) {
  std::lock_guard<std::mutex> lock(save_mux_);
  if (file_.empty()) {
    *why = "the server has no configuration file";
    return -1;
  }
  int rc = replace_file(file_, saved_text(), why);
  count_save(rc == 0);
  journal_server("save", rc == 0 ? file_ : file_ + ": " + *why);
  return rc;
}

void Server::interrupt_usr1(int sig) {
  if (hooks_.interrupt_usr1_prolog != nullptr) hooks_.interrupt_usr1_prolog(sig);
  for (auto& l : locations_)
    l->fct->interrupt_usr1(sig);
  if (hooks_.interrupt_usr1_epilog != nullptr) hooks_.interrupt_usr1_epilog(sig);
}

std::string Server::endpoint() const {
  return endpoint_;
}

const ServerConfig& Server::config() const {
  return config_;
}

std::vector<EqFct*> Server::locations() const {
  std::vector<EqFct*> out;
  for (auto& l : locations_)
    out.push_back(l->fct);
  return out;
}

// Ticks at a fixed rate; a round that overran its period starts the next
// one a whole period later instead of catching up.
void Server::update_loop() {
  const auto period = std::chrono::milliseconds(config_.update_ms);
  auto next = Clock::now() + period;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mux_);
      if (stop_cond_.wait_until(lock, next, [this] { return stopping_; })) break;
    }
    call_hook(hooks_.refresh_prolog);
    for (auto& l : locations_)
      l->fct->update();
    call_hook(hooks_.refresh_epilog);
    next += period;
    auto now = Clock::now();
    if (next < now) next = now + period;
  }
  updater_done_ = true;
}

}  // namespace norix
