"""Render clock: first chunk to last frame, and the statistics it yields."""
import pathlib
import sys

import pytest

import orvane._open as op

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from render_fakes import FakeTime  # noqa: E402


@pytest.fixture
def clock_time(monkeypatch):
    t = FakeTime()
    monkeypatch.setattr(op, "time", t)
    return t


def test_fresh_clock_and_fixed_fields():
    c = op._RenderClock()
    assert (c._t0, c._t1, c._n) == (None, None, 0)
    assert c.stats() is None
    with pytest.raises(AttributeError):
        c.other = 1


def test_fifty_frames_in_two_seconds(clock_time):
    c = op._RenderClock()
    chunks = [b"a", b"b"]
    out = []
    for ch in c.chunks(chunks):
        out.append(ch)
        if len(out) == 1:
            assert c._t0 == 100.0
        for _ in range(25):
            clock_time.now += 0.04
            c.frame()
    assert [id(x) for x in out] == [id(x) for x in chunks]  # unchanged, not copied
    st = c.stats()
    assert st == op.RenderStats(50, pytest.approx(2.0), pytest.approx(25.0))
    assert c.stats() == st  # stats() changes nothing


def test_clock_starts_after_upstream_produced_the_first_chunk(clock_time):
    c = op._RenderClock()

    def slow():
        clock_time.now += 5.0  # converting the first item is not counted
        yield b"x"

    it = c.chunks(slow())
    assert c._t0 is None  # lazy: nothing pulled yet
    next(it)
    assert c._t0 == 105.0


@pytest.mark.parametrize("chunks, frames, stats", [([], 3, None), ([b"a"], 0, None)])
def test_nothing_measured(clock_time, chunks, frames, stats):
    c = op._RenderClock()
    list(c.chunks(chunks))
    for _ in range(frames):
        c.frame()
    assert c.stats() is stats
    if not chunks:
        assert c._t0 is None


def test_frame_before_first_chunk_gives_minimal_span(clock_time):
    c = op._RenderClock()
    c.frame()
    clock_time.now += 1.0
    list(c.chunks([b"a"]))
    st = c.stats()
    assert st.frames == 1 and st.render_seconds == 1e-9 and st.render_fps == 1 / 1e-9
