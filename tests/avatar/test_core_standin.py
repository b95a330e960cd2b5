"""The frame-runtime stand-in keeps the promises the streaming and offline layers rely on."""

import json

import numpy as np
import pytest

from orvane import _core
from orvane._loader import NativeFixtureLoaderMixin

from .helpers import write_model


def test_fixture_from_directory_or_file(tmp_path):
    d = write_model(tmp_path, engine="lumeth2", audio_samples_per_tick=800, chunks=[21, 32])
    for src in (d, d / _core.FIXTURE_FILE):
        fx = _core.Fixture(src, preferred_ep=_core.EP_AUTO, intra_op_threads=2)
        assert (fx.engine, fx.audio_samples_per_tick, fx.audio_sample_rate) == ("lumeth2", 800, 16000)
        assert (fx.frame_width, fx.frame_height, fx.chunks, fx.intra_op_threads) == (32, 24, (21, 32), 2)
    assert _core.ENGINE_ONLY is False


@pytest.mark.parametrize("text", ["[1]", "{", json.dumps({"audio_samples_per_tick": 0}),
                                  json.dumps({"chunks": [21]}), json.dumps({"chunks": 32})])
def test_bad_fixture_raises_ordinary_error(tmp_path, text):
    p = tmp_path / "f.json"
    p.write_text(text)
    with pytest.raises(ValueError):
        _core.Fixture(p)


def test_ticks_pull_reset_and_painting(tmp_path):
    rt = _core.Runtime(_core.Fixture(write_model(tmp_path)))
    x = np.zeros(640 * 3 + 10, np.float32)
    x[640:1280] = 0.5
    rt.push_audio(x[:700])
    rt.push_audio(x[700:])
    assert rt.ticks_available() == 3
    tags = [_core.frame_tag(rt.pull_frame(-1)[1]) for _ in range(3)]
    assert tags == [(0, 0), (1, 128), (2, 0)]
    with pytest.raises(ValueError, match="cursor past end"):
        rt.pull_frame(-1)
    rt.end_utterance()
    assert rt.ticks_available() == 1          # the partial last tick completes
    rt.reset_stream()
    assert rt.ticks_available() == 0
    img = rt.get_source_frame(0)
    assert img.shape == (24, 32, 3) and img is not rt.get_source_frame(-1)
    rt.close()
    with pytest.raises(RuntimeError):
        rt.ticks_available()


def test_chunk_and_tail_cadence(tmp_path):
    l2 = _core.Runtime(_core.Fixture(write_model(tmp_path, "l2", chunks=[21, 32], audio_samples_per_tick=800)))
    l2.push_audio(np.zeros(800 * 31, np.float32))
    assert l2.ticks_available() == 0
    l2.push_audio(np.zeros(800, np.float32))
    assert l2.ticks_available() == 21
    l2.push_audio(np.zeros(800 * 32, np.float32))
    assert l2.ticks_available() == 53 and l2.samples_for_chunk(1) == 64 * 800
    # Ending the utterance renders the partial last chunk, a partial last tick included.
    l2.push_audio(np.zeros(800 * 10 + 1, np.float32))
    assert l2.ticks_available() == 53
    l2.end_utterance()
    assert l2.ticks_available() == 75
    v2 = _core.Runtime(_core.Fixture(write_model(tmp_path, "v2", tail_ticks=4)))
    v2.push_audio(np.zeros(640 * 10, np.float32))
    assert v2.ticks_available() == 6
    v2.end_utterance()
    assert v2.ticks_available() == 10
    with pytest.raises(ValueError):
        v2.samples_for_chunk(1)


def test_compose_shares_the_tick_cursor(tmp_path):
    rt = _core.Runtime(_core.Fixture(write_model(tmp_path)))
    pcm = np.zeros(640 * 3, np.float32)
    i, img = rt.tick_compose_to_size(pcm, -1, 10, 6)
    assert i == 0 and img.shape == (6, 10, 3)
    rt.push_audio(pcm)
    assert rt.pull_frame(-1)[0] == 1
    assert rt.tick_compose_to_size(pcm, -1, 10, 6)[0] == 2
    with pytest.raises(ValueError, match="status=6"):
        rt.tick_compose_to_size(pcm, -1, 10, 6)


def test_loader_mixin(tmp_path):
    class Owner(NativeFixtureLoaderMixin):
        _num_threads = 3

    NativeFixtureLoaderMixin._register_default_audio_encoder()
    o = Owner()
    d = write_model(tmp_path)
    o._load_fixture_blocking(str(d))
    assert isinstance(o._fixture, _core.Fixture) and isinstance(o._runtime, _core.Runtime)
    assert o._fixture.intra_op_threads == 3 and o._model_path == str(d)
