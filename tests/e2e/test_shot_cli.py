"""ivrac shot, windows, screens and last against a running agent on one
monitor, with pattern windows placed at known spots so captured pixels can be
checked exactly."""
import json
import os
import queue
import re
import subprocess
import threading

from ivra_e2e import (Agent, Sandbox, WINE_RUN, decode_image, exe, ivtool, main, pid_alive, stop_stray_agents,
                      wait_for, win_path, wine)
import unittest

import test_capture  # the private two-monitor display and prefix


def pattern_pixel(u, v, seed):
    """(b, g, r) of pattern_windows' client pixel (u, v)."""
    return ((u * 3 + seed * 40) & 255, (v * 5 + seed * 80) & 255, ((u ^ v) + seed * 20) & 255)


def linux_path(path):
    assert re.match(r"^[Zz]:\\", path), path
    return path[2:].replace("\\", "/")


def bring_to_front(hwnd, client):
    """Makes a window the foreground window. Without a window manager Wine's
    foreground follows a click, so one is the fallback."""
    if wine([exe("winctl"), "foreground", "0x%x" % hwnd]).returncode == 0:
        return
    subprocess.run(["xdotool", "mousemove", str((client[0] + client[2]) // 2), str((client[1] + client[3]) // 2),
                    "click", "1"], check=True)
    r = wine([exe("winctl"), "foreground", "0x%x" % hwnd])
    if r.returncode != 0:
        raise AssertionError("window 0x%x does not come to the foreground: %r" % (hwnd, r.stderr))


class Patterns:
    """One pattern_windows process; its windows as dicts with hwnd, client, window and seed."""

    def __init__(self, *specs, backdrop=False):
        args = [WINE_RUN, exe("pattern_windows")] + (["--backdrop"] if backdrop else []) + list(specs)
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(l.decode().strip()) for l in self.proc.stdout], daemon=True).start()
        self.pid, self.windows = None, []
        got = []

        def ready():
            while not lines.empty():
                got.append(lines.get())
                if got[-1].startswith("pid="):
                    self.pid = int(got[-1][4:])
            return "ready" in got
        try:
            wait_for(ready, 30, what="pattern windows")
            self.parse(got)
        except BaseException:
            self.stop()
            raise

    def parse(self, got):
        for line in got:
            if line.startswith("window "):
                f = dict(p.split("=", 1) for p in line.split()[2:])
                self.windows.append({"hwnd": int(f["hwnd"], 16), "seed": int(f["seed"]),
                                     "client": tuple(int(v) for v in f["client"].split(",")),
                                     "window": tuple(int(v) for v in f["window"].split(","))})

    def stop(self):
        if self.pid and pid_alive(self.pid):
            ivtool("kill", self.pid)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        if not self.pid:
            return
        # Windows of an ended process may outlive it for a moment; later listings must not see them.
        for w in self.windows:
            wait_for(lambda: wine([exe("winctl"), "state", "0x%x" % w["hwnd"]]).returncode != 0, 10,
                     what="window 0x%x gone" % w["hwnd"])


class ShotCli(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Stopping the agent goes by its window class: never start beside another one.
        stop_stray_agents()
        cls.sb = Sandbox()
        # The default stills folder is created one level deep, under an existing Pictures folder.
        os.makedirs(os.path.join(cls.sb.profile, "Pictures"))
        cls.patterns = []
        cls.agent = Agent(cls.sb)
        try:
            cls.agent.start()
            # A: framed, listed; B: a tool window, listed only with --all.
            cls.p1 = Patterns("200,200,400,300,1,1", "900,200,300,200,2", backdrop=True)
            cls.patterns.append(cls.p1)
            cls.a, cls.b = cls.p1.windows
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for p in cls.patterns:
            p.stop()
        try:
            cls.agent.stop()
        finally:
            cls.sb.cleanup()

    def ivrac(self, *args, timeout=90, sandbox=None):
        r = (sandbox or self.sb).run("ivrac", *args, timeout=timeout)
        # The launcher prints the child's pid first, on the same standard output.
        m = re.match(rb"pid=\d+\r?\n", r.stdout)
        self.assertTrue(m, (r.stdout[:80], r.stderr[-200:]))
        r.stdout = r.stdout[m.end():]
        return r

    def shot_json(self, *args):
        r = self.ivrac("shot", "--json", *args)
        self.assertEqual(r.returncode, 0, r.stderr)
        return json.loads(r.stdout)

    def check_pattern(self, path, points, seed, origin):
        """points are client coordinates of a window of `seed` whose client (0, 0) is at image `origin`."""
        img = decode_image(linux_path(path), [(origin[0] + u, origin[1] + v) for u, v in points])
        self.assertIsNotNone(img, path)
        for u, v in points:
            self.assertEqual(img["pixels"][(origin[0] + u, origin[1] + v)][:3], pattern_pixel(u, v, seed),
                             "client pixel %d,%d of seed %d" % (u, v, seed))
        return img

    def test_default_shot_prints_one_absolute_path(self):
        r = self.ivrac("shot")
        self.assertEqual(r.returncode, 0, r.stderr)
        text = r.stdout.decode()
        self.assertRegex(text, r"^[A-Z]:\\[^\n]*\\Ivra_[0-9_-]+\.png\n$")
        path = text.strip()
        self.assertTrue(path.startswith(win_path(self.sb.profile) + "\\Pictures\\Ivra\\"), path)
        a, b = self.a["client"], self.b["client"]
        img = self.check_pattern(path, [(0, 0), (10, 7), (399, 299)], 1, a[:2])
        self.assertEqual((img["width"], img["height"]), (1920, 1080))
        self.check_pattern(path, [(0, 0), (299, 199), (123, 45)], 2, b[:2])
        # The backdrop, far from the top-left corner where Wine shows the agent's tray icon window.
        black = decode_image(linux_path(path), [(1500, 800)])
        self.assertEqual(black["pixels"][(1500, 800)][:3], (0, 0, 0))

    def test_screen_and_region_json(self):
        j = self.shot_json("--screen", "0")
        self.assertEqual(j["screen"], 0)
        self.assertNotIn("region", j)
        self.assertEqual((j["width"], j["height"]), (1920, 1080))
        self.assertTrue(os.path.isfile(linux_path(j["path"])))
        self.assertEqual(j["bytes"], os.path.getsize(linux_path(j["path"])))

        j = self.shot_json("--region", "850,150,400,300")
        self.assertEqual(j["region"], {"x": 850, "y": 150, "w": 400, "h": 300})
        self.assertNotIn("screen", j)
        self.assertEqual((j["width"], j["height"]), (400, 300))
        b = self.b["client"]
        self.check_pattern(j["path"], [(0, 0), (5, 9), (299, 199)], 2, (b[0] - 850, b[1] - 150))

        j = self.shot_json("--desktop", "0", "--region", "850,150,400,300")
        self.assertEqual((j["screen"], j["region"]), (0, {"x": 850, "y": 150, "w": 400, "h": 300}))

    def test_window_targets(self):
        a, b = self.a["client"], self.b["client"]
        for args, seed, client in ((["--window", "ivrapatternwnd"], 1, a),   # class stage, case ignored
                                   (["--window", "pattern_windows.exe"], 1, a),  # program stage
                                   (["--pid", str(self.p1.pid)], 1, a),
                                   (["--hwnd", "0x%x" % self.b["hwnd"]], 2, b),
                                   (["--hwnd", str(self.b["hwnd"]), "--screen", "0"], 2, b)):
            j = self.shot_json(*args)
            self.assertEqual((j["width"], j["height"]), (client[2] - client[0], client[3] - client[1]), args)
            self.assertNotIn("screen", j)
            self.check_pattern(j["path"], [(0, 0), (17, 3), (client[2] - client[0] - 1, client[3] - client[1] - 1)],
                               seed, (0, 0))

    def test_window_target_wins_with_a_note(self):
        r = self.ivrac("shot", "--json", "--hwnd", "0x%x" % self.b["hwnd"], "--region", "0,0,5,5")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"a window target wins; --screen and --region are ignored\n", r.stderr)
        j = json.loads(r.stdout)
        self.assertEqual((j["width"], j["height"]), (300, 200))
        self.assertNotIn("region", j)

    def test_active_window(self):
        bring_to_front(self.a["hwnd"], self.a["client"])
        j = self.shot_json("--active")
        self.assertEqual((j["width"], j["height"]), (400, 300))
        self.check_pattern(j["path"], [(1, 1), (398, 298)], 1, (0, 0))

    def test_format_output_and_folders(self):
        out = os.path.join(self.sb.root, "out")
        os.makedirs(out)
        r = self.ivrac("shot", "--region", "200,200,64,48", "--format", "jpg", "--quality", "90", "-o",
                       win_path(os.path.join(out, "x.jpg")))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.decode(), win_path(os.path.join(out, "x.jpg")) + "\n")
        with open(os.path.join(out, "x.jpg"), "rb") as f:
            self.assertEqual(f.read(2), b"\xff\xd8")
        img = decode_image(os.path.join(out, "x.jpg"))
        self.assertEqual((img["width"], img["height"]), (64, 48))

        j = self.shot_json("--folder", "adhoc", "--silent", "--timeout", "8000")
        self.assertEqual(j["folder"], "adhoc")
        self.assertEqual(os.path.dirname(linux_path(j["path"])),
                         os.path.join(self.sb.profile, "Pictures", "Ivra", "adhoc"))

        slot = os.path.join(self.sb.root, "slot two")
        r = self.ivrac("config", "set", "folder2", win_path(slot))
        self.assertEqual(r.returncode, 0, r.stderr)
        j = self.shot_json("--folder", "2")
        self.assertEqual(j["dir"], win_path(slot))
        self.assertEqual(os.path.dirname(linux_path(j["path"])), slot)

    def test_stdout_bytes_equal_the_file(self):
        ref = os.path.join(self.sb.root, "ref.png")
        r = self.ivrac("shot", "--region", "850,150,400,300", "-o", win_path(ref))
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.ivrac("shot", "--region", "850,150,400,300", "--stdout")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(ref, "rb") as f:
            self.assertEqual(r.stdout, f.read())
        self.assertEqual([n for n in os.listdir(self.sb.temp) if n.startswith("ivra_")], [])
        # With --json too, standard output holds only the image.
        r = self.ivrac("shot", "--region", "850,150,400,300", "--stdout", "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith(b"\x89PNG\r\n\x1a\n"))
        with open(ref, "rb") as f:
            self.assertEqual(r.stdout, f.read())

    def test_failures_exact_messages_and_codes(self):
        rows = [
            (["--screen", "9"], 4, "bad_screen", "screen 9 does not exist (have 0..0); run 'ivrac screens'"),
            (["--region", "-10,0,100,100"], 4, "out_of_bounds",
             "region -10,0 100x100 outside virtual bounds (0,0)-(1920,1080): left edge -10 < 0"),
            (["--screen", "0", "--region", "1900,1000,100,100"], 4, "out_of_bounds",
             "region 1900,1000 100x100 exceeds screen 0 (1920x1080): right edge 2000 > 1920; bottom edge 1100 > 1080"),
            (["--region", "0,0,0,10"], 2, "usage", "--region expects positive w,h (got 0x10)"),
            (["--region", "0,0,10"], 2, "usage", "--region expects x,y,w,h"),
            (["--pick", "--screen", "0"], 2, "usage", "--pick cannot be combined with other targets"),
            (["--folder", "a/b"], 2, "usage", "--folder must be a plain folder name (no path separators; got 'a/b')"),
            (["--folder", "3"], 4, "bad_folder", "folder slot 3 is not set; run 'ivrac config set folder3 <path>'"),
            (["--folder", "adhoc", "-o", "C:\\x.png"], 2, "usage", "--folder cannot be combined with -o"),
            (["--window", "no-such-window-anywhere"], 4, "not_found", "no window matches the query"),
            (["--pid", "999999"], 4, "not_found", "no window for pid 999999"),
            (["--hwnd", "0x7ffff0"], 1, "bad_hwnd", None),
            # The agent gives up waiting after 1 ms; the capture itself takes longer.
            (["--timeout", "1"], 1, "timeout", "capture timed out"),
        ]
        for args, code, word, message in rows:
            r = self.ivrac("shot", "--json", *args)
            self.assertEqual(r.returncode, code, (args, r.stderr))
            err = json.loads(r.stdout)
            self.assertEqual(err["error"], word, args)
            if message is not None:
                self.assertEqual(err["message"], message)
                self.assertTrue(r.stderr.decode().startswith("ivrac shot: %s\n" % message), r.stderr)
            if code == 2 and word == "usage" and "positive" not in message:
                # --folder failures carry no hint; every other usage failure does.
                hint = b"Try 'ivrac shot --help'" in r.stderr
                self.assertEqual(hint, not message.startswith("--folder must"), args)

    def test_ambiguous_occluded_and_minimized(self):
        # C: a second framed window; D: a tool window above part of B.
        p2 = Patterns("1300,600,300,200,3,1", "1000,300,300,200,4")
        try:
            self.check_ambiguous_occluded_minimized(p2)
        finally:
            p2.stop()

    def check_ambiguous_occluded_minimized(self, p2):
        c, d = p2.windows
        r = self.ivrac("shot", "--window", "Ivra pattern")
        self.assertEqual(r.returncode, 4, r.stderr)
        err = r.stderr.decode().splitlines()
        self.assertEqual(err[0], "ivrac shot: ambiguous window query, candidates:")
        listed = sorted(int(l.split()[0], 16) for l in err[1:3])
        self.assertEqual(listed, sorted([self.a["hwnd"] & 0xFFFFFFFF, c["hwnd"] & 0xFFFFFFFF]))
        for l in err[1:3]:
            self.assertRegex(l, r'^  0x[0-9a-f]{8}  pattern_windows\.exe +"Ivra pattern"$')
        self.assertEqual(err[3:], ["use --hwnd to pick one", "ivrac shot: ambiguous window query (2 candidates)"])
        self.assertEqual(r.stdout, b"")

        self.assertEqual(wine([exe("winctl"), "minimize", "0x%x" % c["hwnd"]]).returncode, 0)
        r = self.ivrac("shot", "--json", "--hwnd", "0x%x" % c["hwnd"])
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(json.loads(r.stdout)["error"], "minimized")
        self.assertTrue(r.stderr.decode().startswith("ivrac shot: "), r.stderr)
        listing = json.loads(self.ivrac("windows", "--json").stdout)
        mine = [w for w in listing if int(w["hwnd"], 16) == c["hwnd"]]
        self.assertEqual(len(mine), 1)
        cw = c["window"]
        self.assertEqual(mine[0]["state"], "min")
        # Wine answers GetWindowPlacement for another process's window with its current,
        # iconic rectangle; Windows gives the restored one.
        if (mine[0]["x"], mine[0]["y"]) != (-32000, -32000):
            self.assertEqual((mine[0]["x"], mine[0]["y"], mine[0]["w"], mine[0]["h"]),
                             (cw[0], cw[1], cw[2] - cw[0], cw[3] - cw[1]))

        # Where D covers B (client 100..299 x 100..199 of B), only PrintWindow sees B itself.
        hb = "0x%x" % self.b["hwnd"]
        plain = self.shot_json("--hwnd", hb)
        img = decode_image(linux_path(plain["path"]), [(150, 150)])
        self.assertEqual(img["pixels"][(150, 150)][:3], pattern_pixel(50, 50, 4))
        occluded = self.shot_json("--hwnd", hb, "--occluded")
        self.assertEqual((occluded["width"], occluded["height"]), (300, 200))
        points = [(150, 150), (299, 199), (0, 0), (40, 20)]
        img = decode_image(linux_path(occluded["path"]), points)
        self.assertNotEqual(img["pixels"][(150, 150)][:3], pattern_pixel(50, 50, 4), "--occluded was not used")
        # Wine hands PrintWindow's device context to the other process, where it is not valid, so
        # the window draws nothing there; on Windows these would be B's own pattern pixels.
        self.assertEqual([img["pixels"][p][:3] for p in points], [(0, 0, 0)] * len(points))

    def test_windows_screens_and_last(self):
        bring_to_front(self.a["hwnd"], self.a["client"])
        r = self.ivrac("windows", "--json")
        self.assertEqual(r.returncode, 0)
        listing = json.loads(r.stdout)
        a = [w for w in listing if int(w["hwnd"], 16) == self.a["hwnd"]]
        self.assertEqual(len(a), 1, listing)
        aw = self.a["window"]
        self.assertEqual((a[0]["pid"], a[0]["exe"], a[0]["title"], a[0]["x"], a[0]["y"], a[0]["w"], a[0]["h"],
                          a[0]["state"]),
                         (self.p1.pid, "pattern_windows.exe", "Ivra pattern", aw[0], aw[1], aw[2] - aw[0],
                          aw[3] - aw[1], "normal"))
        self.assertIs(a[0]["active"], True)
        self.assertEqual([w["hwnd"] for w in listing if w["active"]], [a[0]["hwnd"]])
        self.assertFalse([w for w in listing if int(w["hwnd"], 16) == self.b["hwnd"]])
        every = json.loads(self.ivrac("windows", "--all", "--json").stdout)
        self.assertTrue([w for w in every if int(w["hwnd"], 16) == self.b["hwnd"]])
        text = self.ivrac("windows").stdout.decode()
        self.assertRegex(text, r'(?m)^0x%08x  %-6d %-18s -    pattern_windows\.exe +"Ivra pattern"$' % (
            self.a["hwnd"] & 0xFFFFFFFF, self.p1.pid, "%dx%d@%d,%d" % (aw[2] - aw[0], aw[3] - aw[1], aw[0], aw[1])))

        screens = json.loads(self.ivrac("screens", "--json").stdout)
        self.assertEqual(len(screens), 1)
        self.assertEqual({k: screens[0][k] for k in ("index", "x", "y", "w", "h", "primary")},
                         {"index": 0, "x": 0, "y": 0, "w": 1920, "h": 1080, "primary": True})
        self.assertTrue(screens[0]["name"].startswith("\\\\.\\DISPLAY"), screens)
        text = self.ivrac("desktops").stdout.decode().splitlines()
        self.assertRegex(text[0], r"^#0  1920x1080@0,0  \d+ dpi  primary  \\\\\.\\DISPLAY\d$")
        self.assertEqual(text[1:], ["virtual  1920x1080@0,0"])

        paths = [self.shot_json("--region", "0,0,%d,10" % (10 + i))["path"] for i in range(3)]
        # The history line is appended on the io pool, so it may land just after the reply.
        def listed():
            with open(os.path.join(self.sb.data, "history.txt"), "rb") as f:
                lines = [l for l in f.read().decode().split("\n") if l]
            return lines if all(p in lines for p in paths) else None
        history = wait_for(listed, 10, what="the three shots in history.txt")
        self.assertEqual(history[-3:], paths)
        newest = history[::-1]
        self.assertEqual(json.loads(self.ivrac("last", "-n", "5", "--json").stdout), newest[:5])
        self.assertEqual(self.ivrac("last").stdout.decode(), paths[-1] + "\n")
        self.assertEqual(self.ivrac("last", "-n", "0").stdout.decode(), paths[-1] + "\n")
        self.assertEqual(self.ivrac("last", "-n").stdout.decode(), paths[-1] + "\n")
        self.assertEqual(self.ivrac("last", "-n", "2").stdout.decode().splitlines(), newest[:2])

        empty = Sandbox()
        try:
            r = self.ivrac("last", "--json", sandbox=empty)
            self.assertEqual((r.returncode, r.stdout), (0, b"[]\n"))
            r = self.ivrac("last", sandbox=empty)
            self.assertEqual((r.returncode, r.stdout), (0, b""))
        finally:
            empty.cleanup()


class ShotCliTwoMonitors(test_capture.PrivateWine, unittest.TestCase):
    """Monitor indexes, screen-local regions and coverage on two monitors of
    different heights: 0,0-1280,800 (primary) and 1280,0-2304,768."""

    def setUp(self):
        self.sb = Sandbox()
        os.makedirs(os.path.join(self.sb.profile, "Pictures"))
        self.saved_env = {k: os.environ.get(k) for k in ("WINEPREFIX", "DISPLAY")}
        try:
            outer = self.start_x(["Xvfb", "-screen", "0", "2400x900x24", "-nolisten", "tcp", "-ac"])
            inner = self.start_x(["Xephyr", "+xinerama", "-screen", "1280x800", "-screen", "1024x768", "-ac",
                                  "-nolisten", "tcp"], env=dict(os.environ, DISPLAY=":%d" % outer))
            self.start_wine(inner)
            # Every harness helper below runs in this display and prefix.
            os.environ.update(self.env)
            self.agent = Agent(self.sb)
            self.agent.start()
            self.patterns = Patterns("1500,200,300,200,5", backdrop=True)
        except BaseException:
            self.tearDown()
            raise

    def tearDown(self):
        try:
            if getattr(self, "patterns", None):
                self.patterns.stop()
            if getattr(self, "agent", None):
                self.agent.stop()
        finally:
            self.stop_all()
            for k, v in self.saved_env.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v

    ivrac = ShotCli.ivrac

    def test_indexes_local_regions_and_coverage(self):
        screens = json.loads(self.ivrac("screens", "--json").stdout)
        self.assertEqual([(m["index"], m["x"], m["y"], m["w"], m["h"], m["primary"]) for m in screens],
                         [(0, 0, 0, 1280, 800, True), (1, 1280, 0, 1024, 768, False)])

        r = self.ivrac("shot", "--screen", "9")
        self.assertEqual(r.returncode, 4)
        self.assertEqual(r.stderr.decode(), "ivrac shot: screen 9 does not exist (have 0..1); run 'ivrac screens'\n")

        r = self.ivrac("shot", "--json", "--screen", "1")
        j = json.loads(r.stdout)
        self.assertEqual((j["screen"], j["width"], j["height"]), (1, 1024, 768))

        r = self.ivrac("shot", "--json", "--screen", "1", "--region", "0,0,800,600")
        self.assertEqual(r.returncode, 0, r.stderr)
        j = json.loads(r.stdout)
        self.assertEqual((j["screen"], j["region"]), (1, {"x": 1280, "y": 0, "w": 800, "h": 600}))
        client = self.patterns.windows[0]["client"]
        points = [(0, 0), (299, 199), (77, 33)]
        img = decode_image(linux_path(j["path"]), [(client[0] - 1280 + u, client[1] + v) for u, v in points])
        for u, v in points:
            self.assertEqual(img["pixels"][(client[0] - 1280 + u, client[1] + v)][:3], pattern_pixel(u, v, 5))

        r = self.ivrac("shot", "--screen", "1", "--region", "500,0,600,100")
        self.assertEqual(r.returncode, 4)
        self.assertIn("region 500,0 600x100 exceeds screen 1 (1024x768): right edge 1100 > 1024", r.stderr.decode())

        # Inside the virtual bounds, but below the shorter monitor.
        r = self.ivrac("shot", "--json", "--region", "1300,770,100,30")
        self.assertEqual(r.returncode, 4, r.stderr)
        self.assertEqual(json.loads(r.stdout),
                         {"error": "no_coverage", "message": "region covers no monitor; run 'ivrac screens'"})

        note = b"region partially outside monitors; uncovered area will be black\n"
        r = self.ivrac("shot", "--json", "--region", "1200,700,200,100")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(note, r.stderr)
        j = json.loads(r.stdout)
        self.assertEqual((j["width"], j["height"]), (200, 100))
        img = decode_image(linux_path(j["path"]), [(150, 90)])  # 1350,790: on no monitor
        self.assertEqual(img["pixels"][(150, 90)][:3], (0, 0, 0))
        r = self.ivrac("shot", "-q", "--region", "1200,700,200,100")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn(note, r.stderr)


class ShotStartsAgent(unittest.TestCase):
    def setUp(self):
        self.started_pid = None
        stop_stray_agents()
        self.sb = Sandbox()
        os.makedirs(os.path.join(self.sb.profile, "Pictures"))
        # No warm-up, so on a loaded machine too the start-up stays inside the shot's 5 s wait
        # for the capture thread.
        os.makedirs(self.sb.data)
        with open(os.path.join(self.sb.data, "config.ini"), "w", newline="") as f:
            f.write("dxgi_keep_warm=0\r\n")

    def tearDown(self):
        try:
            if self.started_pid and pid_alive(self.started_pid):
                ivtool("wm-close", "IvraAgentWnd")
                try:
                    wait_for(lambda: not pid_alive(self.started_pid), 30, interval=0.2, what="agent exit")
                finally:
                    if pid_alive(self.started_pid):
                        ivtool("kill", self.started_pid)
        finally:
            self.sb.cleanup()

    def test_shot_without_agent_starts_it(self):
        r = ShotCli.ivrac(self, "shot")
        found = ivtool("window-pid", "IvraAgentWnd")
        if found.returncode == 0:
            self.started_pid = int(found.stdout.split()[0])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"starting agent...\n", r.stderr)
        self.assertIsNotNone(self.started_pid)
        path = r.stdout.decode().strip()
        self.assertEqual(decode_image(linux_path(path))["width"], 1920)


if __name__ == "__main__":
    main()
