// The main window procedure: the hub of the user-interface thread. Each
// message is a line or two calling a named routine.
#include "ui/window.h"
#include "app/startup.h"
#include "monitor/monitor.h"
#include "ui/panel.h"

void OpenStatusWindow()
{
    HWND window = App.MainWindow;
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    else
        ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    // The user is looking: poll now rather than at the end of the wait.
    if (WakeEvent)
        SetEvent(WakeEvent);
    InvalidateRect(window, NULL, FALSE);
}

// A new poll is in the Snapshot: a visible window shows it at once; a hidden
// one is painted afresh when it is opened.
static void OnStatusUpdated(HWND window)
{
    if (IsWindowVisible(window))
        InvalidateRect(window, NULL, FALSE);
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
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        StopCorvane();
        return 0;
    case WM_PAINT:
        PaintPanel(window);
        return 0;
    case WM_ERASEBKGND:
        // The panel paints every pixel of the client area itself.
        return 1;
    case WM_CLOSE:
        // The caption's close button only hides: monitoring goes on in the tray.
        ShowWindow(window, SW_HIDE);
        return 0;
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam));
        return 0;
    case WM_STATUS_UPDATED:
        OnStatusUpdated(window);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
