// SPDX-License-Identifier: BSD-2-Clause
// The read loop and its consumer table in-process: a link over a socket pair, the pseudo-terminal and files as consumers.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/pipeline.h"
#include "outputs/files.h"
#include "outputs/local.h"
#include "support/harness.h"
#include "support/inproc.h"
#include "support/pty_peer.h"

namespace {

const std::string kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const std::string kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A*07\r\n";

std::string in_root(const char* router_path)
{
    return th::process_root() + router_path;
}

// Every hook the service's start-up and shutdown call, in their order, with
// one read of the link between: each kind of row (per sentence, per batch,
// relink, open and close) shows in what one of its consumers leaves behind.
TEST(Pipeline, ReadLoopFeedsEveryKindOfRowAndClosesStageByStage)
{
    th::process_root();
    char router_id[] = "R1";
    GpsSettings st{};  // every output but the pseudo-terminal off, no time sync
    st.pty_enabled = 1;
    st.sri_enabled = 1;
    st.router_id = router_id;
    auto p = std::make_unique<Pipeline>();
    p->settings = &st;
    p->version = "test";
    pipeline_build_fid(p.get());

    // The files of an earlier run go at start-up.
    th::write_file(in_root(kStatsPath), "stale\n");
    th::write_file(in_root(kLocationPath), "stale\n");
    pipeline_open(p.get(), kOpenBeforeLink);
    EXPECT_FALSE(th::file_exists(in_root(kStatsPath)));
    EXPECT_FALSE(th::file_exists(in_root(kLocationPath)));

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    ReceiverLink link;
    std::memset(&link, 0, sizeof link);
    link.fd = sv[0];
    link.rx_timeout = 2;
    link.drop_repeated_gga = 1;
    link.device_path = "/dev/ttyTEST";
    pipeline_use_link(p.get(), &link);
    EXPECT_STREQ(p->receiver.port, "/dev/ttyTEST");
    pipeline_open(p.get(), kOpenWithLink);
    ASSERT_TRUE(p->pty_exists);
    const int reader = open(in_root(kPtyLinkPath).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    // The repeated GGA is dropped before any consumer sees it; the RMC
    // takes the identification sentence behind it.
    const std::string sent = kGga + kGga + kRmc;
    ASSERT_EQ(write(sv[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    int batched = 0;
    for (int reads = 0; reads < 10 && batched < 3; ++reads) {
        ASSERT_EQ(nmea_read(&link), 0);
        pipeline_read(p.get());
        batched += p->batch.count;
    }
    EXPECT_EQ(batched, 3);
    EXPECT_EQ(p->receiver.sentences, 2u);                                         // per sentence
    EXPECT_EQ(th::PtyPeer::read_quiet(reader), kGga + kRmc + "$GPFID,R1\r\n");    // per batch
    EXPECT_EQ(th::read_file(in_root(kLocationPath)), "4807.038N\n01131.000E\n");  // per batch
    EXPECT_NE(th::read_file(in_root(kStatsPath)).find("Fix status         : 1\n"), std::string::npos);
    close(reader);

    // Shutdown: the streams, then the local outputs with "/dev/nmea", and
    // the files only once the link is gone.
    pipeline_close(p.get(), kCloseStreams);
    EXPECT_TRUE(th::file_exists(in_root(kPtyLinkPath)));
    pipeline_close(p.get(), kCloseLocal);
    EXPECT_FALSE(th::file_exists(in_root(kPtyLinkPath)));
    EXPECT_FALSE(p->pty_exists);
    EXPECT_TRUE(th::file_exists(in_root(kStatsPath)));
    EXPECT_TRUE(th::file_exists(in_root(kLocationPath)));
    pipeline_use_link(p.get(), nullptr);
    EXPECT_STREQ(p->receiver.port, "");
    pipeline_close(p.get(), kCloseAfterLink);
    EXPECT_FALSE(th::file_exists(in_root(kStatsPath)));
    EXPECT_FALSE(th::file_exists(in_root(kLocationPath)));
    EXPECT_EQ(p->reporter, nullptr);
    close(sv[0]);
    close(sv[1]);
}

}  // namespace
