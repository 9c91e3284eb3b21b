#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes a small seed corpus for bmp_fuzz: one tiny 24-bit image in each
header form the reader accepts, so the fuzzer starts past the signature and
size checks.

    python3 fuzz/make_seeds.py build-fuzz/corpus
"""
import os
import struct
import sys


def bmp(width, height, info_size, top_down=False, gap=0, trailing=0):
    row = (3 * width + 3) & ~3
    pixels = bytearray()
    for y in range(height):
        line = bytes((7 * x + 13 * y + c) & 0xFF for x in range(width) for c in range(3))
        pixels += line + b"\xee" * (row - len(line))
    offset = 14 + info_size + gap
    size = offset + len(pixels) + trailing
    if info_size == 12:
        info = struct.pack("<IHHHH", 12, width, height, 1, 24)
    else:
        info = struct.pack("<IiiHHIIiiII", info_size, width, -height if top_down else height,
                           1, 24, 0, len(pixels), 2835, 2835, 0, 0)
        info += bytes(info_size - len(info))
    head = b"BM" + struct.pack("<IHHI", size, 0, 0, offset)
    return head + info + b"\xab" * gap + bytes(pixels) + b"\x00" * trailing


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    seeds = {
        "core": bmp(3, 2, 12),
        "info40": bmp(5, 3, 40),
        "info52": bmp(2, 2, 52),
        "info56": bmp(1, 4, 56),
        "info64": bmp(4, 1, 64),
        "info108": bmp(3, 3, 108),
        "info124_top_down": bmp(2, 3, 124, top_down=True),
        "info40_gap_trailing": bmp(3, 2, 40, gap=16, trailing=2),
    }
    for name, data in seeds.items():
        with open(os.path.join(folder, name + ".bmp"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
