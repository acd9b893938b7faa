// Turning the UPS's output off after this computer goes down: the decision
// and the value written, pure so that every case is a row of a table. A
// wrong answer here cuts the power of every computer on the UPS.
#pragma once
#include <windows.h>
#include "ups/usage_map.h"

enum { UPSOFF_DELAY_MIN_SECONDS = 60, UPSOFF_DELAY_MAX_SECONDS = 600 };

// What became of DelayBeforeShutdown on the open UPS.
enum UpsOffField {
    UPSOFF_FIELD_MISSING,       // not offered, or not writable as one value
    UPSOFF_FIELD_TOO_SMALL,     // offered, but it cannot count the delay asked for
    UPSOFF_FIELD_READY,
};

enum UpsOffAction {
    UPSOFF_NOTHING,
    UPSOFF_WRITE,
    UPSOFF_SAY_MISSING,         // "ERROR - this UPS cannot be told ..."
    UPSOFF_SAY_TOO_SMALL,
};

// Everything the decision depends on, gathered at the commit point.
struct UpsOffFacts {
    INT32 DelaySeconds;         // the setting; 0: never
    BOOL SessionEnds;           // WM_ENDSESSION's wParam; TRUE before a hibernation
    LPARAM EndFlags;            // WM_ENDSESSION's lParam; 0 before a hibernation
    BOOL ForcedShutdown;        // this outage's shutdown has been decided (FSD raised)
    BOOL OnBattery;             // the UPS was present and on battery at the last pass
    int Field;                  // an UpsOffField
};

// Writes only when this computer is certain to go down during an outage:
// the session ends for a shutdown or restart (not a logoff, not a program
// closed by the restart manager), FSD is raised and the UPS is on battery.
int ChooseUpsOffAction(const UpsOffFacts* facts);

// The raw value of DelayBeforeShutdown (as discovery found it) for seconds,
// rounded up to the field's unit, 10^UnitExponent seconds, so that the UPS
// never waits less than asked; *counted is what the UPS will count, in
// seconds. FALSE when the field cannot hold it.
BOOL UpsOffRawValue(const OffDelaySlot* field, INT32 seconds, UINT32* raw, INT32* counted);
