// The settings: per-user values under HKCU\Software\Quillfen\Corvane that
// tune the shutdown rule, the balloons, the UPS-off delay and the network
// server. They live in one record, published whole like the Snapshot: the
// start-up and the settings window publish it, and every reader (a monitor
// pass, the shutdown controller, the server, the painting) works on a copy,
// so that nobody sees half a change.
#pragma once
#include <windows.h>

enum {
    SHUTDOWN_ACTION_POWER_OFF = 0,
    SHUTDOWN_ACTION_HIBERNATE = 1,
};

enum {
    NETWORK_TEXT_UNITS = 64,            // a text value's longest, terminator included
    SETTINGS_NUMBERS = 8,
};

struct Settings {
    // The numbers by name, and the same eight as one array in this order for
    // what treats them all alike (the registry write, the log line).
    union {
        struct {
            INT32 RuntimeThresholdSeconds;      // default 300, 0..3600
            INT32 ChargeThresholdPercent;       // default 20, 0..100
            INT32 GraceSeconds;                 // default 30, 0..600
            INT32 ShutdownAction;               // SHUTDOWN_ACTION_POWER_OFF unless the DWORD is 1
            INT32 NotificationsEnabled;         // 1 unless the DWORD Notifications is 0
            // Seconds after which the UPS turns its output off once this
            // computer is certain to go down in an outage: 0 (never, the
            // default) or 60..600.
            INT32 UpsOffDelaySeconds;
            // The network server for the computers that follow this one
            // (net/server.cpp).
            INT32 NetworkServerEnabled;         // 1 only when the DWORD NetworkServer is 1
            INT32 NetworkPort;                  // default 3493, 1..65535
        };
        INT32 Numbers[SETTINGS_NUMBERS];
    };
    WCHAR NetworkAddress[NETWORK_TEXT_UNITS];    // default "127.0.0.1"; empty when malformed
    WCHAR NetworkUser[NETWORK_TEXT_UNITS];       // default "monuser"
    WCHAR NetworkPassword[NETWORK_TEXT_UNITS];   // empty: none, every LOGIN is refused
};

// The registry's names of the numbers, in the order of Settings.Numbers.
extern const WCHAR* const SettingsNumberNames[SETTINGS_NUMBERS];

// The registry held UpsOffDelaySeconds, but not as one of those values.
// Written by ReadRegistrySettings; read by the start-up's log line.
extern BOOL UpsOffDelayRefused;

void DefaultSettings(Settings* settings);
// Each value of the key that is well formed replaces the record's; anything
// absent or malformed leaves it (a malformed address empties it, so that
// the server can tell).
void ReadRegistrySettings(Settings* settings);
// Start-up, before any other thread exists: the defaults, then the
// registry's values, published.
void ReadSettings();

// Any thread: the latest published record as a whole, under its lock. Until
// the first publication it reads as the defaults.
void CopySettings(Settings* copy);
void PublishSettings(const Settings* settings);

// Every value into the key, with the types ReadRegistrySettings takes;
// ERROR_SUCCESS, or the first failure's code.
LONG WriteSettings(const Settings* settings);

// Whether the server's five values are the same in both.
BOOL SameNetworkSettings(const Settings* a, const Settings* b);
BOOL SameSettings(const Settings* a, const Settings* b);
