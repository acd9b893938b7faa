// Client for the Corvane emulated UPS (Windows side, runs under Wine).
//
// The emulated devices are served by corvane_emu.sys through Wine's own
// hidclass. Each device lives in a numbered slot (0..EMU_MAX_SLOTS-1) and its
// whole state -- report descriptor, strings, raw report bytes, failure and
// delay controls, request log -- sits in the device's hardware registry key,
// which the driver re-reads on every request. This library writes that key,
// installs and removes devices, and knows the built-in device profiles.
//
// Plain C-style API: functions return true on success; on failure
// emu_last_error() describes what went wrong.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    EMU_MAX_SLOTS = 32,
    EMU_MAX_DESC = 4096,
    EMU_MAX_FIELDS = 256,
    EMU_MAX_REPORTS = 64,
    EMU_MAX_REPORT_BYTES = 512,
    EMU_MAX_STRING = 256,
    EMU_TIME_RING = 64,
};

// One control of a report, as the descriptor declares it.
struct EmuField {
    char name[64];          // "charge.summary", "ac.summary.present", "voltage.input"
    char kind;              // 'I' input, 'O' output, 'F' feature
    uint8_t report_id;
    uint16_t bit_offset;    // from the start of the report buffer, id byte included
    uint16_t bit_size;
    uint16_t usage_page;
    uint16_t usage;
    int32_t logical_min;
    int32_t logical_max;
    uint32_t unit;
    int8_t unit_exp;        // already sign-extended from its 4-bit form
    double scale;           // raw = value * scale (10 for tenths of a volt)
    int link_collection;    // 0 = top level, then 1.. in descriptor order
};

struct EmuReportLayout {
    char kind;
    uint8_t id;
    uint16_t length;        // bytes, id byte included
};

struct EmuLayout {
    EmuField fields[EMU_MAX_FIELDS];
    int nfields;
    EmuReportLayout reports[EMU_MAX_REPORTS];
    int nreports;
    int ncollections;
    uint16_t top_page, top_usage;
};

// Parses a report descriptor into fields and report lengths.
bool emu_parse_descriptor(const uint8_t *desc, size_t len, EmuLayout *out);
// Drops every Input main item from a descriptor in place (a UPS that sends
// no input reports); returns the new length.
size_t emu_strip_inputs(uint8_t *desc, size_t len);

// Small report-descriptor writer. Globals (report id, size, count, logical
// range, unit, exponent) stay set as in the descriptor itself; value() sets
// them all for one field. layout() parses what was written.
struct EmuDescBuilder {
    uint8_t bytes[EMU_MAX_DESC];
    size_t len;
    bool overflow;

    EmuDescBuilder() : len(0), overflow(false) {}
    void raw(uint8_t b);
    void item(uint8_t tag_type, uint32_t value, int size);  // size 0/1/2/4
    void item_signed(uint8_t tag_type, int32_t value);      // shortest signed form
    void page(uint16_t p);
    void usage(uint16_t u);
    void usage_ext(uint16_t p, uint16_t u);                 // 4-byte usage with page
    void usage_range(uint16_t min, uint16_t max);
    void collection(uint8_t type);                          // 0 physical, 1 application, 2 logical
    void end();
    void report_id(uint8_t id);
    void size(uint32_t bits);
    void count(uint32_t n);
    void logical(int32_t min, int32_t max);
    void unit(uint32_t u);                                  // always the 4-byte form
    void unit_exp(int e);
    void main(char kind, uint8_t flags);                    // 0x02 data,var,abs; 0x03 const
    void pad(char kind, uint32_t bits);
    void value(char kind, uint16_t p, uint16_t u, uint32_t bits, int32_t lmin, int32_t lmax,
               uint32_t unit_code = 0, int exp = 0);
    bool layout(EmuLayout *out) const;
};

struct EmuProfile {
    char name[32];
    uint16_t vid, pid, version;
    wchar_t manufacturer[EMU_MAX_STRING];
    wchar_t product[EMU_MAX_STRING];
    wchar_t serial[EMU_MAX_STRING];   // empty: "CVEMU-<slot>" is used
    uint8_t desc[EMU_MAX_DESC];
    size_t desc_len;
    char init[1024];                  // starting state, "name=value ..." (missing names ignored)
    bool unterminated_strings;        // strings fill a short reader's buffer with no terminator
    bool unchecked;                   // served even when the client's parser refuses the descriptor
    bool off_delay_minutes;           // counts DelayBeforeShutdown in whole minutes, rounding down
};

// Built-in profiles.
int emu_profile_count();
const char *emu_profile_name(int i);
const char *emu_profile_summary(int i);
bool emu_profile_get(const char *name, EmuProfile *out);
// A profile from a binary report descriptor file (all reports start zeroed).
bool emu_profile_from_file(const char *path, EmuProfile *out);
// Applies "product=.. manufacturer=.. serial=.. vid=.. pid=.. strings=..
// check=.. inputs=.." overrides. The names are UTF-8 with the escapes \r \n \t \0,
// \\, \xHH and \uHHHH; strings=unterminated serves a string too long for the
// reader's buffer as that buffer full, with no terminator, as some devices do
// (strings=terminated, the default: cut to fit and terminated). check=no adds
// a device whose descriptor the client's parser refuses (a malformed one for
// Wine's parser to meet); its reports then start out missing. inputs=none
// takes the Input items out of the descriptor: a UPS without input reports.
bool emu_profile_option(EmuProfile *p, const char *key, const char *value);

// Driver and devices.
// Copies corvane_emu.inf/.sys from dir (NULL: %CORVANE_EMU_DIR%, else the
// running program's directory) into %WINDIR%\corvane_emu for later adds.
bool emu_install_driver(const wchar_t *dir);
bool emu_driver_installed();
bool emu_add(int slot, const EmuProfile *profile);      // replaces a device already in the slot
bool emu_add_profile(int slot, const char *profile_name);
bool emu_remove(int slot);
bool emu_exists(int slot);
bool emu_instance_id(int slot, wchar_t *buf, size_t chars);

// State.
bool emu_layout(int slot, EmuLayout *out);
// "charge=50 ac=0 voltage.input=231.5 voltage#2=#2300": name[.qualifier...][#k]=value;
// a value starting with '#' is raw. Every field matching the name is set.
bool emu_set(int slot, const char *assignments);
bool emu_set_field(int slot, const char *name, double value);
bool emu_get_field(int slot, const char *name, double *value);
bool emu_get_raw(int slot, const char *name, int64_t *raw);
// Raw report bytes; bytes[0] is the report id. kind 'F' or 'I', or 'S' for
// the last feature report a host sent with that id (read only).
bool emu_set_report(int slot, char kind, uint8_t id, const uint8_t *bytes, size_t len);
bool emu_get_report(int slot, char kind, uint8_t id, uint8_t *bytes, size_t cap, size_t *len);
bool emu_poke(int slot, char kind, uint8_t id, size_t offset, const uint8_t *bytes, size_t len);

// Faults and timing (all re-read by the driver on every request).
// fail_all and fail_report replace each other.
bool emu_fail_all(int slot, bool on);                 // every GET_FEATURE fails: error 1167
bool emu_fail_report(int slot, int report_id);        // only that id fails; 0: none
bool emu_fail_none(int slot);
bool emu_fail_status(int slot, uint32_t ntstatus);    // 0: STATUS_DEVICE_NOT_CONNECTED
bool emu_set_delay(int slot, uint32_t ms);
// An input report every 10 ms, each unlike the one before (a UPS that
// floods its host); off: input reports only when their bytes change.
bool emu_input_flood(int slot, bool on);

// The UPS's output, as the driver models it from DelayBeforeShutdown.
struct EmuOutput {
    bool on;
    uint32_t offs;          // times it went off
    uint32_t sets;          // feature and output reports a host sent, of any id
    uint32_t writes;        // delays written by a host
    int32_t last;           // the last one, raw
    int64_t left_ms;        // until the output goes off; -1 while nothing counts down
};
bool emu_output(int slot, EmuOutput *out);

// Request log. Times are ms since 1601 (emu_now_ms() is the same clock).
bool emu_request_count(int slot, uint32_t *count);
int emu_request_times(int slot, uint64_t *times, int max);   // oldest first; -1 on error
bool emu_reset_log(int slot);
uint64_t emu_now_ms();

const char *emu_last_error();

// Runs one emuctl-style command line; writes one answer line ("ok ..." or
// "error ...") without a newline. Returns true for ok.
bool emu_command(const char *line, char *answer, size_t cap);
