#!/usr/bin/env python3
"""End-to-end tests: the real NorvaHB program against the simulated device norva-device.

Usage: test_norvahb_e2e.py NORVAHB NORVA_DEVICE FAKE_LOGIN1 [unittest args]

Runs on the test bed (tests/testbed/norva_testbed.py) through the fixture of e2e_case.py.
Needs root: every case gets two network namespaces of its own, "the PC" (NorvaHB) and "the
device" (norva-device), joined by a veth pair on 198.18.0.0/30, so both sides use the UDP port
numbers of real hardware and TCP port 9100 is always free. No traffic leaves them.

NorvaHB asks the login manager on the system D-Bus to restart or power off the machine. Here
that bus is the test bed's private dbus-daemon, with fake-login1 on it recording the calls in a
file; the test bed never starts NorvaHB unless DBUS_SYSTEM_BUS_ADDRESS names that private bus.
Settings and the instance lock live in a private temporary folder.
"""

import os
import re
import signal
import subprocess
import sys
import time

from e2e_case import NorvaCase, main, tb

DEVICE_IP = tb.DEVICE_IP
DEVICE_OTHER_IP = tb.DEVICE_OTHER_IP
PC_IP = tb.PC_IP
stop_process = tb.stop_process
command_port_states = tb.command_port_states


class PowerPath(NorvaCase):
    """Commands on TCP 9100 from the device's address, through to the login manager."""

    USER, PASSWORD = "Ostra", "ferno"

    def settings(self, alert, port, heartbeat_to=None):
        """With `heartbeat_to`, the network heartbeat runs every second to that address."""
        return {
            "Setup": {"IPAddr": heartbeat_to or DEVICE_IP, "Port": port, "Freq": 1,
                      "FailCount": 3, "Network": 1, "USB": 0},
            "Run": {"IsStarted": int(heartbeat_to is not None)},
            "GSD": {"Username": self.USER, "Password": self.PASSWORD,
                    "AlertPedningAction": alert},
        }

    def test_restart_then_notice_at_next_start(self):
        # The device takes heartbeats at another address than the one its commands come
        # from: the notice must go where the restart command came from.
        port = 19177
        self.net.add_device_address(DEVICE_OTHER_IP)
        _, hb_log = self.start_device(["udp", "--bind", "%s:%d" % (DEVICE_OTHER_IP, port),
                                       "--answer", "ack"], name="heartbeat-device")
        self.write_settings(self.settings(alert=0, port=port, heartbeat_to=DEVICE_OTHER_IP))
        proc, err = self.start_norvahb()

        # The user name is matched without regard to case.
        status, out = self.send_command("--action", "restart", "--user", "ostra",
                                        "--password", self.PASSWORD)
        self.assertIn("hello reply 00 00", out, "hello not answered with 00 00:\n" + out)
        self.assertIn("ack 01", out, "restart not acknowledged with 01:\n" + out)
        self.assertEqual(status, 0, out)
        self.assertTrue(self.lab.power_log.wait_for(r"^Reboot false$", 10),
                        "no Reboot(false) reached the login manager; calls: %r; NorvaHB:\n%s"
                        % (self.lab.power_calls(), err.tail()))
        self.assertEqual(self.setting("GracefulRestart", "SourceIP"), DEVICE_IP,
                         "the device's address was not stored for the restart notice")
        for needle in ("Recived eCmnd_get", "RESTART"):
            self.assertTrue(err.wait_for(re.escape("NorvaHB: " + needle), 5),
                            "no %r diagnostic:\n%s" % (needle, err.tail()))
        stop_process(proc)
        self.assertEqual(self.lab.power_calls(), ["Reboot false"],
                         "exactly one reboot request was expected")

        # The computer is "back": the next start tells the device, once.
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (DEVICE_IP, port),
                                          "--answer", "silent"])
        hb_seen = len(self.heartbeats(hb_log))
        proc, err = self.start_norvahb()
        found = dlog.wait_for(r'recv \S+ "NorvaRB"', 10)
        self.assertTrue(found, "no NorvaRB at the device after the restart:\n%s\nNorvaHB:\n%s"
                        % (dlog.tail(), err.tail()))
        self.assertIn("recv %s:%d " % (PC_IP, port), dlog.lines()[found[0]],
                      "NorvaRB must come from the PC's port %d" % port)
        # The heartbeat resumes before the notice is sent, on the same socket: by the second
        # heartbeat of this run, a notice sent to the heartbeat's address would be there.
        self.wait_heartbeats(hb_log, hb_seen + 2, 10, proc=proc)
        self.assertNotIn('"NorvaRB"', hb_log.text(),
                         "NorvaRB went to the heartbeat's address:\n" + hb_log.tail())
        self.assertEqual(self.setting("GracefulRestart", "SourceIP"), "",
                         "SourceIP must be cleared once the notice is sent")
        # A second notice would follow at once if the flag were not cleared first; give it a
        # generous moment, then count.
        self.assertIsNone(dlog.wait_for(r'"NorvaRB"', 1.5, start=found[0] + 1),
                          "more than one NorvaRB:\n" + dlog.tail())
        stop_process(proc)

        # And a further start sends nothing.
        proc, err = self.start_norvahb()
        self.assertIsNone(dlog.wait_for(r'"NorvaRB"', 1.5, start=found[0] + 1),
                          "NorvaRB sent again at a later start:\n" + dlog.tail())
        self.assertEqual(self.lab.power_calls(), ["Reboot false"])

    def test_power_requests_on_each_login_manager(self):
        # Debian 12's logind refuses the skip-inhibitors flag: the request goes again the old
        # way and nothing is reported. A refusing one: the action and the reason on stderr.
        self.write_settings(self.settings(alert=0, port=9100))
        proc, err = self.start_norvahb()
        self.lab.set_login1_behaviour("debian12")
        status, out = self.send_command("--action", "restart", "--user", self.USER,
                                        "--password", self.PASSWORD)
        self.assertIn("ack 01", out, out)
        self.assertTrue(self.lab.power_log.wait_for(r"^Reboot false$", 10),
                        "%r\n%s" % (self.lab.power_calls(), err.tail()))
        self.assertEqual(self.lab.power_calls(), ["RebootWithFlags 16", "Reboot false"])

        self.lab.set_login1_behaviour("refuse")
        status, out = self.send_command("--action", "shutdown", "--user", self.USER,
                                        "--password", self.PASSWORD)
        self.assertIn("ack 01", out, out)
        self.assertTrue(err.wait_for(r"NorvaHB: The login manager refused the shutdown: "
                                     r"Permission denied \(org\.freedesktop\.DBus\.Error\."
                                     r"AccessDenied\)$", 10), err.tail())
        self.assertTrue(err.wait_for(r"NorvaHB: The shutdown was refused: Permission denied", 5),
                        err.tail())
        self.assertNotIn("refused the restart", err.text())
        self.assertEqual(proc.poll(), None, "NorvaHB ended")

    def test_wrong_password_is_refused(self):
        self.write_settings(self.settings(alert=0, port=9100))
        proc, err = self.start_norvahb()
        status, out = self.send_command("--action", "restart", "--user", self.USER,
                                        "--password", "Ferno")
        self.assertIn("hello reply 00 00", out, out)
        self.assertNotIn("ack 01", out, "a wrong password was acknowledged:\n" + out)
        self.assertEqual(status, 1, out)
        self.assertTrue(err.wait_for(r"NorvaHB: Bad Password", 5),
                        "no 'Bad Password' diagnostic:\n" + err.tail())
        stop_process(proc)
        self.assertEqual(self.lab.power_calls(), [], "a refused command reached the login manager")
        self.assertIn(self.setting("GracefulRestart", "SourceIP"), (None, ""),
                      "a refused command stored SourceIP")

    def test_shutdown_after_warning_countdown(self):
        self.write_settings(self.settings(alert=1, port=9100))
        proc, err = self.start_norvahb()
        status, out = self.send_command("--action", "shutdown", "--user", self.USER,
                                        "--password", self.PASSWORD)
        acked = time.monotonic()
        self.assertIn("ack 01", out, "shutdown not acknowledged:\n" + out)
        self.assertEqual(status, 0, out)

        early = self.lab.power_log.wait_for(r".", 9.0 - (time.monotonic() - acked), alive=proc)
        self.assertIsNone(early, "power action %r came %.1f s after the acknowledgement, before "
                          "the ten-second warning ended" % (self.lab.power_calls(),
                                                            time.monotonic() - acked))
        self.assertEqual(proc.poll(), None, "NorvaHB ended during the warning:\n" + err.tail())
        # The ten one-second ticks of the countdown; a busy machine may hold each back a
        # little, so the limit is generous.
        found = self.lab.power_log.wait_for(r"^PowerOff false$", 30.0 - (time.monotonic() - acked))
        self.assertTrue(found, "no PowerOff(false) within 30 s of the acknowledgement; calls: %r"
                        % self.lab.power_calls())
        took = time.monotonic() - acked
        self.assertGreaterEqual(took, 9.0)
        print("\n  PowerOff %.2f s after the acknowledgement" % took, file=sys.stderr)
        stop_process(proc)
        self.assertEqual(self.lab.power_calls(), ["PowerOff false"])
        self.assertIn(self.setting("GracefulRestart", "SourceIP"), (None, ""),
                      "a shutdown command must not store SourceIP")


class NetworkHeartbeat(NorvaCase):
    PORT = 19100

    def settings(self):
        return {
            "Setup": {"IPAddr": DEVICE_IP, "Port": self.PORT, "Freq": 1, "FailCount": 3,
                      "Network": 1, "USB": 0},
            "Run": {"IsStarted": 1},
            "GSD": {"Username": "Ostra", "Password": "ferno", "AlertPedningAction": 0},
        }

    def test_heartbeats_in_every_answer_mode_and_device_messages(self):
        self.write_settings(self.settings())
        bind = "%s:%d" % (DEVICE_IP, self.PORT)
        device, dlog = self.start_device(["udp", "--bind", bind, "--answer", "ack"])
        proc, err = self.start_norvahb(wait_listening=False)
        sender = "%s:%d" % (PC_IP, self.PORT)

        beats = self.wait_heartbeats(dlog, 3, 10, proc=proc)
        for _, _, source in beats:
            self.assertEqual(source, sender, "heartbeat must leave from the PC's port %d"
                             % self.PORT)
        self.assertTrue(dlog.wait_for(r'send \S+ "NorvaACK"', 10), dlog.tail())

        # Device messages: the PC replies to the configured device address and port, and does
        # nothing else.
        for command, token, reply in (("shutdown", "NorvaShutdown", "shutdownACK"),
                                      ("restart", "NorvaRestart", "restartACK")):
            self.device_command(device, command)
            self.assertTrue(dlog.wait_for(r'send %s "%s"' % (re.escape(sender), token), 5),
                            "device did not send %s:\n%s" % (token, dlog.tail()))
            found = dlog.wait_for(r'recv %s "%s"' % (re.escape(sender), reply), 5)
            self.assertTrue(found, "no %s from the PC's port:\n%s" % (reply, dlog.tail()))

        # Each answer mode in turn, three heartbeats each, on one running NorvaHB. Late and
        # silent answers bring the failure alert (a modal message) on the third miss; the
        # heartbeat must go on regardless.
        for command, answer in (("nak", r'send \S+ "NorvaNAK"'),
                                ("late 700", r'send \S+ "NorvaACK"'),
                                ("silent", None)):
            self.device_command(device, command)
            taken = dlog.wait_for(r"info answer " + command.replace(" ", ":?"), 5)
            self.assertTrue(taken, "device did not take %r:\n%s" % (command, dlog.tail()))
            beats = self.wait_heartbeats(dlog, 3, 10, start=taken[0] + 1, proc=proc)
            self.check_schedule(stamps_of(beats), "answer " + command)
            if answer:
                self.assertTrue(dlog.wait_for(answer, 10, start=beats[0][0]),
                                "device did not answer %r:\n%s" % (command, dlog.tail()))

        # Answers from another port: a new device takes over the same port and answers from
        # the next port up. Heartbeats that come while the device is being replaced are lost;
        # the schedule is checked across both devices, on the same tick.
        self.wait_heartbeats(dlog, len(self.heartbeats(dlog)) + 1, 10, proc=proc)
        self.device_command(device, "quit")
        device.wait(15)
        first = stamps_of(self.heartbeats(dlog))
        device, dlog = self.start_device(["udp", "--bind", bind, "--answer", "ack",
                                          "--from-port", str(self.PORT + 1)])
        beats = self.wait_heartbeats(dlog, 3, 15, proc=proc)
        self.assertTrue(dlog.wait_for(r'send %s "NorvaACK"' % re.escape(sender), 5),
                        dlog.tail())
        self.check_schedule(stamps_of(beats), "answers from another port")
        gaps = self.check_schedule(first + stamps_of(beats), "whole run", missed=True)
        print("\n  heartbeat gaps over %d beats: %d..%d ms, median %d ms"
              % (len(gaps) + 1, min(gaps), max(gaps), sorted(gaps)[len(gaps) // 2]),
              file=sys.stderr)

        self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())
        stop_process(proc)
        self.assertEqual(self.lab.power_calls(), [],
                         "UDP device messages must not restart or power off the PC")


class SleepAndWake(NorvaCase):
    PORT = 19102

    def test_a_played_sleep_pauses_the_heartbeat_and_the_wake_resumes_it(self):
        settings = NetworkHeartbeat.settings(self)
        settings["Setup"]["Port"] = self.PORT
        settings["Setup"]["AllowSleep"] = 1
        self.write_settings(settings)
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (DEVICE_IP, self.PORT),
                                          "--answer", "ack"])
        proc, err = self.start_norvahb(wait_listening=False)
        self.wait_heartbeats(dlog, 2, 10, proc=proc)
        self.wait_inhibitor("delay")

        self.login1("EmitPrepareForSleep", "b", "true")
        self.wait_inhibitor("delay", held=False)
        asleep_from = len(dlog.lines())
        proc.send_signal(signal.SIGSTOP)
        time.sleep(2.5)
        proc.send_signal(signal.SIGCONT)
        time.sleep(0.8)
        self.assertEqual(self.heartbeats(dlog, asleep_from), [], "a heartbeat while asleep")
        now = time.time()
        local = time.localtime(now)
        woke_at = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec + (now % 1)
        self.login1("EmitPrepareForSleep", "b", "false")
        beats = self.wait_heartbeats(dlog, 3, 5, start=asleep_from, proc=proc)
        first = beats[0][1] - woke_at
        if first < -43200:
            first += 86400
        self.assertLess(first, 0.5, "the first heartbeat came %.3f s after the wake" % first)
        self.check_schedule(stamps_of(beats), "after the wake")
        self.wait_inhibitor("delay")
        self.assertNotIn("not responding", err.text())
        stop_process(proc)
        self.wait_inhibitor("delay", held=False)

    def test_the_default_block_lock_holds_and_a_lid_sleep_still_pauses(self):
        # No AllowSleep: a block lock while the heartbeat runs. A sleep logind enters despite
        # it (the lid, the power key) is still announced, and paused for like any other.
        settings = NetworkHeartbeat.settings(self)
        settings["Setup"]["Port"] = self.PORT
        self.write_settings(settings)
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (DEVICE_IP, self.PORT),
                                          "--answer", "ack"])
        proc, err = self.start_norvahb(wait_listening=False)
        self.wait_heartbeats(dlog, 2, 10, proc=proc)
        self.wait_inhibitor("block")

        self.login1("EmitPrepareForSleep", "b", "true")
        time.sleep(0.3)
        asleep_from = len(dlog.lines())
        time.sleep(1.5)
        self.assertEqual(self.heartbeats(dlog, asleep_from), [], "a heartbeat while asleep")
        self.wait_inhibitor("block")  # a block lock is not given up for the sleep
        self.login1("EmitPrepareForSleep", "b", "false")
        self.wait_heartbeats(dlog, 2, 5, start=asleep_from, proc=proc)
        self.assertNotIn("not responding", err.text())
        stop_process(proc)
        self.wait_inhibitor("block", held=False)

    def test_a_refused_lock_is_one_warning_and_the_heartbeat_goes_on(self):
        settings = NetworkHeartbeat.settings(self)
        settings["Setup"]["Port"] = self.PORT
        self.write_settings(settings)
        open(self.lab.power_log.path + ".inhibit-refused", "w").close()
        try:
            device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (DEVICE_IP, self.PORT),
                                              "--answer", "ack"])
            proc, err = self.start_norvahb(wait_listening=False)
            self.wait_heartbeats(dlog, 3, 10, proc=proc)
            self.assertTrue(err.wait_for(r"sleep is not held off", 2), err.tail())
            said = [l for l in err.lines() if "sleep is not held off" in l]
            self.assertEqual(len(said), 1, said)
            stop_process(proc)
        finally:
            os.remove(self.lab.power_log.path + ".inhibit-refused")


class WatchdogTime(NorvaCase):
    """The half second the PC gives the device to answer, on the real clock: an answer 300 ms
    after the heartbeat is in time, one 700 ms after it is a miss."""

    PORT = 19100
    ALERT = "NorvaHB: Your Norva is not responding to the Heartbeat"

    def test_answer_at_300_ms_is_in_time_at_700_ms_a_miss(self):
        self.write_settings({
            "Setup": {"IPAddr": DEVICE_IP, "Port": self.PORT, "Freq": 1, "FailCount": 3,
                      "Network": 1, "USB": 0},
            "Run": {"IsStarted": 1},
        })
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (DEVICE_IP, self.PORT),
                                          "--answer", "late:300"])
        proc, err = self.start_norvahb(wait_listening=False)

        # More heartbeats than "FailCount", each answered 300 ms late: not one may count as a
        # miss, or the third would raise the alert. By the time the device sees the next
        # heartbeat, the watchdog of the last one answered has long fired.
        answered = 4
        beats = self.wait_heartbeats(dlog, answered + 1, 15, proc=proc)
        acks = [line for line in dlog.lines()[:beats[-1][0]] if '"NorvaACK"' in line]
        self.assertGreaterEqual(len(acks), answered, "the device did not answer:\n" + dlog.tail())
        self.assertNotIn(self.ALERT, err.text(),
                         "answers 300 ms after each heartbeat were counted as misses")

        # From now on 700 ms late: three misses, and with the third the alert.
        self.device_command(device, "late 700")
        taken = dlog.wait_for(r"info answer late:700", 5)
        self.assertTrue(taken, "device did not take 'late 700':\n" + dlog.tail())
        beats = self.wait_heartbeats(dlog, 3, 10, start=taken[0] + 1, proc=proc)
        self.assertTrue(dlog.wait_for(r'send \S+ "NorvaACK"', 5, start=beats[-1][0]),
                        "the device did not answer late:\n" + dlog.tail())
        self.assertTrue(err.wait_for(re.escape(self.ALERT), 10, alive=proc),
                        "answers 700 ms after each heartbeat did not raise the alert at the "
                        "third:\n" + err.tail())
        self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())


def stamps_of(beats):
    return [t for _, t, _ in beats]


class SerialHeartbeat(NorvaCase):
    def test_heartbeat_on_the_serial_line(self):
        self.write_settings({
            "Setup": {"Network": 0, "USB": 1, "ComPort": "COM7", "comFreq": 1, "comFail": 3},
            "Run": {"IsStarted": 1},
        })
        link = os.path.join(self.config, "NorvaHB-ports", "COM7")
        device, dlog = self.start_device(["serial", "--link", link, "--answer", "whole"],
                                         namespace=False, name="serial")
        proc, err = self.start_norvahb(wait_listening=False)
        beats = self.wait_heartbeats(dlog, 4, 10, proc=proc)
        gaps = self.check_schedule(stamps_of(beats), "serial line")
        print("\n  serial heartbeat gaps: %r ms" % gaps, file=sys.stderr)
        self.assertTrue(dlog.wait_for(r'send "NorvaACK"', 10), dlog.tail())
        self.assertNotIn("no longer available", err.text(), err.tail())
        self.assertIsNone(proc.poll(), "NorvaHB ended:\n" + err.tail())


class Resume(NorvaCase):
    PORT = 19100

    def settings(self, started):
        return {
            "Setup": {"IPAddr": DEVICE_IP, "Port": self.PORT, "Freq": 1, "FailCount": 3,
                      "Network": 1, "USB": 0},
            "Run": {"IsStarted": started},
        }

    def test_heartbeat_resumes_only_when_it_was_running(self):
        self.write_settings(self.settings(0))
        device, dlog = self.start_device(["udp", "--bind", "%s:%d" % (DEVICE_IP, self.PORT)])
        proc, err = self.start_norvahb()
        # Stopped at the last run: a 1 s heartbeat would show up at once, so 3 s of silence
        # is plenty.
        self.assertIsNone(dlog.wait_for(r'"NorvaHB"', 3),
                          "heartbeat sent although Run/IsStarted=0:\n" + dlog.tail())
        stop_process(proc)

        self.write_settings(self.settings(1))
        proc, err = self.start_norvahb(wait_listening=False)
        self.wait_heartbeats(dlog, 2, 10, proc=proc)
        self.assertEqual(self.setting("Run", "IsStarted"), "1")


class SingleInstance(NorvaCase):
    def test_second_copy_ends_by_itself(self):
        self.write_settings({"Setup": {"Network": 0, "USB": 0}, "Run": {"IsStarted": 0}})
        # The first copy holds the instance lock before it builds anything, so once it
        # listens, the lock is taken.
        first, first_log = self.start_norvahb()
        started = time.monotonic()
        second, second_log = self.start_norvahb(wait_listening=False)
        # It waits one second for the lock and gives up. The limit only has to tell a copy
        # that ends by itself from one that stays; a busy machine may be slow to start it.
        try:
            second.wait(20)
        except subprocess.TimeoutExpired:
            self.fail("the second copy did not end within 20 s:\n" + second_log.tail())
        took = time.monotonic() - started
        self.assertEqual(second.returncode, 0, "the second copy must end quietly:\n"
                         + second_log.tail())
        self.assertEqual(second_log.text(), "", "the second copy must end silently")
        self.assertGreaterEqual(took, 0.9, "the second copy ended after %.2f s without waiting "
                                "for the first" % took)
        print("\n  second copy ended %.2f s after it was started" % took, file=sys.stderr)
        self.assertIsNone(first.poll(), "the first copy must keep running")
        self.assertIn("LISTEN", command_port_states(first.pid))


if __name__ == "__main__":
    main(time_budget_s=240)
