"""Face-renderer test graphs for f2u packs: "motion" and "lite".

Both use the input and output names the face renderer feeds and reads, and
compute simple element-wise maps that a test can redo in numpy (no reductions,
so the float32 results match to the bit):

motion  inputs  f32 (f32_shape), x_s (1, 21, 3), x_d (n, 21, 3), bf32 (n, F), xk (n, 21, 3)
        outputs grid64 (n, G, G, 2) = base + 0.01 * x_d[:, 0, 0:2]     (per frame shift)
                occ    (n, 1, G, G) = bf32[:, 0] everywhere
                z      (n, 21, 3)   = xk + x_s
                y0     (n, F)       = bf32 * 0.5 + f32.ravel()[0:F]
                gm64   (n, G, G, 2) = base + 0.02 * x_d[:, 1, 0:2]
lite    inputs  wrgb (n, 3, 512, 512), grid64, occ, y0, z, f128 (f128_shape)
        outputs o (n, 3, 512, 512) = wrgb * 0.5 + c[n], with
                  c = (((occ[:, 0, 0, 0] * 0.25 + z[:, 0, 0] * 0.125) + y0[:, 0] * 0.0625)
                       + f128.ravel()[0] * 0.03125) + grid64[:, 0, 0, 0] * 0.015625
                aux = occ (a second output the renderer must not use)

`base` is the identity sampling grid of G x G cells (cell centres in -1 .. 1).
`render_graphs(...)` returns {"motion": builder, "lite": builder} for
`make_f2u_pack.make_pack(root, graphs=...)`; `reference_motion` and
`reference_lite` are the numpy versions.
"""

from __future__ import annotations

import numpy as np

import make_f2u_pack


def identity_grid(G):
    c = (2.0 * np.arange(G, dtype=np.float64) + 1.0) / G - 1.0
    g = np.empty((G, G, 2), np.float32)
    g[..., 0] = c[None, :]
    g[..., 1] = c[:, None]
    return g


class _G:
    def __init__(self):
        self.nodes, self.inits, self.k = [], [], 0

    def const(self, arr, dtype=np.float32):
        from onnx import numpy_helper

        self.k += 1
        name = f"c{self.k}"
        self.inits.append(numpy_helper.from_array(np.asarray(arr, dtype), name))
        return name

    def op(self, kind, ins, out=None, **attrs):
        from onnx import helper

        self.k += 1
        out = out or f"t{self.k}"
        self.nodes.append(helper.make_node(kind, ins, [out], **attrs))
        return out

    def slice(self, x, starts, ends, axes):
        return self.op("Slice", [x, self.const(starts, np.int64), self.const(ends, np.int64),
                                 self.const(axes, np.int64)])

    def reshape(self, x, shape, out=None):
        return self.op("Reshape", [x, self.const(shape, np.int64)], out)


def _vi(name, dims):
    from onnx import TensorProto, helper

    return helper.make_tensor_value_info(name, TensorProto.FLOAT, dims)


def motion_graph(path, *, G=64, F=4, f32_shape=(1, 4, 8, 8)):
    g = _G()
    base = g.const(identity_grid(G)[None])
    # per-frame grid shifts from the first two keypoints
    s0 = g.reshape(g.slice("x_d", [0, 0], [1, 2], [1, 2]), [-1, 1, 1, 2])
    g.op("Add", [base, g.op("Mul", [s0, g.const(0.01)])], "grid64")
    s1 = g.reshape(g.slice("x_d", [1, 0], [2, 2], [1, 2]), [-1, 1, 1, 2])
    g.op("Add", [base, g.op("Mul", [s1, g.const(0.02)])], "gm64")
    b0 = g.reshape(g.slice("bf32", [0], [1], [1]), [-1, 1, 1, 1])
    g.op("Mul", [b0, g.const(np.ones((1, 1, G, G)))], "occ")
    g.op("Add", ["xk", "x_s"], "z")
    ff = g.slice(g.reshape("f32", [1, -1]), [0], [F], [1])
    g.op("Add", [g.op("Mul", ["bf32", g.const(0.5)]), ff], "y0")
    ins = [_vi("f32", list(f32_shape)), _vi("x_s", [1, 21, 3]), _vi("x_d", ["n", 21, 3]), _vi("bf32", ["n", F]),
           _vi("xk", ["n", 21, 3])]
    outs = [_vi("grid64", ["n", G, G, 2]), _vi("occ", ["n", 1, G, G]), _vi("z", ["n", 21, 3]),
            _vi("y0", ["n", F]), _vi("gm64", ["n", G, G, 2])]
    make_f2u_pack._save(make_f2u_pack._model(g.nodes, ins, outs, g.inits, "motion"), path)


def lite_graph(path, *, G=64, F=4, f128_shape=(1, 4)):
    g = _G()

    def term(x, starts, ends, axes, w):
        return g.op("Mul", [g.reshape(g.slice(x, starts, ends, axes), [-1, 1, 1, 1]), g.const(w)])

    c = g.op("Add", [term("occ", [0, 0, 0], [1, 1, 1], [1, 2, 3], 0.25), term("z", [0, 0], [1, 1], [1, 2], 0.125)])
    c = g.op("Add", [c, term("y0", [0], [1], [1], 0.0625)])
    f0 = g.op("Mul", [g.reshape(g.slice(g.reshape("f128", [1, -1]), [0], [1], [1]), [1, 1, 1, 1]),
                      g.const(0.03125)])
    c = g.op("Add", [c, f0])
    c = g.op("Add", [c, term("grid64", [0, 0, 0], [1, 1, 1], [1, 2, 3], 0.015625)])
    g.op("Add", [g.op("Mul", ["wrgb", g.const(0.5)]), c], "o")
    g.op("Identity", ["occ"], "aux")
    ins = [_vi("wrgb", ["n", 3, 512, 512]), _vi("grid64", ["n", G, G, 2]), _vi("occ", ["n", 1, G, G]),
           _vi("y0", ["n", F]), _vi("z", ["n", 21, 3]), _vi("f128", list(f128_shape))]
    outs = [_vi("o", ["n", 3, 512, 512]), _vi("aux", ["n", 1, G, G])]
    make_f2u_pack._save(make_f2u_pack._model(g.nodes, ins, outs, g.inits, "lite"), path)


def render_graphs(*, G=64, F=4, f32_shape=(1, 4, 8, 8), f128_shape=(1, 4)):
    return {
        "motion": lambda p: motion_graph(p, G=G, F=F, f32_shape=f32_shape),
        "lite": lambda p: lite_graph(p, G=G, F=F, f128_shape=f128_shape),
    }


def reference_motion(feeds, *, G=64):
    f32 = np.float32
    x_d, bf32 = feeds["x_d"], feeds["bf32"]
    base = identity_grid(G)[None]
    n = x_d.shape[0]
    grid64 = base + x_d[:, 0, 0:2].reshape(n, 1, 1, 2) * f32(0.01)
    gm64 = base + x_d[:, 1, 0:2].reshape(n, 1, 1, 2) * f32(0.02)
    occ = bf32[:, 0].reshape(n, 1, 1, 1) * np.ones((1, 1, G, G), f32)
    z = feeds["xk"] + feeds["x_s"]
    F = bf32.shape[1]
    y0 = bf32 * f32(0.5) + np.asarray(feeds["f32"], f32).reshape(1, -1)[:, 0:F]
    return [grid64, occ, z, y0, gm64]


def reference_lite(feeds):
    f32 = np.float32
    n = feeds["wrgb"].shape[0]

    def col(x, w):
        return np.asarray(x, f32).reshape(n, -1)[:, 0].reshape(n, 1, 1, 1) * f32(w)

    c = col(feeds["occ"], 0.25) + col(feeds["z"], 0.125)
    c = c + col(feeds["y0"], 0.0625)
    c = c + np.asarray(feeds["f128"], f32).reshape(-1)[0].reshape(1, 1, 1, 1) * f32(0.03125)
    c = c + col(feeds["grid64"], 0.015625)
    return [feeds["wrgb"] * f32(0.5) + c, feeds["occ"]]
