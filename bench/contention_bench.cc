// contention_bench.cc - REF's event engine while property readers and
// interrupts run beside it, browsers follow the web panel's live stream, a
// monitoring scraper collects the metrics every second, or the locations
// are published to a broker that subscribers follow, and without them.

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/server_fixture.h"
#include "framework/calls/broker.h"
#include "framework/host/broker_host.h"
#include "framework/host/http_endpoint.h"
#include "framework/host/metrics.h"
#include "server/fsm_broker.h"
#include "server/fsm_panel.h"
#include "server/fsm_stats.h"
#include "testkit/testkit.h"

namespace fsmbench {
namespace {

// The web panel of the benchmark's locations, on a free loopback port; it
// serves for the rest of the process. Its port, or -1.
int panel_port() {
  static int port = [] {
    norix::set_http_panel(fsm_panel());
    static norix::HttpEndpoint panel("127.0.0.1", 0, "",
                                     [](const std::string&) { return std::string("err 112 "); });
    std::string why;
    if (panel.start(&why) != 0) return -1;
    return std::stoi(panel.address().substr(panel.address().find(':') + 1));
  }();
  return port;
}

long rss_kib() {
  long kib = -1;
  FILE* f = fopen("/proc/self/status", "r");
  char line[256];
  while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
    if (sscanf(line, "VmRSS: %ld", &kib) == 1) break;
  }
  if (f != nullptr) fclose(f);
  return kib;
}

// n browsers following the panel's live stream, each reading what it is
// sent as it comes, until destroyed.
class Browsers {
 public:
  explicit Browsers(int n) {
    int port = panel_port();
    for (int i = 0; i < n && port > 0; ++i) {
      clients_.emplace_back(new httplib::Client("127.0.0.1", port));
      httplib::Client* c = clients_.back().get();
      threads_.emplace_back([this, c] {
        c->Get("/api/live", [this](const char*, size_t size) {
          bytes_ += static_cast<long>(size);
          ++events_;
          return true;
        });
      });
    }
    // Each has had the first text before timing starts.
    wait_until(events_, n);
  }
  ~Browsers() {
    for (auto& c : clients_)
      c->stop();
    for (std::thread& t : threads_)
      t.join();
  }
  long bytes() const { return bytes_; }

 private:
  std::vector<std::unique_ptr<httplib::Client>> clients_;
  std::vector<std::thread> threads_;
  std::atomic<long> bytes_{0};
  std::atomic<long> events_{0};
};

// A facility's monitoring: collects the metrics text of every machine (as
// GET /metrics does) at once and then every second, until destroyed.
class Scraper {
 public:
  Scraper() {
    static const int source = norix::add_metrics_source(fsm_metrics);
    (void)source;
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      do {
        lock.unlock();
        bytes_ += static_cast<long>(norix::metrics_text().size());
        ++scrapes_;
        lock.lock();
      } while (!cond_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; }));
    });
  }
  ~Scraper() { stop(); }
  // Ends the scraping after the scrape under way, if any.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cond_.notify_one();
    if (thread_.joinable()) thread_.join();
  }
  long scrapes() const { return scrapes_; }
  long bytes() const { return bytes_; }

 private:
  std::mutex mutex_;  // guards stop_
  std::condition_variable cond_;
  bool stop_ = false;
  std::atomic<long> scrapes_{0};
  std::atomic<long> bytes_{0};
  std::thread thread_;
};

// A loopback port that was free a moment ago, or -1.
int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// A mosquitto on a free loopback port, the benchmark's locations published
// to it as a server with an mqtt item publishes them, and n subscribers
// following every topic, until destroyed. ok() is false when the broker
// (Debian's mosquitto) could not be started.
class BrokerFollowers {
 public:
  explicit BrokerFollowers(int n) {
    int port = free_port();
    testkit::write_file(
        dir_.file("m.conf"),
        "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\nlog_dest stderr\n");
    if (!broker_.start("/bin/sh", {"-c", "PATH=$PATH:/usr/sbin exec mosquitto -c \"$0\"",
                                   dir_.file("m.conf")}) ||
        !broker_.wait_output(" running")) {
      why_ = "mosquitto did not start: " + broker_.output();
      return;
    }
    norix::ServerConfig c;
    c.facility = "BENCH";
    c.device = "SERVER";
    c.mqtt_url = "mqtt://127.0.0.1:" + std::to_string(port);
    norix::set_broker_feed(fsm_broker_feed());
    host_.reset(new norix::BrokerHost(c, "unix:none", "",
                                      [](const std::string&) { return std::string("err 112 "); }));
    std::string why;
    if (host_->start(&why) != 0) {
      why_ = why;
      return;
    }
    for (int i = 0; i < n; ++i) {
      norix::BrokerSettings s;
      s.url = c.mqtt_url;
      subscribers_.emplace_back(new norix::BrokerLink(s));
      subscribers_.back()->subscribe("norix/#", [this](const norix::BrokerMessage&) { ++got_; });
      if (subscribers_.back()->start(&why) != 0) {
        why_ = why;
        return;
      }
    }
    // Each has had the presence and a state before timing starts.
    ok_ = wait_until(got_, n * 2L);
    if (!ok_) why_ = "the subscribers saw " + std::to_string(got_) + " messages";
  }
  ~BrokerFollowers() {
    if (host_ != nullptr) host_->stop();
    subscribers_.clear();
  }
  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  long messages() const { return got_; }

 private:
  testkit::TempDir dir_;
  testkit::ServerProcess broker_;
  std::unique_ptr<norix::BrokerHost> host_;
  std::vector<std::unique_ptr<norix::BrokerLink>> subscribers_;
  std::atomic<long> got_{0};
  bool ok_ = false;
  std::string why_;  // why not ok
};

// 1000 events of the cycle scenario per tick through REF's queue; the
// figure is the CPU time of the poster and REF's event engine per event.
// With browsers > 0, that many follow the web panel's live stream of every
// location (REF among them) while it runs; with scrape, a Scraper runs;
// with followers > 0, the locations go to a broker that many follow.
void contention_case(benchmark::State& state, const std::string& key, bool contended,
                     int browsers = 0, bool scrape = false, int followers = 0) {
  const std::string& err = start_server();
  if (!err.empty()) {
    state.SkipWithError(err.c_str());
    return;
  }
  handler_probe = note_tick;
  std::string check = check_ref(&ref_model());
  if (!check.empty()) {
    handler_probe = nullptr;
    state.SkipWithError(("before timing: " + check).c_str());
    return;
  }
  constexpr long BURST = 1000;
  std::vector<FSMevent> ring = make_ring(ref_desc(), cycle_aims(ref_desc()), STAR).ring;
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0}, irqs{0};
  std::vector<std::thread> others;
  if (contended) {
    // A property reader as fast as it goes: FAULT and every FLOW_n.
    others.emplace_back([&] {
      EqData res;
      while (!stop) {
        ref_loc->status.get(nullptr, nullptr, &res, ref_loc);
        for (D_flow* f : ref_loc->flows)
          f->get(nullptr, nullptr, &res, ref_loc);
        ++reads;
      }
    });
    // An interrupt source at a steady 10 kHz (when the machine keeps up).
    others.emplace_back([&] {
      timespec next;
      clock_gettime(CLOCK_MONOTONIC, &next);
      while (!stop) {
        ref_loc->interrupt1();
        ++irqs;
        next.tv_nsec += 100000;
        if (next.tv_nsec >= 1000000000) {
          next.tv_nsec -= 1000000000;
          ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      }
    });
  }
  long rss0 = rss_kib();
  std::unique_ptr<Browsers> watching(browsers > 0 ? new Browsers(browsers) : nullptr);
  std::unique_ptr<Scraper> scraper(scrape ? new Scraper() : nullptr);
  std::unique_ptr<BrokerFollowers> following(followers > 0 ? new BrokerFollowers(followers)
                                                           : nullptr);
  if (following != nullptr && !following->ok()) {
    handler_probe = nullptr;
    stop = true;
    for (std::thread& t : others)
      t.join();
    state.SkipWithError(("no broker: " + following->why()).c_str());
    return;
  }
  long got0 = following != nullptr ? following->messages() : 0;
  long done = ticks();
  size_t next = 0;
  int64_t wall0 = wall_ns();
  int64_t cpu0 = thread_cpu_ns() + thread_cpu_ns(ref_loc->update_id);
  for (auto _ : state) {
    for (long k = 0; k < BURST; ++k) {
      ref_loc->state_ptr->post_event(&ring[next]);
      if (++next == ring.size()) next = 0;
    }
    ref_loc->update();
    if (!wait_ticks(++done)) {
      state.SkipWithError("REF did not end its cycle");
      break;
    }
  }
  int64_t cpu = thread_cpu_ns() + thread_cpu_ns(ref_loc->update_id) - cpu0;
  int64_t wall = wall_ns() - wall0;
  stop = true;
  for (std::thread& t : others)
    t.join();
  if (watching != nullptr) {
    state.counters["stream_B/s"] = static_cast<double>(watching->bytes()) / (wall / 1e9);
    state.counters["rss_growth_KiB"] = static_cast<double>(rss_kib() - rss0);
    record(key + "#rss_growth_kib", static_cast<double>(rss_kib() - rss0));
  }
  watching.reset();
  if (scraper != nullptr) {
    scraper->stop();  // at least one scrape done
    state.counters["scrapes"] = static_cast<double>(scraper->scrapes());
    state.counters["scrape_B"] = static_cast<double>(scraper->bytes() / scraper->scrapes());
  }
  scraper.reset();
  if (following != nullptr)
    state.counters["broker_msgs/s"] =
        static_cast<double>(following->messages() - got0) / (wall / 1e9);
  following.reset();
  // Bring the machine back to a whole round of the ring for the next case.
  while (next != 0) {
    ref_loc->state_ptr->post_event(&ring[next]);
    next = (next + 1) % ring.size();
  }
  ref_loc->update();
  wait_ticks(++done);
  handler_probe = nullptr;
  double events = static_cast<double>(state.iterations()) * BURST;
  report(state, key, static_cast<double>(cpu) / events, static_cast<double>(wall) / events, 0);
  double seconds = static_cast<double>(wall) / 1e9;
  state.counters["reads/s"] = static_cast<double>(reads) / seconds;
  state.counters["irqs/s"] = static_cast<double>(irqs) / seconds;
  record(key + "#reads", static_cast<double>(reads) / seconds);
  record(key + "#irqs", static_cast<double>(irqs) / seconds);
}

}  // namespace

void register_contention_cases() {
  for (bool contended : {false, true}) {
    std::string key = contended ? "contention/readers_and_irqs" : "contention/none";
    benchmark::RegisterBenchmark(key.c_str(), [key, contended](benchmark::State& s) {
      contention_case(s, key, contended);
    })->UseRealTime();
  }
  // The metrics scraped every second: compare with contention/none.
  benchmark::RegisterBenchmark("contention/scraper", [](benchmark::State& s) {
    contention_case(s, "contention/scraper", false, 0, true);
  })->UseRealTime();
  // The web panel: its producer runs only while a browser follows it.
  for (int browsers : {0, 10}) {
    std::string key = "contention/panel/" + std::to_string(browsers);
    benchmark::RegisterBenchmark(key.c_str(), [key, browsers](benchmark::State& s) {
      if (browsers == 0 && panel_port() < 0) s.SkipWithError("the panel did not start");
      contention_case(s, key, false, browsers);
    })->UseRealTime();
  }
  // The broker: every location published on change, ten subscribers
  // following every topic. Compare with contention/none.
  benchmark::RegisterBenchmark("contention/broker/10", [](benchmark::State& s) {
    contention_case(s, "contention/broker/10", false, 0, false, 10);
  })->UseRealTime();
}

}  // namespace fsmbench
