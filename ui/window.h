// The main window: its private messages, its commands and its procedure.
// User-interface thread only.
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
};

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void OpenStatusWindow();
