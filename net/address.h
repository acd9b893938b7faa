// IP addresses: the listening address and the peers' addresses, as written
// to the log and to LIST CLIENT. Pure code over caller buffers, safe on any
// thread; no name resolution, ever.
#pragma once
#include <windows.h>

enum {
    NET_FAMILY_IPV4 = 4,
    NET_FAMILY_IPV6 = 6,
    // "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255" is 45 bytes; brackets,
    // a colon and a port make the listening line's 53.
    NET_ADDRESS_TEXT_BYTES = 56,
};

struct NetAddress {
    int Family;        // NET_FAMILY_IPV4 or NET_FAMILY_IPV6
    BYTE Bytes[16];    // network order; an IPv4 address in the first four
};

// The address as text, terminated, into NET_ADDRESS_TEXT_BYTES bytes: IPv6
// in the shortest form (lower-case hex, the longest run of two or more zero
// groups as "::"); an IPv4-mapped IPv6 address as plain IPv4, since that is
// how a dual-stack socket hands over an IPv4 peer. Returns the length.
int FormatNetAddress(const NetAddress* address, char* text);

// "ADDRESS:PORT", with IPv6 in brackets so that the port stays apart.
int FormatNetEndpoint(const NetAddress* address, UINT32 port, char* text);

// Whether the whole text is an IPv4 literal in dotted decimal or an IPv6
// literal (with "::" and a dotted tail, without a zone); a name is never
// looked up.
BOOL IsIpLiteral(const WCHAR* text);
