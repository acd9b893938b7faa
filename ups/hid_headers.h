// The HID parser and HID class declarations from mingw-w64. Its hidsdi.h and
// hidpi.h carry no extern "C" guards, so every ups/ file takes them from here
// or the C++ names would not match hid.dll's exports.
#pragma once
#include <windows.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
