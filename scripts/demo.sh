#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Runs the daemon against the router simulator in a throw-away root under /tmp
# and shows its log and status file; Ctrl-C stops both.
# Usage: scripts/demo.sh [family]   (default gpsstart; see gnssd-sim --help)
# GNSSD_DEMO_SECONDS=N ends it after about N seconds as Ctrl-C would, and
# fails if the daemon did not last that long (how CI runs it).
# GNSSD_DEMO_MQTT=PORT also publishes to an MQTT broker on 127.0.0.1:PORT
# (mosquitto -p PORT; watch with mosquitto_sub -p PORT -t 'gnss/#' -v).
set -euo pipefail
cd "$(dirname "$0")/.."
family=${1:-gpsstart}
build=${GNSSD_BUILD:-build}
seconds=${GNSSD_DEMO_SECONDS:-}
mqtt_port=${GNSSD_DEMO_MQTT:-}
mqtt_args=()
if [ -n "$mqtt_port" ]; then
  command -v mosquitto >/dev/null 2>&1 || echo "note: mosquitto is not installed (scripts/install-deps.sh)" >&2
  mqtt_args=(--set MOD_GPS_MQTT_ENABLED=1 --set MOD_GPS_MQTT_HOST=127.0.0.1 --set MOD_GPS_MQTT_PORT="$mqtt_port"
    --set MOD_GPS_MQTT_PERIOD=1 --set MOD_GPS_MQTT_PERIOD_HALT=5 --set MOD_GPS_ROUTER_ID_STRING=demo)
fi

# The first run installs, configures and builds; each step says so, and the
# build shows its progress (a line per file, about a minute on two cores).
if ! command -v cmake >/dev/null 2>&1 || ! command -v g++ >/dev/null 2>&1; then
  echo "demo: installing the build tools (scripts/install-deps.sh) ..."
  scripts/install-deps.sh
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "demo: configuring $build ..."
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGNSSD_TESTS=OFF
fi
echo "demo: building gnssd and gnssd-sim in $build ..."
# (compiler errors go to standard error, past the filter; pipefail keeps
# the build's status)
cmake --build "$build" --target gnssd gnssd-sim ${mqtt_port:+gnssd-fleet} -j2 | awk '/^\[ *[0-9]+%\] (Building|Linking)/ { print; fflush() }'

root=$(mktemp -d /tmp/gnssd-demo.XXXXXX)
# The logs exist before the programs that write them start: a backgrounded
# program opens its redirection only once it runs, maybe after this script
# has already looked at the file.
: >"$root/srv.log"
: >"$root/sim.log"
: >"$root/gnssd.log"
sim_pid=""
daemon_pid=""
srv_pid=""

# Ctrl-C is the normal end of the demo (status 0); any other end keeps the
# status it had, so that a failed start (say an unknown family) is seen.
stop_all() {
  local status=$1
  trap - INT TERM EXIT
  echo
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
    echo "stopping gnssd ..."
    kill -TERM "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
    tail -n 4 "$root/gnssd.log"
  fi
  if [ -n "$srv_pid" ] && kill -0 "$srv_pid" 2>/dev/null; then
    kill -TERM "$srv_pid" 2>/dev/null || true
    wait "$srv_pid" 2>/dev/null || true
  fi
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    echo "stopping gnssd-sim ..."
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$root"
  exit "$status"
}
trap 'stop_all 0' INT TERM
trap 'stop_all $?' EXIT

# A loopback fleet server that records the remote stream (RSOCK1, TCP).
mkdir -p "$root/srv"
setsid "$build/gnssd-sim" server --dir "$root/srv" tcp:fleet >>"$root/srv.log" 2>&1 </dev/null &
srv_pid=$!
for _ in $(seq 100); do [ -s "$root/srv/fleet.port" ] && break; sleep 0.1; done
fleet_port=$(cat "$root/srv/fleet.port" 2>/dev/null || echo 0)

# Both run in sessions of their own so that Ctrl-C reaches only this script,
# which then stops the daemon first (as the router's start-up scripts would)
# and the simulated module after it.
setsid "$build/gnssd-sim" --root "$root" --family "$family" --outputs \
  --set MOD_GPS_ENABLED=1 --set MOD_GPS_PTY_ENABLED=1 --set MOD_GPS_EP1_ENABLED=1 \
  --set MOD_GPS_RSOCK1_ENABLED=1 --set MOD_GPS_RSOCK1_IPADDR=127.0.0.1 --set MOD_GPS_RSOCK1_PROTOCOL=0 \
  --set MOD_GPS_RSOCK1_PORT="$fleet_port" --set MOD_GPS_RSOCK1_PERIOD=2 --set MOD_GPS_RSOCK1_PERIOD_HALT=5 \
  "${mqtt_args[@]}" >>"$root/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [ -e "$root/sim/ready" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$root/sim.log"; exit 1; }
  sleep 0.1
done

# The router's own tools (stand-ins laid out by the simulator) come first.
PATH="$root/bin:$PATH" GNSSD_ROOT="$root" setsid "$build/gnssd" >>"$root/gnssd.log" 2>&1 &
daemon_pid=$!
SECONDS=0

while kill -0 "$daemon_pid" 2>/dev/null; do
  [ -t 1 ] && printf '\033[H\033[2J'
  echo "gnssd against a simulated '$family' module (root $root) - Ctrl-C stops both"
  echo
  echo "--- log (last lines of $root/gnssd.log) ---"
  tail -n 12 "$root/gnssd.log"
  echo
  echo "--- status file $root/run/stats.gps ---"
  cat "$root/run/stats.gps" 2>/dev/null || echo "(not written yet: the module is being started)"
  echo
  echo "--- remote stream: TCP server 127.0.0.1:$fleet_port (PERIOD 2, PERIOD_HALT 5: a burst every 1 s moving, 4 s halted) ---"
  echo "$(stat -c %s "$root/srv/fleet.data" 2>/dev/null || echo 0) bytes received; last burst:"
  tail -n 3 "$root/srv/fleet.data" 2>/dev/null | cut -c1-76 || true
  echo
  echo "In another terminal:  cat $root/dev/nmea         (the pseudo-terminal)"
  echo "                      tail -f $root/sim/out-ttyS0  (what reached the serial output ttyS0)"
  sleep 1
  if [ -n "$seconds" ] && [ "$SECONDS" -ge "$seconds" ]; then
    stop_all 0
  fi
done
echo "gnssd has ended:"
tail -n 5 "$root/gnssd.log"
[ -z "$seconds" ]
