"""Renderer benchmark.

(a) The renderer's own cost per steady chunk (32 frames = 1.6 s of video) with a fake
    chain that returns preallocated arrays, as a fraction of the 1.6 s real-time
    budget: once with the numeric stages (tempo change, decoder inputs, pixel
    conversion) real, once with those stubbed too (pure scheduling and records).
(b) rtf() and frames per second of the renderer on the generated test models
    (tools/make_lumeth2_models.py) through real LiteRT interpreters.

Run: python bench/lumeth2_renderer.py [--chunks N]
"""
import argparse
import pathlib
import statistics
import sys
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))

from orvane._lumeth2 import _chain_host as ch  # noqa: E402

BUDGET = ch.STEADY_PX / ch.FPS  # 1.6 s of video per steady chunk


class PreallocChain:
    """Chain stand-in: every stage returns arrays allocated once up front."""

    def __init__(self):
        rng = np.random.default_rng(0)
        self.feats = np.zeros((1, 2), np.float32)
        self.tok = rng.random((14, 16, 384), dtype=np.float32)
        self.lat = rng.random((16, 90, 52), dtype=np.float32)
        self.hist = np.zeros((1, 16, 16, 90, 52), np.float32)
        self.frames = [rng.random((3, 720, 416), dtype=np.float32) for _ in range(32)]

    def new_hist(self):
        return self.hist

    @staticmethod
    def shift_hist(h, lat):
        pass

    def run_enc(self, tempo):
        return self.feats

    def run_tok(self, feats):
        return self.tok

    def run_step(self, hist, atok):
        return self.lat

    def run_dec_frames(self, xs, n):
        return self.frames[:n]


def steady_chunk_times(renderer, chunks, audio=None):
    """Seconds per steady chunk, one ready_chunks call per chunk, after chunks 0 and 1."""
    rng = np.random.default_rng(1)
    if audio is None:
        audio = (0.2 * rng.standard_normal(ch.SPC * (chunks + 3))).astype(np.float32)
    renderer.reset()
    renderer.feed(audio[:ch.WIN_SAMPLES])
    renderer.ready_chunks()  # chunks 0 and 1
    pos, times = ch.WIN_SAMPLES, []
    for _ in range(chunks):
        renderer.feed(audio[pos:pos + ch.SPC])
        pos += ch.SPC
        t0 = time.perf_counter()
        recs = renderer.ready_chunks()
        times.append(time.perf_counter() - t0)
        assert len(recs) == ch.STEADY_PX
    return times


def line(what, ours, ref, unit="s"):
    print(f"{what:<58} ours {ours:10.6f} {unit}  reference {ref:8.4f} {unit}  ratio {ours / ref:9.6f}")


class stubbed_stages:
    """Rebind the named numeric stages on the module to preallocated results."""

    def __init__(self, *names):
        self.names = names
        self.tempo = np.zeros(ch.TEMPO_SAMPLES, np.float32)
        self.xs = np.zeros((32, 36, ch.LH, ch.LW), np.float32)
        self.u8 = np.zeros((32, ch.FH, ch.FW, 3), np.uint8)
        self.saved = {}

    def __enter__(self):
        repl = {"tempo_wsola": lambda x: self.tempo,
                "build_dec_inputs": lambda lats, blk, prev: (self.xs, 21 if prev is None else 32),
                "px_to_rgb888_chunk": lambda px, cc=None, threads=1: self.u8[:len(px)]}
        for k, v in repl.items():
            if k not in self.names:
                continue
            self.saved[k] = getattr(ch, k)
            setattr(ch, k, v)

    def __exit__(self, *exc):
        for k, v in self.saved.items():
            setattr(ch, k, v)


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--chunks", type=int, default=9)
    args = ap.parse_args(argv)

    # (a) the renderer around a chain that costs nothing
    r = ch.Renderer(PreallocChain())
    print(f"pixel threads: {r.rgb_threads}; budget per steady chunk {BUDGET:.1f} s; median of {args.chunks}")
    t = statistics.median(steady_chunk_times(r, args.chunks))
    line("(a) renderer per steady chunk, numeric stages real / 1.6 s", t, BUDGET)
    with stubbed_stages("px_to_rgb888_chunk"):
        t = statistics.median(steady_chunk_times(r, args.chunks))
    line("(a) same, pixel conversion stubbed / 1.6 s", t, BUDGET)
    with stubbed_stages("tempo_wsola", "build_dec_inputs", "px_to_rgb888_chunk"):
        t = statistics.median(steady_chunk_times(r, args.chunks))
    line("(a) same, every numeric stage stubbed (scheduling) / 1.6 s", t, BUDGET)

    # (b) the generated models through real LiteRT interpreters
    import make_lumeth2_models

    threads = ch.default_threads(1, 0)
    with tempfile.TemporaryDirectory() as d:
        paths = make_lumeth2_models.write_models(d)
        chain = ch.LitertChain([paths["combined"]], np.zeros(ch.LC * ch.PLANE, np.float32), threads)
    r = ch.Renderer(chain)
    times = steady_chunk_times(r, args.chunks)
    t = statistics.median(times)
    print(f"LiteRT threads: {threads}")
    line("(b) rtf() over all chunks since reset (chunk 0 included)", r.rtf(), 1.0, "")
    line("(b) median steady chunk / 1.6 s", t, BUDGET)
    line("(b) frames per second (steady chunks) / 20 fps", ch.STEADY_PX / t, float(ch.FPS), "fps")


if __name__ == "__main__":
    main()
