"""Avatar containers: manifest lookup, engine kind and unpacking.

A small stand-in for the package's container module. An avatar is an unpacked
directory, a QVX container or a zip file holding the same members; its
``manifest.json`` names the engine kind under the key ``"engine"``.

QVX layout (integers unsigned little-endian): ``b"QVX\\0"``, u16 (not
interpreted), u16 entry count, then per entry u16 name length, the UTF-8 name,
u64 data offset, u64 data size; member data follows the table.

Engine ids (for the streaming layer) are the engine kind strings themselves, so
the lumeth-2 id is ``"lumeth2"``; a model without a manifest is read by its
native-runtime description ``fixture.json`` (key ``"engine"``), else "ferrin1".
"""
from __future__ import annotations

import json
import os
import posixpath
import struct
import zipfile

__all__ = ["read_manifest", "resolve_engine", "unfold_qvx", "engine_id_for_path", "MAGIC", "KINDS"]

MAGIC = b"QVX\x00"
MANIFEST = "manifest.json"
FIXTURE = "fixture.json"  # the native runtime's model description
KINDS = ("ferrin1", "ferrin2-light", "ferrin2-golden", "ferrin2-unified", "lumeth2")


def _qvx_table(f) -> list[tuple[str, int, int]]:
    """(name, offset, size) of every member; ValueError for a damaged table."""
    f.seek(0, os.SEEK_END)
    file_size = f.tell()
    f.seek(0)
    head = f.read(8)
    if len(head) != 8 or head[:4] != MAGIC:
        raise ValueError("not a QVX container")
    (count,) = struct.unpack_from("<H", head, 6)
    table = []
    for _ in range(count):
        raw = f.read(2)
        if len(raw) != 2:
            raise ValueError("QVX table is truncated")
        (n,) = struct.unpack("<H", raw)
        name = f.read(n)
        span = f.read(16)
        if len(name) != n or len(span) != 16:
            raise ValueError("QVX table is truncated")
        offset, size = struct.unpack("<QQ", span)
        if offset > file_size or size > file_size - offset:
            raise ValueError(f"QVX member {name!r} lies outside the file")
        table.append((name.decode("utf-8"), offset, size))
    return table


def _is_qvx(path: str) -> bool:
    with open(path, "rb") as f:
        return f.read(4) == MAGIC


def _member(path: str, name: str) -> bytes | None:
    """Bytes of one member of a container, or None when it has no such member."""
    if _is_qvx(path):
        with open(path, "rb") as f:
            for member, offset, size in _qvx_table(f):
                if member == name:
                    f.seek(offset)
                    data = f.read(size)
                    if len(data) != size:
                        raise ValueError(f"QVX member {name!r} is truncated")
                    return data
        return None
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as z:
            try:
                return z.read(name)
            except KeyError:
                return None
    raise ValueError(f"{path} is neither an avatar directory nor a QVX or zip container")


def read_manifest(source: str):
    """The avatar's parsed manifest, or None when it carries none."""
    source = os.fspath(source)
    if os.path.isdir(source):
        path = os.path.join(source, MANIFEST)
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return json.loads(f.read().decode("utf-8"))
    data = _member(source, MANIFEST)
    return None if data is None else json.loads(data.decode("utf-8"))


def resolve_engine(man) -> str:
    """The engine kind a manifest names (``"engine"``); ValueError when it names none."""
    kind = man.get("engine") if isinstance(man, dict) else None
    if not isinstance(kind, str) or not kind:
        raise ValueError("the avatar's manifest names no engine")
    return kind


def engine_id_for_path(path: str) -> str:
    """Engine id of a model path: the engine its manifest names, else the one its
    native-runtime description (``fixture.json``, or that file itself) names, else
    "ferrin1". Engine ids are the engine kind strings."""
    path = os.fspath(path)
    man = read_manifest(path) if os.path.isdir(path) or not path.endswith(".json") else None
    if man is None:
        desc = os.path.join(path, FIXTURE) if os.path.isdir(path) else path
        if desc.endswith(".json") and os.path.isfile(desc):
            with open(desc, "rb") as f:
                man = json.loads(f.read().decode("utf-8"))
    kind = man.get("engine") if isinstance(man, dict) else None
    return kind if isinstance(kind, str) and kind else "ferrin1"


def _safe_name(name: str) -> str:
    """A member name as a relative path inside the unpack directory."""
    norm = posixpath.normpath(name)
    if (not name or name.startswith("/") or "\\" in name or "\x00" in name
            or norm == "." or norm == ".." or norm.startswith("../")):
        raise ValueError(f"unsafe member name {name!r}")
    return norm


def unfold_qvx(source: str, dest: str) -> None:
    """Unpack a QVX or zip container into the empty directory `dest`.

    Input and output failures are OSError; a container that cannot be used
    (damaged table, unsafe member names, no manifest.json) is ValueError.
    """
    source, dest = os.fspath(source), os.fspath(dest)
    if _is_qvx(source):
        with open(source, "rb") as f:
            table = _qvx_table(f)
            members = [(_safe_name(n), o, s) for n, o, s in table]
            if MANIFEST not in {n for n, _, _ in members}:
                raise ValueError("the container holds no manifest.json")
            for name, offset, size in members:
                out = os.path.join(dest, name)
                os.makedirs(os.path.dirname(out), exist_ok=True)
                f.seek(offset)
                with open(out, "wb") as w:
                    left = size
                    while left:
                        chunk = f.read(min(left, 1 << 22))
                        if not chunk:
                            raise ValueError(f"QVX member {name!r} is truncated")
                        w.write(chunk)
                        left -= len(chunk)
        return
    if not zipfile.is_zipfile(source):
        raise ValueError(f"{source} is neither a QVX nor a zip container")
    try:
        z = zipfile.ZipFile(source)
    except zipfile.BadZipFile as e:
        raise ValueError(str(e)) from e
    with z:
        infos = [i for i in z.infolist() if not i.is_dir()]
        names = [_safe_name(i.filename) for i in infos]
        if MANIFEST not in names:
            raise ValueError("the container holds no manifest.json")
        for info, name in zip(infos, names):
            out = os.path.join(dest, name)
            os.makedirs(os.path.dirname(out), exist_ok=True)
            try:
                with z.open(info) as r, open(out, "wb") as w:
                    while chunk := r.read(1 << 22):
                        w.write(chunk)
            except (zipfile.BadZipFile, EOFError) as e:
                raise ValueError(f"damaged zip member {info.filename!r}: {e}") from e
