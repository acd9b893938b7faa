// The pure pieces of a monitor pass: the log lines it composes and the
// choice of shutdown reason.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "monitor/monitor.h"
#include "monitor/shutdown.h"

namespace {

UpsStatus Ups(INT32 onBattery, INT32 charge, INT32 runtime)
{
    UpsStatus s;
    ResetStatus(&s);
    s.Present = 1;
    s.AcPresent = !onBattery;
    s.OnBattery = onBattery;
    s.ChargePercent = charge;
    s.RuntimeSeconds = runtime;
    return s;
}

std::wstring Mains(const UpsStatus& s)
{
    WCHAR line[MONITOR_LINE_UNITS];
    int length = ComposeMainsLine(line, &s);
    EXPECT_EQ((int)wcslen(line), length);
    return line;
}

std::wstring Connected(const UpsStatus& s)
{
    WCHAR line[MONITOR_LINE_UNITS];
    int length = ComposeConnectedLine(line, &s);
    EXPECT_EQ((int)wcslen(line), length);
    return line;
}

TEST(MainsLine, OnLineAndOnBatteryWithChargeAndRuntime)
{
    EXPECT_EQ(L"on line, 100%, 1 h 5 min", Mains(Ups(0, 100, 3900)));
    EXPECT_EQ(L"MAINS LOST - on battery, 97%, 24 min", Mains(Ups(1, 97, 1440)));
    EXPECT_EQ(L"MAINS LOST - on battery, 0%, 0 min", Mains(Ups(1, 0, 0)));
}

TEST(MainsLine, UnreportedChargeLeavesOutThePercentage)
{
    EXPECT_EQ(L"MAINS LOST - on battery, unknown", Mains(Ups(1, -1, -1)));
    EXPECT_EQ(L"on line, 5 min", Mains(Ups(0, -1, 300)));
    EXPECT_EQ(L"on line, 40%, unknown", Mains(Ups(0, 40, -1)));
}

TEST(ConnectedLine, NamesOrQuestionMarks)
{
    UpsStatus s = Ups(0, 100, 3900);
    wcscpy(s.Manufacturer, L"Quillfen Labs");
    wcscpy(s.Product, L"Emulated UPS 1500");
    EXPECT_EQ(L"UPS connected: Quillfen Labs Emulated UPS 1500", Connected(s));
    s.Manufacturer[0] = 0;
    EXPECT_EQ(L"UPS connected: ? Emulated UPS 1500", Connected(s));
    s.Product[0] = 0;
    EXPECT_EQ(L"UPS connected: ? ?", Connected(s));
    wcscpy(s.Manufacturer, L"M");
    EXPECT_EQ(L"UPS connected: M ?", Connected(s));
}

TEST(ConnectedLine, UnterminatedNamesStopAtTheirFieldAndTheLineIsCut)
{
    UpsStatus s = Ups(0, 100, 3900);
    for (int i = 0; i < UPS_NAME_UNITS; i++) {
        s.Manufacturer[i] = L'a';
        s.Product[i] = L'b';
    }
    // 15 + 64 + 1 + 64 = 144 units: both names whole, nothing from beyond.
    std::wstring expected = L"UPS connected: " + std::wstring(64, L'a') + L" " + std::wstring(64, L'b');
    EXPECT_EQ(expected, Connected(s));
}

TEST(ShutdownReason, NothingOnLineOrWithoutAUps)
{
    UpsStatus s = Ups(0, 0, 0);
    s.ShutdownImminent = 1;
    s.BelowCapacityLimit = 1;
    EXPECT_EQ(0, ChooseShutdownReason(&s, 300, 20));
    s = Ups(1, 0, 0);
    s.Present = 0;
    EXPECT_EQ(0, ChooseShutdownReason(&s, 300, 20));
}

TEST(ShutdownReason, FirstConditionThatHoldsWins)
{
    UpsStatus s = Ups(1, 5, 10);
    s.ShutdownImminent = 1;
    s.BelowCapacityLimit = 1;
    EXPECT_EQ(SHUTDOWN_REASON_IMMINENT, ChooseShutdownReason(&s, 300, 20));
    s.ShutdownImminent = 0;
    EXPECT_EQ(SHUTDOWN_REASON_BELOW_LIMIT, ChooseShutdownReason(&s, 300, 20));
    s.BelowCapacityLimit = 0;
    EXPECT_EQ(SHUTDOWN_REASON_RUNTIME, ChooseShutdownReason(&s, 300, 20));
}

TEST(ShutdownReason, ThresholdsArmOnEqualityAndNotOneAbove)
{
    EXPECT_EQ(SHUTDOWN_REASON_RUNTIME, [] { UpsStatus t = Ups(1, 90, 300); return ChooseShutdownReason(&t, 300, 20); }());
    UpsStatus s = Ups(1, 20, 301);
    EXPECT_EQ(SHUTDOWN_REASON_CHARGE, ChooseShutdownReason(&s, 300, 20));
    s = Ups(1, 21, 301);
    EXPECT_EQ(0, ChooseShutdownReason(&s, 300, 20));
    s = Ups(1, 21, 0);
    EXPECT_EQ(SHUTDOWN_REASON_RUNTIME, ChooseShutdownReason(&s, 0, 20));
    s = Ups(1, 1, 3601);
    EXPECT_EQ(0, ChooseShutdownReason(&s, 3600, 0)) << "charge threshold 0 needs exactly 0";
    s.ChargePercent = 0;
    EXPECT_EQ(SHUTDOWN_REASON_CHARGE, ChooseShutdownReason(&s, 3600, 0));
}

TEST(ShutdownReason, UnreportedValuesPassOnToTheNextTest)
{
    UpsStatus s = Ups(1, 10, -1);
    EXPECT_EQ(SHUTDOWN_REASON_CHARGE, ChooseShutdownReason(&s, 300, 20));
    s = Ups(1, -1, -1);
    EXPECT_EQ(0, ChooseShutdownReason(&s, 300, 20));
    // A huge raw runtime reads as negative: unreported.
    s = Ups(1, 50, (INT32)0x80000000u);
    EXPECT_EQ(0, ChooseShutdownReason(&s, 300, 20));
}

}  // namespace
