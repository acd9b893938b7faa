"""Fixtures for the emulator's own tests: one throw-away Wine prefix per run."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
EMU = os.path.dirname(HERE)
REPO = os.path.dirname(EMU)
sys.path.insert(0, EMU)

from emulator import Emulator, find_build_dir  # noqa: E402


def _build_dir():
    """Uses an existing build (CORVANE_EMU_BUILD, build/emu) or builds emu/ into /tmp."""
    try:
        return find_build_dir()
    except Exception:
        pass
    out = os.path.join(tempfile.gettempdir(), "corvane-emu-test-build")
    toolchain = os.path.join(REPO, "cmake", "mingw-w64-x86_64.cmake")
    subprocess.run(["cmake", "-S", EMU, "-B", out, "-DCMAKE_TOOLCHAIN_FILE=" + toolchain],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", out, "-j2"], check=True, stdout=subprocess.DEVNULL)
    return out


class Probe:
    """Runs hidprobe.exe (a plain Win32 HID client) in the prefix."""

    def __init__(self, emu):
        self.emu = emu
        self.exe = os.path.join(emu.build_dir, "hidprobe.exe")

    def run(self, *words):
        with tempfile.TemporaryFile(mode="w+") as out:
            subprocess.run(["wine", self.exe] + [str(w) for w in words], env=self.emu.env,
                           stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                           timeout=60, check=False)
            out.seek(0)
            text = out.read()
        lines = [l for l in text.splitlines() if l.startswith(("{", "["))]
        assert lines, "hidprobe printed nothing: %r" % text
        return json.loads(lines[-1])

    def devices(self):
        return self.run("list")

    def device(self, serial):
        found = [d for d in self.devices() if d.get("serial") == serial]
        return found[0] if found else None

    def get(self, serial, report_id):
        return self.run("get", serial, report_id)

    def time(self, serial, report_id, n):
        return self.run("time", serial, report_id, n)

    def set(self, serial, data):
        """Sends one feature report (its id first) with HidD_SetFeature."""
        return self.run("set", serial, bytes(data).hex())

    def hammer(self, serial, report_id, n, threads):
        return self.run("hammer", serial, report_id, n, threads)

    def read(self, serial, ms, action=None):
        """The input reports (hex) a reader sees within ms; action() runs
        once its read is pending, since reports sent before are not kept."""
        with tempfile.TemporaryFile(mode="w+") as out:
            reader = subprocess.Popen(["wine", self.exe, "read", serial, str(ms)], env=self.emu.env,
                                      stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 30
            while "reading" not in (out.seek(0) or out.read()) and reader.poll() is None:
                assert time.monotonic() < deadline, "hidprobe read never started its read"
                time.sleep(0.02)
            if action:
                action()
            reader.wait(timeout=60)
            out.seek(0)
            lines = [l for l in out.read().splitlines() if l.startswith("{")]
        assert lines, "hidprobe read printed nothing"
        return json.loads(lines[-1])


@pytest.fixture(scope="session")
def emu():
    build = _build_dir()
    prefix = tempfile.mkdtemp(prefix="corvane-emu-pfx-", dir="/tmp")
    e = Emulator(prefix, build_dir=build)
    t0 = time.monotonic()
    try:
        e.start()
        e.install_driver()
        print("\nprefix ready in %.1f s" % (time.monotonic() - t0))
        yield e
    finally:
        e.stop()
        shutil.rmtree(prefix, ignore_errors=True)


@pytest.fixture(scope="session")
def probe(emu):
    return Probe(emu)


def serial(slot):
    return "CVEMU-%04d" % slot
