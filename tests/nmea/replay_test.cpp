// SPDX-License-Identifier: BSD-2-Clause
// Real receiver captures replayed through the reader: the sentences match the golden files beside them.
#include <gtest/gtest.h>

#include "nmea_support.h"

namespace {

// The sentences of a golden file: each one ends at its first CR LF.
std::vector<std::string> sentences_of(const std::string& text)
{
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        out.push_back(text.substr(at, end + 2 - at));
    EXPECT_EQ(at, text.size()) << "a golden file ends with a whole sentence";
    return out;
}

// Beside each capture "name.nmea": "name.chk", every sentence as the reader
// passes it on, and "name.datefix.chk", the same with the date repair on,
// where the repair changes anything.
std::vector<std::string> golden(const std::string& capture, bool date_fix)
{
    const std::string stem = capture.substr(0, capture.size() - std::string(".nmea").size());
    if (date_fix && th::file_exists(th::data_path(stem + ".datefix.chk")))
        return sentences_of(th::read_file(th::data_path(stem + ".datefix.chk")));
    return sentences_of(th::read_file(th::data_path(stem + ".chk")));
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
        const std::vector<std::string> as_sent = golden(cap.file, false);
        ASSERT_FALSE(as_sent.empty()) << cap.file;
        for (const uint32_t date_fix : {0u, 1u}) {
            const std::vector<std::string> expected = golden(cap.file, date_fix != 0);
            ASSERT_EQ(expected.size(), as_sent.size()) << "the repair changes sentences, never their number";
            int repairs = 0;
            for (size_t i = 0; i < expected.size(); ++i)
                repairs += expected[i] != as_sent[i];
            EXPECT_GE(repairs, date_fix ? cap.min_repairs : 0) << cap.file;
            for (const auto& chunks : cuts) {
                SCOPED_TRACE(std::string(cap.file) + (date_fix ? " with date repair" : "") + ", chunk " +
                             std::to_string(chunks.size()));
                nt::Link link;
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
