// The settings window: a modeless dialog of standard controls, one at a
// time, that shows the settings in use and applies a change at once.
// User-interface thread only.
#pragma once
#include <windows.h>

// Opens the window, or brings it to the front when it is open.
void OpenSettingsWindow();

// For the message loop: the window's keyboard (Tab, Alt+letter, Enter,
// Esc). TRUE when the message was the window's and has been handled.
BOOL IsSettingsMessage(MSG* message);
