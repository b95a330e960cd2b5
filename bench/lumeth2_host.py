"""Benchmark of the lumeth-2 render-stream host as a program, with the generated test models.

Prints one line per measurement: ours, the reference, the ratio.
- frames/s through the pipe, against the real-time rate of 20 frames/s;
- CPU seconds (host process, all threads) per steady chunk, against the 1.6 s of video a chunk holds;
- time to the READY line for each bundle form, against a bare start of the interpreter importing the module;
- peak resident memory over a long stream (fed in 0.25 s blocks, and as one single block), against the
  peak of a short stream.

    python bench/lumeth2_host.py [--runs 3] [--long-seconds 180]
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from orvane._lumeth2._client import END, FPS, SR, HostClient  # noqa: E402
from make_demo_bundle import build_demo_bundle, model_bytes  # noqa: E402

SPC = 25600
CHUNK_S = SPC / SR  # 1.6 s of video per steady chunk
BLOCK = 4000


def line(name, ours, ref, unit, ratio_name="ours/ref"):
    print(f"{name:<44} ours {ours:10.3f} {unit:<8} ref {ref:10.3f} {unit:<8} {ratio_name} {ours / ref:8.3f}")


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_mib(pid: int) -> float:
    with open(f"/proc/{pid}/status") as f:
        for ln in f:
            if ln.startswith("VmHWM:"):
                return int(ln.split()[1]) / 1024
    return float("nan")


def audio(seconds: float) -> np.ndarray:
    t = np.arange(int(seconds * SR)) / SR
    return (0.3 * np.sin(2 * np.pi * 150 * t) * (0.5 + 0.5 * np.sin(2 * np.pi * 4 * t))).astype(np.float32)


def env_for(stage):
    return dict(os.environ, LUMETH2_STAGE_DIR=stage)


def time_to_ready(bundle, env) -> float:
    t0 = time.perf_counter()
    h = HostClient(bundle, env=env)
    dt = time.perf_counter() - t0
    h.close()
    return dt


def import_time() -> float:
    """Start of an interpreter until it has imported the module and said so (its exit,
    like the host's serving, is not timed)."""
    t0 = time.perf_counter()
    p = subprocess.Popen([sys.executable, "-c", "import orvane._lumeth2._chain_host; print('up', flush=True)"],
                         stdout=subprocess.PIPE)
    p.stdout.readline()
    dt = time.perf_counter() - t0
    p.stdout.close()
    if p.wait() != 0:
        raise RuntimeError("the module does not import")
    return dt


def stream(bundle, env, pcm, block=BLOCK):
    """Feed `pcm` (the client writes from its own thread), read every record; returns
    (frames, seconds, peak MiB)."""
    h = HostClient(bundle, env=env, read_timeout=3600.0)
    sizes = [block] * (len(pcm) // block) + ([len(pcm) % block] if len(pcm) % block else [])

    t0 = time.perf_counter()
    at = 0
    for n in sizes:
        h.feed(pcm[at:at + n])
        at += n
    h.flush()
    n = 0
    while h.record()[0] != END:
        n += 1
    dt = time.perf_counter() - t0
    peak = peak_rss_mib(h.proc.pid)
    status = h.close()
    assert status == 0, status
    return n, dt, peak


def cpu_per_chunk(bundle, env, chunks: int) -> float:
    """Chunk by chunk, so the host is idle between samples: CPU seconds per steady chunk."""
    h = HostClient(bundle, env=env, read_timeout=3600.0)
    pcm = audio((2 + chunks) * CHUNK_S + 1.0)
    h.feed(pcm[:44000])  # chunks 0 and 1 (warm-up)
    h.records(22 + 32)
    c0 = cpu_seconds(h.proc.pid)
    at = 44000
    for _ in range(chunks):
        h.feed(pcm[at:at + SPC])
        h.records(32)
        at += SPC
    c1 = cpu_seconds(h.proc.pid)
    h.close()
    return (c1 - c0) / chunks


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--long-seconds", type=float, default=180.0)
    args = ap.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="l2bench-") as work:
        stage = os.path.join(work, "stage")
        os.makedirs(stage)
        env = env_for(stage)
        models = model_bytes()
        bundles = {form: build_demo_bundle(os.path.join(work, "avatar-" + form), form, models=models)
                   for form in ("dir", "qvx", "zip")}
        b = bundles["dir"]

        med = statistics.median
        ref = med(import_time() for _ in range(args.runs))
        for form, path in bundles.items():
            ours = med(time_to_ready(path, env) for _ in range(args.runs))
            line(f"time to READY, {form} bundle (s)", ours, ref, "s", "ours/import")

        short = audio(16.0)
        runs = [stream(b, env, short) for _ in range(args.runs)]
        fps = med(n / dt for n, dt, _ in runs)
        line("frames/s through the pipe", fps, FPS, "fps", "x real-time")

        cpu = med(cpu_per_chunk(b, env, 8) for _ in range(args.runs))
        line("CPU s per steady chunk", cpu, CHUNK_S, "s", "x budget")

        short_peak = med(p for _, _, p in runs)
        long_pcm = audio(args.long_seconds)
        n, dt, peak = stream(b, env, long_pcm)
        line(f"peak RSS, {args.long_seconds:.0f} s stream in 0.25 s blocks (MiB)", peak, short_peak, "MiB",
             "long/short")
        n1, dt1, peak1 = stream(b, env, long_pcm, block=len(long_pcm))
        line(f"peak RSS, {args.long_seconds:.0f} s stream as one block (MiB)", peak1, short_peak, "MiB",
             "long/short")
        print(f"(long streams: {n} and {n1} frames at {n / dt:.1f} and {n1 / dt1:.1f} frames/s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
