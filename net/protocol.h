// The UPS management protocol of RFC 9271, as this computer serves it: one
// request line, the connection's session and a copy of what the server knows
// in, one answer out. Pure code over caller buffers: no socket, no clock, no
// lock, no log; the server thread (net/server.cpp) does all of that.
#pragma once
#include <windows.h>
#include "ups/status.h"

enum {
    NET_LINE_BYTES = 512,        // the longest request line, its LF not counted
    NET_ANSWER_BYTES = 4096,     // more than the longest answer (LIST VAR, LIST CLIENT)
    NET_SECRET_BYTES = 256,      // a configured user or password, UTF-8, terminator included
    NET_MAX_CLIENTS = 32,
    NET_MAX_REFUSED_LOGINS = 3,
};

// What one connection has said about itself. Only whether the user and the
// password matched is kept, never what was sent.
struct NetSession {
    BOOL UserGiven;
    BOOL UserMatches;
    BOOL PasswordGiven;
    BOOL PasswordMatches;
    BOOL LoggedIn;
    INT32 RefusedLogins;
};

// Everything an answer may depend on, gathered by the server for each line.
struct NetFacts {
    UpsStatus Status;                   // a copy of the Snapshot; while FSD is raised without a
                                        // UPS, the last one seen with it, Present still 0
    BOOL Stale;                         // see IsStatusStale
    BOOL ForcedShutdown;                // this computer has armed in this outage
    INT32 UpsOffDelaySeconds;           // ups.delay.shutdown; 0: not served
    INT32 RuntimeThresholdSeconds;
    INT32 ChargeThresholdPercent;
    const char* User;                   // UTF-8, terminated
    const char* Password;               // UTF-8, terminated; empty: no LOGIN can succeed
    INT32 LoginCount;                   // connections logged in, this one included
    const char* const* LoginAddresses;  // LoginCount texts for LIST CLIENT
};

// What the server must do besides sending the answer.
enum {
    NET_CLOSE = 1,            // close the connection once the answer is sent
    NET_LOGGED_IN = 2,
    NET_LOGIN_REFUSED = 4,
};

// Answers one line (its LF removed; a CR before it is ignored). Writes at
// most NET_ANSWER_BYTES bytes, each answer line ended by LF, into answer and
// their count into *answerLength (0 for an empty line); returns the NET_*
// flags.
int AnswerLine(NetSession* session, const char* line, int length, const NetFacts* facts,
               char* answer, int* answerLength);

// A snapshot is stale once three of the monitor's waits of its state have
// passed since it was published (15 s on line, 6 s on battery): the monitor
// publishes after every pass, so that many missed passes mean it is stuck,
// in a device call most likely, and its data can no longer be trusted.
BOOL IsStatusStale(const UpsStatus* status, UINT32 ageMs);

// Equal texts of at most NET_SECRET_BYTES bytes, compared in a time that
// depends on neither text: a network peer must not learn the password a
// byte at a time from how fast it is refused.
BOOL SecretsMatch(const char* given, int givenLength, const char* expected);

// UTF-16 to UTF-8 of at most `units` units (stopping at a terminator), into
// capacity bytes, terminated; unpaired surrogates become U+FFFD. With
// printableOnly, control characters become '?', so that a device's name can
// neither end a protocol line nor hide in it. Returns the length in bytes;
// a character that does not fit whole is left out with all after it.
int EncodeUtf8(const WCHAR* text, int units, char* out, int capacity, BOOL printableOnly);
