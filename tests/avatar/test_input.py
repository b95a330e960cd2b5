"""Input operations, arrival bookkeeping and interruption."""

import asyncio
import types

import numpy as np
import pytest

import orvane._avatar as avmod
from orvane._avatar import AsyncAvatar, _STREAM_END
from orvane._models import VideoControl

from .helpers import arun


@pytest.fixture
def clock(monkeypatch):
    t = types.SimpleNamespace(now=100.0)
    monkeypatch.setattr(avmod, "time", types.SimpleNamespace(monotonic=lambda: t.now, sleep=lambda s: None))
    return t


def test_push_audio_queues_control_and_notes_arrival(clock):
    async def go():
        av = AsyncAvatar()
        await av.push_audio(b"\x01\x00" * 800, 16000, last_chunk=False)
        assert (av._arr_t0, av._arr_s, av._arr_done) == (100.0, 0.05, False)
        clock.now = 100.5
        await av.push_audio(b"\x00\x00" * 1600, 16000, False)
        assert (av._arr_t0, av._arr_s) == (100.0, pytest.approx(0.15))
        clock.now = 101.0
        await av.push_audio(data=b"\x00\x00" * 8000, sample_rate=8000, last_chunk=True)
        assert av._arr_done and av._arr_t_end == 101.0 and av._arr_s == pytest.approx(1.15)
        items = [av._in_queue.get_nowait() for _ in range(3)]
        assert [it.audio.last_chunk for it in items] == [False, False, True]
        assert [it.audio.sample_rate for it in items] == [16000, 16000, 8000]
        assert items[0].audio.data.dtype == np.int16 and items[0].audio.data[0] == 1
        # The next chunk opens a fresh window.
        clock.now = 102.0
        await av.push_audio(b"\x00\x00" * 160, 16000)
        assert (av._arr_t0, av._arr_s) == (102.0, pytest.approx(0.01))

    arun(go())


@pytest.mark.parametrize("data,rate,seconds", [
    (b"", 16000, 0.0),
    (b"\x00\x00" * 441, 44100.0, 0.01),
    (b"\x00\x00" * 80, np.int32(8000), 0.01),
    # A memoryview over int16 samples has one item per sample: the seconds come from its bytes.
    (memoryview(np.zeros(16000, np.int16)), 16000, 1.0),
    (memoryview(np.zeros((2, 4000), np.int16))[::2], 8000, 0.5),
])
def test_arrival_seconds_edge_cases(clock, data, rate, seconds):
    async def go():
        av = AsyncAvatar()
        await av.push_audio(data, rate)
        assert av._arr_t0 == 100.0 and av._arr_s == pytest.approx(seconds)
        assert av._in_queue.qsize() == 1
        item = av._in_queue.get_nowait()
        assert item.audio.sample_rate == rate and item.audio.data.size == round(seconds * rate)

    arun(go())


@pytest.mark.parametrize("rate", [0, 0.0, None, -16000, float("nan"), float("inf"), True,
                                  np.bool_(True), "16000", 16000j])
def test_rate_that_is_no_positive_number_is_refused_at_the_call(clock, rate):
    async def go():
        av = AsyncAvatar()
        with pytest.raises(ValueError) as ei:
            await av.push_audio(b"\x00\x00" * 10, rate)
        assert str(ei.value) == ("AsyncAvatar.push_audio: sample_rate must be a positive, finite "
                                 "number of Hz, got %r" % (rate,))
        assert getattr(av, "_arr_t0", None) is None and av._in_queue.empty()

    arun(go())


@pytest.mark.parametrize("data,exc", [
    (b"\x00\x00\x00", ValueError),            # half a sample
    ([1, 2, 3, 4], TypeError),                # not bytes: never taken as byte values
    (4, TypeError),
    (None, TypeError),
    (np.ones(4, np.float64), TypeError),
])
def test_bad_pcm_is_refused_before_bookkeeping(clock, data, exc):
    async def go():
        av = AsyncAvatar()
        with pytest.raises(exc):
            await av.push_audio(data, 16000)
        assert getattr(av, "_arr_t0", None) is None and av._in_queue.empty()

    arun(go())


def test_flush_and_push(clock):
    async def go():
        av = AsyncAvatar()
        await av.flush()
        assert av._arr_done and av._arr_t_end == 100.0 and getattr(av, "_arr_t0", None) is None
        it = av._in_queue.get_nowait()
        assert isinstance(it, VideoControl) and it.end_of_speech and it.audio is None and it.message_id is None
        clock.now = 105.0
        await av.flush()
        assert av._arr_t_end == 100.0 and av._in_queue.qsize() == 1
        ctl = VideoControl(end_of_speech=True)
        await av.push(ctl)
        assert av._in_queue.qsize() == 2 and getattr(av, "_arr_t0", None) is None

    arun(go())


def test_bounded_input_queue_waits():
    async def go():
        av = AsyncAvatar(input_buffer_size=2)
        await av.push_audio(b"", 16000)
        await av.push_audio(b"", 16000)
        third = asyncio.ensure_future(av.push_audio(b"", 16000))
        await asyncio.sleep(0)
        assert not third.done()
        av._in_queue.get_nowait()
        await asyncio.wait_for(third, 5)
        assert av._in_queue.qsize() == 2

    arun(go())


def test_interrupt_when_not_running_changes_nothing():
    async def go():
        av = AsyncAvatar()
        await av.push_audio(b"\x00\x00", 16000)
        av._playout = asyncio.Queue()
        av.interrupt()
        assert av._in_queue.qsize() == 1 and not av._interrupt_event.is_set()
        assert av._playout_reset is False

    arun(go())


@pytest.mark.parametrize("with_playout", [False, True])
def test_interrupt_drains_everything_and_signals(with_playout, clock):
    async def go():
        av = AsyncAvatar(output_buffer_size=0)
        av._running = True
        await av.push_audio(b"\x00\x00" * 10, 16000, last_chunk=False)
        err = RuntimeError("x")
        for it in ("frame", _STREAM_END, "frame too", err):
            av._out_queue.put_nowait(it)
        av._sync_pend.append((0.0, "pic"))
        av._l2_r0 = 1.5
        if with_playout:
            av._playout = asyncio.Queue()
            for it in ("held", _STREAM_END, "held too"):
                av._playout.put_nowait(it)
        av.interrupt()
        # Frames go; the terminal items of a producer that has already ended stay, in order.
        assert av._in_queue.empty() and list(av._out_queue._queue) == [_STREAM_END, err]
        assert not av._sync_pend
        assert av._interrupt_event.is_set() and not av._stop_event.is_set() and av._running
        if with_playout:
            assert list(av._playout._queue) == [_STREAM_END] and av._playout_reset is True
            assert av._arr_t0 is None and av._arr_s == 0.0 and av._l2_r0 is None
        else:
            assert av._playout_reset is False and av._arr_t0 == 100.0 and av._l2_r0 == 1.5
        av.interrupt()
        assert av._interrupt_event.is_set()

    arun(go())


@pytest.mark.parametrize("how", ["same-control-pushed-again", "push-waiting-for-room"])
def test_push_counts_as_made_when_called(how):
    """Barge-in goes by the order of the push calls.  A control the producer took just
    before interrupt() stays old when the caller pushes that same object again after it;
    a push still waiting for room in a bounded queue as interrupt() comes was made
    before it, and what it lands is old."""
    async def go():
        if how == "same-control-pushed-again":
            av = AsyncAvatar()
            av._running = True
            ctl = VideoControl.from_audio(b"\x01\x00" * 640, 16000)
            await av.push(ctl)
            taken = av._in_queue.get_nowait()          # as the producer's wait takes it
            av.interrupt()
            await av.push(ctl)
            again = av._in_queue.get_nowait()
            return [av._stale(taken), av._stale(again)]
        av = AsyncAvatar(input_buffer_size=1)
        av._running = True
        await av.push_audio(b"\x01\x00" * 640, 16000)
        waiting = asyncio.ensure_future(av.push_audio(b"\x02\x00" * 640, 16000))
        await asyncio.sleep(0)
        assert not waiting.done()
        av.interrupt()                                 # makes room for it
        await asyncio.wait_for(waiting, 5)
        landed = [av._in_queue.get_nowait()]
        await av.push_audio(b"\x03\x00" * 640, 16000)
        landed.append(av._in_queue.get_nowait())
        assert [int(c.audio.data[0]) for c in landed] == [2, 3]
        return [av._stale(c) for c in landed]

    assert arun(go()) == [True, False]
