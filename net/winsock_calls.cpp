// Taking ws2_32.dll's functions from the system folder, as ups/hid_calls.cpp
// takes hid.dll's: the product imports nothing but Windows' KnownDLLs, and a
// library it may never need is not loaded.
#include "net/winsock_calls.h"
#include "base/system_library.h"

WinsockSystemCalls WinsockCalls;

// In the order of WinsockSystemCalls; a missing name reads as an empty one,
// which fails the load.
static const char NAMES[] =
    "WSAStartup\0WSAGetLastError\0WSAPoll\0socket\0bind\0listen\0accept\0connect\0getsockname\0"
    "setsockopt\0ioctlsocket\0recv\0send\0closesocket\0InetPtonW\0";

BOOL LoadWinsockCalls()
{
    return WinsockCalls.WSAStartup
        || LoadSystemCalls(L"ws2_32.dll", NAMES, sizeof(WinsockSystemCalls) / sizeof(FARPROC), &WinsockCalls);
}
