"""Storage through the real agent: the disk-full refusal with its balloon and no file
(free space faked by the debug hook), ivra_big from captures that were there before
the start, a link inside the clips folder that is not followed, `ivrac storage --json`
adding up to the files on disk, the low-space balloon shown once in ten minutes, and
the local scan when the agent is down."""
import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import SharedAgentTestCase, main, wait_for, win_path  # noqa: E402

GIB = 1073741824
STILLS = (".png", ".jpg", ".jpeg", ".webp", ".bmp")
CLIPS = (".mp4", ".mkv", ".webm", ".mov", ".gif")


def disk_totals(roots):
    """Bytes and counts by kind under the roots, links neither followed nor counted."""
    t = {"stills": [0, 0], "clips": [0, 0], "other": [0, 0]}
    for root in roots:
        for folder, dirs, files in os.walk(root):
            dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(folder, d))]
            for name in files:
                path = os.path.join(folder, name)
                if os.path.islink(path):
                    continue
                ext = os.path.splitext(name)[1].lower()
                kind = "stills" if ext in STILLS else "clips" if ext in CLIPS else "other"
                t[kind][0] += os.path.getsize(path)
                t[kind][1] += 1
    return t


class Storage(SharedAgentTestCase):
    """One agent with 100 MB free as far as it knows, stop_free_mb 256 and warn_ivra_gb 1."""

    agent_env = {"IVRA_DEBUG_HOOKS": "1", "IVRA_DEBUG_FREE_MB": "100"}

    @classmethod
    def write_config(cls, sb, **changes):
        cls.cfg.update({k: str(v) for k, v in changes.items()})
        with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
            for k, v in cls.cfg.items():
                f.write("%s=%s\r\n" % (k, v))

    @classmethod
    def prepare(cls, sb):
        cls.shots = os.path.join(sb.root, "shots")
        cls.clips = os.path.join(sb.root, "clips")
        cls.slot = os.path.join(cls.shots, "red")        # inside stills_dir: counted once
        cls.slot2 = os.path.join(sb.root, "slot2")
        cls.elsewhere = os.path.join(sb.root, "elsewhere")
        for d in (sb.data, cls.shots, cls.clips, cls.slot, cls.slot2, cls.elsewhere):
            os.makedirs(d)
        files = {os.path.join(cls.clips, "clip.MOV"): 1000, os.path.join(cls.shots, "shot.webp"): 200,
                 os.path.join(cls.shots, "notes.txt"): 30, os.path.join(cls.slot, "README"): 4,
                 os.path.join(cls.slot2, "x.jpg"): 50, os.path.join(cls.elsewhere, "hidden.mp4"): 7000}
        for path, size in files.items():
            with open(path, "wb") as f:
                f.write(b"\1" * size)
        # Made before the start: together with the rest just over 1 GiB (sparse, so cheap).
        with open(os.path.join(cls.shots, "old.png"), "wb") as f:
            f.truncate(GIB + 1)
        # Under Wine a Linux link to a folder reads as a reparse point, as a junction does.
        os.symlink(cls.elsewhere, os.path.join(cls.clips, "junction"))
        cls.cfg = {"onboarded": "1", "play_sound": "0", "stills_dir": win_path(cls.shots),
                   "clips_dir": win_path(cls.clips), "folder2": win_path(cls.slot),
                   "folder5": win_path(cls.slot2), "warn_free_mb": "0", "stop_free_mb": "256",
                   "warn_ivra_gb": "1"}
        cls.write_config(sb)

    def roots(self):
        return [self.shots, self.clips, self.slot2]

    def shot_files(self):
        return sorted(n for n in os.listdir(self.shots) if n.startswith("Ivra_"))

    def ivrac(self, *args):
        """ivrac's exit code, standard output (without the launcher's pid line) and error text."""
        r = self.sb.run("ivrac", *args)
        out = re.sub(rb"^pid=\d+\r?\n", b"", r.stdout).decode("utf-8")
        return r.returncode, out, r.stderr.decode("utf-8")

    def storage_json(self, *args):
        code, out, err = self.ivrac("storage", "--json", *args)
        self.assertEqual(code, 0, err)
        return json.loads(out), err

    def assert_adds_up(self, obj):
        disk = disk_totals(self.roots())
        for kind in ("stills", "clips", "other"):
            self.assertEqual([obj[kind]["bytes"], obj[kind]["files"]], disk[kind], kind)
        self.assertEqual(obj["ivra"], sum(v[0] for v in disk.values()))
        self.assertEqual(obj["roots"], 3)
        self.assertEqual(obj["clips"]["files"], 1)  # hidden.mp4 behind the link is not counted

    def test_1_disk_full_refuses_with_balloon_and_no_file(self):
        before = self.shot_files()
        mark = len(self.sb.log_text())
        reply = self.agent.pipe("shot\ttarget=rect\trect=0,0,32,32\n")
        self.assertEqual(reply, b"err\tcode=disk_full\tmsg=drive free space below stop_free_mb\n")
        balloon = "balloon: Ivra \u2014 Disk full - capture skipped (100 MB free on Z:\\)"
        wait_for(lambda: balloon in self.sb.log_text()[mark:], 10, what="disk full balloon")
        log = self.sb.log_text()[mark:]
        self.assertEqual(log.count("disk full: 100 MB free on Z:\\ (< 256 MB); capture skipped"), 1, log)
        self.assertEqual(log.count(balloon), 1, log)
        self.assertEqual(self.shot_files(), before)

    def test_2_json_adds_up_and_ivra_big_counts_files_from_before_the_start(self):
        obj, err = self.storage_json("--refresh")
        self.assertEqual(err, "")
        self.assert_adds_up(obj)
        self.assertGreater(obj["ivra"], GIB)
        self.assertEqual(obj["flags"], {"low_space": False, "disk_full": True, "ivra_big": True})
        self.assertEqual(obj["thresholds"], {"warn_free_mb": 0, "stop_free_mb": 256, "warn_ivra_gb": 1})
        self.assertEqual((obj["drive"], obj["free"]), ("Z:\\", 100 * 1048576))
        self.assertGreaterEqual(obj["age_s"], 0)
        text = self.ivrac("storage")[1]
        self.assertRegex(text, r"^Drive Z:\\   \S+ \S+ total   100 MB free \(\d+%\)   \[disk full!\]\n"
                               r"Ivra   1\.00 GB in 3 folders   \(scanned \d+ s ago, \d+ ms\)  \[over warn_ivra_gb!\]\n")

    def test_3_low_space_balloon_once_in_ten_minutes(self):
        self.write_config(self.sb, stop_free_mb=0, warn_free_mb=2048)
        self.assertEqual(self.agent.pipe("reload\n"), b"ok\n")
        mark = len(self.sb.log_text())
        for _ in range(2):
            reply = self.agent.pipe("shot\ttarget=rect\trect=0,0,32,32\n").decode("utf-8")
            self.assertTrue(reply.startswith("ok\tpath="), reply)
            self.assertIn("\twarning=low_space,ivra_big\tfree_mb=100\tdrive=Z:\\", reply)
        log = self.sb.log_text()[mark:]
        self.assertEqual(log.count("storage warning (low_space,ivra_big): 100 MB free on Z:\\"), 2, log)
        self.assertEqual(len(re.findall(r"balloon: Ivra \u2014 Low disk space: 100 MB free on Z:\\", log)), 1, log)
        self.assertNotIn("Ivra captures exceed", log)
        obj, _ = self.storage_json("--refresh")
        self.assert_adds_up(obj)

    def test_9_agent_down_scans_locally(self):
        self.agent.stop()
        obj, err = self.storage_json()
        self.assertEqual(err, "agent not running; scanning locally\n")
        self.assertEqual(obj["age_s"], 0)
        self.assert_adds_up(obj)
        self.assertTrue(obj["flags"]["ivra_big"])


if __name__ == "__main__":
    main()
