"""The main job as a user runs it: tools/demo.py writes demo.mp4 through the render-stream
host. The file holds one frame per 50 ms of its sound track, and the mouth read off the
decoded pictures moves with the decoded sound in the same frame."""
import json
import math
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from face_sync import SPF, SR, frame_rms, lag_profile, mouth_opening

FW, FH = 416, 720
TOOLS = os.path.join(os.path.dirname(__file__), "..", "..", "tools")

pytestmark = pytest.mark.skipif(not (shutil.which("ffmpeg") and shutil.which("ffprobe")),
                                reason="needs the ffmpeg and ffprobe programs")


@pytest.fixture(scope="module")
def demo_mp4(tmp_path_factory):
    pytest.importorskip("ai_edge_litert")
    out = tmp_path_factory.mktemp("demo") / "demo.mp4"
    r = subprocess.run([sys.executable, os.path.join(TOOLS, "demo.py"), "--seconds", "4", "--out", str(out)],
                       capture_output=True, timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    return out


def decoded(path, *args) -> bytes:
    return subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(path), *args, "-"],
                          capture_output=True, check=True, timeout=120).stdout


def test_video_ends_with_its_sound_track(demo_mp4):
    r = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                        "stream=codec_type,codec_name,nb_read_frames,duration", "-of", "json", str(demo_mp4)],
                       capture_output=True, check=True, timeout=120)
    streams = {s["codec_type"]: s for s in json.loads(r.stdout)["streams"]}
    v, a = streams["video"], streams["audio"]
    assert (v["codec_name"], a["codec_name"]) == ("h264", "aac")
    assert int(v["nb_read_frames"]) == math.ceil(4.0 * SR / SPF)
    assert abs(float(v["duration"]) - float(a["duration"])) < 0.05, (v["duration"], a["duration"])


def test_mouth_moves_with_the_sound_in_the_same_frame(demo_mp4):
    """Against the file's own decoded sound: the peak sits at lag 0, not one frame late
    (the host's repeated first frame does not go into the file)."""
    raw = decoded(demo_mp4, "-f", "rawvideo", "-pix_fmt", "rgb24")
    n = FW * FH * 3
    opening = np.array([mouth_opening(raw[i:i + n]) for i in range(0, len(raw), n)])
    sound = np.frombuffer(decoded(demo_mp4, "-f", "s16le", "-ac", "1", "-ar", str(SR)), "<i2") / 32768.0
    profile = lag_profile(opening, frame_rms(sound))
    peak = max(profile, key=profile.get)
    shown = {lag: round(r, 3) for lag, r in profile.items()}
    assert peak == 0 and profile[0] >= 0.8, shown
