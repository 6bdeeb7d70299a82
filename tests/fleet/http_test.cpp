// SPDX-License-Identifier: BSD-2-Clause
// The OsmAnd output against a real HTTPS server with certificates made here.
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "fleet/http.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "support/fleet_kit.h"
#include "support/harness.h"
#include "support/inproc.h"

using namespace std::chrono_literals;

namespace {

struct Sent {
    bool finished = false;
    bool done = false;
};

// Offers one position (waiting out a back-off) and waits for its result.
Sent send(HttpOutput* out, uint64_t seq, const std::string& query)
{
    Sent s;
    if (!th::wait_until([&] { return http_offer(out, seq, query.c_str()); }, 5s, 10ms))
        return s;
    uint64_t got = 0;
    s.finished = th::wait_until([&] { return http_result(out, &got, &s.done); }, 10s, 10ms) && got == seq;
    return s;
}

HttpSettings settings(const std::string& url, const std::string& cafile)
{
    static std::string u, ca;
    u = url;
    ca = cafile;
    static char empty[1] = "";
    static char user[] = "fleet";
    static char pass[] = "s3cret";
    HttpSettings s{};
    s.enabled = 1;
    s.url = u.data();
    s.id = s.certfile = s.keyfile = empty;
    s.cafile = ca.data();
    s.username = user;
    s.password = pass;
    s.timeout = 5;
    return s;
}

}  // namespace

TEST(HttpConfig, FromTheSettings)
{
    struct Case {
        const char* url;
        const char* id;
        const char* host;  // nullptr: refused
        uint32_t port;
        bool tls;
    };
    const Case cases[] = {
        {"https://fleet.example.net/osmand", "", "fleet.example.net", 443, true},
        {"http://10.0.0.5:5055", "van7", "10.0.0.5", 5055, false},
        {"https://fleet.example.net:8443/?key=a", "", "fleet.example.net", 8443, true},
        {"https://[fd00::5]:8443/osmand", "", "[fd00::5]", 8443, true},
        {"http://[fd00::5]/", "", "[fd00::5]", 80, false},
        {"http://[fd00::5/", "", nullptr, 0, false},
        {"ftp://fleet.example.net/", "", nullptr, 0, false},
        {"https://user:pw@fleet.example.net/", "", nullptr, 0, false},
        {"https://fleet.example.net:99999/", "", nullptr, 0, false},
        {"https://:8443/", "", nullptr, 0, false},
        {"", "", nullptr, 0, false},
    };
    for (const Case& c : cases) {
        HttpSettings s = settings(c.url, "");
        s.id = const_cast<char*>(c.id);
        HttpConfig cfg;
        const char* fault;
        ASSERT_EQ(http_config(&s, "router-1", "host", &cfg, &fault), c.host != nullptr) << c.url;
        if (!c.host) {
            EXPECT_STREQ(fault, "no http:// or https:// URL");
            continue;
        }
        EXPECT_STREQ(cfg.host, c.host) << c.url;
        EXPECT_EQ(cfg.port, c.port) << c.url;
        EXPECT_EQ(cfg.tls, c.tls) << c.url;
        EXPECT_STREQ(cfg.id, c.id[0] ? c.id : "router-1") << c.url;
        EXPECT_STREQ(cfg.cafile, "/etc/ssl/certs/ca-certificates.crt");
        EXPECT_EQ(cfg.period * 100 + cfg.period_halt, 560u) << "5 s and 60 s";
    }
    HttpSettings off = settings("https://x/", "");
    off.enabled = 0;
    HttpConfig cfg;
    const char* fault;
    EXPECT_FALSE(http_config(&off, "", "", &cfg, &fault));
    EXPECT_EQ(fault, nullptr);
    EXPECT_STREQ(http_status(nullptr).state, "disabled");
    char buf[256];
    EXPECT_EQ(std::string(buf, http_status_line(nullptr, nullptr, buf, sizeof buf)), "http: off\n");
    EXPECT_EQ(std::string(buf, http_status_json(nullptr, nullptr, buf, sizeof buf)),
              "{\"enabled\":false,\"host\":\"\",\"port\":0,\"tls\":false,\"state\":\"disabled\",\"sent\":0,"
              "\"failed\":0,\"last_error\":null}");
}

// The right CA and host name deliver with basic authentication; a 503 keeps
// the position for a retry after the back-off; an unknown CA, a wrong host
// name and a server that is away deliver nothing and say why, naming the
// server, once per reason.
TEST(HttpOutput, DeliversOrKeepsThePositionAndSaysWhy)
{
    if (!th::sh("command -v openssl && command -v python3"))
        GTEST_SKIP() << "openssl or python3 is not installed (scripts/install-deps.sh)";
    const std::string root = th::process_root();
    th::HttpsServer server;
    ASSERT_TRUE(server.start()) << server.proc.log();
    const std::string port = std::to_string(server.port);
    // The CA files are router paths, below the process's root like every other.
    const std::string d = "/etc/ssl/fleet";
    ASSERT_TRUE(th::sh("mkdir -p " + root + d + " && cp " + server.dir.path + "/ca.pem " + server.dir.path +
                       "/other.pem " + root + d));
    const std::string query = "id=van7&lat=48.117300&lon=11.516667&timestamp=1796732119&valid=true";

    struct Case {
        const char* legend;
        std::string url;
        std::string cafile;
        std::string query;
        bool done;
        const char* reason;  // part of the last error
    };
    const int away = th::free_port(SOCK_STREAM);
    const Case cases[] = {
        {"good", "https://localhost:" + port + "/osmand", d + "/ca.pem", query, true, ""},
        {"busy server", "https://localhost:" + port + "/osmand", d + "/ca.pem", "id=busy", false, "HTTP status 503"},
        {"unknown CA", "https://localhost:" + port + "/", d + "/other.pem", query, false, "certificate"},
        {"wrong host name", "https://127.0.0.1:" + port + "/", d + "/ca.pem", query, false, "127.0.0.1"},
        {"server away", "https://localhost:" + std::to_string(away) + "/", d + "/ca.pem", query, false, "onnect"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        plat_log_forget_repeats();
        const HttpSettings s = settings(c.url, c.cafile);
        HttpConfig cfg;
        const char* fault;
        ASSERT_TRUE(http_config(&s, "", "", &cfg, &fault));
        cfg.retry_min_ms = 200;
        std::string log;
        {
            th::StderrCapture err;
            HttpOutput* out = http_open(&cfg);
            ASSERT_NE(out, nullptr);
            Sent first = send(out, 7, c.query);
            ASSERT_TRUE(first.finished);
            EXPECT_EQ(first.done, c.done);
            HttpStatus st = http_status(out);
            EXPECT_NE(std::string(st.last_error).find(c.reason), std::string::npos) << st.last_error;
            if (!c.done) {
                EXPECT_STREQ(st.state, "waiting");
                EXPECT_FALSE(http_offer(out, 7, c.query.c_str())) << "offered again within the back-off";
                // The retry of the same position, after the back-off.
                Sent again = send(out, 7, c.query);
                EXPECT_TRUE(again.finished);
                EXPECT_FALSE(again.done);
                char line[512];
                const std::string want = "http: https " + std::string(cfg.host) + ":" + std::to_string(cfg.port) +
                                         " waiting, 0 sent, 2 failed, last error: ";
                EXPECT_EQ(std::string(line, http_status_line(out, &cfg, line, sizeof line)).rfind(want, 0), 0u) << line;
            } else {
                EXPECT_STREQ(st.state, "ready");
                EXPECT_EQ(st.sent, 1u);
                char json[512];
                EXPECT_EQ(std::string(json, http_status_json(out, &cfg, json, sizeof json)),
                          "{\"enabled\":true,\"host\":\"localhost\",\"port\":" + port +
                              ",\"tls\":true,\"state\":\"ready\",\"sent\":1,\"failed\":0,\"last_error\":null}");
            }
            http_close(out);
            log = err.text();
        }
        const std::string said = "http: server " + std::string(cfg.host) + ":" + std::to_string(cfg.port) + ": ";
        EXPECT_EQ(th::count_of(log, said), c.done ? 0 : 1) << log;
    }
    const std::string requests = server.requests();
    EXPECT_EQ(th::count_of(requests, "/osmand?" + query + " Basic ZmxlZXQ6czNjcmV0\n"), 1) << requests;
    EXPECT_EQ(th::count_of(requests, "/osmand?id=busy "), 2) << requests;
    EXPECT_EQ(th::count_of(requests, "\n"), 3) << "nothing reached the server without a verified TLS session";
}
