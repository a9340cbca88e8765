#!/usr/bin/env bash
# Smoke test of the simulated device on loopback: usage errors, the UDP answers and device
# messages, the serial answers on a pseudo-terminal, and the command client against a stand-in
# for the PC's command port. Usage: test_norva_device.sh PATH/TO/norva-device
set -euo pipefail

DEVICE=${1:?usage: $0 PATH/TO/norva-device}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

expect_status() {
    local want=$1
    shift
    local got=0
    "$@" >/dev/null 2>&1 </dev/null || got=$?
    [[ $got == "$want" ]] || fail "'$*' exited $got, expected $want"
}

# Usage errors: one clear line on stderr, status 2.
expect_status 2 "$DEVICE"
expect_status 2 "$DEVICE" bogus
expect_status 2 "$DEVICE" udp
expect_status 2 "$DEVICE" udp --bind 127.0.0.1
expect_status 2 "$DEVICE" udp --bind 127.0.0.1:70000
expect_status 2 "$DEVICE" udp --bind 127.0.0.1:0 --answer late:soon
expect_status 2 "$DEVICE" udp --bind 127.0.0.1:0 --answer ack --script ack,nak
expect_status 2 "$DEVICE" serial --answer whole
expect_status 2 "$DEVICE" command --host 127.0.0.1 --action reboot
expect_status 2 "$DEVICE" command --host 127.0.0.1 --bogus
expect_status 0 "$DEVICE" --help
expect_status 0 "$DEVICE" udp --help
expect_status 0 "$DEVICE" serial --help
expect_status 0 "$DEVICE" command --help
[[ $("$DEVICE" udp --bind x 2>&1 >/dev/null | wc -l) == 1 ]] || fail "usage error not one line"

python3 - "$DEVICE" "$WORK" <<'PY'
import atexit, os, select, signal, socket, subprocess, sys, termios, threading, time, tty

device, work = sys.argv[1], sys.argv[2]

def check(cond, what):
    if not cond:
        sys.exit("FAIL: " + what)

started = []

@atexit.register
def stop_all():
    # A failed check leaves devices running (end of input alone does not stop them).
    for proc in started:
        if proc.poll() is None:
            proc.terminate()
            proc.wait(5)

def start(*args):
    proc = subprocess.Popen([device, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
    proc.pending = b""
    started.append(proc)
    return proc

def wait_line(proc, needle, timeout=5.0):
    # Lines are flushed one by one, so a pipe reader sees each as it happens. Read the raw
    # descriptor: a buffered reader would hide lines from select().
    end = time.monotonic() + timeout
    fd = proc.stdout.fileno()
    while True:
        while b"\n" in proc.pending:
            line, proc.pending = proc.pending.split(b"\n", 1)
            if needle in line.decode():
                return line.decode()
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            sys.exit("FAIL: no line with %r" % needle)
        chunk = os.read(fd, 4096)
        if not chunk:
            sys.exit("FAIL: output ended before a line with %r" % needle)
        proc.pending += chunk

def command(proc, text):
    proc.stdin.write(text + "\n")
    proc.stdin.flush()

# --- UDP: a script of answers, then device messages on command ---
udp = start("udp", "--bind", "127.0.0.1:0", "--script", "ack,silent,nak,late:200,text:NorvaACK\\n")
port = int(wait_line(udp, "info udp on").split("udp on ")[1].split(",")[0].split(":")[1])
pc = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
pc.bind(("127.0.0.1", 0))

def heartbeat(wait):
    pc.settimeout(wait)
    sent = time.monotonic()
    pc.sendto(b"NorvaHB", ("127.0.0.1", port))
    try:
        data, _ = pc.recvfrom(70000)
        return data, time.monotonic() - sent
    except socket.timeout:
        return None, wait

check(heartbeat(2)[0] == b"NorvaACK", "udp ack")
check(heartbeat(0.3)[0] is None, "udp silent")
check(heartbeat(2)[0] == b"NorvaNAK", "udp nak")
data, took = heartbeat(2)
check(data == b"NorvaACK" and took >= 0.19, "udp late answer")
check(heartbeat(2)[0] == b"NorvaACK\n", "udp text answer, repeated as the last entry")
check(heartbeat(2)[0] == b"NorvaACK\n", "udp last script entry repeats")
pc.settimeout(2)
command(udp, "shutdown")
check(pc.recvfrom(100)[0] == b"NorvaShutdown", "udp shutdown message to the last sender")
command(udp, "restart")
check(pc.recvfrom(100)[0] == b"NorvaRestart", "udp restart message")
pc.sendto(b"NorvaRB", ("127.0.0.1", port))
wait_line(udp, '"NorvaRB"')
command(udp, "big 3000")
wait_line(udp, "info answer big:3000")
check(len(heartbeat(2)[0]) == 3000, "udp big answer")
wait_line(udp, "(3000 bytes)")
command(udp, "quit")
check(udp.wait(5) == 0, "udp quit status")

# --- Serial: split answer in two writes, mode change, link removed on SIGTERM ---
link = os.path.join(work, "NorvaHB-ports", "COM7")
ser = start("serial", "--link", link, "--answer", "split")
wait_line(ser, "info serial on")
fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)

def serial_heartbeat():
    os.write(fd, b"NorvaHB")
    pieces = []
    while True:
        r, _, _ = select.select([fd], [], [], 0.3)
        if not r:
            return pieces
        pieces.append(os.read(fd, 100))

# The two halves may meet in one read on a busy machine; the device's log shows the writes.
check(b"".join(serial_heartbeat()) == b"NorvaACK", "serial split answer")
wait_line(ser, 'send "Norv"')
wait_line(ser, 'send "aACK"')
command(ser, "crlf")
wait_line(ser, "info answer crlf")
check(serial_heartbeat() == [b"NorvaACK\r\n"], "serial crlf answer")
command(ser, "silent")
wait_line(ser, "info answer silent")
check(serial_heartbeat() == [], "serial silent")
os.close(fd)
ser.send_signal(signal.SIGTERM)
check(ser.wait(5) == 0, "serial status after SIGTERM")
check(not os.path.lexists(link), "serial link removed")

# --- Command: a stand-in PC with 100 ms read cycles ---
srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
srv.bind(("127.0.0.1", 0))
srv.listen()
received = []

def serve():
    while True:
        conn, _ = srv.accept()
        conn.settimeout(0.1)
        while True:
            try:
                data = conn.recv(257)
            except socket.timeout:
                data = b""
            if not data:
                conn.close()
                break
            received.append(data)
            if data[0] == 0x68:
                if data.split(b"\0")[0] == b"hello-000":
                    conn.sendall(b"\0\0")
            elif data[1:22].split(b"\0")[0].lower() == b"ostra" and \
                    data[22:43].split(b"\0")[0] == b"ferno" and data[0] == 7 and data[43] in (1, 2):
                conn.sendall(b"\x01")

threading.Thread(target=serve, daemon=True).start()
cport = str(srv.getsockname()[1])

def run_command(*args):
    return subprocess.run([device, "command", "--host", "127.0.0.1", "--port", cport, *args],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)

r = run_command("--action", "shutdown")
check(r.returncode == 0 and "hello reply 00 00" in r.stdout and "ack 01" in r.stdout,
      "command accepted: " + r.stdout)
packet = received[-1]
check(len(packet) == 47 and packet[0] == 7 and packet[1:6] == b"Ostra" and packet[6:22] == bytes(16)
      and packet[22:27] == b"ferno" and packet[43] == 2 and packet[44:] == bytes(3),
      "command packet layout: " + packet.hex())
r = run_command("--password", "Ferno")
check(r.returncode == 1 and "ack:" in r.stdout, "command rejected: " + r.stdout)
r = run_command("--no-hello", "--repeat", "2")
check(r.returncode == 0 and r.stdout.count("ack 01") == 2, "command repeated: " + r.stdout)
srv.close()
PY

echo "norva-device smoke test passed"
