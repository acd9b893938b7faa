// The tray icon: the glyph's pixels, the tooltip, the add sequence when the
// shell refuses, and the update's cache and order, with real GDI and a
// stand-in for the shell.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "app/startup.h"
#include "monitor/shutdown.h"
#include "monitor/snapshot.h"
#include "ui/theme.h"
#include "ui/tray.h"
#include "fake_shell.h"
#include "status_builder.h"
#include "../support/resource_count.h"

namespace {

// The icon's colour image as 32 x 32 top-down BGRA pixels.
std::vector<UINT32> IconPixels(HICON icon)
{
    std::vector<UINT32> pixels(32 * 32, 0xDEADBEEF);
    ICONINFO info = {};
    if (!GetIconInfo(icon, &info))
        return pixels;
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    format.bmiHeader.biWidth = 32;
    format.bmiHeader.biHeight = -32;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(NULL);
    GetDIBits(screen, info.hbmColor, 0, 32, pixels.data(), &format, DIB_RGB_COLORS);
    ReleaseDC(NULL, screen);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return pixels;
}

bool Inside(int x, int y, int left, int top, int right, int bottom)
{
    return x >= left && x < right && y >= top && y < bottom;
}

TEST(BatteryGlyph, BodyNubHollowAndBarInEachLevelColourWithAlpha)
{
    // Charge and the right edge of the bar inside the hollow (0: no bar).
    const struct {
        int charge;
        int barRight;
    } charges[] = { { -1, 0 }, { 0, 0 }, { 1, 5 }, { 4, 5 }, { 5, 5 }, { 50, 14 }, { 100, 24 } };
    const struct {
        int level;
        UINT32 bgr;
    } levels[] = { { LEVEL_ON_LINE, 0x3E6B4C }, { LEVEL_ON_BATTERY, 0xC2882A }, { LEVEL_CRITICAL, 0xC43A2B },
                   { LEVEL_NO_UPS, 0x6E6960 } };
    for (const auto& level : levels) {
        for (const auto& charge : charges) {
            HICON icon = DrawBatteryIcon(charge.charge, level.level);
            ASSERT_NE(nullptr, icon);
            std::vector<UINT32> pixels = IconPixels(icon);
            DestroyIcon(icon);
            int wrong = 0;
            for (int y = 0; y < 32; y++) {
                for (int x = 0; x < 32; x++) {
                    bool body = Inside(x, y, 1, 7, 27, 25) || Inside(x, y, 27, 12, 31, 20);
                    bool hollow = Inside(x, y, 4, 10, 24, 22);
                    bool bar = Inside(x, y, 4, 10, charge.barRight, 22);
                    bool opaque = (body && !hollow) || bar;
                    UINT32 expected = opaque ? 0xFF000000 | level.bgr : 0;
                    if (pixels[y * 32 + x] != expected && wrong++ < 3)
                        ADD_FAILURE() << "charge " << charge.charge << " level " << level.level << " at " << x
                                      << "," << y << ": " << std::hex << pixels[y * 32 + x] << " not " << expected;
                }
            }
            EXPECT_EQ(0, wrong) << "charge " << charge.charge << " level " << level.level;
        }
    }
}


std::wstring Tooltip(const UpsStatus& status, int capacity = TRAY_TIP_UNITS)
{
    WCHAR buffer[TRAY_TIP_UNITS];
    int length = BuildTooltip(buffer, capacity, &status);
    EXPECT_EQ((int)wcslen(buffer), length);
    return buffer;
}

TEST(Tooltip, StateChargeRuntimeAndTheShuttingDownLine)
{
    const struct {
        UpsStatus status;
        bool armed;
        const wchar_t* text;
    } cases[] = {
        { MakeStatus(0, 0, -1, -1), false, L"Corvane - no UPS detected" },
        { MakeStatus(0, 1, 50, 600), true, L"Corvane - no UPS detected" },
        { MakeStatus(1, 0, 100, 3900), false, L"Corvane - On line, 100%, 1 h 5 min" },
        { MakeStatus(1, 1, 64, 540), false, L"Corvane - ON BATTERY, 64%, 9 min left" },
        { MakeStatus(1, 1, 64, 540), true, L"Corvane - ON BATTERY, 64%, 9 min left\r\nShutting down" },
        { MakeStatus(1, 0, -1, -1), false, L"Corvane - On line, unknown" },
        { MakeStatus(1, 0, 0, 720), false, L"Corvane - On line, 0%, 12 min" },
    };
    for (const auto& c : cases) {
        Outage.State = c.armed ? OUTAGE_ARMED : OUTAGE_QUIET;
        EXPECT_EQ(c.text, Tooltip(c.status));
    }
    Outage.State = OUTAGE_QUIET;
    // Cut to the capacity, terminated.
    EXPECT_EQ(L"Corvane - O", Tooltip(MakeStatus(1, 0, 100, 3900), 12));
}

class Tray : public ::testing::Test {
protected:
    void SetUp() override
    {
        App.MainWindow = (HWND)(ULONG_PTR)0x4242;
        App.ClassIcon = LoadIconW(NULL, IDI_APPLICATION);
        TrayIcon.Added = FALSE;
        Publish(MakeStatus(1, 0, 100, 3900));
    }
    static void Publish(const UpsStatus& status)
    {
        AcquireSRWLockExclusive(&StatusLock);
        Snapshot = status;
        ReleaseSRWLockExclusive(&StatusLock);
    }

    FakeShell shell;
    ShellStandIn standIn{ &shell };
};

TEST_F(Tray, AddTriesTheGuidTwiceThenFallsBackToWindowAndId)
{
    const UINT WITH_GUID = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_GUID;
    const UINT CLASSIC = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    const struct {
        int refuseGuid;
        bool refuseClassic;
        std::vector<std::pair<DWORD, UINT>> calls;
        BOOL added, usesGuid;
    } cases[] = {
        { 0, false, { { NIM_ADD, WITH_GUID } }, TRUE, TRUE },
        { 1, false, { { NIM_ADD, WITH_GUID }, { NIM_DELETE, WITH_GUID }, { NIM_ADD, WITH_GUID } }, TRUE, TRUE },
        { 2, false,
          { { NIM_ADD, WITH_GUID }, { NIM_DELETE, WITH_GUID }, { NIM_ADD, WITH_GUID }, { NIM_ADD, CLASSIC } },
          TRUE, FALSE },
        { -1, true,
          { { NIM_ADD, WITH_GUID }, { NIM_DELETE, WITH_GUID }, { NIM_ADD, WITH_GUID }, { NIM_ADD, CLASSIC } },
          FALSE, FALSE },
    };
    for (const auto& c : cases) {
        shell.Calls.clear();
        shell.RefuseGuidAdds = c.refuseGuid;
        shell.RefuseClassicAdds = c.refuseClassic;
        EXPECT_EQ(c.added, AddTrayIcon());
        EXPECT_EQ(c.added, TrayIcon.Added);
        EXPECT_EQ(c.usesGuid, TrayIcon.UsesGuid);
        std::vector<std::pair<DWORD, UINT>> seen;
        for (const ShellCall& call : shell.Calls) {
            seen.push_back({ call.Message, call.Flags });
            EXPECT_EQ(App.MainWindow, call.Window);
            EXPECT_EQ(1u, call.Id);
            EXPECT_EQ(0x8001u, call.CallbackMessage);
            EXPECT_EQ(App.ClassIcon, call.Icon);
            EXPECT_EQ(L"Corvane", call.Tip);
            if (call.Flags & NIF_GUID) {
                EXPECT_TRUE(IsEqualGUID(TrayIconGuid, call.Guid));
            }
        }
        EXPECT_EQ(c.calls, seen) << "refusing the GUID " << c.refuseGuid;
    }
    // Never added: an update asks nothing of the shell.
    shell.Calls.clear();
    UpdateTrayIcon();
    EXPECT_TRUE(shell.Calls.empty());
}

TEST_F(Tray, UpdatesRedrawOnlyOnChangeAndFreeTheOldIconAfterTheShellHasTheNew)
{
    ASSERT_TRUE(AddTrayIcon());
    UpdateTrayIcon();
    ASSERT_EQ(2u, shell.Calls.size());
    const ShellCall& first = shell.Calls[1];
    EXPECT_EQ((DWORD)NIM_MODIFY, first.Message);
    EXPECT_EQ((UINT)(NIF_ICON | NIF_TIP | NIF_GUID), first.Flags);
    EXPECT_NE(App.ClassIcon, first.Icon);
    EXPECT_EQ(L"Corvane - On line, 100%, 1 h 5 min", first.Tip);
    HICON drawn = first.Icon;

    // The same charge and level: the same picture, only the tooltip again.
    Publish(MakeStatus(1, 0, 100, 3000));
    UpdateTrayIcon();
    EXPECT_EQ(drawn, shell.Calls.back().Icon);
    EXPECT_EQ(L"Corvane - On line, 100%, 50 min", shell.Calls.back().Tip);

    // Same charge, new level: a new picture; the old one dies only after.
    Publish(MakeStatus(1, 1, 100, 3000));
    UpdateTrayIcon();
    EXPECT_NE(drawn, shell.Calls.back().Icon);
    ICONINFO info;
    EXPECT_FALSE(GetIconInfo(drawn, &info)) << "the replaced icon must be destroyed";
    Publish(MakeStatus(1, 1, 99, 3000));
    UpdateTrayIcon();
    EXPECT_EQ(0, shell.DeadIconsHeld);

    // By window and id when the GUID was not taken.
    TrayIcon.UsesGuid = FALSE;
    Publish(MakeStatus(1, 1, 99, 2990));
    UpdateTrayIcon();
    EXPECT_EQ((UINT)(NIF_ICON | NIF_TIP), shell.Calls.back().Flags);
    TrayIcon.UsesGuid = TRUE;

    RemoveTrayIcon();
    EXPECT_EQ((DWORD)NIM_DELETE, shell.Calls.back().Message);
    EXPECT_EQ((UINT)NIF_GUID, shell.Calls.back().Flags);
    EXPECT_FALSE(TrayIcon.Added);
    EXPECT_EQ(nullptr, TrayIcon.Drawn);
    EXPECT_EQ(TRAY_CHARGE_UNCACHED, TrayIcon.CachedCharge);
}

TEST_F(Tray, AnUpdateThatChangesNothingShownMakesNoShellCall)
{
    ASSERT_TRUE(AddTrayIcon());
    UpdateTrayIcon();
    size_t calls = shell.Calls.size();
    // Nothing the icon shows: no call, however often.
    UpdateTrayIcon();
    UpdateTrayIcon();
    EXPECT_EQ(calls, shell.Calls.size());

    // A new tooltip alone (the runtime, or the shutdown line) is a change.
    Publish(MakeStatus(1, 0, 100, 3000));
    UpdateTrayIcon();
    EXPECT_EQ(++calls, shell.Calls.size());
    Outage.State = OUTAGE_ARMED;
    UpdateTrayIcon();
    Outage.State = OUTAGE_QUIET;
    EXPECT_EQ(++calls, shell.Calls.size());
    EXPECT_EQ(L"Corvane - On line, 100%, 50 min\r\nShutting down", shell.Calls.back().Tip);

    // A refused call is made again on the next update, and only until taken.
    shell.RefuseModifies = true;
    UpdateTrayIcon();
    shell.RefuseModifies = false;
    UpdateTrayIcon();
    UpdateTrayIcon();
    calls += 2;
    EXPECT_EQ(calls, shell.Calls.size());

    // Explorer restarted: the add shows "Corvane", so the next update, with
    // nothing changed, still gives the shell the status.
    TrayIcon.Added = FALSE;
    ASSERT_TRUE(AddTrayIcon());
    UpdateTrayIcon();
    calls += 2;
    ASSERT_EQ(calls, shell.Calls.size());
    EXPECT_EQ((DWORD)NIM_MODIFY, shell.Calls.back().Message);
    EXPECT_EQ(L"Corvane - On line, 100%, 50 min", shell.Calls.back().Tip);
}

TEST_F(Tray, TenThousandUpdatesWithAChangingChargeLeaveNothingBehind)
{
    ASSERT_TRUE(AddTrayIcon());
    for (int i = 0; i < 101; i++) {
        Publish(MakeStatus(1, i % 3 == 0, i, 600 + i));
        UpdateTrayIcon();
    }
    HANDLE self = GetCurrentProcess();
    int gdiBefore = resource_count::CountGdiObjects(self);
    int handlesBefore = resource_count::CountHandles(GetCurrentProcessId());
    int heapBefore = resource_count::MeasureHeap().Blocks;
    ASSERT_GT(gdiBefore, 0);
    for (int i = 0; i < 10000; i++) {
        Publish(MakeStatus(1, i % 3 == 0, i % 101, 600 + i));
        UpdateTrayIcon();
    }
    EXPECT_EQ(gdiBefore, resource_count::CountGdiObjects(self));
    EXPECT_EQ(handlesBefore, resource_count::CountHandles(GetCurrentProcessId()));
    EXPECT_EQ(heapBefore, resource_count::MeasureHeap().Blocks);
    EXPECT_EQ(0, shell.DeadIconsHeld);
}

}  // namespace
