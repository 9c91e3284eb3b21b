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
