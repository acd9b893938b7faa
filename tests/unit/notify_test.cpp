// The power balloons: the transition rule as one table, and what reaches the
// shell when the user is presenting or has turned the balloons off.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "app/settings.h"
#include "settings_change.h"
#include "app/startup.h"
#include "monitor/snapshot.h"
#include "ui/notify.h"
#include "ui/tray.h"
#include "fake_shell.h"
#include "status_builder.h"

namespace {


const UpsStatus ON_LINE = MakeStatus(1, 0);
const UpsStatus NO_UPS = MakeStatus(0, 0, -1, -1);

// One pass as the notifier sees it: the status, and the controller's
// counters and flag after it.
struct Step {
    const char* what;
    UpsStatus status;
    LONG armings, refusals, reason;
    BOOL armed;
    int kind;
    const wchar_t* title = nullptr;
    const wchar_t* text = nullptr;
    BOOL lastSeenOnBattery = FALSE;
    INT32 grace = 30;
    LONG followersDown = 0;
};

TEST(Balloons, OneForEachTransitionNothingAtStartOrOnRepeat)
{
    const Step steps[] = {
        { "start-up, already on battery", MakeStatus(1, 1, 90, 3000), 0, 0, 0, FALSE, BALLOON_NONE },
        { "back on line", ON_LINE, 0, 0, 0, FALSE, BALLOON_MAINS_BACK, L"Mains power restored", L"On line, 100%" },
        { "on line again", ON_LINE, 0, 0, 0, FALSE, BALLOON_NONE },
        { "mains lost", MakeStatus(1, 1, 80, 2400), 0, 0, 0, FALSE, BALLOON_MAINS_LOST, L"Mains power lost",
          L"On battery, 80%, 40 min left" },
        { "still on battery", MakeStatus(1, 1, 70, 2000), 0, 0, 0, FALSE, BALLOON_NONE },
        { "armed on the charge", MakeStatus(1, 1, 15, 2000), 1, 0, 4, TRUE, BALLOON_ARMED, L"Shutting down in 30 s",
          L"The battery is down to 15%. Right-click the tray icon to abort." },
        { "still armed", MakeStatus(1, 1, 14, 2000), 1, 0, 4, TRUE, BALLOON_NONE },
        { "mains back while armed", ON_LINE, 1, 0, 4, TRUE, BALLOON_MAINS_BACK, L"Mains power restored",
          L"On line, 100%; shutdown cancelled" },
        { "mains lost, charge unknown", MakeStatus(1, 1, -1, 600), 1, 0, 4, FALSE, BALLOON_MAINS_LOST,
          L"Mains power lost", L"On battery, 10 min left" },
        { "armed on the runtime", MakeStatus(1, 1, -1, 280), 2, 0, 3, TRUE, BALLOON_ARMED, L"Shutting down in 30 s",
          L"The battery has only 4 min left. Right-click the tray icon to abort." },
        { "the user aborted", MakeStatus(1, 1, -1, 270), 2, 0, 3, FALSE, BALLOON_NONE },
        { "armed by the UPS", MakeStatus(1, 1, -1, 260), 3, 0, 1, TRUE, BALLOON_ARMED, L"Shutting down in 30 s",
          L"The UPS is about to cut the power. Right-click the tray icon to abort." },
        { "mains back after the cancel", ON_LINE, 3, 0, 1, FALSE, BALLOON_MAINS_BACK, L"Mains power restored",
          L"On line, 100%; shutdown cancelled" },
        { "mains lost", MakeStatus(1, 1, 50, 900), 3, 0, 1, FALSE, BALLOON_MAINS_LOST, L"Mains power lost",
          L"On battery, 50%, 15 min left" },
        { "refused by Windows", MakeStatus(1, 1, 50, 900), 4, 1, 2, FALSE, BALLOON_REFUSED,
          L"Shutdown refused by Windows", L"Save your work now: the battery is running out." },
        { "refused again, same outage", MakeStatus(1, 1, 50, 900), 5, 2, 2, FALSE, BALLOON_NONE },
        { "refused a third time", MakeStatus(1, 1, 50, 900), 6, 3, 2, FALSE, BALLOON_NONE },
        { "UPS lost", NO_UPS, 6, 3, 2, FALSE, BALLOON_UPS_LOST, L"UPS not found",
          L"Corvane cannot see the UPS: the computer is not protected." },
        { "still no UPS", NO_UPS, 6, 3, 2, FALSE, BALLOON_NONE },
        { "found again on battery", MakeStatus(1, 1, 50, 900), 6, 3, 2, FALSE, BALLOON_NONE },
        { "a new outage is refused", MakeStatus(1, 1, 50, 900), 7, 4, 5, FALSE, BALLOON_REFUSED,
          L"Shutdown refused by Windows", L"Save your work now: the battery is running out." },
        { "armed for another reason", MakeStatus(1, 1, 50, 900), 8, 4, 2, TRUE, BALLOON_ARMED, L"Shutting down in 30 s",
          L"The UPS battery is below its safe limit. Right-click the tray icon to abort." },
        { "UPS lost while armed", NO_UPS, 8, 4, 2, TRUE, BALLOON_UPS_LOST, L"UPS not found",
          L"Corvane cannot see the UPS: the computer is not protected." },
        { "armed for the lost UPS", NO_UPS, 9, 4, 5, TRUE, BALLOON_ARMED, L"Shutting down in 30 s",
          L"The UPS was lost while on battery. Right-click the tray icon to abort.", TRUE },
        { "refused, the UPS still lost", NO_UPS, 10, 5, 5, FALSE, BALLOON_REFUSED, L"Shutdown refused by Windows",
          L"Save your work now: the battery is running out.", TRUE },
        { "a power-off after a failed hibernation", NO_UPS, 11, 5, 5, TRUE, BALLOON_ARMED, L"Shutting down in 0 s",
          L"The UPS was lost while on battery. Right-click the tray icon to abort.", TRUE, 0 },
        { "found again, still armed", MakeStatus(1, 1, 50, 900), 11, 5, 5, TRUE, BALLOON_NONE, nullptr, nullptr,
          TRUE, 0 },
        { "mains back, two followers went down", ON_LINE, 11, 5, 5, TRUE, BALLOON_MAINS_BACK, L"Mains power restored",
          L"On line, 100%; shutdown cancelled; followers shut down during this outage: 2", TRUE, 0, 2 },
    };
    NotifierState state = {};
    for (const Step& step : steps) {
        ShutdownEvents events = { step.armings, step.refusals, step.reason, step.armed, step.grace,
                                  step.lastSeenOnBattery };
        Balloon balloon;
        int kind = DecideBalloon(&state, &step.status, &events, step.followersDown, &balloon);
        EXPECT_EQ(step.kind, kind) << step.what;
        if (kind != step.kind || kind == BALLOON_NONE)
            continue;
        EXPECT_EQ((DWORD)(kind == BALLOON_MAINS_BACK ? NIIF_INFO : NIIF_WARNING), balloon.Icon) << step.what;
        EXPECT_STREQ(step.title, balloon.Title) << step.what;
        EXPECT_STREQ(step.text, balloon.Text) << step.what;
    }
}

// With followers, the armed balloon says that an abort cannot hold them.
TEST(Balloons, TheArmedBalloonTellsThatFollowersStillShutDown)
{
    ChangeSettings([](Settings* s) { s->NetworkServerEnabled = 1; });
    NotifierState state = {};
    const UpsStatus onBattery = MakeStatus(1, 1, 15, 2000);
    ShutdownEvents before = { 0, 0, 0, FALSE, 30, TRUE }, armed = { 1, 0, 4, TRUE, 30, TRUE };
    Balloon balloon;
    DecideBalloon(&state, &onBattery, &before, 0, &balloon);
    EXPECT_EQ(BALLOON_ARMED, DecideBalloon(&state, &onBattery, &armed, 0, &balloon));
    EXPECT_STREQ(L"The battery is down to 15%. Right-click the tray icon to abort. An abort holds this computer "
                 L"only: its followers still shut down.", balloon.Text);
    RestoreDefaultSettings();
}

QUERY_USER_NOTIFICATION_STATE UserState;
HRESULT QueryResult;

HRESULT WINAPI FakeQuery(QUERY_USER_NOTIFICATION_STATE* state)
{
    *state = UserState;
    return QueryResult;
}

TEST(Balloons, PresentingLetsOnlyTheShutdownBalloonsThroughAndZeroSilencesAll)
{
    FakeShell shell;
    ShellStandIn standIn(&shell);
    NotifySystemCalls saved = NotifyCalls;
    NotifyCalls.SHQueryUserNotificationState = FakeQuery;
    App.MainWindow = (HWND)(ULONG_PTR)0x4242;
    ASSERT_TRUE(AddTrayIcon());

    const struct {
        QUERY_USER_NOTIFICATION_STATE user;
        HRESULT result;
        INT32 enabled;
        bool mainsLostShown, refusedShown;
    } cases[] = {
        { QUNS_ACCEPTS_NOTIFICATIONS, S_OK, 1, true, true },
        { QUNS_QUIET_TIME, S_OK, 1, true, true },
        { QUNS_BUSY, S_OK, 1, false, true },
        { QUNS_RUNNING_D3D_FULL_SCREEN, S_OK, 1, false, true },
        { QUNS_PRESENTATION_MODE, S_OK, 1, false, true },
        { QUNS_PRESENTATION_MODE, E_FAIL, 1, true, true },
        { QUNS_ACCEPTS_NOTIFICATIONS, S_OK, 0, false, false },
    };
    for (const auto& c : cases) {
        UserState = c.user;
        QueryResult = c.result;
        ChangeSettings([&](Settings* s) { s->NotificationsEnabled = c.enabled; });
        Notifier = {};
        UpsStatus onLine = ON_LINE, onBattery = MakeStatus(1, 1, 80, 2400);
        PublishStatus(&onLine);
        NotifyPowerChanges();
        shell.Calls.clear();
        PublishStatus(&onBattery);
        NotifyPowerChanges();
        bool mainsLost = !shell.Calls.empty() && shell.Calls.back().InfoTitle == L"Mains power lost";
        EXPECT_EQ(c.mainsLostShown, mainsLost) << "user state " << c.user << ", enabled " << c.enabled;
        if (mainsLost) {
            const ShellCall& call = shell.Calls.back();
            EXPECT_EQ((DWORD)NIM_MODIFY, call.Message);
            EXPECT_EQ((UINT)(NIF_INFO | NIF_GUID), call.Flags);
            EXPECT_EQ(L"On battery, 80%, 40 min left", call.Info);
            EXPECT_EQ((DWORD)NIIF_WARNING, call.InfoFlags);
        }
        // The controller refuses a request during this outage.
        shell.Calls.clear();
        Notifier.Refusals = ReadShutdownEvents().Refusals - 1;
        NotifyPowerChanges();
        bool refused = !shell.Calls.empty() && shell.Calls.back().InfoTitle == L"Shutdown refused by Windows";
        EXPECT_EQ(c.refusedShown, refused) << "user state " << c.user << ", enabled " << c.enabled;
    }
    RestoreDefaultSettings();
    NotifyCalls = saved;
}

}  // namespace
