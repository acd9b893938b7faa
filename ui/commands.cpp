// The tray menu, the start-with-Windows switch and "Open log folder".
#include "ui/commands.h"
#include <shellapi.h>
#include "app/startup.h"
#include "base/log.h"
#include "base/text.h"
#include "monitor/shutdown.h"
#include "ui/window.h"

CommandSystemCalls CommandCalls = {
    GetModuleFileNameW,
    RegSetValueExW,
    RegDeleteValueW,
    ShellExecuteW,
    GetSystemWindowsDirectoryW,
};

static const WCHAR RUN_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
static const WCHAR RUN_VALUE[] = L"Corvane";

static int AddEntry(TrayMenuEntry* entries, int count, UINT flags, UINT id, const WCHAR* text)
{
    entries[count].Flags = flags;
    entries[count].Id = id;
    entries[count].Text = text;
    return count + 1;
}

int BuildTrayMenuEntries(TrayMenuEntry* entries, BOOL armed, BOOL runAtStartup)
{
    int count = AddEntry(entries, 0, MF_STRING, CMD_OPEN, L"Open Corvane");
    count = AddEntry(entries, count, MF_SEPARATOR, 0, NULL);
    if (armed)
        count = AddEntry(entries, count, MF_STRING, CMD_ABORT_SHUTDOWN, L"Abort shutdown");
    count = AddEntry(entries, count, MF_STRING, CMD_OPEN_LOG_FOLDER, L"Open log folder");
    count = AddEntry(entries, count, MF_STRING, CMD_SETTINGS, L"Settings...");
    count = AddEntry(entries, count, runAtStartup ? MF_STRING | MF_CHECKED : MF_STRING, CMD_RUN_AT_STARTUP,
                     L"Run at startup");
    count = AddEntry(entries, count, MF_SEPARATOR, 0, NULL);
    return AddEntry(entries, count, MF_STRING, CMD_EXIT, L"Exit");
}

BOOL IsRunAtStartupOn()
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return FALSE;
    BOOL exists = RegQueryValueExW(key, RUN_VALUE, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    RegCloseKey(key);
    return exists;
}

void ShowTrayMenu()
{
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return;
    TrayMenuEntry entries[TRAY_MENU_MAX_ENTRIES];
    int count = BuildTrayMenuEntries(entries, IsShutdownArmed(), IsRunAtStartupOn());
    for (int i = 0; i < count; i++)
        AppendMenuW(menu, entries[i].Flags, entries[i].Id, entries[i].Text);
    POINT cursor;
    GetCursorPos(&cursor);
    HWND window = App.MainWindow;
    // Our window must be in the foreground, or the menu does not close when
    // the user clicks elsewhere.
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window, NULL);
    // A benign message after the menu, so that it opens properly next time.
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

// A registry change that did not happen must not be logged as done.
static void LogRunAtStartupResult(LSTATUS result, const WCHAR* done)
{
    if (result == ERROR_SUCCESS) {
        WriteLog(done);
        return;
    }
    WriteLogWithCode(L"ERROR - could not change run at startup, code ", (UINT32)result);
}

static void EnableRunAtStartup(HKEY key)
{
    WCHAR value[RUN_VALUE_UNITS];
    ByteClear(value, sizeof(value));
    value[0] = L'"';
    DWORD length = CommandCalls.GetModuleFileNameW(NULL, value + 1, RUN_PATH_CAPACITY);
    // 0 is a failure and 260 a path cut to fit: neither may start anything.
    if (length < 1 || length > RUN_PATH_CAPACITY - 1)
        return;
    value[length + 1] = L'"';
    value[length + 2] = 0;
    LSTATUS result = CommandCalls.RegSetValueExW(key, RUN_VALUE, 0, REG_SZ, (const BYTE*)value,
                                                 (length + 3) * sizeof(WCHAR));
    LogRunAtStartupResult(result, L"run at startup: enabled");
}

void ToggleRunAtStartup()
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, KEY_READ | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    if (RegQueryValueExW(key, RUN_VALUE, NULL, NULL, NULL, NULL) == ERROR_SUCCESS)
        LogRunAtStartupResult(CommandCalls.RegDeleteValueW(key, RUN_VALUE), L"run at startup: disabled");
    else
        EnableRunAtStartup(key);
    RegCloseKey(key);
}

// Explorer splits its arguments at commas: a folder such as "Smith, Jane"
// only survives in quotes.
int ComposeExplorerArguments(WCHAR* buffer, const WCHAR* logPath)
{
    int position = AppendText(buffer, 0, EXPLORER_ARGUMENT_UNITS, L"/select,");
    if (logPath[0] == 0)
        return position;
    position = AppendText(buffer, position, EXPLORER_ARGUMENT_UNITS, L"\"");
    position = AppendText(buffer, position, EXPLORER_ARGUMENT_UNITS, logPath);
    return AppendText(buffer, position, EXPLORER_ARGUMENT_UNITS, L"\"");
}

// Explorer by its full path in the Windows folder: started by name, it is
// looked for in the current folder and along PATH first, where anyone could
// have put an explorer.exe of their own.
static BOOL ComposeExplorerPath(WCHAR* path)
{
    static const WCHAR NAME[] = L"\\explorer.exe";
    UINT length = CommandCalls.GetSystemWindowsDirectoryW(path, EXPLORER_PATH_UNITS);
    if (length == 0 || length >= EXPLORER_PATH_UNITS)
        return FALSE;
    // A cut path would name some other file.
    return AppendText(path, (int)length, EXPLORER_PATH_UNITS, NAME) == (int)(length + ARRAYSIZE(NAME) - 1);
}

void OpenLogFolder()
{
    WCHAR explorer[EXPLORER_PATH_UNITS];
    if (!ComposeExplorerPath(explorer))
        return;
    WCHAR arguments[EXPLORER_ARGUMENT_UNITS];
    ComposeExplorerArguments(arguments, LogPath);
    CommandCalls.ShellExecuteW(NULL, L"open", explorer, arguments, NULL, SW_SHOWNORMAL);
}
