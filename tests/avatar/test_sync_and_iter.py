"""Output iterator and sink synchronisation."""

import asyncio
import types

import numpy as np
import pytest

import orvane._avatar as avmod
from orvane._avatar import AsyncAvatar, _STREAM_END, _queued_reader
from orvane._models import AudioChunk, VideoFrame

from .helpers import arun, run_virtual


def frame(i, eos=False, picture=True, audio=True):
    return VideoFrame(bgr_image=np.full((2, 2, 3), i, np.uint8) if picture else None,
                      audio_chunk=AudioChunk(np.zeros(640, np.int16), 16000, eos) if audio else None,
                      frame_index=i, source_message_id="m", end_of_speech=eos)


def ready_avatar(**kw):
    """An avatar whose stream counts as running: the iterator reads _out_queue directly."""
    av = AsyncAvatar(output_buffer_size=0, **kw)
    av._fixture, av._runtime, av._running = object(), object(), True
    return av


def test_queued_reader_shapes():
    f = lambda: 0.1
    assert _queued_reader(f) is f

    class Src:
        queued_duration = 0.3

    class Sync:
        _audio_source = Src()

    class Runner:
        av_sync = Sync()

    class Session:
        _avatar_runner = Runner()

    assert _queued_reader(Session())() == 0.3
    # A missing link is skipped and the walk goes on from the same object.
    s = types.SimpleNamespace(_avatar_runner=None, av_sync=Sync())
    assert _queued_reader(s)() == 0.3
    src = Src()
    r = _queued_reader(src)
    src.queued_duration = "read afresh"
    assert r() == "read afresh"

    class CallableSource:
        queued_duration = 0.7

        def __call__(self):
            raise AssertionError("its call is never used")

    assert _queued_reader(CallableSource())() == 0.7
    with pytest.raises(TypeError) as ei:
        _queued_reader(42)
    assert str(ei.value) == (
        "sync_to() needs the LiveKit plugin's AvatarSession (after start()), an AvatarRunner, its "
        "AVSynchronizer, an rtc.AudioSource or a function returning the seconds of audio queued; got int")


def test_sync_to_failure_keeps_previous_reader():
    av = AsyncAvatar()
    f = lambda: 0.0
    av.sync_to(f)
    with pytest.raises(TypeError):
        av.sync_to(object())
    assert av._audio_queued is f
    av.sync_to(None)
    assert av._audio_queued is None


def test_unsynced_items_pass_unchanged_and_error_is_raised():
    async def go():
        av = ready_avatar()
        a, b = frame(0), frame(1)
        err = RuntimeError("producer died")
        for it in (a, b, err, _STREAM_END):
            av._out_queue.put_nowait(it)
        got = []
        with pytest.raises(RuntimeError, match="producer died"):
            async for fr in av.run():
                got.append(fr)
        assert got[0] is a and got[1] is b
        got2 = [fr async for fr in av.run()]
        assert got2 == []

    arun(go())


def test_synced_split_voice_first_picture_at_release(monkeypatch):
    async def go():
        av = ready_avatar()
        loop = asyncio.get_running_loop()
        av.sync_to(lambda: 0.10)
        av._out_queue.put_nowait(frame(0, eos=True))
        got = []

        async def consume():
            async for fr in av.run():
                got.append((round(loop.time() - t0, 6), fr))

        t0 = loop.time()
        task = asyncio.ensure_future(consume())
        await asyncio.sleep(0.5)
        av._out_queue.put_nowait(_STREAM_END)
        await asyncio.wait_for(task, 5)
        return got

    got = run_virtual(monkeypatch, go)
    (t_voice, voice), (t_pic, pic) = got
    assert voice.bgr_image is None and voice.audio_chunk is not None and voice.end_of_speech
    assert pic.audio_chunk is None and pic.bgr_image is not None and pic.end_of_speech is False
    assert pic.frame_index == voice.frame_index == 0 and pic.source_message_id == "m"
    assert t_voice == 0.0 and t_pic == pytest.approx(0.10 - 0.04 - 0.025)


@pytest.mark.parametrize("reader", [lambda: 0.03, lambda: -5.0, lambda: float("nan"),
                                    lambda: (_ for _ in ()).throw(ValueError("x")), lambda: "junk"])
def test_reader_that_says_nothing_useful_releases_at_once(monkeypatch, reader):
    async def go():
        av = ready_avatar()
        av.sync_to(reader)
        av._out_queue.put_nowait(frame(0))
        av._out_queue.put_nowait(_STREAM_END)
        return [fr async for fr in av.run()]

    voice, pic = run_virtual(monkeypatch, go)
    assert voice.bgr_image is None and pic.audio_chunk is None


def test_end_of_stream_flushes_held_pictures_in_order(monkeypatch):
    async def go():
        av = ready_avatar()
        loop = asyncio.get_running_loop()
        av.sync_to(lambda: 0.2)
        marker = frame(9, picture=False)
        for it in (frame(0), frame(1), frame(2), marker, _STREAM_END):
            av._out_queue.put_nowait(it)
        t0 = loop.time()
        return [(round(loop.time() - t0, 6), fr) async for fr in av.run()], marker

    got, marker = run_virtual(monkeypatch, go)
    kinds = [("V" if fr.bgr_image is None else "P", fr.frame_index) for _, fr in got]
    # Voices go at once, the picture-less marker overtakes held pictures, then the pictures.
    assert kinds == [("V", 0), ("V", 1), ("V", 2), ("V", 9), ("P", 0), ("P", 1), ("P", 2)]
    assert got[3][1] is marker
    assert [t for t, _ in got[4:]] == pytest.approx([0.135] * 3)


def test_error_with_held_pictures_next_iterator_yields_them(monkeypatch):
    async def go():
        av = ready_avatar()
        av.sync_to(lambda: 5.0)
        for it in (frame(0), KeyError("bad")):
            av._out_queue.put_nowait(it)
        it1 = av.run()
        first = await it1.__anext__()
        with pytest.raises(KeyError):
            await it1.__anext__()
        assert len(av._sync_pend) == 1
        av.sync_to(None)
        await asyncio.sleep(6.0)
        av._out_queue.put_nowait(_STREAM_END)
        rest = [fr async for fr in av.run()]
        return first, rest

    first, rest = run_virtual(monkeypatch, go)
    assert first.bgr_image is None
    assert len(rest) == 1 and rest[0].bgr_image is not None and rest[0].audio_chunk is None


def test_sync_off_while_pictures_held_new_frames_pass_whole(monkeypatch):
    async def go():
        av = ready_avatar()
        loop = asyncio.get_running_loop()
        av.sync_to(lambda: 1.0)
        av._out_queue.put_nowait(frame(0))
        it = av.run()
        voice = await it.__anext__()
        # Asking again holds picture 0 for about a second and waits for more.
        pending = asyncio.ensure_future(it.__anext__())
        await asyncio.sleep(0.1)
        assert len(av._sync_pend) == 1 and not pending.done()
        av.sync_to(None)
        av._out_queue.put_nowait(frame(1))
        whole = await pending                 # arrives before the held picture is due
        t0 = loop.time()
        pic = await it.__anext__()
        waited = loop.time() - t0
        av._out_queue.put_nowait(frame(2))
        last = await it.__anext__()
        await it.aclose()
        return voice, whole, pic, last, waited

    voice, whole, pic, last, waited = run_virtual(monkeypatch, go)
    assert voice.bgr_image is None
    assert whole.frame_index == 1 and whole.bgr_image is not None and whole.audio_chunk is not None
    assert pic.frame_index == 0 and pic.audio_chunk is None
    assert waited == pytest.approx(1.0 - 0.04 - 0.025 - 0.1)
    assert last.frame_index == 2 and last.audio_chunk is not None


def test_cancelled_consumer_stops_stream_once(monkeypatch):
    async def go():
        av = ready_avatar()
        calls = []

        async def stop():
            calls.append(1)

        av.stop = stop
        av.sync_to(lambda: 0.0)
        got = []

        async def consume():
            async for fr in av.run():
                got.append(fr)

        task = asyncio.ensure_future(consume())
        await asyncio.sleep(0.1)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # The outstanding get task was cancelled: a later item stays in the queue.
        await asyncio.sleep(0)
        av._out_queue.put_nowait(frame(0))
        await asyncio.sleep(0)
        return calls, av._out_queue.qsize()

    calls, left = run_virtual(monkeypatch, go)
    assert calls == [1] and left == 1


def test_breaking_out_leaves_avatar_running():
    async def go():
        av = ready_avatar()
        av._out_queue.put_nowait(frame(0))
        async for fr in av.run():
            break
        assert av._running and av._out_queue.empty()

    arun(go())


def test_interrupt_empties_held_pictures(monkeypatch):
    async def go():
        av = ready_avatar()
        av.sync_to(lambda: 5.0)
        av._out_queue.put_nowait(frame(0))
        av._out_queue.put_nowait(frame(1))
        it = av.run()
        await it.__anext__()                   # voice 0
        await it.__anext__()                   # voice 1; picture 0 is now held
        assert len(av._sync_pend) == 1
        av.interrupt()
        av._out_queue.put_nowait(_STREAM_END)
        return [fr async for fr in it]

    rest = run_virtual(monkeypatch, go)
    assert [(fr.frame_index, fr.audio_chunk) for fr in rest] == [(1, None)]


@pytest.mark.parametrize("taken", ["frame", "error", "end"])
def test_item_taken_by_a_closed_synced_iterator_goes_to_the_next(taken):
    """A synced iterator gets its next item in the background while it hands out a held
    picture; a consumer leaving at that picture must not lose what the get took."""
    async def go():
        av = ready_avatar()
        av.sync_to(lambda: 0.0)
        item = {"frame": frame(1), "error": KeyError("bad"), "end": _STREAM_END}[taken]
        for it in (frame(0), item, frame(2)):
            av._out_queue.put_nowait(it)
        it1 = av.run()
        voice = await it1.__anext__()
        picture = await it1.__anext__()          # due at once: the get has taken item 1
        assert voice.bgr_image is None and picture.audio_chunk is None
        assert av._out_queue.qsize() == 1
        await it1.aclose()
        av.sync_to(None)
        outcomes = []
        for _ in range(2):
            it = av.run()
            try:
                fr = await asyncio.wait_for(it.__anext__(), 5)
                outcomes.append(fr.frame_index)
            except StopAsyncIteration:
                outcomes.append("end")
            except KeyError:
                outcomes.append("error")
            await it.aclose()
        return outcomes

    expect = {"frame": [1, 2], "error": ["error", 2], "end": ["end", 2]}[taken]
    assert arun(go()) == expect


def test_end_reached_while_held_pictures_go_out_is_kept_for_the_next_iterator(monkeypatch):
    async def go():
        av = ready_avatar()
        av.sync_to(lambda: 0.2)
        for it in (frame(0), frame(1), _STREAM_END):
            av._out_queue.put_nowait(it)
        it1 = av.run()
        got = [await it1.__anext__() for _ in range(3)]     # voice 0, voice 1, picture 0
        await it1.aclose()

        async def next_stream():
            return [fr async for fr in av.run()]

        rest = await asyncio.wait_for(next_stream(), 5)
        return got, rest

    got, rest = run_virtual(monkeypatch, go)
    assert [(f.frame_index, f.bgr_image is None) for f in got] == [(0, True), (1, True), (0, False)]
    assert [(f.frame_index, f.audio_chunk) for f in rest] == [(1, None)]


# What the consumer leaves behind when it breaks out, and what the next iterator must give:
# (sink reading or None, items queued, break on, what the next iterator gives).
# Voices are "V<i>", pictures "P<i>", whole frames "F<i>"; "end": the iteration ends.
BREAK_CASES = {
    # No sink: the next item is waiting in the queue.
    "no-sink-picture": (None, [frame(0), frame(1)], "F0", ["F1"]),
    "no-sink-error": (None, [frame(0), KeyError("bad")], "F0", ["error"]),
    "no-sink-end": (None, [frame(0), _STREAM_END], "F0", ["end"]),
    # A sink with nothing queued: picture 0 is due at once, and the get that is out while
    # it goes has already taken the next item.
    "sink-picture": (0.0, [frame(0), frame(1)], "P0", ["V1", "P1"]),
    "sink-error": (0.0, [frame(0), KeyError("bad")], "P0", ["error"]),
    "sink-end": (0.0, [frame(0), _STREAM_END], "P0", ["end"]),
    # The consumer leaves at voice 0: its picture is held for the sink.
    "sink-held-picture": (0.3, [frame(0), _STREAM_END], "V0", ["P0", "end"]),
    # The end was reached while held pictures go out: the rest of them, then the end.
    "sink-end-while-pictures-go-out": (0.2, [frame(0), frame(1), _STREAM_END], "P0", ["P1", "end"]),
}


def label(fr):
    if fr.bgr_image is None:
        return "V%d" % fr.frame_index
    return ("F%d" if fr.audio_chunk is not None else "P%d") % fr.frame_index


@pytest.mark.parametrize("case", list(BREAK_CASES))
def test_break_and_iterate_again_at_once_loses_nothing(monkeypatch, case):
    """``async for ... break`` and at once a new run(), with no loop turn for the old
    iterator's finalisation in between: what it had taken but not handed over comes out
    of the next iterator, which neither waits for ever nor skips it."""
    sink, items, leave_at, expect = BREAK_CASES[case]

    async def go():
        av = ready_avatar()
        if sink is not None:
            av.sync_to(lambda: sink)
        for it in items:
            av._out_queue.put_nowait(it)
        async for fr in av.run():
            if label(fr) == leave_at:
                break
        got = []
        it2 = av.run()
        try:
            async for fr in it2:
                got.append(label(fr))
                if len(got) == len(expect):
                    break
            else:
                got.append("end")
        except KeyError:
            got.append("error")
        await it2.aclose()
        return got

    async def bounded():
        return await asyncio.wait_for(go(), 10)

    assert run_virtual(monkeypatch, bounded) == expect
