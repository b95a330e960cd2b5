"""Command line of the render-stream host: the scan of argv, usage and its status."""
import pytest

from orvane._lumeth2 import _chain_host as host

USAGE = "usage: render_stream_chain_host render-stream <bundle> [--engine <dir|.engine>] [--threads N]"


@pytest.fixture
def calls(monkeypatch):
    """Record what main hands on, without loading anything."""
    seen = {"elog": [], "default_threads": [], "run": []}
    monkeypatch.setattr(host, "_elog", lambda *a: seen["elog"].append(a), raising=False)

    def default_threads(n, requested):
        seen["default_threads"].append((n, requested))
        return requested if requested > 0 else 7

    def run(bundle, engine, threads):
        seen["run"].append((bundle, engine, threads))
        return 0

    monkeypatch.setattr(host, "default_threads", default_threads, raising=False)
    monkeypatch.setattr(host, "_run", run)
    return seen


@pytest.mark.parametrize(
    "argv, bundle, engine, threads",
    [
        (["prog", "b"], "b", None, 0),
        (["prog", "render-stream", "b"], "b", None, 0),
        (["prog", "b", "render-stream"], "b", None, 0),
        (["prog", "render-stream", "b", "render-stream", "c"], "b", None, 0),  # first plain word wins
        (["prog", "b", "--engine", "e1", "--engine", "e2"], "b", "e2", 0),  # last option wins
        (["prog", "--engine", "render-stream", "b"], "b", "render-stream", 0),  # value is consumed
        (["prog", "--engine", "-x", "b"], "b", "-x", 0),
        (["prog", "--threads", " 6 ", "b", "--threads", "3"], "b", None, 3),
        (["prog", "--threads", "-2", "b"], "b", None, -2),
        (["prog", "--verbose", "word", "b"], "word", None, 0),  # unknown option alone; next word is the bundle
        (["prog", "--threads=4", "--engine=x", "b"], "b", None, 0),  # joined forms are ignored
        (["prog", "", "b"], "b", None, 0),
        (["prog", "b", "--engine"], "b", None, 0),  # trailing option without value is ignored
    ],
)
def test_argv_table(calls, argv, bundle, engine, threads):
    assert host.main(argv) == 0
    assert calls["default_threads"] == [(1, threads)]
    settled = threads if threads > 0 else 7
    assert calls["run"] == [(bundle, engine, settled)]
    assert calls["elog"] == []


@pytest.mark.parametrize(
    "argv",
    [["prog"], ["prog", "render-stream"], ["prog", "render-stream", "--engine", "e", "--threads", "2"], ["prog", "-b"]],
)
def test_usage_without_bundle(calls, argv):
    assert host.main(argv=argv) == 2
    assert calls["elog"] == [(USAGE,)]
    assert calls["run"] == [] and calls["default_threads"] == []


def test_bad_threads_value_raises_before_usage_check(calls):
    with pytest.raises(ValueError, match="invalid literal for int"):
        host.main(["prog", "--threads", "many"])
    assert calls["elog"] == [] and calls["run"] == []


@pytest.mark.parametrize("word", [None, b"b", 3])
def test_words_must_be_texts(calls, word):
    with pytest.raises(TypeError, match=r"argv\[1\] must be str"):
        host.main(["prog", word, "b"])
    assert calls["run"] == []


def test_run_status_is_returned_unchanged(calls, monkeypatch):
    monkeypatch.setattr(host, "_run", lambda b, e, t: 1)
    assert host.main(["prog", "b"]) == 1


def _program(*args, env=None):
    import os
    import shutil
    import subprocess
    import sys

    exe = shutil.which("render_stream_chain_host", path=os.path.dirname(sys.executable))
    cmd = [exe] if exe else [sys.executable, "-m", "orvane._lumeth2._cli"]
    return subprocess.run(cmd + list(args), input=b"", capture_output=True, timeout=120, env=env)


def test_program_usage_status():
    r = _program()
    assert r.returncode == 2
    assert r.stdout == b""
    assert r.stderr.decode() == "[render-stream-chain-host] " + USAGE + "\n"


def test_program_bundle_fault_status(tmp_path):
    b = str(tmp_path / "nowhere")
    r = _program("render-stream", b, "--threads", "2")
    assert r.returncode == 3
    assert r.stdout == b""
    assert r.stderr.decode().splitlines() == [
        "[render-stream-chain-host] warming up identity=" + b + " threads=2 ...",
        "[render-stream-chain-host] FATAL: no canon.bin in " + b + " (per-identity canon latent required)",
    ]


def test_program_bad_threads_is_an_uncaught_error():
    r = _program("b", "--threads", "x")
    assert r.returncode not in (0, 2, 3)
    assert b"invalid literal for int() with base 10: 'x'" in r.stderr
