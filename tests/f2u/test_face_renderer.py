"""Face renderer: set-up, per-batch feeds, plane warp and frame rendering."""

import numpy as np
import pytest

import make_f2u_pack
import make_f2u_render_graphs as rg
from heads_render_fixtures import (  # noqa: F401  (fixtures)
    G,
    render_identity,
    render_pack,
    renderer,
    run_ref,
    to_u8_ref,
    warp_cone_ref,
)

# ---- construction ------------------------------------------------------------------


def test_fields(renderer, render_pack, render_identity):
    r, idn = renderer, render_identity
    assert r.idn is idn
    assert isinstance(r.planes4, list) and len(r.planes4) == 3
    p0 = idn.planes[0]
    for k, p in enumerate(r.planes4):
        assert p.dtype == np.float32 and p.flags.c_contiguous and p.shape == (48, 40, 4)
        np.testing.assert_array_equal(p, p0[4 * k:4 * k + 4].transpose(1, 2, 0))
    assert list(r.fixed) == ["f32", "x_s"]
    assert r.fixed["f32"] is idn.r["g_f32"] and r.fixed["x_s"] is idn.r["x_s_t"]
    assert r.f128 is idn.r["g_f128"]
    assert r.roi_m == (300.0, 420.0, 180.0, 330.0) and r.roi_e == (150.0, 230.0, 140.0, 370.0)
    assert all(type(v) is float for v in r.roi_m + r.roi_e)
    assert [i.name for i in r.s_mot.get_inputs()] == ["f32", "x_s", "x_d", "bf32", "xk"]
    assert [i.name for i in r.s_lite.get_inputs()] == ["wrgb", "grid64", "occ", "y0", "z", "f128"]


def test_sessions_opened_through_ort_session(host, monkeypatch, render_pack, render_identity):
    calls = []
    monkeypatch.setattr(host, "ort_session", lambda path, threads=1: calls.append((path, threads)) or object())
    host.Renderer(idn=render_identity, pk=render_pack, threads=3)
    assert calls == [(render_pack.motion_path, 3), (render_pack.lite_path, 3)]


@pytest.mark.parametrize("args", [(), ("pk",), ("pk", "idn", 1, 2)])
def test_argument_count(host, args):
    with pytest.raises(TypeError):
        host.Renderer(*args)


def test_missing_lite_graph_fails_construction(host, tmp_path, render_identity):
    info = make_f2u_pack.make_pack(tmp_path / "p", write_lite=False, graphs={"motion": rg.render_graphs()["motion"]})
    pk = host.Pack(info["root"], 1)
    with pytest.raises(Exception, match="lite"):
        host.Renderer(pk, render_identity)


# ---- inputs -------------------------------------------------------------------------


def inputs_ref(r, xd, sel, sL, sR):
    sel, sL, sR = np.asarray(sel), np.asarray(sL), np.asarray(sR)
    xk = r["b_x"][sel].copy()
    xe = r["e_x"][sL].copy()
    for k in (15, 16):
        xe[:, k] = r["e_x"][sR][:, k]
    act = (sL > 0) | (sR > 0)
    for k in (11, 13, 15, 16):
        xk[act, k] = xe[act, k]
    return xk, bool(act.any())


@pytest.mark.parametrize(
    "sel, sL, sR",
    [
        ([0, 1, 2], [0, 0, 0], [0, 0, 0]),
        ([4, 4, 1, 0], [2, 0, 0, 3], [0, 1, 0, 3]),
        ([3], [1], [0]),
        ([3], [0], [2]),
    ],
)
def test_inputs_match_reference(renderer, render_identity, sel, sL, sR):
    r = render_identity.r
    xd = np.random.default_rng(0).standard_normal((len(sel), 21, 3)).astype(np.float32)
    feeds = renderer.inputs(xd, sel, sL, sR)
    assert list(feeds) == ["x_d", "xk", "sel", "sL", "sR", "eyes"]
    want, eyes = inputs_ref(r, xd, sel, sL, sR)
    np.testing.assert_array_equal(feeds["xk"], want)
    assert feeds["xk"].dtype == np.float32
    assert feeds["eyes"] is eyes
    for k, v in [("sel", sel), ("sL", sL), ("sR", sR)]:
        np.testing.assert_array_equal(feeds[k], v)


def test_eye_rows_sources(renderer, render_identity):
    r = render_identity.r
    feeds = renderer.inputs(np.zeros((3, 21, 3), np.float32), [1, 2, 3], [2, 0, 0], [0, 3, 0])
    xk = feeds["xk"]
    # frame 0: left rows from e_x[2], right rows from e_x[0] (not from the mouth entry)
    np.testing.assert_array_equal(xk[0, [11, 13]], r["e_x"][2, [11, 13]])
    np.testing.assert_array_equal(xk[0, [15, 16]], r["e_x"][0, [15, 16]])
    # frame 1: the other way round
    np.testing.assert_array_equal(xk[1, [11, 13]], r["e_x"][0, [11, 13]])
    np.testing.assert_array_equal(xk[1, [15, 16]], r["e_x"][3, [15, 16]])
    # frame 2: no eye entry, all rows from its mouth entry
    np.testing.assert_array_equal(xk[2], r["b_x"][3])
    others = [k for k in range(21) if k not in (11, 13, 15, 16)]
    np.testing.assert_array_equal(xk[:2, others], r["b_x"][[1, 2]][:, others])


def test_inputs_arrays_and_copies(renderer, render_identity):
    b_x = render_identity.r["b_x"]
    before = b_x.copy()
    xd32 = np.zeros((2, 21, 3), np.float32)
    sel = np.array([1, 2], np.int32)
    feeds = renderer.inputs(xd32, sel, np.array([0, 1], np.int16), [0, 0])
    assert feeds["x_d"] is xd32 and feeds["sel"] is sel
    assert feeds["sel"].dtype == np.int32 and feeds["sL"].dtype == np.int16
    feeds["xk"][:] = 99.0
    np.testing.assert_array_equal(b_x, before)
    xd64 = np.ones((2, 21, 3))
    f2 = renderer.inputs(xd64, sel, [0, 0], [0, 0])
    assert f2["x_d"].dtype == np.float32 and f2["x_d"].flags.c_contiguous
    assert f2["eyes"] is False


def test_inputs_bad_index(renderer, render_identity):
    before = render_identity.r["b_x"].copy()
    with pytest.raises(IndexError):
        renderer.inputs(np.zeros((1, 21, 3)), [99], [0], [0])
    with pytest.raises(IndexError):
        renderer.inputs(np.zeros((1, 21, 3)), [0], [0], [99])
    np.testing.assert_array_equal(render_identity.r["b_x"], before)


# ---- plane warp ---------------------------------------------------------------------


def wavy_grid(seed=0, amp=0.3):
    rng = np.random.default_rng(seed)
    g = rg.identity_grid(512).astype(np.float64)
    yy, xx = np.mgrid[0:512, 0:512] / 512.0
    g[..., 0] = g[..., 0] * 0.2 - 0.9 + amp * 0.1 * np.sin(6 * yy + rng.uniform())
    g[..., 1] = g[..., 1] * 0.15 - 0.92 + amp * 0.1 * np.cos(5 * xx)
    g[:8] = 1.5  # beyond the planes: edge values
    return g.astype(np.float32)


def test_warp_cone_matches_reference(renderer, render_identity):
    g = wavy_grid()
    out = renderer._warp_cone(g)
    assert out.shape == (3, 512, 512) and out.dtype == np.float32
    np.testing.assert_array_equal(out, warp_cone_ref(render_identity.planes[0], g))


def test_warp_cone_at_pixel_centres_is_plain_sample(renderer, render_identity):
    # grid value (2p + 1) / 512 - 1 lands on pixel position p exactly
    g = np.empty((4, 5, 2), np.float32)
    xs = np.array([0, 3, 39, 100, -10], np.float32)
    ys = np.array([0, 5, 47, 200], np.float32)
    g[..., 0] = (2 * xs[None, :] + 1) / 512 - 1
    g[..., 1] = (2 * ys[:, None] + 1) / 512 - 1
    out = renderer._warp_cone(g)
    P = render_identity.planes[0]
    cx, cy = np.clip(xs.astype(int), 0, 39), np.clip(ys.astype(int), 0, 47)
    np.testing.assert_array_equal(out, P[0:3][:, cy][:, :, cx])


# ---- run ------------------------------------------------------------------------------


@pytest.mark.parametrize("sL, sR", [([0, 0, 0], [0, 0, 0]), ([1, 0, 3], [0, 0, 2])])
def test_run_end_to_end_matches_reference(renderer, render_identity, sL, sR):
    rng = np.random.default_rng(4)
    xd = (rng.standard_normal((3, 21, 3)) * 2).astype(np.float32)
    feeds = renderer.inputs(xd, [0, 3, 4], sL, sR)
    frames = renderer.run(feeds)
    assert frames.shape == (3, 512, 512, 3) and frames.dtype == np.uint8 and frames.flags.c_contiguous
    want = run_ref(render_identity, renderer, feeds, lambda f: rg.reference_motion(f, G=G), rg.reference_lite)
    np.testing.assert_array_equal(frames, want)


class FakeSession:
    def __init__(self, outs):
        self.outs, self.calls = outs, []

    def run(self, names, feeds):
        self.calls.append((names, dict(feeds)))
        return self.outs(feeds) if callable(self.outs) else self.outs


def fake_motion(n, k=5):
    grid = np.broadcast_to(rg.identity_grid(8), (n, 8, 8, 2)).copy()
    return FakeSession([grid, np.zeros(1), np.zeros(2), np.zeros(3), grid][:k] + [np.zeros(1)] * (k - 5))


@pytest.fixture
def fresh(host, render_pack, render_identity):
    return host.Renderer(render_pack, render_identity)


@pytest.fixture
def comp_calls(host, monkeypatch):
    calls = []
    monkeypatch.setattr(host, "_composite", lambda o, gm, roi, rgb, mask: calls.append((roi, rgb, mask)))
    return calls


def test_run_feeds_and_paste_order(fresh, render_identity, comp_calls):
    r = render_identity.r
    fresh.s_mot = mot = fake_motion(2)
    fresh.s_lite = lite = FakeSession(lambda f: [np.zeros((2, 3, 512, 512), np.float32), "ignored"])
    feeds = fresh.inputs(np.zeros((2, 21, 3), np.float32), [1, 2], [0, 3], [0, 0])
    fresh.run(feeds)
    (names, mf), = mot.calls
    assert names is None and list(mf) == ["f32", "x_s", "x_d", "bf32", "xk"]
    assert mf["f32"] is r["g_f32"] and mf["x_s"] is r["x_s_t"] and mf["xk"] is feeds["xk"]
    np.testing.assert_array_equal(mf["bf32"], r["b_f32"][[1, 2]])
    assert list(fresh.fixed) == ["f32", "x_s"]
    (names, lf), = lite.calls
    assert names is None and list(lf) == ["wrgb", "grid64", "occ", "y0", "z", "f128"]
    assert lf["wrgb"].shape == (2, 3, 512, 512) and lf["f128"] is r["g_f128"]
    # mouth, left eye, right eye for every frame, also the frame whose eye indices are 0
    assert len(comp_calls) == 6
    for i, (l_, r_) in enumerate([(0, 0), (3, 0)]):
        m, le, re = comp_calls[3 * i:3 * i + 3]
        assert m[0] == fresh.roi_m and le[0] == fresh.roi_e and re[0] == fresh.roi_e
        np.testing.assert_array_equal(m[2], r["b_mask"][[1, 2][i]])
        np.testing.assert_array_equal(le[1], r["e_rgb"][l_])
        np.testing.assert_array_equal(le[2], r["e_mL"][l_])
        np.testing.assert_array_equal(re[2], r["e_mR"][r_])


def test_run_without_eyes_pastes_mouth_only(fresh, comp_calls):
    fresh.s_mot = fake_motion(2)
    fresh.s_lite = FakeSession([np.zeros((2, 3, 512, 512), np.float32)])
    fresh.run(fresh.inputs(np.zeros((2, 21, 3)), [1, 2], [0, 0], [0, 0]))
    assert len(comp_calls) == 2


@pytest.mark.parametrize("k", [4, 6])
def test_motion_output_count(fresh, k):
    fresh.s_mot = fake_motion(1, k)
    fresh.s_lite = lite = FakeSession([np.zeros((1, 3, 512, 512), np.float32)])
    with pytest.raises(ValueError, match="unpack"):
        fresh.run(fresh.inputs(np.zeros((1, 21, 3)), [1], [0], [0]))
    assert lite.calls == []


@pytest.mark.parametrize("key", ["sel", "sL", "sR", "x_d", "xk"])
def test_missing_feed_fails_before_models(fresh, key):
    fresh.s_mot = mot = fake_motion(1)
    feeds = fresh.inputs(np.zeros((1, 21, 3)), [1], [0], [0])
    del feeds[key]
    with pytest.raises(KeyError, match=key):
        fresh.run(feeds)
    assert mot.calls == []


def test_missing_eyes_fails_after_mouth_paste(fresh, comp_calls):
    fresh.s_mot = fake_motion(1)
    fresh.s_lite = FakeSession([np.zeros((1, 3, 512, 512), np.float32)])
    feeds = fresh.inputs(np.zeros((1, 21, 3)), [1], [0], [0])
    del feeds["eyes"]
    with pytest.raises(KeyError, match="eyes"):
        fresh.run(feeds)
    assert len(comp_calls) == 1


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_frame_conversion(fresh, comp_calls, dtype):
    vals = np.array([0.0, -1.0, 1.0, -7.0, 7.0, np.nan, 0.5, -0.5, 1 / 255.0], dtype)
    o = np.zeros((2, 512, 512, 3), dtype)  # channel-last buffer: the decoder output is not C-contiguous
    o[0, 0, : len(vals), 0] = vals
    o[1] = np.random.default_rng(0).uniform(-1.2, 1.2, (512, 512, 3))
    o_chw = o.transpose(0, 3, 1, 2)
    fresh.s_mot = fake_motion(2)
    fresh.s_lite = FakeSession([o_chw])
    frames = fresh.run(fresh.inputs(np.zeros((2, 21, 3)), [1, 2], [0, 0], [0, 0]))
    assert frames.flags.c_contiguous and frames.shape == (2, 512, 512, 3) and frames.dtype == np.uint8
    assert frames[0, 0, : len(vals), 0].tolist() == [128, 0, 255, 0, 255, 0, 191, 64, 128]
    finite = np.where(np.isnan(o_chw), -1.0, o_chw)  # NaN pixels come out 0
    np.testing.assert_array_equal(frames, to_u8_ref(finite))


@pytest.mark.parametrize("dtype, wide", [(np.float16, np.float32), (np.longdouble, np.float64)])
def test_run_renders_float16_and_long_double_decoder_output(fresh, render_identity, dtype, wide):
    # The pastes go into the decoder's output in place and keep its type: a float16
    # frame blends as float32 and rounds on every store (numpy's rule), a long
    # double one blends as float64. Bytes are made as from float32 (float64) frames.
    o = np.random.default_rng(3).uniform(-1.1, 1.1, (2, 3, 512, 512)).astype(dtype)
    fresh.s_mot = mot = fake_motion(2)
    feeds = fresh.inputs(np.zeros((2, 21, 3), np.float32), [1, 2], [1, 0], [0, 2])  # mouth and both eyes
    assert feeds["eyes"]
    got_o = o.copy()
    fresh.s_lite = FakeSession([got_o])
    frames = fresh.run(feeds)
    assert frames.dtype == np.uint8 and frames.shape == (2, 512, 512, 3) and frames.flags.c_contiguous
    assert got_o.dtype == np.dtype(dtype)
    wide_o = o.astype(wide)
    fresh.s_lite = FakeSession([wide_o])
    wide_frames = fresh.run(feeds)
    assert not np.array_equal(wide_frames, to_u8_ref(o.astype(wide)))  # the patches are in
    if dtype == np.float16:
        ref_o = o.copy()
        run_ref(render_identity, fresh, feeds, lambda f: mot.outs, lambda f: [ref_o])
        np.testing.assert_array_equal(got_o, ref_o)
        np.testing.assert_array_equal(frames, to_u8_ref(ref_o.astype(np.float32)))
        # a byte differs from the float32 output's only where float16 rounding moved a value
        assert np.count_nonzero(frames != wide_frames) < 0.01 * frames.size
    else:
        np.testing.assert_array_equal(got_o, wide_o.astype(dtype))
        np.testing.assert_array_equal(frames, wide_frames)


def test_empty_batch(renderer):
    none = np.zeros(0, np.int64)
    feeds = renderer.inputs(np.zeros((0, 21, 3), np.float32), none, none, none)
    assert feeds["xk"].shape == (0, 21, 3) and feeds["eyes"] is False
    frames = renderer.run(feeds)
    assert frames.shape == (0, 512, 512, 3) and frames.dtype == np.uint8


def test_inputs_with_mixed_bank_dtypes(fresh, render_identity):
    # eye bank kept in float64: the rows are cast into the float32 mouth rows
    from types import SimpleNamespace

    r = dict(render_identity.r)
    r["e_x"] = r["e_x"].astype(np.float64) * 1.5
    fresh.idn = SimpleNamespace(r=r)
    feeds = fresh.inputs(np.zeros((3, 21, 3)), [1, 2, 3], [2, 0, 0], [0, 3, 0])
    want, eyes = inputs_ref(r, None, [1, 2, 3], [2, 0, 0], [0, 3, 0])
    assert feeds["xk"].dtype == np.float32 and eyes is True
    np.testing.assert_array_equal(feeds["xk"], want)


def test_opencv_missing(host, fresh, monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "cv2", None)
    fresh.s_mot = mot = fake_motion(1)
    with pytest.raises(ImportError):
        fresh._warp_cone(np.zeros((4, 4, 2), np.float32))
    with pytest.raises(ImportError):
        fresh.run(fresh.inputs(np.zeros((1, 21, 3)), [1], [0], [0]))
    assert mot.calls == []
    o = np.zeros((3, 512, 512), np.float32)
    with pytest.raises(ImportError):
        host._composite(o, np.zeros((512, 512, 2), np.float32), (0, 512, 0, 512), np.zeros((3, 2, 2), np.float32),
                        np.zeros((1, 2, 2), np.float32))


def test_plane_stack_needs_12_channels(host, render_pack):
    from types import SimpleNamespace

    idn = SimpleNamespace(planes=np.zeros((1, 8, 4, 4), np.float32))
    with pytest.raises(ValueError, match="12 channels"):
        host.Renderer(render_pack, idn)


def test_definition_order_of_the_heads(host):
    names = list(vars(host))
    heads = ["DetS", "HeadL", "F3COpen", "F3XBOpen", "Retr", "compose", "ROWS_L", "ROWS_R", "Renderer", "_composite",
             "pose_track"]
    assert names[names.index("Enc") + 1:] == heads
    assert (host.ROWS_L, host.ROWS_R) == ((11, 13), (15, 16))


@pytest.mark.parametrize("g, pix", [(-1.0, 0), (1.0, -1)])
def test_warp_cone_grid_edges_sample_half_a_pixel_out(renderer, render_identity, g, pix):
    # -1 samples at pixel position -0.5, +1 at 511.5 (beyond these 48 x 40 planes):
    # the replicated edge pixel, with the correction weights of a half-pixel offset
    out = renderer._warp_cone(np.full((3, 2, 2), g, np.float32))
    P = render_identity.planes[0][:, pix, pix]
    a = np.float32(0.125)
    want = P[0:3] - a * P[3:6] - a * P[6:9] + (a * a) * P[9:12]
    np.testing.assert_array_equal(out, np.broadcast_to(want[:, None, None], (3, 3, 2)))


def test_decoder_output_must_be_channel_first_frames(fresh):
    fresh.s_mot = fake_motion(0)
    fresh.s_lite = FakeSession([np.zeros((0, 512, 512), np.float32)])
    none = np.zeros(0, np.int64)
    with pytest.raises(ValueError):
        fresh.run(fresh.inputs(np.zeros((0, 21, 3), np.float32), none, none, none))
