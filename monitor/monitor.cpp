// The monitor thread. It alone touches the open UPS and its working record;
// the user-interface thread sees the record only as the Snapshot published
// under StatusLock (monitor/snapshot.cpp).
#include "monitor/monitor.h"
#include "monitor/input_wait.h"
#include "monitor/shutdown.h"
#include "monitor/snapshot.h"
#include "app/settings.h"
#include "app/startup.h"
#include "base/log.h"
#include "base/text.h"
#include "ui/window.h"
#include "ups/discovery.h"
#include "upsoff/commit.h"
#include "upsoff/followers.h"

HANDLE StopEvent;
HANDLE WakeEvent;

// Set by the user-interface thread when the computer has resumed, taken by
// the next pass.
static volatile LONG ResumeRequested;

// What one pass remembers of the previous one, on the thread's own stack.
struct MonitorState {
    UpsStatus Working;
    INT32 PreviousPresent;
    INT32 PreviousOnBattery;
    BOOL FirstPass;
    // The "UPS connected: " line of a device none of whose polls has
    // succeeded yet; empty once one has.
    WCHAR Unanswered[MONITOR_LINE_UNITS];
};

// A name from the device record, "?" when it is empty.
static int AppendName(WCHAR* line, int position, const WCHAR* name)
{
    WCHAR bounded[UPS_NAME_UNITS + 1];
    int length = UpsNameLength(name);
    ByteCopy(bounded, name, (UINT64)length * sizeof(WCHAR));
    bounded[length] = 0;
    return AppendText(line, position, MONITOR_LINE_UNITS, length ? bounded : L"?");
}

int ComposeConnectedLine(WCHAR* line, const UpsStatus* status)
{
    int position = AppendText(line, 0, MONITOR_LINE_UNITS, L"UPS connected: ");
    position = AppendName(line, position, status->Manufacturer);
    position = AppendText(line, position, MONITOR_LINE_UNITS, L" ");
    return AppendName(line, position, status->Product);
}

int ComposeMainsLine(WCHAR* line, const UpsStatus* status)
{
    int position = AppendText(line, 0, MONITOR_LINE_UNITS,
                              status->OnBattery ? L"MAINS LOST - on battery, " : L"on line, ");
    if (status->ChargePercent >= 0) {
        position = AppendSigned(line, position, MONITOR_LINE_UNITS, status->ChargePercent);
        position = AppendText(line, position, MONITOR_LINE_UNITS, L"%, ");
    }
    return AppendDuration(line, position, MONITOR_LINE_UNITS, status->RuntimeSeconds);
}

// The first condition that holds wins; an unreported (-1) runtime or charge
// never satisfies its test, so the next one is tried.
int ChooseShutdownReason(const UpsStatus* status, INT32 runtimeThresholdSeconds, INT32 chargeThresholdPercent)
{
    if (!status->Present || !status->OnBattery)
        return 0;
    if (status->ShutdownImminent)
        return SHUTDOWN_REASON_IMMINENT;
    if (status->BelowCapacityLimit)
        return SHUTDOWN_REASON_BELOW_LIMIT;
    if (status->RuntimeSeconds >= 0 && status->RuntimeSeconds <= runtimeThresholdSeconds)
        return SHUTDOWN_REASON_RUNTIME;
    if (status->ChargePercent >= 0 && status->ChargePercent <= chargeThresholdPercent)
        return SHUTDOWN_REASON_CHARGE;
    return 0;
}

// A device that is found but never answers is closed after its failed poll
// and found again on the next pass, every 5 s for as long as it stays
// plugged in: it is announced once, and again only after one of its polls
// has succeeded.
static void AnnounceDevice(MonitorState* state)
{
    WCHAR line[MONITOR_LINE_UNITS];
    ComposeConnectedLine(line, &state->Working);
    if (SameText(line, state->Unanswered))
        return;
    WriteLog(line);
    AppendText(state->Unanswered, 0, MONITOR_LINE_UNITS, line);
}

// Step 1 of a pass: open the UPS when none is open, then poll it.
static void OpenOrPoll(MonitorState* state)
{
    if (UpsDevice.Handle == INVALID_HANDLE_VALUE) {
        ResetStatus(&state->Working);
        if (!OpenUps(&state->Working))
            return;
        AnnounceDevice(state);
        PublishUpsOffTarget();
    }
    if (PollUps(&state->Working)) {
        state->Unanswered[0] = 0;
        return;
    }
    CloseUps();
    ResetStatus(&state->Working);
    if (state->PreviousPresent)
        WriteLog(L"UPS disconnected");
}

// Step 2: log what changed since the previous pass.
static void LogChanges(MonitorState* state)
{
    INT32 present = state->Working.Present;
    if (!present && state->PreviousPresent && !state->FirstPass)
        WriteLog(L"UPS not found");
    if (present && (state->Working.OnBattery != state->PreviousOnBattery || state->FirstPass)) {
        WCHAR line[MONITOR_LINE_UNITS];
        ComposeMainsLine(line, &state->Working);
        WriteLog(line);
    }
    state->PreviousPresent = present;
    state->PreviousOnBattery = state->Working.OnBattery;
    state->FirstPass = FALSE;
}

void DecideShutdown(const UpsStatus* status)
{
    NoteUpsSighting(status->Present, status->OnBattery);
    // One copy for the whole decision: a change in the settings window
    // counts from the next pass, never halfway through this one.
    Settings settings;
    CopySettings(&settings);
    int reason = ChooseShutdownReason(status, settings.RuntimeThresholdSeconds, settings.ChargeThresholdPercent);
    // A UPS gone while on battery leaves nothing to watch the battery run
    // down: after UPS_LOST_ARM_MS without it, that is a reason of its own.
    if (!status->Present && UpsLostDueInMs() == 0)
        reason = SHUTDOWN_REASON_UPS_LOST;
    if (reason)
        ArmShutdown(reason);
    else if (status->Present && !status->OnBattery)
        CancelShutdownOnMains();
}

void RequestRescanAfterResume()
{
    InterlockedExchange(&ResumeRequested, 1);
    if (WakeEvent)
        SetEvent(WakeEvent);
}

// As at the thread's start: no device, no previous pass.
static void StartFresh(MonitorState* state)
{
    ResetStatus(&state->Working);
    state->PreviousPresent = 0;
    state->PreviousOnBattery = 0;
    state->FirstPass = TRUE;
    state->Unanswered[0] = 0;
}

static BOOL SameEvents(const ShutdownEvents* a, const ShutdownEvents* b)
{
    return a->Armings == b->Armings && a->Refusals == b->Refusals && a->Armed == b->Armed;
}

// One pass; returns how long to wait for the next poll.
static DWORD RunPass(MonitorState* state)
{
    // After a sleep or hibernation the handle may point at a device that
    // was re-enumerated meanwhile, and the outage before it is over: the
    // UPS is found afresh, as after an unplug.
    if (InterlockedExchange(&ResumeRequested, 0)) {
        // The input read follows the device: cancelled and waited for
        // before the handles go.
        EndInputWait();
        CloseUps();
        StartFresh(state);
        ForgetShutdownAfterResume();
    }
    OpenOrPoll(state);
    LogChanges(state);
    NoteFollowersAtMainsReturn(&state->Working);
    PublishStatus(&state->Working);
    PostMessageW(App.MainWindow, WM_STATUS_UPDATED, 0, 0);
    ShutdownEvents before = ReadShutdownEvents();
    DecideShutdown(&state->Working);
    // The window shows the armed state as it was at the post above: tell it
    // again when the decision changed it, not a pass later.
    ShutdownEvents after = ReadShutdownEvents();
    if (!SameEvents(&before, &after))
        PostMessageW(App.MainWindow, WM_STATUS_UPDATED, 0, 0);
    return state->Working.Present && state->Working.OnBattery ? MONITOR_WAIT_ON_BATTERY_MS : MONITOR_WAIT_MS;
}

DWORD WINAPI MonitorThread(LPVOID)
{
    MonitorState state;
    StartFresh(&state);
    StartInputWait();
    for (;;) {
        // Read before the pass decides: once due, the pass arms, and the
        // wait after it is the poll's again.
        DWORD lostMs = UpsLostDueInMs();
        DWORD pollMs = RunPass(&state);
        // A UPS lost on battery arms at its own time, not at the next poll.
        // A failed wait just starts the next pass.
        if (!WaitForNextPass(pollMs, lostMs ? lostMs : INFINITE)) {
            EndInputWait();
            return 0;
        }
    }
}
