#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The OpenWrt settings writer against a stand-in uci that answers "get" from
# a list of PATH=VALUE lines (printf %b escapes in VALUE).
# Usage: openwrt_settings_test.sh SOURCE_DIR
src=${1:?source directory}
. "$(dirname "$0")/kit.sh"
writer=$src/packaging/openwrt/files/gnssd-settings
mkdir "$work/bin"
cat >"$work/bin/uci" <<'STANDIN'
#!/bin/sh
[ "$1" = -q ] && shift
[ "$1" = get ] || exit 2
value=$(awk -v k="$2=" 'index($0, k) == 1 { print substr($0, length(k) + 1); found = 1; exit }
	END { exit !found }' "$UCI_DB") || exit 1
printf '%b\n' "$value"
STANDIN
chmod +x "$work/bin/uci"
PATH=$work/bin:$PATH
export PATH UCI_DB="$work/uci.db"

run() {
	status=0
	(umask 022 && sh "$writer" "$work/etc/settings") 2>"$work/stderr" || status=$?
}

# Switch words, protocol names, leading zeros, texts in quotes, two servers
# in their order, and values the file cannot carry left out with a reason.
cat >"$UCI_DB" <<'DB'
gnssd.main=gnssd
gnssd.main.enabled=on
gnssd.main.pty_enabled=1
gnssd.main.ep1_enabled=no
gnssd.main.router_id_string=bus 42 (depot)
gnssd.main.snmp_report_ipaddr=10.0.0.9"x
gnssd.main.reset_timeout=0300
gnssd.main.timesync_period=ten
gnssd.main.gpsd_port_inner=99999999999
gnssd.main.sri_enabled=1\n2
gnssd.main.store_path=/data/fleet.db
gnssd.main.store_size=0
gnssd.main.http_url=https://fleet.example.net:5055/
gnssd.main.mqtt_ha_discovery=yes
gnssd.@rsock[0]=rsock
gnssd.@rsock[0].enabled=1
gnssd.@rsock[0].ipaddr=fleet.example.net
gnssd.@rsock[0].protocol=udp
gnssd.@rsock[0].port=5000
gnssd.@rsock[1]=rsock
gnssd.@rsock[1].protocol=tcp
gnssd.@rsock[1].ipaddr=fleet\nMOD_GPS_TIMESYNC_ENABLED=1
gnssd.@rsock[1].period_halt=000
gnssd.@rsock[1].unknown=7
DB
run
[ "$status" = 0 ] || fail "writer ended with $status: $(cat "$work/stderr")"
cat >"$work/want" <<'WANT'
# Written by gnssd-settings from /etc/config/gnssd at each start of the
# service: change the UCI configuration, not this file.
MOD_GPS_ENABLED=1
MOD_GPS_EP1_ENABLED=0
MOD_GPS_PTY_ENABLED=1
MOD_GPS_ROUTER_ID_STRING="bus 42 (depot)"
MOD_GPS_RESET_TIMEOUT=300
MOD_GPS_STORE_PATH="/data/fleet.db"
MOD_GPS_STORE_SIZE=0
MOD_GPS_MQTT_HA_DISCOVERY=1
MOD_GPS_HTTP_URL="https://fleet.example.net:5055/"
MOD_GPS_RSOCK1_ENABLED=1
MOD_GPS_RSOCK1_IPADDR="fleet.example.net"
MOD_GPS_RSOCK1_PROTOCOL=1
MOD_GPS_RSOCK1_PORT=5000
MOD_GPS_RSOCK2_PROTOCOL=0
MOD_GPS_RSOCK2_PERIOD_HALT=0
WANT
cmp -s "$work/want" "$work/etc/settings" || fail "settings differ: $(diff "$work/want" "$work/etc/settings")"
for key in MOD_GPS_SNMP_REPORT_IPADDR MOD_GPS_RSOCK2_IPADDR MOD_GPS_TIMESYNC_PERIOD MOD_GPS_GPSD_PORT_INNER MOD_GPS_SRI_ENABLED; do
	grep -q "^gnssd-settings: $key left out" "$work/stderr" || fail "no reason given for $key: $(cat "$work/stderr")"
done
# It may hold the broker password: root alone reads it, whatever the umask.
[ "$(stat -c %a "$work/etc/settings")" = 600 ] || fail "settings mode $(stat -c %a "$work/etc/settings")"
[ -z "$(find "$work/etc" -name '.settings.*')" ] || fail "temporary file left behind"

# Every key of the example settings has its option, also servers 3 and 4;
# a fifth server is refused.
example=$src/packaging/settings.example
grep -o '^MOD_GPS_[A-Z0-9_]*' "$example" | sort >"$work/keys"
{
	echo "gnssd.main=gnssd"
	for n in 1 2 3 4 5; do echo "gnssd.@rsock[$((n - 1))]=rsock"; done
	sed -n 's/^MOD_GPS_RSOCK1_\([A-Z0-9_]*\)$/\1/p' "$work/keys" | while read -r opt; do
		for n in 0 1 2 3 4; do echo "gnssd.@rsock[$n].$(echo "$opt" | tr 'A-Z' 'a-z')=7"; done
	done
	grep -v '^MOD_GPS_RSOCK' "$work/keys" | sed 's/^MOD_GPS_//' | tr 'A-Z' 'a-z' | sed 's/^/gnssd.main./; s/$/=7/'
} >"$UCI_DB"
run
grep -o '^MOD_GPS_[A-Z0-9_]*' "$work/etc/settings" | sort >"$work/written"
cmp -s "$work/keys" "$work/written" || fail "keys of the example not written: $(diff "$work/keys" "$work/written")"
grep -q "only 4 remote servers" "$work/stderr" || fail "fifth server not refused: $(cat "$work/stderr")"

# Without a UCI configuration the file stays as it is.
echo "MOD_GPS_PTY_ENABLED=1" >"$work/etc/settings"
: >"$UCI_DB"
run
[ "$status" = 0 ] || fail "no configuration: status $status"
[ "$(cat "$work/etc/settings")" = "MOD_GPS_PTY_ENABLED=1" ] || fail "no configuration: settings changed"

passed "openwrt settings writer"
