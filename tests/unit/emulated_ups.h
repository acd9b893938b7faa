// What every test against the emulated UPS does first: hid.dll's calls
// loaded, the emulator's driver in the prefix, and no device left in any
// slot from the test before.
#pragma once
#include <gtest/gtest.h>
#include "emu_client.h"
#include "ups/hid_calls.h"

inline void RemoveEmulatedDevices()
{
    for (int slot = 0; slot < EMU_MAX_SLOTS; slot++) {
        if (emu_exists(slot)) {
            EXPECT_TRUE(emu_remove(slot)) << emu_last_error();
        }
    }
}

// Call through ASSERT_NO_FATAL_FAILURE.
inline void PrepareEmulatedUps()
{
    ASSERT_TRUE(LoadHidCalls());
    if (!emu_driver_installed()) {
        ASSERT_TRUE(emu_install_driver(NULL)) << emu_last_error();
    }
    RemoveEmulatedDevices();
}
