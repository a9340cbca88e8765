#!/usr/bin/env python3
"""The package's maintainer scripts (postinst, prerm, postrm), run as dpkg runs them but inside a
folder of the test's own: no command of the real service manager, the user database or the bus
runs, and no file outside that folder changes.

Each script is copied with every absolute path of the machine (/etc, /var, /run, ...) moved under
the folder, and runs with a PATH that holds only stand-ins, which record their arguments, and a
few harmless tools; a command the script needs beyond those is "not found" and fails the test.
The recording cases check which service-manager commands each step gives; the last case runs
Debian's own deb-systemd-helper on the folder (its DPKG_ROOT), to see what is enabled and masked
on disk after an install, an administrator's `systemctl enable`, a removal, a reinstall and a
purge.

Usage: test_maintainer_scripts.py --packaging DIR --unit UNIT [unittest args]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True

ARGS = None
UNIT = "norvahbd.service"
SOCKET = "norvahbd.socket"
# The helper of Debian's init-system-helpers; its DPKG_ROOT keeps it inside the test's folder.
REAL_HELPER = "/usr/bin/deb-systemd-helper"

# Commands the scripts may call that reach the machine: each is a stand-in that appends its name
# and arguments, one line, to the log.
RECORDED = ["systemctl", "deb-systemd-invoke", "deb-systemd-helper", "adduser", "addgroup",
            "deluser", "useradd", "usermod", "userdel", "dbus-send", "invoke-rc.d", "service",
            "systemd-sysusers"]
# Harmless tools the scripts may use as they are.
TOOLS = ["sh", "tr", "grep", "rm", "cat", "sed", "mkdir", "perl", "basename", "dirname"]
# The machine's folders a script might name; each is moved under the test's folder.
MACHINE_DIRS = "etc|var|run|lib|usr|home|srv|opt|boot|root|tmp|proc|sys|mnt|media"


class Bed:
    """A folder standing for the machine, with the stand-ins and the copied scripts."""

    def __init__(self, tmp, systemd_running=True, user_exists=False, in_dialout=False,
                 real_helper=False, uid=990, login_defs=None):
        self.root = os.path.join(tmp, "root")
        self.bin = os.path.join(tmp, "bin")
        self.scripts = os.path.join(tmp, "scripts")
        self.log = os.path.join(tmp, "calls.log")
        self.real_helper = real_helper
        for d in (self.root, self.bin, self.scripts):
            os.makedirs(d)
        if systemd_running:
            os.makedirs(self.path("/run/systemd/system"))
        for name in RECORDED:
            if name == "deb-systemd-helper" and real_helper:
                os.symlink(REAL_HELPER, os.path.join(self.bin, name))
                continue
            self.tool(name, 'echo "%s $*" >> "%s"\n' % (name, self.log))
        # The user database as the case wants it.
        self.tool("getent", 'echo "norvahb:x:%d:%d::/var/lib/norvahb:/usr/sbin/nologin"\n'
                  % (uid, uid) if user_exists else "exit 2\n")
        if login_defs is not None:
            os.makedirs(self.path("/etc"), exist_ok=True)
            with open(self.path("/etc/login.defs"), "w") as f:
                f.write(login_defs)
        self.tool("id", 'echo "norvahb%s"\n' % (" dialout" if in_dialout else ""))
        for name in TOOLS:
            real = shutil.which(name)
            if real:
                os.symlink(real, os.path.join(self.bin, name))
        for name in ("postinst", "prerm", "postrm"):
            with open(os.path.join(ARGS.packaging, "debian", name)) as f:
                text = f.read()
            # ${DPKG_ROOT:-}/x is the machine's /x: both go under the folder alike.
            text = text.replace("${DPKG_ROOT:-}/", "/")
            text = re.sub(r"(?<![\w}.~-])/(%s)(?=/|\b)" % MACHINE_DIRS,
                          lambda m: self.root + m.group(0), text)
            target = os.path.join(self.scripts, name)
            with open(target, "w") as f:
                f.write(text)
            os.chmod(target, 0o755)

    def tool(self, name, body):
        path = os.path.join(self.bin, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(path, 0o755)

    def path(self, machine_path):
        return self.root + machine_path

    def attempt(self, script, *args):
        """Runs the script; its exit code, its output and the calls it made."""
        env = {"PATH": self.bin, "DPKG_MAINTSCRIPT_PACKAGE": "norvahb",
               "DPKG_MAINTSCRIPT_NAME": script, "LC_ALL": "C"}
        r = subprocess.run([os.path.join(self.scripts, script)] + list(args), env=env,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        return r.returncode, r.stdout + r.stderr, self.calls()

    def run(self, script, *args):
        env = {"PATH": self.bin, "DPKG_MAINTSCRIPT_PACKAGE": "norvahb",
               "DPKG_MAINTSCRIPT_NAME": script, "LC_ALL": "C"}
        if self.real_helper:
            env["DPKG_ROOT"] = self.root
        r = subprocess.run([os.path.join(self.scripts, script)] + list(args), env=env,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise AssertionError("%s %s failed (%d):\n%s%s" % (script, " ".join(args),
                                                              r.returncode, r.stdout, r.stderr))
        return self.calls()

    def calls(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            lines = f.read().splitlines()
        os.remove(self.log)
        return lines


def service_calls(calls):
    return [c for c in calls if c.split()[0] in ("systemctl", "deb-systemd-invoke",
                                                 "deb-systemd-helper", "invoke-rc.d", "service")]


class Recorded(unittest.TestCase):
    """What each step asks of the service manager, with systemd running."""

    def test_each_step_asks_the_service_manager_exactly_this(self):
        reload = "systemctl --system daemon-reload"
        cases = [
            # (script, arguments, the service-manager commands, in order)
            ("postinst", ["configure", ""],
             ["deb-systemd-helper unmask " + SOCKET, "deb-systemd-helper update-state " + SOCKET,
              "deb-systemd-helper unmask " + UNIT, "deb-systemd-helper update-state " + UNIT,
              reload]),
            ("postinst", ["configure", "2.10.08"],
             ["deb-systemd-helper unmask " + SOCKET, "deb-systemd-helper update-state " + SOCKET,
              "deb-systemd-helper unmask " + UNIT, "deb-systemd-helper update-state " + UNIT,
              reload, "deb-systemd-invoke try-restart " + UNIT]),
            ("prerm", ["remove"], ["deb-systemd-invoke stop %s %s" % (SOCKET, UNIT)]),
            ("prerm", ["upgrade", "2.10.10"], []),
            ("postrm", ["remove"],
             [reload, "deb-systemd-helper disable " + SOCKET, "deb-systemd-helper mask " + SOCKET,
              "deb-systemd-helper disable " + UNIT, "deb-systemd-helper mask " + UNIT]),
            ("postrm", ["purge"],
             ["deb-systemd-helper purge " + SOCKET, "deb-systemd-helper unmask " + SOCKET,
              "deb-systemd-helper purge " + UNIT, "deb-systemd-helper unmask " + UNIT]),
            ("postrm", ["upgrade", "2.10.10"], []),
        ]
        for script, args, want in cases:
            with self.subTest(script=script, args=args), tempfile.TemporaryDirectory() as tmp:
                bed = Bed(tmp, user_exists=True, in_dialout=True)
                calls = bed.run(script, *args)
                self.assertEqual(service_calls(calls), want)
                # Nothing but the service commands, and never the service manager's own
                # enable or start: the unit is installed, not enabled.
                self.assertEqual(service_calls(calls), calls)
                self.assertFalse([c for c in calls if re.search(r"\b(enable|start)\b", c)])

    def test_without_a_running_systemd_nothing_is_stopped_started_or_reloaded(self):
        for script, args in [("postinst", ["configure", "2.10.08"]), ("prerm", ["remove"]),
                             ("postrm", ["remove"])]:
            with self.subTest(script=script, args=args), tempfile.TemporaryDirectory() as tmp:
                bed = Bed(tmp, systemd_running=False, user_exists=True, in_dialout=True)
                calls = bed.run(script, *args)
                self.assertFalse([c for c in calls if not c.startswith("deb-systemd-helper ")],
                                 calls)

    def test_configure_creates_the_system_user_in_dialout_once(self):
        cases = [
            # (user exists, in dialout, the user commands)
            (False, False, ["adduser --system --group --quiet --home /var/lib/norvahb "
                            "--no-create-home --gecos NorvaHB service norvahb",
                            "adduser --quiet norvahb dialout"]),
            (True, False, ["adduser --quiet norvahb dialout"]),
            (True, True, []),
        ]
        for exists, dialout, want in cases:
            with self.subTest(exists=exists, dialout=dialout), \
                    tempfile.TemporaryDirectory() as tmp:
                bed = Bed(tmp, user_exists=exists, in_dialout=dialout)
                calls = bed.run("postinst", "configure", "")
                users = [c.replace(bed.root, "") for c in calls if c.startswith("adduser")]
                self.assertEqual(users, want)

    def test_configure_refuses_an_existing_account_outside_the_system_range(self):
        # The service runs as norvahb and owns the bus name: an ordinary person's account of
        # that name (a uid outside SYS_UID_MIN..SYS_UID_MAX) must not become the service.
        defs = "# comment\nSYS_UID_MIN\t\t  200\nSYS_UID_MAX   499\n"
        cases = [
            # (uid, /etc/login.defs, accepted)
            (990, None, True),
            (100, None, True),
            (999, None, True),
            (1000, None, False),
            (99, None, False),
            (0, None, False),
            (300, defs, True),
            (990, defs, False),
            (150, defs, False),
        ]
        for uid, login_defs, accepted in cases:
            with self.subTest(uid=uid, login_defs=login_defs is not None), \
                    tempfile.TemporaryDirectory() as tmp:
                bed = Bed(tmp, user_exists=True, in_dialout=True, uid=uid, login_defs=login_defs)
                code, output, calls = bed.attempt("postinst", "configure", "")
                if accepted:
                    self.assertEqual(code, 0, output)
                    continue
                self.assertNotEqual(code, 0, output)
                self.assertIn("norvahb", output)
                self.assertIn(str(uid), output)
                # Nothing done for the service with that account: no group, no unit.
                self.assertEqual(calls, [])

    def test_purge_deletes_the_settings_and_remove_keeps_them(self):
        with tempfile.TemporaryDirectory() as tmp:
            bed = Bed(tmp)
            settings = bed.path("/var/lib/norvahb/NorvaHB")
            os.makedirs(os.path.dirname(settings))
            open(settings, "w").close()
            bed.run("postrm", "remove")
            self.assertTrue(os.path.exists(settings))
            bed.run("postrm", "purge")
            self.assertFalse(os.path.exists(bed.path("/var/lib/norvahb")))


@unittest.skipUnless(os.access(REAL_HELPER, os.X_OK),
                     "deb-systemd-helper is not installed (Debian package init-system-helpers)")
class OnDisk(unittest.TestCase):
    """Install, enable, remove, reinstall and purge, with Debian's own deb-systemd-helper."""

    def test_removal_disables_and_masks_and_purge_leaves_nothing(self):
        with tempfile.TemporaryDirectory() as tmp:
            bed = Bed(tmp, user_exists=True, in_dialout=True, real_helper=True)
            unit = bed.path("/lib/systemd/system/" + UNIT)
            socket_unit = bed.path("/lib/systemd/system/" + SOCKET)
            wants = bed.path("/etc/systemd/system/multi-user.target.wants/" + UNIT)
            socket_wants = bed.path("/etc/systemd/system/sockets.target.wants/" + SOCKET)
            mask = bed.path("/etc/systemd/system/" + UNIT)
            socket_mask = bed.path("/etc/systemd/system/" + SOCKET)

            def unpack():
                os.makedirs(os.path.dirname(unit), exist_ok=True)
                shutil.copy(ARGS.unit, unit)
                shutil.copy(os.path.join(ARGS.packaging, "systemd", SOCKET), socket_unit)

            def unpacked_files_go():  # dpkg removes them between prerm and postrm
                os.remove(unit)
                os.remove(socket_unit)

            unpack()
            bed.run("postinst", "configure", "")
            self.assertFalse(os.path.lexists(wants), "installing must not enable the service")
            self.assertFalse(os.path.lexists(socket_wants))
            # The administrator enables it, as the README says; Also= enables the socket.
            for link, name in ((wants, UNIT), (socket_wants, SOCKET)):
                os.makedirs(os.path.dirname(link))
                os.symlink("/lib/systemd/system/" + name, link)

            bed.run("prerm", "remove")
            unpacked_files_go()
            bed.run("postrm", "remove")
            self.assertFalse(os.path.lexists(wants), "a removed service must not stay enabled")
            self.assertFalse(os.path.lexists(socket_wants), "nor its socket hold the port")
            self.assertEqual(os.readlink(mask), "/dev/null")
            self.assertEqual(os.readlink(socket_mask), "/dev/null")

            # Installed again: the masks go, and the service stays disabled.
            unpack()
            bed.run("postinst", "configure", "2.10.09")
            self.assertFalse(os.path.lexists(mask))
            self.assertFalse(os.path.lexists(socket_mask))
            self.assertFalse(os.path.lexists(wants))
            self.assertFalse(os.path.lexists(socket_wants))

            bed.run("prerm", "remove")
            unpacked_files_go()
            bed.run("postrm", "remove")
            bed.run("postrm", "purge")
            left = []
            for top in ("etc/systemd", "var/lib/systemd"):
                for folder, _, files in os.walk(os.path.join(bed.root, top)):
                    left += [os.path.join(folder, f) for f in files]
                    left += [os.path.join(folder, f) for f in os.listdir(folder)
                             if os.path.islink(os.path.join(folder, f))]
            self.assertEqual(sorted(set(left)), [], "purge must forget the service")


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--packaging", required=True)
    p.add_argument("--unit", required=True)
    ARGS, rest = p.parse_known_args()
    ARGS.packaging, ARGS.unit = os.path.abspath(ARGS.packaging), os.path.abspath(ARGS.unit)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
