#!/usr/bin/env python3
"""Writes res/vandrel.ico, the updater's icon: a globe with a downward arrow (new ROM
going into the receiver), drawn from a few shapes so that the file is the same on every
run. Two 16-colour images, 32 x 32 and 16 x 16, each with its transparency mask.

Run from the repository root: python3 tools/make_icon.py
"""
import struct
from pathlib import Path

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, NAVY, BLUE, GREEN, WHITE, RED, YELLOW = 0, 4, 12, 2, 15, 9, 11
TRANSPARENT = None


def pixel(u, v):
    """Colour index at (u, v), both in 0..1 with v growing downwards, or TRANSPARENT."""
    # The arrow, at the lower right, in front of the globe.
    ax, ay = u - 0.72, v - 0.66
    if abs(ax) <= 0.09 and -0.30 <= ay <= 0.05:
        return RED
    if 0.0 <= ay <= 0.30 and abs(ax) <= 0.28 - ay:
        edge = abs(ax) > 0.28 - ay - 0.06 or ay > 0.24
        return YELLOW if edge else RED
    # The globe: a blue disc with an outline, an equator, a meridian and some land.
    gx, gy = (u - 0.42) / 0.38, (v - 0.42) / 0.38
    radius = gx * gx + gy * gy
    if radius > 1.0:
        return TRANSPARENT
    if radius > 0.80:
        return NAVY
    if abs(gy) < 0.07 or abs(gx * gx / 0.25 + gy * gy - 1.0) < 0.12:
        return WHITE
    if (gx + 0.35) ** 2 + (gy + 0.30) ** 2 < 0.12 or (gx - 0.30) ** 2 + (gy - 0.45) ** 2 < 0.06:
        return GREEN
    return BLUE


def image(size):
    """One icon image: BITMAPINFOHEADER, palette, colour bits and mask, rows bottom up."""
    rows = [[pixel((x + 0.5) / size, (y + 0.5) / size) for x in range(size)]
            for y in range(size)]
    colour_row_bytes = (size * 4 + 31) // 32 * 4
    mask_row_bytes = (size + 31) // 32 * 4
    colours = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(colour_row_bytes)
        bits = bytearray(mask_row_bytes)
        for x, index in enumerate(row):
            if index is TRANSPARENT:
                bits[x // 8] |= 0x80 >> (x % 8)
                index = BLACK
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        colours += line
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0,
                         len(colours) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(colours) + bytes(mask)


def icon(sizes):
    images = [image(size) for size in sizes]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, data in zip(sizes, images):
        entries += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(images)


def main():
    Path("res/vandrel.ico").write_bytes(icon([32, 16]))


if __name__ == "__main__":
    main()
