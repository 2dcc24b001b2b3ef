#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (build/fuzz), and runs each for a bounded time:
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
# Each target starts from its seed corpus (fuzz/corpus/<target>, only read)
# and keeps what it finds under build/fuzz/corpus/<target>. A crash leaves
# its input in build/fuzz/artifacts/ and fails the script; replay it with
# build/fuzz/fuzz/<target>_fuzz <input>, then add it to fuzz/corpus/<target> and
# a regression test to the ordinary suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh fuzz

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(settings_reader event_write routed_text framework_text protocol save_load)
fi

dir=build/fuzz
CXX=clang++ cmake -S . -B "$dir" -G Ninja -DFSM_FUZZ=ON -DFSM_BUILD_TESTS=OFF \
  "-DFSM_SANITIZE=address;undefined" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]/%/_fuzz}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$dir/artifacts" "$dir/tmp"
export TMPDIR=$PWD/$dir/tmp
failed=()
for t in "${targets[@]}"; do
  echo "=== $t: ${seconds}s"
  mkdir -p "$dir/corpus/$t"
  if ! "$dir/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$dir/artifacts/${t}-" \
      "$dir/corpus/$t" "fuzz/corpus/$t"; then
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}"
  exit 1
fi
echo "all fuzz targets ran clean for ${seconds}s each"
