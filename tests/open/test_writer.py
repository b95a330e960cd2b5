"""The offline video writer behind `render(audio, out_mp4=...)` and `python -m orvane render`:
output names ffmpeg would read as something else, and a render that fails midway.
Real audio made by ffmpeg, real MP4 files checked with ffprobe."""
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from cache_fixtures import cache, om, qvx  # noqa: F401

pytestmark = pytest.mark.skipif(not (shutil.which("ffmpeg") and shutil.which("ffprobe")),
                                reason="needs the ffmpeg and ffprobe programs")

FPS = 25  # the session stand-in's frame rate


@pytest.fixture
def speech(tmp_path):
    """One second of a stereo 44.1 kHz WAV made by ffmpeg."""
    path = tmp_path / "speech.wav"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                    "sine=frequency=220:duration=1:sample_rate=44100", "-ac", "2", str(path)],
                   check=True, timeout=120)
    return path


def video_frames(path) -> int:
    r = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v",
                        "-show_entries", "stream=nb_read_frames", "-of", "json", str(path)],
                       capture_output=True, check=True, timeout=120)
    return int(json.loads(r.stdout)["streams"][0]["nb_read_frames"])


@pytest.mark.parametrize("name", ["take:1.mp4", "my take ü.mp4", "take:2/out.mp4"])
def test_command_line_writes_the_file_named(cache, tmp_path, speech, name):
    """A relative output name is a file in the working folder, never a protocol."""
    work = tmp_path / "work"
    (work / "take:2").mkdir(parents=True)
    qvx(work / "avatar.qvx")
    shutil.move(speech, work / "speech.wav")
    before = set(os.listdir(work))
    r = subprocess.run([sys.executable, "-m", "orvane", "render", "avatar.qvx", "speech.wav", name],
                       cwd=work, capture_output=True, stdin=subprocess.DEVNULL, timeout=300,
                       env=dict(os.environ, ORVANE_CACHE_DIR=os.path.dirname(cache)))
    assert r.returncode == 0, r.stderr.decode()[-2000:]
    assert r.stdout.decode().strip() == name
    assert video_frames(work / name) == FPS
    made = set(os.listdir(work)) - before
    assert made <= {name}, made  # nothing else left beside it
    assert os.listdir(work / "take:2") == ([] if "/" not in name else [os.path.basename(name)])


def test_failed_render_leaves_the_file_there_untouched(om, cache, tmp_path):
    """Audio that fails after frames were written: the user's file keeps its bytes, and
    no cut-short video or scratch file is left."""
    out = tmp_path / "out.mp4"
    out.write_bytes(b"the user's own video")
    pcm = (np.sin(np.arange(32000) / 16000 * 2 * np.pi * 220) * 16000).astype("<i2").tobytes()
    with om.open(qvx(tmp_path / "avatar.qvx")) as a:
        before = sorted(os.listdir(tmp_path))
        with pytest.raises(om.Failed, match="the render stopped"):
            a.render([pcm, pcm, str(tmp_path / "missing.wav")], out_mp4=out)
    assert out.read_bytes() == b"the user's own video"
    assert sorted(os.listdir(tmp_path)) == before


def test_video_with_no_frame_within_the_audio_is_refused(tmp_path):
    """An engine that renders a whole chunk for empty speech: every frame lies past the
    end of the audio, and an empty file must not be reported as the video."""
    import orvane._open as op
    from render_fakes import FakeEngine

    frame = np.zeros((48, 64, 3), np.uint8)
    out = tmp_path / "out.mp4"
    a = op.Avatar(FakeEngine(per_chunk=lambda c: [frame] * 22, fps=20), "lumeth2")
    with pytest.raises(op.Failed, match="no frames came out of that render") as e:
        a.render(b"", out_mp4=out)
    assert e.value.detail == "engine=lumeth2 gave no frame within 0 samples of audio"
    assert os.listdir(tmp_path) == []
    assert a.render(b"\0\0" * 800, out_mp4=out) == str(out)  # 50 ms: one frame
    assert video_frames(out) == 1
