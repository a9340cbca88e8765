#!/usr/bin/env python3
"""The test bed's guard: NorvaHB (and any fake service) is started only on the running private
bus that this very test bed started. Needs dbus-daemon and fake-login1, not root.

Usage: test_guard.py FAKE_LOGIN1 [unittest args]
"""

import os
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True  # no byte-code cache left in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import norva_testbed as tb  # noqa: E402

FAKE_LOGIN1 = None


def open_lab():
    lab = tb.Lab({"fake_login1": FAKE_LOGIN1}, prefix="norva-guard-")
    try:
        lab.open(namespaces=False)
    except BaseException:
        lab.close()
        raise
    return lab


class Guard(unittest.TestCase):
    def setUp(self):
        self.lab = open_lab()
        self.addCleanup(self.lab.close)

    def refused(self, address, state=None):
        with self.assertRaises(tb.SetupFailure, msg=repr(address)) as caught:
            tb.require_private_bus(address, state or self.lab.state())
        self.assertIn("REFUSING", str(caught.exception))

    def test_only_the_address_of_its_own_running_bus_passes(self):
        own = self.lab.bus_address
        tb.require_private_bus(own, self.lab.state())
        socket_path = own.split("=", 1)[1].split(",")[0]
        other = open_lab()
        try:
            for address in (None, "", "unix:path=/run/dbus/system_bus_socket",
                            "unix:path=/var/run/dbus/system_bus_socket",
                            "unix:path=/run/dbus/system_bus_socket,guid=" + "0" * 32,
                            "unix:path=" + socket_path,             # without its guid
                            own + ";unix:path=/run/dbus/system_bus_socket",
                            "unix:path=/run/dbus/system_bus_socket;" + own,
                            own.replace("unix:path=", "unix:abstract="),
                            "unix:tmpdir=" + self.lab.dir, "autolaunch:",
                            "tcp:host=127.0.0.1,port=1",
                            other.bus_address):                     # another lab's bus
                self.refused(address)
            # The other lab's own state does not make this lab's bus acceptable to it.
            self.refused(own, other.state())
        finally:
            other.close()

    def test_refused_once_the_fake_service_or_the_bus_has_ended(self):
        tb.stop_process(self.lab.services["login1"])
        self.refused(self.lab.bus_address)
        lab = open_lab()
        try:
            tb.stop_process(lab.bus)
            self.refused(lab.bus_address, lab.state())
        finally:
            lab.close()

    def test_exec_norvahb_runs_the_program_only_when_the_guard_passes(self):
        script = os.path.join(HERE, "norva_testbed.py")
        marker = os.path.join(self.lab.dir, "ran")
        cmd = [sys.executable, script, "exec-norvahb", "--lab", self.lab.dir, "--",
               "touch", marker]
        for address, status in (("unix:path=/run/dbus/system_bus_socket", 3),
                                (self.lab.bus_address, 0)):
            env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
            r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=30)
            self.assertEqual(r.returncode, status, r.stderr)
            self.assertEqual(os.path.exists(marker), status == 0, address)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: %s FAKE_LOGIN1 [unittest args]" % sys.argv[0])
    FAKE_LOGIN1 = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
