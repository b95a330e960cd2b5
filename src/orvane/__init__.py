"""orvane: speech-driven talking-avatar rendering (native core)."""

__all__ = ["open", "Avatar"]


def __getattr__(name):
    # Loaded on first use: importing the package must not load the offline
    # layer (nor its error module) for callers that only stream.
    if name in ("open", "Avatar"):
        from orvane import _open

        return getattr(_open, name)
    raise AttributeError(f"module 'orvane' has no attribute {name!r}")
