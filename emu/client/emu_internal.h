// What the client's files share among themselves and do not offer to its
// users: the last-error text and the slots' registry keys.
#pragma once
#include <windows.h>
#include <stdint.h>

namespace emu_internal {

// Sets the text emu_last_error() returns; always false.
bool fail(const char *fmt, ...);

// Whether slot is within 0..EMU_MAX_SLOTS-1 (an error when not).
bool slot_ok(int slot);
// The hardware key of the device in slot, which holds its whole state; NULL
// with an error when the slot is empty.
HKEY open_state_key(int slot);
bool reg_dword(HKEY key, const wchar_t *name, uint32_t v);
bool slot_dword(int slot, const wchar_t *name, uint32_t v);

// Applies "name=value ..." to the device in slot. Names the device lacks are
// an error, or passed over when ignore_missing (a profile's starting state).
bool set_internal(int slot, const char *assignments, bool ignore_missing);

}  // namespace emu_internal
