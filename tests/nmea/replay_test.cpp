// Real receiver captures replayed through the reader: every sentence comes out as sent, dates repaired.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>

#include "nmea_support.h"

namespace {

using namespace std::chrono;

// The date of an RMC (ddmmyy) or ZDA (dd,mm,yyyy) item, or no value when it does not hold one.
bool parse_date(const std::string& type, const std::string& text, year_month_day& out)
{
    int d = 0, m = 0, y = 0, used = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool comma = type == "ZDA" && (i == 2 || i == 5);
        if (comma ? text[i] != ',' : !std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    if (type == "RMC") {
        if (text.size() != 6 || std::sscanf(text.c_str(), "%2d%2d%2d%n", &d, &m, &y, &used) != 3 || used != 6)
            return false;
        y += y >= 69 ? 1900 : 2000;
    } else {
        if (text.size() != 10 || std::sscanf(text.c_str(), "%2d,%2d,%4d%n", &d, &m, &y, &used) != 3 || used != 10)
            return false;
    }
    out = year_month_day{year{y}, month{static_cast<unsigned>(m)}, day{static_cast<unsigned>(d)}};
    return out.ok();
}

// What the receiver's line must look like after the repair: rolled-over RMC and ZDA dates
// 1024 weeks later with a new checksum, everything else untouched.
std::string repaired(const std::string& line)
{
    if (line.size() < 7)
        return line;
    const std::string type = line.substr(3, 3);
    if (type != "RMC" && type != "ZDA")
        return line;
    const size_t star = line.find('*');
    const int want = type == "RMC" ? 9 : 2;
    size_t at = 0;
    for (int k = 0; k < want; ++k) {
        at = line.find(',', at);
        if (at == std::string::npos || at > star)
            return line;
        ++at;
    }
    const size_t width = type == "RMC" ? 6 : 10;
    const std::string item = line.substr(at, width);
    year_month_day date{};
    if (!parse_date(type, item, date) || date.year() >= year{2019})
        return line;
    const year_month_day fixed{sys_days{date} + days{1024 * 7}};
    char text[16];
    if (type == "RMC")
        std::snprintf(text, sizeof text, "%02u%02u%02d", static_cast<unsigned>(fixed.day()),
                      static_cast<unsigned>(fixed.month()), static_cast<int>(fixed.year()) % 100);
    else
        std::snprintf(text, sizeof text, "%02u,%02u,%04d", static_cast<unsigned>(fixed.day()),
                      static_cast<unsigned>(fixed.month()), static_cast<int>(fixed.year()));
    std::string out = line;
    out.replace(at, width, text);
    char cs[3];
    std::snprintf(cs, sizeof cs, "%02X", nt::xor_of(out.substr(0, star)));
    out.replace(star + 1, 2, cs);
    return out;
}

// The sentences a receiver's stream holds: each CR LF line from its first '$', when it has a '*'.
std::vector<std::string> expected_sentences(const std::string& bytes, bool date_fix, int* repairs)
{
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
        const size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos)
            break;
        std::string line = bytes.substr(at, end + 2 - at);
        at = end + 2;
        const size_t dollar = line.find('$');
        if (dollar == std::string::npos)
            continue;
        line.erase(0, dollar);
        if (line.find('*') == std::string::npos)
            continue;
        if (date_fix) {
            std::string fixed = repaired(line);
            *repairs += fixed != line;
            line = fixed;
        }
        out.push_back(line);
    }
    return out;
}

struct Capture {
    const char* file;
    int min_repairs;  // rolled-over dates the capture is known to hold
};

TEST(Replay, CapturesComeOutAsSent)
{
    const Capture captures[] = {
        {"gpsd-telit-he910.nmea", 0},
        {"gpsd-april6_2019.nmea", 1},
        {"gpsd-gp-320fw-2019-04-06-overflow.nmea", 0},
        {"gpsd-ublox-neo-m9n-nmea.nmea", 0},
        {"gpsd-quectel-eg25-g.nmea", 0},
        {"gpsd-beidou-bd.nmea", 0},
        {"gpsd-telit-pls83-w.nmea", 0},
        {"gpsd-telit-pls83-w.crcrlf.nmea", 0},
        {"gpsd-bt451.nmea", 26},
        {"gpsd-firefly-II.nmea", 46},
        {"gpsd-mtk-3301.nmea", 11},
        {"gpsd-skytraq-PX1172RH_DS.nmea", 0},
        {"pynmeagps-pygpsdata-nmeastartup.nmea", 0},
    };
    // Read sizes vary with how the writer cuts the stream.
    const std::vector<std::vector<size_t>> cuts = {{1 << 20}, {1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233}, {1023}};
    for (const auto& cap : captures) {
        const std::string bytes = th::read_file(th::data_path(cap.file));
        ASSERT_FALSE(bytes.empty()) << cap.file;
        for (const uint32_t date_fix : {0u, 1u}) {
            int repairs = 0;
            const std::vector<std::string> expected = expected_sentences(bytes, date_fix != 0, &repairs);
            EXPECT_GE(repairs, date_fix ? cap.min_repairs : 0) << cap.file;
            for (const auto& chunks : cuts) {
                SCOPED_TRACE(std::string(cap.file) + (date_fix ? " with date repair" : "") + ", chunk " +
                             std::to_string(chunks.size()));
                nt::Link link;
                nt::init_link(link);
                link.date_fix_enabled = date_fix;
                const nt::Replay r = nt::replay(link, bytes, chunks);
                EXPECT_EQ(r.last, -1);
                ASSERT_EQ(r.sentences.size(), expected.size());
                for (size_t i = 0; i < expected.size(); ++i)
                    ASSERT_EQ(r.sentences[i], expected[i]) << "sentence " << i;
            }
        }
    }
}

}  // namespace
