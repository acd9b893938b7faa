// Reads of single usages from the open UPS's feature reports, through the
// system's HID parser. Monitor thread only.
#include "ups/report_read.h"
#include "ups/discovery.h"
#include "ups/hid_calls.h"
#include "ups/usage_map.h"
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

static BOOL RequestSlot(const UsageSlot* slot, BYTE* buffer, ULONG length)
{
    if (!slot->Found)
        return FALSE;
    return RequestReport(slot->ReportId, buffer, length);
}

BOOL ReadValueUsage(int slot, BYTE* buffer, ULONG length, UINT32* value)
{
    const UsageSlot* entry = &UsageMap[slot];
    if (!RequestSlot(entry, buffer, length))
        return FALSE;
    ULONG raw = 0;
    if (!ReadReportValue(entry->UsagePage, entry->LinkCollection, entry->Usage, buffer, length, &raw))
        return FALSE;
    *value = raw;
    return TRUE;
}

// A flag declared as a multi-bit field is set when its value is nonzero.
static BOOL ReadFlagAsValue(const UsageSlot* entry, BYTE* buffer, ULONG length, INT32* flag)
{
    ULONG raw = 0;
    if (!ReadReportValue(entry->UsagePage, entry->LinkCollection, entry->Usage, buffer, length, &raw))
        return FALSE;
    *flag = raw != 0 ? 1 : 0;
    return TRUE;
}

BOOL ReadFlagUsage(int slot, BYTE* buffer, ULONG length, INT32* flag)
{
    const UsageSlot* entry = &UsageMap[slot];
    if (!RequestSlot(entry, buffer, length))
        return FALSE;
    if (entry->FlagAsValue)
        return ReadFlagAsValue(entry, buffer, length, flag);
    USAGE list[FLAG_LIST_COUNT];
    ULONG count = FLAG_LIST_COUNT;
    NTSTATUS result = HidCalls.HidP_GetUsages(HidP_Feature, entry->UsagePage, entry->LinkCollection, list, &count,
                                     UpsDevice.Preparsed, (PCHAR)buffer, length);
    if (result != HIDP_STATUS_SUCCESS)
        return FALSE;
    INT32 set = 0;
    for (ULONG i = 0; i < count && i < FLAG_LIST_COUNT; i++) {
        if (list[i] == entry->Usage)
            set = 1;
    }
    *flag = set;
    return TRUE;
}
