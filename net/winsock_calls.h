// ws2_32.dll's functions, taken from the system folder by the server thread
// when the network server is on, and never otherwise: a default start does
// not load the library at all. Written once by that thread, before any of
// its sockets exist, and only read afterwards.
#pragma once
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

struct WinsockSystemCalls {
    decltype(&::WSAStartup) WSAStartup;
    decltype(&::WSAGetLastError) WSAGetLastError;
    decltype(&::WSAPoll) WSAPoll;
    decltype(&::socket) socket;
    decltype(&::bind) bind;
    decltype(&::listen) listen;
    decltype(&::accept) accept;
    decltype(&::connect) connect;
    decltype(&::getsockname) getsockname;
    decltype(&::setsockopt) setsockopt;
    decltype(&::ioctlsocket) ioctlsocket;
    decltype(&::recv) recv;
    decltype(&::send) send;
    decltype(&::closesocket) closesocket;
    decltype(&::InetPtonW) InetPtonW;
};

// All null until LoadWinsockCalls succeeds; then every entry is set.
extern WinsockSystemCalls WinsockCalls;

// Loads ws2_32.dll from the system folder and resolves every call the
// server makes; FALSE, the table left null, when anything is missing.
BOOL LoadWinsockCalls();
