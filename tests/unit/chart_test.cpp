// The history chart: where a sample lands for its age (the hour's edge, the
// tick counter's wrap, MulDiv's rounding), which message it shows for how
// much history, and the chart drawn with real GDI from the real HistoryRing.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>
#include <string>
#include "monitor/snapshot.h"
#include "ui/chart.h"
#include "ui/theme.h"
#include "canvas.h"

namespace {

// The chart's rectangle in the 96-DPI panel.
const RECT CHART = { 18, 350, 362, 446 };

TEST(ChartPoint, PlacesASampleByItsAgeAndItsValue)
{
    const struct {
        UINT32 now;
        UINT32 tick;
        int percent;
        BOOL plotted;
        LONG x, y;
    } cases[] = {
        { 10000000, 10000000, 0, TRUE, 362, 446 },               // now, 0 %: bottom right
        { 10000000, 10000000 - 3600000, 100, TRUE, 18, 350 },   // exactly an hour: left edge, top
        { 10000000, 10000000 - 3600001, 50, FALSE, 0, 0 },       // a millisecond more: left out
        { 10000000, 10000000 - 1800000, 50, TRUE, 190, 398 },
        { 10000000, 10000000 - 225000, 25, TRUE, 340, 422 },     // 21.5 px rounds away from zero
        { 10000000, 10000000 - 60000, 33, TRUE, 356, 415 },      // 31.68 px truncates
        { 10000000, 10000000, 255, TRUE, 362, 350 },             // above 100 % drawn at 100 %
        { 1000, 1000u - 3600000u, 100, TRUE, 18, 350 },          // across the wrap of the tick counter
        { 1000, 1000u - 3600001u, 100, FALSE, 0, 0 },
        { 1000, 1000u - 1800000u, 50, TRUE, 190, 398 },
        { 1000, 0xFFFFFFFFu, 50, TRUE, 362, 398 },               // 1001 ms old
        { 1000, 1001, 50, FALSE, 0, 0 },                          // stored after now was read
    };
    for (const auto& c : cases) {
        POINT point = { -7, -7 };
        EXPECT_EQ(c.plotted, ChartPoint(&CHART, c.now, c.tick, c.percent, &point)) << c.now << " " << c.tick;
        EXPECT_EQ(c.plotted ? c.x : -7, point.x) << c.now << " " << c.tick;
        EXPECT_EQ(c.plotted ? c.y : -7, point.y) << c.now << " " << c.tick;
    }
}

std::wstring MessageFor(BOOL present, std::initializer_list<UINT32> ticks)
{
    HistorySample samples[4] = {};
    int count = 0;
    for (UINT32 tick : ticks)
        samples[count++].Tick = tick;
    const WCHAR* message = ChartMessage(present, count, samples);
    return message ? message : L"(none)";
}

TEST(ChartMessage, SaysWhatIsMissingUntilFiveMinutesAreIn)
{
    const std::wstring collecting = L"collecting...";
    const std::wstring filling = L"collecting... the hour fills in as it runs";
    EXPECT_EQ(collecting, MessageFor(TRUE, {}));
    EXPECT_EQ(L"no UPS", MessageFor(FALSE, {}));
    EXPECT_EQ(collecting, MessageFor(TRUE, { 5000 }));
    EXPECT_EQ(L"no UPS", MessageFor(FALSE, { 5000 }));
    EXPECT_EQ(filling, MessageFor(TRUE, { 5000, 15000 }));
    EXPECT_EQ(filling, MessageFor(FALSE, { 5000, 15000 }));
    EXPECT_EQ(filling, MessageFor(TRUE, { 5000, 9000, 304999 }));
    EXPECT_EQ(L"(none)", MessageFor(TRUE, { 5000, 9000, 305000 }));
    EXPECT_EQ(filling, MessageFor(TRUE, { 0xFFFFFFFFu - 4999, 5000 }));   // 10 s across the wrap
    EXPECT_EQ(L"(none)", MessageFor(TRUE, { 0xFFFFFFFFu - 294999, 5000 }));
}

// DrawHistoryChart reads the real HistoryRing; each case fills it with
// samples of the given ages (seconds, oldest first).
class ChartDrawing : public ::testing::Test {
protected:
    static const COLORREF LOAD = RGB(200, 30, 160);
    static const COLORREF CHARGE = RGB(20, 40, 220);

    void SetUp() override
    {
        CurrentPalette = LightPalette;
        DpiValue = 96;
        BuildFonts();
        memset(&HistoryRing, 0, sizeof(HistoryRing));
    }
    void TearDown() override { memset(&HistoryRing, 0, sizeof(HistoryRing)); }

    static void Store(int ageSeconds, int load, int charge)
    {
        ASSERT_TRUE(SampleHistory(&HistoryRing, GetTickCount() - (UINT32)ageSeconds * 1000, load, charge));
    }

    static void StoreHour(int load, int charge)
    {
        for (int age = 3590; age >= 0; age -= 10)
            Store(age, load, charge);
    }
};

TEST_F(ChartDrawing, AFullHourDrawsBothLinesOverTheGridAndNoMessage)
{
    StoreHour(25, 90);
    Canvas canvas(380, 520, LightPalette[SLOT_BACKGROUND]);
    DrawHistoryChart(canvas.Dc(), &CHART, TRUE, LOAD, CHARGE);

    // Load 25 % at y 422, charge 90 % at y 360, each 2 px wide, edge to edge.
    RECT load = canvas.Bounds({ 0, 300, 380, 500 }, LOAD);
    EXPECT_LE(load.left, 19);
    EXPECT_GE(load.right, 362);
    EXPECT_GE(load.top, 420);
    EXPECT_LE(load.bottom, 425);
    RECT charge = canvas.Bounds({ 0, 300, 380, 500 }, CHARGE);
    EXPECT_GE(charge.top, 358);
    EXPECT_LE(charge.bottom, 363);

    // Grid lines 1 px thick at 100 %, 50 % and 0 % (the bottom edge).
    for (int y : { 350, 398, 446 }) {
        EXPECT_TRUE(canvas.All({ 18, y, 362, y + 1 }, LightPalette[SLOT_LINES])) << y;
        EXPECT_EQ(0, canvas.Count({ 18, y + 1, 362, y + 2 }, LightPalette[SLOT_LINES])) << y;
    }
    EXPECT_EQ(0, canvas.Count(CHART, LightPalette[SLOT_DIM_TEXT]));
}

TEST_F(ChartDrawing, TooLittleHistoryShowsAMessageAndLinesOnlyFromTwoSamplesInTheHour)
{
    const struct {
        const char* name;
        void (*fill)();
        BOOL present;
        bool message;
        bool lines;
    } cases[] = {
        { "empty, UPS present", [] {}, TRUE, true, false },
        { "empty, no UPS", [] {}, FALSE, true, false },
        { "one sample", [] { Store(0, 40, 80); }, TRUE, true, false },
        { "two samples 10 s apart", [] { Store(10, 40, 80); Store(0, 40, 80); }, TRUE, true, true },
        { "six minutes", [] { for (int age = 360; age >= 0; age -= 10) Store(age, 40, 80); }, TRUE, false, true },
        { "one sample left in the hour",
          [] { for (int age = 4000; age >= 3610; age -= 10) Store(age, 40, 80); Store(0, 40, 80); }, TRUE, false,
          false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        memset(&HistoryRing, 0, sizeof(HistoryRing));
        c.fill();
        Canvas canvas(380, 520, LightPalette[SLOT_BACKGROUND]);
        DrawHistoryChart(canvas.Dc(), &CHART, c.present, LOAD, CHARGE);
        EXPECT_EQ(c.message, canvas.Count(CHART, LightPalette[SLOT_DIM_TEXT]) > 0);
        EXPECT_EQ(c.lines, canvas.Count(CHART, LOAD) > 0);
        EXPECT_EQ(c.lines, canvas.Count(CHART, CHARGE) > 0);
    }
}

}  // namespace
