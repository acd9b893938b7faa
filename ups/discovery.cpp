// Walks the present HID interfaces and keeps the first one whose top-level
// collection is on the Power Device page open as the process's one UPS.
// Monitor thread only, but for the last CloseUps at the window's destruction.
#include "ups/discovery.h"
#include "ups/hid_calls.h"
#include <setupapi.h>
#include "base/text.h"

enum { DETAIL_BYTES = 1024, NAME_BYTES = UPS_NAME_UNITS * sizeof(WCHAR) };

UpsDeviceState UpsDevice = { INVALID_HANDLE_VALUE, NULL, {}, 0 };
WCHAR UpsDevicePath[UPS_PATH_UNITS];

// Opens one interface and keeps it only if it is a Power Device. Access 0:
// feature reports need neither read nor write access, and a UPS that another
// program holds open can still be watched.
static BOOL TryInterface(const WCHAR* path, HANDLE* handle, PHIDP_PREPARSED_DATA* preparsed, HIDP_CAPS* caps)
{
    HANDLE device = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE)
        return FALSE;
    PHIDP_PREPARSED_DATA data = NULL;
    if (!HidCalls.HidD_GetPreparsedData(device, &data)) {
        CloseHandle(device);
        return FALSE;
    }
    HIDP_CAPS found;
    ByteClear(&found, sizeof(found));
    if (HidCalls.HidP_GetCaps(data, &found) != HIDP_STATUS_SUCCESS || found.UsagePage != PAGE_POWER_DEVICE) {
        HidCalls.HidD_FreePreparsedData(data);
        CloseHandle(device);
        return FALSE;
    }
    *handle = device;
    *preparsed = data;
    *caps = found;
    return TRUE;
}

// The C0 and C1 controls and DEL; the line and paragraph separators, which
// break a line where a reader does; and the bidirectional marks,
// embeddings, overrides and isolates (U+061C, U+200E-U+200F, U+202A-U+202E,
// U+2066-U+2069), which would reorder the text around the name: the
// heading, or the rest of a log line.
static BOOL IsControlUnit(WCHAR unit)
{
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x061C || unit == 0x200E || unit == 0x200F
           || (unit >= 0x2028 && unit <= 0x202E) || (unit >= 0x2066 && unit <= 0x2069);
}

static BOOL IsHighSurrogate(WCHAR unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// The name field stays terminated whatever the device sends: a string of 64
// units or more is cut to its first 63, and a character whose surrogate pair
// the cut splits goes whole. The names reach the log, the tooltip and the
// panel, so every control character becomes a space: a device must not be
// able to start a log line of its own with a CR LF, or turn one around. The field was zeroed
// before the read, so the device's text ends at its last nonzero unit; a NUL
// before that is part of what the device sent.
static void ReadName(BOOLEAN (NTAPI* read)(HANDLE, PVOID, ULONG), WCHAR* name)
{
    ByteClear(name, NAME_BYTES);
    if (!read(UpsDevice.Handle, name, NAME_BYTES))
        ByteClear(name, NAME_BYTES);
    int length = UPS_NAME_UNITS - 1;
    name[length] = 0;
    if (IsHighSurrogate(name[length - 1]))
        name[length - 1] = 0;
    while (length > 0 && name[length - 1] == 0)
        length--;
    for (int i = 0; i < length; i++) {
        if (IsControlUnit(name[i]))
            name[i] = L' ';
    }
}

static void AcceptDevice(const WCHAR* path, HANDLE handle, PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS* caps,
                         UpsStatus* status)
{
    UpsDevice.Handle = handle;
    UpsDevice.Preparsed = preparsed;
    UpsDevice.Caps = *caps;
    UpsDevicePath[0] = 0;
    AppendText(UpsDevicePath, 0, UPS_PATH_UNITS, path);
    UpsDevice.Generation++;
    ReadName(HidCalls.HidD_GetManufacturerString, status->Manufacturer);
    ReadName(HidCalls.HidD_GetProductString, status->Product);
    MapUsages();
}

INT32 OpenUps(UpsStatus* status)
{
    if (!HidCalls.HidD_GetHidGuid)
        return 0;
    GUID guid;
    HidCalls.HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsW(&guid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return 0;
    SP_DEVICE_INTERFACE_DATA data;
    ByteClear(&data, sizeof(data));
    data.cbSize = sizeof(data);
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_W Detail;
        BYTE Bytes[DETAIL_BYTES];
    } detail;
    INT32 opened = 0;
    for (DWORD index = 0; !opened && SetupDiEnumDeviceInterfaces(set, NULL, &guid, index, &data); index++) {
        ByteClear(&detail, sizeof(detail));
        detail.Detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        DWORD required = 0;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, &detail.Detail, DETAIL_BYTES, &required, NULL))
            continue;
        HANDLE handle = INVALID_HANDLE_VALUE;
        PHIDP_PREPARSED_DATA preparsed = NULL;
        HIDP_CAPS caps;
        if (!TryInterface(detail.Detail.DevicePath, &handle, &preparsed, &caps))
            continue;
        AcceptDevice(detail.Detail.DevicePath, handle, preparsed, &caps, status);
        opened = 1;
    }
    SetupDiDestroyDeviceInfoList(set);
    return opened;
}

void CloseUps()
{
    if (UpsDevice.Preparsed) {
        HidCalls.HidD_FreePreparsedData(UpsDevice.Preparsed);
        UpsDevice.Preparsed = NULL;
    }
    if (UpsDevice.Handle != INVALID_HANDLE_VALUE) {
        CloseHandle(UpsDevice.Handle);
        UpsDevice.Handle = INVALID_HANDLE_VALUE;
    }
    ForgetUsages();
}
