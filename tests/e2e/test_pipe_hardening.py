"""Control pipe against hostile clients: clients that never read or never send
hold no worker for long, a restart works through them, a seeded fuzz run gets
one well-formed line for every request, and requests cannot forge log lines."""
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import (Agent, AgentTestCase, SharedAgentTestCase, WINE_RUN, exe, ivtool, pid_alive,  # noqa: E402
                      wait_for, wine)

LOG_LINE = re.compile(r"^\[\d\d:\d\d:\d\d\.\d\d\d\] (INFO|WARN|ERR ) \[[^ \r\n]*\] ")


def ping():
    """One ping; returns (reply bytes, round trip in ms measured inside Windows)."""
    r = wine([exe("pipeclients"), "send", "ping\\n"], timeout=90)
    m = re.search(r"ms=(\d+)", r.stderr.decode("utf-8", "replace"))
    return r.stdout, int(m.group(1)) if m else None


class Clients:
    """A pipeclients process holding connections; ended by pid when still running."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([WINE_RUN, exe("pipeclients")] + [str(a) for a in args],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def opened(self):
        line = self.proc.stdout.readline()
        m = re.match(rb"opened=(\d+)", line)
        return int(m.group(1)) if m else -1

    def closed_ms(self, timeout=90):
        out, _ = self.proc.communicate(timeout=timeout)
        return [int(v) for v in re.findall(rb"conn \d+ closed_ms=(-?\d+)", out)]

    def end(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()


def files_under(root):
    found = set()
    for base, _dirs, names in os.walk(root):
        for n in names:
            found.add(os.path.relpath(os.path.join(base, n), root))
    return found


class StalledClients(SharedAgentTestCase):
    def test_clients_that_never_read_release_the_workers(self):
        mark = len(self.sb.log_text())
        stall = Clients("stall", 8, 20000, "status\\n")
        self.addCleanup(stall.end)
        self.assertEqual(stall.opened(), 8)
        reply, ms = ping()
        self.assertEqual(reply, b"ok\n")
        self.assertLess(ms, 6000)
        print("ping behind 8 clients that never read: %d ms" % ms)
        closed = stall.closed_ms()
        self.assertEqual(len(closed), 8)
        for c in closed:
            self.assertGreaterEqual(c, 0, closed)  # the server let go of every one
            self.assertLess(c, 9000, closed)
        wait_for(lambda: self.sb.log_text()[mark:].count("pipe: reply not read within 5 s; disconnected") >= 8, 10,
                 what="one log line per stalled reply")
        self.assertEqual(self.sb.log_text()[mark:].count("pipe: reply not read within 5 s; disconnected"), 8)

    def test_idle_connections_hold_no_worker(self):
        hold = Clients("hold", 63, 30000)
        self.addCleanup(hold.end)
        self.assertEqual(hold.opened(), 63)
        reply, ms = ping()
        self.assertEqual(reply, b"ok\n")
        self.assertLess(ms, 1000)
        print("ping behind 63 idle connections: %d ms" % ms)
        self.assertEqual(len(hold.closed_ms()), 63)

    def test_request_cannot_forge_a_log_line(self):
        mark = len(self.sb.log_text())
        forged = "[12:00:00.000] ERR  [main] HANG: forged"
        r = subprocess.run([WINE_RUN, exe("pipeclients"), "send", "PING\\r" + forged + "\x01\xe9\\n"],
                           capture_output=True, timeout=90)
        self.assertEqual(r.stdout, b"err\tcode=usage\tmsg=unknown command\n")
        wait_for(lambda: "pipe: PING\\r" in self.sb.log_text()[mark:], 10, what="the request's log line")
        with open(os.path.join(self.sb.data, "ivrad.log"), "rb") as f:
            raw = f.read()[mark:]
        self.assertNotIn(b"\r", raw)
        self.assertNotIn(b"\x01", raw)
        raw.decode("utf-8")  # strictly valid
        text = raw.decode("utf-8")
        self.assertIn("pipe: PING\\r" + forged + "\\x01", text)
        for line in text.splitlines():
            self.assertRegex(line, LOG_LINE)
            self.assertFalse(line.startswith(forged), line)


class Fuzz(SharedAgentTestCase):
    def test_seeded_malformed_requests(self):
        before = files_under(self.sb.root)
        started = time.monotonic()
        r = subprocess.run([WINE_RUN, exe("pipeclients"), "fuzz", "20261209", "3000"], capture_output=True, timeout=240)
        out = r.stdout.decode("utf-8", "replace")
        m = re.search(r"sent=(\d+) bad=(\d+) pings=(\d+) ping_max_ms=(\d+)", out)
        self.assertIsNotNone(m, out)
        print("%s in %.1f s" % (m.group(0), time.monotonic() - started))
        self.assertEqual(int(m.group(1)), 3000)
        self.assertEqual(int(m.group(2)), 0, out)
        self.assertNotIn("fail ", out)
        self.assertEqual(int(m.group(3)), 120)
        self.assertLess(int(m.group(4)), 2000, out)
        self.assertEqual(ping()[0], b"ok\n")
        # Only the agent's own files changed, and only in its data folder.
        data = os.path.relpath(self.sb.data, self.sb.root) + os.sep
        new = files_under(self.sb.root) - before
        self.assertEqual({f for f in new if not f.startswith(data)}, set())
        self.assertFalse(os.path.exists(os.path.join(self.sb.data, "dumps")))
        for line in self.sb.log_text().splitlines():
            self.assertRegex(line, LOG_LINE)


class RestartThroughStalledClients(AgentTestCase):
    def test_restart_leaves_a_running_agent(self):
        agent = Agent(self.sb)
        self.addCleanup(agent.stop)
        old = agent.start()
        hold = Clients("hold", 55, 60000)
        self.addCleanup(hold.end)
        self.assertEqual(hold.opened(), 55)
        stall = Clients("stall", 8, 60000, "status\\n")
        self.addCleanup(stall.end)
        self.assertEqual(stall.opened(), 8)
        r = self.sb.run("ivrac", "agent", "restart", timeout=120)
        self.assertEqual(r.returncode, 0, (r.stdout, r.stderr))
        wait_for(lambda: not pid_alive(old), 30, interval=0.2, what="the old agent to end")
        found = ivtool("window-pid", "IvraAgentWnd")
        self.assertEqual(found.returncode, 0, "no agent window after the restart")
        agent.pid = int(found.stdout.split()[0])
        self.sb.procs.append(agent.pid)
        self.assertNotEqual(agent.pid, old)
        wait_for(lambda: ping()[0] == b"ok\n", 30, interval=0.5, what="the new agent to answer")


if __name__ == "__main__":
    unittest.main(verbosity=2)
