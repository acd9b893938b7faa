// The network server's thread: listens, accepts up to NET_MAX_CLIENTS
// connections, cuts their bytes into lines, has net/protocol.cpp answer each
// and sends the answers, closing what breaks the limits. Everything here is
// the server thread's own except the wake socket, which the stop writes to,
// and the thread handle, which start-up and the stop hold.
#include "net/server.h"
#include "net/address.h"
#include "net/ascii.h"
#include "net/protocol.h"
#include "net/winsock_calls.h"
#include "app/settings.h"
#include "base/log.h"
#include "base/text.h"
#include "monitor/monitor.h"
#include "monitor/shutdown.h"
#include "monitor/snapshot.h"
#include "upsoff/commit.h"

enum {
    IDLE_CLOSE_MS = 120000,
    // A line may end in CR LF; anything longer than this is closed on.
    IN_BYTES = NET_LINE_BYTES + 2,
    // Room for the answers to several lines that came together, sent in one
    // piece: a line is answered only while a whole answer still fits.
    OUT_BYTES = 2 * NET_ANSWER_BYTES,
    // How long a failing accept or poll waits before it is tried again, so
    // that a lasting failure cannot spin the thread.
    FAILURE_PAUSE_MS = 100,
    REFUSAL_LOG_INTERVAL_MS = 60000,
    // Between attempts to listen: the network may come up long after
    // sign-in, and a listener may fail with it later.
    LISTEN_RETRY_MS = 10000,
    // A run of the thread ends within a poll's return; the new one must be
    // listening within 2 s of the user's OK.
    RESTART_WAIT_MS = 1500,
};

struct Connection {
    SOCKET Socket;           // INVALID_SOCKET: the slot is free
    NetSession Session;
    DWORD HeardTick;         // the last complete line, or the accept: silence counts from it
    BOOL Closing;            // close once Out is sent
    int InLength;
    int OutStart;
    int OutLength;           // 0: nothing waits to be sent
    char Address[NET_ADDRESS_TEXT_BYTES];
    char In[IN_BYTES];
    char Out[OUT_BYTES];
};

static Connection Connections[NET_MAX_CLIENTS];
static SOCKET ListenSocket = INVALID_SOCKET;
// Written once by the server thread when it is ready, read by the stop.
static SOCKET volatile WakeSocket = INVALID_SOCKET;
static HANDLE ServerThread;

// The settings this run of the thread serves with, copied at its start, and
// the user and password as the wire carries them.
static Settings Served;
static char UserText[NET_SECRET_BYTES];
static char PasswordText[NET_SECRET_BYTES];

// Set by RestartNetworkServer to end this run of the thread, as StopEvent
// ends it for good; manual reset, made by the first start.
static HANDLE EndEvent;

static const char* LoginAddresses[NET_MAX_CLIENTS];

// The addresses whose refused logins were logged in the last minute: once
// a minute for each is enough for the user to see, a follower retrying
// every few seconds must not fill the log, and a second one must still be
// named. An empty address: a free record.
struct RefusalRecord {
    DWORD Tick;
    char Address[NET_ADDRESS_TEXT_BYTES];
};
static RefusalRecord RefusalsLogged[NET_MAX_CLIENTS];

// Written by this thread, read by the others.
static volatile LONG LoggedInCount;
static volatile LONG GoneSinceFsd;

// Waits up to waitMs for the stop or the end of this run: TRUE when either
// came, so that a restart also cuts short a wait for the network.
static BOOL WaitForEnd(DWORD waitMs)
{
    HANDLE events[2] = { StopEvent, EndEvent };
    return WaitForMultipleObjects(EndEvent ? 2 : 1, events, FALSE, waitMs) != WAIT_TIMEOUT;
}

static BOOL StopRequested()
{
    return WaitForEnd(0);
}

// "message" followed by an address or endpoint that this program formatted
// itself: nothing from a client is ever in a log line.
static void LogWithAddress(const WCHAR* message, const char* address)
{
    WCHAR line[LOG_LINE_CAPACITY];
    int position = AppendText(line, 0, LOG_LINE_CAPACITY, message);
    for (; *address && position < LOG_LINE_CAPACITY - 1; address++)
        line[position++] = (WCHAR)*address;
    line[position] = 0;
    WriteLog(line);
}

static int LastError()
{
    return WinsockCalls.WSAGetLastError();
}

static BOOL MakeNonBlocking(SOCKET socket)
{
    u_long on = 1;
    return WinsockCalls.ioctlsocket(socket, FIONBIO, &on) == 0;
}

// sockaddr for an address and a port, returning its length.
static int MakeSocketAddress(const NetAddress* address, UINT32 port, sockaddr_storage* storage)
{
    ByteClear(storage, sizeof(*storage));
    BYTE* portBytes;
    if (address->Family == NET_FAMILY_IPV4) {
        sockaddr_in* v4 = (sockaddr_in*)storage;
        v4->sin_family = AF_INET;
        ByteCopy(&v4->sin_addr, address->Bytes, 4);
        portBytes = (BYTE*)&v4->sin_port;
    } else {
        sockaddr_in6* v6 = (sockaddr_in6*)storage;
        v6->sin6_family = AF_INET6;
        ByteCopy(&v6->sin6_addr, address->Bytes, 16);
        portBytes = (BYTE*)&v6->sin6_port;
    }
    portBytes[0] = (BYTE)(port >> 8);
    portBytes[1] = (BYTE)port;
    return address->Family == NET_FAMILY_IPV4 ? (int)sizeof(sockaddr_in) : (int)sizeof(sockaddr_in6);
}

static BOOL IsAnyAddress(const NetAddress* address)
{
    for (BYTE b : address->Bytes) {
        if (b != 0)
            return FALSE;
    }
    return TRUE;
}

// Listening socket on the configured address; the Winsock error, or 0.
static int OpenListenSocket(const NetAddress* address)
{
    SOCKET listener = WinsockCalls.socket(address->Family == NET_FAMILY_IPV4 ? AF_INET : AF_INET6, SOCK_STREAM,
                                          IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        return LastError();
    // No other program may bind the same port and take our followers.
    int on = 1;
    WinsockCalls.setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&on, sizeof(on));
    // "::" means every interface: IPv4 followers too, not only IPv6 ones.
    if (address->Family == NET_FAMILY_IPV6 && IsAnyAddress(address)) {
        int off = 0;
        WinsockCalls.setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, (const char*)&off, sizeof(off));
    }
    sockaddr_storage local;
    int length = MakeSocketAddress(address, (UINT32)Served.NetworkPort, &local);
    if (WinsockCalls.bind(listener, (sockaddr*)&local, length) != 0 || WinsockCalls.listen(listener, SOMAXCONN) != 0
        || !MakeNonBlocking(listener)) {
        int code = LastError();
        WinsockCalls.closesocket(listener);
        return code;
    }
    ListenSocket = listener;
    return 0;
}

// A datagram socket connected to itself on the loopback: the stop sends it
// one byte, which ends the server's wait at once, while an idle server
// waits without a timeout and costs nothing.
static int OpenWakeSocket()
{
    SOCKET wake = WinsockCalls.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (wake == INVALID_SOCKET)
        return LastError();
    NetAddress loopback = { NET_FAMILY_IPV4, { 127, 0, 0, 1 } };
    sockaddr_storage local;
    int length = MakeSocketAddress(&loopback, 0, &local);
    if (WinsockCalls.bind(wake, (sockaddr*)&local, length) != 0
        || WinsockCalls.getsockname(wake, (sockaddr*)&local, &length) != 0
        || WinsockCalls.connect(wake, (sockaddr*)&local, length) != 0 || !MakeNonBlocking(wake)) {
        int code = LastError();
        WinsockCalls.closesocket(wake);
        return code;
    }
    WakeSocket = wake;
    return 0;
}

// The registry's text as Windows itself reads an IPv4 or IPv6 literal; no
// name is ever looked up.
static BOOL ParseListenAddress(NetAddress* address)
{
    ByteClear(address, sizeof(*address));
    address->Family = NET_FAMILY_IPV4;
    if (WinsockCalls.InetPtonW(AF_INET, Served.NetworkAddress, address->Bytes) == 1)
        return TRUE;
    address->Family = NET_FAMILY_IPV6;
    return WinsockCalls.InetPtonW(AF_INET6, Served.NetworkAddress, address->Bytes) == 1;
}

static void LogListenFailure(const char* endpoint, int code)
{
    char text[NET_ADDRESS_TEXT_BYTES + 20];
    int position = AppendBytes(text, 0, sizeof(text), endpoint);
    position = AppendBytes(text, position, sizeof(text), ", code ");
    AppendDecimal(text, position, sizeof(text), (UINT32)code);
    LogWithAddress(L"ERROR - network server could not listen on ", text);
}

// Winsock and the address, once; FALSE, with its line logged, when the
// server cannot run at all.
static BOOL PrepareServer(NetAddress* address, char* endpoint)
{
    if (!LoadWinsockCalls()) {
        WriteLog(L"ERROR - network server off: ws2_32.dll could not be loaded");
        return FALSE;
    }
    if (!ParseListenAddress(address)) {
        WriteLog(L"ERROR - network server off: NetworkAddress is malformed");
        return FALSE;
    }
    FormatNetEndpoint(address, (UINT32)Served.NetworkPort, endpoint);
    WSADATA data;
    int code = WinsockCalls.WSAStartup(MAKEWORD(2, 2), &data);
    if (code != 0)
        LogListenFailure(endpoint, code);
    return code == 0;
}

// The listening socket and, the first time, the wake socket; the Winsock
// error, or 0. A failure leaves no listener behind: with
// SO_EXCLUSIVEADDRUSE it would hold the port, and every later bind in the
// process would fail.
static int Listen(const NetAddress* address)
{
    int code = OpenListenSocket(address);
    if (code == 0 && WakeSocket == INVALID_SOCKET) {
        code = OpenWakeSocket();
        if (code != 0) {
            WinsockCalls.closesocket(ListenSocket);
            ListenSocket = INVALID_SOCKET;
        }
    }
    return code;
}

// One attempt: every success is logged, only the first of a run of failures.
static void TryListen(const NetAddress* address, const char* endpoint, BOOL* failureLogged)
{
    int code = Listen(address);
    if (code == 0)
        LogWithAddress(L"network server listening on ", endpoint);
    else if (!*failureLogged)
        LogListenFailure(endpoint, code);
    *failureLogged = code != 0;
}

// ---- Connections

static void CloseConnection(Connection* connection)
{
    if (connection->Session.LoggedIn) {
        LogWithAddress(L"follower logged out: ", connection->Address);
        InterlockedDecrement(&LoggedInCount);
        // A follower that leaves after FSD is shutting down; one that this
        // program's own stop disconnects is not.
        if (IsForcedShutdownRaised() && !StopRequested())
            InterlockedIncrement(&GoneSinceFsd);
    }
    WinsockCalls.closesocket(connection->Socket);
    connection->Socket = INVALID_SOCKET;
}

static void FormatPeer(const sockaddr_storage* peer, char* text)
{
    NetAddress address = {};
    if (peer->ss_family == AF_INET) {
        address.Family = NET_FAMILY_IPV4;
        ByteCopy(address.Bytes, &((const sockaddr_in*)peer)->sin_addr, 4);
    } else {
        address.Family = NET_FAMILY_IPV6;
        ByteCopy(address.Bytes, &((const sockaddr_in6*)peer)->sin6_addr, 16);
    }
    FormatNetAddress(&address, text);
}

// A free slot; when every one is taken, the slot of the connection silent
// the longest among those not logged in, closed to make room: connections
// that only hold slots must not keep a follower out. NULL when all 32 are
// logged in.
static Connection* SlotFor(DWORD now)
{
    Connection* silentest = NULL;
    for (Connection& connection : Connections) {
        if (connection.Socket == INVALID_SOCKET)
            return &connection;
        if (!connection.Session.LoggedIn && (!silentest || now - connection.HeardTick > now - silentest->HeardTick))
            silentest = &connection;
    }
    if (silentest)
        CloseConnection(silentest);
    return silentest;
}

// Every connection waiting to be accepted; one for which no slot can be
// made is closed at once, unanswered.
static void AcceptClients()
{
    for (;;) {
        sockaddr_storage peer;
        int length = sizeof(peer);
        ByteClear(&peer, sizeof(peer));
        SOCKET socket = WinsockCalls.accept(ListenSocket, (sockaddr*)&peer, &length);
        if (socket == INVALID_SOCKET) {
            int code = LastError();
            if (code != WSAEWOULDBLOCK && code != WSAECONNRESET)
                WaitForEnd(FAILURE_PAUSE_MS);
            if (code != WSAECONNRESET)
                return;
            continue;
        }
        Connection* connection = SlotFor(GetTickCount());
        if (!connection || !MakeNonBlocking(socket)) {
            WinsockCalls.closesocket(socket);
            continue;
        }
        // Each answer is one send, and a client may ask again before it has
        // acknowledged the last: without this, Nagle's rule would hold the
        // answer back until the client's delayed acknowledgement, 40 ms or
        // more.
        int on = 1;
        WinsockCalls.setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof(on));
        ByteClear(&connection->Session, sizeof(connection->Session));
        connection->Socket = socket;
        connection->HeardTick = GetTickCount();
        connection->Closing = FALSE;
        connection->InLength = 0;
        connection->OutStart = 0;
        connection->OutLength = 0;
        FormatPeer(&peer, connection->Address);
    }
}

// Sends what waits; FALSE when the connection was closed.
static BOOL Flush(Connection* connection)
{
    while (connection->OutStart < connection->OutLength) {
        int sent = WinsockCalls.send(connection->Socket, connection->Out + connection->OutStart,
                                     connection->OutLength - connection->OutStart, 0);
        if (sent < 0) {
            if (LastError() == WSAEWOULDBLOCK)
                return TRUE;
            CloseConnection(connection);
            return FALSE;
        }
        connection->OutStart += sent;
    }
    connection->OutStart = 0;
    connection->OutLength = 0;
    if (connection->Closing) {
        CloseConnection(connection);
        return FALSE;
    }
    return TRUE;
}

static void GatherFacts(NetFacts* facts)
{
    UINT32 tick = CopySnapshotAndTick(&facts->Status);
    facts->Stale = IsStatusStale(&facts->Status, GetTickCount() - tick);
    facts->ForcedShutdown = IsForcedShutdownRaised();
    // The UPS gone in an outage that raised FSD: the followers still read
    // its last status words.
    if (!facts->Status.Present && facts->ForcedShutdown) {
        CopyLastSeenStatus(&facts->Status);
        facts->Status.Present = 0;
    }
    facts->UpsOffDelaySeconds = ServedUpsOffDelay();
    // The thresholds as they are now: the settings window may have changed
    // them since this run began.
    Settings settings;
    CopySettings(&settings);
    facts->RuntimeThresholdSeconds = settings.RuntimeThresholdSeconds;
    facts->ChargeThresholdPercent = settings.ChargeThresholdPercent;
    facts->User = UserText;
    facts->Password = PasswordText;
    int count = 0;
    for (const Connection& connection : Connections) {
        if (connection.Socket != INVALID_SOCKET && connection.Session.LoggedIn)
            LoginAddresses[count++] = connection.Address;
    }
    facts->LoginCount = count;
    facts->LoginAddresses = LoginAddresses;
}

static BOOL SameAddress(const char* a, const char* b)
{
    for (; *a == *b; a++, b++) {
        if (!*a)
            return TRUE;
    }
    return FALSE;
}

static void LogRefusal(const Connection* connection)
{
    DWORD now = GetTickCount();
    RefusalRecord* free = NULL;
    for (RefusalRecord& refusal : RefusalsLogged) {
        BOOL recent = refusal.Address[0] && now - refusal.Tick < REFUSAL_LOG_INTERVAL_MS;
        if (!recent)
            free = &refusal;
        else if (SameAddress(refusal.Address, connection->Address))
            return;
    }
    // As many addresses named within the minute as there are slots: the
    // log is not the place for more.
    if (!free)
        return;
    free->Tick = now;
    AppendBytes(free->Address, 0, NET_ADDRESS_TEXT_BYTES, connection->Address);
    LogWithAddress(L"ERROR - network login refused: ", connection->Address);
}

static void Answer(Connection* connection, const char* line, int length)
{
    connection->HeardTick = GetTickCount();
    NetFacts facts;
    GatherFacts(&facts);
    int answerLength = 0;
    int flags = AnswerLine(&connection->Session, line, length, &facts, connection->Out + connection->OutLength,
                           &answerLength);
    connection->OutLength += answerLength;
    if (flags & NET_LOGGED_IN) {
        InterlockedIncrement(&LoggedInCount);
        LogWithAddress(L"follower logged in: ", connection->Address);
    }
    if (flags & NET_LOGIN_REFUSED)
        LogRefusal(connection);
    if (flags & NET_CLOSE)
        connection->Closing = TRUE;
}

// Answers the whole lines received while their answers fit, and sends them
// together: the lines a client sends at once are answered in one piece, in
// one send. Nothing more is read until they are sent, so that a client that
// does not read stops being read.
static void AnswerLines(Connection* connection)
{
    for (;;) {
        while (!connection->Closing && connection->OutLength <= OUT_BYTES - NET_ANSWER_BYTES) {
            int end = 0;
            while (end < connection->InLength && connection->In[end] != '\n')
                end++;
            if (end == connection->InLength && end < IN_BYTES)
                break;
            int content = end > 0 && connection->In[end - 1] == '\r' ? end - 1 : end;
            if (end == IN_BYTES || content > NET_LINE_BYTES) {
                CloseConnection(connection);
                return;
            }
            Answer(connection, connection->In, end);
            int rest = connection->InLength - (end + 1);
            for (int i = 0; i < rest; i++)
                connection->In[i] = connection->In[end + 1 + i];
            connection->InLength = rest;
        }
        // Done when nothing was answered, the connection is closed, or the
        // rest must wait until the client takes what was sent.
        if ((!connection->OutLength && !connection->Closing) || !Flush(connection) || connection->OutLength)
            return;
    }
}

static void Receive(Connection* connection)
{
    int received = WinsockCalls.recv(connection->Socket, connection->In + connection->InLength,
                                     IN_BYTES - connection->InLength, 0);
    if (received < 0 && LastError() == WSAEWOULDBLOCK)
        return;
    if (received <= 0) {
        CloseConnection(connection);
        return;
    }
    connection->InLength += received;
    AnswerLines(connection);
}

static void Serve(Connection* connection, SHORT events)
{
    if (events & (POLLERR | POLLNVAL)) {
        CloseConnection(connection);
        return;
    }
    if (connection->OutLength) {
        if (Flush(connection))
            AnswerLines(connection);
        return;
    }
    if (events & (POLLRDNORM | POLLHUP))
        Receive(connection);
}

// The wait until the first connection falls idle, or none.
static int PollTimeout(DWORD now)
{
    int timeout = -1;
    for (const Connection& connection : Connections) {
        if (connection.Socket == INVALID_SOCKET)
            continue;
        DWORD idle = now - connection.HeardTick;
        int left = idle >= IDLE_CLOSE_MS ? 0 : (int)(IDLE_CLOSE_MS - idle);
        if (timeout < 0 || left < timeout)
            timeout = left;
    }
    return timeout;
}

static void CloseIdle(DWORD now)
{
    for (Connection& connection : Connections) {
        if (connection.Socket != INVALID_SOCKET && now - connection.HeardTick >= IDLE_CLOSE_MS)
            CloseConnection(&connection);
    }
}

// Serves until the stop, listening again LISTEN_RETRY_MS after a failure
// to listen or a listener's failure, and serving the connections meanwhile.
static void RunServer(const NetAddress* address, const char* endpoint)
{
    WSAPOLLFD polled[2 + NET_MAX_CLIENTS];
    Connection* owners[2 + NET_MAX_CLIENTS];
    BOOL failureLogged = FALSE;
    DWORD triedTick = GetTickCount() - LISTEN_RETRY_MS;
    while (!StopRequested()) {
        DWORD since = GetTickCount() - triedTick;
        if (ListenSocket == INVALID_SOCKET && since >= LISTEN_RETRY_MS) {
            triedTick += since;
            since = 0;
            TryListen(address, endpoint, &failureLogged);
        }
        DWORD retryIn = since >= LISTEN_RETRY_MS ? 0 : LISTEN_RETRY_MS - since;
        // Until the first listen there is nothing to serve, nor a wake
        // socket for the stop: its event is waited on instead.
        if (WakeSocket == INVALID_SOCKET) {
            WaitForEnd(retryIn);
            continue;
        }
        polled[0].fd = WakeSocket;
        polled[1].fd = ListenSocket;
        polled[0].events = polled[1].events = POLLRDNORM;
        int first = ListenSocket == INVALID_SOCKET ? 1 : 2;
        int count = first;
        for (Connection& connection : Connections) {
            if (connection.Socket == INVALID_SOCKET)
                continue;
            polled[count].fd = connection.Socket;
            polled[count].events = connection.OutLength ? POLLWRNORM : POLLRDNORM;
            owners[count++] = &connection;
        }
        int timeout = PollTimeout(GetTickCount());
        if (first == 1 && (timeout < 0 || (DWORD)timeout > retryIn))
            timeout = (int)retryIn;
        if (WinsockCalls.WSAPoll(polled, (ULONG)count, timeout) < 0) {
            WaitForEnd(FAILURE_PAUSE_MS);
            continue;
        }
        if (StopRequested())
            return;
        if (polled[0].revents) {
            char drained[16];
            WinsockCalls.recv(WakeSocket, drained, sizeof(drained), 0);
        }
        for (int i = first; i < count; i++) {
            if (polled[i].revents)
                Serve(owners[i], polled[i].revents);
        }
        // After the connections, so that the slots of those that have just
        // gone are free for those that have just come.
        if (first == 2 && (polled[1].revents & (POLLERR | POLLNVAL))) {
            WinsockCalls.closesocket(ListenSocket);
            ListenSocket = INVALID_SOCKET;
            triedTick = GetTickCount();
        } else if (first == 2 && (polled[1].revents & POLLRDNORM)) {
            AcceptClients();
        }
        CloseIdle(GetTickCount());
    }
}

static DWORD WINAPI NetworkServerThread(LPVOID)
{
    for (Connection& connection : Connections)
        connection.Socket = INVALID_SOCKET;
    CopySettings(&Served);
    EncodeUtf8(Served.NetworkUser, NETWORK_TEXT_UNITS, UserText, NET_SECRET_BYTES, FALSE);
    EncodeUtf8(Served.NetworkPassword, NETWORK_TEXT_UNITS, PasswordText, NET_SECRET_BYTES, FALSE);
    NetAddress address;
    char endpoint[NET_ADDRESS_TEXT_BYTES];
    if (!PrepareServer(&address, endpoint))
        return 0;
    RunServer(&address, endpoint);
    for (Connection& connection : Connections) {
        if (connection.Socket != INVALID_SOCKET)
            CloseConnection(&connection);
    }
    // The wake socket stays open: the stop may still be writing to it. The
    // end of the process closes it, or a restart once this thread has ended.
    if (ListenSocket != INVALID_SOCKET)
        WinsockCalls.closesocket(ListenSocket);
    return 0;
}

void StartNetworkServer()
{
    Settings settings;
    CopySettings(&settings);
    if (!EndEvent)
        EndEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (EndEvent)
        ResetEvent(EndEvent);
    if (settings.NetworkServerEnabled && StopEvent)
        ServerThread = CreateThread(NULL, 0, NetworkServerThread, NULL, 0, NULL);
}

BOOL RestartNetworkServer()
{
    if (ServerThread) {
        if (EndEvent)
            SetEvent(EndEvent);
        WakeNetworkServer();
        if (WaitForSingleObject(ServerThread, RESTART_WAIT_MS) != WAIT_OBJECT_0)
            return FALSE;
        CloseHandle(ServerThread);
        ServerThread = NULL;
        // Only this thread writes to the wake socket, and its reader has ended.
        if (WakeSocket != INVALID_SOCKET)
            WinsockCalls.closesocket(WakeSocket);
        WakeSocket = INVALID_SOCKET;
        ListenSocket = INVALID_SOCKET;
    }
    StartNetworkServer();
    return TRUE;
}

void WakeNetworkServer()
{
    SOCKET wake = WakeSocket;
    if (wake != INVALID_SOCKET)
        WinsockCalls.send(wake, "", 1, 0);
}

void WaitNetworkServer(DWORD waitMs)
{
    if (ServerThread)
        WaitForSingleObject(ServerThread, waitMs);
}

LONG CountFollowersLoggedIn()
{
    return InterlockedCompareExchange(&LoggedInCount, 0, 0);
}

LONG TakeFollowersGoneSinceFsd()
{
    return InterlockedExchange(&GoneSinceFsd, 0);
}
