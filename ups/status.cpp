// The poll: every mapped usage and voltage of the open UPS read into the
// caller's UpsStatus, one request per report, then converted, clamped, and
// the presence and mains state derived. Monitor thread only, into its
// private working record.
#include "ups/status.h"
#include "ups/discovery.h"
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

// The value of a slot this poll read, into value; FALSE when it was not read.
static BOOL Reading(const PollReadings* readings, int slot, UINT32* value)
{
    if (!readings->SlotRead[slot])
        return FALSE;
    *value = readings->SlotValue[slot];
    return TRUE;
}

// The same for a flag, which keeps its last value when unread.
static BOOL FlagReading(const PollReadings* readings, int slot, INT32* flag)
{
    if (!readings->SlotRead[slot])
        return FALSE;
    *flag = readings->SlotValue[slot] ? 1 : 0;
    return TRUE;
}

// Charge, runtime and load; 1 when any of them was read.
static INT32 TakeBatteryValues(UpsStatus* status, const PollReadings* readings)
{
    INT32 key = 0;
    UINT32 value = 0;
    if (Reading(readings, SLOT_CHARGE, &value)) {
        status->ChargePercent = ClampPercent(value);
        key = 1;
    }
    if (Reading(readings, SLOT_RUNTIME, &value)) {
        // 2^31 and more comes out negative, which every reader takes as unknown.
        status->RuntimeSeconds = (INT32)value;
        key = 1;
    }
    if (Reading(readings, SLOT_LOAD, &value)) {
        status->LoadPercent = ClampPercent(value);
        key = 1;
    }
    return key;
}

static void TakePower(UpsStatus* status, const PollReadings* readings)
{
    UINT32 value = 0;
    if (Reading(readings, SLOT_CAPACITY, &value) && value >= 1 && value <= CAPACITY_WATTS_MAX)
        status->CapacityWatts = (INT32)value;
    if (status->CapacityWatts > 0 && status->LoadPercent >= 0)
        status->LoadWatts = status->CapacityWatts * status->LoadPercent / 100;
}

// Mains state from ACPresent, else from Discharging. A read that fails keeps
// the mains state of the last good poll: one lost report must not make a UPS
// on battery look on line again, and cancel a shutdown that is under way.
// 1 when ACPresent or Discharging was read.
static INT32 TakeMains(UpsStatus* status, const PollReadings* readings)
{
    INT32 remembered = status->Present == 1 ? status->AcPresent : 1;
    INT32 key = 0;
    INT32 acPresent = 1;
    INT32 flag = 0;
    if (UsageMap[SLOT_AC_PRESENT].Found) {
        acPresent = remembered;
        if (FlagReading(readings, SLOT_AC_PRESENT, &flag)) {
            acPresent = flag;
            key = 1;
        }
    }
    FlagReading(readings, SLOT_CHARGING, &status->Charging);
    BOOL discharging = FlagReading(readings, SLOT_DISCHARGING, &flag);
    if (discharging) {
        status->Discharging = flag;
        key = 1;
    }
    if (!UsageMap[SLOT_AC_PRESENT].Found && UsageMap[SLOT_DISCHARGING].Found)
        acPresent = discharging ? (flag ? 0 : 1) : remembered;
    status->AcPresent = acPresent;
    return key;
}

static void TakeAlarms(UpsStatus* status, const PollReadings* readings)
{
    FlagReading(readings, SLOT_SHUTDOWN_IMMINENT, &status->ShutdownImminent);
    FlagReading(readings, SLOT_BELOW_CAPACITY_LIMIT, &status->BelowCapacityLimit);
    FlagReading(readings, SLOT_NEEDS_REPLACEMENT, &status->NeedsReplacement);
    FlagReading(readings, SLOT_OVERLOAD, &status->Overload);
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
    PollReadings readings;
    ReadPollReports(&readings, buffer, length);
    HeapFree(heap, 0, buffer);
    ClearValues(status);
    INT32 key = TakeBatteryValues(status, &readings);
    TakePower(status, &readings);
    status->InputVoltage = ChooseInputVoltage(&readings);
    if (TakeMains(status, &readings))
        key = 1;
    TakeAlarms(status, &readings);
    status->Present = key;
    status->OnBattery = status->AcPresent == 0 ? 1 : 0;
    return key;
}
