// Settings: per-user DWORDs that tune the shutdown rule. Written only by
// ReadSettings on the start-up thread; constant for the rest of the run.
#include "app/settings.h"

INT32 RuntimeThresholdSeconds = 300;
INT32 ChargeThresholdPercent = 20;
INT32 GraceSeconds = 30;
INT32 NotificationsEnabled = 1;
INT32 ShutdownAction = SHUTDOWN_ACTION_POWER_OFF;

// A value replaces its default only when it is exactly four bytes or fewer and
// within bounds. The bound test is unsigned, so a "negative" DWORD is refused.
static void ReadBoundedValue(HKEY key, const WCHAR* name, UINT32 upperBound, INT32* setting)
{
    // Data shorter than four bytes fills only part of the buffer; zero it so
    // the rest never holds stack garbage.
    UINT32 data = 0;
    DWORD type = 0;
    DWORD bytes = sizeof(data);
    if (RegQueryValueExW(key, name, NULL, &type, (BYTE*)&data, &bytes) != ERROR_SUCCESS)
        return;
    if (data > upperBound)
        return;
    *setting = (INT32)data;
}

// Only a DWORD 0 turns the balloons off: telling the user the power failed
// is the safe side, so anything unclear leaves them on.
static void ReadNotificationsSetting(HKEY key)
{
    UINT32 data = 1;
    DWORD type = 0;
    DWORD bytes = sizeof(data);
    if (RegQueryValueExW(key, L"Notifications", NULL, &type, (BYTE*)&data, &bytes) != ERROR_SUCCESS)
        return;
    if (type == REG_DWORD && bytes == sizeof(data) && data == 0)
        NotificationsEnabled = 0;
}

void ReadSettings()
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Quillfen\\Corvane", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    ReadBoundedValue(key, L"RuntimeThresholdSeconds", 3600, &RuntimeThresholdSeconds);
    ReadBoundedValue(key, L"ChargeThresholdPercent", 100, &ChargeThresholdPercent);
    ReadBoundedValue(key, L"GraceSeconds", 600, &GraceSeconds);
    ReadBoundedValue(key, L"ShutdownAction", SHUTDOWN_ACTION_HIBERNATE, &ShutdownAction);
    ReadNotificationsSetting(key);
    RegCloseKey(key);
}
