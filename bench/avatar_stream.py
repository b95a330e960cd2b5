"""Streaming avatar throughput: frames per second through the producer (push -> runtime ->
VideoFrame on the output queue -> consumer) against the real-time frame budget, and the
per-frame overhead of the asyncio layer over driving the same runtime in a plain loop.

Runs on the package's frame-runtime stand-in (orvane._core), whose per-tick work is just
painting the image, so the overhead figure is the streaming layer's own cost.

    python bench/avatar_stream.py
"""

from __future__ import annotations

import asyncio
import json
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np

from orvane import _core
from orvane._avatar import AsyncAvatar

SECONDS = 20
RUNS = 5


def model_dir(root: Path, name: str, **desc) -> Path:
    d = root / name
    d.mkdir()
    base = {"engine": "ferrin1", "audio_samples_per_tick": 640, "audio_sample_rate": 16000,
            "frame_width": 512, "frame_height": 512}
    base.update(desc)
    (d / _core.FIXTURE_FILE).write_text(json.dumps(base))
    return d


def speech(seconds: int) -> bytes:
    rng = np.random.default_rng(7)
    return (rng.uniform(-0.5, 0.5, 16000 * seconds) * 32767).astype("<i2").tobytes()


async def through_avatar(path: Path, output_size, pcm: bytes, chunk_ms=20):
    av = await AsyncAvatar.create(model_path=str(path), output_size=output_size, output_buffer_size=6)
    step = 16000 * chunk_ms // 1000 * 2
    n = 0
    t0 = time.perf_counter()

    async def feed():
        for off in range(0, len(pcm), step):
            last = off + step >= len(pcm)
            await av.push_audio(pcm[off:off + step], 16000, last_chunk=last)

    feeder = asyncio.ensure_future(feed())
    async for fr in av.run():
        if fr.bgr_image is not None and fr.audio_chunk is not None:
            n += 1
        if fr.end_of_speech:
            break
    dt = time.perf_counter() - t0
    await feeder
    fps = av.fps
    await av.shutdown()
    return n, dt, fps


def plain_loop(path: Path, output_size, pcm: bytes, chunk_ms=20):
    """The same runtime driven directly: push each chunk, take every finished tick."""
    fx = _core.Fixture(str(path))
    rt = _core.Runtime(fx)
    x = np.frombuffer(pcm, "<i2").astype(np.float32) / 32767.0
    step = 16000 * chunk_ms // 1000
    n = 0
    t0 = time.perf_counter()
    if output_size is None:
        for off in range(0, x.size, step):
            rt.push_audio(x[off:off + step])
            while rt.ticks_available() > 0:
                rt.pull_frame(-1)
                n += 1
    else:
        buf = np.zeros(0, np.float32)
        for off in range(0, x.size, step):
            buf = np.concatenate((buf, x[off:off + step]))
            while (n + 1) * fx.audio_samples_per_tick <= buf.size:
                rt.tick_compose_to_size(buf, -1, output_size[0], output_size[1])
                n += 1
    return n, time.perf_counter() - t0


def main():
    pcm = speech(SECONDS)
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        cases = [
            ("native 512x512", model_dir(root, "f1"), None),
            ("compose 1280x720", model_dir(root, "f1c"), (1280, 720)),
            ("v2 native 512x512", model_dir(root, "v2", engine="ferrin2-light", tail_ticks=4), None),
        ]
        for label, path, size in cases:
            ours, ref = [], []
            frames = 0
            for _ in range(RUNS):
                n, dt, fps = asyncio.run(through_avatar(path, size, pcm))
                frames = n
                ours.append(n / dt)
                m, dt_ref = plain_loop(path, size, pcm)
                ref.append(dt_ref / m)
            ours_fps = statistics.median(ours)
            print(f"{label}: {frames} frames, producer {ours_fps:.0f} fps, real-time budget {fps} fps, "
                  f"ratio {ours_fps / fps:.1f}x real time")
            per_frame = 1e6 / ours_fps
            ref_us = statistics.median(ref) * 1e6
            print(f"{label}: per frame {per_frame:.0f} us through the avatar, {ref_us:.0f} us plain runtime loop, "
                  f"ratio {per_frame / ref_us:.2f} (overhead {per_frame - ref_us:.0f} us/frame)")


if __name__ == "__main__":
    main()
