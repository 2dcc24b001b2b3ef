#!/usr/bin/env bash
# Checks the layers' includes, README's example and the sources' format, then builds
# everything and runs every test: the plain build, then the suite again
# under AddressSanitizer+UndefinedBehaviorSanitizer with LeakSanitizer (a
# leak fails the test that leaked), then under ThreadSanitizer. The plain
# build compiles the benchmarks too (not run: scripts/bench.sh runs them),
# and must have run the browser test. Build trees go to build/<config>.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/check_layers.sh
scripts/check_readme.sh
scripts/deps.sh test
scripts/check_format.sh

jobs=$(nproc)
run() {
  local dir=$1
  shift
  echo "=== $dir"
  cmake -S . -B "$dir" -G Ninja -DFSM_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# LeakSanitizer must really run in the ASan build (a ptrace restriction or
# the environment can turn it off): a probe that leaks has to fail.
leak_probe() {
  local dir=build/leak_probe
  mkdir -p "$dir"
  printf '#include <stdlib.h>\nvoid* volatile p;\nint main() { p = malloc(64); p = 0; }\n' \
    >"$dir/probe.cc"
  "${CXX:-c++}" -fsanitize=address -g "$dir/probe.cc" -o "$dir/probe"
  if "$dir/probe" 2>"$dir/probe.log" ||
    ! grep -q "LeakSanitizer: detected memory leaks" "$dir/probe.log"; then
    echo "LeakSanitizer does not report leaks here; the leak check would pass blindly"
    exit 1
  fi
}

run build/plain -DFSM_BUILD_BENCH=ON
# A configure without Node, Chromium (or mosquitto, for the fleet view)
# leaves a browser test out; here that is a failure, not a pass.
for t in browser_panel browser_fleet; do
  if ! ctest --test-dir build/plain -N -R "^$t\$" | grep -q "Total Tests: 1"; then
    echo "the browser test ($t) was not configured: see the configure message"
    exit 1
  fi
done
leak_probe
run build/asan "-DFSM_SANITIZE=address;undefined"
run build/tsan -DFSM_SANITIZE=thread
echo "all configurations passed"
