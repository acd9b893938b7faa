// The main window's commands and placement: the pure placement arithmetic and
// menu entries, the start-with-Windows switch against the real registry, the
// Explorer arguments, and the real window procedure driving the shutdown
// controller (behind its call table) and the tray (behind a stand-in shell).
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "app/startup.h"
#include "monitor/monitor.h"
#include "monitor/shutdown.h"
#include "monitor/snapshot.h"
#include "ui/commands.h"
#include "ui/notify.h"
#include "ui/theme.h"
#include "ui/tray.h"
#include "ui/window.h"
#include "fake_shell.h"
#include "log_capture.h"

namespace {

TEST(Placement, CentredOnTheIconThenKeptInsideTheWorkArea)
{
    const struct {
        const char* name;
        bool hasIcon;
        RECT icon, work;
        int width, height, margin;
        RECT at;
    } cases[] = {
        // No icon rectangle (as under Wine): the bottom-right corner, M inside.
        { "no icon", false, {}, { 0, 0, 1024, 748 }, 400, 560, 12, { 612, 176, 1012, 736 } },
        { "taskbar at the bottom", true, { 500, 750, 516, 766 }, { 0, 0, 1024, 748 }, 400, 560, 12,
          { 308, 176, 708, 736 } },
        { "taskbar at the top", true, { 500, 5, 516, 21 }, { 0, 30, 1024, 768 }, 400, 560, 12, { 308, 42, 708, 602 } },
        { "taskbar at the left", true, { 10, 500, 26, 516 }, { 40, 0, 1024, 768 }, 400, 560, 12,
          { 52, 196, 452, 756 } },
        { "taskbar at the right", true, { 998, 500, 1014, 516 }, { 0, 0, 984, 768 }, 400, 560, 12,
          { 572, 196, 972, 756 } },
        { "144 DPI margin", false, {}, { 0, 0, 1024, 748 }, 400, 560, 18, { 606, 170, 1006, 730 } },
        // Too tall for the margins: at the work area's top, cut to its height.
        { "fits only without margins", false, {}, { 0, 0, 1024, 748 }, 400, 740, 12, { 612, 0, 1012, 740 } },
        { "150 % on 768 lines", true, { 1000, 730, 1016, 746 }, { 0, 0, 1024, 720 }, 586, 826, 18,
          { 420, 0, 1006, 720 } },
        // Wider than the work area too: the left margin wins.
        { "too large", false, {}, { 0, 0, 1024, 748 }, 1100, 800, 12, { 12, 0, 1112, 748 } },
        { "too large, second monitor", true, { 2000, 750, 2016, 766 }, { 1024, 40, 2048, 748 }, 1100, 800, 12,
          { 1036, 40, 2136, 748 } },
    };
    for (const auto& c : cases) {
        RECT at = ComputeTrayPlacement(c.hasIcon ? &c.icon : nullptr, &c.work, c.width, c.height, c.margin);
        EXPECT_EQ(c.at.left, at.left) << c.name;
        EXPECT_EQ(c.at.top, at.top) << c.name;
        EXPECT_EQ(c.at.right, at.right) << c.name;
        EXPECT_EQ(c.at.bottom, at.bottom) << c.name;
    }
}

std::vector<std::wstring> MenuTexts(BOOL armed, BOOL runAtStartup)
{
    TrayMenuEntry entries[TRAY_MENU_MAX_ENTRIES];
    int count = BuildTrayMenuEntries(entries, armed, runAtStartup);
    std::vector<std::wstring> texts;
    for (int i = 0; i < count; i++) {
        const TrayMenuEntry& e = entries[i];
        if (e.Flags & MF_SEPARATOR) {
            texts.push_back(L"---");
            continue;
        }
        std::wstring text = std::to_wstring(e.Id) + L" " + e.Text;
        if (e.Flags & MF_CHECKED)
            text += L" [x]";
        texts.push_back(text);
    }
    return texts;
}

TEST(TrayMenu, AbortOnlyWhileArmedAndRunAtStartupCheckedWhenSet)
{
    using Texts = std::vector<std::wstring>;
    EXPECT_EQ((Texts{ L"201 Open Corvane", L"---", L"203 Open log folder", L"206 Settings...",
                      L"205 Run at startup", L"---", L"202 Exit" }),
              MenuTexts(FALSE, FALSE));
    EXPECT_EQ((Texts{ L"201 Open Corvane", L"---", L"204 Abort shutdown", L"203 Open log folder",
                      L"206 Settings...", L"205 Run at startup [x]", L"---", L"202 Exit" }),
              MenuTexts(TRUE, TRUE));
}

const wchar_t RUN_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// The program's path as a stand-in gives it: `length` units of 'x' cut to
// the capacity, returning what the real call returns for such a path.
DWORD PathLength;
DWORD WINAPI FakeModulePath(HMODULE, LPWSTR path, DWORD capacity)
{
    DWORD written = PathLength < capacity ? PathLength : capacity;
    for (DWORD i = 0; i < written; i++)
        path[i] = L'x';
    if (written < capacity)
        path[written] = 0;
    else
        path[capacity - 1] = 0;
    return written;
}

LSTATUS WINAPI RefuseSet(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD)
{
    return ERROR_ACCESS_DENIED;
}

LSTATUS WINAPI RefuseDelete(HKEY, LPCWSTR)
{
    return ERROR_ACCESS_DENIED;
}

class RunAtStartup : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = CommandCalls;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key_,
                                                 NULL));
        RegDeleteValueW(key_, L"Corvane");
    }
    void TearDown() override
    {
        RegDeleteValueW(key_, L"Corvane");
        RegCloseKey(key_);
        CommandCalls = saved_;
    }
    // The value's data, or "(none)".
    std::wstring Value()
    {
        wchar_t data[600] = {};
        DWORD type = 0, bytes = sizeof(data) - sizeof(wchar_t);
        if (RegQueryValueExW(key_, L"Corvane", NULL, &type, (BYTE*)data, &bytes) != ERROR_SUCCESS)
            return L"(none)";
        EXPECT_EQ((DWORD)REG_SZ, type);
        EXPECT_EQ((wcslen(data) + 1) * sizeof(wchar_t), bytes) << "the size counts the terminator";
        return data;
    }

    HKEY key_ = NULL;
    CommandSystemCalls saved_;
    LogCapture log;
};

TEST_F(RunAtStartup, TogglesTheQuotedProgramPathOnAndOff)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    EXPECT_FALSE(IsRunAtStartupOn());
    ToggleRunAtStartup();
    EXPECT_EQ(L"\"" + std::wstring(self) + L"\"", Value());
    EXPECT_TRUE(IsRunAtStartupOn());
    ToggleRunAtStartup();
    EXPECT_EQ(L"(none)", Value());
    EXPECT_FALSE(IsRunAtStartupOn());
    EXPECT_EQ((std::vector<std::string>{ "run at startup: enabled", "run at startup: disabled" }), log.Messages());
}

TEST_F(RunAtStartup, APathOf259UnitsIsTakenOneThatFillsTheBufferIsNot)
{
    CommandCalls.GetModuleFileNameW = FakeModulePath;
    const struct {
        DWORD length;
        bool written;
    } cases[] = { { 259, true }, { 260, false }, { 300, false }, { 0, false } };
    for (const auto& c : cases) {
        PathLength = c.length;
        ToggleRunAtStartup();
        EXPECT_EQ(c.written ? L"\"" + std::wstring(c.length, L'x') + L"\"" : L"(none)", Value()) << c.length;
        RegDeleteValueW(key_, L"Corvane");
    }
    EXPECT_EQ((std::vector<std::string>{ "run at startup: enabled" }), log.Messages());
}

TEST_F(RunAtStartup, ARefusedWriteOrDeleteIsLoggedAsAnErrorNotAsDone)
{
    CommandCalls.RegSetValueExW = RefuseSet;
    ToggleRunAtStartup();
    EXPECT_EQ(L"(none)", Value());
    CommandCalls.RegSetValueExW = saved_.RegSetValueExW;
    ToggleRunAtStartup();
    CommandCalls.RegDeleteValueW = RefuseDelete;
    ToggleRunAtStartup();
    EXPECT_TRUE(IsRunAtStartupOn());
    std::vector<std::string> expected = {
        "ERROR - could not change run at startup, code 5",
        "run at startup: enabled",
        "ERROR - could not change run at startup, code 5",
    };
    EXPECT_EQ(expected, log.Messages());
}

struct ExplorerCall {
    int Calls;
    HWND Owner;
    std::wstring Verb, File, Parameters;
    bool DirectoryNull;
    INT Show;
} Explorer;

HINSTANCE WINAPI FakeShellExecute(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                                  INT show)
{
    Explorer = { Explorer.Calls + 1, owner, verb, file, parameters, directory == NULL, show };
    return (HINSTANCE)33;
}

TEST(OpenLogFolder, StartsExplorerFromTheWindowsFolderOnTheLogFileInQuotes)
{
    CommandSystemCalls saved = CommandCalls;
    CommandCalls.ShellExecuteW = FakeShellExecute;
    WCHAR savedPath[LOG_PATH_CAPACITY];
    AppendText(savedPath, 0, LOG_PATH_CAPACITY, LogPath);
    // A comma in the user's folder name must not split the argument.
    AppendText(LogPath, 0, LOG_PATH_CAPACITY, L"C:\\Users\\Smith, Jane\\AppData\\Local\\Quillfen\\Corvane\\corvane.log");
    OpenLogFolder();
    EXPECT_EQ(1, Explorer.Calls);
    EXPECT_EQ(nullptr, Explorer.Owner);
    EXPECT_EQ(L"open", Explorer.Verb);
    wchar_t windows[MAX_PATH];
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_EQ(std::wstring(windows) + L"\\explorer.exe", Explorer.File);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(Explorer.File.c_str())) << "no explorer there";
    EXPECT_EQ(L"/select,\"C:\\Users\\Smith, Jane\\AppData\\Local\\Quillfen\\Corvane\\corvane.log\"", Explorer.Parameters);
    EXPECT_TRUE(Explorer.DirectoryNull);
    EXPECT_EQ(SW_SHOWNORMAL, Explorer.Show);

    // The longest log path fits whole, quotes included; no path, no quotes.
    std::wstring longest(259, L'p');
    AppendText(LogPath, 0, LOG_PATH_CAPACITY, longest.c_str());
    OpenLogFolder();
    EXPECT_EQ(L"/select,\"" + longest + L"\"", Explorer.Parameters);
    LogPath[0] = 0;
    OpenLogFolder();
    EXPECT_EQ(L"/select,", Explorer.Parameters);

    // Without the Windows folder nothing is started, never Explorer by name.
    CommandCalls.GetSystemWindowsDirectoryW = [](LPWSTR, UINT) -> UINT { return 0; };
    OpenLogFolder();
    EXPECT_EQ(3, Explorer.Calls);

    AppendText(LogPath, 0, LOG_PATH_CAPACITY, savedPath);
    CommandCalls = saved;
}

// The real main window and its procedure, with the shell and the shutdown
// request stood in for.
volatile LONG Scheduled;
int Aborts;

DWORD WINAPI AcceptShutdown(LPWSTR, LPWSTR, DWORD, DWORD, DWORD)
{
    InterlockedExchange(&Scheduled, 1);
    return ERROR_SUCCESS;
}

BOOL WINAPI CancelShutdown(LPWSTR)
{
    Aborts++;
    return InterlockedExchange(&Scheduled, 0) != 0;
}

class MainWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        App.Module = GetModuleHandleW(NULL);
        App.TaskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
        ASSERT_TRUE(RegisterMainClass());
        App.MainWindow = CreateMainWindow();
        ASSERT_NE(nullptr, App.MainWindow);
    }
    void SetUp() override
    {
        savedCalls_ = ShutdownCalls;
        ShutdownCalls.InitiateShutdownW = AcceptShutdown;
        ShutdownCalls.AbortSystemShutdownW = CancelShutdown;
        Scheduled = 0;
        Aborts = 0;
        Outage = {};
        Notifier = {};
        ASSERT_TRUE(AddTrayIcon());
    }
    void TearDown() override
    {
        ShutdownCalls = savedCalls_;
        Outage = {};
    }
    // One pass of the monitor as far as the window and the controller see it.
    static void Pass(const UpsStatus& status)
    {
        PublishStatus(&status);
        SendMessageW(App.MainWindow, WM_STATUS_UPDATED, 0, 0);
        DecideShutdown(&status);
    }
    static UpsStatus OnBattery(INT32 charge, INT32 imminent = 0)
    {
        UpsStatus s;
        ResetStatus(&s);
        s.Present = 1;
        s.OnBattery = 1;
        s.ChargePercent = charge;
        s.RuntimeSeconds = 900;
        s.ShutdownImminent = imminent;
        return s;
    }
    void Command(WORD id)
    {
        SendMessageW(App.MainWindow, WM_COMMAND, id, 0);
    }
    // The tooltip the shell shows now: the last call that set one.
    std::wstring Tip() const
    {
        for (auto call = shell.Calls.rbegin(); call != shell.Calls.rend(); ++call) {
            if (call->Flags & NIF_TIP)
                return call->Tip;
        }
        return L"(none)";
    }

    FakeShell shell;
    ShellStandIn standIn{ &shell };
    LogCapture log;
    ShutdownSystemCalls savedCalls_;
};

TEST_F(MainWindow, AbortShutdownHoldsForTheOutageUntilAMoreUrgentReasonOrTheMainsReturn)
{
    UpsStatus charge15 = OnBattery(15);
    Pass(charge15);
    ASSERT_TRUE(IsShutdownArmed());
    SendMessageW(App.MainWindow, WM_STATUS_UPDATED, 0, 0);
    // The pass after arming tells the user, then the tooltip says so.
    const ShellCall& balloon = shell.Calls[shell.Calls.size() - 1];
    EXPECT_EQ(L"Shutting down in 30 s", balloon.InfoTitle);
    EXPECT_EQ(L"The battery is down to 15%. Right-click the tray icon to abort.", balloon.Info);
    EXPECT_EQ(L"Corvane - ON BATTERY, 15%, 15 min left\r\nShutting down", Tip());

    Command(CMD_ABORT_SHUTDOWN);
    EXPECT_FALSE(IsShutdownArmed());
    EXPECT_EQ(0, Scheduled);
    // The tooltip loses its second line at once, without waiting for a pass.
    EXPECT_EQ(L"Corvane - ON BATTERY, 15%, 15 min left", Tip());

    // The next passes on battery, same condition: nothing arms.
    Pass(OnBattery(14));
    Pass(OnBattery(13));
    EXPECT_FALSE(IsShutdownArmed());
    // The UPS raises ShutdownImminent: more urgent, so it arms again.
    Pass(OnBattery(12, 1));
    EXPECT_TRUE(IsShutdownArmed());
    Command(CMD_ABORT_SHUTDOWN);
    Pass(OnBattery(11, 1));
    EXPECT_FALSE(IsShutdownArmed());

    // Mains back, then a new outage: it arms as the first one did.
    UpsStatus onLine = OnBattery(40);
    onLine.OnBattery = 0;
    onLine.AcPresent = 1;
    Pass(onLine);
    Pass(OnBattery(15));
    EXPECT_TRUE(IsShutdownArmed());
    EXPECT_EQ(1, Scheduled);

    std::vector<std::string> expected = {
        "SHUTDOWN ARMED - charge fell below threshold; grace 30s",
        "shutdown aborted by user",
        "SHUTDOWN ARMED - UPS raised ShutdownImminent; grace 30s",
        "shutdown aborted by user",
        "SHUTDOWN ARMED - charge fell below threshold; grace 30s",
    };
    EXPECT_EQ(expected, log.Messages());
}

// A UPS gone for a pass (a stalled transfer, a loose cable) is not the
// mains' return: the abort still holds and the followers still read FSD.
TEST_F(MainWindow, AnUnplugKeepsTheOutageWithItsAbortAndItsFsd)
{
    Pass(OnBattery(15));
    Command(CMD_ABORT_SHUTDOWN);
    UpsStatus gone;
    ResetStatus(&gone);
    Pass(gone);
    EXPECT_EQ(L"Corvane - no UPS detected", Tip());
    Pass(OnBattery(15));
    EXPECT_FALSE(IsShutdownArmed());
    EXPECT_TRUE(IsForcedShutdownRaised());
}

TEST_F(MainWindow, TaskbarCreatedAddsTheIconAgainWithTheGuidAndTheCurrentGlyph)
{
    Pass(OnBattery(60));
    HICON glyph = TrayIcon.Drawn;
    ASSERT_NE(nullptr, glyph);
    TrayIcon.UsesGuid = FALSE;
    shell.Calls.clear();
    SendMessageW(App.MainWindow, App.TaskbarCreatedMessage, 0, 0);
    ASSERT_EQ(2u, shell.Calls.size());
    EXPECT_EQ((DWORD)NIM_ADD, shell.Calls[0].Message);
    EXPECT_TRUE(shell.Calls[0].Flags & NIF_GUID);
    EXPECT_EQ(glyph, shell.Calls[0].Icon);
    EXPECT_EQ((DWORD)NIM_MODIFY, shell.Calls[1].Message);
    EXPECT_EQ(glyph, shell.Calls[1].Icon) << "nothing changed, so nothing is redrawn";
}

TEST_F(MainWindow, DpiChangeTakesTheSuggestedRectangleAndRebuildsTheFonts)
{
    DpiValue = 96;
    BuildFonts();
    RECT suggested = { 100, 40, 100 + 600, 40 + 700 };
    SendMessageW(App.MainWindow, WM_DPICHANGED, MAKEWPARAM(144, 144), (LPARAM)&suggested);
    RECT now;
    GetWindowRect(App.MainWindow, &now);
    EXPECT_EQ(suggested.left, now.left);
    EXPECT_EQ(suggested.top, now.top);
    EXPECT_EQ(suggested.right, now.right);
    EXPECT_EQ(suggested.bottom, now.bottom);
    EXPECT_EQ(144, DpiValue);
    LOGFONTW title = {};
    GetObjectW(TitleFont, sizeof(title), &title);
    EXPECT_EQ(-23, title.lfHeight);
    DpiValue = 96;
    BuildFonts();
}

TEST_F(MainWindow, AnIconTheShellRefusedIsAddedAgainOnATimerWithTheStateOfTheLastPass)
{
    RemoveTrayIcon();
    shell.RefuseGuidAdds = -1;
    shell.RefuseClassicAdds = true;
    EXPECT_FALSE(AddTrayIcon());
    UpsStatus status = OnBattery(60);
    PublishStatus(&status);
    // The shell comes up later, and says nothing.
    shell.RefuseGuidAdds = 0;
    shell.RefuseClassicAdds = false;
    shell.Calls.clear();
    DWORD started = GetTickCount();
    while (!TrayIcon.Added && GetTickCount() - started < 5 * TRAY_RETRY_MS) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    ASSERT_TRUE(TrayIcon.Added);
    EXPECT_EQ((DWORD)NIM_ADD, shell.Calls[0].Message);
    EXPECT_EQ(L"Corvane - ON BATTERY, 60%, 15 min left", Tip()) << "the state at once, not at the next pass";
}

// Stands in for Windows moving the window onto a monitor of 120 DPI: the
// first move brings WM_DPICHANGED with the rectangle Windows suggests there,
// the new size at the new place.
WNDPROC RealProcedure;
bool DpiChanged;
LRESULT CALLBACK OntoA120DpiMonitor(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const WINDOWPOS* position = (const WINDOWPOS*)lParam;
    if (message == WM_WINDOWPOSCHANGED && !DpiChanged && !(position->flags & SWP_NOMOVE)) {
        DpiChanged = true;
        SIZE size = MainWindowSize(120);
        RECT suggested = { position->x, position->y, position->x + size.cx, position->y + size.cy };
        CallWindowProcW(RealProcedure, window, WM_DPICHANGED, MAKEWPARAM(120, 120), (LPARAM)&suggested);
    }
    return CallWindowProcW(RealProcedure, window, message, wParam, lParam);
}

TEST_F(MainWindow, APlacementThatChangesTheDpiPlacesTheWindowAgainAtItsNewSize)
{
    DpiValue = 96;
    DpiChanged = false;
    RealProcedure = (WNDPROC)SetWindowLongPtrW(App.MainWindow, GWLP_WNDPROC, (LONG_PTR)OntoA120DpiMonitor);
    PlaceNearTray();
    SetWindowLongPtrW(App.MainWindow, GWLP_WNDPROC, (LONG_PTR)RealProcedure);
    ASSERT_TRUE(DpiChanged);
    RECT now;
    GetWindowRect(App.MainWindow, &now);
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    GetMonitorInfoW(MonitorFromWindow(App.MainWindow, MONITOR_DEFAULTTONEAREST), &info);
    SIZE size = MainWindowSize(120);
    // Its bottom-right corner 15 px (12 at 120 DPI) inside the work area's.
    EXPECT_EQ(info.rcWork.right - 15, now.right);
    EXPECT_EQ(info.rcWork.bottom - 15, now.bottom);
    EXPECT_EQ(size.cx, now.right - now.left);
    EXPECT_EQ(size.cy, now.bottom - now.top);
    DpiValue = 96;
    BuildFonts();
}

DWORD AllowedProcess;
bool OpenPostedFirst;
BOOL WINAPI RecordAllowance(DWORD process)
{
    AllowedProcess = process;
    MSG msg;
    OpenPostedFirst = PeekMessageW(&msg, App.MainWindow, WM_COMMAND, WM_COMMAND, PM_NOREMOVE);
    return TRUE;
}

TEST_F(MainWindow, ASecondStartLetsTheRunningOneTakeTheForegroundBeforeAskingItToOpen)
{
    // This process plays the running instance: it holds the mutex and the window.
    HANDLE running = CreateMutexW(NULL, FALSE, L"Local\\Quillfen.Corvane");
    StartupSystemCalls saved = StartupCalls;
    StartupCalls.AllowSetForegroundWindow = RecordAllowance;
    AllowedProcess = 0;
    EXPECT_EQ(0, RunCorvane());
    StartupCalls = saved;
    CloseHandle(running);
    EXPECT_EQ(GetCurrentProcessId(), AllowedProcess);
    EXPECT_FALSE(OpenPostedFirst);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, App.MainWindow, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EXPECT_EQ(CMD_OPEN, LOWORD(msg.wParam));
}

}  // namespace
