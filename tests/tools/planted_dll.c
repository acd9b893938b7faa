/* A stand-in for a system DLL, which the security tests plant beside a copy
 * of Corvane.exe under the names Windows would look for there. Loaded, it
 * leaves a marker file, its own path with ".loaded" appended, and does
 * nothing else. It exports the calls of the DLLs it stands in for, as failing
 * stubs, so that a program importing one of them would load it and run its
 * DllMain rather than refuse to start. */
#include <windows.h>

BOOL WINAPI PlantedMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    WCHAR path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    lstrcpyW(path + length, L".loaded");
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker != INVALID_HANDLE_VALUE)
        CloseHandle(marker);
    return TRUE;
}

#define STUB(name) __declspec(dllexport) LONG_PTR WINAPI name(void) { return 0; }
STUB(HidD_GetHidGuid)
STUB(HidD_GetPreparsedData)
STUB(HidD_FreePreparsedData)
STUB(HidD_GetManufacturerString)
STUB(HidD_GetProductString)
STUB(HidD_GetFeature)
STUB(HidP_GetCaps)
STUB(HidP_GetValueCaps)
STUB(HidP_GetButtonCaps)
STUB(HidP_GetUsageValue)
STUB(HidP_GetUsages)
STUB(DwmSetWindowAttribute)
