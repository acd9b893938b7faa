// The look of the status window. DpiValue is the DPI of the monitor the main
// window is on; every pixel size is designed at 96 DPI and scaled with S(n).
// User-interface thread only.
#pragma once
#include <windows.h>

extern int DpiValue;

int S(int pixels);
