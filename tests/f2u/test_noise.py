"""NumpyNoise, RecNoise and AR2Noise against numpy references."""
import numpy as np
import pytest

from f2u_reference import AR2Ref

# ---- NumpyNoise -------------------------------------------------------------------


def script(rng):
    steps = []
    for i in range(60):
        kind = ("code", "u", "x0", "u", "x0", "code")[int(rng.integers(0, 6))]
        if kind == "code":
            K = int(rng.choice([1, 2, 5, 8, 17, 130, 300]))  # long rows: the weight sum is pairwise
            steps.append(("code", rng.random((int(rng.integers(1, 3)), K)) + 0.01))
        elif kind == "u":
            steps.append(("u", None))
        else:
            steps.append(("x0", int(rng.integers(0, 40))))
    return steps


def run_ref(seed, steps):
    g = np.random.default_rng(seed)
    out = []
    for kind, arg in steps:
        if kind == "code":
            w = np.asarray(arg, np.float64)[0]
            out.append(int(g.choice(len(w), p=w / w.sum())))
        elif kind == "u":
            out.append(np.array([g.random()], np.float32))
        else:
            out.append(g.standard_normal((1, arg)).astype(np.float32))
    return out


def run_ours(src, steps):
    out = []
    for kind, arg in steps:
        out.append(src.code(arg) if kind == "code" else src.u() if kind == "u" else src.x0(arg))
    return out


@pytest.mark.parametrize("seed", [0, 1, 12345, 2**40 + 7])
def test_numpy_noise_equals_default_rng(host, seed):
    steps = script(np.random.default_rng(seed % 1000))
    got, ref = run_ours(host.NumpyNoise(seed), steps), run_ref(seed, steps)
    for (kind, _), a, b in zip(steps, got, ref):
        if kind == "code":
            assert type(a) is int and a == b
        else:
            assert a.dtype == np.float32 and a.shape == b.shape and np.array_equal(a, b)


def test_numpy_noise_order_matters_and_seed_conversion(host):
    a, b = host.NumpyNoise(3), host.NumpyNoise(3)
    a.u()
    assert not np.array_equal(a.x0(4), b.x0(4))  # one stream: u() shifts the draws after it
    assert np.array_equal(host.NumpyNoise(3.9).x0(5), host.NumpyNoise(3).x0(5))
    with pytest.raises(ValueError):
        host.NumpyNoise(-1)
    assert isinstance(host.NumpyNoise(0).rng, np.random.Generator)


def test_numpy_noise_code_reads_row_zero_only(host):
    n = host.NumpyNoise(11)
    draws = [n.code([[2, 6], [100, 0]]) for _ in range(4000)]
    assert set(draws) == {0, 1}
    assert 0.2 < draws.count(0) / 4000 < 0.3
    with pytest.raises(ValueError):
        host.NumpyNoise(0).code([[0.0, 0.0]])
    with pytest.raises(ValueError):
        host.NumpyNoise(0).code([[1.0, -1.0, 1.0]])


# ---- RecNoise ---------------------------------------------------------------------------


def test_rec_noise_cursor_table(host):
    rec = {"code": np.array([3, 1, 4]), "u": [0.5, np.array([[0.25]]), 0.125], "x0": np.arange(6.0).reshape(2, 3),
           "other": None}
    r = host.RecNoise(rec)
    calls = [("u", 0.5, (0, 1, 0)), ("code", 3, (1, 1, 0)), ("u", 0.25, (1, 2, 0)), ("x0", [0, 1, 2], (1, 2, 1)),
             ("u", 0.125, (1, 3, 1)), ("code", 1, (2, 3, 1)), ("x0", [3, 4, 5], (2, 3, 2)), ("code", 4, (3, 3, 2))]
    for kind, want, cursors in calls:
        if kind == "code":
            v = r.code(None)
            assert type(v) is int and v == want
        elif kind == "u":
            v = r.u()
            assert v.dtype == np.float32 and v.shape == (1,) and v[0] == want
        else:
            v = r.x0(3)
            assert v.dtype == np.float32 and v.shape == (1, 3) and v[0].tolist() == want
        assert (r.ic, r.iu, r.ix) == cursors
    with pytest.raises(IndexError):
        r.code([[1.0]])
    assert r.ic == 3
    # replacing the mapping's entries later does not reach the source
    rec["u"] = [9.0]
    with pytest.raises(IndexError):
        r.u()


def test_rec_noise_bad_entries_keep_cursor(host):
    r = host.RecNoise({"code": ["x", 2], "u": [[1.0, 2.0], 3.0], "x0": [np.zeros(4), np.zeros(3)]})
    with pytest.raises(ValueError):
        r.u()
    assert r.iu == 0
    with pytest.raises(ValueError):
        r.x0(3)
    assert r.ix == 0
    with pytest.raises(ValueError):
        r.code(None)
    assert r.ic == 0
    with pytest.raises(KeyError):
        host.RecNoise({"code": [], "u": []})


# ---- AR2Noise ----------------------------------------------------------------------------


RES = {"ar": [{"a1": 1.6, "a2": -0.7, "sig": 0.1}, {"a1": 0.5, "a2": 0.2, "sig": 2.0, "x": 1},
              {"a1": -0.3, "a2": 0.0, "sig": 1e-3}]}


@pytest.fixture(scope="module")
def ar2_ref_rows():
    return AR2Ref(RES, 77).rows(0, 5000)


def test_ar2_matches_reference_bit_for_bit(host, ar2_ref_rows):
    a = host.AR2Noise(RES, 77)
    assert a.ar == [(1.6, -0.7, 0.1), (0.5, 0.2, 2.0), (-0.3, 0.0, 1e-3)]
    assert a.buf.shape == (0, 3) and a.b0 == 0
    got = a.rows(0, 5000)
    assert got.dtype == np.float64 and got.shape == (5000, 3)
    assert np.array_equal(got, ar2_ref_rows)
    b, ref = host.AR2Noise(RES, 77), AR2Ref(RES, 77)
    assert b.state == ref.state  # after the burn-in


def test_ar2_split_requests_equal_one_request(host, ar2_ref_rows):
    a = host.AR2Noise(RES, 77)
    parts = [a.rows(0, 10), a.rows(10, 3000), a.rows(3000, 3000), a.rows(3000, 5000)]
    assert np.array_equal(np.concatenate(parts), ar2_ref_rows)
    # overlapping and repeated requests see the same stored rows
    assert np.array_equal(a.rows(2999, 3001), ar2_ref_rows[2999:3001])


@pytest.mark.parametrize("seeds", [(5, 5 + 2**32), (-1, 2**32 - 1), (0, -(2**32))])
def test_ar2_seed_reduction(host, seeds):
    r = [host.AR2Noise(RES, s).rows(0, 50) for s in seeds]
    assert np.array_equal(r[0], r[1])
    assert np.array_equal(r[0], AR2Ref(RES, seeds[0]).rows(0, 50))


def test_ar2_growth_in_blocks(host):
    a = host.AR2Noise(RES, 1)
    assert a.rows(0, 0).shape == (0, 3) and a.buf.shape[0] == 0
    a.rows(0, 1)
    assert a.buf.shape[0] == 1024
    a.rows(0, 1025)
    assert a.buf.shape[0] == 2048
    a._grow(2049)
    assert a.buf.shape[0] == 3072


def test_ar2_release_rule(host):
    a = host.AR2Noise(RES, 2)
    a.rows(4096, 4097)  # 4096 rows before the start is not more than 4096
    assert a.b0 == 0
    assert a.rows(0, 1).shape == (1, 3)
    b = host.AR2Noise(RES, 2)
    keep = b.rows(4097, 4098)
    assert b.b0 == 4097
    with pytest.raises(IndexError, match=r"^AR2Noise: rows already released$"):
        b.rows(4096, 4100)
    assert b.b0 == 4097
    got = b.rows(4097, 4100)
    assert np.array_equal(got[:1], keep)
    assert np.array_equal(got, AR2Ref(RES, 2).rows(4097, 4100))
    assert b.buf.shape[0] == 5120 - 4097


def test_ar2_refusals_generate_nothing(host):
    a = host.AR2Noise(RES, 3)
    with pytest.raises(IndexError, match="already released"):
        a.rows(-1, 5)
    with pytest.raises(ValueError):
        a.rows(10, 5)  # inverted range: refused before any growth
    assert a.buf.shape == (0, 3)
    with pytest.raises(TypeError):
        host.AR2Noise(RES, 1.5)
    with pytest.raises(KeyError):
        host.AR2Noise({"ar": [{"a1": 1, "a2": 0}]}, 0)


def test_ar2_zero_channels(host):
    a = host.AR2Noise({"ar": []}, 0)
    assert a.rows(3, 10).shape == (7, 0)


def test_ar2_burn_in_uses_200_draws(host):
    res = {"ar": [{"a1": 0.0, "a2": 0.0, "sig": 1.0}]}  # white noise: rows are the draws themselves
    s = (9 ^ 0x5A5A5A5A) % 2**32
    draws = np.random.default_rng([s, 0]).standard_normal(200 + 3)
    assert np.array_equal(host.AR2Noise(res, 9).rows(0, 3)[:, 0], draws[200:])


@pytest.mark.parametrize("first", [None, (0, 10), (3000, 5000)])
def test_ar2_far_ahead_request_keeps_memory_bounded(host, first):
    a = host.AR2Noise(RES, 8)
    if first:
        a.rows(*first)
    got = a.rows(20000, 20005)
    assert np.array_equal(got, AR2Ref(RES, 8).rows(20000, 20005))
    assert a.b0 == 20000 and a.buf.shape == (20480 - 20000, 3)
    with pytest.raises(IndexError, match="already released"):
        a.rows(19999, 20001)
    assert np.array_equal(a.rows(20000, 21000)[:5], got)


@pytest.mark.parametrize("res", [{"ar": []}, RES])
def test_ar2_oversized_requests_fail_cleanly(host, res):
    a = host.AR2Noise(res, 0)
    C = len(res["ar"])
    with pytest.raises((ValueError, MemoryError, OverflowError)):
        a.rows(0, 2**62)  # no memory holds this: refused before any row is generated
    with pytest.raises(OverflowError):
        a.rows(0, 2**64)
    assert a.buf.shape == (0, C) and a.b0 == 0
    assert a.rows(0, 3).shape == (3, C)


class _Alarm(Exception):
    pass


@pytest.mark.parametrize("held", [(0, 0), (0, 3000), (6000, 6100)])
def test_ar2_interrupted_far_ahead_request_leaves_the_source_unchanged(host, held):
    # 2**40 rows are hours of recursion: a signal handler that raises ends the
    # request, and the source is as it was before the call (held rows, lags,
    # generators), so every later request gives what it would have given
    import signal
    import threading

    a = host.AR2Noise(RES, 5)
    a.rows(*held)
    before = (a.b0, a.buf, a.state, [g.bit_generator.state for g in a.rng])
    inside = threading.Event()

    def ring(signum, frame):
        try:
            a.state  # refused while a request runs on the source
        except RuntimeError:
            inside.set()
            raise _Alarm
        # the timer rang before the request began: wait for the next ring

    old = signal.signal(signal.SIGALRM, ring)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        with pytest.raises(_Alarm):
            a.rows(2**40, 2**40 + 1)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert inside.is_set()
    assert a.b0 == before[0]
    np.testing.assert_array_equal(a.buf, before[1])
    assert a.state == before[2]
    assert [g.bit_generator.state for g in a.rng] == before[3]
    fresh = host.AR2Noise(RES, 5)
    fresh.rows(*held)
    np.testing.assert_array_equal(a.rows(held[0], 9000), fresh.rows(held[0], 9000))


def test_ar2_zero_channels_far_ahead_is_immediate(host):
    a = host.AR2Noise({"ar": []}, 0)
    assert a.rows(2**40, 2**40 + 5).shape == (5, 0)  # counts blocks, draws nothing
    assert a.b0 == 2**40 and a.buf.shape == (1024, 0)  # the block holding rows 2**40 ..
