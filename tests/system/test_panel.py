"""The status window of the real Corvane.exe on Wine's virtual desktop,
opened from its tray icon, against the emulated UPS: what the screen shows
for each state, and that the repaints after each poll never show a blank or
half-drawn panel.

Pictures are read from the X server (the screen the user sees), the client
area only, and judged at the panel's 96-DPI rectangles by exact colours.
"""
import glob
import os
import subprocess
import time

import pytest

from conftest import WINTOOL_EXE, Display, open_session, windows_path
from monitor_helpers import ON_BATTERY

EXPLORER_KEY = r"HKCU\Software\Wine\Explorer"

BACKGROUND = (244, 243, 238)
PRIMARY = (27, 26, 21)
SECONDARY = (110, 105, 96)
LINES = (217, 214, 204)
DIM = (139, 134, 124)
GREEN = (62, 107, 76)
AMBER = (194, 136, 42)
RED = (196, 58, 43)
GREY = (110, 105, 96)

# The panel's rectangles at 96 DPI in the 380 x 520 client area.
L, R = 18, 362
HEADING = (L, 18, R, 44)
SEPARATORS = (44, 458)
WORD = (L, 56, 256, 152)
DIAL = (266, 56, R, 152)
BAR = (L, 162, R, 172)
ROW_TOPS = (186, 212, 238, 264, 290)
CHART_TOP = 350
SENTENCE = (L, 468, R, 488)
BANNER = (L, 488, R, 508)


class Picture:
    """RGB pixels of the client area."""

    def __init__(self, width, height, rgb):
        self.width = width
        self.height = height
        self.rgb = rgb

    @classmethod
    def from_bgra(cls, width, height, data):
        rgb = bytearray(width * height * 3)
        rgb[0::3] = data[2::4]
        rgb[1::3] = data[1::4]
        rgb[2::3] = data[0::4]
        return cls(width, height, bytes(rgb))

    def at(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def count(self, rect, colour):
        left, top, right, bottom = rect
        return sum(1 for y in range(top, bottom) for x in range(left, right) if self.at(x, y) == colour)

    def shows(self, rect, colour):
        return self.count(rect, colour) >= 2

    def all(self, rect, colour):
        left, top, right, bottom = rect
        return self.count(rect, colour) == (right - left) * (bottom - top)


def whole_panel(picture):
    """What a fully painted panel always has, whatever the state; the list of
    what is missing."""
    missing = []
    for y in SEPARATORS:
        if not picture.all((L, y, R, y + 1), LINES):
            missing.append("separator at %d" % y)
    if not picture.shows((L, 18, 190, 44), PRIMARY):
        missing.append("heading")
    if not any(picture.count(WORD, colour) >= 20 for colour in (GREEN, AMBER, RED, GREY)):
        missing.append("status word")
    if not picture.all((L, CHART_TOP, L + 50, CHART_TOP + 1), LINES):
        missing.append("chart grid")
    if not picture.shows(SENTENCE, DIM):
        missing.append("threshold sentence")
    return missing


@pytest.fixture(scope="module")
def display():
    screen = Display("1024x768x24").start()
    try:
        yield screen
    finally:
        screen.stop()


@pytest.fixture(scope="module")
def session(display):
    """A prefix of this module's own whose programs all run on a virtual
    desktop with a taskbar. Seen under Wine 8: once such a desktop has run in
    a prefix, later programs there are held to its work area even off it (a
    144-DPI window got 748 of its 780 pixels), so the prefix the other suites
    share must never run one."""
    with open_session(display) as opened:
        opened.reg_add(EXPLORER_KEY, "Desktop", "REG_SZ", "shell")
        opened.reg_add(EXPLORER_KEY + r"\Desktops", "shell", "REG_SZ", "1024x768")
        yield opened


def grab(session, left, top, width, height):
    """What the X server shows in that rectangle of the screen."""
    raw = subprocess.run(
        ["import", "-display", session.display.name, "-window", "root", "-crop",
         "%dx%d+%d+%d" % (width, height, left, top), "+repage", "-depth", "8", "rgb:-"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
    assert len(raw) == width * height * 3
    return Picture(width, height, raw)


def screenshot(session, info):
    return grab(session, info["origin"][0], info["origin"][1], info["width"], info["height"])


def open_from_tray(corvane, session, colour, timeout=15):
    """Clicks Corvane's icon, found by its level colour at the right end of
    the virtual desktop's taskbar (Wine draws it 16 x 16 there, its colours
    kept to within a few steps), and waits for the window."""
    deadline = time.monotonic() + timeout
    while True:
        strip = grab(session, 800, 748, 224, 20)
        near = [(x, y) for y in range(20) for x in range(224)
                if all(abs(a - b) <= 12 for a, b in zip(strip.at(x, y), colour))]
        if near:
            break
        assert time.monotonic() < deadline, "no tray icon in %s" % (colour,)
        time.sleep(0.2)
    x = 800 + (min(p[0] for p in near) + max(p[0] for p in near)) // 2
    y = 748 + (min(p[1] for p in near) + max(p[1] for p in near)) // 2
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"],
                   env=dict(os.environ, DISPLAY=session.display.name), check=True)
    corvane.wait_for(lambda _: (session.window_info() or {}).get("visible"), timeout=10)
    return session.window_info()


def wait_picture(session, info, predicate, timeout=15):
    """The first screenshot for which predicate holds; fails with the last."""
    deadline = time.monotonic() + timeout
    while True:
        picture = screenshot(session, info)
        if predicate(picture):
            return picture
        assert time.monotonic() < deadline, "the window never showed the state; missing: %s" % whole_panel(picture)
        time.sleep(0.2)


def ring_at(picture, clock):
    """The dial's ring halfway through its width, just after 12 o'clock or at 6."""
    return picture.at(*{12: (316, 66), 6: (314, 142)}[clock])


def value_colour_shown(picture, row, colour):
    top = ROW_TOPS[row]
    return picture.shows((190, top, R, top + 26), colour)


def test_the_window_follows_the_ups_on_line_on_battery_and_unplugged(corvane, emu, session):
    emu.add(0, "plain")
    corvane.start()
    info = open_from_tray(corvane, session, GREEN)
    assert (info["width"], info["height"]) == (380, 520)

    # Plain profile: on line, load 25 % of 1500 W, charge 100 %.
    on_line = wait_picture(session, info, lambda p: p.count(WORD, GREEN) >= 20)
    assert whole_panel(on_line) == []
    assert on_line.all(BAR, GREEN)
    assert ring_at(on_line, 12) == GREEN and ring_at(on_line, 6) == LINES
    assert on_line.shows((L, 122, 256, 140), DIM), "capacity line"
    assert value_colour_shown(on_line, 3, PRIMARY), "Input on line"
    assert on_line.shows((190, 18, R, 44), DIM), "device name"
    assert on_line.all(BANNER, BACKGROUND)

    # Mains lost: amber, the bar at 40 % (x 18..155), the Input value amber.
    emu.set(0, charge=40, runtime=900, **ON_BATTERY)
    on_battery = wait_picture(session, info, lambda p: p.count(WORD, AMBER) >= 20)
    assert whole_panel(on_battery) == []
    assert on_battery.all((L, 162, 155, 172), AMBER)
    assert on_battery.all((155, 162, R, 172), LINES)
    assert ring_at(on_battery, 12) == AMBER
    assert value_colour_shown(on_battery, 3, AMBER)
    assert not value_colour_shown(on_battery, 3, PRIMARY)

    # Runtime under twice the 300-s threshold: critical, red, with no
    # shutdown armed and so no banner.
    emu.set(0, charge=30, runtime=500)
    critical = wait_picture(session, info, lambda p: p.count(WORD, RED) >= 20)
    assert critical.all((L, 162, 121, 172), RED)
    assert critical.all(BANNER, BACKGROUND)

    # Unplugged: grey NO UPS, no dial, no bar.
    emu.remove(0)
    no_ups = wait_picture(session, info, lambda p: p.count(WORD, GREY) >= 20)
    assert whole_panel(no_ups) == []
    assert no_ups.all(DIAL, BACKGROUND)
    assert no_ups.all(BAR, BACKGROUND)
    assert corvane.stop() == 0


def test_repaints_after_each_poll_never_show_a_blank_or_half_drawn_panel(corvane, emu, session, tmp_path):
    emu.add(0, "plain")
    emu.set(0, charge=80, runtime=2400, **ON_BATTERY)
    corvane.start()
    info = open_from_tray(corvane, session, AMBER)
    wait_picture(session, info, lambda p: p.count(WORD, AMBER) >= 20)

    # On battery the monitor polls every 2 s; the charge moves between polls,
    # so each repaint shows a new bar.
    frames_dir = tmp_path / "frames"
    frames_dir.mkdir()
    out_path = tmp_path / "frames.out"
    with open(out_path, "w") as out:
        watcher = subprocess.Popen(["wine", WINTOOL_EXE, "frames", "9000", windows_path(str(frames_dir))],
                                   env=session.env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        for charge in (78, 75, 72, 69, 66, 63):
            time.sleep(1.3)
            emu.set(0, charge=charge)
        assert watcher.wait(timeout=30) == 0
    fields = dict(part.split("=") for part in out_path.read_text().split())
    assert int(fields["blank"]) == 0
    assert int(fields["changes"]) >= 3, fields
    width, height = int(fields["width"]), int(fields["height"])

    files = sorted(glob.glob(str(frames_dir / "frame-*.bgra")))
    assert len(files) == int(fields["changes"]) + 1
    for name in files:
        with open(name, "rb") as source:
            picture = Picture.from_bgra(width, height, source.read())
        assert whole_panel(picture) == [], os.path.basename(name)
    # The last picture is the last state: 63 % of the bar, x 18..234.
    assert picture.all((L, 162, 234, 172), AMBER)
    assert corvane.stop() == 0
