// Installing the emulator's driver into a prefix, and the slots: adding a
// device (its state written, the driver bound, its HID interface waited
// for), removing it, and finding a slot's device and its registry key.
#ifndef UNICODE
#define UNICODE
#endif
#include "emu_client.h"
#include "emu_internal.h"

#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

using namespace emu_internal;

static const GUID kHidClassGuid = {0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};
static const wchar_t kSlotsKey[] = L"Software\\Corvane\\EmuSlots";

bool emu_internal::slot_ok(int slot)
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
HKEY emu_internal::open_state_key(int slot)
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

bool emu_internal::reg_dword(HKEY key, const wchar_t *name, uint32_t v)
{
    LONG rc = RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&v, sizeof(v));
    return rc == ERROR_SUCCESS ? true : fail("RegSetValueEx failed: %ld", rc);
}

bool emu_internal::slot_dword(int slot, const wchar_t *name, uint32_t v)
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

// Units up to the last nonzero one: a device string may hold a NUL.
static size_t string_units(const wchar_t *s)
{
    size_t n = EMU_MAX_STRING;
    while (n > 0 && s[n - 1] == 0) n--;
    return n;
}

// Where the driver finds DelayBeforeShutdown and ACPresent (the first
// feature field of each), in the layout the driver's EMU_OFF_FIELD has; and
// the output on, nothing written yet.
static void write_output_state(HKEY key, const EmuLayout *l, bool parsed, bool minutes)
{
    uint8_t field[10] = {};
    for (int i = 0; parsed && i < l->nfields; i++) {
        const EmuField &f = l->fields[i];
        if (f.kind != 'F') continue;
        if (f.usage_page == 0x84 && f.usage == 0x57 && !field[0]) {
            field[0] = f.report_id;
            field[1] = (uint8_t)((minutes ? 1 : 0) | (f.logical_min < 0 ? 2 : 0));
            memcpy(field + 2, &f.bit_offset, 2);
            memcpy(field + 4, &f.bit_size, 2);
        }
        if (f.usage_page == 0x85 && f.usage == 0xD0 && !field[6]) {
            field[6] = f.report_id;
            memcpy(field + 8, &f.bit_offset, 2);
        }
    }
    RegSetValueExW(key, L"OffDelayField", 0, REG_BINARY, field, sizeof(field));
    uint64_t end = 0;
    RegSetValueExW(key, L"OffDelayEnd", 0, REG_BINARY, (const BYTE *)&end, sizeof(end));
    reg_dword(key, L"OutputOn", 1);
    reg_dword(key, L"OutputOffs", 0);
    reg_dword(key, L"OffDelayWrites", 0);
    reg_dword(key, L"OffDelayLast", 0);
    reg_dword(key, L"SetRequests", 0);
}

static bool write_device_state(HKEY key, const EmuProfile *p, int slot)
{
    wchar_t serial[EMU_MAX_STRING] = {};
    if (string_units(p->serial)) memcpy(serial, p->serial, sizeof(serial));
    else swprintf(serial, EMU_MAX_STRING, L"CVEMU-%04d", slot);
    EmuLayout *l = (EmuLayout *)malloc(sizeof(EmuLayout));
    bool parsed = emu_parse_descriptor(p->desc, p->desc_len, l);
    bool ok = parsed || p->unchecked;
    if (!parsed) l->nreports = 0;
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
        reg_dword(key, L"InputFlood", 0);
        reg_dword(key, L"InputSerial", 0);
        reg_dword(key, L"UnterminatedStrings", p->unterminated_strings ? 1 : 0);
        reg_dword(key, L"RequestCount", 0);
        uint64_t ring[EMU_TIME_RING] = {};
        RegSetValueExW(key, L"RequestTimes", 0, REG_BINARY, (const BYTE *)ring, sizeof(ring));
        write_output_state(key, l, parsed, p->off_delay_minutes);
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
        char saved[512];
        snprintf(saved, sizeof(saved), "%s", emu_last_error());
        SetupDiCallClassInstaller(DIF_REMOVE, set, &dev);
        emu_remove(slot);
        fail("%s", saved);
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
