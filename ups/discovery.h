// Finding the UPS among the HID devices and learning where each usage lives.
// UpsDevice, UsageMap and VoltageList belong to the monitor thread while it
// runs; the user-interface thread only closes the device after it has ended.
#pragma once
#include <windows.h>
#include <hidsdi.h>
#include <hidpi.h>
#include "ups/status.h"

struct UpsDeviceState {
    HANDLE Handle;                    // INVALID_HANDLE_VALUE while no UPS is open
    PHIDP_PREPARSED_DATA Preparsed;
    HIDP_CAPS Caps;
};

struct UsageSlot {
    USHORT UsagePage;
    USHORT Usage;
    UINT32 IsFlag;
    UINT32 Found;
    UCHAR ReportId;
    USHORT LinkCollection;
};

struct VoltageSlot {
    UCHAR ReportId;
    USHORT LinkCollection;
};

enum {
    SLOT_CHARGE, SLOT_RUNTIME, SLOT_LOAD, SLOT_CAPACITY,
    SLOT_AC_PRESENT, SLOT_CHARGING, SLOT_DISCHARGING, SLOT_SHUTDOWN_IMMINENT,
    SLOT_BELOW_CAPACITY_LIMIT, SLOT_NEEDS_REPLACEMENT, SLOT_OVERLOAD,
    USAGE_SLOT_COUNT
};
enum { VOLTAGE_SLOT_COUNT = 8 };

struct VoltageListState {
    VoltageSlot Entries[VOLTAGE_SLOT_COUNT];
    INT32 Count;
};

extern UpsDeviceState UpsDevice;
extern UsageSlot UsageMap[USAGE_SLOT_COUNT];
extern VoltageListState VoltageList;

// 1 when a UPS was found and opened; fills status->Manufacturer and ->Product.
INT32 OpenUps(UpsStatus* status);
void MapUsages();
void CloseUps();
