"""The three settings as the running program uses them: read once at start
from HKCU\\Software\\Quillfen\\Corvane, and seen through which reason arms and
the grace in the armed line."""
import pytest

from conftest import SETTINGS_KEY
from monitor_helpers import (INITIATE_REFUSED, ON_BATTERY, armed, forced_pass, monitor_lines,
                             wait_new_lines, wake)


def start_on_battery(corvane, emu, session, values, **state):
    for name, kind, data in values:
        session.reg_add(SETTINGS_KEY, name, kind, data)
    emu.add(0, "plain")
    corvane.start()
    lines = wait_new_lines(corvane, [], 2)
    emu.set(0, **dict(ON_BATTERY, **state))
    wake(corvane)
    return wait_new_lines(corvane, lines, 1)


def next_attempt(corvane, emu, **state):
    """Changes the UPS, forces a pass, returns the lines that pass wrote. On
    battery a natural pass may slip in as well (every 2 s); each attempt then
    repeats the same two lines, so repeats are folded into one."""
    lines = monitor_lines(corvane)
    if state:
        emu.set(0, **state)
    forced_pass(corvane, emu)
    new = monitor_lines(corvane)[len(lines):]
    assert new[2:] == new[:-2], new
    return new[:2]


def test_without_settings_the_defaults_rule(corvane, emu, session):
    start_on_battery(corvane, emu, session, [], runtime=301, charge=21)
    assert next_attempt(corvane, emu, runtime=301, charge=21) == []
    assert next_attempt(corvane, emu, runtime=300) == [armed(3, 30), INITIATE_REFUSED]
    assert next_attempt(corvane, emu, runtime=301, charge=20) == [armed(4, 30), INITIATE_REFUSED]


def test_upper_bounds_are_taken(corvane, emu, session):
    start_on_battery(corvane, emu, session,
                     [("RuntimeThresholdSeconds", "REG_DWORD", 3600), ("ChargeThresholdPercent", "REG_DWORD", 100),
                      ("GraceSeconds", "REG_DWORD", 600)], runtime=3601, charge=100)
    # Charge 100 is at its threshold of 100.
    assert next_attempt(corvane, emu) == [armed(4, 600), INITIATE_REFUSED]
    assert next_attempt(corvane, emu, runtime=3600) == [armed(3, 600), INITIATE_REFUSED]


def test_one_above_the_bounds_is_refused_not_clamped(corvane, emu, session):
    start_on_battery(corvane, emu, session,
                     [("RuntimeThresholdSeconds", "REG_DWORD", 3601), ("ChargeThresholdPercent", "REG_DWORD", 101),
                      ("GraceSeconds", "REG_DWORD", 601)], runtime=3600, charge=90)
    assert next_attempt(corvane, emu) == []
    assert next_attempt(corvane, emu, runtime=300) == [armed(3, 30), INITIATE_REFUSED]


def test_zero_is_taken(corvane, emu, session):
    start_on_battery(corvane, emu, session,
                     [("RuntimeThresholdSeconds", "REG_DWORD", 0), ("ChargeThresholdPercent", "REG_DWORD", 0),
                      ("GraceSeconds", "REG_DWORD", 0)], runtime=1, charge=1)
    assert next_attempt(corvane, emu) == []
    assert next_attempt(corvane, emu, runtime=0) == [armed(3, 0), INITIATE_REFUSED]
    assert next_attempt(corvane, emu, runtime=1, charge=0) == [armed(4, 0), INITIATE_REFUSED]


def test_wrong_sizes_and_types(corvane, emu, session):
    # A QWORD is eight bytes: refused even though 3600 would be in range.
    # Two bytes of binary (0x000F) are zero-filled to 15. A string of more
    # than four bytes is refused.
    start_on_battery(corvane, emu, session,
                     [("RuntimeThresholdSeconds", "REG_QWORD", 3600), ("GraceSeconds", "REG_BINARY", "0f00"),
                      ("ChargeThresholdPercent", "REG_SZ", "45")], runtime=3600, charge=40)
    assert next_attempt(corvane, emu) == []
    assert next_attempt(corvane, emu, charge=20) == [armed(4, 15), INITIATE_REFUSED]


@pytest.mark.parametrize("valid_first", [True, False])
def test_a_valid_value_beside_an_invalid_one(corvane, emu, session, valid_first):
    values = [("ChargeThresholdPercent", "REG_DWORD", 35), ("GraceSeconds", "REG_DWORD", 700)]
    if not valid_first:
        values = [("RuntimeThresholdSeconds", "REG_DWORD", 4000), ("GraceSeconds", "REG_DWORD", 45)]
    start_on_battery(corvane, emu, session, values, runtime=3000, charge=36)
    assert next_attempt(corvane, emu) == []
    if valid_first:
        assert next_attempt(corvane, emu, charge=35) == [armed(4, 30), INITIATE_REFUSED]
    else:
        assert next_attempt(corvane, emu, runtime=300) == [armed(3, 45), INITIATE_REFUSED]
