"""Thread-count defaults per engine profile (small stand-in)."""
import os

FERRIN1 = "ferrin1"

_CAPS = {FERRIN1: 4}


def default_threads(profile):
    """Intra-op thread count for ``profile``: the CPU count, capped per profile."""
    return max(1, min(_CAPS.get(profile, 4), os.cpu_count() or 1))
