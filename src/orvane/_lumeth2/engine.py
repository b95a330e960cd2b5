"""The lumeth-2 engine wrapper of the offline layer.

`Lumeth2Engine(source)` runs the render-stream host over the package's protocol client
(`orvane._lumeth2._client`) and follows the engine protocol of the offline layer:
`frames(chunks)` turns 16 kHz mono int16 PCM chunks (scaled by 1/32767, as the live
road scales them) into RGB frames (uint8, height x width x 3), one per tick of the audio
it was given (800 samples a tick, a partial last tick counted whole); `interrupt()`
stops the current render, `close()` ends the host; `frames_per_second` and
`stop_reason` describe it.  Frame k is the frame made for tick k, the picture the live
runtime hands out for tick k: the host's repeated first record (a live viewer's
presentation delay) is left out.

The chunks are read and sent to the host by a feeder thread, so a frame is handed out
as soon as the host has written it, also while the caller's next chunk is still being
produced.  At the end of the audio the host flushes a whole chunk of zero-padded
windows: the records beyond the audio's last tick show silence after the speech and
are read but not handed out.

A host that writes nothing within the read limit while it owes records (of a chunk it
was sent whole, also while more audio is still coming, or of the closing flush) fails
the render with HostError and is killed; a render after a host that stopped starts a
new one.
"""
from __future__ import annotations

import threading
import time

import numpy as np

from orvane._lumeth2._client import (END, PRESENT_DELAY_FRAMES, HostClient, HostError,  # noqa: F401
                                     chunk_need, chunk_records, host_command)  # (host_command: tests)

__all__ = ["Lumeth2Engine"]

_LOOK_S = 0.05        # how often a waiting render looks at its feeder and interrupts
_FEEDER_JOIN_S = 30.0  # longest wait for a feeder to leave the caller's iterator


class _Feed:
    """What the feeder thread has done; read by the render generator."""

    def __init__(self):
        self.fed = 0             # samples sent
        self.flushed = False     # FLUSH sent (its end marker is due)
        self.error = None        # the exception that ended the feeding
        self.stop = False        # the render is over: feed no further chunk
        self.done = threading.Event()


def _feed(host: HostClient, chunks, st: _Feed) -> None:
    try:
        for chunk in chunks:
            if st.stop:
                return
            raw = memoryview(chunk).cast("B")
            # The live road's scale: int16 -> float32 -> int16 at 32767 gives the samples back.
            pcm = np.frombuffer(raw, "<i2", count=len(raw) // 2).astype(np.float32) / np.float32(32767.0)
            if pcm.size:
                st.fed += pcm.size   # counted before the host can answer for it
                host.feed(pcm)
        if not st.stop:
            host.flush()
            st.flushed = True
    except BaseException as e:  # handed to the render generator, which raises it
        st.error = e
    finally:
        st.done.set()


class Lumeth2Engine:
    frames_per_second = 20

    def __init__(self, source, *, threads: int | None = None, env=None):
        self._closed = True
        self._start = lambda: HostClient(source, threads=threads, env=env)
        self._host = self._start()
        self._closed = False
        self.frames_per_second = self._host.fps
        self.width = self._host.width
        self.height = self._host.height
        self.samples_per_tick = max(1, self._host.sample_rate // self._host.fps)
        self._rendered = False     # a render ran: the next one starts with RESET
        self._unsynced = False     # a render was abandoned: flush and drain before the next
        self._pending_ends = 0     # FLUSH words sent whose end marker has not been read yet
        self._feeder = None        # (thread, state) of the latest render
        self._interrupted = False
        self.stop_reason = "unfinished"

    @property
    def _proc(self):
        return self._host.proc

    def _end_feeder(self):
        """Stops the latest render's feeder and counts the FLUSH it sent."""
        if self._feeder is None:
            return
        thread, st = self._feeder
        st.stop = True
        thread.join(timeout=_FEEDER_JOIN_S)
        if thread.is_alive():
            raise HostError("the audio of an abandoned render is still being read")
        self._feeder = None
        if st.flushed:
            self._pending_ends += 1

    def _resync(self):
        self._end_feeder()
        if self._host.proc.poll() is not None:
            # The host stopped, or was killed after it missed a deadline: its error went
            # to the render that was waiting on it.  Reaped; this render gets a new host.
            self._host.close(timeout=0)
            self._host = self._start()
            self._unsynced = self._rendered = False
            self._pending_ends = 0
        if self._unsynced:
            if self._pending_ends == 0:
                self._host.flush()
                self._pending_ends += 1
            while self._pending_ends:
                if self._host.record()[0] == END:  # records of the abandoned render are dropped
                    self._pending_ends -= 1
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
        st = _Feed()
        thread = threading.Thread(target=_feed, args=(self._host, chunks, st), name="l2-engine-feeder",
                                  daemon=True)
        self._feeder = (thread, st)
        thread.start()
        given = 0
        repeats = PRESENT_DELAY_FRAMES
        finished = False
        quiet_since = None
        received = 0               # records of this render read so far (the repeated one too)
        owed, owed_chunks = 0, 0   # records of the whole chunks sent so far, and their count
        try:
            while True:
                if self._interrupted:
                    self.stop_reason = "interrupted"
                    return
                item = self._host.wait_record(_LOOK_S)
                if item is None:
                    if st.error is not None:
                        raise st.error
                    while st.fed >= chunk_need(owed_chunks):
                        owed += chunk_records(owed_chunks)
                        owed_chunks += 1
                    if st.done.is_set() or received < owed:
                        # The host owes records: of a chunk it was sent whole (more audio
                        # may still be coming), or of the flush once all audio is sent.
                        quiet_since = quiet_since or time.monotonic()
                        if time.monotonic() - quiet_since > self._host.read_timeout:
                            raise self._host.stalled(self._host.read_timeout)
                    else:
                        quiet_since = None   # waiting on the audio, not on the host
                    continue
                quiet_since = None
                if item[0] == END:
                    break
                received += 1
                if repeats:
                    repeats -= 1      # the host's presentation delay: the first frame again
                    continue
                # Records never run ahead of the audio sent, so the count of ticks fed
                # so far caps only the flush's records past the end.
                if given < -(-st.fed // spt):
                    given += 1
                    yield self._host.frame(item[1])
            self._feeder = None
            thread.join()
            finished = True
            self.stop_reason = "end-of-audio"
        finally:
            if not finished:
                self._unsynced = True
                st.stop = True

    def interrupt(self) -> None:
        self._interrupted = True

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        if self._feeder is not None:
            self._feeder[1].stop = True
        if (self._feeder is not None or self._unsynced) and self._host.proc.poll() is None:
            # A render was left half-way: the host would render the rest of the audio it
            # was sent before it saw its input end.  Stopped now instead (on SIGTERM it
            # removes its staged copies and exits).
            self._host.proc.terminate()
        self._host.close()
