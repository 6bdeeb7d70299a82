// SPDX-License-Identifier: BSD-2-Clause
// The status and location files as the sentences of a link leave them, and coordinate conversion.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "nmea/nmea_support.h"

namespace {

const std::string kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const std::string kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A*07\r\n";

std::string stats_text()
{
    return th::read_file(nt::run_path(kStatsPath));
}

// Frames and interprets one sentence as nmea_next does; 1 = passed on.
int interpret(nt::Link& link, const std::string& s)
{
    nt::frame(link, s);
    const int pass = nmea_interpret(&link, &link);
    nmea_files_update(&link);
    return pass;
}

TEST(Files, StatusFileExample)
{
    nt::Link link;
    link.date_fix_enabled = 0;
    const nt::Replay r = nt::replay(link, kGga + kRmc);
    EXPECT_EQ(r.sentences, (std::vector<std::string>{kGga, kRmc}));
    EXPECT_EQ(stats_text(),
              "Current time (UTC) : 12:35:19\n"
              "Latitude           : 48.117300N\n"
              "Longitude          : 11.516667E\n"
              "Altitude           : 545.4 M\n"
              "Satellites in use  : 8\n"
              "Fix status         : 1\n"
              "Speed over ground  : 41.5 km/h\n"
              "Course over ground : 084.4 degrees\n"
              "Date               : 23.03.2094\n");
    EXPECT_EQ(th::read_file(nt::run_path(kLocationPath)), "4807.038N\n01131.000E\n");
    EXPECT_TRUE(link.moving);
    EXPECT_FALSE(th::file_exists(nt::run_path(kStatsPath) + ".tmp"));
}

struct StatsCase {
    const char* legend;
    std::vector<std::string> sentences;  // bodies without checksum
    std::vector<std::string> lines;      // lines that must appear in the status file
    int moving;                          // -1: not checked
    int updated = 1;                     // the last sentence fed the report
};

TEST(Files, StatusFileLines)
{
    const StatsCase cases[] = {
        {"halted: no course, not moving",
         {"$GPRMC,123519,A,4807.038,N,01131.000,E,0.0,084.4,230394,003.1,W,A"},
         {"Speed over ground  : 0.0 km/h\n", "Course over ground : N/A\n"},
         0},
        {"slow but moving",
         {"$GPRMC,123519,A,4807.038,N,01131.000,E,0.1,084.4,230394,003.1,W,A"},
         {"Speed over ground  : 0.2 km/h\n", "Course over ground : 084.4 degrees\n"},
         1},
        {"empty speed counts as moving, also after standing",
         {"$GPRMC,123519,A,4807.038,N,01131.000,E,0.0,084.4,230394,003.1,W,A", "$GPRMC,,V,,,,,,,,,,N"},
         {"Speed over ground  : N/A\n", "Course over ground : N/A\n", "Date               : N/A\n",
          "Current time (UTC) : N/A\n", "Latitude           : N/A\n", "Altitude           : N/A \n",
          "Satellites in use  : N/A\n", "Fix status         : \n"},
         1},
        {"speed that is no number counts as moving", {"$GPRMC,1,A,,,,,0.0,,,,,A", "$GPRMC,1,A,,,,,x,,,,,A"}, {}, 1},
        {"three leading zeros still stand",
         {"$GNRMC,003840.000,A,4404.1271062,N,12118.8438377,W,000.0,171.0,290322,,,F,V"},
         {"Speed over ground  : 0.0 km/h\n", "Course over ground : N/A\n"},
         0},
        {"two decimals still stand", {"$BDRMC,1,A,,,,,00.00,,,,,A"}, {"Speed over ground  : 0.0 km/h\n"}, 0},
        {"a few hundredths of a knot is parked", {"$GNRMC,1,A,,,,,0.099,,,,,A"}, {}, 0},
        {"a tenth of a knot in three digits moves", {"$GPRMC,1,A,,,,,000.1,,,,,A"}, {}, 1},
        {"moving again after standing",
         {"$GPRMC,1,A,,,,,000.0,,,,,A", "$GPRMC,1,A,,,,,12.5,,,,,A"},
         {"Speed over ground  : 23.1 km/h\n"},
         1},
        {"GN talker GGA is the position",
         {"$GNGGA,223845.00,3806.63006,N,12237.61538,W,2,12,0.56,81.8,M,-29.5,M,,0000"},
         {"Current time (UTC) : 22:38:45.00\n", "Latitude           : 38.110501N\n",
          "Longitude          : 122.626923W\n", "Altitude           : 81.8 M\n", "Satellites in use  : 12\n",
          "Fix status         : 2\n"},
         -1},
        {"GN talker GNS is the position",
         {"$GNGNS,074159.799,3114.8943,N,12135.2444,E,ANNA,07,1.1,196.4,8.3,,0000"},
         {"Latitude           : 31.248238N\n", "Longitude          : 121.587407E\n", "Altitude           : 196.4 M\n",
          "Satellites in use  : 7\n", "Fix status         : 1\n"},
         -1},
        {"GNS with mode N for every system is no fix",
         {"$GPGNS,014035.00,4332.69262,S,17235.48549,E,NN,04,5.0,21.2,,,"},
         {"Fix status         : 0\n", "Latitude           : 43.544877S\n", "Altitude           : 21.2 M\n",
          "Satellites in use  : 4\n"},
         -1},
        {"GNS with an empty mode is no fix", {"$GLGNS,1,,,,,,04,,,,,"}, {"Fix status         : 0\n"}, -1},
        {"GNS with a fix of one system is a fix", {"$BDGNS,1,,,,,NNF,04,,,,,"}, {"Fix status         : 1\n"}, -1},
        {"a receiver's own GGA keeps the report, the GN one beside it is passed on unread",
         {"$GPGGA,000001,4916.4500,N,00000.0000,W,1,08,,,,,,,", "$GNGGA,000002,3806.63006,N,12237.61538,W,2,12,,,,,,,",
          "$GNGNS,000003,3114.8943,N,12135.2444,E,AA,07,,,,,"},
         {"Current time (UTC) : 00:00:01\n", "Fix status         : 1\n", "Satellites in use  : 8\n"},
         -1,
         0},
        {"a GN GGA before the receiver's own one of the link is read until then",
         {"$GNGGA,000002,3806.63006,N,12237.61538,W,2,12,,,,,,,", "$GLGNS,000003,3114.8943,N,12135.2444,E,AN,07,,,,,",
          "$GNGGA,000004,3806.63006,N,12237.61538,W,2,12,,,,,,,"},
         {"Current time (UTC) : 00:00:03\n", "Fix status         : 1\n"},
         -1,
         0},
        {"a receiver's own RMC keeps the report, the GN one beside it is passed on unread",
         {"$GPRMC,1,A,,,,,5.0,,230394,,,A", "$GNRMC,2,A,,,,,0.0,,010120,,,A"},
         {"Date               : 23.03.2094\n", "Speed over ground  : 9.3 km/h\n"},
         1,
         0},
        {"GGA with empty fix quality prints nothing behind the label",
         {"$GPGGA,092725.00,4717.11399,N,00833.91590,E,,08,1.01,499.6,M,48.0,M,,"},
         {"Fix status         : \n", "Current time (UTC) : 09:27:25.00\n"},
         -1},
        {"no satellites", {"$GPGGA,092725,,,,,0,00,,,,,,,"}, {"Satellites in use  : 0\n"}, -1},
        {"a lone zero stays", {"$GPGGA,092725,,,,,0,0,,,,,,,"}, {"Satellites in use  : 0\n"}, -1},
        {"twelve satellites stay twelve", {"$GPGGA,092725,,,,,0,12,,,,,,,"}, {"Satellites in use  : 12\n"}, -1},
        {"short time and date items are printed as far as they go",
         {"$GPGGA,123,,,,,1,,,,,,,,", "$BDRMC,1,A,,,,,5.0,,2303,,,A"},
         {"Current time (UTC) : 12:3:\n", "Date               : 23.03.20\n", "Speed over ground  : 9.3 km/h\n"},
         1},
        {"GGA and RMC slots stay apart whatever the order",
         {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A",
          "$GPGGA,000001,4916.4500,N,00000.0000,W,2,08,0.9,1.0,M,46.9,M,,"},
         {"Current time (UTC) : 00:00:01\n", "Latitude           : 49.274167N\n", "Longitude          : 0.000000W\n",
          "Date               : 23.03.2094\n", "Fix status         : 2\n"},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        nt::Link link;
        for (const auto& s : c.sentences)
            EXPECT_EQ(interpret(link, nt::with_cs(s)), 1);
        EXPECT_EQ(link.report.updated, c.updated);
        const std::string text = stats_text();
        for (const auto& line : c.lines)
            EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
        if (c.moving >= 0) {
            EXPECT_EQ(link.moving != 0, c.moving != 0);
        }
    }
}

// Real multi-constellation receivers: what the status and location files
// and the moving flag say once the whole capture has been read.
struct CaptureCase {
    const char* file;
    std::vector<std::string> lines;
    const char* location;
    int moving;
};

TEST(Files, CapturesOfGnTalkerReceivers)
{
    const CaptureCase cases[] = {
        // GN only, DGPS fix, parked at 0.018 knots.
        {"gpsd-ublox-neo-m9n-nmea.nmea",
         {"Current time (UTC) : 22:38:45.00\n", "Latitude           : 38.110501N\n",
          "Longitude          : 122.626923W\n", "Altitude           : 81.8 M\n", "Satellites in use  : 12\n",
          "Fix status         : 2\n", "Speed over ground  : 0.0 km/h\n", "Course over ground : N/A\n",
          "Date               : 11.07.2020\n"},
         "3806.63006N\n12237.61538W\n",
         0},
        // GNGGA then GNGNS each cycle: the GNS is stored last.
        {"gpsd-beidou-bd.nmea",
         {"Current time (UTC) : 07:41:59.799\n", "Latitude           : 31.248238N\n",
          "Longitude          : 121.587407E\n", "Altitude           : 196.4 M\n", "Satellites in use  : 7\n",
          "Fix status         : 1\n", "Speed over ground  : 0.4 km/h\n", "Course over ground : 4.94 degrees\n",
          "Date               : 25.02.2015\n"},
         "3114.8943N\n12135.2444E\n",
         1},
        // A cold start: no fix yet, so no location file.
        {"pynmeagps-pygpsdata-nmeastartup.nmea",
         {"Fix status         : 0\n", "Satellites in use  : 0\n", "Speed over ground  : N/A\n"},
         nullptr,
         1},
        // GPGGA beside GNRMC, whose parked speed is written "000.0".
        {"gpsd-skytraq-PX1172RH_DS.nmea",
         {"Fix status         : 5\n", "Speed over ground  : 0.0 km/h\n", "Date               : 29.03.2022\n"},
         "4404.1271062N\n12118.8438377W\n",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        nt::Link link;
        nmea_files_remove();
        nt::replay(link, th::read_file(th::data_path(c.file)));
        const std::string text = stats_text();
        for (const auto& line : c.lines)
            EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
        const std::string loc = nt::run_path(kLocationPath);
        if (c.location)
            EXPECT_EQ(th::read_file(loc), c.location);
        else
            EXPECT_FALSE(th::file_exists(loc));
        EXPECT_EQ(link.moving != 0, c.moving != 0);
    }
}

TEST(Files, GsvDoesNotRewriteStatus)
{
    nt::Link link;
    plat_unlink(kStatsPath);
    EXPECT_EQ(interpret(link, nt::with_cs("$GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00")), 1);
    EXPECT_FALSE(th::file_exists(nt::run_path(kStatsPath)));
}

TEST(Files, LocationFileFollowsFix)
{
    nt::Link link;
    const std::string loc = nt::run_path(kLocationPath);
    interpret(link, nt::with_cs("$GPGGA,1,4916.45,N,12311.12,W,1,05,,,,,,,"));
    EXPECT_EQ(th::read_file(loc), "4916.45N\n12311.12W\n");
    interpret(link, nt::with_cs("$GPGGA,2,4916.45,N,12311.12,W,0,05,,,,,,,"));
    EXPECT_FALSE(th::file_exists(loc));
    interpret(link, nt::with_cs("$GPGGA,2,,,,,0,05,,,,,,,"));  // missing file: no error
    EXPECT_FALSE(th::file_exists(loc));
    interpret(link, nt::with_cs("$GPRMC,3,A,4916.45,N,12311.12,W,1.0,,010120,,,A"));
    EXPECT_FALSE(th::file_exists(loc));
    interpret(link, nt::with_cs("$GPGGA,4,,,,,6,05,,,,,,,"));  // fix without coordinates: two empty lines
    EXPECT_EQ(th::read_file(loc), "\n\n");
    interpret(link, nt::with_cs("$BDGNS,5,3110.0,N,12135.2,E,NAN,05,,,,,"));
    EXPECT_EQ(th::read_file(loc), "3110.0N\n12135.2E\n");
    // A GNS without a fix in any system is no fix: no location file.
    interpret(link, nt::with_cs("$BDGNS,5,3110.0,N,12135.2,E,NNN,05,,,,,"));
    EXPECT_FALSE(th::file_exists(loc));
    // A receiver that speaks GN only.
    nt::init_link(link);
    interpret(link, nt::with_cs("$GNGGA,6,3806.63006,N,12237.61538,W,0,12,,,,,,,"));
    EXPECT_FALSE(th::file_exists(loc));
    interpret(link, nt::with_cs("$GNGGA,7,3806.63006,N,12237.61538,W,2,12,,,,,,,"));
    EXPECT_EQ(th::read_file(loc), "3806.63006N\n12237.61538W\n");
    interpret(link, nt::with_cs("$GNGNS,8,3114.8943,N,12135.2444,E,ANNA,07,,,,,"));
    EXPECT_EQ(th::read_file(loc), "3114.8943N\n12135.2444E\n");
}

// The files are rewritten once after the sentences of a read that stored a
// sentence of theirs, whether or not the text changed: monitors take the
// files' age as the service's heartbeat, and a vehicle standing still must
// not look like a hung service. A new link leaves them as they are.
TEST(Files, FilesRewrittenAfterEveryStoredSentenceAndKeptAcrossLinks)
{
    nt::Link link;
    const std::string stats = nt::run_path(kStatsPath);
    const std::string loc = nt::run_path(kLocationPath);
    // Each rewrite replaces the file: a new inode tells that it happened.
    const auto inode = [](const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    nmea_files_remove();
    const std::string gga = nt::with_cs("$GPGGA,123501,4916.45,N,12311.12,W,1,05,,,,,,,");
    const nt::Replay first = nt::replay(link, gga + kRmc);
    ASSERT_EQ(first.sentences.size(), 2u);
    ino_t stats_ino = inode(stats);
    ino_t loc_ino = inode(loc);
    ASSERT_NE(stats_ino, 0u);
    ASSERT_NE(loc_ino, 0u);
    nt::replay(link, gga + kRmc);  // the same again: written all the same
    EXPECT_NE(inode(stats), stats_ino);
    EXPECT_NE(inode(loc), loc_ino);
    stats_ino = inode(stats);
    loc_ino = inode(loc);
    nt::replay(link, kRmc);  // no position: only the status file
    EXPECT_NE(inode(stats), stats_ino);
    EXPECT_EQ(inode(loc), loc_ino);
    stats_ino = inode(stats);
    nt::replay(link, nt::with_cs("$GPGSV,1,1,00"));  // neither
    EXPECT_EQ(inode(stats), stats_ino);
    EXPECT_EQ(inode(loc), loc_ino);

    // A new link: both files keep what the old one said until it stores a
    // sentence; a position without a fix then removes the old position too.
    const std::string stats_before = th::read_file(stats);
    nt::init_link(link);
    nt::replay(link, nt::with_cs("$GPGSV,1,1,00"));
    EXPECT_EQ(th::read_file(stats), stats_before);
    EXPECT_EQ(th::read_file(loc), "4916.45N\n12311.12W\n");
    nt::replay(link, nt::with_cs("$GPGGA,123510,,,,,0,00,,,,,,,"));
    EXPECT_NE(th::read_file(stats).find("Current time (UTC) : 12:35:10\n"), std::string::npos);
    EXPECT_FALSE(th::file_exists(loc));
    nt::replay(link, gga);
    EXPECT_EQ(th::read_file(loc), "4916.45N\n12311.12W\n");
}

TEST(Files, StatusFileCannotBeCreated)
{
    nt::Link link;
    // A directory where the temporary file goes makes the create fail.
    const std::string tmp = nt::run_path(kStatsPath) + ".tmp";
    ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
    th::StderrCapture err;
    EXPECT_EQ(interpret(link, kRmc), 1);
    rmdir(tmp.c_str());
    EXPECT_NE(err.text().find("gps: err: create (/run/stats.gps) error"), std::string::npos) << err.text();
}

struct DegreesCase {
    const char* text;
    const char* expected;
};

TEST(Files, Degrees)
{
    const DegreesCase cases[] = {
        {"4916.4500", "49.274167"},
        {"4807.038", "48.117300"},
        {"01131.000", "11.516667"},
        {"0", "0.000000"},
        {"9000.0000", "90.000000"},
        {"17959.9999", "179.999998"},
        {"12.5", "0.208333"},
        {"4916.45abc", "49.274167"},
        {"", "N/A"},
        {"abc", "N/A"},
        {"nan", "N/A"},
        {"inf", "N/A"},
    };
    for (const auto& c : cases) {
        char out[32];
        nmea_degrees(c.text, out, sizeof out);
        EXPECT_STREQ(out, c.expected) << c.text;
    }
    char tiny[4];
    nmea_degrees("4916.4500", tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "N/A");
}

}  // namespace
