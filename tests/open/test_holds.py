"""Holds on cache entries against sweeps of other processes.

A sweep probes an entry with an exclusive lock for a moment; a hold asked for
in that moment waits it out, within a bound, on the module's monotonic clock.
The tests drive that clock: its reads are the moments the hold is waiting.
"""
import json
import os
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from cache_fixtures import Child, cache, can_lock, om, qvx  # noqa: E402,F401


class Clock:
    """The module's time facility, with a monotonic clock the test answers."""

    def __init__(self, on_read):
        self.on_read, self.reads = on_read, 0

    def __getattr__(self, name):
        return getattr(time, name)

    def monotonic(self):
        self.reads += 1
        return self.on_read(self.reads)


# Another process probing an entry as a sweep does, for as long as the test says.
PROBE = """
import fcntl, os
fd = os.open(sys.argv[1], os.O_RDONLY)
fcntl.flock(fd, fcntl.LOCK_EX)
print("probing", flush=True)
sys.stdin.readline()
os.close(fd)
print("released", flush=True)
sys.stdin.readline()
"""


def entry(tmp_path) -> str:
    d = tmp_path / ("sha256-" + "1" * 32)
    d.mkdir()
    (d / "manifest.json").write_text("{}")
    return str(d)


def test_hold_asked_for_during_a_probe_waits_it_out(om, tmp_path, monkeypatch):
    e = entry(tmp_path)
    marker = os.path.join(e, "manifest.json")
    probe = Child(PROBE, marker)
    assert probe.line() == "probing"

    def on_read(n):
        if n == 1:  # refused once: the probe ends now
            probe.send()
            assert probe.line() == "released"
        return 0.0

    clock = Clock(on_read)
    monkeypatch.setattr(om, "time", clock)
    om._hold(e)
    assert list(om._HELD) == [e] and not can_lock(marker) and clock.reads == 1
    probe.send()
    probe.finish()
    assert om._in_use(e, 0) is True  # still held once the prober has gone


def test_hold_gives_up_at_its_bound(om, tmp_path, monkeypatch):
    """A lock that never goes: the hold stops waiting once the clock passes its bound."""
    e = entry(tmp_path)
    probe = Child(PROBE, os.path.join(e, "manifest.json"))
    assert probe.line() == "probing"
    clock = Clock(lambda n: 0.0 if n == 1 else 1e6)
    monkeypatch.setattr(om, "time", clock)
    om._hold(e)
    assert om._HELD == {} and clock.reads == 2


# Another process's sweep: it probes the entry (the moment the opener's hold is
# refused), then, when told, finishes its pass ten hours on, so that the
# opener's touch looks old, and evicts the entry.
SWEEPER = """
import fcntl, os, time, types
avatars, marker = sys.argv[1:]
fd = os.open(marker, os.O_RDONLY)
fcntl.flock(fd, fcntl.LOCK_EX)
print("probing", flush=True)
sys.stdin.readline()
os.close(fd)
om.time = types.SimpleNamespace(time=lambda: time.time() + 36000, monotonic=time.monotonic)
om._sweep(avatars, "")
print("swept", os.path.exists(os.path.dirname(marker)), flush=True)
sys.stdin.readline()
"""


def test_hit_evicted_while_its_hold_waits_is_unpacked_again(om, cache, tmp_path, monkeypatch):
    src = qvx(tmp_path / "a.qvx", "genuine")
    dest = om._materialise(src)
    for fd in om._HELD.values():  # as a new process: the entry is there, not held by us
        os.close(fd)
    om._HELD.clear()
    marker = os.path.join(dest, "manifest.json")
    sweeper = Child(SWEEPER, cache, marker, env=dict(os.environ, ORVANE_AVATAR_CACHE_GB="0"))
    assert sweeper.line() == "probing"

    def on_read(n):
        if n == 1:  # our hold was refused: the sweep goes on and evicts the entry
            sweeper.send()
            assert sweeper.line() == "swept False"
        return 0.0

    clock = Clock(on_read)
    monkeypatch.setattr(om, "time", clock)
    assert om._materialise(src) == dest
    if clock.reads == 0:  # the open did not wait for its hold: the sweep goes on all the same
        sweeper.send()
        sweeper.line()
    # Not the directory that was removed: a fresh unpack under the same key, held.
    assert json.loads(pathlib.Path(marker).read_text())["tag"] == "genuine"
    assert list(om._HELD) == [dest] and not can_lock(marker) and clock.reads == 1
    assert sorted(os.listdir(cache)) == [".idx", os.path.basename(dest)]
    sweeper.send()
    sweeper.finish()


HOLDER = """
print("ready", flush=True)
sys.stdin.readline()
om._hold(sys.argv[1])
print(len(om._HELD), flush=True)
sys.stdin.readline()
"""


def test_entry_held_between_probe_and_eviction_survives(om, cache, tmp_path, monkeypatch):
    """Another process takes its hold just after our probe found the entry free:
    the eviction, which needs the entry's lock too, leaves it."""
    import types
    os.makedirs(cache)
    e = entry(pathlib.Path(cache))
    os.utime(e, (time.time() - 9 * 3600,) * 2)
    holder = Child(HOLDER, e)
    assert holder.line() == "ready"
    real = om._in_use

    def probe_then_hold(path, idle):
        used = real(path, idle)
        holder.send()
        assert holder.line() == "1"
        return used

    monkeypatch.setattr(om, "_in_use", probe_then_hold)
    later = time.time() + 10 * 3600  # the pass runs late: the holder's touch alone would not save it
    monkeypatch.setattr(om, "time", types.SimpleNamespace(time=lambda: later, monotonic=time.monotonic))
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0")
    om._sweep(cache, "")
    assert os.path.isfile(os.path.join(e, "manifest.json")) and os.listdir(cache) == [os.path.basename(e)]
    holder.send()
    holder.finish()
