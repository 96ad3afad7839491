"""The settings program ivra.exe: its window class, arguments, messages and
the hand-over of the tray's exit to it."""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import (Agent, AgentTestCase, Service, exe, ivtool, main, pid_alive, wait_for, win_path,  # noqa: E402
                      wine)
import test_settings_window as settings_ui  # noqa: E402  (its helpers; its tests run from its own file)

CLASS = "IvraSettingsWnd"


def window_info(cls=CLASS):
    r = wine([exe("wintext"), cls])
    info = dict(line.split("=", 1) for line in r.stdout.decode("utf-8", "replace").splitlines() if "=" in line)
    info["count"] = int(info.get("count", "0"))
    return info


def write_config(sb, text):
    os.makedirs(sb.data, exist_ok=True)
    with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
        f.write(text)


class SettingsProgramTest(AgentTestCase):

    def open_settings(self, *args):
        pid = self.sb.start("ivra", *args)
        # A deadline for the window, not a time limit: the settings program has no
        # clock of its own to report, and Wine's start-up is not its work.
        info = wait_for(lambda: (lambda i: i if i["count"] else None)(window_info()), 30, what="settings window")
        self.assertEqual(int(info["pid"]), pid)
        return pid, info

    def setUp(self):
        super().setUp()
        if window_info()["count"]:
            self.sb.cleanup()  # also ends the stray window, so one leak fails one test only
            self.fail("a settings window was left open before this test")

    def close_settings(self, pid):
        self.assertEqual(ivtool("wm-close", CLASS).returncode, 0, "no settings window to close")
        wait_for(lambda: not pid_alive(pid), 5, interval=0.1, what="settings program exit")
        self.assertEqual(window_info()["count"], 0, "settings window still there after its program ended")

    def test_pages_from_arguments_and_close(self):
        for args, title in (((), "Ivra Settings - General"), (("--welcome",), "Ivra Settings - Welcome"),
                            (("--link",), "Ivra Settings - Link account"),
                            (("--page", "about"), "Ivra Settings - About")):
            with self.subTest(args=args):
                pid, info = self.open_settings(*args)
                self.assertEqual(info["title"], title)
                if args == ("--page", "about"):
                    about = settings_ui.controls()[500]
                    self.assertEqual((about["visible"], about["text"].split("\\n")[0]), (1, "Ivra 0.2.12"))
                self.close_settings(pid)

    def test_show_messages_switch_page(self):
        pid, _ = self.open_settings("--welcome")
        for wparam, title in ((7, "Ivra Settings - About"), (0, "Ivra Settings - General")):
            self.assertEqual(ivtool("post", CLASS, "IvraShowSettings", wparam, 0).returncode, 0)
            wait_for(lambda: window_info()["title"] == title, 5, what=title)
        self.close_settings(pid)

    def test_shows_config_and_rereads_it_on_reload(self):
        pid, _ = self.open_settings()
        ctl = settings_ui.controls()
        quality = settings_ui.field_id(ctl, "JPEG quality (1-100)")
        region = settings_ui.field_id(ctl, "Hotkey: capture region")
        speed = settings_ui.field_id(ctl, "Raw selection cursor speed percent (next capture) (25-400)")
        self.assertEqual((ctl[quality]["text"], ctl[region]["text"]), ("90", "Ctrl+Shift+C"))  # the defaults
        # A change typed but not saved yet survives the reload; the rest follows the file.
        settings_ui.focus_settings()
        settings_ui.type_into(ctl[speed], "150")
        settings_ui.wait_control(speed, lambda c: c["text"] == "150", "typed speed")
        write_config(self.sb, "jpeg_quality=77\r\nhk_region=16390,83\r\nraw_mouse_percent=60\r\n")
        self.assertEqual(ivtool("post", CLASS, "IvraReloadConfig", 0, 0).returncode, 0)
        ctl = settings_ui.wait_control(quality, lambda c: c["text"] == "77", "reloaded settings")
        self.assertEqual((ctl[region]["text"], ctl[speed]["text"]), ("Ctrl+Shift+S", "150"))
        self.close_settings(pid)

    def test_exit_request_stops_the_agent(self):
        write_config(self.sb, "onboarded=1\r\n")
        agent = Agent(self.sb)
        agent.start()
        pid, _ = self.open_settings()
        self.assertEqual(ivtool("post", CLASS, "IvraExitRequest", 0, 0).returncode, 0)
        wait_for(lambda: not pid_alive(agent.pid), 30, interval=0.2, what="agent exit")
        wait_for(lambda: not pid_alive(pid), 5, interval=0.1, what="settings exit")
        self.assertTrue(self.sb.log_lines()[-1].endswith("ivrad stopped"))
        agent.pid = None

    def test_first_start_without_account_opens_welcome(self):
        agent = Agent(self.sb)  # no config.ini: onboarded is 0 and there is no account
        agent.start()
        info = wait_for(lambda: (lambda i: i if i["count"] else None)(window_info()), 10, what="welcome window")
        self.sb.procs.append(int(info["pid"]))
        self.assertEqual(info["title"], "Ivra Settings - Welcome")
        self.assertIn("account: opened link window (", self.sb.log_text())
        agent.stop()
        self.close_settings(int(info["pid"]))

    def test_welcome_window_is_brought_forward_not_opened_again(self):
        agent = Agent(self.sb)  # onboarded stays 0 across both starts
        agent.start()
        info = wait_for(lambda: (lambda i: i if i["count"] else None)(window_info()), 10, what="welcome window")
        welcome = int(info["pid"])
        self.sb.procs.append(welcome)
        agent.stop()
        self.assertEqual(ivtool("post", CLASS, "IvraShowSettings", 7, 0).returncode, 0)
        wait_for(lambda: window_info()["title"] == "Ivra Settings - About", 5, what="about page")
        agent.start()
        # Brought forward (which shows the general page), and no second window.
        wait_for(lambda: window_info()["title"] == "Ivra Settings - General", 10, what="window brought forward")
        info = window_info()
        self.assertEqual((info["count"], int(info["pid"])), (1, welcome))
        self.assertEqual(self.sb.log_text().count("account: opened link window ("), 1)
        self.assertEqual(self.sb.log_text().count("account: settings window already open; brought it forward"), 1)
        agent.stop()
        self.close_settings(welcome)

    def test_started_with_its_quoted_path_from_a_folder_with_spaces(self):
        # A stand-in ivra.exe that records its command line in schtasks-calls.txt beside itself.
        folder = os.path.join(self.sb.root, "build dir with spaces")
        os.makedirs(folder)
        agent_exe = os.path.join(folder, "ivrad.exe")
        shutil.copy(exe("ivrad"), agent_exe)
        shutil.copy(exe("fake_schtasks"), os.path.join(folder, "ivra.exe"))
        calls = os.path.join(folder, "schtasks-calls.txt")

        def recorded(n):
            try:
                with open(calls, encoding="utf-8") as f:
                    lines = f.read().splitlines()
            except FileNotFoundError:
                return None
            return lines if len(lines) >= n else None
        agent = Agent(self.sb)
        agent.pid = self.sb.start(agent_exe)  # not onboarded: starts ivra.exe --welcome
        quoted = '"%s"' % (win_path(folder) + "\\ivra.exe")
        self.assertEqual(wait_for(lambda: recorded(1), 30, what="welcome start"), [quoted + " --welcome"])
        wait_for(lambda: "ivrad started in" in self.sb.log_text(), 30, what="agent start")
        # A second plain launch finds no settings window and starts ivra.exe without an argument.
        self.assertEqual(self.sb.run(agent_exe, timeout=60).returncode, 0)
        self.assertEqual(wait_for(lambda: recorded(2), 30, what="plain start"), [quoted + " --welcome", quoted])
        agent.stop()


class LinkPageTest(AgentTestCase):
    """The --link page runs the name -> code dialogue against the reference service."""

    def setUp(self):
        super().setUp()
        self.svc = Service(bits=8).start()
        self.addCleanup(self.svc.stop)
        self.svc.config(fixed_code="246810")

    def test_link_with_name_and_code_then_unlink(self):
        pid = self.sb.start("ivra", "--link", env={"IVRA_SERVER": self.svc.url})
        ctl = wait_for(lambda: (lambda c: c if c and 401 in c else None)(settings_ui.controls()), 30,
                       what="link page")
        self.assertEqual(window_info()["title"], "Ivra Settings - Link account")
        self.assertEqual(ctl[400]["text"], "This PC is not linked to a web account.")
        self.assertEqual((ctl[403]["enabled"], ctl[404]["enabled"], ctl[405]["enabled"]), (0, 0, 0))
        settings_ui.focus_settings()
        settings_ui.type_into(ctl[401], "Ann Resident")
        settings_ui.click(ctl[402])
        ctl = settings_ui.wait_control(404, lambda c: c["enabled"] == 1, "code step", timeout=60)
        self.assertEqual(ctl[12]["text"], "Code sent. Check your IMs in Second Life.")
        self.assertEqual(self.svc.code("Ann Resident"), "246810")
        settings_ui.type_into(ctl[403], "246810")
        settings_ui.click(ctl[404])
        ctl = settings_ui.wait_control(12, lambda c: c["text"].startswith("Linked to "), "linked", timeout=60)
        self.assertTrue(ctl[400]["text"].startswith("This PC is linked to "), ctl[400]["text"])
        self.assertTrue(os.path.exists(os.path.join(self.sb.data, "account.dat")))
        with open(os.path.join(self.sb.data, "config.ini"), "rb") as f:
            self.assertIn(b"onboarded=1\r\n", f.read())
        settings_ui.click(ctl[405])
        ctl = settings_ui.wait_control(12, lambda c: c["text"] == "This PC is no longer linked.", "unlinked",
                                       timeout=60)
        self.assertEqual(ctl[400]["text"], "This PC is not linked to a web account.")
        self.assertFalse(os.path.exists(os.path.join(self.sb.data, "account.dat")))
        self.close_settings(pid)

    close_settings = SettingsProgramTest.close_settings


if __name__ == "__main__":
    main()
