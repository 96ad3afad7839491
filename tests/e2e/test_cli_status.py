"""ivrac status, input and folders under Wine: without an agent (exit 3, no
agent started, quick give-up), with a running agent (text and JSON checked
against the agent's own pipe reply), and the folder slots of config.ini."""
import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import Agent, main, win_path  # noqa: E402
from test_cli import CliTestCase  # noqa: E402

HOTKEYS = ["hk_screen", "hk_window", "hk_region", "hk_clip", "hk_clip_app", "hk_clip_screen", "hk_replay",
           "hk_clip_pause", "hk_clip_redo"]
POOLS = ["stills", "clips", "io", "pipe"]
INPUT_FLAGS = ["running", "raw_enabled", "hook_enabled", "raw_ready", "hook_ready", "mouse_ready", "session_active",
               "focus_requested", "focus_owned"]
NOT_RUNNING = {"error": "agent_unavailable", "message": "agent not running"}


def reply_fields(reply):
    """The key=value fields of a pipe reply after its first word, in order."""
    text = reply.decode("utf-8").rstrip("\n")
    return [tuple(f.split("=", 1)) for f in text.split("\t")[1:] if f]


class StatusTestCase(CliTestCase):

    def write_config(self, lines):
        with open(os.path.join(self.sb.data, "config.ini"), "w", encoding="utf-8", newline="") as f:
            f.write("".join(l + "\r\n" for l in ["onboarded=1"] + lines))

    def assert_no_agent(self):
        self.assertIsNone(self.agent_pid(), "an agent was started")
        self.assertFalse(os.path.exists(os.path.join(self.sb.data, "ivrad.log")), "an agent wrote its log")


class WithoutAgentTest(StatusTestCase):

    def test_status_reports_not_running(self):
        cases = [
            # (extra arguments, standard output expected)
            ((), b""),
            (("--json",), None),
            (("-q", "--json"), None),
        ]
        for args, out in cases:
            with self.subTest(args=args):
                r = self.ivrac("status", *args)
                self.assertEqual(r.code, 3)
                self.assertEqual(r.err_text, "agent: not running\n")
                if out is None:
                    self.assertEqual(r.json(), NOT_RUNNING)
                    self.assertEqual(r.out.count(b"\n"), 1)
                else:
                    self.assertEqual(r.out, out)
        self.assert_no_agent()

    def test_input_gives_up_in_about_a_second(self):
        # The same program refusing its arguments at once, just before, gives the
        # share of Wine's start-up to take off the measured time.
        start_up = self.ivrac("input", "extra")
        self.assertEqual(start_up.code, 2)
        r = self.ivrac("input", "--json")
        self.assertEqual(r.code, 3)
        self.assertEqual(r.json(), {"error": "agent_unavailable",
                                    "message": "agent input diagnostics unavailable; run 'ivrac agent start'"})
        self.assertEqual(r.err_text,
                         "ivrac input: agent input diagnostics unavailable; run 'ivrac agent start'\n")
        # About 1 s of pipe attempts, never the 5 s an agent start would take.
        self.assertGreater(r.took, 0.8)
        self.assertLess(r.took - start_up.took, 3.0)
        r = self.ivrac("input")
        self.assertEqual((r.code, r.out), (3, b""))
        self.assert_no_agent()

    def test_extra_arguments_are_usage_failures(self):
        for word in ("input", "status"):
            with self.subTest(word=word):
                r = self.ivrac(word, "extra", "--json")
                self.assertEqual(r.code, 2)
                self.assertEqual(r.json(), {"error": "usage",
                                            "message": "expects no arguments (use --json or --help)"})
                self.assertEqual(r.err_text, "ivrac %s: expects no arguments (use --json or --help)\n"
                                             "Try 'ivrac %s --help'\n" % (word, word))
        self.assert_no_agent()


class FoldersTest(StatusTestCase):

    def test_all_slots_empty(self):
        r = self.ivrac("folders")
        self.assertEqual(r.code, 0)
        lines = r.text.split("\n")
        self.assertEqual(lines[0], "SLOT  PATH EXISTS")
        self.assertEqual(lines[1:], ["%-5d %-4s -" % (i, "-") for i in range(1, 10)] + [""])
        j = self.ivrac("folders", "--json")
        self.assertEqual(j.code, 0)
        self.assertEqual(j.json(), [{"slot": i, "path": "", "exists": False} for i in range(1, 10)])
        self.assert_no_agent()

    def test_slots_with_existing_missing_and_non_ascii_folders(self):
        there = os.path.join(self.sb.root, "shots", "bugs")
        accented = os.path.join(self.sb.root, "caf\u00e9 \u4e2d")
        os.makedirs(there)
        os.makedirs(accented)
        a_file = os.path.join(self.sb.root, "plain.txt")
        open(a_file, "w").close()
        slots = {1: win_path(there), 3: win_path(os.path.join(self.sb.root, "gone")), 4: win_path(accented),
                 9: win_path(a_file)}
        self.write_config(["folder%d=%s" % (i, p) for i, p in slots.items()])
        exists = {1: "yes", 3: "no", 4: "yes", 9: "no"}  # a file is not a folder

        r = self.ivrac("folders")
        self.assertEqual(r.code, 0)
        lines = r.text.split("\n")
        width = max(len(p) for p in slots.values())
        self.assertEqual(lines[0], "SLOT  " + "PATH".ljust(width) + " EXISTS")
        for i in range(1, 10):
            want = "%-5d %s %s" % (i, slots.get(i, "-").ljust(width), exists.get(i, "-"))
            self.assertEqual(lines[i], want)
        self.assertEqual(len(lines), 11)

        j = self.ivrac("folders", "--json").json()
        self.assertEqual(j, [{"slot": i, "path": slots.get(i, ""), "exists": exists.get(i) == "yes"}
                             for i in range(1, 10)])


class WithAgentTest(StatusTestCase):

    def setUp(self):
        super().setUp()
        self.agent = Agent(self.sb)
        self.agent.start()

    def tearDown(self):
        self.agent.stop()
        super().tearDown()

    def test_status_text_follows_the_agent_reply(self):
        fields = reply_fields(self.agent.pipe("status\n"))
        r = self.ivrac("status")
        self.assertEqual(r.code, 0, r.err_text)
        self.assertEqual(r.err, b"")
        lines = r.text.split("\n")
        self.assertEqual(lines[-1], "")
        plain = [l for l in lines if "=" in l and not l.startswith("hk_")]
        want_plain = ["%s=%s" % kv for kv in fields if not kv[0].startswith(("hk_", "pool_", "mem_"))]
        # Uptime moves between the two requests; everything else is fixed.
        strip = lambda ls: [l for l in ls if not l.startswith("uptime_s=")]
        self.assertEqual(strip(plain), strip(want_plain))
        self.assertIn("version=0.2.12", plain)
        self.assertIn("pid=%d" % self.agent.pid, plain)

        hk = {l.split()[0]: l for l in lines if l.startswith("hk_")}
        self.assertEqual(list(hk), HOTKEYS)
        self.assertRegex(hk["hk_clip_app"], r"^hk_clip_app {5}None {15}off$")
        self.assertRegex(hk["hk_region"], r"^hk_region {7}\S+ +(ok|failed\(\d+\))$")

        at = lines.index("pools      threads  depth  high  done  rejected  avg_ms")
        for name, line in zip(POOLS, lines[at + 1:at + 5]):
            self.assertRegex(line, r"^  %-8s \d+ +\d+ +\d+ +\d+ +\d+ +(-|\d+\.\d)$" % name)
        self.assertRegex(lines[at + 5], r"^memory     total \S+ \S+ \u00b7 budget \S+ \S+ \(10%\) \u00b7 "
                                        r"stills \S+ \S+ / \S+ \S+ \u00b7 clips \S+ \S+ / \S+ \S+$")
        self.assertEqual(len(lines), at + 7)

    def test_status_json(self):
        fields = dict(reply_fields(self.agent.pipe("status\n")))
        r = self.ivrac("status", "--json")
        self.assertEqual(r.code, 0, r.err_text)
        j = r.json()
        self.assertEqual(j["version"], "0.2.12")
        self.assertEqual(j["pid"], self.agent.pid)
        self.assertIsInstance(j["uptime_s"], int)
        self.assertEqual(j["stills_dir"], fields["stills_dir"])
        self.assertEqual(list(j["hotkeys"]), HOTKEYS)
        self.assertEqual(j["hotkeys"]["hk_clip_app"], {"text": "None", "ok": True, "active": False})
        for key in HOTKEYS:
            text, state = fields[key].rsplit(":", 1)
            h = j["hotkeys"][key]
            self.assertEqual(h["text"], text)
            self.assertEqual(h["ok"], state in ("ok", "off"), key)
            if state.startswith("failed"):
                self.assertEqual(h["err"], int(re.search(r"\((\d+)\)", state).group(1)))
        self.assertEqual(list(j["pools"]), POOLS)
        for name in POOLS:
            p = j["pools"][name]
            threads = int(fields["pool_" + name].split(",")[0])
            self.assertEqual(p["threads"], threads)
            self.assertGreater(threads, 0)
            self.assertEqual(set(p), {"threads", "depth", "high", "completed", "rejected", "avg_ms"})
        mem = j["memory"]
        self.assertEqual(mem["total"], int(fields["mem_total"]))
        self.assertEqual(mem["percent"], 10)
        for pool in ("stills", "clips"):
            in_use, committed, budget = (int(v) for v in fields["mem_" + pool].split(","))
            self.assertEqual(mem[pool], {"in_use": in_use, "committed": committed, "budget": budget})
            self.assertGreater(budget, 0)

    def test_input_text_and_json(self):
        fields = reply_fields(self.agent.pipe("input\n"))
        r = self.ivrac("input")
        self.assertEqual(r.code, 0, r.err_text)
        self.assertEqual(r.text.split("\n")[:-1], ["%-24s %s" % kv for kv in fields])

        r = self.ivrac("input", "--json")
        self.assertEqual(r.code, 0, r.err_text)
        j = r.json()
        self.assertEqual(list(j), [k for k, _ in fields])
        want = dict(fields)
        registered = [k for k in j if k.startswith("registered_") and k not in
                      ("registered_events", "registered_activations")]
        self.assertEqual(len(registered), 9)
        for key in INPUT_FLAGS + registered:
            self.assertIs(j[key], want[key] == "1", key)
        self.assertIs(j["registered_clip_app"], False)  # no key assigned
        for key in ("registered_events", "raw_events", "duplicates", "last_action", "mouse_packets"):
            self.assertIsInstance(j[key], int, key)
        # No key was pressed since the agent started.
        self.assertEqual((j["last_route"], want["last_route"]), ("none", "none"))


if __name__ == "__main__":
    main()
