#!/usr/bin/env bash
# The fleet at scale (bench/README.md): builds fleet_lamps in build/bench
# (Release, as scripts/bench.sh) and runs bench/fleet_scale.py, which starts
# a mosquitto on a free loopback port, 50 servers of 20 lamps and a server
# with the fleet view, times state changes to the fleet view and a killed
# server to offline, and reports CPU and memory. Not part of the test
# command. Arguments go to fleet_scale.py (--servers, --machines, --rate,
# --seconds, --update, --keepalive); results in build/fleet_scale/results.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh bench
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DFSM_WERROR=ON \
  -DFSM_BUILD_BENCH=ON -DFSM_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build/bench -j "$(nproc)" --target fleet_lamps
exec python3 bench/fleet_scale.py --bin build/bench --run build/fleet_scale "$@"
