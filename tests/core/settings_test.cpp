// SPDX-License-Identifier: BSD-2-Clause
// The settings file: reading rules, bad input and the whole record.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "platform/gpio.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "support/harness.h"
#include "support/inproc.h"

namespace {

// An anonymous file holding text, closed at scope end.
struct TextFile {
    FILE* f;
    explicit TextFile(const std::string& text) : f(std::tmpfile())
    {
        std::fwrite(text.data(), 1, text.size(), f);
        std::rewind(f);
    }
    ~TextFile() { std::fclose(f); }
};

std::string str_of(FILE* f, const char* key)
{
    char* s = cfg_get_str(f, key);
    EXPECT_NE(s, nullptr);
    std::string out = s ? s : "";
    std::free(s);
    return out;
}

TEST(Settings, ReadingRules)
{
    struct Case {
        const char* legend;
        std::string file;
        uint32_t want_uint;
        std::string want_str;
    };
    const std::string
        nul("KEY=\0"
            "5\nKEY=7\n",
            13);
    const std::string nul_other("A=1\0\nKEY=7\n", 11);
    const Case cases[] = {
        {"plain", "KEY=1\n", 1, "1"},
        {"quoted", "KEY=\"1\"\n", 1, "1"},
        {"lower-case key", "key=1\n", 1, "1"},
        {"mixed-case key", "kEy=42\r\n", 42, "42"},
        {"CR LF line end", "KEY=abc\r\n", 0, "abc"},
        {"spaces around =", "KEY = 1\n", 0, ""},
        {"space before key", " KEY=1\n", 0, ""},
        {"value with =", "KEY=a=b\n", 0, "a=b"},
        {"inner quote kept", "KEY=\"a\"b\"\n", 0, "a\"b"},
        {"text behind the closing quote dropped", "KEY=\"host\" # comment\n", 0, "host"},
        {"opening quote without a closing one", "KEY=\"abc\n", 0, ""},
        {"first occurrence wins", "KEY=1\nKEY=2\n", 1, "1"},
        {"longer key does not match", "KEY2=1\nKEY=3\n", 3, "3"},
        {"prefix of key does not match", "KE=1\n", 0, ""},
        {"comment and blank lines", "# KEY=9\n\nKEY=4\n", 4, "4"},
        {"minus one", "KEY=-1\n", 4294967295u, "-1"},
        {"digits then letters", "KEY=12abc\n", 12, "12abc"},
        {"letters", "KEY=abc\n", 0, "abc"},
        {"too large", "KEY=99999999999999999999\n", 4294967295u, "99999999999999999999"},
        {"largest", "KEY=4294967295\n", 4294967295u, "4294967295"},
        {"leading blank", "KEY= 8\n", 8, " 8"},
        {"plus sign", "KEY=+8\n", 8, "+8"},
        {"empty value", "KEY=\n", 0, ""},
        {"missing key", "OTHER=1\n", 0, ""},
        {"no line end at the end of the file", "KEY=77", 77, "77"},
        {"NUL ends the line's text", nul, 0, ""},
        {"NUL does not hide the next line", nul_other, 7, "7"},
        {"binary bytes", "\x01\xff\x80=\x02\nKEY=\xc3\xa9\n", 0, "\xc3\xa9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        TextFile t(c.file);
        EXPECT_EQ(cfg_get_uint(t.f, "KEY"), c.want_uint);
        EXPECT_EQ(str_of(t.f, "KEY"), c.want_str);
    }
}

TEST(Settings, LongLinesAndLargeFiles)
{
    {
        // Whatever a line holds beyond 16383 bytes is skipped: a long
        // router id cannot inject a key of its own, even over several
        // buffers' worth; the next real line still counts.
        std::string text = "X=" + std::string(16381, 'a') + "KEY=5\nKEY=6\n";
        TextFile t(text);
        EXPECT_EQ(cfg_get_uint(t.f, "KEY"), 6u);
        TextFile t2("X=" + std::string(40000, 'a') + "KEY=5\nY=1\n");
        EXPECT_EQ(cfg_get_uint(t2.f, "KEY"), 0u);
        EXPECT_EQ(cfg_get_uint(t2.f, "Y"), 1u);
    }
    {
        // A value longer than the line buffer is cut at the piece boundary.
        std::string text = "KEY=" + std::string(20000, 'v') + "\n";
        TextFile t(text);
        EXPECT_EQ(str_of(t.f, "KEY").size(), 16383u - 4u);
    }
    {
        // 10 MB of junk before the key: found, each read from the start.
        std::string text;
        while (text.size() < (10u << 20))
            text += std::string(1000, 'j') + "=\"\"\n";
        text += "KEY=\"31\"\n";
        TextFile t(text);
        EXPECT_EQ(cfg_get_uint(t.f, "KEY"), 31u);
        EXPECT_EQ(cfg_get_uint(t.f, "KEY"), 31u);
        EXPECT_EQ(str_of(t.f, "KEY"), "31");
    }
}

TEST(Settings, AbsentFileAndFindPosition)
{
    EXPECT_EQ(cfg_get_uint(nullptr, "KEY"), 0u);
    char* s = cfg_get_str(nullptr, "KEY");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "");
    std::free(s);

    // cfg_find itself continues from the current position.
    TextFile t("KEY=1\nKEY=2\n");
    for (const char* want : {"1", "2"}) {
        const char* v = cfg_find(t.f, "KEY");
        ASSERT_NE(v, nullptr);
        EXPECT_STREQ(v, want);
    }
    EXPECT_EQ(cfg_find(t.f, "KEY"), nullptr);
}

void expect_gpsd_fixed(const GpsSettings& s)
{
    EXPECT_STREQ(s.gpsd.ipaddr, "127.0.0.1");
    EXPECT_EQ(s.gpsd.protocol, 1u);
    EXPECT_EQ(s.gpsd.period, 1u);
    EXPECT_EQ(s.gpsd.period_halt, 1u);
}

TEST(Settings, LoadFillsEveryField)
{
    const std::string root = th::process_root();
    th::write_file(root + "/dev/gpio", "board_code=4\nplatform_id=1\n");
    th::write_file(root + kSettingsPath, th::read_file(th::data_path("settings-full.txt")));
    GpsSettings s;
    {
        th::StderrCapture err;
        settings_load(&s);
        EXPECT_EQ(err.text(),
                  "gps: warning: settings: unknown key \"MOD_GPS_RSOCK0_ENABLED\" ignored\n"
                  "gps: warning: settings: unknown key \"MOD_GPS_RSCOK1_PORT\" ignored\n"
                  "gps: warning: settings: unknown key \"MOD_GPS_RSOCK1_PERIOD \" ignored\n"
                  "gps: warning: settings: MOD_GPS_RESET_TIMEOUT=\"-1\" is not a number, read as 4294967295\n"
                  "gps: warning: settings: MOD_GPS_TIMESYNC_PERIOD=\"12abc\" is not a number, read as 12\n"
                  "gps: warning: settings: MOD_GPS_RSOCK3_PORT=\"99999999999\" is not a number, read as 4294967295\n"
                  "gps: warning: settings: MOD_GPS_RSOCK1_PORT is given twice: line 15 is in force, line 43 is "
                  "ignored\n");
    }
    // Field by field, in the record's order.
    using Numbers = std::vector<uint32_t>;
    EXPECT_EQ((Numbers{s.enabled, s.antenna_input, s.antenna_active, s.date_fix_enabled, s.ep1_enabled, s.ep2_enabled,
                       s.usbp_enabled, s.pty_enabled, s.sri_enabled}),
              (Numbers{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_STREQ(s.router_id, "router \"one\"");
    for (const auto& [r, ipaddr, want] :
         {std::tuple{s.rsock[0], "10.0.0.1", Numbers{1, 1, 5001, 11, 12, 0}},
          std::tuple{s.rsock[3], "gps.example.net", Numbers{1, 0, 5004, 41, 42, 300}}}) {
        EXPECT_STREQ(r.ipaddr, ipaddr);
        EXPECT_EQ((Numbers{r.enabled, r.protocol, r.port, r.period, r.period_halt, r.backlog}), want);
    }
    EXPECT_EQ((Numbers{s.rsock[1].port, s.rsock[2].port, s.reset_enabled, s.reset_timeout, s.snmp.enabled,
                       s.snmp.period, s.snmp.period_halt, s.timesync.enabled, s.timesync.period, s.gpsd.enabled,
                       s.gpsd.port, s.gpsd_listen_port}),
              (Numbers{0, 4294967295u, 1, 4294967295u, 1, 30, 300, 1, 12, 1, 2947, 2948}));
    EXPECT_STREQ(s.snmp.ipaddr, "192.168.1.2");
    for (int i : {1, 2}) {
        EXPECT_EQ(s.rsock[i].enabled, 0u);
        EXPECT_STREQ(s.rsock[i].ipaddr, "");
        EXPECT_EQ(s.rsock[i].period_halt, 0u);
    }
    expect_gpsd_fixed(s);

    // The file is read as it is on every platform; on the platform whose
    // second serial port carries the receiver, the service then keeps the
    // second output off whatever the file says.
    th::write_file(root + "/dev/gpio", "board_code=4\nplatform_id=20\n");
    GpsSettings p20;
    settings_load(&p20);
    EXPECT_EQ(p20.ep2_enabled, 6u);
    settings_platform(&p20, 1);
    EXPECT_EQ(p20.ep2_enabled, 6u);
    settings_platform(&p20, gpio_platform_id());
    EXPECT_EQ(p20.ep2_enabled, 0u);
    EXPECT_EQ(p20.ep1_enabled, 5u);
    EXPECT_EQ(p20.usbp_enabled, 7u);
    th::write_file(root + "/dev/gpio", "");

    // The example shipped with the daemon loads without a word (that it names
    // every key, and no other, is held against the table below).
    const std::string example_text = th::read_file(th::data_path("../../packaging/settings.example"));
    ASSERT_NE(example_text.find("\nMOD_GPS_GPSD_PORT_LISTEN=0\n"), std::string::npos);
    th::write_file(root + kSettingsPath, example_text);
    GpsSettings example;
    {
        th::StderrCapture err;
        settings_load(&example);
        EXPECT_EQ(err.text(), "");
    }
    settings_free(&example);
    settings_free(&s);
    settings_free(&p20);
    EXPECT_EQ(s.router_id, nullptr);
    EXPECT_EQ(s.gpsd.ipaddr, nullptr);
}

// What "gnssd check" reports: the findings that make it fail, the warnings
// (also about streams that are enabled but cannot run) and the values in force.
TEST(Settings, CheckFindingsAndValuesInForce)
{
    const std::string root = th::process_root();
    th::write_file(root + "/dev/gpio", "board_code=4\nplatform_id=1\n");
    struct Case {
        const char* legend;
        std::string file;
        int unknown;
        int bad;
        std::string log;     // exact
        std::string values;  // lines the printed values must hold
        std::string more_values = "";
    } cases[] = {
        {"clean file, stream complete",
         "MOD_GPS_RSOCK2_ENABLED=1\nMOD_GPS_RSOCK2_IPADDR=\"h\"\nMOD_GPS_RSOCK2_PORT=7\n"
         "MOD_GPS_RSOCK2_PERIOD=1\nMOD_GPS_RSOCK2_PERIOD_HALT=5\n",
         0, 0, "",
         "MOD_GPS_RSOCK2_ENABLED=1\nMOD_GPS_RSOCK2_IPADDR=\"h\"\nMOD_GPS_RSOCK2_PROTOCOL=0\nMOD_GPS_RSOCK2_PORT=7\n"
         "MOD_GPS_RSOCK2_PERIOD=1\nMOD_GPS_RSOCK2_PERIOD_HALT=5\n"},
        {"misspelt key and a letter in a number", "mod_gps_rsock1_prot=1\nMOD_GPS_RESET_TIMEOUT=12s\nOTHER_KEY=x\n", 1,
         1,
         "gps: warning: settings: unknown key \"mod_gps_rsock1_prot\" ignored\n"
         "gps: warning: settings: MOD_GPS_RESET_TIMEOUT=\"12s\" is not a number, read as 12\n",
         "MOD_GPS_RESET_TIMEOUT=12\n"},
        {"enabled streams that cannot run",
         "MOD_GPS_RSOCK1_ENABLED=1\nMOD_GPS_RSOCK1_PORT=1\nMOD_GPS_RSOCK1_PERIOD=1\nMOD_GPS_RSOCK1_PERIOD_HALT=1\n"
         "MOD_GPS_RSOCK3_ENABLED=1\nMOD_GPS_RSOCK3_IPADDR=h\nMOD_GPS_RSOCK3_PORT=65536\n"
         "MOD_GPS_RSOCK4_ENABLED=1\nMOD_GPS_RSOCK4_IPADDR=h\nMOD_GPS_RSOCK4_PORT=1\nMOD_GPS_RSOCK4_PERIOD=1\n"
         "MOD_GPS_GPSD_ENABLED=1\n",
         0, 0,
         "gps: warning: settings: RSOCK1 is enabled but has no address (MOD_GPS_RSOCK1_*), it stays off\n"
         "gps: warning: settings: RSOCK3 is enabled but has no port (MOD_GPS_RSOCK3_*), it stays off\n"
         "gps: warning: settings: RSOCK4 is enabled but has no halt period (MOD_GPS_RSOCK4_*), it stays off\n"
         "gps: warning: settings: gpsd feed is enabled but has no port (MOD_GPS_GPSD_PORT_INNER), it stays off\n",
         "MOD_GPS_RSOCK3_PORT=65536\nMOD_GPS_RSOCK3_PERIOD=0\n"},
        {"a stream that is off is never checked; the broker's and the HTTP server's passwords are not shown",
         "MOD_GPS_RSOCK1_IPADDR=h\nMOD_GPS_GPSD_PORT_INNER=0\nMOD_GPS_MQTT_PASSWORD=s3cret\n"
         "MOD_GPS_HTTP_PASSWORD=s3cret\n",
         0, 0, "", "MOD_GPS_RSOCK1_ENABLED=0\nMOD_GPS_RSOCK1_IPADDR=\"h\"\n"},
        {"the second serial port on its own platform", "MOD_GPS_EP2_ENABLED=1\n", 0, 0, "", "MOD_GPS_EP2_ENABLED=0\n"},
        {"a key given again: its first line is in force, each later one named",
         "MOD_GPS_PTY_ENABLED=0\nOTHER=1\nmod_gps_pty_enabled=1\nMOD_GPS_PTY_ENABLED=\"1\"\n", 0, 0,
         "gps: warning: settings: MOD_GPS_PTY_ENABLED is given twice: line 1 is in force, line 3 is ignored\n"
         "gps: warning: settings: MOD_GPS_PTY_ENABLED is given twice: line 1 is in force, line 4 is ignored\n",
         "MOD_GPS_PTY_ENABLED=0\n"},
        {"MQTT keys left out show the values in force; a QoS beyond 1", "MOD_GPS_MQTT_QOS=2\n", 0, 0,
         "gps: warning: settings: MOD_GPS_MQTT_QOS=\"2\" is not 0 or 1, 1 is used\n",
         "MOD_GPS_MQTT_PORT=1883\nMOD_GPS_MQTT_TLS=0\nMOD_GPS_MQTT_CAFILE=\"/etc/ssl/certs/ca-certificates.crt\"\n",
         "MOD_GPS_MQTT_TOPIC=\"\"\nMOD_GPS_MQTT_PERIOD=5\nMOD_GPS_MQTT_PERIOD_HALT=60\nMOD_GPS_MQTT_QOS=1\n"
         "MOD_GPS_MQTT_BACKLOG=3600\n"},
        {"MQTT keys given: as given", "MOD_GPS_MQTT_TLS=1\nMOD_GPS_MQTT_QOS=0\nMOD_GPS_MQTT_BACKLOG=0\n", 0, 0, "",
         "MOD_GPS_MQTT_PORT=8883\n", "MOD_GPS_MQTT_QOS=0\nMOD_GPS_MQTT_BACKLOG=0\n"},
        {"periods beyond a day read as a day",
         "MOD_GPS_RSOCK2_PERIOD_HALT=86401\nMOD_GPS_SNMP_REPORT_PERIOD=99999999999\n", 0, 1,
         "gps: warning: settings: MOD_GPS_SNMP_REPORT_PERIOD=\"99999999999\" is not a number, read as 86400\n",
         "MOD_GPS_SNMP_REPORT_PERIOD=86400\nMOD_GPS_SNMP_REPORT_PERIOD_HALT=0\n",
         "MOD_GPS_RSOCK2_PERIOD=0\nMOD_GPS_RSOCK2_PERIOD_HALT=86400\n"},
        {"values longer than the line or their field",
         "MOD_GPS_SNMP_REPORT_IPADDR=\"" + std::string(20000, 'h') + "\"\nMOD_GPS_ROUTER_ID_STRING=" +
             std::string(1100, 'r') + "\nMOD_GPS_MQTT_TOPIC=" + std::string(200, 't') + "\n",
         0, 0,
         "gps: warning: settings: MOD_GPS_SNMP_REPORT_IPADDR on line 1 is longer than the 16383 bytes a line may "
         "hold, read as \"\"\n"
         "gps: warning: settings: MOD_GPS_ROUTER_ID_STRING is 1100 bytes long, only its first 1014 are used\n"
         "gps: warning: settings: MOD_GPS_MQTT_TOPIC is 200 bytes long, only its first 191 are used\n",
         "MOD_GPS_SNMP_REPORT_IPADDR=\"\"\n"},
        // Counted in milliseconds, a larger timeout would wrap to a short one.
        {"a request timeout beyond a day reads as a day", "MOD_GPS_HTTP_TIMEOUT=4294968\n", 0, 0, "",
         "MOD_GPS_HTTP_TIMEOUT=86400\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        // The last case runs on the platform whose second port is the receiver's.
        th::write_file(root + "/dev/gpio", &c == &cases[4] ? "platform_id=20\n" : "platform_id=1\n");
        th::write_file(root + kSettingsPath, c.file);
        plat_log_forget_repeats();
        GpsSettings s;
        SettingsFindings found{};
        {
            th::StderrCapture err;
            settings_load(&s, &found);
            // As "gnssd check" does.
            settings_platform(&s, gpio_platform_id());
            EXPECT_EQ(err.text(), c.log);
        }
        EXPECT_EQ(found.unknown_keys, c.unknown);
        EXPECT_EQ(found.bad_numbers, c.bad);
        EXPECT_FALSE(found.missing);
        char* text = nullptr;
        std::size_t size = 0;
        FILE* out = open_memstream(&text, &size);
        settings_print(&s, out);
        std::fclose(out);
        const std::string printed(text, size);
        std::free(text);
        EXPECT_NE(printed.find(c.values), std::string::npos) << printed;
        EXPECT_NE(printed.find(c.more_values), std::string::npos) << printed;
        if (c.file.find("MQTT_PASSWORD=") != std::string::npos) {
            EXPECT_NE(printed.find("MOD_GPS_MQTT_PASSWORD=\"(set)\"\n"), std::string::npos);
            EXPECT_NE(printed.find("MOD_GPS_HTTP_PASSWORD=\"(set)\"\n"), std::string::npos);
            EXPECT_EQ(printed.find("s3cret"), std::string::npos);
        }
        // Every key, each on one line, the first and the last as read.
        EXPECT_EQ(printed.rfind("MOD_GPS_ENABLED=0\n", 0), 0u);
        EXPECT_EQ(printed.size() - printed.rfind("MOD_GPS_FLEET_USER=\"\"\n"), 22u);
        int lines = 0;
        for (char ch : printed)
            lines += ch == '\n';
        EXPECT_EQ(lines, 10 + 4 * 7 + 11 + 3 + 16 + 17 + 1);
        settings_free(&s);
    }
    th::write_file(root + "/dev/gpio", "");
}

TEST(Settings, MissingOrBinaryFileGivesDefaults)
{
    const std::string root = th::process_root();
    const std::string path = root + kSettingsPath;
    for (const std::string& content : {std::string(), std::string("\0\0\xff\xfe=\x01\n\0MOD_GPS_ENABLED=1\n", 26)}) {
        unlink(path.c_str());
        if (!content.empty())
            th::write_file(path, content);
        GpsSettings s;
        SettingsFindings found{};
        {
            th::StderrCapture err;
            settings_load(&s, &found);
            // Only a missing file says where it was looked for.
            EXPECT_EQ(err.text(), content.empty()
                                      ? "gps: notice: settings: /opt/gps/etc/settings not found, defaults used\n"
                                      : std::string());
        }
        EXPECT_EQ(found.missing, content.empty());
        EXPECT_FALSE(found.unreadable);
        for (uint32_t number : {s.enabled, s.ep2_enabled, s.reset_timeout, s.timesync.period, s.gpsd.enabled,
                                s.gpsd.port, s.gpsd_listen_port})
            EXPECT_EQ(number, 0u);
        for (const char* text : {s.router_id, s.snmp.ipaddr})
            EXPECT_STREQ(text, "");
        for (const RemoteSocketSettings& r : s.rsock) {
            EXPECT_EQ(r.enabled, 0u);
            EXPECT_STREQ(r.ipaddr, "");
        }
        expect_gpsd_fixed(s);
        settings_free(&s);
    }
    unlink(path.c_str());
}

TEST(Settings, LinkedFileIsReadAndUnreadableOneIsReported)
{
    const std::string root = th::process_root();
    const std::string path = root + kSettingsPath;
    th::write_file(root + "/dev/gpio", "");
    // Kept on a configuration partition and linked into place.
    const std::string kept = root + "/config-partition-settings";
    th::write_file(kept, "MOD_GPS_EP1_ENABLED=1\nMOD_GPS_RSOCK1_IPADDR=10.0.0.9\n");
    unlink(path.c_str());
    ASSERT_EQ(symlink(kept.c_str(), path.c_str()), 0);
    {
        GpsSettings s;
        th::StderrCapture err;
        settings_load(&s);
        EXPECT_EQ(err.text(), "");
        EXPECT_EQ(s.ep1_enabled, 1u);
        EXPECT_STREQ(s.rsock[0].ipaddr, "10.0.0.9");
        settings_free(&s);
    }
    unlink(path.c_str());

    // There but not readable: the defaults, with the path and the reason.
    struct Case {
        const char* legend;
        void (*make)(const std::string& path);
        const char* reason;
    };
    const Case cases[] = {
        {"directory", [](const std::string& p) { mkdir(p.c_str(), 0755); }, "not a regular file"},
        {"FIFO, never waited on", [](const std::string& p) { mkfifo(p.c_str(), 0644); }, "not a regular file"},
        {"link that leads nowhere", [](const std::string& p) { (void)!symlink("/nonexistent/settings", p.c_str()); },
         "No such file or directory"},
    };
    for (const Case& c : cases) {
        c.make(path);
        GpsSettings s;
        th::StderrCapture err;
        settings_load(&s);
        EXPECT_EQ(err.text(),
                  std::string("gps: err: cannot read /opt/gps/etc/settings: ") + c.reason + "; using defaults\n")
            << c.legend;
        EXPECT_EQ(s.ep1_enabled, 0u) << c.legend;
        expect_gpsd_fixed(s);
        settings_free(&s);
        if (rmdir(path.c_str()) != 0)
            unlink(path.c_str());
    }
    if (geteuid() != 0) {  // root reads any file
        th::write_file(path, "MOD_GPS_EP1_ENABLED=1\n");
        chmod(path.c_str(), 0);
        GpsSettings s;
        th::StderrCapture err;
        settings_load(&s);
        EXPECT_EQ(err.text(), "gps: err: cannot read /opt/gps/etc/settings: Permission denied; using defaults\n");
        EXPECT_EQ(s.ep1_enabled, 0u);
        settings_free(&s);
        unlink(path.c_str());
    }
}

// The words between the first from and the next to in text, in their order,
// without the shell's and the manual's punctuation.
std::vector<std::string> words_between(const std::string& text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    std::string part = text.substr(at + from.size(), text.find(to, at + from.size()) - at - from.size());
    for (char& ch : part)
        ch = std::strchr("|\\\",()", ch) ? ' ' : ch;
    std::istringstream in(part);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

// The example file, the OpenWrt writer and the manual name every key of the
// settings table, and no other; the example with each key's default and its
// help as the comment above it, the manual with the help in the key's entry.
TEST(Settings, KeyListsFollowTheTable)
{
    std::string example_lines;
    std::vector<std::string> main_options, rsock_options;
    std::set<std::string> quoted_options, named;
    std::map<std::string, std::string> manual_keys, entries;  // key: its help, its manual entry
    SettingsKey k;
    for (int i = 0; settings_key(i, &k); ++i) {
        // Appended piece by piece: g++ 12 at -O3 takes "literal" + a
        // temporary string for an overlapping copy (a false -Wrestrict).
        example_lines.append("# ").append(k.help).append("\n").append(k.name).append("=");
        if (k.quoted)
            example_lines.append("\"").append(k.def).append("\"");
        else
            example_lines.append(k.def);
        example_lines.append("\n");
        std::string option = k.name + std::strlen(k.stream ? "MOD_GPS_RSOCK1_" : "MOD_GPS_");
        for (char& ch : option)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (!k.stream || k.name[13] == '1')
            (k.stream ? rsock_options : main_options).push_back(option);
        if (k.quoted)
            quoted_options.insert(option);
        // The manual writes the servers' keys once, with n for the number.
        std::string key = k.name;
        if (k.stream)
            key[13] = 'n';
        manual_keys[key] = k.help;
    }
    std::string example;
    std::istringstream example_file(th::read_file(th::data_path("../../packaging/settings.example")));
    for (std::string line, above; std::getline(example_file, line); above = line)
        example += line.rfind("MOD_GPS_", 0) == 0 ? above + "\n" + line + "\n" : "";
    EXPECT_EQ(example, example_lines);

    // The writer writes the keys in the table's order.
    const std::string writer = th::read_file(th::data_path("../../packaging/openwrt/files/gnssd-settings"));
    EXPECT_EQ(words_between(writer, "main_options=\"", "\""), main_options);
    EXPECT_EQ(words_between(writer, "rsock_options=\"", "\""), rsock_options);
    // The first list of the writer's case on the option: the texts it quotes.
    const std::vector<std::string> quoted = words_between(writer, "case $option in\n", ")");
    EXPECT_EQ(std::set<std::string>(quoted.begin(), quoted.end()), quoted_options);

    // A heading names whole keys, or the stem of the one before it with
    // another end ("_IPADDR"); "MOD_GPS_RSOCK n" is a server's stem.
    const std::string manual = th::read_file(th::data_path("../../gnssd.8"));
    const std::size_t from = manual.find("\n.SH SETTINGS\n");
    std::istringstream section(manual.substr(from, manual.find("\n.SH ", from + 1) - from));
    // An entry runs from its heading to the next; its lines are joined.
    bool heading = false;
    std::vector<std::string> entry_of;
    for (std::string line; std::getline(section, line); heading = line == ".TP") {
        std::string stem;
        if (heading)
            entry_of.clear();
        for (const std::string& w : heading ? words_between(line, ".BR", "\n") : std::vector<std::string>{}) {
            if (w == "MOD_GPS_RSOCK" || w == "n") {
                stem = w == "n" ? stem + w : w;
            } else if (w[0] == '_') {
                entry_of.push_back(stem + w);
            } else if (w.rfind("MOD_GPS_", 0) == 0) {
                entry_of.push_back(w);
                stem = w.substr(0, w.rfind('_'));
            }
        }
        named.insert(entry_of.begin(), entry_of.end());
        for (const std::string& key : heading ? std::vector<std::string>{} : entry_of)
            entries[key] += line + " ";
    }
    for (const auto& [key, help] : manual_keys) {
        EXPECT_TRUE(named.count(key)) << key << " is not in the manual";
        EXPECT_NE(entries[key].find(help), std::string::npos) << key << ": \"" << help << "\" not in its entry";
    }
    EXPECT_EQ(named.size(), manual_keys.size());
}

}  // namespace
