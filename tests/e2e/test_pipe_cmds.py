"""Inspection and screenshot commands of the control pipe through the real agent:
the exact reply formats of status, screens, input, storage and reload, the field
checks of shot, a saved screenshot that decodes, the time-out answer, and reload
while the main thread hangs."""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import SharedAgentTestCase, decode_image, main, wait_for, win_path  # noqa: E402

HOTKEYS = ["hk_screen", "hk_window", "hk_region", "hk_clip", "hk_clip_app", "hk_clip_screen", "hk_replay",
           "hk_clip_pause", "hk_clip_redo"]
SHORT = ["screen", "window", "region", "clip", "clip_app", "clip_screen", "replay", "clip_pause", "clip_redo"]

POOL = r"\d+,\d+,\d+,\d+,\d+,\d+\.\d"
STATUS_RE = re.compile(
    r"ok\tversion=0\.2\.12\tpid=(?P<pid>\d+)\toutputs=(?P<outputs>\d+)\tstills_dir=(?P<stills>[^\t]*)"
    r"\tclips_dir=(?P<clips>[^\t]*)\tuptime_s=(?P<uptime>\d+)\tcaptures=(?P<captures>\d+)\thangs=\d+" +
    "".join(r"\t%s=(?P<%s>[^\t]*)" % (k, k) for k in HOTKEYS) +
    r"\tpool_stills=(?P<stills_pool>%s)\tpool_clips=%s\tpool_io=%s\tpool_pipe=(?P<pipe_pool>%s)" % (POOL, POOL, POOL, POOL) +
    r"\tmem_stills=\d+,\d+,(?P<stills_budget>\d+)\tmem_clips=\d+,\d+,\d+\tmem_total=(?P<mem_total>\d+)"
    r"\tmem_percent=\d+\n\Z")
SCREEN_RE = re.compile(r"m(\d+)=(-?\d+),(-?\d+),(\d+),(\d+),([01]),(\d+),([^\t\n]+)")
INPUT_RE = re.compile(
    r"ok\trunning=[01]\traw_enabled=[01]\thook_enabled=[01]\traw_ready=[01]\thook_ready=[01]\traw_error=\d+"
    r"\thook_error=\d+\tmouse_ready=[01]\tmouse_error=\d+" +
    "".join(r"\tregistered_%s=(?P<%s>[01])" % (s, s) for s in SHORT) +
    r"\tregistered_events=\d+\traw_events=\d+\thook_events=\d+\tregistered_activations=\d+\traw_activations=\d+"
    r"\thook_activations=\d+\tduplicates=\d+\tstale=\d+\tblocked=\d+\tdropped=\d+"
    r"\tlast_route=(registered|raw|hook|none)\tlast_action=\d+\tsession_active=[01]\tmouse_mode=(native|raw|none)"
    r"\tmouse_reason=[^\t]+\tmouse_packets=\d+\tfocus_requested=[01]\tfocus_owned=[01]\n\Z")
STORAGE_RE = re.compile(
    r"ok\tdrive=[^\t]*\ttotal=\d+\tfree=\d+\tstills=\d+\tstills_n=\d+\tclips=\d+\tclips_n=\d+\tother=\d+"
    r"\tother_n=\d+\tivra=\d+\troots=\d+\tage_s=-?\d+\tscan_ms=\d+\tlow_space=[01]\tdisk_full=[01]\tivra_big=[01]"
    r"\twarn_free_mb=(?P<warn>-?\d+)\tstop_free_mb=(?P<stop>-?\d+)\twarn_ivra_gb=(?P<gb>-?\d+)(\tstale=1)?\n\Z")
SHOT_RE = re.compile(
    r"ok\tpath=(?P<path>[^\t]+)\twidth=(?P<w>\d+)\theight=(?P<h>\d+)\tbytes=(?P<bytes>\d+)\tms=\d+"
    r"\ttarget=(?P<target>[^\t\n]+)(?P<extra>(\t[a-z_]+=[^\t\n]*)*)\n\Z")


def linux_path(path):
    """The Linux path of a Z: path the agent reported."""
    assert path.startswith("Z:\\"), path
    return path[2:].replace("\\", "/")


class PipeCommands(SharedAgentTestCase):
    """One agent (debug hooks on, every hotkey off except the region one) serves every test."""

    agent_env = {"IVRA_DEBUG_HOOKS": "1"}

    @classmethod
    def prepare(cls, sb):
        cls.shots = os.path.join(sb.root, "shots")
        os.makedirs(sb.data)
        cfg = {"onboarded": "1", "stills_dir": win_path(cls.shots), "warn_free_mb": "0", "stop_free_mb": "0",
               "warn_ivra_gb": "7", "play_sound": "0"}
        cfg.update({k: "0,0" for k in HOTKEYS})
        # Leftovers of an agent killed while saving, beside a file that is not the agent's.
        os.makedirs(cls.shots)
        for name in ("Ivra_2026-01-02_03-04-05_4.png.part", "notes.png.part"):
            with open(os.path.join(cls.shots, name), "wb") as f:
                f.write(b"\0" * 4096)
        cfg["hk_region"] = "%d,%d" % (0x4006, 0x43)
        with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
            for k, v in cfg.items():
                f.write("%s=%s\r\n" % (k, v))


    def pipe(self, request, timeout_ms=15000):
        return self.agent.pipe(request, timeout_ms).decode("utf-8")

    def monitors(self):
        reply = self.pipe("screens\n")
        self.assertTrue(reply.startswith("ok\t") and reply.endswith("\n"), reply)
        fields = reply[3:-1].split("\t") if reply != "ok\t\n" else []
        out = []
        for i, f in enumerate(fields):
            m = SCREEN_RE.fullmatch(f)
            self.assertIsNotNone(m, reply)
            self.assertEqual(int(m.group(1)), i, reply)
            out.append(tuple(int(v) for v in m.groups()[1:7]))
        return out

    def shot_files(self):
        found = []
        for root, _, files in os.walk(self.shots):
            found += [os.path.join(root, f) for f in files]
        return found

    def test_status_fields_and_hotkeys(self):
        reply = self.pipe("status\n")
        m = STATUS_RE.match(reply)
        self.assertIsNotNone(m, reply)
        self.assertEqual(int(m.group("pid")), self.agent.pid)
        self.assertEqual(int(m.group("outputs")), len(self.monitors()))
        self.assertEqual(m.group("stills"), win_path(self.shots))
        self.assertTrue(m.group("clips").endswith("\\Videos\\Ivra"), m.group("clips"))
        for k in HOTKEYS:
            want = "Ctrl+Shift+C:ok" if k == "hk_region" else "None:off"
            self.assertEqual(m.group(k), want, k)
        self.assertGreater(int(m.group("stills_pool").split(",")[0]), 0)
        self.assertEqual(int(m.group("pipe_pool").split(",")[0]), 8)
        self.assertGreater(int(m.group("mem_total")), 0)
        self.assertGreater(int(m.group("stills_budget")), 0)

    def test_screens_match_the_display(self):
        mons = self.monitors()
        self.assertEqual(len(mons), 1)
        left, top, w, h, primary, dpi = mons[0]
        self.assertEqual((left, top, w, h, primary), (0, 0, 1920, 1080, 1))
        self.assertGreater(dpi, 0)

    def test_input_without_broker(self):
        reply = self.pipe("input\n")
        m = INPUT_RE.match(reply)
        self.assertIsNotNone(m, reply)
        for s in SHORT:
            self.assertEqual(m.group(s), "1" if s == "region" else "0", s)

    def test_storage_and_refresh(self):
        for req in ("storage\n", "storage\trefresh=1\n"):
            reply, ms = self.agent.pipe_timed(req, 15000)
            reply = reply.decode("utf-8")
            self.assertLess(ms, 15000, req)
            m = STORAGE_RE.match(reply)
            self.assertIsNotNone(m, reply)
            self.assertEqual((m.group("warn"), m.group("stop"), m.group("gb")), ("0", "0", "7"))

    def test_quiet_commands_leave_no_log_lines(self):
        mark = len(self.sb.log_text())
        for req in ("status\n", "screens\n", "input\n", "storage\n"):
            self.assertTrue(self.pipe(req).startswith("ok\t"), req)
        self.assertEqual(self.pipe("shot\ttarget=rect\trect=1,2\n"), "err\tcode=usage\tmsg=rect expects x,y,w,h\n")
        wait_for(lambda: "pipe: shot target=rect rect=1,2 -> err code=usage" in self.sb.log_text()[mark:], 5,
                 what="shot log line")
        self.assertNotRegex(self.sb.log_text()[mark:], r"pipe: (status|screens|input|storage) ")

    def test_reload(self):
        mark = len(self.sb.log_text())
        self.assertEqual(self.pipe("reload\n"), "ok\n")
        wait_for(lambda: re.search(r"pipe: reload  -> ok \(\d+ ms\)", self.sb.log_text()[mark:]), 5,
                 what="reload log line")

    def test_shot_refusals(self):
        outside = win_path(os.path.join(self.sb.root, "elsewhere"))
        before = sorted(self.shot_files())
        cases = [
            ("shot\ttarget=rect\trect=10,10,0\n", "err\tcode=usage\tmsg=rect expects x,y,w,h\n"),
            ("shot\ttarget=window\n", "err\tcode=usage\tmsg=hwnd required\n"),
            ("shot\tdir=relative\\shots\n", "err\tcode=bad_dir\tmsg=dir must be an absolute path\n"),
            ("shot\tdir=%s\tfolder=red\n" % outside, "err\tcode=usage\tmsg=dir and folder are mutually exclusive\n"),
            ("shot\tfolder=a:b\n", "err\tcode=bad_folder\tmsg=invalid folder name\n"),
        ]
        for req, want in cases:
            self.assertEqual(self.pipe(req), want, req)
        self.assertFalse(os.path.exists(os.path.join(self.sb.root, "elsewhere")))
        self.assertEqual(sorted(self.shot_files()), before)

    def test_stale_partial_captures_removed_at_start(self):
        self.assertFalse(os.path.exists(os.path.join(self.shots, "Ivra_2026-01-02_03-04-05_4.png.part")))
        self.assertTrue(os.path.exists(os.path.join(self.shots, "notes.png.part")))
        self.assertIn("startup: removed stale partial capture", self.sb.log_text())

    def test_shot_never_writes_over_the_agent_files(self):
        data = win_path(self.sb.data)
        shots = win_path(self.shots)
        before = sorted(self.shot_files())
        own = {}
        for name in ("config.ini", "history.txt", "account.dat"):
            path = os.path.join(self.sb.data, name)
            if not os.path.exists(path):
                with open(path, "wb") as f:
                    f.write(b"mine\n")
            with open(path, "rb") as f:
                own[name] = f.read()
        usage = "err\tcode=usage\tmsg=out must "
        cases = [
            ("out=%s\\history.txt" % data, usage + "not be inside the agent's data folder.\n"),
            ("out=%s\\config.ini\tformat=jpg" % data, usage + "not be inside the agent's data folder.\n"),
            ("out=%s\\ivrad.png" % data, usage + "not be inside the agent's data folder.\n"),
            ("out=%s\\dumps\\x.png" % data.lower(), usage + "not be inside the agent's data folder.\n"),
            ("out=%s\\..\\Ivra\\x.png" % data, usage + "not contain . or .. parts.\n"),
            ("out=C:\\windows\\win.ini_test.png", usage + "not be inside the Windows folder.\n"),
            ("out=\\\\.\\C:\\x.png", usage + "not be a device or namespace path.\n"),
            ("out=\\\\?\\GLOBALROOT\\x.png", usage + "not be a device or namespace path.\n"),
            ("out=shot.png", usage + "be an absolute path.\n"),
            ("out=%s\\a.jpg" % shots, usage + "end in .png for a PNG image.\n"),
            ("out=%s\\history.txt\tformat=jpg" % shots, usage + "end in .jpg or .jpeg for a JPEG image.\n"),
            ("dir=%s" % data, "err\tcode=bad_dir\tmsg=dir must not be inside the agent's data folder.\n"),
            ("dir=C:\\Windows\\Temp", "err\tcode=bad_dir\tmsg=dir must not be inside the Windows folder.\n"),
        ]
        for fields, want in cases:
            self.assertEqual(self.pipe("shot\t%s\n" % fields), want, fields)
        for name, content in own.items():
            with open(os.path.join(self.sb.data, name), "rb") as f:
                now = f.read()
            # The history may only have grown by the lines of earlier screenshots.
            self.assertTrue(now == content or (name == "history.txt" and now.startswith(content)), name)
            self.assertNotIn(b"\x89PNG", now, name)
        self.assertFalse(os.path.exists(os.path.join(self.sb.data, "ivrad.png")))
        self.assertEqual(sorted(self.shot_files()), before)
        # The same output path is fine where it belongs, with the format it names.
        os.makedirs(self.shots, exist_ok=True)
        reply = self.pipe("shot\tout=%s\\own.jpg\tformat=jpg\n" % shots)
        m = SHOT_RE.match(reply)
        self.assertIsNotNone(m, reply)
        self.assertEqual(m.group("path"), shots + "\\own.jpg")

    def test_shot_sizes_refused_before_capturing(self):
        m = STATUS_RE.match(self.pipe("status\n"))
        budget = int(m.group("stills_budget"))
        # A side whose frame alone is over the budget, within what the PNG encoder takes.
        side = int((budget / 4) ** 0.5) + 16
        self.assertLessEqual(side, 16000, "the stills budget is too large for this check")
        mark = len(self.sb.log_text())
        cases = [
            ("rect=-2147483648,0,2147483647,5", "err\tcode=no_coverage\tmsg=rect covers no monitor\n"),
            ("rect=0,0,%d,%d" % (side, side), "err\tcode=capture\tmsg=a %dx%d PNG shot is too large" % (side, side)),
            ("rect=0,0,20000,20000",
             "err\tcode=encode\tmsg=20000x20000 is too large for PNG: (8 x width + 1024) x (height + 128) must stay"
             " below 2^31.\n"),
            ("rect=0,0,70000,10\tformat=jpg",
             "err\tcode=encode\tmsg=70000x10 is too large for JPEG, whose sides stop at 65500 pixels.\n"),
        ]
        for fields, want in cases:
            self.assertTrue(self.pipe("shot\ttarget=rect\t%s\n" % fields).startswith(want), fields)
        # Refused before any frame memory was taken.
        self.assertNotIn("stills pool exhausted", self.sb.log_text()[mark:])
        # A wide strip inside the encoder's limits saves in both formats.
        for fmt in ("png", "jpg"):
            reply = self.pipe("shot\ttarget=rect\trect=0,0,20000,100\tformat=%s\n" % fmt, 60000)
            m = SHOT_RE.match(reply)
            self.assertIsNotNone(m, reply)
            self.assertEqual((m.group("w"), m.group("h")), ("20000", "100"), reply)

    def test_shot_of_a_monitor_decodes(self):
        before = set(self.shot_files())
        reply = self.pipe("shot\ttarget=monitor\tmonitor=0\n")
        m = SHOT_RE.match(reply)
        self.assertIsNotNone(m, reply)
        path = linux_path(m.group("path"))
        self.assertTrue(m.group("path").startswith(win_path(self.shots) + "\\"), reply)
        self.assertEqual(set(self.shot_files()) - before, {path})
        self.assertEqual(int(m.group("bytes")), os.path.getsize(path))
        img = decode_image(path)
        self.assertIsNotNone(img, path)
        self.assertEqual((img["width"], img["height"]), (1920, 1080))
        self.assertEqual((int(m.group("w")), int(m.group("h"))), (1920, 1080))
        self.assertEqual(m.group("extra"), "")

        # A JPEG into an absolute folder that does not exist yet, named in the reply.
        target = os.path.join(self.sb.root, "made", "for", "shot")
        reply = self.pipe("shot\tformat=jpg\tquality=80\tdir=%s\n" % win_path(target))
        m = SHOT_RE.match(reply)
        self.assertIsNotNone(m, reply)
        self.assertEqual(m.group("extra"), "\tdir=%s" % win_path(target))
        path = linux_path(m.group("path"))
        self.assertEqual(os.path.dirname(path), target)
        self.assertTrue(path.endswith(".jpg"), path)
        img = decode_image(path)
        self.assertIsNotNone(img, path)
        self.assertEqual((img["width"], img["height"]), (1920, 1080))

        # A subfolder of the stills folder.
        reply = self.pipe("shot\tfolder=red\n")
        m = SHOT_RE.match(reply)
        self.assertIsNotNone(m, reply)
        self.assertEqual(m.group("extra"), "\tfolder=red")
        self.assertEqual(os.path.dirname(linux_path(m.group("path"))), os.path.join(self.shots, "red"))

    def test_shot_timeout_still_saves_later(self):
        # A whole-monitor capture and PNG encoding take far longer than 1 ms.
        before = len(self.shot_files())
        mark = len(self.sb.log_text())
        self.assertEqual(self.pipe("shot\ttimeout_ms=1\n"), "err\tcode=timeout\tmsg=capture timed out\n")
        wait_for(lambda: len(self.shot_files()) == before + 1, 20, what="the late screenshot")
        self.assertIn("pipe: shot timeout_ms=1 -> err code=timeout msg=capture timed out", self.sb.log_text()[mark:])
        self.assertTrue(STATUS_RE.match(self.pipe("status\n")))

    def test_zz_reload_while_main_thread_hangs(self):
        mark = len(self.sb.log_text())
        self.assertEqual(self.pipe("debug\top=hang_main\tms=8000\n"), "ok\n")
        reply, ms = self.agent.pipe_timed("reload\n", 15000)
        self.assertEqual(reply, b"err\tcode=busy\tmsg=agent main thread did not respond\n")
        self.assertLess(ms, 7500)
        m = wait_for(lambda: re.search(r"pipe: reload  -> err code=busy msg=agent main thread did not respond "
                                       r"\((\d+) ms\)", self.sb.log_text()[mark:]), 5, what="busy log line")
        self.assertTrue(4500 <= int(m.group(1)) <= 5600, m.group(0))
        # Inspection does not wait for the main thread.
        reply, ms = self.agent.pipe_timed("status\n", 15000)
        self.assertTrue(STATUS_RE.match(reply.decode("utf-8")), reply)
        self.assertLess(ms, 3000)
        wait_for(lambda: self.pipe("reload\n") == "ok\n", 20, interval=0.5, what="main thread back")


if __name__ == "__main__":
    main()
