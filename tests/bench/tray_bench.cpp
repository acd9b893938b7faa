// Times the tray icon's two costs on the user-interface thread: drawing the
// battery glyph, and one whole update (Snapshot copy, glyph, tooltip and the
// shell call) with the charge changing every time, so the glyph is redrawn
// on each; and an update after a pass that changed nothing shown, which
// makes no shell call. The shell is the real one when a notification area
// exists, else the update's shell call fails fast and only the rest is timed.
// Prints medians of 1,000 runs in microseconds.
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <vector>
#include "app/startup.h"
#include "monitor/snapshot.h"
#include "ui/theme.h"
#include "ui/tray.h"

static double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

static double Microseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency)
{
    return (to.QuadPart - from.QuadPart) * 1e6 / frequency.QuadPart;
}

int main()
{
    const int RUNS = 1000;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);

    std::vector<double> draw;
    for (int i = 0; i < RUNS; i++) {
        QueryPerformanceCounter(&start);
        HICON icon = DrawBatteryIcon(i % 101, i % 3);
        QueryPerformanceCounter(&end);
        DestroyIcon(icon);
        draw.push_back(Microseconds(start, end, frequency));
    }

    App.Module = GetModuleHandleW(NULL);
    RegisterMainClass();
    App.MainWindow = CreateMainWindow();
    BOOL shell = AddTrayIcon();
    TrayIcon.Added = TRUE;   // time the whole update even without a shell
    std::vector<double> update;
    for (int i = 0; i < RUNS; i++) {
        UpsStatus status;
        ResetStatus(&status);
        status.Present = 1;
        status.OnBattery = 1;
        status.ChargePercent = i % 101;
        status.RuntimeSeconds = 900;
        PublishStatus(&status);
        QueryPerformanceCounter(&start);
        UpdateTrayIcon();
        QueryPerformanceCounter(&end);
        update.push_back(Microseconds(start, end, frequency));
    }
    std::vector<double> unchanged;
    for (int i = 0; i < RUNS; i++) {
        QueryPerformanceCounter(&start);
        UpdateTrayIcon();
        QueryPerformanceCounter(&end);
        unchanged.push_back(Microseconds(start, end, frequency));
    }
    RemoveTrayIcon();
    printf("{\"draw_battery_icon_us\": %.1f, \"update_tray_icon_us\": %.1f, \"unchanged_update_us\": %.1f, "
           "\"shell\": %s, \"runs\": %d}\n",
           Median(draw), Median(update), Median(unchanged), shell ? "true" : "false", RUNS);
    return 0;
}
