// Reading the Voltage values of the open UPS and telling the mains input from
// the battery by unit and magnitude. Monitor thread only.
#include "ups/voltage.h"
#include "ups/usage_map.h"

enum : INT32 { INPUT_VOLTAGE_FLOOR = 800 };   // 80.0 V: anything lower is a battery

INT32 UnitExponent(ULONG unitsExp)
{
    INT32 code = (INT32)(unitsExp & 0xF);
    return code >= 8 ? code - 16 : code;
}

static INT32 FitTenths(UINT64 tenths)
{
    return tenths > 0x7FFFFFFF ? -1 : (INT32)tenths;
}

INT32 VoltageTenths(ULONG raw, ULONG units, INT32 unitExponent)
{
    if (units == UNIT_VOLT && unitExponent != 0) {
        // Exponent 6 is a tenth of a volt: each step up multiplies by ten,
        // each step down divides.
        UINT64 tenths = raw;
        for (INT32 e = unitExponent; e > 6; e--)
            tenths *= 10;
        for (INT32 e = unitExponent; e < 6; e++)
            tenths /= 10;
        return FitTenths(tenths);
    }
    if (raw < 800)
        return FitTenths((UINT64)raw * 10);
    return FitTenths(raw / 10);
}

INT32 ChooseInputVoltage(const PollReadings* readings)
{
    for (INT32 i = 0; i < VoltageList.Count; i++) {
        const VoltageSlot* entry = &VoltageList.Entries[i];
        if (!readings->VoltageRead[i] || readings->VoltageRaw[i] == 0)
            continue;
        INT32 tenths = VoltageTenths(readings->VoltageRaw[i], entry->Units, entry->UnitExponent);
        if (tenths >= INPUT_VOLTAGE_FLOOR)
            return tenths;
    }
    return -1;
}
