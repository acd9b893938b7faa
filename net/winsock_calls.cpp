// Taking ws2_32.dll's functions from the system folder, the way
// ups/hid_calls.cpp takes hid.dll's: the product imports nothing but
// Windows' KnownDLLs, and a library it may never need is not loaded.
#include "net/winsock_calls.h"

WinsockSystemCalls WinsockCalls;

template <typename Call>
static BOOL Resolve(HMODULE library, const char* name, Call* call)
{
    *call = (Call)(void*)GetProcAddress(library, name);
    return *call != NULL;
}

BOOL LoadWinsockCalls()
{
    if (WinsockCalls.WSAStartup)
        return TRUE;
    HMODULE library = LoadLibraryExW(L"ws2_32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library)
        return FALSE;
    WinsockSystemCalls calls;
    BOOL complete = Resolve(library, "WSAStartup", &calls.WSAStartup)
        && Resolve(library, "WSAGetLastError", &calls.WSAGetLastError)
        && Resolve(library, "WSAPoll", &calls.WSAPoll)
        && Resolve(library, "socket", &calls.socket)
        && Resolve(library, "bind", &calls.bind)
        && Resolve(library, "listen", &calls.listen)
        && Resolve(library, "accept", &calls.accept)
        && Resolve(library, "connect", &calls.connect)
        && Resolve(library, "getsockname", &calls.getsockname)
        && Resolve(library, "setsockopt", &calls.setsockopt)
        && Resolve(library, "ioctlsocket", &calls.ioctlsocket)
        && Resolve(library, "recv", &calls.recv)
        && Resolve(library, "send", &calls.send)
        && Resolve(library, "closesocket", &calls.closesocket)
        && Resolve(library, "InetPtonW", &calls.InetPtonW);
    if (!complete) {
        FreeLibrary(library);
        return FALSE;
    }
    WinsockCalls = calls;
    return TRUE;
}
