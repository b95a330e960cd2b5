"""tau_feat, path_delta and rotvec_to_rotmat."""
import numpy as np
import pytest

TBINS = [0, 4, 8, 12, 16, 20, 25, 30, 38, 50, 63, 88, 125, 1000000000]


def tau_ref(tau, started):
    nb = len(TBINS) - 1
    x = np.zeros(2 * nb, np.float32)
    k = int(np.searchsorted(TBINS, tau, side="right")) - 1
    x[k + nb if started else k] = 1
    return x


def path_delta_ref(p, d, c, u):
    p = np.atleast_1d(np.asarray(p, np.float64))
    out = np.zeros((len(p), d.shape[1]))
    for i, q in enumerate(p):
        if q <= 0:
            out[i] = q / max(c[1], 1e-9) * d[1]
        elif q >= c[-1]:
            out[i] = d[-1] + (q - c[-1]) * u
        else:
            j = int(np.searchsorted(c, q, side="left"))
            w = (q - c[j - 1]) / max(c[j] - c[j - 1], 1e-12)
            out[i] = d[j - 1] + w * (d[j] - d[j - 1])
    return out


def rotmat_ref(w):
    w = np.asarray(w, np.float64).reshape(-1, 3)
    th = np.linalg.norm(w, axis=1)[:, None, None]
    K = np.zeros((len(w), 3, 3))
    K[:, 0, 1], K[:, 0, 2], K[:, 1, 0] = -w[:, 2], w[:, 1], w[:, 2]
    K[:, 1, 2], K[:, 2, 0], K[:, 2, 1] = -w[:, 0], -w[:, 1], w[:, 0]
    small = th < 1e-8
    ths = np.where(small, 1.0, th)
    A = np.where(small, 1.0, np.sin(ths) / ths)
    B = np.where(small, 0.5, (1 - np.cos(ths)) / ths**2)
    return np.eye(3) + A * K + B * (K @ K)


@pytest.mark.parametrize(
    "tau, started, idx",
    [(0, False, 0), (3.9, False, 0), (4, False, 1), (10, True, 15), (125, True, 25), (124.999, False, 11),
     (999999999, False, 12), (np.int64(30), True, 20), (np.float32(37.5), False, 7)],
)
def test_tau_feat_bins(host, tau, started, idx):
    x = host.tau_feat(tau, started)
    assert x.dtype == np.float32 and x.shape == (26,)
    assert np.flatnonzero(x).tolist() == [idx] and x[idx] == 1.0
    assert np.array_equal(x, tau_ref(tau, started))


def test_tau_feat_every_age_matches_reference(host):
    for tau in range(0, 200):
        for started in (0, 1, [], "x"):
            assert np.array_equal(host.tau_feat(tau, started), tau_ref(tau, bool(started)))


@pytest.mark.parametrize("tau", [-1, -0.5, float("nan"), 1000000000, float("inf")])
def test_tau_feat_outside_domain_raises(host, tau):
    # numpy would wrap -1 to the last element, or write the other half's bin
    with pytest.raises(ValueError):
        host.tau_feat(tau, False)


def test_path_delta_worked_example(host):
    c = np.array([0.0, 1.0, 3.0])
    d = np.array([[0.0], [2.0], [4.0]])
    p = [-0.5, 0, 0.5, 1, 2, 3, 3.5]
    r = host.path_delta(p, d, c, 10)
    assert r.dtype == np.float64 and r.shape == (7, 1)
    assert r[:, 0].tolist() == [-1.0, 0.0, 1.0, 2.0, 3.0, 4.0, 9.0]
    assert host.path_delta(0.5, d, c, 10).shape == (1, 1)


def test_path_delta_random_exact(host):
    rng = np.random.default_rng(3)
    for trial in range(60):
        K, M = int(rng.integers(2, 12)), int(rng.integers(1, 5))
        # float32/float16 tables: numpy forms their differences in that type
        c = np.sort(rng.uniform(0, 5, K)).astype((np.float64, np.float32, np.float16)[trial % 3])
        c[0] = -rng.uniform(0, 1) if trial % 3 else 0.0
        if trial % 4 == 0 and K > 3:
            c[2] = c[1]  # a repeated knot
        d = (rng.standard_normal((K, M)) * 10).astype((np.float64, np.float32, np.float16)[trial % 4 % 3])
        u = rng.standard_normal(M) if trial % 5 else float(rng.standard_normal())
        p = np.concatenate([rng.uniform(-2, 7, 50), c, [0.0]])
        r = host.path_delta(p, d, c, u)
        assert np.array_equal(r, path_delta_ref(p, d, c, u))


def test_path_delta_tiny_first_knot_floor(host):
    c = np.array([0.0, 1e-12, 1.0])
    d = np.array([[0.0], [1.0], [2.0]])
    assert np.array_equal(host.path_delta([-1e-9], d, c, 0.0), path_delta_ref([-1e-9], d, c, 0.0))


@pytest.mark.parametrize(
    "p, d, c, err",
    [([0.5], [[0.0]], [0.0], ValueError),                      # one knot: rule 1 would read c[1]
     ([0.5], [[0.0], [1.0]], [0.5, 1.0], IndexError),           # c[0] > 0: j = 0 would wrap to c[-1]
     ([float("nan")], [[0.0], [1.0]], [0.0, 1.0], IndexError),  # NaN position: j = K
     ([0.5], [[0.0]], [0.0, 1.0], IndexError),                  # fewer delta rows than knots
     ([2.0], [[0.0], [1.0], [5.0]], [0.0, 1.0], ValueError),    # more rows: which one is the last?
     ([0.5], [0.0, 1.0], [0.0, 1.0], IndexError)],              # one-dimensional d
)
def test_path_delta_refuses_out_of_table_lookups(host, p, d, c, err):
    with pytest.raises(err):
        host.path_delta(p, np.asarray(d, np.float64), np.asarray(c, np.float64), 1.0)


def test_rotvec_to_rotmat(host):
    rng = np.random.default_rng(5)
    w = rng.standard_normal((50, 3)) * 2
    w[0] = 0
    w[1] = [3e-9, -2e-9, 1e-9]
    r = host.rotvec_to_rotmat(w)
    assert r.shape == (50, 3, 3) and r.dtype == np.float64
    assert np.allclose(r, rotmat_ref(w), rtol=1e-13, atol=1e-15)
    assert np.array_equal(r[0], np.eye(3))
    K = rotmat_ref(w[1:2])[0]
    assert np.allclose(r[1], K, rtol=0, atol=1e-17)
    z = host.rotvec_to_rotmat([0, 0, np.pi / 2])
    assert z.shape == (1, 3, 3)
    assert np.allclose(z[0], [[0, -1, 0], [1, 0, 0], [0, 0, 1]], atol=1e-15)
    assert host.rotvec_to_rotmat(np.arange(6.0)).shape == (2, 3, 3)
    with pytest.raises(ValueError, match="reshape"):
        host.rotvec_to_rotmat([1.0, 2.0])
