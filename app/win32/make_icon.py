#!/usr/bin/env python3
"""Writes the program icon (16 x 16 and 32 x 32, 32-bit with alpha): a disc with a green arrow
pointing up, drawn from simple shapes so that the repository holds no binary picture.

Usage: make_icon.py OUTPUT.ico
"""
import math
import struct
import sys


def pixel(size, x, y):
    """BGRA of one pixel; (x, y) from the top left."""
    s = size / 32.0
    cx = cy = size / 2.0 - 0.5
    r = math.hypot(x - cx, y - cy)
    colour = (0, 0, 0, 0)
    if r <= 15 * s:
        shade = int(200 + 40 * math.cos(math.atan2(y - cy, x - cx) * 2))
        colour = (shade, shade, min(255, shade + 10), 255)
        if r > 14 * s:
            colour = (90, 90, 90, 255)
        if r <= 4 * s:
            colour = (60, 60, 60, 255) if r > 2 * s else (0, 0, 0, 0)
    # The arrow: a triangle head and a shaft in the lower right quarter.
    ax, ay = 22 * s, 10 * s
    dx, dy = x - ax, y - ay
    head = 0 <= dy <= 8 * s and abs(dx) <= dy
    shaft = 8 * s < dy <= 20 * s and abs(dx) <= 3 * s
    if head or shaft:
        colour = (0, 150, 0, 255)
    return colour


def image(size):
    rows = []
    for y in reversed(range(size)):  # bottom-up rows
        rows.append(b"".join(struct.pack("4B", *pixel(size, x, y)) for x in range(size)))
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    and_mask = b"\0" * (mask_row * size)  # alpha decides; nothing masked
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask),
                         0, 0, 0, 0)
    return header + xor + and_mask


def main():
    sizes = [16, 32]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
