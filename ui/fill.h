// Solid fills for the painted window: a brush made for one rectangle and
// deleted right after, so no paint leaves a brush behind. User-interface thread.
#pragma once
#include <windows.h>

// Fills rect with colour; a brush that cannot be made fills nothing.
void FillSolid(HDC dc, const RECT* rect, COLORREF colour);
