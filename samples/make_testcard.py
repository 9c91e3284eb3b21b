#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes samples/testcard.bmp: a 192x128 test card for trying the resizer.

Colour bars, a grey ramp, a colour gradient, concentric rings and a
one-pixel checkerboard and line pattern, so sharp edges (ringing), smooth
areas and detail near the sampling limit are all on one small image.
Deterministic: the same bytes every run. Standard library only.
"""
import math
import struct
import sys

W, H = 192, 128
BARS = [(255, 255, 255), (255, 255, 0), (0, 255, 255), (0, 255, 0),
        (255, 0, 255), (255, 0, 0), (0, 0, 255), (0, 0, 0)]


def pixel(x, y):
    """(r, g, b) of the pixel at column x, row y (top row 0)."""
    if y < 40:  # colour bars
        return BARS[x * len(BARS) // W]
    if y < 56:  # grey ramp
        v = x * 255 // (W - 1)
        return (v, v, v)
    if y < 96:
        if x < 64:  # colour gradient
            return (x * 4, (y - 56) * 6, 255 - x * 2)
        if x < 128:  # rings, tighter towards the edge
            r = math.hypot(x - 96, y - 76)
            v = int(127.5 + 127.5 * math.cos(r * r / 18.0))
            return (v, v, v)
        # one-pixel checkerboard, then two-pixel
        cell = 1 if y < 76 else 2
        v = 255 * (((x // cell) + (y // cell)) % 2)
        return (v, v, v)
    # vertical lines of widths 1..4 on grey, and a red/cyan step
    if x < 128:
        period = 2 * (1 + x // 32)
        v = 230 if (x % period) < period // 2 else 25
        return (v, v, v)
    return (220, 30, 30) if y < 112 else (30, 200, 220)


def main(path):
    row_size = (3 * W + 3) & ~3
    rows = bytearray()
    for y in range(H - 1, -1, -1):  # bottom row first
        row = bytearray()
        for x in range(W):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        rows += row + bytes(row_size - len(row))
    header = b"BM" + struct.pack("<IHHI", 54 + len(rows), 0, 0, 54)
    header += struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, len(rows), 3780, 3780, 0, 0)
    with open(path, "wb") as f:
        f.write(header + rows)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/testcard.bmp")
