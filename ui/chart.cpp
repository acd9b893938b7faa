// The history chart (see chart.h). StatusLock is held only while the ring is
// copied; everything after works on the copy.
#include "ui/chart.h"
#include "ui/theme.h"

static HistorySample ChartSamples[HISTORY_CAPACITY];
static POINT ChartPoints[HISTORY_CAPACITY];

BOOL ChartPoint(const RECT* rect, UINT32 now, UINT32 tick, int percent, POINT* point)
{
    UINT32 age = now - tick;
    if (age > CHART_SPAN_MS)
        return FALSE;
    int value = percent < 100 ? percent : 100;
    point->x = rect->right - MulDiv((int)age, rect->right - rect->left, CHART_SPAN_MS);
    point->y = rect->bottom - (rect->bottom - rect->top) * value / 100;
    return TRUE;
}

const WCHAR* ChartMessage(BOOL present, int count, const HistorySample* samples)
{
    if (count < 2)
        return present ? L"collecting..." : L"no UPS";
    if (samples[count - 1].Tick - samples[0].Tick < CHART_FILLING_MS)
        return L"collecting... the hour fills in as it runs";
    return NULL;
}

// Lines for 0 % at the bottom edge, 50 % and 100 % at the top edge.
static void DrawGrid(HDC dc, const RECT* rect)
{
    HBRUSH brush = CreateSolidBrush(CurrentPalette[SLOT_LINES]);
    if (!brush)
        return;
    for (int q = 0; q <= 4; q += 2) {
        int y = rect->bottom - q * (rect->bottom - rect->top) / 4;
        RECT line = { rect->left, y, rect->right, y + S(1) };
        FillRect(dc, &line, brush);
    }
    DeleteObject(brush);
}

static void DrawMessage(HDC dc, const RECT* rect, const WCHAR* message)
{
    RECT area = *rect;
    SelectObject(dc, SmallFont);
    SetTextColor(dc, CurrentPalette[SLOT_DIM_TEXT]);
    DrawTextW(dc, message, -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
}

// One line through the samples of the hour; passes with no UPS left no
// samples, so a straight segment bridges them.
static void DrawLine(HDC dc, const RECT* rect, UINT32 now, int count, BOOL charge, COLORREF colour)
{
    int points = 0;
    for (int i = 0; i < count; i++) {
        const HistorySample* sample = &ChartSamples[i];
        if (ChartPoint(rect, now, sample->Tick, charge ? sample->Charge : sample->Load, &ChartPoints[points]))
            points++;
    }
    if (points < 2)
        return;
    HPEN pen = CreatePen(PS_SOLID, S(2), colour);
    if (!pen)
        return;
    HGDIOBJ old = SelectObject(dc, pen);
    Polyline(dc, ChartPoints, points);
    SelectObject(dc, old);
    DeleteObject(pen);
}

void DrawHistoryChart(HDC dc, const RECT* rect, BOOL present, COLORREF loadColour, COLORREF chargeColour)
{
    // Read before the copy: a sample stored in between is younger than now,
    // wraps to a huge age and is left out until the next paint.
    UINT32 now = GetTickCount();
    DrawGrid(dc, rect);
    int count = CopyHistory(ChartSamples);
    const WCHAR* message = ChartMessage(present, count, ChartSamples);
    if (message)
        DrawMessage(dc, rect, message);
    if (count < 2)
        return;
    DrawLine(dc, rect, now, count, FALSE, loadColour);
    DrawLine(dc, rect, now, count, TRUE, chargeColour);
}
