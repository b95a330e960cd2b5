"""The avatar cache on a shared machine: no other user can steer it, and what it
unpacks is the user's alone.

The attacker is a real second user, made for these tests (they need root for
that, and skip without it); the victim is the test process.
"""
import hashlib
import json
import os
import pathlib
import shutil
import stat
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from cache_fixtures import TIMEOUT, Child, cache, members, om, qvx, shared, stranger, zipped  # noqa: E402,F401
from lumeth2_bundle_pack import write_qvx  # noqa: E402

import orvane._offline  # noqa: E402

HOUR = 3600


def key_of_bytes(data: bytes) -> str:
    return "sha256-" + hashlib.sha256(data).hexdigest()[:32]


def memo_name(path) -> str:
    st = os.stat(path)
    ident = f"{os.path.abspath(path)}\0{st.st_size}\0{st.st_mtime_ns}\0{st.st_ino}"
    return hashlib.sha256(ident.encode()).hexdigest()[:32]


def victim_home(shared: pathlib.Path) -> pathlib.Path:
    """The victim's own files the attacker aims at, their folders idle for days."""
    home = shared / "home"
    (home / ".ssh").mkdir(parents=True)
    (home / ".ssh" / "authorized_keys").write_text("ssh-ed25519 AAAA victim\n")
    (home / ".profile").write_text("export PATH=$HOME/bin:$PATH\n")
    for d in ("photos", "notes.tmp.2024", "sha256-" + "0" * 32):
        (home / d).mkdir()
        (home / d / "keep.txt").write_text(d)
        t = time.time() - 90 * 24 * HOUR
        os.utime(home / d, (t, t))
    os.chmod(home, 0o755)
    return home


def snapshot(home: pathlib.Path) -> dict:
    return {str(p.relative_to(home)): p.read_bytes() for p in sorted(home.rglob("*")) if p.is_file()}


def genuine(shared: pathlib.Path) -> str:
    """The avatar the victim opens; readable by all, as a downloaded file is."""
    src = write_qvx(str(shared / "genuine.qvx"), dict(members("genuine"), **{".profile": b"echo pwned\n"}))
    os.chmod(src, 0o644)
    return src


# What the attacker plants in a cache root they made and anyone can write.
PLANTS = {
    # The avatars folder is a link to the victim's home: the unpack writes there,
    # and the sweep after it removes the victim's idle folders.
    "avatars-link": "os.symlink(home, f'{root}/avatars')",
    # The victim's memo temporary is a link: writing the memo overwrites authorized_keys.
    "memo-temp-link": "os.makedirs(f'{root}/avatars/.idx'); os.chmod(f'{root}/avatars', 0o777); "
                      "os.chmod(f'{root}/avatars/.idx', 0o777); "
                      "os.symlink(f'{home}/.ssh/authorized_keys', f'{root}/avatars/.idx/{memo}.{pid}')",
    # The victim's unpack scratch folder is a link to its home: members land there (.profile).
    "scratch-link": "os.makedirs(f'{root}/avatars'); os.chmod(f'{root}/avatars', 0o777); "
                    "os.symlink(home, f'{root}/avatars/{key}.tmp.{pid}')",
    # A memo for the victim's file names the attacker's own avatar.
    "planted-memo": "os.makedirs(f'{root}/avatars/.idx'); os.chmod(f'{root}/avatars', 0o777); "
                    "os.makedirs(f'{root}/avatars/sha256-{evil}'); "
                    "open(f'{root}/avatars/sha256-{evil}/manifest.json', 'w')"
                    ".write('{\"engine\": \"ferrin2-light\", \"tag\": \"evil\"}'); "
                    "open(f'{root}/avatars/.idx/{memo}', 'w').write(evil)",
}


@pytest.mark.parametrize("plant", sorted(PLANTS))
def test_root_another_user_made_for_all_is_refused(om, shared, stranger, monkeypatch, plant):
    home = victim_home(shared)
    before = snapshot(home)
    src = genuine(shared)
    root = shared / "cache"
    code = ("import os, sys\nroot, home, memo, pid, key, evil = sys.argv[1:]\nos.mkdir(root); os.chmod(root, 0o777)\n"
            + PLANTS[plant])
    stranger.run(code, str(root), str(home), memo_name(src), str(os.getpid()),
                 key_of_bytes(pathlib.Path(src).read_bytes()), "e" * 32)
    monkeypatch.setenv("ORVANE_CACHE_DIR", str(root))
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0")  # every idle folder is fair game for a sweep
    e = opened = None
    try:
        opened = om._materialise(src)
    except om.Failed as refused:
        e = refused
    assert snapshot(home) == before  # nothing written, nothing removed
    if opened is not None:
        assert json.loads(pathlib.Path(opened, "manifest.json").read_text())["tag"] == "genuine"
    assert e is not None and e.args[0] == "could not prepare that avatar"
    assert isinstance(e.detail, PermissionError) and e.detail.filename == str(root)
    assert str(root) in str(e) and "another user" in str(e)
    assert om._HELD == {}


@pytest.mark.parametrize("plant, why", [
    ("os.symlink(sys.argv[2], sys.argv[1] + '/avatars')", "is a symbolic link"),
    ("os.mkdir(sys.argv[1] + '/avatars'); os.chmod(sys.argv[1] + '/avatars', 0o777)", "belongs to another user"),
    ("os.mkdir(sys.argv[1] + '/avatars', 0o700)", "belongs to another user"),
])
def test_planted_avatars_folder_in_a_sticky_root_is_refused(om, shared, stranger, monkeypatch, plant, why):
    """A root anyone can write is fine when sticky (as /tmp), but only with folders of our own in it."""
    home = victim_home(shared)
    before = snapshot(home)
    src = genuine(shared)
    stranger.run("import os, sys\n" + plant, str(shared), str(home))
    monkeypatch.setenv("ORVANE_CACHE_DIR", str(shared))
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0")
    e = None
    try:
        om._materialise(src)
    except om.Failed as refused:
        e = refused
    assert snapshot(home) == before
    assert e is not None and e.args[0] == "could not prepare that avatar" and isinstance(e.detail, PermissionError)
    assert e.detail.filename == str(shared / "avatars") and why in str(e)


def test_link_another_user_owns_on_the_roots_path_is_refused(om, shared, stranger, monkeypatch):
    """A link another user made in a shared folder stays theirs to repoint: found
    pointing at a folder of ours when the cache is checked, it can point at theirs
    by the time the cache is used. Here it is repointed while the container is
    hashed, and the unpack's scratch folder is swapped for a link to our home."""
    home = victim_home(shared)
    before = snapshot(home)
    src = genuine(shared)
    mine = shared / "mine"
    mine.mkdir(mode=0o700)
    link, trap = shared / "cache", shared / "trap"
    stranger.run("import os, sys\nos.makedirs(sys.argv[2] + '/avatars'); os.chmod(sys.argv[2] + '/avatars', 0o777)\n"
                 "os.symlink(sys.argv[1], sys.argv[3])", str(mine), str(trap), str(link))
    repoint = ("import os, sys\nos.symlink(sys.argv[1], sys.argv[2] + '.new'); "
               "os.rename(sys.argv[2] + '.new', sys.argv[2])")
    real_key, real_unfold = om._content_key, orvane._offline.unfold_qvx

    def key_then_repoint(*a, **kw):
        stranger.run(repoint, str(trap), str(link))
        return real_key(*a, **kw)

    def unfold_into_a_swapped_scratch(source, tmp):
        stranger.run("import os, sys\nos.rename(sys.argv[1], sys.argv[1] + '.away'); "
                     "os.symlink(sys.argv[2], sys.argv[1])", tmp, str(home))
        return real_unfold(source, tmp)

    monkeypatch.setattr(om, "_content_key", key_then_repoint)
    monkeypatch.setattr(orvane._offline, "unfold_qvx", unfold_into_a_swapped_scratch)
    monkeypatch.setenv("ORVANE_CACHE_DIR", str(link))
    e = None
    try:
        om._materialise(src)
    except (om.Failed, om.InvalidAvatar) as refused:
        e = refused
    assert snapshot(home) == before
    assert isinstance(e, om.Failed) and isinstance(e.detail, PermissionError)
    assert e.detail.filename == str(link) and "another user" in str(e)


def test_superuser_in_another_users_folder_is_told_what_to_do(om, shared, stranger, monkeypatch):
    """A root-run process with the cache in the working folder of a user: refused as
    ssh refuses a key folder others own, with the way out in the message."""
    src = genuine(shared)
    project = shared / "project"
    stranger.run("import os, sys\nos.mkdir(sys.argv[1], 0o755)", str(project))
    monkeypatch.chdir(project)
    monkeypatch.setenv("ORVANE_CACHE_DIR", "")
    with pytest.raises(om.Failed) as ei:
        om._materialise(src)
    assert ei.value.detail.filename == str(project) and not (project / "avatars").exists()
    assert str(ei.value) == (f"could not prepare that avatar ([Errno 1] a folder on the avatar cache's path belongs "
                             f"to another user; set ORVANE_CACHE_DIR to a folder of your own: '{project}')")


def test_sticky_root_gives_folders_no_one_else_can_enter(om, shared, stranger, monkeypatch):
    src = genuine(shared)
    monkeypatch.setenv("ORVANE_CACHE_DIR", str(shared))
    dest = om._materialise(src)
    assert json.loads(pathlib.Path(dest, "manifest.json").read_text())["tag"] == "genuine"
    for d in (shared / "avatars", shared / "avatars" / ".idx"):
        st = os.lstat(d)
        assert stat.S_ISDIR(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o700 and st.st_uid == os.geteuid()
    out = stranger.run(
        "import os, sys\nfor op in (lambda: os.listdir(sys.argv[1]), lambda: open(sys.argv[2]).read(),\n"
        "           lambda: os.mkdir(sys.argv[1] + '/.idx/x')):\n"
        "    try:\n        op(); print('allowed')\n    except PermissionError:\n        print('denied')\n",
        str(shared / "avatars"), os.path.join(dest, "manifest.json"))
    assert out.split() == ["denied"] * 3


@pytest.mark.parametrize("root_mode, why", [
    (0o777, "can be written by group or others and is not sticky"),
    (0o770, "can be written by group or others and is not sticky"),
])
def test_root_others_can_write_is_refused(om, tmp_path, monkeypatch, root_mode, why):
    root = tmp_path / "shared"
    root.mkdir()
    os.chmod(root, root_mode)
    monkeypatch.setenv("ORVANE_CACHE_DIR", str(root / "cache"))
    with pytest.raises(om.Failed) as ei:
        om._materialise(qvx(tmp_path / "a.qvx"))
    assert ei.value.detail.filename == str(root) and why in str(ei.value)
    assert os.listdir(root) == []  # not even the root is made in there


@pytest.mark.parametrize("folder, state, why", [
    ("avatars", 0o777, "can be written by group or others"),
    ("avatars", 0o730, "can be written by group or others"),
    (".idx", 0o757, "can be written by group or others"),
    ("avatars", "link", "is a symbolic link"),
    (".idx", "link", "is a symbolic link"),
])
def test_own_folders_others_could_change_are_refused(om, cache, tmp_path, folder, state, why):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir(mode=0o700)
    path = pathlib.Path(cache) if folder == "avatars" else pathlib.Path(cache, ".idx")
    path.parent.mkdir(parents=True, exist_ok=True)
    if state == "link":
        os.symlink(elsewhere, path)
    else:
        path.mkdir()
        os.chmod(path, state)
    with pytest.raises(om.Failed) as ei:
        om._materialise(qvx(tmp_path / "a.qvx"))
    assert ei.value.detail.filename == str(path) and why in str(ei.value)
    assert os.listdir(elsewhere) == []


@pytest.mark.parametrize("state", ["link", 0o777, "stranger"])
def test_content_key_reads_and_writes_memos_only_in_a_private_folder(om, cache, tmp_path, request, state):
    src = tmp_path / "c.qvx"
    src.write_bytes(b"genuine bytes")
    planted = tmp_path / "planted"
    planted.mkdir()
    (planted / memo_name(src)).write_text("e" * 32)
    idx = pathlib.Path(cache, ".idx")
    idx.parent.mkdir(parents=True)
    if state == "link":
        os.symlink(planted, idx)
    else:
        shutil.copytree(planted, idx)
        os.chmod(idx, 0o777 if state == 0o777 else 0o755)
        if state == "stranger":
            other = request.getfixturevalue("stranger")
            os.chown(idx, other.uid, other.gid)
    assert om._content_key(str(src), os.stat(src), cache) == key_of_bytes(b"genuine bytes")
    assert os.listdir(planted) == [memo_name(src)] and (planted / memo_name(src)).read_text() == "e" * 32


@pytest.mark.parametrize("state", ["link", "stranger"])
def test_sweep_of_a_folder_not_privately_ours_removes_nothing(om, tmp_path, request, monkeypatch, state):
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0")
    victim = tmp_path / "projects"
    for d in ("sha256-" + "1" * 32, "photos"):
        (victim / d).mkdir(parents=True)
        (victim / d / "f").write_bytes(b"x" * 100)
        os.utime(victim / d, (time.time() - 9 * HOUR,) * 2)
    avatars = tmp_path / "avatars"
    if state == "link":
        os.symlink(victim, avatars)
    else:
        avatars = victim
        other = request.getfixturevalue("stranger")
        os.chown(victim, other.uid, other.gid)
    om._sweep(str(avatars), "")
    assert sorted(os.listdir(victim)) == ["photos", "sha256-" + "1" * 32]


def test_memo_temporary_is_never_written_through_a_link(om, cache, tmp_path):
    """Our own leftover temporary of a crashed write: replaced, its target untouched."""
    src = tmp_path / "c.qvx"
    src.write_bytes(b"abc")
    target = tmp_path / "target"
    target.write_text("precious")
    idx = pathlib.Path(cache, ".idx")
    idx.mkdir(parents=True)
    os.symlink(target, idx / f"{memo_name(src)}.{os.getpid()}")
    assert om._content_key(str(src), os.stat(src), cache) == key_of_bytes(b"abc")
    assert target.read_text() == "precious"
    assert sorted(os.listdir(idx)) == [memo_name(src)]
    assert stat.S_IMODE(os.lstat(idx / memo_name(src)).st_mode) == 0o600


# ---- what the cache unpacks is the user's alone ----

def modes(top) -> set:
    out = set()
    for d, dirs, files in os.walk(top):
        out.add(("dir", stat.S_IMODE(os.lstat(d).st_mode)))
        out.update(("file", stat.S_IMODE(os.lstat(os.path.join(d, f)).st_mode)) for f in files)
    return out


@pytest.mark.parametrize("mask", [0o022, 0o002, 0o000])
@pytest.mark.parametrize("make", [qvx, zipped])
def test_entries_are_owner_only_whatever_the_umask(om, tmp_path, monkeypatch, mask, make):
    root = tmp_path / "new" / "cache"  # made by the cache, parents too
    monkeypatch.setenv("ORVANE_CACHE_DIR", str(root))
    src = make(tmp_path / "a.bin")
    os.chmod(src, 0o600)
    old = os.umask(mask)
    try:
        dest = om._materialise(src)
    finally:
        os.umask(old)
    assert modes(dest) == {("dir", 0o700), ("file", 0o600)}
    for d in (tmp_path / "new", root, root / "avatars", root / "avatars" / ".idx"):
        assert stat.S_IMODE(os.lstat(d).st_mode) == 0o700, d
    assert {m for kind, m in modes(root / "avatars" / ".idx") if kind == "file"} == {0o600}


def test_avatars_folder_an_older_version_left_readable_is_closed(om, cache, tmp_path):
    os.makedirs(cache, mode=0o755)
    os.chmod(cache, 0o755)
    om._materialise(qvx(tmp_path / "a.qvx"))
    assert stat.S_IMODE(os.lstat(cache).st_mode) == 0o700


# ---- the key and the unpack read the same file ----

@pytest.fixture
def swap_before_unpack(monkeypatch):
    """Replaces the file at a path with another at the moment between keying and unpacking."""
    real = orvane._offline.unfold_qvx
    swaps = []

    def unfold(source, tmp):
        for path, other in swaps:
            os.replace(other, path)
        swaps.clear()
        return real(source, tmp)

    monkeypatch.setattr(orvane._offline, "unfold_qvx", unfold)
    return swaps


@pytest.mark.parametrize("keyed_by", ["hashing", "memo"])
def test_file_swapped_between_key_and_unpack(om, cache, tmp_path, swap_before_unpack, keyed_by):
    src = qvx(tmp_path / "a.qvx", "genuine")
    genuine_key = key_of_bytes(pathlib.Path(src).read_bytes())
    if keyed_by == "memo":  # known from an earlier open whose entry has since been evicted
        shutil.rmtree(om._materialise(src))
    evil = qvx(tmp_path / "evil.qvx", "evil")
    swap_before_unpack.append((src, evil))
    dest = om._materialise(src)
    assert os.path.basename(dest) == genuine_key
    assert json.loads(pathlib.Path(dest, "manifest.json").read_text())["tag"] == "genuine"
    # Every later open of the genuine avatar gets the genuine one.
    copy = qvx(tmp_path / "copy.qvx", "genuine")
    assert json.loads(pathlib.Path(om._materialise(copy), "manifest.json").read_text())["tag"] == "genuine"


def test_file_rewritten_while_unpacked_is_refused(om, cache, tmp_path, monkeypatch):
    src = qvx(tmp_path / "a.qvx", "genuine")
    real = orvane._offline.unfold_qvx

    def unfold(source, tmp):
        with open(src, "ab") as f:  # rewritten in place: no swap of the name can be seen
            f.write(b"tail")
        return real(source, tmp)

    monkeypatch.setattr(orvane._offline, "unfold_qvx", unfold)
    with pytest.raises(om.Failed) as ei:
        om._materialise(src)
    assert ei.value.args[0] == "could not prepare that avatar" and "changed" in str(ei.value)
    assert sorted(os.listdir(cache)) == [".idx"]  # nothing filed under the key


def test_file_another_user_rewrites_in_place_while_unpacked_cannot_change_the_entry(om, cache, shared, stranger,
                                                                                     monkeypatch):
    """The owner of a file the victim opens rewrites it in place between keying and
    unpacking (same size, its modification time put back): what is unpacked is
    what was keyed (a private copy made in the one read), never their new bytes."""
    genuine_bytes = pathlib.Path(qvx(shared / "g.qvx", "genuine")).read_bytes()
    evil_bytes = pathlib.Path(qvx(shared / "e.qvx", "evilevi")).read_bytes()
    assert len(evil_bytes) == len(genuine_bytes)
    theirs = shared / "offered.qvx"
    stranger.run("import sys\nopen(sys.argv[1], 'wb').write(bytes.fromhex(sys.argv[2]))", str(theirs),
                 genuine_bytes.hex())
    real = orvane._offline.unfold_qvx

    def unfold(source, tmp):
        stranger.run("import os, sys\nst = os.stat(sys.argv[1])\n"
                     "with open(sys.argv[1], 'r+b') as f: f.write(bytes.fromhex(sys.argv[2]))\n"
                     "os.utime(sys.argv[1], ns=(st.st_atime_ns, st.st_mtime_ns))", str(theirs), evil_bytes.hex())
        return real(source, tmp)

    monkeypatch.setattr(orvane._offline, "unfold_qvx", unfold)
    dest = om._materialise(str(theirs))
    assert os.path.basename(dest) == key_of_bytes(genuine_bytes)
    assert json.loads(pathlib.Path(dest, "manifest.json").read_text())["tag"] == "genuine"
    assert theirs.read_bytes() == evil_bytes
    monkeypatch.setattr(orvane._offline, "unfold_qvx", real)
    mine = qvx(shared / "mine.qvx", "genuine")
    assert json.loads(pathlib.Path(om._materialise(mine), "manifest.json").read_text())["tag"] == "genuine"


def test_memo_of_a_file_another_user_may_rewrite_is_not_trusted(om, cache, shared, stranger):
    """Opened once, its entry evicted, then rewritten in place by its owner (same size,
    modification time put back): the next open must not file their bytes under the
    key the memo remembers."""
    genuine_bytes = pathlib.Path(qvx(shared / "g.qvx", "genuine")).read_bytes()
    evil_bytes = pathlib.Path(qvx(shared / "e.qvx", "evilevi")).read_bytes()
    theirs = shared / "offered.qvx"
    stranger.run("import sys\nopen(sys.argv[1], 'wb').write(bytes.fromhex(sys.argv[2]))", str(theirs),
                 genuine_bytes.hex())
    shutil.rmtree(om._materialise(str(theirs)))
    om._HELD.clear()
    stranger.run("import os, sys\nst = os.stat(sys.argv[1])\n"
                 "with open(sys.argv[1], 'r+b') as f: f.write(bytes.fromhex(sys.argv[2]))\n"
                 "os.utime(sys.argv[1], ns=(st.st_atime_ns, st.st_mtime_ns))", str(theirs), evil_bytes.hex())
    dest = om._materialise(str(theirs))
    assert os.path.basename(dest) == key_of_bytes(evil_bytes)
    mine = qvx(shared / "mine.qvx", "genuine")
    assert json.loads(pathlib.Path(om._materialise(mine), "manifest.json").read_text())["tag"] == "genuine"


def test_source_that_is_no_file_is_refused_unread(om, cache, tmp_path):
    """A device or a pipe is no container: keying it must not read without end or wait for a writer."""
    fifo = tmp_path / "pipe.qvx"
    os.mkfifo(fifo)
    child = Child("for s in sys.argv[1:]:\n"
                  "    try:\n        om._materialise(s)\n    except om.AvatarError as e:\n"
                  "        print(type(e).__name__, e.args[0], flush=True)\n", "/dev/zero", str(fifo),
                  env=dict(os.environ))
    assert child.line() == "InvalidAvatar that is not a usable avatar"
    assert child.line() == "InvalidAvatar that is not a usable avatar"
    child.finish()


def test_unpack_refusal_names_the_file_given(om, cache, tmp_path):
    """The unpacker reads the open file through its descriptor; its errors still name the user's file."""
    src = tmp_path / "notes.qvx"
    src.write_bytes(b"not a container at all")
    with pytest.raises(om.InvalidAvatar) as ei:
        om._materialise(str(src))
    assert str(src) in str(ei.value.detail) and "/fd/" not in str(ei.value)


@pytest.mark.parametrize("root, lands", [
    ("up/../c1", "c1"), ("up/b/up/new/c2", "a/new/c2"), ("c3", "a/b/c3"), ("", "a/b"),
    ("{base}/a/b/up/b/up/./c4//", "a/c4"), ("dangling/c5", None), ("dangling/../c6", None),
])
def test_root_is_walked_as_the_system_resolves_it(om, tmp_path, monkeypatch, root, lands):
    """Links on the way are followed and looked at; a link pointing nowhere is not made real."""
    base = tmp_path / "w"
    (base / "a" / "b").mkdir(parents=True)
    os.symlink("../../a", base / "a" / "b" / "up")
    os.symlink("../nowhere", base / "a" / "b" / "dangling")
    monkeypatch.chdir(base / "a" / "b")
    monkeypatch.setenv("ORVANE_CACHE_DIR", root.format(base=base))
    src = qvx(tmp_path / "x.qvx")
    if lands is None:
        with pytest.raises(om.Failed) as ei:
            om._materialise(src)
        assert isinstance(ei.value.detail, FileNotFoundError) and not (base / "a" / "nowhere").exists()
        return
    dest = om._materialise(src)
    assert os.path.realpath(os.path.dirname(os.path.dirname(dest))) == str(base / lands)
    assert stat.S_IMODE(os.stat(base / lands / "avatars").st_mode) == 0o700
