"""Error classes of the streaming API (small stand-in for the package's own module).

Only the three names the streaming avatar raises are provided.
"""

__all__ = ["OrvaneError", "ModelNotFoundError", "RuntimeNotReadyError"]


class OrvaneError(Exception):
    """Base class of the streaming API's errors."""


class ModelNotFoundError(OrvaneError):
    """No model file or directory at the given path."""


class RuntimeNotReadyError(OrvaneError):
    """The operation needs a loaded model (await create() first)."""
