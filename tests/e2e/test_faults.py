#!/usr/bin/env python3
"""Fault and bad-input tests of the real NorvaHB: abuse of the command port, a misbehaving
device, broken settings files and ports held by someone else. Whatever happens there, the
program keeps running, the heartbeat keeps its one-second schedule, and afterwards it still
does its work: it answers a hello and carries out a well-formed restart command once.

Usage: test_faults.py NORVAHB NORVA_DEVICE FAKE_LOGIN1 [unittest args]

Runs on the test bed (tests/testbed/norva_testbed.py) through the fixture of e2e_case.py, as
test_norvahb_e2e.py does: as root, two network namespaces per case, "the PC" with NorvaHB on
the offscreen platform and "the device" with norva-device, and a private system bus with
fake-login1 recording restart requests, so nothing can reach the machine's own login manager.
The clients that abuse the command port run inside the device namespace as
`test_faults.py --client MODE ...` and print one JSON line with what they saw; nothing is ever
sent outside the namespaces this suite made.
"""

import json
import os
import random
import re
import selectors
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from e2e_case import NorvaCase, gaps_ms, main, tb

THIS = os.path.abspath(__file__)
COMMAND_PORT = tb.COMMAND_PORT
USER, PASSWORD = "Ostra", "ferno"
HELLO = b"hello-000\0"

# The heartbeat tick may stray by this much from the second, measured on the device's clock;
# the device stamps its log to the millisecond, which adds one more.
GAP_TOLERANCE_MS = 10 + 1
STRAY_LIMIT_MS = 40


def restart_packet(user=USER, password=PASSWORD, command=1, kind=7):
    def field(text):
        return text.encode("latin-1")[:21].ljust(21, b"\0")
    return bytes([kind]) + field(user) + field(password) + bytes([command]) + b"\0\0\0"


# --- clients, run inside the device namespace ---------------------------------------------

def drain(sock, timeout):
    """Reads until the PC closes the connection: (bytes received, how it ended)."""
    data = b""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return data, "open"
        sock.settimeout(left)
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            return data, "open"
        except ConnectionResetError:
            return data, "reset"
        except OSError as e:
            return data, "error %d" % e.errno
        if not chunk:
            return data, "closed"
        data += chunk


def exchange(host, payloads, gaps=(), timeout=10):
    """One connection: sends each payload (with the gaps between them), then reads until the
    PC closes it. Returns {"reply": hex, "end": how it ended}."""
    sock = socket.create_connection((host, COMMAND_PORT), timeout=10)
    try:
        for i, payload in enumerate(payloads):
            sock.sendall(payload)
            if i < len(gaps):
                time.sleep(gaps[i])
        data, end = drain(sock, timeout)
    except (BrokenPipeError, ConnectionResetError):
        data, end = b"", "reset"
    finally:
        sock.close()
    return {"reply": data.hex(), "end": end}


def client_random(host, seed, count):
    """`count` connections, 20 at a time, each sending one to four blobs of random bytes."""
    def one(i):
        rng = random.Random(seed * 10000 + i)
        blobs = [rng.randbytes(rng.randint(1, 1500)) for _ in range(rng.randint(1, 4))]
        # Well within the PC's 100 ms read cycle, so the connection stays up between blobs.
        gaps = [rng.uniform(0, 0.04) for _ in blobs]
        return exchange(host, blobs, gaps)
    with ThreadPoolExecutor(20) as pool:
        return list(pool.map(one, range(count)))


def client_big(host, size):
    """A hello followed by filler, and random bytes: `size` bytes each, in one send."""
    filler = HELLO + b"x" * (size - len(HELLO))
    noise = random.Random(100).randbytes(size)
    return [exchange(host, [filler]), exchange(host, [noise])]


def client_long_hello(host, size):
    """Hellos of `size` bytes: ended by a zero byte, not ended, and all 'h'."""
    ended = HELLO + b"x" * (size - len(HELLO))
    unended = b"hello-000" + b"x" * (size - 9)
    return [exchange(host, [m]) for m in (ended, unended, b"h" * size)]


def client_cut(host):
    """A restart packet cut to every length from 1 to 46, each on its own connection, 16 at a
    time: within one address's share of connections, which would close the rest at once."""
    packet = restart_packet()
    with ThreadPoolExecutor(16) as pool:
        return list(pool.map(lambda n: exchange(host, [packet[:n]]), range(1, 47)))


def client_slow(host, seconds, interval):
    """The bytes of a restart packet, one at a time, `interval` seconds apart, for `seconds`;
    a connection the PC closes is opened again."""
    packet = restart_packet()
    started = time.monotonic()
    sent, connections, reply, closes = 0, 0, b"", []
    sock = None
    while time.monotonic() - started < seconds:
        if sock is None:
            sock = socket.create_connection((host, COMMAND_PORT), timeout=5)
            connections += 1
        try:
            sock.send(packet[sent % len(packet):][:1])
            sent += 1
            sock.setblocking(False)
            try:
                chunk = sock.recv(4096)
                if not chunk:
                    raise ConnectionResetError
                reply += chunk
            except BlockingIOError:
                pass
            sock.setblocking(True)
        except (ConnectionResetError, BrokenPipeError):
            closes.append(round(time.monotonic() - started, 2))
            sock.close()
            sock = None
        next_at = started + sent * interval
        time.sleep(max(0.0, next_at - time.monotonic()))
    if sock is not None:
        sock.close()
    return {"sent": sent, "connections": connections, "reply": reply.hex(), "closes": closes}


def client_flood(host, count, hold, wave=0, pause=0.0, source=""):
    """Opens `count` connections (from the address `source`, if given), all at once or in
    waves of `wave` every `pause` seconds. Each sends a hello and then, until `hold` seconds
    from the start, one 'h' every 60 ms (an unknown hello, which is not answered) so the PC
    keeps it; then all go quiet and the PC closes them."""
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, count + 256)), hard))
    sel = selectors.DefaultSelector()
    conns = {}
    started = time.monotonic()
    wave = wave or count
    live = 0

    def open_wave():
        nonlocal live
        for _ in range(min(wave, count - len(conns))):
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            if source:
                sock.bind((source, 0))
            sock.setblocking(False)
            sock.connect_ex((host, COMMAND_PORT))
            conns[sock] = {"state": "connecting", "reply": b"", "end": None}
            sel.register(sock, selectors.EVENT_WRITE)
            live += 1

    def end(sock, how):
        nonlocal live
        conns[sock]["state"] = "ended"
        conns[sock]["end"] = how
        sel.unregister(sock)
        sock.close()
        live -= 1

    open_wave()
    next_wave = started + pause
    next_drip = started + 0.06
    deadline = started + hold + 40
    while (live or len(conns) < count) and time.monotonic() < deadline:
        now = time.monotonic()
        if len(conns) < count and now >= next_wave:
            open_wave()
            next_wave = now + pause
        wait = min(0.05, next_drip - now, next_wave - now if len(conns) < count else 0.05)
        for key, _ in sel.select(max(0.0, wait)):
            sock = key.fileobj
            c = conns[sock]
            if c["state"] == "connecting":
                err = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if err:
                    end(sock, "connect error %d" % err)
                    continue
                try:
                    sock.send(HELLO)
                except OSError:
                    end(sock, "reset")
                    continue
                c["state"] = "open"
                sel.modify(sock, selectors.EVENT_READ)
                continue
            try:
                chunk = sock.recv(4096)
            except BlockingIOError:
                continue
            except OSError:
                end(sock, "reset")
                continue
            if chunk:
                c["reply"] += chunk
            else:
                end(sock, "closed")
        now = time.monotonic()
        if now >= next_drip:
            next_drip = now + 0.06
            if now - started < hold:
                for sock, c in conns.items():
                    if c["state"] == "open":
                        try:
                            sock.send(b"h")
                        except OSError:
                            pass  # seen as a reset by the next read
    for sock, c in conns.items():
        if c["state"] != "ended":
            sock.close()
    return {
        "served": sum(1 for c in conns.values() if c["reply"].startswith(b"\0\0")),
        "refused": sum(1 for c in conns.values() if c["end"] and not c["reply"]),
        "unresolved": count - sum(1 for c in conns.values() if c["state"] == "ended"),
        "odd_replies": sorted({c["reply"].hex() for c in conns.values()} - {"", "0000"}),
        "seconds": round(time.monotonic() - started, 1),
    }


def client_reset(host, seed, count):
    """`count` connections that the client resets (SO_LINGER 0) in the middle of a message:
    right after connecting, in a hello, in a command before its command byte, in random
    bytes, or while the PC writes its hello reply."""
    packet = restart_packet()

    def one(i):
        rng = random.Random(seed * 10000 + i)
        data = [b"", b"hello-0", packet[:rng.randint(1, 43)],
                rng.randbytes(rng.randint(1, 3000)), HELLO][i % 5]
        sock = socket.create_connection((host, COMMAND_PORT), timeout=5)
        try:
            if data:
                sock.sendall(data)
            time.sleep(rng.choice((0, 0, 0.005, 0.03)))
        except OSError:
            pass
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()
        return len(data)
    with ThreadPoolExecutor(10) as pool:
        return {"connections": len(list(pool.map(one, range(count))))}


def client_guess(host, source, seconds, parallel):
    """Wrong passwords from the address `source` for `seconds`, as fast as `parallel`
    connections at a time get them out: each connects, sends one packet, half-closes and
    waits for the PC to close, then starts over. One packet per connection, so none shares a
    read cycle with another."""
    packet = restart_packet(password="wrong")
    deadline = time.monotonic() + seconds

    def one(_):
        sent = 0
        while time.monotonic() < deadline:
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            try:
                sock.bind((source, 0))
                sock.settimeout(5)
                sock.connect((host, COMMAND_PORT))
                sock.sendall(packet)
                sock.shutdown(socket.SHUT_WR)
                drain(sock, 5)
                sent += 1
            except OSError:
                pass  # closed at once: over the address's share of connections
            finally:
                sock.close()
        return sent
    with ThreadPoolExecutor(parallel) as pool:
        return {"sent": sum(pool.map(one, range(parallel)))}


def client_wrong(host, sources):
    """One wrong password from each of the comma-separated addresses `sources` in turn, each
    on a connection of its own that ends once the PC has read it: when this returns, the PC
    has checked or dropped every packet. `host` is the PC's address, or "IPv4|IPv6" for
    sources of both families."""
    packet = restart_packet(password="wrong")
    hosts = host.split("|")
    for source in sources.split(","):
        v6 = ":" in source
        with socket.socket(socket.AF_INET6 if v6 else socket.AF_INET, socket.SOCK_STREAM) as sock:
            sock.bind((source, 0))
            sock.settimeout(5)
            sock.connect((hosts[-1] if v6 else hosts[0], COMMAND_PORT))
            sock.sendall(packet)
            sock.shutdown(socket.SHUT_WR)
            drain(sock, 5)
    return {"sent": len(sources.split(","))}


def client_hold(kind, port):
    """Holds a port in this namespace until standard input closes."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM if kind == "tcp" else
                         socket.SOCK_DGRAM)
    sock.bind(("0.0.0.0", int(port)))
    if kind == "tcp":
        sock.listen(1)
    print("ready", flush=True)
    sys.stdin.read()
    return {}


CLIENTS = {
    "random": lambda host, seed, count: client_random(host, int(seed), int(count)),
    "big": lambda host, size: client_big(host, int(size)),
    "long-hello": lambda host, size: client_long_hello(host, int(size)),
    "cut": client_cut,
    "slow": lambda host, seconds, interval: client_slow(host, float(seconds), float(interval)),
    "flood": lambda host, count, hold, wave=0, pause=0, source="": client_flood(
        host, int(count), float(hold), int(wave), float(pause), source),
    "guess": lambda host, source, seconds, parallel: client_guess(
        host, source, float(seconds), int(parallel)),
    "reset": lambda host, seed, count: client_reset(host, int(seed), int(count)),
    "wrong": client_wrong,
    "hold": client_hold,
}


def client_main(args):
    print(json.dumps(CLIENTS[args[0]](*args[1:])), flush=True)


# --- what the suite reads of the running program ------------------------------------------

def proc_status(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def connections_from(pid, address):
    """The command connections from the IPv4 `address` that process `pid` holds open: the
    inodes of its socket descriptors whose connection, in the kernel's table, runs from that
    address to the command port. (Connections still in the listen queue are not the program's
    yet.)"""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    remote = socket.inet_aton(address)[::-1].hex().upper()
    held = set()
    with open("/proc/%d/net/tcp" % pid) as f:
        for row in f.read().splitlines()[1:]:
            cols = row.split()
            if (cols[1].endswith(":%04X" % COMMAND_PORT) and cols[2].startswith(remote + ":")
                    and cols[3] == "01" and cols[9] in inodes):
                held.add(cols[9])
    return held


def connections_kept(pid, address, apart=0.1):
    """How many command connections from `address` process `pid` held both now and `apart`
    seconds later: those it serves, not those it accepts and closes at once."""
    before = connections_from(pid, address)
    time.sleep(apart)
    return len(before & connections_from(pid, address))


def network_settings(port, **extra):
    settings = {
        "Setup": {"IPAddr": tb.DEVICE_IP, "Port": port, "Freq": 1, "FailCount": 3,
                  "Network": 1, "USB": 0},
        "Run": {"IsStarted": 1},
        "GSD": {"Username": USER, "Password": PASSWORD, "AlertPedningAction": 0},
    }
    for section, keys in extra.items():
        settings.setdefault(section, {}).update(keys)
    return settings


class FaultCase(NorvaCase):
    PORT = 19100

    # --- helpers ------------------------------------------------------------------------

    def client(self, *args, timeout=90):
        """Runs one client in the device namespace and returns what it printed."""
        cmd = self.net.in_device([sys.executable, THIS, "--client"] + [str(a) for a in args])
        r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           timeout=timeout)
        if r.returncode != 0 or not r.stdout.strip():
            self.fail("client %r failed (%s):\n%s" % (args, r.returncode, r.stderr[-3000:]))
        return json.loads(r.stdout.strip().splitlines()[-1])

    def hold_port(self, kind, port):
        """A socket of the test's own on `port` in the PC namespace, until the test ends."""
        proc, log = self.start_helper([sys.executable, THIS, "--client", "hold", kind,
                                       str(port)], "hold", "pc", stdin=subprocess.PIPE)
        if not log.wait_for(r"^ready$", 10, alive=proc):
            self.fail("could not hold %s port %d:\n%s" % (kind, port, log.text()))
        return proc

    def start_network_pc(self, answer="ack", **extra):
        """The device answering heartbeats, and NorvaHB sending them every second."""
        self.write_settings(network_settings(self.PORT, **extra))
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (tb.DEVICE_IP, self.PORT),
                                          "--answer", answer])
        proc, err = self.start_norvahb()
        self.wait_heartbeats(dlog, 2, 10, proc=proc)
        return device, dlog, proc, err

    def check_gaps(self, beats, what, outage=False):
        """The heartbeats of `beats` keep to the one-second tick: each leaves within the
        tolerance of its tick, so the gaps are 1000 ms within it. On this shared two-core
        machine another process now and then holds a beat back a little longer; one beat in
        five (at least one) may stray up to STRAY_LIMIT_MS, and is reported. With `outage`,
        beats may be missing between them, but those that come stay on the tick. Returns the
        gaps in ms."""
        gaps = gaps_ms([t for _, t, _ in beats])
        ticks = [max(1, round(g / 1000)) for g in gaps]
        if not outage:
            self.assertEqual(ticks, [1] * len(gaps), "%s: a heartbeat is missing or late by "
                             "most of a second; gaps in ms: %r" % (what, gaps))
        # Where each beat left, relative to its tick, which is where most beats left.
        offsets = [0]
        for gap, tick in zip(gaps, ticks):
            offsets.append(offsets[-1] + gap - 1000 * tick)
        tick = sorted(offsets)[len(offsets) // 2]
        off = [o - tick for o in offsets]
        strays = [ms for ms in off if abs(ms) > GAP_TOLERANCE_MS]
        self.assertTrue(all(abs(ms) <= STRAY_LIMIT_MS for ms in off) and
                        len(strays) <= max(1, len(off) // 5),
                        "%s: heartbeats off their one-second tick by %r ms (allowed %d, one "
                        "beat in five up to %d); gaps in ms: %r"
                        % (what, off, GAP_TOLERANCE_MS, STRAY_LIMIT_MS, gaps))
        if strays:
            print("\n  %s: beats off the tick by %r ms (machine busy); gaps %r ms"
                  % (what, strays, gaps), file=sys.stderr)
        return gaps

    def answers_hello(self, proc, err, timeout=15):
        """The program answers a hello with 00 00 within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            status, out = self.send_command("--repeat", "0", "--timeout", "3000")
            if status == 0:
                return
            if time.monotonic() > deadline or proc.poll() is not None:
                self.fail("no answer to a hello (status %s, NorvaHB %s):\n%s\nNorvaHB:\n%s"
                          % (status, proc.poll(), out, err.tail()))
            time.sleep(0.2)

    def restart_is_carried_out(self, proc, err):
        """A well-formed restart command is acknowledged with 01 and reaches the login
        manager exactly once."""
        self.lab.clear_power_calls()
        status, out = self.send_command("--action", "restart", "--timeout", "3000")
        self.assertIn("ack 01", out, "restart not acknowledged:\n%s\nNorvaHB:\n%s"
                      % (out, err.tail()))
        self.assertEqual(status, 0, out)
        self.assertTrue(self.lab.power_log.wait_for(r"^Reboot false$", 10),
                        "the restart did not reach the login manager; calls %r\nNorvaHB:\n%s"
                        % (self.lab.power_calls(), err.tail()))
        # A duplicate would follow at once; give it a moment.
        time.sleep(0.3)
        self.assertEqual(self.lab.power_calls(), ["Reboot false"])
        self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())

    def connections_gone(self, proc, fds_before, threads_before, timeout=10):
        """Every command connection has been closed on the PC's side, its descriptor given
        back and its thread ended."""
        deadline = time.monotonic() + timeout
        while True:
            states = [s for s in tb.command_port_states(proc.pid)
                      if s not in ("LISTEN", "TIME_WAIT")]
            fds = fd_count(proc.pid)
            threads = proc_status(proc.pid, "Threads")
            if not states and fds <= fds_before and threads <= threads_before:
                return
            if time.monotonic() > deadline:
                self.fail("command connections left on the PC's side %ds after the abuse: "
                          "sockets %r, %d descriptors open (%d before), %d threads (%d before)"
                          % (timeout, states, fds, fds_before, threads, threads_before))
            time.sleep(tb.POLL)


class CommandPortAbuse(FaultCase):
    """Abuse of TCP 9100 from the device's address while the network heartbeat runs at one
    second against the device. Each test checks the same three things afterwards: the
    heartbeat never left its schedule, every connection was cleaned up, and a well-formed
    restart command still works, once.

    The lockout is off here (LockoutFailures=0): with it, the fifth bad packet would lock the
    address out and every later one would be dropped unread, so the garbage would no longer
    reach the decoding and the checks that these tests are about, and the device's own restart
    afterwards would be ignored for five minutes. CommandPortGuard tests the lockout."""

    def setUp(self):
        super().setUp()
        self.device, self.dlog, self.proc, self.err = self.start_network_pc(
            GSD={"LockoutFailures": 0})
        self.threads_before = proc_status(self.proc.pid, "Threads")
        self.fds_before = fd_count(self.proc.pid)

    def survives(self, abuse, power_calls=()):
        """Runs `abuse` and returns its result, then checks that nothing was lost."""
        first = len(self.heartbeats(self.dlog)) - 1
        started = time.monotonic()
        result = abuse()
        took = time.monotonic() - started
        self.assertIsNone(self.proc.poll(), "NorvaHB ended:\n" + self.err.tail())
        # Two more heartbeats after the abuse, and the schedule over all of it.
        seen = len(self.heartbeats(self.dlog))
        self.wait_heartbeats(self.dlog, seen + 2, 10, proc=self.proc)
        beats = self.heartbeats(self.dlog)[first:]
        gaps = self.check_gaps(beats, self._testMethodName)
        print("\n  %.1f s of abuse, %d heartbeat gaps %d..%d ms"
              % (took, len(gaps), min(gaps), max(gaps)), file=sys.stderr)
        self.connections_gone(self.proc, self.fds_before, self.threads_before)
        self.assertEqual(self.lab.power_calls(), list(power_calls),
                         "unexpected requests to the login manager")
        self.restart_is_carried_out(self.proc, self.err)
        return result

    def test_random_bytes(self):
        results = self.survives(lambda: self.client("random", tb.PC_IP, 1, 100))
        self.assertEqual([r["reply"] for r in results if r["reply"]], [],
                         "random bytes were answered")
        # A blob that comes late on a busy machine meets a connection the PC has already
        # closed, and is answered by a reset; what must not happen is a connection left open.
        self.assertLessEqual({r["end"] for r in results}, {"closed", "reset"},
                             "connections not closed by the PC after 100 ms of silence")

    def test_message_of_100_kilobytes(self):
        hello, noise = self.survives(lambda: self.client("big", tb.PC_IP, 100 * 1024))
        # The PC reads in cycles of at most 32 kB, each one message: the first starts with
        # the hello and is answered, the rest (and all of the noise) are command packets
        # that fail the user name check and get nothing.
        self.assertEqual(hello, {"reply": "0000", "end": "closed"})
        self.assertEqual(noise, {"reply": "", "end": "closed"})

    def test_hello_of_2000_bytes(self):
        ended, unended, all_h = self.survives(lambda: self.client("long-hello", tb.PC_IP,
                                                                  2000))
        self.assertEqual(ended, {"reply": "0000", "end": "closed"},
                         "a hello ended by a zero byte must be answered, whatever follows")
        self.assertEqual(unended, {"reply": "", "end": "closed"})
        self.assertEqual(all_h, {"reply": "", "end": "closed"})

    def test_packet_cut_at_every_length(self):
        # From 44 bytes on, the packet holds every field the PC reads (bytes 44 to 46 are
        # never read), so those three restarts are carried out; shorter ones get nothing.
        results = self.survives(lambda: self.client("cut", tb.PC_IP),
                                power_calls=["Reboot false"] * 3)
        replies = {n: r["reply"] for n, r in enumerate(results, 1)}
        self.assertEqual({n: v for n, v in replies.items() if v},
                         {44: "01", 45: "01", 46: "01"})
        self.assertEqual({r["end"] for r in results}, {"closed"})

    def test_one_byte_every_90_ms(self):
        # 15 seconds of it, not a minute: that is already 15 heartbeats and about 170 read
        # cycles, and longer would only cost the suite's time.
        result = self.survives(lambda: self.client("slow", tb.PC_IP, 15, 0.09))
        print("  %d bytes over %d connection(s); closed by the PC at %r s"
              % (result["sent"], result["connections"], result["closes"]), file=sys.stderr)
        self.assertEqual(result["reply"], "",
                         "bytes arriving one per read cycle were put together into a message")
        self.assertGreater(result["sent"], 150)

    def flood(self, *args):
        """Runs the flood client with `args`; returns what it saw and the most connection
        threads the program ran at once (its thread count, sampled while the flood lasts)."""
        peak = [self.threads_before]
        done = threading.Event()

        def sample():
            while not done.is_set():
                try:
                    peak[0] = max(peak[0], proc_status(self.proc.pid, "Threads"))
                except (OSError, KeyError):
                    return
                time.sleep(0.01)

        def flood():
            sampler = threading.Thread(target=sample)
            sampler.start()
            try:
                return self.client("flood", tb.PC_IP, *args)
            finally:
                done.set()
                sampler.join()

        result = self.survives(flood)
        print("  %r; at most %d connection threads at once"
              % (result, peak[0] - self.threads_before), file=sys.stderr)
        self.assertEqual(result["unresolved"], 0, result)
        self.assertEqual(result["odd_replies"], [], result)
        self.assertGreater(result["served"], 0, result)
        return result, peak[0] - self.threads_before

    def test_1000_connections_at_once(self):
        # With its listen backlog of 15, the kernel itself drops or resets most of such a
        # burst, so the program sees only part of it at once; what it does see must neither
        # pass the cap nor be left hanging.
        result, threads = self.flood(1000, 3)
        self.assertEqual(result["served"] + result["refused"], 1000, result)
        self.assertLessEqual(threads, 256, "more connection threads than the cap allows")

    def test_connections_over_the_share(self):
        # 320 connections from the one address, opened at the pace the backlog takes and all
        # held open: its share of 32 is served, the rest are closed at once without an answer.
        # (The cap of 256 for all addresses together is the listener's own test's.)
        result, threads = self.flood(320, 4, 8, 0.03)
        self.assertEqual(threads, 32, "the share of 32 connections per address was not what "
                         "held")
        self.assertGreaterEqual(result["refused"], 320 - 32 - 8, result)
        self.assertEqual(result["served"] + result["refused"], 320, result)

    def test_connections_reset_mid_message(self):
        self.survives(lambda: self.client("reset", tb.PC_IP, 3, 200))


class CommandPortGuard(FaultCase):
    """A guesser at a second address of the device's namespace, against the guards of the
    command port: it gets five passwords checked and is then ignored, its connections are held
    to its share, and the device at its own address still commands."""

    GUESSER = tb.DEVICE_OTHER_IP

    def setUp(self):
        super().setUp()
        self.net.add_device_address(self.GUESSER)

    def start_pc(self, **gsd):
        self.write_settings({"GSD": dict(Username=USER, Password=PASSWORD, AlertPedningAction=0,
                                         **gsd)})
        return self.start_norvahb()

    def start_client(self, *args):
        """One client in the device namespace, running on while the test goes on."""
        return subprocess.Popen(self.net.in_device([sys.executable, THIS, "--client"] +
                                                   [str(a) for a in args]),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)

    def client_result(self, proc, timeout=60):
        out, err = proc.communicate(timeout=timeout)
        if proc.returncode != 0 or not out.strip():
            self.fail("client failed (%s):\n%s" % (proc.returncode, err[-3000:]))
        return json.loads(out.strip().splitlines()[-1])

    def device_restarts(self, proc, err):
        """The device's restart command is acknowledged and reaches the login manager once."""
        status, out = self.send_command("--action", "restart", "--timeout", "3000")
        self.assertIn("ack 01", out, "restart not acknowledged:\n%s\nNorvaHB:\n%s"
                      % (out, err.tail()))
        self.assertEqual(status, 0, out)
        self.assertTrue(self.lab.power_log.wait_for(r"^Reboot false$", 10),
                        "the restart did not reach the login manager; calls %r\nNorvaHB:\n%s"
                        % (self.lab.power_calls(), err.tail()))
        self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())

    def test_guesser_locked_out_while_the_device_commands(self):
        proc, err = self.start_pc()
        guesser = self.start_client("guess", tb.PC_IP, self.GUESSER, 6, 8)
        locked = "NorvaHB: Command port: %s/32 locked out for 300 s after 5 rejected commands " \
                 "in 60 s" % self.GUESSER
        self.assertTrue(err.wait_for("^" + re.escape(locked) + "$", 10, alive=proc),
                        "no lockout:\n" + err.tail())
        # Now 300 more connections from the guesser, held open, beside its guessing: it keeps
        # its share of 32 and the rest are closed at once, so the device still gets in. They
        # come in waves, since the guessing keeps the listen queue busy and a burst would
        # mostly wait for the kernel's retries.
        flood = self.start_client("flood", tb.PC_IP, 300, 5, 16, 0.02, self.GUESSER)
        peak = [0]
        done = threading.Event()

        def sample():
            while not done.is_set():
                peak[0] = max(peak[0], connections_kept(proc.pid, self.GUESSER))
        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            # The device commands once the guesser holds its share (the kernel lets a burst of
            # connections in only as fast as the listen queue takes them).
            deadline = time.monotonic() + 4
            while (connections_kept(proc.pid, self.GUESSER, 0.02) < 16
                   and time.monotonic() < deadline):
                pass
            held = connections_kept(proc.pid, self.GUESSER, 0.02)
            self.device_restarts(proc, err)
            guessed = self.client_result(guesser)
            flooded = self.client_result(flood)
        finally:
            done.set()
            sampler.join()
        time.sleep(0.3)  # a duplicate restart would follow at once
        self.assertEqual(self.lab.power_calls(), ["Reboot false"])

        lines = err.lines()
        print("\n  guesser: %d wrong passwords sent; flood: %r; connections held: %d when the "
              "device commanded, %d at most; %d lines logged"
              % (guessed["sent"], flooded, held, peak[0], len(lines)), file=sys.stderr)
        self.assertLessEqual(peak[0], 32, "the guesser held more than its share of connections")
        self.assertGreaterEqual(held, 16, "the flood never got to hold its share")
        self.assertGreater(guessed["sent"], 100, "the guesser hardly got going")
        self.assertEqual(flooded["unresolved"], 0, flooded)
        self.assertEqual(flooded["served"], 0, "a locked-out address got a hello answered")
        # Five guesses were checked, every one after them dropped unchecked, with one line for
        # the lockout and one for the device's command; the counts wait for the sweep.
        self.assertEqual(lines.count("NorvaHB: Bad Password"), 5, err.tail())
        self.assertEqual(lines.count(locked), 1)
        self.assertEqual(lines.count("NorvaHB: Command port: restart from %s" % tb.DEVICE_IP), 1)
        self.assertTrue(err.wait_for(r"^NorvaHB: Command port: %s/32: rejected commands \(wrong "
                                     r"user name or password\): 5$" % re.escape(self.GUESSER),
                                     5, alive=proc), err.tail())
        guard_lines = [l for l in err.lines() if l.startswith("NorvaHB: Command port:")]
        self.assertLessEqual(len(guard_lines), 4, guard_lines)

    # An IPv6 /64 on the link, for a guesser that owns many addresses of it.
    V6_PC = "fd00:0:0:1::1"
    V6_GUESSER = ["fd00:0:0:1::1:%x" % n for n in range(1, 7)]

    def add_v6_link(self):
        tb.must(["ip", "-n", self.net.pc_ns, "addr", "add", self.V6_PC + "/64", "dev",
                 self.net.pc_if, "nodad"], "adding the PC's IPv6 address")
        for address in self.V6_GUESSER:
            tb.must(["ip", "-n", self.net.dev_ns, "addr", "add", address + "/64", "dev",
                     self.net.dev_if, "nodad"], "adding %s to the device" % address)

    def wrong(self, in_ns, host, sources):
        out = subprocess.run(in_ns([sys.executable, THIS, "--client", "wrong", host,
                                    ",".join(sources)]),
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])

    @staticmethod
    def count_lines(err, line, expected, timeout=5):
        """How many times `line` is in the log once `expected` have come (standard error is
        read as it comes) or the time is up, and a moment more for one too many."""
        deadline = time.monotonic() + timeout
        while err.lines().count(line) < expected and time.monotonic() < deadline:
            time.sleep(tb.POLL)
        time.sleep(0.2)
        return err.lines().count(line)

    def test_rotating_addresses_of_one_group_get_five_checks(self):
        """A guesser that owns many addresses of one group, an IPv6 /64 on the link or all of
        loopback, gets five passwords checked in all, whichever of them it sends from;
        another group is still checked."""
        self.add_v6_link()
        proc, err = self.start_pc()
        bad = "NorvaHB: Bad Password"
        checked = 0
        cases = (
            ("/64", self.net.in_device, self.V6_PC, "fd00:0:0:1::/64",
             self.V6_GUESSER[:5], self.V6_GUESSER[5]),
            ("loopback", self.net.in_pc, "127.0.0.1|::1", "127.0.0.0/8",
             ["127.0.0.5", "127.1.2.3", "127.200.0.9", "127.0.0.6", "::1"], "127.9.9.9"),
        )
        for name, in_ns, host, group, five, sixth in cases:
            with self.subTest(name):
                self.wrong(in_ns, host, five)
                checked += 5
                self.assertEqual(self.count_lines(err, bad, checked), checked, err.tail())
                locked = ("NorvaHB: Command port: %s locked out for 300 s after 5 rejected "
                          "commands in 60 s" % group)
                self.assertTrue(err.wait_for("^" + re.escape(locked) + "$", 5, alive=proc),
                                err.tail())
                # A sixth address of the group is dropped unchecked...
                self.wrong(in_ns, host, [sixth])
                # ...while the device's own group is still checked; its packet goes after
                # the sixth, so a check of the sixth would show as a line too many.
                self.wrong(self.net.in_device, tb.PC_IP, [tb.DEVICE_IP])
                checked += 1
                self.assertEqual(self.count_lines(err, bad, checked), checked, err.tail())
                self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())

    def test_accept_from_refuses_others_unchecked(self):
        proc, err = self.start_pc(AcceptFrom=tb.DEVICE_IP)
        guesser = self.start_client("guess", tb.PC_IP, self.GUESSER, 2, 4)
        self.device_restarts(proc, err)
        guessed = self.client_result(guesser)
        refused = r"^NorvaHB: Command port: %s/32: messages ignored \(not in AcceptFrom\): \d+$" \
                  % re.escape(self.GUESSER)
        self.assertTrue(err.wait_for(refused, 5, alive=proc), err.tail())
        lines = err.lines()
        print("\n  guesser: %d wrong passwords sent, none checked" % guessed["sent"],
              file=sys.stderr)
        self.assertGreater(guessed["sent"], 50, "the guesser hardly got going")
        self.assertEqual([l for l in lines if l.startswith("NorvaHB: Bad ")], [])
        self.assertEqual(len([l for l in lines if re.match(refused, l)]), 1)


class DeviceFaults(FaultCase):
    """A device that answers wrongly or not at all, and a network that goes away."""

    def test_silent_garbage_and_oversized_answers(self):
        device, dlog, proc, err = self.start_network_pc()
        # Silent first: the third miss raises the failure alert, a modal box that stays open
        # (nobody closes it here); everything else goes on underneath it.
        for command in ("silent", "garbage", "big 9000", "ack"):
            self.device_command(device, command)
            taken = dlog.wait_for(r"info answer " + command.replace(" ", ":?"), 5)
            self.assertTrue(taken, "device did not take %r:\n%s" % (command, dlog.tail()))
            beats = self.wait_heartbeats(dlog, 4, 10, start=taken[0] + 1, proc=proc)
            self.check_gaps(beats, "answer " + command)
            if command == "big 9000":
                self.assertTrue(dlog.wait_for(r"send \S+ .*9000", 10, start=beats[0][0]),
                                "device sent no 9000-byte datagram:\n" + dlog.tail())
        self.assertTrue(dlog.wait_for(r'send \S+ "NorvaACK"', 10, start=taken[0]), dlog.tail())
        self.assertEqual(err.text().count("NorvaHB: Your Norva is not responding"), 1,
                         "the failure alert must come once, at the third miss:\n" + err.tail())
        self.answers_hello(proc, err)
        self.restart_is_carried_out(proc, err)

    def link_outage(self, side, seconds=3.0):
        """Takes one end of the link down for `seconds` and up again: the heartbeats resume on
        the same one-second tick. Returns how many send errors were shown meanwhile."""
        device, dlog, proc, err = self.start_network_pc()
        ns, ifname = ((self.net.dev_ns, self.net.dev_if) if side == "device" else
                      (self.net.pc_ns, self.net.pc_if))
        before = len(self.heartbeats(dlog))
        tb.must(["ip", "-n", ns, "link", "set", ifname, "down"], "taking the link down")
        down_at = time.monotonic()
        while time.monotonic() - down_at < seconds:
            self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())
            time.sleep(0.1)
        tb.must(["ip", "-n", ns, "link", "set", ifname, "up"], "bringing the link up")
        errors = err.text().count("NorvaHB: Socket Error")
        print("\n  %s link down %.0f s: %d send errors shown" % (side, seconds, errors),
              file=sys.stderr)
        beats = self.wait_heartbeats(dlog, before + 6, 15, proc=proc)[before - 1:]
        # While the far end is down, the PC's kernel may hold the datagrams while it looks for
        # the neighbour and let up to three go together once the link is back. Such a burst
        # tells nothing about when the program sent them, so it is left out.
        stamps = [t for _, t, _ in beats]
        beats = [b for i, b in enumerate(beats)
                 if not any(j != i and abs(gaps_ms([stamps[j], stamps[i]])[0]) < 500
                            for j in range(len(beats)))]
        self.assertGreaterEqual(len(beats), 4, "too few heartbeats outside the burst")
        # Across the outage the beats keep to the same tick; after it, one a second.
        gaps = self.check_gaps(beats, "across the outage", outage=True)
        self.check_gaps(beats[1:], "after the link came back")
        print("  gaps across the outage %r ms" % gaps, file=sys.stderr)
        self.answers_hello(proc, err)
        self.restart_is_carried_out(proc, err)
        return errors

    def test_device_link_down_and_up(self):
        # The PC's sends still succeed (its own link is up); they are lost on the way.
        self.link_outage("device")

    def test_pc_link_down_and_up(self):
        # No route to the device: every heartbeat fails to send, one error box per period.
        seconds = 3.0
        errors = self.link_outage("PC", seconds)
        self.assertTrue(seconds - 1 <= errors <= seconds + 1,
                        "%d send errors in a %.0f s outage" % (errors, seconds))

    def test_serial_far_end_closed_and_back(self):
        self.write_settings({
            "Setup": {"Network": 0, "USB": 1, "ComPort": "COM7", "comFreq": 1, "comFail": 3},
            "Run": {"IsStarted": 1},
            "GSD": {"Username": USER, "Password": PASSWORD, "AlertPedningAction": 0},
        })
        link = os.path.join(self.config, "NorvaHB-ports", "COM7")
        device, dlog = self.start_device(["serial", "--link", link], namespace=False,
                                         name="serial")
        proc, err = self.start_norvahb()
        self.wait_heartbeats(dlog, 3, 10, proc=proc)

        # The far end of the line goes away while the port is open.
        device.kill()
        device.wait(5)
        cpu = cpu_seconds(proc.pid)
        window = time.monotonic()
        while time.monotonic() - window < 3:
            self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())
            time.sleep(0.1)
        busy = (cpu_seconds(proc.pid) - cpu) / (time.monotonic() - window)
        self.assertLess(busy, 0.3, "NorvaHB spins on the dead line: %.0f%% of a core"
                        % (busy * 100))
        self.assertIn("LISTEN", tb.command_port_states(proc.pid))
        self.answers_hello(proc, err)

        # The device comes back on a new line under the same name. The open port is not
        # opened again by itself, so no heartbeat reaches it until the next program start.
        device, dlog = self.start_device(["serial", "--link", link], namespace=False,
                                         name="serial")
        self.assertIsNone(dlog.wait_for(r'recv "NorvaHB"', 3),
                          "the serial port was opened again by itself:\n" + dlog.tail())
        print("\n  after the far end came back: no serial heartbeat reached it (the port "
              "stays on the dead line); CPU while dead %.1f%%" % (busy * 100), file=sys.stderr)
        self.answers_hello(proc, err)
        self.restart_is_carried_out(proc, err)


class SettingsFaults(FaultCase):
    """The program started on a settings file it cannot use as it is."""

    def start_on(self, content):
        with open(self.settings_path, "wb") as f:
            f.write(content)
        return self.start_norvahb()

    def test_binary_garbage(self):
        proc, err = self.start_on(random.Random(7).randbytes(64 * 1024))
        self.answers_hello(proc, err)
        self.restart_is_carried_out(proc, err)

    def test_file_of_10_megabytes(self):
        settings = "[Setup]\n" + "".join("%s=%s\n" % item for item in
                                          network_settings(self.PORT)["Setup"].items())
        filler = "".join("key%d=%s\n" % (i, "v" * 80) for i in range(120000))
        content = ("[Filler]\n" + filler + settings + "[Run]\nIsStarted=1\n").encode()
        self.assertGreater(len(content), 10 * 1000 * 1000)
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (tb.DEVICE_IP, self.PORT)])
        started = time.monotonic()
        proc, err = self.start_on(content)
        self.answers_hello(proc, err, timeout=30)
        took = time.monotonic() - started
        # The start-up sequence reads the file a few dozen times, which holds back the
        # first tick; from then on every heartbeat reads the device's address from the file
        # again. Those reads take a good part of a tick, and not always the same part, so a
        # beat leaves up to a few tens of ms late; but the tick itself stays, so over five
        # gaps the lateness does not add up.
        beats = self.wait_heartbeats(dlog, 6, 15, start=len(dlog.lines()), proc=proc)
        gaps = gaps_ms([t for _, t, _ in beats])
        print("\n  10 MB settings: hello answered %.1f s after the start, heartbeat gaps %r ms"
              % (took, gaps), file=sys.stderr)
        self.assertFalse([g for g in gaps if abs(g - 1000) > 300], gaps)
        self.assertLess(abs(sum(gaps) / len(gaps) - 1000), 60, gaps)
        self.restart_is_carried_out(proc, err)

    def test_read_only_file_and_a_restart_command(self):
        self.write_settings(network_settings(9100))
        os.chmod(self.settings_path, 0o400)
        proc, err = self.start_norvahb()
        status, out = self.send_command("--action", "restart")
        # Acknowledged first; storing SourceIP then fails, which ends the command quietly.
        self.assertIn("ack 01", out, out)
        self.assertIsNone(self.lab.power_log.wait_for(r".", 2),
                          "restart carried out although SourceIP could not be stored")
        self.assertIsNone(self.setting("GracefulRestart", "SourceIP"))
        self.assertNotIn("Unable to write", err.text(),
                         "a failed SourceIP write is not shown to the user")
        self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())

        os.chmod(self.settings_path, 0o600)
        self.restart_is_carried_out(proc, err)
        self.assertEqual(self.setting("GracefulRestart", "SourceIP"), tb.DEVICE_IP)

    def test_read_only_file_at_start_up(self):
        # A restart notice is pending, but SourceIP cannot be cleared: the start-up sequence
        # shows the error and sends nothing, so the next start tries again.
        self.write_settings(network_settings(self.PORT,
                                             GracefulRestart={"SourceIP": tb.DEVICE_IP}))
        os.chmod(self.settings_path, 0o400)
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (tb.DEVICE_IP, self.PORT)])
        proc, err = self.start_norvahb()
        self.assertTrue(err.wait_for(r"^NorvaHB: Unable to write to NorvaHB\.$", 10, alive=proc),
                        "no error box 'Unable to write to NorvaHB.':\n" + err.tail())
        # The heartbeat was resumed before the notice step and runs on under the box.
        beats = self.wait_heartbeats(dlog, 4, 10, proc=proc)
        self.check_gaps(beats, "heartbeat under the error box")
        self.assertNotIn('"NorvaRB"', dlog.text(), "the notice was sent without being cleared")
        self.assertEqual(self.setting("GracefulRestart", "SourceIP"), tb.DEVICE_IP)
        self.answers_hello(proc, err)


class PortsTaken(FaultCase):
    BIND_FAILED = "NorvaHB: Could not bind socket. Address and port are already in use."

    def test_command_port_taken_at_start(self):
        # The program says so on stderr and in a box, and ends once the box is closed or the
        # session asks it to end; it never starts listening or heartbeating. While the box
        # waits for a click it holds neither the single-instance lock nor any socket, so a
        # copy started once the port is free runs normally.
        self.write_settings(network_settings(self.PORT))
        holder = self.hold_port("tcp", COMMAND_PORT)
        proc, err = self.start_norvahb(wait_listening=False)
        self.assertTrue(err.wait_for("^" + re.escape(self.BIND_FAILED) + "$", 10, alive=proc),
                        "no bind error on stderr:\n" + err.tail())
        tb.stop_process(holder)
        second, second_err = self.start_norvahb()  # fails unless it listens on TCP 9100
        self.answers_hello(second, second_err)
        self.assertIsNone(proc.poll(), "the first copy ended without its box being closed:\n"
                          + err.tail())
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            self.fail("NorvaHB did not end within 5 s of SIGTERM while showing the bind error")
        self.assertNotEqual(proc.returncode, 0)
        self.assertIsNone(second.poll(), "the second copy must keep running")

    def hold_heartbeat_port(self):
        """NorvaHB heartbeating from a UDP port the test holds; returns the holder, the
        device, its log, NorvaHB and its log, once the first bind error has been shown."""
        holder = self.hold_port("udp", self.PORT)
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (tb.DEVICE_IP, self.PORT)])
        self.write_settings(network_settings(self.PORT))
        proc, err = self.start_norvahb()
        self.assertTrue(err.wait_for(re.escape(self.BIND_FAILED), 10, alive=proc), err.tail())
        return holder, dlog, proc, err

    def test_heartbeat_port_taken(self):
        _, dlog, proc, err = self.hold_heartbeat_port()
        started = time.monotonic()
        while time.monotonic() - started < 3:
            self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())
            time.sleep(0.1)
        self.assertEqual(self.heartbeats(dlog), [], "a heartbeat went out of a held port")
        self.assertIn("LISTEN", tb.command_port_states(proc.pid))
        self.answers_hello(proc, err)
        self.restart_is_carried_out(proc, err)

    def test_heartbeat_port_taken_one_error_per_period_then_freed(self):
        holder, dlog, proc, err = self.hold_heartbeat_port()
        window = 4.0
        count = err.text().count(self.BIND_FAILED)
        started = time.monotonic()
        while time.monotonic() - started < window:
            self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())
            time.sleep(0.1)
        errors = err.text().count(self.BIND_FAILED) - count
        print("\n  UDP port held: %d bind errors in %.0f s" % (errors, window), file=sys.stderr)
        # Once the port is free again, the next heartbeat binds it and goes out.
        tb.stop_process(holder)
        freed = self.heartbeats(dlog)
        found = dlog.wait_for(r'recv \S+ "NorvaHB"', 5)
        print("  heartbeat after the port was freed: %s" % ("yes" if found else "none in 5 s"),
              file=sys.stderr)
        self.assertTrue(window - 1 <= errors <= window + 1,
                        "expected one bind error per heartbeat period, got %d in %.0f s"
                        % (errors, window))
        self.assertTrue(found, "no heartbeat once the port was free (%d before)" % len(freed))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--client":
        client_main(sys.argv[2:])
    else:
        main(time_budget_s=330)
