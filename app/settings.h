// The shutdown settings and the balloon switch, read once from HKCU\Software\Quillfen\Corvane at
// start, before the monitor thread exists, and only read afterwards.
#pragma once
#include <windows.h>

extern INT32 RuntimeThresholdSeconds;   // default 300, 0..3600
extern INT32 ChargeThresholdPercent;    // default 20, 0..100
extern INT32 GraceSeconds;              // default 30, 0..600
extern INT32 NotificationsEnabled;      // 1 unless the DWORD Notifications is 0
extern INT32 ShutdownAction;            // SHUTDOWN_ACTION_POWER_OFF unless the DWORD is 1

enum {
    SHUTDOWN_ACTION_POWER_OFF = 0,
    SHUTDOWN_ACTION_HIBERNATE = 1,
};

void ReadSettings();
