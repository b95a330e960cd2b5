"""Benchmark of the f2u motion steppers and opener against numpy references of
the same steps (the references run the same ONNX sessions).

python bench/f2u_heads.py

One line per measurement: ours, the numpy reference, reference / ours (above 1
means ours is faster), and the share of the real-time budget of one token
(4 frames at 25 fps = 160 ms) or one frame (40 ms). Median of several runs in
one process.
"""

import pathlib
import sys
import tempfile

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "tests" / "f2u"))
import heads_motion_fixtures as fx  # noqa: E402
import make_f2u_motion_graphs as mg  # noqa: E402

import orvane._f2u.host as host  # noqa: E402
from _timing import median_time  # noqa: E402


def line(name, ours, ref, budget):
    print(f"{name:<40} ours {ours * 1e3:9.3f} ms   numpy {ref * 1e3:9.3f} ms   ratio {ref / ours:6.2f}x"
          f"   budget {ours / budget * 100:6.2f} %")


def main():
    tmp = tempfile.mkdtemp()
    cfg = dict(mg.DEFAULT_CFG, W=16)
    pk = host.Pack(mg.make_motion_pack(tmp, cfg)["root"], 1)
    rng = np.random.default_rng(0)
    toks = [fx.token(rng) for _ in range(40)]
    idv = rng.standard_normal((1, 126)).astype(np.float32)

    def run_dets(cls):
        def go():
            ds = cls(pk, idv)
            for t in toks:
                ds.step(t)
        return go

    n = len(toks)
    line("DetS.step (W=16)", median_time(run_dets(host.DetS), 5) / n, median_time(run_dets(fx.DetSRef), 5) / n,
         0.16)

    idv129 = rng.standard_normal(129)
    h = np.zeros((1, 16), np.float32)

    def run_headl(ref):
        def go():
            hl = (fx.HeadLRef(pk, idv129, host.NumpyNoise(1), bweights=host.bweights) if ref
                  else host.HeadL(pk, idv129, host.NumpyNoise(1), cap_tokens=16, keep_tokens=4))
            for t in toks:
                hl.step(t, h)
        return go

    line("HeadL.step", median_time(run_headl(False), 5) / n, median_time(run_headl(True), 5) / n, 0.16)

    d, c = fx.path_tables()
    blocks = [(rng.standard_normal((4, 69)).astype(np.float32), rng.standard_normal((4, 2)), rng.standard_normal(4))
              for _ in range(500)]
    EYE4 = np.arange(12) + 40

    def run_open(ref):
        def go():
            g = fx.params(b=-2.0)
            args = (g, fx.EyeMapStub(), np.linspace(0, 2, 8), d, c, 3, 0.0, fx.TableNoise())
            o = fx.OpenRef(*args, path_delta=host.path_delta) if ref else host.F3COpen(*args)
            for b in blocks:
                o.add(*b)
                o.pop(EYE4)
        return go

    rows = 4 * len(blocks)
    line("F3COpen add+pop (per row)", median_time(run_open(False), 5) / rows, median_time(run_open(True), 5) / rows,
         0.04)


if __name__ == "__main__":
    main()
