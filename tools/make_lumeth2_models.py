"""Tiny LiteRT models with the lumeth-2 chain's signatures, for tests and benchmarks.

The models are written straight as flatbuffers with the schema module that the
LiteRT wheel ships (no TensorFlow needed) and use only plain builtin ops. They
compute nothing useful but carry their inputs into the frames so that a test can
read chunk geometry, latent order and phases off the pixels:

- "enc" (args_0 (1, 35200)) -> (1, 2): [mean of samples 0..1119, mean of samples
  34720..35199], each times 100 (the encoder sees 3x the window, so a window that
  starts with the constant L/300 gives a head of L).
- "tok14" (args_0 (1, 2)) -> (14, 16, 384): token group r, flattened to 6144
  values, holds 10 * (r + 1) in [0, 1560), head in [1560, 3120), tail in
  [3120, 4680) and 10 * (r + 1) again in [4680, 6144).
- "step" (history (1, 16, 16, 90, 52), tokens (1, 16, 384)) -> (1, 16, 90, 52):
  channel 0 = the first 4680 token values (so latent rows 0-29 hold the token
  marker, 30-59 the head, 60-89 the tail); channel 1 = mean of channel 1 of the
  newest history slot + `step_inc` (a step counter when the canonical latent's
  channel 1 is 0); channel 2 = mean of channel 1 of the oldest slot; channels
  3-15 = the counter again.
- "dec16"/"dec8" (args_0 (B, 36, 90, 52)) -> (B, 3, 720, 416): per latent
  pixel, R = current channel 0, G = current channel 1, B = previous channel 1 +
  64 * phase, each + 0.5 and divided by 255 (so a value v shows as byte v), then
  upsampled 8x nearest-neighbour (latent pixel (r, q) covers frame rows 8r..8r+7,
  columns 8q..8q+7). The int8 variant keeps its weights as int8
  behind a DEQUANTIZE and paints B = previous channel 1 + 32 * phase.

Use `write_models(dirpath)` (returns {variant: path}) or the command line
`python tools/make_lumeth2_models.py OUTDIR`.
"""
from __future__ import annotations

import argparse
import pathlib
import sys

import flatbuffers
import numpy as np
from ai_edge_litert import schema_py_generated as fb

SIGS = ("enc", "tok14", "step", "dec16", "dec8")
TOKEN_MARK = 10.0  # token group r carries TOKEN_MARK * (r + 1)
AUDIO_SCALE = 100.0
PHASE_STEP = 64.0
PHASE_STEP_Q8 = 32.0

_F32, _I32, _I8 = fb.TensorType.FLOAT32, fb.TensorType.INT32, fb.TensorType.INT8
_NP = {_F32: np.float32, _I32: np.int32, _I8: np.int8}


class _Graph:
    """One subgraph under construction; shares buffers and op codes with its model."""

    def __init__(self, model: "_Model"):
        self.m = model
        self.tensors: list = []
        self.ops: list = []
        self.inputs: list[int] = []
        self.outputs: list[int] = []

    def tensor(self, shape, ttype=_F32, data=None, name=None, quant=None) -> int:
        t = fb.TensorT()
        t.shape = list(shape)
        t.type = ttype
        t.name = name or f"t{len(self.tensors)}"
        t.buffer = 0 if data is None else self.m.buffer(np.asarray(data, _NP[ttype]).tobytes())
        if quant is not None:
            q = fb.QuantizationParametersT()
            q.scale, q.zeroPoint = [float(quant[0])], [int(quant[1])]
            t.quantization = q
        self.tensors.append(t)
        return len(self.tensors) - 1

    def const(self, arr, ttype=_F32) -> int:
        arr = np.asarray(arr, _NP[ttype])
        return self.tensor(arr.shape, ttype, arr)

    def ints(self, vals) -> int:
        return self.const(np.asarray(vals, np.int32), _I32)

    def op(self, code, inputs, out_shape, opt_type=0, opt=None, out_type=_F32) -> int:
        o = fb.OperatorT()
        o.opcodeIndex = self.m.opcode(code)
        o.inputs = list(inputs)
        out = self.tensor(out_shape, out_type)
        o.outputs = [out]
        o.builtinOptionsType = opt_type
        o.builtinOptions = opt
        self.ops.append(o)
        return out

    # -- the handful of ops the test models need --
    def reshape(self, x, shape):
        opt = fb.ReshapeOptionsT()
        opt.newShape = list(shape)
        return self.op(fb.BuiltinOperator.RESHAPE, [x, self.ints(shape)], shape,
                       fb.BuiltinOptions.ReshapeOptions, opt)

    def slice(self, x, begin, size):
        return self.op(fb.BuiltinOperator.SLICE, [x, self.ints(begin), self.ints(size)], size,
                       fb.BuiltinOptions.SliceOptions, fb.SliceOptionsT())

    def mean_last(self, x, shape):
        # mean over the last axis, keeping it: (rows, n) -> (rows, 1)
        opt = fb.ReducerOptionsT()
        opt.keepDims = True
        return self.op(fb.BuiltinOperator.MEAN, [x, self.ints([len(shape) - 1])],
                       list(shape[:-1]) + [1], fb.BuiltinOptions.ReducerOptions, opt)

    def binary(self, code, a, b, shape):
        if code == fb.BuiltinOperator.ADD:
            return self.op(code, [a, b], shape, fb.BuiltinOptions.AddOptions, fb.AddOptionsT())
        return self.op(code, [a, b], shape, fb.BuiltinOptions.MulOptions, fb.MulOptionsT())

    def tile(self, x, multiples, shape):
        return self.op(fb.BuiltinOperator.TILE, [x, self.ints(multiples)], shape,
                       fb.BuiltinOptions.TileOptions, fb.TileOptionsT())

    def concat(self, xs, axis, shape):
        opt = fb.ConcatenationOptionsT()
        opt.axis = axis
        return self.op(fb.BuiltinOperator.CONCATENATION, xs, shape,
                       fb.BuiltinOptions.ConcatenationOptions, opt)

    def transpose(self, x, perm, shape):
        return self.op(fb.BuiltinOperator.TRANSPOSE, [x, self.ints(perm)], shape,
                       fb.BuiltinOptions.TransposeOptions, fb.TransposeOptionsT())

    def fully_connected(self, x, w, b, shape):
        return self.op(fb.BuiltinOperator.FULLY_CONNECTED, [x, w, b], shape,
                       fb.BuiltinOptions.FullyConnectedOptions, fb.FullyConnectedOptionsT())

    def dequantize(self, x, shape):
        return self.op(fb.BuiltinOperator.DEQUANTIZE, [x], shape,
                       fb.BuiltinOptions.DequantizeOptions, fb.DequantizeOptionsT())



class _Model:
    def __init__(self):
        self.buffers = [fb.BufferT()]  # buffer 0: the empty sentinel
        self.codes: list[int] = []
        self.graphs: list[_Graph] = []
        self.sigs: list = []

    def buffer(self, raw: bytes) -> int:
        b = fb.BufferT()
        b.data = np.frombuffer(raw, np.uint8).copy()
        self.buffers.append(b)
        return len(self.buffers) - 1

    def opcode(self, code: int) -> int:
        if code not in self.codes:
            self.codes.append(code)
        return self.codes.index(code)

    def signature(self, key, build) -> None:
        g = _Graph(self)
        ins, out = build(g)  # ins: [(name, tensor)], out: tensor
        g.inputs = [t for _, t in ins]
        g.outputs = [out]
        g.tensors[out].name = "output_0"
        for nm, t in ins:
            g.tensors[t].name = nm
        self.graphs.append(g)
        sd = fb.SignatureDefT()
        sd.signatureKey = key
        sd.subgraphIndex = len(self.graphs) - 1
        sd.inputs = [_tmap(nm, t) for nm, t in ins]
        sd.outputs = [_tmap("output_0", out)]
        self.sigs.append(sd)

    def to_bytes(self) -> bytes:
        m = fb.ModelT()
        m.version = 3
        m.description = "lumeth2 test model"
        m.buffers = self.buffers
        m.operatorCodes = []
        for c in self.codes:
            oc = fb.OperatorCodeT()
            oc.builtinCode = c
            oc.deprecatedBuiltinCode = min(c, 127)
            oc.version = 1
            m.operatorCodes.append(oc)
        m.subgraphs = []
        for i, g in enumerate(self.graphs):
            sg = fb.SubGraphT()
            sg.tensors, sg.operators = g.tensors, g.ops
            sg.inputs, sg.outputs = g.inputs, g.outputs
            sg.name = self.sigs[i].signatureKey
            m.subgraphs.append(sg)
        m.signatureDefs = self.sigs
        b = flatbuffers.Builder(1024)
        b.Finish(m.Pack(b), file_identifier=b"TFL3")
        return bytes(b.Output())


def _tmap(name, idx):
    t = fb.TensorMapT()
    t.name, t.tensorIndex = name, idx
    return t


# ---------------------------------------------------------------- signatures

def _enc(g: _Graph):
    x = g.tensor([1, 35200])
    head = g.mean_last(g.slice(x, [0, 0], [1, 1120]), [1, 1120])
    tail = g.mean_last(g.slice(x, [0, 34720], [1, 480]), [1, 480])
    both = g.concat([head, tail], 1, [1, 2])
    out = g.binary(fb.BuiltinOperator.MUL, both, g.const([AUDIO_SCALE]), [1, 2])
    return [("args_0", x)], out


def _tok14(g: _Graph):
    f = g.tensor([1, 2])
    head = g.slice(f, [0, 0], [1, 1])
    tail = g.slice(f, [0, 1], [1, 1])
    mark = g.const((TOKEN_MARK * np.arange(1, 15, dtype=np.float32)).reshape(14, 1))
    parts = [g.tile(mark, [1, 1560], [14, 1560]),
             g.tile(head, [14, 1560], [14, 1560]),
             g.tile(tail, [14, 1560], [14, 1560]),
             g.tile(mark, [1, 1464], [14, 1464])]
    flat = g.concat(parts, 1, [14, 6144])
    return [("args_0", f)], g.reshape(flat, [14, 16, 384])


def _step(step_inc: float, hist_arg: str, flat_hist: bool = False):
    def build(g: _Graph):
        # flat_hist: the history input is declared 4-D (1, 16, 16, 4680), so no
        # step input has five dimensions (the runner reshapes a 5-D history to it)
        h = g.tensor([1, 16, 16, 4680] if flat_hist else [1, 16, 16, 90, 52])
        t = g.tensor([1, 16, 384])
        ch0 = g.slice(g.reshape(t, [1, 6144]), [0, 0], [1, 4680])
        h3 = g.reshape(h, [16, 16, 4680])
        newest = g.mean_last(g.reshape(g.slice(h3, [1, 15, 0], [1, 1, 4680]), [1, 4680]), [1, 4680])
        oldest = g.mean_last(g.reshape(g.slice(h3, [1, 0, 0], [1, 1, 4680]), [1, 4680]), [1, 4680])
        count = g.binary(fb.BuiltinOperator.ADD, newest, g.const(np.full((1, 1), step_inc)), [1, 1])
        lat = g.concat([ch0, g.tile(count, [1, 4680], [1, 4680]), g.tile(oldest, [1, 4680], [1, 4680]),
                        g.tile(count, [13, 4680], [13, 4680])], 0, [16, 4680])
        out = g.reshape(lat, [1, 16, 90, 52])
        if flat_hist:  # tokens listed first: the history is not found by position
            ins = [("args_1", t), ("args_0", h)]
        elif hist_arg == "args_0":
            ins = [("args_0", h), ("args_1", t)]
        else:
            ins = [("args_0", t), ("args_1", h)]
        return ins, out
    return build


def _dec_weights(phase_step: float) -> np.ndarray:
    w = np.zeros((3, 36), np.float32)
    w[0, 0] = 1.0  # R: current latent, channel 0
    w[1, 1] = 1.0  # G: current latent, channel 1
    w[2, 17] = 1.0  # B: previous latent, channel 1 ...
    w[2, 32:36] = phase_step * np.arange(4)  # ... + phase_step * phase
    return w


def _dec(batch: int, int8: bool):
    def build(g: _Graph):
        x = g.tensor([batch, 36, 90, 52])
        rows = g.reshape(g.transpose(g.reshape(x, [batch, 36, 4680]), [0, 2, 1], [batch, 4680, 36]),
                         [batch * 4680, 36])
        scale = 1.0 / 255.0
        if int8:
            q = np.round(_dec_weights(PHASE_STEP_Q8)).astype(np.int8)  # whole numbers, exact in int8
            wq = g.tensor([3, 36], _I8, q, quant=(scale, 0))
            w = g.dequantize(wq, [3, 36])
        else:
            w = g.const(_dec_weights(PHASE_STEP) * np.float32(scale))
        b = g.const(np.full(3, 0.5 * scale, np.float32))
        px = g.fully_connected(rows, w, b, [batch * 4680, 3])
        planes = g.transpose(g.reshape(px, [batch, 4680, 3]), [0, 2, 1], [batch, 3, 4680])
        # 8x nearest-neighbour upsampling as one TILE (several times faster than
        # RESIZE_NEAREST_NEIGHBOR on the CPU kernels): (rows, 1, cols, 1) -> (rows, 8, cols, 8)
        up = g.tile(g.reshape(planes, [batch * 3 * 90, 1, 52, 1]), [1, 8, 1, 8],
                    [batch * 3 * 90, 8, 52, 8])
        return [("args_0", x)], g.reshape(up, [batch, 3, 720, 416])
    return build


def make_model(sigs=SIGS, *, step_inc: float = 1.0, hist_arg: str = "args_0",
               flat_hist: bool = False, int8_dec: bool = False) -> bytes:
    """Flatbuffer bytes of one model file holding the named signatures, in that order."""
    makers = {"enc": _enc, "tok14": _tok14, "step": _step(step_inc, hist_arg, flat_hist),
              "dec16": _dec(16, int8_dec), "dec8": _dec(8, int8_dec)}
    m = _Model()
    for s in sigs:
        m.signature(s, makers[s])
    return m.to_bytes()


# variant name -> (file name, signatures, options)
VARIANTS = {
    "combined": ("combined_litert.tflite", SIGS, {}),
    "split_enc": ("shared-enc.tflite", ("enc", "tok14"), {}),
    "split_id": ("identity.tflite", ("step", "dec16", "dec8"), {}),
    "clash_a": ("clash_a.tflite", ("enc", "tok14", "step"), {"step_inc": 1.0}),
    "clash_b": ("clash_b.tflite", ("step", "dec16", "dec8"), {"step_inc": 2.0}),
    "no_dec8": ("no_dec8.tflite", ("enc", "tok14", "step", "dec16"), {}),
    "hist_args1": ("hist_args1.tflite", SIGS, {"hist_arg": "args_1"}),
    "hist_flat": ("hist_flat.tflite", SIGS, {"flat_hist": True}),
    "q8gd": ("combined_litert_q8gd.tflite", SIGS, {"int8_dec": True}),
}


def write_models(dirpath) -> dict[str, pathlib.Path]:
    """Write every variant into `dirpath` (created if needed); returns {variant: path}.

    combined: all five signatures; split_enc + split_id: the two-file split
    (enc+tok14 / step+dec16+dec8); clash_a + clash_b: both define "step" (a's adds
    1 per step, b's adds 2); no_dec8: lacks "dec8"; hist_args1: the step's history
    input is args_1; hist_flat: the step's history input (args_0) is 4-D; q8gd: int8 decoder weights, B channel painted 32 * phase.
    """
    d = pathlib.Path(dirpath)
    d.mkdir(parents=True, exist_ok=True)
    out = {}
    for key, (fname, sigs, opts) in VARIANTS.items():
        p = d / fname
        p.write_bytes(make_model(sigs, **opts))
        out[key] = p
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("outdir")
    args = ap.parse_args(argv)
    for key, p in write_models(args.outdir).items():
        print(f"{key}\t{p}\t{p.stat().st_size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
