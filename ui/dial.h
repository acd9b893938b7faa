// The load dial: a ring whose filled sector shows the load percentage, drawn
// four times oversized and reduced with halftoning, which smooths its edges.
// No floating point: angles go through a 91-entry integer sine table.
// User-interface thread only (the sector's points are static storage).
#pragma once
#include <windows.h>

enum {
    DIAL_SUPERSAMPLE = 4,
    DIAL_MAX_SEGMENTS = 122,
    // The centre, then one arc point more than there are segments.
    DIAL_MAX_POINTS = DIAL_MAX_SEGMENTS + 2,
};

// sin(i degrees) x 10000, rounded, for i = 0..90.
extern const INT16 SineTable[91];

// sin(degrees) x 10000 for any angle; the cosine is Sine(degrees + 90).
int Sine(int degrees);

// The dial of a width x height rectangle, in the pixels of its oversized
// drawing.
struct DialGeometry {
    int Width;          // 4 x width
    int Height;         // 4 x height
    int CentreX;
    int CentreY;
    int Radius;         // half the smaller oversized side
    int InnerRadius;    // 62 % of it: the ring is 38 % of the radius wide
};

void MeasureDial(int width, int height, DialGeometry* dial);

// The sector polygon for a load: the centre, then the arc from 12 o'clock
// clockwise. Returns the number of points written (at most DIAL_MAX_POINTS),
// 0 for a load of 0 or less, which has no sector.
int ComputeDialSector(const DialGeometry* dial, int loadPercent, POINT* points);

// The ring into rect of dc: track in palette slot 5, sector in colour, inner
// disc in slot 0. A rectangle without area draws nothing and creates nothing.
void DrawLoadDial(HDC dc, const RECT* rect, int loadPercent, COLORREF colour);
