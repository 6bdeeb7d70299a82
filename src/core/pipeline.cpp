// SPDX-License-Identifier: BSD-2-Clause
// The read loop and the consumer table: every sentence a read produces goes
// through interpretation once and then to each consumer in table order.
#include "core/pipeline.h"

#include <cstring>

#include "drivers/drivers.h"
#include "nmea/timesync.h"
#include "nmea/watchdog.h"
#include "outputs/files.h"
#include "outputs/fleet.h"
#include "outputs/rsock.h"
#include "outputs/snmp.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/stop.h"

namespace {

// While the receiver is ahead of the service (every read fills the buffer and
// more is waiting: a replay, a flood) the status files are brought up to date
// at most this often; they always are before the service waits for the
// receiver, so at the real pace every receiver cycle is written as it ends.
constexpr long long kFilesAheadMs = 1;

constexpr const char* kSerialPaths[kSerialOutputs] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"};

// --- local serial ports and the pseudo-terminal -------------------------------

void serial_open(Pipeline* p, int i)
{
    // Opened only when the first batch is written to them.
    const GpsSettings& st = *p->settings;
    const uint32_t enabled[kSerialOutputs] = {st.ep1_enabled, st.ep2_enabled, st.usbp_enabled};
    p->outputs[i] = SerialOutput{enabled[i], kSerialPaths[i], Fd{}};
}

// Every batch hook sees every read, also one that passed nothing on (the
// files may still be due); the outputs have nothing to do for it.
void local_batch(Pipeline* p, int i, const Batch& b)
{
    if (b.count > 0)
        output_writev(&p->outputs[i], b.line, b.count, b.bytes);
}

void serial_close(Pipeline* p, int i)
{
    output_close(&p->outputs[i]);
}

void pty_row_open(Pipeline* p, int)
{
    // Set up whether or not it is enabled: the setting only decides whether it is written.
    p->pty_exists = pty_open(&p->outputs[kPtyOutput], p->settings->pty_enabled) == 0;
}

void pty_row_close(Pipeline* p, int)
{
    if (p->pty_exists)
        pty_close(&p->outputs[kPtyOutput]);
    p->pty_exists = false;
}

// --- remote streams and the gpsd feed -------------------------------------------

// A stream whose settings cannot work stays off (settings_load said why).
void rsock_row_open(Pipeline* p, int i)
{
    const RemoteSocketSettings* r = i < kRemoteSocketCount ? &p->settings->rsock[i] : &p->settings->gpsd;
    p->sockets[i] = settings_stream_fault(r) ? nullptr : rsock_open(r);
}

// The remote streams copy each sentence; the identification sentence goes with the others.
void rsock_batch(Pipeline* p, int i, const Batch& b)
{
    for (int k = 0; k < b.count; ++k)
        rsock_write(p->sockets[i], static_cast<const char*>(b.line[k].iov_base), b.line[k].iov_len, b.moving[k]);
}

// The gpsd feed never carries the identification sentence and always counts as moving.
void gpsd_batch(Pipeline* p, int i, const Batch& b)
{
    for (int k = 0; k < b.count; ++k) {
        if (!b.is_fid[k])
            rsock_write(p->sockets[i], static_cast<const char*>(b.line[k].iov_base), b.line[k].iov_len, 1);
    }
}

void rsock_row_close(Pipeline* p, int i)
{
    rsock_close(p->sockets[i]);
    p->sockets[i] = nullptr;
}

// --- the fleet process -------------------------------------------------------------

void fleet_row_open(Pipeline* p, int)
{
    p->fleet = fleet_open(&p->settings->mqtt, &p->settings->http, p->settings->router_id, &p->receiver, p->version);
}

// It takes each read with the report it left; it frames the reads into cycles itself.
void fleet_batch(Pipeline* p, int, const Batch& b)
{
    if (b.count > 0)
        fleet_write(p->fleet, b.line, b.count, &p->state.report, static_cast<int>(p->state.moving), monotonic_ms());
}

void fleet_row_close(Pipeline* p, int)
{
    fleet_close(p->fleet);
    p->fleet = nullptr;
}

// --- the trap reporter, time synchronisation, the receiver's statistics -------------

void snmp_row_open(Pipeline* p, int)
{
    p->reporter = snmp_open(&p->settings->snmp);
}

void snmp_sentence(Pipeline* p, int, const Sentence& s)
{
    snmp_update(p->reporter, s.report, static_cast<int>(s.moving));
}

void snmp_row_close(Pipeline* p, int)
{
    snmp_close(p->reporter);
    p->reporter = nullptr;
}

void timesync_sentence(Pipeline* p, int, const Sentence& s)
{
    timesync_exec(&p->settings->timesync, s.report);
}

void stats_sentence(Pipeline* p, int, const Sentence& s)
{
    receiver_stats_sentence(&p->receiver, s.data, s.length, s.report);
}

void stats_relink(Pipeline* p, int)
{
    receiver_stats_link(&p->receiver, p->link);
}

// --- the status and location files ---------------------------------------------------

// Removed at start-up and at shutdown; a lost link leaves them (pages and
// scripts read them during the reopen, and the last known position is what
// the location file is for).
void files_row_reset(Pipeline*, int)
{
    nmea_files_remove();
}

void files_batch(Pipeline* p, int, const Batch&)
{
    if (!p->state.files_due)
        return;
    // A rewrite costs more than the sentences of a read: while the receiver
    // is ahead, the reads that follow at once are written together.
    const long long now = monotonic_ms();
    if (p->link->rx_more && now - p->files_at_ms < kFilesAheadMs)
        return;
    nmea_files_update(&p->state);
    p->files_at_ms = now;
}

}  // namespace

// Per-sentence consumers run in table order as each sentence is passed on,
// per-batch consumers after the whole read, the files last.
const Consumer kConsumers[] = {
    {"files", files_row_reset, nullptr, nullptr, nullptr, files_row_reset, 0, kOpenBeforeLink, kCloseAfterLink},
    {"receiver", nullptr, stats_sentence, nullptr, stats_relink, nullptr, 0, kOpenWithLink, kCloseAfterLink},
    {"snmp", snmp_row_open, snmp_sentence, nullptr, nullptr, snmp_row_close, 0, kOpenBeforeLink, kCloseAfterLink},
    {"timesync", nullptr, timesync_sentence, nullptr, nullptr, nullptr, 0, kOpenWithLink, kCloseAfterLink},
    {"ttyS0", serial_open, nullptr, local_batch, nullptr, serial_close, 0, kOpenWithLink, kCloseLocal},
    {"ttyS1", serial_open, nullptr, local_batch, nullptr, serial_close, 1, kOpenWithLink, kCloseLocal},
    {"ttyUSB0", serial_open, nullptr, local_batch, nullptr, serial_close, 2, kOpenWithLink, kCloseLocal},
    {"/dev/nmea", pty_row_open, nullptr, local_batch, nullptr, pty_row_close, kPtyOutput, kOpenWithLink, kCloseLocal},
    {"RSOCK1", rsock_row_open, nullptr, rsock_batch, nullptr, rsock_row_close, 0, kOpenWithLink, kCloseStreams},
    {"RSOCK2", rsock_row_open, nullptr, rsock_batch, nullptr, rsock_row_close, 1, kOpenWithLink, kCloseStreams},
    {"RSOCK3", rsock_row_open, nullptr, rsock_batch, nullptr, rsock_row_close, 2, kOpenWithLink, kCloseStreams},
    {"RSOCK4", rsock_row_open, nullptr, rsock_batch, nullptr, rsock_row_close, 3, kOpenWithLink, kCloseStreams},
    {"gpsd", rsock_row_open, nullptr, gpsd_batch, nullptr, rsock_row_close, kRemoteSocketCount, kOpenWithLink,
     kCloseStreams},
    {"fleet", fleet_row_open, nullptr, fleet_batch, nullptr, fleet_row_close, 0, kOpenWithLink, kCloseAfterLink},
    // Brought up to date after every output has the read.
    {"status files", nullptr, nullptr, files_batch, nullptr, nullptr, 0, kOpenWithLink, kCloseAfterLink},
};
const int kConsumerCount = static_cast<int>(sizeof kConsumers / sizeof kConsumers[0]);

void pipeline_build_fid(Pipeline* p)
{
    const char* id = p->settings->router_id != nullptr ? p->settings->router_id : "";
    const std::size_t id_len = strnlen(id, kRouterIdMax);
    char* out = p->fid;
    std::memcpy(out, "$GPFID,", 7);
    out += 7;
    std::memcpy(out, id, id_len);
    out += id_len;
    std::memcpy(out, "\r\n", 3);  // with the terminating NUL: 7 + 1014 + 3 = 1024
    p->fid_len = 7 + id_len + 2;
}

void pipeline_open(Pipeline* p, int open_stage)
{
    for (const Consumer& c : kConsumers) {
        if (c.open_stage == open_stage && c.open != nullptr)
            c.open(p, c.index);
    }
}

void pipeline_close(Pipeline* p, int close_stage)
{
    for (const Consumer& c : kConsumers) {
        if (c.close_stage == close_stage && c.close != nullptr)
            c.close(p, c.index);
    }
}

void pipeline_use_link(Pipeline* p, ReceiverLink* link)
{
    p->link = link;
    nmea_state_open(&p->state, link);
    for (const Consumer& c : kConsumers) {
        if (c.relink != nullptr)
            c.relink(p, c.index);
    }
}

namespace {

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

}  // namespace

void pipeline_read(Pipeline* p)
{
    Batch& b = p->batch;
    b.count = 0;
    b.bytes = 0;
    ReceiverLink* const link = p->link;
    int n;
    while ((n = nmea_next(link)) > 0) {
        const char* const data = nmea_sentence(link);
        if (!nmea_interpret(&p->state, link)) {
            nmea_consume(link);
            continue;
        }
        const auto len = static_cast<std::size_t>(n);
        batch_add(&b, data, len, p->state.moving, false);
        if (p->settings->sri_enabled && nmea_fid_follows(&p->state, data, len))
            batch_add(&b, p->fid, p->fid_len, p->state.moving, true);
        const Sentence s{data, len, &p->state.report, p->state.moving};
        for (const Consumer& c : kConsumers) {
            if (c.sentence != nullptr)
                c.sentence(p, c.index, s);
        }
        nmea_consume(link);
    }
    for (const Consumer& c : kConsumers) {
        if (c.batch != nullptr)
            c.batch(p, c.index, b);
    }
}

ReceiverLink* pipeline_open_link(const GpsSettings& st, volatile sig_atomic_t* running)
{
    for (;;) {
        // After a stop request no new link is opened.
        if (!*running)
            return nullptr;
        // Looked up afresh each time: a module re-enumerating on USB may come back as another.
        const LinkOptions options = {.antenna_input = st.antenna_input,
                                     .antenna_active = st.antenna_active,
                                     .date_fix_enabled = st.date_fix_enabled,
                                     .reset_enabled = st.reset_enabled,
                                     .reset_timeout = st.reset_timeout};
        ReceiverLink* link = link_open(driver_find(), options);
        if (link != nullptr)
            return link;
        if (!*running)
            return nullptr;
        if (!plat_pause(1) || !*running)
            return nullptr;
    }
}

void pipeline_run(Pipeline* p, volatile sig_atomic_t* running)
{
    // Set by a reopen until the first sentence: the operator who saw "no data
    // from GPS" learns when it is over.
    bool reopened = false;
    while (*running) {
        if (p->link == nullptr)
            break;
        if (location_watchdog(&p->state, p->link) == 0 && nmea_read(p->link) == 0) {
            pipeline_read(p);
            if (reopened && p->batch.count > 0) {
                log_msg(LOG_NOTICE, "data from GPS again");
                reopened = false;
            }
            continue;
        }
        if (!*running)
            break;
        log_msg(LOG_WARNING, "no data from GPS");
        link_close(p->link);
        p->link = nullptr;
        // The status and location files stay; the status file's time tells a
        // reader how old it is.
        (void)plat_pause(1);
        pipeline_use_link(p, pipeline_open_link(*p->settings, running));
        reopened = true;
    }
}
