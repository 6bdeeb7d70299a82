// SPDX-License-Identifier: BSD-2-Clause
// Week-rollover date repair: which dates move, how the sentence is rewritten, what is left alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>

#include "nmea_support.h"

namespace {

const std::string kTrailer = "$GPVTG,a*00\r\n";

struct DateCase {
    const char* legend;
    uint32_t enabled;
    std::string in;
    std::string out;
    const char* log = nullptr;  // a warning that must appear
};

// The sentence with its checksum digits in lower case.
std::string lower_cs(std::string s)
{
    const size_t star = s.find('*');
    std::transform(s.begin() + static_cast<long>(star), s.end(), s.begin() + static_cast<long>(star),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string rmc(const char* date)
{
    return std::string("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,") + date + ",003.1,W,A";
}

TEST(DateFix, RewritesRolledOverDates)
{
    const std::string rmc_in = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,220407,003.1,W,A*0B\r\n";
    const std::string rmc_out = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,061226,003.1,W,A*09\r\n";
    const std::string crcrlf_in = rmc_in.substr(0, rmc_in.size() - 2) + "\r\r\n";
    const std::string crcrlf_out = rmc_out.substr(0, rmc_out.size() - 2) + "\r\r\n";
    const DateCase cases[] = {
        {"RMC example", 1, rmc_in, rmc_out},
        {"ZDA example", 1, "$GPZDA,201530.00,22,04,2007,00,00*62\r\n", "$GPZDA,201530.00,06,12,2026,00,00*60\r\n"},
        {"last day of 2018", 1, nt::with_cs(rmc("311218")), nt::with_cs(rmc("160838"))},
        {"ZDA last day of 2018", 1, nt::with_cs("$GPZDA,235959,31,12,2018,00,00"),
         nt::with_cs("$GPZDA,235959,16,08,2038,00,00")},
        {"first day of 2019 is valid", 1, nt::with_cs(rmc("010119")), nt::with_cs(rmc("010119"))},
        {"the 2019 rollover victim", 1, nt::with_cs(rmc("220899")), nt::with_cs(rmc("070419"))},
        {"receiver default date of 1980", 1, nt::with_cs(rmc("050180")), nt::with_cs(rmc("210899"))},
        {"two-digit year 69 is 1969", 1, nt::with_cs(rmc("010169")), nt::with_cs(rmc("170888"))},
        {"any talker", 1, nt::with_cs("$GNRMC,1,A,,,,,,,220407,,,A"), nt::with_cs("$GNRMC,1,A,,,,,,,061226,,,A")},
        {"TRF date", 1, nt::with_cs("$GPTRF,123519,220407,1,2"), nt::with_cs("$GPTRF,123519,061226,1,2")},
        {"correction off", 0, rmc_in, rmc_in},
        {"empty date", 1, "$GPRMC,,V,,,,,,,,,,N*53\r\n", "$GPRMC,,V,,,,,,,,,,N*53\r\n"},
        {"ZDA without date", 1, "$GPZDA,,,,,00,00*48\r\n", "$GPZDA,,,,,00,00*48\r\n"},
        {"lower-case digits replaced when corrected", 1, lower_cs(rmc_in), rmc_out},
        {"lower-case digits kept when not corrected", 1, lower_cs(nt::with_cs(rmc("010120"))),
         lower_cs(nt::with_cs(rmc("010120")))},
        {"one-digit ZDA day left alone", 1, nt::with_cs("$GPZDA,201530.00,2,04,2007,00,00"),
         nt::with_cs("$GPZDA,201530.00,2,04,2007,00,00")},
        {"CR CR LF ending: checksum behind the '*'", 1, crcrlf_in, crcrlf_out},
        {"no room for checksum digits", 1, rmc("220407") + "*\r\n", rmc("220407") + "*\r\n"},
        {"too few items", 1, "$GPRMC,123519,A*00\r\n", "$GPRMC,123519,A*00\r\n",
         "gps: warning: cannot find 9. item in \"$GPRMC,123519,A*00\""},
        {"commas behind the '*' do not count", 1, "$GPRMC,1,A*00,,,,,,,220407\r\n", "$GPRMC,1,A*00,,,,,,,220407\r\n",
         "cannot find 9. item"},
        {"malformed year", 1, nt::with_cs(rmc("2208-1")), nt::with_cs(rmc("2208-1")),
         "gps: warning: cannot parse date"},
        {"day zero", 1, nt::with_cs(rmc("000000")), nt::with_cs(rmc("000000")), "cannot parse date"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        nt::Link link;
        link.date_fix_enabled = c.enabled;
        nt::frame(link, c.in);
        std::memcpy(link.rx_buf + c.in.size(), kTrailer.data(), kTrailer.size());
        link.rx_len += static_cast<int>(kTrailer.size());
        link.rx_buf[link.rx_len] = '\0';
        th::StderrCapture err;
        nmea_datefix(&link);
        EXPECT_EQ(nt::framed(link), c.out);
        EXPECT_EQ(std::string(link.rx_buf + c.in.size()), kTrailer);
        if (c.log) {
            EXPECT_NE(err.text().find(c.log), std::string::npos) << err.text();
        } else {
            EXPECT_EQ(err.text().find("warning"), std::string::npos) << err.text();
        }
    }
}

TEST(DateFix, RuleTable)
{
    int rows = 0;
    for (const DateFixRule* r = kDateFixRules; r->type; ++r)
        ++rows;
    ASSERT_EQ(rows, 3);
    EXPECT_STREQ(kDateFixRules[0].type, "RMC");
    EXPECT_STREQ(kDateFixRules[2].format, "%d,%m,%Y");
}

// The two notices appear once per process: run the corrections in a fresh process.
TEST(DateFix, NoticesOncePerProcess)
{
    if (std::getenv("NMEA_TEST_NOTICE_CHILD")) {
        for (const char* date : {"2208-1", "220407", "311218"}) {
            nt::Link link;
            link.date_fix_enabled = 1;
            nt::frame(link, nt::with_cs(rmc(date)));
            nmea_datefix(&link);
        }
        return;
    }
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    th::TempDir dir;
    th::Process child;
    child.start({self, "--gtest_filter=DateFix.NoticesOncePerProcess"}, {{"NMEA_TEST_NOTICE_CHILD", "1"}},
                dir.path + "/child.log");
    ASSERT_TRUE(child.wait_exit(std::chrono::seconds(30)));
    const std::string log = child.log();
    EXPECT_EQ(th::count_of(log, "gps: info: week rollover problem detected, invalid date 2007-04-22 received"), 1)
        << log;
    EXPECT_EQ(th::count_of(log, "gps: info: calculated correct date 2026-12-06"), 1) << log;
    EXPECT_EQ(th::count_of(log, "week rollover problem detected"), 1) << log;
    EXPECT_EQ(th::count_of(log, "calculated correct date"), 1) << log;
}

}  // namespace
