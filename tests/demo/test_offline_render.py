"""The offline road: `python -m orvane render <bundle> <audio> <out.mp4>` renders the demo
face from a real audio file through `orvane.open(...).render(audio, out_mp4=...)`, with the
sound track muxed in; checked with ffprobe and by decoding the file with ffmpeg."""
import json
import math
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from demo import write_wav
from lumeth2_bundle_pack import write_bundle
from orvane._lumeth2._client import isolated_env
from make_demo_bundle import demo_members
from face_sync import SR, frame_rms, lag_profile, mouth_opening, uttered

FW, FH, FPS = 416, 720, 20
MANIFEST = json.dumps({"engine": "lumeth2"}).encode()

pytestmark = pytest.mark.skipif(not (shutil.which("ffmpeg") and shutil.which("ffprobe")),
                                reason="needs the ffmpeg and ffprobe programs")


@pytest.fixture(scope="module")
def avatar(tmp_path_factory):
    pytest.importorskip("ai_edge_litert")
    return write_bundle("qvx", tmp_path_factory.mktemp("offline") / "avatar",
                        {**demo_members(), "manifest.json": MANIFEST})


@pytest.fixture
def quiet_home(tmp_path, monkeypatch):
    """A private home, cache and staging place for the render and its host child."""
    stage = tmp_path / "stage"
    stage.mkdir()
    env = isolated_env(tmp_path, stage)
    env["ORVANE_CACHE_DIR"] = str(tmp_path / "cache")
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    return env


def probe(path) -> dict[str, dict]:
    r = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                        "stream=codec_type,codec_name,width,height,avg_frame_rate,sample_rate,channels,"
                        "nb_read_frames,duration", "-of", "json", str(path)],
                       capture_output=True, check=True, timeout=120)
    return {s["codec_type"]: s for s in json.loads(r.stdout)["streams"]}


def decoded_frames(path) -> list[bytes]:
    raw = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(path), "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], capture_output=True, check=True, timeout=120).stdout
    n = FW * FH * 3
    return [raw[i:i + n] for i in range(0, len(raw), n)]


def test_command_line_renders_a_recording_with_its_sound(avatar, quiet_home, tmp_path):
    """A stereo 44.1 kHz WAV made by ffmpeg: H.264 + AAC, one frame per 50 ms of audio,
    and the decoded file's mouth moving with the speech."""
    seconds = 6.0
    pcm = uttered(seconds, seed=11)
    mono = tmp_path / "mono.wav"
    write_wav(mono, pcm)
    rec = tmp_path / "recording.wav"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(mono), "-ac", "2", "-ar", "44100",
                    str(rec)], check=True, timeout=120)
    out = tmp_path / "out.mp4"
    r = subprocess.run([sys.executable, "-m", "orvane", "render", avatar, str(rec), str(out)],
                       capture_output=True, env=quiet_home, timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.decode().strip() == str(out)

    streams = probe(out)
    v, a = streams["video"], streams["audio"]
    assert (v["codec_name"], v["width"], v["height"], v["avg_frame_rate"]) == ("h264", FW, FH, f"{FPS}/1")
    assert (a["codec_name"], a["channels"]) == ("aac", 1)
    assert int(v["nb_read_frames"]) == math.ceil(seconds * FPS)
    assert abs(float(a["duration"]) - seconds) < 0.1

    frames = decoded_frames(out)
    assert len(frames) == seconds * FPS
    opening = np.array([mouth_opening(f) for f in frames])
    # the resampled sound of the file goes in at 16 kHz: compare with the clip the render saw
    profile = lag_profile(opening, frame_rms(pcm))
    peak = max(profile, key=profile.get)
    shown = {lag: round(r, 3) for lag, r in profile.items()}
    assert peak == 0 and profile[peak] >= 0.8, shown
    # in the file itself every picture goes with its own 50 ms of sound: the host's repeated
    # first frame, a live viewer's delay, is left out
    sound = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(out), "-f", "s16le",
                            "-ar", str(SR), "-ac", "1", "-"], capture_output=True, check=True).stdout
    profile = lag_profile(opening, frame_rms(np.frombuffer(sound, "<i2") / 32768.0))
    shown = {lag: round(r, 3) for lag, r in profile.items()}
    assert max(profile, key=profile.get) == 0 and profile[0] >= 0.8, shown


def test_readme_road_renders_the_demo_bundle(quiet_home, tmp_path):
    """As the README says: make the demo bundle, then render a recording with it."""
    pytest.importorskip("ai_edge_litert")
    tools = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "make_demo_bundle.py")
    subprocess.run([sys.executable, tools, "avatar"], cwd=tmp_path, check=True, capture_output=True,
                   env=quiet_home, timeout=600)
    write_wav(tmp_path / "speech.wav", uttered(2.0, seed=3))
    r = subprocess.run([sys.executable, "-m", "orvane", "render", "avatar.qvx", "speech.wav", "out.mp4"],
                       cwd=tmp_path, capture_output=True, env=quiet_home, timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    assert int(probe(tmp_path / "out.mp4")["video"]["nb_read_frames"]) == 2 * FPS


def test_streamed_audio_is_kept_for_the_sound_track(avatar, quiet_home, tmp_path):
    """Audio given as an iterable of arrays is converted once, rendered, and muxed whole."""
    import orvane

    pcm = uttered(3.0, seed=5)
    pieces = [pcm[i:i + 5000] for i in range(0, pcm.size, 5000)]
    out = tmp_path / "streamed.mp4"
    with orvane.open(avatar) as a:
        assert a.render(iter(pieces), out_mp4=out) == str(out)
    streams = probe(out)
    assert int(streams["video"]["nb_read_frames"]) == 60
    assert abs(float(streams["audio"]["duration"]) - 3.0) < 0.1
    sound = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(out), "-f", "s16le",
                            "-ar", str(SR), "-ac", "1", "-"], capture_output=True, check=True).stdout
    heard = np.frombuffer(sound, "<i2").astype(np.float64) / 32768
    # AAC keeps the loudness curve: the decoded sound's frame loudness tracks the input's
    n = min(heard.size, pcm.size) // 800
    assert np.corrcoef(frame_rms(heard[: n * 800]), frame_rms(pcm[: n * 800]))[0, 1] > 0.95


@pytest.fixture
def command(avatar, quiet_home, tmp_path):
    """Runs `python -m orvane ...` from tmp_path with a short recording (speech.wav) and a
    text file (notes.txt) at hand; returns the exit status and the two outputs as text."""
    write_wav(tmp_path / "speech.wav", uttered(1.0, seed=2))
    (tmp_path / "notes.txt").write_text("not a recording\n")
    (tmp_path / "readonly").mkdir(mode=0o555)

    def run(*args):
        args = [avatar if a == "AVATAR" else a for a in args]
        r = subprocess.run([sys.executable, "-m", "orvane", *args], capture_output=True, text=True,
                           cwd=tmp_path, env=quiet_home, timeout=600)
        return r.returncode, r.stdout, r.stderr

    return run


USAGE = "usage: python -m orvane render <avatar> <audio> <out.mp4>"


@pytest.mark.parametrize("args", [(), ("render",), ("render", "AVATAR", "speech.wav"),
                                  ("render", "AVATAR", "speech.wav", "out.mp4", "extra"),
                                  ("draw", "AVATAR", "speech.wav", "out.mp4")],
                         ids=["nothing", "render-alone", "no-output", "one-too-many", "unknown-command"])
def test_wrong_arguments_print_the_usage(command, args):
    assert command(*args) == (2, "", USAGE + "\n")


@pytest.mark.parametrize("flag", ["-h", "--help"])
def test_asking_for_help_prints_the_usage(command, flag):
    assert command(flag) == (0, USAGE + "\n", "")


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into a read-only folder")
def test_a_read_only_folder_is_refused_before_rendering(command, tmp_path):
    status, out, err = command("render", "AVATAR", "speech.wav", "readonly/out.mp4")
    assert (status, out) == (1, "") and err.startswith("orvane: cannot write readonly/out.mp4"), err
    assert "Traceback" not in err


@pytest.mark.parametrize("args, says", [
    (("render", "missing.qvx", "speech.wav", "out.mp4"), "orvane: no avatar at missing.qvx"),
    (("render", "AVATAR", "missing.wav", "out.mp4"), "orvane: no audio at missing.wav"),
    (("render", "AVATAR", "notes.txt", "out.mp4"), "orvane: could not read that audio (./notes.txt"),
    (("render", "AVATAR", "speech.wav", "no/such/folder/out.mp4"),
     "orvane: cannot write no/such/folder/out.mp4: no folder no/such/folder"),
    (("render", "AVATAR", "speech.wav", "readonly"), "orvane: cannot write readonly: it is a folder"),
], ids=["missing-avatar", "missing-audio", "not-audio", "no-such-folder", "output-is-a-folder"])
def test_failures_say_what_went_wrong_in_one_line(command, tmp_path, args, says):
    """Exit status 1, one line on stderr naming the faulty argument, no traceback and no
    output file left behind."""
    status, out, err = command(*args)
    assert (status, out) == (1, ""), err
    assert err.startswith(says) and err.count("\n") == 1, err
    assert not (tmp_path / "out.mp4").exists()


def test_the_file_is_an_mp4_whatever_its_name(command, tmp_path):
    status, out, err = command("render", "AVATAR", "speech.wav", "clip.video")
    assert (status, out) == (0, "clip.video\n"), err
    streams = probe(tmp_path / "clip.video")
    assert (streams["video"]["codec_name"], streams["audio"]["codec_name"]) == ("h264", "aac")


def test_sigterm_mid_render_leaves_no_part_file(avatar, quiet_home, tmp_path):
    """SIGTERM while the command writes the video (a service stopping it): it ends
    promptly with status 143, its hidden part file and the host it started gone, and a
    file it was replacing left as it was."""
    import signal
    import time

    write_wav(tmp_path / "long.wav", uttered(120.0, seed=5))
    out = tmp_path / "out.mp4"
    out.write_bytes(b"an earlier take")
    p = subprocess.Popen([sys.executable, "-m", "orvane", "render", avatar, "long.wav", "out.mp4"],
                         cwd=tmp_path, env=quiet_home, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 120
        while not any(n.endswith(".part.mp4") and os.path.getsize(tmp_path / n) > 0
                      for n in os.listdir(tmp_path)):
            assert p.poll() is None and time.monotonic() < deadline, p.stderr.read().decode()[-2000:]
            time.sleep(0.05)
        hosts = subprocess.run(["pgrep", "-P", str(p.pid)], capture_output=True, text=True).stdout.split()
        p.send_signal(signal.SIGTERM)
        status = p.wait(timeout=30)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    err = p.stderr.read().decode()
    assert status == 143, err[-2000:]
    assert "Traceback" not in err, err[-2000:]
    assert [n for n in os.listdir(tmp_path) if ".part" in n] == []
    assert out.read_bytes() == b"an earlier take"
    for pid in hosts:
        assert not os.path.exists(f"/proc/{pid}") or open(f"/proc/{pid}/stat").read().split()[2] == "Z"
