// What the product's monitor thread needs around it in a test: the emulated
// UPS in slot 0, a message-only window of the test's thread standing in for
// the main window its passes are announced to, and the two events.
#pragma once
#include <gtest/gtest.h>
#include "emulated_ups.h"
#include "app/startup.h"
#include "monitor/monitor.h"
#include "ups/discovery.h"

// Call through ASSERT_NO_FATAL_FAILURE.
inline void PrepareMonitorSurroundings()
{
    ASSERT_NO_FATAL_FAILURE(PrepareEmulatedUps());
    ASSERT_TRUE(emu_add_profile(0, "plain")) << emu_last_error();
    App.MainWindow = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    ASSERT_NE(nullptr, App.MainWindow);
    StopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    WakeEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
}

// Once the thread has ended.
inline void RemoveMonitorSurroundings()
{
    CloseUps();
    CloseHandle(StopEvent);
    CloseHandle(WakeEvent);
    StopEvent = WakeEvent = NULL;
    DestroyWindow(App.MainWindow);
    App.MainWindow = NULL;
    emu_remove(0);
}
