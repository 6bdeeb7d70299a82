// SPDX-License-Identifier: BSD-2-Clause
// Test support: temporary roots, child processes and waits.
#include "support/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace th {

TempDir::TempDir()
{
    char tmpl[] = "/tmp/gnssd-test-XXXXXX";
    char* p = mkdtemp(tmpl);
    path = p ? p : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (path != "/tmp")
        std::filesystem::remove_all(path, ec);
}

void make_root_dirs(const std::string& root)
{
    for (const char* d : {"dev", "proc/tty/driver", "run/lock", "run/gps", "run/ppp", "opt/gps/etc", "usr/bin", "bin"})
        std::filesystem::create_directories(root + "/" + d);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Closed on exec: a child that another thread starts meanwhile must not hold
// the file open for writing, or a program written here fails to start (ETXTBSY).
void write_file(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    for (std::size_t at = 0; fd >= 0 && at < text.size();) {
        const ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n <= 0)
            break;
        at += static_cast<std::size_t>(n);
    }
    if (fd >= 0)
        close(fd);
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout, std::chrono::milliseconds step)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(step);
    }
}

// True when path is an ELF program for the machine this test program was
// built for: under qemu-user (no binfmt_misc) such a program, like the test
// program itself, only runs through the emulator. Host tools (sh, socat,
// gpsd) are other machines' programs or scripts and start as they are.
static bool own_machine_elf(const std::string& path)
{
    unsigned char hdr[20] = {};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, hdr, sizeof hdr);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof hdr) || hdr[0] != 0x7f || std::memcmp(hdr + 1, "ELF", 3) != 0)
        return false;
    const unsigned machine = hdr[5] == 2 ? (hdr[18] << 8 | hdr[19]) : (hdr[19] << 8 | hdr[18]);
#if defined(__arm__)
    return machine == 40;  // EM_ARM
#elif defined(__aarch64__)
    return machine == 183;  // EM_AARCH64
#elif defined(__x86_64__)
    return machine == 62;  // EM_X86_64
#else
    return false;
#endif
}

// Words of the emulator that starts the project's programs ("qemu-arm -L
// /usr/..."); empty on a native build. GNSSD_TEST_EMULATOR overrides the built-in value.
static std::vector<std::string> emulator_words()
{
    const char* text = std::getenv("GNSSD_TEST_EMULATOR");
#ifdef GNSSD_TEST_EMULATOR_DEFAULT
    if (!text)
        text = GNSSD_TEST_EMULATOR_DEFAULT;
#endif
    std::vector<std::string> words;
    std::istringstream in(text ? text : "");
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

std::vector<std::string> program_argv(const std::string& path)
{
    std::string real = path;
    if (path == "/proc/self/exe") {
        // Under qemu-user this link names the emulated program, which is the
        // one to run again, not the emulator.
        char buf[4096];
        ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
        if (n > 0)
            real.assign(buf, static_cast<std::size_t>(n));
    }
    std::vector<std::string> argv;
    if (own_machine_elf(real))
        argv = emulator_words();
    argv.push_back(real);
    return argv;
}

// Under emulation the daemon's fleet process has to go through the emulator
// as well: a script beside the log that starts it so, for GNSSD_FLEET_BIN.
static std::string emulated_fleet(const std::string& log)
{
    const std::string fleet = std::filesystem::path(GNSSD_BIN).parent_path().string() + "/gnssd-fleet";
    std::string script = "#!/bin/sh\nexec";
    for (const std::string& w : emulator_words())
        script += " '" + w + "'";
    script += " '" + fleet + "' \"$@\"\n";
    const std::string path = log + ".fleet.sh";
    write_file(path, script);
    chmod(path.c_str(), 0755);
    return path;
}

void Process::start(const std::vector<std::string>& argv_in, const std::map<std::string, std::string>& env_in,
                    const std::string& log)
{
    log_path = log;
    std::map<std::string, std::string> env = env_in;
    // The daemon may also be started by another program (a shell, unshare)
    // that names it among its words, quoted.
    bool daemon = false;
    for (const std::string& word : argv_in)
        daemon = daemon || word == GNSSD_BIN || word.find("'" GNSSD_BIN "'") != std::string::npos;
    if (daemon && program_argv(GNSSD_BIN).size() > 1 && env.count("GNSSD_FLEET_BIN") == 0)
        env["GNSSD_FLEET_BIN"] = emulated_fleet(log);
    // Without binfmt_misc a cross-built program only runs through qemu-user;
    // qemu-user runs it in the same process, so pid and signals stay the
    // program's own.
    std::vector<std::string> argv;
    if (!argv_in.empty()) {
        argv = program_argv(argv_in[0]);
        argv.insert(argv.end(), argv_in.begin() + 1, argv_in.end());
    }
    pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) {
            dup2(devnull, 0);
            close(devnull);
        }
        for (auto& [k, v] : env)
            setenv(k.c_str(), v.c_str(), 1);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
}

bool Process::running()
{
    if (pid <= 0)
        return false;
    int st;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
        status = st;
        pid = -1;
        return false;
    }
    return true;
}

bool Process::wait_exit(std::chrono::milliseconds timeout)
{
    return wait_until([this] { return !running(); }, timeout);
}

bool Process::stop(int sig, std::chrono::milliseconds timeout)
{
    if (pid <= 0)
        return true;
    kill(pid, sig);
    return wait_exit(timeout);
}

std::string Process::log() const
{
    return read_file(log_path);
}

bool Process::wait_log(const std::string& text, std::chrono::milliseconds timeout) const
{
    return wait_until([&] { return log().find(text) != std::string::npos; }, timeout);
}

static int count_dir(const std::string& dir)
{
    int n = 0;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return -1;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

int Process::fd_count() const
{
    return count_dir("/proc/" + std::to_string(pid) + "/fd");
}

int Process::thread_count() const
{
    return count_dir("/proc/" + std::to_string(pid) + "/task");
}

Process::~Process()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        int st;
        waitpid(pid, &st, 0);
    }
}

std::string daemon_bin()
{
    return GNSSD_BIN;
}

std::string sim_bin()
{
    return GNSSD_SIM_BIN;
}

std::string data_path(const std::string& name)
{
    return std::string(GNSSD_TEST_DATA) + "/" + name;
}

int count_of(const std::string& hay, const std::string& text)
{
    int n = 0;
    for (std::size_t p = hay.find(text); p != std::string::npos; p = hay.find(text, p + text.size()))
        ++n;
    return n;
}

int free_port(int type)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

}  // namespace th
