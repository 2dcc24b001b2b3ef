#!/usr/bin/env bash
# The main job: builds the libraries and the client, installs them with the
# norix_fsm CMake package, builds the oven example against that package,
# starts the simulated devices and the oven server with its web panel,
# drives a scripted session with norix_client, takes a screenshot of the
# panel with headless Chromium while the oven heats (build/demo/run/
# panel.png), stops both servers, restarts the oven server to show a flow
# resuming from history, stops it again and says what it saw. Everything it
# makes goes to build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo

top=$PWD
demo=$top/build/demo
jobs=$(nproc)

echo "=== building the libraries, the test kit and norix_client (build/plain)"
cmake -S . -B build/plain -G Ninja >/dev/null
cmake --build build/plain -j "$jobs" --target fsm norix norix_host testkit norix_client norix_journal
echo "=== installing them into build/demo/install"
cmake --install build/plain --prefix "$demo/install" >/dev/null
echo "=== building the example against the installed package (find_package(norix_fsm))"
cmake -S examples -B "$demo/examples" -G Ninja -DCMAKE_PREFIX_PATH="$demo/install" >/dev/null
cmake --build "$demo/examples" -j "$jobs"
echo "=== the oven's own test (examples/oven_test.cc, on the installed test kit)"
ctest --test-dir "$demo/examples" --output-on-failure | tail -3

run=$demo/run
rm -rf "$run"
mkdir -p "$run"
cp examples/demo/oven.conf examples/demo/devices.conf examples/demo/oven_settings.sr "$run/"
# The web panel on a free loopback port.
sed -i 's/^location OVEN /http 127.0.0.1:0\nlocation OVEN /' "$run/oven.conf"
# The journal: what the machines and their clients did, kept across restarts.
sed -i 's/^location OVEN /journal oven.journal\nlocation OVEN /' "$run/oven.conf"
client=$demo/install/bin/norix_client
FSM=DEMO.FSM/OVEN.SERVER
DEV=DEMO.DEV/SIM

pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT

# start NAME PROGRAM CONFIG: starts a server in the run directory and waits
# (at most 10 s) until it listens; its pid goes to the variable NAME.
start() {
  local name=$1 program=$2 conf=$3
  (cd "$run" && exec "$demo/examples/$program" "$conf" >"$run/$name.out" 2>&1) &
  local pid=$!
  pids+=("$pid")
  printf -v "$name" '%s' "$pid"
  for _ in $(seq 100); do
    grep -q "listening on" "$run/$name.out" 2>/dev/null && {
      echo "  started: $(head -1 "$run/$name.out")"
      return
    }
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "$program did not start:"
  cat "$run/$name.out"
  exit 1
}

# stop PID: SIGTERM, and wait (at most 10 s) until it has saved and ended.
stop() {
  local pid=$1
  kill -TERM "$pid"
  for _ in $(seq 100); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      return
    fi
    sleep 0.1
  done
  echo "server $pid did not stop within 10 s"
  exit 1
}

fsm() { "$client" -s "unix:$run/fsm.sock" "$@"; }
dev() { "$client" -s "unix:$run/dev.sock" "$@"; }

# show fsm|dev get ADDRESS: prints the command and what it answered.
show() {
  local where=$1
  shift
  echo "  \$ norix_client $* ($where)"
  "$where" "$@" 2>&1 | sed 's/^/      /' || true
}

# event LOCATION TEXT: writes an event text to a location's EVENT.
event() {
  echo "  \$ norix_client set $FSM/$1/EVENT $2"
  fsm set "$FSM/$1/EVENT" "$2"
}

# await fsm|dev ADDRESS TEXT: reads the address until it shows TEXT (at most
# 15 s), then prints it.
await() {
  local where=$1 address=$2 text=$3 value=""
  for _ in $(seq 150); do
    value=$("$where" get "$address" 2>&1 || true)
    if [[ $value == *"$text"* ]]; then
      echo "  $address -> $value"
      return
    fi
    sleep 0.1
  done
  echo "  $address never showed '$text'; last: $value"
  exit 1
}

echo
echo "=== 1. both servers start"
start devices sim_devices devices.conf
start oven oven_server oven.conf
show fsm names "$FSM/*"
show fsm get "$FSM/OVEN/FLOW_0"
show fsm get "$FSM/OVEN/FLOW_1"
show fsm get "$FSM/OVEN/FLOW_2"
show fsm get "$FSM/OVEN/FLOW_3"
show fsm get "$FSM/DOOR/FLOW_0"
show fsm get "$FSM/MONITOR/FLOW_0"

echo
echo "=== 2. pump down: the pumping state's enter action runs the pump through a"
echo "       data item; a guarded transition fires once the mirrored pressure is low"
event OVEN pump:*
await fsm "$FSM/OVEN/FLOW_1" "vacuum :"
show dev get "$DEV/PUMP/PRESSURE"

echo
echo "=== 3. heat: the start transition is guarded (vacuum, door closed), signals"
echo "       'lock' to the door, counts a cycle; the nested superstate heating ramps"
echo "       and holds; its enter action tells the monitor machine (send_event)"
show fsm set "$FSM/OVEN/TARGET" 80
event OVEN start:*
await fsm "$FSM/OVEN/FLOW_0" "heating :"
await fsm "$FSM/DOOR/FLOW_0" "locked :"
await fsm "$FSM/MONITOR/FLOW_0" "busy :"
await fsm "$FSM/OVEN/PHASE" "holding"
show fsm get "$FSM/OVEN/TEMPERATURE"
show fsm get "$FSM/OVEN/CYCLES"
await fsm "$FSM/OVEN/TEMP_HIST" " "
echo "  oven.data (history archive): $(head -2 "$run/oven.data" | tr '\n' ' ')"
echo "  what the machines did so far (TRACE: number, ms, -, time, flow: from -> to on event):"
show fsm get "$FSM/OVEN/TRACE"
echo "  \$ norix_client get $FSM/OVEN/GRAPH | dot -Tsvg > oven.svg"
fsm get "$FSM/OVEN/GRAPH" | dot -Tsvg >"$run/oven.svg"
fsm get "$FSM/OVEN/GRAPH" | dot -Tpng >"$run/oven.png"
echo "      wrote $run/oven.svg (and oven.png): the active states are filled"
panel=$(grep -o 'web panel listening on http://[^ ]*' "$run/oven.out" | tail -1 | cut -d' ' -f5)
echo "  the web panel at $panel, taken with headless Chromium:"
scripts/screenshot.sh "$panel" "$run/panel.png"
echo "      wrote $run/panel.png"
echo "  the active states in MODEL (JSON):"
fsm get "$FSM/OVEN/MODEL" |
  jq -r '.root | .. | objects | select(.active? == true and .name != null) | "      \(.name) since \((.entered_ms / 1000 | floor) | todate)"'

echo
echo "=== 4. emergency stop: ESTOP raises the first interrupt; heating's interrupt1"
echo "       action switches the heater off and sends estop"
show fsm set "$FSM/OVEN/ESTOP" 1
await fsm "$FSM/OVEN/FLOW_0" "idle :"
show fsm get "$FSM/OVEN/ESTOPS"
show dev get "$DEV/HEATER/POWER"
await fsm "$FSM/DOOR/FLOW_0" "closed :"

echo
echo "=== 5. a device fault: the heater's sensor breaks; FAULT shows the device's"
echo "       error, the mode flow goes to fault and the monitor raises an alarm"
show dev set "$DEV/HEATER/FAULTY" 1
await fsm "$FSM/OVEN/FAULT" "heater sensor broken"
await fsm "$FSM/OVEN/FLOW_0" "fault :"
await fsm "$FSM/MONITOR/FLOW_0" "alarm :"
show dev set "$DEV/HEATER/FAULTY" 0
event OVEN reset:*
await fsm "$FSM/OVEN/FLOW_0" "idle :"
show fsm get "$FSM/OVEN/FAULT"

echo
echo "=== 6. settings: save them to a file, watch them (compare_all on a thread),"
echo "       change one behind the oven's back, restore them from the file"
event OVEN save_settings
await fsm "$FSM/OVEN/SETTINGS" "saved to"
sed 's/^/      /' "$run/oven_settings.saved"
event OVEN watch:*
await fsm "$FSM/OVEN/FLOW_3" "watching :"
show dev set "$DEV/HEATER/SETPOINT" 20
await fsm "$FSM/OVEN/FLOW_3" "drifted :"
show fsm get "$FSM/OVEN/SETTINGS"
event OVEN restore:*
await fsm "$FSM/OVEN/SETTINGS" "restored"
await fsm "$FSM/OVEN/FLOW_3" "watching :"
show dev get "$DEV/HEATER/SETPOINT"

echo
echo "=== 7. heat again, then stop both servers (each saves its configuration)"
event OVEN start:*
await fsm "$FSM/OVEN/FLOW_0" "heating :"
stop "$oven"
stop "$devices"
echo "  saved flow lines of OVEN in oven.conf:"
grep '^FLOW_' "$run/oven.conf" | head -4 | sed 's/^/      /'

echo
echo "=== 8. restart the oven server alone: flow 0 (with history) resumes in heating,"
echo "       flow 1 (without) starts over; FAULT shows that the devices are gone"
start oven oven_server oven.conf
await fsm "$FSM/OVEN/FLOW_0" "heating :"
show fsm get "$FSM/OVEN/FLOW_1"
await fsm "$FSM/OVEN/FAULT" "server unreachable"
stop "$oven"
trap - EXIT

echo
echo "=== 9. the night's story, from the journal the oven server kept across both runs"
echo "  \$ norix_journal oven.journal      (signals left out here)"
"$demo/install/bin/norix_journal" "$run/oven.journal" | grep -v '  event  .* to .* \[signal\]$' |
  sed 's/^/      /'
[ -s "$run/oven.journal" ] || { echo "  the journal is empty"; exit 1; }

echo
echo "=== the demo saw every step; its files are in build/demo/run"
echo "    the web panel's screenshot: $run/panel.png"
