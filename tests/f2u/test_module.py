"""Module layout, constants, text seeds and the lazy ONNX Runtime import."""
import hashlib
import subprocess
import sys

import pytest

SOURCES_ORDER = [
    "HOP", "C", "SWIN", "TW", "SP8", "GROUPS", "TBINS", "BURN", "ROT",
    "_md5", "item_seed", "seed_of",
    "f16rt", "zscore_native", "_Np", "bweights",
    "tau_feat", "path_delta", "rotvec_to_rotmat",
    "ort_session", "LEGACY_TRUNK_CROP_R", "trunk_exact", "Pack",
    "F3Params", "Identity", "cone", "EyeMap", "XCal",
    "NumpyNoise", "RecNoise", "AR2Noise", "EncPair", "Enc",
]


def test_definition_order_and_imports(host):
    names = list(vars(host))
    assert [n for n in names if n in SOURCES_ORDER] == SOURCES_ORDER
    mods = [n for n in names if n in ("hashlib", "json", "math", "os", "np")]
    assert mods == ["hashlib", "json", "math", "os", "np"]
    assert names.index("np") < names.index("HOP")


def test_constants(host):
    assert (host.HOP, host.C, host.SWIN, host.TW, host.BURN) == (640, 4, 32000, 200, 200)
    assert host.SP8 == 1598 / 199 == 8.030150753768844
    assert host.GROUPS == ((0, 4), (4, 8), (8, 12))
    assert host.TBINS == [0, 4, 8, 12, 16, 20, 25, 30, 38, 50, 63, 88, 125, 1000000000]
    assert isinstance(host.TBINS, list)
    assert host.ROT == (63, 64, 65)
    assert host.LEGACY_TRUNK_CROP_R == 5
    assert host.AR2Noise.BLOCK == 1024


@pytest.mark.parametrize(
    "text, md5, item",
    [("abc", 2416005272, 268521624), ("", 3558706393, 1411222745)],
)
def test_md5_worked_examples(host, text, md5, item):
    assert host._md5(text) == md5
    assert host.item_seed(text) == item


@pytest.mark.parametrize("text", ["é", "a:bc", "7:x", "motion/clip-003", "日本語", "x" * 1000])
def test_md5_matches_hashlib_utf8(host, text):
    ref = int(hashlib.md5(text.encode("utf-8")).hexdigest()[:8], 16)
    assert host._md5(text) == ref
    assert host.item_seed(text) == ref % 2**31


def test_seed_of_joins_texts(host):
    assert host.seed_of("a", "bc") == host._md5("a:bc") != host._md5("abc")
    assert host.seed_of(7, "x") == host._md5("7:x")
    assert host.seed_of(-3, 1.5) == host._md5("-3:1.5")
    assert host.seed_of(None, ("t",)) == host._md5("None:('t',)")
    # about half of the texts hash at or above 2**31; item_seed never does
    vals = [host.seed_of("tag", str(i)) for i in range(200)]
    assert any(v >= 2**31 for v in vals)
    assert all(host.item_seed(str(i)) < 2**31 for i in range(200))


@pytest.mark.parametrize("bad", [b"abc", 5, None])
def test_md5_accepts_text_only(host, bad):
    with pytest.raises(TypeError):
        host._md5(bad)
    with pytest.raises(TypeError):
        host.item_seed(bad)


def test_md5_lone_surrogate_fails_encoding(host):
    with pytest.raises(UnicodeEncodeError):
        host._md5("\ud800")


def test_import_does_not_load_heavy_libraries():
    code = "import sys, orvane._f2u.host; print(sorted(m for m in ('onnxruntime', 'cv2') if m in sys.modules))"
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "[]"


def test_imports_without_onnxruntime_until_first_session(tmp_path):
    # onnxruntime blocked: the module loads; the first session raises ImportError.
    code = (
        "import sys\n"
        "sys.modules['onnxruntime'] = None\n"
        "import orvane._f2u.host as h\n"
        "assert 'onnxruntime' not in [k for k, v in sys.modules.items() if v is not None]\n"
        "assert 'cv2' not in sys.modules\n"
        "print(h.item_seed('abc'))\n"
        "try:\n"
        "    h.ort_session('nothing.onnx')\n"
        "except ImportError:\n"
        "    print('import-error')\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["268521624", "import-error"]
