"""Shared helpers of the streaming-avatar tests: model directories, a fake engine-id
module, an asyncio runner with a generous bound and a virtual-time event loop."""

from __future__ import annotations

import asyncio
import json
import selectors
import types

import numpy as np

from orvane import _core


def write_model(root, name="model", **desc):
    """A stand-in model directory under ``root``; ``desc`` fills its fixture.json."""
    d = root / name
    d.mkdir(parents=True, exist_ok=True)
    base = {"engine": "ferrin1", "audio_samples_per_tick": 640, "audio_sample_rate": 16000,
            "frame_width": 32, "frame_height": 24}
    base.update(desc)
    (d / _core.FIXTURE_FILE).write_text(json.dumps(base), encoding="utf-8")
    # The package's container module reads the engine kind from the manifest.
    (d / "manifest.json").write_text(json.dumps({"engine": base["engine"]}), encoding="utf-8")
    return d


def arun(coro, timeout=20.0):
    """Run ``coro`` on a fresh loop; a hang fails the test instead of blocking the suite.

    The avatar must leave no task of its own behind: tasks that were cancelled get one
    more turn of the loop to finish, anything still pending after that is a leak."""
    async def bounded():
        result = await asyncio.wait_for(coro, timeout)
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        left = asyncio.all_tasks() - {asyncio.current_task()}
        assert not left, "tasks left behind: %r" % left
        return result

    return asyncio.run(bounded())


def pcm_bytes(samples):
    return np.asarray(samples, dtype="<i2").tobytes()


def tone(n, amp=0.5, period=50):
    """n int16 samples of a square-ish test signal with peak ``amp`` of full scale."""
    t = np.arange(n)
    return (np.where((t // (period // 2)) % 2 == 0, amp, -amp) * 32767).astype(np.int16)


async def take(it, until, limit=10000):
    """Frames of the open iterator ``it`` up to and including the first for which ``until(frame)``."""
    out = []
    async for fr in it:
        out.append(fr)
        if until(fr) or len(out) >= limit:
            break
    return out


async def collect(avatar, until, limit=10000):
    """Frames of ``avatar.run()`` up to and including the first for which ``until(frame)``."""
    it = avatar.run()
    try:
        return await take(it, until, limit)
    finally:
        await it.aclose()


# -- virtual time --------------------------------------------------------------------------
class _VirtualSelector(selectors.DefaultSelector):
    """Never sleeps: a wait with a time-out advances the loop's virtual clock instead."""

    def __init__(self):
        super().__init__()
        self.loop = None

    def select(self, timeout=None):
        ready = super().select(0)
        if ready or timeout == 0:
            return ready
        if timeout is None:
            return super().select(None)
        self.loop.vt += timeout
        return []


class VirtualTimeLoop(asyncio.SelectorEventLoop):
    def __init__(self):
        sel = _VirtualSelector()
        super().__init__(sel)
        sel.loop = self
        self.vt = 1000.0

    def time(self):
        return self.vt


def run_virtual(monkeypatch, coro_fn, timeout_vt=600.0):
    """Run ``coro_fn()`` on a virtual-time loop with ``orvane._avatar``'s monotonic clock
    bound to it.  Only for tests that start no threads (virtual time jumps while a thread
    would be working)."""
    import orvane._avatar as av

    loop = VirtualTimeLoop()
    monkeypatch.setattr(av, "time", types.SimpleNamespace(monotonic=loop.time, sleep=lambda s: None))
    try:
        result = loop.run_until_complete(asyncio.wait_for(coro_fn(), timeout_vt))
        loop.run_until_complete(asyncio.sleep(0))     # let cancelled tasks finish
        left = [t for t in asyncio.all_tasks(loop) if not t.done()]
        assert not left, "tasks left behind: %r" % left
        return result
    finally:
        loop.close()
