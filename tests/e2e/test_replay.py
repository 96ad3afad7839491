"""The replay buffer under Wine (software encoder) on a small private display with an
animated pattern, files checked with the Linux ffprobe and FFmpeg decoder: a save
right after enabling holds what was buffered; after a minute a 30 s save is
29.5-30 s long and starts at a key frame; two quick saves get ids 1 and 2; with
the replay off a save is refused with replay_off; buffered sound (a test tone) is
saved only while clip_audio_system is on; a display change restarts the replay, and
so do a lost capture (a lock screen, through a test hook) and a failed encoder, while
a failed conversion costs one frame only."""
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import (decode_all, linux_path, log_time, main, private_prefix, probe_media,  # noqa: E402
                      remove_tree, start_x, stop_process, wait_for)
from test_clip import Background, ClipAgentCase  # noqa: E402

SCREEN = (640, 360)
FPS = 20                     # an even rate: a key frame every 10 frames is exactly 0.5 s
_saved_env = {}
_xproc = None
_prefix = None


def setUpModule():
    """A private 640x360 display and Wine prefix: the replay always records the
    primary monitor, and a small one keeps its encoding cheap."""
    global _xproc, _prefix
    _saved_env.update({k: os.environ.get(k) for k in ("WINEPREFIX", "DISPLAY")})
    try:
        _xproc, display = start_x(["Xvfb", "-screen", "0", "%dx%dx24" % SCREEN, "-nolisten", "tcp", "-ac"])
        _prefix = private_prefix()
        os.environ.update({"WINEPREFIX": _prefix, "DISPLAY": ":%d" % display})
        subprocess.run(["/usr/lib/wine/wineserver", "-p"], check=True)
    except BaseException:
        tearDownModule()
        raise


def tearDownModule():
    try:
        if _prefix:
            # The server saves the registry as it ends: wait, or it writes into the removed prefix.
            for arg in ("-k", "-w"):
                subprocess.run(["/usr/lib/wine/wineserver", arg], timeout=30)
    finally:
        for k, v in _saved_env.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        if _xproc is not None:
            stop_process(_xproc)
        if _prefix:
            remove_tree(_prefix)


class ReplayCase(ClipAgentCase):
    """A whole-screen animated pattern, FPS frames a second, the replay off at start."""

    config = {"clip_fps": str(FPS)}
    pattern_args = ("--animate", str(FPS), "0,0,%d,%d,1" % SCREEN)

    def fresh_replay(self):
        """Turns the replay off and on again (a new buffer, save ids from 1); returns the
        agent's clock at which buffering began."""
        self.configure(replay_enabled=0)
        wait_for(lambda: self.status()["replay"] == "0", 30, interval=0.2, what="replay off")
        self.addCleanup(self.configure, replay_enabled=0)
        seen = self.sb.log_text().count("replay: buffering screen")
        self.configure(replay_enabled=1)
        wait_for(lambda: self.sb.log_text().count("replay: buffering screen") > seen, 30, interval=0.2,
                 what="replay start")
        line = [ln for ln in self.sb.log_lines() if "replay: buffering screen" in ln][-1]
        self.assertIn("replay: buffering screen 0 %dx%d @ %d fps, last 30 s" % (SCREEN + (FPS,)), line)
        return log_time(line)

    def wait_buffered(self, seconds, timeout=60):
        return wait_for(lambda: float(self.status()["replay_buffered"]) >= seconds, timeout, interval=0.2,
                        what="%.1f s buffered" % seconds)

    def check_replay_file(self, path, frames):
        """A video-only file (clip_audio_system is off) from timestamp 0, decoded in full,
        with a key frame first and at least every half second."""
        info = probe_media(path)
        self.assertEqual([s["codec_type"] for s in info["streams"]], ["video"])
        got = self.check_video(path, frames, FPS, SCREEN)
        keys = [i for i, f in enumerate(got) if f["key"]]
        gaps = [b - a for a, b in zip(keys, keys[1:] + [len(got)])]
        self.assertLessEqual(max(gaps), (FPS + 1) // 2, "key frames at %r" % keys)
        return got


class ReplayFastCase(ReplayCase):
    """Test hooks: the replay clock four times faster (a minute in 15 s), and a 440 Hz
    tone buffered as the replay's sound, which saves keep only while
    clip_audio_system is on."""

    debug_env = {"IVRA_DEBUG_CLIP_SPEED": "4", "IVRA_DEBUG_CLIP_TONE_HZ": "440"}

    def test_saves_follow_clip_audio_system(self):
        self.fresh_replay()
        self.wait_buffered(3.0)
        self.configure(replay_enabled=1, clip_audio_system=1)
        fin = self.clip_ok("op=replay_save\tseconds=3\twait=1", timeout_ms=90000)
        self.assert_saved(fin)
        self.assertEqual(fin["audio"], "1", fin)
        path = linux_path(fin["path"])
        streams = probe_media(path)["streams"]
        self.assertEqual([s["codec_type"] for s in streams], ["video", "audio"])
        a = streams[1]
        self.assertEqual((a["codec_name"], a["sample_rate"], a["channels"]), ("aac", "48000", 2))
        # The sound starts with the first AAC frame (1024 samples) at or after the first video frame.
        self.assertGreaterEqual(float(a["start_time"]), 0.0)
        self.assertLess(float(a["start_time"]), 1024 / 48000.0)
        self.assertAlmostEqual(float(a["duration"]), float(fin["seconds"]), delta=0.1)
        decode_all(path)

    def test_display_change_restarts_the_replay(self):
        self.fresh_replay()
        self.wait_buffered(1.0)
        seen = self.sb.log_text().count("replay: buffering screen")
        self.assertEqual(self.agent.pipe("debug\top=display_change\n"), b"ok\n")
        self.log_line(r"\] replay: stopped \(display changed\)")
        wait_for(lambda: self.sb.log_text().count("replay: buffering screen") > seen, 30, interval=0.2,
                 what="the replay buffering again")
        self.wait_buffered(1.0)
        self.assertEqual(self.status()["replay"], "1")

    LOST = ("screen capture was lost (lock screen, secure prompt or full-screen switch); "
            "the replay restarts by itself")

    def buffering_count(self):
        return self.sb.log_text().count("replay: buffering screen")

    def wait_buffering_again(self, seen):
        """Waits until the replay started once more since `seen` and buffers; returns the
        start's log line."""
        wait_for(lambda: self.buffering_count() > seen, 30, interval=0.2, what="the replay buffering again")
        wait_for(lambda: (lambda st: st["replay"] == "1" and st["replay_err"] == "")(self.status()), 30,
                 interval=0.2, what="the replay status buffering, without an error")
        return [ln for ln in self.sb.log_lines() if "replay: buffering screen" in ln][-1]

    def save_and_check(self):
        fin = self.clip_ok("op=replay_save\tseconds=2\twait=1", timeout_ms=90000)
        self.assert_saved(fin)
        self.check_replay_file(linux_path(fin["path"]), int(fin["frames"]))

    def test_lost_capture_restarts_the_replay(self):
        self.fresh_replay()
        self.wait_buffered(1.0)
        self.addCleanup(self.agent.pipe, "debug\top=access_lost\tcount=0\n")
        # Locked: every acquisition reports access lost until the hook ends.
        self.assertEqual(self.agent.pipe("debug\top=access_lost\tcount=1000000\n"), b"ok\n")
        self.log_line(r"\] replay: stopped \(capture lost\)")
        st = wait_for(lambda: (lambda st: st if st["replay"] == "0" and st["replay_err"] else None)(self.status()),
                      30, interval=0.2, what="the replay down with a reason")
        self.assertEqual(st["replay_err"], self.LOST)
        j = self.ivrac_json("replay", "status")
        self.assertEqual((j["enabled"], j["buffering"], j["error"]), (True, False, self.LOST), j)
        # A save (and the hotkey's balloon) says why instead of "Replay is off".
        self.assertEqual(self.clip("op=replay_save"), b"err\tcode=replay_off\tmsg=%s\n" % self.LOST.encode())

        # Unlocked: the replay is back by itself within the longest wait between attempts (4 s).
        seen = self.buffering_count()
        self.assertEqual(self.agent.pipe("debug\top=access_lost\tcount=0\n"), b"ok\n")
        back = self.wait_buffering_again(seen)
        ended = self.log_line(r"\] debug: the next 0 acquisitions report access lost")
        self.assertLess(log_time(back) - log_time(ended), 5.0, (ended, back))
        self.wait_buffered(1.0)
        self.save_and_check()

        # A short loss: the replay stops and starts again at once.
        seen = self.buffering_count()
        self.assertEqual(self.agent.pipe("debug\top=access_lost\tcount=2\n"), b"ok\n")
        self.wait_buffering_again(seen)

    def test_encoder_faults(self):
        self.fresh_replay()
        self.wait_buffered(1.0)
        seen = self.buffering_count()
        # A conversion that fails costs one frame; buffering goes on with the same encoder.
        self.assertEqual(self.agent.pipe("debug\top=convert_fail\tcount=1\n"), b"ok\n")
        self.log_line(r"\] clip: frame \d+ could not be converted \(1 so far\); the last picture repeats")
        before = float(self.status()["replay_buffered"])
        self.wait_buffered(min(before + 1.0, 30.0))
        self.assertEqual((self.buffering_count(), self.status()["replay"]), (seen, "1"))
        self.assertNotIn("replay: stopped", self.sb.log_text().split("debug: the next 1 conversions fail")[-1])

        # A failed encode is sticky: the replay reports it and restarts with a new encoder.
        self.assertEqual(self.agent.pipe("debug\top=encode_fail\tcount=1\n"), b"ok\n")
        self.log_line(r"\] replay: encoder failed: send frame failed \(-22\); restarting")
        self.log_line(r"\] replay: stopped \(encoder failed\)")
        self.wait_buffering_again(seen)
        self.wait_buffered(1.0)
        self.save_and_check()

    def test_thirty_seconds_after_a_minute(self):
        self.fresh_replay()
        began = self.sb.log_text().count("replay: buffering screen")
        # The status shows at most 30 s; the encoder's own counter of the minute is the
        # saved file's first timestamp below, so only the wait is on this clock.
        start = time.monotonic()
        wait_for(lambda: float(self.status()["replay_buffered"]) >= 30.0 and time.monotonic() - start >= 60 / 4 + 1,
                 90, interval=0.5, what="a minute of replay")
        j = self.replay_save_json("--wait")
        self.assertEqual(self.sb.log_text().count("replay: buffering screen"), began, "the replay restarted")
        self.assertEqual((j["saved"], j["fps"], j["width"], j["height"], j["audio"]), (1, FPS) + SCREEN + (0,), j)
        self.assert_saved(j)
        self.assertGreaterEqual(j["seconds"], 29.5, j)
        self.assertLessEqual(j["seconds"], 30.0, j)
        self.check_replay_file(linux_path(j["path"]), j["frames"])

    def test_two_quick_saves(self):
        self.fresh_replay()
        self.wait_buffered(3.0)
        runs = [Background(lambda: self.clip_ok("op=replay_save\tseconds=5\twait=1", timeout_ms=90000))
                for _ in range(2)]
        got = [r.wait() for r in runs]
        self.assertEqual(sorted(int(g["session"]) for g in got), [1, 2], got)
        self.assertNotEqual(got[0]["path"], got[1]["path"])
        for g in got:
            self.assert_saved(g)
            self.assertGreater(float(g["seconds"]), 2.0, g)
            self.assertLessEqual(float(g["seconds"]), 5.0, g)
            self.check_replay_file(linux_path(g["path"]), int(g["frames"]))
        self.assertEqual(self.status()["replay_saves"], "2")

    def test_save_while_off_is_refused(self):
        r = self.ivrac("replay", "off", "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(json.loads(r.stdout)["enabled"], False)
        wait_for(lambda: self.status()["replay"] == "0", 30, interval=0.2, what="replay off")
        j = self.ivrac_json("replay", "save", code=5)
        self.assertEqual(j["error"], "replay_off", j)
        self.assertEqual(self.clip("op=replay_save"),
                         b"err\tcode=replay_off\tmsg=Replay is off. Turn on \"Keep last 30 s\" in Ivra settings, "
                         b"or run: ivrac replay on\n")


class ReplayRealClockCase(ReplayCase):
    """Real clock: a save right after enabling holds what was buffered."""

    def test_save_right_after_enabling(self):
        began = self.fresh_replay()
        self.wait_buffered(4.0)
        fin = self.clip_ok("op=replay_save\tseconds=10\twait=1", timeout_ms=90000)
        self.assert_saved(fin)
        asked = log_time(self.log_line(r"\] replay: saving last 10 s -> "))
        buffered = asked - began
        seconds = float(fin["seconds"])
        # From the first key frame to the newest packet encoded when the save ran: at least
        # the 4 s of frames the status counted, less up to 16 still in flight, and never
        # more than the time it buffered on the agent's clock.
        self.assertGreaterEqual(seconds, 4.0 - 16.0 / FPS, fin)
        self.assertLessEqual(seconds, buffered + 0.2, (seconds, buffered))
        self.assertLess(seconds, 8.0, fin)
        decode_all(linux_path(fin["path"]))
        self.check_replay_file(linux_path(fin["path"]), int(fin["frames"]))


if __name__ == "__main__":
    main()
