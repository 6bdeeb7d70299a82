// SPDX-License-Identifier: BSD-2-Clause
// The operator's commands beside the service: usage, "status" and "check".
#include "core/commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/settings.h"
#include "outputs/mqtt.h"
#include "outputs/shell.h"
#include "platform/gpio.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/pidfile.h"

namespace {

// The whole exchange with the service, however slowly a peer answers.
constexpr int kStatusLimitMs = 5000;
// Well above the service's status report, which it cuts at 16 KiB.
constexpr std::size_t kReplySize = 65536;
// Nesting of the status report is three deep; anything far deeper is no
// report of ours.
constexpr int kJsonDepthMax = 16;

char g_reply[kReplySize];
// An escaped byte takes up to six characters.
char g_shown[kReplySize * 6];

// Copies a JSON text while checking it; C1 controls in strings are written as
// \u escapes. Reads p..end, writes out.
struct JsonCopy {
    const unsigned char* p;
    const unsigned char* end;
    char* out;
    std::size_t size;
    std::size_t len;
    bool room = true;

    int peek() const { return p < end ? *p : -1; }
    void put(char c)
    {
        if (len + 1 < size)
            out[len++] = c;
        else
            room = false;
    }
    bool take(char c)
    {
        if (peek() != static_cast<unsigned char>(c))
            return false;
        put(c);
        ++p;
        return true;
    }
    void blanks()
    {
        while (peek() == ' ' || peek() == '\t')
            put(static_cast<char>(*p++));
    }
    bool digits()
    {
        if (peek() < '0' || peek() > '9')
            return false;
        while (peek() >= '0' && peek() <= '9')
            put(static_cast<char>(*p++));
        return true;
    }
    bool number()
    {
        take('-');
        if (!take('0') && !digits())
            return false;
        if (take('.') && !digits())
            return false;
        if (take('e') || take('E')) {
            if (!take('+'))
                take('-');
            if (!digits())
                return false;
        }
        return true;
    }
    bool literal(const char* word)
    {
        for (; *word; ++word) {
            if (!take(*word))
                return false;
        }
        return true;
    }
    // One UTF-8 character of two to four bytes behind p, or false.
    bool utf8()
    {
        const unsigned lead = *p;
        const int extra = lead >= 0xC2 && lead <= 0xDF   ? 1
                          : lead >= 0xE0 && lead <= 0xEF ? 2
                          : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                         : -1;
        if (extra < 0 || end - p <= extra)
            return false;
        unsigned cp = lead & (0x3Fu >> extra);
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (p[i] & 0x3Fu);
        }
        constexpr unsigned kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp <= 0x9F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", cp);
            for (const char* e = esc; *e; ++e)
                put(*e);
        } else {
            for (int i = 0; i <= extra; ++i)
                put(static_cast<char>(p[i]));
        }
        p += extra + 1;
        return true;
    }
    bool string()
    {
        if (!take('"'))
            return false;
        for (;;) {
            const int c = peek();
            if (c < 0x20)
                return false;  // the end, or a raw control character
            if (c == '"')
                return take('"');
            if (c == '\\') {
                put(static_cast<char>(*p++));
                const int e = peek();
                if (e < 0 || !std::strchr("\"\\/bfnrtu", e))
                    return false;
                put(static_cast<char>(*p++));
                for (int i = 0; e == 'u' && i < 4; ++i) {
                    const int h = peek();
                    if (h < 0 || !std::strchr("0123456789abcdefABCDEF", h))
                        return false;
                    put(static_cast<char>(*p++));
                }
            } else if (c >= 0x80) {
                if (!utf8())
                    return false;
            } else {
                put(static_cast<char>(*p++));
            }
        }
    }
    bool value(int depth)
    {
        if (depth > kJsonDepthMax)
            return false;
        blanks();
        const int c = peek();
        bool ok;
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            take(static_cast<char>(c));
            blanks();
            ok = take(close);
            while (!ok) {
                if (c == '{') {
                    blanks();
                    if (!string())
                        return false;
                    blanks();
                    if (!take(':'))
                        return false;
                }
                if (!value(depth + 1))
                    return false;
                blanks();
                ok = take(close);
                if (!ok && !take(','))
                    return false;
            }
        } else if (c == '"') {
            ok = string();
        } else if (c == 't' || c == 'f' || c == 'n') {
            ok = literal(c == 't' ? "true" : c == 'f' ? "false" : "null");
        } else {
            ok = number();
        }
        blanks();
        return ok;
    }
};

// Why a running service has no control socket to answer on.
const char* why_no_status(int connect_error)
{
    // It listens once its module has been found: until then nothing does,
    // or an earlier run's socket file is still there.
    if (connect_error == ENOENT || connect_error == ECONNREFUSED)
        return "looking for its GPS module";
    return nullptr;
}

int answer_without_status(bool json, int pid, int connect_error)
{
    const char* why = why_no_status(connect_error);
    char reason[160];
    if (why)
        std::snprintf(reason, sizeof reason, "%s", why);
    else
        std::snprintf(reason, sizeof reason, "its control socket %s cannot be reached (%s)", kShellSocketPath,
                      std::strerror(connect_error));
    if (json) {
        std::printf("{\"pid\":%d,\"status\":null,\"reason\":\"%s\"}\n", pid, reason);
    } else if (pid > 0) {
        std::printf("gnssd is running (pid %d), no status yet: %s\n", pid, reason);
    } else {
        std::printf("gnssd is running, no status yet: %s\n", reason);
    }
    return 0;
}

}  // namespace

void command_usage(FILE* out)
{
    std::fprintf(out,
                 "usage: gnssd [-f|--foreground|install|uninstall|status [--json]|check|--help|--version]\n"
                 "  (none)     run the GNSS service until SIGTERM, SIGINT or SIGHUP\n"
                 "  -f, --foreground\n"
                 "             the same, with every log line also on standard error\n"
                 "  install    prepare the module for GNSS\n"
                 "  uninstall  undo the preparation\n"
                 "  status     ask the running service for a summary (--json: its report as sent)\n"
                 "  check      read the settings file, print its warnings and every value in force;\n"
                 "             exit status 1 for an unknown key or a value that is not a number\n"
                 "See the manual page gnssd(8).\n");
}

std::size_t command_terminal_text(const char* in, std::size_t len, char* out, std::size_t size)
{
    if (size == 0)
        return 0;
    JsonCopy c{reinterpret_cast<const unsigned char*>(in), reinterpret_cast<const unsigned char*>(in) + len, out, size,
               0};
    while (c.p < c.end && c.room) {
        const unsigned char b = *c.p;
        if (b == '\n' || b == '\t' || (b >= 0x20 && b < 0x7F)) {
            c.put(static_cast<char>(*c.p++));
        } else if (b < 0x80 || !c.utf8()) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", b);
            for (const char* e = esc; *e; ++e)
                c.put(*e);
            ++c.p;
        }
    }
    out[c.len] = '\0';
    return c.len;
}

std::size_t command_json_line(const char* in, std::size_t len, char* out, std::size_t size)
{
    if (size == 0)
        return 0;
    JsonCopy c{reinterpret_cast<const unsigned char*>(in), reinterpret_cast<const unsigned char*>(in) + len, out, size,
               0};
    const bool ok = c.peek() == '{' && c.value(0) && c.take('\n') && c.p == c.end && c.room;
    out[ok ? c.len : 0] = '\0';
    return ok ? c.len : 0;
}

int command_status(int argc, char** argv)
{
    const bool json = argc > 2 && std::strcmp(argv[2], "--json") == 0;
    if (argc > 3 || (argc > 2 && !json)) {
        command_usage(stderr);
        return 1;
    }
    const long n = shell_ask(kShellSocketPath, json ? "status\n" : "status text\n", g_reply, sizeof g_reply,
                             kStatusLimitMs);
    const int err = errno;
    if (n < 0 && err == ETIMEDOUT) {
        std::fprintf(stderr, "gnssd did not answer on %s within %d s\n", kShellSocketPath, kStatusLimitMs / 1000);
        return 1;
    }
    if (n < 0 && err == EMSGSIZE) {
        std::fprintf(stderr, "gnssd sent more than a status on %s\n", kShellSocketPath);
        return 1;
    }
    if (n < 0) {
        // No socket to answer on: the service may still be starting.
        int pid = 0;
        if (plat_pidfile_holder(kPidPath, &pid) == 1)
            return answer_without_status(json, pid, err);
        std::fprintf(stderr, "gnssd is not running: no service answers on %s (%s)\n", kShellSocketPath,
                     std::strerror(err));
        return 1;
    }
    if (n == 0) {
        std::fprintf(stderr, "gnssd did not answer on %s\n", kShellSocketPath);
        return 1;
    }
    // Whatever listens there, nothing it sends may drive the terminal.
    const auto len = static_cast<std::size_t>(n);
    const std::size_t shown = json ? command_json_line(g_reply, len, g_shown, sizeof g_shown)
                                   : command_terminal_text(g_reply, len, g_shown, sizeof g_shown);
    if (shown == 0) {
        std::fprintf(stderr, "gnssd sent no valid status on %s\n", kShellSocketPath);
        return 1;
    }
    std::fwrite(g_shown, 1, shown, stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int command_check()
{
    plat_log_stderr(LogStderr::only);
    static GpsSettings settings;
    SettingsFindings findings{};
    settings_load(&settings, &findings);
    settings_platform(&settings, gpio_platform_id());
    // The fleet feed refuses what would reach the broker changed; so does the check.
    MqttConfig mqtt;
    const char* mqtt_fault = nullptr;
    if (!mqtt_config(&settings.mqtt, settings.router_id, "gnssd", &mqtt, &mqtt_fault) && mqtt_fault)
        log_msg(LOG_WARNING, "settings: MQTT is enabled but has %s (MOD_GPS_MQTT_*), it stays off", mqtt_fault);
    std::fflush(stderr);
    settings_print(&settings, stdout);
    // A QoS the feed reads as 1 (warned by the settings reader) is no value an operator meant.
    const char* qos = settings.mqtt.qos ? settings.mqtt.qos : "";
    const bool bad_qos = qos[0] && std::strcmp(qos, "0") != 0 && std::strcmp(qos, "1") != 0;
    settings_free(&settings);
    return findings.unknown_keys > 0 || findings.bad_numbers > 0 || findings.unreadable || mqtt_fault || bad_qos ? 1
                                                                                                                 : 0;
}
