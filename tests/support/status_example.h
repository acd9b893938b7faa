// The UPS state the panel is designed around: on line, load 37 % of 900 W
// (333 W), charge 100 %, runtime 3900 s, input 230.1 V, named "Emulated UPS
// 1500". Test code starts from it and changes what a case is about.
#pragma once
#include <windows.h>
#include <wchar.h>
#include "ups/status.h"

inline void SetOnLineExample(UpsStatus* status)
{
    ResetStatus(status);
    status->Present = 1;
    status->AcPresent = 1;
    status->ChargePercent = 100;
    status->RuntimeSeconds = 3900;
    status->LoadPercent = 37;
    status->InputVoltage = 2301;
    status->CapacityWatts = 900;
    status->LoadWatts = 333;
    wcscpy(status->Manufacturer, L"Quillfen Labs");
    wcscpy(status->Product, L"Emulated UPS 1500");
}
