// Taking hid.dll's functions from the system folder. hid.dll is not one of
// Windows' KnownDLLs: imported, it would be looked for first in the program's
// own folder (a Downloads folder, a shared tools folder), where anyone who can
// write there could plant one and have its code run in ours.
#include "ups/hid_calls.h"

HidSystemCalls HidCalls;

template <typename Call>
static BOOL Resolve(HMODULE library, const char* name, Call* call)
{
    *call = (Call)(void*)GetProcAddress(library, name);
    return *call != NULL;
}

BOOL LoadHidCalls()
{
    if (HidCalls.HidD_GetHidGuid)
        return TRUE;
    HMODULE hid = LoadLibraryExW(L"hid.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!hid)
        return FALSE;
    HidSystemCalls calls;
    BOOL complete = Resolve(hid, "HidD_GetHidGuid", &calls.HidD_GetHidGuid)
        && Resolve(hid, "HidD_GetPreparsedData", &calls.HidD_GetPreparsedData)
        && Resolve(hid, "HidD_FreePreparsedData", &calls.HidD_FreePreparsedData)
        && Resolve(hid, "HidD_GetManufacturerString", &calls.HidD_GetManufacturerString)
        && Resolve(hid, "HidD_GetProductString", &calls.HidD_GetProductString)
        && Resolve(hid, "HidD_GetFeature", &calls.HidD_GetFeature)
        && Resolve(hid, "HidD_SetFeature", &calls.HidD_SetFeature)
        && Resolve(hid, "HidP_GetCaps", &calls.HidP_GetCaps)
        && Resolve(hid, "HidP_GetValueCaps", &calls.HidP_GetValueCaps)
        && Resolve(hid, "HidP_GetButtonCaps", &calls.HidP_GetButtonCaps)
        && Resolve(hid, "HidP_GetUsageValue", &calls.HidP_GetUsageValue)
        && Resolve(hid, "HidP_GetUsages", &calls.HidP_GetUsages)
        && Resolve(hid, "HidP_SetUsageValue", &calls.HidP_SetUsageValue);
    if (!complete) {
        FreeLibrary(hid);
        return FALSE;
    }
    HidCalls = calls;
    return TRUE;
}
