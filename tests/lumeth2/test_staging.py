"""Model staging: in place for directory bundles, temporary files otherwise."""

import errno
import os
import pathlib
import re
import stat
import subprocess
import sys
import tempfile

import pytest

from orvane._lumeth2 import _chain_host as m


def staging_parent(p):
    """The staging directory of a staged copy: copies live in this process's own
    folder there, "lumeth2-stage.<pid>.<random>", which only its owner may enter."""
    folder = os.path.dirname(p)
    assert re.fullmatch(rf"lumeth2-stage\.{os.getpid()}\.\w{{6}}", os.path.basename(folder))
    st = os.lstat(folder)
    assert stat.S_ISDIR(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o700 and st.st_uid == os.geteuid()
    return os.path.dirname(folder)


@pytest.fixture
def staged(monkeypatch, tmp_path):
    """A fresh registry and a staging directory of our own."""
    reg = []
    monkeypatch.setattr(m, "_STAGED", reg)
    d = tmp_path / "stage"
    monkeypatch.setenv("LUMETH2_STAGE_DIR", str(d))
    yield reg, d
    m._drop_staged()


@pytest.fixture
def dir_bundle(tmp_path):
    b = tmp_path / "bundle"
    b.mkdir()
    (b / "combined_litert.tflite").write_bytes(b"model-in-place")
    return b


def test_directory_bundle_member_is_used_in_place(staged, dir_bundle):
    reg, _ = staged
    own = str(dir_bundle / "combined_litert.tflite")
    p = m._stage_tflite(str(dir_bundle), "combined_litert.tflite", b"ignored")
    assert p == own and reg == []
    m._release_staged([p])
    m._drop_staged()
    assert pathlib.Path(own).read_bytes() == b"model-in-place"


@pytest.mark.parametrize(
    "bundle_kind,nm,suffix",
    [
        ("container", "combined_litert.tflite", "_combined_litert.tflite"),
        ("container", "a/b/identity.tflite", "_identity.tflite"),
        ("dir-without-member", "identity.tflite", "_identity.tflite"),
    ],
)
def test_other_members_go_to_a_recorded_temporary_file(staged, tmp_path, dir_bundle, bundle_kind, nm, suffix):
    reg, d = staged
    if bundle_kind == "container":
        bundle = tmp_path / "avatar.qvx"
        bundle.write_bytes(b"QVX\0\0\0\0\0")
    else:
        bundle = dir_bundle
    reg.append("/earlier/staged/file")
    data = bytes(range(256)) * 40
    p = m._stage_tflite(bundle=str(bundle), nm=nm, data=memoryview(data))
    assert staging_parent(p) == str(d)
    assert os.path.basename(p).endswith(suffix)
    assert pathlib.Path(p).read_bytes() == data
    assert reg[-1] == p and len(reg) == 2
    reg.remove("/earlier/staged/file")


@pytest.mark.parametrize("value", [None, "", "   ", "\t\n"])
def test_unset_or_blank_stage_dir_means_default_temp_dir(monkeypatch, capfd, value):
    if value is None:
        monkeypatch.delenv("LUMETH2_STAGE_DIR", raising=False)
    else:
        monkeypatch.setenv("LUMETH2_STAGE_DIR", value)
    monkeypatch.setattr(m, "_STAGED", [])
    assert m._stage_dir() is None
    p = m._stage_tflite("/no/such/bundle", "x.tflite", b"x")
    try:
        assert staging_parent(p) == tempfile.gettempdir()
    finally:
        m._drop_staged()
    assert capfd.readouterr().err == ""


def test_stage_dir_is_created_and_returned_as_given(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("LUMETH2_STAGE_DIR", "  rel/deep/stage \n")
    assert m._stage_dir() == "rel/deep/stage"
    assert (tmp_path / "rel/deep/stage").is_dir()
    assert m._stage_dir() == "rel/deep/stage"  # existing: no error


def test_unusable_stage_dir_logs_and_falls_back(monkeypatch, tmp_path, capfd):
    blocker = tmp_path / "file"
    blocker.write_text("")
    bad = str(blocker / "sub")
    monkeypatch.setenv("LUMETH2_STAGE_DIR", bad)
    monkeypatch.setattr(m, "_STAGED", [])
    p1 = m._stage_tflite("/no/such/bundle", "a.tflite", b"a")
    p2 = m._stage_tflite("/no/such/bundle", "b.tflite", b"b")
    try:
        assert staging_parent(p1) == staging_parent(p2) == tempfile.gettempdir()
        assert os.path.dirname(p1) == os.path.dirname(p2)  # one folder per process
    finally:
        m._drop_staged()
    line = (f"[render-stream-chain-host] LUMETH2_STAGE_DIR={bad!r} unusable "
            f"([Errno 20] Not a directory: {bad!r}) — staging in the default temp dir instead\n")
    assert capfd.readouterr().err == line * 2  # once per staged member


def test_release_removes_only_staged_files(staged, dir_bundle):
    reg, _ = staged
    own = m._stage_tflite(str(dir_bundle), "combined_litert.tflite", b"")
    a = m._stage_tflite("/no/bundle", "a.tflite", b"a")
    b = m._stage_tflite("/no/bundle", "b.tflite", b"b")
    c = m._stage_tflite("/no/bundle", "c.tflite", b"c")
    m._release_staged(iter([own, pathlib.Path(a), c]))
    assert reg == [b]
    assert os.path.exists(own) and os.path.exists(b)
    assert not os.path.exists(a) and not os.path.exists(c)


def test_file_removed_by_someone_else_stays_recorded_for_the_sweep(staged):
    reg, _ = staged
    a = m._stage_tflite("/no/bundle", "a.tflite", b"a")
    os.unlink(a)
    m._release_staged([a])
    assert reg == [a]
    m._drop_staged()
    assert reg == []


def test_drop_sweeps_newest_first(staged, monkeypatch):
    reg, _ = staged
    paths = [m._stage_tflite("/no/bundle", f"{k}.tflite", b"k") for k in "abc"]
    os.unlink(paths[1])  # a failed removal is ignored and not put back
    order = []
    real_unlink = os.unlink

    def spy(p, *a, **kw):
        order.append(os.path.basename(p))  # a copy goes by its name in its folder
        return real_unlink(p, *a, **kw)

    monkeypatch.setattr(os, "unlink", spy)
    m._drop_staged()
    assert order == [os.path.basename(p) for p in paths[::-1]]
    assert reg == [] and not any(os.path.exists(p) for p in paths)


def test_data_that_is_not_bytes_leaves_no_file(staged):
    reg, d = staged
    with pytest.raises(TypeError):
        m._stage_tflite("/no/bundle", "a.tflite", "text, not bytes")
    assert reg == [] and list(d.iterdir()) == []


def test_copy_that_cannot_be_recorded_leaves_no_file(staged, monkeypatch):
    _, d = staged
    monkeypatch.setattr(m, "_STAGED", ())  # a registry that takes no entry
    with pytest.raises(AttributeError):
        m._stage_tflite("/no/bundle", "a.tflite", b"model")
    assert list(d.iterdir()) == []  # the exit sweep could never have found it


CHILD = """
import os, sys
from orvane._lumeth2 import _chain_host as m
"""


def _run(code, env_extra):
    env = {**os.environ, **env_extra}
    return subprocess.run([sys.executable, "-c", CHILD + code], capture_output=True,
                          timeout=120, env=env)


def test_failed_write_removes_the_partial_file(tmp_path):
    # A file-size limit makes the write fail part-way, as a full disk would.
    code = """
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
try:
    m._stage_tflite("/no/bundle", "big.tflite", bytes(1 << 20))
except OSError as e:
    print("raised", e.errno, m._STAGED, sorted(os.listdir(os.environ["LUMETH2_STAGE_DIR"])))
"""
    r = _run(code, {"LUMETH2_STAGE_DIR": str(tmp_path)})
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode().split(" ", 2) == ["raised", str(errno.EFBIG), "[] []\n"]


@pytest.mark.parametrize("ending", ["", "sys.exit(3)", "raise RuntimeError('boom')"])
def test_exit_sweep_removes_leftovers(tmp_path, ending):
    code = f"""
import builtins
ps = [m._stage_tflite("/no/bundle", n + ".tflite", b"x") for n in "abc"]
print(*ps, sep="\\n", flush=True)
real = os.unlink
def spy(p, **kw):
    sys.stderr.write("unlink " + os.path.basename(p) + "\\n")
    real(p, **kw)
os.unlink = spy
{ending}
"""
    r = _run(code, {"LUMETH2_STAGE_DIR": str(tmp_path)})
    paths = r.stdout.decode().split()
    assert len(paths) == 3
    removed = [ln.split(" ", 1)[1] for ln in r.stderr.decode().splitlines() if ln.startswith("unlink ")]
    assert removed == [os.path.basename(p) for p in paths[::-1]]
    assert list(tmp_path.iterdir()) == []


# --- shared staging directories, other users, killed hosts ----------------------

def wait_for(cond, what, timeout=60.0):
    """Poll `cond` until it holds, failing after `timeout` seconds."""
    import time

    deadline = time.monotonic() + timeout
    while not cond():
        assert time.monotonic() < deadline, what
        time.sleep(0.005)


@pytest.fixture
def other_user():
    """A throwaway second user (the tests run as root); removed afterwards."""
    import shutil

    if os.geteuid() != 0 or not shutil.which("useradd"):
        pytest.skip("needs root to create a second user")
    name = f"l2stage{os.getpid() % 100000}"
    subprocess.run(["useradd", "-M", "-s", "/usr/sbin/nologin", name], check=True, capture_output=True)
    try:
        yield name
    finally:
        subprocess.run(["userdel", name], capture_output=True)


@pytest.fixture
def shared_dir(monkeypatch):
    """A staging directory anyone may write into (mode 0777, not sticky), outside the
    test's own private tree so that another user can reach it."""
    import shutil

    d = tempfile.mkdtemp(prefix="l2shared-", dir="/tmp")
    os.chmod(d, 0o777)
    monkeypatch.setenv("LUMETH2_STAGE_DIR", d)
    monkeypatch.setattr(m, "_STAGED", [])
    yield d
    m._drop_staged()
    shutil.rmtree(d)


SWAP = r"""
import os, sys
path = sys.argv[1]
folder = os.path.dirname(path)
try:
    os.listdir(folder)
    print("listed")
except PermissionError:
    print("private")
try:
    os.rename(path, path + ".theirs")  # the copy sits where anyone may rename it
except PermissionError:
    os.rename(folder, folder + ".theirs")  # else move the whole folder aside
    os.mkdir(folder)
with open(path, "wb") as f:
    f.write(sys.stdin.buffer.read())
"""


def test_another_user_cannot_put_a_file_under_a_staged_path(shared_dir, other_user, l2_models):
    import numpy as np

    p = m._stage_tflite("/no/bundle", "combined_litert.tflite", l2_models["combined"].read_bytes())
    layout_ok = staging_parent(p) == shared_dir if os.path.dirname(p) != shared_dir else False
    # The other user plants a model without the decoder signatures under the very path.
    import shutil

    # an interpreter the other user may run (ours may live under root's home)
    python = shutil.which("python3", path="/usr/local/bin:/usr/bin:/bin")
    if python is None:
        pytest.skip("no system python3 for the second user")
    r = subprocess.run([python, "-c", SWAP, p], input=l2_models["no_dec8"].read_bytes(),
                       user=other_user, capture_output=True, timeout=60, cwd="/")
    assert r.returncode == 0, r.stderr.decode()
    assert pathlib.Path(p).read_bytes() == l2_models["no_dec8"].read_bytes()  # the name now is theirs
    # ... but the chain loads the file this process wrote: all signatures present
    m.LitertChain([p], np.zeros(16 * 4680, np.float32), 1)
    assert r.stdout == b"private\n"  # and our folder could not even be listed
    assert layout_ok


def dead_pid():
    p = subprocess.Popen(["true"])
    p.wait()
    return p.pid


def test_start_up_sweeps_folders_of_dead_processes_only(staged):
    _, d = staged
    d.mkdir()
    gone = dead_pid()
    leftover = d / f"lumeth2-stage.{gone}.Ab3_x9"
    leftover.mkdir(mode=0o700)
    (leftover / "tmpabcdefgh_combined_litert.tflite").write_bytes(b"model")
    kept = [d / "lumeth2-stage.1.abcdef",  # its process lives
            d / f"lumeth2-stage.{gone}.toolong1",  # not our pattern
            d / f"lumeth2-stage.{gone}"]
    for k in kept:
        k.mkdir()
        (k / "f").write_bytes(b"x")
    not_a_dir = d / f"lumeth2-stage.{gone}.zz9zz9"
    not_a_dir.write_bytes(b"a file")
    p = m._stage_tflite("/no/bundle", "a.tflite", b"a")
    assert not leftover.exists()
    assert all((k / "f").exists() for k in kept) and not_a_dir.exists()
    assert sorted(os.listdir(d)) == sorted([os.path.basename(os.path.dirname(p)), not_a_dir.name]
                                           + [k.name for k in kept])


@pytest.mark.parametrize("sig, status", [("SIGTERM", 128 + 15), ("SIGKILL", -9)])
def test_host_signalled_during_start_up_leaves_no_copy(tmp_path, l2_models, sig, status, monkeypatch):
    import fcntl
    import signal

    import numpy as np
    from lumeth2_bundle_pack import write_bundle
    from orvane._lumeth2._client import host_command, isolated_env

    stage = tmp_path / "stage"
    env = isolated_env(tmp_path, stage)
    bundle = write_bundle("qvx", tmp_path / "b", {"canon.bin": np.zeros(74880, "<f4").tobytes(),
                                                   "combined_litert.tflite": l2_models["combined"].read_bytes()})
    # Standard error is a one-page pipe filled so that the warm-up line still fits
    # but the colour report, written after the model is staged, does not: the
    # host then waits there, between staging and loading, until we read.
    r, w = os.pipe()
    fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ
    warm = f"[render-stream-chain-host] warming up identity={bundle} threads=2 ...\n".encode()
    os.write(w, b"#" * (4096 - len(warm) - 64))
    p = subprocess.Popen(host_command() + ["render-stream", bundle, "--threads", "2"], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=w, env=env)
    os.close(w)
    try:
        wait_for(lambda: any(stage.rglob("*_combined_litert.tflite")), "no model was staged")
        p.send_signal(getattr(signal, sig))
        with os.fdopen(r, "rb") as err:
            err.read()  # let the host finish what it writes on its way out
        assert p.wait(timeout=60) == status
    finally:
        p.kill()
        p.wait()
    if sig == "SIGTERM":  # its exit sweep ran
        assert list(stage.iterdir()) == []
        return
    # killed outright: its folder stays until the next process stages there
    [left] = stage.iterdir()
    assert left.name.startswith(f"lumeth2-stage.{p.pid}.") and any(left.iterdir())
    monkeypatch.setenv("LUMETH2_STAGE_DIR", str(stage))
    monkeypatch.setattr(m, "_STAGED", [])
    try:
        mine = m._stage_tflite("/no/bundle", "a.tflite", b"a")
        assert os.listdir(stage) == [os.path.basename(os.path.dirname(mine))]
    finally:
        m._drop_staged()
    assert list(stage.iterdir()) == []


def as_user(name):
    """preexec_fn that turns the child into user `name`, with no group of ours."""
    import pwd

    pw = pwd.getpwnam(name)

    def drop():
        os.setgroups([])
        os.setgid(pw.pw_gid)
        os.setuid(pw.pw_uid)

    return drop


@pytest.mark.parametrize("ending", ["normal", "SIGTERM"])
def test_copies_in_a_folder_another_user_renamed_are_removed(tmp_path, l2_models, other_user, ending):
    """In a shared staging directory anyone may rename the host's folder: its copies are
    still removed (through the folder's descriptor), after loading or at the SIGTERM
    exit, and the emptied folder goes under the name it was given."""
    import fcntl
    import shutil
    import signal

    import numpy as np
    from lumeth2_bundle_pack import write_bundle
    from orvane._lumeth2._client import host_command, isolated_env

    shared = tempfile.mkdtemp(prefix="l2shared-", dir="/tmp")
    os.chmod(shared, 0o777)  # world-writable, not sticky
    try:
        env = isolated_env(tmp_path, shared)
        bundle = write_bundle("zip", tmp_path / "b", {
            "canon.bin": np.zeros(74880, "<f4").tobytes(),
            "combined_litert.tflite": l2_models["combined"].read_bytes()})
        # held between staging and loading, as in the start-up signal test above
        r, w = os.pipe()
        fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ
        warm = f"[render-stream-chain-host] warming up identity={bundle} threads=2 ...\n".encode()
        os.write(w, b"#" * (4096 - len(warm) - 64))
        p = subprocess.Popen(host_command() + ["render-stream", bundle, "--threads", "2"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=w, env=env)
        os.close(w)
        try:
            wait_for(lambda: any(pathlib.Path(shared).rglob("*_combined_litert.tflite")), "no model was staged")
            [folder] = os.listdir(shared)
            moved = os.path.join(shared, folder + ".theirs")
            mv = subprocess.run(["mv", os.path.join(shared, folder), moved], preexec_fn=as_user(other_user),
                                capture_output=True, timeout=60, cwd="/")
            assert mv.returncode == 0, mv.stderr.decode()
            if ending == "SIGTERM":
                p.send_signal(signal.SIGTERM)
            with os.fdopen(r, "rb") as err:
                import threading

                errs = threading.Thread(target=err.read, daemon=True)  # lets the host go on
                errs.start()
                if ending == "normal":
                    assert p.stdout.readline().startswith(b"READY ")  # loaded, copies released
                    p.stdin.close()
                errs.join(60)
            assert p.wait(timeout=60) == (0 if ending == "normal" else 128 + signal.SIGTERM)
        finally:
            p.kill()
            p.wait()
        assert os.listdir(shared) == []  # no copy left, and the renamed folder removed too
    finally:
        shutil.rmtree(shared)
