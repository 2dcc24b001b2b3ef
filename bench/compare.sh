#!/usr/bin/env bash
# bench/compare.sh - the benchmark of this work tree against a base commit,
# in one run: is a change faster or slower than what it changes?
#
#   bench/compare.sh [-r ROUNDS] [-f FILTER] [-t MIN_TIME] [BASE]
#
# BASE is a commit (default: the last release tag v* before HEAD). The base
# is checked out in a temporary worktree (build/compare/src-SHA, removed at
# the end) and fsm_bench is built there and in this work tree (uncommitted
# changes included) with the same compiler and the same flags (Release,
# benchmarks on, tests off, ccache when present), into build/compare/base-SHA
# and build/compare/work. The two programs then run the same cases with the
# same options, alternately (base, work, work, base, ...: ROUNDS of each,
# default 5), and the script prints per case the median ns per event of each
# side and new/old: the median and the range (min-max) of the ratios of the
# runs made next to each other. A ratio's range, not one figure, says
# whether a difference is real: on a loaded machine it is wide. The load
# average before and after is printed; compare on an idle machine for
# figures to keep.
#
# Cases default to the mutex pair, the dispatch cases and the pipeline
# (FILTER is a Google Benchmark regex); only the cases both programs have
# are compared, the others are listed. MIN_TIME is --benchmark_min_time
# (default 0.2). The table is also written to build/compare/last.md.
set -euo pipefail
root=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
cd "$root"

rounds=5
filter='^(baseline/mutex_pair|dispatch/|pipeline/posters_)'
min_time=0.2
usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
  exit 2
}
while getopts r:f:t:h opt; do
  case $opt in
    r) rounds=$OPTARG ;;
    f) filter=$OPTARG ;;
    t) min_time=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -le 1 ] || usage
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "rounds: a positive number" >&2; exit 2; }
scripts/deps.sh bench

base=${1:-}
if [ -z "$base" ]; then
  base=$(git describe --tags --abbrev=0 --match 'v[0-9]*' HEAD 2>/dev/null || true)
  if [ -z "$base" ]; then
    echo "no release tag (v*) before HEAD: give the base commit, e.g. bench/compare.sh 29ba043" >&2
    exit 2
  fi
fi
sha=$(git rev-parse --verify --quiet "$base^{commit}") || { echo "not a commit: $base" >&2; exit 2; }
short=$(git rev-parse --short=10 "$sha")

out=$root/build/compare
src=$out/src-$short
base_dir=$out/base-$short
work_dir=$out/work
runs=$out/runs
mkdir -p "$out"
rm -rf "$runs"
mkdir -p "$runs"

cleanup() {
  if [ -d "$src" ]; then
    git worktree remove --force "$src" >/dev/null 2>&1 || rm -rf "$src"
    git worktree prune
  fi
}
trap cleanup EXIT

# The same configuration for both: an explicit value for every flag a stale
# cache could otherwise keep.
flags=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DFSM_BUILD_BENCH=ON -DFSM_BUILD_TESTS=OFF
  -DFSM_WERROR=OFF -DFSM_SANITIZE= -DFSM_FUZZ=OFF "-DCMAKE_CXX_FLAGS=${CXXFLAGS:-}"
  "-DCMAKE_EXE_LINKER_FLAGS=${LDFLAGS:-}" "-DCMAKE_SHARED_LINKER_FLAGS=${LDFLAGS:-}")
if command -v ccache >/dev/null; then
  flags+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
else
  flags+=(-DCMAKE_CXX_COMPILER_LAUNCHER=)
fi

build() {  # source folder, build folder
  echo "=== building fsm_bench of $1 in $2" >&2
  cmake -S "$1" -B "$2" "${flags[@]}" >/dev/null
  cmake --build "$2" -j "$(nproc)" --target fsm_bench >"$2.log" 2>&1 ||
    { tail -30 "$2.log" >&2; echo "the build in $2 failed (log: $2.log)" >&2; exit 1; }
}

cleanup
git worktree add --detach "$src" "$sha" >/dev/null 2>&1 ||
  { echo "cannot check out $sha in $src" >&2; exit 1; }
build "$src" "$base_dir"
build "$root" "$work_dir"

# Not fooled by the builds: the same compiler and flags in both caches, and
# each program loading its own libraries (no LD_LIBRARY_PATH, no preload).
cache_of() {
  grep -E '^(CMAKE_CXX_COMPILER|CMAKE_CXX_COMPILER_LAUNCHER|CMAKE_BUILD_TYPE|CMAKE_CXX_FLAGS|CMAKE_CXX_FLAGS_RELEASE|CMAKE_EXE_LINKER_FLAGS|CMAKE_SHARED_LINKER_FLAGS|FSM_SANITIZE|FSM_FUZZ):' \
    "$1/CMakeCache.txt" | sort
}
if ! diff <(cache_of "$base_dir") <(cache_of "$work_dir") >&2; then
  echo "the two builds are not configured alike (above)" >&2
  exit 1
fi
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$work_dir/CMakeCache.txt")
run_env=(env -u LD_LIBRARY_PATH -u LD_PRELOAD)
for dir in "$base_dir" "$work_dir"; do
  lib=$("${run_env[@]}" ldd "$dir/bench/fsm_bench" | awk '$1 ~ /^libfsm\.so/ {print $3}')
  case $lib in
    "$dir"/*) ;;
    *) echo "$dir/bench/fsm_bench loads libfsm from '$lib', not from its own build" >&2; exit 1 ;;
  esac
done

run() {  # side, round
  local dir=$base_dir
  [ "$1" = work ] && dir=$work_dir
  echo "=== round $2: $1" >&2
  "${run_env[@]}" "$dir/bench/fsm_bench" --benchmark_filter="$filter" \
    --benchmark_min_time="$min_time" --benchmark_out="$runs/$1-$2.json" \
    --benchmark_out_format=json >/dev/null 2>"$runs/$1-$2.err" ||
    { cat "$runs/$1-$2.err" >&2; echo "fsm_bench ($1) failed" >&2; exit 1; }
  # name, ns per event, pairs per event; "error" for a case that failed.
  jq -r --arg side "$1" --arg round "$2" '.benchmarks[] |
    [$side, $round, (.name | sub("/(real_time|iterations:[0-9]+)$"; "")),
     (if .error_occurred then "error" else (.["ns/ev"] // "none") end),
     (.pairs // "none")] | @tsv' "$runs/$1-$2.json" >>"$runs/all.tsv"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for ((r = 1; r <= rounds; r++)); do
  if ((r % 2 == 1)); then
    run base $r
    run work $r
  else
    run work $r
    run base $r
  fi
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

dirty=""
[ -z "$(git status --porcelain --untracked-files=normal)" ] || dirty=" with uncommitted changes"
{
  echo "## fsm_bench: work tree against $short"
  echo
  echo "- base (old): $(git log -1 --format='%h %s' "$sha")"
  echo "- work (new): $(git log -1 --format='%h %s' HEAD)$dirty"
  echo "- $(uname -n), $(nproc) CPUs, $(date -u '+%Y-%m-%d %H:%M UTC'); load average before $load_before, after $load_after"
  echo "- both: $compiler, Release, $( [ -n "${CXXFLAGS:-}" ] && echo "CXXFLAGS '$CXXFLAGS', ")fsm_bench --benchmark_min_time=$min_time, $rounds runs each, alternated"
  echo
  awk -F'\t' -v rounds="$rounds" '
    function median(s, n,   a, i, j, t) {
      n = split(s, a, " ")
      for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
      return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    function lo(s,   a, n, i, m) { n = split(s, a, " "); m = a[1]; for (i = 2; i <= n; i++) if (a[i] + 0 < m + 0) m = a[i]; return m }
    function hi(s,   a, n, i, m) { n = split(s, a, " "); m = a[1]; for (i = 2; i <= n; i++) if (a[i] + 0 > m + 0) m = a[i]; return m }
    function fig(v) { return v >= 100 ? sprintf("%.0f", v) : sprintf("%.3g", v) }
    function figs(s) { return s == "" ? "-" : fig(median(s)) }
    {
      side = $1; r = $2; name = $3
      if (!(name in seen)) { seen[name] = 1; order[++count] = name }
      has[side, name] = 1
      if ($4 == "error" || $4 == "none") { bad[side, name] = $4; next }
      ns[side, name, r] = $4
      if ($5 != "none") pairs[side, name] = pairs[side, name] " " $5
    }
    END {
      print "| case | old ns/event | new ns/event | new/old, median | new/old, min-max | old pairs | new pairs |"
      print "|---|---:|---:|---:|---:|---:|---:|"
      for (k = 1; k <= count; k++) {
        name = order[k]
        if (!has["base", name] || !has["work", name]) { only[++nonly] = name " (" (has["base", name] ? "old" : "new") " only)"; continue }
        if (bad["base", name] != "" || bad["work", name] != "") {
          print "| " name " | " (bad["base", name] != "" ? bad["base", name] : "") " | " (bad["work", name] != "" ? bad["work", name] : "") " | | | | |"
          continue
        }
        o = ""; w = ""; q = ""
        for (r = 1; r <= rounds; r++) {
          if (!((("base", name, r) in ns) && (("work", name, r) in ns))) continue
          o = o " " ns["base", name, r]; w = w " " ns["work", name, r]
          q = q " " ns["work", name, r] / ns["base", name, r]
        }
        printf "| %s | %s | %s | %.3f | %.3f-%.3f | %s | %s |\n", name,
          fig(median(o)), fig(median(w)), median(q), lo(q), hi(q),
          figs(pairs["base", name]), figs(pairs["work", name])
      }
      if (nonly > 0) {
        printf "\nNot compared:"
        for (k = 1; k <= nonly; k++) printf " %s%s", only[k], k < nonly ? ";" : "\n"
      }
    }' "$runs/all.tsv"
  echo
  echo "ns/event: the case's own figure (best chunk for dispatch, CPU time of every thread"
  echo "for the pipeline); new/old per round from the two runs made next to each other;"
  echo "pairs: ns/event over the mutex pair measured in the same run (medians)."
} | tee "$out/last.md"
