# SPDX-License-Identifier: MIT
import struct
import time

import numpy as np
import pytest
from conftest import random_image

import pellimor


def bmp_bytes(rgb):
    """A 24-bit BMP of a (rows, cols, 3) uint8 array: bottom-up BGR rows padded to 4 bytes."""
    rows, cols, _ = rgb.shape
    stride = (3 * cols + 3) // 4 * 4
    body = np.zeros((rows, stride), np.uint8)
    body[:, : 3 * cols] = rgb[::-1, :, ::-1].reshape(rows, 3 * cols)
    info = struct.pack("<IiiHHIIiiII", 40, cols, rows, 1, 24, 0, body.size, 2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 54 + body.size, 0, 0, 54) + info + body.tobytes()


def bmp_pixels(data):
    """The (rows, cols, 3) RGB samples of a 24-bit bottom-up BMP with a 54-byte header."""
    cols, rows = struct.unpack_from("<ii", data, 18)
    assert struct.unpack_from("<H", data, 28)[0] == 24 and rows > 0
    stride = (3 * cols + 3) // 4 * 4
    body = np.frombuffer(data, np.uint8, rows * stride, 54).reshape(rows, stride)
    return body[::-1, : 3 * cols].reshape(rows, cols, 3)[:, :, ::-1]


@pytest.mark.parametrize(
    "size,shape",
    [
        ((23, 37), (35, 56)),  # enlarge, widths not a multiple of 4
        ((40, 30), (13, 9)),  # shrink
        ((17, 50), (29, 21)),  # taller, narrower
    ],
)
def test_uint8_matches_the_programs_bmp(tmp_path, program, size, shape):
    image = random_image(np.uint8, *size, 3, seed=size[1])
    (tmp_path / "in.bmp").write_bytes(bmp_bytes(image))
    program("-i", "in.bmp", "-o", "out", "-size", f"{shape[1]}x{shape[0]}!", cwd=tmp_path)
    written = bmp_pixels((tmp_path / "out.bmp").read_bytes())
    np.testing.assert_array_equal(pellimor.resize(image, shape, round="trunc"), written)


ROUND_TRIPS = [
    ("bmp", np.uint8, 3),
    *[("png", t, c) for t in (np.uint8, np.uint16) for c in (1, 2, 3, 4)],
    *[("tif", t, c) for t in (np.uint8, np.uint16, np.float32) for c in (1, 2, 3, 4)],
]


@pytest.mark.parametrize("extension,dtype,channels", ROUND_TRIPS)
def test_write_then_read_gives_the_samples_back(tmp_path, extension, dtype, channels):
    image = random_image(dtype, 13, 10, None if channels == 1 else channels, seed=channels)
    path = tmp_path / f"picture.{extension}"
    pellimor.write(path, image[:, ::-1])  # a strided view is written as it reads
    back = pellimor.read(path)
    assert back.dtype == dtype
    np.testing.assert_array_equal(back, image[:, ::-1])


@pytest.mark.parametrize(
    "extension,dtype,channels",
    [("png", np.uint8, 3), ("png", np.uint16, 4), ("tif", np.uint8, 4), ("tif", np.uint16, 3), ("tif", np.float32, 2)],
)
def test_channels_reversed_are_written_in_the_viewed_order(tmp_path, extension, dtype, channels):
    image = random_image(dtype, 7, 11, channels, seed=channels + 20)
    # Pixels a packed pixel apart, but each one's channels last to first.
    view = image[:, :, ::-1]
    assert view.strides[1] == view.itemsize * channels and view.strides[2] == -view.itemsize
    pellimor.write(tmp_path / f"reversed.{extension}", view)
    np.testing.assert_array_equal(pellimor.read(tmp_path / f"reversed.{extension}"), np.ascontiguousarray(view))


@pytest.mark.parametrize("channels", [1, 3])
def test_jpeg_round_trip_is_close(tmp_path, channels):
    rows, cols = np.mgrid[0:32, 0:48]
    smooth = (100 + 60 * np.sin(rows / 7.0) * np.cos(cols / 9.0)).astype(np.uint8)
    image = smooth if channels == 1 else np.dstack([smooth, smooth[::-1], smooth[:, ::-1]])
    pellimor.write(str(tmp_path / "p.jpg"), image, quality=98)
    back = pellimor.read(str(tmp_path / "p.jpg"))
    assert back.shape == image.shape and back.dtype == np.uint8
    assert np.abs(back.astype(int) - image).mean() < 2


def test_write_converts_what_the_format_cannot_hold(tmp_path):
    image = np.array([[0.0, 0.5, 1.0, 2.0]], np.float64)
    pellimor.write(tmp_path / "f.png", image)
    np.testing.assert_array_equal(pellimor.read(tmp_path / "f.png"), [[0, 32767, 65535, 65535]])
    pellimor.write(tmp_path / "f.tiff", image)
    assert pellimor.read(tmp_path / "f.tiff").dtype == np.float32


@pytest.mark.parametrize(
    "source,size,format,extension",
    [
        ("rgb.bmp", "150%", "bmp", ".bmp"),
        ("rgba.png", "40x30!", "png", ".png"),
        ("rgba.png", "61x", "tiff", ".tif"),
        ("grey16.tif", "x11", "png", ".png"),
        ("rgb.bmp", "20x20", "jpeg", ".jpg"),
    ],
)
def test_resize_file_writes_the_programs_bytes(tmp_path, program, source, size, format, extension):
    pellimor.write(tmp_path / "rgb.bmp", random_image(np.uint8, 21, 33, 3, seed=1))
    pellimor.write(tmp_path / "rgba.png", random_image(np.uint8, 17, 26, 4, seed=2))
    pellimor.write(tmp_path / "grey16.tif", random_image(np.uint16, 19, 15, None, seed=3))
    program("-i", source, "-o", "cli", "-size", size, "-format", format, "-round", "nearest", cwd=tmp_path)
    pellimor.resize_file(tmp_path / source, tmp_path / "module.out", size, format=format, round="nearest", threads=1)
    assert (tmp_path / "module.out").read_bytes() == (tmp_path / f"cli{extension}").read_bytes()
    # Without a format the output's extension names it; rounding is nearest unless asked.
    pellimor.resize_file(str(tmp_path / source), str(tmp_path / f"named{extension}"), size)
    assert (tmp_path / f"named{extension}").read_bytes() == (tmp_path / f"cli{extension}").read_bytes()


def test_resize_file_without_size_keeps_it(tmp_path):
    image = random_image(np.uint8, 9, 12, 3)
    pellimor.write(tmp_path / "a.png", image)
    pellimor.resize_file(tmp_path / "a.png", tmp_path / "b.png")  # rounded to nearest: the image comes back
    np.testing.assert_array_equal(pellimor.read(tmp_path / "b.png"), image)


def test_failing_files_raise_pellimor_error(tmp_path):
    with pytest.raises(pellimor.Error, match="missing.png"):
        pellimor.read(tmp_path / "missing.png")
    (tmp_path / "text.png").write_bytes(b"not a picture at all")
    with pytest.raises(pellimor.Error, match="text.png"):
        pellimor.read(tmp_path / "text.png")
    with pytest.raises(pellimor.Error, match="text.png"):
        pellimor.resize_file(tmp_path / "text.png", tmp_path / "out.png", "50%")
    with pytest.raises(pellimor.Error):
        pellimor.write(tmp_path / "no-such-folder" / "a.png", np.zeros((2, 2), np.uint8))
    assert not (tmp_path / "out.png").exists()
    assert issubclass(pellimor.Error, OSError)


@pytest.mark.parametrize("size", ["2000000x2000000!", "10000000%"])
def test_resize_file_to_more_than_memory_raises_memory_error(tmp_path, size):
    pellimor.write(tmp_path / "small.png", random_image(np.uint8, 20, 20, 3))
    start = time.perf_counter()
    with pytest.raises(MemoryError, match=r"small\.png: resizing to 2000000 x 2000000 needs \d+ MiB, more than"):
        pellimor.resize_file(tmp_path / "small.png", tmp_path / "big.png", size)
    assert time.perf_counter() - start < 1.0
    assert not (tmp_path / "big.png").exists()


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda p: pellimor.read(p, max_pixels=299), pellimor.Error, r"claims 20 x 15 = 300 pixels, more than the pixel limit \(299\)"),
        (lambda p: pellimor.read(p, max_memory=100), MemoryError, "the file is 0\\+ MiB, more than the 0\\+ MiB"),
        (lambda p: pellimor.read(p, max_memory=2000), MemoryError, r"reading 20 x 15 pixels needs 0 MiB, more than the memory limit set"),
        (lambda p: pellimor.resize_file(p, p.with_name("b.png"), "21x15!", max_pixels=300), pellimor.Error, r"resizing to 21 x 15 = 315 pixels"),
        (lambda p: pellimor.resize_file(p, p.with_name("b.png"), max_memory=4096), MemoryError, "more than the memory limit set"),
    ],
)
def test_limits_refuse_before_any_pixel(tmp_path, call, error, message):
    pellimor.write(tmp_path / "a.png", random_image(np.uint8, 15, 20, 3))
    with pytest.raises(error, match=message):
        call(tmp_path / "a.png")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.png"]
    # At the limit, the same calls go through.
    assert pellimor.read(tmp_path / "a.png", max_pixels=300, max_memory=2**30).shape == (15, 20, 3)
    pellimor.resize_file(tmp_path / "a.png", tmp_path / "b.png", "20x15!", max_pixels=300, max_memory=2**30)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda d: pellimor.read(d / "a.png", max_pixels=0), "max_pixels must be from 1"),
        (lambda d: pellimor.read(d / "a.png", max_memory=-5), "max_memory must be from 1"),
        (lambda d: pellimor.resize_file(d / "a.png", d / "b.png", max_pixels=0), "max_pixels must be from 1"),
        (lambda d: pellimor.write(d / "a.gif", np.zeros((2, 2), np.uint8)), r"\.bmp, \.png"),
        (lambda d: pellimor.write(d / "a.png", np.zeros((2, 2), np.uint8), quality=0), "quality"),
        (lambda d: pellimor.write(d / "a.png", np.zeros((2, 2), np.int16)), "dtype int16"),
        (lambda d: pellimor.write(d / "a.png", np.zeros((2, 2, 5), np.uint8)), "5 channels"),
        (lambda d: pellimor.write(d / "a.png", np.zeros((0, 2), np.uint8)), "empty"),
        (lambda d: pellimor.read(str(d / "a\0.png")), "null"),
        (lambda d: pellimor.resize_file(d / "a.png", d / "b.png", "12y5"), "bad size"),
        (lambda d: pellimor.resize_file(d / "a.png", d / "b.png", "10x10", format="gif"), "format must be"),
        (lambda d: pellimor.resize_file(d / "a.png", d / "b.out", "10x10"), "give format"),
        (lambda d: pellimor.resize_file(d / "a.png", d / "b.png", "10x10", quality=101), "quality"),
        (lambda d: pellimor.resize_file(d / "a.png", d / "b.png", "10x10", round="half"), "round must be"),
        (lambda d: pellimor.resize_file(d / "a.png", d / "b.png", "10x10", taper=-2.0), "taper"),
        (lambda d: pellimor.resize_file(d / "a.png", d / "b.png", "10x10", threads=10**6), "threads.*0 to 1024"),
        (lambda d: pellimor.parse_size("12y5", 10, 10), 'bad size "12y5"'),
        (lambda d: pellimor.parse_size("", 10, 10), 'bad size ""'),
        (lambda d: pellimor.parse_size("10000000000x", 10, 10), "over 2147483647"),
        (lambda d: pellimor.parse_size("50%", 0, 10), "width must be from 1"),
        (lambda d: pellimor.parse_size("50%", 10, 2**31), "height must be from 1"),
    ],
)
def test_bad_file_arguments_raise_value_error(tmp_path, call, message):
    with pytest.raises(ValueError, match=message):
        call(tmp_path)


@pytest.mark.parametrize("size", ["50%", "37", "x11", "40x30", "40x30!", "40x30^", "40x30>", "40x30<", "600@", "7%x150%"])
def test_parse_size_gives_the_programs_size(tmp_path, program, size):
    rows, cols = 19, 26
    pellimor.write(tmp_path / "in.png", random_image(np.uint8, rows, cols, None))
    program("-i", "in.png", "-o", "out", "-size", size, "-format", "png", cwd=tmp_path)
    made = pellimor.read(tmp_path / "out.png").shape
    assert pellimor.parse_size(size, cols, rows) == (made[1], made[0])


@pytest.mark.parametrize("channels", [None, 3, 4])
def test_webp_lossless_round_trip_and_lossy_closeness(tmp_path, channels):
    picture = random_image(np.uint8, 9, 13, channels, seed=5)
    pellimor.write(tmp_path / "a.webp", picture, lossless=True)
    back = pellimor.read(tmp_path / "a.webp")
    # WebP holds no grey: it comes back spread over red, green and blue.
    expected = np.repeat(picture[:, :, None], 3, axis=2) if channels is None else picture
    assert back.dtype == np.uint8 and np.array_equal(back, expected)
    smooth = np.fromfunction(lambda y, x, c: 60 + 2 * x + y + 10 * c, (32, 48, 3)).astype(np.uint8)
    pellimor.write(tmp_path / "b.webp", smooth, 95)
    assert np.abs(pellimor.read(tmp_path / "b.webp").astype(int) - smooth).mean() < 2


def test_resize_file_to_webp_and_pages(tmp_path):
    picture = random_image(np.uint8, 10, 12, 3, seed=6)
    pellimor.write(tmp_path / "a.png", picture)
    pellimor.resize_file(tmp_path / "a.png", tmp_path / "b.webp", round="nearest", lossless=True)
    assert np.array_equal(pellimor.read(tmp_path / "b.webp"), picture)
    pellimor.resize_file(tmp_path / "a.png", tmp_path / "c.out", "200%", format="webp")
    assert pellimor.read(tmp_path / "c.out").shape == (20, 24, 3)
    with pytest.raises(pellimor.Error, match="no page 2: the file has 1 page"):
        pellimor.read(tmp_path / "a.png", page=2)
    with pytest.raises(pellimor.Error, match="no page 3: the file has 1 page"):
        pellimor.resize_file(tmp_path / "a.png", tmp_path / "d.png", page=3)
    with pytest.raises(ValueError, match="page must be from 1"):
        pellimor.read(tmp_path / "a.png", page=0)
    with pytest.raises(ValueError, match="GIF files are read, not written|format must be"):
        pellimor.resize_file(tmp_path / "a.png", tmp_path / "d.png", format="gif")
    assert not (tmp_path / "d.png").exists()
