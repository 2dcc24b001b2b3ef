// cases.h - the groups of cases of fsm_bench; each registers its
// benchmarks, and fsm_bench.cc checks the goals on what they recorded.

#ifndef BENCH_CASES_H
#define BENCH_CASES_H

namespace fsmbench {

void register_dispatch_cases();  // dispatch, baseline, scaling, memory
void register_pipeline_cases();  // posting and the engine's loop
void register_server_cases();    // running locations: latency, contention, data

}  // namespace fsmbench

#endif  // BENCH_CASES_H
