// The fixed table of usages the poll reads and the list of Voltage values,
// with where the open UPS offers each. Filled by MapUsages at discovery and
// read by the poll; both run on the monitor thread only, so there is no lock.
#pragma once
#include <windows.h>
#include "ups/hid_headers.h"

// The two usage pages of the published HID Power Device tables, and the one
// usage the poll reads outside the slot table.
enum : USHORT {
    PAGE_POWER_DEVICE = 0x84,
    PAGE_BATTERY_SYSTEM = 0x85,
    USAGE_VOLTAGE = 0x30,
    USAGE_DELAY_BEFORE_SHUTDOWN = 0x57,
};

struct UsageSlot {
    USHORT UsagePage;
    USHORT Usage;
    UINT32 IsFlag;          // 1: an on/off flag, else a value
    UINT32 Found;           // 1 once a capability was matched
    UCHAR ReportId;
    USHORT LinkCollection;
    UINT32 FlagAsValue;     // a flag the UPS declares as a multi-bit value field
};

struct VoltageSlot {
    UCHAR ReportId;
    USHORT LinkCollection;
    ULONG Units;            // the HID unit code the capability declares
    INT32 UnitExponent;     // sign-extended from its 4-bit code; 0 when none given
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

// DelayBeforeShutdown, where the UPS offers it as a writable feature value.
// Only the output-off write uses it (upsoff/): the poll never reads it.
struct OffDelaySlot {
    UINT32 Found;
    UCHAR ReportId;
    USHORT LinkCollection;
    USHORT BitSize;
    LONG LogicalMin;
    LONG LogicalMax;
    INT32 UnitExponent;     // sign-extended from its 4-bit code
};

extern UsageSlot UsageMap[USAGE_SLOT_COUNT];
extern VoltageListState VoltageList;
extern OffDelaySlot OffDelayUsage;

// Fills UsageMap and VoltageList from the open device's feature capabilities.
// Expects every found flag clear on entry (the start state, or after CloseUps).
void MapUsages();
// Clears every found flag; the rest of each slot is not read while it is clear.
void ForgetUsages();
