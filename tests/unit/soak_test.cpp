// The monitor thread soaked in-process against the emulated UPS: passes with
// changing values, then unplug and replug cycles, with the process's busy
// heap blocks, kernel handles and GDI objects counted exactly before and
// after. The thread is the product's own; each pass is woken with WakeEvent,
// as the window does, and counted by its WM_STATUS_UPDATED.
//
// CORVANE_SOAK_PASSES and CORVANE_SOAK_CYCLES set the length; make test runs
// the short default, tests/soak/soak_corvane.py the long one.
#include <gtest/gtest.h>
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>
#include "log_capture.h"
#include "monitor_harness.h"
#include "ui/window.h"
#include "../support/resource_count.h"
#include "monitor/input_wait.h"

namespace {

const DWORD PASS_TIMEOUT_MS = 10000;

int Setting(const char* name, int fallback)
{
    const char* value = getenv(name);
    return value && *value ? atoi(value) : fallback;
}

struct Counts {
    int HeapBlocks;
    int Handles;
    int GdiObjects;
};

Counts Measure()
{
    Counts counts;
    counts.HeapBlocks = resource_count::MeasureHeap().Blocks;
    counts.Handles = resource_count::CountHandles(GetCurrentProcessId());
    counts.GdiObjects = resource_count::CountGdiObjects(GetCurrentProcess());
    return counts;
}

size_t CountOf(const std::vector<std::string>& messages, const std::string& message)
{
    size_t count = 0;
    for (const std::string& m : messages)
        count += m == message;
    return count;
}

class MonitorSoak : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(PrepareMonitorSurroundings());
        thread_ = CreateThread(NULL, 0, MonitorThread, NULL, 0, NULL);
        ASSERT_NE(nullptr, thread_);
        // The thread's first pass runs at once, unwoken.
        WaitForPassEnd();
    }

    void TearDown() override
    {
        if (thread_) {
            SetEvent(StopEvent);
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread_, 5000));
            CloseHandle(thread_);
        }
        RemoveMonitorSurroundings();
    }

    // Wakes the monitor and waits for the end of the pass. Passes come only
    // when woken here or by the UPS's input reports: the thread's own pace is
    // 2 s or more, and no step of the soak takes that long. The announcement
    // of a pass a report started is not taken for this one's.
    void Pass()
    {
        DrainMessages();
        SetEvent(WakeEvent);
        WaitForPassEnd();
    }

    void DrainMessages()
    {
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
        }
    }

    void WaitForPassEnd()
    {
        DWORD started = GetTickCount();
        for (;;) {
            MSG msg;
            while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_STATUS_UPDATED)
                    return;
                DispatchMessageW(&msg);
            }
            ASSERT_LT(GetTickCount() - started, PASS_TIMEOUT_MS) << "no pass ended";
            MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_POSTMESSAGE);
        }
    }

    // New values every pass, above the shutdown thresholds; mains lost and
    // back every 25 passes.
    void PassWithNewValues(int i)
    {
        char state[160];
        int onBattery = i / 25 % 2;
        snprintf(state, sizeof(state), "charge=%d runtime=%d load=%d ac=%d discharging=%d", 30 + i % 71,
                 600 + i % 3000, i % 101, !onBattery, onBattery);
        ASSERT_TRUE(emu_set(0, state)) << emu_last_error();
        Pass();
    }

    // Measured only while the thread waits: one more pass, then any pass a
    // wake queued behind it, or an input report folded for a second after
    // it, let to end. The next comes 5 s later.
    Counts Settle()
    {
        Pass();
        Sleep(INPUT_PASS_SPACING_MS + 150);
        DrainMessages();
        return Measure();
    }

    // A pass that an input report started before the change may be the one
    // Pass() sees end: pass again until the change is in the log.
    void PassUntilLogged(const char* message)
    {
        size_t before = CountOf(log_.Messages(), message);
        for (int i = 0; i < 5 && CountOf(log_.Messages(), message) == before; i++)
            Pass();
    }

    void Replug()
    {
        ASSERT_TRUE(emu_remove(0)) << emu_last_error();
        PassUntilLogged("UPS not found");
        ASSERT_TRUE(emu_add_profile(0, "plain")) << emu_last_error();
        PassUntilLogged("UPS connected: Quillfen Labs Emulated UPS 1500");
    }

    LogCapture log_;
    HANDLE thread_ = NULL;
};

TEST_F(MonitorSoak, PassesAndReplugCyclesLeaveNoHeapBlockHandleOrGdiObjectBehind)
{
    const int passes = Setting("CORVANE_SOAK_PASSES", 300);
    const int cycles = Setting("CORVANE_SOAK_CYCLES", 5);
    // Warm-up: the first discovery, the first mains change, the first
    // replug, and whatever Wine sets up once for each.
    for (int i = 0; i < 60; i++)
        PassWithNewValues(i);
    Replug();
    Replug();
    Counts before = Settle();
    DWORD started = GetTickCount();
    for (int i = 0; i < passes; i++)
        PassWithNewValues(i);
    Counts afterPasses = Settle();
    for (int c = 0; c < cycles; c++)
        Replug();
    Counts after = Settle();
    printf("soak: %d passes then %d replug cycles in %lu ms; heap blocks %d -> %d -> %d, handles %d -> %d -> %d, "
           "GDI objects %d -> %d -> %d\n",
           passes, cycles, GetTickCount() - started, before.HeapBlocks, afterPasses.HeapBlocks, after.HeapBlocks,
           before.Handles, afterPasses.Handles, after.Handles, before.GdiObjects, afterPasses.GdiObjects,
           after.GdiObjects);
    EXPECT_EQ(before.HeapBlocks, afterPasses.HeapBlocks);
    EXPECT_EQ(before.HeapBlocks, after.HeapBlocks);
    EXPECT_EQ(before.Handles, after.Handles);
    EXPECT_EQ(before.GdiObjects, after.GdiObjects);

    std::vector<std::string> messages = log_.Messages();
    const size_t replugs = (size_t)cycles + 2;
    EXPECT_EQ(replugs, CountOf(messages, "UPS disconnected"));
    EXPECT_EQ(replugs, CountOf(messages, "UPS not found"));
    EXPECT_EQ(replugs + 1, CountOf(messages, "UPS connected: Quillfen Labs Emulated UPS 1500"));
}

}  // namespace
