#!/usr/bin/env python3
"""The service's packaging files, checked offline (no running service manager, no change to this
machine): the unit's exposure in systemd's security report, systemd's verification of the unit,
the sysusers.d entry, the polkit actions and the polkit rule.

Usage: test_packaging.py --unit UNIT --program PROGRAM --packaging DIR [unittest args]
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True

ARGS = None
# The highest overall exposure `systemd-analyze security` may give the unit.
MAX_EXPOSURE = 2.5


def run(cmd, **kwargs):
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=60, **kwargs)


def need(tool):
    if shutil.which(tool) is None:
        raise unittest.SkipTest("'%s' is not installed" % tool)


class Unit(unittest.TestCase):
    def test_security_exposure_is_at_most_2_5(self):
        need("systemd-analyze")
        r = run(["systemd-analyze", "security", "--offline=true", "--no-pager", ARGS.unit])
        m = re.search(r"Overall exposure level for \S+: ([0-9.]+)", r.stdout)
        self.assertIsNotNone(m, "no exposure figure in:\n" + r.stdout + r.stderr)
        exposure = float(m.group(1))
        print("exposure of %s: %.1f" % (os.path.basename(ARGS.unit), exposure))
        self.assertLessEqual(exposure, MAX_EXPOSURE, r.stdout)
        # A setting systemd could not read would be ignored and still count as set above.
        self.assertNotIn(os.path.basename(ARGS.unit) + ":", r.stderr, r.stderr)

    def test_systemd_verify_finds_nothing(self):
        need("systemd-analyze")
        with tempfile.TemporaryDirectory() as tmp:
            # verify checks that ExecStart= names an executable file; the unit's own names the
            # installed program, which need not exist here.
            with open(ARGS.unit) as f:
                text = re.sub(r"^ExecStart=\S+", "ExecStart=" + ARGS.program, f.read(),
                              flags=re.M)
            unit = os.path.join(tmp, os.path.basename(ARGS.unit))
            with open(unit, "w") as f:
                f.write(text)
            # The socket unit the service requires, beside it, checked with it.
            socket_unit = os.path.join(tmp, "norvahbd.socket")
            shutil.copy(os.path.join(ARGS.packaging, "systemd", "norvahbd.socket"), socket_unit)
            # verify loads the units into a manager of its own in this process; it neither
            # reaches nor changes the running one.
            r = run(["systemd-analyze", "verify", "--man=no", unit, socket_unit])
        # An unknown or unreadable setting is only a warning ("..., ignoring.") and keeps the
        # status 0: any line about the unit fails the test.
        about_unit = [l for l in r.stderr.splitlines()
                      if os.path.basename(unit) in l or "norvahbd.socket" in l]
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(about_unit, [])


class Sysusers(unittest.TestCase):
    def test_dry_run_in_an_empty_root_creates_the_user_in_dialout(self):
        need("systemd-sysusers")
        conf = os.path.join(ARGS.packaging, "systemd", "norvahb.sysusers.conf")
        with tempfile.TemporaryDirectory() as root:
            os.mkdir(os.path.join(root, "etc"))
            r = run(["systemd-sysusers", "--dry-run", "--root=" + root, conf])
            self.assertEqual(os.listdir(os.path.join(root, "etc")), [])  # nothing written
        out = r.stdout + r.stderr
        self.assertEqual(r.returncode, 0, out)
        self.assertRegex(out, r"Creating user 'norvahb'")
        self.assertNotRegex(out, r"(?i)ignoring|failed|invalid", out)


class Polkit(unittest.TestCase):
    def test_actions_are_valid_against_polkits_dtd(self):
        need("xmllint")
        dtd = "/usr/share/polkit-1/policyconfig-1.dtd"
        if not os.path.exists(dtd):
            self.skipTest(dtd + " is missing (Debian package polkitd)")
        policy = os.path.join(ARGS.packaging, "polkit", "com.norva.NorvaHB1.policy")
        r = run(["xmllint", "--noout", "--dtdvalid", dtd, policy])
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_rule_lets_norvahb_reboot_power_off_and_inhibit_sleep_and_nothing_else(self):
        need("node")
        rules = os.path.join(ARGS.packaging, "polkit", "50-norvahbd.rules")
        yes = ["org.freedesktop.login1." + a for a in (
            "reboot", "reboot-multiple-sessions", "reboot-ignore-inhibit",
            "power-off", "power-off-multiple-sessions", "power-off-ignore-inhibit",
            "inhibit-block-sleep", "inhibit-delay-sleep")]
        other = ["org.freedesktop.login1.suspend", "org.freedesktop.login1.halt",
                 "org.freedesktop.login1.hibernate", "org.freedesktop.login1.set-wall-message",
                 "org.freedesktop.login1.reboot-multiple-sessions-extra",
                 "org.freedesktop.login1.inhibit-block-shutdown",
                 "org.freedesktop.login1.inhibit-delay-shutdown",
                 "org.freedesktop.login1.inhibit-block-idle",
                 "org.freedesktop.login1.inhibit-handle-lid-switch",
                 "org.freedesktop.login1.inhibit-handle-power-key",
                 "com.norva.NorvaHB1.configure", "org.freedesktop.systemd1.manage-units"]
        cases = [(a, "norvahb", "yes") for a in yes]
        cases += [(a, "norvahb", "not handled") for a in other]
        cases += [(a, u, "not handled") for a in yes for u in ("root", "alice", "norvahb2")]
        # polkitd hands each rule an action and a subject and takes the first answer; this
        # stand-in does the same for every case.
        script = """
const fs = require("fs");
const rules = [];
const polkit = {Result: {YES: "yes", NO: "no", AUTH_ADMIN: "auth_admin",
                         AUTH_ADMIN_KEEP: "auth_admin_keep", AUTH_SELF: "auth_self",
                         AUTH_SELF_KEEP: "auth_self_keep", NOT_HANDLED: null},
                addRule: function (f) { rules.push(f); },
                addAdminRule: function () {}, log: function () {}};
new Function("polkit", fs.readFileSync(process.argv[1], "utf8"))(polkit);
const out = JSON.parse(process.argv[2]).map(function (c) {
    for (const rule of rules) {
        const r = rule({id: c[0]}, {user: c[1], local: false, active: false,
                                    isInGroup: function () { return false; }});
        if (r !== null && r !== undefined) return r;
    }
    return "not handled";
});
console.log(JSON.stringify(out));
"""
        r = run(["node", "-e", script, rules, json.dumps(cases)])
        self.assertEqual(r.returncode, 0, r.stderr)
        got = json.loads(r.stdout)
        for (action, user, want), answer in zip(cases, got):
            self.assertEqual(answer, want, "%s for %s" % (action, user))


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--unit", required=True)
    p.add_argument("--program", required=True)
    p.add_argument("--packaging", required=True)
    ARGS, rest = p.parse_known_args()
    # systemd-sysusers --root= would take a relative path inside that root.
    ARGS.unit, ARGS.packaging = os.path.abspath(ARGS.unit), os.path.abspath(ARGS.packaging)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
