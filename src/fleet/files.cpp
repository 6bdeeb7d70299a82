// SPDX-License-Identifier: BSD-2-Clause
// Files the fleet process reads while it is still root.
#include "fleet/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/worker.h"

bool fleet_read_file(const char* path, std::string* out)
{
    out->clear();
    const int fd = plat_open_file(path, O_RDONLY);
    if (fd < 0)
        return false;
    Fd file(fd);
    char chunk[8192];
    for (;;) {
        const ssize_t n = read(file.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (out->size() + static_cast<std::size_t>(n) > kFleetFileMax) {
            errno = EFBIG;
            return false;
        }
        out->append(chunk, static_cast<std::size_t>(n));
    }
}
