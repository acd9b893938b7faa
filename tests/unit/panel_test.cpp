// The status panel drawn with real GDI into bitmaps of the test's own, for
// each state the panel must show, at 96 and 144 DPI and at a wider client,
// then checked at the layout's rectangles: lines and bars pixel for pixel,
// texts by the presence of their colour inside their rectangle (glyphs
// depend on the fonts Wine has). The row texts and the threshold sentence
// are checked as text.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>
#include <string>
#include "app/settings.h"
#include "settings_change.h"
#include "monitor/snapshot.h"
#include "ui/panel.h"
#include "ui/theme.h"
#include "../support/status_example.h"
#include "canvas.h"

namespace {

const COLORREF GREEN = RGB(62, 107, 76);
const COLORREF GREY = RGB(110, 105, 96);

// The rectangles of the layout, as the panel's design gives them.
struct Layout {
    const char* name;
    int dpi, width, height;
    int left, right;
    RECT heading;
    int separator1, lineHeight;
    RECT band;
    int dialLeft, bandRight;
    RECT capacity, bar;
    int rowTop[5], rowHeight;
    RECT legend;
    int keySquare;
    RECT chart;
    int separator2;
    RECT sentence, banner;
};

const Layout LAYOUTS[] = {
    { "96 dpi", 96, 380, 520, 18, 362, { 18, 18, 362, 44 }, 44, 1, { 18, 56, 362, 152 }, 266, 256,
      { 18, 122, 256, 140 }, { 18, 162, 362, 172 }, { 186, 212, 238, 264, 290 }, 26, { 18, 326, 362, 344 }, 7,
      { 18, 350, 362, 446 }, 458, { 18, 468, 362, 488 }, { 18, 488, 362, 508 } },
    { "144 dpi", 144, 570, 780, 27, 543, { 27, 27, 543, 66 }, 66, 2, { 27, 84, 543, 228 }, 399, 384,
      { 27, 183, 384, 210 }, { 27, 243, 543, 258 }, { 279, 318, 357, 396, 435 }, 39, { 27, 489, 543, 516 }, 11,
      { 27, 525, 543, 669 }, 687, { 27, 702, 543, 732 }, { 27, 732, 543, 762 } },
    { "96 dpi, 500 wide", 96, 500, 520, 18, 482, { 18, 18, 482, 44 }, 44, 1, { 18, 56, 482, 152 }, 386, 376,
      { 18, 122, 376, 140 }, { 18, 162, 482, 172 }, { 186, 212, 238, 264, 290 }, 26, { 18, 326, 482, 344 }, 7,
      { 18, 350, 482, 446 }, 458, { 18, 468, 482, 488 }, { 18, 488, 482, 508 } },
    // Cut to a work area 105 px too short: the chart gives them up, the rule
    // and the banner move up with its bottom.
    { "144 dpi, 105 short", 144, 570, 675, 27, 543, { 27, 27, 543, 66 }, 66, 2, { 27, 84, 543, 228 }, 399, 384,
      { 27, 183, 384, 210 }, { 27, 243, 543, 258 }, { 279, 318, 357, 396, 435 }, 39, { 27, 489, 543, 516 }, 11,
      { 27, 525, 543, 564 }, 582, { 27, 597, 543, 627 }, { 27, 627, 543, 657 } },
};
const int LAYOUT_COUNT = sizeof(LAYOUTS) / sizeof(LAYOUTS[0]);

// A state to draw and what the panel must show for it. barRight holds the
// charge bar's filled right edge for each layout; 0 means no bar.
struct PanelCase {
    const char* name;
    void (*setup)(UpsStatus*);
    bool armed;
    bool dark;
    COLORREF level;
    int barRight[LAYOUT_COUNT];
    bool dial;
    bool capacity;
    COLORREF inputColour;
    COLORREF batteryColour;
};

void OnBattery(UpsStatus* s)
{
    SetOnLineExample(s);
    s->AcPresent = 0;
    s->OnBattery = 1;
    s->Discharging = 1;
    s->ChargePercent = 40;
    s->RuntimeSeconds = 900;
}

void Critical(UpsStatus* s)
{
    OnBattery(s);
    s->ChargePercent = 15;
    s->RuntimeSeconds = 300;
}

const COLORREF PRIMARY = RGB(27, 26, 21);   // light palette slot 2
const COLORREF PRIMARY_DARK = RGB(237, 235, 226);

const PanelCase CASES[] = {
    { "on line", SetOnLineExample, false, false, GREEN, { 362, 543, 482, 543 }, true, true, PRIMARY, PRIMARY },
    { "on battery", OnBattery, false, false, COLOUR_AMBER, { 155, 233, 203, 233 }, true, true, COLOUR_AMBER, PRIMARY },
    { "critical", Critical, false, false, COLOUR_RED, { 69, 104, 87, 104 }, true, true, COLOUR_AMBER, PRIMARY },
    { "load unreported",
      [](UpsStatus* s) { SetOnLineExample(s); s->LoadPercent = -1; s->LoadWatts = -1; },
      false, false, GREEN, { 362, 543, 482, 543 }, false, false, PRIMARY, PRIMARY },
    { "replace battery and overload",
      [](UpsStatus* s) { SetOnLineExample(s); s->NeedsReplacement = 1; s->Overload = 1; },
      false, false, GREEN, { 362, 543, 482, 543 }, true, true, PRIMARY, COLOUR_RED },
    { "no UPS", ResetStatus, false, false, GREY, { 0, 0, 0, 0 }, false, false, PRIMARY, PRIMARY },
    { "armed", Critical, true, false, COLOUR_RED, { 69, 104, 87, 104 }, true, true, COLOUR_AMBER, PRIMARY },
    { "dark", SetOnLineExample, false, true, GREEN, { 362, 543, 482, 543 }, true, true, PRIMARY_DARK, PRIMARY_DARK },
    { "longest name",
      [](UpsStatus* s) {
          SetOnLineExample(s);
          for (int i = 0; i < UPS_NAME_UNITS - 1; i++)
              s->Product[i] = L'W';
          s->Product[UPS_NAME_UNITS - 1] = 0;
      },
      false, false, GREEN, { 362, 543, 482, 543 }, true, true, PRIMARY, PRIMARY },
};

struct Drawn {
    const PanelCase& state;
    const Layout& layout;
    const COLORREF* palette;
    Canvas canvas;
    int index;   // of the layout, for barRight

    Drawn(const PanelCase& c, int layoutIndex)
        : state(c), layout(LAYOUTS[layoutIndex]), palette(c.dark ? DarkPalette : LightPalette),
          canvas(LAYOUTS[layoutIndex].width, LAYOUTS[layoutIndex].height, RGB(1, 2, 3)), index(layoutIndex)
    {
        DpiValue = layout.dpi;
        BuildFonts();
        CurrentPalette = palette;
        UpsStatus status;
        c.setup(&status);
        DrawPanel(canvas.Dc(), layout.width, layout.height, &status, c.armed);
    }

    COLORREF Slot(int slot) const { return palette[slot]; }
    // Text at 96 DPI can be as small as the two pixels of a hyphen.
    bool Shows(const RECT& r, COLORREF colour) const { return canvas.Count(r, colour) >= 2; }
    bool Blank(const RECT& r) const { return canvas.All(r, Slot(SLOT_BACKGROUND)); }
};

// Runs check over every state in every layout.
template <typename Check>
void ForEachDrawing(Check check)
{
    RestoreDefaultSettings();
    memset(&HistoryRing, 0, sizeof(HistoryRing));
    for (int layout = 0; layout < LAYOUT_COUNT; layout++) {
        for (const PanelCase& c : CASES) {
            SCOPED_TRACE(std::string(c.name) + ", " + LAYOUTS[layout].name);
            Drawn drawn(c, layout);
            check(drawn);
        }
    }
    CurrentPalette = LightPalette;
}

// A horizontal line exactly lineHeight thick from left to right.
void ExpectLine(const Drawn& d, int top)
{
    const Layout& l = d.layout;
    EXPECT_TRUE(d.canvas.All({ l.left, top, l.right, top + l.lineHeight }, d.Slot(SLOT_LINES))) << top;
    EXPECT_TRUE(d.Blank({ l.left, top - 1, l.right, top })) << top;
    EXPECT_TRUE(d.Blank({ l.left, top + l.lineHeight, l.right, top + l.lineHeight + 1 })) << top;
    EXPECT_TRUE(d.Blank({ l.left - 1, top, l.left, top + 1 })) << top;
    EXPECT_TRUE(d.Blank({ l.right, top, l.right + 1, top + 1 })) << top;
}

TEST(PanelDrawing, BackgroundCoversTheClientAndBothSeparatorsSitWhereTheLayoutPutsThem)
{
    ForEachDrawing([](const Drawn& d) {
        const Layout& l = d.layout;
        EXPECT_TRUE(d.Blank({ 0, 0, l.width, l.heading.top }));
        EXPECT_TRUE(d.Blank({ 0, 0, l.left, l.height }));
        EXPECT_TRUE(d.Blank({ l.right, 0, l.width, l.height }));
        ExpectLine(d, l.separator1);
        ExpectLine(d, l.separator2);
    });
}

TEST(PanelDrawing, HeadingNamesTheProgramAndTheDevice)
{
    ForEachDrawing([](const Drawn& d) {
        const Layout& l = d.layout;
        int middle = (l.left + l.right) / 2;
        EXPECT_TRUE(d.Shows({ l.left, l.heading.top, middle, l.heading.bottom }, d.Slot(SLOT_PRIMARY_TEXT)));
        EXPECT_TRUE(d.Shows({ middle, l.heading.top, l.right, l.heading.bottom }, d.Slot(SLOT_DIM_TEXT)));
        // However long, the device's name stops short of the program's.
        SIZE title = { 0, 0 };
        SelectObject(d.canvas.Dc(), TitleFont);
        GetTextExtentPoint32W(d.canvas.Dc(), L"Corvane", 7, &title);
        EXPECT_EQ(0, d.canvas.Count({ l.left, l.heading.top, l.left + title.cx, l.heading.bottom },
                                    d.Slot(SLOT_DIM_TEXT)));
    });
}

TEST(PanelDrawing, StatusBandShowsTheWordTheDialAndTheCapacityInTheLevelColour)
{
    ForEachDrawing([](const Drawn& d) {
        const Layout& l = d.layout;
        const RECT& band = l.band;
        RECT square = { l.dialLeft, band.top, l.right, band.bottom };
        int wordRight = d.state.dial ? l.bandRight : l.right;
        EXPECT_TRUE(d.Shows({ l.left, band.top, wordRight, band.bottom }, d.state.level)) << "status word";
        EXPECT_TRUE(d.Blank({ l.left, l.separator1 + l.lineHeight, l.right, band.top })) << "gap above the band";
        if (!d.state.dial) {
            EXPECT_TRUE(d.Blank(square)) << "no dial";
        } else {
            // Ring 38 % of the radius wide: its middle is 81 % of the radius out.
            int half = (square.right - square.left) / 2;
            int centreX = square.left + half;
            int centreY = square.top + half;
            int ring = half * 81 / 100;
            EXPECT_EQ(d.state.level, d.canvas.At(centreX + half / 10, centreY - ring)) << "sector at 12 o'clock";
            EXPECT_EQ(d.Slot(SLOT_LINES), d.canvas.At(centreX, centreY + ring)) << "track at 6 o'clock";
            EXPECT_EQ(d.Slot(SLOT_BACKGROUND), d.canvas.At(square.left, square.top)) << "dial corner";
            EXPECT_TRUE(d.Shows({ centreX - half / 2, centreY - half / 4, centreX + half / 2, centreY + half / 4 },
                                d.Slot(SLOT_PRIMARY_TEXT)))
                << "percentage";
            EXPECT_TRUE(d.Blank({ l.bandRight, band.top, l.dialLeft, band.bottom })) << "gap left of the dial";
        }
        EXPECT_EQ(d.state.capacity, d.Shows(l.capacity, d.Slot(SLOT_DIM_TEXT))) << "capacity line";
    });
}

TEST(PanelDrawing, ChargeBarIsFilledInTheLevelColourToTheCharge)
{
    ForEachDrawing([](const Drawn& d) {
        const Layout& l = d.layout;
        const RECT& bar = l.bar;
        int filled = d.state.barRight[d.index];
        if (!filled) {
            EXPECT_TRUE(d.Blank(bar));
            return;
        }
        EXPECT_TRUE(d.canvas.All({ bar.left, bar.top, filled, bar.bottom }, d.state.level));
        EXPECT_TRUE(d.canvas.All({ filled, bar.top, bar.right, bar.bottom }, d.Slot(SLOT_LINES)));
        EXPECT_TRUE(d.Blank({ bar.left, bar.top - 1, bar.right, bar.top }));
        EXPECT_TRUE(d.Blank({ bar.left, bar.bottom, bar.right, bar.bottom + 1 }));
    });
}

TEST(PanelDrawing, RowsShowLabelsAtTheLeftAndValuesInTheirColoursAtTheRight)
{
    ForEachDrawing([](const Drawn& d) {
        const Layout& l = d.layout;
        int middle = (l.left + l.right) / 2;
        for (int i = 0; i < 5; i++) {
            SCOPED_TRACE(i);
            int top = l.rowTop[i];
            COLORREF value = i == 3 ? d.state.inputColour : i == 4 ? d.state.batteryColour : d.Slot(SLOT_PRIMARY_TEXT);
            EXPECT_TRUE(d.Shows({ l.left, top, middle, top + l.rowHeight }, d.Slot(SLOT_SECONDARY)));
            EXPECT_TRUE(d.Shows({ middle, top, l.right, top + l.rowHeight }, value));
        }
    });
}

TEST(PanelDrawing, LegendPutsTheLoadKeyLeftOfTheChargeKeyBesideTheirNames)
{
    ForEachDrawing([](const Drawn& d) {
        const Layout& l = d.layout;
        RECT keys = { (l.left + l.right) / 2, l.legend.top, l.right, l.legend.bottom };
        int square = l.keySquare * l.keySquare;
        int top = (l.legend.top + l.legend.bottom) / 2 - l.keySquare / 2;
        COLORREF second = d.Slot(SLOT_SECONDARY);
        EXPECT_TRUE(d.Shows({ l.left, l.legend.top, keys.left, l.legend.bottom }, second)) << "title";
        EXPECT_TRUE(d.Shows(keys, d.Slot(SLOT_DIM_TEXT))) << "key names";
        RECT load = d.canvas.Bounds(keys, d.state.level);
        RECT charge = d.canvas.Bounds(keys, second);
        EXPECT_EQ(top, load.top);
        EXPECT_EQ(top + l.keySquare, load.bottom);
        if (d.state.level == second) {
            // No UPS: both keys are grey.
            EXPECT_EQ(2 * square, d.canvas.Count(keys, second));
            return;
        }
        EXPECT_EQ(square, d.canvas.Count(keys, d.state.level));
        EXPECT_EQ(square, d.canvas.Count(keys, second));
        EXPECT_EQ(l.keySquare, load.right - load.left);
        EXPECT_EQ(charge.top, load.top);
        EXPECT_LT(load.right, charge.left);
    });
}

TEST(PanelDrawing, ChartWithoutHistoryShowsItsGridAndMessage)
{
    ForEachDrawing([](const Drawn& d) {
        const Layout& l = d.layout;
        const RECT& chart = l.chart;
        int middle = chart.bottom - (chart.bottom - chart.top) / 2;
        // The message is centred over the middle line: the lines are checked
        // where it cannot reach.
        for (int y : { (int)chart.top, middle, (int)chart.bottom }) {
            EXPECT_TRUE(d.canvas.All({ chart.left, y, chart.left + 50, y + l.lineHeight }, d.Slot(SLOT_LINES))) << y;
            EXPECT_TRUE(d.canvas.All({ chart.right - 50, y, chart.right, y + l.lineHeight }, d.Slot(SLOT_LINES))) << y;
        }
        EXPECT_TRUE(d.Shows(chart, d.Slot(SLOT_DIM_TEXT)));
        EXPECT_EQ(0, d.canvas.Count(chart, d.state.level));
    });
}

TEST(PanelDrawing, ThresholdSentenceAlwaysAndTheRedBannerOnlyWhileArmed)
{
    ForEachDrawing([](const Drawn& d) {
        const Layout& l = d.layout;
        EXPECT_TRUE(d.Shows(l.sentence, d.Slot(SLOT_DIM_TEXT)));
        if (d.state.armed)
            EXPECT_TRUE(d.Shows(l.banner, COLOUR_RED));
        else
            EXPECT_TRUE(d.Blank(l.banner));
        EXPECT_TRUE(d.Blank({ 0, l.banner.bottom, l.width, l.height }));
    });
}

TEST(PanelDrawing, HandsTheCallersFontBack)
{
    DpiValue = 96;
    BuildFonts();
    Canvas canvas(380, 520, RGB(1, 2, 3));
    HGDIOBJ font = GetCurrentObject(canvas.Dc(), OBJ_FONT);
    UpsStatus status;
    SetOnLineExample(&status);
    DrawPanel(canvas.Dc(), 380, 520, &status, FALSE);
    EXPECT_EQ(font, GetCurrentObject(canvas.Dc(), OBJ_FONT));
}

TEST(PanelResources, PaintsOfEveryStateLeaveNoGdiObjectAndNoHeapBlockBehind)
{
    ForEachDrawing([](const Drawn&) {});   // once first: what is set up once is not a leak
    int gdi = resource_count::CountGdiObjects(GetCurrentProcess());
    ASSERT_GT(gdi, 0);
    resource_count::HeapUsage heap = resource_count::MeasureHeap();
    DpiValue = 144;
    BuildFonts();
    Canvas canvas(570, 780, RGB(1, 2, 3));
    for (int i = 0; i < 200; i++) {
        UpsStatus status;
        CASES[i % 8].setup(&status);
        status.LoadPercent = i % 160 - 5;
        DrawPanel(canvas.Dc(), 570, 780, &status, i % 3 == 0);
    }
    DpiValue = 96;
    BuildFonts();
    EXPECT_EQ(gdi + 2, resource_count::CountGdiObjects(GetCurrentProcess())) << "the canvas: its DC and bitmap";
    resource_count::HeapUsage after = resource_count::MeasureHeap();
    EXPECT_EQ(heap.Blocks, after.Blocks);
    EXPECT_EQ(heap.Bytes, after.Bytes);
}

struct RowsCase {
    const char* name;
    void (*setup)(UpsStatus*);
    const wchar_t* labels[5];
    const wchar_t* values[5];
    COLORREF colours[5];
};

TEST(PanelText, RowsGiveEachFigureOrSayItIsMissing)
{
    CurrentPalette = LightPalette;
    const COLORREF P = PRIMARY;
    const RowsCase cases[] = {
        { "on line", SetOnLineExample, { L"Charge", L"Runtime", L"Load", L"Input", L"Battery" },
          { L"100 %", L"1 h 5 min", L"37 %   333 W", L"230 V", L"ok" }, { P, P, P, P, P } },
        { "on battery", OnBattery, { L"Charge", L"Runtime left", L"Load", L"Input", L"Battery" },
          { L"40 %", L"15 min", L"37 %   333 W", L"230 V", L"ok" }, { P, P, P, COLOUR_AMBER, P } },
        { "unreported",
          [](UpsStatus* s) { SetOnLineExample(s); s->ChargePercent = s->RuntimeSeconds = s->LoadPercent = s->InputVoltage = -1; },
          { L"Charge", L"Runtime", L"Load", L"Input", L"Battery" },
          { L"not reported", L"unknown", L"not reported", L"not reported", L"ok" }, { P, P, P, P, P } },
        { "watts unreported", [](UpsStatus* s) { SetOnLineExample(s); s->LoadWatts = -1; },
          { L"Charge", L"Runtime", L"Load", L"Input", L"Battery" },
          { L"100 %", L"1 h 5 min", L"37 %", L"230 V", L"ok" }, { P, P, P, P, P } },
        { "replace and overload", [](UpsStatus* s) { SetOnLineExample(s); s->NeedsReplacement = s->Overload = s->Charging = 1; },
          { L"Charge", L"Runtime", L"Load", L"Input", L"Battery" },
          { L"100 %", L"1 h 5 min", L"37 %   333 W", L"230 V", L"REPLACE BATTERY" }, { P, P, P, P, COLOUR_RED } },
        { "overload", [](UpsStatus* s) { SetOnLineExample(s); s->Overload = s->Charging = 1; },
          { L"Charge", L"Runtime", L"Load", L"Input", L"Battery" },
          { L"100 %", L"1 h 5 min", L"37 %   333 W", L"230 V", L"OVERLOAD" }, { P, P, P, P, COLOUR_RED } },
        { "charging, 0 %", [](UpsStatus* s) { SetOnLineExample(s); s->Charging = 1; s->ChargePercent = 0; s->InputVoltage = 2299; },
          { L"Charge", L"Runtime", L"Load", L"Input", L"Battery" },
          { L"0 %", L"1 h 5 min", L"37 %   333 W", L"229 V", L"charging" }, { P, P, P, P, P } },
        { "no UPS", ResetStatus, { L"Charge", L"Runtime", L"Load", L"Input", L"Battery" },
          { L"-", L"-", L"-", L"-", L"-" }, { P, P, P, P, P } },
    };
    for (const RowsCase& c : cases) {
        SCOPED_TRACE(c.name);
        UpsStatus status;
        c.setup(&status);
        PanelRow rows[PANEL_ROWS];
        ComposeRows(&status, rows);
        for (int i = 0; i < PANEL_ROWS; i++) {
            EXPECT_EQ(std::wstring(c.labels[i]), rows[i].Label);
            EXPECT_EQ(std::wstring(c.values[i]), rows[i].Value);
            EXPECT_EQ(c.colours[i], rows[i].Colour) << i;
        }
    }
}

TEST(PanelText, ThresholdSentenceNamesWholeMinutesAndThePercent)
{
    const struct {
        INT32 seconds, percent;
        const wchar_t* text;
    } cases[] = {
        { 300, 20, L"Shuts down below 5 min or 20%, or on the UPS warning." },
        { 90, 20, L"Shuts down below 1 min or 20%, or on the UPS warning." },
        { 59, 5, L"Shuts down below 0 min or 5%, or on the UPS warning." },
        { 3600, 100, L"Shuts down below 60 min or 100%, or on the UPS warning." },
    };
    for (const auto& c : cases) {
        WCHAR text[160];
        int length = ComposeThresholdSentence(text, 160, c.seconds, c.percent);
        EXPECT_EQ(std::wstring(c.text), text);
        EXPECT_EQ((int)wcslen(c.text), length);
    }
}

}  // namespace
