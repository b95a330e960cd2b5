"""Error classes of the offline API (small stand-in for the package's error module).

Every failure a user can act on is an ``AvatarError``: a plain lower-case sentence as the
first argument, with the technical ``detail`` kept beside it.
"""


class AvatarError(Exception):
    """Base of the offline errors."""

    def __init__(self, message, detail=None):
        super().__init__(message)
        self.detail = detail

    def __str__(self):
        msg = str(self.args[0]) if self.args else ""
        return msg if self.detail is None else f"{msg} ({self.detail})"


class InvalidAvatar(AvatarError):
    """The avatar given cannot be used (missing, unreadable, not an avatar)."""


class NotSupported(AvatarError):
    """The avatar cannot run with this package on this machine."""


class Failed(AvatarError):
    """An operation on a valid avatar failed."""


class _Outdated(InvalidAvatar):
    """An avatar made for an older engine; ``code`` names what is out of date."""

    def __init__(self, message, code=None):
        super().__init__(message)
        self.code = code


def refuse(cls, message, detail):
    """Return (do not raise) an exception of ``cls`` carrying ``message`` and ``detail``."""
    return cls(message, detail)
