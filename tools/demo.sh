#!/usr/bin/env bash
# make demo: a scripted power cut against the emulated UPS, with Corvane's
# window open on a Wine virtual desktop, and a screenshot of each state:
# on line, mains lost, charge falling to critical, mains back, UPS unplugged.
# Then the window at 150 % on the 768-line desktop, taller than its work area,
# with a hibernation armed, and the settings window at that DPI. Then three
# panels drawn through the panel tool
# (tests/tools/panelshot.cpp):
# the shutdown banner (Wine refuses every shutdown request, so the real
# program never stays armed here), the dark theme and 144 DPI. Everything
# lands in build/demo/. With --docs the pictures are also copied, recompressed,
# to docs/pictures/ for the README.
#
# Runs on its own Xvfb display and in its own prefix (build/demo-prefix, made
# fresh); both are ended before the script returns, whatever happens.
set -u
cd "$(dirname "$0")/.."
REPO=$(pwd)
DOCS=0
[ "${1:-}" = "--docs" ] && DOCS=1

tools/deps.sh || exit 1
tools/build.sh || exit 1

export WINEPREFIX=$REPO/build/demo-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
OUT=$REPO/build/demo
LOG=$OUT/demo.log
WINTOOL="$REPO/build/tests/wintool.exe"
PANELSHOT="$REPO/build/tests/panelshot.exe"
EMULATOR="/usr/bin/python3 $REPO/emu/emulator.py --prefix $WINEPREFIX --build $REPO/build/emu"
rm -rf "$OUT" "$WINEPREFIX"
mkdir -p "$OUT"

. tools/xvfb.sh
finish() {
    wine "$WINTOOL" post 202 >/dev/null 2>&1
    sleep 1
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    stop_xvfb
}
trap finish EXIT

start_xvfb 1024x768

step() { echo "demo: $*"; }
emu() { $EMULATOR "$@" >>"$LOG" 2>&1 || { echo "demo: emulator command failed: $*" >&2; exit 1; }; }

step "preparing a Wine prefix with the emulated UPS"
emu init
emu add 0 plain
emu set 0 load=37
# Balloons off: one would stand over the window's corner in the pictures.
wine reg add 'HKCU\Software\Quillfen\Corvane' /v Notifications /t REG_DWORD /d 0 /f >>"$LOG" 2>&1
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f >>"$LOG" 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d 1024x768 /f >>"$LOG" 2>&1

step "starting Corvane on the virtual desktop"
setsid wine "$REPO/build/Corvane.exe" >>"$LOG" 2>&1 </dev/null &
wine "$WINTOOL" wait 20000 >>"$LOG" 2>&1 || { echo "demo: Corvane's window did not appear" >&2; exit 1; }

# Corvane's icon at the right end of the taskbar, found by the green of its
# glyph once the first poll has drawn it: the centre of those pixels.
find_tray_icon() {
    local tries
    for tries in $(seq 1 50); do
        import -display "$DISPLAY" -window root -crop 224x20+800+748 +repage -depth 8 rgb:- | /usr/bin/python3 -c '
import sys
strip = sys.stdin.buffer.read()
near = [(i // 3 % 224, i // 3 // 224) for i in range(0, len(strip), 3)
        if all(abs(a - b) <= 12 for a, b in zip(strip[i:i + 3], (62, 107, 76)))]
if not near:
    sys.exit(1)
xs, ys = [p[0] for p in near], [p[1] for p in near]
print(800 + (min(xs) + max(xs)) // 2, 748 + (min(ys) + max(ys)) // 2)' && return 0
        sleep 0.2
    done
    return 1
}

# A click on the icon opens the window, or brings it to the front, and wakes
# the monitor for an immediate poll: each new state is on screen a moment
# later.
show() {
    xdotool mousemove $TRAY_ICON click 1
    sleep "${1:-2}"
}

client_geometry() {
    wine "$WINTOOL" info | tr ' ' '\n' | awk -F= '
        $1 == "client" { split($2, size, "x") }
        $1 == "origin" { split($2, at, ",") }
        END { printf "%dx%d+%d+%d\n", size[1], size[2], at[1], at[2] }'
}

shoot() {
    import -display "$DISPLAY" -window root -crop "$(client_geometry)" +repage "$OUT/$1.png"
    step "saved build/demo/$1.png"
}

TRAY_ICON=$(find_tray_icon)
[ -n "$TRAY_ICON" ] || { echo "demo: no tray icon on the taskbar" >&2; exit 1; }
show 3
import -display "$DISPLAY" -window root "$OUT/desktop.png"
shoot 1-on-line

step "mains lost"
emu set 0 ac=0 discharging=1 charge=96 runtime=3400
show
shoot 2-mains-lost

# Critical (red) from twice the 300-s runtime threshold down; the demo stops
# short of the threshold itself, where Corvane would request the shutdown.
step "charge falling to critical"
for state in "charge=80 runtime=2600" "charge=61 runtime=1900" "charge=45 runtime=1200" \
             "charge=33 runtime=800" "charge=24 runtime=420"; do
    emu set 0 $state
    show 3
done
shoot 3-critical

step "mains back"
emu set 0 ac=1 discharging=0 charging=1 charge=25 runtime=450
show
shoot 4-mains-back

step "UPS unplugged"
emu remove 0
show
shoot 5-unplugged

# The balloon that tells the user at once, on a fresh start with balloons on
# (the setting is read at start) and the window left closed, so that nothing
# stands in front of it. It shows 2 s after Corvane asks for it.
step "the mains-lost balloon"
wine "$WINTOOL" post 202 >>"$LOG" 2>&1
for _ in $(seq 1 50); do wine "$WINTOOL" info >/dev/null 2>&1 || break; sleep 0.2; done
wine reg delete 'HKCU\Software\Quillfen\Corvane' /v Notifications /f >>"$LOG" 2>&1
emu add 0 plain
emu set 0 load=37
setsid wine "$REPO/build/Corvane.exe" >>"$LOG" 2>&1 </dev/null &
wine "$WINTOOL" wait 20000 >>"$LOG" 2>&1 || { echo "demo: Corvane did not start again" >&2; exit 1; }
find_tray_icon >/dev/null || { echo "demo: no tray icon after the restart" >&2; exit 1; }
emu set 0 ac=0 discharging=1 charge=96 runtime=3400
for _ in $(seq 1 60); do
    wine "$WINTOOL" tooltips 2>/dev/null | grep -q "text=On battery, 96%" && break
    sleep 0.2
done
sleep 0.5
import -display "$DISPLAY" -window root -crop 424x160+600+608 +repage "$OUT/9-balloon.png"
step "saved build/demo/9-balloon.png"

# 150 % on a 768-line screen: the window is taller than the work area, so it
# stands at the top, cut to fit, with the chart shortened. A hibernation is
# armed (Wine reports it available and lets it count its 600-s grace), so the
# real program shows the banner under the rule.
step "150 % on the 768-line screen, a hibernation armed"
wine "$WINTOOL" post 202 >>"$LOG" 2>&1
for _ in $(seq 1 50); do wine "$WINTOOL" info >/dev/null 2>&1 || break; sleep 0.2; done
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >>"$LOG" 2>&1
for setting in Notifications:0 ShutdownAction:1 GraceSeconds:600; do
    wine reg add 'HKCU\Software\Quillfen\Corvane' /v "${setting%%:*}" /t REG_DWORD /d "${setting#*:}" /f >>"$LOG" 2>&1
done
emu set 0 ac=0 discharging=1 charge=18 runtime=240 load=36
setsid wine "$REPO/build/Corvane.exe" >>"$LOG" 2>&1 </dev/null &
wine "$WINTOOL" wait 20000 >>"$LOG" 2>&1 || { echo "demo: Corvane did not start at 144 DPI" >&2; exit 1; }
sleep 2
wine "$WINTOOL" post 201 >>"$LOG" 2>&1
sleep 3
import -display "$DISPLAY" -window root "$OUT/10-short-screen.png"
step "saved build/demo/10-short-screen.png"

# The settings window at the same 144 DPI, from "Settings..." (its command).
step "the settings window at 144 DPI"
wine "$WINTOOL" post 206 >>"$LOG" 2>&1
sleep 2
SETTINGS_RECT=$(wine "$WINTOOL" settings | head -1 | tr ' ' '\n' | awk -F= '
    $1 == "rect" { split($2, r, ","); printf "%dx%d+%d+%d\n", r[3] - r[1], r[4] - r[2], r[1], r[2] }')
[ -n "$SETTINGS_RECT" ] || { echo "demo: the settings window did not open" >&2; exit 1; }
import -display "$DISPLAY" -window root -crop "$SETTINGS_RECT" +repage "$OUT/11-settings.png"
step "saved build/demo/11-settings.png"

step "panels drawn through the panel tool"
panel() {
    local name=$1
    shift
    wine "$PANELSHOT" png "Z:$OUT/$name.png" power=1500 "$@" >>"$LOG" 2>&1 ||
        { echo "demo: panelshot failed for $name" >&2; exit 1; }
    step "saved build/demo/$name.png"
}
panel 6-armed --armed ac=0 charge=18 runtime=240 load=36 watts=540 \
    --history "60:30:100/14:30:100/13:35:99/0:36:18"
panel 7-dark --dark charge=100 runtime=3900 load=25 watts=375 \
    --history "60:22:100/30:27:100/0:25:100"
panel 8-144-dpi --dpi 144 ac=0 charge=64 runtime=1500 load=31 watts=465 \
    --history "60:28:100/9:28:100/8:31:97/0:31:64"

if [ "$DOCS" = 1 ]; then
    mkdir -p docs/pictures
    for picture in "$OUT"/*.png; do
        convert "$picture" -strip -define png:compression-level=9 "docs/pictures/$(basename "$picture")"
    done
    step "copied the pictures to docs/pictures/"
fi
step "done: $(ls "$OUT"/*.png | wc -l) pictures in build/demo/"
