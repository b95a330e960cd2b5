"""stop, shutdown, cleanup and the first frame."""

import asyncio
import logging
import threading
import types

import numpy as np
import pytest

import orvane._avatar as avmod
from orvane import _core
from orvane._avatar import AsyncAvatar, _STREAM_END
from orvane._models import VideoControl, VideoFrame

from .helpers import arun, collect, pcm_bytes, tone


def test_stop_when_not_running_touches_nothing():
    async def go():
        av = AsyncAvatar()
        av._out_queue.put_nowait("x")
        await av.stop()
        await av.stop()
        assert not av._stop_event.is_set() and av._in_queue.empty() and av._out_queue.qsize() == 1

    arun(go())


@pytest.mark.parametrize("engine,output_size", [("ferrin1", (8, 8)), ("lumeth2", None)])
def test_stop_ends_tasks_and_keeps_model(model, engine, output_size):
    async def go():
        av = await AsyncAvatar.create(model_path=str(model(engine=engine, audio_samples_per_tick=800)),
                                      output_size=output_size, output_buffer_size=2)
        it = av.run()
        await av.push_audio(pcm_bytes(tone(800 * 6)), 16000, last_chunk=False)
        first = await asyncio.wait_for(it.__anext__(), 10)
        clock = av._emitter_task
        await av.stop()
        assert av._producer_task is None and av._emitter_task is None and av._playout is None
        assert av._running is False and av._stop_event.is_set()
        # Everything the stream made is gone; only the end sentinel for a waiting reader is left.
        assert list(av._out_queue._queue) == [_STREAM_END]
        if clock is not None:
            assert clock.done()
        assert av._fixture is not None and av._runtime is not None
        # A fresh stream starts on the same model.
        await av.push_audio(pcm_bytes(tone(800 * 4)), 16000)
        frames = await collect(av, lambda f: f.end_of_speech)
        await av.shutdown()
        await av.shutdown()
        return first, frames, av

    first, frames, av = arun(go())
    assert first is not None
    assert frames[-1].end_of_speech
    assert av._fixture is None and av._runtime is None and av._engine_executor is None


@pytest.mark.parametrize("engine,output_size,synced", [
    ("ferrin1", (8, 8), False), ("ferrin1", None, True), ("lumeth2", None, False)])
def test_stop_from_elsewhere_ends_a_waiting_iteration(model, engine, output_size, synced):
    """A consumer in its own task that asks for its next frame after stop() has run is not
    left waiting for ever, and the sentinel it ends on does not end the next stream."""
    async def go():
        av = await AsyncAvatar.create(model_path=str(model(engine=engine, audio_samples_per_tick=800)),
                                      output_size=output_size)
        if synced:
            av.sync_to(lambda: 0.0)
        first, proceed = asyncio.Event(), asyncio.Event()

        async def consume():
            async for _ in av.run():
                first.set()
                await proceed.wait()          # busy with its frame while stop() runs
            return "ended"

        task = asyncio.ensure_future(consume())
        await av.push_audio(pcm_bytes(tone(800 * 4)), 16000, last_chunk=False)
        await asyncio.wait_for(first.wait(), 10)
        await av.stop()
        proceed.set()
        assert await asyncio.wait_for(task, 10) == "ended"
        # Stopped with nobody reading: the next run() streams normally.
        await av.stop()
        await av.push_audio(pcm_bytes(tone(800 * 4)), 16000)
        frames = await asyncio.wait_for(collect(av, lambda f: f.end_of_speech), 10)
        await av.shutdown()
        return frames

    frames = arun(go())
    assert frames[-1].end_of_speech and len(frames) >= 2


def started_event(av):
    """An event set once the avatar's stream has started (the iterator's first step)."""
    ev, real = asyncio.Event(), av._ensure_running

    async def ensure_running():
        await real()
        ev.set()

    av._ensure_running = ensure_running
    return ev


def test_sentinel_left_by_a_cancelled_consumer_does_not_end_the_next_stream(model):
    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8))
        started = started_event(av)
        # The cancelled consumer's stop() leaves a sentinel that nobody takes.
        it = av.run()
        pending = asyncio.ensure_future(it.__anext__())
        await asyncio.wait_for(started.wait(), 10)
        pending.cancel()
        await asyncio.gather(pending, return_exceptions=True)
        assert not av._running and list(av._out_queue._queue) == [_STREAM_END]
        await av.push_audio(pcm_bytes(tone(640 * 4)), 16000)
        frames = await asyncio.wait_for(collect(av, lambda f: f.end_of_speech), 10)
        await av.shutdown()
        return frames

    frames = arun(go())
    assert [f.frame_index for f in frames] == [0, 1, 2, 3]


def test_producer_ended_by_cleanup_leaves_nothing_for_the_next_stream(model):
    """With room for one item, the sentinel cleanup() posts fills the output queue; the
    cancelled producer must not post a farewell of its own that lands in the next stream."""
    async def go():
        path = str(model())
        av = await AsyncAvatar.create(model_path=path, output_size=(8, 8), output_buffer_size=1)
        await av.push_audio(pcm_bytes(tone(640 * 3)), 16000)
        await collect(av, lambda f: f.end_of_speech)      # the producer now waits for input
        producer = av._producer_task
        av.cleanup()
        await asyncio.wait({producer}, timeout=5)        # its cancellation has run
        await av.set_model(path)
        await av.push_audio(pcm_bytes(tone(640 * 4, amp=0.8)), 16000)
        frames = await asyncio.wait_for(collect(av, lambda f: f.end_of_speech), 10)
        await av.shutdown()
        return frames

    frames = arun(go(), timeout=60)
    assert [f.frame_index for f in frames] == [0, 1, 2, 3]


@pytest.mark.parametrize("arrival,output_size", [("flush", (8, 8)), ("speech", None)])
def test_producer_torn_down_as_input_arrives_leaves_nothing_for_the_next_stream(model, arrival, output_size):
    """cleanup() in the same turn of the loop as an input item's arrival: the producer's
    cancelled input wait must not hand it the item (a bounded wait can return the item and
    drop the cancel), or it acts on it after teardown and its end marker or error lands in
    the next stream."""
    async def go():
        path = str(model())
        av = await AsyncAvatar.create(model_path=path, output_size=output_size)
        it = av.run()
        first = asyncio.ensure_future(it.__anext__())
        while not av._in_queue._getters:                  # the producer waits for input
            await asyncio.sleep(0)
        producer = av._producer_task
        if arrival == "flush":
            await av.flush()
        else:
            await av.push_audio(pcm_bytes(tone(640 * 30)), 16000, last_chunk=False)
        av.cleanup()                                      # no await between: they meet
        await asyncio.wait({producer}, timeout=5)
        with pytest.raises(StopAsyncIteration):
            await first
        no_worker = av._engine_executor is None          # nothing started one after cleanup
        await av.set_model(path)
        await av.push_audio(pcm_bytes(tone(640 * 4, amp=0.8)), 16000)
        frames = await asyncio.wait_for(collect(av, lambda f: f.end_of_speech), 10)
        await av.shutdown()
        return producer.done() and no_worker, frames

    clean, frames = arun(go(), timeout=60)
    assert clean and [f.frame_index for f in frames] == [0, 1, 2, 3]


def test_playout_clock_torn_down_as_a_frame_arrives_ends(model):
    """The same meeting for the lumeth-2 playout clock: a clock that kept the item instead
    of the cancel would run on for ever, forwarding into later streams."""
    async def go():
        path = str(model(engine="lumeth2", audio_samples_per_tick=800))
        av = await AsyncAvatar.create(model_path=path, output_size=None)
        it = av.run()
        first = asyncio.ensure_future(it.__anext__())
        while av._playout is None or not av._playout._getters:   # the clock waits for its tick
            await asyncio.sleep(0)
        clock = av._emitter_task
        av._playout.put_nowait(VideoFrame(end_of_speech=True))
        av.cleanup()
        done, _ = await asyncio.wait({clock}, timeout=5)
        await asyncio.gather(first, return_exceptions=True)
        await it.aclose()
        left = list(av._out_queue._queue)
        if not done:
            clock.cancel()
            await asyncio.gather(clock, return_exceptions=True)
        return bool(done), left

    done, left = arun(go(), timeout=60)
    assert done and left == [_STREAM_END]


def test_stop_with_full_input_queue_drops_its_control(model):
    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8), input_buffer_size=1)
        it = av.run()
        await av._ensure_running()
        await asyncio.sleep(0)
        av._in_queue.put_nowait("filler")
        await av.stop()
        assert not av._running and av._producer_task is None
        await it.aclose()
        await av.shutdown()

    arun(go())


def test_stop_cancels_a_stuck_producer(monkeypatch, model):
    monkeypatch.setattr(avmod.asyncio, "wait_for", _fast_wait_for(asyncio.wait_for))

    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8))
        stuck = asyncio.Event()

        async def producer():
            try:
                await asyncio.Event().wait()          # ignores the stop event
            finally:
                stuck.set()

        av._fixture = av._fixture
        av._running = True
        av._producer_task = asyncio.ensure_future(producer())
        await av.stop()                              # no time-out error reaches us
        assert stuck.is_set() and av._producer_task is None and not av._running
        await av.shutdown()

    arun(go())


def _fast_wait_for(real):
    # stop() waits 5 s for the producer; shrink that limit so the test stays quick.
    async def wait_for(aw, timeout):
        return await real(aw, min(timeout, 0.2) if timeout in (5.0, 1.0) else timeout)
    return wait_for


def test_cleanup_while_consumer_waits_ends_iteration(model):
    async def go():
        av = await AsyncAvatar.create(model_path=str(model()), output_size=(8, 8))
        got = []

        async def consume():
            async for fr in av.run():
                got.append(fr)
            return "ended"

        started = started_event(av)
        task = asyncio.ensure_future(consume())
        await asyncio.wait_for(started.wait(), 10)
        producer = av._producer_task
        av.cleanup()
        assert await asyncio.wait_for(task, 5) == "ended"
        await asyncio.sleep(0)
        assert producer.cancelled() or producer.done()
        assert av._fixture is None and av._runtime is None and not av._running

    arun(go())


def test_cleanup_loaded_not_running_and_without_fixture(model, caplog):
    async def go():
        av = await AsyncAvatar.create(model_path=str(model()))
        av._out_queue.put_nowait("kept")
        await av._engine(lambda: None)
        rt = av._runtime
        av.cleanup()
        assert av._out_queue.qsize() == 1 and av._engine_executor is None
        assert rt._closed and av._fixture is None and av._runtime is None
        bare = AsyncAvatar()
        await bare._engine(lambda: None)
        sentinel = object()
        bare._runtime = sentinel
        bare.cleanup()
        assert bare._engine_executor is None and bare._runtime is sentinel

    arun(go())


class _CloseFails:
    def close(self):
        raise OSError("handle gone")


@pytest.mark.parametrize("via", ["shutdown", "cleanup"])
def test_failing_close_is_one_warning(via, caplog):
    caplog.set_level(logging.WARNING, logger="orvane")
    av = AsyncAvatar()
    av._fixture, av._runtime = object(), _CloseFails()
    if via == "shutdown":
        arun(av.shutdown())
    else:
        av.cleanup()
    assert [r.getMessage() for r in caplog.records] == ["orvane: releasing the engine failed (OSError: handle gone)"]
    assert av._runtime is None and av._fixture is None


def test_close_worker_waits_for_running_job():
    av = AsyncAvatar()
    started, release, order = threading.Event(), threading.Event(), []

    class RT:
        def work(self):
            started.set()
            release.wait(5)
            order.append("job")

        def close(self):
            order.append("close")

    async def go():
        av._runtime = RT()
        fut = asyncio.ensure_future(av._engine(av._runtime.work))
        await asyncio.get_running_loop().run_in_executor(None, started.wait, 5)
        fut.cancel()
        threading.Timer(0.05, release.set).start()
        av._close_runtime()
        assert order == ["job", "close"]

    arun(go())


# -- first frame ----------------------------------------------------------------------------
@pytest.fixture
def fake_time(monkeypatch):
    t = types.SimpleNamespace(now=0.0, sleeps=0)

    def sleep(s):
        t.sleeps += 1
        t.now += s

    monkeypatch.setattr(avmod, "time", types.SimpleNamespace(monotonic=lambda: t.now, sleep=sleep))
    return t


class Fx:
    def __init__(self, w=320, h=240):
        self.frame_width, self.frame_height = w, h


class SourceRT:
    def __init__(self, answers):
        self.answers = list(answers)
        self.calls = 0

    def get_source_frame(self, idx):
        assert idx == 0
        self.calls += 1
        a = self.answers.pop(0) if self.answers else None
        if isinstance(a, Exception):
            raise a
        return a


def test_first_frame_default_output_size_is_blank_without_asking():
    av = AsyncAvatar()
    av._fixture, av._runtime = Fx(), SourceRT([])
    img = av.get_first_frame()
    assert img.shape == (720, 1280, 3) and img.dtype == np.uint8 and not img.any()
    assert av._runtime.calls == 0
    av._output_size = (640, 360)
    assert av.get_first_frame().shape == (360, 640, 3)


def test_first_frame_native_returns_resting_image(fake_time):
    img = np.ones((4, 4, 3), np.uint8)
    av = AsyncAvatar(output_size=None)
    av._fixture, av._runtime = Fx(), SourceRT([None, np.zeros((0,), np.uint8), img])
    assert av.get_first_frame() is img and fake_time.sleeps == 2


@pytest.mark.parametrize("answers,fx,result,lines", [
    ([], Fx(), (240, 320, 3),
     ["orvane: the engine produced no resting frame in 1.0s; reporting this model's own 320x240 geometry "
      "with a blank frame so the session can still start"]),
    ([RuntimeError("not yet")] * 500, Fx(), (240, 320, 3),
     ["orvane: the engine had no resting frame after 1.0s (RuntimeError: not yet)",
      "orvane: the engine produced no resting frame in 1.0s; reporting this model's own 320x240 geometry "
      "with a blank frame so the session can still start"]),
    ([], Fx(0, 240), None, ["orvane: no first frame — this model reports a 0x240 frame size"]),
    ([], types.SimpleNamespace(frame_width="wide", frame_height=2), None,
     ["orvane: no first frame — this model cannot say how big a frame is "
      "(ValueError: invalid literal for int() with base 10: 'wide')"]),
])
def test_first_frame_fallbacks(fake_time, caplog, answers, fx, result, lines):
    caplog.set_level(logging.WARNING, logger="orvane")
    av = AsyncAvatar(output_size=None)
    av._fixture, av._runtime = fx, SourceRT(answers)
    img = av.get_first_frame()
    if result is None:
        assert img is None
    else:
        assert img.shape == result and not img.any()
    assert [r.getMessage() for r in caplog.records] == lines
    assert 95 <= av._runtime.calls <= 102          # polled every 10 ms for a second


def test_first_frame_without_model(caplog):
    caplog.set_level(logging.WARNING, logger="orvane")
    assert AsyncAvatar().get_first_frame() is None
    assert [r.getMessage() for r in caplog.records] == [
        "orvane: no first frame — no model is loaded (await AsyncOrvane.create(model_path=...))"]


@pytest.mark.parametrize("timeout", [0, -1.0])
def test_wait_source_frame_polls_once_for_no_time(fake_time, timeout):
    av = AsyncAvatar(output_size=None)
    av._runtime = SourceRT([])
    assert av._wait_source_frame(timeout) is None
    assert av._runtime.calls == 1 and fake_time.sleeps == 0


def test_first_frame_on_real_runtime(model):
    async def go():
        return await AsyncAvatar.create(model_path=str(model()), output_size=None)

    av = arun(go())
    img = av.get_first_frame()
    assert img.shape == (24, 32, 3) and np.all(img == np.array(_core.RESTING_BGR, np.uint8))
    av.cleanup()
