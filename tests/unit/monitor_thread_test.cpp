// The product's monitor thread against the emulated UPS, announcing its passes
// to a message-only window of the test's thread, with the shutdown requests
// stood in for. (The rediscovery after a resume is proven end to end, in
// tests/system/test_shutdown.py.)
#include <gtest/gtest.h>
#include <windows.h>
#include <vector>
#include "monitor_harness.h"
#include "monitor/input_wait.h"
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

std::vector<LPOVERLAPPED> CancelsAsked;

// A cancel that does not end the read within the wait for it, as a driver
// that holds on to its reads may do.
BOOL WINAPI IgnoreCancel(HANDLE, LPOVERLAPPED overlapped)
{
    CancelsAsked.push_back(overlapped);
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

// A read whose cancel is not over in time is abandoned, and may complete
// later into its OVERLAPPED: the next device's read must have one of its own.
TEST_F(MonitorThreadPasses, AReadAbandonedAtItsCancelKeepsItsOverlappedFromTheNextDevicesRead)
{
    InputWaitSystemCalls saved = InputWaitCalls;
    InputWaitCalls.CancelIoEx = IgnoreCancel;
    CancelsAsked.clear();
    Start();
    // Each device is found, its read issued, then its poll fails and the
    // read is cancelled.
    for (bool failing : { true, false, true }) {
        Sleep(1000);
        ASSERT_TRUE(failing ? emu_fail_all(0, true) : emu_fail_none(0)) << emu_last_error();
        SetEvent(WakeEvent);
    }
    Sleep(1500);
    Stop();
    InputWaitCalls = saved;
    ASSERT_EQ(2u, CancelsAsked.size());
    EXPECT_NE(CancelsAsked[0], CancelsAsked[1]);
}

}  // namespace
