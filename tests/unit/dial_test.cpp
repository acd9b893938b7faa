// The integer sine, the dial's geometry, and the dial drawn with real GDI:
// where its colours land, the smoothing, and that a rectangle without area
// makes no GDI object at all.
#include <gtest/gtest.h>
#include <windows.h>
#include <math.h>
#include <string.h>
#include "ui/dial.h"
#include "ui/theme.h"
#include "canvas.h"

namespace {

TEST(Sine, TableHoldsTheRoundedSineOfEveryDegree)
{
    const double radiansPerDegree = 3.14159265358979323846 / 180;
    for (int i = 0; i <= 90; i++)
        EXPECT_EQ(lround(sin(i * radiansPerDegree) * 10000), SineTable[i]) << i << " degrees";
}

TEST(Sine, FoldsEveryAngleOntoTheTable)
{
    const struct {
        int degrees;
        int sine;
    } cases[] = {
        { 0, 0 },     { 30, 5000 },   { 90, 10000 },   { 150, 5000 },  { 180, 0 },    { 210, -5000 },
        { 270, -10000 }, { 360, 0 },  { 450, 10000 },  { -90, -10000 }, { -30, -5000 }, { -390, -5000 },
        { 100, 9848 }, { 269, -9998 }, { 271, -9998 }, { 359, -175 },  { 765, 7071 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.sine, Sine(c.degrees)) << c.degrees << " degrees";
}

TEST(DialGeometry, IsFourTimesTheRectangleWithTheRingInItsSmallerSide)
{
    const struct {
        int width, height;
        DialGeometry expected;   // 62 % of 192 is 119.04, of 120 is 74.4
    } cases[] = {
        { 96, 96, { 384, 384, 192, 192, 192, 119 } },
        { 100, 60, { 400, 240, 200, 120, 120, 74 } },
        { 61, 97, { 244, 388, 122, 194, 122, 75 } },
    };
    for (const auto& c : cases) {
        DialGeometry dial;
        MeasureDial(c.width, c.height, &dial);
        EXPECT_EQ(0, memcmp(&c.expected, &dial, sizeof(dial))) << c.width << " x " << c.height;
    }
}

struct Sector {
    int count;
    std::vector<POINT> points;
};

Sector SectorFor(int load)
{
    DialGeometry dial;
    MeasureDial(96, 96, &dial);
    Sector sector;
    sector.points.assign(DIAL_MAX_POINTS + 8, POINT{ -1, -1 });
    sector.count = ComputeDialSector(&dial, load, sector.points.data());
    return sector;
}

void ExpectPoint(const Sector& sector, int index, LONG x, LONG y)
{
    EXPECT_EQ(x, sector.points[index].x) << "point " << index;
    EXPECT_EQ(y, sector.points[index].y) << "point " << index;
}

TEST(DialSector, OnePercentIsThreeSegmentsFromTwelveOClock)
{
    Sector sector = SectorFor(1);
    ASSERT_EQ(5, sector.count);
    ExpectPoint(sector, 0, 192, 192);
    ExpectPoint(sector, 1, 192, 0);
    ExpectPoint(sector, 2, 195, 1);
    ExpectPoint(sector, 3, 198, 1);
    ExpectPoint(sector, 4, 202, 1);
    ExpectPoint(sector, 5, -1, -1);   // nothing written past the count
}

TEST(DialSector, TwentyFivePercentRunsFromTwelveToThreeOClock)
{
    Sector sector = SectorFor(25);
    ASSERT_EQ(34, sector.count);
    ExpectPoint(sector, 0, 192, 192);
    ExpectPoint(sector, 1, 192, 0);
    ExpectPoint(sector, 17, 327, 57);   // 45 degrees
    ExpectPoint(sector, 33, 384, 192);
}

TEST(DialSector, FullAndOverfullLoadsCloseTheRing)
{
    Sector full = SectorFor(100);
    ASSERT_EQ(DIAL_MAX_POINTS, full.count);
    ExpectPoint(full, 1, 192, 0);
    ExpectPoint(full, 62, 192, 384);    // k 61: 180 degrees
    ExpectPoint(full, 92, 1, 198);      // k 91: 268 degrees; both products truncate toward zero
    ExpectPoint(full, 123, 192, 0);

    Sector overfull = SectorFor(150);
    ASSERT_EQ(DIAL_MAX_POINTS, overfull.count);
    for (int i = 0; i < DIAL_MAX_POINTS; i++) {
        EXPECT_EQ(full.points[i].x, overfull.points[i].x) << i;
        EXPECT_EQ(full.points[i].y, overfull.points[i].y) << i;
    }
}

TEST(DialSector, NoLoadHasNoSectorAndNoLoadOverflowsThePoints)
{
    EXPECT_EQ(0, SectorFor(0).count);
    EXPECT_EQ(0, SectorFor(-1).count);
    for (int load = 1; load <= 1000; load++) {
        Sector sector = SectorFor(load);
        ASSERT_LE(sector.count, DIAL_MAX_POINTS) << load;
        ASSERT_EQ(-1, sector.points[DIAL_MAX_POINTS].x) << load;
    }
}

// The dial drawn at {20, 20, 116, 116} of a canvas filled with a colour the
// dial never uses, so anything drawn outside its rectangle shows.
class DialDrawing : public ::testing::Test {
protected:
    static const COLORREF OUTSIDE = RGB(1, 2, 3);
    static const COLORREF LOAD = RGB(200, 30, 160);
    const RECT square = { 20, 20, 116, 116 };

    void SetUp() override { CurrentPalette = LightPalette; }

    // The pixel in the middle of the ring at an angle clockwise from 12 o'clock.
    static COLORREF OnRing(const Canvas& canvas, double degrees)
    {
        const double radians = degrees * 3.14159265358979323846 / 180;
        return canvas.At(68 + (int)lround(39 * sin(radians)), 68 - (int)lround(39 * cos(radians)));
    }
};

TEST_F(DialDrawing, FillsTheSweptPartOfTheRingAndLeavesTheTrackAndCentre)
{
    const COLORREF track = LightPalette[SLOT_LINES];
    const struct {
        int load;
        COLORREF at10, at100, at190, at280;
    } cases[] = {
        { 0, track, track, track, track },  { 1, track, track, track, track },
        { 25, LOAD, track, track, track },  { 37, LOAD, LOAD, track, track },
        { 75, LOAD, LOAD, LOAD, track },    { 100, LOAD, LOAD, LOAD, LOAD },
        { 150, LOAD, LOAD, LOAD, LOAD },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.load);
        Canvas canvas(140, 140, OUTSIDE);
        DrawLoadDial(canvas.Dc(), &square, c.load, LOAD);
        EXPECT_EQ(c.at10, OnRing(canvas, 10));
        EXPECT_EQ(c.at100, OnRing(canvas, 100));
        EXPECT_EQ(c.at190, OnRing(canvas, 190));
        EXPECT_EQ(c.at280, OnRing(canvas, 280));
        EXPECT_EQ(LightPalette[SLOT_BACKGROUND], canvas.At(68, 68)) << "inner disc";
        EXPECT_EQ(LightPalette[SLOT_BACKGROUND], canvas.At(21, 21)) << "corner";
        EXPECT_EQ(c.load == 0 ? 0 : 1, canvas.Count(square, LOAD) > 0);
        EXPECT_TRUE(canvas.All({ 0, 0, 140, 20 }, OUTSIDE));
        EXPECT_TRUE(canvas.All({ 0, 116, 140, 140 }, OUTSIDE));
        EXPECT_TRUE(canvas.All({ 0, 20, 20, 116 }, OUTSIDE));
        EXPECT_TRUE(canvas.All({ 116, 20, 140, 116 }, OUTSIDE));
    }
}

TEST_F(DialDrawing, LeavesTheDcReadyForHalftoneReduction)
{
    // Windows averages each 4 x 4 block in HALFTONE mode; Wine 8 deletes
    // scans instead, so the smoothing itself cannot be seen here, only the
    // mode and the brush origin that Windows needs for it.
    Canvas canvas(140, 140, OUTSIDE);
    SetBrushOrgEx(canvas.Dc(), 3, 5, NULL);
    DrawLoadDial(canvas.Dc(), &square, 37, LOAD);
    EXPECT_EQ(HALFTONE, GetStretchBltMode(canvas.Dc()));
    POINT origin = { -1, -1 };
    GetBrushOrgEx(canvas.Dc(), &origin);
    EXPECT_EQ(0, origin.x);
    EXPECT_EQ(0, origin.y);
}

TEST_F(DialDrawing, ARectangleWithoutAreaCreatesNoGdiObject)
{
    Canvas canvas(140, 140, OUTSIDE);
    const RECT empty[] = { { 20, 20, 20, 116 }, { 20, 20, 116, 20 }, { 116, 20, 20, 116 }, { 20, 116, 116, 20 } };
    for (const RECT& rect : empty) {
        std::vector<UINT32> before = GdiTablePicture();
        ASSERT_FALSE(before.empty());
        DrawLoadDial(canvas.Dc(), &rect, 50, LOAD);
        EXPECT_EQ(before, GdiTablePicture()) << rect.left << "," << rect.top << "," << rect.right << ","
                                             << rect.bottom;
    }
    EXPECT_TRUE(canvas.All({ 0, 0, 140, 140 }, OUTSIDE));

    // The same look sees the objects a real dial makes and deletes.
    std::vector<UINT32> before = GdiTablePicture();
    DrawLoadDial(canvas.Dc(), &square, 50, LOAD);
    EXPECT_NE(before, GdiTablePicture());
}

}  // namespace
