"""Control pipe through the real agent: framing, refusals, idle connections,
the debug hooks and on-demand minidumps."""
import os
import re
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import Agent, Sandbox, SharedAgentTestCase, WINE_RUN, exe, log_time, wait_for, wine  # noqa: E402

UNKNOWN = b"err\tcode=usage\tmsg=unknown command\n"
DISABLED = b"err\tcode=disabled\tmsg=start the agent with IVRA_DEBUG_HOOKS=1\n"


def clients(*args, timeout=90):
    """Runs the pipeclients tool; returns (stdout bytes, stderr text)."""
    r = wine([exe("pipeclients")] + [str(a) for a in args], timeout=timeout)
    return r.stdout, r.stderr.decode("utf-8", "replace")


def send(*pieces, no_read=False):
    """One exchange; returns (reply bytes, round-trip ms measured inside Windows)."""
    args = ["send"] + (["--no-read"] if no_read else []) + list(pieces)
    out, err = clients(*args)
    m = re.search(r"ms=(\d+)", err)
    return out, int(m.group(1)) if m else None


def new_lines(sb, mark):
    return sb.log_text()[mark:]


class PipeWithHooks(SharedAgentTestCase):
    """One agent with the debug hooks on serves every test of this class."""

    agent_env = {"IVRA_DEBUG_HOOKS": "1"}

    def test_framing_and_log_lines(self):
        mark = len(self.sb.log_text())
        cases = [
            ("ping\\n", b"ok\n"),
            ("PING\\n", UNKNOWN),
            ("ping\\r\\n", UNKNOWN),
            ("ping\\tx=1\\n", b"ok\n"),
            ("ping\\nPING\\n", b"ok\n"),
            ("ping\\0junk\\n", b"ok\n"),
        ]
        for req, want in cases:
            reply, _ = send(req)
            self.assertEqual(reply, want, req)
        # The carriage return is written escaped, so it cannot start a line of its own.
        wait_for(lambda: "pipe: ping\\r  ->" in new_lines(self.sb, mark), 5, what="ping\\r log line")
        text = new_lines(self.sb, mark)
        self.assertEqual(len(re.findall(r"pipe: PING  -> err code=usage msg=unknown command \(\d+ ms\)", text)), 1, text)
        self.assertEqual(len(re.findall(r"pipe: ping\\r  -> err code=usage msg=unknown command \(\d+ ms\)", text)), 1,
                         text)
        self.assertNotIn("\r", text)
        self.assertNotIn("pipe: ping ", text)

    def test_request_without_line_feed_then_close_is_dispatched(self):
        mark = len(self.sb.log_text())
        send("PING", no_read=True)
        wait_for(lambda: "pipe: PING  -> err code=usage" in new_lines(self.sb, mark), 10, what="dispatch")

    def test_open_close_is_silent_and_count_returns(self):
        mark = len(self.sb.log_text())
        for _ in range(5):
            send(no_read=True)
        self.assertEqual(send("ping\\n")[0], b"ok\n")
        self.assertNotIn("pipe:", new_lines(self.sb, mark))
        # With any of those five still counted, fewer than 64 silent clients would be admitted.
        out, _ = clients("crowd", 65)
        self.assertIn(b"held=64\n", out)
        self.assertIn(b"reply=err\\tcode=busy\\tmsg=too many connections\\n ms=", out)
        ms = int(re.search(rb"ms=(\d+)", out).group(1))
        self.assertLess(ms, 2000, out)
        self.assertEqual(send("ping\\n")[0], b"ok\n")

    def test_long_request_is_cut_at_8191_bytes(self):
        mark = len(self.sb.log_text())
        head = "debug\\top=hang_main\\tpad="
        tail = "\\tms="
        size = lambda piece: len(piece.replace("\\t", "\t"))
        # The 8191-byte cut falls after "123" of the digits.
        req = [head, "@%d:x" % (8188 - size(head) - size(tail)), tail, "1234567", "@%d:y" % (9000 - 8188 - 7)]
        reply, _ = send(*req)
        self.assertEqual(reply, b"ok\n")
        wait_for(lambda: "debug: main thread sleeping " in new_lines(self.sb, mark), 10, what="debug sleep")
        self.assertIn("debug: main thread sleeping 123 ms", new_lines(self.sb, mark))

    def test_ping_answered_during_hang_main(self):
        mark = len(self.sb.log_text())
        reply, _ = send("debug\\top=hang_main\\tms=-5\\n")
        self.assertEqual(reply, b"ok\n")
        wait_for(lambda: "debug: main thread sleeping" in new_lines(self.sb, mark), 10, what="hang start")
        self.assertIn("debug: main thread sleeping 8000 ms", new_lines(self.sb, mark))
        for _ in range(3):
            reply, ms = send("ping\\n")
            self.assertEqual(reply, b"ok\n")
            self.assertLess(ms, 1000)
        self.assertEqual(send("debug\\top=nap\\n")[0], b"err\tcode=usage\tmsg=debug op=hang_main ms=N\n")
        # By the agent's own clock, the request after the pings was served before the main thread woke.
        lines = new_lines(self.sb, mark).splitlines()
        slept = [ln for ln in lines if "debug: main thread sleeping 8000 ms" in ln]
        nap = wait_for(lambda: [ln for ln in new_lines(self.sb, mark).splitlines() if "pipe: debug op=nap -> " in ln],
                       10, what="the log line of the request after the pings")
        self.assertLess(log_time(nap[0]) - log_time(slept[0]), 8.0, "pings must finish while the main thread sleeps")

    def test_idle_connections_are_closed_and_pings_still_work(self):
        mark = len(self.sb.log_text())
        holder = subprocess.Popen([WINE_RUN, exe("pipeclients"), "hold", "9", "30000"], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        try:
            first = holder.stdout.readline()
            self.assertEqual(first, b"opened=9\n")
            reply, ms = send("ping\\n")  # waits at most until the first silent ones are dropped
            self.assertEqual(reply, b"ok\n")
            self.assertLess(ms, 12500)
            rest, _ = holder.communicate(timeout=60)
        finally:
            if holder.poll() is None:
                holder.kill()
                holder.wait()
        rows = re.findall(rb"conn \d+ closed_ms=(-?\d+) bytes=(\d+)", rest)
        self.assertEqual(len(rows), 9, rest)
        for closed_ms, nbytes in rows:
            self.assertEqual(int(nbytes), 0, rest)
            self.assertGreaterEqual(int(closed_ms), 9000, rest)
            self.assertLess(int(closed_ms), 25000, rest)
        wait_for(lambda: new_lines(self.sb, mark).count("pipe: no request within 10 s; closed") >= 9, 10,
                 what="idle log lines")
        self.assertEqual(new_lines(self.sb, mark).count("pipe: no request within 10 s; closed"), 9)

    def test_dump_writes_a_minidump(self):
        reply = self.agent.pipe("dump\n", timeout_ms=120000)
        m = re.fullmatch(rb"ok\tpath=(.*)\n", reply)
        self.assertIsNotNone(m, reply)
        win = m.group(1).decode()
        self.assertRegex(win, r"\\dumps\\ivrad_\d{8}_\d{6}_ondemand\.dmp$")
        self.assertTrue(win.startswith("Z:"), win)
        path = win[2:].replace("\\", "/")
        self.assertTrue(path.startswith(self.sb.data + "/dumps/"), path)
        with open(path, "rb") as f:
            data = f.read()
        # A minidump header and a stream directory that lies inside the file.
        sig, _ver, nstreams, dir_rva = struct.unpack_from("<4sIII", data, 0)
        self.assertEqual(sig, b"MDMP")
        self.assertGreater(nstreams, 0)
        self.assertLessEqual(dir_rva + nstreams * 12, len(data))
        kinds = {struct.unpack_from("<I", data, dir_rva + 12 * i)[0] for i in range(nstreams)}
        self.assertIn(3, kinds)  # thread list
        self.assertIn(4, kinds)  # module list
        self.assertEqual(send("ping\\n")[0], b"ok\n")  # the agent keeps running


class PipeWithoutHooks(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox()
        self.agent = Agent(self.sb, env={"IVRA_DEBUG_HOOKS": "0"})

    def tearDown(self):
        try:
            self.agent.stop()
        finally:
            self.sb.cleanup()

    def test_debug_disabled(self):
        self.agent.start()
        self.assertEqual(send("debug\\top=hang_main\\n")[0], DISABLED)
        self.assertEqual(send("ping\\n")[0], b"ok\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
