"""Benchmark of the f2u face renderer, retrieval and composition against numpy
references of the same steps (OpenCV for the remaps and resizes on both sides).

python bench/f2u_render.py

One line per measurement: ours, the reference, reference / ours (above 1 means
ours is faster). Median of several runs in one process. Then the renderer's
goals: the plane warp against its three OpenCV remaps alone (warm, and in a
fresh process), the host-side work of `Renderer.run` (its time less the two
model calls) per frame at 1 and 4 threads, and frame times beside a busy
pure-Python thread against quiet ones. OpenCV runs on one thread throughout.
Busy-thread ratios also count the CPU the busy thread takes: on a shared
machine run it unpinned (no taskset) so the busy thread has a core of its own.
"""

import pathlib
import subprocess
import sys
import tempfile
import threading
import time

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


def goal_line(name, ours, ref, goal, unit="ms", scale=1e3, what="ours/ref"):
    print(f"{name:<44} ours {ours * scale:10.3f} {unit}   ref {ref * scale:10.3f} {unit}   {what} {ours / ref:6.2f}"
          f"   (goal <= {goal})")


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


def remaps_only(rd, g):
    """The three OpenCV remaps of the plane warp, maps made beforehand."""
    import cv2

    xs = ((g[..., 0] + 1.0) * 512 - 1.0) * 0.5
    ys = ((g[..., 1] + 1.0) * 512 - 1.0) * 0.5
    p4 = list(rd.planes4)
    return lambda: [cv2.remap(p, xs, ys, cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE) for p in p4]


class TimedSession:
    """A model session that adds up the seconds its runs take (wall clock and
    the calling thread's CPU time)."""

    def __init__(self, sess):
        self.sess, self.t, self.cpu = sess, 0.0, 0.0

    def run(self, names, feeds):
        t, c = time.perf_counter(), time.thread_time()
        out = self.sess.run(names, feeds)
        self.t += time.perf_counter() - t
        self.cpu += time.thread_time() - c
        return out


def host_ms(run, sessions, n, runs=7, clock="wall"):
    """Median seconds per frame of run() less the time its model sessions took.
    clock "cpu": the calling thread's CPU time (one worker only), which other
    processes on a loaded machine do not inflate."""
    now = time.perf_counter if clock == "wall" else time.thread_time
    key = "t" if clock == "wall" else "cpu"
    run()  # warm: first-use checks, allocator
    ts = []
    for _ in range(runs):
        for s in sessions:
            s.t = s.cpu = 0.0
        t = now()
        run()
        ts.append((now() - t - sum(getattr(s, key) for s in sessions)) / n)
    return float(np.median(ts))


class BusyThread:
    """A pure-Python thread that never waits, as a host application's busy loop."""

    def __enter__(self):
        self.stop = False

        def spin():
            x = 0
            while not self.stop:
                x += 1

        self.th = threading.Thread(target=spin, daemon=True)
        self.th.start()
        time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.th.join()


def setup(tmp, threads=1):
    pk = host.Pack(build_render_pack(pathlib.Path(tmp) / "pack")["root"], 1)
    # planes of the real size: 512 x 512 identity image
    build_render_identity(pathlib.Path(tmp) / "idn.npz", H=512, W=512, hm=96, wm=128, he=48, we=200)
    idn = host.Identity(str(pathlib.Path(tmp) / "idn.npz"), None)
    return pk, idn, host.Renderer(pk, idn, threads)


def cold(which):
    """In a fresh process: median of the first calls, before any buffer is reused."""
    import cv2

    cv2.setNumThreads(1)
    with tempfile.TemporaryDirectory() as tmp:
        _, _, rd = setup(tmp)
        g = wavy_grid()
        fn = (lambda: rd._warp_cone(g)) if which == "ours" else remaps_only(rd, g)
        print(median_time(fn, runs=5))


def cold_in_fresh_process(which):
    out = subprocess.run([sys.executable, __file__, "--cold", which], capture_output=True, text=True, timeout=600,
                         check=True)
    return float(out.stdout.split()[-1])


def renderer_goals(tmp, rng):
    import cv2

    pk, idn, rd = setup(tmp)
    for name, g in [("identity", rg.identity_grid(512)), ("wavy", wavy_grid())]:
        goal_line(f"_warp_cone vs its 3 remaps, {name} grid", median_time(lambda: rd._warp_cone(g), runs=15),
                  median_time(remaps_only(rd, g), runs=15), 1.2)
    goal_line("_warp_cone vs its 3 remaps, cold (fresh)", cold_in_fresh_process("ours"),
              cold_in_fresh_process("ref"), 1.2)

    n = 16
    xd = (rng.standard_normal((n, 21, 3)) * 2).astype(np.float32)
    sel = rng.integers(0, 5, n)
    feeds = rd.inputs(xd, sel, rng.integers(0, 4, n), rng.integers(0, 4, n))
    per_thread = {}
    for threads in (1, 4):
        r = host.Renderer(pk, idn, threads)
        r.s_mot, r.s_lite = TimedSession(r.s_mot), TimedSession(r.s_lite)
        mot, lite = TimedSession(rd.s_mot), TimedSession(rd.s_lite)
        ref = host_ms(lambda: run_ref(idn, rd, feeds, lambda f: mot.run(None, f), lambda f: lite.run(None, f)),
                      [mot, lite], n)
        per_thread[threads] = ours = host_ms(lambda: r.run(feeds), [r.s_mot, r.s_lite], n)
        line(f"Renderer.run host-side/frame, {threads} thread{'s' if threads > 1 else ''}", ours, ref)
        if threads == 1:
            model = (r.s_mot.t + r.s_lite.t) / n
            print(f"{'  the two model runs per frame (not in it)':<44} {model * 1e3:10.3f} ms")
            cpu = host_ms(lambda: r.run(feeds), [r.s_mot, r.s_lite], n, clock="cpu")
            cpu_ref = host_ms(lambda: run_ref(idn, rd, feeds, lambda f: mot.run(None, f), lambda f: lite.run(None, f)),
                              [mot, lite], n, clock="cpu")
            line("  the same in thread CPU time, 1 thread", cpu, cpu_ref)
            per_thread["cpu"] = cpu
    for k, what in [(1, "wall"), ("cpu", "CPU")]:
        print(f"{'host-side/frame, 1 thread (' + what + ') vs 3 ms goal':<44} ours {per_thread[k] * 1e3:10.3f} ms   "
              f"goal {3.0:10.3f} ms   ours/goal {per_thread[k] / 3e-3:6.2f}")
    print(f"{'host-side scaling, 1 -> 4 threads':<44} {per_thread[1] / per_thread[4]:10.2f}x faster")

    g = wavy_grid()
    ref_run = lambda: run_ref(idn, rd, feeds, lambda f: rd.s_mot.run(None, f), lambda f: rd.s_lite.run(None, f))  # noqa: E731
    quiet = median_time(lambda: rd._warp_cone(g), runs=15)
    t_run = median_time(lambda: rd.run(feeds), runs=5) / n
    q_ref = median_time(lambda: warp_cone_ref(idn.planes[0], g), runs=5)
    q_ref_run = median_time(ref_run, runs=3) / n
    with BusyThread():
        busy = median_time(lambda: rd._warp_cone(g), runs=15)
        b_run = median_time(lambda: rd.run(feeds), runs=5) / n
        b_ref = median_time(lambda: warp_cone_ref(idn.planes[0], g), runs=5)
        b_ref_run = median_time(ref_run, runs=3) / n
    goal_line("_warp_cone beside a busy Python thread", busy, quiet, 1.5, what="busy/quiet")
    goal_line("Renderer.run/frame beside a busy thread", b_run, t_run, 1.5, what="busy/quiet")
    goal_line("  numpy+OpenCV warp beside a busy thread", b_ref, q_ref, "-", what="busy/quiet")
    goal_line("  numpy+OpenCV run/frame beside a busy thread", b_ref_run, q_ref_run, "-", what="busy/quiet")
    # a single call gives the lock back once: taking it again waits out the busy
    # thread's switch interval, so one call costs about quiet + interval
    si = sys.getswitchinterval()
    print(f"{'  switch interval; quiet + interval, warp':<44} {si * 1e3:10.3f} ms   ratio {(quiet + si) / quiet:6.2f}")


def main():
    import cv2

    cv2.setNumThreads(1)
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as tmp:
        renderer_goals(tmp, rng)
    with tempfile.TemporaryDirectory() as tmp:
        pk, idn, rd = setup(tmp)

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
    if sys.argv[1:2] == ["--cold"]:
        cold(sys.argv[2])
    else:
        main()
