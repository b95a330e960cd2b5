"""Motion-model test graphs for f2u packs: "det", "det_flow", "head_ctx", "head_draw".

Each graph has the input and output names, types and shapes the motion
steppers feed and read, and computes a small known function of *every* input
(means, masks, a linear map, tanh/softmax), so a wrong feed changes the
result. `formulas(weights)` gives the same functions in numpy for checking
the graphs themselves; the steppers' tests run the sessions directly.

`make_motion_pack(root, **kw)` writes a whole pack through
`make_f2u_pack.make_pack(graphs={role: builder})` with a motion configuration
whose head section satisfies nk * D = 4 and 4 % nkf == 0.
"""

from __future__ import annotations

import numpy as np

import make_f2u_pack

C = 4
HD = 16  # width of the det model's context output h
G = 8  # width of the head context g

DEFAULT_CFG = {
    "W": 3,  # det_window
    "F": 8,  # det_F
    "det_dims": [0, 1, 2, 3, 5],
    "flow_dims": [4, 6],
    "flow_D": 5,
    "head": {"p": 3, "nk": 2, "S": 2, "D": 2, "pf": 1, "nkf": 2, "ncode": 4, "Lc": 3, "eps": 0.05,
             "hid_shape": [1, 1, 8]},
}


def _nx0(head):
    return 1 + 3 * head["nkf"] + 3 * head["nk"]


def make_weights(cfg, seed=1):
    rng = np.random.default_rng(seed)
    W, F, hd = cfg["W"], cfg["F"], cfg["head"]
    nd, nf = len(cfg["det_dims"]), len(cfg["flow_dims"])
    S, nhid = hd["S"], int(np.prod(hd["hid_shape"]))
    z_det = W * C + W * C * F + 2 * W + 126
    z_ctx = 4 + HD + 2 * S * 3 + 1 + 1 + 129 + nhid + 3 + 1
    z_draw = G + 1 + 1 + _nx0(hd) + 1

    def w(*shape, s=0.3):
        return (rng.standard_normal(shape) * s).astype(np.float32)

    return {
        "Wa": w(z_det, C * nd, s=0.2), "Wh": w(z_det, HD, s=0.2),
        "Wf": w(HD + max(cfg["flow_D"], 1), (C + 1) * max(nf, 1)),
        "Wg": w(z_ctx, G, s=0.1), "Whid": w(z_ctx, nhid, s=0.1), "Wp": w(z_ctx, max(hd["ncode"], 1), s=0.1),
        "Wdf": w(z_draw, hd["nkf"] * 3), "Wds": w(z_draw, hd["nk"] * 3), "Wlp": w(z_draw, 1),
    }


# ---- numpy forms of the graphs ---------------------------------------------------------


def formulas(cfg, wts):
    hd = cfg["head"]
    f32 = np.float32

    def det(feat, hist, valid, tokv, idv):
        fm = feat.mean(axis=(2, 3), dtype=f32)
        hv = (hist * valid[..., None].astype(f32)).reshape(1, -1)
        z = np.concatenate([fm, hv, tokv.astype(f32), valid.astype(f32), idv.reshape(1, -1)], 1)
        return [np.tanh(z @ wts["Wa"]).reshape(1, C, -1), np.tanh(z @ wts["Wh"])]

    def det_flow(h, x0):
        z = np.concatenate([h, x0], 1)
        return [(z @ wts["Wf"]).reshape(1, C + 1, -1)]

    def head_ctx(f, hh, shist, fhist, lprev, tok, idt, hid, pose_deg, k0):
        z = np.concatenate([f.mean(axis=(3, 4), dtype=f32).reshape(1, 4), hh.reshape(1, -1), shist.reshape(1, -1),
                            fhist.reshape(1, -1), lprev.reshape(1, 1), tok.astype(f32).reshape(1, 1) * f32(0.01),
                            idt, hid.reshape(1, -1), pose_deg, k0.reshape(1, 1)], 1)
        e = z @ wts["Wp"]
        e = np.exp(e - e.max(axis=1, keepdims=True))
        return [np.tanh(z @ wts["Wg"]), np.tanh(z @ wts["Whid"]).reshape(hd["hid_shape"]), e / e.sum(1, keepdims=True)]

    def head_draw(g, code, u, x0, lpn):
        z = np.concatenate([g, code.astype(f32).reshape(1, 1), u.reshape(1, 1), x0, lpn.reshape(1, 1)], 1)
        return [(z @ wts["Wdf"] * f32(0.1)).reshape(1, hd["nkf"], 3), (z @ wts["Wds"] * f32(0.1)).reshape(1, hd["nk"], 3),
                np.tanh(z @ wts["Wlp"]) - f32(3.0)]

    return {"det": det, "det_flow": det_flow, "head_ctx": head_ctx, "head_draw": head_draw}


# ---- ONNX builders ----------------------------------------------------------------------


class _G:
    """A tiny graph writer: named values, nodes appended in order."""

    def __init__(self):
        from onnx import helper, numpy_helper

        self.h, self.nh = helper, numpy_helper
        self.nodes, self.inits, self.ins, self.outs, self.k = [], [], [], [], 0

    def inp(self, name, elem, shape):
        self.ins.append(self.h.make_tensor_value_info(name, elem, shape))
        return name

    def const(self, arr):
        self.k += 1
        name = f"c{self.k}"
        self.inits.append(self.nh.from_array(np.asarray(arr), name))
        return name

    def op(self, kind, ins, out=None, **attrs):
        self.k += 1
        out = out or f"v{self.k}"
        self.nodes.append(self.h.make_node(kind, list(ins), [out], **attrs))
        return out

    def flat(self, x, n):
        return self.op("Reshape", [x, self.const(np.array([1, n], np.int64))])

    def out(self, name, elem, shape):
        self.outs.append(self.h.make_tensor_value_info(name, elem, shape))

    def save(self, path, name):
        make_f2u_pack._save(make_f2u_pack._model(self.nodes, self.ins, self.outs, self.inits, name), path)


def _tp():
    from onnx import TensorProto

    return TensorProto


def det_graph(path, cfg, wts):
    T = _tp()
    W, F = cfg["W"], cfg["F"]
    nd = len(cfg["det_dims"])
    g = _G()
    feat = g.inp("feat", T.FLOAT, [1, W * C, 3, 768])
    hist = g.inp("hist", T.FLOAT, [1, W, C * F])
    valid = g.inp("valid", T.BOOL, [1, W])
    tokv = g.inp("tokv", T.BOOL, [1, W])
    idv = g.inp("idv", T.FLOAT, [1, 126])
    fm = g.op("ReduceMean", [feat], axes=[2, 3], keepdims=0)
    vf = g.op("Cast", [valid], to=T.FLOAT)
    tf = g.op("Cast", [tokv], to=T.FLOAT)
    hv = g.flat(g.op("Mul", [hist, g.op("Unsqueeze", [vf, g.const(np.array([2], np.int64))])]), W * C * F)
    z = g.op("Concat", [fm, hv, tf, vf, idv], axis=1)
    g.op("Reshape", [g.op("Tanh", [g.op("MatMul", [z, g.const(wts["Wa"])])]),
                     g.const(np.array([1, C, nd], np.int64))], out="det")
    g.op("Tanh", [g.op("MatMul", [z, g.const(wts["Wh"])])], out="h")
    g.out("det", T.FLOAT, [1, C, nd])
    g.out("h", T.FLOAT, [1, HD])
    g.save(path, "det")


def det_flow_graph(path, cfg, wts):
    T = _tp()
    nf = len(cfg["flow_dims"])
    g = _G()
    h = g.inp("h", T.FLOAT, [1, HD])
    x0 = g.inp("x0", T.FLOAT, [1, cfg["flow_D"]])
    z = g.op("Concat", [h, x0], axis=1)
    g.op("Reshape", [g.op("MatMul", [z, g.const(wts["Wf"])]), g.const(np.array([1, C + 1, nf], np.int64))], out="y")
    g.out("y", T.FLOAT, [1, C + 1, nf])
    g.save(path, "det_flow")


def head_ctx_graph(path, cfg, wts):
    T = _tp()
    hd = cfg["head"]
    S, nhid = hd["S"], int(np.prod(hd["hid_shape"]))
    g = _G()
    f = g.inp("f", T.FLOAT, [1, 1, 4, 3, 768])
    hh = g.inp("hh", T.FLOAT, [1, 1, HD])
    shist = g.inp("shist", T.FLOAT, [1, 1, S, 3])
    fhist = g.inp("fhist", T.FLOAT, [1, 1, S, 3])
    lprev = g.inp("lprev", T.FLOAT, [1, 1])
    tok = g.inp("tok", T.INT64, [1, 1])
    idt = g.inp("idt", T.FLOAT, [1, 129])
    hid = g.inp("hid", T.FLOAT, list(hd["hid_shape"]))
    pose = g.inp("pose_deg", T.FLOAT, [1, 3])
    k0 = g.inp("k0", T.FLOAT, [1])
    fm = g.flat(g.op("ReduceMean", [f], axes=[3, 4], keepdims=0), 4)
    tk = g.op("Mul", [g.op("Cast", [tok], to=T.FLOAT), g.const(np.array(0.01, np.float32))])
    z = g.op("Concat", [fm, g.flat(hh, HD), g.flat(shist, S * 3), g.flat(fhist, S * 3), lprev, tk, idt,
                        g.flat(hid, nhid), pose, g.flat(k0, 1)], axis=1)
    g.op("Tanh", [g.op("MatMul", [z, g.const(wts["Wg"])])], out="g")
    g.op("Reshape", [g.op("Tanh", [g.op("MatMul", [z, g.const(wts["Whid"])])]),
                     g.const(np.array(hd["hid_shape"], np.int64))], out="hid_out")
    g.op("Softmax", [g.op("MatMul", [z, g.const(wts["Wp"])])], out="pr", axis=1)
    g.out("g", T.FLOAT, [1, G])
    g.out("hid_out", T.FLOAT, list(hd["hid_shape"]))
    g.out("pr", T.FLOAT, [1, max(hd["ncode"], 1)])
    g.save(path, "head_ctx")


def head_draw_graph(path, cfg, wts):
    T = _tp()
    hd = cfg["head"]
    g = _G()
    gi = g.inp("g", T.FLOAT, [1, G])
    code = g.inp("code", T.INT64, [1])
    u = g.inp("u", T.FLOAT, [1])
    x0 = g.inp("x0", T.FLOAT, [1, _nx0(hd)])
    lpn = g.inp("lpn", T.FLOAT, [1])
    z = g.op("Concat", [gi, g.flat(g.op("Cast", [code], to=T.FLOAT), 1), g.flat(u, 1), x0, g.flat(lpn, 1)], axis=1)
    tenth = g.const(np.array(0.1, np.float32))
    g.op("Reshape", [g.op("Mul", [g.op("MatMul", [z, g.const(wts["Wdf"])]), tenth]),
                     g.const(np.array([1, hd["nkf"], 3], np.int64))], out="df")
    g.op("Reshape", [g.op("Mul", [g.op("MatMul", [z, g.const(wts["Wds"])]), tenth]),
                     g.const(np.array([1, hd["nk"], 3], np.int64))], out="ds")
    g.op("Sub", [g.op("Tanh", [g.op("MatMul", [z, g.const(wts["Wlp"])])]), g.const(np.array(3.0, np.float32))],
         out="lp")
    g.out("df", T.FLOAT, [1, hd["nkf"], 3])
    g.out("ds", T.FLOAT, [1, hd["nk"], 3])
    g.out("lp", T.FLOAT, [1, 1])
    g.save(path, "head_draw")


def graph_builders(cfg, wts):
    """{role: builder(path)} for make_f2u_pack.make_pack(graphs=...)."""
    return {
        "det": lambda p: det_graph(p, cfg, wts),
        "det_flow": lambda p: det_flow_graph(p, cfg, wts),
        "head_ctx": lambda p: head_ctx_graph(p, cfg, wts),
        "head_draw": lambda p: head_draw_graph(p, cfg, wts),
    }


def motion_arrays(cfg, seed=2):
    rng = np.random.default_rng(seed)
    F = cfg["F"]
    return {
        "det_dims": np.asarray(cfg["det_dims"], np.int32),
        "det_flow_dims": np.asarray(cfg["flow_dims"], np.int32),
        "det_mu": rng.standard_normal(F).astype(np.float32),
        "det_sd": (0.5 + rng.random(F)).astype(np.float32),
        "det_id_mu": rng.standard_normal(126).astype(np.float32),
        "det_id_sd": (0.5 + rng.random(126)).astype(np.float32),
        "h2l_id_mu": rng.standard_normal(129).astype(np.float32),
        "h2l_id_sd": (0.5 + rng.random(129)).astype(np.float32),
        "h2l_l_mu": np.float32(-3.0),
        "h2l_l_sd": np.float32(0.5),
    }


def make_motion_pack(root, cfg=None, *, seed=1, json_overrides=None, npz_overrides=None, **kw):
    """A pack whose motion graphs are the ones above; returns make_pack's dict
    plus "cfg", "weights" and "formulas"."""
    cfg = cfg or DEFAULT_CFG
    wts = make_weights(cfg, seed)
    j = {"det_window": cfg["W"], "det_F": cfg["F"], "head": cfg["head"]}
    if cfg["flow_dims"]:
        j["det_flow_D"] = cfg["flow_D"]
    j.update(json_overrides or {})
    a = motion_arrays(cfg, seed + 1)
    a.update(npz_overrides or {})
    info = make_f2u_pack.make_pack(root, flow_dims=tuple(cfg["flow_dims"]), json_overrides=j, npz_overrides=a,
                                   graphs=graph_builders(cfg, wts), **kw)
    info.update(cfg=cfg, weights=wts, formulas=formulas(cfg, wts))
    return info
