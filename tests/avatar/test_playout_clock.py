"""Lumeth-2 playout clock on a virtual-time loop: pacing, pre-roll, predicted start, hold
and resting frames, reset, stop and catch-up."""

import asyncio

import numpy as np
import pytest

from orvane._avatar import AsyncAvatar, _STREAM_END
from orvane._models import AudioChunk, VideoFrame

from .helpers import run_virtual

PERIOD = 0.05          # 16000 Hz / 800 samples per tick = 20 fps
REST = np.full((2, 2, 3), 77, np.uint8)


class Fx:
    audio_samples_per_tick = 800
    audio_sample_rate = 16000


class RT:
    def __init__(self, resting=True, chunk1=None):
        self.resting = resting
        if chunk1 is not None:
            self.samples_for_chunk = lambda k: chunk1

    def get_source_frame(self, idx):
        assert idx == -1
        if self.resting == "empty":
            return np.zeros((0, 0, 3), np.uint8)
        return REST if self.resting else None


def frame(i, eos=False, picture=True):
    return VideoFrame(bgr_image=np.full((2, 2, 3), i, np.uint8) if picture else None,
                      audio_chunk=AudioChunk(np.full(800, i, np.int16), 16000, eos),
                      frame_index=i, source_message_id="m", end_of_speech=eos)


class Harness:
    def __init__(self, resting=True, chunk1=None, fixture=True, out_max=0):
        self.loop = asyncio.get_running_loop()
        av = AsyncAvatar(output_size=None, output_buffer_size=out_max)
        av._engine_id = "lumeth2"
        av._fixture = Fx() if fixture else None
        av._runtime = RT(resting, chunk1)
        av._playout = asyncio.Queue()
        av._running = True
        self.av = av
        self.log = []
        self.t0 = self.loop.time()
        self.clock = asyncio.ensure_future(av._emit_clock())
        self.reader = None

    def read(self):
        async def consume():
            while True:
                it = await self.av._out_queue.get()
                self.log.append((round(self.loop.time() - self.t0, 6), it))
        self.reader = asyncio.ensure_future(consume())

    def put(self, *items):
        for it in items:
            self.av._playout.put_nowait(it)

    async def finish(self):
        for t in (self.clock, self.reader):
            if t is not None:
                t.cancel()
        await asyncio.gather(*(t for t in (self.clock, self.reader) if t is not None), return_exceptions=True)

    def speech(self):
        return [(t, it) for t, it in self.log if isinstance(it, VideoFrame) and it.source_message_id == "m"]


def test_idle_stream_sends_resting_frames_at_frame_rate(monkeypatch):
    async def go():
        h = Harness()
        h.read()
        await asyncio.sleep(0.5 - 1e-6)
        await h.finish()
        return h.log

    log = run_virtual(monkeypatch, go)
    times = [t for t, _ in log]
    assert times == pytest.approx([i * PERIOD for i in range(10)])
    shared = log[0][1].audio_chunk.data
    for _, fr in log:
        assert fr._ov_resting is True and fr.bgr_image is REST
        assert fr.audio_chunk.data is shared and shared.size == 800 and not shared.any()
        assert fr.audio_chunk.last_chunk is False and fr.audio_chunk.sample_rate == 16000


@pytest.mark.parametrize("resting", [False, "empty"])
def test_no_resting_picture_and_nothing_shown_sends_nothing(monkeypatch, resting):
    async def go():
        h = Harness(resting=resting)
        h.read()
        await asyncio.sleep(1.0)
        await h.finish()
        return h.log

    assert run_virtual(monkeypatch, go) == []


def test_without_fixture_silent_frames_carry_800_samples(monkeypatch):
    async def go():
        h = Harness(fixture=False)
        h.read()
        await asyncio.sleep(0.1)
        await h.finish()
        return h.log

    log = run_virtual(monkeypatch, go)
    assert log and all(fr.audio_chunk.data.size == 800 for _, fr in log)
    assert [t for t, _ in log][:2] == pytest.approx([0.0, 0.04])     # 25 fps fallback


def test_preroll_of_36_frames_then_one_picture_per_period(monkeypatch):
    async def go():
        h = Harness(resting=False)
        h.read()
        h.put(*[frame(i) for i in range(35)])
        await asyncio.sleep(1.0)
        held = list(h.log)
        h.put(frame(35))
        await asyncio.sleep(36 * PERIOD + 3 * PERIOD)
        await h.finish()
        return held, h.log

    held, log = run_virtual(monkeypatch, go)
    assert held == []
    speech = [(t, it) for t, it in log if not getattr(it, "_ov_resting", False) and it.source_message_id]
    assert [it.frame_index for _, it in speech] == list(range(36))
    gaps = np.diff([t for t, _ in speech])
    assert gaps == pytest.approx([PERIOD] * 35)
    # Frames ran out before the utterance ended: the last picture is held with silence.
    holds = [it for t, it in log if it.source_message_id is None]
    assert holds and all(it.bgr_image is speech[-1][1].bgr_image for it in holds)
    assert all(not it.audio_chunk.data.any() and not getattr(it, "_ov_resting", False) for it in holds)


def test_short_utterance_starts_on_its_end(monkeypatch):
    async def go():
        h = Harness()
        h.read()
        await asyncio.sleep(0.12)
        h.put(frame(0), frame(1), frame(2, eos=True))
        await asyncio.sleep(0.3)
        await h.finish()
        return h.log

    log = run_virtual(monkeypatch, go)
    kinds = ["rest" if getattr(it, "_ov_resting", False) else it.frame_index for _, it in log]
    assert kinds[:3] == ["rest"] * 3
    assert kinds[3:6] == [0, 1, 2]
    assert kinds[6:] and set(kinds[6:]) == {"rest"}
    assert [t for t, _ in log][3:7] == pytest.approx([0.15, 0.2, 0.25, 0.3])


def test_marker_without_picture_ends_playing_in_the_same_tick(monkeypatch):
    async def go():
        h = Harness()
        h.read()
        marker = VideoFrame(frame_index=2, source_message_id="m", end_of_speech=True)
        h.put(frame(0), frame(1), marker)
        await asyncio.sleep(0.2 - 1e-6)
        await h.finish()
        return h.log

    log = run_virtual(monkeypatch, go)
    seq = [(t, "rest" if getattr(it, "_ov_resting", False) else it.frame_index) for t, it in log]
    # tick 0: frame 0; tick 1: frame 1; tick 2: the marker, then a resting frame at once.
    assert seq[:4] == [(0.0, 0), (0.05, 1), (0.1, 2), (0.1, "rest")]
    assert log[3][1].bgr_image is REST
    assert seq[4] == (0.15, "rest")


def test_start_of_speech_drops_queued_resting_frames(monkeypatch):
    async def go():
        h = Harness(out_max=0)
        await asyncio.sleep(0.2 - 1e-6)           # nobody reads: 4 resting frames pile up
        h.av._out_queue.put_nowait("keep-me")
        assert h.av._out_queue.qsize() == 5
        h.put(frame(0, eos=True))
        await asyncio.sleep(0.05)
        items = []
        while not h.av._out_queue.empty():
            items.append(h.av._out_queue.get_nowait())
        await h.finish()
        return items

    items = run_virtual(monkeypatch, go)
    assert items[0] == "keep-me"
    assert isinstance(items[1], VideoFrame) and items[1].frame_index == 0 and items[1].end_of_speech


@pytest.mark.parametrize("steady,r0,chunk1,start", [
    (1.025, None, None, 0.15),
    (0.975, None, None, 0.10),
    (None, 0.76, None, 0.15),          # 1.35 x first-chunk time
    (None, None, None, 0.0),           # no estimate and no lag: compute estimate 0
    (0.0, None, 324000, 0.15),         # chunk 1 needs 20.25 s of audio, arriving at 10x
])
def test_predicted_early_start(monkeypatch, steady, r0, chunk1, start):
    async def go():
        h = Harness(resting=False, chunk1=chunk1)
        av = h.av
        av._arr_t0, av._arr_s, av._arr_done, av._arr_t_end = h.t0 - 1.0, 1.0, True, h.t0 - 0.9
        if chunk1 is not None:
            av._arr_s, av._arr_t_end = 10.0, h.t0
        av._l2_steady_s, av._l2_r0 = steady, r0
        h.read()
        h.put(*[frame(i) for i in range(21)])
        await asyncio.sleep(1.5)
        await h.finish()
        return h.log

    log = run_virtual(monkeypatch, go)
    assert log and log[0][0] == pytest.approx(start)
    assert [it.frame_index for _, it in log[:21]] == list(range(21))


def test_no_arrival_data_no_early_start(monkeypatch):
    async def go():
        h = Harness(resting=False)
        h.av._arr_t0, h.av._arr_s = h.t0, 0.0
        h.av._l2_steady_s = 0.0
        h.read()
        h.put(*[frame(i) for i in range(30)])
        await asyncio.sleep(1.0)
        await h.finish()
        return h.log

    assert run_virtual(monkeypatch, go) == []


def test_reset_drops_held_frames_but_keeps_terminal_items(monkeypatch):
    async def go():
        h = Harness(resting=False)
        h.read()
        err = RuntimeError("producer failed")
        h.put(*[frame(i) for i in range(10)], err)
        h.av._playout_reset = True               # interrupt before the clock's first pass
        await asyncio.sleep(0.3)
        await h.finish()
        return h.log, err, h.av._playout_reset

    log, err, flag = run_virtual(monkeypatch, go)
    assert flag is False
    assert log[0][1] is err                       # forwarded; the frames were dropped
    assert not any(isinstance(it, VideoFrame) and it.source_message_id == "m" for _, it in log)


def test_stop_flushes_terminal_items_at_once_and_ends(monkeypatch):
    async def go():
        h = Harness(resting=False)
        h.read()
        err = ValueError("late")
        h.put(*[frame(i) for i in range(5)], err, _STREAM_END)
        h.av._stop_event.set()
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        done = h.clock.done()
        await h.finish()
        return h.log, err, done

    log, err, done = run_virtual(monkeypatch, go)
    assert done and [it for _, it in log] == [err, _STREAM_END]
    assert all(t == 0.0 for t, _ in log)


def test_stop_with_only_an_error_keeps_ticking(monkeypatch):
    async def go():
        h = Harness()
        h.read()
        err = ValueError("x")
        h.av._stop_event.set()
        h.put(err)
        await asyncio.sleep(0.2 - 1e-6)
        running = not h.clock.done()
        await h.finish()
        return h.log, err, running

    log, err, running = run_virtual(monkeypatch, go)
    assert running and log[0][1] is err
    assert len(log) >= 4 and all(getattr(it, "_ov_resting", False) for _, it in log[1:])


def test_stream_end_after_frames_plays_them_out_first(monkeypatch):
    async def go():
        h = Harness(resting=False)
        h.read()
        h.put(frame(0), frame(1), frame(2, eos=True), _STREAM_END)
        await asyncio.sleep(1.0)
        done = h.clock.done()
        await h.finish()
        return h.log, done

    log, done = run_virtual(monkeypatch, go)
    assert done
    assert [(t, getattr(it, "frame_index", "END")) for t, it in log] == [
        (0.0, 0), (0.05, 1), (0.1, 2), (0.15, "END")]


def test_error_item_while_waiting_starts_playing(monkeypatch):
    async def go():
        h = Harness()
        h.read()
        await asyncio.sleep(0.06)
        err = KeyError("boom")
        h.put(err)
        await asyncio.sleep(0.2)
        await h.finish()
        return h.log, err

    log, err = run_virtual(monkeypatch, go)
    idx = [i for i, (_, it) in enumerate(log) if it is err][0]
    assert log[idx][0] == pytest.approx(0.1)
    # No picture was ever forwarded: the following ticks send resting frames.
    assert all(getattr(it, "_ov_resting", False) for _, it in log[idx + 1:]) and len(log) > idx + 1


def test_stalled_consumer_catches_up_at_most_half_a_second(monkeypatch):
    async def go():
        h = Harness(out_max=1)
        await asyncio.sleep(3.0)                   # nobody reads: the clock blocks on its put
        h.read()
        await asyncio.sleep(1.0)
        await h.finish()
        return h.log

    log = run_virtual(monkeypatch, go)
    times = [t for t, _ in log]
    burst = [t for t in times if t == pytest.approx(3.0)]
    # One frame was waiting in the queue, one put was blocked, then at most 0.5 s of ticks.
    assert 2 <= len(burst) <= 2 + int(0.5 / PERIOD) + 2
    later = [t for t in times if t > 3.0 + 1e-9]
    assert np.diff(later) == pytest.approx([PERIOD] * (len(later) - 1))


def test_clock_requires_playout_queue(monkeypatch):
    async def go():
        av = AsyncAvatar(output_size=None)
        with pytest.raises(AssertionError):
            await av._emit_clock()

    run_virtual(monkeypatch, go)
