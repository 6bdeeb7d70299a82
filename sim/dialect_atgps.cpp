// SPDX-License-Identifier: BSD-2-Clause
// Simulated AT!GPS module and the router's gsmat, gsmpwr and service tools that reach it.
//
// The module's state lives in files under ROOT/sim so that the stand-in tools
// (shell scripts in ROOT/bin, first on the daemon's PATH) and the control port
// see the same module:
//   atgps-model     model name in the identity ("MC7710"; option model=)
//   atgps-firmware  revision in the identity (option firmware=)
//   atgps-gpssel    1 while the GPSSEL custom setting is listed (option gpssel=0|1)
//   atgps-fixed     1: the module ignores GPSSEL changes, as some MC8705 do
//                   (option gpssel_fixed=1)
//   atgps-power     on | off (gsmpwr)
//   atgps-cnd       present while the hidden command mode is entered
//   atgps-crash     an AT command on which gsmat dies by SIGKILL after
//                   logging the call, as a broken tool would; absent normally
//   atgps-hang      an AT command on which gsmat never ends: it ignores
//                   SIGTERM and waits on a child "sleep" whose process id it
//                   writes to atgps-hang.pid (option gsmat_hang=); absent
//                   normally
//   atgps-pwr-fail  how many "gsmpwr on" calls still fail (exit 1, the
//                   module stays off); absent normally
// Every tool call is appended to ROOT/sim/tools.log as its command words
// ("gsmat AT!CUSTOM?", "gsmpwr off", "service ppp stop"). Powering the module
// off and on unplugs and re-plugs its ports through the simulator's control
// FIFO, as a real module re-enumerates on USB.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "sim.h"

namespace {

const char* const kPorts[] = {"/dev/ttyUSB7", "/dev/ttyUSB8", nullptr};
constexpr const char* kControl = "/dev/ttyUSB8";
constexpr const char* kDataPort = "/dev/ttyUSB7";

std::mutex g_mutex;
std::string g_window;  // latest bytes of the data port, for the switch texts

std::string state_path(Sim* sim, const char* name)
{
    return sim_root(sim) + "/sim/" + name;
}

std::string read_state(Sim* sim, const char* name)
{
    std::ifstream in(state_path(sim, name));
    std::string text;
    std::getline(in, text);
    return text;
}

void write_state(Sim* sim, const char* name, const std::string& value)
{
    std::ofstream out(state_path(sim, name), std::ios::trunc);
    out << value << "\n";
}

std::string shell_quote(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

void write_tool(Sim* sim, const char* name, const std::string& body)
{
    const std::string path = sim_root(sim) + "/bin/" + name;
    std::ofstream out(path, std::ios::trunc);
    out << "#!/bin/sh\n"
        << "# Stand-in for the router's " << name << " tool, acting on the simulated module.\n"
        << "S=" << shell_quote(sim_root(sim) + "/sim") << "\n"
        << "printf '%s\\n' \"" << name << " $*\" >> \"$S/tools.log\"\n"
        << body;
    out.close();
    chmod(path.c_str(), 0755);
}

// The identity as both the control port and gsmat print it.
std::string identity(Sim* sim, const char* eol)
{
    std::ostringstream out;
    out << "Manufacturer: Simulated Wireless" << eol << "Model: " << read_state(sim, "atgps-model") << eol
        << "Revision: " << read_state(sim, "atgps-firmware") << eol << "IMEI: 359000000000000" << eol << eol << "OK"
        << eol;
    return out.str();
}

void install_tools(Sim* sim)
{
    write_tool(
        sim, "gsmat",
        "[ \"$(cat \"$S/atgps-crash\" 2>/dev/null)\" = \"$1\" ] && kill -KILL $$\n"
        "if [ \"$(cat \"$S/atgps-hang\" 2>/dev/null)\" = \"$1\" ]; then\n"
        "    trap '' TERM\n"
        "    sleep 600 &\n"
        "    echo $! > \"$S/atgps-hang.pid\"\n"
        "    wait\n"
        "fi\n"
        "[ \"$(cat \"$S/atgps-power\")\" = off ] && { echo 'ERROR: no module'; exit 1; }\n"
        "case \"$1\" in\n"
        "ATI)\n"
        "    printf 'Manufacturer: Simulated Wireless\\nModel: %s\\nRevision: %s\\nIMEI: 359000000000000\\n\\nOK\\n' \\\n"
        "        \"$(cat \"$S/atgps-model\")\" \"$(cat \"$S/atgps-firmware\")\" ;;\n"
        "'AT!CUSTOM?')\n"
        "    echo '!CUSTOM:'\n"
        "    [ \"$(cat \"$S/atgps-gpssel\")\" = 1 ] && echo '          GPSSEL              0x01'\n"
        "    printf '\\nOK\\n' ;;\n"
        "'AT!ENTERCND=\"K953\"')\n"
        "    : > \"$S/atgps-cnd\"; echo OK ;;\n"
        "'AT!CUSTOM=\"GPSSEL\",1' | 'AT!CUSTOM=\"GPSSEL\",0')\n"
        "    [ -e \"$S/atgps-cnd\" ] || { echo ERROR; exit 0; }\n"
        "    [ \"$(cat \"$S/atgps-fixed\")\" = 1 ] || echo \"${1##*,}\" > \"$S/atgps-gpssel\"\n"
        "    echo OK ;;\n"
        "*)\n"
        "    echo ERROR ;;\n"
        "esac\n"
        "exit 0\n");
    write_tool(sim, "gsmpwr",
               "case \"$1\" in\n"
               "off)\n"
               "    echo off > \"$S/atgps-power\"; rm -f \"$S/atgps-cnd\"\n"
               "    [ -p \"$S/ctl\" ] && echo unplug > \"$S/ctl\" ;;\n"
               "on)\n"
               "    n=$(cat \"$S/atgps-pwr-fail\" 2>/dev/null)\n"
               "    if [ \"${n:-0}\" -gt 0 ]; then\n"
               "        echo $((n - 1)) > \"$S/atgps-pwr-fail\"; echo 'gsmpwr: no answer' >&2; exit 1\n"
               "    fi\n"
               "    echo on > \"$S/atgps-power\"\n"
               "    [ -p \"$S/ctl\" ] && echo plug > \"$S/ctl\" ;;\n"
               "esac\n"
               "exit 0\n");
    write_tool(sim, "service", "exit 0\n");
}

void init(Sim* sim)
{
    std::lock_guard lock(g_mutex);
    g_window.clear();
    write_state(sim, "atgps-model", sim_option(sim, "model", "MC7710"));
    write_state(sim, "atgps-firmware", sim_option(sim, "firmware", "SWI9200X_03.05.29.03ap"));
    write_state(sim, "atgps-gpssel", sim_option(sim, "gpssel", "0"));
    write_state(sim, "atgps-fixed", sim_option(sim, "gpssel_fixed", "0"));
    write_state(sim, "atgps-power", "on");
    std::remove(state_path(sim, "atgps-cnd").c_str());
    for (const char* name : {"atgps-crash", "atgps-hang", "atgps-hang.pid", "atgps-pwr-fail"})
        std::remove(state_path(sim, name).c_str());
    const std::string hang = sim_option(sim, "gsmat_hang", "");
    if (!hang.empty())
        write_state(sim, "atgps-hang", hang);
    install_tools(sim);
}

void on_line(Sim* sim, const char* port, std::string_view line)
{
    if (std::strcmp(port, kControl) != 0 || line.empty())
        return;
    std::lock_guard lock(g_mutex);
    if (line == "ATI")
        sim_answer(sim, port, line, "\r\n" + identity(sim, "\r\n"));
    else if (line == "AT" || line == "AT!GPSEND=0" || line == "AT!GPSTRACK=1,120,50,1000,1")
        sim_answer(sim, port, line, "\r\nOK\r\n");
    else
        sim_answer(sim, port, line, "\r\nERROR\r\n");
}

// "$GPS_START" and "$GPS_STOP" come without a line end, possibly split over
// reads: match them in a short window of the latest bytes.
void on_bytes(Sim* sim, const char* port, std::string_view bytes)
{
    if (std::strcmp(port, kDataPort) != 0)
        return;
    std::lock_guard lock(g_mutex);
    sim_stream_switch(sim, g_window, bytes);
}

}  // namespace

extern const Dialect kDialectAtgps;
const Dialect kDialectAtgps = {"atgps", 0x119968C0, 4, -1, kPorts, kDataPort, init, on_line, on_bytes};
