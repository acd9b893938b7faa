// Client for the Corvane emulated UPS. Its parts, one concern a file:
// emu_descriptor.cpp (report descriptor builder and parser), emu_profiles.cpp
// (the built-in devices), emu_install.cpp (the driver, the slots, adding and
// removing devices) and emu_state.cpp (a device's values, reports, faults and
// request log). This file holds what they all report errors through.
#ifndef UNICODE
#define UNICODE
#endif
#include "emu_client.h"
#include "emu_internal.h"

#include <stdarg.h>
#include <stdio.h>

static char g_error[512];

bool emu_internal::fail(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_error, sizeof(g_error), fmt, ap);
    va_end(ap);
    return false;
}

const char *emu_last_error() { return g_error; }
