#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The .deb's maintainer scripts, in two ways that leave this machine alone:
# 1. dpkg installs, upgrades, removes and purges the package in a throw-away
#    root (--root with the scripts run chroot-free, DPKG_ROOT set), so the
#    real deb-systemd-helper, update-rc.d and useradd act on that root.
# 2. The scripts run as on a live system, with stand-ins that log the calls
#    that enable, start, stop and remove the service.
# Usage: deb_scripts_test.sh PACKAGE.deb
deb=$(realpath "${1:?package}")
. "$(dirname "$0")/kit.sh"

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
: >"$root/var/lib/dpkg/status"
echo 'root:x:0:0:root:/root:/bin/sh' >"$root/etc/passwd"
echo 'root:x:0:' >"$root/etc/group"
: >"$root/etc/shadow"
: >"$root/etc/gshadow"
# The libraries and helpers the package depends on are the machine's own.
pkg() {
	dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@" >>"$work/dpkg.log" 2>&1 ||
		fail "dpkg $*: $(tail -n 5 "$work/dpkg.log")"
}
there() { [ -e "$root/$1" ] || [ -L "$root/$1" ]; }
wants=etc/systemd/system/multi-user.target.wants/gnssd.service

pkg -i "$deb"
for f in usr/sbin/gnssd opt/gps/etc/settings etc/init.d/gnssd etc/rc2.d/S01gnssd etc/rc0.d/K01gnssd "$wants"; do
	there "$f" || fail "install: no $f"
done
grep -q '^gnssd:x:[0-9]*:[0-9]*::/nonexistent:' "$root/etc/passwd" || fail "no system user: $(cat "$root/etc/passwd")"

# An upgrade (the same version again) keeps the router's settings and the
# user it made before.
echo "MOD_GPS_PTY_ENABLED=1" >>"$root/opt/gps/etc/settings"
cp "$root/opt/gps/etc/settings" "$work/edited"
pkg -i "$deb"
cmp -s "$work/edited" "$root/opt/gps/etc/settings" || fail "upgrade replaced the edited settings"
[ "$(grep -c '^gnssd:' "$root/etc/passwd")" = 1 ] || fail "upgrade made a second user"

# Remove: the programs go, the settings stay, the unit is masked.
pkg -r gnssd
! there usr/sbin/gnssd || fail "remove left the daemon"
cmp -s "$work/edited" "$root/opt/gps/etc/settings" || fail "remove took the settings"
[ "$(readlink "$root/etc/systemd/system/gnssd.service")" = /dev/null ] || fail "remove did not mask the unit"

# Purge: the settings, the fleet store and the init systems' records go.
mkdir -p "$root/opt/gps/var"
: >"$root/opt/gps/var/fleet.db"
: >"$root/opt/gps/var/fleet.db-wal"
pkg -P gnssd
for f in opt/gps etc/rc2.d/S01gnssd etc/rc0.d/K01gnssd "$wants" etc/systemd/system/gnssd.service; do
	! there "$f" || fail "purge left $f"
done
! grep -q '^Package: gnssd$' "$root/var/lib/dpkg/status" || fail "purge left gnssd in the package database"

# On a live system, with stand-ins for the tools the scripts call. The
# scripts' tests for a running systemd and for the init script point into
# $work instead of this machine's.
mkdir -p "$work/bin" "$work/ctl" "$work/systemd" "$work/init.d"
printf '#!/bin/sh\n' >"$work/init.d/gnssd"
chmod +x "$work/init.d/gnssd"
dpkg-deb -e "$deb" "$work/ctl"
for s in postinst prerm postrm; do
	sed -e "s#/run/systemd/system#$work/systemd#g" -e "s#/etc/init.d/gnssd#$work/init.d/gnssd#g" \
		"$work/ctl/$s" >"$work/$s"
done
for tool in adduser getent useradd deb-systemd-helper deb-systemd-invoke systemctl update-rc.d invoke-rc.d; do
	var=$(echo "$tool" | tr -c 'a-z\n' _)
	printf '#!/bin/sh\necho "%s $*" >>"$CALLS"\nexit ${EXIT_%s:-0}\n' "$tool" "$var" >"$work/bin/$tool"
	chmod +x "$work/bin/$tool"
done
# case_ NAME CALLS SCRIPT ARGS...: the script, run with the stand-ins, must
# make these calls in this order (separated by ";").
case_() {
	name=$1 want=$2
	shift 2
	: >"$work/calls"
	status=0
	env -u DPKG_ROOT PATH="$work/bin:$PATH" CALLS="$work/calls" sh -e "$work/$@" >/dev/null 2>&1 || status=$?
	[ "$status" = "${WANT_STATUS:-0}" ] || fail "$name: exit status $status"
	[ "$(paste -sd';' "$work/calls")" = "$want" ] || fail "$name: calls $(paste -sd';' "$work/calls")"
}
dsh=deb-systemd-helper
on="getent passwd gnssd;$dsh unmask gnssd.service;$dsh --quiet was-enabled gnssd.service"
reload="systemctl --system daemon-reload"
sysv="update-rc.d gnssd defaults;invoke-rc.d --skip-systemd-native gnssd"
EXIT_getent=2 case_ "first installation" "getent passwd gnssd;adduser --system --group --quiet --no-create-home --home /nonexistent gnssd;${on#*;};$dsh enable gnssd.service;$reload;deb-systemd-invoke start gnssd.service;$sysv start" postinst configure
EXIT_deb_systemd_helper=1 case_ "upgrade, unit disabled by the administrator" "$on;$dsh update-state gnssd.service;$reload;deb-systemd-invoke restart gnssd.service;$sysv restart" postinst configure 1.0.0
EXIT_invoke_rc_d=1 WANT_STATUS=1 case_ "failed start" "$on;$dsh enable gnssd.service;$reload;deb-systemd-invoke start gnssd.service;$sysv start" postinst configure
case_ "stop before remove" "deb-systemd-invoke stop gnssd.service;invoke-rc.d --skip-systemd-native gnssd stop" prerm remove
case_ "upgrade leaves it running" "" prerm upgrade 1.0.0
case_ "remove" "$reload;$dsh mask gnssd.service" postrm remove
case_ "purge" "update-rc.d gnssd remove;$dsh purge gnssd.service;$dsh unmask gnssd.service" postrm purge
# Without systemd only the init script's tools start it.
rmdir "$work/systemd"
case_ "first installation without systemd" "$on;$dsh enable gnssd.service;$sysv start" postinst configure

passed "maintainer scripts"
