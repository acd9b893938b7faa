// IP addresses as text (see address.h), formatted here so that what reaches
// the log and LIST CLIENT is this program's own text, tested directly.
#include "net/address.h"
#include "net/ascii.h"

static int AppendIpv4(char* text, int position, const BYTE* bytes)
{
    for (int i = 0; i < 4; i++) {
        if (i > 0)
            position = AppendBytes(text, position, NET_ADDRESS_TEXT_BYTES, ".");
        position = AppendDecimal(text, position, NET_ADDRESS_TEXT_BYTES, bytes[i]);
    }
    return position;
}

static int AppendHexGroup(char* text, int position, UINT32 group)
{
    static const char HEX[] = "0123456789abcdef";
    BOOL started = FALSE;
    for (int shift = 12; shift >= 0; shift -= 4) {
        UINT32 digit = (group >> shift) & 15;
        if (!started && digit == 0 && shift > 0)
            continue;
        started = TRUE;
        char one[2] = { HEX[digit], 0 };
        position = AppendBytes(text, position, NET_ADDRESS_TEXT_BYTES, one);
    }
    return position;
}

static BOOL IsIpv4Mapped(const BYTE* bytes)
{
    for (int i = 0; i < 10; i++) {
        if (bytes[i] != 0)
            return FALSE;
    }
    return bytes[10] == 0xFF && bytes[11] == 0xFF;
}

static int AppendIpv6(char* text, int position, const BYTE* bytes)
{
    UINT32 groups[8];
    for (int i = 0; i < 8; i++)
        groups[i] = (UINT32)bytes[i * 2] << 8 | bytes[i * 2 + 1];
    // The longest run of zero groups, the first of equals, and only a run
    // of two or more.
    int bestStart = -1, bestLength = 1;
    for (int i = 0; i < 8;) {
        int length = 0;
        while (i + length < 8 && groups[i + length] == 0)
            length++;
        if (length > bestLength) {
            bestStart = i;
            bestLength = length;
        }
        i += length ? length : 1;
    }
    for (int i = 0; i < 8;) {
        if (i == bestStart) {
            position = AppendBytes(text, position, NET_ADDRESS_TEXT_BYTES, "::");
            i += bestLength;
            continue;
        }
        if (i > 0 && i != bestStart + bestLength)
            position = AppendBytes(text, position, NET_ADDRESS_TEXT_BYTES, ":");
        position = AppendHexGroup(text, position, groups[i]);
        i++;
    }
    return position;
}

static int AppendAddress(char* text, int position, const NetAddress* address)
{
    if (address->Family == NET_FAMILY_IPV4)
        return AppendIpv4(text, position, address->Bytes);
    if (IsIpv4Mapped(address->Bytes))
        return AppendIpv4(text, position, address->Bytes + 12);
    return AppendIpv6(text, position, address->Bytes);
}

int FormatNetAddress(const NetAddress* address, char* text)
{
    text[0] = 0;
    return AppendAddress(text, 0, address);
}

int FormatNetEndpoint(const NetAddress* address, UINT32 port, char* text)
{
    BOOL bracket = address->Family == NET_FAMILY_IPV6 && !IsIpv4Mapped(address->Bytes);
    int position = AppendBytes(text, 0, NET_ADDRESS_TEXT_BYTES, bracket ? "[" : "");
    position = AppendAddress(text, position, address);
    position = AppendBytes(text, position, NET_ADDRESS_TEXT_BYTES, bracket ? "]:" : ":");
    return AppendDecimal(text, position, NET_ADDRESS_TEXT_BYTES, port);
}
