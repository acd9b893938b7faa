#!/usr/bin/env bash
# make run: Corvane under Wine on a virtual Windows desktop with a taskbar,
# watching the emulated UPS. Uses the X display when there is one, otherwise
# Xvfb, and saves a screenshot of the desktop to build/screen.png every few
# seconds. Runs until stopped; Ctrl-C ends Corvane, Wine and Xvfb. Xvfb and
# Wine run in sessions of their own so that Ctrl-C reaches only this script,
# which then asks Corvane to exit in good order before ending the rest.
set -u
cd "$(dirname "$0")/.."
REPO=$(pwd)

export WINEPREFIX=${CORVANE_PREFIX:-$REPO/build/run-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
SCREEN=$REPO/build/screen.png
RUNLOG=$REPO/build/run.log
SIZE=${CORVANE_DESKTOP:-1024x768}
EMULATOR="/usr/bin/python3 $REPO/emu/emulator.py --prefix $WINEPREFIX --build $REPO/build/emu"

XVFB_PID=
SHOOTER_PID=
DESKTOP_PID=

stop_everything() {
    trap - INT TERM EXIT
    echo
    echo "Stopping Corvane, Wine and the display..."
    if [ -n "$DESKTOP_PID" ] && kill -0 "$DESKTOP_PID" 2>/dev/null; then
        wine "$REPO/build/tests/wintool.exe" post 202 >/dev/null 2>&1
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            wine "$REPO/build/tests/wintool.exe" info >/dev/null 2>&1 || break
            sleep 0.5
        done
    fi
    [ -n "$SHOOTER_PID" ] && kill "$SHOOTER_PID" 2>/dev/null
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    exit 0
}
trap stop_everything INT TERM EXIT

display_works() {
    [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1
}

if display_works; then
    echo "Using the X display $DISPLAY"
else
    FIFO=$(mktemp -u)
    mkfifo "$FIFO"
    setsid Xvfb -displayfd 8 -screen 0 "${SIZE}x24" -nolisten tcp 8>"$FIFO" >/dev/null 2>&1 &
    XVFB_PID=$!
    read -r NUMBER < "$FIFO"
    rm -f "$FIFO"
    export DISPLAY=":$NUMBER"
    echo "No X display: started Xvfb on $DISPLAY"
fi

# Prefix, wine server (kept alive, output away from our terminal), driver and
# the plain emulated UPS in slot 0.
$EMULATOR init >"$RUNLOG" 2>&1 || { echo "could not prepare $WINEPREFIX (see $RUNLOG)"; exit 1; }
if [ "$($EMULATOR exists 0 2>/dev/null)" != "ok 1" ]; then
    $EMULATOR add 0 plain >>"$RUNLOG" 2>&1
fi

# Every program of the prefix, the helpers that stop Corvane included, runs on
# one virtual desktop named "shell", which Wine gives a taskbar.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f >>"$RUNLOG" 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d "$SIZE" /f >>"$RUNLOG" 2>&1
setsid wine "$REPO/build/Corvane.exe" >>"$RUNLOG" 2>&1 &
DESKTOP_PID=$!

(
    while sleep 3; do
        import -display "$DISPLAY" -window root "$SCREEN.tmp.png" 2>/dev/null && mv "$SCREEN.tmp.png" "$SCREEN"
    done
) &
SHOOTER_PID=$!

LOG="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Quillfen/Corvane/corvane.log"
cat <<TXT
Corvane is running on a virtual desktop ($SIZE) on $DISPLAY.
  screenshot, renewed every 3 s: $SCREEN
  Corvane's log:                 $LOG
  change the emulated UPS:       python3 emu/emulator.py --prefix $WINEPREFIX set 0 ac=0 discharging=1 charge=40
Press Ctrl-C to stop.
TXT

wait "$DESKTOP_PID"
stop_everything
