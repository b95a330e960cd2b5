"""The avatar cache under attack and under contention: a file its owner rewrites
while we open it, processes of two containers (same process id, one cache
volume) unpacking at once, and folders left in an entry's way."""
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from cache_fixtures import Child, cache, members, om, qvx, shared, stranger  # noqa: E402,F401
from lumeth2_bundle_pack import write_qvx  # noqa: E402

import orvane._offline  # noqa: E402


def key_of_bytes(data: bytes) -> str:
    return "sha256-" + hashlib.sha256(data).hexdigest()[:32]


def tree(top) -> dict:
    top = pathlib.Path(top)
    return {str(p.relative_to(top)): p.read_bytes() for p in sorted(top.rglob("*")) if p.is_file()}


def entries_match_their_keys(avatars: str, known: dict) -> None:
    """Every entry in the cache holds exactly the members of the container whose key it bears."""
    for name in os.listdir(avatars):
        if name.startswith("."):
            continue
        assert name in known, f"unexpected name {name} in the cache"
        assert tree(os.path.join(avatars, name)) == known[name], f"{name} does not hold what its key names"


# ---- a file its owner rewrites through a shared mapping ----

# The owner of the offered file maps it shared and dirties every page first:
# later writes through the mapping then fault no more, so they move neither the
# modification nor the change time. It then puts other bytes in place, either
# when told (the moment between keying and unpacking) or when the file is
# opened a second time (inotify), as an attacker without any hook would.
ATTACKER = r"""
import ctypes, mmap, os, select, struct
path, evil, mode = sys.argv[1], bytes.fromhex(sys.argv[2]), sys.argv[3]
f = open(path, "r+b")
m = mmap.mmap(f.fileno(), 0, mmap.MAP_SHARED)
for i in range(0, len(m), mmap.PAGESIZE):
    m[i] = m[i]
if mode == "inotify":
    libc = ctypes.CDLL(None, use_errno=True)
    ino = libc.inotify_init1(os.O_NONBLOCK)
    assert ino >= 0 and libc.inotify_add_watch(ino, path.encode(), 0x20) >= 0  # IN_OPEN
print("ready", flush=True)
if mode == "hook":
    sys.stdin.readline()
else:
    opens = 0
    while opens < 2:
        ready, _, _ = select.select([ino, sys.stdin], [], [], 60)
        if ino in ready:
            buf = os.read(ino, 4096)
            while buf:
                opens += 1
                buf = buf[16 + struct.unpack_from("<I", buf, 12)[0]:]
        else:  # told to stop, or waited long enough
            break
m[:] = evil
print("swapped", flush=True)
for line in sys.stdin:
    if line.strip() == "end":
        break
"""


@pytest.mark.parametrize("when", ["hook", "inotify"])
def test_shared_mapping_rewrite_cannot_poison_the_key(om, cache, shared, stranger, monkeypatch, when):
    """The bytes filed under a key are the bytes that key was computed from,
    however the file's owner changes it while we open it; a later open of the
    genuine avatar, from any path, gets the genuine avatar."""
    genuine = pathlib.Path(qvx(shared / "g.qvx", "genuine")).read_bytes()
    evil = pathlib.Path(qvx(shared / "e.qvx", "evilevi")).read_bytes()
    assert len(evil) == len(genuine)
    known = {key_of_bytes(genuine): members("genuine"), key_of_bytes(evil): members("evilevi")}
    theirs = shared / "offered.qvx"
    stranger.run("import sys\nopen(sys.argv[1], 'wb').write(bytes.fromhex(sys.argv[2]))", str(theirs),
                 genuine.hex())
    attacker = stranger.start(ATTACKER, str(theirs), evil.hex(), when)
    assert attacker.line() == "ready"
    real = orvane._offline.unfold_qvx
    if when == "hook":  # deterministic: the owner strikes right between keying and unpacking
        def unfold(source, tmp):
            attacker.send()
            assert attacker.line() == "swapped"
            return real(source, tmp)

        monkeypatch.setattr(orvane._offline, "unfold_qvx", unfold)
    try:
        dest = om._materialise(str(theirs))
    except om.Failed:  # refusing is sound too; filing their bytes under our key is not
        dest = None
    if when == "inotify":
        attacker.send("stop")  # if our reading never gave it its moment
        assert attacker.line() == "swapped"
    attacker.send("end")
    attacker.finish()
    assert theirs.read_bytes() == evil  # the owner did rewrite it
    if dest is not None:
        assert tree(dest) == known[os.path.basename(dest)]
    entries_match_their_keys(cache, known)
    monkeypatch.setattr(orvane._offline, "unfold_qvx", real)
    mine = qvx(shared / "mine.qvx", "genuine")
    assert tree(om._materialise(mine)) == members("genuine")
    theirs_now = om._materialise(str(theirs))
    assert os.path.basename(theirs_now) == key_of_bytes(evil) and tree(theirs_now) == members("evilevi")
    entries_match_their_keys(cache, known)


@pytest.mark.parametrize("zeros", [0, 5 << 20, 9 << 20])
def test_private_copy_keeps_every_byte(om, cache, tmp_path, zeros):
    """A container others may write is unpacked from a copy that leaves runs of
    zeros as holes: the zeros still read back, at the end of the file too."""
    body = dict(members("zeros"), **{"models/tail.bin": b"\1" + bytes(zeros)})
    src = write_qvx(str(tmp_path / "zeros.qvx"), body)
    os.chmod(src, 0o666)  # others may write it: it is copied
    dest = om._materialise(src)
    assert os.path.basename(dest) == key_of_bytes(pathlib.Path(src).read_bytes())
    assert tree(dest) == body


# ---- two containers, one cache volume, the same process id ----

NS_RACER = """
import os
import orvane._qvx_engine as qe
print("pid", os.getpid(), flush=True)
real_copy = qe._copy
def gated(pieces, out, budget):
    print("member", os.path.basename(out), flush=True)
    sys.stdin.readline()
    return real_copy(pieces, out, budget)
qe._copy = gated
om._sweep = lambda a, k: None
dest = om._materialise(sys.argv[1])
print("dest", dest, flush=True)
"""

UNSHARE = ["unshare", "--pid", "--fork", "--kill-child"]


def can_unshare() -> bool:
    if shutil.which("unshare") is None:
        return False
    r = subprocess.run([*UNSHARE, sys.executable, "-c", "import os; print(os.getpid())"],
                       capture_output=True, text=True, timeout=60)
    return r.returncode == 0 and r.stdout.strip() == "1"


needs_pid_namespaces = pytest.mark.skipif(not can_unshare(), reason="needs unshare --pid (root)")

# Members in an order that puts the marker in the middle: an entry missing its
# first member still looks complete.
SPREAD = {"a.bin": b"a" * 3000, "manifest.json": members("spread")["manifest.json"],
          "models/w.bin": bytes(range(256)) * 8, "z.bin": b"z" * 100}


def step(child, expect):
    assert child.line() == f"member {expect}"
    child.send()


def run_out(child) -> str:
    """Lets the child write every member it still has; its last line."""
    while (out := child.line()).startswith("member "):
        child.send()
    return out


@needs_pid_namespaces
def test_same_pid_in_two_pid_namespaces_unpacks_a_complete_entry(om, cache, tmp_path):
    """Two containers sharing the cache volume run the same process id and unpack
    the same avatar at once, interleaved member by member: neither touches the
    other's scratch folder, the entry published holds every member, and the
    cache is usable afterwards."""
    src = write_qvx(str(tmp_path / "spread.qvx"), SPREAD)
    first = Child(NS_RACER, src, prefix=UNSHARE, env=dict(os.environ))
    second = Child(NS_RACER, src, prefix=UNSHARE, env=dict(os.environ))
    assert first.line() == second.line() == "pid 1"
    step(first, "a.bin")  # the first has written a member
    # the second makes its scratch folder and reaches its first member
    assert second.line() == "member a.bin"
    for name in ("manifest.json", "w.bin", "z.bin"):
        step(first, name)
    dest = os.path.join(cache, key_of_bytes(pathlib.Path(src).read_bytes()))
    assert first.line() == f"dest {dest}"
    first.finish()
    second.send()
    assert run_out(second) == f"dest {dest}"
    second.finish()
    assert tree(dest) == SPREAD
    assert sorted(os.listdir(cache)) == [".idx", os.path.basename(dest)]  # no scratch folder left behind
    assert tree(om._materialise(src)) == SPREAD


@needs_pid_namespaces
def test_pid_namespace_sweep_spares_a_live_unpack_it_cannot_see(om, cache, tmp_path, monkeypatch):
    """A sweep in another PID namespace finds a scratch folder named after a
    process id that means nothing there, idle past every limit: the unpack
    behind it still runs, so the folder stays and its entry comes out whole."""
    src = write_qvx(str(tmp_path / "spread.qvx"), SPREAD)
    unpacker = Child(NS_RACER, src, prefix=UNSHARE, env=dict(os.environ))
    assert unpacker.line() == "pid 1"
    step(unpacker, "a.bin")
    assert unpacker.line() == "member manifest.json"
    (scratch,) = [n for n in os.listdir(cache) if ".tmp." in n]
    assert om._TMP_RE.match(scratch).group(1) == "1"
    os.utime(os.path.join(cache, scratch), (0, 0))  # idle for decades
    monkeypatch.setattr(om, "_pid_alive", lambda pid: False)  # as a sweep elsewhere sees it
    om._sweep(cache, "")
    assert scratch in os.listdir(cache)
    unpacker.send()
    assert run_out(unpacker).startswith("dest ")
    unpacker.finish()
    assert tree(os.path.join(cache, key_of_bytes(pathlib.Path(src).read_bytes()))) == SPREAD


# ---- a folder without a marker in the entry's way ----

@pytest.mark.parametrize("blocker", [{"stray": b"x"}, {"models/weights.bin": b"half", "a/b/c": b"deep"}])
def test_markerless_folder_in_the_way_is_moved_aside(om, cache, tmp_path, blocker):
    """A folder under the entry's name without its marker (what an unpack of an
    older version, or one interrupted while removed, leaves) would refuse every
    open: it is moved aside, left for the sweep, and the entry is published."""
    src = qvx(tmp_path / "a.qvx")
    dest = os.path.join(cache, key_of_bytes(pathlib.Path(src).read_bytes()))
    for name, data in blocker.items():
        pathlib.Path(dest, name).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(dest, name).write_bytes(data)
    assert om._materialise(src) == dest
    assert tree(dest) == members()
    aside = [n for n in os.listdir(cache) if n not in (".idx", os.path.basename(dest))]
    assert len(aside) == 1 and om._TMP_RE.match(aside[0]).group(1) == str(os.getpid())
    assert tree(os.path.join(cache, aside[0])) == blocker  # not ours to remove: the sweep's


@needs_pid_namespaces
def test_markerless_folder_met_by_two_processes_is_moved_once(om, cache, tmp_path):
    """Two unpacks find the same marker-less folder in the way: one moves it, the
    other finds the published entry and adopts it; nothing complete is moved."""
    src = write_qvx(str(tmp_path / "spread.qvx"), SPREAD)
    dest = os.path.join(cache, key_of_bytes(pathlib.Path(src).read_bytes()))
    os.makedirs(dest)
    pathlib.Path(dest, "stray").write_bytes(b"x")
    first = Child(NS_RACER, src, prefix=UNSHARE, env=dict(os.environ))
    second = Child(NS_RACER, src, prefix=UNSHARE, env=dict(os.environ))
    assert first.line() == second.line() == "pid 1"
    for name in ("a.bin", "manifest.json", "w.bin"):
        step(first, name)
        step(second, name)
    assert first.line() == second.line() == "member z.bin"
    first.send()
    second.send()
    assert first.line() == second.line() == f"dest {dest}"
    first.finish()
    second.finish()
    assert tree(dest) == SPREAD
    aside = [n for n in os.listdir(cache) if n not in (".idx", os.path.basename(dest))]
    assert len(aside) == 1 and tree(os.path.join(cache, aside[0])) == {"stray": b"x"}
