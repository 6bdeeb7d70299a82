// SPDX-License-Identifier: BSD-2-Clause
// Every module family's start and stop against pseudo-terminal ports, as one
// table: what the module answers, what the driver sends and logs, which port
// it takes and which locks it leaves.
#include <sys/stat.h>

#include <cctype>
#include <optional>

#include "drivers/families.h"
#include "platform/platform.h"
#include "platform/stop.h"
#include "pty_peer.h"
#include "receiver/lock.h"
#include "receiver/serial.h"
#include "support/at_sequence.h"

namespace {

using peer::join;
using th::lock_of;
using Commands = std::vector<std::string>;
using Replies = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

std::string tty_of(const std::string& router_path)
{
    return router_path.substr(router_path.rfind('/') + 1);
}

const ModuleDriver* row_of(uint32_t usb_id)
{
    for (const ModuleDriver* row = kDriverTable; row->board_code >= 0; ++row)
        if (row->usb_id == usb_id)
            return row;
    return nullptr;
}

bool same_tty(int fd, const std::string& router_path)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(th::in_root(router_path).c_str(), &b) == 0 && a.st_rdev == b.st_rdev;
}

// Descriptors of this process and what they lead to: no start or stop may
// leave one behind. The GPIO device is opened at its first request and
// shared for the life of the process.
std::map<int, std::string> open_fds()
{
    std::map<int, std::string> fds;
    for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(e.path(), ec);
        if (!ec && target != th::in_root("/dev/gpio"))
            fds[std::stoi(e.path().filename().string())] = target.string();
    }
    return fds;
}

// A family's driver entry points and the ports its module offers.
struct Family {
    const char* name;
    int (*open)(ReceiverLink*);
    void (*close)(ReceiverLink*);
    const char* control;            // AT command port; nullptr when there is none
    std::vector<const char*> data;  // ports that may carry the stream
    uint32_t usb_id = 0;            // driver table row the link names (0: none)
    bool writes_data = false;       // start and stop texts go out on the data port
};

const Family kGtgps{"gtgps", gtgps_open, gtgps_close, "/dev/ttyUSB7", {"/dev/ttyUSB9"}};
const Family kQgps{"qgps", qgps_open, qgps_close, "/dev/ttyUSB8", {"/dev/ttyUSB7"}};
const Family kGpsp{"gpsp 1031", gpsp_open, gpsp_close, "/dev/ttyUSB8", {"/dev/ttyUSB7"}, 0x1BC71031};
const Family kGpsp1070{"gpsp 1070", gpsp_open, gpsp_close, "/dev/ttyUSB10", {"/dev/ttyUSB7"}, 0x1BC71070};
const Family kGpsp1071{"gpsp 1071", gpsp_open, gpsp_close, "/dev/ttyUSB10", {"/dev/ttyUSB7"}, 0x1BC71071};
const Family kSgpsc{"sgpsc", sgpsc_open, sgpsc_close, "/dev/ttyUSB8", {"/dev/ttyUSB7", "/dev/ttyUSB9"}};
const Family kGpsStart{"gpsstart", gpsstart_open, gpsstart_close, nullptr, {"/dev/ttyUSB9"}, 0, true};
const Family kAtgps{"atgps", atgps_open, atgps_close, nullptr, {"/dev/ttyUSB7"}, 0, true};
const Family kStandalone{"standalone", standalone_open, standalone_close, nullptr, {"/dev/ttyS1"}};

// A stand-alone receiver: every 400 ms a burst at its own speed, and only
// unreadable bytes while the port is set to another one.
struct Rx {
    speed_t baud = 0;  // 0: no receiver (the AT families)
    std::string burst;
    bool once = false;   // one burst each time the port is set to the speed
    bool flood = false;  // junk without pause, whatever the speed
    bool look = false;   // looks at the port during each of the driver's pauses
};

// What a line at the wrong speed makes of the receiver's output.
const std::string kGarbage("\xff\x00\xf8\x80\xfe\x1e\xe0\x00\x78\xff", 10);

struct Receiver {
    peer::Pty pty;
    Rx spec;
    std::atomic<bool> running{true};
    std::atomic<int> bursts{0};
    std::atomic<int> rounds{0};  // looks at the port so far
    std::thread thread;

    Receiver(const char* path, Rx rx) : pty(path), spec(std::move(rx))
    {
        thread = std::thread([this] { loop(); });
    }
    ~Receiver()
    {
        running = false;
        thread.join();
    }
    // The driver's pauses take no time on the test clock; this one lets the
    // receiver look at the port (and use up its burst) while the driver
    // waits, as it would during the real pause.
    static void look_during_pause(long long, void* arg)
    {
        auto* rx = static_cast<Receiver*>(arg);
        const int seen = rx->rounds.load();
        for (int i = 0; i < 300 && rx->rounds.load() < seen + 2; ++i)
            usleep(10000);
    }
    void loop()
    {
        speed_t last = 0;
        while (running) {
            const speed_t now = pty.speed();
            char drain[512];
            while (read(pty.master, drain, sizeof drain) > 0) {
            }
            if (spec.flood) {
                pty.send(std::string(4096, 'x'));
                usleep(20000);
                continue;
            }
            if (!spec.burst.empty()) {
                if (now != spec.baud)
                    pty.send(kGarbage);
                else if (!spec.once || last != spec.baud) {
                    pty.send(spec.burst);
                    ++bursts;
                }
            }
            last = now;
            ++rounds;
            for (int i = 0; i < 8 && running; ++i)
                usleep(50000);
        }
    }
};

struct Row {
    const char* legend;
    const Family* family;
    // The module and the router.
    Replies replies;                                         // control port answers besides "OK"
    std::vector<std::pair<std::string, const char*>> files;  // written (nullptr: removed) before the start
    Lines absent;                                            // ports the module does not offer
    const char* locked = nullptr;                            // tty another live process holds
    Rx rx;
    const char* stop_at = nullptr;  // command on whose arrival the service is asked to stop
    bool by_hand = false;           // the start is skipped: `port` is opened and locked by hand
    void (*prepare)(ReceiverLink&) = nullptr;
    // The start.
    int result = 0;
    Commands sent;
    Lines logged;  // whole lines, in order, each as often as listed
    std::string data_sent;
    std::optional<std::string> gpio;  // requests to the GPIO driver so far
    long long pause_before_last = 0;  // the module's settling pause before the last command, ms
    bool streams = false;             // the taken port carries what the module sends
    int bursts = -1;
    void (*check)(const ReceiverLink&) = nullptr;
    const char* port = nullptr;  // taken and locked after a start that succeeded
    speed_t speed = 0;
    // The stop.
    Commands stop_sent;
    Lines stop_logged;
    std::string data_stop;
    std::optional<std::string> gpio_stop;
    Lines not_logged;  // in neither log
};

// Expected lines (or runs of lines) appear whole, in the order given and as
// often as listed; every error in the log is one of them.
void expect_log(const std::string& log, const Lines& lines)
{
    std::size_t at = 0;
    int errors = 0;
    for (const auto& line : lines) {
        const std::string whole = line + "\n";
        int times = 0;
        for (const auto& l : lines)
            times += l == line;
        EXPECT_EQ(th::count_of(log, whole), times) << line << "\n" << log;
        at = log.find(whole, at);
        EXPECT_NE(at, std::string::npos) << "out of order: " << line << "\n" << log;
        at = at == std::string::npos ? 0 : at + whole.size();
        errors += th::count_of(line, "gps: err:");
    }
    EXPECT_EQ(th::count_of(log, "gps: err:"), errors) << log;
}

// The module side: the control port answering from the row's replies, the
// data ports and the router's files, with the arrival of each command on the
// service's clock.
struct Module {
    const Row& row;
    std::unique_ptr<peer::AtPort> control;
    std::vector<std::unique_ptr<peer::Pty>> data;
    std::unique_ptr<Receiver> rx;
    std::unique_ptr<peer::Holder> holder;
    std::mutex mutex;
    std::vector<long long> times;

    explicit Module(const Row& r) : row(r)
    {
        for (const auto& [path, text] : r.files)
            text ? th::write_file(th::in_root(path), text) : void(std::remove(th::in_root(path).c_str()));
        auto offered = [&](const char* path) {
            for (const auto& a : r.absent)
                if (a == path)
                    return false;
            return true;
        };
        const Family& f = *r.family;
        if (f.control && offered(f.control)) {
            control = std::make_unique<peer::AtPort>(f.control);
            control->replies = r.replies;
            control->on_command = [this](const std::string& command) {
                if (row.stop_at && command == row.stop_at)
                    plat_stop_note();
                std::lock_guard lock(mutex);
                times.push_back(monotonic_ms());
            };
            control->start();
        }
        for (const char* path : f.data) {
            if (!offered(path))
                continue;
            if (r.rx.baud)
                rx = std::make_unique<Receiver>(path, r.rx);
            else
                data.push_back(std::make_unique<peer::Pty>(path));
        }
        if (r.locked)
            holder = std::make_unique<peer::Holder>(r.locked);
    }
    ~Module()
    {
        if (control)
            control->stop();
        plat_stop_clear();
        if (holder)
            std::remove(lock_of(row.locked).c_str());
    }
    Commands commands() { return control ? control->commands() : Commands{}; }
    std::string data_received()
    {
        return row.family->writes_data && !data.empty() ? data.front()->drain() : std::string();
    }
    std::string gpio() { return th::read_file(th::in_root("/dev/gpio.log")); }
    // Ports of any family locked now, each with its holder's text.
    static std::map<std::string, std::string> locks()
    {
        std::map<std::string, std::string> held;
        for (const char* tty : {"ttyUSB7", "ttyUSB8", "ttyUSB9", "ttyUSB10", "ttyS1"})
            if (th::file_exists(lock_of(tty)))
                held[tty] = th::read_file(lock_of(tty));
        return held;
    }
    std::map<std::string, std::string> foreign_locks()
    {
        if (!holder)
            return {};
        return {{row.locked, holder->text}};
    }
};

void run_row(const Row& r)
{
    SCOPED_TRACE(std::string(r.family->name) + ": " + r.legend);
    const Family& f = *r.family;
    const auto fds_before = open_fds();
    {
        Module module(r);
        auto link = peer::new_link();
        if (f.usb_id)
            link->driver = row_of(f.usb_id);
        if (r.prepare)
            r.prepare(*link);
        int result = 0;
        std::string log;
        if (r.by_hand) {
            link->device_path = r.port;
            link->fd = open(th::in_root(r.port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(link->fd, 0);
            termios tio{};
            tcgetattr(link->fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(link->fd, TCSANOW, &tio);
            th::write_file(lock_of(tty_of(r.port)), "         1\n");
        } else {
            if (r.rx.look)
                clock_test_on_pause(Receiver::look_during_pause, module.rx.get());
            th::StderrCapture capture;
            result = f.open(link.get());
            log = capture.text();
            clock_test_on_pause(nullptr, nullptr);
        }
        if (result == 0 && r.result != 0)
            f.close(link.get());  // leaves no port open or locked for the rows after
        ASSERT_EQ(result, r.result) << log;
        const Commands sent = module.commands();
        EXPECT_EQ(sent, r.sent);
        expect_log(log, r.logged);
        EXPECT_EQ(module.data_received(), r.data_sent);
        if (r.gpio) {
            EXPECT_EQ(module.gpio(), *r.gpio);
        }
        if (r.bursts >= 0) {
            EXPECT_EQ(module.rx->bursts.load(), r.bursts);
        }
        if (r.check)
            r.check(*link);
        {
            std::lock_guard lock(module.mutex);
            if (r.pause_before_last) {
                ASSERT_EQ(module.times.size(), r.sent.size());
                EXPECT_GE(module.times.back() - module.times[module.times.size() - 2], r.pause_before_last);
            }
            if (r.stop_at) {
                ASSERT_FALSE(module.times.empty());
                EXPECT_LT(module.times.back() - module.times.front(), 2000) << "the pause was sat out";
            }
        }
        std::string stop_log;
        if (result != 0) {
            EXPECT_EQ(link->fd, -1);
            EXPECT_EQ(module.locks(), module.foreign_locks());
        } else {
            EXPECT_STREQ(link->device_path, r.port);
            ASSERT_GE(link->fd, 0);
            EXPECT_TRUE(same_tty(link->fd, r.port));
            EXPECT_EQ(module.locks(), (std::map<std::string, std::string>{
                                          {tty_of(r.port), r.by_hand ? "         1\n" : th::pid_text(getpid())}}));
            if (r.speed) {
                EXPECT_EQ(module.rx->pty.speed(), r.speed);
            }
            if (r.streams) {
                for (const auto& pty : module.data)
                    if (pty->node == th::in_root(r.port))
                        pty->send("$GPGGA,1*00\r\n");
                char buf[64] = {};
                ASSERT_TRUE(
                    th::wait_until([&] { return read(link->fd, buf, sizeof buf - 1) > 0; }, std::chrono::seconds(2)));
                EXPECT_NE(std::string(buf).find("$GPGGA"), std::string::npos);
            }

            th::StderrCapture capture;
            f.close(link.get());
            stop_log = capture.text();
            const Commands all = module.commands();
            EXPECT_EQ(Commands(all.begin() + static_cast<long>(sent.size()), all.end()), r.stop_sent);
            expect_log(stop_log, r.stop_logged);
            EXPECT_EQ(module.data_received(), r.data_stop);
            if (r.gpio_stop) {
                EXPECT_EQ(module.gpio(), *r.gpio_stop);
            }
            EXPECT_EQ(link->fd, -1);
            EXPECT_TRUE(module.locks().empty());

            // A second stop finds no open port: nothing is sent, no lock or
            // GPIO line is touched.
            const std::string gpio = module.gpio();
            if (f.control)
                th::write_file(lock_of(tty_of(f.control)), "   1\n");
            f.close(link.get());
            EXPECT_EQ(module.commands(), all);
            EXPECT_EQ(module.data_received(), "");
            EXPECT_EQ(module.gpio(), gpio);
            if (f.control) {
                EXPECT_EQ(th::read_file(lock_of(tty_of(f.control))), "   1\n");
                std::remove(lock_of(tty_of(f.control)).c_str());
            }
        }
        for (const auto& text : r.not_logged)
            EXPECT_EQ((log + stop_log).find(text), std::string::npos) << text << "\n" << log << stop_log;
    }
    EXPECT_EQ(open_fds(), fds_before);
}

const std::string kRefused = "\r\nERROR\r\n";
// The connection's state, which the AT$GPSP family reads before it starts.
const std::string kStateFile = "/run/ppp/iface-m0.state";

// A start that fails: what the module answered, was sent and logged.
Row fails(const Family& f, const char* legend, Replies replies, Commands sent, Lines logged)
{
    return {.legend = legend,
            .family = &f,
            .replies = std::move(replies),
            .files = {{kStateFile, nullptr}},  // no connection: the AT$GPSP family goes on
            .result = -1,
            .sent = std::move(sent),
            .logged = std::move(logged)};
}

// AT+GTGPSPOWER: control on ttyUSB7, NMEA on ttyUSB9, the other way round
// from the other families; every refusal still sends all three commands.
const Commands kGtStart = th::at_sequence("gtgps", "start");
const std::string kEchoMsg = "gps: err: cannot write new value of \"ATE\"";
const std::string kPowerMsg = "gps: err: cannot write new value of \"AT+GTGPSPOWER\"";
const std::string kNmeaMsg = "gps: err: cannot write new value of \"AT+GTSET=\"NMEAEN\"\"";
const std::string kNoUsb7 = "gps: err: open(/dev/ttyUSB7) error: No such file or directory";
const std::string kNoUsb9 = "gps: err: open(/dev/ttyUSB9) error: No such file or directory";

// AT+QGPSCFG: a settings table read one row at a time.
std::string query(const std::string& name)
{
    return "AT+QGPSCFG=\"" + name + "\"";
}

std::string shows(const std::string& name, const std::string& value)
{
    return "\r\n+QGPSCFG: \"" + name + "\"," + value + "\r\n\r\nOK\r\n";
}

const Commands kQueries = th::at_sequence("qgps", "queries");

Commands queries(int from, int to)
{
    return Commands(kQueries.begin() + from, kQueries.begin() + to);
}

// Replies of a module whose settings are all as the service needs them, in
// the module's own form (text values quoted, numbers bare), with changes.
Replies settings_in_place(const Replies& changes = {})
{
    Replies r;
    for (auto [name, shown] : {std::pair{"outport", "\"usbnmea\""},
                               {"nmeasrc", "1"},
                               {"gpsnmeatype", "31"},
                               {"glonassnmeatype", "7"},
                               {"galileonmeatype", "0"},
                               {"beidounmeatype", "0"},
                               {"gnssconfig", "1"}})
        r[query(name)] = shows(name, shown);
    for (const auto& [k, v] : changes)
        r[k] = v;
    return r;
}

// AT$GPSP: the connection's state and the control port decide before any
// port is touched; each variant has its own command set.
const Commands kStartA = {"ATE0", "AT$GPSNMUN=2,1,0,0,0,1,0", "AT$GPSAT=1", "AT$GPSP=1"};
const Commands kStopA = {"AT$GPSP=0", "AT$GPSAT=0", "AT$GPSR=3"};
const Commands kStartB = {"ATE0", "AT#LOCNMEATYPE=1,134217215", "AT$GPSNMUN=2,1,0,0,0,1,0", "AT$GPSANTPORT=3",
                          "AT$GPSP=1"};
const Commands kStopB = {"AT$GPSP=0", "AT$GPSAT=0", "AT$GPSNVRAM=15,0"};
const std::string kWaiting = "gps: notice: Waiting for initialization gps module";
const std::string kAntennaOnMsg = "gps: notice: active antenna on";

// state: the connection's state file (nullptr: none); serial, mwan and on:
// the readiness the driver traces.
Row gpsp(const Family& f, const char* legend, const char* state, int serial, int mwan, int on, bool proceeds)
{
    const std::string trace = "gps: debug: " + std::string(f.control) + " serial_ready: " + std::to_string(serial) +
                              ", MWAN ready: " + std::to_string(mwan) + ", MWAN module on=" + std::to_string(on);
    Row r{.legend = legend, .family = &f, .files = {{kStateFile, state}}, .result = -1, .logged = {trace, kWaiting}};
    if (!serial)
        r.absent = {f.control};
    if (proceeds) {
        const bool a = f.usb_id == kGpsp.usb_id;
        r.result = 0;
        r.sent = a ? kStartA : kStartB;
        r.logged = {trace, kAntennaOnMsg};
        r.port = "/dev/ttyUSB7";
        r.stop_sent = a ? kStopA : kStopB;
        r.stop_logged = {"gps: notice: active antenna off"};
        r.not_logged = {kWaiting};
    }
    return r;
}

// AT^SGPSC: the identity chooses the commands, the settling pause and the port.
const std::string kAntennaQuery = "AT^SGPSC=\"Power/Antenna\"";
const std::string kAntennaOn = "\r\n^SGPSC: \"Power/Antenna\",\"on\"\r\n\r\nOK\r\n";
const std::string kAntennaOff = "\r\n^SGPSC: \"Power/Antenna\",\"off\"\r\n\r\nOK\r\n";
const std::string kOutputOn = "AT^SGPSC=\"Nmea/Output\",\"on\"";
const Commands kSgStop = th::at_sequence("sgpsc", "stop");
std::string ident(const std::string& model)
{
    return "\r\n" + model + "\r\nREVISION 01.000\r\n\r\nOK\r\n";
}
void set_flags(int pls8, int pls83)
{
    is_pls8 = pls8;
    is_pls83 = pls83;
}
void expect_flags(int pls8, int pls83)
{
    EXPECT_EQ(is_pls8, pls8);
    EXPECT_EQ(is_pls83, pls83);
}

// Stand-alone receiver on "/dev/ttyS1": reset pulse, speed detection, antenna supply.
constexpr const char* kBurst =
    "$GPRMC,092751.000,A,5321.6802,N,00630.3371,W,0.06,31.66,280511,,,A*45\r\n"
    "$PTWS,VERSION,1.0*11\r\n"
    "$GPGGA,092751.000,5321.6802,N,00630.3371,W,1,8,1.03,61.7,M,55.3,M,,*75\r\n";
constexpr const char* kTxtBurst = "$GPTXT,01,01,02,ANTSTATUS=OK*3B\r\n";
// A multi-constellation receiver (NEO-M9N capture in tests/data): GN talker only.
constexpr const char* kGnBurst = "$GNRMC,223745.00,A,3806.62964,N,12237.61382,W,0.040,,110720,,,D,V*0E\r\n";
const std::string kPulse = "0x40004214 1\n0x40004214 0\n";
const std::string kNoDetection = "gps: err: speed detection failed";

// rx: the receiver; antenna: the antenna supply the link asks for (0 or 1),
// -1 when the start fails.
Row standalone(const char* legend, Rx rx, int antenna)
{
    Row r{.legend = legend,
          .family = &kStandalone,
          .files = {{"/dev/gpio", "board_code=4\nplatform_id=20\n"}, {"/dev/gpio.log", nullptr}},
          .rx = rx,
          .result = -1,
          .logged = {kNoDetection},
          .gpio = kPulse};
    if (antenna >= 0) {
        if (antenna)
            r.prepare = [](ReceiverLink& l) { l.antenna_active = 1; };
        r.result = 0;
        r.logged = {};
        r.gpio = kPulse + (antenna ? "0x40004228 0\n" : "0x40004229 0\n");
        r.check = [](const ReceiverLink& l) {
            EXPECT_EQ(l.ignore_enabled, 1u);
            EXPECT_STREQ(l.ignore_prefix, "$PTWS");
        };
        r.port = "/dev/ttyS1";
        r.speed = rx.baud;
        r.gpio_stop = *r.gpio + "0x40004229 0\n0x40004214 1\n";
    }
    return r;
}

const Row kRows[] = {
    {.legend = "starts on ttyUSB9, power off refused at the stop",
     .family = &kGtgps,
     .replies = {{"AT+GTGPSPOWER=0", kRefused}},
     .sent = kGtStart,
     .port = "/dev/ttyUSB9",
     .stop_sent = th::at_sequence("gtgps", "stop"),
     .stop_logged = {kPowerMsg}},
    fails(kGtgps, "echo off refused", {{"ATE0", kRefused}}, kGtStart, {kEchoMsg}),
    fails(kGtgps, "power refused", {{"AT+GTGPSPOWER=1", kRefused}}, kGtStart, {kPowerMsg}),
    fails(kGtgps, "power and output refused", {{"AT+GTGPSPOWER=1", kRefused}, {"AT+GTSET=\"NMEAEN\",1", kRefused}},
          kGtStart, {kPowerMsg, kNmeaMsg}),
    fails(kGtgps, "output refused", {{"AT+GTSET=\"NMEAEN\",1", kRefused}}, kGtStart, {kNmeaMsg}),
    // A port that cannot be opened gives its lock back: the control port
    // before anything is sent, the data port after the module was switched on.
    {.legend = "control port missing",
     .family = &kGtgps,
     .absent = {"/dev/ttyUSB7"},
     .result = -1,
     .logged = {kNoUsb7, kNoUsb7}},
    {.legend = "data port missing",
     .family = &kGtgps,
     .absent = {"/dev/ttyUSB9"},
     .result = -1,
     .sent = kGtStart,
     .logged = {kNoUsb9}},

    // Quoted text values, the other firmware's name for the BeiDou setting
    // and a longer current value that begins with the target all count as
    // in place.
    {.legend = "settings in place start the engine",
     .family = &kQgps,
     .replies = settings_in_place({{query("beidounmeatype"), shows("pqnmeatype", "0")},
                                   {query("galileonmeatype"), shows("galileonmeatype", "01")},
                                   {"AT+QGPSEND", kRefused}}),
     .sent = th::at_sequence("qgps", "start"),
     .port = "/dev/ttyUSB7",
     .stop_sent = th::at_sequence("qgps", "stop"),
     .stop_logged = {"gps: err: cannot disable Engine (\"\\r\\nERROR\\r\\n\")"},
     .not_logged = {"set \""}},
    // Values that differ are written (quoted only when they are text,
    // always under the row's own name), logged, and the module is
    // restarted instead of started.
    fails(kQgps, "one number differs", settings_in_place({{query("gpsnmeatype"), shows("gpsnmeatype", "1")}}),
          join({{"ATE0"}, queries(0, 3), {"AT+QGPSCFG=\"gpsnmeatype\",31"}, queries(3, 7), {"AT+CFUN=1,1"}}),
          {"gps: info: set \"gpsnmeatype\" = \"31\""}),
    fails(kQgps, "a text value and the other firmware's BeiDou name differ",
          settings_in_place({{query("outport"), shows("outport", "\"uartdebug\"")},
                             {query("beidounmeatype"), shows("pqnmeatype", "1")}}),
          join({{"ATE0"},
                queries(0, 1),
                {"AT+QGPSCFG=\"outport\",\"usbnmea\""},
                queries(1, 6),
                {"AT+QGPSCFG=\"beidounmeatype\",0"},
                queries(6, 7),
                {"AT+CFUN=1,1"}}),
          {"gps: info: set \"outport\" = \"usbnmea\"", "gps: info: set \"beidounmeatype\" = \"0\""}),
    // A refused step ends the start there: later rows are not read, no restart.
    fails(kQgps, "error reply to a query", settings_in_place({{query("beidounmeatype"), "\r\n+CME ERROR: 3\r\n"}}),
          join({{"ATE0"}, queries(0, 6)}), {"gps: err: cannot read current value of \"beidounmeatype\""}),
    fails(kQgps, "write refused after a query",
          settings_in_place({{query("nmeasrc"), shows("nmeasrc", "0")}, {"AT+QGPSCFG=\"nmeasrc\",1", kRefused}}),
          join({{"ATE0"}, queries(0, 2), {"AT+QGPSCFG=\"nmeasrc\",1"}}),
          {"gps: err: cannot write new value of \"nmeasrc\""}),
    fails(kQgps, "engine refused", settings_in_place({{"AT+QGPS=1", "\r\n+CME ERROR: 504\r\n"}}),
          join({th::at_sequence("qgps", "start"), th::at_sequence("qgps", "stop")}),
          {"gps: err: cannot enable Engine (\"\\r\\n+CME ERROR: 504\\r\\n\")"}),

    gpsp(kGpsp, "control port missing", "Connected", 0, 0, 1, false),
    gpsp(kGpsp, "module being prepared", "Preparing\n", 1, 0, 1, false),
    gpsp(kGpsp, "module initializing", "Initializing\r\n", 1, 0, 1, false),
    gpsp(kGpsp, "no state file", nullptr, 1, 0, 0, true),
    gpsp(kGpsp, "empty state file", "", 1, 0, 0, true),
    gpsp(kGpsp, "connection up", "Connected\n", 1, 1, 1, true),
    gpsp(kGpsp1070, "variant on ttyUSB10", nullptr, 1, 0, 0, true),
    gpsp(kGpsp1071, "variant on ttyUSB10", nullptr, 1, 0, 0, true),
    // Refusals end the sequence.
    fails(kGpsp, "echo off refused", {{"ATE0", kRefused}}, {"ATE0"},
          {"gps: warning: cannot write test value of \"ATE\", device not ready yet"}),
    fails(kGpsp, "sentence selection refused", {{"AT$GPSNMUN=2,1,0,0,0,1,0", kRefused}},
          {"ATE0", "AT$GPSNMUN=2,1,0,0,0,1,0"}, {"gps: err: cannot write new value of \"AT+GPSNMUN\""}),
    fails(kGpsp, "antenna refused", {{"AT$GPSAT=1", kRefused}}, {"ATE0", "AT$GPSNMUN=2,1,0,0,0,1,0", "AT$GPSAT=1"},
          {"gps: err: cannot turning active antenna on"}),
    fails(kGpsp, "engine refused", {{"AT$GPSP=1", kRefused}}, kStartA,
          {kAntennaOnMsg, "gps: err: cannot write new value of \"AT$GPSP\" (on)"}),
    // A refused engine stop leaves the antenna and the engine's parking alone.
    {.legend = "engine stop refused",
     .family = &kGpsp,
     .replies = {{"AT$GPSP=0", kRefused}},
     .files = {{kStateFile, nullptr}},
     .sent = kStartA,
     .logged = {kAntennaOnMsg},
     .port = "/dev/ttyUSB7",
     .stop_sent = {"AT$GPSP=0"},
     .stop_logged = {"gps: err: cannot write new value of \"AT$GPSP\" (off)"},
     .not_logged = {"active antenna off"}},

    // A PLS83 takes the interface commands, pauses before the engine,
    // streams on ttyUSB9; its stop switches engine, output and antenna off
    // in that order.
    {.legend = "PLS83",
     .family = &kSgpsc,
     .replies = {{"ATI", ident("PLS83-W")}, {kAntennaQuery, kAntennaOn}},
     .prepare = [](ReceiverLink&) { set_flags(0, 0); },
     .sent = th::at_sequence("sgpsc", "start PLS83 antenna on"),
     .pause_before_last = 4900,
     .streams = true,
     .check = [](const ReceiverLink&) { expect_flags(1, 1); },
     .port = "/dev/ttyUSB9",
     .stop_sent = kSgStop},
    // The identity alone decides the conditional commands, the pause and the port.
    {.legend = "PLS8 with the antenna supply off",
     .family = &kSgpsc,
     .replies = {{"ATI", ident("PLS8-E")}, {kAntennaQuery, kAntennaOff}},
     .prepare = [](ReceiverLink&) { set_flags(0, 1); },
     .sent = th::at_sequence("sgpsc", "start PLS8 antenna off"),
     .pause_before_last = 4900,
     .check = [](const ReceiverLink&) { expect_flags(1, 0); },
     .port = "/dev/ttyUSB7",
     .stop_sent = kSgStop},
    {.legend = "another member with the antenna supply on",
     .family = &kSgpsc,
     .replies = {{"ATI", ident("ALS3-E")}, {kAntennaQuery, kAntennaOn}},
     .prepare = [](ReceiverLink&) { set_flags(1, 1); },
     .sent = th::at_sequence("sgpsc", "start other antenna on"),
     .check = [](const ReceiverLink&) { expect_flags(0, 0); },
     .port = "/dev/ttyUSB7",
     .stop_sent = kSgStop},
    // A stop request during the start ends it at its next pause (the PLS8's
    // wait before the engine); the stop rows then leave the module as at any
    // shutdown.
    {.legend = "stop request during the start",
     .family = &kSgpsc,
     .replies = {{"ATI", ident("PLS8-E")}, {kAntennaQuery, kAntennaOn}},
     .stop_at = kOutputOn.c_str(),
     .result = -1,
     .sent = join({{"ATI", kAntennaQuery, kOutputOn}, kSgStop})},
    {.legend = "identity refused: the flags keep their values",
     .family = &kSgpsc,
     .replies = {{"ATI", kRefused}},
     .prepare = [](ReceiverLink&) { set_flags(1, 0); },
     .result = -1,
     .sent = {"ATI"},
     .logged = {"gps: err: cannot determine module type (\"\\r\\nERROR\\r\\n\")"},
     .check = [](const ReceiverLink&) { expect_flags(1, 0); }},
    fails(kSgpsc, "silent antenna query: empty reply in the message", {{"ATI", ident("PLS8-E")}, {kAntennaQuery, ""}},
          {"ATI", kAntennaQuery}, {"gps: err: cannot get Power/Antenna configuration (\"\")"}),
    {.legend = "control port locked by another live process",
     .family = &kSgpsc,
     .locked = "ttyUSB8",
     .result = -1,
     .logged = {"gps: err: device(/dev/ttyUSB8) is locked"}},
    {.legend = "stop with the engine refused sends nothing after it",
     .family = &kSgpsc,
     .replies = {{"AT^SGPSC=\"Engine\",\"0\"", "\r\n+CME ERROR: 4\r\n"}},
     .by_hand = true,
     .port = "/dev/ttyUSB7",
     .stop_sent = {"AT^SGPSC=\"Engine\",\"0\""},
     .stop_logged = {"gps: err: cannot disable Engine (\"\\r\\n+CME ERROR: 4\\r\\n\")"}},

    // The switch texts go out exactly, on the data port.
    {.legend = "start and stop texts",
     .family = &kGpsStart,
     .data_sent = "$GPS_START",
     .check = [](const ReceiverLink& link) { EXPECT_EQ(link.drop_repeated_gga, 1u); },
     .port = "/dev/ttyUSB9",
     .data_stop = "$GPS_STOP"},
    {.legend = "port missing",
     .family = &kGpsStart,
     .absent = {"/dev/ttyUSB9"},
     .result = -1,
     .logged = {kNoUsb9},
     .check = [](const ReceiverLink& link) { EXPECT_EQ(link.drop_repeated_gga, 0u); }},
    {.legend = "port locked by a live process",
     .family = &kGpsStart,
     .locked = "ttyUSB9",
     .result = -1,
     .logged = {"gps: err: device(/dev/ttyUSB9) is locked"},
     .check = [](const ReceiverLink& link) { EXPECT_EQ(link.drop_repeated_gga, 0u); }},

    {.legend = "the stop text goes out once",
     .family = &kAtgps,
     .by_hand = true,
     .port = "/dev/ttyUSB7",
     .data_stop = "$GPS_STOP"},

    standalone("RMC at 9600 with antenna supply", {.baud = B9600, .burst = kBurst}, 1),
    standalone("TXT only at 115200 without antenna supply", {.baud = B115200, .burst = kTxtBurst}, 0),
    standalone("GN talker only at 9600", {.baud = B9600, .burst = kGnBurst}, 1),
    standalone("silence", {.baud = B115200, .look = true}, -1),
    [] {
        Row r = standalone("only the first collection hears the receiver",
                           {.baud = B115200, .burst = kBurst, .once = true, .look = true}, -1);
        r.bursts = 1;
        return r;
    }(),
    // Junk without a pause never ends a collection by a gap: the byte limit
    // ends it, so the detection still comes to an end at both speeds.
    standalone("endless junk is cut off", {.baud = B115200, .flood = true}, -1),
    [] {
        Row r = standalone("port locked by a live process", {.baud = B9600, .burst = kBurst}, -1);
        r.locked = "ttyS1";
        r.logged = {"gps: err: device(/dev/ttyS1) is locked\ngps: err: locking /dev/ttyS1 failed"};
        r.gpio = "";
        return r;
    }(),
};

void PrintTo(const Row& row, std::ostream* os)
{
    *os << row.family->name << ": " << row.legend;
}

struct DriverTable : ::testing::TestWithParam<Row> {};

TEST_P(DriverTable, StartAndStop)
{
    run_row(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Families, DriverTable, ::testing::ValuesIn(kRows), [](const auto& info) {
    std::string name = std::string(info.param.family->name) + "_" + info.param.legend;
    for (char& c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name + "_" + std::to_string(info.index);
});

// A stop that comes with a stop request while another program holds the
// control port for a moment (a router shutting down) waits for the lock and
// switches the engine off all the same.
TEST(DriverFamily, SgpscStopWaitsForTheControlPortLock)
{
    const Row row{.legend = "stop", .family = &kSgpsc};
    Module module(row);
    auto link = peer::new_link();
    ASSERT_EQ(lock_device("/dev/ttyUSB9", 1), 1);
    link->device_path = "/dev/ttyUSB9";
    link->fd = open(th::in_root("/dev/ttyUSB9").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(link->fd, 0);
    th::Process holder;
    holder.start({"sleep", "60"}, {}, th::process_root() + "/holder.log");
    th::write_file(lock_of("ttyUSB8"), th::pid_text(holder.pid));
    // The holder goes away one second (on the service's clock) into the wait.
    struct Release {
        th::Process* holder;
        long long at;
    } release{&holder, monotonic_ms() + 1000};
    clock_test_on_pause(
        [](long long now, void* arg) {
            auto* r = static_cast<Release*>(arg);
            if (now >= r->at && r->holder->pid > 0 && r->holder->status == -1)
                r->holder->stop(SIGKILL, std::chrono::seconds(2));
        },
        &release);
    plat_stop_note();
    sgpsc_close(link.get());
    plat_stop_clear();
    clock_test_on_pause(nullptr, nullptr);
    EXPECT_NE(holder.status, -1) << "the stop waited for the holder";
    EXPECT_EQ(module.commands(), kSgStop);
    EXPECT_EQ(link->fd, -1);
    EXPECT_TRUE(module.locks().empty());
}

TEST(DriverFamily, GpsStartNoticePrintsTheAntennaWarningOnlyWhenAsked)
{
    for (const int antenna : {0, 1}) {
        int result = -1;
        EXPECT_EQ(peer::stdout_of([&] { result = gpsstart_notice(&antenna); }), antenna ? peer::kAntennaWarning : "");
        EXPECT_EQ(result, antenna ? 10 : 0);
    }
}

}  // namespace
