#!/usr/bin/env bash
# Builds fsm_bench in build/bench (optimised, without the tests) and runs the
# whole benchmark suite; it takes a few minutes. The summary at the end gives
# every case per event as a multiple of one mutex lock+unlock pair measured
# in the same run, and which goals are met. It is written to
# build/bench/results.txt as well. Arguments go to Google Benchmark, e.g.
# scripts/bench.sh --benchmark_filter=dispatch
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh bench
cmake -S . -B build/bench -G Ninja -DFSM_WERROR=ON -DFSM_BUILD_BENCH=ON \
  -DFSM_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j "$(nproc)" --target fsm_bench
build/bench/bench/fsm_bench --benchmark_min_time=0.2 "$@" | tee build/bench/results.txt
