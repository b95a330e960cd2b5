"""Base-verification policy for two-artifact lumeth-2 bundles (stand-in).

A two-artifact bundle carries ``identity.tflite`` and must be paired with the
one shared encoder (``shared-enc.tflite``) it was cut against. Its manifest
names that base among its ``dependencies``::

    "dependencies": [{"id": "lumeth2-shared-enc", "sha256": "<64 hex digits>"}]

This module reads the declared digest, locates the content store and verifies
candidate files by hashing them. The render-stream host loads it at start-up
(from the repository's ``tools/`` directory, else from beside the host module).

Content store: the directories in ``ORVANE_DEPS_DIR`` (``os.pathsep``-separated),
then ``~/.orvane/deps``. A base lives there as ``<store>/<digest>`` or
``<store>/<digest[:2]>/<digest>``; store files are trusted by their name.
"""

from __future__ import annotations

import hashlib
import os

SHARED_ENC_ID = "lumeth2-shared-enc"

_HEX = frozenset("0123456789abcdef")


def _digest(value) -> str | None:
    """A SHA-256 digest in lower-case hex, or None when value is not one."""
    if not isinstance(value, str):
        return None
    v = value.strip().lower()
    if v.startswith("sha256:"):
        v = v[len("sha256:"):]
    return v if len(v) == 64 and set(v) <= _HEX else None


def base_sha256_of(dependencies) -> str | None:
    """Digest of the shared-encoder base declared in a manifest's ``dependencies``.

    ``dependencies`` is the manifest's list of ``{"id": ..., "sha256": ...}``
    objects (or None). The last entry whose id is ``SHARED_ENC_ID`` and whose
    ``sha256`` is a valid digest decides; None when there is none.
    """
    if not isinstance(dependencies, list):
        return None
    found = None
    for dep in dependencies:
        if isinstance(dep, dict) and dep.get("id") == SHARED_ENC_ID:
            d = _digest(dep.get("sha256"))
            if d is not None:
                found = d
    return found


def dependency_store_dirs() -> list[str]:
    """Content-store directories, in search order (existing or not)."""
    dirs = [d for d in os.environ.get("ORVANE_DEPS_DIR", "").split(os.pathsep) if d.strip()]
    dirs.append(os.path.join(os.path.expanduser("~"), ".orvane", "deps"))
    return dirs


def store_candidates(want_sha, dirs) -> list[str]:
    """Paths where the base with digest ``want_sha`` would live in ``dirs``, in order."""
    d = _digest(want_sha)
    if d is None:
        return []
    out = []
    for root in dirs:
        out.append(os.path.join(root, d))
        out.append(os.path.join(root, d[:2], d))
    return out


def sha256_file(path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def verify_base(path, want_sha) -> bool:
    """True when the file's SHA-256 is the digest ``want_sha`` names."""
    d = _digest(want_sha)
    if d is None:
        return False
    try:
        return sha256_file(path) == d
    except OSError:
        return False
