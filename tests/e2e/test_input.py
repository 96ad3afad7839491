"""The input broker under Wine, driven with xdotool: a digit held with the
screen hotkey picks the folder slot unless it was pressed more than 10 s
before, one press heard on three routes (or held and repeated) makes one
action, modifiers must match exactly, a key whose release Wine never saw fires
again, `ivrac input` and the pipe's `input` reply count what happened, a reload
moves the region hotkey without a restart, hotkeys are blocked while a
selection is open, and raw mouse motion moves the overlay's pointer by
`raw_mouse_percent` without leaving the screen."""
import ctypes
import glob
import json
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import (SharedAgentTestCase, WINE_RUN, exe, ivtool, log_time, main, pid_alive,  # noqa: E402
                      read_pattern_windows, stop_pattern_windows, wait_for, win_path)

# Ctrl+Shift+S without auto-repeat; the modifier word is RegisterHotKey's with MOD_NOREPEAT.
SCREEN_HOTKEY = "16390,83"
# Ctrl+C (window action): the exact-modifier case.
WINDOW_HOTKEY = "16386,67"
# The pattern window that holds the X focus, so that Wine hears the keys.
PATTERN = (1500, 60, 300, 200, 5)
# A selection covers both its anchor pixel and its final pixel.
END_PIXEL = 1
COUNTERS = ("registered_events", "raw_events", "hook_events", "registered_activations", "raw_activations",
            "hook_activations", "duplicates", "stale", "blocked", "dropped")


def xdo(*args):
    subprocess.run(["xdotool"] + [str(a) for a in args], check=True, timeout=30)


def x_request(name, *args):
    """Makes one Xlib request on the test's display (integer arguments after the display)."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(None)
    if not dpy:
        raise AssertionError("cannot open the X display %r" % os.environ.get("DISPLAY"))
    try:
        getattr(x11, name)(ctypes.c_void_p(dpy), *[ctypes.c_ulong(a) for a in args])
    finally:
        x11.XCloseDisplay(dpy)


def x_autorepeat(on):
    """Turns the X server's key auto-repeat on or off."""
    x_request("XAutoRepeatOn" if on else "XAutoRepeatOff")


def x_focus_none():
    """Moves the X focus to no window: key events then reach no client, so Wine hears nothing."""
    x_request("XSetInputFocus", 0, 0, 0)  # None, RevertToNone, CurrentTime


def parse_fields(reply):
    text = reply.decode("utf-8", "replace").rstrip("\n")
    parts = text.split("\t")
    return parts[0], dict(p.split("=", 1) for p in parts[1:] if "=" in p)


class BrokerTestCase(SharedAgentTestCase):
    """One agent per class with a focused pattern window; each test starts with
    the Wine window holding the X focus and no key down."""

    config = {}

    @classmethod
    def prepare(cls, sb):
        cls.shots = os.path.join(sb.profile, "shots")
        cls.slots = {d: os.path.join(sb.profile, "slot%d" % d) for d in (3, 4)}
        cfg = {"onboarded": "1", "hk_screen": SCREEN_HOTKEY, "hk_region": "0,0", "stills_dir": win_path(cls.shots),
               "folder3": win_path(cls.slots[3]), "folder4": win_path(cls.slots[4]), "warn_free_mb": "0",
               "stop_free_mb": "0", "play_sound": "0", "hotkey_raw": "1", "hotkey_hook": "1"}
        cfg.update(cls.config)
        os.makedirs(sb.data, exist_ok=True)
        with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
            for k, v in cfg.items():
                f.write("%s=%s\r\n" % (k, v))
        # The window exists before the agent, so the agent's first key already reaches Wine.
        proc = subprocess.Popen([WINE_RUN, exe("pattern_windows"), ",".join(str(v) for v in PATTERN)],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        cls.pattern_proc, cls.pattern_pid = proc, None
        cls.pattern_pid, lines, _ = read_pattern_windows(proc)
        if "ready" not in lines:
            raise AssertionError("pattern window did not start: %r" % lines)
        found = wait_for(lambda: subprocess.run(["xdotool", "search", "--name", "^Ivra pattern$"],
                                                capture_output=True, timeout=30).stdout.split(), 10,
                         what="pattern window on X")
        cls.pattern_xid = found[0].decode()

    @classmethod
    def setUpClass(cls):
        cls.pattern_proc = None
        try:
            super().setUpClass()
        except BaseException:
            cls.stop_pattern()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            super().tearDownClass()
        finally:
            cls.stop_pattern()

    @classmethod
    def stop_pattern(cls):
        if cls.pattern_proc is None:
            return
        stop_pattern_windows(cls.pattern_pid, cls.pattern_proc)
        cls.pattern_proc = None

    def setUp(self):
        self.focus_wine()

    def focus_wine(self):
        """Gives the pattern window the X focus and, by a click, Wine's foreground."""
        xdo("windowfocus", "--sync", self.pattern_xid)
        x, y, w, h, _ = PATTERN
        # No --sync: it waits for a motion that never comes when the pointer is already there.
        xdo("mousemove", x + w // 2, y + h // 2, "click", "1")

    def hold(self, keys):
        """Presses keys (xdotool names joined by +) and releases them at clean-up."""
        xdo("keydown", keys)
        self.addCleanup(xdo, "keyup", keys)

    def hotkey_lines(self, action="screen"):
        return [l for l in self.sb.log_lines() if "hotkey: %s " % action in l]

    def wait_hotkey_lines(self, n, action="screen"):
        try:
            return wait_for(lambda: len(self.hotkey_lines(action)) >= n and self.hotkey_lines(action), 20,
                            what="%d '%s' hotkey line(s)" % (n, action))
        except AssertionError:
            print("\n".join(self.sb.log_lines()[-20:]))
            raise

    def saved_paths(self):
        return [l.split("capture: saved ", 1)[1].rsplit(" (", 1)[0] for l in self.sb.log_lines()
                if "capture: saved " in l]

    def wait_saved(self, n):
        return wait_for(lambda: len(self.saved_paths()) >= n and self.saved_paths(), 30,
                        what="%d saved capture(s)" % n)

    def files_in(self, folder):
        return sorted(p for p in glob.glob(os.path.join(folder, "**", "Ivra_*"), recursive=True) if os.path.isfile(p))

    def assert_saved_into(self, folder, path):
        """The log names files with the profile folder hidden: the file itself must be in folder."""
        name = path.rsplit("\\", 1)[-1]
        self.assertIn(name, [os.path.basename(p) for p in self.files_in(folder)], path)

    def input_json(self):
        r = self.sb.run("ivrac", "input", "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        # The launcher's own "pid=" line comes first.
        return json.loads(r.stdout.decode().split("\n", 1)[1])

    def input_pipe(self):
        status, fields = parse_fields(self.agent.pipe("input\n"))
        self.assertEqual(status, "ok", fields)
        return fields

    def counters(self):
        return {k: int(v) for k, v in self.input_pipe().items() if k in COUNTERS}

    def delta(self, before):
        now = self.counters()
        return {k: now[k] - before[k] for k in COUNTERS}


class KeyTest(BrokerTestCase):
    config = {"hk_window": WINDOW_HOTKEY}

    def setUp(self):
        super().setUp()
        # Every screen or window shot an earlier test fired is saved before this one counts
        # saves of its own: a save that lands late would count as this test's.
        fired = lambda: len(self.hotkey_lines("screen")) + len(self.hotkey_lines("window"))
        wait_for(lambda: len(self.saved_paths()) >= fired(), 20, interval=0.2, what="earlier tests' shots saved")

    def autorepeat_off(self):
        """Without auto-repeat a held chord is one press on each route, so counts are exact."""
        x_autorepeat(False)
        self.addCleanup(x_autorepeat, True)

    def test_held_digit_picks_the_folder_slot(self):
        saved = len(self.saved_paths())
        lines = len(self.hotkey_lines())
        self.hold("3")
        xdo("key", "ctrl+shift+s")
        line = self.wait_hotkey_lines(lines + 1)[-1]
        self.assertIn("hotkey: screen digit=3 route=", line)
        path = self.wait_saved(saved + 1)[-1]
        self.assert_saved_into(self.slots[3], path)

    def test_digit_pressed_over_ten_seconds_before_is_passed_over(self):
        # 3 stays held throughout; the first shot proves it counts while fresh.
        lines = len(self.hotkey_lines())
        saved = len(self.saved_paths())
        self.hold("3")
        xdo("key", "ctrl+shift+s")
        first = self.wait_hotkey_lines(lines + 1)[-1]
        self.assertIn("digit=3 ", first)
        self.wait_saved(saved + 1)
        # The one real wait: the age rule is measured against the key's own press time.
        time.sleep(10.5)
        # The aged 3 alone: no digit, and the agent window does not poll one up either.
        xdo("key", "ctrl+shift+s")
        second = self.wait_hotkey_lines(lines + 2)[-1]
        self.assertGreater(log_time(second) - log_time(first), 10.0, (first, second))
        self.assertIn("hotkey: screen digit=0 route=", second)
        self.assert_saved_into(self.shots, self.wait_saved(saved + 2)[-1])
        # A fresh 4 next to the aged 3: the folder shows which digit the chord took.
        self.hold("4")
        xdo("key", "ctrl+shift+s")
        third = self.wait_hotkey_lines(lines + 3)[-1]
        self.assertIn("hotkey: screen digit=4 route=", third)
        self.assert_saved_into(self.slots[4], self.wait_saved(saved + 3)[-1])

    def test_one_press_heard_on_three_routes_makes_one_action(self):
        self.autorepeat_off()
        before = self.counters()
        lines, saved = len(self.hotkey_lines()), len(self.saved_paths())
        xdo("keydown", "ctrl+shift+s")
        try:
            self.wait_hotkey_lines(lines + 1)
            # Every route reports the press before the keys go up, so each late report is a duplicate.
            wait_for(lambda: (lambda d: d["registered_events"] >= 1 and d["raw_events"] >= 3 and
                              d["hook_events"] >= 3)(self.delta(before)), 10, what="the press on every route")
        finally:
            xdo("keyup", "ctrl+shift+s")
        wait_for(lambda: (lambda d: d["raw_events"] >= 6 and d["hook_events"] >= 6)(self.delta(before)), 10,
                 what="the releases on the raw and hook routes")
        self.wait_saved(saved + 1)
        d = self.delta(before)
        activations = d["registered_activations"] + d["raw_activations"] + d["hook_activations"]
        # Ctrl, Shift and S go down and up: six events on each key route, one WM_HOTKEY.
        self.assertEqual((d["registered_events"], d["raw_events"], d["hook_events"]), (1, 6, 6), d)
        self.assertEqual((activations, d["duplicates"], d["stale"], d["blocked"], d["dropped"]), (1, 2, 0, 0, 0), d)
        self.assertEqual(len(self.hotkey_lines()), lines + 1)
        self.assertEqual(len(self.saved_paths()), saved + 1)
        info = self.input_json()
        for key in ("running", "raw_enabled", "hook_enabled", "raw_ready", "hook_ready", "registered_screen",
                    "registered_window"):
            self.assertIs(info[key], True, key)
        self.assertIs(info["registered_region"], False)
        # Wine calls the hook before it queues the key, and the hook's posted report is
        # read before the raw input message; WM_HOTKEY takes a hop through the agent window.
        self.assertEqual((info["last_action"], info["last_route"]), (1, "hook"))
        self.assertEqual(d["hook_activations"], 1, d)
        self.assertIn("route=hook", self.hotkey_lines()[-1])

    def test_held_hotkey_makes_one_action(self):
        # X repeats the held S on every route, WM_HOTKEY included (Wine ignores MOD_NOREPEAT).
        x_autorepeat(True)
        before = self.counters()
        lines = len(self.hotkey_lines())
        xdo("keydown", "ctrl+shift+s")
        try:
            wait_for(lambda: self.delta(before)["hook_events"] >= 3 + 5, 10, what="five repeats of S")
        finally:
            xdo("keyup", "ctrl+shift+s")
        wait_for(lambda: self.delta(before)["hook_events"] >= 6 + 5, 10, what="the release")
        d = self.delta(before)
        self.assertEqual(d["registered_activations"] + d["raw_activations"] + d["hook_activations"], 1, d)
        self.assertGreaterEqual(d["duplicates"], 2 * 5, d)
        self.assertEqual(len(self.hotkey_lines()), lines + 1)

    def test_extra_modifier_does_not_fire(self):
        lines = len(self.hotkey_lines("window"))
        saved = len(self.saved_paths())
        before = self.counters()
        xdo("key", "ctrl+shift+c")
        # Every route has had the chord once the hook route reports Shift going up; an action
        # would have been posted by then, and the counters' pipe round trip lets it reach the log.
        wait_for(lambda: self.delta(before)["hook_events"] >= 6, 10, what="Ctrl+Shift+C on the hook route")
        d = self.delta(before)
        self.assertEqual(d["raw_events"], 6, d)
        self.assertEqual((d["registered_events"], d["raw_activations"], d["hook_activations"]), (0, 0, 0), d)
        self.assertEqual(len(self.hotkey_lines("window")), lines)
        xdo("key", "ctrl+c")
        self.wait_hotkey_lines(lines + 1, "window")
        self.assertEqual(len(self.hotkey_lines("window")), lines + 1)
        # The window shot is saved before the next test counts saves of its own.
        self.wait_saved(saved + 1)

    def test_key_released_outside_wine_fires_again(self):
        self.autorepeat_off()
        lines = len(self.hotkey_lines())
        before = self.counters()
        xdo("keydown", "ctrl+shift+s")
        try:
            self.wait_hotkey_lines(lines + 1)
            # With the X focus nowhere, Wine never hears the keys go up.
            x_focus_none()
        finally:
            xdo("keyup", "ctrl+shift+s")
        self.focus_wine()
        d = self.delta(before)
        self.assertEqual((d["raw_events"], d["hook_events"]), (3, 3), d)
        xdo("key", "ctrl+shift+s")
        self.wait_hotkey_lines(lines + 2)
        d = self.delta(before)
        self.assertEqual((d["raw_events"], d["hook_events"]), (9, 9), d)
        self.assertEqual(d["registered_activations"] + d["raw_activations"] + d["hook_activations"], 2, d)

    def test_input_reply_counts_presses(self):
        status, fields = parse_fields(self.agent.pipe("input\n"))
        self.assertEqual(status, "ok")
        self.assertEqual([k for k in fields][:10], ["running", "raw_enabled", "hook_enabled", "raw_ready", "hook_ready",
                                                    "raw_error", "hook_error", "mouse_ready", "mouse_error",
                                                    "registered_screen"])
        self.assertEqual((fields["running"], fields["raw_ready"], fields["hook_ready"], fields["session_active"]),
                         ("1", "1", "1", "0"))
        before = {k: int(fields[k]) for k in COUNTERS}
        lines = len(self.hotkey_lines())
        xdo("key", "ctrl+shift+s")
        self.wait_hotkey_lines(lines + 1)
        info = wait_for(lambda: (lambda i: i["hook_events"] >= before["hook_events"] + 6 and i)(self.input_json()),
                        10, what="the press in ivrac input")
        self.assertGreaterEqual(info["raw_events"], before["raw_events"] + 6)
        self.assertEqual(sum(info[r + "_activations"] for r in ("registered", "raw", "hook")),
                         sum(before[r + "_activations"] for r in ("registered", "raw", "hook")) + 1)
        self.assertEqual((info["last_action"], info["session_active"], info["mouse_mode"]), (1, False, "none"))


class RegionTest(BrokerTestCase):
    """The region hotkey and the overlay's raw mouse. Wine reports XTest pointer
    motion as relative raw mouse input, so the raw pointer can be driven from outside."""
    config = {"hk_region": "16390,67", "region_input": "2"}  # Ctrl+Shift+C


    def status_hotkey(self, key):
        status, fields = parse_fields(self.agent.pipe("status\n"))
        self.assertEqual(status, "ok")
        return fields[key]

    def test_reload_moves_the_region_hotkey(self):
        self.assertEqual(self.status_hotkey("hk_region"), "Ctrl+Shift+C:ok")
        reloads = self.sb.log_text().count("config reloaded")
        r = self.sb.run("ivrac", "config", "set", "hk_region", "Ctrl+Shift+R")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.sb.log_text().count("config reloaded"), reloads + 1)
        self.assertEqual(self.status_hotkey("hk_region"), "Ctrl+Shift+R:ok")
        self.assertEqual(self.input_pipe()["registered_region"], "1")
        self.focus_wine()
        lines = len(self.hotkey_lines("region"))
        # The old chord is gone from every route: once the hook route has seen Shift go up,
        # a screen shot follows and no region action came before it.
        before = self.counters()
        xdo("key", "ctrl+shift+c")
        wait_for(lambda: self.delta(before)["hook_events"] >= 4, 10, what="Ctrl+Shift+C on the hook route")
        screens = len(self.hotkey_lines())
        xdo("key", "ctrl+shift+s")
        self.wait_hotkey_lines(screens + 1)
        self.assertEqual(len(self.hotkey_lines("region")), lines)
        overlays = self.sb.log_text().count("overlay input: ")
        cancels = self.sb.log_text().count("region cancelled")
        xdo("key", "ctrl+shift+r")
        line = self.wait_hotkey_lines(lines + 1, "region")[-1]
        self.assertIn("hotkey: region digit=0 route=", line)
        try:
            wait_for(lambda: self.sb.log_text().count("overlay input: ") > overlays, 20, what="the region overlay")
        finally:
            xdo("key", "Escape")
        wait_for(lambda: self.sb.log_text().count("region cancelled") > cancels, 20, what="region cancelled")
        wait_for(lambda: self.input_pipe()["session_active"] == "0", 10, what="the selection to detach")

    def test_hotkey_while_selecting_is_blocked(self):
        x_autorepeat(False)
        self.addCleanup(x_autorepeat, True)
        replies = []
        worker = threading.Thread(target=lambda: replies.append(self.agent.pipe("shot\ttarget=pick\n", 60000)))
        overlays = self.sb.log_text().count("overlay input: ")
        lines = len(self.hotkey_lines())
        worker.start()
        try:
            wait_for(lambda: self.sb.log_text().count("overlay input: ") > overlays, 20, what="the overlay")
            before = self.counters()
            # Held until every route reported the press: a route that lags behind another's
            # release would find the modifiers already up and match nothing.
            xdo("keydown", "ctrl+shift+s")
            try:
                wait_for(lambda: (lambda d: d["registered_events"] >= 1 and d["hook_events"] >= 3 and
                                  d["raw_events"] >= 3)(self.delta(before)), 10, what="the chord on every route")
            finally:
                xdo("keyup", "ctrl+shift+s")
            wait_for(lambda: (lambda d: d["hook_events"] >= 6 and d["raw_events"] >= 6)(self.delta(before)), 10,
                     what="the releases on the raw and hook routes")
            d = self.delta(before)
        finally:
            xdo("key", "Escape")
            worker.join(60)
        self.assertEqual(replies, [b"err\tcode=cancelled\tmsg=pick cancelled\n"])
        # The first report is blocked; the others are late reports of a press already handled.
        self.assertEqual((d["blocked"], d["duplicates"]), (1, 2), d)
        self.assertEqual(d["registered_activations"] + d["raw_activations"] + d["hook_activations"], 0, d)
        # One press, one "ignored" line, and no action.
        self.assertEqual([l.split("] ", 2)[-1] for l in self.hotkey_lines()[lines:]],
                         ["hotkey: screen ignored: a region selection is open"])

    def pick_with_raw_drag(self, dx, dy, before=None):
        """Opens a pick, moves the pointer by `before` (an X pixel offset) when given,
        drags by (dx, dy) and returns the reply's fields and the `input` replies seen
        while the overlay was open and after."""
        replies = []
        worker = threading.Thread(target=lambda: replies.append(self.agent.pipe("shot\ttarget=pick\n", 60000)))
        overlays = self.sb.log_text().count("overlay input: raw (forced_raw)")
        worker.start()
        try:
            wait_for(lambda: self.sb.log_text().count("overlay input: raw (forced_raw)") > overlays, 20,
                     what="the overlay in raw mode")
            during = self.input_pipe()
            if before:
                xdo("mousemove_relative", "--", *before)
            # The button reports keep the motions apart: the broker merges only motions without one.
            xdo("mousedown", "1")
            xdo("mousemove_relative", "--", dx, dy)
            xdo("mouseup", "1")
            worker.join(60)
            moved = self.input_pipe()
        finally:
            if worker.is_alive():
                xdo("key", "Escape")
                worker.join(60)
        self.assertEqual(len(replies), 1)
        status, fields = parse_fields(replies[0])
        self.assertEqual(status, "ok", replies[0])
        return fields, during, moved

    def set_percent(self, percent):
        r = self.sb.run("ivrac", "config", "set", "raw_mouse_percent", percent)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.focus_wine()

    def test_raw_motion_moves_the_pointer_by_the_percentage(self):
        self.set_percent(200)
        fast, during, moved = self.pick_with_raw_drag(60, 40)
        self.assertEqual((during["session_active"], during["mouse_mode"], during["mouse_reason"]),
                         ("1", "raw", "forced_raw"))
        self.assertGreater(int(moved["mouse_packets"]), int(during["mouse_packets"]))
        self.set_percent(50)
        slow, _, _ = self.pick_with_raw_drag(60, 40)
        # The pointer moved 120 x 80 at 200 % and 30 x 20 at 50 %; the rectangle spans the
        # anchor and the final point, so both sizes carry the same end-point pixel.
        (fw, fh), (sw, sh) = self.size(fast), self.size(slow)
        self.assertEqual((fw - sw, fh - sh), (90, 60), (fast, slow))
        self.assertEqual((sw, sh), (30 + END_PIXEL, 20 + END_PIXEL), slow)

    def test_raw_pointer_stops_at_the_screen_edge(self):
        self.set_percent(400)
        # 800 x -400 from the click point overshoots the right and top edges; the drag back by
        # 40 x 40 then starts at the last pixel column and the top row, not beyond them.
        fields, _, _ = self.pick_with_raw_drag(-10, 10, before=(200, -100))
        self.assertEqual(self.size(fields), (40 + END_PIXEL, 40 + END_PIXEL), fields)

    @staticmethod
    def size(fields):
        return int(fields["width"]), int(fields["height"])


if __name__ == "__main__":
    main()
