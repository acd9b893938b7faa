// The look of the status window: the light or dark palette taken from the
// user's Windows app theme, the fixed colours of the four status levels, the
// four fonts, and DpiValue, the DPI of the monitor the main window is on.
// Every pixel size is designed at 96 DPI and scaled with S(n).
// User-interface thread only.
#pragma once
#include <windows.h>
#include "ups/status.h"

enum {
    PALETTE_SLOTS = 8,
    SLOT_BACKGROUND = 0,
    SLOT_PRIMARY_TEXT = 2,
    SLOT_SECONDARY = 4,
    SLOT_LINES = 5,
    SLOT_DIM_TEXT = 6,
};

enum {
    LEVEL_NO_UPS = -1,
    LEVEL_ON_LINE = 0,
    LEVEL_ON_BATTERY = 1,
    LEVEL_CRITICAL = 2,
};

// The level colours the panel also uses on their own: the Input value on
// battery, and battery alarms and the shutdown banner.
static const COLORREF COLOUR_AMBER = RGB(194, 136, 42);
static const COLORREF COLOUR_RED = RGB(196, 58, 43);

extern const COLORREF LightPalette[PALETTE_SLOTS];
extern const COLORREF DarkPalette[PALETTE_SLOTS];
extern const COLORREF* CurrentPalette;   // one of the two; set before the first paint

extern int DpiValue;                     // 96 until start-up reads the window's DPI

extern HFONT TitleFont;                  // 15 px, 600: heading, dial percentage
extern HFONT LabelFont;                  // 13 px, 400: the label/value rows
extern HFONT BigFont;                    // 30 px, 700: the status word
extern HFONT SmallFont;                  // 11 px, 400: device name, legend, messages

// MulDiv(pixels, DpiValue, 96): halves round away from zero.
int S(int pixels);

// 0 on line, 1 on battery, 2 critical, -1 no UPS, from a copy of the
// Snapshot and of the RuntimeThresholdSeconds setting.
int ComputeStatusLevel(const UpsStatus* status, INT32 runtimeThresholdSeconds);
COLORREF LevelColour(int level);

// True only when AppsUseLightTheme reads as the DWORD 0; anything else,
// missing or of another type, is light.
BOOL IsDarkTheme();
// CurrentPalette := dark or light, from IsDarkTheme.
void SelectPalette();
// Tells the window manager to draw the frame dark or light, as the theme is.
void ApplyFrameTheme(HWND window);
// Deletes the four fonts, then builds them for the DpiValue of this moment.
void BuildFonts();

// The frame call, in a table so that a test can see what it is given. Null
// until first needed; dwmapi.dll is loaded from the system folder only.
struct ThemeSystemCalls {
    HRESULT (WINAPI* DwmSetWindowAttribute)(HWND window, DWORD attribute, LPCVOID data, DWORD bytes);
};
extern ThemeSystemCalls ThemeCalls;
