"""The Wine virtual desktop as a user sees it: screenshots read as pixels,
and the mouse and keyboard driven with xdotool.

Every program of the system-test prefix runs on one virtual desktop named
"shell" (at the top-left of the X screen), which Wine gives a 20-px taskbar
with a notification area: the first tray icon is drawn 16x16 from 20 px to
4 px before the right edge, 2 px below the taskbar's top. The desktop is
1280x1024, so that the window fits whole at 144 DPI.
"""
import subprocess
import time

DESKTOP_SIZE = (1280, 1024)
WORK_AREA = (0, 0, DESKTOP_SIZE[0], DESKTOP_SIZE[1] - 20)
TASKBAR = (0, DESKTOP_SIZE[1] - 20, DESKTOP_SIZE[0], DESKTOP_SIZE[1])
TRAY_ICON_CENTRE = (DESKTOP_SIZE[0] - 12, DESKTOP_SIZE[1] - 10)
TRAY_ICON_BOX = (DESKTOP_SIZE[0] - 24, TASKBAR[1], DESKTOP_SIZE[0], TASKBAR[3])

ON_LINE = (62, 107, 76)
ON_BATTERY = (194, 136, 42)
CRITICAL = (196, 58, 43)
NO_UPS = (110, 105, 96)


class Frame:
    """One screenshot of the X screen as RGB bytes."""

    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def count(self, box, colour, tolerance=12):
        """Pixels in box (left, top, right, bottom) within tolerance of colour."""
        left, top, right, bottom = box
        found = 0
        for y in range(top, bottom):
            for x in range(left, right):
                if close(self.pixel(x, y), colour, tolerance):
                    found += 1
        return found

    def columns_unlike(self, box, background, tolerance=12):
        """The x of every column in box with a pixel that is not the background."""
        left, top, right, bottom = box
        return [x for x in range(left, right)
                if any(not close(self.pixel(x, y), background, tolerance) for y in range(top, bottom))]


def close(a, b, tolerance):
    return all(abs(p - q) <= tolerance for p, q in zip(a, b))


def screenshot(display, size=(1600, 1200)):
    out = subprocess.run(["import", "-display", display, "-window", "root", "-depth", "8", "rgb:-"],
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         check=True, timeout=30).stdout
    width, height = size
    assert len(out) == width * height * 3, "unexpected screenshot size %d" % len(out)
    return Frame(width, height, out)


def save_screenshot(display, path):
    subprocess.run(["import", "-display", display, "-window", "root", "-crop", "%dx%d+0+0" % DESKTOP_SIZE,
                    path], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True, timeout=30)


def xdotool(display, *words):
    subprocess.run(["xdotool"] + [str(w) for w in words], env={"DISPLAY": display},
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True, timeout=30)


def click(display, x, y, button=1):
    xdotool(display, "mousemove", x, y, "sleep", "0.2", "click", button)


def move_away(display):
    xdotool(display, "mousemove", 400, 300)


def wait_until(predicate, timeout=10.0, poll=0.2, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(poll)


def tray_icon_colour(display, colour, box=TRAY_ICON_BOX):
    """Pixels of the given level colour at the first tray icon's place."""
    return screenshot(display).count(box, colour)
