"""Bundle loading over directory, QVX and zip bundles: model choice, staging, refusals R1-R8,
and colour-correction loading."""
import hashlib
import json
import os
import struct
import subprocess
import zipfile

import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as host
from lumeth2_bundle_pack import FORMS, write_bundle

TAG = "[render-stream-chain-host] "
CANON = np.arange(74880, dtype=np.float32) / 74880
COMBINED = b"combined model"
Q8GD = b"combined model with int8 decoder"
IDENT = b"identity delta"
ENC = b"shared encoder"
ENC_SHA = hashlib.sha256(ENC).hexdigest()
SED_ID = "'lumeth2-shared-enc'"


def split_manifest(sha):
    return json.dumps({"dependencies": [{"id": "lumeth2-shared-enc", "sha256": sha}]}).encode()


def q8gd_manifest():
    v, b = hashlib.sha256(Q8GD).hexdigest(), hashlib.sha256(COMBINED).hexdigest()
    return json.dumps({
        "members_sha256": {"combined_litert_q8gd.tflite": v, "combined_litert.tflite": b},
        "litert_q8gd": {"sha256": v, "base_member": "combined_litert.tflite", "base_sha256": b},
    }).encode()


@pytest.fixture
def env(tmp_path, monkeypatch):
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    for v in ("LUMETH2_SHARED_ENC", "LUMETH2_ENGINE_DIR", "LUMETH2_ANE_ENGINE", "LUMETH2_Q8GD",
              "ORVANE_DEPS_DIR", "LUMETH2_STAGE_DIR", "LUMETH2_COLOR_CORRECT"):
        monkeypatch.delenv(v, raising=False)
    monkeypatch.setattr(host, "_STAGED", [])
    # the int8 choice reads this machine's CPU flags: pin them
    cpu = tmp_path / "cpuinfo"
    cpu.write_text("flags\t\t: fpu avx_vnni\n")
    real = host._select_q8gd
    monkeypatch.setattr(host, "_select_q8gd", lambda b: real(b, str(cpu)))
    monkeypatch.setattr(host, "litert_runtime_version", lambda: "2.3.0")
    yield tmp_path
    # The exit sweep only sees the module's own registry: remove what was staged
    # into this test's stand-in before it is unbound.
    host._drop_staged()


def load(tmp_path, form, members, capfd, engine=None):
    b = write_bundle(form, tmp_path / "bundle", members)
    try:
        result = host.load_bundle(b, engine)
        status = None
    except SystemExit as e:
        result, status = None, e.code
    err = [ln[len(TAG):] if ln.startswith(TAG) else ln for ln in capfd.readouterr().err.splitlines()]
    return b, result, status, err


def canon_bytes(arr=CANON):
    return arr.astype("<f4").tobytes()


forms = pytest.mark.parametrize("form", FORMS)


@forms
def test_combined(env, capfd, form):
    b, (paths, nm, canon), status, err = load(env, form, {"canon.bin": canon_bytes(), "combined_litert.tflite": COMBINED,
                                                        "identity.tflite": IDENT}, capfd)
    assert nm == "combined_litert.tflite" and err == []
    assert canon.dtype == np.float32 and canon.flags.owndata and canon.flags.writeable
    np.testing.assert_array_equal(canon, CANON)
    [p] = paths
    if form == "dir":
        assert p == os.path.join(b, "combined_litert.tflite") and host._STAGED == []
    else:
        assert p.endswith("_combined_litert.tflite") and host._STAGED == [p]
    assert open(p, "rb").read() == COMBINED


@forms
def test_canon_bin_wins_over_canon_f32(env, capfd, form):
    members = {"canon.f32": b"\0" * 8, "canon.bin": canon_bytes(), "combined_litert.tflite": COMBINED}
    _, (_, _, canon), status, err = load(env, form, members, capfd)
    np.testing.assert_array_equal(canon, CANON)


@forms
def test_combined_with_int8_variant(env, capfd, form):
    members = {"canon.bin": canon_bytes(), "combined_litert.tflite": COMBINED,
               "combined_litert_q8gd.tflite": Q8GD, "manifest.json": q8gd_manifest()}
    b, (paths, nm, _), status, err = load(env, form, members, capfd)
    if form == "dir":
        assert paths == [os.path.join(b, "combined_litert_q8gd.tflite")]
        assert nm == "combined_litert_q8gd.tflite"
        assert err == ["[q8gd] SELECTED combined_litert_q8gd.tflite (int8 decoder; cpu avx_vnni; sha "
                       + hashlib.sha256(Q8GD).hexdigest()[:12]
                       + " bound; gate runtime not recorded (published before 2026-10-05))"]
    else:  # containers always serve the plain model, silently
        assert nm == "combined_litert.tflite" and err == []
        assert open(paths[0], "rb").read() == COMBINED
    assert host._STAGED == ([] if form == "dir" else paths)


@pytest.fixture
def events(monkeypatch):
    """Log lines and staging calls of load_bundle, in the order they happen."""
    seen = []
    real_stage = host._stage_tflite
    monkeypatch.setattr(host, "_elog", lambda *a: seen.append(("log",) + a))

    def stage(bundle, member, data):
        seen.append(("stage", member))
        return real_stage(bundle, member, data)

    monkeypatch.setattr(host, "_stage_tflite", stage)
    return seen


def test_int8_fallback_is_logged_before_staging(env, events, monkeypatch):
    monkeypatch.setenv("LUMETH2_Q8GD", "off")
    b = write_bundle("dir", env / "bundle", {"canon.bin": canon_bytes(), "combined_litert.tflite": COMBINED,
                                             "combined_litert_q8gd.tflite": Q8GD})
    paths, nm, _ = host.load_bundle(b)
    assert (paths, nm) == ([os.path.join(b, "combined_litert.tflite")], "combined_litert.tflite")
    assert events == [("log", "[q8gd] off (LUMETH2_Q8GD=off) \u2014 serving combined_litert.tflite"),
                      ("stage", "combined_litert.tflite")]


def test_split_stages_identity_before_its_report_lines(env, events):
    b = write_bundle("zip", env / "bundle", {"canon.bin": canon_bytes(), "identity.tflite": IDENT,
                                             "shared-enc.tflite": ENC, "manifest.json": split_manifest(ENC_SHA)})
    enc, ident = host.load_bundle(b)[0]
    assert events[:2] == [("stage", "shared-enc.tflite"),  # the bundle's own copy, staged to be verified
                          ("stage", "identity.tflite")]
    assert [kind for kind, *_ in events[2:]] == ["log", "log"]
    assert events[2][1].startswith("two-artifact split: base sha256=" + ENC_SHA[:12])
    assert events[3][1] == "two-artifact split: enc=" + enc + " + id=" + ident


@forms
def test_split_verified_against_declared_base(env, capfd, form):
    members = {"canon.f32": canon_bytes(), "identity.tflite": IDENT, "shared-enc.tflite": ENC,
               "manifest.json": split_manifest(ENC_SHA)}
    b, (paths, nm, _), status, err = load(env, form, members, capfd)
    assert nm == "shared-enc.tflite+identity.tflite"
    enc, ident = paths
    assert open(enc, "rb").read() == ENC and open(ident, "rb").read() == IDENT
    assert err == [
        "two-artifact split: base sha256=" + ENC_SHA[:12] + "\u2026 VERIFIED (bytes hashed) via co-located in " + b,
        "two-artifact split: enc=" + enc + " + id=" + ident,
    ]
    if form == "dir":
        assert paths == [os.path.join(b, "shared-enc.tflite"), os.path.join(b, "identity.tflite")]
    else:  # the identity is staged after the encoder
        assert host._STAGED == [enc, ident]


def test_split_from_content_store_and_unverified_own_copy(env, capfd, monkeypatch):
    store = env / "store"
    (store / ENC_SHA[:2]).mkdir(parents=True)
    (store / ENC_SHA[:2] / ENC_SHA).write_bytes(ENC)
    monkeypatch.setenv("ORVANE_DEPS_DIR", str(store))
    members = {"canon.bin": canon_bytes(), "identity.tflite": IDENT, "manifest.json": split_manifest(ENC_SHA)}
    b, (paths, _, _), _, err = load(env, "zip", members, capfd)
    p = str(store / ENC_SHA[:2] / ENC_SHA)
    assert paths[0] == p
    assert err[0] == ("two-artifact split: base sha256=" + ENC_SHA[:12] + "\u2026 resolved by CONTENT ADDRESS "
                      "(name-trusted, NOT re-hashed, per dependency_resolver) via name-trusted content store " + p)

    members = {"canon.bin": canon_bytes(), "identity.tflite": IDENT, "shared-enc.tflite": ENC}
    (env / "b2").mkdir()
    b, (paths, _, _), _, err = load(env / "b2", "qvx", members, capfd)
    assert err[0] == ("two-artifact split: base UNVERIFIED (artifact declares no " + SED_ID + " dependency; "
                      "using the bundle's own copy) \u2014 re-emit with tools/qvx_from_bundle to bind it")


def test_staged_base_is_verified_as_written_not_by_its_name(env, capfd, monkeypatch):
    """The bundle's own (wrong) encoder is staged; someone then puts the right bytes under
    the staged name. Verification hashes what this process wrote, so the wrong base is
    refused instead of passing on the other file's bytes."""
    real_stage = host._stage_tflite

    def stage_then_swap(bundle, nm, data):
        p = real_stage(bundle, nm, data)
        if nm == "shared-enc.tflite":
            planted = p + ".planted"
            with open(planted, "wb") as f:
                f.write(ENC)
            os.replace(planted, p)
        return p

    monkeypatch.setattr(host, "_stage_tflite", stage_then_swap)
    members = {"canon.bin": canon_bytes(), "identity.tflite": IDENT, "shared-enc.tflite": b"a different base",
               "manifest.json": split_manifest(ENC_SHA)}
    b, result, status, err = load(env, "qvx", members, capfd)
    assert status == 3 and result is None
    assert err[-1].startswith("FATAL: " + b + " was cut against shared-enc.tflite sha256=" + ENC_SHA)
    assert "(co-located in the bundle): sha mismatch" in err[-1]


def test_split_thread_cap_line_order(env, capfd, monkeypatch):
    """_run: warm-up, split lines, colour line, split thread line; the chain gets the capped count."""
    members = {"canon.bin": canon_bytes(), "identity.tflite": IDENT, "shared-enc.tflite": ENC}
    b = write_bundle("dir", env / "bundle", members)
    built = {}
    monkeypatch.setattr(host, "default_threads", lambda n, t: 4 if n > 1 else t)
    monkeypatch.setattr(host, "LitertChain", lambda p, c, t: built.setdefault("chain", (list(p), t)), raising=False)
    monkeypatch.setattr(host, "Renderer", lambda chain, cc: ("renderer", cc), raising=False)
    monkeypatch.setattr(host, "_serve", lambda r, c, nm: built.setdefault("serve", (r, nm)) and 0)
    monkeypatch.setenv("LUMETH2_COLOR_CORRECT", "off")
    assert host._run(b, None, 8) == 0
    assert built["chain"] == ([os.path.join(b, "shared-enc.tflite"), os.path.join(b, "identity.tflite")], 4)
    assert built["serve"] == (("renderer", None), "shared-enc.tflite+identity.tflite")
    err = [ln[len(TAG):] for ln in capfd.readouterr().err.splitlines()]
    assert err[0] == "warming up identity=" + b + " threads=8 ..."
    assert err[1].startswith("two-artifact split: base UNVERIFIED") and err[2].startswith("two-artifact split: enc=")
    assert err[3].startswith("colour-correct: DISABLED by LUMETH2_COLOR_CORRECT=0 \u2014 ")
    assert err[4:] == ["2-interpreter split: threads 8 -> 4 (<= cores/2)"]


def r5(b):
    return ("FATAL: " + b + " was cut against shared-enc.tflite sha256=" + ENC_SHA
            + " and that base is NOT on this machine. Resolution: no candidate found. Put it in the content store "
            "(${ORVANE_DEPS_DIR} or ~/.orvane/deps, as <store>/" + ENC_SHA + " or <store>/" + ENC_SHA[:2] + "/"
            + ENC_SHA + "), or pass --engine <dir|.engine> holding exactly that base. A base with the right NAME and "
            "the wrong CONTENT is refused here on purpose.")


REFUSALS = {
    "R1": ({"combined_litert.tflite": COMBINED},
           lambda b: "FATAL: no canon.bin in " + b + " (per-identity canon latent required)"),
    "R2-short": ({"canon.bin": canon_bytes()[:40], "combined_litert.tflite": COMBINED},
                 lambda b: "FATAL: canon.bin has 10 floats, expected 74880"),
    "R2-empty": ({"canon.bin": b"", "combined_litert.tflite": COMBINED},
                 lambda b: "FATAL: canon.bin has 0 floats, expected 74880"),
    "R2-f32": ({"canon.f32": canon_bytes() + b"\0\0\0\0", "combined_litert.tflite": COMBINED},
               lambda b: "FATAL: canon.bin has 74881 floats, expected 74880"),
    "R2-ragged": ({"canon.bin": canon_bytes()[:6], "combined_litert.tflite": COMBINED},
                  lambda b: "FATAL: canon.bin has 1.5 floats, expected 74880"),
    "R4": ({"canon.bin": canon_bytes(), "identity.tflite": IDENT},
           lambda b: "FATAL: " + b + " carries identity.tflite (the two-artifact split's DELTA half) and declares no "
           + SED_ID + " base in its manifest dependencies[], and carries no shared-enc.tflite of its own. There is "
           "no way to tell which shared-enc.tflite it was cut against, and the wrong one renders a DIFFERENT FACE "
           "with no error (measured 2026-09-01: 181 of 181 frames wrong, silently). Re-emit the container with "
           "tools/qvx_from_bundle, which stamps the base content address."),
    "R5": ({"canon.bin": canon_bytes(), "identity.tflite": IDENT, "manifest.json": split_manifest(ENC_SHA)}, r5),
    "R7": ({"canon.bin": canon_bytes(), "combined_litert_q8gd.tflite": Q8GD, "b.tflite": b"", "a.tflite": b"",
            "notes.txt": b""},
           lambda b: "FATAL: " + b + " carries UNEXPECTED tflite member(s) ['a.tflite', 'b.tflite', "
           "'combined_litert_q8gd.tflite'] and none of the contract renderers. lumeth-2 names exactly two renderer "
           "shapes: combined_litert.tflite, OR identity.tflite + an engine shared-enc.tflite. Other .tflite names "
           "are not loaded: re-pack the member under its contract name."),
    "R8": ({"canon.bin": canon_bytes(), "MODEL.TFLITE": b"", "shared-enc.tflite": ENC},
           lambda b: "FATAL: no LiteRT tflite member in " + b + " (expected combined_litert.tflite, OR "
           "identity.tflite + an engine shared-enc.tflite; convert-on-first-run from onnx/ckpt is not wired in v1)"),
}


@forms
@pytest.mark.parametrize("case", sorted(REFUSALS))
def test_refusals(env, capfd, form, case):
    members, line = REFUSALS[case]
    b, result, status, err = load(env, form, members, capfd)
    assert status == 3 and result is None
    assert err == [line(b)]


@forms
def test_r3_without_policy_module(env, capfd, monkeypatch, form):
    monkeypatch.setattr(host, "_SED", None)
    monkeypatch.setattr(host, "_SED_WHY", "No module named 'shared_enc_dep'")
    members = {"canon.bin": canon_bytes(), "identity.tflite": IDENT, "shared-enc.tflite": ENC}
    b, result, status, err = load(env, form, members, capfd)
    assert status == 3
    assert err == ["FATAL: " + b + " is a two-artifact split, but this engine has no shared_enc_dep (the "
                   "base-verification policy) \u2014 searched the repo tools/ dir and this host's own directory (No "
                   "module named 'shared_enc_dep'). Without it the base pairing cannot be verified, and an unverified "
                   "pairing renders a different face with no error. Vendor tools/shared_enc_dep beside this host in "
                   "the engine artifact. (The combined-member path does not need it and is unaffected.)"]
    # the combined shape does not need the policy
    b2 = write_bundle(form, env / "other", dict(members, **{"combined_litert.tflite": COMBINED}))
    assert host.load_bundle(b2)[1] == "combined_litert.tflite"


def test_r6_when_nothing_resolves_without_a_digest(env, capfd, monkeypatch):
    monkeypatch.setattr(host, "_declared_base_sha", lambda b: "")
    b, result, status, err = load(env, "dir", {"canon.bin": canon_bytes(), "identity.tflite": IDENT}, capfd)
    assert status == 3
    assert err == ["FATAL: " + b + " carries identity.tflite (two-artifact split) but no engine shared-enc.tflite was "
                   "found. Provide it via --engine <dir|.engine>, LUMETH2_SHARED_ENC=<file>, or install the linux "
                   "engine (`orvane engine install linux`) into ~/.orvane/engines/."]


@forms
def test_bundle_path_that_is_not_utf8(env, monkeypatch, form):
    """A file name with an undecodable byte reaches us with a lone surrogate; it must
    load and report like any other path, the lines giving the path back unchanged."""
    lines = []
    monkeypatch.setattr(host, "_elog", lambda *a: lines.append(a))
    parent = env / os.fsdecode(b"av\xffatar")
    parent.mkdir()
    b = write_bundle(form, parent / "bundle", {"canon.bin": canon_bytes(), "identity.tflite": IDENT,
                                               "shared-enc.tflite": ENC, "manifest.json": split_manifest(ENC_SHA)})
    paths, nm, _ = host.load_bundle(b)
    assert lines == [
        ("two-artifact split: base sha256=" + ENC_SHA[:12] + "\u2026 VERIFIED (bytes hashed) via co-located in " + b,),
        ("two-artifact split: enc=" + paths[0] + " + id=" + paths[1],),
    ]
    assert host._resolve_shared_enc(b, None, None)[1] == "co-located in " + b
    assert host.load_color_correct(b)[1].startswith("colour-correct: NOT APPLIED \u2014 this container carries no")
    lines.clear()
    with pytest.raises(SystemExit):
        host.load_bundle(str(parent / "nothing"))
    assert lines == [("FATAL: no canon.bin in " + str(parent / "nothing") + " (per-identity canon latent required)",)]


def test_nothing_at_the_path_is_r1(env, capfd):
    with pytest.raises(SystemExit) as e:
        host.load_bundle(str(env / "nowhere"))
    assert e.value.code == 3
    assert capfd.readouterr().err == TAG + "FATAL: no canon.bin in " + str(env / "nowhere") + " (per-identity canon latent required)\n"


def lut_json():
    rows = [[255 - i for i in range(256)], list(range(256)), [min(255, i + 10) for i in range(256)]]
    return json.dumps({"lut": rows}).encode(), np.asarray(rows, np.uint8)


@forms
def test_colour_applied_from_bundle(env, form):
    raw, table = lut_json()
    b = write_bundle(form, env / "bundle", {"color.json": raw})
    cc, line = host.load_color_correct(b)
    assert cc.kind == "lut" and cc.source == b + "!color.json"
    np.testing.assert_array_equal(cc.lut, table)
    assert line == "colour-correct: APPLIED \u2014 " + cc.describe()


@forms
def test_colour_not_applied(env, form):
    b = write_bundle(form, env / "bundle", {"canon.bin": b""})
    assert host.load_color_correct(bundle=b) == (
        None,
        "colour-correct: NOT APPLIED \u2014 this container carries no color.json. The frames are the raw model "
        "output. A container carries the correction only if its producer packed one, so this says nothing about "
        "whether the identity HAS one; it is not an error and the render proceeds.",
    )
    b2 = write_bundle(form, env / "bad", {"color.json": b"[1, 2]"})
    cc, line = host.load_color_correct(b2)
    assert cc is None
    assert line.startswith("colour-correct: NOT APPLIED \u2014 color.json is present but is not a json object (got list)")


@pytest.mark.parametrize("value", ["OFF", " no ", "0", "False"])
def test_colour_disabled_reads_nothing(env, monkeypatch, value):
    monkeypatch.setenv("LUMETH2_COLOR_CORRECT", value)

    def no_read(*a):
        raise AssertionError("bundle read while colour correction is off")

    monkeypatch.setattr(host, "_member_bytes", no_read)
    assert host.load_color_correct(str(env)) == (
        None,
        "colour-correct: DISABLED by LUMETH2_COLOR_CORRECT=0 \u2014 the frames are the RAW model output and will NOT "
        "match a live session's colours. This switch exists to isolate the renderer for measurement; it is not a "
        "serving mode.",
    )


@pytest.mark.parametrize(
    "n_paths, threads, capped, split_line",
    [
        (1, 8, None, None),  # combined: no second settling, no line
        (2, 2, 2, None),  # split, already within half the cores: no line
        (2, 6, 2, "2-interpreter split: threads 6 -> 2 (<= cores/2)"),
        # an interpreter takes a C int and makes a thread per count: huge requests get 1024
        (1, 1024, None, None),
        (1, 1025, 1024, "threads 1025 -> 1024 (the most one interpreter is given)"),
        (1, 2**31, 1024, "threads 2147483648 -> 1024 (the most one interpreter is given)"),
        (1, 10**20, 1024, "threads %d -> 1024 (the most one interpreter is given)" % 10**20),
    ],
)
def test_run_settles_threads_per_interpreter_count(env, capfd, monkeypatch, n_paths, threads, capped, split_line):
    calls, built = [], {}
    paths = ["enc", "id"][:n_paths]
    monkeypatch.setattr(host, "load_bundle", lambda b, e: (paths, "nm", "canon"))
    monkeypatch.setattr(host, "load_color_correct", lambda b: ("cc", "colour-correct: x"))
    monkeypatch.setattr(host, "default_threads", lambda n, t: calls.append((n, t)) or capped)
    monkeypatch.setattr(host, "LitertChain", lambda p, c, t: built.setdefault("chain", (p, c, t)), raising=False)
    monkeypatch.setattr(host, "Renderer", lambda ch, cc: ("r", cc), raising=False)
    monkeypatch.setattr(host, "_serve", lambda r, ch, nm: 1 if (r, nm) == (("r", "cc"), "nm") else 99)
    assert host._run(bundle="b", engine=None, threads=threads) == 1
    assert calls == ([] if n_paths == 1 else [(2, threads)])
    assert built["chain"] == (paths, "canon", capped if capped is not None else threads)
    err = [ln[len(TAG):] for ln in capfd.readouterr().err.splitlines()]
    assert err == ["warming up identity=b threads=%d ..." % threads, "colour-correct: x"] + (
        [split_line] if split_line else [])


@pytest.mark.parametrize("result, message", [
    ((["p"], "nm"), "not enough values to unpack (expected 3, got 2)"),
    ((["p"], "nm", "c", "x"), "too many values to unpack (expected 3)"),
])
def test_run_requires_three_items_from_load_bundle(env, monkeypatch, result, message):
    monkeypatch.setattr(host, "load_bundle", lambda b, e: result)
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        host._run("b", None, 1)


def test_oversized_zip_canon_is_not_inflated_whole(env, capfd):
    # 200 MiB of zeros deflate to a few hundred KB; the loader must refuse it
    # from a bounded read rather than inflate the whole member into memory.
    import tracemalloc
    import zipfile

    b = env / "bomb.zip"
    with zipfile.ZipFile(b, "w", zipfile.ZIP_DEFLATED) as z:
        with z.open("canon.bin", "w", force_zip64=True) as f:
            block = bytes(1 << 20)
            for _ in range(200):
                f.write(block)
        z.writestr("combined_litert.tflite", COMBINED)
    tracemalloc.start()
    try:
        with pytest.raises(SystemExit) as e:
            host.load_bundle(str(b))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert e.value.code == 3
    assert peak < 64 << 20
    err = capfd.readouterr().err
    assert "FATAL: canon.bin has more than 4194304 floats, expected 74880" in err


OVERSIZED = b" " * ((16 << 20) + 1)  # one byte past what any JSON member is read to


@pytest.mark.parametrize("form", FORMS)
def test_oversized_json_members_are_refused_from_a_bounded_read(env, form, monkeypatch):
    b = write_bundle(form, env / ("colour-" + form), {"color.json": OVERSIZED})
    cc, line = host.load_color_correct(b)
    assert cc is None
    assert line.startswith("colour-correct: NOT APPLIED \u2014 color.json is present but is not parsable json "
                           "(larger than 16777216 bytes) \u2014 refusing to invent an identity LUT. ")

    calls = []
    monkeypatch.setattr(host._SED, "base_sha256_of", lambda deps: calls.append(deps) or "sha")
    m = write_bundle(form, env / ("manifest-" + form), {"manifest.json": b'{"dependencies": []}' + OVERSIZED})
    assert host._declared_base_sha(m) is None and calls == []


# --- model members: copied out in blocks, bounded ---------------------------------

def bz2_zip_bomb(path, mib):
    """A zip whose combined model is `mib` MiB of zeros in bzip2: a few hundred bytes."""
    zeros = bytes(1 << 20)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_BZIP2) as z:
        z.writestr("canon.bin", np.zeros(74880, "<f4").tobytes())
        with z.open("combined_litert.tflite", "w", force_zip64=True) as f:
            for _ in range(mib):
                f.write(zeros)
    return str(path)


# The host program through its console entry, reporting its peak resident memory
# (VmHWM of its own address space) last thing at exit. The rusage of a child is no
# use here: it counts the parent's memory from before the child's exec.
MEASURED_HOST = r"""
import atexit, sys
def report():
    with open("/proc/self/status") as f:
        kb = next(ln for ln in f if ln.startswith("VmHWM:")).split()[1]
    sys.stderr.write("peak-kb " + kb + "\n")
atexit.register(report)
from orvane._lumeth2._cli import run
sys.argv = ["render_stream_chain_host"] + sys.argv[1:]
run()
"""


def run_measured_host(args, env):
    """(status, stdout, stderr lines, peak resident bytes) of the host run with `args`."""
    import sys

    r = subprocess.run([sys.executable, "-c", MEASURED_HOST, *args], stdin=subprocess.DEVNULL,
                       capture_output=True, env=env, timeout=300)
    lines = r.stderr.decode().splitlines()
    assert lines and lines[-1].startswith("peak-kb "), r.stderr.decode()[-2000:]
    return r.returncode, r.stdout, lines[:-1], int(lines[-1].split()[1]) * 1024


def test_zip_bomb_model_is_refused_without_being_inflated(tmp_path):
    from orvane._lumeth2._client import isolated_env

    bomb = bz2_zip_bomb(tmp_path / "bomb.zip", 256)
    assert os.path.getsize(bomb) < 4096
    stage = tmp_path / "stage"
    status, out, err, peak = run_measured_host(["render-stream", bomb], isolated_env(tmp_path, stage))
    lines = [ln for ln in err if ln.startswith(TAG)]
    assert status == 3 and out == b"", err[-20:]
    assert lines[-1].startswith(TAG + "FATAL: combined_litert.tflite in " + bomb + " declares 268435456 bytes from ")
    assert lines[-1].endswith("more than 100 times its compressed size: a model does not compress like that")
    # whole, the member alone would take 256 MiB (twice that while the reader copied it);
    # under AddressSanitizer resident memory says more about its shadow than about us
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert peak < 160 << 20, f"peak resident memory {peak >> 20} MiB"
    assert not stage.exists() or list(stage.iterdir()) == []


def sparse_qvx(path, member_size):
    """A QVX container whose combined model is `member_size` bytes of a sparse hole."""
    canon = np.zeros(74880, "<f4").tobytes()
    names = [b"canon.bin", b"combined_litert.tflite"]
    table = 8 + sum(2 + len(n) + 16 for n in names)
    head = b"QVX\0" + struct.pack("<HH", 1, 2)
    head += struct.pack("<H", len(names[0])) + names[0] + struct.pack("<QQ", table, len(canon))
    head += struct.pack("<H", len(names[1])) + names[1] + struct.pack("<QQ", table + len(canon), member_size)
    with open(path, "wb") as f:
        f.write(head + canon)
        f.truncate(table + len(canon) + member_size)
    return str(path)


@pytest.mark.parametrize("size, refused", [(256 << 20, False), ((2 << 30) + 1, True)], ids=["256MiB", "past-2GiB"])
def test_qvx_model_member_is_copied_in_blocks_up_to_the_bound(env, capfd, size, refused):
    import tracemalloc

    b = sparse_qvx(env / "big.qvx", size)
    tracemalloc.start()
    try:
        try:
            paths, _, _ = host.load_bundle(b)
            status = None
        except SystemExit as e:
            status = e.code
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 32 << 20  # never the member whole in memory
    err = capfd.readouterr().err
    if refused:
        assert status == 3 and host._STAGED == []
        assert err == (TAG + "FATAL: combined_litert.tflite in " + b + " holds 2147483649 bytes, more than the "
                       "2147483648 bytes a model may have\n")
    else:
        [p] = paths
        assert status is None and os.path.getsize(p) == size and host._STAGED == [p]
        with open(p, "rb") as f:
            f.seek(size - 4096)
            assert f.read() == bytes(4096)


def lying_zip(path, method, inflated_mib, declared):
    """A zip whose combined model declares `declared` bytes but inflates to far more:
    the archive's directory is the writer's word, not the data's."""
    import bz2
    import lzma
    import zlib

    zeros = bytes(1 << 20)
    if method == zipfile.ZIP_BZIP2:
        c = bz2.BZ2Compressor(9)
        packed = b"".join(c.compress(zeros) for _ in range(inflated_mib)) + c.flush()
    else:  # the zip form of LZMA: version, properties size, properties, raw stream
        c = lzma.LZMACompressor(lzma.FORMAT_RAW, filters=[{"id": lzma.FILTER_LZMA1}])
        props = lzma._encode_filter_properties({"id": lzma.FILTER_LZMA1})
        packed = (struct.pack("<BBH", 9, 4, len(props)) + props
                  + b"".join(c.compress(zeros) for _ in range(inflated_mib)) + c.flush())
    canon = np.zeros(74880, "<f4").tobytes()
    entries, body = [], b""
    for name, meth, data, size, crc in [(b"canon.bin", 0, canon, len(canon), zlib.crc32(canon)),
                                        (b"combined_litert.tflite", method, packed, declared, 0)]:
        entries.append((name, meth, len(data), size, crc, len(body)))
        body += struct.pack("<4s5H3L2H", b"PK\x03\x04", 63, 0, meth, 0, 0, crc, len(data), size,
                            len(name), 0) + name + data
    cd = b"".join(struct.pack("<4s6H3L5H2L", b"PK\x01\x02", 63, 63, 0, meth, 0, 0, crc, csize, size,
                                len(name), 0, 0, 0, 0, 0, off) + name
                  for name, meth, csize, size, crc, off in entries)
    with open(path, "wb") as f:
        f.write(body + cd + struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, 2, 2, len(cd), len(body), 0))
    return str(path)


@pytest.mark.parametrize("method", [zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA], ids=["bzip2", "lzma"])
def test_zip_member_that_inflates_past_its_declared_size_is_stopped_at_the_bound(env, capfd, method):
    import tracemalloc

    b = lying_zip(env / "liar.zip", method, 64, declared=1 << 20)
    tracemalloc.start()
    try:
        with pytest.raises(SystemExit) as e:
            host.load_bundle(b)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert e.value.code == 3 and host._STAGED == []
    err = capfd.readouterr().err
    # refused once it holds more than its entry declares, long before the ratio bound
    assert err.startswith(TAG + "FATAL: combined_litert.tflite in " + b + " inflates past its declared size of "
                          + str(1 << 20) + " bytes")
    assert peak < 32 << 20  # a block at a time, never the 64 MiB the stream holds


@pytest.mark.parametrize("method", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA],
                         ids=["stored", "deflated", "bzip2", "lzma"])
@pytest.mark.parametrize("damaged", [False, True], ids=["intact", "bad-crc"])
def test_zip_model_members_are_staged_exactly_or_not_at_all(env, capfd, method, damaged):
    data = np.random.default_rng(5).standard_normal(1 << 18).astype("<f4").tobytes() + bytes(1 << 20)
    b = env / "m.zip"
    with zipfile.ZipFile(b, "w", method) as z:
        z.writestr("canon.bin", canon_bytes())
        z.writestr("combined_litert.tflite", data)
    if damaged:  # the directory's CRC-32 of the model no longer matches its bytes
        raw = bytearray(b.read_bytes())
        at = raw.rfind(b"PK\x01\x02")
        raw[at + 16] ^= 0xFF
        b.write_bytes(bytes(raw))
        with pytest.raises(SystemExit) as e:  # a damaged bundle is a bundle fault
            host.load_bundle(str(b))
        assert e.value.code == 3
        assert capfd.readouterr().err == (TAG + "FATAL: " + str(b) + " cannot be read as a bundle (BadZipFile: "
                                          "Bad CRC-32 for file 'combined_litert.tflite')\n")
        import tempfile

        mine = f"lumeth2-stage.{os.getpid()}."
        assert host._STAGED == [] and not any(n.startswith(mine) for n in os.listdir(tempfile.gettempdir()))
        return
    [p], nm, _ = host.load_bundle(str(b))
    assert nm == "combined_litert.tflite" and open(p, "rb").read() == data
