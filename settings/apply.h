// A checked settings record made the one in use: written to the registry,
// logged, published, and the monitor and the network server told.
// User-interface thread only.
#pragma once
#include <windows.h>
#include "app/settings.h"

enum { SETTINGS_LINE_UNITS = 400 };

// "settings changed: " and every value by its registry name except the
// password, which never reaches the log; returns the length.
int ComposeSettingsLine(WCHAR* line, const Settings* settings);

// FALSE, nothing published, when the registry could not be written: a
// change is applied whole or not at all.
BOOL ApplySettings(const Settings* settings);
