// The UpsStatus record and the poll that fills it from the open UPS. Only the
// monitor thread polls, into its own working record; everyone else reads copies.
#pragma once
#include <windows.h>

enum { UPS_NAME_UNITS = 64 };

// One complete reading of the UPS. Value fields hold -1 when not reported.
struct UpsStatus {
    INT32 Present;            // 1 when the last poll read charge, runtime, load, ACPresent or Discharging
    INT32 AcPresent;          // mains present
    INT32 OnBattery;          // 1 exactly when AcPresent is 0
    INT32 Charging;
    INT32 Discharging;
    INT32 ShutdownImminent;
    INT32 BelowCapacityLimit;
    INT32 NeedsReplacement;
    INT32 Overload;
    INT32 ChargePercent;      // 0..100
    INT32 RuntimeSeconds;     // as the UPS reports it
    INT32 LoadPercent;        // 0..100
    INT32 InputVoltage;       // tenths of a volt, 800 and up
    INT32 CapacityWatts;      // 1..99999
    INT32 LoadWatts;          // CapacityWatts * LoadPercent / 100
    WCHAR Manufacturer[UPS_NAME_UNITS];
    WCHAR Product[UPS_NAME_UNITS];
};

// The length of a name field up to its terminator or the field's end: the
// record is not trusted to be terminated.
int UpsNameLength(const WCHAR* name);

// All zero, then the six value fields -1: no UPS, flags clear, names empty.
void ResetStatus(UpsStatus* status);

// Reads every mapped usage into status, one feature request per report;
// returns the new Present (1 or 0), or 0 without touching the record when no
// poll can start.
INT32 PollUps(UpsStatus* status);

// The reads a poll is made of are in ups/report_read.h.
