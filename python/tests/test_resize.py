# SPDX-License-Identifier: MIT
import math
import re
import threading
import time

import numpy as np
import pytest
from conftest import INTEGER_MAX, formula, formula_nd, random_image

import pellimor

DTYPES = [np.uint8, np.uint16, np.float32, np.float64]
CHANNELS = [None, 1, 3]  # None: a 2-D array
SHAPES = [
    ((5, 7), (9, 11)),  # enlarge
    ((12, 10), (5, 4)),  # shrink
    ((8, 13), (11, 6)),  # taller, narrower
    ((1, 9), (3, 4)),  # one row in
    ((6, 1), (1, 1)),  # one column in, one pixel out
    ((1, 1), (3, 2)),  # one pixel in
    ((17, 13), (23, 19)),  # primes
]


def expected_integers(exact, dtype, round):
    top = INTEGER_MAX[dtype]
    values = np.floor(exact + 0.5) if round == "nearest" else np.trunc(exact)
    return np.clip(values, 0, top)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channels", CHANNELS)
@pytest.mark.parametrize("size,shape", SHAPES)
def test_values_follow_the_dct_formula(dtype, channels, size, shape):
    image = random_image(dtype, *size, channels, seed=size[0] * 31 + shape[1])
    exact = formula(image, shape)
    out = pellimor.resize(image, shape)
    assert out.dtype == dtype
    assert out.shape == shape + image.shape[2:]
    assert out.flags.c_contiguous and out.flags.writeable and out.base is None
    if dtype == np.float64:
        np.testing.assert_allclose(out, exact, rtol=0, atol=1e-12 * np.abs(exact).max())
    elif dtype == np.float32:
        # Computed in double, stored to float32: within one float32 rounding.
        np.testing.assert_allclose(out, exact, rtol=0, atol=2.0**-23 * np.abs(exact).max())
    else:
        for round in ("trunc", "nearest"):
            got = pellimor.resize(image, shape, round=round).astype(np.float64)
            want = expected_integers(exact, dtype, round)
            boundary = exact - 0.5 if round == "nearest" else exact
            near_integer = np.abs(boundary - np.round(boundary)) < 1e-9
            off = got != want
            assert not (off & ~near_integer).any(), round
            assert (np.abs(got - want) <= 1).all(), round


def test_integers_saturate_at_both_ends():
    # A sharp edge rings below 0 and above the maximum.
    image = np.zeros((9, 9), np.uint8)
    image[:, 4:] = 255
    exact = formula(image, (20, 20))
    assert exact.min() < 0 and exact.max() > 255
    out = pellimor.resize(image, (20, 20))
    np.testing.assert_array_equal(out, expected_integers(exact, np.uint8, "nearest"))


def test_floats_are_not_clipped():
    image = np.zeros((9, 9), np.float32)
    image[:, 4:] = 1.0
    out = pellimor.resize(image, (20, 20))
    assert out.min() < 0 and out.max() > 1


def variants(image):
    """Arrays holding the samples of `image` at other strides, offsets and byte orders."""
    rows, cols, channels = image.shape
    padded = np.zeros((rows * 2, cols * 3, channels + 2), image.dtype)
    padded[::2, ::3, 1:-1] = image
    raw = np.zeros(image.nbytes + 1, np.uint8)
    unaligned = np.frombuffer(raw.data, dtype=image.dtype, count=image.size, offset=1).reshape(image.shape)
    unaligned.flags.writeable = True
    unaligned[...] = image
    return {
        "rows reversed": image[::-1],
        "columns reversed": image[:, ::-1],
        "channels reversed": image[:, :, ::-1],
        "all reversed": image[::-1, ::-1, ::-1],
        "every other element of a bigger array": padded[::2, ::3, 1:-1],
        "Fortran order": np.asfortranarray(image),
        "transposed": np.ascontiguousarray(image.transpose(1, 0, 2)).transpose(1, 0, 2),
        "byte-swapped": image.astype(image.dtype.newbyteorder(">" if np.little_endian else "<")),
        "unaligned": unaligned,
        "read-only": np.frombuffer(image.tobytes(), image.dtype).reshape(image.shape),
    }


VARIANT_NAMES = list(variants(np.zeros((1, 1, 1), np.uint8)))


@pytest.mark.parametrize("dtype", [np.uint16, np.float64])
@pytest.mark.parametrize("name", VARIANT_NAMES)
def test_any_layout_gives_the_contiguous_result(dtype, name):
    image = random_image(dtype, 11, 7, 3, seed=5)
    view = variants(image)[name]
    packed = np.ascontiguousarray(view).astype(view.dtype.newbyteorder("="))
    out = pellimor.resize(view, (6, 13))
    assert out.dtype == np.dtype(dtype) and out.dtype.isnative
    np.testing.assert_array_equal(out, pellimor.resize(packed, (6, 13)))


def test_one_channel_broadcast_over_three():
    grey = random_image(np.float64, 8, 9, None, seed=2)
    broadcast = np.broadcast_to(grey[:, :, None], (8, 9, 3))
    out = pellimor.resize(broadcast, (5, 12))
    for c in range(3):
        np.testing.assert_array_equal(out[:, :, c], pellimor.resize(grey, (5, 12)))


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("channels", [None, 4])
def test_same_shape_with_nearest_gives_the_image_back(dtype, channels):
    image = random_image(dtype, 19, 23, channels, seed=9)
    image[0, 0] = 0
    image[-1, -1] = INTEGER_MAX[dtype]
    np.testing.assert_array_equal(pellimor.resize(image, image.shape[:2], round="nearest"), image)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float64])
def test_alpha_keeps_transparent_colour_out(dtype):
    top = INTEGER_MAX.get(dtype, 1.0)
    image = np.zeros((16, 20, 4), dtype)
    image[:, :10] = (top, 0, top, 0)  # transparent magenta
    image[:, 10:] = (0, top, 0, top)  # opaque green
    out = pellimor.resize(image, (24, 31), alpha=True)
    visible = out[..., 3] >= 16 * top / 255
    assert visible.any()
    assert (out[..., 0][visible] == 0).all() and (out[..., 2][visible] == 0).all()
    # Without alpha the magenta bleeds into the opaque pixels beside it.
    straight = pellimor.resize(image, (24, 31))
    assert (straight[..., 0][visible] > 0).any()


def test_options_reach_the_library():
    image = random_image(np.float64, 12, 12, None, seed=4)
    plain = pellimor.resize(image, (20, 20))
    assert not np.array_equal(pellimor.resize(image, (20, 20), taper=2.0), plain)
    # sRGB values 0 and 1 beside each other average to more than 0.5 in linear light.
    edge = np.repeat([[0.0, 0.0, 1.0, 1.0]], 2, axis=0)
    assert pellimor.resize(edge, (2, 1), linear=True)[0, 0] > pellimor.resize(edge, (2, 1))[0, 0] + 0.1
    small = random_image(np.float64, 6, 5, None, seed=1)
    np.testing.assert_allclose(
        pellimor.resize(small, (7, 9), engine="direct"), pellimor.resize(small, (7, 9)), rtol=0, atol=1e-12
    )


def test_result_is_the_same_for_any_thread_count():
    image = random_image(np.float64, 300, 200, 2, seed=3)
    one = pellimor.resize(image, (450, 170), threads=1)
    np.testing.assert_array_equal(pellimor.resize(image, (450, 170), threads=3), one)


def bad(**changes):
    call = {"image": np.zeros((4, 5, 3), np.uint8), "shape": (6, 7)}
    call.update(changes)
    return call


@pytest.mark.parametrize(
    "call,message",
    [
        (bad(image=np.zeros((4, 5), np.int32)), "dtype int32"),
        (bad(image=np.zeros((4, 5), bool)), "dtype bool"),
        (bad(image=np.zeros((4, 5), np.complex128)), "dtype complex128"),
        (bad(image=np.zeros((4, 5), object)), "dtype object"),
        (bad(image=np.zeros((4, 5), np.float16)), "dtype float16"),
        (bad(image=[[1, 2], [3, 4]]), "dtype int64"),
        (bad(image=np.zeros(5, np.uint8)), "2 lengths for an array of 1 dimensions"),
        (bad(image=np.zeros((2, 2, 2, 2), np.uint8)), "2 lengths for an array of 4 dimensions"),
        (bad(image=np.float64(1.0)), "not 0"),
        (bad(image=np.zeros((0, 5), np.uint8)), "empty"),
        (bad(image=np.zeros((4, 5, 0), np.uint8)), "empty"),
        (bad(shape=(0, 5)), "rows must be from 1"),
        (bad(shape=(5, -1)), "cols must be from 1"),
        (bad(shape=(5, 2**31)), "cols must be from 1"),
        (bad(shape=(2.5, 3)), "two integers.*rows is 2.5"),
        (bad(shape=(True, 3)), "two integers"),
        (bad(shape=(5,)), "pair"),
        (bad(shape=(5, 6, 3, 2)), "pair"),
        (bad(axes=(0, 0)), "axis 0 twice"),
        (bad(axes=(0, 3)), "axes must be from -3 to 2"),
        (bad(axes=(0,)), "2 lengths for 1 axes"),
        (bad(axes=(0, 1), channel_axis=1), "channel axis cannot be resized"),
        (bad(channel_axis=3), "channel_axis must be from -3 to 2"),
        (bad(shape=(5, 6, 3), alpha=True), "alpha=True needs a channel axis"),
        (bad(image=np.zeros((4, 5, 2, 2), np.uint8), axes=(0, 1), alpha=True), "needs a channel axis"),        (bad(shape=5), "pair"),
        (bad(shape="56"), "pair"),
        (bad(image=np.zeros((4, 5), np.uint8), alpha=True), "alpha"),
        (bad(image=np.zeros((4, 5, 1), np.uint8), alpha=True), "alpha"),
        (bad(round="up"), "round must be"),
        (bad(engine="slow"), "engine must be"),
        (bad(taper=-1.0), "taper"),
        (bad(taper=math.nan), "taper"),
        (bad(taper=math.inf), "taper"),
        (bad(threads=-1), "threads must be from 0 to 1024"),
        (bad(threads=1025), "threads must be from 0 to 1024"),
        (bad(threads=10**6), "threads must be from 0 to 1024.*not 1000000"),
        (bad(threads=2**64), "threads must be from 0 to 1024"),
        (bad(nan="ignore"), 'nan must be "propagate" or "raise"'),
    ],
)
def test_bad_arguments_raise_value_error(call, message):
    start = time.perf_counter()
    with pytest.raises(ValueError, match=message):
        pellimor.resize(**call)
    assert time.perf_counter() - start < 1.0


@pytest.mark.parametrize("threads", [2.0, True, "4", None])
def test_threads_of_another_type_raise_type_error(threads):
    with pytest.raises(TypeError, match="threads must be an integer"):
        pellimor.resize(np.zeros((4, 5)), (3, 3), threads=threads)


def test_the_largest_thread_count_is_taken():
    image = random_image(np.float64, 40, 50, None, seed=6)
    np.testing.assert_array_equal(
        pellimor.resize(image, (30, 70), threads=1024), pellimor.resize(image, (30, 70), threads=1)
    )


FLOATS = [np.float32, np.float64]
NON_FINITE = [math.nan, math.inf, -math.inf]


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("value", NON_FINITE)
@pytest.mark.parametrize(
    "options", [{}, {"nan": "propagate"}, {"nan": "propagate", "engine": "direct"}], ids=["default", "propagate", "direct"]
)
def test_a_non_finite_sample_spreads_over_its_channel_only(dtype, value, options):
    clean = random_image(dtype, 7, 9, 3, seed=8)
    image = clean.copy()
    image[2, 5, 1] = value
    out = pellimor.resize(image, (10, 6), **options)
    expected = pellimor.resize(clean, (10, 6), **options)
    if options.get("engine") == "direct" and math.isinf(value):
        # Term by term an infinity survives where no other term cancels it.
        assert (~np.isfinite(out[..., 1])).all()
    else:
        assert np.isnan(out[..., 1]).all()
    np.testing.assert_array_equal(out[..., [0, 2]], expected[..., [0, 2]])


@pytest.mark.parametrize("dtype", FLOATS)
def test_a_non_finite_alpha_blanks_the_colour(dtype):
    image = random_image(dtype, 6, 7, 4, seed=12)
    image[1, 1, 3] = math.nan
    out = pellimor.resize(image, (9, 5), alpha=True)
    assert np.isnan(out[..., 3]).all()
    assert (out[..., :3] == 0).all()


def non_finite_layouts(dtype):
    """Float images with two non-finite samples, as arrays of several layouts."""
    image = random_image(dtype, 6, 8, 3, seed=11)
    image[4, 1, 2] = math.nan
    image[1, 6, 0] = -math.inf
    grey = image[:, :, 0].copy()
    grey[3, 2] = math.inf
    return {
        "packed": image,  # -inf at (1, 6, 0) comes first
        "rows reversed": image[::-1],  # nan at (1, 1, 2) comes first
        "channels reversed": image[:, :, ::-1],
        "Fortran order": np.asfortranarray(image),
        "columns of a bigger array": np.repeat(image, 2, axis=1)[:, 1::2],
        "grey": grey,
        "grey transposed": grey.T,
    }


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("layout", list(non_finite_layouts(np.float64)))
def test_nan_raise_names_the_first_non_finite_sample(dtype, layout):
    view = non_finite_layouts(dtype)[layout]
    first = tuple(int(i) for i in np.argwhere(~np.isfinite(view))[0]) + (0,) * (3 - view.ndim)
    word = repr(float(view[first[: view.ndim]]))
    with pytest.raises(ValueError, match=re.escape(f"{word} at (row, column, channel) = {first}")):
        pellimor.resize(view, (5, 5), nan="raise")


def test_nan_raise_refuses_before_any_work():
    image = np.zeros((4, 4), np.float32)
    image[3, 3] = math.nan
    # The result could not be had: the refusal comes first all the same.
    with pytest.raises(ValueError, match=re.escape("nan at (row, column, channel) = (3, 3, 0)")):
        pellimor.resize(image, (2_000_000, 2_000_000), nan="raise")


@pytest.mark.parametrize("dtype", DTYPES)
def test_nan_raise_resizes_finite_images_as_usual(dtype):
    image = random_image(dtype, 9, 8, 2, seed=13)
    np.testing.assert_array_equal(pellimor.resize(image, (5, 11), nan="raise"), pellimor.resize(image, (5, 11)))


@pytest.mark.parametrize("dtype", [np.uint8, np.float64])
@pytest.mark.parametrize("options", [{}, {"alpha": True}, {"engine": "direct"}], ids=["fast", "alpha", "direct"])
def test_a_result_larger_than_memory_raises_memory_error_at_once(dtype, options):
    start = time.perf_counter()
    with pytest.raises(MemoryError, match=r"resizing to 2000000 x 2000000 needs \d+ MiB, more than"):
        pellimor.resize(np.zeros((4, 4, 2), dtype), (2_000_000, 2_000_000), **options)
    assert time.perf_counter() - start < 1.0


def test_shape_takes_numpy_integers_and_lists():
    image = random_image(np.float64, 4, 4, None)
    expected = pellimor.resize(image, (6, 5))
    np.testing.assert_array_equal(pellimor.resize(image, [np.int64(6), np.uint16(5)]), expected)
    np.testing.assert_array_equal(pellimor.resize(image, np.array([6, 5])), expected)


def test_other_threads_run_during_a_resize():
    image = random_image(np.float64, 1500, 1500, None)
    span = {}

    def work():
        span["start"] = time.perf_counter()
        pellimor.resize(image, (2400, 2400), threads=1)
        span["end"] = time.perf_counter()

    worker = threading.Thread(target=work)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.002)
    worker.join()
    assert span["end"] - span["start"] > 0.05, "the resize was too quick to tell"
    during = [t for t in ticks if span["start"] < t < span["end"]]
    # Holding the GIL, the resize would leave this thread no tick at all.
    assert len(during) >= 10, f"{len(during)} ticks in {span['end'] - span['start']:.3f} s"


def test_threads_resizing_at_once_get_their_own_results():
    images = [random_image(np.float64, 200 + 17 * i, 150, 3, seed=i) for i in range(4)]
    alone = [pellimor.resize(im, (230, 210), threads=1) for im in images]
    results = [None] * len(images)

    def work(i):
        results[i] = pellimor.resize(images[i], (230, 210), threads=1)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(len(images))]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for got, want in zip(results, alone):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channels", [None, 2, 3, 4])
def test_out_takes_the_result_in_any_layout(dtype, channels):
    # Into out=, the channels are resized together (each pixel written
    # once): the values are those of a fresh result all the same.
    image = random_image(dtype, 9, 12, channels, seed=5)
    expected = pellimor.resize(image, (13, 7), round="nearest")
    # Every other row and column of a larger array, channels reversed: the
    # result lands there and nothing around it changes.
    frame_shape = (26, 14) if channels is None else (26, 14, channels)
    frame = np.full(frame_shape, 7, dtype)
    out = frame[::2, ::2] if channels is None else frame[::2, ::2, ::-1]
    got = pellimor.resize(image, (13, 7), round="nearest", out=out)
    assert got is out
    np.testing.assert_array_equal(out, expected)
    untouched = np.ones(frame_shape, bool)
    untouched[::2, ::2] = False
    assert (frame[untouched] == 7).all()


@pytest.mark.parametrize(
    "make_out,error,message",
    [
        (lambda img: np.zeros((13, 8, 3), np.uint8), ValueError, r"out must have shape \(13, 7, 3\) and dtype uint8"),
        (lambda img: np.zeros((13, 7, 3), np.uint16), ValueError, "dtype uint8, not .* uint16"),
        (lambda img: np.zeros((13, 7), np.uint8), ValueError, "out must have shape"),
        (lambda img: _read_only(), ValueError, "read-only"),
        (lambda img: img.reshape(-1)[: 13 * 7 * 3].reshape(13, 7, 3), ValueError, "share memory"),
        (lambda img: [[0] * 7] * 13, TypeError, "numpy.ndarray or None"),
    ],
)
def test_bad_out_is_refused_before_any_work(make_out, error, message):
    image = random_image(np.uint8, 20, 20, 3, seed=6)
    with pytest.raises(error, match=message):
        pellimor.resize(image, (13, 7), out=make_out(image))


def _read_only():
    out = np.zeros((13, 7, 3), np.uint8)
    out.flags.writeable = False
    return out


# Arrays of any rank: (array shape, axes, new lengths).
ND_CASES = [
    ((11,), (0,), (17,)),
    ((16,), (0,), (5,)),
    ((6, 9), (1,), (4,)),
    ((5, 6, 7), (0, 1, 2), (8, 3, 9)),
    ((7, 5, 6), (0,), (10,)),
    ((7, 5, 6), (2, 0), (3, 4)),
    ((3, 8, 9), (1, 2), (5, 11)),
    ((4, 5, 6, 3), (0, 1, 2), (7, 2, 9)),
    ((4, 5, 6, 2), (0, 2, 3), (6, 7, 3)),
    ((2, 3, 4, 5), (-1, -3), (2, 6)),
    ((1, 1, 1), (0, 1, 2), (3, 1, 2)),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape,axes,lengths", ND_CASES)
def test_any_rank_follows_the_dct_formula(dtype, shape, axes, lengths):
    rng = np.random.default_rng(len(shape) * 7 + lengths[0])
    top = INTEGER_MAX.get(dtype, 1)
    array = (rng.random(shape) * top).astype(dtype)
    exact = formula_nd(array, lengths, [a % len(shape) for a in axes])
    out = pellimor.resize(array, lengths, axes=axes)
    assert out.shape == exact.shape and out.dtype == dtype and out.flags.c_contiguous
    if dtype == np.float64:
        np.testing.assert_allclose(out, exact, rtol=0, atol=1e-12 * np.abs(exact).max())
    elif dtype == np.float32:
        np.testing.assert_allclose(out, exact, rtol=0, atol=2.0**-23 * np.abs(exact).max())
    else:
        for round in ("trunc", "nearest"):
            got = pellimor.resize(array, lengths, axes=axes, round=round).astype(np.float64)
            want = expected_integers(exact, dtype, round)
            boundary = exact - 0.5 if round == "nearest" else exact
            near_integer = np.abs(boundary - np.round(boundary)) < 1e-9
            assert not ((got != want) & ~near_integer).any(), round


def srgb_to_linear(v):
    s = np.abs(v)
    return np.copysign(np.where(s <= 0.04045, s / 12.92, ((s + 0.055) / 1.055) ** 2.4), v)


def linear_to_srgb(v):
    s = np.abs(v)
    return np.copysign(np.where(s <= 0.0031308, 12.92 * s, 1.055 * s ** (1 / 2.4) - 0.055), v)


def colour_formula(array, lengths, axes, alpha, linear, round):
    """Resize with alpha (last channel) and linear light, in float64, in units of 1:
    colour to linear light and premultiplied, resized, divided by the resized
    alpha (colour 0 where that alpha would be stored as 0), encoded again."""
    top = INTEGER_MAX.get(array.dtype.type, 1)
    x = array.astype(np.float64) / top
    colour, opacity = (x[..., :-1], x[..., -1:]) if alpha else (x, None)
    if linear:
        colour = srgb_to_linear(colour)
    if alpha:
        colour = formula_nd(colour * opacity, lengths, axes)
        opacity = formula_nd(opacity, lengths, axes)
        a = np.minimum(opacity, 1.0)
        visible = 0.0 if top == 1 else (0.5 if round == "nearest" else 1.0) / top
        with np.errstate(divide="ignore", invalid="ignore"):
            colour = np.where((a > 0) & (a >= visible), colour / a, 0.0)
    else:
        colour = formula_nd(colour, lengths, axes)
    if linear:
        colour = linear_to_srgb(colour)
    return (np.concatenate([colour, opacity], axis=-1) if alpha else colour) * top


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float64])
@pytest.mark.parametrize("alpha,linear", [(True, False), (False, True), (True, True)])
# A (D, H, W, 4) volume, and a (N, 4, H, W) stack with its channels second.
@pytest.mark.parametrize(
    "shape,axes,channel_axis,lengths",
    [((4, 5, 6, 4), (0, 1, 2), 3, (7, 3, 9)), ((5, 4, 3, 6), (0, 2, 3), 1, (3, 8, 4))],
)
def test_alpha_and_linear_take_any_number_of_axes(dtype, alpha, linear, shape, axes, channel_axis, lengths):
    rng = np.random.default_rng(sum(shape) + 2 * alpha + linear)
    top = INTEGER_MAX.get(dtype, 1)
    given = (rng.random(shape) * top).astype(dtype)
    array = np.moveaxis(given, channel_axis, -1)  # a view: channels last
    array[..., -1][rng.random(array.shape[:-1]) < 0.2] = 0  # some elements fully transparent
    out = pellimor.resize(given, lengths, axes=axes, channel_axis=channel_axis, alpha=alpha, linear=linear)
    got = np.moveaxis(out, channel_axis, -1).astype(np.float64)
    exact = colour_formula(array, lengths, (0, 1, 2), alpha, linear, "nearest")
    assert got.shape == exact.shape
    if dtype == np.float64:
        np.testing.assert_allclose(got, exact, rtol=0, atol=1e-9)
    else:
        want = np.floor(np.clip(exact, 0, top) + 0.5)
        assert np.abs(got - want).max() <= 1
        assert (got != want).mean() < 0.01


@pytest.mark.parametrize("shape,axes,lengths", [((14,), (0,), (9,)), ((6, 7, 5), (0, 1, 2), (9, 4, 8))])
def test_taper_weighs_every_resized_axis(shape, axes, lengths):
    array = np.random.default_rng(6).random(shape)
    out = pellimor.resize(array, lengths, axes=axes, taper=1.5)
    np.testing.assert_allclose(out, formula_nd(array, lengths, axes, taper=1.5), rtol=0, atol=1e-12)


@pytest.mark.parametrize(
    "shape,lengths,kw,axes",
    [
        ((5, 6), (9, 4), {}, (0, 1)),  # an image
        ((5, 6, 3), (9, 4), {}, (0, 1)),  # an image, channels last
        ((5, 6, 7), (9, 4, 2), {}, (0, 1, 2)),  # a volume
        ((3, 5, 6), (9, 4), {"channel_axis": 0}, (1, 2)),  # channels first
        ((5, 6, 2, 3), (4, 7), {"channel_axis": -1, "axes": (0, 1)}, (0, 1)),
    ],
)
def test_shape_alone_picks_the_axes(shape, lengths, kw, axes):
    array = np.random.default_rng(2).random(shape)
    out = pellimor.resize(array, lengths, **kw)
    np.testing.assert_allclose(out, formula_nd(array, lengths, axes), rtol=0, atol=1e-12)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "stack,axes,lengths,frame_of",
    [
        # (N, H, W) frames, (N, H, W, C) frames with channels, (H, W, N) slices.
        ((4, 9, 7), (1, 2), (5, 12), lambda a, i: a[i]),
        ((3, 9, 7, 3), (1, 2), (13, 4), lambda a, i: a[i]),
        ((9, 7, 3), (0, 1), (6, 8), lambda a, i: a[:, :, i]),
    ],
)
def test_stacks_equal_frame_by_frame_calls(dtype, stack, axes, lengths, frame_of):
    array = random_image(dtype, stack[0], int(np.prod(stack[1:])), None, seed=9).reshape(stack)
    whole = pellimor.resize(array, lengths, axes=axes, taper=1.0, threads=2)
    frames = stack[0] if frame_of(array, 0).shape != array.shape[:2] else stack[-1]
    for i in range(frames):
        np.testing.assert_array_equal(frame_of(whole, i), pellimor.resize(frame_of(array, i), lengths, taper=1.0))


def test_any_rank_reads_views_and_writes_into_out():
    base = np.random.default_rng(5).random((6, 10, 8, 3))
    view = base[::-1, ::2, :, 1].transpose(2, 0, 1)  # negative, stepped and transposed axes
    expected = pellimor.resize(np.ascontiguousarray(view), (5, 4, 7))
    target = np.zeros((5, 4, 7, 2))[..., 0]
    got = pellimor.resize(view, (5, 4, 7), out=target)
    assert got is target
    np.testing.assert_array_equal(target, expected)
    # Every axis enlarged: the values between passes live in out itself.
    target = np.full((9, 8, 7, 2), -1.0)[::-1, :, :, 1]
    pellimor.resize(view, (9, 8, 7), out=target)
    np.testing.assert_allclose(target, formula_nd(view, (9, 8, 7), (0, 1, 2)), rtol=0, atol=1e-12)
    assert pellimor.resize(base[..., 0], (3, 3, 3), threads=3).tobytes() == pellimor.resize(
        base[..., 0], (3, 3, 3), threads=1
    ).tobytes()


def test_default_rounding_is_nearest():
    # 3 samples 0, 0, 1 to one: the mean 1/3 of a step; values that land on
    # x.5 and x.7 after resizing tell trunc from nearest.
    image = np.array([[10, 11]], np.uint8)
    half = pellimor.resize(image, (1, 1))  # the mean, 10.5
    assert half[0, 0] == 11
    assert pellimor.resize(image, (1, 1), round="trunc")[0, 0] == 10


@pytest.mark.parametrize("channels,expected", [(4, True), (3, False), (2, True), (1, False)])
def test_alpha_defaults_to_what_read_says(tmp_path, channels, expected):
    image = random_image(np.uint8, 6, 7, channels if channels > 1 else None, seed=channels)
    if channels in (2, 4):
        image[..., -1] = 0
        image[:3, ..., -1] = 255
    pellimor.write(tmp_path / "a.png", image)
    read = pellimor.read(tmp_path / "a.png")
    assert read.alpha is expected
    by_default = pellimor.resize(read, (9, 5))
    np.testing.assert_array_equal(by_default, pellimor.resize(read, (9, 5), alpha=expected))
    # A plain array (np.asarray drops what read() knew) is not premultiplied.
    plain = np.asarray(read)
    np.testing.assert_array_equal(pellimor.resize(plain, (9, 5)), pellimor.resize(plain, (9, 5), alpha=False))
    if channels == 4:
        assert not np.array_equal(pellimor.resize(read, (9, 5), alpha=True), pellimor.resize(plain, (9, 5)))
        # Resized as a volume, the channels too, it has no alpha to keep apart.
        np.testing.assert_array_equal(pellimor.resize(read, (9, 5, 3)), pellimor.resize(plain, (9, 5, 3)))
        # Colour taken away leaves an array with no alpha to honour.
        np.testing.assert_array_equal(
            pellimor.resize(read[..., :3], (9, 5)), pellimor.resize(plain[..., :3], (9, 5), alpha=False)
        )


@pytest.mark.parametrize(
    "array,shape,axes",
    [
        (np.zeros((160, 160, 160)), (400, 400, 400), None),  # three axes
        (np.zeros((300, 300, 96)), (700, 700), None),  # planes, one channel after another
        # One channel of many short rows: the passes over columns, which
        # read and write no rows, take most of the time.
        (np.zeros((120_000, 192), np.uint8), (120_000, 192), None),
    ],
    ids=["volume", "image", "one channel"],
)
def test_ctrl_c_stops_a_long_resize(array, shape, axes):
    import os
    import signal

    # The work runs on this thread (threads=1), so the CPU time this thread
    # spends between the signal and the exception is what the stop costs,
    # however loaded the machine is; the wall time only guards against a hang.
    clock = time.pthread_getcpuclockid(threading.get_ident())
    sent = []

    def interrupt():
        sent.append((time.perf_counter(), time.clock_gettime(clock)))
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.3, interrupt)
    with pytest.raises(KeyboardInterrupt):
        timer.start()
        try:
            pellimor.resize(array, shape, axes=axes, threads=1)
        finally:
            raised = (time.perf_counter(), time.clock_gettime(clock))
        timer.join()  # had the resize ended first, the interrupt lands here, and the wait below fails
        raised = (math.inf, math.inf)
    # The stop comes within a batch or two (about 0.2 s is the aim, measured
    # in the benchmarks).
    assert sent and raised[1] - sent[0][1] < 0.2 and raised[0] - sent[0][0] < 10


def test_one_nan_spreads_over_what_shares_its_untouched_axes():
    stack = np.random.default_rng(8).random((3, 6, 5))
    stack[1, 2, 3] = np.nan
    out = pellimor.resize(stack, (4, 7), axes=(1, 2))
    assert np.isnan(out[1]).all() and np.isfinite(out[[0, 2]]).all()
    with pytest.raises(ValueError, match=re.escape("nan at index (1, 2, 3)")):
        pellimor.resize(stack, (4, 7, 2), nan="raise")
    assert np.isnan(pellimor.resize(stack, (4, 7, 2))).all()
