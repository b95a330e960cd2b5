"""Materialising avatars into the cache, and the engine kind of an avatar."""
import hashlib
import json
import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from cache_fixtures import Child, cache, om, qvx, zipped  # noqa: E402,F401

import orvane._offline  # noqa: E402


@pytest.fixture
def sweeps(om, monkeypatch):
    calls = []

    def sweep(avatars, keep):
        assert om._SWEPT is True  # set before the pass, so a pass that ends early is not retried
        calls.append((avatars, keep))

    monkeypatch.setattr(om, "_sweep", sweep)
    return calls


@pytest.fixture
def unfolds(monkeypatch):
    calls = []
    real = orvane._offline.unfold_qvx

    def spy(source, tmp):
        calls.append((source, tmp))
        return real(source, tmp)

    monkeypatch.setattr(orvane._offline, "unfold_qvx", spy)
    return calls


def key(path) -> str:
    return "sha256-" + hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()[:32]


def test_directory_source_is_returned_unchanged(om, cache, sweeps, tmp_path):
    d = tmp_path / "avatar"
    d.mkdir()
    src = str(d)
    assert om._materialise(src) is src
    assert not os.path.exists(os.path.dirname(cache)) and sweeps == [] and om._SWEPT is False
    link = tmp_path / "link"
    os.symlink(src, link)
    assert om._materialise(str(link)) == str(link)


@pytest.mark.parametrize("make", [qvx, zipped])
def test_container_unpacked_held_and_swept(om, cache, sweeps, unfolds, tmp_path, make):
    src = make(tmp_path / "a.bin")
    dest = om._materialise(src)
    assert dest == os.path.join(cache, key(src))
    assert json.loads(pathlib.Path(dest, "manifest.json").read_text())["tag"] == "a"
    assert pathlib.Path(dest, "models", "weights.bin").stat().st_size == 1024
    assert list(om._HELD) == [dest]
    assert sweeps == [(cache, dest)] and om._SWEPT is True
    assert sorted(os.listdir(cache)) == [".idx", key(src)]  # no scratch directory left
    # Second open: a cache hit, held already, no second sweep, no unpack.
    assert om._materialise(src) == dest
    assert len(unfolds) == 1 and sweeps == [(cache, dest)] and list(om._HELD) == [dest]


def test_sweep_rules_after_hits_and_unpacks(om, cache, sweeps, tmp_path):
    a, b, c = (qvx(tmp_path / f"{t}.qvx", t) for t in "abc")
    da, db = om._materialise(a), om._materialise(b)
    assert sweeps == [(cache, da), (cache, db)]  # every fresh unpack sweeps
    om._SWEPT = False  # as in a new process
    sweeps.clear()
    om._materialise(b)
    om._materialise(a)
    assert sweeps == [(cache, db)]  # the first hit sweeps once, later hits never
    dc = om._materialise(c)
    assert sweeps == [(cache, db), (cache, dc)]


def test_identical_containers_share_one_entry(om, cache, sweeps, unfolds, tmp_path):
    a = qvx(tmp_path / "a.qvx")
    b = qvx(tmp_path / "copy.qvx")
    assert om._materialise(a) == om._materialise(b)
    assert len(unfolds) == 1


def test_scratch_named_with_own_pid_is_left_alone(om, cache, sweeps, tmp_path):
    """A scratch folder carrying our process id may be another container's unpack
    in progress (process ids repeat across containers): never reused or removed
    here; leftovers are the sweep's."""
    src = qvx(tmp_path / "a.qvx")
    tmp = os.path.join(cache, key(src)) + f".tmp.{os.getpid()}"
    os.makedirs(tmp)
    pathlib.Path(tmp, "junk").write_bytes(b"old")
    dest = om._materialise(src)
    assert pathlib.Path(tmp, "junk").read_bytes() == b"old"
    assert not os.path.exists(os.path.join(dest, "junk"))
    assert sorted(os.listdir(cache)) == sorted([".idx", key(src), os.path.basename(tmp)])


def test_empty_entry_without_marker_is_replaced(om, cache, sweeps, tmp_path):
    src = qvx(tmp_path / "a.qvx")
    os.makedirs(os.path.join(cache, key(src)))
    assert os.path.isfile(os.path.join(om._materialise(src), "manifest.json"))


def check_refusal(ei, cls_name, message, detail_type):
    e = ei.value
    assert type(e).__name__ == cls_name and e.args[0] == message
    assert isinstance(e.detail, detail_type)
    assert e.__cause__ is None and e.__suppress_context__ is True
    assert e.__context__ is e.detail  # the caught error, hidden behind the refusal


def test_entry_name_taken_by_a_file_fails(om, cache, sweeps, tmp_path):
    src = qvx(tmp_path / "a.qvx")
    os.makedirs(cache)
    pathlib.Path(cache, key(src)).write_bytes(b"x")
    with pytest.raises(om.Failed) as ei:
        om._materialise(src)
    check_refusal(ei, "Failed", "could not prepare that avatar", OSError)
    assert sorted(os.listdir(cache)) == [".idx", key(src)] and om._HELD == {} and sweeps == []


@pytest.mark.parametrize("content", [b"not a container at all", b"QVX\0\1\0\5\0", b"PK\3\4broken"])
def test_unusable_container_is_invalid(om, cache, sweeps, tmp_path, content):
    src = tmp_path / "bad.qvx"
    src.write_bytes(content)
    with pytest.raises(om.InvalidAvatar) as ei:
        om._materialise(str(src))
    check_refusal(ei, "InvalidAvatar", "that is not a usable avatar", Exception)
    assert os.listdir(cache) == [".idx"]


def test_container_without_manifest_is_invalid(om, cache, sweeps, tmp_path):
    from lumeth2_bundle_pack import write_qvx
    src = write_qvx(str(tmp_path / "nomanifest.qvx"), {"a.bin": b"x"})
    with pytest.raises(om.InvalidAvatar):
        om._materialise(src)


@pytest.mark.parametrize("names", [["../escape"], ["/abs/path"], ["a/../../b"], ["a", "a/b"],
                                   ["x/y/z", "x/y"], ["manifest.json/x"]])
def test_member_names_cannot_leave_the_entry_or_clash(om, cache, sweeps, tmp_path, names):
    """A member layout that cannot be unpacked is an unusable container, not a failure to prepare it."""
    from lumeth2_bundle_pack import write_qvx
    src = write_qvx(str(tmp_path / "evil.qvx"), {"manifest.json": b"{}", **{n: b"x" for n in names}})
    with pytest.raises(om.InvalidAvatar):
        om._materialise(src)
    assert not (tmp_path / "escape").exists() and not (tmp_path / "b").exists()


def test_cache_that_cannot_be_created_fails(om, sweeps, tmp_path, monkeypatch):
    (tmp_path / "file").write_bytes(b"")
    monkeypatch.setenv("ORVANE_CACHE_DIR", str(tmp_path / "file" / "cache"))  # below a regular file
    src = qvx(tmp_path / "a.qvx")
    with pytest.raises(om.Failed) as ei:
        om._materialise(src)
    check_refusal(ei, "Failed", "could not prepare that avatar", NotADirectoryError)
    assert om._HELD == {} and sweeps == []


def test_key_failure_is_failed(om, cache, sweeps, tmp_path, monkeypatch):
    src = qvx(tmp_path / "a.qvx")

    def boom(*a):
        raise PermissionError(13, "denied")

    monkeypatch.setattr(om, "_content_key", boom)
    with pytest.raises(om.Failed) as ei:
        om._materialise(src)
    check_refusal(ei, "Failed", "could not prepare that avatar", PermissionError)


def test_unpacker_import_failure_propagates(om, cache, sweeps, tmp_path, monkeypatch):
    src = qvx(tmp_path / "a.qvx")
    monkeypatch.setitem(sys.modules, "orvane._offline", None)
    with pytest.raises(ImportError) as ei:
        om._materialise(src)
    assert not isinstance(ei.value, om.AvatarError)
    assert os.listdir(cache) == [".idx"]  # keyed, nothing unpacked


def test_missing_source_status_error_propagates(om, cache, tmp_path):
    with pytest.raises(FileNotFoundError):
        om._materialise(str(tmp_path / "gone.qvx"))


def test_entry_completed_elsewhere_is_adopted(om, cache, sweeps, tmp_path, monkeypatch):
    """Our rename fails because another process published the entry first."""
    src = qvx(tmp_path / "a.qvx")
    real = orvane._offline.unfold_qvx

    def racing(source, tmp):
        real(source, tmp)
        other = os.path.join(cache, key(src))
        os.makedirs(other)
        real(source, other)

    monkeypatch.setattr(orvane._offline, "unfold_qvx", racing)
    dest = om._materialise(src)
    assert dest == os.path.join(cache, key(src)) and list(om._HELD) == [dest]
    assert sweeps == [] and om._SWEPT is False  # adoption never sweeps
    assert sorted(os.listdir(cache)) == [".idx", key(src)]


def test_interruption_leaves_scratch(om, cache, sweeps, tmp_path, monkeypatch):
    src = qvx(tmp_path / "a.qvx")

    def interrupted(source, tmp):
        raise KeyboardInterrupt

    monkeypatch.setattr(orvane._offline, "unfold_qvx", interrupted)
    with pytest.raises(KeyboardInterrupt):
        om._materialise(src)
    (left,) = [n for n in os.listdir(cache) if n.startswith(key(src) + ".tmp.")]
    assert om._TMP_RE.match(left).group(1) == str(os.getpid()) and os.path.isdir(os.path.join(cache, left))


def test_threads_of_one_process_take_turns(om, cache, sweeps, tmp_path, monkeypatch):
    """A second thread that wants the same entry while the first unpacks must not
    share (and wipe) the first one's scratch directory: it waits for the first to
    finish, then finds the entry published."""
    import threading
    import time

    src = qvx(tmp_path / "a.qvx")
    real_unfold, real_key = orvane._offline.unfold_qvx, om._content_key
    inside, results = [], []
    keyed = threading.Event()

    def content_key(*args):
        k = real_key(*args)
        if threading.current_thread() is not threading.main_thread():
            keyed.set()  # the second thread's last step in Python before the turn
        return k

    def second_run():
        results.append(om._materialise(src))

    second = threading.Thread(target=second_run)

    def parked():
        # The second thread has its key and is back in the native call with the
        # interpreter lock released: it waits for its turn (nothing else in that
        # call releases the lock with no Python frame of its own on top).
        frame = sys._current_frames().get(second.ident)
        return keyed.is_set() and frame is not None and frame.f_code is second_run.__code__

    def unfold(source, tmp):
        inside.append(tmp)
        if len(inside) == 1:
            second.start()
            assert keyed.wait(60), "the second thread never asked for the entry"
            deadline = time.monotonic() + 60
            while not parked() and second.is_alive() and time.monotonic() < deadline:
                threading.Event().wait(0.001)
            assert parked(), "the second thread did not wait for its turn"
            assert inside == [tmp], "two unpacks of one process ran at once"
        real_unfold(source, tmp)

    monkeypatch.setattr(om, "_content_key", content_key)
    monkeypatch.setattr(orvane._offline, "unfold_qvx", unfold)
    results.append(om._materialise(src))
    second.join(timeout=60)
    assert not second.is_alive()
    assert len(inside) == 1  # the second found the entry published and unpacked nothing
    assert results[0] == results[1] == os.path.join(cache, key(src))
    assert sorted(os.listdir(cache)) == [".idx", key(src)]


RACER = """
import orvane._offline, os
real = orvane._offline.unfold_qvx
def gated(source, tmp):
    real(source, tmp)
    print("unfolded", flush=True)
    sys.stdin.readline()
orvane._offline.unfold_qvx = gated
swept = []
om._sweep = lambda a, k: swept.append(k)
dest = om._materialise(sys.argv[1])
print(dest, len(swept), len(om._HELD), flush=True)
"""


def test_two_processes_unpack_the_same_container(om, cache, tmp_path):
    src = qvx(tmp_path / "a.qvx")
    first, second = Child(RACER, src), Child(RACER, src)
    assert first.line() == "unfolded" and second.line() == "unfolded"
    first.send()
    dest_a, swept_a, held_a = first.finish().split()
    second.send()
    dest_b, swept_b, held_b = second.finish().split()
    assert dest_a == dest_b == os.path.join(cache, key(src))
    assert (swept_a, held_a) == ("1", "1")  # the publisher sweeps
    assert (swept_b, held_b) == ("0", "1")  # the loser adopts the entry, holds it, no sweep
    assert sorted(os.listdir(cache)) == [".idx", key(src)]


# ---- engine kind ----

def test_engine_of(om, tmp_path):
    d = tmp_path / "plain"
    d.mkdir()
    assert om._engine_of(str(d)) == "ferrin1"
    assert om._engine_of(qvx(tmp_path / "a.qvx", engine="lumeth2")) == "lumeth2"
    assert om._engine_of(zipped(tmp_path / "a.zip", engine="some-new-kind")) == "some-new-kind"
    (d / "manifest.json").write_text('{"engine": "ferrin2-unified"}')
    assert om._engine_of(str(d)) == "ferrin2-unified"


@pytest.mark.parametrize("form", ["zip", "qvx", "dir"])
def test_oversized_manifest_is_refused_without_reading_it_whole(om, tmp_path, monkeypatch, form):
    """A manifest past the limit (a zip bomb, say) is a ValueError, never a huge allocation."""
    import zipfile
    import orvane._qvx_engine as qe
    monkeypatch.setattr(qe, "MANIFEST_LIMIT", 1000)
    big = b'{"engine": "ferrin1", "pad": "' + b" " * 2000 + b'"}'
    if form == "zip":
        src = str(tmp_path / "a.zip")
        with zipfile.ZipFile(src, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("manifest.json", big)
    elif form == "qvx":
        from lumeth2_bundle_pack import write_qvx
        src = write_qvx(str(tmp_path / "a.qvx"), {"manifest.json": big})
    else:
        src = str(tmp_path / "d")
        os.mkdir(src)
        pathlib.Path(src, "manifest.json").write_bytes(big)
    with pytest.raises(ValueError, match="larger than 1000 bytes"):
        om._engine_of(src)


def test_engine_of_errors_propagate(om, tmp_path, monkeypatch):
    import orvane._qvx_engine as qe

    def boom(source):
        raise PermissionError(13, "denied")

    monkeypatch.setattr(qe, "read_manifest", boom)
    with pytest.raises(PermissionError):
        om._engine_of(str(tmp_path))
    monkeypatch.setitem(sys.modules, "orvane._qvx_engine", None)
    with pytest.raises(ImportError):
        om._engine_of(str(tmp_path))


def test_empty_cache_dir_setting_uses_working_directory(om, sweeps, tmp_path, monkeypatch):
    monkeypatch.setenv("ORVANE_CACHE_DIR", "")
    monkeypatch.chdir(tmp_path)
    src = qvx(tmp_path / "a.qvx")
    dest = om._materialise(src)
    assert dest == os.path.join("avatars", key(src)) and os.path.isfile(os.path.join(dest, "manifest.json"))
    assert sweeps == [("avatars", dest)]


def test_memo_naming_a_missing_entry_is_used_as_is(om, cache, sweeps, tmp_path):
    src = qvx(tmp_path / "a.qvx")
    st = os.stat(src)
    ident = f"{os.path.abspath(src)}\0{st.st_size}\0{st.st_mtime_ns}\0{st.st_ino}"
    idx = pathlib.Path(cache, ".idx")
    idx.mkdir(parents=True)
    (idx / hashlib.sha256(ident.encode()).hexdigest()[:32]).write_text("f" * 32)
    assert om._materialise(src) == os.path.join(cache, "sha256-" + "f" * 32)


def test_engine_id_for_path(tmp_path):
    from orvane._qvx_engine import engine_id_for_path
    d = tmp_path / "m"
    d.mkdir()
    assert engine_id_for_path(str(d)) == "ferrin1"
    (d / "fixture.json").write_text('{"engine": "ferrin2-light"}')
    assert engine_id_for_path(str(d)) == "ferrin2-light"
    assert engine_id_for_path(str(d / "fixture.json")) == "ferrin2-light"
    (d / "manifest.json").write_text('{"engine": "lumeth2"}')
    assert engine_id_for_path(str(d)) == "lumeth2"
    assert engine_id_for_path(qvx(tmp_path / "a.qvx", engine="ferrin2-unified")) == "ferrin2-unified"
    (d / "manifest.json").write_text('{"name": "no engine named"}')
    assert engine_id_for_path(str(d)) == "ferrin1"


def test_child_forked_during_an_unpack_can_unpack(om, cache, sweeps, tmp_path, monkeypatch):
    """A fork while another thread unpacks must not leave the child waiting on that thread forever."""
    import select
    import signal
    import threading
    import warnings
    a, b = qvx(tmp_path / "a.qvx", "a"), qvx(tmp_path / "b.qvx", "b")
    real = orvane._offline.unfold_qvx
    inside, release = threading.Event(), threading.Event()

    def blocking(source, tmp):
        if os.path.samefile(source, a):  # the unpacker is handed the open file, not the name
            inside.set()
            release.wait(60)
        real(source, tmp)

    monkeypatch.setattr(orvane._offline, "unfold_qvx", blocking)
    t = threading.Thread(target=om._materialise, args=(a,))
    t.start()
    try:
        assert inside.wait(60)
        r, w = os.pipe()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:  # child: unpack another container, report, leave at once
            code = 1
            try:
                om._materialise(b)
                code = 0
            finally:
                os.write(w, bytes([code]))
                os._exit(code)
        os.close(w)
        ready, _, _ = select.select([r], [], [], 60)
        if not ready:
            os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        os.close(r)
        assert ready and os.waitstatus_to_exitcode(status) == 0
    finally:
        release.set()
        t.join(60)
