// SPDX-License-Identifier: BSD-2-Clause
// AT!GPS family: antenna input selection through the router's tools, tracking start and stop.
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "drivers/at_common.h"
#include "drivers/families.h"
#include "platform/clock.h"
#include "platform/gpio.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/stop.h"
#include "platform/run.h"
#include "receiver/at.h"
#include "receiver/link.h"
#include "receiver/lock.h"
#include "receiver/serial.h"

namespace {

constexpr const char* kControlPort = "/dev/ttyUSB8";
constexpr const char* kDataPort = "/dev/ttyUSB7";
constexpr int kLockSeconds = 5;
// The module re-enumerates slowly after power-up: its control port may need
// several tries before it can be held and opened.
constexpr int kControlAttempts = 10;
constexpr unsigned kControlPauseSeconds = 10;
// Bit of MOD_GPS_ANT_INPUT that asks for the dedicated GPS connector.
constexpr uint32_t kAntennaGpsBit = 2;
// gsmat answers within a few seconds; one that hangs (a module gone from the
// bus) is killed rather than holding up the service for good.
constexpr int kGsmatLimitMs = 30000;
// A gsmat reply is a handful of lines; the AT reply buffer's size is plenty,
// and a reply that goes on beyond it is only searched as far as that.
constexpr std::size_t kGsmatReplySize = 8192;

// The AT command is one argument, exactly as gsmat takes it: the double
// quotes are part of the command the module sees.
constexpr const char* kGpsselQuery[] = {"gsmat", "AT!CUSTOM?", nullptr};
constexpr const char* kEnterCommandMode[] = {"gsmat", "AT!ENTERCND=\"K953\"", nullptr};
constexpr const char* kGpsselSet[] = {"gsmat", "AT!CUSTOM=\"GPSSEL\",1", nullptr};
constexpr const char* kGpsselClear[] = {"gsmat", "AT!CUSTOM=\"GPSSEL\",0", nullptr};

// The router tools run as the operator would see them from a shell: with the
// service's own standard streams, and exit code 127 when the tool cannot be
// executed. Each leads a process group of its own, so that a kill takes the
// children it started along.
constexpr ProcStart kToolStart = {.inherit_stdio = true, .own_group = true, .exec_failed = kProcExecFailedShell};
// gsmat only asks the module: a stop request ends it at once.
constexpr ProcStart kQueryStart = {.inherit_stdio = true,
                                   .own_group = true,
                                   .exec_failed = kProcExecFailedShell,
                                   .stop_ends = true};
// A restart tool that hangs is killed after this long: the restart goes on
// with its next step, so that a stop or an install still ends.
constexpr int kRestartToolLimitMs = 60000;
// "gsmpwr on" is tried again this often, this far apart, before the restart
// goes on without it: a modem left off takes the router's WAN with it.
constexpr int kPowerOnRetries = 3;
constexpr int kPowerOnRetryMs = 3000;

// Result of one tool call: the raw wait status for messages and the status
// the decisions look at (for a search: 0 found, 1 not found).
struct ToolResult {
    int raw;
    int status;  // exit code after a normal exit, -1 for anything else
};

ToolResult tool_result(int raw)
{
    return {raw, raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1};
}

ToolResult run_tool(const char* const* argv)
{
    // Anything buffered for standard output must not be duplicated into or
    // reordered around the tool's own output.
    std::fflush(stdout);
    int raw = -1;
    ProcStart how = kToolStart;
    how.stop_ends = true;
    const int ran = proc_run(argv, how, kGsmatLimitMs, nullptr, &raw);
    if (ran == 1)
        log_msg(LOG_ERR, "%s still running after %d s, killed", argv[0], kGsmatLimitMs / 1000);
    return ran < 0 ? ToolResult{-1, -1} : tool_result(raw);
}

// The status of a search whose gsmat a stop request ended: no answer, and
// nothing to report.
constexpr int kStopped = -2;

// Runs gsmat and looks for `pattern` in what it prints: found (0) when some
// line of the reply contains it, not found (1) otherwise, and each matching
// line is passed on to `echo`. gsmat's own exit code does not decide, the
// reply does; a gsmat that could not be executed, was killed or overran its
// time is a failure, with its wait status as the raw value.
ToolResult search_reply(const char* const* argv, std::string_view pattern, FILE* echo,
                        const ProcStart& how = kQueryStart)
{
    char text[kGsmatReplySize];
    ProcOutput reply{.text = text, .size = sizeof text};
    int raw = -1;
    std::fflush(stdout);
    if (how.stop_ends && plat_stop_seen())
        return {-1, kStopped};
    const int ran = proc_run(argv, how, kGsmatLimitMs, &reply, &raw);
    if (ran == 1)
        log_msg(LOG_ERR, "%s still running after %d s, killed", argv[0], kGsmatLimitMs / 1000);
    if (ran == 2)
        return {raw, kStopped};
    if (ran != 0)
        return {raw, -1};
    const ToolResult ended = tool_result(raw);
    if (ended.status < 0 || ended.status == kProcExecFailedShell)
        return {raw, -1};
    std::string_view rest(text, reply.length);
    bool found = false;
    while (!rest.empty()) {
        const std::size_t eol = rest.find('\n');
        const std::string_view line = rest.substr(0, eol);
        if (line.find(pattern) != std::string_view::npos) {
            found = true;
            std::fwrite(line.data(), 1, line.size(), echo);
            std::fputc('\n', echo);
        }
        rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
    }
    std::fflush(echo);
    return found ? ToolResult{0, 0} : ToolResult{1 << 8, 1};
}

// 1 when the module names itself `model`, 0 otherwise (also after a failure).
int model_probe(const char* model)
{
    static constexpr const char* kIdentify[] = {"gsmat", "ATI", nullptr};
    ToolResult r = search_reply(kIdentify, model, stdout);
    if (r.status == 0)
        return 1;
    if (r.status != 1 && r.status != kStopped)
        log_msg(LOG_ERR, "module type detection failed (%i)", r.raw);
    return 0;
}

ToolResult gpssel_query(FILE* echo = stdout)
{
    return search_reply(kGpsselQuery, "GPSSEL", echo);
}

// Once a change of the setting has been sent, whether it took decides on the
// restart: that query runs to its end (or its limit) whatever stop comes.
ToolResult gpssel_verify()
{
    return search_reply(kGpsselQuery, "GPSSEL", stdout, kToolStart);
}

// The GPSSEL setting may only be changed in the module's hidden command mode.
bool enter_command_mode()
{
    ToolResult r = search_reply(kEnterCommandMode, "OK", stdout);
    if (r.status == kStopped)
        return false;
    if (r.status != 0)
        log_msg(LOG_ERR, "ENTERCND set failed (%i)", r.raw);
    (void)clock_pause_ms(1000, false);
    return r.status == 0;
}

// One step of the module restart; its result, and a failure logged with the
// tool's command words. It runs in a process group of its own: a Ctrl-C or a
// terminal hang-up signals the whole foreground group, and a tool killed
// between power off and power on leaves the router offline. Our own stop
// handler only notes the request; the restart goes on, and only a tool that
// overruns its limit is killed.
ToolResult run_restart_tool(const char* const* argv, bool log_failure = true)
{
    std::fflush(stdout);
    int raw = -1;
    const int ran = proc_run(argv, kToolStart, kRestartToolLimitMs, nullptr, &raw);
    char words[32];
    std::snprintf(words, sizeof words, "%s %s%s%s", argv[0], argv[1], argv[2] ? " " : "", argv[2] ? argv[2] : "");
    if (ran == 1)
        log_msg(LOG_ERR, "%s still running after %d s, killed", words, kRestartToolLimitMs / 1000);
    const ToolResult r = ran < 0 ? ToolResult{-1, -1} : tool_result(raw);
    if (r.status != 0 && log_failure)
        log_msg(LOG_ERR, "%s failed (%i)", words, r.raw);
    return r;
}

// The new antenna input takes effect only after a power cycle, and the PPP
// service must not hold the module while it is off. Once begun it always
// runs to its end, whatever stop request comes meanwhile.
void module_restart()
{
    static constexpr const char* kPppStop[] = {"service", "ppp", "stop", nullptr};
    static constexpr const char* kPowerOff[] = {"gsmpwr", "off", nullptr};
    static constexpr const char* kPowerOn[] = {"gsmpwr", "on", nullptr};
    static constexpr const char* kPppStart[] = {"service", "ppp", "start", nullptr};
    (void)run_restart_tool(kPppStop);
    (void)run_restart_tool(kPowerOff);
    (void)clock_pause_ms(1000, false);
    for (int retry = 0;; ++retry) {
        const ToolResult on = run_restart_tool(kPowerOn, false);
        if (on.status == 0)
            break;
        if (retry == kPowerOnRetries) {
            log_msg(LOG_ERR, "gsmpwr on failed (%i) %d times, the modem may stay off", on.raw, retry + 1);
            break;
        }
        log_msg(LOG_WARNING, "gsmpwr on failed (%i), trying again in %d s", on.raw, kPowerOnRetryMs / 1000);
        (void)clock_pause_ms(kPowerOnRetryMs, false);
    }
    (void)run_restart_tool(kPppStart);
}

// Switches the receiver to the AUX connector (GPSSEL set).
void select_aux()
{
    ToolResult r = gpssel_query();
    if (r.status == kStopped)
        return;
    if (r.status == 0) {
        log_msg(LOG_INFO, "already installed, proceeding");
        return;
    }
    if (r.status != 1) {
        log_msg(LOG_ERR, "GPSSEL test failed (%i)", r.raw);
        return;
    }
    // After a stop request nothing is changed: a changed setting needs the restart.
    if (plat_stop_seen() || !enter_command_mode())
        return;
    run_tool(kGpsselSet);
    r = gpssel_verify();
    if (r.status != 0) {
        // The MC8705 does not keep the setting; that is no fault of the router.
        if (!model_probe("MC8705"))
            log_msg(LOG_ERR, "GPSSEL set failed (%i)", r.raw);
        return;
    }
    module_restart();
}

// Switches the receiver back to the dedicated GPS connector (GPSSEL removed).
void select_gps()
{
    ToolResult r = gpssel_query();
    if (r.status == 1 || r.status == kStopped)
        return;
    if (r.status != 0) {
        log_msg(LOG_ERR, "GPSSEL test failed (%i)", r.raw);
        return;
    }
    if (plat_stop_seen() || !enter_command_mode())
        return;
    run_tool(kGpsselClear);
    r = gpssel_verify();
    if (r.status == 1) {
        module_restart();
        return;
    }
    if (!model_probe("MC8705"))
        log_msg(LOG_ERR, "GPSSEL set failed (%i)", r.raw);
}

// Brings GPSSEL to the wanted input. 0: it already is, continue the open.
// -1: it was changed (the module restarts) or could not be read.
int antenna_switch(bool want_gps)
{
    ToolResult r = gpssel_query();
    if (r.status == kStopped)
        return -1;
    if (r.status != 0 && r.status != 1) {
        log_msg(LOG_ERR, "GPSSEL test failed (%i)", r.raw);
        return -1;
    }
    const bool gps_now = r.status == 1;
    const char* input = want_gps ? "GPS" : "AUX";
    if (gps_now == want_gps) {
        log_msg(LOG_NOTICE, "using internal antenna input %s", input);
        return 0;
    }
    log_msg(LOG_NOTICE, "switching internal antenna input to %s", input);
    if (want_gps)
        select_gps();
    else
        select_aux();
    (void)plat_pause(5, "the module to restart");
    return -1;
}

// Firmware text kept for the "bad FW version" message.
constexpr std::size_t kFirmwareTextSize = 64;

void pause_seconds(unsigned seconds)
{
    (void)plat_pause(seconds, "the module's control port");
}

}  // namespace

// Which connector feeds the receiver depends on the model and the board:
// 0 = continue the open, -1 = not now.
int atgps_antenna_check(const ReceiverLink* link)
{
    // All four probes run, in this order, whatever the earlier ones found;
    // after a stop request none is started and the open ends.
    const bool mc7304 = model_probe("MC7304");
    const bool mc7700 = model_probe("MC7700");
    const bool mc7750 = model_probe("MC7750");
    const bool mc7710 = model_probe("MC7710");
    if (plat_stop_seen())
        return -1;
    if (!mc7304 && !mc7700 && !mc7750 && !mc7710)
        return 0;
    // Boards 2 and 10, and the MC7304, MC7700 and MC7750 wherever they sit,
    // take GNSS from the GPS connector; only an MC7710 elsewhere may use AUX.
    if (gpio_board_code() == 2 || gpio_board_code() == 10 || mc7304 || mc7700 || mc7750)
        return antenna_switch(true);
    return antenna_switch((link->antenna_input & kAntennaGpsBit) != 0);
}

int atgps_open_control(ReceiverLink* link, int attempts, void (*pause)(unsigned seconds))
{
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        link->device_path = kControlPort;
        bool held = false;
        if (!lock_device(link->device_path, kLockSeconds)) {
            log_msg(LOG_ERR, "device(%s) is locked", link->device_path);
        } else {
            link->fd = serial_open(link->device_path, 115200, 8, "N", 1);
            if (link->fd >= 0)
                held = true;
            else
                unlock_device(link->device_path);
        }
        if (held) {
            // A port that needed more than one try belongs to a module still
            // starting up: give it time before talking to it.
            if (attempt > 1)
                pause(kControlPauseSeconds);
            return 0;
        }
        if (attempt == attempts)
            break;
        pause(kControlPauseSeconds);
        if (plat_stop_seen())
            break;
    }
    link->fd = -1;
    return -1;
}

int atgps_firmware_check(const char* reply, char* text, std::size_t size)
{
    if (size == 0)
        return 0;
    std::snprintf(text, size, "%s", "unknown");
    if (!std::strstr(reply, "Model: "))
        return 0;
    if (!std::strstr(reply, "MC8705"))
        return 1;
    const char* rev = std::strstr(reply, "Revision: ");
    if (!rev)
        return 0;
    rev += std::strlen("Revision: ");
    // The first character is taken whatever it is; the text then runs to the
    // end of its word or line, cut to the buffer.
    std::size_t len = 0;
    if (*rev != '\0' && len + 1 < size)
        text[len++] = rev[0];
    if (*rev != '\0') {
        for (const char* p = rev + 1; *p && *p != '\r' && *p != '\n' && *p != ' ' && len + 1 < size; ++p)
            text[len++] = *p;
    }
    text[len] = '\0';
    // Releases whose second character is '2' or lower cannot track.
    const unsigned char second = len >= 2 ? static_cast<unsigned char>(text[1]) : 0;
    return second > static_cast<unsigned char>('2') ? 1 : 0;
}

void atgps_install(const ModuleDriver*)
{
    select_aux();
}

void atgps_uninstall(const ModuleDriver*)
{
    select_gps();
}

int atgps_open(ReceiverLink* link)
{
    link->fd = -1;
    if (!plat_pause(10, "the module to settle"))
        return -1;
    if (atgps_antenna_check(link) != 0)
        return -1;

    if (atgps_open_control(link, kControlAttempts, pause_seconds) != 0)
        return -1;

    const char* reply = at_command(link->fd, "ATI\r", 1);
    char firmware[kFirmwareTextSize];
    if (!atgps_firmware_check(reply, firmware, sizeof firmware)) {
        log_msg(LOG_ERR, "bad FW version (%s)", firmware);
        at_release(link);
        return -1;
    }

    at_command(link->fd, "AT!GPSEND=0\r", 1);
    if (!plat_pause(2)) {
        // Stopped with the engine ended: nothing left to stop.
        at_release(link);
        return -1;
    }
    reply = at_command(link->fd, "AT!GPSTRACK=1,120,50,1000,1\r", 1);
    const bool tracking = std::strstr(reply, "OK\r\n") != nullptr;
    // The reply text lives in the per-thread buffer until the next exchange;
    // releasing the port exchanges nothing, so it is still valid below.
    at_release(link);
    if (!tracking) {
        log_msg(LOG_ERR, "cannot start GPS tracking (\"%s\")", reply);
        return -1;
    }

    if (at_open_data_port(link, kDataPort) != 0)
        return -1;
    return at_text_start(link);
}

void atgps_close(ReceiverLink* link)
{
    at_text_stop(link);
}

int atgps_notice(const void*)
{
    // Standard output carries the warning's HTML: the query's matching line
    // goes to standard error instead.
    ToolResult r = gpssel_query(stderr);
    if (r.status != 0)
        return r.status;
    return at_print_diversity_notice();
}

const ModuleOps kAtgpsOps = {.install = atgps_install,
                             .uninstall = atgps_uninstall,
                             .open = atgps_open,
                             .close = atgps_close,
                             .name = "AT!GPS"};
