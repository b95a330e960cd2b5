"""Int8-decoder variant choice: CPU flags, manifest binding, runtime gate, the "[q8gd]" lines."""
import hashlib
import json

import pytest

from orvane._lumeth2 import _chain_host as host

DASH = " \u2014 "
SERVING = DASH + "serving combined_litert.tflite"
VARIANT = b"int8 decoder model bytes"
BASE = b"combined model bytes"
VSHA = hashlib.sha256(VARIANT).hexdigest()
BSHA = hashlib.sha256(BASE).hexdigest()


def write_cpuinfo(tmp_path, text):
    p = tmp_path / "cpuinfo"
    p.write_text(text)
    return str(p)


@pytest.mark.parametrize(
    "text, want",
    [
        ("processor\t: 0\nflags\t\t: fpu sse avx2 avx_vnni avx512_vnni\n", "avx512_vnni"),
        ("flags\t\t: fpu avx_vnni\n", "avx_vnni"),
        ("flags\t\t: fpu avx2\nflags\t\t: avx512_vnni\n", None),  # only the first flags line counts
        ("processor\t: 0\nmodel name\t: x\n", None),
        ("flags\t\t: fpu avx512_vnni_extra\n", None),  # whole names only
        ("flags: avx_vnni:avx512_vnni\n", None),  # text after the first ':' is split on blanks
    ],
)
def test_int8_dot_isa(tmp_path, text, want):
    assert host.int8_dot_isa(write_cpuinfo(tmp_path, text)) == want


def test_int8_dot_isa_missing_file_is_none(tmp_path):
    assert host.int8_dot_isa(str(tmp_path / "absent")) is None


def test_int8_dot_isa_takes_no_descriptor():
    # open() would adopt an integer as a descriptor and close it afterwards: a
    # stray number must not close a stream of the process (1 is the frame protocol)
    import os

    r, w = os.pipe()
    try:
        os.write(w, b"flags\t\t: avx_vnni\n")
        for fd in (r, True):
            with pytest.raises(TypeError):
                host.int8_dot_isa(fd)
        os.fstat(r)  # still open
    finally:
        os.close(r)
        os.close(w)


def manifest(**over):
    blk = {"sha256": VSHA, "base_member": "combined_litert.tflite", "base_sha256": BSHA}
    doc = {
        "members_sha256": {"combined_litert_q8gd.tflite": VSHA, "combined_litert.tflite": BSHA},
        "litert_q8gd": blk,
    }
    for k, v in over.items():
        if k.startswith("blk_"):
            if v is KeyError:
                blk.pop(k[4:], None)
            else:
                blk[k[4:]] = v
        elif v is KeyError:
            doc.pop(k, None)
        else:
            doc[k] = v
    return doc


@pytest.fixture
def bundle(tmp_path, monkeypatch):
    d = tmp_path / "bundle"
    d.mkdir()
    (d / "combined_litert.tflite").write_bytes(BASE)
    (d / "combined_litert_q8gd.tflite").write_bytes(VARIANT)
    monkeypatch.delenv("LUMETH2_Q8GD", raising=False)
    monkeypatch.setattr(host, "litert_runtime_version", lambda: "2.3.0", raising=False)
    return d


def put_manifest(d, doc):
    (d / "manifest.json").write_text(json.dumps(doc))


VNNI = "flags\t\t: fpu avx_vnni\n"


@pytest.mark.parametrize(
    "doc, runtime, line",
    [
        (manifest(), "2.3.0",
         "[q8gd] SELECTED combined_litert_q8gd.tflite (int8 decoder; cpu avx_vnni; sha " + VSHA[:12]
         + " bound; gate runtime not recorded (published before 2026-10-05))"),
        (manifest(blk_gate={"runtime": "2.3.0"}), "2.3.0",
         "[q8gd] SELECTED combined_litert_q8gd.tflite (int8 decoder; cpu avx_vnni; sha " + VSHA[:12]
         + " bound; gated on this runtime (ai-edge-litert 2.3.0))"),
        (manifest(blk_gate=["2.3.0"]), "9", None),  # a gate that is no object is not recorded
        (manifest(litert_q8gd=KeyError), "2.3.0",
         "[q8gd] FALLBACK: the header does not bind it (no members_sha256 entry / litert_q8gd block)" + SERVING),
        (manifest(members_sha256={"combined_litert.tflite": BSHA}), "2.3.0",
         "[q8gd] FALLBACK: the header does not bind it (no members_sha256 entry / litert_q8gd block)" + SERVING),
        (manifest(blk_sha256=BSHA), "2.3.0",
         "[q8gd] FALLBACK: litert_q8gd.sha256 disagrees with members_sha256" + SERVING),
        (manifest(blk_base_sha256=KeyError), "2.3.0",
         "[q8gd] FALLBACK: STALE: cut from combined_litert.tflite None, the header declares " + BSHA[:12] + SERVING),
        (manifest(blk_base_member="other.tflite"), "2.3.0",
         "[q8gd] FALLBACK: STALE: cut from combined_litert.tflite " + BSHA[:12] + ", the header declares "
         + BSHA[:12] + SERVING),
        (manifest(blk_gate={"runtime": "2.3"}), "2.3.0",
         "[q8gd] FALLBACK: gated on ai-edge-litert 2.3, this process runs 2.3.0" + DASH + "re-gate it" + SERVING),
        (manifest(blk_gate={"runtime": "2.3.0"}), None,
         "[q8gd] FALLBACK: gated on ai-edge-litert 2.3.0, this process's runtime is unreadable" + SERVING),
        (manifest(members_sha256=["x"]), "2.3.0",
         "[q8gd] FALLBACK: AttributeError: 'list' object has no attribute 'get'" + SERVING),
    ],
)
def test_decision_table(bundle, tmp_path, monkeypatch, doc, runtime, line):
    monkeypatch.setattr(host, "litert_runtime_version", lambda: runtime, raising=False)
    put_manifest(bundle, doc)
    path, got = host._select_q8gd(str(bundle), write_cpuinfo(tmp_path, VNNI))
    if line is None:  # accepted with the unrecorded gate
        assert path == str(bundle / "combined_litert_q8gd.tflite") and "gate runtime not recorded" in got
        return
    assert got == line
    assert (path is not None) == (" SELECTED " in line)
    if path is not None:
        assert path == str(bundle / "combined_litert_q8gd.tflite")


def test_upper_case_declared_hash_binds_but_never_matches(bundle, tmp_path):
    up = VSHA.upper()
    put_manifest(bundle, manifest(members_sha256={"combined_litert_q8gd.tflite": up, "combined_litert.tflite": BSHA},
                                  blk_sha256=up))
    path, line = host._select_q8gd(str(bundle), write_cpuinfo(tmp_path, VNNI))
    assert path is None
    assert line == "[q8gd] FALLBACK: bytes " + VSHA[:12] + " != declared " + up[:12] + SERVING


def test_variant_bytes_differ_from_declaration(bundle, tmp_path):
    put_manifest(bundle, manifest())
    (bundle / "combined_litert_q8gd.tflite").write_bytes(b"tampered")
    path, line = host._select_q8gd(str(bundle), write_cpuinfo(tmp_path, VNNI))
    got = hashlib.sha256(b"tampered").hexdigest()
    assert (path, line) == (None, "[q8gd] FALLBACK: bytes " + got[:12] + " != declared " + VSHA[:12] + SERVING)


def test_missing_manifest_is_the_catch_all(bundle, tmp_path):
    path, line = host._select_q8gd(str(bundle), write_cpuinfo(tmp_path, VNNI))
    assert path is None
    assert line == ("[q8gd] FALLBACK: FileNotFoundError: [Errno 2] No such file or directory: '"
                    + str(bundle / "manifest.json") + "'" + SERVING)


@pytest.mark.parametrize("cpu", ["flags\t\t: fpu avx2\n", "processor : 0\n", None])
def test_cpu_without_int8_dot(bundle, tmp_path, cpu):
    put_manifest(bundle, manifest())
    info = write_cpuinfo(tmp_path, cpu) if cpu is not None else str(tmp_path / "no-cpuinfo")
    assert host._select_q8gd(str(bundle), info) == (
        None,
        "[q8gd] FALLBACK: this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured 0.88-0.93x"
        " on AVX2)" + SERVING,
    )


@pytest.mark.parametrize("value, off", [(" OFF ", "off"), ("0", "0"), ("No", "no"), ("false", "false"),
                                        ("  ", None), ("on", None), ("1", None),
                                        ("\udcff", None)])  # an undecodable byte in the value
def test_env_switch(bundle, tmp_path, monkeypatch, value, off):
    put_manifest(bundle, manifest())
    monkeypatch.setenv("LUMETH2_Q8GD", value)
    path, line = host._select_q8gd(str(bundle), write_cpuinfo(tmp_path, VNNI))
    if off is None:
        assert " SELECTED " in line and path is not None
    else:
        assert (path, line) == (None, "[q8gd] off (LUMETH2_Q8GD=" + off + ")" + SERVING)


def test_quiet_cases(bundle, tmp_path, monkeypatch):
    monkeypatch.setenv("LUMETH2_Q8GD", "off")
    (bundle / "combined_litert_q8gd.tflite").unlink()
    assert host._select_q8gd(str(bundle)) == (None, "")  # no variant file: env not even read
    f = tmp_path / "bundle.qvx"
    f.write_bytes(b"QVX\x00\x00\x00\x00\x00")
    assert host._select_q8gd(str(f)) == (None, "")  # containers never yield the variant
    assert host._select_q8gd(str(tmp_path / "missing")) == (None, "")


@pytest.mark.parametrize(
    "doc, running, want",
    [
        (None, "1", (True, "gate runtime not recorded (published before 2026-10-05)")),
        ({}, None, (True, "gate runtime not recorded (published before 2026-10-05)")),
        ({"litert_q8gd": {"gate": {"runtime": ""}}}, "1", (True, "gate runtime not recorded (published before 2026-10-05)")),
        ({"litert_q8gd": {"gate": {"runtime": "2.3.0rc1+local"}}}, "2.3.0rc1+local",
         (True, "gated on this runtime (ai-edge-litert 2.3.0rc1+local)")),
    ],
)
def test_runtime_gate(doc, running, want):
    assert host._q8gd_runtime_ok(doc, running) == want


def test_bound_accepts_and_returns_declared_sha():
    assert host._q8gd_bound(manifest()) == (VSHA, "bound")
    assert host._q8gd_bound({})[0] is None


ODD_MANIFEST = r"""
import os, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))  # a read without end fails here, not the machine
from orvane._lumeth2 import _chain_host as host
host.litert_runtime_version = lambda: "2.3.0"
bundle, cpuinfo, kind = sys.argv[1:]
m = os.path.join(bundle, "manifest.json")
if kind == "fifo":
    os.mkfifo(m)  # no writer: an open that waits for one never returns
elif kind == "device":
    os.symlink("/dev/zero", m)
elif kind == "directory":
    os.mkdir(m)
else:
    with open(m, "w") as f:
        f.write("{}" + " " * (16 << 20))
print(host._select_q8gd(bundle, cpuinfo)[1])
"""


@pytest.mark.parametrize("kind, error", [
    ("fifo", "OSError: [Errno 22] not a regular file: '{}'"),
    ("device", "OSError: [Errno 22] not a regular file: '{}'"),
    ("directory", "IsADirectoryError: [Errno 21] Is a directory: '{}'"),
    ("oversized", "OSError: [Errno 27] larger than any manifest: '{}'"),
])
@pytest.mark.address_space_limit
def test_manifest_that_is_no_plain_small_file_falls_back(bundle, tmp_path, kind, error):
    # In a child bounded in time and memory: a FIFO would block start-up for good
    # and a device would be read without end.
    import subprocess
    import sys

    r = subprocess.run([sys.executable, "-c", ODD_MANIFEST, str(bundle), write_cpuinfo(tmp_path, VNNI), kind],
                       capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr.decode()
    want = "[q8gd] FALLBACK: " + error.format(bundle / "manifest.json") + SERVING
    assert r.stdout.decode().rstrip("\n") == want


SMALL_STACK = r"""
import sys, threading
from orvane._lumeth2 import _chain_host as host
host.litert_runtime_version = lambda: "2.3.0"
threading.stack_size(64 << 10)  # the smallest a caller may reasonably pick
out = []
t = threading.Thread(target=lambda: out.append(host._select_q8gd(sys.argv[1], sys.argv[2])))
t.start()
t.join()
print(out[0][1])
"""


def test_manifest_read_on_a_thread_with_a_small_stack(bundle, tmp_path):
    import subprocess
    import sys

    put_manifest(bundle, manifest())
    r = subprocess.run([sys.executable, "-c", SMALL_STACK, str(bundle), write_cpuinfo(tmp_path, VNNI)],
                       capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode().startswith("[q8gd] SELECTED combined_litert_q8gd.tflite")
