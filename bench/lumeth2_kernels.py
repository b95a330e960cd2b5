"""Per-chunk numeric kernels of the lumeth-2 chain: ours vs a numpy version of the
same step, pixel conversion vs a plain copy of the same bytes, and the whole
per-chunk numeric work vs the 1.6 s real-time budget of a steady chunk.

    python bench/lumeth2_kernels.py [--runs N]

One line per measurement: ours, the reference, the ratio (median of N runs).
"""
import argparse
import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "lumeth2"))

from orvane._lumeth2 import _chain_host as h  # noqa: E402
from wsola_reference import ref_from_buf, ref_tempo, ref_to_buf  # noqa: E402

FH, FW, LC, LH, LW = 720, 416, 16, 90, 52
PLANE = LH * LW
BUDGET_S = 32 / 20  # one steady chunk of video


def median_time(fn, runs, setup=None):
    times = []
    for _ in range(runs):
        if setup:
            setup()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def line(name, ours, ref, ref_name="numpy"):
    print(f"{name:<44} ours {ours * 1e3:9.3f} ms   {ref_name} {ref * 1e3:9.3f} ms   ratio {ref / ours:7.1f}x",
          flush=True)


# --- numpy references of the other steps ---------------------------------------------

def ref_dec_inputs(lats, blk, prev_lat):
    plan = [(j, p) for j in range(blk) for p in range(3 if (j == 0 and prev_lat is None) else 0, 4)]
    n = len(plan)
    xs = np.zeros((n, 36 * PLANE), np.float32)
    for k, (j, p) in enumerate(plan):
        prev = lats[j - 1] if j > 0 else (prev_lat if prev_lat is not None else lats[0])
        row = xs[k].reshape(36, PLANE)
        row[0:16] = lats[j].reshape(LC, PLANE)
        row[16:32] = prev.reshape(LC, PLANE)
        row[32 + p] = 1.0
    return xs.reshape(n, 36, LH, LW), n


def ref_convert_range(px, u8, lo, hi, lut):
    planar = np.empty((3, FH, FW), np.uint8)
    for i in range(lo, hi):
        f = px[i]
        np.multiply(f, np.float32(255.0), out=f)
        np.clip(f, 0.0, 255.0, out=f)
        np.copyto(planar, f, casting="unsafe")
        if lut is not None:
            for c in range(3):
                np.take(lut[c], planar[c], out=planar[c])
        u8[i] = planar.transpose(1, 2, 0)


def ref_chunk_pixels(px, lut, pool, w):
    n = len(px)
    u8 = np.empty((n, FH, FW, 3), np.uint8)
    if w <= 1:
        ref_convert_range(px, u8, 0, n, lut)
        return u8
    step = (n + w - 1) // w
    futs = [pool.submit(ref_convert_range, px, u8, lo, min(lo + step, n), lut) for lo in range(0, n, step)]
    for f in futs:
        f.result()
    return u8


def ref_apply_lut(lut, rgb):
    return np.ascontiguousarray(np.stack([lut[c][rgb[..., c]] for c in range(3)], axis=-1))


def ref_apply_gb(gain, bias, rgb):
    return np.clip(rgb.astype(np.float32) * gain + bias, 0, 255).astype(np.uint8)


class RefPCM:
    """The buffer's append/discard written with numpy slices."""

    def __init__(self, cap=51200):
        self.minimum_capacity, self.storage, self.start, self.end, self.base = cap, np.empty(0, np.float32), 0, 0, 0

    def append(self, pcm):
        pcm = np.asarray(pcm, np.float32)
        n = pcm.size
        live = self.end - self.start
        if len(self.storage) - self.end < n:
            if len(self.storage) >= live + n:
                self.storage[:live] = self.storage[self.start:self.end].copy()
            else:
                new = np.empty(max(live + n, 2 * len(self.storage), self.minimum_capacity), np.float32)
                new[:live] = self.storage[self.start:self.end]
                self.storage = new
            self.start, self.end = 0, live
        self.storage[self.end:self.end + n] = pcm
        self.end += n

    def discard_before(self, a):
        drop = min(max(0, a - self.base), self.end - self.start)
        self.start += drop
        self.base += drop


def pcm_cadence(buf, blocks):
    fed, ci = 0, 0
    for b in blocks:
        buf.append(b)
        fed += len(b)
        need = 25600 if ci == 0 else (ci - 1) * 25600 + 44000
        while fed >= need:
            ci += 1
            buf.discard_before(0 if ci <= 1 else (ci - 1) * 25600)
            need = (ci - 1) * 25600 + 44000


# --- run ---------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=7)
    runs = ap.parse_args().runs
    rng = np.random.default_rng(0)
    print(f"# lumeth-2 numeric kernels, median of {runs} runs, {os.cpu_count()} CPUs", flush=True)

    # tempo change on one window
    t = np.arange(44000) / 16000.0
    win = (0.3 * np.sin(2 * np.pi * 180 * t) + 0.05 * rng.standard_normal(44000)).astype(np.float32)
    assert np.array_equal(h.tempo_wsola(win).view(np.uint32), ref_tempo(win).view(np.uint32))
    t_wsola = median_time(lambda: h.tempo_wsola(win), runs)
    line("tempo_wsola (44000 -> 35200 samples)", t_wsola, median_time(lambda: ref_tempo(win), runs))
    line("_wsola_to_buf (44000 samples)", median_time(lambda: h._wsola_to_buf(win), runs * 20),
         median_time(lambda: ref_to_buf(win), runs * 20))
    g = ref_to_buf(win)
    line("_wsola_from_buf (44000 samples)", median_time(lambda: h._wsola_from_buf(g), runs * 20),
         median_time(lambda: ref_from_buf(g), runs * 20))

    # decoder inputs of a steady chunk
    lats = [rng.standard_normal((LC, LH, LW)).astype(np.float32) for _ in range(8)]
    prev = rng.standard_normal((LC, LH, LW)).astype(np.float32)
    t_dec = median_time(lambda: h.build_dec_inputs(lats, 8, prev), runs)
    line("build_dec_inputs (8 latents, 32 rows)", t_dec, median_time(lambda: ref_dec_inputs(lats, 8, prev), runs))
    src = np.zeros(32 * 36 * PLANE, np.float32)

    def fresh_copy():
        dst_rows = np.empty_like(src)   # a new array per call, as build_dec_inputs makes
        np.copyto(dst_rows, src)
    t_bound = median_time(fresh_copy, runs)
    print(f"{'  vs copy of the same ' + str(src.nbytes >> 20) + ' MiB into a new array':<44} ours {t_dec * 1e3:9.3f} ms   "
          f"copy {t_bound * 1e3:9.3f} ms   ratio {t_dec / t_bound:7.2f}x of the bound", flush=True)

    # colour correction of one frame
    rgb = rng.integers(0, 256, (FH, FW, 3), dtype=np.uint8)
    lut = rng.integers(0, 256, (3, 256), dtype=np.uint8)
    cc_lut = h.ColorCorrect("lut", lut=lut)
    gain, bias = np.array([1.1, 0.9, 1.02], np.float32), np.array([-3, 4.5, 0], np.float32)
    cc_gb = h.ColorCorrect("gain_bias", gain=gain, bias=bias)
    line("ColorCorrect.apply lut (1 frame)", median_time(lambda: cc_lut.apply(rgb), runs * 3),
         median_time(lambda: ref_apply_lut(lut, rgb), runs * 3))
    line("ColorCorrect.apply gain/bias (1 frame)", median_time(lambda: cc_gb.apply(rgb), runs * 3),
         median_time(lambda: ref_apply_gb(gain, bias, rgb), runs * 3))

    # sliding buffer under the renderer's cadence: 60 s of audio in 3200-sample blocks
    blocks = [rng.standard_normal(3200).astype(np.float32) for _ in range(300)]
    line("_SlidingPCM 60 s in 3200-sample blocks", median_time(lambda: pcm_cadence(h._SlidingPCM(), blocks), runs),
         median_time(lambda: pcm_cadence(RefPCM(), blocks), runs))

    # pixel conversion of one steady chunk (32 frames); the fast path works in place, so
    # later runs convert already-scaled frames: the same work on other values.
    px = [rng.uniform(-0.1, 1.1, (3, FH, FW)).astype(np.float32) for _ in range(32)]
    px_ref = [f.copy() for f in px]
    want = ref_chunk_pixels(px_ref, None, None, 1)
    got = h.px_to_rgb888_chunk(px, None, 1)
    assert np.array_equal(got, want)
    in_bytes = sum(f.nbytes for f in px)
    dst = [np.empty_like(f) for f in px]
    pools = {}
    t_px = {}
    for w in (1, 2, 4, 8):
        pools[w] = ThreadPoolExecutor(max_workers=w)
        h._RGB_POOL = None if w == 1 else h._RGB_POOL
        if w > 1:
            h._RGB_POOL = ThreadPoolExecutor(max_workers=w, thread_name_prefix="l2-rgb")
        t_px[w] = median_time(lambda: h.px_to_rgb888_chunk(px, None, w), runs)
        line(f"px_to_rgb888_chunk 32 frames, {w} thr", t_px[w],
             median_time(lambda: ref_chunk_pixels(px_ref, None, pools[w], w), runs))
        line(f"px_to_rgb888_chunk lut 32 frames, {w} thr", median_time(lambda: h.px_to_rgb888_chunk(px, cc_lut, w), runs),
             median_time(lambda: ref_chunk_pixels(px_ref, lut, pools[w], w), runs))

        def copy_bound():
            step = (32 + w - 1) // w
            list(pools[w].map(lambda lo: [np.copyto(dst[i], px[i]) for i in range(lo, min(lo + step, 32))],
                              range(0, 32, step)))
        t_copy = median_time(copy_bound, runs)
        print(f"{'  vs copy of the same ' + str(in_bytes >> 20) + ' MiB, ' + str(w) + ' thr':<44} "
              f"ours {t_px[w] * 1e3:9.3f} ms   copy {t_copy * 1e3:9.3f} ms   ratio {t_px[w] / t_copy:7.2f}x of the bound"
              f"   ({in_bytes / t_px[w] / 1e9:.1f} vs {in_bytes / t_copy / 1e9:.1f} GB/s of planar input)",
              flush=True)
        if w > 1:
            h._RGB_POOL.shutdown()
            h._RGB_POOL = None

    # the whole per-chunk numeric work at the renderer's thread count
    w = h.rgb_threads()
    if w > 1:
        h._RGB_POOL = None

    def chunk():
        tempo = h.tempo_wsola(win)
        tempo *= np.float32(3.0)
        h.build_dec_inputs(lats, 8, prev)
        h.px_to_rgb888_chunk(px, None, w)
    t_chunk = median_time(chunk, runs)
    print(f"{'per-chunk numeric work (' + str(w) + ' thr)':<44} ours {t_chunk * 1e3:9.3f} ms   "
          f"budget {BUDGET_S * 1e3:9.3f} ms   share {100 * t_chunk / BUDGET_S:6.2f}% of the budget", flush=True)
    for w4 in (4,):
        def chunk4():
            h.tempo_wsola(win)
            h.build_dec_inputs(lats, 8, prev)
            h.px_to_rgb888_chunk(px, None, w4)
        t4 = median_time(chunk4, runs)
        print(f"{'per-chunk numeric work (4 thr)':<44} ours {t4 * 1e3:9.3f} ms   "
              f"budget {BUDGET_S * 1e3:9.3f} ms   share {100 * t4 / BUDGET_S:6.2f}% of the budget", flush=True)


if __name__ == "__main__":
    main()
