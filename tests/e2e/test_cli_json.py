"""What a script sees from ivrac: exactly one JSON object on standard output for
every command with --json, success or failure, valid UTF-8 everywhere, and exit
codes that tell a mistyped command (2) from one that is not built yet (1)."""
import json
import os
import re
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import SharedAgentTestCase, exe, ivtool, main, wait_for, win_path, wine  # noqa: E402
from test_cli import CliTestCase, Result  # noqa: E402
from test_shot_cli import Patterns, linux_path  # noqa: E402


class JsonOnEveryCommand(CliTestCase):

    def one_object(self, args, code):
        r = self.ivrac(*args)
        self.assertEqual(r.code, code, (args, r.err_text))
        # One line, one object, nothing before or after it.
        self.assertTrue(r.text.endswith("}\n"), (args, r.text))
        self.assertEqual(r.text.count("\n"), 1, (args, r.text))
        obj = json.loads(r.text)
        self.assertIsInstance(obj, dict, args)
        return obj, r

    def test_every_command_answers_with_one_object(self):
        self.assertEqual(self.one_object(["--version", "--json"], 0)[0], {"version": "0.2.12"})
        obj, r = self.one_object(["storage", "--json"], 0)
        self.assertEqual(sorted(obj), ["age_s", "clips", "drive", "flags", "free", "ivra", "other", "roots",
                                       "scan_ms", "stills", "thresholds", "total"])
        self.assertNotIn(b"Try 'ivrac", r.err)
        self.assertEqual(self.one_object(["agent", "fix-cursor", "--json"], 0)[0], {"cursors_restored": True})
        self.assertEqual(self.one_object(["agent", "stop", "--json"], 0)[0], {"running": False, "was_running": False})
        self.assertEqual(self.one_object(["settings", "close", "--json"], 0)[0], {"open": False, "was_open": False})
        self.assertEqual(self.one_object(["settings", "focus", "--json"], 1)[0]["error"], "not_found")
        self.assertEqual(self.one_object(["agent", "bogus", "--json"], 2)[0]["error"], "usage")

        self.assertEqual(self.one_object(["agent", "start", "--json"], 0)[0], {"running": True, "was_running": False})
        self.assertTrue(self.agent_pid())
        self.assertEqual(self.one_object(["agent", "start", "--json"], 0)[0], {"running": True, "was_running": True})
        self.assertEqual(self.one_object(["agent", "restart", "--json"], 0)[0], {"running": True, "was_running": True})
        self.assertTrue(self.agent_pid())
        self.assertEqual(self.one_object(["agent", "stop", "--json"], 0)[0], {"running": False, "was_running": True})
        wait_for(lambda: not self.agent_pid(), 10, what="agent gone")

    def test_folder_errors_carry_no_try_line(self):
        for args in (["--folder", "a/b"], ["--folder"]):
            r = self.ivrac("shot", *args)
            self.assertEqual(r.code, 2, args)
            self.assertTrue(r.err_text.startswith("ivrac shot: --folder "), r.err_text)
            self.assertNotIn("Try 'ivrac", r.err_text)

    def test_long_non_ascii_message_stays_valid_utf8(self):
        key = "\u20ac" * 400
        obj, r = self.one_object(["config", "get", key, "--json"], 2)
        self.assertEqual(obj["error"], "usage")
        # Cut to whole characters: the message is a prefix of the full one, made of euro signs after the quote.
        self.assertTrue(obj["message"].startswith("unknown key '\u20ac"), obj["message"][:40])
        self.assertEqual(set(obj["message"][len("unknown key '"):]), {"\u20ac"})
        r.err.decode("utf-8")  # standard error too

    def test_help_topic_is_the_word_after_help(self):
        shot_help = self.ivrac("shot", "--help")
        r = self.ivrac("help", "shot", "-h")
        self.assertEqual((r.code, r.out), (0, shot_help.out))
        r = self.ivrac("help", "nosuch", "-h")
        self.assertEqual(r.code, 2)
        self.assertEqual(r.err, b"ivrac: unknown command\n")

    def test_agent_starts_from_a_folder_with_a_blank(self):
        d = os.path.join(self.sb.root, "with blank")
        os.makedirs(d)
        for name in ("ivrac", "ivrad"):
            shutil.copy(exe(name), os.path.join(d, name + ".exe"))
        r = self.ivrac("agent", "start", program=os.path.join(d, "ivrac.exe"))
        self.assertEqual(r.code, 0, r.err_text)
        self.assertTrue(self.agent_pid())
        # The agent saw its quoted path as its own name, not a stray argument.
        launch = [l for l in self.sb.log_lines() if "=== ivrad launch:" in l]
        self.assertEqual(len(launch), 1, launch)
        self.assertTrue(launch[0].endswith('args ""'), launch[0])
        self.assertIn("cwd ", launch[0])
        self.assertEqual(self.ivrac("agent", "stop").code, 0)


class ShotFiles(SharedAgentTestCase):
    """Output files of shot against one agent: formats, unwritable paths,
    standard output and history, handle forms."""

    @classmethod
    def prepare(cls, sb):
        os.makedirs(sb.data)
        os.makedirs(os.path.join(sb.profile, "Pictures"))
        with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
            f.write("onboarded=1\r\n")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            cls.patterns = Patterns("200,200,400,300,1")
            cls.window = cls.patterns.windows[0]
        except BaseException:
            super().tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.patterns.stop()
        finally:
            super().tearDownClass()

    def ivrac(self, *args):
        return Result(self.sb.run("ivrac", *args, timeout=90), 0)

    def out_path(self, name):
        d = os.path.join(self.sb.root, "out")
        os.makedirs(d, exist_ok=True)
        p = os.path.join(d, name)
        self.addCleanup(lambda: os.path.exists(p) and os.remove(p))
        return p

    def test_output_extension_sets_the_format(self):
        for name, magic in (("a.jpg", b"\xff\xd8"), ("b.JPEG", b"\xff\xd8"), ("c.png", b"\x89PNG")):
            p = self.out_path(name)
            r = self.ivrac("shot", "--region", "0,0,64,48", "-o", win_path(p))
            self.assertEqual(r.code, 0, r.err_text)
            with open(p, "rb") as f:
                self.assertEqual(f.read(len(magic)), magic, name)
        for args, message in ((["-o", "d.jpg", "--format", "png"], "-o names a .jpg file but --format asks for png"),
                              (["-o", "e.bmp"], "-o expects a file name ending in .png, .jpg or .jpeg")):
            r = self.ivrac("shot", "--json", *args)
            self.assertEqual(r.code, 2, args)
            self.assertEqual(r.json(), {"error": "usage", "message": message})

    def test_unwritable_output_names_the_path_and_why(self):
        missing = os.path.join(self.sb.root, "no such folder")
        target = win_path(os.path.join(missing, "x.png"))
        r = self.ivrac("shot", "--region", "0,0,64,48", "-o", target, "--json")
        self.assertEqual(r.code, 1, r.err_text)
        self.assertEqual(r.json(), {"error": "bad_path", "message": "cannot write %s: the folder %s does not exist"
                                    % (target, win_path(missing))})
        self.assertFalse(os.path.exists(missing))

    def test_stdout_captures_stay_out_of_history(self):
        kept = self.out_path("kept.png")
        r = self.ivrac("shot", "--region", "0,0,64,48", "-o", win_path(kept))
        self.assertEqual(r.code, 0, r.err_text)
        for fmt, magic in ((None, b"\x89PNG"), ("jpg", b"\xff\xd8")):
            r = self.sb.run("ivrac", "shot", "--region", "0,0,64,48", "--stdout", *(["--format", fmt] if fmt else []))
            self.assertEqual(r.returncode, 0, r.stderr)
            image = re.sub(rb"^pid=\d+\r?\n", b"", r.stdout, count=1)
            self.assertTrue(image.startswith(magic), fmt)
        self.assertEqual(self.ivrac("last", "--json").json(), [win_path(kept)])
        self.assertEqual([n for n in os.listdir(self.sb.temp) if n.startswith("ivra_")], [])

    def test_every_printed_handle_form(self):
        h = self.window["hwnd"]
        for form in ("0x%08x" % h, "0x%x" % h, "%016X" % h, str(h)):
            r = self.ivrac("shot", "--hwnd", form, "--json")
            self.assertEqual(r.code, 0, (form, r.err_text))
            j = r.json()
            self.assertEqual((j["width"], j["height"]), (400, 300), form)
            os.remove(linux_path(j["path"]))


if __name__ == "__main__":
    main()
