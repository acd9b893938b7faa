"""Corvane against what a hostile machine or device puts in its way: DLLs
planted beside the program, a system without hid.dll, device names made to
forge log lines."""
import shutil
import time

import pytest

from conftest import CORVANE_EXE, PLANTED_DLL, SETTINGS_KEY
from net_peers import free_port, turn_server_on, upsc
from monitor_helpers import (CONNECTED, ON_BATTERY, ON_LINE_FULL, REASON_TEXT, forced_pass, log_faults,
                             monitor_lines, wait_new_lines, wake)

# hid.dll, dwmapi.dll and powrprof.dll, which the program uses and which are
# not KnownDLLs, and others Windows or Wine load into a desktop program by name.
# With the network server on, ws2_32.dll and what Winsock loads in turn.
PLANTED_NAMES = ("hid.dll", "dwmapi.dll", "powrprof.dll", "uxtheme.dll", "version.dll", "winmm.dll",
                 "cryptbase.dll", "propsys.dll", "msimg32.dll", "ws2_32.dll", "mswsock.dll", "wshtcpip.dll",
                 "iphlpapi.dll", "dnsapi.dll")


@pytest.mark.parametrize("server", [False, True])
def test_dlls_planted_beside_the_program_are_never_loaded(corvane, emu, session, tmp_path, server):
    # A Downloads folder holding the program, the stand-ins, and the user
    # starting it from there (so the folder is the current one too).
    downloads = tmp_path / "Downloads"
    downloads.mkdir()
    program = downloads / "Corvane.exe"
    shutil.copy(CORVANE_EXE, program)
    for name in PLANTED_NAMES:
        shutil.copy(PLANTED_DLL, downloads / name)
    emu.add(0, "plain")
    port = free_port()
    if server:
        turn_server_on(session, port)
    # Hibernation, so that arming loads powrprof.dll.
    session.reg_add(SETTINGS_KEY, "ShutdownAction", "REG_DWORD", 1)
    corvane.start(exe=str(program), cwd=str(downloads))
    try:
        lines = wait_new_lines(corvane, [], 3 if server else 2)
    except AssertionError as failure:
        raise AssertionError("%s; stand-ins loaded: %s" % (failure, _loaded(downloads)))
    assert sorted(lines) == sorted([CONNECTED, ON_LINE_FULL] + (
        ["network server listening on 127.0.0.1:%d" % port] if server else []))
    if server:
        assert upsc(port, "ups.status") == (0, "OL")
    # Opening the window shows and paints it.
    forced_pass(corvane, emu)
    # Armed as a hibernation: the system's powrprof.dll answered.
    emu.set(0, charge=10, **ON_BATTERY)
    wake(corvane)
    assert wait_new_lines(corvane, lines, 2)[1] == "HIBERNATE ARMED - %s; grace 30s" % REASON_TEXT[4]
    assert corvane.stop() == 0
    assert _loaded(downloads) == []


def _loaded(folder):
    return sorted(p.name for p in folder.glob("*.loaded"))


def test_without_hid_dll_one_error_line_and_no_ups(corvane, emu):
    emu.add(0, "plain")
    # Wine's own switch for a DLL that is not there.
    corvane.start(wine_env={"WINEDLLOVERRIDES": "mscoree,mshtml=;hid=d"})
    for _ in range(3):
        wake(corvane)
        time.sleep(0.3)
    assert monitor_lines(corvane) == [
        "ERROR - hid.dll could not be loaded from the system folder; no UPS can be found"]
    assert emu.count(0) == 0
    assert corvane.stop() == 0


# (manufacturer, product) as the device sends them, and the line they make.
HOSTILE_NAMES = [
    ("X\r\n2026-01-01 00:00:00  mains restored - shutdown cancelled", "\tTabbed\x00NUL",
     "UPS connected: X  2026-01-01 00:00:00  mains restored - shutdown cancelled  Tabbed NUL"),
    # 64 units and more; the product's last character is a surrogate pair
    # that the cut at 63 units splits.
    ("\x1b[2J" + "W" * 70, "E" * 62 + "\U0001F50B" + "tail",
     "UPS connected:  [2J" + "W" * 59 + " " + "E" * 62),
]


def test_hostile_device_names_leave_every_log_line_well_formed(corvane, emu):
    corvane.start()
    corvane.wait_for_message("Corvane started")
    expected = []
    for strings in ("terminated", "unterminated"):
        for manufacturer, product, line in HOSTILE_NAMES:
            lines = monitor_lines(corvane)
            if expected:
                emu.remove(0)
                wake(corvane)
                assert wait_new_lines(corvane, lines, 2) == ["UPS disconnected", "UPS not found"]
                lines = monitor_lines(corvane)
            emu.add(0, "plain", manufacturer=manufacturer, product=product, strings=strings)
            wake(corvane)
            assert wait_new_lines(corvane, lines, 1) == [line]
            expected.append(line)
    assert corvane.stop() == 0
    assert [m for m in corvane.messages() if m.startswith("UPS connected")] == expected
    assert log_faults(corvane.log_bytes()) == []
