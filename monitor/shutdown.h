// The shutdown controller: arms once per armed period, asks Windows to power
// off after the grace period (or counts the grace itself and then asks Windows
// to hibernate), and is cancelled by the user or by the mains.
// ArmShutdown, CancelShutdownOnMains and the hibernation's countdown run on the
// monitor thread, AbortShutdownByUser and IsShutdownArmed on the
// user-interface thread; the only state they share is ShutdownArmed and the
// reasons, changed with Interlocked* calls.
#pragma once
#include <windows.h>
#include <powrprof.h>

enum {
    SHUTDOWN_REASON_IMMINENT = 1,
    SHUTDOWN_REASON_BELOW_LIMIT = 2,
    SHUTDOWN_REASON_RUNTIME = 3,
    SHUTDOWN_REASON_CHARGE = 4,
};

// The values of ShutdownArmed. While the user's abort is under way the flag
// reads SHUTDOWN_ABORTING: no pass can arm then, and nothing reads it as armed.
enum {
    SHUTDOWN_NOT_ARMED = 0,
    SHUTDOWN_ARMED = 1,
    SHUTDOWN_ABORTING = 2,
};

// Never read or written except through Interlocked*.
extern volatile LONG ShutdownArmed;

void ArmShutdown(int reason);
BOOL IsShutdownArmed();
void AbortShutdownByUser();
void CancelShutdownOnMains();
// The mains are back, the UPS is gone or the computer has resumed: a user's
// abort no longer holds.
void EndOutage();
// The computer has slept or hibernated: whatever was armed before is
// withdrawn, and the outage ends.
void ForgetShutdownAfterResume();

// Hibernation has no grace period of its own in Windows, so the controller
// counts it from the arming. Milliseconds until an armed hibernation is due
// (0 once it is), INFINITE when none is armed.
DWORD HibernationDueInMs();
// Asks Windows to hibernate once the armed hibernation is due; when that
// fails, powers off at once instead.
void HibernateWhenDue();

// Whether a shutdown was armed in this outage (the followers' FSD); any thread.
BOOL IsForcedShutdownRaised();

// What the interface needs to tell the user: counts of armings and of
// refused requests since start, the reason of the latest arming, and
// whether a shutdown is armed now.
struct ShutdownEvents {
    LONG Armings;
    LONG Refusals;
    LONG Reason;
    BOOL Armed;
};
ShutdownEvents ReadShutdownEvents();

// The text naming a reason; "battery critical" for anything outside 1..4.
const WCHAR* ShutdownReasonText(int reason);

// The system calls the controller makes, in one table so that a test can
// stand in for them. Defaults to the real advapi32/kernel32 functions; the
// two powrprof.dll calls are null until the first hibernation arming loads
// them from the system folder.
struct ShutdownSystemCalls {
    BOOL (WINAPI* OpenProcessToken)(HANDLE process, DWORD access, HANDLE* token);
    BOOL (WINAPI* LookupPrivilegeValueW)(LPCWSTR system, LPCWSTR name, LUID* luid);
    BOOL (WINAPI* AdjustTokenPrivileges)(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* state,
                                         DWORD bytes, TOKEN_PRIVILEGES* previous, DWORD* returnBytes);
    DWORD (WINAPI* InitiateShutdownW)(LPWSTR machine, LPWSTR message, DWORD graceSeconds,
                                      DWORD flags, DWORD reason);
    BOOL (WINAPI* AbortSystemShutdownW)(LPWSTR machine);
    DWORD (WINAPI* GetTickCount)();
    BOOLEAN (WINAPI* GetPwrCapabilities)(SYSTEM_POWER_CAPABILITIES* capabilities);
    BOOLEAN (WINAPI* SetSuspendState)(BOOLEAN hibernate, BOOLEAN force, BOOLEAN wakeEventsDisabled);
};
extern ShutdownSystemCalls ShutdownCalls;
