#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Runs the README's install recipe exactly as written (the sh block under
# "## Installing") in a fresh copy of the tree, checks what it staged, runs it
# again over an edited settings file, which must survive, rates the staged
# systemd unit and makes the packages (.deb and source tarball) of that build.
# Usage: scripts/ci-install.sh [work directory]
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
fail() { echo "install check: $*" >&2; exit 1; }
work=${1:-$(mktemp -d /tmp/gnssd-install.XXXXXX)}
mkdir -p "$work"
# The tracked files as they are now: what a fresh clone of this change holds.
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work"
cd "$work"
# Warnings fail this build (CI's own check of the code); the recipe's cmake
# line keeps the cached option, so the recipe itself runs as written.
cmake -S . -B build -DGNSSD_WERROR=ON >/dev/null
echo "--- README install recipe (in $work):"
echo "$recipe"
bash -euo pipefail -c "$recipe"
grep -qx 'GNSSD_WERROR:BOOL=ON' build/CMakeCache.txt || fail "the recipe's build lost GNSSD_WERROR"

for f in usr/sbin/gnssd usr/share/man/man8/gnssd.8 usr/lib/systemd/system/gnssd.service \
         opt/gps/etc/settings opt/gps/etc/settings.example; do
  [ -f "stage/$f" ] || fail "stage/$f missing"
done
[ -x stage/usr/sbin/gnssd ] || fail "gnssd not executable"
[ -x stage/etc/init.d/gnssd ] || fail "stage/etc/init.d/gnssd missing or not executable"
cmp -s stage/opt/gps/etc/settings packaging/settings || fail "first install: settings differ from packaging/settings"
! grep -q = stage/opt/gps/etc/settings || fail "first install: settings hold a key line"

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
# The packages of the same build: the .deb for the compiler's architecture,
# named and versioned as the binary reports itself, and the source tarball.
cmake --build build --target package >package.txt 2>&1 || { cat package.txt; fail "package target failed"; }
version=$(build/gnssd --version | sed -n 's/^gnssd //p')
arch=$(dpkg --print-architecture)
deb=build/gnssd_${version}_${arch}.deb
[ -f "$deb" ] || fail "no $deb"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb: version $(dpkg-deb -f "$deb" Version)"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb: architecture $(dpkg-deb -f "$deb" Architecture)"
dpkg-deb -f "$deb" Depends | grep -Eq '^libc6 \(>= 2\.[0-9]*\), (.*, )?adduser$' || fail "$deb: depends on $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -c "$deb" | awk '{ print $6 }' >deb.txt
for f in ./usr/sbin/gnssd ./usr/share/man/man8/gnssd.8.gz ./usr/share/doc/gnssd/copyright ./etc/init.d/gnssd \
         ./opt/gps/etc/settings ./usr/lib/systemd/system/gnssd.service; do
  grep -qx -- "$f" deb.txt || fail "$deb lacks $f"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles | grep -qx /opt/gps/etc/settings || fail "$deb: settings not a conffile"
tar -tzf "build/gnssd-$version.tar.gz" >source.txt || fail "no source tarball"
grep -qx "gnssd-$version/LICENSE" source.txt || fail "source tarball lacks LICENSE"
grep -qx "gnssd-$version/packaging/openwrt/Makefile" source.txt || fail "source tarball lacks the OpenWrt recipe"
! grep -q -e "^gnssd-$version/build/" -e "^gnssd-$version/stage/" source.txt || fail "source tarball holds build output"
echo "packages: $deb ($(dpkg-deb -f "$deb" Depends)), build/gnssd-$version.tar.gz"

cd /
[ $# -gt 0 ] || rm -rf "$work"
echo "install recipe: ok"
