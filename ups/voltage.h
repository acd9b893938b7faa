// Voltage readings: the unit exponent as the parser gives it, the conversion
// of one raw reading to tenths of a volt, and the pass over the VoltageList
// readings of a poll that picks the input voltage. All pure.
#pragma once
#include <windows.h>
#include "ups/report_read.h"

enum : ULONG { UNIT_VOLT = 0x00F0D121 };

// The HID unit exponent is a signed 4-bit code; parsers hand it over either
// as the raw nibble (0..15) or already sign-extended. Both give -8..7.
INT32 UnitExponent(ULONG unitsExp);

// Tenths of a volt, or -1 when the reading cannot be held in 32 bits.
// With the volt unit and an exponent it is converted exactly (7 = volts,
// 6 = tenths, 5 = hundredths, truncated); otherwise by magnitude: below 800
// whole volts, from 800 on hundredths.
INT32 VoltageTenths(ULONG raw, ULONG units, INT32 unitExponent);

// The first VoltageList reading of 80.0 V or more, in tenths, or -1. Battery
// voltages fall below that floor and are passed over.
INT32 ChooseInputVoltage(const PollReadings* readings);
