// The shutdown settings, the balloon switch, the UPS-off delay and the network server's values, read once from HKCU\Software\Quillfen\Corvane at
// start, before the monitor thread exists, and only read afterwards.
#pragma once
#include <windows.h>

extern INT32 RuntimeThresholdSeconds;   // default 300, 0..3600
extern INT32 ChargeThresholdPercent;    // default 20, 0..100
extern INT32 GraceSeconds;              // default 30, 0..600
extern INT32 NotificationsEnabled;      // 1 unless the DWORD Notifications is 0
extern INT32 ShutdownAction;            // SHUTDOWN_ACTION_POWER_OFF unless the DWORD is 1
// Seconds after which the UPS turns its output off once this computer is
// certain to go down in an outage: 0 (never, the default) or 60..600.
extern INT32 UpsOffDelaySeconds;
// The registry held UpsOffDelaySeconds, but not as one of those values.
extern BOOL UpsOffDelayRefused;

enum {
    SHUTDOWN_ACTION_POWER_OFF = 0,
    SHUTDOWN_ACTION_HIBERNATE = 1,
};

// The network server for the computers that follow this one (net/server.cpp).
enum { NETWORK_TEXT_UNITS = 64 };       // a text value's longest, terminator included
extern INT32 NetworkServerEnabled;      // 1 only when the DWORD NetworkServer is 1
extern INT32 NetworkPort;               // default 3493, 1..65535
extern WCHAR NetworkAddress[NETWORK_TEXT_UNITS];    // default "127.0.0.1"; empty when malformed
extern WCHAR NetworkUser[NETWORK_TEXT_UNITS];       // default "monuser"
extern WCHAR NetworkPassword[NETWORK_TEXT_UNITS];   // empty: none, every LOGIN is refused

void ReadSettings();
