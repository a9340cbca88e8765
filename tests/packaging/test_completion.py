#!/usr/bin/env python3
"""norvactl's bash completion (packaging/bash-completion/norvactl): sourced in a plain bash with
the built norvactl first in PATH, asked as bash asks it, for the commands, status's option and
the keys of get and set (read from norvactl --help, so they are the program's own).

Usage: test_completion.py --completion FILE --norvactl PROGRAM [unittest args]
"""

import argparse
import os
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True

ARGS = None

ASK = r"""
source "$1"
COMP_LINE=$2
COMP_POINT=${#COMP_LINE}
_norvactl
printf '%s\n' "${COMPREPLY[@]}"
"""


def complete(line):
    env = dict(os.environ, PATH=os.path.dirname(ARGS.norvactl) + os.pathsep +
               os.environ.get("PATH", ""))
    r = subprocess.run(["bash", "--norc", "--noprofile", "-c", ASK, "bash", ARGS.completion,
                        line], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       timeout=30, env=env)
    assert r.returncode == 0 and r.stderr == "", r.stderr
    return [w for w in r.stdout.split("\n") if w]


class Completion(unittest.TestCase):
    def test_completes_commands_options_and_keys(self):
        cases = [
            ("norvactl ", ["status", "watch", "start", "stop", "clear", "test-warning", "get",
                           "set", "--help"]),
            ("norvactl st", ["status", "start", "stop"]),
            ("norvactl status --", ["--json"]),
            ("norvactl watch ", []),
            ("norvactl get GSD/", ["GSD/username", "GSD/AlertPedningAction"]),
            ("norvactl set Setup/F", ["Setup/Freq=", "Setup/FailCount="]),
            ("norvactl set Setup/Freq=5 GSD/P", ["GSD/Password="]),
            ("norvactl set Setup/Freq=", []),
        ]
        for line, expected in cases:
            with self.subTest(line=line):
                self.assertEqual(complete(line), expected)


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--completion", required=True)
    p.add_argument("--norvactl", required=True)
    ARGS, rest = p.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
