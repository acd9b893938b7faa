// Matches the open UPS's feature capabilities to the fixed usage table: which
// report and link collection carries each usage. Monitor thread only.
#include "ups/usage_map.h"
#include "ups/discovery.h"
#include "ups/hid_calls.h"
#include "ups/voltage.h"

UsageSlot UsageMap[USAGE_SLOT_COUNT] = {
    { PAGE_BATTERY_SYSTEM, 0x66, 0, 0, 0, 0, 0 },   // RemainingCapacity
    { PAGE_BATTERY_SYSTEM, 0x68, 0, 0, 0, 0, 0 },   // RunTimeToEmpty
    { PAGE_POWER_DEVICE, 0x35, 0, 0, 0, 0, 0 },     // PercentLoad
    { PAGE_POWER_DEVICE, 0x44, 0, 0, 0, 0, 0 },     // ConfigActivePower
    { PAGE_BATTERY_SYSTEM, 0xD0, 1, 0, 0, 0, 0 },   // ACPresent
    { PAGE_BATTERY_SYSTEM, 0x44, 1, 0, 0, 0, 0 },   // Charging
    { PAGE_BATTERY_SYSTEM, 0x45, 1, 0, 0, 0, 0 },   // Discharging
    { PAGE_POWER_DEVICE, 0x69, 1, 0, 0, 0, 0 },     // ShutdownImminent
    { PAGE_BATTERY_SYSTEM, 0x42, 1, 0, 0, 0, 0 },   // BelowRemainingCapacityLimit
    { PAGE_BATTERY_SYSTEM, 0x4B, 1, 0, 0, 0, 0 },   // NeedReplacement
    { PAGE_POWER_DEVICE, 0x65, 1, 0, 0, 0, 0 },     // Overload
};

VoltageListState VoltageList;
OffDelaySlot OffDelayUsage;

// Where a flag could be read if no button capability offers it: many UPSes
// declare each flag as an 8-bit field with logical range 0..1, and the HID
// parser makes button capabilities only of 1-bit fields.
struct FlagFallback {
    UINT32 Found;
    UCHAR ReportId;
    USHORT LinkCollection;
};

static void TakeCapability(UsageSlot* slot, UCHAR reportId, USHORT linkCollection, UINT32 asValue)
{
    slot->Found = 1;
    slot->ReportId = reportId;
    slot->LinkCollection = linkCollection;
    slot->FlagAsValue = asValue;
}

// Each slot keeps the first matching capability in the parser's order; the
// same usage again (in a second status collection, say) is ignored.
static void MatchSlots(UINT32 isFlag, USHORT page, USHORT usage, UCHAR reportId, USHORT linkCollection)
{
    for (int i = 0; i < USAGE_SLOT_COUNT; i++) {
        UsageSlot* slot = &UsageMap[i];
        if (slot->IsFlag != isFlag || slot->Found || slot->UsagePage != page || slot->Usage != usage)
            continue;
        TakeCapability(slot, reportId, linkCollection, 0);
    }
}

static void NoteFlagFallback(FlagFallback* fallbacks, const HIDP_VALUE_CAPS* cap)
{
    for (int i = 0; i < USAGE_SLOT_COUNT; i++) {
        const UsageSlot* slot = &UsageMap[i];
        if (!slot->IsFlag || fallbacks[i].Found || slot->UsagePage != cap->UsagePage || slot->Usage != cap->NotRange.Usage)
            continue;
        fallbacks[i].Found = 1;
        fallbacks[i].ReportId = cap->ReportID;
        fallbacks[i].LinkCollection = cap->LinkCollection;
    }
}

static void AddVoltage(const HIDP_VALUE_CAPS* cap)
{
    if (cap->UsagePage != PAGE_POWER_DEVICE || cap->NotRange.Usage != USAGE_VOLTAGE)
        return;
    if (VoltageList.Count >= VOLTAGE_SLOT_COUNT)
        return;
    VoltageSlot* entry = &VoltageList.Entries[VoltageList.Count++];
    entry->ReportId = cap->ReportID;
    entry->LinkCollection = cap->LinkCollection;
    entry->Units = cap->Units;
    entry->UnitExponent = UnitExponent(cap->UnitsExp);
}

// The first one the parser lists. A constant field cannot be written, and in
// a field of several counts it would be unclear which one is the delay.
static void NoteOffDelay(const HIDP_VALUE_CAPS* cap)
{
    if (OffDelayUsage.Found || cap->UsagePage != PAGE_POWER_DEVICE
        || cap->NotRange.Usage != USAGE_DELAY_BEFORE_SHUTDOWN || (cap->BitField & 1) || cap->ReportCount != 1)
        return;
    OffDelayUsage.Found = 1;
    OffDelayUsage.ReportId = cap->ReportID;
    OffDelayUsage.LinkCollection = cap->LinkCollection;
    OffDelayUsage.BitSize = cap->BitSize;
    OffDelayUsage.LogicalMin = cap->LogicalMin;
    OffDelayUsage.LogicalMax = cap->LogicalMax;
    OffDelayUsage.UnitExponent = UnitExponent(cap->UnitsExp);
}

static void MapValueCaps(FlagFallback* fallbacks)
{
    USHORT count = UpsDevice.Caps.NumberFeatureValueCaps;
    if (count == 0)
        return;
    HANDLE heap = GetProcessHeap();
    HIDP_VALUE_CAPS* caps = (HIDP_VALUE_CAPS*)HeapAlloc(heap, HEAP_ZERO_MEMORY, count * sizeof(HIDP_VALUE_CAPS));
    if (!caps)
        return;
    if (HidCalls.HidP_GetValueCaps(HidP_Feature, caps, &count, UpsDevice.Preparsed) == HIDP_STATUS_SUCCESS) {
        for (USHORT i = 0; i < count; i++) {
            const HIDP_VALUE_CAPS* cap = &caps[i];
            if (cap->IsRange)
                continue;
            AddVoltage(cap);
            NoteOffDelay(cap);
            MatchSlots(0, cap->UsagePage, cap->NotRange.Usage, cap->ReportID, cap->LinkCollection);
            NoteFlagFallback(fallbacks, cap);
        }
    }
    HeapFree(heap, 0, caps);
}

static void MapButtonCaps()
{
    USHORT count = UpsDevice.Caps.NumberFeatureButtonCaps;
    if (count == 0)
        return;
    HANDLE heap = GetProcessHeap();
    HIDP_BUTTON_CAPS* caps = (HIDP_BUTTON_CAPS*)HeapAlloc(heap, HEAP_ZERO_MEMORY, count * sizeof(HIDP_BUTTON_CAPS));
    if (!caps)
        return;
    if (HidCalls.HidP_GetButtonCaps(HidP_Feature, caps, &count, UpsDevice.Preparsed) == HIDP_STATUS_SUCCESS) {
        for (USHORT i = 0; i < count; i++) {
            const HIDP_BUTTON_CAPS* cap = &caps[i];
            if (cap->IsRange)
                continue;
            MatchSlots(1, cap->UsagePage, cap->NotRange.Usage, cap->ReportID, cap->LinkCollection);
        }
    }
    HeapFree(heap, 0, caps);
}

void MapUsages()
{
    FlagFallback fallbacks[USAGE_SLOT_COUNT] = {};
    VoltageList.Count = 0;
    MapValueCaps(fallbacks);
    MapButtonCaps();
    // A 1-bit button wins; the value field only fills a flag nothing else did.
    for (int i = 0; i < USAGE_SLOT_COUNT; i++) {
        if (!UsageMap[i].Found && fallbacks[i].Found)
            TakeCapability(&UsageMap[i], fallbacks[i].ReportId, fallbacks[i].LinkCollection, 1);
    }
}

void ForgetUsages()
{
    for (int i = 0; i < USAGE_SLOT_COUNT; i++)
        UsageMap[i].Found = 0;
    OffDelayUsage.Found = 0;
}
