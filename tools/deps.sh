#!/usr/bin/env bash
# Installs what building, running and testing Corvane need, when it is
# missing: Debian packages through apt-get as root; otherwise prints the
# exact command to run and fails.
set -u

PACKAGES="mingw-w64 wine wine64 xvfb cmake make googletest python3 python3-pytest icoutils imagemagick xdotool"

missing() {
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || return 0
    command -v x86_64-w64-mingw32-windres >/dev/null || return 0
    command -v wine >/dev/null || return 0
    command -v wineserver >/dev/null || return 0
    [ -x /usr/lib/wine/wine64 ] || return 0
    command -v Xvfb >/dev/null || return 0
    command -v cmake >/dev/null || return 0
    command -v make >/dev/null || return 0
    [ -f /usr/src/googletest/CMakeLists.txt ] || return 0
    /usr/bin/python3 -c 'import pytest' 2>/dev/null || return 0
    command -v wrestool >/dev/null || return 0
    command -v import >/dev/null || return 0
    command -v xdotool >/dev/null || return 0
    return 1
}

missing || exit 0

if [ "$(id -u)" != 0 ]; then
    echo "Corvane needs Debian packages that are not installed. Run:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y $PACKAGES" >&2
    exit 1
fi

echo "Installing: $PACKAGES"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null || exit 1
apt-get install -y -qq $PACKAGES >/dev/null || exit 1
missing && { echo "packages installed, but something is still missing" >&2; exit 1; }
exit 0
