#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs what building and testing need on a Debian 12 machine (as root),
# skipping packages that are already there.
set -euo pipefail
pkgs=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
      gpsd gpsd-clients socat iproute2 clang-format-14
      pkg-config libmosquitto-dev libssl-dev mosquitto mosquitto-clients openssl strace)
if [ "${GNSSD_ARM:-0}" = 1 ]; then
  pkgs+=(g++-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The tests start their own gpsd and broker; a packaged one listening on the default
# port would only get in the way.
if command -v systemctl >/dev/null 2>&1; then
  systemctl stop gpsd.socket gpsd.service mosquitto.service >/dev/null 2>&1 || true
fi
