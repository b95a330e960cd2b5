"""Lip sync of the demo face through the real render-stream host: the mouth opening
read off every frame's pixels follows the loudness of that frame's own 50 ms of audio,
one frame late (the host writes a stream's first frame twice)."""
import threading

import numpy as np
import pytest

from demo import speech_like
from lumeth2_host_client import FLUSH, Host, frame_array, isolated_env
from make_demo_bundle import build_demo_bundle
from make_demo_face_models import LIP_COLOR, MOUTH_CX, MOUTH_CY, MOUTH_DARK, MOUTH_MAX

SR, SPF = 16000, 800
PRESENT_DELAY = 1  # frames the repeated first frame puts between the sound and the picture
LAGS = range(-10, 11)


def uttered(seconds: float, seed: int = 3) -> np.ndarray:
    """Speech-like audio whose loudness changes at uneven syllable lengths and levels
    (with pauses), so the loudness curve does not repeat at any lag."""
    rng = np.random.default_rng(seed)
    x = speech_like(seconds).astype(np.float64)
    env = np.empty(0)
    while env.size < x.size:
        frames = int(rng.integers(2, 9))
        level = 0.0 if rng.random() < 0.2 else rng.uniform(0.15, 1.0)
        env = np.concatenate([env, np.full(frames * SPF, level)])
    ramp = np.ones(160) / 160  # 10 ms edges
    env = np.convolve(env[: x.size], ramp, mode="same")
    return (x * env / np.max(np.abs(x * env)) * 0.6).astype(np.float32)


def frame_rms(pcm: np.ndarray) -> np.ndarray:
    n = pcm.size // SPF
    return np.sqrt(np.mean(pcm[: n * SPF].astype(np.float64).reshape(n, SPF) ** 2, axis=1))


def mouth_opening(data: bytes) -> float:
    """Height in pixels of the dark inside of the mouth down its middle column, with
    partly covered edge pixels counted by how dark they are."""
    reach = int(MOUTH_MAX) + 12
    g = frame_array(data)[MOUTH_CY - reach:MOUTH_CY + reach, MOUTH_CX, 1].astype(np.float64)
    g_lip, g_dark = 255 * LIP_COLOR[1], 255 * MOUTH_DARK[1]
    return float(np.clip((g_lip - g) / (g_lip - g_dark), 0.0, 1.0).sum())


@pytest.fixture(scope="module")
def face_bundle(tmp_path_factory):
    pytest.importorskip("ai_edge_litert")
    return build_demo_bundle(tmp_path_factory.mktemp("face") / "avatar", "qvx")


def stream(bundle, pcm, tmp_path) -> list[bytes]:
    """Every frame record of one stream through the host, in record order."""
    stage = tmp_path / "stage"
    stage.mkdir()
    with Host(bundle, env=isolated_env(tmp_path, stage), timeout=600.0) as h:
        h.read_ready()

        def writer():
            for i in range(0, pcm.size, 4000):
                h.feed(pcm[i:i + 4000])
            h.send(FLUSH)

        w = threading.Thread(target=writer, daemon=True)
        w.start()
        frames = []
        while True:
            idx, data = h.read_record()
            if idx == -1:
                break
            assert idx == 3 + len(frames)
            frames.append(data)
        w.join()
        status, rest, _ = h.close()
    assert (status, rest) == (0, b"")
    return frames


def lag_profile(opening: np.ndarray, rms: np.ndarray) -> dict[int, float]:
    """Pearson r of frame k's mouth opening against the loudness of audio frame k - lag,
    over the same audio frames for every lag."""
    span = range(max(LAGS), rms.size - max(LAGS))
    return {lag: float(np.corrcoef([opening[m + lag] for m in span], [rms[m] for m in span])[0, 1])
            for lag in LAGS}


@pytest.mark.parametrize("shift", [0, 5], ids=["in-sync", "audio-5-frames-late"])
def test_mouth_follows_each_frames_own_audio(face_bundle, tmp_path, shift):
    """The peak sits at the presentation delay; feeding the host the same speech 5 frames
    later (silence first) moves the peak by 5 frames, so a misplaced frame shows."""
    pcm = uttered(8.0)
    fed = np.concatenate([np.zeros(shift * SPF, np.float32), pcm])
    frames = stream(face_bundle, fed, tmp_path)
    assert len(frames) >= fed.size // SPF + max(LAGS) + PRESENT_DELAY
    assert frames[0] == frames[1]  # the first frame goes out twice
    opening = np.array([mouth_opening(f) for f in frames])
    rms = frame_rms(pcm)
    profile = lag_profile(opening, rms)
    peak = max(profile, key=profile.get)
    expected = PRESENT_DELAY + shift
    shown = {lag: round(r, 3) for lag, r in profile.items()}
    assert abs(peak - expected) <= 1, shown
    assert profile[peak] >= 0.8, shown
    # the mouth really moves: from closed in the pauses to wide open on loud syllables
    assert opening.min() < 3 and opening.max() > 25
