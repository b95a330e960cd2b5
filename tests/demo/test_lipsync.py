"""Lip sync of the demo face through the real render-stream host: the mouth opening
read off every frame's pixels follows the loudness of that frame's own 50 ms of audio,
one frame late (the host writes a stream's first frame twice)."""
import threading

import numpy as np
import pytest

from face_sync import LAGS, PRESENT_DELAY, SPF, frame_rms, lag_profile, mouth_opening, uttered
from lumeth2_host_client import FLUSH, Host, isolated_env
from make_demo_bundle import build_demo_bundle


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


# One stream with a 50 ms tone in a few single frames, in the first chunk (frames 0-20),
# the second (21-52) and later ones (32 frames each), on either side of chunk seams.
BURSTS = {0: "first frame", 9: "first chunk", 20: "first chunk's last", 31: "second chunk",
          53: "third chunk's first", 84: "third chunk's last", 96: "fourth chunk"}


@pytest.fixture(scope="module")
def burst_openings(face_bundle, tmp_path_factory):
    rng = np.random.default_rng(0)
    pcm = (0.002 * rng.standard_normal(110 * SPF)).astype(np.float32)  # a quiet room, not digital silence
    tone = 0.2 * np.sin(2 * np.pi * 300 * np.arange(SPF) / 16000)
    for w in BURSTS:
        pcm[w * SPF:(w + 1) * SPF] += tone.astype(np.float32)
    frames = stream(face_bundle, pcm, tmp_path_factory.mktemp("bursts"))
    return np.array([mouth_opening(f) for f in frames])


@pytest.mark.parametrize("frame", list(BURSTS), ids=list(BURSTS.values()))
def test_a_tone_in_one_frame_opens_the_mouth_in_that_frame(burst_openings, frame):
    """The widest mouth near a burst is the burst's own frame, shown one record late."""
    shown = frame + PRESENT_DELAY
    near = burst_openings[max(0, frame - 2):frame + 5]
    assert burst_openings[shown] == near.max() > 20, near.round(1)
    assert burst_openings[shown - 2 if frame else 2] < 4, near.round(1)  # closed before (after, for frame 0)


def test_the_mouth_stays_closed_away_from_sound(burst_openings):
    quiet = [k for k in range(100) if all(not (w <= k <= w + 3) for w in BURSTS)]
    assert burst_openings[quiet].max() < 4
