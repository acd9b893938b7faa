// Solid fills (see fill.h).
#include "ui/fill.h"

void FillSolid(HDC dc, const RECT* rect, COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    if (!brush)
        return;
    FillRect(dc, rect, brush);
    DeleteObject(brush);
}
