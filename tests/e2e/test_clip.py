"""Clips recorded by the agent under Wine (software encoder), checked with the Linux
ffprobe and FFmpeg decoder: a 5 s clip of a pattern window has 150 frames at a
constant rate from timestamp 0 and shows the pattern; the 30 s limit ends a
clip after exactly 1800 frames; redo keeps only the last take, cancel keeps
nothing, a clip with no frame gives no file; pause leaves the paused time out;
sizes, seconds and frame rates are limited; a picture smaller than the frame is
letterboxed; a still screen is recorded as repeats; a pick records the dragged
region; window targets keep recording while minimized and end when the window closes; a display change ends a clip and
keeps it; an existing output file is left alone; an output that cannot be written is
refused at the start; a file that takes the output's name while recording
leaves the clip saved beside it; a killed agent's take outside the clips
folder goes at the next start; waiting start and stop requests
get the same file; a test tone fed as sound gives an AAC track from 0, and system
sound switched off mid-clip leaves only the video.
"""
import json
import os
import re
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import (Agent, Sandbox, WINE_RUN, decode_all, exe, frame_luma, ivtool, linux_path,  # noqa: E402
                      log_time, main, pattern_luma, pid_alive, probe_media, psnr, read_pattern_windows,
                      reply_fields, stop_pattern_windows, stop_stray_agents, video_frames, wait_for, win_path, wine)

# The pattern window every pixel check looks at: its client is exactly this region.
PATTERN = (100, 100, 320, 240, 1)           # x, y, w, h, seed
PATTERN_REGION = "%d,%d,%d,%d" % PATTERN[:4]
STILL_REGION = "1200,600,320,240"           # black backdrop only


class PatternProcess:
    """One pattern_windows process; windows as dicts with hwnd, client and window rectangles."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([WINE_RUN, exe("pattern_windows")] + list(args), stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.pid = None
        try:
            self.pid, lines, fields = read_pattern_windows(self.proc)
            if "ready" not in lines:
                raise AssertionError("pattern windows did not start: %r" % lines)
        except BaseException:
            self.stop()
            raise
        self.windows = [{"hwnd": int(f["hwnd"], 16), "client": tuple(int(v) for v in f["client"].split(",")),
                         "window": tuple(int(v) for v in f["window"].split(","))} for f in fields]

    def stop(self):
        stop_pattern_windows(self.pid, self.proc)


class Background:
    """A blocking call (a waiting clip request) run on a thread."""

    def __init__(self, fn):
        self.result = []
        self.thread = threading.Thread(target=lambda: self.result.append(fn()), daemon=True)
        self.thread.start()

    def wait(self, timeout=120):
        self.thread.join(timeout)
        if self.thread.is_alive() or not self.result:
            raise AssertionError("no answer within %d s" % timeout)
        return self.result[0]


class ClipAgentCase(unittest.TestCase):
    """One agent per class with the software encoder, clips in the sandbox; a subclass
    sets the debug environment, the configuration and the pattern windows."""

    debug_env = {}
    config = {}
    pattern_args = ()

    @classmethod
    def setUpClass(cls):
        stop_stray_agents()
        cls.sb = Sandbox()
        cls.agent = None
        cls.patterns = None
        try:
            cls.clips = os.path.join(cls.sb.root, "clips")
            os.makedirs(cls.clips)
            cls.write_config()
            if cls.pattern_args:
                cls.patterns = PatternProcess(*cls.pattern_args)
            env = {"IVRA_CLIP_SOFTWARE": "1", "IVRA_DEBUG_HOOKS": "1"}
            env.update(cls.debug_env)
            cls.agent = Agent(cls.sb, env=env)
            cls.agent.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            if cls.agent is not None:
                cls.agent.stop()
        finally:
            try:
                if cls.patterns is not None:
                    cls.patterns.stop()
            finally:
                cls.sb.cleanup()

    @classmethod
    def write_config(cls, **values):
        cfg = {"onboarded": "1", "play_sound": "0", "warn_free_mb": "0", "stop_free_mb": "0",
               "clips_dir": win_path(cls.clips), "clip_fps": "30", "clip_audio_system": "0", "clip_audio_mic": "0",
               "replay_enabled": "0"}
        cfg.update(cls.config)
        cfg.update({k: str(v) for k, v in values.items()})
        os.makedirs(cls.sb.data, exist_ok=True)
        with open(os.path.join(cls.sb.data, "config.ini"), "w", newline="") as f:
            for k, v in cfg.items():
                f.write("%s=%s\r\n" % (k, v))

    def configure(self, **values):
        """Rewrites config.ini and has the agent reload it."""
        self.write_config(**values)
        self.assertEqual(self.agent.pipe("reload\n"), b"ok\n")

    def setUp(self):
        # A test never begins beside a clip an earlier one left running, and cancels any
        # clip of its own that it leaves (also when it fails).
        st = self.status()
        if st["state"] != "idle":
            self.cancel_clip()
            self.fail("a clip was left %s by an earlier test" % st["state"])
        self.addCleanup(self.cancel_clip)

    def cancel_clip(self):
        if self.status()["state"] != "idle":
            self.agent.pipe("clip\top=cancel\twait=1\n", timeout_ms=60000)

    def ivrac(self, *args, timeout=180):
        r = self.sb.run("ivrac", *args, timeout=timeout)
        # The launcher prints the child's pid first, on the same standard output.
        m = re.match(rb"pid=\d+\r?\n", r.stdout)
        self.assertTrue(m, (r.stdout[:80], r.stderr[-200:]))
        r.stdout = r.stdout[m.end():].replace(b"\r\n", b"\n")
        r.stderr = r.stderr.replace(b"\r\n", b"\n")
        return r

    def ivrac_json(self, *args, code=0):
        r = self.ivrac(*args, "--json")
        self.assertEqual(r.returncode, code, (args, r.stdout, r.stderr))
        return json.loads(r.stdout)

    def replay_save_json(self, *args):
        """`ivrac replay save ... --json`, asked again while the agent answers "busy; try again"
        (the replay encoder's queue is full on a loaded machine), as a script would."""
        last = []

        def saved():
            r = self.ivrac("replay", "save", *args, "--json")
            last[:] = [r]
            if r.returncode == 1 and json.loads(r.stdout).get("error") == "busy":
                return None
            self.assertEqual(r.returncode, 0, (args, r.stdout, r.stderr))
            return json.loads(r.stdout)
        try:
            return wait_for(saved, 30, interval=0.5, what="a replay save the encoder takes")
        except AssertionError:
            print("last answer: %r" % (last[0].stdout if last else None))
            raise

    def clip(self, fields, timeout_ms=20000):
        """One "clip" pipe request (fields without the op prefix); returns the reply bytes."""
        return self.agent.pipe("clip\t%s\n" % fields, timeout_ms=timeout_ms)

    def clip_ok(self, fields, timeout_ms=20000):
        return reply_fields(self.clip(fields, timeout_ms))

    def status(self):
        return reply_fields(self.agent.pipe("clip\n"))

    def wait_frames(self, n, timeout=60):
        """Waits until the recording clip's take holds n frames; returns the status. A
        clip that is not yet started (a request on its way) is waited for; one that ends
        after it was seen fails at once."""
        seen = []

        def enough():
            st = self.status()
            if st["state"] in ("recording", "paused"):
                seen.append(st["session"])
            elif seen:
                raise AssertionError("the clip ended: %r" % st)
            return st if seen and int(st["frames"]) >= n else None
        return wait_for(enough, timeout, interval=0.2, what="%d clip frames" % n)

    def log_line(self, pattern, timeout=30):
        """The first agent log line matching the regular expression (waited for)."""
        rx = re.compile(pattern)

        def find():
            for line in self.sb.log_lines():
                if rx.search(line):
                    return line
            return None
        return wait_for(find, timeout, interval=0.2, what="log line %r" % pattern)

    def folder(self, name):
        """A fresh folder of the sandbox for one test's files; (linux path, Windows path)."""
        path = os.path.join(self.sb.root, name)
        os.makedirs(path)
        return path, win_path(path)

    def check_video(self, path, frames, fps, size):
        """ffprobe and a full decode: one H.264 stream of `size` at a constant `fps`,
        `frames` frames from timestamp 0; returns the decoded frames."""
        info = probe_media(path)
        video = [s for s in info["streams"] if s["codec_type"] == "video"]
        self.assertEqual(len(video), 1, info["streams"])
        v = video[0]
        self.assertEqual(v["codec_name"], "h264")
        self.assertEqual((v["width"], v["height"]), size)
        self.assertEqual(v["r_frame_rate"], "%d/1" % fps)
        self.assertEqual(v["avg_frame_rate"], "%d/1" % fps)
        self.assertEqual(float(v["start_time"]), 0.0)
        decode_all(path)
        got = video_frames(path)
        self.assertEqual(len(got), frames)
        self.assertTrue(got[0]["key"], got[0])
        pts = [f["pts"] for f in got]
        self.assertEqual(pts[0], 0)
        step = pts[1] - pts[0] if len(pts) > 1 else 0
        self.assertGreater(step, 0)
        self.assertEqual(pts, [i * step for i in range(len(pts))], "frames at a constant rate")
        tb_num, tb_den = (int(x) for x in v["time_base"].split("/"))
        self.assertAlmostEqual(step * tb_num / tb_den, 1.0 / fps, places=6)
        return got

    def assert_saved(self, result):
        """A final result (pipe fields or ivrac JSON) of a saved take: no error text beside it."""
        self.assertEqual((str(result["saved"]), result["err"]), ("1", ""), result)

    def assert_no_part_files(self, folder):
        left = [n for n in os.listdir(folder) if n.endswith(".part") or ".part." in n]
        self.assertEqual(left, [], "unfinished takes left in %s" % folder)


class WindowTargetTests:
    """Window targets, each in a pattern process of its own so closing it ends only that;
    run by ClipCase's agent."""

    def test_minimized_window_keeps_recording_and_closing_ends_the_clip(self):
        win = PatternProcess("600,300,320,240,3,1")
        self.addCleanup(win.stop)
        hwnd = win.windows[0]["hwnd"]
        l, t, r, b = win.windows[0]["window"]
        run = Background(lambda: self.ivrac("clip", "start", "--hwnd", "0x%x" % hwnd, "--wait", "--json"))
        st = self.wait_frames(10)
        sid = st["session"]
        self.assertEqual(wine([exe("winctl"), "minimize", "0x%x" % hwnd]).returncode, 0)
        st = self.status()
        self.wait_frames(int(st["frames"]) + 30)
        after = self.status()
        self.assertGreaterEqual(int(after["repeated"]) - int(st["repeated"]), 25, (st, after))
        ivtool("kill", win.pid)
        res = run.wait()
        self.assertEqual(res.returncode, 0, res.stderr)
        j = json.loads(res.stdout)
        self.assertEqual(j["saved"], 1, j)
        self.log_line(r"\] clip %s stopped: %d frames, \d+ late ticks \(window closed\)" % (sid, j["frames"]))
        self.check_video(linux_path(j["path"]), j["frames"], 30, ((r - l) & ~1, (b - t) & ~1))

    def test_window_grown_to_the_screen_is_letterboxed(self):
        # Recorded at the window's 1280x1024; the window then fills the 1920x1080 screen,
        # whose picture lands 1280x720 at row 152 with black bars above and below.
        win = PatternProcess("0,0,1280,1024,6")
        self.addCleanup(win.stop)
        hwnd = win.windows[0]["hwnd"]
        rep = self.clip_ok("op=start\ttarget=window\thwnd=%d" % hwnd)
        self.assertEqual((rep["width"], rep["height"]), ("1280", "1024"), rep)
        self.wait_frames(3)
        self.assertEqual(wine([exe("winctl"), "move", "0x%x" % hwnd, "0", "0", "1920", "1080"]).returncode, 0)
        self.wait_frames(int(self.status()["frames"]) + 10)
        fin = self.clip_ok("op=stop\twait=1", timeout_ms=60000)
        self.assertEqual(fin["saved"], "1", fin)
        path = linux_path(fin["path"])
        self.check_video(path, int(fin["frames"]), 30, (1280, 1024))
        luma = frame_luma(path, int(fin["frames"]) - 1)
        rows = [sum(luma[y * 1280:(y + 1) * 1280]) / 1280.0 for y in range(1024)]
        picture = [y for y, m in enumerate(rows) if m > 24]   # limited-range black is 16
        self.assertEqual((picture[0], picture[-1]), (152, 871), "rows with picture")
        self.assertEqual(len(picture), 720)

    def test_window_sizes_and_a_clip_without_frames(self):
        # A window wider than 4096 is scaled down; one off every monitor never gives a frame.
        wins = PatternProcess("0,1075,5000,1000,4", "-5000,-5000,320,240,5")
        self.addCleanup(wins.stop)
        big, off = (w["hwnd"] for w in wins.windows)
        self.assertEqual(wins.windows[0]["window"], (0, 1075, 5000, 2075))
        rep = self.clip_ok("op=start\ttarget=window\thwnd=%d" % big)
        self.assertEqual((rep["width"], rep["height"]), ("4096", "818"), rep)
        fin = self.clip_ok("op=cancel\twait=1", timeout_ms=60000)
        self.assertEqual(fin["discarded"], "1", fin)

        folder, win = self.folder("noframes")
        # Stopped at once; no tick of this clip could ever take a frame anyway.
        rep = self.clip_ok("op=start\ttarget=window\thwnd=%d\tdir=%s" % (off, win))
        fin = self.clip_ok("op=stop\twait=1", timeout_ms=60000)
        self.assertEqual((fin["saved"], fin["discarded"], fin["err"], fin["path"]),
                         ("0", "0", "no frames were encoded", ""), fin)
        self.assertEqual(os.listdir(folder), [])
        self.log_line(r"\] clip %s not saved: no frames were encoded" % rep["session"])


class ClipCase(WindowTargetTests, ClipAgentCase):
    """Real clock, 30 fps, a still pattern window over a black backdrop."""

    pattern_args = ("--backdrop", "%d,%d,%d,%d,%d" % PATTERN)

    def test_five_second_clip_of_a_pattern_window(self):
        j = self.ivrac_json("clip", "start", "--region", PATTERN_REGION, "--seconds", "5", "--wait")
        self.assertEqual((j["saved"], j["frames"], j["fps"], j["width"], j["height"]), (1, 150, 30, 320, 240), j)
        self.assert_saved(j)
        path = linux_path(j["path"])
        self.assertEqual(os.path.dirname(path), self.clips)
        self.assert_no_part_files(self.clips)
        self.check_video(path, 150, 30, (320, 240))
        # The middle frame shows the window's pixels (luma, as coded, against the pattern
        # converted by FFmpeg; a 4-column shift or swapped colours stay below 28 dB).
        got = psnr(frame_luma(path, 75), pattern_luma(PATTERN[2], PATTERN[3], PATTERN[4]))
        self.assertGreater(got, 30.0, "PSNR of the middle frame")

    def test_waiting_start_and_stop_get_the_same_file(self):
        _, out = self.folder("wait")
        start = Background(lambda: self.ivrac("clip", "start", "--region", PATTERN_REGION, "--seconds", "5",
                                              "--wait", "-o", out + "\\waited.mp4"))
        self.wait_frames(3)
        stop = self.ivrac("clip", "stop", "--wait")
        started = start.wait()
        self.assertEqual(stop.returncode, 0, stop.stderr)
        self.assertEqual(started.returncode, 0, started.stderr)
        self.assertEqual(stop.stdout, (out + "\\waited.mp4\n").encode())
        self.assertEqual(started.stdout, stop.stdout)
        decode_all(linux_path(out + "\\waited.mp4"))
        again = self.ivrac_json("clip", "stop", code=5)
        self.assertEqual(again["error"], "idle", again)

    def test_pause_leaves_the_paused_time_out(self):
        sid = self.clip_ok("op=start\ttarget=rect\trect=%s" % PATTERN_REGION)["session"]
        self.wait_frames(15)
        self.assertTrue(self.clip("op=pause").startswith(b"ok\t"))
        held = self.status()
        paused_at = time.monotonic()
        # The counters as ivrac shows them, on a clip that holds still for the look.
        st = self.ivrac_json("clip", "status")
        self.assertEqual((st["state"], st["frames"], st["limit"], st["fps"]), ("paused", int(held["frames"]), 30, 30))
        for key in ("frames", "repeated", "dropped", "queue", "queue_high", "encode_ms", "elapsed", "late", "bytes"):
            self.assertIsInstance(st[key], (int, float), key)
        self.assertGreater(st["repeated"], 0)

        def paused_three_seconds():
            # Nothing is recorded while paused; the length itself is measured on the agent's clock below.
            st = self.status()
            self.assertEqual((st["state"], st["frames"]), ("paused", held["frames"]))
            return time.monotonic() - paused_at >= 3.0
        wait_for(paused_three_seconds, 30, interval=0.25, what="3 s of pause")
        self.assertTrue(self.clip("op=resume").startswith(b"ok\t"))
        self.wait_frames(int(self.status()["frames"]) + 30)
        fin = self.clip_ok("op=stop\twait=1", timeout_ms=60000)
        self.assert_saved(fin)
        # The file begins with the first frame the screen delivered, not with the start.
        t0 = log_time(self.log_line(r"\] clip %s first frame " % sid))
        tp = log_time(self.log_line(r"\] clip %s paused at " % sid))
        tr = log_time(self.log_line(r"\] clip %s resumed at " % sid))
        stopped = self.log_line(r"\] clip %s stopped: \d+ frames, \d+ late ticks \(stop\)" % sid)
        frames, late = (int(x) for x in re.search(r"stopped: (\d+) frames, (\d+) late", stopped).groups())
        ts = log_time(stopped)
        self.assertGreaterEqual(tr - tp, 2.9)
        self.assertEqual(int(fin["frames"]), frames)
        # Every frame slot of the unpaused time is in the file, except the slots a late wake
        # skipped and the frames a busy encoder dropped (both counted).
        dropped = int(fin["dropped"])
        expected = (ts - t0) - (tr - tp) - (late + dropped) / 30.0
        self.assertAlmostEqual(float(fin["seconds"]), expected, delta=0.25,
                               msg="recorded %s s, wall %.2f s, paused %.2f s, %d late, %d dropped"
                               % (fin["seconds"], ts - t0, tr - tp, late, dropped))
        self.check_video(linux_path(fin["path"]), frames, 30, (320, 240))

    def test_redo_keeps_only_the_last_take_and_cancel_keeps_nothing(self):
        folder, win = self.folder("redo")
        first = self.clip_ok("op=start\ttarget=rect\trect=%s\tdir=%s" % (PATTERN_REGION, win))
        sid = first["session"]
        self.wait_frames(10)
        paths = [first["path"]]
        for _ in range(2):
            paths.append(self.clip_ok("op=redo")["path"])
            self.wait_frames(10)
        fin = self.clip_ok("op=stop\twait=1", timeout_ms=60000)
        self.assertEqual(fin["path"], paths[-1], fin)
        self.assert_saved(fin)
        # The last take counts from its redo: its frames match the time since then on the
        # agent's clock, not the 20 and more frames of the takes before it.
        redo = [ln for ln in self.sb.log_lines() if re.search(r"\] clip %s redo -> " % sid, ln)]
        self.assertEqual(len(redo), 2, redo)
        stopped = self.log_line(r"\] clip %s stopped: \d+ frames" % sid)
        frames, late = (int(x) for x in re.search(r"stopped: (\d+) frames, (\d+) late", stopped).groups())
        self.assertEqual(int(fin["frames"]), frames)
        slots = (log_time(stopped) - log_time(redo[-1])) * 30
        # Late and dropped counts are the session's; they can only shorten the last take.
        self.assertLessEqual(frames, slots + 6, "the last take holds earlier takes' frames")
        self.assertGreaterEqual(frames, slots - late - int(fin["dropped"]) - 6)
        self.assertEqual(os.listdir(folder), [os.path.basename(linux_path(paths[-1]))])
        self.check_video(linux_path(paths[-1]), int(fin["frames"]), 30, (320, 240))

        taken = self.clip_ok("op=start\ttarget=rect\trect=%s\tdir=%s" % (PATTERN_REGION, win))["path"]
        self.wait_frames(10)
        fin = self.clip_ok("op=cancel\twait=1", timeout_ms=60000)
        self.assertEqual((fin["saved"], fin["discarded"], fin["err"]), ("0", "1", ""), fin)
        self.assertFalse(os.path.exists(linux_path(taken)))
        self.assertEqual(os.listdir(folder), [os.path.basename(linux_path(paths[-1]))])

    def test_pick_records_the_dragged_region(self):
        # The pointer starts where the drag begins, as a user's would.
        subprocess.run(["xdotool", "mousemove", "100", "100"], check=True, timeout=30)
        start = Background(lambda: self.clip("op=start\ttarget=pick", timeout_ms=90000))
        self.addCleanup(lambda: wine([exe("overlay_probe"), "close"]))
        wait_for(lambda: wine([exe("overlay_probe"), "shown", "3000"], timeout=60).returncode == 0 or
                 not start.thread.is_alive(), 30, interval=0, what="the overlay")
        self.assertEqual(self.status()["state"], "selecting")
        subprocess.run(["xdotool", "mousemove", "100", "100", "mousedown", "1", "mousemove", "260", "220",
                        "mousemove", "419", "339", "mouseup", "1"], check=True, timeout=30)
        rep = reply_fields(start.wait(60))
        self.assertEqual((rep["width"], rep["height"], rep["target"]), ("320", "240", "region 100,100 320x240"), rep)
        self.wait_frames(10)
        fin = self.clip_ok("op=stop\twait=1", timeout_ms=60000)
        self.assert_saved(fin)
        path = linux_path(fin["path"])
        self.check_video(path, int(fin["frames"]), 30, (320, 240))
        got = psnr(frame_luma(path, int(fin["frames"]) - 1), pattern_luma(PATTERN[2], PATTERN[3], PATTERN[4]))
        self.assertGreater(got, 30.0, "PSNR of the last frame")

    def test_audio_flag_tells_what_the_file_holds(self):
        # With system sound asked for but no sound ever heard, the reply's audio flag
        # must say what the file holds.
        j = self.ivrac_json("clip", "start", "--region", PATTERN_REGION, "--seconds", "1", "--system", "--wait")
        self.assert_saved(j)
        streams = [s["codec_type"] for s in probe_media(linux_path(j["path"]))["streams"]]
        self.assertEqual(j["audio"], 1 if "audio" in streams else 0, (j, streams))

    def test_existing_output_path_is_left_alone(self):
        folder, win = self.folder("existing")
        target = os.path.join(folder, "taken.mp4")
        body = os.urandom(5000)
        with open(target, "wb") as f:
            f.write(body)
        r = self.ivrac("clip", "start", "--region", PATTERN_REGION, "--seconds", "1", "-o", win + "\\taken.mp4",
                       "--wait")
        # Refused before anything is recorded.
        self.assertEqual(r.returncode, 1, (r.stdout, r.stderr))
        self.assertIn("out file already exists", r.stderr.decode())
        self.assertEqual(r.stdout, b"")
        self.assertEqual(self.status()["state"], "idle")
        with open(target, "rb") as f:
            self.assertEqual(f.read(), body)
        self.assertEqual(os.listdir(folder), ["taken.mp4"])

    def test_still_screen_is_recorded_as_repeats(self):
        # The clip bar's timer repaints the screen several times a second, so this still screen goes without it.
        r = self.ivrac("clip", "start", "--region", STILL_REGION, "--seconds", "2", "--no-bar", "--wait", "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        j = json.loads(r.stdout)
        self.assertEqual((j["saved"], j["frames"]), (1, 60), j)
        self.assertGreaterEqual(j["repeated"], 45, "a still screen is mostly repeats: %r" % j)
        self.check_video(linux_path(j["path"]), 60, 30, (320, 240))
        last = self.ivrac_json("clip", "status")
        self.assertEqual((last["state"], last["last"], last["last_path"]), ("idle", "saved", j["path"]))
        self.assertIsInstance(last["saved_total"], int)

    def test_limits_on_size_seconds_and_rate(self):
        refusals = (
            ("op=start\ttarget=rect\trect=100,100,640,63", b"err\tcode=too_small\tmsg=clip area must be at least 64x64\n"),
            ("op=start\ttarget=rect\trect=%s\tseconds=0" % PATTERN_REGION, b"err\tcode=usage\tmsg=seconds must be 1-30\n"),
            ("op=start\ttarget=rect\trect=%s\tseconds=45" % PATTERN_REGION,
             b"err\tcode=usage\tmsg=seconds must be 1-30\n"),
        )
        for fields, want in refusals:
            self.assertEqual(self.clip(fields), want, fields)
            self.assertEqual(self.status()["state"], "idle", fields)
        self.addCleanup(self.configure)
        # clip_fps as recorded, and no seconds at all: the 30 s limit.
        for setting, fps in (("0", 60), ("240", 120), ("30", 30)):
            self.configure(clip_fps=setting)
            rep = self.clip_ok("op=start\ttarget=rect\trect=%s" % PATTERN_REGION)
            self.assertEqual((rep["fps"], rep["width"], rep["height"]), (str(fps), "320", "240"), setting)
            st = self.status()
            self.assertEqual((st["fps"], st["limit"]), (str(fps), "30"), setting)
            fin = self.clip_ok("op=cancel\twait=1", timeout_ms=60000)
            self.assertEqual(fin["discarded"], "1", fin)

    def test_display_change_ends_the_clip_and_keeps_it(self):
        run = Background(lambda: self.ivrac("clip", "start", "--region", PATTERN_REGION, "--wait", "--json"))
        sid = self.wait_frames(10)["session"]
        self.assertEqual(self.agent.pipe("debug\top=display_change\n"), b"ok\n")
        r = run.wait()
        self.assertEqual(r.returncode, 0, r.stderr)
        j = json.loads(r.stdout)
        self.assertEqual(j["saved"], 1, j)
        self.log_line(r"\] clip %s stopped: %d frames, \d+ late ticks \(display changed\)" % (sid, j["frames"]))
        self.check_video(linux_path(j["path"]), j["frames"], 30, (320, 240))


class ClipFastCase(ClipAgentCase):
    """Test hooks: the clip clock five times faster (30 s at 60 fps in about 6 s), and a
    440 Hz tone fed as the clip's sound (kept only when system sound is on)."""

    debug_env = {"IVRA_DEBUG_CLIP_SPEED": "5", "IVRA_DEBUG_CLIP_TONE_HZ": "440"}
    config = {"clip_fps": "60"}

    def audio_streams(self, path):
        return [s for s in probe_media(path)["streams"] if s["codec_type"] == "audio"]

    def test_tone_gives_an_aac_track_from_zero(self):
        j = self.ivrac_json("clip", "start", "--region", "300,300,320,240", "--seconds", "3", "--system", "--wait")
        self.assert_saved(j)
        self.assertEqual((j["frames"], j["audio"]), (180, 1), j)
        path = linux_path(j["path"])
        self.check_video(path, 180, 60, (320, 240))
        audio = self.audio_streams(path)
        self.assertEqual(len(audio), 1, audio)
        a = audio[0]
        self.assertEqual((a["codec_name"], a["sample_rate"], a["channels"]), ("aac", "48000", 2))
        self.assertEqual(float(a["start_time"]), 0.0)
        self.assertAlmostEqual(float(a["duration"]), 3.0, delta=0.05)
        # The decoded sound is the tone: 440 Hz gives 880 zero crossings a second.
        r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a", "-ac", "1", "-f", "f32le",
                            "-"], capture_output=True, timeout=120)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        samples = struct.unpack("<%df" % (len(r.stdout) // 4), r.stdout)
        self.assertAlmostEqual(len(samples) / 48000.0, 3.0, delta=0.05)
        body = samples[4800:-4800]
        crossings = sum(1 for x, y in zip(body, body[1:]) if (x < 0) != (y < 0))
        self.assertAlmostEqual(crossings / (len(body) / 48000.0), 880, delta=10)

    def test_system_sound_off_mid_clip_silences_the_rest_of_the_track(self):
        sid = self.clip_ok("op=start\ttarget=rect\trect=300,300,320,240\tsystem=1")["session"]
        self.wait_frames(30)
        # Paused while ivrac starts, so the clip cannot reach its limit first.
        self.assertTrue(self.clip("op=pause").startswith(b"ok\t"))
        off_at = int(self.status()["frames"]) / 60.0
        r = self.ivrac("clip", "system", "off")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.log_line(r"\] clip %s system sound off" % sid)
        self.assertTrue(self.clip("op=resume").startswith(b"ok\t"))
        self.wait_frames(int(self.status()["frames"]) + 30)
        fin = self.clip_ok("op=stop\twait=1", timeout_ms=60000)
        self.assert_saved(fin)
        # Switched off after it was on, the source is muted and the track stays.
        self.assertEqual(fin["audio"], "1", fin)
        path = linux_path(fin["path"])
        self.assertEqual(len(self.audio_streams(path)), 1)
        self.check_video(path, int(fin["frames"]), 60, (320, 240))
        r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a", "-ac", "1", "-f", "f32le",
                            "-"], capture_output=True, timeout=120)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        samples = struct.unpack("<%df" % (len(r.stdout) // 4), r.stdout)
        from test_audio import level_at  # the FFT measure of the sound tests
        cut = int(off_at * 48000)
        self.assertGreater(level_at(samples[4800:cut - 4800], 440), 0.1)
        self.assertLess(level_at(samples[cut + 4800:], 440), 0.01)
        self.assertLess(max(abs(x) for x in samples[cut + 4800:]), 0.01)
        self.log_line(r"\] clip %s saved: " % sid)

    def test_thirty_seconds_end_with_the_time_limit(self):
        r = self.ivrac("clip", "start", "--region", "300,300,320,240", "--wait", "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        j = json.loads(r.stdout)
        self.assertEqual((j["saved"], j["frames"], j["fps"]), (1, 1800, 60), j)
        self.assert_saved(j)
        self.assertAlmostEqual(j["seconds"], 30.0, places=3)
        self.log_line(r"\] clip %d stopped: 1800 frames, \d+ late ticks \(time limit\)" % j["session"])
        self.check_video(linux_path(j["path"]), 1800, 60, (320, 240))

    def test_unwritable_destinations_are_refused_at_the_start(self):
        folder, win = self.folder("unwritable")
        with open(os.path.join(folder, "taken.mp4"), "wb") as f:
            f.write(b"theirs")
        with open(os.path.join(folder, "a file"), "wb") as f:
            f.write(b"not a folder")
        table = (
            ("out=%s\\taken.mp4" % win, r"err\tcode=bad_path\tmsg=out file already exists\n"),
            ("out=%s\\no such\\x.mp4" % win, r"err\tcode=bad_path\tmsg=cannot write out file \(err=\d+\)\n"),
            ("dir=%s\\a file\\sub" % win, r"err\tcode=bad_dir\tmsg=cannot write to the clip folder \(err=\d+\)\n"),
        )
        for fields, want in table:
            reply = self.clip("op=start\ttarget=rect\trect=%s\t%s" % (PATTERN_REGION, fields))
            self.assertRegex(reply.decode(), "^" + want + "$", fields)
        # ivrac passes the refusal on with its exit code instead of printing a path that will never exist.
        self.configure(folder1=win + "\\a file\\sub")
        self.addCleanup(self.configure)
        r = self.ivrac("clip", "start", "--region", PATTERN_REGION, "--folder", "1")
        self.assertEqual(r.returncode, 1, (r.stdout, r.stderr))
        self.assertEqual(r.stdout, b"")
        self.assertRegex(r.stderr.decode(), r"cannot write to the clip folder \(err=\d+\)")
        self.assertEqual(self.status()["state"], "idle")
        self.assertEqual(sorted(os.listdir(folder)), ["a file", "taken.mp4"])

    def test_a_name_taken_while_recording_keeps_the_clip_beside_it(self):
        folder, win = self.folder("taken_later")
        started = self.clip_ok("op=start\ttarget=rect\trect=%s\tout=%s\\mine.mp4" % (PATTERN_REGION, win))
        self.wait_frames(20)
        with open(os.path.join(folder, "mine.mp4"), "wb") as f:
            f.write(b"made while recording")
        final = reply_fields(self.clip("op=stop\twait=1", timeout_ms=60000))
        self.assert_saved(final)
        self.assertEqual(final["path"], win + "\\mine_2.mp4")
        self.assertGreater(len(video_frames(linux_path(final["path"]))), 0)
        with open(os.path.join(folder, "mine.mp4"), "rb") as f:
            self.assertEqual(f.read(), b"made while recording")
        self.assert_no_part_files(folder)
        self.log_line(r"\] clip %s: a file took its name during the recording; kept as .*mine_2\.mp4$"
                      % started["session"])

    def test_pipe_refusals(self):
        table = (
            ("clip\top=frobnicate\n", "usage", "op must be start|stop|pause|resume|toggle|redo|cancel|status"),
            ("clip\top=stop\n", "idle", "no clip is recording"),
            ("clip\top=pause\n", "idle", "no clip is recording"),
            ("clip\top=redo\n", "idle", "no clip is recording"),
            ("clip\top=mic\n", "idle", "no clip is recording"),
            ("clip\top=start\tseconds=31\n", "usage", "seconds must be 1-30"),
            ("clip\top=start\ttarget=window\thwnd=0\n", "usage", "hwnd required"),
            ("clip\top=start\ttarget=rect\trect=1,2,3\n", "usage", "rect expects x,y,w,h"),
            ("clip\top=start\ttarget=rect\trect=5000,5000,320,240\n", "no_coverage",
             "region is not on a captured monitor"),
            ("clip\top=start\ttarget=monitor\tmonitor=7\n", "bad_screen", "screen does not exist"),
            ("clip\top=start\tdir=relative\\folder\n", "bad_dir", "dir must be an absolute path"),
            ("clip\top=start\tfolder=..\n", "bad_folder", "invalid folder name"),
            ("clip\top=replay_save\n", "replay_off",
             "Replay is off. Turn on \"Keep last 30 s\" in Ivra settings, or run: ivrac replay on"),
        )
        for request, code, msg in table:
            self.assertEqual(self.agent.pipe(request), ("err\tcode=%s\tmsg=%s\n" % (code, msg)).encode(), request)
        self.assertEqual(self.status()["state"], "idle")


class KilledAgentCase(ClipAgentCase):
    """An agent killed in the middle of a clip, and the next start."""

    def test_a_killed_agents_take_outside_the_clips_folder_goes_at_the_next_start(self):
        folder, win = self.folder("elsewhere")
        taken = self.clip_ok("op=start\ttarget=rect\trect=%s\tdir=%s" % (STILL_REGION, win))["path"]
        part = linux_path(taken) + ".part"
        self.wait_frames(5)
        wait_for(lambda: os.path.exists(part), 30, what="the take's part file")
        pid = self.agent.pid
        ivtool("kill", pid)
        wait_for(lambda: not pid_alive(pid), 30, interval=0.2, what="the killed agent to end")
        self.assertTrue(os.path.exists(part), "the killed agent left its take")
        self.agent.start()
        self.log_line(r"\] startup: removed stale partial capture %s$" % re.escape(taken + ".part"))
        self.assertEqual(os.listdir(folder), [])
        with open(os.path.join(self.sb.data, "takes.tsv"), "rb") as f:
            self.assertEqual(f.read(), b"")


if __name__ == "__main__":
    main()
