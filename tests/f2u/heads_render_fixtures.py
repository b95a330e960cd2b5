"""Fixtures and numpy references shared by the face-renderer tests.

An identity whose bank arrays have the renderer's shapes (channel-first patches,
masks with a plane axis), a pack whose "motion" and "lite" graphs come from
tools/make_f2u_render_graphs.py, and the numpy formulations of the plane warp
and of patch compositing (OpenCV for the remaps, numpy for the rest, float32
throughout, in the documented order).
"""

from __future__ import annotations

import numpy as np
import pytest

import make_f2u_pack
import make_f2u_render_graphs

G = 64  # motion-model grid size
F = 4  # mouth-bank feature width


def render_identity_overrides(*, seed=1, H=48, W=40, N=5, E=4, hm=30, wm=36, he=20, we=56):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:H, 0:W].astype(np.float32)
    g_src = np.stack([np.sin(xx / 5.0 + c) * np.cos(yy / 7.0 - c) for c in range(3)])[None]
    g_src = g_src + rng.standard_normal(g_src.shape).astype(np.float32) * 0.05
    return {
        "g_src": g_src.astype(np.float32),
        "g_f32": rng.standard_normal((1, 4, 8, 8)).astype(np.float32),
        "g_f128": rng.standard_normal((1, 4)).astype(np.float32),
        "x_s_t": rng.standard_normal((1, 21, 3)).astype(np.float32),
        "bank_key": rng.standard_normal((N, 6)),
        "bank_sd": np.abs(rng.standard_normal(6)) + 0.5,
        "b_rgb": rng.uniform(-1, 1, (N, 3, hm, wm)).astype(np.float32),
        "b_mask": rng.uniform(0, 1, (N, 1, hm, wm)).astype(np.float32),
        "b_x": rng.standard_normal((N, 21, 3)).astype(np.float32),
        "b_f32": rng.standard_normal((N, F)).astype(np.float32),
        "e_rgb": rng.uniform(-1, 1, (E, 3, he, we)).astype(np.float32),
        "e_mL": rng.uniform(0, 1, (E, 1, he, we)).astype(np.float32),
        "e_mR": rng.uniform(0, 1, (E, 1, he, we)).astype(np.float32),
        "e_x": rng.standard_normal((E, 21, 3)).astype(np.float32),
        "bank_roi": np.array([300, 420, 180, 330], np.int32),
        "eb_roi": np.array([150, 230, 140, 370], np.float64),
    }


def build_render_pack(root):
    return make_f2u_pack.make_pack(root, graphs=make_f2u_render_graphs.render_graphs(G=G, F=F))


def build_render_identity(path, **kw):
    return make_f2u_pack.make_identity(path, overrides=render_identity_overrides(**kw))


@pytest.fixture(scope="session")
def render_pack(host, tmp_path_factory):
    info = build_render_pack(tmp_path_factory.mktemp("rpack"))
    return host.Pack(info["root"], 1)


@pytest.fixture(scope="session")
def render_identity(host, tmp_path_factory):
    p = tmp_path_factory.mktemp("ridn") / "identity.npz"
    build_render_identity(p)
    return host.Identity(str(p), None)


@pytest.fixture(scope="session")
def renderer(host, render_pack, render_identity):
    return host.Renderer(render_pack, render_identity, 1)


# ---- numpy references -----------------------------------------------------------


def warp_cone_ref(planes12, g512):
    """planes12: (12, H, W) float32; g512: (Hg, Wg, 2) float32 -> (3, Hg, Wg)."""
    import cv2

    hwc = np.ascontiguousarray(planes12.transpose(1, 2, 0))
    p4 = [np.ascontiguousarray(hwc[..., k:k + 4]) for k in (0, 4, 8)]
    xs = ((g512[..., 0] + 1.0) * 512 - 1.0) * 0.5
    ys = ((g512[..., 1] + 1.0) * 512 - 1.0) * 0.5
    sm = np.concatenate([cv2.remap(p, xs, ys, cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE) for p in p4],
                        axis=-1)
    fx = xs - np.floor(xs)
    fy = ys - np.floor(ys)
    ax = (fx * (1.0 - fx) * 0.5)[..., None]
    ay = (fy * (1.0 - fy) * 0.5)[..., None]
    out = sm[..., 0:3] - ax * sm[..., 3:6] - ay * sm[..., 6:9] + ax * ay * sm[..., 9:12]
    return out.transpose(2, 0, 1)


def composite_ref(o, gm, roi, rgb, mask):
    import cv2

    y0, y1, x0, x1 = roi
    h, w = rgb.shape[-2:]
    sx, bx = 512 / (x1 - x0), (512 - 2 * x0) / (x1 - x0)
    sy, by = 512 / (y1 - y0), (512 - 2 * y0) / (y1 - y0)
    u = gm[..., 0] * float(sx) + float(bx) - 1
    v = gm[..., 1] * float(sy) + float(by) - 1
    mx = (u + 1) * w * 0.5 - 0.5
    my = (v + 1) * h * 0.5 - 0.5
    inb = (mx > -1) & (mx < w) & (my > -1) & (my < h)
    if not inb.any():
        return
    rows = np.flatnonzero(inb.any(axis=1))
    cols = np.flatnonzero(inb.any(axis=0))
    r0, r1, c0, c1 = rows[0], rows[-1] + 1, cols[0], cols[-1] + 1
    m1 = np.ascontiguousarray(mx[r0:r1, c0:c1], np.float32)
    m2 = np.ascontiguousarray(my[r0:r1, c0:c1], np.float32)
    alpha = cv2.remap(np.ascontiguousarray(mask[0]), m1, m2, cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT,
                      borderValue=0)
    col = cv2.remap(np.ascontiguousarray(rgb.transpose(1, 2, 0)), m1, m2, cv2.INTER_LINEAR,
                    borderMode=cv2.BORDER_REPLICATE).transpose(2, 0, 1)
    region = o[:, r0:r1, c0:c1]
    region[...] = alpha * col + (1 - alpha) * region


def run_ref(idn, rd, feeds, motion, lite):
    """Renderer.run in numpy: motion(feeds) and lite(feeds) stand for the two
    models (lists of outputs); rd supplies the regions."""
    import cv2

    r = idn.r
    s = feeds["sel"]
    grid64, occ, z, y0, gm64 = motion({"f32": r["g_f32"], "x_s": r["x_s_t"], "x_d": feeds["x_d"],
                                       "bf32": r["b_f32"][s], "xk": feeds["xk"]})
    n = len(s)
    wrgb = np.empty((n, 3, 512, 512), np.float32)
    for i in range(n):
        wrgb[i] = warp_cone_ref(idn.planes[0], cv2.resize(grid64[i], (512, 512), interpolation=cv2.INTER_LINEAR))
    o = lite({"wrgb": wrgb, "grid64": grid64, "occ": occ, "y0": y0, "z": z, "f128": r["g_f128"]})[0]
    for i in range(n):
        gm = cv2.resize(gm64[i], (512, 512), interpolation=cv2.INTER_LINEAR)
        composite_ref(o[i], gm, rd.roi_m, r["b_rgb"][s[i]], r["b_mask"][s[i]])
        if feeds["eyes"]:
            li, ri = feeds["sL"][i], feeds["sR"][i]
            composite_ref(o[i], gm, rd.roi_e, r["e_rgb"][li], r["e_mL"][li])
            composite_ref(o[i], gm, rd.roi_e, r["e_rgb"][ri], r["e_mR"][ri])
    return to_u8_ref(o)


def to_u8_ref(o):
    v = np.rint((np.clip(o, -1, 1) + 1) * 127.5)
    return np.ascontiguousarray(np.clip(v, 0, 255).astype(np.uint8).transpose(0, 2, 3, 1))


def identity_grid512():
    return make_f2u_render_graphs.identity_grid(512)
