"""Benchmark of the f2u sources against numpy references of the same steps.

python bench/f2u_sources.py

One line per measurement: ours, the numpy reference, reference / ours (above 1
means ours is faster). Median of several runs in one process.
"""

import json
import math
import os
import pathlib
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
import make_f2u_pack  # noqa: E402

import orvane._f2u.host as host  # noqa: E402

HOP, SWIN, TW, SP8 = 640, 32000, 200, 1598 / 199
GROUPS = ((0, 4), (4, 8), (8, 12))


def median_time(fn, runs=7, inner=1):
    ts = []
    for _ in range(runs):
        t = time.perf_counter()
        for _ in range(inner):
            fn()
        ts.append((time.perf_counter() - t) / inner)
    return statistics.median(ts)


def line(name, ours, ref, unit="ms", scale=1e3):
    print(f"{name:<44} ours {ours * scale:10.3f} {unit}   numpy {ref * scale:10.3f} {unit}   ratio {ref / ours:7.2f}x")


# ---- numpy references ----------------------------------------------------------------


def f16rt_ref(x):
    return np.asarray(x, np.float32).astype(np.float16).astype(np.float32)


def zscore_ref(buf):
    x = buf.astype(np.float64)
    mu = x.mean()
    var = ((x - mu) ** 2).mean()
    inv = np.float32(1.0) / np.sqrt(np.float32(np.float32(var) + np.float32(1e-7)))
    return ((x - mu) * np.float64(inv)).astype(np.float32)


def block_ref(pk, aud, b0, B, R):
    win_end = int(b0 + B + R) * HOP
    win_start = win_end - SWIN
    z = zscore_ref(aud.window(win_start, win_end))
    tr = np.asarray(pk.s_trunk.run([pk.trunk_out], {pk.trunk_in: z[None]})[0][0], np.float32)
    LT = tr.shape[1]
    x = np.zeros((B, 640), np.float32)
    for j in range(B):
        gi = b0 + j
        f0 = 0 if gi < TW else (gi // (TW // 2) - 1) * (TW // 2)
        p = (f0 * HOP - win_start) / 80.0 + (gi - f0) * SP8
        i0 = int(np.floor(p))
        al = p - i0
        i1 = min(i0 + 1, LT - 1)
        v = (1.0 - al) * tr[:, i0].astype(np.float64) + al * tr[:, i1].astype(np.float64)
        x[j] = f16rt_ref(v.astype(np.float32))
    emb = pk.s_head.run(["emb"], {"x": x})[0]
    out = []
    for e in emb:
        r = f16rt_ref(e)
        out.append(np.stack([r[a:b].mean(axis=0) for a, b in GROUPS]).astype(np.float16))
    return np.stack(out)


class AR2Ref:
    BLOCK = 1024

    def __init__(self, res, seed):
        self.ar = [(float(c["a1"]), float(c["a2"]), float(c["sig"])) for c in res["ar"]]
        s = (seed ^ 0x5A5A5A5A) % 2**32
        self.rng = [np.random.default_rng([s, j]) for j in range(len(self.ar))]
        self.state = []
        for (a1, a2, sig), g in zip(self.ar, self.rng):
            l1 = l2 = 0.0
            e = g.standard_normal(200) * sig
            for t in range(2, 200):
                nx = (a1 * l1 + a2 * l2) + e[t]
                l2, l1 = l1, nx
            self.state.append([l1, l2])
        self.buf = np.zeros((0, len(self.ar)))
        self.b0 = 0

    def _grow(self, upto):
        while self.b0 + len(self.buf) < upto:
            blk = np.zeros((self.BLOCK, len(self.ar)))
            for j, ((a1, a2, sig), g) in enumerate(zip(self.ar, self.rng)):
                e = g.standard_normal(self.BLOCK) * sig
                l1, l2 = self.state[j]
                for t in range(self.BLOCK):
                    nx = (a1 * l1 + a2 * l2) + e[t]
                    l2, l1 = l1, nx
                    blk[t, j] = l1
                self.state[j] = [l1, l2]
            self.buf = np.concatenate([self.buf, blk])

    def rows(self, t0, t1):
        if t0 < self.b0:
            raise IndexError("AR2Noise: rows already released")
        self._grow(t1)
        out = self.buf[t0 - self.b0:t1 - self.b0]
        drop = t0 - self.b0
        if drop > 4 * self.BLOCK:
            self.buf = self.buf[drop:]
            self.b0 += drop
        return out


def cone_ref(P):
    q = np.pad(P, ((0, 0), (0, 0), (1, 1), (1, 1)), mode="edge")
    H, W = P.shape[2:]
    c = q[:, :, 1:H + 1, 1:W + 1]
    d2x = (q[:, :, 1:H + 1, 0:W] - 2.0 * c) + q[:, :, 1:H + 1, 2:W + 2]
    d2yf = (q[:, :, 0:H, :] - 2.0 * q[:, :, 1:H + 1, :]) + q[:, :, 2:H + 2, :]
    d2y = d2yf[:, :, :, 1:W + 1]
    d2xy = (d2yf[:, :, :, 0:W] - 2.0 * d2y) + d2yf[:, :, :, 2:W + 2]
    return np.ascontiguousarray(np.concatenate([P, d2x, d2y, d2xy], 1).astype(np.float32))


def identity_ref(path):
    with np.load(path, allow_pickle=False) as z:
        m = {k: z[k] for k in z.files}
    f64 = lambda k: np.array(m[k], np.float64)  # noqa: E731
    f32c = lambda k: np.ascontiguousarray(m[k].astype(np.float32))  # noqa: E731
    opt = lambda k: f64(k) if m[k].size else None  # noqa: E731
    src = {"kp_c": f64("src_kp_c"), "R": f64("src_R"), "exp": f64("src_exp"), "t": f64("src_t"),
           "scale": float(m["src_scale"]), "x_s": f32c("src_x_s")}
    out = dict(src=src, idv=f64("idv"), pose=f64("pose"), shift=float(m["shift"]), e_img=f64("e_img"),
               xcal_m=opt("xcal_m"), bank_key=f64("bank_key"), bank_sd=f64("bank_sd"), bank_proj=opt("bank_proj"),
               bank_mu=opt("bank_mu"), roi_m=m["bank_roi"].astype(np.float32), roi_e=m["eb_roi"].astype(np.float32))
    r = {k: f32c(k) for k in ("g_src", "g_f32", "g_f128", "x_s_t", "b_rgb", "b_mask", "b_x", "b_f32", "e_rgb",
                              "e_mL", "e_mR", "e_x")}
    out["r"] = r
    out["planes"] = cone_ref(r["g_src"])
    return out


def pack_ref(root, threads=1):
    j = json.load(open(os.path.join(root, "host.json")))
    with np.load(os.path.join(root, "host.npz"), allow_pickle=False) as z:
        a = {k: z[k] for k in z.files}
    out = {k: a[k].astype(np.int64) for k in ("det_dims", "DRV", "EYE4", "DRIVEN", "RKEY", "EYE_DIMS")}
    out.update({k: a[k].astype(np.float64) for k in ("base69", "W", "P", "d", "c")})
    out.update({k: a[k].astype(np.float32) for k in ("pca_mu", "pca_V")})
    out["stw"] = [(a[f"st_w{i}"].astype(np.float32), a[f"st_b{i}"].astype(np.float32)) for i in range(j["st_n"])]
    out["f3"] = host.F3Params(json.load(open(os.path.join(root, "f3fit.json"))), j["f3_cal"])
    for role in ("enc_trunk", "enc_head", "det", "head_ctx", "head_draw", "det_flow"):
        out[role] = host.ort_session(os.path.join(root, j["graphs"][role]), threads)
    return out


# ---- measurements -------------------------------------------------------------------------


class CachedSession:
    """Answers run() with fixed outputs: isolates the glue around the graphs."""

    def __init__(self, out):
        self.out = out

    def run(self, names, feed):
        return self.out


class FakePack:
    pass


class Audio:
    def __init__(self):
        self.sig = (np.sin(np.arange(2_000_000) * 0.013) * 0.3).astype(np.float32)

    def window(self, start, end):
        out = np.zeros(end - start, np.float32)
        lo = max(start, 0)
        out[lo - start:] = self.sig[lo:end]
        return out


def bench_encoder(pack):
    aud = Audio()
    tr = pack.s_trunk.run([pack.trunk_out], {pack.trunk_in: np.zeros((1, SWIN), np.float32)})
    for B in (4, 8, 16, 32, 46):
        R = min(6, 50 - B)
        emb = pack.s_head.run(["emb"], {"x": np.zeros((B, 640), np.float32)})
        fp = FakePack()
        fp.s_trunk, fp.s_head = CachedSession(tr), CachedSession(emb)
        fp.trunk_in, fp.trunk_out = pack.trunk_in, pack.trunk_out
        enc = host.Enc(fp)
        b0 = 1000
        ours = median_time(lambda: enc.block(aud, b0, B, R), runs=9, inner=20)
        ref = median_time(lambda: block_ref(fp, aud, b0, B, R), runs=9, inner=20)
        line(f"Enc.block glue per call, B={B:2d} (no ORT)", ours, ref)
    ours = median_time(lambda: host.Enc(pack).block(aud, 1000, 16, 6), runs=7, inner=5)
    ref = median_time(lambda: block_ref(pack, aud, 1000, 16, 6), runs=7, inner=5)
    line("Enc.block whole call, B=16 (test graphs)", ours, ref)


def bench_ar2():
    C = 64
    rng = np.random.default_rng(0)
    res = {"ar": [{"a1": float(a), "a2": float(b), "sig": float(s)}
                  for a, b, s in zip(rng.uniform(0.8, 1.2, C), rng.uniform(-0.6, -0.3, C), rng.uniform(0.01, 1, C))]}
    rows_total, step = 4096, 4

    def ours():
        a = host.AR2Noise(res, 7)
        for t in range(0, rows_total, step):
            a.rows(t, t + step)

    def ref():
        a = AR2Ref(res, 7)
        for t in range(0, rows_total, step):
            a.rows(t, t + step)

    to, tr = median_time(ours, runs=5), median_time(ref, runs=3)
    line(f"AR2Noise {rows_total} rows by {step}, C={C} (incl. set-up)", to, tr)
    print(f"{'':<44} ours {rows_total / to:10.0f} rows/s numpy {rows_total / tr:10.0f} rows/s")


def bench_cone():
    for shape in ((1, 3, 512, 512), (1, 32, 64, 64)):
        P = np.random.default_rng(0).standard_normal(shape).astype(np.float32)
        line(f"cone {shape}", median_time(lambda: host.cone(P), runs=9), median_time(lambda: cone_ref(P), runs=9))


def bench_load(pack_root, idn_path):
    line("Identity load (3x512x512 source)", median_time(lambda: host.Identity(idn_path, None), runs=7),
         median_time(lambda: identity_ref(idn_path), runs=7))
    line("Pack load (7 test graphs)", median_time(lambda: host.Pack(pack_root), runs=5),
         median_time(lambda: pack_ref(pack_root), runs=5))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        info = make_f2u_pack.make_pack(pathlib.Path(tmp) / "pack")
        idn = pathlib.Path(tmp) / "identity.npz"
        make_f2u_pack.make_identity(idn, H=512, W=512)
        pack = host.Pack(info["root"])
        print(f"f2u sources benchmark (numpy {np.__version__}; ratio = numpy / ours)")
        bench_encoder(pack)
        bench_ar2()
        bench_cone()
        bench_load(info["root"], idn)


if __name__ == "__main__":
    main()
