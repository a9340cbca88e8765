#!/usr/bin/env python3
"""The test bed's service side: fake-polkit answering and recording on the private bus,
fake-login1's answers to CanReboot/CanPowerOff, the project's bus policy enforced on that bus,
and the way norvahbd is started (arguments, environment, its own notify socket), with a
stand-in for the program. Needs dbus-daemon, busctl, fake-login1 and fake-polkit, not root.

Usage: test_services.py FAKE_LOGIN1 FAKE_POLKIT BUS_POLICY [unittest args]
"""

import json
import os
import shutil
import sys
import textwrap
import unittest

sys.dont_write_bytecode = True  # no byte-code cache left in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import norva_testbed as tb  # noqa: E402

FAKE_LOGIN1 = FAKE_POLKIT = BUS_POLICY = None
AUTHORITY = ["org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
             "org.freedesktop.PolicyKit1.Authority"]


def open_lab(paths=None, **kwargs):
    lab = tb.Lab(paths or {"fake_login1": FAKE_LOGIN1, "fake_polkit": FAKE_POLKIT},
                 prefix="norva-services-")
    try:
        lab.open(namespaces=False, **kwargs)
    except BaseException:
        lab.close()
        raise
    return lab


def check(lab, action, flags, subject=("system-bus-name", 1, "name", "s", ":1.42"),
          details=(), cancellation_id=""):
    """One CheckAuthorization through busctl; its finished process."""
    detail_args = [str(len(details))] + [x for pair in details for x in pair]
    return lab.busctl(["--json=short", "call"] + AUTHORITY +
                      ["CheckAuthorization", "(sa{sv})sa{ss}us"] +
                      [str(x) for x in subject] + [action] + detail_args +
                      [str(flags), cancellation_id])


def answer(result):
    return json.loads(result.stdout)["data"][0]


@unittest.skipIf(shutil.which("busctl") is None, "'busctl' is not installed")
class FakePolkit(unittest.TestCase):
    def setUp(self):
        self.lab = open_lab()
        self.addCleanup(self.lab.close)

    def test_answers_each_action_as_the_file_says_and_records_who_asked(self):
        lab = self.lab
        control, configure = "com.norva.NorvaHB1.control", "com.norva.NorvaHB1.configure"
        lab.set_polkit_answers({control: "allow", configure: "challenge"})
        dismissed = {"polkit.dismissed": "true"}
        # (action, flags: 1 = AllowUserInteraction, expected (authorized, challenge, details))
        table = [(control, 0, [True, False, {}]),
                 (configure, 0, [False, True, {}]),
                 (configure, 1, [False, False, dismissed]),
                 ("org.example.unnamed", 1, [False, False, {}])]
        for action, flags, want in table:
            r = check(lab, action, flags)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(answer(r), want, (action, flags))

        # A new file counts from the next call on, "*" covering every action.
        lab.set_polkit_answers({"*": "authenticate", control: "deny"})
        for action, flags, want in [(configure, 1, [True, False, {}]),
                                    (configure, 0, [False, True, {}]),
                                    (control, 1, [False, False, {}])]:
            self.assertEqual(answer(check(lab, action, flags)), want, (action, flags))

        lab.set_polkit_answers({"*": "error"})
        r = check(lab, control, 1)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("answering with an error", r.stderr)

        calls = lab.polkit_calls()
        self.assertEqual([(c["action"], c["flags"], c["answer"]) for c in calls],
                         [(a, f, "allow" if a == control else
                           "challenge" if a == configure else "deny") for a, f, _ in table] +
                         [(configure, 1, "authenticate"), (configure, 0, "authenticate"),
                          (control, 1, "deny"), (control, 1, "error")])
        for c in calls:
            self.assertEqual(c["method"], "CheckAuthorization")
            self.assertEqual((c["subject_kind"], c["subject"]), ("system-bus-name",
                                                                 {"name": ":1.42"}))
            self.assertRegex(c["caller"], r"^:\d+\.\d+$")

    def test_records_a_process_subject_details_and_cancellation(self):
        lab = self.lab
        lab.set_polkit_answers({"*": "allow"})
        r = check(lab, "com.norva.NorvaHB1.configure", 1,
                  subject=("unix-process", 3, "pid", "u", 4242, "start-time", "t", 99,
                           "uid", "i", 1000),
                  details=[("polkit.message", "hello")], cancellation_id="c-7")
        self.assertEqual(answer(r), [True, False, {}], r.stderr)
        r = lab.busctl(["call"] + AUTHORITY + ["CancelCheckAuthorization", "s", "c-7"])
        self.assertEqual(r.returncode, 0, r.stderr)
        first, cancel = lab.polkit_calls()
        self.assertEqual(first["subject_kind"], "unix-process")
        self.assertEqual(first["subject"], {"pid": 4242, "start-time": 99, "uid": 1000})
        self.assertEqual(first["details"], {"polkit.message": "hello"})
        self.assertEqual(first["cancellation_id"], "c-7")
        self.assertEqual((cancel["method"], cancel["cancellation_id"]),
                         ("CancelCheckAuthorization", "c-7"))

    def test_a_bad_answers_file_fails_the_call_and_bad_answers_are_refused(self):
        with open(self.lab.polkit_answers, "w") as f:
            f.write("com.norva.NorvaHB1.control yes\n")
        r = check(self.lab, "com.norva.NorvaHB1.control", 0)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("line 1", r.stderr)
        with self.assertRaises(tb.SetupFailure):
            self.lab.set_polkit_answers({"com.norva.NorvaHB1.control": "yes"})


@unittest.skipIf(shutil.which("busctl") is None, "'busctl' is not installed")
class FakeLogin1(unittest.TestCase):
    def test_can_questions_answer_yes_until_the_test_says_otherwise(self):
        lab = open_lab()
        self.addCleanup(lab.close)

        def ask(method):
            r = lab.busctl(["call", "org.freedesktop.login1", "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", method])
            self.assertEqual(r.returncode, 0, r.stderr)
            return r.stdout.strip()

        self.assertEqual((ask("CanReboot"), ask("CanPowerOff")), ('s "yes"', 's "yes"'))
        lab.set_login1_can({"CanReboot": "no", "CanPowerOff": "challenge"})
        self.assertEqual((ask("CanReboot"), ask("CanPowerOff")), ('s "no"', 's "challenge"'))
        lab.set_login1_can({"CanPowerOff": "na"})
        self.assertEqual((ask("CanReboot"), ask("CanPowerOff")), ('s "yes"', 's "na"'))
        with self.assertRaises(tb.SetupFailure):
            lab.set_login1_can({"Reboot": "yes"})
        self.assertEqual(lab.power_calls(), [], "a question was taken for a request")


def request_name(lab, name):
    return lab.busctl(["call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus", "RequestName", "su", name, "4"])


@unittest.skipIf(shutil.which("busctl") is None, "'busctl' is not installed")
class BusPolicy(unittest.TestCase):
    def test_only_the_service_user_may_own_the_name(self):
        # The lab's user (this test's) stands for norvahb: it gets the name, and no other.
        lab = open_lab(service_policy=BUS_POLICY)
        try:
            r = request_name(lab, tb.SERVICE_BUS_NAME)
            self.assertEqual((r.returncode, r.stdout.strip()), (0, "u 1"), r.stderr)
            # Every other name stays as closed as on the machine's own bus.
            r = request_name(lab, "com.norva.Impostor")
            self.assertNotEqual(r.returncode, 0)
            self.assertIn("denied", r.stderr.lower())
            # The fakes got their holes in that policy: polkit answers.
            lab.set_polkit_answers({"*": "allow"})
            self.assertEqual(answer(check(lab, "com.norva.NorvaHB1.control", 0)),
                             [True, False, {}])
            lab.require_private_bus(lab.bus_address)
        finally:
            lab.close()
        # Another user stands for norvahb: this test's user is refused the name.
        lab = open_lab(service_policy=BUS_POLICY, service_user="nobody")
        try:
            r = request_name(lab, tb.SERVICE_BUS_NAME)
            self.assertNotEqual(r.returncode, 0, r.stdout)
            self.assertIn("denied", r.stderr.lower())
        finally:
            lab.close()


class StartingTheService(unittest.TestCase):
    def setUp(self):
        # A stand-in for norvahbd: writes down its arguments and environment, tells the notify
        # socket it is ready, then waits to be stopped.
        self.folder = tb.tempfile.mkdtemp(prefix="norva-standin-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.record = os.path.join(self.folder, "record.json")
        self.standin = os.path.join(self.folder, "norvahbd")
        with open(self.standin, "w") as f:
            f.write(textwrap.dedent("""\
                #!%s
                import json, os, socket, sys, time
                with open(%r, "w") as f:
                    json.dump({"argv": sys.argv[1:], "env": dict(os.environ)}, f)
                s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
                s.sendto(b"READY=1\\nSTATUS=listening", os.environ["NOTIFY_SOCKET"])
                time.sleep(60)
                """ % (sys.executable, self.record)))
        os.chmod(self.standin, 0o755)

    def test_starts_with_settings_lock_port_and_a_notify_socket_of_its_own(self):
        lab = open_lab({"fake_login1": FAKE_LOGIN1, "fake_polkit": FAKE_POLKIT,
                        "norvahbd": self.standin})
        self.addCleanup(lab.close)
        home = lab.new_home()
        proc = lab.start_norvahbd(home, command_port=19100, watchdog_usec=30000000,
                                  args=["--check"])
        i = proc.notify.wait_for("READY", "1", timeout=20, alive=proc)
        self.assertIsNotNone(i, "no READY=1")
        pid, fields, _ = proc.notify.all()[i]
        self.assertEqual(pid, proc.pid)
        self.assertEqual(fields["STATUS"], "listening")
        with open(self.record) as f:
            record = json.load(f)
        self.assertEqual(record["argv"], ["--settings", home.settings_path, "--lock",
                                          os.path.join(home.runtime, "norvahbd.lock"),
                                          "--command-port", "19100", "--check"])
        env = record["env"]
        self.assertEqual(env["DBUS_SYSTEM_BUS_ADDRESS"], lab.bus_address)
        self.assertEqual(env["NOTIFY_SOCKET"], proc.notify.path)
        self.assertEqual(env["WATCHDOG_USEC"], "30000000")
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                     "XDG_RUNTIME_DIR", "HOME"):
            self.assertNotIn(name, env)

    def test_refused_without_the_fake_polkit_or_on_another_bus(self):
        lab = open_lab({"fake_login1": FAKE_LOGIN1, "norvahbd": self.standin})
        self.addCleanup(lab.close)
        with self.assertRaisesRegex(tb.SetupFailure, "REFUSING.*polkit"):
            lab.start_norvahbd(lab.new_home())
        lab = open_lab({"fake_login1": FAKE_LOGIN1, "fake_polkit": FAKE_POLKIT,
                        "norvahbd": self.standin})
        self.addCleanup(lab.close)
        with self.assertRaisesRegex(tb.SetupFailure, "REFUSING"):
            lab.start_norvahbd(lab.new_home(), env={
                "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/run/dbus/system_bus_socket"})
        self.assertFalse(os.path.exists(self.record))

    def test_exec_norvahbd_from_a_shell_guarded_and_heard_on_a_notify_socket(self):
        # What scripts/demo.sh does: the service started through the program's own guard, in
        # its place (same process id), telling a notify socket that another command holds.
        script = os.path.join(HERE, "norva_testbed.py")

        def exec_norvahbd(lab, address):
            env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                   "DBUS_SYSTEM_BUS_ADDRESS": address,
                   "NOTIFY_SOCKET": os.path.join(lab.dir, "notify")}
            return tb.subprocess.Popen([sys.executable, script, "exec-norvahbd", "--lab", lab.dir,
                                        "--", self.standin], env=env,
                                       stdout=tb.subprocess.PIPE, stderr=tb.subprocess.PIPE,
                                       text=True)

        without = open_lab({"fake_login1": FAKE_LOGIN1})
        self.addCleanup(without.close)
        lab = open_lab()
        self.addCleanup(lab.close)
        for refused_lab, address in ((without, without.bus_address),
                                     (lab, "unix:path=/run/dbus/system_bus_socket")):
            p = exec_norvahbd(refused_lab, address)
            _, err = p.communicate(timeout=30)
            self.assertEqual(p.returncode, 3, err)
            self.assertIn("REFUSING to start norvahbd", err)
        self.assertFalse(os.path.exists(self.record))

        log = tb.LogFile(os.path.join(lab.dir, "notify.log"))
        listener = tb.subprocess.Popen([sys.executable, script, "notify-socket",
                                        os.path.join(lab.dir, "notify"), log.path])
        self.addCleanup(tb.stop_process, listener)
        deadline = tb.time.monotonic() + 20
        while not os.path.exists(os.path.join(lab.dir, "notify")):
            self.assertLess(tb.time.monotonic(), deadline, "the notify socket was not bound")
            tb.time.sleep(tb.POLL)
        service = exec_norvahbd(lab, lab.bus_address)
        self.addCleanup(tb.stop_process, service)
        found = log.wait_for(r"READY=1", 20, alive=service)
        self.assertIsNotNone(found, log.text())
        self.assertEqual(log.lines()[found[0]], "pid=%d READY=1 STATUS=listening" % service.pid)
        listener.terminate()
        self.assertEqual(listener.wait(10), 0)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit("usage: %s FAKE_LOGIN1 FAKE_POLKIT BUS_POLICY [unittest args]" % sys.argv[0])
    FAKE_LOGIN1, FAKE_POLKIT, BUS_POLICY = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
