// SPDX-License-Identifier: BSD-2-Clause
// Shared set-up of the fuzz targets: a private simulation root on /dev/shm so
// that the code under test writes its status files to memory, not to disk.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace fuzz {

inline std::string& root_dir()
{
    static std::string root;
    return root;
}

// Creates the root once per process (before the daemon's code first reads
// GNSSD_ROOT) and removes it at exit.
inline const std::string& make_root()
{
    std::string& root = root_dir();
    if (!root.empty())
        return root;
    char tmpl[] = "/dev/shm/gnssd-fuzz-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) {
        char fallback[] = "/tmp/gnssd-fuzz-XXXXXX";
        dir = mkdtemp(fallback);
    }
    if (!dir)
        std::abort();
    root = dir;
    for (const char* sub : {"dev", "proc/tty/driver", "run/lock", "run/gps", "run/ppp", "opt/gps/etc", "usr/bin"})
        std::filesystem::create_directories(root + "/" + sub);
    setenv("GNSSD_ROOT", root.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(root_dir(), ec);
    });
    return root;
}

// Replaces a file below the root with exactly these bytes.
inline void write_root_file(const char* router_path, const uint8_t* data, size_t size)
{
    const std::string path = root_dir() + router_path;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        std::abort();
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0)
            std::abort();
        data += n;
        size -= static_cast<size_t>(n);
    }
    close(fd);
}

// Small deterministic generator for read sizes and the like, seeded from
// the input so that a crash replays exactly.
struct Rng {
    uint32_t state;
    uint32_t next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

}  // namespace fuzz
