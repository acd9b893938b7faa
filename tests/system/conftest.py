"""Fixtures for the system tests: the real Corvane.exe under Wine.

One Wine prefix per test run, on its own Xvfb display, with the emulated UPS
driver installed and the wine server kept alive between programs. Each test
gets a fresh LOCALAPPDATA folder, a clean settings key and no emulated
device left over from the test before it.

Wine's background processes inherit the standard handles of whoever starts
them, so nothing Wine runs here writes into a pipe: output goes to files.
"""
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(os.environ.get("CORVANE_BUILD", os.path.join(REPO, "build")))
sys.path.insert(0, os.path.join(REPO, "emu"))

from emulator import Emulator, windows_path  # noqa: E402
import desktop  # noqa: E402

CORVANE_EXE = os.path.join(BUILD, "Corvane.exe")
WINTOOL_EXE = os.path.join(BUILD, "tests", "wintool.exe")
PLANTED_DLL = os.path.join(BUILD, "tests", "planted.dll")
SETTINGS_KEY = r"HKCU\Software\Quillfen\Corvane"
# LogPixels here sets the DPI of every program started afterwards.
DESKTOP_KEY = r"HKCU\Control Panel\Desktop"

CMD_OPEN = 201
CMD_EXIT = 202
CMD_SETTINGS = 206


class Display:
    """An Xvfb server on a display number it picks itself."""

    def __init__(self, size="1600x1200x24"):
        self.size = size
        self.process = None
        self.name = None

    def start(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.size, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as source:
            number = source.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not report a display")
        self.name = ":" + number
        return self

    def stop(self):
        if self.process:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None


class WineSession:
    """The run's prefix: emulator transport, registry edits and helpers."""

    def __init__(self, emulator, display):
        self.emulator = emulator
        self.display = display
        self.env = dict(emulator.env)
        self.env["DISPLAY"] = display.name

    def use_virtual_desktop(self):
        """Every program of the prefix runs on one virtual desktop with a
        taskbar and a notification area, as on Windows."""
        self.reg_add(r"HKCU\Software\Wine\Explorer", "Desktop", "REG_SZ", "shell")
        self.reg_add(r"HKCU\Software\Wine\Explorer\Desktops", "shell", "REG_SZ",
                     "%dx%d" % desktop.DESKTOP_SIZE)

    def tooltips(self):
        """Every visible tooltip window, the tray icon's tip and its balloons
        (Explorer shows both with tooltip controls): (window, rect, text)."""
        code, out = self.wintool("tooltips")
        return [_window_rect_text(line) for line in out.splitlines() if line.startswith("hwnd=")]

    def menus(self):
        code, out = self.wintool("menus")
        return [_window_rect_text(line)[1] for line in out.splitlines() if line.startswith("hwnd=")]

    def run(self, *argv, timeout=60, wine_errors=False):
        """Runs a Windows program to its end; returns (exit code, output).
        wine_errors: Wine's own error lines go to the output as well."""
        env = dict(self.env, WINEDEBUG="-all,err+all") if wine_errors else self.env
        with tempfile.TemporaryFile(mode="w+") as out:
            done = subprocess.run(["wine"] + [str(a) for a in argv], env=env,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout, check=False)
            out.seek(0)
            return done.returncode, out.read()

    def wintool(self, *words, timeout=30, wine_errors=False):
        return self.run(WINTOOL_EXE, *words, timeout=timeout, wine_errors=wine_errors)

    def reg_add(self, key, name, kind, data):
        code, out = self.run("reg", "add", key, "/v", name, "/t", kind, "/d", str(data), "/f")
        assert code == 0, out

    def reg_delete_key(self, key):
        self.run("reg", "delete", key, "/f")

    def window_info(self):
        """Parsed `wintool info` of the running program's main window, or None."""
        code, out = self.wintool("info")
        if code != 0:
            return None
        for line in out.splitlines():
            if line.startswith("visible="):
                fields = dict(part.split("=", 1) for part in line.split(" ") if "=" in part)
                width, height = fields["client"].split("x")
                x, y = fields["origin"].split(",")
                return {"visible": fields["visible"] == "1", "width": int(width),
                        "height": int(height), "origin": (int(x), int(y)), "dpi": int(fields["dpi"]),
                        "style": int(fields["style"], 16), "title": fields.get("title", ""),
                        "pid": int(fields["pid"]), "iconic": fields["iconic"] == "1",
                        "foreground": fields["foreground"] == "1",
                        "rect": tuple(int(v) for v in fields["rect"].split(","))}
        return None


    def settings_window(self):
        """The settings window as `wintool settings` reads it, or None when
        it is not open: its own fields, and "controls", each control's
        fields by its id (rect in client coordinates, need: the width of its
        text in the message font at the window's DPI)."""
        code, out = self.wintool("settings")
        if code != 0:
            return None
        lines = out.splitlines()
        window = _fields(lines[0])
        window["controls"] = {control["id"]: control for control in map(_fields, lines[1:])}
        return window

    def settings_control(self, verb, control_id, value=""):
        """`set` a control's text, or `click` a button."""
        code, out = self.wintool("settings", verb, control_id, value)
        assert code == 0, out


def _fields(line):
    """name=value words of numbers, places and sizes; the text last and whole."""
    head, _, text = line.partition(" text=")
    fields = {"text": text}
    for name, _, value in (word.partition("=") for word in head.split(" ") if "=" in word):
        parts = value.replace("x", ",").split(",")
        fields[name] = tuple(int(v) for v in parts) if len(parts) > 1 else int(value)
    return fields


def _window_rect_text(line):
    head, _, text = line.partition(" text=")
    window, rect = head.split(" ")
    return (window[len("hwnd="):], tuple(int(v) for v in rect[len("rect="):].split(",")),
            text.replace("\\r", "\r").replace("\\n", "\n"))


class Wintool:
    """A long-lived `wintool serve` in the session's prefix: posts commands to
    the running program and counts its resources without a Wine process
    start for each (a start costs about 0.2 s)."""

    def __init__(self, session):
        self.process = subprocess.Popen(["wine", WINTOOL_EXE, "serve"], env=session.env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, bufsize=1)
        if self.process.stdout.readline().strip() != "ready":
            raise RuntimeError("wintool serve did not start")

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def post(self, command_id):
        return self.command("post %d" % command_id) == "ok"

    def resources(self, windows_pid):
        """{"gdi", "handles", "committed"}: GDI objects, kernel handles and
        committed private bytes of a process, by its Windows id."""
        answer = self.command("resources %d" % windows_pid)
        try:
            return {name: int(value) for name, value in (part.split("=") for part in answer.split())}
        except ValueError:
            raise AssertionError("wintool resources: %s" % answer)

    def close(self):
        if self.process:
            self.process.stdin.write("quit\n")
            self.process.stdin.flush()
            self.process.wait(timeout=10)
            self.process = None


class LogLine:
    def __init__(self, raw):
        self.raw = raw
        self.stamp = raw[:19]
        self.message = raw[21:]

    def __repr__(self):
        return repr(self.raw)


class Corvane:
    """One run of the real Corvane.exe in the session's prefix.

    LOCALAPPDATA is set through `wintool launch`, because Wine fills it from
    the prefix whatever the Unix environment holds."""

    def __init__(self, session, folder):
        self.session = session
        self.appdata = os.path.join(folder, "appdata")
        os.makedirs(self.appdata, exist_ok=True)
        self.output_path = os.path.join(folder, "launch.out")
        self.process = None
        self.output = None

    @property
    def log_path(self):
        return os.path.join(self.appdata, "Quillfen", "Corvane", "corvane.log")

    def start(self, localappdata=None, unset_localappdata=False, wait_window=True, extra_environment=(),
              exe=CORVANE_EXE, cwd=None, wine_env=None):
        """Starts the program. localappdata: a Windows path to use instead of
        this test's folder; unset_localappdata removes the variable;
        extra_environment: more --set/--unset words for wintool launch. exe: a
        copy of the program to run instead (a Windows path as it is, such as
        an installed copy's); cwd: its current folder;
        wine_env: Unix variables for Wine itself (WINEDLLOVERRIDES)."""
        if unset_localappdata:
            environment = ["--unset", "LOCALAPPDATA"]
        else:
            value = windows_path(self.appdata) if localappdata is None else localappdata
            environment = ["--set", "LOCALAPPDATA=" + value]
        environment += list(extra_environment)
        program = exe if exe[1:3] == ":\\" else windows_path(exe)
        self.exe_name = program.rsplit("\\", 1)[-1]
        self.output = open(self.output_path, "w")
        self.process = subprocess.Popen(
            ["wine", WINTOOL_EXE, "launch"] + environment + ["--", program],
            env=dict(self.session.env, **(wine_env or {})), cwd=cwd, stdin=subprocess.DEVNULL,
            stdout=self.output, stderr=subprocess.STDOUT)
        if wait_window:
            code, out = self.session.wintool("wait", "15000")
            assert code == 0, "Corvane's window did not appear: %s" % self.launch_output()
        return self

    def second_start(self):
        """Starts another instance with the same environment and returns its exit code."""
        code, self.second_output = self.session.wintool("launch", "--set",
                                                        "LOCALAPPDATA=" + windows_path(self.appdata),
                                                        "--", windows_path(CORVANE_EXE))
        return code

    def windows_pid(self):
        """The program's process id as Windows sees it (wintool launch prints it)."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            for line in self.launch_output().splitlines():
                if line.startswith("pid="):
                    return int(line[4:])
            time.sleep(0.05)
        raise AssertionError("no pid from wintool launch: %r" % self.launch_output())

    def launch_output(self):
        if self.output:
            self.output.flush()
        with open(self.output_path) as source:
            return source.read()

    def command(self, command_id):
        """Posts a menu command to the running program. wintool says why on
        each of its own failures; late in a long session, Wine has now and then
        ended it with 1 and no word at all, the program still running. Such a
        start posted nothing and is tried once more, with Wine's errors shown."""
        code, out = self.session.wintool("post", str(command_id))
        if code != 0 and not out.strip():
            code, out = self.session.wintool("post", str(command_id), wine_errors=True)
        assert code == 0, (out, "program exit code %r" % self.process.poll(), self.launch_output())

    def wait_exit(self, timeout=15):
        code = self.process.wait(timeout=timeout)
        self.output.close()
        self.output = None
        return code

    def stop(self, timeout=15):
        """Chooses "Exit" and returns the process exit code."""
        self.command(CMD_EXIT)
        return self.wait_exit(timeout)

    def running(self):
        return self.process is not None and self.process.poll() is None

    def kill(self):
        if self.running():
            self.session.wintool("post", str(CMD_EXIT))
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                # That ended the launcher only. A start stuck before its window
                # would hold the single-instance mutex, and every later start
                # in the session would hand over to it and end at once.
                self.session.run("taskkill", "/f", "/im", self.exe_name)
        if self.output:
            self.output.close()
            self.output = None

    def log_bytes(self):
        try:
            with open(self.log_path, "rb") as source:
                return source.read()
        except FileNotFoundError:
            return b""

    def log(self):
        """The log's lines as LogLine records (time stamp and message)."""
        text = self.log_bytes().decode("utf-8")
        assert text == "" or text.endswith("\r\n"), "log ends mid-line: %r" % text[-80:]
        return [LogLine(raw) for raw in text.split("\r\n")[:-1]]

    def messages(self):
        return [line.message for line in self.log()]

    def wait_for(self, predicate, timeout=15, poll=0.05):
        """Waits until predicate(messages) is true; returns the messages."""
        deadline = time.monotonic() + timeout
        while True:
            messages = self.messages()
            if predicate(messages):
                return messages
            if time.monotonic() > deadline:
                raise AssertionError("timed out; log holds %r" % messages)
            time.sleep(poll)

    def wait_for_message(self, text, timeout=15, count=1, poll=0.05):
        """Waits until a message starting with text has been logged count times."""
        return self.wait_for(lambda ms: sum(1 for m in ms if m.startswith(text)) >= count, timeout, poll)


@contextlib.contextmanager
def wine_session(display, name):
    """A fresh prefix with the emulator's driver installed and its wine server
    kept alive, every program on one virtual desktop of the given display;
    Wine is ended and the prefix removed afterwards."""
    prefix = tempfile.mkdtemp(prefix="corvane-%s-" % name, dir="/tmp")
    env = dict(os.environ)
    env["DISPLAY"] = display.name
    emulator = Emulator(prefix, build_dir=os.path.join(BUILD, "emu"), env=env)
    try:
        emulator.start()
        emulator.install_driver()
        wine = WineSession(emulator, display)
        wine.use_virtual_desktop()
        yield wine
    finally:
        emulator.stop()
        shutil.rmtree(prefix, ignore_errors=True)


@contextlib.contextmanager
def standalone(name):
    """For the commands that run outside pytest (benchmarking, fuzzing,
    soaking): a Wine session on an Xvfb display of its own. Yields (session,
    a folder for a Corvane run)."""
    display = Display().start()
    folder = tempfile.mkdtemp(prefix="corvane-%s-run-" % name, dir="/tmp")
    try:
        with wine_session(display, name) as session:
            yield session, folder
    finally:
        display.stop()
        shutil.rmtree(folder, ignore_errors=True)


def report_faults(name, faults):
    """Prints a standalone command's faults; returns its exit status."""
    print("%s: %d faults" % (name, len(faults)))
    for fault in faults:
        print("  " + fault)
    return 1 if faults else 0


@pytest.fixture(scope="session")
def display():
    screen = Display().start()
    try:
        yield screen
    finally:
        screen.stop()


@pytest.fixture(scope="session")
def session(display):
    with wine_session(display, "system") as prefix_session:
        yield prefix_session


def _remove_all_devices(emulator):
    for slot in emulator.list():
        emulator.remove(slot)


@pytest.fixture
def emu(session):
    _remove_all_devices(session.emulator)
    yield session.emulator
    _remove_all_devices(session.emulator)


@pytest.fixture
def corvane(session, emu, tmp_path):
    session.reg_delete_key(SETTINGS_KEY)
    run = Corvane(session, str(tmp_path))
    yield run
    run.kill()
    session.reg_delete_key(SETTINGS_KEY)
