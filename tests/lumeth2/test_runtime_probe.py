"""LiteRT runtime version probe."""

import importlib.metadata

import pytest

from orvane._lumeth2 import _chain_host as m


def test_reports_the_installed_distribution_version():
    try:
        want = importlib.metadata.version("ai-edge-litert")
    except importlib.metadata.PackageNotFoundError:
        want = None
    assert m.litert_runtime_version() == want


def test_asks_afresh_and_keeps_the_text_unparsed(monkeypatch):
    monkeypatch.setattr(importlib.metadata, "version", lambda name: f"2.3.0rc1+local.{name}")
    assert m.litert_runtime_version() == "2.3.0rc1+local.ai-edge-litert"
    monkeypatch.setattr(importlib.metadata, "version", lambda name: "9")
    assert m.litert_runtime_version() == "9"


@pytest.mark.parametrize("exc", [importlib.metadata.PackageNotFoundError("ai-edge-litert"),
                                 OSError("unreadable metadata"), RuntimeError("anything")])
def test_ordinary_failures_mean_unknown(monkeypatch, exc):
    def fail(name):
        raise exc

    monkeypatch.setattr(importlib.metadata, "version", fail)
    assert m.litert_runtime_version() is None


def test_interrupts_pass_through(monkeypatch):
    def interrupt(name):
        raise KeyboardInterrupt

    monkeypatch.setattr(importlib.metadata, "version", interrupt)
    with pytest.raises(KeyboardInterrupt):
        m.litert_runtime_version()
