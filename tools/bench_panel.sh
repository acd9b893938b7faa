#!/usr/bin/env bash
# The status panel's figures, from the real WM_PAINT shell on a window of its
# own (build/tests/panelshot.exe, run under Wine):
#   - the time of one full paint at 96 and at 144 DPI: the median of PAINTS
#     paints (default 200), in ROUNDS rounds per DPI (default 3), interleaved;
#   - a soak of SOAK paints (default 10000) with the values changing on every
#     paint: the process's GDI objects and its heap's busy blocks and bytes,
#     before and after. Exits non-zero when either differs.
# Runs on its own Xvfb display in a throw-away prefix; both are ended before
# the script returns.
set -u -o pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd)
PAINTS=${PAINTS:-200}
ROUNDS=${ROUNDS:-3}
SOAK=${SOAK:-10000}

tools/deps.sh || exit 1
tools/build.sh >/dev/null || exit 1

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/corvane-bench-XXXXXX)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
PANELSHOT="$REPO/build/tests/panelshot.exe"

. tools/xvfb.sh
finish() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    stop_xvfb
    rm -rf "$WINEPREFIX"
}
trap finish EXIT

start_xvfb 1280x1024

# The prefix's wine server outlives wineboot: keep it away from our output.
wineboot -i >/dev/null 2>&1 </dev/null
wineserver -p >/dev/null 2>&1 </dev/null

status=0
for round in $(seq 1 "$ROUNDS"); do
    for dpi in 96 144; do
        wine "$PANELSHOT" bench --dpi "$dpi" --paints "$PAINTS" | tr -d '\r' | sed "s/^/round=$round /" || status=1
    done
done
wine "$PANELSHOT" soak --paints "$SOAK" | tr -d '\r' || status=1
exit $status
