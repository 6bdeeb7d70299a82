// Operations of every module family, as the driver table names them.
#pragma once

struct ModuleDriver;
struct ReceiverLink;

// AT^SGPSC family (PLS8, PLS83 and relatives).
extern "C" int is_pls8;
extern "C" int is_pls83;
int sgpsc_open(ReceiverLink* link);
void sgpsc_close(ReceiverLink* link);

// AT+QGPSCFG family.
int qgps_open(ReceiverLink* link);
void qgps_close(ReceiverLink* link);

// AT!GPS family, with antenna input selection.
void atgps_install(const ModuleDriver* row);
void atgps_uninstall(const ModuleDriver* row);
int atgps_open(ReceiverLink* link);
void atgps_close(ReceiverLink* link);
int atgps_notice(const void* arg);

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
int gpsstart_notice(const void* arg);
