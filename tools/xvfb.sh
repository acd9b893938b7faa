# Sourced by the scripts that need an X display of their own:
#   start_xvfb WIDTHxHEIGHT   starts Xvfb on a free display number and exports
#                             DISPLAY; its process id is in XVFB_PID
#   stop_xvfb                 ends it (safe to call twice, or before a start)
XVFB_PID=

start_xvfb() {
    local fifo number
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 8 -screen 0 "$1x24" -nolisten tcp 8>"$fifo" </dev/null >/dev/null 2>&1 &
    XVFB_PID=$!
    read -r number < "$fifo"
    rm -f "$fifo"
    export DISPLAY=":$number"
}

stop_xvfb() {
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
        XVFB_PID=
    fi
}
