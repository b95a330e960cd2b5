"""Renderer: chunk cadence, flush and reset on a fake chain; frame content and bytes on
the generated LiteRT models against a numpy reference pipeline."""
import gc
import time
import tracemalloc
import weakref

import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as ch

FRAME_BYTES = 720 * 416 * 3


class FakeChain:
    """Chain stand-in: records what the renderer asks and decodes to fixed frames."""

    def __init__(self):
        self.windows, self.rows, self.dec_calls = [], [], []
        self.fail_dec = False
        self.fail_at = None  # number of the decoder call (from 0) that fails
        self._frames = [np.zeros((3, 720, 416), np.float32) for _ in range(32)]

    def new_hist(self):
        return np.zeros((1, 16, 16, 90, 52), np.float32)

    shift_hist = staticmethod(ch.LitertChain.shift_hist)

    def run_enc(self, tempo):
        if self.windows is not None:  # None: keep nothing (memory tests)
            self.windows.append(tempo.copy())
        return tempo

    def run_tok(self, feats):
        return np.arange(14, dtype=np.float32)[:, None, None] * np.ones((14, 16, 384), np.float32)

    def run_step(self, hist, atok):
        self.rows.append(int(atok[0, 0]))
        return np.full((16, 90, 52), hist[0, 0, 15, 0, 0] + 1, np.float32)

    def run_dec_frames(self, xs, n):
        self.dec_calls.append(n)
        if self.fail_dec or len(self.dec_calls) - 1 == self.fail_at:
            raise RuntimeError("decoder failed")
        return self._frames[:n]  # zeros stay zeros under the in-place pixel fast path


def _records_ok(recs, first):
    assert [r[0] for r in recs] == list(range(first, first + len(recs)))
    for _, rgb in recs:
        assert rgb.nbytes == FRAME_BYTES and not rgb.flags.writeable


# ------------------------------------------------------------------ cadence on a fake chain

@pytest.fixture
def fake():
    return FakeChain()


@pytest.fixture
def rend(fake):
    return ch.Renderer(fake)


def test_fresh_renderer_state(rend, fake):
    assert (rend.ci, rend.px_frame, rend._c_n, rend._c_wall) == (0, 3, 0, 0.0)
    assert rend.rtf() is None and rend.prev_lat is None and rend.cc is None
    assert rend.rgb_threads >= 1 and rend.hist.shape == (1, 16, 16, 90, 52)
    assert (rend.fed_samples, rend.buf_base, len(rend.buf)) == (0, 0, 0)


@pytest.mark.parametrize("ci, need", [(0, 25600), (1, 44000), (2, 69600), (3, 95200), (10, 9 * 25600 + 44000)])
def test_need(ci, need):
    assert ch.Renderer._need(ci) == need


def test_first_chunk_needs_25600_samples(rend, fake):
    rend.feed(np.full(25599, 0.25, np.float32))
    assert rend.ready_chunks() == []
    rend.feed(np.full(1, 0.25, np.float32))
    recs = rend.ready_chunks()
    assert len(recs) == 22
    _records_ok(recs, 3)
    assert recs[0][1] is recs[1][1] and recs[1][1] is not recs[2][1]
    assert all(r[1].base is recs[0][1].base for r in recs)  # one pixel array per chunk
    assert rend.ci == 1 and rend._c_n == 1 and fake.rows == [0, 1, 2, 3, 4, 5]
    assert fake.dec_calls == [21]


def test_window_holds_fed_audio_then_zeros(rend):
    audio = np.random.default_rng(0).uniform(-1, 1, 25600).astype(np.float32)
    rend.feed(audio)
    w = rend._window(0)
    assert w.dtype == np.float32 and w.shape == (44000,)
    assert np.array_equal(w[:25600], audio) and not w[25600:].any()
    rend.feed(audio[:100])
    assert not rend._window(0)[25600:].any()  # chunk 0 never reads past 25600
    assert np.array_equal(rend._window(1)[:25700], np.concatenate([audio, audio[:100]]))


def test_44000_in_one_block_runs_two_chunks(rend, fake):
    rend.feed(np.zeros(44000, np.float32))
    recs = rend.ready_chunks()
    assert len(recs) == 54
    _records_ok(recs, 3)
    assert fake.rows == [0, 1, 2, 3, 4, 5] + list(range(6, 14))
    assert rend.buf_base == 25600  # where chunk 2 starts reading
    rend.feed(np.zeros(25599, np.float32))
    assert rend.ready_chunks() == []
    rend.feed(np.zeros(1, np.float32))
    recs = rend.ready_chunks()
    _records_ok(recs, 57)
    assert len(recs) == 32 and rend.ci == 3 and rend.buf_base == 51200


@pytest.mark.parametrize("fed, chunks", [(0, 1), (800, 1), (16800, 1), (16801, 2), (42400, 2), (42401, 3)])
def test_flush_runs_the_chunks_the_audio_spans(rend, fed, chunks):
    rend.feed(np.full(fed, 0.1, np.float32))
    recs = rend.flush_chunks()
    assert len(recs) == 22 + 32 * (chunks - 1) and rend.ci == chunks
    _records_ok(recs, 3)
    assert rend.flush_chunks() == []


def test_flush_counts_chunks_already_rendered(rend, fake):
    rend.feed(np.zeros(42400, np.float32))  # 53 frames: chunks 0 and 1
    assert len(rend.ready_chunks()) == 22
    assert len(rend.flush_chunks()) == 32 and rend.flush_chunks() == []
    rend.feed(np.zeros(1, np.float32))  # a 54th frame: chunk 2
    assert rend.ready_chunks() == []
    assert len(rend.flush_chunks()) == 32 and fake.dec_calls == [21, 32, 32]


def test_flushed_window_is_zero_beyond_fed_audio(rend, fake):
    rend.feed(np.full(30000, 0.5, np.float32))
    rend.flush_chunks()
    assert len(fake.windows) == 2
    # chunk 1 reads samples 0..43999 of which 30000 were fed; grid values scaled by 3
    assert fake.windows[1][:1120].min() == pytest.approx(1.5) and not fake.windows[1][-480:].any()


def test_audio_after_flush_continues_the_stream(rend, fake):
    rend.feed(np.zeros(30000, np.float32))
    first = rend.flush_chunks()
    rend.feed(np.zeros(69600 - 30000, np.float32))
    more = rend.ready_chunks()
    _records_ok(first + more, 3)
    assert len(more) == 32 and fake.dec_calls == [21, 32, 32]
    assert len({id(r[1]) for r in more}) == 32  # nothing repeated after the first frame


def test_reset_restarts_the_stream(rend, fake):
    rend.feed(np.zeros(44000, np.float32))
    old = rend.ready_chunks()
    keep = bytes(old[-1][1])
    hist0 = rend.hist
    rend.reset()
    assert (rend.ci, rend.px_frame, rend._c_n, rend.fed_samples) == (0, 3, 0, 0)
    assert rend.rtf() is None and rend.prev_lat is None and rend.hist is not hist0
    rend.feed(np.zeros(25600, np.float32))
    recs = rend.ready_chunks()
    assert len(recs) == 22 and recs[0][1] is recs[1][1]
    _records_ok(recs, 3)
    assert bytes(old[-1][1]) == keep
    assert fake.rows[-6:] == [0, 1, 2, 3, 4, 5]


def test_empty_and_malformed_blocks(rend):
    rend.feed(np.zeros(10, np.float32))
    buf = rend.buf
    rend.feed(np.zeros(0, np.float32))
    rend.feed(np.zeros((0, 3)))
    assert rend.fed_samples == 10 and np.shares_memory(rend.buf, buf)
    with pytest.raises(ValueError, match="^one-dimensional PCM required$"):
        rend.feed(np.zeros((2, 2), np.float32))
    assert rend.fed_samples == 10
    rend.feed([0.5, 0.25])  # other numeric input is converted
    assert rend.fed_samples == 12 and rend.buf[-1] == 0.25


def test_rtf_and_timing_counters(rend):
    rend.feed(np.zeros(25600, np.float32))
    rend.ready_chunks()
    assert rend._c_n == 1 and rend._c_wall > 0.0
    assert rend.rtf() == (rend._c_wall / 1) / (32 / 20)
    rend._c_wall = 0.8
    assert rend.rtf() == 0.5


def test_timing_counts_whole_chunks_that_finish(rend, fake, monkeypatch):
    """_c_wall spans each finished chunk from its window to its records; a failed chunk
    adds nothing; flushed chunks and chunk 0 count like the others."""
    spans = []
    tempo, to_rgb = ch.tempo_wsola, ch.px_to_rgb888_chunk

    def timed_tempo(x):
        spans.append([time.perf_counter()])
        return tempo(x)

    def timed_rgb(px, cc=None, threads=1):
        out = to_rgb(px, cc, threads)
        spans[-1].append(time.perf_counter())
        return out

    monkeypatch.setattr(ch, "tempo_wsola", timed_tempo)
    monkeypatch.setattr(ch, "px_to_rgb888_chunk", timed_rgb)
    rend.feed(np.zeros(44000, np.float32))
    assert len(rend.ready_chunks()) == 54
    wall = rend._c_wall
    assert rend._c_n == 2 and wall >= sum(b - a for a, b in spans)
    fake.fail_at = 2  # chunk 2 of the flush fails after its tempo stage ran
    rend.feed(np.zeros(10000, np.float32))
    with pytest.raises(RuntimeError):
        rend.flush_chunks()
    assert (rend._c_n, rend._c_wall) == (2, wall)
    fake.fail_at = None
    assert len(rend.flush_chunks()) == 32
    assert rend._c_n == 3 and rend._c_wall > wall
    assert rend.rtf() == (rend._c_wall / 3) / (32 / 20)


@pytest.mark.parametrize("call, chunks", [("ready_chunks", 3), ("flush_chunks", 4)])
def test_records_finished_before_a_failure_come_out_next_call(rend, fake, call, chunks):
    """A chunk that fails must not take the records of the chunks before it in the same
    call with it: they are handed out, in order and without a gap, by the next call."""
    rend.feed(np.zeros(69600, np.float32))  # ready: chunks 0-2; a flush also needs chunk 3
    fake.fail_at = 2
    with pytest.raises(RuntimeError, match="decoder failed"):
        getattr(rend, call)()
    assert (rend.ci, rend.px_frame, rend._c_n) == (2, 57, 2)
    fake.fail_at = None
    recs = getattr(rend, call)()
    _records_ok(recs, 3)
    assert len(recs) == 22 + 32 * (chunks - 1) and recs[0][1] is recs[1][1]
    assert getattr(rend, call)() == []


def test_reset_drops_records_held_back_by_a_failure(rend, fake):
    rend.feed(np.zeros(69600, np.float32))
    fake.fail_at = 1
    with pytest.raises(RuntimeError):
        rend.ready_chunks()
    fake.fail_at = None
    rend.reset()
    rend.feed(np.zeros(25600, np.float32))
    recs = rend.ready_chunks()
    assert len(recs) == 22
    _records_ok(recs, 3)


def test_consumed_audio_is_refused(rend):
    rend.feed(np.zeros(69600, np.float32))
    rend.ready_chunks()
    assert rend.buf_base == 51200
    with pytest.raises(RuntimeError, match="^consumed audio context requested$"):
        rend._window(2)
    assert rend._window(3).shape == (44000,)


def test_failed_chunk_keeps_its_number(rend, fake):
    rend.feed(np.zeros(44000, np.float32))
    fake.fail_dec = True
    with pytest.raises(RuntimeError, match="decoder failed"):
        rend.ready_chunks()
    assert (rend.ci, rend.px_frame, rend._c_n) == (0, 3, 0)
    fake.fail_dec = False
    recs = rend.ready_chunks()
    assert len(recs) == 54
    _records_ok(recs, 3)


def test_memory_stays_bounded_over_a_long_stream(rend, fake, monkeypatch):
    # fresh (lazily zeroed) pixel arrays per chunk: the point is what the renderer keeps
    monkeypatch.setattr(ch, "px_to_rgb888_chunk",
                        lambda px, cc=None, threads=1: np.zeros((len(px), 720, 416, 3), np.uint8))
    rng = np.random.default_rng(3)
    seen = []
    total = 0
    hist = rend.hist
    fake.windows = None
    tracemalloc.start()
    try:
        for i in range(200):  # about 40 s of audio in uneven blocks
            blk = rng.integers(1, 7200)
            rend.feed(np.zeros(blk, np.float32))
            total += blk
            seen += [weakref.ref(rec[1].base) for rec in rend.ready_chunks()]
            c = rend._pcm.counters()
            assert c["live_samples"] < 44000 + 7200
            assert c["absolute_base"] + c["live_samples"] == c["absolute_fed"] == total
            if i == 40:
                settled = tracemalloc.get_traced_memory()[0]
        grown = tracemalloc.get_traced_memory()[0] - settled
    finally:
        tracemalloc.stop()
    # one chunk's pixels are 28 MB and a history 4.8 MB: keeping either per chunk shows
    assert grown < 2 << 20
    c = rend._pcm.counters()
    assert c["allocations"] == 1 and c["peak_backing_bytes"] == 51200 * 4
    assert rend.ci > 20 and rend.hist is hist  # one history per stream, shifted in place
    gc.collect()
    assert not any(r() is not None for r in seen)  # the renderer keeps no old pixels


@pytest.mark.parametrize("attr, value, call, err", [
    ("ci", 2**62, "ready_chunks", OverflowError),
    ("ci", -2**62, "ready_chunks", OverflowError),
    ("ci", -3, "ready_chunks", ValueError),
    ("ci", -2**40, "flush_chunks", ValueError),  # not 2**40 chunks of nothing
    ("ci", 2**62, "flush_chunks", None),          # beyond what a flush needs: nothing to do
    ("px_frame", 2**63 - 10, "ready_chunks", OverflowError),
    ("px_frame", 2**63 - 10, "flush_chunks", OverflowError),
])
def test_absurd_counters_are_refused_not_wrapped(rend, attr, value, call, err):
    rend.feed(np.zeros(25600, np.float32))
    setattr(rend, attr, value)
    if err is None:
        assert getattr(rend, call)() == []
        return
    with pytest.raises(err):
        getattr(rend, call)()
    assert getattr(rend, attr) == value


@pytest.mark.parametrize("ci", [2**41, -2**41])
def test_window_arithmetic_refuses_absurd_chunk_numbers(rend, ci):
    with pytest.raises(OverflowError, match="^chunk index out of range$"):
        ch.Renderer._need(ci)
    with pytest.raises(OverflowError, match="^chunk index out of range$"):
        rend._window(ci)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_window_never_reads_past_a_replaced_view(rend, dtype):
    rend.feed(np.arange(30000, dtype=np.float32))
    rend.buf = np.arange(60000, dtype=dtype)[::2]  # strided; float64 converted by numpy
    assert np.array_equal(rend._window(0)[:3], [0, 2, 4])
    for base in (-2**63, 10):
        rend.buf_base = base  # counters that no longer match the view
        with pytest.raises(RuntimeError):
            rend._window(1)


# ------------------------------------------------------------------ generated models

def _stream(levels):
    """One 25600-sample segment per level, each constant at level / 300 (the encoder
    probes then read `level` back)."""
    return np.concatenate([np.full(25600, lv / 300.0, np.float32) for lv in levels])


def _expected(chunk, first_counter, prev_counter, head, tail):
    """(R marker, R head, R tail, G, B) of every frame of one chunk, as the test models paint."""
    blk, rows = (6, range(0, 6)) if chunk == 0 else (8, range(6, 14))
    out = []
    for j, row in enumerate(rows):
        cur = first_counter + j
        prev = cur - 1 if j else prev_counter
        for p in range(3 if chunk == 0 and j == 0 else 0, 4):
            out.append((10 * (row + 1), head, tail, cur, min(255, prev + 64 * p)))
    return out


def _painted(rgb):
    f = np.asarray(rgb).reshape(720, 416, 3)
    return (int(f[0, 0, 0]), int(f[300, 200, 0]), int(f[719, 415, 0]), int(f[5, 5, 1]), int(f[400, 9, 2]))


def test_frames_carry_chunk_geometry_latent_order_and_phase(l2_models, zero_canon):
    chain = ch.LitertChain(l2_models["combined"], zero_canon, 2)
    r = ch.Renderer(chain)
    audio = _stream([20, 40, 60])
    r.feed(audio[:25600])
    recs = r.ready_chunks()
    r.feed(audio[25600:69600])
    recs += r.ready_chunks()
    assert len(recs) == 22 + 32 + 32
    got = [_painted(rgb) for _, rgb in recs]
    # chunk 0: window = segment 0 then zeros; its first frame twice (latent 1, phase 3, prev itself)
    want = _expected(0, 1, 1, 20, 0)
    want = [want[0]] + want
    # chunk 1: samples 0..43999; chunk 2: samples 25600..69599; counters run on
    want += _expected(1, 7, 6, 20, 40) + _expected(2, 15, 14, 40, 60)
    assert got == want


def _reference_records(paths, canon, audio, n_chunks, lut=None):
    """The renderer's pipeline written out in numpy over raw LiteRT signature runners."""
    from ai_edge_litert.interpreter import Interpreter

    run = {}
    for p in paths:
        it = Interpreter(model_path=str(p), num_threads=1)
        it.allocate_tensors()
        for name in it.get_signature_list():
            run.setdefault(name, it.get_signature_runner(name))
    hist = np.broadcast_to(canon.reshape(16, 1, 4680), (16, 16, 4680)).astype(np.float32).reshape(1, 16, 16, 90, 52)
    prev, idx, recs = None, 3, []
    for c in range(n_chunks):
        s0 = 0 if c <= 1 else (c - 1) * 32 * 800
        hi = min(s0 + 44000, (c + 1) * 25600, len(audio))
        w = np.zeros(44000, np.float32)
        w[: max(0, hi - s0)] = audio[s0:hi]
        tempo = ch.tempo_wsola(w) * np.float32(3.0)
        tok = run["tok14"](args_0=run["enc"](args_0=tempo.reshape(1, 35200))["output_0"])["output_0"]
        tok = tok.reshape(14, 16, 384)
        blk, base = (6, 0) if c == 0 else (8, 6)
        lats = []
        for j in range(blk):
            lat = run["step"](args_0=hist, args_1=tok[base + j].reshape(1, 16, 384))["output_0"].reshape(16, 4680)
            hist = np.concatenate([hist[:, :, 1:], lat.reshape(1, 16, 1, 90, 52)], axis=2)
            lats.append(lat)
        rows = []
        for j in range(blk):
            pv = lats[j - 1] if j else (prev if prev is not None else lats[0])
            for p in range(3 if (j == 0 and prev is None) else 0, 4):
                x = np.zeros((36, 4680), np.float32)
                x[:16], x[16:32], x[32 + p] = lats[j], pv, 1.0
                rows.append(x)
        xs = np.zeros((-(-len(rows) // 8) * 8, 36, 90, 52), np.float32)  # rows decode independently
        xs[: len(rows)] = np.reshape(rows, (-1, 36, 90, 52))
        px = np.concatenate([run["dec8"](args_0=xs[i:i + 8])["output_0"] for i in range(0, len(xs), 8)])
        planes = np.clip(px[: len(rows)] * np.float32(255.0), 0, 255).astype(np.uint8)
        if lut is not None:
            planes = np.stack([lut[q][planes[:, q]] for q in range(3)], axis=1)
        packed = np.ascontiguousarray(planes.transpose(0, 2, 3, 1))
        for k in range(len(rows)):
            data = packed[k].tobytes()
            for _ in range(2 if (c == 0 and not recs) else 1):
                recs.append((idx, data))
                idx += 1
        prev = lats[-1]
    return recs


def test_pixel_bytes_match_numpy_reference(l2_models):
    paths = [l2_models["split_enc"], l2_models["split_id"]]
    rng = np.random.default_rng(7)
    canon = rng.uniform(0, 2, 16 * 4680).astype(np.float32)
    audio = (0.3 * np.sin(np.arange(60000) * 0.01) + 0.05 * rng.standard_normal(60000)).astype(np.float32)
    lut = np.stack([(np.arange(256) * k // 3) % 256 for k in (1, 2, 3)]).astype(np.uint8)
    cc, _ = ch.parse_color_correct({"lut": lut.tolist()})
    r = ch.Renderer(ch.LitertChain(paths, canon, 2), cc)
    got = []
    for i in range(0, len(audio), 7000):
        r.feed(audio[i:i + 7000])
        got += r.ready_chunks()
    got += r.flush_chunks()  # 60000 samples span 75 frames: three chunks in all
    want = _reference_records(paths, canon, audio, 3, lut)
    assert [g[0] for g in got] == [w[0] for w in want]
    for (_, g), (_, w) in zip(got, want):
        assert bytes(g) == w
