import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as h
from .wsola_reference import ref_from_buf, ref_tempo, ref_to_buf


def bits_equal(a, b):
    a = np.asarray(a)
    b = np.asarray(b)
    assert a.dtype == b.dtype == np.float32
    assert a.shape == b.shape
    np.testing.assert_array_equal(a.view(np.uint32), b.view(np.uint32))


def speech_like(n, seed, scale=0.3):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 16000.0
    x = scale * np.sin(2 * np.pi * 180 * t) * (0.6 + 0.4 * np.sin(2 * np.pi * 3 * t))
    return (x + 0.05 * rng.standard_normal(n)).astype(np.float32)


def test_module_constants():
    assert (h.SR_WSOLA_SEGMENT, h.SR_WSOLA_OVERLAP, h.SR_WSOLA_SEARCH) == (1312, 192, 235)
    assert h.sliding_window_view is np.lib.stride_tricks.sliding_window_view


@pytest.mark.parametrize("n, factor, seed", [
    (44000, 1.25, 0), (44000, 1.25, 1), (44000, 1.0, 2), (1000, 0.5, 3),
    (9000, 0.8, 4), (30000, 2.0, 5), (7777, 3.7, 6), (1121, 1.25, 7), (1400, 1.25, 8),
])
def test_tempo_matches_reference_bit_for_bit(n, factor, seed):
    x = speech_like(n, seed)
    got = h.tempo_wsola(x, factor)
    bits_equal(got, ref_tempo(x, factor))
    assert len(got) == int(np.floor(n / factor + 0.5))


def test_default_window_shape_and_last_block():
    x = speech_like(44000, 11)
    out = h.tempo_wsola(x)
    assert out.shape == (35200,) and out.dtype == np.float32
    # 32 blocks of 1120; the last writes 35200 - 31 * 1120 = 480 samples
    assert 35200 - 31 * 1120 == 480
    bits_equal(out, ref_tempo(x))
    out[:] = 0  # the result belongs to the caller
    assert not out.any()


def test_loud_input_sum_beyond_2_53():
    # Full-scale noise: squared grid differences reach 2^50, so the 192-term sums
    # exceed 2^53 and their rounding depends on the summation order.
    rng = np.random.default_rng(42)
    x = (rng.choice([-1.0, 1.0], 44000) * rng.uniform(0.5, 1.0, 44000)).astype(np.float32)
    stats = {}
    ref = ref_tempo(x, 1.25, stats)
    assert stats["max_ssd"] > 2.0 ** 53
    bits_equal(h.tempo_wsola(x), ref)


def test_all_zero_input_takes_earliest_candidate():
    stats = {}
    ref = ref_tempo(np.zeros(44000, np.float32), 1.25, stats)
    assert set(stats["picks"]) == {0}
    out = h.tempo_wsola(np.zeros(44000, np.float32))
    bits_equal(out, ref)
    assert not out.any()


@pytest.mark.parametrize("x, factor, n_out", [
    (np.zeros(0, np.float32), 1.25, 0),
    (np.linspace(-0.9, 0.9, 10, dtype=np.float32), 1.25, 8),
    (np.full(1000, 0.25, np.float32), 0.5, 2000),
    (np.linspace(-1.5, 1.5, 3000).astype(np.float32), 1.25, 2400),
    (np.linspace(-1, 1, 5000), 1.0, 5000),  # float64 input
    (np.arange(-300, 300, dtype=np.int16), 1.25, 480),  # converted like any numbers
    (np.tile(np.array([0.5, -0.5, 0.25, 0.0], np.float32), 2500), 1.25, 8000),  # many equal costs
])
def test_edge_inputs(x, factor, n_out):
    out = h.tempo_wsola(x, factor=factor)
    assert out.dtype == np.float32 and out.shape == (n_out,)
    bits_equal(out, ref_tempo(x, factor))


def test_short_input_carries_samples_through_grid():
    x = np.array([0.5, 1.0, 7.0, -1.0, -3.0, 0.0, 1e-9, -0.3, 0.1, 0.2], np.float32)
    out = h.tempo_wsola(x)
    assert out.shape == (8,)
    np.testing.assert_array_equal(out[:5], [0.5, 1.0, 1.0, -1.0, -1.0])
    bits_equal(out, ref_from_buf(ref_to_buf(x[:8])))


@pytest.mark.parametrize("factor", [-1.25, float("inf"), -float("inf"), 1e30])
def test_factors_giving_no_output(factor):
    out = h.tempo_wsola(np.ones(5000, np.float32), factor)
    assert out.dtype == np.float32 and out.shape == (0,)


@pytest.mark.parametrize("factor, exc", [
    (0.0, ZeroDivisionError), (-0.0, ZeroDivisionError),
    (float("nan"), ValueError),          # NaN length: never cast, int() refuses it
    (1e-320, OverflowError),             # infinite length
])
def test_bad_factors_raise(factor, exc):
    with pytest.raises(exc):
        h.tempo_wsola(np.ones(100, np.float32), factor)


def test_nan_sample_follows_reference():
    x = speech_like(8000, 9)
    x[3000] = np.nan
    got = h.tempo_wsola(x)
    ref = ref_tempo(x)
    np.testing.assert_array_equal(got, ref)  # NaN positions and every other value
    assert np.isnan(got).any()


def test_arguments_by_keyword_and_errors_propagate():
    x = speech_like(3000, 1)
    bits_equal(h.tempo_wsola(x=x, factor=1.25), h.tempo_wsola(x))
    with pytest.raises(ValueError):
        h.tempo_wsola(["a", "b"])
    with pytest.raises(ValueError):
        h.tempo_wsola(np.zeros((2, 2000), np.float32))


@pytest.mark.parametrize("d", [
    np.array([0.0, 0.5, -0.5, 1.0, -1.0, 1.5, -1.5, 2 ** -24, 3 * 2 ** -25, -3 * 2 ** -25,
              np.inf, -np.inf, 1 - 2 ** -30]),
    np.random.default_rng(3).uniform(-1.2, 1.2, (4, 5, 6)).astype(np.float32),
    np.random.default_rng(4).uniform(-1.2, 1.2, 100)[::3],  # strided float64
    np.arange(-5, 5, dtype=np.int32),
])
def test_grid_conversions_match_reference(d):
    g = h._wsola_to_buf(d)
    bits_equal(g, ref_to_buf(d))
    assert g.shape == np.shape(d)
    bits_equal(h._wsola_from_buf(g), ref_from_buf(g))
    v = np.random.default_rng(5).uniform(-2e7, 2e7, np.shape(d))  # any reals, float64
    bits_equal(h._wsola_from_buf(v), ref_from_buf(v))


SPECIAL_PCM = [np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-45, 2 ** -24, 3 * 2 ** -25, -3 * 2 ** -25,
               2 ** -25, -(2 ** -25), 1 - 2 ** -30, 1.0, -1.0, 1.0000001, -1.0000001, 1e30, -1e30, 0.3]
SPECIAL_GRID = [np.nan, -np.inf, np.inf, 2.5, -2.5, 0.5, -0.5, 16777216.5, -16777216.5, 16777217.0,
                -16777217.0, 1e300, -1e300, 1e-300, -0.0, 8388607.5, 123.49999999999999]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("shift", range(4))
def test_grid_conversions_special_values_in_every_lane(dtype, shift):
    # the conversions run several values at a time: each special value is tried at
    # every position of a group, and in the scalar tail
    d = np.array([0.1] * shift + SPECIAL_PCM + [0.2] * 3, dtype)
    bits_equal(h._wsola_to_buf(d), ref_to_buf(d))
    with np.errstate(over="ignore"):   # 1e300 becomes inf in float32
        v = np.array([7.0] * shift + SPECIAL_GRID + [1.0] * 3).astype(dtype)
    bits_equal(h._wsola_from_buf(v), ref_from_buf(v))


@pytest.mark.parametrize("d", [0.5, np.float32(-0.25), np.array(1.5), np.zeros((0, 3))])
def test_grid_conversions_keep_the_shape(d):
    g = h._wsola_to_buf(d)
    assert g.shape == np.shape(d) and g.dtype == np.float32
    bits_equal(g, ref_to_buf(d))
    back = h._wsola_from_buf(g)
    assert back.shape == np.shape(d)
    bits_equal(back, ref_from_buf(g))


def test_grid_round_trip_values():
    x = np.array([0.5, 1.0, 2.0, -1.0, -2.0, np.inf, -np.inf], np.float32)
    np.testing.assert_array_equal(h._wsola_from_buf(h._wsola_to_buf(x)),
                                  [0.5, 1.0, 1.0, -1.0, -1.0, 1.0, -1.0])
    assert np.isnan(h._wsola_to_buf(np.array([np.nan]))).all()
    assert np.isnan(h._wsola_from_buf(np.array([np.nan], np.float32))).all()
