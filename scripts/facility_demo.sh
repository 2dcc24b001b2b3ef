#!/usr/bin/env bash
# The facility demo: a broker (Debian's mosquitto on a free loopback port)
# and four server processes as if on four hosts: two device servers and
# two ovens, each oven bound to its devices by name only (no peer lines).
# It drives the first oven through pump-down and heating, whose guards and
# data items read the other server's values, puts a fault on the second
# oven's heater, shows the fleet view's JSON, and takes a screenshot of the
# fleet page (build/facility/fleet.png; docs/fleet.png is one).
#   scripts/facility_demo.sh [--keep]   --keep leaves everything running
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo

keep=false
[ "${1:-}" = "--keep" ] && keep=true
top=$PWD
run=$top/build/facility
bin=$top/build/plain

echo "=== building the servers and norix_client (build/plain)"
cmake -S . -B build/plain -G Ninja >/dev/null
cmake --build build/plain -j "$(nproc)" --target oven_server sim_devices norix_client
client=$bin/norix_client

rm -rf "$run"
mkdir -p "$run"
cp examples/demo/oven_settings.sr "$run/"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null || true
  done
}
$keep || trap cleanup EXIT

# A loopback port nobody listens on.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start NAME TEXT COMMAND...: runs it in the run folder, waits for TEXT in
# its output (10 s).
start() {
  local name=$1 text=$2
  shift 2
  (cd "$run" && exec "$@" >"$run/$name.out" 2>&1) &
  pids+=("$!")
  for _ in $(seq 100); do
    if grep -q "$text" "$run/$name.out" 2>/dev/null; then
      echo "  started $name: $(grep -m1 "$text" "$run/$name.out" | cut -d' ' -f3-)"
      return
    fi
    sleep 0.1
  done
  echo "$name did not start:"
  cat "$run/$name.out"
  exit 1
}

# The endpoint a server listens on, from its output.
endpoint() { grep -o 'listening on tcp:[0-9.:]*' "$run/$1.out" | head -1 | cut -d' ' -f3; }

await() {
  local where=$1 address=$2 text=$3 value=""
  for _ in $(seq 150); do
    value=$("$client" -s "$where" get "$address" 2>&1 || true)
    if [[ $value == *"$text"* ]]; then
      echo "  $address -> $value"
      return
    fi
    sleep 0.1
  done
  echo "  $address never showed '$text'; last: $value"
  exit 1
}

port=$(free_port)
cat >"$run/broker.conf" <<EOF
listener $port 127.0.0.1
allow_anonymous true
persistence false
EOF
broker="mqtt mqtt://127.0.0.1:$port\nmqtt_keepalive 5"  # for sed: \n a new line

# device_conf DEVICE, oven_conf DEVICE OVEN: a server's configuration; the
# oven's data items name the devices' server, and nothing says where it is.
device_conf() {
  sed -e "s/^server DEMO.DEV SIM/server DEMO.DEV $1/" \
    -e "s|^listen .*|listen tcp:127.0.0.1:0\n$broker|" examples/demo/devices.conf
}
oven_conf() {
  sed -e "s/^server DEMO.FSM OVEN.SERVER/server DEMO.FSM $2/" -e '/^peer /d' \
    -e "s|^listen .*|listen tcp:127.0.0.1:0\nhttp 127.0.0.1:0\n$broker|" \
    -e "s|DEMO.DEV/SIM/|DEMO.DEV/$1/|" examples/demo/oven.conf
}
device_conf SIM >"$run/devices.conf"
device_conf SIM2 >"$run/devices2.conf"
oven_conf SIM OVEN.SERVER >"$run/oven.conf"
oven_conf SIM2 OVEN2.SERVER >"$run/oven2.conf"

echo
echo "=== 1. a broker and four servers that know each other only by name"
start broker running mosquitto -v -c broker.conf
start devices "norix server" "$bin/examples/sim_devices" devices.conf
start devices2 "norix server" "$bin/examples/sim_devices" devices2.conf
start oven "norix server" "$bin/examples/oven_server" oven.conf
start oven2 "norix server" "$bin/examples/oven_server" oven2.conf
grep -H '^peer' "$run"/*.conf || echo "  (no peer line in any configuration)"
oven=$(endpoint oven)
panel=$(grep -o 'web panel listening on http://[0-9.:]*/' "$run/oven.out" | cut -d' ' -f5)

echo
echo "=== 2. the oven pumps down: the pump and its pressure are on DEMO.DEV/SIM,"
echo "       found through the broker's presence records"
"$client" -s "$oven" set DEMO.FSM/OVEN.SERVER/OVEN/EVENT 'pump:*'
await "$oven" DEMO.FSM/OVEN.SERVER/OVEN/FLOW_1 "vacuum :"
echo "=== 3. and heats: the guard reads the door and the vacuum, the heater is remote"
"$client" -s "$oven" set DEMO.FSM/OVEN.SERVER/OVEN/EVENT 'start:*'
await "$oven" DEMO.FSM/OVEN.SERVER/OVEN/FLOW_0 "heating :"
await "$oven" DEMO.FSM/OVEN.SERVER/OVEN/PHASE "holding"
echo "  the heater, read on its own server:"
"$client" -s "$(endpoint devices)" get DEMO.DEV/SIM/HEATER/TEMP | sed 's/^/      /'

echo
echo "=== 4. a broken heater sensor on DEMO.DEV/SIM2 shows as OVEN2's FAULT"
"$client" -s "$(endpoint devices2)" set DEMO.DEV/SIM2/HEATER/FAULTY 1
await "$(endpoint oven2)" DEMO.FSM/OVEN2.SERVER/OVEN/FAULT "heater sensor broken"

echo
echo "=== 5. the fleet view (${panel}fleet), as its JSON:"
sleep 0.3
curl -s "${panel}api/fleet" | jq -r '.servers[] | "  \(.server): \(if .online then "online" else "offline" end)" +
  ([.machines[] | "\n      \(.location): \([.state.active[].path] | join(", "))" +
    (if .state.fault != "" then "  FAULT: \(.state.fault)" else "" end)] | join(""))'
scripts/screenshot.sh "${panel}fleet" "$run/fleet.png" 1280 \
  '[data-server="DEMO.FSM/OVEN2.SERVER"] .fault:not([hidden])'
echo "  wrote $run/fleet.png"

if $keep; then
  echo
  echo "=== still running (pids ${pids[*]}); the fleet view: ${panel}fleet"
  exit 0
fi
echo
echo "=== 6. the second devices server dies: the broker's last will marks it offline"
kill -KILL "${pids[2]}"
for _ in $(seq 120); do
  state=$(curl -s "${panel}api/fleet" | jq -r '.servers[] | select(.server=="DEMO.DEV/SIM2") | .online')
  [ "$state" = false ] && break
  sleep 0.1
done
echo "  DEMO.DEV/SIM2 online: $state"
