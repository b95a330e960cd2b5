"""Keypoint composition (motion rows -> stitched driving keypoints) and the pose track."""

import sys
import types
from types import SimpleNamespace

import numpy as np
import pytest


def rotmat_ref(w):
    w = np.asarray(w, np.float64).reshape(-1, 3)
    th = np.linalg.norm(w, axis=1)
    small = th < 1e-8
    ths = np.where(small, 1.0, th)
    A = np.where(small, 1.0, np.sin(ths) / ths)
    B = np.where(small, 0.5, (1 - np.cos(ths)) / ths**2)
    K = np.zeros((len(w), 3, 3))
    K[:, 0, 1], K[:, 0, 2], K[:, 1, 0] = -w[:, 2], w[:, 1], w[:, 2]
    K[:, 1, 2], K[:, 2, 0], K[:, 2, 1] = -w[:, 0], -w[:, 1], w[:, 0]
    return np.eye(3) + A[:, None, None] * K + B[:, None, None] * (K @ K)


def compose_pre_stitch(pk, src, m):
    m = np.asarray(m, np.float64)
    T = len(m)
    R = rotmat_ref(m[:, 63:66]) @ src["R"]
    E = np.repeat(np.asarray(src["exp"], np.float64).reshape(1, 63), T, axis=0)
    idx = np.concatenate([pk.DRIVEN, pk.EYE_DIMS])
    E[:, idx] += m[:, idx]
    t3 = np.array([src["t"][0], src["t"][1], 0.0])
    return src["scale"] * (np.einsum("kc,tcd->tkd", src["kp_c"], R) + E.reshape(T, 21, 3)) + t3


class FakePack:
    """DRIVEN/EYE_DIMS of our choosing; stitch records its arguments and passes xd through."""

    def __init__(self, driven=(0, 5, 7), eye=(30, 31)):
        self.DRIVEN = np.asarray(driven, np.int64)
        self.EYE_DIMS = np.asarray(eye, np.int64)
        self.calls = []

    def stitch(self, xs, xd):
        self.calls.append((xs, xd))
        return np.array(xd, np.float32)


def make_src(seed=0, t=(0.3, -0.2, 0.0)):
    rng = np.random.default_rng(seed)
    return {
        "kp_c": rng.standard_normal((21, 3)),
        "R": rotmat_ref(rng.standard_normal(3))[0],
        "exp": rng.standard_normal(63),
        "t": np.asarray(t, np.float64),
        "scale": 1.7,
        "x_s": rng.standard_normal((21, 3)).astype(np.float32),
    }


def rows(T, seed=1, width=69):
    return np.random.default_rng(seed).standard_normal((T, width)) * 0.3


def test_matches_reference_with_pack_stitching(host, pack, identity_path):
    idn = host.Identity(str(identity_path), None)
    m = rows(7)
    got = host.compose(pack, idn.src, m)
    x = compose_pre_stitch(pack, idn.src, m)
    want = pack.stitch(np.repeat(idn.src["x_s"][None], 7, axis=0), x)
    assert got.dtype == np.float32 and got.shape == (7, 21, 3)
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-5)


def test_keypoints_before_stitching(host):
    pk, src = FakePack(), make_src()
    m = rows(5)
    got = host.compose(pk, src, m)
    (xs, xd), = pk.calls
    np.testing.assert_allclose(xd, compose_pre_stitch(pk, src, m), rtol=0, atol=1e-12)
    assert xs.shape == (5, 21, 3) and xs.dtype == np.float32
    np.testing.assert_array_equal(xs, np.broadcast_to(src["x_s"], (5, 21, 3)))
    np.testing.assert_array_equal(got, np.asarray(xd, np.float32))


def test_zero_rows_give_the_source_pose(host):
    pk, src = FakePack(), make_src()
    host.compose(pk, src, np.zeros((3, 69)))
    xd = pk.calls[0][1]
    want = src["scale"] * (src["kp_c"] @ src["R"] + src["exp"].reshape(21, 3)) + [src["t"][0], src["t"][1], 0.0]
    for t in range(3):
        np.testing.assert_allclose(xd[t], want, rtol=0, atol=1e-12)


def test_third_translation_component_unused(host):
    m = rows(4)
    a = host.compose(FakePack(), make_src(t=(0.3, -0.2, 0.0)), m)
    b = host.compose(FakePack(), make_src(t=(0.3, -0.2, 9.5)), m)
    np.testing.assert_array_equal(a, b)


def test_index_in_both_lists_is_added_once(host):
    m = np.zeros((1, 69))
    m[0, 5] = 1.0
    pk = FakePack(driven=(5,), eye=(5,))
    host.compose(pk, make_src(), m)
    base = FakePack(driven=(), eye=())
    host.compose(base, make_src(), np.zeros((1, 69)))
    d = pk.calls[0][1] - base.calls[0][1]
    # keypoint 1, axis 2 moves by scale * 1.0 exactly once
    assert np.isclose(d[0, 1, 2], 1.7) and np.count_nonzero(np.abs(d) > 1e-12) == 1


def test_other_columns_ignored(host):
    m = rows(3)
    m2 = m.copy()
    m2[:, 66:69] = 123.0
    m2[:, [1, 2, 40, 62]] = -7.0  # not driven
    np.testing.assert_array_equal(host.compose(FakePack(), make_src(), m),
                                  host.compose(FakePack(), make_src(), m2))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_result_is_float32(host, pack, dtype):
    out = host.compose(pack, make_src(), rows(2).astype(dtype))
    assert out.dtype == np.float32 and out.shape == (2, 21, 3)


def test_no_rows(host):
    out = host.compose(FakePack(), make_src(), np.zeros((0, 69)))
    assert out.shape == (0, 21, 3) and out.dtype == np.float32


@pytest.mark.parametrize("width, pk", [(65, FakePack()), (40, FakePack(eye=(45,))), (69, FakePack(driven=(-1,))),
                                       (69, FakePack(eye=(63,)))])
def test_too_few_columns(host, width, pk):
    with pytest.raises(IndexError):
        host.compose(pk, make_src(), rows(2, width=width))


@pytest.mark.parametrize("driven", [[1.0, 2.0], np.array([0.5])])
def test_driven_indices_must_be_integers(host, driven):
    pk = SimpleNamespace(DRIVEN=np.asarray(driven), EYE_DIMS=np.array([30], np.int64), stitch=FakePack().stitch)
    with pytest.raises(IndexError, match="integer"):
        host.compose(pk, make_src(), rows(2))


def test_66_columns_suffice(host):
    assert host.compose(FakePack(driven=(62,)), make_src(), rows(2, width=66)).shape == (2, 21, 3)


def test_missing_source_key(host):
    src = make_src()
    del src["kp_c"]
    with pytest.raises(KeyError, match="kp_c"):
        host.compose(FakePack(), src, rows(2))


# ---- pose_track -------------------------------------------------------------------


@pytest.fixture
def fake_fullbody(monkeypatch):
    mod = types.ModuleType("orvane._f2u.fullbody")
    mod.calls = []

    def pose_T(x_s, x_d):
        mod.calls.append((x_s, x_d))
        return ("track", len(x_d))

    mod.pose_T = pose_T
    monkeypatch.setitem(sys.modules, "orvane._f2u.fullbody", mod)
    return mod


def test_pose_track_uses_rotation_only(host, fake_fullbody):
    pk, src = FakePack(), make_src()
    idn = SimpleNamespace(src=src)
    a = rows(4)
    b = a.copy()
    b[:, :63] = 5.0
    b[:, 66:] = -5.0
    assert host.pose_track(pk, idn, a) == ("track", 4)
    host.pose_track(pk, idn, b)
    (xs1, xd1), (xs2, xd2) = fake_fullbody.calls
    assert xs1 is src["x_s"]
    np.testing.assert_array_equal(xd1, xd2)
    m = np.zeros((4, 69))
    m[:, 63:66] = a[:, 63:66]
    np.testing.assert_array_equal(xd1, host.compose(pk, src, m))


def test_pose_track_needs_66_columns(host, fake_fullbody):
    with pytest.raises(IndexError):
        host.pose_track(FakePack(), SimpleNamespace(src=make_src()), rows(2, width=65))


def test_pose_track_import_errors(host, monkeypatch):
    monkeypatch.setitem(sys.modules, "orvane._f2u.fullbody", None)
    with pytest.raises(ImportError):
        host.pose_track(FakePack(), SimpleNamespace(src=make_src()), rows(1))
    monkeypatch.setitem(sys.modules, "orvane._f2u.fullbody", types.ModuleType("orvane._f2u.fullbody"))
    with pytest.raises(ImportError, match="pose_T"):
        host.pose_track(FakePack(), SimpleNamespace(src=make_src()), rows(1))


@pytest.mark.parametrize("T", [3, 0])
def test_pose_track_with_the_stand_in(host, pack, identity_path, T):
    idn = host.Identity(str(identity_path), None)
    out = host.pose_track(pack, idn, rows(T))
    assert out.shape == (T, 3) and out.dtype == np.float32
