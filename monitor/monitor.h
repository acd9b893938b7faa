// The monitor thread and the state it shares with the user-interface thread:
// the Snapshot and HistoryRing under StatusLock, and the two events.
#pragma once
#include <windows.h>

extern HANDLE StopEvent;   // manual reset: set once when the window is destroyed
extern HANDLE WakeEvent;   // auto reset: cuts the monitor's wait short

DWORD WINAPI MonitorThread(LPVOID parameter);
