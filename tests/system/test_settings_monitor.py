"""The settings as the running program uses them: read at start from
HKCU\\Software\\Quillfen\\Corvane, or changed in the settings window, and seen
through which reason arms and the grace in the armed line; and the window
itself, opened from the tray menu and driven through its controls."""
import pytest

from conftest import CMD_SETTINGS, DESKTOP_KEY, SETTINGS_KEY
from desktop import WORK_AREA, wait_until
from monitor_helpers import (INITIATE_REFUSED, ON_BATTERY, armed, forced_pass, monitor_lines,
                             wait_new_lines, wait_quiet, wake)
from test_tray import RETURN, UP, choose_from_menu


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
    repeats the same two lines, so repeats are folded into one. The lines of
    any pass already under way are written before the count is taken."""
    wait_quiet(emu)
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


# The settings window's controls, by id.
RUNTIME, CHARGE, GRACE, ACTION = 100, 101, 102, 108
NOTIFICATIONS, UPS_OFF, SERVER, MESSAGE, OK, CANCEL = 120, 121, 122, 130, 1, 2
ALT_C, ENTER = "0x12+0x43", "0x0D"


def registry_values(session):
    """{name: (type, data)} of what the settings key holds."""
    code, out = session.run("reg", "query", SETTINGS_KEY)
    values = {}
    for line in out.splitlines() if code == 0 else []:
        words = line.split(None, 2)
        if len(words) >= 2 and words[1].startswith("REG_"):
            values[words[0]] = (words[1], words[2] if len(words) > 2 else "")
    return values


def test_the_window_from_the_tray_menu_writes_the_registry_and_arms_at_its_threshold(corvane, emu, session):
    start_on_battery(corvane, emu, session, [], runtime=3000, charge=30)
    assert next_attempt(corvane, emu) == []
    choose_from_menu(session, UP, UP, UP, RETURN)
    window = wait_until(session.settings_window, what="the settings window")
    controls = window["controls"]
    assert window["foreground"] == 1 and window["focus"] == RUNTIME
    assert [controls[i]["text"] for i in (RUNTIME, CHARGE, GRACE, ACTION)] == ["300", "20", "30", "Shut down"]
    assert [controls[i]["checked"] for i in (NOTIFICATIONS, UPS_OFF, SERVER)] == [1, 0, 0]
    assert [controls[i]["enabled"] for i in range(103, 108)] == [0] * 5
    # The keyboard: Alt+C takes the charge field (its label's mnemonic) with
    # its text selected, typing replaces it, Enter is OK.
    session.settings_control("set", GRACE, "45")
    code, out = session.wintool("keys", ALT_C, "0x33", "0x35", ENTER)
    assert code == 0, out
    corvane.wait_for_message("settings changed")
    wait_until(lambda: session.settings_window() is None, what="the window to close")
    assert [m for m in corvane.messages() if m.startswith("settings changed")] == [
        "settings changed: RuntimeThresholdSeconds=300 ChargeThresholdPercent=35 GraceSeconds=45 "
        "ShutdownAction=0 Notifications=1 UpsOffDelaySeconds=0 NetworkServer=0 NetworkPort=3493 "
        "NetworkAddress=127.0.0.1 NetworkUser=monuser"]
    numbers = dict(RuntimeThresholdSeconds=300, ChargeThresholdPercent=35, GraceSeconds=45, ShutdownAction=0,
                   Notifications=1, UpsOffDelaySeconds=0, NetworkServer=0, NetworkPort=3493)
    expected = {name: ("REG_DWORD", hex(value)) for name, value in numbers.items()}
    expected.update(NetworkAddress=("REG_SZ", "127.0.0.1"), NetworkUser=("REG_SZ", "monuser"),
                    NetworkPassword=("REG_SZ", ""))
    assert registry_values(session) == expected
    # The charge of 30 is now under the threshold: the next pass arms, with
    # the new grace, and nothing was restarted.
    assert next_attempt(corvane, emu) == [armed(4, 45), INITIATE_REFUSED]
    assert corvane.messages().count("Corvane started") == 1


def test_a_refused_value_writes_nothing_and_cancel_changes_nothing(corvane, emu, session):
    corvane.start()
    corvane.command(CMD_SETTINGS)
    wait_until(session.settings_window, what="the settings window")
    # Two faults: the window stays open, the first in its order named and
    # focused (the focus was on the runtime).
    session.settings_control("set", CHARGE, "101")
    session.settings_control("set", GRACE, "601")
    session.settings_control("click", OK)
    window = wait_until(lambda: (lambda w: w if w["focus"] == CHARGE else None)(session.settings_window()),
                        what="the focus on the charge")
    assert window["controls"][MESSAGE]["text"] == "Charge: a whole number from 0 to 100."
    session.settings_control("click", CANCEL)
    wait_until(lambda: session.settings_window() is None, what="Cancel to close the window")
    assert registry_values(session) == {}
    assert not [m for m in corvane.messages() if m.startswith("settings changed")]


def test_at_144_dpi_every_text_fits_and_the_window_stands_in_the_work_area(corvane, emu, session):
    # Wine reads the DPI when a program starts, wintool's included.
    session.reg_add(DESKTOP_KEY, "LogPixels", "REG_DWORD", 144)
    try:
        corvane.start()
        corvane.command(CMD_SETTINGS)
        window = wait_until(session.settings_window, what="the settings window")
    finally:
        session.reg_add(DESKTOP_KEY, "LogPixels", "REG_DWORD", 96)
    assert window["dpi"] == 144
    left, top, right, bottom = window["rect"]
    assert WORK_AREA[0] <= left and right <= WORK_AREA[2] and WORK_AREA[1] <= top and bottom <= WORK_AREA[3]
    width, height = window["client"]
    boxes = []
    for control in window["controls"].values():
        x0, y0, x1, y1 = control["rect"]
        assert 0 <= x0 and 0 <= y0 and x1 <= width and y1 <= height, control
        # A check box's text stands after its box, 13 px at 96 DPI.
        box = 20 if control["id"] in (NOTIFICATIONS, UPS_OFF, SERVER) else 0
        assert x1 - x0 >= control["need"] + box, control
        assert y1 - y0 >= 19, control
        boxes.append((x0, y0, x1, y1))
    overlaps = [(a, b) for i, a in enumerate(boxes) for b in boxes[i + 1:]
                if a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]]
    assert overlaps == []
