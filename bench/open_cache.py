"""Avatar cache: content-key hashing, disk usage and unpacking, ours vs plain Python.

Prints one line per measurement: ours, the reference, the ratio (reference / ours,
above 1 means ours is faster); median of several runs in one process.
"""
import hashlib
import itertools
import os
import random
import statistics
import sys
import tempfile
import time
import zipfile

import orvane._open as om

BLOCK = 4194304


def median_time(fn, runs=7):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def ref_hash(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(BLOCK):
            h.update(block)
    return "sha256-" + h.hexdigest()[:32]


def ref_du(path):
    total = 0
    for d, _, files in os.walk(path):
        for name in files:
            try:
                total += os.lstat(os.path.join(d, name)).st_size
            except OSError:
                pass
    return total


def ref_unzip(src, dest):
    """The plain zip reader's copy of every member (no bound on what a member inflates to)."""
    with zipfile.ZipFile(src) as z:
        for info in z.infolist():
            out = os.path.join(dest, info.filename)
            os.makedirs(os.path.dirname(out), exist_ok=True)
            with z.open(info) as r, open(out, "wb") as w:
                while chunk := r.read(1 << 22):
                    w.write(chunk)


def unpack_lines(tmp, mib):
    """Bounded unpacking (bounded decompressor steps, running total) vs the zip reader."""
    from orvane._qvx_engine import unfold_qvx
    rng = random.Random(5)
    # weights-like: half noise, half runs, so every method has work to do
    blob = b"".join(rng.randbytes(1 << 19) + bytes(1 << 19) for _ in range(mib))
    runs = itertools.count()

    def fresh():
        d = os.path.join(tmp, f"out{next(runs)}")
        os.makedirs(d)
        return d

    for name, method in (("deflated", zipfile.ZIP_DEFLATED), ("bzip2", zipfile.ZIP_BZIP2),
                         ("lzma", zipfile.ZIP_LZMA)):
        src = os.path.join(tmp, f"a-{name}.zip")
        with zipfile.ZipFile(src, "w", method) as z:
            z.writestr("manifest.json", b"{}")
            z.writestr("models/w.bin", blob)
        ours = median_time(lambda: unfold_qvx(src, fresh()), runs=3)
        ref = median_time(lambda: ref_unzip(src, fresh()), runs=3)
        line(f"unpack {mib} MiB zip ({name}) vs zip reader", ours, ref)


def line(what, ours, ref, unit="s"):
    print(f"{what:44s} ours {ours * 1e3:9.2f} ms   reference {ref * 1e3:9.2f} ms   ratio {ref / ours:6.2f}")


def main():
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "avatar.qvx")
        with open(src, "wb") as f:
            for _ in range(mib // 16):
                f.write(os.urandom(16 << 20))
        st = os.stat(src)
        # Memos cannot be written below a regular file: every call hashes the container.
        open(os.path.join(tmp, "file"), "wb").close()
        no_memo = os.path.join(tmp, "file", "avatars")
        assert om._content_key(src, st, no_memo) == ref_hash(src)
        ours = median_time(lambda: om._content_key(src, st, no_memo))
        ref = median_time(lambda: ref_hash(src))
        line(f"content key, {mib} MiB (warm), vs hashlib loop", ours, ref)
        print(f"{'':44s} ours {mib / ours:9.0f} MiB/s reference {mib / ref:9.0f} MiB/s")

        avatars = os.path.join(tmp, "cache", "avatars")
        om._content_key(src, st, avatars)  # writes the memo
        memo = median_time(lambda: om._content_key(src, st, avatars), runs=51)
        line("re-open with a memo vs hashing again", memo, ours)

        tree = os.path.join(tmp, "tree")
        for i in range(200):
            d = os.path.join(tree, f"d{i}", "sub")
            os.makedirs(d)
            for j in range(50):
                with open(os.path.join(d, f"f{j}"), "wb") as f:
                    f.write(b"x" * (i + j))
        assert om._du(tree) == ref_du(tree)
        line("_du, 200 dirs x 50 files, vs os.walk+lstat", median_time(lambda: om._du(tree)),
             median_time(lambda: ref_du(tree)))

        unpack_lines(tmp, min(mib, 32))


if __name__ == "__main__":
    main()
