// The product's monitor thread against the emulated UPS, announcing its passes
// to a message-only window of the test's thread, with the shutdown and
// hibernation requests stood in for.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "log_capture.h"
#include "monitor_harness.h"
#include "app/settings.h"
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

BOOLEAN WINAPI HibernationAvailable(SYSTEM_POWER_CAPABILITIES* capabilities)
{
    ZeroMemory(capabilities, sizeof(*capabilities));
    capabilities->SystemS4 = TRUE;
    capabilities->HiberFilePresent = TRUE;
    return TRUE;
}

// Like Wine's: yes at once, having done nothing.
BOOLEAN WINAPI HibernateAtOnce(BOOLEAN, BOOLEAN, BOOLEAN)
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
        ShutdownCalls.GetPwrCapabilities = HibernationAvailable;
        ShutdownCalls.SetSuspendState = HibernateAtOnce;
    }
    void TearDown() override
    {
        Stop();
        RemoveMonitorSurroundings();
        ShutdownCalls = saved_;
        InterlockedExchange(&ShutdownArmed, 0);
        EndOutage();
        ShutdownAction = SHUTDOWN_ACTION_POWER_OFF;
        GraceSeconds = 30;
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
    std::vector<std::string> WaitForLines(size_t count)
    {
        DWORD started = GetTickCount();
        while (log_.Messages().size() < count && GetTickCount() - started < 10000)
            Sleep(20);
        return log_.Messages();
    }

    LogCapture log_;
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
        InterlockedExchange(&ShutdownArmed, c.armedBefore);
        EndOutage();
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

TEST_F(MonitorThreadPasses, AfterAResumeTheUpsIsFoundAfreshAndANewOutageStartsFromScratch)
{
    ShutdownAction = SHUTDOWN_ACTION_HIBERNATE;
    GraceSeconds = 0;
    ASSERT_TRUE(emu_set(0, "ac=0 discharging=1 charge=10 runtime=900")) << emu_last_error();
    const std::vector<std::string> outage = {
        "UPS connected: Quillfen Labs Emulated UPS 1500",
        "MAINS LOST - on battery, 10%, 15 min",
        "HIBERNATE ARMED - charge fell below threshold; grace 0s",
        "hibernating",
    };
    Start();
    EXPECT_EQ(outage, WaitForLines(4));
    // Held: the passes after hibernate no more.
    SetEvent(WakeEvent);
    Sleep(300);
    EXPECT_EQ(4u, log_.Messages().size());
    // The window's procedure hears of the resume.
    MainWindowProc(App.MainWindow, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
    std::vector<std::string> twice = outage;
    twice.insert(twice.end(), outage.begin(), outage.end());
    EXPECT_EQ(twice, WaitForLines(8));
}

}  // namespace
