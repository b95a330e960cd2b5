"""Build a lumeth-2 demo avatar bundle from generated models.

The bundle holds a canonical latent, the chain model and, optionally, a colour
correction, packed as a directory, a QVX container or a zip file. By default the
models are the face models of tools/make_demo_face_models.py: a drawn face whose
mouth opens with the speech energy of each frame's own audio. `models=` takes
other model files by member name, such as the test models of
tools/make_lumeth2_models.py (`model_bytes()`), whose frames show the chain's
inner signals as coloured blocks.

    python tools/make_demo_bundle.py OUT [--form dir|qvx|zip] [--split] [--color]
"""
from __future__ import annotations

import argparse
import json
import os
import pathlib
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_lumeth2_models  # noqa: E402
from make_demo_face_models import face_model_files  # noqa: E402
from lumeth2_bundle_pack import FORMS, write_bundle  # noqa: E402

CANON_FLOATS = 16 * 4680


def demo_canon() -> np.ndarray:
    """A canonical latent: zeros, so the step model's counter starts at 1."""
    return np.zeros(CANON_FLOATS, np.float32)


def demo_color() -> bytes:
    """A gentle warm tint as a per-channel table (model -> driver)."""
    x = np.arange(256, dtype=np.float64)
    rows = [np.minimum(255, x * 1.08 + 6), x, np.maximum(0, x * 0.92)]
    return json.dumps({"lut": [[int(v) for v in r] for r in rows]}).encode()


def model_bytes() -> dict[str, bytes]:
    """Every generated test-model file, by file name."""
    with tempfile.TemporaryDirectory() as d:
        return {p.name: p.read_bytes() for p in make_lumeth2_models.write_models(d).values()}


def demo_members(*, split: bool = False, color: bool = False, models: dict[str, bytes] | None = None) -> dict[str, bytes]:
    models = models or face_model_files()
    # The manifest names the engine: without it `orvane.open` takes the bundle for
    # a native-runtime model and refuses it as "not a usable avatar".
    members = {"manifest.json": json.dumps({"engine": "lumeth2"}).encode(),
               "canon.bin": demo_canon().astype("<f4").tobytes()}
    if split:
        members["identity.tflite"] = models["identity.tflite"]
        members["shared-enc.tflite"] = models["shared-enc.tflite"]
    else:
        members["combined_litert.tflite"] = models["combined_litert.tflite"]
    if color:
        members["color.json"] = demo_color()
    return members


def build_demo_bundle(out, form: str = "qvx", *, split: bool = False, color: bool = False,
                      models: dict[str, bytes] | None = None) -> str:
    """Write the demo bundle at `out` (a ".qvx"/".zip" suffix is added for files); returns its path."""
    out = os.fspath(out)
    for suffix in (".qvx", ".zip"):
        if out.endswith(suffix):
            out = out[: -len(suffix)]
    pathlib.Path(out).parent.mkdir(parents=True, exist_ok=True)
    return write_bundle(form, out, demo_members(split=split, color=color, models=models))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--form", choices=FORMS, default="qvx")
    ap.add_argument("--split", action="store_true", help="two-artifact bundle (identity + shared encoder)")
    ap.add_argument("--color", action="store_true", help="add a colour correction")
    args = ap.parse_args(argv)
    print(build_demo_bundle(args.out, args.form, split=args.split, color=args.color))
    return 0


if __name__ == "__main__":
    sys.exit(main())
