"""Host I/O of the lumeth-2 render-stream host: frame records, bundle reads, staging.

Each line: the measurement, ours, a plain-Python reference of the same step,
and the ratio reference / ours (above 1: ours is faster). Median of several
runs in one process.
"""

import os
import statistics
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

from orvane._lumeth2 import _chain_host as m  # noqa: E402
from lumeth2.qvx_fixtures import qvx_bytes, qvx_table  # noqa: E402

RUNS = 7
FRAME = 720 * 416 * 3


def compare(what, ours_fn, ref_fn, runs=RUNS):
    """Median times of ours and the reference, runs interleaved so neither gains from order."""
    a, b = [], []
    for _ in range(runs):
        for fn, ts in ((ours_fn, a), (ref_fn, b)):
            t0 = time.perf_counter()
            fn()
            ts.append(time.perf_counter() - t0)
    ours, ref = statistics.median(a), statistics.median(b)
    line(what, ours, ref)
    return ours


def line(what, ours, ref):
    print(f"{what:<44} ours {ours * 1e3:9.3f} ms   ref {ref * 1e3:9.3f} ms   ratio {ref / ours:6.2f}")


def bench_emit():
    px = os.urandom(FRAME)
    frames = [(3 + k, px) for k in range(32)]
    sink = open(os.devnull, "wb")
    m._OUT = sink

    def ref():
        for k, d in frames:
            sink.write(struct.pack("<i", k))
            sink.write(d)
        sink.flush()

    ours = compare("emit 32 records (one steady chunk)", lambda: m.emit(frames), ref)
    print(f"{'  share of the 1.6 s real-time budget':<44} {ours / 1.6 * 100:.4f} %")


def bench_bundle(tmp):
    member = os.urandom(64 << 20)
    path = os.path.join(tmp, "big.qvx")
    with open(path, "wb") as f:
        f.write(qvx_bytes([("canon.bin", b"x" * 299520), ("combined_litert.tflite", member)]))
    off, size = 8 + 18 + 9 + 299520 + 18 + 22, len(member)

    def ref_read():
        with open(path, "rb") as f:
            f.seek(off)
            return f.read(size)

    compare("QVX member read, 64 MiB", lambda: m._member_bytes(path, ["combined_litert.tflite"]), ref_read)

    toc_path = os.path.join(tmp, "toc.qvx")
    entries = [(f"dir/member_{k:05d}.bin", 8 * k, k) for k in range(20000)]
    with open(toc_path, "wb") as f:
        f.write(qvx_table(entries))

    def ref_toc():
        with open(toc_path, "rb") as f:
            hdr = f.read(8)
            (n,) = struct.unpack("<H", hdr[6:8])
            out = []
            for _ in range(n):
                (ln,) = struct.unpack("<H", f.read(2))
                name = f.read(ln).decode("utf-8")
                o, s = struct.unpack("<QQ", f.read(16))
                out.append((name, o, s))
            return out

    assert m._qvx_toc(toc_path) == ref_toc()
    compare("QVX table of 20000 entries", lambda: m._qvx_toc(toc_path), ref_toc)
    return member


def bench_staging(tmp, member):
    os.environ["LUMETH2_STAGE_DIR"] = tmp

    def ours():
        m._release_staged([m._stage_tflite("/no/bundle", "combined_litert.tflite", member)])

    def ref():
        with tempfile.NamedTemporaryFile(suffix="_combined_litert.tflite", dir=tmp, delete=False) as f:
            f.write(member)
        os.unlink(f.name)

    compare("stage + release a 64 MiB member", ours, ref)

    # A container's member copied to its staged file in blocks, against reading it
    # whole and writing it (what staging did before): same bytes, bounded memory.
    path = os.path.join(tmp, "big.qvx")

    def streamed():
        _, ref_ = m._member_ref(path, ["combined_litert.tflite"])
        m._release_staged([m._stage_tflite(path, "combined_litert.tflite", ref_)])

    def whole():
        _, data = m._member_bytes(path, ["combined_litert.tflite"])
        m._release_staged([m._stage_tflite(path, "combined_litert.tflite", data)])

    compare("QVX member staged in blocks, 64 MiB", streamed, whole)


def main():
    bench_emit()
    with tempfile.TemporaryDirectory() as tmp:
        member = bench_bundle(tmp)
        bench_staging(tmp, member)


if __name__ == "__main__":
    main()
