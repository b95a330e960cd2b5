"""Model loading shared by the streaming classes (small stand-in for the package's own
module): builds a native fixture and runtime (``orvane._core``) for a model path."""

from __future__ import annotations

__all__ = ["NativeFixtureLoaderMixin"]

_encoder_registered = False


class NativeFixtureLoaderMixin:
    """Gives its class ``_load_fixture_blocking(path)``; reads ``_num_threads`` and sets
    ``_fixture``, ``_runtime`` and ``_model_path``."""

    @staticmethod
    def _register_default_audio_encoder():
        """Make the default audio encoder known to the runtime's loader (idempotent)."""
        global _encoder_registered
        _encoder_registered = True

    def _load_fixture_blocking(self, path):
        """Blocking: load the model at ``path`` (text).  Runs on a worker thread."""
        from orvane import _core

        self._register_default_audio_encoder()
        threads = int(getattr(self, "_num_threads", 0) or 0)
        fixture = _core.Fixture(str(path), preferred_ep=_core.EP_AUTO, intra_op_threads=threads)
        runtime = _core.Runtime(fixture)
        self._fixture = fixture
        self._runtime = runtime
        self._model_path = str(path)
