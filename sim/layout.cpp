// SPDX-License-Identifier: BSD-2-Clause
// Lays out a simulation root: directories, settings, GPIO and USB-serial stand-ins, the script.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "sim_core.h"

namespace {

bool make_dirs(const std::string& path)
{
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "gnssd-sim: mkdir %s: %s\n", part.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool write_text(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        std::fprintf(stderr, "gnssd-sim: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

// "\r" and "\n" escapes of a script reply.
std::string unescape(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char c = text[++i];
            out.push_back(c == 'r' ? '\r' : c == 'n' ? '\n' : c);
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool parse_reply(std::string_view text, ScriptReply* reply)
{
    if (text == "accept") {
        reply->action = ScriptAction::Accept;
    } else if (text == "refuse") {
        reply->action = ScriptAction::Refuse;
    } else if (text == "silent") {
        reply->action = ScriptAction::Silent;
    } else if (text.substr(0, 5) == "text:") {
        reply->action = ScriptAction::Text;
        reply->text = unescape(text.substr(5));
    } else if (text.substr(0, 5) == "slow:") {
        // slow:<ms> sends the module's usual answer byte by byte;
        // slow:<ms>:<reply> sends the given one.
        reply->action = ScriptAction::Slow;
        std::string_view rest = text.substr(5);
        std::size_t colon = rest.find(':');
        reply->delay_ms = std::atoi(std::string(rest.substr(0, colon)).c_str());
        if (colon != std::string_view::npos)
            reply->text = unescape(rest.substr(colon + 1));
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool sim_load_script(Sim* sim)
{
    if (sim->cfg.script.empty())
        return true;
    std::ifstream in(sim->cfg.script);
    if (!in) {
        std::fprintf(stderr, "gnssd-sim: cannot read script %s\n", sim->cfg.script.c_str());
        return false;
    }
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        std::string_view line = trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        std::size_t arrow = line.find("=>");
        ScriptReply reply;
        if (arrow == std::string_view::npos || !parse_reply(trim(line.substr(arrow + 2)), &reply)) {
            std::fprintf(stderr, "gnssd-sim: %s:%d: expected COMMAND => accept|refuse|silent|text:..|slow:..\n",
                         sim->cfg.script.c_str(), number);
            return false;
        }
        std::string command(trim(line.substr(0, arrow)));
        ScriptEntry* entry = nullptr;
        for (ScriptEntry& e : sim->script)
            if (e.command == command)
                entry = &e;
        if (entry == nullptr) {
            sim->script.push_back(ScriptEntry{command, {}, 0});
            entry = &sim->script.back();
        }
        entry->replies.push_back(reply);
    }
    return true;
}

bool sim_layout(Sim* sim)
{
    const std::string& root = sim->cfg.root;
    for (const char* dir :
         {"dev", "proc/tty/driver", "run/lock", "run/gps", "run/ppp", "opt/gps/etc", "usr/bin", "bin", "sim"})
        if (!make_dirs(root + "/" + dir))
            return false;
    // A ready file left by an earlier run must not announce this one early.
    unlink((root + "/sim/ready").c_str());

    const std::string settings = root + "/opt/gps/etc/settings";
    if (!sim->cfg.settings.empty() || access(settings.c_str(), F_OK) != 0) {
        std::string text;
        for (const auto& [key, value] : sim->cfg.settings)
            text += key + "=" + value + "\n";
        if (!write_text(settings, text))
            return false;
    }

    const Dialect* d = sim->dialect;
    const int board = sim->cfg.board != -2 ? sim->cfg.board : d->board_code;
    const int platform = sim->cfg.platform != -2 ? sim->cfg.platform : d->platform_id;
    std::string gpio;
    if (board >= 0)
        gpio += "board_code=" + std::to_string(board) + "\n";
    if (platform >= 0)
        gpio += "platform_id=" + std::to_string(platform) + "\n";
    if (!write_text(root + "/dev/gpio", gpio))
        return false;

    // The kernel's list; a driver built into the kernel has no module field,
    // which is the form the router's kernel prints.
    const uint32_t usb = sim->cfg.usb_given ? sim->cfg.usb_id : d->usb_id;
    std::string list = "usbserinfo:1.0 driver:2.0\n";
    if (usb != 0) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "8: name:\"GSM modem (1-port)\" vendor:%04x product:%04x num_ports:1 port:1 "
                      "path:usb-ci_hdrc.1-1.1\n",
                      usb >> 16, usb & 0xFFFF);
        list += line;
    }
    if (!write_text(root + "/proc/tty/driver/usbserial", list))
        return false;
    return sim_load_script(sim);
}
