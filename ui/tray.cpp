// The tray icon. Its state is the user-interface thread's alone; the status
// it shows is a copy of the Snapshot taken under StatusLock.
#include "ui/tray.h"
#include "app/settings.h"
#include "app/startup.h"
#include "base/text.h"
#include "monitor/shutdown.h"
#include "monitor/snapshot.h"
#include "ui/theme.h"
#include "ui/window.h"

// {7C1D4E6A-9B32-4F88-A417-620E3D951B08}
const GUID TrayIconGuid = { 0x7C1D4E6A, 0x9B32, 0x4F88, { 0xA4, 0x17, 0x62, 0x0E, 0x3D, 0x95, 0x1B, 0x08 } };

TrayIconState TrayIcon = { FALSE, FALSE, NULL, TRAY_CHARGE_UNCACHED, TRAY_CHARGE_UNCACHED, NULL };
// Apart from TrayIcon, whose initializer stores the whole record in the file.
static WCHAR TrayShownTip[TRAY_TIP_UNITS];

TraySystemCalls TrayCalls = { Shell_NotifyIconW };

static void PrepareIconData(NOTIFYICONDATAW* data, UINT flags)
{
    ByteClear(data, sizeof(*data));
    data->cbSize = sizeof(*data);
    data->hWnd = App.MainWindow;
    data->uID = TRAY_ICON_ID;
    data->uFlags = flags;
    if (flags & NIF_GUID)
        data->guidItem = TrayIconGuid;
}

static HICON IconOnShow()
{
    return TrayIcon.Drawn ? TrayIcon.Drawn : App.ClassIcon;
}

static BOOL TryAddTrayIcon()
{
    // Whatever the add shows, the next update gives the shell its own.
    TrayIcon.ShownIcon = NULL;
    NOTIFYICONDATAW data;
    PrepareIconData(&data, NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_GUID);
    data.uCallbackMessage = WM_TRAYICON;
    data.hIcon = IconOnShow();
    AppendText(data.szTip, 0, TRAY_TIP_UNITS, L"Corvane");
    TrayIcon.UsesGuid = TRUE;
    TrayIcon.Added = TrayCalls.Shell_NotifyIconW(NIM_ADD, &data);
    if (TrayIcon.Added)
        return TrayIcon.Added;
    // The shell may still hold the GUID for an icon of an earlier run that
    // ended without removing it: clear that one and try again.
    TrayCalls.Shell_NotifyIconW(NIM_DELETE, &data);
    TrayIcon.Added = TrayCalls.Shell_NotifyIconW(NIM_ADD, &data);
    if (TrayIcon.Added)
        return TrayIcon.Added;
    // A GUID the shell keeps refusing (it is tied to another program's path
    // on Windows) costs only the GUID: fall back to window and id.
    TrayIcon.UsesGuid = FALSE;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    TrayIcon.Added = TrayCalls.Shell_NotifyIconW(NIM_ADD, &data);
    return TrayIcon.Added;
}

BOOL AddTrayIcon()
{
    BOOL added = TryAddTrayIcon();
    // At sign-in the shell may not be ready yet, and no "TaskbarCreated"
    // need follow; without the icon the user has no way to reach Corvane at
    // all, so the add is tried again on a timer until it succeeds.
    if (added)
        KillTimer(App.MainWindow, TRAY_RETRY_TIMER);
    else
        SetTimer(App.MainWindow, TRAY_RETRY_TIMER, TRAY_RETRY_MS, NULL);
    return added;
}

void UpdateTrayIcon()
{
    if (!TrayIcon.Added)
        return;
    UpsStatus status;
    CopySnapshot(&status);
    Settings settings;
    CopySettings(&settings);
    int level = ComputeStatusLevel(&status, settings.RuntimeThresholdSeconds);
    int charge = status.ChargePercent;

    HICON replaced = NULL;
    if (charge != TrayIcon.CachedCharge || level != TrayIcon.CachedLevel) {
        HICON drawn = DrawBatteryIcon(charge, level);
        // A failed drawing keeps the old picture and cache, so the next
        // update tries again.
        if (drawn) {
            replaced = TrayIcon.Drawn;
            TrayIcon.Drawn = drawn;
            TrayIcon.CachedCharge = charge;
            TrayIcon.CachedLevel = level;
        }
    }

    NOTIFYICONDATAW data;
    PrepareIconData(&data, TrayIcon.UsesGuid ? NIF_ICON | NIF_TIP | NIF_GUID : NIF_ICON | NIF_TIP);
    data.hIcon = IconOnShow();
    BuildTooltip(data.szTip, TRAY_TIP_UNITS, &status);
    // Most passes change nothing the icon shows; the shell call, the dearest
    // part of an update, is then left out. A glyph drawn just now is never
    // the one shown, so nothing was replaced.
    if (data.hIcon == TrayIcon.ShownIcon && SameText(data.szTip, TrayShownTip))
        return;
    // After a refused call the shell's picture is unknown: the next update
    // tries again.
    TrayIcon.ShownIcon = TrayCalls.Shell_NotifyIconW(NIM_MODIFY, &data) ? data.hIcon : NULL;
    ByteCopy(TrayShownTip, data.szTip, sizeof(TrayShownTip));
    // Only now that the shell holds the new picture may the old one go.
    if (replaced)
        DestroyIcon(replaced);
}

void RemoveTrayIcon()
{
    if (TrayIcon.Added) {
        NOTIFYICONDATAW data;
        PrepareIconData(&data, TrayIcon.UsesGuid ? NIF_GUID : 0);
        TrayCalls.Shell_NotifyIconW(NIM_DELETE, &data);
        TrayIcon.Added = FALSE;
    }
    if (TrayIcon.Drawn) {
        DestroyIcon(TrayIcon.Drawn);
        TrayIcon.Drawn = NULL;
        TrayIcon.CachedCharge = TRAY_CHARGE_UNCACHED;
    }
}

void ShowTrayBalloon(const WCHAR* title, const WCHAR* text, DWORD icon)
{
    if (!TrayIcon.Added)
        return;
    NOTIFYICONDATAW data;
    PrepareIconData(&data, TrayIcon.UsesGuid ? NIF_INFO | NIF_GUID : NIF_INFO);
    AppendText(data.szInfoTitle, 0, ARRAYSIZE(data.szInfoTitle), title);
    AppendText(data.szInfo, 0, ARRAYSIZE(data.szInfo), text);
    data.dwInfoFlags = icon;
    TrayCalls.Shell_NotifyIconW(NIM_MODIFY, &data);
}

int BatteryBarRight(int charge)
{
    if (charge <= 0)
        return 0;
    int right = 4 + 20 * charge / 100;
    // Any positive charge shows at least one column.
    return right <= 4 ? 5 : right;
}

static void FillGlyphRect(HDC dc, int left, int top, int right, int bottom, HBRUSH brush)
{
    RECT rect = { left, top, right, bottom };
    FillRect(dc, &rect, brush);
}

// The glyph on a 32-bit section: body and nub in the level colour, a black
// (and so transparent) hollow, and the charge bar.
static void DrawGlyph(HDC dc, int charge, HBRUSH level, HBRUSH black)
{
    FillGlyphRect(dc, 1, 7, 27, 25, level);
    FillGlyphRect(dc, 27, 12, 31, 20, level);
    FillGlyphRect(dc, 4, 10, 24, 22, black);
    int right = BatteryBarRight(charge);
    if (right)
        FillGlyphRect(dc, 4, 10, right, 22, level);
}

// GDI leaves alpha 0 everywhere; every coloured pixel becomes opaque.
static void SetGlyphAlpha(UINT32* pixels)
{
    for (int i = 0; i < TRAY_GLYPH_SIZE * TRAY_GLYPH_SIZE; i++) {
        if (pixels[i] & 0x00FFFFFF)
            pixels[i] |= 0xFF000000;
    }
}

static HBITMAP CreateGlyphSection(HDC screen, UINT32** pixels)
{
    BITMAPINFO info;
    ByteClear(&info, sizeof(info));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = TRAY_GLYPH_SIZE;
    info.bmiHeader.biHeight = TRAY_GLYPH_SIZE;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = NULL;
    HBITMAP section = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    *pixels = (UINT32*)bits;
    return section;
}

HICON DrawBatteryIcon(int charge, int level)
{
    HDC screen = GetDC(NULL);
    if (!screen)
        return NULL;
    HICON icon = NULL;
    HDC memory = CreateCompatibleDC(screen);
    UINT32* pixels = NULL;
    HBITMAP section = CreateGlyphSection(screen, &pixels);
    HBRUSH levelBrush = CreateSolidBrush(LevelColour(level));
    HBRUSH blackBrush = CreateSolidBrush(RGB(0, 0, 0));
    static const BYTE EMPTY_MASK[TRAY_GLYPH_SIZE * TRAY_GLYPH_SIZE / 8] = {};
    HBITMAP mask = CreateBitmap(TRAY_GLYPH_SIZE, TRAY_GLYPH_SIZE, 1, 1, EMPTY_MASK);
    if (memory && section && pixels && levelBrush && blackBrush && mask) {
        HGDIOBJ previous = SelectObject(memory, section);
        DrawGlyph(memory, charge, levelBrush, blackBrush);
        // GDI may still be drawing into the section behind the DC's back.
        GdiFlush();
        SetGlyphAlpha(pixels);
        SelectObject(memory, previous);
        ICONINFO info;
        ByteClear(&info, sizeof(info));
        info.fIcon = TRUE;
        info.hbmMask = mask;
        info.hbmColor = section;
        icon = CreateIconIndirect(&info);
    }
    // The icon holds copies of both bitmaps.
    if (mask)
        DeleteObject(mask);
    if (blackBrush)
        DeleteObject(blackBrush);
    if (levelBrush)
        DeleteObject(levelBrush);
    if (section)
        DeleteObject(section);
    if (memory)
        DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return icon;
}

int BuildTooltip(WCHAR* buffer, int capacity, const UpsStatus* status)
{
    int position = AppendText(buffer, 0, capacity, L"Corvane");
    if (!status->Present)
        return AppendText(buffer, position, capacity, L" - no UPS detected");
    position = AppendText(buffer, position, capacity, status->OnBattery ? L" - ON BATTERY, " : L" - On line, ");
    if (status->ChargePercent >= 0) {
        position = AppendNumber(buffer, position, capacity, (UINT32)status->ChargePercent);
        position = AppendText(buffer, position, capacity, L"%, ");
    }
    position = AppendDuration(buffer, position, capacity, status->RuntimeSeconds);
    if (status->OnBattery)
        position = AppendText(buffer, position, capacity, L" left");
    if (IsShutdownArmed())
        position = AppendText(buffer, position, capacity, L"\r\nShutting down");
    return position;
}
