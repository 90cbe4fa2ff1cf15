#!/usr/bin/env python3
"""Draws the application icon: a white "Q" with a downward arrow for its tail
on a blue rounded square, 48 x 48, 32 bits per pixel, written as a .ico file."""
import math
import struct
import sys

SIZE = 48
SAMPLES = 4  # per axis, for smooth edges


def inside_rounded_square(x, y):
    lo, hi, r = 2.0, 46.0, 9.0
    cx = min(max(x, lo + r), hi - r)
    cy = min(max(y, lo + r), hi - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def inside_glyph(x, y):
    ring = 8.5 <= math.hypot(x - 22.0, y - 21.0) <= 13.0
    tail = distance_to_segment(x, y, 29.0, 29.0, 36.0, 36.0) <= 2.4
    # arrow head at the tail's end, pointing down and to the right
    u = ((x - 38.5) + (y - 38.5)) / math.sqrt(2.0)   # along the tail, 0 at the tip
    v = ((x - 38.5) - (y - 38.5)) / math.sqrt(2.0)   # across it
    head = -9.0 <= u <= 0.0 and abs(v) <= -u * 0.75
    return ring or tail or head


def coverage(test, px, py):
    hits = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            if test(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES):
                hits += 1
    return hits / (SAMPLES * SAMPLES)


def pixel(px, py):
    back = coverage(inside_rounded_square, px, py)
    glyph = coverage(inside_glyph, px, py)
    blue = (0x1f, 0x6f, 0xb2)
    rgb = [round(b * (1 - glyph) + 255 * glyph) for b in blue]
    alpha = round(255 * max(back, glyph))
    return bytes((rgb[2], rgb[1], rgb[0], alpha))  # BGRA


def main(path):
    rows = [b"".join(pixel(x, y) for x in range(SIZE)) for y in range(SIZE)]
    xor = b"".join(reversed(rows))                    # bottom-up
    mask_row = ((SIZE + 31) // 32) * 4
    and_mask = bytes(mask_row * SIZE)                 # the alpha channel decides
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0,
                         len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(icondir + entry + image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "quorvane-starter.ico")
