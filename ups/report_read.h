// The feature reports of one poll: each report that carries a mapped usage
// or voltage is asked for once, and every usage in it is decoded from that
// one buffer, so that each report's values come from one instant and the
// UPS is asked as seldom as it can be.
#pragma once
#include <windows.h>
#include "ups/hid_headers.h"
#include "ups/usage_map.h"

// What one poll read. A usage whose slot is not mapped, or whose report
// failed or did not parse, is marked unread and its value is not used.
struct PollReadings {
    BOOL SlotRead[USAGE_SLOT_COUNT];
    UINT32 SlotValue[USAGE_SLOT_COUNT];     // a flag as 0 or 1
    BOOL VoltageRead[VOLTAGE_SLOT_COUNT];   // one per VoltageList entry
    ULONG VoltageRaw[VOLTAGE_SLOT_COUNT];
};

// Zeroes buffer, puts reportId in byte 0 and asks the device for the report.
BOOL RequestReport(UCHAR reportId, BYTE* buffer, ULONG length);
// Parses one value usage out of a report already in buffer.
BOOL ReadReportValue(USHORT page, USHORT linkCollection, USHORT usage, BYTE* buffer, ULONG length, ULONG* value);

// Fills readings from the open UPS, one request per report, through buffer
// (FeatureReportByteLength bytes); returns the number of requests made.
int ReadPollReports(PollReadings* readings, BYTE* buffer, ULONG length);
