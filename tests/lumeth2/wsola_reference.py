"""Straightforward numpy version of the WSOLA tempo change, used as the bit-exact
reference by the tests and the benchmark."""
import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

SEGMENT, OVERLAP, SEARCH = 1312, 192, 235


def ref_to_buf(d):
    v = np.asarray(d, dtype=np.float64) * 2147483648.0
    v = np.clip(np.trunc(v), -2147483648.0, 2147483647.0)
    return np.floor((v + 64.0) / 128.0).astype(np.float32)


def ref_from_buf(v):
    v = np.floor(np.asarray(v, dtype=np.float64) + 0.5)
    v = np.clip(v * 128.0, -2147483648.0, 2147483647.0)
    return (v / 2147483648.0).astype(np.float32)


def ref_tempo(x, factor=1.25, stats=None):
    ov = OVERLAP
    hop = SEGMENT - ov
    half = (SEARCH - 1) // 2
    skip = factor * hop
    pad = half + SEGMENT + 1
    buf = ref_to_buf(x)
    n = len(buf)
    n_out = max(0, int(np.floor(n / factor + 0.5)))
    inv = np.float32(1.0) / np.float32(ov)
    w = (np.arange(ov, dtype=np.float32) * inv).astype(np.float32)
    u = (np.float32(1.0) - w).astype(np.float32)
    out = np.zeros(n_out, np.float32)
    pbuf = np.zeros(n + 2 * pad, np.float32)
    pbuf[pad:pad + n] = buf
    win = sliding_window_view(pbuf, ov)
    offsets = np.arange(-half, half + 1)

    def take(a, cnt):
        a = int(a)
        if a >= n or a + cnt <= 0:
            return np.zeros(cnt, np.float32)
        lo = max(a, 0)
        s = buf[lo:min(a + cnt, n)]
        return np.concatenate([np.zeros(lo - a, np.float32), s,
                               np.zeros(cnt - (lo - a) - len(s), np.float32)])

    q = 0
    blk = 0
    while blk * hop < n_out:
        o0 = blk * hop
        if blk == 0:
            seg = take(0, hop)
        else:
            tail = take(q + hop, ov)
            nom = int(np.floor(blk * skip + 0.5))
            cand = win[nom - half + pad:nom + half + pad + 1].astype(np.float64)
            d = cand - tail.astype(np.float64)
            ssd = np.cumsum(d * d, axis=1)[:, -1]   # running sum in index order
            if stats is not None:
                stats["max_ssd"] = max(stats.get("max_ssd", 0.0), float(ssd.max()))
                stats.setdefault("picks", []).append(int(np.argmin(ssd)))
            qj = nom + int(offsets[int(np.argmin(ssd))])
            head = take(qj, ov)
            mix = tail * u + head * w               # float32 products, float32 sum
            seg = np.concatenate([mix, take(qj + ov, hop - ov)])
            q = qj
        m = min(hop, n_out - o0)
        out[o0:o0 + m] = seg[:m]
        blk += 1
    return ref_from_buf(out)
