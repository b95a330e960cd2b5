"""Unpacking untrusted containers into the cache: exact bytes for every zip method,
bounded output (member spans, zip bombs, the cache cap), and member names the
platform cannot hold."""
import bz2
import json
import os
import pathlib
import random
import struct
import subprocess
import sys
import tracemalloc
import zipfile

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from cache_fixtures import cache, om  # noqa: E402,F401

import orvane._qvx_engine as qe  # noqa: E402

MiB = 1 << 20
MANIFEST = json.dumps({"engine": "ferrin2-light"}).encode()


def qvx_raw(path, entries, data: bytes) -> str:
    """A QVX container whose table says `entries` [(name, offset, size)] with the
    offsets relative to the start of `data`, which follows the table (a negative
    offset lies in the table)."""
    names = [n.encode() for n, _, _ in entries]
    table_len = 8 + sum(2 + len(n) + 16 for n in names)
    base = table_len
    head = bytearray(b"QVX\0" + struct.pack("<HH", 1, len(entries)))
    for n, (_, off, size) in zip(names, entries):
        head += struct.pack("<H", len(n)) + n + struct.pack("<QQ", base + off, size)
    pathlib.Path(path).write_bytes(bytes(head) + data)
    return str(path)


def qvx_of(path, members: dict) -> str:
    entries, data = [], b""
    for name, blob in members.items():
        entries.append((name, len(data), len(blob)))
        data += blob
    return qvx_raw(path, entries, data)


def zip_of(path, members: dict, method=zipfile.ZIP_DEFLATED, prefix=b"") -> str:
    with zipfile.ZipFile(path, "w", method) as z:
        for name, blob in members.items():
            z.writestr(name, blob)
    if prefix:
        body = pathlib.Path(path).read_bytes()
        pathlib.Path(path).write_bytes(prefix + body)  # zip readers find the archive from its end
    return str(path)


def refused(om, src, cache):
    """The open is refused as an unusable avatar and leaves nothing but the memo folder."""
    with pytest.raises(om.InvalidAvatar) as ei:
        om._materialise(src)
    assert ei.value.args[0] == "that is not a usable avatar"
    assert ei.value.__cause__ is None and isinstance(ei.value.detail, ValueError)
    assert os.listdir(cache) == [".idx"]  # the scratch folder is gone
    return ei.value.detail


@pytest.fixture
def no_sweep(om, monkeypatch):
    monkeypatch.setattr(om, "_sweep", lambda avatars, keep: None)


NAMED = {"stored": zipfile.ZIP_STORED, "deflated": zipfile.ZIP_DEFLATED, "bzip2": zipfile.ZIP_BZIP2,
         "lzma": zipfile.ZIP_LZMA}
METHODS = [pytest.param(m, id=name) for name, m in NAMED.items()]


@pytest.mark.parametrize("method, prefix", [*[pytest.param(m, b"", id=name) for name, m in NAMED.items()],
                                            pytest.param(zipfile.ZIP_DEFLATED, b"#!/bin/sh\nexit 0\n",
                                                         id="deflated-after-a-script")])
def test_zip_members_unpack_exactly(om, cache, no_sweep, tmp_path, method, prefix):
    rng = random.Random(method)
    members = {"manifest.json": MANIFEST,
               "models/noise.bin": rng.randbytes(MiB + MiB // 2 + 17),  # two copy steps, incompressible
               "models/zeros.bin": bytes(5 * MiB),                 # inflates in several bounded steps
               "models/deep/a/b/empty": b"",
               "text.txt": b"hello " * 1000}
    dest = om._materialise(zip_of(tmp_path / "a.zip", members, method, prefix))
    for name, blob in members.items():
        assert pathlib.Path(dest, name).read_bytes() == blob, name


def patch_zip(path, member: str, *, data=None, crc=None, size=None):
    """Change one member's stored bytes (same length), or its CRC / declared size
    in both of its headers."""
    buf = bytearray(pathlib.Path(path).read_bytes())
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(member)
    local = info.header_offset
    n, m = struct.unpack_from("<HH", buf, local + 26)
    if data is not None:
        start = local + 30 + n + m
        buf[start:start + info.compress_size] = data(bytes(buf[start:start + info.compress_size]))
    central = next(i for i in range(len(buf) - 46) if buf[i:i + 4] == b"PK\1\2"
                   and struct.unpack_from("<I", buf, i + 42)[0] == local)
    for at_crc, at_size in ((local + 14, local + 22), (central + 16, central + 24)):
        if crc is not None:
            struct.pack_into("<I", buf, at_crc, crc)
        if size is not None:
            struct.pack_into("<I", buf, at_size, size)
    pathlib.Path(path).write_bytes(bytes(buf))


def flip_middle(b: bytes) -> bytes:
    mid = len(b) // 2
    return b[:mid] + bytes([b[mid] ^ 0x5A]) + b[mid + 1:]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("damage", ["data", "crc", "size"])
def test_damaged_zip_member_is_unusable(om, cache, no_sweep, tmp_path, method, damage):
    src = zip_of(tmp_path / "a.zip", {"manifest.json": MANIFEST,
                                     "w.bin": random.Random(1).randbytes(200_000)}, method)
    patch_zip(src, "w.bin", **{"data": {"data": flip_middle}, "crc": {"crc": 1234},
                               "size": {"size": 199_999}}[damage])
    refused(om, src, cache)


# ---- bounded output ----

@pytest.mark.parametrize("entries", [
    pytest.param([("manifest.json", 0, 20)] + [(f"copy{i}", 20, MiB) for i in range(40)], id="same-span"),
    pytest.param([("manifest.json", 0, 20), ("a", 20, 1000), ("b", 1019, 1000)], id="one-byte-overlap"),
    pytest.param([("manifest.json", 0, 20), ("a", 20 + MiB - 10, 11)], id="past-the-data"),
    pytest.param([("manifest.json", 0, 20), ("table", -20, 20)], id="over-the-table"),
])
def test_qvx_member_spans_must_lie_apart_in_the_data(om, cache, no_sweep, tmp_path, entries):
    """Overlapping members would unpack one stretch of the file many times over."""
    data = b'{"engine": "x"}     ' + bytes(MiB)
    src = qvx_raw(tmp_path / "a.qvx", entries, data)
    refused(om, src, cache)


def test_adjacent_and_empty_qvx_members_are_fine(om, cache, no_sweep, tmp_path):
    data = MANIFEST + b"abc"
    src = qvx_raw(tmp_path / "a.qvx", [("manifest.json", 0, len(MANIFEST)), ("x", len(MANIFEST), 3),
                                       ("empty1", 0, 0), ("empty2", len(data), 0)], data)
    dest = om._materialise(src)
    assert pathlib.Path(dest, "x").read_bytes() == b"abc" and pathlib.Path(dest, "empty1").read_bytes() == b""


@pytest.fixture(scope="module")
def zeros_deflated(tmp_path_factory):
    """A 100 KB zip whose member inflates to 100 MiB of zeros."""
    p = tmp_path_factory.mktemp("bomb") / "bomb.zip"
    return zip_of(p, {"manifest.json": MANIFEST, "w.bin": bytes(100 * MiB)})


def test_zip_bomb_is_refused_before_it_is_written(om, cache, no_sweep, zeros_deflated, monkeypatch):
    assert os.path.getsize(zeros_deflated) < MiB
    written = []
    real = qe._copy
    monkeypatch.setattr(qe, "_copy", lambda pieces, out, budget: (written.append(out), real(pieces, out, budget)))
    detail = refused(om, zeros_deflated, cache)
    assert str(detail) == f"the container unpacks to more than {qe.UNPACK_FLOOR} bytes"
    assert written == []  # the declared sizes gave it away


@pytest.mark.parametrize("form, mib, ok", [
    ("zip", 12, False),  # inflates past the 10 MB cap
    ("zip", 5, True),
    ("qvx", 12, True),   # no bigger than the container itself: the cap never refuses that
])
def test_cache_cap_bounds_the_unpack(om, cache, no_sweep, tmp_path, monkeypatch, form, mib, ok):
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0.01")
    members = {"manifest.json": MANIFEST, "w.bin": bytes(mib * MiB)}
    src = zip_of(tmp_path / "a.zip", members) if form == "zip" else qvx_of(tmp_path / "a.qvx", members)
    if ok:
        assert os.path.getsize(pathlib.Path(om._materialise(src), "w.bin")) == mib * MiB
    else:
        assert str(refused(om, src, cache)) == "the container unpacks to more than 10000000 bytes"


def test_unpack_limit(monkeypatch):
    monkeypatch.delenv("ORVANE_AVATAR_CACHE_GB", raising=False)
    assert qe._unpack_limit(1000) == qe.UNPACK_FLOOR
    assert qe._unpack_limit(10 * MiB) == 1000 * MiB
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0.000001")
    assert qe._unpack_limit(1000) == 1000  # a container may always take its own room
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "0")
    assert qe._unpack_limit(1000) == qe.UNPACK_FLOOR  # keep nothing idle: still opens avatars
    monkeypatch.setenv("ORVANE_AVATAR_CACHE_GB", "nan")
    assert qe._unpack_limit(1000) == qe.UNPACK_FLOOR  # a cap that is no number bounds nothing


LYING = """
import resource, sys
import orvane._offline
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    orvane._offline.unfold_qvx(sys.argv[1], sys.argv[2])
    print("unpacked")
except ValueError as e:
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print("refused", grown // 1024)
"""


@pytest.mark.parametrize("method", METHODS[2:])
def test_member_that_inflates_past_its_declared_size_is_stopped_early(tmp_path, method):
    """A member that claims 1000 bytes and inflates to 100 MiB is stopped at its
    declared size, holding a bounded piece in memory (bzip2 and LZMA inflate a whole
    compressed read at once in the zip reader)."""
    src = zip_of(tmp_path / "a.zip", {"manifest.json": MANIFEST, "w.bin": bytes(100 * MiB)}, method)
    assert os.path.getsize(src) < 64 * 1024
    patch_zip(src, "w.bin", size=1000)
    dest = tmp_path / "out"
    dest.mkdir()
    out = subprocess.run([sys.executable, "-c", LYING, src, str(dest)], capture_output=True, text=True,
                         timeout=120)
    word, *grown = out.stdout.split()
    assert word == "refused", out.stderr
    assert int(grown[0]) < 40, f"{grown[0]} MiB more memory while refusing"


ENGINE_OF = """
import resource, sys
import orvane._open as om
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    print("kind", om._engine_of(sys.argv[1]))
except ValueError as e:
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print("refused", grown // 1024)
"""


@pytest.mark.parametrize("declared", ["honest", "lying"])
@pytest.mark.parametrize("method", METHODS[1:])
def test_manifest_bomb_is_refused_in_bounded_memory(tmp_path, method, declared):
    """A manifest that inflates to 256 MiB (a few hundred bytes of bzip2): finding the
    engine kind reads at most its bound, whatever size the member declares."""
    big = b'{"engine": "ferrin2-light", "pad": "' + b" " * (256 * MiB) + b'"}'
    src = zip_of(tmp_path / "a.zip", {"manifest.json": big}, method)
    if declared == "lying":
        patch_zip(src, "manifest.json", size=1000)
    out = subprocess.run([sys.executable, "-c", ENGINE_OF, src], capture_output=True, text=True, timeout=120)
    word, *grown = out.stdout.split()
    assert word == "refused", out.stdout + out.stderr
    assert int(grown[0]) < 40, f"{grown[0]} MiB more memory while refusing"


@pytest.mark.parametrize("method", METHODS)
def test_manifest_read_from_every_zip_method(tmp_path, method):
    src = zip_of(tmp_path / "a.zip", {"manifest.json": MANIFEST, "w.bin": bytes(MiB)}, method)
    assert qe.read_manifest(src) == {"engine": "ferrin2-light"}


def blocks_used(top) -> int:
    """Bytes on disk under `top`: its folders' and files' blocks."""
    return sum(os.lstat(os.path.join(d, n)).st_blocks * 512
               for d, dirs, files in os.walk(top) for n in dirs + files)


@pytest.mark.parametrize("form, members", [
    # 300 members each under 60 folders of its own: ~18,000 folders (70 MB of
    # folder blocks on most file systems) from a zip of ~100 KB, no byte written.
    pytest.param("zip", {"/".join([f"{i:x}"] + ["d"] * 60 + ["f"]): b"" for i in range(300)},
                 id="distinct-deep-folders"),
    pytest.param("qvx", {f"e{i}": b"" for i in range(17000)}, id="many-empty-members"),  # ~400 KB
])
def test_files_and_folders_count_against_the_bound(om, cache, no_sweep, tmp_path, form, members):
    members = {"manifest.json": MANIFEST, **members}
    src = zip_of(tmp_path / "a.zip", members, zipfile.ZIP_STORED) if form == "zip" else qvx_of(tmp_path / "a.qvx", members)
    assert os.path.getsize(src) < qe.UNPACK_FLOOR // qe.UNPACK_RATIO
    limit = qe.UNPACK_FLOOR // qe.ENTRY_BLOCK
    assert str(refused(om, src, cache)) == f"the container unpacks to more than {limit} files and folders"


def test_sparse_container_unpacks_to_a_sparse_file(om, cache, no_sweep, tmp_path):
    """A QVX member lying in a hole of the container reads as zeros: the unpacked copy
    holds the same bytes and takes no more disk than the container."""
    head, tail = random.Random(7).randbytes(3 * MiB), b"end of weights"
    hole = 128 * MiB
    src = qvx_of(tmp_path / "a.qvx", {"manifest.json": MANIFEST, "w.bin": head})
    with open(src, "r+b") as f:  # w.bin continues into a hole, then a tail
        f.seek(0, os.SEEK_END)
        f.seek(hole, os.SEEK_CUR)
        f.write(tail)
    raw = pathlib.Path(src).read_bytes()[:200]
    at = raw.index(b"w.bin") + 5
    raw = raw[:at + 8] + struct.pack("<Q", len(head) + hole + len(tail)) + raw[at + 16:]
    with open(src, "r+b") as f:
        f.write(raw)
    on_disk = os.stat(src).st_blocks * 512
    assert on_disk < 8 * MiB
    dest = om._materialise(src)
    with open(os.path.join(dest, "w.bin"), "rb") as f:
        assert f.read(len(head)) == head
        zeros = 0
        while (piece := f.read(MiB)) and not piece.strip(b"\0"):
            zeros += len(piece)
        assert zeros == hole - hole % MiB
    assert pathlib.Path(dest, "w.bin").read_bytes()[-len(tail):] == tail
    assert blocks_used(dest) < on_disk + MiB


# ---- member names ----

def nested(depth, part="a", leaf="x"):
    return "/".join([part] * depth + [leaf])


@pytest.mark.parametrize("names", [
    pytest.param([nested(2100)], id="path-past-the-limit"),
    pytest.param([nested(32767, leaf=str(i)) for i in range(4)], id="four-64KB-nested-names"),
    pytest.param([nested(100)], id="too-deep"),
    pytest.param(["models/" + "n" * 300], id="name-past-the-limit"),
])
def test_names_the_platform_cannot_hold_are_refused_before_planning(om, cache, no_sweep, tmp_path, names):
    src = qvx_of(tmp_path / "a.qvx", {"manifest.json": MANIFEST, **{n: b"x" for n in names}})
    tracemalloc.start()
    try:
        refused(om, src, cache)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 8 * MiB + 2 * os.path.getsize(src)


def test_planning_is_linear_in_the_names(om, cache, no_sweep, tmp_path):
    """Many deep, long names within every limit: planning keeps one tree of their
    parts (the last name clashes, so nothing is written)."""
    room = 4096 - len(os.fsencode(cache)) - 200
    part = "p" * (room // 60 - 1)
    names = {f"{i:04d}/" + nested(58, part): b"" for i in range(400)}
    names["0000"] = b""  # a file where a folder is
    src = qvx_of(tmp_path / "a.qvx", {"manifest.json": MANIFEST, **names})
    tracemalloc.start()
    try:
        assert str(refused(om, src, cache)) == "member '0000' is both a file and a directory"
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 12 * MiB + 2 * os.path.getsize(src)


def test_deep_names_within_the_limits_unpack(om, cache, no_sweep, tmp_path):
    names = {nested(qe.MAX_DEPTH - 1, leaf="leaf.bin"): b"deep", "models/" + "n" * 255: b"long"}
    dest = om._materialise(qvx_of(tmp_path / "a.qvx", {"manifest.json": MANIFEST, **names}))
    for name, blob in names.items():
        assert pathlib.Path(dest, name).read_bytes() == blob
