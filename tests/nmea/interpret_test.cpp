// SPDX-License-Identifier: BSD-2-Clause
// Interpretation into the position report: slots, talkers, sentence kinds and the repeated-GGA filter.
#include <gtest/gtest.h>

#include "nmea_support.h"

namespace {

// Frames and interprets one sentence as nmea_next does; 1 = passed on.
int interpret(nt::Link& link, const std::string& s)
{
    nt::frame(link, s);
    const int pass = nmea_interpret(&link, &link);
    nmea_files_update(&link);
    return pass;
}

// Items longer than their slots are cut; short sentences leave the missing slots empty.
TEST(Interpret, ItemsNeverOverrunSlots)
{
    nt::Link link;
    const std::string longitem(150, '7');
    EXPECT_EQ(interpret(link, nt::with_cs("$GPRMC," + longitem + ",A,1,N,2,E," + longitem + ",9,010203," + longitem +
                                          "," + longitem + ",XYZW")),
              1);
    const PositionReport& r = link.report;
    EXPECT_EQ(std::string(r.rmc_time), std::string(sizeof r.rmc_time - 1, '7'));
    EXPECT_EQ(std::string(r.rmc_status), "A");
    EXPECT_EQ(std::string(r.course), "9");
    EXPECT_EQ(std::string(r.speed_knots), std::string(sizeof r.speed_knots - 1, '7'));
    EXPECT_EQ(std::string(r.rmc_mode), "XYZ");
    EXPECT_EQ(std::string(r.date), "010203");

    EXPECT_EQ(interpret(link, nt::with_cs("$GPRMC,1,A")), 1);
    EXPECT_EQ(std::string(r.rmc_time), "1");
    EXPECT_EQ(std::string(r.rmc_status), "A");
    EXPECT_EQ(std::string(r.speed_knots), "");
    EXPECT_EQ(std::string(r.rmc_mode), "");

    // The scan stops at '*' even when bytes behind it look like items.
    EXPECT_EQ(interpret(link, "$GPGGA,1,2*00,3,4,5,6,7\r\n"), 1);
    EXPECT_EQ(std::string(r.latitude), "2");
    EXPECT_EQ(std::string(r.lat_hemisphere), "");
    EXPECT_EQ(std::string(r.dgps_station), "");
}

TEST(Interpret, OtherTagsPassUnread)
{
    nt::Link link;
    // A single-system position beside the receiver's combined one is not taken.
    for (const char* s : {"$GAGGA,1,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
                          "$GNGLL,4807.038,N,01131.000,E,1,A,A", "$GARMC,1,A,4807.038,N,01131.000,E,0.0,,010120,,,A",
                          "$GLGSV,1,1,00", "$GPVTG,,T,,M,,N,,K,N", "$GPGGA", "$GNGGA"}) {
        SCOPED_TRACE(s);
        EXPECT_EQ(interpret(link, nt::with_cs(s)), 1);
        EXPECT_EQ(link.report.updated, 0);
        EXPECT_EQ(link.report.latitude[0], '\0');
    }
}

struct RmcCase {
    const char* sentence;
    bool rmc;
    SentenceKind kind;
};

TEST(Interpret, RmcSentencesOfEveryInterpretedTalker)
{
    using K = SentenceKind;
    const RmcCase cases[] = {
        {"$GPRMC,1,A*00\r\n", true, K::rmc},
        {"$GNRMC,1,A*00\r\n", true, K::rmc},
        {"$BDRMC,1,A*00\r\n", true, K::rmc},
        // The tag is talker, type and its comma; the RMC check asks only the first two.
        {"$GPRMC*00\r\n", true, K::other},
        {"$GARMC,1,A*00\r\n", false, K::other},
        {"$GLRMC,1,A*00\r\n", false, K::other},
        {"$GNGGA,1*00\r\n", false, K::gga},
        {"$GPGGA,1*00\r\n", false, K::gga},
        {"$GAGGA,1*00\r\n", false, K::other},
        {"$GLGNS,1*00\r\n", false, K::gns},
        {"$GNGNS,1*00\r\n", false, K::gns},
        {"$GPGSV,1*00\r\n", false, K::gsv},
        {"$GLGSV,1*00\r\n", false, K::other},
        {"$GPRMC,", true, K::rmc},
        {"$GPRM", false, K::other},
        {"", false, K::other},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nmea_is_rmc(c.sentence, std::strlen(c.sentence)), c.rmc) << c.sentence;
        EXPECT_EQ(nmea_kind(c.sentence, std::strlen(c.sentence)), c.kind) << c.sentence;
    }
    EXPECT_EQ(nmea_kind(nullptr, 7), K::other);
    EXPECT_FALSE(nmea_is_rmc(nullptr, 6));
}

// The identification sentence follows every "$GPRMC"; the GN and BD ones
// only on a link that has sent no "$GPRMC".
TEST(Interpret, IdentificationFollowsOtherRmcTalkersOnlyWithoutGprmc)
{
    nt::Link link;
    const std::pair<const char*, bool> steps[] = {{"GN", true},  {"BD", true},  {"GP", true},
                                                  {"GN", false}, {"BD", false}, {"GP", true}};
    for (const auto& [talker, fid] : steps) {
        const std::string s = nt::with_cs(std::string("$") + talker + "RMC,1,A,,,,,0.0,,010120,,,A");
        interpret(link, s);
        EXPECT_EQ(nmea_fid_follows(&link, s.data(), s.size()), fid) << talker;
    }
}

struct DropCase {
    const char* legend;
    uint32_t drop;
    std::vector<std::string> sentences;
    std::vector<int> passed;
    const char* fix_time;  // the GGA/GNS time stored last
};

TEST(Interpret, DropRepeatedGga)
{
    const std::string gga1 = "$GPGGA,000001,1,N,1,E,1,05,,,,,,,";
    const std::string gga2 = "$GPGGA,000002,1,N,1,E,1,05,,,,,,,";
    const std::string gga3 = "$GPGGA,000003,1,N,1,E,1,05,,,,,,,";
    const std::string gsv = "$GPGSV,1,1,00";
    const std::string gns = "$GPGNS,000004,1,N,1,E,A,05,,,,,";
    const std::string rmc = "$GPRMC,000005,A,1,N,1,E,0.0,,010120,,,A";
    const DropCase cases[] = {
        {"GGA GGA GSV GGA", 1, {gga1, gga2, gsv, gga3}, {1, 0, 1, 1}, "000003"},
        {"GNS then GGA before GSV", 1, {gns, gga1}, {1, 0}, "000004"},
        {"RMC does not end the cycle", 1, {gga1, rmc, gga2}, {1, 1, 0}, "000001"},
        {"another talker's GSV does not end the cycle", 1, {gga1, "$GLGSV,1,1,00", gga2}, {1, 1, 0}, "000001"},
        {"filter off", 0, {gga1, gga2, gga3}, {1, 1, 1}, "000003"},
        {"a GN GGA is never dropped",
         1,
         {"$GNGGA,000001,1,N,1,E,1,05,,,,,,,", "$GNGGA,000002,1,N,1,E,1,05,,,,,,,", gsv,
          "$GNGGA,000003,1,N,1,E,1,05,,,,,,,"},
         {1, 1, 1, 1},
         "000003"},
        {"a GN GNS or GGA does not make the GGA behind it a repeat",
         1,
         {"$GNGNS,000004,1,N,1,E,AA,05,,,,,", "$GNGGA,000002,1,N,1,E,1,05,,,,,,,", gga1},
         {1, 1, 1},
         "000001"},
        {"GP then GN GGA in one cycle: both go on", 1, {gga1, "$GNGGA,000002,1,N,1,E,1,05,,,,,,,"}, {1, 1}, "000001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        nt::Link link;
        link.drop_repeated_gga = c.drop;
        std::vector<int> passed;
        for (const auto& s : c.sentences) {
            const std::string full = nt::with_cs(s);
            // A trailing sentence shows what nmea_consume left in the buffer.
            nt::frame(link, full);
            const std::string next = "$GPVTG,a*00\r\n";
            std::memcpy(link.rx_buf + full.size(), next.data(), next.size());
            link.rx_len += static_cast<int>(next.size());
            const int pass = nmea_interpret(&link, &link);
            passed.push_back(pass);
            if (!pass) {
                nmea_consume(&link);
                EXPECT_EQ(std::string(nmea_sentence(&link), static_cast<size_t>(link.rx_len - link.rx_start)), next);
            }
        }
        EXPECT_EQ(passed, c.passed);
        EXPECT_STREQ(link.report.fix_time, c.fix_time);
    }
}

// A date the rollover repair found wrong but could not rewrite (no room for
// the checksum digits) is passed on as received but believed by nobody.
TEST(Interpret, UnrepairedRolloverDateIsNotTaken)
{
    const std::string bare = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A*\r\n";
    for (const uint32_t date_fix : {1u, 0u}) {
        SCOPED_TRACE(date_fix);
        nt::Link link;
        link.date_fix_enabled = date_fix;
        const nt::Replay r = nt::replay(link, bare);
        EXPECT_EQ(r.sentences, std::vector<std::string>{bare});
        EXPECT_EQ(std::string(link.report.date), date_fix ? "" : "230394");
        EXPECT_EQ(std::string(link.report.rmc_time), "123519");
    }
}

}  // namespace
