"""f16rt, zscore_native, _Np and bweights against numpy references."""
import math

import numpy as np
import pytest


def f16rt_ref(x):
    with np.errstate(over="ignore"):
        return np.asarray(x, np.float32).astype(np.float16).astype(np.float32)


def zscore_ref(buf):
    x = buf.astype(np.float64)
    mu = x.mean()
    var = ((x - mu) ** 2).mean()
    v = np.float32(var)
    d = np.float32(v + np.float32(1e-7))
    inv = np.float32(1.0) / np.sqrt(d)
    return ((x - mu) * np.float64(inv)).astype(np.float32)


def np_ref(x, p):
    x = np.asarray(x, np.float64)
    s = np.zeros_like(x)
    for k in range(p + 2):
        c = (-1) ** k * math.comb(p + 1, k)
        s = s + c * np.maximum(x - k, 0) ** p
    return s / math.factorial(p)


def bweights_ref(u, p=3):
    u = np.asarray(u, np.float64)
    if p == 0:  # the single control point takes the whole weight
        return np.where(np.isnan(u), u, 1.0)[..., None]
    if p == 3:
        w0 = (1 - u) ** 3
        w1 = 3 * u**3 - 6 * u**2 + 4
        w2 = -3 * u**3 + 3 * u**2 + 3 * u + 1
        w3 = u**3
        return np.stack([w0, w1, w2, w3], -1) / 6.0
    return np.stack([np_ref(u + p - k, p) for k in range(p + 1)], -1)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a.view(np.uint8), b.view(np.uint8))


# ---- f16rt ------------------------------------------------------------------


@pytest.mark.parametrize(
    "x, want",
    [(0.1, 0.0999755859375), (65504.0, 65504.0), (100000.0, np.inf), (-70000.0, -np.inf),
     (65519.99, 65504.0), (65520.0, np.inf), (2.0**-25, 0.0), (2.0**-24, 2.0**-24), (1.5 * 2.0**-25, 2.0**-24)],
)
def test_f16rt_worked_values(host, x, want):
    r = host.f16rt(x)
    assert r.dtype == np.float32 and r.shape == ()
    assert r == np.float32(want)


def test_f16rt_bit_exact_over_all_float32_classes(host):
    rng = np.random.default_rng(1)
    bits = rng.integers(0, 2**32, 200000, dtype=np.uint64).astype(np.uint32)
    x = bits.view(np.float32)
    specials = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, 6.1035156e-05, 6.097555e-05, 5.96e-08,
                         2049.0, 2051.0, 4097.0, -2.0**-24 * 1.5], np.float32)
    x = np.concatenate([x, specials, (rng.standard_normal(50000) * 1e-5).astype(np.float32)])
    r = host.f16rt(x)
    ref = f16rt_ref(x)
    nan = np.isnan(ref)
    assert np.array_equal(np.isnan(r), nan)
    assert same_bits(r[~nan], ref[~nan])


def test_f16rt_ties_at_every_shift(host):
    # Values exactly halfway between two halves (and one float32 ulp either side), for
    # every exponent and every number of dropped bits, normal and subnormal halves alike.
    rng = np.random.default_rng(2)
    sign_exp = np.arange(512, dtype=np.uint32) << 23
    lows = []
    for s in range(13, 25):
        tie = 1 << (s - 1)
        for delta in (-1, 0, 1):
            for kept in rng.integers(0, 1 << 23, 4, dtype=np.uint32):
                lows.append(((int(kept) >> s) << s | tie) + delta)
    bits = (sign_exp[:, None] | (np.array(lows, np.uint32) & 0x7FFFFF)[None, :]).ravel()
    x = bits.view(np.float32)
    r, ref = host.f16rt(x), f16rt_ref(x)
    nan = np.isnan(ref)
    assert np.array_equal(np.isnan(r), nan)
    assert same_bits(r[~nan], ref[~nan])


def test_f16rt_shapes_and_types(host):
    a = np.arange(12, dtype=np.float64).reshape(3, 4)[:, ::2] / 7
    r = host.f16rt(a)
    assert r.dtype == np.float32 and r.shape == (3, 2)
    assert same_bits(r, f16rt_ref(a))
    assert host.f16rt([1, 2, 3]).dtype == np.float32
    src = np.float32([0.1])
    assert host.f16rt(src) is not src and src[0] == np.float32(0.1)


# ---- zscore_native -------------------------------------------------------------


@pytest.mark.parametrize("n", [1, 2, 7, 8, 9, 15, 16, 127, 128, 129, 255, 1000, 4099, 32000])
def test_zscore_bit_exact_1d(host, n):
    rng = np.random.default_rng(n)
    for buf in (rng.standard_normal(n).astype(np.float32) * 0.3 + 0.01,
                rng.integers(-32768, 32767, n).astype(np.int16),
                rng.standard_normal(n) * 1e3 + 5e4):
        r = host.zscore_native(buf)
        assert same_bits(r, zscore_ref(buf))


@pytest.mark.parametrize(
    "make",
    [lambda r: r.standard_normal((37, 41)),
     lambda r: np.asfortranarray(r.standard_normal((33, 65)).astype(np.float32)),
     lambda r: r.standard_normal((50, 70))[::3, ::-2],
     lambda r: r.standard_normal((4, 5, 6)).transpose(2, 0, 1)],
)
def test_zscore_bit_exact_layouts(host, make):
    buf = make(np.random.default_rng(7))
    r = host.zscore_native(buf)
    ref = zscore_ref(buf)
    assert r.shape == buf.shape and r.dtype == np.float32
    assert np.array_equal(r, ref)


def test_zscore_constant_and_empty(host):
    r = host.zscore_native(np.full(10, 3.0))
    assert np.all(r == 0) and r.dtype == np.float32
    # a variance far below the epsilon: the scale is 1/sqrtf(1e-7f) = 3162.27783203125,
    # applied to the float64 centred values before the one rounding to float32
    x = np.array([0.0, 1e-12])
    r = host.zscore_native(x)
    assert r.tolist() == [np.float32(-5e-13 * 3162.27783203125), np.float32(5e-13 * 3162.27783203125)]
    assert np.array_equal(r, zscore_ref(x))
    e = host.zscore_native(np.zeros((0,), np.float32))
    assert e.shape == (0,) and e.dtype == np.float32


def test_zscore_needs_an_array(host):
    with pytest.raises(AttributeError):
        host.zscore_native([1.0, 2.0])


# ---- _Np and bweights ---------------------------------------------------------------


def test_np_cubic_worked_values(host):
    r = host._Np([-1.0, 0.0, 1.0, 2.0, 3.0, 4.0, 5.0], 3)
    assert np.allclose(r, [0, 0, 1 / 6, 2 / 3, 1 / 6, 0, 0], atol=1e-15)
    assert r.dtype == np.float64


@pytest.mark.parametrize("p", [0, 1, 2])
def test_np_low_degrees_bit_exact(host, p):
    # no pow() on these paths: products and sums in the stated order, exact
    x = np.concatenate([np.random.default_rng(p).uniform(-1, p + 2, 200), np.arange(-1.0, p + 3), [np.nan]])
    assert same_bits(host._Np(x, p), np_ref(x, p))
    u = np.random.default_rng(p + 10).random(50)
    assert same_bits(host.bweights(u, p), bweights_ref(u, p))


@pytest.mark.parametrize("p", [0, 1, 2, 3, 4, 5, 60])
def test_np_matches_reference(host, p):
    x = np.random.default_rng(p).uniform(-1, p + 2, (5, 40))
    # truncated powers cancel: compare on the scale of the largest term
    assert np.allclose(host._Np(x, p), np_ref(x, p), rtol=0, atol=1e-15 * (p + 2) ** p)


@pytest.mark.parametrize(
    "p, err",
    [(2.5, TypeError), ("3", TypeError), (None, TypeError), (-1, ValueError),
     # p! has no float64 form from 171 on: refused at once, whatever the degree's size
     (171, OverflowError), (10**9, OverflowError), (10**30, OverflowError)],
)
def test_np_degree_errors(host, p, err):
    with pytest.raises(err):
        host._Np([0.5], p)
    if p != 2.5 and p != "3" and p is not None:
        with pytest.raises(err):
            host.bweights([0.5], p)


def test_np_highest_degree(host):
    # 170! is the last factorial below the float64 range
    assert host._Np([0.5], 170)[0] == np_ref([0.5], 170)[0]


@pytest.mark.parametrize(
    "u, p, want",
    [(0.0, 3, [1 / 6, 4 / 6, 1 / 6, 0]), (0.5, 3, [1 / 48, 23 / 48, 23 / 48, 1 / 48]),
     (0.25, 1, [0.75, 0.25]), (0.0, 2, [0.5, 0.5, 0.0]), (0.5, 3.0, [1 / 48, 23 / 48, 23 / 48, 1 / 48])],
)
def test_bweights_worked_values(host, u, p, want):
    r = host.bweights(u, p)
    assert r.shape == (len(want),)
    assert np.allclose(r, want, atol=1e-15)


@pytest.mark.parametrize("p", [1, 2, 3, 4])
def test_bweights_reference_and_partition(host, p):
    u = np.random.default_rng(p).random(64)
    r = host.bweights(u, p)
    assert r.shape == (64, p + 1)
    assert np.allclose(r, bweights_ref(u, p), rtol=0, atol=1e-15 * (p + 2) ** p)
    assert np.allclose(r.sum(-1), 1.0)
    # the cubic closed form and the general path agree on [0, 1)
    if p == 3:
        gen = np.stack([np_ref(u + 3 - k, 3) for k in range(4)], -1)
        assert np.allclose(r, gen, atol=1e-12)


@pytest.mark.parametrize("u", [0.0, 0.25, 0.5, 0.999, 1.0 - 2.0**-53, 1.0, -0.5, 2.0])
@pytest.mark.parametrize("p", [0, np.int64(0)])
def test_bweights_degree_zero_gives_the_whole_weight(host, u, p):
    # truncated powers cancel to 0 at degree 0 (both terms are 0^0 = 1)
    r = host.bweights(u, p)
    assert r.dtype == np.float64 and r.shape == (1,) and r[0] == 1.0
    arr = host.bweights(np.full((2, 3), u), p)
    assert arr.shape == (2, 3, 1) and (arr == 1.0).all()


def test_bweights_degree_zero_keeps_nan(host):
    r = host.bweights([np.nan, 0.5], 0)
    assert np.isnan(r[0, 0]) and r[1, 0] == 1.0


def test_bweights_cubic_unclipped_outside_unit_interval(host):
    u = np.array([-0.5, 1.5])
    assert np.allclose(host.bweights(u), bweights_ref(u), rtol=1e-12)
    assert host.bweights(np.zeros((2, 3))).shape == (2, 3, 4)
