#!/usr/bin/env bash
# Installs the Debian packages (without recommended extras) that one job
# needs, if missing:
#   scripts/deps.sh build   the libraries (with libsystemd and prometheus-cpp
#                           for running as a service, libmosquitto for the
#                           broker link, nlohmann-json for its records,
#                           libssl-dev for TLS between servers), the
#                           client, the examples and the unit tests (GoogleTest; a default
#                           configure builds them)
#   scripts/deps.sh test    build, plus Google Benchmark (the benchmarks are
#                           compiled), Graphviz's dot, clang-format, Python's
#                           prometheus_client and systemd-analyze, and
#                           the mosquitto broker and openssl (the broker
#                           tests' own broker, and the test CA of the broker
#                           and TLS tests), and
#                           Chromium and Node with the browser test's npm
#                           packages (tests/browser, from its lock file). The
#                           default.
#   scripts/deps.sh demo    build, plus dot, jq, curl, mosquitto (the facility
#                           demo's broker) and Chromium (the screenshots)
#                           with its npm packages
#   scripts/deps.sh screenshot  Chromium, Node and the npm packages that
#                           scripts/screenshot.sh drives them with (only)
#   scripts/deps.sh bench   build, plus Google Benchmark and jq (bench/compare.sh
#                           reads the runs' JSON with it), mosquitto and
#                           Python (the broker cases, bench/fleet_scale.sh),
#                           and openssl (the TLS case's test CA)
#   scripts/deps.sh fuzz    build, plus clang and its sanitizer and libFuzzer
#                           runtimes
set -euo pipefail
job=${1:-test}
want=(cmake ninja-build g++ git pkg-config libcpp-httplib-dev libgraphviz-dev libgtest-dev
  libgmock-dev libsystemd-dev prometheus-cpp-dev
  libsqlite3-dev libmosquitto-dev nlohmann-json3-dev libssl-dev)
browser=false
case "$job" in
  build) ;;
  screenshot)
    want=(chromium nodejs)
    browser=true
    ;;
  test)
    want+=(clang-format libbenchmark-dev graphviz chromium nodejs python3-prometheus-client systemd
      sqlite3 mosquitto mosquitto-clients openssl)
    browser=true
    ;;
  demo)
    want+=(graphviz jq curl chromium nodejs mosquitto)
    browser=true
    ;;
  bench) want+=(libbenchmark-dev jq mosquitto python3 openssl) ;;
  fuzz) want+=(clang libclang-rt-14-dev) ;;
  *)
    echo "usage: $0 [build|test|demo|screenshot|bench|fuzz]" >&2
    exit 2
    ;;
esac
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@"
}
need=()
for pkg in "${want[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  $sudo apt-get update -q
  install "${need[@]}"
fi
if [ "$browser" = true ]; then
  # Debian's nodejs comes without npm; other builds of it bring their own.
  command -v npm >/dev/null || install npm
  dir=$(dirname "$0")/../tests/browser
  if [ ! -d "$dir/node_modules" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules" ]; then
    (cd "$dir" && npm ci --no-audit --no-fund)
  fi
fi
