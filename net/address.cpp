// IP addresses as text (see address.h), formatted here so that what reaches
// the log and LIST CLIENT is this program's own text, tested directly; and
// read here from what the user types as the listening address.
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

// ---- Checking an address the user typed

// Dotted decimal, exactly four parts of 0..255. A leading zero is refused:
// some readers take "010" as octal, and the server must not listen
// somewhere other than the user meant. Returns the text after it, or null.
static const WCHAR* SkipIpv4(const WCHAR* text)
{
    for (int part = 0; part < 4; part++) {
        if (part > 0 && *text++ != L'.')
            return NULL;
        UINT32 value = 0;
        int digits = 0;
        for (; *text >= L'0' && *text <= L'9' && digits < 4; text++, digits++)
            value = value * 10 + (UINT32)(*text - L'0');
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[-digits] == L'0'))
            return NULL;
    }
    return text;
}

static BOOL IsHexDigit(WCHAR c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// Whether the group starting at text is a dotted IPv4 tail.
static BOOL IsIpv4Tail(const WCHAR* text)
{
    for (; *text && *text != L':'; text++) {
        if (*text == L'.')
            return TRUE;
    }
    return FALSE;
}

BOOL IsIpLiteral(const WCHAR* text)
{
    const WCHAR* end = SkipIpv4(text);
    if (end && *end == 0)
        return TRUE;
    // IPv6: groups of one to four hex digits, one "::" standing for at least
    // one zero group, a dotted tail counting as two groups.
    int groups = 0;
    BOOL gap = FALSE;
    if (text[0] == L':' && text[1] == L':') {
        gap = TRUE;
        text += 2;
    }
    while (*text) {
        if (IsIpv4Tail(text)) {
            end = SkipIpv4(text);
            if (!end || *end)
                return FALSE;
            groups += 2;
            break;
        }
        int digits = 0;
        for (; IsHexDigit(*text) && digits < 5; text++)
            digits++;
        if (digits == 0 || digits > 4)
            return FALSE;
        groups++;
        if (*text == 0)
            break;
        if (*text++ != L':')
            return FALSE;
        if (*text == L':') {
            if (gap)
                return FALSE;
            gap = TRUE;
            text++;
        } else if (*text == 0) {
            return FALSE;
        }
    }
    return gap ? groups <= 7 : groups == 8;
}
