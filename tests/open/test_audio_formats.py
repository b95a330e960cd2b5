"""Audio files are read as plain audio only: a playlist saved under an audio name is
refused (never the other media it names), a live one at once, and every decode is
bounded in time and in length. Real files made by ffmpeg, decoded by the ffmpeg
program and by the PyAV fallback."""
import os
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import orvane._open as op

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="no ffmpeg")

DECODERS = ["ffmpeg", "pyav"]


def make(path, seconds=1.0, freq=300):
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                    f"sine=frequency={freq}:sample_rate=44100:duration={seconds}", "-ac", "2", str(path)],
                   check=True, stdin=subprocess.DEVNULL, timeout=120)
    return path


def use(decoder, monkeypatch, tmp_path):
    if decoder == "pyav":
        pytest.importorskip("av")
        monkeypatch.setenv("PATH", str(tmp_path / "no-programs"))  # no ffmpeg to start


def playlist(path, segment, live=False):
    """An HLS playlist naming `segment`, saved at `path` (about 70 bytes)."""
    end = "" if live else "#EXT-X-ENDLIST\n"
    path.write_text(f"#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n{segment}\n{end}")
    return path


def decoders_of(marker):
    """Processes still running whose command line names `marker`."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read()
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if marker.encode() in cmd and state != "Z":
            found.append((int(pid), cmd))
    return found


@pytest.mark.parametrize("decoder", DECODERS)
@pytest.mark.parametrize("fmt", ["wav", "mp3", "flac", "ogg", "m4a", "mkv"])
def test_plain_audio_still_decodes(tmp_path, monkeypatch, decoder, fmt):
    p = make(tmp_path / f"speech.{fmt}", seconds=1.0)
    use(decoder, monkeypatch, tmp_path)
    pcm = np.frombuffer(op._pcm(str(p)), np.int16)
    assert abs(pcm.size - 16000) <= 1200 and np.abs(pcm).max() > 1000


@pytest.mark.parametrize("decoder", DECODERS)
def test_playlist_named_like_audio_is_refused_not_followed(tmp_path, monkeypatch, decoder):
    """A server rendering an uploaded "speech.wav" must not put another file of its own
    (here a private recording beside it) into the video's sound."""
    make(tmp_path / "private.flac", seconds=1.0, freq=1000)
    upload = playlist(tmp_path / "speech.wav", "private.flac")
    assert os.path.getsize(upload) < 100
    use(decoder, monkeypatch, tmp_path)
    with pytest.raises(op.Failed) as e:
        op._pcm(str(upload))
    assert e.value.args[0] == "could not read that audio"


LIVE = """
import sys, orvane._open as op
try:
    op._pcm(sys.argv[1])
except op.Failed as e:
    print("refused:", e.args[0])
else:
    print("decoded")
"""


def test_live_playlist_is_refused_at_once_and_leaves_no_decoder(tmp_path):
    """A playlist without an end is reloaded for ever by a decoder that follows it: the
    refusal comes at once, and no decoder is left running."""
    make(tmp_path / "part.flac", seconds=1.0)
    upload = playlist(tmp_path / "speech.wav", "part.flac", live=True)
    proc = subprocess.Popen([sys.executable, "-c", LIVE, str(upload)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
        else:
            for pid, _ in decoders_of(str(upload)):
                os.kill(pid, signal.SIGKILL)
    assert out.decode().strip() == "refused: could not read that audio", err.decode()[-2000:]


@pytest.mark.parametrize("decoder", DECODERS)
def test_decode_past_its_deadline_is_refused_and_the_child_reaped(tmp_path, monkeypatch, decoder):
    p = make(tmp_path / "long.wav", seconds=30.0)
    use(decoder, monkeypatch, tmp_path)
    monkeypatch.setattr(op, "_DECODE_TIMEOUT", 0.0)
    with pytest.raises(op.Failed) as e:
        op._pcm(str(p))
    assert e.value.args[0] == "could not read that audio"
    assert str(e.value.detail) == "the decoder took longer than 0.0 s"
    assert decoders_of(str(p)) == []  # killed and reaped, not left behind


@pytest.mark.parametrize("decoder", DECODERS)
def test_audio_longer_than_the_bound_is_refused(tmp_path, monkeypatch, decoder):
    long, short = make(tmp_path / "long.flac", seconds=3.0), make(tmp_path / "short.flac", seconds=1.5)
    use(decoder, monkeypatch, tmp_path)
    monkeypatch.setattr(op, "_DECODE_SECONDS", 2.0)
    assert abs(len(op._pcm(str(short))) - 48000) <= 2400
    with pytest.raises(op.Failed) as e:
        op._pcm(str(long))
    assert e.value.args[0] == "could not read that audio" and e.value.detail == "the audio is longer than 2.0 s"
