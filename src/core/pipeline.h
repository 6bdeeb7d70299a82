// SPDX-License-Identifier: BSD-2-Clause
// The read loop and the one table of everything that takes what a read produces.
#pragma once

#include <sys/uio.h>

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "core/settings.h"
#include "nmea/interpret.h"
#include "nmea/reader.h"
#include "outputs/local.h"
#include "outputs/report.h"
#include "receiver/link.h"

struct RemoteSocket;
struct SnmpReporter;
struct FleetHandoff;

// The identification sentence: "$GPFID," + router id + "\r\n" in 1024 bytes.
inline constexpr std::size_t kFidSize = 1024;
inline constexpr std::size_t kRouterIdMax = 1014;

inline constexpr int kSerialOutputs = 3;
inline constexpr int kLocalOutputs = 4;
inline constexpr int kPtyOutput = 3;
// Four remote streams, then the gpsd feed.
inline constexpr int kSockets = kRemoteSocketCount + 1;
// The sentences of one read, each followed by the identification sentence
// when it is an RMC: at most one per 4 bytes of a receive buffer
// ("$*\r\n"), and one identification per 9 ("$GPRMC*\r\n").
inline constexpr int kBatchMax = kRxBufferSize / 4 + kRxBufferSize / 9 + 1;

// The sentences of one read, in the order they are handed on. They stay in
// place in the link's receive buffer until every consumer has taken them.
struct Batch {
    struct iovec line[kBatchMax];  // each sentence, or the identification sentence behind an RMC
    uint8_t moving[kBatchMax];     // the moving flag after that sentence
    uint8_t is_fid[kBatchMax];
    int count;
    std::size_t bytes;
};

// One sentence that interpretation passed on, with what it left behind.
struct Sentence {
    const char* data;
    std::size_t length;
    const PositionReport* report;
    uint32_t moving;
};

// Everything the read loop and its consumers own from start-up to shutdown.
struct Pipeline {
    const GpsSettings* settings;
    const char* version;
    char fid[kFidSize];
    std::size_t fid_len;
    SerialOutput outputs[kLocalOutputs];
    bool pty_exists;
    RemoteSocket* sockets[kSockets];
    FleetHandoff* fleet;
    SnmpReporter* reporter;
    ReceiverStats receiver;
    ReceiverLink* link;
    ReceiverState state;  // what the current link's sentences said
    Batch batch;
    long long files_at_ms;  // when the status files were last brought up to date
};

// When a consumer opens: before the receiver link (it serves the module's
// start-up as well) or once the link is open.
inline constexpr int kOpenBeforeLink = 0;
inline constexpr int kOpenWithLink = 1;
// Consumers close stage by stage, in table order within one. The remote
// streams and the gpsd feed go first, then the serial ports with their locks,
// the pseudo-terminal and "/dev/nmea": a script that waits for "/dev/nmea" to
// go knows that every output has gone. What needs no module (the fleet
// process, the files, the trap reporter) goes after the link, so that a
// consumer that is slow to stop never holds up the module's stop sequence.
inline constexpr int kCloseStreams = 0;
inline constexpr int kCloseLocal = 1;
inline constexpr int kCloseAfterLink = 2;
inline constexpr int kCloseStages = 3;

// One consumer. A new output is one file in src/outputs, one row here and
// its settings record; nullptr hooks mean "none".
struct Consumer {
    const char* name;
    void (*open)(Pipeline* p, int index);
    void (*sentence)(Pipeline* p, int index, const Sentence& s);  // each sentence passed on
    void (*batch)(Pipeline* p, int index, const Batch& b);        // the sentences of one read
    void (*relink)(Pipeline* p, int index);                       // a link opened or went (p->link)
    void (*close)(Pipeline* p, int index);
    int index;
    int open_stage;
    int close_stage;
};

extern const Consumer kConsumers[];
extern const int kConsumerCount;

// Makes the identification sentence from the router id.
void pipeline_build_fid(Pipeline* p);
// Opens the consumers of one open stage.
void pipeline_open(Pipeline* p, int open_stage);
// Uses a freshly opened link (or none): a fresh report, and every consumer
// that follows the link learns of it.
void pipeline_use_link(Pipeline* p, ReceiverLink* link);
// Takes every whole sentence of the last read through interpretation, to the
// per-sentence consumers and into the batch, then hands the batch on.
void pipeline_read(Pipeline* p);
// Reads until a stop request (*running cleared) or until no link can be
// opened; reopens a silent or fixless link.
void pipeline_run(Pipeline* p, volatile sig_atomic_t* running);
// Closes the consumers of one close stage.
void pipeline_close(Pipeline* p, int close_stage);

// Opens a link with the settings, retrying with a 1-second pause for as long
// as *running stays set; nullptr once it is cleared.
ReceiverLink* pipeline_open_link(const GpsSettings& st, volatile sig_atomic_t* running);
