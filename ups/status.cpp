// The poll: every mapped usage and voltage of the open UPS read into the
// caller's UpsStatus, converted, clamped, and the presence and mains state
// derived. Monitor thread only, into its private working record.
#include "ups/status.h"
#include "ups/discovery.h"
#include "ups/report_read.h"
#include "ups/voltage.h"
#include "base/text.h"

enum : INT32 { CAPACITY_WATTS_MAX = 99999 };

// The six value fields read as "not reported" until a poll reads them.
static void ClearValues(UpsStatus* status)
{
    status->ChargePercent = -1;
    status->RuntimeSeconds = -1;
    status->LoadPercent = -1;
    status->InputVoltage = -1;
    status->CapacityWatts = -1;
    status->LoadWatts = -1;
}

int UpsNameLength(const WCHAR* name)
{
    int length = 0;
    while (length < UPS_NAME_UNITS && name[length])
        length++;
    return length;
}

void ResetStatus(UpsStatus* status)
{
    ByteClear(status, sizeof(*status));
    ClearValues(status);
}

static INT32 ClampPercent(UINT32 value)
{
    return value > 100 ? 100 : (INT32)value;
}

// Charge, runtime and load; 1 when any of them was read.
static INT32 ReadBatteryValues(UpsStatus* status, BYTE* buffer, ULONG length)
{
    INT32 key = 0;
    UINT32 value = 0;
    if (ReadValueUsage(SLOT_CHARGE, buffer, length, &value)) {
        status->ChargePercent = ClampPercent(value);
        key = 1;
    }
    if (ReadValueUsage(SLOT_RUNTIME, buffer, length, &value)) {
        // 2^31 and more comes out negative, which every reader takes as unknown.
        status->RuntimeSeconds = (INT32)value;
        key = 1;
    }
    if (ReadValueUsage(SLOT_LOAD, buffer, length, &value)) {
        status->LoadPercent = ClampPercent(value);
        key = 1;
    }
    return key;
}

static void ReadPower(UpsStatus* status, BYTE* buffer, ULONG length)
{
    UINT32 value = 0;
    if (ReadValueUsage(SLOT_CAPACITY, buffer, length, &value) && value >= 1 && value <= CAPACITY_WATTS_MAX)
        status->CapacityWatts = (INT32)value;
    if (status->CapacityWatts > 0 && status->LoadPercent >= 0)
        status->LoadWatts = status->CapacityWatts * status->LoadPercent / 100;
}

// Mains state from ACPresent, else from Discharging. A read that fails keeps
// the mains state of the last good poll: one lost report must not make a UPS
// on battery look on line again, and cancel a shutdown that is under way.
// 1 when ACPresent or Discharging was read.
static INT32 ReadMains(UpsStatus* status, BYTE* buffer, ULONG length)
{
    INT32 remembered = status->Present == 1 ? status->AcPresent : 1;
    INT32 key = 0;
    INT32 acPresent = 1;
    INT32 flag = 0;
    if (UsageMap[SLOT_AC_PRESENT].Found) {
        acPresent = remembered;
        if (ReadFlagUsage(SLOT_AC_PRESENT, buffer, length, &flag)) {
            acPresent = flag;
            key = 1;
        }
    }
    if (ReadFlagUsage(SLOT_CHARGING, buffer, length, &flag))
        status->Charging = flag;
    BOOL discharging = ReadFlagUsage(SLOT_DISCHARGING, buffer, length, &flag);
    if (discharging) {
        status->Discharging = flag;
        key = 1;
    }
    if (!UsageMap[SLOT_AC_PRESENT].Found && UsageMap[SLOT_DISCHARGING].Found)
        acPresent = discharging ? (flag ? 0 : 1) : remembered;
    status->AcPresent = acPresent;
    return key;
}

static void ReadAlarms(UpsStatus* status, BYTE* buffer, ULONG length)
{
    ReadFlagUsage(SLOT_SHUTDOWN_IMMINENT, buffer, length, &status->ShutdownImminent);
    ReadFlagUsage(SLOT_BELOW_CAPACITY_LIMIT, buffer, length, &status->BelowCapacityLimit);
    ReadFlagUsage(SLOT_NEEDS_REPLACEMENT, buffer, length, &status->NeedsReplacement);
    ReadFlagUsage(SLOT_OVERLOAD, buffer, length, &status->Overload);
}

INT32 PollUps(UpsStatus* status)
{
    ULONG length = UpsDevice.Caps.FeatureReportByteLength;
    if (length == 0 || UpsDevice.Handle == INVALID_HANDLE_VALUE)
        return 0;
    HANDLE heap = GetProcessHeap();
    BYTE* buffer = (BYTE*)HeapAlloc(heap, HEAP_ZERO_MEMORY, length);
    if (!buffer)
        return 0;
    ClearValues(status);
    INT32 key = ReadBatteryValues(status, buffer, length);
    ReadPower(status, buffer, length);
    status->InputVoltage = ReadInputVoltage(buffer, length);
    if (ReadMains(status, buffer, length))
        key = 1;
    ReadAlarms(status, buffer, length);
    status->Present = key;
    status->OnBattery = status->AcPresent == 0 ? 1 : 0;
    HeapFree(heap, 0, buffer);
    return key;
}
