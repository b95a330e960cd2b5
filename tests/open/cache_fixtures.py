"""Fixtures for the avatar cache, materialising, opening and sweeping tests.

`om` is the `orvane._open` module with fresh process-wide cache state for each
test (an empty `_HELD`, `_SWEPT` false, locks on); it also ends the test's
child processes. `cache` points ORVANE_CACHE_DIR at a temporary root.
"""
from __future__ import annotations

import fcntl
import json
import os
import pathlib
import pwd
import queue
import secrets
import shutil
import subprocess
import sys
import tempfile
import threading

import pytest

from lumeth2_bundle_pack import write_qvx, write_zip

import orvane._open as _open_mod


# Run first in every child process that uses the cache code.
CHILD_PRELUDE = """
import sys
import orvane._open as om
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
    held: dict = {}
    monkeypatch.setattr(_open_mod, "_HELD", held)
    monkeypatch.setattr(_open_mod, "_SWEPT", False)
    monkeypatch.setattr(_open_mod, "_fcntl", fcntl)
    yield _open_mod
    end_children()
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


TIMEOUT = 60  # seconds any exchange with a child may take before the test fails

_LIVE: list["Child"] = []  # children of the running test, ended by the `om` fixture


class Child:
    """A Python child running `script` after CHILD_PRELUDE, talking by lines.

    Every wait on it is bounded; whatever the test's outcome, the `om` fixture
    kills and reaps it afterwards.
    """

    def __init__(self, script: str, *args: str, env=None, prefix=(), python=None, prelude=CHILD_PRELUDE,
                 preexec_fn=None):
        self.proc = subprocess.Popen([*prefix, python or sys.executable, "-c", prelude + script, *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, env=env, preexec_fn=preexec_fn)
        _LIVE.append(self)
        self._lines: queue.Queue = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for out in self.proc.stdout:
            self._lines.put(out.rstrip("\n"))
        self._lines.put(None)

    def line(self) -> str:
        try:
            out = self._lines.get(timeout=TIMEOUT)
        except queue.Empty:
            raise AssertionError("child gave no line in time") from None
        if out is None:
            self.proc.wait(timeout=TIMEOUT)
            raise AssertionError(f"child ended: {self.proc.stderr.read()}")
        return out

    def send(self, text: str = "go"):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def finish(self) -> str:
        """Closes its input, waits for its end and returns the rest of its output."""
        self.proc.stdin.close()
        self.proc.wait(timeout=TIMEOUT)
        self._reader.join(timeout=TIMEOUT)
        err = self.proc.stderr.read()
        assert self.proc.returncode == 0, err
        lines = []
        while (out := self._lines.get_nowait()) is not None:
            lines.append(out + "\n")
        return "".join(lines)

    def end(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=TIMEOUT)
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                f.close()
            except OSError:
                pass
        self._reader.join(timeout=TIMEOUT)


def end_children():
    while _LIVE:
        _LIVE.pop().end()


def dead_pid() -> int:
    """The id of a process that has ended."""
    p = subprocess.Popen([sys.executable, "-c", "pass"])
    p.wait(timeout=TIMEOUT)
    return p.pid


# ---- a second user of the machine ----

# A system interpreter the second user can run (the test's own may live in root's home).
USER_PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable


class Stranger:
    def __init__(self, name):
        pw = pwd.getpwnam(name)
        self.name, self.uid, self.gid = name, pw.pw_uid, pw.pw_gid

    def drop(self):
        os.setgroups([])
        os.setgid(self.gid)
        os.setuid(self.uid)

    def run(self, code: str, *args: str) -> str:
        """Runs Python `code` as this user; returns its output (fails the test if it fails)."""
        r = subprocess.run([USER_PYTHON, "-I", "-c", code, *args], preexec_fn=self.drop, cwd="/",
                           capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 0, r.stderr
        return r.stdout

    def start(self, code: str, *args: str) -> Child:
        """Runs Python `code` as this user, talking by lines (a `Child`)."""
        return Child(code, *args, python=USER_PYTHON, prelude="import sys\n", preexec_fn=self.drop)


@pytest.fixture(scope="module")
def stranger():
    """A throwaway second user of this machine."""
    if os.geteuid() != 0 or shutil.which("useradd") is None:
        pytest.skip("making a second user needs root and useradd")
    name = "orvt" + secrets.token_hex(4)
    # The user database is locked for a moment while another process changes it: try again.
    for _ in range(50):
        made = subprocess.run(["useradd", "-M", "-N", "-s", "/usr/sbin/nologin", name],
                              capture_output=True, text=True, timeout=TIMEOUT)
        if made.returncode == 0:
            break
    assert made.returncode == 0, made.stderr
    try:
        user = Stranger(name)
        try:
            user.run("pass")
        except (AssertionError, OSError):
            pytest.skip("no Python interpreter the second user may run")
        yield user
    finally:
        for _ in range(50):
            if subprocess.run(["userdel", name], capture_output=True, timeout=TIMEOUT).returncode in (0, 6):
                break


@pytest.fixture
def shared(om):
    """A folder both users reach, sticky and writable by all (as /tmp is)."""
    base = tempfile.mkdtemp(prefix="orvane-shared-", dir="/tmp")
    os.chmod(base, 0o1777)
    try:
        yield pathlib.Path(base)
    finally:
        shutil.rmtree(base, ignore_errors=True)
