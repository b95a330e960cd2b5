"""Fixtures shared by the lumeth-2 chain and renderer tests: generated LiteRT models."""
import pathlib

import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as ch

LATENT = 16 * 4680


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



# TEMPORARY until pixel conversion lands on this branch.
if not hasattr(ch, "px_to_rgb888_chunk"):
    def _px_chunk(px, cc=None, threads=1):
        out = np.empty((len(px), 720, 416, 3), np.uint8)
        for i, f in enumerate(px):
            u = np.clip(f * np.float32(255.0), 0, 255).astype(np.uint8).transpose(1, 2, 0)
            out[i] = cc.apply(u) if cc is not None else u
        return out

    ch.px_to_rgb888_chunk = _px_chunk
    ch.rgb_threads = lambda: 2
