// Theme, palette, fonts and the status level, against the prefix's real
// registry and real GDI.
#include <gtest/gtest.h>
#include <windows.h>
#include "app/settings.h"
#include "ui/theme.h"
#include "status_builder.h"
#include "../support/resource_count.h"

namespace {

UpsStatus Status(INT32 present, INT32 onBattery, INT32 runtime, INT32 imminent = 0, INT32 belowLimit = 0)
{
    UpsStatus s = MakeStatus(present, onBattery, 50, runtime);
    s.ShutdownImminent = imminent;
    s.BelowCapacityLimit = belowLimit;
    return s;
}

TEST(StatusLevel, FollowsPresenceMainsFlagsAndTwiceTheRuntimeThreshold)
{
    struct Case {
        UpsStatus status;
        int level;
    } cases[] = {
        { Status(0, 1, 10, 1, 1), LEVEL_NO_UPS },
        { Status(1, 0, 10, 1, 1), LEVEL_ON_LINE },
        { Status(1, 1, 601), LEVEL_ON_BATTERY },
        { Status(1, 1, 600), LEVEL_CRITICAL },
        { Status(1, 1, 0), LEVEL_CRITICAL },
        { Status(1, 1, -1), LEVEL_ON_BATTERY },
        { Status(1, 1, 5000, 1, 0), LEVEL_CRITICAL },
        { Status(1, 1, -1, 0, 1), LEVEL_CRITICAL },
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.level, ComputeStatusLevel(&c.status, 300)) << "runtime " << c.status.RuntimeSeconds;

    UpsStatus s = Status(1, 1, 181);
    EXPECT_EQ(LEVEL_ON_BATTERY, ComputeStatusLevel(&s, 90));
    s.RuntimeSeconds = 180;
    EXPECT_EQ(LEVEL_CRITICAL, ComputeStatusLevel(&s, 90));
}

int FontHeight(HFONT font)
{
    LOGFONTW description = {};
    EXPECT_EQ((int)sizeof(description), GetObjectW(font, sizeof(description), &description));
    EXPECT_EQ(0, wcscmp(description.lfFaceName, L"Segoe UI"));
    EXPECT_EQ(CLEARTYPE_QUALITY, description.lfQuality);
    return description.lfHeight;
}

TEST(Scaling, SizesAndFontHeightsAt96And144RoundHalvesAwayFromZero)
{
    struct Case {
        int dpi;
        int s1, s12, s18, s26;
        int title, label, big, small;
    } cases[] = {
        { 96, 1, 12, 18, 26, -15, -13, -30, -11 },
        { 144, 2, 18, 27, 39, -23, -20, -45, -17 },
    };
    for (const Case& c : cases) {
        DpiValue = c.dpi;
        EXPECT_EQ(c.s1, S(1));
        EXPECT_EQ(c.s12, S(12));
        EXPECT_EQ(c.s18, S(18));
        EXPECT_EQ(c.s26, S(26));
        BuildFonts();
        EXPECT_EQ(c.title, FontHeight(TitleFont)) << c.dpi;
        EXPECT_EQ(c.label, FontHeight(LabelFont)) << c.dpi;
        EXPECT_EQ(c.big, FontHeight(BigFont)) << c.dpi;
        EXPECT_EQ(c.small, FontHeight(SmallFont)) << c.dpi;
    }
    DpiValue = 96;
}

TEST(Scaling, RebuildingTheFontsLeavesNoOldFontBehind)
{
    BuildFonts();
    int before = resource_count::CountGdiObjects(GetCurrentProcess());
    ASSERT_GT(before, 0);
    for (int i = 0; i < 50; i++)
        BuildFonts();
    EXPECT_EQ(before, resource_count::CountGdiObjects(GetCurrentProcess()));
}

const wchar_t PERSONALIZE[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";

// What the frame call was given, through the theme's call table.
struct FrameCall {
    int calls;
    HWND window;
    DWORD attribute;
    BOOL value;
    DWORD bytes;
} Frame;

HRESULT WINAPI RecordFrameCall(HWND window, DWORD attribute, LPCVOID data, DWORD bytes)
{
    Frame.calls++;
    Frame.window = window;
    Frame.attribute = attribute;
    Frame.value = *(const BOOL*)data;
    Frame.bytes = bytes;
    return S_OK;
}

class Theme : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, PERSONALIZE, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                                 &key_, NULL));
        RegDeleteValueW(key_, L"AppsUseLightTheme");
        saved_ = ThemeCalls;
        ThemeCalls.DwmSetWindowAttribute = RecordFrameCall;
        Frame = {};
    }
    void TearDown() override
    {
        RegDeleteValueW(key_, L"AppsUseLightTheme");
        RegCloseKey(key_);
        ThemeCalls = saved_;
        SelectPalette();
    }
    void SetValue(DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, L"AppsUseLightTheme", 0, type, (const BYTE*)data, bytes));
    }

    HKEY key_ = NULL;
    ThemeSystemCalls saved_;
};

TEST_F(Theme, OnlyTheDwordZeroIsDarkAndPicksTheDarkPaletteAndFrame)
{
    const DWORD zero = 0, one = 1, two = 2;
    const UINT64 wide = 0;
    struct Case {
        const char* name;
        DWORD type;
        const void* data;
        DWORD bytes;
        bool dark;
    } cases[] = {
        { "missing", REG_NONE, nullptr, 0, false },
        { "0", REG_DWORD, &zero, 4, true },
        { "1", REG_DWORD, &one, 4, false },
        { "2", REG_DWORD, &two, 4, false },
        { "string \"0\"", REG_SZ, L"0", 4, false },
        { "QWORD 0", REG_QWORD, &wide, 8, false },
    };
    HWND window = (HWND)(ULONG_PTR)0x1234;
    for (const Case& c : cases) {
        RegDeleteValueW(key_, L"AppsUseLightTheme");
        if (c.data)
            SetValue(c.type, c.data, c.bytes);
        EXPECT_EQ(c.dark, IsDarkTheme() != FALSE) << c.name;
        SelectPalette();
        EXPECT_EQ(c.dark ? DarkPalette : LightPalette, CurrentPalette) << c.name;
        Frame = {};
        ApplyFrameTheme(window);
        EXPECT_EQ(1, Frame.calls) << c.name;
        EXPECT_EQ(window, Frame.window);
        EXPECT_EQ(20u, Frame.attribute);
        EXPECT_EQ(c.dark ? TRUE : FALSE, Frame.value) << c.name;
        EXPECT_EQ(4u, Frame.bytes);
    }
}

}  // namespace
