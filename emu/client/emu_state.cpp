// A device's state while it is plugged in, all in its registry key and
// re-read by the driver on every request: field values by name, raw
// reports, failures and delays, and the request log.
#ifndef UNICODE
#define UNICODE
#endif
#include "emu_client.h"
#include "emu_internal.h"

#include <windows.h>
#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

using namespace emu_internal;

// Long names from the usage tables, accepted as aliases of the short ones.
static const struct { const char *alias, *name; } kAliases[] = {
    {"remainingcapacity", "charge"}, {"runtimetoempty", "runtime"}, {"percentload", "load"},
    {"configactivepower", "power"}, {"acpresent", "ac"}, {"shutdownimminent", "shutdown"},
    {"belowremainingcapacitylimit", "belowlimit"}, {"needreplacement", "replace"},
};

static bool read_descriptor_layout(HKEY key, EmuLayout *out)
{
    uint8_t desc[EMU_MAX_DESC];
    DWORD size = sizeof(desc), type;
    if (RegQueryValueExW(key, L"ReportDescriptor", NULL, &type, desc, &size) != ERROR_SUCCESS)
        return fail("device has no report descriptor");
    return emu_parse_descriptor(desc, size, out);
}

bool emu_layout(int slot, EmuLayout *out)
{
    HKEY key = open_state_key(slot);
    if (!key) return false;
    bool ok = read_descriptor_layout(key, out);
    RegCloseKey(key);
    return ok;
}

static const char *canonical(const char *name, char *buf, size_t cap)
{
    for (auto &a : kAliases)
        if (!_stricmp(name, a.alias)) return a.name;
    snprintf(buf, cap, "%s", name);
    for (char *c = buf; *c; c++) *c = (char)tolower((unsigned char)*c);
    return buf;
}

// "voltage.input#1": base name, qualifiers that must all appear among the
// field's collection names, and an optional index among the matches.
static bool field_matches(const EmuField &f, const char *query)
{
    char q[128], fb[64];
    snprintf(q, sizeof(q), "%s", query);
    char *hash = strchr(q, '#');
    if (hash) *hash = 0;
    char *dot = strchr(q, '.');
    if (dot) *dot = 0;
    char basebuf[64];
    const char *base = canonical(q, basebuf, sizeof(basebuf));
    snprintf(fb, sizeof(fb), "%s", f.name);
    char *fdot = strchr(fb, '.');
    if (fdot) *fdot = 0;
    if (strcmp(base, fb)) return false;
    if (!dot) return true;
    for (char *qual = dot + 1; qual && *qual;) {
        char *next = strchr(qual, '.');
        if (next) *next++ = 0;
        bool found = false;
        const char *parts = strchr(f.name, '.');
        while (parts) {
            parts++;
            size_t n = strcspn(parts, ".");
            if (n == strlen(qual) && !_strnicmp(parts, qual, n)) found = true;
            parts = strchr(parts, '.');
        }
        if (!found) return false;
        qual = next;
    }
    return true;
}

static int match_index(const char *query)
{
    const char *hash = strchr(query, '#');
    return hash ? atoi(hash + 1) : -1;
}

struct ReportCache {
    char kind;
    uint8_t id;
    uint8_t bytes[EMU_MAX_REPORT_BYTES];
    DWORD len;
    bool dirty;
};

struct Session {
    HKEY key;
    EmuLayout *layout;
    ReportCache reports[EMU_MAX_REPORTS];
    int nreports;
};

static bool session_open(Session *s, int slot)
{
    memset(s, 0, sizeof(*s));
    s->key = open_state_key(slot);
    if (!s->key) return false;
    s->layout = (EmuLayout *)malloc(sizeof(EmuLayout));
    if (!read_descriptor_layout(s->key, s->layout)) {
        RegCloseKey(s->key);
        free(s->layout);
        return false;
    }
    return true;
}

static ReportCache *session_report(Session *s, char kind, uint8_t id)
{
    for (int i = 0; i < s->nreports; i++)
        if (s->reports[i].kind == kind && s->reports[i].id == id) return &s->reports[i];
    if (s->nreports >= EMU_MAX_REPORTS) return NULL;
    ReportCache *r = &s->reports[s->nreports++];
    memset(r, 0, sizeof(*r));
    r->kind = kind;
    r->id = id;
    wchar_t name[32];
    swprintf(name, 32, L"%ls%u", kind == 'F' ? L"Feature" : L"Input", id);
    DWORD type, size = sizeof(r->bytes);
    if (RegQueryValueExW(s->key, name, NULL, &type, r->bytes, &size) == ERROR_SUCCESS) r->len = size;
    for (int i = 0; i < s->layout->nreports; i++)
        if (s->layout->reports[i].kind == kind && s->layout->reports[i].id == id && r->len < s->layout->reports[i].length)
            r->len = s->layout->reports[i].length;
    r->bytes[0] = id;
    return r;
}

// The driver re-reads the Input<id> values (and InputFlood) only when this
// counter moves: it looks at nothing else while idle.
static void bump_input_serial(HKEY key)
{
    DWORD serial = 0, size = sizeof(serial), type;
    RegQueryValueExW(key, L"InputSerial", NULL, &type, (BYTE *)&serial, &size);
    reg_dword(key, L"InputSerial", serial + 1);
}

static bool session_close(Session *s)
{
    bool ok = true, inputs = false;
    for (int i = 0; i < s->nreports; i++) {
        ReportCache *r = &s->reports[i];
        if (!r->dirty) continue;
        wchar_t name[32];
        swprintf(name, 32, L"%ls%u", r->kind == 'F' ? L"Feature" : L"Input", r->id);
        if (RegSetValueExW(s->key, name, 0, REG_BINARY, r->bytes, r->len) != ERROR_SUCCESS) ok = fail("write failed");
        inputs = inputs || r->kind == 'I';
    }
    if (inputs) bump_input_serial(s->key);
    RegCloseKey(s->key);
    free(s->layout);
    return ok;
}

static void put_bits(uint8_t *buf, unsigned offset, unsigned size, uint64_t v)
{
    for (unsigned i = 0; i < size; i++) {
        unsigned bit = offset + i;
        if (v >> i & 1) buf[bit / 8] |= (uint8_t)(1u << (bit % 8));
        else buf[bit / 8] &= (uint8_t)~(1u << (bit % 8));
    }
}

static int64_t get_bits(const uint8_t *buf, unsigned offset, unsigned size, bool is_signed)
{
    uint64_t v = 0;
    for (unsigned i = 0; i < size && i < 64; i++) {
        unsigned bit = offset + i;
        if (buf[bit / 8] >> (bit % 8) & 1) v |= 1ull << i;
    }
    if (is_signed && size < 64 && (v >> (size - 1) & 1)) v |= ~0ull << size;
    return (int64_t)v;
}

// Sets every field matching name; returns the number set.
static int session_set(Session *s, const char *name, const char *value)
{
    bool raw = value[0] == '#';
    char *end;
    double v = strtod(raw ? value + 1 : value, &end);
    if (end == value + (raw ? 1 : 0) || *end) {
        fail("bad value '%s' for %s", value, name);
        return -1;
    }
    int want = match_index(name), seen = 0, set = 0;
    for (int i = 0; i < s->layout->nfields; i++) {
        const EmuField &f = s->layout->fields[i];
        if (!field_matches(f, name)) continue;
        if (want >= 0 && seen++ != want) continue;
        ReportCache *r = session_report(s, f.kind, f.report_id);
        if (!r || (DWORD)((f.bit_offset + f.bit_size + 7) / 8) > r->len) continue;
        int64_t rawv = (int64_t)llround(raw ? v : v * f.scale);
        put_bits(r->bytes, f.bit_offset, f.bit_size, (uint64_t)rawv);
        r->dirty = true;
        set++;
    }
    return set;
}

bool emu_internal::set_internal(int slot, const char *assignments, bool ignore_missing)
{
    Session s;
    if (!session_open(&s, slot)) return false;
    bool ok = true;
    const char *p = assignments;
    while (ok && *p) {
        while (*p == ' ' || *p == '\t' || *p == ',') p++;
        if (!*p) break;
        size_t n = strcspn(p, " \t,");
        char tok[160];
        if (n >= sizeof(tok)) { ok = fail("assignment too long"); break; }
        memcpy(tok, p, n);
        tok[n] = 0;
        p += n;
        char *eq = strchr(tok, '=');
        if (!eq) { ok = fail("expected name=value, got '%s'", tok); break; }
        *eq = 0;
        int count = session_set(&s, tok, eq + 1);
        if (count < 0) ok = false;
        else if (count == 0 && !ignore_missing) ok = fail("no field '%s' in this device", tok);
    }
    if (!session_close(&s)) ok = false;
    return ok;
}

bool emu_set(int slot, const char *assignments) { return set_internal(slot, assignments, false); }

bool emu_set_field(int slot, const char *name, double value)
{
    char buf[200];
    snprintf(buf, sizeof(buf), "%s=%.17g", name, value);
    return emu_set(slot, buf);
}

static bool get_internal(int slot, const char *name, int64_t *raw, double *value)
{
    Session s;
    if (!session_open(&s, slot)) return false;
    int want = match_index(name), seen = 0;
    bool found = false;
    for (int i = 0; i < s.layout->nfields && !found; i++) {
        const EmuField &f = s.layout->fields[i];
        if (!field_matches(f, name)) continue;
        if (want >= 0 && seen++ != want) continue;
        ReportCache *r = session_report(&s, f.kind, f.report_id);
        if (!r) continue;
        int64_t v = get_bits(r->bytes, f.bit_offset, f.bit_size, f.logical_min < 0);
        if (raw) *raw = v;
        if (value) *value = v / f.scale;
        found = true;
    }
    session_close(&s);
    return found ? true : fail("no field '%s' in this device", name);
}

bool emu_get_field(int slot, const char *name, double *value) { return get_internal(slot, name, NULL, value); }
bool emu_get_raw(int slot, const char *name, int64_t *raw) { return get_internal(slot, name, raw, NULL); }

static void report_name(char kind, uint8_t id, wchar_t *name)
{
    swprintf(name, 32, L"%ls%u", kind == 'I' ? L"Input" : kind == 'S' ? L"SetFeature" : L"Feature", id);
}

bool emu_set_report(int slot, char kind, uint8_t id, const uint8_t *bytes, size_t len)
{
    if (!len || bytes[0] != id) return fail("report bytes must start with the report id %u", id);
    HKEY key = open_state_key(slot);
    if (!key) return false;
    wchar_t name[32];
    report_name(kind, id, name);
    LONG rc = RegSetValueExW(key, name, 0, REG_BINARY, bytes, (DWORD)len);
    if (kind == 'I') bump_input_serial(key);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? true : fail("write failed: %ld", rc);
}

bool emu_get_report(int slot, char kind, uint8_t id, uint8_t *bytes, size_t cap, size_t *len)
{
    HKEY key = open_state_key(slot);
    if (!key) return false;
    wchar_t name[32];
    report_name(kind, id, name);
    DWORD size = (DWORD)cap, type;
    LONG rc = RegQueryValueExW(key, name, NULL, &type, bytes, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return fail("no %s report %u", kind == 'I' ? "input" : kind == 'S' ? "sent" : "feature", id);
    *len = size;
    return true;
}

bool emu_poke(int slot, char kind, uint8_t id, size_t offset, const uint8_t *bytes, size_t len)
{
    uint8_t buf[EMU_MAX_REPORT_BYTES] = {};
    size_t have = 0;
    if (!emu_get_report(slot, kind, id, buf, sizeof(buf), &have)) have = 1;
    if (offset + len > sizeof(buf)) return fail("offset out of range");
    memcpy(buf + offset, bytes, len);
    buf[0] = id;
    if (offset + len > have) have = offset + len;
    return emu_set_report(slot, kind, id, buf, have);
}

// The failure modes exclude each other: "all" clears a single-report
// failure and a single-report failure clears "all".
bool emu_fail_all(int slot, bool on)
{
    return slot_dword(slot, L"FailReport", 0) && slot_dword(slot, L"FailAll", on ? 1 : 0);
}
bool emu_fail_report(int slot, int report_id)
{
    return slot_dword(slot, L"FailAll", 0) && slot_dword(slot, L"FailReport", (uint32_t)report_id);
}
bool emu_fail_none(int slot) { return emu_fail_all(slot, false) && emu_fail_report(slot, 0); }
bool emu_fail_status(int slot, uint32_t ntstatus) { return slot_dword(slot, L"FailStatus", ntstatus); }
bool emu_set_delay(int slot, uint32_t ms) { return slot_dword(slot, L"DelayMs", ms); }

bool emu_input_flood(int slot, bool on)
{
    HKEY key = open_state_key(slot);
    if (!key) return false;
    bool ok = reg_dword(key, L"InputFlood", on ? 1 : 0);
    bump_input_serial(key);
    RegCloseKey(key);
    return ok;
}

bool emu_request_count(int slot, uint32_t *count)
{
    HKEY key = open_state_key(slot);
    if (!key) return false;
    DWORD size = sizeof(*count), type;
    LONG rc = RegQueryValueExW(key, L"RequestCount", NULL, &type, (BYTE *)count, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) *count = 0;
    return true;
}

int emu_request_times(int slot, uint64_t *times, int max)
{
    HKEY key = open_state_key(slot);
    if (!key) return -1;
    uint64_t ring[EMU_TIME_RING] = {};
    DWORD count = 0, size = sizeof(count), type;
    RegQueryValueExW(key, L"RequestCount", NULL, &type, (BYTE *)&count, &size);
    size = sizeof(ring);
    RegQueryValueExW(key, L"RequestTimes", NULL, &type, (BYTE *)ring, &size);
    RegCloseKey(key);
    int n = count < EMU_TIME_RING ? (int)count : EMU_TIME_RING;
    if (n > max) n = max;
    for (int i = 0; i < n; i++) times[i] = ring[(count - n + i) % EMU_TIME_RING];
    return n;
}

bool emu_reset_log(int slot)
{
    HKEY key = open_state_key(slot);
    if (!key) return false;
    uint64_t ring[EMU_TIME_RING] = {};
    bool ok = reg_dword(key, L"RequestCount", 0) &&
              RegSetValueExW(key, L"RequestTimes", 0, REG_BINARY, (const BYTE *)ring, sizeof(ring)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

bool emu_output(int slot, EmuOutput *out)
{
    HKEY key = open_state_key(slot);
    if (!key) return false;
    DWORD on = 1, offs = 0, sets = 0, writes = 0, type, size;
    int32_t last = 0;
    uint64_t end = 0;
    size = sizeof(on); RegQueryValueExW(key, L"OutputOn", NULL, &type, (BYTE *)&on, &size);
    size = sizeof(offs); RegQueryValueExW(key, L"OutputOffs", NULL, &type, (BYTE *)&offs, &size);
    size = sizeof(sets); RegQueryValueExW(key, L"SetRequests", NULL, &type, (BYTE *)&sets, &size);
    size = sizeof(writes); RegQueryValueExW(key, L"OffDelayWrites", NULL, &type, (BYTE *)&writes, &size);
    size = sizeof(last); RegQueryValueExW(key, L"OffDelayLast", NULL, &type, (BYTE *)&last, &size);
    size = sizeof(end); RegQueryValueExW(key, L"OffDelayEnd", NULL, &type, (BYTE *)&end, &size);
    RegCloseKey(key);
    uint64_t now = emu_now_ms();
    out->on = on != 0;
    out->offs = offs;
    out->sets = sets;
    out->writes = writes;
    out->last = last;
    out->left_ms = end == 0 ? -1 : end > now ? (int64_t)(end - now) : 0;
    return true;
}

uint64_t emu_now_ms()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime) / 10000;
}
