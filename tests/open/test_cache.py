"""Avatar cache: root, cap, content keys and memos, holds, liveness and disk usage."""
import hashlib
import os
import pathlib
import re
import subprocess
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from cache_fixtures import Child, cache, can_lock, dead_pid, om  # noqa: E402,F401

MiB4 = 4194304


# ---- root and cap ----

def test_cache_root(om, monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.delenv("ORVANE_CACHE_DIR", raising=False)
    assert om._cache_root() == str(tmp_path / "home" / ".cache" / "orvane")
    monkeypatch.setenv("ORVANE_CACHE_DIR", "")
    assert om._cache_root() == ""  # an empty value counts as set
    monkeypatch.setenv("ORVANE_CACHE_DIR", "~/c")
    assert om._cache_root() == str(tmp_path / "home" / "c")
    monkeypatch.setenv("ORVANE_CACHE_DIR", "rel/x")
    assert om._cache_root() == "rel/x"  # not made absolute


@pytest.mark.parametrize("value, cap", [
    (None, 10_000_000_000), ("", 10_000_000_000), ("abc", 10_000_000_000),
    ("2.5", 2_500_000_000), ("0", 0), ("-3", 0), (" 1e1 ", 10_000_000_000), ("0.5", 500_000_000),
    ("1e290", int(1e290 * 1e9)), ("0.0000000015", 1), ("+.5", 500_000_000), ("5.", 5_000_000_000),
    ("\t-2.5e-1\n", 0),
    # not plain ASCII decimal text, though float() would take it: the default
    ("1_5", 10_000_000_000), ("\u0661\u0665", 10_000_000_000), ("\uff11\uff15", 10_000_000_000),
    ("\u20031\u2003", 10_000_000_000), ("0x10", 10_000_000_000), ("1e", 10_000_000_000),
    (".", 10_000_000_000), ("1 5", 10_000_000_000), ("\udcff", 10_000_000_000),
])
def test_cache_cap_bytes(om, monkeypatch, value, cap):
    if value is None:
        monkeypatch.delenv("ORVANE_AVATAR_CACHE_GB", raising=False)
    else:
        monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", value)
    got = om._cache_cap_bytes()
    assert type(got) is int and got == cap


@pytest.mark.parametrize("value, exc", [("inf", OverflowError), ("nan", ValueError), ("-inf", OverflowError),
                                        (" -Infinity ", OverflowError), ("1e999", OverflowError)])
def test_cache_cap_not_finite(om, monkeypatch, value, exc):
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", value)
    with pytest.raises(exc):
        om._cache_cap_bytes()


# ---- content keys ----

def ident_memo(path) -> str:
    st = os.stat(path)
    text = f"{os.path.abspath(path)}\0{st.st_size}\0{st.st_mtime_ns}\0{st.st_ino}"
    return hashlib.sha256(text.encode()).hexdigest()[:32]


def key_of(om, path, avatars):
    return om._content_key(str(path), os.stat(path), avatars)


@pytest.mark.parametrize("size", [0, 1, MiB4 - 1, MiB4, 2 * MiB4 + 3])
def test_content_key_is_sha256_prefix_and_memo_written(om, cache, tmp_path, size):
    src = tmp_path / "c.qvx"
    data = os.urandom(size)
    src.write_bytes(data)
    key = key_of(om, src, cache)
    digest = hashlib.sha256(data).hexdigest()[:32]
    assert key == "sha256-" + digest
    memo = pathlib.Path(cache, ".idx", ident_memo(src))
    assert memo.read_bytes() == digest.encode()
    assert not [p for p in memo.parent.iterdir() if p.name != memo.name]  # no temporary memo left


def test_memo_is_trusted_without_reading_source(om, cache, tmp_path):
    src = tmp_path / "c.qvx"
    src.write_bytes(b"container")
    st = os.stat(src)
    idx = pathlib.Path(cache, ".idx")
    idx.mkdir(parents=True)
    (idx / ident_memo(src)).write_text("0123456789abcdef0123456789abcdef\n")  # line end accepted
    src.unlink()  # reading the source now would fail
    assert om._content_key(str(src), st, cache) == "sha256-0123456789abcdef0123456789abcdef"


def memo_key(raw: bytes):
    """The key a memo of these bytes gives, read as text the way the cache reads it."""
    try:
        text = raw.decode("utf-8").strip()
    except UnicodeDecodeError:
        return None
    return text if re.fullmatch("[0-9a-f]{32}", text) else None


K = b"0123456789abcdef0123456789abcdef"


@pytest.mark.parametrize("memo", [
    K, K + b"\n", b"  " + K + b"\r\n", b"\x1c\t" + K + b"\x0b\x0c", "\u3000".encode() + K + "\u00a0\u2028".encode(),
    "\u2000\u205f".encode() + K + "\x85".encode(), K + b" " * 10000,
])
def test_memo_with_surrounding_white_space_is_trusted(om, cache, tmp_path, memo):
    assert memo_key(memo) == K.decode()
    src = tmp_path / "c.qvx"
    src.write_bytes(b"container")
    idx = pathlib.Path(cache, ".idx")
    idx.mkdir(parents=True)
    (idx / ident_memo(src)).write_bytes(memo)
    assert key_of(om, src, cache) == "sha256-" + K.decode()
    assert (idx / ident_memo(src)).read_bytes() == memo  # left as it was


@pytest.mark.parametrize("memo", [
    b"0123456789ABCDEF0123456789ABCDEF", b"0" * 31, b"0" * 33, b"", b"\xff\xfe" * 16, b"0" * 16 + b" " + b"0" * 15,
    K + b"\xc2", K + b"\xe2\x80", b"\xef\xbb\xbf" + K, K + "\u200b".encode(), K[:16] + "\u3000".encode() + K[16:],
    b" " * 5000 + K + b"0",
])
def test_bad_memo_is_ignored_and_rewritten(om, cache, tmp_path, memo):
    assert memo_key(memo) is None
    src = tmp_path / "c.qvx"
    src.write_bytes(b"container bytes")
    idx = pathlib.Path(cache, ".idx")
    idx.mkdir(parents=True)
    (idx / ident_memo(src)).write_bytes(memo)
    digest = hashlib.sha256(b"container bytes").hexdigest()[:32]
    assert key_of(om, src, cache) == "sha256-" + digest
    assert (idx / ident_memo(src)).read_bytes() == digest.encode()


def test_memo_follows_identity(om, cache, tmp_path):
    a, b = tmp_path / "a.qvx", tmp_path / "b.qvx"
    a.write_bytes(b"same bytes")
    b.write_bytes(b"same bytes")
    assert key_of(om, a, cache) == key_of(om, b, cache)  # one key ...
    assert len(os.listdir(os.path.join(cache, ".idx"))) == 2  # ... two memos
    # Rewritten in place: a new identity, hashed again.
    a.write_bytes(b"other bytes")
    os.utime(a, ns=(1, 1))
    assert key_of(om, a, cache) == "sha256-" + hashlib.sha256(b"other bytes").hexdigest()[:32]


def test_relative_source_keys_by_absolute_path(om, cache, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("sub").mkdir()
    pathlib.Path("sub/c.qvx").write_bytes(b"x")
    key_of(om, "sub/../sub/./c.qvx", cache)
    assert os.listdir(os.path.join(cache, ".idx")) == [ident_memo(tmp_path / "sub" / "c.qvx")]


@pytest.mark.parametrize("fd, exc", [(2**64, OverflowError), (2**31, OverflowError), (-2**40, OverflowError),
                                     (1.5, TypeError), ("7", TypeError)])
def test_content_key_refuses_what_is_no_descriptor(om, cache, tmp_path, fd, exc):
    src = tmp_path / "c.qvx"
    src.write_bytes(b"x")
    with pytest.raises(exc):
        om._content_key(str(src), os.stat(src), cache, fd)


def test_unwritable_cache_still_keys(om, tmp_path):
    src = tmp_path / "c.qvx"
    src.write_bytes(b"abc")
    (tmp_path / "file").write_bytes(b"")
    avatars = str(tmp_path / "file" / "avatars")  # below a regular file: nothing can be created
    assert key_of(om, src, avatars) == "sha256-" + hashlib.sha256(b"abc").hexdigest()[:32]


def test_unreadable_source_raises_oserror(om, cache, tmp_path):
    src = tmp_path / "c.qvx"
    src.write_bytes(b"abc")
    st = os.stat(src)
    src.unlink()
    with pytest.raises(FileNotFoundError) as ei:
        om._content_key(str(src), st, cache)
    assert ei.value.filename == str(src)


def test_non_utf8_path_gets_a_key(om, cache, tmp_path):
    src = os.path.join(os.fsencode(str(tmp_path)), b"\xff.qvx")
    with open(src, "wb") as f:
        f.write(b"abc")
    name = os.fsdecode(src)
    assert om._content_key(name, os.stat(name), cache) == "sha256-" + hashlib.sha256(b"abc").hexdigest()[:32]


# ---- holds and liveness ----

def entry(tmp_path, name="sha256-" + "1" * 32, manifest=True) -> str:
    d = tmp_path / name
    d.mkdir(parents=True)
    if manifest:
        (d / "manifest.json").write_text("{}")
    os.utime(d, (1000, 1000))
    return str(d)


def test_hold_touches_and_locks_once(om, tmp_path):
    e = entry(tmp_path)
    om._hold(e)
    assert os.stat(e).st_mtime > time.time() - 600
    fd = om._HELD[e]
    os.utime(e, (1000, 1000))
    om._hold(e)  # only refreshes the times
    assert om._HELD == {e: fd} and os.stat(e).st_mtime > 1000
    assert not can_lock(os.path.join(e, "manifest.json"))
    assert om._in_use(e, 0.0) is True  # our own hold counts


def test_hold_without_marker_or_path(om, tmp_path):
    e = entry(tmp_path, manifest=False)
    om._hold(e)
    assert om._HELD == {} and os.stat(e).st_mtime > 1000
    om._hold(str(tmp_path / "missing"))
    assert om._HELD == {}


def test_in_use_probe_leaves_no_lock(om, tmp_path):
    e = entry(tmp_path)
    assert om._in_use(e, 10**9) is False
    assert om._in_use(e, None) is False  # with locks the idle time plays no part
    assert can_lock(os.path.join(e, "manifest.json"))
    assert om._in_use(entry(tmp_path, "other", manifest=False), 0) is False


def test_without_locks(om, tmp_path, monkeypatch):
    monkeypatch.setattr(om, "_fcntl", None)
    e = entry(tmp_path)
    om._hold(e)
    assert om._HELD == {} and os.stat(e).st_mtime > 1000
    assert om._in_use(e, 604799) is True
    assert om._in_use(e, 604799.5) is True
    assert om._in_use(e, 604800) is False


def test_hold_seen_by_other_process_and_back(om, tmp_path):
    """A child holding an entry makes our probe see it used; a child probing sees our hold."""
    e = entry(tmp_path)
    holder = Child("om._hold(sys.argv[1]); print(len(om._HELD), flush=True); sys.stdin.readline()\n", e)
    assert holder.line() == "1"
    assert om._in_use(e, 10**9) is True
    holder.send()
    holder.finish()
    assert om._in_use(e, 10**9) is False  # the hold ended with its process

    om._hold(e)
    prober = Child("print(om._in_use(sys.argv[1], 0))\n", e)
    assert prober.finish().strip() == "True"


def test_hold_refused_while_probe_holds_exclusive(om, tmp_path, monkeypatch):
    import fcntl
    import types
    e = entry(tmp_path)
    fd = os.open(os.path.join(e, "manifest.json"), os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    reads = iter([0.0, 1e6])  # the wait for the probe to end runs past its bound at once
    monkeypatch.setattr(om, "time", types.SimpleNamespace(monotonic=lambda: next(reads), time=time.time))
    try:
        om._hold(e)
        assert om._HELD == {}  # not granted while the probe lasts
    finally:
        os.close(fd)
    om._hold(e)
    assert list(om._HELD) == [e]




@pytest.mark.parametrize("pid, alive", [
    ("self", True), ("dead", False), (2**31, False), (10**30, False),
])
def test_pid_alive(om, pid, alive):
    pid = {"self": os.getpid(), "dead": None}.get(pid, pid) if isinstance(pid, str) else pid
    if pid is None:
        pid = dead_pid()
    assert om._pid_alive(pid) is alive


def test_pid_alive_on_windows_names(om, monkeypatch):
    monkeypatch.setattr(os, "name", "nt")
    assert om._pid_alive(dead_pid()) is True


def test_paths_with_a_nul_never_reach_another_file(om, cache, tmp_path, monkeypatch):
    """"e\0x" must not act on "e", the name a C string would stop at."""
    monkeypatch.chdir(tmp_path)
    e = entry(tmp_path, "e")
    (tmp_path / "e" / "f").write_bytes(b"12345")
    os.utime(e, (1000, 1000))
    calls = [lambda: om._hold("e\0x"), lambda: om._in_use("e\0x", 0), lambda: om._du("e\0x"),
             lambda: om._content_key("e/f\0x", os.stat("e/f"), cache), lambda: om._content_key(
                 "e/f", os.stat("e/f"), "e\0x")]
    for call in calls:
        with pytest.raises(ValueError, match="embedded null byte"):
            call()
    assert om._HELD == {} and os.stat(e).st_mtime == 1000


def test_named_pipes_in_the_cache_never_block(om, cache, tmp_path):
    """A pipe where a memo or a marker should be is read as empty or locked as any file."""
    src = tmp_path / "c.qvx"
    src.write_bytes(b"abc")
    idx = pathlib.Path(cache, ".idx")
    idx.mkdir(parents=True)
    os.mkfifo(idx / ident_memo(src))
    assert key_of(om, src, cache) == "sha256-" + hashlib.sha256(b"abc").hexdigest()[:32]
    assert (idx / ident_memo(src)).read_bytes() == hashlib.sha256(b"abc").hexdigest()[:32].encode()
    e = entry(tmp_path, manifest=False)
    os.mkfifo(os.path.join(e, "manifest.json"))
    om._hold(e)
    assert om._in_use(e, 0) is True and list(om._HELD) == [e]


# ---- disk usage ----

def test_du(om, tmp_path):
    top = tmp_path / "e"
    (top / "a" / "b").mkdir(parents=True)
    (top / "f").write_bytes(b"x" * 10)
    (top / ".hidden").write_bytes(b"x" * 5)
    (top / "a" / "b" / "g").write_bytes(b"x" * 100)
    (top / "a" / "empty").mkdir()
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "big").write_bytes(b"x" * 10000)
    os.symlink(str(outside / "big"), top / "link_file")  # counts its own size
    os.symlink(str(outside), top / "link_dir")  # not followed, not counted
    os.symlink(str(tmp_path / "nowhere"), top / "dangling")
    links = len(str(outside / "big")) + len(str(tmp_path / "nowhere"))
    got = om._du(str(top))
    assert type(got) is int and got == 115 + links


def test_du_of_missing_path_or_file(om, tmp_path):
    (tmp_path / "f").write_bytes(b"abc")
    assert om._du(str(tmp_path / "missing")) == 0
    assert om._du(str(tmp_path / "f")) == 0


def test_du_matches_os_walk(om):
    root = os.path.dirname(os.__file__)  # a real, varied tree
    ref = 0
    for d, _, files in os.walk(os.path.join(root, "json")):
        for f in files:
            ref += os.lstat(os.path.join(d, f)).st_size
    assert om._du(os.path.join(root, "json")) == ref
