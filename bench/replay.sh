#!/usr/bin/env bash
# Whole-process replay: the simulator feeds a capture as fast as the daemon
# reads it, with all four local outputs on and the root on tmpfs; prints the
# daemon's sentences per second and CPU time per sentence.
# Usage: bench/replay.sh [capture.nmea]   (build directory: $GNSSD_BUILD, default build)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${GNSSD_BUILD:-$repo/build}
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
cleanup() {
  [ -n "$daemon_pid" ] && kill -TERM "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT INT TERM

"$build/gnssd-sim" --root "$root" --family gpsstart --outputs --capture "$capture" --fast \
  --set MOD_GPS_EP1_ENABLED=1 --set MOD_GPS_EP2_ENABLED=1 --set MOD_GPS_USBP_ENABLED=1 \
  --set MOD_GPS_PTY_ENABLED=1 >"$root/sim.log" 2>&1 &
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
