import threading

import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as h

FH, FW = 720, 416


# --- reference, straight from the conversion rule -----------------------------------

def ref_apply(cc, rgb):
    if cc.kind == "lut":
        return np.ascontiguousarray(np.stack([cc.lut[c][rgb[..., c]] for c in range(3)], axis=-1), np.uint8)
    x = rgb.astype(np.float32) * cc.gain + cc.bias
    return np.clip(x, 0, 255).astype(np.uint8)


def ref_px_to_rgb888(px_chw, cc=None):
    x = px_chw * 255.0
    np.clip(x, 0.0, 255.0, out=x)
    f = np.ascontiguousarray(x.astype(np.uint8).transpose(1, 2, 0))
    if cc is not None:
        f = ref_apply(cc, f)
    return f.tobytes()


def ref_convert(frames, cc=None):
    """Batch conversion; returns (u8, frames as the fast path leaves them)."""
    out = np.empty((len(frames), FH, FW, 3), np.uint8)
    after = []
    lut = cc.lut if cc is not None and cc.kind == "lut" else None
    for i, f in enumerate(frames):
        fast = (isinstance(f, np.ndarray) and f.dtype == np.float32 and f.shape == (3, FH, FW)
                and f.flags.writeable)
        if fast:
            f = f.copy()
            np.multiply(f, np.float32(255.0), out=f)
            np.clip(f, 0.0, 255.0, out=f)
            planar = f.astype(np.uint8)
            if lut is not None:
                for c in range(3):
                    planar[c] = lut[c][planar[c]]
            out[i] = planar.transpose(1, 2, 0)
            if cc is not None and lut is None:
                out[i] = ref_apply(cc, out[i])
        else:
            out[i] = np.frombuffer(ref_px_to_rgb888(f, cc), np.uint8).reshape(FH, FW, 3)
        after.append(f)
    return out, after


def frames(k, seed, dtype=np.float32):
    rng = np.random.default_rng(seed)
    return [rng.uniform(-0.3, 1.3, (3, FH, FW)).astype(dtype) for _ in range(k)]


def lut_cc(seed=0):
    return h.ColorCorrect("lut", lut=np.random.default_rng(seed).integers(0, 256, (3, 256), dtype=np.uint8))


def gb_cc():
    return h.ColorCorrect("gain_bias", gain=np.array([1.2, 0.9, 1.05], np.float32),
                          bias=np.array([-7.5, 3.25, 0.0], np.float32))


class DuckCorrect:
    """Any kind other than "lut" is used only through apply()."""
    kind = "custom"

    def __init__(self):
        self.calls = 0
        self._lock = threading.Lock()

    def apply(self, rgb):
        with self._lock:
            self.calls += 1
        return (255 - rgb).astype(np.uint8)


def duck_ref(rgb):
    return (255 - rgb).astype(np.uint8)


# --- conversion rule ------------------------------------------------------------------

@pytest.mark.parametrize("value, byte", [(1.0, 255), (0.999, 254), (0.5, 127), (0.2, 51), (1.7, 255),
                                         (-0.4, 0), (0.0, 0), (-0.0, 0), (np.inf, 255), (-np.inf, 0)])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_value_to_byte(value, byte, dtype):
    f = np.full((3, FH, FW), value, dtype)
    assert set(h.px_to_rgb888(f)) == {byte}
    u = h.px_to_rgb888_chunk([f])
    assert (u == byte).all()


def test_nan_is_byte_zero_and_stays_nan_in_frame():
    f = frames(1, 0)[0]
    f[0, 0, 0] = f[2, 5, 7] = np.nan
    b = np.frombuffer(h.px_to_rgb888(f), np.uint8).reshape(FH, FW, 3)
    assert b[0, 0, 0] == 0 and b[5, 7, 2] == 0
    u = h.px_to_rgb888_chunk([f])
    np.testing.assert_array_equal(u[0], b)
    assert np.isnan(f[0, 0, 0]) and np.isnan(f[2, 5, 7])


@pytest.mark.parametrize("make_cc", [lambda: None, lut_cc, gb_cc], ids=["plain", "lut", "gain_bias"])
def test_single_frame_matches_reference(make_cc):
    cc = make_cc()
    for dtype in (np.float32, np.float64):
        f = frames(1, 3, dtype)[0]
        before = f.copy()
        assert h.px_to_rgb888(f, cc) == ref_px_to_rgb888(f, cc)
        np.testing.assert_array_equal(f, before)   # the input is not modified
    small = np.random.default_rng(1).uniform(-1, 2, (3, 5, 4))
    assert h.px_to_rgb888(small.astype(np.float32)) == ref_px_to_rgb888(small.astype(np.float32))
    # other element types take the array library's own route
    for arr in (small.astype(np.float16), (small * 3).astype(np.int16), small.tolist()):
        assert h.px_to_rgb888(arr) == ref_px_to_rgb888(np.asarray(arr))


def test_float64_products_in_double():
    # values whose float32 and float64 products truncate to different bytes
    rng = np.random.default_rng(9)
    cand = (rng.integers(1, 255, 200000) / 255.0 - rng.uniform(0, 3e-9, 200000))
    d64 = cand * 255.0
    d32 = cand.astype(np.float32) * np.float32(255.0)
    differ = cand[d64.astype(np.int64) != np.floor(np.clip(d32, 0, 255)).astype(np.int64)]
    assert differ.size > 0
    f = np.zeros((3, FH, FW))
    f.flat[:differ.size] = differ
    assert h.px_to_rgb888(f) == ref_px_to_rgb888(f)
    u = h.px_to_rgb888_chunk([f])
    np.testing.assert_array_equal(u[0].ravel(), np.frombuffer(ref_px_to_rgb888(f), np.uint8))


@pytest.mark.parametrize("make_cc", [lambda: None, lut_cc, gb_cc, DuckCorrect],
                         ids=["plain", "lut", "gain_bias", "other kind"])
def test_batch_both_paths_match_reference(make_cc):
    cc = make_cc()
    fs = frames(4, 5)
    ro = fs[1].copy()
    ro.flags.writeable = False                       # fallback: read-only
    f64 = fs[2].astype(np.float64)                   # fallback: float64
    base = np.random.default_rng(6).uniform(-0.3, 1.3, (3, FH, 2 * FW)).astype(np.float32)
    strided = base[:, :, ::2]                        # fast path: writable, not contiguous
    batch = [fs[0], ro, f64, strided, fs[3]]
    ref_in = [b.copy() if isinstance(b, np.ndarray) else b for b in batch]
    for b, r in zip(ref_in, batch):
        r_w = r.flags.writeable
        b.flags.writeable = r_w
    if isinstance(cc, DuckCorrect):
        want = []
        for b in ref_in:
            x = b * 255.0
            x = np.clip(x, 0.0, 255.0).astype(np.uint8).transpose(1, 2, 0)
            want.append(duck_ref(x))
        want = np.stack(want)
        after = [np.clip(b * np.float32(255.0), 0, 255) if (b.dtype == np.float32 and b.flags.writeable) else b
                 for b in ref_in]
    else:
        want, after = ref_convert(ref_in, cc)
    got = h.px_to_rgb888_chunk(batch, cc, 2)
    assert got.dtype == np.uint8 and got.shape == (5, FH, FW, 3) and got.flags.c_contiguous
    np.testing.assert_array_equal(got, want)
    # fast-path frames now hold the scaled, clipped values; fallback frames are unchanged
    for b, a in zip(batch, after):
        np.testing.assert_array_equal(b, a)
    np.testing.assert_array_equal(batch[2], fs[2].astype(np.float64))
    if isinstance(cc, DuckCorrect):
        assert cc.calls == 5


def test_lut_fast_and_fallback_paths_agree():
    cc = lut_cc(4)
    f = frames(1, 8)[0]
    ro = f.copy()
    ro.flags.writeable = False
    fast = h.px_to_rgb888_chunk([f.copy()], cc)
    slow = h.px_to_rgb888_chunk([ro], cc)
    np.testing.assert_array_equal(fast, slow)


def test_planar_scratch_per_thread():
    u8 = np.empty((1, FH, FW, 3), np.uint8)
    h._rgb_convert_range(frames(1, 1), u8, 0, 1, None)
    p = h._RGB_TLS.planar
    assert p.shape == (3, FH, FW) and p.dtype == np.uint8
    h._rgb_convert_range(frames(1, 2), u8, 0, 1, None)
    assert h._RGB_TLS.planar is p


def test_range_failure_leaves_earlier_frames_written():
    fs = frames(2, 3)
    want, _ = ref_convert([f.copy() for f in fs])
    u8 = np.full((4, FH, FW, 3), 7, np.uint8)
    bad = np.zeros((3, 10), np.float32)            # not three-dimensional
    with pytest.raises(ValueError):
        h._rgb_convert_range([fs[0], fs[1], bad, frames(1, 4)[0]], u8, 0, 4, None)
    np.testing.assert_array_equal(u8[:2], want)
    assert (u8[3] == 7).all()
    with pytest.raises(ValueError):                 # wrong number of values
        h._rgb_convert_range([np.zeros((3, FH, FW - 1), np.float32)], u8, 0, 1, None)
    with pytest.raises(IndexError):
        h._rgb_convert_range(fs, u8[:1], 0, 2, None)


def test_apply_error_fails_range():
    class Broken:
        kind = "gain_bias"

        def apply(self, rgb):
            raise RuntimeError("broken correction")

    with pytest.raises(RuntimeError, match="broken correction"):
        h.px_to_rgb888_chunk(frames(1, 0), Broken())


# --- batching and the pool ------------------------------------------------------------

@pytest.fixture
def fresh_pool(monkeypatch):
    """A module with no pool yet; the pool made in the test is shut down after it."""
    monkeypatch.setattr(h, "_RGB_POOL", None)
    yield
    if h._RGB_POOL is not None:
        h._RGB_POOL.shutdown(wait=True)


@pytest.fixture
def recorder(monkeypatch):
    calls = []
    lock = threading.Lock()

    def record(px, u8, lo, hi, cc):
        with lock:
            calls.append((lo, hi, threading.current_thread().name))

    monkeypatch.setattr(h, "_rgb_convert_range", record)
    return calls


@pytest.mark.parametrize("n, threads, ranges", [
    (21, 8, [(i, i + 3) for i in range(0, 21, 3)]),
    (32, 8, [(i, i + 4) for i in range(0, 32, 4)]),
    (32, 3, [(0, 11), (11, 22), (22, 32)]),
    (5, 8, [(i, i + 1) for i in range(5)]),
    (32, 2.9, [(0, 16), (16, 32)]),
])
def test_range_splits(fresh_pool, recorder, n, threads, ranges):
    u8 = h.px_to_rgb888_chunk([None] * n, None, threads)
    assert u8.shape == (n, FH, FW, 3)
    assert sorted((lo, hi) for lo, hi, _ in recorder) == ranges
    assert all(name.startswith("l2-rgb") for _, _, name in recorder)
    assert any(t.name.startswith("l2-rgb") for t in threading.enumerate())


@pytest.mark.parametrize("n, threads", [(7, 1), (7, 0), (7, -3), (1, 8), (0, 8)])
def test_inline_conversion_creates_no_pool(fresh_pool, recorder, n, threads):
    u8 = h.px_to_rgb888_chunk([None] * n, None, threads)
    assert u8.shape == (n, FH, FW, 3)
    assert h._RGB_POOL is None
    assert recorder == [(0, n, threading.current_thread().name)]


def test_pool_keeps_first_size(fresh_pool, recorder):
    h.px_to_rgb888_chunk([None] * 4, None, 2)
    pool = h._RGB_POOL
    assert pool._max_workers == 2
    recorder.clear()
    h.px_to_rgb888_chunk([None] * 32, None, 8)
    assert h._RGB_POOL is pool and pool._max_workers == 2
    assert len(recorder) == 8
    assert h._rgb_pool(5) is pool


def test_pool_created_once_under_concurrent_first_use(fresh_pool, monkeypatch):
    made = []
    inside, release = threading.Event(), threading.Event()

    def slow_pool(**kw):
        made.append(kw)
        inside.set()
        release.wait(30)
        return "pool-%d" % len(made)

    monkeypatch.setattr(h, "ThreadPoolExecutor", slow_pool, raising=False)
    got = []
    first = threading.Thread(target=lambda: got.append(h._rgb_pool(2)))
    first.start()
    assert inside.wait(30)
    second = threading.Thread(target=lambda: got.append(h._rgb_pool(7)))
    second.start()
    release.set()
    first.join(30)
    second.join(30)
    monkeypatch.setattr(h, "_RGB_POOL", None)   # not a real pool: nothing to shut down
    assert got == ["pool-1", "pool-1"]
    assert made == [{"max_workers": 2, "thread_name_prefix": "l2-rgb"}]


def test_first_failing_range_in_submission_order(fresh_pool, monkeypatch):
    done = []
    lock = threading.Lock()
    release_first = threading.Event()

    def record(px, u8, lo, hi, cc):
        if lo == 3:
            release_first.wait(30)   # fails last in time, first in order
            raise ValueError("range 3")
        with lock:
            done.append(lo)
        if lo == 9:
            release_first.set()
            raise ValueError("range 9")

    monkeypatch.setattr(h, "_rgb_convert_range", record)
    with pytest.raises(ValueError, match="^range 3$"):
        h.px_to_rgb888_chunk([None] * 21, None, 8)
    assert sorted(done) == [0, 6, 9, 12, 15, 18]   # every range ran


def test_real_pool_conversion(fresh_pool):
    fs = frames(6, 11)
    want, after = ref_convert([f.copy() for f in fs], lut_cc(2))
    got = h.px_to_rgb888_chunk(fs, lut_cc(2), 4)
    np.testing.assert_array_equal(got, want)
    for f, a in zip(fs, after):
        np.testing.assert_array_equal(f, a)


# --- rgb_threads ------------------------------------------------------------------------

@pytest.fixture
def env_threads(monkeypatch):
    lines = []
    monkeypatch.setattr(h, "_elog", lambda *a: lines.append(a), raising=False)
    monkeypatch.setattr(h, "effective_cpu_count", lambda: 12, raising=False)

    def run(value):
        if value is None:
            monkeypatch.delenv("LUMETH2_RGB_THREADS", raising=False)
        else:
            monkeypatch.setenv("LUMETH2_RGB_THREADS", value)
        return h.rgb_threads()
    return run, lines


@pytest.mark.parametrize("value, want", [
    (" 4 ", 4), ("0", 1), ("-2", 1), ("12", 12), ("+3", 3), ("1_0", 10), ("\t2\n", 2),
    (None, 4), ("", 4), ("   ", 4),
])
def test_rgb_threads_values(env_threads, value, want):
    run, lines = env_threads
    assert run(value) == want
    assert lines == []


@pytest.mark.parametrize("value, shown", [
    ("2.5", "'2.5'"), ("3x", "'3x'"), ("four", "'four'"), ("1__0", "'1__0'"),
    ("it's", "\"it's\""), ("a\\b", "'a\\\\b'"),
])
def test_rgb_threads_not_an_integer(env_threads, value, shown):
    run, lines = env_threads
    assert run(value) == 4
    assert lines == [(f"LUMETH2_RGB_THREADS={shown} is not an integer \u2014 using the default",)]


@pytest.mark.parametrize("cpus, want", [(1, 1), (5, 1), (6, 2), (8, 2), (9, 3), (11, 3), (12, 4),
                                        (14, 4), (15, 5), (23, 7), (24, 8), (96, 8)])
def test_rgb_threads_default(monkeypatch, cpus, want):
    monkeypatch.delenv("LUMETH2_RGB_THREADS", raising=False)
    monkeypatch.setattr(h, "effective_cpu_count", lambda: cpus, raising=False)
    assert h.rgb_threads() == want


def test_module_objects():
    assert h.RGB_THREADS_ENV == "LUMETH2_RGB_THREADS"
    assert type(h._RGB_POOL_LOCK) is type(threading.Lock())
    assert isinstance(h._RGB_TLS, threading.local)
