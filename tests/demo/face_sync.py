"""Reading lip sync off demo-face frames: speech-like test audio, per-frame loudness,
the mouth opening seen in a frame's pixels, and their correlation by lag."""
import numpy as np

from demo import speech_like
from lumeth2_host_client import frame_array
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


def lag_profile(opening: np.ndarray, rms: np.ndarray) -> dict[int, float]:
    """Pearson r of frame k's mouth opening against the loudness of audio frame k - lag,
    over the same audio frames for every lag."""
    span = range(max(LAGS), rms.size - max(LAGS))
    return {lag: float(np.corrcoef([opening[m + lag] for m in span], [rms[m] for m in span])[0, 1])
            for lag in LAGS}
