// Reading the settings from the real registry of the Wine prefix the test runs
// in: HKCU\Software\Quillfen\Corvane is written here and put back afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
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
    ::Settings sentinel;
    memset(&sentinel, 0x5A, sizeof(sentinel));
    s = sentinel;
    ReadRegistrySettings(&s);   // the key exists but holds none of the values
    EXPECT_EQ(0, memcmp(&sentinel, &s, sizeof(s)));

    RegCloseKey(key_);
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CURRENT_USER, KEY));
    ReadRegistrySettings(&s);   // no key at all
    EXPECT_EQ(0, memcmp(&sentinel, &s, sizeof(s)));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, KEY, 0, NULL, 0, KEY_READ | KEY_WRITE, NULL,
                                             &key_, NULL));
}

// Each value alone, read over the defaults: the setting it leaves, and
// whether the UPS-off delay was flagged for the start-up's log line.
TEST_F(Settings, EachNumberIsTakenOnlyWithinItsRule)
{
    const wchar_t *RUNTIME = NAMES[0], *CHARGE = NAMES[1], *GRACE = NAMES[2], *ACTION = L"ShutdownAction";
    const wchar_t *BALLOONS = L"Notifications", *UPS_OFF = L"UpsOffDelaySeconds";
    const struct {
        const wchar_t* name;
        DWORD type;
        UINT64 data;                // its first `bytes`, unless
        const wchar_t* text;        // a string is stored
        DWORD bytes;                // 0: no value at all
        INT32 setting;
        BOOL refused = FALSE;
    } rows[] = {
        // Zero to the upper bound; one above, or a "negative" DWORD, is
        // refused, not clamped.
        { RUNTIME, REG_DWORD, 3600, nullptr, 4, 3600 },
        { RUNTIME, REG_DWORD, 3601, nullptr, 4, 300 },
        { RUNTIME, REG_DWORD, 0, nullptr, 4, 0 },
        { RUNTIME, REG_DWORD, 0xFFFFFFFFu, nullptr, 4, 300 },
        { CHARGE, REG_DWORD, 100, nullptr, 4, 100 },
        { CHARGE, REG_DWORD, 101, nullptr, 4, 20 },
        { CHARGE, REG_DWORD, 0, nullptr, 4, 0 },
        { CHARGE, REG_DWORD, 0x80000000u, nullptr, 4, 20 },
        { GRACE, REG_DWORD, 600, nullptr, 4, 600 },
        { GRACE, REG_DWORD, 601, nullptr, 4, 30 },
        { GRACE, REG_DWORD, 0, nullptr, 4, 0 },
        { GRACE, REG_DWORD, 0xFFFFFFF6u, nullptr, 4, 30 },
        // The type is not examined: four bytes are four bytes ("7" and its
        // terminator are 0x00000037), two fill the low half and the rest is
        // zero, not stack left-overs; eight (a QWORD, even a small one) or a
        // longer string do not fit.
        { GRACE, REG_BINARY, 45, nullptr, 4, 45 },
        { CHARGE, REG_SZ, 0, L"7", 4, 55 },
        { CHARGE, REG_BINARY, 0x0F, nullptr, 2, 15 },
        { RUNTIME, REG_QWORD, 90, nullptr, 8, 300 },
        { GRACE, REG_SZ, 0, L"45", 6, 30 },
        { ACTION, REG_DWORD, 1, nullptr, 4, SHUTDOWN_ACTION_HIBERNATE },
        { ACTION, REG_DWORD, 2, nullptr, 4, SHUTDOWN_ACTION_POWER_OFF },
        { ACTION, REG_DWORD, 0xFFFFFFFFu, nullptr, 4, SHUTDOWN_ACTION_POWER_OFF },
        // Only a DWORD 0 turns the balloons off.
        { BALLOONS, REG_DWORD, 0, nullptr, 4, 0 },
        { BALLOONS, REG_DWORD, 2, nullptr, 4, 1 },
        { BALLOONS, REG_BINARY, 0, nullptr, 4, 1 },
        { BALLOONS, REG_SZ, 0, L"0", 4, 1 },
        { BALLOONS, REG_QWORD, 0, nullptr, 8, 1 },
        // Anything but a DWORD of 0 or 60..600 keeps the UPS on, and is
        // flagged; a missing value is no fault.
        { UPS_OFF, REG_NONE, 0, nullptr, 0, 0 },
        { UPS_OFF, REG_DWORD, 60, nullptr, 4, 60 },
        { UPS_OFF, REG_DWORD, 600, nullptr, 4, 600 },
        { UPS_OFF, REG_DWORD, 0, nullptr, 4, 0 },
        { UPS_OFF, REG_DWORD, 59, nullptr, 4, 0, TRUE },
        { UPS_OFF, REG_DWORD, 601, nullptr, 4, 0, TRUE },
        { UPS_OFF, REG_DWORD, 0xFFFFFFFFu, nullptr, 4, 0, TRUE },
        { UPS_OFF, REG_BINARY, 60, nullptr, 4, 0, TRUE },
        { UPS_OFF, REG_SZ, 0, L"120", 8, 0, TRUE },
    };
    for (const auto& row : rows) {
        RegDeleteValueW(key_, row.name);
        if (row.bytes)
            SetRaw(row.name, row.type, row.text ? (const void*)row.text : &row.data, row.bytes);
        ::Settings expected;
        DefaultSettings(&expected);
        for (int i = 0; i < SETTINGS_NUMBERS; i++)
            expected.Numbers[i] = lstrcmpW(SettingsNumberNames[i], row.name) ? expected.Numbers[i] : row.setting;
        DefaultSettings(&s);
        UpsOffDelayRefused = FALSE;
        ReadRegistrySettings(&s);
        RegDeleteValueW(key_, row.name);
        EXPECT_EQ(std::vector<INT32>(expected.Numbers, expected.Numbers + SETTINGS_NUMBERS),
                  std::vector<INT32>(s.Numbers, s.Numbers + SETTINGS_NUMBERS)) << row.type << " " << row.data;
        EXPECT_EQ(row.refused, UpsOffDelayRefused) << row.type << " " << row.data;
    }
    UpsOffDelayRefused = FALSE;
}

// A refused value does not end the reading: the values before and after it
// are taken.
TEST_F(Settings, AValidValueBesideAnInvalidOne)
{
    SetDword(NAMES[0], 5000);
    SetDword(NAMES[1], 35);
    SetDword(NAMES[2], 700);
    ReadRegistrySettings(&s);
    EXPECT_EQ(300, s.RuntimeThresholdSeconds);
    EXPECT_EQ(35, s.ChargeThresholdPercent);
    EXPECT_EQ(30, s.GraceSeconds);
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
