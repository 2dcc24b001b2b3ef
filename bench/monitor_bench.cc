// monitor_bench.cc - bound items read through monitors of a peer server:
// another process (this program run with --monitor-peer), whose location DEV
// holds the ints P0000..P0999. Refresh cost against items served here, the
// delay of a change to the cache, a silent peer, and the peer's CPU and
// memory under many subscriptions.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/cases.h"
#include "bench/server_fixture.h"
#include "framework/calls/endpoint.h"
#include "framework/calls/names.h"
#include "framework/calls/peers.h"
#include "framework/calls/protocol.h"
#include "framework/calls/tls.h"
#include "framework/host/server.h"
#include "testkit/testkit.h"

namespace fsmbench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int PEER_VALUES = 1000;
constexpr const char* PEER_FACILITY = "PEER.FAC";
constexpr const char* PEER_DEVICE = "PEER.DEV";

std::string peer_address(int i) {
  char prop[8];
  snprintf(prop, sizeof prop, "P%04d", i % 10000);
  return std::string(PEER_FACILITY) + "/" + PEER_DEVICE + "/DEV/" + prop;
}

// The peer's location: while CHANGING is 1, every update (10 ms) gives each
// value a new one.
struct PeerDevice : EqFct {
  PeerDevice() : EqFct("NAME = location"), changing("CHANGING 1 changes the values", this) {
    for (int i = 0; i < PEER_VALUES; ++i) {
      std::string name = peer_address(i).substr(peer_address(i).rfind('/') + 1) + " an int";
      values.emplace_back(new norix::D_value<int>(name.c_str(), this));
    }
  }
  void update() override {
    if (changing.value() == 0) return;
    ++round;
    for (auto& v : values)
      v->set_value(round);
  }
  norix::D_value<int> changing;
  std::vector<std::unique_ptr<norix::D_value<int>>> values;
  int round = 0;
};

struct Peer {
  testkit::TempDir dir;
  testkit::ServerProcess process;
  std::string endpoint;
};

// Starts the peer once; null when it could not be started. The peer
// process is killed when this program ends and destroys it.
Peer* peer() {
  static Peer made;
  static bool started = [] {
    made.endpoint = "unix:" + made.dir.file("peer.sock");
    if (!made.process.start("/proc/self/exe", {"--monitor-peer", made.dir.path()}) ||
        !made.process.wait_output("listening on")) {
      return false;
    }
    norix::add_peer(PEER_FACILITY, PEER_DEVICE, made.endpoint);
    return true;
  }();
  return started ? &made : nullptr;
}

// A state with n items bound to addr(i), refreshed as the engine does it.
struct Bound {
  Bound(int n, std::string (*addr)(int)) : state("BOUND", nullptr, 0) {
    for (int i = 0; i < n; ++i)
      state.add_data(("v" + std::to_string(i)).c_str(), nullptr, addr(i).c_str());
  }
  void refresh() {
    pthread_mutex_lock(&state.mux);
    state.poll_data();
    pthread_mutex_unlock(&state.mux);
  }
  FSMstate state;
};

bool set_peer(const std::string& address, int value) {
  EqAdr a;
  a.adr(address);
  EqData v, result;
  v.set(value);
  EqCall call;
  return call.set(&a, &v, &result) == 0;
}

int cached(const std::string& address) {
  EqAdr a;
  a.adr(address);
  EqData request, result;
  EqCall call;
  return call.get_monitor(&a, &request, &result, 1, 1.0f, nullptr, nullptr) == 0 ? result.get_int()
                                                                                 : -1;
}

bool ready(benchmark::State& state) {
  const std::string& err = start_server();
  if (!err.empty() || peer() == nullptr) {
    state.SkipWithError(err.empty() ? "the peer did not start" : err.c_str());
    return false;
  }
  return true;
}

// Best-of-chunks cost of refreshing 100 items, remote and here alternately;
// "#ratio" is remote / here. With stopped, the peer is stopped first and
// "monitor/silent_ratio" compares that ratio with the live one.
void refresh_case(benchmark::State& state, bool stopped) {
  if (!ready(state)) return;
  Bound remote(100, peer_address), local(100, device_address);
  remote.refresh();
  if (!testkit::wait_until([&] { return cached(peer_address(99)) >= 0; })) {
    state.SkipWithError("no first values from the peer");
    return;
  }
  if (stopped) {
    peer()->process.signal(SIGSTOP);
    testkit::wait_until([&] { return cached(peer_address(99)) < 0; });
  }
  int64_t best_remote = -1, best_local = -1;
  for (auto _ : state) {
    for (Bound* b : {&remote, &local}) {
      int64_t t0 = wall_ns();
      for (int i = 0; i < 20; ++i)
        b->refresh();
      int64_t spent = (wall_ns() - t0) / 20;
      int64_t& best = b == &remote ? best_remote : best_local;
      if (best < 0 || spent < best) best = spent;
    }
  }
  if (stopped) peer()->process.signal(SIGCONT);
  std::string key = stopped ? "monitor/refresh_100_silent_peer" : "monitor/refresh_100";
  state.counters["remote_us"] = best_remote / 1000.0;
  state.counters["local_us"] = best_local / 1000.0;
  record(key + "#remote_ns", static_cast<double>(best_remote));
  record(key + "#ratio", static_cast<double>(best_remote) / static_cast<double>(best_local));
  if (stopped) {
    record("monitor/silent_ratio",
           static_cast<double>(best_remote) / recorded("monitor/refresh_100#remote_ns"));
  }
}

// The same server as peer(), under another facility name and found by
// name: its presence record put into the name table as the broker's
// subscription does. Null when it could not be started.
constexpr const char* NAMED_FACILITY = "NAMED.FAC";
Peer* named_peer() {
  static Peer made;
  static bool started = [] {
    made.endpoint = "unix:" + made.dir.file("peer.sock");
    if (!made.process.start("/proc/self/exe",
                            {"--monitor-peer", made.dir.path(), NAMED_FACILITY}) ||
        !made.process.wait_output("listening on")) {
      return false;
    }
    std::string record = std::string("{\"server\":\"") + NAMED_FACILITY + "/" + PEER_DEVICE +
                         "\",\"online\":true,\"instance\":\"bench\",\"endpoints\":[\"" +
                         made.endpoint + "\"]}";
    return norix::apply_presence(record, nullptr) == norix::NAME_APPLIED;
  }();
  return started ? &made : nullptr;
}

// Best-of-chunks cost of one plain get of a value, of the configured peer
// and of the server found by name alternately; "#ratio" is named / peer.
void found_by_name_case(benchmark::State& state) {
  if (!ready(state)) return;
  if (named_peer() == nullptr) {
    state.SkipWithError("the named peer did not start");
    return;
  }
  EqAdr by_peer;
  by_peer.adr(peer_address(1));
  EqAdr by_name;
  by_name.adr(std::string(NAMED_FACILITY) + peer_address(1).substr(strlen(PEER_FACILITY)));
  int64_t best[2] = {-1, -1};
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      EqAdr* a = k == 0 ? &by_peer : &by_name;
      int64_t t0 = wall_ns();
      for (int i = 0; i < 20; ++i) {
        EqData request, result;
        EqCall call;
        if (call.get(a, &request, &result) != 0) {
          state.SkipWithError(("get failed: " + result.text_value()).c_str());
          return;
        }
      }
      int64_t spent = (wall_ns() - t0) / 20;
      if (best[k] < 0 || spent < best[k]) best[k] = spent;
    }
  }
  state.counters["peer_us"] = static_cast<double>(best[0]) / 1000.0;
  state.counters["named_us"] = static_cast<double>(best[1]) / 1000.0;
  record("monitor/get_found_by_name#ratio",
         static_cast<double>(best[1]) / static_cast<double>(best[0]));
}

// Two more peers on loopback TCP, one plain and one with TLS (certificates
// made with the openssl program); calls verify the TLS one with the test CA.
struct TcpPeers {
  testkit::TempDir dir;
  testkit::ServerProcess plain;
  testkit::ServerProcess tls;
};
const char* const TCP_FACILITIES[2] = {"TCP.FAC", "TLS.FAC"};
std::string tcp_peers_start() {
  static TcpPeers made;
  static std::string failed = [] {
    std::string why = testkit::make_test_certificates(made.dir.path());
    if (!why.empty()) return why;
    norix::protocol::tls_settings s;
    s.ca = made.dir.file("ca.pem");
    if (norix::protocol::set_tls(s, &why) != 0) return why;
    testkit::ServerProcess* p[2] = {&made.plain, &made.tls};
    for (int k = 0; k < 2; ++k) {
      std::string listen = std::string(k == 0 ? "tcp" : "tls") + ":127.0.0.1:0";
      if (!p[k]->start("/proc/self/exe",
                       {"--monitor-peer", made.dir.path(), TCP_FACILITIES[k], listen}) ||
          !p[k]->wait_output("listening on ")) {
        return "the " + listen + " peer did not start";
      }
      size_t at = p[k]->output().find("listening on ") + 13;
      std::string endpoint = p[k]->output().substr(at, p[k]->output().find('\n', at) - at);
      norix::add_peer(TCP_FACILITIES[k], PEER_DEVICE, endpoint);
    }
    return std::string();
  }();
  return failed;
}

// Best-of-chunks cost of one plain get (a connection of its own each) over
// loopback TCP and over TLS alternately; "#ratio" is TLS / TCP.
void tls_get_case(benchmark::State& state) {
  std::string why = tcp_peers_start();
  if (!why.empty()) {
    state.SkipWithError(why.c_str());
    return;
  }
  EqAdr at[2];
  for (int k = 0; k < 2; ++k)
    at[k].adr(std::string(TCP_FACILITIES[k]) + peer_address(1).substr(strlen(PEER_FACILITY)));
  int64_t best[2] = {-1, -1};
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      int64_t t0 = wall_ns();
      for (int i = 0; i < 20; ++i) {
        EqData request, result;
        EqCall call;
        if (call.get(&at[k], &request, &result) != 0) {
          state.SkipWithError(("get failed: " + result.text_value()).c_str());
          return;
        }
      }
      int64_t spent = (wall_ns() - t0) / 20;
      if (best[k] < 0 || spent < best[k]) best[k] = spent;
    }
  }
  state.counters["tcp_us"] = static_cast<double>(best[0]) / 1000.0;
  state.counters["tls_us"] = static_cast<double>(best[1]) / 1000.0;
  record("monitor/get_tls#ratio", static_cast<double>(best[1]) / static_cast<double>(best[0]));
}

// From a set at the peer (its call included) to the new value in the cache;
// with named, of the same server found by name (named_peer()).
void latency_case(benchmark::State& state, bool named) {
  if (!ready(state)) return;
  if (named && named_peer() == nullptr) {
    state.SkipWithError("the named peer did not start");
    return;
  }
  std::string a = peer_address(0);
  if (named) a = NAMED_FACILITY + a.substr(strlen(PEER_FACILITY));
  std::string name = named ? "monitor/latency_found_by_name" : "monitor/latency";
  cached(a);
  std::vector<int64_t> delays;
  int value = 1000000;
  for (auto _ : state) {
    ++value;
    int64_t t0 = wall_ns();
    if (!set_peer(a, value)) {
      state.SkipWithError("the set failed");
      return;
    }
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (cached(a) != value && Clock::now() < deadline)
      std::this_thread::yield();  // leaves the table mutex to the link thread
    delays.push_back(wall_ns() - t0);
  }
  std::sort(delays.begin(), delays.end());
  double median = static_cast<double>(delays[delays.size() / 2]);
  double p99 = static_cast<double>(delays[delays.size() * 99 / 100]);
  state.counters["median_us"] = median / 1000;
  state.counters["p99_us"] = p99 / 1000;
  record(name + "#median", median);
  record(name + "#p99", p99);
}

// REF's FLOW_0 read by a client while another thread refreshes 100 items of
// a stopped peer under the state's lock.
void flow_read_case(benchmark::State& state) {
  if (!ready(state)) return;
  Bound remote(100, peer_address);
  remote.refresh();
  peer()->process.signal(SIGSTOP);
  std::atomic<bool> stop{false};
  std::thread refresher([&] {
    while (!stop)
      remote.refresh();
  });
  EqAdr a;
  a.adr(std::string("BENCH.FAC/BENCH.DEV/REF/FLOW_0"));
  std::vector<int64_t> reads;
  for (auto _ : state) {
    EqData request, result;
    EqCall call;
    int64_t t0 = wall_ns();
    call.get(&a, &request, &result);
    reads.push_back(wall_ns() - t0);
  }
  stop = true;
  refresher.join();
  peer()->process.signal(SIGCONT);
  std::sort(reads.begin(), reads.end());
  double p99 = static_cast<double>(reads[reads.size() * 99 / 100]);
  state.counters["p99_us"] = p99 / 1000;
  record("monitor/flow_read_silent_peer#p99", p99);
}

long process_cpu_ns(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = text.rfind(')');
  std::vector<std::string> f;
  std::string word;
  for (size_t i = at + 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      f.push_back(word);
      word.clear();
    } else {
      word += text[i];
    }
  }
  // utime and stime are fields 14 and 15; f[0] is field 3.
  return f.size() > 12
             ? (atol(f[11].c_str()) + atol(f[12].c_str())) * 1000000000L / sysconf(_SC_CLK_TCK)
             : -1;
}

long process_rss_kb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
  return -1;
}

// 10 connections with 100 subscriptions each, every value changing 100
// times a second, for 2 s: the peer's CPU (share of one core) and RSS.
void load_case(benchmark::State& state) {
  if (!ready(state)) return;
  namespace protocol = norix::protocol;
  constexpr int CONNECTIONS = 10;
  pid_t pid = peer()->process.pid();
  long rss_before = process_rss_kb(pid);
  std::atomic<bool> stop{false};
  std::atomic<long> changes{0};
  std::vector<std::thread> readers;
  for (int c = 0; c < CONNECTIONS; ++c) {
    readers.emplace_back([&, c] {
      protocol::Endpoint e;
      std::string why;
      protocol::parse_endpoint(peer()->endpoint, &e, &why);
      int fd = protocol::connect_to(e, protocol::Clock::now() + std::chrono::seconds(2));
      std::string out;
      for (int i = 0; i < PEER_VALUES / CONNECTIONS; ++i) {
        EqAdr a;
        a.adr(peer_address(c * (PEER_VALUES / CONNECTIONS) + i));
        out += protocol::subscribe_request(a) + "\n";
      }
      protocol::write_all(fd, out, protocol::Clock::now() + std::chrono::seconds(2));
      protocol::LineReader reader(fd);
      std::string line;
      while (!stop && reader.read_line(&line, protocol::MAX_ANSWER,
                                       protocol::Clock::now() + std::chrono::seconds(2)) ==
                          protocol::LineReader::LINE) {
        if (line.compare(0, 7, "change ") == 0) ++changes;
      }
      close(fd);
    });
  }
  set_peer(std::string(PEER_FACILITY) + "/" + PEER_DEVICE + "/DEV/CHANGING", 1);
  double cpu = 0, seconds = 0;
  for (auto _ : state) {
    long c0 = process_cpu_ns(pid), n0 = changes;
    int64_t t0 = wall_ns();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the measuring window
    seconds = static_cast<double>(wall_ns() - t0) / 1e9;
    cpu = static_cast<double>(process_cpu_ns(pid) - c0) / 1e9 / seconds;
    state.counters["changes_per_s"] = static_cast<double>(changes - n0) / seconds;
  }
  long rss = process_rss_kb(pid);
  set_peer(std::string(PEER_FACILITY) + "/" + PEER_DEVICE + "/DEV/CHANGING", 0);
  stop = true;
  for (auto& t : readers)
    t.join();
  state.counters["peer_cpu"] = cpu;
  state.counters["peer_rss_kb"] = static_cast<double>(rss);
  state.counters["peer_rss_before_kb"] = static_cast<double>(rss_before);
  record("monitor/load#cpu", cpu);
  record("monitor/load#rss_kb", static_cast<double>(rss));
  record("monitor/load#rss_before_kb", static_cast<double>(rss_before));
}

EqFct* create_peer_device(int, void*) {
  return new PeerDevice;
}

}  // namespace

int monitor_peer_main(const std::string& dir, const std::string& facility,
                      const std::string& listen) {
  std::string conf = dir + "/" + (facility.empty() ? PEER_FACILITY : facility) + ".conf";
  std::string tls = listen.compare(0, 4, "tls:") == 0
                        ? "tls_cert " + dir + "/dev.pem\ntls_key " + dir + "/dev.key\n"
                        : "";
  std::ofstream(conf) << "server " << (facility.empty() ? PEER_FACILITY : facility) << " "
                      << PEER_DEVICE << "\nlisten "
                      << (listen.empty() ? "unix:" + dir + "/peer.sock" : listen) << "\n"
                      << tls << "update 10\nlocation DEV 1\n";
  norix::ServerHooks hooks{};
  hooks.create = create_peer_device;
  char program[] = "monitor_peer";
  std::vector<char> path(conf.begin(), conf.end());
  path.push_back('\0');
  char* argv[] = {program, path.data(), nullptr};
  return norix::server_main(2, argv, hooks);
}

void register_monitor_cases() {
  benchmark::RegisterBenchmark("monitor/refresh_100", [](benchmark::State& s) {
    refresh_case(s, false);
  })->Iterations(200);
  benchmark::RegisterBenchmark("monitor/refresh_100_silent_peer", [](benchmark::State& s) {
    refresh_case(s, true);
  })->Iterations(200);
  benchmark::RegisterBenchmark("monitor/latency", [](benchmark::State& s) {
    latency_case(s, false);
  })->Iterations(1000);
  benchmark::RegisterBenchmark("monitor/latency_found_by_name", [](benchmark::State& s) {
    latency_case(s, true);
  })->Iterations(1000);
  benchmark::RegisterBenchmark("monitor/get_found_by_name", found_by_name_case)->Iterations(100);
  benchmark::RegisterBenchmark("monitor/get_tls", tls_get_case)->Iterations(50);
  benchmark::RegisterBenchmark("monitor/flow_read_silent_peer", flow_read_case)->Iterations(20000);
  benchmark::RegisterBenchmark("monitor/load_1000_subscriptions", load_case)->Iterations(1);
}

}  // namespace fsmbench
