"""EyeMap and XCal against numpy references (np.interp semantics, bit for bit)."""
import numpy as np
import pytest


class EyeMapRef:
    def __init__(self, e_img, P, a_ref=0.73):
        self.P = np.asarray(P, np.float64)
        e = np.asarray(e_img, np.float64)
        self.knots, self.rest, self.A = [], [], []
        for s in (0, 1):
            m = np.maximum.accumulate(e[:, s])
            keep = np.r_[True, np.diff(m) > 0.001]
            self.knots.append((m[keep], self.P[keep]))
            self.rest.append(float(m[0]))
            self.A.append(float(m[-1] if m[-1] < a_ref else a_ref))

    def key(self, f):
        f = np.maximum(np.asarray(f, np.float64), 0.0)
        out = np.zeros((len(f), 2))
        for s in (0, 1):
            lv = self.rest[s] + f * (self.A[s] - self.rest[s])
            x, y = self.knots[s]
            out[:, s] = 0.0 if len(x) < 2 else np.interp(lv, x, y)
        return out


class XCalRef:
    def __init__(self, m, P):
        self.P = np.asarray(P, np.float64)
        n = len(self.P)
        self.a = np.arange(n, dtype=np.float64)
        self.b = np.r_[0.0, np.asarray(m, np.float64)]
        self.s = 0.5 * (self.a + self.b)

    def lev(self, p):
        return np.interp(np.asarray(p, np.float64), self.P, self.a)

    def par(self, lv):
        return np.interp(np.asarray(lv, np.float64), self.a, self.P)

    def keys(self, kfl):
        ss = 0.5 * (self.lev(kfl[:, 0]) + self.lev(kfl[:, 1]))
        keep = np.r_[True, np.diff(self.s) > 1e-9]
        la = np.interp(ss, self.s[keep], self.a[keep])
        lb = np.interp(la, self.a, self.b)
        return np.stack([self.par(la), self.par(lb)], 1)


def random_eyes(rng, n=12):
    e = np.cumsum(rng.uniform(-0.01, 0.05, (n, 2)), axis=0) + 0.1
    P = np.sort(rng.uniform(-1, 1, n))
    return e, P


def test_eyemap_matches_reference(host):
    rng = np.random.default_rng(2)
    for trial in range(30):
        e, P = random_eyes(rng, int(rng.integers(1, 20)))
        a_ref = float(rng.uniform(0.1, 1.0))
        em, ref = host.EyeMap(e, P, a_ref), EyeMapRef(e, P, a_ref)
        assert em.rest == ref.rest and em.A == ref.A
        for (x, y), (rx, ry) in zip(em.knots, ref.knots):
            assert np.array_equal(x, rx) and np.array_equal(y, ry)
        f = np.r_[rng.uniform(-0.5, 1.5, 40), 0.0, 1.0, -0.0]
        got = em.key(f)
        assert got.dtype == np.float64 and got.shape == (len(f), 2)
        assert np.array_equal(got, ref.key(f))


def test_eyemap_knot_rules(host):
    P = np.arange(5.0)
    e = np.zeros((5, 2))
    e[:, 0] = [0.2, 0.2005, 0.201, 0.2015, 0.202]   # slow rise: one knot only
    e[:, 1] = [0.2, 0.2 + 2.0**-10, 0.3, 0.25, 0.4]  # a rise below 0.001 adds no knot; dips flatten
    em = host.EyeMap(e, P)
    assert em.knots[0][0].tolist() == [0.2]
    assert em.key([0.0, 0.5, 3.0])[:, 0].tolist() == [0.0, 0.0, 0.0]
    x, y = em.knots[1]
    assert x.tolist() == [0.2, 0.3, 0.4] and y.tolist() == [0.0, 2.0, 4.0]
    assert em.rest == [0.2, 0.2] and em.A[1] == 0.4
    assert np.array_equal(em.key(np.linspace(-1, 2, 31)), EyeMapRef(e, P).key(np.linspace(-1, 2, 31)))
    k = em.key([-1.0, 0.0, 1.0, 10.0])[:, 1]
    assert k[0] == k[1] == 0.0 and k[3] == 4.0
    assert np.array_equal(host.EyeMap(e, P, a_ref=0.1).key([0.0, 0.7, 2.0])[:, 1], [0.0, 0.0, 0.0])
    # a rise of exactly 0.001 (0.002 - 0.001 is exact) is not more than 0.001
    exact = host.EyeMap(np.array([[0.0, 0.0], [0.001, 0.0], [0.002, 0.0011]]), [0.0, 1.0, 2.0])
    assert exact.knots[0][0].tolist() == [0.0] and exact.knots[1][0].tolist() == [0.0, 0.0011]


@pytest.mark.parametrize(
    "e_shape, nP, err",
    [((6, 2), 5, IndexError),   # fewer eye parameters than calibration rows
     ((6, 2), 7, IndexError),   # more: would pair calibration with the wrong parameters
     ((0, 2), 0, IndexError),
     ((6, 1), 6, IndexError),
     ((6,), 6, IndexError),
     ((6, 2, 2), 6, IndexError)],
)
def test_eyemap_shape_errors(host, e_shape, nP, err):
    with pytest.raises(err):
        host.EyeMap(np.ones(e_shape), np.arange(float(nP)))


def test_eyemap_key_of_scalar_fails(host):
    em = host.EyeMap(np.array([[0.1, 0.1], [0.5, 0.5]]), [0.0, 1.0])
    with pytest.raises(TypeError):
        em.key(0.5)


def test_xcal_matches_reference(host):
    rng = np.random.default_rng(4)
    for n in (1, 2, 3, 8, 20):
        P = np.sort(rng.uniform(-1, 1, n))
        m = np.sort(rng.uniform(0, n - 1, n - 1)) if n > 1 else np.zeros(0)
        if n > 3:
            m[1] = m[0]  # equal neighbours: a flat stretch of s
        xc, ref = host.XCal(m, P), XCalRef(m, P)
        assert xc.E == n
        for k in ("P", "a", "b", "s"):
            assert np.array_equal(getattr(xc, k), getattr(ref, k))
        p = rng.uniform(-1.5, 1.5, 30)
        assert np.array_equal(xc.lev(p), ref.lev(p))
        lv = rng.uniform(-1, n, 30)
        assert np.array_equal(xc.par(lv), ref.par(lv))
        kfl = rng.uniform(-1.2, 1.2, (25, 3))
        got = xc.keys(kfl)
        assert got.shape == (25, 2) and np.array_equal(got, ref.keys(kfl))


def test_xcal_worked_cases(host):
    P = np.linspace(-1, 1, 8)
    xc = host.XCal(np.arange(1.0, 8.0), P)  # b equals a
    kfl = np.array([[-1.0, 1.0], [0.2, 0.4]])
    k = xc.keys(kfl)
    mean = 0.5 * (xc.lev(kfl[:, 0]) + xc.lev(kfl[:, 1]))
    assert np.allclose(k[:, 0], xc.par(mean)) and np.allclose(k[:, 1], xc.par(mean))
    assert xc.lev(-5.0) == 0.0 and xc.lev(5.0) == 7.0
    assert xc.par(-1.0) == -1.0 and xc.par(9.0) == 1.0
    one = host.XCal([], [0.25])
    assert one.keys(np.array([[0.0, 1.0], [5.0, -5.0]])).tolist() == [[0.25, 0.25], [0.25, 0.25]]


@pytest.mark.parametrize(
    "m, P, count",
    [(np.arange(6.0), np.arange(8.0), 7), (np.r_[np.arange(6.0), np.nan], np.arange(8.0), 7),
     (np.r_[np.arange(6.0), np.inf], np.arange(8.0), 7), (np.ones((7, 1)), np.arange(8.0), 7),
     (None, np.arange(8.0), 7), ([], [], -1)],
)
def test_xcal_calibration_errors(host, m, P, count):
    with pytest.raises(ValueError, match=rf"^xcal_m must hold {count} finite floats$"):
        host.XCal(m, P)


def test_interp_repeated_knots_resolve_like_numpy(host):
    # non-strict knots: the result depends on numpy's guessed bisection
    rng = np.random.default_rng(9)
    for n in (2, 4, 5, 9, 17, 40):
        P = np.sort(rng.integers(0, 6, n).astype(np.float64))
        xc = host.XCal(np.zeros(n - 1), P)
        p = np.r_[rng.uniform(-1, 7, 200), P, np.nan]
        assert np.array_equal(xc.lev(p), np.interp(p, P, np.arange(n, dtype=np.float64)), equal_nan=True)
