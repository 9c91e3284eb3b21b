# SPDX-License-Identifier: MIT
import os
import pathlib
import subprocess

import numpy as np
import pytest
import scipy.fft

REPO = pathlib.Path(__file__).resolve().parents[2]

INTEGER_MAX = {np.uint8: 255, np.uint16: 65535}


def formula(image, shape):
    """The resize by SciPy's orthonormal DCTs, in float64, channels last."""
    x = np.asarray(image, dtype=np.float64)
    planes = x if x.ndim == 3 else x[:, :, None]
    rows, cols = planes.shape[:2]
    rows2, cols2 = shape
    coefficients = scipy.fft.dctn(planes, norm="ortho", axes=(0, 1))
    kept = np.zeros((rows2, cols2, planes.shape[2]))
    kr, kc = min(rows, rows2), min(cols, cols2)
    kept[:kr, :kc] = coefficients[:kr, :kc]
    out = scipy.fft.idctn(kept, norm="ortho", axes=(0, 1)) * np.sqrt(rows2 * cols2 / (rows * cols))
    return out if x.ndim == 3 else out[:, :, 0]


def formula_nd(array, lengths, axes, taper=0.0):
    """The resize along `axes` to `lengths` by SciPy's orthonormal DCTs, in float64;
    with a taper P, kept coefficient k of K on each axis weighed by sinc(k/K)**P."""
    x = np.asarray(array, dtype=np.float64)
    coefficients = scipy.fft.dctn(x, norm="ortho", axes=axes)
    for axis, length in zip(axes, lengths):
        kept = min(x.shape[axis], length)
        weight = np.ones(x.shape[axis])
        weight[:kept] = np.sinc(np.arange(kept) / kept) ** taper
        coefficients *= weight.reshape([-1 if a == axis else 1 for a in range(x.ndim)])
    new_shape = list(x.shape)
    for axis, length in zip(axes, lengths):
        new_shape[axis] = length
    kept = np.zeros(new_shape)
    common = tuple(slice(0, min(a, b)) for a, b in zip(x.shape, new_shape))
    kept[common] = coefficients[common]
    gain = np.sqrt(np.prod([n / x.shape[a] for a, n in zip(axes, lengths)]))
    return scipy.fft.idctn(kept, norm="ortho", axes=axes) * gain


def random_image(dtype, rows, cols, channels, seed=0):
    """Samples over the whole range of an integer dtype, or about 0..1 for floats."""
    rng = np.random.default_rng(seed)
    shape = (rows, cols) if channels is None else (rows, cols, channels)
    if dtype in INTEGER_MAX:
        return rng.integers(0, INTEGER_MAX[dtype], size=shape, endpoint=True).astype(dtype)
    return rng.random(shape).astype(dtype)


@pytest.fixture(scope="session")
def program():
    path = pathlib.Path(os.environ.get("PELLIMOR_BINARY", REPO / "build" / "pellimor")).resolve()
    if not os.access(path, os.X_OK):
        pytest.fail(f"no pellimor program at {path}; build it or set PELLIMOR_BINARY")

    def run(*args, cwd):
        done = subprocess.run([str(path), "-progress", "off", *map(str, args)], cwd=cwd, capture_output=True)
        assert done.returncode == 0, done.stderr.decode()

    return run
