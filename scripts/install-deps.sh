#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs what building and testing need on a Debian 12 machine (as root),
# skipping packages that are already there.
# With GNSSD_ARM=1 it adds the router's 32-bit ARM: the cross compiler, qemu-user
# and, through Debian's multiarch, the armhf libraries the MQTT output links
# (installed beside the host's own, which stay as they are).
set -euo pipefail
SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
# The libraries that exist for both machines are named with their architecture:
# an armhf copy must not count as the host's.
host=$(dpkg --print-architecture)
pkgs=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
      gpsd gpsd-clients socat iproute2 clang-format-14 groff-base
      pkg-config "libmosquitto-dev:$host" "libssl-dev:$host"
      "libsqlite3-dev:$host" "libcurl4-openssl-dev:$host" sqlite3 mosquitto mosquitto-clients openssl python3 strace
      lintian musl-tools)
update=0
if [ "${GNSSD_ARM:-0}" = 1 ]; then
  # libstdc++6:armhf: the test programs and the simulator (unlike the daemon)
  # take the C++ runtime from the system when they run under qemu-arm.
  pkgs+=(g++-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user
         libmosquitto-dev:armhf libssl-dev:armhf libsqlite3-dev:armhf
         libcurl4-openssl-dev:armhf libstdc++6:armhf)
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
    update=1  # the package lists have no armhf packages yet
  fi
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Each long step says what it does; apt's own lines show its progress.
if [ ${#missing[@]} -gt 0 ] || [ "$update" = 1 ]; then
  echo "install-deps: updating the package lists ..."
  $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${#missing[@]} packages (a first run takes a few minutes): ${missing[*]}"
  # A library of both machines is installed at one version for both: apt
  # upgrades the host's copy with the armhf one where the mirror has moved on.
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" \
    | awk '/^(Get:|Unpacking|Setting up)/ { print; fflush() }'
fi
# The tests start their own gpsd and broker; a packaged one listening on the default
# port would only get in the way.
if command -v systemctl >/dev/null 2>&1; then
  systemctl stop gpsd.socket gpsd.service mosquitto.service >/dev/null 2>&1 || true
fi
