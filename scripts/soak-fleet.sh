#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Soak of the fleet feed: the daemon, built with sanitizers, publishes for a long while to a broker that keeps going away.
# Usage: scripts/soak-fleet.sh BUILD_DIR [SECONDS]      (default 600 s)
#
# BUILD_DIR holds gnssd, gnssd-fleet and gnssd-sim built with
# -DGNSSD_SANITIZE=address,undefined (see the README, Benchmarks). The daemon
# runs under a simulation root against gnssd-sim at 10 cycles a second with
# the MQTT output and its NMEA topic on. A mosquitto broker on a loopback port
# is restarted every 30 s; every SOAK_HOSTILE_EVERY-th 30 s (default 4, two
# minutes) the port is held instead by a peer that misbehaves, in turn: it
# answers the connect and nothing after it (no PUBACK, no PINGRESP), it drops
# the connection at the first PUBLISH, or it declares a packet of 268 MB.
# Every 30 s one line gives the resident size and open descriptors of gnssd
# and of its fleet process. At the end the daemon is stopped with SIGTERM.
#
# Fails (status 1) on a sanitizer report of any of the programs, on more
# descriptors at the end than at the first sample after the warm-up, on a
# resident size grown by more than SOAK_RSS_LIMIT_KB (default 400) since
# then, on a daemon that ended by itself, or on a stop that took more than 5 s.
# Other settings: SOAK_WARMUP (s, default 60), SOAK_QUARANTINE_MB (ASan's,
# default 0, see below), SOAK_KEEP=1 keeps the work directory (logs,
# sanitizer reports), which is otherwise removed on success.
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR [SECONDS]}" && pwd)
duration=${2:-600}
warmup=${SOAK_WARMUP:-60}
rss_limit_kb=${SOAK_RSS_LIMIT_KB:-400}
hostile_every=${SOAK_HOSTILE_EVERY:-4}
slot_s=30
for p in gnssd gnssd-fleet gnssd-sim; do
  [ -x "$build/$p" ] || { echo "soak: $build/$p is missing (build the targets gnssd gnssd-fleet gnssd-sim)" >&2; exit 2; }
done
for p in mosquitto python3; do
  command -v "$p" >/dev/null 2>&1 || [ -x "/usr/sbin/$p" ] || { echo "soak: $p is not installed" >&2; exit 2; }
done
mosquitto_bin=$(command -v mosquitto || echo /usr/sbin/mosquitto)
grep -q 'address' "$build/CMakeCache.txt" 2>/dev/null ||
  echo "soak: note: $build does not look like a sanitizer build (GNSSD_SANITIZE)" >&2

work=$(mktemp -d /tmp/gnssd-soak.XXXXXX)
# The fleet process gives up root: the sanitizers' report files must be
# reachable and writable for its user as well.
chmod 0755 "$work"
reports=$work/reports
mkdir -m 1777 "$reports"
root=$work/root
mkdir "$root"
log=$work/gnssd.log
: >"$log"
common="log_path=$reports/report:print_stacktrace=1"
# No quarantine by default: ASan keeps up to 256 MB of freed memory resident,
# which reads as growth for the whole soak (a freed block stays poisoned
# until it is handed out again; SOAK_QUARANTINE_MB=N sets one).
export ASAN_OPTIONS="$common:detect_leaks=1:abort_on_error=0:quarantine_size_mb=${SOAK_QUARANTINE_MB:-0}"
export LSAN_OPTIONS="$common"
export UBSAN_OPTIONS="$common:halt_on_error=0"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/mosquitto.conf" <<EOF
listener $port 127.0.0.1
allow_anonymous true
persistence false
log_dest stderr
user $(id -un)
EOF

# The misbehaving broker: MODE silent, drops or huge; a bare TCP connect
# (the daemon asking whether the port takes connections) is no session.
cat >"$work/peer.py" <<'EOF'
import signal, socket, sys, threading
mode, port = sys.argv[1], int(sys.argv[2])
count = {"sessions": 0, "publishes": 0, "bare": 0}
lock = threading.Lock()
def read_exact(c, n):
    out = b""
    while len(out) < n:
        b = c.recv(min(65536, n - len(out)))
        if not b:
            raise EOFError
        out += b
    return out
def packet(c):
    head = read_exact(c, 1)[0]
    length, shift = 0, 0
    while True:
        b = read_exact(c, 1)[0]
        length |= (b & 0x7F) << shift
        shift += 7
        if not b & 0x80:
            break
    read_exact(c, length)
    return head
def session(c):
    first = True
    try:
        head = packet(c)
        first = False
        if head >> 4 != 1:
            return
        with lock: count["sessions"] += 1
        c.sendall(bytes([0x20, 0x02, 0x00, 0x00]))
        if mode == "huge":
            c.sendall(bytes([0x30, 0xFF, 0xFF, 0xFF, 0x7F]) + b"x" * 65536)
        while True:
            head = packet(c)
            if head >> 4 == 3:
                with lock: count["publishes"] += 1
                if mode == "drops":
                    return
    except (EOFError, OSError):
        if first:
            with lock: count["bare"] += 1
    finally:
        c.close()
def end(*_):
    print("peer %s: %d sessions, %d publishes, %d bare connects" %
          (mode, count["sessions"], count["publishes"], count["bare"]), flush=True)
    sys.exit(0)
signal.signal(signal.SIGTERM, end)
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", port))
s.listen(8)
print("listening", flush=True)
while True:
    c, _ = s.accept()
    threading.Thread(target=session, args=(c,), daemon=True).start()
EOF

sim_pid=""
daemon_pid=""
holder_pid=""
holder=""
holder_log=""
status=0

stop_pid() {  # PID [seconds]: SIGTERM, then SIGKILL after the wait
  local pid=$1 n=$(( ${2:-5} * 10 ))
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  while [ "$n" -gt 0 ] && kill -0 "$pid" 2>/dev/null; do sleep 0.1; n=$((n - 1)); done
  kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  stop_pid "$daemon_pid"
  stop_pid "$holder_pid"
  stop_pid "$sim_pid"
  if [ "$status" = 0 ] && [ -z "${SOAK_KEEP:-}" ]; then
    rm -rf "$work"
  else
    echo "soak: logs and reports kept in $work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Who holds the broker's port for the next 30 s: mosquitto, or a hostile peer.
hostile_modes=(silent drops huge)
hostile_n=0
take_port() {
  local slot=$1 what=broker n
  if [ "$slot" -gt 0 ] && [ $((slot % hostile_every)) = 0 ]; then
    what=${hostile_modes[$((hostile_n % 3))]}
    hostile_n=$((hostile_n + 1))
  fi
  stop_pid "$holder_pid"
  holder_pid=""
  if [ -n "$holder" ] && [ "$holder" != broker ]; then
    echo "soak: $(elapsed) s: $(tail -n 1 "$holder_log")"
  fi
  local out=$work/$what.$slot.log
  holder_log=$out
  for _ in 1 2 3; do
    if [ "$what" = broker ]; then
      setsid "$mosquitto_bin" -c "$work/mosquitto.conf" >"$out" 2>&1 </dev/null &
    else
      setsid python3 "$work/peer.py" "$what" "$port" >"$out" 2>&1 </dev/null &
    fi
    holder_pid=$!
    for n in $(seq 50); do
      grep -q -E ' running|^listening' "$out" && break
      kill -0 "$holder_pid" 2>/dev/null || break
      sleep 0.1
    done
    grep -q -E ' running|^listening' "$out" && break
    stop_pid "$holder_pid" 1
    holder_pid=""
    sleep 1
  done
  [ -n "$holder_pid" ] || echo "soak: could not start the $what on port $port: $(tail -n 2 "$out")" >&2
  holder=$what
  if [ "$what" != broker ]; then
    echo "soak: $(elapsed) s: port $port taken by the hostile peer ($what)"
  fi
  return 0
}

t0=$(date +%s)
elapsed() { echo $(( $(date +%s) - t0 )); }

setsid "$build/gnssd-sim" --root "$root" --family gpsstart --rate 10 \
  --set MOD_GPS_ENABLED=1 --set MOD_GPS_ROUTER_ID_STRING=soak \
  --set MOD_GPS_MQTT_ENABLED=1 --set MOD_GPS_MQTT_HOST=127.0.0.1 --set MOD_GPS_MQTT_PORT="$port" \
  --set MOD_GPS_MQTT_PERIOD=1 --set MOD_GPS_MQTT_PERIOD_HALT=1 --set MOD_GPS_MQTT_NMEA=1 \
  >"$work/sim.log" 2>&1 </dev/null &
sim_pid=$!
for _ in $(seq 200); do [ -e "$root/sim/ready" ] && break; sleep 0.1; done
[ -e "$root/sim/ready" ] || { cat "$work/sim.log" >&2; echo "soak: the simulator did not start" >&2; status=2; exit 2; }

t0=$(date +%s)
take_port 0
PATH="$root/bin:$PATH" GNSSD_ROOT="$root" setsid "$build/gnssd" >>"$log" 2>&1 </dev/null &
daemon_pid=$!
echo "soak: gnssd $daemon_pid, broker port $port, $duration s, work directory $work"

# The fleet process is the daemon's child; each new pid seen is a restart.
fleet_pid=""
fleet_pids=()
find_fleet() {
  local p
  p=$(pgrep -P "$daemon_pid" -x gnssd-fleet 2>/dev/null | head -n 1 || true)
  if [ -n "$p" ] && [ "$p" != "$fleet_pid" ]; then
    fleet_pid=$p
    fleet_pids+=("$p")
  fi
}
# The feed's line of the control socket's summary ("mqtt: tcp HOST:PORT STATE, N published, ...").
mqtt_line() {
  python3 - "$root/run/gps.socket" <<'PY' 2>/dev/null || true
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(3)
try:
    s.connect(sys.argv[1]); s.sendall(b"status text\n"); out = b""
    while True:
        b = s.recv(4096)
        if not b: break
        out += b
except OSError as e:
    out = ("control socket: %s" % e).encode()
for line in out.decode(errors="replace").splitlines():
    if line.startswith(("mqtt", "store", "control socket")): print(line)
PY
}
rss_of() { awk '/^VmRSS:/ { print $2; f = 1 } END { if (!f) print "-" }' "/proc/$1/status" 2>/dev/null || echo -; }
fds_of() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }

# Samples: d_* the daemon, f_* the fleet process (and its pid).
samples=0
warm=-1
declare -a s_t d_rss d_fds f_rss f_fds f_pid f_state
sample() {
  local t=$1 fr=- ff=-
  find_fleet
  if [ -n "$fleet_pid" ] && [ -d "/proc/$fleet_pid" ]; then
    fr=$(rss_of "$fleet_pid")
    ff=$(fds_of "$fleet_pid")
  fi
  s_t[samples]=$t
  d_rss[samples]=$(rss_of "$daemon_pid")
  d_fds[samples]=$(fds_of "$daemon_pid")
  f_rss[samples]=$fr
  f_fds[samples]=$ff
  f_pid[samples]=${fleet_pid:--}
  [ "$warm" -lt 0 ] && [ "$t" -ge "$warmup" ] && warm=$samples
  local m
  m=$(mqtt_line | sed -n -E '/^mqtt: /{s/^mqtt: [^ ]+ [^ ]+ //; s/, last error.*//; p}')
  f_state[samples]=${m%%,*}
  printf 'sample t=%4ds gnssd rss=%6s kB fds=%3s  gnssd-fleet pid=%-7s rss=%6s kB fds=%3s  port=%-6s log=%d  mqtt=%s\n' \
    "$t" "${d_rss[samples]}" "${d_fds[samples]}" "${fleet_pid:--}" "$fr" "$ff" "$holder" "$(wc -l <"$log")" "${m:-?}"
  samples=$((samples + 1))
}

slot=0
next_sample=$((slot_s - 5))
died=0
while :; do
  t=$(elapsed)
  [ "$t" -ge "$duration" ] && break
  if ! kill -0 "$daemon_pid" 2>/dev/null; then
    died=1
    break
  fi
  if [ $((t / slot_s)) != "$slot" ]; then
    slot=$((t / slot_s))
    take_port "$slot"
  fi
  find_fleet
  if [ "$t" -ge "$next_sample" ]; then
    sample "$t"
    next_sample=$((next_sample + slot_s))
  fi
  sleep 1
done

echo "=== end of the soak ($(elapsed) s)"
if [ "$died" = 1 ]; then
  wait "$daemon_pid" && rc=0 || rc=$?
  echo "FAIL: gnssd ended by itself during the soak (status $rc)"
  daemon_pid=""
  status=1
else
  sample "$(elapsed)"
  # The feed's own account at the end.
  mqtt_line
  last_fleet=$fleet_pid
  start_ns=$(date +%s%N)
  kill -TERM "$daemon_pid"
  while kill -0 "$daemon_pid" 2>/dev/null && [ $(( ($(date +%s%N) - start_ns) / 1000000 )) -lt 30000 ]; do
    sleep 0.05
  done
  stop_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
  if kill -0 "$daemon_pid" 2>/dev/null; then
    echo "FAIL: gnssd still runs 30 s after SIGTERM: killed"
    kill -KILL "$daemon_pid"
    status=1
  fi
  wait "$daemon_pid" && rc=0 || rc=$?
  daemon_pid=""
  echo "stop: SIGTERM to exit in $stop_ms ms, exit status $rc"
  if [ "$stop_ms" -gt 5000 ]; then
    echo "FAIL: the stop took more than 5 s"
    status=1
  fi
  [ "$rc" = 0 ] || { echo "FAIL: exit status $rc after SIGTERM"; status=1; }
  if [ -n "$last_fleet" ] && kill -0 "$last_fleet" 2>/dev/null; then
    echo "FAIL: the fleet process $last_fleet outlived the daemon"
    status=1
  fi
fi
stop_pid "$holder_pid"
holder_pid=""
[ "$holder" = broker ] || echo "soak: $(tail -n 1 "$holder_log")"
stop_pid "$sim_pid"
sim_pid=""

# The summary: warm-up sample against the last one, for both processes.
growth() {  # NAME FIRST LAST LIMIT(-: none)
  if [ "$2" = - ] || [ "$3" = - ]; then
    printf '  %-34s %8s -> %8s\n' "$1" "$2" "$3"
    return 0
  fi
  printf '  %-34s %8s -> %8s  (%+d)\n' "$1" "$2" "$3" $(($3 - $2))
  [ "$4" = - ] || [ $(($3 - $2)) -le "$4" ]
}
echo "=== summary"
if [ "$samples" -gt 0 ] && [ "$warm" -ge 0 ]; then
  e=$((samples - 1))
  echo "  warm-up sample at ${s_t[warm]} s, last at ${s_t[e]} s (${#fleet_pids[@]} fleet process pids seen: ${fleet_pids[*]:-none})"
  growth "gnssd RSS kB" "${d_rss[warm]}" "${d_rss[e]}" "$rss_limit_kb" || { echo "FAIL: gnssd RSS grew by more than $rss_limit_kb kB"; status=1; }
  growth "gnssd fds" "${d_fds[warm]}" "${d_fds[e]}" 0 || { echo "FAIL: gnssd holds more descriptors"; status=1; }
  if [ "${f_pid[warm]}" = "${f_pid[e]}" ]; then
    growth "gnssd-fleet RSS kB" "${f_rss[warm]}" "${f_rss[e]}" "$rss_limit_kb" || { echo "FAIL: gnssd-fleet RSS grew by more than $rss_limit_kb kB"; status=1; }
    # Its descriptors depend on whether it is connected: the last sample in
    # the state of the warm-up one counts.
    c=$e
    while [ "$c" -gt "$warm" ] && [ "${f_state[c]}" != "${f_state[warm]}" ]; do c=$((c - 1)); done
    growth "gnssd-fleet fds (${f_state[warm]:-?}, ${s_t[c]} s)" "${f_fds[warm]}" "${f_fds[c]}" 0 ||
      { echo "FAIL: gnssd-fleet holds more descriptors"; status=1; }
    [ "$c" = "$e" ] || growth "gnssd-fleet fds (last)" "${f_fds[warm]}" "${f_fds[e]}" - || true
  else
    echo "  gnssd-fleet: pid ${f_pid[warm]} at the warm-up sample, ${f_pid[e]} at the last: not compared"
    growth "gnssd-fleet RSS kB" "${f_rss[warm]}" "${f_rss[e]}" - || true
    growth "gnssd-fleet fds" "${f_fds[warm]}" "${f_fds[e]}" - || true
  fi
  [ "${f_pid[e]}" != - ] || { echo "FAIL: no fleet process at the end"; status=1; }
  # A leak keeps growing; what the first outages brought in stays level.
  h=$(( (warm + e + 1) / 2 ))
  echo "  second half, from the sample at ${s_t[h]} s (not judged):"
  growth "gnssd RSS kB" "${d_rss[h]}" "${d_rss[e]}" - || true
  [ "${f_pid[h]}" = "${f_pid[e]}" ] && { growth "gnssd-fleet RSS kB" "${f_rss[h]}" "${f_rss[e]}" - || true; }
else
  echo "  no sample after the warm-up of $warmup s"
  status=1
fi
# How soon the feed came back after each broker restart (mosquitto's own log).
restarts=0 soon=0 late=0 never=0
for f in "$work"/broker.*.log; do
  up=$(awk '/ running$/ { sub(":", "", $1); print $1; exit }' "$f")
  in=$(awk '/New client connected/ { sub(":", "", $1); print $1; exit }' "$f")
  [ -n "$up" ] || continue
  restarts=$((restarts + 1))
  if [ -z "$in" ]; then never=$((never + 1)); elif [ $((in - up)) -le 5 ]; then soon=$((soon + 1)); else late=$((late + 1)); fi
done
echo "  broker starts: $restarts; the feed connected within 5 s: $soon, later: $late, not within the 30 s: $never"
for m in "${hostile_modes[@]}"; do
  grep -h "^peer $m:" "$work"/"$m".*.log 2>/dev/null | sed 's/^/  /' || true
done
lines=$(wc -l <"$log")
echo "  fleet process restarts: $(( ${#fleet_pids[@]} > 0 ? ${#fleet_pids[@]} - 1 : 0 )) seen by pid," \
  "$(grep -c 'fleet: the fleet process' "$log" || true) logged"
echo "  log lines: $lines in $duration s; the most frequent (digits as N):"
sed -E 's/[0-9]+/N/g' "$log" | sort | uniq -c | sort -rn | head -n 8 | sed 's/^/    /'
found=$(find "$reports" -type f -size +0 | sort)
if [ -n "$found" ]; then
  echo "FAIL: sanitizer reports:"
  for f in $found; do
    echo "--- $f"
    head -n 30 "$f"
  done
  status=1
else
  echo "  sanitizer reports: none"
fi
[ "$status" = 0 ] && echo "soak: passed" || echo "soak: FAILED"
exit "$status"
