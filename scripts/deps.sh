#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
# "scripts/deps.sh fuzz" also installs clang and its sanitizer and libFuzzer
# runtimes for scripts/fuzz.sh.
set -euo pipefail
want=(cmake ninja-build g++ git clang-format libgtest-dev libgmock-dev libbenchmark-dev graphviz jq)
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
