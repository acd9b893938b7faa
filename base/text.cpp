// Bounded UTF-16 text building (see text.h). Pure code over caller buffers.
#include "base/text.h"

int AppendText(WCHAR* buffer, int position, int capacity, const WCHAR* text)
{
    if (text) {
        while (*text && position < capacity - 1)
            buffer[position++] = *text++;
    }
    buffer[position] = 0;
    return position;
}

int AppendNumber(WCHAR* buffer, int position, int capacity, UINT32 value)
{
    // 12 digits is more than the 10 that a 32-bit value can need.
    WCHAR digits[12];
    int count = 0;
    do {
        digits[count++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value != 0 && count < 12);

    // Most significant first, so a full buffer keeps the leading digits.
    while (count > 0 && position < capacity - 1)
        buffer[position++] = digits[--count];
    buffer[position] = 0;
    return position;
}

int AppendSigned(WCHAR* buffer, int position, int capacity, INT32 value)
{
    UINT32 magnitude = (UINT32)value;
    if (value < 0) {
        if (position < capacity - 1)
            buffer[position++] = L'-';
        // Negating in unsigned arithmetic keeps INT32_MIN as 2147483648.
        magnitude = 0u - magnitude;
    }
    return AppendNumber(buffer, position, capacity, magnitude);
}

int FormatDuration(WCHAR* buffer, int capacity, INT32 seconds)
{
    if (seconds < 0)
        return AppendText(buffer, 0, capacity, L"unknown");
    if (seconds < 3600) {
        int position = AppendSigned(buffer, 0, capacity, seconds / 60);
        return AppendText(buffer, position, capacity, L" min");
    }
    int position = AppendSigned(buffer, 0, capacity, seconds / 3600);
    position = AppendText(buffer, position, capacity, L" h ");
    position = AppendSigned(buffer, position, capacity, (seconds % 3600) / 60);
    return AppendText(buffer, position, capacity, L" min");
}

int AppendDuration(WCHAR* buffer, int position, int capacity, INT32 seconds)
{
    WCHAR duration[DURATION_UNITS];
    FormatDuration(duration, DURATION_UNITS, seconds);
    return AppendText(buffer, position, capacity, duration);
}

int TextLength(const WCHAR* text)
{
    int length = 0;
    if (text) {
        while (text[length])
            length++;
    }
    return length;
}

BOOL SameText(const WCHAR* a, const WCHAR* b)
{
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

void ByteCopy(void* destination, const void* source, UINT64 count)
{
    BYTE* to = (BYTE*)destination;
    const BYTE* from = (const BYTE*)source;
    for (UINT64 i = 0; i < count; i++)
        to[i] = from[i];
}

void ByteClear(void* destination, UINT64 count)
{
    BYTE* to = (BYTE*)destination;
    for (UINT64 i = 0; i < count; i++)
        to[i] = 0;
}
