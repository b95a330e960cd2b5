"""The lumeth-2 engine wrapper of the offline layer.

`Lumeth2Engine(source)` runs the render-stream host over the package's protocol client
(`orvane._lumeth2._client`) and follows the engine protocol of the offline layer:
`frames(chunks)` turns 16 kHz mono int16 PCM chunks into RGB frames (uint8, height x
width x 3), one per tick of the audio it was given (800 samples a tick, a partial last
tick counted whole); `interrupt()` stops the current render, `close()` ends the host;
`frames_per_second` and `stop_reason` describe it.

The host renders in chunks and, at the end of the audio, flushes a whole chunk of
zero-padded windows: the records beyond the audio's last tick show silence after the
speech and are read but not handed out.
"""
from __future__ import annotations

import numpy as np

from orvane._lumeth2._client import END, SPF, HostClient, host_command  # noqa: F401  (host_command: tests)

__all__ = ["Lumeth2Engine"]


class Lumeth2Engine:
    frames_per_second = 20

    def __init__(self, source, *, threads: int | None = None, env=None):
        self._closed = True
        self._host = HostClient(source, threads=threads, env=env)
        self._closed = False
        self.frames_per_second = self._host.fps
        self.width = self._host.width
        self.height = self._host.height
        self.samples_per_tick = max(1, self._host.sample_rate // self._host.fps)
        self._rendered = False     # a render ran: the next one starts with RESET
        self._unsynced = False     # a render was abandoned: flush and drain before the next
        self._pending_ends = 0     # FLUSH words sent whose end marker has not been read yet
        self._interrupted = False
        self.stop_reason = "unfinished"

    @property
    def _proc(self):
        return self._host.proc

    def _take(self, block: bool):
        item = self._host.record() if block else self._host.poll()
        if item is not None and item[0] == END:
            self._pending_ends -= 1
        return item

    def _resync(self):
        if self._unsynced:
            if self._pending_ends == 0:
                self._host.flush()
                self._pending_ends += 1
            while self._pending_ends:
                self._take(True)  # records of the abandoned render are dropped
            self._unsynced = False
        if self._rendered:
            self._host.reset()

    # -- engine protocol --
    def frames(self, chunks):
        if self._closed:
            raise RuntimeError("Lumeth2Engine is closed")
        self._resync()
        self._rendered = True
        self._interrupted = False
        self.stop_reason = "unfinished"
        spt = self.samples_per_tick
        fed = 0        # samples sent
        given = 0      # frames handed out
        finished = False
        try:
            for chunk in chunks:
                if self._interrupted:
                    self.stop_reason = "interrupted"
                    return
                raw = memoryview(chunk).cast("B")
                pcm = np.frombuffer(raw, "<i2", count=len(raw) // 2).astype(np.float32) / np.float32(32768.0)
                if pcm.size:
                    self._host.feed(pcm)
                    fed += pcm.size
                # Records the host has written by now; the rest come while the next
                # chunk is read or after the flush.
                while (item := self._take(False)) is not None:
                    if given < -(-fed // spt):
                        given += 1
                        yield self._host.frame(item[1])
            self._host.flush()
            self._pending_ends += 1
            ticks = -(-fed // spt)
            while True:
                if self._interrupted:
                    self.stop_reason = "interrupted"
                    return
                item = self._take(True)
                if item[0] == END:
                    break
                if given < ticks:
                    given += 1
                    yield self._host.frame(item[1])
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
        self._host.close()
