"""The fixture both end-to-end suites build on (it holds no tests): `NorvaCase`, one test
case on the test bed (tests/testbed/norva_testbed.py) with a fresh home, a pair of network
namespaces of its own and helpers to start NorvaHB and norva-device and read what they logged;
and `main`, which opens the test bed, runs the suite's cases and closes it again.

A suite file is run as: SUITE.py NORVAHB NORVA_DEVICE FAKE_LOGIN1 [unittest args]
"""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True  # no byte-code cache left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testbed"))
import norva_testbed as tb  # noqa: E402

# Heartbeat gaps are checked against the one-second tick. Each gap may stray by the tick's
# jitter on a busy machine; over ten or more gaps the typical one must stay close to the second.
GAP_TOLERANCE_MS = 40
DRIFT_TOLERANCE_MS = 5


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


class NorvaCase(unittest.TestCase):
    """One temporary home per test: settings folder, runtime folder, logs. Every process a test
    starts is stopped when the test ends, passed or failed. `lab` is the test bed's Lab, set by
    main() before the tests run."""

    lab = None

    def setUp(self):
        self.home = self.lab.new_home("case-")
        self.config = self.home.config
        self.runtime = self.home.runtime
        self.settings_path = self.home.settings_path
        self.procs = []
        self.norvahb_logs = []
        self.runs = 0
        self.net = self.lab.new_net()
        self.addCleanup(self.net.close)
        self.lab.clear_power_calls()
        self.lab.set_login1_behaviour(None)

    def tearDown(self):
        for proc in reversed(self.procs):
            tb.stop_process(proc)
        # A sanitized build reports on stderr and may not even end the program.
        for log in self.norvahb_logs:
            report = re.search(r"ERROR: \w+Sanitizer|runtime error:", log.text())
            if report:
                self.fail("sanitizer report from NorvaHB:\n" + log.text()[report.start():][:3000])

    def log_path(self, name):
        return os.path.join(self.home.home, name)

    # --- settings -------------------------------------------------------------------------

    def write_settings(self, sections):
        tb.write_settings(self.settings_path, sections)

    def setting(self, section, key):
        return tb.read_ini(self.settings_path).get(section.lower(), {}).get(key)

    # --- NorvaHB --------------------------------------------------------------------------

    def start_norvahb(self, wait_listening=True):
        """Starts NorvaHB in the PC namespace; returns (process, stderr log)."""
        self.runs += 1
        log = tb.LogFile(self.log_path("norvahb-%d.err" % self.runs))
        self.norvahb_logs.append(log)
        with open(log.path, "w") as err:
            proc = self.lab.start_norvahb(self.lab.norvahb_env(self.home), self.net,
                                          stdout=err, stderr=err)
        self.procs.append(proc)
        if wait_listening:
            self.wait_listening(proc, log)
        return proc, log

    def wait_listening(self, proc, log, timeout=15):
        deadline = time.monotonic() + timeout
        while "LISTEN" not in tb.command_port_states(proc.pid):
            if proc.poll() is not None:
                self.fail("NorvaHB ended (status %s) before listening on TCP %d:\n%s"
                          % (proc.returncode, tb.COMMAND_PORT, log.tail()))
            if time.monotonic() > deadline:
                self.fail("NorvaHB did not listen on TCP %d within %d s (sockets on that port "
                          "in its namespace: %s):\n%s"
                          % (tb.COMMAND_PORT, timeout,
                             tb.command_port_states(proc.pid) or "none", log.tail()))
            time.sleep(tb.POLL)

    # --- the device and other helpers -------------------------------------------------------

    def start_helper(self, cmd, log_name, namespace=None, stdin=subprocess.DEVNULL):
        """Starts `cmd` (in namespace "pc" or "device" of this case, else in the test's own),
        its output in the log file `log_name`; the test bed stops it when the test ends."""
        self.runs += 1
        log = tb.LogFile(self.log_path("%s-%d.out" % (log_name, self.runs)))
        if namespace == "pc":
            cmd = self.net.in_pc(cmd)
        elif namespace == "device":
            cmd = self.net.in_device(cmd)
        with open(log.path, "w") as out:
            proc = subprocess.Popen(cmd, stdin=stdin, stdout=out, stderr=subprocess.STDOUT,
                                    text=True)
        self.procs.append(proc)
        self.lab.procs.append(proc)
        return proc, log

    def start_device(self, args, namespace=True, name="device"):
        """Starts norva-device; returns (process, stdout log). `namespace` False runs it in the
        test's own namespace (for the serial line)."""
        proc, log = self.start_helper([self.lab.paths["device"]] + args, name,
                                      "device" if namespace else None, stdin=subprocess.PIPE)
        if not log.wait_for(r" info (udp|serial) on ", 10, alive=proc):
            self.fail("norva-device %s did not start:\n%s" % (" ".join(args), log.tail()))
        return proc, log

    def device_command(self, proc, text):
        """Sends one command line to a running device."""
        proc.stdin.write(text + "\n")
        proc.stdin.flush()

    def send_command(self, *args):
        """Runs `norva-device command` against the PC from the device namespace."""
        cmd = self.net.in_device([self.lab.paths["device"], "command", "--host", tb.PC_IP] +
                                 list(args))
        r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           timeout=20)
        return r.returncode, r.stdout + r.stderr

    def login1(self, method, *args):
        """Calls the fake login manager on the private bus; its output."""
        r = self.lab.busctl(["call", "org.freedesktop.login1", "/org/freedesktop/login1",
                             "org.freedesktop.login1.Manager", method] + list(args))
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def wait_inhibitor(self, mode, held=True, timeout=5):
        """Waits until the fake login manager lists (or no longer lists) NorvaHB's sleep lock
        in `mode`."""
        deadline = time.monotonic() + timeout
        while True:
            listed = self.login1("ListInhibitors")
            found = '"sleep" "NorvaHB" "The Norva power controller power-cycles a PC whose ' \
                    'heartbeat stops" "%s"' % mode in listed
            if found == held:
                return
            if time.monotonic() > deadline:
                self.fail("the sleep lock (%s) is %s listed: %s"
                          % (mode, "not" if held else "still", listed))
            time.sleep(0.05)

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
            time.sleep(tb.POLL)


def main(time_budget_s):
    """Runs the test cases of the calling suite on the test bed; the whole run ends (and cleans
    up) within `time_budget_s`, which ctest's TIMEOUT for the suite exceeds."""
    if len(sys.argv) < 4:
        sys.exit("usage: %s NORVAHB NORVA_DEVICE FAKE_LOGIN1 [unittest args]" % sys.argv[0])
    paths = dict(norvahb=sys.argv[1], device=sys.argv[2], fake_login1=sys.argv[3])
    run_suite(paths, [sys.argv[0]] + sys.argv[4:], time_budget_s, "norva-e2e-")


def run_suite(paths, argv, time_budget_s, prefix, **open_args):
    """Opens a test bed with the programs in `paths` (Lab.open takes `open_args`), runs the
    calling suite's test cases with the unittest arguments `argv`, closes the test bed, and
    ends the process with the suite's status, all within `time_budget_s`."""
    # ctest's time-out and ^C end the run through the clean-up below.
    def interrupted(signum, _frame):
        raise KeyboardInterrupt("signal %d" % signum)

    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGHUP, interrupted)
    signal.signal(signal.SIGALRM, interrupted)
    signal.alarm(time_budget_s)

    lab = tb.Lab(paths, prefix=prefix)
    started = time.monotonic()
    ok = False
    try:
        lab.open(**open_args)
        NorvaCase.lab = lab
        result = unittest.main(module="__main__", argv=argv, exit=False, verbosity=2).result
        ok = result.wasSuccessful() and result.testsRun > 0
    except tb.SetupFailure as e:
        print("FAIL: end-to-end test bed: %s" % e, file=sys.stderr)
    except KeyboardInterrupt as e:
        print("FAIL: end-to-end suite interrupted (%s)" % e, file=sys.stderr)
    finally:
        lab.close()
    print("end-to-end suite %s in %.1f s" % ("passed" if ok else "FAILED",
                                             time.monotonic() - started))
    sys.exit(0 if ok else 1)
