// fsm_bench.cc - the benchmark program: runs the cases (Google Benchmark
// flags apply), then prints a summary of every case per event as a multiple
// of one mutex pair, and whether each goal is met in this run.

#include "fsm/fsm.h"

#include <benchmark/benchmark.h>
#include <stdio.h>

#include <cmath>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/cases.h"

namespace {

using fsmbench::recorded;

struct Goal {
  std::string what;
  double measured;  // NaN when a case it needs did not run
  double limit;
  bool at_most;  // met when measured <= limit (else when >=)
};

double slope(const std::string& low, const std::string& high, double steps) {
  return (recorded(high) - recorded(low)) / steps;
}

double worst_allocs() {
  double worst = NAN;
  for (const std::string& key : fsmbench::reported_cases()) {
    if (key.rfind("dispatch/", 0) != 0 && key.rfind("scale/", 0) != 0) continue;
    double a = recorded(key + "#allocs");
    if (std::isnan(worst) || a > worst) worst = a;
  }
  return worst;
}

std::vector<Goal> goals() {
  std::vector<Goal> g;
  g.push_back({"dispatch, cycle: pairs per event", recorded("dispatch/cycle"), 9.5, true});
  g.push_back({"dispatch, cycle: ns per event traced / untraced",
               recorded("dispatch/cycle#ns") / recorded("dispatch/cycle/untraced#ns"), 1.1, true});
  g.push_back({"dispatch, cycle: ns per event journalled / not",
               recorded("dispatch/cycle/journaled#ns") / recorded("dispatch/cycle#ns"), 1.1, true});
  g.push_back(
      {"journal writer: records per second", recorded("journal/writer#per_s"), 100000, false});
  g.push_back({"journal: a second of a million records, ms", recorded("journal/query_1s_of_1M#ms"),
               50, true});
  g.push_back({"dispatch, broadcast: pairs per event", recorded("dispatch/broadcast"), 17, true});
  g.push_back({"dispatch, unhandled: pairs per event", recorded("dispatch/unhandled"), 6, true});
  g.push_back(
      {"heap allocations per dispatch (worst dispatch or scaling case)", worst_allocs(), 0, true});
  g.push_back({"pairs per extra addressed active state (flows 1 to 64)",
               slope("scale/flows/unhandled/1", "scale/flows/unhandled/64", 63), 1.25, true});
  g.push_back({"pairs per extra addressed active state (depth 1 to 8)",
               slope("scale/depth/1", "scale/depth/8", 7), 1.25, true});
  g.push_back({"pairs per tried transition (1 to 32, match last)",
               slope("scale/transitions/1/match_last", "scale/transitions/32/match_last", 31), 0.15,
               true});
  for (const char* posters : {"posters_1", "posters_2"}) {
    std::string base = std::string("pipeline/") + posters;
    g.push_back({"pipeline, " + std::string(posters) + ", 1000 per tick: pairs per event",
                 recorded(base + "/burst_1000"), 20, true});
    g.push_back({"pipeline, " + std::string(posters) + ": per event at 10000 / at 100",
                 recorded(base + "/burst_10000") / recorded(base + "/burst_100"), 1.3, true});
  }
  g.push_back({"tick latency median / raw wake-up median",
               recorded("latency/tick#median") / recorded("latency/raw#median"), 1.3, true});
  g.push_back({"settings: fill_list throughput / plain read", recorded("settings/fill_list#ratio"),
               0.5, false});
  g.push_back({"settings: sr_save throughput / plain read and write (synced, renamed)",
               recorded("settings/sr_save#ratio"), 0.5, false});
  g.push_back({"engine's voluntary context switches, 10000 posts while parked (worst of 20)",
               recorded("pipeline/parked#voluntary_max"), 1, true});
  g.push_back({"monitors: refresh of 100 peer items / 100 items served here",
               recorded("monitor/refresh_100#ratio"), 2, true});
  g.push_back({"a get of a server found by name / of a configured peer",
               recorded("monitor/get_found_by_name#ratio"), 2, true});
  g.push_back({"monitors: change to cache, median (ms)", recorded("monitor/latency#median") / 1e6,
               1, true});
  g.push_back({"monitors: change to cache, 99th percentile (ms)",
               recorded("monitor/latency#p99") / 1e6, 10, true});
  g.push_back({"monitors, server found by name: change to cache, median (ms)",
               recorded("monitor/latency_found_by_name#median") / 1e6, 2, true});
  g.push_back({"monitors, server found by name: change to cache, 99th percentile (ms)",
               recorded("monitor/latency_found_by_name#p99") / 1e6, 20, true});
  g.push_back({"monitors: refresh with a silent peer / with a live one",
               recorded("monitor/silent_ratio"), 1.1, true});
  g.push_back({"monitors: FLOW_0 read with a silent peer, 99th percentile (ms)",
               recorded("monitor/flow_read_silent_peer#p99") / 1e6, 10, true});
  g.push_back({"layer of writer/machine.h: ns per event / plain function pointers (alternating)",
               recorded("writer/alternate/layer#ns") / recorded("writer/alternate/plain#ns"), 1.1,
               true});
  return g;
}

std::string figure(double v) {
  if (std::isnan(v)) return "not run";
  char buf[32];
  snprintf(buf, sizeof buf, std::fabs(v) >= 100 ? "%.0f" : "%.2f", v);
  return buf;
}

void print_summary() {
  double pair = recorded("baseline/mutex_pair#ns");
  printf("\n## fsm_bench summary\n\nmutex pair (lock+unlock, second thread alive): %s ns\n\n",
         figure(pair).c_str());
  printf("| case | ns/event | mutex pairs | allocations/event |\n|---|---:|---:|---:|\n");
  for (const std::string& key : fsmbench::reported_cases()) {
    printf("| %s | %s | %s | %s |\n", key.c_str(), figure(recorded(key + "#ns")).c_str(),
           figure(recorded(key)).c_str(), figure(recorded(key + "#allocs")).c_str());
  }
  printf("\n| goal | measured | limit | met |\n|---|---:|---:|---|\n");
  int unmet = 0;
  for (const Goal& g : goals()) {
    const char* met = "not run";
    if (!std::isnan(g.measured)) {
      bool ok = g.at_most ? g.measured <= g.limit : g.measured >= g.limit;
      met = ok ? "yes" : "NO";
      unmet += ok ? 0 : 1;
    }
    printf("| %s | %s | %s %s |  %s |\n", g.what.c_str(), figure(g.measured).c_str(),
           g.at_most ? "<=" : ">=", figure(g.limit).c_str(), met);
  }
  printf("\n%d goal(s) not met in this run\n", unmet);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && argc <= 5 && std::string(argv[1]) == "--monitor-peer") {
    return fsmbench::monitor_peer_main(argv[2], argc >= 4 ? argv[3] : "", argc == 5 ? argv[4] : "");
  }
  fsmbench::keep_second_thread();
  // As in a running server: the timer step updates the client side.
  if (norix_call == nullptr) norix_call = new EqCall();
  fsmbench::register_dispatch_cases();
  fsmbench::register_pipeline_cases();
  fsmbench::register_server_cases();
  fsmbench::register_monitor_cases();
  fsmbench::register_writer_cases();
  fsmbench::register_journal_cases();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_summary();
  return 0;
}
