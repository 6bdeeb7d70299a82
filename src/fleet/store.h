// SPDX-License-Identifier: BSD-2-Clause
// The fleet store: positions that wait for the fleet's backends, kept on flash across power cuts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

struct StoreSettings;

// The outputs a record waits for, one bit each; a record goes once every
// output it was appended for is done with it.
inline constexpr uint32_t kStoreMqtt = 1;
inline constexpr uint32_t kStoreHttp = 2;

// The longest record the store takes (a position object is some 200 bytes).
inline constexpr std::size_t kStorePayloadMax = 2048;

inline constexpr const char* kStorePathDefault = "/opt/gps/var/fleet.db";
inline constexpr uint32_t kStoreSizeDefaultKib = 8192;
inline constexpr uint32_t kStoreSyncDefaultSec = 5;
// A longer period is taken as this one (a day).
inline constexpr uint32_t kStoreSyncMaxSec = 86400;
// Below this the store's own tables and one commit would not fit.
inline constexpr uint32_t kStoreSizeMinKib = 64;

// Settings with every default filled in, as the store uses them.
struct StoreConfig {
    char path[kPlatPathMax];   // opened as given: relative to the working directory
    char shown[kPlatPathMax];  // the path messages and the status name; "": path
    uint64_t size_bytes;       // the files together; 0: memory only
    uint32_t sync_ms;          // between commits; 0: at every tick
    uint32_t memory_limit;     // records held in memory at once; 0: the MQTT backlog's default
};

// Fills config from the MOD_GPS_STORE_* keys.
void store_config(const StoreSettings* settings, StoreConfig* config);

struct FleetStore;

// Opens (or makes) the store at config->path. A file that cannot be opened
// as a store, is some other database or fails its integrity check is moved
// aside to path + ".corrupt" (logged) and a fresh store takes its place; a
// flash that is full or read-only is logged once and the store keeps its
// records in memory. nullptr only without memory.
[[nodiscard]] FleetStore* store_open(const StoreConfig* config, long long now_ms);

// Takes a record for the outputs in targets (kStoreMqtt | kStoreHttp).
// Returns its sequence number, strictly increasing across restarts of the
// router; 0 when the record is refused (no target, empty or longer than
// kStorePayloadMax). It reaches flash only if it still waits at the next
// commit.
uint64_t store_append(FleetStore* store, uint32_t targets, const char* payload, std::size_t length, long long now_ms);

// The number the next record taken will get, for the payload to carry it
// ("seq" of a position object).
uint64_t store_peek_seq(const FleetStore* store);

// One record as store_next hands it out; payload stays valid until the
// next call on the store.
struct StoreRecord {
    uint64_t seq;
    const char* payload;
    std::size_t length;
};

// The oldest record that target still waits for with a sequence number above
// after. 1 when *out was filled, 0 when there is none.
int store_next(FleetStore* store, uint32_t target, uint64_t after, StoreRecord* out);

// target is done with record seq (the backend has it). A sequence number the
// store no longer holds is ignored.
void store_done(FleetStore* store, uint32_t target, uint64_t seq);

// Commits to flash what still waits, at most once every sync_ms, and keeps
// the files within size_bytes (the oldest records go first, counted).
void store_tick(FleetStore* store, long long now_ms);

// A snapshot for the status report.
struct StoreStatus {
    const char* path;
    const char* state;  // flash; memory (no flash store); fallback (flash failed, memory)
    uint64_t pending;   // records some output still waits for
    uint64_t dropped;   // records given up to stay within the bounds
    uint64_t bytes;     // the store's files on flash
    long long since_commit_s;
};
StoreStatus store_status(const FleetStore* store, long long now_ms);

// Commits everything still waiting (a clean stop) and frees the store.
void store_close(FleetStore* store, long long now_ms);
