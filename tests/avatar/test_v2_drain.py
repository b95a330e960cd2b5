"""V2 tail drain against a scripted runtime on a virtual-time loop."""

import numpy as np
import pytest

from orvane._avatar import AsyncAvatar

from .helpers import run_virtual

SPT = 640


class TailRT:
    """Ticks become ready as scripted: `ready` now, then `drip` more every `every` seconds
    of virtual time after end_utterance."""

    def __init__(self, loop_time, ready, drip=0, every=None, end_raises=False):
        self.now = loop_time
        self.ready = ready
        self.drip, self.every = drip, every
        self.end_at = None
        self.end_raises = end_raises
        self.pushed = 0
        self.pulled = 0
        self.polls = 0
        self.events = []

    def push_audio(self, x):
        self.events.append("push")
        self.pushed += x.size

    def end_utterance(self):
        self.events.append("end")
        self.end_at = self.now()
        if self.end_raises:
            raise RuntimeError("engine refused")

    def ticks_available(self):
        self.polls += 1
        extra = 0
        if self.end_at is not None and self.every:
            extra = int((self.now() - self.end_at + 1e-9) // self.every) * self.drip
        return self.ready + extra - self.pulled

    def pull_frame(self, idx):
        self.pulled += 1
        return self.pulled - 1, np.zeros((2, 2, 3), np.uint8)


def make(loop, output_size=None, **kw):
    av = AsyncAvatar(output_buffer_size=0, output_size=output_size)
    av._engine_id = "ferrin2-light"

    class Fx:
        audio_samples_per_tick = SPT
        audio_sample_rate = 16000

    av._fixture = Fx()

    async def inline(fn, *args):
        return fn(*args)

    av._engine = inline
    rt = TailRT(loop.time, **kw)
    return av, rt


def drain(av, rt, ticks_emitted, tail_total):
    pcm = np.zeros((tail_total + 16) * SPT, np.float32)
    return av._drain_v2_tail(rt=rt, pcm_buf=pcm, spt=SPT, ticks_emitted=ticks_emitted,
                             tail_total=tail_total, message_id="m")


def frames(av):
    out = []
    while not av._out_queue.empty():
        out.append(av._out_queue.get_nowait())
    return out


def test_all_ready_at_once(monkeypatch):
    async def go():
        import asyncio
        av, rt = make(asyncio.get_running_loop(), ready=20)
        n = await drain(av, rt, 2, 10)
        return n, frames(av), rt

    n, fr, rt = run_virtual(monkeypatch, go)
    assert n == 8 and [f.frame_index for f in fr] == list(range(2, 10))
    assert not any(f.end_of_speech or f.audio_chunk.last_chunk for f in fr)
    assert fr[0].bgr_image.shape == (2, 2, 3)                # pulled at native size
    assert rt.events == ["push", "end"]


class ComposeTailRT(TailRT):
    """Composes ticks of the buffer it is handed; `ready` of them before end_utterance,
    all after it."""

    def __init__(self, loop_time, ready):
        super().__init__(loop_time, ready)
        self.composed = 0

    def tick_compose_to_size(self, pcm, idx, w, h):
        if self.end_at is None and self.composed >= self.ready:
            raise ValueError("compose: cursor past end (status=6)")
        self.composed += 1
        return self.composed - 1, np.zeros((h, w, 3), np.uint8)


def test_compose_mode_drains_at_output_size_without_feeding_again(monkeypatch):
    """With an output size the tail is composed like the rest of the utterance: no
    native-size pull in between, and nothing pushed (composing feeds the runtime itself,
    so a push would send the utterance a second time from its first sample)."""
    async def go():
        import asyncio
        av, _ = make(asyncio.get_running_loop(), output_size=(8, 6), ready=0)
        rt = ComposeTailRT(asyncio.get_running_loop().time, ready=3)
        n = await drain(av, rt, 2, 10)
        return n, frames(av), rt

    n, fr, rt = run_virtual(monkeypatch, go)
    assert n == 8 and [f.frame_index for f in fr] == list(range(2, 10))
    assert {f.bgr_image.shape for f in fr} == {(6, 8, 3)}
    assert rt.events == ["end"] and rt.pulled == 0 and rt.pushed == 0


def test_nothing_to_drain_still_ends_utterance(monkeypatch):
    async def go():
        import asyncio
        av, rt = make(asyncio.get_running_loop(), ready=0)
        return await drain(av, rt, 5, 5), rt

    n, rt = run_virtual(monkeypatch, go)
    assert n == 0 and rt.events == ["push", "end"]


@pytest.mark.parametrize("end_raises", [False, True])
def test_stalled_engine_gives_up_after_two_seconds(monkeypatch, caplog, end_raises):
    async def go():
        import asyncio
        loop = asyncio.get_running_loop()
        av, rt = make(loop, ready=3, end_raises=end_raises)
        t0 = loop.time()
        n = await drain(av, rt, 0, 10)
        return n, loop.time() - t0, rt.polls

    caplog.set_level("WARNING", logger="orvane")
    n, took, polls = run_virtual(monkeypatch, go)
    assert n == 3
    # A failed end of the utterance is a degraded path: said, with the error, not swallowed.
    assert [r.getMessage() for r in caplog.records] == ([
        "orvane: the engine could not end the utterance; its last frames may be missing "
        "(RuntimeError: engine refused)"] if end_raises else [])
    assert 2.0 < took <= 2.0 + 0.04 + 1e-6
    assert 50 <= polls <= 56                                 # every 1/25 s


def test_slow_drip_never_stalls(monkeypatch):
    async def go():
        import asyncio
        loop = asyncio.get_running_loop()
        av, rt = make(loop, ready=2, drip=1, every=1.5)
        t0 = loop.time()
        n = await drain(av, rt, 0, 6)
        return n, loop.time() - t0

    n, took = run_virtual(monkeypatch, go)
    assert n == 6 and took == pytest.approx(6.0, abs=0.05)


def test_stop_set_before_drain(monkeypatch):
    async def go():
        import asyncio
        av, rt = make(asyncio.get_running_loop(), ready=9)
        av._stop_event.set()
        return await drain(av, rt, 0, 9), rt

    n, rt = run_virtual(monkeypatch, go)
    assert n == 0 and rt.events == ["push", "end"]


@pytest.mark.parametrize("engine,v2", [("ferrin2-light", True), ("ferrin2-golden", True),
                                       ("ferrin2-unified", True), ("ferrin1", False), ("lumeth2", True)])
def test_is_v2_stream(engine, v2, monkeypatch):
    av = AsyncAvatar()
    assert av._is_v2_stream() is False                   # no engine id: asks about None
    av._engine_id = engine
    assert av._is_v2_stream() is v2
    seen = []
    import orvane.unified_header as uh
    monkeypatch.setattr(uh, "is_v2_engine", lambda e: seen.append(e) or True)
    del av._engine_id
    assert av._is_v2_stream() is True and seen == [None]
