#!/usr/bin/env python3
"""How many wrong passwords one address gets checked per second on the command port.

Usage (as root):  python3 bench/guess_rate.py [--build DIR] [--seconds N] [--parallel K ...]
                  [--mode reconnect|stream ...] [--where loopback|namespaces ...] [--fresh]
                  [--rotate] [--lockout-seconds N]

Runs on the test bed (tests/testbed/norva_testbed.py): the real NorvaHB, offscreen, in the
PC namespace with a private system bus and fake-login1, so no restart can reach this machine;
and the guesser (bench/guess_rate.cpp, CMake target guess-rate) either in the same namespace
against 127.0.0.1 ("loopback") or in the device namespace against the PC's address across the
veth pair ("namespaces"). Every packet carries the default user name and a wrong password.

What counts as checked: the program shows "Bad Password" for every packet whose password it
compared, mirrored to standard error as "NorvaHB: Bad Password". The figure is the number of
those lines that appeared while the guesser ran, divided by the time it ran. Beside it: "sent",
the packets the guesser got out (those that never got a line were merged with another in one
read cycle, or went to a connection closed at once); "late", lines that came after the guesser
had stopped (packets still queued then); "refused", connections closed before the packet went
out.

--rotate: the guesser binds every new connection to the next of many source addresses of one
group, as a guesser that owns them would: 1,000 addresses of 127.0.0.0/8 ("loopback"), or 256
addresses of one IPv6 /64 given to the device's end of the veth pair ("namespaces", against
the PC's IPv6 address on the same link). Every figure is then the checked guesses of one
group. --lockout-seconds writes LockoutSeconds to the program's settings, to show the
lockout's rate over several lockouts in a shorter run.
"""

import argparse
import os
import random
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tests", "testbed"))
import norva_testbed as tb  # noqa: E402

BAD_PASSWORD = b"NorvaHB: Bad Password"

# The IPv6 /64 of the link between the namespaces in --rotate runs (unique local addresses,
# only ever inside the test bed's own namespaces).
V6_PREFIX = "fd00:0:0:1::"
V6_PC = V6_PREFIX + "1"
V6_GUESSERS = [V6_PREFIX + "1:%x" % n for n in range(1, 257)]
LOOPBACK_GUESSERS = ["127.%d.%d.%d" % (a, b, c) for a, b, c in
                     sorted({(random.Random(n).randrange(256), random.Random(n + 1).randrange(256),
                              random.Random(n + 2).randrange(1, 255)) for n in range(0, 3000, 3)})]


def add_v6_link(net):
    """Puts the PC and the 256 guesser addresses in one /64 on the veth pair."""
    must = tb.must
    for ns in (net.pc_ns, net.dev_ns):
        for key in ("disable_ipv6=0", "accept_dad=0"):
            tb.run(["ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv6.conf.all." + key])
    must(["ip", "-n", net.pc_ns, "addr", "add", V6_PC + "/64", "dev", net.pc_if, "nodad"],
         "adding the PC's IPv6 address")
    batch = "".join("addr add %s/64 dev %s nodad\n" % (a, net.dev_if) for a in V6_GUESSERS)
    r = subprocess.run(["ip", "-n", net.dev_ns, "-batch", "-"], input=batch, text=True,
                       capture_output=True)
    if r.returncode != 0:
        raise tb.SetupFailure("adding the guesser's IPv6 addresses: " + r.stderr.strip())


class Program:
    """NorvaHB in the PC namespace, its standard error counted as it comes."""

    def __init__(self, lab, net, lockout_seconds=None):
        self.home = lab.new_home("guess-")
        # The defaults (user "Ostra", password "ferno"), written out so the run does not
        # depend on them; no heartbeat.
        gsd = {"Username": "Ostra", "Password": "ferno"}
        if lockout_seconds:
            gsd["LockoutSeconds"] = str(lockout_seconds)
        tb.write_settings(self.home.settings_path, {"GSD": gsd})
        self.proc = lab.start_norvahb(lab.norvahb_env(self.home), net,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.lock = threading.Lock()
        self.bad_passwords = 0
        self.other_lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        pending = b""
        fd = self.proc.stderr.fileno()
        while True:
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                return
            pending += chunk
            *lines, pending = pending.split(b"\n")
            bad = sum(1 for line in lines if line == BAD_PASSWORD)
            with self.lock:
                self.bad_passwords += bad
                self.other_lines.extend(line for line in lines if line != BAD_PASSWORD)
                del self.other_lines[:-20]

    def count(self):
        with self.lock:
            return self.bad_passwords

    def wait_listening(self, timeout=15):
        deadline = time.monotonic() + timeout
        while "LISTEN" not in tb.command_port_states(self.proc.pid):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise tb.SetupFailure("NorvaHB is not listening:\n" +
                                      "\n".join(l.decode(errors="replace")
                                                for l in self.other_lines))
            time.sleep(tb.POLL)

    def settle(self, quiet=0.5, timeout=30):
        """Waits until no new line has come for `quiet` seconds: what the last run left
        queued has been handled."""
        last, since = self.count(), time.monotonic()
        deadline = since + timeout
        while time.monotonic() < deadline:
            time.sleep(0.1)
            now = self.count()
            if now != last:
                last, since = now, time.monotonic()
            elif time.monotonic() - since >= quiet:
                return


def guess(net, program, guesser, where, mode, parallel, seconds, rotate=False):
    host = "127.0.0.1" if where == "loopback" else tb.PC_IP
    if rotate and where == "namespaces":
        host = V6_PC
    cmd = [guesser, "--host", host, "--port", str(tb.COMMAND_PORT), "--seconds", str(seconds),
           "--parallel", str(parallel), "--mode", mode]
    if rotate:
        cmd += ["--from", ",".join(LOOPBACK_GUESSERS if where == "loopback" else V6_GUESSERS)]
    cmd = net.in_pc(cmd) if where == "loopback" else net.in_device(cmd)
    program.settle()
    before = program.count()
    started = time.monotonic()
    r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       timeout=seconds + 60)
    elapsed = time.monotonic() - started
    during = program.count() - before
    if r.returncode != 0:
        raise tb.SetupFailure("guess-rate failed: " + r.stderr.strip())
    sent = dict(kv.split("=") for kv in r.stdout.split())
    program.settle()
    after = program.count() - before
    return {"where": where, "mode": mode, "parallel": parallel, "seconds": elapsed,
            "checked_during": during, "checked_after": after - during,
            "rate": during / elapsed, "sent": int(sent["sent"]),
            "connections": int(sent["connections"]), "refused": int(sent["refused"]),
            "sources": len(LOOPBACK_GUESSERS if where == "loopback" else V6_GUESSERS)
            if rotate else 1,
            "errors": int(sent["errors"])}


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--seconds", type=float, default=10)
    p.add_argument("--parallel", type=int, nargs="+", default=[1, 8, 32])
    p.add_argument("--mode", nargs="+", default=["reconnect", "stream"],
                   choices=["reconnect", "stream"])
    p.add_argument("--where", nargs="+", default=["loopback", "namespaces"],
                   choices=["loopback", "namespaces"])
    p.add_argument("--fresh", action="store_true",
                   help="a new NorvaHB for every run, so each guesser starts with a clean "
                        "record (without it, one program serves all runs, and what an address "
                        "did in one run still counts in the next: a lockout lasts 5 minutes)")
    p.add_argument("--rotate", action="store_true",
                   help="rotate the guesser's source address over many of one group")
    p.add_argument("--lockout-seconds", type=int,
                   help="LockoutSeconds for the program (default: its own, 300)")
    args = p.parse_args()

    paths = tb.build_paths(args.build)
    guesser = os.path.join(os.path.abspath(args.build), "bench", "guess-rate")
    if not os.access(guesser, os.X_OK):
        sys.exit("guess-rate not found at %s (cmake --build BUILD --target guess-rate)" % guesser)
    lab = tb.Lab({k: paths[k] for k in ("norvahb", "fake_login1")}, prefix="norva-guess-")
    try:
        lab.open()
        net = lab.new_net()
        # The guesser closes first, so its side of every connection waits in TIME_WAIT; let
        # its namespaces reuse those ports, as a guesser on its own machine would.
        for ns in (net.pc_ns, net.dev_ns):
            tb.must(["ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv4.tcp_tw_reuse=1"],
                    "allowing TIME_WAIT reuse in " + ns)
        if args.rotate:
            add_v6_link(net)
        program = Program(lab, net, args.lockout_seconds)
        program.wait_listening()
        runs = 0
        print("%-10s %-9s %4s %7s %8s %8s %8s %9s %8s" % ("where", "mode", "par", "sources",
                                                          "checked", "per s", "sent", "late",
                                                          "refused"))
        for where in args.where:
            for mode in args.mode:
                for parallel in args.parallel:
                    if args.fresh and runs:
                        tb.stop_process(program.proc)
                        program = Program(lab, net, args.lockout_seconds)
                        program.wait_listening()
                    runs += 1
                    f = guess(net, program, guesser, where, mode, parallel, args.seconds,
                              args.rotate)
                    print("%-10s %-9s %4d %7d %8d %8.2f %8d %9d %8d" % (
                        f["where"], f["mode"], f["parallel"], f["sources"], f["checked_during"],
                        f["rate"],
                        f["sent"], f["checked_after"], f["refused"]), flush=True)
        if program.proc.poll() is not None:
            raise tb.SetupFailure("NorvaHB ended during the run")
    except tb.SetupFailure as e:
        print("guess_rate: %s" % e, file=sys.stderr)
        return 1
    finally:
        lab.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
