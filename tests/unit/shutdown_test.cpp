// The shutdown controller against stand-ins for its system calls: the exact
// request it makes, every transition of the armed flag, and the log lines.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>
#include <string>
#include <vector>
#include "app/settings.h"
#include "monitor/shutdown.h"
#include "log_capture.h"

namespace {

struct ShutdownRequest {
    bool machineNull;
    std::wstring message;
    DWORD grace;
    DWORD flags;
    DWORD reason;
};

// What the stand-ins answer and what they saw.
struct FakeSystem {
    BOOL openTokenResult = TRUE;
    BOOL lookupResult = TRUE;
    DWORD adjustLastError = ERROR_SUCCESS;
    DWORD initiateResult = ERROR_SUCCESS;

    int openTokenCalls = 0;
    DWORD openTokenAccess = 0;
    int lookupCalls = 0;
    std::wstring lookupName;
    bool lookupSystemNull = false;
    int adjustCalls = 0;
    DWORD adjustedAttributes = 0;
    DWORD adjustedCount = 0;
    BOOL adjustDisableAll = TRUE;
    HANDLE token = NULL;
    std::vector<ShutdownRequest> requests;
    volatile LONG abortCalls = 0;
    bool abortMachineNull = false;
    // Like Windows: one shutdown at a time; a second request while one is
    // pending is refused.
    volatile LONG scheduled = 0;
    // Runs once inside the call named, where the other thread's work can
    // land: at its start, or for "InitiateShutdownW done" and
    // "AbortSystemShutdownW done" once the call has had its effect.
    const char* interruptAt = nullptr;
    void (*interruption)() = nullptr;
};

FakeSystem* Fake;

void Interrupt(const char* point)
{
    if (Fake->interruptAt && strcmp(Fake->interruptAt, point) == 0) {
        Fake->interruptAt = nullptr;
        Fake->interruption();
    }
}

BOOL WINAPI FakeOpenProcessToken(HANDLE, DWORD access, HANDLE* token)
{
    Interrupt("OpenProcessToken");
    Fake->openTokenCalls++;
    Fake->openTokenAccess = access;
    if (!Fake->openTokenResult)
        return FALSE;
    // A real handle, so the test can see that the controller closes it.
    *token = CreateEventW(NULL, TRUE, FALSE, NULL);
    Fake->token = *token;
    return TRUE;
}

BOOL WINAPI FakeLookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, LUID* luid)
{
    Interrupt("LookupPrivilegeValueW");
    Fake->lookupCalls++;
    Fake->lookupSystemNull = system == NULL;
    Fake->lookupName = name;
    luid->LowPart = 19;
    luid->HighPart = 0;
    return Fake->lookupResult;
}

BOOL WINAPI FakeAdjustTokenPrivileges(HANDLE, BOOL disableAll, TOKEN_PRIVILEGES* state, DWORD, TOKEN_PRIVILEGES*,
                                      DWORD*)
{
    Fake->adjustCalls++;
    Fake->adjustDisableAll = disableAll;
    Fake->adjustedCount = state->PrivilegeCount;
    Fake->adjustedAttributes = state->Privileges[0].Attributes;
    Interrupt("AdjustTokenPrivileges");
    // Like the real call: success, with ERROR_NOT_ALL_ASSIGNED as the only
    // sign that nothing was enabled.
    SetLastError(Fake->adjustLastError);
    return TRUE;
}

DWORD WINAPI FakeInitiateShutdownW(LPWSTR machine, LPWSTR message, DWORD grace, DWORD flags, DWORD reason)
{
    Interrupt("InitiateShutdownW");
    Fake->requests.push_back({ machine == NULL, message ? message : L"", grace, flags, reason });
    // The real function does not set the last error on failure.
    SetLastError(0);
    if (Fake->initiateResult != ERROR_SUCCESS)
        return Fake->initiateResult;
    if (InterlockedExchange(&Fake->scheduled, 1) != 0)
        return ERROR_SHUTDOWN_IN_PROGRESS;
    Interrupt("InitiateShutdownW done");
    return ERROR_SUCCESS;
}

BOOL WINAPI FakeAbortSystemShutdownW(LPWSTR machine)
{
    Interrupt("AbortSystemShutdownW");
    InterlockedIncrement(&Fake->abortCalls);
    Fake->abortMachineNull = machine == NULL;
    BOOL cancelled = InterlockedExchange(&Fake->scheduled, 0) != 0;
    Interrupt("AbortSystemShutdownW done");
    return cancelled;
}

class ShutdownController : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = ShutdownCalls;
        savedGrace_ = GraceSeconds;
        Fake = &fake;
        ShutdownCalls.OpenProcessToken = FakeOpenProcessToken;
        ShutdownCalls.LookupPrivilegeValueW = FakeLookupPrivilegeValueW;
        ShutdownCalls.AdjustTokenPrivileges = FakeAdjustTokenPrivileges;
        ShutdownCalls.InitiateShutdownW = FakeInitiateShutdownW;
        ShutdownCalls.AbortSystemShutdownW = FakeAbortSystemShutdownW;
        InterlockedExchange(&ShutdownArmed, 0);
        EndOutage();
        GraceSeconds = 30;
    }
    void TearDown() override
    {
        ShutdownCalls = saved_;
        GraceSeconds = savedGrace_;
        InterlockedExchange(&ShutdownArmed, 0);
        EndOutage();
        Fake = nullptr;
    }

    static bool HandleIsOpen(HANDLE handle)
    {
        DWORD flags = 0;
        return GetHandleInformation(handle, &flags) != 0;
    }

    FakeSystem fake;
    LogCapture log;

private:
    ShutdownSystemCalls saved_;
    INT32 savedGrace_;
};

using Lines = std::vector<std::string>;

TEST_F(ShutdownController, ReasonTextsAndTheFallback)
{
    EXPECT_STREQ(L"UPS raised ShutdownImminent", ShutdownReasonText(1));
    EXPECT_STREQ(L"UPS reports battery below its own capacity limit", ShutdownReasonText(2));
    EXPECT_STREQ(L"runtime remaining fell below threshold", ShutdownReasonText(3));
    EXPECT_STREQ(L"charge fell below threshold", ShutdownReasonText(4));
    EXPECT_STREQ(L"battery critical", ShutdownReasonText(0));
    EXPECT_STREQ(L"battery critical", ShutdownReasonText(5));
    EXPECT_STREQ(L"battery critical", ShutdownReasonText(-1));
}

TEST_F(ShutdownController, ArmingEnablesThePrivilegeAndRequestsTheExactShutdown)
{
    ArmShutdown(4);

    EXPECT_TRUE(IsShutdownArmed());
    EXPECT_EQ(1, fake.openTokenCalls);
    EXPECT_EQ((DWORD)(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY), fake.openTokenAccess);
    EXPECT_EQ(0x28u, fake.openTokenAccess);
    EXPECT_EQ(1, fake.lookupCalls);
    EXPECT_TRUE(fake.lookupSystemNull);
    EXPECT_EQ(L"SeShutdownPrivilege", fake.lookupName);
    EXPECT_EQ(1, fake.adjustCalls);
    EXPECT_FALSE(fake.adjustDisableAll);
    EXPECT_EQ(1u, fake.adjustedCount);
    EXPECT_EQ((DWORD)SE_PRIVILEGE_ENABLED, fake.adjustedAttributes);
    EXPECT_FALSE(HandleIsOpen(fake.token)) << "the token must be closed";

    ASSERT_EQ(1u, fake.requests.size());
    const ShutdownRequest& request = fake.requests[0];
    EXPECT_TRUE(request.machineNull);
    EXPECT_EQ(L"Corvane: charge fell below threshold. Saving and shutting down.", request.message);
    EXPECT_EQ(30u, request.grace);
    EXPECT_EQ(9u, request.flags);
    EXPECT_EQ(0x8006000Cu, request.reason);
    EXPECT_EQ(0, fake.abortCalls);

    EXPECT_EQ((Lines{ "SHUTDOWN ARMED - charge fell below threshold; grace 30s" }), log.Messages());
}

TEST_F(ShutdownController, ArmsOnceHoweverOftenCalled)
{
    ArmShutdown(3);
    ArmShutdown(3);
    ArmShutdown(1);
    for (int i = 0; i < 10; i++)
        ArmShutdown(2);

    EXPECT_TRUE(IsShutdownArmed());
    EXPECT_EQ(1u, fake.requests.size());
    EXPECT_EQ(1, fake.openTokenCalls);
    EXPECT_EQ((Lines{ "SHUTDOWN ARMED - runtime remaining fell below threshold; grace 30s" }), log.Messages());
}

TEST_F(ShutdownController, EachReasonNamesItselfInTheLineAndTheMessage)
{
    GraceSeconds = 600;
    const int reasons[] = { 1, 2, 3, 4, 0, 7 };
    for (int reason : reasons) {
        InterlockedExchange(&ShutdownArmed, 0);
        InterlockedExchange(&fake.scheduled, 0);
        ArmShutdown(reason);
    }
    ASSERT_EQ(6u, fake.requests.size());
    EXPECT_EQ(L"Corvane: UPS raised ShutdownImminent. Saving and shutting down.", fake.requests[0].message);
    // The longest message: 84 units, whole.
    EXPECT_EQ(L"Corvane: UPS reports battery below its own capacity limit. Saving and shutting down.",
              fake.requests[1].message);
    EXPECT_EQ(84u, fake.requests[1].message.size());
    EXPECT_EQ(L"Corvane: runtime remaining fell below threshold. Saving and shutting down.",
              fake.requests[2].message);
    EXPECT_EQ(L"Corvane: battery critical. Saving and shutting down.", fake.requests[4].message);
    EXPECT_EQ(L"Corvane: battery critical. Saving and shutting down.", fake.requests[5].message);
    for (const ShutdownRequest& request : fake.requests)
        EXPECT_EQ(600u, request.grace);

    Lines expected = {
        "SHUTDOWN ARMED - UPS raised ShutdownImminent; grace 600s",
        "SHUTDOWN ARMED - UPS reports battery below its own capacity limit; grace 600s",
        "SHUTDOWN ARMED - runtime remaining fell below threshold; grace 600s",
        "SHUTDOWN ARMED - charge fell below threshold; grace 600s",
        "SHUTDOWN ARMED - battery critical; grace 600s",
        "SHUTDOWN ARMED - battery critical; grace 600s",
    };
    EXPECT_EQ(expected, log.Messages());
    EXPECT_EQ(77u, expected[1].size());
}

TEST_F(ShutdownController, GraceZeroIsRequestedAsZero)
{
    GraceSeconds = 0;
    ArmShutdown(1);
    ASSERT_EQ(1u, fake.requests.size());
    EXPECT_EQ(0u, fake.requests[0].grace);
    EXPECT_EQ((Lines{ "SHUTDOWN ARMED - UPS raised ShutdownImminent; grace 0s" }), log.Messages());
}

TEST_F(ShutdownController, RefusedRequestLogsTheReturnedCodeAndDisarms)
{
    fake.initiateResult = ERROR_CALL_NOT_IMPLEMENTED;
    ArmShutdown(2);
    EXPECT_FALSE(IsShutdownArmed());

    fake.initiateResult = 0xC0000022u;
    ArmShutdown(2);
    EXPECT_FALSE(IsShutdownArmed());

    // Disarmed, so the next attempt goes through.
    fake.initiateResult = ERROR_SUCCESS;
    ArmShutdown(2);
    EXPECT_TRUE(IsShutdownArmed());

    EXPECT_EQ(3u, fake.requests.size());
    Lines expected = {
        "SHUTDOWN ARMED - UPS reports battery below its own capacity limit; grace 30s",
        "ERROR - InitiateShutdown failed, code 120",
        "SHUTDOWN ARMED - UPS reports battery below its own capacity limit; grace 30s",
        "ERROR - InitiateShutdown failed, code 3221225506",
        "SHUTDOWN ARMED - UPS reports battery below its own capacity limit; grace 30s",
    };
    EXPECT_EQ(expected, log.Messages());
}

TEST_F(ShutdownController, PrivilegeNotAssignedLogsTheErrorDisarmsAndRequestsNothing)
{
    fake.adjustLastError = ERROR_NOT_ALL_ASSIGNED;
    ArmShutdown(3);
    EXPECT_FALSE(IsShutdownArmed());
    EXPECT_TRUE(fake.requests.empty());
    EXPECT_FALSE(HandleIsOpen(fake.token));

    // The next pass on battery tries again.
    fake.adjustLastError = ERROR_SUCCESS;
    ArmShutdown(3);
    EXPECT_TRUE(IsShutdownArmed());
    EXPECT_EQ(1u, fake.requests.size());

    Lines expected = {
        "SHUTDOWN ARMED - runtime remaining fell below threshold; grace 30s",
        "ERROR - could not acquire SeShutdownPrivilege",
        "SHUTDOWN ARMED - runtime remaining fell below threshold; grace 30s",
    };
    EXPECT_EQ(expected, log.Messages());
}

TEST_F(ShutdownController, TokenNotOpenedOrPrivilegeNotFoundIsTheSameFailure)
{
    fake.openTokenResult = FALSE;
    ArmShutdown(1);
    EXPECT_FALSE(IsShutdownArmed());
    EXPECT_EQ(0, fake.lookupCalls);
    EXPECT_EQ(0, fake.adjustCalls);

    fake.openTokenResult = TRUE;
    fake.lookupResult = FALSE;
    ArmShutdown(1);
    EXPECT_FALSE(IsShutdownArmed());
    EXPECT_EQ(0, fake.adjustCalls);
    EXPECT_FALSE(HandleIsOpen(fake.token)) << "closed after a failed look-up too";

    EXPECT_TRUE(fake.requests.empty());
    Lines expected = {
        "SHUTDOWN ARMED - UPS raised ShutdownImminent; grace 30s",
        "ERROR - could not acquire SeShutdownPrivilege",
        "SHUTDOWN ARMED - UPS raised ShutdownImminent; grace 30s",
        "ERROR - could not acquire SeShutdownPrivilege",
    };
    EXPECT_EQ(expected, log.Messages());
}

TEST_F(ShutdownController, UserAbortActsOnlyWhileArmed)
{
    AbortShutdownByUser();
    EXPECT_EQ(0, fake.abortCalls);
    EXPECT_TRUE(log.Messages().empty());

    ArmShutdown(4);
    AbortShutdownByUser();
    EXPECT_FALSE(IsShutdownArmed());
    EXPECT_EQ(1, fake.abortCalls);
    EXPECT_TRUE(fake.abortMachineNull);

    AbortShutdownByUser();
    EXPECT_EQ(1, fake.abortCalls);

    Lines expected = {
        "SHUTDOWN ARMED - charge fell below threshold; grace 30s",
        "shutdown aborted by user",
    };
    EXPECT_EQ(expected, log.Messages());
}

TEST_F(ShutdownController, MainsBackCancelsOnlyWhileArmed)
{
    CancelShutdownOnMains();
    EXPECT_EQ(0, fake.abortCalls);
    EXPECT_TRUE(log.Messages().empty());

    ArmShutdown(1);
    CancelShutdownOnMains();
    EXPECT_FALSE(IsShutdownArmed());
    EXPECT_EQ(1, fake.abortCalls);
    EXPECT_TRUE(fake.abortMachineNull);

    CancelShutdownOnMains();
    EXPECT_EQ(1, fake.abortCalls);

    // Armed again after the cancel: the controller has no memory of it.
    ArmShutdown(1);
    EXPECT_TRUE(IsShutdownArmed());
    EXPECT_EQ(2u, fake.requests.size());

    Lines expected = {
        "SHUTDOWN ARMED - UPS raised ShutdownImminent; grace 30s",
        "mains restored - shutdown cancelled",
        "SHUTDOWN ARMED - UPS raised ShutdownImminent; grace 30s",
    };
    EXPECT_EQ(expected, log.Messages());
}

// Two threads racing: the monitor arming over and over, each time as a new
// outage, the user aborting over and over. Whatever the interleaving, once
// both stop a shutdown is pending exactly when the flag says armed.
struct RaceState {
    volatile LONG stop;
};

DWORD WINAPI ArmLoop(LPVOID parameter)
{
    RaceState* race = (RaceState*)parameter;
    while (!InterlockedCompareExchange(&race->stop, 0, 0)) {
        EndOutage();
        ArmShutdown(1);
    }
    return 0;
}

TEST_F(ShutdownController, ArmAndAbortFromTwoThreadsNeverLeaveAShutdownBehind)
{
    LogPath[0] = 0;   // thousands of lines are not the point here
    RaceState race = { 0 };
    HANDLE armer = CreateThread(NULL, 0, ArmLoop, &race, 0, NULL);
    int aborted = 0;
    DWORD started = GetTickCount();
    while (aborted < 500 && GetTickCount() - started < 3000) {
        bool wasArmed = IsShutdownArmed();
        AbortShutdownByUser();
        aborted += wasArmed && !IsShutdownArmed() ? 1 : 0;
    }
    InterlockedExchange(&race.stop, 1);
    WaitForSingleObject(armer, INFINITE);
    CloseHandle(armer);
    EXPECT_GT(aborted, 0);
    EXPECT_EQ(IsShutdownArmed() ? 1 : 0, fake.scheduled);
}

// The user's abort landing inside each call the arming makes: whatever the
// point, nothing stays scheduled, nothing reads armed, and the abort holds
// for the next pass.
TEST_F(ShutdownController, AnAbortLandingInsideTheArmingLeavesNothingScheduled)
{
    const char* points[] = { "OpenProcessToken", "LookupPrivilegeValueW", "AdjustTokenPrivileges",
                             "InitiateShutdownW", "InitiateShutdownW done" };
    Lines expected;
    for (const char* point : points) {
        SCOPED_TRACE(point);
        EndOutage();
        fake.interruptAt = point;
        fake.interruption = [] { AbortShutdownByUser(); };
        ArmShutdown(3);
        EXPECT_EQ(nullptr, fake.interruptAt) << "the abort never ran";
        EXPECT_FALSE(IsShutdownArmed());
        EXPECT_EQ(0, fake.scheduled);
        ArmShutdown(3);
        EXPECT_FALSE(IsShutdownArmed());
        expected.push_back("SHUTDOWN ARMED - runtime remaining fell below threshold; grace 30s");
        expected.push_back("shutdown aborted by user");
    }
    EXPECT_EQ(expected, log.Messages());
}

// A pass landing inside the user's abort, before and after the request is
// withdrawn, for the reason aborted and for a more urgent one: it cannot arm
// until the abort is done, so the abort never takes its request for the old
// one; the pass after arms the more urgent reason cleanly.
int InnerReason;
TEST_F(ShutdownController, APassLandingInsideTheUsersAbortArmsNothingUntilItIsDone)
{
    Lines expected;
    for (const char* point : { "AbortSystemShutdownW", "AbortSystemShutdownW done" }) {
        for (int reason : { 3, 1 }) {
            SCOPED_TRACE(std::string(point) + ", reason " + std::to_string(reason));
            EndOutage();
            ArmShutdown(3);
            ASSERT_TRUE(IsShutdownArmed());
            InnerReason = reason;
            fake.interruptAt = point;
            fake.interruption = [] { ArmShutdown(InnerReason); };
            AbortShutdownByUser();
            EXPECT_FALSE(IsShutdownArmed());
            EXPECT_EQ(0, fake.scheduled);
            ArmShutdown(1);
            EXPECT_TRUE(IsShutdownArmed());
            EXPECT_EQ(1, fake.scheduled);
            AbortShutdownByUser();
            expected.insert(expected.end(), { "SHUTDOWN ARMED - runtime remaining fell below threshold; grace 30s",
                                              "shutdown aborted by user",
                                              "SHUTDOWN ARMED - UPS raised ShutdownImminent; grace 30s",
                                              "shutdown aborted by user" });
        }
    }
    EXPECT_EQ(expected, log.Messages());
}

}  // namespace
