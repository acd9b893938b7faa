// The followers that will not come back. When the mains return before this
// computer went down, the UPS never cycled its output, so the followers that
// shut down on this outage's FSD stay off until someone starts them: the
// log and the mains-back balloon say how many.
#pragma once
#include <windows.h>
#include "ups/status.h"

// Monitor thread, on every pass before it is announced: on the first pass on
// line after an outage in which FSD was raised, logs "mains restored -
// followers shut down during this outage: K" when K > 0, and keeps K for the
// balloon until the next pass on line.
void NoteFollowersAtMainsReturn(const UpsStatus* status);

// User-interface thread: that K, 0 when none went down.
LONG FollowersDownInOutage();

// "followers shut down during this outage: ", for the log and the balloon.
extern const WCHAR FollowersDownText[];
