// SPDX-License-Identifier: BSD-2-Clause
// Each family's own operations behind its record: the pieces its tests and
// the fuzz targets call one by one. The service reaches a family only
// through its record in the driver table.
#pragma once

#include <cstddef>

#include "drivers/drivers.h"

// AT^SGPSC family (PLS8, PLS83 and relatives).
extern "C" int is_pls8;
extern "C" int is_pls83;
int sgpsc_open(ReceiverLink* link);
void sgpsc_close(ReceiverLink* link);

// AT+QGPSCFG family.
int qgps_open(ReceiverLink* link);
void qgps_close(ReceiverLink* link);
// Judges a reply to a settings query: -1 when it names neither the setting
// nor its alternative name, 1 when it already holds the target value, else 0.
int qgps_value_check(const char* reply, const char* name, const char* alt_name, const char* target);

// AT!GPS family, with antenna input selection.
void atgps_install(const ModuleDriver* row);
void atgps_uninstall(const ModuleDriver* row);
int atgps_open(ReceiverLink* link);
void atgps_close(ReceiverLink* link);
// Prints the HTML warning that the receive diversity antenna is off while
// the AUX input is in use; returns the query's exit status otherwise.
int atgps_notice(const void* arg);
// Brings the module's GPSSEL setting in line with its model, the board and
// the antenna_input setting: 0 to go on, -1 after changing it or failing.
int atgps_antenna_check(const ReceiverLink* link);
// Takes and opens the control port into link->fd in up to `attempts` tries,
// calling pause(10) between failed tries and once after a late success.
int atgps_open_control(ReceiverLink* link, int attempts, void (*pause)(unsigned seconds));
// Judges the identity reply: 1 when tracking may start, 0 otherwise. text
// receives the firmware text for the message ("unknown" when there is none),
// cut to size.
int atgps_firmware_check(const char* reply, char* text, std::size_t size);

// AT$GPSP family.
int gpsp_open(ReceiverLink* link);
void gpsp_close(ReceiverLink* link);

// AT+GTGPSPOWER family.
int gtgps_open(ReceiverLink* link);
void gtgps_close(ReceiverLink* link);

// Stand-alone serial receiver on "/dev/ttyS1".
int standalone_open(ReceiverLink* link);
void standalone_close(ReceiverLink* link);

// $GPS_START family.
int gpsstart_open(ReceiverLink* link);
void gpsstart_close(ReceiverLink* link);
// Prints the same warning when the first integer of arg is non-zero.
int gpsstart_notice(const void* arg);
