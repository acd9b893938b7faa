// Theme, palette and fonts. All of it is state of the user-interface thread:
// DpiValue, CurrentPalette and the font handles are written and read there.
#include "ui/theme.h"
#include "base/text.h"

const COLORREF LightPalette[PALETTE_SLOTS] = {
    RGB(244, 243, 238), RGB(244, 243, 238), RGB(27, 26, 21), RGB(196, 58, 43),
    RGB(110, 105, 96), RGB(217, 214, 204), RGB(139, 134, 124), RGB(0, 0, 0),
};
const COLORREF DarkPalette[PALETTE_SLOTS] = {
    RGB(22, 21, 16), RGB(21, 20, 15), RGB(237, 235, 226), RGB(226, 91, 69),
    RGB(154, 148, 138), RGB(51, 49, 42), RGB(110, 105, 96), RGB(0, 0, 0),
};
const COLORREF* CurrentPalette = LightPalette;

int DpiValue = 96;

HFONT TitleFont;
HFONT LabelFont;
HFONT BigFont;
HFONT SmallFont;

ThemeSystemCalls ThemeCalls;

enum { DWMWA_DARK_MODE = 20 };

int S(int pixels)
{
    return MulDiv(pixels, DpiValue, 96);
}

int ComputeStatusLevel(const UpsStatus* status, INT32 runtimeThresholdSeconds)
{
    if (!status->Present)
        return LEVEL_NO_UPS;
    if (!status->OnBattery)
        return LEVEL_ON_LINE;
    if (status->ShutdownImminent || status->BelowCapacityLimit)
        return LEVEL_CRITICAL;
    if (status->RuntimeSeconds < 0)
        return LEVEL_ON_BATTERY;
    if (status->RuntimeSeconds > 2 * runtimeThresholdSeconds)
        return LEVEL_ON_BATTERY;
    return LEVEL_CRITICAL;
}

COLORREF LevelColour(int level)
{
    switch (level) {
    case LEVEL_ON_LINE:
        return RGB(62, 107, 76);
    case LEVEL_ON_BATTERY:
        return COLOUR_AMBER;
    case LEVEL_CRITICAL:
        return COLOUR_RED;
    }
    return RGB(110, 105, 96);
}

BOOL IsDarkTheme()
{
    // Starts at 1 so that any read that does not store a value means light.
    DWORD light = 1;
    DWORD bytes = sizeof(light);
    LSTATUS result = RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                                  L"AppsUseLightTheme", RRF_RT_REG_DWORD, NULL, &light, &bytes);
    return result == ERROR_SUCCESS && light == 0;
}

void SelectPalette()
{
    CurrentPalette = IsDarkTheme() ? DarkPalette : LightPalette;
}

// dwmapi.dll is not one of Windows' known DLLs: imported, it would be looked
// for first beside the program, where anyone who can write to that folder
// could plant one. Taking it from the system folder by hand closes that door;
// without it the frame simply stays light.
static BOOL LoadFrameCall()
{
    if (ThemeCalls.DwmSetWindowAttribute)
        return TRUE;
    HMODULE dwm = LoadLibraryExW(L"dwmapi.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dwm)
        return FALSE;
    ThemeCalls.DwmSetWindowAttribute =
        (HRESULT (WINAPI*)(HWND, DWORD, LPCVOID, DWORD))(void*)GetProcAddress(dwm, "DwmSetWindowAttribute");
    return ThemeCalls.DwmSetWindowAttribute != NULL;
}

void ApplyFrameTheme(HWND window)
{
    BOOL dark = IsDarkTheme() ? TRUE : FALSE;
    if (!LoadFrameCall())
        return;
    ThemeCalls.DwmSetWindowAttribute(window, DWMWA_DARK_MODE, &dark, sizeof(dark));
}

static HFONT* const Fonts[] = { &TitleFont, &LabelFont, &BigFont, &SmallFont };

void BuildFonts()
{
    static const int HEIGHTS[] = { 15, 13, 30, 11 };
    static const int WEIGHTS[] = { 600, 400, 700, 400 };
    // The old fonts go first, so a DPI change never holds two sets at once.
    for (HFONT* font : Fonts) {
        if (*font) {
            DeleteObject(*font);
            *font = NULL;
        }
    }
    LOGFONTW description;
    ByteClear(&description, sizeof(description));
    description.lfQuality = CLEARTYPE_QUALITY;
    AppendText(description.lfFaceName, 0, LF_FACESIZE, L"Segoe UI");
    for (int i = 0; i < 4; i++) {
        description.lfHeight = -S(HEIGHTS[i]);
        description.lfWeight = WEIGHTS[i];
        *Fonts[i] = CreateFontIndirectW(&description);
    }
}
