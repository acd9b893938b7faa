#!/usr/bin/env bash
# make test: builds everything, then runs every test and ends non-zero on any
# failure. Unit tests run under Wine through CTest in one prefix whose wine
# server stays alive for the whole run; the emulator, icon and system tests
# run through pytest, each suite in its own throw-away prefix.
#
# Wine's background processes inherit the standard handles of whatever starts
# them. The prefix is started with its output sent to /dev/null, and every
# prefix is ended with `wineserver -k`, so nothing keeps a pipe open after us.
set -u
cd "$(dirname "$0")/.."
REPO=$(pwd)

tools/deps.sh release || exit 1
tools/build.sh || exit 1

REPORTS=$REPO/build/reports
rm -rf "$REPORTS"
mkdir -p "$REPORTS"

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=$REPO/build/unit-prefix
rm -rf "$WINEPREFIX"

# The interface's unit tests create real windows and draw with real GDI, so
# the unit-test prefix gets a display of its own.
XVFB_PID=
start_unit_display() {
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp 8>"$fifo" </dev/null >/dev/null 2>&1 &
    XVFB_PID=$!
    local number
    read -r number < "$fifo"
    rm -f "$fifo"
    UNIT_DISPLAY=":$number"
}

stop_unit_prefix() {
    WINEPREFIX=$REPO/build/unit-prefix wineserver -k >/dev/null 2>&1
    WINEPREFIX=$REPO/build/unit-prefix wineserver -w >/dev/null 2>&1
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
        XVFB_PID=
    fi
}
trap stop_unit_prefix EXIT

status=0
echo "== unit tests (CTest, GoogleTest under Wine)"
start_unit_display
if DISPLAY=$UNIT_DISPLAY /usr/bin/python3 emu/emulator.py --prefix "$WINEPREFIX" --build build/emu init >"$REPORTS/unit-prefix.log" 2>&1; then
    DISPLAY=$UNIT_DISPLAY timeout 900 ctest --test-dir build --output-on-failure --output-junit "$REPORTS/ctest.xml" || status=1
else
    echo "could not prepare the unit-test prefix:"; cat "$REPORTS/unit-prefix.log"; status=1
fi
stop_unit_prefix

run_pytest() {
    local name=$1; shift
    echo "== $name"
    timeout 1500 /usr/bin/python3 -m pytest -q -p no:cacheprovider --junitxml="$REPORTS/$name.xml" "$@" || status=1
}
run_pytest icon res/test_icon.py
run_pytest emulator emu/tests
run_pytest system tests/system

/usr/bin/python3 tools/summary.py --ctest "$REPORTS/ctest.xml" "$REPORTS"/gtest-*.xml \
    "$REPORTS/icon.xml" "$REPORTS/emulator.xml" "$REPORTS/system.xml" || status=1
exit $status
