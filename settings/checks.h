// The settings window's checks: the texts and choices of its fields in, a
// whole settings record or the first field at fault out, with what to tell
// the user. Pure; any thread.
#pragma once
#include <windows.h>
#include "app/settings.h"

// The text fields in the window's order, which is the order they are checked in.
enum SettingsField {
    FIELD_NONE = -1,
    FIELD_RUNTIME,
    FIELD_CHARGE,
    FIELD_GRACE,
    FIELD_UPS_OFF_DELAY,
    FIELD_ADDRESS,
    FIELD_PORT,
    FIELD_USER,
    FIELD_PASSWORD,
    SETTINGS_TEXT_FIELDS,
};

struct SettingsForm {
    const WCHAR* Texts[SETTINGS_TEXT_FIELDS];
    INT32 ShutdownAction;       // a SHUTDOWN_ACTION_ value
    BOOL Notifications;
    BOOL UpsOff;                // "Turn the UPS off after the shutdown"
    BOOL NetworkServer;
};

// FIELD_NONE and the whole record in *settings; or the first field at fault,
// *message naming it and its allowed values, and *settings untouched. A
// field its box disables is not checked: the record keeps base's value.
int CheckSettingsForm(const SettingsForm* form, const Settings* base, Settings* settings, const WCHAR** message);
