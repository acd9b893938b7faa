// The notification-area icon: a battery glyph drawn at run time in the colour
// of the status level and filled by the charge, with a tooltip giving state,
// charge and runtime. User-interface thread only; the window procedure adds,
// updates and removes it.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include "ups/status.h"

enum {
    TRAY_ICON_ID = 1,
    TRAY_GLYPH_SIZE = 32,
    TRAY_TIP_UNITS = 128,
    TRAY_CHARGE_UNCACHED = -2,   // no charge and no level takes this value
    TRAY_RETRY_TIMER = 1,        // the main window's timer that adds the icon again
    TRAY_RETRY_MS = 2000,
};

extern const GUID TrayIconGuid;

struct TrayIconState {
    BOOL Added;          // the result of the last add; 0 after removal
    BOOL UsesGuid;       // added with TrayIconGuid: every later call names it so
    HICON Drawn;         // the glyph on show; null until the first drawing
    INT32 CachedCharge;  // what Drawn shows
    INT32 CachedLevel;
    // What the shell was last given and took, with TrayShownTip: an update
    // that would give it the same again makes no call. Null after a call
    // that failed.
    HICON ShownIcon;
};
extern TrayIconState TrayIcon;

// NIM_ADD with the GUID, then delete-and-retry, then by window and id alone.
// While all of them fail, the main window's TRAY_RETRY_TIMER runs.
BOOL AddTrayIcon();
// Redraws the glyph when the charge or level changed, and hands the shell
// the glyph and tooltip only when one of them differs from what it shows.
void UpdateTrayIcon();
void RemoveTrayIcon();

// A balloon from the icon: title and text as given, NIIF_WARNING or NIIF_INFO.
void ShowTrayBalloon(const WCHAR* title, const WCHAR* text, DWORD icon);

// A 32 x 32 icon with alpha, or null on any failure.
HICON DrawBatteryIcon(int charge, int level);
// The right edge of the charge bar inside the battery, or 0 for no bar.
int BatteryBarRight(int charge);

// "Corvane - On line, 100%, 1 h 5 min" and the like; returns the length.
int BuildTooltip(WCHAR* buffer, int capacity, const UpsStatus* status);

// The shell call, in a table so that a test can stand in for the shell.
struct TraySystemCalls {
    BOOL (WINAPI* Shell_NotifyIconW)(DWORD message, PNOTIFYICONDATAW data);
};
extern TraySystemCalls TrayCalls;
