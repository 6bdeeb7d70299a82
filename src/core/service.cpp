// SPDX-License-Identifier: BSD-2-Clause
// Service lifecycle: command dispatch, start-up, main loop, link reopening and shutdown.
#include "core/service.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "core/settings.h"
#include "platform/worker.h"
#include "nmea/nmea.h"
#include "nmea/timesync.h"
#include "outputs/local.h"
#include "outputs/mqtt.h"
#include "outputs/rsock.h"
#include "outputs/shell.h"
#include "outputs/status.h"
#include "outputs/snmp.h"
#include "platform/platform.h"
#include "receiver/link.h"

volatile sig_atomic_t running = 0;

namespace {

#ifdef GNSSD_VERSION
constexpr const char* kVersion = GNSSD_VERSION;
#else
constexpr const char* kVersion = "unknown";
#endif

// The identification sentence: "$GPFID," + router id + "\r\n" in 1024 bytes.
constexpr std::size_t kFidSize = 1024;
constexpr std::size_t kRouterIdMax = 1014;

constexpr int kSerialOutputs = 3;
constexpr int kLocalOutputs = 4;
constexpr int kPtyOutput = 3;
// Four remote streams, then the gpsd feed.
constexpr int kSockets = kRemoteSocketCount + 1;
// The sentences of one read, each followed by the identification sentence
// when it is an RMC: at most one per 4 bytes of a receive buffer
// ("$*\r\n"), and one identification per 9 ("$GPRMC*\r\n").
constexpr int kBatchMax = kRxBufferSize / 4 + kRxBufferSize / 9 + 1;

// While the receiver is ahead of the service (every read fills the buffer and
// more is waiting: a replay, a flood) the status files are brought up to date
// at most this often; they always are before the service waits for the
// receiver, so at the real pace every receiver cycle is written as it ends.
constexpr long long kFilesAheadMs = 1;

// One service per router: the lock on this file says which process it is.
constexpr const char* kPidPath = "/run/gnssd.pid";

// SIGTERM, SIGINT and SIGHUP all stop the service the same way.
void on_stop_signal(int)
{
    running = 0;
    plat_stop_note();
}

// Without SA_RESTART so that a wait of the main thread (an open, a read, a
// pause) ends at once instead of resuming.
void install_stop_handlers()
{
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    static constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
    for (int sig : kStopSignals)
        sigaction(sig, &sa, nullptr);
}

// The sentences of one read, in the order they are handed on. They stay in
// place in the link's receive buffer until every output has taken them.
struct Batch {
    struct iovec line[kBatchMax];  // each sentence, or the identification sentence behind an RMC
    uint8_t moving[kBatchMax];     // the moving flag after that sentence
    uint8_t is_fid[kBatchMax];
    int count;
    std::size_t bytes;
};

// Everything the main loop owns from start-up to shutdown.
struct Service {
    GpsSettings settings;
    char fid[kFidSize];
    std::size_t fid_len;
    SerialOutput outputs[kLocalOutputs];
    bool pty_exists;
    RemoteSocket* sockets[kSockets];
    MqttOutput* mqtt;
    SnmpReporter* reporter;
    ControlShell* shell;
    ShellCommand commands[3];
    StatusSources status;
    ReceiverStats receiver;
    ReceiverLink* link;
    ReceiverState state;  // what the current link's sentences said
    Batch batch;
    long long files_at_ms;  // when the status files were last brought up to date
    long long started_ms;   // for the uptime the status report gives
};

// --- the outputs: one ordered table ----------------------------------------
// Opened and written forwards. At shutdown the remote streams and the gpsd
// feed close first, then the serial ports with their locks, the
// pseudo-terminal and "/dev/nmea" last: a script that waits for "/dev/nmea"
// to go knows that every output has gone. A new output is one row.
struct OutputRow {
    void (*open)(Service* s, int index);
    void (*write)(Service* s, int index, const Batch& b);
    void (*close)(Service* s, int index);
    int index;
    int close_stage;  // rows close stage by stage, in table order within one
};

constexpr int kCloseStreams = 0;
constexpr int kCloseLocal = 1;
constexpr int kCloseStages = 2;

constexpr const char* kSerialPaths[kSerialOutputs] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"};

void serial_row_open(Service* s, int i)
{
    // Opened only when the first batch is written to them.
    const uint32_t enabled[kSerialOutputs] = {s->settings.ep1_enabled, s->settings.ep2_enabled,
                                              s->settings.usbp_enabled};
    s->outputs[i] = SerialOutput{enabled[i], kSerialPaths[i], Fd{}};
}

void local_row_write(Service* s, int i, const Batch& b)
{
    output_writev(&s->outputs[i], b.line, b.count, b.bytes);
}

void serial_row_close(Service* s, int i)
{
    output_close(&s->outputs[i]);
}

void pty_row_open(Service* s, int)
{
    // Set up whether or not it is enabled: the setting only decides whether it is written.
    s->pty_exists = pty_open(&s->outputs[kPtyOutput], s->settings.pty_enabled) == 0;
}

void pty_row_close(Service* s, int)
{
    if (s->pty_exists)
        pty_close(&s->outputs[kPtyOutput]);
    s->pty_exists = false;
}

// A stream whose settings cannot work stays off (settings_load said why).
void rsock_row_open(Service* s, int i)
{
    const RemoteSocketSettings* r = &s->settings.rsock[i];
    s->sockets[i] = settings_stream_fault(r) ? nullptr : rsock_open(r);
}

// The remote streams copy each sentence; the identification sentence goes with the others.
void rsock_row_write(Service* s, int i, const Batch& b)
{
    for (int k = 0; k < b.count; ++k)
        rsock_write(s->sockets[i], static_cast<const char*>(b.line[k].iov_base), b.line[k].iov_len, b.moving[k]);
}

void socket_row_close(Service* s, int i)
{
    rsock_close(s->sockets[i]);
    s->sockets[i] = nullptr;
}

void gpsd_row_open(Service* s, int i)
{
    const RemoteSocketSettings* r = &s->settings.gpsd;
    s->sockets[i] = settings_stream_fault(r) ? nullptr : rsock_open(r);
}

// The gpsd feed never carries the identification sentence and always counts as moving.
void gpsd_row_write(Service* s, int i, const Batch& b)
{
    for (int k = 0; k < b.count; ++k) {
        if (!b.is_fid[k])
            rsock_write(s->sockets[i], static_cast<const char*>(b.line[k].iov_base), b.line[k].iov_len, 1);
    }
}

// The fleet feed takes each read with the report it left; its own thread
// frames the reads into cycles.
void mqtt_row_open(Service* s, int)
{
    s->mqtt = mqtt_open(&s->settings.mqtt, s->settings.router_id, &s->receiver, kVersion);
}

void mqtt_row_write(Service* s, int, const Batch& b)
{
    mqtt_write(s->mqtt, b.line, b.count, &s->state.report, static_cast<int>(s->state.moving));
}

void mqtt_row_close(Service* s, int)
{
    mqtt_close(s->mqtt);
    s->mqtt = nullptr;
}

constexpr OutputRow kOutputTable[] = {
    {serial_row_open, local_row_write, serial_row_close, 0, kCloseLocal},  // ttyS0
    {serial_row_open, local_row_write, serial_row_close, 1, kCloseLocal},  // ttyS1
    {serial_row_open, local_row_write, serial_row_close, 2, kCloseLocal},  // ttyUSB0
    {pty_row_open, local_row_write, pty_row_close, kPtyOutput, kCloseLocal},
    {rsock_row_open, rsock_row_write, socket_row_close, 0, kCloseStreams},  // RSOCK1 .. RSOCK4
    {rsock_row_open, rsock_row_write, socket_row_close, 1, kCloseStreams},
    {rsock_row_open, rsock_row_write, socket_row_close, 2, kCloseStreams},
    {rsock_row_open, rsock_row_write, socket_row_close, 3, kCloseStreams},
    {gpsd_row_open, gpsd_row_write, socket_row_close, kRemoteSocketCount, kCloseStreams},
    {mqtt_row_open, mqtt_row_write, mqtt_row_close, 0, kCloseStreams},
};

void build_fid(Service* s)
{
    const char* id = s->settings.router_id != nullptr ? s->settings.router_id : "";
    std::size_t id_len = strnlen(id, kRouterIdMax);
    char* p = s->fid;
    std::memcpy(p, "$GPFID,", 7);
    p += 7;
    std::memcpy(p, id, id_len);
    p += id_len;
    std::memcpy(p, "\r\n", 3);  // with the terminating NUL: 7 + 1014 + 3 = 1024
    s->fid_len = 7 + id_len + 2;
}

// Opens a link, retrying with a 1-second pause for as long as the service
// runs; nullptr once SIGTERM has been seen.
ReceiverLink* open_link_retrying(const GpsSettings& st)
{
    for (;;) {
        // After a stop request no new link is opened.
        if (!running)
            return nullptr;
        ReceiverLink* link = link_open(st.antenna_input, st.antenna_active, st.date_fix_enabled, st.reset_enabled,
                                       st.reset_timeout);
        if (link != nullptr)
            return link;
        if (!running)
            return nullptr;
        if (!plat_pause(1) || !running)
            return nullptr;
    }
}

// A fresh link starts with an empty report.
void use_link(Service* s, ReceiverLink* link)
{
    s->link = link;
    nmea_state_open(&s->state, link);
    receiver_stats_link(&s->receiver, link);
}

void batch_add(Batch* b, const char* data, std::size_t n, uint32_t moving, bool is_fid)
{
    if (b->count >= kBatchMax)
        return;  // cannot happen: the bound counts the shortest possible sentences
    b->line[b->count] = iovec{const_cast<char*>(data), n};
    b->moving[b->count] = moving ? 1 : 0;
    b->is_fid[b->count] = is_fid ? 1 : 0;
    ++b->count;
    b->bytes += n;
}

// Takes every whole sentence of the last read through interpretation, into
// the batch and to the SNMP reporter and time sync, then hands the batch to
// every output and brings the status files up to date.
void handle_read(Service* s)
{
    Batch& b = s->batch;
    b.count = 0;
    b.bytes = 0;
    ReceiverLink* const link = s->link;
    int n;
    while ((n = nmea_next(link)) > 0) {
        const char* const sentence = nmea_sentence(link);
        if (!nmea_interpret(&s->state, link)) {
            nmea_consume(link);
            continue;
        }
        const auto len = static_cast<std::size_t>(n);
        batch_add(&b, sentence, len, s->state.moving, false);
        receiver_stats_sentence(&s->receiver, sentence, len, &s->state.report);
        if (s->settings.sri_enabled && nmea_fid_follows(&s->state, sentence, len))
            batch_add(&b, s->fid, s->fid_len, s->state.moving, true);
        nmea_consume(link);
        snmp_update(s->reporter, &s->state.report, static_cast<int>(s->state.moving));
        timesync_exec(&s->settings.timesync, &s->state.report);
    }
    if (b.count > 0) {
        for (const OutputRow& row : kOutputTable)
            row.write(s, row.index, b);
    }
    if (!s->state.files_due)
        return;
    // A rewrite costs more than the sentences of a read: while the receiver
    // is ahead, the reads that follow at once are written together.
    const long long now = monotonic_ms();
    if (link->rx_more && now - s->files_at_ms < kFilesAheadMs)
        return;
    nmea_files_update(&s->state);
    s->files_at_ms = now;
}

void main_loop(Service* s)
{
    // Set by a reopen until the first sentence: the operator who saw "no data
    // from GPS" learns when it is over.
    bool reopened = false;
    while (running) {
        if (s->link == nullptr)
            break;
        if (location_watchdog(&s->state, s->link) == 0 && nmea_read(s->link) == 0) {
            handle_read(s);
            if (reopened && s->batch.count > 0) {
                log_msg(LOG_NOTICE, "data from GPS again");
                reopened = false;
            }
            continue;
        }
        if (!running)
            break;
        log_msg(LOG_WARNING, "no data from GPS");
        link_close(s->link);
        s->link = nullptr;
        // The status and location files stay: pages and scripts read them
        // during the reopen, and the last known position is what the location
        // file is for. The status file's time tells a reader how old it is.
        (void)plat_pause(1);
        use_link(s, open_link_retrying(s->settings));
        reopened = true;
    }
}

void start_up(Service* s)
{
    log_msg(LOG_NOTICE, "started");
    s->started_ms = monotonic_ms();
    nmea_files_remove();
    settings_load(&s->settings);
    settings_platform(&s->settings, gpio_platform_id());
    if (s->settings.sri_enabled)
        build_fid(s);

    running = 1;
    install_stop_handlers();

    s->reporter = snmp_open(&s->settings.snmp);
    module_install();
    use_link(s, open_link_retrying(s->settings));

    for (const OutputRow& row : kOutputTable)
        row.open(s, row.index);

    s->commands[0] = ShellCommand{"snmp", snmp_walk, s->reporter};
    s->status = StatusSources{{&s->settings.rsock[0], &s->settings.rsock[1], &s->settings.rsock[2],
                               &s->settings.rsock[3], &s->settings.gpsd},
                              s->sockets,
                              &s->receiver,
                              kVersion,
                              s->started_ms,
                              &s->settings.mqtt,
                              s->mqtt};
    s->commands[1] = ShellCommand{"status", shell_status, &s->status};
    s->commands[2] = ShellCommand{nullptr, nullptr, nullptr};
    s->shell = shell_open(kShellSocketPath, s->commands);

    if (running)
        log_msg(LOG_NOTICE, "running...");
}

void shut_down(Service* s)
{
    shell_close(s->shell);
    s->shell = nullptr;
    for (int stage = 0; stage < kCloseStages; ++stage) {
        for (const OutputRow& row : kOutputTable) {
            if (row.close_stage == stage)
                row.close(s, row.index);
        }
    }
    link_close(s->link);
    s->link = nullptr;
    nmea_files_remove();
    snmp_close(s->reporter);
    s->reporter = nullptr;
    log_msg(LOG_NOTICE, "stopped");
}

int run_service()
{
    // A second copy would replace the first one's "/dev/nmea" and control
    // socket: it gives up before it touches anything.
    int holder = 0;
    const int pid_fd = plat_pidfile_lock(kPidPath, &holder);
    if (pid_fd < 0 && (errno == EWOULDBLOCK || holder > 0)) {
        if (holder > 0)
            log_msg(LOG_ERR, "already running (pid %d)", holder);
        else
            log_msg(LOG_ERR, "already running");
        return 1;
    }
    // A pid file that cannot be made (a read-only /run) must not keep the
    // router without its service: it runs unguarded, and says so.
    if (pid_fd < 0)
        log_msg(LOG_WARNING, "cannot lock %s: %s", kPidPath, std::strerror(errno));
    // Lives for the whole process; static so that the large record never sits
    // on the stack and starts zero-filled.
    static Service service;
    start_up(&service);
    main_loop(&service);
    shut_down(&service);
    plat_pidfile_remove(kPidPath, pid_fd);
    return 0;
}

void run_uninstall()
{
    log_msg(LOG_NOTICE, "module uninstall");
    const ModuleDriver* row = driver_find();
    if (row != nullptr && row->ops->uninstall != nullptr)
        row->ops->uninstall(row);
}

void print_usage(FILE* out)
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

// 0 when the service answered, 1 when none runs (or it does not answer).
int run_status(int argc, char** argv)
{
    const bool json = argc > 2 && std::strcmp(argv[2], "--json") == 0;
    if (argc > 3 || (argc > 2 && !json)) {
        print_usage(stderr);
        return 1;
    }
    std::fflush(stdout);
    const long n = shell_ask(kShellSocketPath, json ? "status\n" : "status text\n", STDOUT_FILENO);
    if (n < 0) {
        std::fprintf(stderr, "gnssd is not running: no service answers on %s (%s)\n", kShellSocketPath,
                     std::strerror(errno));
        return 1;
    }
    if (n == 0) {
        std::fprintf(stderr, "gnssd did not answer on %s\n", kShellSocketPath);
        return 1;
    }
    return 0;
}

// What the service would make of its settings file, without starting it.
int run_check()
{
    plat_log_stderr(LogStderr::only);
    static GpsSettings settings;
    SettingsFindings findings{};
    settings_load(&settings, &findings);
    settings_platform(&settings, gpio_platform_id());
    std::fflush(stderr);
    settings_print(&settings, stdout);
    settings_free(&settings);
    return findings.unknown_keys > 0 || findings.bad_numbers > 0 || findings.unreadable ? 1 : 0;
}

}  // namespace

int service_main(int argc, char** argv)
{
    const char* arg = argc > 1 ? argv[1] : nullptr;
    // Answered before anything of the router is touched.
    if (arg != nullptr && std::strcmp(arg, "--help") == 0) {
        print_usage(stdout);
        return 0;
    }
    if (arg != nullptr && std::strcmp(arg, "--version") == 0) {
        std::printf("gnssd %s\n", kVersion);
        return 0;
    }
    // The operator's tools: they ask or read, and leave the router's log alone.
    if (arg != nullptr && std::strcmp(arg, "status") == 0)
        return run_status(argc, argv);
    if (arg != nullptr && std::strcmp(arg, "check") == 0)
        return run_check();
    const bool foreground = arg != nullptr && (std::strcmp(arg, "-f") == 0 || std::strcmp(arg, "--foreground") == 0);
    if (foreground)
        plat_log_stderr(LogStderr::mirror);
    (void)setsid();
    plat_openlog();
    int status = 0;
    if (arg == nullptr || foreground) {
        status = run_service();
    } else if (std::strncmp(arg, "install", 7) == 0) {
        // A stop (Ctrl-C, a dropped session) must not kill a module restart
        // halfway, with the modem off and PPP down: the step sees the request
        // and finishes what it has begun.
        install_stop_handlers();
        module_install();
    } else if (std::strncmp(arg, "uninstall", 9) == 0) {
        install_stop_handlers();
        run_uninstall();
    } else {
        log_msg(LOG_NOTICE, "usage: %s [install|uninstall]", argc > 0 && argv[0] != nullptr ? argv[0] : "gnssd");
        print_usage(stderr);
    }
    plat_closelog();
    return status;
}
