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

import bz2
import json
import lzma
import os
import posixpath
import stat
import struct
import zipfile
import zlib

__all__ = ["read_manifest", "resolve_engine", "unfold_qvx", "engine_id_for_path", "MAGIC", "KINDS"]

MAGIC = b"QVX\x00"
MANIFEST = "manifest.json"
FIXTURE = "fixture.json"  # the native runtime's model description
MANIFEST_LIMIT = 1 << 24  # bytes; a manifest is a small JSON text, so more is damage (or a zip bomb)
KINDS = ("ferrin1", "ferrin2-light", "ferrin2-golden", "ferrin2-unified", "lumeth2")

# Bounds of one unpack (containers may come from anywhere). A container may
# unpack to UNPACK_RATIO times its own size, and any container to UNPACK_FLOOR;
# model weights hardly compress, so real avatars stay far below either, while a
# zip bomb (deflate reaches ~1000:1, bzip2 millions to one) is stopped early.
# The avatar cache's cap bounds it too, though never below the container's own
# size: the entry being opened may exceed the cap (the sweep keeps it), its
# expansion may not. A cap of 0 asks the sweep to keep nothing idle; it does not
# forbid opening avatars, so then the ratio alone bounds the unpack.
UNPACK_RATIO = 100
UNPACK_FLOOR = 1 << 26  # 64 MiB
MAX_DEPTH = 64  # directory levels of one member name; real avatars use a handful
_STEP = 1 << 20  # bytes read or inflated per step of a member copy
# Every file and folder an unpack makes takes room its bytes do not show (an
# inode; a block at least for a folder): a container of empty members or of deep,
# distinct folders would fill a disk while writing no byte. One unpack may make as
# many files and folders as the ratio bound (not the cache cap, which never stops
# a container taking its own room) holds blocks of this size.
ENTRY_BLOCK = 4096


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
        try:
            text = name.decode("utf-8")
        except UnicodeDecodeError as e:
            raise ValueError(f"QVX member name {name[:60]!r} is not UTF-8") from e
        table.append((text, offset, size))
    return table


def _qvx_spans_checked(table, data_start: int) -> None:
    """ValueError unless the members' bytes lie after the table, apart from each
    other (overlapping members would unpack one stretch of the file many times)."""
    spans = sorted((o, o + n, name) for name, o, n in table if n)
    end = data_start
    for start, stop, name in spans:
        if start < end:
            raise ValueError(f"QVX member {name!r} overlaps the table or another member")
        end = stop


def _is_qvx(path: str) -> bool:
    # Only regular files are containers: opening a pipe or a device could block
    # or read without end.
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise ValueError(f"{path} is neither an avatar directory nor a QVX or zip container")
    with open(path, "rb") as f:
        return f.read(4) == MAGIC


def _limited(read, name: str) -> bytes:
    """At most MANIFEST_LIMIT bytes from `read(n)`; ValueError when there are more."""
    data = read(MANIFEST_LIMIT + 1)
    if len(data) > MANIFEST_LIMIT:
        raise ValueError(f"{name} is larger than {MANIFEST_LIMIT} bytes")
    return data


def _open_regular(path: str, what: str):
    """`path` open for reading as a binary file object, only if it is a regular file
    (ValueError naming it as `what` otherwise). The name is opened once, without
    waiting: a named pipe put there would stall a plain open for a writer; the
    check and every later read go through that one descriptor, so nothing swapped
    in after the check is read."""
    flags = os.O_RDONLY | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NONBLOCK", 0)
    fd = os.open(path, flags)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError(f"{path} is not a regular file, so it is no {what}")
        if flags & getattr(os, "O_NONBLOCK", 0):
            os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _norm_member(name: str) -> str | None:
    """The path a member name unpacks to (as the unpack lays it out), or None for a
    name the unpack refuses."""
    try:
        return _safe_name(name)
    except ValueError:
        return None


def _zip_of(f, path: str) -> zipfile.ZipFile:
    """The zip archive read from the open file `f`; ValueError for a damaged one."""
    try:
        return zipfile.ZipFile(f)
    except (zipfile.BadZipFile, zipfile.LargeZipFile, NotImplementedError, EOFError,
            UnicodeDecodeError, struct.error) as e:
        raise ValueError(f"{path} is a damaged zip container: {e}") from e


def _member(path: str, name: str) -> bytes | None:
    """Bytes of one small member of a container, or None when it has no such member.

    Names are compared as the unpack lays them out ("./manifest.json" is
    "manifest.json"), and of several that land on one path the last in the
    container is the one read, as the unpack keeps the last it writes."""
    with _open_regular(path, "QVX or zip container") as f:
        if f.read(4) == MAGIC:
            found = None
            for member, offset, size in _qvx_table(f):
                if _norm_member(member) == name:
                    found = (offset, size)
            if found is None:
                return None
            offset, size = found
            if size > MANIFEST_LIMIT:
                raise ValueError(f"{name} is larger than {MANIFEST_LIMIT} bytes")
            f.seek(offset)
            data = f.read(size)
            if len(data) != size:
                raise ValueError(f"QVX member {name!r} is truncated")
            return data
        if zipfile.is_zipfile(f):
            with _zip_of(f, path) as z:
                info = None
                for i in z.infolist():
                    if not i.is_dir() and _norm_member(i.filename) == name:
                        info = i
                if info is None:
                    return None
                if info.file_size > MANIFEST_LIMIT:
                    raise ValueError(f"{name} is larger than {MANIFEST_LIMIT} bytes")
                # Through the bounded decompressors: the zip reader inflates a whole
                # compressed read of bzip2 or LZMA at once (a 1 KB member, gigabytes).
                return b"".join(_zip_pieces(z.fp, info))
    raise ValueError(f"{path} is neither an avatar directory nor a QVX or zip container")


def _parse_json(data: bytes, name: str):
    """The JSON value of a member's bytes; ValueError saying which member is broken."""
    try:
        return json.loads(data.decode("utf-8"))
    except UnicodeDecodeError as e:
        raise ValueError(f"{name} is not UTF-8 text: {e}") from e
    except (json.JSONDecodeError, RecursionError) as e:
        raise ValueError(f"{name} is not valid JSON: {e}") from e


def read_manifest(source: str):
    """The avatar's parsed manifest, or None when it carries none."""
    source = os.fspath(source)
    if os.path.isdir(source):
        path = os.path.join(source, MANIFEST)
        if not os.path.isfile(path):
            return None
        with _open_regular(path, MANIFEST) as f:
            return _parse_json(_limited(f.read, MANIFEST), MANIFEST)
    data = _member(source, MANIFEST)
    return None if data is None else _parse_json(data, MANIFEST)


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
            with _open_regular(desc, FIXTURE) as f:
                man = _parse_json(_limited(f.read, FIXTURE), FIXTURE)
    kind = man.get("engine") if isinstance(man, dict) else None
    return kind if isinstance(kind, str) and kind else "ferrin1"


def _safe_name(name: str) -> str:
    """A member name as a relative path inside the unpack directory."""
    norm = posixpath.normpath(name)
    if (not name or name.startswith("/") or "\\" in name or "\x00" in name
            or norm == "." or norm == ".." or norm.startswith("../")):
        raise ValueError(f"unsafe member name {name!r}")
    return norm


class _TooLarge(ValueError):
    """The container unpacks to more than its bound."""


def _unpack_limit(container_size: int) -> int:
    """Bytes one unpack of a container of `container_size` bytes may write."""
    limit = max(UNPACK_FLOOR, UNPACK_RATIO * container_size)
    try:
        from orvane._open import _cache_cap_bytes
        cap = _cache_cap_bytes()
    except (ImportError, ValueError, OverflowError):
        return limit  # no cache, or a cap that is no number: the ratio alone
    if cap <= 0:
        return limit
    return min(limit, max(cap, container_size))


class _Budget:
    """Running total of the bytes an unpack writes."""

    def __init__(self, limit: int, container_size: int):
        self.limit, self.used = limit, 0
        self.entry_limit = max(UNPACK_FLOOR, UNPACK_RATIO * container_size) // ENTRY_BLOCK
        self.entries = 0

    def take(self, n: int) -> None:
        self.used += n
        self.check(self.used)

    def check(self, total: int) -> None:
        if total > self.limit:
            raise _TooLarge(f"the container unpacks to more than {self.limit} bytes")

    def made(self, n: int = 1) -> None:
        """Counts `n` files or folders about to be made."""
        self.entries += n
        if self.entries > self.entry_limit:
            raise _TooLarge(f"the container unpacks to more than {self.entry_limit} files and folders")


def _path_limits(dest: str) -> tuple[int, int]:
    """(longest path, longest name) in bytes the platform takes under `dest`."""
    out = []
    for key, fallback in (("PC_PATH_MAX", 4096), ("PC_NAME_MAX", 255)):
        try:
            v = os.pathconf(dest, key)
        except (OSError, ValueError):
            v = -1
        out.append(v if v > 0 else fallback)
    return out[0], out[1]


def _member_names(raw: list[str], dest: str) -> list[str]:
    """The members' names as safe relative paths; ValueError for a name the
    platform cannot hold under `dest` (too long a path or name, too deep) before
    any of them is planned."""
    path_max, name_max = _path_limits(dest)
    room = path_max - len(os.fsencode(os.path.join(dest, ""))) - 1  # and the closing NUL
    names = []
    for name in raw:
        size = len(name.encode("utf-8", "surrogateescape"))
        if size > room:
            raise ValueError(f"member name of {size} bytes is longer than a path may be here")
        norm = _safe_name(name)
        parts = norm.split("/")
        if len(parts) > MAX_DEPTH:
            raise ValueError(f"member name {norm[:60]!r}... lies {len(parts)} folders deep")
        if max(len(p.encode("utf-8", "surrogateescape")) for p in parts) > name_max:
            raise ValueError(f"member name {norm[:60]!r}... has a part longer than {name_max} bytes")
        names.append(norm)
    return names


def _unpack_plan(names: list[str]) -> None:
    """ValueError when the members cannot all be laid out: no manifest, or one
    name that is both a file and the directory of another. Linear in the names'
    total length (and one sort): never a set of every parent path."""
    if MANIFEST not in names:
        raise ValueError("the container holds no manifest.json")
    # With "/" as the lowest character, every name below a folder X sorts right
    # after X itself, so a file that is another's folder is next to it.
    keys = sorted({n.replace("/", "\0") for n in names})
    for a, b in zip(keys, keys[1:]):
        if len(b) > len(a) and b[len(a)] == "\0" and b.startswith(a):
            name = a.replace("\0", "/")
            raise ValueError(f"member {name!r} is both a file and a directory")


def _make_dirs(dest: str, rel: str, budget: _Budget) -> None:
    """The folder `rel` (a safe relative path, "" for `dest` itself) and its missing
    parents under `dest`, each new one counted against `budget`."""
    if not rel or os.path.isdir(os.path.join(dest, rel)):
        return
    _make_dirs(dest, posixpath.dirname(rel), budget)
    budget.made()
    os.mkdir(os.path.join(dest, rel))


def _copy(pieces, out: str, budget: _Budget) -> None:
    """Write the byte pieces into the new file `out`, counted against `budget`
    before each write. Runs of zeros are skipped, not written: a sparse container
    (a few blocks on disk, gigabytes long) unpacks to a sparse file, never to
    gigabytes of written zeros."""
    budget.made()
    with open(out, "wb") as w:
        for piece in pieces:
            budget.take(len(piece))
            if piece == bytes(len(piece)):
                w.seek(len(piece), os.SEEK_CUR)
            else:
                w.write(piece)
        w.truncate()


def _pieces(f, left: int, what: str):
    """The next `left` bytes of `f`, _STEP at a time; ValueError when the file ends first."""
    while left:
        chunk = f.read(min(left, _STEP))
        if not chunk:
            raise ValueError(f"{what} is truncated")
        left -= len(chunk)
        yield chunk


def _qvx_pieces(f, name: str, offset: int, size: int):
    f.seek(offset)
    yield from _pieces(f, size, f"QVX member {name!r}")


def _zip_raw(fp, info: zipfile.ZipInfo):
    """The member's stored (compressed) bytes, in pieces, after its local header."""
    if info.flag_bits & 0x1:
        raise ValueError(f"zip member {info.filename!r} is encrypted")
    if info.header_offset < 0:
        # The zip reader takes a central directory lying before where the end record
        # puts it for bytes prepended to the archive, and moves every member back by
        # as much: a damaged end record puts members before the start of the file.
        raise ValueError(f"zip member {info.filename!r} lies before the start of the file")
    fp.seek(info.header_offset)
    head = fp.read(30)
    if len(head) != 30 or head[:4] != b"PK\x03\x04":
        raise ValueError(f"zip member {info.filename!r} has no local header")
    name_len, extra_len = struct.unpack("<HH", head[26:30])
    fp.seek(name_len + extra_len, os.SEEK_CUR)
    yield from _pieces(fp, info.compress_size, f"zip member {info.filename!r}")


def _inflate_stream(d, raw):
    """Output of a bz2/lzma-style decompressor `d`, at most _STEP bytes a call."""
    for chunk in raw:
        out = d.decompress(chunk, _STEP)
        yield out
        while not d.eof and not d.needs_input:
            yield d.decompress(b"", _STEP)
        if d.eof:
            return


def _zip_lzma(raw):
    """A zip LZMA member: a 4-byte header with the size of the properties that follow,
    then the raw stream."""
    head = b""
    for chunk in raw:
        head += chunk
        if len(head) >= 4 and len(head) >= 4 + struct.unpack("<H", head[2:4])[0]:
            break
    if len(head) < 4 or len(head) < 4 + struct.unpack("<H", head[2:4])[0]:
        raise ValueError("LZMA member header is truncated")
    psize = struct.unpack("<H", head[2:4])[0]
    d = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[
        lzma._decode_filter_properties(lzma.FILTER_LZMA1, head[4:4 + psize])])

    def rest():
        yield head[4 + psize:]
        yield from raw

    yield from _inflate_stream(d, rest())


def _zip_deflate(raw):
    d = zlib.decompressobj(-15)
    for chunk in raw:
        while chunk:
            out = d.decompress(chunk, _STEP)
            chunk = d.unconsumed_tail
            yield out
            if d.eof:
                return
        while not d.eof:  # input taken, output may still be pending
            out = d.decompress(b"", _STEP)
            if not out:
                break
            yield out


def _zip_pieces(fp, info: zipfile.ZipInfo):
    """The member's bytes, in pieces of at most _STEP: every decompressor is asked
    for a bounded amount at a time (the zip reader hands bzip2 and LZMA a whole
    compressed read, and a few kilobytes of bzip2 inflate to gigabytes). The
    member ends where its declared size and checksum say, or it is damaged."""
    raw = _zip_raw(fp, info)
    method = info.compress_type
    if method == zipfile.ZIP_STORED:
        pieces = raw
    elif method == zipfile.ZIP_DEFLATED:
        pieces = _zip_deflate(raw)
    elif method == zipfile.ZIP_BZIP2:
        pieces = _inflate_stream(bz2.BZ2Decompressor(), raw)
    elif method == zipfile.ZIP_LZMA:
        pieces = _zip_lzma(raw)
    else:
        raise ValueError(f"zip member {info.filename!r} uses compression method {method}, not supported")
    left, crc = info.file_size, 0
    try:
        for piece in pieces:
            if len(piece) > left:
                raise ValueError(f"zip member {info.filename!r} holds more than its declared size")
            left -= len(piece)
            crc = zlib.crc32(piece, crc)
            if piece:
                yield piece
    except (zlib.error, EOFError, lzma.LZMAError) as e:
        raise ValueError(f"damaged zip member {info.filename!r}: {e}") from e
    except OSError as e:
        if e.errno is not None:
            raise  # reading the container failed
        raise ValueError(f"damaged zip member {info.filename!r}: {e}") from e  # bzip2's own damage report
    if left or crc != info.CRC:
        raise ValueError(f"damaged zip member {info.filename!r}: bad size or checksum")


def unfold_qvx(source: str, dest: str) -> None:
    """Unpack a QVX or zip container into the empty directory `dest`.

    Input and output failures are OSError; a container that cannot be used
    (damaged table, unsafe or unholdable member names, no manifest.json, more
    bytes than its bound) is ValueError. What was written stays for the caller
    to remove.
    """
    source, dest = os.fspath(source), os.fspath(dest)
    if _is_qvx(source):
        with open(source, "rb") as f:
            table = _qvx_table(f)
            _qvx_spans_checked(table, f.tell())
            names = _member_names([n for n, _, _ in table], dest)
            _unpack_plan(names)
            whole = os.fstat(f.fileno()).st_size
            budget = _Budget(_unpack_limit(whole), whole)
            budget.check(sum(size for _, _, size in table))
            for name, (raw, offset, size) in zip(names, table):
                out = os.path.join(dest, name)
                _make_dirs(dest, posixpath.dirname(name), budget)
                _copy(_qvx_pieces(f, raw, offset, size), out, budget)
        return
    if not zipfile.is_zipfile(source):
        raise ValueError(f"{source} is neither a QVX nor a zip container")
    try:
        z = zipfile.ZipFile(source)
    except zipfile.BadZipFile as e:
        raise ValueError(str(e)) from e
    with z:
        infos = [i for i in z.infolist() if not i.is_dir()]
        names = _member_names([i.filename for i in infos], dest)
        _unpack_plan(names)
        whole = os.fstat(z.fp.fileno()).st_size
        budget = _Budget(_unpack_limit(whole), whole)
        budget.check(sum(i.file_size for i in infos))  # the declared sizes, before anything is written
        for info, name in zip(infos, names):
            out = os.path.join(dest, name)
            _make_dirs(dest, posixpath.dirname(name), budget)
            _copy(_zip_pieces(z.fp, info), out, budget)
