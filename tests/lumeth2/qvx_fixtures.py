"""Builders for QVX containers and zip bundles, and a reference QVX reader
written straight from the container layout (for comparison in tests)."""

import io
import os
import struct
import zipfile

MAGIC = b"QVX\0"


def _enc(name):
    return name.encode("utf-8") if isinstance(name, str) else bytes(name)


def qvx_table(entries, count=None, hdr45=b"\0\0"):
    """Header and table for entries [(name, offset, size)]; `count` overrides N."""
    n = len(entries) if count is None else count
    out = bytearray(MAGIC + hdr45 + struct.pack("<H", n))
    for name, off, size in entries:
        raw = _enc(name)
        out += struct.pack("<H", len(raw)) + raw + struct.pack("<QQ", off, size)
    return bytes(out)


def qvx_bytes(members, hdr45=b"\0\0"):
    """A complete container: members [(name, data)] stored after the table, in order."""
    pos = 8 + sum(18 + len(_enc(n)) for n, _ in members)
    entries, blob = [], bytearray()
    for name, data in members:
        entries.append((name, pos, len(data)))
        pos += len(data)
        blob += data
    return qvx_table(entries, hdr45=hdr45) + bytes(blob)


def zip_bytes(members, compression=zipfile.ZIP_STORED, dirs=()):
    """A zip archive of members [(stored name, data)], with optional directory entries."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression=compression) as z:
        for d in dirs:
            z.writestr(zipfile.ZipInfo(d.rstrip("/") + "/"), b"")
        for name, data in members:
            z.writestr(name, data)
    return buf.getvalue()


def reference_toc(buf):
    """The table of contents of `buf` per the layout, or None."""
    if len(buf) < 8 or buf[:4] != MAGIC:
        return None
    (n,) = struct.unpack_from("<H", buf, 6)
    pos, out = 8, []
    for _ in range(n):
        if pos + 2 > len(buf):
            return None
        (ln,) = struct.unpack_from("<H", buf, pos)
        pos += 2
        if pos + ln > len(buf):
            return None
        try:
            name = buf[pos:pos + ln].decode("utf-8")
        except UnicodeDecodeError:
            return None
        pos += ln
        if pos + 16 > len(buf):
            return None
        off, size = struct.unpack_from("<QQ", buf, pos)
        pos += 16
        out.append((name, off, size))
    return out


def reference_member(buf, toc, names):
    """What a member lookup by base name returns for a parsed container."""
    index = {os.path.basename(n): (off, size) for n, off, size in toc}
    for cand in names:
        if cand in index:
            off, size = index[cand]
            return cand, buf[off:off + size]
    return None, None
