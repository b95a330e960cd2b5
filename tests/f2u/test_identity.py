"""F3Params, Identity and cone."""
import copy

import numpy as np
import pytest

import make_f2u_pack
from f2u_reference import cone_ref, identity_ref


# ---- F3Params ---------------------------------------------------------------------


def test_f3params_fields(host):
    doc = make_f2u_pack.f3fit_doc()
    f = host.F3Params(doc)
    assert f.w.dtype == np.float64 and f.w.tolist() == [0.5, -1.25, 2.0]
    assert f.b == -3.0 + 0.25  # "eo" by default
    assert host.F3Params(doc, "xb").b == -3.5
    assert f.mu_x.dtype == np.float64 and f.sd_x.tolist() == [1.0, 2.0, 4.0]
    # clips ending at exactly +-0.05 pass, 0.0501 is dropped with its pre/flut entries
    assert f.lib.dtype == np.float64 and f.lib.shape == (3, 3)
    assert f.pre.tolist() == [0.1, 0.2, 0.4]
    assert f.flut.dtype == bool and f.flut.tolist() == [True, False, False]
    assert f.q == 0.25 and isinstance(f.q, float)
    assert f.k == 150
    assert f.u.tolist() == [0.5, -0.5]
    assert f.res is doc["resid"]
    assert f.REF == 3
    assert f.aw == [(4, 16), (16, 64)]


def test_f3params_integer_weights_and_empty_library(host):
    doc = make_f2u_pack.f3fit_doc()
    doc["hazard"]["w"] = [1, 2, 3]
    doc["lib_rel"] = [[0.0, 1.0], [0.0, -1.0]]
    doc["lib_pre"] = [0.1, 0.2]
    doc["lib_flut"] = [1, 0]
    f = host.F3Params(doc)
    assert f.w.dtype == np.int64
    assert f.lib.shape == (0, 2) and f.pre.shape == (0,) and f.flut.shape == (0,)


@pytest.mark.parametrize(
    "mutate, err",
    [(lambda d: d.pop("hazard"), KeyError),
     (lambda d: d["hazard"]["cal"].pop("eo"), KeyError),
     (lambda d: d.pop("REFRACT"), KeyError),
     (lambda d: d["hazard"].__setitem__("b", "x"), ValueError),
     (lambda d: d.__setitem__("lib_rel", [[0.0, 1.0], [0.0]]), ValueError),
     (lambda d: d.__setitem__("lib_pre", [0.1]), IndexError),
     (lambda d: d["causal"].__setitem__("AWIN", [3]), TypeError)],
)
def test_f3params_errors(host, mutate, err):
    doc = copy.deepcopy(make_f2u_pack.f3fit_doc())
    mutate(doc)
    with pytest.raises(err):
        host.F3Params(doc)


# ---- Identity ---------------------------------------------------------------------------


def test_identity_fields(host, identity_path):
    src = make_f2u_pack.identity_arrays()
    doc = {"name": "x"}
    idn = host.Identity(identity_path, doc)
    assert idn.doc is doc
    assert list(idn.src) == ["kp_c", "R", "exp", "t", "scale", "x_s"]
    for k in ("kp_c", "R", "exp", "t"):
        assert idn.src[k].dtype == np.float64 and np.array_equal(idn.src[k], src["src_" + k])
    assert idn.src["scale"] == 1.25 and isinstance(idn.src["scale"], float)
    assert idn.src["x_s"].dtype == np.float32 and idn.src["x_s"].flags.c_contiguous
    assert idn.shift == 0.5 and isinstance(idn.shift, float)
    for k in ("idv", "pose", "e_img", "xcal_m", "bank_key", "bank_sd"):
        assert getattr(idn, k).dtype == np.float64
    assert idn.bank_proj is None and idn.bank_mu is None
    assert idn.roi_m.dtype == np.float32 and idn.roi_m.tolist() == [300, 420, 180, 330]
    assert list(idn.r) == ["g_src", "g_f32", "g_f128", "x_s_t", "b_rgb", "b_mask", "b_x", "b_f32", "e_rgb",
                           "e_mL", "e_mR", "e_x"]
    for v in idn.r.values():
        assert v.dtype == np.float32 and v.flags.c_contiguous
    assert np.array_equal(idn.planes, cone_ref(src["g_src"]))
    assert idn.planes.shape == (1, 12, 16, 16) and idn.planes.flags.c_contiguous


def odd_members():
    a = make_f2u_pack.identity_arrays()
    return {"src_scale": np.array(0.1, np.float32),  # widened: 0.10000000149011612
            "shift": np.array(-3, np.int8),
            "g_src": (a["g_src"] * 100).astype(np.int16),
            "b_mask": np.asfortranarray((a["b_mask"] > 0.5).astype(np.uint8)),
            "e_img": a["e_img"].astype(np.float16),
            "bank_roi": np.array([300, 420, 180, 330], np.int64),
            "xcal_m": np.zeros((0, 7)),
            "bank_mu": np.arange(3.0)}


@pytest.mark.parametrize("odd", [False, True])
def test_identity_equals_reference_load(host, tmp_path, odd):
    path = tmp_path / "i.npz"
    make_f2u_pack.make_identity(path, overrides=odd_members() if odd else None)
    idn, ref = host.Identity(path, None), identity_ref(path)
    for k, want in ref.items():
        got = getattr(idn, k)
        if isinstance(want, dict):
            assert list(got) == list(want)
            pairs = [(got[n], want[n]) for n in want]
        else:
            pairs = [(got, want)]
        for g, w in pairs:
            if isinstance(w, np.ndarray):
                assert g.dtype == w.dtype and g.shape == w.shape and np.array_equal(g, w)
            else:
                assert type(g) is type(w) and g == w


def test_identity_optional_members_and_extras(host, tmp_path):
    p = tmp_path / "i.npz"
    make_f2u_pack.make_identity(p, overrides={"xcal_m": np.zeros(0), "bank_proj": np.ones((4, 2), np.float32)},
                                extra={"unused": np.arange(3)})
    idn = host.Identity(str(p), None)
    assert idn.xcal_m is None
    assert idn.bank_proj.dtype == np.float64 and idn.bank_proj.shape == (4, 2)
    with open(p, "rb") as f:  # an open stream works as well
        assert host.Identity(f, None).bank_mu is None


@pytest.mark.parametrize(
    "kw, err, match",
    [(dict(drop=("xcal_m",)), KeyError, "xcal_m"),
     (dict(drop=("g_src",)), KeyError, "g_src"),
     (dict(extra={"junk": np.array([None], dtype=object)}), ValueError, "allow_pickle"),
     (dict(overrides={"src_scale": np.array([1.0, 2.0])}), TypeError, None),
     (dict(overrides={"g_src": np.zeros((3, 4, 4), np.float32)}), ValueError, None)],
)
def test_identity_errors(host, tmp_path, kw, err, match):
    p = tmp_path / "i.npz"
    make_f2u_pack.make_identity(p, **kw)
    with pytest.raises(err, match=match):
        host.Identity(p, None)


# ---- cone -----------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.float16, np.int16, np.uint8, np.int64, bool])
def test_cone_matches_numpy(host, dtype):
    rng = np.random.default_rng(0)
    P = (rng.standard_normal((2, 3, 9, 11)) * 50).astype(dtype)
    r = host.cone(P)
    assert r.dtype == np.float32 and r.shape == (2, 12, 9, 11) and r.flags.c_contiguous
    ref = cone_ref(P.astype(np.float64) if np.dtype(dtype).kind in "iub" else P)
    assert np.array_equal(r, ref)
    assert np.array_equal(r[:, :3], P.astype(np.float32))


def test_cone_integer_input_computes_in_float64(host):
    # int8 arithmetic would wrap: 2 * 100 overflows the type
    P = np.array([[[[100, -100, 100]]]], np.int8)
    r = host.cone(P)
    assert r[0, 1, 0].tolist() == [-200.0, 400.0, -200.0]


def test_cone_edge_cases(host):
    const = np.full((1, 2, 5, 4), 3.5, np.float32)
    r = host.cone(const)
    assert np.all(r[:, :2] == 3.5) and np.all(r[:, 2:] == 0)
    row = np.array([[[[0.0, 1.0, 4.0]]]], np.float32)  # varies along x only
    r = host.cone(row)
    assert r[0, 1, 0].tolist() == [1.0, 2.0, -3.0]
    assert np.all(r[0, 2] == 0) and np.all(r[0, 3] == 0)
    col = np.arange(4, dtype=np.float32).reshape(1, 1, 4, 1) ** 2
    r = host.cone(col)
    assert np.all(r[0, 1] == 0)  # W = 1: no x difference
    assert np.array_equal(r, cone_ref(col))
    v = np.arange(24.0).reshape(1, 2, 3, 4)[:, :, ::-1, ::2]  # strided view
    assert np.array_equal(host.cone(v), cone_ref(v))


@pytest.mark.parametrize("shape", [(3, 4, 4), (4, 4), (1, 1, 2, 2, 2), (1, 1, 0, 3), (0, 1, 3, 0), (0, 0, 0, 0)])
def test_cone_needs_four_axes_and_an_image(host, shape):
    # numpy's edge extension refuses an empty image axis as it refuses a wrong rank
    with pytest.raises(ValueError):
        host.cone(np.zeros(shape, np.float32))
    with pytest.raises(ValueError):
        cone_ref(np.zeros(shape, np.float32))


def test_cone_without_planes(host):
    assert host.cone(np.zeros((0, 3, 4, 5), np.float32)).shape == (0, 12, 4, 5)
    assert host.cone(np.zeros((2, 0, 4, 5))).shape == (2, 0, 4, 5)


@pytest.mark.skipif(np.finfo(np.longdouble).nmant <= 52, reason="longdouble is double here")
def test_cone_extended_precision_input(host):
    # 1 + 2**-60 exists only in extended precision: in float64 the difference would vanish
    P = np.array([[[[1 + np.longdouble(2) ** -60, 1, 1]]]], np.longdouble)
    r = host.cone(P)
    assert r[0, 1, 0, 1] == np.float32(2.0**-60)
    assert np.array_equal(r, cone_ref(P))
