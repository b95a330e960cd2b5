"""Write a lumeth-2 avatar bundle in any of its three forms.

Members are given as a mapping name -> bytes. The forms are an unpacked directory,
a QVX container and a zip file; all three hold the same members under the same
names, so a reader must give the same answers for each.

QVX layout (integers unsigned little-endian): "QVX\\0", u16 (not interpreted), u16
entry count, then per entry u16 name length, the UTF-8 name, u64 data offset, u64
data size; member data follows the table.
"""
from __future__ import annotations

import os
import pathlib
import struct
import zipfile

FORMS = ("dir", "qvx", "zip")


def write_dir(path, members: dict[str, bytes]) -> str:
    d = pathlib.Path(path)
    d.mkdir(parents=True, exist_ok=True)
    for name, data in members.items():
        p = d / name
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
    return str(d)


def qvx_bytes(members: dict[str, bytes]) -> bytes:
    names = [n.encode("utf-8") for n in members]
    table_len = 8 + sum(2 + len(n) + 16 for n in names)
    head = bytearray(b"QVX\x00" + struct.pack("<HH", 1, len(names)))
    body = bytearray()
    offset = table_len
    for n, data in zip(names, members.values()):
        head += struct.pack("<H", len(n)) + n + struct.pack("<QQ", offset, len(data))
        body += data
        offset += len(data)
    return bytes(head + body)


def write_qvx(path, members: dict[str, bytes]) -> str:
    pathlib.Path(path).write_bytes(qvx_bytes(members))
    return str(path)


def write_zip(path, members: dict[str, bytes]) -> str:
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as z:
        for name, data in members.items():
            z.writestr(name, data)
    return str(path)


def write_bundle(form: str, base, members: dict[str, bytes]) -> str:
    """Write `members` as a bundle of `form` at `base` (+ ".qvx"/".zip" for files)."""
    base = os.fspath(base)
    if form == "dir":
        return write_dir(base, members)
    if form == "qvx":
        return write_qvx(base + ".qvx", members)
    if form == "zip":
        return write_zip(base + ".zip", members)
    raise ValueError(f"unknown bundle form {form!r}")
