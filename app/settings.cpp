// Settings: the published record and its lock, the registry's values read
// into a record (at start) and a record written back (by the settings
// window). Readers on any thread take copies with CopySettings.
#include "app/settings.h"
#include "base/text.h"

BOOL UpsOffDelayRefused = FALSE;

static const WCHAR SETTINGS_KEY[] = L"Software\\Quillfen\\Corvane";

const WCHAR* const SettingsNumberNames[SETTINGS_NUMBERS] = {
    L"RuntimeThresholdSeconds", L"ChargeThresholdPercent", L"GraceSeconds", L"ShutdownAction",
    L"Notifications", L"UpsOffDelaySeconds", L"NetworkServer", L"NetworkPort",
};

// No initializer: it would store the whole record, texts and all, in the
// file. Until SettingsPublished rises, CopySettings hands out the defaults.
static SRWLOCK SettingsLock;
static Settings PublishedSettings;
static BOOL SettingsPublished;

void DefaultSettings(Settings* settings)
{
    ByteClear(settings, sizeof(*settings));
    settings->RuntimeThresholdSeconds = 300;
    settings->ChargeThresholdPercent = 20;
    settings->GraceSeconds = 30;
    settings->NotificationsEnabled = 1;
    settings->NetworkPort = 3493;
    AppendText(settings->NetworkAddress, 0, NETWORK_TEXT_UNITS, L"127.0.0.1");
    AppendText(settings->NetworkUser, 0, NETWORK_TEXT_UNITS, L"monuser");
}

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
static void ReadNotificationsSetting(HKEY key, Settings* settings)
{
    UINT32 data = 1;
    DWORD type = 0;
    DWORD bytes = sizeof(data);
    if (RegQueryValueExW(key, L"Notifications", NULL, &type, (BYTE*)&data, &bytes) != ERROR_SUCCESS)
        return;
    if (type == REG_DWORD && bytes == sizeof(data) && data == 0)
        settings->NotificationsEnabled = 0;
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
static void ReadUpsOffDelay(HKEY key, Settings* settings)
{
    UINT32 value = 0;
    if (RegQueryValueExW(key, L"UpsOffDelaySeconds", NULL, NULL, NULL, NULL) == ERROR_FILE_NOT_FOUND)
        return;
    if (ReadDword(key, L"UpsOffDelaySeconds", &value) && (value == 0 || (value >= 60 && value <= 600))) {
        settings->UpsOffDelaySeconds = (INT32)value;
        return;
    }
    settings->UpsOffDelaySeconds = 0;
    UpsOffDelayRefused = TRUE;
}

static void ReadNetworkSettings(HKEY key, Settings* settings)
{
    UINT32 value = 0;
    if (ReadDword(key, L"NetworkServer", &value))
        settings->NetworkServerEnabled = value == 1;
    if (ReadDword(key, L"NetworkPort", &value) && value >= 1 && value <= 65535)
        settings->NetworkPort = (INT32)value;
    ReadText(key, L"NetworkAddress", settings->NetworkAddress, TRUE);
    ReadText(key, L"NetworkUser", settings->NetworkUser, FALSE);
    ReadText(key, L"NetworkPassword", settings->NetworkPassword, TRUE);
}

void ReadRegistrySettings(Settings* settings)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    ReadBoundedValue(key, L"RuntimeThresholdSeconds", 3600, &settings->RuntimeThresholdSeconds);
    ReadBoundedValue(key, L"ChargeThresholdPercent", 100, &settings->ChargeThresholdPercent);
    ReadBoundedValue(key, L"GraceSeconds", 600, &settings->GraceSeconds);
    ReadBoundedValue(key, L"ShutdownAction", SHUTDOWN_ACTION_HIBERNATE, &settings->ShutdownAction);
    ReadNotificationsSetting(key, settings);
    ReadUpsOffDelay(key, settings);
    ReadNetworkSettings(key, settings);
    RegCloseKey(key);
}

void ReadSettings()
{
    Settings settings;
    DefaultSettings(&settings);
    ReadRegistrySettings(&settings);
    PublishSettings(&settings);
}

void CopySettings(Settings* copy)
{
    AcquireSRWLockShared(&SettingsLock);
    BOOL published = SettingsPublished;
    if (published)
        *copy = PublishedSettings;
    ReleaseSRWLockShared(&SettingsLock);
    if (!published)
        DefaultSettings(copy);
}

void PublishSettings(const Settings* settings)
{
    AcquireSRWLockExclusive(&SettingsLock);
    PublishedSettings = *settings;
    SettingsPublished = TRUE;
    ReleaseSRWLockExclusive(&SettingsLock);
}

static LONG WriteDword(HKEY key, const WCHAR* name, INT32 value)
{
    DWORD data = (DWORD)value;
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&data, sizeof(data));
}

static LONG WriteText(HKEY key, const WCHAR* name, const WCHAR* text)
{
    return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)(TextLength(text) + 1) * sizeof(WCHAR));
}

LONG WriteSettings(const Settings* settings)
{
    HKEY key = NULL;
    LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (result != ERROR_SUCCESS)
        return result;
    for (int i = 0; i < SETTINGS_NUMBERS && result == ERROR_SUCCESS; i++)
        result = WriteDword(key, SettingsNumberNames[i], settings->Numbers[i]);
    if (result == ERROR_SUCCESS)
        result = WriteText(key, L"NetworkAddress", settings->NetworkAddress);
    if (result == ERROR_SUCCESS)
        result = WriteText(key, L"NetworkUser", settings->NetworkUser);
    if (result == ERROR_SUCCESS)
        result = WriteText(key, L"NetworkPassword", settings->NetworkPassword);
    RegCloseKey(key);
    return result;
}

BOOL SameNetworkSettings(const Settings* a, const Settings* b)
{
    return a->NetworkServerEnabled == b->NetworkServerEnabled && a->NetworkPort == b->NetworkPort
        && SameText(a->NetworkAddress, b->NetworkAddress) && SameText(a->NetworkUser, b->NetworkUser)
        && SameText(a->NetworkPassword, b->NetworkPassword);
}

BOOL SameSettings(const Settings* a, const Settings* b)
{
    for (int i = 0; i < SETTINGS_NUMBERS; i++) {
        if (a->Numbers[i] != b->Numbers[i])
            return FALSE;
    }
    return SameNetworkSettings(a, b);
}
