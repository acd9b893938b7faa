"""Measures the monitor of the real Corvane.exe against the emulated UPS, for
`make bench` (tools/bench.py):

- the delay from a mains loss set on the emulator to the "MAINS LOST" line
  in the log, left to the monitor itself (woken by the UPS's input report,
  or at its own 5-second pace for a UPS without them) and with a wake
  (CMD_OPEN posted right after the change);
- the CPU time Corvane's process uses over a stretch, idle on line or with
  the UPS flooding it with input reports, and the passes it made.
"""
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from conftest import CMD_OPEN  # noqa: E402
from monitor_helpers import ON_BATTERY, ON_MAINS, PLAIN_PASS_REQUESTS, wait_quiet  # noqa: E402


def wait_line(corvane, prefix, count, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if sum(1 for m in corvane.messages() if m.startswith(prefix)) >= count:
            return time.monotonic()
        time.sleep(0.005)
    raise RuntimeError("no %r line" % prefix)


def mains_loss_delays(corvane, emu, trials, wake=None):
    """Seconds from a mains loss set on the emulator to its log line, each of
    `trials` times: at the monitor's own pace (a random phase against it), or
    with wake() called right after the change."""
    delays = []
    for _ in range(trials):
        losses = sum(1 for m in corvane.messages() if m.startswith("MAINS LOST"))
        lines = sum(1 for m in corvane.messages() if m.startswith("on line"))
        if not wake:
            time.sleep(random.uniform(0, 5))
        emu.set(0, charge=90, runtime=3000, **ON_BATTERY)
        changed = time.monotonic()
        if wake:
            wake()
        delays.append(wait_line(corvane, "MAINS LOST", losses + 1) - changed)
        emu.set(0, **ON_MAINS)
        corvane.command(CMD_OPEN)
        wait_line(corvane, "on line", lines + 1)
        wait_quiet(emu)
    return delays


def process_in_prefix(prefix, *names):
    """The Unix id of the process of this prefix whose program name ends with
    one of names (other runs may exist), or None."""
    marker = b"WINEPREFIX=" + os.path.abspath(prefix).encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as source:
                words = source.read().split(b"\0")
            with open("/proc/%s/environ" % entry, "rb") as source:
                environment = source.read().split(b"\0")
        except OSError:
            continue
        if words and words[0].lower().endswith(names) and marker in environment:
            return int(entry)
    return None


def corvane_pid(prefix):
    pid = process_in_prefix(prefix, b"corvane.exe")
    if pid is None:
        raise RuntimeError("no process runs Corvane.exe")
    return pid


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as source:
        fields = source.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the whole line (11 and 12 after the name).
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stretch_cpu(corvane, emu, prefix, seconds):
    """CPU time of Corvane's process (and of the prefix's wineserver, which
    serves its calls) over a stretch of seconds; the plain UPS's requests
    give the number of passes."""
    pid = corvane_pid(prefix)
    server = process_in_prefix(prefix, b"wineserver", b"wineserver64")
    wait_quiet(emu)
    requests = emu.count(0)
    before = cpu_seconds(pid)
    server_before = cpu_seconds(server) if server else 0.0
    started = time.monotonic()
    time.sleep(seconds)
    used = cpu_seconds(pid) - before
    server_used = (cpu_seconds(server) - server_before) if server else None
    elapsed = time.monotonic() - started
    passes = (emu.count(0) - requests) / float(PLAIN_PASS_REQUESTS)
    return {"seconds": round(elapsed, 1), "cpu_s": round(used, 3), "percent_of_a_core": round(100.0 * used / elapsed, 4),
            "wineserver_cpu_s": None if server_used is None else round(server_used, 3),
            "passes": round(passes, 1), "passes_a_second": round(passes / elapsed, 2)}
