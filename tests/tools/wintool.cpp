// A small console helper the system tests run under Wine to talk to the
// running program: find its window, post it messages and read its geometry.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <string.h>
#include <vector>
#include "../support/dib.h"
#include "../support/resource_count.h"

static const wchar_t CLASS_NAME[] = L"Quillfen.Corvane";

static HWND FindMain()
{
    return FindWindowW(CLASS_NAME, NULL);
}

static HWND FindSettings()
{
    return FindWindowW(L"#32770", L"Corvane Settings");
}

// The settings window and every control in it, one a line: id, where, state,
// text, and how wide the text is in the system's message font at the
// window's DPI (what the control must hold).
static int PrintSettings(HWND dialog)
{
    // Wine has one monitor, at the DPI the prefix gave every program at its
    // start. Asked from another process, GetDpiForWindow may answer the DPI
    // of an earlier window of the same class.
    UINT dpi = GetDpiForSystem();
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi);
    HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    HDC dc = GetDC(NULL);
    HGDIOBJ old = SelectObject(dc, font);
    RECT rect = {}, client = {};
    GetWindowRect(dialog, &rect);
    GetClientRect(dialog, &client);
    HWND focus = NULL;
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof(thread);
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, NULL), &thread))
        focus = thread.hwndFocus;
    printf("settings rect=%ld,%ld,%ld,%ld client=%ldx%ld dpi=%u foreground=%d focus=%d\n", rect.left, rect.top,
           rect.right, rect.bottom, client.right, client.bottom, dpi, GetForegroundWindow() == dialog ? 1 : 0,
           focus ? GetDlgCtrlID(focus) : 0);
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[32] = {}, text[128] = {};
        GetClassNameW(child, name, 32);
        DWORD_PTR copied = 0;
        SendMessageTimeoutW(child, WM_GETTEXT, 128, (LPARAM)text, SMTO_ABORTIFHUNG, 2000, &copied);
        RECT at = {}, need = {};
        GetWindowRect(child, &at);
        MapWindowPoints(NULL, dialog, (POINT*)&at, 2);
        DrawTextW(dc, text, -1, &need, DT_CALCRECT | DT_SINGLELINE);
        DWORD_PTR checked = 0;
        SendMessageTimeoutW(child, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 2000, &checked);
        printf("id=%d rect=%ld,%ld,%ld,%ld enabled=%d checked=%d need=%ld text=%ls\n", GetDlgCtrlID(child), at.left,
               at.top, at.right, at.bottom, IsWindowEnabled(child) ? 1 : 0,
               _wcsicmp(name, L"Button") == 0 && checked == BST_CHECKED ? 1 : 0, need.right, text);
    }
    SelectObject(dc, old);
    ReleaseDC(NULL, dc);
    DeleteObject(font);
    return 0;
}

// Drives one control of the settings window as the user would: its text
// set, or a button clicked (check boxes included).
static int SettingsControl(const wchar_t* verb, int id, const wchar_t* value)
{
    HWND dialog = FindSettings();
    HWND control = dialog ? GetDlgItem(dialog, id) : NULL;
    if (!control) {
        printf("no-control\n");
        return 1;
    }
    DWORD_PTR result = 0;
    if (wcscmp(verb, L"set") == 0)
        return SendMessageTimeoutW(control, WM_SETTEXT, 0, (LPARAM)value, SMTO_ABORTIFHUNG, 5000, &result) ? 0 : 1;
    return PostMessageW(control, BM_CLICK, 0, 0) ? 0 : 1;
}

static int Usage()
{
    fwprintf(stderr, L"usage: wintool post COMMAND | message MSG WPARAM LPARAM | info | wait MS\n"
                     L"       wintool frames MS FOLDER\n"
                     L"       wintool resources PID | tooltips | menus | broadcast NAME | keys VK...\n"
                     L"       wintool settings | settings set ID TEXT | settings click ID\n"
                     L"       wintool serve      (post COMMAND | resources PID | quit, one a line)\n"
                     L"       wintool launch [--set NAME=VALUE | --unset NAME]... -- PROGRAM\n");
    return 2;
}

// Wine fills LOCALAPPDATA and friends from the prefix's registry whatever the
// Unix environment says, so the tests set the program's environment here, in
// a Windows process, and start it from there. Returns the program's exit code.
static int Launch(int argc, wchar_t** argv)
{
    int i = 2;
    for (; i < argc && wcscmp(argv[i], L"--") != 0; i++) {
        if (wcscmp(argv[i], L"--unset") == 0 && i + 1 < argc) {
            SetEnvironmentVariableW(argv[++i], NULL);
        } else if (wcscmp(argv[i], L"--set") == 0 && i + 1 < argc) {
            wchar_t* assignment = argv[++i];
            wchar_t* equals = wcschr(assignment, L'=');
            if (!equals)
                return Usage();
            *equals = 0;
            SetEnvironmentVariableW(assignment, equals + 1);
        } else {
            return Usage();
        }
    }
    if (i + 1 >= argc)
        return Usage();
    wchar_t commandLine[1024];
    swprintf(commandLine, 1024, L"\"%ls\"", argv[i + 1]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[i + 1], commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        fwprintf(stderr, L"wintool: cannot start %ls: %lu\n", argv[i + 1], GetLastError());
        return 255;
    }
    printf("pid=%lu\n", (unsigned long)process.dwProcessId);
    fflush(stdout);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 255;
    GetExitCodeProcess(process.hProcess, &code);
    return (int)code;
}

// The visible windows of one class on the desktop, with their rectangles and
// texts. A tooltip answers WM_GETTEXT with the tip it shows, so this reads
// the tray icon's tooltip and balloon texts that Explorer displays.
struct ClassQuery {
    const wchar_t* ClassName;
    int Found;
};

static BOOL CALLBACK PrintWindowOfClass(HWND window, LPARAM parameter)
{
    ClassQuery* query = (ClassQuery*)parameter;
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (_wcsicmp(name, query->ClassName) != 0 || !IsWindowVisible(window))
        return TRUE;
    RECT rect = {};
    GetWindowRect(window, &rect);
    // GetWindowTextW only reads the stored caption of another process's
    // window; the message reaches the tooltip itself.
    wchar_t text[512] = {};
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 512, (LPARAM)text, SMTO_ABORTIFHUNG, 2000, &copied);
    // One line per window; line breaks inside the text are shown as \n.
    wchar_t escaped[1024] = {};
    int out = 0;
    for (int i = 0; text[i] && out < 1020; i++) {
        if (text[i] == L'\r' || text[i] == L'\n') {
            escaped[out++] = L'\\';
            escaped[out++] = text[i] == L'\r' ? L'r' : L'n';
        } else {
            escaped[out++] = text[i];
        }
    }
    printf("hwnd=%p rect=%ld,%ld,%ld,%ld text=%ls\n", (void*)window, rect.left, rect.top, rect.right, rect.bottom,
           escaped);
    query->Found++;
    return TRUE;
}

static int PrintWindowsOfClass(const wchar_t* className)
{
    ClassQuery query = { className, 0 };
    EnumWindows(PrintWindowOfClass, (LPARAM)&query);
    return query.Found ? 0 : 1;
}

// Key presses through Wine's own input queue. X keyboard events reach Wine
// only when its desktop window holds the X focus, which nothing gives it on a
// bare Xvfb; input sent here goes to the foreground thread, a menu included.
// "0x12+0x43" holds the first key while the second is pressed (Alt+C).
static int Keys(int argc, wchar_t** argv)
{
    for (int i = 2; i < argc; i++) {
        INPUT input[4] = {};
        wchar_t* second = NULL;
        input[0].type = INPUT_KEYBOARD;
        input[0].ki.wVk = (WORD)wcstoul(argv[i], &second, 0);
        UINT count = 1;
        if (*second == L'+') {
            input[1] = input[0];
            input[1].ki.wVk = (WORD)wcstoul(second + 1, NULL, 0);
            count = 2;
        }
        for (UINT k = 0; k < count; k++) {
            input[count + k] = input[count - 1 - k];
            input[count + k].ki.dwFlags = KEYEVENTF_KEYUP;
        }
        if (SendInput(2 * count, input, sizeof(INPUT)) != 2 * count)
            return 1;
        Sleep(150);
    }
    return 0;
}

// GDI objects and kernel handles held by another process, for leak tests.
static int Resources(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (!process) {
        printf("error cannot open process %lu: %lu\n", (unsigned long)processId, GetLastError());
        return 1;
    }
    int gdi = resource_count::CountGdiObjects(process);
    SIZE_T committed = resource_count::CommittedBytes(process);
    CloseHandle(process);
    int handles = resource_count::CountHandles(processId);
    printf("gdi=%d handles=%d committed=%zu\n", gdi, handles, committed);
    return gdi < 0 || handles < 0 ? 1 : 0;
}

// The commands a test sends many times, one a line on standard input with one
// answer line each, without starting a Wine process for every one.
static int Serve()
{
    printf("ready\n");
    fflush(stdout);
    char line[256];
    while (fgets(line, sizeof(line), stdin)) {
        line[strcspn(line, "\r\n")] = 0;
        if (strcmp(line, "quit") == 0)
            break;
        if (strncmp(line, "post ", 5) == 0) {
            HWND window = FindMain();
            printf(window && PostMessageW(window, WM_COMMAND, (WPARAM)strtoul(line + 5, NULL, 0), 0) ? "ok\n"
                                                                                                 : "no-window\n");
        } else if (strncmp(line, "resources ", 10) == 0) {
            Resources((DWORD)strtoul(line + 10, NULL, 0));
        } else {
            printf("error unknown command\n");
        }
        fflush(stdout);
    }
    return 0;
}

// Watches the window's client area on the screen for ms milliseconds, frame
// after frame as fast as the screen can be read: how many frames were seen,
// how often the picture changed, and how many frames showed the client area
// in one colour alone (blank: erased and not yet painted again). Each frame
// that differs from the one before is saved in folder as frame-NNNN.bgra,
// 32-bit pixels top-down, so a test can look at every picture shown.
static int Frames(HWND window, DWORD ms, const wchar_t* folder)
{
    RECT client = {};
    GetClientRect(window, &client);
    POINT origin = { 0, 0 };
    ClientToScreen(window, &origin);
    int width = client.right;
    int height = client.bottom;
    if (width <= 0 || height <= 0)
        return 1;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    UINT32* bits = NULL;
    HBITMAP bitmap = CreateTopDownDib(screen, width, height, &bits);
    HGDIOBJ old = SelectObject(memory, bitmap);
    size_t count = (size_t)width * height;
    std::vector<UINT32> previous(count);
    int frames = 0, changes = 0, blank = 0, saved = 0;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        BitBlt(memory, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
        GdiFlush();
        bool uniform = true;
        for (size_t i = 1; i < count && uniform; i++)
            uniform = (bits[i] & 0xFFFFFF) == (bits[0] & 0xFFFFFF);
        blank += uniform;
        bool changed = frames == 0 || memcmp(bits, previous.data(), count * 4) != 0;
        if (changed) {
            wchar_t path[MAX_PATH];
            swprintf(path, MAX_PATH, L"%ls\\frame-%04d.bgra", folder, saved++);
            FILE* out = _wfopen(path, L"wb");
            if (out) {
                fwrite(bits, 4, count, out);
                fclose(out);
            }
            memcpy(previous.data(), bits, count * 4);
            changes += frames > 0;
        }
        frames++;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    printf("frames=%d changes=%d blank=%d width=%d height=%d\n", frames, changes, blank, width, height);
    return 0;
}

int wmain(int argc, wchar_t** argv)
{
    // Geometry in real pixels, whatever DPI the prefix is set to.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    if (argc < 2)
        return Usage();

    if (wcscmp(argv[1], L"launch") == 0)
        return Launch(argc, argv);
    if (wcscmp(argv[1], L"serve") == 0)
        return Serve();
    if (wcscmp(argv[1], L"resources") == 0 && argc > 2)
        return Resources((DWORD)wcstoul(argv[2], NULL, 0));
    if (wcscmp(argv[1], L"tooltips") == 0)
        return PrintWindowsOfClass(L"tooltips_class32");
    if (wcscmp(argv[1], L"keys") == 0)
        return Keys(argc, argv);
    if (wcscmp(argv[1], L"menus") == 0)
        return PrintWindowsOfClass(L"#32768");
    if (wcscmp(argv[1], L"settings") == 0) {
        if (argc > 3)
            return SettingsControl(argv[2], (int)wcstol(argv[3], NULL, 0), argc > 4 ? argv[4] : L"");
        HWND dialog = FindSettings();
        if (!dialog) {
            printf("no-window\n");
            return 1;
        }
        return PrintSettings(dialog);
    }
    if (wcscmp(argv[1], L"broadcast") == 0 && argc > 2) {
        UINT message = RegisterWindowMessageW(argv[2]);
        return message && PostMessageW(HWND_BROADCAST, message, 0, 0) ? 0 : 1;
    }
    if (wcscmp(argv[1], L"wait") == 0) {
        DWORD limit = argc > 2 ? (DWORD)wcstoul(argv[2], NULL, 0) : 10000;
        DWORD started = GetTickCount();
        while (!FindMain()) {
            if (GetTickCount() - started > limit)
                return 1;
            Sleep(20);
        }
        return 0;
    }

    HWND window = FindMain();
    if (!window) {
        printf("no-window\n");
        return 1;
    }
    if (wcscmp(argv[1], L"post") == 0 && argc > 2) {
        if (PostMessageW(window, WM_COMMAND, (WPARAM)wcstoul(argv[2], NULL, 0), 0))
            return 0;
        printf("post failed, error %lu\n", GetLastError());
        return 1;
    }
    if (wcscmp(argv[1], L"message") == 0 && argc > 4) {
        UINT message = (UINT)wcstoul(argv[2], NULL, 0);
        WPARAM wParam = (WPARAM)wcstoull(argv[3], NULL, 0);
        LPARAM lParam = (LPARAM)wcstoll(argv[4], NULL, 0);
        return PostMessageW(window, message, wParam, lParam) ? 0 : 1;
    }
    if (wcscmp(argv[1], L"info") == 0) {
        RECT client = {};
        GetClientRect(window, &client);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        wchar_t title[128] = {};
        GetWindowTextW(window, title, 128);
        RECT outer = {};
        GetWindowRect(window, &outer);
        POINT origin = { 0, 0 };
        ClientToScreen(window, &origin);
        printf("visible=%d client=%ldx%ld origin=%ld,%ld dpi=%u style=0x%08lx pid=%lu iconic=%d foreground=%d "
               "rect=%ld,%ld,%ld,%ld title=%ls\n",
               IsWindowVisible(window) ? 1 : 0, client.right - client.left, client.bottom - client.top,
               origin.x, origin.y, GetDpiForWindow(window), (unsigned long)GetWindowLongW(window, GWL_STYLE),
               (unsigned long)pid, IsIconic(window) ? 1 : 0, GetForegroundWindow() == window ? 1 : 0,
               outer.left, outer.top, outer.right, outer.bottom, title);
        return 0;
    }
    if (wcscmp(argv[1], L"frames") == 0 && argc > 3)
        return Frames(window, (DWORD)wcstoul(argv[2], NULL, 0), argv[3]);
    return Usage();
}
