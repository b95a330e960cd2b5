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


_UNUSABLE = "that is not a usable avatar"
_DETAIL_LIMIT = 2000  # characters of the failure kept in the detail (a host's FATAL line says what to do)


def _what_went_wrong(error) -> str:
    """One line saying what is wrong, from an error of reading an avatar or starting its
    engine. A failure that carries a report (a render host that ended with its FATAL
    line, or that left a whole traceback behind) is summed up by its last line."""
    fatal = getattr(error, "fatal", None)
    text = str(fatal) if fatal else str(error)
    lines = [ln.strip() for ln in text.splitlines() if ln.strip()]
    if len(lines) > 1:
        head = lines[0].split("Traceback (most recent call last):")[0].rstrip(" :")
        text = f"{head}: {lines[-1]}" if head else lines[-1]
    else:
        text = lines[0] if lines else ""
    name = type(error).__name__
    text = f"{name}: {text}" if text else name
    return text if len(text) <= _DETAIL_LIMIT else text[:_DETAIL_LIMIT - 3] + "..."


def _unusable(source, error, cls=None):
    """The refusal of an avatar whose engine kind or engine could not be made from it:
    "that is not a usable avatar", its detail naming the file and what is wrong, the
    original error kept as its cause."""
    exc = refuse(cls or InvalidAvatar, _UNUSABLE, f"{source}: {_what_went_wrong(error)}")
    exc.__cause__ = error
    return exc
