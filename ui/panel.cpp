// The status panel. For now the client area is filled with the background
// colour, so the window never shows what lay beneath it.
#include "ui/panel.h"
#include "ui/theme.h"

void PaintPanel(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (!dc)
        return;
    SelectPalette();
    RECT client;
    GetClientRect(window, &client);
    HBRUSH background = CreateSolidBrush(CurrentPalette[SLOT_BACKGROUND]);
    if (background) {
        FillRect(dc, &client, background);
        DeleteObject(background);
    }
    EndPaint(window, &paint);
}
