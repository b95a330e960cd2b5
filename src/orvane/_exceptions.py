"""Error classes of the streaming API (small stand-in for the package's own module).

Only the three names the streaming avatar raises are provided, and the private class of
its refusal of an unusable model.
"""
from orvane._errors import InvalidAvatar, _unusable

__all__ = ["OrvaneError", "ModelNotFoundError", "RuntimeNotReadyError"]


class OrvaneError(Exception):
    """Base class of the streaming API's errors."""


class ModelNotFoundError(OrvaneError):
    """No model file or directory at the given path."""


class RuntimeNotReadyError(OrvaneError):
    """The operation needs a loaded model (await create() first)."""


class _InvalidModel(OrvaneError, InvalidAvatar):
    """A model that is there but cannot be used (a damaged container, manifest or bundle).

    Of both families: code written for the streaming API catches it as an ``OrvaneError``,
    code written for the offline API as the ``InvalidAvatar`` that ``open`` raises for
    the same file."""


def _invalid_model(path, error):
    """The refusal of the model at ``path`` whose engine kind or model could not be loaded."""
    return _unusable(path, error, _InvalidModel)
