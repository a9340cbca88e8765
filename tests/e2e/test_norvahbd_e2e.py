"""End-to-end tests of the service norvahbd: the real binary in the PC's namespace as the
service manager would start it ($NOTIFY_SOCKET, no display, no home), on the private system bus
with the project's bus policy, the fake login manager and the fake polkit authority, against
norva-device in the device's namespace.

Run as: test_norvahbd_e2e.py NORVAHBD NORVAHB NORVA_DEVICE FAKE_LOGIN1 FAKE_POLKIT BUS_POLICY
"""

import os
import re
import signal
import socket
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_case import NorvaCase, run_suite, tb  # noqa: E402

IFACE = ["com.norva.NorvaHB1", "/com/norva/NorvaHB1", "com.norva.NorvaHB1"]
CONTROL = "com.norva.NorvaHB1.control"
CONFIGURE = "com.norva.NorvaHB1.configure"
DEVICE_PORT = 19188


class ServiceCase(NorvaCase):
    USER = "Ostra"
    PASSWORD = "s3cret"

    def settings(self, started=1, alert=0):
        return {
            "Setup": {"IPAddr": tb.DEVICE_IP, "Port": DEVICE_PORT, "Freq": 1, "FailCount": 3,
                      "Network": 1, "USB": 0},
            "Run": {"IsStarted": started},
            "GSD": {"Username": self.USER, "Password": self.PASSWORD,
                    "AlertPedningAction": alert},
            "Service": {"MetricsFile": os.path.join(self.home.home, "norvahb.prom")},
        }

    def start_service(self, **kwargs):
        self.runs += 1
        log = tb.LogFile(self.log_path("norvahbd-%d.err" % self.runs))
        self.norvahb_logs.append(log)
        with open(log.path, "w") as err:
            proc = self.lab.start_norvahbd(self.home, self.net, stdout=err, stderr=err, **kwargs)
        self.procs.append(proc)
        if proc.notify.wait_for("READY", "1", timeout=15, alive=proc) is None:
            self.fail("norvahbd did not report READY=1:\n%s" % log.tail())
        return proc, log

    def prop(self, name):
        r = self.lab.busctl(["get-property"] + IFACE + [name])
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.strip()

    def call(self, method, *args):
        return self.lab.busctl(["call"] + IFACE + [method] + list(args), timeout=20)

    def wait_prop(self, name, value, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.prop(name) == value:
                return
            time.sleep(0.1)
        self.fail("%s stayed %s, expected %s" % (name, self.prop(name), value))

    def wait_metrics(self, *wanted, timeout=5):
        """The metrics file once it holds every line of `wanted`. The service writes it just
        after the journal line a test waits for, so one read right after that line races it."""
        path = os.path.join(self.home.home, "norvahb.prom")
        deadline = time.monotonic() + timeout
        while True:
            try:
                with open(path) as f:
                    text = f.read()
            except FileNotFoundError:
                text = ""
            if all(w in text for w in wanted) or time.monotonic() > deadline:
                return text
            time.sleep(0.05)

    def test_heartbeat_control_by_polkit_and_a_command(self):
        _, dev = self.start_device(["udp", "--bind", "%s:%d" % (tb.DEVICE_IP, DEVICE_PORT),
                                    "--answer", "ack"])
        self.write_settings(self.settings())
        proc, log = self.start_service()
        self.wait_heartbeats(dev, 2, 10, proc=proc)
        self.wait_prop("State", 's "responding"')
        self.assertEqual(self.prop("Mode"), 's "network"')
        self.assertEqual(self.prop("DeviceAddress"), 's "%s"' % tb.DEVICE_IP)

        # Refused by polkit: nothing changes, the caller hears why.
        self.lab.set_polkit_answers({"*": "deny"})
        r = self.call("Stop")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("not authorized", r.stderr.lower())
        self.assertEqual(self.setting("Run", "IsStarted"), "1")
        calls = [c for c in self.lab.polkit_calls() if c.get("action") == CONTROL]
        self.assertTrue(calls and calls[-1]["subject_kind"] == "system-bus-name", calls)

        r = self.call("ApplySettings", "a{ss}", "1", "Setup/Freq", "2")
        self.assertNotEqual(r.returncode, 0)
        self.assertEqual(self.setting("Setup", "Freq"), "1", "a refused Apply stored a value")

        # Allowed: Stop stops the heartbeat and is remembered, Start starts it again.
        self.lab.set_polkit_answers({CONTROL: "allow", CONFIGURE: "allow"})
        r = self.call("Stop")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.wait_prop("State", 's "stopped"')
        self.assertEqual(self.setting("Run", "IsStarted"), "0")
        r = self.call("ApplySettings", "a{ss}", "1", "Setup/Port", "12x")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("Setup/Port: up to five digits", r.stderr)
        self.assertEqual(self.setting("Setup", "Port"), str(DEVICE_PORT))
        r = self.call("Start")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.wait_prop("State", 's "responding"')
        r = self.call("ReadSettings")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('"Setup/IPAddr" "%s"' % tb.DEVICE_IP, r.stdout)
        self.assertNotIn(self.PASSWORD, r.stdout, "ReadSettings gave the password away")

        # A command from the device: acknowledged, carried out, in the journal.
        status, out = self.send_command("--action", "restart", "--user", self.USER,
                                        "--password", self.PASSWORD)
        self.assertIn("ack 01", out)
        self.assertTrue(self.lab.power_log.wait_for(r"^Reboot false$", 10),
                        "no reboot reached the login manager: %r" % self.lab.power_calls())
        accepted = r"^<6>Command port: restart from %s$" % re.escape(tb.DEVICE_IP)
        self.assertTrue(log.wait_for(accepted, 5), log.tail())
        self.assertTrue(log.wait_for(r"^<6>Heartbeat: the device is responding$", 1), log.tail())

        metrics = self.wait_metrics("norvahb_device_responding 1",
                                    "norvahb_commands_accepted_total 1")
        self.assertIn("norvahb_device_responding 1", metrics)
        self.assertIn("norvahb_commands_accepted_total 1", metrics)

        # A desktop copy becomes the service's front end: it says so and binds no port.
        env = self.lab.norvahb_env(self.lab.new_home("desktop-"))
        err_path = self.log_path("desktop.err")
        with open(err_path, "w") as err:
            desk = self.lab.start_norvahb(env, self.net, stdout=err, stderr=err)
        self.procs.append(desk)
        said = tb.LogFile(err_path)
        self.assertTrue(said.wait_for(r"this window follows it", 15, alive=desk), said.tail())
        time.sleep(0.5)  # time enough to bind, were it going to
        for table in ("-ltnpH", "-lunpH"):
            sockets = subprocess.run(self.net.in_pc(["ss", table]), capture_output=True,
                                     text=True).stdout
            self.assertNotIn("pid=%d," % desk.pid, sockets, "the front end bound a port")
        status, out = self.send_command("--action", "shutdown", "--user", self.USER,
                                        "--password", self.PASSWORD)
        self.assertIn("ack 01", out, "the service stopped serving commands beside a front end")
        desk.send_signal(signal.SIGTERM)
        self.assertEqual(desk.wait(10), 0)

        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 0)
        self.assertIsNotNone(proc.notify.wait_for("STOPPING", "1", timeout=2))

    def test_a_refused_power_request_is_reported(self):
        self.write_settings(self.settings(started=0))
        proc, log = self.start_service()
        signals = self.monitor_signals()

        # A desktop's block inhibitor on a current logind: the request that skips inhibitors
        # goes through, and nothing is reported.
        self.lab.set_login1_behaviour("inhibited")
        status, out = self.send_command("--action", "restart", "--user", self.USER,
                                        "--password", self.PASSWORD)
        self.assertIn("ack 01", out)
        self.assertTrue(self.lab.power_log.wait_for(r"^RebootWithFlags 16$", 10),
                        self.lab.power_calls())
        accepted = r"^<6>Command port: restart from %s$" % re.escape(tb.DEVICE_IP)
        self.assertTrue(log.wait_for(accepted, 5), log.tail())

        # Refused: an error line in the journal, the signal for any listener, the metric.
        self.lab.set_login1_behaviour("refuse")
        status, out = self.send_command("--action", "shutdown", "--user", self.USER,
                                        "--password", self.PASSWORD)
        self.assertIn("ack 01", out)
        refusal = r"Permission denied \(org\.freedesktop\.DBus\.Error\.AccessDenied\)"
        self.assertTrue(log.wait_for(r"^<3>The login manager refused the shutdown: " + refusal +
                                     "$", 10), log.tail())
        found = signals.wait_for(r"member=PowerRequestFailed$", 5)
        self.assertTrue(found, signals.tail())
        self.assertTrue(signals.wait_for(r"AccessDenied", 5, start=found[0]), signals.tail())
        self.assertEqual([l.strip() for l in signals.lines()[found[0] + 1:found[0] + 3]],
                         ['string "shutdown"', 'string "Permission denied '
                          '(org.freedesktop.DBus.Error.AccessDenied)"'], signals.tail())
        self.assertEqual(self.lab.power_calls(), ["RebootWithFlags 16", "PowerOffWithFlags 16"])
        self.assertEqual(len(re.findall(r"^<3>", log.text(), re.M)), 1, log.tail())
        self.assertIn("norvahb_power_requests_failed_total 1\n",
                      self.wait_metrics("norvahb_power_requests_failed_total 1\n"))
        self.assertEqual(proc.poll(), None, "the service ended")

    def test_only_the_device_answers_the_heartbeat(self):
        # A silent device, and a spoofer at a second address of its namespace that answers
        # for it and asks for a shutdown: neither counts, and the spoofer is named once.
        spoofer_ip = tb.DEVICE_OTHER_IP
        self.net.add_device_address(spoofer_ip)
        self.write_settings(self.settings())
        proc, log = self.start_service()
        spoof = ("import socket, time\n"
                 "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                 "s.bind((%r, 0))\n"
                 "s.sendto(b'NorvaShutdown', (%r, %d))\n"
                 "for _ in range(80):\n"
                 "    s.sendto(b'NorvaACK', (%r, %d))\n"
                 "    time.sleep(0.1)\n"
                 % (spoofer_ip, tb.PC_IP, DEVICE_PORT, tb.PC_IP, DEVICE_PORT))
        spoofer, _ = self.start_helper([sys.executable, "-c", spoof], "spoofer", "device")
        self.assertTrue(log.wait_for(r"^<4>Your Norva is not responding to the Heartbeat "
                                     r"\(Network\)$", 10, alive=proc),
                        "the spoofed answers hid the silent device:\n" + log.tail())
        self.assertEqual(spoofer.wait(15), 0)
        self.assertNotEqual(self.prop("State"), 's "responding"')
        text = log.text()
        self.assertNotIn("Device message", text)
        self.assertNotIn("Shutdown", text)
        foreign = re.findall(r"^<4>Ignored \d+ datagrams? on the heartbeat port from (\S+): "
                             r"not the device's address$", text, re.M)
        self.assertEqual(foreign, [spoofer_ip], "81 datagrams in 8 s: one line at once, the "
                         "rest folded into the minute\n" + log.tail())
        self.assertIsNone(proc.poll())

    FLOOD_SECONDS = 6

    def test_a_hello_flood_from_three_groups_is_folded_and_the_command_still_said(self):
        # Three address groups loop on the command port's hello (loopback in the PC's
        # namespace, and the device at two addresses of its own) while the device sends a
        # restart. The journal gets one count per group at once and the rest at the stop,
        # none lost; no hello is a line or a signal of its own; the restart has its line.
        self.net.add_device_address(tb.DEVICE_OTHER_IP)
        self.write_settings(self.settings(started=0))
        monitor = self.monitor_signals()
        proc, log = self.start_service()
        flood = ("import socket, sys, time\n"
                 "src, host, secs = sys.argv[1], sys.argv[2], float(sys.argv[3])\n"
                 "n, end = 0, time.monotonic() + secs\n"
                 "while time.monotonic() < end:\n"
                 "    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)\n"
                 "    s.settimeout(2)\n"
                 "    try:\n"
                 "        s.bind((src, 0))\n"
                 "        s.connect((host, %d))\n"
                 "        while time.monotonic() < end:\n"
                 "            s.sendall(b'hello-000')\n"
                 "            got = b''\n"
                 "            while len(got) < 2:\n"
                 "                more = s.recv(2 - len(got))\n"
                 "                if not more:\n"
                 "                    raise OSError('closed')\n"
                 "                got += more\n"
                 "            n += 1\n"
                 "    except OSError:\n"
                 "        time.sleep(0.01)\n"
                 "    finally:\n"
                 "        s.close()\n"
                 "print(n)\n" % tb.COMMAND_PORT)
        groups = (("127.0.0.0/8", "pc", "127.0.0.5", "127.0.0.1"),
                  ("%s/32" % tb.DEVICE_IP, "device", tb.DEVICE_IP, tb.PC_IP),
                  ("%s/32" % tb.DEVICE_OTHER_IP, "device", tb.DEVICE_OTHER_IP, tb.PC_IP))
        flooders = [(group,) + self.start_helper(
            [sys.executable, "-c", flood, src, host, str(self.FLOOD_SECONDS)],
            "flood", namespace) for group, namespace, src, host in groups]
        time.sleep(self.FLOOD_SECONDS / 2)
        status, out = self.send_command("--action", "restart", "--user", self.USER,
                                        "--password", self.PASSWORD)
        self.assertIn("ack 01", out)
        self.assertTrue(self.lab.power_log.wait_for(r"^Reboot false$", 10),
                        self.lab.power_calls())
        sent = {}
        for group, flooder, out in flooders:
            self.assertEqual(flooder.wait(self.FLOOD_SECONDS + 10), 0, out.text())
            sent[group] = int(out.text().split()[-1])
        sent["%s/32" % tb.DEVICE_IP] += 1  # the command's own hello
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 0)

        lines = log.lines()
        print("\n  hello flood of %d s: %d hellos answered, %d journal lines"
              % (self.FLOOD_SECONDS, sum(sent.values()), len(lines)), file=sys.stderr)
        for group, _, _ in flooders:
            self.assertGreater(sent[group], 100, "the flood from %s hardly got going" % group)
        self.assertLess(len(lines), 200, log.tail())
        self.assertEqual(lines.count("<6>Command port: restart from %s" % tb.DEVICE_IP), 1,
                         log.tail())
        self.assertEqual([l for l in lines if "Hello" in l or "Bad " in l], [])
        said = {}
        for group, count in re.findall(r"^<6>Command port: (\S+): hellos answered: (\d+)$",
                                       log.text(), re.M):
            said.setdefault(group, []).append(int(count))
        self.assertEqual({g: sum(c) for g, c in said.items()}, sent,
                         "hellos lost or miscounted:\n" + log.tail())
        for group, counts in said.items():
            self.assertLessEqual(len(counts), 2, "the first at once, the rest at the stop")
        captions = [l for l in monitor.lines() if l.endswith("member=Caption")]
        self.assertLessEqual(len(captions), 1, "a signal per hello:\n" + monitor.tail())

    def held_port(self, kind=socket.SOCK_STREAM):
        """The command port bound (and listened on, for TCP) in the PC namespace by the test,
        as norvahbd.socket holds it: one IPv6 socket that takes IPv4 too."""
        with tb.InNetns(self.net.pc_ns):
            s = socket.socket(socket.AF_INET6, kind)
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            s.bind(("::", tb.COMMAND_PORT))
            if kind == socket.SOCK_STREAM:
                s.listen(16)
        self.addCleanup(s.close)
        return [s]

    def test_command_port_held_by_the_service_manager(self):
        self.write_settings(self.settings(started=0))
        held = self.held_port()
        # A local process that races for the port loses, even with SO_REUSEADDR.
        squat = ("import socket\n"
                 "s = socket.socket()\n"
                 "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                 "s.bind(('%s', %d))\n" % (tb.PC_IP, tb.COMMAND_PORT))
        r = subprocess.run(self.net.in_pc([sys.executable, "-c", squat]),
                           capture_output=True, text=True, timeout=10)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("Address already in use", r.stderr)

        proc, log = self.start_service(listen_sockets=held)
        self.assertTrue(log.wait_for(r"^<6>The service manager holds the command port: taking "
                                     r"its 1 socket\(s\)$", 1), log.tail())
        status, out = self.send_command("--action", "restart", "--user", self.USER,
                                        "--password", self.PASSWORD)
        self.assertIn("ack 01", out)
        self.assertTrue(self.lab.power_log.wait_for(r"^Reboot false$", 10),
                        self.lab.power_calls())
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 0)

        # Without the service manager's sockets it binds the port itself, as before.
        for s in held:
            s.close()
        proc, log = self.start_service()
        self.assertNotIn("holds the command port", log.text())
        status, out = self.send_command("--action", "shutdown", "--user", self.USER,
                                        "--password", self.PASSWORD)
        self.assertIn("ack 01", out)
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 0)

    def test_passed_sockets_of_the_wrong_kind_end_the_service(self):
        self.write_settings(self.settings(started=0))
        held = self.held_port(socket.SOCK_DGRAM)
        log = tb.LogFile(self.log_path("norvahbd-wrong.err"))
        with open(log.path, "w") as err:
            proc = self.lab.start_norvahbd(self.home, self.net, stdout=err, stderr=err,
                                           listen_sockets=held)
        self.procs.append(proc)
        self.assertEqual(proc.wait(10), 1)
        self.assertEqual(log.lines(), ["<3>The sockets passed by the service manager cannot be "
                                       "used: descriptor 3 is not a TCP socket (ListenStream= "
                                       "in the socket unit)"])

    def test_sleep_lock_follows_the_heartbeat_and_a_played_sleep_pauses_it(self):
        for allow, mode in ((0, "block"), (1, "delay")):
            with self.subTest(mode=mode):
                self.played_sleep(allow, mode)

    def played_sleep(self, allow, mode):
        dev, dlog = self.start_device(["udp", "--bind", "%s:%d" % (tb.DEVICE_IP, DEVICE_PORT),
                                       "--answer", "ack"], name="device-%s" % mode)
        settings = self.settings()
        settings["Setup"]["AllowSleep"] = allow
        self.write_settings(settings)
        proc, log = self.start_service()
        self.wait_heartbeats(dlog, 2, 10, proc=proc)
        self.wait_inhibitor(mode)
        self.wait_prop("SleepInhibited", "b true")
        self.assertEqual(self.prop("AllowSleep"), "b %s" % ("true" if allow else "false"))
        self.assertIn("norvahb_sleep_inhibited 1", self.wait_metrics("norvahb_sleep_inhibited 1"))

        # Stop gives the lock back, Start takes it again.
        self.lab.set_polkit_answers({CONTROL: "allow"})
        self.assertEqual(self.call("Stop").returncode, 0)
        self.wait_inhibitor(mode, held=False)
        self.wait_prop("SleepInhibited", "b false")
        self.assertEqual(self.call("Start").returncode, 0)
        self.wait_inhibitor(mode)
        self.wait_heartbeats(dlog, 4, 10, proc=proc)
        missed = self.prop("NetworkMissed")

        # A sleep as logind plays it: the announcement, the machine frozen, the wake.
        self.login1("EmitPrepareForSleep", "b", "true")
        self.wait_prop("State", 's "sleeping"', timeout=3)
        self.assertTrue(log.wait_for(r"^<6>Heartbeat: sleeping", 2), log.tail())
        # The delay lock goes so that the sleep is not held up; a block lock stays.
        self.wait_inhibitor(mode, held=(mode == "block"))
        asleep_from = len(dlog.lines())
        proc.send_signal(signal.SIGSTOP)
        time.sleep(2.5)
        proc.send_signal(signal.SIGCONT)
        time.sleep(0.8)  # awake but not yet told: the late timers must send nothing
        self.assertEqual(self.heartbeats(dlog, asleep_from), [], "a heartbeat while asleep")
        woke_at = wall_clock_seconds()
        self.login1("EmitPrepareForSleep", "b", "false")
        beats = self.wait_heartbeats(dlog, 3, 5, start=asleep_from, proc=proc)
        first = since(woke_at, beats[0][1])
        self.assertLess(first, 0.5, "the first heartbeat came %.3f s after the wake" % first)
        self.check_schedule([b[1] for b in beats], "after the wake")
        # A second wake sends no second burst.
        self.login1("EmitPrepareForSleep", "b", "false")
        time.sleep(0.3)
        self.check_schedule([b[1] for b in self.heartbeats(dlog, asleep_from)], "second wake")
        self.wait_prop("State", 's "responding"')
        self.assertEqual(self.prop("NetworkMissed"), missed, "the sleep counted misses")
        self.assertFalse(log.wait_for(r"not responding", 0.1), log.tail())
        self.assertTrue(log.wait_for(r"^<6>Heartbeat: the PC woke", 1), log.tail())
        self.wait_inhibitor(mode)

        # Ending the service gives the lock back.
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 0)
        self.wait_inhibitor(mode, held=False)
        dev.send_signal(signal.SIGTERM)
        dev.wait(5)

    def test_watchdog_keep_alive_and_single_copy(self):
        self.write_settings(self.settings(started=0))
        proc, log = self.start_service(watchdog_usec=400000)
        first = len(proc.notify.all())
        time.sleep(1.0)
        pings = [m for m in proc.notify.all()[first:] if m[1].get("WATCHDOG") == "1"]
        self.assertGreaterEqual(len(pings), 3, "keep-alive pings every 200 ms expected")
        self.assertTrue(all(m[0] == proc.pid for m in pings))
        self.assertEqual(self.prop("State"), 's "stopped"')

        second, second_log = self.start_service_expect_exit()
        self.assertEqual(second, 1)
        self.assertIn("already running", second_log)

    def test_bus_interface_is_the_documented_one(self):
        self.write_settings(self.settings(started=0))
        self.start_service()
        r = self.lab.busctl(["introspect", "--xml-interface"] + IFACE[:2])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(interface_members(r.stdout), interface_members(POLICY_XML_TEXT[0]))

    def run_norvahbd(self, *args):
        """Runs norvahbd with `args` after the unit's own arguments, in the PC's namespace on the
        lab's bus, to its end; returns (status, standard output, standard error)."""
        self.runs += 1
        out_path = self.log_path("run-%d.out" % self.runs)
        err_path = self.log_path("run-%d.err" % self.runs)
        with open(out_path, "w") as out, open(err_path, "w") as err:
            p = self.lab.start_norvahbd(self.home, self.net, notify=False, args=list(args),
                                        stdout=out, stderr=err)
        self.procs.append(p)
        status = p.wait(30)
        with open(out_path) as out, open(err_path) as err:
            return status, out.read(), err.read()

    def test_a_bad_option_is_one_line_with_one_program_name(self):
        status, out, err = self.run_norvahbd("--bogus")
        self.assertEqual((status, out), (2, ""))
        self.assertEqual(err, "norvahbd: unknown option '--bogus' (see norvahbd --help)\n")

    def test_check_asks_the_login_manager_and_finds_the_ports_free_or_the_services(self):
        self.addCleanup(self.lab.set_login1_can, {})
        self.write_settings(self.settings())
        port_lines = ["ok    TCP port %d (commands) is free" % tb.COMMAND_PORT,
                      "ok    UDP port %d (heartbeat) is free" % DEVICE_PORT]

        status, out, _ = self.run_norvahbd("--check")
        self.assertEqual(status, 0, out)
        for line in ["info  the service is not running (com.norva.NorvaHB1 has no owner on the "
                     "bus)",
                     "ok    the login manager answers CanReboot: yes",
                     "ok    the login manager answers CanPowerOff: yes"] + port_lines:
            self.assertIn(line + "\n", out)

        # What the login manager says is what the check reports; a "no" fails it.
        self.lab.set_login1_can({"CanReboot": "challenge", "CanPowerOff": "no"})
        status, out, _ = self.run_norvahbd("--check")
        self.assertEqual(status, 1, out)
        self.assertIn("warn  the login manager answers CanReboot: challenge (", out)
        self.assertIn("FAIL  the login manager answers CanPowerOff: no: a shutdown command "
                      "would be refused\n", out)
        self.lab.set_login1_can({})

        # Another program on the heartbeat's port, with no service running: that fails.
        holder, held = self.start_helper(
            [sys.executable, "-c", "import socket, time; s = socket.socket(socket.AF_INET, "
             "socket.SOCK_DGRAM); s.bind(('0.0.0.0', %d)); print('bound', flush=True); "
             "time.sleep(60)" % DEVICE_PORT], "udp-holder", "pc")
        self.assertTrue(held.wait_for(r"^bound$", 10, alive=holder), held.tail())
        status, out, _ = self.run_norvahbd("--check")
        self.assertEqual(status, 1, out)
        self.assertIn("FAIL  UDP port %d (heartbeat) is in use by another program: the "
                      "heartbeat could not start\n" % DEVICE_PORT, out)
        tb.stop_process(holder)

        # The running service holds both ports: that is fine.
        self.start_service()
        deadline = time.monotonic() + 10
        while "UNCONN" not in subprocess.run(
                self.net.in_pc(["ss", "-lunH", "sport = :%d" % DEVICE_PORT]),
                capture_output=True, text=True).stdout:
            self.assertLess(time.monotonic(), deadline, "the service bound no UDP port")
            time.sleep(0.1)
        status, out, _ = self.run_norvahbd("--check")
        self.assertEqual(status, 0, out)
        self.assertIn("info  the service is running (it holds com.norva.NorvaHB1 on the bus)\n",
                      out)
        self.assertIn("ok    TCP port %d (commands) is in use, by the running service\n"
                      % tb.COMMAND_PORT, out)
        self.assertIn("ok    UDP port %d (heartbeat) is in use, by the running service\n"
                      % DEVICE_PORT, out)

    def test_a_lasting_error_is_folded_signalled_and_raises_the_alert(self):
        # Another program holds the heartbeat's UDP port: the service cannot bind it, and no
        # heartbeat leaves. The error reaches the journal once at its start and a plain client
        # on the bus once, and the failed heartbeats bring the alert as silence would.
        bind = "Could not bind socket. Address and port are already in use."
        holder = self.hold_udp_port(DEVICE_PORT)
        _, dev = self.start_device(["udp", "--bind", "%s:%d" % (tb.DEVICE_IP, DEVICE_PORT),
                                    "--answer", "ack"])
        monitor = self.monitor_signals()
        self.write_settings(self.settings())
        proc, log = self.start_service()

        self.wait_prop("State", 's "not responding"', timeout=15)  # FailCount 3, Freq 1
        self.assertTrue(monitor.wait_for(r"member=NoResponse$", 5), monitor.tail())
        self.assertTrue(monitor.wait_for(r'^\s*string "%s"$' % re.escape(bind), 5),
                        "no Error signal with the bind error:\n" + monitor.tail())
        time.sleep(2.5)  # more heartbeats fail meanwhile
        self.assertEqual([l for l in log.lines() if bind in l], ["<3>" + bind],
                         "the repeats were not folded:\n" + log.tail())
        self.assertEqual(len([l for l in monitor.lines() if l.endswith("member=Error")]), 1,
                         monitor.text())
        self.assertEqual(self.heartbeats(dev), [], "a heartbeat left a held port")
        self.assertEqual(self.prop("NetworkSent"), "u 0")
        self.assertEqual(self.prop("NetworkMissed"), "u 0")

        # The port is free again: the heartbeat goes out, the device answers, and the journal
        # says the error is over once the next two heartbeats have gone out without it.
        tb.stop_process(holder)
        self.wait_heartbeats(dev, 1, 10, proc=proc)
        self.wait_prop("State", 's "responding"')
        self.assertTrue(log.wait_for(r"^<6>%s \(no longer occurs; it occurred \d+ times over "
                                     r"\d+ s\)$" % re.escape(bind), 10), log.tail())
        self.assertEqual(len([l for l in monitor.lines() if l.endswith("member=Error")]), 1)

    def hold_udp_port(self, port):
        """A UDP socket of another program on `port` in the PC's namespace, until stopped."""
        hold = ("import socket, sys\n"
                "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                "s.bind(('0.0.0.0', int(sys.argv[1])))\n"
                "print('ready', flush=True)\n"
                "sys.stdin.read()\n")
        proc, out = self.start_helper([sys.executable, "-c", hold, str(port)], "hold", "pc",
                                      stdin=subprocess.PIPE)
        if not out.wait_for(r"^ready$", 10, alive=proc):
            self.fail("could not hold UDP port %d:\n%s" % (port, out.text()))
        return proc

    def monitor_signals(self):
        """dbus-monitor on the private bus, printing the service's signals into a log."""
        env = self.lab.bus_env()
        self.lab.require_private_bus(env["DBUS_SYSTEM_BUS_ADDRESS"], what="dbus-monitor")
        self.runs += 1
        out = tb.LogFile(self.log_path("monitor-%d.out" % self.runs))
        with open(out.path, "w") as f:
            proc = subprocess.Popen(["dbus-monitor", "--system",
                                     "type='signal',interface='com.norva.NorvaHB1'"],
                                    stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT,
                                    text=True, env=env)
        self.procs.append(proc)
        self.lab.procs.append(proc)
        if not out.wait_for(r"member=NameAcquired$", 10, alive=proc):
            self.fail("dbus-monitor did not start:\n" + out.text())
        return out

    def test_a_serial_device_that_comes_late_or_comes_back_is_waited_for(self):
        """At boot a USB serial device may be enumerated after the service started, and it may
        be unplugged and plugged in again: the service waits for it, says so, and resumes the
        heartbeat within a second of the device appearing, each time."""
        self.write_settings({
            "Setup": {"Network": 0, "USB": 1, "ComPort": "COM7", "comFreq": 1, "comFail": 3},
            "Run": {"IsStarted": 1},
        })
        link = os.path.join(self.config, "NorvaHB-ports", "COM7")
        proc, log = self.start_service()
        started = time.monotonic()
        self.assertTrue(log.wait_for(r"^<4>COM7 is not there: waiting for the serial device "
                                     r"at %s or /dev/ttyUSB2$" % re.escape(link), 5), log.tail())
        self.wait_prop("State", 's "waiting for the serial device"')
        self.assertTrue(log.wait_for(r"^<6>Heartbeat: waiting for the serial device$", 1),
                        log.tail())
        self.assertIsNotNone(proc.notify.wait_for("STATUS", "Heartbeat waiting for the serial "
                                                  "device, mode usb", timeout=1))
        time.sleep(max(0.0, 3.0 - (time.monotonic() - started)))

        mark = 0  # the journal's lines before this round's are the earlier rounds'
        for round_ in (1, 2):
            appeared = wall_clock_seconds()  # before the device exists: an upper bound
            device, dlog = self.start_device(["serial", "--link", link, "--answer", "whole"],
                                             namespace=False, name="serial")
            beats = self.wait_heartbeats(dlog, 3, 10, proc=proc)
            late = since(appeared, beats[0][1])
            self.assertLess(late, 1.0, "round %d: the first heartbeat came %.3f s after the "
                            "device appeared:\n%s" % (round_, late, log.tail()))
            print("\n  round %d: first heartbeat %.0f ms after the device appeared"
                  % (round_, late * 1000), file=sys.stderr)
            self.wait_prop("State", 's "responding"')
            back = log.wait_for(r"^<6>COM7 is back: the port is open, the heartbeat resumes$",
                                1, start=mark)
            self.assertTrue(back, log.tail())

            # Unplugged: the service notices, closes the line and waits again.
            tb.stop_process(device)
            gone = log.wait_for(r"^<4>COM7 went away: waiting for the serial device at ",
                                5, start=back[0] + 1)
            self.assertTrue(gone, log.tail())
            self.wait_prop("State", 's "waiting for the serial device"')
            mark = gone[0] + 1

        self.assertNotIn("no longer available", log.text())
        self.assertIsNone(proc.poll(), log.tail())

    def start_service_expect_exit(self):
        path = self.log_path("second.err")
        with open(path, "w") as err:
            p = self.lab.start_norvahbd(self.home, self.net, stdout=err, stderr=err)
        self.procs.append(p)
        status = p.wait(10)
        with open(path) as f:
            return status, f.read()


def wall_clock_seconds():
    """Now, in seconds since local midnight: the clock of norva-device's time stamps."""
    now = time.time()
    local = time.localtime(now)
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec + (now % 1)


def since(earlier, later):
    """Seconds from `earlier` to `later` (both seconds since midnight), across midnight too."""
    d = later - earlier
    return d + 86400 if d < -43200 else d


POLICY_XML_TEXT = [""]


def interface_members(xml_text):
    """The members of com.norva.NorvaHB1 as comparable tuples: properties with type and access,
    signals and methods with their arguments' types and directions."""
    root = ET.fromstring(xml_text)
    members = set()
    for iface in root.iter("interface"):
        if iface.get("name") != "com.norva.NorvaHB1":
            continue
        for m in iface:
            if m.tag == "property":
                members.add(("property", m.get("name"), m.get("type"), m.get("access")))
            elif m.tag in ("signal", "method"):
                args = tuple((a.get("type"), a.get("direction", "in" if m.tag == "method"
                                                     else "out"))
                             for a in m.findall("arg"))
                members.add((m.tag, m.get("name"), args))
    return members


def main(time_budget_s=240):
    if len(sys.argv) < 7:
        sys.exit(__doc__)
    paths = dict(norvahbd=sys.argv[1], norvahb=sys.argv[2], device=sys.argv[3],
                 fake_login1=sys.argv[4], fake_polkit=sys.argv[5])
    policy = sys.argv[6]
    with open(os.path.join(os.path.dirname(policy), "com.norva.NorvaHB1.xml")) as f:
        POLICY_XML_TEXT[0] = f.read()
    run_suite(paths, [sys.argv[0]] + sys.argv[7:], time_budget_s, "norva-svc-",
              service_policy=policy)


if __name__ == "__main__":
    main()
