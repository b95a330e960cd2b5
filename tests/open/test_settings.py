"""Module set-up of orvane._open: constants, patterns, environment, RenderStats."""
import logging
import os
import subprocess
import sys

import pytest

import orvane._open as op


def test_constants_and_kind_sets():
    assert op._log is logging.getLogger("orvane")
    assert (op._SAMPLE_RATE, op._SHORT_FRAC, op._DEFAULT_CACHE_GB, op._EVICT_MIN_IDLE_S) == (16000, 0.02, 10.0, 3600)
    assert type(op._SAMPLE_RATE) is int and type(op._EVICT_MIN_IDLE_S) is int
    assert type(op._DEFAULT_CACHE_GB) is float and type(op._QUIET) is float
    sets = [op._SESSION, op._FIXTURE, op._LITERT, op._UNIFIED]
    assert all(type(s) is frozenset for s in sets)
    assert sets == [{"ferrin2-light", "ferrin2-golden"}, {"ferrin1"}, {"lumeth2"}, {"ferrin2-unified"}]
    assert len(frozenset().union(*sets)) == 5  # disjoint
    assert op._HELD == {} and op._SWEPT is False
    import orvane._errors as errors

    for name in ("AvatarError", "Failed", "InvalidAvatar", "NotSupported", "refuse"):
        assert getattr(op, name) is getattr(errors, name)


@pytest.mark.parametrize("code, ok", [
    ("A123456789", True), ("ABCDEFGHIJ", True), ("a123456789", False), ("1ABCDEFGHI", False),
    ("A12345678", False), ("A1234567890", False), ("A12345678b", False),
])
def test_service_code_pattern(code, ok):
    assert bool(op._CODE.match(code)) is ok


@pytest.mark.parametrize("name, pid", [
    ("sha256-abc.tmp.123", "123"), ("x.tmp.7", "7"), (".tmp.123", None), ("sha256-abc.tmp.12a", None),
    ("sha256-abc.tmp.", None), ("sha256-abc.tmp.123.0123456789abcdef", "123"),
    ("sha256-abc.tmp.123.0123456789abcde", None), ("sha256-abc.tmp.123.0123456789ABCDEF", None),
    ("sha256-abc.tmp.123.", None),
])
def test_scratch_dir_pattern(name, pid):
    m = op._TMP_RE.match(name)
    assert (m.group(1) if m else None) == pid


def test_render_stats_record():
    st = op.RenderStats(100, 4.0, 25.0)
    assert (st.frames, st.render_seconds, st.render_fps) == (100, 4.0, 25.0)
    assert (st[0], st[1], st[2]) == (100, 4.0, 25.0)
    assert st == op.RenderStats(100, 4.0, 25.0) and st != op.RenderStats(100, 4.0, 24.0)
    assert op.RenderStats._fields == ("frames", "render_seconds", "render_fps")
    assert op.RenderStats.__module__ == "orvane._open"
    with pytest.raises(AttributeError):
        st.frames = 3
    with pytest.raises(TypeError):
        op.RenderStats(1, 2.0)  # no defaults


def _load(env_quiet=None, prelude=""):
    env = dict(os.environ)
    env.pop("ORVANE_RENDER_QUIET", None)
    if env_quiet is not None:
        env["ORVANE_RENDER_QUIET"] = env_quiet
    code = prelude + "import orvane._open as op; print(repr(op._QUIET), repr(op._fcntl is None))"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)


@pytest.mark.parametrize("value, quiet", [(None, "10.0"), (" 2.5 ", "2.5"), ("1e1", "10.0"), ("-3", "-3.0"),
                                          ("inf", "inf")])
def test_quiet_read_from_environment(value, quiet):
    r = _load(value)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split()[0] == quiet


def test_load_failures_and_missing_lock_facility():
    bad = _load("soon")
    assert bad.returncode != 0 and "ValueError" in bad.stderr
    no_errors = _load(prelude="import sys; sys.modules['orvane._errors'] = None; ")
    assert no_errors.returncode != 0 and "ImportError" in no_errors.stderr
    no_fcntl = _load(prelude="import sys; sys.modules['fcntl'] = None; ")
    assert no_fcntl.returncode == 0, no_fcntl.stderr
    assert no_fcntl.stdout.split()[1] == "True"


def test_error_vocabulary():
    import orvane._errors as errors

    cause = ValueError("x")
    e = op.refuse(op.Failed, "could not read that audio", cause)  # returned, not raised
    assert isinstance(e, op.Failed) and isinstance(e, op.AvatarError)
    assert e.args[0] == "could not read that audio" and e.detail is cause
    for cls in (op.InvalidAvatar, op.NotSupported, op.Failed):
        assert issubclass(cls, op.AvatarError) and type(op.refuse(cls, "m", "d")) is cls
    old = errors._Outdated("update the avatar", "v1")
    assert isinstance(old, op.AvatarError) and old.args[0] == "update the avatar" and old.code == "v1"
