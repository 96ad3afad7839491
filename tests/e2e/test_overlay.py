"""The region overlay under Wine, driven with xdotool like a user: drags save exactly
the dragged rectangle (checked against pattern windows, also across two monitors),
clicks, tiny drags, Escape, a right click and expiry cancel and answer a waiting
pick, Shift makes a square that stops at the screen edge, digit taps choose the
folder slot, the frozen look saves its snapshot, an open overlay makes other
captures busy, and the region hotkey saves what is dragged. Every case runs in the frozen look (region_freeze=1) and the live
look (region_freeze=0)."""
import contextlib
import json
import os
import re
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import (Agent, Sandbox, WINE_RUN, decode_image, exe, ivtool, log_time, main, pid_alive,  # noqa: E402
                      read_pattern_windows, stop_pattern_windows, stop_stray_agents, wait_for, win_path, wine)
import test_capture  # noqa: E402  (the private two-monitor display and prefix)

LOOKS = (("frozen", 1), ("live", 0))
SCREEN_HOTKEY = "16390,83"   # Ctrl+Shift+S, no repeat
CANCELLED = b"err\tcode=cancelled\tmsg=pick cancelled\n"
BUSY = b"err\tcode=busy\tmsg=another capture selection is active or the agent is stopping\n"


def pattern_bgr(u, v, seed):
    """(b, g, r) of pattern_windows' client pixel (u, v)."""
    return ((u * 3 + seed * 40) & 255, (v * 5 + seed * 80) & 255, ((u ^ v) + seed * 20) & 255)


def linux_path(path):
    assert re.match(r"^[Zz]:\\", path), path
    return path[2:].replace("\\", "/")


def reply_fields(reply):
    assert reply.startswith(b"ok\t"), reply
    return dict(f.split("=", 1) for f in reply.decode().rstrip("\n").split("\t")[1:])


def xdo(*args):
    subprocess.run(["xdotool"] + [str(a) for a in args], check=True, timeout=30)


def pointer_window():
    """The X window under the pointer: the one the X server gives a click to."""
    out = subprocess.run(["xdotool", "getmouselocation", "--shell"], capture_output=True, text=True, check=True,
                         timeout=30).stdout
    return dict(f.split("=", 1) for f in out.split())["WINDOW"]


class PatternProcess:
    """One pattern_windows process; windows as (hwnd, client rect, seed)."""

    def __init__(self, *specs, backdrop=False):
        self.proc = subprocess.Popen([WINE_RUN, exe("pattern_windows")] + (["--backdrop"] if backdrop else []) +
                                     list(specs), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.pid = None
        try:
            self.pid, lines, fields = read_pattern_windows(self.proc)
            if "ready" not in lines:
                raise AssertionError("pattern windows did not start: %r" % lines)
        except BaseException:
            self.stop()
            raise
        self.windows = [(int(f["hwnd"], 16), tuple(int(v) for v in f["client"].split(",")), int(f["seed"]))
                        for f in fields]

    def stop(self):
        stop_pattern_windows(self.pid, self.proc)


class Background:
    """A call that blocks until the overlay answers (a pick), run on a thread."""

    def __init__(self, fn):
        self.result = []
        self.thread = threading.Thread(target=lambda: self.result.append(fn()), daemon=True)
        self.thread.start()

    def wait(self, timeout=60):
        self.thread.join(timeout)
        if self.thread.is_alive():
            raise AssertionError("no answer from the overlay within %d s" % timeout)
        return self.result[0]


class OverlayCase:
    """What every overlay class shares: one agent in a sandbox, picks started in the
    background, drags, and the agent's log read from a mark."""

    sb = None
    agent = None
    patterns = None
    pending = []

    @classmethod
    def start_class_agent(cls, env=None):
        """The class's one agent, starting in the frozen look."""
        cls.write_config(region_freeze=1)
        cls.agent = Agent(cls.sb, env=env)
        cls.agent.start()
        # Under load the capture thread may still be starting, and picks would answer busy.
        wait_for(lambda: cls.agent.pipe("screens\n", timeout_ms=30000).startswith(b"ok\t"), 90,
                 interval=0.5, what="capture ready")

    @classmethod
    def stop_class_programs(cls):
        """Stops the class's agent and pattern windows, however far set-up got."""
        try:
            if cls.agent is not None:
                cls.agent.stop()
        finally:
            if cls.patterns is not None:
                cls.patterns.stop()

    @classmethod
    def tearDownClass(cls):
        try:
            cls.stop_class_programs()
        finally:
            cls.sb.cleanup()

    @classmethod
    def write_config(cls, **values):
        cfg = {"onboarded": "1", "play_sound": "0", "warn_free_mb": "0", "stop_free_mb": "0",
               "stills_dir": win_path(cls.shots), "hk_screen": SCREEN_HOTKEY}
        cfg.update(cls.base_config)
        cfg.update({k: str(v) for k, v in values.items()})
        os.makedirs(cls.sb.data, exist_ok=True)
        with open(os.path.join(cls.sb.data, "config.ini"), "w", newline="") as f:
            for k, v in cfg.items():
                f.write("%s=%s\r\n" % (k, v))

    def configure(self, **values):
        """Rewrites config.ini and has the running agent reload it."""
        self.write_config(**values)
        self.assertEqual(self.agent.pipe("reload\n"), b"ok\n")

    def close_overlay(self):
        """Closes an overlay a failed case left open, so the next case is not refused as busy."""
        if wine([exe("overlay_probe"), "close"]).returncode == 0:
            wine([exe("overlay_probe"), "gone", "10000"])
        for bg in self.pending:
            bg.thread.join(30)
        self.pending.clear()

    @contextlib.contextmanager
    def look(self, name, freeze):
        """One look of a case: region_freeze set by a reload; an overlay left open by a failure is closed."""
        with self.subTest(look=name):
            self.configure(region_freeze=freeze)
            try:
                yield
            except BaseException:
                self.close_overlay()
                raise
            self.pending.clear()

    def mark(self):
        return len(self.sb.log_text())

    def log_since(self, mark):
        return self.sb.log_text()[mark:]

    def wait_log(self, mark, needle, timeout=20):
        try:
            return wait_for(lambda: needle in self.log_since(mark), timeout, what=repr(needle))
        except AssertionError:
            print(self.log_since(mark)[-3000:])
            raise

    def files(self, folder):
        out = []
        for root, _, names in os.walk(folder):
            out += [os.path.join(root, n) for n in names if n.startswith("Ivra_")]
        return sorted(out)

    def start_pick(self, at, request="shot\ttarget=pick\ttimeout_ms=30000\n"):
        """Starts a pick with the pointer already at `at`, where a user would start the drag: the
        overlay then sees no sudden jump of the pointer, which it could take for a pinned cursor."""
        xdo("mousemove", at[0], at[1])
        under = pointer_window()
        bg = Background(lambda: self.agent.pipe(request, timeout_ms=90000))
        self.pending.append(bg)
        self.wait_shown(bg, under)
        return bg

    def start_ivrac_pick(self, at, *args):
        xdo("mousemove", at[0], at[1])
        under = pointer_window()

        def run():
            r = self.sb.run("ivrac", "shot", "--pick", "--timeout", "30000", *args, timeout=120)
            m = re.match(rb"pid=\d+\r?\n", r.stdout)
            r.stdout = r.stdout[m.end():] if m else r.stdout
            return r
        bg = Background(run)
        self.pending.append(bg)
        self.wait_shown(bg, under)
        return bg

    def wait_shown(self, bg=None, under=None):
        """Waits inside Windows until the overlay window is visible (failing at once when
        the request was answered instead); checks that it covers the virtual screen. With
        `under`, the X window that was under the pointer before, also waits until X shows the
        overlay there: until then a click still goes to the window below."""
        def shown():
            r = wine([exe("overlay_probe"), "shown", "3000"], timeout=60)
            if r.returncode == 0:
                return r
            if bg is not None and not bg.thread.is_alive():
                print(self.sb.log_text()[-2000:])
                self.fail("answered without an overlay: %r" % (bg.result,))
            return None
        try:
            r = wait_for(shown, 30, interval=0, what="the overlay window")
        except AssertionError:
            print(self.sb.log_text()[-2000:])
            raise
        rect = tuple(int(v) for v in re.search(rb"rect=(-?\d+),(-?\d+),(-?\d+),(-?\d+)", r.stdout).groups())
        self.assertEqual(rect, self.virtual_screen)
        if under is not None:
            wait_for(lambda: pointer_window() != under, 20, what="the overlay under the pointer on X")

    def wait_held(self, x, y, op="held"):
        """Waits inside Windows until the overlay has handled a button press and the moves up to x, y
        (op "cursor": only the moves)."""
        r = wine([exe("overlay_probe"), op, "20000", str(x), str(y)], timeout=60)
        if r.returncode != 0:
            print(self.sb.log_text()[-2000:])
        self.assertEqual(r.returncode, 0, r.stderr)

    def saved(self, bg):
        """The fields of a pick's "ok" reply; shows the agent's recent log when it is not one."""
        reply = bg.wait()
        if not reply.startswith(b"ok\t"):
            print(self.sb.log_text()[-3000:])
        return reply_fields(reply)

    def key_events(self):
        fields = reply_fields(self.agent.pipe("input\n"))
        return int(fields["raw_events"]) + int(fields["hook_events"])

    def tap(self, *keys):
        """Taps keys and waits until the input broker has seen them, so they reach the
        overlay before the mouse events that follow."""
        for key in keys:
            before = self.key_events()
            xdo("key", key)
            wait_for(lambda: self.key_events() >= before + 2, 10, what="the broker to see " + key)

    def settle(self, at):
        """Moves the pointer to `at` on the open overlay and waits until the overlay's thread has read
        that move. Wine tells a window that the pointer entered it with a snapshot of the modifier
        keys, which overwrites Ctrl, Shift and Alt when handled; a thread that reads its events late
        would undo modifiers pressed after the overlay showed. Its events come in order: once the
        move is read, so is that snapshot."""
        xdo("mousemove", at[0], at[1])
        self.wait_held(at[0], at[1], op="cursor")

    def press_until_blocked(self, chord, attempts=3):
        """Presses a hotkey chord while a selection is open until the broker counts it as blocked.
        A press whose modifiers a late snapshot undid (see settle()) matches no hotkey on any
        route; the chord is then pressed again, a few times at most, and the input status of the
        miss is printed. No capture may follow any press (the caller checks)."""
        first = reply_fields(self.agent.pipe("input\n"))
        for _ in range(attempts):
            xdo("key", chord)
            try:
                wait_for(lambda: int(reply_fields(self.agent.pipe("input\n"))["blocked"]) > int(first["blocked"]),
                         8, what="the hotkey counted as blocked")
                return
            except AssertionError:
                print("%s not counted as blocked; pressing again. input: %r" %
                      (chord, reply_fields(self.agent.pipe("input\n"))), file=sys.stderr)
        last = reply_fields(self.agent.pipe("input\n"))
        self.fail("%s never counted as blocked in %d presses; input before %r, after %r" %
                  (chord, attempts, first, last))

    def press(self, at):
        """Presses the left button at `at` and waits until the overlay has handled the press.
        The overlay thread reads its X events late under load, while the broker hears raw motion
        at once: moves sent before the press is handled look like motion of a pinned cursor."""
        xdo("mousemove", at[0], at[1], "mousedown", "1")
        try:
            self.wait_held(*at)
        except BaseException:
            # A button left down would keep every later press from reaching the next overlay.
            xdo("mouseup", "1")
            raise

    def drag(self, a, b, via=None):
        """Presses the left button at a, moves through via (or the middle) to b, releases."""
        mid = via or ((a[0] + b[0]) // 2, (a[1] + b[1]) // 2)
        self.press(a)
        xdo("mousemove", mid[0], mid[1], "mousemove", b[0], b[1], "mouseup", "1")

    def check_pixels(self, path, origin, expect):
        """expect: {(x, y) desktop point: (b, g, r)}; origin: desktop point of image pixel (0, 0)."""
        pts = {(x - origin[0], y - origin[1]): want for (x, y), want in expect.items()}
        img = decode_image(path, list(pts))
        self.assertIsNotNone(img, path)
        got = {p: img["pixels"][p][:3] for p in pts}
        self.assertEqual(got, pts, path)
        return img


class OverlayTest(OverlayCase, unittest.TestCase):
    """One monitor of 1920x1080 with two pattern windows; one agent for every case,
    switched between the looks by reloading region_freeze."""

    virtual_screen = (0, 0, 1920, 1080)
    base_config = {}

    @classmethod
    def setUpClass(cls):
        stop_stray_agents()
        cls.sb = Sandbox()
        cls.patterns = None
        try:
            cls.shots = os.path.join(cls.sb.profile, "shots")
            cls.slot3 = os.path.join(cls.sb.profile, "slot3")
            cls.base_config = {"folder3": win_path(cls.slot3)}
            # A: most of the screen's middle; B: up to the right edge.
            cls.patterns = PatternProcess("100,100,1000,700,1", "1600,200,320,400,2", backdrop=True)
            (cls.hwnd_a, cls.a, _), (_, cls.b, _) = cls.patterns.windows
            cls.start_class_agent()
            # Wine hears keys only while one of its windows has the X focus.
            found = wait_for(lambda: subprocess.run(["xdotool", "search", "--name", "^Ivra pattern$"],
                                                    capture_output=True, timeout=30).stdout.split(), 10,
                             what="pattern window on X")
            xdo("windowfocus", "--sync", found[0].decode())
        except BaseException:
            cls.tearDownClass()
            raise

    def a_pixels(self, rect, extra=()):
        """Expected pixels of pattern A at the corners and middle of rect (desktop coordinates)."""
        l, t, r, b = rect
        pts = [(l, t), (r - 1, t), (l, b - 1), (r - 1, b - 1), ((l + r) // 2, (t + b) // 2)] + list(extra)
        return {(x, y): pattern_bgr(x - self.a[0], y - self.a[1], 1) for x, y in pts}

    # ---- Picks

    def test_drag_saves_exactly_the_rectangle_and_ivrac_returns_it(self):
        for look, freeze in LOOKS:
            with self.look(look, freeze):
                bg = self.start_ivrac_pick((150, 170), "--json")
                self.drag((150, 170), (449, 369))
                r = bg.wait()
                self.assertEqual(r.returncode, 0, r.stderr)
                j = json.loads(r.stdout)
                self.assertEqual((j["width"], j["height"], j["target"]), (300, 200, "pick 300x200"))
                path = linux_path(j["path"])
                self.assertEqual(os.path.dirname(path), self.shots)
                self.assertEqual(j["bytes"], os.path.getsize(path))
                img = self.check_pixels(path, (150, 170), self.a_pixels((150, 170, 450, 370), [(151, 171)]))
                self.assertEqual((img["width"], img["height"]), (300, 200))

    # ---- Cancel cases

    def test_click_and_tiny_drags(self):
        for look, freeze in LOOKS:
            with self.look(look, freeze):
                before = self.files(self.sb.root)
                mark = self.mark()
                bg = self.start_pick((600, 600))
                xdo("click", "1")
                self.assertEqual(bg.wait(), CANCELLED)
                self.wait_log(mark, "region cancelled")
                self.assertEqual(self.files(self.sb.root), before)

                bg = self.start_pick((600, 600))
                self.drag((600, 600), (601, 601), via=(601, 600))
                f = self.saved(bg)
                self.assertEqual((f["width"], f["height"], f["target"]), ("2", "2", "pick 2x2"))
                self.check_pixels(linux_path(f["path"]), (600, 600), self.a_pixels((600, 600, 602, 602)))

                before = self.files(self.sb.root)
                mark = self.mark()
                bg = self.start_pick((600, 600))
                self.drag((600, 600), (600, 649))
                self.assertEqual(bg.wait(), CANCELLED)
                self.wait_log(mark, "region cancelled")
                self.assertEqual(self.files(self.sb.root), before)

    def test_escape_and_right_click_cancel(self):
        for look, freeze in LOOKS:
            with self.look(look, freeze):
                before = self.files(self.sb.root)
                # Escape in the middle of a drag.
                mark = self.mark()
                bg = self.start_pick((300, 300))
                self.press((300, 300))
                xdo("mousemove", 350, 340, "mousemove", 400, 380)
                xdo("key", "Escape")
                self.assertEqual(bg.wait(), CANCELLED)
                xdo("mouseup", "1")
                self.wait_log(mark, "region cancelled")
                # A right click while idle.
                mark = self.mark()
                bg = self.start_pick((500, 500))
                xdo("click", "3")
                self.assertEqual(bg.wait(), CANCELLED)
                self.wait_log(mark, "region cancelled")
                self.assertEqual(self.files(self.sb.root), before)

    # ---- Shift

    def test_shift_square_ends_at_the_right_edge(self):
        for look, freeze in LOOKS:
            with self.look(look, freeze):
                bg = self.start_pick((1800, 300))
                self.press((1800, 300))
                xdo("mousemove", 1815, 315, "mousemove", 1830, 330)
                try:
                    # Shift goes down only once the overlay has read its earlier events (see settle()).
                    self.wait_held(1830, 330)
                    # Heard by the broker before the moves that follow, as tap() does for whole taps.
                    before = self.key_events()
                    xdo("keydown", "shift")
                    wait_for(lambda: self.key_events() >= before + 1, 10, what="the broker to see shift down")
                    # Far enough down and right that the square must shrink to stay on screen.
                    xdo("mousemove", 1850, 450, "mousemove", 1860, 500, "mouseup", "1")
                    f = self.saved(bg)
                finally:
                    xdo("keyup", "shift")
                self.assertEqual((f["width"], f["height"]), ("120", "120"), f)
                b = self.b
                want = {(x, y): pattern_bgr(x - b[0], y - b[1], 2)
                        for x, y in ((1800, 300), (1919, 300), (1800, 419), (1919, 419), (1860, 360))}
                self.check_pixels(linux_path(f["path"]), (1800, 300), want)

    # ---- Digits

    def test_digit_taps_choose_the_folder(self):
        for look, freeze in LOOKS:
            with self.look(look, freeze):
                # 3: folder3.
                bg = self.start_pick((700, 500))
                self.tap("3")
                self.drag((700, 500), (739, 529))
                f = self.saved(bg)
                self.assertEqual(os.path.dirname(linux_path(f["path"])), self.slot3, f)
                self.assertEqual((f["width"], f["height"]), ("40", "30"))
                # 3 twice: no slot, stills_dir.
                bg = self.start_pick((700, 500))
                self.tap("3", "3")
                self.drag((700, 500), (739, 529))
                f = self.saved(bg)
                self.assertEqual(os.path.dirname(linux_path(f["path"])), self.shots, f)
                # 3 with an empty folder3: the chord line and stills_dir.
                self.configure(region_freeze=freeze, folder3="")
                try:
                    mark = self.mark()
                    bg = self.start_pick((700, 500))
                    self.tap("3")
                    self.drag((700, 500), (739, 529))
                    f = self.saved(bg)
                    self.assertEqual(os.path.dirname(linux_path(f["path"])), self.shots, f)
                    self.wait_log(mark, "chord digit 3 has no folder configured; saving to base")
                finally:
                    self.configure(region_freeze=freeze)

    # ---- Freeze

    def test_frozen_look_saves_the_snapshot(self):
        for look, freeze in LOOKS:
            with self.look(look, freeze):
                c = PatternProcess("1200,750,300,200,3")
                try:
                    (_, client, _), = c.windows
                    bg = self.start_pick((1250, 780))
                    self.press((1250, 780))
                    xdo("mousemove", 1275, 790, "mousemove", 1300, 800)
                    # The pattern goes away under the overlay while the button is held.
                    c.stop()
                    xdo("mousemove", 1340, 840, "mousemove", 1349, 849, "mouseup", "1")
                    f = self.saved(bg)
                finally:
                    c.stop()
                self.assertEqual((f["width"], f["height"]), ("100", "70"))
                pts = ((1250, 780), (1349, 849), (1300, 800))
                if freeze:
                    want = {(x, y): pattern_bgr(x - client[0], y - client[1], 3) for x, y in pts}
                else:
                    # Captured after the overlay is gone: the backdrop the window left behind.
                    want = {p: (0, 0, 0) for p in pts}
                self.check_pixels(linux_path(f["path"]), (1250, 780), want)

    # ---- Busy

    def test_open_overlay_makes_captures_busy(self):
        for look, freeze in LOOKS:
            with self.look(look, freeze):
                before = self.files(self.sb.root)
                bg = self.start_pick((800, 400))
                self.assertEqual(self.agent.pipe("shot\ttarget=pick\n"), BUSY)
                # The screenshot hotkey: the broker holds it back while the overlay is attached.
                self.settle((801, 401))
                mark = self.mark()
                self.press_until_blocked("ctrl+shift+s")
                self.wait_log(mark, "hotkey: screen ignored: a region selection is open")
                # The same action from the tray or a launch reaches the agent window, which ignores it.
                mark = self.mark()
                self.assertEqual(ivtool("post", "IvraAgentWnd", "0x800A", "1", "0xFFFF0000").returncode, 0)
                self.wait_log(mark, "hotkey: screen ignored: a region selection is open")
                xdo("key", "Escape")
                self.assertEqual(bg.wait(), CANCELLED)
                self.assertEqual(self.files(self.sb.root), before)
                self.assertNotIn("hotkey: screen digit=", self.log_since(mark))

    # ---- Region hotkey

    def test_region_hotkey_saves_the_dragged_rectangle(self):
        for look, freeze in LOOKS:
            with self.look(look, freeze):
                before = self.files(self.shots)
                mark = self.mark()
                xdo("mousemove", 200, 150)
                under = pointer_window()
                xdo("key", "ctrl+shift+c")
                self.wait_shown(under=under)
                self.drag((200, 150), (263, 198))
                self.wait_log(mark, "capture: saved ")
                self.assertIn("hotkey: region digit=0", self.log_since(mark))
                new = sorted(set(self.files(self.shots)) - set(before))
                self.assertEqual(len(new), 1, new)
                img = self.check_pixels(new[0], (200, 150), self.a_pixels((200, 150, 264, 199)))
                self.assertEqual((img["width"], img["height"]), (64, 49))


class OverlayExpiryTest(OverlayCase, unittest.TestCase):
    """An agent whose selections expire after 1.5 s instead of 120 s."""

    virtual_screen = (0, 0, 1920, 1080)
    base_config = {}
    expiry_ms = 1500

    @classmethod
    def setUpClass(cls):
        stop_stray_agents()
        cls.sb = Sandbox()
        try:
            cls.shots = os.path.join(cls.sb.profile, "shots")
            cls.start_class_agent(env={"IVRA_DEBUG_HOOKS": "1", "IVRA_DEBUG_REGION_EXPIRY_MS": str(cls.expiry_ms)})
        except BaseException:
            cls.tearDownClass()
            raise

    def test_untouched_overlay_expires_and_cancels_the_pick(self):
        for look, freeze in LOOKS:
            with self.look(look, freeze):
                mark = self.mark()
                bg = self.start_pick((960, 540))
                self.assertEqual(bg.wait(), CANCELLED)
                text = self.log_since(mark)
                lines = text.splitlines()
                expired = [ln for ln in lines if "overlay: selection expired after 120 seconds" in ln]
                self.assertEqual(len(expired), 1, text)
                started = [ln for ln in lines if "overlay input: " in ln and ", capture_focus=" in ln]
                self.assertEqual(len(started), 1, text)
                # The agent's own clock: the time-out ran from the overlay's start.
                waited = log_time(expired[0]) - log_time(started[0])
                self.assertGreaterEqual(waited, self.expiry_ms / 1000.0 - 0.05, text)
                self.assertLess(waited, 60, text)
                self.assertEqual(self.files(self.sb.root), [])


class OverlayTwoMonitorTest(test_capture.PrivateWine, OverlayCase, unittest.TestCase):
    """Two monitors side by side of different heights: 0,0-1280,800 (primary) and
    1280,0-2304,768; a drag across both, reaching below the shorter one."""

    virtual_screen = (0, 0, 2304, 800)
    base_config = {}

    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox()
        cls.patterns = None
        cls.saved_env = {k: os.environ.get(k) for k in ("WINEPREFIX", "DISPLAY")}
        try:
            pw = test_capture.PrivateWine
            outer = pw.start_x(cls, ["Xvfb", "-screen", "0", "2400x900x24", "-nolisten", "tcp", "-ac"])
            inner = pw.start_x(cls, ["Xephyr", "+xinerama", "-screen", "1280x800", "-screen", "1024x768", "-ac",
                                     "-nolisten", "tcp"], env=dict(os.environ, DISPLAY=":%d" % outer))
            pw.start_wine(cls, inner)
            os.environ.update(cls.env)  # every harness helper below runs in this display and prefix
            cls.shots = os.path.join(cls.sb.profile, "shots")
            cls.patterns = PatternProcess("1100,200,400,300,4", "1400,600,300,150,5", backdrop=True)
            cls.start_class_agent()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.stop_class_programs()
        finally:
            test_capture.PrivateWine.stop_all(cls)
            for k, v in cls.saved_env.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v

    def test_drag_across_both_monitors(self):
        (_, c4, _), (_, c5, _) = self.patterns.windows
        for look, freeze in LOOKS:
            with self.look(look, freeze):
                bg = self.start_pick((1150, 250))
                self.drag((1150, 250), (1549, 789))
                # Off every monitor the X server misplaces the pointer's next move: bring it back.
                xdo("mousemove", 640, 400)
                f = self.saved(bg)
                self.assertEqual((f["width"], f["height"], f["target"]), ("400", "540", "pick 400x540"))
                want = {(x, y): pattern_bgr(x - c4[0], y - c4[1], 4)
                        for x, y in ((1150, 250), (1279, 400), (1280, 400), (1499, 499))}
                want.update({(x, y): pattern_bgr(x - c5[0], y - c5[1], 5) for x, y in ((1400, 600), (1549, 749))})
                # Below the shorter monitor: no screen at all; left of the window on monitor 1: the backdrop.
                want.update({(1500, 789): (0, 0, 0), (1549, 768): (0, 0, 0), (1150, 789): (0, 0, 0)})
                self.check_pixels(linux_path(f["path"]), (1150, 250), want)


if __name__ == "__main__":
    main()
