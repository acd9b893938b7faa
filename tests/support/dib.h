// A 32-bit top-down DIB section for test code that draws into a bitmap of its
// own or copies the screen into one: row 0 at the top, one 0x00RRGGBB value
// per pixel, readable through bits once GdiFlush has run.
#pragma once
#include <windows.h>

inline HBITMAP CreateTopDownDib(HDC dc, int width, int height, UINT32** bits)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return CreateDIBSection(dc, &info, DIB_RGB_COLORS, (void**)bits, NULL, 0);
}
