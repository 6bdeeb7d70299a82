// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed's MQTT thread: one broker connection at a time, the
// positions kept across outages and published oldest first, the NMEA of each
// cycle and the daemon's presence beside them.
#include "fleet/mqtt.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <new>
#include <string>

#include "core/settings.h"
#include "fleet/dialects.h"
#include "fleet/files.h"
#include "fleet/store.h"
#include "nmea/report.h"
#include "platform/clock.h"
#include "platform/lookup.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/worker.h"

namespace {

// How long the thread waits on the broker between looks at the store: also
// the most a position waits before it leaves.
constexpr int kLoopMs = 50;
// Positions on their way to the broker at once, unacknowledged.
constexpr std::size_t kInflight = 20;
constexpr long long kBackoffMinMs = 1000;
// While attempts back off, how often a broker that was reached before is
// asked whether it accepts connections again.
constexpr long long kWatchMs = 1000;
constexpr long long kBackoffMaxMs = 60000;
constexpr int kKeepaliveSec = 30;
// How long a clean stop waits for the broker to take the "offline" notice:
// the whole stop of the process has a second.
constexpr long long kGoodbyeMs = 400;
// Messages handed to the library and not yet sent (QoS 0) or acknowledged
// (QoS 1): above this nothing more is handed on, so a broker that takes
// nothing costs no memory. The window of positions fits well inside it.
constexpr int kOutstandingMax = 48;
// A connection lasts this long and carries an acknowledgement before the
// back-off starts again from its shortest wait.
constexpr long long kStableMs = 60000;
// While connections keep ending soon after the connect, how often the log
// hears how many did.
constexpr long long kChurnSummaryMs = 600000;
// Every packet a broker sends a client that subscribes to nothing (the
// connect's and the publishes' acknowledgements, the ping's answer) declares
// a remaining length below this, in a single byte.
constexpr unsigned kLargestAnswer = 128;
// Cycles' sentences waiting for the NMEA topic; more are dropped and counted.
constexpr std::size_t kNmeaWaiting = 16;

constexpr char kOnline[] = "{\"state\":\"online\"";
constexpr char kOffline[] = "{\"state\":\"offline\"}";

// A position published on this connection and not yet acknowledged.
struct Inflight {
    int mid;
    uint64_t seq;
};

enum class State { connecting, connected, waiting };

}  // namespace

struct MqttOutput {
    MqttConfig cfg;
    std::string username, password, version;
    SSL_CTX* tls;        // the broker's CA, our certificate and key, read at the start
    char tls_fault[96];  // why they could not be read: every attempt fails with it
    Worker worker;
    bool started;

    FleetFormat format;
    bool ha;  // Home Assistant discovery
    std::string ha_prefix;
    FleetStore* store;  // the positions, shared with the other outputs under store_lock
    pthread_mutex_t* store_lock;

    pthread_mutex_t lock;  // guards the sentences waiting and the status below
    std::deque<std::string> nmea;
    char family[24];
    State state;
    uint64_t published, acknowledged, dropped;
    char last_error[192];

    // The thread's own from here on.
    struct mosquitto* mosq;
    bool connected;
    long long next_attempt_ms;
    long long backoff_ms;
    std::deque<Inflight> inflight;
    uint64_t after;    // the last position published on this connection
    char reason[192];  // last reason logged
    char refusal[96];  // what the broker answered the connect with
    char tls_error[160];
    bool ever_connected;
    int outstanding;          // handed to the library, not yet sent or acknowledged
    long long stalled_since;  // when the outstanding last moved, while there are any
    long long connected_ms;   // when this connection's CONNACK came
    bool acked;               // it carried an acknowledgement
    bool stable;              // it lasted kStableMs with one
    uint64_t churn;           // connections that ended before they were stable, in a row
    uint64_t churn_reported;
    long long churn_summary_ms;
    char oversize[96];      // what the broker sent that no answer is
    unsigned address_turn;  // which of the name's addresses the next attempt takes
    int online_mid;         // the "online" status of this connection
    bool broker_away;       // since the last connection, an attempt or a look found the broker away
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
    pthread_mutex_unlock(&mq->lock);
}

void count(MqttOutput* mq, uint64_t published, uint64_t acknowledged, uint64_t dropped)
{
    pthread_mutex_lock(&mq->lock);
    mq->published += published;
    mq->acknowledged += acknowledged;
    mq->dropped += dropped;
    pthread_mutex_unlock(&mq->lock);
}

// The reason in the status alone: the log heard of it already.
void show_reason(MqttOutput* mq, const char* reason)
{
    pthread_mutex_lock(&mq->lock);
    std::snprintf(mq->last_error, sizeof mq->last_error, "%s", reason);
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
    mq->outstanding = 0;
    mq->stalled_since = 0;
    mq->inflight.clear();
    mq->after = 0;
    mq->connected = false;
}

// Hands one message to the library, counted as outstanding until the
// library says it went (QoS 0) or was acknowledged (QoS 1).
int publish(MqttOutput* mq, int* mid, const std::string& t, const char* data, std::size_t length, int qos, bool retain)
{
    const int rc = mosquitto_publish(mq->mosq, mid, t.c_str(), static_cast<int>(length), data, qos, retain);
    if (rc == MOSQ_ERR_SUCCESS && mq->outstanding++ == 0)
        mq->stalled_since = monotonic_ms();
    return rc;
}

bool saturated(const MqttOutput* mq)
{
    return mq->outstanding >= kOutstandingMax;
}

// The topic positions go to: the topic itself for OwnTracks, as its clients do.
std::string position_topic(const MqttOutput* mq)
{
    return mq->format == FleetFormat::owntracks ? std::string(mq->cfg.topic) : topic(mq, "position");
}

// Home Assistant learns of the router from retained configs: a device
// tracker and sensors read from the attributes topic.
void announce(MqttOutput* mq, const char* family)
{
    const std::string status = topic(mq, "status"), attributes = topic(mq, "attributes");
    const FleetDevice device{mq->cfg.client_id, family, mq->version.c_str(), status.c_str(), attributes.c_str()};
    for (HaEntity e : {HaEntity::tracker, HaEntity::speed, HaEntity::satellites}) {
        char t[512], config[2048];
        std::size_t n = 0;
        if (fleet_ha_config(e, mq->ha_prefix.c_str(), device, t, sizeof t, config, sizeof config, &n))
            publish(mq, nullptr, t, config, n, 1, true);
    }
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
    mq->connected_ms = monotonic_ms();
    mq->acked = false;
    mq->stable = false;
    mq->broker_addr_len = sizeof mq->broker_addr;
    if (getpeername(mosquitto_socket(mosq), reinterpret_cast<sockaddr*>(&mq->broker_addr), &mq->broker_addr_len) != 0)
        mq->broker_addr_len = 0;
    // While connections keep ending soon after the connect, the log hears
    // of it once and then in summaries; the reason stays in the status. A
    // broker that was away meanwhile (a restart) starts that count afresh.
    if (mq->broker_away)
        mq->churn = mq->churn_reported = 0;
    mq->broker_away = false;
    if (mq->churn == 0) {
        if (mq->reason[0] || !mq->ever_connected)
            log_msg(LOG_NOTICE, "mqtt: connected to broker %s:%u", mq->cfg.host, static_cast<unsigned>(mq->cfg.port));
        mq->reason[0] = '\0';
        pthread_mutex_lock(&mq->lock);
        mq->last_error[0] = '\0';
        pthread_mutex_unlock(&mq->lock);
    }
    mq->ever_connected = true;
    set_state(mq, State::connected);
    char family[sizeof mq->family];
    pthread_mutex_lock(&mq->lock);
    std::memcpy(family, mq->family, sizeof family);
    pthread_mutex_unlock(&mq->lock);
    // The family is a fixed word of ours and the version a number: nothing to escape.
    std::string online = kOnline;
    if (family[0])
        online += std::string(",\"family\":\"") + family + "\"";
    online += ",\"version\":\"" + mq->version + "\"}";
    publish(mq, &mq->online_mid, topic(mq, "status"), online.data(), online.size(), 1, true);
    if (mq->ha)
        announce(mq, family);
}

void on_disconnect(struct mosquitto*, void* arg, int)
{
    forget_connection(static_cast<MqttOutput*>(arg));
}

// A position leaves the store (for this output) once the broker has it.
void on_publish(struct mosquitto*, void* arg, int mid)
{
    auto* mq = static_cast<MqttOutput*>(arg);
    if (mq->outstanding > 0)
        mq->outstanding -= 1;
    mq->stalled_since = monotonic_ms();
    if (mq->goodbye_mid != 0 && mid == mq->goodbye_mid)
        mq->goodbye_acked = true;
    if (mid == mq->online_mid)
        mq->acked = true;
    for (auto it = mq->inflight.begin(); it != mq->inflight.end(); ++it) {
        if (it->mid != mid)
            continue;
        pthread_mutex_lock(mq->store_lock);
        if (mq->store)
            store_done(mq->store, kStoreMqtt, it->seq);
        pthread_mutex_unlock(mq->store_lock);
        mq->inflight.erase(it);
        mq->acked = true;
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
    if (verdict == X509_V_ERR_HOSTNAME_MISMATCH || verdict == X509_V_ERR_IP_ADDRESS_MISMATCH ||
        verdict == X509_V_ERR_UNSPECIFIED || verdict == X509_V_ERR_CERT_REJECTED) {
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
    if (mq->oversize[0])
        std::snprintf(reason, sizeof reason, "%s", mq->oversize);
    else if (mq->refusal[0])
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
    // The library's disconnect callback has cleared connected by now.
    const bool was_connected = mq->connected_ms != 0;
    if (was_connected && !mq->stable)
        mq->churn += 1;
    if (mq->churn <= 1)
        report_failure(mq, reason);
    else {
        show_reason(mq, reason);
        std::snprintf(mq->reason, sizeof mq->reason, "%s", reason);
    }
    // A broker that went away (a restart) is watched for its return; one
    // that refuses the client or its TLS, or ends every connection soon
    // after it began while taking new ones all along, waits out the back-off.
    mq->watch = !mq->refusal[0] && !mq->tls_error[0] && !mq->oversize[0] && mq->broker_addr_len > 0;
    mq->watch_at_ms = monotonic_ms() + kWatchMs;
    forget_connection(mq);
    mosquitto_destroy(mq->mosq);
    mq->mosq = nullptr;
    if (!was_connected) {
        mq->address_turn += 1;
        mq->broker_away = true;
    }
    mq->next_attempt_ms = monotonic_ms() + mq->backoff_ms;
    mq->backoff_ms = mq->backoff_ms * 2 > kBackoffMaxMs ? kBackoffMaxMs : mq->backoff_ms * 2;
    set_state(mq, State::waiting);
}

// The library looks a name up without a way to interrupt it, and a router
// without a reachable name server waits seconds for the answer. The name is
// looked up here, on a helper that a stop does not wait for, and the library
// is given one of its addresses.
constexpr int kLookupAddresses = 4;
struct BrokerAddresses {
    int count;
    char address[kLookupAddresses][INET6_ADDRSTRLEN];
};

int look_up(const char* name, unsigned, int type, void* out)
{
    auto* found_addresses = static_cast<BrokerAddresses*>(out);
    addrinfo hints{};
    hints.ai_socktype = type;
    addrinfo* found = nullptr;
    const int error = getaddrinfo(name, nullptr, &hints, &found);
    // IPv4 first: a name with both kinds is most often reached over the
    // cellular network's IPv4; an attempt that fails takes the next.
    for (int family : {AF_INET, AF_INET6})
        for (const addrinfo* a = error == 0 ? found : nullptr; a && found_addresses->count < kLookupAddresses;
             a = a->ai_next) {
            if (a->ai_family != family)
                continue;
            const void* at = family == AF_INET6 ? static_cast<const void*>(
                                                      &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr)
                                                : static_cast<const void*>(
                                                      &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
            if (inet_ntop(family, at, found_addresses->address[found_addresses->count], INET6_ADDRSTRLEN))
                found_addresses->count += 1;
        }
    if (found)
        freeaddrinfo(found);
    return error;
}

// The broker's address for this attempt, the next of the name's addresses
// after an attempt that failed. False: stopped, or no address (said why).
bool broker_address(MqttOutput* mq, char* address, std::size_t size)
{
    BrokerAddresses found{};
    int error = 0;
    NameLookup* l = lookup_start(mq->cfg.host, mq->cfg.port, SOCK_STREAM, look_up, sizeof found);
    if (!l) {
        error = look_up(mq->cfg.host, mq->cfg.port, SOCK_STREAM, &found);  // no helper: only the stop waits
    } else {
        pollfd p{lookup_fd(l), POLLIN, 0};
        const int r = worker_poll(&mq->worker, &p, 1, -1);
        if (r == -2) {
            lookup_release(l);
            return false;
        }
        error = r < 0 ? EAI_SYSTEM : lookup_answer(l, &found);
        lookup_release(l);
    }
    if (found.count == 0) {
        std::snprintf(mq->refusal, sizeof mq->refusal, "cannot find its address: %s",
                      error == 0 ? "no address" : gai_strerror(error));
        return false;
    }
    std::snprintf(address, size, "%s", found.address[mq->address_turn % static_cast<unsigned>(found.count)]);
    return true;
}

// The library names the TLS server by the host it connects to, here an
// address: the broker hears the configured name instead (an address is
// never sent as a name).
void name_the_server(const SSL* ssl, int where, int)
{
    if (!(where & SSL_CB_HANDSHAKE_START))
        return;
    const char* host = static_cast<const char*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    unsigned char addr[16];
    auto* s = const_cast<SSL*>(ssl);
    if (host && inet_pton(AF_INET, host, addr) != 1 && inet_pton(AF_INET6, host, addr) != 1)
        SSL_set_tlsext_host_name(s, host);
    else
        SSL_set_tlsext_host_name(s, nullptr);
}

BIO* memory_bio(const std::string& text)
{
    return BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
}

// The broker's CA bundle, our certificate and key, and the name the broker's
// certificate must carry, in one context that every attempt uses. nullptr
// with the reason in fault when a file cannot be used.
SSL_CTX* tls_context(const MqttConfig& cfg, const char* certfile, const char* keyfile, char* fault, std::size_t size)
{
    std::string ca, cert, key;
    if (!fleet_read_file(cfg.cafile, &ca)) {
        std::snprintf(fault, size, "TLS: cannot read the CA file %.40s: %s", cfg.cafile, std::strerror(errno));
        return nullptr;
    }
    const bool client = certfile && certfile[0];
    if (client && (!fleet_read_file(certfile, &cert) || !keyfile || !keyfile[0] || !fleet_read_file(keyfile, &key))) {
        std::snprintf(fault, size, "TLS: cannot use the client certificate or key");
        return nullptr;
    }
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        std::snprintf(fault, size, "TLS: cannot make a context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    bool ok = true;
    int cas = 0;
    if (BIO* bio = memory_bio(ca)) {
        X509_STORE* store = SSL_CTX_get_cert_store(ctx);
        while (X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
            cas += X509_STORE_add_cert(store, x) == 1 ? 1 : 0;
            X509_free(x);
        }
        BIO_free(bio);
    }
    ERR_clear_error();  // the end of the bundle reads as an error
    if (cas == 0) {
        std::snprintf(fault, size, "TLS: cannot read the CA file %.40s: no certificate in it", cfg.cafile);
        ok = false;
    }
    if (ok && client) {
        BIO* cb = memory_bio(cert);
        BIO* kb = memory_bio(key);
        X509* x = cb ? PEM_read_bio_X509(cb, nullptr, nullptr, nullptr) : nullptr;
        EVP_PKEY* k = kb ? PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr) : nullptr;
        ok = x && k && SSL_CTX_use_certificate(ctx, x) == 1 && SSL_CTX_use_PrivateKey(ctx, k) == 1 &&
             SSL_CTX_check_private_key(ctx) == 1;
        // Intermediate certificates behind ours in the same file go with it.
        while (ok && cb) {
            X509* extra = PEM_read_bio_X509(cb, nullptr, nullptr, nullptr);
            if (!extra)
                break;
            if (SSL_CTX_add_extra_chain_cert(ctx, extra) != 1)
                X509_free(extra);
        }
        ERR_clear_error();
        X509_free(x);
        EVP_PKEY_free(k);
        BIO_free(cb);
        BIO_free(kb);
        if (!ok)
            std::snprintf(fault, size, "TLS: cannot use the client certificate or key");
    }
    // The broker's certificate must chain to the CA and name the host we asked for.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    unsigned char addr[16];
    const bool is_ip = inet_pton(AF_INET, cfg.host, addr) == 1 || inet_pton(AF_INET6, cfg.host, addr) == 1;
    if (ok &&
        !(is_ip ? X509_VERIFY_PARAM_set1_ip_asc(param, cfg.host) : X509_VERIFY_PARAM_set1_host(param, cfg.host, 0))) {
        std::snprintf(fault, size, "TLS: cannot check the name %.64s", cfg.host);
        ok = false;
    }
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_app_data(ctx, const_cast<char*>(cfg.host));
    SSL_CTX_set_info_callback(ctx, name_the_server);
    return ctx;
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
            errno != EINPROGRESS) {
            mq->watch_fd.reset();
            mq->broker_away = true;
        }
        return;
    }
    pollfd p{mq->watch_fd.get(), POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0) {
        if (now >= mq->watch_at_ms) {
            mq->watch_fd.reset();  // no answer within the second: the next try starts afresh
            mq->broker_away = true;
        }
        return;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(mq->watch_fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        error = -1;
    mq->watch_fd.reset();
    // Only a broker that was seen away and is back: one that took
    // connections all along (it ended ours on purpose) waits its turn.
    if (error == 0 && mq->broker_away)
        mq->next_attempt_ms = now;
    else if (error != 0)
        mq->broker_away = true;
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
// sent by the library on its own, so the store alone decides what goes.
void connect_attempt(MqttOutput* mq)
{
    mq->watch_fd.reset();
    mq->watch = false;
    mq->attempt_up = false;
    mq->connect_error = 0;
    mq->refusal[0] = '\0';
    mq->tls_error[0] = '\0';
    mq->oversize[0] = '\0';
    mq->connected_ms = 0;
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
    if (mq->format == FleetFormat::owntracks) {
        // OwnTracks' convention: the will on the device's own topic, with the connect time.
        char lwt[64];
        const std::size_t n = fleet_owntracks_lwt(static_cast<int64_t>(clock_wall_seconds()), lwt, sizeof lwt);
        mosquitto_will_set(m, mq->cfg.topic, static_cast<int>(n), lwt, 1, false);
    } else {
        mosquitto_will_set(m, topic(mq, "status").c_str(), static_cast<int>(sizeof kOffline - 1), kOffline, 1, true);
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (mq->cfg.tls) {
        // The context read at the start: the process can no longer reach the files.
        if (mq->tls == nullptr) {
            std::snprintf(mq->refusal, sizeof mq->refusal, "%s", mq->tls_fault);
            drop_connection(mq, MOSQ_ERR_TLS);
            return;
        }
        mosquitto_int_option(m, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
        rc = mosquitto_void_option(m, MOSQ_OPT_SSL_CTX, mq->tls);
        if (rc != MOSQ_ERR_SUCCESS) {
            drop_connection(mq, rc);
            return;
        }
    }
    // Without waiting for the connection: the loop completes it, and a stop
    // is never held up by a broker that does not answer.
    char address[INET6_ADDRSTRLEN];
    if (!broker_address(mq, address, sizeof address)) {
        if (mq->refusal[0] && !worker_stopping(&mq->worker)) {
            drop_connection(mq, MOSQ_ERR_EAI);
            return;
        }
        mosquitto_destroy(m);
        mq->mosq = nullptr;
        return;
    }
    rc = mosquitto_connect_async(m, address, static_cast<int>(mq->cfg.port), kKeepaliveSec);
    if (rc != MOSQ_ERR_SUCCESS)
        drop_connection(mq, rc);
}

// Positions go from the store oldest first, as many at once as the window
// allows. A record is the position as the dialect has it and, after a NUL,
// the Home Assistant attributes where those are wanted.
void pump(MqttOutput* mq)
{
    const std::string t = position_topic(mq), attributes = topic(mq, "attributes");
    std::string payload;
    while (mq->connected && mq->inflight.size() < kInflight && !saturated(mq)) {
        StoreRecord r;
        pthread_mutex_lock(mq->store_lock);
        const bool found = mq->store && store_next(mq->store, kStoreMqtt, mq->after, &r) == 1;
        if (found)
            payload.assign(r.payload, r.length);
        pthread_mutex_unlock(mq->store_lock);
        if (!found)
            return;
        const std::size_t nul = payload.find('\0');
        const std::size_t main_length = nul == std::string::npos ? payload.size() : nul;
        int mid = 0;
        const int rc = publish(mq, &mid, t, payload.data(), main_length, mq->cfg.qos, true);
        if (rc != MOSQ_ERR_SUCCESS)
            return;
        // The attributes end at the next NUL, where the HTTP output's part begins.
        const std::size_t end = nul == std::string::npos ? nul : payload.find('\0', nul + 1);
        const std::size_t ha_length = nul == std::string::npos
                                          ? 0
                                          : (end == std::string::npos ? payload.size() : end) - nul - 1;
        if (mq->ha && ha_length > 0)
            publish(mq, nullptr, attributes, payload.data() + nul + 1, ha_length, 0, true);
        mq->after = r.seq;
        if (mq->cfg.qos == 0) {
            pthread_mutex_lock(mq->store_lock);
            if (mq->store)
                store_done(mq->store, kStoreMqtt, r.seq);
            pthread_mutex_unlock(mq->store_lock);
        } else {
            mq->inflight.push_back(Inflight{mid, r.seq});
        }
        count(mq, 1, 0, 0);
    }
}

// Each cycle's sentences, while connected; not kept across an outage.
void publish_nmea(MqttOutput* mq)
{
    pthread_mutex_lock(&mq->lock);
    std::deque<std::string> waiting;
    waiting.swap(mq->nmea);
    pthread_mutex_unlock(&mq->lock);
    if (!mq->connected)
        return;
    const std::string t = topic(mq, "nmea");
    uint64_t dropped = 0;
    for (const std::string& text : waiting) {
        if (saturated(mq))
            dropped += 1;
        else
            publish(mq, nullptr, t, text.data(), text.size(), mq->cfg.qos, false);
    }
    if (dropped)
        count(mq, 0, 0, dropped);
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

// Whether what the broker sent next is an answer a client that subscribes
// to nothing can get; looked at before the library reads it, which would
// otherwise take a packet of any declared length whole. The library reads
// packet by packet, so what waits starts with a packet's fixed header.
bool answers_only(MqttOutput* mq)
{
    // Enough for more answers than the library reads in one go (one per
    // outstanding message, and what TLS holds decrypted).
    unsigned char head[16384];
    int n = -1;
    auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(mq->mosq));
    if (ssl != nullptr) {
        if (!SSL_is_init_finished(ssl))
            return true;
        n = SSL_peek(ssl, head, sizeof head);
        ERR_clear_error();
    } else if (mosquitto_socket(mq->mosq) >= 0) {
        n = static_cast<int>(recv(mosquitto_socket(mq->mosq), head, sizeof head, MSG_PEEK | MSG_DONTWAIT));
    }
    for (int at = 0; at + 1 < n; at += 2 + head[at + 1]) {
        if (head[at + 1] < kLargestAnswer)
            continue;
        std::snprintf(mq->oversize, sizeof mq->oversize,
                      "the broker sent a packet larger than any answer (type %u), not read", head[at] >> 4);
        return false;
    }
    return true;
}

// One turn of the connection. Until the broker's CONNACK the library's own
// loop runs it (it reads one packet then, and TLS carries no data before
// its handshake); after it, what the broker sent is looked at between the
// wait and the library's read, so that nothing arrives unseen in between.
int connection_turn(MqttOutput* mq)
{
    if (!mq->connected)
        return mosquitto_loop(mq->mosq, kLoopMs, 1);
    auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(mq->mosq));
    // What TLS read ahead while looking waits in its buffer, not on the socket.
    const bool pending = ssl && SSL_pending(ssl) > 0;
    pollfd p{mosquitto_socket(mq->mosq), static_cast<short>(POLLIN | (mosquitto_want_write(mq->mosq) ? POLLOUT : 0)),
             0};
    if (p.fd < 0)
        return MOSQ_ERR_NO_CONN;
    // The worker's own wait: a stop ends it at once, and the service's clock
    // measures it.
    const int r = worker_poll(&mq->worker, &p, 1, pending ? 0 : kLoopMs);
    if (r == -2)
        return MOSQ_ERR_SUCCESS;  // the loop ends at the stop and says goodbye
    if (r < 0 && errno != EINTR)
        return MOSQ_ERR_ERRNO;
    int rc = MOSQ_ERR_SUCCESS;
    if (pending || (p.revents & (POLLIN | POLLHUP | POLLERR))) {
        if (!answers_only(mq))
            return MOSQ_ERR_PROTOCOL;
        rc = mosquitto_loop_read(mq->mosq, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && mq->mosq && mosquitto_socket(mq->mosq) >= 0 && mosquitto_want_write(mq->mosq))
        rc = mosquitto_loop_write(mq->mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_loop_misc(mq->mosq);
    return rc;
}

// A connection whose messages the broker stopped taking is ended once that
// lasted longer than the keep-alive; while it lasts nothing more is handed
// on. One that lasted with an acknowledgement starts the back-off afresh.
bool connection_healthy(MqttOutput* mq, long long now)
{
    if (!mq->connected)
        return true;
    if (!mq->stable && mq->acked && now - mq->connected_ms >= kStableMs) {
        mq->stable = true;
        mq->backoff_ms = kBackoffMinMs;
        if (mq->churn > 0)
            log_msg(LOG_NOTICE, "mqtt: connected to broker %s:%u, and it lasts (%llu connections before ended early)",
                    mq->cfg.host, static_cast<unsigned>(mq->cfg.port), static_cast<unsigned long long>(mq->churn));
        mq->churn = mq->churn_reported = 0;
        mq->reason[0] = '\0';
        show_reason(mq, "");
    }
    if (mq->outstanding > 0 && now - mq->stalled_since > kKeepaliveSec * 1000LL) {
        std::snprintf(mq->refusal, sizeof mq->refusal, "the broker acknowledged nothing for %d s, %d messages waiting",
                      kKeepaliveSec, mq->outstanding);
        return false;
    }
    if (saturated(mq))
        show_reason(mq, "the broker acknowledges nothing: NMEA dropped, positions kept");
    return true;
}

// While connections keep ending early, the log hears how many did every
// few minutes.
void churn_summary(MqttOutput* mq, long long now)
{
    if (mq->churn <= 1) {
        mq->churn_summary_ms = now + kChurnSummaryMs;
        return;
    }
    if (now < mq->churn_summary_ms || mq->churn == mq->churn_reported)
        return;
    mq->churn_summary_ms = now + kChurnSummaryMs;
    log_msg(LOG_WARNING, "mqtt: broker %s:%u: %llu connections in a row ended within %lld s (last: %s)", mq->cfg.host,
            static_cast<unsigned>(mq->cfg.port), static_cast<unsigned long long>(mq->churn), kStableMs / 1000,
            mq->reason);
    mq->churn_reported = mq->churn;
}

void* run(void* arg)
{
    auto* mq = static_cast<MqttOutput*>(arg);
    while (!worker_stopping(&mq->worker)) {
        const long long now = monotonic_ms();
        publish_nmea(mq);
        if (!mq->mosq && now < mq->next_attempt_ms)
            watch_broker(mq, now);
        if (!mq->mosq && now >= mq->next_attempt_ms)
            connect_attempt(mq);
        if (!mq->mosq) {
            worker_sleep(&mq->worker, kLoopMs);
            continue;
        }
        churn_summary(mq, now);
        if (!connection_healthy(mq, now)) {
            drop_connection(mq, MOSQ_ERR_PROTOCOL);
            continue;
        }
        pump(mq);
        if (!mq->attempt_up && mq->connect_error == 0)
            note_connect_error(mq);
        const int rc = connection_turn(mq);
        if (rc != MOSQ_ERR_SUCCESS)
            drop_connection(mq, rc);
    }
    goodbye(mq);
    return nullptr;
}

}  // namespace

MqttOutput* mqtt_open(const MqttSettings* settings, const FleetSettings* fleet, const char* router_id,
                      const char* version, FleetStore* store, pthread_mutex_t* store_lock)
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
    // A broker keeps one connection per client id: two routers that both
    // fall back on the distribution's host name would take turns.
    static constexpr const char* kCommonHosts[] = {"OpenWrt", "localhost", "debian", "(none)", "gnssd"};
    if ((!settings->client_id || !settings->client_id[0]) && (!router_id || !router_id[0]))
        for (const char* common : kCommonHosts)
            if (std::strcmp(cfg.client_id, common) == 0)
                log_msg(LOG_WARNING,
                        "mqtt: the client id \"%s\" is the host name most routers have: set MOD_GPS_MQTT_CLIENT_ID "
                        "or the router id, or a second router will take the connection in turns",
                        cfg.client_id);
    mosquitto_lib_init();
    auto* mq = new (std::nothrow) MqttOutput{};
    if (!mq) {
        log_msg(LOG_ERR, "mqtt: out of memory, not publishing");
        return nullptr;
    }
    mq->cfg = cfg;
    mq->username = settings->username ? settings->username : "";
    mq->password = settings->password ? settings->password : "";
    mq->version = version ? version : "unknown";
    mq->store = store;
    mq->store_lock = store_lock;
    if (fleet != nullptr) {
        (void)fleet_format(fleet->mqtt_format, &mq->format);
        mq->ha = fleet->mqtt_ha_discovery != 0;
        mq->ha_prefix = fleet->mqtt_ha_prefix && fleet->mqtt_ha_prefix[0] ? fleet->mqtt_ha_prefix : "homeassistant";
    }
    if (cfg.tls)
        mq->tls = tls_context(mq->cfg, settings->certfile, settings->keyfile, mq->tls_fault, sizeof mq->tls_fault);
    pthread_mutex_init(&mq->lock, nullptr);
    mq->state = State::connecting;
    mq->backoff_ms = kBackoffMinMs;
    return mq;
}

void mqtt_start(MqttOutput* mq)
{
    if (!mq)
        return;
    const int err = worker_start(&mq->worker, run, mq);
    if (err != 0) {
        log_msg(LOG_ERR, "mqtt: cannot start its thread: %s", std::strerror(err));
        return;
    }
    mq->started = true;
    log_msg(LOG_NOTICE, "mqtt: publishing to %s:%u%s under \"%s\"", mq->cfg.host, static_cast<unsigned>(mq->cfg.port),
            mq->cfg.tls ? " (TLS)" : "", mq->cfg.topic);
}

void mqtt_nmea(MqttOutput* mq, const char* text, std::size_t length)
{
    if (!mq || !mq->started || !mq->cfg.nmea || length == 0)
        return;
    pthread_mutex_lock(&mq->lock);
    if (mq->nmea.size() < kNmeaWaiting)
        mq->nmea.emplace_back(text, length);
    else
        mq->dropped += 1;
    pthread_mutex_unlock(&mq->lock);
}

void mqtt_attach_store(MqttOutput* mq, FleetStore* store)
{
    if (!mq)
        return;
    pthread_mutex_lock(mq->store_lock);
    mq->store = store;
    pthread_mutex_unlock(mq->store_lock);
}

const MqttConfig* mqtt_config_of(const MqttOutput* mq)
{
    return mq ? &mq->cfg : nullptr;
}

bool mqtt_keeps(MqttOutput* mq)
{
    if (!mq)
        return false;
    pthread_mutex_lock(&mq->lock);
    const bool keeps = mq->cfg.backlog > 0 || mq->state == State::connected;
    if (!keeps)
        mq->dropped += 1;
    pthread_mutex_unlock(&mq->lock);
    return keeps;
}

void mqtt_family(MqttOutput* mq, const char* family)
{
    if (!mq)
        return;
    pthread_mutex_lock(&mq->lock);
    std::snprintf(mq->family, sizeof mq->family, "%s", family);
    pthread_mutex_unlock(&mq->lock);
}

void mqtt_close(MqttOutput* mq)
{
    if (!mq)
        return;
    if (mq->started)
        worker_stop(&mq->worker);
    pthread_mutex_destroy(&mq->lock);
    SSL_CTX_free(mq->tls);
    delete mq;
    mosquitto_lib_cleanup();
}

MqttStatus mqtt_status(MqttOutput* mq)
{
    MqttStatus st{};
    std::snprintf(st.state, sizeof st.state, "disabled");
    if (!mq)
        return st;
    pthread_mutex_lock(&mq->lock);
    std::snprintf(st.state, sizeof st.state, "%s",
                  mq->state == State::connected ? "connected"
                  : mq->state == State::waiting ? "waiting"
                                                : "connecting");
    st.published = mq->published;
    st.acknowledged = mq->acknowledged;
    st.dropped = mq->dropped;
    std::snprintf(st.last_error, sizeof st.last_error, "%s", mq->last_error);
    pthread_mutex_unlock(&mq->lock);
    return st;
}
