"""The release: `tools/release.py` run twice side by side, the second with the
clock three days on, gives the same bytes; its installer installs for the
user under Wine's msiexec, and its uninstaller takes away what is the
program's and leaves what is the user's."""
import contextlib
import getpass
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

import pytest

from conftest import BUILD, REPO, SETTINGS_KEY, Corvane, windows_path
from test_tray import RUN_KEY, run_value

sys.path.insert(0, os.path.join(REPO, "tools"))
import release  # noqa: E402

CMD_RUN_AT_STARTUP = 205
USER = getpass.getuser()
PROGRAM = r"C:\users\%s\AppData\Local\Programs\Corvane\Corvane.exe" % USER
INSTALL_PROPERTIES = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Installer\UserData"


def version():
    with open(os.path.join(REPO, "res", "corvane.rc")) as rc, open(os.path.join(REPO, "res", "corvane.manifest")) as manifest:
        return release.read_version(rc.read(), manifest.read())


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    outs = [tmp_path_factory.mktemp("dist-a"), tmp_path_factory.mktemp("dist-b")]
    runs = [subprocess.Popen(clock + ["/usr/bin/python3", os.path.join(REPO, "tools", "release.py"), "--out", str(out)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            for clock, out in zip(([], ["faketime", "-f", "+3d"]), outs)]
    for run in runs:
        output, _ = run.communicate(timeout=600)
        assert run.returncode == 0, output
    return outs


@pytest.fixture(scope="module")
def msi(builds):
    return str(builds[0] / (release.release_name(version()) + ".msi"))


def prefix_path(session, windows):
    return os.path.join(session.emulator.prefix, "drive_c", *windows[3:].split("\\"))


def msiexec(session, *words):
    with tempfile.TemporaryDirectory() as folder:
        log = os.path.join(folder, "msiexec.log")
        code, out = session.run("msiexec", *words, "/qn", "/l*v", windows_path(log), timeout=120)
        if code != 0:
            if os.path.exists(log):
                with open(log, "rb") as source:
                    out += source.read().replace(b"\0", b"").decode("latin-1")[-3000:]
    assert code == 0, out


@contextlib.contextmanager
def installed(session, package):
    msiexec(session, "/i", windows_path(package))
    try:
        yield prefix_path(session, PROGRAM)
    finally:
        if os.path.exists(prefix_path(session, PROGRAM)):
            session.run("msiexec", "/x", windows_path(package), "/qn", timeout=120)


def registered(session):
    """The InstallProperties of the installed product (what the list of
    installed apps shows): {name: text}, {} when none."""
    code, out = session.run("reg", "query", INSTALL_PROPERTIES, "/s")
    ours = [block for block in out.replace("\r", "").split("\n\n") if "DisplayName    REG_SZ    Corvane" in block]
    assert len(ours) <= 1, ours
    return {line.split()[0]: line.split("REG_SZ")[1].strip() for line in "".join(ours).split("\n") if "REG_SZ" in line}


def test_two_builds_of_the_commit_are_the_same_bytes(builds):
    names = sorted(os.listdir(builds[0]))
    assert names == sorted(os.listdir(builds[1])) and len(names) == 3
    for name in names:
        assert (builds[0] / name).read_bytes() == (builds[1] / name).read_bytes(), name
    done = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=builds[0],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert done.returncode == 0, done.stdout
    with open(os.path.join(REPO, "README.md")) as readme:
        guide = readme.read()
    assert all(name in guide for name in names), "the README's Install names other files"


@pytest.fixture
def local_appdata(session):
    """The user's own LOCALAPPDATA in the prefix. The log and the settings
    stay after an uninstall; the tests after this one must not find them."""
    folder = prefix_path(session, r"C:\users\%s\AppData\Local" % USER)
    yield folder
    shutil.rmtree(os.path.join(folder, "Quillfen"), ignore_errors=True)
    session.reg_delete_key(SETTINGS_KEY)


def test_install_start_and_uninstall_for_the_user(session, msi, local_appdata, tmp_path):
    session.run("reg", "delete", RUN_KEY, "/v", "Corvane", "/f")
    shortcut = prefix_path(session, r"C:\users\%s\AppData\Roaming\Microsoft\Windows\Start Menu\Programs"
                                    r"\Corvane.lnk" % USER)
    with installed(session, msi) as program:
        with open(shortcut, "rb") as link:
            target = link.read()
        assert PROGRAM.encode("utf-16-le") in target or PROGRAM.encode() in target
        properties = registered(session)
        assert (properties["DisplayVersion"], properties["Publisher"]) == (version(), "Quillfen")
        with zipfile.ZipFile(msi[:-len(".msi")] + ".zip") as archive, open(program, "rb") as installed_program:
            assert archive.namelist() == ["Corvane.exe", "LICENSE.txt", "README.txt"]
            exe = archive.read("Corvane.exe")
            assert exe == installed_program.read()
            high, low = struct.unpack_from("<II", exe, exe.index(struct.pack("<I", 0xFEEF04BD)) + 8)
            assert "%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16) == version()
            for text in ("LICENSE.txt", "README.txt"):
                data = archive.read(text)
                assert data.count(b"\n") == data.count(b"\r\n") > 0, text
            assert ("Corvane %s," % version()).encode() in archive.read("README.txt")

        # The installed copy, by the path the shortcut names, with the user's
        # own LOCALAPPDATA: its log lies beside the installed program's folder.
        run = Corvane(session, str(tmp_path))
        run.appdata = local_appdata
        if os.path.exists(run.log_path):
            os.remove(run.log_path)
        session.reg_add(SETTINGS_KEY, "GraceSeconds", "REG_DWORD", 45)
        try:
            run.start(exe=PROGRAM, localappdata=r"C:\users\%s\AppData\Local" % USER)
            run.wait_for_message("Corvane started")
            run.command(CMD_RUN_AT_STARTUP)
            run.wait_for_message("run at startup: enabled")
            assert run_value(session) == '"%s"' % PROGRAM
            assert run.stop() == 0
        finally:
            run.kill()
        log = run.log_bytes()

        msiexec(session, "/x", windows_path(msi))
        assert not os.path.exists(os.path.dirname(program)) and not os.path.exists(shortcut)
        assert run_value(session) is None
        assert registered(session) == {}
        assert run.log_bytes() == log
        assert "0x2d" in session.run("reg", "query", SETTINGS_KEY, "/v", "GraceSeconds")[1]


def test_a_newer_version_replaces_the_installed_one_and_keeps_run_at_startup(session, msi, tmp_path):
    """The program's path in other case is still the program's Run value;
    a value naming another program is not the uninstaller's to remove."""
    major, minor = version().split(".")[:2]
    newer, newer_msi = "%s.%d.0" % (major, int(minor) + 1), str(tmp_path / "newer.msi")
    another = r'"C:\Tools\Corvane.exe"'
    with installed(session, msi) as program:
        release.build_msi(program, os.path.join(BUILD, "res", "corvane.ico"), newer, newer_msi, 1800000000)
        session.reg_add(RUN_KEY, "Corvane", "REG_SZ", '"%s"' % PROGRAM.upper())
        with installed(session, newer_msi):
            assert registered(session)["DisplayVersion"] == newer
            assert os.path.isfile(program)
            assert run_value(session) == '"%s"' % PROGRAM
            session.reg_add(RUN_KEY, "Corvane", "REG_SZ", another)
            msiexec(session, "/x", windows_path(newer_msi))
        assert registered(session) == {}
        assert run_value(session) == another
    session.run("reg", "delete", RUN_KEY, "/v", "Corvane", "/f")
