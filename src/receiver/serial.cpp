// Serial ports, UUCP lock files and the AT command exchange with the module.
#include "receiver/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "receiver/link.h"

namespace {

// 8191 reply bytes and the NUL behind them.
constexpr int kAtReplySize = 8192;
// Reading stops after this many bytes in total, kept or drained.
constexpr int kAtDrainLimit = 65536;
// Bytes thrown away per read once the reply is full.
constexpr int kAtScratchSize = 128;
// Quiet time that ends a reply after a chunk of three bytes or more.
constexpr int kAtQuietMs = 200;
// Lock-file names are short: "/run/lock/LCK.." and a tty name.
constexpr unsigned kLockPathSize = 64;
// Polling interval of a lock wait.
constexpr long kLockPollNs = 100L * 1000 * 1000;
// Wait used for every port of a receiver link.
constexpr int kLinkLockSeconds = 5;
// 255 characters of a first line and its NUL.
constexpr int kFirstLineSize = 256;

// Each thread keeps its own reply so that one exchange never overwrites the
// text another thread still reads.
thread_local char t_reply[kAtReplySize];
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

void sleep_ns(long ns)
{
    struct timespec ts = {0, ns};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Reads the process id written in a lock file into *pid: 0 when it holds
// none; ids beyond the int range cannot belong to a process and read as none
// as well. False when the file cannot be opened.
bool lock_file_owner(const char* lock_path, int* pid_out)
{
    // Only a regular file is read: a FIFO planted here must not hang us.
    FILE* f = plat_fopen_file(lock_path);
    if (!f)
        return false;
    char text[32];
    std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    char* end = nullptr;
    errno = 0;
    long pid = std::strtol(text, &end, 10);
    const bool valid = end != text && errno == 0 && pid <= INT_MAX && pid >= INT_MIN;
    *pid_out = valid ? static_cast<int>(pid) : 0;
    return true;
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

int serial_open(const char* path, int speed, int data_bits, const char* parity, int stop_bits)
{
    // O_NOCTTY: a module port must never become our controlling terminal, or
    // its hang-up would signal the service. O_NONBLOCK: the open must not wait
    // for carrier, and reads are paced by poll anyway.
    int fd = plat_open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        const int saved = errno;
        log_msg(LOG_ERR, "open(%s) error: %s", path, std::strerror(saved));
        errno = saved;
        return -1;
    }
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

const char* at_command(int fd, const char* command, int timeout_seconds)
{
    const std::size_t len = std::strlen(command);
    if (write(fd, command, len) < 0) {
        const int saved = errno;
        log_msg(LOG_ERR, "write error: %s", std::strerror(saved));
    }
    std::memset(t_reply, 0, sizeof t_reply);
    const int full_ms = timeout_seconds <= 0 ? 0 : timeout_seconds > INT_MAX / 1000 ? INT_MAX : timeout_seconds * 1000;
    int wait_ms = full_ms;
    int total = 0;
    char scratch[kAtScratchSize];
    // A closed port has nothing to say; poll would merely sit out the timeout.
    while (fd >= 0) {
        // poll rather than select: a descriptor above FD_SETSIZE must not
        // write past an fd_set.
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, wait_ms) <= 0)
            break;
        ssize_t n;
        if (total <= kAtReplySize - 2)
            n = read(fd, t_reply + total, static_cast<std::size_t>(kAtReplySize - 1 - total));
        else
            n = read(fd, scratch, sizeof scratch);
        if (n <= 0)
            break;
        total += static_cast<int>(n);
        if (total >= kAtDrainLimit)
            break;
        wait_ms = n >= 3 ? kAtQuietMs : full_ms;
    }
    return t_reply;
}

const char* lock_file_path(const char* device, char* buf, unsigned size)
{
    const char* slash = std::strrchr(device, '/');
    const char* name = slash ? slash + 1 : device;
    int n = std::snprintf(buf, size, "/run/lock/LCK..%s", name);
    // A cut name could be another port's lock file: take no file at all.
    if (n < 0 || static_cast<unsigned>(n) >= size) {
        if (size > 0)
            buf[0] = '\0';
    }
    return buf;
}

int lock_device(const char* path, int timeout_seconds, LockWait wait)
{
    char lock_path[kLockPathSize];
    lock_file_path(path, lock_path, sizeof lock_path);
    const time_t deadline = monotonic_seconds() + timeout_seconds;
    for (;;) {
        struct stat st;
        if (lock_path[0] && plat_stat(lock_path, &st) == 0) {
            int owner = 0;
            if (lock_file_owner(lock_path, &owner) && !process_alive(owner))
                plat_unlink(lock_path);
        }
        // Created, never opened: a link planted at the path is not followed.
        int fd = lock_path[0] ? plat_open_file(lock_path, O_WRONLY | O_CREAT | O_EXCL, 0644) : -1;
        if (fd >= 0) {
            char text[16];
            const int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
            const ssize_t n = write(fd, text, static_cast<std::size_t>(len));
            close(fd);
            // A file left empty by a failed write looks stale to the next pass.
            if (n == len)
                return 1;
        }
        // One try only when no wait was asked for, or when a stop request
        // has made the work this lock was for pointless.
        if (timeout_seconds <= 0 || (wait == LockWait::kUntilStop && plat_stop_seen()))
            return 0;
        sleep_ns(kLockPollNs);
        if (monotonic_seconds() > deadline)
            return 0;
    }
}

void unlock_device(const char* path)
{
    char lock_path[kLockPathSize];
    lock_file_path(path, lock_path, sizeof lock_path);
    if (lock_path[0])
        plat_unlink(lock_path);
}

int process_alive(int pid)
{
    if (pid <= 0)
        return 0;
    // A process of another user answers EPERM: it exists all the same.
    if (kill(pid, 0) == 0 || errno != ESRCH)
        return 1;
    return 0;
}

time_t monotonic_seconds()
{
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return -1;
    return ts.tv_sec;
}

int link_lock_path(ReceiverLink* link, const char* path, LockWait wait)
{
    link->device_path = path;
    if (!lock_device(path, kLinkLockSeconds, wait)) {
        log_msg(LOG_ERR, "device(%s) is locked", path);
        return -1;
    }
    return 0;
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
