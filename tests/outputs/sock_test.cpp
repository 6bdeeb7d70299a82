// SPDX-License-Identifier: BSD-2-Clause
// Socket helpers of the outputs: whole sends, Unix listeners, address literals and connects in order.
#include "outputs/rsock_kit.h"

using namespace std::chrono_literals;
using namespace rsock_kit;

namespace {

TEST(SockSendText, WholeTextToSocketsAndPipesAndNothingToAClientThatLeft)
{
    // Larger than a socket pair's buffer: the send must go on after a short one.
    const std::string big(300000, 'x');
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    std::string got;
    std::thread reader([&] {
        char buf[8192];
        ssize_t n;
        while ((n = read(sv[1], buf, sizeof buf)) > 0)
            got.append(buf, static_cast<std::size_t>(n));
    });
    sock_send_text(sv[0], big.data(), big.size());
    close(sv[0]);
    reader.join();
    close(sv[1]);
    EXPECT_EQ(got.size(), big.size());

    // A command handler may be handed a pipe rather than a client socket.
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    sock_send_text(p[1], "reply\n", 6);
    close(p[1]);
    char buf[16] = {};
    EXPECT_EQ(read(p[0], buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "reply\n");
    close(p[0]);

    // A client gone before its answer: the default SIGPIPE would end this program.
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    close(sv[1]);
    sock_send_text(sv[0], "late\n", 5);
    close(sv[0]);
}

TEST(SockUnixListen, ReplacesAStaleFileAndRefusesPathsItCannotBind)
{
    const std::string root = th::process_root();
    struct Case {
        const char* legend;
        std::string path;
        bool ok;
        const char* message;
    };
    // A socket left by an earlier run, and a plain file that is not ours.
    {
        int stale = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s/run/stale.socket", root.c_str());
        ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        close(stale);
    }
    th::write_file(root + "/run/plain.file", "stray");
    std::filesystem::create_directories(root + "/run/a.dir");
    const Case cases[] = {
        {"a socket left at the path is replaced", "/run/stale.socket", true, ""},
        {"so is a plain file", "/run/plain.file", true, ""},
        {"a directory is left alone and named", "/run/a.dir", false,
         "gps: err: cannot replace /run/a.dir: Is a directory\ngps: err: bind socket error: Address already in use"},
        {"missing directory", "/run/no-such-dir/gps.socket", false,
         "gps: err: bind socket error: No such file or directory"},
        {"longer than a socket address holds", "/run/" + std::string(120, 'x'), false,
         "gps: err: bind socket error: File name too long"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        th::StderrCapture log;
        int fd = sock_unix_listen(c.path.c_str());
        EXPECT_EQ(fd >= 0, c.ok);
        if (fd >= 0) {
            // A client reaches it under the root.
            int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un sa{};
            sa.sun_family = AF_UNIX;
            std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s%s", root.c_str(), c.path.c_str());
            EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
            close(client);
            sock_close(fd);
        }
        EXPECT_NE(log.text().find(c.message), std::string::npos) << log.text();
        if (c.ok) {
            EXPECT_EQ(log.text(), "");
        }
    }
    EXPECT_TRUE(std::filesystem::is_directory(root + "/run/a.dir"));
}

// Address literals of both families, with the text the log and the status
// report show for them; the unspecified addresses give nothing to connect to.
TEST(SockLookup, LiteralsOfBothFamiliesAndTheirText)
{
    struct Case {
        const char* name;
        int result;
        const char* text;  // of the one address; nullptr: none
    };
    const Case cases[] = {
        {"127.0.0.1", 0, "127.0.0.1:4464"},
        {"::1", 0, "[::1]:4464"},
        {"2001:db8::5", 0, "[2001:db8::5]:4464"},
        {"[2001:db8::5]", 0, "[2001:db8::5]:4464"},
        {"::ffff:192.0.2.1", 0, "[::ffff:192.0.2.1]:4464"},
        {"0.0.0.0", 0, nullptr},
        {"::", 0, nullptr},
        {"[::]", 0, nullptr},
        {"[127.0.0.1]", -1, nullptr},
        {"2001:db8::5]", -1, nullptr},
        {"[]", -1, nullptr},
        {"2001:db8::5:4000:1:2:3:4", -1, nullptr},
        {"fleet.example", -1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SockAddrList list;
        list.count = 7;
        // 70000: only the low 16 bits are a port.
        EXPECT_EQ(sock_lookup_numeric(c.name, 70000, SOCK_DGRAM, &list), c.result);
        ASSERT_EQ(list.count, c.text ? 1 : 0);
        EXPECT_EQ(sock_is_ipv6_literal(c.name), c.result == 0 && std::strchr(c.name, ':') != nullptr);
        if (c.text) {
            char text[kSockAddrText];
            EXPECT_STREQ(sock_addr_text(&list.addr[0], text, sizeof text), c.text);
        }
    }
}

// The wait a connect is handed: records the time allowed, and lets the
// connect run no longer than 2 s in the test.
int recording_wait(void* ctx, int sock, int timeout_ms)
{
    static_cast<std::vector<int>*>(ctx)->push_back(timeout_ms);
    pollfd p{sock, POLLOUT, 0};
    const int r = poll(&p, 1, timeout_ms < 0 || timeout_ms > 2000 ? 2000 : timeout_ms);
    if (r == 0)
        errno = ETIMEDOUT;
    return r > 0 ? 1 : -1;
}

// A server's addresses are tried in order: one the system refuses (a
// link-local address without its interface) and one that refuses the
// connection lead on to the next; only the last may take all the time there
// is.
TEST(SockConnect, TriesTheAddressesInOrderUntilOneTakes)
{
    th::StderrCapture log;
    Endpoint listening(SOCK_STREAM, true, 16, 0, AF_INET6);
    if (listening.port == 0)
        GTEST_SKIP() << "no IPv6 loopback address";
    Endpoint refusing(SOCK_STREAM, false);
    Endpoint udp(SOCK_DGRAM, false, 16, 0, AF_INET6);
    auto list_of = [](std::vector<std::pair<const char*, int>> addrs) {
        SockAddrList list{};
        for (auto& [name, port] : addrs) {
            SockAddrList one;
            EXPECT_EQ(sock_lookup_numeric(name, static_cast<unsigned>(port), SOCK_STREAM, &one), 0) << name;
            list.addr[list.count++] = one.addr[0];
        }
        return list;
    };
    const SockAddrList tcp = list_of(
        {{"fe80::1", listening.port}, {"127.0.0.1", refusing.port}, {"::1", listening.port}});
    std::vector<int> timeouts;
    char error[128] = "";
    int used = -1;
    int sock = sock_tcp_connect_with(&tcp, recording_wait, &timeouts, "fleet:1", error, sizeof error, &used);
    ASSERT_GE(sock, 0) << log.text();
    EXPECT_EQ(used, 2);
    SockAddr peer{};
    socklen_t len = sizeof peer;
    ASSERT_EQ(getpeername(sock, &peer.sa, &len), 0);
    EXPECT_EQ(peer.sa.sa_family, AF_INET6);
    close(sock);
    // The refused connect is the one that waited; it had a limit, the last
    // address none.
    ASSERT_GE(timeouts.size(), 2u);
    EXPECT_GT(timeouts.front(), 0);
    EXPECT_EQ(timeouts.back(), -1);
    EXPECT_STREQ(error, "connect socket error: Connection refused");
    EXPECT_EQ(th::count_of(log.text(), "gps: err: connect socket error: Invalid argument (fleet:1)"), 1) << log.text();
    EXPECT_EQ(th::count_of(log.text(), "gps: err: connect socket error: Connection refused (fleet:1)"), 1)
        << log.text();

    const SockAddrList dgram = list_of({{"fe80::1", udp.port}, {"::1", udp.port}});
    used = -1;
    sock = sock_udp_connect_nonblock(&dgram, "fleet:2", error, sizeof error, &used);
    ASSERT_GE(sock, 0) << log.text();
    EXPECT_EQ(used, 1);
    EXPECT_EQ(send(sock, "$GPTST*00\r\n", 11, 0), 11);
    char buf[32];
    EXPECT_EQ(recv(udp.fd, buf, sizeof buf, 0), 11);
    close(sock);

    // No address at all: nothing is tried.
    const SockAddrList none{};
    timeouts.clear();
    EXPECT_EQ(sock_tcp_connect_with(&none, recording_wait, &timeouts, "fleet:3", error, sizeof error, &used), -1);
    EXPECT_EQ(sock_udp_connect_nonblock(&none, "fleet:3", error, sizeof error, &used), -1);
    EXPECT_TRUE(timeouts.empty());
}

}  // namespace
