#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the whole project with sanitizers and runs the test suite.
# Usage: scripts/ci-sanitize.sh SANITIZERS [ctest arguments...]
#   address,undefined  every test, then the leak check below
#   thread             the threaded parts only (see THREADED below)
#
# Every report of a sanitizer, from the test programs and from each daemon or
# simulator they start, is written to a file under build-san-<name>/reports
# (log_path), so a report in a child process whose exit status no test looks
# at still fails this script. Each end-to-end test stops the daemon with
# SIGTERM under the simulator; LeakSanitizer then checks the whole heap at
# exit, which is the leak check of a full start/stop.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitizers=${1:?usage: $0 address,undefined|thread}
shift
name=${sanitizers//,/-}
build=build-san-$name
jobs=$(nproc); [ "$jobs" -gt 2 ] && jobs=2
# g++ is the project's main compiler; CXX=clang++ works as well.
cxx=${CXX:-g++}
cc=${CC:-gcc}
[ "$cxx" = clang++ ] && cc=clang

# g++ 12's flow analysis sees the sanitizers' instrumentation and then warns
# of "maybe uninitialized" values in the C++ library itself (std::regex,
# std::function); those stay warnings here instead of failing the build.
extra_flags=""
[ "$cxx" = g++ ] && extra_flags="-Wno-error=maybe-uninitialized"

scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_CXX_FLAGS="$extra_flags" -DGNSSD_SANITIZE="$sanitizers" -DGNSSD_WERROR=ON >/dev/null

reports=$PWD/$build/reports
rm -rf "$reports"
mkdir -p "$reports"
supp=$PWD/tests/tsan.supp
common="log_path=$reports/report:print_stacktrace=1"
export ASAN_OPTIONS="$common:detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="$common"
export UBSAN_OPTIONS="$common:halt_on_error=1"
export TSAN_OPTIONS="$common:halt_on_error=0:second_deadlock_stack=1:suppressions=$supp"

# The threaded parts: the remote socket workers, the control shell and the
# SNMP trap worker live in outputs/ (test_outputs), and every end-to-end test
# (test_e2e) runs the daemon with all its threads. These two programs are
# built; ctest then runs every test of theirs and skips the placeholders of
# the programs not built (NOT_BUILT). GNSSD_TSAN_TESTS=<regex> narrows it.
if [ "$sanitizers" = thread ]; then
  targets=(gnssd)
  grep -q 'add_executable(gnssd-sim' CMakeLists.txt && [ -n "$(ls sim/*.cpp 2>/dev/null)" ] && targets+=(gnssd-sim)
  for t in test_outputs test_e2e; do
    ls tests/${t#test_}/*.cpp >/dev/null 2>&1 && targets+=("$t")
  done
  cmake --build "$build" -j"$jobs" --target "${targets[@]}"
  filter=(-E NOT_BUILT)
  [ -n "${GNSSD_TSAN_TESTS:-}" ] && filter+=(-R "$GNSSD_TSAN_TESTS")
else
  cmake --build "$build" -j"$jobs"
  filter=()
fi

status=0
ctest --test-dir "$build" -j"${GNSSD_CTEST_JOBS:-$jobs}" --output-on-failure "${filter[@]}" "$@" || status=$?

# The leak check of a full start and stop, on its own as well: the daemon
# runs under the simulator with every output, thread and tool in use, then
# stops on SIGTERM; LeakSanitizer checks its whole heap at exit.
leak_check() {
  local root pid sim_pid rc=0
  root=$(mktemp -d /tmp/gnssd-leak-XXXXXX)
  "$build/gnssd-sim" --root "$root" --family gpsstart --outputs \
    --set MOD_GPS_ENABLED=1 --set MOD_GPS_DATE_FIX_ENABLED=1 --set MOD_GPS_EP1_ENABLED=1 \
    --set MOD_GPS_PTY_ENABLED=1 --set MOD_GPS_SRI_ENABLED=1 --set MOD_GPS_ROUTER_ID_STRING=leak \
    --set MOD_GPS_RSOCK1_ENABLED=1 --set MOD_GPS_RSOCK1_IPADDR=127.0.0.1 --set MOD_GPS_RSOCK1_PROTOCOL=1 \
    --set MOD_GPS_RSOCK1_PORT=9 --set MOD_GPS_RSOCK1_PERIOD=1 --set MOD_GPS_RSOCK1_PERIOD_HALT=1 \
    --set MOD_GPS_RSOCK2_ENABLED=1 --set MOD_GPS_RSOCK2_IPADDR=127.0.0.1 --set MOD_GPS_RSOCK2_PROTOCOL=0 \
    --set MOD_GPS_RSOCK2_PORT=9 --set MOD_GPS_RSOCK2_PERIOD=1 --set MOD_GPS_RSOCK2_PERIOD_HALT=1 \
    --set MOD_GPS_SNMP_REPORT_ENABLED=1 --set MOD_GPS_SNMP_REPORT_IPADDR=127.0.0.1 \
    --set MOD_GPS_SNMP_REPORT_PERIOD=1 --set MOD_GPS_SNMP_REPORT_PERIOD_HALT=1 \
    --set MOD_GPS_TIMESYNC_ENABLED=1 --set MOD_GPS_TIMESYNC_PERIOD=1 \
    --set MOD_GPS_GPSD_ENABLED=1 --set MOD_GPS_GPSD_PORT_INNER=9 \
    >"$root.sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -e "$root/sim/ready" ] && break; sleep 0.1; done
  PATH="$root/bin:$PATH" GNSSD_ROOT="$root" "$build/gnssd" >"$root.daemon.log" 2>&1 &
  pid=$!
  # Sentences flowing through every consumer: the status file appears.
  for _ in $(seq 600); do [ -s "$root/run/stats.gps" ] && break; sleep 0.1; done
  [ -s "$root/run/stats.gps" ] || { echo "leak check: no sentences reached the daemon" >&2; rc=1; }
  if command -v socat >/dev/null; then
    printf 'snmp 1\n' | socat - "UNIX-CONNECT:$root/run/gps.socket" >/dev/null 2>&1 || true
  fi
  sleep 3
  kill -TERM "$pid"
  local st=0
  wait "$pid" || st=$?
  if [ "$st" != 0 ]; then
    echo "leak check: daemon exit status $st after SIGTERM" >&2
    rc=1
  fi
  grep -q 'stopped' "$root.daemon.log" || { echo "leak check: daemon did not log \"stopped\"" >&2; rc=1; }
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  if [ "$rc" != 0 ]; then
    tail -n 30 "$root.daemon.log" >&2
  else
    echo "leak check: full start/stop under the simulator, no leak report"
  fi
  rm -rf "$root" "$root.sim.log" "$root.daemon.log"
  return "$rc"
}
if [ "$sanitizers" != thread ] && [[ "$sanitizers" == *address* ]] && [ -x "$build/gnssd-sim" ]; then
  leak_check || status=1
fi

# Reports of children (daemon, simulator) and of tests that passed anyway.
found=$(grep -l -E 'ERROR: (Address|Leak)Sanitizer|runtime error:|WARNING: ThreadSanitizer' "$reports"/report.* 2>/dev/null || true)
if [ -n "$found" ]; then
  echo "=== sanitizer reports ($sanitizers):"
  for f in $found; do
    echo "--- $f"
    head -n 60 "$f"
  done
  status=1
fi
if [ "$status" = 0 ]; then
  echo "sanitizers $sanitizers: clean ($(ls "$reports" | wc -l) report files, none with findings)"
fi
exit "$status"
