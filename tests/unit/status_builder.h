// A UpsStatus as the monitor would publish it: reset, then the fields a test
// cares about.
#pragma once
#include <windows.h>
#include "ups/status.h"

inline UpsStatus MakeStatus(INT32 present, INT32 onBattery, INT32 charge = 100, INT32 runtime = 3900)
{
    UpsStatus s;
    ResetStatus(&s);
    s.Present = present;
    s.OnBattery = onBattery;
    s.AcPresent = !onBattery;
    s.ChargePercent = charge;
    s.RuntimeSeconds = runtime;
    return s;
}
