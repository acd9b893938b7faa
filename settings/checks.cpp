// The settings window's checks (see checks.h). Nothing here calls Windows:
// the window hands in its texts, and writes and applies only what comes out.
#include "settings/checks.h"
#include "base/text.h"
#include "net/address.h"

static const WCHAR* const MESSAGES[SETTINGS_TEXT_FIELDS] = {
    L"Runtime left: a whole number from 0 to 3600.",
    L"Charge: a whole number from 0 to 100.",
    L"Grace period: a whole number from 0 to 600.",
    L"Delay: a whole number from 60 to 600.",
    L"Address: an IPv4 or IPv6 address, such as 127.0.0.1 or ::.",
    L"Port: a whole number from 1 to 65535.",
    L"User: 1 to 63 characters, no control characters.",
    L"Password: at most 63 characters, no control characters.",
};

// Decimal digits and nothing else, within the bounds. The value stops
// growing past the upper bound, so no text can overflow it.
static BOOL ReadNumber(const WCHAR* text, INT32 minimum, INT32 maximum, INT32* value)
{
    INT32 number = 0;
    int digits = 0;
    for (; *text; text++, digits++) {
        if (*text < L'0' || *text > L'9')
            return FALSE;
        if (number <= maximum)
            number = number * 10 + (*text - L'0');
    }
    if (digits == 0 || number < minimum || number > maximum)
        return FALSE;
    *value = number;
    return TRUE;
}

// A text the server hands to its followers and the log shows: its length
// within bounds, and nothing that could end or hide in a line.
static BOOL ReadText(const WCHAR* text, int minimumLength, WCHAR* value)
{
    int length = TextLength(text);
    if (length < minimumLength || length >= NETWORK_TEXT_UNITS)
        return FALSE;
    for (int i = 0; i < length; i++) {
        if (text[i] < 0x20 || text[i] == 0x7F)
            return FALSE;
    }
    AppendText(value, 0, NETWORK_TEXT_UNITS, text);
    return TRUE;
}

static int CheckNetworkFields(const WCHAR* const* texts, Settings* next)
{
    if (!IsIpLiteral(texts[FIELD_ADDRESS]) || !ReadText(texts[FIELD_ADDRESS], 1, next->NetworkAddress))
        return FIELD_ADDRESS;
    if (!ReadNumber(texts[FIELD_PORT], 1, 65535, &next->NetworkPort))
        return FIELD_PORT;
    if (!ReadText(texts[FIELD_USER], 1, next->NetworkUser))
        return FIELD_USER;
    if (!ReadText(texts[FIELD_PASSWORD], 0, next->NetworkPassword))
        return FIELD_PASSWORD;
    return FIELD_NONE;
}

static int CheckFields(const SettingsForm* form, Settings* next)
{
    const WCHAR* const* texts = form->Texts;
    if (!ReadNumber(texts[FIELD_RUNTIME], 0, 3600, &next->RuntimeThresholdSeconds))
        return FIELD_RUNTIME;
    if (!ReadNumber(texts[FIELD_CHARGE], 0, 100, &next->ChargeThresholdPercent))
        return FIELD_CHARGE;
    if (!ReadNumber(texts[FIELD_GRACE], 0, 600, &next->GraceSeconds))
        return FIELD_GRACE;
    next->ShutdownAction = form->ShutdownAction == SHUTDOWN_ACTION_HIBERNATE ? SHUTDOWN_ACTION_HIBERNATE
                                                                             : SHUTDOWN_ACTION_POWER_OFF;
    next->NotificationsEnabled = form->Notifications ? 1 : 0;
    next->UpsOffDelaySeconds = 0;
    if (form->UpsOff && !ReadNumber(texts[FIELD_UPS_OFF_DELAY], 60, 600, &next->UpsOffDelaySeconds))
        return FIELD_UPS_OFF_DELAY;
    next->NetworkServerEnabled = form->NetworkServer ? 1 : 0;
    return form->NetworkServer ? CheckNetworkFields(texts, next) : FIELD_NONE;
}

int CheckSettingsForm(const SettingsForm* form, const Settings* base, Settings* settings, const WCHAR** message)
{
    Settings next = *base;
    int fault = CheckFields(form, &next);
    if (fault != FIELD_NONE) {
        *message = MESSAGES[fault];
        return fault;
    }
    *settings = next;
    return FIELD_NONE;
}
