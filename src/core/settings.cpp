// SPDX-License-Identifier: BSD-2-Clause
// The settings file: KEY=VALUE lines read once at start into GpsSettings.
#include "core/settings.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "platform/gpio.h"
#include "platform/platform.h"
#include "platform/log.h"

namespace {

// One line of the file; what a longer line holds beyond this is skipped.
constexpr int kLineSize = 16384;
constexpr int kKeySize = kSettingsKeySize;

// Shared by every cfg_find: the value it returns points into it.
char g_line[kLineSize];

// Stands in for a copy that could not be allocated: the texts are never
// written to or freed, and callers rely on a non-null pointer.
char g_empty_text[1];

char* copy_text(const char* text)
{
    char* copy = strdup(text);
    return copy ? copy : g_empty_text;
}

void free_text(char** text)
{
    if (*text != g_empty_text)
        std::free(*text);
    *text = nullptr;
}

// Where a key's value goes in the record: a number or a text field. The
// stream keys carry "%d" for the stream's number and stand for one key per
// stream.
using NumberField = uint32_t* (*)(GpsSettings& s, int stream);
using TextField = char** (*)(GpsSettings& s, int stream);

// The checks report the keys pass by pass, first pass first, the streams
// last; within a pass in table order.
enum class Pass { first, second, streams };

struct KeyRow {
    const char* key;
    // What the key does, in a line: the example file writes it as the
    // comment above the key, and the manual's entry of the key holds it.
    const char* help;
    Pass pass;
    NumberField number;  // exactly one of number and text
    TextField text;
    // The default as settings.example writes it; nullptr: 0 for a number,
    // "" for a text. A text whose empty value stands for a number (the MQTT
    // QoS, the store's size) names that number.
    const char* def = nullptr;
    // The largest number in force; a larger one reads as this. 0: any.
    uint32_t max = 0;
};

// Periods and timeouts beyond a day are taken as a day: the outputs'
// arithmetic on them (milliseconds, keepalive times) stays far from overflow.
constexpr uint32_t kPeriodMax = 86400;

// Every key the service knows, in the order it reads and prints them; the
// run of stream rows is read stream by stream, RSOCK1 to RSOCK4.
constexpr KeyRow kKeys[] = {
    {"MOD_GPS_ENABLED", "Stored for other software of the router; the daemon does not act on it.", Pass::first,
     [](GpsSettings& s, int) { return &s.enabled; }, nullptr},
    {"MOD_GPS_ANT_INPUT", "Antenna input of AT!GPS modules: 2 (bit 1 set) selects GPS, 0 the AUX input.", Pass::first,
     [](GpsSettings& s, int) { return &s.antenna_input; }, nullptr},
    {"MOD_GPS_ANT_ACT", "Active-antenna supply of the stand-alone receiver: non-zero on, 0 off.", Pass::first,
     [](GpsSettings& s, int) { return &s.antenna_active; }, nullptr},
    {"MOD_GPS_DATE_FIX_ENABLED", "1 repairs RMC, TRF and ZDA dates of 2018 or earlier by adding 1024 weeks.",
     Pass::first, [](GpsSettings& s, int) { return &s.date_fix_enabled; }, nullptr},
    {"MOD_GPS_EP1_ENABLED", "1 writes the NMEA stream to /dev/ttyS0 at 9600 baud 8N1, 0 does not.", Pass::first,
     [](GpsSettings& s, int) { return &s.ep1_enabled; }, nullptr},
    {"MOD_GPS_EP2_ENABLED", "1 writes the NMEA stream to /dev/ttyS1 at 9600 baud 8N1, 0 does not.", Pass::second,
     [](GpsSettings& s, int) { return &s.ep2_enabled; }, nullptr},
    {"MOD_GPS_USBP_ENABLED", "1 writes the NMEA stream to /dev/ttyUSB0 at 9600 baud 8N1, 0 does not.", Pass::first,
     [](GpsSettings& s, int) { return &s.usbp_enabled; }, nullptr},
    {"MOD_GPS_PTY_ENABLED", "1 writes the NMEA stream to the pseudo-terminal /dev/nmea, 0 does not.", Pass::first,
     [](GpsSettings& s, int) { return &s.pty_enabled; }, nullptr},
    {"MOD_GPS_SRI_ENABLED", "1 sends the router id in a $GPFID sentence after each RMC sentence.", Pass::first,
     [](GpsSettings& s, int) { return &s.sri_enabled; }, nullptr},
    {"MOD_GPS_ROUTER_ID_STRING", "The router id; the fleet feeds send it when their own id is empty.", Pass::second,
     nullptr, [](GpsSettings& s, int) { return &s.router_id; }},
    {"MOD_GPS_RSOCK%d_ENABLED", "1 sends NMEA bursts to this remote server, 0 does not.", Pass::streams,
     [](GpsSettings& s, int i) { return &s.rsock[i].enabled; }, nullptr},
    {"MOD_GPS_RSOCK%d_IPADDR", "The server's host name or IPv4 or IPv6 address; empty: the server is off.",
     Pass::streams, nullptr, [](GpsSettings& s, int i) { return &s.rsock[i].ipaddr; }},
    {"MOD_GPS_RSOCK%d_PROTOCOL", "1 sends over UDP, any other value over TCP.", Pass::streams,
     [](GpsSettings& s, int i) { return &s.rsock[i].protocol; }, nullptr},
    {"MOD_GPS_RSOCK%d_PORT", "The server's port; 0: the server is off.", Pass::streams,
     [](GpsSettings& s, int i) { return &s.rsock[i].port; }, nullptr},
    {"MOD_GPS_RSOCK%d_PERIOD", "Seconds pacing the bursts while moving, at most 86400; 0: the server is off.",
     Pass::streams, [](GpsSettings& s, int i) { return &s.rsock[i].period; }, nullptr, nullptr, kPeriodMax},
    {"MOD_GPS_RSOCK%d_PERIOD_HALT", "Seconds pacing the bursts while halted, at most 86400; 0: the server is off.",
     Pass::streams, [](GpsSettings& s, int i) { return &s.rsock[i].period_halt; }, nullptr, nullptr, kPeriodMax},
    {"MOD_GPS_RSOCK%d_BACKLOG", "TCP bursts kept while the server cannot be reached; 0 keeps none.", Pass::streams,
     [](GpsSettings& s, int i) { return &s.rsock[i].backlog; }, nullptr},
    {"MOD_GPS_RESET_ENABLED", "1 restarts the receiver after RESET_TIMEOUT seconds without a fix.", Pass::second,
     [](GpsSettings& s, int) { return &s.reset_enabled; }, nullptr},
    {"MOD_GPS_RESET_TIMEOUT", "Seconds without a position with a fix before the receiver is restarted.", Pass::second,
     [](GpsSettings& s, int) { return &s.reset_timeout; }, nullptr},
    {"MOD_GPS_SNMP_REPORT_ENABLED", "1 sends SNMP traps with the position, 0 does not.", Pass::second,
     [](GpsSettings& s, int) { return &s.snmp.enabled; }, nullptr},
    {"MOD_GPS_SNMP_REPORT_IPADDR", "The address the SNMP traps go to.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.snmp.ipaddr; }},
    {"MOD_GPS_SNMP_REPORT_PERIOD", "Seconds between traps while moving, at most 86400; 0: one each update.",
     Pass::second, [](GpsSettings& s, int) { return &s.snmp.period; }, nullptr, nullptr, kPeriodMax},
    {"MOD_GPS_SNMP_REPORT_PERIOD_HALT", "Seconds between traps while halted, at most 86400; 0: one each update.",
     Pass::second, [](GpsSettings& s, int) { return &s.snmp.period_halt; }, nullptr, nullptr, kPeriodMax},
    {"MOD_GPS_TIMESYNC_ENABLED", "1 sets the RTC and the system clock from GNSS time, 0 does not.", Pass::second,
     [](GpsSettings& s, int) { return &s.timesync.enabled; }, nullptr},
    {"MOD_GPS_TIMESYNC_PERIOD", "Seconds at least between two settings of the clock; below 60: off.", Pass::second,
     [](GpsSettings& s, int) { return &s.timesync.period; }, nullptr},
    {"MOD_GPS_GPSD_ENABLED", "1 sends every sentence over UDP to a local gpsd, 0 does not.", Pass::second,
     [](GpsSettings& s, int) { return &s.gpsd.enabled; }, nullptr},
    {"MOD_GPS_GPSD_PORT_INNER", "The local gpsd's UDP port on 127.0.0.1; 0: the feed is off.", Pass::second,
     [](GpsSettings& s, int) { return &s.gpsd.port; }, nullptr},
    {"MOD_GPS_GPSD_PORT_LISTEN", "Stored for other software of the router; the daemon does not act on it.",
     Pass::second, [](GpsSettings& s, int) { return &s.gpsd_listen_port; }, nullptr},
    {"MOD_GPS_STORE_PATH", "The fleet store's file on flash; empty: /opt/gps/var/fleet.db.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.store.path; }},
    {"MOD_GPS_STORE_SIZE", "KiB the fleet store may take on flash (64 at least); 0: memory only.", Pass::second,
     nullptr, [](GpsSettings& s, int) { return &s.store.size; }, "8192"},
    {"MOD_GPS_STORE_SYNC", "Seconds between commits to flash; 0 commits at every position.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.store.sync; }, "5"},
    {"MOD_GPS_MQTT_ENABLED", "1 publishes positions to an MQTT broker, 0 does not.", Pass::second,
     [](GpsSettings& s, int) { return &s.mqtt.enabled; }, nullptr},
    {"MOD_GPS_MQTT_HOST", "The broker's name or address; empty: the output stays off (logged).", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.mqtt.host; }},
    {"MOD_GPS_MQTT_PORT", "The broker's port; 0 or empty: 1883, or 8883 with TLS.", Pass::second,
     [](GpsSettings& s, int) { return &s.mqtt.port; }, nullptr},
    {"MOD_GPS_MQTT_TLS", "1 connects over TLS and checks the broker's certificate and host name.", Pass::second,
     [](GpsSettings& s, int) { return &s.mqtt.tls; }, nullptr},
    {"MOD_GPS_MQTT_CAFILE", "PEM file of the trusted CAs; empty: the router's CA bundle.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.mqtt.cafile; }},
    {"MOD_GPS_MQTT_CERTFILE", "Client certificate (PEM), for brokers that require mutual TLS.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.mqtt.certfile; }},
    {"MOD_GPS_MQTT_KEYFILE", "The client certificate's key (PEM).", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.mqtt.keyfile; }},
    {"MOD_GPS_MQTT_USERNAME", "User name at the broker; empty: none.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.mqtt.username; }},
    {"MOD_GPS_MQTT_PASSWORD", "Password at the broker, sent only with a user name.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.mqtt.password; }},
    {"MOD_GPS_MQTT_CLIENT_ID", "MQTT client id; empty: MOD_GPS_ROUTER_ID_STRING, else the host name.", Pass::second,
     nullptr, [](GpsSettings& s, int) { return &s.mqtt.client_id; }},
    {"MOD_GPS_MQTT_TOPIC", "Topic prefix; empty: gnss/ and the client id.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.mqtt.topic; }},
    {"MOD_GPS_MQTT_PERIOD", "Seconds between positions while moving; 1: every receiver cycle; 0: 5.", Pass::second,
     [](GpsSettings& s, int) { return &s.mqtt.period; }, nullptr, "5"},
    {"MOD_GPS_MQTT_PERIOD_HALT", "Seconds between positions while standing; 1: every cycle; 0: 60.", Pass::second,
     [](GpsSettings& s, int) { return &s.mqtt.period_halt; }, nullptr, "60"},
    {"MOD_GPS_MQTT_QOS", "QoS of the positions, the NMEA and the status: 0 or 1; empty: 1.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.mqtt.qos; }, "1"},
    {"MOD_GPS_MQTT_BACKLOG", "Positions kept while the broker cannot be reached; 0 keeps none.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.mqtt.backlog; }, "3600"},
    {"MOD_GPS_MQTT_NMEA", "1 also publishes each cycle's sentences.", Pass::second,
     [](GpsSettings& s, int) { return &s.mqtt.nmea; }, nullptr},
    {"MOD_GPS_MQTT_FORMAT", "The dialect of the positions: native (empty) or owntracks.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.fleet.mqtt_format; }},
    {"MOD_GPS_MQTT_TID", "OwnTracks tracker id, cut to 2 characters; empty: from the client id.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.fleet.mqtt_tid; }},
    {"MOD_GPS_MQTT_HA_DISCOVERY", "1 publishes Home Assistant discovery configs (retained), 0 does not.", Pass::second,
     [](GpsSettings& s, int) { return &s.fleet.mqtt_ha_discovery; }, nullptr},
    {"MOD_GPS_MQTT_HA_PREFIX", "Home Assistant's discovery prefix; empty: homeassistant.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.fleet.mqtt_ha_prefix; }},
    {"MOD_GPS_FLEET_MIN_DISTANCE", "Metres moved from the last position sent that send another; 0: off.", Pass::second,
     [](GpsSettings& s, int) { return &s.fleet.min_distance; }, nullptr},
    {"MOD_GPS_FLEET_MIN_ANGLE", "Degrees of course change that send a position while moving; 0: off.", Pass::second,
     [](GpsSettings& s, int) { return &s.fleet.min_angle; }, nullptr},
    {"MOD_GPS_HTTP_ENABLED", "1 sends positions to an HTTP(S) server in the OsmAnd protocol.", Pass::second,
     [](GpsSettings& s, int) { return &s.http.enabled; }, nullptr},
    {"MOD_GPS_HTTP_URL", "The server's http:// or https:// URL; empty: the output stays off (logged).", Pass::second,
     nullptr, [](GpsSettings& s, int) { return &s.http.url; }},
    {"MOD_GPS_HTTP_ID", "The device id sent; empty: MOD_GPS_ROUTER_ID_STRING, else the host name.", Pass::second,
     nullptr, [](GpsSettings& s, int) { return &s.http.id; }},
    {"MOD_GPS_HTTP_PERIOD", "Seconds between positions while moving; 1: every receiver cycle; 0: 5.", Pass::second,
     [](GpsSettings& s, int) { return &s.http.period; }, nullptr, "5"},
    {"MOD_GPS_HTTP_PERIOD_HALT", "Seconds between positions while standing; 1: every cycle; 0: 60.", Pass::second,
     [](GpsSettings& s, int) { return &s.http.period_halt; }, nullptr, "60"},
    {"MOD_GPS_HTTP_CAFILE", "PEM file of the CAs trusted for https://; empty: the router's CA bundle.", Pass::second,
     nullptr, [](GpsSettings& s, int) { return &s.http.cafile; }},
    {"MOD_GPS_HTTP_CERTFILE", "Client certificate (PEM), for servers that require mutual TLS.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.http.certfile; }},
    {"MOD_GPS_HTTP_KEYFILE", "The client certificate's key (PEM).", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.http.keyfile; }},
    {"MOD_GPS_HTTP_USERNAME", "User name for HTTP basic authentication; empty: none.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.http.username; }},
    {"MOD_GPS_HTTP_PASSWORD", "Password for HTTP basic authentication.", Pass::second, nullptr,
     [](GpsSettings& s, int) { return &s.http.password; }},
    {"MOD_GPS_HTTP_TIMEOUT", "Seconds one request may take before it counts as failed, at most 86400; 0: 10.",
     Pass::second, [](GpsSettings& s, int) { return &s.http.timeout; }, nullptr, "10", kPeriodMax},
    {"MOD_GPS_FLEET_USER", "The fleet process's user; empty: gnssd where it exists, else nobody.", Pass::second,
     nullptr, [](GpsSettings& s, int) { return &s.fleet_user; }},
};

constexpr bool is_stream_row(const KeyRow& row)
{
    return row.pass == Pass::streams;
}

// The key of a row for one stream (0 to 3; ignored for the other rows) into
// key; false when it does not fit, which cannot happen with the keys above.
bool row_key(const KeyRow& row, int stream, char (&key)[kKeySize])
{
    if (!is_stream_row(row))
        return std::snprintf(key, sizeof key, "%s", row.key) < kKeySize;
    const int n = std::snprintf(key, sizeof key, row.key, stream + 1);
    return n > 0 && n < kKeySize;
}

// Calls visit(row, stream) for every key in table order, the run of stream
// rows once per stream.
template <typename Visit>
void for_each_row(Visit visit)
{
    const KeyRow* const end = std::end(kKeys);
    for (const KeyRow* row = kKeys; row != end;) {
        if (!is_stream_row(*row)) {
            visit(*row, 0);
            ++row;
            continue;
        }
        const KeyRow* run_end = row;
        while (run_end != end && is_stream_row(*run_end))
            ++run_end;
        for (int i = 0; i < kRemoteSocketCount; ++i) {
            for (const KeyRow* r = row; r != run_end; ++r)
                visit(*r, i);
        }
        row = run_end;
    }
}

// The file is shared with other software of the router; only keys with this
// prefix are the service's.
constexpr char kKeyPrefix[] = "MOD_GPS_";
// Enough to tell an operator what is wrong without copying a whole line.
constexpr int kWarnTextMax = 64;
// Distinct unknown keys reported; a file full of them is reported this far.
constexpr int kUnknownKeysReported = 16;

// "%u" as the C library reads it on the router (32-bit unsigned long):
// leading white space and a sign are accepted, a minus negates modulo 2^32,
// a number too large for 32 bits reads as the largest value.
uint32_t parse_uint(const char* text)
{
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return 0;
    errno = 0;
    const unsigned long long magnitude = std::strtoull(p, nullptr, 10);
    if (errno == ERANGE || magnitude > UINT32_MAX)
        return UINT32_MAX;
    const auto v = static_cast<uint32_t>(magnitude);
    return negative ? 0U - v : v;
}

// A number of a row as it is in force: within the row's range.
uint32_t in_range(const KeyRow& row, uint32_t v)
{
    return row.max != 0 && v > row.max ? row.max : v;
}

// Calls visit(key, row) for every key the service reads, pass by pass.
template <typename Visit>
void for_each_key(Visit visit)
{
    for (Pass pass : {Pass::first, Pass::second, Pass::streams}) {
        for_each_row([&](const KeyRow& row, int stream) {
            char key[kKeySize];
            if (row.pass == pass && row_key(row, stream, key))
                visit(key, row);
        });
    }
}

bool is_known_key(const char* key)
{
    bool known = false;
    for_each_key([&](const char* name, const KeyRow&) { known = known || strcasecmp(name, key) == 0; });
    return known;
}

// A number as the file should hold it: decimal digits only, within 32 bits.
// An empty value is an unset one, not a wrong one.
bool is_plain_number(const char* value)
{
    std::size_t n = 0;
    for (; value[n] != '\0'; ++n) {
        if (!std::isdigit(static_cast<unsigned char>(value[n])))
            return false;
    }
    if (n == 0)
        return true;
    errno = 0;
    return std::strtoull(value, nullptr, 10) <= UINT32_MAX && errno != ERANGE;
}

// FNV-1a over the key without regard to case: keys match that way.
uint64_t key_hash(const char* key)
{
    uint64_t h = 14695981039346656037ULL;
    for (const char* p = key; *p != '\0'; ++p) {
        h ^= static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(*p)));
        h *= 1099511628211ULL;
    }
    return h;
}

// Bytes of the last line read, before its line end; above kLineSize - 1
// when the line was cut.
std::size_t g_line_bytes;

// Reads the next line into g_line without its line end and without its last
// quote and what trails it; the rest of a line longer than the buffer is
// skipped. The line ends at its line feed only: a string end inside it ends
// its text but never hides the line after it. False at the end of the file.
bool next_line(FILE* file)
{
    std::size_t n = 0, bytes = 0;
    int c = getc_unlocked(file);
    if (c == EOF)
        return false;
    // The rest of an overlong line is no line of its own: read as one, a
    // long router id could smuggle in any key.
    for (; c != EOF && c != '\n'; c = getc_unlocked(file), ++bytes) {
        if (n + 1 < sizeof g_line)
            g_line[n++] = static_cast<char>(c);
    }
    g_line[n] = '\0';
    g_line_bytes = bytes;
    if (char* cr = std::strchr(g_line, '\r'))
        *cr = '\0';
    // The closing quote and whatever trails it are no part of the value.
    if (char* quote = std::strrchr(g_line, '"'))
        *quote = '\0';
    return true;
}

// One warning per key of the service's prefix that it does not know (so the
// setting behind a misspelt key does not silently keep its default).
int warn_unknown_keys(FILE* file)
{
    uint64_t reported[kUnknownKeysReported];
    int count = 0;
    std::rewind(file);
    while (count < kUnknownKeysReported && next_line(file)) {
        char* eq = std::strchr(g_line, '=');
        if (!eq)
            continue;
        *eq = '\0';
        const char* name = g_line;
        while (*name == ' ' || *name == '\t')
            ++name;
        if (strncasecmp(name, kKeyPrefix, sizeof kKeyPrefix - 1) != 0 || is_known_key(g_line))
            continue;
        const uint64_t h = key_hash(g_line);
        bool seen = false;
        for (int i = 0; i < count && !seen; ++i)
            seen = reported[i] == h;
        if (seen)
            continue;
        reported[count++] = h;
        log_msg(LOG_WARNING, "settings: unknown key \"%.*s\" ignored", kWarnTextMax, g_line);
    }
    return count;
}

// One warning per numeric key whose value is not a plain number; the value
// is still read by the usual rules, and the warning says what it became.
int warn_bad_numbers(FILE* file)
{
    int count = 0;
    for_each_key([file, &count](const char* key, const KeyRow& row) {
        if (!row.number)
            return;
        std::rewind(file);
        const char* value = cfg_find(file, key);
        if (!value || is_plain_number(value))
            return;
        ++count;
        log_msg(LOG_WARNING, "settings: %s=\"%.*s\" is not a number, read as %u", key, kWarnTextMax, value,
                static_cast<unsigned>(in_range(row, parse_uint(value))));
    });
    return count;
}

// Position of a key in for_each_key order, or -1 for a key the service does
// not read.
constexpr int kKeySlots = 128;
int key_index(const char* name, char (&canonical)[kKeySize])
{
    int i = 0, found = -1;
    for_each_key([&](const char* key, const KeyRow&) {
        if (found < 0 && strcasecmp(key, name) == 0) {
            found = i;
            std::snprintf(canonical, sizeof canonical, "%s", key);
        }
        ++i;
    });
    return found < kKeySlots ? found : -1;
}

// Repeated keys reported; a file full of them is reported this far.
constexpr int kRepeatsReported = 16;

// Lines of the service's keys that do not say what they seem to: a key given
// again (its first line wins, so a line appended to change a setting would
// change nothing), and a line cut at the line buffer. Returns the repeats.
int warn_lines(FILE* file)
{
    unsigned first_line[kKeySlots] = {};
    int repeats = 0;
    std::rewind(file);
    for (unsigned line = 1; next_line(file); ++line) {
        char* eq = std::strchr(g_line, '=');
        if (!eq)
            continue;
        *eq = '\0';
        char key[kKeySize];
        const int k = key_index(g_line, key);
        if (k < 0)
            continue;
        if (first_line[k] != 0) {
            if (repeats++ < kRepeatsReported)
                log_msg(LOG_WARNING, "settings: %s is given twice: line %u is in force, line %u is ignored", key,
                        first_line[k], line);
            continue;
        }
        first_line[k] = line;
        if (g_line_bytes >= sizeof g_line) {
            const char* value = eq[1] == '"' ? eq + 2 : eq + 1;
            log_msg(LOG_WARNING,
                    "settings: %s on line %u is longer than the %zu bytes a line may hold, read as \"%.*s\"", key, line,
                    sizeof g_line - 1, kWarnTextMax, value);
        }
    }
    return repeats;
}

// What the identification sentence carries of the router id.
constexpr std::size_t kRouterIdUsed = 1014;

// A text longer than the field that takes it is cut there.
void warn_long_text(const char* key, const char* value, std::size_t used)
{
    const std::size_t len = value ? std::strlen(value) : 0;
    if (len > used)
        log_msg(LOG_WARNING, "settings: %s is %zu bytes long, only its first %zu are used", key, len, used);
}

void warn_values(const GpsSettings& s)
{
    warn_long_text("MOD_GPS_ROUTER_ID_STRING", s.router_id, kRouterIdUsed);
    warn_long_text("MOD_GPS_MQTT_HOST", s.mqtt.host, sizeof MqttConfig::host - 1);
    warn_long_text("MOD_GPS_MQTT_CAFILE", s.mqtt.cafile, sizeof MqttConfig::cafile - 1);
    warn_long_text("MOD_GPS_MQTT_CLIENT_ID", s.mqtt.client_id, sizeof MqttConfig::client_id - 1);
    warn_long_text("MOD_GPS_MQTT_TOPIC", s.mqtt.topic, sizeof MqttConfig::topic - 1);
    const char* qos = s.mqtt.qos ? s.mqtt.qos : "";
    if (qos[0] != '\0' && std::strcmp(qos, "0") != 0 && std::strcmp(qos, "1") != 0)
        log_msg(LOG_WARNING, "settings: MOD_GPS_MQTT_QOS=\"%.*s\" is not 0 or 1, 1 is used", kWarnTextMax, qos);
}

// An enabled stream that cannot run is left off; the operator learns why.
void warn_stream(const RemoteSocketSettings& r, const char* name, const char* prefix)
{
    if (const char* fault = settings_stream_fault(&r))
        log_msg(LOG_WARNING, "settings: %s is enabled but has %s (%s), it stays off", name, fault, prefix);
}

}  // namespace

const char* cfg_find(FILE* file, const char* key)
{
    while (next_line(file)) {
        char* eq = std::strchr(g_line, '=');
        if (!eq)
            continue;
        *eq = '\0';
        if (strcasecmp(g_line, key) != 0)
            continue;
        char* value = eq + 1;
        if (*value == '"')
            ++value;
        return value;
    }
    return nullptr;
}

uint32_t cfg_get_uint(FILE* file, const char* key)
{
    if (!file)
        return 0;
    std::rewind(file);
    const char* value = cfg_find(file, key);
    return value ? parse_uint(value) : 0;
}

char* cfg_get_str(FILE* file, const char* key)
{
    if (!file)
        return copy_text("");
    std::rewind(file);
    const char* value = cfg_find(file, key);
    return copy_text(value ? value : "");
}

namespace {

// A link that leads nowhere is there, and is reported; nothing at the path
// at all is only a missing file.
bool link_at_settings_path()
{
    struct stat st;
    return plat_lstat(kSettingsPath, &st) == 0;
}

// A missing file is no error: every key then reads as its default. A file
// that is there but cannot be read would turn every output off without a
// word, so that is said, with the reason.
void report_unreadable(int saved)
{
    const char* reason = saved == EINVAL ? "not a regular file" : std::strerror(saved);
    log_msg(LOG_ERR, "cannot read %s: %s; using defaults", kSettingsPath, reason);
}

}  // namespace

void settings_load(GpsSettings* s, SettingsFindings* findings)
{
    FILE* file = plat_fopen_file(kSettingsPath);
    const int open_error = file ? 0 : errno;
    if (!file && open_error == ENOENT && !link_at_settings_path())
        log_msg(LOG_NOTICE, "settings: %s not found, defaults used", kSettingsPath);
    else if (!file)
        report_unreadable(open_error);
    SettingsFindings found{};
    found.missing = !file && open_error == ENOENT && !link_at_settings_path();
    found.unreadable = !file && !found.missing;
    for_each_row([s, file](const KeyRow& row, int stream) {
        char key[kKeySize];
        if (!row_key(row, stream, key))
            return;
        if (row.number)
            *row.number(*s, stream) = in_range(row, cfg_get_uint(file, key));
        else
            *row.text(*s, stream) = cfg_get_str(file, key);
    });
    // The local gpsd is always fed over UDP on the loopback, once a second.
    s->gpsd.ipaddr = copy_text("127.0.0.1");
    s->gpsd.protocol = 1;
    s->gpsd.period = 1;
    s->gpsd.period_halt = 1;
    if (file) {
        found.unknown_keys = warn_unknown_keys(file);
        found.bad_numbers = warn_bad_numbers(file);
        found.repeated_keys = warn_lines(file);
        std::fclose(file);
    }
    warn_values(*s);
    for (int i = 0; i < kRemoteSocketCount; ++i) {
        char name[8], prefix[kKeySize];
        std::snprintf(name, sizeof name, "RSOCK%d", i + 1);
        std::snprintf(prefix, sizeof prefix, "MOD_GPS_RSOCK%d_*", i + 1);
        warn_stream(s->rsock[i], name, prefix);
    }
    warn_stream(s->gpsd, "gpsd feed", "MOD_GPS_GPSD_PORT_INNER");
    if (findings)
        *findings = found;
}

const char* settings_stream_fault(const RemoteSocketSettings* r)
{
    if (!r || !r->enabled)
        return nullptr;
    if (!r->ipaddr || !r->ipaddr[0])
        return "no address";
    if ((r->port & 0xFFFFu) == 0)
        return "no port";
    if (!r->period)
        return "no period";
    if (!r->period_halt)
        return "no halt period";
    return nullptr;
}

namespace {

// The MQTT keys whose absent, empty or 0 value stands for another: check
// shows the value the service uses. nullptr for every other key.
const char* mqtt_in_force(const GpsSettings& s, const char* key, char (&buf)[16])
{
    const MqttSettings& m = s.mqtt;
    auto number = [&buf](unsigned long v) {
        std::snprintf(buf, sizeof buf, "%lu", v);
        return buf;
    };
    if (std::strcmp(key, "MOD_GPS_MQTT_PORT") == 0)
        return number((m.port & 0xFFFFu) ? m.port & 0xFFFFu : m.tls ? 8883 : 1883);
    if (std::strcmp(key, "MOD_GPS_MQTT_PERIOD") == 0)
        return number(m.period ? m.period : 5);
    if (std::strcmp(key, "MOD_GPS_MQTT_PERIOD_HALT") == 0)
        return number(m.period_halt ? m.period_halt : 60);
    if (std::strcmp(key, "MOD_GPS_MQTT_QOS") == 0)
        return number(m.qos && std::strcmp(m.qos, "0") == 0 ? 0 : 1);
    if (std::strcmp(key, "MOD_GPS_MQTT_BACKLOG") == 0)
        return number(m.backlog && m.backlog[0] ? std::strtoul(m.backlog, nullptr, 10) : kMqttBacklogDefault);
    return nullptr;
}

}  // namespace

void settings_print(const GpsSettings* s, FILE* out)
{
    auto num = [out](const char* key, uint32_t v) { std::fprintf(out, "%s=%u\n", key, static_cast<unsigned>(v)); };
    auto text = [out](const char* key, const char* v) { std::fprintf(out, "%s=\"%s\"\n", key, v ? v : ""); };
    // The rows only read through the record: print never writes to it.
    auto& record = const_cast<GpsSettings&>(*s);
    for_each_row([&](const KeyRow& row, int stream) {
        char key[kKeySize];
        if (!row_key(row, stream, key))
            return;
        const char* value = row.text ? *row.text(record, stream) : nullptr;
        char buf[16];
        if (const char* in_force = mqtt_in_force(*s, key, buf))
            std::fprintf(out, "%s=%s\n", key, in_force);
        else if (row.number)
            num(key, *row.number(record, stream));
        else if ((std::strcmp(key, "MOD_GPS_MQTT_PASSWORD") == 0 || std::strcmp(key, "MOD_GPS_HTTP_PASSWORD") == 0) &&
                 value && value[0] != '\0')
            // What check prints ends up in terminals and support tickets.
            text(key, "(set)");
        else if (std::strcmp(key, "MOD_GPS_MQTT_CAFILE") == 0 && (!value || value[0] == '\0'))
            text(key, kMqttCaFile);
        else
            text(key, value);
    });
}

void settings_platform(GpsSettings* s, int platform_id)
{
    if (platform_id == kSerialReceiverPlatformId)
        s->ep2_enabled = 0;
}

void settings_free(GpsSettings* s)
{
    for_each_row([s](const KeyRow& row, int stream) {
        if (row.text)
            free_text(row.text(*s, stream));
    });
    free_text(&s->gpsd.ipaddr);
}

bool settings_key(int index, SettingsKey* out)
{
    int i = 0;
    bool found = false;
    for_each_row([&](const KeyRow& row, int stream) {
        if (i++ != index || found)
            return;
        found = row_key(row, stream, out->name);
        out->number = row.number != nullptr;
        out->quoted = row.text && !(row.def && std::isdigit(static_cast<unsigned char>(row.def[0])));
        out->def = row.def ? row.def : row.number ? "0" : "";
        out->stream = is_stream_row(row);
        out->help = row.help;
    });
    return found;
}
