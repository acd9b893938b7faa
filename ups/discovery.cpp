// Placeholder until HID discovery lands: no UPS is ever found.
#include "ups/discovery.h"

UpsDeviceState UpsDevice = { INVALID_HANDLE_VALUE, NULL, {} };

INT32 OpenUps(UpsStatus*)
{
    return 0;
}

void CloseUps()
{
}
