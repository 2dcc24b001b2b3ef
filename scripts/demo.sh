#!/usr/bin/env bash
# Builds the libraries and runs the main job. The example server is not
# written yet: for now this builds libfsm.so and libnorix.so and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/plain -G Ninja >/dev/null
cmake --build build/plain -j "$(nproc)" --target fsm norix
echo "built build/plain/libfsm.so and build/plain/libnorix.so; the example server is not written yet"
