// The status panel (see panel.h). Nothing here keeps state between paints:
// the memory DC, its bitmap, every brush and the Snapshot copy live for one
// WM_PAINT. Texts are built in fixed buffers; nothing is allocated.
#include "ui/panel.h"
#include "app/settings.h"
#include "base/text.h"
#include "monitor/shutdown.h"
#include "monitor/snapshot.h"
#include "ui/chart.h"
#include "ui/dial.h"
#include "ui/fill.h"
#include "ui/theme.h"

enum { SENTENCE_UNITS = 160 };

static const UINT LEFT_CENTRED = DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;
static const UINT RIGHT_CENTRED = DT_RIGHT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;
static const UINT CENTRED = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;
static const UINT LEFT_TOP = DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX;

// What one paint works from: the status copy, the settings copy and what
// follows from them.
struct PanelState {
    const UpsStatus* Status;
    Settings SettingsCopy;
    BOOL Armed;
    COLORREF LevelCol;
    int Left;
    int Right;
};

static void DrawTextIn(HDC dc, const RECT* rect, const WCHAR* text, int length, HFONT font, COLORREF colour,
                       UINT format)
{
    RECT area = *rect;
    SelectObject(dc, font);
    SetTextColor(dc, colour);
    DrawTextW(dc, text, length, &area, format);
}

void DrawRow(HDC dc, const RECT* rect, const WCHAR* label, const WCHAR* value, COLORREF valueColour)
{
    DrawTextIn(dc, rect, label, -1, LabelFont, CurrentPalette[SLOT_SECONDARY], LEFT_CENTRED);
    DrawTextIn(dc, rect, value, -1, LabelFont, valueColour, RIGHT_CENTRED);
}

static void FillKeySquare(HDC dc, int right, int top, COLORREF colour)
{
    RECT square = { right - S(7), top, right, top + S(7) };
    FillSolid(dc, &square, colour);
}

void DrawLegend(HDC dc, const RECT* rect, const WCHAR* title, const WCHAR* firstKey, COLORREF firstColour,
                const WCHAR* secondKey, COLORREF secondColour)
{
    DrawTextIn(dc, rect, title, -1, SmallFont, CurrentPalette[SLOT_SECONDARY], LEFT_CENTRED);
    SIZE first = { 0, 0 };
    SIZE second = { 0, 0 };
    int firstLength = TextLength(firstKey);
    int secondLength = TextLength(secondKey);
    GetTextExtentPoint32W(dc, firstKey, firstLength, &first);
    GetTextExtentPoint32W(dc, secondKey, secondLength, &second);

    int gap = S(5);
    int mid = (rect->top + rect->bottom) / 2;
    int squareTop = mid - S(7) / 2;
    SetTextColor(dc, CurrentPalette[SLOT_DIM_TEXT]);
    TextOutW(dc, rect->right - second.cx, mid - second.cy / 2, secondKey, secondLength);
    int secondSquareRight = rect->right - second.cx - gap;
    FillKeySquare(dc, secondSquareRight, squareTop, secondColour);
    int firstX = secondSquareRight - S(7) - S(12) - first.cx;
    TextOutW(dc, firstX, mid - first.cy / 2, firstKey, firstLength);
    FillKeySquare(dc, firstX - gap, squareTop, firstColour);
}

// Heading and device name; returns the separator's top.
static int DrawHeading(HDC dc, const PanelState* panel)
{
    RECT heading = { panel->Left, S(18), panel->Right, S(18) + S(26) };
    DrawTextIn(dc, &heading, L"Corvane", -1, TitleFont, CurrentPalette[SLOT_PRIMARY_TEXT], LEFT_CENTRED);
    // A long device name is cut with an ellipsis before it reaches our own
    // name: drawn across the whole heading it would write over "Corvane".
    SIZE title = { 0, 0 };
    GetTextExtentPoint32W(dc, L"Corvane", 7, &title);
    RECT nameArea = heading;
    nameArea.left += title.cx + S(12);
    int length = UpsNameLength(panel->Status->Product);
    const WCHAR* name = length ? panel->Status->Product : L"no device";
    DrawTextIn(dc, &nameArea, name, length ? length : -1, SmallFont, CurrentPalette[SLOT_DIM_TEXT],
               RIGHT_CENTRED | DT_END_ELLIPSIS);
    return heading.bottom;
}

static void DrawSeparator(HDC dc, const PanelState* panel, int top)
{
    RECT line = { panel->Left, top, panel->Right, top + S(1) };
    FillSolid(dc, &line, CurrentPalette[SLOT_LINES]);
}

static BOOL HasDial(const UpsStatus* status)
{
    return status->Present && status->LoadPercent >= 0;
}

// The dial and its percentage; returns the right edge left for the status word.
static int DrawDial(HDC dc, const PanelState* panel, int top)
{
    RECT square = { panel->Right - S(96), top, panel->Right, top + S(96) };
    DrawLoadDial(dc, &square, panel->Status->LoadPercent, panel->LevelCol);
    WCHAR text[PANEL_VALUE_UNITS];
    int position = AppendNumber(text, 0, PANEL_VALUE_UNITS, (UINT32)panel->Status->LoadPercent);
    AppendText(text, position, PANEL_VALUE_UNITS, L"%");
    DrawTextIn(dc, &square, text, -1, TitleFont, CurrentPalette[SLOT_PRIMARY_TEXT], CENTRED);
    return square.left - S(10);
}

// Status word, dial and capacity line in the 96-px band; returns its bottom.
static int DrawStatusBand(HDC dc, const PanelState* panel, int top)
{
    const UpsStatus* status = panel->Status;
    RECT band = { panel->Left, top, panel->Right, top + S(96) };
    if (HasDial(status))
        band.right = DrawDial(dc, panel, top);

    const WCHAR* word = !status->Present ? L"NO UPS" : status->OnBattery ? L"ON BATTERY" : L"ON LINE";
    DrawTextIn(dc, &band, word, -1, BigFont, panel->LevelCol, LEFT_CENTRED);

    if (HasDial(status) && status->CapacityWatts > 0) {
        WCHAR text[SENTENCE_UNITS];
        int position = AppendText(text, 0, SENTENCE_UNITS, L"of ");
        position = AppendNumber(text, position, SENTENCE_UNITS, (UINT32)status->CapacityWatts);
        AppendText(text, position, SENTENCE_UNITS, L" W capacity");
        RECT line = { panel->Left, band.bottom - S(30), band.right, band.bottom - S(30) + S(18) };
        DrawTextIn(dc, &line, text, -1, SmallFont, CurrentPalette[SLOT_DIM_TEXT], LEFT_TOP);
    }
    return band.bottom;
}

// The charge bar, when the charge is known; returns its bottom either way.
static int DrawChargeBar(HDC dc, const PanelState* panel, int top)
{
    RECT bar = { panel->Left, top, panel->Right, top + S(10) };
    INT32 charge = panel->Status->ChargePercent;
    if (charge >= 0) {
        FillSolid(dc, &bar, CurrentPalette[SLOT_LINES]);
        RECT filled = bar;
        filled.right = bar.left + (bar.right - bar.left) * charge / 100;
        FillSolid(dc, &filled, panel->LevelCol);
    }
    return bar.bottom;
}

// "N %", or "not reported" for a negative value; returns the text's length.
static int FormatPercent(WCHAR* text, INT32 value)
{
    if (value < 0)
        return AppendText(text, 0, PANEL_VALUE_UNITS, L"not reported");
    int position = AppendNumber(text, 0, PANEL_VALUE_UNITS, (UINT32)value);
    return AppendText(text, position, PANEL_VALUE_UNITS, L" %");
}

static void FormatLoad(WCHAR* text, const UpsStatus* status)
{
    int position = FormatPercent(text, status->LoadPercent);
    if (status->LoadPercent < 0 || status->LoadWatts < 0)
        return;
    position = AppendText(text, position, PANEL_VALUE_UNITS, L"   ");
    position = AppendNumber(text, position, PANEL_VALUE_UNITS, (UINT32)status->LoadWatts);
    AppendText(text, position, PANEL_VALUE_UNITS, L" W");
}

static void FormatInput(WCHAR* text, INT32 tenthsOfVolt)
{
    if (tenthsOfVolt < 0) {
        AppendText(text, 0, PANEL_VALUE_UNITS, L"not reported");
        return;
    }
    int position = AppendNumber(text, 0, PANEL_VALUE_UNITS, (UINT32)(tenthsOfVolt / 10));
    AppendText(text, position, PANEL_VALUE_UNITS, L" V");
}

static const WCHAR* BatteryWord(const UpsStatus* status)
{
    if (status->NeedsReplacement)
        return L"REPLACE BATTERY";
    if (status->Overload)
        return L"OVERLOAD";
    if (status->Charging)
        return L"charging";
    return status->Present ? L"ok" : L"-";
}

void ComposeRows(const UpsStatus* status, PanelRow* rows)
{
    COLORREF primary = CurrentPalette[SLOT_PRIMARY_TEXT];
    rows[0].Label = L"Charge";
    rows[1].Label = status->OnBattery ? L"Runtime left" : L"Runtime";
    rows[2].Label = L"Load";
    rows[3].Label = L"Input";
    rows[4].Label = L"Battery";
    for (int i = 0; i < PANEL_ROWS; i++) {
        AppendText(rows[i].Value, 0, PANEL_VALUE_UNITS, L"-");
        rows[i].Colour = primary;
    }
    if (status->OnBattery)
        rows[3].Colour = COLOUR_AMBER;
    if (status->NeedsReplacement || status->Overload)
        rows[4].Colour = COLOUR_RED;
    AppendText(rows[4].Value, 0, PANEL_VALUE_UNITS, BatteryWord(status));
    if (!status->Present)
        return;
    FormatPercent(rows[0].Value, status->ChargePercent);
    FormatDuration(rows[1].Value, PANEL_VALUE_UNITS, status->RuntimeSeconds);
    FormatLoad(rows[2].Value, status);
    FormatInput(rows[3].Value, status->InputVoltage);
}

// The five rows; returns the last row's top.
static int DrawRows(HDC dc, const PanelState* panel, int top)
{
    PanelRow rows[PANEL_ROWS];
    ComposeRows(panel->Status, rows);
    RECT row = { panel->Left, top, panel->Right, top + S(26) };
    for (int i = 0; i < PANEL_ROWS; i++) {
        if (i > 0)
            OffsetRect(&row, 0, S(26));
        DrawRow(dc, &row, rows[i].Label, rows[i].Value, rows[i].Colour);
    }
    return row.top;
}

// Legend and a chart chartHeight high; returns the chart's bottom. A chart
// too short to read is left out, legend and all.
static int DrawHistory(HDC dc, const PanelState* panel, int top, int chartHeight)
{
    RECT legend = { panel->Left, top, panel->Right, top + S(18) };
    RECT chart = { panel->Left, legend.bottom + S(6), panel->Right, legend.bottom + S(6) + chartHeight };
    if (chartHeight < S(24))
        return chart.bottom;
    DrawLegend(dc, &legend, L"LAST HOUR", L"load", panel->LevelCol, L"charge", CurrentPalette[SLOT_SECONDARY]);
    DrawHistoryChart(dc, &chart, panel->Status->Present != 0, panel->LevelCol, CurrentPalette[SLOT_SECONDARY]);
    return chart.bottom;
}

int ComposeThresholdSentence(WCHAR* text, int capacity, INT32 runtimeThresholdSeconds,
                             INT32 chargeThresholdPercent)
{
    int position = AppendText(text, 0, capacity, L"Shuts down below ");
    position = AppendNumber(text, position, capacity, (UINT32)(runtimeThresholdSeconds / 60));
    position = AppendText(text, position, capacity, L" min or ");
    position = AppendNumber(text, position, capacity, (UINT32)chargeThresholdPercent);
    return AppendText(text, position, capacity, L"%, or on the UPS warning.");
}

// The threshold sentence and, while a shutdown is armed, the banner under it.
static void DrawFooter(HDC dc, const PanelState* panel, int top)
{
    WCHAR text[SENTENCE_UNITS];
    ComposeThresholdSentence(text, SENTENCE_UNITS, panel->SettingsCopy.RuntimeThresholdSeconds,
                             panel->SettingsCopy.ChargeThresholdPercent);
    RECT sentence = { panel->Left, top, panel->Right, top + S(20) };
    DrawTextIn(dc, &sentence, text, -1, SmallFont, CurrentPalette[SLOT_DIM_TEXT], LEFT_CENTRED);

    if (!panel->Armed)
        return;
    RECT banner = { panel->Left, sentence.bottom, panel->Right, sentence.bottom + S(20) };
    DrawTextIn(dc, &banner, L"SHUTDOWN IN PROGRESS - right-click the tray icon to abort.", -1, SmallFont,
               COLOUR_RED, LEFT_CENTRED);
}

void DrawPanel(HDC dc, int width, int height, const UpsStatus* status, BOOL armed)
{
    RECT client = { 0, 0, width, height };
    FillSolid(dc, &client, CurrentPalette[SLOT_BACKGROUND]);
    SetBkMode(dc, TRANSPARENT);
    // The caller's font goes back at the end: ours may be deleted by a DPI
    // change while the caller's DC still lives.
    HGDIOBJ oldFont = GetCurrentObject(dc, OBJ_FONT);

    PanelState panel;
    panel.Status = status;
    panel.Armed = armed;
    // One copy of the settings for the paint, as of the Snapshot: the colour
    // and the rule line agree.
    CopySettings(&panel.SettingsCopy);
    panel.LevelCol = LevelColour(ComputeStatusLevel(status, panel.SettingsCopy.RuntimeThresholdSeconds));
    panel.Left = S(18);
    panel.Right = width - S(18);

    int top = DrawHeading(dc, &panel);
    DrawSeparator(dc, &panel, top);
    top = DrawStatusBand(dc, &panel, top + S(12));
    top = DrawChargeBar(dc, &panel, top + S(10));
    top = DrawRows(dc, &panel, top + S(14));
    // A window cut to a short work area keeps the rule and the banner in
    // view: the chart shrinks by what the client lacks, down to nothing.
    // At most the legend and chart's whole height is given up.
    int shortBy = S(PANEL_HEIGHT) - height;
    int history = S(18) + S(6) + S(96);
    int chartHeight = S(96) - (shortBy < 0 ? 0 : shortBy > history ? history : shortBy);
    top = DrawHistory(dc, &panel, top + S(26) + S(10), chartHeight);
    DrawSeparator(dc, &panel, top + S(12));
    DrawFooter(dc, &panel, top + S(12) + S(10));

    SelectObject(dc, oldFont);
}

void PaintPanel(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (!dc)
        return;
    RECT client;
    GetClientRect(window, &client);
    int width = client.right - client.left;
    int height = client.bottom - client.top;
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = memory ? CreateCompatibleBitmap(dc, width, height) : NULL;
    if (bitmap) {
        HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
        // The theme is read again on every paint, so a change is picked up
        // even when no WM_SETTINGCHANGE arrives.
        SelectPalette();
        UpsStatus status;
        CopySnapshot(&status);
        DrawPanel(memory, width, height, &status, IsShutdownArmed());
        BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);
        SelectObject(memory, oldBitmap);
        DeleteObject(bitmap);
    }
    if (memory)
        DeleteDC(memory);
    EndPaint(window, &paint);
}
