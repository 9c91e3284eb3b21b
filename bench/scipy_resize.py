#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Cosine-domain resize of a 24-bit BMP with NumPy/SciPy, for comparison.

Usage: /usr/bin/python3 bench/scipy_resize.py IN.bmp OUT.bmp NEW_WIDTH NEW_HEIGHT [--workers N]

Computes the same values as pellimor, plane by plane (red, green, blue):

    C   = dctn(x, type=2)                 unnormalised DCT-II on both axes
    C'  = C cut / zero-extended to (H', W') at the high-frequency end
    E   = dctn(C', type=3)                unnormalised DCT-III on both axes
    out = E / (4 * W * H)

Why the factor: per axis, pellimor's forward sum with its zero-frequency
term halved is dct2(x)/2 with [0] at dct2(x)[0]/4, and its inverse sum with
every term at weight 1 is dct3(c')/2 with c'[0] = 2 c[0]. The halving and
doubling of term 0 cancel, so per axis pellimor's E = dct3(dct2(x)) / 4,
i.e. 1/16 of this script's E over two axes; pellimor then scales by
4 / (W * H), giving E / (4 W H) here. The same thing with orthonormal
transforms is sqrt(W' H' / (W H)) * dctn(crop(dctn(x, 2, norm='ortho')),
3, norm='ortho').

Quantisation as pellimor: >= 255 -> 255, > 0 -> truncated, else (and NaN) 0.
The output is a bottom-up 24-bit BMP with a 40-byte information header.
"""
import argparse
import os
import struct
import sys

import numpy as np
import scipy.fft


def read_bmp(path):
    """Returns an (H, W, 3) uint8 array in BGR order, top row first."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"BM":
        raise ValueError(f"{path}: not a BMP file")
    offset = struct.unpack_from("<I", data, 10)[0]
    header_size = struct.unpack_from("<I", data, 14)[0]
    if header_size == 12:
        width, height = struct.unpack_from("<HH", data, 18)
        bpp = struct.unpack_from("<H", data, 24)[0]
        compression = 0
    else:
        width, height = struct.unpack_from("<ii", data, 18)
        bpp = struct.unpack_from("<H", data, 28)[0]
        compression = struct.unpack_from("<I", data, 30)[0]
    if bpp != 24 or compression != 0:
        raise ValueError(f"{path}: only uncompressed 24-bit BMP is read (bpp={bpp}, compression={compression})")
    top_down = height < 0
    height = abs(height)
    row = (width * 3 + 3) & ~3
    rows = np.frombuffer(data, np.uint8, count=row * height, offset=offset).reshape(height, row)
    pixels = rows[:, : width * 3].reshape(height, width, 3)
    return pixels if top_down else pixels[::-1]


def write_bmp(path, bgr):
    """Writes an (H, W, 3) uint8 BGR array, top row first, as a bottom-up BMP."""
    height, width, _ = bgr.shape
    row = (width * 3 + 3) & ~3
    body = np.zeros((height, row), np.uint8)
    body[:, : width * 3] = bgr[::-1].reshape(height, width * 3)
    header = struct.pack("<2sIHHI", b"BM", 54 + body.nbytes, 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, body.nbytes, 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header)
        f.write(info)
        f.write(body.tobytes())


def resize_plane(plane, new_width, new_height, workers):
    """plane: (H, W) uint8. Returns the (H', W') uint8 resized plane."""
    height, width = plane.shape
    coefficients = scipy.fft.dctn(plane.astype(np.float64), type=2, workers=workers, overwrite_x=True)
    kept_h, kept_w = min(height, new_height), min(width, new_width)
    if (new_height, new_width) == (kept_h, kept_w):
        resized = np.ascontiguousarray(coefficients[:kept_h, :kept_w])
    else:
        resized = np.zeros((new_height, new_width), np.float64)
        resized[:kept_h, :kept_w] = coefficients[:kept_h, :kept_w]
    del coefficients
    values = scipy.fft.dctn(resized, type=3, workers=workers, overwrite_x=True)
    values *= 1.0 / (4.0 * width * height)
    np.nan_to_num(values, copy=False, nan=0.0)
    np.clip(values, 0.0, 255.0, out=values)
    return values.astype(np.uint8)  # truncation toward zero


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("new_width", type=int)
    parser.add_argument("new_height", type=int)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="scipy.fft worker threads (default: one per core)")
    args = parser.parse_args(argv)
    if args.new_width < 1 or args.new_height < 1:
        parser.error("the new size must be positive")
    bgr = read_bmp(args.input)
    out = np.empty((args.new_height, args.new_width, 3), np.uint8)
    for c in (2, 1, 0):  # red, green, blue, as pellimor
        out[:, :, c] = resize_plane(bgr[:, :, c], args.new_width, args.new_height, args.workers)
    write_bmp(args.output, out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
