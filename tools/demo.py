"""Render a demo with the lumeth-2 render-stream host.

Builds a demo bundle from the generated face models, writes a short synthetic
speech-like WAV, runs `render_stream_chain_host` as a child process and feeds it
the WAV's samples over the stdin/stdout frame protocol, then writes the frames as
an MP4 with the audio (through the `ffmpeg` program) or, without ffmpeg, as a PNG
strip of frames.

    python tools/demo.py [--out demo.mp4] [--seconds 4] [--form qvx|dir|zip]
"""
from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import wave

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lumeth2_host_client import FH, FLUSH, FPS, FW, SR, Host, frame_array  # noqa: E402
from make_demo_bundle import build_demo_bundle  # noqa: E402

BLOCK = 4000  # samples per protocol block: 0.25 s, as a live parent would send
SPF = SR // FPS  # samples per video frame
PRESENT_DELAY = 1  # the host writes a stream's first frame this many extra times


def speech_like(seconds: float, seed: int = 7) -> np.ndarray:
    """Voiced syllables: a gliding harmonic source shaped by two moving formants,
    gated at a syllable rate with short pauses, plus a breath of noise."""
    rng = np.random.default_rng(seed)
    n = int(seconds * SR)
    t = np.arange(n) / SR
    f0 = 125 + 35 * np.sin(2 * np.pi * 0.7 * t) + 15 * np.sin(2 * np.pi * 2.3 * t)
    phase = 2 * np.pi * np.cumsum(f0) / SR
    f1 = 500 + 250 * np.sin(2 * np.pi * 3.1 * t)
    f2 = 1500 + 500 * np.sin(2 * np.pi * 1.7 * t + 1.0)
    src = np.zeros(n)
    for k in range(1, 30):
        fk = k * f0
        gain = np.exp(-((fk - f1) / 180) ** 2) + 0.6 * np.exp(-((fk - f2) / 250) ** 2) + 0.02
        src += gain * np.sin(k * phase) / k
    syll = np.clip(np.sin(2 * np.pi * 4.0 * t) * 1.4, 0, 1) ** 0.7
    pause = (np.sin(2 * np.pi * 0.33 * t) > -0.85).astype(float)
    x = src * syll * pause + 0.01 * rng.standard_normal(n)
    return (0.6 * x / np.max(np.abs(x))).astype(np.float32)


def write_wav(path, pcm: np.ndarray):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(SR)
        w.writeframes((np.clip(pcm, -1, 1) * 32767).astype("<i2").tobytes())


def read_wav(path) -> np.ndarray:
    with wave.open(str(path), "rb") as w:
        assert w.getnchannels() == 1 and w.getsampwidth() == 2 and w.getframerate() == SR
        data = w.readframes(w.getnframes())
    return (np.frombuffer(data, "<i2").astype(np.float32) / 32768.0)


def render(bundle: str, pcm: np.ndarray):
    """Stream `pcm` through the host; yields (index, RGB888 bytes) in output order."""
    h = Host(bundle, timeout=600.0, stderr=None)  # the host's log goes straight to our stderr

    def writer():
        for i in range(0, len(pcm), BLOCK):
            h.feed(pcm[i:i + BLOCK])
        h.send(FLUSH)

    with h:  # the host is stopped however the rendering ends
        h.read_ready()
        w = threading.Thread(target=writer, daemon=True)
        w.start()
        while True:
            idx, data = h.read_record()
            if idx == -1:
                break
            yield idx, data
        w.join()
        status, _, _ = h.close()
    if status != 0:
        raise SystemExit(f"host exited with status {status}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default="demo.mp4", help="MP4 (needs ffmpeg) or .png for a frame strip")
    ap.add_argument("--seconds", type=float, default=4.0)
    ap.add_argument("--form", choices=("qvx", "dir", "zip"), default="qvx")
    args = ap.parse_args(argv)

    work = tempfile.mkdtemp(prefix="lumeth2-demo-")
    try:
        bundle = build_demo_bundle(os.path.join(work, "avatar"), args.form, color=True)
        wav = os.path.join(work, "speech.wav")
        write_wav(wav, speech_like(args.seconds))
        pcm = read_wav(wav)
        t0 = time.perf_counter()
        mp4 = args.out.lower().endswith(".mp4") and shutil.which("ffmpeg")
        n = 0
        if mp4:
            ff = subprocess.Popen(
                ["ffmpeg", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24",
                 "-s", f"{FW}x{FH}", "-r", str(FPS), "-i", "-", "-i", wav,
                 "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", args.out],
                stdin=subprocess.PIPE)
            # The file pairs picture k with its own 50 ms of sound: the host's repeated first
            # frame (a live viewer's presentation delay) stays out, and so do the frames the
            # flush renders past the end of the audio.
            want = -(-len(pcm) // SPF)
            try:
                for k, (_, data) in enumerate(render(bundle, pcm)):
                    if PRESENT_DELAY <= k < want + PRESENT_DELAY:
                        ff.stdin.write(data)
                        n += 1
            finally:
                ff.stdin.close()  # ffmpeg ends with what it got, also when rendering failed
            if ff.wait() != 0:
                raise SystemExit("ffmpeg failed")
        else:
            import cv2

            out = args.out if args.out.lower().endswith(".png") else os.path.splitext(args.out)[0] + ".png"
            frames = [frame_array(d) for _, d in render(bundle, pcm)]
            n = len(frames)
            pick = frames[:: max(1, n // 8)][:8]
            strip = np.concatenate([f[::4, ::4] for f in pick], axis=1)
            cv2.imwrite(out, strip[:, :, ::-1])
            args.out = out
        dt = time.perf_counter() - t0
        print(f"rendered {n} frames ({n / FPS:.1f} s of video for {len(pcm) / SR:.1f} s of audio) "
              f"in {dt:.1f} s -> {os.path.abspath(args.out)}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
