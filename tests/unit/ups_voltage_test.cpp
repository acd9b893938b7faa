// Voltage conversion on its own: the unit exponent as parsers give it and the
// tenths of a volt a raw reading stands for.
#include <gtest/gtest.h>
#include "ups/voltage.h"

namespace {

TEST(UnitExponent, ReadsTheFourBitCodeAsSigned)
{
    EXPECT_EQ(0, UnitExponent(0));
    EXPECT_EQ(7, UnitExponent(7));
    EXPECT_EQ(5, UnitExponent(5));
    EXPECT_EQ(-8, UnitExponent(8));
    EXPECT_EQ(-1, UnitExponent(0xF));
    EXPECT_EQ(-2, UnitExponent(0xE));
}

TEST(UnitExponent, AcceptsAnAlreadySignExtendedCode)
{
    EXPECT_EQ(-1, UnitExponent(0xFFFFFFFFu));
    EXPECT_EQ(-3, UnitExponent((ULONG)-3));
}

TEST(VoltageTenths, VoltUnitFollowsTheExponent)
{
    EXPECT_EQ(2300, VoltageTenths(230, UNIT_VOLT, 7));
    EXPECT_EQ(2300, VoltageTenths(2300, UNIT_VOLT, 6));
    EXPECT_EQ(2301, VoltageTenths(23015, UNIT_VOLT, 5));
    EXPECT_EQ(230, VoltageTenths(230000, UNIT_VOLT, 3));
    EXPECT_EQ(270, VoltageTenths(270, UNIT_VOLT, 6));      // a battery in tenths stays 27.0 V
    EXPECT_EQ(70, VoltageTenths(700, UNIT_VOLT, 5));       // 7.00 V, not 70 V
    EXPECT_EQ(0, VoltageTenths(9, UNIT_VOLT, -1));
}

TEST(VoltageTenths, WithoutUnitOrExponentTheMagnitudeDecides)
{
    EXPECT_EQ(2300, VoltageTenths(230, 0, 0));
    EXPECT_EQ(2300, VoltageTenths(23000, 0, 0));
    EXPECT_EQ(130, VoltageTenths(13, 0, 0));
    EXPECT_EQ(135, VoltageTenths(1350, 0, 0));
    EXPECT_EQ(790, VoltageTenths(79, 0, 0));
    EXPECT_EQ(800, VoltageTenths(80, 0, 0));
    EXPECT_EQ(7990, VoltageTenths(799, 0, 0));
    EXPECT_EQ(80, VoltageTenths(800, 0, 0));
    EXPECT_EQ(2300, VoltageTenths(230, UNIT_VOLT, 0));     // the volt without an exponent
    EXPECT_EQ(2300, VoltageTenths(230, 0x0000D121, 7));    // watts are not volts
}

TEST(VoltageTenths, ReadingsBeyondThirtyTwoBitsAreRefused)
{
    EXPECT_EQ(-1, VoltageTenths(0xFFFFFFFFu, UNIT_VOLT, 7));
    EXPECT_EQ(429496729, VoltageTenths(0xFFFFFFFFu, 0, 0));
}

}  // namespace
