#!/usr/bin/env bash
# Runs the oven example's servers (simulated devices and the oven server)
# with the oven server's web panel on, until Ctrl-C. Builds them in
# build/plain, runs them in build/panel with the example's configuration,
# and prints the panel's address. "scripts/panel.sh PORT" picks the port
# (8080 by default); the panel serves loopback only.
set -euo pipefail
cd "$(dirname "$0")/.."
port=${1:-8080}
scripts/deps.sh build
cmake -S . -B build/plain -G Ninja >/dev/null
cmake --build build/plain -j "$(nproc)" --target oven_server sim_devices
run=$PWD/build/panel
rm -rf "$run"
mkdir -p "$run"
cp examples/demo/oven.conf examples/demo/devices.conf examples/demo/oven_settings.sr "$run/"
sed -i "s/^location OVEN /http 127.0.0.1:$port\nlocation OVEN /" "$run/oven.conf"
(cd "$run" && exec ../plain/examples/sim_devices devices.conf) &
devices=$!
(cd "$run" && exec ../plain/examples/oven_server oven.conf) &
oven=$!
trap 'kill -TERM $oven $devices 2>/dev/null || true; wait' INT TERM EXIT
echo "web panel: http://127.0.0.1:$port/ (Ctrl-C stops both servers; files in build/panel)"
wait
