// The product's monitor thread against the emulated UPS, announcing its passes
// to a message-only window of the test's thread, with the shutdown requests
// stood in for. (The rediscovery after a resume is proven end to end, in
// tests/system/test_shutdown.py.)
#include <gtest/gtest.h>
#include <windows.h>
#include "monitor_harness.h"
#include "monitor/shutdown.h"
#include "ui/window.h"

namespace {

DWORD WINAPI AcceptShutdown(LPWSTR, LPWSTR, DWORD, DWORD, DWORD)
{
    return ERROR_SUCCESS;
}

BOOL WINAPI CancelShutdown(LPWSTR)
{
    return TRUE;
}

class MonitorThreadPasses : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(PrepareMonitorSurroundings());
        saved_ = ShutdownCalls;
        ShutdownCalls.InitiateShutdownW = AcceptShutdown;
        ShutdownCalls.AbortSystemShutdownW = CancelShutdown;
    }
    void TearDown() override
    {
        Stop();
        RemoveMonitorSurroundings();
        ShutdownCalls = saved_;
        Outage = {};
    }
    void Start()
    {
        thread_ = CreateThread(NULL, 0, MonitorThread, NULL, 0, NULL);
        ASSERT_NE(nullptr, thread_);
    }
    void Stop()
    {
        if (!thread_)
            return;
        SetEvent(StopEvent);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread_, 10000));
        CloseHandle(thread_);
        thread_ = NULL;
    }
    // The WM_STATUS_UPDATED messages waiting for the window.
    int TakeAnnouncements()
    {
        int count = 0;
        MSG msg;
        while (PeekMessageW(&msg, App.MainWindow, WM_STATUS_UPDATED, WM_STATUS_UPDATED, PM_REMOVE))
            count++;
        return count;
    }
    HANDLE thread_ = NULL;
    ShutdownSystemCalls saved_;
};

TEST_F(MonitorThreadPasses, APassWhoseDecisionChangesTheArmedStateAnnouncesItselfAgain)
{
    const struct {
        const char* name;
        const char* ups;
        LONG armedBefore;
        int announcements;
        bool armedAfter;
    } cases[] = {
        { "arms", "ac=0 discharging=1 charge=10 runtime=900", 0, 2, true },
        { "above the thresholds", "ac=0 discharging=1 charge=90 runtime=3000", 0, 1, false },
        { "the mains back while armed", "ac=1 discharging=0 charge=90 runtime=3000", 1, 2, false },
        { "on line", "ac=1 discharging=0 charge=90 runtime=3000", 0, 1, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(emu_set(0, c.ups)) << emu_last_error();
        Outage = {};
        Outage.State = c.armedBefore ? OUTAGE_ARMED : OUTAGE_QUIET;
        Outage.Fsd = c.armedBefore;
        // StopEvent already set: the thread runs exactly one pass.
        SetEvent(StopEvent);
        Start();
        Stop();
        CloseUps();
        ResetEvent(StopEvent);
        EXPECT_EQ(c.announcements, TakeAnnouncements());
        EXPECT_EQ(c.armedAfter, IsShutdownArmed() != 0);
    }
}

}  // namespace
