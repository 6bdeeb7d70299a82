#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Cross-builds the daemon for the router's 32-bit ARM (arm-linux-gnueabihf),
# runs the unit and end-to-end suites under qemu-arm, and builds the fully
# static variant. Prints both stripped sizes and the libraries each needs, and
# makes the armhf .deb of the dynamic build.
# Usage: scripts/ci-arm.sh [ctest arguments...]   (e.g. -R 'Reader|E2e')
set -euo pipefail
cd "$(dirname "$0")/.."
GNSSD_ARM=1 scripts/install-deps.sh
jobs=$(nproc); [ "$jobs" -gt 2 ] && jobs=2
toolchain=$PWD/cmake/armhf-toolchain.cmake

# Dynamic product with the test suite, built as the README's cross-build recipe
# builds it (Release: -O3), here with warnings as errors. A cross build leaves the
# tests out unless asked for. It has the MQTT output, linked against Debian's
# armhf libmosquitto and OpenSSL (multiarch, see scripts/install-deps.sh).
cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DGNSSD_TESTS=ON -DGNSSD_FLEET=ON -DGNSSD_WERROR=ON >/dev/null
cmake --build build-arm -j"$jobs"

# Fully static product, for routers whose libc predates the 64-bit time calls.
# It stays without MQTT: libmosquitto and OpenSSL are linked as the router's
# shared libraries only, and a static libc cannot load them.
cmake -S . -B build-arm-static -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DGNSSD_STATIC=ON -DGNSSD_TESTS=OFF -DGNSSD_FLEET=OFF -DGNSSD_WERROR=ON >/dev/null
cmake --build build-arm-static --target gnssd -j"$jobs"

report() {
  local label=$1 bin=$2 stripped
  stripped=$(mktemp)
  arm-linux-gnueabihf-strip -o "$stripped" "$bin"
  echo "armhf $label: $(stat -c %s "$stripped") bytes stripped ($(stat -c %s "$bin") unstripped)"
  local needed
  needed=$(arm-linux-gnueabihf-readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  echo "armhf $label needs: ${needed:-nothing (static)}"
  rm -f "$stripped"
  file_type=$(arm-linux-gnueabihf-readelf -h "$bin" | sed -n 's/ *Machine: *//p')
  echo "armhf $label machine: $file_type"
}
report dynamic build-arm/gnssd
report fleet build-arm/gnssd-fleet
report static build-arm-static/gnssd

status=0
# The router's package: armhf, whatever the build machine is.
cmake --build build-arm --target package >build-arm/package.txt 2>&1 || { cat build-arm/package.txt; status=1; }
deb=$(ls build-arm/gnssd_*_armhf.deb 2>/dev/null | head -n 1)
if [ -n "$deb" ] && [ "$(dpkg-deb -f "$deb" Architecture)" = armhf ]; then
  echo "armhf package: $deb ($(dpkg-deb -f "$deb" Depends))"
else
  echo "no armhf .deb made" >&2
  status=1
fi
# The service needs libc alone; the fleet process libmosquitto with the
# OpenSSL it is built against (it reads and words the certificate verdict of
# a failed TLS handshake itself: libssl and libcrypto), SQLite and libcurl.
# The C++ runtime is linked into both. Anything else in NEEDED is a packaging
# fault (reported now, failed at the end so that the suites still run).
needed_beyond() {
  arm-linux-gnueabihf-readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' \
    | grep -v -e '^libc\.so\.6$' -e '^ld-linux-armhf\.so\.3$' "${@:2}" || true
}
extra=$(needed_beyond build-arm/gnssd)
if [ -n "$extra" ]; then
  echo "armhf service needs more than libc: $extra" >&2
  status=1
fi
# (libm: the C library's maths half, which SQLite uses.)
extra=$(needed_beyond build-arm/gnssd-fleet -e '^libmosquitto\.so\.1$' -e '^libssl\.so\.3$' \
  -e '^libcrypto\.so\.3$' -e '^libsqlite3\.so\.0$' -e '^libcurl\.so\.4$' -e '^libm\.so\.6$')
if [ -n "$extra" ]; then
  echo "armhf fleet process needs more than libc, libmosquitto, OpenSSL, SQLite and libcurl: $extra" >&2
  status=1
fi
if ! arm-linux-gnueabihf-readelf -d build-arm/gnssd-fleet | grep -q '(NEEDED).*\[libmosquitto\.so\.1\]'; then
  echo "armhf fleet process is built without MQTT" >&2
  status=1
fi
deb_depends=$(dpkg-deb -f "$deb" Depends 2>/dev/null || true)
case "$deb_depends" in
  *libmosquitto1*) ;;
  *) echo "armhf package does not depend on libmosquitto1: $deb_depends" >&2; status=1 ;;
esac
if arm-linux-gnueabihf-readelf -d build-arm-static/gnssd | grep -q NEEDED; then
  echo "armhf static binary still needs shared libraries" >&2
  status=1
fi
# A 32-bit time_t in the product would show as calls to the old symbols.
if arm-linux-gnueabihf-nm -D build-arm/gnssd | grep -E ' U (time|stat|fstat|lstat|gettimeofday|settimeofday|clock_gettime|select|gmtime_r|localtime_r|mktime|timegm|nanosleep|futimens|utimensat)@' ; then
  # Not fatal: the static C++ runtime of Debian's armhf toolchain is built
  # with a 32-bit time_t; a call from it shows here too. Calls from our own
  # code cannot appear (the project sets _TIME_BITS=64 for every unit).
  echo "warning: armhf dynamic binary calls the 32-bit time interfaces above" >&2
fi

# Unit and end-to-end suites under qemu-arm (CTest's cross-compiling
# emulator; the harness starts the daemon and simulator through it too).
start=$(date +%s)
ctest --test-dir build-arm -j"${GNSSD_CTEST_JOBS:-$jobs}" --output-on-failure "$@" || status=1
echo "armhf suite under qemu-arm: $(( $(date +%s) - start )) s"
exit "$status"
