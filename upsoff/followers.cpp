// Counting the followers that went down in an outage: the server counts
// those that left after FSD, and the monitor thread takes the count when
// the mains return.
#include "upsoff/followers.h"
#include "base/log.h"
#include "base/text.h"
#include "monitor/shutdown.h"
#include "net/server.h"

const WCHAR FollowersDownText[] = L"followers shut down during this outage: ";

static volatile LONG FollowersDown;

void NoteFollowersAtMainsReturn(const UpsStatus* status)
{
    if (!status->Present || status->OnBattery)
        return;
    // Taken on every pass on line, so that nothing counted in an outage that
    // ended some other way is told at the next one.
    LONG gone = TakeFollowersGoneSinceFsd();
    LONG down = IsForcedShutdownRaised() ? gone : 0;
    InterlockedExchange(&FollowersDown, down);
    if (down <= 0)
        return;
    WCHAR line[LOG_LINE_CAPACITY];
    int position = AppendText(line, 0, LOG_LINE_CAPACITY, L"mains restored - ");
    position = AppendText(line, position, LOG_LINE_CAPACITY, FollowersDownText);
    AppendNumber(line, position, LOG_LINE_CAPACITY, (UINT32)down);
    WriteLog(line);
}

LONG FollowersDownInOutage()
{
    return InterlockedCompareExchange(&FollowersDown, 0, 0);
}
