// Finding the UPS among the HID devices and keeping it open. UpsDevice belongs
// to the monitor thread while it runs; the user-interface thread only closes
// the device after that thread has ended.
#pragma once
#include <windows.h>
#include "ups/hid_headers.h"
#include "ups/status.h"
#include "ups/usage_map.h"

// A device path fits the 1024-byte detail record discovery reads it into.
enum { UPS_PATH_UNITS = 512 };

struct UpsDeviceState {
    HANDLE Handle;                    // INVALID_HANDLE_VALUE while no UPS is open
    PHIDP_PREPARSED_DATA Preparsed;   // null while no UPS is open
    HIDP_CAPS Caps;
    UINT32 Generation;                // counts the opens: tells one device from the next
};

extern UpsDeviceState UpsDevice;
// The open UPS's interface, for a second handle. Apart from UpsDevice, whose
// initializer stores the whole record in the file: zero-filled, this is not.
extern WCHAR UpsDevicePath[UPS_PATH_UNITS];

// 1 when a UPS was found and opened: Manufacturer and Product of status are
// filled and the UsageMap and VoltageList built. 0 when there is none, and
// always while hid.dll's calls are not loaded (LoadHidCalls).
INT32 OpenUps(UpsStatus* status);
// Releases the open UPS, if any, and forgets the UsageMap matches.
void CloseUps();
