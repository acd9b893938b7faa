// A bitmap in a memory DC that a test draws into with real GDI and reads back
// pixel by pixel, plus a look at the GDI handle table to see whether a
// drawing made any GDI object at all.
#pragma once
#include <windows.h>
#include <vector>
#include "../support/dib.h"
#include "../support/resource_count.h"

class Canvas {
public:
    Canvas(int width, int height, COLORREF fill) : width_(width), height_(height)
    {
        dc_ = CreateCompatibleDC(NULL);
        bitmap_ = CreateTopDownDib(dc_, width, height, &bits_);
        old_ = SelectObject(dc_, bitmap_);
        for (int i = 0; i < width * height; i++)
            bits_[i] = Pixel(fill);
    }
    ~Canvas()
    {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC Dc() const { return dc_; }

    COLORREF At(int x, int y) const
    {
        GdiFlush();
        return Read(x, y);
    }

    // Pixels of exactly colour inside {left, top, right, bottom}.
    int Count(const RECT& r, COLORREF colour) const
    {
        GdiFlush();
        int count = 0;
        for (int y = r.top; y < r.bottom; y++)
            for (int x = r.left; x < r.right; x++)
                count += Read(x, y) == colour;
        return count;
    }

    bool All(const RECT& r, COLORREF colour) const
    {
        return Count(r, colour) == (r.right - r.left) * (r.bottom - r.top);
    }

    // The smallest rectangle holding every pixel of colour inside r; empty
    // when there is none.
    RECT Bounds(const RECT& r, COLORREF colour) const
    {
        GdiFlush();
        RECT box = { r.right, r.bottom, r.left, r.top };
        for (int y = r.top; y < r.bottom; y++)
            for (int x = r.left; x < r.right; x++)
                if (Read(x, y) == colour) {
                    box.left = x < box.left ? x : box.left;
                    box.top = y < box.top ? y : box.top;
                    box.right = x + 1 > box.right ? x + 1 : box.right;
                    box.bottom = y + 1 > box.bottom ? y + 1 : box.bottom;
                }
        return box;
    }

private:
    COLORREF Read(int x, int y) const
    {
        UINT32 p = bits_[y * width_ + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    static UINT32 Pixel(COLORREF c) { return GetRValue(c) << 16 | GetGValue(c) << 8 | GetBValue(c); }

    int width_;
    int height_;
    HDC dc_;
    HBITMAP bitmap_;
    HGDIOBJ old_;
    UINT32* bits_ = nullptr;
};

// Every entry's generation and type in this process's GDI handle table. Any
// object created, even one deleted again, leaves a different picture.
inline std::vector<UINT32> GdiTablePicture()
{
    std::vector<resource_count::GdiEntry> table;
    std::vector<UINT32> picture;
    if (!resource_count::ReadGdiTable(GetCurrentProcess(), &table))
        return picture;
    for (const resource_count::GdiEntry& entry : table)
        picture.push_back((UINT32)entry.Unique << 8 | entry.Type);
    return picture;
}
