// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed over HTTP(S) in the OsmAnd protocol: one GET a position,
// sent by a thread of its own so that its caller never waits on the network.
#include "fleet/http.h"

#include <curl/curl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fleet/files.h"
#include "fleet/position.h"
#include "outputs/mqtt.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/worker.h"

namespace {

// A query of one position with room to spare (the longest is ~260 bytes).
constexpr std::size_t kQuerySize = 512;
constexpr uint32_t kTimeoutDefaultMs = 10000;

pthread_once_t g_curl_once = PTHREAD_ONCE_INIT;
bool g_curl_ready;

void curl_start()
{
    g_curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

template <std::size_t N>
bool copy(char (&slot)[N], const char* text)
{
    const int n = std::snprintf(slot, N, "%s", text ? text : "");
    return n >= 0 && static_cast<std::size_t>(n) < N;
}

// Splits scheme://host[:port]/path; false for anything else.
bool parse_url(const char* url, HttpConfig* c)
{
    const char* rest;
    if (std::strncmp(url, "https://", 8) == 0) {
        c->tls = true;
        rest = url + 8;
    } else if (std::strncmp(url, "http://", 7) == 0) {
        c->tls = false;
        rest = url + 7;
    } else {
        return false;
    }
    const std::size_t authority = std::strcspn(rest, "/?#");
    if (std::memchr(rest, '@', authority) || std::strpbrk(url, " \t\r\n#"))
        return false;
    // An IPv6 address stands in brackets, its colons no port's.
    const char* end = rest + authority;
    const char* host_end = rest[0] == '[' ? static_cast<const char*>(std::memchr(rest, ']', authority)) : rest;
    if (!host_end)
        return false;
    const char* colon = static_cast<const char*>(std::memchr(host_end, ':', static_cast<std::size_t>(end - host_end)));
    if (rest[0] == '[' && host_end + 1 != (colon ? colon : end))
        return false;
    const std::size_t host_len = colon ? static_cast<std::size_t>(colon - rest) : authority;
    if (host_len == 0 || host_len >= sizeof c->host)
        return false;
    std::memcpy(c->host, rest, host_len);
    c->host[host_len] = '\0';
    c->port = c->tls ? 443 : 80;
    if (colon) {
        char* digits_end;
        const unsigned long port = std::strtoul(colon + 1, &digits_end, 10);
        if (digits_end != end || port == 0 || port > 65535)
            return false;
        c->port = static_cast<uint32_t>(port);
    }
    return copy(c->url, url);
}

}  // namespace

struct HttpOutput {
    HttpConfig cfg;
    Worker worker;
    Fd wake;  // eventfd: a position was offered
    CURL* curl;
    char curl_error[CURL_ERROR_SIZE];

    pthread_mutex_t lock;
    // Guarded by lock.
    bool busy;  // offered, result not yet taken
    bool finished;
    bool done;
    uint64_t seq;
    char query[kQuerySize];
    long long retry_at_ms;
    uint32_t retry_ms;
    uint64_t sent;
    uint64_t failed;
    char last_error[256];
};

namespace {

// A request's outcome: "" when the server took it, else why not.
void outcome(HttpOutput* h, CURLcode rc, long status, char* why, std::size_t size)
{
    if (rc != CURLE_OK) {
        std::snprintf(why, size, "%s", h->curl_error[0] ? h->curl_error : curl_easy_strerror(rc));
        // libcurl says how long a failed connect took ("... after 2 ms: ..."):
        // the same failure must read the same, or every retry is logged anew.
        char* after = std::strstr(why, " after ");
        char* ms = after ? std::strstr(after, " ms") : nullptr;
        if (ms && std::strspn(after + 7, "0123456789") == static_cast<std::size_t>(ms - after - 7))
            std::memmove(after, ms + 3, std::strlen(ms + 3) + 1);
    } else if (status < 200 || status > 299)
        std::snprintf(why, size, "HTTP status %ld", status);
    else
        why[0] = '\0';
}

int abandon_on_stop(void* arg, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return worker_stopping(&static_cast<HttpOutput*>(arg)->worker) ? 1 : 0;
}

size_t discard(char*, size_t size, size_t count, void*)
{
    return size * count;
}

void send_one(HttpOutput* h, const char* query)
{
    char url[sizeof h->cfg.url + kQuerySize + 1];
    std::snprintf(url, sizeof url, "%s%c%s", h->cfg.url, std::strchr(h->cfg.url, '?') ? '&' : '?', query);
    h->curl_error[0] = '\0';
    curl_easy_setopt(h->curl, CURLOPT_URL, url);
    const CURLcode rc = curl_easy_perform(h->curl);
    long status = 0;
    curl_easy_getinfo(h->curl, CURLINFO_RESPONSE_CODE, &status);
    // A request abandoned for the stop is neither a failure nor a delivery.
    if (worker_stopping(&h->worker))
        return;
    char why[256];
    outcome(h, rc, status, why, sizeof why);

    pthread_mutex_lock(&h->lock);
    h->done = why[0] == '\0';
    h->finished = true;
    const bool changed = std::strcmp(why, h->last_error) != 0;
    if (h->done) {
        ++h->sent;
        h->retry_ms = 0;
    } else {
        ++h->failed;
        h->retry_ms = h->retry_ms ? h->retry_ms * 2 : h->cfg.retry_min_ms;
        if (h->retry_ms > h->cfg.retry_max_ms)
            h->retry_ms = h->cfg.retry_max_ms;
        h->retry_at_ms = monotonic_ms() + h->retry_ms;
    }
    const bool recovered = h->done && h->last_error[0];
    copy(h->last_error, why);
    pthread_mutex_unlock(&h->lock);
    // Said once per change of the reason, not per retry.
    if (!h->done && changed)
        log_msg(LOG_ERR, "http: server %s:%u: %s", h->cfg.host, static_cast<unsigned>(h->cfg.port), why);
    if (recovered)
        log_msg(LOG_NOTICE, "http: server %s:%u takes positions again", h->cfg.host,
                static_cast<unsigned>(h->cfg.port));
}

void* http_thread(void* arg)
{
    auto* h = static_cast<HttpOutput*>(arg);
    char query[kQuerySize];
    for (;;) {
        pollfd p{h->wake.get(), POLLIN, 0};
        if (worker_poll(&h->worker, &p, 1, -1) == -2)
            break;
        uint64_t n;
        if (read(h->wake.get(), &n, sizeof n) < 0)
            continue;
        pthread_mutex_lock(&h->lock);
        const bool take = h->busy && !h->finished;
        if (take)
            std::memcpy(query, h->query, sizeof query);
        pthread_mutex_unlock(&h->lock);
        if (take)
            send_one(h, query);
    }
    return nullptr;
}

// A TLS file handed to libcurl as its content (which it copies).
bool blob(CURL* e, CURLoption option, const char* path, const char* what)
{
    std::string text;
    if (!fleet_read_file(path, &text)) {
        log_msg(LOG_ERR, "http: cannot read %s %.64s: %s", what, path, std::strerror(errno));
        return false;
    }
    curl_blob b{text.data(), text.size(), CURL_BLOB_COPY};
    return curl_easy_setopt(e, option, &b) == CURLE_OK;
}

// The request every position shares: GET, verified TLS and nothing else,
// no redirect, the time limit, the credentials.
bool setup(HttpOutput* h)
{
    const HttpConfig& c = h->cfg;
    CURL* e = h->curl;
    bool ok = curl_easy_setopt(e, CURLOPT_ERRORBUFFER, h->curl_error) == CURLE_OK;
    // With TLS asked for, nothing may go in plain text, not even a redirect.
#if LIBCURL_VERSION_NUM >= 0x075500
    ok = ok && curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, c.tls ? "https" : "http") == CURLE_OK;
#else
    ok = ok && curl_easy_setopt(e, CURLOPT_PROTOCOLS, c.tls ? CURLPROTO_HTTPS : CURLPROTO_HTTP) == CURLE_OK;
#endif
    ok = ok && curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(c.timeout_ms)) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, discard) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, abandon_on_stop) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_XFERINFODATA, h) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_USERAGENT, "gnssd-fleet/" GNSSD_VERSION) == CURLE_OK;
    if (c.tls) {
        ok = ok && curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
        ok = ok && curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
        // Read now, while the process may still reach them: it gives root
        // up before the first request.
        ok = ok && blob(e, CURLOPT_CAINFO_BLOB, c.cafile, "the CA file");
        if (c.certfile[0])
            ok = ok && blob(e, CURLOPT_SSLCERT_BLOB, c.certfile, "the client certificate");
        if (c.keyfile[0])
            ok = ok && blob(e, CURLOPT_SSLKEY_BLOB, c.keyfile, "the client key");
    }
    if (c.username[0]) {
        ok = ok && curl_easy_setopt(e, CURLOPT_HTTPAUTH, CURLAUTH_BASIC) == CURLE_OK;
        ok = ok && curl_easy_setopt(e, CURLOPT_USERNAME, c.username) == CURLE_OK;
        ok = ok && curl_easy_setopt(e, CURLOPT_PASSWORD, c.password) == CURLE_OK;
    }
    return ok;
}

void release(HttpOutput* h)
{
    if (h->curl)
        curl_easy_cleanup(h->curl);
    pthread_mutex_destroy(&h->lock);
    delete h;
}

}  // namespace

bool http_config(const HttpSettings* s, const char* router_id, const char* host_name, HttpConfig* c, const char** fault)
{
    *fault = nullptr;
    *c = HttpConfig{};
    if (!s || !s->enabled)
        return false;
    if (!s->url || !s->url[0] || !parse_url(s->url, c)) {
        *fault = "no http:// or https:// URL";
        return false;
    }
    const char* id = s->id && s->id[0]           ? s->id
                     : router_id && router_id[0] ? router_id
                     : host_name && host_name[0] ? host_name
                                                 : "gnssd";
    bool fits = copy(c->id, id);
    fits = fits && copy(c->cafile, s->cafile && s->cafile[0] ? s->cafile : kMqttCaFile);
    fits = fits && copy(c->certfile, s->certfile) && copy(c->keyfile, s->keyfile);
    fits = fits && copy(c->username, s->username) && copy(c->password, s->password);
    if (!fits) {
        *fault = "a setting too long";
        return false;
    }
    c->period = s->period ? s->period : 5;
    c->period_halt = s->period_halt ? s->period_halt : 60;
    c->timeout_ms = s->timeout ? s->timeout * 1000 : kTimeoutDefaultMs;
    c->retry_min_ms = kHttpRetryMinMs;
    c->retry_max_ms = kHttpRetryMaxMs;
    return true;
}

HttpOutput* http_open(const HttpConfig* cfg)
{
    pthread_once(&g_curl_once, curl_start);
    if (!g_curl_ready) {
        log_msg(LOG_ERR, "http: libcurl cannot start, not sending");
        return nullptr;
    }
    auto* h = new HttpOutput{};
    h->cfg = *cfg;
    pthread_mutex_init(&h->lock, nullptr);
    h->wake = Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    h->curl = curl_easy_init();
    if (!h->wake || !h->curl || !setup(h)) {
        log_msg(LOG_ERR, "http: cannot set up requests to %s:%u, not sending", cfg->host,
                static_cast<unsigned>(cfg->port));
        release(h);
        return nullptr;
    }
    if (!cfg->tls && cfg->username[0])
        log_msg(LOG_WARNING, "http: the password goes to %s:%u in plain text (http://)", cfg->host,
                static_cast<unsigned>(cfg->port));
    const int err = worker_start(&h->worker, http_thread, h);
    if (err != 0) {
        log_msg(LOG_ERR, "http: cannot start its thread: %s", std::strerror(err));
        release(h);
        return nullptr;
    }
    log_msg(LOG_NOTICE, "http: sending positions to %s:%u as \"%s\"", cfg->host, static_cast<unsigned>(cfg->port),
            cfg->id);
    return h;
}

bool http_offer(HttpOutput* h, uint64_t seq, const char* query)
{
    if (!h || !query || std::strlen(query) >= kQuerySize)
        return false;
    pthread_mutex_lock(&h->lock);
    const bool free = !h->busy && (h->retry_ms == 0 || monotonic_ms() >= h->retry_at_ms);
    if (free) {
        h->busy = true;
        h->finished = false;
        h->seq = seq;
        copy(h->query, query);
    }
    pthread_mutex_unlock(&h->lock);
    if (free) {
        const uint64_t one = 1;
        if (write(h->wake.get(), &one, sizeof one) < 0) {
            // An eventfd refuses a write only at its limit: the thread is awake anyway.
        }
    }
    return free;
}

bool http_result(HttpOutput* h, uint64_t* seq, bool* done)
{
    if (!h)
        return false;
    pthread_mutex_lock(&h->lock);
    const bool ready = h->busy && h->finished;
    if (ready) {
        *seq = h->seq;
        *done = h->done;
        h->busy = false;
    }
    pthread_mutex_unlock(&h->lock);
    return ready;
}

void http_close(HttpOutput* h)
{
    if (!h)
        return;
    worker_stop(&h->worker);
    release(h);
}

HttpStatus http_status(HttpOutput* h)
{
    HttpStatus st{};
    st.state = "disabled";
    if (!h)
        return st;
    pthread_mutex_lock(&h->lock);
    st.state = h->busy && !h->finished                          ? "sending"
               : h->retry_ms && monotonic_ms() < h->retry_at_ms ? "waiting"
                                                                : "ready";
    st.sent = h->sent;
    st.failed = h->failed;
    copy(st.last_error, h->last_error);
    pthread_mutex_unlock(&h->lock);
    return st;
}

std::size_t http_status_json(HttpOutput* h, const HttpConfig* c, char* buf, std::size_t size)
{
    const HttpStatus st = http_status(h);
    TextOut o{buf, size, 0, false};
    o.add("{\"enabled\":%s,\"host\":\"", h ? "true" : "false");
    o.json_text(c ? c->host : "");
    o.add("\",\"port\":%u,\"tls\":%s,\"state\":\"%s\",\"sent\":%" PRIu64 ",\"failed\":%" PRIu64 ",\"last_error\":",
          c ? static_cast<unsigned>(c->port) : 0u, c && c->tls ? "true" : "false", st.state, st.sent, st.failed);
    if (st.last_error[0]) {
        o.add("\"");
        o.json_text(st.last_error);
        o.add("\"}");
    } else {
        o.add("null}");
    }
    return o.result();
}

std::size_t http_status_line(HttpOutput* h, const HttpConfig* c, char* buf, std::size_t size)
{
    TextOut o{buf, size, 0, false};
    if (!h || !c) {
        o.add("http: off\n");
        return o.result();
    }
    const HttpStatus st = http_status(h);
    o.add("http: %s %s:%u %s, %" PRIu64 " sent, %" PRIu64 " failed", c->tls ? "https" : "http", c->host,
          static_cast<unsigned>(c->port), st.state, st.sent, st.failed);
    if (st.last_error[0])
        o.add(", last error: %s", st.last_error);
    o.add("\n");
    return o.result();
}
