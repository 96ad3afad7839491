"""Writes the agent's icon (the slanted ring, at the small-icon sizes of every common
DPI) as an .ico and a resource script naming it resource 101, into the given folder."""
import os
import struct
import sys

SIZES = (16, 20, 24, 32, 40, 48, 64)


def ring(n):
    """Rows top-down of straight-alpha BGRA tuples, sampled 8 x 8 per pixel."""
    rows = []
    for i in range(n):
        r, g, b = 112 - 40 * i // n, 172 - 42 * i // n, 255 - 12 * i // n
        row = []
        for j in range(n):
            count = 0
            for sy in range(8):
                y = (i + (sy + 0.5) / 8) / n - 0.5
                for sx in range(8):
                    x = (j + (sx + 0.5) / 8) / n - 0.5
                    u = x + 0.28 * y
                    if (u * u / 0.285 ** 2 + y * y / 0.395 ** 2 <= 1 and
                            u * u / 0.155 ** 2 + y * y / 0.265 ** 2 >= 1):
                        count += 1
            k = (count * 255 + 32) // 64
            row.append((b, g, r, k) if k else (0, 0, 0, 0))
        rows.append(row)
    return rows


def image(n):
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes(c for px in row for c in px) for row in reversed(ring(n)))
    mask = bytes(((n + 31) // 32 * 4) * n)  # alpha decides; the mask hides nothing
    return header + pixels + mask


def main(folder):
    images = [image(n) for n in SIZES]
    offset = 6 + 16 * len(SIZES)
    out = struct.pack("<HHH", 0, 1, len(SIZES))
    for n, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(os.path.join(folder, "ivrad.ico"), "wb") as f:
        f.write(out)
    with open(os.path.join(folder, "ivrad_icon.rc"), "w") as f:
        f.write('101 ICON "%s"\n' % os.path.abspath(os.path.join(folder, "ivrad.ico")).replace("\\", "/"))


if __name__ == "__main__":
    main(sys.argv[1])
