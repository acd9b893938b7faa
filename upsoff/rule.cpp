// The output-off decision and the value written: pure, no system call.
#include "upsoff/rule.h"

int ChooseUpsOffAction(const UpsOffFacts* facts)
{
    // Some UPSes count in whole minutes and round down: 59 would mean now.
    if (facts->DelaySeconds < UPSOFF_DELAY_MIN_SECONDS || facts->DelaySeconds > UPSOFF_DELAY_MAX_SECONDS)
        return UPSOFF_NOTHING;
    // A logoff ends this user's session only; a program closed for an update
    // leaves the computer running.
    if (!facts->SessionEnds || (facts->EndFlags & (ENDSESSION_LOGOFF | ENDSESSION_CLOSEAPP)))
        return UPSOFF_NOTHING;
    // Written on line, some UPSes turn their output off and leave it off.
    if (!facts->ForcedShutdown || !facts->OnBattery)
        return UPSOFF_NOTHING;
    if (facts->Field == UPSOFF_FIELD_READY)
        return UPSOFF_WRITE;
    return facts->Field == UPSOFF_FIELD_TOO_SMALL ? UPSOFF_SAY_TOO_SMALL : UPSOFF_SAY_MISSING;
}

static UINT64 PowerOfTen(INT32 exponent)
{
    UINT64 power = 1;
    for (INT32 i = 0; i < exponent; i++)
        power *= 10;
    return power;
}

// The largest raw value the field's bits and logical range both allow;
// 0 when they allow none.
static UINT64 LargestRaw(const OffDelaySlot* field)
{
    if (field->BitSize == 0 || field->BitSize > 32 || field->LogicalMax <= 0)
        return 0;
    // A field that may be negative keeps its top bit for the sign.
    UINT32 bits = field->LogicalMin < 0 ? field->BitSize - 1 : field->BitSize;
    UINT64 largest = ((UINT64)1 << bits) - 1;
    return (UINT64)field->LogicalMax < largest ? (UINT64)field->LogicalMax : largest;
}

BOOL UpsOffRawValue(const OffDelaySlot* field, INT32 seconds, UINT32* raw, INT32* counted)
{
    if (seconds <= 0)
        return FALSE;
    INT32 exponent = field->UnitExponent;
    UINT64 unit = PowerOfTen(exponent > 0 ? exponent : -exponent);
    UINT64 value = exponent >= 0 ? ((UINT64)seconds + unit - 1) / unit : (UINT64)seconds * unit;
    if (value > LargestRaw(field) || (INT64)value < field->LogicalMin)
        return FALSE;
    *raw = (UINT32)value;
    *counted = exponent >= 0 ? (INT32)(value * unit) : seconds;
    return TRUE;
}
