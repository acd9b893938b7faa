// The shutdown controller against stand-ins for its system calls: the exact
// request it makes, every move of the outage record (whose invariants are
// checked wherever another thread's work is made to land), the
// hibernation's countdown and the lost UPS's on a stand-in clock, and the
// log lines.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>
#include <string>
#include <vector>
#include "app/settings.h"
#include "monitor/monitor.h"
#include "settings_change.h"
#include "monitor/shutdown.h"
#include "log_capture.h"
#include "status_builder.h"

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

    DWORD now = 1000;
    BOOLEAN capabilitiesResult = TRUE;
    BOOLEAN s4 = TRUE;
    BOOLEAN hiberFile = TRUE;
    BOOLEAN suspendResult = TRUE;
    DWORD suspendError = 0;
    std::vector<std::string> suspends;   // "hibernate force wakeEventsDisabled" of each request
};

FakeSystem* Fake;

void Interrupt(const char* point)
{
    if (Fake->interruptAt && strcmp(Fake->interruptAt, point) == 0) {
        Fake->interruptAt = nullptr;
        EXPECT_TRUE(IsOutageConsistent(&Outage)) << "before the interruption at " << point;
        Fake->interruption();
        EXPECT_TRUE(IsOutageConsistent(&Outage)) << "after the interruption at " << point;
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

DWORD WINAPI FakeGetTickCount()
{
    return Fake->now;
}

BOOLEAN WINAPI FakeGetPwrCapabilities(SYSTEM_POWER_CAPABILITIES* capabilities)
{
    memset(capabilities, 0x5A, sizeof(*capabilities));
    capabilities->SystemS4 = Fake->s4;
    capabilities->HiberFilePresent = Fake->hiberFile;
    return Fake->capabilitiesResult;
}

BOOLEAN WINAPI FakeSetSuspendState(BOOLEAN hibernate, BOOLEAN force, BOOLEAN wakeEventsDisabled)
{
    Interrupt("SetSuspendState");
    Fake->suspends.push_back(std::to_string(hibernate) + " " + std::to_string(force) + " " +
                             std::to_string(wakeEventsDisabled));
    SetLastError(Fake->suspendError);
    return Fake->suspendResult;
}

class ShutdownController : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = ShutdownCalls;
        Fake = &fake;
        ShutdownCalls.OpenProcessToken = FakeOpenProcessToken;
        ShutdownCalls.LookupPrivilegeValueW = FakeLookupPrivilegeValueW;
        ShutdownCalls.AdjustTokenPrivileges = FakeAdjustTokenPrivileges;
        ShutdownCalls.InitiateShutdownW = FakeInitiateShutdownW;
        ShutdownCalls.AbortSystemShutdownW = FakeAbortSystemShutdownW;
        ShutdownCalls.GetTickCount = FakeGetTickCount;
        ShutdownCalls.GetPwrCapabilities = FakeGetPwrCapabilities;
        ShutdownCalls.SetSuspendState = FakeSetSuspendState;
        Outage = {};
        RestoreDefaultSettings();
    }
    void TearDown() override
    {
        ShutdownCalls = saved_;
        RestoreDefaultSettings();
        Outage = {};
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
};

using Lines = std::vector<std::string>;

TEST_F(ShutdownController, ReasonTextsAndTheFallback)
{
    EXPECT_STREQ(L"UPS raised ShutdownImminent", ShutdownReasonText(1));
    EXPECT_STREQ(L"UPS reports battery below its own capacity limit", ShutdownReasonText(2));
    EXPECT_STREQ(L"runtime remaining fell below threshold", ShutdownReasonText(3));
    EXPECT_STREQ(L"charge fell below threshold", ShutdownReasonText(4));
    EXPECT_STREQ(L"UPS lost while on battery", ShutdownReasonText(5));
    EXPECT_STREQ(L"battery critical", ShutdownReasonText(0));
    EXPECT_STREQ(L"battery critical", ShutdownReasonText(6));
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
    ChangeSettings([](Settings* s) { s->GraceSeconds = 600; });
    const int reasons[] = { 1, 2, 3, 4, 0, 7 };
    for (int reason : reasons) {
        Outage = {};
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
    ChangeSettings([](Settings* s) { s->GraceSeconds = 0; });
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
        ForgetShutdownAfterResume();
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

// The user's abort and a pass interleaved at every call either makes: the
// abort inside each call of the arming, a pass (for the reason aborted or a
// more urgent one) inside the abort's, before and after it withdraws the
// request. Whatever the point, nothing is left armed, scheduled or counting,
// the abort holds, and the more urgent reason then arms cleanly.
int InnerReason;
TEST_F(ShutdownController, NoInterleavingOfTheUsersAbortWithAPassLeavesAnythingBehind)
{
    const struct {
        int action;
        const char* point;
        int innerReason;   // 0: the abort lands inside the arming
    } cases[] = {
        { SHUTDOWN_ACTION_POWER_OFF, "OpenProcessToken", 0 },
        { SHUTDOWN_ACTION_POWER_OFF, "LookupPrivilegeValueW", 0 },
        { SHUTDOWN_ACTION_POWER_OFF, "AdjustTokenPrivileges", 0 },
        { SHUTDOWN_ACTION_POWER_OFF, "InitiateShutdownW", 0 },
        { SHUTDOWN_ACTION_POWER_OFF, "InitiateShutdownW done", 0 },
        { SHUTDOWN_ACTION_HIBERNATE, "AdjustTokenPrivileges", 0 },
        { SHUTDOWN_ACTION_POWER_OFF, "AbortSystemShutdownW", 3 },
        { SHUTDOWN_ACTION_POWER_OFF, "AbortSystemShutdownW", 1 },
        { SHUTDOWN_ACTION_POWER_OFF, "AbortSystemShutdownW done", 3 },
        { SHUTDOWN_ACTION_POWER_OFF, "AbortSystemShutdownW done", 1 },
    };
    Lines expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.point) + ", " + std::to_string(c.innerReason));
        ForgetShutdownAfterResume();
        ChangeSettings([&](Settings* s) { s->ShutdownAction = c.action; });
        InnerReason = c.innerReason;
        if (c.innerReason)
            ArmShutdown(3);
        fake.interruptAt = c.point;
        fake.interruption = [] { InnerReason ? ArmShutdown(InnerReason) : AbortShutdownByUser(); };
        c.innerReason ? AbortShutdownByUser() : ArmShutdown(3);
        EXPECT_EQ(nullptr, fake.interruptAt) << "the interruption never ran";
        EXPECT_FALSE(IsShutdownArmed());
        EXPECT_EQ(0, fake.scheduled);
        EXPECT_EQ(INFINITE, HibernationDueInMs());
        ArmShutdown(3);
        EXPECT_FALSE(IsShutdownArmed());
        ArmShutdown(1);
        EXPECT_TRUE(IsShutdownArmed());
        AbortShutdownByUser();
        const char* prefix = c.action == SHUTDOWN_ACTION_HIBERNATE ? "HIBERNATE ARMED - " : "SHUTDOWN ARMED - ";
        expected.insert(expected.end(), { prefix + std::string("runtime remaining fell below threshold; grace 30s"),
                                          "shutdown aborted by user",
                                          prefix + std::string("UPS raised ShutdownImminent; grace 30s"),
                                          "shutdown aborted by user" });
    }
    EXPECT_EQ(expected, log.Messages());
}

TEST_F(ShutdownController, TheArmedLineSaysWhatWillHappenAndAMissingHibernationPowersOff)
{
    const char* missing = "ERROR - hibernation not available, shutting down instead";
    const char* powerOff = "SHUTDOWN ARMED - charge fell below threshold; grace 30s";
    const struct {
        const char* name;
        int action;
        BOOLEAN capabilities, s4, hiberFile;
        Lines lines;
    } cases[] = {
        { "power off", SHUTDOWN_ACTION_POWER_OFF, FALSE, FALSE, FALSE, { powerOff } },
        { "hibernate", SHUTDOWN_ACTION_HIBERNATE, TRUE, TRUE, TRUE,
          { "HIBERNATE ARMED - charge fell below threshold; grace 30s" } },
        { "hibernation switched off", SHUTDOWN_ACTION_HIBERNATE, TRUE, FALSE, TRUE, { missing, powerOff } },
        { "no hibernation file", SHUTDOWN_ACTION_HIBERNATE, TRUE, TRUE, FALSE, { missing, powerOff } },
        { "capabilities unknown", SHUTDOWN_ACTION_HIBERNATE, FALSE, TRUE, TRUE, { missing, powerOff } },
    };
    size_t seen = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outage = {};
        InterlockedExchange(&fake.scheduled, 0);
        fake.requests.clear();
        ChangeSettings([&](Settings* s) { s->ShutdownAction = c.action; });
        fake.capabilitiesResult = c.capabilities;
        fake.s4 = c.s4;
        fake.hiberFile = c.hiberFile;
        ArmShutdown(4);
        EXPECT_TRUE(IsShutdownArmed());
        bool hibernates = c.lines[0][0] == 'H';
        EXPECT_EQ(hibernates ? 0u : 1u, fake.requests.size());
        EXPECT_EQ(hibernates ? 30000u : INFINITE, HibernationDueInMs());
        Lines all = log.Messages();
        EXPECT_EQ(c.lines, Lines(all.begin() + seen, all.end()));
        seen = all.size();
    }
}

TEST_F(ShutdownController, HibernationCountsItsGraceAcrossTheTickWrapThenHibernatesOnceAndHolds)
{
    ChangeSettings([](Settings* s) { s->ShutdownAction = SHUTDOWN_ACTION_HIBERNATE; });
    fake.now = 0xFFFFF000u;   // 4096 ms before the tick counter wraps
    ArmShutdown(4);
    EXPECT_EQ(30000u, HibernationDueInMs());
    // A change made while armed holds from the next arming, not this one.
    ChangeSettings([](Settings* s) {
        s->GraceSeconds = 600;
        s->ShutdownAction = SHUTDOWN_ACTION_POWER_OFF;
    });
    fake.now += 29999;
    HibernateWhenDue();
    EXPECT_EQ(1u, HibernationDueInMs());
    EXPECT_TRUE(IsShutdownArmed());
    EXPECT_TRUE(fake.suspends.empty());

    fake.now += 1;
    // An abort that comes once the request is under way has nothing to abort.
    fake.interruptAt = "SetSuspendState";
    fake.interruption = [] { AbortShutdownByUser(); };
    HibernateWhenDue();
    // With wake events disabled: no timer resumes it onto the empty battery.
    EXPECT_EQ((Lines{ "1 0 1" }), fake.suspends);
    EXPECT_FALSE(IsShutdownArmed());
    EXPECT_EQ(INFINITE, HibernationDueInMs());
    EXPECT_TRUE(fake.requests.empty());
    EXPECT_EQ(0, fake.abortCalls);

    // Under Wine the request returns having done nothing: the same reason
    // does not hibernate again; the UPS's own warning still arms.
    fake.now += 60000;
    ArmShutdown(4);
    HibernateWhenDue();
    EXPECT_FALSE(IsShutdownArmed());
    ArmShutdown(1);
    EXPECT_TRUE(IsShutdownArmed());
    Lines expected = {
        "HIBERNATE ARMED - charge fell below threshold; grace 30s",
        "hibernating",
        "SHUTDOWN ARMED - UPS raised ShutdownImminent; grace 600s",
    };
    EXPECT_EQ(expected, log.Messages());
}

// The abort, the mains' return and a resume each end an armed period for
// good; after the mains or a resume the next pass on battery arms again.
// Only a power-off Windows holds for Corvane is taken back: never another
// program's shutdown, for a hibernation.
TEST_F(ShutdownController, AbortMainsOrResumeDuringTheGraceStopItAndNothingIsLeftScheduled)
{
    const struct {
        const char* name;
        int action;
        void (*stop)();
        const char* line;
        bool rearms;
    } cases[] = {
        { "abort", SHUTDOWN_ACTION_HIBERNATE, AbortShutdownByUser, "shutdown aborted by user", false },
        { "mains", SHUTDOWN_ACTION_HIBERNATE, CancelShutdownOnMains, "mains restored - shutdown cancelled", true },
        { "resume", SHUTDOWN_ACTION_HIBERNATE, ForgetShutdownAfterResume, nullptr, true },
        { "resume, power off", SHUTDOWN_ACTION_POWER_OFF, ForgetShutdownAfterResume, nullptr, true },
    };
    Lines expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChangeSettings([&](Settings* s) { s->ShutdownAction = c.action; });
        Outage = {};
        // Someone else's shutdown, scheduled before the hibernation.
        InterlockedExchange(&fake.scheduled, c.action == SHUTDOWN_ACTION_HIBERNATE);
        LONG abortsBefore = fake.abortCalls;
        ArmShutdown(3);
        fake.now += 10000;
        c.stop();
        EXPECT_EQ(c.action == SHUTDOWN_ACTION_POWER_OFF, fake.abortCalls - abortsBefore);
        InterlockedExchange(&fake.scheduled, 0);
        fake.now += 30000;
        HibernateWhenDue();
        EXPECT_FALSE(IsShutdownArmed());
        EXPECT_EQ(0, fake.scheduled);
        EXPECT_EQ(INFINITE, HibernationDueInMs());
        EXPECT_TRUE(fake.suspends.empty());
        ArmShutdown(3);
        EXPECT_EQ(c.rearms, IsShutdownArmed() != 0);
        std::string armed = c.action == SHUTDOWN_ACTION_HIBERNATE ? "HIBERNATE" : "SHUTDOWN";
        armed += " ARMED - runtime remaining fell below threshold; grace 30s";
        expected.push_back(armed);
        if (c.line)
            expected.push_back(c.line);
        if (c.rearms)
            expected.push_back(armed);
    }
    EXPECT_EQ(expected, log.Messages());
}

TEST_F(ShutdownController, AFailedHibernationPowersOffAtOnceAndForTheRestOfTheOutage)
{
    ChangeSettings([](Settings* s) { s->ShutdownAction = SHUTDOWN_ACTION_HIBERNATE; });
    fake.suspendResult = FALSE;
    fake.suspendError = ERROR_NOT_SUPPORTED;
    fake.initiateResult = ERROR_CALL_NOT_IMPLEMENTED;
    ArmShutdown(2);
    fake.now += 30000;
    HibernateWhenDue();
    ASSERT_EQ(1u, fake.requests.size());
    EXPECT_EQ(0u, fake.requests[0].grace);
    EXPECT_EQ(9u, fake.requests[0].flags);
    EXPECT_EQ(L"Corvane: UPS reports battery below its own capacity limit. Saving and shutting down.",
              fake.requests[0].message);
    EXPECT_FALSE(IsShutdownArmed());

    // The power-off was refused too: the next pass arms again, not held,
    // for the battery is still running out, and a power-off again, at once.
    fake.initiateResult = ERROR_SUCCESS;
    ArmShutdown(2);
    EXPECT_TRUE(IsShutdownArmed());
    EXPECT_EQ(1, fake.scheduled);
    EXPECT_EQ(INFINITE, HibernationDueInMs()) << "a power-off, not a second countdown";
    ASSERT_EQ(2u, fake.requests.size());
    EXPECT_EQ(0u, fake.requests[1].grace);
    EXPECT_EQ((Lines{ "1 0 1" }), fake.suspends);

    const char* armed = "HIBERNATE ARMED - UPS reports battery below its own capacity limit; grace 30s";
    Lines expected = {
        armed, "hibernating", "ERROR - hibernate failed, code 50", "ERROR - InitiateShutdown failed, code 120",
        "SHUTDOWN ARMED - UPS reports battery below its own capacity limit; grace 0s",
    };
    EXPECT_EQ(expected, log.Messages());
}

// Passes on the stand-in clock: a UPS lost while on battery arms with its
// own reason once it has been gone 15 s, and only then.
TEST_F(ShutdownController, AUpsLostOnBatteryArmsAfterFifteenSecondsAndOnlyThen)
{
    const UpsStatus onLine = MakeStatus(1, 0), onBattery = MakeStatus(1, 1), gone = MakeStatus(0, 0, -1, -1);
    const struct {
        const UpsStatus* seen;
        DWORD msBefore;
        bool armed;
    } passes[] = {
        { &onLine, 0, false }, { &gone, 0, false }, { &gone, 60000, false },       // lost on line
        { &onBattery, 0, false }, { &gone, 0, false }, { &gone, 10000, false },
        { &onBattery, 0, false }, { &gone, 0, false }, { &gone, 14999, false },     // counted afresh
        { &gone, 1, true },
        { &onLine, 0, false }, { &gone, 60000, false },                              // the outage is over
    };
    for (const auto& pass : passes) {
        fake.now += pass.msBefore;
        DecideShutdown(pass.seen);
        EXPECT_EQ(pass.armed, IsShutdownArmed() != 0) << fake.now;
        EXPECT_TRUE(IsOutageConsistent(&Outage));
    }
    EXPECT_EQ((Lines{ "SHUTDOWN ARMED - UPS lost while on battery; grace 30s", "mains restored - shutdown cancelled" }),
              log.Messages());
}

}  // namespace
