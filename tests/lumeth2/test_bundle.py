"""Bundle container access: directory, QVX container (by magic) and zip."""

import os
import pathlib
import random
import subprocess
import sys
import zipfile

import pytest

from orvane._lumeth2 import _chain_host as m

from .qvx_fixtures import qvx_bytes, qvx_table, reference_member, reference_toc, zip_bytes

CANON_BIN = b"B" * 12
CANON_F32 = b"F" * 8


def make_bundle(tmp_path, kind, members, name="bundle"):
    """A bundle of the given kind holding members [(stored name, data)]."""
    p = tmp_path / name
    if kind == "dir":
        for stored, data in members:
            f = p / stored
            f.parent.mkdir(parents=True, exist_ok=True)
            f.write_bytes(data)
    elif kind == "qvx":
        p.write_bytes(qvx_bytes(members))
    elif kind == "zip-stored":
        p.write_bytes(zip_bytes(members, zipfile.ZIP_STORED))
    elif kind == "zip-deflated":
        p.write_bytes(zip_bytes(members, zipfile.ZIP_DEFLATED))
    else:
        raise AssertionError(kind)
    return str(p)


KINDS = ["dir", "qvx", "zip-stored", "zip-deflated"]


@pytest.mark.parametrize("kind", KINDS)
def test_candidates_are_tried_in_callers_order(tmp_path, kind):
    b = make_bundle(tmp_path, kind, [("canon.f32", CANON_F32), ("canon.bin", CANON_BIN)])
    assert m._member_bytes(b, ["canon.bin", "canon.f32"]) == ("canon.bin", CANON_BIN)
    assert m._member_bytes(b, ["canon.f32", "canon.bin"]) == ("canon.f32", CANON_F32)
    assert m._member_bytes(b, ["missing.json", "canon.f32"]) == ("canon.f32", CANON_F32)
    assert m._member_bytes(b, ["missing.json"]) == (None, None)
    assert m._member_bytes(b, []) == (None, None)
    assert sorted(m._listing(b)) == ["canon.bin", "canon.f32"]
    # path objects name bundles as well as texts do
    assert m._member_bytes(pathlib.Path(b), ["canon.bin"]) == ("canon.bin", CANON_BIN)


@pytest.mark.parametrize("kind", ["qvx", "zip-stored", "zip-deflated"])
def test_container_member_under_a_folder_is_found_by_base_name(tmp_path, kind):
    b = make_bundle(tmp_path, kind, [("avatar/v1/canon.bin", CANON_BIN)])
    name, data = m._member_bytes(b, ["canon.bin"])
    assert (name, data) == ("canon.bin", CANON_BIN)
    assert m._listing(b) == ["canon.bin"]


def test_directory_bundle_does_not_look_into_subdirectories(tmp_path):
    b = make_bundle(tmp_path, "dir", [("sub/canon.bin", CANON_BIN)])
    assert m._member_bytes(b, ["canon.bin"]) == (None, None)
    assert m._listing(b) == ["sub"]


def test_directory_bundle_ignores_containers_inside_it(tmp_path):
    b = tmp_path / "b"
    b.mkdir()
    (b / "inner.qvx").write_bytes(qvx_bytes([("canon.bin", CANON_BIN)]))
    assert m._member_bytes(str(b), ["canon.bin"]) == (None, None)


@pytest.mark.parametrize("order", [("x/color.json", "color.json"), ("color.json", "x/color.json")])
@pytest.mark.parametrize("kind", ["qvx", "zip-stored"])
def test_later_entry_wins_for_a_shared_base_name(tmp_path, kind, order):
    members = [(order[0], b"first"), (order[1], b"second")]
    b = make_bundle(tmp_path, kind, members)
    assert m._member_bytes(b, ["color.json"]) == ("color.json", b"second")
    assert m._listing(b) == ["color.json", "color.json"]


def test_zip_folder_entry_lists_as_empty_name(tmp_path):
    p = tmp_path / "b.zip"
    p.write_bytes(zip_bytes([("folder/manifest.json", b"{}")], dirs=["folder"]))
    assert m._listing(str(p)) == ["", "manifest.json"]
    assert m._member_bytes(str(p), ["manifest.json"]) == ("manifest.json", b"{}")


def test_zip_member_with_bad_crc_raises_the_readers_error(tmp_path):
    raw = zip_bytes([("canon.bin", b"hello world payload")], zipfile.ZIP_STORED)
    assert raw.count(b"hello world payload") == 1
    p = tmp_path / "b.zip"
    p.write_bytes(raw.replace(b"hello world payload", b"hellO world payload"))
    assert m._listing(str(p)) == ["canon.bin"]
    with pytest.raises(zipfile.BadZipFile, match="Bad CRC-32"):
        m._member_bytes(str(p), ["canon.bin"])


def test_qvx_table_of_contents(tmp_path):
    p = tmp_path / "a.bin"  # the name plays no part
    body = qvx_bytes([("canon.bin", CANON_BIN), ("dir/ß.json", b"{}")])
    p.write_bytes(body)
    assert m._qvx_toc(str(p)) == [("canon.bin", 64, 12), ("dir/ß.json", 76, 2)]
    assert m._qvx_toc(str(p)) == reference_toc(body)


@pytest.mark.parametrize("hdr45", [b"\0\0", b"\xff\xff", b"\x01\x02"])
def test_header_bytes_4_5_are_ignored(tmp_path, hdr45):
    p = tmp_path / "c"
    p.write_bytes(qvx_bytes([("canon.bin", CANON_BIN)], hdr45=hdr45))
    assert m._qvx_toc(str(p)) == [("canon.bin", 8 + 18 + 9, 12)]


def _table_cut_in_name():
    t = qvx_table([("canon.bin", 100, 4)])
    return t[: 8 + 2 + 4]


def _table_cut_in_fixed_fields():
    t = qvx_table([("canon.bin", 100, 4)])
    return t[: 8 + 2 + 9 + 15]


@pytest.mark.parametrize(
    "body",
    [
        pytest.param(b"QVX\0\0\0\0", id="7-bytes"),
        pytest.param(b"", id="empty-file"),
        pytest.param(b"QVY\0\0\0\0\0", id="bad-magic"),
        pytest.param(b"qvx\0\0\0\0\0", id="magic-case"),
        pytest.param(qvx_table([("a", 0, 0)], count=2), id="count-beyond-table"),
        pytest.param(_table_cut_in_name(), id="cut-in-name"),
        pytest.param(_table_cut_in_fixed_fields(), id="cut-in-offset-size"),
        pytest.param(qvx_table([("ok.json", 0, 0), (b"bad\xff.json", 0, 0)]), id="non-utf8-name"),
        pytest.param(qvx_table([(b"\xed\xa0\x80", 0, 0)]), id="utf8-surrogate-name"),
    ],
)
def test_damaged_qvx_is_no_container(tmp_path, body):
    p = tmp_path / "damaged"
    p.write_bytes(body)
    assert m._qvx_toc(str(p)) is None
    assert m._member_bytes(str(p), ["ok.json", "a", "canon.bin"]) == (None, None)
    assert m._listing(str(p)) == []


def test_empty_qvx_container_is_a_container(tmp_path):
    p = tmp_path / "empty.qvx"
    p.write_bytes(b"QVX\0\0\0\0\0")
    assert m._qvx_toc(str(p)) == []
    assert m._member_bytes(str(p), ["manifest.json"]) == (None, None)
    assert m._listing(str(p)) == []


def test_file_that_is_both_qvx_and_zip_reads_as_qvx(tmp_path):
    z = zip_bytes([("manifest.json", b"{zip}")])
    empty = tmp_path / "empty-qvx+zip"
    empty.write_bytes(b"QVX\0\0\0\0\0" + z)  # zip readers find the archive from its end
    assert zipfile.is_zipfile(empty)
    assert m._member_bytes(str(empty), ["manifest.json"]) == (None, None)
    assert m._listing(str(empty)) == []

    table = qvx_table([("manifest.json", 8 + 18 + 13, 6)])
    both = tmp_path / "qvx+zip"
    both.write_bytes(table + b"{qvx!}" + z)
    assert zipfile.is_zipfile(both)
    assert m._member_bytes(str(both), ["manifest.json"]) == ("manifest.json", b"{qvx!}")
    assert m._listing(str(both)) == ["manifest.json"]


def test_broken_qvx_that_is_a_zip_reads_as_zip(tmp_path):
    z = zip_bytes([("manifest.json", b"{zip}")])
    p = tmp_path / "broken-qvx+zip"
    p.write_bytes(b"QVX\0\0\0\x05\0" + z)  # table of 5 entries cannot be read from zip bytes
    assert m._qvx_toc(str(p)) is None
    assert m._member_bytes(str(p), ["manifest.json"]) == ("manifest.json", b"{zip}")
    assert m._listing(str(p)) == ["manifest.json"]


HUGE = 2**63
MAX64 = 2**64 - 1


@pytest.mark.parametrize(
    "offset,size,expect",
    [
        pytest.param(None, 4, b"DATA", id="normal"),
        pytest.param(None, 100, b"DATAtail", id="size-past-end"),
        pytest.param(None, HUGE, b"DATAtail", id="size-2^63"),
        pytest.param(None, MAX64, b"DATAtail", id="size-2^64-1"),
        pytest.param(10_000, 4, b"", id="offset-past-end"),
        pytest.param(HUGE, HUGE, b"", id="offset-and-size-2^63"),
        pytest.param(MAX64, MAX64, b"", id="offset-2^64-1"),
        pytest.param(None, 0, b"", id="empty-member"),
    ],
)
def test_member_reads_are_clamped_to_the_file(tmp_path, offset, size, expect):
    head = 8 + 18 + 9
    off = head if offset is None else offset
    p = tmp_path / "c.qvx"
    p.write_bytes(qvx_table([("canon.bin", off, size)]) + b"DATAtail")
    assert m._qvx_toc(str(p)) == [("canon.bin", off, size)]
    assert m._member_bytes(str(p), ["canon.bin"]) == ("canon.bin", expect)


@pytest.mark.parametrize("path", ["/nonexistent/bundle", "", "rel/missing"])
def test_missing_path_has_no_members(path):
    assert m._qvx_toc(path) is None
    assert m._member_bytes(path, ["canon.bin"]) == (None, None)
    assert m._listing(path) == []


def test_plain_file_of_another_kind_has_no_members(tmp_path):
    p = tmp_path / "notes.txt"
    p.write_text("just some text\n")
    assert m._member_bytes(str(p), ["notes.txt"]) == (None, None)
    assert m._listing(str(p)) == []


def test_directory_symlink_loop_is_no_member(tmp_path):
    b = tmp_path / "b"
    b.mkdir()
    (b / "canon.bin").symlink_to(b / "loop")
    (b / "loop").symlink_to(b / "canon.bin")
    # a symlink loop is no regular file: not a member, no error
    assert m._member_bytes(str(b), ["canon.bin"]) == (None, None)


# --- optional size guard for callers that know the size they need -------------

@pytest.mark.parametrize("kind", KINDS)
def test_size_guard_returns_just_enough_to_refuse(tmp_path, kind):
    big = bytes(5_000_000)  # deflates to a few kB: a small archive declaring a large member
    b = make_bundle(tmp_path, kind, [("canon.bin", big), ("color.json", b"{}")])
    assert m._member_bytes(b, ["canon.bin"], max_size=16) == ("canon.bin", bytes(17))
    # a member within the limit comes back whole (zip: with its CRC checked)
    assert m._member_bytes(b, ["color.json"], max_size=2) == ("color.json", b"{}")
    assert m._member_bytes(b, ["canon.bin"], max_size=len(big)) == ("canon.bin", big)


def test_size_guard_on_huge_qvx_size(tmp_path):
    p = tmp_path / "c.qvx"
    p.write_bytes(qvx_table([("canon.bin", 35, HUGE)]) + b"DATAtail")
    assert m._member_bytes(str(p), ["canon.bin"], max_size=3) == ("canon.bin", b"DATA")


# --- random and mutated containers --------------------------------------------

NAMES = ["canon.bin", "canon.f32", "manifest.json", "x/color.json", "color.json", "",
         "a/b/identity.tflite", "ß/μ.tflite", "/", "dir/"]


def _random_container(rng):
    if rng.random() < 0.5:
        members = [(rng.choice(NAMES), rng.randbytes(rng.randrange(0, 40)))
                   for _ in range(rng.randrange(0, 6))]
        return bytearray(qvx_bytes(members, hdr45=rng.randbytes(2)))
    entries = []
    for _ in range(rng.randrange(0, 6)):
        off = rng.choice([rng.randrange(0, 200), HUGE, MAX64, rng.getrandbits(64)])
        size = rng.choice([rng.randrange(0, 200), HUGE, MAX64, rng.getrandbits(64)])
        name = rng.choice(NAMES).encode() if rng.random() < 0.8 else rng.randbytes(rng.randrange(0, 8))
        entries.append((name, off, size))
    return bytearray(qvx_table(entries) + rng.randbytes(rng.randrange(0, 200)))


def _mutate(rng, buf):
    for _ in range(rng.randrange(0, 4)):
        op = rng.randrange(6)
        if op == 0 and buf:
            del buf[rng.randrange(len(buf)):]
        elif op == 1 and buf:
            buf[rng.randrange(len(buf))] = rng.randrange(256)
        elif op == 2:
            at = rng.randrange(len(buf) + 1)
            buf[at:at] = rng.randbytes(rng.randrange(1, 20))
        elif op == 3 and len(buf) >= 8:
            buf[6:8] = rng.randbytes(2)  # entry count
        elif op == 4 and len(buf) >= 10:
            buf[8:10] = rng.randbytes(2)  # first name length
        elif op == 5:
            buf[:] = (b"QVX\0" if rng.random() < 0.7 else b"") + rng.randbytes(rng.randrange(0, 64))
    return bytes(buf)


def test_random_and_mutated_containers_match_the_layout(tmp_path):
    rng = random.Random(20261210)
    p = tmp_path / "fuzz"
    path = str(p)
    seen_valid = seen_invalid = 0
    for _ in range(3000):
        body = _mutate(rng, _random_container(rng))
        p.write_bytes(body)
        ref = reference_toc(body)
        assert m._qvx_toc(path) == ref, body
        if ref is None:
            seen_invalid += 1
            if not zipfile.is_zipfile(path):
                assert m._listing(path) == []
                assert m._member_bytes(path, NAMES) == (None, None)
            continue
        seen_valid += 1
        assert m._listing(path) == [os.path.basename(n) for n, _, _ in ref]
        cands = rng.sample(["canon.bin", "color.json", "", "missing", "μ.tflite", "identity.tflite"], 3)
        assert m._member_bytes(path, cands) == reference_member(body, ref, cands)
    assert seen_valid > 300 and seen_invalid > 300  # both roads were exercised


# --- paths that are no regular file --------------------------------------------

SPECIAL = r"""
import os, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.RLIM_INFINITY))
from orvane._lumeth2 import _chain_host as m
fifo = os.path.join(sys.argv[1], "fifo")
os.mkfifo(fifo)
for p in [fifo, "/dev/zero", "/dev/null", "nul\0in/path"]:
    print(repr((m._qvx_toc(p), m._member_bytes(p, ["canon.bin"]), m._listing(p))), flush=True)
"""


@pytest.mark.address_space_limit
def test_fifos_and_devices_are_no_bundles(tmp_path):
    # In a child, bounded in time and memory: the zip reader would block on a
    # FIFO that no one writes and read /dev/zero without end.
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
    r = subprocess.run([sys.executable, "-c", SPECIAL, str(tmp_path)], capture_output=True,
                       timeout=60, env=env)
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode().splitlines() == ["(None, (None, None), [])"] * 4


SMALL_STACK = r"""
import sys, threading
from orvane._lumeth2 import _chain_host as m
threading.stack_size(64 << 10)  # the smallest a caller may reasonably pick
out = []
t = threading.Thread(target=lambda: out.append((m._qvx_toc(sys.argv[1]),
                                                m._member_bytes(sys.argv[1], ["canon.bin"]))))
t.start()
t.join()
print(repr(out[0]))
"""


def test_container_reads_on_a_thread_with_a_small_stack(tmp_path):
    p = tmp_path / "c.qvx"
    p.write_bytes(qvx_bytes([("canon.bin", CANON_BIN)]))
    r = subprocess.run([sys.executable, "-c", SMALL_STACK, str(p)], capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode().strip() == repr(([("canon.bin", 35, 12)], ("canon.bin", CANON_BIN)))


@pytest.mark.parametrize("method, mib", [(zipfile.ZIP_BZIP2, 64), (zipfile.ZIP_LZMA, 40)])
def test_capped_zip_read_does_not_inflate_the_member_whole(tmp_path, method, mib):
    # The zip reader hands each compressed read whole to these decompressors, so
    # a member of a few KB inflates to all its MiB in one call unless the capped
    # read feeds it a few bytes at a time.
    import tracemalloc

    p = tmp_path / "bomb.zip"
    with zipfile.ZipFile(p, "w", method, compresslevel=1 if method == zipfile.ZIP_BZIP2 else None) as z:
        z.writestr("color.json", b" " * (mib << 20))
    tracemalloc.start()
    try:
        got = m._member_bytes(str(p), ["color.json"], max_size=1000)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert got == ("color.json", b" " * 1001)
    assert peak < 32 << 20
