// The tray menu and the commands behind it that are more than a line: the
// start-with-Windows switch and opening the log folder in Explorer.
// User-interface thread only.
#pragma once
#include <windows.h>

enum {
    TRAY_MENU_MAX_ENTRIES = 8,
    RUN_VALUE_UNITS = 264,          // a quote, the path (at most 259), a quote, the terminator
    RUN_PATH_CAPACITY = 260,
    EXPLORER_ARGUMENT_UNITS = 276,
    EXPLORER_PATH_UNITS = MAX_PATH,
};

// One item of the tray menu: MF_STRING (maybe MF_CHECKED) or MF_SEPARATOR.
struct TrayMenuEntry {
    UINT Flags;
    UINT Id;                 // 0 for a separator
    const WCHAR* Text;       // null for a separator
};

// The menu's items in order; "Abort shutdown" only while armed, "Run at
// startup" checked when the Run value exists. Returns the count.
int BuildTrayMenuEntries(TrayMenuEntry* entries, BOOL armed, BOOL runAtStartup);
void ShowTrayMenu();

// Whether the value "Corvane" exists under the per-user Run key.
BOOL IsRunAtStartupOn();
// Deletes the Run value when it exists, otherwise writes the quoted program path.
void ToggleRunAtStartup();

// "/select," and the quoted log file path (nothing after the comma when
// logging is off); returns the length.
int ComposeExplorerArguments(WCHAR* buffer, const WCHAR* logPath);
// Explorer, started from the Windows folder, on the log file; nothing when
// that folder is unknown or too long.
void OpenLogFolder();

// The calls these commands make that a test must be able to stand in for:
// the program's own path, the registry writes, the Windows folder and
// Explorer.
struct CommandSystemCalls {
    DWORD (WINAPI* GetModuleFileNameW)(HMODULE module, LPWSTR path, DWORD capacity);
    LSTATUS (WINAPI* RegSetValueExW)(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                     DWORD bytes);
    LSTATUS (WINAPI* RegDeleteValueW)(HKEY key, LPCWSTR name);
    HINSTANCE (WINAPI* ShellExecuteW)(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                      LPCWSTR directory, INT show);
    UINT (WINAPI* GetSystemWindowsDirectoryW)(LPWSTR path, UINT capacity);
};
extern CommandSystemCalls CommandCalls;
