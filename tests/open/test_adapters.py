"""Engine adapters: the session adapter (feeding, drain, stop reasons, borrow checks)
and the fixture adapter ("ferrin1" on the native runtime, BGR to RGB)."""
import gc
import json
import pathlib
import sys

import numpy as np
import pytest

import orvane._open as op
import orvane._session as session_mod
from orvane._borrow import BorrowUnavailable

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from render_fakes import FakeBorrow, FakeTime, ScriptedSession, fake_core, pcm_seconds  # noqa: E402

S, I, OTHER = session_mod.LE_UTT_SPEECH, session_mod.LE_UTT_IDLE, 7


@pytest.fixture
def avatar_dir(tmp_path, monkeypatch):
    d = tmp_path / "avatar"
    d.mkdir()
    (d / "manifest.json").write_text(json.dumps({"engine": "ferrin2-light", "name": "é"}), encoding="utf-8")
    seen = []
    monkeypatch.setattr(op, "_materialise", lambda source: seen.append(source) or str(d), raising=False)
    return d


@pytest.fixture
def clock(monkeypatch):
    t = FakeTime()
    monkeypatch.setattr(op, "time", t)
    return t


def session_engine(monkeypatch, sess):
    made = []

    def Session(bundle, man):
        made.append((bundle, man))
        return sess

    monkeypatch.setattr(session_mod, "Session", Session)
    eng = op._SessionEngine("some/avatar.qvx")
    return eng, made


# ------------------------------------------------------------------ session adapter

def test_session_build(monkeypatch, avatar_dir):
    sess = ScriptedSession()
    eng, made = session_engine(monkeypatch, sess)
    assert made == [(str(avatar_dir), {"engine": "ferrin2-light", "name": "é"})]
    assert eng.frames_per_second == session_mod.FPS and eng._s is sess and eng._session_mod is session_mod
    assert not hasattr(eng, "stop_reason")  # absent before the first render
    assert getattr(eng, "stop_reason", "not recorded") == "not recorded"


@pytest.mark.parametrize("kind, cls", [("install", op.NotSupported), ("other", op.InvalidAvatar),
                                       (None, op.InvalidAvatar)])
def test_session_borrow_refusals(monkeypatch, avatar_dir, kind, cls):
    def Session(bundle, man):
        raise BorrowUnavailable("borrowed thing gone", "detail!", kind=kind)

    monkeypatch.setattr(session_mod, "Session", Session)
    with pytest.raises(cls) as e:
        op._SessionEngine("a")
    assert type(e.value) is cls
    assert e.value.args[0] == "borrowed thing gone" and e.value.detail == "detail!"
    assert e.value.__cause__ is None and e.value.__suppress_context__


@pytest.mark.parametrize("content, error", [(None, FileNotFoundError), (b"{bad", json.JSONDecodeError),
                                            (b"\xff\xfe{}", UnicodeDecodeError)])
def test_session_manifest_errors_unchanged(monkeypatch, avatar_dir, content, error):
    m = avatar_dir / "manifest.json"
    if content is None:
        m.unlink()
    else:
        m.write_bytes(content)
    with pytest.raises(error):
        op._SessionEngine("a")


def test_feeding_then_idle_drain(monkeypatch, avatar_dir, clock):
    # frames before the first speech are dropped; after speech starts, a rest frame in
    # feeding is handed out; in the drain only a rest frame ends the run (others pass).
    sess = ScriptedSession(feed={1: [("r0", OTHER), ("s1", S)], 2: [("r2", I), ("s3", S)]},
                           after_end=[("x", OTHER), ("s4", S), ("rest", I), ("never", S)])
    eng, _ = session_engine(monkeypatch, sess)
    out = list(eng.frames([b"ab", b"cd"]))
    assert out == ["s1", "r2", "s3", "x", "s4"]
    assert eng.stop_reason == "idle-frame (avatar returned to rest)"
    assert sess.calls[0] == "reset" and ("push", b"ab") in sess.calls and "end" in sess.calls
    assert clock.sleeps == []


def test_empty_chunks_and_speech_only_in_drain(monkeypatch, avatar_dir, clock):
    sess = ScriptedSession(after_end=[("r", OTHER), ("s", S), ("i", I)])
    eng, _ = session_engine(monkeypatch, sess)
    assert list(eng.frames([])) == ["s"]
    assert sess.calls[:3] == ["reset", "end", "pull"]


@pytest.mark.parametrize("quiet, text", [(10.0, "quiet-deadline (10s with no frame)"),
                                         (2.5, "quiet-deadline (2s with no frame)"),
                                         (3.5, "quiet-deadline (4s with no frame)"),
                                         (12.7, "quiet-deadline (13s with no frame)")])
def test_quiet_deadline(monkeypatch, avatar_dir, clock, quiet, text):
    monkeypatch.setattr(op, "_QUIET", quiet)
    sess = ScriptedSession(feed={1: [("s", S)]})
    eng, _ = session_engine(monkeypatch, sess)
    assert list(eng.frames([b"ab"])) == ["s"]
    assert eng.stop_reason == text
    assert sess.calls[-1] == "check_render"  # checked before the deadline stop
    assert all(s == 0.005 for s in clock.sleeps)
    assert quiet <= sum(clock.sleeps) <= quiet + 0.006


@pytest.mark.parametrize("quiet", [0.0, -1.0])
def test_zero_or_negative_quiet_stops_at_first_empty_pull(monkeypatch, avatar_dir, clock, quiet):
    monkeypatch.setattr(op, "_QUIET", quiet)
    sess = ScriptedSession()
    eng, _ = session_engine(monkeypatch, sess)
    assert list(eng.frames([])) == []
    # past the deadline at the first empty pull, or (zero) one poll later
    assert len(clock.sleeps) == (1 if quiet == 0 else 0)
    assert eng.stop_reason.startswith("quiet-deadline")


def test_no_speech_in_utterance(monkeypatch, avatar_dir, clock):
    def late():
        clock.now += 11.0
        return ("r", OTHER)

    sess = ScriptedSession(after_end=[("r", OTHER), ("r", OTHER), late, ("s", S)])
    eng, _ = session_engine(monkeypatch, sess)
    assert list(eng.frames([b"x"])) == []
    assert eng.stop_reason == "no-speech-in-utterance" and clock.sleeps == []
    assert sess.calls[-1] == "check_render"


def test_consumer_holding_a_frame_past_the_deadline(monkeypatch, avatar_dir, clock):
    sess = ScriptedSession(after_end=[("s", S)])
    eng, _ = session_engine(monkeypatch, sess)
    it = iter(eng.frames([]))
    assert next(it) == "s"
    clock.now += 10.5  # the consumer is slow; time counts toward the next deadline
    with pytest.raises(StopIteration):
        next(it)
    assert clock.sleeps == [] and eng.stop_reason == "quiet-deadline (10s with no frame)"


def test_check_render_failure_wins_over_deadline(monkeypatch, avatar_dir, clock):
    sess = ScriptedSession(check_error=session_mod.EngineFailed("renderer died", "d"))
    eng, _ = session_engine(monkeypatch, sess)
    with pytest.raises(session_mod.EngineFailed):
        list(eng.frames([]))
    assert eng.stop_reason == "unfinished"


def test_unfinished_and_second_render_resets(monkeypatch, avatar_dir, clock):
    sess = ScriptedSession(feed={1: [("a", S), ("b", S), ("c", S)]}, after_end=[("i", I)])
    eng, _ = session_engine(monkeypatch, sess)
    it = iter(eng.frames([b"x"]))
    next(it)
    assert eng.stop_reason == "unfinished"
    eng.interrupt()
    assert sess.calls.count("reset") == 2
    sess.calls.clear()
    it2 = iter(eng.frames([b"x"]))
    assert sess.calls == []  # lazy
    assert list(it2) == ["a", "b", "c"]
    assert sess.calls[0] == "reset" and eng.stop_reason.startswith("idle-frame")


@pytest.mark.parametrize("borrow", [None, "fails-third"])
def test_borrow_checks(monkeypatch, avatar_dir, clock, borrow):
    b = None if borrow is None else FakeBorrow(fail_on=3, error=BorrowUnavailable("gone", "d"))
    sess = ScriptedSession(feed={1: [(i, S) for i in range(5)]}, after_end=[("i", I)], borrow=b)
    eng, _ = session_engine(monkeypatch, sess)
    got = []
    if b is None:
        got = list(eng.frames([b"x"]))
        assert got == [0, 1, 2, 3, 4]
        return
    with pytest.raises(BorrowUnavailable):
        for f in eng.frames([b"x"]):
            got.append(f)
    assert got == [0, 1]


@pytest.mark.parametrize("pulled, error", [((1, 2, 3), ValueError), ((1,), ValueError), (5, TypeError)])
def test_malformed_pull_ends_render(monkeypatch, avatar_dir, clock, pulled, error):
    sess = ScriptedSession(feed={1: [pulled]})
    eng, _ = session_engine(monkeypatch, sess)
    with pytest.raises(error):
        list(eng.frames([b"x"]))


def test_session_interrupt_and_close(monkeypatch, avatar_dir):
    sess = ScriptedSession()
    eng, _ = session_engine(monkeypatch, sess)

    def bad_reset():
        raise RuntimeError("reset failed")

    sess.reset = bad_reset
    eng.interrupt()  # swallowed
    eng.close()
    assert sess.calls[-1] == "close"

    def bad_close():
        raise OSError("close failed")

    sess.close = bad_close
    with pytest.raises(OSError):
        eng.close()


def test_session_stand_in_through_avatar(avatar_dir):
    eng = op._SessionEngine(str(avatar_dir))
    a = op.Avatar(eng, "ferrin2-light")
    frames = list(a.render(pcm_seconds(1)))
    assert len(frames) == 25 and frames[0].dtype == np.uint8
    assert eng.stop_reason == "idle-frame (avatar returned to rest)" and a._render_stats.frames == 25
    with a:
        pass
    assert eng._s._closed


# ------------------------------------------------------------------ fixture adapter

def fixture_engine(monkeypatch, **kw):
    rec = fake_core(monkeypatch, **kw)
    return op._FixtureEngine("path/to/avatar"), rec


def test_fixture_build(monkeypatch):
    from orvane._threads import FERRIN1, default_threads

    eng, rec = fixture_engine(monkeypatch)
    assert rec.fixtures == [("path/to/avatar", "auto", default_threads(FERRIN1), 1)]  # registered first
    assert eng._rt is rec.runtimes[0] and eng._rt.fixture is eng._fx
    for name in ("frames_per_second", "stop_reason"):
        assert not hasattr(eng, name)


@pytest.mark.parametrize("kw", [{"fixture_error": RuntimeError("bad fixture")}, {"ep_auto": False}])
def test_fixture_load_failure(monkeypatch, kw):
    fake_core(monkeypatch, **kw)
    with pytest.raises(op.InvalidAvatar) as e:
        op._FixtureEngine("p")
    assert e.value.args[0] == "that is not a usable avatar"
    assert isinstance(e.value.detail, (RuntimeError, AttributeError))
    # as `raise ... from None` in the except clause: nothing chained is shown
    assert e.value.__cause__ is None and e.value.__suppress_context__ and e.value.__context__ is e.value.detail


def test_fixture_runtime_error_is_not_an_avatar_refusal(monkeypatch):
    # only loading the fixture judges the avatar; a runtime that cannot be built on a
    # loaded fixture is the caller's to report
    err = RuntimeError("no runtime")
    rec = fake_core(monkeypatch, runtime_error=err)
    with pytest.raises(RuntimeError) as e:
        op._FixtureEngine("p")
    assert e.value is err
    del e
    err.__traceback__ = None  # its frames hold the fixture passed to Runtime
    gc.collect()
    assert rec.fixture_refs[0]() is None  # the loaded fixture is not kept by a half-built adapter


def test_fixture_without_core_raises_import_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "orvane._core", None)
    with pytest.raises(ImportError):
        op._FixtureEngine("p")


@pytest.mark.parametrize("pull_tuple", [False, True])
def test_fixture_frames_bgr_to_rgb(monkeypatch, pull_tuple):
    eng, rec = fixture_engine(monkeypatch, runtime_kw={"pull_tuple": pull_tuple})
    frames = list(eng.frames([b"\0\0" * 8]))
    assert len(frames) == 2
    f = frames[1]
    assert f.dtype == np.uint8 and f.flags.c_contiguous and f.shape == (2, 3, 3)
    assert f[1, 1].tolist() == [30, 20, 10] and f[0, 0].tolist() == [2, 1, 1]
    rt = rec.runtimes[0]
    f[...] = 0  # a fresh copy: the runtime's image is untouched
    assert rt.last[1, 1].tolist() == [10, 20, 30]


def test_fixture_samples_and_ticks(monkeypatch):
    eng, rec = fixture_engine(monkeypatch)
    rt = rec.runtimes[0]
    x = np.array([-32768, 32767, 0, 1, -1, 12345], np.int16)
    it = iter(eng.frames([x[:3].tobytes(), b"", x[3:].tobytes()]))
    assert rt.pushed == []  # lazy
    next(it)  # the tick completes only with the third chunk
    assert len(rt.pushed) == 2  # the empty chunk was skipped
    got = np.concatenate(rt.pushed)
    assert got.dtype == np.float32 and np.array_equal(got, x.astype(np.float32) / 32768.0)
    assert got[1] == 0.999969482421875
    assert list(it) == []  # 2 samples short of a tick stay in the stream


class CallLog:
    """Wraps a runtime and records the names of the calls made on it."""

    def __init__(self, rt):
        self.rt, self.names = rt, []

    def __getattr__(self, name):
        self.names.append(name)
        return getattr(self.rt, name)


def test_fixture_asks_for_ticks_only_after_a_push(monkeypatch):
    eng, rec = fixture_engine(monkeypatch)
    log = CallLog(rec.runtimes[0])
    eng._rt = log
    assert list(eng.frames([])) == [] and log.names == []  # nothing pushed, nothing asked
    assert list(eng.frames([b"", b"\0" * 6, b""])) == []
    assert log.names == ["reset_stream", "push_audio", "ticks_available"]
    eng.close()
    assert list(eng.frames([b""])) == []  # a closed runtime is not touched without audio


def test_fixture_every_render_starts_from_a_clean_stream(monkeypatch):
    eng, rec = fixture_engine(monkeypatch)
    rt = rec.runtimes[0]
    assert list(eng.frames([b"\0" * 6])) == []  # 3 samples, tick is 4
    assert list(eng.frames([b"\0" * 2])) == []  # nothing carried over to complete a tick
    assert rt.resets == 2
    it = iter(eng.frames([b"\0" * 8, b"\0" * 8]))
    next(it)
    assert rt.resets == 3  # once per render, before its first push
    assert len(list(it)) == 1 and rt.resets == 3


def test_fixture_render_does_not_depend_on_the_one_before(tmp_path):
    """On the native runtime: the same clip gives the same frames whatever came before it."""
    d = tmp_path / "fx"
    d.mkdir()
    (d / "fixture.json").write_text(json.dumps({"engine": "ferrin1", "audio_samples_per_tick": 640}))
    from orvane._core import frame_tag
    rng = np.random.default_rng(3)
    loud = (rng.uniform(-1, 1, 640 * 3 + 500) * 0.9).astype(np.float32)  # 3 ticks and 500 samples over
    clip = (np.sin(np.arange(640 * 5) / 9.0) * np.linspace(0.05, 0.5, 640 * 5)).astype(np.float32)

    def tags(avatar):
        return [frame_tag(f[..., ::-1]) for f in avatar.render(clip)]

    with op.open(str(d)) as fresh:
        want = tags(fresh)
    with op.open(str(d)) as used:
        assert len(list(used.render(loud))) == 3
        assert tags(used) == want and len(want) == 5


def test_fixture_odd_chunk_is_numpys_error(monkeypatch):
    eng, _ = fixture_engine(monkeypatch)
    with pytest.raises(ValueError) as e:
        list(eng.frames([b"\0" * 3]))
    with pytest.raises(ValueError) as ref:
        np.frombuffer(b"\0" * 3, np.int16)
    assert str(e.value) == str(ref.value)


def test_fixture_close_and_interrupt_after_close(monkeypatch):
    eng, _ = fixture_engine(monkeypatch)
    eng.close()
    eng.close()
    eng.interrupt()
    assert eng._rt is None and eng._fx is None


def test_fixture_through_avatar_without_fps(monkeypatch):
    eng, rec = fixture_engine(monkeypatch, runtime_kw={"spt": 640})
    a = op.Avatar(eng, "ferrin1")
    assert len(list(a.render(pcm_seconds(1)))) == 25
    it = iter(a.render(pcm_seconds(1)))
    next(it)
    del it
    gc.collect()
    assert rec.runtimes[0].resets == 3  # each render cleared the stream; the abandoned one was interrupted
