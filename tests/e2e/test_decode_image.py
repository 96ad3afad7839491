"""The image decoding tool the capture tests read their files with."""
import os
import struct
import tempfile
import unittest
import zlib

import ivra_e2e as e2e


def png_bytes(width, height, rgb_rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(row) for row in rgb_rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


class DecodeImageTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ivra-decode-")

    def tearDown(self):
        for name in os.listdir(self.dir):
            os.remove(os.path.join(self.dir, name))
        os.rmdir(self.dir)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_pixels_size_and_raw_dump(self):
        w, h = 5, 3
        rows = [[(x * 50 + y * 9 + c * 3) % 256 for x in range(w) for c in range(3)] for y in range(h)]
        path = self.write("a.png", png_bytes(w, h, rows))
        got = e2e.decode_image(path, pixels=[(0, 0), (4, 2), (2, 1)])
        self.assertEqual((got["width"], got["height"], got["pix_fmt"]), (5, 3, "rgb24"))
        for (x, y), bgra in got["pixels"].items():
            r, g, b = rows[y][x * 3:x * 3 + 3]
            self.assertEqual(bgra, (b, g, r, 255), (x, y))
        raw = os.path.join(self.dir, "a.raw")
        r = e2e.wine([e2e.exe("decode_image"), e2e.win_path(path), "--bgra", e2e.win_path(raw)])
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(raw, "rb") as f:
            data = f.read()
        self.assertEqual(len(data), w * h * 4)
        self.assertEqual(data[4 * (w + 2):4 * (w + 3)], bytes(got["pixels"][(2, 1)]))
        # The same pixels give the same hash, different ones a different hash.
        again = e2e.decode_image(self.write("b.png", png_bytes(w, h, rows)))
        self.assertEqual(again["hash"], got["hash"])
        rows[1][0] ^= 1
        changed = e2e.decode_image(self.write("c.png", png_bytes(w, h, rows)))
        self.assertNotEqual(changed["hash"], got["hash"])

    def test_failures(self):
        cases = [
            ("not an image", self.write("t.png", b"hello"), [], 1),
            ("truncated png", self.write("u.png", png_bytes(2, 2, [[1] * 6, [2] * 6])[:40]), [], 1),
            ("missing file", os.path.join(self.dir, "absent.png"), [], 1),
            ("pixel outside", self.write("v.png", png_bytes(1, 1, [[9, 9, 9]])), ["--pixel", "1", "0"], 2),
            ("bad argument", self.write("w.png", png_bytes(1, 1, [[9, 9, 9]])), ["--frobnicate"], 2),
        ]
        for what, path, extra, rc in cases:
            with self.subTest(what):
                r = e2e.wine([e2e.exe("decode_image"), e2e.win_path(path)] + extra)
                self.assertEqual(r.returncode, rc, r.stderr)


if __name__ == "__main__":
    e2e.main()
