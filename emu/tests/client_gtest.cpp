// The client library used in-process, as Corvane's own GoogleTest programs
// use it: add a device, change it, read it back through hid.dll, remove it.
// Runs under Wine in a prefix prepared by the emulator (see emu/README.md).
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emu_client.h"

namespace {

const int kSlot = 30;

// Opens the HID interface whose serial string is the given one.
HANDLE open_by_serial(const wchar_t *serial)
{
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsW(&guid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    HANDLE found = INVALID_HANDLE_VALUE;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    for (DWORD i = 0; found == INVALID_HANDLE_VALUE && SetupDiEnumDeviceInterfaces(set, NULL, &guid, i, &iface); i++) {
        union { SP_DEVICE_INTERFACE_DETAIL_DATA_W d; BYTE b[1024]; } detail;
        detail.d.cbSize = sizeof(detail.d);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, &detail.d, sizeof(detail), NULL, NULL)) continue;
        HANDLE h = CreateFileW(detail.d.DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE) continue;
        wchar_t buf[256] = {};
        if (HidD_GetSerialNumberString(h, buf, sizeof(buf) - 2) && !wcscmp(buf, serial)) found = h;
        else CloseHandle(h);
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

class EmulatedUps : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!emu_driver_installed()) ASSERT_TRUE(emu_install_driver(NULL)) << emu_last_error();
        ASSERT_TRUE(emu_add_profile(kSlot, "plain")) << emu_last_error();
        handle_ = open_by_serial(L"CVEMU-0030");
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(HidD_GetPreparsedData(handle_, &pp_));
        ASSERT_EQ(HidP_GetCaps(pp_, &caps_), HIDP_STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (pp_) HidD_FreePreparsedData(pp_);
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        emu_remove(kSlot);
    }
    // Reads one usage value from its feature report, or -1 with the error.
    long read_value(UCHAR id, USAGE page, USAGE usage, DWORD *error = nullptr)
    {
        std::vector<char> buf(caps_.FeatureReportByteLength);
        buf[0] = (char)id;
        if (!HidD_GetFeature(handle_, buf.data(), (ULONG)buf.size())) {
            if (error) *error = GetLastError();
            return -1;
        }
        ULONG v = 0;
        if (HidP_GetUsageValue(HidP_Feature, page, 0, usage, &v, pp_, buf.data(), (ULONG)buf.size()) != HIDP_STATUS_SUCCESS)
            return -2;
        return (long)v;
    }
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    PHIDP_PREPARSED_DATA pp_ = nullptr;
    HIDP_CAPS caps_ = {};
};

TEST_F(EmulatedUps, StartsAsAFullUpsOnLine)
{
    EXPECT_EQ(caps_.UsagePage, 0x84);
    EXPECT_EQ(read_value(1, 0x85, 0x66), 100);
    EXPECT_EQ(read_value(1, 0x85, 0x68), 3900);
    EXPECT_EQ(read_value(3, 0x84, 0x30), 230);
}

TEST_F(EmulatedUps, SetFieldIsSeenByTheNextRequest)
{
    ASSERT_TRUE(emu_set_field(kSlot, "charge", 41)) << emu_last_error();
    EXPECT_EQ(read_value(1, 0x85, 0x66), 41);
    ASSERT_TRUE(emu_set(kSlot, "charge=7 voltage.input=212")) << emu_last_error();
    EXPECT_EQ(read_value(1, 0x85, 0x66), 7);
    EXPECT_EQ(read_value(3, 0x84, 0x30), 212);
    double v = 0;
    ASSERT_TRUE(emu_get_field(kSlot, "remainingcapacity", &v));
    EXPECT_EQ(v, 7);
}

TEST_F(EmulatedUps, FlagsAreButtons)
{
    ASSERT_TRUE(emu_set(kSlot, "ac=0 discharging=1")) << emu_last_error();
    std::vector<char> buf(caps_.FeatureReportByteLength);
    buf[0] = 2;
    ASSERT_TRUE(HidD_GetFeature(handle_, buf.data(), (ULONG)buf.size()));
    USAGE usages[16];
    ULONG n = 16;
    ASSERT_EQ(HidP_GetUsages(HidP_Feature, 0x85, 0, usages, &n, pp_, buf.data(), (ULONG)buf.size()), HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(usages[0], 0x45);
}

TEST_F(EmulatedUps, FailAllGivesDeviceNotConnected)
{
    ASSERT_TRUE(emu_fail_all(kSlot, true));
    DWORD error = 0;
    EXPECT_EQ(read_value(1, 0x85, 0x66, &error), -1);
    EXPECT_EQ(error, (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(emu_fail_report(kSlot, 3));
    EXPECT_EQ(read_value(1, 0x85, 0x66), 100);
    EXPECT_EQ(read_value(3, 0x84, 0x30, &error), -1);
    ASSERT_TRUE(emu_fail_none(kSlot));
    EXPECT_EQ(read_value(3, 0x84, 0x30), 230);
}

TEST_F(EmulatedUps, RequestLogCountsEveryFeatureRequest)
{
    ASSERT_TRUE(emu_reset_log(kSlot));
    uint64_t before = emu_now_ms();
    for (int i = 0; i < 5; i++) read_value(1, 0x85, 0x66);
    uint32_t count = 0;
    ASSERT_TRUE(emu_request_count(kSlot, &count));
    EXPECT_EQ(count, 5u);
    uint64_t times[EMU_TIME_RING];
    ASSERT_EQ(emu_request_times(kSlot, times, EMU_TIME_RING), 5);
    EXPECT_GE(times[0] + 5, before);
    EXPECT_LE(times[4], emu_now_ms() + 5);
}

TEST_F(EmulatedUps, RemovedDeviceFailsOldHandle)
{
    ASSERT_TRUE(emu_remove(kSlot));
    DWORD error = 0;
    EXPECT_EQ(read_value(1, 0x85, 0x66, &error), -1);
    EXPECT_FALSE(emu_exists(kSlot));
}

TEST(EmuDescriptor, BuilderTracksBitOffsets)
{
    EmuDescBuilder b;
    b.page(0x84); b.usage(0x04); b.collection(1);
    b.report_id(3);
    b.size(1); b.logical(0, 1);
    b.page(0x85); b.usage(0xD0); b.usage(0x44); b.usage(0x45); b.count(3); b.main('F', 0x02);
    b.pad('F', 5);
    b.value('F', 0x84, 0x30, 16, 0, 65535, 0x00F0D121, 6);
    b.end();
    EmuLayout l;
    ASSERT_TRUE(b.layout(&l)) << emu_last_error();
    ASSERT_EQ(l.nfields, 4);
    EXPECT_STREQ(l.fields[0].name, "ac");
    EXPECT_EQ(l.fields[2].bit_offset, 10);
    EXPECT_STREQ(l.fields[3].name, "voltage");
    EXPECT_EQ(l.fields[3].bit_offset, 16);
    EXPECT_EQ(l.fields[3].unit_exp, 6);
    EXPECT_DOUBLE_EQ(l.fields[3].scale, 10.0);
    ASSERT_EQ(l.nreports, 1);
    EXPECT_EQ(l.reports[0].length, 4);
}

}  // namespace
