#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing,
# (libsystemd and prometheus-cpp for running as a service; Python's
# prometheus_client and systemd-analyze for their tests),
# and the browser test's npm packages (tests/browser, from its lock file).
# "scripts/deps.sh fuzz" also installs clang and its sanitizer and libFuzzer
# runtimes for scripts/fuzz.sh.
set -euo pipefail
want=(cmake ninja-build g++ git clang-format libgtest-dev libgmock-dev libbenchmark-dev graphviz jq
  pkg-config libcpp-httplib-dev libgraphviz-dev chromium nodejs
  libsystemd-dev prometheus-cpp-dev python3-prometheus-client systemd)
if [ "${1:-}" = fuzz ]; then
  want+=(clang libclang-rt-14-dev)
fi
need=()
for pkg in "${want[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${need[@]}"
fi
# Debian's nodejs comes without npm; other builds of it bring their own.
if ! command -v npm >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q npm
fi
browser=$(dirname "$0")/../tests/browser
if [ ! -d "$browser/node_modules" ] || [ "$browser/package-lock.json" -nt "$browser/node_modules" ]; then
  (cd "$browser" && npm ci --no-audit --no-fund)
fi
