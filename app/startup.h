// The process: start-up in a fixed order, the single-instance rule, the
// message loop of the user-interface thread and the orderly stop.
#pragma once
#include <windows.h>

// Process-wide state written during start-up, before the monitor thread
// exists, and only read afterwards.
struct AppState {
    HANDLE InstanceMutex;
    HINSTANCE Module;
    UINT TaskbarCreatedMessage;   // 0 when registration failed
    HICON ClassIcon;
    HWND MainWindow;
    HANDLE MonitorThreadHandle;   // null when the thread was not started
};

extern AppState App;

extern const WCHAR MainWindowClass[];

// Returns the process exit code: 0 normally, 1 when the class could not be
// registered, 2 when the window could not be created.
int RunCorvane();

// The main window's class and the window itself, hidden, sized for 96 DPI.
BOOL RegisterMainClass();
HWND CreateMainWindow();
// The main window's outer size for a DPI: the panel's client area, scaled,
// with its frame.
SIZE MainWindowSize(int dpi);

// The orderly stop, run while the main window is being destroyed.
void StopCorvane();

// The call a second start makes that a test must be able to stand in for.
struct StartupSystemCalls {
    BOOL (WINAPI* AllowSetForegroundWindow)(DWORD process);
};
extern StartupSystemCalls StartupCalls;
