import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as h

LC, LH, LW = 16, 90, 52
PLANE = LH * LW


def ref_build(lats, blk, prev_lat):
    plan = [(j, p) for j in range(blk) for p in range(3 if (j == 0 and prev_lat is None) else 0, 4)]
    n = len(plan)
    xs = np.zeros((n, 36 * PLANE), np.float32)
    for k, (j, p) in enumerate(plan):
        cur = lats[j]
        prev = lats[j - 1] if j > 0 else (prev_lat if prev_lat is not None else lats[0])
        row = xs[k].reshape(36, PLANE)
        row[0:16] = np.asarray(cur).reshape(LC, PLANE)
        row[16:32] = np.asarray(prev).reshape(LC, PLANE)
        row[32 + p] = 1.0
    return xs.reshape(n, 36, LH, LW), n


def latents(k, seed, dtype=np.float32):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal((LC, LH, LW)).astype(dtype) for _ in range(k)]


@pytest.mark.parametrize("blk, with_prev, n", [(6, False, 21), (8, True, 32), (1, False, 1),
                                               (1, True, 4), (0, False, 0), (0, True, 0), (3, False, 9)])
def test_matches_reference(blk, with_prev, n):
    lats = latents(max(blk, 1) + 2, blk)        # extra items beyond blk are ignored
    prev = latents(1, 99)[0] if with_prev else None
    xs, got_n = h.build_dec_inputs(lats, blk, prev)
    ref, ref_n = ref_build(lats, blk, prev)
    assert got_n == ref_n == n
    assert xs.dtype == np.float32 and xs.shape == (n, 36, LH, LW) and xs.flags.c_contiguous
    np.testing.assert_array_equal(xs.view(np.uint32), ref.view(np.uint32))
    # exactly one phase plane per row is all ones, the other three all zeros
    ph = xs[:, 32:36].reshape(n, 4, PLANE)
    assert np.all(ph.min(axis=2) == ph.max(axis=2))
    assert np.all(ph[:, :, 0].sum(axis=1) == 1.0)


def test_first_and_steady_rows():
    lats = latents(8, 1)
    prev = latents(1, 2)[0]
    xs, _ = h.build_dec_inputs(lats, 6, None)
    np.testing.assert_array_equal(xs[0, 0:16], lats[0])
    np.testing.assert_array_equal(xs[0, 16:32], lats[0])
    assert (xs[0, 35] == 1).all()
    for r, p in zip(range(1, 5), range(4)):
        np.testing.assert_array_equal(xs[r, 0:16], lats[1])
        np.testing.assert_array_equal(xs[r, 16:32], lats[0])
        assert (xs[r, 32 + p] == 1).all()
    xs, _ = h.build_dec_inputs(lats, 8, prev)
    for r in range(4):
        np.testing.assert_array_equal(xs[r, 16:32], prev)
    np.testing.assert_array_equal(xs[31, 0:16], lats[7])
    np.testing.assert_array_equal(xs[31, 16:32], lats[6])
    assert (xs[31, 35] == 1).all()


def test_input_forms_are_converted():
    # float64 latents, flat latents, a stacked array as the sequence
    lats64 = latents(3, 5, np.float64)
    prev_flat = latents(1, 6)[0].ravel()
    xs, n = h.build_dec_inputs(lats64, 3, prev_flat)
    ref, _ = ref_build([l.astype(np.float32) for l in lats64], 3, prev_flat)
    np.testing.assert_array_equal(xs, ref)
    stacked = np.stack(latents(8, 7))
    xs, n = h.build_dec_inputs(stacked, 8, None)
    np.testing.assert_array_equal(xs, ref_build(stacked, 8, None)[0])


def test_result_outlives_inputs():
    lats = latents(2, 3)
    xs, _ = h.build_dec_inputs(lats, 2, None)
    keep = lats[1].copy()
    lats[1][:] = 0
    del lats
    np.testing.assert_array_equal(xs[1, 0:16], keep)


def test_errors():
    lats = latents(2, 4)
    with pytest.raises(IndexError):
        h.build_dec_inputs(lats, 3, None)
    with pytest.raises(TypeError):
        h.build_dec_inputs(lats, 2.0, None)     # a count, as range() takes it
    assert h.build_dec_inputs(lats, np.int64(2), None)[1] == 5
    with pytest.raises(ValueError, match="cannot reshape"):
        h.build_dec_inputs([np.zeros(10, np.float32)], 1, None)
    with pytest.raises(ValueError, match="cannot reshape"):
        h.build_dec_inputs(lats, 2, np.zeros(5))
    # a wrong-sized prev_lat is never read when there is no row
    xs, n = h.build_dec_inputs(lats, 0, np.zeros(5))
    assert n == 0 and xs.shape == (0, 36, LH, LW)
    assert h.build_dec_inputs(lats, -4, None)[1] == 0     # range() of a negative count is empty
    # latents are read in row order: row 0 reads lats[0], then prev_lat, before lats[1]
    with pytest.raises(ValueError, match="size 5 into"):
        h.build_dec_inputs(lats[:1], 3, np.zeros(5))
    with pytest.raises(ValueError, match="size 3 into"):
        h.build_dec_inputs([np.zeros(3)] + lats, 3, np.zeros(5))
    # a count beyond memory fails when the result is allocated, before any latent is read
    with pytest.raises(MemoryError):
        h.build_dec_inputs(lats, 10 ** 12, None)
