// Settings: per-user values that tune the shutdown rule, the balloon switch,
// the UPS-off delay and the network server. Written only by
// ReadSettings on the start-up thread; constant for the rest of the run.
#include "app/settings.h"
#include "base/text.h"

INT32 RuntimeThresholdSeconds = 300;
INT32 ChargeThresholdPercent = 20;
INT32 GraceSeconds = 30;
INT32 NotificationsEnabled = 1;
INT32 ShutdownAction = SHUTDOWN_ACTION_POWER_OFF;
INT32 UpsOffDelaySeconds = 0;
BOOL UpsOffDelayRefused = FALSE;
INT32 NetworkServerEnabled = 0;
INT32 NetworkPort = 3493;
// The two texts get their defaults in ReadSettings: an initializer would
// store both whole arrays in the file.
WCHAR NetworkAddress[NETWORK_TEXT_UNITS];
WCHAR NetworkUser[NETWORK_TEXT_UNITS];
WCHAR NetworkPassword[NETWORK_TEXT_UNITS];

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

// The network values must be exactly what they claim: a DWORD of four
// bytes, a string of REG_SZ with no NUL inside and no more than 63 units.
static BOOL ReadDword(HKEY key, const WCHAR* name, UINT32* data)
{
    DWORD type = 0;
    DWORD bytes = sizeof(*data);
    UINT32 value = 0;
    if (RegQueryValueExW(key, name, NULL, &type, (BYTE*)&value, &bytes) != ERROR_SUCCESS)
        return FALSE;
    if (type != REG_DWORD || bytes != sizeof(value))
        return FALSE;
    *data = value;
    return TRUE;
}

// An absent value keeps the setting; a malformed one keeps it too, or, with
// emptyWhenMalformed, empties it, so that the server can tell.
static void ReadText(HKEY key, const WCHAR* name, WCHAR* setting, BOOL emptyWhenMalformed)
{
    WCHAR data[NETWORK_TEXT_UNITS + 1];
    DWORD type = 0;
    DWORD bytes = sizeof(data);
    LONG result = RegQueryValueExW(key, name, NULL, &type, (BYTE*)data, &bytes);
    if (result == ERROR_FILE_NOT_FOUND)
        return;
    // The stored terminator is not promised: count up to the first NUL and
    // ask that only terminators follow it.
    int units = result == ERROR_SUCCESS && type == REG_SZ && bytes % 2 == 0 ? (int)bytes / 2 : 0;
    int length = 0;
    while (length < units && data[length])
        length++;
    BOOL wellFormed = length > 0 && length < NETWORK_TEXT_UNITS;
    for (int i = length; i < units; i++)
        wellFormed &= data[i] == 0;
    if (!wellFormed) {
        if (emptyWhenMalformed)
            setting[0] = 0;
        return;
    }
    for (int i = 0; i < length; i++)
        setting[i] = data[i];
    setting[length] = 0;
}

// Turning the UPS off cuts every computer on it: anything but a DWORD of 0
// or 60..600 leaves it off, and says so (some UPSes count the delay in
// whole minutes, rounded down, so less than 60 would mean at once).
static void ReadUpsOffDelay(HKEY key)
{
    UINT32 value = 0;
    if (RegQueryValueExW(key, L"UpsOffDelaySeconds", NULL, NULL, NULL, NULL) == ERROR_FILE_NOT_FOUND)
        return;
    if (ReadDword(key, L"UpsOffDelaySeconds", &value) && (value == 0 || (value >= 60 && value <= 600))) {
        UpsOffDelaySeconds = (INT32)value;
        return;
    }
    UpsOffDelaySeconds = 0;
    UpsOffDelayRefused = TRUE;
}

static void ReadNetworkSettings(HKEY key)
{
    UINT32 value = 0;
    if (ReadDword(key, L"NetworkServer", &value))
        NetworkServerEnabled = value == 1;
    if (ReadDword(key, L"NetworkPort", &value) && value >= 1 && value <= 65535)
        NetworkPort = (INT32)value;
    ReadText(key, L"NetworkAddress", NetworkAddress, TRUE);
    ReadText(key, L"NetworkUser", NetworkUser, FALSE);
    ReadText(key, L"NetworkPassword", NetworkPassword, TRUE);
}

void ReadSettings()
{
    AppendText(NetworkAddress, 0, NETWORK_TEXT_UNITS, L"127.0.0.1");
    AppendText(NetworkUser, 0, NETWORK_TEXT_UNITS, L"monuser");
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Quillfen\\Corvane", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    ReadBoundedValue(key, L"RuntimeThresholdSeconds", 3600, &RuntimeThresholdSeconds);
    ReadBoundedValue(key, L"ChargeThresholdPercent", 100, &ChargeThresholdPercent);
    ReadBoundedValue(key, L"GraceSeconds", 600, &GraceSeconds);
    ReadBoundedValue(key, L"ShutdownAction", SHUTDOWN_ACTION_HIBERNATE, &ShutdownAction);
    ReadNotificationsSetting(key);
    ReadUpsOffDelay(key);
    ReadNetworkSettings(key);
    RegCloseKey(key);
}
