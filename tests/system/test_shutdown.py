"""Shutdown decisions end to end. Wine's InitiateShutdownW is a stub that
returns 120, so every attempt logs the armed line and then the refusal,
disarms, and arms again on the next pass on battery (2 s later). That
re-arming is what these tests watch. Mains returning while armed cannot be
seen here, since the refusal disarms at once; the unit tests cover it with
stand-ins for the system calls. The UPSes send no input reports, so that
every pass is one these tests wake or the poll's (test_input_reports.py has
the others); the hibernation's UPS does, so that its resume closes a device
with a read pending."""
import datetime
import time

import pytest

from conftest import SETTINGS_KEY
from monitor_helpers import (CONNECTED, INITIATE_REFUSED, ON_BATTERY, ON_LINE_FULL, ON_MAINS, REASON_TEXT, armed,
                             forced_pass, monitor_lines, wait_new_lines, wait_quiet, wake)
from net_peers import PASSWORD, Upsmon, free_port, turn_server_on, upsc

WM_POWERBROADCAST = 0x0218
PBT_APMSUSPEND = 0x4
PBT_APMRESUMEAUTOMATIC = 0x12
CMD_ABORT_SHUTDOWN = 204
FOLLOWERS_READ_FSD = (0, "OB DISCHRG LB FSD")
WM_ENDSESSION = 0x0016
ENDSESSION_LOGOFF = 0x80000000
OFF_IN_120 = "UPS output off in 120 s"


def assert_attempts(lines, reason, grace=30):
    """Every armed line is followed by the refusal, and each names the reason."""
    assert lines and len(lines) % 2 == 0, lines
    for i in range(0, len(lines), 2):
        assert lines[i:i + 2] == [armed(reason, grace), INITIATE_REFUSED], lines


def arm_and_rearm(corvane, emu, reason, grace=30, **state):
    """Puts the UPS in `state`, wakes the monitor, and waits for one attempt and
    for the re-arm on the natural next pass; returns the log's monitor lines.
    The change follows a forced pass, so that no natural pass (2 s apart on
    battery) falls between the change and the wake."""
    forced_pass(corvane, emu)
    lines = monitor_lines(corvane)
    emu.set(0, **state)
    wake(corvane)
    new = wait_new_lines(corvane, lines, 2)
    if new[0].startswith("MAINS LOST"):
        new = wait_new_lines(corvane, lines + new[:1], 2)
    assert new == [armed(reason, grace), INITIATE_REFUSED]
    armed_at = time.monotonic()
    lines = monitor_lines(corvane)
    again = wait_new_lines(corvane, lines, 2, timeout=4)
    gap = time.monotonic() - armed_at
    assert again == [armed(reason, grace), INITIATE_REFUSED]
    assert 1.5 < gap < 2.6, "re-armed after %.2f s" % gap
    return monitor_lines(corvane)


def test_each_reason_arms_in_turn_and_rearms_after_the_refusal(corvane, emu):
    emu.add(0, "plain", inputs="none")
    corvane.start()
    assert wait_new_lines(corvane, [], 2) == [CONNECTED, ON_LINE_FULL]

    # ShutdownImminent wins over every other condition.
    lines = arm_and_rearm(corvane, emu, 1, shutdown=1, belowlimit=1, runtime=10, charge=5, **ON_BATTERY)
    assert "MAINS LOST - on battery, 5%, 0 min" in lines
    arm_and_rearm(corvane, emu, 2, shutdown=0, belowlimit=1, runtime=10, charge=5)
    # Runtime equal to the threshold (300 s by default).
    arm_and_rearm(corvane, emu, 3, belowlimit=0, runtime=300, charge=90)
    # Runtime one above, charge equal to its threshold (20 % by default).
    arm_and_rearm(corvane, emu, 4, runtime=301, charge=20)

    # One above both thresholds: nothing arms any more.
    lines = monitor_lines(corvane)
    emu.set(0, runtime=301, charge=21)
    forced_pass(corvane, emu)
    lines = monitor_lines(corvane)
    forced_pass(corvane, emu)
    forced_pass(corvane, emu)
    assert monitor_lines(corvane) == lines
    assert corvane.stop() == 0


def test_on_line_nothing_arms_whatever_the_state(corvane, emu):
    emu.add(0, "plain", inputs="none")
    emu.set(0, shutdown=1, belowlimit=1, runtime=0, charge=0)
    corvane.start()
    assert wait_new_lines(corvane, [], 2) == [CONNECTED, "on line, 0%, 0 min"]
    forced_pass(corvane, emu)
    forced_pass(corvane, emu)
    assert monitor_lines(corvane) == [CONNECTED, "on line, 0%, 0 min"]

    # The same state on battery arms at once; back on line it stops.
    lines = monitor_lines(corvane)
    emu.set(0, **ON_BATTERY)
    wake(corvane)
    new = wait_new_lines(corvane, lines, 3)
    assert new == ["MAINS LOST - on battery, 0%, 0 min", armed(1), INITIATE_REFUSED]
    forced_pass(corvane, emu)
    emu.set(0, ac=1, discharging=0)
    wake(corvane)
    corvane.wait_for_message("on line, 0%", count=2)
    lines = monitor_lines(corvane)
    assert lines[-1] == "on line, 0%, 0 min"
    assert lines[-2] == INITIATE_REFUSED
    forced_pass(corvane, emu)
    forced_pass(corvane, emu)
    assert monitor_lines(corvane) == lines


def test_flags_as_8_bit_fields_report_mains_and_arm_reasons_1_and_2(corvane, emu):
    emu.add(0, "flags8", inputs="none")
    corvane.start()
    assert wait_new_lines(corvane, [], 2) == ["UPS connected: Quillfen Labs Emulated UPS Flags8", ON_LINE_FULL]
    lines = monitor_lines(corvane)
    emu.set(0, charge=90, runtime=3000, **ON_BATTERY)
    wake(corvane)
    assert wait_new_lines(corvane, lines, 1) == ["MAINS LOST - on battery, 90%, 50 min"]
    arm_and_rearm(corvane, emu, 1, shutdown=1)
    arm_and_rearm(corvane, emu, 2, shutdown=0, belowlimit=1)
    lines = monitor_lines(corvane)
    emu.set(0, **ON_MAINS)
    wake(corvane)
    assert wait_new_lines(corvane, lines, 1) == ["on line, 90%, 50 min"]


@pytest.mark.parametrize("delay", [None, 120])
def test_hibernation_counts_its_grace_then_hibernates_once_and_a_resume_starts_afresh(corvane, emu, session, delay):
    """Wine reports hibernation as available, and its request returns at
    once having done nothing: Corvane runs on, holding the outage, until the
    resume broadcast makes it find the UPS again. Then a suspend withdraws
    the new hibernation (the next pass arms it afresh), and an exit within
    its grace says that it was cancelled. With UpsOffDelaySeconds the UPS is
    told before the hibernation, and not for one withdrawn; without it,
    never."""
    session.reg_add(SETTINGS_KEY, "ShutdownAction", "REG_DWORD", 1)
    session.reg_add(SETTINGS_KEY, "GraceSeconds", "REG_DWORD", 4)
    if delay:
        session.reg_add(SETTINGS_KEY, "UpsOffDelaySeconds", "REG_DWORD", delay)
    emu.add(0, "plain")
    corvane.start()
    lines = wait_new_lines(corvane, [], 2)
    emu.set(0, charge=10, runtime=900, **ON_BATTERY)
    wake(corvane)
    outage = ["MAINS LOST - on battery, 10%, 15 min", "HIBERNATE ARMED - %s; grace 4s" % REASON_TEXT[4]] + \
        ([OFF_IN_120] if delay else []) + ["hibernating"]
    assert wait_new_lines(corvane, lines, len(outage), timeout=15) == outage
    assert (emu.output(0)["sets"], emu.output(0)["last"]) == ((1, 120) if delay else (0, 0))
    stamps = {line.message: datetime.datetime.strptime(line.stamp, "%Y-%m-%d %H:%M:%S") for line in corvane.log()}
    assert (stamps["hibernating"] - stamps[outage[1]]).total_seconds() >= 3, "the grace was not counted"

    forced_pass(corvane, emu)
    forced_pass(corvane, emu)
    lines = monitor_lines(corvane)
    assert lines[-1] == "hibernating"
    code, out = session.wintool("message", str(WM_POWERBROADCAST), str(PBT_APMRESUMEAUTOMATIC), "0")
    assert code == 0, out
    assert wait_new_lines(corvane, lines, 3, timeout=15) == [CONNECTED] + outage[:2]
    lines = monitor_lines(corvane)
    code, out = session.wintool("message", str(WM_POWERBROADCAST), str(PBT_APMSUSPEND), "0")
    assert code == 0, out
    assert wait_new_lines(corvane, lines, 1, timeout=8) == outage[1:2]
    assert corvane.stop() == 0
    assert corvane.messages()[-2:] == ["hibernation cancelled - Corvane stopped", "Corvane stopped"]
    assert emu.output(0)["sets"] == (1 if delay else 0)


def start_then_lose_the_mains(corvane, emu, **values):
    """Corvane started on line, then the UPS on battery with `values`."""
    corvane.start()
    corvane.wait_for_message("on line")
    forced_pass(corvane, emu)
    emu.set(0, **values, **ON_BATTERY)
    wake(corvane)
    corvane.wait_for_message("MAINS LOST")


def test_a_hibernation_armed_while_the_device_stalls_happens_at_the_end_of_its_grace(corvane, emu, session):
    session.reg_add(SETTINGS_KEY, "ShutdownAction", "REG_DWORD", 1)
    session.reg_add(SETTINGS_KEY, "GraceSeconds", "REG_DWORD", 3)
    emu.add(0, "plain", inputs="none")
    start_then_lose_the_mains(corvane, emu, charge=10)
    corvane.wait_for_message("HIBERNATE ARMED - %s; grace 3s" % REASON_TEXT[4])
    armed_at = time.monotonic()
    # From the next pass on, each request takes 4 s: the poll stalls 16 s.
    emu.delay(0, 4000)
    try:
        corvane.wait_for_message("hibernating", timeout=10)
        assert time.monotonic() - armed_at < 4.5
    finally:
        emu.delay(0, 0)


def test_a_ups_lost_on_battery_arms_after_15_s_and_its_followers_read_fsd_meanwhile(corvane, emu, session):
    port = free_port()
    turn_server_on(session, port)
    emu.add(0, "plain", inputs="none")
    start_then_lose_the_mains(corvane, emu, charge=60)
    emu.remove(0)
    wake(corvane)
    corvane.wait_for_message("UPS not found")
    lost_at = time.monotonic()
    lines = monitor_lines(corvane)
    assert wait_new_lines(corvane, lines, 2, timeout=20) == [armed(5), INITIATE_REFUSED]
    assert 14 < time.monotonic() - lost_at < 16.5
    assert upsc(port, "ups.status") == FOLLOWERS_READ_FSD


def test_one_failed_request_mid_outage_keeps_fsd_and_the_users_abort(corvane, emu, session):
    port = free_port()
    turn_server_on(session, port, ShutdownAction=("REG_DWORD", 1))
    emu.add(0, "plain", inputs="none")
    start_then_lose_the_mains(corvane, emu, charge=15)
    hibernate = "HIBERNATE ARMED - %s; grace 30s" % REASON_TEXT[4]
    corvane.wait_for_message(hibernate)
    corvane.command(CMD_ABORT_SHUTDOWN)
    corvane.wait_for_message("shutdown aborted by user")
    emu.fail(0, "all")
    wake(corvane)
    corvane.wait_for_message("UPS not found")
    assert upsc(port, "ups.status") == FOLLOWERS_READ_FSD
    emu.fail(0, "none")
    wake(corvane)
    corvane.wait_for_message("MAINS LOST", count=2)
    forced_pass(corvane, emu)
    forced_pass(corvane, emu)
    assert corvane.messages().count(hibernate) == 1


def end_session(corvane, session):
    """Wine's own end of the session: WM_QUERYENDSESSION and WM_ENDSESSION to
    every top-level window, then the end of each process."""
    code, out = session.run("wineboot", "--end-session")
    assert code == 0, out
    assert corvane.wait_exit() == 0
    assert corvane.messages()[-1] == "Corvane stopped"


def shutdown_refused(corvane, emu):
    """An outage whose shutdown is decided (FSD raised) and refused by Wine.
    A pass under way finishes its lines before they are counted."""
    wait_quiet(emu)
    lines = monitor_lines(corvane)
    emu.set(0, charge=10, **ON_BATTERY)
    wake(corvane)
    assert wait_new_lines(corvane, lines, 3)[1:] == [armed(4), INITIATE_REFUSED]


def test_the_end_of_the_session_turns_the_ups_off_only_in_an_outage_with_fsd(corvane, emu, session, tmp_path):
    """Before any outage, nothing is written; nor for a logoff; for a
    shutdown during an outage with FSD, 120 s, the rest of the report as the
    UPS gave it, with the follower still logged in counted. Each end stops in
    order."""
    port = free_port()
    turn_server_on(session, port)
    session.reg_add(SETTINGS_KEY, "UpsOffDelaySeconds", "REG_DWORD", 120)
    emu.add(0, "plain", inputs="none")
    emu.set(0, delaystartup=300)
    corvane.start()
    wait_new_lines(corvane, [], 2)
    end_session(corvane, session)

    corvane.start()
    corvane.wait_for_message(CONNECTED, count=2)
    shutdown_refused(corvane, emu)
    code, out = session.wintool("message", WM_ENDSESSION, 1, ENDSESSION_LOGOFF)
    assert code == 0, out
    assert corvane.wait_exit() == 0
    assert corvane.messages()[-1] == "Corvane stopped"
    assert emu.output(0)["sets"] == 0

    emu.set(0, **ON_MAINS)
    corvane.start()
    corvane.wait_for_message(CONNECTED, count=3)
    # It polls once on start, then not for a minute: it has not seen FSD.
    upsmon = Upsmon(str(tmp_path), port, PASSWORD, poll=60)
    try:
        corvane.wait_for_message("follower logged in: 127.0.0.1", timeout=20)
        shutdown_refused(corvane, emu)
        end_session(corvane, session)
    finally:
        upsmon.stop()
    messages = corvane.messages()
    # The stop itself ends the follower's session.
    assert messages[-3:] == [OFF_IN_120 + "; followers still logged in: 1", "follower logged out: 127.0.0.1",
                             "Corvane stopped"]
    output = emu.output(0)
    assert (output["sets"], output["writes"], output["last"], output["on"]) == (1, 1, 120, True)
    assert 110 <= output["left"] <= 120
    assert emu.sent(0, 8) == bytes([8, 120, 0, 0x2C, 0x01])


def test_a_ups_without_the_usage_is_named_once_per_connection_and_never_written(corvane, emu, session):
    """The line comes at the commit point before the hibernation, and not
    again at the end of the session: the same UPS is still open."""
    session.reg_add(SETTINGS_KEY, "UpsOffDelaySeconds", "REG_DWORD", 120)
    session.reg_add(SETTINGS_KEY, "ShutdownAction", "REG_DWORD", 1)
    session.reg_add(SETTINGS_KEY, "GraceSeconds", "REG_DWORD", 1)
    emu.add(0, "manyvolts", inputs="none")
    corvane.start()
    lines = wait_new_lines(corvane, [], 2)
    emu.set(0, charge=10, **ON_BATTERY)
    wake(corvane)
    cannot = "ERROR - this UPS cannot be told to turn its output off"
    assert wait_new_lines(corvane, lines, 4, timeout=15)[1:] == [
        "HIBERNATE ARMED - %s; grace 1s" % REASON_TEXT[4], cannot, "hibernating"]
    end_session(corvane, session)
    assert corvane.messages().count(cannot) == 1
    assert emu.output(0)["sets"] == 0


def test_a_stuck_ups_holds_the_end_of_the_session_no_longer_than_the_stops_budget(corvane, emu, session):
    """The monitor is inside a 3-s request when the session ends: the write
    waits half a second on its own handle, is logged as refused, and the stop
    ends within its 3 s."""
    session.reg_add(SETTINGS_KEY, "UpsOffDelaySeconds", "REG_DWORD", 120)
    emu.add(0, "plain", inputs="none")
    corvane.start()
    wait_new_lines(corvane, [], 2)
    shutdown_refused(corvane, emu)
    forced_pass(corvane, emu)
    emu.delay(0, 3000)
    wake(corvane)
    time.sleep(0.5)
    started = time.monotonic()
    end_session(corvane, session)
    assert time.monotonic() - started < 6
    assert corvane.messages()[-2:] == ["ERROR - UPS refused the output-off delay, code 1460", "Corvane stopped"]
    emu.delay(0, 0)
    wait_quiet(emu, quiet=0.5, timeout=15)
    assert emu.output(0)["sets"] == 0
