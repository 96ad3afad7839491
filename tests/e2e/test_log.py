"""Two processes appending to the shared log at once: every line reaches the file
whole, each writer's lines keep their order, and the scrubber has replaced the
profile folder and the user name in a real process environment."""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import Sandbox, pid_alive, wait_for, win_path  # noqa: E402

COUNT = 1500
LINE = re.compile(rb"^\[(\d\d):(\d\d):(\d\d)\.(\d\d\d)\] INFO \[t\d+\] logspam (A|B) (\d+) "
                  rb"profile=%USERPROFILE% user=<user> pad=(x*)$")


class TwoWriters(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox(user="tester")

    def tearDown(self):
        self.sb.cleanup()

    def test_no_torn_lines(self):
        sync = os.path.join(self.sb.root, "sync")
        os.makedirs(sync)
        pids = [self.sb.start("logspam", COUNT, tag, win_path(sync)) for tag in ("A", "B")]
        wait_for(lambda: all(os.path.exists(os.path.join(sync, t + ".ready")) for t in ("A", "B")),
                 60, what="both writers ready")
        open(os.path.join(sync, "go"), "wb").close()
        for pid in pids:
            wait_for(lambda: not pid_alive(pid), 180, interval=0.2, what="logspam %d to finish" % pid)

        with open(os.path.join(self.sb.data, "ivrad.log"), "rb") as f:
            data = f.read()
        self.assertTrue(data.endswith(b"\n"), "the file ends with a whole line")
        self.assertNotIn(b"\0", data)
        seen = {b"A": [], b"B": []}
        for line in data.split(b"\n")[:-1]:
            m = LINE.match(line)
            self.assertIsNotNone(m, "torn or foreign line: %r" % line[:200])
            index = int(m.group(6))
            self.assertEqual(len(m.group(7)), index % 53, "line %r lost bytes" % line[:200])
            seen[m.group(5)].append(index)
        for tag, indices in seen.items():
            self.assertTrue(indices, "writer %s reached the file" % tag.decode())
            # Neither writer's open is refused while the other holds the file: nothing is lost.
            self.assertEqual(indices, list(range(COUNT)), "writer %s: every line, in order, once" % tag.decode())

    def test_single_writer_loses_nothing(self):
        pid = self.sb.start("logspam", 300, "A")
        wait_for(lambda: not pid_alive(pid), 120, interval=0.2, what="logspam to finish")
        lines = self.sb.log_text().encode().split(b"\n")
        self.assertEqual(lines[-1], b"")
        indices = []
        for line in lines[:-1]:
            m = LINE.match(line)
            self.assertIsNotNone(m, line[:200])
            indices.append(int(m.group(6)))
        self.assertEqual(indices, list(range(300)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
