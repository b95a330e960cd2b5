"""Native frame runtime: a small pure-Python stand-in with the interface the streaming
avatar and the offline fixture adapter rely on.

A model ("fixture") is a directory holding ``fixture.json``, or that JSON file itself::

    {"engine": "ferrin1",              # engine id (see orvane.unified_header)
     "audio_samples_per_tick": 640,    # 16 kHz samples per video tick
     "audio_sample_rate": 16000,
     "frame_width": 64, "frame_height": 48,
     "resting": true,                  # get_source_frame gives a resting picture
     "chunks": [21, 32],               # optional: ticks finish in chunks (lumeth-2 cadence)
     "tail_ticks": 0}                  # optional: last ticks held until end_utterance (v2)

Frames carry their data visibly so that callers can check how frames pair with audio:
every pixel of a tick's image has B = tick index & 0xFF, G = (tick index >> 8) & 0xFF and
R = the tick's audio peak scaled to 0..255 (``frame_tag`` reads them back).  The resting
picture is a uniform grey (``RESTING_BGR``).

A model whose engine kind is "lumeth2" (a directory, QVX or zip bundle whose
``manifest.json`` says ``{"engine": "lumeth2"}``, with no ``fixture.json``) is served by the
real render-stream host instead: ``Fixture`` and ``Runtime`` then give the host-backed
fixture and runtime of ``orvane._lumeth2._live``.
"""

from __future__ import annotations

import errno
import json
import os
import threading

import numpy as np

__all__ = ["EP_AUTO", "ENGINE_ONLY", "FIXTURE_FILE", "RESTING_BGR", "Fixture", "Runtime", "frame_tag"]

EP_AUTO = "auto"
# This core runs every engine kind, "ferrin1" included.
ENGINE_ONLY = False

FIXTURE_FILE = "fixture.json"
RESTING_BGR = (128, 128, 128)


def _level(samples: np.ndarray) -> int:
    if samples.size == 0:
        return 0
    peak = float(np.max(np.abs(samples)))
    return int(min(255.0, peak * 255.0 + 0.5))


def paint(tick: int, samples: np.ndarray, width: int, height: int) -> np.ndarray:
    """The image of tick ``tick`` whose 16 kHz float samples are ``samples``."""
    img = np.empty((int(height), int(width), 3), dtype=np.uint8)
    img[..., 0] = tick & 0xFF
    img[..., 1] = (tick >> 8) & 0xFF
    img[..., 2] = _level(samples)
    return img


def frame_tag(img) -> tuple[int, int]:
    """(tick index, audio level) painted into a tick image."""
    px = np.asarray(img)[0, 0]
    return int(px[0]) | (int(px[1]) << 8), int(px[2])


def _is_host_model(path: str) -> bool:
    """True for a lumeth-2 bundle: its manifest names "lumeth2" and it carries no
    stand-in description."""
    if path.endswith(".json") or os.path.isfile(os.path.join(path, FIXTURE_FILE)):
        return False
    if not os.path.exists(path):
        return False
    from orvane._qvx_engine import read_manifest

    try:
        man = read_manifest(path)
    except (OSError, ValueError):
        return False
    return isinstance(man, dict) and man.get("engine") == "lumeth2"


class Fixture:
    """A loaded model description."""

    def __new__(cls, source=None, preferred_ep=EP_AUTO, intra_op_threads=0, **kw):
        if cls is Fixture and source is not None and _is_host_model(os.fspath(source)):
            from orvane._lumeth2._live import HostFixture

            return HostFixture(source, preferred_ep, intra_op_threads, **kw)
        return super().__new__(cls)

    def __init__(self, source, preferred_ep=EP_AUTO, intra_op_threads=0):
        path = os.fspath(source)
        if os.path.isdir(path):
            path = os.path.join(path, FIXTURE_FILE)
        if os.path.exists(path) and not os.path.isfile(path):
            # Only a regular file is a description: opening a pipe would block for
            # ever, a device could read without end.
            raise OSError(errno.EINVAL, "fixture description is not a regular file", path)
        try:
            with open(path, encoding="utf-8") as f:
                desc = json.load(f)
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            # A container without an engine manifest lands here too: say what was expected.
            raise ValueError("%s has no engine manifest and is no fixture description (JSON text): %s"
                             % (path, e)) from e
        if not isinstance(desc, dict):
            raise ValueError("fixture description must be a JSON object: %s" % path)
        self.source = os.fspath(source)
        self.engine = str(desc.get("engine", "ferrin1"))
        self.audio_samples_per_tick = int(desc.get("audio_samples_per_tick", 640))
        self.audio_sample_rate = int(desc.get("audio_sample_rate", 16000))
        self.frame_width = int(desc.get("frame_width", 64))
        self.frame_height = int(desc.get("frame_height", 48))
        self.resting = bool(desc.get("resting", True))
        chunks = desc.get("chunks")
        if chunks is not None and (not isinstance(chunks, list) or len(chunks) != 2):
            raise ValueError("fixture chunks must be a list [first, later]: %s" % path)
        self.chunks = None if chunks is None else (int(chunks[0]), int(chunks[1]))
        self.tail_ticks = int(desc.get("tail_ticks", 0))
        self.preferred_ep = preferred_ep
        self.intra_op_threads = int(intra_op_threads)
        if self.audio_samples_per_tick <= 0 or self.frame_width <= 0 or self.frame_height <= 0:
            raise ValueError("fixture has a non-positive tick or frame size: %s" % path)
        if self.chunks is not None and (self.chunks[0] <= 0 or self.chunks[1] < self.chunks[0]):
            raise ValueError("fixture chunks must be [first > 0, later >= first]: %s" % path)


class Runtime:
    """One audio stream on a fixture.  ``push_audio`` and ``pull_frame`` may run on one
    thread while ``get_source_frame`` and ``ticks_available`` run on another."""

    def __new__(cls, fixture=None):
        if cls is Runtime and getattr(fixture, "take_host", None) is not None:
            from orvane._lumeth2._live import HostRuntime

            return HostRuntime(fixture)
        return super().__new__(cls)

    def __init__(self, fixture: Fixture):
        self._fx = fixture
        self._lock = threading.Lock()
        self._closed = False
        self._buf = np.zeros(1024, dtype=np.float32)
        self._len = 0
        self._pulled = 0
        self._ended = False
        if fixture.resting:
            self._resting = np.empty((fixture.frame_height, fixture.frame_width, 3), np.uint8)
            self._resting[...] = RESTING_BGR
        else:
            self._resting = None

    def _check(self):
        if self._closed:
            raise RuntimeError("runtime is closed")

    # -- stream -------------------------------------------------------------------
    def push_audio(self, samples):
        a = np.ascontiguousarray(samples, dtype=np.float32).reshape(-1)
        with self._lock:
            self._check()
            need = self._len + a.size
            if need > self._buf.size:
                grown = np.zeros(max(need, 2 * self._buf.size), dtype=np.float32)
                grown[: self._len] = self._buf[: self._len]
                self._buf = grown
            self._buf[self._len: need] = a
            self._len = need
        return a.size

    def _done_ticks(self) -> int:
        spt = self._fx.audio_samples_per_tick
        if self._ended:
            return -(-self._len // spt)
        audio_ticks = self._len // spt
        if self._fx.chunks is not None:
            first, later = self._fx.chunks
            # Chunk k needs later*(k+1) ticks of audio and completes first + later*k frames.
            if audio_ticks < later:
                return 0
            return min(audio_ticks, first + later * ((audio_ticks - later) // later))
        return max(0, audio_ticks - self._fx.tail_ticks)

    def ticks_available(self) -> int:
        with self._lock:
            self._check()
            return max(0, self._done_ticks() - self._pulled)

    def pull_frame(self, index=-1):
        spt = self._fx.audio_samples_per_tick
        with self._lock:
            self._check()
            if self._pulled >= self._done_ticks():
                raise ValueError("pull_frame: cursor past end (status=6)")
            i = self._pulled
            seg = self._buf[i * spt: min((i + 1) * spt, self._len)].copy()
            self._pulled += 1
        return i, paint(i, seg, self._fx.frame_width, self._fx.frame_height)

    def tick_compose_to_size(self, pcm, index, width, height):
        """Image of a tick of ``pcm`` (the whole utterance) at width x height.  Index -1
        takes the next tick: composing and pulling share one tick cursor per stream."""
        spt = self._fx.audio_samples_per_tick
        pcm = np.asarray(pcm, dtype=np.float32).reshape(-1)
        with self._lock:
            self._check()
            i = self._pulled if index < 0 else int(index)
            if (i + 1) * spt > pcm.size:
                raise ValueError("tick_compose_to_size: cursor past end (status=6)")
            if index < 0:
                self._pulled += 1
        return i, paint(i, pcm[i * spt: (i + 1) * spt], width, height)

    def end_utterance(self):
        with self._lock:
            self._check()
            self._ended = True

    def reset_stream(self):
        with self._lock:
            self._check()
            self._len = 0
            self._pulled = 0
            self._ended = False

    def samples_for_chunk(self, k):
        """16 kHz samples the stream needs before chunk ``k`` is complete."""
        if self._fx.chunks is None:
            raise ValueError("this engine renders tick by tick, not in chunks")
        return self._fx.chunks[1] * (int(k) + 1) * self._fx.audio_samples_per_tick

    def get_source_frame(self, index=-1):
        """The resting picture (a fresh copy), or None when the model has none."""
        with self._lock:
            self._check()
            return None if self._resting is None else self._resting.copy()

    def close(self):
        with self._lock:
            self._closed = True
