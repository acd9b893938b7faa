// The network server for the computers that follow this one: RFC 9271 on
// its own thread, with non-blocking sockets and one WSAPoll. It reads the
// status only as copies of the Snapshot and the controller's FSD flag, and
// acts on nothing: the monitor and the interface never wait for it.
#pragma once
#include <windows.h>

// User-interface thread, at start after the monitor: starts the thread when
// the NetworkServer setting is on, and does nothing otherwise.
void StartNetworkServer();

// User-interface thread, after the server's settings were published anew:
// ends the running thread, its connections closed, then starts it again as
// StartNetworkServer does. FALSE, nothing started, when the old thread did
// not end in time.
BOOL RestartNetworkServer();

// User-interface thread, in the stop, once StopEvent is set: cuts the
// server's wait short at once.
void WakeNetworkServer();

// Then gives the thread up to waitMs to close its connections and end.
void WaitNetworkServer(DWORD waitMs);

// Any thread: the followers logged in now; and, taken once, how many logged
// out or vanished while this outage's FSD was raised (0 with the server off).
LONG CountFollowersLoggedIn();
LONG TakeFollowersGoneSinceFsd();
