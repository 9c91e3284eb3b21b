# SPDX-License-Identifier: MIT
import pickle
import struct

import numpy as np
import pytest
from conftest import random_image

import pellimor


def exif_block(orientation, make):
    """A little-endian EXIF block: IFD0 with Orientation and Make."""
    make_bytes = make.encode() + b"\0"
    ifd_at, entries = 8, 2
    data_at = ifd_at + 2 + 12 * entries + 4
    ifd = struct.pack("<H", entries)
    ifd += struct.pack("<HHIHH", 0x0112, 3, 1, orientation, 0)
    ifd += struct.pack("<HHII", 0x010F, 2, len(make_bytes), data_at)
    ifd += struct.pack("<I", 0)
    return b"II*\0" + struct.pack("<I", ifd_at) + ifd + make_bytes


XMP = '<x:xmpmeta xmlns:x="adobe:ns:meta/"><dc:title>caf\u00e9</dc:title></x:xmpmeta>'

# What each format keeps of the metadata below.
KEPT = {
    "png": {"exif", "xmp", "dpi", "Comment", "Description"},
    "jpg": {"exif", "xmp", "dpi", "Comment"},
    # The EXIF below has a first directory alone, which in TIFF is the main
    # one: its Make becomes a TIFF tag, and there is no EXIF directory.
    "tif": {"xmp", "dpi", "Description"},
}


@pytest.mark.parametrize("extension", sorted(KEPT))
def test_written_metadata_reads_back(tmp_path, extension):
    image = random_image(np.uint8, 12, 9, 3, seed=3)
    given = {
        "exif": exif_block(1, "Pellicam"),
        "xmp": XMP,
        "text": [("Comment", "\u6771\u4eac at night"), ("Description", "a bridge")],
        "dpi": (300, 200),
    }
    path = tmp_path / f"out.{extension}"
    pellimor.write(path, image, metadata=given)
    pixels, got = pellimor.read(path, metadata=True)
    assert pixels.shape == image.shape
    kept = KEPT[extension]
    assert ("exif" in got) == ("exif" in kept)
    if "exif" in got:
        assert b"Pellicam\0" in got["exif"]
    assert got["xmp"] == XMP
    assert got["dpi"] == pytest.approx((300, 200), abs=0.02)
    made = [("Make", "Pellicam")] if extension == "tif" else []
    assert got.get("text", []) == [t for t in given["text"] if t[0] in kept] + made


@pytest.mark.parametrize(
    "strip,meta,icc", [(False, True, True), (True, False, True), ("meta", False, True), ("all", False, False)]
)
def test_resize_file_strip(tmp_path, strip, meta, icc):
    source = tmp_path / "in.tif"
    profile = bytes(range(256)) * 2  # TIFF and JPEG carry a profile byte for byte
    pellimor.write(source, random_image(np.uint8, 8, 8, 3, seed=1), metadata={"icc": profile, "xmp": XMP})
    pellimor.resize_file(source, tmp_path / "out.jpg", "50%", strip=strip)
    _, got = pellimor.read(tmp_path / "out.jpg", metadata=True)
    assert ("xmp" in got) == meta
    assert got.get("icc") == (profile if icc else None)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda p: pellimor.write(p, np.zeros((2, 2), np.uint8), metadata={"colour": 1}), "no key 'colour'"),
        (lambda p: pellimor.write(p, np.zeros((2, 2), np.uint8), metadata={"dpi": (0, 72)}), "dpi"),
        (lambda p: pellimor.write(p, np.zeros((2, 2), np.uint8), metadata={"text": ["x"]}), "wrong type"),
        (lambda p: pellimor.resize_file(p, p, strip="icc"), "strip must be"),
    ],
)
def test_bad_metadata_arguments(tmp_path, call, message):
    with pytest.raises(ValueError, match=message):
        call(tmp_path / "x.png")


def cmyk_tiff(ink):
    """An uncompressed little-endian CMYK TIFF of a (rows, cols, 4) uint8 ink array."""
    rows, cols, _ = ink.shape
    data = ink.tobytes()
    tags = [
        (256, 4, 1, cols),  # ImageWidth
        (257, 4, 1, rows),  # ImageLength
        (258, 3, 1, 8),  # BitsPerSample (one value for all)
        (259, 3, 1, 1),  # no compression
        (262, 3, 1, 5),  # separated
        (273, 4, 1, 8),  # StripOffsets: the data right after the header
        (277, 3, 1, 4),  # SamplesPerPixel
        (278, 4, 1, rows),  # RowsPerStrip
        (279, 4, 1, len(data)),  # StripByteCounts
    ]
    ifd = struct.pack("<H", len(tags))
    for tag, kind, count, value in tags:
        ifd += struct.pack("<HHI", tag, kind, count)
        ifd += struct.pack("<I", value) if kind == 4 else struct.pack("<HH", value, 0)
    return b"II*\0" + struct.pack("<I", 8 + len(data)) + data + ifd + struct.pack("<I", 0)


def test_read_gives_cmyk_as_srgb(tmp_path):
    ink = np.zeros((2, 4, 4), np.uint8)
    ink[1, :, 3] = 255  # bottom row: full black ink; top row: bare paper
    (tmp_path / "ink.tif").write_bytes(cmyk_tiff(ink))
    pixels = pellimor.read(tmp_path / "ink.tif")
    assert pixels.shape == (2, 4, 3)
    assert pixels[0].min() > 200  # paper is light
    assert pixels[1].max() < 80  # black ink is dark


CMYK_PROFILE = "/usr/share/color/icc/ghostscript/default_cmyk.icc"


def ink_ramp():
    """8 x 8 of ink: cyan across, magenta down, a little yellow and black."""
    ink = np.zeros((8, 8, 4), np.uint8)
    ink[..., 0] = np.arange(8)[None, :] * 32
    ink[..., 1] = np.arange(8)[:, None] * 30
    ink[..., 2] = 40
    ink[..., 3] = 20
    return ink


@pytest.fixture
def cmyk_source(tmp_path):
    """A CMYK TIFF of ink_ramp() with a CMYK profile, and the profile."""
    try:
        with open(CMYK_PROFILE, "rb") as f:
            profile = f.read()
    except OSError:
        pytest.skip("no CMYK profile (libgs-common)")
    path = tmp_path / "ink.tif"
    pellimor.write(path, ink_ramp(), cmyk=True, metadata={"icc": profile})
    return path, profile


@pytest.mark.parametrize("extension", ["tif", "jpg"])
def test_cmyk_read_resized_and_written_stays_ink(tmp_path, cmyk_source, extension):
    source, profile = cmyk_source
    image = pellimor.read(source, cmyk=True)
    assert image.cmyk and not image.alpha and image.icc == profile
    np.testing.assert_array_equal(image, ink_ramp())
    assert pellimor.read(source).shape == (8, 8, 3)  # without cmyk=True: sRGB
    kept = pickle.loads(pickle.dumps(image))
    assert kept.cmyk and kept.icc == profile

    resized = pellimor.resize(image, (16, 16))
    assert resized.cmyk and resized.icc == profile
    out = tmp_path / f"out.{extension}"
    pellimor.write(out, resized)
    assert out.read_bytes() == pellimor.encode(resized, extension)
    again, meta = pellimor.read(out, cmyk=True, metadata=True)
    assert again.cmyk and meta["icc"] == profile and again.shape == (16, 16, 4)
    difference = np.abs(again.astype(int) - np.asarray(resized).astype(int))
    if extension == "tif":
        assert difference.max() == 0
    else:
        assert difference.mean() < 3
    # decode() gives what read() gives, ink or sRGB.
    np.testing.assert_array_equal(pellimor.decode(out.read_bytes(), cmyk=True), again)
    assert pellimor.decode(out.read_bytes()).shape == (16, 16, 3)


@pytest.mark.parametrize("extension", ["png", "bmp", "webp"])
def test_cmyk_written_where_there_is_no_ink_is_srgb(tmp_path, cmyk_source, extension):
    source, _ = cmyk_source
    out, reference = tmp_path / f"out.{extension}", tmp_path / f"reference.{extension}"
    pellimor.write(out, pellimor.read(source, cmyk=True), lossless=True)
    pellimor.resize_file(source, reference, lossless=True)
    got = pellimor.read(out)
    assert got.shape == (8, 8, 3)
    np.testing.assert_array_equal(got, pellimor.read(reference))
    # No ink at all is the paper: near white, and cyan takes the red away.
    assert got[0, 0].min() > 180 and got[0, 7, 0] < got[0, 0, 0] - 100


def test_cmyk_needs_four_channels(tmp_path):
    with pytest.raises(ValueError, match="4 channels"):
        pellimor.write(tmp_path / "x.jpg", np.zeros((2, 2, 3), np.uint8), cmyk=True)
    with pytest.raises(ValueError, match="4 channels"):
        pellimor.encode(np.zeros((2, 2), np.uint8), "tiff", cmyk=True)


def test_jpeg_xmp_too_large_for_one_marker(tmp_path):
    packet = '<x:xmpmeta xmlns:x="adobe:ns:meta/"><dc:description>' + "x" * 100000 + "</dc:description></x:xmpmeta>"
    pellimor.write(tmp_path / "big.jpg", np.zeros((4, 4, 3), np.uint8), metadata={"xmp": packet})
    _, got = pellimor.read(tmp_path / "big.jpg", metadata=True)
    assert got["xmp"] == packet and "xmp_extended" not in got
