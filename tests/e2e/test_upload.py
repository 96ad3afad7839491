"""Uploads end to end against the reference service: cleaned files checked with
exiftool and FFmpeg and byte for byte against the kept chunks and segments,
failures and their retry schedule, a crash in the middle of a transfer, and the
queue's rules. Test files are made here with Python, FFmpeg and exiftool."""
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import (Agent, Sandbox, Service, ivtool, main, pid_alive, probe_media, wait_for,  # noqa: E402
                      win_path)

NAME = "ann.tester"
CODE = "246810"
HIDDEN = "Could not remove the file's hidden metadata, so it was not uploaded."
STILL_LIMIT = 52428800

# ---- test files

PNG_SIG = b"\x89PNG\r\n\x1a\n"
PNG_KEPT = {b"IHDR", b"PLTE", b"IDAT", b"IEND", b"tRNS", b"gAMA", b"cHRM", b"sRGB", b"sBIT", b"acTL", b"fcTL",
            b"fdAT"}


def png_chunk(ctype, data):
    return struct.pack(">I", len(data)) + ctype + data + struct.pack(">I", zlib.crc32(ctype + data))


def icc_profile():
    """A small but well-formed display ICC profile with a description tag."""
    desc = b"desc" + b"\0" * 4 + struct.pack(">I", 12) + b"SecretICCxx\0" + b"\0" * 12 + b"\0" * 67
    tags = struct.pack(">I", 1) + b"desc" + struct.pack(">II", 128 + 4 + 12, len(desc))
    size = 128 + len(tags) + len(desc)
    header = (struct.pack(">I", size) + b"none" + struct.pack(">I", 0x02100000) + b"mntrRGB XYZ " +
              struct.pack(">6H", 2020, 1, 2, 3, 4, 5) + b"acsp" + b"\0" * 4 + struct.pack(">I", 0) + b"\0" * 8 +
              b"\0" * 8 + struct.pack(">I", 0) + struct.pack(">3i", 63190, 65536, 54061) + b"\0" * 4 +
              b"\0" * 16 + b"\0" * 28)
    assert len(header) == 128
    return header + tags + desc


def png_palette(w=64, h=48, extra=True):
    """A palette PNG with tRNS and gAMA kept, and tEXt, zTXt, pHYs, iCCP, tIME and a
    private chunk to drop; IDAT split in two."""
    rows = b"".join(b"\0" + bytes((x * 7 + y * 3) % 16 for x in range(w)) for y in range(h))
    idat = zlib.compress(rows, 9)
    chunks = [png_chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 3, 0, 0, 0))]
    if extra:
        chunks += [png_chunk(b"tEXt", b"Comment\0secret-text"), png_chunk(b"pHYs", struct.pack(">IIB", 3780, 3780, 1)),
                   png_chunk(b"iCCP", b"secret-icc\0\0" + zlib.compress(icc_profile())),
                   png_chunk(b"tIME", struct.pack(">HBBBBB", 2020, 1, 2, 3, 4, 5))]
    chunks += [png_chunk(b"gAMA", struct.pack(">I", 45455)),
               png_chunk(b"PLTE", bytes(c for i in range(16) for c in (i * 16, 255 - i * 16, i * 8))),
               png_chunk(b"tRNS", bytes([255] * 15 + [0]))]
    if extra:
        chunks += [png_chunk(b"zTXt", b"Author\0\0" + zlib.compress(b"secret-author")),
                   png_chunk(b"prVt", b"private secret")]
    chunks += [png_chunk(b"IDAT", idat[:len(idat) // 2]), png_chunk(b"IDAT", idat[len(idat) // 2:]),
               png_chunk(b"IEND", b"")]
    return PNG_SIG + b"".join(chunks)


def png_noise(width, height):
    """An RGB PNG of random pixels (a new picture every call) stored without compression,
    so its size is about 3 * w * h."""
    row = width * 3
    pixels = os.urandom(row * height)
    raw = b"".join(b"\0" + pixels[y * row:(y + 1) * row] for y in range(height))
    return (PNG_SIG + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            png_chunk(b"IDAT", zlib.compress(bytes(raw), 0)) + png_chunk(b"IEND", b""))


def png_sized(path, size):
    """Writes a valid PNG of exactly `size` bytes: a small image and a private chunk of
    zeros, left as a hole in the file so nothing big is written. Returns the cleaned form."""
    small = png_palette(extra=False)
    pad = size - len(small) - 12
    assert pad >= 0
    iend = small.rindex(b"IEND") - 4
    crc = zlib.crc32(b"prPd")
    zeros = bytes(1 << 20)
    for done in range(0, pad, len(zeros)):
        crc = zlib.crc32(zeros[:min(len(zeros), pad - done)], crc)
    with open(path, "wb") as f:
        f.write(small[:iend] + struct.pack(">I", pad) + b"prPd")
        f.seek(pad, os.SEEK_CUR)
        f.write(struct.pack(">I", crc) + small[iend:])
    return small


def png_clean(data):
    """What cleaning must give: the signature and the kept chunks, byte for byte."""
    out, pos = [PNG_SIG], 8
    while pos + 12 <= len(data):
        n = struct.unpack(">I", data[pos:pos + 4])[0]
        ctype = data[pos + 4:pos + 8]
        if ctype in PNG_KEPT:
            out.append(data[pos:pos + 12 + n])
        pos += 12 + n
        if ctype == b"IEND":
            break
    return b"".join(out)


def png_types(data):
    types, pos = [], 8
    while pos + 12 <= len(data):
        n = struct.unpack(">I", data[pos:pos + 4])[0]
        types.append(data[pos + 4:pos + 8].decode("latin-1"))
        pos += 12 + n
    return types


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(args, **kw):
    r = subprocess.run(args, capture_output=True, timeout=300, **kw)
    if r.returncode != 0:
        raise AssertionError("%s failed: %s" % (args[0], r.stderr.decode(errors="replace")[-400:]))
    return r.stdout


def jpeg_with_metadata(path, work):
    """A JPEG from FFmpeg (JFIF APP0) with an Adobe APP14 added here, then EXIF, XMP,
    an ICC profile and a comment written by exiftool."""
    base = os.path.join(work, "base.jpg")
    run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=1",
         "-frames:v", "1", "-pix_fmt", "yuvj420p", "-q:v", "3", base])
    data = read(base)
    adobe = b"\xff\xee" + struct.pack(">H", 14) + b"Adobe" + struct.pack(">HHHB", 100, 0, 0, 1)
    app0_end = 4 + struct.unpack(">H", data[4:6])[0] if data[2:4] == b"\xff\xe0" else 2
    with open(base, "wb") as f:
        f.write(data[:app0_end] + adobe + data[app0_end:])
    icc = os.path.join(work, "p.icc")
    with open(icc, "wb") as f:
        f.write(icc_profile())
    run(["exiftool", "-q", "-q", "-o", path, "-Make=SecretCam", "-Artist=Secret Artist", "-GPSLatitude=48.85",
         "-GPSLatitudeRef=N", "-XMP-dc:Creator=Secret Creator", "-Comment=secret-comment", "-ICC_Profile<=" + icc,
         base])


def jpeg_clean(data):
    """What cleaning must give: SOI, the kept segments with the scan data, EOI."""
    out, pos = [b"\xff\xd8"], 2
    while pos < len(data):
        if data[pos] != 0xFF:
            raise AssertionError("not a marker at %d" % pos)
        while pos + 1 < len(data) and data[pos + 1] == 0xFF:
            pos += 1
        m = data[pos + 1]
        if m == 0xD9:
            out.append(b"\xff\xd9")
            return b"".join(out)
        if 0xD0 <= m <= 0xD7 or m == 0x01:
            pos += 2
            continue
        n = struct.unpack(">H", data[pos + 2:pos + 4])[0]
        seg = data[pos:pos + 2 + n]
        body = seg[4:]
        keep = (0xC0 <= m <= 0xCF or m in (0xDA, 0xDB, 0xDC, 0xDD) or
                (m == 0xE0 and n >= 7 and body.startswith(b"JFIF\0")) or (m == 0xEE and n >= 7 and body.startswith(b"Adobe")))
        pos += 2 + n
        if keep:
            out.append(seg)
        if m == 0xDA:
            start = pos
            while not (data[pos] == 0xFF and data[pos + 1] != 0 and not 0xD0 <= data[pos + 1] <= 0xD7):
                pos += 1
            if keep:
                out.append(data[start:pos])
    raise AssertionError("no end of image")


def jpeg_markers(data):
    return [m for m in re.findall(rb"\xff([\xc0-\xfe])", jpeg_clean(data))] if data else []


def mp4_with_metadata(path, vcodec="libx264", seconds=2, size="320x240"):
    """H.264 (x264 writes an SEI with its version) and AAC, with a title and a creation time."""
    args = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=%s:rate=30" % size,
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", str(seconds), "-c:v", vcodec]
    args += ["-pix_fmt", "yuv420p", "-g", "30"] if vcodec == "libx264" else ["-b:v", "200k"]
    args += ["-c:a", "aac", "-metadata", "title=Secret Title", "-metadata", "creation_time=2020-01-02T03:04:05Z",
             "-metadata:s:v", "handler_name=SecretHandler", path]
    run(args)


def h264_nal_types(path):
    """The NAL unit types of the first video stream, in Annex B order."""
    raw = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0", "-c", "copy", "-bsf:v",
               "h264_mp4toannexb", "-f", "h264", "-"])
    return [raw[m.end()] & 0x1F for m in re.finditer(b"\x00\x00\x01", raw) if m.end() < len(raw)]


def frame_hashes(path, spec):
    out = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", spec] +
              (["-c", "copy"] if spec.endswith("a:0") else []) + ["-f", "framemd5", "-"])
    return [line.split(",")[-1].strip() for line in out.decode().splitlines() if line and not line.startswith("#")]


def exif_tags(path):
    """Every tag exiftool finds in the file's content, with group names (not those
    it makes up from the file system or derives)."""
    tags = json.loads(run(["exiftool", "-j", "-G1", "-a", "-u", path]))[0]
    return {k: v for k, v in tags.items()
            if k != "SourceFile" and not k.startswith(("System:", "ExifTool:", "Composite:"))}


# What exiftool may still report of a cleaned file: the picture's own description.
PNG_ALLOWED = {"PNG:ImageWidth", "PNG:ImageHeight", "PNG:BitDepth", "PNG:ColorType", "PNG:Compression",
               "PNG:Filter", "PNG:Interlace", "PNG:Gamma", "PNG:Palette", "PNG:Transparency"}
JPEG_ALLOWED_GROUPS = ("File:", "JFIF:", "Adobe:")


# ---- agent side


def item_fields(reply):
    """The u%d entries of an upload status reply as dicts, newest first."""
    text = reply.decode("utf-8", "replace").rstrip("\n")
    if not text.startswith("ok"):
        raise AssertionError("upload status failed: %r" % reply[:200])
    head, items = {}, []
    for f in text.split("\t")[1:]:
        k, _, v = f.partition("=")
        if re.fullmatch(r"u\d+", k):
            p = v.split("|", 7)
            items.append(dict(zip(("id", "state", "tries", "kind", "retry_in", "url", "error", "path"), p)))
        else:
            head[k] = v
    return head, items


class UploadTest(unittest.TestCase):
    """One service, one sandbox linked through ivrac, and one agent for every test:
    upload_workers 9 (run as 4), the back-off shortened to 1 ms per second."""

    workers = 9

    @classmethod
    def setUpClass(cls):
        cls.svc = Service().start()
        cls.sb = Sandbox()
        cls.work = tempfile.mkdtemp(prefix="ivra-upload-")
        try:
            cls.env = {"IVRA_SERVER": cls.svc.url, "IVRA_DEBUG_HOOKS": "1", "IVRA_CLIP_SOFTWARE": "1",
                       "IVRA_DEBUG_UPLOAD_BACKOFF_MS": "1"}
            os.makedirs(cls.sb.data, exist_ok=True)
            clips = os.path.join(cls.sb.root, "clips")
            os.makedirs(clips)
            with open(os.path.join(cls.sb.data, "config.ini"), "w", newline="") as f:
                f.write("onboarded=1\r\nupload_mode=2\r\nupload_workers=%d\r\nplay_sound=0\r\nwarn_free_mb=0\r\n"
                        "stop_free_mb=0\r\nclips_dir=%s\r\nclip_audio_system=0\r\nclip_audio_mic=0\r\n"
                        % (cls.workers, win_path(clips)))
            cls.svc.config(fixed_code=CODE)
            cls.link()
            cls.agent = Agent(cls.sb, env=cls.env)
            cls.agent.start()
        except BaseException:
            cls.cleanup_class()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.cleanup_class()

    @classmethod
    def cleanup_class(cls):
        try:
            if getattr(cls, "agent", None):
                cls.agent.stop()
        finally:
            cls.sb.cleanup()
            cls.svc.stop()
            shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def link(cls):
        r = cls.sb.run("ivrac", "account", "link", NAME, env=cls.env, input_bytes=(CODE + "\n").encode())
        if r.returncode != 0 or not os.path.exists(os.path.join(cls.sb.data, "account.dat")):
            raise AssertionError("link failed (%d): %r %r" % (r.returncode, r.stdout, r.stderr))

    def setUp(self):
        self.svc.clear_faults()
        self.svc.config(put_delay_ms=0)
        self.ensure_linked()

    def ivrac(self, *args, timeout=300):
        r = self.sb.run("ivrac", *args, env=self.env, timeout=timeout)
        out = re.sub(rb"^pid=\d+\r?\n", b"", r.stdout, count=1)  # ivtool launch names the child first
        return r.returncode, out.decode("utf-8", "replace").replace("\r\n", "\n"), r.stderr.decode("utf-8", "replace")

    def status(self):
        return item_fields(self.agent.pipe("upload\top=status\n"))

    def item(self, item_id):
        for it in self.status()[1]:
            if it["id"] == str(item_id):
                return it
        return None

    def file(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def add(self, path):
        reply = self.agent.pipe("upload\top=add\tpath=%s\n" % win_path(path))
        m = re.match(rb"ok\tid=(\d+)\n$", reply)
        self.assertTrue(m, reply)
        return int(m.group(1))

    def upload_wait(self, *paths):
        """ivrac upload ... --wait; returns (exit code, share links, stderr)."""
        rc, out, err = self.ivrac("upload", *[win_path(p) for p in paths], "--wait")
        return rc, [line.strip() for line in out.splitlines() if line.strip()], err

    def fetch(self, url):
        status, data = self.svc.fetch(url)
        self.assertEqual(status, 200, url)
        return data

    def assert_no_token_in_log(self):
        log = self.sb.log_text()
        tokens = self.svc.tokens()
        self.assertTrue(tokens)
        for t in tokens:
            self.assertNotIn(t, log)
            self.assertNotIn(t[:16], log)

    def assert_work_folders_gone(self):
        left = os.path.join(self.sb.temp, "Ivra-upload")
        wait_for(lambda: not os.path.isdir(left) or not os.listdir(left), 10, what="working folders removed")

    def ensure_linked(self):
        if not os.path.exists(os.path.join(self.sb.data, "account.dat")):
            self.link()
        wait_for(lambda: self.status()[0].get("linked") == "1", 20, interval=0.2, what="agent linked")

    # ---- cleaning

    def test_png_and_jpeg_are_cleaned_and_share_links_serve_them(self):
        png = png_palette()
        png_path = self.file("shot.png", png)
        jpg_path = os.path.join(self.work, "shot.jpg")
        jpeg_with_metadata(jpg_path, self.work)
        jpg = read(jpg_path)
        # The inputs carry what must go.
        tags = exif_tags(jpg_path)
        for key in ("IFD0:Make", "GPS:GPSLatitude", "XMP-dc:Creator", "ICC-header:ProfileVersion", "File:Comment"):
            self.assertIn(key, tags)
        tags = exif_tags(png_path)
        for key in ("PNG:Comment", "PNG:Author", "PNG:ModifyDate", "PNG-pHYs:PixelsPerUnitX", "ICC-header:ProfileVersion"):
            self.assertIn(key, tags)

        rc, links, err = self.upload_wait(png_path, jpg_path)
        self.assertEqual(rc, 0, err)
        self.assertEqual(len(links), 2, links)
        for link in links:
            self.assertTrue(link.startswith(self.svc.url + "/s/"), link)

        got_png = self.fetch(links[0])
        self.assertEqual(got_png, png_clean(png))
        self.assertEqual(png_types(got_png), ["IHDR", "gAMA", "PLTE", "tRNS", "IDAT", "IDAT", "IEND"])
        tags = exif_tags(self.file("got.png", got_png))
        self.assertEqual({k for k in tags if not k.startswith("File:")} - PNG_ALLOWED, set())
        self.assertNotIn("secret", json.dumps(tags).lower())

        got_jpg = self.fetch(links[1])
        self.assertEqual(got_jpg, jpeg_clean(jpg))
        self.assertIn(b"\xff\xee\x00\x0eAdobe", got_jpg)
        self.assertIn(b"JFIF\0", got_jpg)
        tags = exif_tags(self.file("got.jpg", got_jpg))
        self.assertEqual([k for k in tags if not k.startswith(JPEG_ALLOWED_GROUPS)], [])
        self.assertNotIn("File:Comment", tags)
        self.assertNotIn("secret", json.dumps(tags).lower())

        still = {i["content_hash"]: i for i in self.svc.items()}[hashlib.sha256(got_png).hexdigest()]
        self.assertEqual((still["kind"], still["width"], still["height"]), ("still", 64, 48))
        self.assertEqual([f["role"] for f in still["files"]], ["original", "thumb"])
        self.assert_work_folders_gone()
        self.assert_no_token_in_log()

    def test_mp4_loses_sei_title_and_creation_time_and_keeps_its_streams(self):
        mp4_path = os.path.join(self.work, "clip.mp4")
        mp4_with_metadata(mp4_path)
        self.assertIn(6, h264_nal_types(mp4_path))
        rc, links, err = self.upload_wait(mp4_path)
        self.assertEqual(rc, 0, err)
        self.assertEqual(len(links), 1, links)
        got_mp4 = self.file("got.mp4", self.fetch(links[0]))
        info = probe_media(got_mp4)
        self.assertEqual(sorted(s["codec_name"] for s in info["streams"]), ["aac", "h264"])
        for tags in [info["format"].get("tags", {})] + [s.get("tags", {}) for s in info["streams"]]:
            self.assertNotIn("title", tags)
            self.assertNotIn("creation_time", tags)
            self.assertNotIn("SecretHandler", json.dumps(tags))
        self.assertNotIn(6, h264_nal_types(got_mp4))
        self.assertNotIn(b"x264 - core", read(got_mp4))
        # Dropping SEI changes no picture and no sound.
        self.assertEqual(frame_hashes(got_mp4, "0:v:0"), frame_hashes(mp4_path, "0:v:0"))
        self.assertEqual(frame_hashes(got_mp4, "0:a:0"), frame_hashes(mp4_path, "0:a:0"))

        clip = {i["content_hash"]: i for i in self.svc.items()}[hashlib.sha256(read(got_mp4)).hexdigest()]
        self.assertEqual(clip["kind"], "clip")
        self.assertEqual([f["role"] for f in clip["files"]], ["original", "poster", "thumb"])
        self.assertTrue(1900 <= clip["duration_ms"] <= 2200, clip)
        self.assert_work_folders_gone()
        self.assert_no_token_in_log()

    def test_upload_mode_auto_queues_a_saved_clip_and_manual_does_not(self):
        def clip():
            rc, out, err = self.ivrac("clip", "start", "--region", "0,0,320,240", "--seconds", "1", "--wait", "--json")
            self.assertEqual(rc, 0, err)
            return json.loads(out)["path"]
        self.assertEqual(self.ivrac("upload", "mode")[1].strip(), "manual")
        manual = clip()
        self.assertEqual(self.ivrac("upload", "mode", "auto")[:2], (0, "auto\n"))
        try:
            auto = clip()
            # Saved-clip notices reach the agent window in order: once the second is queued,
            # the first was handled too.
            wait_for(lambda: any(it["path"] == auto for it in self.status()[1]), 20, interval=0.2,
                     what="the clip queued for upload")
            self.assertFalse([it for it in self.status()[1] if it["path"] == manual])
        finally:
            self.ivrac("upload", "mode", "manual")

    def test_unclean_files_fail_at_once_and_requeue_under_the_same_id(self):
        jpg_path = os.path.join(self.work, "whole.jpg")
        jpeg_with_metadata(jpg_path, self.work)
        data = read(jpg_path)
        cut = self.file("cut.jpg", data[:len(data) - 200])
        vp9 = os.path.join(self.work, "vp9.mp4")
        mp4_with_metadata(vp9, vcodec="libvpx-vp9", seconds=1, size="160x120")
        self.svc.reset_stats()
        rc, links, err = self.upload_wait(cut, vp9)
        self.assertEqual(rc, 1)
        self.assertEqual(links, [])
        self.assertEqual(len(re.findall(re.escape(HIDDEN), err)), 2, err)
        st = {it["path"]: it for it in self.status()[1]}
        for p in (cut, vp9):
            it = st[win_path(p)]
            self.assertEqual((it["state"], it["tries"], it["error"]), ("failed", "1", HIDDEN))
        self.assertEqual(self.svc.stats()["requests"].get("create", 0), 0)
        self.assertRegex(self.sb.log_text(), r"upload: only H\.264/HEVC clips are uploaded \(this is codec \d+\)")
        # The same failed file again: the same entry, queued afresh.
        first = st[win_path(cut)]["id"]
        rc, out, err = self.ivrac("upload", win_path(cut))
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.strip(), "queued #%s %s" % (first, win_path(cut)))
        wait_for(lambda: (self.item(first) or {}).get("state") == "failed", 30, interval=0.2, what="failed again")
        self.assertEqual(self.item(first)["tries"], "1")
        self.assertEqual(sum(1 for it in self.status()[1] if it["path"] == win_path(cut)), 1)

    def test_size_limit_is_checked_before_any_request(self):
        over, at = os.path.join(self.work, "over.png"), os.path.join(self.work, "at.png")
        png_sized(over, STILL_LIMIT + 1)
        cleaned = png_sized(at, STILL_LIMIT)
        self.assertEqual((os.path.getsize(at), os.path.getsize(over)), (52428800, 52428801))
        self.svc.reset_stats()
        rc, links, err = self.upload_wait(over, at)
        self.assertEqual(rc, 1)
        self.assertIn("Too large to upload (limit 50 MB).", err)
        self.assertEqual(len(links), 1, links)
        self.assertEqual(self.fetch(links[0]), cleaned)
        self.assertEqual(self.svc.stats()["requests"].get("create"), 1)
        st = {it["path"]: it for it in self.status()[1]}
        self.assertEqual((st[win_path(over)]["state"], st[win_path(over)]["tries"]), ("failed", "1"))

    def test_nine_workers_run_four_transfers_at_once(self):
        paths = [self.file("w%d.png" % i, png_noise(1024, 1024)) for i in range(6)]
        self.svc.config(put_delay_ms=250)
        self.svc.reset_stats()
        rc, links, err = self.upload_wait(*paths)
        self.assertEqual(rc, 0, err)
        self.assertEqual(len(links), 6)
        self.assertEqual(self.status()[0]["workers"], "4")
        self.assertEqual(self.svc.stats()["put_high_water"], 4)
        self.assertEqual(self.fetch(links[3]), read(paths[3]))

    # ---- failures

    def test_storage_403_retries_on_the_schedule_and_fails_at_the_tenth(self):
        path = self.file("denied.png", png_noise(64, 64))
        self.svc.fault(method="PUT", path="/storage/*", status=403, content_type="application/xml",
                       body="<Error><Code>AccessDenied</Code></Error>", count=-1)
        self.svc.reset_stats()
        rc, links, err = self.upload_wait(path)
        self.assertEqual(rc, 1)
        sentence = "Storage refused the original (HTTP 403)."
        self.assertRegex(err, r"#\d+ " + re.escape(sentence))
        it = [i for i in self.status()[1] if i["path"] == win_path(path)][0]
        self.assertEqual((it["state"], it["tries"], it["error"]), ("failed", "10", sentence))
        log = self.sb.log_lines()
        tries = [(ln, m) for ln in log for m in [re.search(r"upload: #%s try (\d+) failed \((.*)\); next in (\d+) s"
                                                           % it["id"], ln)] if m]
        self.assertEqual([int(m.group(1)) for _, m in tries], list(range(1, 10)))
        self.assertEqual([int(m.group(3)) for _, m in tries], [15, 60, 300, 900, 1800, 3600, 3600, 3600, 3600])
        self.assertTrue(all(m.group(2) == sentence for _, m in tries))
        final = [ln for ln in log if re.search(r"upload: #%s .*failed after 10 tries: %s" % (it["id"], re.escape(sentence)), ln)]
        self.assertEqual(len(final), 1)
        # Each wait lasts its table seconds in milliseconds: the agent's own clock.
        from ivra_e2e import log_time
        stamps = [log_time(ln) for ln, _ in tries] + [log_time(final[0])]
        for (_, m), a, b in zip(tries, stamps, stamps[1:]):
            self.assertGreaterEqual(b - a, int(m.group(3)) / 1000.0 - 0.02)
        st = self.svc.stats()
        self.assertEqual(st["requests"]["put"], 10)
        self.assertEqual(st["requests"]["create"], 10)
        self.assertEqual(len([i for i in self.svc.items() if i["status"] == "pending"]), 1)

    def test_413_on_create_fails_at_once_with_the_service_sentence(self):
        path = self.file("toolarge.png", png_noise(64, 64))
        self.svc.fault(method="POST", path="/api/v1/uploads", status=413, json={"error": "too_large"})
        self.svc.reset_stats()
        rc, links, err = self.upload_wait(path)
        self.assertEqual(rc, 1)
        sentence = "The Ivra service refused the request (HTTP 413, too_large)."
        self.assertIn(sentence, err)
        it = [i for i in self.status()[1] if i["path"] == win_path(path)][0]
        self.assertEqual((it["state"], it["tries"], it["error"]), ("failed", "1", sentence))
        self.assertEqual(self.svc.stats()["requests"]["create"], 1)

    def test_full_queue_then_401_drops_queued_items_and_unlinks(self):
        self.ivrac("upload", "clear")
        log_before = self.sb.log_text()
        tiny = png_noise(8, 8)
        # Every create waits until released, so the workers stay busy while the queue fills.
        held = self.svc.fault(method="POST", path="/api/v1/uploads", hold=True, status=401,
                              json={"error": "unauthorized"}, count=-1)
        paths = [self.file("q%03d.png" % i, tiny) for i in range(257)]
        ids = [self.add(p) for p in paths[:256]]
        self.assertEqual(len(set(ids)), 256)
        rc, out, err = self.ivrac("upload", win_path(paths[256]))
        self.assertEqual(rc, 1)
        self.assertIn("the upload queue is full", err)
        head, items = self.status()
        self.assertEqual((head["items"], int(head["queued"]) + int(head["active"])), ("256", 256))
        wait_for(lambda: [r for r in self.svc.faults() if r["id"] == held][0]["hits"] >= 1, 30, interval=0.2,
                 what="the create request to arrive")
        self.svc.release(held)
        wait_for(lambda: self.status()[0]["linked"] == "0", 30, interval=0.2, what="unlinked")
        head, items = self.status()
        self.assertEqual((head["queued"], head["active"]), ("0", "0"))
        self.assertFalse(any(it["state"] in ("queued", "uploading") for it in items))
        wait_for(lambda: not os.path.exists(os.path.join(self.sb.data, "account.dat")), 15, what="account.dat removed")
        self.assertEqual(len(re.findall(r"upload: #\d+ server says this PC is no longer linked; pending uploads dropped",
                                        self.sb.log_text()[len(log_before):])), 1)
        with open(os.path.join(self.sb.data, "uploads.tsv"), encoding="utf-8") as f:
            self.assertFalse([ln for ln in f if ln.split("\t")[1:2] == ["queued"]])
        rc, out, err = self.ivrac("upload", win_path(paths[0]))
        self.assertEqual(rc, 6, err)

    def test_crash_during_transfer_resumes_from_the_journal_without_duplicates(self):
        big = png_noise(2048, 6500)  # about 40 MB, stored uncompressed: cleaning keeps every byte
        path = self.file("big.png", big)
        self.assertGreater(len(big), 39_000_000)
        self.svc.reset_stats()
        self.svc.fault(method="PUT", path="/storage/*", status=403, count=1)
        self.svc.config(put_delay_ms=40)
        rc, out, err = self.ivrac("upload", win_path(path))
        self.assertEqual(rc, 0, err)
        item_id = re.match(r"queued #(\d+) ", out).group(1)
        wait_for(lambda: self.svc.stats()["put_bytes"] > 8 << 20, 120, interval=0.2, what="second try under way")
        journal = os.path.join(self.sb.data, "uploads.tsv")
        with open(journal, encoding="utf-8") as f:
            line = [ln for ln in f if ln.startswith(item_id + "\t")][0].split("\t")
        self.assertEqual(line[1:3], ["queued", "1"])
        self.assertTrue(ivtool("kill", self.agent.pid).returncode == 0)
        wait_for(lambda: not pid_alive(self.agent.pid), 20, interval=0.2, what="agent killed")
        self.agent.pid = None
        self.assertEqual(self.svc.stats()["items_ready"], 0)
        self.svc.config(put_delay_ms=0)
        self.agent.start()
        self.assertRegex(self.sb.log_text(), r"upload: journal restored \d+ items \(1 waiting\)")
        wait_for(lambda: (self.item(item_id) or {}).get("state") == "done", 120, interval=0.5, what="upload done")
        it = self.item(item_id)
        self.assertEqual(it["tries"], "1")
        self.assertEqual(self.fetch(it["url"]), big)
        mine = [i for i in self.svc.items() if i["content_hash"] == hashlib.sha256(big).hexdigest()]
        self.assertEqual(len(mine), 1)
        self.assertEqual(mine[0]["status"], "ready")
        self.assertEqual(self.svc.stats()["requests"]["complete"], 1)
        self.assert_work_folders_gone()
        self.assert_no_token_in_log()


if __name__ == "__main__":
    main()
