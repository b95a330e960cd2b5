"""The serve loop over a stand-in renderer: wire cases, READY line, statistics pacing."""
import hashlib
import io
import json
import struct

import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as host
from serve_fakes import FLUSH, RESET, SPC, WIN, FakeRenderer, block, parse_output

READY_NULL = b'READY {"fps":20,"width":416,"height":720,"sample_rate":16000,"color":null}\n'
TAG = "[render-stream-chain-host] "


@pytest.fixture
def wire(monkeypatch):
    """Rebind the module's streams to in-memory buffers; returns a runner.

    The stand-in renderer carries no correction, so the descriptor is None here; the
    READY line with a real correction is tested on its own."""
    monkeypatch.setattr(host, "color_descriptor", lambda cc: None, raising=False)

    class Wire:
        def run(self, data, renderer=None, nm="combined_litert.tflite"):
            self.renderer = renderer or FakeRenderer()
            self.out = io.BytesIO()
            monkeypatch.setattr(host, "_IN", io.BufferedReader(io.BytesIO(data)))
            monkeypatch.setattr(host, "_OUT", self.out)
            self.status = host._serve(self.renderer, object(), nm)
            self.ready, self.records = parse_output(self.out.getvalue())
            return self

    return Wire()


def indices(recs):
    return [i for i, _ in recs]


def first_chunk():
    return list(range(3, 25))


END = "stdin closed \u2014 exiting"


def desync(n):
    return "bad step size %d \u2014 protocol desync" % n


@pytest.mark.parametrize(
    "data, status, records, fed, last",
    [
        (b"", 0, [], None, END),
        (block(0), 0, [], 0, END),  # an empty block is still fed
        (b"\x10", 0, [], None, END),  # end inside a word
        (b"\x10\x00\x00", 0, [], None, END),
        (block(10)[:-1], 0, [], None, END),  # end inside a block: nothing of it is fed
        (block(SPC), 0, first_chunk(), SPC, END),
        (block(SPC) + block(WIN - SPC), 0, list(range(3, 25 + 32)), WIN, END),
        # a flush with nothing fed still renders the first chunk; the second has nothing left: marker only
        (FLUSH + FLUSH, 0, first_chunk() + [-1, -1], None, END),
        (block(1000) + FLUSH, 0, first_chunk() + [-1], 1000, END),
        (block(SPC) + RESET + block(SPC), 0, first_chunk() + first_chunk(), SPC, END),
        (struct.pack("<I", (1 << 24) + 1) + block(WIN), 1, [], None, desync((1 << 24) + 1)),
        (block(SPC) + struct.pack("<I", 0xFFFFFFFD), 1, first_chunk(), SPC, desync(0xFFFFFFFD)),
    ],
    ids=["eof", "n0", "eof-1-byte", "eof-3-bytes", "eof-mid-block", "first-chunk", "steady-chunk",
         "flush-twice", "flush-pending", "reset", "n-2^24+1", "n-fffffffd"],
)
def test_wire_cases(wire, capfd, data, status, records, fed, last):
    w = wire.run(data)
    assert w.status == status
    assert w.ready == READY_NULL
    assert indices(w.records) == records
    # samples fed since the last reset (None: feed never called)
    assert (w.renderer.fed if w.renderer.fed_blocks else None) == fed
    err = capfd.readouterr().err.splitlines()
    assert err[0] == TAG + "ready 416x720 @20fps  model=combined_litert.tflite"
    assert err[-1] == TAG + last
    assert len(err) == 2


def test_reset_restarts_indices_and_stops_nothing_else(wire):
    w = wire.run(block(WIN) + RESET + block(SPC) + FLUSH)
    assert w.renderer.resets == 1
    # after the reset: chunk 0 when its audio is in, chunk 1 on the flush
    assert indices(w.records) == list(range(3, 57)) + list(range(3, 57)) + [-1]


def test_largest_block_is_fed_in_slices_with_identical_output(wire):
    n = 1 << 24
    w = wire.run(block(n) + FLUSH)
    assert w.status == 0
    assert sum(w.renderer.fed_blocks) == n
    assert max(w.renderer.fed_blocks) <= SPC
    # at most two chunks of frames are held at once, never the whole block's
    assert w.renderer.largest_list <= 22 + 32
    got = indices(w.records)
    assert got[:-1] == list(range(3, 3 + len(got) - 1)) and got[-1] == -1
    # the same records as one whole feed: every chunk complete within the block, then the tail on flush
    ref = FakeRenderer()
    ref.feed(np.zeros(n, np.float32))
    whole = ref.ready_chunks() + ref.flush_chunks()
    assert [(i, d) for i, d in w.records[:-1]] == whole
    assert len(whole) == 22 + 32 * (1 + (n - WIN) // SPC) + 32  # every chunk, then the flushed tail


def test_ready_precedes_ready_log_and_everything_is_flushed(wire, monkeypatch):
    order = []

    class Out(io.BytesIO):
        def write(self, b):
            order.append(("out", bytes(b[:6])))
            return super().write(b)

        def flush(self):
            order.append(("flush",))

    out = Out()
    monkeypatch.setattr(host, "color_descriptor", lambda cc: None, raising=False)
    monkeypatch.setattr(host, "_IN", io.BufferedReader(io.BytesIO(FLUSH)))
    monkeypatch.setattr(host, "_OUT", out)
    monkeypatch.setattr(host, "_elog", lambda *a: order.append(("log", a[0][:5])))
    assert host._serve(FakeRenderer(), None, "m") == 0
    assert order[:3] == [("out", b"READY "), ("flush",), ("log", "ready")]
    # the flushed chunk's 22 records (index, pixels), one flush, then the marker and its own flush
    records = order[3:3 + 44]
    assert [k for k, *_ in records] == ["out"] * 44
    assert order[3 + 44:] == [("flush",), ("out", b"\xff\xff\xff\xff"), ("flush",), ("log", "stdin")]


class Clock:
    def __init__(self, times):
        self.times = list(times)

    def perf_counter(self):
        return self.times.pop(0)


@pytest.fixture
def clock(monkeypatch):
    def install(times):
        c = Clock(times)
        monkeypatch.setattr(host, "time", c, raising=False)
        return c

    return install


def stats(err):
    return [ln[len(TAG):] for ln in err.splitlines() if ln.startswith(TAG + "rtf=")]


def test_stats_pacing(wire, clock, capfd):
    # start at 0; one clock read per audio block, none per command word
    clock([0.0, 1.0, 6.0, 7.0, 10.0, 11.5, 12.0, 100.0, 200.0])
    data = (block(10) + block(SPC - 10) + block(WIN - SPC) + block(SPC) + block(SPC) + block(SPC)
            + RESET + block(10) + block(10))
    w = wire.run(data, FakeRenderer(wall_per_chunk=0.8))
    assert w.status == 0
    # t=1: no chunk yet; t=6: first line; 7 and 10 too soon; 11.5 > 6+5; 12 too soon;
    # after RESET nothing has been rendered, so no line however late (no clock read for commands)
    assert stats(capfd.readouterr().err) == ["rtf=0.500 chunks=1 fps=40.0", "rtf=0.500 chunks=4 fps=40.0"]


def test_stats_with_zero_chunk_time(wire, clock, capfd):
    clock([0.0, 10.0])
    wire.run(block(SPC), FakeRenderer(wall_per_chunk=0.0))
    assert stats(capfd.readouterr().err) == ["rtf=0.000 chunks=1 fps=inf"]


@pytest.mark.parametrize("kind", [bytearray, memoryview])
def test_reader_may_hand_back_any_bytes_like_object(wire, monkeypatch, kind):
    """read_exact rebound to give bytearray or memoryview words and blocks (an embedding's reader)."""
    src = io.BytesIO(block(SPC) + RESET + FLUSH)

    def read_exact(n):
        got = src.read(n)
        return kind(got) if len(got) == n else None

    monkeypatch.setattr(host, "read_exact", read_exact)
    w = wire.run(b"")
    assert w.status == 0
    assert indices(w.records) == first_chunk() + first_chunk() + [-1]


def test_renderer_without_cc_attribute(wire):
    r = FakeRenderer()
    del r.cc
    assert wire.run(b"", r).ready == READY_NULL


def test_ready_line_with_a_lut_correction(monkeypatch):
    rows = [[255 - i for i in range(256)], list(range(256)), list(range(256))]
    cc, _ = host.parse_color_correct(json.dumps({"lut": rows}).encode(), source="b!color.json")
    digest = hashlib.sha256(np.asarray(rows, np.uint8).tobytes()).hexdigest()
    out = io.BytesIO()
    monkeypatch.setattr(host, "_IN", io.BufferedReader(io.BytesIO(b"")))
    monkeypatch.setattr(host, "_OUT", out)
    assert host._serve(FakeRenderer(cc=cc), None, "m") == 0
    assert out.getvalue() == (b'READY {"fps":20,"width":416,"height":720,"sample_rate":16000,'
                              b'"color":{"kind":"lut","sha256":"' + digest.encode() + b'"}}\n')


def test_ready_line_without_correction_uses_the_real_descriptor(monkeypatch):
    out = io.BytesIO()
    monkeypatch.setattr(host, "_IN", io.BufferedReader(io.BytesIO(b"")))
    monkeypatch.setattr(host, "_OUT", out)
    assert host._serve(FakeRenderer(), None, "m") == 0
    assert out.getvalue() == READY_NULL


def _conversation(data):
    """What the wire format makes of an input stream: (status, records), the flush
    marker as (-1, b"")."""
    r, out, i = FakeRenderer(), [], 0
    while len(data) - i >= 4:
        (n,) = struct.unpack_from("<I", data, i)
        i += 4
        if n == 0xFFFFFFFF:
            out += r.flush_chunks() + [(-1, b"")]
        elif n == 0xFFFFFFFE:
            r.reset()
        elif n > 1 << 24:
            return 1, out
        elif len(data) - i < 4 * n:
            break
        else:
            r.feed(np.frombuffer(data, "<f4", n, i))
            i += 4 * n
            out += r.ready_chunks()
    return 0, out


def _random_stream(rng):
    """Blocks of awkward sizes holding any bit patterns (NaN and infinities
    included), command words, desync words and stray bytes, maybe cut short."""
    out = bytearray()
    for _ in range(rng.integers(0, 16)):
        k = rng.integers(0, 20)
        if k < 10:
            n = int(rng.choice([0, 1, 799, 800, SPC - 1, SPC, WIN, int(rng.integers(0, 70000))]))
            out += struct.pack("<I", n) + rng.integers(0, 256, 4 * n, dtype=np.uint8).tobytes()
        elif k < 14:
            out += FLUSH
        elif k < 17:
            out += RESET
        elif k < 18:
            out += struct.pack("<I", int(rng.choice([(1 << 24) + 1, 0xFFFFFFFD, int(rng.integers(1 << 24, 1 << 32))])))
        else:
            out += rng.integers(0, 256, int(rng.integers(1, 8)), dtype=np.uint8).tobytes()
    if out and rng.random() < 0.3:
        out = out[: int(rng.integers(0, len(out)))]
    return bytes(out)


@pytest.mark.parametrize("seed", range(8))
def test_random_streams_keep_their_framing(wire, capfd, seed):
    rng = np.random.default_rng(seed)
    for _ in range(25):
        data = _random_stream(rng)
        status, records = _conversation(data)
        w = wire.run(data)
        assert (w.status, w.records) == (status, records)
        last = capfd.readouterr().err.splitlines()[-1]
        if status == 0:
            assert last == TAG + END
        else:
            assert last.startswith(TAG + "bad step size ") and last.endswith(" \u2014 protocol desync")
