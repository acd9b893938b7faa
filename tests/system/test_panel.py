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

from conftest import CMD_OPEN, DESKTOP_KEY, SETTINGS_KEY, WINTOOL_EXE, windows_path
from desktop import (CRITICAL as RED, NO_UPS as GREY, ON_BATTERY as AMBER, ON_LINE as GREEN, TRAY_ICON_CENTRE,
                     WORK_AREA, Frame, click, move_away, tray_icon_colour, wait_until)
from monitor_helpers import ON_BATTERY

BACKGROUND = (244, 243, 238)
PRIMARY = (27, 26, 21)
LINES = (217, 214, 204)
DIM = (139, 134, 124)

# The panel's rectangles at 96 DPI in the 380 x 520 client area.
L, R = 18, 362
SEPARATORS = (44, 458)
WORD = (L, 56, 256, 152)
DIAL = (266, 56, R, 152)
BAR = (L, 162, R, 172)
ROW_TOPS = (186, 212, 238, 264, 290)
CHART_TOP = 350
SENTENCE = (L, 468, R, 488)
BANNER = (L, 488, R, 508)


def exact(picture, rect, colour):
    return picture.count(rect, colour, tolerance=0)


def shows(picture, rect, colour):
    """Text is judged by its colour: at 96 DPI it can be as small as the two
    pixels of a hyphen."""
    return exact(picture, rect, colour) >= 2


def all_of(picture, rect, colour):
    left, top, right, bottom = rect
    return exact(picture, rect, colour) == (right - left) * (bottom - top)


def from_bgra(width, height, data):
    rgb = bytearray(width * height * 3)
    rgb[0::3] = data[2::4]
    rgb[1::3] = data[1::4]
    rgb[2::3] = data[0::4]
    return Frame(width, height, bytes(rgb))


def whole_panel(picture):
    """What a fully painted panel always has, whatever the state; the list of
    what is missing."""
    missing = []
    for y in SEPARATORS:
        if not all_of(picture, (L, y, R, y + 1), LINES):
            missing.append("separator at %d" % y)
    if not shows(picture, (L, 18, 190, 44), PRIMARY):
        missing.append("heading")
    if not any(exact(picture, WORD, colour) >= 20 for colour in (GREEN, AMBER, RED, GREY)):
        missing.append("status word")
    if not all_of(picture, (L, CHART_TOP, L + 50, CHART_TOP + 1), LINES):
        missing.append("chart grid")
    if not shows(picture, SENTENCE, DIM):
        missing.append("threshold sentence")
    return missing


def grab(session, left, top, width, height):
    """What the X server shows in that rectangle of the screen."""
    raw = subprocess.run(
        ["import", "-display", session.display.name, "-window", "root", "-crop",
         "%dx%d+%d+%d" % (width, height, left, top), "+repage", "-depth", "8", "rgb:-"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
    assert len(raw) == width * height * 3
    return Frame(width, height, raw)


def client_picture(session, info):
    return grab(session, info["origin"][0], info["origin"][1], info["width"], info["height"])


def open_from_tray(corvane, session, colour):
    """Starts Corvane with balloons off (one would cover the window's corner),
    waits for its icon in the level colour and clicks it."""
    session.reg_add(SETTINGS_KEY, "Notifications", "REG_DWORD", 0)
    corvane.start()
    display = session.display.name
    wait_until(lambda: tray_icon_colour(display, colour) > 20, timeout=15, what="the glyph in %s" % (colour,))
    click(display, *TRAY_ICON_CENTRE)
    move_away(display)   # no tooltip over the window
    return wait_until(lambda: (lambda i: i if i and i["visible"] else None)(session.window_info()),
                      what="the window")


def wait_picture(session, info, predicate, timeout=15):
    """The first screenshot for which predicate holds; fails with the last."""
    deadline = time.monotonic() + timeout
    while True:
        picture = client_picture(session, info)
        if predicate(picture):
            return picture
        assert time.monotonic() < deadline, "the window never showed the state; missing: %s" % whole_panel(picture)
        time.sleep(0.2)


def ring_at(picture, clock):
    """The dial's ring halfway through its width, just after 12 o'clock or at 6."""
    return picture.pixel(*{12: (316, 66), 6: (314, 142)}[clock])


def value_colour_shown(picture, row, colour):
    top = ROW_TOPS[row]
    return shows(picture, (190, top, R, top + 26), colour)


def test_the_window_follows_the_ups_on_line_on_battery_and_unplugged(corvane, emu, session):
    emu.add(0, "plain")
    info = open_from_tray(corvane, session, GREEN)
    assert (info["width"], info["height"]) == (380, 520)

    # Plain profile: on line, load 25 % of 1500 W, charge 100 %.
    on_line = wait_picture(session, info, lambda p: exact(p, WORD, GREEN) >= 20)
    assert whole_panel(on_line) == []
    assert all_of(on_line, BAR, GREEN)
    assert ring_at(on_line, 12) == GREEN and ring_at(on_line, 6) == LINES
    assert shows(on_line, (L, 122, 256, 140), DIM), "capacity line"
    assert value_colour_shown(on_line, 3, PRIMARY), "Input on line"
    assert shows(on_line, (190, 18, R, 44), DIM), "device name"
    assert all_of(on_line, BANNER, BACKGROUND)

    # Mains lost: amber, the bar at 40 % (x 18..155), the Input value amber.
    emu.set(0, charge=40, runtime=900, **ON_BATTERY)
    on_battery = wait_picture(session, info, lambda p: exact(p, WORD, AMBER) >= 20)
    assert whole_panel(on_battery) == []
    assert all_of(on_battery, (L, 162, 155, 172), AMBER)
    assert all_of(on_battery, (155, 162, R, 172), LINES)
    assert ring_at(on_battery, 12) == AMBER
    assert value_colour_shown(on_battery, 3, AMBER)
    assert not value_colour_shown(on_battery, 3, PRIMARY)

    # Runtime under twice the 300-s threshold: critical, red, with no
    # shutdown armed and so no banner.
    emu.set(0, charge=30, runtime=500)
    critical = wait_picture(session, info, lambda p: exact(p, WORD, RED) >= 20)
    assert all_of(critical, (L, 162, 121, 172), RED)
    assert all_of(critical, BANNER, BACKGROUND)

    # Unplugged: grey NO UPS, no dial, no bar.
    emu.remove(0)
    no_ups = wait_picture(session, info, lambda p: exact(p, WORD, GREY) >= 20)
    assert whole_panel(no_ups) == []
    assert all_of(no_ups, DIAL, BACKGROUND)
    assert all_of(no_ups, BAR, BACKGROUND)
    assert corvane.stop() == 0


def test_repaints_after_each_poll_never_show_a_blank_or_half_drawn_panel(corvane, emu, session, tmp_path):
    emu.add(0, "plain")
    emu.set(0, charge=80, runtime=2400, **ON_BATTERY)
    info = open_from_tray(corvane, session, AMBER)
    wait_picture(session, info, lambda p: exact(p, WORD, AMBER) >= 20)

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
            picture = from_bgra(width, height, source.read())
        assert whole_panel(picture) == [], os.path.basename(name)
    # The last picture is the last state: 63 % of the bar, x 18..234.
    assert all_of(picture, (L, 162, 234, 172), AMBER)
    assert corvane.stop() == 0


def test_on_a_work_area_shorter_than_the_window_the_rule_stays_in_view(corvane, session):
    """At 192 DPI the window wants a 1040-px client on a 1004-px work area:
    it stands at the work area's top, cut to its height, and the chart gives
    up what is missing, so the separator and the rule under the chart keep
    their places above the window's bottom edge."""
    session.reg_add(DESKTOP_KEY, "LogPixels", "REG_DWORD", 192)
    try:
        corvane.start()
        corvane.command(CMD_OPEN)
        info = wait_until(lambda: (lambda i: i if i and i["visible"] else None)(session.window_info()),
                          what="the window")
        assert (info["rect"][1], info["rect"][3]) == (WORK_AREA[1], WORK_AREA[3])
        short = 1040 - info["height"]
        assert 0 < short < 192, info
        picture = client_picture(session, info)
        left, right = 36, 724
        assert all_of(picture, (left, 916 - short, right, 918 - short), LINES), "separator above the rule"
        assert shows(picture, (left, 936 - short, right, 976 - short), DIM), "the rule"
        assert corvane.stop() == 0
    finally:
        session.reg_add(DESKTOP_KEY, "LogPixels", "REG_DWORD", 96)
