// The shutdown controller and its outage record.
//
// The states of Outage.State, and what holds in each (IsOutageConsistent):
//   QUIET        Nothing armed; Windows holds no request of Corvane's.
//   ARMED        A power-off or a hibernation, armed at ArmedTick for Reason,
//                its Action and GraceSeconds fixed then; FSD is raised. A
//                hibernation is never Requested; a power-off is once Windows
//                has taken it.
//   WITHDRAWING  The user's abort is taking the request back from Windows;
//                nothing arms until it is done. Never Requested.
//   HIBERNATING  Windows is being asked to hibernate: past its grace, a
//                hibernation can no longer be aborted or withdrawn.
// In every state HeldReason and PowerOffOnly stand only in an outage in
// which something was armed (FSD raised), and Missing only while the UPS
// was last seen on battery. An outage (FSD, the hold, PowerOffOnly, what
// was last seen) ends with the mains' return or a resume, never with the
// UPS's absence: a stalled transfer or a loose cable must not tell the
// followers that all is well, nor forget the user's abort.
//
// The moves, each made in one locked step by the routine named:
//   QUIET -> ARMED           ArmShutdown (monitor), unless HeldReason holds
//                            the reason back. A hibernation that Windows
//                            lacks, or that failed in this outage, arms a
//                            power-off instead.
//   ARMED -> QUIET           a refused request, or no privilege (the arming
//                            thread): Refusals + 1; the next pass tries again.
//   ARMED -> WITHDRAWING -> QUIET   AbortShutdownByUser (interface): the
//                            reason is held for the rest of the outage.
//   ARMED -> QUIET           CancelShutdownOnMains, ForgetShutdownAfterResume
//                            (monitor); either ends the outage in any state.
//   ARMED -> QUIET           CancelHibernationOnSuspend, ...OnStop
//                            (interface): a hibernation only.
//   ARMED -> HIBERNATING     HibernateWhenDue (countdown thread), once a
//                            hibernation's grace is over.
//   HIBERNATING -> QUIET     Windows took the request: its reason is held.
//   HIBERNATING -> ARMED     Windows refused it: a power-off at once, and
//                            power-offs only for the rest of the outage.
//   any -> the same          NoteUpsSighting (monitor): OnBattery, Missing.
// AbortSystemShutdownW is called only to take back a power-off that Windows
// holds for Corvane: never for a hibernation, never for another program's.
#include "monitor/shutdown.h"
#include "monitor/monitor.h"
#include "app/settings.h"
#include "base/log.h"
#include "base/text.h"
#include "upsoff/commit.h"

OutageRecord Outage;
// Zero-filled: an all-zero SRWLOCK is unlocked.
static SRWLOCK OutageLock;

// Set when a hibernation is armed, so that the countdown thread takes its
// due time; null while there is no such thread (in the unit tests).
static HANDLE CountdownEvent;

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

static void Lock()
{
    AcquireSRWLockExclusive(&OutageLock);
}

static void Unlock()
{
    ReleaseSRWLockExclusive(&OutageLock);
}

BOOL IsOutageConsistent(const OutageRecord* outage)
{
    BOOL hibernation = outage->Action == SHUTDOWN_ACTION_HIBERNATE;
    switch (outage->State) {
    case OUTAGE_QUIET:
    case OUTAGE_WITHDRAWING:
        if (outage->Requested)
            return FALSE;
        break;
    case OUTAGE_ARMED:
        if (!outage->Fsd || (hibernation && (outage->Requested || outage->PowerOffOnly)))
            return FALSE;
        break;
    case OUTAGE_HIBERNATING:
        if (!hibernation || outage->Requested)
            return FALSE;
        break;
    default:
        return FALSE;
    }
    return (outage->Fsd || (!outage->HeldReason && !outage->PowerOffOnly)) && (outage->OnBattery || !outage->Missing);
}

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
    case SHUTDOWN_REASON_UPS_LOST:
        return L"UPS lost while on battery";
    }
    return L"battery critical";
}

// Milliseconds left of spanMs since the tick `since`, 0 once it is over;
// unsigned, so right across the wrap of the tick counter.
static DWORD LeftOf(DWORD since, DWORD spanMs)
{
    DWORD elapsed = ShutdownCalls.GetTickCount() - since;
    return elapsed >= spanMs ? 0 : spanMs - elapsed;
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

static void LogArmed(int action, int reason, INT32 graceSeconds)
{
    WCHAR line[ARMED_LINE_UNITS];
    int position = AppendText(line, 0, ARMED_LINE_UNITS,
                              action == SHUTDOWN_ACTION_HIBERNATE ? L"HIBERNATE ARMED - " : L"SHUTDOWN ARMED - ");
    position = AppendText(line, position, ARMED_LINE_UNITS, ShutdownReasonText(reason));
    position = AppendText(line, position, ARMED_LINE_UNITS, L"; grace ");
    position = AppendSigned(line, position, ARMED_LINE_UNITS, graceSeconds);
    AppendText(line, position, ARMED_LINE_UNITS, L"s");
    WriteLog(line);
}

// The armed period `period` was refused: it ends, unless something else
// ended it first, and the next pass on battery tries again.
static void TakeRefusal(LONG period)
{
    Lock();
    Outage.Refusals++;
    if (Outage.State == OUTAGE_ARMED && Outage.Armings == period)
        Outage.State = OUTAGE_QUIET;
    Unlock();
}

static void RequestPowerOff(LONG period, int reason, INT32 graceSeconds)
{
    WCHAR message[SHUTDOWN_MESSAGE_UNITS];
    int position = AppendText(message, 0, SHUTDOWN_MESSAGE_UNITS, L"Corvane: ");
    position = AppendText(message, position, SHUTDOWN_MESSAGE_UNITS, ShutdownReasonText(reason));
    AppendText(message, position, SHUTDOWN_MESSAGE_UNITS, L". Saving and shutting down.");
    DWORD result = ShutdownCalls.InitiateShutdownW(NULL, message, (DWORD)graceSeconds, SHUTDOWN_FLAGS,
                                                   SHUTDOWN_REASON_CODE);
    if (result != ERROR_SUCCESS) {
        // InitiateShutdownW reports failure only through its result; the
        // last error is not set (Wine's stub returns 120 and leaves it at 0).
        WriteLogWithCode(L"ERROR - InitiateShutdown failed, code ", result);
        TakeRefusal(period);
        return;
    }
    Lock();
    BOOL stillArmed = Outage.State == OUTAGE_ARMED && Outage.Armings == period;
    Outage.Requested = stillArmed;
    Unlock();
    // Ended while the request was being made, when there was nothing to
    // withdraw yet: take back the request just made, or the computer powers
    // off with no shutdown shown and none to cancel.
    if (!stillArmed)
        ShutdownCalls.AbortSystemShutdownW(NULL);
}

// The hibernation's grace is counted on a thread of the controller's own:
// the monitor thread can be held by a device request that stalls, the
// interface thread by a menu or a hung shell, and the request itself
// (which blocks until the resume) may be preceded by work of its own.
static DWORD WINAPI CountdownThread(LPVOID)
{
    HANDLE events[2] = { StopEvent, CountdownEvent };
    for (;;) {
        DWORD result = WaitForMultipleObjects(2, events, FALSE, HibernationDueInMs());
        if (result != WAIT_TIMEOUT && result != WAIT_OBJECT_0 + 1)
            return 0;
        HibernateWhenDue();
    }
}

void StartShutdownCountdown()
{
    CountdownEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE thread = CountdownEvent && StopEvent ? CreateThread(NULL, 0, CountdownThread, NULL, 0, NULL) : NULL;
    if (thread)
        CloseHandle(thread);
}

void ArmShutdown(int reason)
{
    Lock();
    BOOL armable = Outage.State == OUTAGE_QUIET && !(Outage.HeldReason && reason >= Outage.HeldReason);
    BOOL powerOffOnly = Outage.PowerOffOnly;
    Unlock();
    if (!armable)
        return;
    // The settings are read here alone: what an armed period does and how
    // long it waits are fixed when it starts. After a failed hibernation the
    // grace has been spent already.
    Settings settings;
    CopySettings(&settings);
    int action = powerOffOnly ? SHUTDOWN_ACTION_POWER_OFF : settings.ShutdownAction;
    INT32 grace = powerOffOnly ? 0 : settings.GraceSeconds;
    BOOL hibernationMissing = action == SHUTDOWN_ACTION_HIBERNATE && !IsHibernationAvailable();
    if (hibernationMissing)
        action = SHUTDOWN_ACTION_POWER_OFF;
    // Only this thread moves the record out of QUIET: it is still there.
    Lock();
    Outage.State = OUTAGE_ARMED;
    Outage.Action = action;
    Outage.Reason = reason;
    Outage.GraceSeconds = grace;
    Outage.ArmedTick = ShutdownCalls.GetTickCount();
    // The followers shut down from this pass on, whatever becomes of this
    // computer's own request: an abort or a refusal holds only this one.
    Outage.Fsd = TRUE;
    LONG period = ++Outage.Armings;
    Unlock();
    if (hibernationMissing)
        WriteLog(L"ERROR - hibernation not available, shutting down instead");
    LogArmed(action, reason, grace);
    // Without the privilege nothing can be requested: staying armed would
    // show a shutdown in progress that never comes and stop every later
    // attempt, so disarm and let the next pass on battery try again.
    if (!EnableShutdownPrivilege()) {
        WriteLog(L"ERROR - could not acquire SeShutdownPrivilege");
        TakeRefusal(period);
        return;
    }
    if (action == SHUTDOWN_ACTION_HIBERNATE && CountdownEvent)
        SetEvent(CountdownEvent);
    else if (action == SHUTDOWN_ACTION_POWER_OFF)
        RequestPowerOff(period, reason, grace);
}

BOOL IsShutdownArmed()
{
    Lock();
    BOOL armed = Outage.State == OUTAGE_ARMED;
    Unlock();
    return armed;
}

void AbortShutdownByUser()
{
    Lock();
    BOOL armed = Outage.State == OUTAGE_ARMED;
    BOOL requested = Outage.Requested;
    if (armed) {
        Outage.State = OUTAGE_WITHDRAWING;
        Outage.HeldReason = Outage.Reason;
        Outage.Requested = FALSE;
    }
    Unlock();
    if (!armed)
        return;
    // A pass meanwhile can neither arm again (the record is not QUIET) nor
    // have a request of its own taken back by this abort.
    if (requested)
        ShutdownCalls.AbortSystemShutdownW(NULL);
    Lock();
    Outage.State = OUTAGE_QUIET;
    Unlock();
    WriteLog(L"shutdown aborted by user");
}

// The mains are back or the computer has resumed: the outage ends, and
// what is armed is withdrawn. TRUE when something was armed.
static BOOL EndOutage()
{
    Lock();
    BOOL armed = Outage.State == OUTAGE_ARMED;
    BOOL requested = Outage.Requested;
    if (armed) {
        Outage.State = OUTAGE_QUIET;
        Outage.Requested = FALSE;
    }
    Outage.HeldReason = 0;
    Outage.PowerOffOnly = FALSE;
    Outage.Fsd = FALSE;
    Outage.OnBattery = FALSE;
    Outage.Missing = FALSE;
    Unlock();
    if (requested)
        ShutdownCalls.AbortSystemShutdownW(NULL);
    return armed;
}

void CancelShutdownOnMains()
{
    if (EndOutage())
        WriteLog(L"mains restored - shutdown cancelled");
}

void ForgetShutdownAfterResume()
{
    EndOutage();
}

void NoteUpsSighting(BOOL present, BOOL onBattery)
{
    Lock();
    if (present) {
        Outage.OnBattery = onBattery;
        Outage.Missing = FALSE;
    } else if (Outage.OnBattery && !Outage.Missing) {
        Outage.Missing = TRUE;
        Outage.MissingTick = ShutdownCalls.GetTickCount();
    }
    Unlock();
}

DWORD UpsLostDueInMs()
{
    Lock();
    DWORD due = Outage.Missing ? LeftOf(Outage.MissingTick, UPS_LOST_ARM_MS) : INFINITE;
    Unlock();
    return due;
}

static BOOL CancelHibernation()
{
    Lock();
    BOOL armed = Outage.State == OUTAGE_ARMED && Outage.Action == SHUTDOWN_ACTION_HIBERNATE;
    if (armed)
        Outage.State = OUTAGE_QUIET;
    Unlock();
    return armed;
}

void CancelHibernationOnSuspend()
{
    CancelHibernation();
}

void CancelHibernationOnStop()
{
    if (CancelHibernation())
        WriteLog(L"hibernation cancelled - Corvane stopped");
}

DWORD HibernationDueInMs()
{
    Lock();
    DWORD due = Outage.State == OUTAGE_ARMED && Outage.Action == SHUTDOWN_ACTION_HIBERNATE
                    ? LeftOf(Outage.ArmedTick, (DWORD)Outage.GraceSeconds * 1000)
                    : INFINITE;
    Unlock();
    return due;
}

// The one place the hibernation is asked for. Wake events are disabled: a
// maintenance wake would resume the computer onto a nearly empty battery.
static BOOL Hibernate()
{
    return ShutdownCalls.SetSuspendState(TRUE, FALSE, TRUE);
}

void HibernateWhenDue()
{
    // Past its grace the hibernation can no longer be aborted: an abort
    // that comes now finds nothing to abort rather than reporting one that
    // does not happen.
    Lock();
    BOOL due = Outage.State == OUTAGE_ARMED && Outage.Action == SHUTDOWN_ACTION_HIBERNATE
               && LeftOf(Outage.ArmedTick, (DWORD)Outage.GraceSeconds * 1000) == 0;
    if (due)
        Outage.State = OUTAGE_HIBERNATING;
    int reason = Outage.Reason;
    LONG period = Outage.Armings;
    Unlock();
    if (!due)
        return;
    CommitUpsOff(TRUE, 0);
    WriteLog(L"hibernating");
    BOOL hibernated = Hibernate();
    DWORD error = GetLastError();
    // The mains or a resume may have ended the outage meanwhile: then
    // nothing is held and nothing falls back.
    Lock();
    BOOL outageGoesOn = Outage.Fsd;
    BOOL fallBack = !hibernated && outageGoesOn;
    // Windows has hibernated, or (Wine) said yes and did nothing. Held like
    // an abort, the same reason does not hibernate again every grace
    // period; a more urgent one still arms, and the resume ends the outage.
    if (hibernated && outageGoesOn)
        Outage.HeldReason = reason;
    Outage.State = fallBack ? OUTAGE_ARMED : OUTAGE_QUIET;
    if (fallBack) {
        Outage.Action = SHUTDOWN_ACTION_POWER_OFF;
        Outage.GraceSeconds = 0;
        Outage.ArmedTick = ShutdownCalls.GetTickCount();
        Outage.PowerOffOnly = TRUE;
    }
    Unlock();
    if (hibernated)
        return;
    WriteLogWithCode(L"ERROR - hibernate failed, code ", error);
    // The grace was spent on the countdown and the battery runs on: power
    // off at once, with a grace of 0.
    if (fallBack)
        RequestPowerOff(period, reason, 0);
}

BOOL IsForcedShutdownRaised()
{
    Lock();
    BOOL raised = Outage.Fsd;
    Unlock();
    return raised;
}

ShutdownEvents ReadShutdownEvents()
{
    Lock();
    ShutdownEvents events;
    events.Armings = Outage.Armings;
    events.Refusals = Outage.Refusals;
    events.Reason = Outage.Reason;
    events.Armed = Outage.State == OUTAGE_ARMED;
    events.GraceSeconds = Outage.GraceSeconds;
    events.LastSeenOnBattery = Outage.OnBattery;
    Unlock();
    return events;
}
