"""open(): argument checks, engine kinds, engine construction and its error mapping."""
import os
import pathlib
import subprocess
import sys
import threading
import types

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from cache_fixtures import cache, om, qvx  # noqa: E402,F401
from orvane._lumeth2._client import isolated_env  # noqa: E402

CANNOT_RUN = ("that avatar cannot run on this machine. Render it in the cloud with the Video API "
              "(POST /v1/video/generate), or open it on Apple Silicon macOS or Linux.")


class EngineUnavailable(Exception):
    def __init__(self, message, detail):
        super().__init__(message)
        self.detail = detail


class EngineFailed(Exception):
    def __init__(self, message, detail):
        super().__init__(message)
        self.detail = detail


class AvatarOutdated(Exception):
    def __init__(self, message, detail, code):
        super().__init__(message)
        self.detail, self.code = detail, code


class Made:
    """Stands in for Avatar(engine, engine_id)."""

    def __init__(self, engine, engine_id):
        self.engine, self.engine_id = engine, engine_id


class Engine:
    def __init__(self, source, kind="?"):
        self.source, self.kind = source, kind


@pytest.fixture
def env(om, monkeypatch):
    """Fake session and error modules, recording adapters, a recording Avatar."""
    session = types.ModuleType("orvane._session")
    session.AvatarOutdated, session.EngineFailed, session.EngineUnavailable = (
        AvatarOutdated, EngineFailed, EngineUnavailable)
    monkeypatch.setitem(sys.modules, "orvane._session", session)
    monkeypatch.setattr(om, "Avatar", Made, raising=False)
    monkeypatch.setattr(om, "_SessionEngine", lambda s: Engine(s, "session"), raising=False)
    monkeypatch.setattr(om, "_FixtureEngine", lambda s: Engine(s, "fixture"), raising=False)
    import orvane._lumeth2
    monkeypatch.setattr(orvane._lumeth2, "Lumeth2Engine", lambda s: Engine(s, "lumeth2"), raising=False)
    monkeypatch.setattr(om, "_ferrin1_runtime_present", lambda: True)
    return session


def avatar_dir(tmp_path, engine=None, name="avatar") -> str:
    d = tmp_path / name
    d.mkdir()
    if engine:
        (d / "manifest.json").write_text(f'{{"engine": "{engine}"}}')
    return str(d)


# ---- arguments ----

class BytesPath:
    def __fspath__(self):
        return b"/tmp"


@pytest.mark.parametrize("arg, type_name", [(b"/tmp", "bytes"), (None, "NoneType"), (BytesPath(), "bytes"),
                                            (3, "int")])
def test_argument_type_refused(env, om, arg, type_name):
    with pytest.raises(TypeError) as ei:
        om.open(arg)
    assert str(ei.value) == "open() takes the path of an avatar; got " + type_name


def test_empty_path(env, om, monkeypatch):
    monkeypatch.setattr(os.path, "exists", lambda p: pytest.fail("no file-system access"))
    with pytest.raises(om.InvalidAvatar) as ei:
        om.open("")
    assert ei.value.args == ("open() needs an avatar to open",)


@pytest.mark.parametrize("code, service", [
    ("A123456789", True), ("ABCDEFGHIJ", True), ("ABCDEFGHIJ\n", False), ("ABCDEFGHIJ\r\n", False),
    ("a123456789", False), ("1BCDEFGHIJ", False), ("ABCDEFGHIJK", False), ("ABCDEFGHI", False),
])
def test_missing_path(env, om, tmp_path, monkeypatch, code, service):
    monkeypatch.chdir(tmp_path)
    if service:
        with pytest.raises(om.NotSupported) as ei:
            om.open(code)
        assert ei.value.args == (
            code + " names an avatar held by the service, and this package renders an avatar that is on this "
            "machine. Run `python -m orvane render " + code + " <audio>` to fetch it and render it here, or "
            "render it in the cloud with the Video API (POST /v1/video/generate).",)
    else:
        with pytest.raises(om.InvalidAvatar) as ei:
            om.open(code)
        assert ei.value.args == ("no avatar at " + code,)


@pytest.mark.parametrize("path", ["\ud800x", "A\ud800CDEFGHI", "\udcff.qvx", "a\0b"])
def test_missing_path_that_cannot_be_encoded(env, om, path):
    with pytest.raises(om.InvalidAvatar) as ei:
        om.open(path)
    assert ei.value.args == ("no avatar at " + path,)


def test_existing_code_named_path_opens(env, om, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    avatar_dir(tmp_path, "ferrin2-light", name="ABCDEFGHIJ")
    a = om.open("ABCDEFGHIJ")
    assert (a.engine.kind, a.engine.source, a.engine_id) == ("session", "ABCDEFGHIJ", "ferrin2-light")


def test_path_object_opens_as_its_string(env, om, tmp_path):
    d = avatar_dir(tmp_path, "lumeth2")
    a = om.open(source=pathlib.Path(d))
    assert type(a.engine.source) is str and a.engine.source == d


# ---- engine kinds ----

@pytest.mark.parametrize("kind, adapter", [
    ("ferrin2-light", "session"), ("ferrin2-golden", "session"), ("ferrin1", "fixture"), ("lumeth2", "lumeth2"),
])
def test_kind_routes_to_its_engine(env, om, tmp_path, kind, adapter):
    d = avatar_dir(tmp_path, kind)
    a = om.open(d)
    assert type(a) is Made and a.engine_id == kind and (a.engine.kind, a.engine.source) == (adapter, d)


def test_avatar_without_manifest_is_ferrin1(env, om, tmp_path):
    assert om.open(avatar_dir(tmp_path)).engine.kind == "fixture"


def test_unknown_kind_cannot_run(env, om, tmp_path):
    with pytest.raises(om.NotSupported) as ei:
        om.open(avatar_dir(tmp_path, "ferrin9"))
    assert ei.value.args == (CANNOT_RUN,)


def test_ferrin1_on_engine_only_core(env, om, tmp_path, monkeypatch):
    monkeypatch.setattr(om, "_ferrin1_runtime_present", lambda: False)
    monkeypatch.setattr(om, "_FixtureEngine", lambda s: pytest.fail("no engine is built"))
    with pytest.raises(om.NotSupported) as ei:
        om.open(avatar_dir(tmp_path))
    assert ei.value.args == (CANNOT_RUN,)
    assert om.open(avatar_dir(tmp_path, "lumeth2", "l2")).engine.kind == "lumeth2"  # asked for ferrin1 only


@pytest.mark.parametrize("core, present", [(None, True), ({}, True), ({"ENGINE_ONLY": False}, True),
                                           ({"ENGINE_ONLY": 1}, False), ({"ENGINE_ONLY": ""}, True)])
def test_ferrin1_runtime_present(om, monkeypatch, core, present):
    if core is None:
        monkeypatch.setitem(sys.modules, "orvane._core", None)  # import fails
    else:
        mod = types.ModuleType("orvane._core")
        mod.__dict__.update(core)
        monkeypatch.setitem(sys.modules, "orvane._core", mod)
    assert om._ferrin1_runtime_present() is present


def test_ferrin1_without_native_core_reports_the_import_error(om, tmp_path, monkeypatch):
    """No native core: the presence check passes and the adapter's own import failure reaches the caller."""
    monkeypatch.setitem(sys.modules, "orvane._core", None)
    with pytest.raises(ImportError) as ei:
        om.open(avatar_dir(tmp_path))
    assert not isinstance(ei.value, om.AvatarError)


def test_manifest_oserror_is_invalid_avatar(env, om, tmp_path, monkeypatch):
    err = PermissionError(13, "denied")

    def boom(source):
        raise err

    monkeypatch.setattr(om, "_engine_of", boom)
    with pytest.raises(om.InvalidAvatar) as ei:
        om.open(avatar_dir(tmp_path))
    e = ei.value
    assert e.args[0] == "that is not a usable avatar" and e.detail is err
    assert e.__cause__ is None and e.__suppress_context__


def test_manifest_other_error_is_invalid_avatar(env, om, tmp_path):
    d = avatar_dir(tmp_path)
    pathlib.Path(d, "manifest.json").write_text("{not json")
    with pytest.raises(om.InvalidAvatar) as ei:
        om.open(d)
    e = ei.value
    assert e.args[0] == "that is not a usable avatar" and e.detail.startswith(d + ": ValueError: manifest.json")
    assert isinstance(e.__cause__, ValueError)


def test_pipe_is_no_avatar(env, om, tmp_path):
    """A named pipe is refused without being read (reading it would wait for a writer forever)."""
    fifo = str(tmp_path / "pipe.qvx")
    os.mkfifo(fifo)
    with pytest.raises(om.InvalidAvatar, match="is not a regular file, so it is no QVX or zip container"):
        om.open(fifo)


# ---- construction failures ----

def raising(exc):
    def build(source):
        raise exc
    return build


def test_construction_error_mapping(env, om, tmp_path, monkeypatch):
    d = avatar_dir(tmp_path, "ferrin2-light")
    own = om.Failed("already a refusal")
    cases = [
        (own, om.Failed, ("already a refusal",), None),
        (EngineUnavailable("no engine here", "det-u"), om.NotSupported, ("no engine here",), "det-u"),
        (EngineFailed("engine broke", "det-f"), om.Failed, ("engine broke",), "det-f"),
        (IsADirectoryError(21, "dir"), om.Failed, ("could not prepare that avatar",), IsADirectoryError),
    ]
    for exc, cls, args, detail in cases:
        monkeypatch.setattr(om, "_SessionEngine", raising(exc))
        with pytest.raises(cls) as ei:
            om.open(d)
        e = ei.value
        assert e.args[:1] == args
        if exc is own:
            assert e is own
            continue
        assert e.__cause__ is None and e.__suppress_context__
        assert (isinstance(e.detail, detail) if isinstance(detail, type) else e.detail == detail)


def test_outdated_avatar(env, om, tmp_path, monkeypatch):
    from orvane._errors import _Outdated as outdated
    d = avatar_dir(tmp_path, "ferrin2-golden")
    monkeypatch.setattr(om, "_SessionEngine", raising(AvatarOutdated("update it", "det", "E42")))
    with pytest.raises(outdated) as ei:
        om.open(d)
    assert ei.value.args[0] == "update it" and ei.value.code == "E42"
    assert ei.value.__cause__ is None and ei.value.__suppress_context__


def test_import_error_of_construction_propagates(env, om, tmp_path, monkeypatch):
    """A missing engine library is the installation's fault, not the avatar's."""
    d = avatar_dir(tmp_path, "ferrin1")
    exc = ImportError("no native core")
    monkeypatch.setattr(om, "_FixtureEngine", raising(exc))
    with pytest.raises(ImportError) as ei:
        om.open(d)
    assert ei.value is exc


@pytest.mark.parametrize("exc", [RuntimeError("engine bug"), KeyError("k")])
def test_other_construction_errors_are_invalid_avatar(env, om, tmp_path, monkeypatch, exc):
    d = avatar_dir(tmp_path, "ferrin1")
    monkeypatch.setattr(om, "_FixtureEngine", raising(exc))
    with pytest.raises(om.InvalidAvatar) as ei:
        om.open(d)
    assert ei.value.args[0] == "that is not a usable avatar" and ei.value.__cause__ is exc
    assert ei.value.detail == f"{d}: {type(exc).__name__}: {exc}"


def test_session_module_missing_fails_every_kind(env, om, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "orvane._session", None)
    for kind in ("lumeth2", "ferrin2-unified"):
        with pytest.raises(ImportError):
            om.open(avatar_dir(tmp_path, kind, name=kind))


def test_session_module_without_error_class(env, om, tmp_path):
    del env.EngineFailed
    with pytest.raises(ImportError, match="cannot import name 'EngineFailed' from 'orvane._session'"):
        om._open_engine(avatar_dir(tmp_path, "lumeth2"), "lumeth2")


# ---- the f2u engine ----

def test_unified_engine_on_cached_container(env, om, cache, tmp_path, monkeypatch):
    monkeypatch.setattr(om, "_sweep", lambda a, k: None)
    src = qvx(tmp_path / "u.qvx", engine="ferrin2-unified")
    a = om.open(src)
    from orvane._f2u.engine import F2UEngine
    assert type(a.engine) is F2UEngine and a.engine_id == "ferrin2-unified"
    assert a.engine.root.startswith(cache) and list(om._HELD) == [a.engine.root]


@pytest.mark.parametrize("which, cls_name", [("F2UUnavailable", "NotSupported"), ("F2UInvalid", "InvalidAvatar")])
@pytest.mark.parametrize("with_cause", [True, False])
def test_unified_engine_refusals(env, om, tmp_path, monkeypatch, which, cls_name, with_cause):
    import orvane._f2u.engine as fe
    d = avatar_dir(tmp_path, "ferrin2-unified")
    cause = OSError(5, "io")

    def build(root):
        err = getattr(fe, which)(42)
        if with_cause:
            raise err from cause
        raise err

    monkeypatch.setattr(fe, "F2UEngine", build)
    with pytest.raises(getattr(om, cls_name)) as ei:
        om.open(d)
    e = ei.value
    assert e.args[0] == "42"
    assert e.detail == (repr(cause) if with_cause else repr(getattr(fe, which)(42)))
    assert e.__cause__ is None and e.__suppress_context__


def test_unified_engine_materialise_refusal_passes(env, om, cache, tmp_path, monkeypatch):
    bad = tmp_path / "bad.qvx"
    bad.write_bytes(b"QVX\0junk")
    with pytest.raises(om.InvalidAvatar) as ei:
        om._open_engine(str(bad), "ferrin2-unified")
    assert ei.value.args[0] == "that is not a usable avatar"


# ---- end to end ----

def test_open_and_render_a_cached_session_avatar(om, cache, tmp_path, monkeypatch):
    """The package's own session engine on a container: unpacked, held, rendered, closed."""
    monkeypatch.setattr(om, "_sweep", lambda a, k: None)
    if not hasattr(om, "Avatar"):
        pytest.skip("Avatar not in this build")
    src = qvx(tmp_path / "s.qvx", engine="ferrin2-light")
    with om.open(src) as a:
        frames = list(a.render(b"\0\0" * 16000))
    assert len(frames) == 25 and a._closed
    assert [os.path.dirname(p) for p in om._HELD] == [cache]


# ---- the package entry ----

def test_package_exports_open():
    import orvane
    import orvane._open
    assert orvane.open is orvane._open.open
    with pytest.raises(AttributeError):
        orvane.no_such_name


# ---- the lumeth-2 engine wrapper over the real render-stream host ----

@pytest.fixture(scope="module")
def l2_bundle(tmp_path_factory):
    pytest.importorskip("ai_edge_litert")
    import numpy as np
    import make_lumeth2_models
    from lumeth2_bundle_pack import write_dir
    base = tmp_path_factory.mktemp("l2")
    models = make_lumeth2_models.write_models(base / "models")
    return write_dir(base / "bundle", {
        "canon.bin": np.zeros(74880, "<f4").tobytes(),
        "combined_litert.tflite": models["combined"].read_bytes(),
        "manifest.json": b'{"engine": "lumeth2"}',
    })


@pytest.fixture
def host_env(tmp_path):
    stage = tmp_path / "stage"
    stage.mkdir()
    env = isolated_env(tmp_path, stage)
    return env


def test_lumeth2_engine_hands_out_the_host_frames(l2_bundle, host_env):
    import numpy as np
    from orvane._lumeth2 import Lumeth2Engine
    from orvane._lumeth2._client import HostClient
    rng = np.random.default_rng(1)
    pcm = (rng.standard_normal(25600 + 44000) * 3000).astype("<i2")
    with HostClient(l2_bundle, "--threads", "2", env=host_env) as host:
        host.feed(pcm.astype(np.float32) / np.float32(32767.0))   # the live road's scale
        host.flush()
        ref = [host.frame(d) for _, d in host.until_end()]
        assert host.close() == 0
    assert np.array_equal(ref[0], ref[1])   # the host writes a stream's first frame twice
    ref = ref[1:]
    ticks = -(-pcm.size // 800)
    assert len(ref) > ticks  # the flush renders a whole chunk past the audio

    eng = Lumeth2Engine(l2_bundle, threads=2, env=host_env)
    watchdog = threading.Timer(120, eng._proc.kill)  # a stuck host fails the test instead of hanging it
    watchdog.start()
    try:
        assert eng.frames_per_second == 20
        g = eng.frames([pcm[:30000].tobytes(), pcm[30000:].tobytes()])
        first = next(g)
        g.close()  # abandoned: the next render resynchronises and starts afresh
        eng.interrupt()
        assert eng.stop_reason == "unfinished"
        got = list(eng.frames(iter([pcm.tobytes()])))
        assert eng.stop_reason == "end-of-audio"
        # One frame per tick of audio given, frame k made for tick k: neither the host's
        # repeated first frame nor the whole flushed chunk.
        assert len(got) == ticks and got[0].shape == (720, 416, 3)
        assert all(np.array_equal(a, b) for a, b in zip(got, ref)) and np.array_equal(first, ref[0])
    finally:
        watchdog.cancel()
        eng.close()
    eng.close()
    with pytest.raises(RuntimeError, match="closed"):
        next(eng.frames([]))


def test_lumeth2_engine_hands_a_frame_over_before_the_next_chunk(l2_bundle, host_env):
    """A frame the host has written reaches the caller while the next chunk of audio is
    still being produced (a live source): the source here waits for that frame."""
    import numpy as np
    from orvane._lumeth2 import Lumeth2Engine
    got_one = threading.Event()
    pcm = (np.random.default_rng(2).standard_normal(25600 + 8000) * 3000).astype("<i2")

    def source():
        yield pcm[:25600].tobytes()          # completes the host's first chunk
        assert got_one.wait(60), "no frame came out while the source waited"
        yield pcm[25600:].tobytes()

    eng = Lumeth2Engine(l2_bundle, threads=2, env=host_env)
    try:
        n = 0
        for _ in eng.frames(source()):
            n += 1
            got_one.set()
        assert n == -(-pcm.size // 800) and eng.stop_reason == "end-of-audio"

        def broken():
            yield pcm[:800].tobytes()
            raise OSError("the audio source failed")

        with pytest.raises(OSError, match="source failed"):
            list(eng.frames(broken()))
        assert len(list(eng.frames([pcm[:8000].tobytes()]))) == 10   # in step again afterwards
    finally:
        eng.close()


EXIT_OPEN = """
import sys
import numpy as np
import orvane
av = orvane.open(sys.argv[1])
if sys.argv[2] == "rendered":
    list(av.render(np.zeros(16000, np.float32)))
# the script ends without closing the avatar: its finaliser closes the engine
"""


@pytest.mark.parametrize("mode", ["opened", "rendered"])
def test_lumeth2_avatar_left_open_at_exit(l2_bundle, host_env, mode):
    # closing the engine while the interpreter shuts down must not touch the pipes
    # its frozen reader threads hold: that aborted the interpreter
    r = subprocess.run([sys.executable, "-c", EXIT_OPEN, l2_bundle, mode], env=host_env,
                       capture_output=True, timeout=120)
    assert b"Fatal Python error" not in r.stderr
    assert r.returncode == 0, r.stderr.decode(errors="replace")[-2000:]


def test_lumeth2_engine_refused_bundle(tmp_path, host_env):
    from orvane._lumeth2 import Lumeth2Engine
    (tmp_path / "empty").mkdir()
    with pytest.raises(RuntimeError, match="did not start"):
        Lumeth2Engine(str(tmp_path / "empty"), env=host_env)


# ---- import timing ----

IMPORTS = """
import json, sys
def loaded():
    return [m for m in ("orvane._open", "orvane._session", "orvane._lumeth2", "orvane._f2u.engine", "orvane._core")
            if m in sys.modules]
import orvane
seen = [loaded()]
import orvane._open
seen.append(loaded())
orvane.open(sys.argv[1])
seen.append(loaded())
orvane.open(sys.argv[2])
seen.append(loaded())
print(json.dumps(seen))
"""


def test_engine_modules_load_with_their_kind(tmp_path):
    """Each engine's wrapper is imported when an avatar of its kind is opened, never before."""
    import json
    import subprocess
    light, unified = avatar_dir(tmp_path, "ferrin2-light", "l"), avatar_dir(tmp_path, "ferrin2-unified", "u")
    out = subprocess.run([sys.executable, "-c", IMPORTS, light, unified], capture_output=True, text=True,
                         timeout=60, env=dict(os.environ, ORVANE_CACHE_DIR=str(tmp_path / "cache")))
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == [
        [], ["orvane._open"], ["orvane._open", "orvane._session"],
        ["orvane._open", "orvane._session", "orvane._f2u.engine"],
    ]


@pytest.mark.parametrize("greeting, exc", [
    ("READY {not json", ValueError), ('READY {"width": "wide"}', ValueError), ("READY []", ValueError),
    ("FATAL: no bundle", RuntimeError),
])
def test_lumeth2_engine_start_failure_leaves_no_host(monkeypatch, greeting, exc):
    """A host whose greeting is garbled or missing is ended and reaped, its pipes closed."""
    import subprocess
    import orvane._lumeth2._client as lc
    import orvane._lumeth2.engine as le
    started = []
    real = subprocess.Popen

    def popen(*a, **kw):
        started.append(real(*a, **kw))
        return started[-1]

    script = f"import sys; print({greeting!r}, flush=True); sys.stdin.read()"
    monkeypatch.setattr(lc, "host_command", lambda: [sys.executable, "-c", script])
    monkeypatch.setattr(lc.subprocess, "Popen", popen)
    with pytest.raises(exc):
        le.Lumeth2Engine("/nowhere")
    (proc,) = started
    assert proc.returncode is not None and proc.stdout.closed and proc.stdin.closed
