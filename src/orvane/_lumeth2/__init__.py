"""The lumeth-2 engine: LiteRT model chain and the render-stream host."""

__all__ = ["Lumeth2Engine"]


def __getattr__(name):
    # The wrapper (and numpy with it) loads only when an avatar of this kind is opened.
    if name == "Lumeth2Engine":
        from orvane._lumeth2.engine import Lumeth2Engine

        return Lumeth2Engine
    raise AttributeError(f"module 'orvane._lumeth2' has no attribute {name!r}")
