// SPDX-License-Identifier: BSD-2-Clause
// The control shell's "status" command: receiver counters and the JSON report.
#include "outputs/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nmea/interpret.h"
#include "nmea/report.h"
#include "outputs/fleet.h"
#include "outputs/mqtt.h"
#include "outputs/rsock.h"
#include "outputs/sock.h"
#include "platform/clock.h"
#include "receiver/link.h"

namespace {

// Longest host name put into the report (a DNS name has at most 253).
constexpr std::size_t kHostShown = 255;
// One whole report: five streams and the receiver, hosts escaped.
constexpr std::size_t kStatusSize = 16384;

// A stamp of receiver_stats: monotonic milliseconds + 1, so that 0 stays
// "never".
int64_t stamp_now()
{
    return monotonic_ms() + 1;
}

// Tenths of a second from a stamp to now, as the report shows an age.
unsigned long long tenths_since(int64_t stamp, int64_t now)
{
    return now > stamp ? static_cast<unsigned long long>(now - stamp) / 100 : 0;
}

// Appends to a fixed buffer; whatever does not fit is cut.
struct Json {
    char* buf;
    std::size_t size;
    std::size_t len;

    void add(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (len + 1 >= size)
            return;
        va_list ap;
        va_start(ap, format);
        const int n = std::vsnprintf(buf + len, size - len, format, ap);
        va_end(ap);
        if (n > 0)
            len = len + static_cast<std::size_t>(n) < size ? len + static_cast<std::size_t>(n) : size - 1;
    }
    // A JSON string, or null for none.
    void text(const char* s, std::size_t max = kHostShown)
    {
        if (!s) {
            add("null");
            return;
        }
        add("\"");
        // Cut on a character boundary, never inside one.
        for (std::size_t i = 0; s[i];) {
            const auto* at = reinterpret_cast<const unsigned char*>(s + i);
            const std::size_t n = utf8_length(at);
            if (i + (n ? n : 1) > max)
                break;
            if (n == 0)
                add("\\u%04x", at[0]);  // not UTF-8: the byte read as its code point
            else if (n > 1)
                add("%.*s", static_cast<int>(n), s + i);
            else if (at[0] == '"' || at[0] == '\\')
                add("\\%c", at[0]);
            else if (at[0] < 0x20 || at[0] == 0x7F)
                add("\\u%04x", at[0]);
            else
                add("%c", at[0]);
            i += n ? n : 1;
        }
        add("\"");
    }
    // Seconds since a stamp of receiver_stats, or null for never.
    void age(int64_t stamp, int64_t now)
    {
        if (stamp == 0) {
            add("null");
            return;
        }
        const unsigned long long ds = tenths_since(stamp, now);
        add("%llu.%llu", ds / 10, ds % 10);
    }
};

// The report's slots and ours have the same widths; an item is never cut.
template <std::size_t N>
void copy_item(char (&to)[N], const char* from)
{
    std::snprintf(to, N, "%.*s", static_cast<int>(N - 1), from);
}

// An NMEA latitude or longitude (ddmm.mmmm or dddmm.mmmm, hemisphere
// letter) in signed decimal degrees; false when the items are not one.
bool nmea_degrees(const char* item, const char* hemisphere, double* out)
{
    if (!item[0] || !std::strchr("NSEW", hemisphere[0]) || !hemisphere[0])
        return false;
    char* end = nullptr;
    const double v = std::strtod(item, &end);
    if (end == item || *end != '\0' || v < 0)
        return false;
    const double whole = static_cast<double>(static_cast<long>(v / 100));
    const double deg = whole + (v - whole * 100) / 60;
    *out = hemisphere[0] == 'S' || hemisphere[0] == 'W' ? -deg : deg;
    return true;
}

// What the status report shows of the receiver, copied under its lock.
struct ReceiverView {
    char family[sizeof ReceiverStats::family];
    char port[sizeof ReceiverStats::port];
    uint32_t sentences;
    int64_t last_sentence;
    int64_t last_fix;
    char fix_time[sizeof ReceiverStats::fix_time];
    char fix_quality[sizeof ReceiverStats::fix_quality];
    bool position;  // lat and lon hold one
    double lat;
    double lon;
};

ReceiverView receiver_view(ReceiverStats* r)
{
    ReceiverView v{};
    if (!r)
        return v;
    pthread_mutex_lock(&r->lock);
    std::memcpy(v.family, r->family, sizeof v.family);
    std::memcpy(v.port, r->port, sizeof v.port);
    std::memcpy(v.fix_time, r->fix_time, sizeof v.fix_time);
    std::memcpy(v.fix_quality, r->fix_quality, sizeof v.fix_quality);
    v.position = nmea_degrees(r->latitude, r->lat_hemisphere, &v.lat) &&
                 nmea_degrees(r->longitude, r->lon_hemisphere, &v.lon);
    pthread_mutex_unlock(&r->lock);
    v.sentences = __atomic_load_n(&r->sentences, __ATOMIC_RELAXED);
    v.last_sentence = __atomic_load_n(&r->last_sentence, __ATOMIC_RELAXED);
    v.last_fix = __atomic_load_n(&r->last_fix, __ATOMIC_RELAXED);
    return v;
}

// The streams by the names their settings keys carry.
constexpr const char* kStreamNames[kStatusStreams] = {"RSOCK1", "RSOCK2", "RSOCK3", "RSOCK4", "gpsd"};

double uptime_seconds(const StatusSources* src)
{
    return src ? static_cast<double>(monotonic_ms() - src->started_ms) / 1000 : 0;
}

}  // namespace

// Length of the well-formed UTF-8 character at s (1 to 4 bytes), 0 when
// the bytes there are not one: a stray continuation byte, an overlong form,
// a surrogate, a code point beyond U+10FFFF or a sequence cut short (the
// string's end fails the continuation test).
std::size_t utf8_length(const unsigned char* s)
{
    const unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        lo = c == 0xE0 ? 0xA0 : lo;
        hi = c == 0xED ? 0x9F : hi;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        lo = c == 0xF0 ? 0x90 : lo;
        hi = c == 0xF4 ? 0x8F : hi;
    } else {
        return 0;
    }
    if (s[1] < lo || s[1] > hi)
        return 0;
    for (std::size_t i = 2; i < n; ++i)
        if ((s[i] & 0xC0) != 0x80)
            return 0;
    return n;
}

void receiver_stats_link(ReceiverStats* stats, const ReceiverLink* link)
{
    if (!stats)
        return;
    const char* family = "";
    const char* port = "";
    if (link) {
        port = link->device_path ? link->device_path : "";
        if (link->driver && link->driver->ops && link->driver->ops->name)
            family = link->driver->ops->name;
    }
    pthread_mutex_lock(&stats->lock);
    std::snprintf(stats->family, sizeof stats->family, "%s", family);
    std::snprintf(stats->port, sizeof stats->port, "%s", port);
    pthread_mutex_unlock(&stats->lock);
}

void receiver_stats_sentence(ReceiverStats* stats, const char* data, std::size_t length, const PositionReport* report)
{
    if (!stats || !data || !report)
        return;
    const int64_t now = stamp_now();
    __atomic_add_fetch(&stats->sentences, 1, __ATOMIC_RELAXED);
    __atomic_store_n(&stats->last_sentence, now, __ATOMIC_RELAXED);
    // The report holds what this sentence stored: a GGA or GNS with a fix
    // quality above 0, or an RMC whose status is A.
    const PositionReport& r = *report;
    bool fix = false;
    const SentenceKind kind = nmea_kind(data, length);
    if (r.updated && (kind == SentenceKind::gga || kind == SentenceKind::gns))
        fix = r.fix_quality[0] && r.fix_quality[0] != '0' && r.fix_quality[0] != 'N';
    else if (r.updated && kind == SentenceKind::rmc)
        fix = r.rmc_status[0] == 'A';
    if (!fix)
        return;
    __atomic_store_n(&stats->last_fix, now, __ATOMIC_RELAXED);
    const bool gga = r.fix_quality[0] && kind != SentenceKind::rmc;
    // An RMC of the same time as the last GGA or GNS with a fix is the same
    // fix: it keeps that sentence's fix quality.
    const bool same_fix = !gga && r.fix_quality[0] && r.fix_quality[0] != '0' && r.fix_quality[0] != 'N' &&
                          r.rmc_time[0] && std::strcmp(r.fix_time, r.rmc_time) == 0;
    pthread_mutex_lock(&stats->lock);
    copy_item(stats->fix_time, gga ? r.fix_time : r.rmc_time);
    copy_item(stats->latitude, gga ? r.latitude : r.rmc_latitude);
    copy_item(stats->lat_hemisphere, gga ? r.lat_hemisphere : r.rmc_lat_hemisphere);
    copy_item(stats->longitude, gga ? r.longitude : r.rmc_longitude);
    copy_item(stats->lon_hemisphere, gga ? r.lon_hemisphere : r.rmc_lon_hemisphere);
    copy_item(stats->fix_quality, gga || same_fix ? r.fix_quality : "");
    pthread_mutex_unlock(&stats->lock);
}

std::size_t shell_status_text(const StatusSources* src, char* buf, std::size_t size)
{
    if (!buf || size == 0)
        return 0;
    Json j{buf, size, 0};
    buf[0] = '\0';
    j.add("{\"version\":");
    j.text(src ? src->version : nullptr);
    j.add(",\"uptime\":%.1f,\"streams\":[", uptime_seconds(src));
    for (int i = 0; src && i < kStatusStreams; ++i) {
        const RemoteSocketSettings* s = src->settings[i];
        RemoteSocket* rs = src->sockets ? src->sockets[i] : nullptr;
        const RsockStatus st = rsock_status(rs);
        j.add("%s{\"name\":\"%s\",\"enabled\":%s,\"host\":", i ? "," : "", kStreamNames[i], rs ? "true" : "false");
        j.text(s && s->ipaddr ? s->ipaddr : "");
        j.add(",\"port\":%u,\"protocol\":\"%s\",\"state\":\"%s\"", s ? s->port & 0xFFFFu : 0,
              s && s->protocol == 1 ? "udp" : "tcp", st.state);
        j.add(",\"address\":");
        j.text(st.address[0] ? st.address : nullptr);
        j.add(",\"bursts_sent\":%llu,\"bytes_sent\":%llu,\"bursts_dropped\":%llu,\"reconnects\":%llu",
              static_cast<unsigned long long>(st.bursts_sent), static_cast<unsigned long long>(st.bytes_sent),
              static_cast<unsigned long long>(st.bursts_dropped), static_cast<unsigned long long>(st.reconnects));
        j.add(",\"last_error\":");
        j.text(st.last_error[0] ? st.last_error : nullptr);
        j.add(",\"backlog\":%u,\"backlog_dropped\":%llu", st.backlog,
              static_cast<unsigned long long>(st.backlog_dropped));
        j.add(",\"bursts_skipped\":%llu,\"bursts_lost\":%llu}", static_cast<unsigned long long>(st.bursts_skipped),
              static_cast<unsigned long long>(st.bursts_lost));
    }
    // The fleet feed: where it publishes and how far it got.
    const MqttSettings* ms = src ? src->mqtt_settings : nullptr;
    MqttConfig mc{};
    const char* fault = nullptr;
    const bool configured = ms && mqtt_config(ms, nullptr, nullptr, &mc, &fault);
    FleetReport fleet;
    bool stale = false;
    fleet_status(src ? src->fleet : nullptr, &fleet, &stale);
    const MqttStatus& mst = fleet.mqtt;
    // The fleet process also runs for the HTTP output alone.
    j.add("],\"mqtt\":{\"enabled\":%s,\"host\":", src && src->fleet && configured ? "true" : "false");
    j.text(ms && ms->host ? ms->host : "");
    j.add(",\"port\":%u,\"tls\":%s,\"state\":\"%s\"",
          configured ? mc.port
          : ms       ? ms->port & 0xFFFFu
                     : 0,
          ms && ms->tls ? "true" : "false", mst.state);
    j.add(",\"published\":%llu,\"acknowledged\":%llu,\"dropped\":%llu,\"backlog\":%u,\"last_error\":",
          static_cast<unsigned long long>(mst.published), static_cast<unsigned long long>(mst.acknowledged),
          static_cast<unsigned long long>(mst.dropped), mst.backlog);
    j.text(mst.last_error[0] ? mst.last_error : nullptr);
    // Said when the fleet process has not reported for a while: the figures are its last.
    j.add(stale ? ",\"stale\":true}" : "}");
    j.add("%s", fleet.json);
    const ReceiverView r = receiver_view(src ? src->receiver : nullptr);
    j.add(",\"receiver\":{\"family\":");
    j.text(r.family[0] ? r.family : nullptr);
    j.add(",\"data_port\":");
    j.text(r.port[0] ? r.port : nullptr);
    const int64_t now = stamp_now();
    j.add(",\"sentences\":%u,\"last_sentence_age\":", r.sentences);
    j.age(r.last_sentence, now);
    j.add(",\"last_fix_age\":");
    j.age(r.last_fix, now);
    j.add("},\"position\":");
    if (r.position) {
        j.add("{\"time\":");
        j.text(r.fix_time);
        j.add(",\"lat\":%.6f,\"lon\":%.6f,\"fix\":", r.lat, r.lon);
        j.text(r.fix_quality[0] ? r.fix_quality : nullptr);
        j.add("}");
    } else {
        j.add("null");
    }
    j.add("}\n");
    return j.len;
}

namespace {

// A text from outside (a host name, an error) on a person's terminal: no
// control characters.
void add_plain(Json& j, const char* s, std::size_t max)
{
    for (std::size_t i = 0; s[i] && i < max; ++i)
        j.add("%c", static_cast<unsigned char>(s[i]) < 0x20 || s[i] == 0x7F ? '?' : s[i]);
}

// HOST:PORT as an address is written, an IPv6 address in brackets.
void add_server(Json& j, const char* host, unsigned port)
{
    const bool brackets = host[0] != '[' && sock_is_ipv6_literal(host);
    j.add("%s", brackets ? "[" : "");
    add_plain(j, host, kHostShown);
    j.add("%s:%u", brackets ? "]" : "", port);
}

}  // namespace

std::size_t shell_status_summary(const StatusSources* src, char* buf, std::size_t size)
{
    if (!buf || size == 0)
        return 0;
    Json j{buf, size, 0};
    buf[0] = '\0';
    const auto up = static_cast<unsigned long long>(uptime_seconds(src));
    j.add("gnssd %s, up %llud %02llu:%02llu:%02llu\n", src && src->version ? src->version : "(unknown version)",
          up / 86400, up / 3600 % 24, up / 60 % 60, up % 60);
    const ReceiverView r = receiver_view(src ? src->receiver : nullptr);
    const int64_t now = stamp_now();
    if (r.family[0] || r.port[0])
        j.add("receiver: %s on %s, %u sentences", r.family[0] ? r.family : "?", r.port[0] ? r.port : "?", r.sentences);
    else
        j.add("receiver: none open, %u sentences", r.sentences);
    if (r.last_sentence) {
        const unsigned long long ds = tenths_since(r.last_sentence, now);
        j.add(", last %llu.%llu s ago", ds / 10, ds % 10);
    }
    j.add("\n");
    if (r.position) {
        j.add("position: %.6f %.6f at %s UTC", r.lat, r.lon, r.fix_time[0] ? r.fix_time : "?");
        if (r.fix_quality[0])
            j.add(", fix %s", r.fix_quality);
        const unsigned long long ds = tenths_since(r.last_fix, now);
        j.add(", %llu.%llu s ago\n", ds / 10, ds % 10);
    } else {
        j.add("position: no fix yet\n");
    }
    for (int i = 0; src && i < kStatusStreams; ++i) {
        const RemoteSocketSettings* s = src->settings[i];
        RemoteSocket* rs = src->sockets ? src->sockets[i] : nullptr;
        j.add("%s: ", kStreamNames[i]);
        if (!rs) {
            j.add("off\n");
            continue;
        }
        const RsockStatus st = rsock_status(rs);
        j.add("%s ", s && s->protocol == 1 ? "udp" : "tcp");
        add_server(j, s && s->ipaddr ? s->ipaddr : "", s ? s->port & 0xFFFFu : 0);
        j.add(" %s, %llu bursts sent (%llu bytes), %llu skipped, %llu lost, %llu reconnects", st.state,
              static_cast<unsigned long long>(st.bursts_sent), static_cast<unsigned long long>(st.bytes_sent),
              static_cast<unsigned long long>(st.bursts_skipped), static_cast<unsigned long long>(st.bursts_lost),
              static_cast<unsigned long long>(st.reconnects));
        if (st.backlog || st.backlog_dropped)
            j.add(", backlog %u (%llu given up)", st.backlog, static_cast<unsigned long long>(st.backlog_dropped));
        if (st.last_error[0]) {
            j.add(", last error: ");
            add_plain(j, st.last_error, sizeof st.last_error);
        }
        j.add("\n");
    }
    // The fleet feed, in the streams' words.
    const MqttSettings* ms = src ? src->mqtt_settings : nullptr;
    if (!src || !src->fleet || !ms) {
        j.add("mqtt: off\n");
        return j.len;
    }
    MqttConfig mc{};
    const char* fault = nullptr;
    const bool configured = mqtt_config(ms, nullptr, nullptr, &mc, &fault);
    const unsigned port = configured ? mc.port : ms->port & 0xFFFFu;
    FleetReport fleet;
    bool stale = false;
    fleet_status(src->fleet, &fleet, &stale);
    if (!configured && ms->enabled == 0) {
        // The fleet process runs for the HTTP output alone.
        j.add("mqtt: off\n%s", fleet.text);
        return j.len;
    }
    const MqttStatus& mst = fleet.mqtt;
    j.add("mqtt: %s ", ms->tls ? "tls" : "tcp");
    add_server(j, ms->host ? ms->host : "", port);
    j.add(" %s, %llu published, %llu acknowledged, %llu dropped", mst.state,
          static_cast<unsigned long long>(mst.published), static_cast<unsigned long long>(mst.acknowledged),
          static_cast<unsigned long long>(mst.dropped));
    if (mst.backlog)
        j.add(", backlog %u", mst.backlog);
    if (mst.last_error[0]) {
        j.add(", last error: ");
        add_plain(j, mst.last_error, sizeof mst.last_error);
    }
    if (stale)
        j.add(" (stale: the fleet process has not reported for a while)");
    j.add("\n%s", fleet.text);
    return j.len;
}

extern "C" int shell_status(void* context, const char* args, int fd)
{
    char text[kStatusSize];
    const auto* src = static_cast<const StatusSources*>(context);
    const bool summary = args && std::strcmp(args, "text") == 0;
    const std::size_t n = summary ? shell_status_summary(src, text, sizeof text)
                                  : shell_status_text(src, text, sizeof text);
    sock_send_text(fd, text, n);
    return 0;
}
