import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as h

KEYS = ["live_samples", "backing_bytes", "peak_backing_bytes", "input_samples_copied",
        "retained_samples_moved", "aliased_samples_snapshotted", "allocations",
        "absolute_base", "absolute_fed"]


def ramp(n, start=0):
    return np.arange(start, start + n, dtype=np.float32)


def check_invariants(b):
    c = b.counters()
    assert list(c) == KEYS
    assert c["absolute_base"] + c["live_samples"] == c["absolute_fed"]
    assert c["input_samples_copied"] == c["absolute_fed"]
    assert 0 <= b.start <= b.end <= c["backing_bytes"] // 4
    np.testing.assert_array_equal(b.live, np.arange(b.base, b.fed, dtype=np.float32))
    return c


@pytest.mark.parametrize("cap", [0, -5, True, False, 5.0, 51200.0, "51200", None])
def test_capacity_must_be_positive_int(cap):
    with pytest.raises(ValueError, match="^positive capacity required$"):
        h._SlidingPCM(cap)


def test_fresh_buffer():
    b = h._SlidingPCM()
    assert b.counters() == dict.fromkeys(KEYS, 0)
    assert b.live.shape == (0,) and b.live.dtype == np.float32
    assert b.minimum_capacity == 51200


# Each case: a list of operations from a fresh buffer, then the expected capacity and
# counter deltas of the last operation.
CASES = {
    "first append 100": ([("a", 100)], dict(cap=51200, allocations=1, moved=0, peak=51200)),
    "first append 60000": ([("a", 60000)], dict(cap=60000, allocations=1, moved=0, peak=60000)),
    "compaction": ([("a", 51200), ("d", 25600), ("a", 800)],
                   dict(cap=51200, allocations=1, moved=25600, start=0, end=26400)),
    "reallocation": ([("a", 51000), ("a", 800)],
                     dict(cap=102400, allocations=2, moved=51000, peak=102400)),
    "shrink": ([("a", 51000), ("a", 800), ("d", 31800)],
               dict(cap=51200, allocations=3, moved=51000 + 20000, peak=102400)),
    "no shrink at 30000": ([("a", 51000), ("a", 800), ("d", 21800)],
                           dict(cap=102400, allocations=2, moved=51000)),
    "exact fit, no move": ([("a", 51000), ("a", 200)], dict(cap=51200, allocations=1, moved=0)),
}


@pytest.mark.parametrize("ops, want", CASES.values(), ids=CASES.keys())
def test_growth_compaction_shrink_table(ops, want):
    b = h._SlidingPCM()
    fed = 0
    for op, v in ops:
        if op == "a":
            b.append(ramp(v, fed))
            fed += v
        else:
            b.discard_before(v)
    c = check_invariants(b)
    assert c["backing_bytes"] == want["cap"] * 4
    assert c["allocations"] == want["allocations"]
    assert c["retained_samples_moved"] == want["moved"]
    if "peak" in want:
        assert c["peak_backing_bytes"] == want["peak"] * 4
    if "start" in want:
        assert (b.start, b.end) == (want["start"], want["end"])


def test_renderer_cadence_allocates_once():
    b = h._SlidingPCM()
    fed, ci = 0, 0
    rng = np.random.default_rng(0)
    while fed < 16000 * 60:
        n = int(rng.integers(1, 7201))
        b.append(ramp(n, fed))
        fed += n
        need = 25600 if ci == 0 else (ci - 1) * 25600 + 44000
        while fed >= need:
            ci += 1
            b.discard_before(0 if ci <= 1 else (ci - 1) * 25600)
            need = (ci - 1) * 25600 + 44000
    c = check_invariants(b)
    assert c["allocations"] == 1 and c["backing_bytes"] == 51200 * 4


@pytest.mark.parametrize("block", [np.zeros(0), np.zeros((0, 3)), np.zeros((4, 0), np.int16), []])
def test_empty_block_changes_nothing(block):
    b = h._SlidingPCM()
    b.append(ramp(10))
    before = b.counters()
    b.append(block)
    assert b.counters() == before


def test_two_dimensional_block_refused_without_change():
    b = h._SlidingPCM()
    b.append(ramp(10))
    before = b.counters()
    with pytest.raises(ValueError, match="^one-dimensional PCM required$"):
        b.append(np.zeros((2, 3), np.float32))
    assert b.counters() == before


def test_conversions_to_float32():
    b = h._SlidingPCM()
    x = np.array([0.1, 1 / 3, -2.5, 1e-40], np.float64)
    b.append(x)
    b.append([1, 2])
    b.append(np.array([7, 8], np.int16)[::-1])
    assert b.live.dtype == np.float32
    np.testing.assert_array_equal(b.live, np.r_[x.astype(np.float32), 1, 2, 8, 7].astype(np.float32))


@pytest.mark.parametrize("view", [lambda b: b.live, lambda b: b.live[::2], lambda b: b.storage[:5]])
def test_appending_own_memory_is_snapshotted(view):
    b = h._SlidingPCM(64)
    b.append(ramp(60))        # capacity 64: the self-append below must reallocate
    v = view(b)
    expect = np.r_[b.live.copy(), np.array(v, copy=True)]
    b.append(v)
    assert b.counters()["aliased_samples_snapshotted"] == len(expect) - 60
    np.testing.assert_array_equal(b.live, expect)
    # an independent array is not counted
    b.append(expect.copy())
    assert b.counters()["aliased_samples_snapshotted"] == len(expect) - 60


def test_discard_edges():
    b = h._SlidingPCM()
    b.append(ramp(1000))
    b.discard_before(400)
    b.discard_before(100)     # below base: nothing dropped
    assert (b.base, len(b.live)) == (400, 600)
    b.discard_before(10 ** 30)  # past fed: everything, no more
    assert (b.base, b.fed, len(b.live)) == (1000, 1000, 0)
    check_invariants(b)
    for bad in (-1, 5.0, True, "3", None):
        with pytest.raises(ValueError, match="^nonnegative absolute sample offset required$"):
            b.discard_before(bad)
    b.append(ramp(5, 1000))
    np.testing.assert_array_equal(b.live, ramp(5, 1000))


def test_views_outlive_reallocation_and_buffer():
    b = h._SlidingPCM(100)
    b.append(ramp(90))
    v = b.live
    assert not v.flags.writeable
    b.append(ramp(200, 90))   # reallocation: v keeps the old array alive and unchanged
    np.testing.assert_array_equal(v, ramp(90))
    w = b.live
    del b
    np.testing.assert_array_equal(w, ramp(290))


def test_random_sequences_keep_invariants():
    rng = np.random.default_rng(7)
    for trial in range(20):
        b = h._SlidingPCM(int(rng.integers(1, 5000)))
        fed = 0
        for _ in range(60):
            if rng.random() < 0.6:
                n = int(rng.integers(0, 9000))
                b.append(ramp(n, fed))
                fed += n
            else:
                b.discard_before(int(rng.integers(0, fed + 2000)))
            check_invariants(b)


def test_failed_allocation_changes_nothing():
    b = h._SlidingPCM()
    b.append(ramp(1000))
    before = b.counters()
    with pytest.raises((MemoryError, ValueError)):   # the array library's refusal
        b._allocate(2 ** 46)
    assert b.counters() == before
    np.testing.assert_array_equal(b.live, ramp(1000))


def test_backing_array_cannot_be_resized_away():
    # the buffer's memory is its own: no handed-out array can reallocate it
    b = h._SlidingPCM(100)
    b.append(ramp(50))
    for arr in (b.storage, b.live, b.live.base):
        if isinstance(arr, np.ndarray):
            with pytest.raises(ValueError):
                arr.resize(10, refcheck=False)
    b.append(ramp(200, 50))
    check_invariants(b)
