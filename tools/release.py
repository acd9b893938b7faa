#!/usr/bin/python3
"""make release: what a Windows user downloads, built from the checked-out
commit into dist/ (or --out DIR):

    Corvane-VERSION-x64.zip   Corvane.exe, LICENSE.txt, README.txt
    Corvane-VERSION-x64.msi   the per-user installer (release/corvane.wxs)
    SHA256SUMS                the two files' SHA-256, as sha256sum prints them

The same commit gives the same bytes in any folder at any time: the
executable is built from `git archive HEAD` in a throw-away folder with
SOURCE_DATE_EPOCH at the commit's time, and every time stamp in the archive
and the installer is that time. VERSION comes from the executable's version
record (res/corvane.rc).

    /usr/bin/python3 tools/release.py [--out DIR]
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import uuid
import zipfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Windows Installer recognises earlier versions of Corvane by this code: it
# must never change. Product and package codes are derived from it.
UPGRADE_CODE = uuid.UUID("6a3c1f0e-2b7d-4e59-9c84-1d5f0a7e3b92")


class ReleaseError(RuntimeError):
    pass


def read_version(rc_text, manifest_text):
    """"1.1.0" from the version record; every version the executable
    carries must agree with it, and Windows Installer compares only three
    fields, so a fourth must be 0."""
    found = set()
    for label, pattern in (("FILEVERSION", r"^\s*FILEVERSION\s+(\d+),\s*(\d+),\s*(\d+),\s*(\d+)"),
                           ("PRODUCTVERSION", r"^\s*PRODUCTVERSION\s+(\d+),\s*(\d+),\s*(\d+),\s*(\d+)"),
                           ("FileVersion", r'VALUE\s+"FileVersion",\s*"(\d+)\.(\d+)\.(\d+)\.(\d+)"'),
                           ("ProductVersion", r'VALUE\s+"ProductVersion",\s*"(\d+)\.(\d+)\.(\d+)\.(\d+)"')):
        match = re.search(pattern, rc_text, re.MULTILINE)
        if not match:
            raise ReleaseError("the version record has no %s" % label)
        found.add(tuple(int(part) for part in match.groups()))
    identity = re.search(r'<assemblyIdentity[^>]*\sversion="(\d+)\.(\d+)\.(\d+)\.(\d+)"', manifest_text)
    if identity:
        found.add(tuple(int(part) for part in identity.groups()))
    if len(found) != 1:
        raise ReleaseError("the executable's versions disagree: %s" % sorted(found))
    version = found.pop()
    if version[3] != 0:
        raise ReleaseError("an installer cannot tell %d.%d.%d.%d from %d.%d.%d.0" % (version + version[:3]))
    return "%d.%d.%d" % version[:3]


def release_name(version):
    return "Corvane-%s-x64" % version


def _run(argv, **options):
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, check=False, **options)
    if done.returncode != 0:
        raise ReleaseError("%s failed:\n%s" % (" ".join(argv), done.stdout))
    return done.stdout


def _git(*words):
    return _run(["git", "-C", REPO] + list(words)).strip()


def export_commit(destination):
    """The checked-out commit's files, without the working tree's changes."""
    os.makedirs(destination)
    _run(["bash", "-c", 'set -o pipefail; git -C "$1" archive --format=tar HEAD | tar -x -C "$2"', "bash", REPO, destination])


def _reproducible_environment(epoch):
    return dict(os.environ, SOURCE_DATE_EPOCH=str(epoch), TZ="UTC", LC_ALL="C")


def build_executable(source, build, epoch):
    """Corvane.exe alone, from source into build: no tests, no emulator.
    mingw-w64's ld takes the header's time stamp from SOURCE_DATE_EPOCH."""
    environment = _reproducible_environment(epoch)
    _run(["cmake", "-S", source, "-B", build,
          "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake", "mingw-w64-x86_64.cmake"),
          "-DPython3_EXECUTABLE=/usr/bin/python3", "-DBUILD_TESTING=OFF"], env=environment)
    _run(["cmake", "--build", build, "--target", "Corvane", "-j%d" % (os.cpu_count() or 1),
          "--", "--no-print-directory"], env=environment)
    return os.path.join(build, "Corvane.exe")


def _crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def _stage(folder, epoch, files):
    """Writes {name: bytes} into folder with the commit's time: wixl's
    cabinet keeps each file's modification time."""
    for name, data in files.items():
        path = os.path.join(folder, name)
        with open(path, "wb") as target:
            target.write(data)
        os.utime(path, (epoch, epoch))


def _read(path):
    with open(path, "rb") as source:
        return source.read()


def build_msi(exe_path, icon_path, version, out_path, epoch, wxs_path=None):
    """The per-user installer. wixl stamps the package with a random code and
    the current time whatever SOURCE_DATE_EPOCH says: it runs under
    faketime, frozen at the commit's time, and msibuild then gives the
    package a code derived from what went into it."""
    wxs_path = wxs_path or os.path.join(REPO, "release", "corvane.wxs")
    with tempfile.TemporaryDirectory(prefix="corvane-msi-") as folder:
        # wixl takes its sources only by names relative to the .wxs.
        files = {"Corvane.exe": _read(exe_path), "corvane.ico": _read(icon_path),
                 "corvane.wxs": _read(wxs_path)}
        _stage(folder, epoch, files)
        inputs = hashlib.sha256(version.encode())
        for name in sorted(files):
            inputs.update(hashlib.sha256(files[name]).digest())
        product_code = uuid.uuid5(UPGRADE_CODE, "product " + version)
        package_code = uuid.uuid5(UPGRADE_CODE, "package " + inputs.hexdigest())
        frozen = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))
        package = os.path.join(folder, "package.msi")
        _run(["faketime", "-f", frozen, "wixl", "-a", "x64", "-o", package,
              "-D", "Version=" + version,
              "-D", "ProductCode={%s}" % str(product_code).upper(),
              "-D", "UpgradeCode={%s}" % str(UPGRADE_CODE).upper(), "corvane.wxs"],
             cwd=folder, env=_reproducible_environment(epoch))
        _run(["msibuild", package, "-s", "Corvane", "Quillfen", "x64;1033",
              "{%s}" % str(package_code).upper()], env=_reproducible_environment(epoch))
        shutil.move(package, out_path)


def build_zip(files, out_path, epoch):
    """files: [(name, bytes)], stored in that order with the commit's time
    and plain attributes, the same whichever system writes them."""
    stamp = time.gmtime(epoch)[:6]
    with zipfile.ZipFile(out_path, "w") as archive:
        for name, data in files:
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.create_system = 0
            entry.external_attr = 0
            archive.writestr(entry, data, compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)


def write_sums(paths, out_path):
    lines = ["%s  %s\n" % (hashlib.sha256(_read(path)).hexdigest(), os.path.basename(path))
             for path in sorted(paths)]
    with open(out_path, "w", newline="\n") as target:
        target.writelines(lines)


def make_release(out_dir):
    """Builds the release of HEAD into out_dir; returns its three paths."""
    epoch = int(_git("log", "-1", "--format=%ct", "HEAD"))
    if _git("status", "--porcelain", "--untracked-files=no"):
        print("release.py: uncommitted changes are not in the release; it is built from HEAD",
              file=sys.stderr)
    with tempfile.TemporaryDirectory(prefix="corvane-release-") as folder:
        source = os.path.join(folder, "source")
        export_commit(source)
        version = read_version(_read(os.path.join(source, "res", "corvane.rc")).decode("utf-8"),
                               _read(os.path.join(source, "res", "corvane.manifest")).decode("utf-8"))
        build = os.path.join(folder, "build")
        exe = build_executable(source, build, epoch)
        readme = _read(os.path.join(source, "release", "README.txt")).decode("utf-8")
        # Made beside the build, then moved: a failed release leaves out_dir
        # as it was.
        made = os.path.join(folder, "made")
        os.makedirs(made)
        name = release_name(version)
        build_msi(exe, os.path.join(build, "res", "corvane.ico"), version, os.path.join(made, name + ".msi"),
                  epoch, os.path.join(source, "release", "corvane.wxs"))
        build_zip([("Corvane.exe", _read(exe)),
                   ("LICENSE.txt", _crlf(_read(os.path.join(source, "LICENSE")).decode("utf-8"))),
                   ("README.txt", _crlf(readme.replace("@VERSION@", version)))],
                  os.path.join(made, name + ".zip"), epoch)
        write_sums([os.path.join(made, name + ext) for ext in (".msi", ".zip")], os.path.join(made, "SHA256SUMS"))
        os.makedirs(out_dir, exist_ok=True)
        for old in os.listdir(out_dir):
            if re.fullmatch(r"Corvane-.*-x64\.(zip|msi)|SHA256SUMS", old):
                os.remove(os.path.join(out_dir, old))
        archive, msi, sums = (shutil.move(os.path.join(made, made_name), out_dir)
                              for made_name in (name + ".zip", name + ".msi", "SHA256SUMS"))
    return archive, msi, sums


def main(argv):
    parser = argparse.ArgumentParser(description="Builds the release of the checked-out commit.")
    parser.add_argument("--out", default=os.path.join(REPO, "dist"))
    args = parser.parse_args(argv)
    try:
        paths = make_release(os.path.abspath(args.out))
    except ReleaseError as error:
        print("release.py: %s" % error, file=sys.stderr)
        return 1
    for path in paths:
        print(os.path.relpath(path))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
