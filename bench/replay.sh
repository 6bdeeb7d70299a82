#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Whole-process replay: the simulator feeds a capture as fast as the daemon
# reads it, with all four local outputs on and the root on tmpfs; prints the
# daemon's sentences per second and CPU time per sentence. With --remote the
# four remote streams (TCP, to servers of the simulator) and the gpsd feed
# are on as well.
# Usage: bench/replay.sh [--remote] [capture.nmea]   (build directory: $GNSSD_BUILD, default build)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${GNSSD_BUILD:-$repo/build}
remote=0
if [ "${1:-}" = "--remote" ]; then
  remote=1
  shift
fi
capture=${1:-}
if [ -z "$capture" ]; then
  for c in "$repo/tests/data/big.nmea" "$repo/../shared/nmea/big.nmea"; do
    [ -f "$c" ] && { capture=$c; break; }
  done
fi
if [ -z "$capture" ]; then
  # Rebuilt byte for byte from the captures in tests/data.
  capture=${TMPDIR:-/tmp}/gnssd-big.nmea
  python3 "$repo/bench/make_big.py" "$capture"
fi
[ -f "$capture" ] || { echo "usage: $0 [capture.nmea]" >&2; exit 2; }
capture=$(cd "$(dirname "$capture")" && pwd)/$(basename "$capture")

if [ ! -x "$build/gnssd" ] || [ ! -x "$build/gnssd-sim" ]; then
  [ -f "$build/CMakeCache.txt" ] || cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGNSSD_TESTS=OFF >/dev/null
  cmake --build "$build" --target gnssd gnssd-sim -j2 >/dev/null
fi

shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || shm=/tmp
root=$(mktemp -d "$shm/gnssd-replay.XXXXXX")
sim_pid=""
daemon_pid=""
srv_pid=""
cleanup() {
  [ -n "$daemon_pid" ] && kill -TERM "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  [ -n "$srv_pid" ] && kill -TERM "$srv_pid" 2>/dev/null && wait "$srv_pid" 2>/dev/null || true
  [ -n "${GNSSD_REPLAY_KEEP:-}" ] || rm -rf "$root"
}
trap cleanup EXIT INT TERM

remote_set=()
if [ "$remote" = 1 ]; then
  mkdir -p "$root/srv"
  "$build/gnssd-sim" server --dir "$root/srv" tcp:r1 tcp:r2 tcp:r3 tcp:r4 udp:feed >"$root/srv.log" 2>&1 &
  srv_pid=$!
  for name in r1 r2 r3 r4 feed; do
    for _ in $(seq 100); do [ -s "$root/srv/$name.port" ] && break; sleep 0.1; done
  done
  for i in 1 2 3 4; do
    remote_set+=(--set "MOD_GPS_RSOCK${i}_ENABLED=1" --set "MOD_GPS_RSOCK${i}_IPADDR=127.0.0.1"
                 --set "MOD_GPS_RSOCK${i}_PROTOCOL=0" --set "MOD_GPS_RSOCK${i}_PORT=$(cat "$root/srv/r$i.port")"
                 --set "MOD_GPS_RSOCK${i}_PERIOD=1" --set "MOD_GPS_RSOCK${i}_PERIOD_HALT=1")
  done
  remote_set+=(--set MOD_GPS_GPSD_ENABLED=1 --set "MOD_GPS_GPSD_PORT_INNER=$(cat "$root/srv/feed.port")")
fi

"$build/gnssd-sim" --root "$root" --family gpsstart --outputs --capture "$capture" --fast \
  --set MOD_GPS_EP1_ENABLED=1 --set MOD_GPS_EP2_ENABLED=1 --set MOD_GPS_USBP_ENABLED=1 \
  --set MOD_GPS_PTY_ENABLED=1 ${remote_set[@]+"${remote_set[@]}"} >"$root/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$root/sim/ready" ] && break; sleep 0.1; done

GNSSD_ROOT="$root" "$build/gnssd" 2>"$root/gnssd.log" &
daemon_pid=$!

now() { date +%s.%N; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$daemon_pid/stat"; }

# The main loop starts reading at "running..."; the module's start before it
# (a fixed settle delay) is not part of the measurement.
for _ in $(seq 600); do grep -q 'running\.\.\.' "$root/gnssd.log" && break; sleep 0.02; done
t0=$(now)
ticks0=$(cpu_ticks)

# Done when the capture has been queued whole and the daemon has then been
# silent for its 2-second read timeout.
for _ in $(seq 6000); do
  grep -q 'capture end' "$root/sim/events.log" 2>/dev/null && grep -q 'select timeout' "$root/gnssd.log" && break
  sleep 0.05
done
ticks1=$(cpu_ticks)
# The last sentence reached ttyS0 when the simulator last appended to it.
t1=$(stat -c %.9Y "$root/sim/out-ttyS0")

sentences=$(grep -c '' "$capture")
on_ttyS0=$(grep -c '' "$root/sim/out-ttyS0" || true)
hz=$(getconf CLK_TCK)
awk -v n="$sentences" -v out="$on_ttyS0" -v t0="$t0" -v t1="$t1" -v c0="$ticks0" -v c1="$ticks1" -v hz="$hz" \
    -v file="$(basename "$capture")" 'BEGIN {
  wall = t1 - t0; cpu = (c1 - c0) / hz;
  printf "capture            : %s, %d sentences\n", file, n;
  printf "wall time          : %.3f s\n", wall;
  printf "sentences per second: %.0f\n", n / wall;
  printf "daemon CPU time    : %.3f s, %.2f us per sentence\n", cpu, cpu * 1e6 / n;
  printf "sentences on ttyS0 : %d (after the repeated-GGA filter of this module family)\n", out;
}'
grep -E 'err|warning' "$root/gnssd.log" | sort | uniq -c | sort -rn | head -5 || true
echo "peak RSS           : $(awk '/VmHWM/ { print $2, $3 }' "/proc/$daemon_pid/status")"
