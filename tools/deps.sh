#!/usr/bin/env bash
# Installs what building, running and testing Corvane need, when it is
# missing: Debian packages through apt-get as root; otherwise prints the
# exact command to run and fails. `deps.sh bench` adds the reference server
# that `make bench` compares the network server with; `deps.sh release` the
# installer's tools, which `make release` and its test need.
set -u

# nut-client (upsc, upsmon) and python3-nut (PyNUT) are the stock peers of
# the network server's tests, run as black boxes.
PACKAGES="mingw-w64 wine wine64 xvfb cmake make googletest python3 python3-pytest icoutils imagemagick xdotool
          nut-client python3-nut"
[ "${1:-}" = bench ] && PACKAGES="$PACKAGES nut-server"
# wixl builds the installer; msibuild (in msitools) and faketime make its
# bytes the same on every build.
[ "${1:-}" = release ] && PACKAGES="$PACKAGES git wixl msitools faketime"

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
    command -v upsc >/dev/null || return 0
    [ -x /lib/nut/upsmon ] || return 0
    /usr/bin/python3 -c 'import PyNUT' 2>/dev/null || return 0
    if [ "${1:-}" = bench ]; then
        [ -x /lib/nut/upsd ] || [ -x /usr/sbin/upsd ] || return 0
        [ -x /lib/nut/dummy-ups ] || return 0
    fi
    if [ "${1:-}" = release ]; then
        command -v git >/dev/null || return 0
        command -v wixl >/dev/null || return 0
        command -v msibuild >/dev/null || return 0
        command -v faketime >/dev/null || return 0
    fi
    return 1
}

missing "${1:-}" || exit 0

if [ "$(id -u)" != 0 ]; then
    echo "Corvane needs Debian packages that are not installed. Run:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y $PACKAGES" >&2
    exit 1
fi

echo "Installing: $PACKAGES"
export DEBIAN_FRONTEND=noninteractive
# The UPS packages' scripts would start their services (and nut-server's
# brings systemd and udev): on a machine without a policy that forbids it,
# one is put in place for the install, so that nothing is started.
POLICY=/usr/sbin/policy-rc.d
OWN_POLICY=
if [ ! -e "$POLICY" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$POLICY" && chmod 755 "$POLICY" && OWN_POLICY=1
fi
apt-get update -qq >/dev/null && apt-get install -y -qq $PACKAGES >/dev/null
installed=$?
[ -n "$OWN_POLICY" ] && rm -f "$POLICY"
[ $installed = 0 ] || exit 1
missing "${1:-}" && { echo "packages installed, but something is still missing" >&2; exit 1; }
exit 0
