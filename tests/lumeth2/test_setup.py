"""Module load: bound facilities, module globals and the policy-module search."""

import concurrent.futures
import hashlib
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as m


def test_bound_facilities_and_globals():
    import atexit, struct, threading, time, zipfile  # noqa: E401

    for mod in (atexit, hashlib, json, os, struct, sys, threading, time, zipfile):
        assert getattr(m, mod.__name__) is mod
    assert m.ThreadPoolExecutor is concurrent.futures.ThreadPoolExecutor
    assert m._futures_wait is concurrent.futures.wait
    assert m.np is np
    assert isinstance(m._STAGED, list)


def test_installed_policy_module_is_found_beside_the_host():
    here = os.path.dirname(os.path.abspath(m.__file__))
    assert m._SED is not None
    assert os.path.dirname(os.path.abspath(m._SED.__file__)) in (here, m._SED_WHY)
    for name in ("SHARED_ENC_ID", "base_sha256_of", "dependency_store_dirs", "store_candidates",
                 "verify_base"):
        assert hasattr(m._SED, name)


def test_program_entry_passes_the_whole_argv_and_exits_with_mains_status(monkeypatch):
    from orvane._lumeth2 import _cli

    seen = []
    monkeypatch.setattr(m, "main", lambda argv: seen.append(list(argv)) or 7)
    argv = ["/usr/bin/render_stream_chain_host", "render-stream", "/some/bundle.qvx"]
    monkeypatch.setattr(sys, "argv", argv)
    with pytest.raises(SystemExit) as exc:
        _cli.run()
    assert exc.value.code == 7
    assert seen == [argv]


# The search is run in a child that loads a copy of the extension as the
# top-level module `_chain_host` (as stub generation does) from a laid-out tree:
#   <tmp>/r/x/y/z/_chain_host.so   own directory
#   <tmp>/r/tools/                 tools directory (three levels up)
CHILD = r"""
import importlib.util, json, sys
before = list(sys.path)
spec = importlib.util.spec_from_file_location("_chain_host", sys.argv[1])
mod = importlib.util.module_from_spec(spec)
spec.loader.exec_module(mod)
print(json.dumps({"sed": getattr(mod._SED, "__file__", None), "why": mod._SED_WHY,
                  "path": sys.path, "before": before}))
"""

GOOD = "SHARED_ENC_ID = 'x'\n"


@pytest.fixture
def tree(tmp_path):
    own = tmp_path / "r/x/y/z"
    tools = tmp_path / "r/tools"
    own.mkdir(parents=True)
    tools.mkdir()
    so = own / os.path.basename(m.__file__)
    shutil.copy(m.__file__, so)
    cwd = tmp_path / "elsewhere"
    cwd.mkdir()

    def run(pythonpath=None):
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONSTARTUP")}
        if pythonpath:
            env["PYTHONPATH"] = pythonpath
        r = subprocess.run([sys.executable, "-c", CHILD, str(so)], capture_output=True, cwd=cwd,
                           env=env, timeout=120)
        return r

    return own, tools, run


def _ok(r):
    assert r.returncode == 0, r.stderr.decode()
    return json.loads(r.stdout)


def test_policy_in_tools_dir_wins_and_own_dir_is_not_added(tree):
    own, tools, run = tree
    (tools / "shared_enc_dep.py").write_text(GOOD)
    (own / "shared_enc_dep.py").write_text(GOOD)
    out = _ok(run())
    assert out["sed"] == str(tools / "shared_enc_dep.py")
    assert out["why"] == str(tools)
    assert out["path"][0] == str(tools)
    assert str(own) not in out["path"]


def test_policy_beside_the_module(tree):
    own, tools, run = tree
    (own / "shared_enc_dep.py").write_text(GOOD)
    out = _ok(run())
    assert out["sed"] == str(own / "shared_enc_dep.py")
    assert out["why"] == str(own)
    assert out["path"][:2] == [str(own), str(tools)]


def test_no_policy_anywhere_still_loads(tree):
    own, tools, run = tree
    out = _ok(run())
    assert out["sed"] is None
    assert out["why"] == "No module named 'shared_enc_dep'"
    assert out["path"][:2] == [str(own), str(tools)]
    assert out["path"][2:] == out["before"]


def test_candidate_already_on_the_path_is_not_inserted_again(tree):
    own, tools, run = tree
    out = _ok(run(pythonpath=str(tools)))
    assert out["path"].count(str(tools)) == 1
    assert out["path"][0] == str(own)


def test_import_error_inside_the_policy_moves_on(tree):
    own, tools, run = tree
    (tools / "shared_enc_dep.py").write_text("import no_such_dependency_xyz\n")
    out = _ok(run())
    # the second attempt finds the same broken module again: its error is the reason
    assert out["sed"] is None and out["why"] == "No module named 'no_such_dependency_xyz'"
    (own / "shared_enc_dep.py").write_text(GOOD)
    out = _ok(run())
    assert out["sed"] == str(own / "shared_enc_dep.py") and out["why"] == str(own)


IMPORTER = r"""
import importlib.util, json, sys
spec = importlib.util.spec_from_file_location("_chain_host", sys.argv[1])
try:
    spec.loader.exec_module(importlib.util.module_from_spec(spec))
except BaseException as e:
    tb = e.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    print(json.dumps([type(e).__name__, str(e), tb.tb_frame.f_code.co_filename]))
"""


@pytest.mark.parametrize("policy, kind, text", [
    ("raise RuntimeError('policy exploded')\n", "RuntimeError", "policy exploded"),
    ("x = 1 / 0\n", "ZeroDivisionError", "division by zero"),
    ("class StoreError(Exception):\n    pass\nraise StoreError('no store at /x')\n", "StoreError", "no store at /x"),
])
def test_policy_failing_otherwise_fails_the_load_with_its_own_error(tree, policy, kind, text):
    # the importer sees the policy module's error, not a generic ImportError
    # wrapped around it, and the search does not go on to the next candidate
    own, tools, run = tree
    (tools / "shared_enc_dep.py").write_text(policy)
    (own / "shared_enc_dep.py").write_text(GOOD)
    so = own / os.path.basename(m.__file__)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONSTARTUP")}
    r = subprocess.run([sys.executable, "-c", IMPORTER, str(so)], capture_output=True, env=env, timeout=120,
                       cwd=tools.parent)
    assert r.returncode == 0, r.stderr.decode()
    assert json.loads(r.stdout) == [kind, text, str(tools / "shared_enc_dep.py")]


def test_policy_failing_otherwise_fails_the_load(tree):
    own, tools, run = tree
    (tools / "shared_enc_dep.py").write_text("raise RuntimeError('policy exploded')\n")
    (own / "shared_enc_dep.py").write_text(GOOD)
    r = run()
    assert r.returncode != 0
    assert r.stderr.decode().rstrip().endswith("RuntimeError: policy exploded")
    assert "Encountered an error" not in r.stderr.decode()


# --- the policy stand-in shipped beside the host -------------------------------

SED = m._SED
DIGEST = "ab" + "0" * 62


@pytest.mark.parametrize(
    "deps,want",
    [
        (None, None),
        ([], None),
        ({"id": "lumeth2-shared-enc", "sha256": DIGEST}, None),
        ([{"id": "other", "sha256": DIGEST}], None),
        ([{"id": "lumeth2-shared-enc", "sha256": "not-a-digest"}], None),
        ([{"id": "lumeth2-shared-enc", "sha256": DIGEST.upper()}], DIGEST),
        ([{"id": "lumeth2-shared-enc", "sha256": "sha256:" + DIGEST}], DIGEST),
        (["junk", {"id": "lumeth2-shared-enc", "sha256": DIGEST}], DIGEST),
    ],
)
def test_policy_declared_base(deps, want):
    assert SED.SHARED_ENC_ID == "lumeth2-shared-enc"
    assert SED.base_sha256_of(deps) == want


def test_policy_store_layout_and_verification(monkeypatch, tmp_path):
    store = tmp_path / "store"
    monkeypatch.setenv("ORVANE_DEPS_DIR", str(store))
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    dirs = SED.dependency_store_dirs()
    assert dirs == [str(store), str(tmp_path / "home/.orvane/deps")]
    data = b"shared encoder bytes"
    sha = hashlib.sha256(data).hexdigest()
    cands = SED.store_candidates(sha, dirs)
    assert cands[:2] == [str(store / sha), str(store / sha[:2] / sha)]
    assert SED.store_candidates("nonsense", dirs) == []
    f = tmp_path / "shared-enc.tflite"
    f.write_bytes(data)
    assert SED.verify_base(str(f), sha) is True
    assert SED.verify_base(str(f), DIGEST) is False
    assert SED.verify_base(str(tmp_path / "missing"), sha) is False
