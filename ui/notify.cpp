// The power balloons. User-interface thread only: the notifier's memory is
// its own, the status a copy of the Snapshot, the controller's events read
// atomically. No device name ever goes into a balloon.
#include "ui/notify.h"
#include "app/settings.h"
#include "base/text.h"
#include "monitor/snapshot.h"
#include "ui/tray.h"
#include "upsoff/followers.h"

NotifierState Notifier;

NotifySystemCalls NotifyCalls = { SHQueryUserNotificationState };

static void SetBalloon(Balloon* balloon, int kind, DWORD icon, const WCHAR* title)
{
    balloon->Kind = kind;
    balloon->Icon = icon;
    AppendText(balloon->Title, 0, BALLOON_TITLE_UNITS, title);
    balloon->Text[0] = 0;
}

static int AppendCharge(WCHAR* text, int position, INT32 charge)
{
    if (charge < 0)
        return position;
    position = AppendNumber(text, position, BALLOON_TEXT_UNITS, (UINT32)charge);
    return AppendText(text, position, BALLOON_TEXT_UNITS, L"%");
}

// "On battery, 80%, 40 min left", the runtime as the tooltip writes it.
static void ComposeMainsLost(Balloon* balloon, const UpsStatus* status)
{
    SetBalloon(balloon, BALLOON_MAINS_LOST, NIIF_WARNING, L"Mains power lost");
    int position = AppendText(balloon->Text, 0, BALLOON_TEXT_UNITS, L"On battery, ");
    position = AppendCharge(balloon->Text, position, status->ChargePercent);
    if (status->ChargePercent >= 0)
        position = AppendText(balloon->Text, position, BALLOON_TEXT_UNITS, L", ");
    position = AppendDuration(balloon->Text, position, BALLOON_TEXT_UNITS, status->RuntimeSeconds);
    AppendText(balloon->Text, position, BALLOON_TEXT_UNITS, L" left");
}

static void ComposeMainsBack(Balloon* balloon, const UpsStatus* status, BOOL shutdownCancelled, LONG followersDown)
{
    SetBalloon(balloon, BALLOON_MAINS_BACK, NIIF_INFO, L"Mains power restored");
    int position = AppendText(balloon->Text, 0, BALLOON_TEXT_UNITS, L"On line");
    if (status->ChargePercent >= 0) {
        position = AppendText(balloon->Text, position, BALLOON_TEXT_UNITS, L", ");
        position = AppendCharge(balloon->Text, position, status->ChargePercent);
    }
    if (shutdownCancelled)
        position = AppendText(balloon->Text, position, BALLOON_TEXT_UNITS, L"; shutdown cancelled");
    // They will not start by themselves: the UPS never cut its output.
    if (followersDown > 0) {
        position = AppendText(balloon->Text, position, BALLOON_TEXT_UNITS, L"; ");
        position = AppendText(balloon->Text, position, BALLOON_TEXT_UNITS, FollowersDownText);
        AppendNumber(balloon->Text, position, BALLOON_TEXT_UNITS, (UINT32)followersDown);
    }
}

// Why the computer is about to go down, as a person would say it.
static int AppendPlainReason(WCHAR* text, int position, LONG reason, const UpsStatus* status)
{
    switch (reason) {
    case SHUTDOWN_REASON_IMMINENT:
        return AppendText(text, position, BALLOON_TEXT_UNITS, L"The UPS is about to cut the power.");
    case SHUTDOWN_REASON_BELOW_LIMIT:
        return AppendText(text, position, BALLOON_TEXT_UNITS, L"The UPS battery is below its safe limit.");
    case SHUTDOWN_REASON_RUNTIME:
        position = AppendText(text, position, BALLOON_TEXT_UNITS, L"The battery has only ");
        position = AppendDuration(text, position, BALLOON_TEXT_UNITS, status->RuntimeSeconds);
        return AppendText(text, position, BALLOON_TEXT_UNITS, L" left.");
    case SHUTDOWN_REASON_CHARGE:
        position = AppendText(text, position, BALLOON_TEXT_UNITS, L"The battery is down to ");
        position = AppendCharge(text, position, status->ChargePercent);
        return AppendText(text, position, BALLOON_TEXT_UNITS, L".");
    case SHUTDOWN_REASON_UPS_LOST:
        return AppendText(text, position, BALLOON_TEXT_UNITS, L"The UPS was lost while on battery.");
    }
    return AppendText(text, position, BALLOON_TEXT_UNITS, L"The battery is critical.");
}

static void ComposeArmed(Balloon* balloon, const UpsStatus* status, const ShutdownEvents* events)
{
    Settings settings;
    CopySettings(&settings);
    WCHAR title[BALLOON_TITLE_UNITS];
    int position = AppendText(title, 0, BALLOON_TITLE_UNITS, L"Shutting down in ");
    position = AppendSigned(title, position, BALLOON_TITLE_UNITS, events->GraceSeconds);
    AppendText(title, position, BALLOON_TITLE_UNITS, L" s");
    SetBalloon(balloon, BALLOON_ARMED, NIIF_WARNING, title);
    position = AppendPlainReason(balloon->Text, 0, events->Reason, status);
    position = AppendText(balloon->Text, position, BALLOON_TEXT_UNITS, L" Right-click the tray icon to abort.");
    // The followers' battery is just as low: an abort cannot hold them.
    if (settings.NetworkServerEnabled)
        AppendText(balloon->Text, position, BALLOON_TEXT_UNITS,
                   L" An abort holds this computer only: its followers still shut down.");
}

int DecideBalloon(NotifierState* state, const UpsStatus* status, const ShutdownEvents* events, LONG followersDown,
                  Balloon* balloon)
{
    NotifierState before = *state;
    state->HaveBaseline = TRUE;
    state->Present = status->Present;
    state->OnBattery = status->Present ? status->OnBattery : 0;
    state->Armed = events->Armed;
    state->Armings = events->Armings;
    state->Refusals = events->Refusals;
    // An outage ends with the mains, not with the UPS's absence.
    BOOL inOutage = status->Present ? status->OnBattery : events->LastSeenOnBattery;
    if (!inOutage)
        state->RefusalShown = FALSE;
    balloon->Kind = BALLOON_NONE;
    if (!before.HaveBaseline)
        return BALLOON_NONE;

    // Most urgent first: one balloon replaces another, so the one that asks
    // the user to act must win.
    if (events->Refusals != before.Refusals && inOutage && !before.RefusalShown) {
        state->RefusalShown = TRUE;
        SetBalloon(balloon, BALLOON_REFUSED, NIIF_WARNING, L"Shutdown refused by Windows");
        AppendText(balloon->Text, 0, BALLOON_TEXT_UNITS, L"Save your work now: the battery is running out.");
    } else if (events->Armings != before.Armings && events->Armed) {
        ComposeArmed(balloon, status, events);
    } else if (before.Present && !status->Present) {
        SetBalloon(balloon, BALLOON_UPS_LOST, NIIF_WARNING, L"UPS not found");
        AppendText(balloon->Text, 0, BALLOON_TEXT_UNITS, L"Corvane cannot see the UPS: the computer is not protected.");
    } else if (before.Present && !before.OnBattery && inOutage) {
        ComposeMainsLost(balloon, status);
    } else if (before.Present && before.OnBattery && status->Present && !status->OnBattery) {
        // The monitor cancels an armed shutdown right after announcing the
        // pass, so it may still read armed here.
        ComposeMainsBack(balloon, status, before.Armed || events->Armed, followersDown);
    }
    return balloon->Kind;
}

BOOL IsQuietBalloon(int kind)
{
    return kind != BALLOON_ARMED && kind != BALLOON_REFUSED;
}

// A query that fails counts as a user who accepts notifications.
static BOOL UserIsPresenting()
{
    QUERY_USER_NOTIFICATION_STATE state = QUNS_ACCEPTS_NOTIFICATIONS;
    if (FAILED(NotifyCalls.SHQueryUserNotificationState(&state)))
        return FALSE;
    return state == QUNS_BUSY || state == QUNS_RUNNING_D3D_FULL_SCREEN || state == QUNS_PRESENTATION_MODE;
}

void NotifyPowerChanges()
{
    UpsStatus status;
    CopySnapshot(&status);
    ShutdownEvents events = ReadShutdownEvents();
    Balloon balloon;
    // Decided even when switched off, so the memory of the last pass stays
    // current.
    int kind = DecideBalloon(&Notifier, &status, &events, FollowersDownInOutage(), &balloon);
    Settings settings;
    CopySettings(&settings);
    if (kind == BALLOON_NONE || !settings.NotificationsEnabled)
        return;
    if (IsQuietBalloon(kind) && UserIsPresenting())
        return;
    ShowTrayBalloon(balloon.Title, balloon.Text, balloon.Icon);
}
