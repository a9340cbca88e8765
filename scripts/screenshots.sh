#!/usr/bin/env bash
# make screenshots: regenerates docs/screenshots/*.png from the real program.
#
# Sets up what `make demo` sets up (scripts/demo.sh: NorvaHB against norva-device on the test
# bed of tests/testbed/norva_testbed.py, with a fake login manager on its private system bus),
# always on a virtual X display of its own with a window manager (openbox) and a tray host
# (trayer), and walks through the pictures with xdotool, capturing them with ImageMagick's
# import:
#   status.png            the Status page, heartbeat answered
#   setup-heartbeat.png   the "Setup: Heartbeat" page
#   setup-shutdown.png    the "Setup: Shutdown" page
#   tray-menu.png         the tray icon's menu
#   failure-balloon.png   the no-response balloon, window put away into the tray
#   warning.png           the ten-second warning after a restart command
#   do-restart.png        the caption "DO restart" once the countdown has ended
# Then the same settings go to the service norvahbd (started as `make demo
# NORVA_DEMO_MODE=service` starts it), and a new NorvaHB becomes its front end:
#   front-end.png                  the Status page following the running service
#   front-end-service-stopped.png  the same window once the service has stopped
# As root the pictures show Network mode (network namespaces); otherwise USB mode.
#
# Usage: scripts/screenshots.sh BUILD_DIR [OUT_DIR]   (OUT_DIR defaults to docs/screenshots)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=scripts/demo.sh
source "$here/demo.sh"
OUT="${2:-$here/../docs/screenshots}"

# --- the tools ----------------------------------------------------------------------------

need=()
for tool in Xvfb:xvfb xauth:xauth mcookie:util-linux openbox:openbox trayer:trayer \
    xdotool:xdotool xwininfo:x11-utils xsetroot:x11-xserver-utils import:imagemagick; do
    command -v "${tool%%:*}" >/dev/null || need+=("${tool#*:}")
done
if ((${#need[@]})); then
    if [[ "$(id -u)" != 0 ]]; then
        echo "screenshots: these Debian packages are needed:" >&2
        echo "  sudo apt-get install --no-install-recommends ${need[*]}" >&2
        exit 1
    fi
    echo "screenshots: installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# --- helpers --------------------------------------------------------------------------------

# shot NAME GEOMETRY: captures the screen area GEOMETRY (WxH+X+Y) into OUT/NAME.png, without
# time stamps, so a picture that did not change gives the same file.
shot() {
    import -window root -crop "$2" +repage -strip -define png:exclude-chunks=date,time \
        "$OUT/$1.png"
    echo "  $OUT/$1.png"
}

# frame WINDOW: the geometry (WxH+X+Y) of WINDOW with its title bar and border.
frame() {
    local id="$1" parent root
    root="$(xwininfo -root | awk '/Window id:/ { print $4 }')"
    # Walk up to the window manager's frame: the ancestor whose parent is the root window.
    while :; do
        parent="$(xwininfo -children -id "$id" | awk '/Parent window id:/ { print $4 }')"
        [[ -z "$parent" || $((parent)) == $((root)) ]] && break
        id="$parent"
    done
    xwininfo -id "$id" |
        awk '/Absolute upper-left X:/ { x = $4 } /Absolute upper-left Y:/ { y = $4 }
             /Width:/ { w = $2 } /Height:/ { h = $2 }
             END { printf "%dx%d+%d+%d\n", w, h, x, y }'
}

# popup: the geometry (WxH+X+Y) of NorvaHB's pop-up on screen (the tray menu or the balloon):
# a top-level window of its own, not managed by the window manager.
popup() {
    local id deadline=$((SECONDS + 20))
    while ((SECONDS < deadline)); do
        for id in $(xwininfo -root -children | awk '/"NorvaHB": \("NorvaHB"/ { print $1 }'); do
            xwininfo -id "$id" | grep -q 'Map State: IsViewable' || continue
            xwininfo -id "$id" |
                awk '/Absolute upper-left X:/ { x = $4 } /Absolute upper-left Y:/ { y = $4 }
                     /Width:/ { w = $2 } /Height:/ { h = $2 }
                     END { printf "%dx%d+%d+%d\n", w, h, x, y }'
            return 0
        done
        sleep 0.1
    done
    demo_die "NorvaHB showed no pop-up"
}

# with_tray GEOMETRY: the area of GEOMETRY and the tray icon together, with a margin, on screen.
with_tray() {
    local w h x y margin=12
    IFS='x+' read -r w h x y <<<"$1"
    local left=$((x < tray_x - 12 ? x : tray_x - 12)) top=$((y < tray_y - 12 ? y : tray_y - 12))
    local right=$((x + w > tray_x + 12 ? x + w : tray_x + 12))
    local bottom=$((y + h > tray_y + 12 ? y + h : tray_y + 12))
    left=$((left - margin < 0 ? 0 : left - margin))
    top=$((top - margin < 0 ? 0 : top - margin))
    right=$((right + margin > screen_w ? screen_w : right + margin))
    bottom=$((bottom + margin > screen_h ? screen_h : bottom + margin))
    echo "$((right - left))x$((bottom - top))+$left+$top"
}

# heartbeats: how many heartbeats the device has received so far.
heartbeats() { grep -c 'recv .*"NorvaHB"' "$DEVICE_LOG" || true; }

wait_heartbeats() { # wait_heartbeats N: until N more heartbeats have come
    local target=$(($(heartbeats) + $1)) deadline=$((SECONDS + 10 * $1 * DEMO_FREQ + 10))
    while (($(heartbeats) < target)); do
        ((SECONDS < deadline)) || demo_die "the device did not receive the heartbeats"
        sleep 0.1
    done
}

wait_window() { # wait_window NAME_REGEX: prints the id of the visible window of that name
    local id deadline=$((SECONDS + 20))
    while :; do
        id="$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1)" || true
        [[ -n "$id" ]] && echo "$id" && return 0
        ((SECONDS < deadline)) || demo_die "no window named '$1' appeared"
        sleep 0.1
    done
}

click_tab() { # click_tab N: selects page N (0, 1, 2) of the main window by its tab
    # The tabs sit at the top left of the window, under the menu bar, in this order.
    local x=(40 134 262)
    xdotool mousemove --window "$MAIN" "${x[$1]}" 40 click 1
    sleep 0.7
}

# --- the run --------------------------------------------------------------------------------

demo_paths "${1:-}"
demo_need_service
if ! demo_in_lab; then
    # Again inside the test bed, with network namespaces where this machine can make them,
    # and the service's bus policy on its bus.
    net=no
    [[ "$(id -u)" == 0 ]] && net=auto
    DEMO_SERVICE=1 # for demo_enter_lab: the bus with the service's policy
    demo_enter_lab "$net" "$0" "$@"
fi
demo_init
mkdir -p "$OUT"
OUT="$(cd "$OUT" && pwd)"
DEMO_MODE=usb
[[ -n "$PC_NS" ]] && DEMO_MODE=network
DEMO_FREQ=1
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
demo_display 800x600
xsetroot -solid '#3c5a78'
demo_settings "$DEMO_MODE"
demo_start_device "$DEMO_MODE"
demo_start_norvahb
echo "screenshots ($DEMO_MODE mode, display $DISPLAY):"

MAIN="$(wait_window '^Norva Utility$')"
xdotool windowactivate --sync "$MAIN" 2>/dev/null || true
wait_heartbeats 6
shot status "$(frame "$MAIN")"

click_tab 1
shot setup-heartbeat "$(frame "$MAIN")"
click_tab 2
shot setup-shutdown "$(frame "$MAIN")"
click_tab 0

# The tray icon is the only one in trayer's panel, at its centre.
read -r screen_w screen_h < <(xwininfo -root | awk '/Width:/ { w = $2 } /Height:/ { h = $2 }
                                                    END { print w, h }')
eval "$(xdotool getwindowgeometry --shell "$(xdotool search --name '^panel$' | head -n1)")"
tray_x=$((X + WIDTH / 2))
tray_y=$((Y + HEIGHT / 2))
xdotool mousemove "$tray_x" "$tray_y" click 3
area="$(with_tray "$(popup)")"
sleep 0.5
shot tray-menu "$area"
xdotool key Escape
sleep 0.3

# Away into the tray (File > Minimize to tray), then the device stops answering: the third
# miss raises the alert, which now comes as a balloon at the tray icon.
xdotool windowactivate --sync "$MAIN" 2>/dev/null || true
xdotool key --window "$MAIN" alt+f
sleep 0.3
xdotool key m
sleep 0.5
demo_device silent
wait_heartbeats 3
area="$(with_tray "$(popup)")"
sleep 0.5
shot failure-balloon "$area"
demo_device "$DEVICE_ANSWER"
wait_heartbeats 2

# Back on screen (double click on the icon), then a restart command from the device: the
# warning counts down over the main window and ends in the fake login manager's records.
xdotool mousemove "$tray_x" "$tray_y" click --repeat 2 --delay 80 1
sleep 1
demo_send_command restart >/dev/null
wait_window '^Timer = 8$' >/dev/null
shot warning "$(frame "$MAIN")"
demo_wait_for "$CALLS_LOG" '^Reboot false$' 20 || demo_die "the fake login manager recorded no reboot"
wait_window '^DO restart$' >/dev/null
sleep 0.5
shot do-restart "$(frame "$MAIN")"
echo "fake login manager: $(cat "$CALLS_LOG")"

# The service takes over with the same settings: the desktop copy ends first, as the one-copy
# rule of the ports asks, then the service reports READY=1 and a new NorvaHB finds it on the
# bus and follows it.
demo_stop "$NORVAHB_PID"
demo_start_norvahbd
DEMO_SERVICE=1
demo_start_norvahb
MAIN="$(wait_window '^Norva Utility$')"
xdotool windowactivate --sync "$MAIN" 2>/dev/null || true
wait_heartbeats 4
wait_heartbeats 2
shot front-end "$(frame "$MAIN")"

# The service stops under the running front end: grey heart, "service not running".
demo_stop "$NORVAHBD_PID"
sleep 1
shot front-end-service-stopped "$(frame "$MAIN")"
