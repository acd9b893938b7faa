"""Input reports: the real Corvane.exe woken by the emulated UPS's reports
through Wine's hidclass. The fallback poll is lengthened to a minute with the
CORVANE_TEST_POLL_MS hook, so that a line logged within the tests' time-outs
can only have come from a report."""
import time

from conftest import CMD_OPEN
from monitor_helpers import (CONNECTED, ON_BATTERY, ON_LINE_FULL, ON_MAINS, PLAIN_PASS_REQUESTS, monitor_lines,
                             wait_new_lines, wait_quiet, wake)

LONG_POLL = ["--set", "CORVANE_TEST_POLL_MS=60000"]


def start_on_line(corvane, emu, **options):
    emu.add(0, "plain", **options)
    corvane.start(extra_environment=LONG_POLL)
    assert wait_new_lines(corvane, [], 2) == [CONNECTED, ON_LINE_FULL]
    return monitor_lines(corvane)


def test_mains_lost_and_back_are_logged_from_the_reports(corvane, emu):
    lines = start_on_line(corvane, emu)
    # Longer than the normal 5-s poll without a pass: the minute's poll holds.
    wait_quiet(emu, quiet=6.0, timeout=12)
    emu.set(0, charge=80, runtime=2400, **ON_BATTERY)
    assert wait_new_lines(corvane, lines, 1, timeout=20) == ["MAINS LOST - on battery, 80%, 40 min"]
    lines = monitor_lines(corvane)
    emu.set(0, **ON_MAINS)
    assert wait_new_lines(corvane, lines, 1, timeout=20) == ["on line, 80%, 40 min"]


def test_a_ups_without_input_reports_is_polled_as_before(corvane, emu):
    lines = start_on_line(corvane, emu, inputs="none")
    wait_quiet(emu)
    # No report, no wake: only the 5-s poll can see it, the hook notwithstanding.
    emu.set(0, charge=80, runtime=2400, **ON_BATTERY)
    assert wait_new_lines(corvane, lines, 1, timeout=15) == ["MAINS LOST - on battery, 80%, 40 min"]


def test_a_flooding_ups_costs_at_most_a_pass_a_second(corvane, emu, session):
    lines = start_on_line(corvane, emu)
    wait_quiet(emu)
    emu.flood(0, True)
    try:
        emu.reset_log(0)
        started = time.monotonic()
        time.sleep(6)
        passes = emu.count(0) / PLAIN_PASS_REQUESTS
        seconds = time.monotonic() - started
        assert 2 <= passes <= seconds + 1, "%.1f passes in %.1f s" % (passes, seconds)
        # Still news is seen, a command obeyed, and the stop within its time.
        emu.set(0, charge=80, runtime=2400, **ON_BATTERY)
        assert wait_new_lines(corvane, lines, 1, timeout=20) == ["MAINS LOST - on battery, 80%, 40 min"]
        corvane.command(CMD_OPEN)
        deadline = time.monotonic() + 10
        while not (session.window_info() or {}).get("visible"):
            assert time.monotonic() < deadline, "the window did not open"
            time.sleep(0.1)
        assert corvane.stop() == 0
    finally:
        emu.flood(0, False)


def test_unplug_and_replug_with_a_read_pending_then_exit(corvane, emu):
    lines = start_on_line(corvane, emu)
    emu.remove(0)
    wake(corvane)
    assert wait_new_lines(corvane, lines, 2) == ["UPS disconnected", "UPS not found"]
    lines = monitor_lines(corvane)
    emu.add(0, "plain")
    wake(corvane)
    assert wait_new_lines(corvane, lines, 1) == [CONNECTED]
    lines = monitor_lines(corvane)
    # The new device's reports are read: no wake, and the poll a minute away.
    wait_quiet(emu)
    emu.set(0, charge=60, runtime=1800, **ON_BATTERY)
    assert wait_new_lines(corvane, lines, 1, timeout=20) == ["MAINS LOST - on battery, 60%, 30 min"]
    assert corvane.stop() == 0
    assert corvane.messages()[-1] == "Corvane stopped"
