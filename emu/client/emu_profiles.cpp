// The built-in emulated devices, and the options that change a profile
// before it is added. A new profile is a builder function here and a line
// in kProfiles.
#ifndef UNICODE
#define UNICODE
#endif
#include "emu_client.h"
#include "emu_internal.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

using namespace emu_internal;

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

// What a UPS sends on its interrupt endpoint: the copies, under the same
// report ids, of its PresentStatus report and, where the model has them, of
// its charge and runtime. They come last in the descriptor so that the
// feature fields keep their order (and their "#k" numbers).
static void status_inputs(EmuDescBuilder &b, bool charge_runtime, void (*status)(EmuDescBuilder &, char),
                          uint8_t status_id)
{
    b.page(0x84); b.usage(0x24); b.collection(0);            // PowerSummary
      if (charge_runtime) {
        b.report_id(1);
        b.value('I', 0x85, 0x66, 8, 0, 100);
        b.value('I', 0x85, 0x68, 32, 0, 0x7fffffff, kSecond);
      }
      b.page(0x84); b.usage(0x02); b.collection(2);          // PresentStatus
        b.report_id(status_id);
        status(b, 'I');
      b.end();
    b.end();
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
        b.report_id(8);                                       // the output's delays, s; -1: none
        b.value('F', 0x84, 0x57, 16, -1, 32767, kSecond);    // DelayBeforeShutdown
        b.value('F', 0x84, 0x56, 16, -1, 32767, kSecond);    // DelayBeforeStartup
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
      if (s.flags != FLAGS_BYTES) status_inputs(b, true, status_bits, 2);
      if (s.flags != FLAGS_BITS) status_inputs(b, s.flags == FLAGS_BYTES, status_bytes, 7);
    b.end();
}

static const char kPlainInit[] =
    "charge=100 runtime=3900 load=25 power=1500 voltage.input=230 voltage.output=230 "
    "voltage.summary=27 voltage.battery=27 ac=1 charging=0 discharging=0 shutdown=0 "
    "belowlimit=0 replace=0 overload=0 delayshutdown=-1 delaystartup=-1";

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
        b.report_id(7);                                       // DelayBeforeShutdown, at most 255 s
        b.value('F', 0x84, 0x57, 8, 0, 255, kSecond);
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
      status_inputs(b, false, status_bits, 2);
    b.end();
}

static void ranged_status(EmuDescBuilder &b, char kind)
{
    b.size(1); b.logical(0, 1); b.unit(0); b.unit_exp(0);
    // ACPresent, BatteryPresent, PowerFail, AlarmInhibited as one range.
    b.page(0x85); b.usage_range(0xD0, 0xD3); b.count(4); b.main(kind, 0x02);
    b.usage(0x44); b.usage(0x45); b.usage(0x42); b.usage(0x4B); b.count(4); b.main(kind, 0x02);
    b.page(0x84); b.usage(0x69); b.usage(0x65); b.count(2); b.main(kind, 0x02);
    b.pad(kind, 6);
}

static void discharging_status(EmuDescBuilder &b, char kind)
{
    b.value(kind, 0x85, 0x45, 1, 0, 1);
    b.pad(kind, 7);
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
          ranged_status(b, 'F');
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
      status_inputs(b, false, ranged_status, 2);
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
          discharging_status(b, 'F');
        b.end();
      b.end();
      commlost_input(b, 3);
      status_inputs(b, false, discharging_status, 2);
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
    {"plain", "UPS: every monitored usage once; summary{charge,runtime,power}, present status bits, input voltage (V), output load; DelayBeforeShutdown/Startup in s", 0xC001, L"Emulated UPS 1500"},
    {"multi", "usages repeated in PowerSummary and Battery; ACPresent in PresentStatus and ChangedStatus; Input and Output share report 6; DelayBeforeShutdown 0..255, counted in minutes", 0xC002, L"Emulated UPS Multi"},
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
        snprintf(p->init, sizeof(p->init), "%s delayshutdown=0", kPlainInit);
        p->off_delay_minutes = true;
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
    // Checked when the device is added, unless check=no says otherwise.
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

bool emu_profile_option(EmuProfile *p, const char *key, const char *value)
{
    uint32_t v;
    if (!strcmp(key, "product") || !strcmp(key, "manufacturer") || !strcmp(key, "serial")) {
        wchar_t *dst = !strcmp(key, "product") ? p->product : !strcmp(key, "manufacturer") ? p->manufacturer : p->serial;
        return decode_string(value, dst, key);
    }
    if (!strcmp(key, "check")) {
        if (strcmp(value, "yes") && strcmp(value, "no")) return fail("bad check '%s'", value);
        p->unchecked = !strcmp(value, "no");
        return true;
    }
    if (!strcmp(key, "inputs")) {
        if (strcmp(value, "none") && strcmp(value, "yes")) return fail("bad inputs '%s'", value);
        if (!strcmp(value, "none")) p->desc_len = emu_strip_inputs(p->desc, p->desc_len);
        return true;
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
