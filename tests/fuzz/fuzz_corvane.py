#!/usr/bin/python3
"""Fuzzes the real Corvane.exe through Wine's HID stack: while it runs, the
emulated UPS in slot 0 is replaced again and again by a device with a random
but well-formed report descriptor (collections nested and flat, report ids,
1- to 32-bit fields, usage ranges, units and exponents, flags as bits and as
bytes, vendor pages), hostile names and random feature bytes, and then by each
of a set of malformed ones. Each device gets three passes of the monitor (the
second start's wake, CMD_OPEN, through a long-lived wintool), two rounds of
feature bytes. Checked:

- Corvane never crashes and never hangs: its process lives through every case,
  a known UPS plugged in every 100 cases and at the end is found at once, and
  "Exit" ends it cleanly;
- every log line is well formed and is one of Corvane's own messages;
- every published value is inside its documented range and is one the device
  served: the charge and runtime of the status lines against the raw values
  the emulator was given, the names of the "UPS connected: " line against the
  names the device sent (cut, control characters as spaces);
- no poll costs more than 19 feature requests.

    /usr/bin/python3 tests/fuzz/fuzz_corvane.py [--cases 1000] [--seed 1] [--only K]

A seed makes a run repeatable; --only K replays case K of that seed. The
malformed set runs too unless --no-malformed. Exits non-zero on any fault.
"""
import argparse
import os
import random
import re
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "system"))

import descriptors  # noqa: E402
from conftest import CMD_OPEN, Corvane, Wintool, report_faults, standalone  # noqa: E402
from emulator import EmulatorError  # noqa: E402
from monitor_helpers import log_faults  # noqa: E402

SLOT = 0
NAME_UNITS = 63
MAX_REQUESTS_PER_POLL = 19
PROBE_EVERY = 100
PROBE_LINE = "UPS connected: Quillfen Labs Emulated UPS 1500"

REASONS = ("UPS raised ShutdownImminent", "UPS reports battery below its own capacity limit",
           "runtime remaining fell below threshold", "charge fell below threshold", "UPS lost while on battery",
           "battery critical")
FIXED_MESSAGES = {"Corvane started", "Corvane stopped", "UPS disconnected", "UPS not found",
                  "mains restored - shutdown cancelled", "shutdown aborted by user",
                  "run at startup: enabled", "run at startup: disabled",
                  "ERROR - could not acquire SeShutdownPrivilege"}
STATUS = re.compile(r"(MAINS LOST - on battery|on line), (?:(\d+)%, )?(unknown|\d+ min|\d+ h \d+ min)")
ARMED = re.compile(r"SHUTDOWN ARMED - (.*); grace (\d+)s")
REFUSED = re.compile(r"ERROR - InitiateShutdown failed, code (\d+)")


def duration_text(seconds):
    """The runtime as the log writes it."""
    if seconds < 0:
        return "unknown"
    if seconds < 3600:
        return "%d min" % (seconds // 60)
    return "%d h %d min" % (seconds // 3600, seconds % 3600 // 60)


def name_as_read(sent):
    """A device name as the log must show it: the emulator drops trailing
    NULs; then at most 63 UTF-16 units, a surrogate pair split by the cut
    dropped, the NULs that then end it dropped too, control characters as
    spaces, "?" for nothing."""
    units = sent.rstrip("\0").encode("utf-16-le")
    units = [int.from_bytes(units[i:i + 2], "little") for i in range(0, len(units), 2)][:NAME_UNITS]
    if len(units) == NAME_UNITS and 0xD800 <= units[-1] <= 0xDBFF:
        units.pop()
    while units and units[-1] == 0:
        units.pop()
    units = [0x20 if u < 0x20 or u == 0x7F else u for u in units]
    text = b"".join(u.to_bytes(2, "little") for u in units).decode("utf-16-le", errors="surrogatepass")
    return text or "?"


def random_name(rng, prefix=""):
    pieces = ["UPS", " ", "Pro", "1500", "\r\n", "\t", "\0", "\x1b[31m", "\x7f", "\u00e9", "\u20ac",
              "\U0001F50B", "\"", "\\", "2026-01-01 00:00:00  mains restored - shutdown cancelled"]
    kind = rng.random()
    if kind < 0.15:
        return prefix
    if kind < 0.3:
        return prefix + "Quillfen Labs"
    text = prefix
    while len(text) < rng.choice([8, 30, 62, 63, 64, 90]):
        text += rng.choice(pieces)
    return text


class PlainUps:
    """The known UPS that the probes plug in, as the log may show it."""
    number = -1
    name = "probe"
    charges = {100}
    runtimes = {"1 h 5 min"}

    @staticmethod
    def connected_line():
        return PROBE_LINE


class Case:
    """One device of the run."""

    def __init__(self, number, name, descriptor, rng):
        self.number = number
        self.name = name
        self.descriptor = descriptor
        self.rng = rng
        self.manufacturer = random_name(rng)
        self.product = random_name(rng, "F%04d " % number)
        self.strings = rng.choice(["terminated", "unterminated"])
        self.ups = descriptor[:4] == bytes([0x05, 0x84, 0x09, 0x04])
        self.charges = set()
        self.runtimes = set()

    def connected_line(self):
        return "UPS connected: %s %s" % (name_as_read(self.manufacturer), name_as_read(self.product))

    def serve_round(self, emu, layout):
        """Random bytes into every feature report; notes the charge and
        runtime values they hold, as the parser may read them (raw, or sign
        extended), in the forms the log would show."""
        for key, length in layout["reports"].items():
            if key[0] != "F":
                continue
            report_id = int(key[1:])
            data = bytes([report_id]) + bytes(self.rng.getrandbits(8) for _ in range(length - 1))
            emu.report(SLOT, report_id, data)
            for field in layout["fields"]:
                if field["kind"] != "F" or field["id"] != report_id:
                    continue
                for raw in field_values(data, field):
                    if (field["page"], field["usage"]) == (0x85, 0x66):
                        self.charges.add(min(raw, 100))
                    if (field["page"], field["usage"]) == (0x85, 0x68):
                        self.runtimes.add(duration_text(raw - (1 << 32) if raw >= 1 << 31 else raw))


def field_values(data, field):
    """The field's bits as an unsigned 32-bit value, zero and sign extended."""
    bits = min(field["bits"], 32)
    number = int.from_bytes(data, "little") >> field["bit"] & (1 << bits) - 1 if bits else 0
    values = {number}
    if bits and number >> bits - 1:
        values.add((number - (1 << bits)) & 0xFFFFFFFF)
    return values


def cases_of_run(seed, count, malformed):
    numbered = []
    for number in range(count):
        rng = random.Random("%s:%d" % (seed, number))
        descriptor, notes = descriptors.random_descriptor(rng)
        numbered.append(Case(number, "random " + (", ".join(notes) or "ups"), descriptor, rng))
    if malformed:
        for index, (name, descriptor) in enumerate(descriptors.malformed_descriptors()):
            number = count + index
            numbered.append(Case(number, name, descriptor, random.Random("%s:%d" % (seed, number))))
    return numbered


def message_fault(message, case):
    """Why a log message is not one of Corvane's own, with its values in
    range and taken from what the device served; None when it is."""
    if message in FIXED_MESSAGES:
        return None
    if message.startswith("UPS connected: "):
        if case is None or message != case.connected_line():
            return "unexpected connected line"
        return None
    status = STATUS.fullmatch(message)
    if status:
        charge, runtime = status.group(2), status.group(3)
        if charge is not None and (int(charge) > 100 or case is None or int(charge) not in case.charges):
            return "charge %s%% is not one the device served (%s)" % (charge, sorted(case.charges) if case else "")
        if runtime != "unknown" and (case is None or runtime not in case.runtimes):
            return "runtime %r is not one the device served" % runtime
        if re.fullmatch(r"\d+ h (\d+) min", runtime) and int(runtime.split()[2]) >= 60:
            return "minutes out of range"
        return None
    armed = ARMED.fullmatch(message)
    if armed:
        return None if armed.group(1) in REASONS else "unknown reason"
    if REFUSED.fullmatch(message):
        return None
    return "not a message of Corvane's"


class Run:
    def __init__(self, emu, corvane, wintool, folder, out=print):
        self.emu = emu
        self.corvane = corvane
        self.wintool = wintool
        self.folder = folder
        self.out = out
        self.faults = []
        self.counts = {"cases": 0, "refused by Wine": 0, "found as a UPS": 0, "status lines": 0,
                       "shutdowns armed": 0, "polls": 0}
        self.seen_lines = 0
        self.probes = 0

    def fault(self, case, text):
        label = "case %d (%s)" % (case.number, case.name) if case else "run"
        self.faults.append("%s: %s" % (label, text))
        self.out("FAULT %s: %s" % (label, text))

    def pass_of_monitor(self):
        """Wakes the monitor and waits until its pass is over: the device
        quiet for 120 ms (a pass without requests takes a few ms)."""
        try:
            before = self.emu.count(SLOT)
        except EmulatorError:
            before = None
        self.wintool.post(CMD_OPEN)
        last, quiet_since = before, time.monotonic()
        while time.monotonic() - quiet_since < 0.12:
            time.sleep(0.02)
            try:
                now = self.emu.count(SLOT)
            except EmulatorError:
                now = None
            if now != last:
                last, quiet_since = now, time.monotonic()

    def new_messages(self):
        messages = self.corvane.messages()
        fresh = messages[self.seen_lines:]
        self.seen_lines = len(messages)
        return fresh

    def play(self, case):
        self.counts["cases"] += 1
        path = os.path.join(self.folder, "descriptor.bin")
        with open(path, "wb") as target:
            target.write(case.descriptor)
        try:
            self.emu.add_file(SLOT, path, manufacturer=case.manufacturer, product=case.product,
                              strings=case.strings, check="no")
        except EmulatorError:
            self.counts["refused by Wine"] += 1
            case.ups = False
            try:
                self.emu.remove(SLOT)
            except EmulatorError:
                pass
            self.pass_of_monitor()
            self.check_lines(case)
            return
        try:
            layout = self.emu.fields(SLOT)
        except EmulatorError:
            layout = None        # the client's parser refuses it: every report is missing
        if layout:
            case.serve_round(self.emu, layout)
        self.pass_of_monitor()   # the last device's handle fails: closed
        self.pass_of_monitor()   # found, and polled
        if layout:
            case.serve_round(self.emu, layout)
        self.pass_of_monitor()   # polled again with new values
        self.check_requests(case)
        self.check_lines(case)

    def check_requests(self, case):
        times = self.emu.times(SLOT)
        starts = []
        for t in times:
            if not starts or t - starts[-1][-1] > 40:
                starts.append([t])
            else:
                starts[-1].append(t)
        self.counts["polls"] += len(starts)
        for poll in starts:
            if len(poll) > MAX_REQUESTS_PER_POLL:
                self.fault(case, "a poll made %d requests" % len(poll))

    def check_lines(self, case):
        if not self.corvane.running():
            self.fault(case, "Corvane is no longer running")
            raise RuntimeError("Corvane crashed")
        messages = self.new_messages()
        connected = [m for m in messages if m.startswith("UPS connected: ")]
        if case.ups and not connected:
            self.fault(case, "the UPS was never announced")
        if not case.ups and connected:
            self.fault(case, "a device that is no UPS was announced")
        if connected:
            self.counts["found as a UPS"] += 1
        for message in messages:
            self.counts["status lines"] += bool(STATUS.fullmatch(message))
            self.counts["shutdowns armed"] += message.startswith("SHUTDOWN ARMED")
            problem = message_fault(message, case)
            if problem:
                self.fault(case, "%s: %r" % (problem, message))

    def probe(self):
        """A known UPS plugged in must be found within seconds: the monitor
        and the window are alive."""
        self.probes += 1
        self.emu.add(SLOT, "plain")
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            self.pass_of_monitor()
            messages = self.new_messages()
            for message in messages:
                problem = message_fault(message, PlainUps)
                if problem:
                    self.fault(None, "%s: %r" % (problem, message))
            if PROBE_LINE in messages:
                return
        self.fault(None, "a plain UPS was not found within 15 s (probe %d): hung?" % self.probes)
        raise RuntimeError("Corvane hung")

    def run(self, cases):
        started = time.monotonic()
        try:
            for index, case in enumerate(cases):
                if index and index % PROBE_EVERY == 0:
                    self.probe()
                self.play(case)
            self.probe()
        except RuntimeError:
            pass
        self.out("fuzz: %s; %d probes; %.0f s" % (
            ", ".join("%s %d" % item for item in self.counts.items()), self.probes, time.monotonic() - started))
        return self.faults


def fuzz(session, emu, corvane, cases, out=print):
    """Runs the cases against a running Corvane; returns the faults found,
    whole-log ones included. Corvane is stopped at the end."""
    wintool = Wintool(session)
    folder = tempfile.mkdtemp(prefix="corvane-fuzz-")
    try:
        run = Run(emu, corvane, wintool, folder, out)
        run.new_messages()
        faults = run.run(cases)
        if corvane.running():
            code = corvane.stop(timeout=15)
            if code != 0:
                faults.append("Exit ended Corvane with code %d" % code)
            elif corvane.messages()[-1:] != ["Corvane stopped"]:
                faults.append("the log does not end with Corvane stopped")
        faults += log_faults(corvane.log_bytes())
        return faults
    finally:
        wintool.close()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cases", type=int, default=1000, help="random well-formed devices (default 1000)")
    parser.add_argument("--seed", default="1")
    parser.add_argument("--only", type=int, help="replay only this case number of the seed")
    parser.add_argument("--no-malformed", action="store_true", help="leave out the malformed set")
    args = parser.parse_args()

    cases = cases_of_run(args.seed, args.cases, not args.no_malformed)
    if args.only is not None:
        cases = [c for c in cases if c.number == args.only]
    corvane = None
    with standalone("fuzz") as (session, folder):
        try:
            corvane = Corvane(session, folder).start()
            print("fuzz: seed %s, %d cases" % (args.seed, len(cases)))
            faults = fuzz(session, session.emulator, corvane, cases)
        finally:
            if corvane:
                corvane.kill()
    return report_faults("fuzz", faults)


if __name__ == "__main__":
    sys.exit(main())
