import pytest

from .helpers import write_model


@pytest.fixture
def model(tmp_path):
    def make(name="model", **desc):
        return write_model(tmp_path, name, **desc)
    return make
