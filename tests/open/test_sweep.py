"""The cache eviction sweep."""
import os
import pathlib
import shutil
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from cache_fixtures import Child, cache, dead_pid, om  # noqa: E402,F401

HOUR = 3600


@pytest.fixture
def avatars(cache, monkeypatch):
    os.makedirs(cache)
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0.000001")  # a cap of 1000 bytes
    return cache


def make(avatars, name, size, idle, manifest=True) -> str:
    d = os.path.join(avatars, name)
    os.makedirs(d)
    if manifest:
        pathlib.Path(d, "manifest.json").write_bytes(b"{}")
    pathlib.Path(d, "data").write_bytes(b"x" * (size - (2 if manifest else 0)))
    t = time.time() - idle
    os.utime(d, (t, t))
    return d


def names(avatars):
    return sorted(os.listdir(avatars))


def E(i):
    return f"sha256-{i:032x}"


def test_under_cap_removes_only_stale_scratch(om, avatars):
    make(avatars, E(1), 300, 5 * HOUR)
    make(avatars, E(2), 300, 5 * HOUR)
    make(avatars, E(3) + f".tmp.{dead_pid()}", 5000, 2 * HOUR, manifest=False)  # never counted
    assert om._sweep(avatars, os.path.join(avatars, E(9))) is None
    assert names(avatars) == [E(1), E(2)]


def test_longest_idle_goes_first_until_it_fits(om, avatars):
    make(avatars, E(1), 600, 3 * HOUR)
    make(avatars, E(2), 600, 5 * HOUR)
    make(avatars, E(3), 100, 4 * HOUR)
    om._sweep(avatars, "")
    assert names(avatars) == [E(1), E(3)]  # 1300 -> 700: stops at the cap


def test_equal_idle_takes_larger_then_greater_path(om, avatars, monkeypatch):
    t = time.time() - 5 * HOUR
    for i, size in ((1, 400), (2, 700), (3, 400)):
        make(avatars, E(i), size, 0)
        os.utime(os.path.join(avatars, E(i)), (t, t))
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0.0000007")  # 700
    order = []
    real = shutil.rmtree
    # An evicted entry leaves its name first (moved aside as a leftover of ours), then goes.
    monkeypatch.setattr(shutil, "rmtree",
                        lambda p, **kw: (order.append(os.path.basename(p).split(".tmp.")[0]), real(p, **kw)))
    om._sweep(avatars, "")
    assert order == [E(2), E(3)]  # 1500 -> 800 -> 400 <= 700


def test_protected_entries_survive(om, avatars):
    young = make(avatars, E(1), 600, 59 * 60)
    keep = make(avatars, E(2), 5000, 9 * HOUR)
    held = make(avatars, E(3), 600, 8 * HOUR)
    make(avatars, E(4), 600, 7 * HOUR)
    om._hold(held)
    os.utime(held, (time.time() - 8 * HOUR,) * 2)
    om._sweep(avatars, keep)
    # keep alone is over the cap and counts toward the total, so E(4) goes;
    # the young and the held entry stay whatever the total.
    assert names(avatars) == [E(1), E(2), E(3)]
    assert os.path.isdir(young)


def test_entry_held_by_another_process_survives(om, avatars, monkeypatch):
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0")
    held = make(avatars, E(1), 600, 8 * HOUR)
    make(avatars, E(2), 600, 7 * HOUR)
    child = Child("om._hold(sys.argv[1]); print('held', flush=True); sys.stdin.readline()\n", held)
    assert child.line() == "held"
    os.utime(held, (time.time() - 8 * HOUR,) * 2)
    om._sweep(avatars, "")
    assert names(avatars) == [E(1)]
    child.send()
    child.finish()
    om._sweep(avatars, "")
    assert names(avatars) == []


@pytest.mark.parametrize("form", ["{pid}", "{pid}.0123456789abcdef"])  # as made before, and now
@pytest.mark.parametrize("idle, pid, removed", [
    (2 * HOUR, "dead", True), (2 * HOUR, "live", False), (25 * HOUR, "live", True),
    (30 * 60, "dead", False), (2 * HOUR, "huge", True),
])
def test_scratch_directories(om, avatars, idle, pid, removed, form):
    pid = {"dead": dead_pid(), "live": os.getpid(), "huge": 10**25}[pid]
    name = E(1) + ".tmp." + form.format(pid=pid)
    make(avatars, name, 10, idle, manifest=False)
    om._sweep(avatars, "")
    assert names(avatars) == ([] if removed else [name])


@pytest.mark.parametrize("form", ["{pid}", "{pid}.0123456789abcdef"])
def test_locked_scratch_directory_is_an_unpack_in_progress(om, avatars, form):
    """The process id in a scratch name may belong to another PID namespace (a
    container sharing the cache volume): a scratch folder someone holds locked is
    an unpack still running there, left alone whatever its age."""
    import fcntl
    d = make(avatars, E(1) + ".tmp." + form.format(pid=dead_pid()), 10, 30 * HOUR, manifest=False)
    fd = os.open(d, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        om._sweep(avatars, "")
        assert names(avatars) == [os.path.basename(d)]
    finally:
        os.close(fd)
    om._sweep(avatars, "")
    assert names(avatars) == []


def test_sparse_file_counts_what_it_takes_on_disk(om, avatars, monkeypatch):
    """A few kilobytes naming a 2 GiB hole must not push idle entries out of a
    cache whose real use fits its cap."""
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0.001")  # 1 MB
    keep = make(avatars, E(1), 600, 0)
    with open(os.path.join(keep, "hole.bin"), "wb") as f:
        f.truncate(2 << 30)
        f.seek(1 << 30)
        f.write(b"x")
    make(avatars, E(2), 600, 5 * HOUR)
    make(avatars, E(3), 600, 6 * HOUR)
    assert om._du(keep) < 64 << 10
    om._sweep(avatars, keep)
    assert names(avatars) == [E(1), E(2), E(3)]


def test_hidden_files_and_links_are_left_alone(om, avatars, tmp_path, monkeypatch):
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0.0000005")  # 500
    make(avatars, ".idx", 5000, 9 * HOUR, manifest=False)
    pathlib.Path(avatars, "loose-file").write_bytes(b"x" * 5000)
    outside = make(str(tmp_path), "outside", 5000, 9 * HOUR)
    os.symlink(outside, os.path.join(avatars, "link"))
    make(avatars, E(1), 600, 9 * HOUR)
    make(avatars, E(2), 300, 8 * HOUR)
    om._sweep(avatars, "")
    assert names(avatars) == sorted([".idx", E(2), "link", "loose-file"])  # 900 -> 300
    assert os.path.isdir(outside)


def test_removal_that_leaves_something_keeps_the_total(om, avatars, monkeypatch):
    make(avatars, E(1), 600, 9 * HOUR)
    make(avatars, E(2), 600, 8 * HOUR)
    real = shutil.rmtree

    def stubborn(p, **kw):
        if os.path.basename(p).startswith(E(1)):
            os.remove(os.path.join(p, "data"))  # partly removed
            return
        real(p, **kw)

    monkeypatch.setattr(shutil, "rmtree", stubborn)
    om._sweep(avatars, "")
    # E(1) still counted in full, so E(2) went too; what is left of E(1) no
    # longer carries the entry's name but a leftover's, for a later pass.
    (left,) = names(avatars)
    assert left.startswith(E(1) + ".tmp.") and om._TMP_RE.match(left).group(1) == str(os.getpid())


@pytest.mark.parametrize("cap", ["nan", "inf", "-inf"])
def test_cap_that_cannot_be_computed_removes_nothing(om, avatars, monkeypatch, cap):
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", cap)
    make(avatars, E(1), 600, 9 * HOUR)
    make(avatars, E(2) + f".tmp.{dead_pid()}", 10, 2 * HOUR, manifest=False)
    om._sweep(avatars, "")
    assert len(names(avatars)) == 2


def test_zero_cap_removes_every_idle_unheld_entry(om, avatars, monkeypatch):
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "-1")
    make(avatars, E(1), 600, 2 * HOUR)
    make(avatars, E(2), 600, 30 * 60)
    om._sweep(avatars, "")
    assert names(avatars) == [E(2)]


def test_errors_end_the_pass_quietly(om, cache, tmp_path, monkeypatch):
    assert om._sweep(str(tmp_path / "missing"), "") is None
    assert om._sweep(None, None) is None
    monkeypatch.chdir(tmp_path)
    make(str(tmp_path), "old", 5000, 9 * HOUR, manifest=False)
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0")
    om._sweep("", "")  # an empty path is no directory, not the working one
    assert os.path.isdir(tmp_path / "old")

    os.makedirs(cache)
    make(cache, E(1), 600, 9 * HOUR)

    def boom(path):
        raise RuntimeError("du failed")

    monkeypatch.setattr(om, "_du", boom)
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0")
    assert om._sweep(cache, "") is None
    assert names(cache) == [E(1)]


def test_interruption_is_not_absorbed(om, avatars, monkeypatch):
    make(avatars, E(1), 600, 9 * HOUR)

    def interrupted(path):
        raise KeyboardInterrupt

    monkeypatch.setattr(om, "_du", interrupted)
    with pytest.raises(KeyboardInterrupt):
        om._sweep(avatars, "")


def test_entry_opened_between_probe_and_removal_survives(om, avatars, monkeypatch):
    """Another process touches the entry (as every open does) right after our probe."""
    make(avatars, E(1), 600, 9 * HOUR)
    make(avatars, E(2), 600, 8 * HOUR)
    real = om._in_use

    def probe_then_open(path, idle):
        used = real(path, idle)
        if path.endswith(E(1)):
            os.utime(path)
        return used

    monkeypatch.setattr(om, "_in_use", probe_then_open)
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0")
    om._sweep(avatars, "")
    assert names(avatars) == [E(1)]


def test_keep_is_compared_by_path(om, avatars):
    make(avatars, E(1), 600, 9 * HOUR)
    make(avatars, E(2), 600, 9 * HOUR)
    om._sweep(avatars, os.path.join(avatars, E(1)))
    assert names(avatars) == [E(1)]


def test_sweep_after_unpack_evicts_old_entries(om, avatars, tmp_path):
    """End to end: a fresh unpack sweeps, keeping the new entry."""
    from cache_fixtures import qvx
    old = make(avatars, E(1), 5000, 9 * HOUR)
    dest = om._materialise(qvx(tmp_path / "a.qvx"))
    assert not os.path.exists(old) and os.path.isdir(dest)


@pytest.mark.parametrize("kind, idle, pid, removed", [
    ("entry", 3600, None, True), ("entry", 3599.5, None, False),
    ("scratch", 3600, "dead", False), ("scratch", 3600.5, "dead", True),
    ("scratch", 86400, "live", False), ("scratch", 86400.5, "live", True),
])
def test_idle_limits_at_their_edges(om, avatars, monkeypatch, kind, idle, pid, removed):
    """Entries go from an hour idle on; leftovers only past an hour (dead owner) or past a day."""
    import types
    now = 2_000_000_000.0
    monkeypatch.setattr(om, "time", types.SimpleNamespace(time=lambda: now))
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0")
    name = E(1) if kind == "entry" else E(1) + f".tmp.{ {'dead': dead_pid(), 'live': os.getpid()}[pid] }"
    d = make(avatars, name, 10, 0, manifest=kind == "entry")
    t = int((now - idle) * 1e9)
    os.utime(d, ns=(t, t))
    om._sweep(avatars, "")
    assert os.path.exists(d) is not removed


FOREIGN = ["my-avatar", "photos.tmp.2024", "notes.tmp.1", "sha256-" + "0" * 31, "sha256-" + "A" * 32,
           "sha256-" + "0" * 33, E(7) + ".tmp.", E(7) + ".tmp.12x", E(7) + ".tmp.\u0661\u0662", E(7) + ".old"]


def test_only_names_the_cache_makes_are_counted_or_removed(om, tmp_path, monkeypatch):
    """An empty cache root puts avatars/ in the working directory, beside the user's
    own folders: those are neither removed (whatever their age or name) nor
    counted toward the cap."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("ORVANE_CACHE_DIR", "")
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0.000001")  # 1000 bytes
    os.makedirs("avatars")
    for name in FOREIGN:
        make("avatars", name, 5000, 30 * HOUR, manifest=name == "my-avatar")
    old = make("avatars", E(1), 600, 9 * HOUR)
    make("avatars", E(2) + f".tmp.{dead_pid()}", 10, 2 * HOUR, manifest=False)
    om._sweep("avatars", "")
    # the foreign 50 kB do not push the 600-byte entry over the cap; the stale
    # leftover of a real entry goes as before
    assert names("avatars") == sorted(FOREIGN + [E(1)])

    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0")
    from cache_fixtures import qvx
    dest = om._materialise(qvx(tmp_path / "a.qvx"))  # a fresh unpack sweeps ./avatars
    assert not os.path.exists(old)
    assert names("avatars") == sorted(FOREIGN + [".idx", os.path.basename(dest)])
    assert pathlib.Path("avatars", "my-avatar", "manifest.json").is_file()
