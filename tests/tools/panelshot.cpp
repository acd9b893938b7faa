// The panel tool: draws the status panel of a chosen state through the same
// routine the window paints with, and measures that paint. Test and demo code
// (it uses the C and C++ runtime); run under Wine:
//
//   panelshot png OUT.png [--dpi N] [--dark] [--armed] [--history SPEC] [FIELD=VALUE]...
//   panelshot bench [--dpi N] [--paints N]      median time of one full WM_PAINT
//   panelshot soak [--dpi N] [--paints N]       GDI objects and heap before and after
//
// The state starts as a UPS on line (load 37 % of 900 W, charge 100 %) and
// each FIELD=VALUE changes one thing: present ac charging imminent belowlimit
// replace overload charge runtime load voltage (tenths of a volt) power watts
// product threshold (RuntimeThresholdSeconds) chargethreshold. --history takes
// points "MINUTES_AGO:LOAD:CHARGE/..." joined by straight lines, a sample
// every 10 s, like "60:30:100/20:30:100/0:45:35".
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <algorithm>
#include <string>
#include <vector>
#include "../support/dib.h"
#include "../support/resource_count.h"
#include "../support/status_example.h"
#include "app/settings.h"
#include "monitor/shutdown.h"
#include "monitor/snapshot.h"
#include "ui/panel.h"
#include "ui/theme.h"

namespace {

const int CLIENT_WIDTH = PANEL_WIDTH;
const int CLIENT_HEIGHT = PANEL_HEIGHT;

struct Options {
    int dpi = 96;
    bool dark = false;
    bool armed = false;
    int paints = 200;
    const wchar_t* history = nullptr;
    const wchar_t* output = nullptr;
};

// The thresholds the panel is drawn with, published before the drawing.
Settings Chosen;

bool SetField(UpsStatus* status, const wchar_t* assignment)
{
    const wchar_t* equals = wcschr(assignment, L'=');
    if (!equals)
        return false;
    std::wstring name(assignment, equals);
    const wchar_t* text = equals + 1;
    if (name == L"product") {
        wcsncpy(status->Product, text, UPS_NAME_UNITS - 1);
        status->Product[UPS_NAME_UNITS - 1] = 0;
        return true;
    }
    INT32 value = (INT32)wcstol(text, nullptr, 10);
    struct Field {
        const wchar_t* name;
        INT32* target;
    };
    const Field fields[] = {
        { L"present", &status->Present },           { L"ac", &status->AcPresent },
        { L"charging", &status->Charging },         { L"imminent", &status->ShutdownImminent },
        { L"belowlimit", &status->BelowCapacityLimit }, { L"replace", &status->NeedsReplacement },
        { L"overload", &status->Overload },         { L"charge", &status->ChargePercent },
        { L"runtime", &status->RuntimeSeconds },    { L"load", &status->LoadPercent },
        { L"voltage", &status->InputVoltage },      { L"power", &status->CapacityWatts },
        { L"watts", &status->LoadWatts },           { L"threshold", &Chosen.RuntimeThresholdSeconds },
        { L"chargethreshold", &Chosen.ChargeThresholdPercent },
    };
    for (const Field& field : fields) {
        if (name == field.name) {
            *field.target = value;
            status->OnBattery = status->AcPresent ? 0 : 1;
            status->Discharging = status->OnBattery;
            return true;
        }
    }
    return false;
}

// Fills the HistoryRing from "MINUTES:LOAD:CHARGE/..." points, oldest first,
// with ticks counted back from now.
bool FillHistory(const wchar_t* spec)
{
    struct Point {
        double minutes, load, charge;
    };
    std::vector<Point> points;
    const wchar_t* cursor = spec;
    while (*cursor) {
        Point point;
        if (swscanf(cursor, L"%lf:%lf:%lf", &point.minutes, &point.load, &point.charge) != 3)
            return false;
        points.push_back(point);
        const wchar_t* next = wcschr(cursor, L'/');
        if (!next)
            break;
        cursor = next + 1;
    }
    if (points.empty())
        return false;
    memset(&HistoryRing, 0, sizeof(HistoryRing));
    UINT32 now = GetTickCount();
    if (points.size() == 1) {
        SampleHistory(&HistoryRing, now - (UINT32)(points[0].minutes * 60000), (INT32)points[0].load,
                      (INT32)points[0].charge);
        return true;
    }
    for (size_t i = 0; i + 1 < points.size(); i++) {
        const Point& from = points[i];
        const Point& to = points[i + 1];
        for (double minutes = from.minutes; minutes > to.minutes; minutes -= 10.0 / 60) {
            double share = (from.minutes - minutes) / (from.minutes - to.minutes);
            SampleHistory(&HistoryRing, now - (UINT32)(minutes * 60000),
                          (INT32)(from.load + (to.load - from.load) * share + 0.5),
                          (INT32)(from.charge + (to.charge - from.charge) * share + 0.5));
        }
    }
    const Point& last = points.back();
    SampleHistory(&HistoryRing, now - (UINT32)(last.minutes * 60000), (INT32)last.load, (INT32)last.charge);
    return true;
}

void SetLook(const Options& options)
{
    DpiValue = options.dpi;
    CurrentPalette = options.dark ? DarkPalette : LightPalette;
    BuildFonts();
}

// PNG with stored (uncompressed) deflate blocks: enough for a picture that
// ImageMagick recompresses for the documentation.
struct Crc {
    UINT32 table[256];
    Crc()
    {
        for (UINT32 n = 0; n < 256; n++) {
            UINT32 c = n;
            for (int k = 0; k < 8; k++)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    }
    UINT32 Of(const std::vector<BYTE>& bytes, size_t from) const
    {
        UINT32 c = 0xFFFFFFFFu;
        for (size_t i = from; i < bytes.size(); i++)
            c = table[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
        return c ^ 0xFFFFFFFFu;
    }
};

void PutBig(std::vector<BYTE>& out, UINT32 value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back((BYTE)(value >> shift));
}

void PutChunk(std::vector<BYTE>& file, const char* type, const std::vector<BYTE>& data)
{
    static const Crc crc;
    PutBig(file, (UINT32)data.size());
    std::vector<BYTE> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    file.insert(file.end(), body.begin(), body.end());
    PutBig(file, crc.Of(body, 0));
}

bool WritePng(const wchar_t* path, const UINT32* pixels, int width, int height)
{
    std::vector<BYTE> raw;
    for (int y = 0; y < height; y++) {
        raw.push_back(0);   // filter: none
        for (int x = 0; x < width; x++) {
            UINT32 p = pixels[y * width + x];
            raw.push_back((BYTE)(p >> 16));
            raw.push_back((BYTE)(p >> 8));
            raw.push_back((BYTE)p);
        }
    }
    std::vector<BYTE> zlib = { 0x78, 0x01 };
    for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        size_t length = std::min<size_t>(65535, raw.size() - at);
        zlib.push_back(at + length == raw.size() ? 1 : 0);
        zlib.push_back((BYTE)length);
        zlib.push_back((BYTE)(length >> 8));
        zlib.push_back((BYTE)~length);
        zlib.push_back((BYTE)(~length >> 8));
        zlib.insert(zlib.end(), raw.begin() + at, raw.begin() + at + length);
    }
    UINT32 a = 1, b = 0;
    for (BYTE byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    PutBig(zlib, (b << 16) | a);

    std::vector<BYTE> file = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n' };
    std::vector<BYTE> header;
    PutBig(header, (UINT32)width);
    PutBig(header, (UINT32)height);
    header.insert(header.end(), { 8, 2, 0, 0, 0 });   // 8-bit RGB
    PutChunk(file, "IHDR", header);
    PutChunk(file, "IDAT", zlib);
    PutChunk(file, "IEND", {});
    FILE* out = _wfopen(path, L"wb");
    if (!out)
        return false;
    bool written = fwrite(file.data(), 1, file.size(), out) == file.size();
    return fclose(out) == 0 && written;
}

int Png(const Options& options, const UpsStatus& status)
{
    SetLook(options);
    int width = MulDiv(CLIENT_WIDTH, options.dpi, 96);
    int height = MulDiv(CLIENT_HEIGHT, options.dpi, 96);
    UINT32* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateTopDownDib(dc, width, height, &bits);
    if (!dc || !bitmap) {
        fwprintf(stderr, L"panelshot: cannot make a %dx%d bitmap\n", width, height);
        return 1;
    }
    HGDIOBJ old = SelectObject(dc, bitmap);
    DrawPanel(dc, width, height, &status, options.armed);
    GdiFlush();
    bool written = WritePng(options.output, bits, width, height);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    if (!written) {
        fwprintf(stderr, L"panelshot: cannot write %ls\n", options.output);
        return 1;
    }
    return 0;
}

int PaintsSeen;

LRESULT CALLBACK PanelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        PaintsSeen++;
        PaintPanel(window);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A plain window sized like Corvane's, painted by PaintPanel.
HWND OpenPanelWindow(int dpi)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = PanelWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"Corvane.PanelBench";
    RegisterClassExW(&wc);
    RECT rect = { 0, 0, MulDiv(CLIENT_WIDTH, dpi, 96), MulDiv(CLIENT_HEIGHT, dpi, 96) };
    AdjustWindowRectEx(&rect, WS_OVERLAPPEDWINDOW, FALSE, 0);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"panel", WS_OVERLAPPEDWINDOW, 0, 0,
                                  rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                                  wc.hInstance, nullptr);
    if (window)
        ShowWindow(window, SW_SHOWNOACTIVATE);
    return window;
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

// One full WM_PAINT: invalidate the whole client, then let UpdateWindow send
// the paint; returns the microseconds it took.
double TimeOnePaint(HWND window)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    InvalidateRect(window, nullptr, FALSE);
    QueryPerformanceCounter(&start);
    UpdateWindow(window);
    QueryPerformanceCounter(&end);
    return (end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart;
}

// Values that move on every paint: each level, the banner on and off, the
// dial from empty past full, the bar and every row's text.
void VaryStatus(UpsStatus* status, int i)
{
    status->AcPresent = i % 3 != 0;
    status->OnBattery = !status->AcPresent;
    status->ShutdownImminent = i % 7 == 0;
    status->ChargePercent = i % 102 - 1;
    status->LoadPercent = i % 152 - 1;
    status->RuntimeSeconds = (i * 37) % 5000;
    status->NeedsReplacement = i % 11 == 0;
    status->Present = i % 13 != 0;
    Outage.State = i % 5 == 0 ? OUTAGE_ARMED : OUTAGE_QUIET;
}

int Bench(const Options& options, const UpsStatus& status)
{
    SetLook(options);
    Snapshot = status;
    Outage.State = options.armed ? OUTAGE_ARMED : OUTAGE_QUIET;
    HWND window = OpenPanelWindow(options.dpi);
    if (!window)
        return 1;
    PumpMessages();
    for (int i = 0; i < 20; i++)
        TimeOnePaint(window);
    std::vector<double> times;
    PaintsSeen = 0;
    for (int i = 0; i < options.paints; i++) {
        times.push_back(TimeOnePaint(window));
        PumpMessages();
    }
    std::sort(times.begin(), times.end());
    printf("dpi=%d paints=%d painted=%d median_us=%.0f p10_us=%.0f p90_us=%.0f\n", options.dpi, options.paints,
           PaintsSeen, times[times.size() / 2], times[times.size() / 10], times[times.size() * 9 / 10]);
    Outage.State = OUTAGE_QUIET;
    DestroyWindow(window);
    return 0;
}

int Soak(const Options& options, const UpsStatus& status)
{
    SetLook(options);
    Snapshot = status;
    HWND window = OpenPanelWindow(options.dpi);
    if (!window)
        return 1;
    PumpMessages();
    // One paint first, so that whatever Wine and GDI set up once is counted
    // before, not as a leak.
    TimeOnePaint(window);
    PumpMessages();
    HANDLE self = GetCurrentProcess();
    int gdiBefore = resource_count::CountGdiObjects(self);
    resource_count::HeapUsage heapBefore = resource_count::MeasureHeap();
    UpsStatus varied = status;
    for (int i = 0; i < options.paints; i++) {
        VaryStatus(&varied, i);
        Snapshot = varied;
        TimeOnePaint(window);
        PumpMessages();
    }
    int gdiAfter = resource_count::CountGdiObjects(self);
    resource_count::HeapUsage heapAfter = resource_count::MeasureHeap();
    printf("dpi=%d paints=%d gdi_before=%d gdi_after=%d heap_blocks_before=%d heap_blocks_after=%d "
           "heap_bytes_before=%llu heap_bytes_after=%llu\n",
           options.dpi, options.paints, gdiBefore, gdiAfter, heapBefore.Blocks, heapAfter.Blocks,
           (unsigned long long)heapBefore.Bytes, (unsigned long long)heapAfter.Bytes);
    Outage.State = OUTAGE_QUIET;
    DestroyWindow(window);
    return gdiAfter == gdiBefore && heapAfter.Blocks == heapBefore.Blocks ? 0 : 3;
}

int Usage()
{
    fwprintf(stderr, L"usage: panelshot png OUT.png | bench | soak  [--dpi N] [--dark] [--armed] [--paints N]\n"
                     L"                 [--history MIN:LOAD:CHARGE/...] [FIELD=VALUE]...\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    if (argc < 2)
        return Usage();
    Options options;
    UpsStatus status;
    SetOnLineExample(&status);
    DefaultSettings(&Chosen);
    std::wstring mode = argv[1];
    int i = 2;
    if (mode == L"png") {
        if (argc < 3)
            return Usage();
        options.output = argv[i++];
    } else if (mode != L"bench" && mode != L"soak") {
        return Usage();
    }
    if (mode == L"soak")
        options.paints = 10000;
    for (; i < argc; i++) {
        std::wstring word = argv[i];
        if (word == L"--dpi" && i + 1 < argc)
            options.dpi = _wtoi(argv[++i]);
        else if (word == L"--paints" && i + 1 < argc)
            options.paints = _wtoi(argv[++i]);
        else if (word == L"--history" && i + 1 < argc)
            options.history = argv[++i];
        else if (word == L"--dark")
            options.dark = true;
        else if (word == L"--armed")
            options.armed = true;
        else if (!SetField(&status, argv[i]))
            return Usage();
    }
    if (options.dpi < 48 || options.dpi > 480 || options.paints < 1)
        return Usage();
    PublishSettings(&Chosen);
    // The measurements draw a full hour of history unless told otherwise.
    if (!options.history && mode != L"png")
        options.history = L"60:30:100/20:30:100/0:45:35";
    if (options.history && !FillHistory(options.history))
        return Usage();
    if (mode == L"png")
        return Png(options, status);
    if (mode == L"bench")
        return Bench(options, status);
    return Soak(options, status);
}
