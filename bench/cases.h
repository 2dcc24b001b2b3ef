// cases.h - the groups of cases of fsm_bench; each registers its
// benchmarks, and fsm_bench.cc checks the goals on what they recorded.

#ifndef BENCH_CASES_H
#define BENCH_CASES_H

#include <string>

namespace fsmbench {

void register_dispatch_cases();  // dispatch, baseline, scaling, memory
void register_pipeline_cases();  // posting and the engine's loop
void register_server_cases();    // running locations: latency, contention, data
void register_monitor_cases();   // bound items of a peer server process
void register_writer_cases();    // machines written with writer/machine.h
void register_journal_cases();   // the journal's writer and queries
// The peer server of the monitor cases: "fsm_bench --monitor-peer DIR
// [FACILITY [LISTEN]]" (another facility name than the configured peer's: a
// server found by name; LISTEN instead of the Unix socket DIR/peer.sock, a
// tls: one with the certificate DIR/dev.pem and key DIR/dev.key).
int monitor_peer_main(const std::string& dir, const std::string& facility,
                      const std::string& listen);

}  // namespace fsmbench

#endif  // BENCH_CASES_H
