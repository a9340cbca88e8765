"""The service norvahbd's figures, measured from outside: the part `service` of bench/run.py.

norvahbd runs as its end-to-end suite runs it (tests/e2e/test_norvahbd_e2e.py): in the PC's
namespace, on the test bed's private system bus with the project's bus policy, the fake login
manager and the fake polkit authority (which answers "deny" to everything: the bench calls no
guarded method), with a notify socket of the bench's own in place of the service manager's, and
with its settings file and metrics file in a home of its own. The device side is bench/run.py's
own (its Device answers every heartbeat with "NorvaACK"); the echo peer is the same baseline.

Figures, with the issue's goals:
  a. exec -> READY=1 (goal < 150 ms): from just before the spawn to the kernel's receive stamp
     (SO_TIMESTAMPNS) of the READY=1 datagram on the notify socket; also exec -> first
     heartbeat at the device, and resident memory after start (goal < 12 MB);
  b. idle wake-ups with the heartbeat stopped (goal 0 in 30 s): voluntary + non-voluntary
     context switches of every thread, from /proc/PID/task/*/status, as the desktop's figure 6;
     once as the end-to-end suite starts it (no watchdog) and once with WATCHDOG_USEC as the
     unit's WatchdogSec=30 sets it (a keep-alive every 15 s, by design);
  c. the heartbeat at Freq=1: CPU per hour (goal < 1 s), resident memory after the run, the
     departure error (median < 1 ms, max < 10 ms), and the same schedule under command-port
     load (bench/run.py's figures 1, 3 and 6, on the service), and what the bus daemon spent
     meanwhile on the service's signals;
  d. round trips against the plain echo (goal at most 2x): "NorvaShutdown" -> "shutdownACK"
     (a device message), hello -> 00 00 on an open connection and on a connection of its own;
  e. where the time goes (strace, when installed): every system call of every thread over
     --profile-seconds of heartbeats, and over --profile-samples hellos and device messages
     one at a time, counted per heartbeat, per hello and per message; the files opened for
     writing and renamed, the lines written to standard error (the journal), and the bus
     messages the service sent (dbus-monitor on the private bus).
"""

import os
import re
import shutil
import socket
import struct
import subprocess
import threading
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUS_POLICY = os.path.join(ROOT, "packaging", "dbus", "com.norva.NorvaHB1.conf")
OBJECT_PATH = "/com/norva/NorvaHB1"
SO_TIMESTAMPNS = 35
UNIT_WATCHDOG_USEC = 30000000  # WatchdogSec=30 in packaging/systemd/norvahbd.service.in
PARTS = ["startup", "idle", "heartbeat", "roundtrip", "profile"]  # a to e above


class StampedNotify:
    """A notify socket of the bench's own: every datagram is stamped by the kernel as it
    arrives (SO_TIMESTAMPNS works on AF_UNIX datagrams too) and carries its sender's process
    id (SO_PASSCRED), so READY=1 is timed without the reader's scheduling in the figure."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC)
        self.sock.bind(path)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.settimeout(0.2)
        self.messages = []  # (pid, {key: value}, CLOCK_MONOTONIC ns of arrival)
        self.cond = threading.Condition()
        self.closing = False
        self.thread = threading.Thread(target=self._run, name="notify", daemon=True)
        self.thread.start()

    def _run(self):
        ucred = struct.calcsize("3i")
        space = socket.CMSG_SPACE(ucred) + socket.CMSG_SPACE(16)
        while not self.closing:
            try:
                data, anc, _flags, _addr = self.sock.recvmsg(4096, space)
            except socket.timeout:
                continue
            except OSError:
                return
            offset = time.time_ns() - time.monotonic_ns()
            pid, stamp = 0, None
            for level, kind, payload in anc:
                if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                    pid = struct.unpack("3i", payload[:ucred])[0]
                elif level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    sec, nsec = struct.unpack("qq", payload[:16])
                    stamp = sec * 1000000000 + nsec - offset
            fields = dict(line.split("=", 1) for line in
                          data.decode("utf-8", "replace").split("\n") if "=" in line)
            with self.cond:
                self.messages.append((pid, fields, stamp or time.monotonic_ns()))
                self.cond.notify_all()

    def wait_for(self, pid, key, value, timeout, proc):
        """CLOCK_MONOTONIC ns at which `pid` sent `key`=`value`; None if it did not within
        `timeout` seconds or `proc` ended."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for p, fields, t in self.messages:
                    if p == pid and fields.get(key) == value:
                        return t
                if time.monotonic() > deadline or proc.poll() is not None:
                    return None
                self.cond.wait(0.05)

    def close(self):
        self.closing = True
        self.thread.join(2)
        self.sock.close()


def service_settings(R, freq, started, metrics):
    s = R.settings(freq=freq, started=started)
    # As the end-to-end suite and a monitored machine have it: the metrics file is written.
    s["Service"] = {"MetricsFile": metrics}
    return s


def fmt_memory(m):
    return "anonymous %.1f MB, file-backed %.1f MB, proportional %.1f MB" % (
        m.get("RssAnon", 0) / 1024.0, m.get("RssFile", 0) / 1024.0, m.get("Pss", 0) / 1024.0)


def thread_names(pid):
    out = {}
    try:
        for tid in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                    out[int(tid)] = f.read().strip()
            except OSError:
                pass
    except OSError:
        pass
    return out


def make_service_run(R):
    class ServiceRun(R.NorvaRun):
        """One run of the real norvahbd in the PC namespace, started by the test bed as its
        unit starts it (Lab.start_norvahbd, straight into the namespace so nothing runs
        between the spawn and the exec), with a StampedNotify as its notify socket. Standard
        error (its journal) comes through a pipe and is read as NorvaRun reads NorvaHB's."""

        count = 0

        def __init__(self, bench, freq, started, watchdog_usec=None):
            self.bench = bench
            lab = bench.lab
            self.home = lab.new_home("service-")
            self.metrics = os.path.join(self.home.home, "norvahb.prom")
            R.tb.write_settings(self.home.settings_path,
                                service_settings(R, freq, started, self.metrics))
            ServiceRun.count += 1
            self.notify = StampedNotify(os.path.join(lab.dir, "bench-notify-%d"
                                                     % ServiceRun.count))
            self.lines = []
            self.line_count = 0
            self.tail = []
            env = dict(kv.split("=", 1) for kv in bench.args.service_env or ())
            env["NOTIFY_SOCKET"] = self.notify.path
            self._follow(lab.start_norvahbd(self.home, bench.net, notify=False, env=env,
                                            watchdog_usec=watchdog_usec,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                            setns=True))

        def wait_ready(self, timeout=15):
            t = self.notify.wait_for(self.pid, "READY", "1", timeout, self.proc)
            if t is None:
                raise R.BenchFailure("norvahbd sent no READY=1 within %d s (status %s):\n%s"
                                     % (timeout, self.proc.poll(), "\n".join(self.tail)))
            return t

        def wait_listening(self, timeout=15, step=0.0002):
            # The service listens before it says READY=1; waiting for that costs no polling.
            return self.wait_ready(timeout)

        def stop(self):
            R.NorvaRun.stop(self)
            self.notify.close()

    return ServiceRun


# --- tracing ---------------------------------------------------------------------------------

STRACE_LINE = re.compile(r"^(\d+)\s+\d+\.\d+\s+(\w+)\((.*)")
OPENED = re.compile(r'^(?:AT_FDCWD|\d+), "([^"]*)", ([A-Z_|]+)')
RENAME = re.compile(r'"([^"]*)", (?:AT_FDCWD|\d+), "([^"]*)"|^"([^"]*)", "([^"]*)"')
STDERR_WRITE = re.compile(r'^2, "((?:[^"\\]|\\.)*)"')


class Trace:
    """strace attached to every thread of a running process (-f -p), writing every system call
    with its thread and time to a file, until stop()."""

    def __init__(self, R, pid, path, marker):
        """`marker` (a regex) picks the system calls that count the events traced: the sends
        of a heartbeat, the accepts of a hello, the replies to a device message."""
        self.R, self.pid, self.path, self.marker = R, pid, path, re.compile(marker)
        self.names = thread_names(pid)
        self.proc = subprocess.Popen(["strace", "-f", "-qq", "-ttt", "-s", "160", "-o", path,
                                      "-p", str(pid)],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        # Attached once strace has written its first line or a moment has passed: the
        # process may be quiet, and then there is nothing to see.
        time.sleep(0.5)
        if self.proc.poll() is not None:
            raise R.BenchFailure("strace could not attach: " + self.proc.stderr.read())

    def stop(self):
        # strace detaches from every thread on SIGTERM and ends; the process goes on.
        self.R.tb.stop_process(self.proc)
        return self.parse()

    def parse(self):
        calls = Counter()          # (thread name, syscall) -> count
        by_call = Counter()        # syscall -> count
        written, read, renamed, journal = Counter(), Counter(), Counter(), Counter()
        events = 0
        with open(self.path, errors="replace") as f:
            for line in f:
                m = STRACE_LINE.match(line)
                if not m:
                    continue
                tid, name, rest = int(m.group(1)), m.group(2), m.group(3)
                thread = self.names.get(tid, "a thread started meanwhile")
                calls[(thread, name)] += 1
                by_call[name] += 1
                if self.marker.search(name + "(" + rest):
                    events += 1
                if name in ("openat", "open"):
                    o = OPENED.match(rest)
                    if o and ("O_WRONLY" in o.group(2) or "O_RDWR" in o.group(2)):
                        # A temporary file renamed into place has a new name each time.
                        written[re.sub(r"\.[^./]*\.[A-Za-z0-9]{6}$", ".XXXXXX",
                                       o.group(1))] += 1
                    elif o:
                        read[o.group(1)] += 1
                elif name.startswith("rename"):
                    r = RENAME.search(rest)
                    if r:
                        renamed[r.group(2) or r.group(4)] += 1
                elif name == "write":
                    w = STDERR_WRITE.match(rest)
                    if w:
                        # One journal line each (its priority first); the text up to its
                        # first digit is its kind.
                        text = re.sub(r"^<\d>", "", w.group(1).replace("\\n", ""))
                        journal[re.sub(r"\d.*", "...", text[:60])] += 1
        return {"calls": calls, "by_call": by_call, "written": written, "read": read,
                "renamed": renamed, "journal": journal, "events": events}


class BusMonitor:
    """dbus-monitor on the test bed's private bus (after its guard), one line per message
    (--profile), until stop(): the bus messages the service sends, by interface and member."""

    def __init__(self, R, lab):
        self.R = R
        lab.require_private_bus(lab.bus_address, what="dbus-monitor")
        self.proc = subprocess.Popen(["dbus-monitor", "--address", lab.bus_address, "--profile"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.lines = []
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        time.sleep(0.5)

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.split())

    def stop(self):
        self.R.tb.stop_process(self.proc)
        self.thread.join(2)
        sent = Counter()
        for cols in self.lines:
            # type time serial sender destination path interface member
            if len(cols) >= 8 and cols[0] == "sig" and cols[5] == OBJECT_PATH:
                sent["%s.%s" % (cols[6], cols[7])] += 1
        return sent


# --- the part ----------------------------------------------------------------------------------

class ServicePart:
    def __init__(self, bench, R):
        self.bench, self.R = bench, R
        self.args = bench.args
        self.say = bench.say
        self.ServiceRun = make_service_run(R)
        self.results = bench.results.setdefault("service", {})

    def run(self):
        self.say("\n[9] the service norvahbd (%s), on the private bus with the project's bus "
                 "policy, the fake login manager and the fake polkit authority"
                 % self.bench.paths["norvahbd"])
        steps = {"startup": self.startups, "idle": self.idle, "heartbeat": self.heartbeat,
                 "roundtrip": self.round_trips, "profile": self.profile}
        for name in self.args.service_parts or PARTS:
            self.say("\n(load average now %s)" % self.R.loadavg())
            steps[name]()
        self.summary()

    # --- a: start-up and memory ----------------------------------------------------------

    def startups(self):
        R, n = self.R, self.args.service_startups
        self.say("\n[9a] start-up: %d starts, Freq=1, the device answering" % n)
        self.bench.device.answer = "ack"
        ready, first, rss, mem = [], [], [], []
        for i in range(n):
            run = self.ServiceRun(self.bench, freq=1, started=1)
            try:
                t_ready = run.wait_ready()
                beats = self.bench.device.wait_beats(run.t_before_exec, 1, 15, run.proc)
                ready.append((t_ready - run.t_before_exec) / 1e6)
                first.append((beats[0] - run.t_before_exec) / 1e6)
                time.sleep(self.args.settle)
                mem.append(R.memory_kb(run.pid))
                rss.append(mem[-1]["VmRSS"] / 1024.0)
                self.say("  start %d: exec->READY=1 %.1f ms, exec->first heartbeat %.1f ms, "
                         "%.0f s later VmRSS %.1f MB (%s)"
                         % (i + 1, ready[-1], first[-1], self.args.settle, rss[-1],
                            fmt_memory(mem[-1])))
            finally:
                run.stop()
        self.results["startup"] = {"exec_to_ready_ms": ready, "exec_to_first_heartbeat_ms":
                                   first, "rss_mb_after_start": rss, "memory_kb": mem}
        self.say("  exec->READY=1: median %.1f ms, max %.1f ms (first start %.1f ms); exec->"
                 "first heartbeat: median %.1f ms; VmRSS after start: median %.1f MB"
                 % (R.median(ready), max(ready), ready[0], R.median(first), R.median(rss)))

    # --- b: idle -----------------------------------------------------------------------------

    def idle(self):
        self.say("\n[9b] idle, heartbeat stopped (Run/IsStarted=0), %d s"
                 % self.args.idle_seconds)
        self.results["idle"] = self.idle_once("as the end-to-end suite starts it (no watchdog)")
        self.results["idle_watchdog"] = self.idle_once(
            "with WATCHDOG_USEC=%d as the unit sets it" % UNIT_WATCHDOG_USEC,
            watchdog_usec=UNIT_WATCHDOG_USEC)

    def idle_once(self, label, watchdog_usec=None):
        R, seconds = self.R, self.args.idle_seconds
        run = self.ServiceRun(self.bench, freq=1, started=0, watchdog_usec=watchdog_usec)
        try:
            run.wait_ready()
            time.sleep(self.args.settle)
            before, cpu0 = R.thread_switches(run.pid), R.cpu_seconds(run.pid)
            time.sleep(seconds)
            after, cpu1 = R.thread_switches(run.pid), R.cpu_seconds(run.pid)
            rss, hwm = R.rss_mb(run.pid)
            per_thread = sorted(((count - before.get(tid, (name, 0))[1], name)
                                 for tid, (name, count) in after.items()), reverse=True)
            total = sum(c for c, _ in per_thread)
            res = {"wakeups": total, "seconds": seconds, "threads": len(after),
                   "by_thread": [(name, c) for c, name in per_thread if c],
                   "cpu_s": cpu1 - cpu0, "rss_mb": rss, "hwm_mb": hwm}
            self.say("  %s: %d wake-ups in %d s (%d threads; %s), CPU %.2f s, VmRSS %.1f MB"
                     % (label, total, seconds, len(after),
                        ", ".join("%s %d" % x for x in res["by_thread"]) or "none woke",
                        res["cpu_s"], rss))
            return res
        finally:
            run.stop()

    # --- c: the heartbeat running, alone and under load ------------------------------------

    def heartbeat(self):
        self.say("\n[9c] heartbeat schedule, Freq=1, the device answering NorvaACK, %.1f min"
                 % self.args.minutes)
        self.bench.device.answer = "ack"
        run = self.ServiceRun(self.bench, freq=1, started=1)
        try:
            self.results.update(self.bench.measure_schedule(
                run, label="[9c] norvahbd's heartbeat running", program="norvahbd",
                others={"the bus daemon": self.bench.lab.bus.pid}))
        finally:
            run.stop()
        # The mixed load's junk soon has its source locked out, after which its hellos are
        # dropped unanswered too, for as long as the lockout lasts; a load of hellos alone, on
        # a service that has not locked the source out, takes every message through to the
        # event loop.
        run = self.ServiceRun(self.bench, freq=1, started=1)
        try:
            run.wait_ready()
            self.bench.device.wait_beats(run.t_before_exec, 1, 15, run.proc)
            (self.results["schedule_under_hello_load"],
             self.results["hello_load"]) = self.bench.measure_under_load(
                run, program="norvahbd", hellos_only=True, label="[9c] a fresh service:")
        finally:
            run.stop()

    # --- d: round trips ------------------------------------------------------------------------

    def round_trips(self):
        self.say("\n[9d] round trips, %d each, interleaved; norvahbd with Freq=3600 (one "
                 "heartbeat at start, then a quiet line)" % self.args.samples)
        self.bench.device.answer = "ack"
        run = self.ServiceRun(self.bench, freq=3600, started=1)
        try:
            st, ratios = self.bench.measure_round_trips(run, program="norvahbd",
                                                        goal="<= 2x")
            self.results["round_trips"], self.results["ratios"] = st, ratios
        finally:
            run.stop()

    # --- e: where the time goes ------------------------------------------------------------

    def profile(self):
        seconds, samples = self.args.profile_seconds, self.args.profile_samples
        if seconds <= 0:
            return
        if not shutil.which("strace") or not shutil.which("dbus-monitor"):
            self.say("\n[9e] where the time goes: skipped (strace or dbus-monitor missing)")
            return
        R, bench = self.R, self.bench
        self.say("\n[9e] where the time goes: every system call of every thread (strace -f), "
                 "the journal lines and the bus messages, over %.0f s of heartbeats at Freq=1 "
                 "and over %d hellos and %d device messages, one every 20 ms (counted from the "
                 "trace: the heartbeats sent, the connections accepted, the replies sent)"
                 % (seconds, samples, samples))
        folder = self.args.trace_dir or bench.lab.dir
        os.makedirs(folder, exist_ok=True)
        prof = self.results["profile"] = {}
        bench.device.answer = "ack"
        run = self.ServiceRun(bench, freq=1, started=1)
        try:
            run.wait_ready()
            bench.device.wait_beats(run.t_before_exec, 2, 15, run.proc)
            time.sleep(self.args.settle)
            monitor = BusMonitor(R, bench.lab)
            trace = Trace(R, run.pid, os.path.join(folder, "service-heartbeat.strace"),
                          r'^send\w*\(.*"NorvaHB"')
            bench.sleep_alive(seconds, run)
            got = trace.stop()
            sent = monitor.stop()
            prof["heartbeat"] = self.report("per heartbeat (and its answer)", got, sent)
        finally:
            run.stop()

        run = self.ServiceRun(bench, freq=3600, started=1)
        try:
            run.wait_ready()
            bench.device.wait_beats(run.t_before_exec, 1, 15, run.proc)
            time.sleep(self.args.settle)
            bench.device.drain()
            for kind, marker, once, label in (
                    ("hello", r"^accept4?\(", self.hello_once,
                     "per hello (connect, hello -> 00 00, close)"),
                    ("device-message", r'^send\w*\(.*"shutdownACK"', self.device_message_once,
                     'per device message ("NorvaShutdown" -> "shutdownACK")')):
                monitor = BusMonitor(R, bench.lab)
                trace = Trace(R, run.pid, os.path.join(folder, "service-%s.strace" % kind),
                              marker)
                for _ in range(samples):
                    once()
                    time.sleep(0.02)
                time.sleep(0.2)
                got = trace.stop()
                sent = monitor.stop()
                prof[kind.replace("-", "_")] = self.report(label, got, sent)
        finally:
            run.stop()

    def hello_once(self):
        R = self.R
        with R.tb.InNetns(self.bench.net.dev_ns):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.settimeout(2)
            s.connect((R.PC_IP, R.COMMAND_PORT))
            s.sendall(b"hello-000")
            got = b""
            while len(got) < 2:
                data = s.recv(64)
                if not data:
                    break
                got += data
        finally:
            s.close()

    def device_message_once(self):
        R, dev = self.R, self.bench.device
        dev.sock.sendto(b"NorvaShutdown", (R.PC_IP, R.HB_PORT))
        data, _, _ = dev.others.get(timeout=2)
        if data != b"shutdownACK":
            raise R.BenchFailure("expected shutdownACK, got %r" % data)

    def report(self, label, got, sent):
        n = got["events"]
        if n <= 0:
            self.say("  %s: nothing happened in the window" % label)
            return {}
        per = lambda c: round(c / n, 2)  # noqa: E731
        threads = Counter()
        for (thread, _name), c in got["calls"].items():
            threads[thread] += c
        res = {"n": n, "syscalls": per(sum(got["by_call"].values())),
               "by_call": {k: per(c) for k, c in got["by_call"].most_common()},
               "by_thread": {k: per(c) for k, c in threads.most_common()},
               "by_thread_call": {"%s: %s" % k: per(c) for k, c in got["calls"].most_common()},
               "files_opened_for_writing": {k: per(c) for k, c in got["written"].items()},
               "files_renamed_into_place": {k: per(c) for k, c in got["renamed"].items()},
               "files_opened_for_reading": {k: per(c) for k, c in got["read"].items()},
               "journal_lines": {k: per(c) for k, c in got["journal"].items()},
               "bus_signals": {k: per(c) for k, c in sent.most_common()}}
        self.say("  %s (n=%d): %.1f system calls" % (label, n, res["syscalls"]))
        self.say("    by thread: " + ", ".join("%s %.1f" % kv for kv in res["by_thread"].items()))
        self.say("    by call: " + ", ".join("%s %.1f" % kv
                                             for kv in list(res["by_call"].items())[:14]))
        self.say("    by thread and call: " + ", ".join(
            "%s %.1f" % kv for kv in list(res["by_thread_call"].items())[:16]))
        self.say("    files opened for writing: " + (", ".join(
            "%s %.2f" % kv for kv in res["files_opened_for_writing"].items()) or "none") +
            "; renamed into place: " + (", ".join(
                "%s %.2f" % kv for kv in res["files_renamed_into_place"].items()) or "none"))
        self.say("    files opened for reading: " + (", ".join(
            "%s %.2f" % kv for kv in res["files_opened_for_reading"].items()) or "none"))
        self.say("    journal lines: " + (", ".join(
            "%r %.2f" % kv for kv in res["journal_lines"].items()) or "none"))
        self.say("    bus signals sent: " + (", ".join(
            "%s %.2f" % kv for kv in res["bus_signals"].items()) or "none"))
        return res

    # --- the figures against their goals ---------------------------------------------------

    def summary(self):
        r, R = self.results, self.R
        rows = []

        def row(name, goal, measured, met):
            rows.append((name, goal, measured, "yes" if met else "NO"))

        st = r.get("startup")
        if st:
            ready = R.median(st["exec_to_ready_ms"])
            row("exec -> READY=1, median (max)", "< 150 ms",
                "%.1f ms (%.1f ms)" % (ready, max(st["exec_to_ready_ms"])),
                max(st["exec_to_ready_ms"]) < 150)
            rss = max(st["rss_mb_after_start"])
            row("VmRSS after start (largest of the starts)", "< 12 MB", "%.1f MB" % rss, rss < 12)
        if "running" in r:
            rss = r["running"]["rss_mb"]
            row("VmRSS after the heartbeat ran %.0f min" % (r["running"]["seconds"] / 60),
                "< 12 MB", "%.1f MB (Pss %.1f MB)"
                % (rss, r["running"]["memory_kb"].get("Pss", 0) / 1024.0), rss < 12)
        for key in ("load", "hello_load"):
            if key in r:
                rss = r[key]["hwm_mb"]
                row("VmRSS peak after the load" + (" of hellos" if key == "hello_load" else ""),
                    "< 12 MB", "%.1f MB" % rss, rss < 12)
        for key, label in (("idle", "idle wake-ups, heartbeat stopped (no watchdog)"),
                           ("idle_watchdog", "idle wake-ups, with the unit's watchdog")):
            if key in r:
                w = r[key]["wakeups"]
                row(label, "0 in %d s" % r[key]["seconds"], "%d" % w, w == 0)
        if "running" in r:
            cpu = r["running"]["cpu_s_per_hour"]
            row("CPU per hour at Freq=1 (utime + stime over %.0f s)" % r["running"]["seconds"],
                "< 1 s", "%.2f s" % cpu, cpu < 1)
        for key, label in (("schedule", "departure error"),
                           ("schedule_under_load", "departure error under load"),
                           ("schedule_under_hello_load", "departure error under hellos")):
            f = r.get(key)
            if f:
                row(label + ": median", "< 1 ms", "%.3f ms" % f["median_ms"], f["median_ms"] < 1)
                row(label + ": max", "< 10 ms", "%.3f ms" % f["max_ms"], f["max_ms"] < 10)
        if "ratios" in r:
            rt = r["round_trips"]
            for kind, echo, ratio, label in (
                    ("shutdown", "udp_echo", "udp", '"NorvaShutdown" -> "shutdownACK"'),
                    ("hello", "tcp_echo", "tcp", "hello -> 00 00, open connection"),
                    ("hello_fresh", "tcp_echo_fresh", "tcp_fresh",
                     "connect, hello -> 00 00 (then close)")):
                row(label + " against the echo", "<= 2x", "%.0f us / %.0f us = %.2fx"
                    % (rt[kind]["median_us"], rt[echo]["median_us"], r["ratios"][ratio]),
                    r["ratios"][ratio] <= 2)
        r["goals"] = rows
        self.say("\n[9] norvahbd against its goals")
        width = max(len(x[0]) for x in rows) if rows else 0
        for name, goal, measured, met in rows:
            self.say("  %-*s  goal %-9s  measured %-28s  met: %s" % (width, name, goal,
                                                                     measured, met))
