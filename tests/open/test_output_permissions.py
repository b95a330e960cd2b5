"""A video rendered over an existing file keeps that file's permissions and group: a
private video re-rendered stays private. Real renders through the writer."""
import os
import shutil
import stat
import wave

import pytest

from cache_fixtures import cache, om, qvx  # noqa: F401

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="needs ffmpeg")


@pytest.fixture
def avatar(om, cache, tmp_path):
    with om.open(qvx(tmp_path / "avatar.qvx")) as a:
        yield a


@pytest.fixture
def speech(tmp_path):
    path = tmp_path / "speech.wav"
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(b"\x10\x20" * 16000)
    return path


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.mark.parametrize("before", [0o600, 0o640, 0o664])
def test_rerender_keeps_the_replaced_files_mode(avatar, speech, tmp_path, before):
    out = tmp_path / "out.mp4"
    out.write_bytes(b"an earlier take")
    os.chmod(out, before)
    assert avatar.render(str(speech), out_mp4=str(out)) == str(out)
    assert out.read_bytes()[4:8] == b"ftyp" and mode_of(out) == before
    assert [p for p in os.listdir(tmp_path) if ".part" in p] == []


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file another group takes the superuser")
def test_rerender_keeps_the_replaced_files_group(avatar, speech, tmp_path):
    out = tmp_path / "out.mp4"
    out.write_bytes(b"an earlier take")
    os.chown(out, -1, 4242)
    os.chmod(out, 0o640)
    avatar.render(str(speech), out_mp4=str(out))
    st = os.stat(out)
    assert st.st_gid == 4242 and stat.S_IMODE(st.st_mode) == 0o640


def test_set_id_bits_never_carry_over(avatar, speech, tmp_path):
    out = tmp_path / "out.mp4"
    out.write_bytes(b"an earlier take")
    os.chmod(out, 0o4750)
    avatar.render(str(speech), out_mp4=str(out))
    assert mode_of(out) == 0o750


def test_new_file_follows_the_umask(avatar, speech, tmp_path):
    out = tmp_path / "new.mp4"
    old = os.umask(0o027)
    try:
        avatar.render(str(speech), out_mp4=str(out))
    finally:
        os.umask(old)
    assert mode_of(out) == 0o640
