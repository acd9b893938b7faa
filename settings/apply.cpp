// Applying a checked settings record (see apply.h). The registry first, so
// that what is in use is always what the next start will read.
#include "settings/apply.h"
#include "base/log.h"
#include "base/text.h"
#include "monitor/monitor.h"
#include "net/server.h"

int ComposeSettingsLine(WCHAR* line, const Settings* settings)
{
    int position = AppendText(line, 0, SETTINGS_LINE_UNITS, L"settings changed:");
    for (int i = 0; i < SETTINGS_NUMBERS; i++) {
        position = AppendText(line, position, SETTINGS_LINE_UNITS, L" ");
        position = AppendText(line, position, SETTINGS_LINE_UNITS, SettingsNumberNames[i]);
        position = AppendText(line, position, SETTINGS_LINE_UNITS, L"=");
        position = AppendSigned(line, position, SETTINGS_LINE_UNITS, settings->Numbers[i]);
    }
    position = AppendText(line, position, SETTINGS_LINE_UNITS, L" NetworkAddress=");
    position = AppendText(line, position, SETTINGS_LINE_UNITS, settings->NetworkAddress);
    position = AppendText(line, position, SETTINGS_LINE_UNITS, L" NetworkUser=");
    return AppendText(line, position, SETTINGS_LINE_UNITS, settings->NetworkUser);
}

BOOL ApplySettings(const Settings* settings)
{
    Settings previous;
    CopySettings(&previous);
    // Written even when nothing changed: a value the registry held out of
    // range or of the wrong type is replaced by the one in use.
    LONG result = WriteSettings(settings);
    if (result != ERROR_SUCCESS) {
        WriteLogWithCode(L"ERROR - settings could not be saved, code ", (UINT32)result);
        return FALSE;
    }
    if (SameSettings(&previous, settings))
        return TRUE;
    PublishSettings(settings);
    WCHAR line[SETTINGS_LINE_UNITS];
    ComposeSettingsLine(line, settings);
    WriteLog(line);
    // A pass now decides with the new values, and the tooltip and the
    // window show them, rather than at the end of the monitor's wait.
    if (WakeEvent)
        SetEvent(WakeEvent);
    if (!SameNetworkSettings(&previous, settings) && !RestartNetworkServer())
        WriteLog(L"ERROR - network server did not stop; its new settings apply at the next start");
    return TRUE;
}
