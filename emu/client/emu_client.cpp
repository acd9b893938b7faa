// Client for the Corvane emulated UPS: descriptor builder and parser,
// built-in profiles, device installation and state in the registry.
#ifndef UNICODE
#define UNICODE
#endif
#include "emu_client.h"

#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <cfgmgr32.h>

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static const GUID kHidClassGuid = {0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};
static const wchar_t kSlotsKey[] = L"Software\\Corvane\\EmuSlots";

static char g_error[512];

static bool fail(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_error, sizeof(g_error), fmt, ap);
    va_end(ap);
    return false;
}

const char *emu_last_error() { return g_error; }

// ---------------------------------------------------------------------------
// Descriptor builder

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
// Descriptor parser and field naming

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
};

static const UsageName kCollectionNames[] = {
    {0x84, 0x24, "summary"}, {0x84, 0x12, "battery"}, {0x84, 0x10, "batterysystem"},
    {0x84, 0x1A, "input"}, {0x84, 0x1C, "output"}, {0x84, 0x02, "present"},
    {0x84, 0x03, "changed"}, {0x84, 0x16, "converter"}, {0x84, 0x1E, "flow"},
    {0x84, 0x20, "outlet"}, {0x84, 0x18, "outletsystem"}, {0x84, 0x14, "charger"},
    {0x84, 0x04, "ups"},
};

// Long names from the usage tables, accepted as aliases of the short ones.
static const struct { const char *alias, *name; } kAliases[] = {
    {"remainingcapacity", "charge"}, {"runtimetoempty", "runtime"}, {"percentload", "load"},
    {"configactivepower", "power"}, {"acpresent", "ac"}, {"shutdownimminent", "shutdown"},
    {"belowremainingcapacitylimit", "belowlimit"}, {"needreplacement", "replace"},
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

// ---------------------------------------------------------------------------
// Profiles

enum FlagStyle { FLAGS_BITS, FLAGS_BYTES, FLAGS_BOTH };

struct PlainShape {
    uint32_t in_unit; int in_exp;        // input voltage
    bool output; uint32_t out_unit; int out_exp;
    bool summary_volt; uint32_t sum_unit; int sum_exp;   // battery voltage in PowerSummary
    bool battery_volt;                                     // battery voltage in a Battery collection
    FlagStyle flags;
};

static const uint32_t kVolt = 0x00F0D121, kWatt = 0x0000D121, kSecond = 0x00001001;

static void status_bits(EmuDescBuilder &b, char kind)
{
    b.size(1); b.logical(0, 1); b.unit(0); b.unit_exp(0);
    b.page(0x85);
    b.usage(0xD0); b.usage(0x44); b.usage(0x45); b.usage(0x42); b.usage(0x4B);
    b.count(5); b.main(kind, 0x02);
    b.page(0x84);
    b.usage(0x69); b.usage(0x65);
    b.count(2); b.main(kind, 0x02);
    b.pad(kind, 1);
}

static void status_bytes(EmuDescBuilder &b, char kind)
{
    static const uint16_t flags[][2] = {{0x85, 0xD0}, {0x85, 0x44}, {0x85, 0x45}, {0x85, 0x42},
                                        {0x85, 0x4B}, {0x84, 0x69}, {0x84, 0x65}};
    for (auto &f : flags) b.value(kind, f[0], f[1], 8, 0, 1);
}

// A simple input report the host can keep a read pending on.
static void commlost_input(EmuDescBuilder &b, uint8_t id)
{
    b.report_id(id);
    b.value('I', 0x84, 0x73, 1, 0, 1);
    b.pad('I', 7);
}

static void build_plain(EmuDescBuilder &b, const PlainShape &s)
{
    b.page(0x84); b.usage(0x04); b.collection(1);            // UPS
      b.usage(0x24); b.collection(0);                         // PowerSummary
        b.report_id(1);
        b.value('F', 0x85, 0x66, 8, 0, 100);                  // RemainingCapacity %
        b.value('F', 0x85, 0x68, 32, 0, 0x7fffffff, kSecond); // RunTimeToEmpty s
        b.value('F', 0x84, 0x44, 16, 0, 65535, kWatt, 7);     // ConfigActivePower W
        if (s.summary_volt) b.value('F', 0x84, 0x30, 16, 0, 65535, s.sum_unit, s.sum_exp);
        if (s.flags != FLAGS_BYTES) {
          b.page(0x84); b.usage(0x02); b.collection(2);      // PresentStatus
            b.report_id(2);
            status_bits(b, 'F');
          b.end();
        }
        if (s.flags != FLAGS_BITS) {
          b.page(0x84); b.usage(0x02); b.collection(2);      // PresentStatus, one byte per flag
            b.report_id(7);
            status_bytes(b, 'F');
          b.end();
        }
      b.end();
      b.page(0x84); b.usage(0x1A); b.collection(0);          // Input
        b.report_id(3);
        b.value('F', 0x84, 0x30, 16, 0, 65535, s.in_unit, s.in_exp);
      b.end();
      b.page(0x84); b.usage(0x1C); b.collection(0);          // Output
        b.report_id(4);
        b.value('F', 0x84, 0x35, 8, 0, 100);                  // PercentLoad
        if (s.output) b.value('F', 0x84, 0x30, 16, 0, 65535, s.out_unit, s.out_exp);
      b.end();
      if (s.battery_volt) {
        b.page(0x84); b.usage(0x12); b.collection(0);        // Battery
          b.report_id(6);
          b.value('F', 0x84, 0x30, 16, 0, 65535, kVolt, 7);
        b.end();
      }
      commlost_input(b, 5);
    b.end();
}

static const char kPlainInit[] =
    "charge=100 runtime=3900 load=25 power=1500 voltage.input=230 voltage.output=230 "
    "voltage.summary=27 voltage.battery=27 ac=1 charging=0 discharging=0 shutdown=0 "
    "belowlimit=0 replace=0 overload=0";

static void build_multi(EmuDescBuilder &b)
{
    b.page(0x84); b.usage(0x04); b.collection(1);            // UPS
      b.usage(0x24); b.collection(0);                         // PowerSummary
        b.report_id(1);                                       // four usages share report 1
        b.value('F', 0x85, 0x66, 8, 0, 100);
        b.value('F', 0x85, 0x68, 32, 0, 0x7fffffff, kSecond);
        b.value('F', 0x84, 0x44, 16, 0, 65535, kWatt, 7);
        b.value('F', 0x84, 0x30, 16, 0, 65535, kVolt, 7);
        b.page(0x84); b.usage(0x02); b.collection(2);        // PresentStatus
          b.report_id(2);
          status_bits(b, 'F');
          status_bits(b, 'I');
        b.end();
        b.page(0x84); b.usage(0x03); b.collection(2);        // ChangedStatus
          b.report_id(3);
          b.size(1); b.count(1); b.logical(0, 1);
          b.page(0x85); b.usage(0xD0); b.usage(0x44); b.usage(0x45);
          b.count(3); b.main('F', 0x02);
          b.page(0x84); b.usage(0x69); b.count(1); b.main('F', 0x02);
          b.pad('F', 4);
        b.end();
      b.end();
      b.page(0x84); b.usage(0x10); b.collection(0);          // BatterySystem
        b.usage(0x12); b.collection(0);                       // Battery
          b.report_id(4);
          b.value('F', 0x85, 0x66, 8, 0, 100);
          b.value('F', 0x85, 0x68, 32, 0, 0x7fffffff, kSecond);
          b.value('F', 0x84, 0x30, 16, 0, 65535, kVolt, 7);
          b.page(0x84); b.usage(0x02); b.collection(2);      // PresentStatus
            b.report_id(5);
            b.size(1); b.logical(0, 1);
            b.page(0x85); b.usage(0x44); b.usage(0x45); b.usage(0x42); b.usage(0x4B);
            b.count(4); b.main('F', 0x02);
            b.pad('F', 4);
          b.end();
        b.end();
      b.end();
      b.page(0x84); b.usage(0x1A); b.collection(0);          // Input
        b.report_id(6);
        b.value('F', 0x84, 0x30, 16, 0, 65535, kVolt, 7);
      b.end();
      b.page(0x84); b.usage(0x1C); b.collection(0);          // Output, same report as Input
        b.report_id(6);
        b.value('F', 0x84, 0x30, 16, 0, 65535, kVolt, 7);
        b.value('F', 0x84, 0x35, 8, 0, 100);
      b.end();
    b.end();
}

static void build_manyvolts(EmuDescBuilder &b)
{
    b.page(0x84); b.usage(0x04); b.collection(1);
      b.usage(0x24); b.collection(0);
        b.report_id(1);
        b.value('F', 0x85, 0x66, 8, 0, 100);
        b.value('F', 0x85, 0x68, 32, 0, 0x7fffffff, kSecond);
        b.value('F', 0x84, 0x44, 16, 0, 65535, kWatt, 7);
        b.value('F', 0x84, 0x30, 16, 0, 65535, kVolt, 7);    // battery, in the summary
        b.page(0x84); b.usage(0x02); b.collection(2);
          b.report_id(2);
          status_bits(b, 'F');
        b.end();
      b.end();
      for (int phase = 0; phase < 3; phase++) {               // three input phases
        b.page(0x84); b.usage(0x1A); b.collection(0);
          b.report_id((uint8_t)(10 + phase));
          b.value('F', 0x84, 0x30, 16, 0, 65535, kVolt, 7);
        b.end();
      }
      for (int phase = 0; phase < 3; phase++) {               // three output phases
        b.page(0x84); b.usage(0x1C); b.collection(0);
          b.report_id((uint8_t)(20 + phase));
          b.value('F', 0x84, 0x30, 16, 0, 65535, kVolt, 7);
          if (phase == 0) b.value('F', 0x84, 0x35, 8, 0, 100);
        b.end();
      }
      b.page(0x84); b.usage(0x12); b.collection(0);          // Battery
        b.report_id(30);
        b.value('F', 0x84, 0x30, 16, 0, 65535, kVolt, 7);
      b.end();
      for (int outlet = 0; outlet < 2; outlet++) {            // two outlets
        b.page(0x84); b.usage(0x20); b.collection(0);
          b.report_id((uint8_t)(40 + outlet));
          b.value('F', 0x84, 0x30, 16, 0, 65535, kVolt, 7);
        b.end();
      }
      commlost_input(b, 5);
    b.end();
}

static void build_ranged(EmuDescBuilder &b)
{
    b.page(0x84); b.usage(0x04); b.collection(1);
      b.usage(0x24); b.collection(0);
        b.report_id(1);
        // RemainingCapacity, FullChargeCapacity, RunTimeToEmpty as one range.
        b.page(0x85); b.usage_range(0x66, 0x68);
        b.size(16); b.count(3); b.logical(0, 65535); b.unit(0); b.unit_exp(0);
        b.main('F', 0x02);
        b.value('F', 0x84, 0x44, 16, 0, 65535, kWatt, 7);
        b.page(0x84); b.usage(0x02); b.collection(2);
          b.report_id(2);
          b.size(1); b.logical(0, 1); b.unit(0); b.unit_exp(0);
          // ACPresent, BatteryPresent, PowerFail, AlarmInhibited as one range.
          b.page(0x85); b.usage_range(0xD0, 0xD3); b.count(4); b.main('F', 0x02);
          b.usage(0x44); b.usage(0x45); b.usage(0x42); b.usage(0x4B); b.count(4); b.main('F', 0x02);
          b.page(0x84); b.usage(0x69); b.usage(0x65); b.count(2); b.main('F', 0x02);
          b.pad('F', 6);
        b.end();
      b.end();
      b.page(0x84); b.usage(0x1A); b.collection(0);
        b.report_id(3);
        b.value('F', 0x84, 0x30, 16, 0, 65535, kVolt, 7);
      b.end();
      b.page(0x84); b.usage(0x1C); b.collection(0);
        b.report_id(4);
        b.value('F', 0x84, 0x35, 8, 0, 100);
      b.end();
      commlost_input(b, 5);
    b.end();
}

static void build_minimal(EmuDescBuilder &b)
{
    b.page(0x84); b.usage(0x04); b.collection(1);
      b.usage(0x24); b.collection(0);
        b.report_id(1);
        b.value('F', 0x85, 0x66, 8, 0, 100);
        b.page(0x84); b.usage(0x02); b.collection(2);
          b.report_id(2);
          b.value('F', 0x85, 0x45, 1, 0, 1);
          b.pad('F', 7);
        b.end();
      b.end();
      commlost_input(b, 3);
    b.end();
}

static void build_batteryonly(EmuDescBuilder &b)
{
    b.page(0x85); b.usage(0x01); b.collection(1);            // Battery System page only
      b.report_id(1);
      b.value('F', 0x85, 0x66, 8, 0, 100);
      b.value('F', 0x85, 0x68, 32, 0, 0x7fffffff, kSecond);
      b.report_id(2);
      b.size(1); b.logical(0, 1); b.unit(0); b.unit_exp(0);
      b.page(0x85); b.usage(0xD0); b.usage(0x44); b.usage(0x45); b.count(3); b.main('F', 0x02);
      b.pad('F', 5);
      b.report_id(3);
      b.value('I', 0x85, 0xD1, 1, 0, 1);
      b.pad('I', 7);
    b.end();
}

static void build_other(EmuDescBuilder &b)
{
    b.page(0xFF00); b.usage(0x01); b.collection(1);          // vendor-defined
      b.report_id(1);
      b.page(0xFF00); b.usage(0x02); b.size(8); b.count(8); b.logical(0, 255);
      b.main('F', 0x02);
      b.usage(0x03); b.count(8); b.main('I', 0x02);
    b.end();
}

struct ProfileDef {
    const char *name;
    const char *summary;
    uint16_t pid;
    const wchar_t *product;
};

static const ProfileDef kProfiles[] = {
    {"plain", "UPS: every monitored usage once; summary{charge,runtime,power}, present status bits, input voltage (V), output load", 0xC001, L"Emulated UPS 1500"},
    {"multi", "usages repeated in PowerSummary and Battery; ACPresent in PresentStatus and ChangedStatus; Input and Output share report 6", 0xC002, L"Emulated UPS Multi"},
    {"centivolts", "plain with input voltage in 1/100 V (raw 23000) and a Battery collection voltage of 27 V", 0xC003, L"Emulated UPS Centivolts"},
    {"manyvolts", "ten Voltage values: summary, 3 input, 3 output, battery, 2 outlets", 0xC004, L"Emulated UPS Many Volts"},
    {"ranged", "charge/runtime and ACPresent declared only inside Usage Minimum/Maximum ranges", 0xC005, L"Emulated UPS Ranged"},
    {"minimal", "charge and Discharging only, no ACPresent", 0xC006, L"Emulated UPS Minimal"},
    {"batteryonly", "top-level collection on the Battery System page (0x85:0x01): charge, runtime, ac, charging, discharging", 0xC007, L"Emulated Battery"},
    {"other", "vendor-defined HID device (page 0xFF00), not a UPS; its id (PID 0A01) enumerates before the UPS profiles", 0x0A01, L"Emulated Vendor Device"},
    {"upsa", "plain, product \"Emulated UPS A\"", 0xC001, L"Emulated UPS A"},
    {"upsb", "plain, product \"Emulated UPS B\"", 0xC001, L"Emulated UPS B"},
    {"flags8", "plain with every status flag as an 8-bit field (logical 0..1), no 1-bit fields", 0xC008, L"Emulated UPS Flags8"},
    {"flagsboth", "plain with flags as 1-bit fields (report 2) and 8-bit copies (report 7)", 0xC009, L"Emulated UPS FlagsBoth"},
    {"tenthsbattery", "summary battery voltage in 1/10 V (exp 6, raw 270) before input voltage in V (exp 7)", 0xC00A, L"Emulated UPS TenthsBattery"},
    {"tenthsinput", "input and output voltages in 1/10 V (raw 2300)", 0xC00B, L"Emulated UPS TenthsInput"},
    {"nounit", "input, output and summary voltages with no unit declared", 0xC00C, L"Emulated UPS NoUnit"},
};

int emu_profile_count() { return (int)(sizeof(kProfiles) / sizeof(kProfiles[0])); }
const char *emu_profile_name(int i) { return i >= 0 && i < emu_profile_count() ? kProfiles[i].name : NULL; }
const char *emu_profile_summary(int i) { return i >= 0 && i < emu_profile_count() ? kProfiles[i].summary : NULL; }

bool emu_profile_get(const char *name, EmuProfile *p)
{
    const ProfileDef *def = NULL;
    for (const ProfileDef &d : kProfiles)
        if (!strcmp(d.name, name)) def = &d;
    if (!def) return fail("unknown profile '%s'", name);

    memset(p, 0, sizeof(*p));
    snprintf(p->name, sizeof(p->name), "%s", def->name);
    p->vid = 0x1209;
    p->pid = def->pid;
    p->version = 0x0100;
    wcscpy(p->manufacturer, L"Quillfen Labs");
    wcsncpy(p->product, def->product, EMU_MAX_STRING - 1);
    snprintf(p->init, sizeof(p->init), "%s", kPlainInit);

    EmuDescBuilder b;
    PlainShape s = {kVolt, 7, false, kVolt, 7, false, kVolt, 7, false, FLAGS_BITS};
    const char *n = def->name;
    if (!strcmp(n, "plain") || !strcmp(n, "upsa") || !strcmp(n, "upsb")) {
        build_plain(b, s);
    } else if (!strcmp(n, "multi")) {
        build_multi(b);
    } else if (!strcmp(n, "centivolts")) {
        s.in_exp = 5; s.battery_volt = true;
        build_plain(b, s);
    } else if (!strcmp(n, "manyvolts")) {
        build_manyvolts(b);
        snprintf(p->init, sizeof(p->init), "%s voltage.outlet=230 voltage.summary=27", kPlainInit);
    } else if (!strcmp(n, "ranged")) {
        build_ranged(b);
        snprintf(p->init, sizeof(p->init), "%s fullcharge=100 batterypresent=1", kPlainInit);
    } else if (!strcmp(n, "minimal")) {
        build_minimal(b);
    } else if (!strcmp(n, "batteryonly")) {
        build_batteryonly(b);
        snprintf(p->init, sizeof(p->init), "%s batterypresent=1", kPlainInit);
    } else if (!strcmp(n, "other")) {
        build_other(b);
        wcscpy(p->manufacturer, L"Tessaly Devices");
        p->init[0] = 0;
    } else if (!strcmp(n, "flags8")) {
        s.flags = FLAGS_BYTES;
        build_plain(b, s);
    } else if (!strcmp(n, "flagsboth")) {
        s.flags = FLAGS_BOTH;
        build_plain(b, s);
    } else if (!strcmp(n, "tenthsbattery")) {
        s.summary_volt = true; s.sum_exp = 6;
        build_plain(b, s);
    } else if (!strcmp(n, "tenthsinput")) {
        s.in_exp = 6; s.output = true; s.out_exp = 6;
        build_plain(b, s);
    } else if (!strcmp(n, "nounit")) {
        s.in_unit = 0; s.in_exp = 0; s.output = true; s.out_unit = 0; s.out_exp = 0;
        s.summary_volt = true; s.sum_unit = 0; s.sum_exp = 0;
        build_plain(b, s);
    }
    if (b.overflow) return fail("descriptor of '%s' too long", n);
    memcpy(p->desc, b.bytes, b.len);
    p->desc_len = b.len;
    return true;
}

bool emu_profile_from_file(const char *path, EmuProfile *p)
{
    FILE *f = fopen(path, "rb");
    if (!f) return fail("cannot open %s", path);
    memset(p, 0, sizeof(*p));
    p->desc_len = fread(p->desc, 1, sizeof(p->desc), f);
    fclose(f);
    if (!p->desc_len) return fail("%s is empty", path);
    EmuLayout *l = (EmuLayout *)malloc(sizeof(EmuLayout));
    bool ok = emu_parse_descriptor(p->desc, p->desc_len, l);
    free(l);
    if (!ok) return false;
    snprintf(p->name, sizeof(p->name), "file");
    p->vid = 0x1209;
    p->pid = 0xC0F0;
    p->version = 0x0100;
    wcscpy(p->manufacturer, L"Quillfen Labs");
    wcscpy(p->product, L"Emulated UPS (descriptor file)");
    return true;
}

static bool parse_u32(const char *s, uint32_t *out)
{
    char *end;
    unsigned long v = strtoul(s, &end, 0);
    if (!*s || *end) return false;
    *out = (uint32_t)v;
    return true;
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A device string from UTF-8 with C escapes (\r \n \t \0 \\ \xHH
// \uHHHH), so that a one-line command can name a device with control
// characters or a NUL inside. The array is zeroed first: the string's length
// is up to its last nonzero unit.
static bool decode_string(const char *value, wchar_t *dst, const char *key)
{
    char utf8[EMU_MAX_STRING * 4];
    wchar_t *out = dst;
    size_t used = 0;
    memset(dst, 0, EMU_MAX_STRING * sizeof(wchar_t));
    auto flush = [&]() -> bool {
        if (!used) return true;
        int room = (int)(EMU_MAX_STRING - 1 - (out - dst));
        int n = room > 0 ? MultiByteToWideChar(CP_UTF8, 0, utf8, (int)used, out, room) : 0;
        used = 0;
        if (!n) return false;
        out += n;
        return true;
    };
    for (const char *c = value; *c; c++) {
        if (*c != '\\') {
            if (used >= sizeof(utf8)) return fail("%s too long", key);
            utf8[used++] = *c;
            continue;
        }
        if (!flush()) return fail("%s too long", key);
        char e = *++c;
        unsigned unit = 0;
        int digits = e == 'x' ? 2 : e == 'u' ? 4 : 0;
        if (digits) {
            for (int i = 0; i < digits; i++) {
                int d = hex_digit(c[1]);
                if (d < 0) return fail("bad escape in %s", key);
                unit = unit << 4 | (unsigned)d;
                c++;
            }
        } else if (e == 'r') unit = '\r';
        else if (e == 'n') unit = '\n';
        else if (e == 't') unit = '\t';
        else if (e == '0') unit = 0;
        else if (e == '\\') unit = '\\';
        else return fail("bad escape in %s", key);
        if (out - dst >= EMU_MAX_STRING - 1) return fail("%s too long", key);
        *out++ = (wchar_t)unit;
    }
    if (!flush()) return fail("%s too long", key);
    return true;
}

// Units up to the last nonzero one: a device string may hold a NUL.
static size_t string_units(const wchar_t *s)
{
    size_t n = EMU_MAX_STRING;
    while (n > 0 && s[n - 1] == 0) n--;
    return n;
}

bool emu_profile_option(EmuProfile *p, const char *key, const char *value)
{
    uint32_t v;
    if (!strcmp(key, "product") || !strcmp(key, "manufacturer") || !strcmp(key, "serial")) {
        wchar_t *dst = !strcmp(key, "product") ? p->product : !strcmp(key, "manufacturer") ? p->manufacturer : p->serial;
        return decode_string(value, dst, key);
    }
    if (!strcmp(key, "strings")) {
        if (strcmp(value, "terminated") && strcmp(value, "unterminated")) return fail("bad strings '%s'", value);
        p->unterminated_strings = !strcmp(value, "unterminated");
        return true;
    }
    if (!strcmp(key, "vid") || !strcmp(key, "pid") || !strcmp(key, "version")) {
        if (!parse_u32(value, &v) || v > 0xffff) return fail("bad %s '%s'", key, value);
        (!strcmp(key, "vid") ? p->vid : !strcmp(key, "pid") ? p->pid : p->version) = (uint16_t)v;
        return true;
    }
    return fail("unknown option '%s'", key);
}

// ---------------------------------------------------------------------------
// Slots and registry

static bool slot_ok(int slot)
{
    if (slot < 0 || slot >= EMU_MAX_SLOTS) return fail("slot %d out of range 0..%d", slot, EMU_MAX_SLOTS - 1);
    return true;
}

bool emu_instance_id(int slot, wchar_t *buf, size_t chars)
{
    if (!slot_ok(slot)) return false;
    wchar_t name[16];
    swprintf(name, 16, L"%d", slot);
    DWORD size = (DWORD)(chars * sizeof(wchar_t)), type = 0;
    LONG rc = RegGetValueW(HKEY_LOCAL_MACHINE, kSlotsKey, name, RRF_RT_REG_SZ, &type, buf, &size);
    if (rc != ERROR_SUCCESS) return fail("slot %d is empty", slot);
    return true;
}

// The device's hardware key (what SetupDiOpenDevRegKey(DIREG_DEV) returns
// and the driver opens with PLUGPLAY_REGKEY_DEVICE).
static HKEY open_state_key(int slot)
{
    wchar_t inst[256], path[400];
    if (!emu_instance_id(slot, inst, 256)) return NULL;
    swprintf(path, 400, L"System\\CurrentControlSet\\Enum\\%ls\\Device Parameters", inst);
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) return key;

    HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
    SP_DEVINFO_DATA dev = {}; dev.cbSize = sizeof(dev);
    key = NULL;
    if (set != INVALID_HANDLE_VALUE && SetupDiOpenDeviceInfoW(set, inst, NULL, 0, &dev)) {
        key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
        if (key == INVALID_HANDLE_VALUE) key = NULL;
    }
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    if (!key) fail("slot %d: no device key", slot);
    return key;
}

static bool reg_dword(HKEY key, const wchar_t *name, uint32_t v)
{
    LONG rc = RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&v, sizeof(v));
    return rc == ERROR_SUCCESS ? true : fail("RegSetValueEx failed: %ld", rc);
}

static bool slot_dword(int slot, const wchar_t *name, uint32_t v)
{
    HKEY key = open_state_key(slot);
    if (!key) return false;
    bool ok = reg_dword(key, name, v);
    RegCloseKey(key);
    return ok;
}

static bool exe_dir(wchar_t *buf, size_t chars)
{
    DWORD n = GetModuleFileNameW(NULL, buf, (DWORD)chars);
    if (!n || n >= chars) return false;
    wchar_t *slash = wcsrchr(buf, L'\\');
    if (slash) *slash = 0;
    return true;
}

static void driver_store(wchar_t *buf, size_t chars)
{
    wchar_t win[MAX_PATH];
    GetWindowsDirectoryW(win, MAX_PATH);
    swprintf(buf, chars, L"%ls\\corvane_emu", win);
}

bool emu_install_driver(const wchar_t *dir)
{
    wchar_t src[MAX_PATH], store[MAX_PATH], from[MAX_PATH], to[MAX_PATH];
    if (dir && *dir) {
        wcsncpy(src, dir, MAX_PATH - 1);
        src[MAX_PATH - 1] = 0;
    } else if (!GetEnvironmentVariableW(L"CORVANE_EMU_DIR", src, MAX_PATH) && !exe_dir(src, MAX_PATH)) {
        return fail("no driver directory");
    }
    driver_store(store, MAX_PATH);
    CreateDirectoryW(store, NULL);
    static const wchar_t *files[] = {L"corvane_emu.inf", L"corvane_emu.sys"};
    for (const wchar_t *f : files) {
        swprintf(from, MAX_PATH, L"%ls\\%ls", src, f);
        swprintf(to, MAX_PATH, L"%ls\\%ls", store, f);
        if (!CopyFileW(from, to, FALSE)) return fail("cannot copy %ls to %ls: error %lu", from, to, GetLastError());
    }
    return true;
}

bool emu_driver_installed()
{
    wchar_t store[MAX_PATH], inf[MAX_PATH];
    driver_store(store, MAX_PATH);
    swprintf(inf, MAX_PATH, L"%ls\\corvane_emu.inf", store);
    return GetFileAttributesW(inf) != INVALID_FILE_ATTRIBUTES;
}

static bool write_device_state(HKEY key, const EmuProfile *p, int slot)
{
    wchar_t serial[EMU_MAX_STRING] = {};
    if (string_units(p->serial)) memcpy(serial, p->serial, sizeof(serial));
    else swprintf(serial, EMU_MAX_STRING, L"CVEMU-%04d", slot);
    EmuLayout *l = (EmuLayout *)malloc(sizeof(EmuLayout));
    bool ok = emu_parse_descriptor(p->desc, p->desc_len, l);
    if (ok) {
        RegSetValueExW(key, L"ReportDescriptor", 0, REG_BINARY, p->desc, (DWORD)p->desc_len);
        reg_dword(key, L"VendorId", p->vid);
        reg_dword(key, L"ProductId", p->pid);
        reg_dword(key, L"VersionNumber", p->version);
        const wchar_t *names[] = {L"Manufacturer", L"Product", L"Serial"};
        const wchar_t *values[] = {p->manufacturer, p->product, serial};
        for (int i = 0; i < 3; i++)
            RegSetValueExW(key, names[i], 0, REG_SZ, (const BYTE *)values[i],
                           (DWORD)((string_units(values[i]) + 1) * sizeof(wchar_t)));
        reg_dword(key, L"FailAll", 0);
        reg_dword(key, L"FailReport", 0);
        reg_dword(key, L"FailStatus", 0);
        reg_dword(key, L"DelayMs", 0);
        reg_dword(key, L"UnterminatedStrings", p->unterminated_strings ? 1 : 0);
        reg_dword(key, L"RequestCount", 0);
        uint64_t ring[EMU_TIME_RING] = {};
        RegSetValueExW(key, L"RequestTimes", 0, REG_BINARY, (const BYTE *)ring, sizeof(ring));
        for (int i = 0; i < l->nreports; i++) {
            const EmuReportLayout &r = l->reports[i];
            if (r.kind == 'O') continue;
            uint8_t buf[EMU_MAX_REPORT_BYTES] = {};
            buf[0] = r.id;
            wchar_t name[32];
            swprintf(name, 32, L"%ls%u", r.kind == 'F' ? L"Feature" : L"Input", r.id);
            RegSetValueExW(key, name, 0, REG_BINARY, buf, r.length);
        }
    }
    free(l);
    return ok;
}

// hidclass creates the HID child and its interface after the root device has
// started, a little after the installer returns. Callers expect a device they
// added to be there (and one they removed to be gone), so wait for it.
static bool hid_interface_present(const wchar_t *inst)
{
    // ROOT\VID_1209&PID_C001\0003 -> hid#vid_1209&pid_c001#0003#
    wchar_t want[256];
    const wchar_t *dev = wcschr(inst, L'\\');
    if (!dev) return false;
    swprintf(want, 256, L"hid#%ls#", dev + 1);
    wchar_t *sep = wcschr(want + 4, L'\\');
    if (sep) *sep = L'#';
    for (wchar_t *c = want; *c; c++) *c = towlower(*c);

    static const GUID hid_guid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    HDEVINFO set = SetupDiGetClassDevsW(&hid_guid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    union { SP_DEVICE_INTERFACE_DETAIL_DATA_W d; BYTE b[1024]; } detail;
    for (DWORD i = 0; !found && SetupDiEnumDeviceInterfaces(set, NULL, &hid_guid, i, &iface); i++) {
        detail.d.cbSize = sizeof(detail.d);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, &detail.d, sizeof(detail), NULL, NULL)) continue;
        wchar_t *path = detail.d.DevicePath;
        for (wchar_t *c = path; *c; c++) *c = towlower(*c);
        if (wcsstr(path, want)) found = true;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

static bool wait_interface(const wchar_t *inst, bool present, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (hid_interface_present(inst) == present) return true;
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(2);
    }
}

static bool remove_instance(const wchar_t *inst)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList failed");
    SP_DEVINFO_DATA dev = {}; dev.cbSize = sizeof(dev);
    bool ok = true;
    if (SetupDiOpenDeviceInfoW(set, inst, NULL, 0, &dev)) {
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &dev))
            ok = fail("DIF_REMOVE failed: error %lu", GetLastError());
        else if (!wait_interface(inst, false, 5000))
            ok = fail("the HID interface of %ls did not go away", inst);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

bool emu_exists(int slot)
{
    wchar_t inst[256];
    if (!emu_instance_id(slot, inst, 256)) return false;
    HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
    SP_DEVINFO_DATA dev = {}; dev.cbSize = sizeof(dev);
    bool ok = set != INVALID_HANDLE_VALUE && SetupDiOpenDeviceInfoW(set, inst, NULL, 0, &dev);
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    return ok;
}

bool emu_remove(int slot)
{
    wchar_t inst[256], name[16];
    if (!emu_instance_id(slot, inst, 256)) return false;
    if (!remove_instance(inst)) return false;
    swprintf(name, 16, L"%d", slot);
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSlotsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
    return true;
}

static bool set_internal(int slot, const char *assignments, bool ignore_missing);

bool emu_add(int slot, const EmuProfile *p)
{
    if (!slot_ok(slot)) return false;
    if (!emu_driver_installed()) return fail("driver not installed (run install-driver)");
    wchar_t old[256];
    if (emu_instance_id(slot, old, 256)) emu_remove(slot);

    wchar_t inst[256], hwid[64], inf[MAX_PATH], store[MAX_PATH], name[16];
    swprintf(inst, 256, L"ROOT\\VID_%04X&PID_%04X\\%04d", p->vid, p->pid, slot);
    swprintf(hwid, 64, L"CORVANE_EMU\\SLOT%02d", slot);
    hwid[wcslen(hwid) + 1] = 0;  // REG_MULTI_SZ
    driver_store(store, MAX_PATH);
    swprintf(inf, MAX_PATH, L"%ls\\corvane_emu.inf", store);
    remove_instance(inst);  // a leftover from an interrupted run

    HDEVINFO set = SetupDiCreateDeviceInfoList(&kHidClassGuid, NULL);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList failed");
    SP_DEVINFO_DATA dev = {}; dev.cbSize = sizeof(dev);
    bool ok = false;
    if (!SetupDiCreateDeviceInfoW(set, inst, &kHidClassGuid, NULL, NULL, 0, &dev)) {
        fail("SetupDiCreateDeviceInfo(%ls) failed: error %lu", inst, GetLastError());
    } else if (!SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, (const BYTE *)hwid,
                                                  (DWORD)((wcslen(hwid) + 2) * sizeof(wchar_t)))) {
        fail("setting the hardware id failed: error %lu", GetLastError());
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev)) {
        fail("DIF_REGISTERDEVICE failed: error %lu", GetLastError());
    } else {
        HKEY key = SetupDiCreateDevRegKeyW(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
        if (key == INVALID_HANDLE_VALUE) {
            fail("SetupDiCreateDevRegKey failed: error %lu", GetLastError());
        } else {
            ok = write_device_state(key, p, slot);
            RegCloseKey(key);
        }
    }
    if (ok) {
        HKEY slots;
        swprintf(name, 16, L"%d", slot);
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSlotsKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &slots, NULL);
        RegSetValueExW(slots, name, 0, REG_SZ, (const BYTE *)inst, (DWORD)((wcslen(inst) + 1) * sizeof(wchar_t)));
        RegCloseKey(slots);
        if (p->init[0] && !set_internal(slot, p->init, true)) ok = false;
    }
    if (ok) {
        BOOL reboot = FALSE;
        if (!UpdateDriverForPlugAndPlayDevicesW(NULL, hwid, inf, INSTALLFLAG_FORCE, &reboot))
            ok = fail("UpdateDriverForPlugAndPlayDevices failed: error %lu", GetLastError());
        else if (!wait_interface(inst, true, 5000))
            ok = fail("no HID interface appeared for %ls", inst);
    }
    if (!ok) {
        char saved[sizeof(g_error)];
        memcpy(saved, g_error, sizeof(saved));
        SetupDiCallClassInstaller(DIF_REMOVE, set, &dev);
        emu_remove(slot);
        memcpy(g_error, saved, sizeof(saved));
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

bool emu_add_profile(int slot, const char *profile_name)
{
    EmuProfile *p = (EmuProfile *)malloc(sizeof(EmuProfile));
    bool ok = emu_profile_get(profile_name, p) && emu_add(slot, p);
    free(p);
    return ok;
}

// ---------------------------------------------------------------------------
// Field access

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

static bool session_close(Session *s)
{
    bool ok = true;
    for (int i = 0; i < s->nreports; i++) {
        ReportCache *r = &s->reports[i];
        if (!r->dirty) continue;
        wchar_t name[32];
        swprintf(name, 32, L"%ls%u", r->kind == 'F' ? L"Feature" : L"Input", r->id);
        if (RegSetValueExW(s->key, name, 0, REG_BINARY, r->bytes, r->len) != ERROR_SUCCESS) ok = fail("write failed");
    }
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

static bool set_internal(int slot, const char *assignments, bool ignore_missing)
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
    swprintf(name, 32, L"%ls%u", kind == 'I' ? L"Input" : L"Feature", id);
}

bool emu_set_report(int slot, char kind, uint8_t id, const uint8_t *bytes, size_t len)
{
    if (!len || bytes[0] != id) return fail("report bytes must start with the report id %u", id);
    HKEY key = open_state_key(slot);
    if (!key) return false;
    wchar_t name[32];
    report_name(kind, id, name);
    LONG rc = RegSetValueExW(key, name, 0, REG_BINARY, bytes, (DWORD)len);
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
    if (rc != ERROR_SUCCESS) return fail("no %s report %u", kind == 'I' ? "input" : "feature", id);
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

uint64_t emu_now_ms()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime) / 10000;
}
