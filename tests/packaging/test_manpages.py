#!/usr/bin/env python3
"""The manual pages in man/: each renders without a warning from groff (and from man, as lintian
runs it), and every option a program's --help prints appears in that program's page, so the two
cannot drift apart.

Usage: test_manpages.py --man DIR --version V [--help-command PAGE=COMMAND...] [unittest args]
  PAGE is a page's file name (NorvaHB.1); COMMAND a command line, split at spaces, whose output
  is a help text of that program (one page may have several, such as one per mode).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True

ARGS = None
OPTION = re.compile(r"(?<![\w-])--[a-z][a-z0-9-]*")


def run(cmd, **kwargs):
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=60, **kwargs)


def pages():
    return sorted(f for f in os.listdir(ARGS.man) if re.fullmatch(r"[\w.-]+\.[1-8]", f))


def plain_text(page):
    # One very long line and no hyphenation, so no option is broken across lines.
    r = run(["groff", "-man", "-Tascii", "-rLL=2000n", "-rHY=0", "-P-cbou",
             os.path.join(ARGS.man, page)], env=dict(os.environ, LC_ALL="C"))
    return r.stdout


class ManPages(unittest.TestCase):
    def test_every_page_renders_without_warnings(self):
        self.assertEqual(pages(), ["NorvaHB.1", "norva-device.1", "norvactl.1", "norvahbd.8"])
        for page in pages():
            path = os.path.join(ARGS.man, page)
            with self.subTest(page=page):
                r = run(["groff", "-man", "-ww", "-z", path])
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                if shutil.which("man"):
                    # How lintian checks a page.
                    env = dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80")
                    r = run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", path],
                            env=env)
                    self.assertEqual((r.returncode, r.stderr), (0, ""))
                # The page names its program, and its header the project's version.
                text = plain_text(page)
                program, section = page.rsplit(".", 1)
                self.assertRegex(text, r"NAME\s+%s - " % re.escape(program))
                with open(path) as f:
                    header = f.readline()
                self.assertRegex(header, r'^\.TH %s %s \S+ "NorvaHB %s" ' % (
                    re.escape(program.replace("-", "\\-")), section, re.escape(ARGS.version)))

    def test_every_option_of_each_help_is_in_its_page(self):
        self.assertTrue(ARGS.help_command, "no program to compare")
        for entry in ARGS.help_command:
            page, command = entry.split("=", 1)
            with self.subTest(command=command):
                r = run(command.split(" "), env=dict(os.environ, LC_ALL="C"))
                self.assertEqual(r.returncode, 0, r.stderr)
                options = set(OPTION.findall(r.stdout))
                self.assertIn("--help", options, r.stdout)
                documented = set(OPTION.findall(plain_text(page)))
                self.assertEqual(sorted(options - documented), [],
                                 "options of '%s' missing from %s" % (command, page))


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--man", required=True)
    p.add_argument("--version", required=True)
    p.add_argument("--help-command", action="append", default=[])
    ARGS, rest = p.parse_known_args()
    if shutil.which("groff") is None:
        print("SKIPPED: groff is not installed (Debian package groff-base)")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
