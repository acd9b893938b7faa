// The main window procedure: the hub of the user-interface thread. Each
// message is a line or two calling a named routine.
#include "ui/window.h"
#include "app/startup.h"
#include "monitor/monitor.h"
#include "monitor/shutdown.h"
#include "settings/settings_window.h"
#include "ui/commands.h"
#include "ui/notify.h"
#include "ui/panel.h"
#include "ui/theme.h"
#include "ui/tray.h"
#include "base/text.h"
#include "upsoff/commit.h"

static void Invalidate(HWND window)
{
    InvalidateRect(window, NULL, FALSE);
}

RECT ComputeTrayPlacement(const RECT* icon, const RECT* work, int width, int height, int margin)
{
    int anchorX = icon ? (icon->left + icon->right) / 2 : work->right;
    int anchorY = icon ? (icon->top + icon->bottom) / 2 : work->bottom;
    RECT at = { anchorX - width / 2, anchorY - height / 2, 0, 0 };
    if (at.left + width > work->right - margin)
        at.left = work->right - margin - width;
    if (at.top + height > work->bottom - margin)
        at.top = work->bottom - margin - height;
    // Last, so that a window larger than the work area keeps its top-left
    // corner on screen.
    if (at.left < work->left + margin)
        at.left = work->left + margin;
    if (at.top < work->top + margin)
        at.top = work->top + margin;
    // Too tall for the margins (150 % on a 768-line screen): cut to the work
    // area from its top, rather than let the system clamp it and lose the
    // bottom rows, which hold the shutdown rule and the banner.
    int workHeight = work->bottom - work->top;
    if (height > workHeight - 2 * margin) {
        at.top = work->top;
        if (height > workHeight)
            height = workHeight;
    }
    at.right = at.left + width;
    at.bottom = at.top + height;
    return at;
}

static BOOL GetTrayIconRect(HWND window, RECT* rect)
{
    if (!TrayIcon.Added)
        return FALSE;
    NOTIFYICONIDENTIFIER identifier;
    ByteClear(&identifier, sizeof(identifier));
    identifier.cbSize = sizeof(identifier);
    if (TrayIcon.UsesGuid) {
        identifier.guidItem = TrayIconGuid;
    } else {
        identifier.hWnd = window;
        identifier.uID = TRAY_ICON_ID;
    }
    return SUCCEEDED(Shell_NotifyIconGetRect(&identifier, rect));
}

// The icon's rectangle when the shell tells it, and the work area of the
// monitor it is on (without it, of the monitor the window is on).
static BOOL FindTray(HWND window, RECT* icon, BOOL* haveIcon, RECT* work)
{
    *haveIcon = GetTrayIconRect(window, icon);
    HMONITOR monitor = *haveIcon ? MonitorFromRect(icon, MONITOR_DEFAULTTONEAREST)
                                 : MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info;
    ByteClear(&info, sizeof(info));
    info.cbSize = sizeof(info);
    if (!GetMonitorInfoW(monitor, &info))
        return FALSE;
    *work = info.rcWork;
    return TRUE;
}

BOOL GetTrayWorkArea(RECT* work)
{
    RECT icon;
    BOOL haveIcon = FALSE;
    return FindTray(App.MainWindow, &icon, &haveIcon, work);
}

static void PlaceOnce(HWND window)
{
    RECT icon, work;
    BOOL haveIcon = FALSE;
    if (!FindTray(window, &icon, &haveIcon, &work))
        return;
    // The whole size for the DPI, not the window's present one, which may
    // have been cut to fit a shorter work area before.
    SIZE size = MainWindowSize(DpiValue);
    RECT at = ComputeTrayPlacement(haveIcon ? &icon : NULL, &work, size.cx, size.cy, S(12));
    SetWindowPos(window, NULL, at.left, at.top, at.right - at.left, at.bottom - at.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void PlaceNearTray()
{
    HWND window = App.MainWindow;
    int dpi = DpiValue;
    PlaceOnce(window);
    // A move onto a monitor of another DPI makes Windows send WM_DPICHANGED
    // during it, and the window takes the size suggested there: placed with
    // the old size, it may now reach under the taskbar. Place it again.
    if (DpiValue != dpi)
        PlaceOnce(window);
}

void OpenStatusWindow()
{
    HWND window = App.MainWindow;
    if (IsIconic(window)) {
        // A restored window returns to where the user left it.
        ShowWindow(window, SW_RESTORE);
    } else {
        if (!IsWindowVisible(window))
            PlaceNearTray();
        ShowWindow(window, SW_SHOW);
    }
    SetForegroundWindow(window);
    // The user is looking: poll now rather than at the end of the wait.
    if (WakeEvent)
        SetEvent(WakeEvent);
    Invalidate(window);
}

static void OnCommand(HWND window, WORD command)
{
    switch (command) {
    case CMD_OPEN:
        OpenStatusWindow();
        break;
    case CMD_EXIT:
        DestroyWindow(window);
        break;
    case CMD_OPEN_LOG_FOLDER:
        OpenLogFolder();
        break;
    case CMD_ABORT_SHUTDOWN:
        AbortShutdownByUser();
        UpdateTrayIcon();
        Invalidate(window);
        break;
    case CMD_RUN_AT_STARTUP:
        ToggleRunAtStartup();
        break;
    case CMD_SETTINGS:
        OpenSettingsWindow();
        break;
    }
}

static void OnTrayIcon(LPARAM lParam)
{
    switch (LOWORD(lParam)) {
    case WM_LBUTTONUP:
        OpenStatusWindow();
        break;
    case WM_RBUTTONUP:
    case WM_CONTEXTMENU:
        ShowTrayMenu();
        break;
    }
}

// Explorer has (re)started and forgotten every icon.
static void OnTaskbarCreated()
{
    TrayIcon.Added = FALSE;
    AddTrayIcon();
    UpdateTrayIcon();
}

static void OnSettingChange(HWND window)
{
    SelectPalette();
    ApplyFrameTheme(window);
    Invalidate(window);
}

static void OnDpiChanged(HWND window, WPARAM wParam, const RECT* suggested)
{
    DpiValue = HIWORD(wParam);
    BuildFonts();
    SetWindowPos(window, NULL, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    Invalidate(window);
}

// The shell was not ready for the icon: try again.
static void OnTrayRetry()
{
    if (TrayIcon.Added) {
        KillTimer(App.MainWindow, TRAY_RETRY_TIMER);
        return;
    }
    if (AddTrayIcon())
        UpdateTrayIcon();
}

// Windows gives a program nothing after WM_ENDSESSION returns: the UPS is
// told now, then the program stops as for "Exit", inside the stop's budget.
static void OnEndSession(HWND window, WPARAM ending, LPARAM flags)
{
    CommitUpsOff((BOOL)ending, flags);
    if (ending)
        DestroyWindow(window);
}

static void OnStatusUpdated(HWND window)
{
    UpdateTrayIcon();
    NotifyPowerChanges();
    if (IsWindowVisible(window))
        Invalidate(window);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Registered at run time, so it cannot be a case label; and it comes
    // first, before any fixed message could be confused with it.
    if (App.TaskbarCreatedMessage != 0 && message == App.TaskbarCreatedMessage) {
        OnTaskbarCreated();
        return 0;
    }
    switch (message) {
    case WM_DESTROY:
        StopCorvane();
        return 0;
    case WM_PAINT:
        PaintPanel(window);
        return 0;
    case WM_CLOSE:
        // The caption's close button only hides: monitoring goes on in the tray.
        ShowWindow(window, SW_HIDE);
        return 0;
    case WM_ERASEBKGND:
        // The panel paints every pixel of the client area itself.
        return 1;
    case WM_SETTINGCHANGE:
        OnSettingChange(window);
        return 0;
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam));
        return 0;
    case WM_DPICHANGED:
        OnDpiChanged(window, wParam, (const RECT*)lParam);
        return 0;
    case WM_TRAYICON:
        OnTrayIcon(lParam);
        return 0;
    case WM_STATUS_UPDATED:
        OnStatusUpdated(window);
        return 0;
    case WM_ENDSESSION:
        OnEndSession(window, wParam, lParam);
        return 0;
    case WM_TIMER:
        if (wParam == TRAY_RETRY_TIMER)
            OnTrayRetry();
        return 0;
    case WM_POWERBROADCAST:
        // Sent before every sleep or hibernation and on every resume.
        if (wParam == PBT_APMSUSPEND)
            CancelHibernationOnSuspend();
        if (wParam == PBT_APMRESUMEAUTOMATIC)
            RequestRescanAfterResume();
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
