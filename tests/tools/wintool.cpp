// A small console helper the system tests run under Wine to talk to the
// running program: find its window, post it messages and read its geometry.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const wchar_t CLASS_NAME[] = L"Quillfen.Corvane";

static HWND FindMain()
{
    return FindWindowW(CLASS_NAME, NULL);
}

static int Usage()
{
    fwprintf(stderr, L"usage: wintool post COMMAND | message MSG WPARAM LPARAM | info | wait MS\n");
    return 2;
}

int wmain(int argc, wchar_t** argv)
{
    // Geometry in real pixels, whatever DPI the prefix is set to.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    if (argc < 2)
        return Usage();

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
        return PostMessageW(window, WM_COMMAND, (WPARAM)wcstoul(argv[2], NULL, 0), 0) ? 0 : 1;
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
        printf("visible=%d client=%ldx%ld dpi=%u style=0x%08lx pid=%lu title=%ls\n",
               IsWindowVisible(window) ? 1 : 0, client.right - client.left, client.bottom - client.top,
               GetDpiForWindow(window), (unsigned long)GetWindowLongW(window, GWL_STYLE),
               (unsigned long)pid, title);
        return 0;
    }
    return Usage();
}
