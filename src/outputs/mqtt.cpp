// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed's thread: one broker connection at a time, the positions
// kept across outages and published oldest first, the NMEA of each cycle
// and the daemon's presence beside them.
#include "outputs/mqtt.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "nmea/report.h"
#include "outputs/status.h"
#include "platform/platform.h"
#include "platform/worker.h"

#ifdef GNSSD_HAVE_MQTT

#include <mosquitto.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <string>
#include <utility>

#include "outputs/burst_queue.h"

namespace {

// Silence that ends a receiver cycle, and the age at which a cycle is
// complete even without one (a replay, a receiver faster than 3 Hz).
constexpr long long kJoinGapMs = 300;
constexpr long long kCycleAgeMs = 1000;
// How long the thread waits on the broker between looks at the main loop's
// cycles: also the most a position waits before it leaves.
constexpr int kLoopMs = 50;
// How often a wait for the broker's name looks whether it has its answer.
constexpr int kLookupSliceMs = 10;
// Positions on their way to the broker at once, unacknowledged.
constexpr std::size_t kInflight = 20;
constexpr long long kBackoffMinMs = 1000;
// While attempts back off, how often a broker that was reached before is
// asked whether it accepts connections again.
constexpr long long kWatchMs = 1000;
constexpr long long kBackoffMaxMs = 60000;
constexpr int kKeepaliveSec = 30;
// A pace of this many seconds or less publishes every cycle; above it a
// cycle a little early still counts, so that jitter never skips one.
constexpr long long kPaceSlackMs = 500;
// How long a clean stop waits for the broker to take the "offline" notice.
constexpr long long kGoodbyeMs = 1000;
constexpr std::size_t kCycleBytes = 65536;

constexpr char kOnline[] = "{\"state\":\"online\"";
constexpr char kOffline[] = "{\"state\":\"offline\"}";

// One receiver cycle as the main loop left it.
struct Cycle {
    char nmea[kCycleBytes];
    std::size_t length;
    char time[sizeof PositionReport::fix_time];  // the receiver's time of the cycle's positions
    PositionReport report;
    int moving;
    bool used;
    long long started_ms;
    long long last_ms;
};

struct Pending {
    std::string json;
    int mid;  // 0: not yet published on this connection
};

enum class State { connecting, connected, waiting };

}  // namespace

struct MqttOutput {
    MqttConfig cfg;
    std::string certfile, keyfile, username, password, version;
    const ReceiverStats* receiver;
    Worker worker;

    pthread_mutex_t lock;  // guards the cycle being filled, the one completed and the status below
    Cycle* filling;
    Cycle* done;                                     // completed by the receiver's time moving on, not yet taken
    Cycle* taken;                                    // the thread's own
    char fix_time[sizeof PositionReport::fix_time];  // of the report the last write left
    char rmc_time[sizeof PositionReport::rmc_time];
    State state;
    uint64_t published, acknowledged, dropped;
    uint32_t backlog;
    char last_error[192];

    // The thread's own from here on.
    struct mosquitto* mosq;
    bool connected;
    long long next_attempt_ms;
    long long backoff_ms;
    std::deque<Pending> queue;
    uint64_t queue_bytes;
    std::size_t sent;  // front entries published on this connection
    long long last_position_ms;
    bool positioned;
    char reason[192];  // last reason logged
    char refusal[96];  // what the broker answered the connect with
    char tls_error[160];
    bool ever_connected;
    int goodbye_mid;
    bool goodbye_acked;
    // Where the last connection reached the broker, watched while attempts
    // back off after the connection went (watch_fd: a connect under way).
    sockaddr_storage broker_addr;
    socklen_t broker_addr_len;
    bool watch;
    Fd watch_fd;
    long long watch_at_ms;
    bool attempt_up;    // this attempt's connection was accepted
    int connect_error;  // errno of this attempt's connect that failed, 0: none seen
};

namespace {

void set_state(MqttOutput* mq, State s)
{
    pthread_mutex_lock(&mq->lock);
    mq->state = s;
    mq->backlog = static_cast<uint32_t>(mq->queue.size());
    pthread_mutex_unlock(&mq->lock);
}

void count(MqttOutput* mq, uint64_t published, uint64_t acknowledged, uint64_t dropped)
{
    pthread_mutex_lock(&mq->lock);
    mq->published += published;
    mq->acknowledged += acknowledged;
    mq->dropped += dropped;
    mq->backlog = static_cast<uint32_t>(mq->queue.size());
    pthread_mutex_unlock(&mq->lock);
}

// Says why the broker cannot be used, once per change of reason.
void report_failure(MqttOutput* mq, const char* reason)
{
    pthread_mutex_lock(&mq->lock);
    std::snprintf(mq->last_error, sizeof mq->last_error, "%s", reason);
    pthread_mutex_unlock(&mq->lock);
    if (std::strcmp(reason, mq->reason) == 0)
        return;
    std::snprintf(mq->reason, sizeof mq->reason, "%s", reason);
    log_msg(LOG_ERR, "mqtt: broker %s:%u: %s", mq->cfg.host, static_cast<unsigned>(mq->cfg.port), reason);
}

std::string topic(const MqttOutput* mq, const char* leaf)
{
    return std::string(mq->cfg.topic) + "/" + leaf;
}

// Every position published on the connection that went is sent again on
// the next one: the broker may or may not have it.
void forget_connection(MqttOutput* mq)
{
    for (std::size_t i = 0; i < mq->sent && i < mq->queue.size(); ++i)
        mq->queue[i].mid = 0;
    mq->sent = 0;
    mq->connected = false;
}

void on_connect(struct mosquitto* mosq, void* arg, int rc)
{
    auto* mq = static_cast<MqttOutput*>(arg);
    if (rc != 0) {
        std::snprintf(mq->refusal, sizeof mq->refusal, "refused: %s", mosquitto_connack_string(rc));
        mosquitto_disconnect(mosq);
        return;
    }
    mq->connected = true;
    mq->attempt_up = true;
    mq->backoff_ms = kBackoffMinMs;
    mq->broker_addr_len = sizeof mq->broker_addr;
    if (getpeername(mosquitto_socket(mosq), reinterpret_cast<sockaddr*>(&mq->broker_addr), &mq->broker_addr_len) != 0)
        mq->broker_addr_len = 0;
    if (mq->reason[0] || !mq->ever_connected)
        log_msg(LOG_NOTICE, "mqtt: connected to broker %s:%u", mq->cfg.host, static_cast<unsigned>(mq->cfg.port));
    mq->reason[0] = '\0';
    mq->ever_connected = true;
    pthread_mutex_lock(&mq->lock);
    mq->last_error[0] = '\0';
    pthread_mutex_unlock(&mq->lock);
    set_state(mq, State::connected);
    char family[32] = "";
    if (mq->receiver) {
        auto* stats = const_cast<ReceiverStats*>(mq->receiver);
        pthread_mutex_lock(&stats->lock);
        std::snprintf(family, sizeof family, "%s", stats->family);
        pthread_mutex_unlock(&stats->lock);
    }
    // The family is a fixed word of ours and the version a number: nothing to escape.
    std::string online = kOnline;
    if (family[0])
        online += std::string(",\"family\":\"") + family + "\"";
    online += ",\"version\":\"" + mq->version + "\"}";
    mosquitto_publish(mosq, nullptr, topic(mq, "status").c_str(), static_cast<int>(online.size()), online.data(), 1,
                      true);
}

void on_disconnect(struct mosquitto*, void* arg, int)
{
    forget_connection(static_cast<MqttOutput*>(arg));
}

// A position leaves the queue once the broker has it.
void on_publish(struct mosquitto*, void* arg, int mid)
{
    auto* mq = static_cast<MqttOutput*>(arg);
    if (mq->goodbye_mid != 0 && mid == mq->goodbye_mid)
        mq->goodbye_acked = true;
    for (std::size_t i = 0; i < mq->sent && i < mq->queue.size(); ++i) {
        if (mq->queue[i].mid != mid)
            continue;
        mq->queue_bytes -= mq->queue[i].json.size();
        mq->queue.erase(mq->queue.begin() + static_cast<std::ptrdiff_t>(i));
        mq->sent -= 1;
        count(mq, 0, 1, 0);
        return;
    }
}

// The library says what went wrong in TLS only in its log: the first
// OpenSSL error of an attempt is kept, with the certificate check's verdict
// where there is one (unknown CA, wrong host name, expired).
void on_log(struct mosquitto* mosq, void* arg, int, const char* text)
{
    auto* mq = static_cast<MqttOutput*>(arg);
    if (mq->tls_error[0] || std::strncmp(text, "OpenSSL Error", 13) != 0)
        return;
    auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(mosq));
    const long verdict = ssl ? SSL_get_verify_result(ssl) : X509_V_OK;
    // The library checks the host name itself, after the chain was found
    // good, and gives its own refusal no more specific code than this.
    if (verdict == X509_V_ERR_HOSTNAME_MISMATCH || verdict == X509_V_ERR_UNSPECIFIED ||
        verdict == X509_V_ERR_CERT_REJECTED) {
        std::snprintf(mq->tls_error, sizeof mq->tls_error,
                      "TLS: hostname mismatch: the certificate does not name %.64s", mq->cfg.host);
        return;
    }
    if (verdict != X509_V_OK) {
        std::snprintf(mq->tls_error, sizeof mq->tls_error, "TLS: %s", X509_verify_cert_error_string(verdict));
        return;
    }
    const char* colon = std::strstr(text, "]: ");
    std::snprintf(mq->tls_error, sizeof mq->tls_error, "TLS: %s", colon ? colon + 3 : text);
}

void drop_connection(MqttOutput* mq, int rc)
{
    const int saved = errno;
    // The library reports a connection that failed below MQTT without its
    // cause ("The client is not currently connected.", "Unknown error."):
    // the connect's own error, seen on the socket, names it.
    char reason[192];
    if (mq->refusal[0])
        std::snprintf(reason, sizeof reason, "%s", mq->refusal);
    else if (mq->tls_error[0])
        std::snprintf(reason, sizeof reason, "%s", mq->tls_error);
    else if (mq->connect_error != 0)
        std::snprintf(reason, sizeof reason, "%s", std::strerror(mq->connect_error));
    else if (rc == MOSQ_ERR_ERRNO && saved != 0)
        std::snprintf(reason, sizeof reason, "%s", std::strerror(saved));
    else if (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_UNKNOWN)
        std::snprintf(reason, sizeof reason, "%s",
                      mq->attempt_up ? "connection closed by the broker" : "no connection to the broker");
    else
        std::snprintf(reason, sizeof reason, "%s", mosquitto_strerror(rc));
    report_failure(mq, reason);
    // A broker that went away (a restart) is watched for its return; one
    // that refuses the client or its TLS waits out the back-off.
    mq->watch = !mq->refusal[0] && !mq->tls_error[0] && mq->broker_addr_len > 0;
    mq->watch_at_ms = monotonic_ms() + kWatchMs;
    forget_connection(mq);
    mosquitto_destroy(mq->mosq);
    mq->mosq = nullptr;
    mq->next_attempt_ms = monotonic_ms() + mq->backoff_ms;
    mq->backoff_ms = mq->backoff_ms * 2 > kBackoffMaxMs ? kBackoffMaxMs : mq->backoff_ms * 2;
    set_state(mq, State::waiting);
}

// The library looks the broker's name up without a way to interrupt it, and
// a router without a reachable name server waits seconds for the answer. The
// name is looked up here first, on a thread of its own that a stop does not
// wait for, so that the library's own lookup comes right after an answer.
// The lookup's text lives in static storage: a thread a stop left behind may
// still read it. false: stopped.
struct NameLookup {
    std::atomic<int> state{0};  // 0 idle, 1 under way, 2 answered
    char name[256] = "";
};
NameLookup g_lookup;

void* look_up(void*)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(g_lookup.name, nullptr, &hints, &found) == 0)
        freeaddrinfo(found);
    g_lookup.state.store(2, std::memory_order_release);
    return nullptr;
}

bool name_looked_up(MqttOutput* mq)
{
    if (g_lookup.state.load(std::memory_order_acquire) == 1)
        return true;  // one a stop left behind: the library's lookup alone
    std::snprintf(g_lookup.name, sizeof g_lookup.name, "%s", mq->cfg.host);
    g_lookup.state.store(1, std::memory_order_release);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    // Started from the worker, it inherits the worker's blocked signals.
    const int e = pthread_create(&thread, &attr, look_up, nullptr);
    pthread_attr_destroy(&attr);
    if (e != 0) {
        g_lookup.state.store(0, std::memory_order_release);
        return true;  // the library's lookup says what is wrong
    }
    while (g_lookup.state.load(std::memory_order_acquire) == 1) {
        if (!worker_sleep(&mq->worker, kLookupSliceMs))
            return !worker_stopping(&mq->worker);
    }
    return !worker_stopping(&mq->worker);
}

// While the attempts back off after a broker went away, a plain TCP connect
// to where it was, once a second, tells when it takes connections again:
// the next attempt then goes at once, so that a restarted broker hears from
// the daemon within moments, while one that keeps failing the attempts
// still sees them grow apart.
void watch_broker(MqttOutput* mq, long long now)
{
    if (!mq->watch)
        return;
    if (!mq->watch_fd) {
        if (now < mq->watch_at_ms)
            return;
        mq->watch_at_ms = now + kWatchMs;
        mq->watch_fd.reset(socket(mq->broker_addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (mq->watch_fd &&
            connect(mq->watch_fd.get(), reinterpret_cast<const sockaddr*>(&mq->broker_addr), mq->broker_addr_len) !=
                0 &&
            errno != EINPROGRESS)
            mq->watch_fd.reset();
        return;
    }
    pollfd p{mq->watch_fd.get(), POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0) {
        if (now >= mq->watch_at_ms)
            mq->watch_fd.reset();  // no answer within the second: the next try starts afresh
        return;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(mq->watch_fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        error = -1;
    mq->watch_fd.reset();
    if (error == 0)
        mq->next_attempt_ms = now;
}

// A connect under way that failed (refused, unreachable) shows as an error
// on its socket; taking it clears it, and the library's next step then fails.
void note_connect_error(MqttOutput* mq)
{
    pollfd p{mosquitto_socket(mq->mosq), POLLOUT, 0};
    if (p.fd < 0 || poll(&p, 1, 0) <= 0 || (p.revents & POLLERR) == 0)
        return;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0)
        mq->connect_error = error;
}

// A fresh client for every attempt: nothing of a connection that went is
// sent by the library on its own, so the queue alone decides what goes.
void connect_attempt(MqttOutput* mq)
{
    mq->watch_fd.reset();
    mq->watch = false;
    mq->attempt_up = false;
    mq->connect_error = 0;
    mq->refusal[0] = '\0';
    mq->tls_error[0] = '\0';
    set_state(mq, State::connecting);
    mq->mosq = mosquitto_new(mq->cfg.client_id, true, mq);
    if (!mq->mosq) {
        report_failure(mq, "cannot create a client");
        mq->next_attempt_ms = monotonic_ms() + kBackoffMaxMs;
        set_state(mq, State::waiting);
        return;
    }
    struct mosquitto* m = mq->mosq;
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(m, on_connect);
    mosquitto_disconnect_callback_set(m, on_disconnect);
    mosquitto_publish_callback_set(m, on_publish);
    mosquitto_log_callback_set(m, on_log);
    if (!mq->username.empty())
        mosquitto_username_pw_set(m, mq->username.c_str(), mq->password.empty() ? nullptr : mq->password.c_str());
    mosquitto_will_set(m, topic(mq, "status").c_str(), static_cast<int>(sizeof kOffline - 1), kOffline, 1, true);
    int rc = MOSQ_ERR_SUCCESS;
    if (mq->cfg.tls) {
        char ca[kPlatPathMax], cert[kPlatPathMax], key[kPlatPathMax];
        const char* ca_path = plat_path(mq->cfg.cafile, ca, sizeof ca);
        const char* cert_path = mq->certfile.empty() ? nullptr : plat_path(mq->certfile.c_str(), cert, sizeof cert);
        const char* key_path = mq->keyfile.empty() ? nullptr : plat_path(mq->keyfile.c_str(), key, sizeof key);
        rc = mosquitto_tls_set(m, ca_path, nullptr, cert_path, key_path, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            if (access(ca_path, R_OK) != 0)
                std::snprintf(mq->refusal, sizeof mq->refusal, "TLS: cannot read the CA file %.40s: %s", mq->cfg.cafile,
                              std::strerror(errno));
            else
                std::snprintf(mq->refusal, sizeof mq->refusal, "TLS: cannot use the client certificate or key");
            drop_connection(mq, rc);
            return;
        }
        mosquitto_tls_opts_set(m, 1, nullptr, nullptr);  // the broker's certificate is checked
    }
    // Without waiting for the connection: the loop completes it, and a stop
    // is never held up by a broker that does not answer.
    if (!name_looked_up(mq)) {
        mosquitto_destroy(m);
        mq->mosq = nullptr;
        return;
    }
    rc = mosquitto_connect_async(m, mq->cfg.host, static_cast<int>(mq->cfg.port), kKeepaliveSec);
    if (rc != MOSQ_ERR_SUCCESS)
        drop_connection(mq, rc);
}

// Positions go oldest first, as many at once as the window allows.
void pump(MqttOutput* mq)
{
    const std::string t = topic(mq, "position");
    while (mq->connected && mq->sent < mq->queue.size() && mq->sent < kInflight) {
        Pending& p = mq->queue[mq->sent];
        int mid = 0;
        const int rc = mosquitto_publish(mq->mosq, &mid, t.c_str(), static_cast<int>(p.json.size()), p.json.data(),
                                         mq->cfg.qos, true);
        if (rc != MOSQ_ERR_SUCCESS)
            return;
        if (mq->cfg.qos == 0) {
            mq->queue_bytes -= p.json.size();
            mq->queue.pop_front();
        } else {
            p.mid = mid;
            mq->sent += 1;
        }
        count(mq, 1, 0, 0);
    }
}

// Keeps a position for the broker: a full queue (by count or bytes) gives
// up its oldest.
void enqueue(MqttOutput* mq, const char* json, std::size_t length)
{
    if (!mq->connected && mq->cfg.backlog == 0) {
        count(mq, 0, 0, 1);
        return;
    }
    mq->queue.push_back(Pending{std::string(json, length), 0});
    mq->queue_bytes += length;
    const std::size_t limit = mq->cfg.backlog ? mq->cfg.backlog : kInflight;
    uint64_t dropped = 0;
    while (mq->queue.size() > 1 && (mq->queue.size() > limit || mq->queue_bytes > kBacklogBytes)) {
        mq->queue_bytes -= mq->queue.front().json.size();
        mq->queue.pop_front();
        if (mq->sent > 0)
            mq->sent -= 1;
        ++dropped;
    }
    count(mq, 0, 0, dropped);
}

void handle_cycle(MqttOutput* mq, Cycle* c, long long now)
{
    if (mq->cfg.nmea && mq->connected && c->length > 0)
        mosquitto_publish(mq->mosq, nullptr, topic(mq, "nmea").c_str(), static_cast<int>(c->length), c->nmea,
                          mq->cfg.qos, false);
    char json[512];
    const std::size_t n = mqtt_position_json(&c->report, c->moving, json, sizeof json);
    if (n == 0)
        return;
    const long long period = c->moving ? mq->cfg.period : mq->cfg.period_halt;
    const bool due = !mq->positioned || period <= 1 || now - mq->last_position_ms >= period * 1000 - kPaceSlackMs;
    if (!due)
        return;
    mq->positioned = true;
    mq->last_position_ms = now;
    enqueue(mq, json, n);
}

// Takes the cycle the receiver's time completed, else the one being filled
// once it is complete.
Cycle* take_cycle(MqttOutput* mq, long long now)
{
    if (mq->done->used) {
        std::swap(mq->done, mq->taken);
        mq->done->used = false;
        return mq->taken;
    }
    Cycle* c = mq->filling;
    if (!c->used || (now - c->last_ms < kJoinGapMs && now - c->started_ms < kCycleAgeMs))
        return nullptr;
    mq->filling = mq->taken;
    mq->filling->used = false;
    mq->filling->length = 0;
    mq->taken = c;
    return c;
}

// At a clean stop the broker hears "offline" from the daemon itself, and
// the connection ends without the will.
void goodbye(MqttOutput* mq)
{
    if (!mq->mosq)
        return;
    if (mq->connected) {
        mosquitto_publish(mq->mosq, &mq->goodbye_mid, topic(mq, "status").c_str(),
                          static_cast<int>(sizeof kOffline - 1), kOffline, 1, true);
        // The acknowledgement is what says the broker has it.
        const long long until = monotonic_ms() + kGoodbyeMs;
        while (mq->connected && !mq->goodbye_acked && monotonic_ms() < until)
            mosquitto_loop(mq->mosq, kLoopMs, 1);
        mosquitto_disconnect(mq->mosq);
        mosquitto_loop(mq->mosq, kLoopMs, 1);
    }
    mosquitto_destroy(mq->mosq);
    mq->mosq = nullptr;
}

void* run(void* arg)
{
    auto* mq = static_cast<MqttOutput*>(arg);
    while (!worker_stopping(&mq->worker)) {
        const long long now = monotonic_ms();
        pthread_mutex_lock(&mq->lock);
        Cycle* c = take_cycle(mq, now);
        pthread_mutex_unlock(&mq->lock);
        if (c)
            handle_cycle(mq, c, now);
        if (!mq->mosq && now < mq->next_attempt_ms)
            watch_broker(mq, now);
        if (!mq->mosq && now >= mq->next_attempt_ms)
            connect_attempt(mq);
        if (!mq->mosq) {
            worker_sleep(&mq->worker, kLoopMs);
            continue;
        }
        pump(mq);
        if (!mq->attempt_up && mq->connect_error == 0)
            note_connect_error(mq);
        const int rc = mosquitto_loop(mq->mosq, kLoopMs, 1);
        if (rc != MOSQ_ERR_SUCCESS)
            drop_connection(mq, rc);
    }
    goodbye(mq);
    mq->watch_fd.reset();
    return nullptr;
}

}  // namespace

MqttOutput* mqtt_open(const MqttSettings* settings, const char* router_id, const ReceiverStats* receiver,
                      const char* version)
{
    char host_name[128] = "";
    gethostname(host_name, sizeof host_name - 1);
    MqttConfig cfg;
    const char* fault = nullptr;
    if (!mqtt_config(settings, router_id, host_name, &cfg, &fault)) {
        if (fault)
            log_msg(LOG_WARNING, "settings: MQTT is enabled but has %s (MOD_GPS_MQTT_*), it stays off", fault);
        return nullptr;
    }
    mosquitto_lib_init();
    auto* mq = new (std::nothrow) MqttOutput{};
    Cycle* a = new (std::nothrow) Cycle{};
    Cycle* b = new (std::nothrow) Cycle{};
    Cycle* d = new (std::nothrow) Cycle{};
    if (!mq || !a || !b || !d) {
        delete mq;
        delete a;
        delete b;
        delete d;
        log_msg(LOG_ERR, "mqtt: out of memory, not publishing");
        return nullptr;
    }
    mq->cfg = cfg;
    mq->certfile = settings->certfile ? settings->certfile : "";
    mq->keyfile = settings->keyfile ? settings->keyfile : "";
    mq->username = settings->username ? settings->username : "";
    mq->password = settings->password ? settings->password : "";
    mq->version = version ? version : "unknown";
    mq->receiver = receiver;
    pthread_mutex_init(&mq->lock, nullptr);
    mq->filling = a;
    mq->taken = b;
    mq->done = d;
    mq->state = State::connecting;
    mq->backoff_ms = kBackoffMinMs;
    const int err = worker_start(&mq->worker, run, mq);
    if (err != 0) {
        log_msg(LOG_ERR, "mqtt: cannot start its thread: %s", std::strerror(err));
        pthread_mutex_destroy(&mq->lock);
        delete a;
        delete b;
        delete d;
        delete mq;
        return nullptr;
    }
    log_msg(LOG_NOTICE, "mqtt: publishing to %s:%u%s under \"%s\"", cfg.host, static_cast<unsigned>(cfg.port),
            cfg.tls ? " (TLS)" : "", cfg.topic);
    return mq;
}

namespace {

// Receivers write the time of GGA and RMC with their own number of decimals.
bool same_time(const char* a, const char* b)
{
    const double d = std::strtod(a, nullptr) - std::strtod(b, nullptr);
    return d > -0.0005 && d < 0.0005;
}

// The receiver time of a position this write stored anew, nullptr when it
// stored none. Under the lock.
const char* cycle_time(MqttOutput* mq, const PositionReport* r)
{
    const char* time = nullptr;
    if (r->rmc_time[0] && std::strcmp(r->rmc_time, mq->rmc_time) != 0)
        time = r->rmc_time;
    if (r->fix_time[0] && std::strcmp(r->fix_time, mq->fix_time) != 0)
        time = r->fix_time;
    std::snprintf(mq->fix_time, sizeof mq->fix_time, "%s", r->fix_time);
    std::snprintf(mq->rmc_time, sizeof mq->rmc_time, "%s", r->rmc_time);
    return time;
}

}  // namespace

void mqtt_write(MqttOutput* mq, const struct iovec* lines, int count, const PositionReport* report, int moving)
{
    if (!mq)
        return;
    const long long now = monotonic_ms();
    pthread_mutex_lock(&mq->lock);
    Cycle* c = mq->filling;
    // A position with a new receiver time begins the next cycle: at 5 or
    // 10 Hz the pause between cycles is shorter than the silence that frames
    // them otherwise. A completed cycle the thread has not taken yet gives
    // way to this one.
    const char* time = report ? cycle_time(mq, report) : nullptr;
    if (time && c->used && c->time[0] && !same_time(time, c->time)) {
        std::swap(mq->filling, mq->done);
        c = mq->filling;
        c->used = false;
    }
    if (!c->used) {
        c->used = true;
        c->length = 0;
        c->started_ms = now;
        c->time[0] = '\0';
    }
    if (time && !c->time[0])
        std::snprintf(c->time, sizeof c->time, "%s", time);
    for (int k = 0; k < count; ++k) {
        // A cycle larger than the frame keeps its first whole sentences.
        if (c->length + lines[k].iov_len > sizeof c->nmea)
            break;
        std::memcpy(c->nmea + c->length, lines[k].iov_base, lines[k].iov_len);
        c->length += lines[k].iov_len;
    }
    if (report)
        c->report = *report;
    c->moving = moving;
    c->last_ms = now;
    pthread_mutex_unlock(&mq->lock);
}

void mqtt_close(MqttOutput* mq)
{
    if (!mq)
        return;
    worker_stop(&mq->worker);
    pthread_mutex_destroy(&mq->lock);
    delete mq->filling;
    delete mq->taken;
    delete mq->done;
    delete mq;
    mosquitto_lib_cleanup();
}

MqttStatus mqtt_status(MqttOutput* mq)
{
    MqttStatus st{};
    st.state = "disabled";
    if (!mq)
        return st;
    pthread_mutex_lock(&mq->lock);
    st.state = mq->state == State::connected ? "connected" : mq->state == State::waiting ? "waiting" : "connecting";
    st.published = mq->published;
    st.acknowledged = mq->acknowledged;
    st.dropped = mq->dropped;
    st.backlog = mq->backlog;
    std::snprintf(st.last_error, sizeof st.last_error, "%s", mq->last_error);
    pthread_mutex_unlock(&mq->lock);
    return st;
}

#else  // a daemon built without MQTT: the output is never on

MqttOutput* mqtt_open(const MqttSettings* settings, const char* router_id, const ReceiverStats*, const char*)
{
    MqttConfig cfg;
    const char* fault = nullptr;
    if (!mqtt_config(settings, router_id, "", &cfg, &fault) && fault)
        log_msg(LOG_WARNING, "settings: MQTT is enabled but has %s (MOD_GPS_MQTT_*), it stays off", fault);
    return nullptr;
}

void mqtt_write(MqttOutput*, const struct iovec*, int, const PositionReport*, int) {}

void mqtt_close(MqttOutput*) {}

MqttStatus mqtt_status(MqttOutput*)
{
    MqttStatus st{};
    st.state = "disabled";
    return st;
}

#endif
