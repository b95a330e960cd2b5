import math

import numpy as np
import pytest

import heads_motion_fixtures as fx
import make_f2u_motion_graphs as mg

W = mg.DEFAULT_CFG["W"]


@pytest.fixture(scope="module")
def minfo(tmp_path_factory):
    return mg.make_motion_pack(tmp_path_factory.mktemp("motion_pack"))


@pytest.fixture(scope="module")
def mpack(host, minfo):
    return host.Pack(minfo["root"], 1)


@pytest.fixture
def idv126():
    return np.random.default_rng(11).standard_normal((1, 126)).astype(np.float32)


@pytest.fixture
def idv129():
    return np.random.default_rng(12).standard_normal(129)


def _tokens(n, seed=3):
    rng = np.random.default_rng(seed)
    return [fx.token(rng) for _ in range(n)]


# ---- the test graphs themselves ------------------------------------------------------------


def test_motion_graphs_compute_their_numpy_formulas(mpack, minfo):
    rng = np.random.default_rng(0)
    fo = minfo["formulas"]
    hd = minfo["cfg"]["head"]
    cases = {
        "s_det": ("det", {"feat": rng.standard_normal((1, W * 4, 3, 768)).astype(np.float32),
                          "hist": rng.standard_normal((1, W, 32)).astype(np.float32),
                          "valid": np.array([[False, True, True]]), "tokv": np.array([[True, False, True]]),
                          "idv": rng.standard_normal((1, 126)).astype(np.float32)}),
        "s_dflow": ("det_flow", {"h": rng.standard_normal((1, 16)).astype(np.float32),
                                 "x0": rng.standard_normal((1, 5)).astype(np.float32)}),
        "s_hctx": ("head_ctx", {"f": rng.standard_normal((1, 1, 4, 3, 768)).astype(np.float32),
                                "hh": rng.standard_normal((1, 1, 16)).astype(np.float32),
                                "shist": rng.standard_normal((1, 1, 2, 3)).astype(np.float32),
                                "fhist": rng.standard_normal((1, 1, 2, 3)).astype(np.float32),
                                "lprev": np.array([[-2.5]], np.float32), "tok": np.array([[7]], np.int64),
                                "idt": rng.standard_normal((1, 129)).astype(np.float32),
                                "hid": rng.standard_normal(hd["hid_shape"]).astype(np.float32),
                                "pose_deg": rng.standard_normal((1, 3)).astype(np.float32),
                                "k0": np.array([1.0], np.float32)}),
        "s_hdraw": ("head_draw", {"g": rng.standard_normal((1, 8)).astype(np.float32),
                                  "code": np.array([2], np.int64), "u": np.array([0.3], np.float32),
                                  "x0": rng.standard_normal((1, 13)).astype(np.float32),
                                  "lpn": np.array([0.7], np.float32)}),
    }
    for attr, (role, feeds) in cases.items():
        got = getattr(mpack, attr).run(None, feeds)
        want = fo[role](**feeds)
        assert len(got) == len(want)
        for a, b in zip(got, want):
            np.testing.assert_allclose(a, b, rtol=1e-4, atol=1e-5)


# ---- DetS --------------------------------------------------------------------------------------


@pytest.mark.parametrize("recorded", [False, True])
def test_dets_matches_reference_through_warmup_and_sliding(host, mpack, idv126, recorded):
    rng = np.random.default_rng(4)
    noise = [rng.standard_normal(5) for _ in range(7)] if recorded else None
    ours, ref = host.DetS(mpack, idv126, noise), fx.DetSRef(mpack, idv126, noise)
    np.testing.assert_array_equal(ours.idt, ref.idt)
    assert ours.idt.dtype == np.float32
    for tok in _tokens(7):
        rows, h = ours.step(tok)
        rrows, rh = ref.step(tok)
        assert rows.dtype == np.float32 and rows.shape == (4, mpack.F)
        np.testing.assert_array_equal(rows, rrows)
        np.testing.assert_array_equal(h, rh)
    assert len(ours.feats) == len(ours.hist) == W
    for a, b in zip(ours.hist, ref.hist):
        np.testing.assert_array_equal(a, b)
    if recorded:
        assert ours.rec == [] and isinstance(ours.rec, list)


def test_dets_feed_masks_during_warmup(host, mpack, idv126):
    det = fx.RecSession(mpack.s_det)
    pk = fx.pack_view(mpack, s_det=det)
    ds = host.DetS(pk, idv126)
    toks = _tokens(W + 2)
    outs = [ds.step(t)[0] for t in toks]
    F = mpack.F
    for step, feeds in enumerate(det.feeds, start=1):
        n = min(step, W)
        nh = min(step - 1, W)
        assert feeds["tokv"].tolist() == [[w >= W - n for w in range(W)]]
        assert feeds["valid"].tolist() == [[w >= W - nh for w in range(W)]]
        assert not feeds["feat"][0, : (W - n) * 4].any()
        np.testing.assert_array_equal(feeds["feat"][0, (W - n) * 4:], np.concatenate(toks[step - n: step]))
        assert not feeds["hist"][0, : W - nh].any()
        # the newest earlier output stands beside the newest token, in normalised units
        for i in range(nh):
            prev = (outs[step - nh + i - 1] - ds.mu) / ds.sd
            np.testing.assert_allclose(feeds["hist"][0, W - nh + i], prev.reshape(-1), atol=1e-5)
        assert feeds["hist"].shape == (1, W, 4 * F) and feeds["idv"].dtype == np.float32


def test_dets_without_flow_columns_keeps_mu_and_noise(host, mpack, idv126):
    pk = fx.pack_view(mpack, s_dflow=None, flow_dims=np.zeros(0, np.int64))
    noise = [np.zeros(5)]
    ds = host.DetS(pk, idv126, noise)
    for tok in _tokens(3):
        rows, _ = ds.step(tok)
        outside = [c for c in range(mpack.F) if c not in set(mpack.det_dims.tolist())]
        np.testing.assert_array_equal(rows[:, outside], np.broadcast_to(ds.mu[outside], (4, len(outside))))
    assert len(ds.rec) == 1
    assert ds.rng.bit_generator.state == np.random.default_rng(0).bit_generator.state


def test_dets_recorded_noise_runs_out_without_falling_back(host, mpack, idv126):
    blocks = [np.full(5, float(i)) for i in range(2)]
    flow = fx.RecSession(mpack.s_dflow)
    ds = host.DetS(fx.pack_view(mpack, s_dflow=flow), idv126, blocks)
    toks = _tokens(3)
    ds.step(toks[0])
    ds.step(toks[1])
    assert [f["x0"].tolist() for f in flow.feeds] == [[[0.0] * 5], [[1.0] * 5]]
    with pytest.raises(IndexError):
        ds.step(toks[2])
    assert ds.rng.bit_generator.state == np.random.default_rng(0).bit_generator.state
    assert blocks[0][0] == 0.0 and len(blocks) == 2  # the caller's sequence was copied


def test_dets_two_steppers_agree(host, mpack, idv126):
    a, b = host.DetS(mpack, idv126), host.DetS(mpack, idv126)
    for tok in _tokens(4):
        np.testing.assert_array_equal(a.step(tok)[0], b.step(tok)[0])


def test_dets_bad_token_fails_until_it_leaves_the_window(host, mpack, idv126):
    ds = host.DetS(mpack, idv126)
    toks = _tokens(W + 2)
    ds.step(toks[0])
    with pytest.raises(ValueError):
        ds.step(np.zeros((3, 3, 768), np.float32))
    assert len(ds.feats) == 2 and len(ds.hist) == 1
    for t in toks[1: W]:
        with pytest.raises(ValueError):
            ds.step(t)
    assert len(ds.hist) == 1
    rows, _ = ds.step(toks[W])  # the bad token has slid out
    assert rows.shape == (4, mpack.F) and len(ds.hist) == 2


@pytest.mark.parametrize("outs", [3, 1])
def test_dets_model_output_count(host, mpack, idv126, outs):
    fake = fx.RecSession(lambda feeds: (mpack.s_det.run(None, feeds) * 3)[:outs])
    ds = host.DetS(fx.pack_view(mpack, s_det=fake), idv126)
    with pytest.raises(ValueError, match="unpack"):
        ds.step(_tokens(1)[0])


def test_dets_recorded_block_of_wrong_size_fails(host, mpack, idv126):
    ds = host.DetS(mpack, idv126, [np.zeros(4)])
    with pytest.raises(ValueError, match="reshape"):
        ds.step(_tokens(1)[0])


# ---- HeadL ----------------------------------------------------------------------------------------


def _feeds_h(mpack, n):
    rng = np.random.default_rng(21)
    return [(fx.token(rng), rng.standard_normal((1, 16)).astype(np.float32)) for _ in range(n)]


@pytest.mark.parametrize("cap, keep", [(1024, 64), (5, 2), (4, 3), (3, 0), (1, 0)])
def test_headl_matches_reference_and_compaction_changes_nothing(host, mpack, idv129, cap, keep):
    ours = host.HeadL(mpack, idv129, host.NumpyNoise(9), cap_tokens=cap, keep_tokens=keep)
    ref = fx.HeadLRef(mpack, idv129, host.NumpyNoise(9), bweights=host.bweights)
    np.testing.assert_array_equal(ours.idt, ref.idt)
    np.testing.assert_array_equal(ours.pose_deg, ref.pose_deg)
    assert ours.lprev == np.float32(math.log(0.05)) and ours.nx0 == 13
    assert list(vars(ours)) == ["pk", "noise", "p", "nk", "S", "D", "pf", "nkf", "ncode", "Lc", "idt", "pose_deg",
                                "l_mu", "l_sd", "cap", "keep", "cps", "cpf", "lprev", "hid", "code", "k", "kb", "nx0"]
    assert ours.l_mu.dtype == ours.l_sd.dtype == ours.lprev.dtype == np.float32
    for f4, h in _feeds_h(mpack, 14):
        got = ours.step(f4, h)
        want = ref.step(f4, h)
        assert got.dtype == np.float64 and got.shape == (4, 3)
        np.testing.assert_array_equal(got, want)
        assert ours.code == ref.code and ours.lprev == ref.lprev
        np.testing.assert_array_equal(ours.hid, ref.hid)
    assert ours.k == 14
    if cap < 1024:
        assert ours.kb > 0 and 0 <= ours.k - ours.kb <= cap  # k - kb <= cap - 1 while writing


def test_headl_feeds_and_noise_draw_order(host, mpack, idv129):
    ctx, draw = fx.RecSession(mpack.s_hctx), fx.RecSession(mpack.s_hdraw)
    noise = fx.RecNoise(host.NumpyNoise(2))
    hl = host.HeadL(fx.pack_view(mpack, s_hctx=ctx, s_hdraw=draw), idv129, noise, cap_tokens=4, keep_tokens=1)
    for f4, h in _feeds_h(mpack, 8):
        hl.step(f4, h)
    first = ctx.feeds[0]
    assert first["k0"].tolist() == [1.0] and first["tok"].tolist() == [[0]]
    assert not first["shist"].any() and not first["fhist"].any()
    assert first["lprev"].tolist() == [[np.float32(math.log(0.05))]]
    assert [f["k0"].tolist() for f in ctx.feeds[1:]] == [[0.0]] * 7
    assert [f["tok"][0, 0] for f in ctx.feeds] == list(range(8))  # compaction does not shift "tok"
    assert first["hh"].shape == (1, 1, 16) and first["shist"].shape == (1, 1, 2, 3)
    # code drawn at absolute tokens 0, 3, 6 (Lc = 3), before u and x0
    expect = []
    for k in range(8):
        expect += (["code"] if k % 3 == 0 else []) + ["u", ("x0", 13)]
    assert noise.calls == expect
    assert draw.feeds[0]["code"].dtype == np.int64 and draw.feeds[0]["lpn"].shape == (1,)


def test_headl_without_codes_never_calls_code(host, mpack, idv129):
    noise = fx.RecNoise(host.NumpyNoise(2))
    pk = fx.pack_view(mpack, h=dict(mpack.h, ncode=0))
    hl = host.HeadL(pk, idv129, noise)
    for f4, h in _feeds_h(mpack, 4):
        hl.step(f4, h)
    assert noise.calls == ["u", ("x0", 13)] * 4 and hl.code == 0


def test_headl_zero_increments_give_zero_tracks(host, mpack, idv129):
    def zeros(feeds):
        return [np.zeros((1, 2, 3), np.float32), np.zeros((1, 2, 3), np.float32), np.array([[-1.0]], np.float32)]

    hl = host.HeadL(fx.pack_view(mpack, s_hdraw=fx.RecSession(zeros)), idv129, host.NumpyNoise(0))
    for f4, h in _feeds_h(mpack, 3):
        assert not hl.step(f4, h).any()
    assert hl.lprev == np.float32(-1.0)


@pytest.mark.parametrize("cap, keep", [(1024, 64), (4, 1)])
def test_headl_degree_zero_tracks_are_their_control_points(host, mpack, idv129, cap, keep):
    # a degree-0 track holds each knot's single control point over the knot's frames
    hl = host.HeadL(fx.pack_view(mpack, h=dict(mpack.h, p=0, pf=0)), idv129, host.NumpyNoise(6),
                    cap_tokens=cap, keep_tokens=keep)
    assert (hl.p, hl.pf) == (0, 0)
    for f4, h in _feeds_h(mpack, 9):
        got = hl.step(f4, h)
        k, kb, S = hl.k - 1, hl.kb, hl.S
        t = 4 * k + np.arange(4)
        js = t // hl.D - hl.nk * kb
        jf = t // (4 // hl.nkf) - hl.nkf * kb
        want = hl.cps[0, S + js].astype(np.float64) + hl.cpf[0, S + jf].astype(np.float64)
        assert got.dtype == np.float64 and got.shape == (4, 3)
        np.testing.assert_array_equal(got, want)
        assert np.abs(got).min() > 0  # the draws moved both tracks off zero
    assert cap == 1024 or hl.kb > 0


def test_headl_accepts_h_of_any_shape(host, mpack, idv129):
    hl = host.HeadL(mpack, idv129, host.NumpyNoise(0))
    f4, h = _feeds_h(mpack, 1)[0]
    assert hl.step(f4.reshape(-1).tolist(), h.reshape(4, 4, 1)).shape == (4, 3)


def test_headl_recorded_noise_replays_a_live_run(host, mpack, idv129):
    live = host.HeadL(mpack, idv129, host.NumpyNoise(5))
    data = _feeds_h(mpack, 4)
    want = [live.step(f4, h) for f4, h in data]
    src = host.NumpyNoise(5)
    hl = host.HeadL(mpack, idv129, fx.RecNoise(src))
    got = [hl.step(f4, h) for f4, h in data]
    for a, b in zip(got, want):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("change, exc", [
    ({"eps": 0.0}, ValueError),
    ({"eps": -1.0}, ValueError),
    ({"p": "x"}, ValueError),
    ({"S": None}, TypeError),
])
def test_headl_construction_failures(host, mpack, idv129, change, exc):
    with pytest.raises(exc):
        host.HeadL(fx.pack_view(mpack, h=dict(mpack.h, **change)), idv129, host.NumpyNoise(0))


def test_headl_missing_config_or_arrays(host, mpack, idv129):
    h = dict(mpack.h)
    del h["Lc"]
    with pytest.raises(KeyError):
        host.HeadL(fx.pack_view(mpack, h=h), idv129, host.NumpyNoise(0))
    a = dict(mpack.a)
    del a["h2l_l_sd"]
    with pytest.raises(KeyError):
        host.HeadL(fx.pack_view(mpack, a=a), idv129, host.NumpyNoise(0))


@pytest.mark.parametrize("cap, keep", [(4, 4), (4, 7), (4, -1), (0, 0)])
def test_headl_refuses_caches_that_compaction_cannot_free(host, mpack, idv129, cap, keep):
    with pytest.raises(ValueError, match="keep_tokens"):
        host.HeadL(mpack, idv129, host.NumpyNoise(0), cap_tokens=cap, keep_tokens=keep)


def test_headl_argument_errors(host, mpack, idv129):
    with pytest.raises(TypeError):
        host.HeadL(mpack, idv129)
    with pytest.raises(TypeError):
        host.HeadL(mpack, idv129, host.NumpyNoise(0), 8, 2, 1)
    with pytest.raises(TypeError):
        host.HeadL(mpack, idv129, host.NumpyNoise(0), cap=8)
    hl = host.HeadL(pk=mpack, idv129=idv129, noise=host.NumpyNoise(0), keep_tokens=2, cap_tokens=8)
    assert (hl.cap, hl.keep) == (8, 2)


@pytest.mark.parametrize("change", [{"Lc": 0}, {"nkf": 0}])
def test_headl_division_by_zero_fails_every_step(host, mpack, idv129, change):
    def ctx(feeds):
        return [np.zeros((1, 8), np.float32), np.zeros((1, 1, 8), np.float32), np.full((1, 4), 0.25, np.float32)]

    def draw(feeds):
        return [np.zeros((1, 2, 3), np.float32), np.zeros((1, 2, 3), np.float32), np.zeros((1, 1), np.float32)]

    pk = fx.pack_view(mpack, h=dict(mpack.h, **change), s_hctx=fx.RecSession(ctx), s_hdraw=fx.RecSession(draw))
    hl = host.HeadL(pk, idv129, host.NumpyNoise(0))
    for f4, h in _feeds_h(mpack, 2):
        with pytest.raises(ZeroDivisionError):
            hl.step(f4, h)
    assert hl.k == 0


def test_headl_step_failures_leave_state(host, mpack, idv129):
    hl = host.HeadL(mpack, idv129, host.NumpyNoise(0))
    f4, h = _feeds_h(mpack, 1)[0]
    with pytest.raises(ValueError, match="reshape"):
        hl.step(np.zeros(9215, np.float32), h)
    assert hl.k == 0

    class Empty:
        def code(self, pr):
            return 1

        def u(self):
            raise IndexError("used up")

    hl2 = host.HeadL(mpack, idv129, Empty())
    with pytest.raises(IndexError, match="used up"):
        hl2.step(f4, h)
    # the context ran (hid and code replaced), nothing else moved
    assert hl2.hid.any() and hl2.code == 1
    assert hl2.k == 0 and not hl2.cps.any() and hl2.lprev == np.float32(math.log(0.05))


@pytest.mark.parametrize("where, outs", [("s_hdraw", 2), ("s_hctx", 4)])
def test_headl_model_output_count(host, mpack, idv129, where, outs):
    real = getattr(mpack, where)
    pk = fx.pack_view(mpack, **{where: fx.RecSession(lambda f: (real.run(None, f) * 2)[:outs])})
    hl = host.HeadL(pk, idv129, host.NumpyNoise(0))
    f4, h = _feeds_h(mpack, 1)[0]
    with pytest.raises(ValueError, match="unpack"):
        hl.step(f4, h)


def test_heads_follow_the_encoders_in_definition_order(host):
    names = list(vars(host))
    order = ["Enc", "DetS", "HeadL", "F3COpen", "F3XBOpen"]
    assert [n for n in names if n in order] == order


def test_dets_state_after_steps(host, mpack, idv126):
    ds = host.DetS(pk=mpack, idv126=idv126.astype(np.float64), noise=None)
    assert list(vars(ds)) == ["pk", "mu", "sd", "idt", "feats", "hist", "rec", "rng"]
    assert ds.rec is None and ds.feats == [] and ds.hist == [] and ds.pk is mpack
    ds.step(_tokens(1)[0].astype(np.float64))
    assert ds.feats[0].dtype == np.float32 and ds.feats[0].shape == (1, 4, 3, 768)
    assert ds.hist[0].dtype == np.float32 and ds.hist[0].shape == (4 * mpack.F,)


@pytest.mark.parametrize("idv", [np.zeros((1, 129)), np.zeros(128), np.zeros(130)])
def test_headl_identity_vector_shape(host, mpack, idv):
    with pytest.raises(ValueError, match="idv129"):
        host.HeadL(mpack, idv, host.NumpyNoise(0))


@pytest.mark.parametrize("idv", [np.zeros((1, 125), np.float32), np.zeros(127)])
def test_dets_identity_vector_of_wrong_length(host, mpack, idv):
    with pytest.raises(ValueError, match="broadcast"):
        host.DetS(mpack, idv)


@pytest.mark.parametrize("dtype", [np.float64, np.int32, np.float16])
def test_headl_integrates_increments_in_numpys_result_type(host, mpack, idv129, dtype):
    # float32 rows + float64 (or int32) increments run in float64 and round on
    # every store; float16 ones run in float32
    def draw(feeds):
        df, ds, lp = mpack.s_hdraw.run(None, feeds)
        scale = 1000 if np.issubdtype(dtype, np.integer) else np.pi
        return [(df * scale).astype(dtype), (ds * scale).astype(dtype), lp]

    pk = fx.pack_view(mpack, s_hdraw=fx.RecSession(draw))
    ours = host.HeadL(pk, idv129, host.NumpyNoise(4), cap_tokens=5, keep_tokens=2)
    ref = fx.HeadLRef(pk, idv129, host.NumpyNoise(4), 5, 2, bweights=host.bweights)
    for f4, h in _feeds_h(mpack, 9):
        np.testing.assert_array_equal(ours.step(f4, h), ref.step(f4, h))
        np.testing.assert_array_equal(ours.cps, ref.cps)
        np.testing.assert_array_equal(ours.cpf, ref.cpf)


def test_headl_rows_reads_any_cache_array(host, mpack, idv129):
    hl = host.HeadL(mpack, idv129, host.NumpyNoise(3))
    for f4, h in _feeds_h(mpack, 3):
        hl.step(f4, h)
    hl.k = 2  # sample the last token written
    want = hl._rows(hl.cps, hl.nk, hl.D, hl.p)
    assert want.any()
    frozen = hl.cps.copy()
    frozen.setflags(write=False)
    for buf in (frozen, hl.cps.astype(np.float64), np.asfortranarray(hl.cps)):
        np.testing.assert_array_equal(hl._rows(buf, hl.nk, hl.D, hl.p), want)


def _hostile_headl(host, mpack, idv129, case):
    if case == "cap past int64 rows":
        return host.HeadL(mpack, idv129, host.NumpyNoise(0), cap_tokens=2**62, keep_tokens=1)
    if case == "cap past int64":
        return host.HeadL(mpack, idv129, host.NumpyNoise(0), cap_tokens=2**70, keep_tokens=1)
    hl = host.HeadL(mpack, idv129, host.NumpyNoise(0))
    f4, h = _feeds_h(mpack, 1)[0]
    if case == "token far past the cache":
        hl.k = 2**61
        return hl._rows(hl.cps, hl.nk, hl.D, hl.p)
    if case == "base ahead of the token":
        hl.kb = 5
        return hl.step(f4, h)
    if case == "history longer than the cache":
        hl.S = 2**62
        return hl.step(f4, h)
    raise AssertionError(case)


@pytest.mark.parametrize("case, exc", [
    ("cap past int64 rows", ValueError),
    ("cap past int64", ValueError),
    ("token far past the cache", IndexError),
    ("base ahead of the token", IndexError),
    ("history longer than the cache", IndexError),
])
def test_headl_hostile_sizes_fail_cleanly(host, mpack, idv129, case, exc):
    with pytest.raises(exc):
        _hostile_headl(host, mpack, idv129, case)


@pytest.mark.parametrize("kind", ["float32", "float64", "int list"])
def test_dets_identity_is_z_scored_in_the_inputs_precision(host, mpack, kind):
    v = np.random.default_rng(13).standard_normal((1, 126)) * 3
    idv = {"float32": v.astype(np.float32), "float64": v, "int list": np.rint(v).astype(int).tolist()}[kind]
    ours, ref = host.DetS(mpack, idv), fx.DetSRef(mpack, idv)
    assert ours.idt.dtype == np.float32
    np.testing.assert_array_equal(ours.idt, ref.idt)
    a = mpack.a
    if kind == "float32":  # not the float64 route rounded afterwards
        wide = ((v.astype(np.float32).astype(np.float64) - a["det_id_mu"]) / a["det_id_sd"]).astype(np.float32)
        assert (ours.idt != wide).any()
