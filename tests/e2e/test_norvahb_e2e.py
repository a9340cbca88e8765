#!/usr/bin/env python3
"""End-to-end tests: the real NorvaHB program against the simulated device norva-device.

Usage: test_norvahb_e2e.py NORVAHB NORVA_DEVICE FAKE_LOGIN1 PRIVATE_BUS_SCRIPT [unittest args]

Needs root: every run builds two network namespaces of its own, "the PC" (NorvaHB) and "the
device" (norva-device), joined by a veth pair on 198.18.0.0/30, so both sides use the UDP port
numbers of real hardware and TCP port 9100 is always free. No traffic leaves them.

NorvaHB asks the login manager on the system D-Bus to restart or power off the machine. Here
that bus is a private dbus-daemon started by this suite, with fake-login1 on it recording the
calls in a file; NorvaHB is never started unless DBUS_SYSTEM_BUS_ADDRESS names that private bus.
Settings and the instance lock live in a private temporary folder.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

PC_IP = "198.18.0.1"
DEVICE_IP = "198.18.0.2"
# A second address of the device, outside the link's /30, for cases that need the device at
# two addresses (see Net.add_device_address).
DEVICE_OTHER_IP = "198.18.0.6"
PREFIX_LEN = 30
COMMAND_PORT = 9100
REAL_SYSTEM_BUS_SOCKETS = ("/run/dbus/system_bus_socket", "/var/run/dbus/system_bus_socket")

# Filled by main() before the tests run.
PATHS = {}
LAB = None

POLL = 0.02  # seconds between looks at a log file while waiting for a line
# The whole run ends (and cleans up) by then; ctest's TIMEOUT for the suite is larger.
TIME_BUDGET_S = 240


class SetupFailure(Exception):
    """The test bed itself could not be built; the run fails with this one message."""


def run(cmd, **kwargs):
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=30, **kwargs)


def must(cmd, what):
    r = run(cmd)
    if r.returncode != 0:
        raise SetupFailure("%s failed (%s): %s" % (what, " ".join(cmd),
                                                   (r.stderr or r.stdout).strip()))
    return r.stdout


def stop_process(proc, grace=5.0):
    """Ends one process this suite started: SIGTERM, then SIGKILL if it lingers."""
    if proc is None:
        return
    if proc.stdin:
        try:
            proc.stdin.close()
        except OSError:
            pass
    if proc.poll() is not None:
        return
    try:
        proc.send_signal(signal.SIGTERM)
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(grace)
    except ProcessLookupError:
        pass


class LogFile:
    """A log written by a child process, read again and again while the child runs."""

    def __init__(self, path):
        self.path = path

    def text(self):
        try:
            with open(self.path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def lines(self):
        # Only complete lines: a line still being written is not looked at yet.
        text = self.text()
        return text.split("\n")[:-1]

    def wait_for(self, pattern, timeout, start=0, alive=None):
        """Index and match of the first line from `start` on that matches `pattern` (a regex),
        waiting at most `timeout` seconds; None when it never came. `alive`, a process, cuts
        the wait short when that process has ended."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            lines = self.lines()
            for i in range(start, len(lines)):
                m = regex.search(lines[i])
                if m:
                    return i, m
            if time.monotonic() >= deadline:
                return None
            if alive is not None and alive.poll() is not None:
                # One last look: the process may have written the line just before ending.
                lines = self.lines()
                for i in range(start, len(lines)):
                    m = regex.search(lines[i])
                    if m:
                        return i, m
                return None
            time.sleep(POLL)

    def tail(self, n=15):
        return "\n".join(self.lines()[-n:])


def clock_seconds(stamp):
    """Seconds since midnight from the device's "HH:MM:SS.mmm" time stamp."""
    h, m, s = stamp.split(":")
    return int(h) * 3600 + int(m) * 60 + float(s)


def gaps_ms(stamps):
    """Milliseconds between consecutive time stamps (in seconds), across midnight too."""
    out = []
    for a, b in zip(stamps, stamps[1:]):
        d = b - a
        if d < -43200:
            d += 86400
        out.append(round(d * 1000))
    return out


def read_ini(path):
    """section (lower case) -> {key: value}, as NorvaHB writes its settings file."""
    result = {}
    section = None
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for raw in f:
                line = raw.strip()
                if line.startswith("[") and line.endswith("]"):
                    section = result.setdefault(line[1:-1].strip().lower(), {})
                elif section is not None and "=" in line:
                    key, value = line.split("=", 1)
                    section[key.strip()] = value.strip()
    except FileNotFoundError:
        pass
    return result


class Net:
    """Two network namespaces, "the PC" and "the device", joined by a veth pair. Every test
    case gets a pair of its own, so nothing one case leaves in the kernel (a socket lingering
    in TIME_WAIT, say) can reach the next."""

    def __init__(self, tag):
        self.pc_ns = "norva-pc-" + tag
        self.dev_ns = "norva-dev-" + tag
        # Interface names are at most 15 characters.
        self.pc_if = "nvp" + tag
        self.dev_if = "nvd" + tag
        self.namespaces = []

    def open(self):
        for ns in (self.pc_ns, self.dev_ns):
            must(["ip", "netns", "add", ns], "creating network namespace " + ns)
            self.namespaces.append(ns)
        # The pair is made inside the PC namespace, so no interface ever appears in the
        # machine's own namespace, even for a moment.
        must(["ip", "-n", self.pc_ns, "link", "add", self.pc_if, "type", "veth", "peer", "name",
              self.dev_if, "netns", self.dev_ns], "creating the veth pair")
        for ns, ifname, ip in ((self.pc_ns, self.pc_if, PC_IP),
                               (self.dev_ns, self.dev_if, DEVICE_IP)):
            # No duplicate address detection: the link is ours alone, and the address is
            # usable at once.
            must(["ip", "-n", ns, "addr", "add", "%s/%d" % (ip, PREFIX_LEN), "dev", ifname],
                 "addressing " + ifname)
            must(["ip", "-n", ns, "link", "set", ifname, "up"], "bringing up " + ifname)
            must(["ip", "-n", ns, "link", "set", "lo", "up"], "bringing up lo in " + ns)
        deadline = time.monotonic() + 10
        while True:
            state = run(["ip", "-n", self.pc_ns, "-o", "link", "show", self.pc_if]).stdout
            if "LOWER_UP" in state:
                return
            if time.monotonic() > deadline:
                raise SetupFailure("the veth pair did not come up: " + state.strip())
            time.sleep(POLL)

    def add_device_address(self, ip):
        """Gives the device one more address on its end of the link, which the PC reaches
        over the same link."""
        must(["ip", "-n", self.dev_ns, "addr", "add", ip + "/32", "dev", self.dev_if],
             "adding %s to the device" % ip)
        must(["ip", "-n", self.pc_ns, "route", "add", ip + "/32", "dev", self.pc_if],
             "routing %s from the PC" % ip)

    def close(self):
        for ns in self.namespaces:
            # Anything still running in our own namespaces was started by this suite.
            for pid in run(["ip", "netns", "pids", ns]).stdout.split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            run(["ip", "netns", "del", ns])
        self.namespaces = []

    def in_pc(self, cmd):
        return ["ip", "netns", "exec", self.pc_ns] + cmd

    def in_device(self, cmd):
        return ["ip", "netns", "exec", self.dev_ns] + cmd


class Lab:
    """What all cases share: a private system bus with the fake login manager on it, and the
    folder for everything else. close() undoes whatever open() and the cases made, whatever
    state they stopped in."""

    def __init__(self, paths):
        self.paths = paths
        self.procs = []
        self.nets = []
        self.dir = tempfile.mkdtemp(prefix="norva-e2e-")
        os.chmod(self.dir, 0o700)
        self.bus_address = None
        self.power_log = LogFile(os.path.join(self.dir, "login1-calls.log"))

    def open(self):
        if os.geteuid() != 0:
            raise SetupFailure("the end-to-end suite needs root to create network namespaces; "
                               "run it as root (e.g. sudo ctest -L e2e)")
        for tool in ("ip", "dbus-daemon"):
            if shutil.which(tool) is None:
                raise SetupFailure("'%s' is not installed (Debian packages iproute2 and "
                                   "dbus-daemon)" % tool)
        for name, path in self.paths.items():
            if not os.access(path, os.X_OK if name != "bus_script" else os.R_OK):
                raise SetupFailure("%s not found at %s (build it first)" % (name, path))
        self._sweep_leftovers()
        # Fail at once, with one message, where namespaces cannot be made at all.
        self.new_net().close()
        self._start_bus()

    @staticmethod
    def _sweep_leftovers():
        """Deletes empty namespaces of an earlier run of this suite that was killed before it
        could clean up (its process is gone)."""
        for line in run(["ip", "netns", "list"]).stdout.splitlines():
            m = re.match(r"^(norva-(?:pc|dev)-(\d+)x\d+)\b", line)
            if not m or os.path.exists("/proc/" + m.group(2)):
                continue
            if not run(["ip", "netns", "pids", m.group(1)]).stdout.split():
                run(["ip", "netns", "del", m.group(1)])

    def new_net(self):
        net = Net("%dx%d" % (os.getpid(), len(self.nets)))
        self.nets.append(net)
        net.open()
        return net

    def _start_bus(self):
        conf = must(["bash", self.paths["bus_script"], "config",
                     os.path.join(self.dir, "bus")], "writing the private bus config").strip()
        address_file = os.path.join(self.dir, "bus-address")
        with open(address_file, "w") as out:
            bus = subprocess.Popen(["dbus-daemon", "--config-file=" + conf, "--nofork",
                                    "--print-address=1"], stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT)
        self.procs.append(bus)
        found = LogFile(address_file).wait_for(r"^unix:", 10, alive=bus)
        if not found:
            raise SetupFailure("the private dbus-daemon did not start: " +
                               LogFile(address_file).text().strip())
        self.bus_address = LogFile(address_file).lines()[found[0]].strip()
        check_private_bus(self.bus_address, self)

        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.bus_address,
                   QT_QPA_PLATFORM="offscreen")
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        out_path = os.path.join(self.dir, "fake-login1.out")
        with open(out_path, "w") as out:
            fake = subprocess.Popen([self.paths["fake_login1"], self.power_log.path], env=env,
                                    stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT)
        self.procs.append(fake)
        if not LogFile(out_path).wait_for(r"^ready$", 10, alive=fake):
            raise SetupFailure("fake-login1 did not start: " + LogFile(out_path).text().strip())

    def close(self):
        for proc in reversed(self.procs):
            stop_process(proc)
        for net in self.nets:
            net.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def power_calls(self):
        return self.power_log.lines()

    def clear_power_calls(self):
        open(self.power_log.path, "w").close()


def command_port_states(pid):
    """States of the TCP sockets on the command port in the network namespace of process `pid`,
    read from the kernel's tables, so nothing has to connect to find out."""
    names = {"01": "ESTABLISHED", "06": "TIME_WAIT", "08": "CLOSE_WAIT", "0A": "LISTEN"}
    found = []
    for table in ("tcp", "tcp6"):
        try:
            with open("/proc/%d/net/%s" % (pid, table)) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            cols = row.split()
            if cols[1].endswith(":%04X" % COMMAND_PORT):
                found.append(names.get(cols[3], cols[3]))
    return found


def check_private_bus(address, lab):
    """Refuses (raises) unless `address` is the private bus of `lab`: NorvaHB must never be able
    to reach the machine's real login manager."""
    if not address:
        raise SetupFailure("REFUSING to start NorvaHB: DBUS_SYSTEM_BUS_ADDRESS is not set")
    paths = re.findall(r"(?:^|[:,])path=([^,;]+)", address)
    if not paths or re.search(r"(?:^|[:,;])(?:abstract|dir|tmpdir|runtime|autolaunch)[=:]",
                              address):
        raise SetupFailure("REFUSING to start NorvaHB: DBUS_SYSTEM_BUS_ADDRESS %r is not a "
                           "plain socket path of the private bus" % address)
    real = {os.path.realpath(p) for p in REAL_SYSTEM_BUS_SOCKETS}
    lab_dir = os.path.realpath(lab.dir) + os.sep
    for path in paths:
        resolved = os.path.realpath(path)
        if path in REAL_SYSTEM_BUS_SOCKETS or resolved in real:
            raise SetupFailure("REFUSING to start NorvaHB: DBUS_SYSTEM_BUS_ADDRESS %r is the "
                               "machine's real system bus" % address)
        if not resolved.startswith(lab_dir):
            raise SetupFailure("REFUSING to start NorvaHB: DBUS_SYSTEM_BUS_ADDRESS %r is not the "
                               "private bus in %s" % (address, lab.dir))
    if lab.bus_address is not None and address != lab.bus_address:
        raise SetupFailure("REFUSING to start NorvaHB: DBUS_SYSTEM_BUS_ADDRESS %r differs from "
                           "the private bus %r" % (address, lab.bus_address))


class NorvaCase(unittest.TestCase):
    """One temporary home per test: settings folder, runtime folder, logs. Every process a test
    starts is stopped when the test ends, passed or failed."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="case-", dir=LAB.dir)
        os.chmod(self.home, 0o700)
        self.config = os.path.join(self.home, "config")
        self.runtime = os.path.join(self.home, "runtime")
        for d in (self.config, self.runtime):
            os.mkdir(d, 0o700)
        self.settings_path = os.path.join(self.config, "NorvaHB")
        self.procs = []
        self.norvahb_logs = []
        self.runs = 0
        self.net = LAB.new_net()
        self.addCleanup(self.net.close)
        LAB.clear_power_calls()

    def tearDown(self):
        for proc in reversed(self.procs):
            stop_process(proc)
        # A sanitized build reports on stderr and may not even end the program.
        for log in self.norvahb_logs:
            report = re.search(r"ERROR: \w+Sanitizer|runtime error:", log.text())
            if report:
                self.fail("sanitizer report from NorvaHB:\n" + log.text()[report.start():][:3000])

    # --- settings -------------------------------------------------------------------------

    def write_settings(self, sections):
        with open(self.settings_path, "w") as f:
            for section, keys in sections.items():
                f.write("[%s]\n" % section)
                for key, value in keys.items():
                    f.write("%s=%s\n" % (key, value))
                f.write("\n")

    def setting(self, section, key):
        return read_ini(self.settings_path).get(section.lower(), {}).get(key)

    # --- NorvaHB --------------------------------------------------------------------------

    def norvahb_env(self):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home,
            "LANG": "C.UTF-8",
            "QT_QPA_PLATFORM": "offscreen",
            "XDG_CONFIG_HOME": self.config,
            "XDG_RUNTIME_DIR": self.runtime,
            "DBUS_SYSTEM_BUS_ADDRESS": LAB.bus_address,
        }
        # Sanitizer settings pass through, so the suite can run a sanitized build.
        for name, value in os.environ.items():
            if name.endswith("SAN_OPTIONS"):
                env[name] = value
        return env

    def start_norvahb(self, wait_listening=True):
        """Starts NorvaHB in the PC namespace; returns (process, stderr log)."""
        env = self.norvahb_env()
        check_private_bus(env.get("DBUS_SYSTEM_BUS_ADDRESS"), LAB)
        self.runs += 1
        log = LogFile(os.path.join(self.home, "norvahb-%d.err" % self.runs))
        self.norvahb_logs.append(log)
        with open(log.path, "w") as err:
            proc = subprocess.Popen(self.net.in_pc([PATHS["norvahb"]]), env=env,
                                    stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        self.procs.append(proc)
        LAB.procs.append(proc)
        if wait_listening:
            self.wait_listening(proc, log)
        return proc, log

    def wait_listening(self, proc, log, timeout=15):
        deadline = time.monotonic() + timeout
        while "LISTEN" not in command_port_states(proc.pid):
            if proc.poll() is not None:
                self.fail("NorvaHB ended (status %s) before listening on TCP %d:\n%s"
                          % (proc.returncode, COMMAND_PORT, log.tail()))
            if time.monotonic() > deadline:
                self.fail("NorvaHB did not listen on TCP %d within %d s (sockets on that port "
                          "in its namespace: %s):\n%s"
                          % (COMMAND_PORT, timeout, command_port_states(proc.pid) or "none",
                             log.tail()))
            time.sleep(POLL)

    # --- the device -----------------------------------------------------------------------

    def start_device(self, args, namespace=True, name="device"):
        """Starts norva-device; returns (process, stdout log). `namespace` False runs it in the
        test's own namespace (for the serial line)."""
        self.runs += 1
        log = LogFile(os.path.join(self.home, "%s-%d.out" % (name, self.runs)))
        cmd = [PATHS["device"]] + args
        if namespace:
            cmd = self.net.in_device(cmd)
        with open(log.path, "w") as out:
            proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=out,
                                    stderr=subprocess.STDOUT, text=True)
        self.procs.append(proc)
        LAB.procs.append(proc)
        if not log.wait_for(r" info (udp|serial) on ", 10, alive=proc):
            self.fail("norva-device %s did not start:\n%s" % (" ".join(args), log.tail()))
        return proc, log

    def device_command(self, proc, text):
        """Sends one command line to a running device."""
        proc.stdin.write(text + "\n")
        proc.stdin.flush()

    def send_command(self, *args):
        """Runs `norva-device command` against the PC from the device namespace."""
        cmd = self.net.in_device([PATHS["device"], "command", "--host", PC_IP] + list(args))
        r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           timeout=20)
        return r.returncode, r.stdout + r.stderr

    def heartbeats(self, log, start=0):
        """(line index, seconds, sender) of every heartbeat the device logged from `start` on."""
        out = []
        regex = re.compile(r'^(\d\d:\d\d:\d\d\.\d+) recv (\S+ )?"NorvaHB"$')
        for i, line in enumerate(log.lines()[start:], start):
            m = regex.search(line)
            if m:
                out.append((i, clock_seconds(m.group(1)), (m.group(2) or "").strip()))
        return out

    def check_schedule(self, stamps, what, missed=False):
        """Heartbeats must follow the one-second tick: every gap close to one second, or with
        `missed` (the device was away for a moment) to a whole number of seconds. And no
        drift: a tick that slips a little every time lengthens every gap, so over ten or more
        the median gap per second stays close to the second; a beat that a busy machine held
        back lengthens one gap and shortens the next, which moves the median not at all."""
        gaps = gaps_ms(stamps)
        ticks = [max(1, round(g / 1000)) for g in gaps]
        bad = [g for g, t in zip(gaps, ticks)
               if abs(g - 1000 * t) > GAP_TOLERANCE_MS or (t > 1 and not missed)]
        self.assertFalse(bad, "%s: heartbeats not one second apart; gaps in ms: %r"
                         % (what, gaps))
        if len(gaps) >= 10:
            per_second = sorted(g / t for g, t in zip(gaps, ticks))
            median = per_second[len(per_second) // 2]
            self.assertLess(abs(median - 1000), DRIFT_TOLERANCE_MS,
                            "%s: heartbeat period drifts: median gap %.1f ms, gaps %r"
                            % (what, median, gaps))
        return gaps

    def wait_heartbeats(self, log, count, timeout, start=0, proc=None):
        deadline = time.monotonic() + timeout
        while True:
            beats = self.heartbeats(log, start)
            if len(beats) >= count:
                return beats[:count]
            if time.monotonic() > deadline:
                self.fail("expected %d heartbeats within %.0f s, the device saw %d:\n%s"
                          % (count, timeout, len(beats), log.tail()))
            if proc is not None and proc.poll() is not None:
                self.fail("NorvaHB ended (status %s) while heartbeats were awaited"
                          % proc.returncode)
            time.sleep(POLL)


# Heartbeat gaps are checked against the one-second tick. Each gap may stray by the tick's
# jitter on a busy machine; over ten or more gaps the typical one must stay close to the second.
GAP_TOLERANCE_MS = 40
DRIFT_TOLERANCE_MS = 5


class PowerPath(NorvaCase):
    """Commands on TCP 9100 from the device's address, through to the login manager."""

    USER, PASSWORD = "Ostra", "ferno"

    def settings(self, alert, port, heartbeat_to=None):
        """With `heartbeat_to`, the network heartbeat runs every second to that address."""
        return {
            "Setup": {"IPAddr": heartbeat_to or DEVICE_IP, "Port": port, "Freq": 1,
                      "FailCount": 3, "Network": 1, "USB": 0},
            "Run": {"IsStarted": int(heartbeat_to is not None)},
            "GSD": {"Username": self.USER, "Password": self.PASSWORD,
                    "AlertPedningAction": alert},
        }

    def test_restart_then_notice_at_next_start(self):
        # The device takes heartbeats at another address than the one its commands come
        # from: the notice must go where the restart command came from.
        port = 19177
        self.net.add_device_address(DEVICE_OTHER_IP)
        _, hb_log = self.start_device(["udp", "--bind", "%s:%d" % (DEVICE_OTHER_IP, port),
                                       "--answer", "ack"], name="heartbeat-device")
        self.write_settings(self.settings(alert=0, port=port, heartbeat_to=DEVICE_OTHER_IP))
        proc, err = self.start_norvahb()

        # The user name is matched without regard to case.
        status, out = self.send_command("--action", "restart", "--user", "ostra",
                                        "--password", self.PASSWORD)
        self.assertIn("hello reply 00 00", out, "hello not answered with 00 00:\n" + out)
        self.assertIn("ack 01", out, "restart not acknowledged with 01:\n" + out)
        self.assertEqual(status, 0, out)
        self.assertTrue(LAB.power_log.wait_for(r"^Reboot false$", 10),
                        "no Reboot(false) reached the login manager; calls: %r; NorvaHB:\n%s"
                        % (LAB.power_calls(), err.tail()))
        self.assertEqual(self.setting("GracefulRestart", "SourceIP"), DEVICE_IP,
                         "the device's address was not stored for the restart notice")
        for needle in ("Recived eCmnd_get", "RESTART"):
            self.assertTrue(err.wait_for(re.escape("NorvaHB: " + needle), 5),
                            "no %r diagnostic:\n%s" % (needle, err.tail()))
        stop_process(proc)
        self.assertEqual(LAB.power_calls(), ["Reboot false"],
                         "exactly one reboot request was expected")

        # The computer is "back": the next start tells the device, once.
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (DEVICE_IP, port),
                                          "--answer", "silent"])
        hb_seen = len(self.heartbeats(hb_log))
        proc, err = self.start_norvahb()
        found = dlog.wait_for(r'recv \S+ "NorvaRB"', 10)
        self.assertTrue(found, "no NorvaRB at the device after the restart:\n%s\nNorvaHB:\n%s"
                        % (dlog.tail(), err.tail()))
        self.assertIn("recv %s:%d " % (PC_IP, port), dlog.lines()[found[0]],
                      "NorvaRB must come from the PC's port %d" % port)
        # The heartbeat resumes before the notice is sent, on the same socket: by the second
        # heartbeat of this run, a notice sent to the heartbeat's address would be there.
        self.wait_heartbeats(hb_log, hb_seen + 2, 10, proc=proc)
        self.assertNotIn('"NorvaRB"', hb_log.text(),
                         "NorvaRB went to the heartbeat's address:\n" + hb_log.tail())
        self.assertEqual(self.setting("GracefulRestart", "SourceIP"), "",
                         "SourceIP must be cleared once the notice is sent")
        # A second notice would follow at once if the flag were not cleared first; give it a
        # generous moment, then count.
        self.assertIsNone(dlog.wait_for(r'"NorvaRB"', 1.5, start=found[0] + 1),
                          "more than one NorvaRB:\n" + dlog.tail())
        stop_process(proc)

        # And a further start sends nothing.
        proc, err = self.start_norvahb()
        self.assertIsNone(dlog.wait_for(r'"NorvaRB"', 1.5, start=found[0] + 1),
                          "NorvaRB sent again at a later start:\n" + dlog.tail())
        self.assertEqual(LAB.power_calls(), ["Reboot false"])

    def test_wrong_password_is_refused(self):
        self.write_settings(self.settings(alert=0, port=9100))
        proc, err = self.start_norvahb()
        status, out = self.send_command("--action", "restart", "--user", self.USER,
                                        "--password", "Ferno")
        self.assertIn("hello reply 00 00", out, out)
        self.assertNotIn("ack 01", out, "a wrong password was acknowledged:\n" + out)
        self.assertEqual(status, 1, out)
        self.assertTrue(err.wait_for(r"NorvaHB: Bad Password", 5),
                        "no 'Bad Password' diagnostic:\n" + err.tail())
        stop_process(proc)
        self.assertEqual(LAB.power_calls(), [], "a refused command reached the login manager")
        self.assertIn(self.setting("GracefulRestart", "SourceIP"), (None, ""),
                      "a refused command stored SourceIP")

    def test_shutdown_after_warning_countdown(self):
        self.write_settings(self.settings(alert=1, port=9100))
        proc, err = self.start_norvahb()
        status, out = self.send_command("--action", "shutdown", "--user", self.USER,
                                        "--password", self.PASSWORD)
        acked = time.monotonic()
        self.assertIn("ack 01", out, "shutdown not acknowledged:\n" + out)
        self.assertEqual(status, 0, out)

        early = LAB.power_log.wait_for(r".", 9.0 - (time.monotonic() - acked), alive=proc)
        self.assertIsNone(early, "power action %r came %.1f s after the acknowledgement, before "
                          "the ten-second warning ended" % (LAB.power_calls(),
                                                            time.monotonic() - acked))
        self.assertEqual(proc.poll(), None, "NorvaHB ended during the warning:\n" + err.tail())
        # The ten one-second ticks of the countdown; a busy machine may hold each back a
        # little, so the limit is generous.
        found = LAB.power_log.wait_for(r"^PowerOff false$", 30.0 - (time.monotonic() - acked))
        self.assertTrue(found, "no PowerOff(false) within 30 s of the acknowledgement; calls: %r"
                        % LAB.power_calls())
        took = time.monotonic() - acked
        self.assertGreaterEqual(took, 9.0)
        print("\n  PowerOff %.2f s after the acknowledgement" % took, file=sys.stderr)
        stop_process(proc)
        self.assertEqual(LAB.power_calls(), ["PowerOff false"])
        self.assertIn(self.setting("GracefulRestart", "SourceIP"), (None, ""),
                      "a shutdown command must not store SourceIP")


class NetworkHeartbeat(NorvaCase):
    PORT = 19100

    def settings(self):
        return {
            "Setup": {"IPAddr": DEVICE_IP, "Port": self.PORT, "Freq": 1, "FailCount": 3,
                      "Network": 1, "USB": 0},
            "Run": {"IsStarted": 1},
            "GSD": {"Username": "Ostra", "Password": "ferno", "AlertPedningAction": 0},
        }

    def test_heartbeats_in_every_answer_mode_and_device_messages(self):
        self.write_settings(self.settings())
        bind = "%s:%d" % (DEVICE_IP, self.PORT)
        device, dlog = self.start_device(["udp", "--bind", bind, "--answer", "ack"])
        proc, err = self.start_norvahb(wait_listening=False)
        sender = "%s:%d" % (PC_IP, self.PORT)

        beats = self.wait_heartbeats(dlog, 3, 10, proc=proc)
        for _, _, source in beats:
            self.assertEqual(source, sender, "heartbeat must leave from the PC's port %d"
                             % self.PORT)
        self.assertTrue(dlog.wait_for(r'send \S+ "NorvaACK"', 10), dlog.tail())

        # Device messages: the PC replies to the configured device address and port, and does
        # nothing else.
        for command, token, reply in (("shutdown", "NorvaShutdown", "shutdownACK"),
                                      ("restart", "NorvaRestart", "restartACK")):
            self.device_command(device, command)
            self.assertTrue(dlog.wait_for(r'send %s "%s"' % (re.escape(sender), token), 5),
                            "device did not send %s:\n%s" % (token, dlog.tail()))
            found = dlog.wait_for(r'recv %s "%s"' % (re.escape(sender), reply), 5)
            self.assertTrue(found, "no %s from the PC's port:\n%s" % (reply, dlog.tail()))

        # Each answer mode in turn, three heartbeats each, on one running NorvaHB. Late and
        # silent answers bring the failure alert (a modal message) on the third miss; the
        # heartbeat must go on regardless.
        for command, answer in (("nak", r'send \S+ "NorvaNAK"'),
                                ("late 700", r'send \S+ "NorvaACK"'),
                                ("silent", None)):
            self.device_command(device, command)
            taken = dlog.wait_for(r"info answer " + command.replace(" ", ":?"), 5)
            self.assertTrue(taken, "device did not take %r:\n%s" % (command, dlog.tail()))
            beats = self.wait_heartbeats(dlog, 3, 10, start=taken[0] + 1, proc=proc)
            self.check_schedule(stamps_of(beats), "answer " + command)
            if answer:
                self.assertTrue(dlog.wait_for(answer, 10, start=beats[0][0]),
                                "device did not answer %r:\n%s" % (command, dlog.tail()))

        # Answers from another port: a new device takes over the same port and answers from
        # the next port up. Heartbeats that come while the device is being replaced are lost;
        # the schedule is checked across both devices, on the same tick.
        self.wait_heartbeats(dlog, len(self.heartbeats(dlog)) + 1, 10, proc=proc)
        self.device_command(device, "quit")
        device.wait(15)
        first = stamps_of(self.heartbeats(dlog))
        device, dlog = self.start_device(["udp", "--bind", bind, "--answer", "ack",
                                          "--from-port", str(self.PORT + 1)])
        beats = self.wait_heartbeats(dlog, 3, 15, proc=proc)
        self.assertTrue(dlog.wait_for(r'send %s "NorvaACK"' % re.escape(sender), 5),
                        dlog.tail())
        self.check_schedule(stamps_of(beats), "answers from another port")
        gaps = self.check_schedule(first + stamps_of(beats), "whole run", missed=True)
        print("\n  heartbeat gaps over %d beats: %d..%d ms, median %d ms"
              % (len(gaps) + 1, min(gaps), max(gaps), sorted(gaps)[len(gaps) // 2]),
              file=sys.stderr)

        self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())
        stop_process(proc)
        self.assertEqual(LAB.power_calls(), [],
                         "UDP device messages must not restart or power off the PC")


class WatchdogTime(NorvaCase):
    """The half second the PC gives the device to answer, on the real clock: an answer 300 ms
    after the heartbeat is in time, one 700 ms after it is a miss."""

    PORT = 19100
    ALERT = "NorvaHB: Your Norva is not responding to the Heartbeat"

    def test_answer_at_300_ms_is_in_time_at_700_ms_a_miss(self):
        self.write_settings({
            "Setup": {"IPAddr": DEVICE_IP, "Port": self.PORT, "Freq": 1, "FailCount": 3,
                      "Network": 1, "USB": 0},
            "Run": {"IsStarted": 1},
        })
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (DEVICE_IP, self.PORT),
                                          "--answer", "late:300"])
        proc, err = self.start_norvahb(wait_listening=False)

        # More heartbeats than "FailCount", each answered 300 ms late: not one may count as a
        # miss, or the third would raise the alert. By the time the device sees the next
        # heartbeat, the watchdog of the last one answered has long fired.
        answered = 4
        beats = self.wait_heartbeats(dlog, answered + 1, 15, proc=proc)
        acks = [line for line in dlog.lines()[:beats[-1][0]] if '"NorvaACK"' in line]
        self.assertGreaterEqual(len(acks), answered, "the device did not answer:\n" + dlog.tail())
        self.assertNotIn(self.ALERT, err.text(),
                         "answers 300 ms after each heartbeat were counted as misses")

        # From now on 700 ms late: three misses, and with the third the alert.
        self.device_command(device, "late 700")
        taken = dlog.wait_for(r"info answer late:700", 5)
        self.assertTrue(taken, "device did not take 'late 700':\n" + dlog.tail())
        beats = self.wait_heartbeats(dlog, 3, 10, start=taken[0] + 1, proc=proc)
        self.assertTrue(dlog.wait_for(r'send \S+ "NorvaACK"', 5, start=beats[-1][0]),
                        "the device did not answer late:\n" + dlog.tail())
        self.assertTrue(err.wait_for(re.escape(self.ALERT), 10, alive=proc),
                        "answers 700 ms after each heartbeat did not raise the alert at the "
                        "third:\n" + err.tail())
        self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())


def stamps_of(beats):
    return [t for _, t, _ in beats]


class SerialHeartbeat(NorvaCase):
    def test_heartbeat_on_the_serial_line(self):
        self.write_settings({
            "Setup": {"Network": 0, "USB": 1, "ComPort": "COM7", "comFreq": 1, "comFail": 3},
            "Run": {"IsStarted": 1},
        })
        link = os.path.join(self.config, "NorvaHB-ports", "COM7")
        device, dlog = self.start_device(["serial", "--link", link, "--answer", "whole"],
                                         namespace=False, name="serial")
        proc, err = self.start_norvahb(wait_listening=False)
        beats = self.wait_heartbeats(dlog, 4, 10, proc=proc)
        gaps = self.check_schedule(stamps_of(beats), "serial line")
        print("\n  serial heartbeat gaps: %r ms" % gaps, file=sys.stderr)
        self.assertTrue(dlog.wait_for(r'send "NorvaACK"', 10), dlog.tail())
        self.assertNotIn("no longer available", err.text(), err.tail())
        self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())


class Resume(NorvaCase):
    PORT = 19100

    def settings(self, started):
        return {
            "Setup": {"IPAddr": DEVICE_IP, "Port": self.PORT, "Freq": 1, "FailCount": 3,
                      "Network": 1, "USB": 0},
            "Run": {"IsStarted": started},
        }

    def test_heartbeat_resumes_only_when_it_was_running(self):
        self.write_settings(self.settings(0))
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (DEVICE_IP, self.PORT)])
        proc, err = self.start_norvahb()
        # Stopped at the last run: a 1 s heartbeat would show up at once, so 3 s of silence
        # is plenty.
        self.assertIsNone(dlog.wait_for(r'"NorvaHB"', 3),
                          "heartbeat sent although Run/IsStarted=0:\n" + dlog.tail())
        stop_process(proc)

        self.write_settings(self.settings(1))
        proc, err = self.start_norvahb(wait_listening=False)
        self.wait_heartbeats(dlog, 2, 10, proc=proc)
        self.assertEqual(self.setting("Run", "IsStarted"), "1")


class SingleInstance(NorvaCase):
    def test_second_copy_ends_by_itself(self):
        self.write_settings({"Setup": {"Network": 0, "USB": 0}, "Run": {"IsStarted": 0}})
        # The first copy holds the instance lock before it builds anything, so once it
        # listens, the lock is taken.
        first, first_log = self.start_norvahb()
        started = time.monotonic()
        second, second_log = self.start_norvahb(wait_listening=False)
        # It waits one second for the lock and gives up. The limit only has to tell a copy
        # that ends by itself from one that stays; a busy machine may be slow to start it.
        try:
            second.wait(20)
        except subprocess.TimeoutExpired:
            self.fail("the second copy did not end within 20 s:\n" + second_log.tail())
        took = time.monotonic() - started
        self.assertEqual(second.returncode, 0, "the second copy must end quietly:\n"
                         + second_log.tail())
        self.assertEqual(second_log.text(), "", "the second copy must end silently")
        self.assertGreaterEqual(took, 0.9, "the second copy ended after %.2f s without waiting "
                                "for the first" % took)
        print("\n  second copy ended %.2f s after it was started" % took, file=sys.stderr)
        self.assertIsNone(first.poll(), "the first copy must keep running")
        self.assertIn("LISTEN", command_port_states(first.pid))


def main():
    global LAB
    if len(sys.argv) < 5:
        sys.exit("usage: %s NORVAHB NORVA_DEVICE FAKE_LOGIN1 PRIVATE_BUS_SCRIPT [unittest args]"
                 % sys.argv[0])
    PATHS.update(norvahb=sys.argv[1], device=sys.argv[2], fake_login1=sys.argv[3],
                 bus_script=sys.argv[4])
    argv = [sys.argv[0]] + sys.argv[5:]

    # ctest's time-out and ^C end the run through the clean-up below.
    def interrupted(signum, _frame):
        raise KeyboardInterrupt("signal %d" % signum)

    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGHUP, interrupted)
    signal.signal(signal.SIGALRM, interrupted)
    signal.alarm(TIME_BUDGET_S)

    lab = Lab(dict(norvahb=PATHS["norvahb"], device=PATHS["device"],
                   fake_login1=PATHS["fake_login1"], bus_script=PATHS["bus_script"]))
    started = time.monotonic()
    ok = False
    try:
        lab.open()
        LAB = lab
        result = unittest.main(argv=argv, exit=False, verbosity=2).result
        ok = result.wasSuccessful() and result.testsRun > 0
    except SetupFailure as e:
        print("FAIL: end-to-end test bed: %s" % e, file=sys.stderr)
    except KeyboardInterrupt as e:
        print("FAIL: end-to-end suite interrupted (%s)" % e, file=sys.stderr)
    finally:
        lab.close()
    print("end-to-end suite %s in %.1f s" % ("passed" if ok else "FAILED",
                                             time.monotonic() - started))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
