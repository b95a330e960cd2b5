"""Avatar: the render loop (statistics, interruption, short-render check, error mapping)
and its lifetime (context manager, finaliser, release once)."""
import gc
import logging
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import orvane._open as op
from orvane._borrow import BorrowUnavailable
from orvane._session import EngineFailed, EngineUnavailable

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from render_fakes import FakeEngine, FakeTime, pcm_seconds  # noqa: E402

STATS_FMT = ("orvane: render %d frames in %.2f s = %.1f fps steady state "
             "(first audio push -> last frame; model load excluded)")
NO_FRAMES = "no frames came out of that render — check that the audio has speech in it, then try again"


def n_frames(n):
    """An engine giving exactly n frames for the first chunk, none later."""
    return lambda c: [("f", i) for i in range(n)]


def test_class_shape():
    assert op.Avatar.__doc__ == "An open avatar.  Get one from :func:`orvane.open`."
    e = FakeEngine()
    a = op.Avatar(e, "ferrin2-light")
    assert (a._engine, a._engine_id, a._closed, a._render_stats) == (e, "ferrin2-light", False, None)
    with pytest.raises(AttributeError):
        a.extra = 1


def test_render_passes_frames_unchanged_and_logs(monkeypatch, caplog):
    t = FakeTime()
    monkeypatch.setattr(op, "time", t)
    frames = [object() for _ in range(50)]
    e = FakeEngine(per_chunk=lambda c: frames, clock=t, frame_time=0.04)
    a = op.Avatar(e, "ferrin2-light")
    with caplog.at_level(logging.INFO, logger="orvane"):
        got = list(a.render(pcm_seconds(2)))
    assert all(x is y for x, y in zip(got, frames)) and len(got) == 50
    assert a._render_stats == op.RenderStats(50, pytest.approx(2.0), pytest.approx(25.0))
    rec, = [r for r in caplog.records if r.name == "orvane"]
    assert rec.levelno == logging.INFO and rec.msg == STATS_FMT
    assert rec.getMessage() == STATS_FMT % (50, 2.0, 25.0)
    assert e.calls == ["frames"]  # a render that ran to its end is not interrupted


def test_render_is_lazy():
    e = FakeEngine()
    a = op.Avatar(e, "x")
    seq = a.render(pcm_seconds(1))
    assert e.calls == []
    del seq  # released before the first request: nothing at all happens
    gc.collect()
    assert e.calls == []


def test_whole_clip_is_one_chunk_a_stream_one_per_item():
    e = FakeEngine(fps=None)
    a = op.Avatar(e, "x")
    list(a.render(np.zeros(32000, np.float32)))
    assert e.chunks_seen == [b"\0" * 64000]
    e.chunks_seen.clear()
    list(a.render([b"\0" * 1280, np.zeros(640, np.int16), b""]))
    assert e.chunks_seen == [b"\0" * 1280, b"\0" * 1280, b""]


@pytest.mark.parametrize("seconds, fps, delivered, outcome", [
    (1, 25, 25, "ok"), (1, 25, 23, "ok"), (1, 25, 22, "early"), (1, 25, 0, "none"),
    (0.04, 25, 1, "ok"), (0.08, 25, 1, "ok"),  # expected 1 and 2: floor -1 and 0
    (0.04, 25, 0, "none"), (0.08, 25, 0, "none"),  # ... but no frame at all is never a render
    (6, 25, 147, "ok"), (6, 25, 146, "early"),  # expected 150, tolerance 3
    (20, 25, 490, "ok"), (20, 25, 489, "early"),  # expected 500, tolerance 10
    (1, None, 1, "ok"), (1, None, 0, "none"), (1, 0, 0, "none"),
])
def test_short_render_check(seconds, fps, delivered, outcome):
    e = FakeEngine(per_chunk=n_frames(delivered), fps=fps)
    a = op.Avatar(e, "ferrin2-light")
    if outcome == "ok":
        assert len(list(a.render(pcm_seconds(seconds)))) == delivered
        return
    with pytest.raises(op.Failed) as exc:
        list(a.render(pcm_seconds(seconds)))
    assert exc.value.__cause__ is None
    if outcome == "none":
        assert exc.value.args[0] == NO_FRAMES
        assert exc.value.detail == "engine=ferrin2-light delivered 0 frames"
    else:
        assert exc.value.args[0].startswith(f"that render stopped early — {delivered} frames came out of the ")
    assert a._render_stats is not None or delivered == 0  # stored even when the check fails
    assert "interrupt" not in e.calls


@pytest.mark.parametrize("fps, stop, rate_text, stop_text", [(25, None, "25", "not recorded"),
                                                             (25.0, "idle-frame (x)", "25.0", "idle-frame (x)")])
def test_stopped_early_texts(fps, stop, rate_text, stop_text):
    e = FakeEngine(per_chunk=n_frames(20), fps=fps, stop_reason=stop)
    with pytest.raises(op.Failed) as exc:
        list(op.Avatar(e, "ferrin2-golden").render(pcm_seconds(1)))
    assert exc.value.args[0] == ("that render stopped early — 20 frames came out of the 25 this audio should "
                                 "produce, so the video would be short. Render it again.")
    assert exc.value.detail == (f"engine=ferrin2-golden delivered 20 frames, expected >= 23 (audio implies 25 at "
                                f"{rate_text} fps); the render ended on: {stop_text}")


def test_out_of_range_rate_gives_exact_counts():
    fps = 1e300
    expected = int(len(pcm_seconds(1)) / 32000 * fps)
    floor_ = expected - max(2, int(expected * 0.02))
    e = FakeEngine(per_chunk=n_frames(3), fps=fps)
    with pytest.raises(op.Failed) as exc:
        list(op.Avatar(e, "x").render(pcm_seconds(1)))
    assert exc.value.args[0].startswith(f"that render stopped early — 3 frames came out of the {expected} ")
    assert f"expected >= {floor_} (audio implies {expected} at 1e+300 fps)" in exc.value.detail


def test_streamed_audio_only_needs_one_frame():
    e = FakeEngine(per_chunk=n_frames(1), fps=25)
    assert len(list(op.Avatar(e, "x").render([pcm_seconds(10)]))) == 1


def test_consumer_stopping_early_interrupts_once(caplog):
    e = FakeEngine()
    a = op.Avatar(e, "x")
    list(a.render(pcm_seconds(1)))
    before = a._render_stats
    caplog.clear()
    with caplog.at_level(logging.INFO, logger="orvane"):
        seq = a.render(pcm_seconds(1))
        for _, _ in zip(range(3), seq):
            pass
        seq.close()
        seq.close()
    assert e.calls == ["frames", "frames", "interrupt"]
    assert a._render_stats is before and caplog.records == []


def test_taking_every_frame_without_asking_again_is_abandoning():
    e = FakeEngine(per_chunk=n_frames(3), fps=None)
    a = op.Avatar(e, "x")
    seq = a.render(pcm_seconds(1))
    it = iter(seq)
    for _ in range(3):
        next(it)
    del it, seq
    gc.collect()
    assert e.calls == ["frames", "interrupt"]


def test_suspended_render_in_a_cycle_is_interrupted_when_collected():
    e = FakeEngine(per_chunk=n_frames(5), fps=None)
    seq = iter(op.Avatar(e, "x").render(pcm_seconds(1)))
    next(seq)
    e.seq = seq  # engine -> render -> avatar -> engine: only the collector frees it
    calls = e.calls
    del seq, e
    gc.collect()
    # the collector finalises the avatar (close) and the render (interrupt) in either order
    assert sorted(calls) == ["close", "frames", "interrupt"]


@pytest.mark.parametrize("make, cls, message, detail", [
    (lambda: EngineFailed("m", "d"), op.Failed, "m", "d"),
    (lambda: EngineUnavailable("gone", "why"), op.NotSupported, "gone", "why"),
    (lambda: BorrowUnavailable("lent", "away"), op.Failed, "lent", "away"),
    (lambda: ValueError("boom"), op.Failed, "the render stopped", None),
])
def test_engine_errors_are_mapped_after_interrupt(make, cls, message, detail):
    # A fresh error each run: one kept in the parameter table would keep its traceback,
    # and with it this test's avatar, alive until the interpreter exits.
    error = make()
    e = FakeEngine(error=error, fail_at=2)
    a = op.Avatar(e, "x")
    got = []
    with pytest.raises(cls) as exc:
        for f in a.render(pcm_seconds(1)):
            got.append(f)
    assert len(got) == 2 and e.calls == ["frames", "interrupt"]
    assert exc.value.args[0] == message
    assert exc.value.detail == (error if detail is None else detail)
    assert exc.value.__cause__ is None and exc.value.__suppress_context__


def test_package_errors_and_non_ordinary_errors_pass_unchanged():
    own = op.Failed("own", "d")
    e = FakeEngine(error=own, fail_at=0)
    a = op.Avatar(e, "x")
    with pytest.raises(op.Failed) as exc:
        list(a.render(pcm_seconds(1)))
    assert exc.value is own and e.calls == ["frames", "interrupt"]
    e = FakeEngine(error=KeyboardInterrupt(), fail_at=1)
    a = op.Avatar(e, "x")
    with pytest.raises(KeyboardInterrupt):
        list(a.render(pcm_seconds(1)))
    assert e.calls == ["frames", "interrupt"]


def test_reentering_the_render_fails_it_once():
    e = FakeEngine(per_chunk=n_frames(3))
    seq = iter(op.Avatar(e, "x").render(pcm_seconds(1)))
    e.per_chunk = lambda c: (next(seq) for _ in range(1))  # the engine asks the render for a frame
    with pytest.raises(op.Failed) as exc:
        next(seq)
    assert exc.value.args[0] == "the render stopped"
    assert exc.value.detail.args == ("generator already executing",)
    assert e.calls == ["frames", "interrupt"]


def test_interrupt_error_replaces_the_error_in_flight():
    e = FakeEngine(error=EngineFailed("m", "d"), fail_at=1, interrupt_error=ValueError("int"))
    with pytest.raises(op.Failed) as exc:
        list(op.Avatar(e, "x").render(pcm_seconds(1)))
    assert exc.value.args[0] == "the render stopped" and exc.value.detail.args == ("int",)


def test_streamed_item_error_surfaces_mapped():
    e = FakeEngine(fps=None)
    a = op.Avatar(e, "x")
    with pytest.raises(op.Failed) as exc:
        list(a.render([pcm_seconds(0.1), 7]))
    assert exc.value.args[0] == "the render stopped" and isinstance(exc.value.detail, TypeError)
    assert e.calls == ["frames", "interrupt"]


def test_intake_errors_reach_consumer_unchanged(monkeypatch):
    e = FakeEngine()
    a = op.Avatar(e, "x")
    with pytest.raises(TypeError, match="got int$"):
        next(iter(a.render(5)))
    refusal = op.refuse(op.Failed, "could not read that audio", "x")
    monkeypatch.setattr(op, "_whole_clip", lambda audio: (_ for _ in ()).throw(refusal))
    with pytest.raises(op.Failed) as exc:
        next(iter(a.render("a.wav")))
    assert exc.value is refusal and e.calls == []


def test_closed_avatar_refuses_at_first_request():
    e = FakeEngine()
    a = op.Avatar(e, "x")
    a._release()
    seq = a.render(pcm_seconds(1))
    with pytest.raises(op.Failed) as exc:
        next(iter(seq))
    assert exc.value.args == ("this avatar is closed",) and e.calls == ["close"]


@pytest.mark.parametrize("missing", ["orvane._session", "orvane._borrow", "EngineFailed", "BorrowUnavailable"])
def test_missing_session_or_borrow_fails_every_render(monkeypatch, missing):
    import orvane._borrow
    import orvane._session

    if missing.startswith("orvane."):
        monkeypatch.setitem(sys.modules, missing, None)
    else:
        owner = orvane._session if missing.startswith("Engine") else orvane._borrow
        monkeypatch.delattr(owner, missing)
    e = FakeEngine()
    a = op.Avatar(e, "lumeth2")
    with pytest.raises(ImportError) as exc:
        next(iter(a.render(pcm_seconds(1))))
    if not missing.startswith("orvane."):
        assert str(exc.value).startswith(f"cannot import name '{missing}' from 'orvane.")
    assert e.calls == []


def test_render_to_file_calls_the_writer_at_once(monkeypatch, tmp_path):
    import orvane.__main__ as cli

    calls = []
    monkeypatch.setattr(cli, "_write", lambda av, audio, out: calls.append((av, audio, out)) or "result")
    a = op.Avatar(FakeEngine(), "x")
    audio = object()
    assert a.render(audio, out_mp4=tmp_path / "o.mp4") == "result"
    assert calls == [(a, audio, str(tmp_path / "o.mp4"))]


def test_writer_stand_in_writes_a_video(tmp_path):
    img = np.zeros((16, 16, 3), np.uint8)
    a = op.Avatar(FakeEngine(per_chunk=lambda c: [img] * 5, fps=None), "x")
    out = tmp_path / "o.mp4"
    assert a.render(pcm_seconds(0.2), out) == str(out)
    assert out.stat().st_size > 0
    r = subprocess.run([sys.executable, "-m", "orvane"], capture_output=True, text=True)
    assert r.returncode == 2 and "usage" in r.stderr


# ------------------------------------------------------------------ lifetime

def test_with_block_closes_once():
    e = FakeEngine()
    a = op.Avatar(e, "x")
    with a as bound:
        assert bound is a
    assert e.calls == ["close"] and a._closed
    assert a.__exit__(None, None, None) is False
    del a
    gc.collect()
    assert e.calls == ["close"]


def test_error_in_block_propagates_after_close():
    e = FakeEngine()
    with pytest.raises(KeyError):
        with op.Avatar(e, "x"):
            raise KeyError("k")
    assert e.calls == ["close"]


def test_failing_close():
    e = FakeEngine(close_error=RuntimeError("c"))
    a = op.Avatar(e, "x")
    with pytest.raises(RuntimeError):
        a.__exit__()
    assert a._closed
    a.__exit__()
    a.__del__()
    assert e.calls == ["close"]
    e2 = FakeEngine(close_error=RuntimeError("c"))
    b = op.Avatar(e2, "x")
    b.__del__()  # swallowed
    assert e2.calls == ["close"] and b._closed


@pytest.mark.parametrize("cycle", [False, True])
def test_dropped_avatar_closes_its_engine(cycle):
    e = FakeEngine(close_error=RuntimeError("swallowed") if cycle else None)
    calls = e.calls
    a = op.Avatar(e, "x")
    if cycle:
        e.owner = a  # engine -> avatar -> engine: only the collector can free them
    del a, e
    gc.collect()
    assert calls == ["close"]
