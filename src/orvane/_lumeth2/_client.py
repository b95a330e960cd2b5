"""The one parent-side client of the render-stream host's stdio frame protocol.

Protocol: the host writes one line ``READY {json}`` (fps, width, height, sample
rate, colour descriptor); the parent writes blocks (u32 sample count, then that many
float32 samples, little-endian) and the command words FLUSH (FF FF FF FF) and RESET
(FE FF FF FF); the host writes records (i32 frame index, then height*width*3 bytes of
RGB888) and a bare i32 -1 after each flush.  RESET writes nothing.

`HostClient` starts the host, reads its output on a thread of its own and hands every
record over as soon as the host has written it; writes go through a writer thread so a
caller never blocks on a full pipe while the host renders.  Every wait is bounded, a
host that dies or refuses its bundle raises `HostError` carrying its FATAL line, a host
that writes nothing within the read limit (alive but hung: a deadlock, a frozen cgroup)
is killed, and the child is always ended and reaped: by `close()`, by the finaliser
when the client is dropped, or at interpreter exit.

The host writes the first frame of every stream (after start-up and after each RESET)
``PRESENT_DELAY_FRAMES`` extra times, a presentation delay for a display that shows
frames as they arrive; the package's readers leave those copies out, so that the
picture of tick k is the frame made for tick k's audio.
"""
from __future__ import annotations

import json
import os
import queue
import shutil
import struct
import subprocess
import sys
import threading
import weakref

import numpy as np

__all__ = ["HostClient", "HostError", "host_command", "isolated_env", "block", "chunk_need",
           "flush_chunk_count", "chunk_records", "PRESENT_DELAY_FRAMES", "FLUSH", "RESET", "END", "FW",
           "FH", "SR", "FPS", "SPF", "FRAME_BYTES", "START_TIMEOUT_S", "READ_TIMEOUT_S"]

FW, FH, SR, FPS, SPF = 416, 720, 16000, 20, 800
FRAME_BYTES = FW * FH * 3
FLUSH = b"\xff\xff\xff\xff"
RESET = b"\xfe\xff\xff\xff"
END = -1                  # index of the marker record that ends a flush

# Chunk geometry of the host's renderer: chunk k needs chunk_need(k) samples; chunk 0
# renders 21 frames and every later chunk 32.  Chunk 0 writes its first frame
# 1 + PRESENT_DELAY_FRAMES times, so on the wire it gives 22 records.
_SPC, _WIN, _STEADY = 25600, 44000, 32
PRESENT_DELAY_FRAMES = 1
_CHUNK0_RECORDS, _CHUNK_RECORDS = 21 + PRESENT_DELAY_FRAMES, 32

START_TIMEOUT_S = 120.0   # from start to the READY line (model staging and warm-up)
READ_TIMEOUT_S = 60.0     # longest wait for one record of a live host (read at each client's start)
_ERR_TAIL = 16384         # bytes of the host's standard error kept for messages
_EOF = object()


def chunk_need(k: int) -> int:
    """16 kHz samples the host needs before chunk ``k`` (counted from a reset) is rendered."""
    k = int(k)
    s0 = 0 if k <= 1 else (k - 1) * _STEADY * SPF
    return min(s0 + _WIN, (k + 1) * _SPC)


def flush_chunk_count(fed: int) -> int:
    """Chunks a flush leaves rendered, counted from the reset, for ``fed`` samples."""
    if fed <= 0:
        return 1
    end_fi = -(-fed // SPF) - 1
    return max(1, (end_fi + 12 + 31) // 32)


def chunk_records(k: int) -> int:
    """Records the host writes for chunk ``k`` (the repeated first frame included)."""
    return _CHUNK0_RECORDS if k == 0 else _CHUNK_RECORDS


def host_command() -> list[str]:
    """The console script beside this interpreter (by absolute path), else the module
    entry started so that the caller's working folder is never on the host's import
    path (a ``numpy.py`` lying there must not run inside the host)."""
    here = os.path.dirname(os.path.abspath(sys.executable))
    exe = shutil.which("render_stream_chain_host", path=here)
    if exe:
        return [os.path.abspath(exe)]
    safe = ["-P"] if sys.version_info >= (3, 11) else ["-I"]
    return [sys.executable, *safe, "-m", "orvane._lumeth2._cli"]


def isolated_env(home, stage) -> dict:
    """Environment for a host child in tests and benchmarks: staged files in ``stage``, a
    private HOME (no engine folders found by accident), two pixel threads and none of the
    host's switches inherited from the caller."""
    env = dict(os.environ, LUMETH2_STAGE_DIR=str(stage), HOME=str(home), LUMETH2_RGB_THREADS="2")
    for v in ("LUMETH2_COLOR_CORRECT", "LUMETH2_Q8GD", "LIBQUARO_THREADS", "LUMETH2_SHARED_ENC",
              "LUMETH2_ENGINE_DIR", "LUMETH2_ANE_ENGINE"):
        env.pop(v, None)
    return env


def block(pcm) -> bytes:
    """One protocol block of float32 samples."""
    pcm = np.ascontiguousarray(pcm, dtype="<f4").reshape(-1)
    return struct.pack("<I", pcm.shape[0]) + pcm.tobytes()


class HostError(RuntimeError):
    """The host failed: it did not start, stopped, or wrote nothing within the time limit."""

    def __init__(self, message, status=None, fatal=None):
        super().__init__(message)
        self.status = status
        self.fatal = fatal


# -- threads: module functions holding no reference to the client, so that a dropped
#    client is finalised while they still run ------------------------------------------
def _read_out(out, q, frame_bytes_box):
    try:
        line = out.readline()
        q.put(("ready", line))
        if not line.startswith(b"READY "):
            return
        while True:
            head = out.read(4)
            if len(head) != 4:
                return
            (idx,) = struct.unpack("<i", head)
            if idx == END:
                q.put((END, None))
                continue
            n = frame_bytes_box[0]
            data = out.read(n)
            if len(data) != n:
                return
            q.put((idx, data))
    except (OSError, ValueError):
        return
    finally:
        q.put(_EOF)


def _read_err(err, tail, fatal):
    try:
        for line in iter(err.readline, b""):
            if b"FATAL" in line and not fatal:
                fatal.append(line.decode(errors="replace").strip())
            tail += line
            del tail[:-_ERR_TAIL]
    except (OSError, ValueError):
        pass


def _write_in(stdin, q):
    try:
        while True:
            data = q.get()
            if data is None:
                break
            stdin.write(data)
            stdin.flush()
    except (OSError, ValueError):
        # The host is gone; its reader reports that.  Keep taking items so that
        # writers never wait on a queue nobody empties.
        while q.get() is not None:
            pass
    finally:
        try:
            stdin.close()
        except (OSError, ValueError):
            pass


def _end_host(proc, writes, threads, wait_s):
    """Ends the input, waits up to ``wait_s`` for the host to leave, kills it otherwise,
    reaps it and closes its pipes.  Returns its exit status."""
    writes.put(None)
    try:
        status = proc.wait(timeout=wait_s)
    except subprocess.TimeoutExpired:
        proc.kill()
        status = proc.wait()
    if sys.is_finalizing():
        # Daemon threads may be frozen inside a read holding a pipe's lock: joining
        # them would wait in vain and closing their pipes aborts the interpreter.
        return status
    for t in threads:
        t.join(timeout=10)
    for f in (proc.stdout, proc.stderr):
        if f is not None:
            try:
                f.close()
            except (OSError, ValueError):
                pass
    return status


class HostClient:
    """One running ``render_stream_chain_host render-stream <bundle>``.

    ``record(timeout)`` gives the next output item: ``(index, rgb_bytes)`` for a frame
    record, ``(END, None)`` for a flush's end marker.  ``poll()`` gives it without waiting
    (None when nothing is there)."""

    def __init__(self, bundle, *args, threads=None, env=None, start_timeout=START_TIMEOUT_S,
                 read_timeout=None):
        # An absolute path: a relative one beginning with "-" would read as an option.
        argv = host_command() + ["render-stream", os.path.abspath(os.fspath(bundle)), *map(str, args)]
        if threads:
            argv += ["--threads", str(int(threads))]
        self.read_timeout = float(READ_TIMEOUT_S if read_timeout is None else read_timeout)
        self._out: queue.Queue = queue.Queue()
        self._writes: queue.Queue = queue.Queue()
        self._err = bytearray()
        self._fatal: list[str] = []
        self._frame_bytes = [FRAME_BYTES]
        self._gone = False
        self.status = None
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, close_fds=True)
        p = self.proc
        self._threads = [
            threading.Thread(target=_read_out, args=(p.stdout, self._out, self._frame_bytes),
                             name="l2-host-reader", daemon=True),
            threading.Thread(target=_read_err, args=(p.stderr, self._err, self._fatal),
                             name="l2-host-stderr", daemon=True),
            threading.Thread(target=_write_in, args=(p.stdin, self._writes), name="l2-host-writer", daemon=True),
        ]
        for t in self._threads:
            t.start()
        self._finalizer = weakref.finalize(self, _end_host, p, self._writes, self._threads, 10.0)
        try:
            self._greet(start_timeout)
        except BaseException:
            self._finalizer.detach()
            self.status = _end_host(p, self._writes, self._threads, 0.0)
            raise

    def _greet(self, timeout):
        try:
            item = self._out.get(timeout=timeout)
        except queue.Empty:
            raise HostError(f"the render-stream host did not start within {timeout:.0f} s") from None
        line = item[1] if isinstance(item, tuple) else b""
        if not line.startswith(b"READY "):
            if item is not _EOF:
                self._out.put(_EOF)
            try:
                status = self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                status = None
            self._threads[1].join(timeout=10)
            why = self._fatal[0] if self._fatal else (
                bytes(self._err).decode(errors="replace").strip() or repr(line[:200]))
            raise HostError(f"the render-stream host did not start (status {status}): {why}",
                            status, self._fatal[0] if self._fatal else None)
        self.ready_line = line
        info = json.loads(line[6:])
        if not isinstance(info, dict):
            raise ValueError("the render-stream host's READY line is not a JSON object")
        self.ready = info
        self.fps = int(info.get("fps", FPS))
        self.width = int(info.get("width", FW))
        self.height = int(info.get("height", FH))
        self.sample_rate = int(info.get("sample_rate", SR))
        if self.width <= 0 or self.height <= 0 or self.fps <= 0:
            raise ValueError(f"the render-stream host's READY line has no usable geometry: {info}")
        self._frame_bytes[0] = self.width * self.height * 3

    # -- input ------------------------------------------------------------------------
    def send(self, data: bytes) -> None:
        if self._finalizer.alive is False:
            raise HostError("the render-stream host client is closed")
        self._writes.put(bytes(data))

    def feed(self, pcm) -> None:
        self.send(block(pcm))

    def flush(self) -> None:
        self.send(FLUSH)

    def reset(self) -> None:
        self.send(RESET)

    # -- output -----------------------------------------------------------------------
    def stderr_text(self) -> str:
        return bytes(self._err).decode(errors="replace")

    def _gone_error(self) -> HostError:
        try:
            status = self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            status = None
        self._threads[1].join(timeout=5)
        why = self._fatal[0] if self._fatal else self.stderr_text().strip()[-2000:]
        return HostError(f"the render-stream host stopped (status {status}): {why}", status,
                         self._fatal[0] if self._fatal else None)

    def _take(self, item):
        if item is _EOF:
            self._out.put(_EOF)   # stays visible to every later look
            raise self._gone_error()
        return item

    def record(self, timeout: float | None = None):
        """The next record, waiting at most ``timeout`` seconds (the client's read limit
        when None); HostError when the host stopped or wrote nothing in that time.  A
        host that wrote nothing is taken for hung and killed (see `stalled`)."""
        limit = self.read_timeout if timeout is None else float(timeout)
        try:
            item = self._out.get(timeout=limit)
        except queue.Empty:
            raise self.stalled(limit) from None
        return self._take(item)

    def stalled(self, waited: float) -> HostError:
        """The error for a host that wrote nothing for ``waited`` seconds.  The host is
        alive but not answering (a deadlock, a stopped or frozen process): it is killed
        and reaped now, so that no later wait is spent on it and whoever needs a host
        next starts a new one."""
        self.kill()
        return HostError(f"the render-stream host wrote nothing for {waited:.0f} s", self.status)

    def wait_record(self, timeout: float):
        """The next record, or None when none came within ``timeout`` seconds."""
        try:
            item = self._out.get(timeout=timeout)
        except queue.Empty:
            return None
        return self._take(item)

    def poll(self):
        """The next record if one is there, else None."""
        try:
            item = self._out.get_nowait()
        except queue.Empty:
            return None
        return self._take(item)

    def records(self, n: int, timeout: float | None = None) -> list:
        return [self.record(timeout) for _ in range(n)]

    def until_end(self, timeout: float | None = None) -> list:
        """Records up to the next end marker (the marker is not returned)."""
        out = []
        while True:
            idx, data = self.record(timeout)
            if idx == END:
                return out
            out.append((idx, data))

    def frame(self, data: bytes) -> np.ndarray:
        """A record's bytes as a read-only height x width x 3 RGB array (no copy)."""
        return np.frombuffer(data, np.uint8).reshape(self.height, self.width, 3)

    # -- end --------------------------------------------------------------------------
    def close(self, timeout: float = 10.0) -> int | None:
        """Ends the input and waits (at most ``timeout`` s, then kills) for the host to
        leave; reaps it.  Its exit status; harmless when called again."""
        if self._finalizer.alive:
            self._finalizer.detach()
            self.status = _end_host(self.proc, self._writes, self._threads, timeout)
        return self.status

    def kill(self) -> int | None:
        """Stops the host now (a conversation that failed half-way)."""
        if self.proc.poll() is None:
            self.proc.kill()
        return self.close(timeout=10.0)

    def rest(self) -> bytes:
        """After close: output the host wrote that nobody took, as raw records (tests)."""
        out = bytearray()
        while True:
            try:
                item = self._out.get_nowait()
            except queue.Empty:
                return bytes(out)
            if item is _EOF:
                self._out.put(_EOF)
                return bytes(out)
            idx, data = item
            out += struct.pack("<i", idx) + (data or b"")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
