#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The start-stop script's LSB actions against a stand-in daemon that locks
# its pid file as the real one does (the real daemon's start, status and
# stop are an end-to-end test of their own).
# Usage: init_script_test.sh SOURCE_DIR
src=${1:?source directory}
. "$(dirname "$0")/kit.sh"
cat >"$work/daemon" <<'SH'
#!/bin/sh
exec 9>>"$PIDFILE"
flock -n 9 || exit 1
echo $$ >"$PIDFILE"
trap 'rm -f "$PIDFILE"; exit 0' TERM
while :; do sleep 1; done
SH
chmod +x "$work/daemon"
export PIDFILE="$work/gnssd.pid" STOP_WAIT=10 START_WAIT=5
trap 'kill "$(cat "$PIDFILE" 2>/dev/null)" 2>/dev/null || true; rm -rf "$work"' EXIT
# act WORD STATUS [DAEMON]: the script's exit status for WORD must be STATUS.
act() {
	status=0
	DAEMON=${3:-$work/daemon} sh "$src/packaging/gnssd.init" "$1" >"$work/out" 2>&1 || status=$?
	[ "$status" = "$2" ] || fail "$1: exit status $status, not $2: $(cat "$work/out")"
}

act status 3
act start 1 /bin/false
grep -q "did not start" "$work/out" || fail "failed start not reported: $(cat "$work/out")"
act try-restart 0
act force-reload 0
[ ! -e "$PIDFILE" ] || fail "try-restart or force-reload started a stopped service"
act start 0
act status 0
first=$(cat "$PIDFILE")
act force-reload 0
act status 0
[ "$(cat "$PIDFILE")" != "$first" ] || fail "force-reload did not restart the running service"
act reload 3
act bogus 2
act stop 0
act status 3
act stop 0

passed "init script"
