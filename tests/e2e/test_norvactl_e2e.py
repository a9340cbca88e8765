"""End-to-end tests of norvactl: the real program driven from outside, as an administrator's
shell or a monitoring check runs it, against the real norvahbd in the PC's namespace on the
private system bus with the project's bus policy, the fake login manager and the fake polkit
authority (answering both ways), and norva-device in the device's namespace. norvactl runs
without a terminal here, so it never starts a password agent.

Run as: test_norvactl_e2e.py NORVACTL NORVAHBD NORVA_DEVICE FAKE_LOGIN1 FAKE_POLKIT BUS_POLICY
"""

import json
import os
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_case import NorvaCase, run_suite, tb  # noqa: E402

CONTROL = "com.norva.NorvaHB1.control"
CONFIGURE = "com.norva.NorvaHB1.configure"
DEVICE_PORT = 19188
NOT_RUNNING = "norvactl: The NorvaHB service is not running.\n"


class CtlCase(NorvaCase):
    def settings(self, started=1):
        return {
            "Setup": {"IPAddr": tb.DEVICE_IP, "Port": DEVICE_PORT, "Freq": 1, "FailCount": 2,
                      "Network": 1, "USB": 0},
            "Run": {"IsStarted": started},
            "GSD": {"Username": "Ostra", "Password": "s3cret", "AlertPedningAction": 0},
        }

    def start_service(self):
        self.runs += 1
        log = tb.LogFile(self.log_path("norvahbd-%d.err" % self.runs))
        self.norvahb_logs.append(log)
        with open(log.path, "w") as err:
            proc = self.lab.start_norvahbd(self.home, self.net, stdout=err, stderr=err)
        self.procs.append(proc)
        if proc.notify.wait_for("READY", "1", timeout=15, alive=proc) is None:
            self.fail("norvahbd did not report READY=1:\n%s" % log.tail())
        return proc, log

    def env(self):
        env = self.lab.bus_env()
        self.lab.require_private_bus(env["DBUS_SYSTEM_BUS_ADDRESS"], what="norvactl")
        return env

    def ctl(self, *args):
        """Runs norvactl to its end: (exit status, stdout, stderr)."""
        r = subprocess.run([self.lab.paths["norvactl"]] + list(args), env=self.env(),
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        return r.returncode, r.stdout, r.stderr

    def status_becomes(self, status, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            got = self.ctl("status")
            if got[0] == status:
                return got[1]
            if time.monotonic() > deadline:
                self.fail("norvactl status stayed %r, expected exit status %d" % (got, status))
            time.sleep(0.2)

    def start_watch(self):
        self.runs += 1
        out = tb.LogFile(self.log_path("watch-%d.out" % self.runs))
        err_path = self.log_path("watch-%d.err" % self.runs)
        with open(out.path, "w") as o, open(err_path, "w") as e:
            proc = subprocess.Popen([self.lab.paths["norvactl"], "watch"], env=self.env(),
                                    stdin=subprocess.DEVNULL, stdout=o, stderr=e, text=True)
        self.procs.append(proc)
        self.lab.procs.append(proc)
        return proc, out, tb.LogFile(err_path)

    def test_status_and_watch_follow_the_heartbeat_and_the_service(self):
        # Not running: status says so with 3, in lines and in JSON; a command cannot reach it.
        self.assertEqual(self.ctl("status"), (3, "Service:  not running\n", ""))
        code, out, _ = self.ctl("status", "--json")
        self.assertEqual((code, json.loads(out)), (3, {"running": False}))
        self.assertEqual(self.ctl("start"), (1, "", NOT_RUNNING))

        dev, dlog = self.start_device(["udp", "--bind", "%s:%d" % (tb.DEVICE_IP, DEVICE_PORT),
                                       "--answer", "ack"])
        self.write_settings(self.settings())
        proc, log = self.start_service()
        self.wait_heartbeats(dlog, 1, 10, proc=proc)
        out = self.status_becomes(0)
        self.assertIn("State:    responding\n", out)
        self.assertIn("Mode:     network\n", out)
        self.assertIn("Device:   %s\n" % tb.DEVICE_IP, out)
        self.assertRegex(out, r"Network:  sent [1-9]\d*, received [1-9]\d*, NAK 0, missed 0\n")
        # The heartbeat runs and sleep is not allowed: the service blocks it.
        self.assertIn("Sleep:    held off while the heartbeat runs\n", out)
        code, out, _ = self.ctl("status", "--json")
        report = json.loads(out)
        self.assertEqual((code, report["state"], report["mode"], report["deviceAddress"]),
                         (0, "responding", "network", tb.DEVICE_IP))
        self.assertGreater(report["network"]["received"], 0)
        self.assertIs(report["warning"], None)
        self.assertEqual((report["sleepInhibited"], report["allowSleep"]), (True, False))

        # A caller polkit does not let control the heartbeat watches without the lines.
        self.lab.set_polkit_answers({"*": "deny"})
        watch, wout, werr = self.start_watch()
        self.assertTrue(wout.wait_for(r"  service running: responding, mode network$", 10,
                                      alive=watch), wout.text())
        self.assertTrue(werr.wait_for(r"status and log lines are not shown", 10, alive=watch),
                        werr.text())

        # The device falls silent: the alert and the state change, each on a stamped line.
        tb.stop_process(dev)
        out = self.status_becomes(1)
        self.assertIn("State:    not responding\n", out)
        stamp = r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  "
        self.assertTrue(wout.wait_for(stamp + r"alert: .+", 5, alive=watch), wout.text())
        self.assertTrue(wout.wait_for(stamp + r"state: not responding$", 5, alive=watch),
                        wout.text())

        # The device back: an answer after the failure.
        dev, dlog = self.start_device(["udp", "--bind", "%s:%d" % (tb.DEVICE_IP, DEVICE_PORT),
                                       "--answer", "ack"])
        self.status_becomes(0)
        self.assertTrue(wout.wait_for(stamp + r"answered: the device responds$", 5,
                                      alive=watch), wout.text())

        # A caller allowed to control the heartbeat gets the lines too: a command with the
        # wrong password is one.
        self.lab.set_polkit_answers({CONTROL: "allow"})
        lines, lout, lerr = self.start_watch()
        self.assertTrue(lout.wait_for(r"  service running: responding", 10, alive=lines),
                        lout.text())
        self.send_command("--action", "restart", "--user", "Ostra", "--password", "wrong")
        self.assertTrue(lout.wait_for(stamp + r"(status|log): .*Bad Password", 10,
                                      alive=lines), lout.text())
        self.assertEqual(lerr.text(), "")
        self.assertIsNone(wout.wait_for(r"Bad Password", 0.5), "lines for a refused caller")
        lines.send_signal(signal.SIGTERM)
        self.assertEqual(lines.wait(5), 0)

        # Stopped through norvactl, which polkit allows.
        self.assertEqual(self.ctl("stop"), (0, "", ""))
        self.assertEqual(self.status_becomes(3).splitlines()[0], "State:    stopped")
        self.assertTrue(wout.wait_for(stamp + r"state: stopped$", 5, alive=watch), wout.text())

        # The service ends: status says it is not running, watch says so and waits on.
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 0)
        self.assertEqual(self.ctl("status")[0], 3)
        self.assertTrue(wout.wait_for(stamp + r"service stopped; waiting for it$", 5,
                                      alive=watch), wout.text())
        # Ctrl-C ends watch cleanly.
        watch.send_signal(signal.SIGINT)
        self.assertEqual(watch.wait(5), 0)

    def test_get_and_set_with_polkit_both_ways(self):
        self.write_settings(self.settings(started=0))
        self.start_service()

        code, out, err = self.ctl("get")
        self.assertEqual((code, err), (0, ""))
        self.assertIn("Setup/IPAddr=%s\n" % tb.DEVICE_IP, out)
        self.assertIn("Setup/Freq=1\n", out)
        self.assertNotIn("s3cret", out)
        self.assertEqual(self.ctl("get", "setup/port", "Setup/Network"),
                         (0, "Setup/Port=%d\nSetup/Network=1\n" % DEVICE_PORT, ""))

        # Refused: the reason, status 1, nothing stored.
        self.lab.set_polkit_answers({"*": "deny"})
        self.assertEqual(self.ctl("set", "Setup/Freq=5", "Setup/FailCount=4"),
                         (1, "", "norvactl: You are not allowed to change the settings; "
                                 "nothing was changed.\n"))
        self.assertEqual((self.setting("Setup", "Freq"), self.setting("Setup", "FailCount")),
                         ("1", "2"))

        # Allowed after a password (the call allows polkit to ask): both stored at once.
        self.lab.clear_polkit_calls()
        self.lab.set_polkit_answers({CONFIGURE: "authenticate"})
        self.assertEqual(self.ctl("set", "Setup/Freq=5", "Setup/FailCount=4"), (0, "", ""))
        self.assertEqual((self.setting("Setup", "Freq"), self.setting("Setup", "FailCount")),
                         ("5", "4"))
        asked = [c for c in self.lab.polkit_calls() if c.get("action") == CONFIGURE]
        self.assertEqual(len(asked), 1, asked)
        self.assertEqual(self.ctl("get", "Setup/Freq"), (0, "Setup/Freq=5\n", ""))

        # A bad value is refused before anything is sent: named, status 2, polkit not asked.
        self.lab.clear_polkit_calls()
        self.assertEqual(self.ctl("set", "Setup/Freq=7", "Setup/Port=12x"),
                         (2, "", "norvactl: Setup/Port: up to five digits\n"))
        self.assertEqual(self.setting("Setup", "Freq"), "5")
        self.assertEqual([c for c in self.lab.polkit_calls() if c.get("action") == CONFIGURE],
                         [])

    def test_bad_usage_ends_with_2_and_no_bus(self):
        # No service runs, and none is needed to tell a bad command line.
        for args in ([], ["frobnicate"], ["status", "--verbose"], ["set", "Setup/Freq"],
                     ["set", "Setup/Nothing=1"], ["get", "GSD/Password"], ["stop", "now"]):
            code, out, err = self.ctl(*args)
            self.assertEqual((code, out), (2, ""), args)
            self.assertRegex(err, r"^norvactl: [^\n]+\n$", args)
        code, out, err = self.ctl("--help")
        self.assertEqual((code, err), (0, ""))
        self.assertTrue(out.startswith("Usage: norvactl status [--json]\n"), out)


def main(time_budget_s=200):
    if len(sys.argv) < 7:
        sys.exit(__doc__)
    paths = dict(norvactl=sys.argv[1], norvahbd=sys.argv[2], device=sys.argv[3],
                 fake_login1=sys.argv[4], fake_polkit=sys.argv[5])
    run_suite(paths, [sys.argv[0]] + sys.argv[7:], time_budget_s, "norva-ctl-",
              service_policy=sys.argv[6])


if __name__ == "__main__":
    main()
