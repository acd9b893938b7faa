// The settings window's dialog and control ids, shared by its template in
// res/corvane.rc and by settings/settings_window.cpp. Plain definitions, so
// that the resource compiler reads them too.
#pragma once

#define IDD_SETTINGS 200

// The text fields, in the order of SettingsField (settings/checks.h), then
// the drop-down list; each label's id is its field's plus 10.
#define IDC_FIELD_FIRST 100
#define IDC_RUNTIME 100
#define IDC_CHARGE 101
#define IDC_GRACE 102
#define IDC_UPS_OFF_DELAY 103
#define IDC_ADDRESS 104
#define IDC_PORT 105
#define IDC_USER 106
#define IDC_PASSWORD 107
#define IDC_ACTION 108
#define IDC_LABEL_FIRST 110
#define IDC_LABEL_LAST 118

#define IDC_NOTIFICATIONS 120
#define IDC_UPS_OFF 121
#define IDC_NETWORK_SERVER 122

#define IDC_MESSAGE 130
#define IDC_APPLY 131
