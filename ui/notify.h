// Balloons from the tray icon that tell the user at once when the power
// fails, when a shutdown is armed or refused, when the mains return and when
// the UPS is lost. Decided on the user-interface thread after every monitor
// pass from the previous and the new status and the shutdown controller's
// events; the log is not touched here.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include "monitor/shutdown.h"
#include "ups/status.h"

enum {
    BALLOON_TITLE_UNITS = 64,
    BALLOON_TEXT_UNITS = 256,
};

enum BalloonKind {
    BALLOON_NONE,
    BALLOON_MAINS_LOST,
    BALLOON_ARMED,
    BALLOON_MAINS_BACK,
    BALLOON_REFUSED,
    BALLOON_UPS_LOST,
};

struct Balloon {
    int Kind;
    DWORD Icon;                        // NIIF_WARNING or NIIF_INFO
    WCHAR Title[BALLOON_TITLE_UNITS];
    WCHAR Text[BALLOON_TEXT_UNITS];
};

// What the notifier remembers from one pass to the next.
struct NotifierState {
    BOOL HaveBaseline;                 // false until the first pass: nothing at start-up
    INT32 Present;
    INT32 OnBattery;
    BOOL Armed;
    LONG Armings;
    LONG Refusals;
    BOOL RefusalShown;                 // in this outage
};
extern NotifierState Notifier;

// The one balloon this pass calls for (the most urgent when several events
// meet), or BALLOON_NONE; moves state on to the new pass. followersDown: the
// followers that shut down in the outage the mains have just ended. Pure.
int DecideBalloon(NotifierState* state, const UpsStatus* status, const ShutdownEvents* events, LONG followersDown,
                  Balloon* balloon);

// While the user presents or runs a full-screen program only the shutdown
// balloons may interrupt.
BOOL IsQuietBalloon(int kind);

// On WM_STATUS_UPDATED: decides and shows the balloon, unless the user has
// turned them off or is busy with something full-screen.
void NotifyPowerChanges();

// The shell's answer on whether the user is presenting, in a table so that
// a test can stand in for it.
struct NotifySystemCalls {
    HRESULT (WINAPI* SHQueryUserNotificationState)(QUERY_USER_NOTIFICATION_STATE* state);
};
extern NotifySystemCalls NotifyCalls;
