"""Benchmark of the f2u sources against numpy references of the same steps.

python bench/f2u_sources.py

One line per measurement: ours, the numpy reference, reference / ours (above 1
means ours is faster). Median of several runs in one process.
"""

import json
import os
import pathlib
import sys
import tempfile

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
import make_f2u_pack  # noqa: E402
from f2u_reference import SWIN, AR2Ref, block_ref, cone_ref, identity_ref  # noqa: E402

import orvane._f2u.host as host  # noqa: E402
from _timing import median_time  # noqa: E402


def line(name, ours, ref, unit="ms", scale=1e3):
    print(f"{name:<44} ours {ours * scale:10.3f} {unit}   numpy {ref * scale:10.3f} {unit}   ratio {ref / ours:7.2f}x")


# ---- numpy reference of the pack load ---------------------------------------------------


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
