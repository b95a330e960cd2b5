"""Damaged zip bundles on the real host: each mutation of a small valid bundle either
still serves (status 0) or ends start-up as a bundle fault (status 3, exactly one
FATAL line, no traceback). A fixed, deterministic set of mutations: cuts, byte flips
in the local headers, the central directory, the end record and the member data, a
member that inflates past its declared size, a broken manifest, non-UTF-8 names."""
import json
import struct
import subprocess
import zipfile
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from lumeth2_bundle_pack import write_zip
from orvane._lumeth2._client import host_command, isolated_env

TAG = "[render-stream-chain-host] "


def manifest(sha="ab" * 32):
    return json.dumps({"dependencies": [{"id": "lumeth2-shared-enc", "sha256": sha}]}).encode()


def colour():
    return json.dumps({"lut": [[(i * 5 + c) % 256 for i in range(256)] for c in range(3)]}).encode()


def entries(data):
    """(local header offset, central directory record offset) of every member, and the
    end record's offset, read from the archive's own structures."""
    eocd = data.rindex(b"PK\x05\x06")
    count, cd_size, cd_off = struct.unpack_from("<HII", data, eocd + 10)
    out, at = [], cd_off
    for _ in range(count):
        n, m, k = struct.unpack_from("<HHH", data, at + 28)
        (local,) = struct.unpack_from("<I", data, at + 42)
        out.append((local, at))
        at += 46 + n + m + k
    return out, eocd


def flip(data, at, value=None):
    b = bytearray(data)
    b[at] = (b[at] ^ 0xFF) if value is None else value
    return bytes(b)


def put(data, at, fmt, value):
    b = bytearray(data)
    struct.pack_into(fmt, b, at, value)
    return bytes(b)


def overlong(members, name, extra):
    """A zip whose member `name` inflates to `extra` bytes more than its entry declares;
    the declared size and CRC-32 are those of the declared prefix, so the zip reader's
    own check passes it."""
    data = members[name]
    comp = zlib.compressobj(9, zlib.DEFLATED, -15)
    raw = comp.compress(data + bytes(range(256)) * (extra // 256)) + comp.flush()
    out = bytearray()
    central = bytearray()
    for n, d in members.items():
        enc = n.encode()
        if n == name:
            body, method, crc, size = raw, 8, zlib.crc32(data), len(data)
        else:
            body, method, crc, size = d, 0, zlib.crc32(d), len(d)
        off = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x21, crc, len(body), size,
                           len(enc), 0) + enc + body
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, 0, 0x21, crc, len(body),
                               size, len(enc), 0, 0, 0, 0, 0, off) + enc
    cd_off = len(out)
    out += central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(members), len(members), len(central),
                                 cd_off, 0)
    return bytes(out)


def mutations(base, members):
    """name -> bytes of the damaged archive, always the same set."""
    out = {}
    n = len(base)
    for cut in sorted({0, 1, 4, 30, 100, n // 4, n // 2, n - 100, n - 23, n - 22, n - 1}):
        out[f"cut-{cut}"] = base[:cut]
    ents, eocd = entries(base)
    for i, (local, cent) in enumerate(ents):
        for field, at in [("sig", 0), ("flags", 6), ("method", 8), ("crc", 14), ("csize", 18), ("size", 22),
                          ("namelen", 26), ("extralen", 28), ("name", 30)]:
            out[f"local{i}-{field}"] = flip(base, local + at)
        for field, at in [("sig", 0), ("flags", 8), ("method", 10), ("crc", 16), ("csize", 20),
                          ("size", 24), ("namelen", 28), ("extralen", 30), ("localoff", 42), ("name", 46)]:
            out[f"central{i}-{field}"] = flip(base, cent + at)
        out[f"central{i}-encrypted"] = put(base, cent + 8, "<H", 1)
        out[f"central{i}-method-bzip2"] = put(put(base, cent + 10, "<H", 12), local + 8, "<H", 12)
        out[f"central{i}-method-unknown"] = put(put(base, cent + 10, "<H", 99), local + 8, "<H", 99)
        out[f"central{i}-size-huge"] = put(base, cent + 24, "<I", 0xFFFFFFFF)
        out[f"central{i}-size-smaller"] = put(base, cent + 24, "<I", 7)
        out[f"central{i}-non-utf8-name"] = put(put(base, cent + 8, "<H", 0x800), cent + 46, "B", 0xFF)
        (csize,) = struct.unpack_from("<I", base, cent + 20)
        nlen, elen = struct.unpack_from("<HH", base, local + 26)
        start = local + 30 + nlen + elen
        for frac in (0, 3, 7):
            out[f"data{i}-{frac}"] = flip(base, start + csize * frac // 8)
    for field, at in [("sig", 0), ("count", 10), ("cdsize", 12), ("cdoff", 16), ("comment", 20)]:
        out[f"end-{field}"] = flip(base, eocd + at)
    for name in ("canon.bin", "combined_litert.tflite", "color.json"):
        out[f"overlong-{name}"] = overlong(members, name, 4096)
    return out


@pytest.fixture(scope="module")
def base_members(l2_models):
    return {"canon.bin": np.zeros(74880, "<f4").tobytes(),
            "combined_litert.tflite": l2_models["combined"].read_bytes(),
            "manifest.json": manifest(), "color.json": colour()}


def run_host(path, env):
    r = subprocess.run(host_command() + ["render-stream", str(path), "--threads", "1"], input=b"",
                       capture_output=True, timeout=180, env=env)
    return r.returncode, r.stderr.decode(errors="replace")


def check(status, err):
    """None when the ending is sound, else what is wrong with it."""
    fatal = [ln for ln in err.splitlines() if ln.startswith(TAG + "FATAL: ")]
    if "Traceback" in err:
        return f"status {status} with a traceback: {err[-1500:]}"
    if status == 0:
        return None if not fatal else "status 0 with a FATAL line"
    if status == 3 and len(fatal) == 1:
        return None
    return f"status {status}, {len(fatal)} FATAL line(s): {err[-1500:]}"


def test_every_damaged_zip_ends_as_served_or_a_bundle_fault(tmp_path, base_members):
    base_path = tmp_path / "base.zip"
    write_zip(base_path, base_members)
    base = base_path.read_bytes()
    env = isolated_env(tmp_path, tmp_path / "stage")
    status, err = run_host(base_path, env)
    assert status == 0, err[-2000:]  # the base itself serves

    cases = mutations(base, base_members)
    paths = {}
    for name, data in cases.items():
        p = tmp_path / f"{name}.zip"
        p.write_bytes(data)
        paths[name] = p
    with ThreadPoolExecutor(4) as pool:
        results = dict(zip(paths, pool.map(lambda p: run_host(p, env), paths.values())))
    bad = {name: why for name, (status, err) in results.items() if (why := check(status, err))}
    assert not bad, f"{len(bad)} of {len(cases)} mutations end badly:\n" + "\n".join(
        f"{k}: {v[:600]}" for k, v in sorted(bad.items()))
    # what the set exercises: both endings occur, and the overlong members are faults
    assert {s for s, _ in results.values()} == {0, 3}
    assert all(results[f"overlong-{n}"][0] == 3 for n in ("canon.bin", "combined_litert.tflite", "color.json"))
    assert not list((tmp_path / "stage").iterdir())


@pytest.mark.parametrize("text", [b"{not json", b"\xff\xfe", b"[]", b'{"dependencies": 5}',
                                  b'{"dependencies": [{"id": "lumeth2-shared-enc", "sha256": 7}]}'])
def test_a_broken_manifest_is_served_or_refused_as_a_bundle_fault(tmp_path, base_members, l2_models, text):
    """A split bundle reads its manifest for the base it was cut against."""
    members = {"canon.bin": base_members["canon.bin"], "identity.tflite": b"id", "manifest.json": text}
    path = write_zip(tmp_path / "b.zip", members)
    status, err = run_host(path, isolated_env(tmp_path, tmp_path / "stage"))
    assert check(status, err) is None and status == 3, err[-1500:]


def damaged_models(model):
    """A model member's bytes damaged as a container without checksums carries them:
    cut short, its header zeroed, a run of it overwritten."""
    mid = len(model) // 2
    return {"cut": model[:len(model) // 3], "header-zeroed": bytes(16) + model[16:],
            "body-overwritten": model[:mid] + b"\xa5" * 4096 + model[mid + 4096:]}


@pytest.mark.parametrize("kind", ["qvx", "zip"])
@pytest.mark.parametrize("damage", ["cut", "header-zeroed", "body-overwritten"])
def test_a_model_member_the_runtime_cannot_load_is_a_bundle_fault(tmp_path, base_members, kind, damage):
    """A QVX keeps no checksum of its members, so a damaged model reaches the runtime;
    a zip's checks pass a model damaged before it was packed. Either way the bundle is
    at fault: one FATAL line naming it and the member, status 3, no staged copy left."""
    members = dict(base_members, **{"combined_litert.tflite":
                                    damaged_models(base_members["combined_litert.tflite"])[damage]})
    from lumeth2_bundle_pack import write_bundle
    path = write_bundle(kind, tmp_path / "b", members)
    status, err = run_host(path, isolated_env(tmp_path, tmp_path / "stage"))
    assert check(status, err) is None and status == 3, err[-1500:]
    (fatal,) = [ln for ln in err.splitlines() if ln.startswith(TAG + "FATAL: ")]
    assert str(path) in fatal and "combined_litert.tflite" in fatal
    assert not list((tmp_path / "stage").iterdir())
