"""End to end through the producer: pushed audio in, frames paired with their audio out."""

import asyncio
import dataclasses
import logging

import numpy as np
import pytest

from orvane import _core
from orvane._avatar import AsyncAvatar
from orvane._exceptions import RuntimeNotReadyError
from orvane._models import INT16_MAX, VideoControl, VideoFrame

from .helpers import arun, collect, pcm_bytes, take, tone

SPT = 640


def is_eos(fr):
    return fr.end_of_speech


def speech_frames(frames):
    return [f for f in frames if f.bgr_image is not None and f.audio_chunk is not None
            and f.source_message_id is not None]


def check_pairing(frames, pcm_i16, spt=SPT):
    """Each frame's picture was rendered from exactly the tick of audio it carries."""
    for fr in frames:
        tick, level = _core.frame_tag(fr.bgr_image)
        assert tick == fr.frame_index
        data = fr.audio_chunk.data
        assert data.dtype == np.int16 and data.size == spt
        assert fr.audio_chunk.sample_rate == 16000
        src = np.zeros(spt, np.int16)
        part = pcm_i16[tick * spt:(tick + 1) * spt]
        src[:part.size] = part
        np.testing.assert_array_equal(data, src)
        expect = int(min(255.0, np.max(np.abs(data.astype(np.float64))) / INT16_MAX * 255 + 0.5))
        assert abs(level - expect) <= 1


@pytest.mark.parametrize("output_size", [None, (40, 30)], ids=["native", "compose"])
def test_utterance_frames_carry_their_own_audio(model, output_size):
    pcm = tone(10 * SPT + SPT // 2, amp=0.6)
    pcm[3 * SPT:4 * SPT] //= 4          # a quieter tick shows up in the painted level

    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=output_size)
        # Two pushes of one utterance: only the last one ends the speech.
        await av.push_audio(pcm_bytes(pcm[:4000]), 16000, last_chunk=False)
        await av.push_audio(pcm_bytes(pcm[4000:]), 16000, last_chunk=True)
        frames = await collect(av, is_eos)
        await av.shutdown()
        return frames

    frames = arun(go())
    speech = speech_frames(frames)
    assert [f.frame_index for f in speech] == list(range(11))
    check_pairing(speech, pcm)
    h, w = (24, 32) if output_size is None else (30, 40)
    assert all(f.bgr_image.shape == (h, w, 3) for f in speech)
    # Only the utterance's last tick carries the end of speech, on frame and audio alike.
    assert [f.end_of_speech for f in speech] == [False] * 10 + [True]
    assert [f.audio_chunk.last_chunk for f in speech] == [False] * 10 + [True]
    assert len({f.source_message_id for f in speech}) == 1


def pushed_at_16k(pcm_i16, rate):
    """The int16 PCM the producer buffers for a chunk pushed at ``rate``: to float32 at unit
    scale, linear interpolation on the grids i/N and j/n_out (holding the last sample), back
    to int16 by truncation."""
    x = pcm_i16.astype(np.float32) / np.float32(INT16_MAX)
    n = x.size
    n_out = round(n * 16000 / rate)
    y = np.interp(np.arange(n_out) / n_out, np.arange(n) / n, x.astype(np.float64)).astype(np.float32)
    return (y * np.float32(INT16_MAX)).astype(np.int16)


def tick_audio(pcm_i16):
    """What a frame carries for buffered int16 PCM: back to float32, clipped, times INT16_MAX,
    truncated."""
    f = pcm_i16.astype(np.float32) / np.float32(INT16_MAX)
    return (np.clip(f, -1.0, 1.0) * np.float32(INT16_MAX)).astype(np.int16)


@pytest.mark.parametrize("rate,n_in,ticks", [(8000, 8 * 320, 8), (44100, 4410, 3), (48000, 4 * 1920 + 7, 5)])
def test_resampled_input_is_buffered_at_16k(model, rate, n_in, ticks):
    rng = np.random.default_rng(rate)
    pcm = (rng.uniform(-0.9, 0.9, n_in) * 32767).astype(np.int16)

    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(16, 16))
        await av.push_audio(pcm_bytes(pcm), rate)
        frames = await collect(av, is_eos)
        await av.shutdown()
        return frames

    speech = speech_frames(arun(go()))
    # 2560 samples at 8 kHz become 5120 at 16 kHz: exactly 8 ticks; a partial last tick counts.
    assert [f.frame_index for f in speech] == list(range(ticks))
    assert speech[-1].end_of_speech
    ref = tick_audio(pushed_at_16k(pcm, rate))
    ref = np.concatenate((ref, np.zeros(ticks * SPT - ref.size, np.int16)))
    np.testing.assert_array_equal(np.concatenate([f.audio_chunk.data for f in speech]), ref)


def test_consecutive_utterances_restart_tick_count(model):
    a, b = tone(5 * SPT, amp=0.3), tone(3 * SPT, amp=0.9)

    async def go(out):
        av = await AsyncAvatar.create(model_path=str(model()), output_size=out)
        await av.push_audio(pcm_bytes(a), 16000)
        await av.push_audio(pcm_bytes(b), 16000)
        frames = []
        it = av.run()
        eos = 0
        async for fr in it:
            frames.append(fr)
            eos += fr.end_of_speech
            if eos == 2:
                break
        await it.aclose()
        await av.shutdown()
        return frames

    for out in (None, (20, 20)):
        speech = speech_frames(arun(go(out)))
        assert [f.frame_index for f in speech] == list(range(5)) + list(range(3))
        check_pairing(speech[:5], a)
        check_pairing(speech[5:], b)
        assert speech[0].source_message_id != speech[5].source_message_id


def test_end_of_speech_marker_when_nothing_left(model):
    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8))
        await av.flush()                      # nothing buffered, no utterance open
        frames = await collect(av, is_eos)
        await av.shutdown()
        return frames

    (marker,) = arun(go())
    assert marker.bgr_image is None and marker.audio_chunk is None
    assert marker.frame_index == 0 and marker.source_message_id is None and marker.end_of_speech


def test_flush_control_ends_the_open_utterance_with_its_held_back_ticks(model):
    pcm = tone(6 * SPT)

    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8))
        ctl = VideoControl.from_audio(pcm_bytes(pcm), 16000, last_chunk=False)
        await av.push(ctl)
        # Three ticks are held back while speech goes on.
        got = await collect(av, lambda f: False, limit=3)
        await av.flush()
        got += await collect(av, is_eos)
        await av.shutdown()
        return got, ctl.message_id

    frames, mid = arun(go())
    assert [f.frame_index for f in frames] == [0, 1, 2, 3, 4, 5]
    assert frames[-1].end_of_speech and frames[-1].bgr_image is not None   # flushed, no marker
    assert all(f.source_message_id == mid for f in frames)


def test_flush_of_held_back_ticks_flags_the_last_and_sends_no_marker(model):
    pcm = tone(4 * SPT)

    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8))
        await av.push_audio(pcm_bytes(pcm), 16000, last_chunk=False)
        await av.push_audio(pcm_bytes(tone(3 * SPT)), 16000, last_chunk=False)
        got = await collect(av, lambda f: False, limit=4)
        # Ticks 4..6 are still held back; a flush emits them and no marker follows.
        await av.flush()
        got += await collect(av, is_eos)
        await av.shutdown()
        return got

    frames = arun(go())
    assert [f.frame_index for f in frames] == list(range(7))
    assert sum(f.end_of_speech for f in frames) == 1


def test_resting_frames_while_idle_at_native_size(model):
    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=None)
        frames = await collect(av, lambda f: True, limit=3)
        frames += await collect(av, lambda f: False, limit=2)
        await av.shutdown()
        return frames

    frames = arun(go())
    assert len(frames) == 3
    for fr in frames:
        assert np.all(fr.bgr_image == np.array(_core.RESTING_BGR, np.uint8))
        assert fr.audio_chunk.data.size == SPT and not fr.audio_chunk.data.any()
        assert fr.audio_chunk.last_chunk is False and not getattr(fr, "_ov_resting", False)


@pytest.mark.parametrize("empty_image", [False, True])
def test_no_resting_picture_no_idle_frames(model, empty_image):
    async def go():
        av = await AsyncAvatar.create(model_path=str(model(resting=False)), output_size=None)
        real, polls, idle = av._runtime.get_source_frame, [], asyncio.Event()

        def source(idx):
            polls.append(idx)
            if len(polls) == 3:
                idle.set()
            # "No picture yet" may also come as an empty image: never sent as a frame.
            return np.zeros((0, 0, 3), np.uint8) if empty_image else real(idx)

        av._runtime.get_source_frame = source
        got, ended = [], asyncio.Event()

        async def consume():
            async for fr in av.run():
                got.append(fr)
                if fr.end_of_speech:
                    ended.set()

        t = asyncio.ensure_future(consume())
        # Several input time-outs pass with nothing to show.
        await asyncio.wait_for(idle.wait(), 10)
        await av.push_audio(pcm_bytes(tone(4 * SPT)), 16000)
        await asyncio.wait_for(ended.wait(), 10)
        t.cancel()
        await asyncio.gather(t, return_exceptions=True)
        await av.shutdown()
        return got

    frames = arun(go())
    assert [f.frame_index for f in frames] == [0, 1, 2, 3]


def test_run_without_model_is_refused():
    async def go():
        av = AsyncAvatar()
        with pytest.raises(RuntimeNotReadyError, match=r"^AsyncAvatar: no fixture loaded\. Call create\(model_path=\.\.\.\)\.$"):
            async for _ in av.run():
                pass
        assert av._running is False and av._producer_task is None

    arun(go())


def test_non_control_items_are_ignored(model):
    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8))
        await av.push("not a control")
        await av.push_audio(pcm_bytes(tone(4 * SPT)), 16000)
        frames = await collect(av, is_eos)
        await av.shutdown()
        return frames

    assert [f.frame_index for f in arun(go())] == [0, 1, 2, 3]


class _Boom(RuntimeError):
    pass


# The roads a stream can take: the producer's own pulls at native size, composing to an
# output size, a v2 engine (one runtime reset between utterances, never rebuilt), and the
# playout clock (a lumeth-2 engine id at native size, here on a stand-in runtime).
ROADS = {
    "native": (dict(), None, None),
    "compose": (dict(), (8, 8), None),
    "v2": (dict(engine="ferrin2-light", tail_ticks=2), (8, 8), None),
    "clock": (dict(), None, "lumeth2"),
}


async def road_avatar(model, road):
    desc, output_size, engine_id = ROADS[road]
    av = await AsyncAvatar.create(model_path=str(model(**desc)), output_size=output_size)
    if engine_id is not None:
        av._engine_id = engine_id
    return av


def fail_once(rt, exc):
    """Make the runtime's next feed (either road) raise ``exc``; later feeds work."""
    state = {"armed": True}

    def wrap(name):
        real = getattr(rt, name)

        def call(*args):
            if state["armed"]:
                state["armed"] = False
                raise exc
            return real(*args)

        setattr(rt, name, call)

    wrap("push_audio")
    wrap("tick_compose_to_size")


def spoken(frames):
    return [f for f in speech_frames(frames) if not getattr(f, "_ov_resting", False)]


async def drain(it):
    return [fr async for fr in it]


@pytest.mark.parametrize("pieces", [1, 4], ids=["one-piece", "rest-still-queued"])
@pytest.mark.parametrize("road", list(ROADS))
def test_speech_after_a_producer_error_is_rendered_by_a_fresh_stream(model, road, pieces):
    """With the failed utterance pushed in pieces, the producer fails on the first and the
    rest is still queued: it belongs to the failed stream, not to the next one."""
    first, second = tone(4 * SPT, amp=0.5), tone(5 * SPT, amp=0.8)

    async def go():
        av = await road_avatar(model, road)
        fail_once(av._runtime, _Boom("engine fell over"))
        for k in range(pieces):
            await av.push_audio(pcm_bytes(tone(4 * SPT)), 16000, last_chunk=k == pieces - 1)
        with pytest.raises(_Boom, match="engine fell over"):
            await asyncio.wait_for(drain(av.run()), 10)
        # The error has reached the consumer: the next run() streams the new speech, and
        # so does the one after it.
        got = []
        for pcm in (first, second):
            await av.push_audio(pcm_bytes(pcm), 16000)
            got.append(await asyncio.wait_for(collect(av, is_eos), 10))
        await av.shutdown()
        return got

    got = arun(go(), timeout=60)
    for frames, pcm in zip(got, (first, second)):
        speech = spoken(frames)
        assert [f.frame_index for f in speech] == list(range(pcm.size // SPT))
        check_pairing(speech, pcm)
        assert frames[-1].end_of_speech


@pytest.mark.parametrize("road", list(ROADS))
def test_interrupt_after_the_producer_failed_keeps_its_error_for_the_consumer(model, road):
    async def go():
        av = await road_avatar(model, road)
        fail_once(av._runtime, _Boom("engine fell over"))
        await av.push_audio(pcm_bytes(tone(4 * SPT)), 16000)
        await av._ensure_running()
        await asyncio.wait_for(av._producer_task, 10)     # failed: error and end sentinel queued
        av.interrupt()
        with pytest.raises(_Boom, match="engine fell over"):
            await asyncio.wait_for(drain(av.run()), 10)
        # The barge-in did not swallow the stream's end either: speech after it is rendered.
        await av.push_audio(pcm_bytes(tone(3 * SPT, amp=0.8)), 16000)
        frames = await asyncio.wait_for(collect(av, is_eos), 10)
        await av.shutdown()
        return frames

    frames = arun(go(), timeout=60)
    assert [f.frame_index for f in spoken(frames)] == [0, 1, 2]


def test_frames_can_be_looked_up_among_frames(model):
    """Records compare by identity: a field-wise == over their numpy arrays has no single
    truth value, so ``in``, ``index`` and ``remove`` would raise."""
    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8))
        await av.push_audio(pcm_bytes(tone(3 * SPT)), 16000)
        frames = await collect(av, is_eos)
        await av.shutdown()
        return frames

    frames = arun(go())
    last = frames[-1]
    twin = dataclasses.replace(last)
    assert last in frames and twin not in frames and frames.index(last) == len(frames) - 1
    assert last.audio_chunk in [f.audio_chunk for f in frames]
    assert twin != last and twin.audio_chunk == last.audio_chunk
    ctl = VideoControl.from_audio(pcm_bytes(tone(SPT)), 16000)
    assert ctl in [VideoControl.from_audio(pcm_bytes(tone(SPT)), 16000), ctl]
    frames.remove(last)
    assert len({id(f) for f in frames}) == len(set(frames)) == len(frames)


@pytest.mark.parametrize("engine", ["ferrin2-light", "ferrin2-unified"])
def test_v2_engine_drains_tail_and_marks_end(model, engine):
    pcm = tone(6 * SPT + 100, amp=0.5)

    async def go():
        # The engine keeps its last 5 ticks until it is told the utterance has ended.
        av = await AsyncAvatar.create(model_path=str(model(engine=engine, tail_ticks=5)),
                                      output_size=(8, 8))
        rt0 = av._runtime
        await av.push_audio(pcm_bytes(pcm), 16000)
        frames = await collect(av, is_eos)
        await av.push_audio(pcm_bytes(pcm[:2 * SPT]), 16000)
        frames += await collect(av, is_eos)
        same_runtime = av._runtime is rt0
        await av.shutdown()
        return frames, same_runtime

    frames, same_runtime = arun(go())
    first, second = frames[:8], frames[8:]
    # Ready ticks and the drained tail alike are composed at the output size, one
    # continuous tick sequence.
    assert [f.frame_index for f in first[:7]] == list(range(7))
    assert [f.bgr_image.shape for f in first[:7]] == [(8, 8, 3)] * 7
    assert not any(f.end_of_speech for f in first[:7])
    check_pairing(first[:7], pcm)
    marker = first[7]
    assert marker.bgr_image is None and marker.end_of_speech and marker.frame_index == 7
    assert [f.frame_index for f in second] == [0, 1, 2]
    assert second[-1].bgr_image is None and second[-1].frame_index == 2
    # v2 runtimes are reset between utterances, never rebuilt.
    assert same_runtime


def test_interrupt_abandons_utterance_and_next_starts_clean(model):
    long = tone(40 * SPT, amp=0.2)
    nxt = tone(4 * SPT, amp=0.8)

    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8), output_buffer_size=2)
        await av.push_audio(pcm_bytes(long), 16000, last_chunk=False)
        it = av.run()
        first = await it.__anext__()
        assert first.frame_index == 0
        rt_before = av._runtime
        av.interrupt()
        assert av._out_queue.empty() and av._interrupt_event.is_set()
        await av.push_audio(pcm_bytes(nxt), 16000)
        rest = await take(it, is_eos)
        await it.aclose()
        renewed = av._runtime is not rt_before
        await av.shutdown()
        return rest, renewed

    rest, renewed = arun(go())
    # At most the frame whose put was waiting survives from the old utterance.
    new = [f for f in rest if f.audio_chunk is not None and np.abs(f.audio_chunk.data).max() > 0.5 * 32767]
    assert [f.frame_index for f in new] == [0, 1, 2, 3]
    assert len(rest) - len(new) <= 2
    check_pairing(new, nxt)
    assert renewed


def test_audio_pushed_right_after_interrupt_is_rendered(model):
    # The producer is idle, waiting for input, when the caller barges in and pushes new
    # speech at once: that speech must come out as a fresh utterance, not be swallowed.
    nxt = tone(4 * SPT, amp=0.8)

    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8))
        await av.push_audio(pcm_bytes(tone(3 * SPT, amp=0.2)), 16000)
        it = av.run()
        await take(it, is_eos)
        av.interrupt()
        await av.push_audio(pcm_bytes(nxt), 16000)
        got = await take(it, is_eos)
        await it.aclose()
        await av.shutdown()
        return got

    got = arun(go())
    assert [f.frame_index for f in got] == [0, 1, 2, 3]
    check_pairing(got, nxt)


def test_warning_free_stream(model, caplog):
    caplog.set_level(logging.WARNING, logger="orvane")

    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8))
        await av.push_audio(pcm_bytes(tone(5 * SPT)), 16000)
        await collect(av, is_eos)
        await av.shutdown()

    arun(go())
    assert caplog.records == []


def test_lumeth2_native_stream_goes_through_playout_clock(model):
    pcm = tone(10 * 800, amp=0.7)

    async def go():
        av = await AsyncAvatar.create(
            model_path=str(model(engine="lumeth2", audio_samples_per_tick=800)), output_size=None)
        await av.push_audio(pcm_bytes(pcm), 16000)
        it = av.run()
        frames = []
        async for fr in it:
            frames.append(fr)
            if fr.end_of_speech:
                break
        names = {av._producer_task.get_name(), av._emitter_task.get_name()}
        await it.aclose()
        await av.shutdown()
        return frames, names

    frames, names = arun(go())
    assert names == {"orvane-ferrin-async-producer", "orvane-l2-playout-clock"}
    speech = [f for f in frames if not getattr(f, "_ov_resting", False) and f.bgr_image is not None]
    assert [f.frame_index for f in speech] == list(range(10))
    check_pairing(speech, pcm, spt=800)
    # Lumeth-2 ends its utterances with a tail drain: the marker closes the speech.
    marker = frames[-1]
    assert marker.end_of_speech and marker.bgr_image is None and marker.frame_index == 10
    assert all(getattr(f, "_ov_resting", False) for f in frames[:-11])


@pytest.mark.parametrize("engine,output_size,padded_ticks", [
    ("ferrin1", None, 19), ("ferrin1", (8, 8), 14), ("ferrin2-light", None, 27), ("ferrin2-light", (8, 8), 27)])
def test_end_of_speech_padding(model, engine, output_size, padded_ticks):
    """10.5 ticks buffered, 6 emitted: 5 remain and the buffer is padded behind them."""
    calls = []

    async def go():
        av = await AsyncAvatar.create(model_path=str(model(engine=engine)), output_size=output_size)
        real_emit, real_drain = av._emit_ready_ticks, av._drain_v2_tail

        async def spy_emit(**kw):
            calls.append(("emit", kw["pcm_buf"].size, kw["ticks_emitted"], kw.get("tail_total"), kw["eos_padding"]))
            return await real_emit(**kw)

        async def spy_drain(**kw):
            calls.append(("drain", kw["pcm_buf"].size, kw["ticks_emitted"], kw["tail_total"], True))
            return await real_drain(**kw)

        av._emit_ready_ticks, av._drain_v2_tail = spy_emit, spy_drain
        pcm = tone(10 * SPT + SPT // 2)
        await av.push_audio(pcm_bytes(pcm[:9 * SPT]), 16000, last_chunk=False)
        got = await collect(av, lambda f: False, limit=6)
        await av.push_audio(pcm_bytes(pcm[9 * SPT:]), 16000, last_chunk=True)
        got += await collect(av, is_eos)
        await av.shutdown()
        return got

    frames = arun(go())
    final = [c for c in calls if c[4]][0]
    assert final[1] == padded_ticks * SPT and final[3] == 11
    assert [f.frame_index for f in speech_frames(frames)] == list(range(11))
    assert frames[-1].end_of_speech


@pytest.mark.parametrize("engine,output_size,n_pictures", [
    ("ferrin1", None, 0), ("lumeth2", None, 10), ("ferrin1", (8, 8), 4)],
    ids=["native-runtime-dry", "lumeth2-clock-tail-drained", "compose-cursor-end"])
def test_flush_that_runs_dry_still_marks_end_of_speech(model, engine, output_size, n_pictures):
    """A runtime that cannot finish the utterance's last ticks must not swallow its end.
    Lumeth-2 holds an utterance shorter than a chunk until it is told the speech ended:
    its tail drain then gets every tick its picture."""

    async def go():
        # Chunked cadence: 10 ticks of audio (plus padding) never complete a 32-tick chunk.
        av = await AsyncAvatar.create(model_path=str(model(engine=engine, chunks=[21, 32])),
                                      output_size=output_size)
        if output_size is not None:
            rt_compose = av._runtime.tick_compose_to_size
            calls = []

            def short(pcm, idx, w, h):
                calls.append(1)
                if len(calls) > 4:
                    raise ValueError("compose: cursor past end (status=6)")
                return rt_compose(pcm, idx, w, h)

            av._runtime.tick_compose_to_size = short
        await av.push_audio(pcm_bytes(tone(10 * SPT)), 16000)
        frames = await collect(av, is_eos)
        await av.shutdown()
        return frames

    frames = arun(go())
    marker = frames[-1]
    assert marker.end_of_speech and marker.bgr_image is None and marker.audio_chunk is None
    pictures = [f for f in frames[:-1] if f.bgr_image is not None and f.source_message_id is not None]
    assert not any(f.end_of_speech for f in pictures)
    assert marker.frame_index == len(pictures)
    assert len(pictures) == n_pictures


def level_of(fr):
    """The audio level painted into a frame's picture, or None for a picture-less frame."""
    return None if fr.bgr_image is None else _core.frame_tag(fr.bgr_image)[1]


@pytest.mark.parametrize("turns", [0, 1, 2, 5])
@pytest.mark.parametrize("road", list(ROADS))
def test_speech_pushed_before_interrupt_never_renders(model, road, turns):
    """Barge-in goes by push order: speech pushed before interrupt() is dropped wherever
    it is (still queued, or already taken by the producer's input wait in a task of its
    own), and speech pushed right after it opens the next utterance."""
    old, new = tone(12 * SPT, amp=0.3), tone(4 * SPT, amp=0.9)
    old_level = _core._level(old.astype(np.float32) / INT16_MAX)

    async def go():
        av = await road_avatar(model, road)
        await av._ensure_running()
        while not av._in_queue._getters:                  # the producer waits for input
            await asyncio.sleep(0)
        await av.push_audio(pcm_bytes(old), 16000)
        for _ in range(turns):
            await asyncio.sleep(0)
        av.interrupt()
        await av.push_audio(pcm_bytes(new), 16000)
        got = []

        async def consume():
            # Up to the end of the utterance that carries the new speech.
            async for fr in av.run():
                got.append(fr)
                if fr.end_of_speech and any(f.source_message_id == fr.source_message_id
                                            and level_of(f) not in (None, old_level)
                                            for f in got):
                    return

        await asyncio.wait_for(consume(), 10)
        await av.shutdown()
        return got

    got = arun(go(), timeout=60)
    assert not [f for f in got if level_of(f) == old_level]
    assert not [f for f in got if f.audio_chunk is not None
                and abs(np.abs(f.audio_chunk.data.astype(np.int32)).max() - 0.3 * INT16_MAX) < 100]
    speech = spoken(got)
    assert [f.frame_index for f in speech] == [0, 1, 2, 3]
    check_pairing(speech, new)
    # Nothing of the old speech either: no frame or end marker under another message id.
    assert len({f.source_message_id for f in got if f.source_message_id is not None}) == 1



@pytest.mark.parametrize("resting", [True, False], ids=["resting-picture", "no-resting-picture"])
def test_barge_in_shows_no_picture_of_the_old_speech_again(model, resting):
    """The playout clock holds the last picture while an utterance's frames run out, and
    rests on it when the model has no resting picture.  A hold frame whose put waits on a
    full output queue as interrupt() comes is of the old speech too, and so is that
    picture between the barge-in and the reply: neither reaches the screen after it."""
    old, new = tone(40 * SPT, amp=0.3), tone(4 * SPT, amp=0.9)
    old_level = _core._level(old.astype(np.float32) / INT16_MAX)

    async def go():
        av = await AsyncAvatar.create(model_path=str(model(resting=resting)), output_size=None,
                                      output_buffer_size=1)
        av._engine_id = "lumeth2"
        it = av.run()
        await av.push_audio(pcm_bytes(old), 16000, last_chunk=False)
        # Up to the first hold frame: the old speech's frames have run out mid-utterance.
        async for fr in it:
            if fr.source_message_id is None and level_of(fr) == old_level:
                break
        # Nobody reads for a while: a hold frame fills the queue and the next one waits.
        await asyncio.sleep(0.3)
        assert av._out_queue.full()
        av.interrupt()
        after = []

        async def read():
            async for fr in it:
                after.append(fr)
                if fr.end_of_speech:
                    return

        reader = asyncio.ensure_future(read())
        # A pause before the reply, as while the user speaks over the avatar.
        await asyncio.sleep(0.3)
        await av.push_audio(pcm_bytes(new), 16000)
        await asyncio.wait_for(reader, 10)
        await it.aclose()
        await av.shutdown()
        return after

    after = arun(go(), timeout=60)
    assert [f.frame_index for f in spoken(after)] == [0, 1, 2, 3]
    assert not [f for f in after if level_of(f) == old_level]

def fail_at_tick(rt, n, exc):
    """Make the runtime's n-th tick (either road) raise ``exc``; the others work."""
    calls = [0]

    def wrap(name):
        real = getattr(rt, name)

        def call(*args):
            calls[0] += 1
            if calls[0] == n:
                raise exc
            return real(*args)

        setattr(rt, name, call)

    wrap("pull_frame")
    wrap("tick_compose_to_size")


@pytest.mark.parametrize("failed", ["whole", "rest-queued", "rest-after-error"])
@pytest.mark.parametrize("road", list(ROADS))
def test_engine_error_drops_only_its_own_utterance(model, road, failed):
    """The engine fails at the third tick of an utterance; a complete utterance queued
    behind it is rendered by the next run().  Pieces of the failed utterance, queued or
    pushed after the error up to its last chunk, are not."""
    a = tone(12 * SPT, amp=0.3)
    b = tone(5 * SPT, amp=0.9)

    async def go():
        av = await road_avatar(model, road)
        fail_at_tick(av._runtime, 3, _Boom("engine fell over"))
        if failed == "whole":
            await av.push_audio(pcm_bytes(a[:8 * SPT]), 16000)
        else:
            # Ticks 0 after the first piece, 1..4 after the second: the second fails.
            await av.push_audio(pcm_bytes(a[:4 * SPT]), 16000, last_chunk=False)
            await av.push_audio(pcm_bytes(a[4 * SPT:8 * SPT]), 16000, last_chunk=False)
            if failed == "rest-queued":
                await av.push_audio(pcm_bytes(a[8 * SPT:]), 16000, last_chunk=True)
        if failed != "rest-after-error":
            await av.push_audio(pcm_bytes(b), 16000)
        with pytest.raises(_Boom, match="engine fell over"):
            await asyncio.wait_for(drain(av.run()), 10)
        if failed == "rest-after-error":
            await av.push_audio(pcm_bytes(a[8 * SPT:]), 16000, last_chunk=True)
            await av.push_audio(pcm_bytes(b), 16000)
        frames = await asyncio.wait_for(collect(av, is_eos), 10)
        await av.shutdown()
        return frames

    frames = arun(go(), timeout=60)
    speech = spoken(frames)
    assert [f.frame_index for f in speech] == list(range(5))
    check_pairing(speech, b)
    assert frames[-1].end_of_speech
