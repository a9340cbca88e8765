#!/usr/bin/env python3
"""The test bed on which the real NorvaHB runs anywhere but on a user's desktop: the
end-to-end suites (tests/e2e), the bench (bench/run.py), `make demo` and `make screenshots`
(scripts/demo.sh, scripts/screenshots.sh). It holds no tests.

What it provides:
  - a private D-Bus "system" bus (a dbus-daemon of its own) with fake services on it, the
    first being fake-login1, which records restart and power-off requests in a file instead of
    carrying them out and answers CanReboot/CanPowerOff as the test chooses
    (`Lab.set_login1_can`), and fake-polkit, which answers authorization checks from a file the
    test writes and records them (`Lab`); on request the bus enforces the project's own bus
    policy file the way the machine's system bus would (`Lab.open(service_policy=...)`);
  - the service norvahbd started as a service manager would start it (settings, lock, command
    port, a $NOTIFY_SOCKET of the lab's own: `Lab.start_norvahbd`, `NotifySocket`);
  - two network namespaces per `Net`, "the PC" and "the device", joined by a veth pair on
    198.18.0.0/30, so both sides use the port numbers of real hardware and nothing leaves them;
  - starting and stopping processes and reading their logs (`stop_process`, `LogFile`);
  - the guard (`require_private_bus`): NorvaHB, and every fake service, is started only when
    DBUS_SYSTEM_BUS_ADDRESS names the running private bus this test bed started, so nothing can
    ever reach the machine's own login manager and restart or power off the machine.

Python users import this file (it is a plain module, no package). The shell scripts and the C++
test of the login-manager backend run it as a program:

  norva_testbed.py bus-config DIR
      Writes DIR/system-bus.conf, the configuration of a private system-type bus listening on
      DIR/system_bus_socket, and prints its path.

  norva_testbed.py run --build BUILD [--net no|auto|yes] [--prefix PREFIX]
                      [--service-policy FILE] -- COMMAND [ARG...]
      Opens a lab (a private bus with fake-login1, and fake-polkit when it is built, on it
      and, with --net, a pair of network
      namespaces; "auto" goes on without them where they cannot be made; with
      --service-policy the bus enforces that policy file as Lab.open does), runs COMMAND with
      the lab in its environment, and closes the lab when COMMAND ends: everything the lab
      started is stopped, the namespaces and the lab's folder are removed. Exits with
      COMMAND's status. SIGTERM and SIGHUP are passed on to COMMAND; SIGINT from a terminal
      reaches COMMAND directly. COMMAND's environment gets:
        NORVA_TESTBED_DIR         the lab's folder (mode 0700), for COMMAND's own files too
        DBUS_SYSTEM_BUS_ADDRESS   the private bus
        NORVA_POWER_LOG           the file in which fake-login1 records its calls
        NORVA_POLKIT_ANSWERS, NORVA_POLKIT_LOG   fake-polkit's answers file and its record of
                                  calls, when it runs (formats: Lab.set_polkit_answers)
        NORVA_PC_IP, NORVA_DEVICE_IP
        NORVA_PC_NS, NORVA_DEV_NS, NORVA_PC_IF, NORVA_DEV_IF   when the namespaces were made
        NORVA_NO_NET_REASON       why not, when --net auto went on without them

  norva_testbed.py exec-norvahb --lab DIR [--netns NS] -- NORVAHB [ARG...]
      Inside a `run`: applies the guard to DBUS_SYSTEM_BUS_ADDRESS against the lab in DIR, then
      executes NORVAHB in its place (in namespace NS of that lab with --netns), so the process
      id stays the same. Refuses, with status 3, when the guard does.

  norva_testbed.py exec-norvahbd --lab DIR [--netns NS] -- NORVAHBD [ARG...]
      The same for the service: the same guard, and refused as well unless the lab's fake
      polkit authority runs, so every authorization the service asks for is answered by the
      fake. The caller gives the service the environment and arguments its unit would.

  norva_testbed.py notify-socket PATH LOG
      A $NOTIFY_SOCKET for a service a shell starts (see NotifySocket): binds PATH, then
      appends each datagram to LOG as one line, "pid=PID KEY=VALUE ...", until SIGTERM.
"""

import argparse
import ctypes
import json
import os
import pwd
import re
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import time

PC_IP = "198.18.0.1"
DEVICE_IP = "198.18.0.2"
# A second address of the device, outside the link's /30, for cases that need the device at
# two addresses (see Net.add_device_address).
DEVICE_OTHER_IP = "198.18.0.6"
PREFIX_LEN = 30
COMMAND_PORT = 9100
REAL_SYSTEM_BUS_SOCKETS = ("/run/dbus/system_bus_socket", "/var/run/dbus/system_bus_socket")

POLL = 0.02  # seconds between looks at a log file while waiting for a line
STATE_FILE = "testbed.json"

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


class SetupFailure(Exception):
    """The test bed itself could not be built, or refused to start something; whoever uses it
    fails with this one message."""


def build_paths(build):
    """Where the programs the test bed runs lie in a build folder."""
    build = os.path.abspath(build)
    return {
        "norvahb": os.path.join(build, "src/app/NorvaHB"),
        "device": os.path.join(build, "tools/norva-device/norva-device"),
        "fake_login1": os.path.join(build, "tests/support/fake-login1/fake-login1"),
        "fake_polkit": os.path.join(build, "tests/support/fake-polkit/fake-polkit"),
        "norvahbd": os.path.join(build, "src/service/norvahbd"),
        "echo_peer": os.path.join(build, "bench/echo-peer"),
        "tray_host": os.path.join(build, "bench/tray-host"),
    }


# --- processes and their logs ---------------------------------------------------------------

def run(cmd, **kwargs):
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=30, **kwargs)


def must(cmd, what):
    r = run(cmd)
    if r.returncode != 0:
        raise SetupFailure("%s failed (%s): %s" % (what, " ".join(cmd),
                                                   (r.stderr or r.stdout).strip()))
    return r.stdout


def stop_process(proc, grace=5.0):
    """Ends one process the caller started: SIGTERM, then SIGKILL if it lingers."""
    if proc is None:
        return
    if proc.stdin:
        try:
            proc.stdin.close()
        except OSError:
            pass
    if proc.poll() is not None:
        return
    try:
        proc.send_signal(signal.SIGTERM)
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(grace)
    except ProcessLookupError:
        pass


def running(pid):
    """True while process `pid` exists and has not ended (a child not yet reaped has)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except (OSError, IndexError):
        return False


class LogFile:
    """A log written by a child process, read again and again while the child runs."""

    def __init__(self, path):
        self.path = path

    def text(self):
        try:
            with open(self.path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def lines(self):
        # Only complete lines: a line still being written is not looked at yet.
        text = self.text()
        return text.split("\n")[:-1]

    def wait_for(self, pattern, timeout, start=0, alive=None):
        """Index and match of the first line from `start` on that matches `pattern` (a regex),
        waiting at most `timeout` seconds; None when it never came. `alive`, a process, cuts
        the wait short when that process has ended."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            lines = self.lines()
            for i in range(start, len(lines)):
                m = regex.search(lines[i])
                if m:
                    return i, m
            if time.monotonic() >= deadline:
                return None
            if alive is not None and alive.poll() is not None:
                # One last look: the process may have written the line just before ending.
                lines = self.lines()
                for i in range(start, len(lines)):
                    m = regex.search(lines[i])
                    if m:
                        return i, m
                return None
            time.sleep(POLL)

    def tail(self, n=15):
        return "\n".join(self.lines()[-n:])


class NotifySocket:
    """A $NOTIFY_SOCKET of the lab's own, in place of the service manager's: collects every
    datagram a service sends there ("READY=1", "WATCHDOG=1", "STATUS=..."), with the process id
    the kernel vouches for, so a test can tell the main process's messages from others'.
    A socket path, not an abstract name: a path reaches across network namespaces."""

    def __init__(self, path):
        self.path = path
        self.messages = []  # (pid, {"READY": "1", ...}, time.monotonic() when read)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC)
        self.sock.bind(path)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        self.sock.setblocking(False)

    def _read(self):
        ucred = struct.calcsize("3i")
        while True:
            try:
                data, ancdata, _flags, _addr = self.sock.recvmsg(4096, socket.CMSG_SPACE(ucred))
            except (BlockingIOError, OSError):
                return
            pid = 0
            for level, kind, payload in ancdata:
                if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                    pid = struct.unpack("3i", payload[:ucred])[0]
            fields = {}
            for line in data.decode("utf-8", "replace").split("\n"):
                if "=" in line:
                    key, value = line.split("=", 1)
                    fields[key] = value
            self.messages.append((pid, fields, time.monotonic()))

    def wait_for(self, key, value=None, timeout=10, start=0, alive=None):
        """Index of the first message from `start` on that carries `key` (with `value`, when
        given), waiting at most `timeout` seconds; None when none came. `alive`, a process,
        cuts the wait short when that process has ended."""
        deadline = time.monotonic() + timeout
        while True:
            self._read()
            for i in range(start, len(self.messages)):
                fields = self.messages[i][1]
                if key in fields and (value is None or fields[key] == value):
                    return i
            if time.monotonic() >= deadline:
                return None
            if alive is not None and alive.poll() is not None:
                alive = None
                deadline = time.monotonic()  # one more look, then give up
                continue
            time.sleep(POLL)

    def all(self):
        self._read()
        return list(self.messages)

    def close(self):
        self.sock.close()


def command_port_states(pid):
    """States of the TCP sockets on the command port in the network namespace of process `pid`,
    read from the kernel's tables, so nothing has to connect to find out."""
    names = {"01": "ESTABLISHED", "06": "TIME_WAIT", "08": "CLOSE_WAIT", "0A": "LISTEN"}
    found = []
    for table in ("tcp", "tcp6"):
        try:
            with open("/proc/%d/net/%s" % (pid, table)) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            cols = row.split()
            if cols[1].endswith(":%04X" % COMMAND_PORT):
                found.append(names.get(cols[3], cols[3]))
    return found


# --- settings files -----------------------------------------------------------------------

def write_settings(path, sections):
    """Writes an INI file: {section: {key: value}} in the order given."""
    with open(path, "w") as f:
        for section, keys in sections.items():
            f.write("[%s]\n" % section)
            for key, value in keys.items():
                f.write("%s=%s\n" % (key, value))
            f.write("\n")


def read_ini(path):
    """section (lower case) -> {key: value}, as NorvaHB writes its settings file."""
    result = {}
    section = None
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for raw in f:
                line = raw.strip()
                if line.startswith("[") and line.endswith("]"):
                    section = result.setdefault(line[1:-1].strip().lower(), {})
                elif section is not None and "=" in line:
                    key, value = line.split("=", 1)
                    section[key.strip()] = value.strip()
    except FileNotFoundError:
        pass
    return result


# --- network namespaces ---------------------------------------------------------------------

class Net:
    """Two network namespaces, "the PC" and "the device", joined by a veth pair. Every user
    gets a pair of its own (each end-to-end case one), so nothing one leaves in the kernel (a
    socket lingering in TIME_WAIT, say) can reach the next."""

    def __init__(self, tag):
        self.pc_ns = "norva-pc-" + tag
        self.dev_ns = "norva-dev-" + tag
        # Interface names are at most 15 characters.
        self.pc_if = "nvp" + tag
        self.dev_if = "nvd" + tag
        self.namespaces = []

    def open(self):
        for ns in (self.pc_ns, self.dev_ns):
            must(["ip", "netns", "add", ns], "creating network namespace " + ns)
            self.namespaces.append(ns)
        # The pair is made inside the PC namespace, so no interface ever appears in the
        # machine's own namespace, even for a moment.
        must(["ip", "-n", self.pc_ns, "link", "add", self.pc_if, "type", "veth", "peer", "name",
              self.dev_if, "netns", self.dev_ns], "creating the veth pair")
        for ns, ifname, ip in ((self.pc_ns, self.pc_if, PC_IP),
                               (self.dev_ns, self.dev_if, DEVICE_IP)):
            # No duplicate address detection: the link is ours alone, and the address is
            # usable at once.
            must(["ip", "-n", ns, "addr", "add", "%s/%d" % (ip, PREFIX_LEN), "dev", ifname],
                 "addressing " + ifname)
            must(["ip", "-n", ns, "link", "set", ifname, "up"], "bringing up " + ifname)
            must(["ip", "-n", ns, "link", "set", "lo", "up"], "bringing up lo in " + ns)
        deadline = time.monotonic() + 10
        while True:
            state = run(["ip", "-n", self.pc_ns, "-o", "link", "show", self.pc_if]).stdout
            if "LOWER_UP" in state:
                return
            if time.monotonic() > deadline:
                raise SetupFailure("the veth pair did not come up: " + state.strip())
            time.sleep(POLL)

    def add_device_address(self, ip):
        """Gives the device one more address on its end of the link, which the PC reaches
        over the same link."""
        must(["ip", "-n", self.dev_ns, "addr", "add", ip + "/32", "dev", self.dev_if],
             "adding %s to the device" % ip)
        must(["ip", "-n", self.pc_ns, "route", "add", ip + "/32", "dev", self.pc_if],
             "routing %s from the PC" % ip)

    def close(self):
        for ns in self.namespaces:
            # Anything still running in our own namespaces was started by our user.
            for pid in run(["ip", "netns", "pids", ns]).stdout.split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            run(["ip", "netns", "del", ns])
        self.namespaces = []

    def in_pc(self, cmd):
        return ["ip", "netns", "exec", self.pc_ns] + cmd

    def in_device(self, cmd):
        return ["ip", "netns", "exec", self.dev_ns] + cmd


class InNetns:
    """Runs the calling thread in a network namespace for the `with` block. Sockets created
    there stay in it, and a child started there (fork copies the calling thread's namespaces)
    runs in it, without `ip netns exec` between the caller and the program it starts."""

    def __init__(self, name):
        self.name = name
        self.home = None

    def __enter__(self):
        self.home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        fd = os.open("/run/netns/" + self.name, os.O_RDONLY)
        try:
            if _libc.setns(fd, CLONE_NEWNET) != 0:
                err = ctypes.get_errno()
                raise OSError(err, "setns into %s: %s" % (self.name, os.strerror(err)))
        finally:
            os.close(fd)
        return self

    def __exit__(self, *exc):
        if _libc.setns(self.home, CLONE_NEWNET) != 0:
            # A thread left in the wrong namespace would send where it must not.
            os._exit(70)
        os.close(self.home)
        return False


# --- the private bus and its guard ------------------------------------------------------------

# The user the project's bus policy lets own the service's name, and the name.
SERVICE_POLICY_USER = "norvahb"
SERVICE_BUS_NAME = "com.norva.NorvaHB1"

# The system bus's default context, as Debian's /usr/share/dbus-1/system.conf has it: no name
# may be owned and no method called except where a policy file allows it. The fake services
# get the holes their real counterparts' policy files make.
_SYSTEM_DEFAULTS = """
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
    <allow own="org.freedesktop.login1"/>
    <allow send_destination="org.freedesktop.login1"/>
    <allow own="org.freedesktop.PolicyKit1"/>
    <allow send_destination="org.freedesktop.PolicyKit1"/>
"""

_ANYTHING_GOES = """
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow send_destination="*"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_sender="*"/>
"""


def write_bus_config(folder, service_policy=None, service_user=None):
    """Writes FOLDER/system-bus.conf: a system-type bus listening on FOLDER/system_bus_socket.
    Returns the config file's path.

    Without `service_policy` the bus lets anyone own any name and call anything. With it (the
    project's packaging/dbus/com.norva.NorvaHB1.conf) the bus keeps the machine's system-bus
    defaults and includes that file, so it decides who may own the service's name and call it,
    as it will on a real machine. The user the file names, norvahb, does not exist on a test
    machine (and a test must not create it): the included copy names `service_user` instead,
    by default the user running the test bed, so the service started by the lab may own its
    name and any other user may not."""
    os.makedirs(folder, mode=0o700, exist_ok=True)
    folder = os.path.realpath(folder)
    # The folder goes into XML and a D-Bus address as it is: keep it to plain characters.
    if not re.fullmatch(r"[A-Za-z0-9/._-]+", folder):
        raise SetupFailure("unsuitable folder name for the private bus: " + folder)
    policy = _ANYTHING_GOES
    include = ""
    if service_policy is not None:
        user = service_user or pwd.getpwuid(os.geteuid()).pw_name
        if not re.fullmatch(r"[A-Za-z0-9_][A-Za-z0-9_.-]*", user):
            raise SetupFailure("unsuitable user name for the bus policy: %r" % user)
        with open(service_policy) as f:
            text = f.read()
        owner = 'user="%s"' % SERVICE_POLICY_USER
        if owner not in text:
            raise SetupFailure("%s names no %s: the test bed cannot put the test's user in"
                               % (service_policy, owner))
        copy = os.path.join(folder, os.path.basename(service_policy))
        with open(copy, "w") as f:
            f.write(text.replace(owner, 'user="%s"' % user))
        policy = _SYSTEM_DEFAULTS
        include = "  <include>%s</include>\n" % copy
    path = os.path.join(folder, "system-bus.conf")
    with open(path, "w") as f:
        f.write("""<busconfig>
  <type>system</type>
  <listen>unix:path=%s/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">%s  </policy>
%s</busconfig>
""" % (folder, policy, include))
    return path


def require_private_bus(address, state, what="NorvaHB"):
    """The guard. Raises SetupFailure unless `address` (a DBUS_SYSTEM_BUS_ADDRESS) is exactly
    the address of the private bus the lab described by `state` (Lab.state()) started, that bus
    still runs, its socket lies in the lab's folder, and every fake service the lab put on it
    still runs. Nothing else passes: not the machine's real system bus, not an address that
    merely looks private, not a bus left over from another lab."""
    def refuse(why):
        raise SetupFailure("REFUSING to start %s: %s" % (what, why))

    if not address:
        refuse("DBUS_SYSTEM_BUS_ADDRESS is not set")
    bus = state.get("bus_address")
    if not bus:
        refuse("this test bed has started no private bus")
    # The daemon prints "unix:path=SOCKET,guid=HEX": one socket, nothing to fall back to.
    m = re.fullmatch(r"unix:path=([^,;=]+)(?:,guid=[0-9a-f]+)?", address)
    if not m:
        refuse("DBUS_SYSTEM_BUS_ADDRESS %r is not one plain socket path" % address)
    path = m.group(1)
    resolved = os.path.realpath(path)
    if (path in REAL_SYSTEM_BUS_SOCKETS or
            resolved in {os.path.realpath(p) for p in REAL_SYSTEM_BUS_SOCKETS} or
            os.path.dirname(resolved) in ("/run/dbus", "/var/run/dbus")):
        refuse("DBUS_SYSTEM_BUS_ADDRESS %r is the machine's real system bus" % address)
    if address != bus:
        refuse("DBUS_SYSTEM_BUS_ADDRESS %r is not the private bus %r this test bed started"
               % (address, bus))
    lab_dir = os.path.realpath(state["dir"]) + os.sep
    try:
        is_socket = stat.S_ISSOCK(os.stat(resolved).st_mode)
    except OSError:
        is_socket = False
    if not resolved.startswith(lab_dir) or not is_socket:
        refuse("DBUS_SYSTEM_BUS_ADDRESS %r is not a socket in the test bed's folder %s"
               % (address, state["dir"]))
    # The dbus-daemon this lab started must still run, with the lab's configuration (which
    # names that socket): a socket left behind by a daemon that has ended is no bus of ours.
    try:
        with open("/proc/%d/cmdline" % state["bus_pid"], "rb") as f:
            argv = f.read().decode("utf-8", "replace").split("\0")
    except OSError:
        argv = []
    if not running(state["bus_pid"]) or "--config-file=" + state["bus_config"] not in argv:
        refuse("the private bus of this test bed is not running")
    for name, pid in state.get("services", {}).items():
        if not running(pid):
            refuse("the fake %s on the private bus is not running" % name)


class Home:
    """A fresh home for one run of NorvaHB: settings folder, runtime folder, logs."""

    def __init__(self, parent, prefix):
        self.home = tempfile.mkdtemp(prefix=prefix, dir=parent)
        os.chmod(self.home, 0o700)
        self.config = os.path.join(self.home, "config")
        self.runtime = os.path.join(self.home, "runtime")
        for d in (self.config, self.runtime):
            os.mkdir(d, 0o700)
        self.settings_path = os.path.join(self.config, "NorvaHB")


class Lab:
    """What every run shares: a private system bus with the fake login manager on it (and the
    fake polkit authority when `paths` names "fake_polkit"), the network namespaces, and the
    folder for everything else. close() undoes whatever open() and the users made, whatever
    state they stopped in.

    `paths` names the programs: "fake_login1" always, and whichever others the user runs
    (checked at open()). Later fake services join the bus with start_service()."""

    def __init__(self, paths, prefix="norva-lab-"):
        self.paths = dict(paths)
        self.procs = []
        self.nets = []
        self.services = {}
        self.dir = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.dir, 0o700)
        self.bus = None
        self.bus_address = None
        self.bus_config = None
        self.power_log = LogFile(os.path.join(self.dir, "login1-calls.log"))
        self.polkit_answers = os.path.join(self.dir, "polkit-answers")
        self.polkit_log = LogFile(os.path.join(self.dir, "polkit-calls.log"))
        self.login1_can_answers = os.path.join(self.dir, "login1-can-answers")
        self.notify_sockets = []

    # --- opening and closing ------------------------------------------------------------

    def open(self, namespaces=True, service_policy=None, service_user=None):
        """Starts the private bus and fake-login1 on it, and fake-polkit when `paths` names it
        (answering "deny" to everything until set_polkit_answers says otherwise). With
        `namespaces`, first makes sure network namespaces can be made here (root, iproute2),
        and fails at once if not. With `service_policy`, the bus enforces that policy file
        (see write_bus_config) for `service_user`, by default the user running the lab."""
        if namespaces:
            self.prepare_namespaces()
            self.new_net().close()
        if shutil.which("dbus-daemon") is None:
            raise SetupFailure("'dbus-daemon' is not installed (Debian package dbus-daemon)")
        for name, path in self.paths.items():
            if not os.access(path, os.X_OK):
                raise SetupFailure("%s not found at %s (build it first)" % (name, path))
        self._start_bus(service_policy, service_user)
        open(self.power_log.path, "w").close()
        self.start_service("login1", [self.paths["fake_login1"], self.power_log.path])
        if "fake_polkit" in self.paths:
            self.set_polkit_answers({})
            open(self.polkit_log.path, "w").close()
            self.start_service("polkit", [self.paths["fake_polkit"], self.polkit_answers,
                                          self.polkit_log.path])

    def prepare_namespaces(self):
        if os.geteuid() != 0:
            raise SetupFailure("network namespaces need root; run this as root (e.g. sudo "
                               "ctest -L e2e, sudo make bench)")
        if shutil.which("ip") is None:
            raise SetupFailure("'ip' is not installed (Debian package iproute2)")
        self._sweep_leftovers()

    @staticmethod
    def _sweep_leftovers():
        """Deletes empty namespaces of an earlier lab that was killed before it could clean
        up (its process is gone)."""
        for line in run(["ip", "netns", "list"]).stdout.splitlines():
            m = re.match(r"^(norva-(?:pc|dev)-(\d+)x\d+)\b", line)
            if not m or os.path.exists("/proc/" + m.group(2)):
                continue
            if not run(["ip", "netns", "pids", m.group(1)]).stdout.split():
                run(["ip", "netns", "del", m.group(1)])

    def new_net(self):
        net = Net("%dx%d" % (os.getpid(), len(self.nets)))
        self.nets.append(net)
        net.open()
        return net

    def close(self):
        for proc in reversed(self.procs):
            stop_process(proc)
        for sock in self.notify_sockets:
            sock.close()
        for net in self.nets:
            net.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    # --- the bus and the services on it --------------------------------------------------

    def _start_bus(self, service_policy=None, service_user=None):
        self.bus_config = write_bus_config(os.path.join(self.dir, "bus"), service_policy,
                                           service_user)
        address_file = os.path.join(self.dir, "bus-address")
        with open(address_file, "w") as out:
            self.bus = subprocess.Popen(["dbus-daemon", "--config-file=" + self.bus_config,
                                         "--nofork", "--print-address=1"],
                                        stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=subprocess.STDOUT)
        self.procs.append(self.bus)
        found = LogFile(address_file).wait_for(r"^unix:", 10, alive=self.bus)
        if not found:
            raise SetupFailure("the private dbus-daemon did not start: " +
                               LogFile(address_file).text().strip())
        self.bus_address = LogFile(address_file).lines()[found[0]].strip()
        self.require_private_bus(self.bus_address, what="anything on the private bus")
        self._save_state()

    def bus_env(self):
        """The environment of a program that is to talk to the private bus only."""
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.bus_address,
                   QT_QPA_PLATFORM="offscreen",
                   FAKE_LOGIN1_CAN_ANSWERS=self.login1_can_answers)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        return env

    def start_service(self, name, cmd, ready=r"^ready$", timeout=10):
        """Starts a fake service `cmd` on the private bus and waits until it prints a line
        matching `ready`. Its output goes to DIR/fake-NAME.out. From then on the guard also
        requires it to be running."""
        env = self.bus_env()
        self.require_private_bus(env["DBUS_SYSTEM_BUS_ADDRESS"], what="the fake " + name)
        out_path = os.path.join(self.dir, "fake-%s.out" % name)
        with open(out_path, "w") as out:
            proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT)
        self.procs.append(proc)
        if not LogFile(out_path).wait_for(ready, timeout, alive=proc):
            raise SetupFailure("the fake %s did not start: %s"
                               % (name, LogFile(out_path).text().strip()))
        self.services[name] = proc
        self._save_state()
        return proc

    def state(self):
        """What the guard needs to know about this lab; also kept in DIR/testbed.json for
        programs the lab's user starts (exec-norvahb)."""
        return {"dir": self.dir, "bus_address": self.bus_address,
                "bus_pid": self.bus.pid if self.bus else 0, "bus_config": self.bus_config,
                "services": {name: p.pid for name, p in self.services.items()},
                "namespaces": [ns for net in self.nets for ns in net.namespaces]}

    def _save_state(self):
        path = os.path.join(self.dir, STATE_FILE)
        with open(path + ".new", "w") as f:
            json.dump(self.state(), f)
        os.replace(path + ".new", path)

    def require_private_bus(self, address, what="NorvaHB"):
        require_private_bus(address, self.state(), what)

    def power_calls(self):
        return self.power_log.lines()

    def clear_power_calls(self):
        open(self.power_log.path, "w").close()

    def set_login1_can(self, answers):
        """What fake-login1 answers to CanReboot and CanPowerOff from the next call on,
        {method: answer} ("yes", "no", "challenge", "na", ...); a method not named answers
        "yes", as both do before the first call of this."""
        for method, answer in answers.items():
            if method not in ("CanReboot", "CanPowerOff") or not re.fullmatch(r"\S+", answer):
                raise SetupFailure("no login1 answer %r for %r" % (answer, method))
        with open(self.login1_can_answers + ".new", "w") as f:
            f.writelines("%s %s\n" % item for item in answers.items())
        os.replace(self.login1_can_answers + ".new", self.login1_can_answers)

    LOGIN1_BEHAVIOURS = ("modern", "debian12", "old", "refuse", "inhibited")

    def set_login1_behaviour(self, behaviour):
        """How fake-login1 answers power calls from now on (the fake's own description is in
        tests/support/fake-login1/FakeLogin1Manager.h):
          "modern"     a logind of 257 or later: every call accepted;
          "debian12"   a logind of 252: RebootWithFlags/PowerOffWithFlags with flag 16 refused
                       with org.freedesktop.DBus.Error.InvalidArgs, the plain calls accepted;
          "old"        no WithFlags methods (UnknownMethod, not logged), the plain calls
                       accepted; the default, and what None restores;
          "refuse"     every call refused with org.freedesktop.DBus.Error.AccessDenied;
          "inhibited"  a block inhibitor held: calls without flag 16 refused with
                       org.freedesktop.login1.BlockedByInhibitorLock, with it accepted.
        The fake reads the file at every call, so this takes effect at the next call."""
        path = self.power_log.path + ".behaviour"
        if behaviour is None:
            behaviour = "old"
        if behaviour not in self.LOGIN1_BEHAVIOURS:
            raise SetupFailure("no login manager behaviour %r" % behaviour)
        with open(path + ".new", "w") as f:
            f.write(behaviour + "\n")
        os.replace(path + ".new", path)

    # --- the fake polkit authority ---------------------------------------------------------

    POLKIT_ANSWERS = ("allow", "deny", "challenge", "authenticate", "error")

    def set_polkit_answers(self, answers):
        """What fake-polkit answers from now on, {action id: answer}; "*" is the answer for any
        action not named, and an action with no answer is denied. The answers (the fake's own
        description is in tests/support/fake-polkit/FakePolkitAuthority.h):
          "allow", "deny";
          "challenge"     the user would be asked: with the AllowUserInteraction flag the prompt
                          is dismissed (not authorized, detail polkit.dismissed), without it not
                          authorized with is_challenge set;
          "authenticate"  the same, but with the flag the user authenticates (authorized);
          "error"         the call fails with org.freedesktop.PolicyKit1.Error.Failed.
        The fake reads the file at every call, so this takes effect at the next call. The file
        has one "ACTION-ID ANSWER" line per entry."""
        lines = []
        for action, answer in answers.items():
            if answer not in self.POLKIT_ANSWERS or not re.fullmatch(r"[^\s#][^\s]*", action):
                raise SetupFailure("no polkit answer %r for %r" % (answer, action))
            lines.append("%s %s\n" % (action, answer))
        with open(self.polkit_answers + ".new", "w") as f:
            f.writelines(lines)
        # Renamed into place: the fake never reads a half-written file.
        os.replace(self.polkit_answers + ".new", self.polkit_answers)

    def polkit_calls(self):
        """The calls fake-polkit answered, oldest first: one dict per call, as the fake records
        them ("method", "caller" (the asker's unique bus name), "subject_kind", "subject"
        ({"name": ...} or {"pid": ..., "start-time": ..., "uid": ...}), "action", "flags",
        "details", "cancellation_id", "answer")."""
        return [json.loads(line) for line in self.polkit_log.lines() if line.strip()]

    def clear_polkit_calls(self):
        open(self.polkit_log.path, "w").close()

    # --- plain clients on the private bus --------------------------------------------------

    def busctl(self, args, timeout=10, env=None):
        """Runs `busctl --system ARGS` on the private bus (after the guard: a call made on the
        machine's own bus could reach its real login manager) and returns the finished
        process (stdout, stderr, returncode). `env` adds to the bus environment."""
        if shutil.which("busctl") is None:
            raise SetupFailure("'busctl' is not installed (Debian package systemd)")
        full_env = self.bus_env()
        full_env.update(env or {})
        self.require_private_bus(full_env["DBUS_SYSTEM_BUS_ADDRESS"], what="busctl")
        return subprocess.run(["busctl", "--system", "--no-pager"] + list(args),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=timeout, env=full_env)

    # --- NorvaHB --------------------------------------------------------------------------

    def new_home(self, prefix="home-"):
        return Home(self.dir, prefix)

    def norvahb_env(self, home, display=None):
        """The whole environment of NorvaHB: its own home, settings and runtime folders, the
        private bus as its system bus, the offscreen platform unless `display` names an X
        display. Sanitizer settings pass through, so a sanitized build can run here."""
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": home.home,
            "LANG": "C.UTF-8",
            "XDG_CONFIG_HOME": home.config,
            "XDG_RUNTIME_DIR": home.runtime,
            "DBUS_SYSTEM_BUS_ADDRESS": self.bus_address,
        }
        if display:
            env["DISPLAY"] = display
            env["QT_QPA_PLATFORM"] = "xcb"
        else:
            env["QT_QPA_PLATFORM"] = "offscreen"
        for name, value in os.environ.items():
            if name.endswith("SAN_OPTIONS"):
                env[name] = value
        return env

    def start_norvahb(self, env, net=None, stdout=None, stderr=None, setns=False):
        """Starts NorvaHB with `env` (see norvahb_env), in the PC namespace of `net` when
        given: through `ip netns exec`, or with `setns` by entering the namespace in this
        thread, so nothing runs between this call and NorvaHB's exec. Refuses unless the
        guard passes. The process gets `started_ns`: CLOCK_MONOTONIC ns right before and
        right after it was spawned."""
        return self.start_program("norvahb", env, net, stdout, stderr, setns, what="NorvaHB")

    def start_program(self, name, env, net=None, stdout=None, stderr=None, setns=False,
                      what=None, args=(), listen_sockets=()):
        """start_norvahb for any program of `paths` that talks to the system bus, with `args`:
        the same guard, the same ways into the PC namespace. `listen_sockets` (socket objects)
        are passed as the service manager passes its sockets (see pass_listen_sockets)."""
        self.require_private_bus(env.get("DBUS_SYSTEM_BUS_ADDRESS"), what=what or name)
        cmd = pass_listen_sockets(listen_sockets, [self.paths[name]] + list(args))
        pass_fds = [s.fileno() for s in listen_sockets]
        before = time.monotonic_ns()
        if net is not None and setns:
            with InNetns(net.pc_ns):
                proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                                        stderr=stderr, pass_fds=pass_fds)
        else:
            if net is not None:
                cmd = net.in_pc(cmd)
            proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                                    stderr=stderr, pass_fds=pass_fds)
        proc.started_ns = (before, time.monotonic_ns())
        self.procs.append(proc)
        return proc

    # --- norvahbd ---------------------------------------------------------------------------

    def new_notify_socket(self):
        """A NotifySocket in the lab's folder, closed with the lab."""
        sock = NotifySocket(os.path.join(self.dir, "notify-%d" % len(self.notify_sockets)))
        self.notify_sockets.append(sock)
        return sock

    def norvahbd_env(self, home, notify=None, watchdog_usec=None):
        """The environment a service manager gives norvahbd, on the private bus: no display,
        no session, no home of a user; STATE_DIRECTORY and RUNTIME_DIRECTORY as the unit's
        StateDirectory= and RuntimeDirectory= would set them (`home`'s settings and runtime
        folders); NOTIFY_SOCKET when `notify` (a NotifySocket) is given and WATCHDOG_USEC when
        `watchdog_usec` is. Sanitizer settings pass through."""
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "LANG": "C.UTF-8",
            "DBUS_SYSTEM_BUS_ADDRESS": self.bus_address,
            "STATE_DIRECTORY": home.config,
            "RUNTIME_DIRECTORY": home.runtime,
        }
        if notify is not None:
            env["NOTIFY_SOCKET"] = notify.path
        if watchdog_usec is not None:
            env["WATCHDOG_USEC"] = str(int(watchdog_usec))
        for name, value in os.environ.items():
            if name.endswith("SAN_OPTIONS"):
                env[name] = value
        return env

    def start_norvahbd(self, home, net=None, command_port=None, notify=True, watchdog_usec=None,
                       args=(), env=None, stdout=None, stderr=None, setns=False,
                       listen_sockets=()):
        """Starts norvahbd as the unit does, with `home`'s settings file (home.settings_path)
        and a lock in its runtime folder, in the PC namespace of `net` when given (as
        start_program). `command_port` goes to --command-port when given; `args` follow (say
        ["--check"]). With `notify` the process gets a NotifySocket of its own as `.notify`
        (wait for READY=1 with proc.notify.wait_for("READY", "1")); `env` adds to
        norvahbd_env. Refuses unless the guard passes and the lab's fake polkit authority runs,
        so every authorization the service asks for is answered by the fake. `listen_sockets`
        are handed over as a socket unit's would be (pass_listen_sockets)."""
        if "polkit" not in self.services:
            raise SetupFailure("REFUSING to start norvahbd: this test bed runs no fake polkit "
                               "authority (give Lab a \"fake_polkit\" path)")
        sock = self.new_notify_socket() if notify else None
        full_env = self.norvahbd_env(home, sock, watchdog_usec)
        full_env.update(env or {})
        cmd_args = ["--settings", home.settings_path,
                    "--lock", os.path.join(home.runtime, "norvahbd.lock")]
        if command_port is not None:
            cmd_args += ["--command-port", str(command_port)]
        proc = self.start_program("norvahbd", full_env, net, stdout, stderr, setns,
                                  what="norvahbd", args=cmd_args + list(args),
                                  listen_sockets=listen_sockets)
        proc.notify = sock
        return proc


# Run between the exec of the test bed's child and the program: puts the descriptors named in
# argv[1] at 3, 4, ... in that order, sets LISTEN_FDS and LISTEN_PID (its own pid, which the
# program keeps across exec) and execs the rest of argv. The service manager does the same.
_PASS_SOCKETS = """
import fcntl, os, sys
given = [int(fd) for fd in sys.argv[1].split(",")]
moved = [fcntl.fcntl(fd, fcntl.F_DUPFD, 100) for fd in given]  # out of the way of 3, 4, ...
for fd in given:
    os.close(fd)
for i, fd in enumerate(moved):
    os.dup2(fd, 3 + i)  # inheritable
    os.close(fd)
os.environ["LISTEN_FDS"] = str(len(moved))
os.environ["LISTEN_PID"] = str(os.getpid())
os.execv(sys.argv[2], sys.argv[2:])
"""


def pass_listen_sockets(sockets, cmd):
    """`cmd` wrapped so that the program finds `sockets` as a socket unit's: at descriptors 3,
    4, ... with LISTEN_FDS and LISTEN_PID set to its own process id. The wrapper execs the
    program in its own process, so the pid it sets is the program's. Start it with the
    sockets' descriptors in pass_fds. No sockets: `cmd` unchanged."""
    if not sockets:
        return cmd
    fds = ",".join(str(s.fileno()) for s in sockets)
    return [sys.executable, "-c", _PASS_SOCKETS, fds] + list(cmd)


def load_state(lab_dir):
    """The state of a running lab from its folder, for the guard in another process. The
    folder must be this user's own and closed to others, as the lab made it."""
    st = os.stat(lab_dir)
    if st.st_uid != os.geteuid() or st.st_mode & 0o077:
        raise SetupFailure("REFUSING to start NorvaHB: %s is not a test bed's folder of this "
                           "user" % lab_dir)
    try:
        with open(os.path.join(lab_dir, STATE_FILE)) as f:
            state = json.load(f)
    except (OSError, ValueError) as e:
        raise SetupFailure("REFUSING to start NorvaHB: no test bed in %s (%s)" % (lab_dir, e))
    if os.path.realpath(state.get("dir", "")) != os.path.realpath(lab_dir):
        raise SetupFailure("REFUSING to start NorvaHB: the test bed in %s describes another "
                           "folder" % lab_dir)
    return state


# --- the program ----------------------------------------------------------------------------

def cli_run(args):
    paths = build_paths(args.build)
    wanted = ["norvahb", "device", "fake_login1"]
    # The fake polkit authority joins when it is built (the service needs it; NorvaHB does not).
    if os.access(paths["fake_polkit"], os.X_OK):
        wanted.append("fake_polkit")
    lab = Lab({k: paths[k] for k in wanted}, prefix=args.prefix)
    child = None
    spawning = []  # signals that came while COMMAND was being started

    def pass_on(signum, _frame):
        if child is None and spawning:
            spawning.append(signum)
        elif child is None:
            # Still setting up: stop here and clean up what there is.
            raise KeyboardInterrupt("signal %d" % signum)
        elif child.poll() is None:
            child.send_signal(signum)

    # SIGINT from a terminal reaches the whole foreground group, COMMAND included; the lab
    # waits for COMMAND to end and then cleans up. A handler, not SIG_IGN: an ignored signal
    # would stay ignored in COMMAND, and a shell could not trap it.
    signal.signal(signal.SIGINT, lambda *_: None)
    signal.signal(signal.SIGTERM, pass_on)
    signal.signal(signal.SIGHUP, pass_on)
    status = 1
    try:
        lab.open(namespaces=False, service_policy=args.service_policy)
        env = dict(os.environ, NORVA_TESTBED_DIR=lab.dir, DBUS_SYSTEM_BUS_ADDRESS=lab.bus_address,
                   NORVA_POWER_LOG=lab.power_log.path, NORVA_PC_IP=PC_IP,
                   NORVA_DEVICE_IP=DEVICE_IP)
        if "polkit" in lab.services:
            env.update(NORVA_POLKIT_ANSWERS=lab.polkit_answers,
                       NORVA_POLKIT_LOG=lab.polkit_log.path)
        net = None
        if args.net != "no":
            try:
                lab.prepare_namespaces()
                net = lab.new_net()
            except SetupFailure as e:
                if args.net == "yes":
                    raise
                env["NORVA_NO_NET_REASON"] = str(e)
        if net is not None:
            env.update(NORVA_PC_NS=net.pc_ns, NORVA_DEV_NS=net.dev_ns, NORVA_PC_IF=net.pc_if,
                       NORVA_DEV_IF=net.dev_if)
        lab._save_state()
        spawning.append(0)
        child = subprocess.Popen(args.command, env=env)
        for signum in spawning[1:]:
            child.send_signal(signum)
        status = child.wait()
        if status < 0:
            status = 128 - status
    except SetupFailure as e:
        print("testbed: %s" % e, file=sys.stderr)
    except OSError as e:
        print("testbed: cannot run %s: %s" % (args.command[0], e), file=sys.stderr)
    except KeyboardInterrupt as e:
        print("testbed: interrupted while setting up (%s)" % e, file=sys.stderr)
        status = 130
    finally:
        lab.close()
    return status


def cli_exec_norvahb(args, what="NorvaHB"):
    try:
        state = load_state(args.lab)
        require_private_bus(os.environ.get("DBUS_SYSTEM_BUS_ADDRESS"), state, what)
        if what == "norvahbd" and "polkit" not in state.get("services", {}):
            # Without the fake authority nobody answers the service's authorization checks
            # on this bus; as with Lab.start_norvahbd, it does not start at all.
            raise SetupFailure("REFUSING to start norvahbd: this test bed runs no fake polkit "
                               "authority (build fake-polkit)")
        if args.netns and args.netns not in state.get("namespaces", []):
            raise SetupFailure("REFUSING to start %s: %s is not a namespace of this test "
                               "bed" % (what, args.netns))
    except SetupFailure as e:
        print("testbed: %s" % e, file=sys.stderr)
        return 3
    cmd = args.command
    if args.netns:
        cmd = ["ip", "netns", "exec", args.netns] + cmd
    os.execvp(cmd[0], cmd)


def cli_notify_socket(args):
    # A stop raises out of the wait: select() itself would resume after the handler.
    def stop(*_):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    sock = NotifySocket(args.path)
    seen = 0
    try:
        with open(args.log, "a", buffering=1) as log:
            while True:
                select.select([sock.sock], [], [])
                for pid, fields, _ in sock.all()[seen:]:
                    log.write(" ".join(["pid=%d" % pid] +
                                       ["%s=%s" % kv for kv in fields.items()]) + "\n")
                    seen += 1
    finally:
        sock.close()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = p.add_subparsers(dest="what", required=True)
    c = sub.add_parser("bus-config", help="write a private bus configuration into DIR")
    c.add_argument("dir")
    r = sub.add_parser("run", help="run a command inside a lab")
    r.add_argument("--build", required=True, help="build folder with the programs")
    r.add_argument("--net", choices=("no", "auto", "yes"), default="no",
                   help="make a pair of network namespaces (needs root)")
    r.add_argument("--prefix", default="norva-lab-", help="name prefix of the lab's folder")
    r.add_argument("--service-policy", help="a bus policy file the private bus enforces")
    r.add_argument("command", nargs="+")
    e = sub.add_parser("exec-norvahb", help="start NorvaHB inside a lab, after the guard")
    e.add_argument("--lab", required=True, help="the lab's folder (NORVA_TESTBED_DIR)")
    e.add_argument("--netns", help="one of the lab's namespaces to run NorvaHB in")
    e.add_argument("command", nargs="+")
    d = sub.add_parser("exec-norvahbd", help="start norvahbd inside a lab, after the guard")
    d.add_argument("--lab", required=True, help="the lab's folder (NORVA_TESTBED_DIR)")
    d.add_argument("--netns", help="one of the lab's namespaces to run norvahbd in")
    d.add_argument("command", nargs="+")
    n = sub.add_parser("notify-socket", help="collect a service's notifications into a file")
    n.add_argument("path", help="the socket to bind ($NOTIFY_SOCKET)")
    n.add_argument("log", help="the file the notifications are appended to")
    args = p.parse_args(argv)
    if args.what == "bus-config":
        try:
            print(write_bus_config(args.dir))
        except (SetupFailure, OSError) as err:
            print("testbed: %s" % err, file=sys.stderr)
            return 1
        return 0
    if args.what == "run":
        return cli_run(args)
    if args.what == "notify-socket":
        return cli_notify_socket(args)
    if args.what == "exec-norvahbd":
        return cli_exec_norvahb(args, what="norvahbd")
    return cli_exec_norvahb(args)


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    sys.exit(main())
