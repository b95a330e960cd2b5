"""Construction, create/set_model, properties, settings view and module shape."""

import os

import pytest

import orvane._avatar as avmod
from orvane._avatar import AsyncAvatar
from orvane._exceptions import ModelNotFoundError, RuntimeNotReadyError

from .helpers import arun, collect, pcm_bytes, tone


def test_module_shape():
    assert avmod.__all__ == ["AsyncAvatar"]
    assert avmod._log.name == "orvane"
    assert avmod._STREAM_END is not None and type(avmod._STREAM_END) is object
    assert avmod._DEFAULT_OUTPUT_SIZE == (1280, 720)
    a, b = AsyncAvatar(), AsyncAvatar()
    assert a._output_size is b._output_size is avmod._DEFAULT_OUTPUT_SIZE


def test_constructor_defaults_and_queues():
    av = AsyncAvatar()
    assert av._in_queue.maxsize == 0 and av._out_queue.maxsize == 6
    assert av._fixture is None and av._runtime is None and av._model_path is None
    assert av._running is False and av._producer_task is None and av._emitter_task is None
    assert not av._stop_event.is_set() and not av._interrupt_event.is_set()
    assert av._audio_queued is None and len(av._sync_pend) == 0
    assert av._stream_pushed == 0 and av._engine_executor is None
    assert av._playout is None and av._playout_reset is False
    assert not hasattr(av, "_engine_id")
    av2 = AsyncAvatar(input_buffer_size=3, output_buffer_size=0, output_size=None, num_threads=2)
    assert av2._in_queue.maxsize == 3 and av2._out_queue.maxsize == 0
    assert av2._output_size is None and av2._num_threads == 2
    with pytest.raises(TypeError):
        AsyncAvatar(6)


def test_create_requires_model_path():
    with pytest.raises(ValueError, match=r"^AsyncAvatar\.create: model_path is required$"):
        arun(AsyncAvatar.create())


@pytest.mark.parametrize("given,named", [("~/nope", "nope"), ("~/a//nope/", "a/nope")])
def test_create_expands_tilde_in_missing_path(monkeypatch, tmp_path, given, named):
    monkeypatch.setenv("HOME", str(tmp_path))
    with pytest.raises(ModelNotFoundError) as ei:
        arun(AsyncAvatar.create(model_path=given))
    assert str(ei.value) == "Ferrin model not found: " + os.path.join(str(tmp_path), named)


PIPE_MODEL = """
import asyncio, sys
import orvane
from orvane._avatar import AsyncAvatar
try:
    asyncio.run(AsyncAvatar.create(model_path=sys.argv[1]))
except Exception as e:
    print("create:", type(e).__name__, e.args[0], "/", e.__cause__.strerror)
try:
    orvane.open(sys.argv[1])
except Exception as e:
    print("open:", type(e).__name__, e.args[0])
"""


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_model_whose_description_is_a_pipe_is_refused(tmp_path):
    # reading the pipe would block the loader thread for ever (and the process's exit
    # with it): run in a child with a time limit so that a regression fails, not hangs
    import subprocess
    import sys

    d = tmp_path / "model"
    d.mkdir()
    os.mkfifo(d / "fixture.json")
    (d / "manifest.json").write_text('{"engine": "ferrin1"}')
    r = subprocess.run([sys.executable, "-c", PIPE_MODEL, str(d)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "create: _InvalidModel that is not a usable avatar / fixture description is not a regular file",
        "open: InvalidAvatar that is not a usable avatar"]


def test_create_loads_model_off_the_loop(model, monkeypatch, tmp_path):
    d = model(engine="lumeth2", audio_samples_per_tick=800, frame_width=416, frame_height=720)
    monkeypatch.setenv("HOME", str(tmp_path))
    seen = {}
    real = AsyncAvatar._load_fixture_blocking

    def spy(self, path):
        import threading
        seen["thread"] = threading.current_thread().name
        seen["path"] = path
        return real(self, path)

    monkeypatch.setattr(AsyncAvatar, "_load_fixture_blocking", spy)

    async def go():
        av = await AsyncAvatar.create(model_path="~/model", verbose=True, batch_workers=9,
                                      quality="high", identity="x", output_size=(64, 48),
                                      input_buffer_size=2, output_buffer_size=3, num_threads=1)
        seen["main"] = __import__("threading").current_thread().name
        return av

    av = arun(go())
    assert seen["thread"] != seen["main"] and seen["path"] == str(d)
    assert av._engine_id == "lumeth2" and av._fixture is not None and av._runtime is not None
    assert av._in_queue.maxsize == 2 and av._out_queue.maxsize == 3 and av._num_threads == 1
    assert av._output_size == (64, 48) and av._running is False
    for attr in ("verbose", "batch_workers", "quality", "identity", "_identity", "_quality"):
        assert not hasattr(av, attr)


def test_create_refuses_a_model_the_loader_fails_on(model, monkeypatch):
    """A loader failure is the streaming API's refusal of the model (also the offline
    API's InvalidAvatar), naming the model and keeping the failure as its cause; an
    ImportError (the installation's fault) passes unchanged."""
    from orvane._errors import InvalidAvatar
    from orvane._exceptions import OrvaneError
    err = OSError("disk says no")

    def bad(self, path):
        raise err

    path = str(model())
    monkeypatch.setattr(AsyncAvatar, "_load_fixture_blocking", bad)
    with pytest.raises(OrvaneError) as ei:
        arun(AsyncAvatar.create(model_path=path))
    assert isinstance(ei.value, InvalidAvatar) and ei.value.__cause__ is err
    assert str(ei.value) == f"that is not a usable avatar ({path}: OSError: disk says no)"
    missing = ImportError("no native core")

    def no_core(self, path):
        raise missing

    monkeypatch.setattr(AsyncAvatar, "_load_fixture_blocking", no_core)
    with pytest.raises(ImportError) as ei:
        arun(AsyncAvatar.create(model_path=path))
    assert ei.value is missing


def test_set_model_on_fresh_instance_and_missing_path_keeps_stream(model):
    a = model("a")
    b = model("b", engine="ferrin2-light", audio_samples_per_tick=800)

    async def go():
        av = AsyncAvatar(output_size=(8, 8))
        await av.set_model(str(a))
        assert av._engine_id == "ferrin1" and av.samples_per_tick == 640
        await av.push_audio(pcm_bytes(tone(640 * 4)), 16000)
        await collect(av, lambda f: f.end_of_speech)
        assert av._running
        with pytest.raises(ModelNotFoundError, match="^Ferrin model not found: "):
            await av.set_model(str(a) + "-missing")
        assert av._running and av._producer_task is not None   # undisturbed
        await av.set_model(str(b))
        assert not av._running and av._producer_task is None
        assert av._engine_id == "ferrin2-light" and av.samples_per_tick == 800 and av.fps == 20
        await av.push_audio(pcm_bytes(tone(800 * 4)), 16000)
        frames = await collect(av, lambda f: f.end_of_speech)
        await av.shutdown()
        return frames

    frames = arun(go())
    assert frames[-1].frame_index == 4 and frames[-1].bgr_image is None   # v2 marker


class _Fx:
    def __init__(self, spt=640, sr=16000, w=512, h=512):
        self.audio_samples_per_tick = spt
        self.audio_sample_rate = sr
        self.frame_width = w
        self.frame_height = h


class _Raises:
    @property
    def audio_samples_per_tick(self):
        raise RuntimeError("broken")

    audio_sample_rate = 16000


@pytest.mark.parametrize("fx,fps", [
    (None, 25),
    (_Fx(640), 25),
    (_Fx(800), 20),
    (_Fx(20000), 1),
    (_Fx(0), 25),
    (_Fx(-5), 25),
    (_Fx(None), 25),
    (_Fx(800, 0), 25),
    (_Fx("800", "16000"), 20),
    (_Fx(800.9), 20),
    (_Raises(), 25),
])
def test_engine_fps_rule(fx, fps):
    av = AsyncAvatar()
    av._fixture = fx
    assert av._engine_fps == fps and av.fps == fps and av.settings.FPS == fps
    assert AsyncAvatar._SettingsProxy.FPS == 25


def test_properties_without_model():
    av = AsyncAvatar(output_size=(10, 20))
    assert av.frame_width is None and av.frame_height is None
    assert av.sample_rate == 16000 and av.video_graph is None
    s = av.settings
    assert (s.FPS, s.INPUT_SAMPLE_RATE, s.PROCESS_IDLE_VIDEO, s.ALLOW_VIDEO_SCRIPT_UPDATE, s.OUTPUT_WIDTH) == \
        (25, 16000, False, True, 1280)
    assert av.settings is not s
    with pytest.raises(RuntimeNotReadyError, match=r"^Fixture not loaded; await create\(\) first\.$"):
        av.samples_per_tick


@pytest.mark.parametrize("output_size,wh", [((1280, 720), (1280, 720)), (None, (512, 384)), (("64", 48.7), (64, 48))])
def test_frame_size(output_size, wh):
    av = AsyncAvatar(output_size=output_size)
    av._fixture = _Fx(800, w=512, h=384)
    assert (av.frame_width, av.frame_height) == wh
    assert av.settings.OUTPUT_WIDTH == 1280


def test_no_op_members():
    av = AsyncAvatar()
    av._fixture = _Fx(800)
    assert arun(av.start()) is None and arun(av.start(room="x", anything=1)) is None
    assert av.set_identity("someone") is None
    assert av.fps == 20 and av.frame_width == 1280
    with pytest.raises(TypeError):
        arun(av.start(1))
    with pytest.raises(TypeError):
        av.set_identity()
    with pytest.raises(ValueError):
        AsyncAvatar._SettingsProxy("x")
    assert AsyncAvatar._SettingsProxy("30").FPS == 30


def test_create_with_the_package_engine_lookup(model):
    """With the package's own container module the engine id comes from the
    avatar's manifest."""
    av = arun(AsyncAvatar.create(model_path=str(model(engine="lumeth2")), output_size=None))
    assert av._engine_id == "lumeth2" and av._is_l2_stream()
    av.cleanup()
