"""LitertChain over generated LiteRT models (tools/make_lumeth2_models.py)."""
import os
import pathlib
import sys

import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as ch

LATENT = 16 * 4680
NEED = "; need combined_litert.tflite OR shared-enc.tflite + identity.tflite"


def _tokens(chain, level=0.1):
    """Token groups of an encoder window whose samples are all `level`."""
    return chain.run_tok(chain.run_enc(np.full(35200, level, np.float32)))


def _latent_rows(lat):
    """(token marker, audio head, audio tail, counter, oldest) as the test step paints them."""
    c0 = lat[0]
    return (c0[0, 0], c0[30, 0], c0[60, 0], lat[1, 0, 0], lat[2, 0, 0])


# ------------------------------------------------------------------ construction

@pytest.mark.parametrize("form", ["list", "str", "path", "tuple"])
def test_chain_from_combined_file_in_every_path_form(l2_models, zero_canon, form):
    p = l2_models["combined"]
    arg = {"list": [p], "str": str(p), "path": pathlib.Path(p), "tuple": (str(p),)}[form]
    c = ch.LitertChain(arg, zero_canon, 1)
    assert len(c._its) == 1
    assert (c._hist_key, c._atok_key) == ("args_0", "args_1")
    toks = _tokens(c)
    assert toks.shape == (14, 16, 384)
    lat = c.run_step(c.new_hist(), toks[4])
    assert lat.shape == (16, 90, 52)
    marker, head, tail, count, oldest = _latent_rows(lat)
    # token group 4 is marked 50; 0.1 * 100 in both audio probes; counter canon + 1
    assert marker == 50.0 and count == 1.0 and oldest == 0.0
    assert head == pytest.approx(10.0, abs=1e-4) and tail == pytest.approx(10.0, abs=1e-4)


def test_split_pair_builds_one_chain(l2_models, zero_canon):
    c = ch.LitertChain([l2_models["split_enc"], l2_models["split_id"]], zero_canon, 2)
    assert len(c._its) == 2
    lat = c.run_step(c.new_hist(), _tokens(c)[0])
    frames = c.run_dec_frames(*ch.build_dec_inputs([lat], 1, None))
    assert len(frames) == 1
    px = frames[0]
    # R = token marker 10 (top third of the frame), G = counter 1, B = prev counter 1 + 64 * phase 3
    assert np.allclose(px[:, 0, 0] * 255, [10.5, 1.5, 193.5], atol=1e-3)


@pytest.mark.parametrize("order, inc", [(("clash_a", "clash_b"), 1.0), (("clash_b", "clash_a"), 2.0)])
def test_first_file_wins_a_signature_clash(l2_models, zero_canon, order, inc):
    c = ch.LitertChain([l2_models[k] for k in order], zero_canon, 1)
    lat = c.run_step(c.new_hist(), _tokens(c)[0])
    assert lat[1, 0, 0] == inc


def test_every_interpreter_gets_the_thread_count_and_a_text_path(l2_models, zero_canon, monkeypatch):
    import ai_edge_litert.interpreter as lit

    made = []

    class Recording(lit.Interpreter):
        def __init__(self, **kw):
            made.append(kw)
            super().__init__(**kw)

        def allocate_tensors(self):
            made.append("allocate")
            return super().allocate_tensors()

        def get_signature_runner(self, name):
            made.append(name)
            return super().get_signature_runner(name)

    monkeypatch.setattr(lit, "Interpreter", Recording)
    paths = [pathlib.Path(l2_models["clash_a"]), str(l2_models["clash_b"])]  # both hold "step"
    c = ch.LitertChain(paths, zero_canon, 3)
    assert made == [{"model_path": str(paths[0]), "num_threads": 3}, "allocate", "enc", "tok14", "step",
                    {"model_path": paths[1], "num_threads": 3}, "allocate", "step", "dec16", "dec8"]
    assert [type(it) for it in c._its] == [Recording, Recording]


@pytest.mark.parametrize("threads, given", [(1024, 1024), (1025, 1024), (10**6, 1024), (2**64, 1024)])
def test_an_interpreter_is_given_at_most_1024_threads(l2_models, zero_canon, monkeypatch, threads, given):
    import ai_edge_litert.interpreter as lit

    made = []

    class Recording(lit.Interpreter):
        def __init__(self, **kw):
            made.append(kw["num_threads"])
            super().__init__(**dict(kw, num_threads=1))  # what was asked is recorded, not used

    monkeypatch.setattr(lit, "Interpreter", Recording)
    ch.LitertChain([l2_models["split_enc"], l2_models["split_id"]], zero_canon, threads)
    assert made == [given, given]


def test_a_huge_thread_count_renders_and_ends_cleanly(l2_models):
    # Passed on unchanged, a count like this ended the process (SIGSEGV) when
    # the interpreter was destroyed; 2**31 and above were refused by the runtime.
    import subprocess

    code = f"""
import numpy as np
from orvane._lumeth2 import _chain_host as ch
c = ch.LitertChain({str(l2_models["combined"])!r}, np.zeros({LATENT}, np.float32), 10**6)
r = ch.Renderer(c, None)
r.feed(np.zeros(ch.SPC, np.float32))
print(len(r.ready_chunks()))
del r, c
"""
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert (p.returncode, p.stdout) == (0, "22\n"), p.stderr[-2000:]


def test_litert_import_failure_propagates(l2_models, zero_canon, monkeypatch):
    monkeypatch.setitem(sys.modules, "ai_edge_litert.interpreter", None)
    with pytest.raises(ImportError):
        ch.LitertChain(l2_models["combined"], zero_canon, 1)


def test_missing_signature_message_and_staged_copies_removed(l2_models, zero_canon, tmp_path):
    in_place = l2_models["split_enc"]  # only enc + tok14: a file used where it lies
    staged = ch._stage_tflite(str(tmp_path / "bundle.qvx"), "no_dec8.tflite",
                              l2_models["no_dec8"].read_bytes())
    assert staged in ch._STAGED and os.path.exists(staged)
    paths = [staged, pathlib.Path(in_place)]
    with pytest.raises(RuntimeError) as ei:
        ch.LitertChain(paths, zero_canon, 1)
    assert str(ei.value) == (
        f"LiteRT chain missing signature(s) ['dec8'] across {[staged, str(in_place)]!r} "
        f"(have ['dec16', 'enc', 'step', 'tok14']){NEED}")
    assert not os.path.exists(staged) and staged not in ch._STAGED
    assert in_place.exists()


def test_missing_signatures_listed_in_chain_order(l2_models, zero_canon):
    p = str(l2_models["split_id"])
    with pytest.raises(RuntimeError) as ei:
        ch.LitertChain(p, zero_canon, 1)
    assert str(ei.value) == (f"LiteRT chain missing signature(s) ['enc', 'tok14'] across ['{p}'] "
                             f"(have ['dec16', 'dec8', 'step']){NEED}")


def test_unloadable_model_error_propagates_and_leaves_staged_file(tmp_path, zero_canon):
    staged = ch._stage_tflite(str(tmp_path / "b.zip"), "combined_litert.tflite", b"not a model")
    try:
        with pytest.raises((ValueError, RuntimeError)):  # the runtime's own error
            ch.LitertChain([staged], zero_canon, 1)
        assert staged in ch._STAGED  # left for the exit sweep
    finally:
        ch._release_staged([staged])


@pytest.mark.parametrize("variant, keys", [
    ("combined", ("args_0", "args_1")),
    ("hist_args1", ("args_1", "args_0")),  # the 5-D input is the second one listed
    ("hist_flat", ("args_0", "args_1")),   # no 5-D input at all: the fallback
])
def test_history_input_found_by_rank(l2_models, zero_canon, variant, keys):
    c = ch.LitertChain(l2_models[variant], zero_canon, 1)
    assert (c._hist_key, c._atok_key) == keys
    h = c.new_hist()
    h[0, 1, 15] = 7.0
    lat = c.run_step(h, _tokens(c)[2])
    # the history reached the history input and the tokens the token input
    assert _latent_rows(lat)[0] == 30.0 and lat[1, 0, 0] == 8.0


def test_canon_is_copied_and_checked(l2_models):
    src = np.arange(LATENT, dtype=np.float64)
    c = ch.LitertChain(l2_models["combined"], src, 1)
    src[:] = -1
    assert c.canon.dtype == np.float32 and c.canon.shape == (16, 4680)
    assert c.canon.flags.c_contiguous and c.canon[3, 5] == 3 * 4680 + 5
    f32 = np.zeros(LATENT, np.float32)
    assert not np.shares_memory(ch.LitertChain(l2_models["combined"], f32, 1).canon, f32)
    with pytest.raises(ValueError):
        ch.LitertChain(l2_models["combined"], np.zeros(LATENT - 1, np.float32), 1)


# ------------------------------------------------------------------ history

def test_new_hist_and_shift_hist(chain):
    rng = np.random.default_rng(1)
    c = chain
    canon = c.canon.reshape(16, 1, 90, 52)
    h = c.new_hist()
    h2 = c.new_hist()
    assert h.shape == (1, 16, 16, 90, 52) and h.dtype == np.float32 and h.flags.c_contiguous
    assert (h[0] == canon).all()
    h2[0, 0, 0, 0, 0] = 99.0
    assert h[0, 0, 0, 0, 0] == canon[0, 0, 0, 0] and c.canon[0, 0] != 99.0

    ref = h.copy()
    lats = [rng.standard_normal((16, 90, 52)).astype(np.float32) for _ in range(16)]
    for i, lat in enumerate(lats):
        arg = lat.astype(np.float64).ravel() if i % 2 else lat  # any 74880 values
        assert ch.LitertChain.shift_hist(h, arg) is None
        ref[0, :, :-1] = ref[0, :, 1:].copy()
        ref[0, :, -1] = lat
        assert np.array_equal(h, ref)
        if i == 0:
            assert (h[0, :, :15] == canon).all() and (h[0, :, 15] == lat).all()
    assert np.array_equal(h[0].transpose(1, 0, 2, 3), np.stack(lats))


def test_shift_hist_with_a_latent_viewing_the_history(chain):
    h = np.random.default_rng(2).standard_normal((1, 16, 16, 90, 52)).astype(np.float32)
    lat = h[0, :, 3]  # strided view into h itself
    want = np.concatenate([h[0, :, 1:], lat[:, None].copy()], axis=1)
    chain.shift_hist(h, lat)
    assert np.array_equal(h[0], want)


@pytest.mark.parametrize("bad", [np.zeros((16, 16, 90, 52), np.float32),
                                 np.zeros((1, 16, 16, 90, 52), np.float64),
                                 np.zeros((1, 16, 16, 52, 90), np.float32).transpose(0, 1, 2, 4, 3)])
def test_shift_hist_refuses_what_it_cannot_shift_in_place(bad):
    with pytest.raises(ValueError):
        ch.LitertChain.shift_hist(bad, np.zeros(LATENT, np.float32))
    ro = np.zeros((1, 16, 16, 90, 52), np.float32)
    ro.flags.writeable = False
    with pytest.raises(ValueError):
        ch.LitertChain.shift_hist(ro, np.zeros(LATENT, np.float32))
    with pytest.raises(ValueError):  # numpy's reshape error for a latent of the wrong size
        ch.LitertChain.shift_hist(np.zeros((1, 16, 16, 90, 52), np.float32), np.zeros(5))


def test_step_reads_history_order_and_leaves_it_alone(chain):
    h = chain.new_hist()
    h[0, 1, 0] = 4.0    # oldest slot, counter channel
    h[0, 1, 15] = 11.0  # newest slot
    before = h.copy()
    lat = chain.run_step(h, _tokens(chain)[0].ravel())  # any 6144 values
    assert lat[1, 0, 0] == 12.0 and lat[2, 0, 0] == 4.0
    assert np.array_equal(h, before)


# ------------------------------------------------------------------ decoding

class _Spy:
    def __init__(self, runner, log, name):
        self.runner, self.log, self.name = runner, log, name

    def __call__(self, **kw):
        x = kw["args_0"]
        used = int(np.count_nonzero(x.reshape(len(x), -1).any(axis=1)))
        self.log.append((self.name, len(x), used, x.dtype == np.float32 and x.flags.c_contiguous))
        return self.runner(**kw)


PLANS = {
    0: [],
    5: [("dec8", 8, 5)],
    16: [("dec16", 16, 16)],
    21: [("dec16", 16, 16), ("dec8", 8, 5)],
    32: [("dec16", 16, 16), ("dec16", 16, 16)],
    40: [("dec16", 16, 16), ("dec16", 16, 16), ("dec8", 8, 8)],
}


@pytest.mark.parametrize("method", ["run_dec_frames", "run_dec_batch"])
@pytest.mark.parametrize("n", sorted(PLANS))
def test_decoder_batch_plans(l2_models, zero_canon, n, method):
    c = ch.LitertChain(l2_models["combined"], zero_canon, 2)
    log = []
    c.dec16, c.dec8 = _Spy(c.dec16, log, "dec16"), _Spy(c.dec8, log, "dec8")
    xs = np.zeros((n + 2, 36, 90, 52), np.float32)  # rows past n must not be decoded
    xs[:, 0] = (np.arange(n + 2) + 1)[:, None, None]  # row k paints R = k + 1
    out = getattr(c, method)(xs, n)
    assert [e[:3] for e in log] == PLANS[n]
    assert all(e[3] for e in log)
    assert len(out) == n
    if method == "run_dec_batch":
        assert out.shape == (n, 3, 720, 416) and out.dtype == np.float32
    for k in range(n):
        assert out[k].shape == (3, 720, 416)
        assert int(out[k][0, 719, 415] * 255) == k + 1


@pytest.mark.parametrize("method", ["run_dec_frames", "run_dec_batch"])
def test_more_rows_asked_than_given(chain, method):
    with pytest.raises(ValueError, match="^cannot decode 17 rows from 16$"):
        getattr(chain, method)(np.zeros((16, 36, 90, 52), np.float32), 17)


def test_full_batches_go_in_uncopied(l2_models, zero_canon):
    c = ch.LitertChain(l2_models["combined"], zero_canon, 1)
    xs = np.zeros((32, 36, 90, 52), np.float32)
    seen = []
    real = c.dec16
    c.dec16 = lambda **kw: (seen.append(kw["args_0"]), real(**kw))[1]
    c.run_dec_frames(xs, 32)
    assert all(np.shares_memory(s, xs) for s in seen) and len(seen) == 2


def test_frames_are_owned_and_unchanged_by_later_calls(chain):
    xs = np.zeros((21, 36, 90, 52), np.float32)
    xs[:, 1] = 5.0
    frames = chain.run_dec_frames(xs, 21)
    keep = [f.copy() for f in frames]
    for f in frames:
        base = f.base if f.base is not None else f
        assert base.flags.owndata and f.flags.writeable and f.dtype == np.float32
    xs2 = np.ones((32, 36, 90, 52), np.float32)
    chain.run_dec_frames(xs2, 32)
    chain.run_dec_frames(xs2, 8)
    assert all(np.array_equal(a, b) for a, b in zip(frames, keep))


def test_borrowed_runner_outputs_are_copied(l2_models, zero_canon):
    """A runtime that hands out read-only views of its own memory must not leak into frames."""
    shared = np.zeros((8, 3, 720, 416), np.float32)

    def dec8(**kw):
        v = shared.view()
        v.flags.writeable = False
        return {"output_0": v}

    c = ch.LitertChain(l2_models["combined"], zero_canon, 1)
    c.dec8 = dec8
    frames = c.run_dec_frames(np.zeros((3, 36, 90, 52), np.float32), 3)
    shared[:] = 1.0
    assert len(frames) == 3 and all(not f.any() and f.flags.writeable for f in frames)


@pytest.mark.parametrize("dtype", [np.float16, np.float64, ">f4"])
def test_decoder_outputs_of_other_types_become_owned_float32_frames(l2_models, zero_canon, dtype):
    """A decoder that answers in another float type (owned and writable) still gives
    float32 frames of their own, whose pixels are those of the float32 answer."""
    rng = np.random.default_rng(7)
    outs = {b: rng.uniform(-0.05, 1.05, (b, 3, 720, 416)).astype(dtype) for b in (8, 16)}
    given = []

    def stand_in(b, as_type):
        def run(**kw):
            out = outs[b].astype(as_type)
            given.append(out)
            return {"output_0": out}
        return run

    def decode(as_type):
        c = ch.LitertChain(l2_models["combined"], zero_canon, 1)
        c.dec16, c.dec8 = stand_in(16, as_type), stand_in(8, as_type)
        return c.run_dec_frames(np.zeros((21, 36, 90, 52), np.float32), 21)

    want = decode(np.float32)
    given.clear()
    frames = decode(dtype)
    assert len(given) == 2 and all(g.dtype == np.dtype(dtype) and g.flags.owndata for g in given)
    assert len(frames) == 21
    for f in frames:
        assert f.dtype == np.float32 and f.dtype.isnative and f.shape == (3, 720, 416) and f.flags.writeable
        assert not any(np.shares_memory(f, g) for g in given)
    for f, w in zip(frames, want):
        np.testing.assert_array_equal(f, w)
    np.testing.assert_array_equal(ch.px_to_rgb888_chunk(frames, None, 1), ch.px_to_rgb888_chunk(want, None, 1))
    given[0][:] = 0  # the runtime reuses its buffer: the frames keep their pixels
    np.testing.assert_array_equal(frames[0], want[0])


# ------------------------------------------------------------------ the model generator

def test_generator_cli_writes_small_models(tmp_path, capsys):
    import make_lumeth2_models as gen

    assert gen.main([str(tmp_path)]) == 0
    names = sorted(p.name for p in tmp_path.iterdir())
    assert names == sorted(v[0] for v in gen.VARIANTS.values())
    assert all(p.stat().st_size < 16384 for p in tmp_path.iterdir())
    assert "combined_litert.tflite" in capsys.readouterr().out


def test_int8_decoder_variant_differs_visibly(l2_models, zero_canon):
    xs = np.zeros((2, 36, 90, 52), np.float32)
    xs[:, 1], xs[:, 17], xs[0, 33], xs[1, 35] = 9.0, 8.0, 1.0, 1.0  # phases 1 and 3
    px = {}
    for v in ("combined", "q8gd"):
        c = ch.LitertChain(l2_models[v], zero_canon, 1)
        px[v] = [(f[:, 100, 100] * 255).astype(int).tolist() for f in c.run_dec_frames(xs, 2)]
    assert px["combined"] == [[0, 9, 72], [0, 9, 200]]
    assert px["q8gd"] == [[0, 9, 40], [0, 9, 104]]
