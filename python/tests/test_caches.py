# SPDX-License-Identifier: MIT
"""What resize() keeps between calls: freeing it, bounding it, and threads sharing it."""
import threading

import numpy as np
import pytest
from conftest import random_image

import pellimor


@pytest.fixture
def fresh_cache():
    before = pellimor.set_cache_limit(256 << 20)
    pellimor.release_caches()
    yield
    pellimor.set_cache_limit(before)
    pellimor.release_caches()


def test_release_frees_what_a_resize_kept(fresh_cache):
    pellimor.resize(random_image(np.float64, 30, 40, 3), (70, 90), threads=1)
    assert pellimor.cache_bytes() > 0
    pellimor.release_caches()
    assert pellimor.cache_bytes() == 0


def test_limit_returns_the_one_before_and_bounds_what_is_kept(fresh_cache):
    small, big = random_image(np.float64, 30, 40, None), random_image(np.float64, 300, 400, None)
    pellimor.resize(small, (70, 90), threads=1)
    small_bytes = pellimor.cache_bytes()
    pellimor.release_caches()
    pellimor.resize(big, (700, 900), threads=1)
    big_bytes = pellimor.cache_bytes()
    assert 0 < small_bytes < big_bytes

    assert pellimor.set_cache_limit(big_bytes - 1) == 256 << 20
    assert pellimor.cache_bytes() == 0, "lowering the limit kept a state over it"
    pellimor.resize(big, (700, 900), threads=1)
    assert pellimor.cache_bytes() == 0
    pellimor.resize(small, (70, 90), threads=1)
    assert pellimor.cache_bytes() == small_bytes
    assert pellimor.set_cache_limit(0) == big_bytes - 1
    pellimor.resize(small, (70, 90), threads=1)
    assert pellimor.cache_bytes() == 0, "a limit of 0 kept a state"


@pytest.mark.parametrize(
    "nbytes, error",
    [(-1, ValueError), (1.5, TypeError), ("1M", TypeError), (True, TypeError)],
)
def test_bad_limits_are_refused(fresh_cache, nbytes, error):
    with pytest.raises(error):
        pellimor.set_cache_limit(nbytes)
    assert pellimor.set_cache_limit(256 << 20) == 256 << 20, "a refused limit was set"


@pytest.mark.parametrize("limit", [256 << 20, 0])
def test_two_threads_of_one_shape_get_what_one_thread_gets(fresh_cache, limit):
    # The same shape on both threads: they take and put back the cached
    # states at once, and neither may see the other's coefficients.
    pellimor.set_cache_limit(limit)
    images = [random_image(np.float64, 120, 90, 3, seed=s) for s in (1, 2)]
    alone = [pellimor.resize(im, (250, 170), threads=1) for im in images]
    results = [[], []]

    def work(i):
        for _ in range(6):
            results[i].append(pellimor.resize(images[i], (250, 170), threads=1))

    workers = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for got, want in zip(results, alone):
        assert len(got) == 6
        for g in got:
            np.testing.assert_array_equal(g, want)


@pytest.mark.parametrize("dtype", [np.uint8, np.float64])
def test_a_freed_result_is_reused_without_its_old_values_showing(fresh_cache, dtype):
    # Results of 4 MiB and more are kept for reuse once Python frees them:
    # a later result of that size gets the memory, entirely rewritten; a
    # result still held, or still seen through a view, is never handed out.
    shape = (18, 40, 40, 3) if dtype == np.uint8 else (40, 64, 64)
    new = (30, 1000, 60, 3) if dtype == np.uint8 else (60, 96, 96)
    axes = (0, 1, 2)
    a = random_image(dtype, shape[0] * shape[1], shape[2], shape[3] if len(shape) > 3 else None, 1).reshape(shape)
    b = random_image(dtype, shape[0] * shape[1], shape[2], shape[3] if len(shape) > 3 else None, 2).reshape(shape)
    pellimor.set_cache_limit(0)  # nothing kept: fresh memory every time
    want_a, want_b = pellimor.resize(a, new[:3], axes=axes), pellimor.resize(b, new[:3], axes=axes)
    assert want_a.nbytes >= 4 << 20
    pellimor.set_cache_limit(256 << 20)

    first = pellimor.resize(a, new[:3], axes=axes)
    address = first.ctypes.data
    del first
    second = pellimor.resize(b, new[:3], axes=axes)
    assert second.ctypes.data == address, "the freed result was not reused"
    np.testing.assert_array_equal(second, want_b)
    view = second[1:]
    del second
    third = pellimor.resize(a, new[:3], axes=axes)
    assert not np.shares_memory(third, view)
    np.testing.assert_array_equal(third, want_a)
    np.testing.assert_array_equal(view, want_b[1:])

    pellimor.release_caches()
    del third
    fourth = pellimor.resize(b, new[:3], axes=axes)
    np.testing.assert_array_equal(fourth, want_b)


def test_a_result_on_kept_memory_holds_every_channel_and_gives_the_same_values(fresh_cache):
    # The memory of a kept result is already the process's, so the other
    # channels' coefficients are held beside the first one's (a state of
    # the engine's with three planes, kept after), and each pixel is
    # written once: the values of a result on fresh memory.
    image = random_image(np.float64, 60, 80, 3, 5)
    pellimor.set_cache_limit(0)
    want = pellimor.resize(image, (480, 640))
    assert want.nbytes >= 4 << 20
    pellimor.set_cache_limit(256 << 20)
    first = pellimor.resize(image, (480, 640))
    address, one_plane = first.ctypes.data, pellimor.cache_bytes()
    del first
    again = pellimor.resize(image, (480, 640))
    assert again.ctypes.data == address, "the freed result was not reused"
    assert pellimor.cache_bytes() > 2 * one_plane, "the channels were not held"
    np.testing.assert_array_equal(again, want)
