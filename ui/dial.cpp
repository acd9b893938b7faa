// The load dial (see dial.h). Everything is integer arithmetic; the only
// storage besides the stack is the static array of the sector's points.
#include "ui/dial.h"
#include "ui/fill.h"
#include "ui/theme.h"

const INT16 SineTable[91] = {
    0, 175, 349, 523, 698, 872, 1045, 1219, 1392, 1564,
    1736, 1908, 2079, 2250, 2419, 2588, 2756, 2924, 3090, 3256,
    3420, 3584, 3746, 3907, 4067, 4226, 4384, 4540, 4695, 4848,
    5000, 5150, 5299, 5446, 5592, 5736, 5878, 6018, 6157, 6293,
    6428, 6561, 6691, 6820, 6947, 7071, 7193, 7314, 7431, 7547,
    7660, 7771, 7880, 7986, 8090, 8192, 8290, 8387, 8480, 8572,
    8660, 8746, 8829, 8910, 8988, 9063, 9135, 9205, 9272, 9336,
    9397, 9455, 9511, 9563, 9613, 9659, 9703, 9744, 9781, 9816,
    9848, 9877, 9903, 9925, 9945, 9962, 9976, 9986, 9994, 9998,
    10000,
};

static POINT DialPoints[DIAL_MAX_POINTS];

int Sine(int degrees)
{
    int a = degrees % 360;
    if (a < 0)
        a += 360;
    if (a <= 90)
        return SineTable[a];
    if (a <= 180)
        return SineTable[180 - a];
    if (a <= 270)
        return -SineTable[a - 180];
    return -SineTable[360 - a];
}

void MeasureDial(int width, int height, DialGeometry* dial)
{
    dial->Width = DIAL_SUPERSAMPLE * width;
    dial->Height = DIAL_SUPERSAMPLE * height;
    dial->CentreX = dial->Width / 2;
    dial->CentreY = dial->Height / 2;
    dial->Radius = 2 * (width < height ? width : height);
    dial->InnerRadius = dial->Radius * 62 / 100;
}

int ComputeDialSector(const DialGeometry* dial, int loadPercent, POINT* points)
{
    if (loadPercent <= 0)
        return 0;
    int sweep = loadPercent * 360 / 100;
    int segments;
    if (sweep > 360) {
        segments = DIAL_MAX_SEGMENTS;
        sweep = 360;
    } else {
        segments = sweep / 3 + 2;
    }
    points[0].x = dial->CentreX;
    points[0].y = dial->CentreY;
    for (int k = 0; k <= segments; k++) {
        // Angle 0 is 12 o'clock and angles grow clockwise, with y downward.
        int angle = k * sweep / segments;
        points[k + 1].x = dial->CentreX + Sine(angle) * dial->Radius / 10000;
        points[k + 1].y = dial->CentreY - Sine(angle + 90) * dial->Radius / 10000;
    }
    return segments + 2;
}

// A disc about the centre, outline-free (the caller has selected NULL_PEN).
static void FillDisc(HDC dc, const DialGeometry* dial, int radius, COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    if (!brush)
        return;
    HGDIOBJ old = SelectObject(dc, brush);
    Ellipse(dc, dial->CentreX - radius, dial->CentreY - radius, dial->CentreX + radius, dial->CentreY + radius);
    SelectObject(dc, old);
    DeleteObject(brush);
}

static void FillSector(HDC dc, const POINT* points, int count, COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    if (!brush)
        return;
    HGDIOBJ old = SelectObject(dc, brush);
    Polygon(dc, points, count);
    SelectObject(dc, old);
    DeleteObject(brush);
}

void DrawLoadDial(HDC dc, const RECT* rect, int loadPercent, COLORREF colour)
{
    int width = rect->right - rect->left;
    int height = rect->bottom - rect->top;
    if (width <= 0 || height <= 0)
        return;
    DialGeometry dial;
    MeasureDial(width, height, &dial);

    HDC memory = CreateCompatibleDC(dc);
    if (!memory)
        return;
    HBITMAP bitmap = CreateCompatibleBitmap(dc, dial.Width, dial.Height);
    if (!bitmap) {
        DeleteDC(memory);
        return;
    }
    HGDIOBJ oldBitmap = SelectObject(memory, bitmap);

    RECT whole = { 0, 0, dial.Width, dial.Height };
    FillSolid(memory, &whole, CurrentPalette[SLOT_BACKGROUND]);
    HGDIOBJ oldPen = SelectObject(memory, GetStockObject(NULL_PEN));
    FillDisc(memory, &dial, dial.Radius, CurrentPalette[SLOT_LINES]);
    int count = ComputeDialSector(&dial, loadPercent, DialPoints);
    if (count)
        FillSector(memory, DialPoints, count, colour);
    FillDisc(memory, &dial, dial.InnerRadius, CurrentPalette[SLOT_BACKGROUND]);
    SelectObject(memory, oldPen);

    // HALFTONE averages each 4 x 4 block into one pixel. Windows asks for
    // the brush origin to be set again after choosing it, or brushes used on
    // this DC afterwards are misaligned.
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, NULL);
    StretchBlt(dc, rect->left, rect->top, width, height, memory, 0, 0, dial.Width, dial.Height, SRCCOPY);

    SelectObject(memory, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(memory);
}
