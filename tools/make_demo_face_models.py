"""Demo models for the lumeth-2 chain that paint a talking face.

Written with the same flatbuffer writer and plain builtin ops as the test models
(tools/make_lumeth2_models.py, no TensorFlow). The chain's signatures carry one
number per video frame, the speech energy of that frame's own 50 ms of audio, from
the encoder to the decoder, which paints a mouth opened by it over a constant face.

Which samples belong to which frame: every chunk's audio window (44000 samples,
55 frames of 800) starts on a frame boundary, and latent r of a window (token row
r) makes the frames 4r - 3 + p of that window for its phases p = 0..3 (the first
chunk keeps row 0's phase 3 only and rows 0-5, every later chunk rows 6-13, whose
first frame is window frame 21). So:

- "enc" (args_0 (1, 35200)): the window after the 1.25 tempo change -> (1, 55):
  the RMS of each window frame (times the renderer's input gain of 3), over the
  tempo samples that were copied from that frame's input samples.
- "tok14" (args_0 (1, 55)) -> (14, 16, 384): token row r holds the energies of
  window frames 4r - 3 .. 4r (0 before the window), repeated over the row.
- "step" (history, tokens) -> (1, 16, 90, 52): the token row's values again; the
  history is not used, so each latent carries exactly its own four frames.
- "dec16"/"dec8" (args_0 (B, 36, 90, 52)) -> (B, 3, 720, 416): energy = the current
  latent's value of the row's phase (planes 32-35 one-hot), mouth half-height
  1 + MOUTH_GAIN * energy pixels (at most MOUTH_MAX), painted over the face.

`face_model_bytes(sigs)` returns one model file holding the named signatures;
`face_model_files()` the combined file and the two-file split, by member name.
"""
from __future__ import annotations

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_lumeth2_models as mlm  # noqa: E402
from make_lumeth2_models import _Graph, _Model, fb  # noqa: E402

FH, FW = 720, 416
WIN_FRAMES = 55           # 44000-sample window / 800 samples per frame
GROUP_SAMPLES, GROUP_FRAMES = 4480, 7  # four tempo blocks of 1120 samples: seven frames
GROUPS = 8                # groups covering the 35200 tempo samples (the last one partly)
LEAD_FRAMES = 3           # token row 0 starts three frames before the window

MOUTH_CX, MOUTH_CY = 208, 462   # centre of the mouth opening
MOUTH_HALF_W = 46               # half-width of the opening
LIP = 6                         # lip thickness around the opening
MOUTH_GAIN = 34.0               # pixels of half-height per unit of (gained) RMS
MOUTH_MAX = 24.0                # largest half-height

SKIN = (0.96, 0.78, 0.64)
LIP_COLOR = (0.74, 0.33, 0.34)
MOUTH_DARK = (0.24, 0.05, 0.08)


# ---------------------------------------------------------------- the face

def _ellipse_alpha(cx, cy, a, b):
    """Coverage of an ellipse (centre cx, cy; half-axes a, b) with a one-pixel soft edge."""
    y, x = np.mgrid[0:FH, 0:FW].astype(np.float64) + 0.5
    rho = np.sqrt(((x - cx) / a) ** 2 + ((y - cy) / b) ** 2)
    return np.clip(0.5 - (rho - 1.0) * min(a, b), 0.0, 1.0)


def _over(img, alpha, color, strength=1.0):
    a = (alpha * strength)[None]
    img *= 1.0 - a
    img += a * np.asarray(color, np.float64).reshape(3, 1, 1)


def face_image() -> np.ndarray:
    """The constant face, planar float (3, 720, 416) in [0, 1], mouth closed to a lip line."""
    rows = np.linspace(0.0, 1.0, FH)[None, :, None]
    img = np.asarray((0.55, 0.66, 0.78)).reshape(3, 1, 1) * (1.0 - 0.35 * rows) * np.ones((3, FH, FW))
    _over(img, _ellipse_alpha(208, 800, 240, 200), (0.22, 0.36, 0.58))           # shoulders
    _over(img, _ellipse_alpha(208, 540, 58, 95), (0.86, 0.67, 0.54))             # neck
    _over(img, _ellipse_alpha(208, 300, 158, 200), (0.30, 0.19, 0.12))           # hair behind
    for ex in (64, 352):
        _over(img, _ellipse_alpha(ex, 350, 22, 38), (0.92, 0.72, 0.59))          # ears
    _over(img, _ellipse_alpha(208, 345, 142, 182), SKIN)                         # head
    _over(img, _ellipse_alpha(208, 200, 140, 62), (0.30, 0.19, 0.12))            # fringe
    for sx in (-1, 1):
        ex = 208 + sx * 58
        _over(img, _ellipse_alpha(ex, 295, 34, 6), (0.28, 0.17, 0.11))           # brow
        _over(img, _ellipse_alpha(ex, 335, 30, 16), (0.98, 0.98, 0.97))          # eye white
        _over(img, _ellipse_alpha(ex, 335, 13, 13), (0.33, 0.45, 0.30))          # iris
        _over(img, _ellipse_alpha(ex, 335, 6, 6), (0.05, 0.04, 0.04))            # pupil
        _over(img, _ellipse_alpha(ex + 4, 331, 3, 3), (1.0, 1.0, 1.0))           # glint
        _over(img, _ellipse_alpha(208 + sx * 92, 420, 30, 18), (0.95, 0.55, 0.52), 0.35)  # cheek
    _over(img, _ellipse_alpha(208, 408, 16, 10), (0.86, 0.64, 0.52))             # nose
    return img


def _mouth_distance(half_w: float) -> np.ndarray:
    """Per pixel, the half-height an ellipse of half-width `half_w` centred on the mouth
    needs to reach it (large outside the ellipse's columns)."""
    y, x = np.mgrid[0:FH, 0:FW].astype(np.float64) + 0.5
    across = 1.0 - ((x - MOUTH_CX - 0.5) / half_w) ** 2
    return np.where(across > 1e-3, np.abs(y - MOUTH_CY - 0.5) / np.sqrt(np.maximum(across, 1e-3)), 1e4)


# ---------------------------------------------------------------- graph helpers

def _unary(g: _Graph, code, x, shape):
    return g.op(code, [x], shape)


def _sub(g: _Graph, a, b, shape):
    return g.op(fb.BuiltinOperator.SUB, [a, b], shape, fb.BuiltinOptions.SubOptions, fb.SubOptionsT())


def _minimum(g: _Graph, a, b, shape):
    return g.op(fb.BuiltinOperator.MINIMUM, [a, b], shape,
                fb.BuiltinOptions.MaximumMinimumOptions, fb.MaximumMinimumOptionsT())


def _image(g: _Graph, key: str, arr) -> int:
    """A constant image tensor; the decoders of one model share its buffer."""
    arr = np.asarray(arr, np.float32)
    cache = g.m.__dict__.setdefault("_images", {})
    if key not in cache:
        cache[key] = g.m.buffer(arr.tobytes())
    t = g.tensor(arr.shape)
    g.tensors[t].buffer = cache[key]
    return t


def _sum_last(g: _Graph, x, shape):
    opt = fb.ReducerOptionsT()
    opt.keepDims = True
    return g.op(fb.BuiltinOperator.SUM, [x, g.ints([len(shape) - 1])], list(shape[:-1]) + [1],
                fb.BuiltinOptions.ReducerOptions, opt)


# ---------------------------------------------------------------- signatures

def _frame_of_tempo_samples() -> np.ndarray:
    """Weights that average squared samples of the tempo-changed window per window frame.

    The tempo change copies blocks of 1120 samples taken from every 1400th input sample
    (each slides a little to fit, and the first 192 are a cross-fade), so tempo sample
    1120 b + i came from input sample 1400 b + i: input frame (1400 b + i) // 800. Four
    blocks (4480 samples) make exactly seven frames; row f of the (7, 4480) result
    averages the samples of frame f of such a group."""
    k = np.arange(GROUP_SAMPLES)
    frame = (1400 * (k // 1120) + k % 1120) // 800
    w = (frame[None, :] == np.arange(GROUP_FRAMES)[:, None]).astype(np.float64)
    return (w / w.sum(axis=1, keepdims=True)).astype(np.float32)


def _enc(g: _Graph):
    x = g.tensor([1, 35200])
    sq = g.binary(fb.BuiltinOperator.MUL, x, x, [1, 35200])
    whole = g.concat([sq, g.const(np.zeros((1, GROUPS * GROUP_SAMPLES - 35200), np.float32))], 1,
                     [1, GROUPS * GROUP_SAMPLES])
    groups = g.reshape(whole, [GROUPS, GROUP_SAMPLES])
    mean_sq = g.fully_connected(groups, g.const(_frame_of_tempo_samples()),
                                g.const(np.zeros(GROUP_FRAMES, np.float32)), [GROUPS, GROUP_FRAMES])
    frames = g.slice(g.reshape(mean_sq, [1, GROUPS * GROUP_FRAMES]), [0, 0], [1, WIN_FRAMES])
    return [("args_0", x)], _unary(g, fb.BuiltinOperator.SQRT, frames, [1, WIN_FRAMES])


def _tok14(g: _Graph):
    e = g.tensor([1, WIN_FRAMES])
    lead = g.concat([g.const(np.zeros((1, LEAD_FRAMES), np.float32)), e], 1, [1, WIN_FRAMES + LEAD_FRAMES])
    rows = g.reshape(g.slice(lead, [0, 0], [1, 56]), [14, 4])  # row r: window frames 4r-3 .. 4r
    flat = g.tile(rows, [1, 6144 // 4], [14, 6144])
    return [("args_0", e)], g.reshape(flat, [14, 16, 384])


def _step(g: _Graph):
    h = g.tensor([1, 16, 16, 90, 52])
    t = g.tensor([1, 16, 384])
    plane = g.slice(g.reshape(t, [1, 6144]), [0, 0], [1, 4680])
    lat = g.reshape(g.tile(plane, [16, 1], [16, 4680]), [1, 16, 90, 52])
    return [("args_0", h), ("args_1", t)], lat


def _dec(batch: int):
    def build(g: _Graph):
        x = g.tensor([batch, 36, 90, 52])
        planes = g.reshape(x, [batch, 36, 4680])
        energies = g.reshape(g.slice(planes, [0, 0, 0], [batch, 1, 4]), [batch, 4])
        phase = g.reshape(g.slice(planes, [0, 32, 0], [batch, 4, 1]), [batch, 4])
        energy = _sum_last(g, g.binary(fb.BuiltinOperator.MUL, energies, phase, [batch, 4]), [batch, 4])
        half = g.binary(fb.BuiltinOperator.ADD,
                        g.binary(fb.BuiltinOperator.MUL, energy, g.const([MOUTH_GAIN]), [batch, 1]),
                        g.const([1.0]), [batch, 1])
        half = _minimum(g, half, g.const([MOUTH_MAX]), [batch, 1])
        # twice the half-heights, so RELU_N1_TO_1 ramps over one pixel: -1 outside, 1 inside
        half2 = g.reshape(g.binary(fb.BuiltinOperator.MUL, half, g.const([2.0]), [batch, 1]), [batch, 1, 1, 1])
        face = face_image()
        lip_img = np.asarray(LIP_COLOR).reshape(3, 1, 1) * np.ones((3, FH, FW))
        dark_img = np.asarray(MOUTH_DARK).reshape(3, 1, 1) * np.ones((3, FH, FW))
        d_lip, d_in = (lip_img - face) / 2, (dark_img - lip_img) / 2
        base = face + d_lip + d_in
        masks = []
        for dist, grow in ((_mouth_distance(MOUTH_HALF_W + LIP), LIP), (_mouth_distance(MOUTH_HALF_W), 0.0)):
            reach = _image(g, f"reach{grow}", (2.0 * (dist - grow)).reshape(1, 1, FH, FW))
            m = _sub(g, half2, reach, [batch, 1, FH, FW])
            masks.append(_unary(g, fb.BuiltinOperator.RELU_N1_TO_1, m, [batch, 1, FH, FW]))
        out = _image(g, "base", base.reshape(1, 3, FH, FW))
        for m, d, key in zip(masks, (d_lip, d_in), ("lip", "inside")):
            painted = g.binary(fb.BuiltinOperator.MUL, m, _image(g, key, d.reshape(1, 3, FH, FW)),
                               [batch, 3, FH, FW])
            out = g.binary(fb.BuiltinOperator.ADD, out, painted, [batch, 3, FH, FW])
        return [("args_0", x)], out
    return build


def face_model_bytes(sigs=mlm.SIGS) -> bytes:
    """Flatbuffer bytes of one face model file holding the named signatures, in that order."""
    makers = {"enc": _enc, "tok14": _tok14, "step": _step, "dec16": _dec(16), "dec8": _dec(8)}
    m = _Model()
    for key in sigs:
        m.signature(key, makers[key])
    return m.to_bytes()


def face_model_files() -> dict[str, bytes]:
    """The face models by bundle member name: the combined file, and the split pair
    (shared encoder: "enc" + "tok14"; identity: "step" + "dec16" + "dec8")."""
    return {"combined_litert.tflite": face_model_bytes(),
            "shared-enc.tflite": face_model_bytes(("enc", "tok14")),
            "identity.tflite": face_model_bytes(("step", "dec16", "dec8"))}


def main(argv=None) -> int:
    import argparse
    import pathlib

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("outdir")
    args = ap.parse_args(argv)
    d = pathlib.Path(args.outdir)
    d.mkdir(parents=True, exist_ok=True)
    for name, data in face_model_files().items():
        (d / name).write_bytes(data)
        print(f"{d / name}\t{len(data)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
