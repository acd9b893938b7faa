// Placeholder until the poll loop lands: the thread only waits to be stopped.
#include "monitor/monitor.h"

HANDLE StopEvent;
HANDLE WakeEvent;

DWORD WINAPI MonitorThread(LPVOID)
{
    WaitForSingleObject(StopEvent, INFINITE);
    return 0;
}
