#!/usr/bin/env bash
# Runs the README's install recipe exactly as written (the sh block under
# "## Installing") in a fresh copy of the tree, checks what it staged, runs it
# again over an edited settings file, which must survive, and rates the staged
# systemd unit. Usage: scripts/ci-install.sh [work directory]
set -euo pipefail
cd "$(dirname "$0")/.."
recipe=$(awk '/^## Installing/ { section = 1; next }
              section && /^```sh$/ { block = 1; next }
              block && /^```$/ { exit }
              block' README.md)
if [ -z "$recipe" ]; then
  echo "README.md has no sh block under \"## Installing\"" >&2
  exit 1
fi
work=${1:-$(mktemp -d /tmp/gnssd-install.XXXXXX)}
mkdir -p "$work"
# The tracked files as they are now: what a fresh clone of this change holds.
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work"
cd "$work"
echo "--- README install recipe (in $work):"
echo "$recipe"
bash -euo pipefail -c "$recipe"

fail() { echo "install check: $*" >&2; exit 1; }
for f in usr/sbin/gnssd usr/share/man/man8/gnssd.8 usr/lib/systemd/system/gnssd.service \
         opt/gps/etc/settings opt/gps/etc/settings.example; do
  [ -f "stage/$f" ] || fail "stage/$f missing"
done
[ -x stage/usr/sbin/gnssd ] || fail "gnssd not executable"
[ -x stage/etc/init.d/gnssd ] || fail "stage/etc/init.d/gnssd missing or not executable"
cmp -s stage/opt/gps/etc/settings packaging/settings.example || fail "first install: settings differ from the example"

# A re-install keeps the router's own settings and refreshes the example.
echo "MOD_GPS_PTY_ENABLED=1" >> stage/opt/gps/etc/settings
cp stage/opt/gps/etc/settings edited
echo "# stale" > stage/opt/gps/etc/settings.example
bash -euo pipefail -c "$recipe" >/dev/null
cmp -s stage/opt/gps/etc/settings edited || fail "re-install changed the edited settings"
cmp -s stage/opt/gps/etc/settings.example packaging/settings.example || fail "re-install left a stale settings.example"

if command -v systemd-analyze >/dev/null 2>&1; then
  systemd-analyze security --offline=true --threshold=50 stage/usr/lib/systemd/system/gnssd.service >unit.txt 2>&1 \
    || { cat unit.txt; fail "systemd unit rated above 5.0"; }
  grep 'Overall exposure' unit.txt
fi
cd /
[ $# -gt 0 ] || rm -rf "$work"
echo "install recipe: ok"
