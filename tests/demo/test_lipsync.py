"""Lip sync of the demo face through the real render-stream host: the mouth opening
read off every frame's pixels follows the loudness of that frame's own 50 ms of audio,
one record late on the wire (the host writes a stream's first frame twice), and in the
same tick on the live road, which leaves the repeated record out."""
import numpy as np
import pytest

from face_sync import LAGS, PRESENT_DELAY, SPF, frame_rms, lag_profile, mouth_opening, uttered
from orvane._lumeth2._client import END, HostClient, isolated_env
from make_demo_bundle import build_demo_bundle


@pytest.fixture(scope="module")
def face_bundle(tmp_path_factory):
    pytest.importorskip("ai_edge_litert")
    return build_demo_bundle(tmp_path_factory.mktemp("face") / "avatar", "qvx")


def stream(bundle, pcm, tmp_path) -> list[bytes]:
    """Every frame record of one stream through the host, in record order."""
    stage = tmp_path / "stage"
    stage.mkdir()
    with HostClient(bundle, env=isolated_env(tmp_path, stage), read_timeout=600.0) as h:
        for i in range(0, pcm.size, 4000):
            h.feed(pcm[i:i + 4000])
        h.flush()
        frames = []
        while True:
            idx, data = h.record()
            if idx == END:
                break
            assert idx == 3 + len(frames)
            frames.append(data)
        status = h.close()
        rest = h.rest()
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


# -- the live road: AsyncAvatar over the host ---------------------------------------------
def private_home(mp, home):
    """A private home, cache and staging place under ``home`` for the avatar's host child."""
    import os

    stage = home / "stage"
    stage.mkdir()
    for k in list(os.environ):
        if k.startswith(("LUMETH2_", "LIBQUARO_")):
            mp.delenv(k)
    for k, v in isolated_env(home, stage).items():
        mp.setenv(k, v)
    mp.setenv("ORVANE_CACHE_DIR", str(home / "cache"))


@pytest.fixture
def live_env(tmp_path, monkeypatch):
    private_home(monkeypatch, tmp_path)


def live_pictures(bundle, utterances, output_size=None) -> list[list[bytes]]:
    """The live road's speech pictures (RGB bytes, tick by tick) of each utterance in turn,
    pushed in 0.2 s pieces to one avatar."""
    import asyncio

    from orvane._avatar import AsyncAvatar

    async def go():
        av = await AsyncAvatar.create(model_path=bundle, output_size=output_size)
        try:
            it = av.run()
            out = []
            for pcm in utterances:
                pieces = np.array_split((pcm * 32767).astype("<i2"), max(1, pcm.size // 3200))
                for i, part in enumerate(pieces):
                    await av.push_audio(part.tobytes(), 16000, last_chunk=i == len(pieces) - 1)
                got = []
                async for fr in it:
                    if fr.bgr_image is not None and fr.source_message_id is not None:
                        assert fr.frame_index == len(got)
                        got.append(np.ascontiguousarray(fr.bgr_image[..., ::-1]).tobytes())
                    if fr.end_of_speech:
                        break
                assert len(got) == -(-pcm.size // SPF)   # one picture per tick, the last one too
                out.append(got)
            await it.aclose()
            return out
        finally:
            await av.shutdown()

    return asyncio.run(asyncio.wait_for(go(), 300))


def test_live_mouth_follows_each_ticks_own_audio(face_bundle, live_env):
    """Streamed live at native size (playout clock), each picture goes with its own tick's
    voice: the mouth-vs-loudness correlation peaks at lag 0."""
    pcm = uttered(8.0)
    (frames,) = live_pictures(face_bundle, [pcm])
    opening = np.array([mouth_opening(f) for f in frames])
    profile = lag_profile(opening, frame_rms(pcm))
    shown = {lag: round(r, 3) for lag, r in profile.items()}
    assert max(profile, key=profile.get) == 0 and profile[0] >= 0.8, shown


# Two utterances on one avatar (the second after the stream's reset), with a 50 ms tone in
# single ticks: in the first chunk (ticks 0-20), on both sides of the seams of the first
# two chunks (20 | 21 and 52 | 53), and in an utterance's last tick.
LIVE_TONES = [(63, {0: "first tick", 20: "first chunk's last", 52: "second chunk's last",
                    62: "last tick"}),
              (64, {9: "first chunk", 21: "second chunk's first", 53: "third chunk's first"})]


@pytest.fixture(scope="module")
def live_tone_openings(face_bundle, tmp_path_factory):
    rng = np.random.default_rng(1)
    tone = (0.2 * np.sin(2 * np.pi * 300 * np.arange(SPF) / 16000)).astype(np.float32)
    utterances = []
    for ticks, tones in LIVE_TONES:
        pcm = (0.002 * rng.standard_normal(ticks * SPF)).astype(np.float32)
        for k in tones:
            pcm[k * SPF:(k + 1) * SPF] += tone
        utterances.append(pcm)
    with pytest.MonkeyPatch.context() as mp:
        private_home(mp, tmp_path_factory.mktemp("live-tones"))
        # Composed at the native size: the pictures unscaled, without the clock's pacing.
        pictures = live_pictures(face_bundle, utterances, output_size=(416, 720))
    return [np.array([mouth_opening(f) for f in u]) for u in pictures]


@pytest.mark.parametrize("utt,tick", [(u, k) for u, (_, tones) in enumerate(LIVE_TONES) for k in tones],
                         ids=[name for _, tones in LIVE_TONES for name in tones.values()])
def test_live_tone_opens_the_mouth_in_its_own_tick(live_tone_openings, utt, tick):
    opening = live_tone_openings[utt]
    near = opening[max(0, tick - 2):tick + 3]
    others = np.delete(near, tick - max(0, tick - 2))
    assert opening[tick] > 20 and opening[tick] > others.max(), near.round(1)
    assert opening[tick - 2 if tick >= 2 else tick + 2] < 4, near.round(1)
