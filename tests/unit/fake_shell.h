// A stand-in for the notification area: records every Shell_NotifyIconW call
// the tray code makes and answers as told. While it holds an icon it checks
// that the icon is still alive, as the real shell needs it to be.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include <string>
#include <vector>
#include "ui/tray.h"

struct ShellCall {
    DWORD Message;
    UINT Flags;
    HWND Window;
    UINT Id;
    UINT CallbackMessage;
    GUID Guid;
    HICON Icon;
    std::wstring Tip;
    std::wstring InfoTitle;
    std::wstring Info;
    DWORD InfoFlags;
};

struct FakeShell {
    int RefuseGuidAdds = 0;     // how many NIM_ADDs with NIF_GUID fail; -1: all of them
    bool RefuseClassicAdds = false;
    bool RefuseModifies = false;
    std::vector<ShellCall> Calls;
    HICON Held = NULL;          // the icon the shell shows
    int DeadIconsHeld = 0;      // times the held icon had been destroyed before it was replaced

    static FakeShell*& Current()
    {
        static FakeShell* current = nullptr;
        return current;
    }

    static BOOL WINAPI NotifyIcon(DWORD message, PNOTIFYICONDATAW data)
    {
        FakeShell* shell = Current();
        shell->Calls.push_back({ message, data->uFlags, data->hWnd, data->uID, data->uCallbackMessage, data->guidItem,
                                 data->hIcon, data->szTip, data->szInfoTitle, data->szInfo, data->dwInfoFlags });
        if (message == NIM_ADD) {
            bool guid = (data->uFlags & NIF_GUID) != 0;
            if (guid && shell->RefuseGuidAdds != 0) {
                if (shell->RefuseGuidAdds > 0)
                    shell->RefuseGuidAdds--;
                return FALSE;
            }
            if (!guid && shell->RefuseClassicAdds)
                return FALSE;
        }
        if (message == NIM_MODIFY && shell->RefuseModifies)
            return FALSE;
        if ((message == NIM_ADD || message == NIM_MODIFY) && (data->uFlags & NIF_ICON)) {
            ICONINFO info;
            if (shell->Held && !GetIconInfo(shell->Held, &info))
                shell->DeadIconsHeld++;
            else if (shell->Held) {
                DeleteObject(info.hbmColor);
                DeleteObject(info.hbmMask);
            }
            shell->Held = data->hIcon;
        }
        return TRUE;
    }
};

// Puts the fake in place of the shell for the life of one test.
class ShellStandIn {
public:
    explicit ShellStandIn(FakeShell* shell) : saved_(TrayCalls)
    {
        FakeShell::Current() = shell;
        TrayCalls.Shell_NotifyIconW = FakeShell::NotifyIcon;
    }
    ~ShellStandIn()
    {
        RemoveTrayIcon();
        TrayCalls = saved_;
        FakeShell::Current() = nullptr;
        TrayIcon.CachedLevel = TRAY_CHARGE_UNCACHED;
    }

private:
    TraySystemCalls saved_;
};
