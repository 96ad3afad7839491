"""The settings window edited by hand: xdotool types into its fields and
records a hotkey, Save writes config.ini as `ivrac config set` would and the
running agent takes the change; refused values; the welcome's "Not now"."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import (Agent, AgentTestCase, SharedAgentTestCase, exe, ivtool, main, pid_alive,  # noqa: E402
                      reply_fields, wait_for, wine)

CLASS = "IvraSettingsWnd"
SAVE, STATUS, PAGE_FIRST, WELCOME_LATER = 10, 12, 110, 302
PAGE_HOTKEYS = PAGE_FIRST + 2


def controls():
    """The settings window's child controls by id: dicts of the tool's fields (None: no window)."""
    r = wine([exe("settingsctl")])
    if r.returncode != 0:
        return None
    out = {}
    for line in r.stdout.decode("utf-8", "replace").splitlines():
        fields = dict(f.split("=", 1) for f in line.rstrip("\r").split("\t") if "=" in f)
        for k in ("id", "visible", "enabled", "check", "x", "y", "w", "h"):
            fields[k] = int(fields[k])
        out[fields["id"]] = fields
    return out


def field_id(ctl, label):
    """The id of the field whose label reads label (labels are 100 above their field)."""
    for c in ctl.values():
        if c["text"] == label and 1100 <= c["id"] < 1200:
            return c["id"] - 100
    raise AssertionError("no field labelled %r" % label)


def xdotool(*args):
    subprocess.run(["xdotool"] + [str(a) for a in args], check=True, timeout=30)


def click(c):
    xdotool("mousemove", c["x"] + c["w"] // 2, c["y"] + c["h"] // 2, "click", "1")


def focus_settings():
    """Wine hears X key events only while one of its windows has the X focus."""
    found = wait_for(lambda: subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Ivra Settings - "],
                                            capture_output=True, timeout=30).stdout.split(), 15,
                     what="settings window on X")
    xdotool("windowfocus", "--sync", found[0].decode())


def wait_control(cid, cond, what, timeout=30):
    return wait_for(lambda: (lambda c: c if c and cid in c and cond(c[cid]) else None)(controls()), timeout,
                    interval=0.2, what=what)


def open_settings(sb, *args):
    pid = sb.start("ivra", *args)
    ctl = wait_for(lambda: (lambda c: c if c and SAVE in c else None)(controls()), 30, what="settings window")
    focus_settings()
    return pid, ctl


def close_settings(pid):
    ivtool("wm-close", CLASS)
    wait_for(lambda: not pid_alive(pid), 10, interval=0.1, what="settings program exit")


def type_into(c, text):
    """Replaces an edit field's text the way a person would."""
    click(c)
    xdotool("key", "--delay", "20", "End", *(["BackSpace"] * 8))
    xdotool("type", "--delay", "30", text)


class SettingsWindowTest(SharedAgentTestCase):

    @classmethod
    def prepare(cls, sb):
        os.makedirs(sb.data)
        with open(os.path.join(sb.data, "config.ini"), "wb") as f:
            f.write(b"onboarded=1\r\n")

    def setUp(self):
        self.ini = os.path.join(self.sb.data, "config.ini")
        with open(self.ini, "rb") as f:
            self.before = f.read()
        self.addCleanup(self.restore_ini)

    def restore_ini(self):
        with open(self.ini, "wb") as f:
            f.write(self.before)

    def read_ini(self):
        with open(self.ini, "rb") as f:
            return f.read()

    def ivrac(self, *args):
        return self.sb.run("ivrac", *args, timeout=90)

    def test_typed_quality_and_recorded_hotkey_save_like_ivrac_and_reach_the_agent(self):
        pid, ctl = open_settings(self.sb)
        self.addCleanup(close_settings, pid)
        quality = field_id(ctl, "JPEG quality (1-100)")
        region = field_id(ctl, "Hotkey: capture region")
        # X delivers these in order, so each step has happened before the next one's event
        # arrives; the window is read back once, after Save.
        type_into(ctl[quality], "77")
        click(ctl[PAGE_HOTKEYS])
        click(ctl[region])
        # Each press replaces the one recorded before it.
        xdotool("type", "x")
        xdotool("key", "ctrl+alt+r")
        click(ctl[SAVE])
        ctl = wait_control(STATUS, lambda c: c["text"] == "Saved.", "saved")
        self.assertEqual((ctl[quality]["text"], ctl[region]["text"], ctl[region]["visible"]), ("77", "Ctrl+Alt+R", 1))
        self.assertIn("title=Ivra Settings - Hotkeys", wine([exe("wintext"), CLASS]).stdout.decode())
        saved = self.read_ini()
        self.assertIn(b"jpeg_quality=77\r\n", saved)

        # The agent re-read it on its own: status reports the new hotkey registered.
        def region_hotkey():
            f = reply_fields(self.agent.pipe("status\n"))
            return f.get("hk_region")
        self.assertEqual(wait_for(lambda: (lambda v: v if v and v.startswith("Ctrl+Alt+R") else None)(
            region_hotkey()), 10, what="agent's new hotkey"), "Ctrl+Alt+R:ok")

        # ivrac, given the same file and the same values, writes the same bytes.
        self.restore_ini()
        r = self.ivrac("config", "set", "jpeg_quality", "77", "hk_region", "Ctrl+Alt+R")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read_ini(), saved)

    def test_refused_value_shows_the_schemas_message_and_leaves_the_file(self):
        pid, ctl = open_settings(self.sb)
        self.addCleanup(close_settings, pid)
        quality = field_id(ctl, "JPEG quality (1-100)")
        type_into(ctl[quality], "150")
        click(ctl[PAGE_HOTKEYS])
        click(ctl[SAVE])
        ctl = wait_control(STATUS, lambda c: c["text"] not in ("", "Saved."), "refusal")
        status = ctl[STATUS]["text"]
        # The window went back to the refused field's page.
        self.assertEqual((ctl[quality]["visible"], ctl[quality]["text"]), (1, "150"))
        self.assertEqual(status, "jpeg_quality must be 1..100 (got 150)")
        self.assertEqual(self.read_ini(), self.before)
        r = self.ivrac("config", "set", "jpeg_quality", "150")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn(status, r.stderr.decode())
        self.assertEqual(self.read_ini(), self.before)


class WelcomeTest(AgentTestCase):

    def test_not_now_sets_onboarded_and_the_next_start_opens_no_window(self):
        agent = Agent(self.sb)  # no config.ini and no account: the welcome opens
        self.addCleanup(agent.stop)
        agent.start()
        ctl = wait_for(lambda: (lambda c: c if c and WELCOME_LATER in c else None)(controls()), 30,
                       what="welcome window")
        pid = int(ivtool("window-pid", CLASS).stdout.split()[0])
        self.sb.procs.append(pid)
        self.assertEqual(ctl[WELCOME_LATER]["text"], "Not now")
        self.assertEqual(ctl[WELCOME_LATER - 1]["text"], "Link account")
        focus_settings()
        click(ctl[WELCOME_LATER])
        wait_for(lambda: not pid_alive(pid), 15, interval=0.2, what="welcome closed")
        ini = os.path.join(self.sb.data, "config.ini")
        with open(ini, "rb") as f:
            saved = f.read()
        self.assertIn(b"onboarded=1\r\n", saved)
        # The same bytes as the client's own change of the same key.
        os.remove(ini)
        self.assertEqual(self.sb.run("ivrac", "config", "set", "onboarded", "1", timeout=90).returncode, 0)
        with open(ini, "rb") as f:
            self.assertEqual(f.read(), saved)

        agent.stop()
        agent.start()
        # A reload is answered by the main thread only after its start-up, welcome step included.
        self.assertTrue(agent.pipe("reload\n").startswith(b"ok"))
        self.assertEqual(self.sb.log_text().count("account: opened link window ("), 1)
        self.assertEqual(ivtool("window-pid", CLASS).returncode, 1)


if __name__ == "__main__":
    main()
