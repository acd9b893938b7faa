// The commit point: the moment this computer is certain to go down during an
// outage, when the UPS is told to turn its output off after the delay the
// user set, so that it cycles its output and every computer on it starts
// again once the mains are back. The monitor thread publishes where the
// open UPS keeps DelayBeforeShutdown; the commit runs on whichever thread
// meets the commit point (the monitor before a hibernation, the
// user-interface thread at the end of the session) and never waits on the
// device for longer than UPSOFF_WRITE_WAIT_MS.
#pragma once
#include <windows.h>

enum {
    UPSOFF_WRITE_WAIT_MS = 500,
    UPSOFF_REPORT_MAX_BYTES = 512,
};

// Monitor thread, after each open of a UPS: where its DelayBeforeShutdown
// lies, for every thread.
void PublishUpsOffTarget();

// The commit point, with WM_ENDSESSION's wParam and lParam (TRUE and 0 just
// before a hibernation): writes the delay when ChooseUpsOffAction says so,
// and logs what it did.
void CommitUpsOff(BOOL sessionEnds, LPARAM endFlags);

// Any thread: the delay the followers are told (ups.delay.shutdown), 0 when
// the UPS will not be turned off.
INT32 ServedUpsOffDelay();
