"""The f2u engine wrapper, as the offline layer constructs it.

A minimal stand-in: `F2UEngine(root)` checks that `root` is an unpacked
"ferrin2-unified" avatar and that the f2u host module loads, and follows the
engine protocol (`frames`, `interrupt`, `close`, `frames_per_second`,
`stop_reason`). Rendering is not wired in this build: `frames` raises
`F2UUnavailable`.
"""
from __future__ import annotations

import json
import os

__all__ = ["F2UEngine", "F2UInvalid", "F2UUnavailable"]


class F2UInvalid(Exception):
    """The avatar is not a usable f2u avatar (message in args[0])."""


class F2UUnavailable(Exception):
    """The f2u engine cannot run here (message in args[0])."""


class F2UEngine:
    frames_per_second = 25

    def __init__(self, root: str):
        root = os.fspath(root)
        try:
            with open(os.path.join(root, "manifest.json"), "rb") as f:
                man = json.loads(f.read().decode("utf-8"))
        except (OSError, ValueError) as e:
            raise F2UInvalid("that is not a usable avatar") from e
        if not isinstance(man, dict) or man.get("engine") != "ferrin2-unified":
            raise F2UInvalid("that is not an f2u avatar")
        try:
            from orvane._f2u import host  # noqa: F401
        except ImportError as e:
            raise F2UUnavailable("the f2u engine is not installed") from e
        self.root = root
        self.manifest = man
        self.stop_reason = None
        self._closed = False

    def frames(self, chunks):
        if self._closed:
            raise RuntimeError("F2UEngine is closed")
        raise F2UUnavailable("f2u rendering is not available in this build")
        yield  # a generator, like every engine's frames

    def interrupt(self) -> None:
        self.stop_reason = "interrupted"

    def close(self) -> None:
        self._closed = True
