// The main window: its private messages, its commands, its procedure, and
// where it opens. User-interface thread only.
#pragma once
#include <windows.h>

enum {
    WM_TRAYICON = 0x8001,
    WM_STATUS_UPDATED = 0x8002,
};

enum {
    CMD_OPEN = 201,
    CMD_EXIT = 202,
    CMD_OPEN_LOG_FOLDER = 203,
    CMD_ABORT_SHUTDOWN = 204,
    CMD_RUN_AT_STARTUP = 205,
    CMD_SETTINGS = 206,
};

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Shows the window (placed next to the tray icon when it was hidden), brings
// it to the front and wakes the monitor for an immediate poll.
void OpenStatusWindow();
void PlaceNearTray();
// The work area of the monitor the tray icon is on.
BOOL GetTrayWorkArea(RECT* work);

// Where the window goes: centred on the icon, or on the work area's
// bottom-right corner when there is no icon rectangle (null), then pushed
// inside the work area by margin; the left and top margins win. A window too
// tall for the work area less its margins stands at the work area's top, cut
// to its height.
RECT ComputeTrayPlacement(const RECT* icon, const RECT* work, int width, int height, int margin);
