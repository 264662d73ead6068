#!/usr/bin/env python3
"""Draws Yammerlane's icon, a speech bubble holding three chat lines in
their authors' colours, as PNG files at the sizes given:

    make_icon.py OUTDIR 16 32 48 ...   writes OUTDIR/<n>x<n>/yammerlane.png

The shapes are distance functions on the unit square, sampled several times
per pixel for smooth edges. Standard library only."""
import math
import os
import struct
import sys
import zlib

FILL = (34, 44, 120)      # the bubble
EDGE = (236, 240, 255)    # its rim
OUTLINE = (16, 20, 64)    # a dark line round the rim: seen on light panels too
LINES = [                 # (y, x end, colour): chat lines of three people
    (0.27, 0.80, (255, 214, 64)),
    (0.41, 0.64, (96, 224, 120)),
    (0.55, 0.74, (255, 120, 176)),
]
LINE_X0, LINE_R = 0.21, 0.048
RIM = 0.045
OUTER = 0.022


def rounded_box(x, y, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    qx = abs(x - cx) - ((x1 - x0) / 2 - r)
    qy = abs(y - cy) - ((y1 - y0) / 2 - r)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def segment(px, py, ax, ay, bx, by):
    """Distance from p to the segment a-b."""
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


TAIL = [(0.20, 0.50), (0.50, 0.50), (0.11, 0.94)]


def triangle(x, y):
    """Signed distance to the bubble's tail (negative inside)."""
    d = min(segment(x, y, *TAIL[i], *TAIL[(i + 1) % 3]) for i in range(3))
    inside = True
    for i in range(3):
        (ax, ay), (bx, by) = TAIL[i], TAIL[(i + 1) % 3]
        if (bx - ax) * (y - ay) - (by - ay) * (x - ax) < 0:
            inside = False
    return -d if inside else d


def colour_at(x, y):
    """RGBA at a point of the unit square; None where nothing is drawn."""
    bubble = min(rounded_box(x, y, 0.05, 0.08, 0.95, 0.72, 0.17), triangle(x, y))
    if bubble > 0:
        return None
    if bubble > -OUTER:
        return OUTLINE
    if bubble > -OUTER - RIM:
        return EDGE
    for ly, x1, colour in LINES:
        if segment(x, y, LINE_X0, ly, x1, ly) < LINE_R:
            return colour
    return FILL


def draw(size):
    # Small icons need more samples per pixel than large ones to look smooth.
    n = 4 if size <= 64 else 2
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    c = colour_at((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            if a:
                row += bytes((r // a, g // a, b // a, 255 * a // (n * n)))
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main(argv):
    if len(argv) < 3:
        sys.exit("usage: make_icon.py OUTDIR SIZE...")
    for size in (int(s) for s in argv[2:]):
        folder = os.path.join(argv[1], "%dx%d" % (size, size))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "yammerlane.png"), "wb") as f:
            f.write(png(size, draw(size)))


if __name__ == "__main__":
    main(sys.argv)
