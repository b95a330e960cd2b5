"""Tick emitter, engine worker and output routing, against scripted runtimes."""

import asyncio
import logging
import threading
import types

import numpy as np
import pytest

import orvane._avatar as avmod
from orvane import _core
from orvane._avatar import AsyncAvatar
from orvane._models import INT16_MAX

from .helpers import arun

SPT = 100


class ScriptRT:
    """Runtime whose ready-tick count is scripted; records pushes and pulls."""

    def __init__(self, per_push=None, size=(4, 4)):
        self.pushed = []
        self.ready = 0
        self.pulled = 0
        self.per_push = per_push     # ticks made ready by each push (default: all whole ticks)
        self.total = 0
        self.size = size
        self.threads = set()
        self.compose_fail_at = None

    def push_audio(self, x):
        self.threads.add(threading.current_thread().name)
        assert x.dtype == np.float32 and x.flags.c_contiguous
        self.pushed.append(x.size)
        self.total += x.size
        if self.per_push is None:
            self.ready = self.total // SPT - self.pulled
        else:
            self.ready += self.per_push

    def ticks_available(self):
        return self.ready

    def pull_frame(self, idx):
        self.threads.add(threading.current_thread().name)
        assert idx == -1
        i = self.pulled
        self.pulled += 1
        self.ready -= 1
        return i, np.full(self.size + (3,), i % 256, np.uint8)

    def tick_compose_to_size(self, pcm, idx, w, h):
        i = self.pulled
        if self.compose_fail_at is not None and i >= self.compose_fail_at:
            raise ValueError("compose: status=6")
        self.pulled += 1
        return i, np.zeros((h, w, 3), np.uint8)


_made = []


@pytest.fixture(autouse=True)
def release_workers():
    yield
    while _made:
        _made.pop()._close_runtime()


def avatar(engine="ferrin1", output_size=None):
    av = AsyncAvatar(output_buffer_size=0, output_size=output_size)
    av._engine_id = engine
    _made.append(av)
    return av


def drain(q):
    out = []
    while not q.empty():
        out.append(q.get_nowait())
    return out


def emit(av, rt, pcm, **kw):
    args = dict(rt=rt, pcm_buf=pcm, spt=SPT, out_size=None, ticks_emitted=0, message_id="m", eos_padding=False)
    args.update(kw)
    return av._emit_ready_ticks(**args)


def test_lookback_holds_three_ticks_while_speaking():
    async def go():
        av, rt = avatar(), ScriptRT()
        pcm = np.zeros(6 * SPT + 50, np.float32)
        assert await emit(av, rt, pcm[:3 * SPT + 99]) == 0          # < (0+4) ticks: nothing
        assert await emit(av, rt, pcm) == 3                           # 6 whole ticks - 3
        assert rt.pushed == [399, 6 * SPT + 50 - 399] and av._stream_pushed == pcm.size
        # Nothing new: nothing fed, nothing emitted until the end of speech.
        assert await emit(av, rt, pcm, ticks_emitted=3) == 0
        assert rt.pushed == [399, 251]
        assert await emit(av, rt, pcm, ticks_emitted=3, eos_padding=True, tail_total=7) == 3
        frames = drain(av._out_queue)
        assert [f.frame_index for f in frames] == [0, 1, 2, 3, 4, 5]
        assert [f.end_of_speech for f in frames] == [False] * 5 + [True]
        assert frames[-1].audio_chunk.last_chunk and not frames[0].audio_chunk.last_chunk
        assert all(f.source_message_id == "m" for f in frames)
        assert rt.threads and all(t.startswith("orvane-engine") for t in rt.threads)

    arun(go())


def test_streaming_eos_emits_only_ready_ticks_and_flags_the_last():
    async def go():
        av, rt = avatar(), ScriptRT(per_push=2)
        pcm = np.zeros(10 * SPT, np.float32)
        n = await emit(av, rt, pcm, eos_padding=True, tail_total=8)
        frames = drain(av._out_queue)
        assert n == 2 and [f.end_of_speech for f in frames] == [False, True]
        # mark_last false: no flag at all; tail_total absent: every ready tick.
        rt.ready = 3
        assert await emit(av, rt, pcm, ticks_emitted=2, eos_padding=True, mark_last=False) == 3
        assert not any(f.end_of_speech for f in drain(av._out_queue))

    arun(go())


def test_audio_slices_are_clipped_truncated_and_zero_padded():
    async def go():
        av, rt = avatar(), ScriptRT(per_push=0)
        pcm = np.zeros(2 * SPT + 30, np.float32)
        pcm[:6] = [1.5, -1.5, 2.9 / INT16_MAX, -2.9 / INT16_MAX, 0.5, -0.99999]
        pcm[2 * SPT:] = 0.25
        rt.ready = 3
        await emit(av, rt, pcm, eos_padding=True, tail_total=3)
        f0, f1, f2 = drain(av._out_queue)
        d = f0.audio_chunk.data
        assert d.dtype == np.int16 and d.size == SPT
        np.testing.assert_array_equal(d[:6], [INT16_MAX, -INT16_MAX, 2, -2, 16383, -32766])
        ref = (np.clip(pcm[2 * SPT:], -1, 1) * INT16_MAX).astype(np.int16)
        np.testing.assert_array_equal(f2.audio_chunk.data[:30], ref)
        assert not f2.audio_chunk.data[30:].any() and f2.audio_chunk.data.size == SPT
        assert f0.audio_chunk.sample_rate == 16000

    arun(go())


def test_compose_mode_flags_tail_total_and_stops_at_cursor_end():
    async def go():
        av, rt = avatar(output_size=(6, 5)), ScriptRT()
        pcm = np.zeros(12 * SPT, np.float32)
        assert await emit(av, rt, pcm, out_size=(6, 5)) == 9
        assert rt.pushed == [] and av._stream_pushed == 0           # nothing fed
        assert await emit(av, rt, pcm, out_size=(6, 5), ticks_emitted=9, eos_padding=True, tail_total=11) == 2
        frames = drain(av._out_queue)
        assert frames[0].bgr_image.shape == (5, 6, 3)
        assert [f.end_of_speech for f in frames] == [False] * 10 + [True]
        # The runtime runs out before tick tail_total - 1: nothing is flagged.
        rt2 = ScriptRT()
        rt2.compose_fail_at = 3
        assert await emit(av, rt2, pcm, out_size=(6, 5), eos_padding=True, tail_total=5) == 3
        assert not any(f.end_of_speech for f in drain(av._out_queue))
        rt3 = ScriptRT()
        rt3.tick_compose_to_size = lambda *a: (_ for _ in ()).throw(ValueError("bad size"))
        with pytest.raises(ValueError, match="bad size"):
            await emit(av, rt3, pcm, out_size=(6, 5), eos_padding=True, tail_total=5)
        with pytest.raises(AssertionError):
            await emit(av, rt, pcm, out_size=(6, 5), eos_padding=True)

    arun(go())


def test_pull_error_in_streaming_mode_is_not_swallowed():
    async def go():
        av, rt = avatar(), ScriptRT()

        def bad(idx):
            raise ValueError("pull: cursor past end")

        rt.pull_frame = bad
        with pytest.raises(ValueError, match="cursor past end"):
            await emit(av, rt, np.zeros(8 * SPT, np.float32))
        rt.pull_frame = lambda idx: (1, 2, 3)
        with pytest.raises(ValueError):
            await emit(av, rt, np.zeros(9 * SPT, np.float32), ticks_emitted=0)

    arun(go())


def test_stop_or_interrupt_set_feeds_but_emits_nothing():
    async def go():
        for ev in ("_stop_event", "_interrupt_event"):
            av, rt = avatar(), ScriptRT()
            getattr(av, ev).set()
            assert await emit(av, rt, np.zeros(8 * SPT, np.float32)) == 0
            assert rt.pushed == [8 * SPT] and av._out_queue.empty()

    arun(go())


def test_lumeth2_backlog_fed_in_slices_with_emission_between():
    async def go():
        av, rt = avatar("lumeth2"), ScriptRT()
        spt = 800
        events = []
        orig_push, orig_put = rt.push_audio, av._emit_out

        def push(x):
            events.append(("push", x.size))
            orig_push(x)

        async def put(item):
            events.append(("frame", item.frame_index))
            await orig_put(item)

        rt.push_audio = push
        av._emit_out = put
        pcm = np.zeros(60000, np.float32)
        n = await av._emit_ready_ticks(rt=rt, pcm_buf=pcm, spt=spt, out_size=None, ticks_emitted=0,
                                       message_id=None, eos_padding=False)
        pushes = [e[1] for e in events if e[0] == "push"]
        assert pushes == [25600, 25600, 8800]
        # Frames of the first slice go out before the second slice is fed.
        first_push2 = events.index(("push", 25600), 1)
        assert any(e[0] == "frame" for e in events[:first_push2])
        assert n == 60000 // spt - 3
        frames = [e[1] for e in events if e[0] == "frame"]
        assert frames == list(range(n))

        # Exactly one slice's worth outstanding: one feed, no slicing.
        av2, rt2 = avatar("lumeth2"), ScriptRT()
        await av2._emit_ready_ticks(rt=rt2, pcm_buf=np.zeros(25600, np.float32), spt=spt, out_size=None,
                                    ticks_emitted=0, message_id=None, eos_padding=False)
        assert rt2.pushed == [25600]

    arun(go())


class TimedRT(ScriptRT):
    """ScriptRT whose pushes take scripted times on a patched clock."""

    def __init__(self, clock, push_seconds, **kw):
        super().__init__(**kw)
        self.clock, self.push_seconds = clock, list(push_seconds)

    def push_audio(self, x):
        super().push_audio(x)
        self.clock.now += self.push_seconds.pop(0)


def test_lumeth2_feed_timings(monkeypatch):
    # the first push that readies ticks gives r0; later ones the smoothed steady
    # time, 0.7 * previous + 0.3 * latest; pushes that ready nothing are not measured
    clock = types.SimpleNamespace(now=100.0)
    monkeypatch.setattr(avmod, "time", types.SimpleNamespace(monotonic=lambda: clock.now, sleep=lambda s: None))

    async def go():
        av, rt = avatar("lumeth2"), TimedRT(clock, [8.0, 0.25, 2.0, 0.5], per_push=0)
        pcm = np.zeros(5000, np.float32)
        await emit(av, rt, pcm[:1000])                   # readies no tick: nothing measured
        assert getattr(av, "_l2_r0", None) is None and getattr(av, "_l2_steady_s", None) is None
        rt.per_push = 1
        await emit(av, rt, pcm[:2000])
        assert av._l2_r0 == 0.25 and getattr(av, "_l2_steady_s", None) is None
        await emit(av, rt, pcm[:3000])
        assert av._l2_r0 == 0.25 and av._l2_steady_s == 2.0
        await emit(av, rt, pcm[:4000])
        assert av._l2_r0 == 0.25 and av._l2_steady_s == 0.7 * 2.0 + 0.3 * 0.5
        assert rt.push_seconds == []
        # Not a lumeth-2 stream (output size set): nothing measured.
        av2, rt2 = avatar("lumeth2", output_size=(4, 4)), TimedRT(clock, [3.0], per_push=1)
        await emit(av2, rt2, pcm)
        assert getattr(av2, "_l2_r0", None) is None and getattr(av2, "_l2_steady_s", None) is None

    arun(go())


def test_engine_worker_single_named_thread_in_order():
    async def go():
        av = AsyncAvatar()
        names, order = [], []
        gate = threading.Event()

        def job(i):
            if i == 0:
                gate.wait(5)
            names.append(threading.current_thread().name)
            order.append(i)
            return i * 10

        a = asyncio.ensure_future(av._engine(job, 0))
        b = asyncio.ensure_future(av._engine(job, 1))
        await asyncio.sleep(0)
        ex = av._engine_executor
        assert ex is not None
        gate.set()
        assert await asyncio.gather(a, b) == [0, 10]
        assert order == [0, 1] and len(set(names)) == 1 and names[0].startswith("orvane-engine")

        def boom():
            raise KeyError("k")

        with pytest.raises(KeyError):
            await av._engine(boom)
        assert await av._engine(job, 2) == 20 and av._engine_executor is ex
        av._close_runtime()
        assert av._engine_executor is None
        assert await av._engine(job, 3) == 30 and av._engine_executor is not ex
        av._close_runtime()

    arun(go())


def test_fresh_runtime_and_routing(model, caplog):
    fx = _core.Fixture(str(model()))

    async def go():
        av = avatar("ferrin1")
        av._runtime = _core.Runtime(fx)
        r1 = av._fresh_runtime(fx)
        assert r1 is not av._runtime and isinstance(r1, _core.Runtime)
        av._engine_id = "ferrin2-golden"

        class Bad:
            def reset_stream(self):
                raise RuntimeError("no reset")

        av._runtime = Bad()
        caplog.set_level(logging.WARNING, logger="orvane")
        assert av._fresh_runtime(fx) is av._runtime
        assert [r.getMessage() for r in caplog.records] == [
            "orvane: could not reset the engine between utterances (RuntimeError: no reset)"]

        # Routing: the playout queue, when present, takes everything without waiting.
        av = AsyncAvatar(output_buffer_size=1)
        await av._emit_out("a")
        av._playout = asyncio.Queue()
        await asyncio.wait_for(av._emit_out("b"), 1)
        assert av._playout.get_nowait() == "b" and av._out_queue.get_nowait() == "a"

    arun(go())


@pytest.mark.parametrize("engine,output_size,l2", [
    ("lumeth2", None, True), ("lumeth2", (1280, 720), False), ("ferrin1", None, False), (None, None, False)])
def test_is_l2_stream(engine, output_size, l2):
    av = AsyncAvatar(output_size=output_size)
    if engine is not None:
        av._engine_id = engine
    assert av._is_l2_stream() is l2
