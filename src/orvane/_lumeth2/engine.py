"""The lumeth-2 engine wrapper of the offline layer.

A small stand-in: `Lumeth2Engine(source)` runs the render-stream host
(`render_stream_chain_host render-stream <source>`) as a child process and
speaks its stdin/stdout frame protocol:

- the host writes one line "READY {json}" (fps, width, height, sample rate);
- the parent writes blocks (u32 sample count, then that many float32 samples,
  little-endian) and the command words FLUSH (FF FF FF FF) and RESET
  (FE FF FF FF);
- the host writes records (i32 frame index, then height*width*3 bytes of
  RGB888) and a bare i32 -1 after each flush.

It follows the engine protocol of the offline layer: `frames(chunks)` turns
16 kHz mono int16 PCM chunks into RGB frames (uint8, height x width x 3, one per
record, as the host gives them), `interrupt()` stops the current render,
`close()` ends the host; `frames_per_second`, `present_delay_frames` and
`stop_reason` describe it.
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

import numpy as np

__all__ = ["Lumeth2Engine"]

FLUSH = b"\xff\xff\xff\xff"
RESET = b"\xfe\xff\xff\xff"
_END = object()   # the host's -1 after a flush
_EOF = object()   # the host's output ended
_PIECE = 8000     # samples written between looks at the frames already out (0.5 s)
_ERR_TAIL = 8192  # bytes of the host's standard error kept for error messages


def host_command() -> list[str]:
    """The console script beside this interpreter, else the module entry."""
    exe = shutil.which("render_stream_chain_host", path=os.path.dirname(sys.executable))
    return [exe] if exe else [sys.executable, "-m", "orvane._lumeth2._cli"]


class Lumeth2Engine:
    frames_per_second = 20
    # the host writes each stream's first frame this many extra times: a live viewer's
    # presentation delay, which a video file leaves out to keep picture and sound together
    present_delay_frames = 1

    def __init__(self, source, *, threads: int | None = None, env=None):
        args = ["render-stream", os.fspath(source)]
        if threads:
            args += ["--threads", str(int(threads))]
        self._closed = False
        self._proc = subprocess.Popen(host_command() + args, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self._err = bytearray()
        self._err_thread = threading.Thread(target=self._drain_err, name="l2-engine-stderr", daemon=True)
        self._err_thread.start()
        try:
            line = self._proc.stdout.readline()
            started = line.startswith(b"READY ")
            if started:
                info = json.loads(line[6:])
                self.frames_per_second = info.get("fps", 20)
                self.width = int(info.get("width", 416))
                self.height = int(info.get("height", 720))
        except BaseException:
            self._end_host()  # a garbled greeting must not leave the host running
            raise
        if not started:
            status = self._end_host()
            raise RuntimeError(f"the render-stream host did not start (status {status}): "
                               f"{bytes(self._err).decode(errors='replace').strip()}")
        self._frame_bytes = self.width * self.height * 3
        self._q: queue.Queue = queue.Queue()
        self._reader = threading.Thread(target=self._read_out, name="l2-engine-reader", daemon=True)
        self._reader.start()
        self._rendered = False     # a render ran: the next one starts with RESET
        self._unsynced = False     # a render was abandoned: flush and drain before the next
        self._pending_ends = 0     # FLUSH words sent whose -1 has not been read yet
        self._interrupted = False

    # -- host i/o --
    def _end_host(self) -> int:
        """Kills a host that failed to start, reaps it and closes its pipes; its status."""
        self._closed = True
        if self._proc.poll() is None:
            self._proc.kill()
        status = self._proc.wait()
        self._err_thread.join(timeout=10)
        for f in (self._proc.stdin, self._proc.stdout, self._proc.stderr):
            try:
                f.close()
            except OSError:
                pass
        return status

    def _drain_err(self):
        for chunk in iter(lambda: self._proc.stderr.read1(65536), b""):
            self._err += chunk
            del self._err[:-_ERR_TAIL]

    def _read_out(self):
        out = self._proc.stdout
        try:
            while True:
                head = out.read(4)
                if len(head) != 4:
                    break
                (idx,) = struct.unpack("<i", head)
                if idx == -1:
                    self._q.put(_END)
                    continue
                data = out.read(self._frame_bytes)
                if len(data) != self._frame_bytes:
                    break
                self._q.put((idx, data))
        finally:
            self._q.put(_EOF)

    def _send(self, data: bytes):
        self._proc.stdin.write(data)
        self._proc.stdin.flush()

    def _host_gone(self) -> RuntimeError:
        status = self._proc.poll()
        return RuntimeError(f"the render-stream host stopped (status {status}): "
                            f"{bytes(self._err).decode(errors='replace').strip()}")

    def _frame(self, data: bytes) -> np.ndarray:
        return np.frombuffer(data, np.uint8).reshape(self.height, self.width, 3)

    def _take(self, block: bool):
        item = self._q.get() if block else self._q.get_nowait()
        if item is _EOF:
            self._q.put(_EOF)  # stays visible to every later look
            raise self._host_gone()
        if item is _END:
            self._pending_ends -= 1
        return item

    def _resync(self):
        if self._unsynced:
            if self._pending_ends == 0:
                self._send(FLUSH)
                self._pending_ends += 1
            while self._pending_ends:
                self._take(True)  # frames of the abandoned render are dropped
            self._unsynced = False
        if self._rendered:
            self._send(RESET)

    # -- engine protocol --
    def frames(self, chunks):
        if self._closed:
            raise RuntimeError("Lumeth2Engine is closed")
        self._resync()
        self._rendered = True
        self._interrupted = False
        self.stop_reason = "unfinished"
        finished = False
        try:
            for chunk in chunks:
                raw = memoryview(chunk).cast("B")
                pcm = np.frombuffer(raw, "<i2", count=len(raw) // 2).astype(np.float32) / np.float32(32768.0)
                for i in range(0, pcm.shape[0], _PIECE):
                    if self._interrupted:
                        self.stop_reason = "interrupted"
                        return
                    piece = np.ascontiguousarray(pcm[i:i + _PIECE], "<f4")
                    self._send(struct.pack("<I", piece.shape[0]) + piece.tobytes())
                    while True:
                        try:
                            item = self._take(False)
                        except queue.Empty:
                            break
                        yield self._frame(item[1])
            self._send(FLUSH)
            self._pending_ends += 1
            while True:
                item = self._take(True)
                if item is _END:
                    break
                yield self._frame(item[1])
                if self._interrupted:
                    self.stop_reason = "interrupted"
                    return
            finished = True
            self.stop_reason = "end-of-audio"
        finally:
            if not finished:
                self._unsynced = True

    def interrupt(self) -> None:
        self._interrupted = True

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        try:
            self._proc.stdin.close()
        except OSError:
            pass
        try:
            self._proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait()
        if sys.is_finalizing():
            # An engine finalised at interpreter exit: the daemon reader threads are
            # frozen, possibly inside a read that holds a pipe's lock. Joining them
            # would wait in vain and closing their pipes aborts the interpreter; the
            # pipes close with the process.
            return
        self._reader.join(timeout=10)
        self._err_thread.join(timeout=10)
        self._proc.stdout.close()
        self._proc.stderr.close()
