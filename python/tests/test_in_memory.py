# SPDX-License-Identifier: MIT
import struct

import numpy as np
import pytest
from conftest import random_image

import pellimor

FORMATS = [
    ("bmp", ".bmp", np.uint8, 3),
    ("png", ".png", np.uint8, None),
    ("png", ".png", np.uint16, 4),
    ("jpeg", ".jpg", np.uint8, 3),
    ("tiff", ".tif", np.uint16, 2),
    ("tiff", ".tif", np.float32, 3),
]


@pytest.mark.parametrize("format,extension,dtype,channels", FORMATS)
def test_encode_decode_and_probe_agree_with_the_file_functions(tmp_path, format, extension, dtype, channels):
    image = random_image(dtype, 9, 14, channels, seed=3)
    encoded = pellimor.encode(image, format, quality=88)
    path = tmp_path / ("picture" + extension)
    pellimor.write(path, image, quality=88)
    assert encoded == path.read_bytes()

    decoded = pellimor.decode(encoded)
    np.testing.assert_array_equal(decoded, pellimor.read(path))
    assert decoded.dtype == dtype
    if format != "jpeg":
        np.testing.assert_array_equal(decoded, image)

    info = pellimor.read_info(path)
    assert info == (14, 9, channels or 1, np.dtype(dtype), format, 1)
    assert (info.width, info.height, info.format) == (14, 9, format)


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, np.uint8)])
def test_decode_takes_any_bytes_like(wrap):
    image = random_image(np.uint8, 5, 7, 3, seed=1)
    np.testing.assert_array_equal(pellimor.decode(wrap(pellimor.encode(image, "png"))), image)


def float64_tiff(samples):
    """An uncompressed grey TIFF of 64-bit float samples, one strip."""
    rows, cols = samples.shape
    body = samples.astype("<f8").tobytes()
    entries = [  # tag, type (3 SHORT, 4 LONG), value
        (256, 4, cols), (257, 4, rows), (258, 3, 64), (259, 3, 1), (262, 3, 1),
        (273, 4, 8 + 2 + 12 * 10 + 4), (277, 3, 1), (278, 4, rows), (279, 4, len(body)), (339, 3, 3),
    ]
    ifd = struct.pack("<H", len(entries))
    for tag, kind, value in entries:
        # A SHORT sits in the first two bytes of the four-byte value field.
        field = struct.pack("<HH", value, 0) if kind == 3 else struct.pack("<I", value)
        ifd += struct.pack("<HHI", tag, kind, 1) + field
    return b"II*\x00" + struct.pack("<I", 8) + ifd + struct.pack("<I", 0) + body


def test_float64_tiff_reads_as_float64(tmp_path):
    samples = np.linspace(-0.5, 1.5, 12).reshape(3, 4)
    data = float64_tiff(samples)
    path = tmp_path / "wide.tif"
    path.write_bytes(data)
    for got in (pellimor.read(path), pellimor.decode(data)):
        assert got.dtype == np.float64
        np.testing.assert_array_equal(got, samples)
    assert pellimor.read_info(path).dtype == np.float64


def test_refusals(tmp_path):
    image = random_image(np.uint8, 10, 10, 3)
    png = pellimor.encode(image, "png")
    with pytest.raises(pellimor.Error, match="not a BMP, PNG, JPEG, TIFF, WebP or GIF file"):
        pellimor.decode(b"not an image at all")
    with pytest.raises(pellimor.Error, match="pixel limit"):
        pellimor.decode(png, max_pixels=99)
    assert pellimor.decode(png, max_pixels=100).shape == (10, 10, 3)
    with pytest.raises(pellimor.Error):
        pellimor.decode(png[: len(png) // 2])
    with pytest.raises(TypeError, match="bytes-like"):
        pellimor.decode("picture.png")
    with pytest.raises(ValueError, match="unknown format 'xyz'"):
        pellimor.encode(image, "xyz")
    with pytest.raises(ValueError, match="quality"):
        pellimor.encode(image, "jpeg", quality=0)
    with pytest.raises(ValueError, match="channels"):
        pellimor.encode(np.zeros((2, 2, 5), np.uint8), "png")
    missing = tmp_path / "missing.png"
    with pytest.raises(pellimor.Error, match="missing.png"):
        pellimor.read_info(missing)
    big = tmp_path / "big.png"
    big.write_bytes(png)
    with pytest.raises(pellimor.Error, match="pixel limit"):
        pellimor.read_info(big, max_pixels=99)
