"""Fixtures for the avatar cache, materialising, opening and sweeping tests.

`om` is the `orvane._open` module with fresh process-wide cache state for each
test (an empty `_HELD`, `_SWEPT` false, locks on) and, where the module does
not define them yet, the settings and error names the cache code reads.
`cache` points ORVANE_CACHE_DIR at a temporary root. Child processes get the
same set-up from `CHILD_PRELUDE`.
"""
from __future__ import annotations

import fcntl
import json
import os
import re
import subprocess
import sys

import pytest

from lumeth2_bundle_pack import write_qvx, write_zip

import orvane._open as _open_mod


class AvatarError(Exception):
    pass


class InvalidAvatar(AvatarError):
    pass


class NotSupported(AvatarError):
    pass


class Failed(AvatarError):
    pass


class _Outdated(InvalidAvatar):
    def __init__(self, message, code=None):
        super().__init__(message)
        self.code = code


def refuse(cls, message, detail):
    e = cls(message)
    e.detail = detail
    return e


FAKE_ERRORS = dict(AvatarError=AvatarError, InvalidAvatar=InvalidAvatar, NotSupported=NotSupported,
                   Failed=Failed, refuse=refuse)

SETTINGS = dict(
    _CODE=re.compile(r"^[A-Z][A-Z0-9]{9}$"),
    _SESSION=frozenset({"ferrin2-light", "ferrin2-golden"}),
    _FIXTURE=frozenset({"ferrin1"}),
    _LITERT=frozenset({"lumeth2"}),
    _UNIFIED=frozenset({"ferrin2-unified"}),
    _DEFAULT_CACHE_GB=10.0,
    _EVICT_MIN_IDLE_S=3600,
    _TMP_RE=re.compile(r"^.+\.tmp\.(\d+)$"),
)

# Run first in every child process that uses the cache code.
CHILD_PRELUDE = """
import fcntl, re, sys
import orvane._open as om
for name, value in dict(
        _DEFAULT_CACHE_GB=10.0, _EVICT_MIN_IDLE_S=3600, _TMP_RE=re.compile(r"^.+\\.tmp\\.(\\d+)$"),
        _HELD={}, _SWEPT=False, _fcntl=fcntl).items():
    if not hasattr(om, name):
        setattr(om, name, value)
if not hasattr(om, "refuse"):
    class _E(Exception):
        pass
    om.Failed = om.InvalidAvatar = _E
    om.refuse = lambda cls, message, detail: cls(message, detail)
"""

MANIFEST = {"engine": "ferrin2-light", "name": "test avatar"}


def members(tag: str = "a", engine: str = "ferrin2-light", extra: int = 0) -> dict[str, bytes]:
    """Members of a small avatar; `tag` makes distinct contents, `extra` adds bytes."""
    return {"manifest.json": json.dumps(dict(MANIFEST, engine=engine, tag=tag)).encode(),
            "models/weights.bin": bytes(range(256)) * 4 + b"\0" * extra}


def qvx(path, tag: str = "a", **kw) -> str:
    return write_qvx(str(path), members(tag, **kw))


def zipped(path, tag: str = "a", **kw) -> str:
    return write_zip(str(path), members(tag, **kw))


@pytest.fixture
def om(monkeypatch):
    for name, value in SETTINGS.items():
        if not hasattr(_open_mod, name):
            monkeypatch.setattr(_open_mod, name, value, raising=False)
    if not hasattr(_open_mod, "refuse"):
        for name, value in FAKE_ERRORS.items():
            monkeypatch.setattr(_open_mod, name, value, raising=False)
    held: dict = {}
    monkeypatch.setattr(_open_mod, "_HELD", held, raising=False)
    monkeypatch.setattr(_open_mod, "_SWEPT", False, raising=False)
    monkeypatch.setattr(_open_mod, "_fcntl", fcntl, raising=False)
    yield _open_mod
    for fd in held.values():  # drop this test's holds
        try:
            os.close(fd)
        except OSError:
            pass


@pytest.fixture
def cache(tmp_path, monkeypatch):
    """The cache root of this test; returns its avatars directory path."""
    root = tmp_path / "cache"
    monkeypatch.setenv("ORVANE_CACHE_DIR", str(root))
    monkeypatch.delenv("ORVANE_AVATAR_CACHE_GB", raising=False)
    return os.path.join(str(root), "avatars")


def can_lock(path) -> bool:
    """Whether an exclusive lock on `path` is granted at once (dropped again)."""
    fd = os.open(path, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except OSError:
        return False
    finally:
        os.close(fd)


class Child:
    """A Python child running `script` after CHILD_PRELUDE, talking by lines."""

    def __init__(self, script: str, *args: str, env=None):
        self.proc = subprocess.Popen([sys.executable, "-c", CHILD_PRELUDE + script, *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, env=env)

    def line(self) -> str:
        out = self.proc.stdout.readline()
        if not out:
            self.proc.wait(timeout=60)
            raise AssertionError(f"child ended: {self.proc.stderr.read()}")
        return out.rstrip("\n")

    def send(self, text: str = "go"):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def finish(self) -> str:
        out, err = self.proc.communicate(timeout=60)
        assert self.proc.returncode == 0, err
        return out

