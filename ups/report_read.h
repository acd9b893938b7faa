// One usage read from one feature report of the open UPS. Each read asks the
// device afresh, even when several usages share a report: a UPS fills its
// reports when asked, and a stale copy could hide a change of mains state.
#pragma once
#include <windows.h>
#include "ups/hid_headers.h"

// Zeroes buffer, puts reportId in byte 0 and asks the device for the report.
BOOL RequestReport(UCHAR reportId, BYTE* buffer, ULONG length);
// Parses one value usage out of a report already in buffer.
BOOL ReadReportValue(USHORT page, USHORT linkCollection, USHORT usage, BYTE* buffer, ULONG length, ULONG* value);

// The value of UsageMap slot number slot; false when not mapped or not read.
BOOL ReadValueUsage(int slot, BYTE* buffer, ULONG length, UINT32* value);
// The flag of UsageMap slot number slot as 0 or 1; on failure flag is untouched.
BOOL ReadFlagUsage(int slot, BYTE* buffer, ULONG length, INT32* flag);
