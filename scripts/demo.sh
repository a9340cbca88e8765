#!/usr/bin/env bash
# make demo: the real NorvaHB against norva-device, the simulated Norva, so you can watch the
# heartbeat being answered, make the device go silent, and send it restart commands.
#
# It runs on the test bed of the end-to-end tests (tests/testbed/norva_testbed.py): the script
# starts itself again inside it. NorvaHB asks the login manager on the system D-Bus to restart
# the PC; here that bus is the test bed's private dbus-daemon with fake-login1 on it, which only
# writes "Reboot false" into a file, and the test bed's guard starts NorvaHB only when
# DBUS_SYSTEM_BUS_ADDRESS names that private bus.
#
# As root, NorvaHB ("the PC", 198.18.0.1) and the device (198.18.0.2) each get a network
# namespace of the test bed, joined by a veth pair, and both use UDP port 9100 as with real
# hardware. Otherwise (or with NORVA_DEMO_MODE=usb) the device is a pseudo-terminal pinned as
# COM7 and NorvaHB runs in USB mode; commands then go to 127.0.0.1:9100.
#
# With NORVA_DEMO_MODE=service the heartbeat and the command port are the service norvahbd's,
# started as its unit starts it (its settings and lock folders, a $NOTIFY_SOCKET it reports
# READY=1 to) in the PC's place, and NorvaHB on the display is its front end: it finds the
# service on the private bus by itself. That bus then enforces the project's bus policy, and a
# fake polkit authority answers the service's authorization checks ("allow" unless the user
# types "polkit deny"). Network mode as root, USB mode otherwise, as above.
#
# Settings, the instance lock, the bus and the logs live in the test bed's temporary folder
# (mode 0700). Any exit, Ctrl-C included, stops what this script started; the test bed then
# stops the bus and removes the folder and the namespaces.
#
# Usage: scripts/demo.sh BUILD_DIR
# scripts/screenshots.sh sources this file for its functions; sourcing runs nothing.

# --- paths and the temporary folder ------------------------------------------------------

demo_die() {
    echo "demo: $*" >&2
    exit 1
}

demo_paths() { # demo_paths BUILD_DIR: the programs of that build folder, and the test bed
    [[ -d "${1:-}" ]] || demo_die "usage: scripts/demo.sh BUILD_DIR (run 'make demo')"
    local source
    BUILD="$(cd "$1" && pwd)"
    source="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    NORVAHB="$BUILD/src/app/NorvaHB"
    DEVICE="$BUILD/tools/norva-device/norva-device"
    NORVAHBD="$BUILD/src/service/norvahbd"
    FAKE_POLKIT="$BUILD/tests/support/fake-polkit/fake-polkit"
    TESTBED="$source/tests/testbed/norva_testbed.py"
    BUS_POLICY="$source/packaging/dbus/com.norva.NorvaHB1.conf"
    local f
    for f in "$NORVAHB" "$DEVICE" "$BUILD/tests/support/fake-login1/fake-login1"; do
        [[ -x "$f" ]] || demo_die "$f is missing: build first ('make build')"
    done
    PYTHON="$(command -v python3)" || demo_die "python3 is missing (Debian: python3)"
    command -v dbus-daemon >/dev/null || demo_die "dbus-daemon is missing (Debian: dbus-daemon)"
}

# True inside the test bed (see demo_enter_lab).
demo_in_lab() {
    [[ -n "${NORVA_TESTBED_DIR:-}" && -f "$NORVA_TESTBED_DIR/testbed.json" ]]
}

# demo_need_service: the service and the fake polkit authority it needs are built.
demo_need_service() {
    local f
    for f in "$NORVAHBD" "$FAKE_POLKIT"; do
        [[ -x "$f" ]] || demo_die "$f is missing: build first ('make build')"
    done
}

# demo_enter_lab NET SCRIPT [ARG...]: runs SCRIPT again inside the test bed, in place of this
# process: a private system bus with the fake login manager (and the fake polkit authority) on
# it and, with NET auto, a pair of network namespaces where this machine can make them. With
# DEMO_SERVICE=1 the bus enforces the service's bus policy as the machine's system bus would.
# The test bed stops and removes all of it once SCRIPT has ended, and ends with SCRIPT's status.
demo_enter_lab() {
    local net="$1" policy=()
    shift
    ((${DEMO_SERVICE:-0})) && policy=(--service-policy "$BUS_POLICY")
    exec "$PYTHON" "$TESTBED" run --build "$BUILD" --net "$net" --prefix norvahb-demo. \
        "${policy[@]}" -- bash "$@"
}

# demo_init: inside the test bed, the demo's folders and what the test bed made for it.
demo_init() {
    demo_in_lab || demo_die "demo_init runs inside the test bed only (demo_enter_lab)"
    DEMO_PIDS=()
    DEMO_SERVICE="${DEMO_SERVICE:-0}"
    NOTIFY_PID=""
    DEMO_DIR="$NORVA_TESTBED_DIR"
    trap demo_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM HUP
    CONFIG="$DEMO_DIR/config"
    RUNTIME="$DEMO_DIR/runtime"
    mkdir -m 700 "$CONFIG" "$RUNTIME"
    CALLS_LOG="$NORVA_POWER_LOG"
    PC_IP="$NORVA_PC_IP"
    DEVICE_IP="$NORVA_DEVICE_IP"
    PC_NS="${NORVA_PC_NS:-}"
    DEV_NS="${NORVA_DEV_NS:-}"
}

# Stops what this script started. The bus, the namespaces (and whatever still runs in them)
# and the folder belong to the test bed, which removes them once this script has ended.
demo_cleanup() {
    trap - EXIT INT TERM HUP
    local pid i
    for ((i = ${#DEMO_PIDS[@]} - 1; i >= 0; i--)); do
        kill -TERM "${DEMO_PIDS[i]}" 2>/dev/null || true
    done
    for ((i = 0; i < 50; i++)); do
        local alive=0
        for pid in "${DEMO_PIDS[@]}"; do
            kill -0 "$pid" 2>/dev/null && alive=1
        done
        ((alive)) || break
        sleep 0.1
    done
    for pid in "${DEMO_PIDS[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    DEMO_PIDS=()
}

# demo_stop PID: ends one process this script started (SIGTERM, SIGKILL after 10 s), before
# the end of the script.
demo_stop() {
    local pid="$1" i rest=()
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for i in "${DEMO_PIDS[@]}"; do
        [[ "$i" == "$pid" ]] || rest+=("$i")
    done
    DEMO_PIDS=("${rest[@]}")
}

demo_wait_for() { # demo_wait_for FILE REGEX SECONDS [PID]: true once a line of FILE matches
    local deadline=$((SECONDS + $3))
    while ((SECONDS <= deadline)); do
        grep -qE -- "$2" "$1" 2>/dev/null && return 0
        [[ -n "${4:-}" ]] && ! kill -0 "$4" 2>/dev/null && break
        sleep 0.1
    done
    grep -qE -- "$2" "$1" 2>/dev/null
}

HEARTBEAT_PORT=9100

# --- the display ------------------------------------------------------------------------

# Uses the desktop in DISPLAY or WAYLAND_DISPLAY; without one, starts Xvfb (and the tray host
# trayer when installed) and sets DEMO_XVFB=1.
demo_display() { # demo_display [WIDTHxHEIGHT]
    DEMO_XVFB=0
    if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
        return 0
    fi
    command -v Xvfb >/dev/null ||
        demo_die "NorvaHB needs a graphical desktop: log in to one (DISPLAY or WAYLAND_DISPLAY), or install xvfb for a virtual display"
    local n=99
    while [[ -e "/tmp/.X$n-lock" || -e "/tmp/.X11-unix/X$n" ]]; do
        n=$((n + 1))
    done
    export XAUTHORITY="$DEMO_DIR/Xauthority"
    : >"$XAUTHORITY"
    xauth -q -f "$XAUTHORITY" add ":$n" . "$(mcookie)"
    Xvfb ":$n" -auth "$XAUTHORITY" -nolisten tcp -screen 0 "${1:-1024x768}x24" \
        >"$DEMO_DIR/Xvfb.log" 2>&1 &
    DEMO_PIDS+=($!)
    export DISPLAY=":$n"
    # No session bus belongs to this display: keep D-Bus from launching one for it.
    export DBUS_SESSION_BUS_ADDRESS="disabled:"
    local i
    for ((i = 0; i < 100; i++)); do
        [[ -S "/tmp/.X11-unix/X$n" ]] && break
        kill -0 "${DEMO_PIDS[-1]}" 2>/dev/null || demo_die "Xvfb did not start: $(cat "$DEMO_DIR/Xvfb.log")"
        sleep 0.1
    done
    DEMO_XVFB=1
    # A window manager draws the title bars, where NorvaHB shows "Got Hello" and "DO restart".
    if command -v openbox >/dev/null; then
        openbox --sm-disable >"$DEMO_DIR/openbox.log" 2>&1 &
        DEMO_PIDS+=($!)
    fi
    DEMO_TRAY=0
    if command -v trayer >/dev/null; then
        trayer --edge bottom --align right --widthtype request --height 24 --transparent false \
            --tint 0xdcdcdc --SetDockType true >"$DEMO_DIR/trayer.log" 2>&1 &
        DEMO_PIDS+=($!)
        DEMO_TRAY=1
        # The tray must be there before NorvaHB starts, or NorvaHB decides it has no balloons.
        for ((i = 0; i < 50; i++)); do
            command -v xwininfo >/dev/null || { sleep 1 && break; }
            xwininfo -root -tree 2>/dev/null | grep -q '"panel"' && break
            sleep 0.1
        done
    fi
}

# --- settings, device and NorvaHB ---------------------------------------------------------

# demo_settings MODE: the settings file for MODE network or usb, a heartbeat every DEMO_FREQ
# seconds, the alert at the third miss, and the ten-second warning before a power action.
DEMO_FREQ=2
demo_settings() {
    local mode="$1"
    local network=0 usb=0 comport=None
    [[ "$mode" == network ]] && network=1
    [[ "$mode" == usb ]] && usb=1 && comport=COM7
    (
        umask 077
        cat >"$CONFIG/NorvaHB" <<INI
[Setup]
Network=$network
USB=$usb
IPAddr=$DEVICE_IP
Port=$HEARTBEAT_PORT
Freq=$DEMO_FREQ
FailCount=3
ComPort=$comport
comFreq=$DEMO_FREQ
comFail=3
StartInTray=0
ShowStatusInTray=1

[Run]
IsStarted=1

[GSD]
Username=Ostra
Password=ferno
AlertPedningAction=1
INI
    )
}

# demo_start_device MODE [ECHO]: starts norva-device in the background, reading its commands
# from a pipe (DEVICE_FD); its log is DEVICE_LOG, and with ECHO=1 also this terminal.
# DEVICE_ANSWER is the device command that makes it answer heartbeats again.
demo_start_device() {
    local mode="$1" echo="${2:-0}" cmd
    if [[ "$mode" == network ]]; then
        cmd=(ip netns exec "$DEV_NS" "$DEVICE" udp --bind "$DEVICE_IP:$HEARTBEAT_PORT")
        DEVICE_ANSWER=ack
    else
        cmd=("$DEVICE" serial --link "$CONFIG/NorvaHB-ports/COM7")
        DEVICE_ANSWER=whole
    fi
    DEVICE_LOG="$DEMO_DIR/device.log"
    : >"$DEVICE_LOG"
    mkfifo -m 600 "$DEMO_DIR/device.in"
    if ((echo)); then
        "${cmd[@]}" <"$DEMO_DIR/device.in" > >(tee -a "$DEVICE_LOG") 2>&1 &
    else
        "${cmd[@]}" <"$DEMO_DIR/device.in" >>"$DEVICE_LOG" 2>&1 &
    fi
    DEMO_PIDS+=($!)
    DEVICE_PID=$!
    exec {DEVICE_FD}>"$DEMO_DIR/device.in"
    demo_wait_for "$DEVICE_LOG" ' info (udp|serial) on ' 10 "$DEVICE_PID" ||
        demo_die "norva-device did not start: $(cat "$DEVICE_LOG")"
}

demo_device() { # demo_device LINE: one command line to the device
    printf '%s\n' "$1" >&"$DEVICE_FD"
}

# demo_send_command ACTION: the device's restart or shutdown command to NorvaHB's port 9100.
demo_command_line() { # prints the exact command for another terminal
    local sudo=""
    [[ -n "${SUDO_USER:-}" ]] && sudo="sudo "
    if [[ "$DEMO_MODE" == network ]]; then
        echo "${sudo}ip netns exec $DEV_NS $DEVICE command --host $PC_IP --action $1"
    else
        echo "$DEVICE command --host 127.0.0.1 --action $1"
    fi
}
demo_send_command() {
    if [[ "$DEMO_MODE" == network ]]; then
        ip netns exec "$DEV_NS" "$DEVICE" command --host "$PC_IP" --action "$1"
    else
        "$DEVICE" command --host 127.0.0.1 --action "$1"
    fi
}

# True once something listens on TCP 9100 in the network namespace of process PID.
demo_listening() { # demo_listening PID
    cat "/proc/$1/net/tcp" "/proc/$1/net/tcp6" 2>/dev/null |
        awk '$2 ~ /:238C$/ && $4 == "0A" { found = 1 } END { exit !found }'
}

demo_start_norvahb() {
    # Only what a desktop program needs passes; the system bus is the test bed's private one,
    # and the test bed's guard (exec-norvahb) starts NorvaHB on no other.
    local env=(env -i PATH="$PATH" HOME="${HOME:-/root}" LANG="${LANG:-C.UTF-8}"
        XDG_CONFIG_HOME="$CONFIG" XDG_RUNTIME_DIR="$RUNTIME"
        DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS")
    local name
    for name in DISPLAY XAUTHORITY XDG_SESSION_TYPE XDG_CURRENT_DESKTOP XDG_DATA_DIRS \
        DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM; do
        [[ -n "${!name:-}" ]] && env+=("$name=${!name}")
    done
    if [[ -n "${WAYLAND_DISPLAY:-}" && -z "${DISPLAY:-}" ]]; then
        # The runtime folder is the demo's own, so name the compositor's socket in full.
        local wayland="$WAYLAND_DISPLAY"
        [[ "$wayland" == /* ]] || wayland="${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/$wayland"
        env+=("WAYLAND_DISPLAY=$wayland")
    fi
    local cmd=("${env[@]}" "$PYTHON" "$TESTBED" exec-norvahb --lab "$NORVA_TESTBED_DIR")
    [[ "$DEMO_MODE" == network ]] && cmd+=(--netns "$PC_NS")
    cmd+=(-- "$NORVAHB")
    NORVAHB_LOG="$DEMO_DIR/norvahb.log"
    "${cmd[@]}" </dev/null >>"$NORVAHB_LOG" 2>&1 &
    DEMO_PIDS+=($!)
    NORVAHB_PID=$!
    if ((DEMO_SERVICE)); then
        # The front end binds nothing; it says once that it follows the service.
        demo_wait_for "$NORVAHB_LOG" 'this window follows it' 15 "$NORVAHB_PID" && return 0
        demo_die "NorvaHB did not become the service's front end:
$(tail -n 15 "$NORVAHB_LOG")"
    fi
    local i
    for ((i = 0; i < 150; i++)); do
        demo_listening "$NORVAHB_PID" && return 0
        kill -0 "$NORVAHB_PID" 2>/dev/null || break
        sleep 0.1
    done
    demo_die "NorvaHB did not start listening on TCP 9100:
$(tail -n 15 "$NORVAHB_LOG")"
}

# --- the service ----------------------------------------------------------------------------

# demo_polkit ANSWER: what the fake polkit authority answers the service from now on, for its
# two actions (Start, Stop and Clear; Apply and the test warning): allow or deny.
demo_polkit() {
    local file="$NORVA_POLKIT_ANSWERS"
    printf 'com.norva.NorvaHB1.control %s\ncom.norva.NorvaHB1.configure %s\n' "$1" "$1" \
        >"$file.new"
    # Renamed into place: the fake reads the file at every call, never half of it.
    mv -f "$file.new" "$file"
}

# demo_start_norvahbd: starts norvahbd as its unit does, in the PC's place: the settings file
# in its state folder (the unit's StateDirectory=, /var/lib/norvahb on a real machine), copied
# from the desktop's as the README tells a user to, COM pins included; the lock in its runtime
# folder (RuntimeDirectory=, /run/norvahb); no display, no session, no home; WATCHDOG_USEC as
# WatchdogSec=30 sets it; and a $NOTIFY_SOCKET the demo holds, on which it waits for READY=1.
# The test bed's guard (exec-norvahbd) starts it on the private bus only, beside the fake
# polkit authority. Can be called again after demo_stop "$NORVAHBD_PID"; the settings the
# service stored in the meantime stay.
demo_start_norvahbd() {
    SERVICE_STATE="$DEMO_DIR/norvahbd-state"
    SERVICE_RUNTIME="$DEMO_DIR/norvahbd-run"
    NORVAHBD_LOG="$DEMO_DIR/norvahbd.log"
    NOTIFY_LOG="$DEMO_DIR/norvahbd.notify"
    if [[ ! -d "$SERVICE_STATE" ]]; then
        mkdir -m 700 "$SERVICE_STATE" "$SERVICE_RUNTIME"
        (umask 077 && cp "$CONFIG/NorvaHB" "$SERVICE_STATE/NorvaHB")
        [[ -d "$CONFIG/NorvaHB-ports" ]] && cp -RP "$CONFIG/NorvaHB-ports" "$SERVICE_STATE/"
        demo_polkit allow
    fi
    if [[ -z "$NOTIFY_PID" ]]; then
        : >"$NOTIFY_LOG"
        "$PYTHON" "$TESTBED" notify-socket "$DEMO_DIR/notify" "$NOTIFY_LOG" &
        DEMO_PIDS+=($!)
        NOTIFY_PID=$!
        local i
        for ((i = 0; i < 100; i++)); do
            [[ -S "$DEMO_DIR/notify" ]] && break
            sleep 0.1
        done
        [[ -S "$DEMO_DIR/notify" ]] || demo_die "the notify socket was not made"
    fi
    local cmd=(env -i PATH="$PATH" LANG=C.UTF-8
        DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS"
        STATE_DIRECTORY="$SERVICE_STATE" RUNTIME_DIRECTORY="$SERVICE_RUNTIME"
        NOTIFY_SOCKET="$DEMO_DIR/notify" WATCHDOG_USEC=30000000
        "$PYTHON" "$TESTBED" exec-norvahbd --lab "$NORVA_TESTBED_DIR")
    [[ "$DEMO_MODE" == network ]] && cmd+=(--netns "$PC_NS")
    cmd+=(-- "$NORVAHBD" --settings "$SERVICE_STATE/NorvaHB"
        --lock "$SERVICE_RUNTIME/norvahbd.lock")
    "${cmd[@]}" </dev/null >>"$NORVAHBD_LOG" 2>&1 &
    DEMO_PIDS+=($!)
    NORVAHBD_PID=$!
    # exec-norvahbd keeps the process id: READY=1 from that process is the service's.
    demo_wait_for "$NOTIFY_LOG" "^pid=$NORVAHBD_PID READY=1( |\$)" 30 "$NORVAHBD_PID" ||
        demo_die "norvahbd did not report READY=1:
$(tail -n 15 "$NORVAHBD_LOG")"
}

# --- make demo ----------------------------------------------------------------------------

demo_main() {
    set -euo pipefail
    demo_paths "${1:-}"
    DEMO_SERVICE=0
    case "${NORVA_DEMO_MODE:-}" in
    "" | network | usb) ;;
    service) DEMO_SERVICE=1 && demo_need_service ;;
    *) demo_die "NORVA_DEMO_MODE is network, usb or service, not '$NORVA_DEMO_MODE'" ;;
    esac
    if ! demo_in_lab; then
        local net=no
        if [[ "$(id -u)" == 0 && "${NORVA_DEMO_MODE:-network}" != usb ]]; then
            if [[ -n "${DISPLAY:-}" && "${DISPLAY%%:*}" != "" && "${DISPLAY%%:*}" != unix ]]; then
                # A display reached over TCP (ssh -X) cannot be reached from another namespace.
                echo "demo: DISPLAY=$DISPLAY is a network display; using USB mode instead" >&2
            else
                net=auto
            fi
        fi
        demo_enter_lab "$net" "$0" "$@"
    fi
    demo_init

    DEMO_MODE=usb
    if [[ -n "$PC_NS" ]]; then
        DEMO_MODE=network
    elif [[ -n "${NORVA_NO_NET_REASON:-}" ]]; then
        echo "demo: cannot create network namespaces here ($NORVA_NO_NET_REASON); using USB mode instead" >&2
    fi
    if [[ "$DEMO_MODE" == usb ]] && command -v ss >/dev/null &&
        [[ -n "$(ss -Hltn 'sport = :9100' 2>/dev/null)" ]]; then
        demo_die "TCP port 9100 is in use on this machine (ss -ltnp 'sport = :9100'); NorvaHB needs it"
    fi
    if ((DEMO_SERVICE)) && [[ -z "${NORVA_POLKIT_ANSWERS:-}" ]]; then
        demo_die "the test bed runs no fake polkit authority, which the service needs"
    fi

    demo_display 1024x768
    demo_settings "$DEMO_MODE"
    demo_start_device "$DEMO_MODE" 1
    ((DEMO_SERVICE)) && demo_start_norvahbd
    demo_start_norvahb

    tail -n0 -F --pid=$$ "$CALLS_LOG" 2>/dev/null |
        sed -u 's/.*/   >> fake login manager recorded "&" (this machine keeps running)/' &
    DEMO_PIDS+=($!)
    if ((!DEMO_SERVICE)); then
        # NorvaHB's own diagnostic lines ("RESTART", "Bad Password", ...), as they come.
        tail -n +1 -F --pid=$$ "$NORVAHB_LOG" 2>/dev/null | sed -u 's/^/   >> /' &
        DEMO_PIDS+=($!)
    fi

    local where answer="$DEVICE_ANSWER" agent=NorvaHB title="NorvaHB demo ($DEMO_MODE mode)"
    if ((DEMO_SERVICE)); then
        agent=norvahbd
        title="NorvaHB demo (the service norvahbd and its front end, $DEMO_MODE mode)"
    fi
    agent="$agent$(printf '%*s' $((13 - ${#agent})) '')"
    if [[ "$DEMO_MODE" == network ]]; then
        where="${agent}$PC_IP in namespace $PC_NS, heartbeat every $DEMO_FREQ s to $DEVICE_IP UDP $HEARTBEAT_PORT
  norva-device $DEVICE_IP:$HEARTBEAT_PORT in namespace $DEV_NS, answering \"NorvaACK\""
    else
        where="${agent}USB mode, heartbeat every $DEMO_FREQ s on COM7 (a pseudo-terminal), commands on TCP 9100
  norva-device the other end of COM7, answering \"NorvaACK\""
    fi
    cat <<EOF

$title is running:
  $where
  power        a fake login manager on a private system bus: restart requests are only recorded
EOF
    if ((DEMO_SERVICE)); then
        cat <<EOF
  service      started as its unit starts it, READY=1 heard on its own notify socket
               settings $SERVICE_STATE/NorvaHB
               (the desktop's $CONFIG/NorvaHB copied there:
               user Ostra, password ferno, "Alert Pending Action" on)
               journal  $NORVAHBD_LOG
  front end    NorvaHB on the display found the service on the bus and follows it: no port,
               no heartbeat of its own; Start, Stop and Apply go to the service
  polkit       a fake polkit authority answers "allow" to Start/Stop/Clear and to Apply
EOF
    else
        cat <<EOF
  settings     $CONFIG/NorvaHB (user Ostra, password ferno, "Alert Pending Action" on)
EOF
    fi
    if ((DEMO_XVFB)); then
        cat <<EOF
  display      no desktop was found, so NorvaHB runs on a virtual X display ($DISPLAY, Xvfb)$(
                    ((DEMO_TRAY)) && echo " with a tray" || echo ", without a tray (install trayer)").
               To see it, take a screenshot (package imagemagick):
               DISPLAY=$DISPLAY XAUTHORITY=$XAUTHORITY import -window root /tmp/norvahb.png
EOF
    fi
    cat <<EOF

Type a device command here and press Enter:
  silent              stop answering: the 3rd miss turns the heart red and raises the alert
                      ("Your Norva is not responding to the Heartbeat"; a balloon once the
                      window is in the tray via File > Minimize to tray)
  $answer$(printf '%*s' $((20 - ${#answer})) '')answer again: green heart, counters rising
  help                the device's other commands
  command restart     send a restart command from the device (or: command shutdown)
  quit                end the demo (so does Ctrl-C); everything it started is removed
EOF
    if ((DEMO_SERVICE)); then
        cat <<EOF
and to the service:
  service stop        stop norvahbd: the window shows "service not running" and the grey heart
  service start       start it again: the window follows it again
  polkit deny         polkit refuses from now on: Start, Stop or Apply in the window shows one
                      box and changes nothing ("polkit allow" allows again)
EOF
    fi
    cat <<EOF
The same restart command from another terminal:
  $(demo_command_line restart)
It shows the ten-second warning, then the caption "DO restart", and the fake login manager
records "Reboot false".

EOF
    if ((DEMO_SERVICE)); then
        # The service's journal lines without their priority prefixes ("RESTART", "Bad
        # Password", the heartbeat's state, ...), and the front end's own, as they come.
        tail -n +1 -F --pid=$$ "$NORVAHBD_LOG" 2>/dev/null |
            sed -u 's/^<[0-7]>//; s/^/   >> norvahbd: /' &
        DEMO_PIDS+=($!)
        tail -n +1 -F --pid=$$ "$NORVAHB_LOG" 2>/dev/null | sed -u 's/^/   >> /' &
        DEMO_PIDS+=($!)
    fi

    local line status
    while kill -0 "$NORVAHB_PID" 2>/dev/null; do
        # A one-second time-out notices NorvaHB ending (File > Exit); a line being typed waits.
        status=0
        IFS= read -r -t 1 line || status=$?
        if ((status > 128)); then
            continue
        elif ((status != 0)); then
            [[ -t 0 ]] && break
            # No terminal (input from a pipe or /dev/null): run until NorvaHB ends or Ctrl-C.
            echo "(no more input: the demo runs until NorvaHB ends or Ctrl-C)"
            wait "$NORVAHB_PID" || true
            break
        fi
        if ((DEMO_SERVICE)) && demo_service_line "$line"; then
            continue
        fi
        case "$line" in
        quit | exit) break ;;
        "command restart" | "command shutdown") demo_send_command "${line#command }" || true ;;
        *) demo_device "$line" ;;
        esac
    done
    kill -0 "$NORVAHB_PID" 2>/dev/null || echo "NorvaHB has ended."
}

# demo_service_line LINE: carries out one of the service's commands of the demo; false when
# LINE is none of them (then it is the device's).
demo_service_line() {
    case "$1" in
    "service stop")
        if kill -0 "$NORVAHBD_PID" 2>/dev/null; then
            demo_stop "$NORVAHBD_PID"
            echo "norvahbd has stopped"
        else
            echo "norvahbd is not running"
        fi
        ;;
    "service start")
        if kill -0 "$NORVAHBD_PID" 2>/dev/null; then
            echo "norvahbd is running"
        else
            demo_start_norvahbd
            echo "norvahbd is ready again"
        fi
        ;;
    "polkit allow" | "polkit deny")
        demo_polkit "${1#polkit }"
        echo "polkit answers \"${1#polkit }\" from now on"
        ;;
    *) return 1 ;;
    esac
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    demo_main "$@"
fi
