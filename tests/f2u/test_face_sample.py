"""The renderer's own bilinear remaps and resizes against OpenCV, bit for bit:
the plane warp, the patch pastes and the grid resizes of `run`, on grids inside,
on, between and far beyond the pixels. Positions the native kernels refuse (not
finite) go through OpenCV, with the same result."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import make_f2u_render_graphs as rg
from heads_render_fixtures import (  # noqa: F401  (fixtures)
    composite_ref,
    render_identity,
    render_pack,
    renderer,
    run_ref,
    warp_cone_ref,
)

H, W = 48, 40  # the fixture identity's plane size


def centres(xs, ys):
    """Grid values that land exactly on pixel positions (xs, ys) of a 512-pixel axis."""
    g = np.empty((len(ys), len(xs), 2), np.float32)
    g[..., 0] = (2 * np.asarray(xs, np.float64)[None, :] + 1) / 512 - 1
    g[..., 1] = (2 * np.asarray(ys, np.float64)[:, None] + 1) / 512 - 1
    return g


def over_planes(seed, shape, lo=-2.0, hi=None):
    """Uniform positions over the plane images and a little beyond, as grid values."""
    rng = np.random.default_rng(seed)
    xs = rng.uniform(lo, (hi or W) + 1.5, shape)
    ys = rng.uniform(lo, (hi or H) + 1.5, shape)
    return np.stack([(2 * xs + 1) / 512 - 1, (2 * ys + 1) / 512 - 1], -1).astype(np.float32)


def wavy(n=512):
    g = rg.identity_grid(n).astype(np.float64)
    yy, xx = np.mgrid[0:n, 0:n] / n
    g[..., 0] = g[..., 0] * 0.09 - 0.9 + 0.01 * np.sin(9 * yy)
    g[..., 1] = g[..., 1] * 0.1 - 0.9 + 0.01 * np.cos(7 * xx)
    return g.astype(np.float32)


GRIDS = {
    "identity 512": lambda: rg.identity_grid(512),
    "wavy": wavy,
    "positions over the planes": lambda: over_planes(0, (61, 67)),
    "pixel centres": lambda: centres(np.arange(-2, W + 2), np.arange(-2, H + 2)),
    "edges and half pixels": lambda: centres([-1.0, -0.5, -0.25, 0.0, W - 1.5, W - 1, W - 0.5, W],
                                             [-1.0, -0.5, 0.0, 0.5, H - 1, H - 0.5, H, H + 3]),
    "beyond [-1, 1]": lambda: np.random.default_rng(1).uniform(-3, 3, (33, 35, 2)).astype(np.float32),
    "very far": lambda: np.random.default_rng(2).choice([-1e5, -7.5, 1e5, 3e5], (9, 11, 2)).astype(np.float32),
    "odd size (tail pixels)": lambda: over_planes(3, (5, 7)),
    "one pixel": lambda: over_planes(4, (1, 1)),
}


@pytest.mark.parametrize("name", list(GRIDS))
def test_warp_cone_bit_exact(renderer, render_identity, name):
    g = GRIDS[name]()
    np.testing.assert_array_equal(renderer._warp_cone(g), warp_cone_ref(render_identity.planes[0], g))



# positions (in plane pixels) where rounding and the clamps decide: the edges, half
# pixels, signed zeros, subnormals, beyond 2**23 and 2**24, next to the 1e9 refusal
# bound and past it; plus grid values at +-1, their neighbours and far beyond
EDGE_PX = [-1.5, -1.0, -0.5, -0.0, 0.0, 1e-45, -1e-45, 1e-38, 0.5, W - 1.5, W - 1, W - 0.5, W, W + 0.5, H - 1,
           H - 0.5, H, 2.0**23 + 0.5, 2.0**24 + 1, 1e8, -1e8, 9.99e8, -9.99e8, 1.0001e9, 1e30]
EDGE_G = [-1.0, 1.0, -0.0, 1e-45, 3.9e6, -3.9e6, 3.91e6, 1e38, -3.4e38]


@pytest.mark.parametrize("seed", range(6))
def test_warp_cone_mixed_edge_positions(renderer, render_identity, seed):
    rng = np.random.default_rng(seed)
    px = ((2 * np.array(EDGE_PX) + 1) / 512 - 1).astype(np.float32)
    vals = np.concatenate([px, np.nextafter(px, np.float32(np.inf)), np.nextafter(px, np.float32(-np.inf)),
                           np.array(EDGE_G, np.float32)])
    g = rng.choice(vals, (int(rng.integers(1, 40)), int(rng.integers(1, 40)), 2)).astype(np.float32)
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(renderer._warp_cone(g), warp_cone_ref(render_identity.planes[0], g))


def test_warp_cone_with_non_finite_plane_values(host, render_pack, render_identity):
    # a replicated border repeats an infinity into its neighbours' arithmetic
    rd = host.Renderer(render_pack, render_identity, 1)
    planes = [p.copy() for p in rd.planes4]
    planes[0][0, 0, 0], planes[1][5, 5, 1], planes[2][H - 1, W - 1, 3] = np.inf, np.nan, -np.inf
    rd.planes4 = planes
    g = over_planes(9, (40, 40), lo=-20, hi=W + 20)
    g[5:8] = centres(np.resize([-1, 0, 4, 5, 6, W - 1, 100], 40), [-1, H - 1, 5])
    planes12 = np.ascontiguousarray(np.concatenate(planes, -1).transpose(2, 0, 1))
    np.testing.assert_array_equal(rd._warp_cone(g), warp_cone_ref(planes12, g))


def opencv_samples_at_float_positions():
    """Whether this OpenCV interpolates at the float position itself (as the
    native kernels do) rather than at 1/32-pixel steps; with an OpenCV of the
    other kind the renderer keeps calling OpenCV, so no call counts hold."""
    import cv2

    ramp = np.array([[0.0, 1.0]] * 2, np.float32)
    x = np.full((1, 1), 0.3, np.float32)
    return cv2.remap(ramp, x, np.zeros_like(x), cv2.INTER_LINEAR)[0, 0] == np.float32(0.3)


@pytest.fixture
def remap_calls(monkeypatch):
    import cv2

    if not opencv_samples_at_float_positions():
        pytest.skip("this OpenCV samples at fixed-point positions: the renderer keeps using it")

    calls = []
    real = cv2.remap

    def spy(*a, **k):
        calls.append(a[0].shape)
        return real(*a, **k)

    monkeypatch.setattr(cv2, "remap", spy)
    return calls


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, 1e9])
def test_warp_cone_refused_positions_go_through_opencv(renderer, render_identity, remap_calls, bad):
    renderer._warp_cone(over_planes(0, (4, 4)))  # OpenCV checked against once, at first use
    remap_calls.clear()
    renderer._warp_cone(over_planes(0, (4, 4)))
    assert remap_calls == []  # finite positions: no OpenCV call
    g = over_planes(5, (6, 9))
    g[3, 4, 1] = bad
    out = renderer._warp_cone(g)
    assert len(remap_calls) == 3
    np.testing.assert_array_equal(out, warp_cone_ref(render_identity.planes[0], g))


# ---- patch pastes ---------------------------------------------------------------------


def patch(h, w, seed=0):
    rng = np.random.default_rng(seed)
    return rng.uniform(-1, 1, (3, h, w)).astype(np.float32), rng.uniform(0, 1, (1, h, w)).astype(np.float32)


def paste_grid(kind):
    rng = np.random.default_rng(7)
    g = rg.identity_grid(512).astype(np.float64)
    if kind == "shifted":
        g += [0.013, -0.021]
    elif kind == "noisy":
        g += rng.normal(0, 0.01, g.shape)
    elif kind == "exact patch centres":  # the patch's own pixel centres: roi (0, 512, 0, 512), 64 x 64 patch
        g = np.repeat(np.repeat(rg.identity_grid(64), 8, 0), 8, 1).astype(np.float64)
    elif kind == "with a NaN":
        g[200, 250, 0] = np.nan
    return g.astype(np.float32)


@pytest.mark.parametrize("kind", ["shifted", "noisy", "exact patch centres", "with a NaN"])
@pytest.mark.parametrize("roi, hw", [((0.0, 512.0, 0.0, 512.0), (64, 64)), ((150, 230, 140, 370), (20, 56)),
                                     ((-20.0, 60.5, 470.25, 530.0), (16, 12))])
@pytest.mark.parametrize("odt", [np.float32, np.float64])
def test_composite_bit_exact(host, kind, roi, hw, odt):
    gm = paste_grid(kind)
    rgb, mask = patch(*hw)
    o = np.random.default_rng(3).uniform(-1, 1, (3, 512, 512)).astype(odt)
    want = o.copy()
    host._composite(o, gm, roi, rgb, mask)
    composite_ref(want, gm, roi, rgb, mask)
    np.testing.assert_array_equal(o, want)


# ---- run: grid resizes, batch pastes, workers ------------------------------------------------


class Recorded:
    def __init__(self, outs):
        self.outs, self.feeds = outs, []

    def run(self, names, feeds):
        self.feeds.append(dict(feeds))
        return self.outs(feeds) if callable(self.outs) else self.outs


@pytest.mark.parametrize("G", [(64, 64), (17, 23), (512, 512), (1, 3), (600, 520)])
@pytest.mark.parametrize("threads", [1, 4])
def test_run_grid_sizes_and_workers(host, render_pack, render_identity, G, threads):
    n = 5
    rng = np.random.default_rng(G[0] * 31 + G[1])
    base = np.stack([np.broadcast_to(np.linspace(-1, 1, G[1])[None, :], G),
                     np.broadcast_to(np.linspace(-1, 1, G[0])[:, None], G)], -1)
    grid = (base[None] * 0.2 - 0.85 + rng.normal(0, 0.02, (n,) + G + (2,))).astype(np.float32)
    gm = (base[None] * 1.02 + rng.normal(0, 0.01, (n,) + G + (2,))).astype(np.float32)
    outs = [grid, np.zeros(1, np.float32), np.zeros(2, np.float32), np.zeros(3, np.float32), gm]
    o = rng.uniform(-1.1, 1.1, (n, 3, 512, 512)).astype(np.float32)

    rd = host.Renderer(render_pack, render_identity, threads)
    rd.s_mot, rd.s_lite = Recorded(outs), Recorded(lambda f: [o.copy()])
    feeds = rd.inputs(np.zeros((n, 21, 3), np.float32), [0, 1, 2, 3, 4], [0, 1, 0, 3, 2], [2, 0, 0, 1, 3])
    frames = rd.run(feeds)

    ref_lite = Recorded(lambda f: [o.copy()])
    want = run_ref(render_identity, rd, feeds, lambda f: outs, lambda f: ref_lite.run(None, f))
    np.testing.assert_array_equal(rd.s_lite.feeds[0]["wrgb"], ref_lite.feeds[0]["wrgb"])
    np.testing.assert_array_equal(frames, want)


@pytest.mark.parametrize("threads", [1, 4])
def test_run_with_generated_graphs_at_worker_counts(host, render_pack, render_identity, threads):
    rng = np.random.default_rng(11)
    n = 6
    rd = host.Renderer(render_pack, render_identity, threads)
    feeds = rd.inputs((rng.standard_normal((n, 21, 3)) * 2).astype(np.float32), rng.integers(0, 5, n),
                      rng.integers(0, 4, n), rng.integers(0, 4, n))
    want = run_ref(render_identity, rd, feeds, lambda f: rg.reference_motion(f, G=64), rg.reference_lite)
    np.testing.assert_array_equal(rd.run(feeds), want)


def test_run_frame_with_a_refused_paste(host, renderer, render_pack, render_identity, remap_calls):
    # a position far beyond any image under one frame's mouth patch: that paste
    # goes through OpenCV, everything else stays native (grids not C-contiguous)
    n = 3
    rng = np.random.default_rng(2)
    grid = np.broadcast_to(rg.identity_grid(64) * 0.2 - 0.85, (n, 64, 64, 2)).astype(np.float32)
    gm = np.broadcast_to(rg.identity_grid(64), (n, 64, 64, 2)).copy()
    gm[1, 40, 25] = 1e12
    outs = [grid, np.zeros(1), np.zeros(2), np.zeros(3), gm]
    o = rng.uniform(-1, 1, (n, 3, 512, 512)).astype(np.float32)
    renderer._warp_cone(grid[0, :4, :4])  # OpenCV checked against once, before the spy counts
    remap_calls.clear()
    rd = host.Renderer(render_pack, render_identity)
    rd.s_mot, rd.s_lite = Recorded(outs), Recorded(lambda f: [o.copy()])
    feeds = rd.inputs(np.zeros((n, 21, 3), np.float32), [0, 1, 2], [1, 2, 3], [3, 2, 1])
    frames = rd.run(feeds)
    assert len(remap_calls) == 2  # alpha and colour of frame 1's mouth paste
    want = run_ref(render_identity, rd, feeds, lambda f: outs, lambda f: [o.copy()])
    np.testing.assert_array_equal(frames, want)



@pytest.mark.parametrize("threads", [1, 3])
def test_concurrent_calls_beside_a_busy_thread(host, render_pack, render_identity, threads):
    # four callers on two renderers (two callers each) and a pure-Python busy
    # thread: every frame and warp as when rendered alone, and nobody stuck
    import threading

    rng = np.random.default_rng(12)
    n = 4
    rds = [host.Renderer(render_pack, render_identity, threads) for _ in range(2)]
    feeds = [rds[0].inputs((rng.standard_normal((n, 21, 3)) * 2).astype(np.float32), rng.integers(0, 5, n),
                           rng.integers(0, 4, n), rng.integers(0, 4, n)) for _ in range(3)]
    grids = [over_planes(20 + j, (33, 31)) for j in range(3)]
    want = [rds[0].run(f) for f in feeds]
    want_w = [warp_cone_ref(render_identity.planes[0], g) for g in grids]
    bad, stop = [], threading.Event()

    def busy():
        x = 0
        while not stop.is_set():
            x += 1

    def caller(rd):
        try:
            for _ in range(4):
                for j in range(3):
                    if not np.array_equal(rd.run(feeds[j]), want[j]):
                        bad.append(("run", j))
                    if not np.array_equal(rd._warp_cone(grids[j]), want_w[j]):
                        bad.append(("warp", j))
        except Exception as e:  # noqa: BLE001 (reported below)
            bad.append(e)

    spinner = threading.Thread(target=busy)
    spinner.start()
    callers = [threading.Thread(target=caller, args=(rds[k % 2],)) for k in range(4)]
    for t in callers:
        t.start()
    for t in callers:
        t.join(300)
    stop.set()
    spinner.join()
    assert not any(t.is_alive() for t in callers)
    assert bad == []


# ---- the library's kernel dispatch narrowed ------------------------------------------------


def test_every_case_with_the_library_dispatch_narrowed():
    # without its AVX2 kernels OpenCV rounds each product and sum apart: the
    # renderer must find that at first use and keep sampling natively with the
    # same arithmetic (no OpenCV calls where the cases above count none)
    if os.environ.get("OPENCV_CPU_DISABLE"):
        pytest.skip("already running with a narrowed dispatch")
    env = dict(os.environ, OPENCV_CPU_DISABLE="AVX2")
    r = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__],
                       cwd=Path(__file__).resolve().parents[2], env=env, capture_output=True, text=True, timeout=900)
    assert r.returncode == 0, r.stdout[-4000:] + r.stderr[-2000:]


# ---- workers when the system grants no more threads ------------------------------------------

FAIL_THREADS_C = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
/* pthread_create refuses (as under a process limit) once FAIL_THREADS_AFTER is
   set in the environment, after that many further successes */
static int made = 0;
int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
    static int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    if (!real) real = dlsym(RTLD_NEXT, "pthread_create");
    const char* after = getenv("FAIL_THREADS_AFTER");
    if (after && made++ >= atoi(after)) return EAGAIN;
    return real(t, a, f, arg);
}
"""

FAIL_THREADS_RUN = """
import os, sys
import numpy as np
import orvane._f2u.host as host
from heads_render_fixtures import build_render_identity, build_render_pack
import make_f2u_render_graphs as rg
from pathlib import Path
d = Path(sys.argv[1])
info = build_render_pack(d / "pack")
build_render_identity(d / "identity.npz")
pk, idn = host.Pack(info["root"], 1), host.Identity(str(d / "identity.npz"), None)
rng = np.random.default_rng(11)
n = 6
rd1, rd4 = host.Renderer(pk, idn, 1), host.Renderer(pk, idn, 4)
feeds = rd1.inputs((rng.standard_normal((n, 21, 3)) * 2).astype(np.float32), rng.integers(0, 5, n),
                   rng.integers(0, 4, n), rng.integers(0, 4, n))
want = rd1.run(feeds)
os.environ["FAIL_THREADS_AFTER"] = sys.argv[2]
got = rd4.run(feeds)
del os.environ["FAIL_THREADS_AFTER"]
print("same" if np.array_equal(got, want) else "differs")
"""


@pytest.mark.parametrize("after", [0, 1])
def test_run_with_fewer_threads_than_workers(tmp_path, after):
    # after 0: no worker starts; after 1: one does, the next is refused
    import shutil

    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None or sys.platform != "linux":
        pytest.skip("needs a C compiler and the Linux dynamic loader")
    (tmp_path / "fail.c").write_text(FAIL_THREADS_C)
    shim = tmp_path / "libfail.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "fail.c"), "-ldl"], check=True,
                   timeout=120)
    here = Path(__file__).resolve().parent
    env = dict(os.environ, LD_PRELOAD=str(shim),
               PYTHONPATH=os.pathsep.join([str(here), str(here.parents[1] / "tools"), os.environ.get("PYTHONPATH", "")]))
    r = subprocess.run([sys.executable, "-c", FAIL_THREADS_RUN, str(tmp_path), str(after)], env=env,
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0 and r.stdout.split()[-1:] == ["same"], r.stdout[-2000:] + r.stderr[-3000:]
