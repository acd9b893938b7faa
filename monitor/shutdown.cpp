// The shutdown controller. ShutdownArmed is the one flag shared between the
// monitor thread (arm, cancel on mains, hibernate) and the user-interface
// thread (abort, display); every access is an Interlocked* call, so no lock is
// needed.
#include "monitor/shutdown.h"
#include "app/settings.h"
#include "base/log.h"
#include "base/text.h"

volatile LONG ShutdownArmed;

// The reason of the shutdown now armed, and the reason of the one the user
// aborted (or that hibernated) during this outage (0: none). That holds for
// the rest of the outage: only a more urgent reason, a lower number, may arm
// again. Both are read and written with Interlocked* calls only.
static volatile LONG ArmedReason;
static volatile LONG AbortedReason;

// What the armed period ends in (a SHUTDOWN_ACTION_ value), its grace and the
// tick it began at, from the settings of the moment of arming: a change made
// while armed counts from the next arming. The monitor thread's alone:
// written before the flag rises, read only while it stands.
static int ArmedAction;
static INT32 ArmedGraceSeconds;
static DWORD ArmedTick;

// How many times the controller has armed, and how many requests Windows
// refused (or the privilege was missing): the interface compares them with
// what it saw last to tell the user of each new event once.
static volatile LONG Armings;
static volatile LONG Refusals;

// 1 from the arming of a shutdown to the end of its outage, whatever Windows
// or the user then do: the computers that follow this one over the network
// must still go down, the battery is just as low for them.
static volatile LONG ForcedShutdownRaised;

ShutdownSystemCalls ShutdownCalls = {
    OpenProcessToken,
    LookupPrivilegeValueW,
    AdjustTokenPrivileges,
    InitiateShutdownW,
    AbortSystemShutdownW,
    GetTickCount,
    NULL,
    NULL,
};

enum {
    ARMED_LINE_UNITS = 320,
    SHUTDOWN_MESSAGE_UNITS = 256,
};

static const DWORD SHUTDOWN_FLAGS = SHUTDOWN_FORCE_OTHERS | SHUTDOWN_POWEROFF;
static const DWORD SHUTDOWN_REASON_CODE =
    SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_POWER | SHTDN_REASON_MINOR_ENVIRONMENT;

const WCHAR* ShutdownReasonText(int reason)
{
    switch (reason) {
    case SHUTDOWN_REASON_IMMINENT:
        return L"UPS raised ShutdownImminent";
    case SHUTDOWN_REASON_BELOW_LIMIT:
        return L"UPS reports battery below its own capacity limit";
    case SHUTDOWN_REASON_RUNTIME:
        return L"runtime remaining fell below threshold";
    case SHUTDOWN_REASON_CHARGE:
        return L"charge fell below threshold";
    }
    return L"battery critical";
}

// AdjustTokenPrivileges succeeds even when it assigns nothing; only a last
// error of 0 right after it means the privilege is really enabled. Both a
// shutdown and a hibernation need it.
static BOOL EnableShutdownPrivilege()
{
    HANDLE token = NULL;
    if (!ShutdownCalls.OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return FALSE;
    BOOL enabled = FALSE;
    TOKEN_PRIVILEGES privileges;
    ByteClear(&privileges, sizeof(privileges));
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (ShutdownCalls.LookupPrivilegeValueW(NULL, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
        ShutdownCalls.AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        enabled = GetLastError() == ERROR_SUCCESS;
    }
    CloseHandle(token);
    return enabled;
}

// powrprof.dll is not one of Windows' KnownDLLs: like hid.dll it is taken
// from the system folder by hand, never from beside the program.
static BOOL LoadPowerCalls()
{
    if (ShutdownCalls.GetPwrCapabilities && ShutdownCalls.SetSuspendState)
        return TRUE;
    HMODULE powrprof = LoadLibraryExW(L"powrprof.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!powrprof)
        return FALSE;
    ShutdownSystemCalls calls = ShutdownCalls;
    calls.GetPwrCapabilities =
        (BOOLEAN (WINAPI*)(SYSTEM_POWER_CAPABILITIES*))(void*)GetProcAddress(powrprof, "GetPwrCapabilities");
    calls.SetSuspendState =
        (BOOLEAN (WINAPI*)(BOOLEAN, BOOLEAN, BOOLEAN))(void*)GetProcAddress(powrprof, "SetSuspendState");
    if (!calls.GetPwrCapabilities || !calls.SetSuspendState) {
        FreeLibrary(powrprof);
        return FALSE;
    }
    ShutdownCalls = calls;
    return TRUE;
}

// Asked at the moment of arming, since the user may switch hibernation off
// (powercfg /hibernate off) at any time: that clears S4, and a missing
// hibernation file clears the second flag.
static BOOL IsHibernationAvailable()
{
    if (!LoadPowerCalls())
        return FALSE;
    SYSTEM_POWER_CAPABILITIES capabilities;
    ByteClear(&capabilities, sizeof(capabilities));
    if (!ShutdownCalls.GetPwrCapabilities(&capabilities))
        return FALSE;
    return capabilities.SystemS4 && capabilities.HiberFilePresent;
}

static void LogArmed(const WCHAR* reasonText)
{
    WCHAR line[ARMED_LINE_UNITS];
    int position = AppendText(line, 0, ARMED_LINE_UNITS,
                              ArmedAction == SHUTDOWN_ACTION_HIBERNATE ? L"HIBERNATE ARMED - " : L"SHUTDOWN ARMED - ");
    position = AppendText(line, position, ARMED_LINE_UNITS, reasonText);
    position = AppendText(line, position, ARMED_LINE_UNITS, L"; grace ");
    position = AppendSigned(line, position, ARMED_LINE_UNITS, ArmedGraceSeconds);
    AppendText(line, position, ARMED_LINE_UNITS, L"s");
    WriteLog(line);
}

static BOOL IsHeldByUserAbort(int reason)
{
    LONG aborted = InterlockedCompareExchange(&AbortedReason, 0, 0);
    return aborted != 0 && reason >= aborted;
}

// A failed request disarms so that the next pass on battery tries again;
// an abort under way owns the flag and brings it down itself.
static void DisarmAfterFailure()
{
    InterlockedIncrement(&Refusals);
    InterlockedCompareExchange(&ShutdownArmed, SHUTDOWN_NOT_ARMED, SHUTDOWN_ARMED);
}

static void RequestPowerOff(int reason, DWORD graceSeconds)
{
    WCHAR message[SHUTDOWN_MESSAGE_UNITS];
    int position = AppendText(message, 0, SHUTDOWN_MESSAGE_UNITS, L"Corvane: ");
    position = AppendText(message, position, SHUTDOWN_MESSAGE_UNITS, ShutdownReasonText(reason));
    AppendText(message, position, SHUTDOWN_MESSAGE_UNITS, L". Saving and shutting down.");
    DWORD result = ShutdownCalls.InitiateShutdownW(NULL, message, graceSeconds, SHUTDOWN_FLAGS,
                                                   SHUTDOWN_REASON_CODE);
    if (result != ERROR_SUCCESS) {
        // InitiateShutdownW reports failure only through its result; the
        // last error is not set (Wine's stub returns 120 and leaves it at 0).
        WriteLogWithCode(L"ERROR - InitiateShutdown failed, code ", result);
        DisarmAfterFailure();
        return;
    }
    // The user may have aborted while the request was being prepared, when
    // there was nothing to abort yet: take back the request just made, or
    // the computer powers off with no shutdown shown and none to cancel.
    if (!IsShutdownArmed())
        ShutdownCalls.AbortSystemShutdownW(NULL);
}

void ArmShutdown(int reason)
{
    if (InterlockedCompareExchange(&ShutdownArmed, 0, 0) != SHUTDOWN_NOT_ARMED || IsHeldByUserAbort(reason))
        return;
    Settings settings;
    CopySettings(&settings);
    BOOL hibernationMissing = settings.ShutdownAction == SHUTDOWN_ACTION_HIBERNATE && !IsHibernationAvailable();
    // Only this thread arms, and while the flag reads 0 nobody reads what
    // the armed period is: it is all stored before the flag rises.
    InterlockedExchange(&ArmedReason, reason);
    ArmedAction = hibernationMissing ? SHUTDOWN_ACTION_POWER_OFF : settings.ShutdownAction;
    ArmedGraceSeconds = settings.GraceSeconds;
    ArmedTick = ShutdownCalls.GetTickCount();
    if (InterlockedCompareExchange(&ShutdownArmed, SHUTDOWN_ARMED, SHUTDOWN_NOT_ARMED) != SHUTDOWN_NOT_ARMED)
        return;
    InterlockedIncrement(&Armings);
    // The followers shut down from this pass on, whatever becomes of this
    // computer's own request: an abort or a refusal holds only this one.
    InterlockedExchange(&ForcedShutdownRaised, 1);
    if (hibernationMissing)
        WriteLog(L"ERROR - hibernation not available, shutting down instead");
    LogArmed(ShutdownReasonText(reason));

    // Without the privilege nothing can be requested: staying armed would
    // show a shutdown in progress that never comes and stop every later
    // attempt, so disarm and let the next pass on battery try again.
    if (!EnableShutdownPrivilege()) {
        WriteLog(L"ERROR - could not acquire SeShutdownPrivilege");
        DisarmAfterFailure();
        return;
    }
    // A hibernation waits for HibernateWhenDue; a shutdown is Windows' to count.
    if (ArmedAction == SHUTDOWN_ACTION_POWER_OFF)
        RequestPowerOff(reason, (DWORD)ArmedGraceSeconds);
}

BOOL IsShutdownArmed()
{
    return InterlockedCompareExchange(&ShutdownArmed, 0, 0) == SHUTDOWN_ARMED;
}

void AbortShutdownByUser()
{
    if (InterlockedCompareExchange(&ShutdownArmed, SHUTDOWN_ABORTING, SHUTDOWN_ARMED) != SHUTDOWN_ARMED)
        return;
    // The flag comes down only once the hold is in place and the request is
    // withdrawn: a pass in between can neither arm again (the flag is not 0)
    // nor have a request of its own cancelled by this abort.
    InterlockedExchange(&AbortedReason, InterlockedCompareExchange(&ArmedReason, 0, 0));
    ShutdownCalls.AbortSystemShutdownW(NULL);
    InterlockedExchange(&ShutdownArmed, SHUTDOWN_NOT_ARMED);
    WriteLog(L"shutdown aborted by user");
}

ShutdownEvents ReadShutdownEvents()
{
    ShutdownEvents events;
    events.Armings = InterlockedCompareExchange(&Armings, 0, 0);
    events.Refusals = InterlockedCompareExchange(&Refusals, 0, 0);
    events.Reason = InterlockedCompareExchange(&ArmedReason, 0, 0);
    events.Armed = IsShutdownArmed();
    return events;
}

void EndOutage()
{
    InterlockedExchange(&AbortedReason, 0);
    InterlockedExchange(&ForcedShutdownRaised, 0);
}

BOOL IsForcedShutdownRaised()
{
    return InterlockedCompareExchange(&ForcedShutdownRaised, 0, 0) == 1;
}

// The monitor's own disarm: TRUE when something was armed. AbortSystemShutdownW
// follows the flag's fall, as in ArmShutdown's own re-check.
static BOOL Withdraw()
{
    if (InterlockedCompareExchange(&ShutdownArmed, SHUTDOWN_NOT_ARMED, SHUTDOWN_ARMED) != SHUTDOWN_ARMED)
        return FALSE;
    ShutdownCalls.AbortSystemShutdownW(NULL);
    return TRUE;
}

void CancelShutdownOnMains()
{
    if (Withdraw())
        WriteLog(L"mains restored - shutdown cancelled");
    EndOutage();
}

void ForgetShutdownAfterResume()
{
    Withdraw();
    EndOutage();
}

DWORD HibernationDueInMs()
{
    if (!IsShutdownArmed() || ArmedAction != SHUTDOWN_ACTION_HIBERNATE)
        return INFINITE;
    // Unsigned: right across the wrap of the tick counter.
    DWORD elapsed = ShutdownCalls.GetTickCount() - ArmedTick;
    DWORD grace = (DWORD)ArmedGraceSeconds * 1000;
    return elapsed >= grace ? 0 : grace - elapsed;
}

void HibernateWhenDue()
{
    if (HibernationDueInMs() != 0)
        return;
    // Past its grace the hibernation can no longer be aborted. The flag
    // comes down before the request, so that an abort that comes now finds
    // nothing to abort rather than reporting one that does not happen.
    if (InterlockedCompareExchange(&ShutdownArmed, SHUTDOWN_NOT_ARMED, SHUTDOWN_ARMED) != SHUTDOWN_ARMED)
        return;
    LONG reason = InterlockedCompareExchange(&ArmedReason, 0, 0);
    WriteLog(L"hibernating");
    if (ShutdownCalls.SetSuspendState(TRUE, FALSE, FALSE)) {
        // Windows has hibernated, or (Wine) said yes and did nothing. Held
        // like an abort, the same reason does not hibernate again every
        // grace period; a more urgent one still arms, and the resume ends
        // the outage.
        InterlockedExchange(&AbortedReason, reason);
        return;
    }
    WriteLogWithCode(L"ERROR - hibernate failed, code ", GetLastError());
    // The grace was spent on the countdown and the battery runs on: power
    // off at once, with a grace of 0.
    ArmedAction = SHUTDOWN_ACTION_POWER_OFF;
    InterlockedExchange(&ShutdownArmed, SHUTDOWN_ARMED);
    RequestPowerOff(reason, 0);
}
