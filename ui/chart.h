// The one-hour history chart: load and charge of the last hour from the
// HistoryRing, newest at the right edge, over a grid at 0, 50 and 100 %.
// User-interface thread only (the copy of the ring and the line's points are
// static storage, so painting allocates nothing).
#pragma once
#include <windows.h>
#include "monitor/snapshot.h"

enum {
    CHART_SPAN_MS = 3600000,
    // Less history than this and the chart says it is still filling in.
    CHART_FILLING_MS = 300000,
};

// Where a sample stored at tick lands in rect when the clock reads now. Ages
// are unsigned differences, so they hold across the tick counter's wrap.
// Returns FALSE, and leaves point alone, for a sample older than the hour.
BOOL ChartPoint(const RECT* rect, UINT32 now, UINT32 tick, int percent, POINT* point);

// The centred message for a copy of the ring (count samples, oldest first):
// "collecting..." or "no UPS" when there is too little to draw a line, the
// filling-in message under five minutes of history, otherwise NULL.
const WCHAR* ChartMessage(BOOL present, int count, const HistorySample* samples);

// Grid, message and the two lines into rect: load in loadColour, then charge
// in chargeColour on top.
void DrawHistoryChart(HDC dc, const RECT* rect, BOOL present, COLORREF loadColour, COLORREF chargeColour);
