#!/usr/bin/env bash
# The service unit of packaging/ passes systemd-analyze verify, as an
# instance. Skipped (status 77) where systemd-analyze is missing.
set -euo pipefail
unit=$1
if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is missing: the unit is not verified"
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$unit" "$dir/norix-fsm@check.service"
out=$(systemd-analyze verify --man=no "$dir/norix-fsm@check.service" 2>&1) || {
  echo "$out"
  exit 1
}
# verify reports some mistakes without failing; any line is one.
if [ -n "$out" ]; then
  echo "$out"
  exit 1
fi
echo "norix-fsm@.service verified"
