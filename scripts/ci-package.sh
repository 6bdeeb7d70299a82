#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the packages as a distribution's package build does (Release, no
# tests, warnings left as warnings) and checks them as an integrator would:
# lintian on the .deb (no error that is not overridden), its control fields
# and documentation, its maintainer scripts in a throw-away root, and the
# OpenWrt recipe's install step against the same build.
# Usage: scripts/ci-package.sh [build directory]   (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}
jobs=$(nproc); [ "$jobs" -gt 2 ] && jobs=2
step() { echo "--- $*"; }
fail() { echo "package check: $*" >&2; exit 1; }

step "dependencies (scripts/install-deps.sh)"
scripts/install-deps.sh
step "configure $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DGNSSD_TESTS=OFF -DGNSSD_WERROR=OFF
step "build"
cmake --build "$build" -j"$jobs"
step "package"
rm -f "$build"/gnssd_*.deb
cmake --build "$build" --target package >"$build/package.log" 2>&1 || { cat "$build/package.log"; fail "package target failed"; }
version=$("$build/gnssd" --version | sed -n 's/^gnssd //p')
deb=$build/gnssd_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb"

step "lintian $deb"
lintian --fail-on error "$deb" || fail "lintian reports errors"
# What is overridden, each with its reason in packaging/debian/lintian-overrides.
lintian --show-overrides "$deb" 2>/dev/null | grep '^O:' || true

step "control fields and documentation"
field() { dpkg-deb -f "$deb" "$1"; }
field Maintainer | grep -Eq '^[^<]+ <[^@ ]+@[^> ]+>$' || fail "Maintainer without an address: $(field Maintainer)"
[ "$(field Description | wc -l)" -gt 3 ] || fail "no long description"
field Depends | grep -Eq '^libc6 \(>= 2\.[0-9]+\), .*adduser$' || fail "Depends: $(field Depends)"
field Pre-Depends | grep -q '^init-system-helpers' || fail "Pre-Depends: $(field Pre-Depends)"
dpkg-deb -c "$deb" | awk '{ print $6 }' >"$build/deb-files.txt"
for f in ./usr/share/doc/gnssd/copyright ./usr/share/doc/gnssd/changelog.gz ./usr/share/man/man8/gnssd.8.gz \
         ./usr/share/lintian/overrides/gnssd; do
  grep -qx -- "$f" "$build/deb-files.txt" || fail "$deb lacks $f"
done
! grep '^\./usr/share/man/.*[^/]$' "$build/deb-files.txt" | grep -qv '\.gz$' || fail "an uncompressed man page"
if [ -x "$build/gnssd-fleet" ]; then
  grep -qx ./usr/sbin/gnssd-fleet "$build/deb-files.txt" || fail "$deb lacks gnssd-fleet"
fi
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/gnssd/copyright | head -n 1 \
  | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' || fail "copyright not machine-readable"
echo "$(field Package) $(field Version) $(field Architecture): Depends $(field Depends)"

step "maintainer scripts in a throw-away root"
sh tests/packaging/deb_scripts_test.sh "$deb"

step "OpenWrt install step"
fleet=""
[ -x "$build/gnssd-fleet" ] && fleet=fleet
sh tests/packaging/openwrt_install_test.sh "$PWD" "$build" $fleet
echo "packages: ok"
