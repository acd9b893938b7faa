// Reading the settings from the real registry of the Wine prefix the test runs
// in: HKCU\Software\Quillfen\Corvane is written here and put back afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "app/settings.h"
#include "settings/checks.h"

namespace {

const wchar_t KEY[] = L"Software\\Quillfen\\Corvane";
const wchar_t* const NAMES[] = { L"RuntimeThresholdSeconds", L"ChargeThresholdPercent", L"GraceSeconds" };

// The values as the program found them at load, before anything was published.
const ::Settings Loaded = [] {
    ::Settings copy;
    CopySettings(&copy);
    return copy;
}();

class Settings : public ::testing::Test {
protected:
    void SetUp() override
    {
        existed_ = RegOpenKeyExW(HKEY_CURRENT_USER, KEY, 0, KEY_READ, &key_) == ERROR_SUCCESS;
        if (existed_) {
            // Keep whatever a developer had set, to put it back afterwards.
            for (int i = 0; i < 3; i++) {
                saved_[i].bytes = sizeof(saved_[i].data);
                saved_[i].present = RegQueryValueExW(key_, NAMES[i], NULL, &saved_[i].type, saved_[i].data,
                                                     &saved_[i].bytes) == ERROR_SUCCESS;
            }
            RegCloseKey(key_);
        }
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, KEY, 0, NULL, 0, KEY_READ | KEY_WRITE, NULL,
                                                 &key_, NULL));
        for (int i = 0; i < 3; i++)
            RegDeleteValueW(key_, NAMES[i]);
        // Sentinels, so that a value that is wrongly kept or wrongly taken shows.
        DefaultSettings(&s);
    }
    void TearDown() override
    {
        for (int i = 0; i < 3; i++) {
            RegDeleteValueW(key_, NAMES[i]);
            if (existed_ && saved_[i].present)
                RegSetValueExW(key_, NAMES[i], 0, saved_[i].type, saved_[i].data, saved_[i].bytes);
        }
        RegCloseKey(key_);
        if (!existed_)
            RegDeleteKeyW(HKEY_CURRENT_USER, KEY);
    }

    void SetDword(const wchar_t* name, DWORD value)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, name, 0, REG_DWORD, (const BYTE*)&value, sizeof(value)));
    }
    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, name, 0, type, (const BYTE*)data, bytes));
    }

    HKEY key_ = NULL;
    ::Settings s;

private:
    struct Saved {
        bool present;
        DWORD type;
        BYTE data[64];
        DWORD bytes;
    };
    bool existed_ = false;
    Saved saved_[3] = {};
};

TEST(SettingsDefaults, AreThreeHundredTwentyAndThirtyAtLoad)
{
    EXPECT_EQ(300, Loaded.RuntimeThresholdSeconds);
    EXPECT_EQ(20, Loaded.ChargeThresholdPercent);
    EXPECT_EQ(30, Loaded.GraceSeconds);
}

TEST_F(Settings, MissingKeyOrValuesLeaveEveryValueAlone)
{
    s.RuntimeThresholdSeconds = 1;
    s.ChargeThresholdPercent = 2;
    s.GraceSeconds = 3;
    ReadRegistrySettings(&s);   // the key exists but holds none of the values
    EXPECT_EQ(1, s.RuntimeThresholdSeconds);
    EXPECT_EQ(2, s.ChargeThresholdPercent);
    EXPECT_EQ(3, s.GraceSeconds);

    RegCloseKey(key_);
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CURRENT_USER, KEY));
    ReadRegistrySettings(&s);   // no key at all
    EXPECT_EQ(1, s.RuntimeThresholdSeconds);
    EXPECT_EQ(2, s.ChargeThresholdPercent);
    EXPECT_EQ(3, s.GraceSeconds);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, KEY, 0, NULL, 0, KEY_READ | KEY_WRITE, NULL,
                                             &key_, NULL));
}

TEST_F(Settings, UpperBoundsAreTakenOneAboveIsRefused)
{
    SetDword(NAMES[0], 3600);
    SetDword(NAMES[1], 100);
    SetDword(NAMES[2], 600);
    ReadRegistrySettings(&s);
    EXPECT_EQ(3600, s.RuntimeThresholdSeconds);
    EXPECT_EQ(100, s.ChargeThresholdPercent);
    EXPECT_EQ(600, s.GraceSeconds);

    s.RuntimeThresholdSeconds = 300;
    s.ChargeThresholdPercent = 20;
    s.GraceSeconds = 30;
    SetDword(NAMES[0], 3601);
    SetDword(NAMES[1], 101);
    SetDword(NAMES[2], 601);
    ReadRegistrySettings(&s);
    EXPECT_EQ(300, s.RuntimeThresholdSeconds) << "refused, not clamped";
    EXPECT_EQ(20, s.ChargeThresholdPercent);
    EXPECT_EQ(30, s.GraceSeconds);
}

TEST_F(Settings, ZeroIsTaken)
{
    SetDword(NAMES[0], 0);
    SetDword(NAMES[1], 0);
    SetDword(NAMES[2], 0);
    ReadRegistrySettings(&s);
    EXPECT_EQ(0, s.RuntimeThresholdSeconds);
    EXPECT_EQ(0, s.ChargeThresholdPercent);
    EXPECT_EQ(0, s.GraceSeconds);
}

TEST_F(Settings, NegativeDwordIsOutOfRange)
{
    SetDword(NAMES[0], 0xFFFFFFFFu);
    SetDword(NAMES[1], 0x80000000u);
    SetDword(NAMES[2], 0xFFFFFFF6u);
    ReadRegistrySettings(&s);
    EXPECT_EQ(300, s.RuntimeThresholdSeconds);
    EXPECT_EQ(20, s.ChargeThresholdPercent);
    EXPECT_EQ(30, s.GraceSeconds);
}

TEST_F(Settings, WrongSizesAndTypes)
{
    // Eight bytes (a QWORD, even a small one) do not fit: refused.
    UINT64 qword = 90;
    SetRaw(NAMES[0], REG_QWORD, &qword, sizeof(qword));
    // Two bytes fill the low half; the rest is zero, not stack left-overs.
    const BYTE two[2] = { 0x0F, 0x00 };
    SetRaw(NAMES[1], REG_BINARY, two, sizeof(two));
    // A string longer than four bytes: refused.
    const wchar_t text[] = L"45";
    SetRaw(NAMES[2], REG_SZ, text, sizeof(text));
    ReadRegistrySettings(&s);
    EXPECT_EQ(300, s.RuntimeThresholdSeconds);
    EXPECT_EQ(15, s.ChargeThresholdPercent);
    EXPECT_EQ(30, s.GraceSeconds);
}

TEST_F(Settings, TypeIsNotExaminedFourBytesAreFourBytes)
{
    DWORD value = 45;
    SetRaw(NAMES[2], REG_BINARY, &value, sizeof(value));
    // "7" and its terminator: four bytes of UTF-16, read as 0x00000037 = 55.
    const wchar_t seven[] = L"7";
    SetRaw(NAMES[1], REG_SZ, seven, sizeof(seven));
    ReadRegistrySettings(&s);
    EXPECT_EQ(45, s.GraceSeconds);
    EXPECT_EQ(55, s.ChargeThresholdPercent);
    EXPECT_EQ(300, s.RuntimeThresholdSeconds);
}

TEST_F(Settings, AValidValueBesideAnInvalidOne)
{
    SetDword(NAMES[1], 35);
    SetDword(NAMES[2], 700);
    ReadRegistrySettings(&s);
    EXPECT_EQ(35, s.ChargeThresholdPercent);
    EXPECT_EQ(30, s.GraceSeconds);
    EXPECT_EQ(300, s.RuntimeThresholdSeconds);

    // And the other way round, the invalid one read first.
    s.ChargeThresholdPercent = 20;
    SetDword(NAMES[0], 5000);
    SetDword(NAMES[1], 250);
    SetDword(NAMES[2], 45);
    ReadRegistrySettings(&s);
    EXPECT_EQ(300, s.RuntimeThresholdSeconds);
    EXPECT_EQ(20, s.ChargeThresholdPercent);
    EXPECT_EQ(45, s.GraceSeconds);
}

TEST_F(Settings, OnlyADwordZeroTurnsTheBalloonsOff)
{
    const DWORD zero = 0, one = 1, two = 2;
    const UINT64 wide = 0;
    const BYTE zeros[4] = {};
    const struct {
        const char* what;
        DWORD type;
        const void* data;
        DWORD bytes;
        INT32 enabled;
    } cases[] = {
        { "missing", REG_NONE, nullptr, 0, 1 },
        { "DWORD 0", REG_DWORD, &zero, 4, 0 },
        { "DWORD 1", REG_DWORD, &one, 4, 1 },
        { "DWORD 2", REG_DWORD, &two, 4, 1 },
        { "four zero bytes as binary", REG_BINARY, zeros, 4, 1 },
        { "the string 0", REG_SZ, L"0", 4, 1 },
        { "QWORD 0", REG_QWORD, &wide, 8, 1 },
    };
    for (const auto& c : cases) {
        RegDeleteValueW(key_, L"Notifications");
        if (c.data)
            SetRaw(L"Notifications", c.type, c.data, c.bytes);
        s.NotificationsEnabled = 1;
        ReadRegistrySettings(&s);
        EXPECT_EQ(c.enabled, s.NotificationsEnabled) << c.what;
    }
    RegDeleteValueW(key_, L"Notifications");
}

TEST_F(Settings, ShutdownActionIsHibernateOnlyForOne)
{
    const DWORD values[] = { 0, 1, 2, 0xFFFFFFFFu };
    const INT32 actions[] = { SHUTDOWN_ACTION_POWER_OFF, SHUTDOWN_ACTION_HIBERNATE, SHUTDOWN_ACTION_POWER_OFF,
                              SHUTDOWN_ACTION_POWER_OFF };
    for (int i = 0; i < 4; i++) {
        SetDword(L"ShutdownAction", values[i]);
        s.ShutdownAction = SHUTDOWN_ACTION_POWER_OFF;
        ReadRegistrySettings(&s);
        EXPECT_EQ(actions[i], s.ShutdownAction) << values[i];
    }
    RegDeleteValueW(key_, L"ShutdownAction");
    s.ShutdownAction = SHUTDOWN_ACTION_POWER_OFF;
    ReadRegistrySettings(&s);
    EXPECT_EQ(SHUTDOWN_ACTION_POWER_OFF, s.ShutdownAction) << "missing";
}

// Anything but a DWORD of 0 or 60..600 keeps the UPS on, and is flagged
// for the start-up's log line; a missing value is no fault.
TEST_F(Settings, UpsOffDelayIsZeroOrSixtyToSixHundred)
{
    const DWORD zero = 0, sixty = 60, top = 600, short_ = 59, over = 601, negative = 0xFFFFFFFFu;
    const struct {
        DWORD type;
        const void* data;
        DWORD bytes;
        INT32 delay;
        BOOL refused;
    } cases[] = {
        { REG_NONE, nullptr, 0, 0, FALSE },
        { REG_DWORD, &zero, 4, 0, FALSE },
        { REG_DWORD, &sixty, 4, 60, FALSE },
        { REG_DWORD, &top, 4, 600, FALSE },
        { REG_DWORD, &short_, 4, 0, TRUE },
        { REG_DWORD, &over, 4, 0, TRUE },
        { REG_DWORD, &negative, 4, 0, TRUE },
        { REG_BINARY, &sixty, 4, 0, TRUE },
        { REG_SZ, L"120", 8, 0, TRUE },
    };
    for (const auto& c : cases) {
        RegDeleteValueW(key_, L"UpsOffDelaySeconds");
        if (c.data)
            SetRaw(L"UpsOffDelaySeconds", c.type, c.data, c.bytes);
        s.UpsOffDelaySeconds = 300;
        UpsOffDelayRefused = FALSE;
        ReadRegistrySettings(&s);
        EXPECT_EQ(c.data ? c.delay : 300, s.UpsOffDelaySeconds) << c.type << " " << c.bytes;
        EXPECT_EQ(c.refused, UpsOffDelayRefused) << c.type << " " << c.bytes;
    }
    RegDeleteValueW(key_, L"UpsOffDelaySeconds");
    UpsOffDelayRefused = FALSE;
}

}  // namespace

namespace {

// The network server's values, each on its own: what is taken, and what a
// malformed value leaves (its default, or for the address an empty text
// that keeps the server off).
TEST_F(Settings, NetworkValuesAreTakenOnlyWhenWellFormed)
{
    const DWORD one = 1, two = 2, zero = 0, top = 65535, over = 65536;
    const std::wstring longest(NETWORK_TEXT_UNITS - 1, L'a'), tooLong(NETWORK_TEXT_UNITS, L'a');
    const struct {
        const wchar_t* name;
        DWORD type;
        const void* data;
        DWORD bytes;
        const wchar_t* text;    // the text setting afterwards, or null for the numbers
        INT32 enabled = 0, port = 3493;
    } cases[] = {
        { L"NetworkServer", REG_DWORD, &one, 4, nullptr, 1, 3493 },
        { L"NetworkServer", REG_DWORD, &two, 4, nullptr, 0, 3493 },
        { L"NetworkServer", REG_SZ, L"1", 4, nullptr, 0, 3493 },
        { L"NetworkServer", REG_BINARY, &one, 4, nullptr, 0, 3493 },
        { L"NetworkPort", REG_DWORD, &one, 4, nullptr, 0, 1 },
        { L"NetworkPort", REG_DWORD, &top, 4, nullptr, 0, 65535 },
        { L"NetworkPort", REG_DWORD, &zero, 4, nullptr, 0, 3493 },
        { L"NetworkPort", REG_DWORD, &over, 4, nullptr, 0, 3493 },
        { L"NetworkAddress", REG_SZ, L"::", 6, L"::" },
        { L"NetworkAddress", REG_SZ, L"0.0.0.0", 14, L"0.0.0.0" },    // no terminator stored
        { L"NetworkAddress", REG_SZ, longest.c_str(), (DWORD)(longest.size() + 1) * 2, longest.c_str() },
        { L"NetworkAddress", REG_SZ, tooLong.c_str(), (DWORD)(tooLong.size() + 1) * 2, L"" },
        { L"NetworkAddress", REG_SZ, L"", 2, L"" },
        { L"NetworkAddress", REG_SZ, L"1.2.3.4\0x", 20, L"" },
        { L"NetworkAddress", REG_EXPAND_SZ, L"::1", 8, L"" },
        { L"NetworkAddress", REG_DWORD, &one, 4, L"" },
        { L"NetworkUser", REG_SZ, L"follower", 18, L"follower" },
        { L"NetworkUser", REG_SZ, L"", 2, L"monuser" },
        { L"NetworkUser", REG_DWORD, &one, 4, L"monuser" },
        { L"NetworkPassword", REG_SZ, L"pass word", 20, L"pass word" },
        { L"NetworkPassword", REG_BINARY, "pw", 2, L"" },
    };
    const wchar_t* const names[] = { L"NetworkServer", L"NetworkPort", L"NetworkAddress", L"NetworkUser",
                                     L"NetworkPassword" };
    for (const auto& c : cases) {
        for (const wchar_t* name : names)
            RegDeleteValueW(key_, name);
        SetRaw(c.name, c.type, c.data, c.bytes);
        DefaultSettings(&s);
        ReadRegistrySettings(&s);
        const wchar_t* text = lstrcmpW(c.name, L"NetworkAddress") == 0 ? s.NetworkAddress
                            : lstrcmpW(c.name, L"NetworkUser") == 0 ? s.NetworkUser : s.NetworkPassword;
        if (c.text) {
            EXPECT_STREQ(c.text, text) << c.name << " " << c.bytes;
        } else {
            EXPECT_EQ(c.enabled, s.NetworkServerEnabled) << c.name << " " << c.type;
            EXPECT_EQ(c.port, s.NetworkPort) << c.name << " " << c.type;
        }
    }
    for (const wchar_t* name : names)
        RegDeleteValueW(key_, name);
}

}  // namespace

namespace {

// The settings window's checks, one row a field and text, every other field
// valid and both boxes checked unless the row clears them: the text is
// accepted (the value it gives), or refused with the message the window
// shows on that field.
TEST(SettingsChecks, EachFieldAcceptsItsRangeAndNamesItselfWhenRefused)
{
    const std::wstring longest(NETWORK_TEXT_UNITS - 1, L'u'), tooLong(NETWORK_TEXT_UNITS, L'u');
    const wchar_t* const ADDRESS = L"Address: an IPv4 or IPv6 address, such as 127.0.0.1 or ::.";
    const struct {
        int field;
        const wchar_t* text;
        INT32 value;                 // for a number field
        const wchar_t* message;      // null: accepted
        bool boxesClear = false;
    } cases[] = {
        { FIELD_RUNTIME, L"0", 0, nullptr },
        { FIELD_RUNTIME, L"3600", 3600, nullptr },
        { FIELD_RUNTIME, L"3601", 0, L"Runtime left: a whole number from 0 to 3600." },
        { FIELD_RUNTIME, L"", 0, L"Runtime left: a whole number from 0 to 3600." },
        { FIELD_RUNTIME, L"-1", 0, L"Runtime left: a whole number from 0 to 3600." },
        { FIELD_RUNTIME, L"99999999999999999999", 0, L"Runtime left: a whole number from 0 to 3600." },
        { FIELD_CHARGE, L"100", 100, nullptr },
        { FIELD_CHARGE, L"101", 0, L"Charge: a whole number from 0 to 100." },
        { FIELD_GRACE, L"600", 600, nullptr },
        { FIELD_GRACE, L"601", 0, L"Grace period: a whole number from 0 to 600." },
        { FIELD_UPS_OFF_DELAY, L"60", 60, nullptr },
        { FIELD_UPS_OFF_DELAY, L"59", 0, L"Delay: a whole number from 60 to 600." },
        { FIELD_UPS_OFF_DELAY, L"5", 0, nullptr, true },     // its box is clear: 0, whatever it says
        { FIELD_PORT, L"65535", 65535, nullptr },
        { FIELD_PORT, L"0", 0, L"Port: a whole number from 1 to 65535." },
        { FIELD_PORT, L"65536", 0, L"Port: a whole number from 1 to 65535." },
        { FIELD_PORT, L"0", 3493, nullptr, true },
        { FIELD_ADDRESS, L"0.0.0.0", 0, nullptr },
        { FIELD_ADDRESS, L"::", 0, nullptr },
        { FIELD_ADDRESS, L"fe80::1:2", 0, nullptr },
        { FIELD_ADDRESS, L"::ffff:192.0.2.1", 0, nullptr },
        { FIELD_ADDRESS, L"1:2:3:4:5:6:7::", 0, nullptr },
        { FIELD_ADDRESS, L"localhost", 0, ADDRESS },
        { FIELD_ADDRESS, L"", 0, ADDRESS },
        { FIELD_ADDRESS, L"256.0.0.1", 0, ADDRESS },
        { FIELD_ADDRESS, L"010.0.0.1", 0, ADDRESS },
        { FIELD_ADDRESS, L"1::2::3", 0, ADDRESS },
        { FIELD_ADDRESS, L":1", 0, ADDRESS },
        { FIELD_ADDRESS, L"1:", 0, ADDRESS },
        { FIELD_ADDRESS, L"1:2:3:4:5:6:7", 0, ADDRESS },
        { FIELD_ADDRESS, L"1::2:3:4:5:6:7:8", 0, ADDRESS },
        { FIELD_ADDRESS, L"1:2:3:4:5:6:7:1.2.3.4", 0, ADDRESS },
        { FIELD_ADDRESS, L"fe80::1%1", 0, ADDRESS },
        { FIELD_ADDRESS, L"nonsense", 0, nullptr, true },
        { FIELD_USER, longest.c_str(), 0, nullptr },
        { FIELD_USER, tooLong.c_str(), 0, L"User: 1 to 63 characters, no control characters." },
        { FIELD_USER, L"", 0, L"User: 1 to 63 characters, no control characters." },
        { FIELD_USER, L"a\tb", 0, L"User: 1 to 63 characters, no control characters." },
        { FIELD_PASSWORD, L"", 0, nullptr },
        { FIELD_PASSWORD, tooLong.c_str(), 0, L"Password: at most 63 characters, no control characters." },
        { FIELD_PASSWORD, L"a\nb", 0, L"Password: at most 63 characters, no control characters." },
    };
    ::Settings base;
    DefaultSettings(&base);
    for (const auto& c : cases) {
        SettingsForm form = { { L"300", L"20", L"30", L"120", L"127.0.0.1", L"3493", L"monuser", L"" },
                              SHUTDOWN_ACTION_HIBERNATE, FALSE, !c.boxesClear, !c.boxesClear };
        form.Texts[c.field] = c.text;
        ::Settings result;
        memset(&result, 0x5A, sizeof(result));
        const wchar_t* message = nullptr;
        int fault = CheckSettingsForm(&form, &base, &result, &message);
        EXPECT_EQ(c.message ? c.field : FIELD_NONE, fault) << c.text;
        if (c.message) {
            EXPECT_STREQ(c.message, message) << c.text;
            EXPECT_EQ(0x5A5A5A5A, result.RuntimeThresholdSeconds) << "untouched on a fault: " << c.text;
            continue;
        }
        EXPECT_EQ(SHUTDOWN_ACTION_HIBERNATE, result.ShutdownAction);
        EXPECT_EQ(c.boxesClear ? 0 : 1, result.NetworkServerEnabled) << c.text;
        const INT32 numbers[] = { result.RuntimeThresholdSeconds, result.ChargeThresholdPercent, result.GraceSeconds,
                                  result.UpsOffDelaySeconds, 0, result.NetworkPort };
        const wchar_t* texts[] = { result.NetworkAddress, nullptr, result.NetworkUser, result.NetworkPassword };
        if (c.field == FIELD_ADDRESS || c.field >= FIELD_USER)
            EXPECT_STREQ(c.boxesClear ? base.NetworkAddress : c.text, texts[c.field - FIELD_ADDRESS]);
        else
            EXPECT_EQ(c.value, numbers[c.field]) << c.text;
    }
}

}  // namespace
