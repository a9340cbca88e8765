#!/usr/bin/env python3
"""NorvaHB benchmark: timing and cost of the real program, measured from outside.

Usage (as root):  python3 bench/run.py [--minutes N] [--build DIR] [...]
                  make bench            (builds build-bench first, then runs this)

Needs root, like the end-to-end suite, and runs on the same test bed
(tests/testbed/norva_testbed.py): two network namespaces of its own, "the PC" (NorvaHB) and
"the device" (this script's own sockets and load generator), joined by a veth pair, and a
private system bus with fake-login1 on it, so NorvaHB can reach neither the real network nor
the real login manager. No command this script sends carries valid credentials. Everything it
started is stopped, and the namespaces and temporary files removed, when it ends, on Ctrl-C too.
Its helpers echo-peer and tray-host (bench/*.cpp) are built with the project (CMake targets).

It measures, in one run, with the programs of the build folder:
  1. heartbeat schedule at Freq=1 (departure error, drift), timestamps taken by the kernel as
     each heartbeat reaches the device's socket (SO_TIMESTAMPNS);
  2. answer handling: "NorvaACK" as seen from the next reply, and the failure alert line on
     standard error against the third heartbeat + 500 ms;
  3. the heartbeat schedule again while the command port is under load;
  4. "NorvaShutdown" -> "shutdownACK" against a plain UDP echo on the same path;
  5. hello -> reply on the command port against a plain TCP echo on the same path;
  6. idle wake-ups and memory, and CPU time with the heartbeat running;
  7. start-up: exec to the command port listening, to the first heartbeat, and (under Xvfb
     with this script's own tray host) to the tray icon docked and drawn;
  8. the soak run: resident memory after warm-up and at the end, and CPU per hour, over
     --soak-minutes (30) at Freq=1 with every heartbeat answered, the window shown and the
     icon docked in this script's tray under Xvfb (--only soak runs it alone);
  9. the service norvahbd, as its end-to-end suite runs it (with the fake polkit authority and
     the project's bus policy): exec to READY=1, memory, idle wake-ups, CPU and the schedule
     with the heartbeat running (alone and under load), the round trips against the same echo,
     and where its time goes (bench/service_bench.py; --only service runs it alone).
"""

import argparse
import json
import os
import platform
import queue
import random
import re
import selectors
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.dont_write_bytecode = True  # no byte-code cache left in the source tree
sys.path.insert(0, os.path.join(ROOT, "tests", "testbed"))
import norva_testbed as tb  # noqa: E402  (namespaces, private bus, processes, the guard)
import service_bench  # noqa: E402  (the service's part; bench/ is on the path as the script's)

PC_IP = tb.PC_IP
DEVICE_IP = tb.DEVICE_IP
COMMAND_PORT = tb.COMMAND_PORT
HB_PORT = 19100       # the heartbeat port ("Port") inside the namespaces
ECHO_PORT = 19200     # the plain echo peer, UDP and TCP, in the PC namespace

SO_TIMESTAMPNS = 35   # linux/asm-generic/socket.h; the control message has the same number
ALERT_RE = re.compile(r"NorvaHB: Your Norva is not responding")
USER, PASSWORD = "Ostra", "ferno"


# --- small helpers ------------------------------------------------------------------------

def mono_ns():
    return time.monotonic_ns()


def median(xs):
    return statistics.median(xs) if xs else float("nan")


def percentile(xs, p):
    """Nearest-rank percentile."""
    if not xs:
        return float("nan")
    s = sorted(xs)
    k = max(0, min(len(s) - 1, int(round(p / 100.0 * len(s) + 0.5)) - 1))
    return s[k]


def slope(xs, ys):
    """Least-squares slope of ys against xs."""
    n = len(xs)
    if n < 2:
        return float("nan")
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx if sxx else float("nan")


def recv_stamped(sock, size=65536):
    """One recvmsg: (data, sender, kernel receive time in CLOCK_REALTIME ns or None)."""
    data, anc, _flags, addr = sock.recvmsg(size, socket.CMSG_SPACE(16))
    stamp = None
    for level, kind, cdata in anc:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(cdata) >= 16:
            sec, nsec = struct.unpack("qq", cdata[:16])
            stamp = sec * 1000000000 + nsec
    return data, addr, stamp


def stamped_socket(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    return s


def proc_status(pid):
    return proc_status_path("/proc/%d/status" % pid)


def rss_kb(pid):
    return int(proc_status(pid)["VmRSS"].split()[0])


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def rss_mb(pid):
    st = proc_status(pid)
    return int(st["VmRSS"].split()[0]) / 1024.0, int(st["VmHWM"].split()[0]) / 1024.0


def thread_switches(pid):
    """{tid: (name, voluntary + nonvoluntary context switches)} of every thread now alive."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            st = proc_status_path("/proc/%d/task/%s/status" % (pid, tid))
            out[tid] = (st["Name"], int(st["voluntary_ctxt_switches"]) +
                        int(st["nonvoluntary_ctxt_switches"]))
        except (OSError, KeyError):
            pass
    return out


def proc_status_path(path):
    out = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.partition(":")
            out[key] = value.strip()
    return out


def memory_kb(pid):
    """Resident memory of `pid` in kB: VmRSS and its anonymous and file-backed parts, and the
    proportional set size (shared library pages divided among the processes mapping them)."""
    st = proc_status(pid)
    out = {k: int(st[k].split()[0]) for k in ("VmRSS", "RssAnon", "RssFile", "RssShmem")
           if k in st}
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Pss:"):
                    out["Pss"] = int(line.split()[1])
    except OSError:
        pass
    return out


def cpu_seconds(pid):
    """utime + stime of the whole process (its ended threads included), in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    qt = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "libqt6core6"],
                        capture_output=True, text=True).stdout.strip() or "?"
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(),
            "python": platform.python_version(), "qt": qt,
            "date": time.strftime("%Y-%m-%d %H:%M:%S %Z")}


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# --- the device side -----------------------------------------------------------------------

class Device:
    """The device's UDP socket on DEVICE_IP:HB_PORT, in the device namespace, served by a
    thread: every "NorvaHB" is stamped by the kernel on arrival and answered as `answer` says;
    every other datagram goes to `others` with its stamp."""

    def __init__(self, netns):
        with tb.InNetns(netns):
            self.sock = stamped_socket(socket.SOCK_DGRAM)
            self.sock.bind((DEVICE_IP, HB_PORT))
        self.answer = "ack"
        self.beats = []          # (CLOCK_MONOTONIC ns, sender)
        self.others = queue.Queue()
        self.lock = threading.Lock()
        self.stopping = False
        self.thread = threading.Thread(target=self._run, name="device", daemon=True)
        self.thread.start()

    def _run(self):
        self.sock.settimeout(0.2)
        while not self.stopping:
            try:
                data, addr, stamp = recv_stamped(self.sock)
            except socket.timeout:
                continue
            except OSError:
                return
            # The kernel stamp is CLOCK_REALTIME; take it to CLOCK_MONOTONIC with the offset
            # read now (two clock reads a few hundred ns apart), so a step of the wall clock
            # during the run cannot bend the schedule.
            offset = time.time_ns() - time.monotonic_ns()
            if stamp is None:
                stamp = time.time_ns()
            if data == b"NorvaHB":
                with self.lock:
                    self.beats.append((stamp - offset, addr))
                if self.answer == "ack":
                    self.sock.sendto(b"NorvaACK", addr)
            else:
                self.others.put((data, addr, stamp))

    def beats_since(self, t_ns):
        with self.lock:
            return [t for t, _ in self.beats if t >= t_ns]

    def wait_beats(self, since_ns, count, timeout, proc=None):
        deadline = time.monotonic() + timeout
        while True:
            beats = self.beats_since(since_ns)
            if len(beats) >= count:
                return beats
            if time.monotonic() > deadline:
                raise BenchFailure("expected %d heartbeats within %.0f s, got %d"
                                   % (count, timeout, len(beats)))
            if proc is not None and proc.poll() is not None:
                raise BenchFailure("NorvaHB ended (status %s)" % proc.returncode)
            time.sleep(0.01)

    def drain(self):
        while True:
            try:
                self.others.get_nowait()
            except queue.Empty:
                return

    def close(self):
        self.stopping = True
        self.thread.join(2)
        self.sock.close()


class BenchFailure(Exception):
    pass


# --- NorvaHB -------------------------------------------------------------------------------

class NorvaRun:
    """One run of the real NorvaHB in the PC namespace, in a fresh home of its own. Standard
    error comes through a pipe; a thread reads it and stamps each line with CLOCK_MONOTONIC as
    it arrives, so the failure alert's line can be timed."""

    def __init__(self, bench, settings, display=None):
        self.bench = bench
        lab = bench.lab
        self.home = lab.new_home("run-")
        tb.write_settings(self.home.settings_path, settings)
        self.lines = []              # (mono ns, line) of the lines worth keeping
        self.line_count = 0
        self.tail = []
        # Straight into the PC namespace (setns), no `ip netns exec` between: the start-up
        # figures are timed from just before the spawn.
        self._follow(lab.start_norvahb(lab.norvahb_env(self.home, display), bench.net,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                       setns=True))

    def _follow(self, proc):
        """Takes the started program: its exec times, and a thread reading its standard error."""
        self.proc = proc
        self.t_before_exec, self.t_after_exec = proc.started_ns
        self.pid = proc.pid
        self.reader = threading.Thread(target=self._read, name="stderr", daemon=True)
        self.reader.start()

    def _read(self):
        pending = b""
        fd = self.proc.stderr.fileno()
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                return
            now = mono_ns()
            if not chunk:
                return
            pending += chunk
            *complete, pending = pending.split(b"\n")
            for raw in complete:
                line = raw.decode("utf-8", "replace")
                self.line_count += 1
                self.tail = (self.tail + [line])[-20:]
                if "Bad Username" not in line:
                    self.lines.append((now, line))

    def wait_listening(self, timeout=15, step=0.0002):
        """CLOCK_MONOTONIC ns at which the command port was first seen listening, polling the
        kernel's socket table of the PC namespace every `step` seconds."""
        deadline = time.monotonic() + timeout
        table = "/proc/%d/net/tcp" % self.pid
        needle = ":%04X 00000000:0000 0A" % COMMAND_PORT   # local port, any peer, LISTEN
        # On a busy machine a poller of normal priority may not run for milliseconds after
        # the socket appears; real-time priority (it sleeps between looks) keeps that short.
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(1))
        except (OSError, AttributeError):
            pass
        try:
            while True:
                try:
                    with open(table) as f:
                        if needle in f.read():
                            return mono_ns()
                except OSError:
                    pass
                if self.proc.poll() is not None:
                    raise BenchFailure("NorvaHB ended (status %s) before listening:\n%s"
                                       % (self.proc.returncode, "\n".join(self.tail)))
                if time.monotonic() > deadline:
                    raise BenchFailure("NorvaHB did not listen within %d s" % timeout)
                time.sleep(step)
        finally:
            os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))

    def first_line(self, regex, since_ns=0):
        for t, line in list(self.lines):
            if t >= since_ns and regex.search(line):
                return t, line
        return None

    def stop(self):
        tb.stop_process(self.proc)
        self.reader.join(2)


def settings(freq, started, fail=3, start_in_tray=0, status_in_tray=0):
    return {
        "Setup": {"IPAddr": DEVICE_IP, "Port": HB_PORT, "Freq": freq, "FailCount": fail,
                  "Network": 1, "USB": 0, "StartInTray": start_in_tray,
                  "ShowStatusInTray": status_in_tray},
        "Run": {"IsStarted": started},
        "GSD": {"Username": USER, "Password": PASSWORD, "AlertPedningAction": 0},
    }


# --- the figures ---------------------------------------------------------------------------

def schedule_figures(beats_ns, period_s=1.0):
    """Departure error of each heartbeat against the schedule start + k * period, the start
    being the earliest departure once the nominal period is taken off (so the error is how
    late each one left), and the drift as the least-squares slope of error against time."""
    if len(beats_ns) < 3:
        return None
    t0 = beats_ns[0]
    rel = [(t - t0) / 1e9 for t in beats_ns]
    ks = [round(r / period_s) for r in rel]
    missing = ks[-1] + 1 - len(set(ks))
    offsets = [r - k * period_s for r, k in zip(rel, ks)]
    start = min(offsets)
    err_ms = [(o - start) * 1000.0 for o in offsets]
    drift = slope(rel, err_ms)                     # ms per second of run
    gaps = [(b - a) / 1e6 for a, b in zip(beats_ns, beats_ns[1:])]
    return {
        "n": len(beats_ns), "missing": missing, "span_s": rel[-1],
        "median_ms": median(err_ms), "p99_ms": percentile(err_ms, 99), "max_ms": max(err_ms),
        "drift_ms_per_min": drift * 60.0, "drift_ppm": drift * 1000.0,
        "gap_min_ms": min(gaps), "gap_max_ms": max(gaps),
    }


def fmt_schedule(f):
    if not f:
        return "  too few heartbeats"
    return ("  %d heartbeats over %.0f s (%d missing); departure error: median %.3f ms, "
            "p99 %.3f ms, max %.3f ms; drift %+.4f ms/min (%+.1f ppm); gaps %.2f..%.2f ms"
            % (f["n"], f["span_s"], f["missing"], f["median_ms"], f["p99_ms"], f["max_ms"],
               f["drift_ms_per_min"], f["drift_ppm"], f["gap_min_ms"], f["gap_max_ms"]))


def us_stats(xs_ns):
    xs = [x / 1000.0 for x in xs_ns]
    return {"n": len(xs), "median_us": median(xs), "p90_us": percentile(xs, 90),
            "p99_us": percentile(xs, 99), "max_us": max(xs) if xs else float("nan")}


def fmt_us(name, s):
    return ("  %-34s n=%d median %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us"
            % (name, s["n"], s["median_us"], s["p90_us"], s["p99_us"], s["max_us"]))


# --- the bench -----------------------------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.args = args
        self.paths = tb.build_paths(args.build)
        self.lab = None
        self.net = None
        self.device = None
        self.results = {}
        self.out = []

    def say(self, text=""):
        print(text, flush=True)
        self.out.append(text)

    # --- set-up ---------------------------------------------------------------------------

    def open(self):
        # tray-host is built only where the X11 headers are; without it the parts under Xvfb
        # are left out.
        steps = self.steps()
        desktop = [name for name in steps if name != "service"]
        lab_programs = (["norvahb"] if desktop else []) + ["device", "fake_login1"]
        if "service" in steps:
            lab_programs += ["norvahbd", "fake_polkit"]
        for name in lab_programs + ["echo_peer"]:
            path = self.paths[name]
            if not os.path.exists(path):
                raise BenchFailure("%s not found at %s: build it first (make bench does)"
                                   % (name, path))
        self.echo_peer = self.paths["echo_peer"]
        self.tray_host = None
        if (not self.args.no_xvfb and shutil.which("Xvfb") and
                os.access(self.paths["tray_host"], os.X_OK)):
            self.tray_host = self.paths["tray_host"]
        self.lab = tb.Lab({k: self.paths[k] for k in lab_programs}, prefix="norva-bench-")
        # With the service among the parts, the bus enforces the project's own policy, as the
        # service's end-to-end suite has it (the desktop program only calls the login manager,
        # which that policy allows as the machine's bus does).
        self.lab.open(service_policy=service_bench.BUS_POLICY if "service" in steps else None)
        self.net = self.lab.new_net()
        self.device = Device(self.net.dev_ns)
        with tb.InNetns(self.net.pc_ns):
            self.echo = subprocess.Popen([self.echo_peer, PC_IP, str(ECHO_PORT)],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, text=True)
        self.lab.procs.append(self.echo)
        if self.echo.stdout.readline().strip() != "ready":
            raise BenchFailure("echo-peer did not start")

    def close(self):
        if self.device:
            self.device.close()
        if self.lab:
            self.lab.close()

    # --- 7 and 2b: start-up, and the failure alert --------------------------------------

    def startups_and_alert(self):
        n = self.args.startups
        self.say("\n[7] start-up and [2] failure alert: %d starts, Freq=1, FailCount=3, the "
                 "device silent (offscreen)" % n)
        listen, first, alert, spawn = [], [], [], []
        self.device.answer = "silent"
        for i in range(n):
            run = NorvaRun(self, settings(freq=1, started=1, fail=3))
            try:
                t_listen = run.wait_listening()
                beats = self.device.wait_beats(run.t_before_exec, 3, 15, run.proc)
                deadline = time.monotonic() + 5
                hit = None
                while hit is None and time.monotonic() < deadline:
                    hit = run.first_line(ALERT_RE, run.t_before_exec)
                    time.sleep(0.01)
                listen.append(t_listen - run.t_before_exec)
                first.append(beats[0] - run.t_before_exec)
                spawn.append(run.t_after_exec - run.t_before_exec)
                if hit:
                    alert.append(hit[0] - (beats[2] + 500000000))
                self.say("  start %d: exec->listening %.1f ms, exec->first heartbeat %.1f ms, "
                         "alert line %s" % (i + 1, listen[-1] / 1e6, first[-1] / 1e6,
                                            "%.2f ms after 3rd heartbeat + 500 ms"
                                            % (alert[-1] / 1e6) if hit else "MISSING"))
            finally:
                run.stop()
        self.device.answer = "ack"
        self.results["startup"] = {
            "exec_to_listen_ms": [x / 1e6 for x in listen],
            "exec_to_first_heartbeat_ms": [x / 1e6 for x in first],
            "popen_ms": [x / 1e6 for x in spawn],
        }
        self.results["alert_ms"] = [x / 1e6 for x in alert]
        self.say("  exec->listening: median %.1f ms (first start %.1f ms); exec->first "
                 "heartbeat: median %.1f ms; fork+exec itself (Popen) median %.1f ms"
                 % (median(listen) / 1e6, listen[0] / 1e6, median(first) / 1e6,
                    median(spawn) / 1e6))
        if alert:
            self.say("  alert line after 3rd heartbeat + 500 ms: median %.2f ms, max %.2f ms "
                     "(n=%d)" % (median(alert) / 1e6, max(alert) / 1e6, len(alert)))

    # --- 6: idle ----------------------------------------------------------------------------

    def idle(self, label, display=None, start_in_tray=0):
        seconds = self.args.idle_seconds
        run = NorvaRun(self, settings(freq=1, started=0, start_in_tray=start_in_tray),
                       display=display)
        try:
            run.wait_listening()
            time.sleep(self.args.settle)
            before = thread_switches(run.pid)
            cpu0 = cpu_seconds(run.pid)
            time.sleep(seconds)
            after = thread_switches(run.pid)
            cpu1 = cpu_seconds(run.pid)
            rss, hwm = rss_mb(run.pid)
            per_thread = []
            for tid, (name, count) in after.items():
                base = before.get(tid, (name, 0))[1]
                per_thread.append((count - base, name, tid))
            per_thread.sort(reverse=True)
            total = sum(c for c, _, _ in per_thread)
            res = {"wakeups_per_s": total / seconds, "rss_mb": rss, "hwm_mb": hwm,
                   "threads": len(after), "cpu_s": cpu1 - cpu0, "seconds": seconds,
                   "by_thread": [(n, c / seconds) for c, n, _ in per_thread if c]}
            self.say("  %s: %.2f wake-ups/s over %d s (%d threads; %s), VmRSS %.1f MB "
                     "(peak %.1f MB), CPU %.2f s" % (
                         label, res["wakeups_per_s"], seconds, len(after),
                         ", ".join("%s %.2f/s" % (n, r) for n, r in res["by_thread"]) or
                         "none woke", rss, hwm, res["cpu_s"]))
            return res
        finally:
            run.stop()

    def idle_offscreen(self):
        self.say("\n[6] idle, heartbeat stopped (Run/IsStarted=0)")
        self.results["idle_offscreen"] = self.idle("offscreen, Start In Tray off")
        self.results["idle_offscreen_start_in_tray"] = self.idle("offscreen, Start In Tray on",
                                                                 start_in_tray=1)

    # --- 1 and 3: the schedule, alone and under load ---------------------------------------

    def heartbeat_schedule(self):
        minutes, load_minutes = self.args.minutes, self.args.load_minutes
        self.say("\n[1] heartbeat schedule, Freq=1, the device answering NorvaACK, %.1f min"
                 % minutes)
        self.device.answer = "ack"
        run = NorvaRun(self, settings(freq=1, started=1))
        try:
            self.results.update(self.measure_schedule(run))
        finally:
            run.stop()

    def measure_schedule(self, run, label="[6] heartbeat running", others=None,
                         program="NorvaHB"):
        """The schedule at Freq=1 for --minutes, the CPU it costs (and what it costs the
        processes `others` names, {name: pid}, over the same time), then the schedule again
        for --load-minutes under command-port load, against `run`, just started with Freq 1.
        Returns the figures as {"schedule", "running", "schedule_under_load", "load"}."""
        minutes, load_minutes = self.args.minutes, self.args.load_minutes
        results = {}
        run.wait_listening()
        self.device.wait_beats(run.t_before_exec, 1, 15, run.proc)
        time.sleep(self.args.settle)
        others = others or {}
        t0 = mono_ns()
        cpu0, sw0 = cpu_seconds(run.pid), thread_switches(run.pid)
        others0 = {name: cpu_seconds(pid) for name, pid in others.items()}
        self.sleep_alive(minutes * 60, run)
        t1 = mono_ns()
        cpu1, sw1 = cpu_seconds(run.pid), thread_switches(run.pid)
        others1 = {name: cpu_seconds(pid) for name, pid in others.items()}
        rss, hwm = rss_mb(run.pid)
        beats = [t for t in self.device.beats_since(t0) if t < t1]
        fig = schedule_figures(beats)
        span = (t1 - t0) / 1e9
        switches = sum(c - sw0.get(tid, (n, 0))[1] for tid, (n, c) in sw1.items())
        results["schedule"] = fig
        results["running"] = {
            "cpu_s": cpu1 - cpu0, "seconds": span,
            "cpu_s_per_hour": (cpu1 - cpu0) * 3600.0 / span,
            "wakeups_per_s": switches / span, "rss_mb": rss, "hwm_mb": hwm,
            "beats": len(beats), "memory_kb": memory_kb(run.pid),
            "by_thread": sorted(((n, (c - sw0.get(tid, (n, 0))[1]) / span)
                                 for tid, (n, c) in sw1.items()),
                                key=lambda x: -x[1]),
            "others_cpu_s_per_hour": {name: (others1[name] - others0[name]) * 3600.0 / span
                                      for name in others}}
        self.say(fmt_schedule(fig))
        self.say("\n%s at Freq=1: CPU %.2f s over %.0f s = %.1f s per "
                 "hour (clock-tick resolution %.2f s per hour); %.2f wake-ups/s (%s); "
                 "VmRSS %.1f MB (peak %.1f MB)"
                 % (label, cpu1 - cpu0, span, (cpu1 - cpu0) * 3600.0 / span,
                    3600.0 / os.sysconf("SC_CLK_TCK") / span, switches / span,
                    ", ".join("%s %.2f/s" % (n, r)
                              for n, r in results["running"]["by_thread"] if r),
                    rss, hwm))
        for name, per_hour in results["running"]["others_cpu_s_per_hour"].items():
            self.say("  meanwhile %s: CPU %.1f s per hour" % (name, per_hour))

        results["schedule_under_load"], results["load"] = self.measure_under_load(
            run, program=program)
        return results

    def measure_under_load(self, run, program="NorvaHB", hellos_only=False, label="[3]"):
        """The schedule of `run` (heartbeat running at Freq=1) for --load-minutes while the
        load generator keeps the command port busy: hellos and junk packets, or with
        `hellos_only` hellos alone. Returns (schedule figures, the load's figures)."""
        load_minutes = self.args.load_minutes
        self.say("\n%s heartbeat schedule while the command port is under load: %d "
                 "connections, one message each per %d ms (%s), %.1f min"
                 % (label, self.args.load_conns, self.args.load_interval_ms,
                    "hellos only" if hellos_only else "hello or junk", load_minutes))
        load_s = load_minutes * 60
        worker = self.start_load(load_s + self.args.settle + 2, hellos_only)
        try:
            time.sleep(self.args.settle)
            t0 = mono_ns()
            lines0, cpu_l0 = run.line_count, cpu_seconds(run.pid)
            self.sleep_alive(load_s, run, worker)
            t1 = mono_ns()
            lines1, cpu_l1 = run.line_count, cpu_seconds(run.pid)
            threads_under_load = len(os.listdir("/proc/%d/task" % run.pid))
            stats = json.loads(worker.communicate(timeout=load_s + 60)[0] or "{}")
        finally:
            tb.stop_process(worker)
        beats = [t for t in self.device.beats_since(t0) if t < t1]
        fig = schedule_figures(beats)
        rss2, hwm2 = rss_mb(run.pid)
        stats.update(bad_username_lines_per_s=(lines1 - lines0) / ((t1 - t0) / 1e9),
                     cpu_share=(cpu_l1 - cpu_l0) / ((t1 - t0) / 1e9),
                     threads_seen=threads_under_load, rss_mb_after=rss2, hwm_mb=hwm2,
                     hellos_only=hellos_only)
        self.say(fmt_schedule(fig))
        self.say("  load: %d connections opened (%d closed by %s), %d hellos (%d answered, "
                 "reply median %.0f us, p99 %.0f us), %d junk packets; %s wrote %.0f "
                 "diagnostic lines/s and used %.0f%% of one CPU; %d threads at the end; VmRSS "
                 "after %.1f MB (peak %.1f MB)"
                 % (stats.get("connections", 0), stats.get("closed_by_pc", 0), program,
                    stats.get("hellos", 0),
                    stats.get("replies", 0), stats.get("reply_median_us", float("nan")),
                    stats.get("reply_p99_us", float("nan")), stats.get("junk", 0), program,
                    stats["bad_username_lines_per_s"], stats["cpu_share"] * 100,
                    threads_under_load, rss2, hwm2))
        if run.first_line(ALERT_RE):
            self.say("  NOTE: the failure alert came during this run")
        return fig, stats

    def sleep_alive(self, seconds, run, worker=None):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if run.proc.poll() is not None:
                raise BenchFailure("NorvaHB ended (status %s):\n%s"
                                   % (run.proc.returncode, "\n".join(run.tail)))
            if worker is not None and worker.poll() is not None:
                raise BenchFailure("the load generator ended early: %s"
                                   % worker.stderr.read())
            time.sleep(min(0.5, max(0.0, end - time.monotonic())))

    def start_load(self, seconds, hellos_only=False):
        a = self.args
        cmd = [sys.executable, os.path.abspath(__file__), "--load-worker",
               "--load-conns", str(a.load_conns), "--load-interval-ms", str(a.load_interval_ms),
               "--load-seconds", str(seconds)] + (["--load-hellos-only"] if hellos_only else [])
        with tb.InNetns(self.net.dev_ns):
            worker = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True)
        self.lab.procs.append(worker)
        return worker

    # --- 4, 5 and 2a: round trips --------------------------------------------------------

    def round_trips(self):
        n = self.args.samples
        self.say("\n[4][5][2] round trips, %d each, interleaved; NorvaHB with Freq=3600 (one "
                 "heartbeat at start, then a quiet line)" % n)
        self.device.answer = "ack"
        run = NorvaRun(self, settings(freq=3600, started=1))
        try:
            self.results["round_trips"], self.results["ratios"] = self.measure_round_trips(run)
        finally:
            run.stop()

    def measure_round_trips(self, run, program="NorvaHB", goal="< 3x"):
        """The round trips of [4], [5] and [2] against `run` (a NorvaRun or anything with its
        pid, proc, t_before_exec and wait_listening), which has just been started with Freq
        3600: interleaved in random order, 2 ms apart, `--samples` of each kind. Besides the
        hello on an open connection, a hello on a connection of its own (connect, hello, reply,
        close: the whole exchange a device makes) is timed against the same on the echo.
        Returns (samples' statistics, ratios)."""
        n = self.args.samples
        with tb.InNetns(self.net.dev_ns):
            echo_udp = stamped_socket(socket.SOCK_DGRAM)
            echo_udp.bind((DEVICE_IP, 0))
            echo_udp.settimeout(2)
        hello = echo_tcp = None
        try:
            run.wait_listening()
            self.device.wait_beats(run.t_before_exec, 1, 15, run.proc)
            time.sleep(self.args.settle)
            self.device.drain()
            dev = self.device.sock

            def udp_norva(payloads, expect):
                t = time.time_ns()
                for p in payloads:
                    dev.sendto(p, (PC_IP, HB_PORT))
                data, _, stamp = self.device.others.get(timeout=2)
                if data != expect:
                    raise BenchFailure("expected %r, got %r" % (expect, data))
                return stamp - t

            def udp_echo():
                t = time.time_ns()
                echo_udp.sendto(b"NorvaShutdown", (PC_IP, ECHO_PORT))
                data, _, stamp = recv_stamped(echo_udp)
                return (stamp or time.time_ns()) - t

            def tcp_connect(port):
                with tb.InNetns(self.net.dev_ns):
                    s = stamped_socket(socket.SOCK_STREAM)
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                s.settimeout(2)
                s.connect((PC_IP, port))
                return s

            def tcp_probe(s, expect_len):
                t = time.time_ns()
                s.sendall(b"hello-000")
                got, stamp = b"", None
                while len(got) < expect_len:
                    data, _, st = recv_stamped(s, 64)
                    if not data:
                        raise ConnectionError("closed")
                    got += data
                    stamp = stamp or st
                return (stamp or time.time_ns()) - t

            def tcp_fresh(port, expect_len):
                # The whole exchange on a connection of its own: from before connect to the
                # kernel's stamp of the reply; the close follows, untimed.
                with tb.InNetns(self.net.dev_ns):
                    s = stamped_socket(socket.SOCK_STREAM)
                try:
                    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    s.settimeout(2)
                    t = time.time_ns()
                    s.connect((PC_IP, port))
                    s.sendall(b"hello-000")
                    got, stamp = b"", None
                    while len(got) < expect_len:
                        data, _, st = recv_stamped(s, 64)
                        if not data:
                            raise BenchFailure("%s closed a connection before its reply"
                                               % ("the echo" if port == ECHO_PORT else program))
                        got += data
                        stamp = stamp or st
                    return (stamp or time.time_ns()) - t
                finally:
                    s.close()

            samples = {"shutdown": [], "udp_echo": [], "ack_then_shutdown": [],
                       "other_then_shutdown": [], "hello": [], "tcp_echo": [],
                       "hello_fresh": [], "tcp_echo_fresh": []}
            hello, echo_tcp = tcp_connect(COMMAND_PORT), tcp_connect(ECHO_PORT)
            reconnects = 0
            kinds = list(samples)
            for _ in range(n):
                random.shuffle(kinds)
                for kind in kinds:
                    if kind == "shutdown":
                        samples[kind].append(udp_norva([b"NorvaShutdown"], b"shutdownACK"))
                    elif kind == "ack_then_shutdown":
                        samples[kind].append(udp_norva([b"NorvaACK", b"NorvaShutdown"],
                                                       b"shutdownACK"))
                    elif kind == "other_then_shutdown":
                        # Eight bytes that are no token: counted as received, nothing drawn.
                        samples[kind].append(udp_norva([b"NorvaXYZ", b"NorvaShutdown"],
                                                       b"shutdownACK"))
                    elif kind == "udp_echo":
                        samples[kind].append(udp_echo())
                    elif kind == "hello":
                        # NorvaHB closes a connection that stays quiet for 100 ms; should that
                        # happen between two rounds, open another and measure on it.
                        try:
                            samples[kind].append(tcp_probe(hello, 2))
                        except (ConnectionError, OSError):
                            hello.close()
                            hello = tcp_connect(COMMAND_PORT)
                            reconnects += 1
                            samples[kind].append(tcp_probe(hello, 2))
                    elif kind == "hello_fresh":
                        samples[kind].append(tcp_fresh(COMMAND_PORT, 2))
                    elif kind == "tcp_echo_fresh":
                        samples[kind].append(tcp_fresh(ECHO_PORT, 9))
                    else:
                        samples[kind].append(tcp_probe(echo_tcp, 9))
                    time.sleep(0.002)
            st = {k: us_stats(v) for k, v in samples.items()}
            st["hello_reconnects"] = reconnects
            ratio_udp = st["shutdown"]["median_us"] / st["udp_echo"]["median_us"]
            ratio_tcp = st["hello"]["median_us"] / st["tcp_echo"]["median_us"]
            ratio_fresh = st["hello_fresh"]["median_us"] / st["tcp_echo_fresh"]["median_us"]
            ack_cost = st["ack_then_shutdown"]["median_us"] - st["shutdown"]["median_us"]
            other_cost = st["other_then_shutdown"]["median_us"] - st["shutdown"]["median_us"]
            ratios = {"udp": ratio_udp, "tcp": ratio_tcp, "tcp_fresh": ratio_fresh,
                      "ack_handling_us": ack_cost, "other_handling_us": other_cost}
            self.say(fmt_us('"NorvaShutdown" -> "shutdownACK"', st["shutdown"]))
            self.say(fmt_us("UDP echo, same path", st["udp_echo"]))
            self.say("  [4] ratio of medians: %.2fx (target %s)" % (ratio_udp, goal))
            self.say(fmt_us('hello -> 00 00', st["hello"]))
            self.say(fmt_us("TCP echo, same path", st["tcp_echo"]))
            self.say("  [5] ratio of medians: %.2fx (target %s); %d reconnects"
                     % (ratio_tcp, goal, reconnects))
            self.say(fmt_us('connect, hello -> 00 00, close', st["hello_fresh"]))
            self.say(fmt_us("connect, TCP echo, close", st["tcp_echo_fresh"]))
            self.say("  [5] ratio of medians, a connection each: %.2fx (target %s)"
                     % (ratio_fresh, goal))
            self.say(fmt_us('"NorvaACK"+"NorvaShutdown" -> reply', st["ack_then_shutdown"]))
            self.say(fmt_us('"NorvaXYZ"+"NorvaShutdown" -> reply', st["other_then_shutdown"]))
            self.say("  [2] a datagram ahead of the shutdown costs (difference of medians): "
                     "NorvaACK %.1f us (hand-over + handler + good state set%s), a non-token "
                     "%.1f us (hand-over + counter)"
                     % (ack_cost, ", and its repaint when the UI thread gets to it first"
                        if program == "NorvaHB" else "", other_cost))
            return st, ratios
        finally:
            for s in (hello, echo_tcp, echo_udp):
                if s is not None:
                    s.close()

    # --- 6 and 7 under Xvfb with a tray ---------------------------------------------------

    def start_display(self):
        """An Xvfb display in the PC namespace with the bench's tray host holding its tray.
        Returns (display, events, processes): events is a queue of (kind, CLOCK_MONOTONIC ns)
        from tray-host ("dock", "map", "painted", "gone"); the processes are to be stopped
        when done (tb.stop_process)."""
        r, w = os.pipe()
        with tb.InNetns(self.net.pc_ns):
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-nolisten", "tcp",
                                     "-screen", "0", "1024x768x24"], pass_fds=(w,),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        self.lab.procs.append(xvfb)
        os.close(w)
        with os.fdopen(r) as f:
            number = f.readline().strip()
        if not number.isdigit():
            raise BenchFailure("Xvfb did not start")
        display = ":" + number
        env = dict(os.environ, DISPLAY=display)
        with tb.InNetns(self.net.pc_ns):
            tray = subprocess.Popen([self.tray_host], env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lab.procs.append(tray)
        events = queue.Queue()

        def read_tray():
            for line in tray.stdout:
                parts = line.split()
                if os.environ.get("BENCH_DEBUG"):
                    print("tray-host: " + line.strip(), file=sys.stderr)
                if len(parts) >= 2 and parts[-1].isdigit():
                    events.put((parts[0], int(parts[-1])))

        threading.Thread(target=read_tray, daemon=True).start()
        kind, _ = events.get(timeout=10)
        if kind != "ready":
            tb.stop_process(tray)
            tb.stop_process(xvfb)
            raise BenchFailure("tray-host did not start: %s" % kind)
        return display, events, (tray, xvfb)

    def xvfb(self):
        if not self.tray_host:
            self.say("\n[6][7] under Xvfb with a tray: skipped (%s)" % self.no_tray_reason())
            return
        self.say("\n[6][7] under Xvfb with the bench's own tray host (XEmbed)")
        display, events, procs = self.start_display()
        starts = []
        try:
            for i in range(self.args.xvfb_startups):
                run = NorvaRun(self, settings(freq=1, started=0), display=display)
                try:
                    t_listen = run.wait_listening()
                    got = {}
                    deadline = time.monotonic() + 15
                    while "painted" not in got and time.monotonic() < deadline:
                        try:
                            k, t = events.get(timeout=0.2)
                            got.setdefault(k, t)
                        except queue.Empty:
                            pass
                    row = {"listen_ms": (t_listen - run.t_before_exec) / 1e6}
                    for k in ("dock", "map", "painted"):
                        if k in got:
                            row[k + "_ms"] = (got[k] - run.t_before_exec) / 1e6
                    starts.append(row)
                    self.say("  start %d: exec->listening %.1f ms, ->dock request %s, "
                             "->icon mapped %s, ->icon drawn %s" % (
                                 i + 1, row["listen_ms"],
                                 *("%.1f ms" % row[k + "_ms"] if k + "_ms" in row else "never"
                                   for k in ("dock", "map", "painted"))))
                finally:
                    run.stop()
                    # The icon leaves with the program.
                    t_end = time.monotonic() + 3
                    while time.monotonic() < t_end:
                        try:
                            if events.get(timeout=0.2)[0] == "gone":
                                break
                        except queue.Empty:
                            pass
            self.results["xvfb_startup"] = starts
            if starts:
                for k in ("listen", "dock", "map", "painted"):
                    vals = [s[k + "_ms"] for s in starts if k + "_ms" in s]
                    if vals:
                        self.say("  exec->%s: median %.1f ms" % (k, median(vals)))
            self.results["idle_xvfb"] = self.idle("Xvfb + tray, Start In Tray off", display)
            self.results["idle_xvfb_start_in_tray"] = self.idle("Xvfb + tray, Start In Tray on",
                                                                display, start_in_tray=1)
        finally:
            for proc in procs:
                tb.stop_process(proc)

    def no_tray_reason(self):
        return ("--no-xvfb" if self.args.no_xvfb else
                "Xvfb is missing, or tray-host was not built (no X11 headers)")

    # --- 8: memory and CPU over a long run, the icon docked in a tray -------------------

    def soak(self):
        minutes, warmup = self.args.soak_minutes, self.args.soak_warmup
        if minutes <= 0:
            return
        if not self.tray_host:
            self.say("\n[8] soak run: skipped (%s)" % self.no_tray_reason())
            return
        self.say("\n[8] soak run: Freq=1, the device answering NorvaACK, the window shown, the "
                 "icon docked in the bench's X11 tray (Xvfb), \"Show Status In Tray\" on; "
                 "%.1f min after %.0f s of warm-up" % (minutes, warmup))
        self.device.answer = "ack"
        display, events, procs = self.start_display()
        try:
            run = NorvaRun(self, settings(freq=1, started=1, status_in_tray=1), display=display)
            try:
                run.wait_listening()
                deadline = time.monotonic() + 15
                while True:
                    try:
                        if events.get(timeout=0.2)[0] == "painted":
                            break
                    except queue.Empty:
                        pass
                    if time.monotonic() > deadline:
                        raise BenchFailure("the tray icon was not drawn within 15 s")
                self.device.wait_beats(run.t_before_exec, 1, 15, run.proc)
                self.sleep_alive(warmup, run)
                self.results["soak"] = self.soak_figures(run, minutes * 60)
            finally:
                run.stop()
        finally:
            for proc in procs:
                tb.stop_process(proc)

    def soak_figures(self, run, seconds):
        """Resident memory sampled every --soak-sample seconds for `seconds`; the growth is
        taken both end minus start and as the least-squares slope of the samples, per answer
        (each heartbeat is answered, one a second)."""
        pid, step = run.pid, self.args.soak_sample
        t0, cpu0 = mono_ns(), cpu_seconds(pid)
        start = {"rss_kb": rss_kb(pid), "threads": len(os.listdir("/proc/%d/task" % pid)),
                 "fds": open_fds(pid)}
        samples = [(0.0, start["rss_kb"])]
        end_at = time.monotonic() + seconds
        while time.monotonic() < end_at:
            self.sleep_alive(min(step, max(0.0, end_at - time.monotonic())), run)
            samples.append(((mono_ns() - t0) / 1e9, rss_kb(pid)))
        t1, cpu1 = mono_ns(), cpu_seconds(pid)
        span = (t1 - t0) / 1e9
        end = {"rss_kb": samples[-1][1], "threads": len(os.listdir("/proc/%d/task" % pid)),
               "fds": open_fds(pid)}
        answers = len([t for t in self.device.beats_since(t0) if t < t1])
        growth = end["rss_kb"] - start["rss_kb"]
        kb_per_s = slope([t for t, _ in samples], [r for _, r in samples])
        per_answer = growth / answers if answers else float("nan")
        slope_per_answer = kb_per_s * span / answers if answers else float("nan")
        fig = {"seconds": span, "answers": answers, "start": start, "end": end,
               "hwm_kb": rss_mb(pid)[1] * 1024, "growth_kb": growth,
               "growth_kb_per_answer": per_answer, "slope_kb_per_answer": slope_per_answer,
               "slope_kb_per_hour": kb_per_s * 3600.0, "cpu_s": cpu1 - cpu0,
               "cpu_s_per_hour": (cpu1 - cpu0) * 3600.0 / span,
               "samples": [(round(t, 1), r) for t, r in samples],
               "alert": run.first_line(ALERT_RE, t0) is not None}
        self.say("  VmRSS after warm-up %.1f MB, at the end %.1f MB (peak %.1f MB): %+d kB over "
                 "%d answers in %.0f s = %+.3f kB per answer (least-squares slope %+.3f kB per "
                 "answer, %+.0f kB per hour; goal: no growth beyond noise)"
                 % (start["rss_kb"] / 1024, end["rss_kb"] / 1024, fig["hwm_kb"] / 1024, growth,
                    answers, span, per_answer, slope_per_answer, fig["slope_kb_per_hour"]))
        self.say("  threads %d -> %d, open files %d -> %d; CPU %.2f s = %.2f s per hour (goal: "
                 "under 5 s; clock-tick resolution %.2f s per hour)"
                 % (start["threads"], end["threads"], start["fds"], end["fds"], fig["cpu_s"],
                    fig["cpu_s_per_hour"], 3600.0 / os.sysconf("SC_CLK_TCK") / span))
        if fig["alert"]:
            self.say("  NOTE: the failure alert came during this run")
        return fig

    # --- the whole run ---------------------------------------------------------------------

    STEPS = ["startup", "idle", "roundtrip", "schedule", "xvfb", "soak", "service"]

    def steps(self):
        return self.args.only or self.STEPS

    def run(self):
        info = machine()
        self.results["machine"] = info
        self.results["command"] = " ".join(sys.argv)
        self.say("NorvaHB benchmark, %s" % info["date"])
        self.say("command: %s" % self.results["command"])
        self.say("machine: %d CPUs, %s; Linux %s; Qt %s; load average at start %s"
                 % (info["nproc"], info["cpu"], info["kernel"], info["qt"], loadavg()))
        self.say("programs: %s" % ", ".join(
            self.paths[name] for name in ("norvahb", "norvahbd") if name in self.lab.paths))
        steps = {"startup": self.startups_and_alert, "idle": self.idle_offscreen,
                 "roundtrip": self.round_trips, "schedule": self.heartbeat_schedule,
                 "xvfb": self.xvfb, "soak": self.soak,
                 "service": lambda: service_bench.ServicePart(self, sys.modules[__name__]).run()}
        for name in self.steps():
            self.say("\n(load average now %s)" % loadavg())
            steps[name]()
        self.results["loadavg_end"] = loadavg()
        self.say("\nload average at the end: %s" % self.results["loadavg_end"])


# --- the load generator (runs as its own process in the device namespace) ------------------

def load_worker(args):
    """Keeps `load_conns` connections to the command port busy for `load_seconds`: each sends a
    hello or a junk packet every `load_interval_ms` (never quiet for the 100 ms after which
    NorvaHB drops a connection), and after 40 messages closes and connects anew, so accepting
    and connection threads are exercised too. Junk packets start with 0x5a 0x01: a command
    whose user name is "\\x01...", which matches no configured user. Prints its counts as JSON."""
    rng = random.Random(1)
    sel = selectors.DefaultSelector()
    interval = args.load_interval_ms / 1000.0
    end = time.monotonic() + args.load_seconds
    stats = {"connections": 0, "hellos": 0, "replies": 0, "junk": 0, "closed_by_pc": 0,
             "connect_errors": 0}
    reply_us = []
    conns = {}

    def open_one(delay):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        # Without this, a hello sent right after a junk packet (which gets no reply, so its
        # acknowledgement is delayed) waits for that acknowledgement in this process's own
        # kernel, and the reply times would measure the delayed-ACK timer, not NorvaHB.
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.setblocking(False)
        try:
            s.connect((PC_IP, COMMAND_PORT))
        except BlockingIOError:
            pass
        except OSError:
            stats["connect_errors"] += 1
            s.close()
            return
        conns[s] = {"next": time.monotonic() + delay, "left": 40, "sent_at": None,
                    "hello": True}
        sel.register(s, selectors.EVENT_READ)
        stats["connections"] += 1

    def close_one(s):
        sel.unregister(s)
        s.close()
        conns.pop(s, None)

    for i in range(args.load_conns):
        open_one(interval * i / args.load_conns)
    while time.monotonic() < end:
        now = time.monotonic()
        for s, c in list(conns.items()):
            if now < c["next"]:
                continue
            if c["left"] == 0:
                close_one(s)
                open_one(0)
                continue
            try:
                if c["hello"] or args.load_hellos_only:
                    s.send(b"hello-000")
                    c["sent_at"] = time.monotonic_ns()
                    stats["hellos"] += 1
                else:
                    s.send(b"\x5a\x01" + bytes(rng.randrange(256) for _ in range(45)))
                    stats["junk"] += 1
            except BlockingIOError:
                pass
            except OSError:
                close_one(s)
                open_one(interval)
                continue
            c["hello"] = not c["hello"]
            c["left"] -= 1
            c["next"] = now + interval * (0.8 + 0.4 * rng.random())
        wait = min([c["next"] for c in conns.values()] + [end]) - time.monotonic()
        for key, _ in sel.select(max(0.0, wait)):
            s = key.fileobj
            try:
                data = s.recv(4096)
            except BlockingIOError:
                continue
            except OSError:
                data = b""
            if not data:
                stats["closed_by_pc"] += 1
                close_one(s)
                open_one(interval)
                continue
            c = conns.get(s)
            if c and c["sent_at"]:
                reply_us.append((time.monotonic_ns() - c["sent_at"]) / 1000.0)
                c["sent_at"] = None
            stats["replies"] += len(data) // 2
    for s in list(conns):
        close_one(s)
    if reply_us:
        stats["reply_median_us"] = median(reply_us)
        stats["reply_p99_us"] = percentile(reply_us, 99)
    print(json.dumps(stats))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--minutes", type=float, default=3.0,
                   help="length of the heartbeat schedule run (default 3)")
    p.add_argument("--load-minutes", type=float, default=None,
                   help="length of the run under load (default: --minutes)")
    p.add_argument("--build", default=os.path.join(ROOT, "build-bench"),
                   help="build folder with NorvaHB, norva-device, fake-login1 and the "
                        "bench's echo-peer and tray-host")
    p.add_argument("--samples", type=int, default=500, help="round trips of each kind")
    p.add_argument("--startups", type=int, default=5, help="starts timed (offscreen)")
    p.add_argument("--xvfb-startups", type=int, default=3, help="starts timed under Xvfb")
    p.add_argument("--idle-seconds", type=int, default=30)
    p.add_argument("--settle", type=float, default=3.0,
                   help="seconds a started program is left before measuring")
    p.add_argument("--load-conns", type=int, default=32)
    p.add_argument("--load-interval-ms", type=int, default=25)
    p.add_argument("--no-xvfb", action="store_true", help="skip the Xvfb measurements")
    p.add_argument("--soak-minutes", type=float, default=30.0,
                   help="length of the soak run, memory and CPU with the icon docked in a "
                        "tray (default 30; 0 leaves it out)")
    p.add_argument("--soak-warmup", type=float, default=60.0,
                   help="seconds the soak run waits before its first memory figure")
    p.add_argument("--soak-sample", type=float, default=10.0,
                   help="seconds between memory samples of the soak run")
    p.add_argument("--only", nargs="+", choices=Bench.STEPS,
                   help="run only these parts (service: every figure of the service norvahbd)")
    p.add_argument("--service-parts", nargs="+", choices=service_bench.PARTS,
                   help="with the service's part, run only these of it")
    p.add_argument("--service-env", nargs="+", metavar="NAME=VALUE",
                   help="more environment for norvahbd (say QT_NO_GLIB=1, to compare)")
    p.add_argument("--service-startups", type=int, default=5,
                   help="starts of norvahbd timed to READY=1")
    p.add_argument("--profile-seconds", type=float, default=20.0,
                   help="seconds of the service's heartbeat traced for where its time goes "
                        "(strace; 0 leaves the tracing out)")
    p.add_argument("--profile-samples", type=int, default=100,
                   help="hellos and device messages traced, one at a time")
    p.add_argument("--trace-dir",
                   help="keep the service's raw traces (strace output) in this folder")
    p.add_argument("--json", help="also write every figure to this file")
    p.add_argument("--load-worker", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--load-seconds", type=float, default=0, help=argparse.SUPPRESS)
    p.add_argument("--load-hellos-only", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.load_worker:
        load_worker(args)
        return 0
    if args.load_minutes is None:
        args.load_minutes = args.minutes
    args.load_conns = max(1, min(args.load_conns, 200))
    args.load_interval_ms = max(5, min(args.load_interval_ms, 80))
    if os.geteuid() != 0:
        print("bench: needs root, to create its own network namespaces (run: sudo make bench, "
              "or sudo python3 bench/run.py)", file=sys.stderr)
        return 2

    def interrupted(signum, _frame):
        raise KeyboardInterrupt("signal %d" % signum)

    # SIGINT too: a shell that starts the bench in the background leaves SIGINT ignored, and
    # Python then installs no handler of its own.
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, interrupted)

    bench = Bench(args)
    status = 1
    try:
        bench.open()
        bench.run()
        status = 0
    except (BenchFailure, tb.SetupFailure) as e:
        print("bench FAILED: %s" % e, file=sys.stderr)
    except KeyboardInterrupt as e:
        print("bench interrupted (%s); cleaning up" % (e or "Ctrl-C"), file=sys.stderr)
        status = 130
    finally:
        bench.close()
        if args.json:
            with open(args.json, "w") as f:
                json.dump(bench.results, f, indent=1, default=str)
    return status


if __name__ == "__main__":
    sys.exit(main())
