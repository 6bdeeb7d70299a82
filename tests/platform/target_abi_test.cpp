// SPDX-License-Identifier: BSD-2-Clause
// The router runs for years past 2038 on a 32-bit ARM: time values and file
// offsets must be 64 bits wide in every translation unit, and the C library
// calls behind them must use the wide interfaces.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "platform/platform.h"
#include "support/harness.h"

static_assert(sizeof(time_t) == 8, "time_t must be 64 bits (_TIME_BITS=64)");
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits (_FILE_OFFSET_BITS=64)");
static_assert(sizeof(timespec::tv_sec) == 8, "timespec seconds must be 64 bits");

TEST(TargetAbi, DatesBeyond2038SurviveTheCLibrary)
{
    // 2040-02-29 12:34:56 UTC: past the signed 32-bit limit, on a leap day.
    const time_t t = 2214131696;
    struct tm tm {};
    ASSERT_NE(gmtime_r(&t, &tm), nullptr);
    EXPECT_EQ(tm.tm_year, 140);
    EXPECT_EQ(tm.tm_mon, 1);
    EXPECT_EQ(tm.tm_mday, 29);
    EXPECT_EQ(tm.tm_hour, 12);
    EXPECT_EQ(timegm(&tm), t);

    char text[32];
    ASSERT_GT(strftime(text, sizeof text, "%d%m%y", &tm), 0u);
    EXPECT_STREQ(text, "290240");
    struct tm back {};
    ASSERT_NE(strptime("290240", "%d%m%y", &back), nullptr);
    EXPECT_EQ(back.tm_year, 140);
}

TEST(TargetAbi, FileTimesAndOffsetsBeyond32Bits)
{
    th::TempDir dir;
    const std::string path = dir.path + "/wide";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    // A sparse byte past 4 GiB: needs 64-bit offsets through lseek/pwrite.
    const off_t far = (off_t{1} << 32) + 7;
    EXPECT_EQ(pwrite(fd, "x", 1, far), 1);
    struct timespec times[2] = {{2214131696, 0}, {2214131696, 0}};
    EXPECT_EQ(futimens(fd, times), 0);
    close(fd);

    struct stat st {};
    ASSERT_EQ(plat_stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, far + 1);
    EXPECT_EQ(st.st_mtime, 2214131696);
}
