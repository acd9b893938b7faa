// Bounded byte-text building (see ascii.h).
#include "net/ascii.h"

int AppendBytes(char* buffer, int position, int capacity, const char* text)
{
    while (*text && position < capacity - 1)
        buffer[position++] = *text++;
    buffer[position] = 0;
    return position;
}

int AppendDecimal(char* buffer, int position, int capacity, UINT32 value)
{
    char digits[12];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0 && position < capacity - 1)
        buffer[position++] = digits[--count];
    buffer[position] = 0;
    return position;
}

int ByteTextLength(const char* text)
{
    int length = 0;
    while (text[length])
        length++;
    return length;
}
