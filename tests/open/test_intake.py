"""Audio intake: bytes, arrays, files (ffmpeg, PyAV fallback), streams, expected frames."""
import os
import pathlib
import shutil
import subprocess
import sys
import types
import wave

import numpy as np
import pytest

import orvane._open as op

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from render_fakes import pcm_seconds  # noqa: E402

HAVE_FFMPEG = shutil.which("ffmpeg") is not None
TYPE_MSG = ("audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, "
            "or an iterable of those; got ")


def reference_pcm(a):
    """The conversion written plainly in numpy."""
    if a.dtype == np.int16:
        return a.tobytes()
    return (np.clip(a, -1.0, 1.0) * 32767.0).astype(np.int16).tobytes()


def write_wav(path, seconds=0.5, rate=8000, channels=2):
    n = int(seconds * rate)
    t = np.arange(n) / rate
    x = (np.sin(2 * np.pi * 440 * t) * 8000).astype(np.int16)
    data = np.repeat(x[:, None], channels, axis=1)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(data.tobytes())
    return path


class Sub(bytes):
    pass


@pytest.mark.parametrize("obj", [b"\x01\x02\x03", bytearray(b"\x01\x02\x03"), memoryview(b"\x01\x02\x03"),
                                 Sub(b"\x01\x02\x03"), memoryview(b"x\x01y\x02z\x03")[1::2]])
def test_bytes_like_are_pcm_unchanged(obj):
    out = op._pcm(obj)
    assert type(out) is bytes and out == b"\x01\x02\x03"


def test_bytes_holding_a_file_name_are_pcm(tmp_path):
    p = write_wav(tmp_path / "a.wav")
    assert op._pcm(str(p).encode()) == str(p).encode()


def test_float_example_from_the_contract():
    out = np.frombuffer(op._pcm(np.array([1.0, -1.0, 0.5, 2.0, -3.0])), np.int16)
    assert out.tolist() == [32767, -32767, 16383, 32767, -32767]


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int16])
@pytest.mark.parametrize("layout", ["flat", "2d", "strided", "fortran"])
def test_arrays_match_numpy_reference(dtype, layout):
    rng = np.random.default_rng(5)
    if dtype == np.int16:
        base = rng.integers(-32768, 32768, size=(40, 6)).astype(np.int16)
    else:
        base = (rng.standard_normal((40, 6)) * 0.7).astype(dtype)
        # values whose product lands next to an integer boundary in the element type
        base[0, :4] = np.array([16383.5 / 32767, -16383.5 / 32767, 1 / 32767, np.nextafter(1, 0)], dtype=dtype)
    a = {"flat": base.ravel(), "2d": base, "strided": base[::2, ::3], "fortran": np.asfortranarray(base)}[layout]
    assert op._pcm(a) == reference_pcm(a)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_float_specials_and_odd_lengths(dtype):
    specials = np.array([np.inf, -np.inf, -0.0, 1e-30, -1e-30, 0.99999, -0.99999, 1.0000001, 3e38, -3e38,
                         32766.5 / 32767, 0.5, -0.5], dtype=dtype)
    for n in range(1, len(specials) + 1):  # every tail length of the vector loop
        a = specials[:n]
        assert op._pcm(a) == reference_pcm(a)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_float_nan_becomes_zero(dtype):
    a = np.full(19, 0.25, dtype)
    a[[0, 7, 8, 18]] = np.nan  # in vector lanes and in the scalar tail
    out = np.frombuffer(op._pcm(a), np.int16)
    assert out[[0, 7, 8, 18]].tolist() == [0] * 4 and (np.delete(out, [0, 7, 8, 18]) == 8191).all()


@pytest.mark.parametrize("a, name", [(np.zeros(3, np.float16), "float16"), (np.zeros(3, np.int32), "int32"),
                                     (np.zeros(3, ">i2"), ">i2")])
def test_other_element_types_refused(a, name):
    with pytest.raises(TypeError) as e:
        op._pcm(a)
    assert str(e.value) == "audio arrays must be int16, or float32/float64 in [-1, 1]; got " + name


@pytest.mark.parametrize("obj, name", [(3, "int"), (None, "NoneType"), ([b"x"], "list"), (np.float32(1), "float32")])
def test_unsupported_objects(obj, name):
    with pytest.raises(TypeError) as e:
        op._pcm(obj)
    assert str(e.value) == TYPE_MSG + name


def test_missing_numpy_means_arrays_are_unsupported(monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)
    with pytest.raises(TypeError, match="got ndarray$"):
        op._pcm(np.zeros(2, np.int16))


@pytest.mark.parametrize("kind, name", [
    ("missing", "nothing.wav"),
    ("directory", "nothing.wav"),
    ("missing", "bad\udcff.wav"),      # an undecodable file name, as os.listdir gives it
    ("missing", "a.wav\x00tail"),      # the path names no file, even though a.wav exists
])
def test_no_audio_at_path(tmp_path, kind, name):
    (tmp_path / "a.wav").write_bytes(b"RIFF")
    p = tmp_path / name
    if kind == "directory":
        p.mkdir()
    with pytest.raises(FileNotFoundError) as e:
        op._pcm(p)
    assert e.value.args == ("no audio at " + str(p),)



class FakeRun:
    def __init__(self, rc=0, out=b"PCM", err=b"", raises=None):
        self.rc, self.out, self.err, self.raises = rc, out, err, raises
        self.calls = []

    def __call__(self, args, **kw):
        self.calls.append((args, kw))
        if self.raises is not None:
            raise self.raises
        return types.SimpleNamespace(returncode=self.rc, stdout=self.out, stderr=self.err)


def test_ffmpeg_call_exact(tmp_path, monkeypatch):
    p = write_wav(tmp_path / "a.wav")
    run = FakeRun(out=b"\x05\x00")
    monkeypatch.setattr(op.subprocess, "run", run)
    assert op._pcm(pathlib.Path(p)) == b"\x05\x00"
    (args, kw), = run.calls
    assert args == ["ffmpeg", "-nostdin", "-loglevel", "error",
                    "-format_whitelist", "wav,mp3,flac,ogg,mov,mp4,m4a,matroska,webm,aac",
                    "-protocol_whitelist", "file", "-i", str(p), "-ar", "16000", "-ac", "1",
                    "-t", repr(op._DECODE_SECONDS + 1.0), "-f", "s16le", "-"]
    assert kw == {"capture_output": True, "stdin": op.subprocess.DEVNULL, "timeout": op._DECODE_TIMEOUT}


def test_ffmpeg_failure_is_refused_with_its_stderr(tmp_path, monkeypatch):
    p = write_wav(tmp_path / "a.wav")
    monkeypatch.setattr(op.subprocess, "run", FakeRun(rc=1, err=b"\xffbad " + b"x" * 400))
    with pytest.raises(op.Failed) as e:
        op._pcm(str(p))
    assert e.value.args[0] == "could not read that audio"
    assert e.value.detail == ("\ufffdbad " + "x" * 400)[:300]
    assert e.value.__cause__ is None


def test_missing_ffmpeg_falls_back_to_pyav_only_for_not_found(tmp_path, monkeypatch):
    p = write_wav(tmp_path / "a.wav")
    seen = []
    monkeypatch.setattr(op, "_decode", lambda path: seen.append(path) or b"AV")
    monkeypatch.setattr(op.subprocess, "run", FakeRun(raises=FileNotFoundError("ffmpeg")))
    assert op._pcm(str(p)) == b"AV" and seen == [str(p)]
    monkeypatch.setattr(op.subprocess, "run", FakeRun(raises=PermissionError("no")))
    with pytest.raises(PermissionError):
        op._pcm(str(p))


@pytest.mark.skipif(not HAVE_FFMPEG, reason="no ffmpeg")
def test_real_ffmpeg_resamples_to_16k_mono(tmp_path):
    p = write_wav(tmp_path / "a.wav", seconds=0.5, rate=8000, channels=2)
    out = op._pcm(str(p))
    assert abs(len(out) - 16000) <= 64  # 0.5 s of 16 kHz int16
    junk = tmp_path / "junk.wav"
    junk.write_bytes(b"not audio at all" * 10)
    with pytest.raises(op.Failed) as e:
        op._pcm(str(junk))
    assert e.value.args[0] == "could not read that audio" and 0 < len(e.value.detail) <= 300


def test_pyav_decoder(tmp_path, monkeypatch):
    p = write_wav(tmp_path / "a.wav", seconds=0.5, rate=8000, channels=2)
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))  # no ffmpeg to start
    out = op._pcm(str(p))
    assert type(out) is bytes and abs(len(out) - 16000) <= 400
    x = np.frombuffer(out, np.int16)
    assert np.abs(x).max() > 4000  # the tone survived


@pytest.mark.parametrize("kind", ["junk", "empty"])
def test_pyav_refusals(tmp_path, kind):
    p = tmp_path / "a.wav"
    if kind == "junk":
        p.write_bytes(b"\x00garbage" * 20)
    else:
        write_wav(p, seconds=0)
    with pytest.raises(op.Failed) as e:
        op._decode(str(p))
    assert e.value.args[0] == "could not read that audio"
    assert e.value.__cause__ is None and e.value.__suppress_context__
    if kind == "empty":
        assert isinstance(e.value.detail, ValueError) and e.value.detail.args == ("no audio in that file",)
    else:
        assert isinstance(e.value.detail, Exception)


class FakeAV(types.ModuleType):
    """PyAV double: records the call order; `resampled` maps a decoded frame (or None,
    the flush) to what resample() returns."""

    def __init__(self, decoded, resampled, decode_error=None):
        super().__init__("av")
        self.log, self.decoded, self.resampled, self.decode_error = [], decoded, resampled, decode_error
        av = self

        class Container:
            def decode(self, **kw):
                av.log.append(("decode", kw))
                for f in av.decoded:
                    yield f
                if av.decode_error is not None:
                    raise av.decode_error

            def close(self):
                av.log.append("close")

        class Resampler:
            def __init__(self, **kw):
                av.log.append(("resampler", kw))

            def resample(self, f):
                av.log.append(("resample", f))
                return av.resampled[f]

        self.Container, self.AudioResampler = Container, Resampler

    def open(self, path, **kw):
        self.log.append(("open", path, kw))
        return self.Container()


class Out:
    def __init__(self, samples):
        self.a = np.array([samples], np.int16)

    def to_ndarray(self):
        return self.a


def test_pyav_call_order_and_flush(monkeypatch):
    av = FakeAV(["f1", "f2"], {"f1": [Out([1, 2]), Out([3])], "f2": None, None: [Out([4])]})
    monkeypatch.setitem(sys.modules, "av", av)
    assert op._decode("a.wav") == np.array([1, 2, 3, 4], np.int16).tobytes()
    whitelists = {"container_options": {"format_whitelist": "wav,mp3,flac,ogg,mov,mp4,m4a,matroska,webm,aac",
                              "protocol_whitelist": "file"}}
    # Each frame is resampled as it is decoded (the decoded frames of a whole file are
    # never held), the flush once the container is closed.
    assert av.log == [("open", "./a.wav", whitelists),
                      ("resampler", {"format": "s16", "layout": "mono", "rate": 16000}),
                      ("decode", {"audio": 0}), ("resample", "f1"), ("resample", "f2"), "close",
                      ("resample", None)]


def test_pyav_decode_error_closes_and_refuses(monkeypatch):
    err = RuntimeError("bad packet")
    av = FakeAV(["f1"], {"f1": None}, decode_error=err)
    monkeypatch.setitem(sys.modules, "av", av)
    with pytest.raises(op.Failed) as e:
        op._decode("a.wav")
    assert e.value.detail is err and e.value.__cause__ is None and e.value.__suppress_context__
    assert av.log[-1] == "close" and ("resample", None) not in av.log  # no flush after a failure


def test_no_ffmpeg_and_no_pyav(tmp_path, monkeypatch):
    p = write_wav(tmp_path / "a.wav")
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    monkeypatch.setitem(sys.modules, "av", None)
    with pytest.raises(op.Failed) as e:
        op._pcm(str(p))
    assert e.value.args[0] == "could not read that audio" and isinstance(e.value.detail, ImportError)
    assert e.value.__cause__ is None


# ---- file names the decoders would read as something else ----

ODD_NAMES = ["-", "take:1.wav", "pipe:0", "file:x.flac", "-i"]


@pytest.fixture(scope="module")
def encoded(tmp_path_factory):
    """Real files of one 0.6 s tone, encoded by ffmpeg: {format: path}."""
    if not HAVE_FFMPEG:
        pytest.skip("no ffmpeg")
    d = tmp_path_factory.mktemp("encoded")
    out = {}
    for fmt, opts in [("wav", ["-ac", "2", "-ar", "44100"]), ("mp3", ["-ac", "2", "-ar", "44100"]),
                      ("flac", ["-ac", "1", "-ar", "22050"])]:
        p = d / f"tone.{fmt}"
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi",
                        "-i", "sine=frequency=440:sample_rate=44100:duration=0.6", *opts, str(p)],
                       check=True, stdin=subprocess.DEVNULL, timeout=60)
        out[fmt] = p
    return out


@pytest.mark.parametrize("decoder", ["ffmpeg", "pyav"])
@pytest.mark.parametrize("fmt", ["wav", "mp3", "flac"])
def test_odd_file_names_are_files(encoded, tmp_path, monkeypatch, decoder, fmt):
    """A relative name is the file of that name, never standard input or a protocol,
    absolute or relative, for the ffmpeg child and for the PyAV fallback."""
    if decoder == "pyav":
        monkeypatch.setenv("PATH", str(tmp_path / "empty"))  # no ffmpeg to start
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    shutil.copy(encoded[fmt], "plain")
    want = op._pcm("plain")
    assert abs(len(want) - 19200) <= 2400 and np.abs(np.frombuffer(want, np.int16)).max() > 1000
    for name in ODD_NAMES:
        shutil.copy(encoded[fmt], name)
        shutil.copy(encoded[fmt], tmp_path / "sub" / name)
        assert op._pcm(name) == want, name
        assert op._pcm(pathlib.Path(name)) == want, name
        assert op._pcm(os.path.join("sub", name)) == want, name
        assert op._pcm(str(tmp_path / name)) == want, name
        assert op._pcm(BytesPath(name)) == want, name


class BytesPath:
    """A path object whose path protocol gives bytes."""

    def __init__(self, name):
        self.name = name

    def __fspath__(self):
        return os.fsencode(self.name)


@pytest.mark.skipif(not HAVE_FFMPEG, reason="no ffmpeg")
def test_file_named_dash_is_not_the_callers_input(encoded, tmp_path):
    """A caller whose own standard input holds other audio decodes the file named "-"."""
    shutil.copy(encoded["wav"], tmp_path / "-")
    shutil.copy(encoded["wav"], tmp_path / "plain.wav")
    other = write_wav(tmp_path / "other.wav", seconds=3, rate=16000, channels=1).read_bytes()
    script = ("import sys, orvane._open as op\n"
              "a, b = op._pcm('-'), op._pcm('plain.wav')\n"
              "print(len(a), len(b), a == b)\n")
    child = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, input=other,
                           capture_output=True, timeout=120)
    out, err = child.stdout, child.stderr
    assert out.split()[2:] == [b"True"], (out, err)


def test_whole_clip_decides_clip_or_stream(tmp_path, monkeypatch):
    monkeypatch.setattr(op.subprocess, "run", FakeRun(out=b"FILE"))
    p = write_wav(tmp_path / "a.wav")
    assert op._whole_clip(b"ab") == b"ab"
    assert op._whole_clip(str(p)) == b"FILE" and op._whole_clip(p) == b"FILE"
    assert op._whole_clip(np.zeros(2, np.int16)) == b"\0" * 4
    assert op._whole_clip([b"ab"]) is None
    assert op._whole_clip(np.zeros(2, np.float16)) is None  # refused dtype: streamed instead
    started = []

    def gen():
        started.append(1)
        yield b"x"

    assert op._whole_clip(gen()) is None and started == []
    with pytest.raises(TypeError, match="got int$"):
        op._whole_clip(5)


def test_chunks_lazy_one_chunk_per_item(tmp_path, monkeypatch):
    run = FakeRun(out=b"FILE")
    monkeypatch.setattr(op.subprocess, "run", run)
    p = write_wav(tmp_path / "a.wav")
    seq = op._chunks([b"ab", np.array([0.5], np.float32), str(p)])
    it = iter(seq)
    assert next(it) == b"ab" and next(it) == np.int16(16383).tobytes()
    assert run.calls == []  # the file is decoded only when its chunk is asked for
    assert next(it) == b"FILE" and len(run.calls) == 1
    with pytest.raises(StopIteration):
        next(it)


def test_chunks_of_a_clip_and_of_bad_items():
    assert list(op._chunks(b"", None)) == [b""]
    assert list(op._chunks("ignored", b"CLIP")) == [b"CLIP"]
    it = iter(op._chunks([b"a", [b"nested"], b"c"]))
    assert next(it) == b"a"
    with pytest.raises(TypeError, match="got list$"):
        next(it)
    with pytest.raises(StopIteration):
        next(it)  # an error ends the sequence
    f16 = iter(op._chunks(np.zeros(3, np.float16)))
    with pytest.raises(TypeError, match="got float16$"):
        next(f16)
    assert list(op._chunks(iter([]))) == []


@pytest.mark.parametrize("clip, fps, expected", [
    (pcm_seconds(1), 25, 25), (b"\0" * 960, 25, None), (pcm_seconds(1), None, None), (pcm_seconds(1), 0, None),
    (None, 25, None), (b"", 25, None), (pcm_seconds(2.5), 20, 50), (pcm_seconds(1), 29.97, 29),
])
def test_expected_frames(clip, fps, expected):
    got = op._expected_frames(clip, fps)
    assert got == expected and (got is None or type(got) is int)
