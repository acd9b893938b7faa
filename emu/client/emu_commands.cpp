// Text commands for the emulated UPS: shared by emuctl (one command per
// process, or many through "serve") and by anything else that wants a
// one-line protocol.
#ifndef UNICODE
#define UNICODE
#endif
#include "emu_client.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct Answer {
    char *buf;
    size_t cap, len;
    bool cut;
    void add(const char *fmt, ...)
    {
        if (len >= cap) return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf + len, cap - len, fmt, ap);
        va_end(ap);
        if (n > 0) len += (size_t)n;
        if (len >= cap) {
            len = cap - 1;
            cut = true;
        }
    }
};

// Splits a line into words; double quotes group words ("Emulated UPS A").
int split(char *line, char **argv, int max)
{
    int argc = 0;
    char *p = line, *out = line;
    while (*p && argc < max) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
        if (!*p) break;
        argv[argc++] = out;
        bool quoted = false;
        while (*p && (quoted || (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n'))) {
            if (*p == '"') { quoted = !quoted; p++; continue; }
            *out++ = *p++;
        }
        if (*p) p++;
        *out++ = 0;
    }
    return argc;
}

bool parse_slot(const char *s, int *slot)
{
    char *end;
    long v = strtol(s, &end, 10);
    if (!*s || *end || v < 0 || v >= EMU_MAX_SLOTS) return false;
    *slot = (int)v;
    return true;
}

size_t parse_hex(int argc, char **argv, uint8_t *out, size_t cap, bool *ok)
{
    size_t n = 0;
    int nibble = -1;
    *ok = true;
    for (int i = 0; i < argc; i++)
        for (const char *c = argv[i]; *c; c++) {
            int v;
            if (*c >= '0' && *c <= '9') v = *c - '0';
            else if (*c >= 'a' && *c <= 'f') v = *c - 'a' + 10;
            else if (*c >= 'A' && *c <= 'F') v = *c - 'A' + 10;
            else if (*c == ':' || *c == '-' || *c == ',') continue;
            else { *ok = false; return 0; }
            if (nibble < 0) nibble = v;
            else {
                if (n < cap) out[n++] = (uint8_t)(nibble << 4 | v);
                nibble = -1;
            }
        }
    if (nibble >= 0) *ok = false;
    return n;
}

void join(int argc, char **argv, char *out, size_t cap)
{
    size_t len = 0;
    out[0] = 0;
    for (int i = 0; i < argc && len < cap; i++)
        len += (size_t)snprintf(out + len, cap - len, i ? " %s" : "%s", argv[i]);
}

bool apply_options(EmuProfile *p, int argc, char **argv)
{
    for (int i = 0; i < argc; i++) {
        char *eq = strchr(argv[i], '=');
        if (!eq) return false;
        *eq = 0;
        bool ok = emu_profile_option(p, argv[i], eq + 1);
        *eq = '=';
        if (!ok) return false;
    }
    return true;
}

void print_layout(Answer &a, const EmuLayout *l)
{
    a.add("top=%X:%X collections=%d fields=", l->top_page, l->top_usage, l->ncollections);
    for (int i = 0; i < l->nfields; i++) {
        const EmuField &f = l->fields[i];
        a.add("%s%s:%c:%u:%u:%u:%X:%X:%d:%g", i ? ";" : "", f.name, f.kind, f.report_id, f.bit_offset,
              f.bit_size, f.usage_page, f.usage, f.link_collection, f.scale);
    }
    a.add(" reports=");
    for (int i = 0; i < l->nreports; i++)
        a.add("%s%c%u:%u", i ? ";" : "", l->reports[i].kind, l->reports[i].id, l->reports[i].length);
}

bool run(int argc, char **argv, Answer &a)
{
    if (argc == 0) return emu_last_error(), a.add("empty command"), false;
    const char *cmd = argv[0];
    int slot = -1;
    bool has_slot = argc > 1 && parse_slot(argv[1], &slot);

    if (!strcmp(cmd, "install-driver")) {
        wchar_t dir[MAX_PATH] = L"";
        if (argc > 1) MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, dir, MAX_PATH);
        return emu_install_driver(argc > 1 ? dir : NULL);
    }
    if (!strcmp(cmd, "profiles")) {
        for (int i = 0; i < emu_profile_count(); i++) a.add("%s%s", i ? " " : "", emu_profile_name(i));
        return true;
    }
    if (!strcmp(cmd, "now")) {
        a.add("%llu", (unsigned long long)emu_now_ms());
        return true;
    }
    if (!strcmp(cmd, "list")) {
        bool first = true;
        for (int s = 0; s < EMU_MAX_SLOTS; s++) {
            wchar_t inst[256];
            if (!emu_instance_id(s, inst, 256)) continue;
            a.add("%s%d=%ls", first ? "" : " ", s, inst);
            first = false;
        }
        return true;
    }
    if (!strcmp(cmd, "profile-fields") && argc == 2) {
        EmuProfile *p = (EmuProfile *)malloc(sizeof(EmuProfile));
        EmuLayout *l = (EmuLayout *)malloc(sizeof(EmuLayout));
        bool ok = emu_profile_get(argv[1], p) && emu_parse_descriptor(p->desc, p->desc_len, l);
        if (ok) print_layout(a, l);
        free(p);
        free(l);
        return ok;
    }
    if (!strcmp(cmd, "dump") && argc == 3) {
        EmuProfile *p = (EmuProfile *)malloc(sizeof(EmuProfile));
        bool ok = emu_profile_get(argv[1], p);
        if (ok) {
            FILE *f = fopen(argv[2], "wb");
            ok = f && fwrite(p->desc, 1, p->desc_len, f) == p->desc_len;
            if (f) fclose(f);
            if (ok) a.add("%u", (unsigned)p->desc_len);
        }
        free(p);
        return ok;
    }
    if (!has_slot) return a.add("usage: %s <slot> ...", cmd), false;

    if ((!strcmp(cmd, "add") || !strcmp(cmd, "add-file")) && argc >= 3) {
        EmuProfile *p = (EmuProfile *)malloc(sizeof(EmuProfile));
        bool ok = !strcmp(cmd, "add") ? emu_profile_get(argv[2], p) : emu_profile_from_file(argv[2], p);
        if (ok && !apply_options(p, argc - 3, argv + 3)) {
            ok = false;
        }
        if (ok) ok = emu_add(slot, p);
        free(p);
        wchar_t inst[256];
        if (ok && emu_instance_id(slot, inst, 256)) a.add("%ls", inst);
        return ok;
    }
    if (!strcmp(cmd, "remove")) return emu_remove(slot);
    if (!strcmp(cmd, "exists")) {
        a.add("%d", emu_exists(slot) ? 1 : 0);
        return true;
    }
    if (!strcmp(cmd, "fields")) {
        EmuLayout *l = (EmuLayout *)malloc(sizeof(EmuLayout));
        bool ok = emu_layout(slot, l);
        if (ok) print_layout(a, l);
        free(l);
        return ok;
    }
    if (!strcmp(cmd, "set") && argc >= 3) {
        char buf[4096];
        join(argc - 2, argv + 2, buf, sizeof(buf));
        return emu_set(slot, buf);
    }
    if (!strcmp(cmd, "get") && argc == 3) {
        double v;
        int64_t raw;
        if (!emu_get_field(slot, argv[2], &v) || !emu_get_raw(slot, argv[2], &raw)) return false;
        a.add("%.10g %lld", v, (long long)raw);
        return true;
    }
    if (!strcmp(cmd, "sent") && argc == 3) {
        uint8_t buf[EMU_MAX_REPORT_BYTES];
        size_t len = 0;
        if (!emu_get_report(slot, 'S', (uint8_t)atoi(argv[2]), buf, sizeof(buf), &len)) return false;
        for (size_t i = 0; i < len; i++) a.add("%02x", buf[i]);
        return true;
    }
    if ((!strcmp(cmd, "report") || !strcmp(cmd, "input")) && argc >= 3) {
        char kind = !strcmp(cmd, "input") ? 'I' : 'F';
        int id = atoi(argv[2]);
        uint8_t buf[EMU_MAX_REPORT_BYTES];
        if (argc == 3) {
            size_t len = 0;
            if (!emu_get_report(slot, kind, (uint8_t)id, buf, sizeof(buf), &len)) return false;
            for (size_t i = 0; i < len; i++) a.add("%02x", buf[i]);
            return true;
        }
        bool ok;
        size_t n = parse_hex(argc - 3, argv + 3, buf, sizeof(buf), &ok);
        if (!ok) return a.add("bad hex"), false;
        return emu_set_report(slot, kind, (uint8_t)id, buf, n);
    }
    if (!strcmp(cmd, "poke") && argc >= 5) {
        uint8_t buf[EMU_MAX_REPORT_BYTES];
        bool ok;
        size_t n = parse_hex(argc - 4, argv + 4, buf, sizeof(buf), &ok);
        if (!ok) return a.add("bad hex"), false;
        return emu_poke(slot, 'F', (uint8_t)atoi(argv[2]), (size_t)atoi(argv[3]), buf, n);
    }
    if (!strcmp(cmd, "fail") && argc == 3) {
        const char *m = argv[2];
        if (!strcmp(m, "all")) return emu_fail_all(slot, true);
        if (!strcmp(m, "none")) return emu_fail_none(slot);
        if (!strncmp(m, "report=", 7)) return emu_fail_report(slot, atoi(m + 7));
        if (!strncmp(m, "status=", 7)) return emu_fail_status(slot, (uint32_t)strtoul(m + 7, NULL, 0));
        return a.add("fail all|none|report=N|status=NTSTATUS"), false;
    }
    if (!strcmp(cmd, "delay") && argc == 3) return emu_set_delay(slot, (uint32_t)strtoul(argv[2], NULL, 10));
    if (!strcmp(cmd, "flood") && argc == 3) {
        if (strcmp(argv[2], "on") && strcmp(argv[2], "off")) return a.add("flood on|off"), false;
        return emu_input_flood(slot, !strcmp(argv[2], "on"));
    }
    if (!strcmp(cmd, "count")) {
        uint32_t c;
        if (!emu_request_count(slot, &c)) return false;
        a.add("%u", c);
        return true;
    }
    if (!strcmp(cmd, "times")) {
        uint64_t t[EMU_TIME_RING];
        int n = emu_request_times(slot, t, EMU_TIME_RING);
        if (n < 0) return false;
        for (int i = 0; i < n; i++) a.add("%s%llu", i ? " " : "", (unsigned long long)t[i]);
        return true;
    }
    if (!strcmp(cmd, "reset-log")) return emu_reset_log(slot);
    if (!strcmp(cmd, "output")) {
        EmuOutput o;
        if (!emu_output(slot, &o)) return false;
        a.add("%s offs=%u sets=%u writes=%u last=%d left=", o.on ? "on" : "off", o.offs, o.sets, o.writes, o.last);
        if (o.left_ms < 0) a.add("-");
        else a.add("%lld", (long long)((o.left_ms + 999) / 1000));
        return true;
    }
    a.add("unknown command '%s'", cmd);
    return false;
}

}  // namespace

bool emu_command(const char *line, char *answer, size_t cap)
{
    char buf[4096];
    char *argv[64];
    snprintf(buf, sizeof(buf), "%s", line);
    int argc = split(buf, argv, 64);
    // Large enough for the fields of a device with EMU_MAX_FIELDS fields.
    static char detail[1 << 16];
    Answer a = {detail, sizeof(detail), 0, false};
    detail[0] = 0;
    bool ok = run(argc, argv, a);
    if (ok && (a.cut || a.len + 4 > cap)) return snprintf(answer, cap, "error answer too long"), false;
    if (ok) snprintf(answer, cap, a.len ? "ok %s" : "ok", detail);
    else snprintf(answer, cap, "error %s", a.len ? detail : emu_last_error());
    return ok;
}
