# SPDX-License-Identifier: MIT
"""pellimor.resize_files: many files in one call, each as resize_file does."""

import pytest
from conftest import random_image

import numpy as np
import pellimor


def make_inputs(folder):
    """A PNG, a JPEG, a TIFF with alpha and a BMP, of small random pictures."""
    folder.mkdir()
    names = []
    for seed, (name, channels) in enumerate([("a.png", 3), ("b.jpg", 3), ("c.tif", 4), ("d.bmp", 3)]):
        pellimor.write(folder / name, random_image(np.uint8, 9 + seed, 12 + seed, channels, seed))
        names.append(folder / name)
    return names


@pytest.mark.parametrize("jobs", [0, 1, 3])
@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"size": "50%", "quality": 70},
        {"size": "20x7!", "round": "trunc", "taper": 1.5, "linear": True},
        {"size": "150%", "format": "png", "strip": True},
    ],
)
def test_each_output_is_resize_files_output(tmp_path, jobs, kwargs):
    inputs = make_inputs(tmp_path / "in")
    out = tmp_path / "out"
    out.mkdir()
    results = pellimor.resize_files(inputs, out, jobs=jobs, threads=2, **kwargs)
    assert [r[0] for r in results] == [str(p) for p in inputs]
    assert all(error is None for _, _, error in results), results
    single = dict(kwargs)
    single.setdefault("round", "nearest")  # resize_files' default
    single.pop("strip", None)  # the inputs carry no profile
    for source, output, _ in results:
        expected = out / source.rsplit("/", 1)[1]
        if "format" in kwargs:
            expected = expected.with_suffix(".png")
        assert output == str(expected)
        alone = tmp_path / ("single" + expected.suffix)
        pellimor.resize_file(source, alone, **single)
        assert expected.read_bytes() == alone.read_bytes(), source


def test_pattern_failures_and_no_clobber(tmp_path):
    inputs = make_inputs(tmp_path / "in")
    broken = tmp_path / "in" / "broken.png"
    broken.write_bytes(inputs[0].read_bytes()[:60])
    inputs.insert(1, broken)
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "d_small.jpg").write_bytes(b"old")
    results = pellimor.resize_files(inputs, str(tmp_path / "out" / "%s_small.jpg"), size="x5", no_clobber=True)
    errors = {r[0].rsplit("/", 1)[1]: r[2] for r in results}
    assert errors["broken.png"] is not None and errors["broken.png"].startswith(str(broken) + ": ")
    assert [name for name, error in errors.items() if error is not None] == ["broken.png"]
    assert (tmp_path / "out" / "d_small.jpg").read_bytes() == b"old"
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [
        "a_small.jpg",
        "b_small.jpg",
        "c_small.jpg",
        "d_small.jpg",
    ]
    pellimor.resize_file(inputs[0], tmp_path / "single.jpg", "x5", round="nearest")
    assert (tmp_path / "out" / "a_small.jpg").read_bytes() == (tmp_path / "single.jpg").read_bytes()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda d: pellimor.resize_files([], d), ValueError, "no input file given"),
        (lambda d: pellimor.resize_files(["a.png", "b.png"], d / "x.png"), ValueError, "several inputs need"),
        (lambda d: pellimor.resize_files(["a.png"], d / "x.gif"), ValueError, "GIF files are read, not written"),
        (lambda d: pellimor.resize_files(["a.png"], d / "x.gf"), ValueError, "give format="),
        (lambda d: pellimor.resize_files(["a.png"], d / "x.png", size="12y"), ValueError, "bad size"),
        (lambda d: pellimor.resize_files(["a.png"], d / "x.png", jobs=-1), ValueError, "jobs must be"),
        (lambda d: pellimor.resize_files(["a.png"], d / "x.png", round="up"), ValueError, "round must be"),
        (lambda d: pellimor.resize_files("a.png", d / "x.png"), TypeError, "list of paths"),
    ],
)
def test_bad_arguments(tmp_path, call, error, message):
    with pytest.raises(error, match=message):
        call(tmp_path)
