import sys

import pytest

from .helpers import fake_qvx_engine_module, write_model


@pytest.fixture(autouse=True)
def _engine_ids(monkeypatch):
    # The package's engine-id lookup reads real containers; these tests use stand-in models.
    monkeypatch.setitem(sys.modules, "orvane._qvx_engine", fake_qvx_engine_module())


@pytest.fixture
def model(tmp_path):
    def make(name="model", **desc):
        return write_model(tmp_path, name, **desc)
    return make
