"""The release: `tools/release.py` run twice, in two folders and three days
apart, gives the same bytes; its installer installs for the user under Wine's
msiexec, the installed program starts from its shortcut, and the uninstaller
takes away what is the program's and leaves what is the user's."""
import contextlib
import getpass
import os
import struct
import subprocess
import sys
import time
import zipfile

import pytest

from conftest import BUILD, CMD_EXIT, REPO, SETTINGS_KEY, windows_path
from test_tray import RUN_KEY, run_value

sys.path.insert(0, os.path.join(REPO, "tools"))
import release  # noqa: E402

CMD_RUN_AT_STARTUP = 205
INSTALL_PROPERTIES = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Installer\UserData"


def _version():
    with open(os.path.join(REPO, "res", "corvane.rc")) as rc, open(os.path.join(REPO, "res", "corvane.manifest")) as manifest:
        return release.read_version(rc.read(), manifest.read())


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    """Two releases of HEAD made side by side, the second with the clock
    three days on."""
    first, second = tmp_path_factory.mktemp("dist-a"), tmp_path_factory.mktemp("dist-b")
    script = os.path.join(REPO, "tools", "release.py")
    runs = [subprocess.Popen(clock + ["/usr/bin/python3", script, "--out", str(out)], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            for clock, out in (([], first), (["faketime", "-f", "+3d"], second))]
    for run in runs:
        output, _ = run.communicate(timeout=600)
        assert run.returncode == 0, output
    return first, second


@pytest.fixture(scope="module")
def dist(builds):
    name = release.release_name(_version())
    return {"msi": str(builds[0] / (name + ".msi")), "zip": str(builds[0] / (name + ".zip"))}


class Profile:
    """Where a per-user install lands in the session's prefix."""

    def __init__(self, session):
        user = os.path.join(session.emulator.prefix, "drive_c", "users", getpass.getuser())
        self.folder = os.path.join(user, "AppData", "Local", "Programs", "Corvane")
        self.program = os.path.join(self.folder, "Corvane.exe")
        self.program_windows = r"C:\users\%s\AppData\Local\Programs\Corvane\Corvane.exe" % getpass.getuser()
        self.shortcut = os.path.join(user, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                                     "Programs", "Corvane.lnk")
        self.log = os.path.join(user, "AppData", "Local", "Quillfen", "Corvane", "corvane.log")


def msiexec(session, *words):
    code, out = session.run("msiexec", *words, timeout=120)
    assert code == 0, out


@contextlib.contextmanager
def installed(session, msi):
    msiexec(session, "/i", windows_path(msi), "/qn")
    try:
        yield Profile(session)
    finally:
        if os.path.exists(Profile(session).program):
            session.run("msiexec", "/x", windows_path(msi), "/qn", timeout=120)


def log_messages(profile):
    try:
        with open(profile.log, encoding="utf-8") as log:
            return [line[21:] for line in log.read().split("\n") if line]
    except FileNotFoundError:
        return []


def wait_log(profile, message, timeout=15):
    deadline = time.monotonic() + timeout
    while message not in log_messages(profile):
        assert time.monotonic() < deadline, "no %r in %r" % (message, log_messages(profile))
        time.sleep(0.1)


def registered(session):
    """{name: data} of the installed product's InstallProperties (what the
    list of installed apps shows), or {} when it is not registered."""
    code, out = session.run("reg", "query", INSTALL_PROPERTIES, "/s")
    blocks = out.replace("\r", "").split("\n\n")
    ours = [b for b in blocks if b.startswith("HKEY") and "InstallProperties" in b.split("\n")[0]
            and "DisplayName    REG_SZ    Corvane" in b]
    assert len(ours) <= 1, ours
    if not ours:
        return {}
    return {line.split()[0]: line.split("REG_SZ", 1)[1].strip()
            for line in ours[0].split("\n")[1:] if "REG_SZ" in line}


RECORD = """FILEVERSION %s
PRODUCTVERSION %s
            VALUE "FileVersion", "%s"
            VALUE "ProductVersion", "%s"
"""


@pytest.mark.parametrize("record, strings, manifest, outcome", [
    ("1,1,0,0", "1.1.0.0", "1.1.0.0", "1.1.0"),
    ("1,2,0,0", "1.1.0.0", "1.1.0.0", "disagree"),
    ("1,1,0,0", "1.1.0.0", "1.0.9.0", "disagree"),
    ("1,1,0,7", "1.1.0.7", "1.1.0.7", "cannot tell"),
])
def test_the_version_is_one_the_executable_agrees_on(record, strings, manifest, outcome):
    rc = RECORD % (record, record, strings, strings)
    manifest = '<assemblyIdentity name="Quillfen.Corvane" version="%s"/>' % manifest
    if "." in outcome:
        assert release.read_version(rc, manifest) == outcome
        return
    with pytest.raises(release.ReleaseError, match=outcome):
        release.read_version(rc, manifest)


def test_two_builds_of_the_commit_are_the_same_bytes(builds):
    first, second = builds
    names = sorted(os.listdir(first))
    assert names == sorted(os.listdir(second))
    name = release.release_name(_version())
    assert names == [name + ".msi", name + ".zip", "SHA256SUMS"]
    for name in names:
        assert (first / name).read_bytes() == (second / name).read_bytes(), name
    done = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=first,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert done.returncode == 0, done.stdout
    with open(os.path.join(REPO, "README.md")) as readme:
        guide = readme.read()
    assert all(name in guide for name in names), "the README's Install names other files"


def test_install_start_and_uninstall_for_the_user(session, dist):
    session.run("reg", "delete", RUN_KEY, "/v", "Corvane", "/f")
    with installed(session, dist["msi"]) as profile:
        assert os.path.isfile(profile.program)
        with open(profile.shortcut, "rb") as link:
            target = link.read()
        assert profile.program_windows.encode() in target or profile.program_windows.encode("utf-16-le") in target
        properties = registered(session)
        assert (properties.get("DisplayVersion"), properties.get("Publisher")) == (_version(), "Quillfen")
        with zipfile.ZipFile(dist["zip"]) as archive:
            assert archive.namelist() == ["Corvane.exe", "LICENSE.txt", "README.txt"]
            with open(profile.program, "rb") as program:
                assert archive.read("Corvane.exe") == program.read()
            for text in ("LICENSE.txt", "README.txt"):
                data = archive.read(text)
                assert data.count(b"\n") == data.count(b"\r\n") > 0, text
            assert ("Corvane %s" % _version()).encode() in archive.read("README.txt")
            # The names follow the version record the executable carries.
            program = archive.read("Corvane.exe")
            fixed = program.index(struct.pack("<I", 0xFEEF04BD))
            high, low = struct.unpack_from("<II", program, fixed + 8)
            assert "%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16) == _version()

        if os.path.exists(profile.log):
            os.remove(profile.log)
        session.reg_add(SETTINGS_KEY, "GraceSeconds", "REG_DWORD", 45)
        code, out = session.run("start", "/unix", profile.shortcut)
        assert code == 0, out
        wait_log(profile, "Corvane started")
        code, out = session.wintool("post", str(CMD_RUN_AT_STARTUP))
        assert code == 0, out
        wait_log(profile, "run at startup: enabled")
        assert run_value(session) == '"%s"' % profile.program_windows
        session.wintool("post", str(CMD_EXIT))
        wait_log(profile, "Corvane stopped")
        log = log_messages(profile)

        msiexec(session, "/x", windows_path(dist["msi"]), "/qn")
        assert not os.path.exists(profile.folder)
        assert not os.path.exists(profile.shortcut)
        assert run_value(session) is None
        assert registered(session) == {}
        assert log_messages(profile) == log
        code, out = session.run("reg", "query", SETTINGS_KEY, "/v", "GraceSeconds")
        assert code == 0 and "0x2d" in out, out
    session.reg_delete_key(SETTINGS_KEY)


@pytest.mark.parametrize("value, kept", [
    (lambda profile: '"%s"' % profile.program_windows.upper(), False),
    (lambda profile: r'"C:\Tools\Other\Corvane.exe"', True),
], ids=["the-program-in-other-case", "another-program"])
def test_the_uninstaller_removes_the_run_value_only_when_it_names_the_program(session, dist, value, kept):
    with installed(session, dist["msi"]) as profile:
        session.reg_add(RUN_KEY, "Corvane", "REG_SZ", value(profile))
        msiexec(session, "/x", windows_path(dist["msi"]), "/qn")
        assert run_value(session) == (value(profile) if kept else None)
    session.run("reg", "delete", RUN_KEY, "/v", "Corvane", "/f")


def test_a_newer_version_replaces_the_installed_one_and_keeps_run_at_startup(session, dist, tmp_path):
    major, minor = (int(part) for part in _version().split(".")[:2])
    newer = "%d.%d.0" % (major, minor + 1)
    newer_msi = str(tmp_path / "newer.msi")
    with installed(session, dist["msi"]) as profile:
        release.build_msi(profile.program, os.path.join(BUILD, "res", "corvane.ico"), newer, newer_msi,
                          int(time.time()))
        quoted = '"%s"' % profile.program_windows
        session.reg_add(RUN_KEY, "Corvane", "REG_SZ", quoted)
        with installed(session, newer_msi):
            assert registered(session).get("DisplayVersion") == newer
            assert os.path.isfile(profile.program)
            assert run_value(session) == quoted
            msiexec(session, "/x", windows_path(newer_msi), "/qn")
        assert registered(session) == {}
        assert run_value(session) is None
