"""Capture sounds: the five tones the agent dumps at start-up are byte-identical to
WAV images computed here from their partials, and screenshots play the sound their
settings ask for, through the speakers of a private PulseAudio server."""
import math
import os
import struct
import unittest

from ivra_e2e import Agent, PulseAudio, Sandbox, main, wait_for, win_path

RATE = 48000

# file, log name, seconds, fade seconds, onset ramp on the whole sum, loudest sample,
# partials (Hz, start s, decay s, amplitude)
TONES = [
    ("ivra_chime.wav", "chime", 0.55, 0.03, True, 9830.1,
     [(1046.5, 0, 0.22, 1), (1568.0, 0, 0.16, 0.18), (2093.0, 0, 0.16, 0.3), (3139.5, 0, 0.16, 0.12)]),
    ("ivra_warn.wav", "warning tone", 0.35, 0.03, True, 8191.75,
     [(659.25, 0, 0.15, 1), (1318.5, 0, 0.15, 0.12), (523.25, 0.12, 0.15, 1), (1046.5, 0.12, 0.15, 0.12)]),
    ("ivra_start.wav", "start chime", 0.330, 0.025, False, 0.28 * 32767,
     [(783.99, 0, 0.09, 1), (1567.98, 0, 0.06, 0.15), (1174.66, 0.095, 0.14, 1), (2349.32, 0.095, 0.08, 0.15)]),
    ("ivra_cancel.wav", "cancel tone", 0.300, 0.025, False, 0.2 * 32767,
     [(659.25, 0, 0.08, 1), (523.25, 0.085, 0.12, 0.9)]),
    ("ivra_tick.wav", "tick", 0.120, 0.025, False, 0.22 * 32767,
     [(1318.51, 0, 0.035, 1), (2637.02, 0, 0.02, 0.2)]),
]


def f32(x):
    """x rounded to a 32-bit float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def ramp(d):
    return d / 0.004 if d < 0.004 else 1.0


def expected_wav(seconds, fade, ramp_sum, target, partials):
    """The WAV image: partials summed in double, rounded to float, faded to zero over
    the last samples, scaled so the loudest sample is `target`, truncated to 16 bits."""
    n = int(round(seconds * RATE))
    nf = int(round(fade * RATE))
    xs = []
    for i in range(n):
        t = i / RATE
        s = 0.0
        for hz, start, tau, amp in partials:
            if t >= start:
                d = t - start
                s += amp * (1.0 if ramp_sum else ramp(d)) * math.sin(2.0 * math.pi * hz * d) * math.exp(-d / tau)
        if ramp_sum:
            s *= ramp(t)
        x = f32(s)
        if i >= n - nf:
            x = f32(x * ((n - i) / nf))
        xs.append(x)
    peak = max(abs(x) for x in xs)
    factor = target / (peak if peak >= 1e-9 else 1.0)
    data = bytearray()
    for x in xs:
        v = x * factor
        data += struct.pack("<h", 32767 if v >= 32767 else -32768 if v <= -32768 else int(v))
    return (b"RIFF" + struct.pack("<I", len(data) + 36) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, RATE, RATE * 2, 2, 16) + b"data" + struct.pack("<I", len(data)) +
            bytes(data))


class CaptureSoundsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pa = PulseAudio().start()
        cls.sb = Sandbox()
        try:
            cls.write_config(play_sound=0)
            cls.agent = Agent(cls.sb, env=dict(cls.pa.env, IVRA_DUMP_CHIME="1", IVRA_DEBUG_HOOKS="1"))
            cls.agent.start()
        except BaseException:
            try:
                cls.sb.cleanup()
            finally:
                cls.pa.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.agent.stop()
        finally:
            try:
                cls.sb.cleanup()
            finally:
                cls.pa.stop()

    @classmethod
    def write_config(cls, **values):
        cfg = {"onboarded": "1", "stills_dir": win_path(os.path.join(cls.sb.profile, "shots")), "warn_free_mb": "0",
               "stop_free_mb": "0"}
        cfg.update({k: str(v) for k, v in values.items()})
        os.makedirs(cls.sb.data, exist_ok=True)
        with open(os.path.join(cls.sb.data, "config.ini"), "w", newline="") as f:
            for k, v in cfg.items():
                f.write("%s=%s\r\n" % (k, v))

    def sound_lines(self, since):
        return [l.split("debug: sound ", 1)[1] for l in self.sb.log_lines()[since:] if "debug: sound " in l]

    def test_dumped_tones_match_their_partials_byte_for_byte(self):
        log = self.sb.log_text()
        for name, what, *shape in TONES:
            with self.subTest(name):
                path = os.path.join(self.sb.temp, name)
                with open(path, "rb") as f:
                    got = f.read()
                want = expected_wav(*shape)
                first = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]), None)
                self.assertEqual((len(got), first), (len(want), None), "size, first differing byte")
                self.assertIn("%s dumped to %s\n" % (what, win_path(path)), log)

    def test_screenshots_play_the_sound_their_settings_ask_for(self):
        rec = self.pa.record().wait_live()
        cases = [
            # settings, reply, sounds played for the shot
            (dict(play_sound=0), b"ok\tpath=", []),
            (dict(play_sound=0, stop_free_mb=2147483647), b"err\tcode=disk_full\t", ["warning tone played"]),
            (dict(play_sound=1, warn_free_mb=2147483647), b"ok\tpath=", ["warning tone played"]),
            (dict(play_sound=1), b"ok\tpath=", ["chime played"]),
        ]
        for cfg, reply_start, sounds in cases:
            with self.subTest(cfg):
                self.write_config(**cfg)
                self.assertEqual(self.agent.pipe("reload\n"), b"ok\n")
                since = len(self.sb.log_lines())
                reply = self.agent.pipe("shot\ttarget=rect\trect=0,0,32,32\n", timeout_ms=20000)
                self.assertTrue(reply.startswith(reply_start), reply)
                # A refusal plays before it answers; an accepted shot plays just before its "queued" line,
                # which the save job's answer may overtake.
                if reply.startswith(b"ok"):
                    wait_for(lambda: any("] capture: 32x32 queued in " in l for l in self.sb.log_lines()[since:]), 10,
                             what="the queued line")
                self.assertEqual(self.sound_lines(since), sounds)
        # What was played reaches the speakers: the chime peaks at 0.3 of full scale, the warning tone at 0.25.
        peak = wait_for(lambda: max((abs(x) for x in rec.samples()), default=0) > 0.2 and
                        max(abs(x) for x in rec.samples()), 15, interval=0.2, what="a sound at the speakers")
        self.assertLess(peak, 0.31)


if __name__ == "__main__":
    main()
