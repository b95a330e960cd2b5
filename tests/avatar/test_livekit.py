"""Sink synchronisation against LiveKit's own real-time objects (its native library runs
in process; no room, no network): the audio source queues about 100 ms of voice, and each
picture must wait until its voice starts playing out of it."""

import asyncio
import time

import numpy as np
import pytest
from livekit import rtc

from orvane._avatar import AsyncAvatar

from .helpers import arun, pcm_bytes, tone

SPT, W, H, TICKS = 640, 32, 24, 25


@pytest.mark.parametrize("sink", ["audio_source", "synchronizer"])
def test_pictures_are_held_until_their_voice_plays(model, sink):
    async def go():
        av = await AsyncAvatar.create(model_path=str(model(frame_width=W, frame_height=H)),
                                      output_size=(W, H))
        source = rtc.AudioSource(16000, 1, queue_size_ms=100)
        video = rtc.VideoSource(W, H)
        sync = rtc.AVSynchronizer(audio_source=source, video_source=video, video_fps=25)
        av.sync_to(source if sink == "audio_source" else sync)
        await av.push_audio(pcm_bytes(tone(TICKS * SPT)), 16000)
        voice_out, voice_start, queued, picture_out, disagree = {}, {}, {}, {}, []
        it = av.run()
        # What the LiveKit plugin does with each item: voice into the audio source,
        # pictures into the synchroniser's video queue.
        async for fr in it:
            now = time.monotonic()
            i = fr.frame_index
            if fr.audio_chunk is not None:
                voice_out[i] = now
                pcm = fr.audio_chunk.data
                await sync.push(rtc.AudioFrame(pcm.tobytes(), 16000, 1, pcm.size))
                q = source.queued_duration
                # The voice queued ahead of this one: it starts playing then.
                voice_start[i] = time.monotonic() + q - pcm.size / 16000
                queued[i] = q
                disagree.append(abs(av._audio_queued() - source.queued_duration))
            if fr.bgr_image is not None:
                picture_out[i] = now
                rgb = np.ascontiguousarray(fr.bgr_image[..., ::-1])
                await sync.push(rtc.VideoFrame(W, H, rtc.VideoBufferType.RGB24, rgb.tobytes()))
            if len(picture_out) == TICKS:
                break
        await it.aclose()
        await sync.aclose()
        await video.aclose()
        await source.aclose()
        await av.shutdown()
        return voice_out, voice_start, queued, picture_out, disagree

    voice_out, voice_start, queued, picture_out, disagree = arun(go(), timeout=60)
    assert sorted(picture_out) == sorted(voice_out) == list(range(TICKS))
    assert max(disagree) <= 0.005
    # Never ahead of its voice by more than the lead (25 ms) and 5 ms of clock noise.
    early = {i: voice_start[i] - picture_out[i] for i in range(TICKS)}
    assert max(early.values()) <= 0.025 + 0.005, early
    # Once the source holds its ~100 ms, every picture waits behind its voice.
    full = [i for i in range(TICKS) if queued[i] >= 0.095]
    assert len(full) >= TICKS // 2, queued
    held = {i: picture_out[i] - voice_out[i] for i in full}
    assert min(held.values()) >= 0.020, held


def test_sync_to_a_video_source_is_refused():
    async def go():
        av = AsyncAvatar()
        video = rtc.VideoSource(W, H)
        try:
            with pytest.raises(TypeError) as ei:
                av.sync_to(video)
        finally:
            await video.aclose()
        assert av._audio_queued is None
        return str(ei.value)

    assert arun(go()) == (
        "sync_to() needs the LiveKit plugin's AvatarSession (after start()), an AvatarRunner, its "
        "AVSynchronizer, an rtc.AudioSource or a function returning the seconds of audio queued; "
        "got VideoSource")
