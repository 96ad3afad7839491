"""Clip and replay sound under Wine with a private PulseAudio server: system sound
(what plays into the default output) and the microphone (what plays into the
microphone sink) reach the clip's AAC track, decoded by FFmpeg and measured at
the tones' frequencies; the start chime plays but stays out of the track; switching
desktop sound off mutes it from that moment and keeps the microphone, and a clip
keeps its track unless both sources are off from its start; a silent
desktop records digital silence without underruns; pause leaves no gap; the
microphone reopens after a switch off and on; a replay save carries system sound
unless it is switched off; a missing microphone and an output that delivers nothing
show in the status.
"""
import math
import os
import re
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import PulseAudio, linux_path, log_time, main, probe_media, wait_for  # noqa: E402
from test_clip import ClipAgentCase  # noqa: E402

REGION = "1200,600,320,240"
RATE = 48000
# The start chime's partials: none may show where the chime must not be heard.
CHIME_HZ = (783.99, 1174.66, 1567.98)


def decode_mono(path):
    """The clip's sound decoded by FFmpeg as 48 kHz mono floats."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a", "-ac", "1", "-ar", str(RATE),
                        "-f", "f32le", "-"], capture_output=True, timeout=120)
    if r.returncode != 0 or r.stderr.strip():
        raise AssertionError("FFmpeg cannot decode the sound of %s: %r" % (path, r.stderr[-300:]))
    return struct.unpack("<%df" % (len(r.stdout) // 4), r.stdout)


def level_at(samples, hz):
    """Amplitude of the hz component of samples (Goertzel, Hann window)."""
    n = len(samples)
    if n < 2:
        return 0.0
    w = 2.0 * math.pi * hz / RATE
    coeff = 2.0 * math.cos(w)
    s1 = s2 = 0.0
    step = 2.0 * math.pi / (n - 1)
    for i, x in enumerate(samples):
        s0 = x * (0.5 - 0.5 * math.cos(step * i)) + coeff * s1 - s2
        s2, s1 = s1, s0
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    return 4.0 * math.sqrt(max(power, 0.0)) / n


def peak_hz(samples, lo=100, hi=4000, step=20):
    """The strongest frequency on a coarse grid (the FFT peak, good to a grid step)."""
    return max(range(lo, hi + 1, step), key=lambda hz: level_at(samples, hz))


class AudioCase(ClipAgentCase):
    """One PulseAudio server and one agent recording from it; each class keeps its
    own sound playing for its whole life (players take seconds to start under load)."""

    microphone = True
    config = {"clip_audio_system": "1", "clip_audio_mic": "1"}

    @classmethod
    def setUpClass(cls):
        cls.pa = PulseAudio().start()
        try:
            cls.players = cls.start_sound(cls.pa)
            cls.debug_env = dict(cls.pa.env if cls.microphone else cls.pa.env_without_microphone())
            super().setUpClass()
        except BaseException:
            cls.pa.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            super().tearDownClass()
        finally:
            cls.pa.stop()

    @classmethod
    def start_sound(cls, pa):
        return []

    @staticmethod
    def wait_heard(pa, source, hz):
        """Waits until the source carries the tone (a silence: hz 0, and any samples)."""
        rec = pa.record(source)
        try:
            rec.wait_live()

            def heard():
                s = rec.samples()[-RATE // 5:]
                if hz == 0:
                    return len(s) >= RATE // 5
                return len(s) >= RATE // 5 and level_at(s, hz) > 0.1
            wait_for(heard, 30, interval=0.2, what="%d Hz on %s" % (hz, source))
        finally:
            rec.stop()

    def record(self, seconds, *flags):
        j = self.ivrac_json("clip", "start", "--region", REGION, "--seconds", str(seconds), "--wait", *flags)
        self.assert_saved(j)
        return j, linux_path(j["path"])

    def audio_streams(self, path):
        return [s for s in probe_media(path)["streams"] if s["codec_type"] == "audio"]

    def last_underruns(self):
        """Underrun frames of the last audio thread that ended (from its log line)."""
        lines = [ln for ln in self.sb.log_lines() if "clip audio: thread ended" in ln]
        self.assertTrue(lines)
        m = re.search(r" (\d+) underruns", lines[-1])
        self.assertTrue(m, lines[-1])
        return int(m.group(1))

    def assert_track_matches_video(self, path):
        info = probe_media(path)
        a = [s for s in info["streams"] if s["codec_type"] == "audio"]
        v = [s for s in info["streams"] if s["codec_type"] == "video"][0]
        self.assertEqual(len(a), 1, info["streams"])
        self.assertEqual((a[0]["codec_name"], a[0]["sample_rate"], a[0]["channels"]), ("aac", "48000", 2))
        self.assertEqual(float(a[0]["start_time"]), 0.0)
        # A gap or a lost pause shows as seconds; under a loaded machine the sound's last read at
        # the stop may trail the last picture by a few AAC frames.
        self.assertAlmostEqual(float(a[0]["duration"]), float(v["duration"]), delta=0.1)


class AudioTracks(AudioCase):
    """A 1 kHz tone on the speakers and a 440 Hz voice on the microphone all along."""

    @classmethod
    def start_sound(cls, pa):
        players = [pa.play_tone("ivra_out", 1000, 600, amplitude=0.4), pa.play_tone("ivra_mic", 440, 600, amplitude=0.4)]
        cls.wait_heard(pa, "ivra_out.monitor", 1000)
        cls.wait_heard(pa, "ivra_mic.monitor", 440)
        return players

    def test_system_sound_and_microphone_without_the_start_chime(self):
        since = len(self.sb.log_lines())
        j, path = self.record(4, "--system", "--mic")
        # The chime plays for the user even where system sound would hear it.
        self.assertIn("debug: sound start chime played", "\n".join(self.sb.log_lines()[since:]))
        self.assertEqual(j["audio"], 1, j)
        self.assert_track_matches_video(path)
        pcm = decode_mono(path)
        body = pcm[RATE:3 * RATE]
        # The speakers' tone is the spectrum's peak away from the microphone's.
        self.assertEqual(peak_hz(body[:RATE // 2], lo=600), 1000)
        tone, voice = level_at(body, 1000), level_at(body, 440)
        self.assertGreater(tone, 0.05, (tone, voice))
        self.assertGreater(voice, 0.05, (tone, voice))
        # The start chime is in neither source, before 450 ms or after.
        head = pcm[:int(0.45 * RATE)]
        for hz in CHIME_HZ:
            self.assertLess(level_at(head, hz), 0.01, hz)
            self.assertLess(level_at(pcm[int(0.45 * RATE):int(1.2 * RATE)], hz), 0.01, hz)
        self.assertLess(max(abs(x) for x in head[:int(0.4 * RATE)]), 0.01)
        self.log_line(r"\] clip audio: system sound \(.*\) opened")
        self.log_line(r"\] clip audio: microphone opened")

    def test_desktop_sound_switch_mutes_it_from_that_moment_and_keeps_the_microphone(self):
        sid = self.clip_ok("op=start\ttarget=rect\trect=%s\tseconds=20\tsilent=1\tsystem=1\tmic=1" % REGION)["session"]
        self.wait_frames(45)
        switches = []  # (value, track seconds just before the switch, just after it)
        for on in ("0", "1"):
            before = int(self.status()["frames"]) / 30.0
            self.assertTrue(self.clip("op=system\ton=%s" % on).startswith(b"ok\t"))
            switches.append((on, before, int(self.status()["frames"]) / 30.0))
            self.log_line(r"\] clip %s system sound %s" % (sid, "on" if on == "1" else "off"))
            self.wait_frames(int(self.status()["frames"]) + 36)
        fin = self.clip_ok("op=stop\twait=1", timeout_ms=60000)
        self.assert_saved(fin)
        path = linux_path(fin["path"])
        self.assert_track_matches_video(path)
        pcm = decode_mono(path)
        (_, off_before, off_after), (_, on_before, on_after) = switches
        spans = [  # (from s, to s, desktop tone heard)
            (0.5, off_before - 0.15, True),
            (off_after + 0.25, on_before - 0.1, False),
            (on_after + 0.25, len(pcm) / RATE - 0.1, True),
        ]
        for a, b, heard in spans:
            part = pcm[int(a * RATE):int(b * RATE)]
            self.assertGreater(len(part), RATE // 4, (a, b))
            tone, voice = level_at(part, 1000), level_at(part, 440)
            self.assertGreater(voice, 0.05, (a, b, tone, voice))
            if heard:
                self.assertGreater(tone, 0.05, (a, b, tone, voice))
            else:
                self.assertLess(tone, 0.01, (a, b, tone, voice))
                self.assertEqual(peak_hz(part), 440)

    def test_sources_switched_off_at_the_start(self):
        rows = [  # flags, track kept (and the microphone heard in it)
            (("--mic", "--no-system"), True),
            (("--no-mic", "--no-system"), False),
        ]
        for flags, kept in rows:
            with self.subTest(flags=flags):
                j, path = self.record(2, "--silent", *flags)
                self.assertEqual(j["audio"], 1 if kept else 0, j)
                self.assertEqual(len(self.audio_streams(path)), 1 if kept else 0)
                if not kept:
                    continue
                body = decode_mono(path)[RATE // 2:]
                self.assertEqual(peak_hz(body), 440)
                self.assertGreater(level_at(body, 440), 0.05)
                self.assertLess(level_at(body, 1000), 0.01)

    def test_pause_leaves_no_gap_and_the_microphone_reopens(self):
        sid = self.clip_ok("op=start\ttarget=rect\trect=%s\tseconds=20\tsilent=1\tmic=1" % REGION)["session"]
        self.wait_frames(45)
        self.assertTrue(self.clip("op=pause").startswith(b"ok\t"))
        paused_at = log_time(self.log_line(r"\] clip %s paused" % sid))
        # The pause's length is the test's input; the log stamps below confirm it.
        t0 = time.monotonic()
        wait_for(lambda: time.monotonic() - t0 >= 3.0, 10, interval=0.1, what="3 s of pause")
        self.assertTrue(self.clip("op=resume").startswith(b"ok\t"))
        resumed_at = log_time(self.log_line(r"\] clip %s resumed" % sid))
        self.assertGreaterEqual(resumed_at - paused_at, 3.0)
        opened = self.sb.log_text().count("clip audio: microphone opened")
        self.assertEqual(self.ivrac("clip", "mic", "off").returncode, 0)
        self.log_line(r"\] clip audio: microphone closed")
        self.assertEqual(self.ivrac("clip", "mic", "on").returncode, 0)
        wait_for(lambda: self.sb.log_text().count("clip audio: microphone opened") > opened, 10, what="mic reopened")
        st = self.wait_frames(int(self.status()["frames"]) + 30)
        self.assertEqual(st["mic_ok"], "1", st)
        fin = self.clip_ok("op=stop\twait=1", timeout_ms=60000)
        self.assert_saved(fin)
        path = linux_path(fin["path"])
        self.assert_track_matches_video(path)
        pcm = decode_mono(path)
        # The tone runs through the whole file (from its first 250 ms on): the pause left no gap.
        win = RATE // 4
        quiet = [i for i in range(win, len(pcm) - win, win) if max(abs(x) for x in pcm[i:i + win]) < 0.05]
        self.assertEqual(quiet, [])
        self.assertAlmostEqual(len(pcm) / RATE, int(fin["frames"]) / 30.0, delta=0.05)

    def test_replay_saves_system_sound_unless_it_is_off(self):
        self.addCleanup(self.configure, replay_enabled=0, clip_audio_system=1)
        self.configure(replay_enabled=1)
        wait_for(lambda: float(self.status()["replay_buffered"]) >= 4.0, 60, interval=0.3, what="4 s buffered")
        j = self.replay_save_json("--seconds", "3", "--wait")
        self.assert_saved(j)
        path = linux_path(j["path"])
        self.assertEqual([s["codec_name"] for s in self.audio_streams(path)], ["aac"])
        pcm = decode_mono(path)
        self.assertEqual(peak_hz(pcm[len(pcm) // 2:len(pcm) // 2 + RATE // 2]), 1000)
        self.configure(replay_enabled=1, clip_audio_system=0)
        j = self.replay_save_json("--seconds", "3", "--wait")
        self.assert_saved(j)
        self.assertEqual(self.audio_streams(linux_path(j["path"])), [])


class AudioQuiet(AudioCase):
    """No microphone at all, and a program playing silence on the speakers."""

    microphone = False

    @classmethod
    def start_sound(cls, pa):
        players = [pa.play_silence("ivra_out", 600)]
        cls.wait_heard(pa, "ivra_out.monitor", 0)
        return players

    def test_silent_desktop_is_digital_silence_without_underruns(self):
        self.wait_heard(self.pa, "ivra_out.monitor", 0)
        sid = self.clip_ok("op=start\ttarget=rect\trect=%s\tseconds=3\tsilent=1\tmic=0\tsystem=1" % REGION)["session"]
        st = self.wait_frames(60)
        self.assertEqual((st["audio"], st["system_ok"], st["mic_ok"]), ("1", "1", "0"), st)
        fin = self.clip_ok("op=stop\twait=1", timeout_ms=60000)
        self.assert_saved(fin)
        path = linux_path(fin["path"])
        self.assert_track_matches_video(path)
        self.assertEqual(max(abs(x) for x in decode_mono(path)), 0.0)
        self.log_line(r"\] clip %s saved" % sid)
        self.assertEqual(self.last_underruns(), 0)

    def test_missing_microphone_and_an_output_delivering_nothing(self):
        self.pa.pactl("suspend-sink", "ivra_out", "1")
        self.addCleanup(self.pa.pactl, "suspend-sink", "ivra_out", "0")
        sid = self.clip_ok("op=start\ttarget=rect\trect=%s\tseconds=3\tsilent=1\tmic=1\tsystem=1" % REGION)["session"]
        st = self.wait_frames(45)
        self.assertEqual((st["audio"], st["mic"], st["mic_ok"]), ("1", "1", "0"), st)
        fin = self.clip_ok("op=stop\twait=1", timeout_ms=60000)
        self.assert_saved(fin)
        self.assert_track_matches_video(linux_path(fin["path"]))
        # The microphone's result code is in the log.
        line = self.log_line(r"\] clip audio: microphone unavailable hr=0x[0-9a-f]{8}")
        self.assertNotEqual(int(line.rsplit("hr=", 1)[1][:10], 16), 0, line)
        self.log_line(r"\] clip %s saved" % sid)
        self.assertGreater(self.last_underruns(), RATE)


if __name__ == "__main__":
    main()
