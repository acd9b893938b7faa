// The settings window (see settings_window.h): the dialog of the template
// IDD_SETTINGS, filled from a copy of the settings in use, laid out here in
// the system's message font at the window's DPI, and applied through the
// pure checks (checks.cpp) and ApplySettings (apply.cpp).
#include "settings/settings_window.h"
#include "settings/apply.h"
#include "settings/checks.h"
#include "settings/settings_ids.h"
#include "app/startup.h"
#include "base/text.h"
#include "ui/theme.h"
#include "ui/window.h"

enum {
    // More than a field may hold, so that a text too long still reads as
    // too long once cut to this.
    FIELD_TEXT_UNITS = 80,
    // Shown in the disabled delay field while the UPS is not turned off:
    // room for a Windows shutdown that takes its time.
    SUGGESTED_UPS_OFF_DELAY = 120,
};

static HWND SettingsWindow;
static HFONT SettingsFont;

// The three columns whose width the texts decide.
enum {
    COLUMN_LABELS,
    COLUMN_CHECK_BOXES,
    COLUMN_BUTTONS,
    COLUMNS,
    COLUMN_NONE = COLUMNS,
};

// Pixel sizes for one DPI and font.
struct SettingsLayout {
    int LineHeight;
    int RowHeight;
    int Margin;
    int Gap;
    int CheckBox;             // a check box's box and the gap after it
    int FieldWidth;
    int Widths[COLUMNS];      // the labels' with the indent of those a check box governs
    int Width;                // of the client area
    int Height;
};

static int Larger(int a, int b)
{
    return a > b ? a : b;
}

static int TextWidth(HDC dc, HWND control)
{
    WCHAR text[FIELD_TEXT_UNITS];
    SendMessageW(control, WM_GETTEXT, FIELD_TEXT_UNITS, (LPARAM)text);
    RECT rect = { 0, 0, 0, 0 };
    DrawTextW(dc, text, -1, &rect, DT_CALCRECT | DT_SINGLELINE);
    return rect.right;
}

// One walk over the controls in the template's order, row by row: a label
// and its field, a check box (the labelled rows after it indented under its
// text), the message line, then the buttons side by side at the right.
// Measuring (no place) gives each control the font and widens the columns
// to fit every text; placing moves each control into its row.
static void WalkRows(HWND dialog, HDC dc, SettingsLayout* layout, BOOL place)
{
    const int* widths = layout->Widths;
    int y = layout->Margin;
    int indent = 0;
    int buttonX = layout->Width - layout->Margin - 3 * widths[COLUMN_BUTTONS] - 2 * layout->Gap;
    for (HWND control = GetWindow(dialog, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
        int id = (int)GetWindowLongW(control, GWL_ID);
        int x = layout->Margin;
        int top = y;
        int width = layout->FieldWidth;
        int height = layout->RowHeight;
        int column = COLUMN_NONE;
        int extra = 0;
        if (id >= IDC_LABEL_FIRST && id <= IDC_LABEL_LAST) {
            // The row is its field's: the label stands centred beside it.
            column = COLUMN_LABELS;
            extra = indent;
            x += indent;
            top += (layout->RowHeight - layout->LineHeight) / 2;
            width = widths[COLUMN_LABELS] - indent;
            height = layout->LineHeight;
        } else if (id >= IDC_NOTIFICATIONS && id <= IDC_NETWORK_SERVER) {
            column = COLUMN_CHECK_BOXES;
            extra = indent = layout->CheckBox;
            width = widths[COLUMN_CHECK_BOXES];
            y += height + layout->Gap;
        } else if (id == IDOK || id == IDCANCEL || id == IDC_APPLY) {
            column = COLUMN_BUTTONS;
            extra = 2 * layout->Margin;
            x = buttonX;
            width = widths[COLUMN_BUTTONS];
            buttonX += width + layout->Gap;
        } else if (id == IDC_MESSAGE) {
            // Two lines: the longest message wraps in a narrow window.
            width = layout->Width - 2 * layout->Margin;
            height = 2 * layout->LineHeight;
            y += height + layout->Gap;
        } else {
            // A field. A drop-down list's height is that of its open list.
            x += widths[COLUMN_LABELS] + layout->Gap;
            if (id == IDC_ACTION)
                height *= 4;
            y += layout->RowHeight + layout->Gap;
        }
        if (place) {
            SetWindowPos(control, NULL, x, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
        } else {
            SendMessageW(control, WM_SETFONT, (WPARAM)SettingsFont, FALSE);
            if (column != COLUMN_NONE)
                layout->Widths[column] = Larger(widths[column], extra + TextWidth(dc, control));
        }
    }
    layout->Height = y + layout->RowHeight + layout->Margin;
}

static void Measure(HWND dialog, int dpi, SettingsLayout* layout)
{
    HDC dc = GetDC(dialog);
    HGDIOBJ oldFont = SelectObject(dc, SettingsFont);
    TEXTMETRICW metrics;
    ByteClear(&metrics, sizeof(metrics));
    GetTextMetricsW(dc, &metrics);
    ByteClear(layout, sizeof(*layout));
    layout->LineHeight = metrics.tmHeight;
    layout->RowHeight = metrics.tmHeight + MulDiv(8, dpi, 96);
    layout->Margin = MulDiv(11, dpi, 96);
    layout->Gap = MulDiv(7, dpi, 96);
    layout->CheckBox = GetSystemMetricsForDpi(SM_CXMENUCHECK, (UINT)dpi) + MulDiv(6, dpi, 96);
    // Room for an IPv6 address of a few groups; a longer one scrolls.
    layout->FieldWidth = metrics.tmAveCharWidth * 24;
    layout->Widths[COLUMN_BUTTONS] = MulDiv(75, dpi, 96);
    WalkRows(dialog, dc, layout, FALSE);
    SelectObject(dc, oldFont);
    ReleaseDC(dialog, dc);
    const int* widths = layout->Widths;
    int widest = Larger(widths[COLUMN_LABELS] + layout->Gap + layout->FieldWidth,
                        Larger(widths[COLUMN_CHECK_BOXES], 3 * widths[COLUMN_BUTTONS] + 2 * layout->Gap));
    layout->Width = widest + 2 * layout->Margin;
}

static HFONT CreateMessageFont(int dpi)
{
    NONCLIENTMETRICSW metrics;
    ByteClear(&metrics, sizeof(metrics));
    metrics.cbSize = sizeof(metrics);
    if (!SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, (UINT)dpi))
        return NULL;
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

// The whole window for a DPI, the frame sized around it; also after the
// user changes the message font. A font that cannot be made keeps the old.
static void LayOut(HWND dialog, int dpi)
{
    HFONT font = CreateMessageFont(dpi);
    if (!font)
        return;
    HFONT oldFont = SettingsFont;
    SettingsFont = font;
    SettingsLayout layout;
    Measure(dialog, dpi, &layout);
    // Every control has the new font now.
    if (oldFont)
        DeleteObject(oldFont);
    WalkRows(dialog, NULL, &layout, TRUE);
    RECT frame = { 0, 0, layout.Width, layout.Height };
    AdjustWindowRectExForDpi(&frame, (DWORD)GetWindowLongW(dialog, GWL_STYLE), FALSE,
                             (DWORD)GetWindowLongW(dialog, GWL_EXSTYLE), (UINT)dpi);
    SetWindowPos(dialog, NULL, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(dialog, NULL, TRUE);
}

// Centred on the work area of the monitor the tray is on: where the user
// just clicked. A move onto a monitor of another DPI lays the window out
// anew there, at another size: it is centred once more.
static void PlaceOnTrayMonitor(HWND dialog)
{
    RECT work;
    if (!GetTrayWorkArea(&work))
        return;
    for (int attempt = 0; attempt < 2; attempt++) {
        RECT frame;
        GetWindowRect(dialog, &frame);
        UINT dpi = GetDpiForWindow(dialog);
        RECT at = ComputeTrayPlacement(&work, &work, frame.right - frame.left, frame.bottom - frame.top,
                                       MulDiv(12, (int)dpi, 96));
        SetWindowPos(dialog, NULL, at.left, at.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        if (GetDpiForWindow(dialog) == dpi)
            return;
    }
}

// The settings in use as the window shows them: an address too malformed
// to listen on shows as its default, so that one OK repairs it.
static void CopyShownSettings(Settings* settings)
{
    CopySettings(settings);
    if (settings->NetworkAddress[0] == 0) {
        Settings defaults;
        DefaultSettings(&defaults);
        AppendText(settings->NetworkAddress, 0, NETWORK_TEXT_UNITS, defaults.NetworkAddress);
    }
}

static BOOL IsChecked(HWND dialog, int id)
{
    return SendDlgItemMessageW(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

static void SetChecked(HWND dialog, int id, INT32 on)
{
    SendDlgItemMessageW(dialog, id, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

static void SetItemText(HWND dialog, int id, const WCHAR* text)
{
    SendDlgItemMessageW(dialog, id, WM_SETTEXT, 0, (LPARAM)text);
}

static void SetItemNumber(HWND dialog, int id, INT32 value)
{
    WCHAR text[12];
    AppendSigned(text, 0, 12, value);
    SetItemText(dialog, id, text);
}

// A field and its label are enabled only while the box that governs them
// is checked.
static void EnableDependents(HWND dialog)
{
    BOOL upsOff = IsChecked(dialog, IDC_UPS_OFF);
    BOOL server = IsChecked(dialog, IDC_NETWORK_SERVER);
    for (int id = IDC_UPS_OFF_DELAY; id <= IDC_PASSWORD; id++) {
        BOOL enabled = id == IDC_UPS_OFF_DELAY ? upsOff : server;
        EnableWindow(GetDlgItem(dialog, id), enabled);
        EnableWindow(GetDlgItem(dialog, id + IDC_LABEL_FIRST - IDC_FIELD_FIRST), enabled);
    }
}

static void ShowSettings(HWND dialog, const Settings* settings)
{
    SetItemNumber(dialog, IDC_RUNTIME, settings->RuntimeThresholdSeconds);
    SetItemNumber(dialog, IDC_CHARGE, settings->ChargeThresholdPercent);
    SetItemNumber(dialog, IDC_GRACE, settings->GraceSeconds);
    SendDlgItemMessageW(dialog, IDC_ACTION, CB_ADDSTRING, 0, (LPARAM)L"Shut down");
    SendDlgItemMessageW(dialog, IDC_ACTION, CB_ADDSTRING, 0, (LPARAM)L"Hibernate");
    SendDlgItemMessageW(dialog, IDC_ACTION, CB_SETCURSEL, (WPARAM)settings->ShutdownAction, 0);
    SetChecked(dialog, IDC_NOTIFICATIONS, settings->NotificationsEnabled);
    SetChecked(dialog, IDC_UPS_OFF, settings->UpsOffDelaySeconds);
    SetItemNumber(dialog, IDC_UPS_OFF_DELAY,
                  settings->UpsOffDelaySeconds ? settings->UpsOffDelaySeconds : (INT32)SUGGESTED_UPS_OFF_DELAY);
    SetChecked(dialog, IDC_NETWORK_SERVER, settings->NetworkServerEnabled);
    SetItemText(dialog, IDC_ADDRESS, settings->NetworkAddress);
    SetItemNumber(dialog, IDC_PORT, settings->NetworkPort);
    SetItemText(dialog, IDC_USER, settings->NetworkUser);
    SetItemText(dialog, IDC_PASSWORD, settings->NetworkPassword);
    EnableDependents(dialog);
}

static void ReadForm(HWND dialog, WCHAR (*texts)[FIELD_TEXT_UNITS], SettingsForm* form)
{
    for (int field = 0; field < SETTINGS_TEXT_FIELDS; field++) {
        SendDlgItemMessageW(dialog, IDC_FIELD_FIRST + field, WM_GETTEXT, FIELD_TEXT_UNITS, (LPARAM)texts[field]);
        form->Texts[field] = texts[field];
    }
    form->ShutdownAction = (INT32)SendDlgItemMessageW(dialog, IDC_ACTION, CB_GETCURSEL, 0, 0);
    form->Notifications = IsChecked(dialog, IDC_NOTIFICATIONS);
    form->UpsOff = IsChecked(dialog, IDC_UPS_OFF);
    form->NetworkServer = IsChecked(dialog, IDC_NETWORK_SERVER);
}

// OK and Apply: every field checked first; the first at fault gets the
// focus (its text selected) and the message line says what it takes.
static BOOL ApplyForm(HWND dialog)
{
    WCHAR texts[SETTINGS_TEXT_FIELDS][FIELD_TEXT_UNITS];
    SettingsForm form;
    ReadForm(dialog, texts, &form);
    Settings shown;
    CopyShownSettings(&shown);
    Settings next;
    const WCHAR* message = L"";
    int fault = CheckSettingsForm(&form, &shown, &next, &message);
    if (fault == FIELD_NONE && !ApplySettings(&next))
        message = L"The settings could not be saved: the log says why.";
    SetItemText(dialog, IDC_MESSAGE, message);
    if (fault != FIELD_NONE) {
        MessageBeep(MB_ICONWARNING);
        SendMessageW(dialog, WM_NEXTDLGCTL, (WPARAM)GetDlgItem(dialog, IDC_FIELD_FIRST + fault), TRUE);
    }
    return message[0] == 0;
}

static void CloseSettingsWindow()
{
    DestroyWindow(SettingsWindow);
    SettingsWindow = NULL;
    // Only now that no control uses it.
    DeleteObject(SettingsFont);
    SettingsFont = NULL;
}

static void InitSettingsWindow(HWND dialog)
{
    SettingsWindow = dialog;
    SendMessageW(dialog, WM_SETICON, ICON_BIG, (LPARAM)App.ClassIcon);
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, (LPARAM)App.ClassIcon);
    Settings settings;
    CopyShownSettings(&settings);
    ShowSettings(dialog, &settings);
    ApplyFrameTheme(dialog);
    LayOut(dialog, (int)GetDpiForWindow(dialog));
    PlaceOnTrayMonitor(dialog);
}

static void OnSettingsCommand(HWND dialog, WORD command)
{
    switch (command) {
    case IDOK:
        if (ApplyForm(dialog))
            CloseSettingsWindow();
        break;
    case IDC_APPLY:
        ApplyForm(dialog);
        break;
    case IDCANCEL:
        CloseSettingsWindow();
        break;
    case IDC_UPS_OFF:
    case IDC_NETWORK_SERVER:
        EnableDependents(dialog);
        break;
    }
}

// On a monitor of another DPI the window is laid out anew for it, in the
// place Windows suggests. Handled here, the dialog manager's own scaling,
// which knows nothing of the font set above, stays out of it.
static void OnSettingsDpiChanged(HWND dialog, int dpi, const RECT* suggested)
{
    LayOut(dialog, dpi);
    SetWindowPos(dialog, NULL, suggested->left, suggested->top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

static INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        InitSettingsWindow(dialog);
        return TRUE;
    case WM_COMMAND:
        OnSettingsCommand(dialog, LOWORD(wParam));
        return TRUE;
    case WM_DPICHANGED:
        OnSettingsDpiChanged(dialog, HIWORD(wParam), (const RECT*)lParam);
        return TRUE;
    case WM_SETTINGCHANGE:
        // The theme, or the message font, may have changed.
        ApplyFrameTheme(dialog);
        LayOut(dialog, (int)GetDpiForWindow(dialog));
        return TRUE;
    }
    return FALSE;
}

void OpenSettingsWindow()
{
    if (!SettingsWindow) {
        if (!CreateDialogParamW(App.Module, MAKEINTRESOURCEW(IDD_SETTINGS), NULL, SettingsProc, 0))
            return;
    } else if (IsIconic(SettingsWindow)) {
        ShowWindow(SettingsWindow, SW_RESTORE);
    }
    ShowWindow(SettingsWindow, SW_SHOW);
    SetForegroundWindow(SettingsWindow);
}

BOOL IsSettingsMessage(MSG* message)
{
    return SettingsWindow && IsDialogMessageW(SettingsWindow, message);
}
