// hidprobe: looks at HID devices the way a Windows program does (SetupDi,
// CreateFileW with access 0, HidP_* on the preparsed data, HidD_GetFeature)
// and prints what it sees as one JSON line. Used by the emulator's tests.
//   hidprobe list
//   hidprobe get <serial> <report id>
//   hidprobe time <serial> <report id> <n>     median/min/max microseconds
//   hidprobe hammer <serial> <report id> <n> <threads>
//   hidprobe read <serial> <ms>      input reports that arrive within ms;
//                                    prints "reading" once its read is pending
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <setupapi.h>
// mingw-w64's HID headers lack C linkage guards.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <algorithm>
#include <string>
#include <vector>

static void json_str(const wchar_t *s)
{
    putchar('"');
    for (; *s; s++) {
        if (*s == '"' || *s == '\\') printf("\\%c", (char)*s);
        else if (*s < 0x20 || *s > 0x7e) printf("\\u%04x", (unsigned)*s);
        else putchar((char)*s);
    }
    putchar('"');
}


static std::vector<std::wstring> hid_paths()
{
    std::vector<std::wstring> out;
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsW(&guid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return out;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, NULL, &guid, i, &iface); i++) {
        DWORD need = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &iface, NULL, 0, &need, NULL);
        std::vector<BYTE> buf(need + 16);
        auto *detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_W *)buf.data();
        detail->cbSize = sizeof(*detail);
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, need, NULL, NULL)) out.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

static HANDLE open_path(const std::wstring &p)
{
    return CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
}

static void print_value_caps(HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA pp, USHORT n)
{
    std::vector<HIDP_VALUE_CAPS> caps(n + 1);
    USHORT got = n;
    if (n && HidP_GetValueCaps(type, caps.data(), &got, pp) != HIDP_STATUS_SUCCESS) got = 0;
    printf("[");
    for (USHORT i = 0; i < got; i++) {
        const HIDP_VALUE_CAPS &c = caps[i];
        printf("%s{\"page\":%u,\"usage\":%u,\"usage_max\":%u,\"range\":%d,\"id\":%u,\"link\":%u,\"bits\":%u,"
               "\"count\":%u,\"unit\":%lu,\"exp\":%lu,\"lmin\":%ld,\"lmax\":%ld}",
               i ? "," : "", c.UsagePage, c.IsRange ? c.Range.UsageMin : c.NotRange.Usage,
               c.IsRange ? c.Range.UsageMax : c.NotRange.Usage, c.IsRange, c.ReportID, c.LinkCollection,
               c.BitSize, c.ReportCount, c.Units, c.UnitsExp, c.LogicalMin, c.LogicalMax);
    }
    printf("]");
}

static void print_button_caps(HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA pp, USHORT n)
{
    std::vector<HIDP_BUTTON_CAPS> caps(n + 1);
    USHORT got = n;
    if (n && HidP_GetButtonCaps(type, caps.data(), &got, pp) != HIDP_STATUS_SUCCESS) got = 0;
    printf("[");
    for (USHORT i = 0; i < got; i++) {
        const HIDP_BUTTON_CAPS &c = caps[i];
        printf("%s{\"page\":%u,\"usage\":%u,\"usage_max\":%u,\"range\":%d,\"id\":%u,\"link\":%u}", i ? "," : "",
               c.UsagePage, c.IsRange ? c.Range.UsageMin : c.NotRange.Usage,
               c.IsRange ? c.Range.UsageMax : c.NotRange.Usage, c.IsRange, c.ReportID, c.LinkCollection);
    }
    printf("]");
}

static void print_string(const char *name, BOOLEAN (__stdcall *fn)(HANDLE, PVOID, ULONG), HANDLE h)
{
    wchar_t buf[1024] = {};
    printf(",\"%s\":", name);
    if (fn(h, buf, sizeof(buf) - sizeof(wchar_t))) json_str(buf);
    else printf("null");
}

static int cmd_list()
{
    printf("[");
    bool first = true;
    for (const std::wstring &p : hid_paths()) {
        printf("%s{\"path\":", first ? "" : ",");
        first = false;
        json_str(p.c_str());
        HANDLE h = open_path(p);
        if (h == INVALID_HANDLE_VALUE) {
            printf(",\"open_error\":%lu}", GetLastError());
            continue;
        }
        HIDD_ATTRIBUTES attr = {};
        attr.Size = sizeof(attr);
        HidD_GetAttributes(h, &attr);
        printf(",\"vid\":%u,\"pid\":%u,\"version\":%u", attr.VendorID, attr.ProductID, attr.VersionNumber);
        print_string("manufacturer", HidD_GetManufacturerString, h);
        print_string("product", HidD_GetProductString, h);
        print_string("serial", HidD_GetSerialNumberString, h);
        PHIDP_PREPARSED_DATA pp = NULL;
        HIDP_CAPS caps = {};
        if (HidD_GetPreparsedData(h, &pp) && HidP_GetCaps(pp, &caps) == HIDP_STATUS_SUCCESS) {
            printf(",\"usage_page\":%u,\"usage\":%u,\"input_len\":%u,\"feature_len\":%u,\"collections\":%u",
                   caps.UsagePage, caps.Usage, caps.InputReportByteLength, caps.FeatureReportByteLength,
                   caps.NumberLinkCollectionNodes);
            printf(",\"feature_values\":");
            print_value_caps(HidP_Feature, pp, caps.NumberFeatureValueCaps);
            printf(",\"feature_buttons\":");
            print_button_caps(HidP_Feature, pp, caps.NumberFeatureButtonCaps);
            printf(",\"input_values\":");
            print_value_caps(HidP_Input, pp, caps.NumberInputValueCaps);
            printf(",\"input_buttons\":");
            print_button_caps(HidP_Input, pp, caps.NumberInputButtonCaps);
            std::vector<HIDP_LINK_COLLECTION_NODE> nodes(caps.NumberLinkCollectionNodes + 1);
            ULONG nn = caps.NumberLinkCollectionNodes;
            printf(",\"nodes\":[");
            if (HidP_GetLinkCollectionNodes(nodes.data(), &nn, pp) == HIDP_STATUS_SUCCESS)
                for (ULONG i = 0; i < nn; i++)
                    printf("%s{\"page\":%u,\"usage\":%u,\"parent\":%u,\"type\":%u}", i ? "," : "",
                           nodes[i].LinkUsagePage, nodes[i].LinkUsage, nodes[i].Parent, nodes[i].CollectionType);
            printf("]");
            HidD_FreePreparsedData(pp);
        }
        CloseHandle(h);
        printf("}");
    }
    printf("]\n");
    return 0;
}

static HANDLE open_serial(const char *serial, PHIDP_PREPARSED_DATA *pp, HIDP_CAPS *caps, std::wstring *path = NULL)
{
    wchar_t want[256];
    MultiByteToWideChar(CP_UTF8, 0, serial, -1, want, 256);
    for (const std::wstring &p : hid_paths()) {
        HANDLE h = open_path(p);
        if (h == INVALID_HANDLE_VALUE) continue;
        wchar_t buf[512] = {};
        if (HidD_GetSerialNumberString(h, buf, sizeof(buf) - 2) && !wcscmp(buf, want) &&
            HidD_GetPreparsedData(h, pp) && HidP_GetCaps(*pp, caps) == HIDP_STATUS_SUCCESS) {
            if (path) *path = p;
            return h;
        }
        CloseHandle(h);
    }
    return INVALID_HANDLE_VALUE;
}

// The device's input reports as a program reading them sees them: a second
// handle opened for reading, one overlapped ReadFile pending at a time.
static int cmd_read(const char *serial, DWORD ms)
{
    PHIDP_PREPARSED_DATA pp;
    HIDP_CAPS caps;
    std::wstring path;
    HANDLE h = open_serial(serial, &pp, &caps, &path);
    if (h == INVALID_HANDLE_VALUE) {
        printf("{\"found\":false}\n");
        return 1;
    }
    HANDLE r = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, NULL);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::vector<BYTE> buf(caps.InputReportByteLength + 1);
    std::vector<std::string> reports;
    DWORD error = 0, start = GetTickCount();
    bool announced = false;
    while (r != INVALID_HANDLE_VALUE && !error) {
        ResetEvent(ov.hEvent);
        DWORD got = 0;
        if (!ReadFile(r, buf.data(), caps.InputReportByteLength, NULL, &ov) && GetLastError() != ERROR_IO_PENDING) {
            error = GetLastError();
            break;
        }
        if (!announced) {
            printf("reading\n");
            fflush(stdout);
            announced = true;
        }
        DWORD left = ms - (GetTickCount() - start);
        if ((LONG)left <= 0 || WaitForSingleObject(ov.hEvent, left) != WAIT_OBJECT_0) {
            CancelIoEx(r, &ov);
            GetOverlappedResult(r, &ov, &got, TRUE);
            break;
        }
        if (!GetOverlappedResult(r, &ov, &got, FALSE)) {
            error = GetLastError();
            break;
        }
        std::string hex;
        char two[3];
        for (DWORD i = 0; i < got; i++) hex += (snprintf(two, 3, "%02x", buf[i]), two);
        reports.push_back(hex);
    }
    printf("{\"found\":true,\"opened\":%s,\"error\":%lu,\"reports\":[", r != INVALID_HANDLE_VALUE ? "true" : "false",
           error);
    for (size_t i = 0; i < reports.size(); i++) printf("%s\"%s\"", i ? "," : "", reports[i].c_str());
    printf("]}\n");
    if (r != INVALID_HANDLE_VALUE) CloseHandle(r);
    CloseHandle(ov.hEvent);
    HidD_FreePreparsedData(pp);
    CloseHandle(h);
    return 0;
}

static int cmd_get(const char *serial, int id)
{
    PHIDP_PREPARSED_DATA pp;
    HIDP_CAPS caps;
    HANDLE h = open_serial(serial, &pp, &caps);
    if (h == INVALID_HANDLE_VALUE) {
        printf("{\"found\":false}\n");
        return 1;
    }
    std::vector<BYTE> buf(caps.FeatureReportByteLength + 1);
    buf[0] = (BYTE)id;
    DWORD t0 = GetTickCount();
    BOOL ok = HidD_GetFeature(h, buf.data(), caps.FeatureReportByteLength);
    DWORD err = ok ? 0 : GetLastError(), elapsed = GetTickCount() - t0;
    printf("{\"found\":true,\"ok\":%s,\"error\":%lu,\"ms\":%lu,\"bytes\":\"", ok ? "true" : "false", err, elapsed);
    if (ok)
        for (USHORT i = 0; i < caps.FeatureReportByteLength; i++) printf("%02x", buf[i]);
    printf("\",\"values\":[");
    if (ok) {
        // Every value the parser can read from this report, by usage.
        std::vector<HIDP_VALUE_CAPS> vc(caps.NumberFeatureValueCaps + 1);
        USHORT n = caps.NumberFeatureValueCaps;
        if (n) HidP_GetValueCaps(HidP_Feature, vc.data(), &n, pp);
        bool first = true;
        for (USHORT i = 0; i < n; i++) {
            if (vc[i].ReportID != id) continue;
            USAGE lo = vc[i].IsRange ? vc[i].Range.UsageMin : vc[i].NotRange.Usage;
            USAGE hi = vc[i].IsRange ? vc[i].Range.UsageMax : lo;
            for (USAGE u = lo; u <= hi; u++) {
                ULONG v = 0;
                NTSTATUS st = HidP_GetUsageValue(HidP_Feature, vc[i].UsagePage, vc[i].LinkCollection, u, &v, pp,
                                                 (PCHAR)buf.data(), caps.FeatureReportByteLength);
                printf("%s{\"page\":%u,\"usage\":%u,\"link\":%u,\"status\":%ld,\"value\":%lu}", first ? "" : ",",
                       vc[i].UsagePage, u, vc[i].LinkCollection, (long)st, v);
                first = false;
            }
        }
        printf("],\"buttons\":[");
        // Pressed flags per page, across all link collections.
        first = true;
        USHORT pages[2] = {0x84, 0x85};
        for (USHORT page : pages) {
            USAGE usages[64];
            ULONG nu = 64;
            if (HidP_GetUsages(HidP_Feature, page, 0, usages, &nu, pp, (PCHAR)buf.data(), caps.FeatureReportByteLength) ==
                HIDP_STATUS_SUCCESS)
                for (ULONG i = 0; i < nu; i++) {
                    printf("%s{\"page\":%u,\"usage\":%u}", first ? "" : ",", page, usages[i]);
                    first = false;
                }
        }
    } else {
        printf("],\"buttons\":[");
    }
    printf("]}\n");
    HidD_FreePreparsedData(pp);
    CloseHandle(h);
    return 0;
}

static int cmd_time(const char *serial, int id, int n)
{
    PHIDP_PREPARSED_DATA pp;
    HIDP_CAPS caps;
    HANDLE h = open_serial(serial, &pp, &caps);
    if (h == INVALID_HANDLE_VALUE) {
        printf("{\"found\":false}\n");
        return 1;
    }
    std::vector<BYTE> buf(caps.FeatureReportByteLength + 1);
    std::vector<double> us;
    LARGE_INTEGER f, a, b;
    QueryPerformanceFrequency(&f);
    int failures = 0;
    for (int i = 0; i < n; i++) {
        buf[0] = (BYTE)id;
        QueryPerformanceCounter(&a);
        if (!HidD_GetFeature(h, buf.data(), caps.FeatureReportByteLength)) failures++;
        QueryPerformanceCounter(&b);
        us.push_back((b.QuadPart - a.QuadPart) * 1e6 / f.QuadPart);
    }
    std::sort(us.begin(), us.end());
    printf("{\"found\":true,\"n\":%d,\"failures\":%d,\"median_us\":%.1f,\"min_us\":%.1f,\"max_us\":%.1f}\n", n,
           failures, us[us.size() / 2], us.front(), us.back());
    HidD_FreePreparsedData(pp);
    CloseHandle(h);
    return 0;
}

struct Hammer {
    HANDLE h;
    int id, n, failures;
    USHORT len;
};

static DWORD WINAPI hammer_thread(void *arg)
{
    Hammer *w = (Hammer *)arg;
    std::vector<BYTE> buf(w->len + 1);
    for (int i = 0; i < w->n; i++) {
        buf[0] = (BYTE)w->id;
        if (!HidD_GetFeature(w->h, buf.data(), w->len)) w->failures++;
    }
    return 0;
}

// Several threads asking for the same report at once.
static int cmd_hammer(const char *serial, int id, int n, int threads)
{
    PHIDP_PREPARSED_DATA pp;
    HIDP_CAPS caps;
    HANDLE h = open_serial(serial, &pp, &caps);
    if (h == INVALID_HANDLE_VALUE) {
        printf("{\"found\":false}\n");
        return 1;
    }
    std::vector<Hammer> work(threads, Hammer{h, id, n, 0, caps.FeatureReportByteLength});
    std::vector<HANDLE> th;
    for (int i = 0; i < threads; i++) th.push_back(CreateThread(NULL, 0, hammer_thread, &work[i], 0, NULL));
    WaitForMultipleObjects((DWORD)th.size(), th.data(), TRUE, INFINITE);
    int failures = 0;
    for (int i = 0; i < threads; i++) {
        failures += work[i].failures;
        CloseHandle(th[i]);
    }
    printf("{\"found\":true,\"requests\":%d,\"failures\":%d}\n", n * threads, failures);
    HidD_FreePreparsedData(pp);
    CloseHandle(h);
    return 0;
}

// Sends one feature report, given as hex with its id first, as a host
// writes a UPS setting.
static int cmd_set(const char *serial, const char *hex)
{
    PHIDP_PREPARSED_DATA pp;
    HIDP_CAPS caps;
    HANDLE h = open_serial(serial, &pp, &caps);
    if (h == INVALID_HANDLE_VALUE) {
        printf("{\"found\":false}\n");
        return 1;
    }
    std::vector<BYTE> buf(caps.FeatureReportByteLength > 0 ? caps.FeatureReportByteLength : 1);
    for (size_t i = 0; hex[2 * i] && hex[2 * i + 1] && i < buf.size(); i++) {
        unsigned byte = 0;
        sscanf(hex + 2 * i, "%2x", &byte);
        buf[i] = (BYTE)byte;
    }
    BOOL ok = HidD_SetFeature(h, buf.data(), (ULONG)buf.size());
    printf("{\"found\":true,\"ok\":%s,\"error\":%lu}\n", ok ? "true" : "false", ok ? 0 : GetLastError());
    HidD_FreePreparsedData(pp);
    CloseHandle(h);
    return ok ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc == 6 && !strcmp(argv[1], "hammer")) return cmd_hammer(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
    if (argc >= 2 && !strcmp(argv[1], "list")) return cmd_list();
    if (argc == 4 && !strcmp(argv[1], "get")) return cmd_get(argv[2], atoi(argv[3]));
    if (argc == 5 && !strcmp(argv[1], "time")) return cmd_time(argv[2], atoi(argv[3]), atoi(argv[4]));
    if (argc == 4 && !strcmp(argv[1], "read")) return cmd_read(argv[2], (DWORD)atoi(argv[3]));
    if (argc == 4 && !strcmp(argv[1], "set")) return cmd_set(argv[2], argv[3]);
    fprintf(stderr, "usage: hidprobe list | get <serial> <id> | time <serial> <id> <n> | set <serial> <hex>\n");
    return 2;
}
