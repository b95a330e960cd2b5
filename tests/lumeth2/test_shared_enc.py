"""Shared-encoder search order, verification and mismatch records."""
import json
import os
import zipfile

import pytest

from orvane._lumeth2 import _chain_host as host
from host_policy import Policy, sha

GOOD = b"the shared encoder it was cut against"
BAD = b"another shared encoder"
ENV = ("LUMETH2_SHARED_ENC", "LUMETH2_ENGINE_DIR", "LUMETH2_ANE_ENGINE")


@pytest.fixture
def env(tmp_path, monkeypatch):
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    for v in ENV:
        monkeypatch.delenv(v, raising=False)
    (tmp_path / "stage").mkdir()
    monkeypatch.setenv("LUMETH2_STAGE_DIR", str(tmp_path / "stage"))
    policy = Policy(tmp_path / "store")
    monkeypatch.setattr(host, "_SED", policy, raising=False)
    monkeypatch.setattr(host, "_STAGED", [], raising=False)
    return policy


def bundle_dir(tmp_path, name="bundle", enc=None):
    d = tmp_path / name
    d.mkdir()
    (d / "identity.tflite").write_bytes(b"id")
    if enc is not None:
        (d / "shared-enc.tflite").write_bytes(enc)
    return d


def engine_dir(tmp_path, name, enc):
    d = tmp_path / name
    d.mkdir(parents=True)
    if enc is not None:
        (d / "shared-enc.tflite").write_bytes(enc)
    return d


def test_without_digest_the_bundle_copy_wins_unverified(tmp_path, env):
    b = bundle_dir(tmp_path, enc=BAD)
    e = engine_dir(tmp_path, "eng", GOOD)
    assert host._resolve_shared_enc(str(b), str(e), None) == (str(b / "shared-enc.tflite"), "co-located in " + str(b))
    assert env.verified == []


def test_nothing_found(tmp_path, env):
    b = bundle_dir(tmp_path)
    assert host._resolve_shared_enc(str(b), None, None) == (None, "no candidate found")
    assert host._resolve_shared_enc(str(b), None, sha(GOOD)) == (None, "no candidate found")


@pytest.mark.parametrize("nested", [False, True])
def test_content_store_is_trusted_by_name_before_the_bundle_copy(tmp_path, env, nested):
    want = sha(GOOD)
    store = tmp_path / "store" / (want[:2] if nested else "")
    store.mkdir(parents=True, exist_ok=True)
    (store / want).write_bytes(b"not even the right bytes")  # name-trusted: not re-hashed
    b = bundle_dir(tmp_path, enc=GOOD)
    p = str(store / want)
    assert host._resolve_shared_enc(str(b), None, want) == (p, "name-trusted content store " + p)
    assert env.verified == []


def test_refused_bundle_copy_then_engine_dir(tmp_path, env):
    b = bundle_dir(tmp_path, enc=BAD)
    e = engine_dir(tmp_path, "eng", GOOD)
    got = host._resolve_shared_enc(bundle=str(b), engine=str(e), want_sha=sha(GOOD))
    assert got == (str(e / "shared-enc.tflite"), "engine dir " + str(e))
    assert [p for p, _ in env.verified] == [str(b / "shared-enc.tflite"), str(e / "shared-enc.tflite")]


def test_records_of_refused_candidates_in_order(tmp_path, env, monkeypatch):
    b = bundle_dir(tmp_path, enc=BAD)
    e = engine_dir(tmp_path, "eng", BAD)
    f = engine_dir(tmp_path, "explicit", BAD) / "shared-enc.tflite"
    monkeypatch.setenv("LUMETH2_SHARED_ENC", str(f))
    monkeypatch.setenv("LUMETH2_ENGINE_DIR", str(e))  # the same directory twice: tried twice
    monkeypatch.setenv("LUMETH2_ANE_ENGINE", "")  # empty adds nothing
    path, why = host._resolve_shared_enc(str(b), str(e), sha(GOOD))
    assert path is None
    be, ee = str(b / "shared-enc.tflite"), str(e / "shared-enc.tflite")
    assert why == "; ".join([
        be + " (co-located in the bundle): sha mismatch",
        ee + " (engine dir): sha mismatch",
        str(f) + " (explicit file): sha mismatch",
        ee + " (engine dir): sha mismatch",
    ])


def test_engine_dir_without_the_file_is_passed_over_silently(tmp_path, env, monkeypatch):
    b = bundle_dir(tmp_path)
    e = engine_dir(tmp_path, "empty-eng", None)
    f = engine_dir(tmp_path, "x", GOOD) / "shared-enc.tflite"
    monkeypatch.setenv("LUMETH2_ANE_ENGINE", str(f))
    assert host._resolve_shared_enc(str(b), str(e), sha(GOOD)) == (str(f), "explicit file " + str(f))


def test_engine_container_is_staged(tmp_path, env):
    b = bundle_dir(tmp_path)
    c = tmp_path / "linux.engine"
    with zipfile.ZipFile(c, "w") as z:
        z.writestr("engine/shared-enc.tflite", GOOD)
    path, why = host._resolve_shared_enc(str(b), str(c), sha(GOOD))
    assert why == "container " + str(c)
    assert path.endswith("_shared-enc.tflite") and path in host._STAGED
    assert open(path, "rb").read() == GOOD


def test_refused_container_member_stays_staged(tmp_path, env):
    """A container's member that fails verification: its record names the staged copy and the
    container; the copy is left for the exit sweep."""
    b = bundle_dir(tmp_path)
    c = tmp_path / "other.engine"
    with zipfile.ZipFile(c, "w") as z:
        z.writestr("shared-enc.tflite", BAD)
    path, why = host._resolve_shared_enc(str(b), str(c), sha(GOOD))
    [staged] = host._STAGED
    assert (path, why) == (None, staged + " (container " + str(c) + "): sha mismatch")
    assert os.path.isfile(staged)


def test_installed_engines_in_name_order(tmp_path, env):
    b = bundle_dir(tmp_path)
    root = tmp_path / "home" / ".orvane" / "engines"
    engine_dir(root, "b", GOOD)
    engine_dir(root, "a", GOOD)
    engine_dir(root, "0-empty", None)
    p = os.path.join(str(tmp_path / "home"), ".orvane/engines/a/shared-enc.tflite")
    assert host._resolve_shared_enc(str(b), None, sha(GOOD)) == (p, "explicit file " + p)


def test_command_line_engine_before_environment(tmp_path, env, monkeypatch):
    b = bundle_dir(tmp_path)
    e = engine_dir(tmp_path, "cli", GOOD)
    monkeypatch.setenv("LUMETH2_SHARED_ENC", str(engine_dir(tmp_path, "env", GOOD) / "shared-enc.tflite"))
    assert host._resolve_shared_enc(str(b), str(e), None)[1] == "engine dir " + str(e)
    assert host._resolve_shared_enc(str(b), "", None)[1].startswith("explicit file " + str(tmp_path / "env"))


@pytest.mark.parametrize(
    "manifest, want",
    [
        ({"dependencies": [{"id": "lumeth2-shared-enc", "sha256": "ab" * 32}]}, "ab" * 32),
        ({"dependencies": []}, None),
        ({}, None),
        (b"\xff\xfe not utf-8", None),
        (b"{not json", None),
        ([1, 2], None),  # not an object
        ({"dependencies": [7]}, None),  # the policy raises: None
        (None, None),  # no manifest
    ],
)
def test_declared_base_sha(tmp_path, env, manifest, want):
    b = bundle_dir(tmp_path)
    if manifest is not None:
        raw = manifest if isinstance(manifest, bytes) else json.dumps(manifest).encode()
        (b / "manifest.json").write_bytes(raw)
    assert host._declared_base_sha(str(b)) == want


def test_declared_base_sha_without_policy(tmp_path, env, monkeypatch):
    b = bundle_dir(tmp_path)
    (b / "manifest.json").write_text(json.dumps({"dependencies": [{"id": "lumeth2-shared-enc", "sha256": "x"}]}))
    monkeypatch.setattr(host, "_SED", None)
    assert host._declared_base_sha(str(b)) is None
