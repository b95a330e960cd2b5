"""Streaming avatar throughput: frames per second through the producer (push -> runtime ->
VideoFrame on the output queue -> consumer) against the real-time frame budget, and the
per-frame overhead of the asyncio layer over driving the same runtime in a plain loop.

Runs on the package's frame-runtime stand-in (orvane._core), whose per-tick work is just
painting the image, so the overhead figure is the streaming layer's own cost.

Then the live lumeth-2 road on the real render-stream host (a demo bundle of the
generated models), against the host driven directly in the same run:
- first frame: from the push that completes the first chunk's audio to the first
  picture out of run() (native size, playout clock), against the host's first record
  plus one clock tick (50 ms) plus the read of the rest of the first chunk;
- frames/s through the live road (default output size, audio pushed as fast as
  allowed) against frames/s of the host driven directly;
- playout clock interval percentiles at 20 fps on the real host;
- lip sync of the live road on the demo face (native size, playout clock): the lag at
  which the mouth opening read off each picture best follows the loudness of the ticks'
  audio, and its correlation;
- live against offline: how many ticks' live pictures equal, byte for byte, the offline
  frame of the same tick (the frame a video file shows with that tick's sound), on the
  demo face and on the test models.

    python bench/avatar_stream.py [--l2-only]
"""

from __future__ import annotations

import asyncio
import json
import os
import statistics
import sys
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


# -- lumeth-2 over the real host --------------------------------------------------------
L2_CHUNK0 = 25600      # samples that complete the host's first chunk
L2_RECORDS0 = 22       # records of the first chunk


def l2_bundle(root: Path) -> str:
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
    import make_demo_bundle

    return make_demo_bundle.build_demo_bundle(root / "l2-avatar", "dir")


def l2_speech(seconds: float) -> np.ndarray:
    t = np.arange(int(16000 * seconds)) / 16000
    x = 0.4 * np.sin(2 * np.pi * 150 * t) * (0.5 + 0.5 * np.sin(2 * np.pi * 3 * t))
    return (x * 32767).astype("<i2")


def l2_host_direct(bundle: str, pcm: np.ndarray):
    """(first record s, rest of first chunk s, frames/s of the whole clip) with the host
    driven directly through the package's protocol client."""
    from orvane._lumeth2._client import END, HostClient

    x = pcm.astype(np.float32) / np.float32(32767)
    with HostClient(bundle) as h:
        t0 = time.perf_counter()
        h.feed(x[:L2_CHUNK0])
        h.record()
        t1 = time.perf_counter()
        h.records(L2_RECORDS0 - 1)
        t2 = time.perf_counter()
        h.feed(x[L2_CHUNK0:])
        h.flush()
        n = L2_RECORDS0
        while h.record()[0] != END:
            n += 1
        t3 = time.perf_counter()
    ticks = -(-pcm.size // 800)
    return t1 - t0, t2 - t1, min(n, ticks) / (t3 - t0)


async def l2_first_frame(bundle: str, pcm: np.ndarray):
    """Seconds from the push completing the first chunk's audio to the first picture,
    and the intervals between frames out of run() while the speech plays."""
    av = await AsyncAvatar.create(model_path=bundle, output_size=None)
    it = av.run()
    # Let the stream settle on resting frames first, as a live session would.
    for _ in range(5):
        await it.__anext__()
    t0 = time.perf_counter()
    await av.push_audio(pcm[:L2_CHUNK0].tobytes(), 16000, last_chunk=False)
    first = None
    stamps = []
    pushed_rest = False
    async for fr in it:
        now = time.perf_counter()
        if fr.bgr_image is not None and fr.source_message_id is not None and first is None:
            first = now - t0
        if first is not None:
            stamps.append(now)
            if not pushed_rest:
                pushed_rest = True
                await av.push_audio(pcm[L2_CHUNK0:].tobytes(), 16000, last_chunk=True)
        if fr.end_of_speech:
            break
    await it.aclose()
    await av.shutdown()
    return first, np.diff(np.asarray(stamps))


async def l2_live_fps(bundle: str, pcm: np.ndarray, output_size=(1280, 720)):
    av = await AsyncAvatar.create(model_path=bundle, output_size=output_size)
    t0 = time.perf_counter()
    await av.push_audio(pcm.tobytes(), 16000, last_chunk=True)
    n = 0
    async for fr in av.run():
        if fr.bgr_image is not None and fr.source_message_id is not None:
            n += 1
        if fr.end_of_speech:
            break
    dt = time.perf_counter() - t0
    await av.shutdown()
    return n / dt


def l2_main():
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        stage = root / "stage"
        stage.mkdir()
        os.environ["LUMETH2_STAGE_DIR"] = str(stage)
        bundle = l2_bundle(root)
        pcm = l2_speech(8.0)
        direct = [l2_host_direct(bundle, pcm) for _ in range(3)]
        d_first = statistics.median(d[0] for d in direct)
        d_read = statistics.median(d[1] for d in direct)
        d_fps = statistics.median(d[2] for d in direct)
        live = [asyncio.run(l2_first_frame(bundle, pcm)) for _ in range(3)]
        l_first = statistics.median(x[0] for x in live)
        bound = d_first + 0.050 + d_read
        print(f"lumeth-2 first frame: live {l_first * 1e3:.0f} ms, host direct {d_first * 1e3:.0f} ms "
              f"+ tick 50 ms + first-chunk read {d_read * 1e3:.0f} ms = {bound * 1e3:.0f} ms, "
              f"ratio {l_first / bound:.2f}")
        fps = statistics.median(asyncio.run(l2_live_fps(bundle, pcm)) for _ in range(3))
        print(f"lumeth-2 frames/s: live 1280x720 {fps:.0f} fps, host direct {d_fps:.0f} fps, "
              f"ratio {fps / d_fps:.2f}")
        gaps = np.concatenate([x[1] for x in live]) * 1e3
        p1, p50, p99 = np.percentile(gaps, [1, 50, 99])
        print(f"lumeth-2 playout clock at 20 fps: {gaps.size} intervals, p1 {p1:.1f} ms, p50 {p50:.1f} ms, "
              f"p99 {p99:.1f} ms (target 50 ms, p99 off by {p99 - 50:+.1f} ms)")
        l2_sync_and_equality(root, bundle)


async def l2_live_ticks(bundle: str, pcm: np.ndarray, output_size=None) -> list[np.ndarray]:
    """The live road's pictures of one utterance, tick by tick, as RGB."""
    av = await AsyncAvatar.create(model_path=bundle, output_size=output_size)
    it = av.run()
    await av.push_audio(pcm.tobytes(), 16000, last_chunk=True)
    got = []
    async for fr in it:
        if fr.bgr_image is not None and fr.source_message_id is not None:
            got.append(np.ascontiguousarray(fr.bgr_image[..., ::-1]))
        if fr.end_of_speech:
            break
    await it.aclose()
    await av.shutdown()
    return got


def l2_offline_ticks(bundle: str, pcm: np.ndarray) -> list[np.ndarray]:
    """The offline road's frames as a video file pairs them with the sound: an engine's
    repeated first frames (if it still hands any out) left out, one frame per tick."""
    import orvane

    with orvane.open(bundle) as av:
        frames = list(av.render(pcm.tobytes()))
        delay = int(getattr(av._engine, "present_delay_frames", 0) or 0)
    return frames[delay:delay + -(-pcm.size // 800)]


def l2_sync_and_equality(root: Path, face_bundle: str):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "demo"))
    import make_demo_bundle
    from face_sync import frame_rms, lag_profile, mouth_opening, uttered

    pcm = (uttered(8.0) * 32767).astype("<i2")
    live = asyncio.run(l2_live_ticks(face_bundle, pcm))
    opening = np.array([mouth_opening(f.tobytes()) for f in live])
    profile = lag_profile(opening, frame_rms(pcm.astype(np.float32) / 32767))
    lag = max(profile, key=profile.get)
    print(f"lumeth-2 live lip sync (demo face, native size): {len(live)} pictures for "
          f"{-(-pcm.size // 800)} ticks, peak at lag {lag} (r {profile[lag]:.3f}), r at lag 0 {profile[0]:.3f}")
    test_bundle = make_demo_bundle.build_demo_bundle(root / "l2-test-models", "dir",
                                                     models=make_demo_bundle.model_bytes())
    for name, bundle in (("demo face", face_bundle), ("test models", test_bundle)):
        clip = l2_speech(3.0) if name == "test models" else pcm[:16000 * 3 + 333]
        ticks = -(-clip.size // 800)
        off = l2_offline_ticks(bundle, clip)
        live = asyncio.run(l2_live_ticks(bundle, clip))
        same = sum(1 for k in range(ticks) if k < len(live) and k < len(off)
                   and np.array_equal(live[k], off[k]))
        print(f"lumeth-2 live == offline ({name}): {same} of {ticks} ticks equal "
              f"(live {len(live)} pictures, offline {len(off)} frames)")


def main():
    if "--l2-only" in sys.argv:
        l2_main()
        return
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
    try:
        import ai_edge_litert  # noqa: F401
    except ImportError:
        print("lumeth-2: skipped (ai-edge-litert is not installed)")
        return
    l2_main()


if __name__ == "__main__":
    main()
