#!/usr/bin/env python3
"""The Debian package of `make package`, built from this build tree into a folder of the test's
own and judged by lintian: any error, or any warning that packaging/debian/lintian-overrides does
not keep on purpose, fails. Also checks that the changelog parses, and that its version and
maintainer are the package's. Exits 77 (a skip) only when lintian is not installed.

Usage: test_lintian.py --build BUILD_DIR --out FOLDER [unittest args]
"""

import argparse
import glob
import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True

ARGS = None
DEB = None


def run(cmd, **kwargs):
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=300, **kwargs)


def build_package():
    shutil.rmtree(ARGS.out, ignore_errors=True)
    os.makedirs(ARGS.out)
    r = run(["cpack", "--config", os.path.join(ARGS.build, "CPackConfig.cmake"), "-B", ARGS.out],
            cwd=ARGS.build)
    if r.returncode != 0:
        sys.exit("cpack failed:\n" + r.stdout + r.stderr)
    debs = glob.glob(os.path.join(ARGS.out, "*.deb"))
    if len(debs) != 1:
        sys.exit("cpack made %s, not one .deb:\n%s" % (debs, r.stdout))
    return debs[0]


def field(name):
    return run(["dpkg-deb", "--field", DEB, name]).stdout.strip()


class Package(unittest.TestCase):
    def test_lintian_finds_no_error_and_no_unexplained_warning(self):
        r = run(["lintian", "--display-info", "--show-overrides", DEB])
        print(r.stdout, end="")
        # E: error, W: warning; I: (info) and O: (overridden, with its reason) do not fail.
        findings = [l for l in r.stdout.splitlines() if l.startswith(("E:", "W:"))]
        self.assertEqual(findings, [], r.stderr)
        self.assertNotIn(r.returncode, (2,), "lintian itself failed:\n" + r.stderr)

    def test_changelog_parses_with_the_packages_version_and_maintainer(self):
        with tempfile.TemporaryDirectory() as tmp:
            self.assertEqual(run(["dpkg-deb", "--extract", DEB, tmp]).returncode, 0)
            with gzip.open(os.path.join(tmp, "usr/share/doc/norvahb/changelog.gz"), "rt") as f:
                text = f.read()
            changelog = os.path.join(tmp, "changelog")
            with open(changelog, "w") as f:
                f.write(text)
            r = run(["dpkg-parsechangelog", "--file", changelog])
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stderr, "")
            parsed = dict(l.split(": ", 1) for l in r.stdout.splitlines() if ": " in l)
            self.assertEqual(parsed["Version"], field("Version"))
            self.assertEqual(parsed["Maintainer"], field("Maintainer"))
            self.assertEqual(parsed["Source"], field("Package"))


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True)
    p.add_argument("--out", required=True)
    ARGS, rest = p.parse_known_args()
    ARGS.build, ARGS.out = os.path.abspath(ARGS.build), os.path.abspath(ARGS.out)
    if shutil.which("lintian") is None:
        print("SKIPPED: lintian is not installed (Debian package lintian; "
              "scripts/install-deps.sh installs it)")
        sys.exit(77)
    DEB = build_package()
    print("package:", DEB)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
