// hid.dll's functions, taken from the system folder at start instead of being
// imported. Written once by start-up before the monitor thread exists and
// only read afterwards.
#pragma once
#include <windows.h>
#include "ups/hid_headers.h"

struct HidSystemCalls {
    decltype(&::HidD_GetHidGuid) HidD_GetHidGuid;
    decltype(&::HidD_GetPreparsedData) HidD_GetPreparsedData;
    decltype(&::HidD_FreePreparsedData) HidD_FreePreparsedData;
    decltype(&::HidD_GetManufacturerString) HidD_GetManufacturerString;
    decltype(&::HidD_GetProductString) HidD_GetProductString;
    decltype(&::HidD_GetFeature) HidD_GetFeature;
    decltype(&::HidD_SetFeature) HidD_SetFeature;
    decltype(&::HidP_GetCaps) HidP_GetCaps;
    decltype(&::HidP_GetValueCaps) HidP_GetValueCaps;
    decltype(&::HidP_GetButtonCaps) HidP_GetButtonCaps;
    decltype(&::HidP_GetUsageValue) HidP_GetUsageValue;
    decltype(&::HidP_GetUsages) HidP_GetUsages;
    decltype(&::HidP_SetUsageValue) HidP_SetUsageValue;
};

// All null until LoadHidCalls succeeds; then every entry is set.
extern HidSystemCalls HidCalls;

// Loads hid.dll from the system folder and resolves every call the UPS code
// makes. FALSE, with the table left null, when the library or any of its
// calls is missing: no UPS can then be found.
BOOL LoadHidCalls();
