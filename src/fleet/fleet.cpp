// SPDX-License-Identifier: BSD-2-Clause
// The fleet process: started by the service with its end of a socket pair,
// it reads what it needs while it still runs as root, gives root up and then
// publishes the reads the service hands it, reporting back its state.
#include "fleet/fleet.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/settings.h"
#include "fleet/dialects.h"
#include "fleet/http.h"
#include "fleet/mqtt.h"
#include "fleet/position.h"
#include "fleet/sampler.h"
#include "fleet/store.h"
#include "outputs/fleet.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/stop.h"
#include "platform/worker.h"

namespace {

#ifdef GNSSD_VERSION
constexpr const char* kVersion = GNSSD_VERSION;
#else
constexpr const char* kVersion = "unknown";
#endif

// Silence that ends a receiver cycle, and the age at which a cycle is
// complete even without one (a replay, a receiver faster than 3 Hz).
constexpr long long kJoinGapMs = 300;
constexpr long long kCycleAgeMs = 1000;
// How long the loop waits for reads between looks at the HTTP output and the store.
constexpr int kLoopMs = 100;
// A cycle's sentences kept for the NMEA topic.
constexpr std::size_t kCycleBytes = 65536;
// How often the service hears how the feed is doing.
constexpr long long kReportMs = 1000;
// A stop ends the process within this, whatever a library call is doing.
constexpr long kStopLimitMs = 900;

void install_signals()
{
    plat_stop_on_signals();
    signal(SIGPIPE, SIG_IGN);
}

// The user the process becomes: the one the settings name, else "gnssd"
// where the router has it, else "nobody".
const passwd* fleet_user(const char* wanted)
{
    if (wanted != nullptr && wanted[0] != '\0') {
        const passwd* pw = getpwnam(wanted);
        if (pw == nullptr)
            log_msg(LOG_ERR, "fleet: no user %s (MOD_GPS_FLEET_USER)", wanted);
        return pw;
    }
    const passwd* pw = getpwnam("gnssd");
    return pw != nullptr ? pw : getpwnam("nobody");
}

// Makes the working directory the user's own, moves into it and gives up
// root for good. Only what was opened before stays reachable: files below a
// directory the user may not enter are reached relative to the working one.
bool drop_root(const char* wanted, const char* work_dir)
{
    char dir[kPlatPathMax];
    const char* path = plat_path(work_dir, dir, sizeof dir);
    if (geteuid() != 0) {
        // Already someone else (a test, a supervisor that started it so): keep going as that.
        if (mkdir(path, 0700) != 0 && errno != EEXIST)
            log_msg(LOG_WARNING, "fleet: cannot make %s: %s", work_dir, std::strerror(errno));
        if (chdir(path) != 0)
            log_msg(LOG_WARNING, "fleet: cannot work in %s: %s", work_dir, std::strerror(errno));
        return true;
    }
    const passwd* pw = fleet_user(wanted);
    if (pw == nullptr || pw->pw_uid == 0) {
        log_msg(LOG_ERR, "fleet: no unprivileged user to run as: not publishing");
        return false;
    }
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    if (mkdir(path, 0700) != 0 && errno != EEXIST)
        log_msg(LOG_WARNING, "fleet: cannot make %s: %s", work_dir, std::strerror(errno));
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && (st.st_uid != uid || st.st_gid != gid) &&
        lchown(path, uid, gid) != 0)
        log_msg(LOG_WARNING, "fleet: cannot give %s to its user: %s", work_dir, std::strerror(errno));
    if (chdir(path) != 0)
        log_msg(LOG_WARNING, "fleet: cannot work in %s: %s", work_dir, std::strerror(errno));
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        log_msg(LOG_ERR, "fleet: cannot give up root: %s", std::strerror(errno));
        return false;
    }
    // Never back: no set-uid program it could run would raise it again either.
    if (setuid(0) == 0) {
        log_msg(LOG_ERR, "fleet: still root after giving it up: not publishing");
        return false;
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    return true;
}

// One receiver cycle as the service's reads made it.
struct Cycle {
    bool used;
    std::string nmea;
    PositionReport report;
    int moving;
    long long started_ms;
    long long last_ms;
    char time[sizeof PositionReport::fix_time];  // the latest receiver time its reads carried
};

// Everything the fleet process holds.
struct Feed {
    GpsSettings settings;
    pthread_mutex_t store_lock;  // the store is shared with the MQTT thread
    FleetStore* store;
    MqttOutput* mqtt;
    HttpOutput* http;
    HttpConfig http_cfg;
    FleetSampling mqtt_sampling, http_sampling;
    FleetSampler mqtt_sampler, http_sampler;
    FleetFormat format;
    char tid[3];
    uint64_t http_after;  // the position the HTTP output has on its way
    Cycle cycle;
    char fix_time[sizeof PositionReport::fix_time];  // of the report the last read left
    char rmc_time[sizeof PositionReport::rmc_time];
    char buf[sizeof(FleetRead) + kFleetNmeaMax];
};

// Receivers write the time of GGA and RMC with their own number of decimals.
bool same_time(const char* a, const char* b)
{
    const double d = std::strtod(a, nullptr) - std::strtod(b, nullptr);
    return d > -0.0005 && d < 0.0005;
}

// The receiver time of a position this read stored anew, "" when it stored
// none; the feed remembers the report's times for the next read.
void stored_time(Feed* f, const PositionReport& r, char* out, std::size_t size)
{
    out[0] = '\0';
    if (r.rmc_time[0] && std::strcmp(r.rmc_time, f->rmc_time) != 0)
        std::snprintf(out, size, "%s", r.rmc_time);
    if (r.fix_time[0] && std::strcmp(r.fix_time, f->fix_time) != 0)
        std::snprintf(out, size, "%s", r.fix_time);
    std::memcpy(f->fix_time, r.fix_time, sizeof f->fix_time);
    std::memcpy(f->rmc_time, r.rmc_time, sizeof f->rmc_time);
}

// The position of a finished cycle goes to the store for every output whose
// pace wants it: as the MQTT dialect has it, the Home Assistant attributes
// and the OsmAnd query, NUL between them.
void handle_cycle(Feed* f, const Cycle& c)
{
    mqtt_nmea(f->mqtt, c.nmea.data(), c.nmea.size());
    FleetPosition pos;
    if (!fleet_position(&c.report, c.moving, &pos))
        return;
    uint32_t targets = 0;
    if (f->mqtt && fleet_sampler_offer(&f->mqtt_sampler, f->mqtt_sampling, pos, c.started_ms) != FleetSend::no &&
        mqtt_keeps(f->mqtt))
        targets |= kStoreMqtt;
    if (f->http && fleet_sampler_offer(&f->http_sampler, f->http_sampling, pos, c.started_ms) != FleetSend::no)
        targets |= kStoreHttp;
    if (targets == 0)
        return;
    char payload[kStorePayloadMax];
    std::size_t n = 0;
    pthread_mutex_lock(&f->store_lock);
    const uint64_t seq = store_peek_seq(f->store);
    if (targets & kStoreMqtt) {
        const MqttConfig* mc = mqtt_config_of(f->mqtt);
        n = f->format == FleetFormat::owntracks ? fleet_owntracks_location(pos, f->tid, payload, sizeof payload)
                                                : fleet_native_json(pos, mc->client_id, seq, payload, sizeof payload);
        if (n == 0)
            targets &= ~kStoreMqtt;  // without what its dialect must carry
    }
    payload[n++] = '\0';
    if ((targets & kStoreMqtt) && f->settings.fleet.mqtt_ha_discovery)
        n += fleet_ha_attributes(pos, payload + n, sizeof payload - n - 1);
    payload[n++] = '\0';
    if (targets & kStoreHttp) {
        const std::size_t q = fleet_osmand_query(pos, f->http_cfg.id, payload + n, sizeof payload - n);
        if (q == 0)
            targets &= ~kStoreHttp;
        n += q;
    }
    if (targets != 0)
        (void)store_append(f->store, targets, payload, n, monotonic_ms());
    pthread_mutex_unlock(&f->store_lock);
}

void finish_cycle(Feed* f)
{
    if (f->cycle.used)
        handle_cycle(f, f->cycle);
    f->cycle.used = false;
    f->cycle.nmea.clear();
}

// One read into the cycle it belongs to: a silence, the cycle's age or a
// position of a new receiver time (at 5 or 10 Hz the pause between cycles is
// shorter than the silence) ends the cycle before it. Cycles are framed by
// the time the service took the reads, so reads that waited for this process
// keep theirs.
void take_read(Feed* f, const FleetRead& head, const char* nmea)
{
    Cycle& c = f->cycle;
    char time[sizeof c.time];
    stored_time(f, head.report, time, sizeof time);
    if (c.used && (head.at_ms - c.last_ms >= kJoinGapMs || head.at_ms - c.started_ms >= kCycleAgeMs ||
                   (time[0] && c.time[0] && !same_time(time, c.time))))
        finish_cycle(f);
    if (!c.used) {
        c.used = true;
        c.started_ms = head.at_ms;
        c.time[0] = '\0';
    }
    // A cycle larger than the frame keeps its first whole sentences.
    if (c.nmea.size() + head.nmea_length <= kCycleBytes)
        c.nmea.append(nmea, head.nmea_length);
    c.report = head.report;
    c.moving = head.moving;
    c.last_ms = head.at_ms;
    if (time[0] && !c.time[0])
        std::memcpy(c.time, time, sizeof c.time);
}

// Hands every read the service sent on; false once the service's end closed.
bool take_reads(int fd, Feed* f)
{
    for (;;) {
        const ssize_t n = recv(fd, f->buf, sizeof f->buf, MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (n == 0)
            return false;
        FleetRead head;
        if (static_cast<std::size_t>(n) < sizeof head)
            continue;
        std::memcpy(&head, f->buf, sizeof head);
        if (head.kind != kFleetRead || head.nmea_length > static_cast<std::size_t>(n) - sizeof head)
            continue;
        head.family[sizeof head.family - 1] = '\0';
        mqtt_family(f->mqtt, head.family);
        take_read(f, head, f->buf + sizeof head);
    }
}

// The HTTP output takes one position at a time, oldest first: a failure
// offers the oldest again once its back-off is over.
void pump_http(Feed* f)
{
    if (!f->http)
        return;
    uint64_t seq = 0;
    bool done = false;
    if (http_result(f->http, &seq, &done)) {
        pthread_mutex_lock(&f->store_lock);
        if (done)
            store_done(f->store, kStoreHttp, seq);
        pthread_mutex_unlock(&f->store_lock);
        f->http_after = done ? seq : 0;
    }
    StoreRecord r;
    std::string query;
    pthread_mutex_lock(&f->store_lock);
    const bool found = store_next(f->store, kStoreHttp, f->http_after, &r) == 1;
    if (found) {
        const char* end = r.payload + r.length;
        const char* q = static_cast<const char*>(std::memchr(r.payload, '\0', r.length));
        q = q ? static_cast<const char*>(std::memchr(q + 1, '\0', static_cast<std::size_t>(end - q - 1))) : nullptr;
        if (q)
            query.assign(q + 1, static_cast<std::size_t>(end - q - 1));
    }
    pthread_mutex_unlock(&f->store_lock);
    if (found && http_offer(f->http, r.seq, query.c_str()))
        f->http_after = r.seq;
}

void send_report(int fd, Feed* f)
{
    FleetReport r{};
    r.kind = kFleetReport;
    r.mqtt = mqtt_status(f->mqtt);
    pthread_mutex_lock(&f->store_lock);
    const StoreStatus st = store_status(f->store, monotonic_ms());
    pthread_mutex_unlock(&f->store_lock);
    r.mqtt.backlog = static_cast<uint32_t>(st.pending);
    r.mqtt.dropped += st.dropped;
    auto add = [&](char* buf, std::size_t size, std::size_t* len, const char* format, auto... args) {
        const int k = std::snprintf(buf + *len, size - *len, format, args...);
        if (k > 0)
            *len = *len + static_cast<std::size_t>(k) < size ? *len + static_cast<std::size_t>(k) : size - 1;
    };
    TextOut js{r.json, sizeof r.json, 0, false};
    js.add(",\"store\":{\"path\":\"");
    js.json_text(st.path ? st.path : "");
    js.add("\",\"state\":\"%s\",\"pending\":%llu,\"dropped\":%llu,\"bytes\":%llu,\"since_commit\":%lld}", st.state,
           static_cast<unsigned long long>(st.pending), static_cast<unsigned long long>(st.dropped),
           static_cast<unsigned long long>(st.bytes), st.since_commit_s);
    char http[sizeof r.json];
    const std::size_t h = http_status_json(f->http, f->http ? &f->http_cfg : nullptr, http, sizeof http);
    if (h > 0)
        js.add(",\"http\":%.*s", static_cast<int>(h), http);
    // The service appends the text to its own answer: a cut object would spoil all of it.
    if (js.full)
        r.json[0] = '\0';
    std::size_t t = 0;
    add(r.text, sizeof r.text, &t, "store: %s, %llu pending, %llu dropped, %llu bytes on flash\n", st.state,
        static_cast<unsigned long long>(st.pending), static_cast<unsigned long long>(st.dropped),
        static_cast<unsigned long long>(st.bytes));
    t += http_status_line(f->http, f->http ? &f->http_cfg : nullptr, r.text + t, sizeof r.text - t);
    // A full socket means the service is busy: the next report says the same, newer.
    (void)send(fd, &r, sizeof r, MSG_DONTWAIT | MSG_NOSIGNAL);
}

// The store's directory, which becomes the working directory, and its name there.
void split_store_path(const char* path, char* dir, std::size_t dir_size, char* name, std::size_t name_size)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::snprintf(dir, dir_size, "/opt/gps/var");
        std::snprintf(name, name_size, "%s", path);
        return;
    }
    std::snprintf(dir, dir_size, "%.*s", static_cast<int>(slash == path ? 1 : slash - path), path);
    std::snprintf(name, name_size, "%s", slash + 1);
}

}  // namespace

int fleet_main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("gnssd-fleet %s\n", kVersion);
        return 0;
    }
    const int fd = kFleetHandoffFd;
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISSOCK(sb.st_mode)) {
        std::fprintf(stderr, "gnssd-fleet: started by the GNSS service only (no handoff on descriptor %d)\n", fd);
        return 2;
    }
    install_signals();
    plat_openlog();
    static Feed feed;
    Feed* f = &feed;
    // The service has said what is wrong with the file already.
    plat_log_mute(true);
    settings_load(&f->settings);
    plat_log_mute(false);
    const GpsSettings& st = f->settings;
    pthread_mutex_init(&f->store_lock, nullptr);

    StoreConfig store_cfg;
    store_config(&st.store, &store_cfg);
    char work_dir[kPlatPathMax], name[kPlatPathMax];
    std::snprintf(store_cfg.shown, sizeof store_cfg.shown, "%s", store_cfg.path);
    split_store_path(store_cfg.path, work_dir, sizeof work_dir, name, sizeof name);
    std::snprintf(store_cfg.path, sizeof store_cfg.path, "%s", name);

    // What needs root (the settings, the TLS files) is read before root goes.
    (void)fleet_format(st.fleet.mqtt_format, &f->format);
    f->mqtt = mqtt_open(&st.mqtt, &st.fleet, st.router_id, kVersion, nullptr, &f->store_lock);
    if (const MqttConfig* mc = mqtt_config_of(f->mqtt)) {
        store_cfg.memory_limit = mc->backlog;
        f->mqtt_sampling = fleet_sampling(st.fleet, mc->period, mc->period_halt);
        fleet_owntracks_tid(st.fleet.mqtt_tid, mc->client_id, f->tid);
    }
    char host_name[128] = "";
    gethostname(host_name, sizeof host_name - 1);
    const char* fault = nullptr;
    if (http_config(&st.http, st.router_id, host_name, &f->http_cfg, &fault)) {
        f->http = http_open(&f->http_cfg);
        f->http_sampling = fleet_sampling(st.fleet, f->http_cfg.period, f->http_cfg.period_halt);
    } else if (fault != nullptr) {
        log_msg(LOG_WARNING, "settings: HTTP is enabled but has %s (MOD_GPS_HTTP_*), it stays off", fault);
    }
    if (argc > 2 && std::strcmp(argv[1], "--family") == 0)
        mqtt_family(f->mqtt, argv[2]);
    const bool dropped = drop_root(st.fleet_user, work_dir);
    if (!dropped) {
        mqtt_close(f->mqtt);
        http_close(f->http);
        f->mqtt = nullptr;
        f->http = nullptr;
    }
    f->store = store_open(&store_cfg, monotonic_ms());
    mqtt_attach_store(f->mqtt, f->store);
    mqtt_start(f->mqtt);

    long long reported_ms = 0;
    MqttStatus said{};
    bool open = true;
    while (open && !plat_stop_seen()) {
        const long long now = monotonic_ms();
        // Every second, and at once when the broker's state or error changed:
        // what the log says, the status report says as well.
        const MqttStatus m = mqtt_status(f->mqtt);
        if (now - reported_ms >= kReportMs || std::strcmp(m.state, said.state) != 0 ||
            std::strcmp(m.last_error, said.last_error) != 0) {
            send_report(fd, f);
            said = m;
            reported_ms = now;
        }
        // A cycle whose silence has come is complete without a next read.
        if (f->cycle.used && (now - f->cycle.last_ms >= kJoinGapMs || now - f->cycle.started_ms >= kCycleAgeMs))
            finish_cycle(f);
        pump_http(f);
        pthread_mutex_lock(&f->store_lock);
        store_tick(f->store, now);
        pthread_mutex_unlock(&f->store_lock);
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, kLoopMs);
        if (r < 0 && errno != EINTR)
            break;
        if (r > 0)
            open = take_reads(fd, f);
    }
    // However a library call hangs, the stop ends here. What waits is
    // committed first; "offline" goes to the broker after it.
    itimerval limit{};
    limit.it_value.tv_sec = kStopLimitMs / 1000;
    limit.it_value.tv_usec = kStopLimitMs % 1000 * 1000;
    setitimer(ITIMER_REAL, &limit, nullptr);
    finish_cycle(f);
    mqtt_attach_store(f->mqtt, nullptr);
    pthread_mutex_lock(&f->store_lock);
    store_close(f->store, monotonic_ms());
    f->store = nullptr;
    pthread_mutex_unlock(&f->store_lock);
    http_close(f->http);
    mqtt_close(f->mqtt);
    settings_free(&f->settings);
    plat_closelog();
    return 0;
}
