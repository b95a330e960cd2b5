"""Benchmark of the f2u face renderer, retrieval and composition against numpy
references of the same steps (OpenCV for the remaps and resizes on both sides).

python bench/f2u_render.py

One line per measurement: ours, the reference, reference / ours (above 1 means
ours is faster). Median of several runs in one process. The last line puts a
rendered frame against the real-time budget of 25 frames per second.
"""

import pathlib
import sys
import tempfile

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "tests" / "f2u"))
import make_f2u_render_graphs as rg  # noqa: E402
from heads_render_fixtures import (  # noqa: E402
    G,
    build_render_identity,
    build_render_pack,
    composite_ref,
    run_ref,
    warp_cone_ref,
)
from test_retrieval import RetrRef  # noqa: E402

import orvane._f2u.host as host  # noqa: E402
from _timing import median_time  # noqa: E402


def line(name, ours, ref, unit="ms", scale=1e3):
    print(f"{name:<44} ours {ours * scale:10.3f} {unit}   ref {ref * scale:10.3f} {unit}   ratio {ref / ours:7.2f}x")


def wavy_grid(amp=0.02):
    g = rg.identity_grid(512).astype(np.float64)
    yy, xx = np.mgrid[0:512, 0:512] / 512.0
    g[..., 0] += amp * np.sin(7 * yy)
    g[..., 1] += amp * np.cos(5 * xx)
    return g.astype(np.float32)


# ---- numpy references --------------------------------------------------------------------


def compose_ref(pk, src, m):
    T = len(m)
    R = host.rotvec_to_rotmat(m[:, 63:66]) @ src["R"]
    E = np.repeat(src["exp"].reshape(1, 63), T, axis=0)
    idx = np.concatenate([pk.DRIVEN, pk.EYE_DIMS])
    E[:, idx] += m[:, idx]
    t3 = np.array([src["t"][0], src["t"][1], 0.0])
    x = src["scale"] * (np.einsum("kc,tcd->tkd", src["kp_c"], R) + E.reshape(T, 21, 3)) + t3
    return pk.stitch(np.repeat(src["x_s"][None], T, axis=0), x).astype(np.float32)


def main():
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as tmp:
        pk = host.Pack(build_render_pack(pathlib.Path(tmp) / "pack")["root"], 1)
        # planes of the real size: 512 x 512 identity image
        build_render_identity(pathlib.Path(tmp) / "idn.npz", H=512, W=512, hm=96, wm=128, he=48, we=200)
        idn = host.Identity(str(pathlib.Path(tmp) / "idn.npz"), None)
        rd = host.Renderer(pk, idn, 1)

        g = wavy_grid()
        line("_warp_cone (512x512 grid, 512x512 planes)", median_time(lambda: rd._warp_cone(g)),
             median_time(lambda: warp_cone_ref(idn.planes[0], g)))

        rgb = rng.uniform(-1, 1, (3, 96, 128)).astype(np.float32)
        mask = rng.uniform(0, 1, (1, 96, 128)).astype(np.float32)
        o1, o2 = np.zeros((3, 512, 512), np.float32), np.zeros((3, 512, 512), np.float32)
        line("_composite (mouth patch 96x128)", median_time(lambda: host._composite(o1, g, rd.roi_m, rgb, mask), inner=5),
             median_time(lambda: composite_ref(o2, g, rd.roi_m, rgb, mask), inner=5))

        n = 4
        xd = (rng.standard_normal((n, 21, 3)) * 2).astype(np.float32)
        feeds = rd.inputs(xd, [0, 1, 2, 3], [1, 0, 2, 0], [0, 3, 1, 0])
        def ref():  # the same glue in numpy, with the renderer's own sessions
            return run_ref(idn, rd, feeds, lambda f: rd.s_mot.run(None, f), lambda f: rd.s_lite.run(None, f))

        assert np.array_equal(rd.run(feeds), ref())
        t_ours = median_time(lambda: rd.run(feeds), runs=5) / n
        line("Renderer.run per frame (batch of 4, eyes)", t_ours, median_time(ref, runs=5) / n)

        N, K, T = 256, 32, 200
        Kb, sd = rng.standard_normal((N, K)), np.abs(rng.standard_normal(K)) + 0.5
        from types import SimpleNamespace

        bank = SimpleNamespace(bank_key=Kb, bank_sd=sd, bank_proj=None, bank_mu=None)
        keys = np.cumsum(rng.standard_normal((T, K)) * 0.3, axis=0)
        line(f"Retr ({T} frames, {N} entries, {K} dims)", median_time(lambda: host.Retr(bank)(keys)),
             median_time(lambda: RetrRef(bank)(keys)))

        m = rng.standard_normal((T, 69)) * 0.3
        line(f"compose ({T} frames)", median_time(lambda: host.compose(pk, idn.src, m)),
             median_time(lambda: compose_ref(pk, idn.src, m)))

        budget = 1.0 / 25
        print(f"{'Renderer.run per frame vs 25 fps budget':<44} ours {t_ours * 1e3:10.3f} ms   budget "
              f"{budget * 1e3:8.3f} ms   ratio {budget / t_ours:7.2f}x")


if __name__ == "__main__":
    main()
