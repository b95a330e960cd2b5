"""Fixtures shared by the lumeth-2 chain and renderer tests: generated LiteRT models."""
import pathlib
import sys

import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as ch

LATENT = 16 * 4680

# With tests/lumeth2 a package, sibling helper modules imported by plain name
# (wsola_reference, ...) are found only when this folder is on the path.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))


@pytest.fixture(scope="session")
def l2_models(tmp_path_factory) -> dict[str, pathlib.Path]:
    """Every test-model variant of tools/make_lumeth2_models.py, written once per session."""
    pytest.importorskip("ai_edge_litert")
    import make_lumeth2_models

    return make_lumeth2_models.write_models(tmp_path_factory.mktemp("l2models"))


@pytest.fixture
def zero_canon() -> np.ndarray:
    """A canonical latent of zeros: the models' step counter then starts at 1."""
    return np.zeros(LATENT, np.float32)


@pytest.fixture(scope="session")
def chain(l2_models):
    """One chain over the combined model, shared by tests that only run it."""
    return ch.LitertChain([l2_models["combined"]], np.zeros(LATENT, np.float32), 2)


