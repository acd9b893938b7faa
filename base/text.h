// Bounded UTF-16 text building: every message, label and log line is composed
// into a caller-owned fixed buffer by chaining these appends. Nothing here
// allocates, keeps state or calls the system, so any thread may use them at once.
#pragma once
#include <windows.h>

// Each append writes at `position` (a value returned by an earlier call on the
// same buffer, or 0), never past capacity - 1, always terminates, and returns
// the new position. Text that does not fit is cut silently.
int AppendText(WCHAR* buffer, int position, int capacity, const WCHAR* text);
int AppendNumber(WCHAR* buffer, int position, int capacity, UINT32 value);
int AppendSigned(WCHAR* buffer, int position, int capacity, INT32 value);

// Runtime left as "unknown", "N min" or "H h M min", written from position 0.
int FormatDuration(WCHAR* buffer, int capacity, INT32 seconds);

// The same text appended at position, cut as FormatDuration cuts it in its
// buffer of DURATION_UNITS.
enum { DURATION_UNITS = 32 };
int AppendDuration(WCHAR* buffer, int position, int capacity, INT32 seconds);

int TextLength(const WCHAR* text);
// Whether two terminated texts hold the same units.
BOOL SameText(const WCHAR* a, const WCHAR* b);

// Plain byte loops; the regions given to ByteCopy never overlap.
void ByteCopy(void* destination, const void* source, UINT64 count);
void ByteClear(void* destination, UINT64 count);
