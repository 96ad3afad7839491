"""Hang watchdog, crash and invalid-parameter reports and the dumps folder,
through the real agent. A dump takes Wine half a minute, so the three agents of
this file run at once: the one of the main process in the test's prefix, the
others in child processes with private prefixes of their own."""
import os
import re
import signal
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import SharedAgentTestCase, exe, private_prefix, remove_tree, wait_for, wine  # noqa: E402

HOOKS = {"IVRA_DEBUG_HOOKS": "1"}
CHILD = os.environ.get("IVRA_DIAG_CHILD", "")  # the name of the case a child process runs
BAD_PARAMETER = 0xC0000417
ACCESS_VIOLATION = 0xC0000005


def write_config(sb):
    os.makedirs(sb.data, exist_ok=True)
    with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
        f.write("onboarded=1\r\ndxgi_keep_warm=0\r\n")


def is_minidump(path):
    with open(path, "rb") as f:
        head = f.read(16)
    return len(head) == 16 and struct.unpack_from("<4s", head)[0] == b"MDMP"


def lines_with(sb, needle):
    return [ln for ln in sb.log_lines() if needle in ln]


def ping_ms(agent):
    return agent.pipe_timed("ping\n", timeout_ms=5000)


def end_with(agent, op):
    """Sends a debug op that ends the agent (no reply comes) and returns its whole exit code,
    read by a Windows process that holds it open: the agent ends only after its dump, seconds
    after the request, and the tool would say "no such process" had it come too late."""
    got = []
    watch = threading.Thread(target=lambda: got.append(wine([exe("proc_wait"), agent.pid, 150000], timeout=170)))
    watch.start()
    agent.pipe("debug\top=%s\n" % op, timeout_ms=2000)
    watch.join(170)
    m = re.search(rb"exit=0x([0-9a-f]{8})", got[0].stdout) if got else None
    if not m:
        raise AssertionError("no exit code: %r" % got)
    agent.pid = None
    return int(m.group(1), 16)


class ReportCase(SharedAgentTestCase):
    agent_env = HOOKS

    @classmethod
    def prepare(cls, sb):
        write_config(sb)

    def check_report(self, head, tag):
        """The fatal report's first line (head, a pattern with the thread id as its first group),
        the pipe worker's thread line, its stack and the dump named by tag."""
        log = self.sb.log_text()
        m = re.search(head, log)
        self.assertIsNotNone(m, log[-3000:])
        # Other threads may log between the report's lines.
        self.assertRegex(log, r"  thread: ivra-pipe\[\d\] tid=%s\n" % m.group(1))
        self.assertRegex(log, r"\]   crash #00 \S+")
        written = re.findall(r"crash minidump written: (Z:\S+_%s\.dmp)" % tag, log)
        self.assertEqual(len(written), 1, log[-3000:])
        self.assertTrue(is_minidump(written[0][2:].replace("\\", "/")))
        return m


if CHILD:
    class CaptureStallAndCrash(ReportCase):
        """Runs in a child process: a capture stall that is reported, then a crash."""

        def test_capture_stall_then_crash(self):
            sb, agent = self.sb, self.agent
            self.assertEqual(agent.pipe("debug\top=hang_capture\tms=9000\n"), b"ok\n")
            wait_for(lambda: lines_with(sb, "debug: capture thread stalling 9000 ms"), 10, what="stall begins")
            self.assertEqual(ping_ms(agent)[0], b"ok\n")  # the pipe does not wait for the capture thread
            wait_for(lambda: lines_with(sb, "HANG: thread 'capture'"), 20, what="capture reported")
            m = re.search(r"\(tid \d+\) has not responded for (\d+) ms$", lines_with(sb, "HANG: thread 'capture'")[0])
            self.assertIsNotNone(m)
            self.assertGreater(int(m.group(1)), 8000)
            self.assertLessEqual(int(m.group(1)), 9500)
            wait_for(lambda: lines_with(sb, "HANG: thread 'capture' recovered after "), 20, what="capture recovered")
            wait_for(lambda: lines_with(sb, "  capture #00 "), 30, what="capture stack")
            self.assertRegex(agent.pipe("status\n").decode(), r"\thangs=1\t")

            # On a pipe worker; the filter's report waits while the capture's hang report holds
            # the dump lock, then the agent ends with the exception's code.
            self.assertEqual(end_with(agent, "crash"), ACCESS_VIOLATION)
            m = self.check_report(r"ERR  \[pipe\[\d\]\] FATAL exception 0xc0000005 at [0-9a-fx]+ \(base [0-9a-fx]+\) "
                                  r"tid=(\d+) code2=0x([0-9a-f]+)\n", "crash")
            self.assertNotEqual(int(m.group(2), 16), 0)  # the address that could not be written

    class BadParameter(ReportCase):
        """Runs in a child process: an invalid parameter to the C runtime."""

        def test_bad_parameter_ends_with_its_code(self):
            self.assertEqual(end_with(self.agent, "badparam"), BAD_PARAMETER)
            self.check_report(r"invalid CRT parameter: func=\S+ file=\S+:\d+ tid=(\d+) base=[0-9a-fx]+\n", "badparam")
            self.assertRegex(self.sb.log_text(), r"  bt\[0\] \+0x[0-9a-f]+ \([0-9a-fx]+\)\n")


class DiagTest(SharedAgentTestCase):
    """The main thread's hangs, a short capture stall and the dumps folder, while two child
    processes run the capture stall with a crash and the invalid parameter."""

    agent_env = HOOKS
    children = []

    @classmethod
    def prepare(cls, sb):
        write_config(sb)
        # Seven dumps of earlier days: the first hang dump is the eighth.
        dumps = os.path.join(sb.data, "dumps")
        os.makedirs(dumps)
        now = time.time()
        for i in range(7):
            p = os.path.join(dumps, "ivrad_2026010%d_120000_crash.dmp" % (i + 1))
            with open(p, "wb") as f:
                f.write(b"MDMP")
            os.utime(p, (now - 86400 * (8 - i), now - 86400 * (8 - i)))
        with open(os.path.join(dumps, "notes.txt"), "w") as f:
            f.write("not a dump")
        cls.seeded = sorted(n for n in os.listdir(dumps) if n.endswith(".dmp"))

    @classmethod
    def setUpClass(cls):
        cls.children = []
        try:
            for case in ("CaptureStallAndCrash", "BadParameter"):
                cls.children.append(subprocess.Popen([sys.executable, os.path.abspath(__file__)],
                                                     env=dict(os.environ, IVRA_DIAG_CHILD=case),
                                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
            super().setUpClass()
        except BaseException:
            cls.stop_children()
            raise

    @classmethod
    def stop_children(cls):
        """Ends the children that still run (each removes its prefix) and shows what they said."""
        for child in cls.children:
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
        for child in cls.children:
            try:
                out, _ = child.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                child.kill()
                out, _ = child.communicate()
            sys.stderr.write("---- child:\n" + out.decode("utf-8", "replace"))
        cls.children = []

    @classmethod
    def tearDownClass(cls):
        try:
            super().tearDownClass()
        finally:
            cls.stop_children()

    def dumps(self):
        d = os.path.join(self.sb.data, "dumps")
        return sorted(n for n in os.listdir(d) if n.endswith(".dmp"))

    def hang_main(self, nth):
        """Blocks the main thread for 9 s; returns once the watchdog saw it recover."""
        sb, agent = self.sb, self.agent
        self.assertEqual(agent.pipe("debug\top=hang_main\tms=9000\n"), b"ok\n")
        wait_for(lambda: len(lines_with(sb, "debug: main thread sleeping 9000 ms")) >= nth, 10, what="hang begins")
        reply, ms = ping_ms(agent)
        self.assertEqual(reply, b"ok\n")
        self.assertLess(ms, 3000)  # answered while the main thread sleeps
        wait_for(lambda: len(lines_with(sb, "HANG: thread 'main' recovered after ")) >= nth, 30,
                 what="main recovered (%d)" % nth)
        hung = lines_with(sb, "HANG: thread 'main'")
        self.assertEqual(len(hung), 2 * nth, hung)
        m = re.search(r"ERR  \[watchdog\] HANG: thread 'main' \(tid \d+\) has not responded for (\d+) ms$",
                      hung[2 * nth - 2])
        self.assertIsNotNone(m, hung[2 * nth - 2])
        self.assertGreaterEqual(int(m.group(1)), 5000)  # at least the probe's limit
        self.assertLess(int(m.group(1)), 9000)
        m = re.search(r"WARN \[watchdog\] HANG: thread 'main' recovered after (\d+) ms$", hung[2 * nth - 1])
        self.assertIsNotNone(m, hung[2 * nth - 1])
        self.assertGreaterEqual(int(m.group(1)), 5000)
        self.assertLess(int(m.group(1)), 20000)

    def test_hangs_stalls_and_the_dumps_folder(self):
        sb, agent = self.sb, self.agent
        self.hang_main(1)

        # A capture stall of 7 s stays under the 8 s threshold. It ends with the thread's own
        # "slow:" line; the next main hang takes longer than a watchdog round, so a report
        # of the stall would be in the log by the time that one recovers.
        self.assertEqual(agent.pipe("debug\top=hang_capture\tms=7000\n"), b"ok\n")
        self.assertEqual(ping_ms(agent)[0], b"ok\n")
        wait_for(lambda: lines_with(sb, "ms on message 0x8008"), 20, what="7 s stall ends")
        self.hang_main(2)
        self.assertEqual(lines_with(sb, "HANG: thread 'capture'"), [])
        self.assertRegex(agent.pipe("status\n").decode(), r"\thangs=2\t")

        # One dump for the main thread's slot, though it hung twice; its stack twice.
        wait_for(lambda: lines_with(sb, "HANG: minidump written: "), 120, what="hang dump")
        wait_for(lambda: len([ln for ln in sb.log_lines() if re.search(r"\[diag\]   main #00 ", ln)]) >= 2, 60,
                 what="both stacks")
        stack = [ln for ln in sb.log_lines() if re.search(r"\[diag\]   main #\d\d ", ln)]
        self.assertTrue(any("Sleep" in ln for ln in stack), stack)
        hang_dumps = [n for n in self.dumps() if n.endswith("_hang.dmp")]
        self.assertEqual(len(hang_dumps), 1, self.dumps())
        self.assertTrue(is_minidump(os.path.join(sb.data, "dumps", hang_dumps[0])))
        # Eight dumps: the six newest remain, the other file is not touched.
        self.assertEqual(self.dumps(), sorted(self.seeded[2:] + hang_dumps))
        self.assertTrue(os.path.exists(os.path.join(sb.data, "dumps", "notes.txt")))

        # The second hang wrote no dump: its report is complete with its stack, and the
        # dump would have been begun right after it.
        agent.stop()
        self.assertEqual(self.dumps(), sorted(self.seeded[2:] + hang_dumps))

        for child in self.children:
            child.wait(170)
            self.assertEqual(child.returncode, 0, "the children's output follows the test's")


def no_debugger(prefix):
    """Wine's default crash handling starts winedbg, which takes seconds to end the agent;
    without a debugger the crashed process ends at once, as with no debugger on Windows."""
    path = os.path.join(prefix, "system.reg")
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        text = f.read()
    text = text.replace('"Debugger"="winedbg --auto %ld %ld"', '"Debugger"=""')
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(text)


def child_main():
    """The child: a private prefix and Wine server, removed on every way out."""
    prefix = private_prefix()
    os.environ["WINEPREFIX"] = prefix
    if CHILD == "CaptureStallAndCrash":
        no_debugger(prefix)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        subprocess.run(["/usr/lib/wine/wineserver", "-p"], check=True)
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(globals()[CHILD])
        ok = unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful()
    finally:
        # The server saves the registry as it ends: wait, or it writes into the removed prefix.
        for arg in ("-k", "-w"):
            subprocess.run(["/usr/lib/wine/wineserver", arg], timeout=30)
        remove_tree(prefix)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    if CHILD:
        child_main()
    else:
        unittest.main(verbosity=2)
