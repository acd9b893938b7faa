// The feature reports of one poll, each asked for once and decoded through
// the system's HID parser. Monitor thread only.
#include "ups/report_read.h"
#include "ups/discovery.h"
#include "ups/hid_calls.h"
#include "base/text.h"

enum { FLAG_LIST_COUNT = 64 };

BOOL RequestReport(UCHAR reportId, BYTE* buffer, ULONG length)
{
    ByteClear(buffer, length);
    buffer[0] = reportId;
    return HidCalls.HidD_GetFeature(UpsDevice.Handle, buffer, length);
}

BOOL ReadReportValue(USHORT page, USHORT linkCollection, USHORT usage, BYTE* buffer, ULONG length, ULONG* value)
{
    NTSTATUS result = HidCalls.HidP_GetUsageValue(HidP_Feature, page, linkCollection, usage, value,
                                         UpsDevice.Preparsed, (PCHAR)buffer, length);
    return result == HIDP_STATUS_SUCCESS;
}

// A flag declared as a multi-bit field is set when its value is nonzero; a
// 1-bit one when the parser lists its usage among those set.
static BOOL DecodeFlag(const UsageSlot* entry, BYTE* buffer, ULONG length, UINT32* flag)
{
    ULONG raw = 0;
    if (entry->FlagAsValue) {
        if (!ReadReportValue(entry->UsagePage, entry->LinkCollection, entry->Usage, buffer, length, &raw))
            return FALSE;
        *flag = raw != 0 ? 1 : 0;
        return TRUE;
    }
    USAGE list[FLAG_LIST_COUNT];
    ULONG count = FLAG_LIST_COUNT;
    NTSTATUS result = HidCalls.HidP_GetUsages(HidP_Feature, entry->UsagePage, entry->LinkCollection, list, &count,
                                     UpsDevice.Preparsed, (PCHAR)buffer, length);
    if (result != HIDP_STATUS_SUCCESS)
        return FALSE;
    UINT32 set = 0;
    for (ULONG i = 0; i < count && i < FLAG_LIST_COUNT; i++) {
        if (list[i] == entry->Usage)
            set = 1;
    }
    *flag = set;
    return TRUE;
}

static BOOL DecodeSlot(const UsageSlot* entry, BYTE* buffer, ULONG length, UINT32* value)
{
    if (entry->IsFlag)
        return DecodeFlag(entry, buffer, length, value);
    ULONG raw = 0;
    if (!ReadReportValue(entry->UsagePage, entry->LinkCollection, entry->Usage, buffer, length, &raw))
        return FALSE;
    *value = raw;
    return TRUE;
}

// Everything the poll wants from report reportId, taken from the one
// request; done marks what has had its report asked for.
static void DecodeReport(UCHAR reportId, BOOL answered, BYTE* buffer, ULONG length, PollReadings* readings,
                         BOOL* slotDone, BOOL* voltageDone)
{
    for (int i = 0; i < USAGE_SLOT_COUNT; i++) {
        const UsageSlot* entry = &UsageMap[i];
        if (!entry->Found || slotDone[i] || entry->ReportId != reportId)
            continue;
        slotDone[i] = TRUE;
        readings->SlotRead[i] = answered && DecodeSlot(entry, buffer, length, &readings->SlotValue[i]);
    }
    for (INT32 i = 0; i < VoltageList.Count; i++) {
        const VoltageSlot* entry = &VoltageList.Entries[i];
        if (voltageDone[i] || entry->ReportId != reportId)
            continue;
        voltageDone[i] = TRUE;
        readings->VoltageRead[i] = answered && ReadReportValue(PAGE_POWER_DEVICE, entry->LinkCollection, USAGE_VOLTAGE,
                                                               buffer, length, &readings->VoltageRaw[i]);
    }
}

int ReadPollReports(PollReadings* readings, BYTE* buffer, ULONG length)
{
    ByteClear(readings, sizeof(*readings));
    BOOL slotDone[USAGE_SLOT_COUNT] = {};
    BOOL voltageDone[VOLTAGE_SLOT_COUNT] = {};
    int requests = 0;
    // Slots first, then voltages: each report is asked for where it is
    // first needed, and only then; DecodeReport marks all it serves.
    for (int i = 0; i < USAGE_SLOT_COUNT; i++) {
        if (!UsageMap[i].Found || slotDone[i])
            continue;
        BOOL answered = RequestReport(UsageMap[i].ReportId, buffer, length);
        requests++;
        DecodeReport(UsageMap[i].ReportId, answered, buffer, length, readings, slotDone, voltageDone);
    }
    for (INT32 i = 0; i < VoltageList.Count; i++) {
        if (voltageDone[i])
            continue;
        BOOL answered = RequestReport(VoltageList.Entries[i].ReportId, buffer, length);
        requests++;
        DecodeReport(VoltageList.Entries[i].ReportId, answered, buffer, length, readings, slotDone, voltageDone);
    }
    return requests;
}
