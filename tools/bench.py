#!/usr/bin/python3
"""make bench: Corvane's figures, measured here and now, printed and written to
build/bench.json. A benchmark, not a test: nothing fails on a time.

Each measurement is a function in MEASUREMENTS that takes the bench (a fresh
prefix on its own Xvfb display, every program on Wine's virtual desktop, with
the emulated UPS, and the running Corvane.exe) and returns its figures.

    /usr/bin/python3 tools/bench.py [--trials 20] [--idle 600] [--flood 60] [--load 30] [--only NAME ...]
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "system"))

from conftest import BUILD, CMD_OPEN, CORVANE_EXE, Corvane, Wintool, standalone, windows_path  # noqa: E402
from desktop import ON_LINE, tray_icon_colour, wait_until  # noqa: E402
from measure_monitor import corvane_pid, cpu_seconds, mains_loss_delays, process_in_prefix, stretch_cpu, wait_line  # noqa: E402
from net_peers import free_port, turn_server_on, upsc_variables  # noqa: E402

sys.path.insert(0, os.path.join(REPO, "tests", "bench"))
import net_load  # noqa: E402

WM_CLOSE = 0x0010


class Bench:
    """The prefix, its emulator and, once a measurement needs it, the running
    Corvane.exe."""

    def __init__(self, args, session, folder):
        self.args = args
        self.session = session
        self.emu = session.emulator
        self.prefix = self.emu.prefix
        self.folder = folder
        self.corvane = None
        self.inputs = None

    def start_corvane(self, inputs="yes"):
        """Corvane with the plain UPS on line, first lines logged, window
        hidden; inputs="none": a plain UPS that sends no input reports."""
        if self.corvane and self.corvane.running() and self.inputs == inputs:
            return self.corvane
        if self.corvane:
            self.corvane.kill()
        self.emu.add(0, "plain", inputs=inputs)
        self.inputs = inputs
        self.corvane = Corvane(self.session, self.folder)
        # The log goes on from any run before.
        earlier = sum(1 for m in self.corvane.messages() if m.startswith("on line"))
        self.corvane.start()
        wait_line(self.corvane, "on line", earlier + 1)
        return self.corvane

    def hide_window(self):
        # The caption's close button only hides the window.
        self.session.wintool("message", hex(WM_CLOSE), "0", "0")


def median_and_max(values):
    return {"trials": len(values), "median_s": round(statistics.median(values), 3),
            "max_s": round(max(values), 3), "min_s": round(min(values), 3)}


def executable_size(bench):
    size = os.path.getsize(CORVANE_EXE)
    return {"bytes": size, "kib": round(size / 1024, 1)}


def one_poll(bench):
    """The product's own poll of the plain UPS, timed in process (200 polls),
    and the requests of one poll of each profile that is a UPS."""
    if 0 in bench.emu.list():
        bench.emu.remove(0)
    env = dict(bench.emu.env, CORVANE_EMU_DIR=windows_path(os.path.join(BUILD, "emu")))
    with tempfile.TemporaryFile(mode="w+") as out:
        subprocess.run(["wine", os.path.join(BUILD, "tests", "poll_bench.exe")], env=env,
                       stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL, check=False)
        out.seek(0)
        lines = [line for line in out.read().splitlines() if line.startswith("{")]
    return json.loads(lines[-1]) if lines else {"error": "poll_bench printed nothing"}


def start_to_tray_icon(bench):
    """From the launch of Corvane, the plain UPS on line, to its tray icon
    showing the on-line glyph on the desktop; five starts, each read from
    screenshots taken as fast as the X server gives them."""
    if 0 not in bench.emu.list():
        bench.emu.add(0, "plain")
    bench.inputs = "yes"
    times = []
    for _ in range(5):
        if bench.corvane and bench.corvane.running():
            bench.corvane.stop()
        started = time.monotonic()
        bench.corvane = Corvane(bench.session, bench.folder).start(wait_window=False)
        wait_until(lambda: tray_icon_colour(bench.session.display.name, ON_LINE) > 20, timeout=30, poll=0,
                   what="the on-line glyph")
        times.append(time.monotonic() - started)
    return median_and_max(times)


def panel_paint(bench):
    """One whole WM_PAINT of the panel at 96 and at 144 DPI (panelshot's own
    window): the median of 200 paints, three rounds a DPI, interleaved."""
    rounds = {96: [], 144: []}
    for _ in range(3):
        for dpi in rounds:
            code, out = bench.session.run(os.path.join(BUILD, "tests", "panelshot.exe"), "bench", "--dpi", dpi,
                                          "--paints", 200)
            figures = dict(part.split("=") for part in out.split() if "=" in part)
            rounds[dpi].append(float(figures["median_us"]) / 1000)
    return {"dpi_%d" % dpi: {"median_ms": round(statistics.median(values), 3),
                             "rounds_ms": [round(v, 3) for v in values]} for dpi, values in rounds.items()}


def icon_update(bench):
    """Drawing the battery glyph and one whole tray update (tray_bench, in
    process on the desktop's notification area): medians of 1,000."""
    code, out = bench.session.run(os.path.join(BUILD, "tests", "tray_bench.exe"))
    lines = [line for line in out.splitlines() if line.startswith("{")]
    return json.loads(lines[-1]) if lines else {"error": out[-500:]}


def idle_on_line(bench):
    """CPU over an idle stretch on line, the window hidden as after start."""
    corvane = bench.start_corvane()
    bench.hide_window()
    time.sleep(2.5)     # Wine waits 2 s for a hidden window to be withdrawn
    return stretch_cpu(corvane, bench.emu, bench.prefix, bench.args.idle)


def idle_on_line_open(bench):
    """The same with the status window open, repainted after every poll."""
    corvane = bench.start_corvane()
    corvane.command(CMD_OPEN)
    return stretch_cpu(corvane, bench.emu, bench.prefix, bench.args.idle)


def flooding_ups(bench):
    """CPU and passes while the UPS sends an input report every 10 ms, each
    unlike the one before; the window hidden."""
    corvane = bench.start_corvane()
    bench.hide_window()
    time.sleep(2.5)
    bench.emu.flood(0, True)
    try:
        return stretch_cpu(corvane, bench.emu, bench.prefix, bench.args.flood)
    finally:
        bench.emu.flood(0, False)


def mains_loss_to_log(bench):
    """From a mains loss set on the emulator to its log line: left to the
    monitor (a random phase against its poll), which the UPS's input report
    wakes, and with CMD_OPEN posted right after (through a wintool already
    running, so that no process start is timed)."""
    corvane = bench.start_corvane()
    own = mains_loss_delays(corvane, bench.emu, bench.args.trials)
    wintool = Wintool(bench.session)
    try:
        woken = mains_loss_delays(corvane, bench.emu, bench.args.trials, lambda: wintool.post(CMD_OPEN))
    finally:
        wintool.close()
    return {"input_report": median_and_max(own), "with_wake": median_and_max(woken)}


def mains_loss_polled(bench):
    """The same for a UPS without input reports: only the 5-s poll sees it."""
    corvane = bench.start_corvane(inputs="none")
    return {"own_pace": median_and_max(mains_loss_delays(corvane, bench.emu, bench.args.trials))}


def network_load(bench):
    """32 clients each asking GET VAR ups ups.status ten times a second for
    30 s, against Corvane's server and then, in the same run, against
    nut-server's upsd with its dummy-ups driver serving the same values.
    CPU: Corvane's process, and the prefix's wineserver, which holds Wine's
    sockets; upsd and the driver together. Memory: the Linux processes'
    resident and private memory: Corvane's with the server off (a default
    start), and on, before and after the load."""
    if bench.corvane and bench.corvane.running():
        bench.corvane.stop()
    bench.start_corvane()
    time.sleep(3)
    memory_off = net_load.rss_kib(corvane_pid(bench.prefix))
    bench.corvane.stop()
    port = free_port()
    turn_server_on(bench.session, port)
    try:
        corvane = bench.start_corvane()
        corvane.wait_for_message("network server listening on")
        values = upsc_variables(port)
        pid = corvane_pid(bench.prefix)
        server = process_in_prefix(bench.prefix, b"wineserver", b"wineserver64")
        memory_before = net_load.rss_kib(pid)
        cpu = cpu_seconds(pid), cpu_seconds(server)
        ours = net_load.load(port, seconds=bench.args.load)
        ours["cpu_s"] = round(cpu_seconds(pid) - cpu[0], 2)
        ours["wineserver_cpu_s"] = round(cpu_seconds(server) - cpu[1], 2)
        ours["memory_server_off"] = memory_off
        ours["memory_before"] = memory_before
        ours["memory_after"] = net_load.rss_kib(pid)
    finally:
        bench.corvane.stop()
        bench.session.reg_delete_key(r"HKCU\Software\Quillfen\Corvane")
    reference_port = free_port()
    with net_load.reference_server(values, reference_port) as pids:
        cpu = [cpu_seconds(p) for p in pids]
        theirs = net_load.load(reference_port, seconds=bench.args.load)
        theirs["cpu_s"] = round(sum(cpu_seconds(p) for p in pids) - sum(cpu), 2)
        theirs["memory"] = [net_load.rss_kib(p) for p in pids]
    ratio = lambda name: round(ours[name] / theirs[name], 2) if theirs.get(name) else None
    return {"corvane": ours, "upsd_dummy_ups": theirs,
            "ratios": {name: ratio(name) for name in ("answers_per_s", "median_ms", "p99_ms")}}


# name -> function(bench) -> figures, in the order they run.
MEASUREMENTS = [
    ("executable_size", executable_size),
    ("one_poll", one_poll),
    ("panel_paint", panel_paint),
    ("icon_update", icon_update),
    ("start_to_tray_icon", start_to_tray_icon),
    ("idle_cpu_on_line_hidden", idle_on_line),
    ("idle_cpu_on_line_open", idle_on_line_open),
    ("mains_loss_to_log", mains_loss_to_log),
    ("mains_loss_polled", mains_loss_polled),
    ("flooding_ups", flooding_ups),
    ("network_load", network_load),
]


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as source:
        for line in source:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    with open("/proc/loadavg") as source:
        load = source.read().split()[0]
    return {"cpu": cpu, "cores": os.cpu_count(), "kernel": platform.release(), "wine": wine,
            "load_average_at_start": float(load)}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trials", type=int, default=20, help="mains-loss trials of each kind (default 20)")
    parser.add_argument("--idle", type=float, default=600.0, help="seconds of idle measured (default 600)")
    parser.add_argument("--flood", type=float, default=60.0, help="seconds of a flooding UPS measured (default 60)")
    parser.add_argument("--load", type=float, default=30.0, help="seconds of network load (default 30)")
    parser.add_argument("--only", nargs="*", help="names of the measurements to run")
    args = parser.parse_args()

    results = {"machine": machine(), "measurements": {}}
    with standalone("bench") as (session, folder):
        bench = Bench(args, session, folder)
        try:
            for name, measure in MEASUREMENTS:
                if args.only and name not in args.only:
                    continue
                started = time.monotonic()
                figures = measure(bench)
                results["measurements"][name] = figures
                print("%-26s %s  (%.0f s)" % (name, json.dumps(figures), time.monotonic() - started), flush=True)
        finally:
            if bench.corvane:
                bench.corvane.kill()
    path = os.path.join(BUILD, "bench.json")
    with open(path, "w") as target:
        json.dump(results, target, indent=2)
    print("machine: %s" % json.dumps(results["machine"]))
    print("written to %s" % os.path.relpath(path, REPO))
    return 0


if __name__ == "__main__":
    sys.exit(main())
