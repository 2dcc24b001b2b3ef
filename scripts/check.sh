#!/usr/bin/env bash
# Builds everything and runs every test: the plain build, then the suite
# again under AddressSanitizer+UndefinedBehaviorSanitizer, then under
# ThreadSanitizer. Build trees go to build/<config>.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

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

run build/plain
run build/asan "-DFSM_SANITIZE=address;undefined"
run build/tsan -DFSM_SANITIZE=thread
echo "all configurations passed"
