// SPDX-License-Identifier: BSD-2-Clause
// Serial ports: opened with their line settings, and the files that tell about them.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/log.h"
#include "receiver/link.h"
#include "receiver/serial.h"

namespace {

// 255 characters of a first line and its NUL.
constexpr int kFirstLineSize = 256;

// One per thread, so that no caller overwrites the line another still reads.
thread_local char t_first_line[kFirstLineSize];

struct SpeedRow {
    int baud;
    speed_t constant;
};

constexpr SpeedRow kSpeeds[] = {
    {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

speed_t speed_constant(int baud)
{
    for (const SpeedRow& row : kSpeeds)
        if (row.baud == baud)
            return row.constant;
    return B9600;
}

}  // namespace

void serial_line_settings(struct termios* tio, int speed, int data_bits, const char* parity, int stop_bits)
{
    const speed_t constant = speed_constant(speed);
    tio->c_iflag = IGNBRK | IGNPAR;
    tio->c_oflag = 0;
    tio->c_lflag = 0;
    tcflag_t cflag = constant | (data_bits == 7 ? CS7 : CS8) | CREAD | HUPCL | CLOCAL;
    if (stop_bits == 2)
        cflag |= CSTOPB;
    const char p = parity ? parity[0] : '\0';
    if (p == 'O')
        cflag |= PARENB | PARODD;
    else if (p == 'E')
        cflag |= PARENB;
    tio->c_cflag = cflag;
    // Same rate both ways; the speed bits of c_cflag stay as set above.
    cfsetispeed(tio, constant);
    cfsetospeed(tio, constant);
}

int serial_open_port(const char* path)
{
    // O_NOCTTY: a module port must never become our controlling terminal, or
    // its hang-up would signal the service. O_NONBLOCK: the open must not wait
    // for carrier, and reads are paced by poll (the sentence reader's too).
    int fd = plat_open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        const int saved = errno;
        log_msg(LOG_ERR, "open(%s) error: %s", path, std::strerror(saved));
        errno = saved;
        return -1;
    }
    return fd;
}

int serial_open(const char* path, int speed, int data_bits, const char* parity, int stop_bits)
{
    const int fd = serial_open_port(path);
    if (fd < 0)
        return -1;
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        std::memset(&tio, 0, sizeof tio);  // tcsetattr below fails and says so
    serial_line_settings(&tio, speed, data_bits, parity, stop_bits);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        const int saved = errno;
        log_msg(LOG_ERR, "tcsetattr(%s) error: %s", path, std::strerror(saved));
    }
    return fd;
}

int link_open_serial(ReceiverLink* link)
{
    link->fd = serial_open(link->device_path, 115200, 8, "N", 1);
    if (link->fd < 0) {
        const int saved = errno;
        log_msg(LOG_ERR, "open(%s) error: %s", link->device_path, std::strerror(saved));
        return -1;
    }
    return 0;
}

int file_exists(const char* path)
{
    struct stat st;
    return plat_stat(path, &st) == 0 ? 1 : 0;
}

const char* read_first_line(const char* path)
{
    t_first_line[0] = '\0';
    // Only a regular file: a FIFO planted here must not hang the service.
    FILE* f = plat_fopen_file(path);
    if (!f)
        return t_first_line;
    if (!std::fgets(t_first_line, sizeof t_first_line, f))
        t_first_line[0] = '\0';
    std::fclose(f);
    t_first_line[std::strcspn(t_first_line, "\r\n")] = '\0';
    return t_first_line;
}
