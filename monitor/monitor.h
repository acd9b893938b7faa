// The monitor thread: one pass every 5 s (2 s on battery), or at once when
// the UPS sends an input report that is news (monitor/input_wait.h), that
// opens or polls the UPS, logs changes of presence and mains, publishes the
// Snapshot, tells the main window and takes the shutdown decisions. Also the
// two events the user-interface thread uses to stop it and to wake it early.
#pragma once
#include <windows.h>
#include "ups/status.h"

extern HANDLE StopEvent;   // manual reset: set once when the window is destroyed
extern HANDLE WakeEvent;   // auto reset: cuts the monitor's wait short

enum {
    MONITOR_WAIT_ON_BATTERY_MS = 2000,
    MONITOR_WAIT_MS = 5000,
    MONITOR_LINE_UNITS = 192,
};

DWORD WINAPI MonitorThread(LPVOID parameter);

// Step 5 of a pass: on battery, arm while a condition holds; on line, cancel;
// without a UPS last seen on battery, arm once it has been gone too long.
void DecideShutdown(const UpsStatus* status);

// From the user-interface thread when the computer has resumed: the next
// pass, which comes at once, closes the UPS, finds it again and starts a new
// outage from scratch.
void RequestRescanAfterResume();

// Pure pieces of a pass, tested directly.

// "UPS connected: <manufacturer> <product>", "?" for an empty name; returns
// the length. line holds MONITOR_LINE_UNITS units.
int ComposeConnectedLine(WCHAR* line, const UpsStatus* status);

// "MAINS LOST - on battery, " or "on line, ", then "<charge>%, " when the
// charge is known, then the runtime; returns the length.
int ComposeMainsLine(WCHAR* line, const UpsStatus* status);

// The shutdown reason (1..4) that holds for a present UPS on battery, 0 when
// none holds or the UPS is on line.
int ChooseShutdownReason(const UpsStatus* status, INT32 runtimeThresholdSeconds, INT32 chargeThresholdPercent);
