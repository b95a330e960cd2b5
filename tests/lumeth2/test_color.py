import hashlib
import json

import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as h

IDENT = [list(range(256)) for _ in range(3)]


def ref_apply(cc, rgb):
    if cc.kind == "lut":
        return np.ascontiguousarray(np.stack([cc.lut[c][rgb[..., c]] for c in range(3)], axis=-1), np.uint8)
    x = rgb.astype(np.float32) * cc.gain + cc.bias
    return np.clip(x, 0, 255).astype(np.uint8)


def test_constants():
    assert (h.COLOR_MEMBER, h.COLOR_ENV, h.COLOR_LOG_PREFIX) == (
        "color.json", "LUMETH2_COLOR_CORRECT", "colour-correct:")


@pytest.mark.parametrize("value, on", [
    (None, True), ("", True), ("1", True), ("  On  ", True), ("disabled", True),
    ("0", False), ("  OFF ", False), ("False", False), ("no", False), ("\tfalse\n", False),
    ("\udcff", True),   # an undecodable byte in the environment
])
def test_color_enabled(monkeypatch, value, on):
    if value is None:
        monkeypatch.delenv("LUMETH2_COLOR_CORRECT", raising=False)
    else:
        monkeypatch.setenv("LUMETH2_COLOR_CORRECT", value)
    assert h._color_enabled() is on


def _json_error(text):
    try:
        json.loads(text)
    except (ValueError, RecursionError) as e:  # too deep a nesting is the reader's refusal too
        return str(e)


def _utf8_error(raw):
    try:
        raw.decode("utf-8")
    except ValueError as e:
        return str(e)


def _np_error(value, dtype):
    try:
        np.asarray(value, dtype=dtype)
    except (ValueError, TypeError, OverflowError) as e:
        return str(e)


M = "color.json"
DEEP = b'{"lut": ' + b"[" * 100000 + b"]" * 100000 + b"}"  # deeper than the reader recurses
BAD_ROWS = [list(range(256)), list(range(255)), list(range(256))]
LUT_256 = [list(range(256)), [256] + list(range(1, 256)), list(range(256))]
LUT_NEG = [list(range(256)), list(range(256)), [-1] + list(range(1, 256))]
LUT_NAN = [list(range(256)), [float("nan")] + list(range(1, 256)), list(range(256))]


def _lut_with(entry):
    """The identity table with entry 1 of the G row replaced."""
    return [list(range(256)), [0, entry] + list(range(2, 256)), list(range(256))]


REASONS = {
    "no member": (None, "this container carries no color.json"),
    "empty bytes": (b"", M + " is present but is not parsable json (" + _json_error("") +
                    ") \u2014 refusing to invent an identity LUT"),
    "bad json text": ("{'lut': 1}", M + " is present but is not parsable json (" + _json_error("{'lut': 1}") +
                      ") \u2014 refusing to invent an identity LUT"),
    "bad utf-8": (b"\xff{}", M + " is present but is not parsable json (" + _utf8_error(b"\xff{}") +
                  ") \u2014 refusing to invent an identity LUT"),
    "nested too deep": (DEEP, M + " is present but is not parsable json (" + _json_error(DEEP.decode()) +
                        ") \u2014 refusing to invent an identity LUT"),
    "array": (b"[1, 2]", M + " is present but is not a json object (got list)"),
    "null": ("null", M + " is present but is not a json object (got NoneType)"),
    "string": (bytearray(b'"x"'), M + " is present but is not a json object (got str)"),
    "number": ("3.5", M + " is present but is not a json object (got float)"),
    "bool": ("true", M + " is present but is not a json object (got bool)"),
    "ragged lut": ({"lut": BAD_ROWS}, M + ": 'lut' is not a uint8 array (" + _np_error(BAD_ROWS, np.uint8) + ")"),
    "null entry": ({"lut": [[None] * 256] * 3},
                   M + ": 'lut' is not a uint8 array (" + _np_error([[None] * 256] * 3, np.uint8) + ")"),
    # entries that are not bytes: refused, never a crash or undefined bytes
    "entry 256": ({"lut": LUT_256}, M + ": 'lut' is not a uint8 array (" + _np_error(LUT_256, np.uint8) + ")"),
    "entry -1": ({"lut": LUT_NEG}, M + ": 'lut' is not a uint8 array (" + _np_error(LUT_NEG, np.uint8) + ")"),
    "entry NaN": ({"lut": LUT_NAN}, M + ": 'lut' is not a uint8 array (" + _np_error(LUT_NAN, np.uint8) + ")"),
    **{f"entry {v}": ({"lut": _lut_with(v)},
                      M + ": 'lut' is not a uint8 array (" + _np_error(_lut_with(v), np.uint8) + ")")
       for v in (256.0, 300.5, -1.5, 1e30, float("inf"), float("-inf"))},
    "scalar lut": ({"lut": 5},
                   M + ": 'lut' has shape (), the contract is (3, 256) \u2014 refusing to apply a mis-shaped table"),
    "flat 768": ({"lut": list(range(256)) * 3},
                 M + ": 'lut' has shape (768,), the contract is (3, 256) \u2014 refusing to apply a mis-shaped table"),
    "256 x 3": ({"lut": [[i, i, i] for i in range(256)]},
                M + ": 'lut' has shape (256, 3), the contract is (3, 256) \u2014 refusing to apply a mis-shaped table"),
    "gain not numbers": ({"gain": [1, "x", 1], "bias": [0, 0, 0]},
                         M + ": 'gain'/'bias' are not float arrays (" + _np_error([1, "x", 1], np.float32) + ")"),
    "bias null": ({"gain": [1, 1, 1], "bias": None}, M + ": gain(3,)/bias(), the contract is (3,)/(3,)"),
    "gain ragged": ({"gain": [[1], [2, 3]], "bias": [0, 0, 0]},
                       M + ": 'gain'/'bias' are not float arrays (" + _np_error([[1], [2, 3]], np.float32) + ")"),
    "bias of 2": ({"gain": [1, 1, 1], "bias": [0, 0]}, M + ": gain(3,)/bias(2,), the contract is (3,)/(3,)"),
    "scalar gain": ({"gain": 2, "bias": [[0, 0, 0]]}, M + ": gain()/bias(1, 3), the contract is (3,)/(3,)"),
    "only gain": ({"gain": [1, 1, 1]},
                  M + " is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: ['gain'])"),
    "other keys": (b'{"gamma": 2, "bias": [0,0,0]}',
                   M + " is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: ['bias', 'gamma'])"),
}


@pytest.mark.parametrize("raw, reason", REASONS.values(), ids=REASONS.keys())
def test_parse_reasons(raw, reason):
    cc, why = h.parse_color_correct(raw, source="bundle!color.json")
    assert cc is None
    assert why == reason


def test_parse_refusals_propagate():
    with pytest.raises(TypeError):
        h.parse_color_correct(12)          # the JSON reader rejects the type
    with pytest.raises(TypeError):
        h.parse_color_correct({1: 2, "a": 3})  # keys that cannot be sorted

    class Falsy:
        def __bool__(self):
            raise RuntimeError("no truth value")

    with pytest.raises(RuntimeError, match="no truth value"):
        h.parse_color_correct({"lut": IDENT}, source=Falsy())


def test_source_with_undecodable_bytes():
    # a bundle path from a file name that is not UTF-8 carries surrogate escapes
    src = "/b/\udcff.qvx!color.json"
    cc, why = h.parse_color_correct({"lut": IDENT}, source=src)
    assert why == "per-channel LUT (model->driver) from " + src and cc.source is src
    assert h.parse_color_correct({"gain": [1, 1, 1], "bias": [0, 0, 0]}, src)[1] == "per-channel gain/bias from " + src


@pytest.mark.parametrize("raw", [
    json.dumps({"lut": IDENT}).encode(), json.dumps({"lut": IDENT}),
    bytearray(json.dumps({"lut": IDENT, "gain": [1, 1, 1], "bias": [0, 0, 0]}).encode()),
    {"lut": np.array(IDENT, np.int64)[:, ::-1][:, ::-1]},
])
def test_parse_table(raw):
    cc, why = h.parse_color_correct(raw)
    assert why == "per-channel LUT (model->driver) from color.json"
    assert cc.kind == "lut" and cc.gain is None and cc.bias is None and cc.source == ""
    assert cc.lut.dtype == np.uint8 and cc.lut.shape == (3, 256) and cc.lut.flags.c_contiguous
    cc2, why2 = h.parse_color_correct(raw, "/b/x.qvx!color.json")
    assert why2 == "per-channel LUT (model->driver) from /b/x.qvx!color.json"
    assert cc2.source == "/b/x.qvx!color.json"


@pytest.mark.parametrize("entry, byte", [(12.7, 12), (255.9, 255), (0.5, 0), (-0.9, 0), (7.0, 7)])
def test_fractional_table_entries_are_cut_to_bytes(entry, byte):
    # a fraction is cut off, toward zero, as the conversion to bytes does; the
    # table is applied, not refused
    cc, why = h.parse_color_correct(json.dumps({"lut": _lut_with(entry)}))
    assert why == "per-channel LUT (model->driver) from color.json"
    want = np.array(IDENT, np.uint8)
    want[1, 1] = byte
    np.testing.assert_array_equal(cc.lut, want)
    px = np.array([[1, 1, 1], [2, 2, 2]], np.uint8)
    np.testing.assert_array_equal(cc.apply(px), [[1, byte, 1], [2, 2, 2]])


def test_parse_gain_bias():
    cc, why = h.parse_color_correct(b'{"gain": [1.5, 1, 0.25], "bias": [0, -3, 2.5], "note": 1}', source="s")
    assert why == "per-channel gain/bias from s"
    assert cc.kind == "gain_bias" and cc.lut is None and cc.source == "s"
    assert cc.gain.dtype == cc.bias.dtype == np.float32
    assert cc.describe() == ("per-channel gain=[np.float32(1.5), np.float32(1.0), np.float32(0.25)] "
                             "bias=[np.float32(0.0), np.float32(-3.0), np.float32(2.5)]")


def test_class_shape():
    C = h.ColorCorrect
    assert C.__slots__ == ("kind", "lut", "gain", "bias", "source")
    assert C.__bases__ == (object,)
    c = C("gain_bias", gain=1, bias=2)
    assert (c.kind, c.lut, c.gain, c.bias, c.source) == ("gain_bias", None, 1, 2, "")
    assert not hasattr(c, "__dict__")
    assert C(kind="lut").kind == "lut"
    with pytest.raises(TypeError):
        C("lut", np.zeros((3, 256), np.uint8))   # lut is keyword-only
    with pytest.raises(AttributeError):
        c.kind = "lut"


def random_lut(seed):
    return np.random.default_rng(seed).integers(0, 256, (3, 256), dtype=np.uint8)


@pytest.mark.parametrize("shape", [(720, 416, 3), (5, 7, 3), (3,), (2, 3, 4, 3), (0, 3)])
@pytest.mark.parametrize("kind", ["lut", "gain_bias"])
def test_apply_matches_reference(kind, shape):
    rng = np.random.default_rng(1)
    rgb = rng.integers(0, 256, shape, dtype=np.uint8)
    if kind == "lut":
        cc = h.ColorCorrect("lut", lut=random_lut(2))
    else:
        cc = h.ColorCorrect("gain_bias", gain=np.array([1.37, 0.5, 2.01], np.float32),
                            bias=np.array([-20.3, 10.9, 0.0], np.float32))
    out = cc.apply(rgb)
    assert out.dtype == np.uint8 and out.shape == rgb.shape and out.flags.c_contiguous
    np.testing.assert_array_equal(out, ref_apply(cc, rgb))
    # a strided view gives the same bytes as its copy; the input is left alone
    if len(shape) == 3:
        view = rgb[::2, ::-1]
        before = view.copy()
        np.testing.assert_array_equal(cc.apply(view), ref_apply(cc, before))
        np.testing.assert_array_equal(view, before)


def test_apply_identity_and_clipping():
    rgb = np.arange(256 * 3, dtype=np.int64).reshape(256, 3) % 256
    rgb = rgb.astype(np.uint8)
    ident = h.parse_color_correct({"lut": IDENT})[0]
    np.testing.assert_array_equal(ident.apply(rgb), rgb)
    assert ident.describe() == ("per-channel LUT (model->driver), deviation from identity: "
                                "R max 0 mean 0.0/G max 0 mean 0.0/B max 0 mean 0.0")
    unit = h.parse_color_correct({"gain": [1, 1, 1], "bias": [0, 0, 0]})[0]
    np.testing.assert_array_equal(unit.apply(rgb), rgb)
    gb = h.parse_color_correct({"gain": [2, 1, 0.999], "bias": [0, -300, 0.5]})[0]
    px = np.array([[200, 100, 101], [100, 255, 3]], np.uint8)
    # 400 -> 255, -200 -> 0, 101 * 0.999 + 0.5 = 101.399 -> 101 (cut, not rounded)
    np.testing.assert_array_equal(gb.apply(px), [[255, 0, 101], [200, 0, 3]])


def test_apply_non_finite_gain_is_defined():
    cc = h.ColorCorrect("gain_bias", gain=np.array([np.nan, np.inf, -np.inf], np.float32),
                        bias=np.zeros(3, np.float32))
    px = np.array([[0, 0, 0], [7, 7, 7]], np.uint8)
    # NaN becomes 0; 0 * inf is NaN -> 0; 7 * inf -> 255; 7 * -inf -> 0
    np.testing.assert_array_equal(cc.apply(px), [[0, 0, 0], [0, 255, 0]])


def test_apply_other_inputs_follow_array_library():
    cc = h.ColorCorrect("lut", lut=random_lut(3))
    rgb = np.random.default_rng(4).integers(0, 256, (4, 4, 3))  # int64
    np.testing.assert_array_equal(cc.apply(rgb), ref_apply(cc, rgb))
    with pytest.raises(IndexError):
        cc.apply(np.zeros((4, 2), np.uint8))   # no channel 2


@pytest.mark.parametrize("diffs, mean", [(0, "0.0"), (64, "0.2"), (192, "0.8"), (128, "0.5"),
                                         (32, "0.1"), (96, "0.4")])
def test_describe_rounds_half_even(diffs, mean):
    lut = np.array(IDENT, np.uint8)
    lut[1, :diffs] += 1                 # |d| = 1 on `diffs` entries: mean diffs / 256
    lut[2, 255] = 0                     # one entry off by 255
    cc = h.ColorCorrect("lut", lut=lut)
    b_mean = "%.1f" % (255 / 256)
    assert cc.describe() == ("per-channel LUT (model->driver), deviation from identity: "
                             f"R max 0 mean 0.0/G max {1 if diffs else 0} mean {mean}/B max 255 mean {b_mean}")


def test_descriptor():
    assert h.color_descriptor(None) is None
    lut = random_lut(5)
    a = h.parse_color_correct({"lut": lut.tolist()}, source="a")[0]
    b = h.parse_color_correct({"lut": lut.tolist()}, source="b")[0]
    d = h.color_descriptor(a)
    assert list(d) == ["kind", "sha256"]
    assert d == {"kind": "lut", "sha256": hashlib.sha256(lut.tobytes()).hexdigest()}
    assert h.color_descriptor(b) == d
    g = np.array([1.5, 1, 0.5], np.float32)
    z = np.array([0, 1, -1], np.float32)
    gb = h.parse_color_correct({"gain": g.tolist(), "bias": z.tolist()})[0]
    assert h.color_descriptor(gb) == {"kind": "gain_bias",
                                      "sha256": hashlib.sha256(g.tobytes() + z.tobytes()).hexdigest()}
