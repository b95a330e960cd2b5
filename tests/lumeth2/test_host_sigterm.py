"""SIGTERM ends the host promptly, wherever it lands: the real host over real pipes, its
standard output buffered or not, blocking or not, read by a parent that reads at once,
slowly or not at all, while it waits for input, renders or writes frames."""
import fcntl
import os
import select
import subprocess
import termios
import threading
import time

import numpy as np
import pytest

from lumeth2_bundle_pack import write_bundle
from orvane._lumeth2._client import block, host_command, isolated_env

SPC = 25600
DEADLINE_S = 10.0  # hang detection only: a host that heeds SIGTERM ends far sooner


def speech(n):
    t = np.arange(n) / 16000
    return (0.3 * np.sin(2 * np.pi * 140 * t) * (0.5 + 0.5 * np.sin(2 * np.pi * 4 * t))).astype(np.float32)


def pipe_bytes(fd):
    """Unread bytes in the pipe behind `fd` (either end)."""
    buf = bytearray(4)
    fcntl.ioctl(fd, termios.FIONREAD, buf)
    return int.from_bytes(buf, "little")


def wait_until(cond, what, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not cond():
        assert time.monotonic() < deadline, what
        time.sleep(0.001)


def read_line(fd):
    line = b""
    while not line.endswith(b"\n"):
        select.select([fd], [], [], 60)
        try:
            got = os.read(fd, 1)
        except BlockingIOError:
            continue
        assert got, "the host ended before its READY line"
        line += got
    return line


class Drain(threading.Thread):
    """Reads the host's output to its end, `piece` bytes at a time, `pause` seconds apart."""

    def __init__(self, fd, piece=1 << 20, pause=0.0):
        super().__init__(daemon=True)
        self.fd, self.piece, self.pause, self.got = fd, piece, pause, 0

    def run(self):
        while True:
            select.select([self.fd], [], [], 60)
            try:
                got = os.read(self.fd, self.piece)
            except BlockingIOError:
                continue
            except OSError:
                return
            if not got:
                return
            self.got += len(got)
            if self.pause:
                time.sleep(self.pause)


def wait_exit(p, timeout):
    """The status, or None when the process is still alive after `timeout` seconds."""
    fd = os.pidfd_open(p.pid)
    try:
        if not select.select([fd], [], [], timeout)[0]:
            return None
    finally:
        os.close(fd)
    return p.wait()


@pytest.fixture(scope="module")
def bundle(tmp_path_factory, l2_models):
    return write_bundle("zip", tmp_path_factory.mktemp("term") / "bundle", {
        "canon.bin": np.zeros(74880, "<f4").tobytes(),
        "combined_litert.tflite": l2_models["combined"].read_bytes()})


CASES = ["idle", "mid-render", "full-pipe", "slow-reader", "full-nonblocking-pipe"]


@pytest.mark.parametrize("unbuffered", [False, True], ids=["buffered", "unbuffered"])
@pytest.mark.parametrize("case", CASES)
def test_sigterm_ends_the_host_promptly(tmp_path, bundle, case, unbuffered):
    stage = tmp_path / "stage"
    env = isolated_env(tmp_path, stage)
    env.pop("PYTHONUNBUFFERED", None)
    if unbuffered:
        env["PYTHONUNBUFFERED"] = "1"
    r, w = os.pipe()  # the host's standard output
    if case == "full-nonblocking-pipe":
        os.set_blocking(w, False)
    p = subprocess.Popen(host_command() + ["render-stream", bundle, "--threads", "2"], stdin=subprocess.PIPE,
                         stdout=w, stderr=subprocess.PIPE, env=env)
    os.close(w)
    err = []
    errs = threading.Thread(target=lambda: err.append(p.stderr.read()), daemon=True)
    errs.start()
    drain = None
    try:
        assert read_line(r).startswith(b"READY ")
        if case != "idle":
            feed = block(speech(2 * SPC))  # two chunks: 54 records, about 48 MB
            if case == "mid-render":
                drain = Drain(r)
            elif case == "slow-reader":
                drain = Drain(r, piece=16384, pause=0.002)
            if drain:
                drain.start()
            p.stdin.write(feed)
            p.stdin.flush()
            if case == "mid-render":  # the host has taken the block: it renders now
                wait_until(lambda: pipe_bytes(p.stdin.fileno()) == 0, "the host never read its input")
            elif case == "slow-reader":  # it is part-way through the frames
                wait_until(lambda: drain.got > 4 << 20, "the host never wrote")
            else:  # nobody reads: the host waits on a full pipe (full up to its last page or so)
                size = fcntl.fcntl(r, 1032)  # F_GETPIPE_SZ
                wait_until(lambda: pipe_bytes(r) >= size - 8192, "the host never filled its output")
        t0 = time.monotonic()
        p.send_signal(15)
        status = wait_exit(p, DEADLINE_S)
        took = time.monotonic() - t0
    finally:
        p.kill()
        p.wait()
        os.close(r)  # ends a reader thread still waiting
        p.stdin.close()
        errs.join(60)
    assert status is not None, f"the host was still running {DEADLINE_S} s after SIGTERM"
    print(f"\nSIGTERM to exit, {case}, {'unbuffered' if unbuffered else 'buffered'}: {took * 1000:.1f} ms")
    text = b"".join(err).decode(errors="replace")
    assert status == 143, text[-2000:]
    assert "Traceback" not in text
    assert list(stage.iterdir()) == []  # no staged copy, no private folder


def test_sigterm_while_the_runtime_module_initialises(tmp_path, bundle):
    """SIGTERM that lands as the host loads the interpreter runtime's extension module:
    the handler runs inside the module's initialisation, which turns the exit it asks
    for into an ImportError. The host still ends with status 143, no traceback, no
    staged copy. The moment is caught by watching the module's file being opened."""
    import ctypes

    import ai_edge_litert

    so = os.path.join(os.path.dirname(ai_edge_litert.__file__), "_pywrap_litert_interpreter_wrapper.so")
    libc = ctypes.CDLL(None, use_errno=True)
    for attempt in range(3):
        stage = tmp_path / f"stage{attempt}"
        ino = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        assert ino >= 0 and libc.inotify_add_watch(ino, so.encode(), 0x20) >= 0  # IN_OPEN
        try:
            p = subprocess.Popen(host_command() + ["render-stream", bundle, "--threads", "1"],
                                 stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                 env=isolated_env(tmp_path, stage))
            assert select.select([ino], [], [], 60)[0], "the host never loaded the runtime"
            # stopped as it opens the module, so the signal is pending as it initialises
            p.send_signal(19)
            p.send_signal(15)
            p.send_signal(18)
            err = p.stderr.read().decode(errors="replace")
            status = p.wait(DEADLINE_S)
        finally:
            os.close(ino)
            if p.poll() is None:
                p.kill()
                p.wait()
            p.stdin.close()
        assert status == 143, err[-2000:]
        assert "Traceback" not in err
        assert not stage.exists() or list(stage.iterdir()) == []
