"""ivrac config under Wine: get, set, reset, schema and path against a private
config.ini, validation that writes nothing on failure, and a hotkey change
that the running agent picks up at once."""
import json
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import Agent, AgentTestCase, exe, ivtool, main, pid_alive, wait_for, win_path, wine  # noqa: E402

KEYS = ["stills_dir", "clips_dir", "still_format", "jpeg_quality", "clip_fps", "clip_bitrate_kbps",
        "clip_encoder", "play_sound", "region_grid", "hotkey_raw", "hotkey_hook", "region_input",
        "raw_mouse_percent", "region_capture_input", "hk_screen", "hk_window", "hk_region", "hk_clip",
        "hk_clip_app", "hk_clip_screen", "hk_replay", "hk_clip_pause", "hk_clip_redo", "clip_audio_system",
        "clip_audio_mic", "replay_enabled"] + ["folder%d" % i for i in range(1, 10)] + [
        "warn_free_mb", "stop_free_mb", "warn_ivra_gb", "mem_percent", "stills_workers", "clips_workers",
        "dxgi_keep_warm", "region_freeze", "server_url", "upload_mode", "upload_workers", "onboarded",
        "update_auto"]
HAND_EDITED = b"# kept by hand\r\n[main]\r\nonboarded=1\r\njpeg_quality=77\r\nsomething_else=1\r\n"


class Run:
    def __init__(self, r):
        out = r.stdout
        m = re.match(rb"pid=\d+\r?\n", out)  # ivtool launch names the child first
        if m:
            out = out[m.end():]
        self.code = r.returncode
        self.out_bytes = out
        # Every line ivrac prints must be valid UTF-8.
        self.out = out.decode("utf-8")
        self.err = r.stderr.decode("utf-8")

    def json(self):
        return json.loads(self.out)


def window_pid(cls):
    r = ivtool("window-pid", cls)
    return int(r.stdout.split()[0]) if r.returncode == 0 else None


class ConfigTest(AgentTestCase):

    def setUp(self):
        super().setUp()
        os.makedirs(self.sb.data)
        self.ini = os.path.join(self.sb.data, "config.ini")
        self.agent = None

    def tearDown(self):
        if self.agent is not None and self.agent.pid is not None and pid_alive(self.agent.pid):
            self.agent.stop()
        pid = window_pid("IvraSettingsWnd")
        if pid is not None:
            self.sb.procs.append(pid)
        super().tearDown()

    def ivrac(self, *args):
        r = wine([exe("ivtool"), "launch"] + self.sb.env_args() + ["--", exe("ivrac")] + [str(a) for a in args],
                 timeout=90)
        return Run(r)

    def write_ini(self, data):
        with open(self.ini, "wb") as f:
            f.write(data)

    def read_ini(self):
        with open(self.ini, "rb") as f:
            return f.read()

    def ini_values(self):
        return dict(l.split("=", 1) for l in self.read_ini().decode("utf-8").split("\r\n") if "=" in l)

    def assert_usage_failure(self, args, message):
        """Fails with exit 2, the message on stderr and, with --json, the error object on stdout."""
        r = self.ivrac(*args)
        self.assertEqual(r.code, 2, (args, r.out, r.err))
        self.assertIn("ivrac config: %s\n" % message, r.err)
        j = self.ivrac(*(list(args) + ["--json"]))
        self.assertEqual(j.code, 2)
        self.assertEqual(j.json(), {"error": "usage", "message": message})
        return r

    # ---- validation writes nothing

    def test_out_of_range_leaves_file_byte_identical(self):
        self.write_ini(HAND_EDITED)
        self.assert_usage_failure(["config", "set", "jpeg_quality", "101"], "jpeg_quality must be 1..100 (got 101)")
        self.assertEqual(self.read_ini(), HAND_EDITED)

    def test_a_later_bad_pair_stops_every_write(self):
        self.write_ini(HAND_EDITED)
        self.assert_usage_failure(["config", "set", "still_format", "jpg", "jpeg_quality", "0"],
                                  "jpeg_quality must be 1..100 (got 0)")
        self.assertEqual(self.read_ini(), HAND_EDITED)
        # Without a file none appears.
        os.remove(self.ini)
        self.assertEqual(self.ivrac("config", "set", "still_format", "jpg", "play_sound", "2").code, 2)
        self.assertFalse(os.path.exists(self.ini))

    def test_usage_failures(self):
        self.write_ini(HAND_EDITED)
        cases = [
            (["config", "set"], "set expects <key> <value>..."),
            (["config", "reset"], "reset expects <key...> or --all"),
            (["config", "nosuch"], "expects get|set|reset|schema|path"),
            (["config", "get", "jpeg"], "unknown key 'jpeg'; run 'ivrac config schema'"),
            (["config", "set", "Jpeg", "85"], "unknown key 'Jpeg'; run 'ivrac config schema'"),
            (["config", "reset", "jpeg"], "unknown key; run 'ivrac config schema'"),
            (["config", "schema", "jpeg"], "unknown key; run 'ivrac config schema'"),
            # "-5" reads as an option, so the key gets an empty value.
            (["config", "set", "raw_mouse_percent", "-5"], "raw_mouse_percent must be 25..400 (got )"),
            (["config", "set", "server_url", "https://a b"],
             "server_url must be an http(s):// address (got https://a b)"),
            (["config", "set", "clip_encoder", "x264"],
             "clip_encoder must be one of: auto, h264_nvenc, h264_amf, h264_qsv, h264_mf (got x264)"),
            (["config", "set", "hk_region", "Ctrl+Foo"], "unknown key name 'Foo'"),
            (["config", "set", "stills_dir", ""], "stills_dir must not be empty"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assert_usage_failure(args, message)
        self.assertIn("Try 'ivrac config --help'", self.ivrac("config", "get", "jpeg").err)
        self.assertEqual(self.read_ini(), HAND_EDITED)
        many = ["config", "set"] + ["play_sound", "1"] * 33
        self.assertEqual(self.ivrac(*many).code, 2)
        self.assertEqual(self.read_ini(), HAND_EDITED)

    def test_unreadable_file_is_not_replaced_by_defaults(self):
        big = b"jpeg_quality=77\r\n" + b"# padding\r\n" * 6000
        self.assertGreater(len(big), 65536)
        self.write_ini(big)
        for args in (["config", "set", "play_sound", "0"], ["config", "reset", "--all"]):
            r = self.ivrac(*(args + ["--json"]))
            self.assertEqual(r.code, 1, args)
            self.assertEqual(r.json()["error"], "config")
            self.assertIn("nothing was changed", r.err)
        self.assertEqual(self.read_ini(), big)

    def test_missing_drive_is_refused(self):
        self.write_ini(HAND_EDITED)
        r = self.ivrac("config", "set", "stills_dir", "Q:\\shots")
        self.assertEqual(r.code, 2)
        self.assertIn("ivrac config: stills_dir: drive Q:\\ does not exist\n", r.err)
        self.assertEqual(self.read_ini(), HAND_EDITED)

    # ---- set, dry run, get

    def test_dry_run_prints_and_changes_nothing(self):
        self.write_ini(HAND_EDITED)
        folder = os.path.join(self.sb.root, "never")
        r = self.ivrac("config", "set", "hk_region", "Ctrl+Shift+S", "folder4", win_path(folder), "--dry-run")
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.out, "hk_region: Ctrl+Shift+C -> Ctrl+Shift+S  (dry run)\n"
                                "folder4:  -> %s  (dry run)\n" % win_path(folder))
        j = self.ivrac("--json", "config", "set", "HK_REGION", "ctrl shift s", "--dry-run").json()
        self.assertEqual(j, {"changed": {"HK_REGION": {"old": "Ctrl+Shift+C", "new": "Ctrl+Shift+S"}},
                             "dry_run": True})
        self.assertEqual(self.read_ini(), HAND_EDITED)
        self.assertFalse(os.path.exists(folder))

    def test_set_writes_values_creates_folders_and_get_reads_them(self):
        self.write_ini(HAND_EDITED)
        slot = os.path.join(self.sb.root, "slots", "Bilder é✓")
        r = self.ivrac("config", "set", "still_format", "JPG", "play_sound", "off", "folder3", win_path(slot),
                       "server_url", "http://127.0.0.1:9///", "clip_encoder", "H264_NVENC")
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.out.splitlines(), [
            "still_format: png -> jpg", "play_sound: 1 -> 0", "folder3:  -> %s" % win_path(slot),
            "server_url: %s -> http://127.0.0.1:9" % self.default("server_url"),
            "clip_encoder: auto -> h264_nvenc"])
        self.assertTrue(os.path.isdir(slot))
        v = self.ini_values()
        self.assertEqual((v["still_format"], v["play_sound"], v["folder3"], v["server_url"], v["clip_encoder"]),
                         ("1", "0", win_path(slot), "http://127.0.0.1:9", "h264_nvenc"))
        # Values that were not named keep what the file held.
        self.assertEqual((v["jpeg_quality"], v["onboarded"]), ("77", "1"))
        self.assertEqual(len(v), 9 + 14 + 9 + 18 + 16)

        self.assertEqual(self.ivrac("config", "get", "HK_REGION").out, "hk_region=Ctrl+Shift+C\n")
        self.assertEqual(self.ivrac("config", "get", "folder3", "still_format").out,
                         "folder3=%s\nstill_format=jpg\n" % win_path(slot))
        j = self.ivrac("config", "get", "--json").json()
        self.assertEqual(list(j), KEYS)
        self.assertEqual(j["hk_region"], {"text": "Ctrl+Shift+C", "mods": 0x4006, "vk": 0x43})
        self.assertEqual(j["hk_screen"], {"text": "PrtSc", "mods": 0, "vk": 0x2C})
        self.assertEqual((j["play_sound"], j["onboarded"], j["jpeg_quality"], j["still_format"], j["folder3"]),
                         (False, True, 77, "jpg", win_path(slot)))
        text = self.ivrac("config", "get").out.splitlines()
        self.assertEqual([l.split("=", 1)[0] for l in text], KEYS)

        # A slot set without a value is cleared; --no-create leaves the disk alone.
        self.assertEqual(self.ivrac("config", "set", "folder3").code, 0)
        self.assertEqual(self.ini_values()["folder3"], "")
        other = os.path.join(self.sb.root, "not-made")
        self.assertEqual(self.ivrac("config", "set", "clips_dir", win_path(other), "--no-create").code, 0)
        self.assertFalse(os.path.exists(other))
        self.assertEqual(self.ini_values()["clips_dir"], win_path(other))

    def default(self, key):
        return next(e["default"] for e in self.ivrac("config", "schema", "--json").json() if e["key"] == key)

    # ---- reset, schema, path

    def test_reset_all_restores_every_key(self):
        self.write_ini(b"")
        defaults = self.ivrac("config", "get").out
        self.assertEqual(len(defaults.splitlines()), 48)
        r = self.ivrac("config", "set", "jpeg_quality", "5", "hk_clip_app", "Win+Num5", "upload_mode", "manual",
                       "folder9", win_path(self.sb.temp), "replay_enabled", "yes", "mem_percent", "50")
        self.assertEqual(r.code, 0, r.err)
        self.assertNotEqual(self.ivrac("config", "get").out, defaults)

        r = self.ivrac("config", "reset", "jpeg_quality", "hk_clip_app")
        self.assertEqual(r.out, "jpeg_quality: 5 -> 90\nhk_clip_app: Win+Num5 -> None\n")
        self.assertEqual(self.ini_values()["hk_clip_app"], "0,0")

        r = self.ivrac("--json", "config", "reset", "--all")
        self.assertEqual(r.code, 0, r.err)
        j = r.json()
        self.assertEqual(list(j["changed"]), KEYS)
        self.assertEqual(j["reloaded"], False)
        self.assertEqual(j["changed"]["upload_mode"], {"old": "manual", "new": "ask"})
        self.assertEqual(self.ivrac("config", "get").out, defaults)
        self.assertEqual(self.ini_values()["folder9"], "")

    def test_schema_text_and_json(self):
        j = self.ivrac("config", "schema", "--json").json()
        self.assertEqual([e["key"] for e in j], KEYS)
        by_key = {e["key"]: e for e in j}
        self.assertEqual(by_key["jpeg_quality"], {"key": "jpeg_quality", "type": "int", "default": "90", "min": 1,
                                                  "max": 100, "values": "", "description": "JPEG quality"})
        self.assertEqual(by_key["clip_encoder"]["values"], "auto|h264_nvenc|h264_amf|h264_qsv|h264_mf")
        self.assertEqual(by_key["clip_encoder"]["type"], "enum")
        self.assertEqual(by_key["hk_window"]["default"], "Alt+PrtSc")
        self.assertEqual(by_key["server_url"]["type"], "url")
        self.assertEqual(by_key["folder7"]["description"], "Destination folder for slot 7 (digit chord / --folder 7)")
        self.assertEqual({e["type"] for e in j}, {"path", "int", "bool", "enum", "hotkey", "url"})

        lines = self.ivrac("config", "schema").out.splitlines()
        self.assertEqual(len(lines), 49)
        self.assertTrue(re.match(r"KEY +TYPE +DEFAULT +RANGE/VALUES +DESCRIPTION$", lines[0]), lines[0])
        col = lines[0].index("DESCRIPTION")
        self.assertTrue(all(l[col - 1] == " " and l[col] != " " for l in lines), lines)
        self.assertIn("raw_mouse_percent", lines[13])
        self.assertIn(" 25..400 ", lines[13])
        self.assertTrue(lines[13].endswith("Raw selection cursor speed percent (next capture)"))
        one = self.ivrac("config", "schema", "STILL_FORMAT").out.splitlines()
        self.assertEqual(len(one), 2)
        self.assertEqual(one[1].split(), ["still_format", "enum", "png", "png,jpg", "Image", "format"])

    def test_path(self):
        r = self.ivrac("config", "path")
        self.assertEqual((r.code, r.out), (0, win_path(self.ini) + "\n"))
        self.assertEqual(self.ivrac("config", "path", "--json").json(), {"path": win_path(self.ini)})

    # ---- with a running agent

    def focus_a_wine_window(self):
        """Wine hears X key events only while one of its windows has the X focus."""
        self.sb.start("ivra")
        found = wait_for(lambda: subprocess.run(["xdotool", "search", "--onlyvisible", "--name",
                                                                 "^Ivra Settings - General$"],
                                                capture_output=True, timeout=30).stdout.split(), 15,
                         what="settings window on X")
        subprocess.run(["xdotool", "windowfocus", "--sync", found[0]], check=True, timeout=30)

    def test_hotkey_change_reaches_the_running_agent(self):
        self.write_ini(b"onboarded=1\r\n")
        self.agent = Agent(self.sb)
        self.agent.start()
        self.focus_a_wine_window()

        r = self.ivrac("config", "set", "hk_region", "Ctrl+Shift+S")
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.out, "hk_region: Ctrl+Shift+C -> Ctrl+Shift+S\n")
        self.assertNotIn("WARNING", r.err)
        self.assertEqual(self.ini_values()["hk_region"], "16390,83")
        wait_for(lambda: "config reloaded" in self.sb.log_text(), 10, what="reload")
        subprocess.run(["xdotool", "key", "ctrl+shift+s"], check=True, timeout=30)
        wait_for(lambda: "hotkey: region digit=0 route=" in self.sb.log_text(), 10, what="region hotkey line")

        j = self.ivrac("--json", "config", "set", "hk_clip_app", "Ctrl+Alt+A")
        self.assertEqual(j.code, 0, j.err)
        report = j.json()
        self.assertEqual(report["changed"], {"hk_clip_app": {"old": "None", "new": "Ctrl+Alt+A"}})
        self.assertIs(report["reloaded"], True)
        self.assertEqual(report["hotkeys"]["hk_region"], "ok")
        self.assertEqual(report["hotkeys"]["hk_clip_app"], "ok")
        self.assertEqual(report["hotkeys"]["hk_clip_redo"], "off")
        self.assertEqual(len(report["hotkeys"]), 9)

        # A value that is not a hotkey changes nothing in the agent's view either.
        before = self.sb.log_text().count("config reloaded")
        self.assertEqual(self.ivrac("config", "set", "hk_region", "S").code, 2)
        self.assertEqual(self.sb.log_text().count("config reloaded"), before)


if __name__ == "__main__":
    main()
