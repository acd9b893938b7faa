// Start-up and the orderly stop. Runs on the process's first thread, which
// becomes the user-interface thread.
#include "app/startup.h"
#include "app/settings.h"
#include "base/log.h"
#include "monitor/monitor.h"
#include "monitor/shutdown.h"
#include "net/server.h"
#include "settings/settings_window.h"
#include "ui/panel.h"
#include "ui/theme.h"
#include "ui/tray.h"
#include "ui/window.h"
#include "ups/discovery.h"
#include "ups/hid_calls.h"
#include "base/text.h"

AppState App;

const WCHAR MainWindowClass[] = L"Quillfen.Corvane";

static const DWORD MAIN_WINDOW_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
static const DWORD MONITOR_STOP_WAIT_MS = 3000;

StartupSystemCalls StartupCalls = { AllowSetForegroundWindow };

// Another instance in this session owns the mutex: ask it to open its window.
static BOOL ForwardToRunningInstance()
{
    App.InstanceMutex = CreateMutexW(NULL, FALSE, L"Local\\Quillfen.Corvane");
    if (App.InstanceMutex == NULL || GetLastError() != ERROR_ALREADY_EXISTS)
        return FALSE;
    HWND running = FindWindowW(MainWindowClass, NULL);
    if (running) {
        // Only the process the user just started may take the foreground:
        // hand that right to the running one, or its window may open
        // behind the others.
        DWORD process = 0;
        if (GetWindowThreadProcessId(running, &process))
            StartupCalls.AllowSetForegroundWindow(process);
        PostMessageW(running, WM_COMMAND, CMD_OPEN, 0);
    }
    CloseHandle(App.InstanceMutex);
    App.InstanceMutex = NULL;
    return TRUE;
}

BOOL RegisterMainClass()
{
    App.ClassIcon = LoadIconW(App.Module, MAKEINTRESOURCEW(101));

    WNDCLASSEXW wc;
    ByteClear(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = App.Module;
    wc.hIcon = App.ClassIcon;
    wc.hIconSm = App.ClassIcon;
    wc.hCursor = LoadCursorW(NULL, IDC_ARROW);
    wc.lpszClassName = MainWindowClass;
    return RegisterClassExW(&wc) != 0;
}

SIZE MainWindowSize(int dpi)
{
    RECT rect = { 0, 0, MulDiv(PANEL_WIDTH, dpi, 96), MulDiv(PANEL_HEIGHT, dpi, 96) };
    AdjustWindowRectExForDpi(&rect, MAIN_WINDOW_STYLE, FALSE, 0, (UINT)dpi);
    SIZE size = { rect.right - rect.left, rect.bottom - rect.top };
    return size;
}

HWND CreateMainWindow()
{
    SIZE size = MainWindowSize(96);
    return CreateWindowExW(0, MainWindowClass, L"Corvane", MAIN_WINDOW_STYLE, CW_USEDEFAULT, CW_USEDEFAULT,
                           size.cx, size.cy, NULL, NULL, App.Module, NULL);
}

// The window was created for 96 DPI; give it the client size for the DPI of
// the monitor it landed on.
static void SizeForDpi(HWND window)
{
    DpiValue = (int)GetDpiForWindow(window);
    SIZE size = MainWindowSize(DpiValue);
    SetWindowPos(window, NULL, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

static void StartMonitor()
{
    StopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    WakeEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (StopEvent && WakeEvent) {
        App.MonitorThreadHandle = CreateThread(NULL, 0, MonitorThread, NULL, 0, NULL);
        StartShutdownCountdown();
    }
}

int RunCorvane()
{
    // Every library the program or Windows loads for it from here on comes
    // from the system folder, never from the program's own folder or the
    // current one. The imports were resolved before this line, and all of
    // them are KnownDLLs, which the loader takes from the system anyway.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (ForwardToRunningInstance())
        return 0;
    App.Module = GetModuleHandleW(NULL);
    BuildLogPath();
    ReadSettings();
    WriteLog(L"Corvane started");
    if (UpsOffDelayRefused)
        WriteLog(L"ERROR - UpsOffDelaySeconds must be 0 or 60 to 600; the UPS will not be turned off");
    if (!LoadHidCalls())
        WriteLog(L"ERROR - hid.dll could not be loaded from the system folder; no UPS can be found");
    App.TaskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);

    if (!RegisterMainClass())
        return 1;
    App.MainWindow = CreateMainWindow();
    if (!App.MainWindow)
        return 2;
    SizeForDpi(App.MainWindow);
    SelectPalette();
    BuildFonts();
    ApplyFrameTheme(App.MainWindow);
    AddTrayIcon();
    StartMonitor();
    StartNetworkServer();

    MSG msg;
    ByteClear(&msg, sizeof(msg));
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        if (IsSettingsMessage(&msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return (int)(UINT32)msg.wParam;
}

void StopCorvane()
{
    DWORD stopStarted = GetTickCount();
    if (StopEvent)
        SetEvent(StopEvent);
    WakeNetworkServer();
    // The device is released only once the thread can no longer use it. A
    // thread stuck in a slow device call past the wait keeps the device: the
    // end of the process releases it.
    BOOL monitorEnded = TRUE;
    if (App.MonitorThreadHandle)
        monitorEnded = WaitForSingleObject(App.MonitorThreadHandle, MONITOR_STOP_WAIT_MS) == WAIT_OBJECT_0;
    if (monitorEnded)
        CloseUps();
    // The server shares the same budget: it was woken with the monitor and
    // normally ends long before the monitor's wait is over.
    DWORD spent = GetTickCount() - stopStarted;
    WaitNetworkServer(spent < MONITOR_STOP_WAIT_MS ? MONITOR_STOP_WAIT_MS - spent : 0);
    RemoveTrayIcon();
    CancelHibernationOnStop();
    WriteLog(L"Corvane stopped");
    PostQuitMessage(0);
}
