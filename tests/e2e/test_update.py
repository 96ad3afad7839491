#!/usr/bin/env python3
"""Update manager: the daily check through the stand-in installer library against
the reference service's feed, the installer hooks, and a copy without the library.

One agent runs from a folder of its own holding the library, with the update timer
and the day shortened by debug hooks; the tests run in name order, and the last one
that needs this agent stops it through the uninstall hook. The install hook, and hooks
against a hung ivrac from another folder, run while that agent starts."""
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import (BUILD, Sandbox, Service, exe, ivtool, main, pid_alive, wait_for,  # noqa: E402
                      log_time)

LIBRARY = "velopack_libc_win_x64_msvc.dll"
FEED_NAME = "releases.win.json"
# Two deltas lead from 0.2.12 to 0.3.0, so what is to be downloaded is their sum.
FEED = ("# stand-in feed\n"
        "0.2.12 full Ivra-0.2.12-full.nupkg 50000000\n"
        "0.3.0 full Ivra-0.3.0-full.nupkg 52000000\n"
        "0.3.0 delta Ivra-0.3.0-delta1.nupkg 1200000\n"
        "0.3.0 delta Ivra-0.3.0-delta2.nupkg 345678\n")
CHECK_AVAILABLE = "update: daily check -> 2"
BALLOON = "balloon: Ivra 0.3.0 is available \u2014 Click to see it and install when you're ready."
PORTABLE = "update: daily check -> 0 Updates work in the installed app only."
DAY_MS = 1500
HOOK_TIMEOUT_MS = 1000


def app_folder(root, name, library=True, ivrac="ivrac"):
    """A folder with copies of ivrad.exe, ivrac.exe (or a stand-in), the fake schtasks
    and, when asked, the stand-in library: the agent looks for both beside itself."""
    d = os.path.join(root, name)
    os.makedirs(d)
    shutil.copy(exe("ivrad"), os.path.join(d, "ivrad.exe"))
    shutil.copy(exe(ivrac), os.path.join(d, "ivrac.exe"))
    shutil.copy(exe("fake_schtasks"), os.path.join(d, "schtasks.exe"))
    if library:
        shutil.copy(os.path.join(BUILD, "tests", "standin", LIBRARY), os.path.join(d, LIBRARY))
    return d


class UpdateTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.svc = Service().start()
        cls.sb = Sandbox()
        cls.pid = None
        try:
            cls.svc.control("POST", "feed", {"name": FEED_NAME, "text": FEED})
            os.makedirs(cls.sb.data)
            with open(os.path.join(cls.sb.data, "config.ini"), "w", newline="") as f:
                f.write("onboarded=1\r\nupdate_auto=1\r\nplay_sound=0\r\nwarn_free_mb=0\r\nstop_free_mb=0\r\n")
            cls.env = {"IVRA_DEBUG_HOOKS": "1", "IVRA_UPDATE_URL": cls.svc.url + "/win", "IVRA_SERVER": cls.svc.url,
                       "IVRA_UPDATE_TICK_MS": "500", "IVRA_UPDATE_DAY_MS": str(DAY_MS)}
            # Laid out as the installer lays it out, so the agent knows it is an installed app.
            cls.app = app_folder(cls.sb.root, os.path.join("Ivra", "current"))
            shutil.copy(exe("trivial"), os.path.join(cls.sb.root, "Ivra", "Update.exe"))
            cls.hung = app_folder(cls.sb.root, "hung", library=False, ivrac="stall")
            cls.portable = app_folder(cls.sb.root, "portable", library=False)
            cls.pid = cls.sb.start(os.path.join(cls.app, "ivrad.exe"), env=cls.env)
            hung_env = dict(cls.env, IVRA_HOOK_TIMEOUT_MS=str(HOOK_TIMEOUT_MS))
            for hook in ("--veloapp-install", "--veloapp-uninstall", "--veloapp-obsolete"):
                cls.sb.start(os.path.join(cls.hung, "ivrad.exe"), hook, env=hung_env)
            cls.sb.start(os.path.join(cls.app, "ivrad.exe"), "--veloapp-install", env=cls.env)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        # The sandbox ends the agents and hooks it started by pid; the stand-ins are ended here.
        try:
            for pid in cls.stalled() if getattr(cls, "hung", None) else []:
                if pid_alive(pid):
                    ivtool("kill", pid)
        finally:
            cls.sb.cleanup()
            cls.svc.stop()

    @classmethod
    def stalled(cls):
        """Process ids of the hung ivrac stand-ins the hooks started."""
        try:
            with open(os.path.join(cls.hung, "ivrac.exe.pid")) as f:
                return [int(p) for p in f.read().split()]
        except FileNotFoundError:
            return []

    def log_lines(self):
        return self.sb.log_lines()

    def requests(self):
        return self.svc.control("GET", "requests")["requests"]

    def wait_lines(self, text, count, timeout=30):
        def found():
            got = [l for l in self.log_lines() if text in l]
            return got if len(got) >= count else None
        return wait_for(found, timeout, interval=0.2, what="%d log lines with %r" % (count, text))

    def hook(self, folder, *args, env=None):
        r = self.sb.run(os.path.join(folder, "ivrad.exe"), *args, env=env)
        self.assertEqual(r.returncode, 0, r.stderr)

    def schtasks_calls(self, folder):
        try:
            with open(os.path.join(folder, "schtasks-calls.txt"), encoding="utf-8") as f:
                return [l.rstrip("\r\n") for l in f]
        except FileNotFoundError:
            return []

    def test_1_new_version_is_announced_once(self):
        self.wait_lines(CHECK_AVAILABLE, 2)
        # Checks begin a shortened day apart, by the agent's own clock. The library logs the
        # start of each; the first also loads the library, so the second and third are compared.
        starts = self.wait_lines("velopack info: reading feed " + FEED_NAME, 3)
        self.assertGreaterEqual(log_time(starts[2]) - log_time(starts[1]), DAY_MS / 1000.0 - 0.1, starts)
        lines = self.log_lines()
        self.assertIn("update: 0.3.0 available (1545678 bytes to download)", "\n".join(lines))
        # Only an installed app builds its jump list; Wine's shell has none to fill.
        self.assertEqual([l.split("] ", 2)[-1] for l in lines if "jump list" in l],
                         ["startup: taskbar jump list not set"])
        wait_for(lambda: any(BALLOON in l for l in self.log_lines()), 10, what="the update balloon")
        self.assertEqual(sum(BALLOON in l for l in self.log_lines()), 1)
        feed = [r for r in self.requests() if r["path"] == "/win/" + FEED_NAME]
        self.assertGreaterEqual(len(feed), 2)
        self.assertTrue(all(r == {"method": "GET", "path": "/win/" + FEED_NAME, "status": 200} for r in feed), feed)

    def test_2_feed_name_with_a_slash_is_refused_without_a_request(self):
        settings = os.path.join(self.app, "velopack-standin.txt")
        self.addCleanup(lambda: os.path.exists(settings) and os.remove(settings))
        before = len(self.requests())
        refusals = sum("update: refusing feed name" in l for l in self.log_lines())
        with open(settings, "w") as f:
            f.write("feed=beta/" + FEED_NAME + "\n")
        self.wait_lines("update: refusing feed name", refusals + 1)
        self.wait_lines("update: daily check -> 3 Couldn't reach the update server. Check your connection.", 1)
        self.assertIn("update: Couldn't reach the update server. Check your connection.: "
                      "the release feed could not be read", self.sb.log_text())
        # A check that began before the settings changed may still fetch the old name; nothing else.
        later = self.requests()[before:]
        self.assertTrue(all(r["path"] == "/win/" + FEED_NAME for r in later), later)

    def test_2b_feed_cut_short_is_a_failed_check(self):
        # A feed that breaks off must not read as a shorter (here: empty) feed, i.e. "up to date".
        failed = sum("update: daily check -> 3" in l for l in self.log_lines())
        self.svc.fault(method="GET", path="/win/" + FEED_NAME, status=200, size=4000, cut_after_bytes=100, count=-1)
        self.addCleanup(self.svc.clear_faults)
        line = self.wait_lines("update: feed %s -> 200 (" % FEED_NAME, 1)[0]
        self.assertNotIn("-> 200 ()", line)
        self.wait_lines("update: daily check -> 3 Couldn't reach the update server. Check your connection.", failed + 1)
        self.assertNotIn("update: daily check -> 1", self.sb.log_text())

    def test_3_hung_ivrac_is_abandoned_after_the_time_out(self):
        # Started with the agent (setUpClass); other hooks only log their argument.
        self.wait_lines("installer: --veloapp-install -> autostart on (exit -1)", 1)
        self.wait_lines("installer: uninstall -> agent stop (exit -1), autostart off (exit -1)", 1)
        self.wait_lines("installer: --veloapp-obsolete", 1)
        # Three runs were started and left running, not ended by the agent.
        pids = self.stalled()
        self.assertEqual(len(pids), 3, pids)
        self.assertTrue(all(pid_alive(p) for p in pids), pids)
        self.assertEqual(self.schtasks_calls(self.hung), [])

    def test_4_installer_hooks_run_ivrac(self):
        # The install hook was started with the agent.
        self.wait_lines("installer: --veloapp-install -> autostart on (exit 0)", 1)
        calls = self.schtasks_calls(self.app)
        self.assertEqual(len(calls), 2, calls)
        self.assertTrue(calls[0].startswith("schtasks.exe /Create /TN Ivra /XML "), calls)
        self.assertEqual(calls[1], "schtasks.exe /Query /TN Ivra")
        self.assertTrue(os.path.exists(os.path.join(self.app, "task.xml")))


        # Uninstalling stops the running agent first, then removes its autostart.
        self.hook(self.app, "--veloapp-uninstall")
        lines = self.log_lines()
        done = [i for i, l in enumerate(lines)
                if "installer: uninstall -> agent stop (exit 0), autostart off (exit 0)" in l]
        self.assertEqual(len(done), 1, lines[-5:])
        stopped = [i for i, l in enumerate(lines) if l.endswith("ivrad stopped")]
        self.assertTrue(stopped and stopped[-1] < done[0], lines[-8:])
        self.assertFalse(pid_alive(self.pid))
        self.assertEqual(self.schtasks_calls(self.app)[-2:], ["schtasks.exe /Delete /TN Ivra /F",
                                                             "schtasks.exe /Query /TN Ivra"])
        self.assertFalse(os.path.exists(os.path.join(self.app, "task.xml")))

    def test_5_portable_copy_logs_the_reason_and_does_nothing_else(self):
        if pid_alive(self.pid):
            # Run alone, this test finds the first agent still there (the uninstall hook stops it otherwise).
            self.wait_lines("ivrad started in", 1)
            ivtool("wm-close", "IvraAgentWnd")
            wait_for(lambda: not pid_alive(self.pid), 30, interval=0.2, what="the first agent to stop")
        before = len(self.requests())
        start = len(self.log_lines())
        type(self).pid = self.sb.start(os.path.join(self.portable, "ivrad.exe"), env=self.env)
        self.wait_lines(PORTABLE, 1)
        self.wait_lines("ivrad started in", 2)
        lines = self.log_lines()[start:]
        self.assertEqual([l for l in lines if "velopack" in l or "update: unavailable" in l or "jump list" in l], [])
        self.assertEqual(self.requests()[before:], [])


if __name__ == "__main__":
    main()
