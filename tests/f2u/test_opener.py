import types

import numpy as np
import pytest

import heads_motion_fixtures as fx

EYE4 = np.arange(12) + 40


def _state(o):
    keys = ("fb", "on", "n_on", "last", "th", "cb", "n", "done", "prev", "NX", "amin")
    return {k: getattr(o, k) for k in keys}


def _same(ours, ref):
    st_o, st_r = _state(ours), _state(ref)
    if st_o["prev"] is not None:
        st_o["prev"] = tuple(int(x) for x in st_o["prev"])
    assert st_o == st_r
    np.testing.assert_array_equal(ours.f, ref.f)
    if ref.cs is None:
        assert ours.cs is None and ours.cs_last is None
    else:
        np.testing.assert_array_equal(ours.cs, ref.cs)
        np.testing.assert_array_equal(ours.cs_last, ref.cs_last)
    np.testing.assert_array_equal(ours.pend, ref.pend)
    assert ours.rng.bit_generator.state == ref.rng.bit_generator.state


def _pair(host, *, xb=False, g=None, seed=7, shift=0.25, keep_onsets=64, ehyst=0.95, P=None):
    g = g or fx.params()
    P = np.linspace(0.0, 2.0, 6) if P is None else P
    d, c = fx.path_tables()
    args = (g, fx.EyeMapStub(), P, d, c, seed, shift)
    if xb:
        xc = fx.XCalStub()
        ours = host.F3XBOpen(*args, fx.TableNoise(), ehyst=ehyst, keep_onsets=keep_onsets, xc=xc)
        ref = fx.OpenRef(*args, fx.TableNoise(), ehyst, keep_onsets, xc=xc, path_delta=host.path_delta)
    else:
        ours = host.F3COpen(*args, fx.TableNoise(), ehyst, keep_onsets)
        ref = fx.OpenRef(*args, fx.TableNoise(), ehyst, keep_onsets, path_delta=host.path_delta)
    return ours, ref


def _block(rng, T, K=3):
    return (rng.standard_normal((T, 69)).astype(np.float32), rng.standard_normal((T, K - 1)), rng.standard_normal(T))


def _add_pop_both(ours, ref, rng, sizes):
    """Feed both openers the same blocks, popping after each: results must match to the bit."""
    for T in sizes:
        blk = _block(rng, T)
        ours.add(*blk)
        ref.add(*blk)
        for a, w in zip(ours.pop(EYE4), ref.pop(EYE4), strict=True):
            assert a.dtype == w.dtype
            np.testing.assert_array_equal(a, w)


@pytest.mark.parametrize("xb", [False, True])
@pytest.mark.parametrize("q, keep_onsets, b", [(0.3, 64, -1.0), (None, 2, 0.5), (0.9, 0, 2.0), (0.5, 2**70, 1.0)])
def test_stream_matches_reference(host, xb, q, keep_onsets, b):
    ours, ref = _pair(host, xb=xb, g=fx.params(q=q, b=b), keep_onsets=keep_onsets)
    rng = np.random.default_rng(1)
    for i, T in enumerate([5, 0, 17, 1, 40, 3, 60, 2]):
        blk = _block(rng, T)
        ours.add(*blk)
        ref.add(*blk)
        if i % 2 == 1 or T == 2:
            got, want = ours.pop(EYE4), ref.pop(EYE4)
            if want is None:
                assert got is None
            else:
                for a, w in zip(got, want):
                    assert a.dtype == w.dtype
                    np.testing.assert_array_equal(a, w)
        _same(ours, ref)
    assert ours.n_on > 0
    assert len(ours.on) == min(ours.n_on, keep_onsets)


def test_prefix_sums_trim_past_2048_rows(host):
    ours, ref = _pair(host, g=fx.params(b=-2.0))
    rng = np.random.default_rng(2)
    cbs = []
    for T in [1000, 1000, 55, 1, 1, 300]:
        blk = _block(rng, T)
        ours.add(*blk)
        ref.add(*blk)
        ours.pop(EYE4)
        ref.pop(EYE4)
        _same(ours, ref)
        cbs.append(ours.cb)
    # lo = th + amin - 1 = th - 7: the first trim happens once lo - cb reaches 2049
    assert cbs == [0, 0, 0, 2049, 2049, 2049]
    assert len(ours.cs) == ours.n - ours.cb + 1


def test_split_pops_equal_one_pop(host):
    # windows that never reach past the evaluated row: the onsets do not
    # depend on how the rows arrive
    g = fx.params(aw=((-6, 0), (-2, 1)), b=0.5)
    a, _ = _pair(host, g=g)
    b, _ = _pair(host, g=g)
    rows, fp, fe = _block(np.random.default_rng(3), 8)
    a.add(rows, fp, fe)
    whole = a.pop(EYE4)
    b.add(rows[:3], fp[:3], fe[:3])
    first = b.pop(EYE4)
    b.add(rows[3:], fp[3:], fe[3:])
    second = b.pop(EYE4)
    for i in range(3):
        np.testing.assert_array_equal(np.concatenate([first[i], second[i]]), whole[i])
    assert b.noise.asked == [(0, 3), (3, 8)]


def test_rows_pass_through_except_eye_columns(host):
    ours, _ = _pair(host)
    rows, fp, fe = _block(np.random.default_rng(4), 6)
    ours.add(rows, fp, fe)
    out, L, R = ours.pop(EYE4)
    others = np.setdiff1d(np.arange(69), EYE4)
    np.testing.assert_array_equal(out[:, others], rows[:, others])
    assert not np.shares_memory(out, ours.pend) and ours.pend.shape == (0, 69)
    assert L.dtype == np.int64 and L.shape == (6,)


def test_pop_with_nothing_pending(host):
    ours, _ = _pair(host)
    assert ours.pop(EYE4) is None
    assert ours.cs is None and ours.prev is None and ours.done == 0
    ours.add(*_block(np.random.default_rng(5), 4))
    assert ours.pop(EYE4) is not None
    prev = ours.prev
    assert ours.pop(EYE4) is None
    assert ours.prev == prev and ours.done == 4


def _fixed_keys(opener, keys):
    opener.emap = types.SimpleNamespace(rest=(0.3, 0.5), key=lambda track: np.asarray(keys, np.float64))


@pytest.mark.parametrize("P, prev, key, want", [
    ([0.0, 1.0], None, 0.5, 0),  # halfway: the lower index
    ([0.0, 1.0, 2.0, 2.205], (2, 2), 2.105, 2),  # 0.105 <= 0.10 / 0.95: stays
    ([0.0, 1.0, 2.0, 2.206], (2, 2), 2.106, 3),  # 0.106 > 0.10 / 0.95: moves
    ([0.0, 1.0, 2.0, 3.0], (2, 2), 3.0, 3),  # best at distance 0: prev stays only at 0 too
    ([0.0, 1.0, 3.0, 3.0], (2, 2), 3.0, 2),
    ([0.0, 1.0, 2.0], (-1, -1), 1.9, 2),  # a negative previous index wraps as numpy's does
])
def test_key_hysteresis(host, P, prev, key, want):
    ours, _ = _pair(host, P=np.array(P))
    _fixed_keys(ours, [[key, key]])
    ours.prev = prev
    ours.add(*_block(np.random.default_rng(6), 1))
    _, L, R = ours.pop(EYE4)
    assert L.tolist() == R.tolist() == [want]
    assert tuple(int(x) for x in ours.prev) == (want, want)


def test_hysteresis_carries_across_rows_and_pops(host):
    ours, _ = _pair(host, P=np.array([0.0, 1.0, 2.0]))
    seq = [0.4, 0.51, 0.53, 0.6, 1.51, 1.53]
    _fixed_keys(ours, [[x, 2.0 - x] for x in seq[:3]])
    ours.add(*_block(np.random.default_rng(6), 3))
    _, L1, R1 = ours.pop(EYE4)
    _fixed_keys(ours, [[x, 2.0 - x] for x in seq[3:]])
    ours.add(*_block(np.random.default_rng(7), 3))
    _, L2, R2 = ours.pop(EYE4)
    # 0.51 stays at 0 (0.51 <= 0.49 / 0.95); 0.53 moves; 1.51 stays at 1 across the pop; 1.53 moves
    assert L1.tolist() + L2.tolist() == [0, 0, 1, 1, 1, 2]
    assert R1.tolist() + R2.tolist() == [2, 2, 1, 1, 1, 0]


def test_xb_returns_equal_distinct_arrays(host):
    ours, _ = _pair(host, xb=True)
    ours.add(*_block(np.random.default_rng(8), 5))
    rows, L, R = ours.pop(EYE4)
    assert L is not R and not np.shares_memory(L, R)
    np.testing.assert_array_equal(L, R)
    assert ours.prev[0] == ours.prev[1] == L[-1]
    assert isinstance(ours, host.F3COpen) and host.F3XBOpen.__mro__[1] is host.F3COpen


def test_construction(host):
    g = fx.params(n_clips=9)
    ours, ref = _pair(host, g=g, seed=-5)
    np.testing.assert_array_equal(ours.pool_f, ref.pool_f)
    np.testing.assert_array_equal(ours.pool_s, ref.pool_s)
    assert ours.rng.bit_generator.state == np.random.default_rng(2**32 - 5).bit_generator.state
    assert len(ours.f) == 4096 + 5 and ours.pend.shape == (0, 69) and ours.pend.dtype == np.float32
    assert ours.P.dtype == np.float64 and ours.amin == -6 and ours.ehyst == 0.95 and ours.keep_onsets == 64
    assert list(vars(ours)) == [
        "g", "emap", "P", "d", "c", "shift", "ehyst", "noise", "rng", "pool_f", "pool_s", "NX", "B", "V", "aw",
        "amin", "f", "fb", "on", "n_on", "last", "th", "keep_onsets", "cs_last", "cs", "cb", "pend", "n", "done",
        "prev"]
    xb, _ = _pair(host, xb=True)
    assert list(vars(xb)) == list(vars(ours)) + ["xc"]


def test_construction_failures(host):
    d, c = fx.path_tables()
    args = lambda g: (g, fx.EyeMapStub(), [0.0, 1.0], d, c, 1, 0.0, fx.TableNoise())  # noqa: E731
    with pytest.raises(TypeError):
        host.F3XBOpen(*args(fx.params()))
    with pytest.raises(ValueError):
        host.F3COpen(*args(fx.params(aw=())))
    with pytest.raises(ValueError, match="unpack"):
        host.F3COpen(*args(fx.params(aw=((1, 2, 3),))))
    g = fx.params()
    del g.res["V"]
    with pytest.raises(KeyError):
        host.F3COpen(*args(g))
    with pytest.raises((TypeError, ValueError)):
        host.F3COpen(*args(fx.params())[:5], "x", 0.0, fx.TableNoise())


def test_add_with_no_rows_changes_nothing(host):
    ours, _ = _pair(host)
    ours.add(np.zeros((0, 69)), np.zeros((0, 2)), np.zeros(0))
    assert ours.cs is None and ours.n == 0
    ours.add(*_block(np.random.default_rng(9), 3))
    before = (ours.cs.copy(), ours.cs_last.copy(), ours.n)
    ours.add(np.zeros((0, 69)), np.zeros((0, 2)), np.zeros(0))
    np.testing.assert_array_equal(ours.cs, before[0])
    assert ours.cs_last.shape == (1, 3) and ours.n == 3


def test_add_shape_errors_on_the_first_block(host):
    ours, _ = _pair(host)
    with pytest.raises(ValueError):
        ours.add(np.zeros((3, 69)), np.zeros((3, 2)), np.zeros(2))
    assert ours.cs is None and ours.cs_last is None and ours.n == 0 and ours.pend.shape == (0, 69)


BAD_BLOCKS = {
    "rows 68 wide": (np.zeros((2, 68)), np.zeros((2, 2)), np.zeros(2)),
    "rows one-dimensional": (np.zeros(69), np.zeros((1, 2)), np.zeros(1)),
    "fe shorter than fp": (np.zeros((2, 69)), np.zeros((2, 2)), np.zeros(1)),
    "feature width 4": (np.zeros((2, 69)), np.zeros((2, 3)), np.zeros(2)),
    "feature width 1": (np.zeros((2, 69)), np.zeros((2, 0)), np.zeros(2)),  # would broadcast over the sums
}


@pytest.mark.parametrize("bad", BAD_BLOCKS.values(), ids=BAD_BLOCKS.keys())
def test_refused_add_changes_nothing(host, bad):
    # every shape is checked before the state changes: a refused block leaves
    # no trace in the sums, so later onsets read the same features
    ours, ref = _pair(host)
    rng = np.random.default_rng(9)
    blk = _block(rng, 3)
    ours.add(*blk)
    ref.add(*blk)
    with pytest.raises(ValueError):
        ours.add(*bad)
    _same(ours, ref)
    _add_pop_both(ours, ref, rng, (5, 40))
    _same(ours, ref)


def test_refractory_rows_take_no_draw(host):
    # every evaluated row starts an event: onsets come exactly REF rows apart
    ours, ref = _pair(host, g=fx.params(b=60.0, REF=4, q=None))
    blk = _block(np.random.default_rng(10), 13)
    ours.add(*blk)
    ref.add(*blk)
    ours._hazard()
    ref._hazard()
    assert ours.on == [0, 4, 8, 12] and ours.last == 12
    _same(ours, ref)


def test_track_combines_clips_by_maximum(host):
    g = fx.params(b=60.0, REF=1, q=None, NX=5)
    g.lib[:] = np.array([0.1, -0.3, 0.9, 0.2, 0.0])
    ours, _ = _pair(host, g=g)
    ours.add(*_block(np.random.default_rng(11), 2))
    ours._hazard()
    assert ours.on == [0, 1]
    np.testing.assert_array_equal(ours.f[:6], [0.1, 0.1, 0.9, 0.9, 0.2, 0.0])


def test_event_track_growth(host):
    ours, _ = _pair(host)
    L = len(ours.f)
    ours._f_need(L)
    assert len(ours.f) == L and ours.fb == 0
    ours.f[:] = np.arange(L)
    ours.done = 10
    ours._f_need(L + 1)
    assert ours.fb == 10 and len(ours.f) == max(2 * (L - 10), L + 1 - 10 + 4096)
    np.testing.assert_array_equal(ours.f[: L - 10], np.arange(10, L))
    assert not ours.f[L - 10:].any()
    with pytest.raises(ValueError, match="too big"):
        ours._f_need(2**63 - 1)
    assert ours.fb == 10


def test_onset_failures_move_th_past_the_row(host):
    g = fx.params(b=60.0, q=None)
    g.flut[:] = True  # pool_s is empty
    ours, _ = _pair(host, g=g)
    ours.add(*_block(np.random.default_rng(12), 3))
    with pytest.raises(ValueError):
        ours._hazard()
    assert ours.th == 1 and ours.n_on == 0

    # motion rows without feature rows
    ours, _ = _pair(host)
    rows, fp, fe = _block(np.random.default_rng(12), 3)
    ours.add(rows, fp[:0], fe[:0])
    with pytest.raises(IndexError):
        ours._hazard()
    assert ours.th == 1 and ours.cs is None
    ours.add(rows[:1], fp[:1], fe[:1])
    with pytest.raises(IndexError):
        ours._hazard()
    assert ours.th == 2


@pytest.mark.parametrize("b", [-709.0, -720.0, -1000.0, -1e308, -np.inf])
def test_logit_far_below_zero_means_no_onset(host, b):
    # exp(-logit) overflows to inf: p is 0, no event, and each evaluated row
    # still takes its draw, so the random stream is where it would be
    ours, ref = _pair(host, g=fx.params(b=b, REF=4), shift=0.0)
    rng = np.random.default_rng(12)
    _add_pop_both(ours, ref, rng, (3, 40))
    _same(ours, ref)
    assert ours.th == 43 and ours.n_on == 0 and ours.last is None
    draws = np.random.default_rng(7)
    draws.random(43)
    assert ours.rng.bit_generator.state == draws.bit_generator.state


def test_only_evaluated_rows_read_the_hazard_model(host):
    g = fx.params(REF=50)
    ours, _ = _pair(host, g=g)
    ours.add(*_block(np.random.default_rng(16), 3))
    ours.last, ours.th = 0, 1
    g.mu_x = np.zeros(5)  # the wrong width: only an evaluated row can notice
    ours._hazard()
    assert ours.th == 3 and ours.rng.bit_generator.state == np.random.default_rng(7).bit_generator.state
    ours.add(*_block(np.random.default_rng(17), 1))
    ours.last = -100
    with pytest.raises(ValueError, match="broadcast"):
        ours._hazard()
    assert ours.th == 4


def test_onset_pass_uses_the_openers_window_list(host):
    ours, ref = _pair(host)
    ours.aw = ref.aw = [(-3, 0), (0, 2)]
    _add_pop_both(ours, ref, np.random.default_rng(18), (20, 7, 30))
    _same(ours, ref)


class _FailsOnce:
    """A noise source whose first request fails."""

    def __init__(self, inner):
        self.inner, self.failed = inner, False

    def rows(self, t0, t1):
        if not self.failed:
            self.failed = True
            raise RuntimeError("noise source interrupted")
        return self.inner.rows(t0, t1)


@pytest.mark.parametrize("xb", [False, True])
@pytest.mark.parametrize("fault", ["eye columns past 69", "noise source"])
def test_failed_pop_leaves_the_opener_as_it_was(host, xb, fault):
    # the frame step has taken the pending rows when the failure comes: they go
    # back, so a retry hands out exactly what a clean pop would, and the stream goes on
    ours, ref = _pair(host, xb=xb)
    rng = np.random.default_rng(13)
    blk = _block(rng, 4)
    ours.add(*blk)
    ref.add(*blk)
    if fault == "noise source":
        ours.noise = _FailsOnce(ours.noise)
        with pytest.raises(RuntimeError, match="interrupted"):
            ours.pop(EYE4)
    else:
        with pytest.raises(IndexError):
            ours.pop(np.arange(12) + 60)
    assert ours.done == 0 and ours.prev is None
    np.testing.assert_array_equal(ours.pend, blk[0])
    for a, w in zip(ours.pop(EYE4), ref.pop(EYE4), strict=True):
        np.testing.assert_array_equal(a, w)
    _add_pop_both(ours, ref, rng, (3, 6))
    _same(ours, ref)


def test_error_after_frame_step_keeps_done(host):
    empty, _ = _pair(host, P=np.zeros(0))
    empty.add(*_block(np.random.default_rng(13), 2))
    with pytest.raises(ValueError, match="argmin"):
        empty.pop(EYE4)
    assert empty.done == 0 and empty.pend.shape == (2, 69)
    for prev in [(10**30, 0), (0, -7)]:
        bad, _ = _pair(host)  # six key levels
        bad.prev = prev
        bad.add(*_block(np.random.default_rng(13), 2))
        with pytest.raises(IndexError, match="out of bounds"):
            bad.pop(EYE4)
        assert bad.done == 0 and bad.prev == prev and bad.pend.shape == (2, 69)


def test_windows_ahead_of_the_row_survive_trimming(host):
    # every window starts past the evaluated row (amin = 2): the trim point
    # would pass the rows added so far; the sums must still give the same
    # onsets as sums that are never trimmed
    g = fx.params(aw=((2, 5), (3, 9)), b=-1.5)
    ours, _ = _pair(host, g=g)
    d, c = fx.path_tables()
    ref = fx.OpenRef(g, fx.EyeMapStub(), np.linspace(0.0, 2.0, 6), d, c, 7, 0.25, fx.TableNoise(), trim=False,
                     path_delta=host.path_delta)
    rng = np.random.default_rng(14)
    for T in [2000, 60, 3, 1, 50]:
        _add_pop_both(ours, ref, rng, [T])
        assert ours.on == ref.on[-64:] and ours.n_on == ref.n_on
    assert ours.cb > 0 and ours.cb <= ours.n


@pytest.mark.parametrize("xb", [False, True])
def test_with_the_real_parameter_set_eye_maps_and_noise(host, xb):
    rng = np.random.default_rng(15)
    nfeat = 26 + 2 * 3
    lib = rng.random((12, 6)) * 0.8
    lib[:, -1] = rng.uniform(-0.04, 0.04, 12)
    doc = {
        "hazard": {"w": (rng.standard_normal(nfeat) * 0.3).tolist(), "b": -0.5,
                   "cal": {"eo": {"delta": 0.1}}, "mu_x": [0.0] * nfeat, "sd_x": [1.0] * nfeat},
        "lib_rel": lib.tolist(), "lib_pre": rng.random(12).tolist(), "lib_flut": (rng.random(12) < 0.4).tolist(),
        "q_flut_val": 0.3, "u": [0.1] * 12, "REFRACT": 3,
        "resid": {"B": rng.standard_normal((3, 12)).tolist(), "V": rng.standard_normal((3, 12)).tolist()},
        "causal": {"AWIN": [[-6, 0], [-2, 1]]},
    }
    g = host.F3Params(doc, "eo")
    e = np.cumsum(rng.uniform(0.0, 0.05, (8, 2)), axis=0) + 0.1
    P = np.sort(rng.uniform(-1, 1, 8))
    emap = host.EyeMap(e, P)
    xc = host.XCal(np.sort(rng.uniform(0, 7, 7)), P) if xb else None
    res = {"ar": [{"a1": 1.6, "a2": -0.7, "sig": 0.1}, {"a1": 0.5, "a2": 0.2, "sig": 2.0},
                  {"a1": -0.3, "a2": 0.0, "sig": 1e-3}]}
    d, c = fx.path_tables()
    args = (g, emap, P, d, c, 21, 0.0)
    if xb:
        ours = host.F3XBOpen(*args, host.AR2Noise(res, 4), xc=xc)
    else:
        ours = host.F3COpen(*args, host.AR2Noise(res, 4))
    ref = fx.OpenRef(*args, host.AR2Noise(res, 4), xc=xc, path_delta=host.path_delta)
    _add_pop_both(ours, ref, rng, [7, 30, 1, 90])
    _same(ours, ref)
    assert ours.n_on > 0
