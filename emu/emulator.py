#!/usr/bin/python3
"""Drive the Corvane emulated UPS from Linux.

The UPS devices live inside a Wine prefix (corvane_emu.sys under Wine's
hidclass). This module prepares a prefix, installs the driver, and talks to
a long-lived ``emuctl.exe serve`` process, one command line per request, so
a test can change the UPS many times without starting Wine each time.

    from emulator import Emulator
    with Emulator("/tmp/pfx", build_dir="build/emu") as emu:
        emu.install_driver()
        emu.add(0, "plain")
        emu.set(0, charge=40, ac=0, discharging=1)
        emu.set(0, "voltage.input=231.5")

Command line (one emuctl command per call, for changing the UPS by hand):

    python3 emu/emulator.py --prefix DIR init          # prefix + wineserver + driver
    python3 emu/emulator.py --prefix DIR add 0 plain
    python3 emu/emulator.py --prefix DIR set 0 charge=40 ac=0
    python3 emu/emulator.py --prefix DIR shutdown      # wineserver -k

Wine's background processes (wineserver, services, winedevice) inherit the
standard handles of whoever starts them; everything here starts them with
output going to /dev/null so that no pipe is held open forever.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)


class EmulatorError(RuntimeError):
    pass


def find_build_dir(build_dir=None):
    """The directory holding emuctl.exe, corvane_emu.sys and .inf."""
    candidates = [build_dir, os.environ.get("CORVANE_EMU_BUILD"),
                  os.path.join(REPO, "build", "emu"), os.path.join(REPO, "build")]
    for c in candidates:
        if c and os.path.isfile(os.path.join(c, "emuctl.exe")):
            return os.path.abspath(c)
    raise EmulatorError("emuctl.exe not found (build emu/ first, or pass --build / set CORVANE_EMU_BUILD)")


def wine_env(prefix, env=None):
    e = dict(os.environ if env is None else env)
    e["WINEPREFIX"] = os.path.abspath(prefix)
    e.setdefault("WINEDEBUG", "-all")
    e.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return e


def windows_path(path):
    """Unix path -> the Z: drive path Wine maps it to."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def _quote(word):
    word = str(word)
    if word == "" or any(c in word for c in " \t"):
        return '"' + word + '"'
    return word


def _escape(text):
    """A device string for the one-line protocol: backslashes, quotes and
    control characters as the escapes emuctl decodes."""
    out = []
    for c in str(text):
        if c == "\\":
            out.append("\\\\")
        elif c == '"' or ord(c) < 0x20 or ord(c) == 0x7F:
            out.append("\\x%02X" % ord(c))
        else:
            out.append(c)
    return "".join(out)


def _options(options):
    return ["%s=%s" % (k, _escape(v) if k in ("product", "manufacturer", "serial") else v)
            for k, v in options.items()]


def _assignments(args, kwargs):
    parts = []
    for a in args:
        if isinstance(a, dict):
            parts += ["%s=%s" % (k, _fmt(v)) for k, v in a.items()]
        else:
            parts.append(str(a))
    parts += ["%s=%s" % (k, _fmt(v)) for k, v in kwargs.items()]
    return " ".join(parts)


def _fmt(v):
    if isinstance(v, bool):
        return "1" if v else "0"
    return str(v)


class Emulator:
    """A Wine prefix with emulated UPS devices, driven through emuctl serve."""

    def __init__(self, prefix, build_dir=None, env=None, wine="wine", wineserver="wineserver"):
        self.prefix = os.path.abspath(prefix)
        self.build_dir = find_build_dir(build_dir)
        self.emuctl = os.path.join(self.build_dir, "emuctl.exe")
        self.env = wine_env(self.prefix, env)
        self.wine = wine
        self.wineserver = wineserver
        self._serve = None

    # ---- prefix and session -------------------------------------------------

    def ensure_prefix(self):
        """Creates the prefix if needed. A new prefix's first wineserver
        session cannot start services installed in it, so end that session."""
        if os.path.isfile(os.path.join(self.prefix, "system.reg")):
            return False
        os.makedirs(self.prefix, exist_ok=True)
        subprocess.run([self.wine, "wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        self.kill_wineserver()
        return True

    def start_wineserver(self):
        """Keeps the session alive between programs; output away from any pipe."""
        subprocess.run([self.wineserver, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        # The first program of a session starts services.exe and winedevice;
        # run it with /dev/null so they never hold the serve pipe.
        self.run_once("now")

    def kill_wineserver(self):
        subprocess.run([self.wineserver, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        subprocess.run([self.wineserver, "-w"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

    def start(self):
        """Prefix, session and serve process; returns self."""
        self.ensure_prefix()
        self.start_wineserver()
        self._start_serve()
        return self

    def stop(self):
        """Ends the serve process and the whole Wine session."""
        self.close()
        self.kill_wineserver()

    def close(self):
        if self._serve is None:
            return
        try:
            self._serve.stdin.write("quit\n")
            self._serve.stdin.flush()
            self._serve.wait(timeout=10)
        except Exception:
            self._serve.kill()
            self._serve.wait()
        self._serve = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # ---- transport ---------------------------------------------------------

    def _start_serve(self):
        self._serve = subprocess.Popen([self.wine, self.emuctl, "serve"], env=self.env, cwd=self.build_dir,
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, text=True, bufsize=1)
        line = self._serve.stdout.readline()
        if line.strip() != "ready":
            raise EmulatorError("emuctl serve did not start: %r" % line)

    def run_once(self, *words):
        """One emuctl process per command (no serve process needed)."""
        with tempfile.TemporaryFile(mode="w+") as out:
            subprocess.run([self.wine, self.emuctl] + [str(w) for w in words], env=self.env,
                           cwd=self.build_dir, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.DEVNULL, check=False)
            out.seek(0)
            lines = [l for l in out.read().splitlines() if l.startswith(("ok", "error"))]
        return self._answer(lines[-1] if lines else "error no answer from emuctl")

    def command(self, line):
        """Sends one command line; returns the text after "ok"."""
        if self._serve is None:
            self._start_serve()
        self._serve.stdin.write(line + "\n")
        self._serve.stdin.flush()
        while True:
            answer = self._serve.stdout.readline()
            if not answer:
                self._serve = None
                raise EmulatorError("emuctl serve ended during %r" % line)
            if answer.startswith(("ok", "error")):
                return self._answer(answer.rstrip("\r\n"))

    @staticmethod
    def _answer(line):
        if line == "ok":
            return ""
        if line.startswith("ok "):
            return line[3:]
        raise EmulatorError(line[6:] if line.startswith("error ") else line)

    def _cmd(self, *words):
        return self.command(" ".join(_quote(w) for w in words))

    # ---- driver and devices -------------------------------------------------

    def install_driver(self, directory=None):
        """Copies corvane_emu.inf/.sys (from the build directory) into the prefix."""
        return self._cmd("install-driver", windows_path(directory or self.build_dir))

    def add(self, slot, profile, **options):
        """Adds (or replaces) the device in a slot. options: product,
        manufacturer, serial (default CVEMU-<slot 4 digits>), vid, pid, version,
        strings ("unterminated": a long string fills the reader's buffer with no
        terminator), inputs ("none": no Input items, a UPS that sends no input
        reports)."""
        return self._cmd("add", slot, profile, *_options(options))

    def add_file(self, slot, descriptor_path, **options):
        """Adds a device whose report descriptor comes from a binary file."""
        return self._cmd("add-file", slot, windows_path(descriptor_path), *_options(options))

    def remove(self, slot):
        self._cmd("remove", slot)

    def exists(self, slot):
        return self._cmd("exists", slot) == "1"

    def list(self):
        """{slot: instance id} of the devices added through emuctl."""
        out = {}
        for item in self._cmd("list").split():
            slot, inst = item.split("=", 1)
            out[int(slot)] = inst
        return out

    def profiles(self):
        return self._cmd("profiles").split()

    def dump_profile(self, profile, path):
        """Writes a profile's report descriptor to a binary file."""
        self._cmd("dump", profile, windows_path(path))

    # ---- state --------------------------------------------------------------

    def set(self, slot, *assignments, **fields):
        """set(0, charge=40, ac=0) or set(0, "voltage.input=231.5 ac#1=0") or
        set(0, {"voltage.input": 231.5}); a value "#N" is raw."""
        text = _assignments(assignments, fields)
        self._cmd("set", slot, *text.split())

    def get(self, slot, name):
        """(value, raw) of the first field matching name."""
        value, raw = self._cmd("get", slot, name).split()
        return float(value), int(raw)

    def fields(self, slot=None, profile=None):
        """Layout as parsed from the descriptor: dict with top, collections,
        fields (list of dicts) and reports ({"F1": length, ...})."""
        text = self._cmd("fields", slot) if profile is None else self._cmd("profile-fields", profile)
        return parse_layout(text)

    def report(self, slot, report_id, data=None, kind="F"):
        """Raw report bytes (byte 0 is the id): get when data is None, else set."""
        cmd = "input" if kind == "I" else "report"
        if data is None:
            return bytes.fromhex(self._cmd(cmd, slot, report_id))
        self._cmd(cmd, slot, report_id, bytes(data).hex())

    def sent(self, slot, report_id):
        """The bytes of the last feature report a host sent with this id."""
        return bytes.fromhex(self._cmd("sent", slot, report_id))

    def poke(self, slot, report_id, offset, data):
        """Overwrites bytes of a feature report starting at a byte offset."""
        self._cmd("poke", slot, report_id, offset, bytes(data).hex())

    def fail(self, slot, mode):
        """mode: "all", "none", an int report id, or "status=0xC..."."""
        if isinstance(mode, int):
            mode = "report=%d" % mode
        self._cmd("fail", slot, mode)

    def delay(self, slot, ms):
        self._cmd("delay", slot, int(ms))

    def flood(self, slot, on):
        """on: an input report every 10 ms, each unlike the one before."""
        self._cmd("flood", slot, "on" if on else "off")

    def count(self, slot):
        return int(self._cmd("count", slot))

    def times(self, slot):
        """Arrival times of the last (up to 64) feature requests, oldest
        first, in ms on the clock of now()."""
        return [int(t) for t in self._cmd("times", slot).split()]

    def reset_log(self, slot):
        self._cmd("reset-log", slot)

    def output(self, slot):
        """The UPS's output: {"on", "offs" (times it went off), "sets"
        (reports a host sent, of any kind and id), "writes" (delays written
        into DelayBeforeShutdown), "last" (the last one, raw), "left"
        (seconds until it goes off, None while nothing counts down)}."""
        words = self._cmd("output", slot).split()
        out = {"on": words[0] == "on"}
        for word in words[1:]:
            key, value = word.split("=")
            out[key] = None if value == "-" else int(value)
        return out

    def now(self):
        """The Windows system clock in ms since 1601 (the clock of times())."""
        return int(self._cmd("now"))


def parse_layout(text):
    out = {"top": None, "collections": 0, "fields": [], "reports": {}}
    for part in text.split():
        key, _, value = part.partition("=")
        if key == "top":
            page, usage = value.split(":")
            out["top"] = (int(page, 16), int(usage, 16))
        elif key == "collections":
            out["collections"] = int(value)
        elif key == "fields" and value:
            for f in value.split(";"):
                name, kind, rid, bit, bits, page, usage, link, scale = f.split(":")
                out["fields"].append({"name": name, "kind": kind, "id": int(rid), "bit": int(bit),
                                      "bits": int(bits), "page": int(page, 16), "usage": int(usage, 16),
                                      "link": int(link), "scale": float(scale)})
        elif key == "reports" and value:
            for r in value.split(";"):
                k, length = r.split(":")
                out["reports"][k] = int(length)
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--prefix", default=os.environ.get("WINEPREFIX"), help="Wine prefix (default $WINEPREFIX)")
    ap.add_argument("--build", help="directory with emuctl.exe and the driver")
    ap.add_argument("command", nargs=argparse.REMAINDER,
                    help="init | shutdown | any emuctl command (add, set, fail, delay, count, times, ...)")
    args = ap.parse_args(argv)
    if not args.prefix:
        ap.error("--prefix (or WINEPREFIX) is required")
    if not args.command:
        ap.error("a command is required")
    emu = Emulator(args.prefix, build_dir=args.build)
    try:
        if args.command[0] == "init":
            emu.ensure_prefix()
            emu.start_wineserver()
            print("ok " + emu.run_once("install-driver", windows_path(emu.build_dir)))
        elif args.command[0] == "shutdown":
            emu.kill_wineserver()
            print("ok")
        else:
            print(("ok " + emu.run_once(*args.command)).rstrip())
    except EmulatorError as e:
        print("error %s" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
