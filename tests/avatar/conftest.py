import threading

import pytest

from .helpers import write_model


@pytest.fixture
def model(tmp_path):
    def make(name="model", **desc):
        return write_model(tmp_path, name, **desc)
    return make


@pytest.fixture(autouse=True)
def no_engine_thread_left():
    """Every avatar a test made has released its engine worker by the end of the test."""
    yield
    left = [t.name for t in threading.enumerate() if t.name.startswith("orvane-engine")]
    assert not left, "engine worker threads left running: %s" % left
