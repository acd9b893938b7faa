"""Start-up, the single-instance rule and the orderly stop of the real program."""
import datetime
import os
import re

import pytest

from conftest import CMD_EXIT, DESKTOP_KEY, windows_path

STAMP = re.compile(r"^(\d+)-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)$")


def test_a_start_logs_a_stamped_line_and_keeps_the_window_hidden(corvane):
    before = datetime.datetime.now().replace(microsecond=0)
    corvane.start()
    corvane.wait_for_message("Corvane started")
    after = datetime.datetime.now()

    data = corvane.log_bytes()
    assert not data.startswith(b"\xef\xbb\xbf")
    line = corvane.log()[0]
    assert line.message == "Corvane started"
    assert data.startswith(line.raw.encode() + b"\r\n")
    assert line.raw[19:21] == "  "
    fields = STAMP.match(line.stamp)
    assert fields, line.raw
    stamp = datetime.datetime(*map(int, fields.groups()))
    assert before - datetime.timedelta(seconds=1) <= stamp <= after

    info = corvane.session.window_info()
    assert info["visible"] is False
    assert info["title"] == "Corvane"
    assert (info["width"], info["height"]) == (380, 520)
    # Caption, system menu and minimise box; no sizing border, no maximise box.
    assert info["style"] & 0x00CF0000 == 0x00CA0000

    assert corvane.stop() == 0
    messages = corvane.messages()
    assert messages == ["Corvane started", "Corvane stopped"]


@pytest.mark.parametrize("dpi, size", [(120, (475, 650)), (144, (570, 780))])
def test_the_client_area_scales_with_the_dpi(corvane, session, dpi, size):
    session.reg_add(DESKTOP_KEY, "LogPixels", "REG_DWORD", dpi)
    try:
        corvane.start()
        info = session.window_info()
        assert (info["width"], info["height"]) == size
        assert corvane.stop() == 0
    finally:
        session.reg_add(DESKTOP_KEY, "LogPixels", "REG_DWORD", 96)


def test_a_second_start_opens_the_running_instance_and_exits(corvane, session):
    corvane.start()
    corvane.wait_for_message("Corvane started")
    assert session.window_info()["visible"] is False

    assert corvane.second_start() == 0

    assert corvane.running()
    assert corvane.messages() == ["Corvane started"]
    # The running instance received CMD_OPEN and showed its window.
    corvane.wait_for(lambda _: session.window_info()["visible"], timeout=5)
    assert corvane.stop() == 0
    assert corvane.messages() == ["Corvane started", "Corvane stopped"]


def test_the_close_button_only_hides_the_window(corvane, session):
    corvane.start()
    corvane.second_start()
    corvane.wait_for(lambda _: session.window_info()["visible"], timeout=5)
    code, out = session.wintool("message", "0x0010", "0", "0")  # WM_CLOSE
    assert code == 0, out
    corvane.wait_for(lambda _: not session.window_info()["visible"], timeout=5)
    assert corvane.running()
    assert corvane.stop() == 0


def _tree(folder):
    found = []
    for root, dirs, files in os.walk(folder):
        found += [os.path.join(root, name) for name in dirs + files]
    return sorted(found)


def _run_without_log(corvane, **start):
    corvane.start(**start)
    assert corvane.running()
    assert corvane.stop() == 0


def test_no_localappdata_means_no_log_and_a_normal_run(corvane, session):
    default = os.path.join(session.emulator.prefix, "drive_c", "users")
    _run_without_log(corvane, unset_localappdata=True)
    assert not [p for p in _tree(default) if "Quillfen" in p]
    _run_without_log(corvane, localappdata="")
    assert not [p for p in _tree(default) if "Quillfen" in p]
    assert _tree(corvane.appdata) == []


def _long_folder(base, units):
    """A path under base whose Windows form is exactly `units` long."""
    stem = windows_path(base) + "\\"
    name = "x" * (units - len(stem))
    return os.path.join(base, name), stem + name


@pytest.mark.parametrize("units", [259, 260, 300])
def test_a_localappdata_too_long_for_the_log_path_writes_nothing(corvane, tmp_path, units):
    base = tmp_path / "long"
    base.mkdir()
    unix_path, windows_value = _long_folder(str(base), units)
    assert len(windows_value) == units
    os.mkdir(unix_path)
    _run_without_log(corvane, localappdata=windows_value)
    # 259 units leaves no room for even the first folder name: the path names
    # the folder itself, which cannot be opened as a file.
    assert os.listdir(unix_path) == []
    assert os.listdir(str(base)) == [os.path.basename(unix_path)]
