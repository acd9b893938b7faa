#!/usr/bin/python3
"""Soaks Corvane against the emulated UPS and looks for growth.

Out of process, the real Corvane.exe: passes with changing values, each woken
by CMD_OPEN (which also shows and paints the window), then unplug and replug
cycles, each woken by a second start of Corvane (which posts CMD_OPEN to the
running one). Its GDI objects and kernel handles are counted from outside
(`wintool resources`), its committed memory too, the coarse view of its heap.
The log must hold exactly one "UPS disconnected", one "UPS not found" and one
"UPS connected: " per cycle, one status line per change of mains, and be well
formed throughout.

In process, the monitor's own code in tests/unit/soak_test.cpp, where heap
blocks are counted exactly: the same passes and cycles.

    /usr/bin/python3 tests/soak/soak_corvane.py [--passes 10000] [--cycles 1000]

Exits non-zero when anything grew or a line is missing or extra.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "system"))

from conftest import BUILD, CMD_OPEN, Corvane, Wintool, report_faults, standalone, windows_path  # noqa: E402
from monitor_helpers import CONNECTED, PLAIN_PASS_REQUESTS, log_faults, wait_quiet  # noqa: E402

SLOT = 0
MAINS_EVERY = 100          # passes between changes of mains
WARM_UP_PASSES = 50
WARM_UP_CYCLES = 2
COMMITTED_ALLOWANCE = 1024 * 1024


class Soak:
    def __init__(self, session, emu, corvane, out=print):
        self.session = session
        self.emu = emu
        self.corvane = corvane
        self.out = out
        self.wintool = Wintool(session)
        self.pid = corvane.windows_pid()
        self.samples = []
        self.mains_changes = 0
        self.on_battery = False

    def close(self):
        self.wintool.close()

    def sample(self, label):
        """The counts while the monitor waits: a pass holds a few handles for
        its moment (the log file, the devices it tries), so the device must
        be quiet, and of three counts 100 ms apart the least is taken."""
        wait_quiet(self.emu, SLOT, quiet=0.3)
        counts = {}
        for _ in range(3):
            for key, value in self.wintool.resources(self.pid).items():
                counts[key] = min(value, counts.get(key, value))
            time.sleep(0.1)
        counts["label"] = label
        self.samples.append(counts)
        self.out("soak: %-22s gdi=%d handles=%d committed=%d KiB" % (
            label, counts["gdi"], counts["handles"], counts["committed"] // 1024))
        return counts

    def wait_requests(self, at_least, timeout=10):
        deadline = time.monotonic() + timeout
        while self.emu.count(SLOT) < at_least:
            if time.monotonic() > deadline:
                raise AssertionError("the poll did not come")
            time.sleep(0.002)

    def passes(self, count, first=0):
        """Passes with new values each; mains lost or back every 100."""
        for i in range(first, first + count):
            on_battery = i // MAINS_EVERY % 2 == 1
            if on_battery != self.on_battery:
                self.mains_changes += 1
                self.on_battery = on_battery
            self.emu.set(SLOT, charge=30 + i % 71, runtime=600 + i % 3000, load=i % 101,
                         ac=int(not on_battery), discharging=int(on_battery))
            before = self.emu.count(SLOT)
            assert self.wintool.post(CMD_OPEN), "the window is gone"
            self.wait_requests(before + PLAIN_PASS_REQUESTS)

    def wait_lines(self, before, expected, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            messages = self.corvane.messages()
            if len(messages) >= before + len(expected):
                assert messages[before:] == expected, messages[before:]
                return
            if time.monotonic() > deadline:
                raise AssertionError("expected %r, the log has %r" % (expected, messages[before:]))
            time.sleep(0.01)

    def second_start(self):
        code = self.corvane.second_start()
        assert code == 0, "a second start ended with code %d: %s" % (code, self.corvane.second_output)

    def cycles(self, count):
        """Unplugged and plugged in again, each change woken by a second start."""
        for _ in range(count):
            before = len(self.corvane.messages())
            self.emu.remove(SLOT)
            self.second_start()
            self.wait_lines(before, ["UPS disconnected", "UPS not found"])
            self.emu.add(SLOT, "plain")
            self.second_start()
            self.wait_lines(before, ["UPS disconnected", "UPS not found", CONNECTED])
            self.on_battery = False

    def run(self, passes, cycles):
        """Returns the faults found."""
        started = time.monotonic()
        self.passes(WARM_UP_PASSES)
        self.cycles(WARM_UP_CYCLES)
        start = self.sample("after warm-up")
        mark = time.monotonic()
        done = 0
        while done < passes:
            step = min(1000, passes - done)
            self.passes(step, first=WARM_UP_PASSES + done)
            done += step
            self.sample("after %d passes" % done)
        passes_seconds = time.monotonic() - mark
        mark = time.monotonic()
        done = 0
        while done < cycles:
            step = min(100, cycles - done)
            self.cycles(step)
            done += step
            self.sample("after %d cycles" % done)
        cycles_seconds = time.monotonic() - mark
        end = self.samples[-1]
        self.out("soak: %d passes in %.0f s (%.1f ms each), %d cycles in %.0f s (%.2f s each); %.0f s in all" % (
            passes, passes_seconds, 1000 * passes_seconds / max(passes, 1), cycles, cycles_seconds,
            cycles_seconds / max(cycles, 1), time.monotonic() - started))
        faults = []
        for key in ("gdi", "handles"):
            if end[key] != start[key]:
                faults.append("%s went from %d to %d" % (key, start[key], end[key]))
        # Committed memory is the coarse view: it moves by whole pages and
        # holds Wine's own memory too, which grows by about 200 KiB over
        # 10,000 passes, balloons on or off, while the heap's busy blocks stay
        # the same. It is compared from the first thousand passes on, when
        # Wine's caches are filled, and catches a leak of 100 bytes or more a
        # pass; smaller ones are for the exact heap counts of the in-process
        # soak.
        settled = self.samples[1] if passes >= 1000 else start
        grown = end["committed"] - settled["committed"]
        if grown > COMMITTED_ALLOWANCE:
            faults.append("committed memory grew by %d KiB from %s to the end" % (grown // 1024, settled["label"]))
        return faults

    def check_log(self, cycles):
        messages = self.corvane.messages()
        total_cycles = cycles + WARM_UP_CYCLES
        faults = log_faults(self.corvane.log_bytes())
        expected = {"UPS disconnected": total_cycles, "UPS not found": total_cycles, CONNECTED: total_cycles + 1}
        for message, count in expected.items():
            if messages.count(message) != count:
                faults.append("%r %d times, not %d" % (message, messages.count(message), count))
        status = [m for m in messages if m.startswith(("on line, ", "MAINS LOST - on battery, "))]
        # The first status line is the start's; each change of mains adds one.
        if len(status) != 1 + self.mains_changes:
            faults.append("%d status lines for %d changes of mains" % (len(status), self.mains_changes))
        return faults


def soak(session, emu, corvane, passes, cycles, out=print):
    """Corvane must be running with the plain UPS in slot 0 and have logged
    its first two lines. Returns the faults; Corvane is stopped at the end."""
    run = Soak(session, emu, corvane, out)
    try:
        faults = run.run(passes, cycles)
    finally:
        run.close()
    code = corvane.stop(timeout=15)
    if code != 0:
        faults.append("Exit ended Corvane with code %d" % code)
    return faults + run.check_log(cycles)


def soak_in_process(emu, passes, cycles):
    """The monitor's code in the in-process soak program, in the same prefix;
    returns (passed, its summary line)."""
    env = dict(emu.env, CORVANE_SOAK_PASSES=str(passes), CORVANE_SOAK_CYCLES=str(cycles),
               CORVANE_EMU_DIR=windows_path(os.path.join(BUILD, "emu")))
    with tempfile.TemporaryFile(mode="w+") as out:
        done = subprocess.run(["wine", os.path.join(BUILD, "tests", "soak_tests.exe"), "--gtest_brief=1"], env=env,
                              stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, check=False)
        out.seek(0)
        text = out.read()
    summary = [line for line in text.splitlines() if line.startswith("soak:")]
    return done.returncode == 0, (summary[0] if summary else text[-2000:])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--passes", type=int, default=10000)
    parser.add_argument("--cycles", type=int, default=1000)
    parser.add_argument("--no-in-process", action="store_true", help="only the real executable")
    args = parser.parse_args()

    corvane = None
    faults = []
    with standalone("soak") as (session, folder):
        emu = session.emulator
        try:
            emu.add(SLOT, "plain")
            corvane = Corvane(session, folder).start()
            corvane.wait_for(lambda messages: len(messages) >= 3)
            faults += soak(session, emu, corvane, args.passes, args.cycles)
            if not args.no_in_process:
                emu.remove(SLOT)
                passed, summary = soak_in_process(emu, args.passes, args.cycles)
                print("in process: " + summary)
                if not passed:
                    faults.append("the in-process soak failed")
        finally:
            if corvane:
                corvane.kill()
    return report_faults("soak", faults)


if __name__ == "__main__":
    sys.exit(main())
