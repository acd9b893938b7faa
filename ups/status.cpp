// Placeholder until the HID poll lands: the record can be reset, no poll runs.
#include "ups/status.h"
#include "base/text.h"

void ResetStatus(UpsStatus* status)
{
    ByteClear(status, sizeof(*status));
    status->ChargePercent = -1;
    status->RuntimeSeconds = -1;
    status->LoadPercent = -1;
    status->InputVoltage = -1;
    status->CapacityWatts = -1;
    status->LoadWatts = -1;
}

INT32 PollUps(UpsStatus*)
{
    return 0;
}
