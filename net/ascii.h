// Bounded byte-text building for what goes on the wire: the same contract as
// base/text.h's UTF-16 builders, over char buffers. Pure; any thread.
#pragma once
#include <windows.h>

// Each append writes at `position`, never past capacity - 1, always
// terminates, and returns the new position; what does not fit is cut.
int AppendBytes(char* buffer, int position, int capacity, const char* text);
int AppendDecimal(char* buffer, int position, int capacity, UINT32 value);

int ByteTextLength(const char* text);
