#!/usr/bin/env bash
# with-display-and-session-bus.sh PROGRAM [ARGS...]
#
# Runs PROGRAM on an X display and a D-Bus session bus of its own: an Xvfb server and a
# dbus-daemon listening in a new temporary folder, both ended (and the folder removed) when
# PROGRAM ends. PROGRAM gets DISPLAY, DBUS_SESSION_BUS_ADDRESS and QT_QPA_PLATFORM=xcb, and
# NORVA_TEST_SESSION_BUS_PID, the bus daemon's process id, so it can prove which bus it is on.
# Exits 77 (skipped) when Xvfb or dbus-daemon is missing.
set -euo pipefail

for tool in Xvfb dbus-daemon; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed" >&2; exit 77; }
done

dir="$(mktemp -d "${TMPDIR:-/tmp}/norva-display-XXXXXX")"
xvfb_pid=""
bus_pid=""
cleanup() {
    for pid in $xvfb_pid $bus_pid; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    done
    rm -rf "$dir"
}
trap cleanup EXIT

# Waits until FILE holds a whole line, for at most 20 s.
wait_for_line() {
    local file="$1" what="$2"
    for _ in $(seq 200); do
        if [ -s "$file" ] && [ "$(tail -c1 "$file" | od -An -c | tr -d ' ')" = '\n' ]; then
            return 0
        fi
        sleep 0.1
    done
    echo "with-display-and-session-bus: $what did not start" >&2
    exit 1
}

Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$dir/display" \
    </dev/null >/dev/null 2>"$dir/xvfb.log" &
xvfb_pid=$!
wait_for_line "$dir/display" Xvfb

dbus-daemon --session --nofork --address="unix:path=$dir/session_bus_socket" \
    --print-address=1 </dev/null >"$dir/address" 2>"$dir/bus.log" &
bus_pid=$!
wait_for_line "$dir/address" dbus-daemon

status=0
DISPLAY=":$(head -n1 "$dir/display")" \
DBUS_SESSION_BUS_ADDRESS="$(head -n1 "$dir/address")" \
NORVA_TEST_SESSION_BUS_PID="$bus_pid" \
QT_QPA_PLATFORM=xcb \
XDG_RUNTIME_DIR="$dir" \
    "$@" || status=$?
exit "$status"
