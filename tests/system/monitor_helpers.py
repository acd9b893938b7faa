"""Helpers for the monitor, shutdown and settings system tests.

They drive the real Corvane.exe (the `corvane` fixture) against the emulated
UPS (the `emu` fixture) and read what the monitor thread wrote to the log.
A pass is forced with CMD_OPEN, which sets the monitor's WakeEvent, so that
tests that are not about cadence do not wait out the 5-second pause.
"""
import re
import time

from conftest import CMD_OPEN

LIFECYCLE = ("Corvane started", "Corvane stopped")
CONNECTED = "UPS connected: Quillfen Labs Emulated UPS 1500"
ON_LINE_FULL = "on line, 100%, 1 h 5 min"
INITIATE_REFUSED = "ERROR - InitiateShutdown failed, code 120"
# Feature requests of one pass over the plain UPS: one per report it uses.
PLAIN_PASS_REQUESTS = 4

REASON_TEXT = {
    1: "UPS raised ShutdownImminent",
    2: "UPS reports battery below its own capacity limit",
    3: "runtime remaining fell below threshold",
    4: "charge fell below threshold",
    5: "UPS lost while on battery",
}

ON_BATTERY = dict(ac=0, discharging=1, charging=0)
ON_MAINS = dict(ac=1, discharging=0, charging=0, shutdown=0, belowlimit=0)


def armed(reason, grace=30):
    return "SHUTDOWN ARMED - %s; grace %ds" % (REASON_TEXT[reason], grace)


def monitor_lines(corvane):
    """The log's messages without the start and stop lines."""
    return [m for m in corvane.messages() if m not in LIFECYCLE]


def wake(corvane):
    """Asks the running program for an immediate pass (CMD_OPEN sets WakeEvent)."""
    corvane.command(CMD_OPEN)


def wait_quiet(emu, slot=0, quiet=0.2, timeout=5.0):
    """Waits until the device has had no request for `quiet` seconds; returns
    the request count."""
    deadline = time.monotonic() + timeout
    last = emu.count(slot)
    last_change = time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.02)
        now = emu.count(slot)
        if now != last:
            last, last_change = now, time.monotonic()
        elif time.monotonic() - last_change >= quiet:
            return now
    raise AssertionError("the device never went quiet")


def forced_pass(corvane, emu, slot=0, timeout=5.0):
    """Wakes the monitor and waits until that pass has polled the device and
    finished; returns the request count after it."""
    before = wait_quiet(emu, slot)
    wake(corvane)
    deadline = time.monotonic() + timeout
    while emu.count(slot) == before:
        if time.monotonic() > deadline:
            raise AssertionError("no poll after the wake")
        time.sleep(0.01)
    return wait_quiet(emu, slot)


def wait_new_lines(corvane, previous, count, timeout=10):
    """Waits until `count` monitor lines follow the `previous` ones; returns the new ones."""
    deadline = time.monotonic() + timeout
    while True:
        lines = monitor_lines(corvane)
        assert lines[:len(previous)] == previous, lines
        if len(lines) >= len(previous) + count:
            return lines[len(previous):]
        if time.monotonic() > deadline:
            raise AssertionError("timed out; after %r came %r" % (previous, lines[len(previous):]))
        time.sleep(0.02)


def pass_starts(times_ms, gap_ms=500):
    """The first request time of each pass: requests of one poll arrive within
    a few milliseconds, passes are seconds apart."""
    starts = []
    for t in times_ms:
        if not starts or t - last > gap_ms:
            starts.append(t)
        last = t
    return starts


STAMP = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  \S")


def log_faults(data):
    """What is wrong with the log's bytes: [] when every line is a time stamp,
    two spaces and a message of printable text, valid UTF-8, ended by CR LF,
    and no longer than the 511 units a line may take."""
    faults = []
    if data and not data.endswith(b"\r\n"):
        faults.append("the log ends mid-line: %r" % data[-80:])
    for number, raw in enumerate(data.split(b"\r\n")[:-1]):
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            faults.append("line %d is not UTF-8 (%s): %r" % (number, error, raw))
            continue
        if not STAMP.match(line):
            faults.append("line %d has no time stamp: %r" % (number, line))
        if any(ord(c) < 0x20 or ord(c) == 0x7F for c in line):
            faults.append("line %d holds a control character: %r" % (number, line))
        if len(line.encode("utf-16-le")) // 2 + 2 > 511:
            faults.append("line %d is longer than 511 units" % number)
    return faults
