#!/usr/bin/env bash
# Builds fsm_bench in build/bench (Release, without the tests) and runs the
# whole benchmark suite; it takes a few minutes. The summary at the end gives
# every case per event as a multiple of one mutex lock+unlock pair measured
# in the same run, and which goals are met. It is written to
# build/bench/results.txt as well. Arguments go to Google Benchmark, e.g.
# scripts/bench.sh --benchmark_filter=dispatch
# To compare with another commit (before and after a change), use
# bench/compare.sh, which builds both and alternates them in one run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh bench
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DFSM_WERROR=ON \
  -DFSM_BUILD_BENCH=ON -DFSM_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build/bench -j "$(nproc)" --target fsm_bench
build/bench/bench/fsm_bench --benchmark_min_time=0.2 "$@" | tee build/bench/results.txt
