"""Fakes for the offline layer's tests: engines, a scripted session, a fake native core,
and a hand-driven clock that stands in for the module's `time` facility."""
import sys
import types
import weakref

import numpy as np


class FakeTime:
    """perf_counter/monotonic read `now`; sleep advances it (no real waiting)."""

    def __init__(self, now=100.0):
        self.now = now
        self.sleeps = []

    def perf_counter(self):
        return self.now

    def monotonic(self):
        return self.now

    def sleep(self, s):
        self.sleeps.append(s)
        self.now += s


class FakeEngine:
    """Engine protocol double. `per_chunk(chunk)` gives the frames for one chunk;
    `fail_at` raises `error` before that frame index."""

    def __init__(self, per_chunk=None, fps=25, stop_reason=None, error=None, fail_at=None,
                 interrupt_error=None, close_error=None, clock=None, frame_time=0.0):
        self.per_chunk = per_chunk or (lambda c: [("f", i) for i in range(len(c) // 1280)])
        if fps is not None:
            self.frames_per_second = fps
        if stop_reason is not None:
            self.stop_reason = stop_reason
        self.error, self.fail_at = error, fail_at
        self.interrupt_error, self.close_error = interrupt_error, close_error
        self.clock, self.frame_time = clock, frame_time
        self.calls = []
        self.chunks_seen = []

    def frames(self, chunks):
        self.calls.append("frames")
        return self._gen(chunks)

    def _gen(self, chunks):
        n = 0
        for c in chunks:
            self.chunks_seen.append(c)
            for f in self.per_chunk(c):
                if self.fail_at is not None and n == self.fail_at:
                    raise self.error
                if self.clock is not None:
                    self.clock.now += self.frame_time
                n += 1
                yield f
        if self.fail_at is not None and n == self.fail_at:
            raise self.error

    def interrupt(self):
        self.calls.append("interrupt")
        if self.interrupt_error is not None:
            raise self.interrupt_error

    def close(self):
        self.calls.append("close")
        if self.close_error is not None:
            raise self.close_error


class ScriptedSession:
    """Session double whose pull() answers come from a script.

    `feed` maps the number of pushes so far to the list of pulls that become ready;
    `after_end` is the list of pulls after end(); an item None is a "nothing ready"
    answer; a callable item is called (it may advance a FakeTime) and its result used.
    """

    FPS = 25
    instances = []

    def __init__(self, feed=None, after_end=(), borrow=None, check_error=None, clock=None):
        self.feed = feed or {}
        self.after_end = list(after_end)
        self.borrow = borrow
        self.check_error = check_error
        self.calls = []
        self.queue = []
        self.pushes = 0
        self.clock = clock

    def reset(self):
        self.calls.append("reset")
        self.queue = []
        self.pushes = 0

    def push(self, chunk):
        self.calls.append(("push", bytes(chunk)))
        self.pushes += 1
        self.queue.extend(self.feed.get(self.pushes, []))

    def pull(self):
        self.calls.append("pull")
        if not self.queue:
            return None
        item = self.queue.pop(0)
        return item() if callable(item) else item

    def end(self):
        self.calls.append("end")
        self.queue = list(self.after_end)

    def check_render(self):
        self.calls.append("check_render")
        if self.check_error is not None:
            raise self.check_error

    def close(self):
        self.calls.append("close")


class FakeBorrow:
    def __init__(self, fail_on=None, error=None):
        self.n = 0
        self.fail_on, self.error = fail_on, error

    def check(self):
        self.n += 1
        if self.n == self.fail_on:
            raise self.error


class FakeRuntime:
    """Native runtime double: one tick per `spt` samples; BGR images from `image(i)`."""

    def __init__(self, fixture, spt=4, pull_tuple=False, shape=(2, 3, 3)):
        self.fixture, self.spt, self.pull_tuple, self.shape = fixture, spt, pull_tuple, shape
        self.pending = 0
        self.ticks = 0
        self.made = 0
        self.pushed = []
        self.resets = 0
        self.last = None

    def push_audio(self, samples):
        self.pushed.append(samples)
        self.pending += len(samples)
        self.ticks += self.pending // self.spt
        self.pending %= self.spt

    def ticks_available(self):
        return self.ticks

    def pull_frame(self):
        self.ticks -= 1
        img = np.zeros(self.shape, np.uint8)
        img[...] = (10, 20, 30)
        img[0, 0] = (self.made % 256, 1, 2)
        self.made += 1
        self.last = img
        return (self.made - 1, img) if self.pull_tuple else img

    def reset_stream(self):
        self.resets += 1
        self.pending = 0
        self.ticks = 0


def fake_core(monkeypatch, fixture_error=None, runtime_kw=None, ep_auto=True, engine_only=None, runtime_error=None):
    """Install fake `orvane._core`, `orvane._loader` modules; returns a record of calls."""
    rec = types.SimpleNamespace(fixtures=[], registers=0, runtimes=[], fixture_refs=[])
    core = types.ModuleType("orvane._core")
    if ep_auto:
        core.EP_AUTO = "auto"
    if engine_only is not None:
        core.ENGINE_ONLY = engine_only

    class Fixture:
        def __init__(self, source, preferred_ep=None, intra_op_threads=None):
            rec.fixtures.append((source, preferred_ep, intra_op_threads, rec.registers))
            rec.fixture_refs.append(weakref.ref(self))
            if fixture_error is not None:
                raise fixture_error

    def Runtime(fx):
        if runtime_error is not None:
            raise runtime_error
        rt = FakeRuntime(fx, **(runtime_kw or {}))
        rec.runtimes.append(rt)
        return rt

    core.Fixture, core.Runtime = Fixture, Runtime
    loader = types.ModuleType("orvane._loader")

    class NativeFixtureLoaderMixin:
        @classmethod
        def _register_default_audio_encoder(cls):
            rec.registers += 1

    loader.NativeFixtureLoaderMixin = NativeFixtureLoaderMixin
    monkeypatch.setitem(sys.modules, "orvane._core", core)
    monkeypatch.setitem(sys.modules, "orvane._loader", loader)
    return rec


def pcm_seconds(seconds):
    return b"\x01\x00" * int(16000 * seconds)
