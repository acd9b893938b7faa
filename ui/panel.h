// The status panel: the whole client area of the main window, painted on
// every WM_PAINT. User-interface thread only.
#pragma once
#include <windows.h>

void PaintPanel(HWND window);
