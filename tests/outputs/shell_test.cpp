// SPDX-License-Identifier: BSD-2-Clause
// Control shell: the wire protocol, racing clients and descriptor hygiene.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/settings.h"
#include "platform/worker.h"
#include "outputs/shell.h"
#include "outputs/mqtt.h"
#include "outputs/report.h"
#include "nmea/report.h"
#include "receiver/link.h"
#include "platform/platform.h"
#include "support/e2e.h"
#include "support/harness.h"
#include "support/inproc.h"

namespace {

const std::string& test_root()
{
    return th::process_root();
}

std::string socket_file()
{
    return test_root() + "/run/gps.socket";
}

// What the handlers were called with, in order.
std::mutex calls_lock;
std::vector<std::string> calls;

int echo_handler(void* context, const char* args, int fd)
{
    {
        std::lock_guard<std::mutex> g(calls_lock);
        calls.push_back(args);
    }
    std::string reply = std::string(static_cast<const char*>(context)) + "[" + args + "]";
    return static_cast<int>(write(fd, reply.data(), reply.size()));
}

// Holds the shell's worker inside a handler until the test writes a byte.
int gate[2] = {-1, -1};

int wait_handler(void*, const char* args, int fd)
{
    {
        std::lock_guard<std::mutex> g(calls_lock);
        calls.push_back(args);
    }
    char byte;
    pollfd p{gate[0], POLLIN, 0};
    if (poll(&p, 1, 5000) == 1 && read(gate[0], &byte, 1) == 1)
        return static_cast<int>(write(fd, "released", 8));
    return 0;
}

char kSnmpContext[] = "snmp";
char kStatusContext[] = "status";
const ShellCommand kCommands[] = {
    {"snmp", echo_handler, kSnmpContext}, {"quiet", nullptr, nullptr}, {"status", echo_handler, kStatusContext},
    {"wait", wait_handler, nullptr},      {nullptr, nullptr, nullptr},
};

int connect_client()
{
    return th::connect_unix(socket_file());
}

using th::read_reply;

std::string request(const std::string& text)
{
    int fd = connect_client();
    if (fd < 0)
        return "<no connection>";
    return th::exchange(fd, text);
}

int open_fds()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

struct ShellFixture : ::testing::Test {
    ControlShell* shell = nullptr;
    void SetUp() override
    {
        test_root();
        calls.clear();
        shell = shell_open(kShellSocketPath, kCommands);
        ASSERT_NE(shell, nullptr);
    }
    void TearDown() override
    {
        shell_close(shell);
        EXPECT_FALSE(th::file_exists(socket_file())) << "the socket file is removed at close";
    }
    std::vector<std::string> take_calls()
    {
        std::lock_guard<std::mutex> g(calls_lock);
        std::vector<std::string> out;
        out.swap(calls);
        return out;
    }
};

TEST_F(ShellFixture, WireProtocol)
{
    const std::string long_arg(1494, 'x');
    const std::string long_word(1499, 'y');
    struct Case {
        const char* legend;
        std::string request;
        std::string reply;
        std::vector<std::string> handled;
    } cases[] = {
        {"command and argument", "snmp 3\n", "snmp[3]", {"3"}},
        {"without newline the request is whole", "snmp 3", "snmp[3]", {"3"}},
        {"a command word alone without newline", "status", "status[]", {""}},
        {"blanks before the argument", "status \t\v\f\r 7 8\n", "status[7 8]", {"7 8"}},
        {"prefix match", "snmpx 1\n", "snmp[x 1]", {"x 1"}},
        {"unknown command", "help\n", "shell: help: command not found\n", {}},
        {"lone newline", "\n", "", {}},
        {"command without handler", "quiet please\n", "", {}},
        {"1500-byte request", "snmp " + long_arg + "\n", "snmp[" + long_arg + "]", {long_arg}},
        {"1500-byte unknown command", long_word + "\n", "shell: " + long_word + ": command not found\n", {}},
        {"longer request cut at 1500 bytes",
         "snmp " + long_arg + "abcdef\n",
         "snmp[" + long_arg + "a]",
         {long_arg + "a"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(request(c.request), c.reply) << c.legend;
        EXPECT_EQ(take_calls(), c.handled) << c.legend;
    }

    // A client that closes without writing is dropped silently; the next one
    // is served.
    int fd = connect_client();
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(request("snmp 1\n"), "snmp[1]");
    EXPECT_EQ(take_calls(), std::vector<std::string>{"1"});
}

TEST_F(ShellFixture, SecondClientReplacesASilentFirst)
{
    const int before = open_fds();
    int first = connect_client();
    ASSERT_GE(first, 0);
    int second = connect_client();
    ASSERT_GE(second, 0);
    // The first connection is closed unanswered, the second served.
    EXPECT_EQ(read_reply(first), "");
    ASSERT_EQ(write(second, "snmp 2\n", 7), 7);
    EXPECT_EQ(read_reply(second), "snmp[2]");
    close(first);
    close(second);
    EXPECT_EQ(take_calls(), std::vector<std::string>{"2"});

    // A first client that has already sent keeps its answer even when the
    // second connects at once.
    first = connect_client();
    ASSERT_EQ(write(first, "snmp 5\n", 7), 7);
    second = connect_client();
    EXPECT_EQ(read_reply(first), "snmp[5]");
    ASSERT_EQ(write(second, "snmp 6\n", 7), 7);
    EXPECT_EQ(read_reply(second), "snmp[6]");
    close(first);
    close(second);
    EXPECT_EQ(take_calls(), (std::vector<std::string>{"5", "6"}));
    EXPECT_TRUE(th::wait_until([&] { return open_fds() == before; }, std::chrono::seconds(2)))
        << "no descriptor kept by the shell";
}

TEST_F(ShellFixture, HundredClientsLeaveNoDescriptorBehind)
{
    // One request first so that every lazily opened descriptor exists.
    ASSERT_EQ(request("snmp 0\n"), "snmp[0]");
    const int before = open_fds();
    for (int i = 0; i < 100; ++i) {
        const std::string arg = std::to_string(i);
        ASSERT_EQ(request("snmp " + arg + "\n"), "snmp[" + arg + "]");
        if (i % 3 == 0) {
            int fd = connect_client();  // connects, then leaves without a word
            close(fd);
        }
    }
    EXPECT_TRUE(th::wait_until([&] { return open_fds() == before; }, std::chrono::seconds(2)))
        << open_fds() << " descriptors, " << before << " before";
}

TEST_F(ShellFixture, ClientGoneBeforeTheReplyDoesNotRaiseSigpipe)
{
    ASSERT_EQ(pipe(gate), 0);
    // The worker is held in a handler while the next client sends its
    // request and leaves; the answer then goes to a closed connection, which
    // without protection raises SIGPIPE and ends this whole program.
    int held = connect_client();
    ASSERT_EQ(write(held, "wait\n", 5), 5);
    ASSERT_TRUE(th::wait_until([&] { return !take_calls().empty(); }, std::chrono::seconds(5)));
    int gone = connect_client();
    ASSERT_EQ(write(gone, "nope\n", 5), 5);
    close(gone);
    ASSERT_EQ(write(gate[1], "x", 1), 1);
    EXPECT_EQ(read_reply(held), "released");
    close(held);
    EXPECT_EQ(request("snmp 1\n"), "snmp[1]");
    close(gate[0]);
    close(gate[1]);
}

TEST_F(ShellFixture, AcceptWithoutDescriptorsBacksOffAndRecovers)
{
    th::StderrCapture err;
    // Everything the limit would refuse is made before it is set: the
    // client's socket and a second reader of the log.
    const int log_fd = open("/proc/self/fd/2", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(log_fd, 0);
    const auto accept_errors = [&] {
        std::string text;
        char buf[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(log_fd, buf, sizeof buf, at)) > 0; at += n)
            text.append(buf, static_cast<std::size_t>(n));
        return th::count_of(text, "gps: err: shell_socket_open - accept error: Too many open files\n");
    };
    const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", socket_file().c_str());
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int next = dup(0);
    close(next);
    const rlimit low{static_cast<rlim_t>(next), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const bool connected = connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    // The pending connection keeps the socket readable: an accept retried
    // at once would fill the log (and a core) until descriptors come back.
    const bool failed = th::wait_until([&] { return accept_errors() >= 1; }, std::chrono::seconds(5));
    const bool spun = th::wait_until([&] { return accept_errors() >= 3; }, std::chrono::milliseconds(300));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(connected);
    EXPECT_TRUE(failed);
    EXPECT_FALSE(spun) << accept_errors() << " accept errors";
    // The client that waited through the shortage is served after it.
    EXPECT_EQ(th::exchange(client, "snmp 4\n"), "snmp[4]");
    EXPECT_EQ(take_calls(), std::vector<std::string>{"4"});
    close(log_fd);
}

TEST(Shell, OpenFailsCleanlyWithoutASocketDirectory)
{
    test_root();
    EXPECT_EQ(shell_open("/no/such/dir/gps.socket", kCommands), nullptr);
    shell_close(nullptr);
}

// The status line: streams without an instance, texts escaped, and which
// sentences count as a fix.
TEST(ShellStatus, StreamsAndReceiver)
{
    // The ages in the report are read off a clock that stands still, so that
    // a slow machine (or an emulator) does not turn "0.0 s ago" into "0.1".
    clock_test_start(TestClock::kTestAdvances, 100'000'000);
    struct ClockEnd {
        ~ClockEnd() { clock_test_end(); }
    } clock_end;
    RemoteSocketSettings settings[kStatusStreams] = {};
    settings[0] = {1, const_cast<char*>("fleet\"1\\\n"), 1, 70000, 1, 1};
    for (int i = 1; i < kStatusStreams; ++i)
        settings[i].ipaddr = const_cast<char*>("");
    // Host names stay valid UTF-8 in the report: cut before a character
    // that would cross the 255-byte limit, and bytes that are not UTF-8
    // (stray continuation, overlong, surrogate, cut sequence) escaped.
    std::string cut_host = std::string(254, 'h') + "\xc3\xa9";
    std::string odd_host = "a\xffz\xc0\xaf\xed\xa0\x80\xf0\x9f\x98\x80\xe2\x82";
    settings[3].ipaddr = cut_host.data();
    settings[4].ipaddr = odd_host.data();
    RemoteSocket* sockets[kStatusStreams] = {};
    static ReceiverStats stats;
    StatusSources src{{&settings[0], &settings[1], &settings[2], &settings[3], &settings[4]},
                      sockets,
                      &stats,
                      "9.8.7",
                      monotonic_ms() - 93784500};
    char text[4096];
    shell_status_text(&src, text, sizeof text);
    EXPECT_EQ(std::string(text).rfind(
                  std::string(
                      "{\"version\":\"9.8.7\",\"uptime\":93784.5,\"streams\":[{\"name\":\"RSOCK1\","
                      "\"enabled\":false,\"host\":\"fleet\\\"1\\\\\\u000a\",\"port\":4464,"
                      "\"protocol\":\"udp\",\"state\":\"disabled\",\"address\":null,\"bursts_sent\":0,\"bytes_sent\":0,"
                      "\"bursts_dropped\":0,\"reconnects\":0,\"last_error\":null,\"backlog\":0,"
                      "\"backlog_dropped\":0,\"bursts_skipped\":0,\"bursts_lost\":0},{\"name\":\"RSOCK2\","
                      "\"enabled\":false,\"host\":\"\",\"port\":0,\"protocol\":\"tcp\""),
                  0),
              0u)
        << text;
    EXPECT_NE(std::string(text).find("{\"name\":\"gpsd\",\"enabled\":false,"), std::string::npos) << text;
    EXPECT_NE(std::string(text).find(",\"host\":\"" + std::string(254, 'h') + "\",\"port\":0,"), std::string::npos)
        << text;
    EXPECT_NE(std::string(text).find(",\"host\":\"a\\u00ffz\\u00c0\\u00af\\u00ed\\u00a0\\u0080\xf0\x9f\x98\x80"
                                     "\\u00e2\\u0082\","),
              std::string::npos)
        << text;
    EXPECT_NE(std::string(text).find("\"receiver\":{\"family\":null,\"data_port\":null,\"sentences\":0,"
                                     "\"last_sentence_age\":null,\"last_fix_age\":null},\"position\":null}\n"),
              std::string::npos)
        << text;
    // The fleet feed: off without settings; with them, the broker as it
    // would be used (escaped), and still "disabled" while no output runs.
    EXPECT_NE(std::string(text).find("}],\"mqtt\":{\"enabled\":false,\"host\":\"\",\"port\":0,\"tls\":false,"
                                     "\"state\":\"disabled\",\"published\":0,\"acknowledged\":0,\"dropped\":0,"
                                     "\"backlog\":0,\"last_error\":null},\"receiver\":"),
              std::string::npos)
        << text;
    char broker[] = "broker\"7", empty[] = "";
    MqttSettings mqtt{1, broker, 0, 1, empty, empty, empty, empty, empty, empty, empty, 0, 0, empty, empty, 0};
    src.mqtt_settings = &mqtt;
    shell_status_text(&src, text, sizeof text);
#ifdef GNSSD_HAVE_MQTT
    const char* port = "8883";
#else
    const char* port = "0";
#endif
    EXPECT_NE(std::string(text).find(std::string("\"mqtt\":{\"enabled\":false,\"host\":\"broker\\\"7\",\"port\":") +
                                     port + ",\"tls\":true,\"state\":\"disabled\","),
              std::string::npos)
        << text;
    src.mqtt_settings = nullptr;

    static ReceiverLink link;
    link.device_path = "/dev/ttyUSB1";
    receiver_stats_link(&stats, &link);
    struct Case {
        const char* sentence;
        const char* fix_quality;
        const char* rmc_status;
        bool fix;
        const char* position;  // what the report then gives, nullptr: as before
        const char* rmc_time = "000001.00";
    };
    static PositionReport report;
    // The GGA items and the RMC items differ, to show which were taken.
    std::snprintf(report.fix_time, sizeof report.fix_time, "123519.00");
    std::snprintf(report.latitude, sizeof report.latitude, "4807.038");
    std::snprintf(report.lat_hemisphere, sizeof report.lat_hemisphere, "S");
    std::snprintf(report.longitude, sizeof report.longitude, "01131.000");
    std::snprintf(report.lon_hemisphere, sizeof report.lon_hemisphere, "E");
    std::snprintf(report.rmc_time, sizeof report.rmc_time, "000001.00");
    std::snprintf(report.rmc_latitude, sizeof report.rmc_latitude, "0030.000");
    std::snprintf(report.rmc_lat_hemisphere, sizeof report.rmc_lat_hemisphere, "N");
    std::snprintf(report.rmc_longitude, sizeof report.rmc_longitude, "18000.0");
    std::snprintf(report.rmc_lon_hemisphere, sizeof report.rmc_lon_hemisphere, "W");
    const Case cases[] = {
        {"$GPRMC,1,V", "1", "V", false, "null"},  // an RMC counts by its status only
        {"$GPGSV,3,1", "1", "A", false, "null"},  // not a position sentence
        {"$GNGGA,1,2", "0", "A", false, "null"},  // fix quality 0
        {"$GPGGA,1,2", "1", "V", true, "{\"time\":\"123519.00\",\"lat\":-48.117300,\"lon\":11.516667,\"fix\":\"1\"}"},
        {"$GNRMC,1,A", "0", "A", true, "{\"time\":\"000001.00\",\"lat\":0.500000,\"lon\":-180.000000,\"fix\":null}"},
        // The RMC of a GGA's cycle (GGA first, as most receivers send them)
        // keeps that fix's quality.
        {"$GPRMC,2,A", "1", "A", true, "{\"time\":\"123519.00\",\"lat\":0.500000,\"lon\":-180.000000,\"fix\":\"1\"}",
         "123519.00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sentence);
        std::snprintf(report.fix_quality, sizeof report.fix_quality, "%s", c.fix_quality);
        std::snprintf(report.rmc_status, sizeof report.rmc_status, "%s", c.rmc_status);
        std::snprintf(report.rmc_time, sizeof report.rmc_time, "%s", c.rmc_time);
        report.updated = 1;
        __atomic_store_n(&stats.last_fix, 0, __ATOMIC_RELAXED);
        receiver_stats_sentence(&stats, c.sentence, std::strlen(c.sentence), &report);
        EXPECT_EQ(__atomic_load_n(&stats.last_fix, __ATOMIC_RELAXED) != 0, c.fix);
        shell_status_text(&src, text, sizeof text);
        EXPECT_NE(std::string(text).find(std::string(",\"position\":") + c.position + "}\n"), std::string::npos)
            << text;
    }
    EXPECT_NE(std::string(text).find("\"data_port\":\"/dev/ttyUSB1\",\"sentences\":6,\"last_sentence_age\":0.0,"
                                     "\"last_fix_age\":0.0},"),
              std::string::npos)
        << text;

    // The same for a person: streams that are off say so, no JSON; a server
    // given as an IPv6 address is written in brackets before its port.
    shell_status_summary(&src, text, sizeof text);
    EXPECT_EQ(std::string(text),
              "gnssd 9.8.7, up 1d 02:03:04\n"
              "receiver: ? on /dev/ttyUSB1, 6 sentences, last 0.0 s ago\n"
              "position: 0.500000 -180.000000 at 123519.00 UTC, fix 1, 0.0 s ago\n"
              "RSOCK1: off\nRSOCK2: off\nRSOCK3: off\nRSOCK4: off\ngpsd: off\nmqtt: off\n");
    char v6[] = "::1";
    RemoteSocketSettings v6_stream{1, v6, 1, 9, 1, 1, 0};
    src.settings[1] = &v6_stream;
    sockets[1] = rsock_open(&v6_stream);
    ASSERT_NE(sockets[1], nullptr);
    shell_status_summary(&src, text, sizeof text);
    rsock_close(sockets[1]);
    sockets[1] = nullptr;
    EXPECT_NE(std::string(text).find("\nRSOCK2: udp [::1]:9 "), std::string::npos) << text;
}

}  // namespace
