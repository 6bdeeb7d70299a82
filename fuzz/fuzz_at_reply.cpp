// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes what a module may answer to an AT command: the reply collection of
// at_command (fed through a socket pair that ends after the input), then
// each driver's judgement of that reply text (the AT!GPS firmware revision,
// the AT+QGPSCFG current values).
//
// Input: the module's reply bytes.
#include <fcntl.h>
#include <sys/socket.h>

#include <string>

#include "drivers/at_common.h"
#include "drivers/families.h"
#include "fuzz_common.h"
#include "receiver/at.h"
#include "receiver/link.h"
#include "receiver/serial.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::make_root();
    return 0;
}

namespace {

void judge(const char* reply)
{
    // The identity reply of the AT!GPS family, with buffers too small, just
    // right and roomy: the firmware text must stay inside each.
    for (std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{8}, std::size_t{64}}) {
        char text[65];
        std::memset(text, 0x5A, sizeof text);
        const int ok = atgps_firmware_check(reply, text, size);
        if ((ok != 0 && ok != 1) || std::memchr(text, '\0', size) == nullptr)
            std::abort();
        for (std::size_t i = size; i < sizeof text; ++i)
            if (text[i] != 0x5A)
                std::abort();  // written past the given size
    }
    // The AT+QGPSCFG family reading a current value: a text value, a number,
    // and the setting some firmware reports under another name.
    struct Row {
        const char* name;
        const char* alt_name;
        const char* target;
    };
    for (const Row& row : {Row{"outport", nullptr, "usbnmea"}, Row{"gpsnmeatype", nullptr, "31"},
                           Row{"beidounmeatype", "pqnmeatype", "0"}}) {
        const int check = qgps_value_check(reply, row.name, row.alt_name, row.target);
        const bool named = std::strstr(reply, row.name) || (row.alt_name && std::strstr(reply, row.alt_name));
        if (check < -1 || check > 1 || (check == -1) == named)
            std::abort();
    }
}

}  // namespace

// The common AT sequence judging a reply and quoting it in its failure
// message (the log mirror escapes the reply's line ends); a refusal sends the
// clean-up command, whose reply is then empty.
constexpr AtStep kSteps[] = {
    {.command = "AT+QGPS=1\r",
     .failure = "cannot enable Engine (\"%s\")",
     .on_refusal = "AT+QGPSEND\r",
     .keep_going = true},
    {.command = "AT!GPSTRACK=1,120,50,1000,1\r", .expect = nullptr},
};

// Fresh socket pair holding the reply bytes and then end of file.
bool reply_pair(const uint8_t* data, size_t size, int sv[2])
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return false;
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    size_t off = 0;
    while (off < size) {
        ssize_t n = write(sv[1], data + off, size - off);
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
    shutdown(sv[1], SHUT_WR);
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        int sv[2];
        if (reply_pair(data, size, sv)) {
            static ReceiverLink link;
            std::memset(&link, 0, sizeof link);
            link.fd = sv[0];
            (void)at_run_steps(&link, kSteps);
            close(sv[0]);
            close(sv[1]);
        }
    }
    // The module has said all it will: the collection ends at end of file
    // instead of waiting out the quiet time.
    int sv[2];
    if (!reply_pair(data, size, sv))
        return 0;
    const char* reply = at_command(sv[0], "AT\r", 1);
    close(sv[0]);
    close(sv[1]);
    if (!reply)
        std::abort();
    const size_t len = std::strlen(reply);
    if (len > 8191 || len > size)
        std::abort();  // at most 8191 reply bytes, and only bytes that came
    judge(reply);

    // The judgements also see the input whole, longer than the 8191 bytes a
    // collected reply can hold.
    const std::string whole(reinterpret_cast<const char*>(data), size);
    judge(whole.c_str());
    return 0;
}
