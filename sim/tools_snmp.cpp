// SPDX-License-Identifier: BSD-2-Clause
// Stand-in snmptrap and "/usr/bin/status" tools of the simulated router.
//
// ROOT/bin/snmptrap (first on the daemon's PATH) appends each argument on a
// line of ROOT/sim/snmptrap.log, escaped so that any argument stays one line
// ("\" as "\\", line feed as "\n", carriage return as "\r"), then the line
// "\end <epoch seconds>.<nanoseconds>", which no escaped argument can be. It
// exits with the number in ROOT/sim/snmptrap.exit (0 when missing).
//
// ROOT/usr/bin/status appends its arguments as one line to
// ROOT/sim/status.log; for "-v sys" it prints "Product Name: <name>" with the
// first line of ROOT/sim/product (kDefaultProduct when missing).
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "sim.h"

namespace {

constexpr const char* kDefaultProduct = "RTR-5200";

// The root as one single-quoted shell word.
std::string shell_quote(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

bool write_script(const std::string& path, const std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    bool ok = std::fputs(text.c_str(), f) >= 0;
    ok = std::fclose(f) == 0 && ok;
    return ok && chmod(path.c_str(), 0755) == 0;
}

const char* const kSnmptrapBody = R"SH(
mkdir -p "$R/sim"
awk -- 'BEGIN {
    for (i = 1; i < ARGC; i++) {
        s = ARGV[i]; out = ""
        n = length(s)
        for (j = 1; j <= n; j++) {
            c = substr(s, j, 1)
            if (c == "\\") c = "\\\\"
            else if (c == "\n") c = "\\n"
            else if (c == "\r") c = "\\r"
            out = out c
        }
        print out
    }
    exit
}' "$@" >> "$R/sim/snmptrap.log"
# The exit code is read before the record ends: a test that sees the end
# may change the file for the next trap at once.
code=$(head -n 1 "$R/sim/snmptrap.exit" 2>/dev/null)
case "$code" in
    ''|*[!0-9]*) code=0 ;;
esac
printf '\\end %s\n' "$(date +%s.%N)" >> "$R/sim/snmptrap.log"
exit "$code"
)SH";

const char* const kStatusBody = R"SH(
mkdir -p "$R/sim"
echo "$*" >> "$R/sim/status.log"
if [ "$1" = "-v" ] && [ "$2" = "sys" ]; then
    name=$(head -n 1 "$R/sim/product" 2>/dev/null)
    [ -n "$name" ] || name=__DEFAULT__
    echo "Serial Number: 1000001"
    echo "Product Name: $name"
    echo "Firmware Version: 6.3.2"
fi
exit 0
)SH";

}  // namespace

void tools_install_snmp(Sim* sim)
{
    const std::string& root = sim_root(sim);
    const std::string head = "#!/bin/sh\nR=" + shell_quote(root) + "\n";
    mkdir((root + "/bin").c_str(), 0755);
    mkdir((root + "/usr").c_str(), 0755);
    mkdir((root + "/usr/bin").c_str(), 0755);
    mkdir((root + "/sim").c_str(), 0755);
    write_script(root + "/bin/snmptrap", head + "# Stand-in snmptrap: records its arguments." + kSnmptrapBody);
    std::string status = kStatusBody;
    status.replace(status.find("__DEFAULT__"), 11, kDefaultProduct);
    write_script(root + "/usr/bin/status", head + "# Stand-in status tool." + status);
}
