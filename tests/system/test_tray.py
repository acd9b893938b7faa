"""The tray icon and the window's commands of the real program on the Wine
virtual desktop, driven with xdotool and checked in screenshots, in the
windows Explorer shows and in the log."""
import time

from conftest import CMD_OPEN, CORVANE_EXE, windows_path
from desktop import (CRITICAL, NO_UPS, ON_BATTERY, ON_LINE, TASKBAR, TRAY_ICON_CENTRE, WORK_AREA, click,
                     move_away, screenshot, tray_icon_colour, wait_until, xdotool)
from monitor_helpers import CONNECTED, wait_new_lines, wait_quiet

BATTERY = dict(ac=0, discharging=1, charging=0)
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"


def hover_tip(session):
    """Moves the mouse onto the icon and returns the tooltip Explorer shows."""
    display = session.display.name
    move_away(display)
    time.sleep(0.3)
    xdotool(display, "mousemove", *TRAY_ICON_CENTRE)

    def tip():
        # Balloons are tooltip windows too; only the tip begins so.
        tips = [text for _, _, text in session.tooltips() if text.startswith("Corvane - ")]
        return tips[0] if tips else None
    return wait_until(tip, timeout=10, what="the tray icon's tooltip")


def started_with_ups(corvane, emu, **state):
    emu.add(0, "plain")
    if state:
        emu.set(0, **state)
    corvane.start()
    assert wait_new_lines(corvane, [], 2)[0] == CONNECTED


def test_the_icon_takes_the_level_colour_and_its_tooltip_follows_the_status(corvane, emu, session):
    display = session.display.name
    started_with_ups(corvane, emu)
    wait_until(lambda: tray_icon_colour(display, ON_LINE) > 20, what="the on-line glyph")
    assert hover_tip(session) == "Corvane - On line, 100%, 1 h 5 min"

    states = [
        (dict(charge=80, runtime=2400, **BATTERY), ON_BATTERY, "Corvane - ON BATTERY, 80%, 40 min left"),
        # Twice the 300-s threshold or less is critical.
        (dict(charge=60, runtime=600), CRITICAL, "Corvane - ON BATTERY, 60%, 10 min left"),
    ]
    for state, colour, tip in states:
        emu.set(0, **state)
        wait_until(lambda: tray_icon_colour(display, colour) > 20, timeout=8, what="colour %r" % (colour,))
        assert hover_tip(session) == tip

    emu.remove(0)
    wait_until(lambda: tray_icon_colour(display, NO_UPS) > 20, timeout=8, what="the no-UPS glyph")
    assert tray_icon_colour(display, CRITICAL) == 0
    assert hover_tip(session) == "Corvane - no UPS detected"
    assert corvane.stop() == 0


def test_a_left_click_opens_the_window_above_the_tray_and_polls_at_once(corvane, emu, session):
    started_with_ups(corvane, emu)
    wait_until(lambda: tray_icon_colour(session.display.name, ON_LINE) > 20, what="the glyph")
    before = wait_quiet(emu)
    click(session.display.name, *TRAY_ICON_CENTRE)
    clicked = time.monotonic()
    # A pass follows the click at once, not at the end of the 5-s wait.
    wait_until(lambda: emu.count(0) > before, timeout=5, poll=0.05, what="a poll")
    assert time.monotonic() - clicked < 2.0
    info = wait_until(lambda: (lambda i: i if i["visible"] else None)(session.window_info()),
                      what="the window")
    # Wine cannot tell where the icon is, so the window's bottom-right corner
    # stands 12 px inside the work area's.
    left, top, right, bottom = info["rect"]
    assert (right, bottom) == (WORK_AREA[2] - 12, WORK_AREA[3] - 12)
    assert info["foreground"]
    assert corvane.stop() == 0


UP, RETURN = "0x26", "0x0D"


def choose_from_menu(session, *keys):
    """Right-clicks the icon, checks the menu stands on the cursor, then
    chooses with the keyboard, through Wine's input queue (the menu opens
    upward from the cursor; Up first selects its last entry)."""
    display = session.display.name
    click(display, *TRAY_ICON_CENTRE, button=3)
    menus = wait_until(session.menus, what="the tray menu")
    left, top, right, bottom = menus[0]
    # Bottom-aligned on the cursor; Wine keeps a menu above the taskbar, so
    # there its bottom edge is the work area's.
    assert bottom == min(TRAY_ICON_CENTRE[1], WORK_AREA[3]), menus
    assert left <= TRAY_ICON_CENTRE[0] <= right, menus
    code, out = session.wintool("keys", *keys)
    assert code == 0, out


def run_value(session):
    code, out = session.run("reg", "query", RUN_KEY, "/v", "Corvane")
    if code != 0:
        return None
    line = [l for l in out.splitlines() if "Corvane" in l and "REG_SZ" in l][0]
    return line.split("REG_SZ", 1)[1].strip()


def test_run_at_startup_through_the_menu_twice_leaves_the_run_key_as_it_was(corvane, emu, session):
    session.run("reg", "delete", RUN_KEY, "/v", "Corvane", "/f")
    corvane.start()
    wait_until(lambda: tray_icon_colour(session.display.name, NO_UPS) > 20, what="the glyph")
    choose_from_menu(session, UP, UP, RETURN)
    corvane.wait_for_message("run at startup: enabled")
    assert run_value(session) == '"%s"' % windows_path(CORVANE_EXE)
    choose_from_menu(session, UP, UP, RETURN)
    corvane.wait_for_message("run at startup: disabled")
    assert run_value(session) is None
    assert corvane.stop() == 0


def test_exit_from_the_menu_ends_the_program_and_removes_the_icon(corvane, emu, session):
    started_with_ups(corvane, emu)
    display = session.display.name
    wait_until(lambda: tray_icon_colour(display, ON_LINE) > 20, what="the glyph")
    choose_from_menu(session, UP, RETURN)
    assert corvane.wait_exit() == 0
    assert corvane.messages()[-1] == "Corvane stopped"
    assert tray_icon_colour(display, ON_LINE) == 0


def tray_slots(display):
    """The icons in the notification area, as runs of columns that differ from
    the taskbar's own colour."""
    frame = screenshot(display)
    strip = (TASKBAR[2] - 200, TASKBAR[1] + 2, TASKBAR[2], TASKBAR[3] - 2)
    background = frame.pixel(TASKBAR[2] - 200, TASKBAR[1] + 1)
    columns = frame.columns_unlike(strip, background)
    runs = []
    for x in columns:
        if runs and x - runs[-1][1] <= 3:
            runs[-1][1] = x
        else:
            runs.append([x, x])
    return runs


def test_taskbar_created_leaves_exactly_one_icon_with_the_current_glyph(corvane, emu, session):
    started_with_ups(corvane, emu, charge=70, runtime=2400, **BATTERY)
    display = session.display.name
    wait_until(lambda: tray_icon_colour(display, ON_BATTERY) > 20, what="the glyph")
    assert len(tray_slots(display)) == 1
    code, out = session.wintool("broadcast", "TaskbarCreated")
    assert code == 0, out
    time.sleep(1.0)
    assert len(tray_slots(display)) == 1
    assert tray_icon_colour(display, ON_BATTERY) > 20
    assert corvane.stop() == 0


def test_the_dark_theme_paints_the_dark_background_and_sets_the_dark_frame(corvane, emu, session):
    personalize = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Themes\Personalize"
    session.reg_add(personalize, "AppsUseLightTheme", "REG_DWORD", 0)
    try:
        corvane.start(extra_environment=["--set", "WINEDEBUG=-all,fixme+dwmapi"])
        corvane.command(CMD_OPEN)
        info = wait_until(lambda: (lambda i: i if i["visible"] else None)(session.window_info()),
                          what="the window")
        left, top, right, bottom = info["rect"]
        time.sleep(0.5)
        frame = screenshot(session.display.name)
        # The client area, away from the frame, is the dark background.
        assert frame.pixel(left + 20, bottom - 20) == (22, 21, 16)
        assert corvane.stop() == 0
        # The frame call reached dwmapi with the dark-mode attribute, 20 (0x14).
        assert ", 14, " in corvane.launch_output() and "DwmSetWindowAttribute" in corvane.launch_output()
    finally:
        session.run("reg", "delete", personalize, "/v", "AppsUseLightTheme", "/f")
