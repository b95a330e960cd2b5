"""Small f2u model packs and identity archives for tests and benchmarks.

`make_pack(root)` writes host.json, host.npz, f3fit.json and the ONNX graphs it
names. The encoder graphs compute known linear maps so results can be checked
in numpy:

* trunk  ("enc_trunk"): input "wav" (1, 32000) float32 -> first output "hid"
  (1, 640, LT) = transpose(wav.reshape(1, LT, 80) @ WT), with LT = 400; a
  second output "aux" exists so callers must pick the first one by name.
* head   ("enc_head"): input "x" (B, 640), dynamic B -> output "emb"
  (B, 12, D) = (x @ WH).reshape(B, 12, D).

The motion-model graphs ("det", "head_ctx", "head_draw", "det_flow") are
pass-through placeholders (input "x" -> output "y"); a caller that needs real
ones passes `graphs={role: builder}` where builder(path) writes the model.
"""

from __future__ import annotations

import json
import os
import pathlib

import numpy as np

LT = 400
D_EMB = 8
_ABSENT = object()


def _save(model, path):
    import onnx

    onnx.checker.check_model(model)
    onnx.save(model, str(path))


def _model(nodes, inputs, outputs, inits, name):
    from onnx import helper

    g = helper.make_graph(nodes, name, inputs, outputs, initializer=inits)
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", 17)])
    m.ir_version = 8
    return m


def trunk_graph(path, WT):
    from onnx import TensorProto, helper, numpy_helper

    nodes = [
        helper.make_node("Reshape", ["wav", "shp"], ["r"]),
        helper.make_node("MatMul", ["r", "WT"], ["m"]),
        helper.make_node("Transpose", ["m"], ["hid"], perm=[0, 2, 1]),
        helper.make_node("Identity", ["wav"], ["aux"]),
    ]
    inits = [
        numpy_helper.from_array(np.array([1, LT, 80], np.int64), "shp"),
        numpy_helper.from_array(WT.astype(np.float32), "WT"),
    ]
    ins = [helper.make_tensor_value_info("wav", TensorProto.FLOAT, [1, 32000])]
    outs = [
        helper.make_tensor_value_info("hid", TensorProto.FLOAT, [1, 640, LT]),
        helper.make_tensor_value_info("aux", TensorProto.FLOAT, [1, 32000]),
    ]
    _save(_model(nodes, ins, outs, inits, "enc_trunk"), path)


def head_graph(path, WH, D=D_EMB):
    from onnx import TensorProto, helper, numpy_helper

    nodes = [
        helper.make_node("MatMul", ["x", "WH"], ["m"]),
        helper.make_node("Reshape", ["m", "shp"], ["emb"]),
    ]
    inits = [
        numpy_helper.from_array(WH.astype(np.float32), "WH"),
        numpy_helper.from_array(np.array([-1, 12, D], np.int64), "shp"),
    ]
    ins = [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["B", 640])]
    outs = [helper.make_tensor_value_info("emb", TensorProto.FLOAT, ["B", 12, D])]
    _save(_model(nodes, ins, outs, inits, "enc_head"), path)


def passthrough_graph(path, name="placeholder"):
    from onnx import TensorProto, helper

    nodes = [helper.make_node("Identity", ["x"], ["y"])]
    ins = [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["N", "K"])]
    outs = [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["N", "K"])]
    _save(_model(nodes, ins, outs, [], name), path)


def f3fit_doc():
    return {
        "hazard": {
            "w": [0.5, -1.25, 2.0],
            "b": -3.0,
            "cal": {"eo": {"delta": 0.25}, "xb": {"delta": -0.5}},
            "mu_x": [0.0, 1.0, 2.0],
            "sd_x": [1.0, 2.0, 4.0],
        },
        "lib_rel": [
            [0.0, 0.4, 0.05],
            [0.0, 0.8, -0.05],
            [0.0, 0.6, 0.0501],
            [0.0, 0.2, 0.0],
        ],
        "lib_pre": [0.1, 0.2, 0.3, 0.4],
        "lib_flut": [True, False, True, False],
        "q_flut_val": 0.25,
        "u": [0.5, -0.5],
        "resid": {"B": [[1.0, 0.0]], "V": [[0.5]]},
        "REFRACT": 3.9,
        "causal": {"AWIN": [[4, 16], [16, 64]]},
        "ignored": 1,
    }


def make_pack(
    root,
    *,
    R=5,
    trunk_crop_r=_ABSENT,
    st_n=2,
    st_hidden=32,
    flow_dims=(0, 1, 2),
    det_flow_D=_ABSENT,
    seed=0,
    json_overrides=None,
    json_drop=(),
    npz_overrides=None,
    npz_drop=(),
    graphs=None,
    write_lite=True,
):
    """Write a pack into `root`; returns a dict with the weights used."""
    root = pathlib.Path(root)
    root.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    WT = (rng.standard_normal((80, 640)) * 0.1).astype(np.float32)
    WH = (rng.standard_normal((640, 12 * D_EMB)) * 0.05).astype(np.float32)

    j = {
        "R": R,
        "det_F": 6,
        "det_window": 16,
        "head": {"p": 3, "nk": 4, "S": 2, "D": 5, "pf": 1, "nkf": 2, "ncode": 8, "Lc": 3, "eps": 0.01,
                 "hid_shape": [1, 1, 8]},
        "st_n": st_n,
        "f3_cal": "eo",
        "graphs": {
            "enc_trunk": "g/enc_trunk.onnx",
            "enc_head": "g/enc_head.onnx",
            "det": "g/det.onnx",
            "head_ctx": "g/head_ctx.onnx",
            "head_draw": "g/head_draw.onnx",
            "det_flow": "g/det_flow.onnx",
            "motion": "g/motion.onnx",
            "lite": "g/lite.onnx",
        },
    }
    if trunk_crop_r is not _ABSENT:
        j["trunk_crop_r"] = trunk_crop_r
    if det_flow_D is not _ABSENT:
        j["det_flow_D"] = det_flow_D
    j.update(json_overrides or {})
    for k in json_drop:
        j.pop(k, None)
    (root / "host.json").write_text(json.dumps(j))

    a = {
        "det_dims": np.arange(6, dtype=np.int32),
        "DRV": np.array([1, 2, 3], np.int16),
        "EYE4": np.arange(12, dtype=np.int32) + 40,
        "DRIVEN": np.array([0, 5, 7], np.int32),
        "RKEY": np.array([2, 4], np.int32),
        "EYE_DIMS": np.array([30, 31], np.int32),
        "base69": rng.standard_normal(69).astype(np.float32),
        "W": rng.standard_normal((4, 3)).astype(np.float32),
        "P": np.linspace(-1.0, 1.0, 8).astype(np.float32),
        "d": rng.standard_normal((3, 2)).astype(np.float32),
        "c": np.array([0.0, 1.0, 3.0], np.float32),
        "pca_mu": rng.standard_normal(5),
        "pca_V": rng.standard_normal((5, 3)),
        "det_flow_dims": np.asarray(flow_dims, np.int32),
        "det_mu": np.zeros(6, np.float32),
        "det_sd": np.ones(6, np.float32),
    }
    width = 126
    for i in range(st_n):
        out = 65 if i == st_n - 1 else st_hidden
        a[f"st_w{i}"] = (rng.standard_normal((out, width)) * 0.1).astype(np.float64)
        a[f"st_b{i}"] = (rng.standard_normal(out) * 0.1).astype(np.float64)
        width = out
    a.update(npz_overrides or {})
    for k in npz_drop:
        a.pop(k, None)
    np.savez(root / "host.npz", **a)

    (root / "f3fit.json").write_text(json.dumps(f3fit_doc()))

    g = root / "g"
    g.mkdir(exist_ok=True)
    builders = {
        "enc_trunk": lambda p: trunk_graph(p, WT),
        "enc_head": lambda p: head_graph(p, WH),
        "det": lambda p: passthrough_graph(p, "det"),
        "head_ctx": lambda p: passthrough_graph(p, "head_ctx"),
        "head_draw": lambda p: passthrough_graph(p, "head_draw"),
        "det_flow": lambda p: passthrough_graph(p, "det_flow"),
        "motion": lambda p: passthrough_graph(p, "motion"),
    }
    if write_lite:
        builders["lite"] = lambda p: passthrough_graph(p, "lite")
    builders.update(graphs or {})
    for role, build in builders.items():
        build(g / f"{role}.onnx")
    return {"root": str(root), "WT": WT, "WH": WH, "json": j, "npz": a}


IDENTITY_MEMBERS = (
    "src_kp_c", "src_R", "src_exp", "src_t", "src_scale", "src_x_s", "idv", "pose", "shift", "e_img",
    "xcal_m", "bank_key", "bank_sd", "bank_proj", "bank_mu", "bank_roi", "eb_roi",
    "g_src", "g_f32", "g_f128", "x_s_t", "b_rgb", "b_mask", "b_x", "b_f32", "e_rgb", "e_mL", "e_mR", "e_x",
)


def identity_arrays(*, H=16, W=16, C=3, seed=0, n_eye=8):
    rng = np.random.default_rng(seed)
    e = np.cumsum(np.abs(rng.standard_normal((n_eye, 2))) * 0.05, axis=0) + 0.2
    return {
        "src_kp_c": rng.standard_normal((21, 3)).astype(np.float32),
        "src_R": np.eye(3, dtype=np.float32),
        "src_exp": rng.standard_normal((21, 3)).astype(np.float32),
        "src_t": rng.standard_normal(3).astype(np.float32),
        "src_scale": np.array(1.25, np.float32),
        "src_x_s": rng.standard_normal((21, 3)),
        "idv": rng.standard_normal(126).astype(np.float32),
        "pose": rng.standard_normal((4, 3)).astype(np.float32),
        "shift": np.array(0.5),
        "e_img": e.astype(np.float32),
        "xcal_m": np.arange(1, n_eye, dtype=np.float64),
        "bank_key": rng.standard_normal((6, 4)).astype(np.float32),
        "bank_sd": np.abs(rng.standard_normal(4)).astype(np.float32),
        "bank_proj": np.zeros((0,), np.float32),
        "bank_mu": np.zeros((0,), np.float32),
        "bank_roi": np.array([300, 420, 180, 330], np.int32),
        "eb_roi": np.array([150, 230, 140, 370], np.int32),
        "g_src": rng.standard_normal((1, C, H, W)).astype(np.float32),
        "g_f32": rng.standard_normal((1, 4, 8, 8)),
        "g_f128": np.asfortranarray(rng.standard_normal((2, 3)).astype(np.float32)),
        "x_s_t": rng.standard_normal((1, 21, 3)).astype(np.float32),
        "b_rgb": rng.integers(0, 255, (6, 8, 8, 3)).astype(np.uint8),
        "b_mask": rng.random((6, 8, 8)).astype(np.float32),
        "b_x": rng.standard_normal((6, 21, 3)).astype(np.float32),
        "b_f32": rng.standard_normal((6, 4)).astype(np.float32),
        "e_rgb": rng.integers(0, 255, (3, 4, 8, 3)).astype(np.uint8),
        "e_mL": rng.random((3, 4, 8)).astype(np.float32),
        "e_mR": rng.random((3, 4, 8)).astype(np.float32),
        "e_x": rng.standard_normal((3, 21, 3)).astype(np.float32),
    }


def make_identity(path, *, overrides=None, drop=(), extra=None, **kw):
    """Write an identity archive with the 29 members the loader reads."""
    a = identity_arrays(**kw)
    a.update(overrides or {})
    for k in drop:
        a.pop(k, None)
    a.update(extra or {})
    np.savez(path, **a)
    return a


if __name__ == "__main__":
    import sys

    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "f2u_fixture")
    make_pack(out / "pack")
    make_identity(out / "identity.npz")
    print(os.fspath(out))
