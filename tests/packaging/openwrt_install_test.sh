#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The OpenWrt recipe's install step against this build, with the SDK's
# layout stood in: the build's staged install is PKG_INSTALL_DIR, as the
# SDK's cmake.mk makes it, and the SDK's make functions are replaced by
# plain install(1). A path the recipe names that the build does not stage
# fails here. Then the procd service's start, with UCI and procd stood in.
# Usage: openwrt_install_test.sh SOURCE_DIR BUILD_DIR [fleet]
src=${1:?source directory}
bin=${2:?build directory}
fleet=${3:-}
. "$(dirname "$0")/kit.sh"

# PKG_INSTALL_DIR: what cmake.mk's install step leaves (prefix /usr).
DESTDIR=$work/ipkg-install cmake --install "$bin" --prefix /usr >"$work/install.log" 2>&1 ||
	{ cat "$work/install.log" >&2; exit 1; }

mkdir -p "$work/sdk/include"
: >"$work/sdk/rules.mk"
echo 'CMAKE_OPTIONS:=' >"$work/sdk/include/cmake.mk"
# BuildPackage: each package's fields as variables (show-NAME prints one)
# and an install-PACKAGE target that runs its install recipe into
# root/PACKAGE, as the SDK's ipkg step does into its package folder.
cat >"$work/sdk/include/package.mk" <<'MK'
INSTALL_DIR:=install -d -m0755
INSTALL_BIN:=install -m0755
INSTALL_DATA:=install -m0644
INSTALL_CONF:=install -m0600
define BuildPackage
DEPENDS:=
USERID:=
$$(eval $$(Package/$(1)))
$(1)-DEPENDS:=$$(strip $$(DEPENDS))
$(1)-USERID:=$$(USERID)
install-$(1):
	$(call Package/$(1)/install,$(PKG_ROOT)/$(1))
endef
show-%:
	@echo '$($*)'
MK
ow() {
	make --no-print-directory -C "$src/packaging/openwrt" TOPDIR="$work/sdk" INCLUDE_DIR="$work/sdk/include" \
		PKG_INSTALL_DIR="$work/ipkg-install" PKG_ROOT="$work/root" "$@"
}

# Every router gets the service, which needs the C library alone.
[ "$(ow show-gnssd-DEPENDS)" = +libc ] || fail "gnssd depends on $(ow show-gnssd-DEPENDS)"
[ "$(ow show-gnssd-fleet-DEPENDS)" = "+gnssd +libmosquitto-ssl +libopenssl +libsqlite3 +libcurl" ] ||
	fail "gnssd-fleet depends on $(ow show-gnssd-fleet-DEPENDS)"
[ "$(ow show-gnssd-fleet-USERID)" = gnssd:gnssd ] || fail "gnssd-fleet user $(ow show-gnssd-fleet-USERID)"
# Warnings stay warnings; the fleet process is built with its package only.
off=" $(ow show-CMAKE_OPTIONS) " on=" $(ow show-CMAKE_OPTIONS CONFIG_PACKAGE_gnssd-fleet=y) "
for want in "$off|-DGNSSD_WERROR=OFF" "$off|-DGNSSD_FLEET=OFF" "$on|-DGNSSD_FLEET=ON"; do
	case "${want%|*}" in *" ${want##*|} "*) ;; *) fail "build options without ${want##*|}:${want%|*}" ;; esac
done

ow install-gnssd >"$work/gnssd.log" 2>&1 || fail "install of gnssd: $(cat "$work/gnssd.log")"
files=$(cd "$work/root/gnssd" && find . -type f -perm -u+x | sort | paste -sd' ')
[ "$files" = "./etc/init.d/gnssd ./usr/libexec/gnssd-settings ./usr/sbin/gnssd" ] || fail "gnssd programs: $files"
files=$(cd "$work/root/gnssd" && find . -type f ! -perm -u+x | sort | paste -sd' ')
[ "$files" = "./etc/config/gnssd ./opt/gps/etc/settings.example" ] || fail "gnssd data: $files"
if [ "$fleet" = fleet ]; then
	ow install-gnssd-fleet >"$work/fleet.log" 2>&1 || fail "install of gnssd-fleet: $(cat "$work/fleet.log")"
	[ -x "$work/root/gnssd-fleet/usr/sbin/gnssd-fleet" ] || fail "gnssd-fleet not installed"
fi

# The procd service: option "enabled" decides whether an instance starts;
# the settings are written before each start. rc.common, UCI and procd are
# shell functions that log their calls; nothing outside $work is touched.
harness() {
	cat <<SH
config_load() { :; }
config_get_bool() { eval "\$1=$1"; }
procd_open_instance() { echo open; }
procd_set_param() { echo "param \$*"; }
procd_close_instance() { echo close; }
logger() { echo "logger \$*: \$(cat)"; }
ln() { echo "ln \$*"; }
. "$work/root/gnssd/etc/init.d/gnssd"
WRITER="$work/writer"
start_service
SH
}
printf '#!/bin/sh\necho "writer $*"\n' >"$work/writer"
chmod +x "$work/writer"
harness 0 >"$work/off.sh"
[ -z "$(sh "$work/off.sh")" ] || fail "enabled 0 started: $(sh "$work/off.sh")"
harness 1 >"$work/on.sh"
on=$(sh "$work/on.sh" | grep -v '^ln ' | paste -sd';')
[ "$on" = "logger -t gnssd-settings: writer /opt/gps/etc/settings;open;param command /usr/sbin/gnssd;param respawn 3600 5 5;param term_timeout 90;param file /opt/gps/etc/settings;close" ] ||
	fail "enabled 1: $on"

passed "OpenWrt install step"
