// The bounded text builders at their exact boundaries.
#include <gtest/gtest.h>
#include <climits>
#include "base/text.h"

namespace {

// Fills a buffer with a marker so that a write past the capacity shows.
struct Guarded {
    WCHAR units[40];
    Guarded() { for (WCHAR& u : units) u = L'#'; }
};

TEST(AppendText, CapacityOneWritesOnlyTheTerminator)
{
    Guarded b;
    EXPECT_EQ(0, AppendText(b.units, 0, 1, L"abc"));
    EXPECT_EQ(0, b.units[0]);
    EXPECT_EQ(L'#', b.units[1]);
}

TEST(AppendText, AbsentTextKeepsPositionAndTerminates)
{
    Guarded b;
    int position = AppendText(b.units, 0, 40, L"ab");
    EXPECT_EQ(2, AppendText(b.units, position, 40, nullptr));
    EXPECT_STREQ(L"ab", b.units);
}

TEST(AppendText, CutsAtCapacityAndNeverWritesPastIt)
{
    Guarded b;
    EXPECT_EQ(3, AppendText(b.units, 0, 4, L"abcdef"));
    EXPECT_STREQ(L"abc", b.units);
    EXPECT_EQ(L'#', b.units[4]);
}

TEST(AppendText, ChainsFromAReturnedPosition)
{
    Guarded b;
    int position = AppendText(b.units, 0, 8, L"abc");
    position = AppendText(b.units, position, 8, L"defgh");
    EXPECT_EQ(7, position);
    EXPECT_STREQ(L"abcdefg", b.units);
}

TEST(AppendNumber, WritesPlainDecimal)
{
    WCHAR b[16];
    EXPECT_EQ(1, AppendNumber(b, 0, 16, 0));
    EXPECT_STREQ(L"0", b);
    EXPECT_EQ(10, AppendNumber(b, 0, 16, 4294967295u));
    EXPECT_STREQ(L"4294967295", b);
    EXPECT_EQ(3, AppendNumber(b, 0, 16, 100));
    EXPECT_STREQ(L"100", b);
}

TEST(AppendNumber, KeepsLeadingDigitsWhenCut)
{
    Guarded b;
    int position = AppendText(b.units, 0, 6, L"abc");
    EXPECT_EQ(5, AppendNumber(b.units, position, 6, 12345));
    EXPECT_STREQ(L"abc12", b.units);
    EXPECT_EQ(L'#', b.units[6]);
}

TEST(AppendNumber, ZeroInAFullBufferAddsNothing)
{
    Guarded b;
    EXPECT_EQ(0, AppendNumber(b.units, 0, 1, 0));
    EXPECT_EQ(0, b.units[0]);
    EXPECT_EQ(L'#', b.units[1]);
}

TEST(AppendSigned, WritesTheSignByHand)
{
    WCHAR b[16];
    EXPECT_EQ(2, AppendSigned(b, 0, 16, -7));
    EXPECT_STREQ(L"-7", b);
    EXPECT_EQ(11, AppendSigned(b, 0, 16, INT_MIN));
    EXPECT_STREQ(L"-2147483648", b);
    EXPECT_EQ(10, AppendSigned(b, 0, 16, INT_MAX));
    EXPECT_STREQ(L"2147483647", b);
    EXPECT_EQ(1, AppendSigned(b, 0, 16, 0));
    EXPECT_STREQ(L"0", b);
}

TEST(AppendSigned, SignAloneWhenOnlyOneUnitFits)
{
    Guarded b;
    EXPECT_EQ(1, AppendSigned(b.units, 0, 2, -42));
    EXPECT_STREQ(L"-", b.units);
    EXPECT_EQ(L'#', b.units[2]);
}

TEST(FormatDuration, RendersEveryRange)
{
    struct { INT32 seconds; const WCHAR* text; } cases[] = {
        { -1, L"unknown" }, { INT_MIN, L"unknown" },
        { 0, L"0 min" }, { 59, L"0 min" }, { 60, L"1 min" }, { 3599, L"59 min" },
        { 3600, L"1 h 0 min" }, { 3900, L"1 h 5 min" }, { 5400, L"1 h 30 min" },
        { 7265, L"2 h 1 min" }, { 2147483647, L"596523 h 14 min" },
    };
    for (const auto& c : cases) {
        WCHAR b[32];
        int length = FormatDuration(b, 32, c.seconds);
        EXPECT_STREQ(c.text, b) << "seconds " << c.seconds;
        EXPECT_EQ(TextLength(c.text), length) << "seconds " << c.seconds;
    }
}

TEST(FormatDuration, ObeysASmallCapacity)
{
    Guarded b;
    EXPECT_EQ(5, FormatDuration(b.units, 6, 7265));
    EXPECT_STREQ(L"2 h 1", b.units);
    EXPECT_EQ(L'#', b.units[6]);
    // Replaces what the buffer held rather than appending.
    EXPECT_EQ(5, FormatDuration(b.units, 40, 0));
    EXPECT_STREQ(L"0 min", b.units);
}

TEST(TextLength, CountsUpToTheTerminator)
{
    EXPECT_EQ(0, TextLength(nullptr));
    EXPECT_EQ(0, TextLength(L""));
    EXPECT_EQ(5, TextLength(L"abcde"));
}

TEST(ByteOperations, CopyAndClearExactlyCountBytes)
{
    unsigned char from[8] = { 1, 2, 3, 4, 5, 6, 7, 8 };
    unsigned char to[8] = { 9, 9, 9, 9, 9, 9, 9, 9 };
    ByteCopy(to, from, 5);
    EXPECT_EQ(5, to[4]);
    EXPECT_EQ(9, to[5]);
    ByteClear(to + 1, 3);
    EXPECT_EQ(1, to[0]);
    EXPECT_EQ(0, to[1]);
    EXPECT_EQ(0, to[3]);
    EXPECT_EQ(5, to[4]);
    ByteCopy(to, from, 0);
    ByteClear(to, 0);
    EXPECT_EQ(1, to[0]);
}

}  // namespace
