// The status panel: the whole client area of the main window, painted on
// every WM_PAINT from one private copy of the Snapshot, so every figure on
// screen belongs to the same poll. User-interface thread only.
#pragma once
#include <windows.h>
#include "ups/status.h"

// The WM_PAINT handler: draws the panel off screen and shows it with one
// BitBlt, so a repaint never shows a half-drawn window.
void PaintPanel(HWND window);

// The whole panel for one status copy into {0, 0, width, height} of dc, with
// CurrentPalette, the fonts and DpiValue as they are and a copy of the
// settings taken here. PaintPanel draws through
// it; so can anything that wants the panel of a chosen state in a bitmap.
void DrawPanel(HDC dc, int width, int height, const UpsStatus* status, BOOL armed);

enum {
    // The client area at 96 DPI. On a work area shorter than that the window
    // is cut to fit and the chart gives up the rows it lacks.
    PANEL_WIDTH = 380,
    PANEL_HEIGHT = 520,
    PANEL_ROWS = 5,
    PANEL_VALUE_UNITS = 64,
};

// One of the five label/value rows, ready to draw.
struct PanelRow {
    const WCHAR* Label;
    WCHAR Value[PANEL_VALUE_UNITS];
    COLORREF Colour;
};

// The Charge, Runtime, Load, Input and Battery rows for a status copy, with
// "-" for every value when no UPS is present.
void ComposeRows(const UpsStatus* status, PanelRow* rows);

// "Shuts down below N min or N%, or on the UPS warning."; returns its length.
int ComposeThresholdSentence(WCHAR* text, int capacity, INT32 runtimeThresholdSeconds,
                             INT32 chargeThresholdPercent);

// One label/value row: the label at the left in palette slot 4, the value at
// the right in valueColour.
void DrawRow(HDC dc, const RECT* rect, const WCHAR* label, const WCHAR* value, COLORREF valueColour);

// The chart's heading line: the title at the left; at the right, read from
// the right edge, the second key's name, its square, then the first key's
// name and its square.
void DrawLegend(HDC dc, const RECT* rect, const WCHAR* title, const WCHAR* firstKey, COLORREF firstColour,
                const WCHAR* secondKey, COLORREF secondColour);
