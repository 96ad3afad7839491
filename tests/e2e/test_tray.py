"""The tray icon's clicks as the shell reports them to the agent window, and the
balloons the agent shows for its results, checked by their exact log lines."""
import os
import re
import shutil
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import (Agent, Sandbox, SharedAgentTestCase, close_settings_windows, exe, ivtool, log_time,  # noqa: E402
                     main, pid_alive, reply_fields, wait_for, wine)

DOUBLE_CLICK_S = 0.5  # Wine's default double-click time


def format_bytes(n):
    if n < 1024:
        return "%d B" % n
    v, units = n / 1024.0, ["KB", "MB", "GB", "TB", "PB"]
    u = 0
    while v >= 1024.0 and u < 4:
        v /= 1024.0
        u += 1
    return ("%.2f %s" if v < 10 else "%.1f %s" if v < 100 else "%.0f %s") % (v, units[u])


class TrayTest(SharedAgentTestCase):

    @classmethod
    def setUpClass(cls):
        # Started as after an update, so the start itself shows its balloon.
        cls.sb = Sandbox()
        try:
            os.makedirs(cls.sb.data)
            with open(os.path.join(cls.sb.data, "config.ini"), "w", newline="") as f:
                f.write("onboarded=1\r\ndxgi_keep_warm=0\r\nclip_audio_system=0\r\nclip_audio_mic=0\r\n")
            cls.agent = Agent(cls.sb)
            cls.agent.start("--updated")
        except Exception:
            cls.sb.cleanup()
            raise

    def setUp(self):
        self.mark = len(self.sb.log_lines())

    def new_lines(self):
        return self.sb.log_lines()[self.mark:]

    def wait_line(self, pattern, timeout=15):
        """The first new log line matching the regular expression, waiting for it."""
        rx = re.compile(pattern)

        def find():
            return next((ln for ln in self.new_lines() if rx.search(ln)), None)
        return wait_for(find, timeout, what=pattern)

    def tray(self, *args):
        r = wine([exe("trayctl")] + list(args))
        self.assertEqual(r.returncode, 0, r.stderr)

    def post(self, msg, wp=0, lp=0):
        self.assertEqual(ivtool("post", "IvraAgentWnd", msg, wp, lp).returncode, 0)

    def cancel_pick(self):
        self.wait_line(r"overlay\(live\): shown")
        subprocess.run(["xdotool", "mousemove", "300", "300", "click", "3"], check=True, timeout=30)
        self.wait_line(r"overlay\(live\): init")

    def stop_explorers(self):
        """Ends the folder windows a reveal opened for this sandbox (by their process ids)."""
        tag = os.path.basename(self.sb.root).encode()
        for pid in os.listdir("/proc"):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    cmd = f.read()
            except (OSError, ValueError):
                continue
            if pid.isdigit() and b"explorer.exe" in cmd.lower() and tag in cmd:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except OSError:
                    pass

    def test_click_picks_a_region_after_the_double_click_time(self):
        self.tray("click")
        line = self.wait_line(r"tray: click -> screenshot$")
        up = self.wait_line(r"tray: event 0x0202$")
        self.assertGreaterEqual(log_time(line) - log_time(up), DOUBLE_CLICK_S - 0.01)
        self.wait_line(r"hotkey: region digit=0 route=none$")
        self.cancel_pick()
        # Button up and select are one click: one pick, not two.
        self.assertEqual(sum("tray: click ->" in ln for ln in self.new_lines()), 1)

    def test_shift_click_picks_a_clip(self):
        self.tray("click", "--shift")
        self.wait_line(r"tray: click -> clip$")
        self.wait_line(r"hotkey: clip digit=0 route=none$")
        self.cancel_pick()

    def test_double_click_opens_settings_and_captures_nothing(self):
        self.addCleanup(close_settings_windows)
        self.tray("double")
        opened = self.wait_line(r"tray: open settings$")
        wait_for(lambda: ivtool("window-pid", "IvraSettingsWnd").returncode == 0, 40, what="settings window")

        def past_the_click_time():
            # A logged event that does nothing, to read the agent's clock well after the double click.
            self.tray("event", "0x205")
            return any("tray: event 0x0205" in ln and log_time(ln) > log_time(opened) + DOUBLE_CLICK_S + 0.5
                       for ln in self.new_lines())
        wait_for(past_the_click_time, 15, interval=0.3, what="the double-click time to pass")
        lines = self.new_lines()
        self.assertFalse([ln for ln in lines if "tray: click ->" in ln or "hotkey:" in ln], lines)

    def test_saved_balloon_click_reveals_and_a_gone_file_is_reported(self):
        self.addCleanup(self.stop_explorers)
        self.post("0x0111", 1002)  # menu item "Capture screen"
        saved = self.wait_line(r"capture: saved (\S+) \(")
        path = re.search(r"capture: saved (\S+) \(", saved).group(1)
        name = path.split("\\")[-1]
        local = os.path.join(self.sb.profile, "Pictures", "Ivra", name)
        self.assertTrue(os.path.isfile(local), local)
        self.wait_line("balloon: Screenshot saved \u2014 %s - %s. Click to show it.$" %
                       (re.escape(name), re.escape(format_bytes(os.path.getsize(local)))))
        self.tray("event", "0x405")
        self.wait_line(r"tray: toast clicked \(action 1\)$")
        self.wait_line(r"INFO \[reveal\] reveal %s \(\d+ ms\)$" % re.escape(path), 30)
        self.stop_explorers()

        os.remove(local)
        self.tray("event", "0x405")
        self.wait_line(r"WARN \[reveal\] reveal %s failed hr=0x[0-9a-f]{8} \(\d+ ms\)$" % re.escape(path), 30)
        self.wait_line("balloon: Ivra \u2014 That file is no longer there.$")
        # The warning forgot the action: one more click does nothing.
        self.tray("event", "0x405")
        self.wait_line(r"tray: toast clicked \(action 0\)$")

    def test_clip_saved_balloon(self):
        self.agent.pipe("clip\top=start\ttarget=rect\trect=0,0,320,240\n", 20000)
        wait_for(lambda: int(reply_fields(self.agent.pipe("clip\n")).get("frames", "0")) >= 1, 20, interval=0.2,
                 what="a clip frame")
        fin = reply_fields(self.agent.pipe("clip\top=stop\twait=1\n", 60000))
        self.assertEqual(fin.get("saved"), "1", fin)
        self.wait_line("INFO \\[main\\] balloon: Clip saved \u2014 %s - %s. Click to show it.$" % (
            re.escape("%.1f s, %s" % (float(fin["seconds"]), format_bytes(int(fin["bytes"])))),
            re.escape(fin["path"].split("\\")[-1])))

    def test_result_balloons(self):
        self.post("0x800D")  # screenshot not saved
        self.wait_line("WARN \\[main\\] balloon: Screenshot not saved \u2014 Ivra could not capture or save this "
                       "screenshot. Please try again; details are in the agent log.$")
        self.post("0x800F")  # the file to reveal is gone
        self.wait_line("balloon: Ivra \u2014 That file is no longer there.$")
        self.post("0x8013")  # the server says this PC is no longer linked
        self.wait_line("balloon: Ivra account disconnected \u2014 This PC is no longer linked, so captures stay on "
                       "this PC. Link again from the tray menu or Settings.$")
        self.post("0x800A", 7, 0xFFFF0000)  # save replay with the replay off
        refused = self.wait_line(r"WARN \[capture\] clip: (.+) \(replay_off\)$")
        reply = re.search(r"clip: (.+) \(replay_off\)$", refused).group(1)
        self.wait_line("WARN \\[capture\\] balloon: Replay not saved \u2014 %s$" % re.escape(reply))

    def test_started_after_an_update_with_its_own_icon(self):
        self.assertRegex(self.sb.log_text(), r"INFO \[main\] tray: icon (\d+)x\1 from resource 101\n")
        version = re.search(r"ivrad (\S+) starting", self.sb.log_text()).group(1)
        self.assertIn("INFO [main] balloon: Ivra updated \u2014 You're on version %s." % version, self.sb.log_text())

    def test_taskbar_restart_adds_the_icon_again(self):
        self.post("TaskbarCreated")
        self.wait_line(r"tray: taskbar created; adding the icon again$")
        self.assertFalse([ln for ln in self.new_lines() if "tray icon unavailable" in ln])


class LoneAgentTest(unittest.TestCase):
    """An agent copied away from the settings program: what it says when it cannot open it."""

    def test_without_the_settings_program(self):
        sb = Sandbox()
        self.addCleanup(sb.cleanup)
        folder = os.path.join(sb.root, "bin")
        os.makedirs(folder)
        shutil.copy(exe("ivrad"), folder)
        pid = sb.start(os.path.join(folder, "ivrad.exe"))  # not onboarded: the welcome is due
        wait_for(lambda: "ivrad started in" in sb.log_text(), 30, what="agent start")
        wait_for(lambda: re.search(r"account: cannot start ivra\.exe \S+ivra\.exe \(\d+\)", sb.log_text()), 10,
                 what="the failed start of the welcome")
        wait_for(lambda: "WARN [main] balloon: Ivra \u2014 Could not open the account window. Check that ivra.exe is "
                 "beside ivrad.exe." in sb.log_text(), 10, what="the account window balloon")
        self.assertEqual(wine([exe("trayctl"), "double"]).returncode, 0)
        wait_for(lambda: "WARN [main] balloon: Ivra \u2014 Could not open settings. Check that ivra.exe is beside "
                 "ivrad.exe." in sb.log_text(), 10, what="the settings balloon")
        # "Exit Ivra" with no settings window to hand it to stops the agent at once.
        self.assertEqual(ivtool("post", "IvraAgentWnd", "0x0111", 1004, 0).returncode, 0)
        wait_for(lambda: not pid_alive(pid), 30, interval=0.2, what="agent exit")
        self.assertIn("ivrad stopped", sb.log_text())


if __name__ == "__main__":
    main()
