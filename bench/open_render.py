"""Offline layer throughput: audio intake conversions and the "ferrin1" adapter's frame
path (int16 -> float32 samples, BGR -> RGB copies), each against the same step written
in numpy, plus the adapter's frame rate against the 25 fps real-time budget.

Prints one line per measurement: ours, the reference, the ratio (reference / ours;
above 1 means ours is faster). Median of several runs in one process.
"""
import statistics
import sys
import time
import types

import numpy as np

import orvane._open as op


def median_time(fn, runs=15):
    fn()
    ts = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        ts.append(time.perf_counter() - t)
    return statistics.median(ts)


def line(name, ours, ref, unit="ms"):
    print(f"{name:44s} ours {ours * 1e3:9.3f} {unit}  numpy {ref * 1e3:9.3f} {unit}  ratio {ref / ours:6.2f}")


def bench_intake():
    rng = np.random.default_rng(0)
    n = 16000 * 30  # 30 s of audio
    f32 = (rng.standard_normal(n) * 0.5).astype(np.float32)
    f64 = f32.astype(np.float64)
    i16 = (f32 * 20000).astype(np.int16)
    for name, a in (("float32", f32), ("float64", f64)):
        line(f"_pcm {name} 30 s", median_time(lambda: op._pcm(a)),
             median_time(lambda: (np.clip(a, -1.0, 1.0) * 32767.0).astype(np.int16).tobytes()))
    line("_pcm int16 30 s", median_time(lambda: op._pcm(i16)), median_time(lambda: i16.tobytes()))


class Runtime:
    """One 1280x720 BGR tick per 640 samples (25 fps at 16 kHz)."""

    def __init__(self, fx):
        self.img = np.random.default_rng(1).integers(0, 256, (720, 1280, 3), dtype=np.uint8)
        self.ticks = 0
        self.pending = 0

    def push_audio(self, s):
        self.pending += len(s)
        self.ticks += self.pending // 640
        self.pending %= 640

    def ticks_available(self):
        return self.ticks

    def pull_frame(self):
        self.ticks -= 1
        return self.img

    def reset_stream(self):
        self.ticks = self.pending = 0


def numpy_adapter_frames(rt, chunks):
    for c in chunks:
        if not c:
            continue
        rt.push_audio(np.frombuffer(c, np.int16).astype(np.float32) / 32768.0)
        while rt.ticks_available() > 0:
            out = rt.pull_frame()
            img = out[1] if isinstance(out, tuple) else out
            yield np.ascontiguousarray(img[..., ::-1])


def bench_fixture():
    core = types.ModuleType("orvane._core")
    core.EP_AUTO = "auto"
    core.Fixture = lambda source, preferred_ep=None, intra_op_threads=None: object()
    core.Runtime = Runtime
    loader = types.ModuleType("orvane._loader")
    loader.NativeFixtureLoaderMixin = type("M", (), {"_register_default_audio_encoder": staticmethod(lambda: None)})
    sys.modules["orvane._core"], sys.modules["orvane._loader"] = core, loader
    eng = op._FixtureEngine("x")
    chunks = [b"\1\0" * 640] * 50  # 2 s in 40 ms chunks: 50 frames

    def ours():
        for _ in eng.frames(chunks):
            pass

    def ref():
        for _ in numpy_adapter_frames(eng._rt, chunks):
            pass

    t_ours, t_ref = median_time(ours, 7), median_time(ref, 7)
    line("ferrin1 adapter, 50 frames 1280x720", t_ours, t_ref)
    print(f"{'ferrin1 adapter frame rate vs 25 fps budget':44s} ours {50 / t_ours:9.1f} fps  budget {25:9.1f} fps  "
          f"ratio {50 / t_ours / 25:6.2f}")

    a = op.Avatar(eng, "ferrin1")
    pcm = b"\1\0" * 32000  # 2 s clip
    t_av = median_time(lambda: sum(1 for _ in a.render(pcm)), 7)
    print(f"{'Avatar.render 2 s clip, 50 frames 1280x720':44s} ours {50 / t_av:9.1f} fps  budget {25:9.1f} fps  "
          f"ratio {50 / t_av / 25:6.2f}")


if __name__ == "__main__":
    bench_intake()
    bench_fixture()
