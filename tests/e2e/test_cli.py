"""ivrac under Wine: the command-line frame (flags, help, version, unknown
commands, JSON errors, UTF-8 output), the pipe client with agent launch, and
the agent and settings commands."""
import json
import os
import re
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import (AgentTestCase, exe, ivtool, main, pid_alive, wait_for, win_path,  # noqa: E402
                      wine)

VERSION_LINE = b"ivrac 0.2.12\n"
MAIN_HELP_FIRST = "ivrac 0.2.12 — command-line client for the Ivra capture agent.\n".encode("utf-8")
COMMANDS = ["shot", "clip", "replay", "account", "upload", "windows", "screens", "desktops", "last", "status",
            "input", "agent", "config", "settings", "folders", "storage", "agent-docs", "help"]
TASK_NS = "{http://schemas.microsoft.com/windows/2004/02/mit/task}"


class Result:
    def __init__(self, r, took):
        out = r.stdout
        # ivtool launch prints the child's pid first, in text mode.
        m = re.match(rb"pid=\d+\r?\n", out)
        if m:
            out = out[m.end():]
        self.out = out
        self.err = r.stderr
        self.code = r.returncode
        self.took = took
        # Every line ivrac prints must be valid UTF-8.
        self.text = out.decode("utf-8")
        self.err_text = r.stderr.decode("utf-8")

    def json(self):
        return json.loads(self.text)


def window_pid(cls):
    r = ivtool("window-pid", cls)
    return int(r.stdout.split()[0]) if r.returncode == 0 else None


class CliTestCase(AgentTestCase):

    def setUp(self):
        super().setUp()
        os.makedirs(self.sb.data)
        # A first start would open the welcome window; these tests want the agent alone. No
        # capture warm-up: nothing here grabs a frame, and an agent starts seconds sooner.
        with open(os.path.join(self.sb.data, "config.ini"), "w", newline="") as f:
            f.write("onboarded=1\r\ndxgi_keep_warm=0\r\n")

    def tearDown(self):
        for cls in ("IvraAgentWnd", "IvraSettingsWnd"):
            for _ in range(3):
                pid = window_pid(cls)
                if pid is None:
                    break
                self.sb.procs.append(pid)
                ivtool("kill", pid)
                wait_for(lambda: not pid_alive(pid), 10, what="%s exit" % cls)
        super().tearDown()

    def ivrac(self, *args, program=None, timeout=90):
        """Runs ivrac (or a copy at a Linux path) inside the sandbox."""
        prog = program or exe("ivrac")
        t0 = time.monotonic()
        r = wine([exe("ivtool"), "launch"] + self.sb.env_args() + ["--", prog] + [str(a) for a in args],
                 timeout=timeout)
        return Result(r, time.monotonic() - t0)

    def lone_copy(self, extra=()):
        """A folder holding a copy of ivrac.exe and the given (source, name) files only."""
        d = os.path.join(self.sb.root, "lone")
        os.makedirs(d, exist_ok=True)
        shutil.copy(exe("ivrac"), os.path.join(d, "ivrac.exe"))
        for src, name in extra:
            shutil.copy(src, os.path.join(d, name))
        return d

    def agent_pid(self):
        pid = window_pid("IvraAgentWnd")
        if pid is not None:
            self.sb.procs.append(pid)
        return pid


class FrameTest(CliTestCase):

    def main_help(self):
        return self.ivrac().out

    def test_main_help_alone_and_with_only_global_flags(self):
        help_text = self.main_help()
        self.assertTrue(help_text.startswith(MAIN_HELP_FIRST))
        for word in COMMANDS:
            if word != "desktops":
                self.assertIn(("\n  %s " % word).encode(), help_text)
        for flags in (["--json"], ["-q"], ["--json", "-q"]):
            r = self.ivrac(*flags)
            self.assertEqual(r.code, 0, flags)
            self.assertEqual(r.out, help_text, flags)
            self.assertEqual(r.err, b"", flags)

    def test_version_anywhere_on_the_line(self):
        for args in (["--version"], ["shot", "--version"], ["nosuch", "-q", "--version"],
                     ["agent", "stop", "--version"], ["help", "shot", "--version"]):
            r = self.ivrac(*args)
            self.assertEqual((r.code, r.out, r.err), (0, VERSION_LINE, b""), args)
        self.assertFalse(self.agent_pid(), "--version must not start anything")

    def test_help_topics_and_aliases(self):
        for word in COMMANDS:
            a = self.ivrac(word, "--help")
            b = self.ivrac("help", word)
            c = self.ivrac("--help", word)
            self.assertEqual(a.code, 0, word)
            self.assertTrue(a.out, word)
            self.assertIn(b"Usage: ivrac", a.out, word)
            self.assertEqual(a.out, b.out, word)
            self.assertEqual(a.out, c.out, word)
            self.assertEqual(self.ivrac(word, "-h").out, a.out, word)
        self.assertEqual(self.ivrac("help", "desktops").out, self.ivrac("help", "screens").out)
        self.assertIn(b"Print a compact usage guide for LLM agents (same as 'ivrac agent-docs').\n\nUsage: ivrac agent-docs",
                      self.ivrac("help", "agent-docs").out)
        self.assertIn(b"Show help for a command.\n\nUsage: ivrac help [command]", self.ivrac("help", "help").out)
        self.assertEqual(self.ivrac("help").out, self.main_help())
        r = self.ivrac("help", "nosuch")
        self.assertEqual(r.code, 2)
        self.assertEqual(r.err, b"ivrac: unknown command\n")
        self.assertEqual(r.out, self.main_help())

    def test_unknown_command_prints_main_help_only(self):
        r = self.ivrac("nosuch", "--json")
        self.assertEqual(r.code, 2)
        self.assertEqual(r.out, self.main_help())
        self.assertEqual(r.err, b"ivrac: unknown command 'nosuch'\n")
        # A long non-ASCII word is cut to 63 bytes, never inside a character.
        word = "é" * 40
        r = self.ivrac(word)
        self.assertEqual(r.code, 2)
        m = re.fullmatch(r"ivrac: unknown command '(.*)'\n", r.err_text)
        self.assertTrue(m, r.err_text)
        self.assertEqual(m.group(1), "é" * 31)

    def test_usage_failure_and_json_error_object(self):
        r = self.ivrac("agent", "--json")
        self.assertEqual(r.code, 2)
        self.assertEqual(r.json(), {"error": "usage",
                                    "message": "expects start|stop|restart|fix-cursor|dump|autostart"})
        self.assertEqual(r.err_text, "ivrac agent: expects start|stop|restart|fix-cursor|dump|autostart\n"
                                     "Try 'ivrac agent --help'\n")
        r = self.ivrac("settings", "bogus")
        self.assertEqual((r.code, r.out), (2, b""))
        self.assertEqual(r.err_text, "ivrac settings: expects open|close|status|focus\nTry 'ivrac settings --help'\n")

    def test_json_error_escapes_quotes_backslashes_and_tabs(self):
        key = 'a"b\\c\td'
        r = self.ivrac("config", "get", key, "--json")
        self.assertEqual(r.code, 2)
        self.assertIn('\\"', r.text)
        self.assertIn("\\\\", r.text)
        self.assertIn("\\u0009", r.text)
        self.assertNotIn("\t", r.text)
        obj = r.json()
        self.assertEqual(obj["error"], "usage")
        self.assertIn("'%s'" % key, obj["message"])

    def test_storage_without_agent_scans_locally(self):
        # Never starts the agent; the local scan is an answer, not a failure.
        r = self.ivrac("storage", "--json")
        self.assertEqual(r.code, 0)
        self.assertEqual(r.json()["age_s"], 0)
        self.assertEqual(r.err_text, "agent not running; scanning locally\n")
        self.assertFalse(self.agent_pid())

    def test_agent_docs_guide(self):
        r = self.ivrac("agent-docs")
        self.assertEqual(r.code, 0)
        self.assertTrue(r.text.startswith("# Ivra — screenshot CLI for agents\n"))
        headings = [l[3:] for l in r.text.splitlines() if l.startswith("## ")]
        self.assertEqual(headings, ["5-second workflow", "Commands", "Useful flags (shot)",
                                    "Clips (MP4, <= 30 s, one at a time)", "Screens & regions", "Configure",
                                    "Input compatibility", "Folders", "Storage", "Exit codes", "Gotchas"])
        self.assertTrue(4000 < len(r.out) < 9000, len(r.out))
        self.assertEqual(self.ivrac("agent-docs", "--json", "extra").out, r.out)


class LaunchTest(CliTestCase):

    def test_auto_starting_command_starts_the_agent(self):
        # screens starts the agent like agent dump does, without a minidump that takes Wine a minute.
        self.assertIsNone(self.agent_pid())
        r = self.ivrac("screens")
        pid = self.agent_pid()
        self.assertEqual(r.code, 0, r.err_text)
        self.assertEqual(r.err_text, "starting agent...\n")
        self.assertIsNotNone(pid)
        self.assertTrue(r.text.startswith("#0  1920x1080@0,0  "), r.text)
        # With the agent up, no note, and the JSON form lists the same monitor.
        r = self.ivrac("screens", "--json")
        self.assertEqual((r.code, r.err), (0, b""))
        self.assertEqual([(m["w"], m["h"], m["primary"]) for m in r.json()], [(1920, 1080, True)])
        self.assertEqual(self.agent_pid(), pid)

    def test_quiet_suppresses_the_starting_note(self):
        r = self.ivrac("screens", "-q")
        self.assertIsNotNone(self.agent_pid(), "the agent was started")
        self.assertEqual((r.code, r.err), (0, b""))

    def test_missing_ivrad_cannot_be_started(self):
        d = self.lone_copy()
        for args in (["agent", "dump"], ["agent", "start"]):
            r = self.ivrac(*args, program=os.path.join(d, "ivrac.exe"))
            self.assertEqual(r.code, 3, args)
            self.assertIn("ivrac agent: cannot start ivrad.exe (2)\n", r.err_text)
        r = self.ivrac("agent", "dump", "--json", program=os.path.join(d, "ivrac.exe"))
        self.assertEqual(r.json(), {"error": "agent_unavailable", "message": "cannot start ivrad.exe (2)"})

    def test_agent_that_exits_at_once(self):
        d = self.lone_copy([(exe("trivial"), "ivrad.exe")])
        r = self.ivrac("agent", "start", program=os.path.join(d, "ivrac.exe"))
        self.assertEqual(r.code, 3)
        self.assertEqual(r.err_text, "ivrac agent: ivrad.exe exited during startup\n")

    def test_agent_that_never_answers(self):
        ready = os.path.join(self.sb.root, "mute-ready")
        mute = self.sb.start("mute_server", 90, win_path(ready))
        wait_for(lambda: os.path.exists(ready), 20, what="mute pipe")
        # Any request takes the same road; the replay status waits 5 s for its reply, the dump 30 s.
        r = self.ivrac("replay", "status", "--json", timeout=120)
        self.assertEqual(r.code, 1)
        self.assertEqual(r.json(), {"error": "capture_failed", "message": "request failed (no reply)"})
        self.assertIn("ivrac replay: request failed (no reply)\n", r.err_text)
        self.assertNotIn("starting agent", r.err_text)
        self.assertGreater(r.took, 4.9)
        ivtool("kill", mute)


class ReplyTest(CliTestCase):
    """ivrac against a stand-in agent that answers every request with a fixed line."""

    def serve(self, reply):
        ready = os.path.join(self.sb.root, "reply-ready")
        if os.path.exists(ready):
            os.remove(ready)
        pid = self.sb.start("mute_server", 120, win_path(ready), reply)
        wait_for(lambda: os.path.exists(ready), 20, what="reply pipe")
        return pid

    def test_dump_replies(self):
        server = self.serve('ok\\tpath=C:\\dumps\\é "q".dmp\\tsize=10\\n')
        r = self.ivrac("agent", "dump")
        self.assertEqual((r.code, r.text, r.err), (0, 'C:\\dumps\\é "q".dmp\n', b""))
        r = self.ivrac("agent", "dump", "--json")
        self.assertEqual(r.json(), {"path": 'C:\\dumps\\é "q".dmp'})
        ivtool("kill", server)

        server = self.serve("err\\tcode=io\\tmsg=disk\\n")
        r = self.ivrac("agent", "dump", "--json")
        self.assertEqual(r.code, 1)
        self.assertEqual(r.json(), {"error": "dump_failed", "message": "the agent could not write a minidump"})
        ivtool("kill", server)

        # A reply longer than the 1024-byte buffer is cut to 1023 bytes.
        server = self.serve("ok\\tpath=" + "x" * 2000 + "\\n")
        r = self.ivrac("agent", "dump")
        self.assertEqual(r.code, 0)
        self.assertEqual(r.text, "x" * (1023 - len("ok\tpath=")) + "\n")
        ivtool("kill", server)


class AgentCommandTest(CliTestCase):

    def test_stop_without_agent(self):
        r = self.ivrac("agent", "stop")
        self.assertEqual((r.code, r.out), (0, b""))
        self.assertEqual(r.err_text, "agent: not running\n")
        self.assertEqual(self.ivrac("agent", "stop", "-q").err, b"")

    def test_start_then_stop_leaves_no_agent(self):
        r = self.ivrac("agent", "start")
        self.assertEqual(r.code, 0, r.err_text)
        pid = self.agent_pid()
        self.assertIsNotNone(pid)
        self.assertTrue(pid_alive(pid))
        r = self.ivrac("agent", "start")
        self.assertEqual((r.code, r.err_text), (0, "agent already running\n"))
        # A stop waits for the start-up to finish, which may take longer than the 3 s a stop is given.
        wait_for(lambda: "ivrad started in" in self.sb.log_text(), 30, what="agent started")
        r = self.ivrac("agent", "stop")
        self.assertEqual(r.code, 0, r.err_text)
        self.assertFalse(pid_alive(pid))
        self.assertIsNone(window_pid("IvraAgentWnd"))

    def test_restart_gives_a_new_process(self):
        self.assertEqual(self.ivrac("agent", "start").code, 0)
        # A stop waits for the start-up to finish; under Wine the capture thread alone may take
        # longer to get ready than the 3 s a stop is given.
        wait_for(lambda: "ivrad started in" in self.sb.log_text(), 30, what="agent started")
        first = self.agent_pid()
        r = self.ivrac("agent", "restart")
        self.assertEqual(r.code, 0, r.err_text)
        second = self.agent_pid()
        self.assertIsNotNone(second)
        self.assertNotEqual(first, second)
        self.assertFalse(pid_alive(first))
        self.assertTrue(pid_alive(second))
        # And a restart with no agent just starts one (once the second start-up is over, as above).
        wait_for(lambda: self.sb.log_text().count("ivrad started in") >= 2, 30, what="second agent started")
        self.assertEqual(self.ivrac("agent", "stop").code, 0)
        r = self.ivrac("agent", "restart")
        self.assertEqual(r.code, 0, r.err_text)
        self.assertIsNotNone(self.agent_pid())

    def test_fix_cursor_removes_the_marker(self):
        marker = os.path.join(self.sb.data, "cursor_hidden")
        open(marker, "w").close()
        r = self.ivrac("agent", "fix-cursor")
        self.assertEqual((r.code, r.err_text), (0, "system cursors restored\n"))
        self.assertFalse(os.path.exists(marker))

    def autostart_folder(self):
        d = self.lone_copy([(exe("fake_schtasks"), "schtasks.exe")])
        return d, os.path.join(d, "ivrac.exe")

    def calls(self, d):
        try:
            with open(os.path.join(d, "schtasks-calls.txt"), encoding="utf-8") as f:
                return [l.rstrip("\r\n") for l in f]
        except FileNotFoundError:
            return []

    def test_autostart_on_status_off(self):
        d, prog = self.autostart_folder()
        reg_key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
        wine(["reg", "add", reg_key, "/v", "Ivra", "/d", "old", "/f"])
        r = self.ivrac("agent", "autostart", program=prog)
        self.assertEqual((r.code, r.text), (0, "autostart      off\n"))

        r = self.ivrac("agent", "autostart", "on", program=prog)
        self.assertEqual(r.code, 0, r.err_text)
        self.assertEqual(r.text, 'autostart      on  (Task Scheduler "Ivra", at log on, +10 s)\n')
        # The older Run value is gone.
        self.assertNotEqual(wine(["reg", "query", reg_key, "/v", "Ivra"]).returncode, 0)
        xml_path = win_path(os.path.join(self.sb.temp, "ivra-task.xml"))
        calls = self.calls(d)
        self.assertEqual(calls[-2:], ['schtasks.exe /Create /TN Ivra /XML "%s" /F' % xml_path,
                                      "schtasks.exe /Query /TN Ivra"])
        self.assertFalse(os.path.exists(os.path.join(self.sb.temp, "ivra-task.xml")), "temporary file left")

        with open(os.path.join(d, "task.xml"), "rb") as f:
            raw = f.read()
        self.assertTrue(raw.startswith(b"\xff\xfe"), raw[:4])
        text = raw[2:].decode("utf-16-le")
        self.assertNotIn("\n", text.replace("\r\n", ""))
        self.assertTrue(text.startswith('<?xml version="1.0" encoding="UTF-16"?>\r\n'))
        root = ET.fromstring(raw)
        self.assertEqual(root.tag, TASK_NS + "Task")
        self.assertEqual(root.get("version"), "1.2")
        exec_ = root.find(TASK_NS + "Actions/" + TASK_NS + "Exec")
        self.assertEqual(exec_.find(TASK_NS + "Command").text, win_path(os.path.join(d, "ivrad.exe")))
        self.assertEqual(exec_.find(TASK_NS + "Arguments").text, "--autostart")
        self.assertEqual(exec_.find(TASK_NS + "WorkingDirectory").text, win_path(d))
        trigger = root.find(TASK_NS + "Triggers/" + TASK_NS + "LogonTrigger")
        self.assertEqual(trigger.find(TASK_NS + "Delay").text, "PT10S")
        user = trigger.find(TASK_NS + "UserId").text
        self.assertTrue(user == "tester" or user.endswith("\\tester"), user)
        principal = root.find(TASK_NS + "Principals/" + TASK_NS + "Principal")
        self.assertEqual(principal.get("id"), "Author")
        self.assertEqual(principal.find(TASK_NS + "UserId").text, user)

        r = self.ivrac("agent", "autostart", "--json", program=prog)
        self.assertEqual(r.json(), {"autostart": True, "method": "scheduled task (at log on)"})

        r = self.ivrac("agent", "autostart", "off", program=prog)
        self.assertEqual((r.code, r.text), (0, "autostart      off\n"))
        self.assertEqual(self.calls(d)[-2:], ["schtasks.exe /Delete /TN Ivra /F", "schtasks.exe /Query /TN Ivra"])
        r = self.ivrac("agent", "autostart", "status", "--json", program=prog)
        self.assertEqual(r.json(), {"autostart": False, "method": "scheduled task (at log on)"})

        r = self.ivrac("agent", "autostart", "maybe", program=prog)
        self.assertEqual(r.code, 2)
        self.assertIn("ivrac agent: autostart expects on|off|status\n", r.err_text)

    def test_autostart_failure_of_schtasks_is_reported(self):
        # ivtool answers 2 to every command line schtasks would get.
        d = self.lone_copy([(exe("ivtool"), "schtasks.exe")])
        r = self.ivrac("agent", "autostart", "on", "--json", program=os.path.join(d, "ivrac.exe"))
        self.assertEqual(r.code, 1)
        self.assertEqual(r.json()["error"], "autostart")
        self.assertFalse(os.path.exists(os.path.join(self.sb.temp, "ivra-task.xml")))

    def test_autostart_with_wines_schtasks(self):
        # Wine's schtasks registers the task file but answers every /Query with 0
        # ("Unsupported command"), so only registration and removal can be checked.
        prefix = os.environ.get("WINEPREFIX") or "/var/cache/ivra/wineprefix"
        task = os.path.join(prefix, "drive_c", "windows", "system32", "tasks", "Ivra")
        r = self.ivrac("agent", "autostart", "on")
        self.assertEqual(r.code, 0, r.err_text)
        self.assertTrue(r.text.startswith("autostart      on"))
        self.assertTrue(os.path.exists(task))
        r = self.ivrac("agent", "autostart", "off")
        self.assertEqual(r.code, 0, r.err_text)
        self.assertFalse(os.path.exists(task))


class SettingsCommandTest(CliTestCase):

    def test_open_status_focus_close(self):
        r = self.ivrac("settings", "status")
        self.assertEqual((r.code, r.text), (0, "settings: closed\n"))
        r = self.ivrac("settings", "focus", "--json")
        self.assertEqual(r.code, 1)
        self.assertEqual(r.json(), {"error": "not_found", "message": "settings window is not open"})
        r = self.ivrac("settings", "close")
        self.assertEqual((r.code, r.err_text), (0, "settings window is not open\n"))

        r = self.ivrac("settings", "open")
        self.assertEqual(r.code, 0, r.err_text)
        pid = window_pid("IvraSettingsWnd")
        self.assertIsNotNone(pid)
        self.sb.procs.append(pid)
        self.assertEqual(self.ivrac("settings", "status", "--json").json(), {"open": True})
        self.assertEqual(self.ivrac("settings", "focus").code, 0)
        # A second open raises the same window instead of starting another program.
        self.assertEqual(self.ivrac("settings", "open").code, 0)
        self.assertEqual(window_pid("IvraSettingsWnd"), pid)

        r = self.ivrac("settings", "close")
        self.assertEqual((r.code, r.err), (0, b""))
        wait_for(lambda: not pid_alive(pid), 10, what="settings program exit")
        self.assertEqual(self.ivrac("settings", "status").text, "settings: closed\n")

    def test_missing_settings_program(self):
        d = self.lone_copy()
        r = self.ivrac("settings", "open", "--json", program=os.path.join(d, "ivrac.exe"))
        self.assertEqual(r.code, 1)
        self.assertEqual(r.json(), {"error": "capture_failed", "message": "cannot start ivra.exe (2)"})


if __name__ == "__main__":
    main()
