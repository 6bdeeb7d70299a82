// SPDX-License-Identifier: BSD-2-Clause
// gnssd-sim entry point: command line of the router simulator.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_core.h"

namespace {

void usage()
{
    std::fprintf(stderr,
                 "usage: gnssd-sim --root DIR [--family NAME] [options]\n"
                 "       gnssd-sim server ...\n"
                 "  --family NAME       module family (default gpsstart):");
    for (const Dialect* const* d = kDialects; *d != nullptr; ++d)
        std::fprintf(stderr, " %s", (*d)->name);
    std::fprintf(stderr,
                 "\n"
                 "  --set KEY=VALUE     settings-file line (repeatable)\n"
                 "  --board N           GPIO board code (-1: no line)\n"
                 "  --platform N        GPIO platform id (-1: no line)\n"
                 "  --usb VVVV:PPPP     USB id listed for port 8 (none: no line)\n"
                 "  --outputs           pseudo-terminals at dev/ttyS0, dev/ttyS1, dev/ttyUSB0\n"
                 "  --capture FILE      replay a capture instead of the synthetic drive\n"
                 "  --fast              replay as fast as the port takes it\n"
                 "  --rate N            receiver cycles per second of a paced stream (default 1)\n"
                 "  --loop              start the capture again at its end\n"
                 "  --script FILE       control-port answers: COMMAND => accept|refuse|silent|text:..|slow:MS\n"
                 "  --opt KEY=VALUE     option of the module family (repeatable)\n");
}

bool split_pair(const char* text, std::string* key, std::string* value)
{
    const char* eq = std::strchr(text, '=');
    if (eq == nullptr || eq == text)
        return false;
    key->assign(text, static_cast<std::size_t>(eq - text));
    value->assign(eq + 1);
    return true;
}

bool parse_int(const char* text, int* out)
{
    char* end = nullptr;
    long v = std::strtol(text, &end, 0);
    if (end == text || *end != '\0')
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool parse_usb(const char* text, SimConfig* cfg)
{
    cfg->usb_given = true;
    if (std::strcmp(text, "none") == 0) {
        cfg->usb_id = 0;
        return true;
    }
    unsigned vendor = 0, product = 0;
    char tail = 0;
    if (std::sscanf(text, "%x:%x%c", &vendor, &product, &tail) != 2 || vendor > 0xFFFF || product > 0xFFFF)
        return false;
    cfg->usb_id = vendor << 16 | product;
    return true;
}

// Fills cfg; false on a malformed command line.
bool parse(int argc, char** argv, SimConfig* cfg)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        const char* v = has_value ? argv[i + 1] : nullptr;
        std::string key, value;
        if (a == "--outputs") {
            cfg->outputs = true;
        } else if (a == "--fast") {
            cfg->fast = true;
        } else if (a == "--loop") {
            cfg->loop = true;
        } else if (!has_value) {
            std::fprintf(stderr, "gnssd-sim: %s needs a value\n", a.c_str());
            return false;
        } else if (a == "--root") {
            cfg->root = v;
            ++i;
        } else if (a == "--family") {
            cfg->family = v;
            ++i;
        } else if (a == "--capture") {
            cfg->capture = v;
            ++i;
        } else if (a == "--script") {
            cfg->script = v;
            ++i;
        } else if (a == "--set" && split_pair(v, &key, &value)) {
            cfg->settings.emplace_back(key, value);
            ++i;
        } else if (a == "--opt" && split_pair(v, &key, &value)) {
            cfg->options[key] = value;
            ++i;
        } else if (a == "--rate" && parse_int(v, &cfg->rate) && cfg->rate >= 1 && cfg->rate <= 1000) {
            ++i;
        } else if (a == "--board" && parse_int(v, &cfg->board)) {
            ++i;
        } else if (a == "--platform" && parse_int(v, &cfg->platform)) {
            ++i;
        } else if (a == "--usb" && parse_usb(v, cfg)) {
            ++i;
        } else {
            std::fprintf(stderr, "gnssd-sim: bad argument %s\n", a.c_str());
            return false;
        }
    }
    while (cfg->root.size() > 1 && cfg->root.back() == '/')
        cfg->root.pop_back();
    if (cfg->root.empty()) {
        std::fprintf(stderr, "gnssd-sim: --root is required\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "server") == 0)
        return netserver_main(argc - 1, argv + 1);
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage();
        return 0;
    }
    static Sim sim;
    if (!parse(argc, argv, &sim.cfg)) {
        usage();
        return 2;
    }
    for (const Dialect* const* d = kDialects; *d != nullptr; ++d)
        if (sim.cfg.family == (*d)->name)
            sim.dialect = *d;
    if (sim.dialect == nullptr) {
        std::fprintf(stderr, "gnssd-sim: unknown family %s\n", sim.cfg.family.c_str());
        usage();
        return 2;
    }
    // Paths inside the root are made absolute so that links and files stay
    // valid whatever the working directory of the daemon.
    if (sim.cfg.root[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        if (cwd != nullptr) {
            sim.cfg.root = std::string(cwd) + "/" + sim.cfg.root;
            std::free(cwd);
        }
    }
    return sim_run(&sim);
}
