// The emulated UPS's report descriptors: a small writer for building them
// and a parser that lays out their fields and reports and names each field
// from the usage tables.
#ifndef UNICODE
#define UNICODE
#endif
#include "emu_client.h"
#include "emu_internal.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

using namespace emu_internal;

// ---------------------------------------------------------------------------
// Builder

void EmuDescBuilder::raw(uint8_t b)
{
    if (len < sizeof(bytes)) bytes[len++] = b;
    else overflow = true;
}

void EmuDescBuilder::item(uint8_t tag_type, uint32_t value, int size)
{
    uint8_t code = size == 0 ? 0 : size == 1 ? 1 : size == 2 ? 2 : 3;
    raw((uint8_t)(tag_type | code));
    for (int i = 0; i < (size == 3 ? 4 : size); i++) raw((uint8_t)(value >> (8 * i)));
}

void EmuDescBuilder::item_signed(uint8_t tag_type, int32_t v)
{
    if (v >= -128 && v <= 127) item(tag_type, (uint32_t)v, 1);
    else if (v >= -32768 && v <= 32767) item(tag_type, (uint32_t)v, 2);
    else item(tag_type, (uint32_t)v, 4);
}

void EmuDescBuilder::page(uint16_t p) { item(0x04, p, p > 0xff ? 2 : 1); }
void EmuDescBuilder::usage(uint16_t u) { item(0x08, u, u > 0xff ? 2 : 1); }
void EmuDescBuilder::usage_ext(uint16_t p, uint16_t u) { item(0x08, ((uint32_t)p << 16) | u, 4); }
void EmuDescBuilder::usage_range(uint16_t min, uint16_t max)
{
    item(0x18, min, min > 0xff ? 2 : 1);
    item(0x28, max, max > 0xff ? 2 : 1);
}
void EmuDescBuilder::collection(uint8_t type) { item(0xA0, type, 1); }
void EmuDescBuilder::end() { item(0xC0, 0, 0); }
void EmuDescBuilder::report_id(uint8_t id) { item(0x84, id, 1); }
void EmuDescBuilder::size(uint32_t bits) { item(0x74, bits, bits > 0xff ? 2 : 1); }
void EmuDescBuilder::count(uint32_t n) { item(0x94, n, n > 0xff ? 2 : 1); }
void EmuDescBuilder::logical(int32_t min, int32_t max)
{
    item_signed(0x14, min);
    // A maximum that only fits unsigned in 1 or 2 bytes would read back
    // negative; item_signed picks the wider form for it.
    item_signed(0x24, max);
}
void EmuDescBuilder::unit(uint32_t u) { item(0x64, u, 4); }  // Wine sign-extends the 2-byte form
void EmuDescBuilder::unit_exp(int e) { item(0x54, (uint32_t)(e & 0x0f), 1); }
void EmuDescBuilder::main(char kind, uint8_t flags)
{
    uint8_t tag = kind == 'I' ? 0x80 : kind == 'O' ? 0x90 : 0xB0;
    item(tag, flags, 1);
}
void EmuDescBuilder::pad(char kind, uint32_t bits)
{
    size(bits);
    count(1);
    main(kind, 0x03);
}
void EmuDescBuilder::value(char kind, uint16_t p, uint16_t u, uint32_t bits, int32_t lmin, int32_t lmax,
                           uint32_t unit_code, int exp)
{
    page(p);
    usage(u);
    size(bits);
    count(1);
    logical(lmin, lmax);
    unit(unit_code);
    unit_exp(exp);
    main(kind, 0x02);
}

bool EmuDescBuilder::layout(EmuLayout *out) const
{
    if (overflow) return fail("descriptor too long");
    return emu_parse_descriptor(bytes, len, out);
}

// ---------------------------------------------------------------------------
// Parser and field naming

struct UsageName { uint16_t page, usage; const char *name; };

static const UsageName kFieldNames[] = {
    {0x85, 0x66, "charge"}, {0x85, 0x68, "runtime"}, {0x84, 0x35, "load"},
    {0x84, 0x44, "power"}, {0x84, 0x30, "voltage"}, {0x85, 0xD0, "ac"},
    {0x85, 0x44, "charging"}, {0x85, 0x45, "discharging"}, {0x84, 0x69, "shutdown"},
    {0x85, 0x42, "belowlimit"}, {0x85, 0x4B, "replace"}, {0x84, 0x65, "overload"},
    {0x85, 0x67, "fullcharge"}, {0x85, 0xD1, "batterypresent"}, {0x85, 0xD2, "powerfail"},
    {0x85, 0xD3, "alarminhibited"}, {0x85, 0x29, "capacitylimit"}, {0x85, 0x46, "fullycharged"},
    {0x85, 0x47, "fullydischarged"}, {0x85, 0x83, "designcapacity"}, {0x85, 0x8C, "warninglimit"},
    {0x84, 0x31, "current"}, {0x84, 0x32, "frequency"}, {0x84, 0x33, "apparentpower"},
    {0x84, 0x34, "activepower"}, {0x84, 0x36, "temperature"}, {0x84, 0x40, "configvoltage"},
    {0x84, 0x60, "present"}, {0x84, 0x61, "good"}, {0x84, 0x73, "commlost"},
    {0x84, 0x57, "delayshutdown"}, {0x84, 0x56, "delaystartup"},
};

static const UsageName kCollectionNames[] = {
    {0x84, 0x24, "summary"}, {0x84, 0x12, "battery"}, {0x84, 0x10, "batterysystem"},
    {0x84, 0x1A, "input"}, {0x84, 0x1C, "output"}, {0x84, 0x02, "present"},
    {0x84, 0x03, "changed"}, {0x84, 0x16, "converter"}, {0x84, 0x1E, "flow"},
    {0x84, 0x20, "outlet"}, {0x84, 0x18, "outletsystem"}, {0x84, 0x14, "charger"},
    {0x84, 0x04, "ups"},
};

static void usage_name(const UsageName *table, size_t n, uint16_t page, uint16_t usage,
                       const char *prefix, char *out, size_t cap)
{
    for (size_t i = 0; i < n; i++)
        if (table[i].page == page && table[i].usage == usage) {
            snprintf(out, cap, "%s", table[i].name);
            return;
        }
    snprintf(out, cap, "%s%X_%X", prefix, page, usage);
}

static int32_t sign_extend(uint32_t v, int size)
{
    if (size == 1) return (int8_t)v;
    if (size == 2) return (int16_t)v;
    return (int32_t)v;
}

static double unit_scale(uint32_t unit, int exp)
{
    // Electrical units in the SI-linear system are based on g and cm, so a
    // volt (or watt, or ampere-free combinations like them) carries 10^7.
    if (unit == 0x00F0D121 || unit == 0x0000D121 || unit == 0x00E0D121)
        return pow(10.0, 7 - exp);
    if (exp) return pow(10.0, -exp);
    return 1.0;
}

bool emu_parse_descriptor(const uint8_t *d, size_t len, EmuLayout *out)
{
    struct Globals {
        uint16_t page; int32_t lmin, lmax; uint32_t unit; int exp;
        uint32_t size, count; uint8_t id;
    };
    Globals g = {}, stack[8];
    int sp = 0;
    uint32_t usages[512];
    int nusages = 0;
    uint32_t umin = 0;
    bool have_umin = false;
    int coll_stack[32];
    uint32_t coll_usage[32];
    int depth = 0;

    memset(out, 0, sizeof(*out));
    for (size_t pos = 0; pos < len;) {
        uint8_t b = d[pos];
        if (b == 0xFE) {  // long item
            if (pos + 2 > len) return fail("truncated long item");
            pos += 3 + d[pos + 1];
            continue;
        }
        int size = (b & 3) == 3 ? 4 : (b & 3);
        if (pos + 1 + size > len) return fail("truncated item at %u", (unsigned)pos);
        uint32_t v = 0;
        for (int i = 0; i < size; i++) v |= (uint32_t)d[pos + 1 + i] << (8 * i);
        int type = (b >> 2) & 3, tag = b >> 4;
        pos += 1 + size;

        if (type == 1) {  // global
            switch (tag) {
            case 0: g.page = (uint16_t)v; break;
            case 1: g.lmin = sign_extend(v, size); break;
            case 2: g.lmax = sign_extend(v, size); break;
            case 5: g.exp = (size == 1 && v <= 0x0f) ? (v > 7 ? (int)v - 16 : (int)v) : sign_extend(v, size); break;
            case 6: g.unit = v; break;
            case 7: g.size = v; break;
            case 8: g.id = (uint8_t)v; break;
            case 9: g.count = v; break;
            case 10: if (sp < 8) stack[sp++] = g; break;
            case 11: if (sp > 0) g = stack[--sp]; break;
            }
            continue;
        }
        if (type == 2) {  // local
            uint32_t full = size == 4 ? v : ((uint32_t)g.page << 16) | v;
            if (tag == 0 && nusages < 512) usages[nusages++] = full;
            if (tag == 1) { umin = full; have_umin = true; }
            if (tag == 2 && have_umin) {
                for (uint32_t u = umin; u <= full && nusages < 512; u++) usages[nusages++] = u;
                have_umin = false;
            }
            continue;
        }
        if (type != 0) continue;
        if (tag == 0xA) {  // collection
            if (depth < 32) {
                coll_stack[depth] = out->ncollections;
                coll_usage[depth] = nusages ? usages[0] : 0;
                if (out->ncollections == 0) {
                    out->top_page = (uint16_t)(coll_usage[0] >> 16);
                    out->top_usage = (uint16_t)coll_usage[0];
                }
                depth++;
            }
            out->ncollections++;
        } else if (tag == 0xC) {
            if (depth > 0) depth--;
        } else if (tag == 0x8 || tag == 0x9 || tag == 0xB) {
            char kind = tag == 0x8 ? 'I' : tag == 0x9 ? 'O' : 'F';
            EmuReportLayout *rep = NULL;
            for (int i = 0; i < out->nreports; i++)
                if (out->reports[i].kind == kind && out->reports[i].id == g.id) rep = &out->reports[i];
            if (!rep) {
                if (out->nreports >= EMU_MAX_REPORTS) return fail("too many reports");
                rep = &out->reports[out->nreports++];
                rep->kind = kind;
                rep->id = g.id;
                rep->length = 8;  // bits so far: the id byte
            }
            // The client keeps every report in a buffer of EMU_MAX_REPORT_BYTES;
            // a longer one (a huge count, say) is refused before it is laid out.
            if ((uint64_t)rep->length + (uint64_t)g.size * g.count > EMU_MAX_REPORT_BYTES * 8u)
                return fail("report %c%u is longer than %d bytes", kind, g.id, EMU_MAX_REPORT_BYTES);
            bool constant = v & 1, variable = v & 2;
            for (uint32_t i = 0; i < g.count; i++) {
                uint32_t bit = rep->length + i * g.size;
                if (constant || nusages == 0) continue;
                uint32_t u = usages[i < (uint32_t)nusages ? i : nusages - 1];
                if (!variable && i > 0) break;  // an array: one field for its first slot
                if (out->nfields >= EMU_MAX_FIELDS) return fail("too many fields");
                EmuField *f = &out->fields[out->nfields++];
                f->kind = kind;
                f->report_id = g.id;
                f->bit_offset = (uint16_t)bit;
                f->bit_size = (uint16_t)g.size;
                f->usage_page = (uint16_t)(u >> 16);
                f->usage = (uint16_t)u;
                f->logical_min = g.lmin;
                f->logical_max = g.lmax;
                f->unit = g.unit;
                f->unit_exp = (int8_t)g.exp;
                f->scale = unit_scale(g.unit, g.exp);
                f->link_collection = depth > 0 ? coll_stack[depth - 1] : 0;
                char base[64];
                usage_name(kFieldNames, sizeof(kFieldNames) / sizeof(kFieldNames[0]),
                           f->usage_page, f->usage, "u", base, sizeof(base));
                size_t n = strlen(base);
                for (int c = 1; c < depth && n < sizeof(f->name) - 1; c++) {
                    char cname[32];
                    usage_name(kCollectionNames, sizeof(kCollectionNames) / sizeof(kCollectionNames[0]),
                               (uint16_t)(coll_usage[c] >> 16), (uint16_t)coll_usage[c], "c", cname, sizeof(cname));
                    n += snprintf(base + n, sizeof(base) - n, ".%s", cname);
                    if (n >= sizeof(base)) n = sizeof(base) - 1;
                }
                snprintf(f->name, sizeof(f->name), "%s", base);
            }
            rep->length = (uint16_t)(rep->length + g.size * g.count);
        }
        // Local items last until the next main item.
        if (type == 0) { nusages = 0; have_umin = false; }
    }
    for (int i = 0; i < out->nreports; i++) out->reports[i].length = (uint16_t)((out->reports[i].length + 7) / 8);
    return true;
}

// Items are copied as they are, but an Input main item goes, and with it the
// local items (usages) it would have consumed: left behind, they would
// become the next main item's usages. Globals stay, since later items rely
// on them.
size_t emu_strip_inputs(uint8_t *d, size_t len)
{
    size_t out = 0;
    uint8_t pending[EMU_MAX_DESC];
    size_t npending = 0;
    for (size_t pos = 0; pos < len;) {
        uint8_t b = d[pos];
        size_t item = b == 0xFE ? (pos + 1 < len ? 3u + d[pos + 1] : 1u) : 1u + ((b & 3) == 3 ? 4 : (b & 3));
        if (pos + item > len) item = len - pos;
        int type = b == 0xFE ? 3 : (b >> 2) & 3, tag = b >> 4;
        if (type != 0) {
            // Held back until the main item that ends them is known.
            memcpy(pending + npending, d + pos, item);
            npending += item;
        } else {
            bool input = tag == 8;
            for (size_t p = 0; p < npending;) {
                uint8_t pb = pending[p];
                size_t n = pb == 0xFE ? 3u + pending[p + 1] : 1u + ((pb & 3) == 3 ? 4 : (pb & 3));
                if (p + n > npending) n = npending - p;
                if (!input || ((pb >> 2) & 3) != 2 || pb == 0xFE) {
                    memmove(d + out, pending + p, n);
                    out += n;
                }
                p += n;
            }
            npending = 0;
            if (!input) {
                memmove(d + out, d + pos, item);
                out += item;
            }
        }
        pos += item;
    }
    memcpy(d + out, pending, npending);
    return out + npending;
}
