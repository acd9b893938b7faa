"""The power balloons of the real program, on the Wine virtual desktop: read
through the tooltip window Explorer shows for each balloon, and seen in
screenshots near the tray icon."""
import time

from conftest import SETTINGS_KEY
from desktop import ON_LINE, TRAY_ICON_CENTRE, WORK_AREA, screenshot, tray_icon_colour, wait_until
from monitor_helpers import CONNECTED, INITIATE_REFUSED, ON_BATTERY, ON_MAINS, wait_new_lines

MAINS_LOST = "On battery, 80%, 40 min left"


def balloons(session, text):
    """The windows now showing a balloon with this text: (window, rect)."""
    return [(window, rect) for window, rect, shown in session.tooltips() if shown == text]


def wait_balloon(session, text, timeout):
    return wait_until(lambda: balloons(session, text), timeout=timeout, poll=0.1, what="balloon %r" % text)


def started_on_line(corvane, emu):
    emu.add(0, "plain")
    corvane.start()
    assert wait_new_lines(corvane, [], 2)[0] == CONNECTED
    wait_until(lambda: tray_icon_colour(corvane.session.display.name, ON_LINE) > 20, what="the glyph")


def test_mains_lost_and_back_each_show_a_balloon_at_the_icon_within_one_poll(corvane, emu, session):
    started_on_line(corvane, emu)
    emu.set(0, charge=80, runtime=2400, **ON_BATTERY)
    # The pass that finds the mains gone (at most 5 s away on line) logs the
    # loss and asks for the balloon; Wine's Explorer waits 2 s before it
    # shows any balloon.
    corvane.wait_for_message("MAINS LOST - on battery, 80%, 40 min", timeout=6, poll=0.02)
    logged = time.monotonic()
    window, rect = wait_balloon(session, MAINS_LOST, timeout=4)[0]
    assert time.monotonic() - logged < 3.0
    left, top, right, bottom = rect
    # Next to the icon, above the taskbar, and drawn.
    assert right > TRAY_ICON_CENTRE[0] - 300 and bottom <= WORK_AREA[3] + 2, rect
    frame = screenshot(session.display.name)
    assert frame.count((left + 2, top + 2, right - 2, bottom - 2), frame.pixel(200, 200), tolerance=2) < \
        (right - left - 4) * (bottom - top - 4), "the balloon is not on the screen"

    emu.set(0, **ON_MAINS)
    wait_balloon(session, "On line, 80%", timeout=5)
    corvane.wait_for_message("on line, 80%, 40 min")


def test_no_balloon_when_the_setting_is_zero(corvane, emu, session):
    session.reg_add(SETTINGS_KEY, "Notifications", "REG_DWORD", 0)
    started_on_line(corvane, emu)
    emu.set(0, charge=80, runtime=2400, **ON_BATTERY)
    corvane.wait_for_message("MAINS LOST", timeout=7)
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        assert not balloons(session, MAINS_LOST)
        time.sleep(0.2)


def test_an_unplug_shows_ups_not_found(corvane, emu, session):
    started_on_line(corvane, emu)
    emu.remove(0)
    wait_balloon(session, "Corvane cannot see the UPS: the computer is not protected.", timeout=7)
    corvane.wait_for_message("UPS not found")


def test_a_refused_shutdown_is_told_once_however_often_it_is_retried(corvane, emu, session):
    started_on_line(corvane, emu)
    emu.set(0, charge=15, runtime=2400, **ON_BATTERY)
    text = "Save your work now: the battery is running out."
    seen = set()
    # Wine refuses every request, and the monitor retries every 2 s; watch
    # for longer than a balloon stays up (10 s) so that a second one would show.
    wait_balloon(session, text, timeout=9)
    deadline = time.monotonic() + 14
    while time.monotonic() < deadline:
        seen.update(window for window, _ in balloons(session, text))
        time.sleep(0.1)
    assert corvane.messages().count(INITIATE_REFUSED) >= 5
    assert len(seen) == 1, seen
