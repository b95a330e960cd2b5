"""A parent process for the render-stream host: starts `render_stream_chain_host`,
speaks its stdin/stdout frame protocol and hands back frame records.

Protocol: the host writes one line "READY {json}\\n"; the parent writes blocks
(u32 sample count, then that many float32 samples, little-endian) and the command
words FLUSH (FF FF FF FF) and RESET (FE FF FF FF); the host writes records (i32
frame index, then 720*416*3 bytes of RGB888), and a bare i32 -1 after each flush.
"""
from __future__ import annotations

import json
import os
import shutil
import struct
import subprocess
import sys
import threading

import numpy as np

FW, FH, SR, FPS = 416, 720, 16000, 20
FRAME_BYTES = FW * FH * 3
FLUSH = b"\xff\xff\xff\xff"
RESET = b"\xfe\xff\xff\xff"


def host_command() -> list[str]:
    """The installed console script beside this interpreter, else the module entry."""
    exe = shutil.which("render_stream_chain_host", path=os.path.dirname(sys.executable))
    return [exe] if exe else [sys.executable, "-m", "orvane._lumeth2._cli"]


def isolated_env(home, stage) -> dict:
    """Environment for a host child: staged files in `stage`, a private HOME (no engine
    directories found by accident), two pixel threads and none of the host's switches
    inherited from the caller."""
    env = dict(os.environ, LUMETH2_STAGE_DIR=str(stage), HOME=str(home), LUMETH2_RGB_THREADS="2")
    for v in ("LUMETH2_COLOR_CORRECT", "LUMETH2_Q8GD", "LIBQUARO_THREADS", "LUMETH2_SHARED_ENC",
              "LUMETH2_ENGINE_DIR", "LUMETH2_ANE_ENGINE"):
        env.pop(v, None)
    return env


def block(pcm) -> bytes:
    pcm = np.ascontiguousarray(pcm, dtype="<f4")
    return struct.pack("<I", pcm.shape[0]) + pcm.tobytes()


class Host:
    """One running host. Reads block on the pipe; a watchdog kills the host after
    `timeout` seconds so a stuck conversation fails instead of hanging."""

    def __init__(self, bundle, *args, env=None, timeout: float = 120.0, stderr=subprocess.PIPE):
        self.proc = subprocess.Popen(host_command() + ["render-stream", os.fspath(bundle), *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr, env=env)
        self._watchdog = threading.Timer(timeout, self.proc.kill)
        self._watchdog.daemon = True
        self._watchdog.start()
        self._err = b""
        self._err_thread = None
        if stderr == subprocess.PIPE:  # drain stderr so the host never blocks on it
            self._err_thread = threading.Thread(target=self._drain, daemon=True)
            self._err_thread.start()
        self.ready_line = None

    def _drain(self):
        self._err = self.proc.stderr.read()

    def read_ready(self) -> dict:
        line = self.proc.stdout.readline()
        self.ready_line = line
        if not line.startswith(b"READY "):
            raise RuntimeError(f"no READY line: {line[:200]!r}")
        return json.loads(line[6:])

    def send(self, data: bytes):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def feed(self, pcm):
        self.send(block(pcm))

    def _read(self, n: int) -> bytes:
        buf = self.proc.stdout.read(n)
        if buf is None or len(buf) != n:
            raise EOFError(f"host output ended after {0 if buf is None else len(buf)} of {n} bytes")
        return buf

    def read_record(self) -> tuple[int, bytes | None]:
        (idx,) = struct.unpack("<i", self._read(4))
        if idx == -1:
            return -1, None
        return idx, self._read(FRAME_BYTES)

    def read_records(self, n: int) -> list[tuple[int, bytes]]:
        return [self.read_record() for _ in range(n)]

    def flush(self) -> list[tuple[int, bytes]]:
        """FLUSH, then every record up to the -1 marker (the marker is not returned)."""
        self.send(FLUSH)
        out = []
        while True:
            idx, data = self.read_record()
            if idx == -1:
                return out
            out.append((idx, data))

    def close(self) -> tuple[int, bytes, bytes]:
        """End the input; returns (status, rest of stdout, stderr)."""
        self.proc.stdin.close()
        rest = self.proc.stdout.read()
        status = self.proc.wait()
        self._watchdog.cancel()
        if self._err_thread is not None:
            self._err_thread.join()
        return status, rest, self._err


    def kill(self):
        """Stop the host now and release its pipes; harmless after `close`. For a
        conversation that failed half-way, so no host outlives its parent's test."""
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self._watchdog.cancel()
        for f in (self.proc.stdin, self.proc.stdout):
            try:
                f.close()
            except OSError:  # unflushed input to a host that is gone
                pass
        if self._err_thread is not None:
            self._err_thread.join()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()


def frame_array(data: bytes) -> np.ndarray:
    return np.frombuffer(data, np.uint8).reshape(FH, FW, 3)
