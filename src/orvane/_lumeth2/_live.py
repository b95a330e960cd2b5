"""The native frame runtime's lumeth-2 side: a fixture and a runtime over the
render-stream host, with the interface the streaming avatar drives.

- Geometry comes from the host's READY line (16 kHz, 800 samples a tick, 416 x 720).
- `push_audio` sends the samples and returns once the chunk they complete has been
  rendered, so a caller timing it measures real chunk times.
- The host writes the first frame of every stream twice (a presentation delay for a
  display that shows frames as they arrive); the repeated record is left out after
  every start and reset, so that tick k's picture is the frame made for tick k's audio:
  the first chunk gives 21 ticks, every later one 32.  Records are handed out as BGR
  images.
- A host that writes nothing within the read limit (alive but hung) fails the stream
  with HostError and is killed; the next stream starts a new host.
- `end_utterance` flushes (the host renders the rest on zero-padded windows) and
  returns once the flush's records are in; `reset_stream` starts a new stream.
- The resting picture is what the host renders for silence: the first record of a
  flush of an empty stream, rendered once when the fixture starts its host.
- `tick_compose_to_size` sends the part of the utterance the host has not seen yet and
  hands out the next tick, waiting for it when its chunk is being rendered; a tick
  whose chunk needs more audio (or a flush) is "cursor past end (status=6)" for now.
  The frame is fitted into the requested size: scaled (nearest neighbour) by the larger
  factor that keeps the whole picture inside, aspect kept, centred on black.  At
  1280 x 720 a 416 x 720 frame is not scaled: it sits between two black bars.
"""
from __future__ import annotations

import logging
import threading
from collections import deque

import numpy as np

from orvane._lumeth2._client import (END, PRESENT_DELAY_FRAMES, HostClient, HostError, chunk_need,
                                     chunk_records)

__all__ = ["HostFixture", "HostRuntime", "bgr_of", "fit_into"]

_log = logging.getLogger("orvane")


def _swap_into(dst: np.ndarray, rgb: np.ndarray) -> np.ndarray:
    """``rgb`` with its channels reversed, written into ``dst``: one plane at a time, a
    few times faster than copying a channel-reversed view."""
    dst[..., 0] = rgb[..., 2]
    dst[..., 1] = rgb[..., 1]
    dst[..., 2] = rgb[..., 0]
    return dst


def bgr_of(rgb: np.ndarray) -> np.ndarray:
    """A new BGR image of an RGB one."""
    return _swap_into(np.empty(rgb.shape, np.uint8), rgb)


def fit_into(rgb: np.ndarray, width: int, height: int) -> np.ndarray:
    """A new BGR image of width x height holding the RGB image ``rgb`` (h x w x 3) fitted
    in: scaled (nearest neighbour) by the factor that keeps it whole, aspect kept,
    centred, black bars."""
    width, height = int(width), int(height)
    if width <= 0 or height <= 0:
        raise ValueError(f"output size must be positive, got {width}x{height}")
    h, w = rgb.shape[:2]
    scale = min(width / w, height / h)
    nw, nh = max(1, min(width, round(w * scale))), max(1, min(height, round(h * scale)))
    if (nw, nh) != (w, h):
        rows = np.minimum((np.arange(nh) * h) // nh, h - 1)
        cols = np.minimum((np.arange(nw) * w) // nw, w - 1)
        rgb = rgb[rows[:, None], cols[None, :]]
    out = np.zeros((height, width, 3), np.uint8)
    y, x = (height - nh) // 2, (width - nw) // 2
    _swap_into(out[y:y + nh, x:x + nw], rgb)
    return out


class HostFixture:
    """A lumeth-2 model: starts one host, reads the geometry from its READY line and
    renders the resting picture.  The host is kept for the first runtime built from this
    fixture; later runtimes start their own."""

    engine = "lumeth2"
    resting = True
    chunks = None
    tail_ticks = 0

    def __init__(self, source, preferred_ep="auto", intra_op_threads=0, *, env=None):
        self.source = str(source)
        self.preferred_ep = preferred_ep
        self.intra_op_threads = int(intra_op_threads or 0)
        self._env = env
        host = self._start()
        try:
            self.audio_sample_rate = host.sample_rate
            self.audio_samples_per_tick = host.sample_rate // host.fps
            self.frame_width, self.frame_height = host.width, host.height
            host.flush()
            recs = host.until_end()
            if not recs:
                raise HostError("the render-stream host rendered no picture for silence")
            self.resting_bgr = bgr_of(host.frame(recs[0][1]))
            self.resting_bgr.setflags(write=False)
            host.reset()
        except BaseException:
            host.kill()
            raise
        self._spare = host
        self._lock = threading.Lock()

    def _start(self) -> HostClient:
        return HostClient(self.source, threads=self.intra_op_threads or None, env=self._env)

    def take_host(self) -> HostClient:
        with self._lock:
            host, self._spare = self._spare, None
        return host if host is not None else self._start()

    def close(self):
        with self._lock:
            host, self._spare = self._spare, None
        if host is not None:
            host.close()


class HostRuntime:
    """One audio stream of a lumeth-2 model on its own host."""

    # tick_compose_to_size may wait for a chunk the host is rendering: the streaming
    # avatar calls it on its engine worker, never on the event loop.
    compose_waits = True

    def __init__(self, fixture: HostFixture):
        self._fx = fixture
        self._host = fixture.take_host()
        self._lock = threading.RLock()
        self._closed = False
        self._resting = fixture.resting_bgr
        self._new_stream()

    def _new_stream(self):
        self._records = deque()  # this stream's records not yet handed out (RGB bytes)
        self._got = 0           # ticks received since the reset
        self._cursor = 0        # ticks handed out since the reset
        self._fed = 0           # samples sent since the reset
        self._chunks = 0        # chunks the host has been sent the audio of
        self._expect = 0        # records of this stream still to come
        self._ends = 0          # flush end markers of this stream still to come
        self._stale = 0         # records of an earlier stream still to come (dropped)
        self._stale_ends = 0
        self._repeats = PRESENT_DELAY_FRAMES  # copies of this stream's first frame to leave out
        self._failed = None     # the error that ended this stream's host, raised again

    def _check(self):
        if self._closed:
            raise RuntimeError("runtime is closed")

    def _absorb(self, item) -> None:
        idx, data = item
        if idx == END:
            if self._stale_ends:
                self._stale_ends -= 1
            else:
                self._ends -= 1
            return
        if self._stale:
            self._stale -= 1
            return
        if self._expect:
            self._expect -= 1
        if self._repeats:
            # The host's presentation delay: the stream's first frame again.
            self._repeats -= 1
            return
        self._records.append(data)
        self._got += 1

    def _fed_host(self) -> HostClient:
        """The host to send to: a new one when reset_stream let a stopped one go.  Only
        the calls that may wait (push, compose, end of utterance) start one, so the
        start-up runs where waiting is allowed."""
        if self._host is None:
            self._host = self._fx.take_host()
        return self._host

    def _pump(self) -> None:
        if self._failed is not None:
            raise HostError(str(self._failed), self._failed.status, self._failed.fatal)
        if self._host is None:
            return
        while (item := self._host.poll()) is not None:
            self._absorb(item)

    def _wait(self, done) -> None:
        """Takes records until ``done()`` holds; each wait is bounded by the host client,
        which kills a host that misses it (reset_stream then lets the host go)."""
        self._pump()
        while not done():
            try:
                item = self._host.record()
            except HostError as e:
                if self._host.proc.poll() is not None:
                    # Every later call of this stream raises the same error, not the
                    # bare "stopped" of the host it had to kill.
                    self._failed = e
                raise
            self._absorb(item)

    def _send(self, pcm: np.ndarray) -> None:
        if pcm.size == 0:
            return
        self._fed_host().feed(pcm)
        self._fed += pcm.size
        while self._fed >= chunk_need(self._chunks):
            self._expect += chunk_records(self._chunks)
            self._chunks += 1

    # -- stream -------------------------------------------------------------------
    def push_audio(self, samples):
        a = np.ascontiguousarray(samples, dtype=np.float32).reshape(-1)
        with self._lock:
            self._check()
            self._send(a)
            self._wait(lambda: self._expect == 0 and self._stale == 0)
        return a.size

    def ticks_available(self) -> int:
        with self._lock:
            self._check()
            self._pump()
            return len(self._records)

    def _next_rgb(self, what: str):
        """(tick, read-only RGB view of the next record)."""
        self._pump()
        if not self._records:
            raise ValueError(f"{what}: cursor past end (status=6)")
        data = self._records.popleft()
        i = self._cursor
        self._cursor += 1
        return i, self._host.frame(data)

    def pull_frame(self, index=-1):
        with self._lock:
            self._check()
            i, rgb = self._next_rgb("pull_frame")
        return i, bgr_of(rgb)

    def tick_compose_to_size(self, pcm, index, width, height):
        """The next tick of the utterance ``pcm`` (its whole buffer so far) at width x
        height; sends the samples the host has not seen first."""
        pcm = np.asarray(pcm, dtype=np.float32).reshape(-1)
        with self._lock:
            self._check()
            if pcm.size > self._fed:
                self._send(np.ascontiguousarray(pcm[self._fed:]))
            # A tick of a chunk the host is rendering is waited for; a tick whose chunk
            # needs more audio (or a flush) is past the end for now.
            self._wait(lambda: bool(self._records) or (self._expect == 0 and self._stale == 0))
            i, rgb = self._next_rgb("tick_compose_to_size")
        return i, fit_into(rgb, width, height)

    def end_utterance(self):
        with self._lock:
            self._check()
            n_chunks = max(self._chunks, _flush_chunks(self._fed))
            for k in range(self._chunks, n_chunks):
                self._expect += chunk_records(k)
            self._chunks = n_chunks
            self._fed_host().flush()
            self._ends += 1
            self._wait(lambda: self._ends == 0 and self._expect == 0 and self._stale == 0)

    def reset_stream(self):
        with self._lock:
            self._check()
            host = self._host
            if host is not None and host.proc.poll() is not None:
                # The host has stopped (its error went to the call that was waiting on
                # it): it is reaped, and the new stream goes to a new host, started when
                # the stream is first fed.
                _log.warning("orvane: the render-stream host had stopped (status %s); the next "
                             "stream starts a new one", host.proc.returncode)
                self._host = None
                host.close(timeout=0)
            if self._host is None:
                self._new_stream()
                return
            self._pump()
            stale, stale_ends = self._stale + self._expect, self._stale_ends + self._ends
            self._host.reset()
            self._new_stream()
            self._stale, self._stale_ends = stale, stale_ends

    def samples_for_chunk(self, k):
        """16 kHz samples the stream needs before chunk ``k`` is complete."""
        return chunk_need(k)

    def get_source_frame(self, index=-1):
        """The resting picture (a fresh copy).  Takes no lock: it may run while a push
        waits for the host on another thread."""
        if self._closed:
            raise RuntimeError("runtime is closed")
        return self._resting.copy()

    def close(self):
        with self._lock:
            if self._closed:
                return
            self._closed = True
            host, self._host = self._host, None
        if host is not None:
            host.close()


def _flush_chunks(fed: int) -> int:
    from orvane._lumeth2._client import flush_chunk_count

    return flush_chunk_count(fed)
