"""ort_session, trunk_exact, Pack and Pack.stitch."""
import gc
import json
import os
import pathlib
import re
import warnings
import zipfile

import numpy as np
import pytest

import make_f2u_pack


def stitch_ref(pk, xs, xd):
    T = len(xs)
    z = np.concatenate([np.reshape(xs, (T, -1)), np.reshape(xd, (len(xd), -1))], 1).astype(np.float32)
    for i, (w, b) in enumerate(pk.stw):
        z = z @ w.T + b
        if i < len(pk.stw) - 1:
            z = np.maximum(z, 0)
    out = np.asarray(xd).reshape(T, 21, 3).astype(np.float32)
    out += z[:, :63].reshape(T, 21, 3)
    out[:, :, 0] += z[:, 63:64]
    out[:, :, 1] += z[:, 64:65]
    return out


def test_pack_attributes(pack, pack_info):
    pk = pack
    root = pack_info["root"]
    assert pk.root == root
    assert pk.j == pack_info["json"]
    assert list(pk.a) == list(pack_info["npz"])
    assert (pk.R, pk.F, pk.W_TOK, pk.flow_D) == (5, 6, 16, 0)
    for n in ("det_dims", "DRV", "EYE4", "DRIVEN", "RKEY", "EYE_DIMS", "flow_dims"):
        assert getattr(pk, n).dtype == np.int64
    for n in ("base69", "W", "P", "d", "c"):
        assert getattr(pk, n).dtype == np.float64
    for n in ("pca_mu", "pca_V"):
        assert getattr(pk, n).dtype == np.float32
    # the archive keeps the stored dtype, the attribute is a converted copy
    assert pk.a["det_dims"].dtype == np.int32
    assert np.array_equal(pk.det_dims, pk.a["det_dims"])
    assert pk.h is pk.j["head"] or pk.h == pk.j["head"]
    assert len(pk.stw) == 2
    for w, b in pk.stw:
        assert w.dtype == np.float32 and b.dtype == np.float32 and w.flags.c_contiguous
    assert type(pk.f3).__name__ == "F3Params"
    assert pk.f3.b == -3.0 + 0.25
    assert pk.s_dflow is not None
    assert pk.motion_path == os.path.join(root, "g/motion.onnx")
    assert pk.lite_path == os.path.join(root, "g/lite.onnx")
    assert (pk.trunk_in, pk.trunk_out) == ("wav", "hid")
    # attributes appear in the order construction sets them
    assert list(vars(pk)) == [
        "root", "j", "a", "R", "F", "W_TOK", "det_dims", "DRV", "EYE4", "DRIVEN", "RKEY", "EYE_DIMS",
        "base69", "W", "P", "d", "c", "pca_mu", "pca_V", "h", "stw", "f3", "s_trunk", "s_head", "s_det",
        "s_hctx", "s_hdraw", "flow_dims", "s_dflow", "flow_D", "motion_path", "lite_path", "trunk_in", "trunk_out"]
    assert list(vars(pk.f3)) == ["w", "b", "mu_x", "sd_x", "lib", "pre", "flut", "q", "k", "u", "res", "REF", "aw"]


def test_sessions_fixed_options(host, pack_info):
    pk = host.Pack(pack_info["root"], threads="3")
    for s in (pk.s_trunk, pk.s_head, pk.s_det, pk.s_hctx, pk.s_hdraw, pk.s_dflow):
        o = s.get_session_options()
        assert o.intra_op_num_threads == 3
        assert o.inter_op_num_threads == 1
        assert o.graph_optimization_level.name == "ORT_ENABLE_ALL"
        assert o.get_session_config_entry("session.intra_op.allow_spinning") == "0"
        assert o.log_severity_level == 3
        assert s.get_providers() == ["CPUExecutionProvider"]
    s = host.ort_session(os.path.join(pack_info["root"], "g/det.onnx"))
    assert s.get_session_options().intra_op_num_threads == 1


@pytest.mark.parametrize("threads", [1025, 2**31, 2**64])
def test_a_session_is_given_at_most_1024_threads(host, pack_info, threads):
    # passed on unchanged, 10**5 took minutes to open and 2**31 was refused by the runtime
    s = host.ort_session(os.path.join(pack_info["root"], "g/det.onnx"), threads)
    assert s.get_session_options().intra_op_num_threads == 1024


@pytest.mark.parametrize(
    "args, want",
    [((5, 5, 6), False), ((5, 5), True), ((None, 5, None), True), ((-3, 1, 2), True), ((None, 4), False),
     ((6, 6), True), ((6, 7), False), (("6", 6), True), ((6.9, 6), True), ((5, 5.0), True), ((5, "5"), False)],
)
def test_trunk_exact(host, args, want):
    assert host.trunk_exact(*args) is want


def _pack(tmp_path, **kw):
    return make_f2u_pack.make_pack(tmp_path / "p", **kw)["root"]


def _pack_without_role(tmp_path, role, **kw):
    info = make_f2u_pack.make_pack(tmp_path / "p", **kw)
    del info["json"]["graphs"][role]
    pathlib.Path(info["root"], "host.json").write_text(json.dumps(info["json"]))
    return info["root"]


def _pickled_npz(root):
    # host.npz with a member that needs unpickling
    a = dict(np.load(os.path.join(root, "host.npz")))
    a["junk"] = np.array([{"x": 1}], dtype=object)
    np.savez(os.path.join(root, "host.npz"), **a)


@pytest.mark.parametrize(
    "case, err, match",
    [
        ("R4_no_crop", ValueError, r"^shared set: trunk crop R None is not exact at host R 4$"),
        ("crop6_R7", ValueError, r"^shared set: trunk crop R 6 is not exact at host R 7$"),
        ("crop_before_npz", ValueError, r"^shared set: trunk crop R None is not exact at host R 4$"),
        ("pickled_member", ValueError, "allow_pickle"),
        ("missing_R", KeyError, "'R'"),
        ("missing_det_F", KeyError, "'det_F'"),
        ("missing_member_c", KeyError, "c"),
        ("st_w_before_f3fit", KeyError, "st_w1"),
        ("f3fit_before_f3_cal", FileNotFoundError, "f3fit.json"),
        ("bad_threads_before_sessions", ValueError, "invalid literal"),
        ("missing_graph_role", KeyError, "'head_draw'"),
        ("zero_d_flow_dims", TypeError, "unsized"),
        ("missing_flow_graph_role", KeyError, "'det_flow'"),
        ("broken_json", json.JSONDecodeError, None),
        ("missing_npz_after_trunk_check", FileNotFoundError, "host.npz"),
        ("missing_host_json", FileNotFoundError, "host.json"),
    ],
)
def test_broken_pack_errors(host, tmp_path, case, err, match):
    threads = 1
    if case == "R4_no_crop":
        root = _pack(tmp_path, R=4)
    elif case == "crop6_R7":
        root = _pack(tmp_path, R=7, trunk_crop_r=6)
    elif case == "crop_before_npz":
        root = _pack(tmp_path, R=4)
        pathlib.Path(root, "host.npz").write_bytes(b"not a zip")
    elif case == "pickled_member":
        root = _pack(tmp_path)
        _pickled_npz(root)
    elif case == "missing_R":
        root = _pack(tmp_path, json_drop=("R",))
    elif case == "missing_det_F":
        root = _pack(tmp_path, json_drop=("det_F",))
    elif case == "missing_member_c":
        root = _pack(tmp_path, npz_drop=("c",))
    elif case == "st_w_before_f3fit":
        root = _pack(tmp_path, npz_drop=("st_w1",))
        os.remove(os.path.join(root, "f3fit.json"))
    elif case == "f3fit_before_f3_cal":
        root = _pack(tmp_path, json_drop=("f3_cal",))
        os.remove(os.path.join(root, "f3fit.json"))
    elif case == "bad_threads_before_sessions":
        root = _pack(tmp_path)
        os.remove(os.path.join(root, "g/enc_trunk.onnx"))
        threads = "two"
    elif case == "missing_graph_role":
        root = _pack_without_role(tmp_path, "head_draw")
    elif case == "zero_d_flow_dims":
        root = _pack(tmp_path, npz_overrides={"det_flow_dims": np.array(3)})
    elif case == "missing_flow_graph_role":
        root = _pack_without_role(tmp_path, "det_flow")
    elif case == "missing_npz_after_trunk_check":
        root = _pack(tmp_path)
        os.remove(os.path.join(root, "host.npz"))
    elif case == "missing_host_json":
        root = _pack(tmp_path)
        os.remove(os.path.join(root, "host.json"))
    elif case == "broken_json":
        root = _pack(tmp_path)
        pathlib.Path(root, "host.json").write_text("{")
    with pytest.raises(err, match=match):
        host.Pack(root, threads)


def test_missing_graph_file_is_ort_error(host, tmp_path):
    root = _pack(tmp_path)
    os.remove(os.path.join(root, "g/det.onnx"))
    with pytest.raises(Exception, match="det.onnx"):
        host.Pack(root)


@pytest.mark.parametrize(
    "kw, R",
    [(dict(trunk_crop_r=-1, R=17), 17), (dict(trunk_crop_r=6, R=6), 6), (dict(trunk_crop_r=None, R=5), 5)],
)
def test_trunk_rule_passes(host, tmp_path, kw, R):
    assert host.Pack(_pack(tmp_path, **kw)).R == R


def test_optional_flow_and_renderer_graphs(host, tmp_path):
    root = _pack_without_role(tmp_path, "det_flow", flow_dims=(), write_lite=False, det_flow_D=7)
    os.remove(os.path.join(root, "g/det_flow.onnx"))
    pk = host.Pack(root)
    assert pk.s_dflow is None and pk.flow_dims.shape == (0,) and pk.flow_D == 7
    assert not os.path.exists(pk.lite_path)


@pytest.mark.parametrize("st_n", [1, 2, 3])
def test_stitch_matches_numpy(host, tmp_path, st_n):
    pk = host.Pack(_pack(tmp_path, st_n=st_n))
    rng = np.random.default_rng(st_n)
    xs = np.repeat(rng.standard_normal((1, 21, 3)), 7, axis=0)
    xd = rng.standard_normal((7, 21, 3))
    xd_before = xd.copy()
    out = pk.stitch(xs, xd)
    assert out.dtype == np.float32 and out.shape == (7, 21, 3)
    assert np.array_equal(xd, xd_before)
    assert np.allclose(out, stitch_ref(pk, xs, xd), rtol=1e-5, atol=1e-5)


def test_stitch_shift_applies_to_all_keypoints(host, tmp_path):
    # one linear layer whose only non-zero outputs are the two shift columns
    w = np.zeros((65, 126))
    b = np.zeros(65)
    b[63], b[64] = 0.5, -0.25
    pk = host.Pack(_pack(tmp_path, st_n=1, npz_overrides={"st_w0": w, "st_b0": b}))
    xd = np.zeros((2, 21, 3), np.float32)
    out = pk.stitch(np.zeros((2, 21, 3)), xd)
    assert np.all(out[:, :, 0] == 0.5) and np.all(out[:, :, 1] == -0.25) and np.all(out[:, :, 2] == 0)


def test_stitch_mixed_input_dtypes(pack):
    # integer source keypoints beside float32 driving keypoints, one frame of float64
    xs = np.repeat(np.arange(63, dtype=np.int64).reshape(1, 21, 3) % 7 - 3, 3, axis=0)
    xd = np.random.default_rng(0).standard_normal((3, 21, 3)).astype(np.float32)
    assert np.allclose(pack.stitch(xs, xd), stitch_ref(pack, xs, xd), rtol=1e-5, atol=1e-5)
    one = pack.stitch(xs[:1].astype(np.float64), xd[:1].astype(np.float64))
    assert one.dtype == np.float32 and one.shape == (1, 21, 3)


@pytest.mark.parametrize(
    "xs_shape, xd_shape, match",
    [((2, 20, 3), (2, 21, 3), "matmul"),             # source rows of the wrong width
     ((2, 21, 3), (3, 21, 3), "concatenation axis"),  # different frame counts
     ((2, 22, 3), (2, 20, 3), "reshape")],          # 60 driving values are not 21 keypoints
)
def test_stitch_shape_errors(pack, xs_shape, xd_shape, match):
    with pytest.raises(ValueError, match=match):
        pack.stitch(np.zeros(xs_shape), np.zeros(xd_shape))


@pytest.mark.parametrize("width", [40, 63, 64])
def test_stitch_last_layer_too_narrow(host, tmp_path, width):
    # the last layer must give 63 corrections and the two shift columns
    w = np.zeros((width, 126))
    pk = host.Pack(_pack(tmp_path, st_n=1, npz_overrides={"st_w0": w, "st_b0": np.zeros(width)}))
    with pytest.raises(ValueError):
        pk.stitch(np.zeros((2, 21, 3)), np.zeros((2, 21, 3)))


@pytest.mark.parametrize("b_shape, ok", [((65,), True), ((1, 65), True), ((1,), True), ((), True),
                                         ((3,), False), ((2, 65), False)])
def test_stitch_bias_broadcast(host, tmp_path, b_shape, ok):
    w = np.random.default_rng(1).standard_normal((65, 126)) * 0.1
    b = np.full(b_shape, 0.5)
    pk = host.Pack(_pack(tmp_path, st_n=1, npz_overrides={"st_w0": w, "st_b0": b}))
    xs, xd = np.ones((2, 21, 3)), np.zeros((2, 21, 3))
    if ok:
        assert np.allclose(pk.stitch(xs, xd), stitch_ref(pk, xs, xd), rtol=1e-5, atol=1e-5)
    else:
        # numpy's text: the shapes without blanks
        want = "shapes (2,65) " + str(b_shape).replace(" ", "")
        with pytest.raises(ValueError, match=re.escape(want)):
            pk.stitch(xs, xd)


@pytest.mark.parametrize("cal, b", [("eo", -2.75), ("xb", -3.5), ("nope", KeyError)])
def test_pack_applies_its_f3_calibration(host, tmp_path, cal, b):
    root = _pack(tmp_path, json_overrides={"f3_cal": cal})
    if b is KeyError:
        # the calibration is looked up before any session is opened
        os.remove(os.path.join(root, "g/enc_trunk.onnx"))
        with pytest.raises(KeyError, match="nope"):
            host.Pack(root)
    else:
        assert host.Pack(root).f3.b == b


def test_damaged_archive_leaves_no_file_open(host, tmp_path):
    root = _pack(tmp_path)
    npz = pathlib.Path(root, "host.npz")
    npz.write_bytes(npz.read_bytes()[:200])
    with warnings.catch_warnings(record=True) as got:
        warnings.simplefilter("always")
        with pytest.raises(zipfile.BadZipFile):
            host.Pack(root)
        gc.collect()
    assert not [w for w in got if issubclass(w.category, ResourceWarning)]
