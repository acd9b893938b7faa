// Discovery and polling against the emulated UPS, through Wine's SetupDi,
// hidclass and HID parser: the same calls the monitor thread makes. Every
// test starts and ends with no emulated device in the prefix.
#include <gtest/gtest.h>
#include <cstdio>
#include <memory>
#include <string>
#include <string.h>
#include "emulated_ups.h"
#include "ups/discovery.h"
#include "ups/report_read.h"
#include "ups/usage_map.h"
#include "upsoff/rule.h"

namespace {

const uint32_t kVolt = 0x00F0D121, kWatt = 0x0000D121, kSecond = 0x00001001;

// A UPS described here rather than by a built-in profile, for shapes the
// profiles do not have: 32-bit values, a missing usage, flags without mains.
struct Descriptor {
    EmuDescBuilder b;
    void Begin()
    {
        b.page(0x84); b.usage(0x04); b.collection(1);           // UPS
    }
    void End()
    {
        // hidclass keeps a read pending on an input report: give it one.
        b.report_id(9);
        b.value('I', 0x84, 0x73, 1, 0, 1);
        b.pad('I', 7);
        b.end();
    }
    void Collection(uint16_t usage, uint8_t type)
    {
        b.page(0x84); b.usage(usage); b.collection(type);
    }
    void Flag(uint16_t page, uint16_t usage)
    {
        b.page(page); b.usage(usage);
        b.size(1); b.count(1); b.logical(0, 1); b.unit(0); b.unit_exp(0);
        b.main('F', 0x02);
    }
};

// Every usage once, each value a 32-bit field: room for raw values no 8- or
// 16-bit field could carry. Voltage has no unit, so its magnitude decides.
void BuildWide(Descriptor& d)
{
    d.Begin();
    d.Collection(0x24, 0);                                     // PowerSummary
    d.b.report_id(1);
    d.b.value('F', 0x85, 0x66, 32, 0, 0x7fffffff);
    d.b.value('F', 0x85, 0x68, 32, 0, 0x7fffffff, kSecond);
    d.b.value('F', 0x84, 0x44, 32, 0, 0x7fffffff, kWatt, 7);
    d.Collection(0x02, 2);                                     // PresentStatus
    d.b.report_id(2);
    d.Flag(0x85, 0xD0); d.Flag(0x85, 0x44); d.Flag(0x85, 0x45); d.Flag(0x85, 0x42);
    d.Flag(0x85, 0x4B); d.Flag(0x84, 0x69); d.Flag(0x84, 0x65);
    d.b.pad('F', 1);
    d.b.end();
    d.b.end();
    d.Collection(0x1A, 0);                                     // Input
    d.b.report_id(3);
    d.b.value('F', 0x84, 0x30, 32, 0, 0x7fffffff);
    d.b.end();
    d.Collection(0x1C, 0);                                     // Output
    d.b.report_id(4);
    d.b.value('F', 0x84, 0x35, 32, 0, 0x7fffffff);
    d.b.end();
    d.End();
}

// Charge alone: neither ACPresent nor Discharging.
void BuildChargeOnly(Descriptor& d)
{
    d.Begin();
    d.Collection(0x24, 0);
    d.b.report_id(1);
    d.b.value('F', 0x85, 0x66, 8, 0, 100);
    d.b.end();
    d.End();
}

// Capacity and the flags that do not tell presence: Charging,
// ShutdownImminent, BelowRemainingCapacityLimit, NeedReplacement, Overload.
void BuildCapacityAndFlags(Descriptor& d)
{
    d.Begin();
    d.Collection(0x24, 0);
    d.b.report_id(1);
    d.b.value('F', 0x84, 0x44, 16, 0, 65535, kWatt, 7);
    d.Collection(0x02, 2);
    d.b.report_id(2);
    d.Flag(0x85, 0x44); d.Flag(0x84, 0x69); d.Flag(0x85, 0x42); d.Flag(0x85, 0x4B); d.Flag(0x84, 0x65);
    d.b.pad('F', 3);
    d.b.end();
    d.b.end();
    d.End();
}

// DelayBeforeShutdown in shapes the profiles lack, alone in report 8 of the
// summary: counted in tens or tenths of seconds, a signed byte, or declared
// constant.
void BuildDelay(Descriptor& d, uint32_t bits, int32_t lmin, int32_t lmax, int exp, uint8_t flags)
{
    d.Begin();
    d.Collection(0x24, 0);
    d.b.report_id(8);
    d.b.page(0x84); d.b.usage(0x57); d.b.size(bits); d.b.count(1); d.b.logical(lmin, lmax);
    d.b.unit(kSecond); d.b.unit_exp(exp); d.b.main('F', flags);
    d.b.end();
    d.End();
}
void BuildDelayInTens(Descriptor& d) { BuildDelay(d, 16, 0, 65535, 1, 0x02); }
void BuildDelayInTenths(Descriptor& d) { BuildDelay(d, 16, 0, 65535, -1, 0x02); }
void BuildDelaySignedByte(Descriptor& d) { BuildDelay(d, 8, -1, 127, 0, 0x02); }
void BuildDelayConstant(Descriptor& d) { BuildDelay(d, 16, 0, 65535, 0, 0x03); }

class Ups : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(PrepareEmulatedUps());
        CloseUps();
        ResetStatus(&status_);
    }

    void TearDown() override
    {
        CloseUps();
        RemoveEmulatedDevices();
    }

    void Add(int slot, const char* profile, const char* product = nullptr, const char* manufacturer = nullptr,
             const char* pid = nullptr, const char* strings = nullptr)
    {
        std::unique_ptr<EmuProfile> p(new EmuProfile);
        ASSERT_TRUE(emu_profile_get(profile, p.get())) << emu_last_error();
        if (product) {
            ASSERT_TRUE(emu_profile_option(p.get(), "product", product));
        }
        if (manufacturer) {
            ASSERT_TRUE(emu_profile_option(p.get(), "manufacturer", manufacturer));
        }
        if (pid) {
            ASSERT_TRUE(emu_profile_option(p.get(), "pid", pid));
        }
        if (strings) {
            ASSERT_TRUE(emu_profile_option(p.get(), "strings", strings));
        }
        ASSERT_TRUE(emu_add(slot, p.get())) << emu_last_error();
    }

    void AddBuilt(int slot, void (*build)(Descriptor&), const char* state)
    {
        std::unique_ptr<EmuProfile> p(new EmuProfile);
        ASSERT_TRUE(emu_profile_get("plain", p.get()));
        Descriptor d;
        build(d);
        ASSERT_FALSE(d.b.overflow);
        memcpy(p->desc, d.b.bytes, d.b.len);
        p->desc_len = d.b.len;
        p->pid = 0xC0E0;
        snprintf(p->init, sizeof(p->init), "%s", state);
        ASSERT_TRUE(emu_add(slot, p.get())) << emu_last_error();
    }

    void Set(int slot, const char* assignments)
    {
        ASSERT_TRUE(emu_set(slot, assignments)) << emu_last_error();
    }

    void Open()
    {
        ResetStatus(&status_);
        ASSERT_EQ(1, OpenUps(&status_));
    }

    uint32_t RequestsOfOnePoll(int slot, INT32* result)
    {
        uint32_t count = 0;
        EXPECT_TRUE(emu_reset_log(slot));
        *result = PollUps(&status_);
        EXPECT_TRUE(emu_request_count(slot, &count));
        return count;
    }

    UpsStatus status_;
};

// --- discovery -------------------------------------------------------------

TEST_F(Ups, NoDeviceMeansNoUps)
{
    EXPECT_EQ(0, OpenUps(&status_));
    EXPECT_EQ(INVALID_HANDLE_VALUE, UpsDevice.Handle);
    EXPECT_EQ(0, PollUps(&status_));
}

TEST_F(Ups, OpensThePlainUpsWithItsNamesAndMap)
{
    Add(0, "plain");
    Open();
    EXPECT_NE(INVALID_HANDLE_VALUE, UpsDevice.Handle);
    EXPECT_NE(nullptr, UpsDevice.Preparsed);
    EXPECT_EQ(0x84, UpsDevice.Caps.UsagePage);
    EXPECT_STREQ(L"Quillfen Labs", status_.Manufacturer);
    EXPECT_STREQ(L"Emulated UPS 1500", status_.Product);
    // Discovery fills the names and nothing else.
    EXPECT_EQ(0, status_.Present);
    EXPECT_EQ(-1, status_.ChargePercent);

    const UCHAR reports[USAGE_SLOT_COUNT] = {1, 1, 4, 1, 2, 2, 2, 2, 2, 2, 2};
    const USHORT collections[USAGE_SLOT_COUNT] = {1, 1, 4, 1, 2, 2, 2, 2, 2, 2, 2};
    for (int i = 0; i < USAGE_SLOT_COUNT; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(1u, UsageMap[i].Found);
        EXPECT_EQ(reports[i], UsageMap[i].ReportId);
        EXPECT_EQ(collections[i], UsageMap[i].LinkCollection);
        EXPECT_EQ(0u, UsageMap[i].FlagAsValue);
    }
    ASSERT_EQ(1, VoltageList.Count);
    EXPECT_EQ(3, VoltageList.Entries[0].ReportId);
    EXPECT_EQ(3, VoltageList.Entries[0].LinkCollection);
    EXPECT_EQ(kVolt, VoltageList.Entries[0].Units);
    EXPECT_EQ(7, VoltageList.Entries[0].UnitExponent);
}

TEST_F(Ups, TheFirstOfTwoUpsesInEnumerationOrderWins)
{
    // Added in the other order: enumeration goes by device id, not by age.
    Add(2, "upsa");
    Add(1, "upsb");
    Open();
    EXPECT_STREQ(L"Emulated UPS B", status_.Product);
}

TEST_F(Ups, NonUpsDevicesEnumeratedFirstAreSkipped)
{
    Add(0, "other");
    Add(1, "batteryonly", nullptr, nullptr, "0x0B00");   // a Battery System, enumerated before the UPS
    Add(2, "plain");
    Open();
    EXPECT_STREQ(L"Emulated UPS 1500", status_.Product);
    EXPECT_EQ(1, PollUps(&status_));
}

TEST_F(Ups, ABatterySystemAloneIsNoUps)
{
    Add(0, "batteryonly");
    Add(1, "other");
    EXPECT_EQ(0, OpenUps(&status_));
    EXPECT_EQ(INVALID_HANDLE_VALUE, UpsDevice.Handle);
    EXPECT_EQ(nullptr, UpsDevice.Preparsed);
    EXPECT_EQ(0, status_.Product[0]);
}

TEST_F(Ups, TheFirstCollectionOfAUsageWins)
{
    Add(0, "multi");
    Open();
    EXPECT_EQ(2, UsageMap[SLOT_AC_PRESENT].ReportId);   // PresentStatus, not ChangedStatus (3)
    EXPECT_EQ(1, UsageMap[SLOT_CHARGE].ReportId);       // PowerSummary, not Battery (4)
    EXPECT_EQ(2, UsageMap[SLOT_CHARGING].ReportId);
    Set(0, "ac.summary.present=1 ac.summary.changed=0 charge.summary=80 charge.battery=30");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(1, status_.AcPresent);
    EXPECT_EQ(80, status_.ChargePercent);
}

TEST_F(Ups, ARangeNeverFillsASlot)
{
    Add(0, "ranged");
    Open();
    EXPECT_EQ(0u, UsageMap[SLOT_CHARGE].Found);
    EXPECT_EQ(0u, UsageMap[SLOT_RUNTIME].Found);
    EXPECT_EQ(0u, UsageMap[SLOT_AC_PRESENT].Found);
    EXPECT_EQ(1u, UsageMap[SLOT_CAPACITY].Found);
    EXPECT_EQ(1u, UsageMap[SLOT_DISCHARGING].Found);
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(-1, status_.ChargePercent);
    EXPECT_EQ(-1, status_.RuntimeSeconds);
    EXPECT_EQ(25, status_.LoadPercent);
}

TEST_F(Ups, OnlyTheFirstEightVoltagesAreKept)
{
    Add(0, "manyvolts");
    Open();
    ASSERT_EQ(VOLTAGE_SLOT_COUNT, VoltageList.Count);
    const UCHAR reports[VOLTAGE_SLOT_COUNT] = {1, 10, 11, 12, 20, 21, 22, 30};
    for (int i = 0; i < VOLTAGE_SLOT_COUNT; i++)
        EXPECT_EQ(reports[i], VoltageList.Entries[i].ReportId) << i;
    // Only the outlets (ninth and tenth) carry mains: nothing is read.
    Set(0, "voltage=27 voltage.outlet=230");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(-1, status_.InputVoltage);
    // The eighth is still read.
    Set(0, "voltage.battery=231");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(2310, status_.InputVoltage);
}

// The names as the device sends them (escapes decoded by the emulator), and
// as they must read: control characters as spaces, at most 63 units, always
// terminated. Each is served both cut to fit the reader's buffer and, as some
// devices do, filling it with no terminator.
TEST_F(Ups, DeviceNamesAreCleanedAndCutWhenRead)
{
    const std::string sixtyFour = "0123456789012345678901234567890123456789012345678901234567890123";
    const struct { std::string sent; std::wstring read; } cases[] = {
        {"X\r\n2026-01-01 00:00:00  mains restored - shutdown cancelled",
         L"X  2026-01-01 00:00:00  mains restored - shutdown cancelled"},
        {"Tab\there\\0after a NUL\x7f\x1b[31m", L"Tab here after a NUL  [31m"},
        // Bidirectional marks, embeddings, overrides and isolates, which
        // would turn the heading or the log line around, the separators that
        // break a line and the C1 controls; their neighbours stay.
        {"A\u202A\u202B\u202C\u202D\u202Ez\u2066\u2067\u2068\u2069\u2065\u202F\u200F",
         L"A     z    \u2065\u202F "},
        {"\u200D\u200E\u061C\u061D\u2027\u2028\u2029\u007E\u0080\u009F\u00A0",
         L"\u200D  \u061D\u2027  ~  \u00A0"},
        {"", L""},
        {sixtyFour, std::wstring(sixtyFour.begin(), sixtyFour.end() - 1)},
        {"An uninterruptible power supply whose product name runs well past sixty-four units",
         L"An uninterruptible power supply whose product name runs well pa"},
        // A surrogate pair split by the cut goes whole.
        {sixtyFour.substr(0, 62) + "\U0001F50B", std::wstring(sixtyFour.begin(), sixtyFour.begin() + 62)},
    };
    for (bool unterminated : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.sent + (unterminated ? " (unterminated)" : ""));
            Add(0, "plain", c.sent.c_str(), c.sent.c_str(), nullptr, unterminated ? "unterminated" : "terminated");
            Open();
            EXPECT_EQ(c.read, std::wstring(status_.Product, wcsnlen(status_.Product, UPS_NAME_UNITS)));
            EXPECT_EQ(c.read, std::wstring(status_.Manufacturer, wcsnlen(status_.Manufacturer, UPS_NAME_UNITS)));
            for (int i = (int)c.read.size(); i < UPS_NAME_UNITS; i++)
                ASSERT_EQ(0, status_.Product[i]) << i;
            CloseUps();
        }
    }
}

TEST_F(Ups, CloseUpsTwiceOnlyClearsTheMap)
{
    Add(0, "plain");
    Open();
    CloseUps();
    CloseUps();
    EXPECT_EQ(INVALID_HANDLE_VALUE, UpsDevice.Handle);
    EXPECT_EQ(nullptr, UpsDevice.Preparsed);
    for (int i = 0; i < USAGE_SLOT_COUNT; i++)
        EXPECT_EQ(0u, UsageMap[i].Found) << i;
    // With nothing open the poll does not start and leaves the record alone.
    status_.Present = 1;
    status_.ChargePercent = 42;
    EXPECT_EQ(0, PollUps(&status_));
    EXPECT_EQ(1, status_.Present);
    EXPECT_EQ(42, status_.ChargePercent);
}

TEST_F(Ups, AnUnpluggedUpsFailsItsPollAndIsFoundAfreshWhenBack)
{
    Add(0, "plain");
    Open();
    ASSERT_EQ(1, PollUps(&status_));
    ASSERT_TRUE(emu_remove(0));
    EXPECT_EQ(0, PollUps(&status_));
    EXPECT_EQ(0, status_.Present);
    EXPECT_EQ(-1, status_.ChargePercent);
    CloseUps();
    ResetStatus(&status_);
    EXPECT_EQ(0, OpenUps(&status_));

    // Back in the same socket, now a model whose flags are byte fields.
    Add(0, "flags8");
    Open();
    EXPECT_STREQ(L"Emulated UPS Flags8", status_.Product);
    EXPECT_EQ(7, UsageMap[SLOT_AC_PRESENT].ReportId);
    EXPECT_EQ(1u, UsageMap[SLOT_AC_PRESENT].FlagAsValue);
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(100, status_.ChargePercent);
}

// --- values ----------------------------------------------------------------

TEST_F(Ups, PlainUpsOnLineReadsEveryField)
{
    Add(0, "plain");
    Open();
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(1, status_.Present);
    EXPECT_EQ(1, status_.AcPresent);
    EXPECT_EQ(0, status_.OnBattery);
    EXPECT_EQ(100, status_.ChargePercent);
    EXPECT_EQ(3900, status_.RuntimeSeconds);
    EXPECT_EQ(25, status_.LoadPercent);
    EXPECT_EQ(2300, status_.InputVoltage);
    EXPECT_EQ(1500, status_.CapacityWatts);
    EXPECT_EQ(375, status_.LoadWatts);
    EXPECT_STREQ(L"Emulated UPS 1500", status_.Product);   // names survive polls

    Set(0, "ac=0 discharging=1 charging=0 shutdown=1 belowlimit=1 replace=1 overload=1 charge=40 runtime=600 load=37");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(0, status_.AcPresent);
    EXPECT_EQ(1, status_.OnBattery);
    EXPECT_EQ(1, status_.Discharging);
    EXPECT_EQ(0, status_.Charging);
    EXPECT_EQ(1, status_.ShutdownImminent);
    EXPECT_EQ(1, status_.BelowCapacityLimit);
    EXPECT_EQ(1, status_.NeedsReplacement);
    EXPECT_EQ(1, status_.Overload);
    EXPECT_EQ(40, status_.ChargePercent);
    EXPECT_EQ(600, status_.RuntimeSeconds);
    EXPECT_EQ(555, status_.LoadWatts);          // 1500 W at 37 %
}

TEST_F(Ups, PercentagesAreClampedToOneHundred)
{
    AddBuilt(0, BuildWide, "charge=#150 load=#250 runtime=60 power=1500 voltage=#230 ac=1");
    Open();
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(100, status_.ChargePercent);
    EXPECT_EQ(100, status_.LoadPercent);
    EXPECT_EQ(1500, status_.LoadWatts);
    Set(0, "charge=#4294967295 load=#100");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(100, status_.ChargePercent);
    Set(0, "charge=#0 load=#0");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(0, status_.ChargePercent);
    EXPECT_EQ(0, status_.LoadPercent);
    EXPECT_EQ(0, status_.LoadWatts);
}

TEST_F(Ups, CapacityOutsideOneTo99999IsNotReported)
{
    AddBuilt(0, BuildWide, "charge=50 load=#37 runtime=60 power=#0 voltage=#230 ac=1");
    Open();
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(-1, status_.CapacityWatts);
    EXPECT_EQ(-1, status_.LoadWatts);
    Set(0, "power=#100000");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(-1, status_.CapacityWatts);
    EXPECT_EQ(-1, status_.LoadWatts);
    Set(0, "power=#99999");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(99999, status_.CapacityWatts);
    EXPECT_EQ(36999, status_.LoadWatts);
    Set(0, "power=#1500");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(555, status_.LoadWatts);
}

TEST_F(Ups, CapacityWithoutLoadGivesNoWatts)
{
    AddBuilt(0, BuildWide, "charge=50 load=#37 runtime=60 power=#1500 voltage=#230 ac=1");
    Open();
    ASSERT_TRUE(emu_fail_report(0, 4));      // the Output report with the load
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(1500, status_.CapacityWatts);
    EXPECT_EQ(-1, status_.LoadPercent);
    EXPECT_EQ(-1, status_.LoadWatts);
}

TEST_F(Ups, RuntimeOfTwoToTheThirtyFirstAndMoreIsNegative)
{
    AddBuilt(0, BuildWide, "charge=50 load=#37 runtime=#2147483647 power=#1500 voltage=#230 ac=1");
    Open();
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(2147483647, status_.RuntimeSeconds);
    Set(0, "runtime=#2147483648");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_LT(status_.RuntimeSeconds, 0);
    Set(0, "runtime=#4294967295");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(-1, status_.RuntimeSeconds);
}

TEST_F(Ups, VoltagesWithoutUnitAreTakenByMagnitude)
{
    Add(0, "nounit");
    Open();
    ASSERT_EQ(3, VoltageList.Count);
    Set(0, "voltage.summary=#0 voltage.output=#0");
    const struct { const char* raw; INT32 input; } cases[] = {
        {"#230", 2300}, {"#23000", 2300}, {"#13", -1}, {"#1350", -1}, {"#79", -1}, {"#80", 800}, {"#0", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        std::string assignment = std::string("voltage.input=") + c.raw;
        Set(0, assignment.c_str());
        EXPECT_EQ(1, PollUps(&status_));
        EXPECT_EQ(c.input, status_.InputVoltage);
    }
    // The first reading of 80.0 V or more wins; a battery before it is passed over.
    Set(0, "voltage.summary=#27 voltage.input=#230 voltage.output=#2400");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(2300, status_.InputVoltage);
}

TEST_F(Ups, ABatteryVoltageAloneIsNoInputVoltage)
{
    Add(0, "plain");
    Open();
    Set(0, "voltage.input=27");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(-1, status_.InputVoltage);
}

// --- voltages in their declared unit --------------------------------------------

TEST_F(Ups, ABatteryInTenthsIsNotTakenForTheMains)
{
    Add(0, "tenthsbattery");
    Open();
    ASSERT_EQ(2, VoltageList.Count);
    EXPECT_EQ(kVolt, VoltageList.Entries[0].Units);
    EXPECT_EQ(6, VoltageList.Entries[0].UnitExponent);
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(2300, status_.InputVoltage);     // raw 270 is 27.0 V, not 270 V
}

TEST_F(Ups, InputInTenthsIsReadAsTenths)
{
    Add(0, "tenthsinput");
    Open();
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(2300, status_.InputVoltage);
    Set(0, "voltage.input=229.7");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(2297, status_.InputVoltage);
}

TEST_F(Ups, CentivoltsAreConvertedAndTheBatteryPassedOver)
{
    Add(0, "centivolts");
    Open();
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(2300, status_.InputVoltage);
    // 7.00 V declared in hundredths: a battery reading, whatever its magnitude.
    Set(0, "voltage.input=#700 voltage.battery=#27");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(-1, status_.InputVoltage);
}

TEST_F(Ups, SeveralCollectionsGiveTheFirstMainsReading)
{
    Add(0, "multi");
    Open();
    ASSERT_EQ(4, VoltageList.Count);
    Set(0, "voltage.summary=27 voltage.battery=27 voltage.input=231 voltage.output=229");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(2310, status_.InputVoltage);
}

// --- presence and mains ----------------------------------------------------------

TEST_F(Ups, DischargingTellsTheMainsWhenACPresentIsMissing)
{
    Add(0, "minimal");
    Open();
    EXPECT_EQ(0u, UsageMap[SLOT_AC_PRESENT].Found);
    Set(0, "discharging=1");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(0, status_.AcPresent);
    EXPECT_EQ(1, status_.OnBattery);
    Set(0, "discharging=0");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(1, status_.AcPresent);
    EXPECT_EQ(0, status_.OnBattery);
}

TEST_F(Ups, WithoutACPresentAndDischargingTheUpsIsOnLine)
{
    AddBuilt(0, BuildChargeOnly, "charge=60");
    Open();
    // Whatever an earlier poll held, no mains usage means mains present.
    status_.Present = 1;
    status_.AcPresent = 0;
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(1, status_.Present);
    EXPECT_EQ(1, status_.AcPresent);
    EXPECT_EQ(0, status_.OnBattery);
    EXPECT_EQ(60, status_.ChargePercent);
}

TEST_F(Ups, CapacityAndAlarmFlagsAloneAreNoUps)
{
    AddBuilt(0, BuildCapacityAndFlags, "power=1500 charging=1 shutdown=1 belowlimit=1 replace=1 overload=1");
    Open();
    EXPECT_EQ(0, PollUps(&status_));
    EXPECT_EQ(0, status_.Present);
    EXPECT_EQ(1500, status_.CapacityWatts);      // read, yet not enough
    EXPECT_EQ(1, status_.Charging);
    EXPECT_EQ(1, status_.Overload);
}

TEST_F(Ups, AFailedFlagReadKeepsItsLastValue)
{
    Add(0, "plain");
    Open();
    Set(0, "overload=1 replace=1");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(1, status_.Overload);
    ASSERT_TRUE(emu_fail_report(0, 2));
    Set(0, "overload=0 replace=0");
    EXPECT_EQ(1, PollUps(&status_));             // charge still read
    EXPECT_EQ(1, status_.Overload);
    EXPECT_EQ(1, status_.NeedsReplacement);
    ASSERT_TRUE(emu_fail_none(0));
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(0, status_.Overload);
    EXPECT_EQ(0, status_.NeedsReplacement);
}

TEST_F(Ups, AFailedMainsReadOnBatteryKeepsTheUpsOnBattery)
{
    Add(0, "plain");
    Open();
    Set(0, "ac=0 discharging=1");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(0, status_.AcPresent);
    ASSERT_TRUE(emu_fail_report(0, 2));          // the status report with ACPresent
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(0, status_.AcPresent);
    EXPECT_EQ(1, status_.OnBattery);
    // Back on line is seen as soon as the report answers again.
    ASSERT_TRUE(emu_fail_none(0));
    Set(0, "ac=1 discharging=0");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(1, status_.AcPresent);
}

TEST_F(Ups, AFailedMainsReadAfterAFailedPollMeansOnLine)
{
    Add(0, "plain");
    Open();
    Set(0, "ac=0 discharging=1");
    ASSERT_TRUE(emu_fail_report(0, 2));
    status_.AcPresent = 0;                        // left from a poll that did not succeed
    status_.Present = 0;
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(1, status_.AcPresent);
    EXPECT_EQ(0, status_.OnBattery);
}

TEST_F(Ups, AFailedDischargingReadKeepsTheMainsStateWithoutACPresent)
{
    Add(0, "minimal");
    Open();
    Set(0, "discharging=1");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(0, status_.AcPresent);
    ASSERT_TRUE(emu_fail_report(0, 2));
    EXPECT_EQ(1, PollUps(&status_));              // the charge is still read
    EXPECT_EQ(0, status_.AcPresent);
    EXPECT_EQ(1, status_.OnBattery);
}

TEST_F(Ups, NothingAnsweringFailsThePoll)
{
    Add(0, "plain");
    Open();
    ASSERT_EQ(1, PollUps(&status_));
    ASSERT_TRUE(emu_fail_all(0, true));
    EXPECT_EQ(0, PollUps(&status_));
    EXPECT_EQ(0, status_.Present);
    EXPECT_EQ(-1, status_.ChargePercent);
    EXPECT_EQ(-1, status_.InputVoltage);
}

// --- flags declared as value fields ----------------------------------------------

TEST_F(Ups, FlagsInByteFieldsAreRead)
{
    Add(0, "flags8");
    Open();
    for (int i = SLOT_AC_PRESENT; i < USAGE_SLOT_COUNT; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(1u, UsageMap[i].Found);
        EXPECT_EQ(1u, UsageMap[i].FlagAsValue);
        EXPECT_EQ(7, UsageMap[i].ReportId);
    }
    Set(0, "ac=0 charging=0 discharging=1 shutdown=1 belowlimit=1 replace=1 overload=1");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(0, status_.AcPresent);
    EXPECT_EQ(1, status_.OnBattery);
    EXPECT_EQ(0, status_.Charging);
    EXPECT_EQ(1, status_.Discharging);
    EXPECT_EQ(1, status_.ShutdownImminent);
    EXPECT_EQ(1, status_.BelowCapacityLimit);
    EXPECT_EQ(1, status_.NeedsReplacement);
    EXPECT_EQ(1, status_.Overload);
    Set(0, "ac=1 charging=1 discharging=0 shutdown=0 belowlimit=0 replace=0 overload=0");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(1, status_.AcPresent);
    EXPECT_EQ(1, status_.Charging);
    EXPECT_EQ(0, status_.Discharging);
    EXPECT_EQ(0, status_.ShutdownImminent);
    EXPECT_EQ(0, status_.BelowCapacityLimit);
    EXPECT_EQ(0, status_.NeedsReplacement);
    EXPECT_EQ(0, status_.Overload);
}

TEST_F(Ups, AOneBitFlagWinsOverItsByteCopy)
{
    Add(0, "flagsboth");
    Open();
    for (int i = SLOT_AC_PRESENT; i < USAGE_SLOT_COUNT; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(2, UsageMap[i].ReportId);
        EXPECT_EQ(0u, UsageMap[i].FlagAsValue);
    }
    Set(0, "ac#0=1 ac#1=0 overload#0=0 overload#1=1");
    EXPECT_EQ(1, PollUps(&status_));
    EXPECT_EQ(1, status_.AcPresent);
    EXPECT_EQ(0, status_.Overload);
}

// --- the output-off delay -------------------------------------------------------

// What each UPS is told for a setting: the raw value and the seconds it
// counts, or nothing (-1) when its field cannot hold the setting.
TEST_F(Ups, TheOutputOffDelayWrittenFollowsEachUpsField)
{
    struct Told {
        INT32 setting, raw, counted;
    };
    const struct {
        const char* profile;
        void (*build)(Descriptor&);
        UCHAR reportId;             // 0: the usage is not mapped
        Told told[3];
    } rows[] = {
        { "plain", nullptr, 8, { {60, 60, 60}, {600, 600, 600}, {120, 120, 120} } },
        // 0..255 s: 600 does not fit, and is not cut to 255.
        { "multi", nullptr, 7, { {255, 255, 255}, {256, -1, -1}, {600, -1, -1} } },
        { "minimal", nullptr, 0, {} },
        // Rounded up to the unit: the UPS never waits less than asked.
        { nullptr, BuildDelayInTens, 8, { {125, 13, 130}, {60, 6, 60}, {600, 60, 600} } },
        { nullptr, BuildDelayInTenths, 8, { {600, 6000, 600}, {60, 600, 60} } },
        // The sign bit is not the delay's: 127 at most.
        { nullptr, BuildDelaySignedByte, 8, { {120, 120, 120}, {128, -1, -1} } },
        { nullptr, BuildDelayConstant, 0, {} },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.profile ? row.profile : "built");
        if (row.profile)
            Add(0, row.profile);
        else
            AddBuilt(0, row.build, "");
        Open();
        EXPECT_EQ(row.reportId != 0, OffDelayUsage.Found != 0);
        EXPECT_EQ(row.reportId, OffDelayUsage.Found ? OffDelayUsage.ReportId : 0);
        for (const Told& told : row.told) {
            if (!told.setting)
                break;
            UINT32 raw = 0;
            INT32 counted = 0;
            BOOL holds = UpsOffRawValue(&OffDelayUsage, told.setting, &raw, &counted);
            EXPECT_EQ(told.raw >= 0, holds != 0) << told.setting;
            if (holds) {
                EXPECT_EQ((UINT32)told.raw, raw) << told.setting;
                EXPECT_EQ(told.counted, counted) << told.setting;
            }
        }
        CloseUps();
        EXPECT_EQ(0u, OffDelayUsage.Found);
    }
}

// --- cost ------------------------------------------------------------------------

TEST_F(Ups, OnePollCostsOneRequestPerReportItUses)
{
    const struct { const char* profile; uint32_t requests; } cases[] = {
        {"plain", 4},          // summary 1, status 2, input 3, output 4
        {"upsa", 4},
        {"centivolts", 5},     // and the battery's voltage in 6
        {"multi", 4},          // 1, 2, 6 and the battery's 4; ChangedStatus 3 is not read
        {"manyvolts", 9},      // 1, 2, and 10-12, 20-22, 30 for the first eight voltages; not the outlets
        {"ranged", 4},         // the ranges fill no slot, yet their reports hold other usages
        {"minimal", 2},        // what is not mapped costs nothing
        {"flags8", 4},         // the flags' byte fields in 7 instead of 2
        {"flagsboth", 4},      // the 1-bit copies in 2 win; 7 is not read
        {"tenthsbattery", 4},  // the summary's voltage shares report 1
        {"tenthsinput", 4},    // the output's voltage shares report 4 with the load
        {"nounit", 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.profile);
        Add(0, c.profile);
        Open();
        INT32 result = 0;
        EXPECT_EQ(c.requests, RequestsOfOnePoll(0, &result));
        EXPECT_EQ(1, result);
        CloseUps();
    }
}

}  // namespace
