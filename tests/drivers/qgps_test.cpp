// SPDX-License-Identifier: BSD-2-Clause
// AT+QGPSCFG driver against a pseudo-terminal module: settings table, restart and engine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "drivers/families.h"
#include "pty_peer.h"
#include "receiver/link.h"
#include "support/harness.h"
#include "support/inproc.h"

namespace {

using peer::lock_of;
using peer::new_link;
using Commands = std::vector<std::string>;
using Replies = std::map<std::string, std::string>;

std::string query(const std::string& name)
{
    return "AT+QGPSCFG=\"" + name + "\"";
}

// Replies of a module whose settings are all as the service needs them, in
// the module's own form: text values quoted, numbers bare.
Replies settings_in_place()
{
    Replies r;
    for (auto [name, shown] : {std::pair{"outport", "\"usbnmea\""},
                               {"nmeasrc", "1"},
                               {"gpsnmeatype", "31"},
                               {"glonassnmeatype", "7"},
                               {"galileonmeatype", "0"},
                               {"beidounmeatype", "0"},
                               {"gnssconfig", "1"}})
        r[query(name)] = std::string("\r\n+QGPSCFG: \"") + name + "\"," + shown + "\r\n\r\nOK\r\n";
    return r;
}

const Commands kQueries = {query("outport"),         query("nmeasrc"),         query("gpsnmeatype"),
                           query("glonassnmeatype"), query("galileonmeatype"), query("beidounmeatype"),
                           query("gnssconfig")};

Commands queries_until(const std::string& name)
{
    Commands c;
    for (const auto& q : kQueries) {
        c.push_back(q);
        if (q == query(name))
            break;
    }
    return c;
}

Commands join(std::initializer_list<Commands> parts)
{
    Commands all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Control on ttyUSB8, NMEA on ttyUSB7.
struct Module : peer::AtModule {
    explicit Module(Replies replies) : AtModule("/dev/ttyUSB8", "/dev/ttyUSB7", std::move(replies)) {}
};

// Quoted text values, the other firmware's name for the BeiDou setting and a
// longer current value that begins with the target all count as in place.
TEST(QgpsDriver, SettingsInPlaceStartTheEngine)
{
    th::process_root();
    Replies replies = settings_in_place();
    replies[query("beidounmeatype")] = "\r\n+QGPSCFG: \"pqnmeatype\",0\r\n\r\nOK\r\n";
    replies[query("galileonmeatype")] = "\r\n+QGPSCFG: \"galileonmeatype\",01\r\n\r\nOK\r\n";
    auto link = new_link();
    {
        Module module(replies);
        th::StderrCapture log;
        ASSERT_EQ(qgps_open(link.get()), 0);
        EXPECT_EQ(module.control.commands(), join({{"ATE0"}, kQueries, {"AT+QGPS=1"}}));
        EXPECT_EQ(log.text().find("set \""), std::string::npos);
        EXPECT_STREQ(link->device_path, "/dev/ttyUSB7");
        struct stat a, b;
        ASSERT_EQ(fstat(link->fd, &a), 0);
        ASSERT_EQ(stat((th::process_root() + "/dev/ttyUSB7").c_str(), &b), 0);
        EXPECT_EQ(a.st_rdev, b.st_rdev);
        EXPECT_TRUE(th::file_exists(lock_of("ttyUSB7")));
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB8")));
    }
    Module module(Replies{{"AT+QGPSEND", "\r\nERROR\r\n"}});
    th::StderrCapture log;
    qgps_close(link.get());
    EXPECT_EQ(module.control.commands(), Commands{"AT+QGPSEND"});
    EXPECT_NE(log.text().find("gps: err: cannot disable Engine (\"\\r\\nERROR\\r\\n\")"), std::string::npos);
    EXPECT_EQ(link->fd, -1);
    EXPECT_FALSE(th::file_exists(lock_of("ttyUSB7")));
    EXPECT_FALSE(th::file_exists(lock_of("ttyUSB8")));
}

// Values that differ are written (quoted only when they are text, always under
// the row's own name), logged, and the module is restarted instead of started.
TEST(QgpsDriver, ChangedSettingsRestartTheModule)
{
    th::process_root();
    struct Case {
        const char* legend;
        Replies differ;
        Commands sent;
        std::vector<std::string> logged;
    } cases[] = {
        {"one number differs",
         {{query("gpsnmeatype"), "\r\n+QGPSCFG: \"gpsnmeatype\",1\r\n\r\nOK\r\n"}},
         join({{"ATE0"},
               queries_until("gpsnmeatype"),
               {"AT+QGPSCFG=\"gpsnmeatype\",31"},
               Commands(kQueries.begin() + 3, kQueries.end()),
               {"AT+CFUN=1,1"}}),
         {"gps: info: set \"gpsnmeatype\" = \"31\""}},
        {"a text value and the other firmware's BeiDou name differ",
         {{query("outport"), "\r\n+QGPSCFG: \"outport\",\"uartdebug\"\r\n\r\nOK\r\n"},
          {query("beidounmeatype"), "\r\n+QGPSCFG: \"pqnmeatype\",1\r\n\r\nOK\r\n"}},
         join({{"ATE0", query("outport"), "AT+QGPSCFG=\"outport\",\"usbnmea\""},
               Commands(kQueries.begin() + 1, kQueries.begin() + 6),
               {"AT+QGPSCFG=\"beidounmeatype\",0"},
               {query("gnssconfig"), "AT+CFUN=1,1"}}),
         {"gps: info: set \"outport\" = \"usbnmea\"", "gps: info: set \"beidounmeatype\" = \"0\""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        Replies replies = settings_in_place();
        for (const auto& [k, v] : c.differ)
            replies[k] = v;
        auto link = new_link();
        Module module(replies);
        th::StderrCapture log;
        EXPECT_EQ(qgps_open(link.get()), -1);
        EXPECT_EQ(module.control.commands(), c.sent);
        for (const auto& line : c.logged)
            EXPECT_EQ(th::count_of(log.text(), line), 1) << line;
        EXPECT_EQ(th::count_of(log.text(), "gps: err:"), 0);
        EXPECT_EQ(link->fd, -1);
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB8")));
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB7")));
    }
}

// A refused step ends the start there: later rows are not read, no restart.
TEST(QgpsDriver, RefusalsEndTheStart)
{
    th::process_root();
    struct Case {
        const char* legend;
        Replies differ;
        Commands sent;
        std::string logged;
    } cases[] = {
        {"error reply to a query",
         {{query("beidounmeatype"), "\r\n+CME ERROR: 3\r\n"}},
         join({{"ATE0"}, queries_until("beidounmeatype")}),
         "gps: err: cannot read current value of \"beidounmeatype\""},
        {"write refused after a query",
         {{query("nmeasrc"), "\r\n+QGPSCFG: \"nmeasrc\",0\r\n\r\nOK\r\n"},
          {"AT+QGPSCFG=\"nmeasrc\",1", "\r\nERROR\r\n"}},
         join({{"ATE0"}, queries_until("nmeasrc"), {"AT+QGPSCFG=\"nmeasrc\",1"}}),
         "gps: err: cannot write new value of \"nmeasrc\""},
        {"engine refused",
         {{"AT+QGPS=1", "\r\n+CME ERROR: 504\r\n"}},
         join({{"ATE0"}, kQueries, {"AT+QGPS=1", "AT+QGPSEND"}}),
         "gps: err: cannot enable Engine (\"\\r\\n+CME ERROR: 504\\r\\n\")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        Replies replies = settings_in_place();
        for (const auto& [k, v] : c.differ)
            replies[k] = v;
        auto link = new_link();
        Module module(replies);
        th::StderrCapture log;
        EXPECT_EQ(qgps_open(link.get()), -1);
        EXPECT_EQ(module.control.commands(), c.sent);
        EXPECT_EQ(th::count_of(log.text(), c.logged), 1) << log.text();
        EXPECT_EQ(link->fd, -1);
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB8")));
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB7")));
    }
}

}  // namespace
