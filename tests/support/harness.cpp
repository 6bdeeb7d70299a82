// Test support: temporary roots, child processes and waits.
#include "support/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void Process::start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    const std::string& log)
{
    log_path = log;
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

} // namespace th
