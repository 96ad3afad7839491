"""Screen capture under Wine: whole outputs, windows and rectangles across one
and two monitors match known patterns pixel for pixel; a display mode change
rebuilds the display cache once; idle duplications are released and recreated."""
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from ivra_e2e import (Sandbox, exe, ivtool, private_prefix, read_pattern_windows, remove_tree, start_x,  # noqa: E402
                      wait_for, win_path, WINE_RUN)

BLACK = b"\x00\x00\x00\xff"   # screen black as duplication delivers it (opaque)
VOID = b"\x00\x00\x00\x00"    # outside every monitor


def pattern_row(v, u0, u1, seed):
    """Bytes of pattern_windows' client row v, columns u0..u1-1."""
    out = bytearray()
    for u in range(u0, u1):
        out += bytes(((u * 3 + seed * 40) & 255, (v * 5 + seed * 80) & 255, ((u ^ v) + seed * 20) & 255, 255))
    return bytes(out)


def intersect(a, b):
    r = (max(a[0], b[0]), max(a[1], b[1]), min(a[2], b[2]), min(a[3], b[3]))
    return r if r[2] > r[0] and r[3] > r[1] else None


def expected_rows(area, monitors, windows):
    """Rows of the expected capture of area (l, t, r, b) in desktop coordinates:
    black on monitors, void elsewhere, window clients painted with their pattern
    where a monitor shows them. windows: list of (client rect, seed)."""
    l, t, r, b = area
    w = r - l
    for y in range(t, b):
        row = bytearray(VOID * w)
        for m in monitors:
            if m[1] <= y < m[3]:
                s = intersect((l, y, r, y + 1), m)
                if s:
                    row[(s[0] - l) * 4:(s[2] - l) * 4] = BLACK * (s[2] - s[0])
        for c, seed in windows:
            if not c[1] <= y < c[3]:
                continue
            for m in monitors:
                s = intersect(intersect((l, y, r, y + 1), m) or (0, 0, 0, 0), c)
                if s:
                    row[(s[0] - l) * 4:(s[2] - l) * 4] = pattern_row(y - c[1], s[0] - c[0], s[2] - c[0], seed)
        yield bytes(row)


def read_ivrb(path):
    with open(path, "rb") as f:
        data = f.read()
    magic, w, h = struct.unpack("<4sII", data[:12])
    assert magic == b"IVRB", magic
    assert len(data) == 12 + w * h * 4, (len(data), w, h)
    return w, h, data[12:]


class ProbeMixin:
    """Runs capture_probe and pattern_windows and compares what was captured."""

    def out_path(self, name):
        return os.path.join(self.sb.temp, name)

    def check_image(self, name, area, monitors, windows, ignore=()):
        w, h, px = read_ivrb(self.out_path(name))
        self.assertEqual((w, h), (area[2] - area[0], area[3] - area[1]), name)
        bad = 0
        for y, want in zip(range(area[1], area[3]), expected_rows(area, monitors, windows)):
            got = px[(y - area[1]) * w * 4:(y - area[1] + 1) * w * 4]
            if got == want:
                continue
            skip = [intersect((area[0], y, area[2], y + 1), i) for i in ignore]
            for x in range(area[0], area[2]):
                if any(s and s[0] <= x < s[2] for s in skip):
                    continue
                o = (x - area[0]) * 4
                if got[o:o + 4] != want[o:o + 4]:
                    bad += 1
                    if bad <= 3:
                        print("%s: pixel %d,%d is %s, expected %s" % (name, x, y, got[o:o + 4].hex(),
                                                                      want[o:o + 4].hex()))
        self.assertEqual(bad, 0, "%s: %d pixels differ" % (name, bad))

    def read_windows(self, proc):
        """Reads pattern_windows' lines up to "ready"; returns (pid, [(hwnd, client, seed)])."""
        pid, lines, fields = read_pattern_windows(proc)
        self.assertIn("ready", lines, lines)
        wins = [(f["hwnd"], tuple(int(v) for v in f["client"].split(",")), int(f["seed"])) for f in fields]
        return pid, wins

    def probe(self, args, launcher=(), env=None, timeout=90):
        """Runs capture_probe with an --out file inside the sandbox and returns its lines."""
        out = self.out_path("probe-%d.txt" % time.monotonic_ns())
        cmd = [exe("ivtool"), "launch"] + self.sb.env_args() + ["--"] + list(launcher) + \
            [win_path(exe("capture_probe")), "--out", win_path(out)] + [str(a) for a in args]
        proc = subprocess.Popen([WINE_RUN] + cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env=dict(os.environ, **(env or {})))
        try:
            def finished():
                try:
                    with open(out) as f:
                        text = f.read()
                except FileNotFoundError:
                    return None
                return text if text.endswith("done\n") else None
            text = wait_for(finished, timeout, interval=0.2, what="capture probe")
        finally:
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
        return text.splitlines()

    def file(self, name):
        return win_path(self.out_path(name))


def display_up(n):
    return subprocess.run(["xdpyinfo", "-display", ":%d" % n], capture_output=True).returncode == 0


class PrivateWine:
    """X servers and a Wine prefix of the test's own, so no other window shows on its
    screens and nothing it changes outlives it."""

    def start_x(self, argv, env=None):
        """Starts an X server (argv without a display); returns its display number."""
        self.started = getattr(self, "started", [])
        proc, display = start_x(argv, env=env)
        self.started.append(proc)
        wait_for(lambda: display_up(display), 20, interval=0.1, what=argv[0])
        return display

    def start_wine(self, display):
        # The base prefix never ran with XRandR, so Wine takes Xinerama's monitor layout.
        self.prefix = private_prefix()
        self.env = {"WINEPREFIX": self.prefix, "DISPLAY": ":%d" % display}
        subprocess.run(["/usr/lib/wine/wineserver", "-p"], env=dict(os.environ, **self.env), check=True)

    def stop_all(self):
        try:
            # First, while the prefix and its server still exist: a Wine program
            # started after the removal would make the prefix anew.
            self.sb.cleanup()
            if getattr(self, "env", None):
                # The server saves the registry as it ends: wait, or it writes into the removed prefix.
                for arg in ("-k", "-w"):
                    subprocess.run(["/usr/lib/wine/wineserver", arg], env=dict(os.environ, **self.env), timeout=30)
        finally:
            for p in reversed(getattr(self, "started", [])):
                if p.stdout:
                    p.stdout.close()
                if p.poll() is None:
                    p.send_signal(signal.SIGTERM)
                    try:
                        p.wait(timeout=10)
                    except subprocess.TimeoutExpired:
                        p.kill()
            if getattr(self, "prefix", None):
                remove_tree(self.prefix)


class SingleMonitorTest(PrivateWine, ProbeMixin, unittest.TestCase):
    """One 1920x1080 monitor: a private display and prefix, and inside it a Wine virtual
    desktop, whose mode can be changed."""

    def setUp(self):
        self.sb = Sandbox()
        self.pattern_pid = None
        self.pattern_proc = None
        self.addCleanup(self.stop_all)  # also when the set-up below fails
        outer = self.start_x(["Xvfb", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-ac"])
        self.start_wine(outer)
        self.desktop = "ivracap%d" % (time.monotonic_ns() % 1000000)
        self.launcher = ["explorer.exe", "/desktop=%s,1920x1080" % self.desktop]

    def tearDown(self):
        if self.pattern_pid and ivtool("alive", self.pattern_pid, env=self.env).returncode == 0:
            ivtool("kill", self.pattern_pid, env=self.env)

    def start_patterns(self, *specs):
        proc = subprocess.Popen(
            [WINE_RUN] + self.launcher + [win_path(exe("pattern_windows")), "--backdrop"] + list(specs),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=dict(os.environ, **self.env))
        self.started.append(proc)
        self.pattern_pid, wins = self.read_windows(proc)
        return wins

    def test_output_window_rects_then_mode_change(self):
        wins = self.start_patterns("100,100,300,200,1", "1700,900,300,250,2", "600,400,320,240,3,1")
        (_, a, _), (_, b, _), (hwnd_c, c, _) = wins
        mon = [(0, 0, 1920, 1080)]
        lines = self.probe([
            "output", "0", self.file("out0"),
            "window", hwnd_c, self.file("win"),
            "monitor", "10", "10", self.file("mon"),
            "rect", "-200", "-100", "300", "250", self.file("r_topleft"),
            "rect", "1650", "850", "2150", "1250", self.file("r_bottomright"),
            "rect", "5000", "5000", "5100", "5100", "-",
            "text", "change-mode", "1024", "768", "output", "0", "-", "text", "output", "0", "-", "text",
            "reset-mode", "output", "0", "-", "text",
        ], launcher=self.launcher, env=self.env)
        self.assertIn("ok output 1920x1080", lines)
        # The framed window's caption and border are Wine's own drawing; its client area is checked.
        frame_c = (c[0] - 40, c[1] - 60, c[2] + 40, c[3] + 40)
        patterns = [(a, 1), (b, 2), (c, 3)]
        self.check_image("out0", mon[0], mon, patterns, ignore=[frame_c])
        self.assertIn("ok window %dx%d" % (c[2] - c[0], c[3] - c[1]), lines)
        self.check_image("win", c, mon, [(c, 3)])
        self.check_image("mon", mon[0], mon, patterns, ignore=[frame_c])
        self.check_image("r_topleft", (-200, -100, 300, 250), mon, patterns)
        self.check_image("r_bottomright", (1650, 850, 2150, 1250), mon, patterns)
        self.assertIn("fail rect", lines)  # nothing covered

        texts = [ln for ln in lines if ln.startswith("text ")]
        self.assertEqual(texts[0], "text count=1 gen=1 m0=0,0,1920,1080,1,96,\\\\.\\DISPLAY1")
        self.assertIn("change-mode 0", lines)
        self.assertEqual(texts[1], "text count=1 gen=2 m0=0,0,1024,768,1,96,\\\\.\\DISPLAY1")
        self.assertEqual(texts[2], texts[1])  # no second rebuild
        self.assertIn("reset-mode 0", lines)
        self.assertEqual(texts[3], "text count=1 gen=3 m0=0,0,1920,1080,1,96,\\\\.\\DISPLAY1")
        log = self.sb.log_text()
        self.assertEqual(log.count("capture: rebuilding device and display cache after display/access change"), 2,
                         log)
        self.assertEqual(log.count("capture: display cache refreshed (1 outputs, generation 2)"), 1, log)
        self.assertEqual(log.count("capture: display cache refreshed (1 outputs, generation 3)"), 1, log)
        self.assertEqual(log.count("dxgi: desktop duplication unavailable"), 1, log)

    def test_idle_release_and_recreate(self):
        self.start_patterns("100,100,64,64,5")
        lines = self.probe(["--keep-warm", "0", "output", "0", "-", "state", "poll", "0", "3", "idle", "2500", "state",
                            "output", "0", "-", "state"], launcher=self.launcher, env=self.env)
        states = [ln for ln in lines if ln.startswith("state ")]
        self.assertEqual(states[0], "state open=1 gen=1 lost=0")
        polls = [ln for ln in lines if ln.startswith("poll ")]
        self.assertEqual(len(polls), 1, lines)
        self.assertTrue(polls[0].startswith("poll ok=3 fresh="), polls)  # never waits, always the cached frame
        self.assertLessEqual(int(polls[0].split("fresh=")[1]), 1)
        released = [ln for ln in lines if ln.startswith("released ")]
        self.assertEqual(len(released), 1, lines)
        ms = int(released[0].split()[3])
        self.assertGreaterEqual(ms, 2000)
        self.assertLess(ms, 2400)
        self.assertEqual(states[1], "state open=0 gen=1 lost=0")
        self.assertEqual(states[2], "state open=1 gen=1 lost=0")
        self.assertEqual(lines.count("ok output 1920x1080"), 2)
        log = self.sb.log_text()
        self.assertEqual(log.count("dxgi: released idle duplications (1)"), 1, log)
        # The duplication was created once at the first capture and once more after the release.
        self.assertEqual(log.count("DuplicateOutput1 hr="), 2, log)


class DualMonitorTest(PrivateWine, ProbeMixin, unittest.TestCase):
    """Two monitors side by side (Xephyr with Xinerama inside Xvfb) in a private prefix."""

    def setUp(self):
        self.sb = Sandbox()
        self.addCleanup(self.stop_all)  # also when the set-up below fails
        outer = self.start_x(["Xvfb", "-screen", "0", "2400x900x24", "-nolisten", "tcp", "-ac"])
        inner = self.start_x(["Xephyr", "+xinerama", "-screen", "1280x800", "-screen", "1024x768", "-ac",
                              "-nolisten", "tcp"], env=dict(os.environ, DISPLAY=":%d" % outer))
        self.start_wine(inner)

    def test_two_monitors(self):
        env = dict(os.environ, **self.env)
        proc = subprocess.Popen([WINE_RUN, exe("pattern_windows"), "--backdrop", "100,100,300,200,1",
                                 "1180,300,300,200,2", "1500,500,300,200,3", "2100,700,300,150,4"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        self.started.append(proc)
        _, wins = self.read_windows(proc)
        (_, a, _), (hwnd_b, b, _), (_, c, _), (_, d, _) = wins
        mons = [(0, 0, 1280, 800), (1280, 0, 2304, 768)]
        pats = [(a, 1), (b, 2), (c, 3), (d, 4)]
        lines = self.probe([
            "text",
            "output", "0", self.file("m0"),
            "output", "1", self.file("m1"),
            "rect", "1000", "200", "1600", "900", self.file("across"),
            "rect", "-100", "-100", "200", "200", self.file("half"),
            "rect", "2200", "600", "2500", "850", self.file("edge"),
            "window", hwnd_b, self.file("span"),
            "monitor", "1300", "10", self.file("mon2"),
        ], env=self.env)
        self.assertIn("text count=2 gen=1 m0=0,0,1280,800,1,96,\\\\.\\DISPLAY1|m1=1280,0,1024,768,0,96,\\\\.\\DISPLAY2",
                      lines)
        self.check_image("m0", mons[0], mons, pats)
        self.check_image("m1", mons[1], mons, pats)
        self.check_image("across", (1000, 200, 1600, 900), mons, pats)
        self.check_image("half", (-100, -100, 200, 200), mons, pats)
        self.check_image("edge", (2200, 600, 2500, 850), mons, pats)
        # Most of window B is on the second monitor: only that part is captured.
        span = (1280, b[1], b[2], b[3])
        self.assertIn("ok window %dx%d" % (span[2] - span[0], span[3] - span[1]), lines)
        self.check_image("span", span, mons, pats)
        self.check_image("mon2", mons[1], mons, pats)


if __name__ == "__main__":
    unittest.main(verbosity=2)
