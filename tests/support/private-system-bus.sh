#!/usr/bin/env bash
# A private D-Bus "system" bus for tests, so that nothing ever talks to the machine's own.
#
#   private-system-bus.sh config DIR
#       Writes DIR/system-bus.conf: a system-type bus listening on DIR/system_bus_socket that
#       lets anyone own any name and call anything. Prints the config file's path. A test then
#       runs `dbus-daemon --config-file=... --nofork --print-address=1` itself.
#
#   private-system-bus.sh start [FAKE_LOGIN1 LOGFILE]
#       Starts such a bus in a new temporary folder and prints the line
#           export DBUS_SYSTEM_BUS_ADDRESS='unix:path=...'
#       followed by comment lines with the process ids and how to stop everything, so that
#       `eval "$(private-system-bus.sh start ...)"` works. With FAKE_LOGIN1 (the path of the
#       fake-login1 program) and LOGFILE, also starts it on the bus and waits until it owns
#       org.freedesktop.login1.
set -euo pipefail

die() {
    echo "private-system-bus: $*" >&2
    exit 1
}

write_config() { # write_config DIR -> prints the config path
    local dir
    dir="$(cd "$1" && pwd)"
    # The folder is put into XML and a D-Bus address as it is: keep it to plain characters.
    [[ "$dir" =~ ^[A-Za-z0-9/._-]+$ ]] || die "unsuitable folder name: $dir"
    cat >"$dir/system-bus.conf" <<XML
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow send_destination="*"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
XML
    echo "$dir/system-bus.conf"
}

case "${1:-}" in
config)
    [[ $# -eq 2 ]] || die "usage: $0 config DIR"
    mkdir -p "$2"
    write_config "$2"
    ;;
start)
    [[ $# -eq 1 || $# -eq 3 ]] || die "usage: $0 start [FAKE_LOGIN1 LOGFILE]"
    command -v dbus-daemon >/dev/null || die "dbus-daemon not found (Debian package dbus-daemon)"
    dir="$(mktemp -d "${TMPDIR:-/tmp}/norva-system-bus.XXXXXX")"
    conf="$(write_config "$dir")"
    dbus-daemon --config-file="$conf" --fork --print-address=3 --print-pid=4 \
        3>"$dir/address" 4>"$dir/pid" || die "dbus-daemon did not start"
    address="$(head -n1 "$dir/address")"
    bus_pid="$(head -n1 "$dir/pid")"
    [[ "$address" == "unix:path=$dir/"* ]] || die "unexpected bus address: $address"
    pids="$bus_pid"
    if [[ $# -eq 3 ]]; then
        DBUS_SYSTEM_BUS_ADDRESS="$address" nohup "$2" "$3" >"$dir/fake-login1.out" 2>&1 &
        fake_pid=$!
        pids="$fake_pid $bus_pid"
        for _ in $(seq 100); do
            grep -q '^ready$' "$dir/fake-login1.out" 2>/dev/null && break
            kill -0 "$fake_pid" 2>/dev/null || break
            sleep 0.1
        done
        grep -q '^ready$' "$dir/fake-login1.out" ||
            { cat "$dir/fake-login1.out" >&2; kill $pids 2>/dev/null; die "fake-login1 did not start"; }
    fi
    echo "export DBUS_SYSTEM_BUS_ADDRESS='$address'"
    echo "# dbus-daemon pid $bus_pid${fake_pid:+, fake-login1 pid $fake_pid}"
    echo "# stop with: kill $pids; rm -rf $dir"
    ;;
*)
    die "usage: $0 config DIR | start [FAKE_LOGIN1 LOGFILE]"
    ;;
esac
