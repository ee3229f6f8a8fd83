#!/usr/bin/env python3
"""Draws the program's icons as PNG files (no image library needed):
the application icon (a camera with its serial cable) in several sizes and
the two tray icons, connected (blue, green tick) and not connected (grey,
red bar).

    scripts/make-icons.py OUTPUT_DIR
"""
import math
import os
import struct
import sys
import zlib

SUPER = 4  # supersampling per axis, for smooth edges


def png(path, size, pixels):
    rows = b"".join(b"\0" + bytes(c for px in pixels[y * size:(y + 1) * size] for c in px)
                    for y in range(size))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(rows, 9)))
        out.write(chunk(b"IEND", b""))


def rounded_box(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1


BLUE = (31, 78, 121, 255)
SLATE = (105, 112, 120, 255)
GREEN = (30, 160, 60, 255)
RED = (200, 40, 40, 255)
WHITE = (255, 255, 255, 255)


def near_segment(x, y, x0, y0, x1, y1, width):
    """True when (x, y) lies within `width` of the segment (x0, y0)-(x1, y1)."""
    dx, dy = x1 - x0, y1 - y0
    t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - (x0 + t * dx), y - (y0 + t * dy)) <= width


# The tray icons must be told apart at a glance, even at 16 pixels: the
# connected one keeps the blue tile and carries a green disc with a tick,
# the not connected one is a grey tile with a red disc and a bar.
CONNECTED = {"tile": BLUE, "disc": GREEN,
             "mark": lambda x, y: near_segment(x, y, 0.60, 0.74, 0.69, 0.84, 0.045)
             or near_segment(x, y, 0.69, 0.84, 0.86, 0.63, 0.045)}
NOT_CONNECTED = {"tile": SLATE, "disc": RED,
                 "mark": lambda x, y: 0.60 <= x <= 0.88 and abs(y - 0.74) <= 0.05}


def shape_colour(x, y, status):
    """Colour (r, g, b, a) of the point (x, y) in the unit square."""
    tile = BLUE
    # Status disc of the tray icons, drawn on top of everything.
    if status is not None:
        tile = status["tile"]
        d = math.hypot(x - 0.74, y - 0.74)
        if d <= 0.26:
            if d > 0.21:
                return WHITE
            return WHITE if status["mark"](x, y) else status["disc"]
    # Camera body with its lens.
    d = math.hypot(x - 0.44, y - 0.47)
    if d <= 0.16:
        return tile if d > 0.10 else (120, 180, 230, 255)
    if rounded_box(x, y, 0.16, 0.28, 0.72, 0.66, 0.05):
        return (245, 245, 245, 255)
    # The lens hood on the body's right side.
    if 0.72 <= x <= 0.84 and 0.36 <= y <= 0.58:
        return (210, 210, 210, 255)
    # Serial cable leaving the body downwards.
    if status is None and 0.40 <= x <= 0.48 and 0.66 <= y <= 0.86:
        return (255, 200, 40, 255)
    if rounded_box(x, y, 0.04, 0.04, 0.96, 0.96, 0.18):
        return tile
    return (0, 0, 0, 0)


def draw(size, status=None):
    pixels = []
    n = SUPER * SUPER
    for py in range(size):
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SUPER):
                for sx in range(SUPER):
                    r, g, b, a = shape_colour((px + (sx + 0.5) / SUPER) / size,
                                              (py + (sy + 0.5) / SUPER) / size, status)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / n
            if acc[3]:
                pixels.append((round(acc[0] / acc[3]), round(acc[1] / acc[3]),
                               round(acc[2] / acc[3]), round(alpha)))
            else:
                pixels.append((0, 0, 0, 0))
    return pixels


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    for size in (16, 32, 48, 64, 128, 256):
        png(os.path.join(out, f"clsertolvane-{size}.png"), size, draw(size))
    png(os.path.join(out, "tray-connected.png"), 32, draw(32, CONNECTED))
    png(os.path.join(out, "tray-not-connected.png"), 32, draw(32, NOT_CONNECTED))


if __name__ == "__main__":
    main()
