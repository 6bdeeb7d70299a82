// SPDX-License-Identifier: BSD-2-Clause
// Test support for the fleet feed end to end: brokers, backends, servers and daemons.
#include "support/fleet_kit.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/e2e.h"

using namespace std::chrono_literals;

namespace th {

bool have_broker()
{
#ifndef GNSSD_HAVE_MQTT
    return false;
#endif
    return std::system("command -v mosquitto >/dev/null 2>&1 && command -v mosquitto_sub >/dev/null 2>&1") == 0;
}

bool sh(const std::string& command)
{
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

std::string output_of(const std::string& command)
{
    std::string out;
    if (FILE* f = popen(command.c_str(), "r")) {
        char buf[512];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        pclose(f);
    }
    return out;
}

void Broker::start(const std::string& extra)
{
    if (config.empty())
        config = "listener " + std::to_string(port) + " 127.0.0.1\npersistence true\npersistence_location " + dir.path +
                 "/\nlog_dest stderr\n" +
                 // Started as root it would drop to an account that cannot read our files.
                 "user " + (getuid() == 0 ? "root" : "mosquitto") + "\n" +
                 (extra.empty() ? "allow_anonymous true\n" : extra);
    write_file(dir.path + "/mosquitto.conf", config);
    proc.start({"/usr/sbin/mosquitto", "-c", dir.path + "/mosquitto.conf"}, {},
               dir.path + "/broker" + std::to_string(++starts) + ".log");
    ASSERT_TRUE(wait_until([&] { return proc.log().find(" running") != std::string::npos; }, 10s)) << proc.log();
}

void Broker::stop()
{
    EXPECT_TRUE(proc.stop(SIGTERM, 5s));
}

void Subscriber::start(int port, const std::vector<std::string>& extra)
{
    std::vector<std::string> argv{
        "/usr/bin/mosquitto_sub", "-h", "127.0.0.1",  "-p", std::to_string(port), "-t", "gnss/#", "-q", "1", "-c", "-i",
        "fleet-backend",          "-F", "%t %r %l %p"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    proc.start(argv, {}, dir.path + "/sub.out");
}
std::vector<Message> Subscriber::messages() const
{
    const std::string t = proc.log();
    std::vector<Message> out;
    std::size_t pos = 0;
    while (pos < t.size()) {
        const std::size_t a = t.find(' ', pos), b = a == std::string::npos ? a : t.find(' ', a + 1),
                          c = b == std::string::npos ? b : t.find(' ', b + 1);
        if (c == std::string::npos)
            break;
        const std::size_t len = std::strtoul(t.c_str() + b + 1, nullptr, 10);
        if (c + 1 + len > t.size())
            break;
        out.push_back({t.substr(pos, a - pos), t[a + 1] == '1', t.substr(c + 1, len)});
        pos = c + 1 + len + 1;
    }
    return out;
}

std::vector<Message> Subscriber::on(const std::string& leaf) const
{
    std::vector<Message> out;
    for (auto& m : messages())
        if (m.topic.size() > leaf.size() && m.topic.compare(m.topic.size() - leaf.size(), leaf.size(), leaf) == 0)
            out.push_back(m);
    return out;
}

void DaemonRun::start(const std::string& capture, const std::vector<std::string>& settings)
{
    launch(capture, settings);
    wait_running();
}

void DaemonRun::launch(const std::string& capture, const std::vector<std::string>& settings)
{
    write_file(root.path + "/drive.nmea", capture);
    for (const auto& file : files) {
        std::filesystem::create_directories(std::filesystem::path(root.path + file.first).parent_path());
        write_file(root.path + file.first, file.second);
    }
    std::vector<std::string> argv{
        sim_bin(), "--root", root.path + "", "--family", "gpsstart", "--capture", root.path + "/drive.nmea", "--loop"};
    argv.insert(argv.end(), sim_args.begin(), sim_args.end());
    for (const std::string& s : settings) {
        argv.push_back("--set");
        argv.push_back(s);
    }
    sim.start(argv, {}, root.path + "/sim.out");
    ASSERT_TRUE(wait_until([&] { return file_exists(root.path + "/sim/ready"); }, 20s)) << sim.log();
    if (wrap.empty()) {
        daemon.start({daemon_bin()}, {{"GNSSD_ROOT", root.path}}, root.path + "/daemon.log");
        return;
    }
    std::string command = wrap.back() + " && exec";
    for (const std::string& word : program_argv(daemon_bin()))
        command += " '" + word + "'";
    std::vector<std::string> wrapped(wrap.begin(), wrap.end() - 1);
    wrapped.push_back(command);
    daemon.start(wrapped, {{"GNSSD_ROOT", root.path}}, root.path + "/daemon.log");
}

void DaemonRun::restart()
{
    daemon.start({daemon_bin()}, {{"GNSSD_ROOT", root.path}},
                 root.path + "/daemon" + std::to_string(++starts + 1) + ".log");
}

void DaemonRun::wait_running()
{
    ASSERT_TRUE(daemon.wait_log("gps: notice: running...", 30s)) << daemon.log();
}

std::string DaemonRun::status() const
{
    return ask(root.path, "status\n");
}

std::string DaemonRun::status_text() const
{
    return ask(root.path, "status text\n");
}

DaemonRun::~DaemonRun()
{
    daemon.stop(SIGKILL, 5s);
    sim.stop(SIGTERM, 5s);
}

std::vector<std::string> mqtt_keys(int port, int period, int halt, const std::vector<std::string>& more)
{
    std::vector<std::string> k{"MOD_GPS_MQTT_ENABLED=1",
                               "MOD_GPS_MQTT_HOST=127.0.0.1",
                               "MOD_GPS_MQTT_PORT=" + std::to_string(port),
                               "MOD_GPS_MQTT_PERIOD=" + std::to_string(period),
                               "MOD_GPS_MQTT_PERIOD_HALT=" + std::to_string(halt),
                               "MOD_GPS_ROUTER_ID_STRING=truck7"};
    // A key given again replaces the default one: the first of a file counts.
    for (const std::string& m : more) {
        const std::string name = m.substr(0, m.find('=') + 1);
        bool replaced = false;
        for (std::string& d : k)
            if (d.rfind(name, 0) == 0)
                d = m, replaced = true;
        if (!replaced)
            k.push_back(m);
    }
    return k;
}

std::string field(const std::string& json, const std::string& key)
{
    const std::size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos)
        return "";
    std::size_t v = at + key.size() + 3, end = v;
    if (json[v] == '"')
        return json.substr(v + 1, json.find('"', v + 1) - v - 1);
    while (end < json.size() && json[end] != ',' && json[end] != '}')
        ++end;
    return json.substr(v, end - v);
}

std::string drive_capture(int cycles, bool (*moving)(int))
{
    std::string out;
    for (int i = 0; i < cycles; ++i) {
        char hms[16];
        std::snprintf(hms, sizeof hms, "%02d%02d%02d.00", 10 + i / 3600, i / 60 % 60, i % 60);
        out += with_checksum(std::string("GPGGA,") + hms + ",4333.1902,S,00127.6183,W,1,08,0.9,250.8,M,50.0,M,,");
        out += with_checksum(std::string("GPRMC,") + hms + ",A,4333.1902,S,00127.6183,W," +
                             (moving(i) ? "12.5" : "0.0") + ",90.0,071226,,,A");
    }
    return out;
}

int cycle_of(const std::string& json)
{
    const std::string t = field(json, "time");
    if (t.size() < 19)
        return -1;
    return (std::atoi(t.substr(11, 2).c_str()) - 10) * 3600 + std::atoi(t.substr(14, 2).c_str()) * 60 +
           std::atoi(t.substr(17, 2).c_str());
}

std::string mqtt_status(const DaemonRun& run)
{
    const std::string s = run.status();
    const std::size_t at = s.find("\"mqtt\":");
    return at == std::string::npos ? "" : s.substr(at, s.find('}', at) - at + 1);
}

pid_t fleet_child(pid_t daemon)
{
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string stat = read_file(e.path().string() + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos ||
            read_file(e.path().string() + "/cmdline").find("gnssd-fleet") == std::string::npos)
            continue;
        int ppid = 0;
        char state = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == daemon && state != 'Z')
            return std::atoi(e.path().filename().c_str());
    }
    return -1;
}

namespace {

// The server: logs each request's path and Authorization header; a position whose id
// is "busy" gets 503, as a server that cannot store it now answers.
constexpr char kServer[] = R"(
import http.server, ssl, sys
d = sys.argv[1]
class H(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(d + '/requests', 'a') as f:
            f.write(self.path + ' ' + (self.headers.get('Authorization') or '-') + '\n')
        self.send_response(503 if 'id=busy' in self.path else 200)
        self.send_header('Content-Length', '0')
        self.end_headers()
    def log_message(self, *a):
        pass
s = http.server.HTTPServer(('127.0.0.1', int(sys.argv[2])), H)
c = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
c.load_cert_chain(d + '/server.pem', d + '/server.key')
s.socket = c.wrap_socket(s.socket, server_side=True)
print('port', s.server_address[1], flush=True)
s.serve_forever()
)";

}  // namespace

bool HttpsServer::start()
{
    const std::string d = dir.path;
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    if (!sh("command -v openssl && command -v python3"))
        return false;
    if (port == 0 &&
        !sh("cd " + d + " && openssl req -x509 " + ec + " -keyout ca.key -out ca.pem -days 2 -subj /CN=fleet-ca" +
            " && openssl req -x509 " + ec + " -keyout other.key -out other.pem -days 2 -subj /CN=fleet-ca" +
            " && openssl req " + ec + " -keyout server.key -out server.csr -subj /CN=localhost" +
            " && printf 'subjectAltName=DNS:localhost\\n' >ext" +
            " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2" +
            " -extfile ext -out server.pem"))
        return false;
    write_file(d + "/server.py", kServer);
    std::remove((d + "/server.log").c_str());  // a restart waits for its own line
    proc.start({"python3", d + "/server.py", d, std::to_string(port)}, {}, d + "/server.log");
    if (!proc.wait_log("\n", 10s))
        return false;
    port = std::atoi(proc.log().c_str() + 5);
    return port > 0;
}

std::string HttpsServer::requests() const
{
    return read_file(dir.path + "/requests");
}

}  // namespace th
