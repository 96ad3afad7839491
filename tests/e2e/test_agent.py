"""The agent's process frame under Wine: single instance and second-launch
hand-off, start and stop order, the launch record, registered hotkeys, the
configuration reload and the slow-dispatch line."""
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import Agent, AgentTestCase, exe, ivtool, main, pid_alive, wait_for, win_path, wine  # noqa: E402

# No capture warm-up: these tests look at the agent's frame, never at a frame it grabbed,
# and without it every start is seconds shorter under Wine (and well inside the 5 s wait).
ONBOARDED = {"onboarded": "1", "dxgi_keep_warm": "0"}


def write_config(sb, values):
    os.makedirs(sb.data, exist_ok=True)
    with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
        for k, v in values.items():
            f.write("%s=%s\r\n" % (k, v))


def wintext(cls):
    """(count, pid, title) of the windows of a class; pid and title None when there is none."""
    r = wine([exe("wintext"), cls])
    info = dict(line.split("=", 1) for line in r.stdout.decode("utf-8", "replace").splitlines() if "=" in line)
    count = int(info.get("count", "0"))
    return count, (int(info["pid"]) if "pid" in info else None), info.get("title")


def xdotool_key(combo):
    subprocess.run(["xdotool", "key", combo], check=True, timeout=30)


def count(lines, needle):
    return sum(1 for l in lines if needle in l)


class AgentFrameTest(AgentTestCase):

    def start_agent(self, config=ONBOARDED, env=None, *args):
        write_config(self.sb, config)
        self.agent = Agent(self.sb, env=env)
        self.agent.start(*args)
        return self.agent

    def tearDown(self):
        agent = getattr(self, "agent", None)
        if agent is not None and agent.pid is not None and pid_alive(agent.pid):
            agent.stop()
        super().tearDown()

    def test_second_launch_with_capture_clip_hands_over_the_action(self):
        agent = self.start_agent()
        r = self.sb.run("ivrad", "--capture", "clip", timeout=60)
        self.assertEqual(r.returncode, 0)
        wait_for(lambda: "hotkey: clip digit=0 route=none" in self.sb.log_text(), 10, what="clip action line")
        lines = self.sb.log_lines()
        self.assertEqual(count(lines, "startup: another ivrad is already running (pid %d); exiting" % agent.pid), 1)
        # The second process never got as far as starting up or making a window.
        self.assertEqual(count(lines, "ivrad 0.2.12 starting:"), 1)
        self.assertEqual(wintext("IvraAgentWnd")[0], 1)
        self.assertTrue(pid_alive(agent.pid))

    def test_second_launch_without_switch_opens_or_raises_settings(self):
        self.start_agent()
        self.assertEqual(wintext("IvraSettingsWnd")[0], 0)
        r = self.sb.run("ivrad", timeout=60)
        self.assertEqual(r.returncode, 0)
        n, settings_pid, title = wait_for(lambda: (lambda w: w if w[0] else None)(wintext("IvraSettingsWnd")), 40,
                                          what="settings window")
        self.assertEqual(n, 1)
        self.sb.procs.append(settings_pid)
        # Put it on another page so the next hand-off can be seen to bring the general page forward.
        self.assertEqual(ivtool("post", "IvraSettingsWnd", "IvraShowSettings", 7, 0).returncode, 0)
        wait_for(lambda: wintext("IvraSettingsWnd")[2] == "Ivra Settings - About", 20, what="about page")
        r = self.sb.run("ivrad", timeout=60)
        self.assertEqual(r.returncode, 0)
        wait_for(lambda: wintext("IvraSettingsWnd")[2] == "Ivra Settings - General", 20, what="general page")
        self.assertEqual(wintext("IvraSettingsWnd")[:2], (1, settings_pid))

    def test_second_launch_at_autostart_does_nothing_visible(self):
        agent = self.start_agent()
        r = self.sb.run("ivrad", "--autostart", timeout=60)
        self.assertEqual(r.returncode, 0)
        lines = self.sb.log_lines()
        self.assertEqual(count(lines, "startup: another ivrad is already running (pid %d); exiting" % agent.pid), 1)
        self.assertEqual(count(lines, "started at login (--autostart)"), 1)
        self.assertEqual(wintext("IvraSettingsWnd")[0], 0)
        self.assertEqual(count(self.sb.log_lines(), "hotkey: "), 0)

    def test_stop_order_launch_record_and_unclean_restart(self):
        agent = self.start_agent()
        record = os.path.join(self.sb.data, "ivrad.running")
        with open(record) as f:
            self.assertRegex(f.read(), r"^pid %d started \d{4}-\d\d-\d\d \d\d:\d\d:\d\d$" % agent.pid)
        agent.stop()
        lines = self.sb.log_lines()
        self.assertTrue(lines[-1].endswith("ivrad stopped"), lines[-1])
        order = ["startup: config loaded (", "mem: ", "startup: window, hotkeys and tray ready (",
                 "startup: capture ready (", "ivrad started in ", "capture: thread stopped", "ivrad stopped"]
        at = [next(i for i, l in enumerate(lines) if needle in l) for needle in order]
        self.assertEqual(at, sorted(at), "\n".join(lines))
        self.assertFalse(os.path.exists(record))
        self.assertNotEqual(agent.pipe("ping\n", timeout_ms=500), b"ok\n")

        # A killed agent leaves its record behind for the next start to report.
        self.agent = Agent(self.sb)
        pid = self.agent.start()
        ivtool("kill", pid)
        wait_for(lambda: not pid_alive(pid), 10, what="killed agent gone")
        self.assertTrue(os.path.exists(record))
        self.agent.start()
        self.assertIn("previous ivrad session did not stop cleanly (pid %d started " % pid, self.sb.log_text())
        self.agent.stop()

    def test_session_end_stops_capture_and_drops_the_record(self):
        agent = self.start_agent()
        record = os.path.join(self.sb.data, "ivrad.running")
        self.assertTrue(os.path.exists(record))
        self.assertEqual(ivtool("post", "IvraAgentWnd", "0x11", 0, 0x80000000).returncode, 0)  # WM_QUERYENDSESSION
        self.assertEqual(ivtool("post", "IvraAgentWnd", "0x16", 1, 0x80000000).returncode, 0)  # WM_ENDSESSION
        wait_for(lambda: "ivrad stopped (Windows session end)" in self.sb.log_text(), 10, what="session end")
        lines = self.sb.log_lines()
        order = ["Windows is ending the session (flags 0x80000000)", "session ending: stopping",
                 "capture: thread stopped", "ivrad stopped (Windows session end)"]
        at = [next(i for i, l in enumerate(lines) if needle in l) for needle in order]
        self.assertEqual(at, sorted(at), "\n".join(lines))
        self.assertFalse(os.path.exists(record))
        # Windows ends the process itself; here the agent is still alive and must stop cleanly afterwards.
        agent.stop()
        self.assertTrue(self.sb.log_lines()[-1].endswith("ivrad stopped"))

    def launch_as(self, flags, title, program, *args):
        """Starts a program with the given STARTUPINFO flags and title; returns its process id."""
        r = self.sb.run("launchas", hex(flags), title, win_path(program), *args)
        # ivtool reports launchas's own pid first; the started program's comes last.
        pids = re.findall(r"^pid=(\d+)", r.stdout.decode(), re.M)
        self.assertEqual(len(pids), 2, (r.stdout, r.stderr))
        pid = int(pids[-1])
        self.sb.procs.append(pid)
        return pid

    def test_taskbar_pin_launch_takes_a_region_screenshot(self):
        write_config(self.sb, ONBOARDED)
        pin = r"C:\Users\tester\AppData\Roaming\Microsoft\Internet Explorer\Quick Launch\User Pinned\TaskBar\Ivra.lnk"
        self.agent = Agent(self.sb)
        self.agent.pid = self.launch_as(0x800, pin, exe("ivrad"))
        wait_for(lambda: "hotkey: region digit=0 route=none" in self.sb.log_text(), 20, what="region after start")
        self.close_overlay(1)
        lines = self.sb.log_lines()
        self.assertEqual(count(lines, "startup: startupinfo flags 0x800 title Ivra.lnk (taskbar pin)"), 1)
        started = next(i for i, l in enumerate(lines) if "ivrad started in" in l)
        acted = next(i for i, l in enumerate(lines) if "hotkey: region" in l)
        self.assertLess(started, acted)
        # The same launch while the agent runs hands the action over.
        self.launch_as(0x800, pin, exe("ivrad"))
        wait_for(lambda: count(self.sb.log_lines(), "hotkey: region digit=0 route=none") == 2, 20,
                 what="region from the second launch")
        self.close_overlay(2)
        # An app-id launch that does not come from the taskbar is an ordinary one.
        self.launch_as(0x1000, "velopack.Ivra", exe("ivrad"))
        wait_for(lambda: count(self.sb.log_lines(), "startup: another ivrad is already running") == 2, 20,
                 what="third launch")
        self.assertEqual(count(self.sb.log_lines(), "startup: startupinfo flags 0x1000 title velopack.Ivra"), 1)
        self.assertEqual(count(self.sb.log_lines(), "(taskbar pin)"), 2)
        # Being an ordinary second launch, it opened the settings program; wait for it so cleanup ends it.
        n, pid, _ = wait_for(lambda: (lambda w: w if w[0] else None)(wintext("IvraSettingsWnd")), 40,
                             what="settings window of the plain second launch")
        self.sb.procs.append(pid)

    def test_taskbar_pin_launch_with_shift_records_a_clip(self):
        agent = self.start_agent()
        self.focus_a_wine_window()  # Wine tracks the key state only while it has the X focus
        pin = r"C:\Users\tester\AppData\Roaming\Microsoft\Internet Explorer\Quick Launch\User Pinned\TaskBar\Ivra.lnk"
        subprocess.run(["xdotool", "keydown", "shift"], check=True, timeout=30)
        try:
            self.launch_as(0x800, pin, exe("ivrad"))
            wait_for(lambda: "hotkey: clip digit=0 route=none" in self.sb.log_text(), 20, what="clip action")
        finally:
            subprocess.run(["xdotool", "keyup", "shift"], check=True, timeout=30)
        self.assertEqual(count(self.sb.log_lines(), "hotkey: region"), 0)
        self.assertTrue(pid_alive(agent.pid))

    def test_velopack_layout_sets_the_jump_list(self):
        app = os.path.join(self.sb.root, "app")
        os.makedirs(os.path.join(app, "current"))
        open(os.path.join(app, "Update.exe"), "wb").close()
        agent_exe = os.path.join(app, "current", "ivrad.exe")
        shutil.copy(exe("ivrad"), agent_exe)
        write_config(self.sb, ONBOARDED)
        self.agent = Agent(self.sb)
        self.agent.pid = self.sb.start(agent_exe)
        wait_for(lambda: "startup: taskbar jump list " in self.sb.log_text(), 20, what="jump list line")
        lines = self.sb.log_lines()
        jump = [l for l in lines if "startup: taskbar jump list " in l]
        self.assertEqual(len(jump), 1)
        # Wine has no taskbar destination list, so the attempt is made and reported as failed.
        self.assertTrue(jump[0].endswith("startup: taskbar jump list not set"), jump[0])
        started = next(i for i, l in enumerate(lines) if "ivrad started in" in l)
        self.assertLess(started, lines.index(jump[0]))

    def post_menu_command(self, cmd, line):
        """Posts a tray menu command and waits for its action line. The agent ignores an action
        (and says so) until a closing selection has let go; such a command is posted again."""
        ignored = "ignored: a region selection is open"
        for _ in range(5):
            before = count(self.sb.log_lines(), ignored)
            self.assertEqual(ivtool("post", "IvraAgentWnd", "0x111", cmd, 0).returncode, 0)  # WM_COMMAND
            wait_for(lambda: line in self.sb.log_text() or count(self.sb.log_lines(), ignored) > before, 10,
                     what=line)
            if line in self.sb.log_text():
                return
        self.fail("%s: still ignored after five posts" % line)

    def test_menu_commands_post_actions_and_open_linking(self):
        self.start_agent()
        for cmd, line in ((1002, "hotkey: screen digit=0 route=none"), (1011, "hotkey: clip digit=0 route=none"),
                          (1012, "hotkey: replay digit=0 route=none")):
            self.post_menu_command(cmd, line)
            if cmd == 1011:
                self.close_overlay(1)  # the clip's pick would hold back the next action
        self.assertEqual(ivtool("post", "IvraAgentWnd", "0x111", 1008, 0).returncode, 0)
        n, pid, title = wait_for(lambda: (lambda w: w if w[0] else None)(wintext("IvraSettingsWnd")), 40,
                                 what="link window")
        self.sb.procs.append(pid)
        self.assertEqual(title, "Ivra Settings - Link account")

    def test_plain_layout_has_no_jump_list(self):
        self.start_agent()
        self.assertNotIn("jump list", self.sb.log_text())

    def close_overlay(self, nth):
        """Closes the region overlay a region action opened, as the nth selection of the run."""
        self.assertEqual(self.sb.run("overlay_probe", "shown", "20000").returncode, 0)
        self.assertEqual(self.sb.run("overlay_probe", "close").returncode, 0)
        wait_for(lambda: count(self.sb.log_lines(), "region cancelled") == nth, 20, what="overlay closed")
        # The overlay's summary is its last line before the selection lets go of new actions.
        wait_for(lambda: count(self.sb.log_lines(), "overlay(live): init ") == nth, 20, what="overlay thread done")

    def focus_a_wine_window(self, start=True):
        """Wine hears X key events only while one of its windows has the X focus."""
        if start:
            self.sb.start("ivra")
        wait_for(lambda: wintext("IvraSettingsWnd")[0] == 1, 40, what="settings window")
        found = wait_for(lambda: subprocess.run(["xdotool", "search", "--name", "^Ivra Settings - General$"],
                                                capture_output=True, timeout=30).stdout.split(), 10,
                         what="settings window on X")
        subprocess.run(["xdotool", "windowfocus", "--sync", found[0]], check=True, timeout=30)

    def test_hotkey_press_and_reload_reregisters(self):
        self.start_agent()
        self.focus_a_wine_window()
        xdotool_key("ctrl+shift+c")
        wait_for(lambda: "hotkey: region digit=0 route=" in self.sb.log_text(), 10, what="region hotkey")
        self.close_overlay(1)
        self.focus_a_wine_window(start=False)

        # Move the region hotkey to Ctrl+Shift+X (no-repeat, Ctrl, Shift; vk 0x58) and reload.
        write_config(self.sb, dict(ONBOARDED, hk_region="16390,88"))
        self.assertEqual(self.agent.pipe("reload\n"), b"ok\n")
        lines = self.sb.log_lines()
        self.assertEqual(count(lines, "config reloaded"), 1)
        self.assertEqual(count(lines, "pipe: reload  -> ok ("), 1)
        xdotool_key("ctrl+shift+c")  # no longer ours
        xdotool_key("ctrl+shift+x")
        wait_for(lambda: count(self.sb.log_lines(), "hotkey: region digit=0 route=") >= 2, 10,
                 what="region hotkey after reload")
        # Keys are handled in order, so the old combination would have logged before the new one.
        self.assertEqual(count(self.sb.log_lines(), "hotkey: region"), 2)
        self.close_overlay(2)

    def test_slow_dispatch_forced_digit_and_busy_reload(self):
        self.start_agent(env={"IVRA_DEBUG_HOOKS": "1", "IVRA_FORCE_DIGIT": "2"})
        self.assertEqual(self.agent.pipe("debug\top=hang_main\tms=300\n"), b"ok\n")
        # The sleep is a posted message and the reload a sent one, which the main thread would
        # take first if both waited: the reload goes once the sleep has begun, and is answered
        # only once the main thread is free again.
        wait_for(lambda: "debug: main thread sleeping 300 ms" in self.sb.log_text(), 10, what="the sleep begins")
        self.assertEqual(self.agent.pipe("reload\n"), b"ok\n")
        lines = self.sb.log_lines()
        self.assertEqual(count(lines, "debug: main thread sleeping 300 ms"), 1)
        slow = [l for l in lines if "slow: main thread spent" in l]
        self.assertEqual(len(slow), 1, "\n".join(lines))
        m = re.search(r"slow: main thread spent (\d+) ms on message 0x8010 \(wp=300\)$", slow[0])
        self.assertIsNotNone(m, slow[0])
        self.assertGreaterEqual(int(m.group(1)), 250)

        self.assertEqual(ivtool("post", "IvraAgentWnd", "0x800A", 1, 0).returncode, 0)
        wait_for(lambda: "hotkey: screen digit=2 route=registered" in self.sb.log_text(), 10, what="forced digit")

        # Out-of-range action ids are ignored.
        for bad in (0, 10):
            self.assertEqual(ivtool("post", "IvraAgentWnd", "0x800A", bad, 0).returncode, 0)
        self.assertEqual(self.agent.pipe("reload\n"), b"ok\n")  # both posts were handled before this
        self.assertEqual(count(self.sb.log_lines(), "hotkey: "), 1)

        # A main thread that sleeps past the limit makes reload answer busy instead of hanging.
        self.assertEqual(self.agent.pipe("debug\top=hang_main\tms=8000\n"), b"ok\n")
        wait_for(lambda: "debug: main thread sleeping 8000 ms" in self.sb.log_text(), 5, what="long sleep")
        self.assertEqual(self.agent.pipe("reload\n", timeout_ms=15000),
                         b"err\tcode=busy\tmsg=agent main thread did not respond\n")

    def test_prtsc_snipping_switched_off_once_and_bad_mem_percent(self):
        key = r"HKCU\Control Panel\Keyboard"
        r = wine(["reg", "add", key, "/v", "PrintScreenKeyForSnippingEnabled", "/t", "REG_DWORD", "/d", "1", "/f"])
        self.assertEqual(r.returncode, 0, r.stderr)
        agent = self.start_agent(dict(ONBOARDED, mem_percent="500"))
        lines = self.sb.log_lines()
        self.assertEqual(count(lines, "disabled Windows PrtSc snipping"), 1)
        self.assertEqual(count(lines, "startup: mem_percent 500 is outside 0..100; using 10"), 1)
        self.assertTrue(any(re.search(r"mem: .* total, budget .* \(10%\) -> stills ", l) for l in lines))
        q = wine(["reg", "query", key, "/v", "PrintScreenKeyForSnippingEnabled"])
        self.assertRegex(q.stdout.decode("utf-8", "replace"), r"REG_DWORD\s+0x0\b")
        agent.stop()
        # Already off: nothing is written or logged the next time.
        self.agent.start()
        self.assertEqual(count(self.sb.log_lines(), "disabled Windows PrtSc snipping"), 1)


if __name__ == "__main__":
    main()
