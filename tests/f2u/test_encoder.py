"""EncPair and Enc.block against a numpy reference over the same sessions."""
import types

import numpy as np
import pytest

from f2u_reference import GROUPS, HOP, SWIN, block_ref, f16rt_ref, positions, window_of


class Audio:
    """A stream of speech-like samples; remembers the windows it was asked for."""

    def __init__(self, dtype=np.float32, seed=0):
        self.noise = np.random.default_rng(seed).standard_normal(65536) * 0.05
        self.dtype = dtype
        self.calls = []

    def window(self, start, end):
        self.calls.append((start, end))
        t = np.arange(start, end)
        out = np.sin(t * 0.013) * 0.3 + self.noise[t % 65536]
        out[t < 0] = 0.0  # silence before the stream starts
        return out.astype(self.dtype)


@pytest.mark.parametrize(
    "b0, B, R, window, first_positions",
    [(0, 4, 6, (-25600, 6400), [320.0, 328.03015075376885, 336.0603015075377, 344.09045226130655]),
     (250, 4, 6, (134400, 166400), [324.5226130653266]),
     (196, 8, 6, (102400, 134400), None)],
)
def test_worked_windows_and_positions(b0, B, R, window, first_positions):
    # the reference's positions are the documented ones
    assert window_of(b0, B, R) == window
    ps = positions(b0, B, R)
    if first_positions:
        assert ps[:len(first_positions)] == first_positions
    if b0 == 196:
        assert ps[3] == 318.0 and ps[4] == 323.0150753768844
        assert ps[4] - ps[3] == pytest.approx(998 / 199)


@pytest.mark.parametrize(
    "b0, B, R",
    [(0, 4, 6), (250, 4, 6), (196, 8, 6), (0, 46, 4), (1234, 13, 0), (99, 1, 49), (3, 4, 0), (10**12 + 137, 16, 6)],
)
def test_block_matches_numpy_reference(host, pack, b0, B, R):
    aud = Audio()
    got = host.Enc(pack).block(aud, b0, B, R)
    assert aud.calls == [((b0 + B + R) * HOP - SWIN, (b0 + B + R) * HOP)]
    assert got.dtype == np.float16 and got.shape == (B, 3, 8)
    ref = block_ref(pack, Audio(), b0, B, R)
    assert np.array_equal(got.view(np.uint16), ref.view(np.uint16))


def test_block_is_stateless_and_accepts_any_real_dtype(host, pack):
    enc = host.Enc(pack)
    first = enc.block(Audio(np.float64), 300, 8, 4)
    enc.block(Audio(), 0, 4, 6)
    assert np.array_equal(enc.block(Audio(np.float64), 300, 8, 4), first)
    assert np.array_equal(first.view(np.uint16), block_ref(pack, Audio(np.float64), 300, 8, 4).view(np.uint16))


def test_enc_pair_runs_own_sessions(host, pack):
    pair = host.EncPair(pack, threads=2)
    assert pair.s_trunk is not pack.s_trunk and pair.s_head is not pack.s_head
    assert (pair.trunk_in, pair.trunk_out) == ("wav", "hid")
    assert pair.s_trunk.get_session_options().intra_op_num_threads == 2
    assert not hasattr(pair, "pk") and not hasattr(pair, "root")
    a = host.Enc(pair).block(Audio(), 500, 6, 6)
    b = host.Enc(pack).block(Audio(), 500, 6, 6)
    assert np.array_equal(a.view(np.uint16), b.view(np.uint16))


@pytest.mark.parametrize(
    "graphs, err, match",
    [(None, KeyError, "graphs"),
     ({"enc_trunk": "TRUNK"}, KeyError, "enc_head"),
     ({"enc_trunk": "TRUNK", "enc_head": "missing.onnx"}, Exception, "missing.onnx")],
)
def test_enc_pair_lookup_and_open_failures(host, pack, graphs, err, match):
    j = {} if graphs is None else {"graphs": {k: pack.j["graphs"]["enc_trunk"] if v == "TRUNK" else v
                                              for k, v in graphs.items()}}
    pk = types.SimpleNamespace(root=pack.root, j=j, trunk_in="wav", trunk_out="hid")
    with pytest.raises(err, match=match):
        host.EncPair(pk)


def test_block_negative_trunk_index_raises(host, pack):
    # B + R above 50 puts the first frames before the trunk output's start;
    # numpy indexing would silently wrap to its end
    with pytest.raises(IndexError, match="trunk index -"):
        host.Enc(pack).block(Audio(), 0, 52, 0)


def test_block_trunk_index_past_end_raises(host, pack):
    with pytest.raises(IndexError):
        host.Enc(pack).block(Audio(), 10, 4, -1)


def test_block_errors_propagate(host, pack):
    class Broken:
        def window(self, a, b):
            raise RuntimeError("no audio")

    with pytest.raises(RuntimeError, match="no audio"):
        host.Enc(pack).block(Broken(), 0, 4, 6)

    class Short:
        def window(self, a, b):
            return np.zeros(100, np.float32)

    with pytest.raises(Exception):
        host.Enc(pack).block(Short(), 0, 4, 6)


class Fixed:
    """A session stand-in that answers run() with fixed outputs."""

    def __init__(self, *outs):
        self.outs = list(outs)
        self.feeds = []

    def run(self, names, feed):
        self.feeds.append((list(names), {k: np.array(v) for k, v in feed.items()}))
        return self.outs


class StubPack:
    def __init__(self, tr, emb):
        self.s_trunk, self.s_head = Fixed(tr), Fixed(emb)
        self.trunk_in, self.trunk_out = "audio_in", "feat_out"


def test_block_feeds_and_group_means_on_stub_sessions(host):
    rng = np.random.default_rng(1)
    tr = rng.standard_normal((1, 640, 401)).astype(np.float32)
    emb = rng.standard_normal((5, 14, 3, 2)).astype(np.float32)  # extra layers and a 2-D embedding
    pk = StubPack(tr, emb)
    out = host.Enc(pk).block(Audio(), 40, 5, 2)
    names, feed = pk.s_trunk.feeds[0]
    assert names == ["feat_out"] and list(feed) == ["audio_in"]
    assert feed["audio_in"].shape == (1, SWIN) and feed["audio_in"].dtype == np.float32
    hnames, hfeed = pk.s_head.feeds[0]
    assert hnames == ["emb"] and list(hfeed) == ["x"] and hfeed["x"].shape == (5, 640)
    x = hfeed["x"]
    assert np.array_equal(x, f16rt_ref(x))
    r = f16rt_ref(emb)
    want = np.stack([r[:, a:b].sum(axis=1) / np.float32(4) for a, b in GROUPS], 1).astype(np.float16)
    assert out.shape == (5, 3, 3, 2) and np.array_equal(out.view(np.uint16), want.view(np.uint16))


@pytest.mark.parametrize("b0, B, R", [(1000, 50, 0), (0, 46, 4), (199, 3, 1), (300, 1, 0)])
def test_block_last_trunk_column_interpolates_with_itself(host, b0, B, R):
    # the trunk ends exactly at the block's last lower index: i1 is clamped to it
    ps = positions(b0, B, R)
    LT = int(np.floor(max(ps))) + 1
    rng = np.random.default_rng(b0)
    tr = rng.standard_normal((1, 640, LT)).astype(np.float32)
    tr[0, :, ::7] = np.float32(65519.0)  # rounds up to infinity in half precision
    emb = rng.standard_normal((B, 12, 5)).astype(np.float32)
    ours_pk, ref_pk = StubPack(tr, emb), StubPack(tr, emb)
    got = host.Enc(ours_pk).block(Audio(), b0, B, R)
    want = block_ref(ref_pk, Audio(), b0, B, R)
    assert np.array_equal(ours_pk.s_head.feeds[0][1]["x"], ref_pk.s_head.feeds[0][1]["x"])
    assert np.array_equal(got.view(np.uint16), want.view(np.uint16))


@pytest.mark.parametrize(
    "tr_shape, emb_shape",
    [((1, 320, 400), (4, 12, 8)),   # trunk channels must be 640
     ((1, 640, 400), (4, 10, 8))],  # fewer layers than the groups slice: numpy would average fewer rows
)
def test_block_refuses_malformed_graph_outputs(host, tr_shape, emb_shape):
    pk = StubPack(np.zeros(tr_shape, np.float32), np.zeros(emb_shape, np.float32))
    with pytest.raises(ValueError):
        host.Enc(pk).block(Audio(), 0, 4, 6)


@pytest.mark.parametrize(
    "b0, B, R, err",
    [(0, 0, 6, ValueError),            # no frame to encode
     (2**62, 4, 6, OverflowError),     # sample positions beyond int64
     (0, 4, 2**62, OverflowError),
     (-(2**60), 4, 2**60, OverflowError)],
)
def test_block_refuses_out_of_range_blocks_before_reading_audio(host, b0, B, R, err):
    aud = Audio()
    pk = StubPack(np.zeros((1, 640, 400), np.float32), np.zeros((4, 12, 8), np.float32))
    with pytest.raises(err):
        host.Enc(pk).block(aud, b0, B, R)
    assert aud.calls == []


def test_block_empty_head_output_fails_as_stacking_would(host):
    pk = StubPack(np.zeros((1, 640, 400), np.float32), np.zeros((0, 12, 8), np.float32))
    with pytest.raises(ValueError, match="need at least one array"):
        host.Enc(pk).block(Audio(), 0, 4, 6)
