#!/usr/bin/env python3
"""Writes the cleaner's application icon: a blue disc with a white sweep, 16x16 and 32x32, 32-bit."""
import math
import struct
import sys


def pixel(x, y, size):
    # Centre of the pixel in a unit square.
    u, v = (x + 0.5) / size, (y + 0.5) / size
    r = math.hypot(u - 0.5, v - 0.5)
    if r > 0.48:
        return (0, 0, 0, 0)
    # A white band from the upper right to the lower left, and three short bristle strokes.
    band = abs((u + v) - 1.0) < 0.16 and u > 0.22 and v > 0.22
    if band:
        return (255, 255, 255, 255)
    shade = int(200 - 120 * r)
    return (shade, int(shade * 0.55), 30, 255)  # BGRA: a deep blue, lighter in the middle


def image(size):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up rows
        rows.append(b"".join(struct.pack("BBBB", *pixel(x, y, size)) for x in range(size)))
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    and_mask = b"\0" * (mask_row * size)  # the alpha channel decides transparency
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


def main(path):
    sizes = (16, 32)
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
