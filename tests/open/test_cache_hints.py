"""A cache folder that group or others may write (as umask 002 leaves new folders) is
refused with the way out in the message: take their write permission away, or put the
cache elsewhere."""
import os

import pytest

from cache_fixtures import cache, om, qvx  # noqa: F401


def test_group_writable_cache_folder_says_how_to_fix_it(om, cache, tmp_path):
    os.mkdir(os.path.dirname(cache), 0o700)
    old = os.umask(0o002)
    try:
        os.mkdir(cache)
    finally:
        os.umask(old)
    assert os.stat(cache).st_mode & 0o777 == 0o775
    with pytest.raises(om.Failed) as ei:
        om._materialise(qvx(tmp_path / "a.qvx"))
    assert str(ei.value) == (
        "could not prepare that avatar ([Errno 1] the avatar cache folder can be written by group or others: "
        "remove their write permission from it (chmod go-w); set ORVANE_CACHE_DIR to a folder of your own: "
        f"'{cache}')")
    os.chmod(cache, 0o755)  # the fix the message names
    assert om._materialise(qvx(tmp_path / "a.qvx")).startswith(cache)


def test_group_writable_folder_on_the_way_says_how_to_fix_it(om, tmp_path, monkeypatch):
    shared = tmp_path / "home-cache"
    shared.mkdir()
    os.chmod(shared, 0o775)
    monkeypatch.setenv("ORVANE_CACHE_DIR", str(shared / "orvane"))
    with pytest.raises(om.Failed) as ei:
        om._materialise(qvx(tmp_path / "a.qvx"))
    assert str(ei.value) == (
        "could not prepare that avatar ([Errno 1] a folder on the avatar cache's path can be written by group or "
        "others and is not sticky: remove their write permission from it (chmod go-w); set ORVANE_CACHE_DIR to a "
        f"folder of your own: '{shared}')")
