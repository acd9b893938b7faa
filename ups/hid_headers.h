// The HID parser and HID class declarations from mingw-w64, for their types
// and signatures: the calls themselves go through HidCalls (ups/hid_calls.h),
// and the program does not link hid.dll. Its hidsdi.h and hidpi.h carry no
// extern "C" guards, so every ups/ file takes them from here.
#pragma once
#include <windows.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
